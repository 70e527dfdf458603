"""Native generators, coroutines and async generators behave as Python's own; the native function's defaults
and exact types.

The bodies live in corvel._testprobe (tests/native/testprobe.cpp); each has a Python twin below, and the
differential tables drive both through the same operations and compare everything they observably did.
"""

from __future__ import annotations

import asyncio
import collections.abc as abc
import contextlib
import gc
import inspect
import sys
import threading
import types
import warnings
import weakref
from collections import OrderedDict

import pytest

import corvel._testprobe as probe


def py_echo(items, result=None):
    for item in items:
        sent = yield item
        if sent is not None:
            yield sent
    return result


def py_delegate(iterable, catching=(), reply=None):
    try:
        return (yield from iterable)
    except catching as e:
        caught = type(e).__name__
    if reply is None:
        return caught
    return (yield (reply, caught))


def py_failing(error):
    yield None
    raise error


async def py_awaiting(first, second=None):
    result = await first
    if second is not None:
        result = (result, await second)
    return result


async def py_relay(items, catching=(), cleanup=None, reply=None):
    caught = None
    try:
        for item in items:
            sent = yield (await item)
            if sent is not None:
                yield sent
    except catching as e:
        caught = type(e).__name__
    if cleanup is not None:
        await cleanup
    if reply is not None:
        yield (reply, caught)


async def py_afailing(error):
    yield None
    raise error


PY = types.SimpleNamespace(echo=py_echo, delegate=py_delegate, failing=py_failing, awaiting=py_awaiting,
                           relay=py_relay, afailing=py_afailing)


def inner():
    x = yield 1
    y = yield x
    return ("inner", y)


def catcher():
    try:
        yield 1
    except ValueError:
        yield "handled"
    return "end"


def stubborn():
    try:
        yield 1
    finally:
        raise KeyError("cleanup")


@types.coroutine
def suspend(value):
    return (yield value)


@types.coroutine
def now(value):
    """An awaitable whose result is there at once."""
    return value
    yield


class Reenter:
    """An iterator that, at its `at`-th step, re-enters the generator delegating to it."""

    def __init__(self, at):
        self.at, self.steps, self.outer = at, 0, None

    def __iter__(self):
        return self

    def __next__(self):
        self.steps += 1
        if self.steps == self.at:
            next(self.outer)
        return self.steps


def reentering(m, at):
    it = Reenter(at)
    it.outer = m.delegate(it)
    return it.outer


class Peek:
    """An iterator whose items are the state of the generator delegating to it, seen while it runs."""

    def __iter__(self):
        return self

    def __next__(self):
        return state(self.outer)


def peeking(m):
    it = Peek()
    it.outer = m.delegate(it)
    return it.outer


class Recorder:
    """An iterator whose throw() yields the kinds of the arguments it was given."""

    def __iter__(self):
        return self

    def __next__(self):
        return "next"

    def throw(self, *args):
        return tuple(type(a).__name__ for a in args)


class BadAwait:
    def __await__(self):
        return 5


def a_traceback():
    try:
        raise KeyError("tb")
    except KeyError as e:
        return e.__traceback__


def drive(gen, op, args):
    if op == "next":
        return ("yield", next(gen))
    if op == "throw":
        return ("yield", gen.throw(*args[0]()))
    if op == "close":
        return ("closed", gen.close())
    return ("yield", gen.send(*args))


def kind(o):
    """The type's name, a native twin's as its Python counterpart's."""
    return type(o).__name__.removeprefix("native_").removesuffix("_wrapper")


def state(o):
    """What inspect tells of a generator or coroutine, and the kind of what it delegates to."""
    if hasattr(o, "cr_running"):
        return inspect.getcoroutinestate(o), kind(o.cr_await)
    if hasattr(o, "gi_running"):
        return inspect.getgeneratorstate(o), kind(o.gi_yieldfrom)
    return None  # coroutine.__await__()'s iterator, and async generators, have neither


