"""corvel.testing: the scripted service, exercised over real HTTP on 127.0.0.1."""

import doctest
import gzip
import json
import socket
import struct
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
import requests

import corvel.testing
from corvel.testing import (
    DONE, HangUp, ScriptedServer, Stream, answer, chunk, data, message, stream, tool_call,
)


@pytest.fixture
def srv():
    with ScriptedServer() as server:
        yield server


def post(srv, **kwargs):
    return requests.post(srv.url, json={"messages": []}, timeout=5, **kwargs)


def test_module_example_runs():
    assert doctest.testmod(corvel.testing).failed == 0


CALL = tool_call("c1", "add", {"x": 1})


@pytest.mark.parametrize("reply, status, content_type, expected", [
    (message("hi"), 200, "application/json",
     {"role": "assistant", "content": "hi"}),
    (message(reasoning_content="hmm", tool_calls=[CALL]), 200, "application/json",
     {"role": "assistant", "content": None, "reasoning_content": "hmm", "tool_calls": [
         {"id": "c1", "type": "function", "function": {"name": "add", "arguments": '{"x": 1}'}}]}),
    (answer(b"not json"), 200, "application/json", b"not json"),
    (answer({"choices": []}, 201), 201, "application/json", b'{"choices": []}'),
    (answer("<h1>busy</h1>", 503, content_type="text/html"), 503, "text/html", b"<h1>busy</h1>"),
    (answer(gzip.compress(b"upstream failed"), 502, content_type="text/plain", headers={"Content-Encoding": "gzip"}),
     502, "text/plain", b"upstream failed"),
])
def test_whole_answers(srv, reply, status, content_type, expected):
    srv.add(reply)
    r = post(srv)
    assert (r.status_code, r.headers["Content-Type"], r.headers["Connection"]) == (status, content_type, "keep-alive")
    if isinstance(expected, bytes):
        assert r.content == expected
    else:
        choice = r.json()["choices"][0]
        assert choice["message"] == expected
        assert choice["finish_reason"] == ("tool_calls" if "tool_calls" in expected else "stop")


@pytest.mark.parametrize("default, status, text", [
    (None, 500, "script exhausted: no reply for request 2 (POST /v1/chat/completions)"),
    (message("fallback"), 200, "fallback"),
    (lambda request: message(f"{request.path} {len(request.json['messages'])}"), 200, "/v1/chat/completions 0"),
    (lambda request: 1 / 0, 500, "ZeroDivisionError"),
    (lambda request: None, 500, "responder returned None"),
])
def test_script_order_then_default(srv, default, status, text):
    srv.extend([answer({"n": 1})])
    srv.default = default
    assert post(srv).json() == {"n": 1} and srv.pending == 0
    r = post(srv)
    body = r.json()
    assert r.status_code == status
    assert text in (body["choices"][0]["message"]["content"] if status == 200 else body["error"]["message"])


def test_requests_are_recorded(srv):
    srv.default = message("ok")
    with pytest.raises(TimeoutError):
        srv.wait_for_requests(1, timeout=0.05)
    requests.post(srv.url, json={"a": 1}, headers={"Authorization": "Bearer k"}, timeout=5)
    requests.post(f"http://127.0.0.1:{srv.port}/any/path", data=b"\xffnot json", timeout=5)
    requests.post(srv.url, data=iter([b'{"chunked"', b": true}"]), timeout=5)  # chunked request body
    deep = requests.post(srv.url, data=b"[" * 100_000, timeout=5)  # deeper than the JSON decoder goes
    assert deep.json()["choices"][0]["message"]["content"] == "ok"
    first, second, third, fourth = srv.wait_for_requests(4, timeout=1)
    assert (first.method, first.path, first.json) == ("POST", "/v1/chat/completions", {"a": 1})
    assert first.headers["AUTHORIZATION"] == "Bearer k" and "authorization" in first.headers
    assert (second.path, second.body, second.json) == ("/any/path", b"\xffnot json", None)
    assert third.json == {"chunked": True} and (len(fourth.body), fourth.json) == (100_000, None)
    srv.reset()
    assert srv.requests == []


