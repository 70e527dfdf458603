"""Tools of MCP servers in a `Tools` registry: one session per server, on a loop thread the registry owns.

    tools.add_mcp(server)                      # a FastMCP object, a URL, a script, a config dict, a Client
    tools(tool_calls)                          # remote tools run beside local ones, from any thread
    await tools["name"].acall(a=1)             # the same call from any event loop
    tools.close()                              # every session closed, the loop thread stopped

A session belongs to the event loop that opened it. The registry opens all of its sessions on one loop,
run by a daemon thread ("corvel-mcp") that the first `add_mcp` starts; a sync call hands its coroutine to
that loop and waits, an async call from another loop awaits the same coroutine through
`asyncio.wrap_future`. Every request to a server is bounded: by the session's timeout, and by a watch on
the session itself, because a request to a streamable-HTTP server that died is never answered, although
the session notices the failed POST and ends. `close()` (or leaving `with tools:`, collecting the registry,
or the interpreter's exit) closes every session, which ends stdio servers' processes, cancels what is
left on the loop and stops the thread.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import json
import os
import shlex
import threading
import weakref
from collections.abc import Awaitable, Callable, Hashable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, TypeAlias, TypeVar, cast

import anyio
import mcp.types
from fastmcp import Client, FastMCP
from fastmcp.client.transports import ClientTransport, FastMCPTransport, StdioTransport
from mcp.shared.exceptions import McpError
from pydantic_core import to_json

from corvel.tools import _NAME, Tool

if TYPE_CHECKING:
    from corvel.tools import Tools

__all__ = ["McpSource", "RemoteTool"]

# What `fastmcp.Client` accepts as a server: in memory, a URL or a script path, an MCP configuration, a
# transport, or a client already built (used as it is).
McpSource: TypeAlias = "FastMCP[Any] | Client[Any] | ClientTransport | str | os.PathLike[str] | Mapping[str, Any]"

T = TypeVar("T")

# How often a waiting request looks at its session, in seconds: the one sign that a server died while a
# streamable-HTTP request was on its way.
_WATCH = 0.1
# The longest wait for a session to close (a stdio server is given 2 s to exit before it is terminated).
_CLOSE = 10.0
# Errors that mean the connection is gone: what a dead stdio server gives (which one depends on whether the
# session saw the end of its output first), and what the watch raises.
_GONE = (anyio.ClosedResourceError, anyio.BrokenResourceError, anyio.EndOfStream, ConnectionError)


class _Gone(ConnectionError):
    """The session ended while a request waited for its answer."""


@dataclass(frozen=True, eq=False)
class RemoteTool(Tool):
    """A tool of an MCP server, registered under ``prefix + remote_name``.

    Its schema is the server's ``inputSchema`` as sent; arguments go to the server as decoded, and the server
    validates them. `__call__` (sync, any thread but the registry's loop thread) and `acall` (async, any
    loop) give the tool message's text; ``fn`` is a coroutine function of the arguments doing what `acall`
    does, for code that awaits coroutine functions.
    """

    remote_name: str
    input_schema: dict[str, Any]
    session: Session

    @property
    def parameters(self) -> dict[str, Any]:
        return self.input_schema

    def bind(self, arguments: Mapping[str, Any]) -> dict[str, Any]:
        return dict(arguments)

    def __call__(self, /, **kwargs: Any) -> str:
        return self.session.call_sync(self.remote_name, kwargs)

    async def acall(self, /, **kwargs: Any) -> str:
        """The tool message's text for a call with these arguments, awaited on the caller's own loop."""
        return await self.session.acall(self.remote_name, kwargs)

    def mcp_tool(self) -> NoReturn:
        raise TypeError(f"tool {self.name!r} comes from {self.session.label}; serve it from there")


def _remote_tool(session: Session, prefix: str, listed: mcp.types.Tool) -> RemoteTool:
    async def fn(**arguments: Any) -> str:
        return await session.acall(listed.name, arguments)

    fn.__name__ = fn.__qualname__ = prefix + listed.name
    return RemoteTool(prefix + listed.name, listed.description or "", fn, listed.name, listed.inputSchema, session)


class Connections:
    """The MCP sessions of one registry, and the event loop thread they live on."""

    def __init__(self, tools: Tools) -> None:
        self._lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._sessions: dict[Hashable, Session] = {}
        # Collecting the registry, or the interpreter's exit, closes what it left open.
        weakref.finalize(tools, self.close)

    @property
    def thread(self) -> threading.Thread | None:
        return self._thread

    def submit(self, make: Callable[[], Awaitable[T]]) -> concurrent.futures.Future[T] | None:
        """Run ``make()`` on the loop; None (and ``make`` not called) when the loop is not running."""
        with self._lock:
            if self._loop is None:
                return None
            return asyncio.run_coroutine_threadsafe(_awaited(make()), self._loop)

    def _start(self) -> None:
        with self._lock:
            if self._loop is None:
                self._loop = asyncio.new_event_loop()
                self._thread = threading.Thread(target=_serve, args=(self._loop,), name="corvel-mcp", daemon=True)
                self._thread.start()

    def add(self, registry: dict[str, Tool], source: McpSource, prefix: str, timeout: float) -> list[str]:
        """Connect to ``source``, replacing an earlier session with it, and register its tools."""
        if threading.current_thread() is self._thread:
            raise RuntimeError("add_mcp cannot run on the registry's own event loop (from an in-memory server's tool)")
        key = _key(source)
        for name in [n for n, t in registry.items() if isinstance(t, RemoteTool) and t.session.key == key]:
            del registry[name]
        self._start()
        session = Session(self, source, key, timeout)
        with self._lock:
            previous = self._sessions.pop(key, None)
            self._sessions[key] = session
        future = self.submit(lambda: session.open(previous))
        try:
            if future is None:
                raise ConnectionError("the registry was closed meanwhile")
            listed = future.result()
        except Exception as exc:
            self._forget(session)
            why = f"no answer within {timeout:g} s" if isinstance(exc, TimeoutError) else _why(exc)
            raise ConnectionError(f"cannot use {session.label}: {why}") from exc
        tools = [_remote_tool(session, prefix, t) for t in listed]
        for tool in tools:
            if not _NAME.fullmatch(tool.name):
                problem = f"tool name {tool.name!r} is not 1 to 64 letters, digits, '_' or '-'"
            elif tool.name in registry or sum(t.name == tool.name for t in tools) > 1:
                problem = f"a tool named {tool.name!r} is already registered"
            else:
                continue
            self._forget(session)
            raise ValueError(f"{problem}; {session.label} offers it (pass another prefix=)")
        registry.update((tool.name, tool) for tool in tools)
        return [tool.name for tool in tools]

    def _forget(self, session: Session) -> None:
        with self._lock:
            if self._sessions.get(session.key) is session:
                del self._sessions[session.key]
        future = self.submit(session.aclose)
        if future is not None:
            future.result()

    def close(self) -> None:
        """Close every session and stop the loop thread; the registry can connect again afterwards."""
        with self._lock:
            loop, thread, sessions = self._loop, self._thread, list(self._sessions.values())
            self._loop, self._thread = None, None
            self._sessions.clear()
            for session in sessions:
                session.closed = True
        if loop is None or thread is None:
            return
        done = asyncio.run_coroutine_threadsafe(_shutdown(sessions), loop)
        if threading.current_thread() is not thread:  # else a finalizer on the loop: it stops by itself
            done.result()
            thread.join()


class Session:
    """One source's session: opened, used and closed on the registry's loop; calls from anywhere."""

    def __init__(self, owner: Connections, source: McpSource, key: Hashable, timeout: float) -> None:
        self.owner = owner
        self.source = source
        self.key = key
        self.timeout = timeout
        self.where = _where(source)
        self.label = f"the MCP server {'' if isinstance(source, Mapping) else 'at '}{self.where}"
        self.client: Client[Any] | None = None
        self.loop: asyncio.AbstractEventLoop | None = None
        self.closed = False

    async def open(self, previous: Session | None) -> list[mcp.types.Tool]:
        """Connect (after closing the previous session with the same source) and list the tools."""
        if previous is not None:
            await previous.aclose()
        self.loop = asyncio.get_running_loop()
        source = self.source
        self.client = client = source if isinstance(source, Client) else Client(cast(Any, source))
        try:
            await asyncio.wait_for(client.__aenter__(), self.timeout)  # type: ignore[no-untyped-call]
            if client.initialize_result is not None:
                self.label = f"MCP server {client.initialize_result.serverInfo.name!r} ({self.where})"
            return await self._watched(client.list_tools())
        except BaseException:
            await self.aclose()
            raise

    async def aclose(self) -> None:
        self.closed = True
        client, self.client = self.client, None
        if client is not None:
            try:
                await asyncio.wait_for(client.close(), _CLOSE)  # type: ignore[no-untyped-call]
            except Exception:  # a dead server's transport may fail to say goodbye
                pass

    async def call(self, name: str, arguments: Mapping[str, Any]) -> str:
        """The tool message's text for one call; on this session's loop."""
        client = self.client
        if self.closed or client is None:
            return self._closed(name)
        try:
            result = await self._watched(client.call_tool_mcp(name, dict(arguments)))
        except TimeoutError:
            return f"Error: {self.label} did not answer the call of {name!r} within {self.timeout:g} s"
        except Exception as exc:
            if isinstance(exc, _GONE) or (isinstance(exc, McpError) and exc.error.code == mcp.types.CONNECTION_CLOSED):
                return (f"Error: {self.label} stopped answering during the call of {name!r} "
                        "(the connection is closed); add_mcp connects again")
            return f"Error: the call of {name!r} on {self.label} failed: {_why(exc)}"
        text = _text(result)
        return f"Error: tool {name!r} of {self.label} failed: {text}" if result.isError else text

    async def acall(self, name: str, arguments: Mapping[str, Any]) -> str:
        """`call` from any loop: on this session's loop directly, from another one through it."""
        if asyncio.get_running_loop() is self.loop:
            return await self.call(name, arguments)
        future = self.owner.submit(lambda: self.call(name, arguments))
        if future is None:
            return self._closed(name)
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            task = asyncio.current_task()
            if future.cancelled() and task is not None and not task.cancelling():
                return self._closed(name)  # the registry closed while the call waited
            raise

    def call_sync(self, name: str, arguments: Mapping[str, Any]) -> str:
        if threading.current_thread() is self.owner.thread:
            return f"Error: tool {name!r} of {self.label} cannot be called from the registry's own event loop"
        future = self.owner.submit(lambda: self.call(name, arguments))
        if future is None:
            return self._closed(name)
        try:
            return future.result(self.timeout + _CLOSE)
        except concurrent.futures.CancelledError:  # the registry closed while the call waited
            return self._closed(name)
        except TimeoutError:
            future.cancel()
            return f"Error: {self.label} did not answer the call of {name!r} within {self.timeout:g} s"

    def _closed(self, name: str) -> str:
        return f"Error: tool {name!r} cannot be called: the session with {self.label} is closed; add_mcp connects again"

    async def _watched(self, request: Awaitable[T]) -> T:
        """Await ``request`` within the timeout, giving up as soon as the session is gone."""
        task = asyncio.ensure_future(request)
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.timeout
        try:
            while not task.done():
                left = deadline - loop.time()
                if left <= 0:
                    raise TimeoutError
                if self.client is None or not self.client.is_connected():
                    raise _Gone("the connection is closed")
                await asyncio.wait({task}, timeout=min(_WATCH, left))
            return task.result()
        finally:
            if not task.done():
                task.cancel()
                await asyncio.wait({task})


