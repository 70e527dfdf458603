"""A scripted chat-completions service on 127.0.0.1, for tests, examples and the demo.

:class:`ScriptedServer` is a real HTTP server on a free loopback port. It answers each POST (any path)
with the next reply of its script, a first-in first-out queue, and records every request it receives.
Point a client at ``srv.url`` (``srv.base_url`` for SDKs that append ``/chat/completions`` themselves)::

    >>> import requests
    >>> from corvel.testing import ScriptedServer, message, stream
    >>> with ScriptedServer(message("Hello!"), stream(["Hel", "lo"])) as srv:
    ...     whole = requests.post(srv.url, json={"messages": []}).json()
    ...     lines = list(requests.post(srv.url, json={"stream": True}, stream=True).iter_lines())
    >>> whole["choices"][0]["message"]["content"]
    'Hello!'
    >>> [line for line in lines if line][-1]
    b'data: [DONE]'
    >>> [r.json for r in srv.requests]
    [{'messages': []}, {'stream': True}]

Replies come in three kinds, each a small frozen dataclass:

* :class:`Answer`: a whole body with its Content-Length. :func:`message` builds a chat-completions answer,
  :func:`answer` sends any body (bytes, text or a JSON value) with any status code.
* :class:`Stream`: server-sent lines, each written and flushed on its own, optionally after a pause; by
  default one chunk of a chunked body per line, or framed by Content-Length, or ended by closing the
  connection, and in pieces of at most ``chunk_size`` bytes. :func:`stream` builds a realistic stream
  from answer fragments; :func:`chunk`, :func:`data` and :data:`DONE` make single lines, and raw lines
  (comments, invalid UTF-8, anything) can be mixed in.
* :class:`HangUp`: no answer at all; the server resets the connection.

Faults are options of these replies: ``.delayed(seconds)`` stalls before the status line,
``Stream.stall_after(n, seconds)`` stalls in the middle of a stream, and ``.cut(n)`` sends only the first
``n`` body bytes (or stream lines) and then resets the connection. Pauses end early when the server
closes, so closing never waits for them.

A script entry may also be a callable ``responder(request) -> reply``; so may ``default``, the reply used
once the queue is empty (a model that always asks for tools, for instance). With neither, the server
answers 500 with a JSON error saying the script is exhausted.

Connections persist (HTTP/1.1 keep-alive) when the client asks for it, as requests and httpx do, and
:attr:`ScriptedServer.connections` counts the connections accepted. A fault ends its connection: a reset,
a hang-up, a cut body, and a stream delimited by closing all close it. The script is consumed request by
request, whatever the connection, so a fault scripted for one request never leaks into the next.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import socket
import ssl
import struct
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, replace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from socketserver import TCPServer
from typing import Any, Literal, Self, TypeAlias

__all__ = [
    "DONE", "Answer", "Framing", "HangUp", "Line", "RecordedRequest", "Reply", "Responder", "ScriptedServer",
    "Stream", "answer", "chunk", "completion", "data", "message", "stream", "tool_call",
]

DONE = "data: [DONE]"
"""The end line most services send after the last chunk."""

_ID = "chatcmpl-scripted"
_MODEL = "scripted"


# ---------------------------------------------------------------------------------------------------------
# What the server received

class _Headers(Mapping[str, str]):
    """Request headers whose names match case-insensitively (a repeated name keeps its last value)."""

    def __init__(self, items: Iterable[tuple[str, str]]) -> None:
        self._items = {name.lower(): value for name, value in items}

    def __getitem__(self, name: str) -> str:
        return self._items[name.lower()]

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"Headers({self._items!r})"


@dataclass(frozen=True)
class RecordedRequest:
    """One request as the server received it; ``json`` is the decoded body, or None if it is not JSON."""

    method: str
    path: str
    headers: Mapping[str, str]
    body: bytes
    json: Any


# ---------------------------------------------------------------------------------------------------------
# Replies

class _Delayable:
    def delayed(self, seconds: float) -> Self:
        """The same reply, sent after a pause of ``seconds`` before the status line."""
        return replace(self, delay=seconds)  # type: ignore[type-var]


@dataclass(frozen=True)
class Answer(_Delayable):
    """A whole answer: status line, headers and ``body`` with its Content-Length.

    ``reset_after``: send only that many bytes of the body (the headers still announce all of it), then
    reset the connection. ``headers`` are extra response headers, such as ``(("Retry-After", "1"),)``.

    The body is sent as it is: for a compressed answer, give the compressed bytes and say so in a header.
    Clients such as requests then decode it (``response.content`` is the original text)::

        answer(gzip.compress(b"upstream failed"), 502, content_type="text/plain",
               headers={"Content-Encoding": "gzip"})
    """

    body: bytes
    status: int = 200
    content_type: str = "application/json"
    headers: tuple[tuple[str, str], ...] = ()
    delay: float = 0.0
    reset_after: int | None = None

    def cut(self, n: int) -> Answer:
        """The same answer, broken off with a connection reset after ``n`` body bytes."""
        return replace(self, reset_after=n)


@dataclass(frozen=True)
class Line:
    """One line of a stream: ``data`` (text is sent as UTF-8) plus "\\n", sent after ``delay`` seconds."""

    data: bytes | str
    delay: float = 0.0

    @property
    def raw(self) -> bytes:
        return self.data.encode() if isinstance(self.data, str) else self.data


def _as_line(item: Line | bytes | str) -> Line:
    return item if isinstance(item, Line) else Line(item)


Framing: TypeAlias = Literal["chunked", "length", "close"]
_FRAMINGS = ("chunked", "length", "close")


@dataclass(frozen=True)
class Stream(_Delayable):
    """A ``text/event-stream`` answer.

    ``lines`` are sent in order, each ended by "\\n" and flushed on its own (after its pause, if it has
    one); blank separator lines are lines of the script too. ``framing`` says how the body is delimited:

    * ``"chunked"`` (the default): chunked transfer encoding, one chunk per line;
    * ``"length"``: a Content-Length header announcing all the lines, which are still written one by one;
    * ``"close"``: neither header; the body ends when the server closes the connection.

    ``chunk_size``: write each line in pieces of at most that many bytes (with chunked framing, each piece
    is a chunk of its own), so that one long line arrives in many small reads.

    ``reset_after``: send only that many lines, then reset the connection (with ``n >= len(lines)``, all
    lines but not the end of the body: no last chunk, fewer bytes than announced, or a reset instead of a
    clean close).
    """

    lines: Sequence[Line | bytes | str]
    status: int = 200
    delay: float = 0.0
    reset_after: int | None = None
    framing: Framing = "chunked"
    chunk_size: int | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "lines", tuple(self.lines))
        if self.framing not in _FRAMINGS:
            raise ValueError(f"framing must be one of {', '.join(_FRAMINGS)}, not {self.framing!r}")
        if self.chunk_size is not None and self.chunk_size < 1:
            raise ValueError(f"chunk_size must be at least 1 byte, not {self.chunk_size!r}")

    def cut(self, n: int) -> Stream:
        """The same stream, broken off with a connection reset after ``n`` lines."""
        return replace(self, reset_after=n)

    def stall_after(self, n: int, seconds: float) -> Stream:
        """The same stream with a pause of ``seconds`` after its first ``n`` lines."""
        lines = list(self.lines)
        lines[n] = replace(_as_line(lines[n]), delay=seconds)
        return replace(self, lines=lines)


@dataclass(frozen=True)
class HangUp(_Delayable):
    """No answer: the server reads the request, waits ``delay`` seconds and resets the connection.

    With a delay longer than the client's read timeout this is a stall before the headers.
    """

    delay: float = 0.0


Reply: TypeAlias = Answer | Stream | HangUp
Responder: TypeAlias = Callable[[RecordedRequest], Reply]


# ---------------------------------------------------------------------------------------------------------
# Builders

def answer(body: Any, status: int = 200, *, content_type: str = "application/json",
           headers: Mapping[str, str] | None = None) -> Answer:
    """A whole answer. ``bytes`` are sent as they are, ``str`` as UTF-8 text, anything else as JSON."""
    if isinstance(body, str):
        body = body.encode()
    elif not isinstance(body, bytes):
        body = json.dumps(body).encode()
    return Answer(body, status, content_type, tuple((headers or {}).items()))


def tool_call(id: str, name: str, arguments: Mapping[str, Any] | str = "{}") -> dict[str, Any]:
    """One tool call as a model sends it; a mapping of ``arguments`` becomes its JSON text."""
    text = arguments if isinstance(arguments, str) else json.dumps(arguments)
    return {"id": id, "type": "function", "function": {"name": name, "arguments": text}}


def completion(content: str | None = None, *, reasoning_content: str | None = None,
               tool_calls: Iterable[Mapping[str, Any]] = (), finish_reason: str | None = None,
               usage: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """The body of a whole chat-completions answer with one choice.

    ``finish_reason`` defaults to "tool_calls" when there are tool calls, else "stop". ``usage``, when
    given, is sent as the answer's "usage" object.
    """
    msg: dict[str, Any] = {"role": "assistant", "content": content}
    if reasoning_content is not None:
        msg["reasoning_content"] = reasoning_content
    calls = [dict(call) for call in tool_calls]
    if calls:
        msg["tool_calls"] = calls
    choice = {"index": 0, "message": msg, "finish_reason": finish_reason or ("tool_calls" if calls else "stop")}
    body = {"id": _ID, "object": "chat.completion", "created": 0, "model": _MODEL, "choices": [choice]}
    if usage is not None:
        body["usage"] = dict(usage)
    return body


def message(content: str | None = None, *, reasoning_content: str | None = None,
            tool_calls: Iterable[Mapping[str, Any]] = (), finish_reason: str | None = None,
            usage: Mapping[str, Any] | None = None) -> Answer:
    """A whole chat-completions answer whose assistant message has these fields (see :func:`completion`)."""
    return answer(completion(content, reasoning_content=reasoning_content, tool_calls=tool_calls,
                             finish_reason=finish_reason, usage=usage))


def data(value: Any) -> str:
    """One ``data:`` line carrying any JSON value (compact, as services send it)."""
    return "data: " + json.dumps(value, separators=(",", ":"))


def chunk(delta: Mapping[str, Any], finish_reason: str | None = None, *,
          usage: Mapping[str, Any] | None = None) -> str:
    """One ``data:`` line with a streamed chunk whose single choice carries ``delta``.

    ``usage``, when given, rides along as the chunk's "usage" object, as some servers send it on the
    finishing chunk or, as running totals, on every chunk.
    """
    choice = {"index": 0, "delta": dict(delta), "finish_reason": finish_reason}
    event = {"id": _ID, "object": "chat.completion.chunk", "created": 0, "model": _MODEL, "choices": [choice]}
    if usage is not None:
        event["usage"] = dict(usage)
    return data(event)


_OPENINGS: dict[str, dict[str, Any]] = {
    "empty": {"role": "assistant", "content": ""},   # plain answers
    "null": {"role": "assistant", "content": None},  # answers that may call tools
    "role": {"role": "assistant"},                   # some self-hosted servers
}


def _fragments(text: str | Iterable[str]) -> list[str]:
    return [text] if isinstance(text, str) else list(text)


def _tool_call_deltas(calls: Sequence[Mapping[str, Any]], piece_size: int,
                      same_index: bool) -> Iterator[dict[str, Any]]:
    # The first fragment of a call names it with empty arguments; later ones carry only argument pieces.
    for position, call in enumerate(calls):
        index = 0 if same_index else position
        function, args = call["function"], call["function"].get("arguments", "")
        yield {"index": index, "id": call["id"], "type": call.get("type", "function"),
               "function": {"name": function["name"], "arguments": ""}}
        for start in range(0, len(args), piece_size):
            yield {"index": index, "function": {"arguments": args[start:start + piece_size]}}


def stream(content: str | Iterable[str] = (), *, reasoning: str | Iterable[str] = (),
           tool_calls: Iterable[Mapping[str, Any]] = (), finish: str | bool = True,
           opening: Literal["auto", "empty", "null", "role"] | None = "auto",
           usage: bool | Mapping[str, Any] = False, done: bool = True, reasoning_key: str = "reasoning_content",
           piece_size: int = 8, same_index: bool = False, line_delay: float = 0.0, blank_lines: bool = True,
           framing: Framing = "chunked", chunk_size: int | None = None) -> Stream:
    """A streamed answer in the shape real services send, one chunk per fragment, in this order:

    * an opening chunk: ``"empty"`` ``{"role": "assistant", "content": ""}``, ``"null"`` (content null),
      ``"role"`` (role only) or None (no opening chunk); ``"auto"`` is "null" with tool calls, else "empty";
    * one chunk per ``reasoning`` fragment (under ``reasoning_key``; newer servers say "reasoning"), then per
      ``content`` fragment (a ``str`` is one fragment);
    * each of ``tool_calls`` (see :func:`tool_call`): a first fragment with index, id, type, name and empty
      arguments, then the arguments in pieces of ``piece_size`` characters; ``same_index`` gives every call
      index 0, as some local servers do;
    * the finishing chunk with an empty delta: ``finish`` True picks "tool_calls" or "stop", a text is sent
      as the finish reason, False leaves the chunk out;
    * with ``usage``, a chunk with ``"choices": []`` and token counts (True: one prompt token and one completion
      token per fragment; a mapping is sent as the "usage" object); with ``done``,
      :data:`DONE`.

    Each line is followed by a blank line unless ``blank_lines`` is false; ``line_delay`` pauses before
    every non-blank line. ``framing`` and ``chunk_size`` say how the body is sent (see :class:`Stream`).
    """
    calls = list(tool_calls)
    reasoning_parts, content_parts = _fragments(reasoning), _fragments(content)
    if opening == "auto":
        opening = "null" if calls else "empty"
    deltas = [_OPENINGS[opening]] if opening else []
    deltas += [{reasoning_key: part} for part in reasoning_parts]
    deltas += [{"content": part} for part in content_parts]
    deltas += [{"tool_calls": [frag]} for frag in _tool_call_deltas(calls, piece_size, same_index)]
    events = [chunk(delta) for delta in deltas]
    if finish:
        events.append(chunk({}, finish if isinstance(finish, str) else "tool_calls" if calls else "stop"))
    if usage is not False:
        if usage is True:
            tokens = len(reasoning_parts) + len(content_parts)
            usage = {"prompt_tokens": 1, "completion_tokens": tokens, "total_tokens": tokens + 1}
        events.append(data({"id": _ID, "object": "chat.completion.chunk", "created": 0, "model": _MODEL,
                            "choices": [], "usage": dict(usage)}))
    if done:
        events.append(DONE)
    lines: list[Line | str] = []
    for event in events:
        lines.append(Line(event, line_delay))
        if blank_lines:
            lines.append("")
    return Stream(lines, framing=framing, chunk_size=chunk_size)


# ---------------------------------------------------------------------------------------------------------
# The server

def _error(status: int, kind: str, text: str) -> Answer:
    return answer({"error": {"message": f"corvel.testing: {text}", "type": kind}}, status)


def _decode(body: bytes) -> Any:
    try:
        return json.loads(body)
    except (ValueError, RecursionError):  # not JSON, or nested deeper than the decoder goes
        return None


def _unsent(sock: socket.socket) -> int:
    """How many written bytes the kernel has not sent yet (Linux's SIOCOUTQNSD; 0 where it is unknown)."""
    if sys.platform != "linux":
        return 0
    return int(struct.unpack("i", fcntl.ioctl(sock, 0x894B, b"\0" * 4))[0])


def _ends_cleanly(reply: Reply) -> bool:
    """Whether the reply leaves its connection fit for another request."""
    if isinstance(reply, HangUp) or reply.reset_after is not None:
        return False
    return not (isinstance(reply, Stream) and reply.framing == "close")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # chunked streams and persistent connections
    disable_nagle_algorithm = True  # each write leaves at once, so small pieces arrive as small reads
    server: _HTTPServer
    _keep_alive = False  # whether the connection serves another request after this reply

    def do_POST(self) -> None:
        # parse_request has read the client's wish: HTTP/1.1 persists unless it says "Connection: close".
        self._keep_alive = not self.close_connection
        self.close_connection = True  # until the reply has gone out whole
        try:
            body = self._read_body()
        except (OSError, ValueError):
            return  # the client left mid-request, or framed its body badly: no request to record
        request = RecordedRequest(self.command, self.path, _Headers(self.headers.items()), body, _decode(body))
        reply = self.server.owner._reply_to(request)
        self._keep_alive = self._keep_alive and _ends_cleanly(reply)
        try:
            if not self._pause(reply.delay) or isinstance(reply, HangUp):
                self._reset()
            elif isinstance(reply, Answer):
                self._send_answer(reply)
            else:
                self._send_stream(reply)
        except OSError:
            return  # the client went away (or the server is closing): nothing to tell anyone
        self.close_connection = not self._keep_alive

    def _read_body(self) -> bytes:
        """The request body, read as its Content-Length or chunked framing says."""
        if "chunked" not in self.headers.get("Transfer-Encoding", "").lower():
            return self._read(int(self.headers.get("Content-Length") or 0))
        parts = []
        while size := int(self.rfile.readline().split(b";")[0], 16):
            parts.append(self._read(size + 2)[:-2])  # the chunk and its line end
        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
            pass  # trailers
        return b"".join(parts)

    def _read(self, size: int) -> bytes:
        data = self.rfile.read(size)
        if len(data) < size:
            raise ConnectionError("the client closed the connection in the middle of its request")
        return data

    def _start(self, status: int, headers: Iterable[tuple[str, str]]) -> None:
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "keep-alive" if self._keep_alive else "close")
        self.end_headers()

    def _send_answer(self, reply: Answer) -> None:
        self._start(reply.status, [("Content-Type", reply.content_type),
                                   ("Content-Length", str(len(reply.body))), *reply.headers])
        self.wfile.write(reply.body[:reply.reset_after])
        if reply.reset_after is not None:
            self._reset()

    def _send_stream(self, reply: Stream) -> None:
        lines = [_as_line(item) for item in reply.lines]
        chunked = reply.framing == "chunked"
        headers = [("Content-Type", "text/event-stream"), ("Cache-Control", "no-cache")]
        if chunked:
            headers.append(("Transfer-Encoding", "chunked"))
        elif reply.framing == "length":
            headers.append(("Content-Length", str(sum(len(line.raw) + 1 for line in lines))))
        self._start(reply.status, headers)
        for sent, line in enumerate(lines):
            if sent == reply.reset_after or not self._pause(line.delay):
                return self._reset()
            payload = line.raw + b"\n"
            size = reply.chunk_size or len(payload)
            for start in range(0, len(payload), size):  # unbuffered: one send per piece
                piece = payload[start:start + size]
                self.wfile.write(b"%x\r\n%b\r\n" % (len(piece), piece) if chunked else piece)
        if reply.reset_after is not None:
            return self._reset()
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        # A close-delimited body ends as the handler returns and the connection closes.

    def _pause(self, seconds: float) -> bool:
        """Wait ``seconds``; False if the server began closing meanwhile."""
        return seconds <= 0 or not self.server.owner._closing.wait(seconds)

    def _reset(self) -> None:
        self._keep_alive = False
        # SO_LINGER 0 turns the close into a TCP reset, and drops what the kernel has not sent yet: wait
        # (a little, while the peer reads) until every written byte has left. The peer receives them all;
        # its next read then fails instead of seeing a clean end of the body.
        with contextlib.suppress(OSError):
            deadline = time.monotonic() + 2.0
            while _unsent(self.connection) and time.monotonic() < deadline and self._pause(0.001):
                pass
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.rfile.close()  # the reader holds the socket open; the descriptor closes with the last user
        self.connection.close()

    def log_message(self, format: str, *args: Any) -> None:
        pass  # tests read the recorded requests, not an access log


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False  # ScriptedServer.close joins the handler threads itself, with a time bound
    request_queue_size = 512  # many clients connecting at once must not wait for SYN retries

    def __init__(self, owner: ScriptedServer) -> None:
        self.owner = owner
        self.lock = threading.Lock()
        self.connections: dict[threading.Thread, socket.socket] = {}
        super().__init__(("127.0.0.1", 0), _Handler)

    def server_bind(self) -> None:
        TCPServer.server_bind(self)  # HTTPServer's version adds a reverse name lookup, slow on some hosts
        self.server_name, self.server_port = "127.0.0.1", self.server_address[1]
        if self.owner._tls is not None:  # the handshake waits for the handler thread (see _serve)
            self.socket = self.owner._tls.wrap_socket(self.socket, server_side=True, do_handshake_on_connect=False)

    def process_request(self, request: Any, client_address: Any) -> None:
        thread = threading.Thread(target=self._serve, args=(request, client_address), daemon=True)
        with self.lock:
            self.connections[thread] = request
        self.owner._accepted()
        thread.start()

    def _serve(self, request: Any, client_address: Any) -> None:
        try:
            if isinstance(request, ssl.SSLSocket):
                try:
                    request.do_handshake()
                except OSError:  # a client that gave up, or does not trust the certificate
                    return self.shutdown_request(request)
            self.process_request_thread(request, client_address)
        finally:
            with self.lock:
                self.connections.pop(threading.current_thread(), None)

    def handle_error(self, request: Any, client_address: Any) -> None:
        if not isinstance(sys.exc_info()[1], OSError):  # a vanished client is not an error worth a traceback
            super().handle_error(request, client_address)


