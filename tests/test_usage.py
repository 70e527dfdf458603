"""What requests cost: usage as services report it, summed per turn and per client, through both entry points."""

from __future__ import annotations

import httpx
import pytest
import requests

from corvel.modal import LLModal, Usage
from corvel.testing import DONE, Stream, answer, chunk, completion, data, message, stream, tool_call

from support import make_tools, raised

ASKED = {"stream": True, "stream_options": {"include_usage": True}}


def tokens(prompt, completion_, **details):
    return {"prompt_tokens": prompt, "completion_tokens": completion_, "total_tokens": prompt + completion_,
            **details}


def counted(usage):
    return (usage.prompt_tokens, usage.completion_tokens, usage.total_tokens, usage.requests)


def test_usage_adds_field_by_field_and_details_key_by_key():
    left = Usage(prompt_tokens=1, total_tokens=1, requests=1,
                 details={"prompt_tokens_details": {"cached_tokens": 2}, "tier": "a", "flag": True, "only": [1]})
    right = Usage(completion_tokens=5, total_tokens=5, requests=1,
                  details={"prompt_tokens_details": {"cached_tokens": 3, "audio_tokens": 1}, "tier": "b",
                           "flag": True, "cost": 0.5})
    total = left + right
    assert counted(total) == (1, 5, 6, 2) and counted(Usage()) == (0, 0, 0, 0)
    assert total.details == {"prompt_tokens_details": {"cached_tokens": 5, "audio_tokens": 1}, "tier": "b",
                             "flag": True, "only": [1], "cost": 0.5}
    total.details["prompt_tokens_details"]["cached_tokens"] = 0  # the sum shares no dictionary with its terms
    assert left.details["prompt_tokens_details"] == {"cached_tokens": 2}
    with pytest.raises(TypeError, match="unsupported operand"):
        left + 1
    left.details = "not a mapping"  # assignment is not validated
    with pytest.raises(TypeError, match="must be a mapping"):
        left + right


def test_a_tool_turn_sums_every_request_and_the_next_turn_starts_afresh(turn, server):
    calls = [tool_call("c1", "add", {"a": 1, "b": 2})]
    server.add(message(tool_calls=calls, usage=tokens(10, 1, prompt_tokens_details={"cached_tokens": 4})))
    server.add(message(tool_calls=calls, usage=tokens(20, 2, prompt_tokens_details={"cached_tokens": 8})))
    server.add(message("3", usage=tokens(30, 3, completion_tokens_details={"reasoning_tokens": 2})))
    c = LLModal(endpoint_url=server.url, tools=make_tools())
    assert turn(c, "q").content == "3"
    assert counted(c.turn_usage) == counted(c.usage) == (60, 6, 66, 3)
    assert c.usage.details == {"prompt_tokens_details": {"cached_tokens": 12},
                               "completion_tokens_details": {"reasoning_tokens": 2}}
    server.add(message("again", usage=tokens(7, 1)))
    held = c.usage
    turn(c, "q2")
    assert counted(c.turn_usage) == (7, 1, 8, 1) and counted(c.usage) == (67, 7, 74, 4)
    assert counted(held) == (60, 6, 66, 3)  # what a caller read stays as it was
    server.add(message("free"))  # an answer without usage adds nothing
    turn(c, "q3")
    assert counted(c.turn_usage) == (0, 0, 0, 0) and counted(c.usage) == (67, 7, 74, 4)
    with pytest.raises(AttributeError):
        c.usage = Usage()
    assert "usage" not in c.model_dump() and "turn_usage" not in LLModal.model_fields


@pytest.mark.parametrize("usage", ["lots", [1], {"prompt_tokens": "5"}, {"prompt_tokens": 1.5},
                                   {"prompt_tokens": -1}, {"total_tokens": True}, {"completion_tokens": None}])
@pytest.mark.parametrize("streamed", [False, True])
def test_a_malformed_usage_is_ignored(turn, server, usage, streamed):
    if streamed:
        server.add(Stream([chunk({"content": "fine"}), chunk({}, "stop"), data({"choices": [], "usage": usage}), DONE]))
    else:
        server.add(answer(completion("fine") | {"usage": usage}))
    c = LLModal(endpoint_url=server.url, extra_body=ASKED if streamed else {})
    result = turn(c, "q")
    assert ("".join(r.content for r in result) if streamed else result.content) == "fine"
    assert counted(c.usage) == (0, 0, 0, 0)


# The usage each stream shape leaves counted: (prompt, completion, total, requests).
@pytest.mark.parametrize("extra, lines, expected", [
    # The usage chunk after the finishing chunk is read only when the request asked for it.
    (ASKED, stream(["a"], usage=tokens(3, 1)).lines, (3, 1, 4, 1)),
    ({"stream": True}, stream(["a"], usage=tokens(3, 1)).lines, (0, 0, 0, 0)),
    # Running totals on every chunk count once, for the last; so does usage on the finishing chunk.
    ({"stream": True}, [chunk({"content": "a"}, usage=tokens(3, 1)), chunk({}, "stop", usage=tokens(3, 2))],
     (3, 2, 5, 1)),
    (ASKED, [chunk({"content": "a"}, usage=tokens(3, 1)), chunk({}, "stop", usage=tokens(3, 2)),
             data({"choices": [], "usage": tokens(3, 3)}), DONE, data({"usage": tokens(9, 9)})], (3, 3, 6, 1)),
    # After the finish: lines that do not parse are passed over, the body may end without [DONE], and a
    # stream may have no usage at all.
    (ASKED, [chunk({"content": "a"}), chunk({}, "stop"), "not json", b"data: \xff", ": ping",
             data({"choices": [], "usage": tokens(3, 1)})], (3, 1, 4, 1)),
    (ASKED, stream(["a"]).lines, (0, 0, 0, 0)),
])
def test_stream_usage(turn, server, extra, lines, expected):
    server.add(Stream(lines))
    c = LLModal(endpoint_url=server.url, extra_body=extra)
    assert [r.content for r in turn(c, "q")] == ["a"] and c.messages[-1].contents == ["a"]
    assert counted(c.usage) == expected
    assert server.requests[0].json.get("stream_options") == extra.get("stream_options")


def test_a_streamed_tool_turn_reads_each_usage_chunk_before_its_tool_pass(turn, server):
    server.add(stream(tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})], usage=tokens(5, 1)))
    server.add(stream(["3"], usage=tokens(9, 1)))
    c = LLModal(endpoint_url=server.url, tools=make_tools(), extra_body=ASKED)
    assert [r.status.value for r in turn(c, "q")] == ["tool_calls", "tool_results", "answer"]
    assert counted(c.turn_usage) == (14, 2, 16, 2)


@pytest.mark.parametrize("fault", ["cut", "stall"])
def test_a_stream_that_breaks_after_its_finish_fails_and_counts_what_it_reported(turn, server, capsys, fault):
    lines = [chunk({"content": "a"}), chunk({}, "stop", usage=tokens(3, 1)), data({"choices": [], "usage": tokens(3, 2)})]
    server.add(Stream(lines).cut(2) if fault == "cut" else Stream(lines).stall_after(2, 3))
    c = LLModal(endpoint_url=server.url, extra_body=ASKED)
    c._timeout = (5, 0.5)
    got = []
    with pytest.raises(raised(turn, requests.RequestException, httpx.HTTPError)):
        for record in turn(c, "q"):
            got.append(record.content)
    assert got == ["a"] and c.messages[-1].contents == ["a"]  # no fallback after the answer
    assert capsys.readouterr().out.startswith("Error parsing LLM response: ")
    assert counted(c.usage) == (3, 1, 4, 1)
