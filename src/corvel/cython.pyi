"""pydantic models with native methods, and fastmcp tools for natively compiled functions."""

from typing import Any

from pydantic import BaseModel
from pydantic._internal._model_construction import ModelMetaclass

class CythonModelMeta(ModelMetaclass):
    """Registers the types of a class body's callables with pydantic, so that they stay methods."""

    def __new__(cls, name: str, bases: tuple[type, ...], namespace: dict[str, Any]) -> type[BaseModel]: ...

class CythonBaseModel(BaseModel, metaclass=CythonModelMeta): ...