class ScriptedServer:
    """A chat-completions service on 127.0.0.1 that answers from a script and records every request.

    ``ScriptedServer(*replies, default=None, tls=None)``: ``replies`` start the script; each POST consumes the
    next entry. An entry is a reply (:class:`Answer`, :class:`Stream`, :class:`HangUp`) or a responder, a
    callable that gets the :class:`RecordedRequest` and returns a reply. ``default`` (a reply or a
    responder, settable at any time) answers once the script is exhausted; without it such a request
    gets a 500 answer with a JSON error. A responder that raises gets the client a 500 answer too.

    ``tls``, a server-side `ssl.SSLContext` holding a certificate for 127.0.0.1, makes it serve HTTPS.

    Use it as a context manager, or call :meth:`start` and :meth:`close`. Closing does not wait for open
    connections, pauses or slow clients: it resets what is still open, waits at most two seconds for the
    handler threads, and returns.
    """

    def __init__(self, *replies: Reply | Responder, default: Reply | Responder | None = None,
                 tls: ssl.SSLContext | None = None) -> None:
        self.default = default
        self._tls = tls
        self._script: deque[Reply | Responder] = deque(replies)
        self._requests: list[RecordedRequest] = []
        self._changed = threading.Condition()
        self._closing = threading.Event()
        self._httpd: _HTTPServer | None = None
        self._connections = 0

    # -- lifecycle

    def start(self) -> Self:
        """Bind a free port on 127.0.0.1 and serve in a background thread (a no-op while running)."""
        if self._closing.is_set():
            raise RuntimeError("a closed ScriptedServer cannot be started again")
        if self._httpd is None:
            self._httpd = _HTTPServer(self)
            threading.Thread(target=self._httpd.serve_forever, args=(0.05,), daemon=True,
                             name=f"corvel-testing-{self.port}").start()
        return self

    def close(self) -> None:
        """Stop serving, break off open connections and pauses, and release the port. Idempotent."""
        self._closing.set()
        httpd, self._httpd = self._httpd, None
        if httpd is None:
            return
        httpd.shutdown()
        with httpd.lock:
            live = dict(httpd.connections)
        for conn in live.values():
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)  # wakes a handler blocked on a read
        deadline = time.monotonic() + 2.0
        for thread in live:
            if thread is not threading.current_thread():  # a responder may close the server it runs in
                thread.join(max(0.0, deadline - time.monotonic()))
        httpd.server_close()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("the server is not running: call start() or use it in a with block")
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        """``http://127.0.0.1:PORT/v1`` (``https`` with ``tls``), for clients that add ``/chat/completions``
        themselves."""
        return f"{'https' if self._tls else 'http'}://127.0.0.1:{self.port}/v1"

    @property
    def url(self) -> str:
        """The full endpoint URL, ``http://127.0.0.1:PORT/v1/chat/completions`` (any POST path works)."""
        return self.base_url + "/chat/completions"

    # -- the script

    def add(self, reply: Reply | Responder) -> None:
        """Append one entry to the script."""
        with self._changed:
            self._script.append(reply)

    def extend(self, replies: Iterable[Reply | Responder]) -> None:
        """Append entries to the script, in order."""
        with self._changed:
            self._script.extend(replies)

    @property
    def pending(self) -> int:
        """How many script entries are still waiting for a request."""
        with self._changed:
            return len(self._script)

    def reset(self) -> None:
        """Forget the remaining script and the recorded requests (``default`` stays)."""
        with self._changed:
            self._script.clear()
            self._requests.clear()

    # -- recording

    @property
    def connections(self) -> int:
        """How many connections the server has accepted so far (a client that keeps one alive uses one)."""
        with self._changed:
            return self._connections

    def _accepted(self) -> None:
        with self._changed:
            self._connections += 1

    @property
    def requests(self) -> list[RecordedRequest]:
        """The requests received so far, oldest first (a copy)."""
        with self._changed:
            return list(self._requests)

    def wait_for_requests(self, n: int, timeout: float = 5.0) -> list[RecordedRequest]:
        """Wait until at least ``n`` requests have arrived and return them; TimeoutError otherwise."""
        with self._changed:
            if not self._changed.wait_for(lambda: len(self._requests) >= n, timeout):
                raise TimeoutError(f"{len(self._requests)} of {n} requests arrived within {timeout} s")
            return list(self._requests)

    def _reply_to(self, request: RecordedRequest) -> Reply:
        with self._changed:
            self._requests.append(request)
            self._changed.notify_all()
            number = len(self._requests)
            entry = self._script.popleft() if self._script else self.default
        if entry is None:
            return _error(500, "script_exhausted",
                          f"script exhausted: no reply for request {number} ({request.method} {request.path})")
        if isinstance(entry, (Answer, Stream, HangUp)):
            return entry
        try:
            reply = entry(request)
        except Exception as exc:
            return _error(500, "responder_error", f"responder failed on request {number}: {exc!r}")
        if not isinstance(reply, (Answer, Stream, HangUp)):
            return _error(500, "responder_error", f"responder returned {reply!r}, not a reply")
        return reply
