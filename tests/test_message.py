"""corvel.message: the conversation record and the wire form of one message."""

from __future__ import annotations

import json

import pydantic
import pytest

import corvel.message
from corvel.message import Message, MessageRole

IMAGE = {"type": "image_url", "image_url": "data:image;base64,AAA"}
VIDEO = {"type": "video", "video": ["data:image;base64,F1"]}


def test_module_globals_in_order():
    names = [n for n in vars(corvel.message) if not n.startswith("__")]
    assert names == ["json", "StrEnum", "Any", "BaseModel", "Field", "MessageRole", "Message"]


def test_roles_are_str_enum_members():
    assert [m.value for m in MessageRole] == ["system", "user", "assistant", "tool"]
    assert MessageRole.user == "user" and json.dumps(MessageRole.tool) == '"tool"'
    assert Message(role="user").role is MessageRole.user


def test_fields_annotations_and_defaults():
    assert Message.__annotations__ == {
        "role": "MessageRole",
        "contents": "list[str | list[dict[str, Any]]]",
        "tool_call_id": "str",
        "tool_calls": "list[dict[str, Any]]",
    }
    a, b = Message(role="user"), Message(role="user")
    assert a.contents == [] and a.tool_call_id == "" and a.tool_calls == []
    assert a.contents is not b.contents and a.tool_calls is not b.tool_calls
    assert set(Message.model_fields) == {"role", "contents", "tool_call_id", "tool_calls"}


@pytest.mark.parametrize("bad", [{"role": "robot"}, {}, {"role": "user", "contents": [1]}])
def test_validation_refuses_bad_records(bad):
    with pytest.raises(pydantic.ValidationError):
        Message(**bad)


CALLS = [{"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]


@pytest.mark.parametrize(
    "fields, wire",
    [
        # tool calls win over everything else, and carry no content key
        (dict(role="assistant", tool_calls=CALLS, tool_call_id="x", contents=["t"]),
         {"role": "assistant", "tool_calls": CALLS}),
        # a tool result sends its last entry unchanged, even a list of parts
        (dict(role="tool", tool_call_id="c1", contents=["old", [IMAGE, {"type": "text", "text": "r"}]]),
         {"role": "tool", "tool_call_id": "c1", "content": [IMAGE, {"type": "text", "text": "r"}]}),
        (dict(role="user", contents=["hello"]), {"role": "user", "content": "hello"}),
        # the newest text is merged with the media of the newest multimodal entry; old text dropped
        (dict(role="user", contents=[[IMAGE, {"type": "text", "text": "old"}], "new"]),
         {"role": "user", "content": [IMAGE, {"type": "text", "text": "new"}]}),
        (dict(role="user", contents=[[IMAGE, VIDEO], "older", "newest"]),
         {"role": "user", "content": [IMAGE, VIDEO, {"type": "text", "text": "newest"}]}),
        (dict(role="user", contents=[[{"type": "text", "text": "a"}], "b"]),
         {"role": "user", "content": [{"type": "text", "text": "b"}]}),
        # a last entry that is a list of parts is sent as it is, text parts included
        (dict(role="user", contents=["t", [IMAGE, {"type": "text", "text": "x"}]]),
         {"role": "user", "content": [IMAGE, {"type": "text", "text": "x"}]}),
    ],
)
def test_latest_wire_forms(fields, wire):
    assert Message(**fields).latest == wire


def test_latest_shares_entries_but_builds_new_dicts():
    m = Message(role="user", contents=[[IMAGE], "hi"])
    first, second = m.latest, m.latest
    assert first == second and first is not second
    assert first["content"][0] is m.contents[0][0]
    assert first["role"] is MessageRole.user
    last = Message(role="user", contents=[[IMAGE]])
    assert last.latest["content"] is last.contents[-1]


@pytest.mark.parametrize(
    "fields, error",
    [
        (dict(role="user"), IndexError),
        (dict(role="tool", tool_call_id="c1"), IndexError),
        (dict(role="user", contents=[[{"text": "no type"}], "x"]), KeyError),
    ],
)
def test_latest_failures(fields, error):
    m = Message(**fields)
    with pytest.raises(error):
        m.latest
    with pytest.raises(error):
        repr(m)


@pytest.mark.parametrize("contents, truth", [([], False), ([""], True), (["a"], True)])
def test_truth_looks_only_at_contents(contents, truth):
    assert bool(Message(role="assistant", contents=contents, tool_calls=CALLS)) is truth


def test_repr_is_json_of_latest_with_letters_unescaped():
    m = Message(role="user", contents=["grüß dich"])
    assert repr(m) == '{"role": "user", "content": "grüß dich"}'
    assert str(m).startswith("role=")  # str() stays pydantic's


def test_repr_uses_the_json_module_bound_now(monkeypatch):
    class FakeJson:
        @staticmethod
        def dumps(value, ensure_ascii):
            return f"fake:{value['content']}:{ensure_ascii}"

    monkeypatch.setattr(corvel.message, "json", FakeJson)
    assert repr(Message(role="user", contents=["x"])) == "fake:x:False"


def test_native_entry_points_do_not_leak(no_leak):
    m = Message(role="user", contents=[[IMAGE, VIDEO], "text"])
    empty = Message(role="user")

    def op():
        m.latest
        repr(m)
        bool(m)
        try:
            empty.latest
        except IndexError:
            pass

    no_leak(op)
