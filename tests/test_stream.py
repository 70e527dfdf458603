"""Streamed answers over real HTTP: fragments as they arrive, tool phases, stop requests and failures."""

from __future__ import annotations

import collections.abc
import gc
import json
import os
import weakref

import httpx
import pytest
import requests

from corvel.message import MessageRole
from corvel.modal import LLModal, LLMStatus, ToolContent
from corvel.testing import DONE, Stream, answer, chunk, completion, data, message, stream, tool_call

from support import FALLBACK, Records, blocking, make_tools, raised

S = LLMStatus


def client(server, **fields):
    return LLModal(endpoint_url=server.url, tools=make_tools(), extra_body={"stream": True}, **fields)


def summary(records):
    return [(r.status.value, r.reasoning_content or r.content or sorted(r.tool_calls or r.tool_results)) for r in records]


def answers(c):
    return [m.contents for m in c.messages if m.role == MessageRole.assistant and not m.tool_calls]


def at_rest(c):
    return c.tool_calls == [] and c._tool_calls_count == 0


def test_reasoning_then_answer_fragments(turn, server):
    server.add(stream(["Hel", "lo", "!"], reasoning=["thinking", " hard"]))
    c = client(server)
    records = turn(c, "hi")
    assert isinstance(records, collections.abc.Generator if turn is blocking else Records)
    assert summary(records) == [("reason", "thinking"), ("reason", " hard"), ("answer", "Hel"), ("answer", "lo"),
                                ("answer", "!")]
    assert answers(c) == [["Hello!"]] and at_rest(c)
    assert server.requests[0].json["stream"] is True


def test_the_answer_is_recorded_as_it_arrives(turn, server):
    server.add(stream(["a", "b", "c"]))
    c = client(server)
    seen = [c.messages[-1].contents[-1] for _ in turn(c, "q")]
    assert seen == ["a", "ab", "abc"]


def test_a_streamed_turn_with_two_parallel_tool_calls(turn, server):
    calls = [tool_call("c1", "add", {"a": 2, "b": 3}), tool_call("c2", "shout", {"text": "hi"})]
    server.add(stream("Let me check.", tool_calls=calls))
    server.add(stream(["5 and ", "HI"]))
    c = client(server)
    records = list(turn(c, "go"))
    assert summary(records) == [("answer", "Let me check."), ("tool_calls", ["c1", "c2"]),
                                ("tool_results", ["c1", "c2"]), ("answer", "5 and "), ("answer", "HI")]
    assert records[1].tool_calls == {"c1": ToolContent(name="add", content={"a": 2, "b": 3}),
                                     "c2": ToolContent(name="shout", content={"text": "hi"})}
    assert records[2].tool_results == {"c1": ToolContent(name="add", content="5"),
                                       "c2": ToolContent(name="shout", content="HI")}
    sent = server.requests[1].json["messages"]
    assert [m["role"] for m in sent] == ["user", "assistant", "assistant", "tool", "tool"]
    assert [x["function"]["arguments"] for x in sent[2]["tool_calls"]] == ['{"a": 2, "b": 3}', '{"text": "hi"}']
    assert answers(c) == [["Let me check."], ["5 and HI"]] and at_rest(c)


def test_parallel_calls_numbered_alike_stay_apart(turn, server):
    calls = [tool_call("c1", "add", {"a": 1, "b": 1}), tool_call("c2", "add", {"a": 2, "b": 2})]
    server.add(stream(tool_calls=calls, same_index=True, piece_size=3))
    server.add(stream("done"))
    records = list(turn(client(server), "go"))
    assert records[1].tool_results == {"c1": ToolContent(name="add", content="2"),
                                       "c2": ToolContent(name="add", content="4")}