def test_concurrent_clients_each_get_one_reply(srv):
    srv.extend(message(str(i)) for i in range(24))
    with ThreadPoolExecutor(8) as pool:
        futures = [pool.submit(lambda: post(srv).json()["choices"][0]["message"]["content"]) for _ in range(24)]
        started = time.monotonic()
        assert len(srv.wait_for_requests(24, timeout=5)) == 24
        assert time.monotonic() - started < 2  # woken by the arrivals, not by the timeout
    assert sorted((f.result() for f in futures), key=int) == [str(i) for i in range(24)]


def read_stream(srv, reply):
    srv.add(reply)
    r = post(srv, stream=True)
    assert (r.status_code, r.headers["Content-Type"]) == (200, "text/event-stream")
    assert "Content-Length" not in r.headers
    return list(r.iter_lines())


@pytest.mark.parametrize("kwargs, opening, finish, usage, done", [
    ({}, {"role": "assistant", "content": ""}, "stop", False, True),
    ({"opening": "role", "usage": True, "reasoning_key": "reasoning"}, {"role": "assistant"}, "stop", True, True),
    ({"tool_calls": [CALL, tool_call("c2", "neg", '{"x": -12345}')], "done": False},
     {"role": "assistant", "content": None}, "tool_calls", False, False),
    ({"tool_calls": [CALL, tool_call("c2", "f", {"y": [1, 2, 3]})], "same_index": True, "opening": "null",
      "finish": "length", "usage": True},
     {"role": "assistant", "content": None}, "length", True, True),
    ({"opening": None, "finish": False, "framing": "close", "chunk_size": 5}, None, None, False, True),
])
def test_stream_shapes(srv, kwargs, opening, finish, usage, done):
    lines = read_stream(srv, stream(["Hel", "lo"], reasoning=["think"], **kwargs))
    assert set(lines[1::2]) == {b""} and b"" not in lines[::2]
    assert (lines[-2] == DONE.encode()) == done
    chunks = [json.loads(line.removeprefix(b"data: ")) for line in lines[::2] if line != DONE.encode()]
    assert ("usage" in chunks[-1] and chunks[-1]["choices"] == []) == usage
    choices = [c["choices"][0] for c in chunks if c["choices"]]
    deltas = [c["delta"] for c in choices]
    if opening is not None:
        assert deltas.pop(0) == opening
    assert [c["finish_reason"] for c in choices if c["finish_reason"]] == ([finish] if finish else [])
    assert deltas[0] == {kwargs.get("reasoning_key", "reasoning_content"): "think"}
    assert "".join(d.get("content") or "" for d in deltas) == "Hello"
    calls = []  # [index, id, name, arguments], in the order the calls began
    for frag in (f for d in deltas for f in d.get("tool_calls", [])):
        if "id" in frag:
            assert frag["type"] == "function" and frag["function"]["arguments"] == ""
            calls.append([frag["index"], frag["id"], frag["function"]["name"], ""])
        else:
            assert set(frag) == {"index", "function"} and set(frag["function"]) == {"arguments"}
            assert frag["index"] == calls[-1][0]
            calls[-1][3] += frag["function"]["arguments"]
    assert calls == [[0 if kwargs.get("same_index") else i, c["id"], c["function"]["name"],
                      c["function"]["arguments"]] for i, c in enumerate(kwargs.get("tool_calls", []))]


LONG = "x" * (8 * 1024 * 1024)


@pytest.mark.parametrize("framing, chunk_size", [
    ("chunked", None), ("chunked", 1024), ("length", None), ("length", 1024), ("close", None),
])
def test_stream_framings(srv, framing, chunk_size):
    lines = [chunk({"content": "a"}), "", LONG, DONE]
    body = b"".join(line.encode() + b"\n" for line in lines)
    srv.add(Stream(lines, framing=framing, chunk_size=chunk_size))
    r = post(srv, stream=True)
    framed = {name: r.headers.get(name) for name in ("Transfer-Encoding", "Content-Length", "Connection")}
    assert framed == {"Transfer-Encoding": "chunked" if framing == "chunked" else None,
                      "Content-Length": str(len(body)) if framing == "length" else None,
                      "Connection": "close" if framing == "close" else "keep-alive"}
    if framing != "chunked":
        assert r.raw.read() == body
        return
    pieces = list(r.raw.read_chunked())
    sizes = [len(line) + 1 for line in lines] if chunk_size is None else \
        [min(chunk_size, len(line) + 1 - start) for line in lines for start in range(0, len(line) + 1, chunk_size)]
    assert b"".join(pieces) == body and [len(piece) for piece in pieces] == sizes