def trace(gen, ops, act=drive, look=lambda gen: ()):
    """What each operation returned or raised, the warnings it gave and the state it left (and what `look`
    sees after it)."""
    seen = [state(gen)]
    for op, *args in ops:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                outcome = act(gen, op, args)
            except StopIteration as e:
                outcome = ("stop", e.args)
            except BaseException as e:  # every outcome is compared, GeneratorExit included
                outcome = (type(e).__name__, str(e), type(e.__cause__).__name__)
        seen.append((op, outcome, [(w.category.__name__, str(w.message)) for w in caught], state(gen), *look(gen)))
    return seen


def atrace(ag, ops):
    """trace() for an async generator: anext/asend/athrow/aclose make an awaitable, the other operations drive
    the newest one, and "back" drops it; ag_running and ag_await are seen after each."""
    awaitables = []

    def act(ag, op, args):
        if op == "back":
            awaitables.pop()
        elif op in ("anext", "asend", "athrow", "aclose"):
            made = args[0]() if op == "athrow" else args
            awaitables.append(getattr(ag, "__anext__" if op == "anext" else op)(*made))
        else:
            return drive(awaitables[-1], op, args)
        return None

    return trace(ag, ops, act, lambda ag: (ag.ag_running, type(ag.ag_await).__name__))


N, C = ("next",), ("close",)


def send(value):
    return ("send", value)


def throw(*make):
    return ("throw", lambda: tuple(m() if callable(m) and not isinstance(m, type) else m for m in make))


def echo(m):
    return m.echo((1, 2, 3), "r")


A, AC, BACK = ("anext",), ("aclose",), ("back",)


def asend(value):
    return ("asend", value)


def athrow(*make):
    return ("athrow", throw(*make)[1])


def relay(*items, cleanup=None, **kw):
    """m.relay over fresh awaitables: a str is awaited through a suspension that the caller's send resumes,
    anything else is there at once; so is the cleanup. Both twins go by one name, which warnings quote."""
    def awaitable(item):
        return suspend(item) if isinstance(item, str) else now(item)

    def make(m):
        ag = m.relay([awaitable(i) for i in items], cleanup=cleanup and awaitable(cleanup), **kw)
        ag.__qualname__ = "relay"
        return ag

    return make


