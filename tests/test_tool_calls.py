"""Gathering tool calls from answers and streamed fragments, running a pass, and the summaries."""

from __future__ import annotations

import json

import pydantic
import pytest

from corvel.message import Message, MessageRole
from corvel.modal import LLModal, ToolContent
from corvel.tools import Tools


def call(id, name, arguments):
    return {"id": id, "type": "function", "function": {"name": name, "arguments": arguments}}


def test_whole_answer_adds_all_calls_in_order():
    c = LLModal()
    calls = [call("a", "f", "{}"), call("b", "g", "{}")]
    c._add_tool_calls({"tool_calls": calls})
    c._add_tool_calls({"content": "no calls"})
    c._add_tool_calls({"tool_calls": None})  # some services send null on every answer
    assert c.tool_calls == calls


def frag(index, id=None, name=None, arguments=...):
    function = {} if name is None else {"name": name}
    if arguments is not ...:
        function["arguments"] = arguments
    entry = {"index": index, "function": function}
    if id is not None:
        entry.update(id=id, type="function")
    return entry


def gather(*deltas):
    c = LLModal(extra_body={"stream": True})
    for delta in deltas:
        c._add_tool_calls({"tool_calls": list(delta)})
    return c.tool_calls


def test_streamed_fragments_join_by_index():
    calls = gather([frag(0, "a", "f", '{"x"')], [frag(0, arguments=": 1}")], [frag(1, "b", "g")],
                   [frag(1, arguments=None)])
    assert [(c["id"], c["index"], c["function"]["arguments"]) for c in calls] == [("a", 0, '{"x": 1}'), ("b", 1, "")]


@pytest.mark.parametrize(
    "deltas, gathered",
    [
        # Some local services number every parallel call 0, each with a new id.
        ([frag(0, "a", "f", '{"x": '), frag(0, arguments="1}"), frag(0, "b", "g", '{"y"'), frag(0, arguments=": 2}"),
          frag(0, id="b", arguments="")], [("a", '{"x": 1}'), ("b", '{"y": 2}')]),
        # A fragment joins the newest call of its own index, whatever came between.
        ([frag(0, "a", "f", '{"p":1}'), frag(0, "b", "f", '{"q":2}'), frag(1, "c", "g", '{"r":3}')],
         [("a", '{"p":1}'), ("b", '{"q":2}'), ("c", '{"r":3}')]),
        ([frag(0, "a", "f"), frag(1, "b", "f"), frag(0, "c", "f"), frag(2, "d", "g"), frag(2, arguments="{}"),
          frag(0, arguments="[]")], [("a", ""), ("b", ""), ("c", "[]"), ("d", "{}")]),
        # An index never seen starts a call, even past the next free position.
        ([frag(5, "a", "f", "x"), frag(None, "b", "f", "y"), frag(None, arguments="z")], [("a", "x"), ("b", "yz")]),
    ],
)
def test_fragments_join_the_newest_call_of_their_index(deltas, gathered):
    calls = gather(*([d] for d in deltas))
    assert [(c["id"], c["function"]["arguments"]) for c in calls] == gathered


def test_gathering_many_calls_is_linear():
    # One chunk with 16,000 calls: a scan of the gathered list per fragment made this take 17 s.
    c = LLModal(extra_body={"stream": True})
    c._add_tool_calls({"tool_calls": [frag(i, f"id{i}", "f", "") for i in range(16_000)]})
    c._add_tool_calls({"tool_calls": [frag(i, arguments="{}") for i in range(16_000)]})
    assert len(c.tool_calls) == 16_000 and all(call["function"]["arguments"] == "{}" for call in c.tool_calls)


@pytest.mark.parametrize(
    "deltas, error, message",
    [
        ([[frag("0", "a", "f")]], TypeError, "^Expected int, got str$"),
        ([[{"function": {}}]], KeyError, None),
    ],
)
def test_malformed_fragments(deltas, error, message):
    with pytest.raises(error, match=message):
        gather(*deltas)


