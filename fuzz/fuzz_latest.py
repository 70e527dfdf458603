"""Random contents through Message.latest (and the native __bool__ and __repr__ beside it).

Input: a FuzzedDataProvider stream: a role, contents (texts, multimodal part lists, arbitrary values), a tool
call id and tool calls. Half the messages are validated by the model first; the other half are built with
`model_construct`, so the native code meets values the model would refuse.

Fine for constructed messages: TypeError, KeyError, IndexError, AttributeError, ValueError and Python's
recursion limit. A validated message may only fail where the algorithm indexes what the model allows to be
missing: no contents at all (IndexError) or a part without "type" (KeyError); otherwise its wire form is a
dict with its role, and its repr is that dict as JSON.
"""

from __future__ import annotations

import json
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(__file__))

with atheris.instrument_imports(include=["corvel", "json", "_harness"]):
    from _harness import guarded, run, value
    from corvel.message import Message, MessageRole

import pydantic

ALLOWED = (ValueError, TypeError, KeyError, IndexError, AttributeError, RecursionError)
PART_TYPES = ["text", "image_url", "video", "input_audio", ""]


@atheris.instrument_func
def part(fdp: atheris.FuzzedDataProvider) -> object:
    if not fdp.ConsumeIntInRange(0, 5):
        return value(fdp, 2)
    kind = fdp.PickValueInList(PART_TYPES)
    result: dict[str, object] = {"type": kind} if fdp.ConsumeIntInRange(0, 7) else {}
    if fdp.ConsumeBool():
        result[kind or "text"] = fdp.ConsumeUnicodeNoSurrogates(8) if fdp.ConsumeBool() else value(fdp, 1)
    return result


@atheris.instrument_func
def entry(fdp: atheris.FuzzedDataProvider) -> object:
    shape = fdp.ConsumeIntInRange(0, 4)
    if shape <= 1:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if shape <= 3:
        return [part(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    return value(fdp, 2)


@atheris.instrument_func
def body(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    validated = fdp.ConsumeBool()
    role = fdp.PickValueInList(list(MessageRole)) if fdp.ConsumeIntInRange(0, 7) else value(fdp, 1)
    contents = [entry(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))] if fdp.ConsumeIntInRange(0, 7) \
        else value(fdp, 2)
    tool_call_id = fdp.PickValueInList(["", "c1"]) if fdp.ConsumeIntInRange(0, 5) else value(fdp, 1)
    tool_calls = [] if fdp.ConsumeIntInRange(0, 2) else value(fdp, 2)
    fields = dict(role=role, contents=contents, tool_call_id=tool_call_id, tool_calls=tool_calls)
    if not validated:
        message = Message.model_construct(**fields)
        try:
            message.latest
        except ALLOWED:
            pass
        try:
            bool(message)
        except ALLOWED:
            pass
        try:
            repr(message)
        except ALLOWED:
            pass
        return
    try:
        message = Message(**fields)
    except pydantic.ValidationError:
        return
    try:
        latest = message.latest
    except (IndexError, KeyError):
        assert not message.contents or any(isinstance(e, list) for e in message.contents), message
        return
    assert type(latest) is dict and latest["role"] is message.role, latest
    assert bool(message) is (len(message.contents) > 0)
    assert repr(message) == json.dumps(latest, ensure_ascii=False)


if __name__ == "__main__":
    run(guarded(body, ALLOWED))
