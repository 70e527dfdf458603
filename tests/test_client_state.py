"""LLModal's fields, private state, turn reset and streaming mode."""

from __future__ import annotations

import inspect

import pydantic
import pytest

import corvel.modal
from corvel.cython import CythonBaseModel
from corvel.message import Message
from corvel.modal import LLModal
from corvel.tools import Tools


def test_module_globals_in_order():
    names = [n for n in vars(corvel.modal) if not n.startswith("__")]
    assert names == ["json", "StrEnum", "Any", "Iterator", "requests", "asyncio", "AsyncIterator", "httpx",
                     "_tls_context",
                     "BaseModel", "Field", "Configurator",
                     "CythonBaseModel", "Message", "MessageRole", "Tools", "_retry", "_connections", "LLMStatus", "ToolContent", "LLMResult",
                     "Usage", "LLModal"]


def test_annotations_are_the_fourteen_texts():
    assert LLModal.__annotations__ == {
        "section": "str", "endpoint_url": "str", "system_prompt": "str", "images": "list[str]",
        "video": "list[str]", "tools": "Tools", "messages": "list[Message]", "extra_body": "dict[str, Any]",
        "retry": "bool", "tool_calls": "list[dict[str, Any]]", "tool_calls_limit": "int",
        "_tool_calls_count": "int", "_close": "bool", "_default": "str",
    }
    assert LLModal.__bases__ == (CythonBaseModel,)
    assert list(LLModal.model_fields) == list(LLModal.__annotations__)[:11]


def test_defaults():
    c = LLModal()
    assert (c.section, c.endpoint_url, c.system_prompt) == ("llm", "", "")
    assert c.images == c.video == c.messages == c.tool_calls == [] and c.extra_body == {}
    assert (c.retry, c.tool_calls_limit, c._tool_calls_count, c._close) == (False, 3, 0, False)
    assert c._default == "The server is busy. Please try again later."
    assert c._timeout == (10, 600)
    assert isinstance(c.tools, Tools) and not c.tools


def test_instances_share_nothing():
    a, b = LLModal(), LLModal()
    for name in ("images", "video", "tools", "messages", "extra_body", "tool_calls"):
        assert getattr(a, name) is not getattr(b, name), name


def test_private_attributes_are_not_arguments_or_dumped():
    c = LLModal(endpoint_url="http://x", tool_calls_limit=5)
    dumped = c.model_dump()
    assert "_default" not in dumped and "_timeout" not in dumped and dumped["tool_calls_limit"] == 5
    with pytest.raises(pydantic.ValidationError):
        LLModal(tool_calls_limit="many")


def test_tools_argument_is_kept_as_the_same_object():
    tools = Tools()

    @tools.register
    def ping() -> str:
        return "pong"

    assert LLModal(tools=tools).tools is tools
    with pytest.raises(pydantic.ValidationError):
        LLModal(tools=[ping])


def test_reset_replaces_the_list_and_zeroes_the_count():
    c = LLModal(messages=[Message(role="user", contents=["hi"])])
    old = c.tool_calls
    old.append({"id": "1"})
    c._tool_calls_count = 2
    assert c._reset() is None
    assert c.tool_calls == [] and c.tool_calls is not old and old == [{"id": "1"}]
    assert c._tool_calls_count == 0 and len(c.messages) == 1


@pytest.mark.parametrize("extra, mode", [({}, False), ({"stream": True}, True), ({"stream": 1}, 1)])
def test_stream_is_the_option_as_stored(extra, mode):
    c = LLModal(extra_body=extra)
    assert c.stream == mode and type(c.stream) is type(mode)
    c.extra_body["stream"] = "yes"
    assert c.stream == "yes"


def test_members_are_declared_as_properties_and_methods():
    props = {"stream", "_extra_body", "_headers", "_body", "messages_latest"}
    for name in props:
        assert isinstance(inspect.getattr_static(LLModal, name), property), name
    assert inspect.signature(LLModal.add_message).parameters.keys() == {"self", "role", "content"}
    assert LLModal.add_message.__annotations__ == {"role": "MessageRole", "content": "str", "return": "None"}
    assert LLModal._reset.__qualname__ == "LLModal._reset" and LLModal._reset.__module__ == "corvel.modal"


def test_entry_points_do_not_leak(no_leak):
    c = LLModal(extra_body={"stream": True})
    no_leak(lambda: (c._reset(), c.stream))
