"""The fault matrix: every fault the local service can inject, in whole and streamed turns, on the first
request of a turn and on the follow-up request after a tool pass.

One table of cells, one test. Whatever fails, the caller gets the documented exception, the documented lines
are printed (a failure inside a follow-up passes outward through one more level, which prints its own line),
the conversation ends with the answer or the fallback text exactly once, the tool state is at rest, every
tool-call record is answered, and the next turn works.
"""

from __future__ import annotations

import gzip
import json
import socket
import time
from dataclasses import dataclass
from typing import Any, Callable

import httpx
import pydantic
import pytest
import requests

from corvel.message import MessageRole
from corvel.modal import LLModal, LLMStatus
from corvel.testing import HangUp, Stream, answer, chunk, message, stream, tool_call
from corvel.tools import Tools

from support import blocking

FALLBACK = "The server is busy. Please try again later."
REQUEST, PARSE = "LLM request error: ", "Error parsing LLM response: "
BIG = "x" * (10 * 1024 * 1024)
BOMB = gzip.compress(bytes(50_000_000))


def refused_url() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1/chat/completions"


def ok(mode: str, text: str):
    return stream([text[: len(text) // 2], text[len(text) // 2:]]) if mode == "stream" else message(text)


def asks(mode: str, name: str, call_id: str = "c1"):
    calls = [tool_call(call_id, name, {})]
    return stream(tool_calls=calls) if mode == "stream" else message(tool_calls=calls)


@dataclass(frozen=True)
class Cell:
    """One fault in one mode. ``reply`` builds the faulty reply (None: the endpoint refuses connections);
    ``error`` is the exact type the caller gets (None: the turn succeeds), ``line`` the prefix of the line
    printed where the fault happens, ``ends`` the text of the conversation's last assistant message."""

    id: str
    mode: str
    reply: Callable[[], Any] | None
    error: type[BaseException] | None
    line: str | None
    ends: str = FALLBACK
    awaited: type[BaseException] | None = None  # what ainvoke raises where its transport (httpx) differs


W, S = "whole", "stream"
T = httpx.TransportError  # a refused, reset or cut connection: which one depends on when the client notices
NO_ID = {"type": "function", "function": {"name": "step", "arguments": "{}"}}
J = json.JSONDecodeError
CELLS = [
    Cell("refused", W, None, requests.ConnectionError, REQUEST, awaited=T),
    Cell("refused", S, None, requests.ConnectionError, REQUEST, awaited=T),
    Cell("reset-before-headers", W, HangUp, requests.ConnectionError, REQUEST, awaited=T),
    Cell("reset-before-headers", S, HangUp, requests.ConnectionError, REQUEST, awaited=T),
    Cell("reset-mid-body", W, lambda: message("half of this").cut(20), requests.exceptions.ChunkedEncodingError,
         REQUEST, awaited=T),
    Cell("reset-before-first-fragment", S, lambda: stream(["abc", "def"]).cut(2),
         requests.exceptions.ChunkedEncodingError, PARSE, awaited=T),
    Cell("reset-after-a-fragment", S, lambda: stream(["abc", "def"]).cut(4),
         requests.exceptions.ChunkedEncodingError, PARSE, ends="abc", awaited=T),
    Cell("truncated-json", W, lambda: answer(b'{"choices": [{"message": {"content": "Pa'),
         requests.exceptions.JSONDecodeError, PARSE, awaited=json.JSONDecodeError),
    Cell("truncated-json", S, lambda: Stream(['data: {"choices": [{"delta": {"content": "Pa']), J, PARSE),
    *[Cell(f"status-{code}", mode, lambda code=code: answer({"error": {"message": f"failed with {code}"}}, code),
           ValueError, REQUEST)
      for code in (429, 500, 503) for mode in (W, S)],
    # 50 MB of zeros sent as 51 KB of gzip: quoted in full, the line and the exception took 200 MB each.
    *[Cell("status-503-gzip-bomb", mode, lambda: answer(BOMB, 503, headers={"Content-Encoding": "gzip"}), ValueError,
           REQUEST) for mode in (W, S)],
    Cell("nan-in-answer", W, lambda: answer(b'{"choices": [{"message": {"content": NaN}}]}'), ValueError, PARSE),
    Cell("nan-in-chunk", S, lambda: Stream(['data: {"choices": [{"delta": {"content": Infinity}}]}']), ValueError,
         PARSE),
    Cell("ends-unfinished", S, lambda: stream(["cut ", "short"], finish=False, done=False), ValueError, PARSE,
         ends="cut short"),
    Cell("stall-before-headers", W, lambda: message("late").delayed(2), requests.exceptions.ReadTimeout, REQUEST,
         awaited=httpx.ReadTimeout),
    Cell("stall-before-headers", S, lambda: stream("late").delayed(2), requests.exceptions.ReadTimeout, REQUEST,
         awaited=httpx.ReadTimeout),
    Cell("stall-mid-stream", S, lambda: stream(["never"]).stall_after(1, 2), requests.ConnectionError, PARSE,
         awaited=httpx.ReadTimeout),
    # requests decodes a JSON body it is told is UTF-8 with replacement characters: the answer gets through.
    Cell("invalid-utf8", W, lambda: answer(b'{"choices": [{"message": {"content": "a\xff\xfeb"}}]}'), None, None,
         ends="a\ufffd\ufffdb"),
    Cell("invalid-utf8", S, lambda: Stream([chunk({"content": "ok"}).encode()[:-4] + b'\xff"}}]}']),
         UnicodeDecodeError, PARSE),
    Cell("10MB-answer", W, lambda: message(BIG), None, None, ends=BIG),
    Cell("10MB-line", S, lambda: Stream([chunk({"content": BIG}), chunk({}, "stop")]), None, None, ends=BIG),
    Cell("10MB-garbage-line", S, lambda: Stream(["data: " + BIG]), J, PARSE),
    Cell("non-object-json", W, lambda: answer([1, 2]), TypeError, PARSE),
    Cell("non-object-json", S, lambda: Stream(["data: [1,2]"]), TypeError, PARSE),
    Cell("number-json", S, lambda: Stream(["data: 5"]), TypeError, PARSE),
    Cell("null-json", S, lambda: Stream(["data: null"]), TypeError, PARSE),
    # A reasoning text that is not text: the result record refuses it (once a SystemError).
    Cell("reasoning-not-text", W, lambda: answer({"choices": [{"message": {"content": "x", "reasoning_content": [1]}}]}),
         pydantic.ValidationError, PARSE, ends="x"),
    Cell("reasoning-not-text", S, lambda: Stream([chunk({"reasoning_content": [1]})]), pydantic.ValidationError, PARSE),
    # A malformed call (no id) after text was recorded: the text stays the answer, at any depth.
    Cell("text-then-call-without-id", W, lambda: message("let me see", tool_calls=[NO_ID]), KeyError, PARSE,
         ends="let me see"),
    Cell("text-then-call-without-id", S, lambda: Stream([chunk({"content": "let me see"}),
                                                         chunk({"tool_calls": [{"index": 0, **NO_ID}]}),
                                                         chunk({}, "tool_calls")]), KeyError, PARSE, ends="let me see"),
    # Tool faults are the model's to recover from: answered with an "Error" result, the turn goes on.
    Cell("tool-raises", W, lambda: asks(W, "explode", "t1"), None, None, ends="recovered"),
    Cell("tool-raises", S, lambda: asks(S, "explode", "t1"), None, None, ends="recovered"),
    Cell("tool-result-not-json", W, lambda: asks(W, "opaque", "t1"), None, None, ends="recovered"),
    Cell("tool-result-not-json", S, lambda: asks(S, "opaque", "t1"), None, None, ends="recovered"),
]


def make_tools(hook: list[Callable[[], None]]) -> Tools:
    tools = Tools()

    @tools.register
    def step() -> str:
        """A tool that works (and runs the test's hook, which may break the service for what follows)."""
        for action in hook:
            action()
        return "stepped"

    @tools.register
    def explode() -> str:
        raise RuntimeError("the tool blew up")

    @tools.register
    def opaque() -> object:
        return object()

    return tools


def drain(turn: Callable[..., Any], client: LLModal, prompt: str) -> str:
    """Run one turn to its end; the answer text."""
    result = turn(client, prompt)
    if client.stream:
        return "".join(r.content for r in result if r.status == LLMStatus.answer)
    return result.content


def consistent(c: LLModal) -> None:
    messages = c.messages
    for i, m in enumerate(messages):
        if m.tool_calls:
            ids = [call["id"] for call in m.tool_calls]
            assert [r.tool_call_id for r in messages[i + 1:i + 1 + len(ids)]] == ids
    assert c.tool_calls == [] and c._tool_calls_count == 0


def texts(c: LLModal) -> list[tuple[str, list[Any]]]:
    return [(m.role.value, m.contents) for m in c.messages if not m.tool_calls and m.role != MessageRole.tool]


@pytest.mark.parametrize("position", ["first", "follow-up"])
@pytest.mark.parametrize("cell", CELLS, ids=[f"{c.id}-{c.mode}" for c in CELLS])
def test_fault(turn, server, capsys, cell: Cell, position: str) -> None:
    hook: list[Callable[[], None]] = []
    c = LLModal(endpoint_url=server.url, tools=make_tools(hook), extra_body={"stream": cell.mode == S})
    # A short read limit only where the fault is a stall: elsewhere a busy machine must not turn into a fault.
    c._timeout = (5, 0.3) if cell.id.startswith("stall") else (5, 30)
    follow_up = position == "follow-up"
    if follow_up:
        server.add(asks(cell.mode, "step"))
    if cell.reply is None:
        refused = refused_url()
        if follow_up:
            hook.append(lambda: setattr(c, "endpoint_url", refused))
        else:
            c.endpoint_url = refused
    else:
        server.add(cell.reply())
    if cell.error is None and cell.ends == "recovered":
        server.add(ok(cell.mode, "recovered"))

    started = time.monotonic()
    if cell.error is None:
        drain(turn, c, "q")
        assert capsys.readouterr().out == ""
    else:
        with pytest.raises(BaseException) as caught:
            drain(turn, c, "q")
        if turn is blocking or cell.awaited is None:
            assert type(caught.value) is cell.error
        else:
            assert isinstance(caught.value, cell.awaited)
        text = str(caught.value) or type(caught.value).__name__
        expected = [cell.line + text] + [PARSE + text] * follow_up
        assert capsys.readouterr().out == "".join(line + "\n" for line in expected)
        assert len(text) < 5000  # an error body is quoted in part
    assert time.monotonic() - started < 10  # a long line once cost a minute of CPU

    # A follow-up that recorded text and then failed leaves the first request unanswered: its level adds the
    # fallback after that text, once.
    late_fallback = follow_up and cell.error is not None and cell.ends != FALLBACK
    assert texts(c) == [("user", ["q"]), ("assistant", [cell.ends])] + [("assistant", [FALLBACK])] * late_fallback
    everything = [entry for m in c.messages for entry in m.contents if isinstance(entry, str)]
    assert sum(FALLBACK in entry for entry in everything) == (cell.ends == FALLBACK or late_fallback)
    tool_records = [m for m in c.messages if m.role == MessageRole.tool]
    assert len(tool_records) == follow_up + (cell.ends == "recovered")
    if cell.ends == "recovered":
        assert tool_records[-1].contents[0].startswith("Error")
    consistent(c)

    hook.clear()
    c.endpoint_url = server.url
    c._timeout = (5, 30)
    server.reset()
    server.add(ok(cell.mode, "next answer"))
    assert drain(turn, c, "next") == "next answer"
    assert capsys.readouterr().out == ""
    assert server.requests[0].json["messages"] == [m.latest for m in c.messages[:-1]]
    assert texts(c)[-2:] == [("user", ["next"]), ("assistant", ["next answer"])]
    consistent(c)
