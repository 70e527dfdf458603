"""The stubs agree with the built modules, and typical code type-checks under `mypy --strict`."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("CORVEL_EXPECT_ASAN")), reason="checks the stubs, not native memory"),
]


def run(*args: str) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy")
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, timeout=600)


def test_stubs_match_the_modules():
    allowlists = ["stubtest-allowlist.txt"] + (["stubtest-allowlist-py313.txt"] if sys.version_info >= (3, 13) else [])
    done = run("mypy.stubtest", "corvel.message", "corvel.modal", "corvel.cython",
               *(arg for path in allowlists for arg in ("--allowlist", path)))
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_type_check_strictly(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(encoding="utf-8"), flags=re.S)
    readme = []
    for i, block in enumerate(blocks):
        path = tmp_path / f"readme_{i}.py"
        path.write_text(block)
        readme.append(str(path))
    done = run("mypy", "--strict", "--no-incremental", "--allow-untyped-defs", "--allow-untyped-calls",
               *readme)
    assert done.returncode == 0, done.stdout
    done = run("mypy", "--strict", "src/corvel/demo.py", "src/corvel/__main__.py", "src/corvel/_mcp.py",
               "src/corvel/_connections.py", "tests/typing/api_usage.py")
    assert done.returncode == 0, done.stdout


def test_the_typing_example_runs():
    sys.path.insert(0, str(ROOT / "tests" / "typing"))
    try:
        import api_usage

        api_usage.main()
    finally:
        sys.path.remove(str(ROOT / "tests" / "typing"))