GENERATOR_CASES = {
    "runs to its return value": (echo, [N, N, N, N, N]),
    "returns a tuple whole": (lambda m: m.echo((1,), (1, 2)), [N, N, send(None)]),
    "returns None": (lambda m: m.echo(()), [N, N]),
    "send is the value of yield": (echo, [N, send("a"), N, send(None), N, N]),
    "send to an unstarted one": (echo, [send(1), N]),
    "throw into an unstarted one": (echo, [throw(lambda: ValueError("v")), N]),
    "StopIteration thrown at the start": (echo, [throw(lambda: StopIteration("s")), N]),
    "throw into a suspended one": (echo, [N, throw(lambda: KeyError("k")), N]),
    "StopIteration thrown while suspended": (echo, [N, throw(lambda: StopIteration("s"))]),
    "throw a class": (echo, [N, throw(ValueError), N]),
    "throw type, value, traceback": (echo, [N, throw(ValueError, "v", a_traceback)]),
    "throw an instance and a traceback": (echo, [N, throw(lambda: ValueError("x"), None, a_traceback)]),
    "throw bad arguments": (echo, [N, throw(42), throw(lambda: ValueError("x"), 1), throw(ValueError, None, 5),
                                   throw(), throw(ValueError, 1, None, 4), N]),
    "close an unstarted one": (echo, [C, N, send(None)]),
    "close a suspended one": (echo, [N, C, N, C]),
    "close and throw after the end": (echo, [N, N, N, N, C, throw(lambda: ValueError("late"))]),
    "delegate gets sends": (lambda m: m.delegate(inner()), [N, send("a"), send("b"), N]),
    "delegate to a list": (lambda m: m.delegate([1, 2]), [N, N, N]),
    "delegate that is empty": (lambda m: m.delegate([]), [N]),
    "send to a delegate without send": (lambda m: m.delegate([1, 2]), [N, send(5), N]),
    "delegate handles a throw": (lambda m: m.delegate(catcher()), [N, throw(ValueError), N]),
    "body catches what the delegate let through": (
        lambda m: m.delegate(inner(), ValueError, "r"), [N, throw(lambda: ValueError("v")), send("s")]),
    "body catches a throw its delegate cannot take": (
        lambda m: m.delegate(iter([1, 2]), KeyError, "r"), [N, throw(KeyError), N]),
    "throw through delegation uncaught": (lambda m: m.delegate(inner()), [N, throw(KeyError), N]),
    "close error of the delegate wins": (lambda m: m.delegate(stubborn()), [N, C, N]),
    "GeneratorExit ignored": (lambda m: m.delegate([1], GeneratorExit, "r"), [N, C, N]),
    "returns while closing": (lambda m: m.delegate([1], GeneratorExit), [N, C, N]),
    "GeneratorExit thrown and caught": (lambda m: m.delegate([1], GeneratorExit, "r"), [N, throw(GeneratorExit)]),
    "three-argument throw into a delegate": (lambda m: m.delegate(inner()), [N, throw(ValueError, "v", None)]),
    "throw arguments reach an iterator as given": (lambda m: m.delegate(Recorder()), [N, throw(ValueError, "v", None)]),
    "bad throw arguments reach the body": (
        lambda m: m.delegate(inner(), TypeError, "r"), [N, throw(lambda: ValueError("x"), 1)]),
    "delegate to a native generator": (lambda m: m.delegate(m.echo((1, 2), "in")), [N, send("x"), N, N, N]),
    "re-entered at the first step": (lambda m: reentering(m, 1), [N, N]),
    "re-entered while delegating": (lambda m: reentering(m, 2), [N, N, N]),
    "running while it delegates": (peeking, [N, N, C]),
    "error raised by the body": (lambda m: m.failing(KeyError("k")), [N, N, N]),
    "StopIteration raised by the body": (lambda m: m.failing(StopIteration(1)), [N, N]),
}

COROUTINE_CASES = {
    "awaits in turn": (lambda m: m.awaiting(suspend("a"), suspend("b")), [send(None), send(1), send(2)]),
    "send to an unstarted one": (lambda m: m.awaiting(suspend("a")), [send(1), C]),
    "throw into an unstarted one": (lambda m: m.awaiting(suspend("a")), [throw(KeyError), send(None)]),
    "reused after the end": (lambda m: m.awaiting(suspend("a")),
                             [send(None), send(1), send(None), throw(ValueError), C]),
    "throw while awaiting": (lambda m: m.awaiting(suspend("a")), [send(None), throw(lambda: ValueError("v"))]),
    "close while awaiting": (lambda m: m.awaiting(suspend("a")), [send(None), C, send(None)]),
    "not awaitable": (lambda m: m.awaiting(5), [send(None)]),
    "__await__ not an iterator": (lambda m: m.awaiting(BadAwait()), [send(None)]),
    "through __await__": (lambda m: m.awaiting(suspend("a")).__await__(), [N, send(3), N]),
    "awaits a coroutine": (lambda m: m.awaiting(m.awaiting(suspend("x"))), [send(None), send(4)]),
    "awaits a Python coroutine": (lambda m: m.awaiting(py_awaiting(suspend("x"))), [send(None), send(4)]),
    # The first await's result must not be taken for a second one's that fails at once.
    "a failing await after a finished one": (lambda m: m.awaiting(suspend("a"), py_awaiting(5)), [send(None), send(1)]),
}