def test_the_limit_ends_the_turn_with_the_fallback_once(turn, server, capsys):
    server.default = stream(tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})])
    c = client(server)
    records = []
    with pytest.raises(ValueError) as caught:
        for record in turn(c, "loop"):
            records.append(record)
    assert str(caught.value) == FALLBACK and len(server.requests) == 4
    assert [r.status for r in records] == [S.tool_calls, S.tool_results] * 3
    assert sum(m.contents == [FALLBACK] for m in c.messages) == 1 and at_rest(c)
    assert capsys.readouterr().out == f"Error parsing LLM response: {FALLBACK}\n" * 4


def test_a_stop_request_ends_the_stream(turn, server):
    server.add(stream(["one", "two", "three"], tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})]))
    c = client(server)
    records = turn(c, "q")
    first = next(records)
    c._close = True
    assert list(records) == [] and first.content == "one"
    assert c._close is False and answers(c) == [["one"]] and at_rest(c) and len(server.requests) == 1
    # A stop request that came after the last record must not end the next turn at once.
    server.add(stream(["a"]))
    server.add(stream(["b"]))
    assert [r.content for r in turn(c, "q2")] == ["a"]
    c._close = True
    assert [r.content for r in turn(c, "q3")] == ["b"]


@pytest.mark.parametrize(
    "lines, error, fallback",
    [
        ([chunk({"content": "part"}), "not json"], ValueError, False),
        (["not json", chunk({"content": "never"})], ValueError, True),
        ([b"data: \xff\xfe"], UnicodeDecodeError, True),
        ([data({"id": "x"})], KeyError, True),
        ([data({"choices": [{"delta": ["x"]}]})], TypeError, True),
        ([data({"choices": ["x"]})], TypeError, True),
        ([data({"choices": {}})], KeyError, True),
        ([chunk({"content": float("nan")})], ValueError, True),
        ([chunk({"tool_calls": [{"index": 0, "id": "c", "function": {"arguments": float("inf")}}]})], ValueError, True),
        # A body that ends before any finishing chunk or [DONE]: cut by a proxy, or empty.
        ([chunk({"content": "a"}), chunk({"content": "b"})], ValueError, False),
        ([], ValueError, True),
    ],
)
def test_failures_record_the_fallback_only_before_the_first_fragment(turn, server, capsys, lines, error, fallback):
    server.add(Stream(lines))
    c = client(server)
    with pytest.raises(error):
        list(turn(c, "q"))
    assert capsys.readouterr().out.startswith("Error parsing LLM response: ")
    assert (answers(c)[-1] == [FALLBACK]) is fallback and at_rest(c)
    server.add(stream("fine"))
    assert [r.content for r in turn(c, "again")] == ["fine"]


def test_a_connection_dropped_mid_stream(turn, server, capsys):
    server.add(stream(["abc", "def", "ghi"]).cut(4))
    c = client(server)
    got = []
    with pytest.raises(raised(turn, requests.RequestException, httpx.HTTPError)):
        for record in turn(c, "q"):
            got.append(record.content)
    assert got and answers(c) == [["".join(got)]] and at_rest(c)


def test_a_failing_follow_up_prints_two_lines(turn, server, capsys):
    server.add(stream(tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})]))
    server.add(answer("overloaded", status=503))
    c = client(server)
    records = turn(c, "q")
    assert [next(records).status, next(records).status] == [S.tool_calls, S.tool_results]
    with pytest.raises(ValueError) as caught:
        next(records)
    assert capsys.readouterr().out.splitlines() == [
        "LLM request error: code: 503, content: b'overloaded'",
        "Error parsing LLM response: code: 503, content: b'overloaded'"]
    assert str(caught.value).startswith("code: 503")
    assert sum(m.contents == [FALLBACK] for m in c.messages) == 1 and at_rest(c)


