"""Helpers shared by the test files."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator
from typing import Any

from corvel.tools import Tools

FALLBACK = "The server is busy. Please try again later."


def make_tools() -> Tools:
    """Two small tools: one returns a number, one a text."""
    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        """Add two numbers."""
        return a + b

    @tools.register
    def shout(text: str) -> str:
        return text.upper()

    return tools


class Awaited:
    """ainvoke behind invoke's face, so that one scenario test serves both entry points.

    Each step of an awaited turn (the turn itself, then every record of a stream) runs to completion on one
    event loop that lives as long as the test; clients used through it have their pools closed at the end.
    """

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.clients: list[Any] = []

    def __call__(self, client: Any, prompt: str = "") -> Any:
        if client not in self.clients:
            self.clients.append(client)
        result = self.loop.run_until_complete(client.ainvoke(prompt))
        return Records(self.loop, result) if isinstance(result, AsyncIterator) else result

    def close(self) -> None:
        for client in self.clients:
            self.loop.run_until_complete(client.aclose())
        self.loop.run_until_complete(self.loop.shutdown_asyncgens())
        self.loop.close()


class Records:
    """An async stream of records read as an iterator (next, throw and close as a generator has them)."""

    def __init__(self, loop: asyncio.AbstractEventLoop, stream: Any) -> None:
        self.loop, self.stream = loop, stream

    def __iter__(self) -> Records:
        return self

    def _step(self, awaitable: Any) -> Any:
        try:
            return self.loop.run_until_complete(awaitable)
        except StopAsyncIteration:
            raise StopIteration from None

    def __next__(self) -> Any:
        return self._step(self.stream.__anext__())

    def throw(self, exc: BaseException) -> Any:
        return self._step(self.stream.athrow(exc))

    def close(self) -> None:
        self.loop.run_until_complete(self.stream.aclose())


def blocking(client: Any, prompt: str = "") -> Any:
    return client.invoke(prompt)


def raised(turn: Any, blocking_error: type[BaseException], awaited_error: type[BaseException] | None = None):
    """The exception a turn raises: transport failures are requests' in invoke and httpx's in ainvoke."""
    return blocking_error if turn is blocking or awaited_error is None else awaited_error


def model_state(block: Any) -> tuple:
    """All that validation leaves on a pydantic model: its class, fields in order and their types, the fields
    set, its extra and private values, its dumps."""
    fields = vars(block)
    return (type(block), list(fields.items()), [type(v) for v in fields.values()], block.model_fields_set,
            block.__pydantic_extra__, block.__pydantic_private__, block.model_dump(),
            block.model_dump(by_alias=True, exclude_unset=True))


def refused_url() -> str:
    """A loopback URL where nothing listens: connections are refused."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/v1/chat/completions"


def raw_service(*replies: bytes | tuple[bytes, ...], piece: int = 1 << 20, keep_open: bool = False) -> str:
    """A loopback server that answers each request, on whichever connection it comes, with the next of
    ``replies`` as it stands (written ``piece`` bytes at a time; a tuple's parts 50 ms apart), for the
    answers ScriptedServer cannot send: hand-made framing, bytes nobody asked for. A connection is closed
    after its answer unless ``keep_open``. Returns the endpoint URL."""
    import time
    import contextlib
    import socket
    import threading
    from collections import deque

    listener = socket.create_server(("127.0.0.1", 0))
    script = deque(replies)

    def serve(conn: socket.socket) -> None:
        with conn, contextlib.suppress(OSError):  # a client may hang up as soon as it has what it needs
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            received = b""
            while script:
                while b"\r\n\r\n" not in received:
                    more = conn.recv(65536)
                    if not more:
                        return
                    received += more
                head, _, received = received.partition(b"\r\n\r\n")
                length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n")
                              if line.lower().startswith(b"content-length"))
                while len(received) < length:
                    received += conn.recv(65536)
                received = received[length:]
                reply = script.popleft()
                for part in reply if isinstance(reply, tuple) else (reply,):
                    for start in range(0, len(part), piece):
                        conn.sendall(part[start:start + piece])
                    time.sleep(0.05 if isinstance(reply, tuple) else 0)
                if not keep_open:
                    return

    def accept() -> None:
        with listener:
            while script:
                threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return f"http://127.0.0.1:{listener.getsockname()[1]}/v1/chat/completions"
