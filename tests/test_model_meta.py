"""corvel.cython's model base: pydantic models whose class bodies hold callables of any type."""

from __future__ import annotations

import functools

import pytest
from pydantic import BaseModel, ConfigDict

import corvel.cython
from corvel.cython import CythonBaseModel, CythonModelMeta
from corvel.message import Message

native_method = Message.__repr__  # a callable that is not a Python function
NativeType = type(native_method)


class Callable_:
    def __call__(self):
        return 1


class A:
    pass


class B:
    pass


def test_module_globals_in_import_order():
    names = [n for n in vars(corvel.cython) if not n.startswith("__")]
    assert names[:27] == [
        "inspect", "lru_cache", "Any", "get_type_hints", "get_origin", "Annotated", "get_args", "Callable",
        "pydantic_core", "get_context", "FunctionTool", "ToolResult", "default_serializer", "logger",
        "find_kwarg_by_type", "Image", "Audio", "File", "ContentBlock", "TextContent", "BaseModel", "Field",
        "ConfigDict", "TypeAdapter", "create_model", "CythonModelMeta", "CythonBaseModel",
    ]


def test_base_and_metaclass():
    assert CythonModelMeta.__bases__ == (type(BaseModel),)
    assert type(CythonBaseModel) is CythonModelMeta and CythonBaseModel.__bases__ == (BaseModel,)
    assert CythonBaseModel.model_config == {"ignored_types": ()}
    assert CythonBaseModel.__module__ == "corvel.cython" and CythonBaseModel.__doc__ is None


def test_native_methods_stay_methods():
    class Tool(CythonBaseModel):
        name: str = "t"
        run = native_method

    assert Tool.model_config["ignored_types"] == (NativeType,)
    assert "run" not in Tool.model_fields and Tool.run is native_method
    assert Tool().name == "t"


def test_without_the_metaclass_pydantic_refuses_them():
    with pytest.raises(Exception, match="non-annotated attribute"):
        class Plain(BaseModel):
            run = native_method


def test_only_annotated_fields_give_empty_ignored_types():
    class Fields(CythonBaseModel):
        a: int = 1

    assert Fields.model_config["ignored_types"] == ()


@pytest.mark.parametrize(
    "value, added",
    [
        (native_method, NativeType),
        (Callable_(), Callable_),
        (functools.partial(print), functools.partial),
        (staticmethod(native_method), None),
        (classmethod(native_method), None),
        (property(native_method), None),
        (3, None),
    ],
)
def test_what_registers_a_type(value, added):
    Model = CythonModelMeta("Model", (CythonBaseModel,), {"__module__": __name__, "_run": value})
    assert Model.model_config["ignored_types"] == ((added,) if added else ())


def test_nested_class_adds_its_metaclass():
    class Outer(CythonBaseModel):
        class Inner:
            pass

    assert Outer.model_config["ignored_types"] == (type,)


def test_dunder_names_never_register():
    Model = CythonModelMeta("Model", (CythonBaseModel,), {"__module__": __name__, "__call__": native_method})
    assert Model.model_config["ignored_types"] == ()


def test_own_config_is_kept_and_deduplicated():
    config = ConfigDict(ignored_types=(A, A, B), frozen=True)

    class Own(CythonBaseModel):
        model_config = config
        x: int = 0
        run = native_method

    assert sorted(map(id, Own.model_config["ignored_types"])) == sorted(map(id, (A, B, NativeType)))
    assert Own.model_config["frozen"] is True
    assert config["ignored_types"] == Own.model_config["ignored_types"]  # changed in place


def test_the_class_always_gets_model_config_and_the_namespace_stays_as_handed_in():
    namespace = {"__module__": __name__, "run": native_method}
    before = dict(namespace)
    first = CythonModelMeta.__new__(CythonModelMeta, "N", (CythonBaseModel,), namespace)
    second = CythonModelMeta("N", (CythonBaseModel,), namespace)
    assert namespace == before
    assert first.model_config == second.model_config == {"ignored_types": (NativeType,)}


@pytest.mark.parametrize(
    "namespace, error",
    [({"model_config": 3}, AttributeError), ({"model_config": {"ignored_types": 5}}, TypeError)],
)
def test_bad_config_fails_class_creation(namespace, error):
    with pytest.raises(error):
        CythonModelMeta("Bad", (CythonBaseModel,), {"__module__": __name__, **namespace})


def test_class_keywords_are_refused():
    with pytest.raises(TypeError, match="unexpected keyword argument 'frozen'"):
        class Frozen(CythonBaseModel, frozen=True):
            pass


def test_forward_references_resolve_in_the_defining_function():
    def make():
        class Point(BaseModel):
            x: int

        class Shape(CythonBaseModel):
            corner: "Point"

        return Shape

    assert make()(corner={"x": 2}).corner.x == 2


def test_pydantic_errors_propagate():
    with pytest.raises(Exception):
        class Broken(CythonBaseModel):
            x: "NoSuchType"  # noqa: F821

        Broken(x=1)


def test_metaclass_does_not_leak(no_leak):
    def op():
        CythonModelMeta("Leaky", (CythonBaseModel,), {"__module__": __name__, "run": native_method})

    no_leak(op, calls=2_000, objects=200, memory=512 * 1024)
