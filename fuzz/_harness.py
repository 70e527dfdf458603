"""What the fuzz harnesses share: building values from fuzz input, and telling a finding from a fine outcome.

Each harness is a script run by `make fuzz` (see fuzz/README.md) under the sanitizer build; arguments are
libFuzzer's. A harness decodes its input into the shapes the native entry point meets in practice (protocol
keys are likely, anything else possible), calls it, and accepts the exceptions that such input documentedly
causes. Anything else is a finding: a sanitizer report or crash (the process dies), an exception of a type not
in the harness's list (SystemError always among them: native code returned a result with an error set), or a
broken invariant (AssertionError).
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

import atheris

# The keys and texts of the chat-completions protocol, so that generated objects look like what services send.
KEYS = ["choices", "delta", "message", "content", "reasoning_content", "reasoning", "tool_calls", "index", "id",
        "type", "function", "name", "arguments", "finish_reason", "role", "usage", "text", "image_url", "video"]
TEXTS = ["", "stop", "tool_calls", "function", "assistant", "c1", "c2", "add", "{}", '{"a": 1}', "[DONE]", "text",
         "image_url", "\ud800", "é", "\x00"]


def value(fdp: atheris.FuzzedDataProvider, depth: int = 4) -> Any:
    """A JSON-like value: dicts with protocol keys, lists, texts, numbers, booleans and None."""
    kind = fdp.ConsumeIntInRange(0, 9 if depth > 0 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-2, 5) if fdp.ConsumeBool() else fdp.ConsumeInt(9)
    if kind == 3:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloat()
    if kind in (4, 5):
        return fdp.PickValueInList(TEXTS)
    if kind == 6:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 16))
    if kind == 7:
        return [value(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return {key(fdp): value(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 4))}


def key(fdp: atheris.FuzzedDataProvider) -> str:
    return fdp.PickValueInList(KEYS) if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeUnicodeNoSurrogates(4)


def tool_call_fragment(fdp: atheris.FuzzedDataProvider) -> object:
    """One tool call, or one streamed fragment of one, mostly well formed."""
    if not fdp.ConsumeIntInRange(0, 5):
        return value(fdp, 2)
    call: dict[str, object] = {}
    if fdp.ConsumeIntInRange(0, 3):
        call["index"] = fdp.ConsumeIntInRange(-1, 3) if fdp.ConsumeIntInRange(0, 4) else value(fdp, 1)
    if fdp.ConsumeBool():
        call["id"] = fdp.PickValueInList(["c1", "c2", "", None]) if fdp.ConsumeIntInRange(0, 3) else value(fdp, 1)
    if fdp.ConsumeBool():
        call["type"] = "function"
    if fdp.ConsumeIntInRange(0, 5):
        function: dict[str, object] = {}
        if fdp.ConsumeBool():
            function["name"] = fdp.PickValueInList(["add", "echo", ""]) if fdp.ConsumeBool() else value(fdp, 1)
        if fdp.ConsumeIntInRange(0, 3):
            function["arguments"] = fdp.PickValueInList(TEXTS) if fdp.ConsumeBool() else value(fdp, 1)
        call["function"] = function
    else:
        call["function"] = value(fdp, 1)
    return call


def protocol_message(fdp: atheris.FuzzedDataProvider) -> object:
    shape = fdp.ConsumeIntInRange(0, 7)
    if shape == 0:
        return value(fdp)
    result: dict[str, object] = {}
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        k = fdp.PickValueInList(KEYS)
        if k == "tool_calls" and fdp.ConsumeIntInRange(0, 4):
            result[k] = [tool_call_fragment(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))] if fdp.ConsumeIntInRange(0, 5) \
                else value(fdp, 1)
        else:
            result[k] = fdp.PickValueInList(TEXTS) if fdp.ConsumeBool() else value(fdp, 2)
    return result


def guarded(body: Callable[[bytes], None], allowed: tuple[type[BaseException], ...]) -> Callable[[bytes], None]:
    """The libFuzzer entry point: `body`, where the `allowed` exceptions are fine outcomes."""

    def test_one_input(data: bytes) -> None:
        try:
            body(data)
        except SystemError:
            raise
        except allowed:
            pass

    return test_one_input


def run(test_one_input: Callable[[bytes], None]) -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
