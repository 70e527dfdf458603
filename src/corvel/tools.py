"""Tools: the registry of Python functions offered to the model.

    tools = Tools()

    @tools.register
    def weather(city: Annotated[str, "city name"], days: int = 1) -> dict:
        '''Forecast for a city.'''
        ...

    tools.schemas      # chat-completions "tools" list, parameters described from the signature
    tools(tool_calls)  # runs the model's calls, one tool-result Message per call
    await tools.acall(tool_calls)  # the same, on a running event loop, the calls side by side

Every function gets one pydantic parameter model built from its signature by
`corvel.cython.get_cached_typeadapter`, the very validator its MCP tool uses (`Tools.add_to_server`); the same
model describes the parameters to the model and validates the arguments it sends, so the chat side, the MCP
side and the advertised schema cannot disagree. The chat side is stricter about what the function does not
declare: unknown arguments are errors, and the values a typed ``**kwargs`` collects are validated against its
annotation. A call that goes wrong (unknown tool, bad JSON, invalid arguments, an exception in the tool) is
answered with a message whose text starts with "Error" and says why, so the model can correct itself; the other
calls still run.
"""

from __future__ import annotations

import asyncio
import copy
import inspect
import json
import re
from collections.abc import Awaitable, Callable, Iterator, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, Self, TypeVar, get_type_hints, overload

from pydantic import ConfigDict, TypeAdapter, ValidationError
from pydantic_core import core_schema, to_json

from corvel.message import Message, MessageRole

if TYPE_CHECKING:
    from fastmcp import FastMCP

    from corvel._mcp import Connections, McpSource
    from corvel.cython import CythonFunctionTool

__all__ = ["Tool", "Tools"]

F = TypeVar("F", bound=Callable[..., Any])

# What chat-completions services accept as a function name.
_NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")


@dataclass(frozen=True)
class Tool:
    """One registered function: the name the model calls it by, its description, and the function."""

    name: str
    description: str
    fn: Callable[..., Any]

    @cached_property
    def adapter(self) -> TypeAdapter[Any]:
        """Validator of the declared parameters: the cached adapter the function's MCP tool validates with.

        Validating a dict gives an instance of the parameter model: one field per parameter that can be
        passed by name (``Any`` without annotation, optional where the signature has a default).
        """
        from corvel.cython import get_cached_typeadapter  # fastmcp is imported only once tools are used

        return get_cached_typeadapter(self.fn)

    @cached_property
    def extra_adapter(self) -> TypeAdapter[dict[str, Any]] | None:
        """Validator of the arguments ``**kwargs`` collects (by its annotation), or None without ``**kwargs``."""
        for param in inspect.signature(self.fn).parameters.values():
            if param.kind is param.VAR_KEYWORD:
                annotation = get_type_hints(self.fn, include_extras=True).get(param.name, Any)
                return TypeAdapter(dict[str, annotation], config=ConfigDict(arbitrary_types_allowed=True))
        return None

    @cached_property
    def parameters(self) -> dict[str, Any]:
        """JSON schema of the arguments (type object, properties, required, and $defs of nested models)."""
        schema = self.adapter.json_schema()
        if self.extra_adapter is None:
            schema["additionalProperties"] = False
        else:
            extra = self.extra_adapter.json_schema()
            schema["additionalProperties"] = extra.get("additionalProperties", True)
            for name, definition in extra.get("$defs", {}).items():
                if schema.setdefault("$defs", {}).setdefault(name, definition) != definition:
                    raise TypeError(f"tool {self.name!r}: two different types are both named {name!r}")
        return schema

    @property
    def schema(self) -> dict[str, Any]:
        """This tool as one entry of the chat-completions "tools" list (a fresh copy on each read)."""
        return {
            "type": "function",
            "function": {
                "name": self.name,
                "description": self.description,
                "parameters": copy.deepcopy(self.parameters),
            },
        }

    def bind(self, arguments: Mapping[str, Any]) -> dict[str, Any]:
        """Validate ``arguments``; the keyword arguments to call the function with.

        Values are passed on as pydantic made them (a parameter typed as a model gets the model instance);
        parameters left out are left out, so the function applies its own defaults. Raises
        `ValidationError` for invalid arguments, and for arguments the function does not take.
        """
        validated = self.adapter.validate_python(arguments)
        fields = type(validated).model_fields
        kwargs = {name: getattr(validated, name) for name in fields if name in validated.model_fields_set}
        unknown = {name: value for name, value in arguments.items() if name not in fields}
        if unknown and self.extra_adapter is None:
            raise ValidationError.from_exception_data(
                type(validated).__name__,
                [{"type": "extra_forbidden", "loc": (name,), "input": value} for name, value in unknown.items()],
            )
        if unknown:
            kwargs.update(self.extra_adapter.validate_python(unknown))  # type: ignore[union-attr]
        return kwargs

    def mcp_tool(self) -> CythonFunctionTool:
        """This tool for a fastmcp server: same function, name and description, run by `CythonFunctionTool`.

        fastmcp describes what it can (plain functions: their schema and output schema); functions it
        refuses to describe (``**kwargs``, natively compiled ones) are described by this registry's schema.
        """
        from corvel.cython import CythonFunctionTool

        try:
            return CythonFunctionTool.from_function(self.fn, name=self.name, description=self.description)
        except Exception:
            return CythonFunctionTool(
                fn=self.fn, name=self.name, description=self.description, parameters=self.parameters
            )

    def __call__(self, /, **kwargs: Any) -> Any:
        """Call the function; an awaitable result (a coroutine function's) is awaited to completion."""
        result = self.fn(**kwargs)
        return _wait(result) if inspect.isawaitable(result) else result

    async def acall(self, /, **kwargs: Any) -> Any:
        """Call the function without holding up the running event loop.

        A coroutine function is called and awaited on the loop; any other function runs in a worker thread
        (`asyncio.to_thread`), and an awaitable it returns is awaited on the loop.
        """
        if inspect.iscoroutinefunction(self.fn):
            result = self.fn(**kwargs)
        else:
            result = await asyncio.to_thread(self.fn, **kwargs)
        return await result if inspect.isawaitable(result) else result


