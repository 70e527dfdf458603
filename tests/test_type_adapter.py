"""corvel.cython.get_cached_typeadapter: cached validators of call arguments, for plain and native callables."""

from __future__ import annotations

import functools
import inspect
from typing import Annotated, Literal

import pytest
from pydantic import BaseModel, TypeAdapter, ValidationError

import corvel.cython
from corvel.cython import get_cached_typeadapter
from corvel.modal import LLMResult


class Point(BaseModel):
    x: int


class Opaque:  # no schema of its own: checked with isinstance
    pass


SENTINEL, OPAQUE = object(), Opaque()


def required_and_default(count: int, label: str = "x", *rest: int, flag: bool = False, **extra: int) -> int: ...
def unannotated(count: int, note, *, when=SENTINEL): ...
def described(a: Annotated[str, "the a"], b: Annotated[str, "one", "two"] = "", c: Annotated[int, 3] = 0): ...
def positional_only(p: int = 0, /, k: int = 0): ...
def typed(point: Point, thing: Opaque): ...
def keywords_only(**anything): ...


class UnreadableSignature:  # inspect.signature raises, so only the annotations are known
    __signature__ = "not a signature"
    __annotations__ = {"n": int, "return": str}

    def __call__(self, n, m=0, **kw): ...


class UnresolvedHints:  # get_type_hints raises, so the annotations are used as stored
    __annotations__ = {"n": int, "return": str}

    @property
    def __globals__(self):
        raise RuntimeError("no globals")

    def __call__(self, n, m=0): ...


@pytest.mark.parametrize(
    ("fn", "arguments", "expected"),
    [
        (required_and_default, {"count": "2"}, {"count": 2, "label": "x", "flag": False}),
        (required_and_default, {"count": 1, "label": "y", "flag": True, "more": "kept"},
         {"count": 1, "label": "y", "flag": True, "more": "kept"}),
        (required_and_default, {"count": 1, "rest": [1], "return": 5}, {"count": 1, "label": "x", "flag": False,
                                                                        "rest": [1], "return": 5}),
        (unannotated, {"count": 1, "note": [1], "zz": 1}, {"count": 1, "note": [1], "when": SENTINEL}),
        (described, {"a": "v"}, {"a": "v", "b": "", "c": 0}),
        (positional_only, {"p": 5, "k": 6}, {"k": 6}),
        (keywords_only, {"a": 1, "b": [2]}, {"a": 1, "b": [2]}),
        (UnreadableSignature(), {"n": "3", "m": 1, "kw": 2}, {"n": 3}),
        (UnresolvedHints(), {"n": "3"}, {"n": 3, "m": 0}),
        (typed, {"point": {"x": "1"}, "thing": OPAQUE}, {"point": Point(x=1), "thing": OPAQUE}),
        (LLMResult.__add__, {"self": 1, "other": {"content": "a"}},
         {"self": 1, "other": LLMResult(content="a")}),
    ],
)
def test_parameter_model(fn, arguments, expected):
    validated = get_cached_typeadapter(fn).validate_python(arguments)
    assert dict(validated) == expected  # the values themselves, extras last
    if isinstance(fn, type(required_and_default)):
        assert type(validated).__name__ == fn.__name__ + "Params"


@pytest.mark.parametrize(
    ("fn", "arguments", "location"),
    [
        (required_and_default, {"label": "y"}, ("count",)),
        (required_and_default, {"count": "many"}, ("count",)),
        (unannotated, {"count": 1}, ("note",)),
        (described, {"a": 1}, ("a",)),
        (typed, {"point": {"x": 1}, "thing": object()}, ("thing",)),
        (UnreadableSignature(), {}, ("n",)),
    ],
)
def test_refused_arguments(fn, arguments, location):
    with pytest.raises(ValidationError) as caught:
        get_cached_typeadapter(fn).validate_python(arguments)
    assert [e["loc"] for e in caught.value.errors()] == [location]


def test_schema_matches_the_signature():
    schema = get_cached_typeadapter(described).json_schema()
    assert schema["required"] == ["a"] and schema["title"] == "describedParams"
    assert schema["properties"]["a"]["description"] == "the a"
    assert "description" not in schema["properties"]["b"] and "description" not in schema["properties"]["c"]
    assert list(get_cached_typeadapter(required_and_default).json_schema()["properties"]) == ["count", "label", "flag"]


def test_names_and_non_callables():
    anonymous = functools.partial(required_and_default, 1)
    assert get_cached_typeadapter(anonymous).json_schema()["title"] == "AnonymousFnParams"
    union = get_cached_typeadapter(int | str)
    assert union.validate_python("a") == "a" and union.validate_python(3) == 3
    assert get_cached_typeadapter(Opaque | None).validate_python(OPAQUE) is OPAQUE
    assert get_cached_typeadapter(Opaque).json_schema()["title"] == "OpaqueParams"  # a class is a callable


def test_failures_propagate_and_are_not_cached():
    def collides(__config__: int): ...
    def shadows(model_dump: int): ...

    with pytest.raises(TypeError, match="multiple values for keyword argument '__config__'"):
        get_cached_typeadapter(collides)
    for _ in range(2):
        misses = get_cached_typeadapter.cache_info().misses
        with pytest.raises(ValueError, match="model_dump"):
            get_cached_typeadapter(shadows)
        assert get_cached_typeadapter.cache_info().misses == misses + 1
    with pytest.raises(TypeError, match="unhashable"):
        get_cached_typeadapter([int])


def test_module_binding_is_the_cache_wrapper():
    native = get_cached_typeadapter.__wrapped__
    assert type(native) is type(corvel.cython._convert_to_content)
    doc = "Get a cached TypeAdapter for a function, compatible with Python and Cython."
    assert get_cached_typeadapter.__doc__ == native.__doc__ == doc
    assert native.__annotations__ == get_cached_typeadapter.__annotations__ == {"fn": "Any", "return": "TypeAdapter"}
    assert str(inspect.signature(native)) == "(fn: 'Any') -> 'TypeAdapter'"
    assert get_cached_typeadapter.cache_info().maxsize == 5000


def test_globals_are_read_at_call_time(monkeypatch):
    made = []
    monkeypatch.setattr(corvel.cython, "TypeAdapter", lambda *a, **k: made.append(a) or TypeAdapter(*a, **k))
    def fresh(n: int): ...
    get_cached_typeadapter(fresh)
    assert made and made[0][0].__name__ == "freshParams"


def test_cache():
    def fn(n: int): ...

    get_cached_typeadapter.cache_clear()
    adapter = get_cached_typeadapter(fn)
    assert get_cached_typeadapter(fn) is adapter
    by_name = get_cached_typeadapter(fn=fn)
    assert by_name is not adapter and get_cached_typeadapter(fn=fn) is by_name
    for i in range(4998):
        get_cached_typeadapter(Literal[i])
    assert get_cached_typeadapter(fn) is adapter  # one of the 5000 most recent, now the most recent again
    for i in range(5000):
        get_cached_typeadapter(Literal[-1 - i])
    assert get_cached_typeadapter(fn) is not adapter
    get_cached_typeadapter.cache_clear()


def test_building_does_not_leak(no_leak):
    def fn(n: int, note: Annotated[str, "text"] = "", **kw): ...

    no_leak(lambda: get_cached_typeadapter.__wrapped__(fn), calls=2000)  # the native body, past the cache
