"""pydantic models with native methods, and fastmcp tools for natively compiled functions."""

import functools
from collections.abc import Callable
from typing import Any

from fastmcp.tools import FunctionTool
from fastmcp.tools.tool import ToolResult
from mcp.types import ContentBlock
from pydantic import BaseModel, TypeAdapter
from pydantic._internal._model_construction import ModelMetaclass

class CythonModelMeta(ModelMetaclass):
    """Registers the types of a class body's callables with pydantic, so that they stay methods."""

    def __new__(cls, name: str, bases: tuple[type, ...], namespace: dict[str, Any]) -> type[BaseModel]: ...

class CythonBaseModel(BaseModel, metaclass=CythonModelMeta): ...

@functools.lru_cache(maxsize=5000)
def get_cached_typeadapter(fn: Any) -> TypeAdapter[Any]:
    """Get a cached TypeAdapter for a function, compatible with Python and Cython."""

def _convert_to_content(
    result: Any, serializer: Callable[[Any], str] | None = None, _process_as_single_item: bool = False
) -> list[ContentBlock]:
    """Convert a result to a sequence of content objects."""

class CythonFunctionTool(CythonBaseModel, FunctionTool):
    async def run(self, arguments: dict[str, Any]) -> ToolResult:
        """Run the tool with arguments."""