ASYNC_GENERATOR_CASES = {
    "awaits and yields in turn": (relay("a", 2), [A, N, send("x"), A, N, A, N, A, N]),
    "asend is the value of yield": (relay(1, 2), [A, N, asend("s"), N, asend(None), N, A, N]),
    "asend to an unstarted one": (relay(1), [asend(5), N, A, N]),
    "athrow into an unstarted one": (relay(1), [athrow(lambda: ValueError("v")), N, A, N]),
    "StopAsyncIteration thrown at the start": (relay(1), [athrow(StopAsyncIteration), N]),
    "StopIteration thrown at the start": (relay(1), [athrow(StopIteration), N]),
    "athrow caught": (relay(1, 2, catching=ValueError, reply="r"), [A, N, athrow(lambda: ValueError("v")), N, A, N]),
    "athrow uncaught, then after the end": (relay(1, 2), [A, N, athrow(KeyError), N, A, N, athrow(KeyError), N]),
    "athrow type, value, traceback": (relay(1), [A, N, athrow(ValueError, "v", a_traceback), N]),
    "athrow without arguments": (relay(1), [A, N, athrow(), N, N]),
    "athrow a non-exception": (relay(1), [A, N, athrow(42), N, A, N]),
    "aclose an unstarted one": (relay(1), [AC, N, A, N, AC, N]),
    "aclose a suspended one": (relay(1, 2), [A, N, AC, N, N, A, N]),
    "aclose awaits the cleanup": (relay(1, catching=GeneratorExit, cleanup="c"), [A, N, AC, N, send("x"), A, N]),
    "aclose's awaitable thrown into": (
        relay(1, catching=GeneratorExit, cleanup="c"), [A, N, AC, N, throw(lambda: KeyError("k")), A, N]),
    "aclose's awaitable closed": (relay(1, catching=GeneratorExit, cleanup="c"), [A, N, AC, N, C, A, N]),
    "aclose on a body that yields again": (relay(1, catching=GeneratorExit, reply="r"), [A, N, AC, N, A, N, A, N]),
    "send non-None to a fresh aclose": (relay(1), [A, N, AC, send(5), N]),
    "already running": (relay("a"), [A, N, AC, N, BACK, athrow(KeyError), N, BACK, A, N, N, BACK, send(1)]),
    "throw reaches the body at its await": (
        relay("a", catching=ValueError, reply="r"), [A, N, throw(lambda: ValueError("v")), A, N]),
    "close while awaiting": (relay("a"), [A, N, C, A, N]),
    "throw into a fresh awaitable": (relay(1, 2), [A, N, A, throw(KeyError), A, N]),
    "awaitable reused after its end": (relay(1), [A, N, N, throw(KeyError), C]),
    "athrow's awaitable reused": (
        relay(1, 2, catching=KeyError, reply="r"), [A, N, athrow(KeyError), N, N, throw(KeyError), C]),
    "athrow's awaitable thrown into": (relay(1, 2), [A, N, athrow(KeyError), throw(lambda: ValueError("t")), A, N]),
    "awaitables dropped unawaited": (relay(1), [A, BACK, AC, BACK, athrow(KeyError), BACK, A, N]),
    "error raised by the body": (lambda m: m.afailing(KeyError("k")), [A, N, A, N, A, N]),
    "StopIteration raised by the body": (lambda m: m.afailing(StopIteration(1)), [A, N, A, N]),
    "StopAsyncIteration raised by the body": (lambda m: m.afailing(StopAsyncIteration()), [A, N, A, N]),
}


@pytest.mark.parametrize("make, ops", GENERATOR_CASES.values(), ids=GENERATOR_CASES)
def test_generator_matches_python(make, ops):
    assert trace(make(probe), ops) == trace(make(PY), ops)


@pytest.mark.parametrize("make, ops", COROUTINE_CASES.values(), ids=COROUTINE_CASES)
def test_coroutine_matches_python(make, ops):
    assert trace(make(probe), ops) == trace(make(PY), ops)


@pytest.mark.parametrize("make, ops", ASYNC_GENERATOR_CASES.values(), ids=ASYNC_GENERATOR_CASES)
def test_async_generator_matches_python(make, ops):
    assert atrace(make(probe), ops) == atrace(make(PY), ops)


def test_cpp_exception_becomes_system_error():
    g = probe.failing("boom")
    next(g)
    with pytest.raises(SystemError, match="^boom$"):
        next(g)
    assert list(g) == []


