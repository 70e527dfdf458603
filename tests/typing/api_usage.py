"""Typical use of corvel's API, checked with `mypy --strict` (tests/test_typing.py) and also run."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Iterator
from typing import Annotated, Any, assert_type

from fastmcp import FastMCP
from pydantic import TypeAdapter

from corvel.config import Configurator
from corvel.cython import CythonBaseModel, CythonFunctionTool, _convert_to_content, get_cached_typeadapter
from corvel.message import Message, MessageRole
from corvel.modal import LLModal, LLMResult, LLMStatus, ToolContent
from corvel.testing import ScriptedServer, message, stream, tool_call
from corvel.tools import Tools

tools = Tools()


@tools.register
def add(a: Annotated[int, "first"], b: int = 1) -> int:
    return a + b


def whole(client: LLModal) -> str:
    result = client.invoke("hi")
    assert isinstance(result, LLMResult)
    calls: dict[str, ToolContent] = result.tool_calls
    assert_type(result.status, LLMStatus)
    return result.content + str(len(calls))


def streamed(client: LLModal) -> list[str]:
    records = client.invoke("hi")
    assert isinstance(records, Iterator)
    return [r.content for r in records if r.status == LLMStatus.answer]


async def awaited(url: str) -> list[str]:
    async with LLModal(endpoint_url=url, extra_body={"stream": True}) as client:
        records = await client.ainvoke("hi")
        assert isinstance(records, AsyncIterator)
        return [r.content async for r in records]


def conversation(client: LLModal) -> list[dict[str, Any]]:
    client.add_message(MessageRole.user, "hello")
    latest: Message | None = client.message_latest(MessageRole.user)
    assert latest is not None and latest
    return client.messages_latest + [latest.latest]


class Model(CythonBaseModel):
    size: int = 0


def main() -> None:
    with ScriptedServer(message(tool_calls=[tool_call("c", "add", {"a": 1})]), message("2"),
                        stream(["a", "b"]), stream(["c"])) as server:
        client = LLModal(endpoint_url=server.url, tools=tools)
        assert whole(client) == "21"
        client.extra_body["stream"] = True
        assert streamed(client) == ["a", "b"]
        assert conversation(client)[-1]["content"] == "hello"
        assert asyncio.run(awaited(server.url)) == ["c"]
    adapter: TypeAdapter[Any] = get_cached_typeadapter(add)
    assert adapter.validate_python({"a": 2}).b == 1
    assert _convert_to_content("x")[0].type == "text"
    tool = CythonFunctionTool.from_function(add)
    assert isinstance(tool, CythonFunctionTool)
    assert Model(size=3).size == 3
    answered = asyncio.run(tools.acall([tool_call("c", "add", {"a": 2})]))
    assert_type(answered, list[Message])
    assert answered[0].contents == ["3"]
    has_key: bool = Configurator.has_option("llm", "api_key")
    assert has_key in (True, False)
    mcp_server = FastMCP("typed")
    tools.add_to_server(mcp_server)
    with Tools() as remote:
        names: list[str] = remote.add_mcp(mcp_server, prefix="r_", timeout=5)
        assert names == ["r_add"] and remote["r_add"](a=1) == "2"


if __name__ == "__main__":
    main()
