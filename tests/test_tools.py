import asyncio
import json
import threading
import types
from typing import Annotated

import pytest
from pydantic import BaseModel, Field

from corvel.message import Message, MessageRole
from corvel.tools import Tools

SEEN: list = []


class Point(BaseModel):
    x: int
    y: int = 0


@types.coroutine
def deferred(value):  # awaitable, but not a coroutine object
    yield
    return value


@pytest.fixture
def tools() -> Tools:
    tools = Tools()

    @tools.register
    def locate(name: Annotated[str, "place name"], where: Point, limit: int = 3, note=SEEN) -> dict:
        """Find a place.

            Detail."""
        return {"where": where, "model": isinstance(where, Point), "own default": note is SEEN}

    @tools.register(name="echo-text", description="Echo.")
    async def echo(text: str = "", **extra: int) -> str:
        return await asyncio.sleep(0, text + json.dumps(extra))

    tools.register(lambda n: deferred([n]), name="later")

    @tools.register
    def fail(kind: str = "raise"):
        if kind == "raise":
            raise ValueError("bad value")
        if kind == "interrupt":
            raise KeyboardInterrupt
        return object()

    return tools


@pytest.fixture(params=["call", "acall"])
def mode(request) -> str:
    """How the registry runs a pass: called, or awaited through ``acall``; the answers must not differ."""
    return request.param


def run(tools: Tools, *calls: tuple, mode: str = "call") -> list[str]:
    tool_calls = [{"id": f"c{i}", "function": {"name": n, "arguments": a}} for i, (n, a) in enumerate(calls)]
    messages = tools(tool_calls) if mode == "call" else asyncio.run(tools.acall(tool_calls))
    assert type(messages) is list and all(type(m) is Message for m in messages)
    assert [(m.role, m.tool_call_id, len(m.contents)) for m in messages] == [
        (MessageRole.tool, f"c{i}", 1) for i in range(len(calls))]
    return [m.contents[-1] for m in messages]


def test_registry(tools):
    def f() -> None: ...
    assert tools.register(f) is f and tools.register(name="g")(f) is f
    assert list(tools) == ["locate", "echo-text", "later", "fail", "f", "g"] and "g" in tools and "h" not in tools
    assert len(tools) == 6 and tools["g"].fn is f and not Tools() and len(Tools()) == 0


class Unhashable:
    __hash__ = None  # type: ignore[assignment]

    def __call__(self, a: int) -> int:
        return a


@pytest.mark.parametrize(
    ("fn", "name", "error"),
    [(lambda: 0, None, ValueError), (lambda: 0, "locate", ValueError), (lambda *a: 0, "star", TypeError),
     (lambda a, /: 0, "posonly", TypeError), (lambda _hidden=0: 0, "underscore", TypeError),
     (Unhashable(), "unhashable", TypeError)],
)
def test_register_refuses(tools, fn, name, error):
    with pytest.raises(error):
        tools.register(name=name)(fn)
    assert len(tools) == 4 and tools["locate"].fn is not fn


def test_schemas(tools):
    locate, echo = (s["function"] for s in json.loads(json.dumps(tools.schemas))[:2])
    assert (locate["description"], echo["description"]) == ("Find a place.\n\nDetail.", "Echo.")
    params = locate["parameters"]
    assert params["type"] == "object" and params["required"] == ["name", "where"]
    assert params["properties"]["name"] == {"type": "string", "description": "place name", "title": "Name"}
    assert params["properties"]["where"] == {"$ref": "#/$defs/Point"} and "x" in params["$defs"]["Point"]["properties"]
    assert params["properties"]["note"] == {"default": [], "title": "Note"}  # unannotated: any value
    assert params["additionalProperties"] is False
    assert echo["parameters"]["additionalProperties"] == {"type": "integer"} and "required" not in echo["parameters"]
    tools.schemas[0]["function"]["parameters"]["properties"].clear()
    assert tools.schemas[0]["function"]["parameters"] == params  # each read is a fresh value


def test_results(tools, mode):
    calls = [("echo-text", a) for a in ('{"text": "hi"}', "", None, " \r\n\t", b" ", '{"k": "2"}')]
    located, *echoed, later = run(tools, ("locate", '{"name": "a", "where": {"x": 1}}'), *calls, ("later", '{"n": 5}'),
                                  mode=mode)
    assert json.loads(located) == {"where": {"x": 1, "y": 0}, "model": True, "own default": True}
    assert echoed == ["hi{}", "{}", "{}", "{}", "{}", '{"k": 2}'] and later == "[5]"


