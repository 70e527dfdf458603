"""The awaited client's connections: httpx's pool of httpcore connections, on asyncio's own streams.

httpcore reaches asyncio through anyio by default, and anyio makes every read and write of a connection a
cancellation scope and a round of the event loop, before and after: about a sixth of an awaited tool turn's
CPU on loopback. The pool, HTTP/1.1, TLS and the exceptions stay httpcore's and httpx's; only the bytes go
through asyncio's streams directly, with asyncio's own time-outs.
"""

from __future__ import annotations

import asyncio
import select
import socket
import ssl
from collections.abc import Iterable
from typing import Any

import httpcore
import httpx


def adopt(client: httpx.AsyncClient) -> httpx.AsyncClient:
    """``client``, its direct connections made on the streams below.

    The pool stays the one httpx configured (limits, TLS, local address), and the proxies httpx takes from
    the environment keep their own transports: only the network backend of the direct pool is replaced,
    where httpx and httpcore have the attributes this version of them has; anything else is left as it is.
    """
    pool = getattr(getattr(client, "_transport", None), "_pool", None)
    if type(pool) is httpcore.AsyncConnectionPool and hasattr(pool, "_network_backend"):
        pool._network_backend = _Backend()
    return client


class _Stream(httpcore.AsyncNetworkStream):
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self._reader, self._writer = reader, writer

    async def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        try:
            async with asyncio.timeout(timeout):
                return await self._reader.read(max_bytes)
        except TimeoutError as exc:
            raise httpcore.ReadTimeout(str(exc)) from exc
        except OSError as exc:
            raise httpcore.ReadError(str(exc) or type(exc).__name__) from exc

    async def write(self, buffer: bytes, timeout: float | None = None) -> None:
        if not buffer:
            return
        # asyncio drops what is written to a closed connection without a word; the request must fail.
        if self._writer.transport.is_closing():
            raise httpcore.WriteError("the connection is closed")
        self._writer.write(buffer)
        if not self._writer.transport.get_write_buffer_size():
            return  # all sent at once: nothing to wait for
        try:
            async with asyncio.timeout(timeout):
                await self._writer.drain()
        except TimeoutError as exc:
            raise httpcore.WriteTimeout(str(exc)) from exc
        except OSError as exc:
            raise httpcore.WriteError(str(exc) or type(exc).__name__) from exc

    async def aclose(self) -> None:
        # A TLS close would wait for the peer's close_notify, a round trip the loop may not live to see:
        # the socket is dropped at once, as httpcore's own backend drops it.
        if self._writer.get_extra_info("ssl_object") is not None:
            self._writer.transport.abort()
        else:
            self._writer.close()
        await asyncio.sleep(0)  # lets the loop release the socket, even when it stops right after

    async def start_tls(self, ssl_context: ssl.SSLContext, server_hostname: str | None = None,
                        timeout: float | None = None) -> httpcore.AsyncNetworkStream:
        try:
            async with asyncio.timeout(timeout):
                await self._writer.start_tls(ssl_context, server_hostname=server_hostname)
        except TimeoutError as exc:
            self._writer.close()
            raise httpcore.ConnectTimeout(str(exc)) from exc
        except OSError as exc:  # ssl.SSLError among them
            self._writer.close()
            raise httpcore.ConnectError(str(exc) or type(exc).__name__) from exc
        return self

    def get_extra_info(self, info: str) -> Any:
        if info == "is_readable":  # an idle connection the server closed, or that holds unasked-for bytes
            return (self._reader.at_eof() or self._reader.exception() is not None or _buffered(self._reader)
                    or _readable(self._socket()))
        name = {"ssl_object": "ssl_object", "client_addr": "sockname", "server_addr": "peername",
                "socket": "socket"}.get(info)
        return None if name is None else self._writer.get_extra_info(name)

    def _socket(self) -> socket.socket | None:
        sock: socket.socket | None = self._writer.get_extra_info("socket")
        return sock


def _buffered(reader: asyncio.StreamReader) -> bool:
    """Whether the loop has read bytes nobody asked for yet: asyncio reads what arrives into the reader
    at once, where a look at the socket no longer sees it (an idle connection's "408 Request Timeout")."""
    return bool(getattr(reader, "_buffer", b""))


def _readable(sock: socket.socket | None) -> bool:
    if sock is None or sock.fileno() < 0:
        return True  # gone: the next read would give the end of the stream
    return bool(select.select([sock], [], [], 0)[0])


class _Backend(httpcore.AsyncNetworkBackend):
    async def connect_tcp(self, host: str, port: int, timeout: float | None = None,
                          local_address: str | None = None,
                          socket_options: Iterable[Any] | None = None) -> httpcore.AsyncNetworkStream:
        local = None if local_address is None else (local_address, 0)
        return await _connect(asyncio.open_connection(host, port, local_addr=local), timeout, socket_options)

    async def connect_unix_socket(self, path: str, timeout: float | None = None,
                                  socket_options: Iterable[Any] | None = None) -> httpcore.AsyncNetworkStream:
        return await _connect(asyncio.open_unix_connection(path), timeout, socket_options)

    async def sleep(self, seconds: float) -> None:
        await asyncio.sleep(seconds)


async def _connect(opening: Any, timeout: float | None, socket_options: Iterable[Any] | None) -> _Stream:
    try:
        async with asyncio.timeout(timeout):
            reader, writer = await opening
    except TimeoutError as exc:
        raise httpcore.ConnectTimeout(str(exc)) from exc
    except OSError as exc:
        raise httpcore.ConnectError(str(exc) or type(exc).__name__) from exc
    stream = _Stream(reader, writer)
    for option in socket_options or ():  # asyncio has set TCP_NODELAY already
        sock = stream._socket()
        if sock is not None:
            sock.setsockopt(*option)
    return stream
