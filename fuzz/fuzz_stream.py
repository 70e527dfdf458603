"""Stream lines through LLModal._stream_response on an in-memory response.

Input: three control bytes (how many tool passes the client allows; what the consumer does, and at which
record: read on, close the stream, throw into it, or ask it to stop through `_close`), then the body lines,
split at "\\n". A line "#next" starts the response of the follow-up request that a tool pass sends, so
delegation to follow-up streams is fuzzed too. Seeds are real streams, readable in fuzz/corpus/fuzz_stream/.
With the first byte's high bit set, the rest of the input instead drives a generator of chunk lines whose
fields hold values of any JSON type, which raw mutations of a text reach only slowly.

Fine: the exceptions malformed lines cause in the parsing code (ValueError with JSONDecodeError,
UnicodeDecodeError and pydantic's ValidationError; TypeError, KeyError, IndexError, AttributeError), Python's
recursion limit, and a request error when the script has no follow-up. Whatever happens, the conversation
stays consistent: the fallback text is never joined onto text and is recorded at most once, every tool-call
record is answered, a failure prints its line and leaves the tool state at rest.
"""

from __future__ import annotations

import json
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(__file__))
os.environ["CORVEL_CONFIG"] = "/nonexistent/corvel-fuzz.toml"  # no key: never a real configuration
os.environ.pop("CORVEL_LLM_API_KEY", None)

with atheris.instrument_imports(include=["corvel", "json", "_harness"]):
    from _harness import guarded, protocol_message, run, value
    import corvel.modal
    from corvel.message import MessageRole
    from corvel.modal import LLModal, LLMResult
    from corvel.tools import Tools

import requests

FALLBACK = "The server is busy. Please try again later."
ALLOWED = (ValueError, TypeError, KeyError, IndexError, AttributeError, RecursionError, requests.RequestException)


class Response:
    """What _stream_response reads from a requests.Response: iter_lines() and close()."""

    status_code = 200
    content = b""

    def __init__(self, lines: list[bytes]) -> None:
        self.lines = lines
        self.closed = False

    def iter_lines(self):
        yield from self.lines

    def close(self) -> None:
        self.closed = True


class Service:
    """Stands in for `requests` in corvel.modal: each follow-up request gets the next scripted response."""

    RequestException = requests.RequestException

    def __init__(self) -> None:
        self.responses: list[Response] = []

    def post(self, url, headers, json, stream, timeout):
        if not self.responses:
            raise requests.ConnectionError("the script has no follow-up response")
        return self.responses.pop(0)


SERVICE = Service()
PRINTED: list[str] = []
corvel.modal.requests = SERVICE  # the client looks its globals up at call time
corvel.modal.print = lambda text, flush=False: PRINTED.append(text)

TOOLS = Tools()


@TOOLS.register
def add(a: int, b: int) -> int:
    return a + b


@TOOLS.register
def echo(text: str = "") -> str:
    return text


SPECIAL = [b"", b": keep-alive", b"event: message", b"id: 1", b"retry: 5", b"data: [DONE]", b"data:", b"#next",
           b"data: \xff\xfe", b"data: [1,2]", b"data: null"]


@atheris.instrument_func
def generated_lines(fdp: atheris.FuzzedDataProvider) -> list[bytes]:
    lines = []
    for _ in range(fdp.ConsumeIntInRange(0, 10)):
        kind = fdp.ConsumeIntInRange(0, 7)
        if kind == 0:
            lines.append(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 32)))
        elif kind == 1:
            lines.append(fdp.PickValueInList(SPECIAL))
        elif kind == 2:
            lines.append(b"data: " + json.dumps(value(fdp)).encode())
        else:
            choice = {"index": 0, "delta": protocol_message(fdp),
                      "finish_reason": fdp.PickValueInList([None, None, "stop", "tool_calls"])}
            if not fdp.ConsumeIntInRange(0, 7):
                del choice["delta"]
            lines.append(b"data: " + json.dumps({"choices": [choice]}).encode())
    return lines


def consistent(client: LLModal) -> None:
    messages = client.messages
    fallbacks = 0
    for i, message in enumerate(messages):
        for entry in message.contents:
            if isinstance(entry, str) and FALLBACK in entry:
                assert entry == FALLBACK, f"the fallback joined onto text: {entry!r}"
                fallbacks += 1
        if message.tool_calls:
            ids = [str(call.get("id") or "") for call in message.tool_calls]
            answered = [m.tool_call_id for m in messages[i + 1:i + 1 + len(ids)]]
            assert answered == ids, f"tool calls {ids} answered by {answered}"
    assert fallbacks <= 1, f"{fallbacks} fallback answers"


@atheris.instrument_func
def body(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data[:3])
    limit, action, at = fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 3)
    scripts: list[list[bytes]] = [[]]
    lines = generated_lines(atheris.FuzzedDataProvider(data[3:])) if data[:1] >= b"\x80" else data[3:].split(b"\n")
    for line in lines:
        if line == b"#next":
            scripts.append([])
        else:
            scripts[-1].append(line)
    SERVICE.responses = [Response(lines) for lines in scripts[1:]]
    PRINTED.clear()
    client = LLModal(tools=TOOLS, extra_body={"stream": True}, tool_calls_limit=limit)
    records = client._stream_response(Response(scripts[0]))
    failure = None
    closed = False
    try:
        for number, record in enumerate(records):
            assert type(record) is LLMResult
            if number == at and action == 1:
                records.close()
                closed = True
            elif number == at and action == 2:
                records.throw(KeyError("thrown by the consumer"))
            elif number == at and action == 3:
                client._close = True
    except ALLOWED as exc:
        failure = exc
    consistent(client)
    if not closed:  # a stream closed by its consumer leaves the rest to the next invoke()
        assert client.tool_calls == [] and client._tool_calls_count == 0, "tool state not reset"
    if failure is not None:
        assert PRINTED and PRINTED[-1].endswith(str(failure)), (PRINTED, failure)
        raise failure
    assert all(m.role in MessageRole for m in client.messages)


if __name__ == "__main__":
    run(guarded(body, ALLOWED))
