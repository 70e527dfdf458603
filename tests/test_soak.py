"""Soak: many mixed turns in one process, against the local service, with faults.

Whole and streamed turns, with and without a tool pass, and every few turns a fault (a failed status, a reset
before the headers or in the middle of a stream, a broken line, a stall past the read timeout, a refused
connection, a failing follow-up, a tool that raises). Afterwards the live objects, the traced memory, the
resident set and the open file descriptors must be where they were after the warm-up.

The suite runs 1,000 turns; set CORVEL_SOAK_TURNS=10000 for the full soak (about two minutes), and run
pytest with -s to see the numbers:

    CORVEL_SOAK_TURNS=10000 .venv/bin/python -m pytest -q -s tests/test_soak.py
"""

from __future__ import annotations

import contextlib
import gc
import os
import socket
import time
import tracemalloc
from collections.abc import Callable

import pytest
import requests

from corvel.modal import LLModal
from corvel.testing import HangUp, Stream, answer, message, stream, tool_call
from corvel.tools import Tools

TURNS = int(os.environ.get("CORVEL_SOAK_TURNS", "1000"))
WARM_UP = 200
FALLBACK = "The server is busy. Please try again later."


def refused_url() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/v1/chat/completions"


def asks(streamed: bool, name: str = "add"):
    calls = [tool_call("c1", name, {"a": 1, "b": 2})]
    return stream(tool_calls=calls) if streamed else message(tool_calls=calls)


def ok(streamed: bool):
    return stream(["fine ", "answer"], reasoning=["r"]) if streamed else message("fine answer", reasoning_content="r")


# One kind of turn: (streamed, the replies it gets, whether it fails). None stands for a refused connection.
KINDS: list[tuple[bool, Callable[[], list], bool]] = [
    (False, lambda: [ok(False)], False),
    (True, lambda: [ok(True)], False),
    (False, lambda: [asks(False), ok(False)], False),
    (True, lambda: [asks(True), ok(True)], False),
    (False, lambda: [answer({"error": "overloaded"}, 503)], True),
    (True, lambda: [answer({"error": "slow down"}, 429)], True),
    (True, lambda: [stream(["abc", "def"]).cut(4)], True),
    (False, lambda: [HangUp()], True),
    (True, lambda: [Stream([b"data: \xff"])], True),
    (False, lambda: [answer(b'{"choices": [')], True),
    (True, lambda: [asks(True), answer("down", 500)], True),
    (False, lambda: [asks(False), HangUp()], True),
    (True, lambda: [asks(True, "explode"), ok(True)], False),
    (False, lambda: [None], True),
    (False, lambda: [ok(False)], False),
    (True, lambda: [asks(True), ok(True)], False),
    (True, lambda: [stream(["late"]).stall_after(1, 0.2)], True),  # the last kind: STALL
]
STALL = len(KINDS) - 1


class _Discard:
    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass


DISCARD = _Discard()


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle(fds: int) -> None:
    """Let the service's handler threads finish closing their sockets (a stall ends 0.2 s late)."""
    deadline = time.monotonic() + 3
    while open_descriptors() > fds and time.monotonic() < deadline:
        time.sleep(0.02)
    gc.collect()


def test_mixed_turns_stay_flat(server):
    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        return a + b

    @tools.register
    def explode(a: int, b: int) -> int:
        raise RuntimeError("boom")

    client = LLModal(endpoint_url=server.url, tools=tools)
    refused = refused_url()
    failures = 0

    def turn(number: int) -> None:
        nonlocal failures
        streamed, replies, fails = KINDS[number % len(KINDS)]
        script = replies()
        client.extra_body["stream"] = streamed
        client.endpoint_url = refused if script == [None] else server.url
        # A short read limit only for the stall: elsewhere a busy machine must not turn into a fault.
        client._timeout = (5, 0.05 if number % len(KINDS) == STALL else 30)
        server.extend(r for r in script if r is not None)
        try:
            with contextlib.redirect_stdout(DISCARD):  # the failure lines, thousands of them
                result = client.invoke(f"turn {number}")
                if streamed:
                    for _ in result:
                        pass
        except (requests.RequestException, ValueError):
            failures += 1
            assert fails, f"turn {number} failed"
        else:
            assert not fails, f"turn {number} did not fail"
        assert client.tool_calls == [] and client._tool_calls_count == 0
        # A turn that gives up on a stall may end before the server has even read its request (on a busy
        # machine): wait for the requests before counting what is left of the script.
        server.wait_for_requests(sum(r is not None for r in script))
        assert server.pending == 0
        client.messages.clear()
        server.reset()

    for number in range(WARM_UP):
        turn(number)
    failures = 0
    fds = open_descriptors()
    settle(fds)
    tracemalloc.start()
    try:
        before = (len(gc.get_objects()), tracemalloc.get_traced_memory()[0], resident_bytes(), open_descriptors())
        started = time.monotonic()
        for number in range(WARM_UP, WARM_UP + TURNS):
            turn(number)
        elapsed = time.monotonic() - started
        settle(fds)
        after = (len(gc.get_objects()), tracemalloc.get_traced_memory()[0], resident_bytes(), open_descriptors())
    finally:
        tracemalloc.stop()

    print(f"\nsoak: {TURNS} turns ({failures} failed as scripted) in {elapsed:.1f} s")
    for name, b, a in zip(["live objects", "traced bytes", "RSS bytes", "open fds"], before, after):
        print(f"  {name:13} before {b:>12,}  after {a:>12,}  grown {a - b:>+10,}")
    grown = [a - b for a, b in zip(after, before)]
    assert failures == sum(KINDS[n % len(KINDS)][2] for n in range(WARM_UP, WARM_UP + TURNS))
    assert grown[0] < 300, "live objects grew"
    assert grown[1] < 512 * 1024, "traced memory grew"
    # Under AddressSanitizer freed memory waits in a quarantine of up to 256 MB before it is reused.
    assert grown[2] < (320 if os.environ.get("CORVEL_EXPECT_ASAN") else 16) * 1024 * 1024, "the resident set grew"
    assert grown[3] <= 0, "file descriptors leaked"
