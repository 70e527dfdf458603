"""corvel.modal's result records and how two of them join."""

from __future__ import annotations

import json

import pydantic
import pytest

import corvel.modal
from corvel.modal import LLMResult, LLMStatus, ToolContent


def test_status_members():
    assert [m.value for m in LLMStatus] == ["idle", "answer", "reason", "tool_calls", "tool_results"]
    assert LLMStatus("answer") is LLMStatus.answer and LLMStatus.tool_calls == "tool_calls"
    assert json.dumps(LLMStatus.reason) == '"reason"' and str(LLMStatus.idle) == "idle"


def test_record_defaults_are_fresh():
    a, b = LLMResult(), LLMResult()
    assert (a.tool_calls, a.tool_results, a.reasoning_content, a.content) == ({}, {}, "", "")
    assert a.status is LLMStatus.idle and a.status == "idle"
    assert a.tool_calls is not b.tool_calls and a.tool_results is not b.tool_results
    assert LLMResult.__annotations__ == {
        "tool_calls": "dict[str, ToolContent]",
        "tool_results": "dict[str, ToolContent]",
        "reasoning_content": "str",
        "content": "str",
        "status": "LLMStatus",
    }


@pytest.mark.parametrize("fields", [{"name": "f", "content": {"a": 1}}, {"name": "f", "content": "text"}])
def test_tool_content_takes_text_or_object(fields):
    assert ToolContent(**fields).content == fields["content"]


@pytest.mark.parametrize("fields", [{"name": "f"}, {"content": "x"}, {"name": "f", "content": 42}])
def test_tool_content_refuses(fields):
    with pytest.raises(pydantic.ValidationError):
        ToolContent(**fields)


def test_addition_joins_texts_and_the_right_status_wins():
    left = LLMResult(content="wo", reasoning_content="r1", status=LLMStatus.answer)
    total = left + LLMResult(content="rd", reasoning_content="r2")
    assert (total.content, total.reasoning_content, total.status) == ("word", "r1r2", LLMStatus.idle)


def test_addition_keeps_left_order_and_takes_right_values():
    a, b, c = ToolContent(name="a", content="1"), ToolContent(name="b", content="2"), ToolContent(name="c", content="3")
    left = LLMResult(tool_calls={"x": a, "y": b})
    right_value = ToolContent(name="b2", content="new")
    right = LLMResult(tool_calls={"z": c, "y": right_value}, tool_results={"x": a})
    total = left + right
    assert list(total.tool_calls) == ["x", "y", "z"]
    assert total.tool_calls["y"] is right_value and total.tool_results == {"x": a}


def test_addition_makes_new_records_and_changes_no_operand():
    left = LLMResult(tool_calls={"x": ToolContent(name="a", content={"k": 1})}, content="L")
    right = LLMResult(content="R")
    total = left + right
    assert total.tool_calls is not left.tool_calls and total.tool_calls["x"] is not left.tool_calls["x"]
    total.tool_calls["new"] = ToolContent(name="n", content="")
    total.tool_calls["x"].content["k"] = 2
    assert list(left.tool_calls) == ["x"] and left.tool_calls["x"].content == {"k": 1}
    assert (left.content, right.content) == ("L", "R")
    left += right
    assert left.content == "LR"


def test_sum_is_the_module_class_even_for_subclasses(monkeypatch):
    class Sub(LLMResult):
        pass

    assert type(Sub(content="a") + LLMResult()) is LLMResult

    class Replacement(LLMResult):
        pass

    monkeypatch.setattr(corvel.modal, "LLMResult", Replacement)
    assert type(LLMResult() + LLMResult()) is Replacement


def test_no_reflected_addition():
    with pytest.raises(AttributeError):
        LLMResult() + 1
    with pytest.raises(TypeError):
        0 + LLMResult()
    with pytest.raises(TypeError):
        sum([LLMResult()])
    records = [LLMResult(content=c) for c in "abc"]
    assert sum(records, LLMResult()).content == "abc"


def test_addition_failures_leave_operands_alone():
    class Odd:
        tool_calls, tool_results, reasoning_content, content, status = {}, {}, "", 5, "idle"

    left = LLMResult(content="x")
    with pytest.raises(TypeError):
        left + Odd()
    assert left.content == "x"
    assert LLMResult.__add__.__annotations__ == {"other": "'LLMResult'", "return": "'LLMResult'"}


def test_addition_does_not_leak(no_leak):
    left = LLMResult(tool_calls={"x": ToolContent(name="a", content="1")}, content="L")
    right = LLMResult(tool_results={"x": ToolContent(name="a", content={"r": 1})}, content="R")
    no_leak(lambda: left + right)