def test_connections_persist_until_a_fault(srv):
    srv.extend([message("a"), stream(["b"]), message("c").cut(3), message("d"), stream(["e"], framing="close"),
                message("f"), message("g"), HangUp(), message("h")])
    seen = []
    with requests.Session() as session:
        for headers in ({}, {}, {}, {}, {}, {"Connection": "close"}, {}, {}, {}):
            try:
                r = session.post(srv.url, json={}, headers=headers, timeout=5)
                seen.append((r.headers["Connection"], srv.connections))
            except requests.RequestException:
                seen.append(("failed", srv.connections))
    assert seen == [("keep-alive", 1), ("keep-alive", 1), ("failed", 1), ("keep-alive", 2), ("close", 2),
                    ("close", 3), ("keep-alive", 4), ("failed", 4), ("keep-alive", 5)]
    assert len(srv.requests) == 9


def test_raw_lines_arrive_byte_exact(srv):
    raw = [": keep-alive", "", "event: x", b"\xff\xfe", data({"choices": []}), chunk({"content": "é"}), "[DONE]"]
    assert read_stream(srv, Stream(raw)) == [x if isinstance(x, bytes) else x.encode() for x in raw]


CUT = answer(b'{"choices":\n[]}').cut(12)
FIRST_LINES = [chunk({"role": "assistant", "content": ""}).encode(), b"", chunk({"content": "a"}).encode()]


RESET, TIMEOUT = "reset by peer", "timed out"


@pytest.mark.parametrize("reply, received, error, match", [
    (HangUp(), [], requests.ConnectionError, RESET),
    (message("hi").delayed(30), [], requests.ReadTimeout, TIMEOUT),
    (HangUp(delay=30), [], requests.ReadTimeout, TIMEOUT),
    (CUT, [b'{"choices":'], requests.exceptions.ChunkedEncodingError, RESET),
    (stream(["a", "b"]).cut(3), FIRST_LINES, requests.exceptions.ChunkedEncodingError, RESET),
    (stream(["a", "b"], framing="length").cut(3), FIRST_LINES, requests.exceptions.ChunkedEncodingError, RESET),
    (stream(["a", "b"], framing="close", chunk_size=7).cut(3), FIRST_LINES,
     requests.exceptions.ChunkedEncodingError, RESET),
    (stream(["a", "b"]).delayed(0.2).stall_after(3, 30), FIRST_LINES, requests.ConnectionError, TIMEOUT),
    (stream(["a", "b"], framing="length").stall_after(3, 30), FIRST_LINES, requests.ConnectionError, TIMEOUT),
    (stream(["a", "b"], framing="close").stall_after(3, 30), FIRST_LINES, requests.ConnectionError, TIMEOUT),
])
def test_faults_and_prompt_quiet_close(reply, received, error, match, capfd):
    srv = ScriptedServer(reply).start()
    got = []
    with pytest.raises(error, match=match):
        r = requests.post(srv.url, json={}, stream=True, timeout=(2, 0.5))
        # Stream lines before a stall arrive: each was flushed on its own. Read bodies that are not chunked
        # bytewise: a larger read waits until it is full.
        got.extend(r.iter_lines(512 if isinstance(reply, Stream) and reply.framing == "chunked" else 1))
    assert got == received
    started = time.monotonic()
    srv.close()
    assert time.monotonic() - started < 1.0
    assert capfd.readouterr().err == ""


def test_close_breaks_idle_and_half_sent_connections(capfd):
    srv = ScriptedServer(message("never sent")).start()
    idle, half, rude = (socket.create_connection(("127.0.0.1", srv.port)) for _ in range(3))
    half.sendall(b"POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")
    rude.sendall(b"POST / HTTP/1.1\r\n")
    rude.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    rude.close()  # a reset while the server reads the headers must not print a traceback
    idle.settimeout(2), half.settimeout(2)
    time.sleep(0.1)
    started = time.monotonic()
    srv.close()
    srv.close()
    assert time.monotonic() - started < 1.0
    assert half.recv(100) == b"" and idle.recv(100) == b""
    assert (srv.requests, srv.pending, capfd.readouterr().err) == ([], 1, "")
    with pytest.raises(RuntimeError):
        srv.start()
    with pytest.raises(RuntimeError, match="not running"):
        ScriptedServer().url
