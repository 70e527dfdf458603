"""The native function type: Python's class machinery must read native methods as it reads its own."""

from __future__ import annotations

import copy
import inspect
import pickle
import types
import typing
import weakref

import pytest

import corvel.cython
from corvel.cython import CythonModelMeta
from corvel.message import Message
from corvel.modal import LLModal

NATIVE = [
    (Message.__dict__["latest"].fget, "latest", "Message.latest", "corvel.message", ("self",)),
    (Message.__repr__, "__repr__", "Message.__repr__", "corvel.message", ("self",)),
    (Message.__bool__, "__bool__", "Message.__bool__", "corvel.message", ("self",)),
    (CythonModelMeta.__new__, "__new__", "CythonModelMeta.__new__", "corvel.cython",
     ("cls", "name", "bases", "namespace")),
]


@pytest.mark.parametrize("fn, name, qualname, module, varnames", NATIVE)
def test_metadata_reads_like_a_python_function(fn, name, qualname, module, varnames):
    assert not isinstance(fn, types.FunctionType)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, qualname, module)
    assert fn.__code__.co_varnames == varnames and fn.__code__.co_argcount == len(varnames)
    assert fn.__code__.co_qualname == qualname
    assert list(inspect.signature(fn).parameters) == list(varnames)
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    assert fn.__globals__ is vars(__import__(module, fromlist=["_"]))
    assert not inspect.iscoroutinefunction(fn) and not inspect.isgeneratorfunction(fn)


def test_annotations_are_texts_that_typing_resolves():
    assert Message.__repr__.__annotations__ == {"return": "str"}
    assert typing.get_type_hints(Message.__repr__) == {"return": str}
    assert typing.get_type_hints(CythonModelMeta.__new__) == {"return": type(corvel.cython.BaseModel)}
    assert inspect.signature(Message.__dict__["latest"].fget).return_annotation == "dict[str, Any]"


def test_binding_gives_real_methods():
    m = Message(role="user", contents=["x"])
    bound = m.__repr__
    assert type(bound) is types.MethodType and bound.__self__ is m and bound.__func__ is Message.__repr__
    assert list(inspect.signature(bound).parameters) == []
    assert Message.__repr__.__get__(None, Message) is Message.__repr__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Message.__repr__(), r"^Message.__repr__\(\) missing 1 required positional argument: 'self'$"),
        (lambda: CythonModelMeta.__new__(1), r"^CythonModelMeta.__new__\(\) missing 3 required positional "
                                             r"arguments: 'name', 'bases', and 'namespace'$"),
        (lambda: CythonModelMeta.__new__(1, 2), r"missing 2 required positional arguments: 'bases' and "
                                                r"'namespace'$"),
        (lambda: Message.__repr__(1, 2), r"^Message.__repr__\(\) takes 1 positional argument but 2 were given$"),
        (lambda: Message.__repr__(1, self=2), r"got multiple values for argument 'self'$"),
        (lambda: Message.__repr__(1, other=2), r"got an unexpected keyword argument 'other'$"),
    ],
)
def test_argument_errors_use_python_wording(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keyword_arguments_bind_by_name():
    m = Message(role="user", contents=["k"])
    assert Message.__repr__(self=m) == repr(m)


def test_attributes_can_be_set_like_a_function_s():
    fn = Message.__bool__
    fn.custom = 1
    assert fn.__dict__["custom"] == 1
    del fn.custom
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple"):
        fn.__defaults__ = [1]
    with pytest.raises(TypeError, match="__name__ must be set to a string"):
        fn.__name__ = 3
    assert weakref.ref(fn)() is fn


def test_properties_and_static_methods_are_wrapped_as_declared():
    assert isinstance(Message.__dict__["latest"], property)
    assert isinstance(CythonModelMeta.__dict__["__new__"], staticmethod)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("fn", [LLModal.invoke, Message.__repr__, CythonModelMeta.__new__],
                         ids=lambda fn: fn.__qualname__)
def test_pickled_and_copied_by_reference(fn, protocol):
    assert pickle.loads(pickle.dumps(fn, protocol)) is fn and copy.deepcopy(fn) is fn
