"""Random JSON through LLModal._message_process and _add_tool_calls, in streamed and whole mode.

Input: a FuzzedDataProvider stream. It picks the mode, then a sequence of messages (deltas, in streamed mode)
built from protocol keys and arbitrary values, each given to `_message_process` (which gathers tool calls
too) or straight to `_add_tool_calls`, and finally summarises what was gathered with `_t_calls_beautify`.

Fine: TypeError (a message that is not a dict, a streamed index that is not an int), KeyError, IndexError,
AttributeError and ValueError from malformed calls, pydantic's ValidationError from a summary, and Python's
recursion limit. `_message_process` that succeeds returns exactly the reasoning and answer texts.
"""

from __future__ import annotations

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(__file__))

with atheris.instrument_imports(include=["corvel", "json", "_harness"]):
    from _harness import guarded, protocol_message, run
    from corvel.modal import LLModal


ALLOWED = (ValueError, TypeError, KeyError, IndexError, AttributeError, RecursionError)


@atheris.instrument_func
def body(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    client = LLModal(extra_body={"stream": fdp.ConsumeBool()})
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        given = protocol_message(fdp)
        try:
            if fdp.ConsumeIntInRange(0, 3):
                processed = client._message_process(given)
                assert type(processed) is dict and list(processed) == ["reasoning_content", "content"], processed
            else:
                client._add_tool_calls(given)
        except ALLOWED:
            pass
        assert type(client.tool_calls) is list
    client._t_calls_beautify(client.tool_calls)


if __name__ == "__main__":
    run(guarded(body, ALLOWED))
