"""Helpers shared by the client's test files."""

from __future__ import annotations

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


def refused_url() -> str:
    """A loopback URL where nothing listens: connections are refused."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/v1/chat/completions"
