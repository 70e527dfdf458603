"""CythonFunctionTool: fastmcp tools whose arguments are validated by the cached adapters, native functions too."""

from __future__ import annotations

import asyncio
import gc
import inspect
import subprocess
import sys
import types
import warnings
from collections import UserDict
from typing import Annotated

import pytest
from mcp.types import ImageContent, TextContent
from pydantic import BaseModel, TypeAdapter, ValidationError
from support import model_state

import corvel.cython  # before fastmcp: importing corvel.cython keeps fastmcp's import-time deprecations quiet
import fastmcp.server.context
from corvel.cython import (
    Audio, CythonBaseModel, CythonFunctionTool, File, FunctionTool, Image, ToolResult, get_cached_typeadapter)
from corvel.modal import LLMResult
from fastmcp import Client, Context, FastMCP

PNG = b"\x89PNG\r\n\x1a\n"
RAW = ToolResult(content=[TextContent(type="text", text="raw")], structured_content={"raw": True})
CONTEXTS: list = []


class Point(BaseModel):
    x: int
    y: int = 0


@types.coroutine
def suspended(value):  # an awaitable that is not a coroutine object, and suspends once
    yield
    return value


def add(x: int, y: int = 2) -> int:
    return x + y


async def shout(text: Annotated[str, "what to say"]) -> str:
    await asyncio.sleep(0)
    return text.upper()


def later(n: int):
    return suspended({"n": n})


def norm(point: Point, scale: int = 1) -> dict:
    return {"received": type(point).__name__, "sum": (point.x + point.y) * scale}


def unannotated(a, b=None, c: str = "c"):
    return [a, b, c]


def nothing() -> None: ...
def picture() -> Image: return Image(data=PNG, format="png")  # noqa: E704
def raw() -> ToolResult: return RAW  # noqa: E704
def anything(): return {"k": (1, 2)}  # noqa: E704
def failing(kind: str = "value"): raise ValueError(kind)  # noqa: E704


async def whoami(ctx: Context, tag: str = "") -> dict:
    CONTEXTS.append(ctx)
    return {"request": ctx.request_id is not None, "tag": tag}


def text(value: str) -> TextContent:
    return TextContent(type="text", text=value)


@pytest.fixture
def mcp() -> FastMCP:
    mcp = FastMCP("corvel-test")
    for fn in (add, shout, later, norm, picture, raw, anything, whoami):
        mcp.add_tool(CythonFunctionTool.from_function(fn))
    mcp.add_tool(CythonFunctionTool.from_function(lambda n: list(range(n)), name="count"))
    combine = LLMResult(content="a").__add__  # a natively compiled method, annotated "'LLMResult'"
    schema = get_cached_typeadapter(combine).json_schema()
    mcp.add_tool(CythonFunctionTool(fn=combine, name="combine", parameters=schema))
    return mcp


async def test_lists_the_tools(mcp):
    async with Client(mcp) as client:
        tools = {t.name: t for t in await client.list_tools()}
    assert list(tools) == ["add", "shout", "later", "norm", "picture", "raw", "anything", "whoami", "count", "combine"]
    assert tools["add"].inputSchema["required"] == ["x"] and "ctx" not in tools["whoami"].inputSchema["properties"]
    assert tools["shout"].inputSchema["properties"]["text"]["description"] == "what to say"
    assert tools["combine"].inputSchema["properties"]["other"] == {"$ref": "#/$defs/LLMResult"}


COMBINED = {"tool_calls": {}, "tool_results": {}, "reasoning_content": "", "content": "ab", "status": "answer"}