def test_exact_dict_required():
    c = LLModal()
    for bad in ([], None, type("D", (dict,), {})()):
        with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type \(expected dict, got"):
            c._add_tool_calls(bad)


@pytest.mark.parametrize(
    "arguments, content",
    [
        ('{"a": 1}', {"a": 1}),
        ("not json", "not json"),
        ("", ""),
        ('"text"', "text"),
        ("42", "42"),  # neither text nor object: kept as sent, so the record stays valid
        ("[1, 2]", "[1, 2]"),
        ("null", "null"),
        ("[" * 100_000 + "]" * 100_000, "[" * 100_000 + "]" * 100_000),  # too deep to decode: kept as text
    ],
    ids=lambda v: v[:12] if isinstance(v, str) else None,
)
def test_call_summaries(arguments, content):
    summary = LLModal._t_calls_beautify([call("a", "f", arguments)])
    assert summary == {"a": ToolContent(name="f", content=content)}


def test_call_summary_failures():
    with pytest.raises(TypeError):
        LLModal._t_calls_beautify([call("a", "f", None)])
    with pytest.raises(KeyError, match="^'id'$"):  # the id is read before the name, as Python would
        LLModal._t_calls_beautify([{"function": {"arguments": "{}"}}])
    with pytest.raises(TypeError, match="expected list, got tuple"):
        LLModal._t_calls_beautify(())


def test_result_summaries_pair_by_id():
    calls = {"a": ToolContent(name="f", content={}), "b": ToolContent(name="g", content={})}
    results = [
        Message(role="tool", tool_call_id="b", contents=["old", '{"r": 1}']),
        Message(role="tool", tool_call_id="stranger", contents=["x"]),
        Message(role="tool", tool_call_id="a", contents=["7"]),
    ]
    summary = LLModal._t_results_beautify(calls, results)
    assert summary == {"b": ToolContent(name="g", content={"r": 1}), "a": ToolContent(name="f", content="7")}
    with pytest.raises(TypeError, match="Argument 'tool_results'"):
        LLModal._t_results_beautify(calls, tuple(results))


def registry():
    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        return a + b

    return tools


class Raising(Tools):
    def __call__(self, tool_calls):
        raise RuntimeError("registry down")


class Returning(Tools):
    def __init__(self, value):
        super().__init__()
        self.value = value

    def __call__(self, tool_calls):
        return self.value


def test_a_pass_runs_the_calls_and_records_both_sides():
    c = LLModal(tools=registry())
    calls = [call("a", "add", '{"a": 1, "b": 2}')]
    c.tool_calls = calls
    results = c._tool_calls()
    assert [(m.role, m.tool_call_id, m.contents) for m in results] == [(MessageRole.tool, "a", ["3"])]
    assert c.messages[0].tool_calls == calls and c.messages[0].contents == [] and c.messages[1:] == results
    assert c.tool_calls == [] and c._tool_calls_count == 1


def test_a_registry_that_raises_leaves_the_conversation_alone():
    c = LLModal(tools=Raising())
    c.tool_calls = [call("a", "add", "{}")]
    with pytest.raises(RuntimeError, match="registry down"):
        c._tool_calls()
    assert c.messages == [] and len(c.tool_calls) == 1 and c._tool_calls_count == 0


def test_a_registry_result_must_be_a_list():
    c = LLModal(tools=Returning((Message(role="tool", tool_call_id="a", contents=["r"]),)))
    c.tool_calls = [call("a", "add", "{}")]
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        c._tool_calls()
    assert len(c.messages) == 2 and c._tool_calls_count == 1  # the pass took effect before the check
    c2 = LLModal(tools=Returning(5))
    c2.tool_calls = [call("a", "add", "{}")]
    with pytest.raises(TypeError):
        c2._tool_calls()
    assert c2.messages == []


def test_the_limit_records_the_fallback_and_resets():
    c = LLModal(tools=registry())
    c.add_message(MessageRole.user, "q")
    c.tool_calls, c._tool_calls_count = [call("a", "add", "{}")], 3
    with pytest.raises(ValueError) as caught:
        c._tool_calls()
    assert caught.value.args == (c._default,)
    assert [m.contents for m in c.messages] == [["q"], [c._default]]
    assert c.tool_calls == [] and c._tool_calls_count == 0


def test_the_fallback_never_joins_an_earlier_answer():
    c = LLModal(tools=registry())
    c.add_message(MessageRole.user, "q")
    c.add_message(MessageRole.assistant, "A1")
    c._tool_calls_count = 3
    with pytest.raises(ValueError):
        c._tool_calls()
    assert [m.contents for m in c.messages] == [["q"], ["A1"], [c._default]]


def test_tool_call_handling_does_not_leak(no_leak):
    c = LLModal(tools=registry())
    calls = [call("a", "add", '{"a": 1, "b": 2}'), call("b", "add", '{"a": 1}')]

    def op():
        c.tool_calls = [json.loads(json.dumps(x)) for x in calls]
        summary = LLModal._t_calls_beautify(c.tool_calls)
        LLModal._t_results_beautify(summary, c._tool_calls())
        c.messages.clear()
        c._reset()

    no_leak(op, calls=5_000)
    with pytest.raises(pydantic.ValidationError):
        ToolContent(name="f", content=3)