@pytest.mark.parametrize(
    "extra",
    [
        [": keep-alive comment"],
        ["event: message", "id: 7", "retry: 1000"],
        [data({"choices": [], "prompt_filter_results": []})],
        [data({"choices": [{"index": 0, "finish_reason": None, "content_filter_results": {}}]})],
        ["foo: bar", "date: never a data line"],
    ],
)
def test_lines_real_services_send_are_skipped(turn, server, extra):
    body = stream(["x", "y"]).lines
    server.add(Stream([*extra, *body[:2], *extra, *body[2:]]))
    c = client(server)
    assert [r.content for r in turn(c, "q")] == ["x", "y"] and answers(c) == [["xy"]]


@pytest.mark.parametrize(
    "lines",
    [
        [chunk({"content": "a"}), DONE, "garbage that is never read"],
        [chunk({"content": "a"}), " data: [DONE] \t", "garbage"],
        # A byte-order mark opening the body belongs to the encoding, not to the first line.
        [b"\xef\xbb\xbf" + chunk({"content": "a"}).encode(), chunk({}, "stop")],
        [b"\xef\xbb\xbf", chunk({"content": "a"}), chunk({}, "stop")],
    ],
)
def test_ends_and_byte_order_marks(turn, server, lines):
    server.add(Stream(lines))
    assert [r.content for r in turn(client(server), "q")] == ["a"]


def test_a_service_that_ignores_stream_sends_the_whole_answer(turn, server):
    calls = [tool_call("c1", "add", {"a": 2, "b": 3})]
    server.add(message("Let me add.", reasoning_content="two numbers", tool_calls=calls))
    server.add(answer(json.dumps(completion("5"), indent=2)))  # spread over lines
    c = client(server)
    assert summary(turn(c, "q")) == [("reason", "two numbers"), ("answer", "Let me add."), ("tool_calls", ["c1"]),
                                      ("tool_results", ["c1"]), ("answer", "5")]
    assert answers(c) == [["Let me add."], ["5"]] and at_rest(c)


def test_a_streamed_pass_closes_its_response_before_the_next(turn, server):
    # Each finished stream let its socket live until the whole turn ended: one per pass.
    server.default = stream(tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})])
    c = client(server, tool_calls_limit=40)
    before = sockets()
    records = turn(c, "q")
    for _ in range(2 * 40):  # into the 41st request's stream
        next(records)
    assert sockets() - before <= 2
    with pytest.raises(ValueError):
        list(records)


def sockets():
    fds = "/proc/self/fd"
    return sum(os.readlink(f"{fds}/{fd}").startswith("socket:") for fd in os.listdir(fds)
               if os.path.exists(f"{fds}/{fd}"))


def test_a_choice_without_delta_still_finishes(turn, server):
    server.add(Stream([chunk({"content": "a"}), data({"choices": [{"index": 0, "finish_reason": "content_filter"}]}),
                       "never read"]))
    assert [r.content for r in turn(client(server), "q")] == ["a"]


def test_data_prefix_without_blank_and_lines_after_the_finish(turn, server):
    server.add(Stream([chunk({"content": "a"}).replace("data: ", "data:"), chunk({}, "stop"), "not json"]))
    assert [r.content for r in turn(client(server), "q")] == ["a"]


def test_reasoning_and_answer_in_one_chunk(turn, server):
    server.add(Stream([chunk({"reasoning_content": "The answer", "content": "The answer"}), chunk({"content": " is 42."}),
                       chunk({}, "stop")]))
    c = client(server)
    records = list(turn(c, "q"))
    assert [(r.status, r.reasoning_content, r.content) for r in records] == [
        (S.reason, "The answer", ""), (S.answer, "", "The answer"), (S.answer, "", " is 42.")]
    assert answers(c) == [["The answer is 42."]]