@pytest.mark.parametrize(
    ("name", "arguments", "content", "structured"),
    [
        ("add", {"x": 1}, [text("3")], {"result": 3}),
        ("add", {"x": "4", "y": 5}, [text("9")], {"result": 9}),
        ("shout", {"text": "hi"}, [text("HI")], {"result": "HI"}),
        ("later", {"n": 2}, [text('{"n":2}')], {"n": 2}),
        ("norm", {"point": {"x": 1, "y": 2}, "scale": 2}, [text('{"received":"Point","sum":6}')],
         {"received": "Point", "sum": 6}),  # the function gets the model, not a dict
        ("picture", {}, [ImageContent(type="image", data="iVBORw0KGgo=", mimeType="image/png")], None),
        ("raw", {}, [text("raw")], {"raw": True}),
        ("anything", {}, [text('{"k":[1,2]}')], {"k": [1, 2]}),
        ("count", {"n": 3}, [text("[0,1,2]")], None),
        ("whoami", {"tag": "t"}, [text('{"request":true,"tag":"t"}')], {"request": True, "tag": "t"}),
        ("combine", {"other": {"content": "b", "status": "answer"}},
         [text('{"tool_calls":{},"tool_results":{},"reasoning_content":"","content":"ab","status":"answer"}')],
         COMBINED),
    ],
)
async def test_calls_through_a_client(mcp, name, arguments, content, structured):
    CONTEXTS.clear()
    async with Client(mcp) as client:
        result = await client.call_tool(name, arguments)
    assert (result.content, result.structured_content) == (content, structured)
    assert all(ctx.fastmcp is mcp for ctx in CONTEXTS) and len(CONTEXTS) == (name == "whoami")  # the live one


async def test_native_functions_run_only_here():
    combine = LLMResult(content="a").__add__
    with pytest.raises(Exception):
        FunctionTool.from_function(combine)
    schema = get_cached_typeadapter(combine).json_schema()
    with pytest.raises(Exception):
        await FunctionTool(fn=combine, name="combine", parameters=schema).run({"other": {"content": "b"}})
    native = CythonFunctionTool(fn=combine, name="combine", parameters=schema)
    assert (await native.run({"other": {"content": "b"}})).structured_content["content"] == "ab"


# Differential: fastmcp's own tool and this one, on the same functions and arguments.
SAME = [
    (add, {"x": 1}), (add, {"x": "2", "y": "3"}), (shout, {"text": "a"}), (later, {"n": 1}),
    (norm, {"point": {"x": 1}}), (norm, {"point": Point(x=2, y=3), "scale": 3}),
    (unannotated, {"a": 1}), (unannotated, {"a": [1], "b": {"x": 1}, "c": "z"}), (nothing, {}),
    (picture, {}), (raw, {}), (anything, {}), (add, {"x": "nan"}), (norm, {"point": {"y": 1}}),
    (failing, {}), (failing, {"kind": "other"}),
]


@pytest.mark.parametrize(("fn", "arguments"), SAME, ids=lambda v: getattr(v, "__name__", None))
@pytest.mark.parametrize("serializer", [None, repr])
async def test_same_results_as_fastmcp(fn, arguments, serializer):
    async def outcome(cls):
        try:
            result = await cls.from_function(fn, serializer=serializer).run(dict(arguments))
        except Exception as exc:  # the texts differ: fastmcp names the model after the function
            return type(exc)
        return result.content, result.structured_content

    assert await outcome(CythonFunctionTool) == await outcome(FunctionTool)


def numbers() -> list[int]: return [1, 2]  # noqa: E704
def pair() -> tuple[int, int]: return (1, 2)  # noqa: E704
def mapping() -> dict[str, int]: return {"a": 1}  # noqa: E704
def point() -> Point: return Point(x=1, y=2)  # noqa: E704
def big() -> int: return 2**70  # noqa: E704
def half() -> float: return 0.5  # noqa: E704
def flag() -> bool: return True  # noqa: E704
def block() -> TextContent: return text("b")  # noqa: E704


def media():
    return [picture(), Audio(data=b"RIFF", format="wav"), File(data=b"%PDF", format="pdf"), text("b"), 3]


KINDS = SAME + [(fn, {}) for fn in (numbers, pair, mapping, point, big, half, flag, block, media)]