@pytest.mark.parametrize(
    ("name", "arguments", "reason"),
    [("nope", "{}", "unknown tool 'nope'; available tools: locate, echo-text"),
     ("locate", "{bad", "not valid JSON"),
     ("locate", "[1]", "expected a JSON object, got [1]"),
     pytest.param("locate", '{"a":' * 100_000, "not valid JSON (nested too deeply)", id="deep"),
     ("locate", '{"name": 1, "where": {"x": "a"}}', "name: Input should be a valid string; where.x:"),
     ("locate", '{"name": "a", "where": {"x": 1}, "zz": 1}', "zz: Extra inputs are not permitted"),
     ("echo-text", '{"k": "x"}', "k: Input should be a valid integer"),
     ("fail", "", "ValueError: bad value"),
     ("fail", '{"kind": "opaque"}', "cannot be encoded as JSON")],
)
def test_errors_are_answers(tools, mode, name, arguments, reason):
    error, after = run(tools, (name, arguments), ("echo-text", '{"text": "next"}'), mode=mode)
    assert error.startswith("Error") and f"'{name}'" in error and reason in error
    assert after == "next{}"


async def test_awaits_inside_a_running_loop(tools):
    assert run(tools, ("echo-text", '{"text": "x"}'), ("later", '{"n": 1}')) == ["x{}", "[1]"]


def test_base_exceptions_propagate(tools, mode):
    with pytest.raises(KeyboardInterrupt):
        run(tools, ("fail", '{"kind": "interrupt"}'), mode=mode)


def test_acall_runs_the_calls_side_by_side():
    # Each call can finish only once the others have started: the two plain functions meet at a barrier in
    # their worker threads, and wait there for the coroutines, which meet on the loop. Run one at a time,
    # or with a plain function holding the loop, the first call would wait in vain (the time-outs only stop
    # a failing test from hanging).
    tools, threads, loop_side, meeting = Tools(), threading.Barrier(2, timeout=10), threading.Event(), asyncio.Barrier(2)

    @tools.register
    def plain(n: int) -> str:
        threads.wait()
        assert loop_side.wait(10)
        return f"plain {n}"

    @tools.register
    async def coroutine(n: int) -> str:
        async with asyncio.timeout(10):
            await meeting.wait()
        loop_side.set()
        return f"coroutine {n}"

    calls = [{"id": f"c{i}", "function": {"name": name, "arguments": json.dumps({"n": i})}}
             for i, name in enumerate(["plain", "coroutine", "plain", "coroutine"])]
    messages = asyncio.run(tools.acall(calls))
    assert [(m.tool_call_id, m.contents) for m in messages] == [
        ("c0", ["plain 0"]), ("c1", ["coroutine 1"]), ("c2", ["plain 2"]), ("c3", ["coroutine 3"])]


def test_pydantic_field(tools):
    class Client(BaseModel):
        tools: Tools = Field(default_factory=Tools)

    client = Client(tools=tools)
    assert client.tools is tools and Client().tools is not Client().tools
    assert client.model_dump() == {"tools": list(tools)} == json.loads(client.model_dump_json())
    assert Client.model_json_schema()["properties"]["tools"]["type"] == "array"
    with pytest.raises(ValueError):
        Client(tools=["locate"])


def test_validates_with_the_cached_adapters(tools):
    from corvel.cython import get_cached_typeadapter

    assert tools["locate"].adapter is get_cached_typeadapter(tools["locate"].fn)


async def test_add_to_server_serves_mcp_clients(tools):
    from corvel.cython import CythonFunctionTool  # imports fastmcp quietly
    from corvel.modal import LLMResult
    from fastmcp import Client, FastMCP

    tools.register(LLMResult(content="a").__add__, name="combine")  # a natively compiled method
    server = FastMCP("registry")
    tools.add_to_server(server)
    assert all(type(tool) is CythonFunctionTool for tool in (await server.get_tools()).values())
    # `note` given: left out, the chat side calls with the function's own default object, the MCP side (like
    # fastmcp's own tools) with pydantic's copy of it
    calls = [("locate", {"name": "a", "where": {"x": 1}, "note": 1}), ("echo-text", {"text": "hi", "k": 2}),
             ("later", {"n": 5}), ("combine", {"other": {"content": "b"}})]
    async with Client(server) as client:
        listed = {tool.name: tool for tool in await client.list_tools()}
        answers = [await client.call_tool(name, arguments) for name, arguments in calls]
        failed = await client.call_tool("fail", {}, raise_on_error=False)
    assert list(listed) == list(tools) and listed["echo-text"].description == "Echo."
    assert listed["echo-text"].inputSchema == tools["echo-text"].parameters  # fastmcp refuses **kwargs itself
    chat = run(tools, *((name, json.dumps(arguments)) for name, arguments in calls))
    assert [answer.content[0].text for answer in answers] == chat  # one definition, the same answers
    assert failed.is_error and "bad value" in failed.content[0].text