class Tools:
    """A registry of functions the model may call; each instance is independent.

    Names must be unique within a registry: registering a second function under a taken name raises
    `ValueError` rather than silently changing what the model's calls reach. Iterating gives the names;
    ``tools[name]`` gives the `Tool` record.

    A pydantic field may be typed ``Tools`` without ``arbitrary_types_allowed``: the field accepts only a
    `Tools` instance, keeps that very object, and serialises as the list of tool names.
    """

    def __init__(self) -> None:
        self._tools: dict[str, Tool] = {}
        self._mcp: Connections | None = None  # the sessions of add_mcp, made by the first one

    @overload
    def register(self, fn: F, /) -> F: ...
    @overload
    def register(self, *, name: str | None = None, description: str | None = None) -> Callable[[F], F]: ...

    def register(
        self, fn: F | None = None, /, *, name: str | None = None, description: str | None = None
    ) -> F | Callable[[F], F]:
        """Offer ``fn`` to the model: ``@tools.register`` or ``@tools.register(name=..., description=...)``.

        The function is returned unchanged. The name defaults to ``fn.__name__`` and must match
        ``[A-Za-z0-9_-]{1,64}``; the description defaults to the cleaned docstring. Parameters are passed
        by name, so ``*args`` and positional-only parameters are refused; ``**kwargs`` accepts extra
        arguments. Coroutine functions are awaited when called. A callable object must be hashable (its
        argument validator is cached by function): an unhashable one is refused with `TypeError`.
        """

        def add(fn: F) -> F:
            self._add(fn, name, description)
            return fn

        return add if fn is None else add(fn)

    def _add(self, fn: Callable[..., Any], name: str | None, description: str | None) -> None:
        if not callable(fn):
            raise TypeError(f"a tool must be callable, got {type(fn).__name__}")
        name = name if name is not None else getattr(fn, "__name__", None)
        if not isinstance(name, str) or not _NAME.fullmatch(name):
            raise ValueError(f"tool name {name!r} is not 1 to 64 letters, digits, '_' or '-'; pass name=")
        if name in self._tools:
            raise ValueError(f"a tool named {name!r} is already registered")
        try:
            hash(fn)
        except TypeError:
            # The argument validator is cached by function, here and in the MCP tool: an unhashable callable
            # would fail every request that describes or calls it.
            raise TypeError(f"tool {name!r}: {type(fn).__name__!r} objects are unhashable, and a tool's argument "
                            "validator is cached by its function; give the class a __hash__, or register a "
                            "function or a bound method") from None
        for param in inspect.signature(fn).parameters.values():
            if param.kind in (param.VAR_POSITIONAL, param.POSITIONAL_ONLY):
                raise TypeError(f"tool {name!r}: parameter {param.name!r} cannot be passed by name")
            if param.name.startswith("_") and param.kind is not param.VAR_KEYWORD:
                # pydantic would make it a private attribute of the parameter model, and drop its value
                raise TypeError(f"tool {name!r}: parameter {param.name!r} starts with '_', pydantic ignores it")
        if description is None:
            description = inspect.getdoc(fn) or ""
        self._tools[name] = Tool(name, description, fn)

    def __len__(self) -> int:
        return len(self._tools)

    def __bool__(self) -> bool:
        return bool(self._tools)

    def __contains__(self, name: object) -> bool:
        return name in self._tools

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._tools))

    def __getitem__(self, name: str) -> Tool:
        return self._tools[name]

    def __repr__(self) -> str:
        return f"Tools({list(self._tools)!r})"

    def add_to_server(self, server: FastMCP) -> None:
        """Register every function on a fastmcp server as a `corvel.cython.CythonFunctionTool`.

        One definition then serves the chat client and MCP clients: the same name, description and
        parameter validation, natively compiled functions included.
        """
        for tool in self._tools.values():
            server.add_tool(tool.mcp_tool())

    def add_mcp(self, source: McpSource, *, prefix: str = "", timeout: float = 60.0) -> list[str]:
        """Offer the tools of an MCP server to the model, under ``prefix + name``; returns the names.

        ``source`` is anything `fastmcp.Client` takes (a `FastMCP` server, an ``http(s)://`` URL, a script
        path, an MCP configuration dict, a transport) or a `fastmcp.Client`, used as it is. The session
        stays open until `close`; every request to the server is bounded by ``timeout`` seconds. A taken
        name is refused with `ValueError`. Adding a source again replaces its tools through a new session,
        which is how to reconnect after the server died. See `corvel._mcp` for threads and loops.
        """
        from corvel._mcp import Connections

        if self._mcp is None:
            self._mcp = Connections(self)
        return self._mcp.add(self._tools, source, prefix, timeout)

    def close(self) -> None:
        """Close the sessions of `add_mcp` and stop their thread; their tools then answer with an error."""
        if self._mcp is not None:
            self._mcp.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def schemas(self) -> list[dict[str, Any]]:
        """The chat-completions "tools" list, in registration order; a fresh value on each read."""
        return [tool.schema for tool in self._tools.values()]

    def __call__(self, tool_calls: list[dict[str, Any]]) -> list[Message]:
        """Run the model's tool calls in order; one tool-result `Message` per call.

        Each call is ``{"id": ..., "function": {"name": ..., "arguments": "<JSON object text>"}}``; missing
        arguments, or a text that is empty or only white space, mean none. The message's text is a `str` result
        as it is, any other result as JSON, or a text starting with "Error" that says what went wrong.
        """
        return [_message(call, self._answer(call)) for call in tool_calls]

    async def acall(self, tool_calls: list[dict[str, Any]]) -> list[Message]:
        """The asynchronous counterpart of calling the registry: the same messages, in the order of the calls.

        The calls run side by side on the running event loop: coroutine functions are awaited on it, other
        functions run in worker threads, so a slow tool holds up neither the loop nor the other calls. An
        exception that is not an `Exception` (``KeyboardInterrupt``, cancellation) cancels the calls still
        running and propagates.
        """
        calls = list(tool_calls)
        if len(calls) == 1:  # nothing to run beside it: a task and a gather would only cost loop rounds
            return [_message(calls[0], await self._aanswer(calls[0]))]
        tasks = [asyncio.ensure_future(self._aanswer(call)) for call in calls]
        try:
            texts = await asyncio.gather(*tasks)
        except BaseException:
            for task in tasks:
                task.cancel()
            raise
        return [_message(call, text) for call, text in zip(calls, texts)]

    def _answer(self, call: Mapping[str, Any]) -> str:
        plan = self._plan(call)
        if isinstance(plan, str):
            return plan
        tool, kwargs = plan
        try:
            result = tool(**kwargs)
        except Exception as exc:
            return _failed(tool.name, exc)
        return _text(tool.name, result)

    async def _aanswer(self, call: Mapping[str, Any]) -> str:
        plan = self._plan(call)
        if isinstance(plan, str):
            return plan
        tool, kwargs = plan
        try:
            result = await tool.acall(**kwargs)
        except Exception as exc:
            return _failed(tool.name, exc)
        return _text(tool.name, result)

    def _plan(self, call: Mapping[str, Any]) -> tuple[Tool, dict[str, Any]] | str:
        """The tool a call asks for and the keyword arguments to run it with, or the "Error" text answering it."""
        function = call.get("function")
        if not isinstance(function, Mapping):
            return "Error: malformed tool call, it has no 'function' object"
        name = function.get("name")
        tool = self._tools.get(name)  # type: ignore[arg-type]
        if tool is None:
            return f"Error: unknown tool {name!r}; available tools: {', '.join(self._tools) or 'none'}"
        try:
            arguments = _arguments(function.get("arguments"))
        except ValueError as exc:
            return f"Error: bad arguments for tool {name!r}: {exc}"
        try:
            return tool, tool.bind(arguments)
        except ValidationError as exc:
            return f"Error: invalid arguments for tool {name!r}: {_summary(exc)}"
        except Exception as exc:  # e.g. no schema for a parameter type: a fault of the tool, not the call
            return f"Error: tool {name!r} cannot take arguments: {type(exc).__name__}: {exc}"

    @classmethod
    def __get_pydantic_core_schema__(cls, source: Any, handler: Any) -> core_schema.CoreSchema:
        return core_schema.is_instance_schema(
            cls,
            serialization=core_schema.plain_serializer_function_ser_schema(
                list, return_schema=core_schema.list_schema(core_schema.str_schema())
            ),
        )

    @classmethod
    def __get_pydantic_json_schema__(cls, schema: Any, handler: Any) -> dict[str, Any]:
        return {"type": "array", "items": {"type": "string"}, "description": "names of the registered tools"}


