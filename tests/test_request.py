"""The headers and JSON body of a chat-completions request."""

from __future__ import annotations

from collections import OrderedDict

import pytest

from corvel.message import Message, MessageRole
from corvel.modal import LLModal
from corvel.tools import Tools


@pytest.fixture
def config(tmp_path, monkeypatch):
    """A real configuration: no key in the environment, a TOML file we write."""
    for name in ("CORVEL_LLM_API_KEY", "CORVEL_OTHER_API_KEY"):
        monkeypatch.delenv(name, raising=False)
    path = tmp_path / "config.toml"
    path.write_text("")
    path.chmod(0o600)
    monkeypatch.setenv("CORVEL_CONFIG", str(path))
    return path


def test_headers_without_a_key(config):
    assert LLModal()._headers == {"Content-Type": "application/json"}


def test_headers_with_a_key_from_the_environment(config, monkeypatch):
    monkeypatch.setenv("CORVEL_LLM_API_KEY", "sk-env")
    headers = LLModal()._headers
    assert list(headers.items()) == [("Content-Type", "application/json"), ("Authorization", "Bearer sk-env")]


def test_headers_follow_the_section_and_the_file(config):
    config.write_text("[other]\napi_key = 12345\n")
    assert LLModal(section="other")._headers["Authorization"] == "Bearer 12345"
    assert "Authorization" not in LLModal()._headers
    config.write_text("[other]\napi_key = 'rotated'\n")
    assert LLModal(section="other")._headers["Authorization"] == "Bearer rotated"


def user(text):
    return Message(role=MessageRole.user, contents=[text])


def reply(text, role=MessageRole.assistant):
    return Message(role=role, contents=[text])


def registry():
    tools = Tools()

    @tools.register
    def add(a: int, b: int = 0) -> int:
        return a + b

    return tools


def test_body_is_just_the_conversation_by_default():
    c = LLModal(messages=[user("hi")])
    assert c._body == {"messages": [{"role": "user", "content": "hi"}]}


def test_body_key_order_and_tool_options():
    c = LLModal(messages=[user("hi")], extra_body={"stream": True, "model": "m"}, tools=registry())
    body = c._body
    assert list(body) == ["messages", "stream", "model", "tools", "parallel_tool_calls"]
    assert body["tools"][0]["function"]["name"] == "add" and body["parallel_tool_calls"] is True


def test_registry_overrides_options_in_place():
    c = LLModal(extra_body={"parallel_tool_calls": False, "tools": "mine", "model": "m"}, tools=registry())
    body = c._body
    assert list(body) == ["messages", "parallel_tool_calls", "tools", "model"]
    assert body["parallel_tool_calls"] is True and body["tools"] == registry().schemas
    assert c.extra_body["parallel_tool_calls"] is False


def test_messages_option_replaces_the_conversation():
    c = LLModal(messages=[user("hi")], extra_body={"messages": ["raw"], "n": 1})
    assert c._body == {"messages": ["raw"], "n": 1}


def test_extra_body_copies_are_independent():
    c = LLModal(extra_body={"a": {"nested": 1}})
    first, second = c._extra_body, c._extra_body
    assert first == second and first is not second and first is not c.extra_body
    first["b"] = 2
    assert "b" not in second and "b" not in c.extra_body
    assert first["a"] is c.extra_body["a"]  # shallow


def test_extra_body_accepts_any_mapping_and_refuses_none():
    c = LLModal()
    c.extra_body = OrderedDict(model="m")
    assert c._body == {"messages": [], "model": "m"}
    c.extra_body = None
    with pytest.raises(TypeError, match=r"^argument after \*\* must be a mapping, not NoneType$"):
        c._body
    c.extra_body = [1]
    with pytest.raises(TypeError, match="must be a mapping, not list"):
        c._extra_body


SYSTEM = Message(role="system", contents=["be brief"])


@pytest.mark.parametrize(
    "conversation, retry, kept",
    [
        ([SYSTEM, user("u"), reply("a")], False, 3),
        ([SYSTEM, user("u"), reply("a")], True, 2),
        ([SYSTEM, user("u1"), reply("a1"), user("u2"), reply("a2"), reply("t", MessageRole.system), reply("a3")],
         True, 4),
        ([SYSTEM, user("u1"), reply("a1"), user("u2")], True, 4),
        ([SYSTEM, reply("a")], True, 2),
    ],
)
def test_retry_cuts_after_the_newest_user_message(conversation, retry, kept):
    c = LLModal(messages=conversation, retry=retry)
    assert c.messages_latest == [m.latest for m in conversation[:kept]]
    assert len(c.messages) == len(conversation) and c.retry is retry


def test_an_empty_message_fails_the_body():
    c = LLModal(messages=[Message(role="user")])
    with pytest.raises(IndexError):
        c._body


def test_message_latest_skips_empty_records():
    old, empty = reply("older"), Message(role="assistant")
    c = LLModal(messages=[user("u"), old, user("v"), empty])
    assert c.message_latest(MessageRole.assistant) is old
    assert c.message_latest(role="assistant") is old
    assert LLModal(messages=[user("u")]).message_latest(MessageRole.assistant) is None
    with pytest.raises(TypeError):
        c.message_latest()


def test_request_building_does_not_leak(no_leak, config, monkeypatch):
    monkeypatch.setenv("CORVEL_LLM_API_KEY", "sk-leak")
    c = LLModal(messages=[SYSTEM, user("u"), reply("a")], retry=True, extra_body={"model": "m"}, tools=registry())
    no_leak(lambda: (c._headers, c._body, c.message_latest(MessageRole.user)), calls=20_000)
