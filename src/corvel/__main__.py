"""`python -m corvel`: a short conversation with tools, whole and streamed.

    python -m corvel                                   # against a scripted model on 127.0.0.1
    python -m corvel --endpoint URL --model NAME [--stream] PROMPT
    python -m corvel --mcp                             # serve the example tools over MCP (stdio)
    python -m corvel --mcp-tools "python -m corvel --mcp"   # also offer the tools of an MCP server

The API key comes from the configuration: CORVEL_LLM_API_KEY, or api_key in the [llm] table of
~/.config/corvel/config.toml (CORVEL_CONFIG names another file).
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING

import requests
from urllib3.exceptions import NewConnectionError, ReadTimeoutError

from corvel import demo

if TYPE_CHECKING:
    from corvel.modal import LLModal, LLMResult


def show(result: LLMResult) -> None:
    """Print one record of a turn as it arrives."""
    if result.reasoning_content:
        print(f"  [reasoning] {result.reasoning_content}")
    for call_id, call in result.tool_calls.items():
        print(f"  [tool call {call_id}] {call.name}({call.content})")
    for call_id, output in result.tool_results.items():
        print(f"  [tool result {call_id}] {output.content}")


def whole_turn(client: LLModal, prompt: str) -> None:
    print(f"\nuser> {prompt}")
    result = client.invoke(prompt)
    assert not isinstance(result, Iterator)
    show(result)
    print(f"assistant> {result.content}")


def streamed_turn(client: LLModal, prompt: str) -> None:
    print(f"\nuser> {prompt}   (streamed)")
    records = client.invoke(prompt)
    assert isinstance(records, Iterator)
    reasoning: list[str] = []
    answering = False
    for record in records:
        if record.status == "reason":
            reasoning.append(record.reasoning_content)
            continue
        if reasoning:
            print(f"  [reasoning] {''.join(reasoning)}")
            reasoning = []
        if record.status == "answer":
            if not answering:
                print("assistant> ", end="")
                answering = True
            print(record.content, end="", flush=True)
        else:
            show(record)
    print()


def scripted() -> None:
    from corvel.modal import LLModal
    from corvel.testing import ScriptedServer

    with ScriptedServer(default=demo.scripted_model) as server:
        print(f"A scripted model is listening on {server.url}.")
        client = LLModal(endpoint_url=server.url, tools=demo.tools, system_prompt="You plan trips in France.")
        whole_turn(client, "How is Lyon today, and how far is it from Paris?")
        client.extra_body["stream"] = True
        streamed_turn(client, "And once more, as it comes?")
        print("\nThe conversation as it goes on the wire:")
        for wire in client.messages_latest:
            print(f"  {json.dumps(wire, ensure_ascii=False)}")


def real(endpoint: str, model: str, prompt: str, stream: bool) -> int:
    from corvel.modal import LLModal

    client = LLModal(endpoint_url=endpoint, tools=demo.tools, extra_body={"model": model, "stream": stream})
    try:
        (streamed_turn if stream else whole_turn)(client, prompt)
    except ValueError as exc:  # first: requests' JSON and URL errors are ValueErrors too
        text = str(exc)
        if text.startswith(("code: 401", "code: 403")):
            print("corvel: the service rejected the API key (set CORVEL_LLM_API_KEY)", file=sys.stderr)
        elif text.startswith(("code: 404", "code: 400")) and model in text:
            print(f"corvel: the service does not know the model {model!r}", file=sys.stderr)
        else:
            print(f"corvel: {text}", file=sys.stderr)
        return 1
    except requests.RequestException as exc:
        if _stalled(exc):
            print(f"corvel: {endpoint} stalled: nothing arrived within the read time-out", file=sys.stderr)
        elif _unreachable(exc):
            print(f"corvel: cannot reach {endpoint}", file=sys.stderr)
        else:
            print(f"corvel: the connection to {endpoint} broke off ({type(exc).__name__})", file=sys.stderr)
        return 1
    return 0


def _causes(exc: BaseException) -> list[object]:
    """``exc`` and what it wraps: requests passes urllib3's exception as an argument, which may hold a reason."""
    return [exc, *exc.args, *(getattr(arg, "reason", None) for arg in exc.args)]


def _stalled(exc: requests.RequestException) -> bool:
    """A read time-out: before the answer (ReadTimeout), or in a stream, where requests raises a
    ConnectionError wrapping urllib3's ReadTimeoutError."""
    return any(isinstance(cause, (requests.ReadTimeout, ReadTimeoutError)) for cause in _causes(exc))


def _unreachable(exc: requests.RequestException) -> bool:
    """No connection was made: refused, the name did not resolve, or the connect time-out passed."""
    return any(isinstance(cause, (requests.ConnectTimeout, NewConnectionError)) for cause in _causes(exc))


def serve_mcp() -> None:
    from fastmcp import FastMCP

    server = FastMCP("corvel example tools")
    demo.tools.add_to_server(server)
    server.run(show_banner=False, log_level="WARNING")  # stderr is its client's console


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m corvel", description=__doc__.splitlines()[0])
    parser.add_argument("--endpoint", help="chat-completions URL of a real service")
    parser.add_argument("--model", help="the model name the service expects")
    parser.add_argument("--stream", action="store_true", help="ask for a streamed answer")
    parser.add_argument("--mcp", action="store_true", help="serve the example tools over MCP on stdio")
    parser.add_argument("--mcp-tools", metavar="COMMAND", action="append", default=[],
                        help="also offer the tools of the MCP server this command starts on stdio")
    parser.add_argument("--mcp-prefix", default="mcp_", help="put before those tools' names (default: mcp_)")
    parser.add_argument("prompt", nargs="?", help="what to ask the real service")
    args = parser.parse_args(argv)
    if args.mcp:
        if args.mcp_tools:
            parser.error("--mcp serves the example tools only; it does not take --mcp-tools")
        serve_mcp()
        return 0
    with demo.tools:  # closes the sessions of --mcp-tools on the way out
        for command in args.mcp_tools:
            if not command.strip():
                parser.error("--mcp-tools needs a command")
            try:
                demo.add_mcp_command(command, args.mcp_prefix)
            except (ConnectionError, ValueError) as exc:
                print(f"corvel: {exc}", file=sys.stderr)
                return 1
        if args.endpoint:
            if not (args.model and args.prompt):
                parser.error("--endpoint needs --model and a PROMPT")
            return real(args.endpoint, args.model, args.prompt, args.stream)
        scripted()
    return 0


if __name__ == "__main__":
    sys.exit(main())