async def _awaited(awaitable: Awaitable[T]) -> T:
    return await awaitable


def _serve(loop: asyncio.AbstractEventLoop) -> None:
    asyncio.set_event_loop(loop)
    try:
        loop.run_forever()
    finally:
        loop.run_until_complete(loop.shutdown_asyncgens())
        loop.close()


async def _shutdown(sessions: list[Session]) -> None:
    """Close the sessions, cancel what is left on the loop (fastmcp's own tasks included), stop it."""
    try:
        await asyncio.gather(*(session.aclose() for session in sessions), return_exceptions=True)
        left = asyncio.all_tasks() - {asyncio.current_task()}
        for task in left:
            task.cancel()
        await asyncio.gather(*left, return_exceptions=True)
    finally:
        asyncio.get_running_loop().stop()


def _key(source: McpSource) -> Hashable:
    """What makes two sources the same server: the text of a URL or path, the contents of a configuration,
    the object itself otherwise."""
    if isinstance(source, (str, os.PathLike)):
        return ("path", os.fspath(source))
    if isinstance(source, Mapping):
        return ("config", json.dumps(source, sort_keys=True, default=str))
    return ("object", id(source))


def _where(source: McpSource) -> str:
    transport: object = source.transport if isinstance(source, Client) else source
    if isinstance(transport, (FastMCP, FastMCPTransport)):
        return "in memory"
    if isinstance(transport, StdioTransport):
        return shlex.join([transport.command, *transport.args])
    if isinstance(transport, (str, Path)):
        return str(transport)
    if isinstance(transport, Mapping):
        return "configured as " + ", ".join(map(str, transport.get("mcpServers", transport)))
    return str(getattr(transport, "url", None) or transport)


