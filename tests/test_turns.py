"""Whole turns over real HTTP against the local scripted service: answers, tool passes and failures."""

from __future__ import annotations

import io
import json
import socket
import sys
import threading

import httpx
import pytest
import requests

import corvel.modal
from corvel.message import MessageRole
from corvel.modal import LLModal, LLMResult, LLMStatus, ToolContent
from corvel.testing import HangUp, answer, completion, message, stream, tool_call
from corvel.tools import Tools

from support import FALLBACK, blocking, make_tools, raised


def client(server, **fields):
    return LLModal(endpoint_url=server.url, tools=make_tools(), **fields)


def consistent(c):
    """Every tool-call record is answered by its results; the turn's tool state is at rest."""
    messages = c.messages
    for i, m in enumerate(messages):
        if m.tool_calls:
            ids = [call["id"] for call in m.tool_calls]
            answered = [r.tool_call_id for r in messages[i + 1:i + 1 + len(ids)]]
            assert answered == ids, (ids, answered)
    assert c.tool_calls == [] and c._tool_calls_count == 0
    return True


def texts(c):
    return [(m.role.value, m.contents) for m in c.messages if not m.tool_calls and m.role != MessageRole.tool]


def test_a_turn_with_two_tools(turn, server, api_key):
    server.add(message(tool_calls=[tool_call("c1", "add", {"a": 2, "b": 3}), tool_call("c2", "shout", {"text": "hi"})]))
    server.add(message("5 and HI", reasoning_content="used both tools"))
    c = client(server, system_prompt="be brief", extra_body={"model": "m"})
    result = turn(c, "go")
    assert result == LLMResult(
        tool_calls={"c1": ToolContent(name="add", content={"a": 2, "b": 3}),
                    "c2": ToolContent(name="shout", content={"text": "hi"})},
        tool_results={"c1": ToolContent(name="add", content="5"), "c2": ToolContent(name="shout", content="HI")},
        reasoning_content="used both tools", content="5 and HI", status=LLMStatus.idle)
    first, second = server.requests
    assert first.headers["Authorization"] == "Bearer sk-test-key" == second.headers["authorization"]
    assert first.json["model"] == "m" and first.json["parallel_tool_calls"] is True
    assert [t["function"]["name"] for t in first.json["tools"]] == ["add", "shout"]
    assert first.json["messages"] == [{"role": "system", "content": "be brief"}, {"role": "user", "content": "go"}]
    sent = second.json["messages"]
    assert [m["role"] for m in sent] == ["system", "user", "assistant", "tool", "tool"]
    assert [x["id"] for x in sent[2]["tool_calls"]] == ["c1", "c2"] and "content" not in sent[2]
    assert [(m["tool_call_id"], m["content"]) for m in sent[3:]] == [("c1", "5"), ("c2", "HI")]
    assert texts(c)[-1] == ("assistant", ["5 and HI"]) and consistent(c)


def test_answer_text_alongside_tool_calls_is_recorded_first(turn, server):
    server.add(message("let me add", tool_calls=[tool_call("c1", "add", {"a": 1, "b": 1})]))
    server.add(message("2"))
    c = client(server)
    assert turn(c, "1+1").content == "2"  # the pass's record carries only the calls and results
    assert [m.role.value for m in c.messages] == ["user", "assistant", "assistant", "tool", "assistant"]
    assert c.messages[1].contents == ["let me add"]


def test_whole_answer_shapes(turn, server):
    server.add(message(None, reasoning_content="hmm"))
    server.add(answer({"choices": [{"message": {"content": "first"}}, {"message": {"content": "second"}}]}))
    server.add(answer(completion("tools null", finish_reason="length") | {}))
    c = client(server)
    r = turn(c, "a")
    assert (r.content, r.reasoning_content, r.status) == ("", "hmm", LLMStatus.idle)
    assert texts(c)[-1] == ("assistant", [""])
    assert turn(c, "b").content == "first"
    body = completion("nulls")
    body["choices"][0]["message"]["tool_calls"] = None
    server.add(answer(body))
    assert turn(c, "c").content == "tools null"
    assert turn(c, "d").content == "nulls" and consistent(c)