@pytest.mark.parametrize(
    "shape",
    [
        dict(opening="empty", usage=True, done=True),
        dict(opening="null", usage=False, done=True),
        dict(opening="role", usage=True, done=False, reasoning_key="reasoning"),
        dict(opening=None, usage=False, done=False),
    ],
)
def test_the_same_turn_as_four_services_shape_it(turn, server, shape):
    calls = [tool_call("c1", "add", {"a": 20, "b": 22})]
    server.add(stream(tool_calls=calls, reasoning=["plan"], **shape))
    server.add(stream(["4", "2"], **shape))
    c = client(server)
    assert summary(turn(c, "q")) == [("reason", "plan"), ("tool_calls", ["c1"]), ("tool_results", ["c1"]),
                                      ("answer", "4"), ("answer", "2")]
    assert answers(c) == [["42"]] and at_rest(c)


def test_nothing_is_read_before_the_first_record():
    class Response:
        read = False

        def iter_lines(self):
            Response.read = True
            yield from (chunk({"content": "a"}).encode(), b"", chunk({}, "stop").encode())

    c = LLModal(extra_body={"stream": True})
    gen = c._stream_response(Response())
    assert not Response.read and gen.__name__ == "_stream_response"
    assert gen.__qualname__ == "LLModal._stream_response"
    assert [r.content for r in gen] == ["a"] and Response.read


def test_throw_and_close_on_a_suspended_stream(turn, server):
    server.add(stream(["a", "b"]))
    c = client(server)
    records = turn(c, "q")
    next(records)
    with pytest.raises(KeyError):
        records.throw(KeyError("injected"))
    assert answers(c) == [["a"]]  # the fragment already recorded stays; no fallback after it
    server.add(stream(["a", "b"]))
    records = turn(c, "q2")
    next(records)
    records.close()
    with pytest.raises(StopIteration):
        next(records)


def test_throw_and_close_reach_the_follow_up_stream(turn, server, capsys):
    server.add(stream(tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})]))
    server.add(stream(["x", "y"]))
    c = client(server)
    records = turn(c, "q")
    for _ in range(3):  # calls, results, and the follow-up's first fragment
        next(records)
    with pytest.raises(RuntimeError, match="stop"):
        records.throw(RuntimeError("stop"))
    assert capsys.readouterr().out.count("Error parsing LLM response: stop") == 2 and at_rest(c)

    server.add(stream(tool_calls=[tool_call("c", "add", {"a": 1, "b": 1})]))
    server.add(stream(["x", "y"]))
    records = turn(c, "q")
    for _ in range(3):
        next(records)
    records.close()
    assert capsys.readouterr().out == ""


def test_a_cycle_through_a_suspended_stream_is_collected(server):
    server.add(stream(["a", "b"]))
    c = client(server)
    records = c.invoke("q")
    next(records)
    c.extra_body["cycle"] = records  # client -> generator -> client
    ref = weakref.ref(records)
    del records, c
    gc.collect()
    assert ref() is None


def test_ten_thousand_streamed_turns_do_not_leak(server, no_leak):
    server.default = stream(["a", "b"], reasoning=["r"])
    c = client(server)

    def turn():
        for _ in c.invoke("q"):
            pass
        c.messages.clear()
        server.reset()

    no_leak(turn, calls=10_000, objects=200, memory=512 * 1024)


@pytest.mark.parametrize("framing", ["chunked", "length", "close"])
def test_every_framing_is_cut_into_lines_as_it_arrives(turn, server, framing):
    # One long line in 1 KiB pieces once cost time quadratic in its length; and a fragment must be handed
    # on when its line is complete, not when a read of some fixed size fills up.
    server.add(stream(["first", "x" * 2_000_000, "last"], framing=framing, chunk_size=1024))
    c = client(server)
    assert [len(r.content) for r in turn(c, "q")] == [5, 2_000_000, 4]
    server.add(stream(["first", "never"], framing=framing).stall_after(4, 3))
    c._timeout = (5, 0.5)
    got = []
    with pytest.raises(raised(turn, requests.RequestException, httpx.HTTPError)):
        for record in turn(c, "q"):
            got.append(record.content)
    assert got == ["first"]