# The results made without calling ToolResult or validating blocks are those the classes make: compared with
# the module's shortcuts off, errors included.
@pytest.mark.parametrize(("fn", "arguments"), KINDS, ids=lambda v: getattr(v, "__name__", None))
@pytest.mark.parametrize("serializer", [None, repr])
async def test_results_are_those_the_classes_make(monkeypatch, fn, arguments, serializer):
    async def outcome():
        try:
            result = await CythonFunctionTool.from_function(fn, serializer=serializer).run(dict(arguments))
        except Exception as exc:
            return type(exc), str(exc)
        return (type(result), list(vars(result)), [model_state(b) for b in result.content],
                result.structured_content, result.meta)

    made = await outcome()
    monkeypatch.setattr(corvel.cython, "__originals__", None)
    assert made == await outcome()


async def test_replaced_results_and_validators_are_called(monkeypatch):
    tool, seen = CythonFunctionTool.from_function(add), []
    init, validate = ToolResult.__init__, TypeAdapter.validate_python
    monkeypatch.setattr(ToolResult, "__init__", lambda self, **kw: init(self, **kw, meta={"seen": True}))
    monkeypatch.setattr(TypeAdapter, "validate_python", lambda self, data: seen.append(data) or validate(self, data))
    assert (await tool.run({"x": 1})).meta == {"seen": True} and seen == [{"x": 1}]
    adapter = get_cached_typeadapter(add)
    monkeypatch.setattr(adapter, "validate_python", lambda data: seen.append("own") or validate(adapter, data))
    monkeypatch.setattr(corvel.cython, "ToolResult", type("Own", (ToolResult,), {}))
    result = await tool.run({"x": 1})
    assert type(result).__name__ == "Own" and seen == [{"x": 1}, "own"]


async def test_the_context_class_is_read_when_called(monkeypatch):
    class Marker:
        pass

    tool = CythonFunctionTool(fn=lambda ctx: type(ctx).__name__, name="marked", parameters={})
    tool.fn.__annotations__ = {"ctx": Marker}
    with pytest.raises(ValidationError):  # not a context parameter: a required argument
        await tool.run({})
    monkeypatch.setattr(fastmcp.server.context, "Context", Marker)
    monkeypatch.setattr(corvel.cython, "get_context", Marker)
    assert (await tool.run({})).content[0].text == "Marker"


class Broken(types.ModuleType):
    @property
    def Context(self):  # noqa: N802
        raise RuntimeError("no context here")


@pytest.mark.parametrize("module", [Broken("fastmcp.server.context"), types.ModuleType("fastmcp.server.context")])
async def test_a_context_module_without_the_class_fails_as_the_import_does(monkeypatch, module):
    tool = CythonFunctionTool.from_function(add)
    monkeypatch.setitem(sys.modules, "fastmcp.server.context", module)
    with pytest.raises(RuntimeError if isinstance(module, Broken) else AttributeError):
        await tool.run({"x": 1})