def _arguments(text: Any) -> Mapping[str, Any]:
    """The arguments object of a call.

    Some services send "", white space or nothing at all for a function without parameters: no arguments.
    """
    if text is None:
        return {}
    if not isinstance(text, (str, bytes, bytearray)):
        raise ValueError(f"expected JSON text, got {type(text).__name__}")
    if not text.strip():
        return {}
    try:
        value = json.loads(text)
    except ValueError as exc:  # JSONDecodeError, or bytes that are not UTF-8
        raise ValueError(f"not valid JSON ({exc})") from None
    except RecursionError:  # the decoder's depth limit: "[[[[..." from a model that ran away
        raise ValueError("not valid JSON (nested too deeply)") from None
    if not isinstance(value, dict):
        raise ValueError(f"expected a JSON object, got {json.dumps(value)[:40]}")
    return value


def _message(call: Mapping[str, Any], text: str) -> Message:
    """The tool-result message answering ``call``."""
    return Message(role=MessageRole.tool, tool_call_id=str(call.get("id") or ""), contents=[text])


def _failed(name: str, exc: Exception) -> str:
    return f"Error: tool {name!r} failed: {type(exc).__name__}: {exc}"


def _text(name: str, result: Any) -> str:
    """A tool's result as the message text: a `str` as it is, anything else as JSON."""
    if isinstance(result, str):
        return result
    try:
        return to_json(result).decode()
    except Exception as exc:
        return f"Error: the result of tool {name!r} cannot be encoded as JSON: {exc}"


def _summary(exc: ValidationError) -> str:
    errors = exc.errors(include_url=False)
    return "; ".join(f"{'.'.join(map(str, e['loc'])) or 'arguments'}: {e['msg']}" for e in errors)


def _wait(awaitable: Awaitable[Any]) -> Any:
    """Await from synchronous code: on a new loop here, or in a worker thread if a loop runs here already."""

    async def wait() -> Any:
        return await awaitable

    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(wait())
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="corvel-tool") as pool:
        return pool.submit(asyncio.run, wait()).result()