@pytest.mark.parametrize(
    "obj, abcs, not_abcs",
    [
        (lambda: probe.echo(()), [abc.Generator, abc.Iterator], [abc.Coroutine, abc.Awaitable]),
        (lambda: probe.awaiting(None), [abc.Coroutine, abc.Awaitable], [abc.Generator, abc.Iterator]),
        (lambda: probe.relay(()), [abc.AsyncGenerator, abc.AsyncIterator], [abc.Coroutine, abc.Iterator]),
    ],
    ids=["generator", "coroutine", "async generator"],
)
def test_abstract_base_classes_accept_them(obj, abcs, not_abcs):
    o = obj()
    assert all(isinstance(o, c) for c in abcs) and not any(isinstance(o, c) for c in not_abcs)
    assert asyncio.iscoroutine(o) == isinstance(o, abc.Coroutine)
    getattr(o, "close", lambda: None)()


def test_functions_say_what_they_return():
    assert inspect.isgeneratorfunction(probe.echo) and inspect.isgeneratorfunction(probe.Probe.items)
    assert inspect.iscoroutinefunction(probe.awaiting) and inspect.iscoroutinefunction(probe.Probe().wait)
    assert inspect.isasyncgenfunction(probe.relay) and inspect.isgeneratorfunction(probe.relay_blocking)
    ag = probe.relay(())
    assert ag.ag_code is probe.relay.__code__ and ag.ag_frame is None


@pytest.mark.parametrize(
    "make, name, qualname",
    [
        (lambda: probe.echo(()), "echo", "echo"),
        (lambda: probe.Probe().items(()), "items", "Probe.items"),
        (lambda: probe.Probe().wait(None), "wait", "Probe.wait"),
        (lambda: probe.relay(()), "relay", "relay"),
    ],
)
def test_names_come_from_the_function_and_can_be_set(make, name, qualname):
    o = make()
    assert (o.__name__, o.__qualname__) == (name, qualname) and qualname in repr(o)
    o.__name__, o.__qualname__ = "n", "q.n"
    assert (o.__name__, o.__qualname__) == ("n", "q.n")
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"{attr} must be set to a string object"):
            setattr(o, attr, 1)
        with pytest.raises(TypeError):
            delattr(o, attr)
    getattr(o, "close", lambda: None)()


def test_asyncio_runs_a_native_coroutine_through_sleep_and_a_future():
    async def main():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        loop.call_later(0.01, future.set_result, "done")
        return await probe.awaiting(asyncio.sleep(0, "slept"), future)

    assert asyncio.run(main()) == ("slept", "done")
    assert asyncio.run(probe.Probe().wait(asyncio.sleep(0, 7))) == 7


def test_asyncio_errors_and_cancellation_pass_through():
    async def failing():
        future = asyncio.get_running_loop().create_future()
        future.set_exception(KeyError("f"))
        return await probe.awaiting(future)

    with pytest.raises(KeyError, match="f"):
        asyncio.run(failing())

    async def cancelled():
        task = asyncio.ensure_future(probe.awaiting(asyncio.get_running_loop().create_future()))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert asyncio.run(cancelled())


def test_one_body_serves_a_blocking_and_an_awaiting_transport():
    async def records():
        return [x async for x in probe.relay([now(1), now(2)], reply="end")]

    assert list(probe.relay_blocking([1, 2], reply="end")) == asyncio.run(records()) == [1, 2, ("end", None)]


async def consume(m):
    """Iteration through a sleep and futures, asend, a second anext while one awaits, a future's error."""
    loop = asyncio.get_running_loop()
    later, failed = loop.create_future(), loop.create_future()
    loop.call_soon(later.set_result, "later")
    ag = m.relay([asyncio.sleep(0, "slept"), later, failed])
    seen = [await ag.__anext__(), await ag.asend("sent"), await ag.__anext__(), ag.ag_running]
    pending = asyncio.ensure_future(ag.__anext__())
    await asyncio.sleep(0)
    seen.append(ag.ag_running)
    with pytest.raises(RuntimeError) as running:
        await ag.__anext__()
    failed.set_exception(KeyError("failed"))
    with pytest.raises(KeyError) as error:
        await pending
    return seen + [str(running.value), repr(error.value), [x async for x in ag]]


