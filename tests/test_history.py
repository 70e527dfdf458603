"""How the client records turns in its conversation."""

from __future__ import annotations

import pydantic
import pytest

from corvel.message import MessageRole
from corvel.modal import LLModal

A, U, S, T = MessageRole.assistant, MessageRole.user, MessageRole.system, MessageRole.tool


def image(b64):
    return {"type": "image_url", "image_url": f"data:image;base64,{b64}"}


def test_images_without_text_make_one_media_entry():
    c = LLModal(images=["AAA", "BBB"])
    c.add_message(U, "")
    assert [m.contents for m in c.messages] == [[[image("AAA"), image("BBB")]]]
    assert c.images == []


def test_video_then_text_and_both_lists_emptied():
    images, video = [], ["F1", "F2"]
    c = LLModal(images=images, video=video)
    c.add_message(role=U, content="what happens?")
    assert c.messages[0].contents == [[
        {"type": "video", "video": ["data:image;base64,F1", "data:image;base64,F2"]},
        {"type": "text", "text": "what happens?"},
    ]]
    assert c.images == [] and c.video == []


def test_media_elements_are_formatted_as_text():
    c = LLModal()
    c.images.append(123)  # no validation on append: formatted as f"{x}" would
    c.add_message(U, "x")
    assert c.messages[0].contents[0][0] == image("123")


def test_media_wait_for_a_user_turn():
    c = LLModal(images=["AAA"])
    c.add_message(S, "system")
    c.add_message(A, "answer")
    assert c.images == ["AAA"] and all(isinstance(m.contents[0], str) for m in c.messages)


def test_fragments_of_one_answer_join():
    c = LLModal()
    c.add_message(U, "q")
    for fragment in ("Hel", "lo", "!"):
        c.add_message(A, fragment)
    assert [m.contents for m in c.messages] == [["q"], ["Hello!"]]


def test_an_answer_after_a_user_turn_opens_a_new_record():
    c = LLModal()
    for role, text in ((U, "q1"), (A, "a1"), (U, "q2"), (A, "a2")):
        c.add_message(role, text)
    assert [(m.role, m.contents) for m in c.messages] == [(U, ["q1"]), (A, ["a1"]), (U, ["q2"]), (A, ["a2"])]


def test_retry_adds_entries_and_clears_on_the_answer():
    c = LLModal()
    c.add_message(U, "q")
    c.add_message(A, "first answer")
    c.retry = True
    c.add_message(U, "q again")
    assert c.retry is True and c.messages[0].contents == ["q", "q again"]
    c.add_message(A, "second answer")
    assert c.retry is False and c.messages[1].contents == ["first answer", "second answer"]
    assert len(c.messages) == 2 and c.messages_latest[1]["content"] == "second answer"


def test_retry_with_media_adds_a_media_entry():
    c = LLModal()
    c.add_message(U, "q")
    c.retry, c.images = True, ["AAA"]
    c.add_message(U, "look")
    assert c.messages[0].contents == ["q", [image("AAA"), {"type": "text", "text": "look"}]]
    assert c.retry is True


@pytest.mark.parametrize("role", [U, A])
def test_retry_without_an_earlier_record_appends(role):
    c = LLModal(retry=True)
    c.add_message(role, "x")
    assert len(c.messages) == 1 and c.retry is True


def test_system_and_tool_turns_always_append():
    c = LLModal()
    for role in (S, S, T, T):
        c.add_message(role, "x")
    assert len(c.messages) == 4


@pytest.mark.parametrize("content", [None, 1, type("Text", (str,), {})("sub")])
def test_content_must_be_exactly_text(content):
    c = LLModal()
    with pytest.raises(TypeError, match=r"^Argument 'content' has incorrect type \(expected str, got \w+\)$"):
        c.add_message(U, content)
    assert c.messages == []


def test_an_unknown_role_appends_nothing():
    c = LLModal(images=["AAA"])
    with pytest.raises(pydantic.ValidationError):
        c.add_message("robot", "x")
    assert c.messages == []


def test_plain_role_strings_work():
    c = LLModal()
    c.add_message("user", "q")
    c.add_message("assistant", "a")
    assert c.messages[1].role is A


def test_many_fragments_join_into_one_entry():
    c = LLModal()
    c.add_message(U, "q")
    c.add_message(A, "x" * 1000)
    for _ in range(1000):
        c.add_message(A, "yz")
    assert c.messages[1].contents == ["x" * 1000 + "yz" * 1000]


def test_recording_does_not_leak(no_leak):
    c = LLModal()
    c.add_message(U, "q")

    def op():
        c.add_message(A, "f")
        if len(c.messages[-1].contents[-1]) > 1000:
            c.messages[-1].contents[-1] = ""

    no_leak(op, calls=20_000)
    media = LLModal()

    def with_media():
        media.images.append("AAA")
        media.add_message(U, "look")
        media.messages.clear()

    no_leak(with_media, calls=20_000)
