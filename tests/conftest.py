"""Shared fixtures: the leak check used on every native entry point."""

from __future__ import annotations

import gc
import os
import tracemalloc
from collections.abc import Callable

import pytest


def assert_no_leak(op: Callable[[], object], calls: int = 100_000, *, objects: int = 100,
                   memory: int = 256 * 1024) -> None:
    """Run `op` `calls` times and require the live-object count and traced memory to stay flat.

    A warm-up pass first fills caches (interned strings, pydantic's schema caches, free lists), so that
    what remains afterwards is growth proportional to the calls, which is what a leak looks like.
    """
    for _ in range(max(calls // 10, 100)):
        op()
    gc.collect()
    tracemalloc.start()
    try:
        before_objects = len(gc.get_objects())
        before_memory = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            op()
        gc.collect()
        grown_objects = len(gc.get_objects()) - before_objects
        grown_memory = tracemalloc.get_traced_memory()[0] - before_memory
    finally:
        tracemalloc.stop()
    assert grown_objects < objects, f"{grown_objects} objects survived {calls} calls"
    assert grown_memory < memory, f"{grown_memory} bytes survived {calls} calls"


@pytest.fixture
def server():
    """A scripted chat-completions service on 127.0.0.1 for one test."""
    from corvel.testing import ScriptedServer

    with ScriptedServer() as srv:
        yield srv


@pytest.fixture(params=["invoke", "ainvoke"])
def turn(request):
    """Runs one turn through `invoke`, or through `ainvoke` on an event loop as if it were `invoke`:
    `turn(client, prompt)` gives the record, or an iterator of records for a stream."""
    from support import Awaited, blocking

    if request.param == "invoke":
        yield blocking
        return
    awaited = Awaited()
    try:
        yield awaited
    finally:
        awaited.close()


@pytest.fixture
def api_key(tmp_path, monkeypatch):
    """The real configuration reader with a key in the environment and an empty private config file."""
    path = tmp_path / "config.toml"
    path.write_text("")
    path.chmod(0o600)
    monkeypatch.setenv("CORVEL_CONFIG", str(path))
    monkeypatch.setenv("CORVEL_LLM_API_KEY", "sk-test-key")
    return "sk-test-key"


@pytest.fixture
def no_leak() -> Callable[..., None]:
    return assert_no_leak


def pytest_sessionstart(session: pytest.Session) -> None:
    # The sanitizer run must test the instrumented modules, not whatever else is importable.
    if os.environ.get("CORVEL_EXPECT_ASAN"):
        import corvel.message

        assert f"{os.sep}build{os.sep}asan{os.sep}" in corvel.message.__file__, corvel.message.__file__