async def cancel_the_await(m, catching):
    ag = m.relay([asyncio.get_running_loop().create_future()], catching, reply="r")
    task = asyncio.ensure_future(ag.__anext__())
    await asyncio.sleep(0)
    task.cancel()
    try:
        return await task, [x async for x in ag]
    except asyncio.CancelledError:
        return "cancelled", ag.ag_running, [x async for x in ag]


@pytest.mark.parametrize(
    "scenario",
    [consume, lambda m: cancel_the_await(m, ()), lambda m: cancel_the_await(m, asyncio.CancelledError)],
    ids=["iteration", "cancelled", "cancellation caught"],
)
def test_asyncio_drives_a_native_async_generator_as_a_python_one(scenario):
    assert asyncio.run(scenario(probe)) == asyncio.run(scenario(PY))


@pytest.mark.parametrize("m", [probe, PY], ids=["native", "python"])
def test_the_loop_closes_what_the_application_left_unfinished(m):
    log = []

    async def cleanup():
        log.append("cleanup")

    async def main():
        left = m.relay([now(1), now(2)], GeneratorExit, cleanup())
        dropped = m.relay([now(3), now(4)], GeneratorExit, cleanup())
        log.extend([await left.__anext__(), await dropped.__anext__()])
        del dropped  # the loop's finalizer hook schedules its aclose()
        for _ in range(3):
            await asyncio.sleep(0)
        log.append("main returns")
        return left  # still referenced: loop.shutdown_asyncgens() closes it

    asyncio.run(main())
    assert log == [1, 3, "cleanup", "main returns", "cleanup"]


def step(o):
    """One step of any body object: next() of a generator, send(None) of a coroutine, an async generator's
    __anext__()."""
    with contextlib.suppress(StopIteration, StopAsyncIteration):
        (o.__anext__().send if hasattr(o, "__anext__") else o.send)(None)
    return o


@pytest.mark.parametrize("kind", ["generator", "coroutine", "async generator"])
def test_the_closure_hears_first_when_its_body_is_dropped_unfinished(kind):
    log = []
    hooks = sys.get_asyncgen_hooks()
    sys.set_asyncgen_hooks(finalizer=lambda ag: log.append("finalizer hook"))
    try:
        unfinished = step(probe.guarded(kind, lambda: log.append("finalized"), suspend(1)))
        del unfinished
        log.append("dropped")
        finished = probe.guarded(kind, lambda: log.append("finalized"), now(2))
        step(finished if kind == "coroutine" else step(finished))
        del finished
    finally:
        sys.set_asyncgen_hooks(*hooks)
    assert log == ["finalized", *(["finalizer hook"] if kind == "async generator" else []), "dropped"]


def test_dropping_an_unstarted_coroutine_warns_it_was_never_awaited():
    with pytest.warns(RuntimeWarning, match=r"^coroutine 'Probe.wait' was never awaited$"):
        probe.Probe().wait(None)
        gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        probe.awaiting(None).close()
        c = probe.awaiting(suspend(1))
        c.send(None)
        del c


def test_finalizer_closes_the_delegate_and_reports_what_close_raised(monkeypatch):
    log = []

    def logged():
        try:
            yield 1
        finally:
            log.append("closed")

    g = probe.delegate(logged())
    next(g)
    del g
    assert log == ["closed"]

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    g = probe.delegate([1], GeneratorExit, "r")
    next(g)
    del g
    assert [type(r.exc_value) for r in reported] == [RuntimeError]
    assert "ignored GeneratorExit" in str(reported[0].exc_value)


class Box:
    pass


def through_closure(box, start):
    g = probe.echo([box], "r")
    box.ref = g
    if start:
        next(g)


