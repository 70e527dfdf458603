"""Tools: the registry of Python functions offered to the model.

    tools = Tools()

    @tools.register
    def weather(city: Annotated[str, "city name"], days: int = 1) -> dict:
        '''Forecast for a city.'''
        ...

    tools.schemas      # chat-completions "tools" list, parameters described from the signature
    tools(tool_calls)  # runs the model's calls, one tool-result Message per call

Every function gets one pydantic parameter model built from its signature; the same model describes the
parameters to the model and validates the arguments it sends, so the two cannot disagree. A call that goes
wrong (unknown tool, bad JSON, invalid arguments, an exception in the tool) is answered with a message whose
text starts with "Error" and says why, so the model can correct itself; the other calls still run.
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
from typing import Annotated, Any, TypeVar, get_origin, overload

from pydantic import ConfigDict, Field, TypeAdapter, ValidationError, create_model
from pydantic_core import core_schema, to_json

from corvel.message import Message, MessageRole

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
        """Validator of the arguments; validating a dict gives an instance of the parameter model."""
        return _parameter_adapter(self.fn)

    @cached_property
    def parameters(self) -> dict[str, Any]:
        """JSON schema of the arguments (type object, properties, required, and $defs of nested models)."""
        return self.adapter.json_schema()

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
        `ValidationError` for invalid arguments.
        """
        validated = self.adapter.validate_python(arguments)
        fields = type(validated).model_fields
        kwargs = {
            fields[name].alias or name: getattr(validated, name)
            for name in fields
            if name in validated.model_fields_set
        }
        kwargs.update(validated.__pydantic_extra__ or {})
        return kwargs

    def __call__(self, /, **kwargs: Any) -> Any:
        """Call the function; an awaitable result (a coroutine function's) is awaited to completion."""
        result = self.fn(**kwargs)
        return _wait(result) if inspect.isawaitable(result) else result


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
        arguments. Coroutine functions are awaited when called.
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
        for param in inspect.signature(fn).parameters.values():
            if param.kind in (param.VAR_POSITIONAL, param.POSITIONAL_ONLY):
                raise TypeError(f"tool {name!r}: parameter {param.name!r} cannot be passed by name")
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

    @property
    def schemas(self) -> list[dict[str, Any]]:
        """The chat-completions "tools" list, in registration order; a fresh value on each read."""
        return [tool.schema for tool in self._tools.values()]

    def __call__(self, tool_calls: list[dict[str, Any]]) -> list[Message]:
        """Run the model's tool calls in order; one tool-result `Message` per call.

        Each call is ``{"id": ..., "function": {"name": ..., "arguments": "<JSON object text>"}}``; empty or
        missing arguments mean none. The message's text is a `str` result as it is, any other result as
        JSON, or a text starting with "Error" that says what went wrong.
        """
        return [
            Message(role=MessageRole.tool, tool_call_id=str(call.get("id") or ""), contents=[self._answer(call)])
            for call in tool_calls
        ]

    def _answer(self, call: Mapping[str, Any]) -> str:
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
            kwargs = tool.bind(arguments)
        except ValidationError as exc:
            return f"Error: invalid arguments for tool {name!r}: {_summary(exc)}"
        except Exception as exc:  # e.g. no schema for a parameter type: a fault of the tool, not the call
            return f"Error: tool {name!r} cannot take arguments: {type(exc).__name__}: {exc}"
        try:
            result = tool(**kwargs)
        except Exception as exc:
            return f"Error: tool {name!r} failed: {type(exc).__name__}: {exc}"
        if isinstance(result, str):
            return result
        try:
            return to_json(result).decode()
        except Exception as exc:
            return f"Error: the result of tool {name!r} cannot be encoded as JSON: {exc}"

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


def _parameter_adapter(fn: Callable[..., Any]) -> TypeAdapter[Any]:
    """A validator for ``fn``'s arguments, built from its signature.

    One model field per parameter, aliased to the parameter's name (so names such as ``schema``, ``json``
    or ``_x`` work): the annotation, ``Any`` when there is none; the default, required when there is none;
    the first text of ``Annotated[T, "text"]`` as the description. Arguments the function does not take are
    refused unless it has ``**kwargs`` (whose annotation then validates them). Arbitrary classes are checked
    with ``isinstance``.
    """
    fields: dict[str, Any] = {}
    extra = "forbid"
    for index, param in enumerate(inspect.signature(fn, eval_str=True).parameters.values()):
        if param.kind is param.VAR_KEYWORD:
            extra = "allow"
            if param.annotation is not param.empty:  # `**kw: int` validates the extra values as int
                fields["__pydantic_extra__"] = (dict[str, param.annotation], ...)
            continue
        annotation = Any if param.annotation is param.empty else param.annotation
        description = None
        if get_origin(annotation) is Annotated:
            description = next((m for m in annotation.__metadata__ if isinstance(m, str)), None)
        default = ... if param.default is param.empty else param.default
        fields[f"p{index}"] = (annotation, Field(default, alias=param.name, description=description))
    model = create_model(
        f"{getattr(fn, '__name__', 'tool')}_parameters",
        __config__=ConfigDict(arbitrary_types_allowed=True, extra=extra),
        __module__=getattr(fn, "__module__", None) or __name__,
        **fields,
    )
    return TypeAdapter(model)


def _arguments(text: Any) -> Mapping[str, Any]:
    """The arguments object of a call; some services send "" or nothing for a function without parameters."""
    if text is None or text == "":
        return {}
    if not isinstance(text, (str, bytes, bytearray)):
        raise ValueError(f"expected JSON text, got {type(text).__name__}")
    try:
        value = json.loads(text)
    except ValueError as exc:  # JSONDecodeError, or bytes that are not UTF-8
        raise ValueError(f"not valid JSON ({exc})") from None
    if not isinstance(value, dict):
        raise ValueError(f"expected a JSON object, got {json.dumps(value)[:40]}")
    return value


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
