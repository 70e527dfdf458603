"""The conversation record of corvel's chat client, and the roles of a conversation."""

from enum import StrEnum
from typing import Any

from pydantic import BaseModel

class MessageRole(StrEnum):
    system = "system"
    user = "user"
    assistant = "assistant"
    tool = "tool"

class Message(BaseModel):
    """One speaker's turn; the last entry of `contents` is what is sent."""

    role: MessageRole
    contents: list[str | list[dict[str, Any]]] = ...
    tool_call_id: str = ...
    tool_calls: list[dict[str, Any]] = ...
    @property
    def latest(self) -> dict[str, Any]:
        """The wire form of this message in a chat-completions request."""
    def __bool__(self) -> bool: ...