def through_delegate(box, start):
    def holding(b):
        yield b

    g = probe.delegate(holding(box))
    box.ref = g
    next(g)


def through_await(box, start):
    class Awaitable:
        def __await__(self):
            yield box

    c = probe.awaiting(Awaitable())
    box.ref = c
    c.send(None)


def through_async_generator(box, awaiting):
    class Awaitable:
        def __await__(self):
            yield box

    ag = probe.relay([Awaitable()] if awaiting else [now(1), box])
    box.ref = ag
    step(ag)


@pytest.mark.parametrize(
    "make_cycle, start",
    [(through_closure, False), (through_closure, True), (through_delegate, True), (through_await, True),
     (through_async_generator, False), (through_async_generator, True)],
    ids=["closure unstarted", "closure suspended", "delegate", "awaited", "async generator at a yield",
         "async generator awaiting"],
)
def test_cycles_through_a_suspended_body_are_collected(make_cycle, start):
    box = Box()
    alive = weakref.ref(box)
    make_cycle(box, start)
    del box
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "make, function, prefix",
    [(lambda: probe.echo([1]), probe.echo, "gi"), (lambda: probe.awaiting(suspend(1)), probe.awaiting, "cr")],
    ids=["generator", "coroutine"],
)
def test_code_and_frame_are_the_function_s_until_the_end(make, function, prefix):
    o = make()
    code, frame = getattr(o, f"{prefix}_code"), getattr(o, f"{prefix}_frame")
    assert code is function.__code__ is o.gi_code and frame.f_code is code
    assert getattr(o, f"{prefix}_frame") is frame and frame.f_globals is vars(probe)
    o.close()
    assert getattr(o, f"{prefix}_frame") is None is o.gi_frame


def test_globals_are_read_when_the_body_runs(monkeypatch):
    g = probe.lookup("value")
    monkeypatch.setattr(probe, "value", "late", raising=False)
    assert next(g) == "late"
    with pytest.raises(NameError, match="name 'missing' is not defined"):
        next(probe.lookup("missing"))


def test_defaults_are_read_at_call_time(monkeypatch):
    assert probe.arguments(1) == (1, 2, None)
    assert probe.arguments(1, c=3) == (1, 2, 3)
    monkeypatch.setattr(probe.arguments, "__defaults__", (5, 6))
    assert probe.arguments(0) == (0, 5, 6)
    with pytest.raises(TypeError, match=r"^arguments\(\) missing 1 required positional argument: 'a'$"):
        probe.arguments()
    assert probe.echo.__defaults__ == (None,) and list(inspect.signature(probe.delegate).parameters) == [
        "iterable", "catching", "reply"]
    assert probe.spread(1, 2, 3, d=4) == (1, 2, 3, 4, 5)  # more parameters than the call's stack buffer


@pytest.mark.parametrize("value, got", [(None, "NoneType"), (OrderedDict(), "collections.OrderedDict"), ([], "list")])
def test_exact_parameter_types(value, got):
    d = {}
    assert probe.exact(d) is d
    with pytest.raises(TypeError, match=rf"^Argument 'x' has incorrect type \(expected dict, got {got}\)$"):
        probe.exact(value)


def delegation_chain():
    # Every level stays referenced here until the main thread frees them outermost first: releasing an
    # unstarted chain from its outer end recurses as deep as the chain is long (as Python's own does).
    chain.append(probe.echo([1]))
    for _ in range(2000):
        chain.append(probe.delegate(chain[-1]))
    return next(chain[-1])


def call_recursion(n=0):
    return probe.call(call_recursion, n + 1)


chain = []


@pytest.mark.parametrize("dive", [delegation_chain, call_recursion], ids=["delegation", "calls"])
def test_native_levels_deeper_than_the_stack_raise_recursion_error(dive):
    # In a thread with a small stack the interpreter's count alone would let native levels run off its end.
    outcome = {}

    def run():
        with pytest.raises(RecursionError):
            dive()
        outcome["after"] = next(probe.echo(["fine"]))

    old = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
        chain.clear()
    assert outcome == {"after": "fine"}