def test_reasoning_under_its_newer_name(turn, server):
    server.add(answer({"choices": [{"message": {"content": "x", "reasoning": "newer"}}]}))
    assert turn(client(server), "q").reasoning_content == "newer"


def test_a_model_that_always_asks_for_tools(turn, server, capsys):
    server.default = message(tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})])
    c = client(server)
    with pytest.raises(ValueError) as caught:
        turn(c, "loop")
    assert str(caught.value) == FALLBACK and len(server.requests) == 4
    assert sum(m.role == MessageRole.tool for m in c.messages) == 3
    assert sum(m.contents == [FALLBACK] for m in c.messages) == 1 and c.messages[-1].contents == [FALLBACK]
    assert capsys.readouterr().out == f"Error parsing LLM response: {FALLBACK}\n" * 4
    assert consistent(c)
    server.default = None
    server.add(message("back"))
    assert turn(c, "again").content == "back"


def on(where, fn):
    """fn() on the main thread, or in a thread of the default stack size; its exception is re-raised here."""
    if where == "main thread":
        return fn()
    outcome = {}

    def run():
        try:
            outcome["value"] = fn()
        except BaseException as e:  # handed to the test as it came
            outcome["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


@pytest.mark.parametrize("where", ["main thread", "thread"])
@pytest.mark.parametrize("streamed", [False, True], ids=["whole", "streamed"])
def test_an_endless_tool_loop_ends_in_recursion_error(server, capsys, streamed, where):
    # Every pass nests a native level (_core_call -> _response, or a follow-up stream delegated to): at the
    # recursion limit the turn must fail like any other, not take the process down with its stack.
    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        c.messages.clear()  # each request stays small: the depth is under test, not the conversation
        return a + b

    reply = stream if streamed else message
    server.default = reply(tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})])
    c = LLModal(endpoint_url=server.url, tools=tools, tool_calls_limit=10**9,
                extra_body={"stream": True} if streamed else {})

    def turn(prompt):
        result = c.invoke(prompt)
        return list(result)[-1] if streamed else result

    with pytest.raises(RecursionError):
        on(where, lambda: turn("loop"))
    assert len(server.requests) > 50 and consistent(c)
    assert sum(m.contents == [FALLBACK] for m in c.messages) == 1
    capsys.readouterr()
    server.default = reply("back")
    assert on(where, lambda: turn("again")).content == "back"


def refused_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1/chat/completions"


@pytest.mark.parametrize(
    "reply, error, line",
    [
        (answer("created", status=201), ValueError, "LLM request error: code: 201, content: b'created'"),
        (answer({"error": "x"}, status=500), ValueError, "LLM request error: code: 500, content: b'{\"error\": \"x\"}'"),
        (answer("<html>not json</html>"), (requests.exceptions.JSONDecodeError, json.JSONDecodeError),
         "Error parsing LLM response: "),
        (answer({"choices": []}), IndexError, "Error parsing LLM response: list index out of range"),
        (answer({"choices": [{"message": ["x"]}]}), TypeError, "Error parsing LLM response: Argument 'message'"),
        (answer({"choices": {}}), KeyError, "Error parsing LLM response: 0"),
        (answer(None), TypeError, "Error parsing LLM response: 'NoneType' object is not subscriptable"),
        # Stored as received, a NaN would make every later request of the conversation unsendable.
        (answer(b'{"choices": [{"message": {"content": "x", "n": NaN}}]}'), ValueError,
         "Error parsing LLM response: the JSON constant NaN is not allowed in an answer"),
        (answer("x" * 5000, status=503, content_type="text/plain"), ValueError,
         "LLM request error: code: 503, content: b'" + "x" * 1000 + "'... (5000 bytes in all)\n"),
        (HangUp(), (requests.ConnectionError, httpx.TransportError), "LLM request error: "),
        (message("late").delayed(2), (requests.exceptions.ReadTimeout, httpx.ReadTimeout),
         "LLM request error: "),
    ],
)
def test_first_request_failures(turn, server, capsys, reply, error, line):
    server.add(reply)
    c = client(server)
    c._timeout = (5, 0.3)
    with pytest.raises(raised(turn, *error) if isinstance(error, tuple) else error):
        turn(c, "question")
    out = capsys.readouterr().out
    assert out.startswith(line) and out.count("\n") == 1
    assert out.split(": ", 1)[1].strip()  # says what failed, even for an exception without a message
    assert texts(c) == [("user", ["question"]), ("assistant", [FALLBACK])] and consistent(c)
    server.add(message("fine"))
    assert turn(c, "next").content == "fine"