def _why(exc: BaseException) -> str:
    """An exception as a short reason; httpx's and anyio's often have no message of their own."""
    if isinstance(exc, ConnectionError) and exc.__cause__ is not None:
        exc = exc.__cause__
    if isinstance(exc, BaseExceptionGroup) and len(exc.exceptions) == 1:
        return _why(exc.exceptions[0])
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _text(result: mcp.types.CallToolResult) -> str:
    """Text blocks as they are, one line apart; other blocks as a placeholder; structured content as compact
    JSON when there is no text block."""
    parts = [_block(block) for block in result.content]
    if result.structuredContent is not None and not any(isinstance(b, mcp.types.TextContent) for b in result.content):
        parts.insert(0, to_json(result.structuredContent).decode())
    return "\n".join(parts)


def _block(block: mcp.types.ContentBlock) -> str:
    if isinstance(block, mcp.types.TextContent):
        return block.text
    if isinstance(block, (mcp.types.ImageContent, mcp.types.AudioContent)):
        return f"[{block.type}: {block.mimeType}, {_size(block.data)} bytes]"
    if isinstance(block, mcp.types.EmbeddedResource):
        contents = block.resource
        size = len(contents.text.encode()) if isinstance(contents, mcp.types.TextResourceContents) else _size(contents.blob)
        return f"[resource {contents.uri}: {contents.mimeType or 'unknown type'}, {size} bytes]"
    if isinstance(block, mcp.types.ResourceLink):
        size_text = "size unknown" if block.size is None else f"{block.size} bytes"
        return f"[resource link {block.uri}: {block.mimeType or 'unknown type'}, {size_text}]"
    return f"[{getattr(block, 'type', type(block).__name__)} block]"


def _size(base64_text: str) -> int:
    """Bytes that a base64 text decodes to."""
    return len(base64_text.rstrip("=")) * 3 // 4
