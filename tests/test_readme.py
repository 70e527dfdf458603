"""Every Python example in the README runs as it stands."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 8


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_example_runs(source, monkeypatch, tmp_path):
    monkeypatch.delenv("CORVEL_LLM_API_KEY", raising=False)
    monkeypatch.setenv("CORVEL_CONFIG", str(tmp_path / "absent.toml"))
    exec(compile(source, str(README), "exec"), {"__name__": "__readme__"})