@pytest.mark.parametrize("endpoint", ["", "refused"])
def test_unreachable_endpoints(turn, capsys, endpoint):
    c = LLModal(endpoint_url=refused_url() if endpoint == "refused" else endpoint)
    with pytest.raises(raised(turn, requests.RequestException, httpx.HTTPError)):
        turn(c, "q")
    assert capsys.readouterr().out.startswith("LLM request error: ")
    assert texts(c) == [("user", ["q"]), ("assistant", [FALLBACK])] and consistent(c)


def test_a_failing_follow_up_reaches_the_caller_as_the_same_object(server, capsys, monkeypatch):
    boom = requests.ConnectionError("follow-up refused")
    real = requests.post
    calls = []

    class Requests:
        @staticmethod
        def post(*args, **kwargs):
            calls.append(kwargs)
            if len(calls) == 2:
                raise boom
            return real(*args, **kwargs)

    monkeypatch.setattr(corvel.modal, "requests", Requests)
    server.add(message(tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})]))
    c = client(server)
    with pytest.raises(requests.ConnectionError) as caught:
        c.invoke("q")
    assert caught.value is boom
    assert list(calls[0]) == ["headers", "json", "stream", "timeout"] and calls[0]["timeout"] == (10, 600)
    assert capsys.readouterr().out.splitlines() == [
        "LLM request error: follow-up refused", "Error parsing LLM response: follow-up refused"]
    assert sum(m.contents == [FALLBACK] for m in c.messages) == 1 and consistent(c)


def test_a_failed_request_never_joins_the_previous_answer(turn, server):
    server.add(message("A1"))
    c = client(server)
    turn(c, "q")
    server.add(answer("down", status=503))
    with pytest.raises(ValueError):
        turn(c, "")
    assert texts(c) == [("user", ["q"]), ("assistant", ["A1"]), ("assistant", [FALLBACK])]


def test_a_tool_error_is_answered_and_the_turn_goes_on(turn, server):
    server.add(message(tool_calls=[tool_call("c1", "add", {"a": "x"}), tool_call("c2", "nope", {})]))
    server.add(message("sorry"))
    result = turn(client(server), "q")
    assert result.tool_results["c1"].content.startswith("Error") and result.tool_results["c2"].content.startswith("Error")


def test_invoke_refuses_non_text_prompts(server):
    c = client(server, system_prompt="sys")
    for prompt in (None, b"x", type("S", (str,), {})("s")):
        with pytest.raises(TypeError, match=r"^Argument 'prompt' has incorrect type \(expected str, got"):
            c.invoke(prompt)
    assert c.messages == [] and server.requests == []


def test_prompts_and_pending_media(turn, server):
    server.extend([message("a"), message("b"), message("c")])
    c = client(server, system_prompt="sys")
    turn(c, "first")
    turn(c, "")  # the conversation is sent unchanged; the answer continues the last one
    assert server.requests[1].json["messages"] == server.requests[0].json["messages"] + [
        {"role": "assistant", "content": "a"}]
    assert texts(c)[-1] == ("assistant", ["ab"])
    c.video.append("FRAME")
    turn(c, "")  # only video pending: no user message, the frames wait
    assert c.video == ["FRAME"] and len(server.requests[2].json["messages"]) == 3
    server.add(message("d"))
    c.images.append("IMG")
    turn(c, "")
    assert server.requests[3].json["messages"][-1]["content"][0]["type"] == "image_url"
    assert sum(m.role == MessageRole.system for m in c.messages) == 1