async def connect():
    """What opening a connection does to the task awaiting it: it is cancelled, and the cancellation caught on
    the way (a connection attempt's cancel scope)."""
    task = asyncio.current_task()
    task.cancel()
    try:
        await asyncio.sleep(0)
    except asyncio.CancelledError:
        task.uncancel()


def levels(made):
    """relay()'s items at one level of a chain: a connection at levels 1, 2, 4, 8..., then every record of one
    more level (a stream delegating to its follow-up)."""
    if len(made) & (len(made) - 1) == 0:
        yield connect()
    inner = probe.relay(levels(made))
    made.append(inner)
    while True:
        yield inner.__anext__()


async def grown_to_the_limit(made):
    # Sends make the chain as deep as it goes, and each connection's cancellation is thrown down all of it.
    made.append(probe.relay(levels(made)))
    with pytest.raises(RecursionError):
        async for _ in made[0]:
            pass


def short_of_the_limit(f, calls=10):
    """f() run `calls` native calls short of the deepest the interpreter admits."""
    def dive(_):
        try:
            below = probe.call(dive, None)
        except RecursionError:
            below = 0
        if isinstance(below, tuple):  # f's result, on its way out
            return below
        return (f(),) if below == calls else below + 1

    return dive(None)[0]


async def thrown_in_near_the_limit(made):
    # Refused somewhere down the chain, in the middle of the steps of the levels below; each level then closes
    # the one below (as a stream closes its follow-up), which is refused there too.
    made.append(probe.relay([suspend("leaf")]))
    for _ in range(100):
        made.append(probe.relay([made[-1].__anext__()], BaseException, made[-1].aclose()))
    step = made[-1].__anext__()
    assert step.send(None) == "leaf"
    with pytest.raises(StopAsyncIteration):
        short_of_the_limit(lambda: step.throw(KeyError("k")))


@pytest.mark.parametrize("reach", [grown_to_the_limit, thrown_in_near_the_limit])
def test_async_generators_nested_to_the_recursion_limit_are_left_at_rest(reach):
    # Whatever step the limit refuses, no level is left running: the loop closes every one without an error.
    made, errors = [], []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: errors.append(context["message"]))
        await reach(made)
        return [ag for ag in made if ag.ag_running]

    assert asyncio.run(main()) == [] and errors == []


def drive_coroutine():
    c = probe.awaiting(suspend("a"), suspend("b"))
    c.send(None)
    c.send(1)
    try:
        c.send(2)
    except StopIteration:
        pass


def throw_through_delegation():
    g = probe.delegate(inner(), ValueError, "r")
    next(g)
    g.throw(ValueError("v"))
    g.close()


def drive_async_generator():
    ag = probe.relay([now(1), suspend("a")], ValueError, reply="r")
    for awaitable in (ag.__anext__(), ag.__anext__(), ag.athrow(ValueError), ag.aclose()):
        with contextlib.suppress(StopIteration):
            while True:
                awaitable.send(None)


def read_state():
    g = probe.delegate(inner())
    next(g)
    assert inspect.getgeneratorstate(g) == inspect.GEN_SUSPENDED and g.gi_frame.f_code is g.gi_code
    assert g.gi_yieldfrom.gi_code is inner.__code__
    g.close()


def close_suspended_delegation():
    g = probe.delegate(probe.echo((1, 2), "in"))
    next(g)
    g.close()


@pytest.mark.parametrize(
    "op",
    [lambda: list(probe.echo((1, 2, 3), (1,))), drive_coroutine, throw_through_delegation,
     close_suspended_delegation, lambda: probe.awaiting(None).close(), drive_async_generator,
     lambda: step(probe.relay([now(1), now(2)])), read_state],
    ids=["run to the end", "coroutine", "throw", "close", "close unstarted", "async generator",
         "async generator dropped", "state"],
)
def test_no_leak(no_leak, op):
    no_leak(op)
