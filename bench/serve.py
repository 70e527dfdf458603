"""The benchmarks' chat-completions service: corvel.testing's ScriptedServer in a process of its own.

    python bench/serve.py FRAGMENTS [--tls AUTHORITY_FILE]

prints its URL on the first line of standard output and serves until standard input closes. A request with
``"stream": true`` gets one answer of FRAGMENTS five-byte fragments (see :func:`answer_stream`); any other
request is a turn of the tool loop (see :func:`tool_turn`). The server runs apart from the client so that the
client's CPU time (``time.process_time`` in the client process) holds only the client's work, not the
writing of the stream.

The path picks the stream's framing and length: ``/length/v1/chat/completions`` frames it by
Content-Length, as many proxies send it, ``/chunked/200/v1/chat/completions`` sends 200 fragments in
chunks (see :func:`route`); the URL printed has neither and streams FRAGMENTS fragments in chunks. A POST
to ``/connections`` answers ``{"connections": N}``, the connections accepted so far, its own included, so
that a benchmark can tell whether its client kept its connections alive. With ``--tls`` it serves HTTPS,
with a certificate for 127.0.0.1 from a throwaway authority whose own certificate it writes to
AUTHORITY_FILE, for the clients to trust.
"""

from __future__ import annotations

import ssl
import sys

from corvel.testing import (Framing, Line, RecordedRequest, Reply, ScriptedServer, Stream, answer, message,
                            stream, tool_call)

PIECE = "abcde"
FRAMINGS = ("chunked", "length")


def tool_turn(request: RecordedRequest) -> Reply:
    """A model that asks for tools twice, then answers: three requests in one turn.

    The first pass asks for both tools at once, the second for one more call, and the answer quotes the
    results, so the client's tool results have really been sent back.
    """
    messages = request.json["messages"]
    results = [m for m in messages if m.get("role") == "tool"]
    if not results:
        return message(reasoning_content="Both at once.",
                       tool_calls=[tool_call("call_1", "add", {"a": 2, "b": 40}),
                                   tool_call("call_2", "weather", {"city": "Lyon", "days": 2})])
    if len(results) == 2:
        return message(tool_calls=[tool_call("call_3", "add", {"a": 1, "b": 1})])
    return message("Done: " + ", ".join(str(m["content"]) for m in results))


def answer_stream(fragments: int, framing: Framing = "chunked") -> Stream:
    """An answer of ``fragments`` chunks, each event and its blank separator written as one piece (with
    chunked framing, one chunk).

    That is how real services write events, and it halves the server's writes: the server must stay
    faster than the fastest client, or the client would wait for every line and pay more system calls
    per chunk than it does in use.
    """
    events = stream([PIECE] * fragments, blank_lines=False).lines
    return Stream([Line(event.data + "\n") for event in events], framing=framing)  # type: ignore[union-attr]


def route(path: str) -> tuple[Framing, int | None]:
    """The framing and the number of fragments a path asks for: ``/FRAMING[/FRAGMENTS]/...``; chunked and
    the server's own number (None) for any other path."""
    segments = path.split("?", 1)[0].strip("/").split("/")
    if segments[0] not in FRAMINGS:
        return "chunked", None
    count = int(segments[1]) if len(segments) > 1 and segments[1].isdigit() else None
    return segments[0], count  # type: ignore[return-value]


def tls_context(authority_file: str) -> ssl.SSLContext:
    import trustme

    authority = trustme.CA()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("127.0.0.1").configure_cert(context)
    authority.cert_pem.write_to_path(authority_file)
    return context


def main() -> None:
    fragments = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    # Made once each, before the clock of any client starts; the handler threads only look them up.
    streams = {("chunked", fragments): answer_stream(fragments)}

    def reply(request: RecordedRequest) -> Reply:
        if request.path == "/connections":
            return answer({"connections": server.connections})
        body = request.json if isinstance(request.json, dict) else {}
        if not body.get("stream"):
            return tool_turn(request)
        framing, count = route(request.path)
        key = (framing, count or fragments)
        if key not in streams:
            streams[key] = answer_stream(key[1], framing)  # a race makes it twice: harmless
        return streams[key]

    tls = tls_context(sys.argv[sys.argv.index("--tls") + 1]) if "--tls" in sys.argv else None
    with ScriptedServer(default=reply, tls=tls) as server:
        print(server.url, flush=True)
        sys.stdin.read()  # the benchmark closes the pipe when it is done


if __name__ == "__main__":
    main()