def test_an_unfinished_turn_does_not_leak_into_the_next(turn, server):
    server.add(message("clean"))
    c = client(server)
    c.tool_calls = [{"id": "stale", "function": {"name": "add", "arguments": "{}"}}]
    c._tool_calls_count = 2
    assert turn(c, "q").tool_calls == {} and consistent(c)


def test_ten_thousand_turns_do_not_leak(server, no_leak):
    server.default = message("ok")
    c = client(server)

    def turn():
        c.invoke("q")
        c.messages.clear()
        server.reset()  # the server's own records are not the client's

    no_leak(turn, calls=10_000, objects=200, memory=512 * 1024)


class Broken(Tools):
    """A registry that raises one shared exception object, as an application's (or a mock's) may."""

    down = RuntimeError("registry \u2193 down")

    def __call__(self, tool_calls):
        raise self.down

    async def acall(self, tool_calls):
        raise self.down


def broken_client(server):
    tools = Broken()
    tools.register(lambda: 1, name="f")
    return LLModal(endpoint_url=server.url, tools=tools)


def test_a_registry_that_raises_leaves_no_unanswered_call(turn, server, capsys):
    c = broken_client(server)
    for prompt in ("q", "q2"):  # the same exception object again: the second turn records its fallback too
        server.add(message(tool_calls=[tool_call("c1", "f", {})]))
        with pytest.raises(RuntimeError) as caught:
            turn(c, prompt)
        assert caught.value is Broken.down
        assert capsys.readouterr().out == "Error parsing LLM response: registry \u2193 down\n"
        assert texts(c)[-2:] == [("user", [prompt]), ("assistant", [FALLBACK])] and consistent(c)
    assert len(c.messages) == 4
    server.add(message("recovered"))
    assert turn(c, "again").content == "recovered"
    assert "tool_calls" not in str(server.requests[-1].json["messages"])


@pytest.mark.parametrize("stdout", ["closed", "ascii"])
def test_the_failure_path_survives_a_stdout_that_cannot_print(turn, server, monkeypatch, stdout):
    # A closed pipe (app | head) or an encoding that cannot show the line: the real failure still arrives.
    out = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
    if stdout == "closed":
        out.close()
    monkeypatch.setattr(sys, "stdout", out)
    server.add(message(tool_calls=[tool_call("c1", "f", {})]))
    c = broken_client(server)
    with pytest.raises(RuntimeError) as caught:
        turn(c, "q")
    assert caught.value is Broken.down
    assert texts(c) == [("user", ["q"]), ("assistant", [FALLBACK])] and consistent(c)


@pytest.mark.parametrize("stream", [False, True])
def test_a_retried_turn_that_calls_tools(turn, server, stream):
    server.extend([message("old answer"), message(tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})]),
                   message("3")])
    c = client(server)
    turn(c, "q")
    c.retry = True
    if stream:  # a service that ignores "stream" answers the same way
        c.extra_body["stream"] = True
    result = turn(c, "q again")
    assert ("".join(r.content for r in result) if stream else result.content) == "3"
    # The retry ends with the tool pass: the follow-up carries the exchange, and its answer comes after it.
    assert c.retry is False
    assert [m["role"] for m in server.requests[1].json["messages"]] == ["user"]
    assert [m["role"] for m in server.requests[2].json["messages"]] == ["user", "assistant", "assistant", "tool"]
    assert texts(c) == [("user", ["q", "q again"]), ("assistant", ["old answer"]), ("assistant", ["3"])]
    assert consistent(c)


def test_proxies_from_the_environment_are_used(turn, server, monkeypatch):
    for name in ("HTTP_PROXY", "http_proxy"):
        monkeypatch.setenv(name, f"http://127.0.0.1:{server.port}")
    for name in ("NO_PROXY", "no_proxy", "ALL_PROXY", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    server.add(message("through the proxy"))
    assert turn(LLModal(endpoint_url="http://unreachable.invalid/v1/chat/completions"), "q").content == \
        "through the proxy"