def test_classes_that_do_more_are_always_called():
    script = """if True:
        import asyncio
        import fastmcp.tools.tool as tool, mcp.types as types
        from pydantic import field_validator

        class Checked(types.TextContent):
            @field_validator("text")
            def shout(cls, text):
                return text.upper()

        class Counted(tool.ToolResult):
            def __init__(self, **kwargs):
                super().__init__(**kwargs)
                self.counted = True

        types.TextContent, tool.ToolResult = Checked, Counted
        import corvel.cython
        result = asyncio.run(corvel.cython.CythonFunctionTool.from_function(lambda: "a", name="a").run({}))
        assert type(result) is Counted and result.counted and result.content[0].text == "A", vars(result)
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize(
    ("fn", "output_schema", "structured"),
    [
        (anything, {"x-fastmcp-wrap-result": True}, {"result": {"k": [1, 2]}}),
        (anything, {"type": "object"}, {"k": [1, 2]}),  # the result itself, made JSON-able by ToolResult
        (anything, None, {"k": [1, 2]}),
        (lambda: [1], None, None),
    ],
)
async def test_output_schema_decides_structured_content(fn, output_schema, structured):
    tool = CythonFunctionTool(fn=fn, name="n", parameters={}, output_schema=output_schema)
    assert (await tool.run({})).structured_content == structured


async def test_results_and_errors_pass_unchanged():
    assert await CythonFunctionTool.from_function(raw).run({}) is RAW
    error = ValueError("own")

    def raises():
        raise error

    with pytest.raises(ValueError) as caught:
        await CythonFunctionTool.from_function(raises).run({})
    assert caught.value is error
    unwrapped = CythonFunctionTool(fn=lambda: 1, name="n", parameters={}, output_schema={"type": "object"})
    with pytest.raises(ValueError, match="structured_content must be a dict"):  # ToolResult's own check
        await unwrapped.run({})


async def test_context_is_injected_unless_given():
    seen = []

    def takes_context(ctx: Context, tag: str = ""):
        seen.append(ctx)

    tool = CythonFunctionTool.from_function(takes_context)
    own = Context(fastmcp=FastMCP("own"))
    arguments = {"ctx": own}
    await tool.run(arguments)
    assert seen == [own] and arguments == {"ctx": own}
    with pytest.raises(RuntimeError, match="context"):  # no request in progress to take it from
        await tool.run({"tag": "x"})
    with pytest.raises(ValidationError):
        await tool.run({"ctx": "not a context"})


def test_run_refuses_anything_but_a_dict_when_called():
    tool = CythonFunctionTool.from_function(add)
    gc.collect()  # garbage of earlier tests (sockets of failed requests) must not warn in here
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")  # a coroutine made and dropped unawaited would warn
        for arguments in (None, UserDict(x=1), type("D", (dict,), {})(x=1), [("x", 1)]):
            with pytest.raises(TypeError, match=r"Argument 'arguments' has incorrect type \(expected dict, got "):
                tool.run(arguments)
        gc.collect()
    assert caught == []


def test_class_and_method():
    run = CythonFunctionTool.run
    assert CythonFunctionTool.__bases__ == (CythonBaseModel, FunctionTool) and CythonFunctionTool.__doc__ is None
    assert CythonFunctionTool.model_config["ignored_types"] == (type(run),)
    assert inspect.iscoroutinefunction(run) and run.__doc__ == "Run the tool with arguments."
    assert run.__annotations__ == {"arguments": "dict[str, Any]", "return": "ToolResult"}
    coro = CythonFunctionTool.from_function(add).run({"x": 1})
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
    coro.close()
    # eval() (typing.get_type_hints, in another test) adds __builtins__ to the globals it is given.
    names = [n for n in vars(corvel.cython) if not n.startswith("__")]
    assert names[names.index("CythonBaseModel"):] == [
        "CythonBaseModel", "get_cached_typeadapter", "_convert_to_content", "CythonFunctionTool"]


async def test_globals_are_read_at_call_time(monkeypatch):
    tool = CythonFunctionTool.from_function(add)
    monkeypatch.setattr(corvel.cython, "_convert_to_content", lambda result, serializer=None: [])
    assert (await tool.run({"x": 1})).content == []


async def test_the_context_parameter_is_found_once_per_finder(monkeypatch):
    calls = []
    real = corvel.cython.find_kwarg_by_type

    def counting(fn, kwarg_type):
        calls.append(fn)
        return real(fn, kwarg_type=kwarg_type)

    monkeypatch.setattr(corvel.cython, "find_kwarg_by_type", counting)
    tool = CythonFunctionTool.from_function(add)
    for _ in range(3):
        assert (await tool.run({"x": 1})).structured_content == {"result": 3}
    assert calls == [add]
    monkeypatch.setattr(corvel.cython, "find_kwarg_by_type", lambda fn, kwarg_type: calls.append("replaced"))
    await tool.run({"x": 1})
    assert calls == [add, "replaced"]


def drive(coro):
    """Runs a coroutine that suspends only on bare yields, without an event loop."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


def test_runs_do_not_leak(no_leak):
    tool = CythonFunctionTool.from_function(later)
    assert drive(tool.run({"n": 1})).structured_content == {"n": 1}
    no_leak(lambda: drive(tool.run({"n": 1})))
