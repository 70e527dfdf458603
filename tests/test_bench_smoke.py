"""The benchmarks' measuring functions still run against the current API (a few iterations; no timing)."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"


@pytest.fixture(scope="module")
def bench():
    """bench/run.py as a module of its own name; the search path it extends is restored afterwards."""
    path = list(sys.path)
    spec = importlib.util.spec_from_file_location("corvel_bench_run", BENCH / "run.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up while the class is made
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(spec.name, None)
        sys.path[:] = path


def test_in_process_measures_run(bench):
    rows = bench.rows_tool(bench.sample_tool(rounds=1, calls=5))
    rows += bench.rows_growth(bench.sample_growth(1, (10, 100), (20, 200), 300, (0, 10), 20))
    goals = bench.GOALS
    assert [row.goal for row in rows] == [goals["tool vs fastmcp"], goals["growth body"], goals["growth stream"]]
    assert all(row.corvel > 0 and row.reference > 0 for row in rows)
    assert "| tool run:" in bench.markdown_table(rows)


@pytest.mark.skipif(importlib.util.find_spec("openai") is None, reason="the bench extra is not installed")
def test_measures_against_the_service_run(bench):
    with bench.Service(50) as service:
        url = service.url
        rows = bench.rows_stream(bench.sample_stream(url, fragments=50, rounds=1))
        rows += bench.rows_astream(bench.sample_astream(url, fragments=50, rounds=1))
        rows += bench.rows_concurrent(bench.sample_concurrent(url, 3, 10, rounds=1, memory_processes=0))
        rows += bench.rows_turn(bench.sample_turn(url, rounds=1, turns=1))
        rows += bench.rows_aturn(bench.sample_aturn(url, rounds=1, turns=1))
        table = bench.chunk_table(bench.sample_breakdown(url, fragments=50, rounds=1, calls=5))
    goals = bench.GOALS
    assert [row.goal for row in rows] == [
        goals["stream vs openai"], goals["stream vs floor"], goals["stream length vs floor"],
        goals["astream vs openai"], goals["concurrent vs openai"], None, None, goals["turn vs openai"],
        goals["aturn vs invoke"], None, None, None, None]
    timed = rows[:6] + rows[7:12]  # in one process the peak memory may not grow: no check on it
    assert all(row.corvel > 0 and row.reference > 0 for row in timed)
    assert rows[-1].corvel < rows[-1].reference  # the awaited turns kept their connection alive
    assert "| the whole chunk |" in table


def test_a_missed_goal_is_named(bench):
    rows = [bench.Row("fast", "µs", 1, 2, "ref", 0.6), bench.Row("slow", "µs", 2, 1, "ref", 1.2),
            bench.Row("no goal", "KiB", 9, 1, "ref", None)]
    assert bench.goal_lines(rows) == ["goal missed: slow: 2.000 > 1.2"]
