"""corvel's benchmarks, side by side in one run: `make bench`, or `python bench/run.py [--quick] [NAME...]`.

Every figure is a ratio of corvel to a reference measured in the same run, never a bare time, because
absolute times on a shared two-core machine drift by tens of percent from one minute to the next while a
ratio of interleaved measurements hardly moves:

* ``stream``: one answer of 20,000 chunks from `corvel.testing` in a process of its own (bench/serve.py),
  in chunked transfer encoding and framed by Content-Length; the client's CPU time per chunk for corvel,
  for the ``openai`` SDK, and for the floor of any client (requests, ``iter_lines``, ``json.loads`` and
  one ``LLMResult`` per line);
* ``astream``: the same answer through ``ainvoke`` against ``openai.AsyncOpenAI``;
* ``concurrent``: 100 streamed conversations of 200 chunks at once in one event loop, ``ainvoke`` against
  ``AsyncOpenAI``: client CPU, wall time and peak memory per conversation;
* ``turn``: a whole turn with two tool passes (three requests), corvel against the ``openai`` SDK driving
  the same loop by hand with the same tool functions;
* ``aturn``: the same turn through ``ainvoke`` (pooled keep-alive connections) against ``invoke``, wall time,
  over HTTPS and over plain HTTP;
* ``tool``: ``CythonFunctionTool.run`` against fastmcp's ``FunctionTool.run`` on the same function;
* ``growth``: ``_body`` per message for conversations of 1,000 to 100,000 messages, and a streamed
  answer of 20,000 to 200,000 fragments (bench/stream_growth.py), plotted in bench/growth.png;
* ``import``: what ``import corvel.modal`` adds to importing its dependencies, in fresh interpreters;
* ``breakdown``: where the CPU time of a streamed chunk goes (HTTP, json, pydantic, corvel's own work),
  a table without goals.

Each measure is repeated in rounds that alternate corvel and its reference, after a warm-up, in three
worker processes one after the other: the same code runs a few percent faster or slower from one
process to the next (where the allocator and the address-space layout put things), so a median over
several processes is what stays put from run to run. The table gives the medians of all rounds, their
ratio, and the spread of the per-round ratios (half their interquartile range, relative to the median).
Every goal is in GOALS below. A full run exits with status 1 and a line per missed goal when any is
missed, and writes bench/RESULTS.md and bench/growth.png only from a clean checkout, naming its commit;
``--quick`` runs every measure in this process for a few iterations only, to check that they work, and
writes nothing. What a tool-turn request costs step by step: bench/breakdown.py.
"""

# No `from __future__ import annotations` here: the tool functions below must carry real types, as most
# tools do, not texts that fastmcp and corvel would have to evaluate again.
import argparse
import asyncio
import datetime
import gc
import importlib.metadata
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

# fastmcp's import pulls in authlib, which warns about its own modules; the warnings say nothing about
# what is measured here.
warnings.filterwarnings("ignore", category=DeprecationWarning)

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import stream_growth  # noqa: E402  (bench/ is not a package: found through the path set above)

MODEL = "bench-model"
PROMPT = "Tell me a long story."
FRAGMENTS = 20_000
FRAGMENT_SIZE = 5  # bench/serve.py sends "abcde" as every fragment


# ---------------------------------------------------------------------------------------------------------
# The goals, all in one table: the largest ratio of corvel to its reference that meets each

GOALS: dict[str, float] = {
    "stream vs openai": 0.5,         # CPU per streamed chunk, invoke against the openai SDK
    "stream vs floor": 1.2,          # the same against requests + iter_lines + json.loads + LLMResult, chunked
    "stream length vs floor": 1.2,   # the same with a body framed by Content-Length
    "astream vs openai": 0.3,        # CPU per streamed chunk, ainvoke against AsyncOpenAI
    "concurrent vs openai": 0.3,     # client CPU of 100 streamed conversations at once, against AsyncOpenAI
    "turn vs openai": 0.7,           # CPU per tool turn (3 requests), invoke against the SDK's loop by hand
    "aturn vs invoke": 0.7,          # wall time per tool turn over HTTPS, ainvoke (kept-alive connections) against invoke
    "tool vs fastmcp": 0.8,          # CythonFunctionTool.run against FunctionTool.run
    "growth body": 1.5,              # _body per message, 100,000 messages against 1,000
    "growth stream": 12.0,           # a streamed answer ten times as long: linear growth plus a fifth
    "import": 0.1,                   # what import corvel.modal adds, against its dependencies alone
}


# ---------------------------------------------------------------------------------------------------------
# Results

Samples = dict[str, list[float]]  # one list of per-round values for each side of a measure
Settings = dict[str, dict[str, Any]]  # for each measure, its worker processes, rounds and sizes


@dataclass
class Row:
    """One line of the table: corvel's median, the reference's median, their ratio and its goal (None: a
    figure reported without a goal, such as a wall time or a memory size)."""

    measure: str
    unit: str
    corvel: float
    reference: float
    reference_name: str
    goal: float | None
    ratios: list[float] = field(default_factory=list)  # one per round, for the spread

    @property
    def ratio(self) -> float:
        return self.corvel / self.reference if self.reference else float("nan")

    @property
    def met(self) -> bool:
        return self.goal is None or self.ratio <= self.goal

    @property
    def spread(self) -> float:
        """Half the interquartile range of the per-round ratios, relative to their median."""
        if len(self.ratios) < 4 or not statistics.median(self.ratios):
            return float("nan")
        q1, _, q3 = statistics.quantiles(self.ratios, n=4)
        return (q3 - q1) / 2 / statistics.median(self.ratios)


def rounds_of(corvel: Sequence[float], reference: Sequence[float]) -> list[float]:
    return [a / b if b else float("nan") for a, b in zip(corvel, reference)]


def number(value: float) -> str:
    """Three significant digits below 100, whole numbers above: no exponents in the table."""
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def cpu() -> float:
    """This process's CPU time: what a client owns. Waiting for the server and time lost to other
    processes on the shared cores are not charged, as they would be by a wall clock."""
    return time.process_time()


@contextmanager
def gc_paused() -> Iterator[None]:
    """No collection inside a timed call, as timeit does: a full collection costs in proportion to the
    whole heap, which holds the other conversations of the benchmark, not to what corvel did."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


# ---------------------------------------------------------------------------------------------------------
# The service in a process of its own

class Service:
    """bench/serve.py in a child process; ``url`` is its chat-completions endpoint. With ``tls_authority`` (a
    file name) it serves HTTPS, and writes there the certificate its clients must trust."""

    def __init__(self, fragments: int, tls_authority: str | None = None) -> None:
        tls = ["--tls", tls_authority] if tls_authority else []
        self.process = subprocess.Popen([sys.executable, str(HERE / "serve.py"), str(fragments), *tls],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith(("http://127.0.0.1:", "https://127.0.0.1:")):
            self.close()
            raise RuntimeError(f"bench/serve.py did not start (it said {self.url!r})")

    def close(self) -> None:
        for pipe in (self.process.stdin, self.process.stdout):
            if pipe is not None:
                pipe.close()  # the server's cue to stop
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def __enter__(self) -> "Service":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def endpoint(url: str, framing: str = "chunked", fragments: int | None = None) -> str:
    """The service's URL for a stream of this framing and length (see bench/serve.py's ``route``)."""
    split = urlsplit(url)
    prefix = f"/{framing}" + (f"/{fragments}" if fragments else "")
    return split._replace(path=prefix + split.path).geturl()


def connections(url: str) -> int:
    """How many connections the service has accepted so far, counting the one this question opens."""
    import requests

    return requests.post(urlsplit(url)._replace(path="/connections").geturl(), json={}).json()["connections"]


def openai_client(url: str):
    import openai

    # No retries: a failed request must fail the benchmark, not be silently repeated and timed.
    return openai.OpenAI(base_url=url.removesuffix("/chat/completions"), api_key="bench", max_retries=0)


def async_openai_client(url: str):
    import openai

    return openai.AsyncOpenAI(base_url=url.removesuffix("/chat/completions"), api_key="bench", max_retries=0)


# ---------------------------------------------------------------------------------------------------------
# 1. Streaming: client CPU per chunk

def stream_corvel(url: str, fragments: int) -> float:
    from corvel.modal import LLModal

    client = LLModal(endpoint_url=url, extra_body={"model": MODEL, "stream": True})
    text = 0
    start = cpu()
    for record in client.invoke(PROMPT):
        text += len(record.content)
    spent = cpu() - start
    assert text == FRAGMENT_SIZE * fragments, f"corvel received {text} characters"
    return spent


def stream_openai(sdk, fragments: int) -> float:
    text = 0
    start = cpu()
    for chunk in sdk.chat.completions.create(model=MODEL, messages=[{"role": "user", "content": PROMPT}],
                                             stream=True):
        if chunk.choices:
            text += len(chunk.choices[0].delta.content or "")
    spent = cpu() - start
    assert text == FRAGMENT_SIZE * fragments, f"the openai SDK received {text} characters"
    return spent


def stream_floor(url: str, fragments: int) -> float:
    """The least any client of this design does per line: split, decode, and make the record."""
    import requests

    from corvel.modal import LLMResult, LLMStatus

    text = 0
    start = cpu()
    body = {"model": MODEL, "stream": True, "messages": [{"role": "user", "content": PROMPT}]}
    response = requests.post(url, json=body, stream=True, timeout=(10, 600))
    for line in response.iter_lines():
        if not line.startswith(b"data: "):
            continue
        payload = line[6:]
        if payload == b"[DONE]":
            break
        delta = json.loads(payload)["choices"][0]["delta"]
        record = LLMResult(content=delta.get("content") or "", status=LLMStatus.answer)
        text += len(record.content)
    response.close()
    spent = cpu() - start
    assert text == FRAGMENT_SIZE * fragments, f"the floor received {text} characters"
    return spent


def sample_stream(url: str, fragments: int, rounds: int) -> Samples:
    """CPU µs per chunk of each client, one value per round; ``... length``: the body framed by
    Content-Length instead of chunked transfer encoding."""
    sdk = openai_client(url)
    length = endpoint(url, "length")
    clients: dict[str, Callable[[], float]] = {
        "corvel": lambda: stream_corvel(url, fragments),
        "openai": lambda: stream_openai(sdk, fragments),
        "floor": lambda: stream_floor(url, fragments),
        "corvel length": lambda: stream_corvel(length, fragments),
        "floor length": lambda: stream_floor(length, fragments),
    }
    for run in clients.values():
        run()  # warm-up: lazy imports, pydantic's and the SDK's caches
    per_chunk: Samples = {name: [] for name in clients}
    names = list(clients)
    for r in range(rounds):
        # A different client goes first in each round, so that none always follows the same neighbour.
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            per_chunk[name].append(clients[name]() / fragments * 1e6)
    return per_chunk


def rows_stream(samples: Samples) -> list[Row]:
    corvel, openai_sdk, floor = samples["corvel"], samples["openai"], samples["floor"]
    corvel_length, floor_length = samples["corvel length"], samples["floor length"]
    return [
        Row("stream: CPU per chunk vs openai SDK", "µs", statistics.median(corvel),
            statistics.median(openai_sdk), "openai SDK", GOALS["stream vs openai"], rounds_of(corvel, openai_sdk)),
        Row("stream: CPU per chunk vs floor", "µs", statistics.median(corvel), statistics.median(floor),
            "requests+json+LLMResult", GOALS["stream vs floor"], rounds_of(corvel, floor)),
        Row("stream, Content-Length framing: CPU per chunk vs floor", "µs", statistics.median(corvel_length),
            statistics.median(floor_length), "requests+json+LLMResult", GOALS["stream length vs floor"],
            rounds_of(corvel_length, floor_length)),
    ]


# ---------------------------------------------------------------------------------------------------------
# 1b. Streaming through ainvoke: client CPU per chunk, and a hundred conversations at once

async def converse_corvel(client) -> int:
    """One streamed turn through ``ainvoke``, every record read; the characters received."""
    text = 0
    records = await client.ainvoke(PROMPT)
    async for record in records:
        text += len(record.content)
    return text


async def converse_openai(sdk) -> int:
    """One streamed answer through ``AsyncOpenAI``, every chunk read; the characters received."""
    text = 0
    chunks = await sdk.chat.completions.create(model=MODEL, messages=[{"role": "user", "content": PROMPT}],
                                               stream=True)
    async for chunk in chunks:
        if chunk.choices:
            text += len(chunk.choices[0].delta.content or "")
    return text


async def together(conversations: list, fragments: int) -> tuple[float, float]:
    """Client CPU and wall seconds of running ``conversations`` (coroutines, not started yet) at once."""
    start, clock = cpu(), time.perf_counter()
    texts = await asyncio.gather(*conversations)
    spent, wall = cpu() - start, time.perf_counter() - clock
    assert texts == [FRAGMENT_SIZE * fragments] * len(conversations), f"received {sorted(set(texts))} characters"
    return spent, wall


def async_clients(url: str, count: int) -> list:
    """``count`` streaming LLModal clients, each with its own conversation and, once used, its own pool."""
    from corvel.modal import LLModal

    return [LLModal(endpoint_url=url, extra_body={"model": MODEL, "stream": True}) for _ in range(count)]


def sample_astream(url: str, fragments: int, rounds: int) -> Samples:
    """CPU µs per chunk of ``ainvoke`` and of ``AsyncOpenAI``, one value per round. One client of each,
    reused from round to round in one event loop, so both read over a kept-alive connection."""

    async def main() -> Samples:
        (client,), sdk = async_clients(url, 1), async_openai_client(url)

        async def corvel() -> float:
            client.messages.clear()  # each round starts the same conversation again
            return (await together([converse_corvel(client)], fragments))[0]

        async def openai_sdk() -> float:
            return (await together([converse_openai(sdk)], fragments))[0]

        sides = [("corvel", corvel), ("openai", openai_sdk)]
        for _, run in sides:
            await run()  # warm-up, and the connection each keeps
        per_chunk: Samples = {name: [] for name, _ in sides}
        for r in range(rounds):
            for name, run in sides[r % 2:] + sides[:r % 2]:
                per_chunk[name].append(await run() / fragments * 1e6)
        await client.aclose()
        await sdk.close()
        return per_chunk

    return asyncio.run(main())


def rows_astream(samples: Samples) -> list[Row]:
    corvel, openai_sdk = samples["corvel"], samples["openai"]
    return [Row("astream (ainvoke): CPU per chunk vs AsyncOpenAI", "µs", statistics.median(corvel),
                statistics.median(openai_sdk), "openai AsyncOpenAI", GOALS["astream vs openai"],
                rounds_of(corvel, openai_sdk))]


CONVERSATIONS = 100
CONVERSATION_FRAGMENTS = 200


def sample_concurrent(url: str, conversations: int, fragments: int, rounds: int, memory_processes: int) -> Samples:
    """``conversations`` streamed answers of ``fragments`` chunks at once in one event loop: ``... cpu`` and
    ``... wall``, ms for all of them, one value per round; ``... memory``, KiB of peak resident memory per
    conversation (see :func:`memory_per_conversation`), measured ``memory_processes`` times for each side
    in fresh interpreters (0: once each, in this process).

    corvel: one LLModal client per conversation, as an application holds one per conversation, each with
    its own pool of connections. openai: one AsyncOpenAI client shared by all, as the SDK is meant to be
    used (its pool keeps up to 100 connections alive). Both are made before the clock starts and reused
    from round to round, so after the warm-up both read over kept-alive connections."""
    target = endpoint(url, "chunked", fragments)

    async def main() -> Samples:
        clients, sdk = async_clients(target, conversations), async_openai_client(target)

        async def corvel() -> tuple[float, float]:
            for client in clients:
                client.messages.clear()
            return await together([converse_corvel(client) for client in clients], fragments)

        async def openai_sdk() -> tuple[float, float]:
            return await together([converse_openai(sdk) for _ in range(conversations)], fragments)

        sides = [("corvel", corvel), ("openai", openai_sdk)]
        for _, run in sides:
            await run()  # warm-up: every pool opens its connections
        samples: Samples = {f"{name} {kind}": [] for name, _ in sides for kind in ("cpu", "wall")}
        for r in range(rounds):
            for name, run in sides[r % 2:] + sides[:r % 2]:
                spent, wall = await run()
                samples[f"{name} cpu"].append(spent * 1e3)
                samples[f"{name} wall"].append(wall * 1e3)
        await asyncio.gather(*(client.aclose() for client in clients))
        await sdk.close()
        return samples

    samples = asyncio.run(main())
    samples["conversations"] = [conversations]
    for side in ("corvel", "openai"):
        if not memory_processes:
            samples[f"{side} memory"] = [memory_per_conversation(side, url, conversations, fragments)]
            continue
        settings = json.dumps({"conversations": conversations, "fragments": fragments})
        command = [sys.executable, str(Path(__file__).resolve()), "--memory", side, "--url", url,
                   "--settings", settings]
        samples[f"{side} memory"] = [
            json.loads(subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True).stdout.split()[-1])
            for _ in range(memory_processes)]
    return samples


def resident_kib(field_name: str) -> int:
    """A field of /proc/self/status in KiB: VmRSS (resident now) or VmHWM (the peak since the last reset)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field_name} in /proc/self/status")


def memory_per_conversation(side: str, url: str, conversations: int, fragments: int) -> float:
    """KiB per conversation by which the resident memory (RSS) peaks while ``conversations`` streamed
    answers run at once, over what the process held before; nan where Linux's /proc is not there.

    RSS rather than tracemalloc, which sees only what Python's allocators hand out: corvel's native buffers
    would be missed. After a warm-up conversation (lazy imports, caches) and a collection, the kernel's
    peak is reset (``5`` to /proc/self/clear_refs); then the clients are made (corvel: one per
    conversation; openai: the shared one is made before, being no conversation's) and all run at once."""
    target = endpoint(url, "chunked", fragments)
    try:
        resident_kib("VmHWM")
        with open("/proc/self/clear_refs", "w"):
            pass
    except (OSError, RuntimeError):
        return float("nan")

    async def main() -> float:
        if side == "corvel":
            (warm,) = async_clients(target, 1)
            await converse_corvel(warm)
            await warm.aclose()
        else:
            warm = async_openai_client(target)
            await converse_openai(warm)
            await warm.close()
            sdk = async_openai_client(target)
        del warm
        gc.collect()
        before = resident_kib("VmRSS")
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak (VmHWM) starts again from what is resident now
        if side == "corvel":
            clients = async_clients(target, conversations)
            await together([converse_corvel(client) for client in clients], fragments)
        else:
            await together([converse_openai(sdk) for _ in range(conversations)], fragments)
        peak = resident_kib("VmHWM")
        if side == "corvel":
            await asyncio.gather(*(client.aclose() for client in clients))
        else:
            await sdk.close()
        return (peak - before) / conversations

    return asyncio.run(main())


def rows_concurrent(samples: Samples) -> list[Row]:
    def row(kind: str, measure: str, unit: str, goal: float | None) -> Row:
        corvel, openai_sdk = samples[f"corvel {kind}"], samples[f"openai {kind}"]
        return Row(measure, unit, statistics.median(corvel), statistics.median(openai_sdk),
                   "AsyncOpenAI, one shared", goal, rounds_of(corvel, openai_sdk))

    at_once = f"{samples['conversations'][0]:.0f} streamed conversations at once"
    return [
        row("cpu", f"concurrent: {at_once}, client CPU vs AsyncOpenAI", "ms", GOALS["concurrent vs openai"]),
        row("wall", f"concurrent: {at_once}, wall time vs AsyncOpenAI", "ms", None),
        row("memory", f"concurrent: {at_once}, peak RSS per conversation", "KiB", None),
    ]


# ---------------------------------------------------------------------------------------------------------
# 2. A whole turn with two tool passes: client CPU per turn

def turn_tools():
    """The two tools the scripted model of bench/serve.py asks for, in a registry and as plain functions."""
    from corvel.tools import Tools

    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        """Add two numbers."""
        return a + b

    @tools.register
    def weather(city: str, days: int = 1) -> dict:
        """The forecast for a city."""
        return {"city": city, "days": days, "sky": "sunny"}

    return tools, {"add": add, "weather": weather}


def turn_corvel(client, clock: Callable[[], float] = cpu) -> float:
    client.messages.clear()
    start = clock()
    result = client.invoke(PROMPT)
    spent = clock() - start
    assert result.content == 'Done: 42, {"city":"Lyon","days":2,"sky":"sunny"}, 2', result.content
    return spent


def turn_openai(sdk, schemas: list[dict], functions: dict[str, Callable]) -> float:
    """The loop an application writes around the SDK: ask, run the calls, send the results, ask again."""
    start = cpu()
    messages: list[dict] = [{"role": "user", "content": PROMPT}]
    for _ in range(3):  # corvel's tool_calls_limit
        answer = sdk.chat.completions.create(model=MODEL, messages=messages, tools=schemas,
                                             parallel_tool_calls=True).choices[0].message
        if not answer.tool_calls:
            break
        messages.append(answer.model_dump(exclude_none=True))
        for call in answer.tool_calls:
            output = functions[call.function.name](**json.loads(call.function.arguments))
            messages.append({"role": "tool", "tool_call_id": call.id,
                             "content": output if isinstance(output, str) else json.dumps(output)})
    spent = cpu() - start
    assert answer.content and answer.content.startswith("Done: 42, "), answer.content
    return spent


def sample_turn(url: str, rounds: int, turns: int) -> Samples:
    """CPU ms per turn of each client: the median of ``turns`` turns, one value per round."""
    from corvel.modal import LLModal

    tools, functions = turn_tools()
    client = LLModal(endpoint_url=url, tools=tools, extra_body={"model": MODEL})
    sdk, schemas = openai_client(url), tools.schemas
    for _ in range(max(3, turns // 4)):
        turn_corvel(client), turn_openai(sdk, schemas, functions)
    corvel: list[float] = []
    openai_sdk: list[float] = []
    for r in range(rounds):
        blocks = [(corvel, lambda: turn_corvel(client)),
                  (openai_sdk, lambda: turn_openai(sdk, schemas, functions))]
        for samples, run in blocks[r % 2:] + blocks[:r % 2]:
            samples.append(statistics.median(run() for _ in range(turns)) * 1e3)
    return {"corvel": corvel, "openai": openai_sdk}


def rows_turn(samples: Samples) -> list[Row]:
    corvel, openai_sdk = samples["corvel"], samples["openai"]
    return [Row("tool turn (3 requests): CPU per turn vs openai SDK", "ms", statistics.median(corvel),
                statistics.median(openai_sdk), "openai SDK by hand", GOALS["turn vs openai"],
                rounds_of(corvel, openai_sdk))]


async def aturn_corvel(client) -> tuple[float, float]:
    """Wall and CPU seconds of one tool turn through ``ainvoke``."""
    client.messages.clear()
    start, clock = time.perf_counter(), cpu()
    result = await client.ainvoke(PROMPT)
    spent = time.perf_counter() - start, cpu() - clock
    assert result.content == 'Done: 42, {"city":"Lyon","days":2,"sky":"sunny"}, 2', result.content
    return spent


def turn_clocks(client) -> tuple[float, float]:
    """Wall and CPU seconds of one tool turn through ``invoke``."""
    start, clock = time.perf_counter(), cpu()
    turn_corvel(client)
    return time.perf_counter() - start, cpu() - clock


def sample_aturn(url: str, rounds: int, turns: int) -> Samples:
    """The tool turn through ``ainvoke`` and ``invoke`` over plain HTTP (``url``), then over HTTPS (a second
    service with a certificate from a throwaway authority the clients are made to trust; keys ending in
    `` https``).

    Over plain HTTP on loopback a new connection costs next to nothing, so what keep-alive saves shows
    over HTTPS, as every hosted service is served: a new connection is a TLS handshake there."""
    samples = sample_aturn_on(url, rounds, turns)
    with tempfile.TemporaryDirectory() as folder:
        authority = str(Path(folder) / "authority.pem")
        with Service(1, tls_authority=authority) as secure, trusting(authority):
            samples.update({f"{key} https": values for key, values in sample_aturn_on(secure.url, rounds, turns).items()})
    return samples


@contextmanager
def trusting(authority: str) -> Iterator[None]:
    """Both clients trust the certificates of ``authority`` (a PEM file) within the block: requests reads
    REQUESTS_CA_BUNDLE at each request, the awaited pool's shared TLS context is made anew."""
    import corvel.modal

    saved = {name: os.environ.get(name) for name in ("REQUESTS_CA_BUNDLE", "SSL_CERT_FILE")}
    kept_context = corvel.modal._tls_context
    os.environ.update(dict.fromkeys(saved, authority))
    corvel.modal._tls_context = None
    try:
        yield
    finally:
        corvel.modal._tls_context = kept_context
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def sample_aturn_on(url: str, rounds: int, turns: int) -> Samples:
    """Wall ms per tool turn through ``ainvoke`` and through ``invoke`` (the median of ``turns`` turns, one
    value per round), their CPU ms (``... cpu``, from the same turns), and the connections the service
    accepted per turn for each (one value per process).

    Wall time, not CPU: what keep-alive saves is mostly waiting, for the connection to open and for the
    service to start a thread for it. Wall time on shared cores follows the load of the moment, so the two
    sides take turns turn by turn, and both see the same load. Two clients with the same registry; the
    awaited one keeps its pool from turn to turn in one event loop, as an application's would."""
    from corvel.modal import LLModal

    tools, _ = turn_tools()
    blocking = LLModal(endpoint_url=url, tools=tools, extra_body={"model": MODEL})
    awaited = LLModal(endpoint_url=url, tools=tools, extra_body={"model": MODEL})
    samples: Samples = {f"{side}{kind}": [] for side in ("corvel", "invoke") for kind in ("", " cpu", " connections")}
    with asyncio.Runner() as runner:
        sides = [("corvel", lambda: runner.run(aturn_corvel(awaited))),
                 ("invoke", lambda: turn_clocks(blocking))]
        for _ in range(max(3, turns // 4)):
            for _, run in sides:
                run()
        for r in range(rounds):
            walls: dict[str, list[tuple[float, float]]] = {name: [] for name, _ in sides}
            for _ in range(turns):
                for name, run in sides[r % 2:] + sides[:r % 2]:
                    walls[name].append(run())
            for name, pairs in walls.items():
                samples[name].append(statistics.median(wall for wall, _ in pairs) * 1e3)
                samples[f"{name} cpu"].append(statistics.median(spent for _, spent in pairs) * 1e3)
        for name, run in sides:  # counted apart: asking the service opens a connection of its own
            before = connections(url)
            for _ in range(turns):
                run()
            samples[f"{name} connections"].append((connections(url) - before - 1) / turns)
        runner.run(awaited.aclose())
    return samples


def rows_aturn(samples: Samples) -> list[Row]:
    def pair(label: str, key: str, goal: float | None) -> Row:
        corvel, invoke = samples[f"corvel{key}"], samples[f"invoke{key}"]
        return Row(f"aturn: tool turn (3 requests){label}", "ms", statistics.median(corvel),
                   statistics.median(invoke), "invoke", goal, rounds_of(corvel, invoke))

    opened, opened_invoke = samples["corvel connections"], samples["invoke connections"]
    return [
        pair(" over HTTPS, ainvoke vs invoke wall time", " https", GOALS["aturn vs invoke"]),
        pair(" over HTTPS, ainvoke vs invoke CPU", " cpu https", None),
        pair(" over plain HTTP, ainvoke vs invoke wall time", "", None),
        pair(" over plain HTTP, ainvoke vs invoke CPU", " cpu", None),
        Row("aturn: connections opened per tool turn, ainvoke vs invoke", "", statistics.median(opened),
            statistics.median(opened_invoke), "invoke", None),
    ]


# ---------------------------------------------------------------------------------------------------------
# 3. One tool call through fastmcp's tool interface

def add(a: int, b: int) -> int:
    """Add two numbers."""
    return a + b


def sample_tool(rounds: int, calls: int) -> Samples:
    """CPU µs per awaited ``run`` of each tool, one value per round of ``calls`` calls."""
    from fastmcp.tools import FunctionTool

    from corvel.cython import CythonFunctionTool

    native, reference = CythonFunctionTool.from_function(add), FunctionTool.from_function(add)
    arguments = {"a": 2, "b": 40}

    async def per_call(tool) -> float:
        start = cpu()
        for _ in range(calls):
            await tool.run(arguments)
        return (cpu() - start) / calls * 1e6

    async def main() -> Samples:
        ours, theirs = await native.run(arguments), await reference.run(arguments)
        assert ours.structured_content == theirs.structured_content == {"result": 42}, ours.structured_content
        await per_call(native), await per_call(reference)
        corvel: list[float] = []
        fastmcp: list[float] = []
        for r in range(rounds):
            pair = [(corvel, native), (fastmcp, reference)]
            for samples, tool in pair[r % 2:] + pair[:r % 2]:
                samples.append(await per_call(tool))
        return {"corvel": corvel, "fastmcp": fastmcp}

    return asyncio.run(main())


def rows_tool(samples: Samples) -> list[Row]:
    corvel, fastmcp = samples["corvel"], samples["fastmcp"]
    return [Row("tool run: CythonFunctionTool vs FunctionTool", "µs", statistics.median(corvel),
                statistics.median(fastmcp), "fastmcp FunctionTool", GOALS["tool vs fastmcp"],
                rounds_of(corvel, fastmcp))]


# ---------------------------------------------------------------------------------------------------------
# 4. Growth: the request body with the length of the conversation, a streamed answer with its length

BODY_SIZES = (1_000, 3_000, 10_000, 30_000, 100_000)
STREAM_SIZES = (20_000, 50_000, 100_000, 200_000)
# Without a goal of its own: what one streamed chunk costs when the conversation before it is long.
HISTORY_SIZES = (0, 1_000, 10_000, 100_000)
HISTORY_FRAGMENTS = 2_000


def conversation(messages: int):
    """A client holding ``messages`` alternating user and assistant messages of about 50 characters."""
    from corvel.message import Message, MessageRole
    from corvel.modal import LLModal

    roles = (MessageRole.user, MessageRole.assistant)
    history = [Message(role=roles[i % 2], contents=[f"message {i}: " + "x" * 40]) for i in range(messages)]
    return LLModal(extra_body={"model": MODEL}, messages=history)


def body_per_message(client, messages: int, calls: int) -> float:
    """The median cost of one ``_body`` read, per message, in ns."""
    times = []
    for _ in range(calls):
        with gc_paused():
            start = cpu()
            body = client._body
            times.append(cpu() - start)
        assert len(body["messages"]) == messages
        del body
    return statistics.median(times) / messages * 1e9


def chunk_after_history(history: list, fragments: int) -> float:
    """CPU µs per fragment of a streamed answer (fed from memory) that follows ``history``."""
    from corvel.modal import LLModal

    client = LLModal(extra_body={"stream": True}, messages=list(history))
    client.add_message("user", "q")
    lines = stream_growth.Lines(stream_growth.body(fragments))
    start = cpu()
    for _ in client._stream_response(lines):
        pass
    return (cpu() - start) / fragments * 1e6


def sample_growth(rounds: int, body_sizes: Sequence[int] = BODY_SIZES, stream_sizes: Sequence[int] = STREAM_SIZES,
                  messages_per_round: int = 1_000_000, history_sizes: Sequence[int] = HISTORY_SIZES,
                  history_fragments: int = HISTORY_FRAGMENTS) -> Samples:
    """``body N``: ns per message of ``_body`` with N messages; ``stream N``: ms for N fragments;
    ``history N``: µs per streamed fragment after N messages.

    Each round reads ``_body`` about ``messages_per_round`` messages' worth for every size (about 0.05 s
    on the machine of bench/RESULTS.md), at least three times."""
    clients = {n: conversation(n) for n in sorted({*body_sizes, *history_sizes} - {0})}
    histories = {n: clients[n].messages if n else [] for n in history_sizes}
    for n in body_sizes:
        body_per_message(clients[n], n, 2)
    stream_growth.run(stream_sizes[0], 1)  # warm-up
    samples: Samples = ({f"body {n}": [] for n in body_sizes} | {f"stream {n}": [] for n in stream_sizes}
                        | {f"history {n}": [] for n in history_sizes})
    for _ in range(rounds):
        for n in body_sizes:
            samples[f"body {n}"].append(body_per_message(clients[n], n, max(3, messages_per_round // n)))
        for n in stream_sizes:
            samples[f"stream {n}"].append(stream_growth.run(n, 1) * 1e3)
        for n in history_sizes:
            samples[f"history {n}"].append(chunk_after_history(histories[n], history_fragments))
    return samples


CURVES = {"body": "body_ns_per_message", "stream": "stream_ms", "history": "chunk_us_by_history"}


def growth_curves(samples: Samples) -> dict[str, dict[int, float]]:
    curves: dict[str, dict[int, float]] = {name: {} for name in CURVES.values()}
    for key, values in samples.items():
        kind, n = key.split()
        curves[CURVES[kind]][int(n)] = statistics.median(values)
    return curves


def rows_growth(samples: Samples) -> list[Row]:
    curves = growth_curves(samples)
    small, *_, large = curves["body_ns_per_message"]
    s_small, *_, s_large = curves["stream_ms"]
    body = lambda n: samples[f"body {n}"]  # noqa: E731
    stream = lambda n: samples[f"stream {n}"]  # noqa: E731
    # Linear growth gives the ratio of the sizes; the goal allows a fifth more, for ten times the size.
    assert s_large == 10 * s_small, "the goal of the streamed answer's growth is for ten times the fragments"
    return [
        Row(f"growth: _body per message, {large:,} vs {small:,} messages", "ns", statistics.median(body(large)),
            statistics.median(body(small)), f"{small:,} messages", GOALS["growth body"],
            rounds_of(body(large), body(small))),
        Row(f"growth: streamed answer, {s_large:,} vs {s_small:,} fragments", "ms",
            statistics.median(stream(s_large)), statistics.median(stream(s_small)), f"{s_small:,} fragments",
            GOALS["growth stream"], rounds_of(stream(s_large), stream(s_small))),
    ]


def ticks(axes, sizes: dict[int, float]) -> None:
    """The measured sizes as the x ticks, written 1k, 20k, 100k."""
    axes.set_xticks(list(sizes), [f"{n // 1000:,}k" if n >= 1000 else str(n) for n in sizes])
    axes.minorticks_off()


def plot_growth(curves: dict[str, dict[int, float]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")  # no display: write the file only
    import matplotlib.pyplot as plt

    body, stream, history = curves["body_ns_per_message"], curves["stream_ms"], curves["chunk_us_by_history"]
    figure, (left, right, third) = plt.subplots(1, 3, figsize=(16, 4.4))
    left.plot(list(body), list(body.values()), "o-", color="tab:blue")
    left.axhline(GOALS["growth body"] * body[min(body)], ls="--", color="tab:red", lw=1,
                 label=f"goal: at most {GOALS['growth body']:g} × the cost at {min(body):,}")
    left.set(xscale="log", xlabel="messages in the conversation", ylabel="ns per message",
             title="_body: cost per message", ylim=(0, None))
    left.legend(loc="lower right")
    ticks(left, body)
    per_fragment = {n: ms * 1e3 / n for n, ms in stream.items()}
    right.plot(list(per_fragment), list(per_fragment.values()), "o-", color="tab:green")
    right.axhline(GOALS["growth stream"] / 10 * per_fragment[min(per_fragment)], ls="--", color="tab:red", lw=1,
                  label=f"goal: total ratio 10 × the fragments at most {GOALS['growth stream']:g}")
    right.set(xscale="log", xlabel="fragments in the answer", ylabel="µs per fragment",
              title="streamed answer (in memory): cost per fragment", ylim=(0, None))
    right.legend(loc="lower right")
    ticks(right, per_fragment)
    # A conversation of 0 messages has no place on a log axis: it is drawn at 1 and labelled 0.
    at = {max(n, 1): v for n, v in history.items()}
    third.plot(list(at), list(at.values()), "o-", color="tab:purple")
    third.set(xscale="log", yscale="log", xlabel="messages before the answer", ylabel="µs per fragment",
              title="streamed answer after a long conversation (no goal)")
    third.set_xticks(list(at), [f"{n // 1000:,}k" if n >= 1000 else str(n) for n in history])
    third.minorticks_off()
    figure.suptitle("corvel: cost with conversation and answer length (flat = linear total)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


# ---------------------------------------------------------------------------------------------------------
# 5. Import time in fresh interpreters

_PROBE = """
import json, sys
before = set(sys.modules)
import corvel.modal
print(json.dumps([m for m in sys.modules if m not in before and m.partition(".")[0] != "corvel"]))
"""

_TIMED = """
import importlib, json, sys, time, warnings
warnings.simplefilter("ignore")
names = json.loads(sys.stdin.read())
start = time.perf_counter()
for name in names:
    try:
        importlib.import_module(name)
    except Exception:
        pass  # modules that register under another name, or import only as part of their package
middle = time.perf_counter()
import corvel.modal
end = time.perf_counter()
print(json.dumps([middle - start, end - middle]))
"""


def import_times(names: list[str]) -> tuple[float, float]:
    # Bytecode caches as an installed package has them: the warm-up round writes corvel's own.
    env = {key: value for key, value in os.environ.items() if key != "PYTHONDONTWRITEBYTECODE"}
    done = subprocess.run([sys.executable, "-c", _TIMED], input=json.dumps(names), capture_output=True,
                          text=True, check=True, env=env)
    dependencies, added = json.loads(done.stdout.strip().splitlines()[-1])
    return dependencies * 1e3, added * 1e3


def sample_import(rounds: int) -> Samples:
    """Every module the import of corvel.modal loads, except corvel's own, is imported first, in the same
    order; what ``import corvel.modal`` then costs is corvel's own work (its extension modules and the
    classes they build). One fresh interpreter per round; ms."""
    probe = subprocess.run([sys.executable, "-c", _PROBE], capture_output=True, text=True, check=True)
    names = [m for m in json.loads(probe.stdout.strip().splitlines()[-1]) if not m.startswith("__")]
    import_times(names)  # warm-up: bytecode caches and the page cache
    samples: Samples = {"added": [], "dependencies": []}
    for _ in range(rounds):
        dependencies, added = import_times(names)
        samples["dependencies"].append(dependencies)
        samples["added"].append(added)
    return samples


def rows_import(samples: Samples) -> list[Row]:
    added, dependencies = samples["added"], samples["dependencies"]
    return [Row("import corvel.modal: added vs its dependencies", "ms", statistics.median(added),
                statistics.median(dependencies), "dependencies alone", GOALS["import"],
                rounds_of(added, dependencies))]


# ---------------------------------------------------------------------------------------------------------
# 6. Where a streamed chunk's CPU time goes

# The columns of the table: the client, and the framing of the stream it reads.
CHUNK_COLUMNS = ("invoke chunked", "floor chunked", "invoke length", "floor length", "ainvoke chunked")
# Its rows: what each step costs per chunk. The steps after "whole" are pieces of corvel's own work.
# Bodies read alone: short enough for the sockets' buffers, read after a pause long enough to write them.
READ_FRAGMENTS = 2_000
SETTLE = 0.5

CHUNK_STEPS = {
    "reading": "reading the body: requests, urllib3, the socket (ainvoke: httpx, h11, asyncio)",
    "json": "json: decoding the chunk's JSON",
    "pydantic": "pydantic: one LLMResult",
    "own": "the client's own work: the whole less the above",
    "whole": "the whole chunk",
    "_message_process": "of corvel's own work: _message_process(delta), called from Python",
    "add_message": "of corvel's own work: add_message(assistant, fragment), called from Python",
}


def per_call(step: Callable[[], object], calls: int, loops: int = 5) -> float:
    """Median CPU µs of one call of ``step`` over ``loops`` loops of ``calls`` calls."""
    step()
    times = []
    for _ in range(loops):
        start = cpu()
        for _ in range(calls):
            step()
        times.append((cpu() - start) / calls)
    return statistics.median(times) * 1e6


def read_as_corvel(url: str, fragments: int) -> float:
    """CPU seconds per chunk of reading a streamed answer's body of ``fragments`` chunks as ``invoke`` reads
    it, and nothing more: a chunked body from the socket's buffered file with ``read1`` (dropping the framing
    is corvel's own work), any other with the connection's ``read1``. See :func:`settled`."""
    import requests

    body = {"model": MODEL, "stream": True, "messages": [{"role": "user", "content": PROMPT}]}
    response = requests.post(url, json=body, stream=True, timeout=(10, 600))
    start = settled()
    if response.raw.chunked:
        socket_file, tail = response.raw._fp.fp, b""
        while not tail.endswith(b"\r\n0\r\n\r\n"):  # the last chunk: the connection stays open after it
            piece = socket_file.read1(65536)
            if not piece:
                break
            tail = (tail + piece)[-7:]
    else:
        while response.raw.read1(65536, decode_content=True):
            pass
    spent = cpu() - start
    response.close()
    return spent / fragments


def settled() -> float:
    """The CPU clock, read once the service has written the whole body.

    Read alone, a body is read faster than the service writes it: every read would wait for the next
    chunk and return it alone, paying a system call and a wake-up per chunk that reading in place, slower
    than the service, does not pay. So the body (small enough for the sockets' buffers) is read once it
    has all arrived."""
    time.sleep(SETTLE)
    return cpu()


def read_as_floor(url: str, fragments: int) -> float:
    """CPU seconds per chunk of reading a streamed answer's body as the floor does: ``iter_lines``, nothing
    more."""
    import requests

    body = {"model": MODEL, "stream": True, "messages": [{"role": "user", "content": PROMPT}]}
    response = requests.post(url, json=body, stream=True, timeout=(10, 600))
    start = settled()
    for _ in response.iter_lines():
        pass
    spent = cpu() - start
    response.close()
    return spent / fragments


async def read_as_ainvoke(pool, url: str, fragments: int) -> float:
    """CPU seconds per chunk of reading a streamed answer's body as ``ainvoke`` reads it: httpx's
    ``aiter_bytes`` over a kept-alive connection of a pool, nothing more."""
    import httpx

    body = {"model": MODEL, "stream": True, "messages": [{"role": "user", "content": PROMPT}]}
    request = pool.build_request("POST", url, json=body, timeout=httpx.Timeout(600, connect=10))
    response = await pool.send(request, stream=True)
    await asyncio.sleep(SETTLE)
    start = cpu()
    async for _ in response.aiter_bytes():
        pass
    spent = cpu() - start
    await response.aclose()
    return spent / fragments


def sample_breakdown(url: str, fragments: int, rounds: int, calls: int) -> Samples:
    """``COLUMN|STEP``: CPU µs per chunk, one value per round.

    The whole chunk is measured as the ``stream`` and ``astream`` measures do, and reading the body
    likewise, over the live stream, doing nothing with what arrives. The other steps run ``calls`` times in
    a loop on the very chunk the service sends, as each client does them: corvel decodes text with a
    ``JSONDecoder`` and makes the record from the dict ``_message_process`` gives, the floor decodes the
    line's bytes with ``json.loads`` and makes the record from the content. A step in a tight loop runs with
    warm caches, so the steps are a little under what they cost in place, and "own work" a little over."""
    import httpx

    from corvel.message import MessageRole
    from corvel.modal import LLMResult, LLMStatus
    from corvel.testing import chunk

    line = chunk({"content": "abcde"}).encode()
    text, payload = line.decode()[6:], line[6:]
    decode = json.JSONDecoder(parse_constant=float).decode  # corvel's decoder refuses NaN; same work
    (client,) = async_clients(url, 1)
    client.add_message(MessageRole.user, PROMPT)
    delta = decode(text)["choices"][0]["delta"]
    fields = dict(client._message_process(delta), reasoning_content="", status=LLMStatus.answer)
    urls = {"chunked": url, "length": endpoint(url, "length")}
    read = min(fragments, READ_FRAGMENTS)  # bodies read alone are shorter: see settled()
    samples: Samples = {}

    def put(column: str, step: str, value: float) -> None:
        samples.setdefault(f"{column}|{step}", []).append(value)

    with asyncio.Runner() as runner:
        pool = httpx.AsyncClient()

        async def awaited_whole() -> float:
            client.messages.clear()
            return (await together([converse_corvel(client)], fragments))[0]

        live: dict[tuple[str, str], Callable[[], float]] = {}
        for framing, target in urls.items():
            short = endpoint(url, framing, read)
            live[f"invoke {framing}", "whole"] = lambda target=target: stream_corvel(target, fragments) / fragments
            live[f"invoke {framing}", "reading"] = lambda short=short: read_as_corvel(short, read)
            live[f"floor {framing}", "whole"] = lambda target=target: stream_floor(target, fragments) / fragments
            live[f"floor {framing}", "reading"] = lambda short=short: read_as_floor(short, read)
        live["ainvoke chunked", "whole"] = lambda: runner.run(awaited_whole()) / fragments
        live["ainvoke chunked", "reading"] = lambda: runner.run(read_as_ainvoke(pool, endpoint(url, "chunked", read), read))
        for run in live.values():
            run()  # warm-up, and the kept-alive connections
        steps = list(live.items())
        for r in range(rounds):
            shift = r * 3 % len(steps)
            for (column, step), run in steps[shift:] + steps[:shift]:
                put(column, step, run() * 1e6)
            corvel_json = per_call(lambda: decode(text), calls)
            corvel_record = per_call(lambda: LLMResult(**fields), calls)
            for column in ("invoke chunked", "invoke length", "ainvoke chunked"):
                put(column, "json", corvel_json)
                put(column, "pydantic", corvel_record)
            floor_json = per_call(lambda: json.loads(payload), calls)
            floor_record = per_call(lambda: LLMResult(content="abcde", status=LLMStatus.answer), calls)
            for column in ("floor chunked", "floor length"):
                put(column, "json", floor_json)
                put(column, "pydantic", floor_record)
            processing = per_call(lambda: client._message_process(delta), calls)
            client.messages.clear()
            client.add_message(MessageRole.user, PROMPT)
            adding = per_call(lambda: client.add_message(role=MessageRole.assistant, content="abcde"), calls)
            for column in ("invoke chunked", "invoke length", "ainvoke chunked"):
                put(column, "_message_process", processing)
                put(column, "add_message", adding)
        runner.run(pool.aclose())
        runner.run(client.aclose())
    return samples


def chunk_costs(samples: Samples) -> dict[str, dict[str, float]]:
    """Per column, the median of each step, and the client's own work (the whole less the steps)."""
    costs: dict[str, dict[str, float]] = {column: {} for column in CHUNK_COLUMNS}
    for key, values in samples.items():
        column, step = key.split("|")
        costs[column][step] = statistics.median(values)
    for column in costs.values():
        column["own"] = column["whole"] - column["reading"] - column["json"] - column["pydantic"]
    return costs


def chunk_table(samples: Samples) -> str:
    costs = chunk_costs(samples)
    heads = {"invoke chunked": "invoke, chunked", "floor chunked": "floor, chunked",
             "invoke length": "invoke, Content-Length", "floor length": "floor, Content-Length",
             "ainvoke chunked": "ainvoke, chunked"}
    out = ["| µs per chunk (share of the whole) | " + " | ".join(heads[c] for c in CHUNK_COLUMNS) + " |",
           "|---|" + "---:|" * len(CHUNK_COLUMNS)]
    for step, label in CHUNK_STEPS.items():
        row = []
        for column in CHUNK_COLUMNS:
            value = costs[column].get(step)
            row.append("—" if value is None else f"{value:.2f} ({value / costs[column]['whole'] * 100:.0f}%)")
        out.append(f"| {label} | " + " | ".join(row) + " |")
    out.append("")
    for framing, name in (("chunked", "chunked"), ("length", "framed by Content-Length")):
        ours, floor = costs[f"invoke {framing}"], costs[f"floor {framing}"]
        gap = {step: ours[step] - floor[step] for step in ("reading", "json", "pydantic", "own", "whole")}
        out.append(f"- {name}: invoke costs {gap['whole']:+.2f} µs per chunk against the floor: reading "
                   f"{gap['reading']:+.2f}, json {gap['json']:+.2f}, pydantic {gap['pydantic']:+.2f}, "
                   f"own work {gap['own']:+.2f}.")
    return "\n".join(out)


def rows_breakdown(samples: Samples) -> list[Row]:
    return []  # a table of its own (chunk_table), without goals


# ---------------------------------------------------------------------------------------------------------
# The table, the machine, RESULTS.md

COLUMNS = ("measure", "corvel", "reference", "ratio", "goal", "met?")


def cells(row: Row) -> tuple[str, ...]:
    spread = "" if row.spread != row.spread else f" ±{row.spread * 100:.0f}%"
    unit = f" {row.unit}" if row.unit else ""
    goal, met = ("—", "—") if row.goal is None else (f"<= {row.goal:g}", "yes" if row.met else "NO")
    return (row.measure, f"{number(row.corvel)}{unit}",
            f"{number(row.reference)}{unit} ({row.reference_name})", f"{row.ratio:.3f}{spread}", goal, met)


def text_table(rows: list[Row]) -> str:
    lines = [COLUMNS, *map(cells, rows)]
    widths = [max(len(line[i]) for line in lines) for i in range(len(COLUMNS))]
    rule = "  ".join("-" * w for w in widths)
    out = ["  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() for line in lines]
    return "\n".join([out[0], rule, *out[1:]])


def markdown_table(rows: list[Row]) -> str:
    out = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    out += ["| " + " | ".join(cell.replace("|", "\\|") for cell in cells(row)) + " |" for row in rows]
    return "\n".join(out)


def goal_lines(rows: list[Row]) -> list[str]:
    """One line for each goal missed."""
    return [f"goal missed: {row.measure}: {row.ratio:.3f} > {row.goal:g}" for row in rows if not row.met]


# What a run writes: a tree whose only changes are these still describes its commit.
RESULTS_FILES = ("bench/RESULTS.md", "bench/growth.png")


def checkout() -> tuple[str, list[str]]:
    """The commit checked out (git rev-parse HEAD) and the tracked files changed since, other than the
    results themselves; ("", [why]) outside a git checkout."""
    def git(*args: str) -> str:
        return subprocess.run(["git", *args], cwd=HERE, capture_output=True, text=True, check=True).stdout

    try:
        commit = git("rev-parse", "HEAD").strip()
        status = git("status", "--porcelain", "--untracked-files=no")  # paths relative to the top
    except (OSError, subprocess.CalledProcessError) as error:
        return "", [f"no git checkout to name ({error})"]
    changed = [line[3:].split(" -> ")[-1] for line in status.splitlines()]
    return commit, [path for path in changed if path not in RESULTS_FILES]


PACKAGES = ("corvel", "requests", "urllib3", "pydantic", "pydantic-core", "fastmcp", "mcp", "nanobind",
            "openai", "httpx", "matplotlib")


def machine() -> dict[str, str]:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = []
    for name in PACKAGES:
        try:
            versions.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            pass
    return {
        "CPU": f"{model}, {os.cpu_count()} logical cores",
        "OS": f"{platform.system()} {platform.release()}",
        "Python": f"{platform.python_implementation()} {platform.python_version()}",
        "packages": ", ".join(versions),
    }


HOW = """\
- **stream**: one answer of {fragments:,} chunks of 5 characters, written by `corvel.testing.ScriptedServer` in
  a process of its own (bench/serve.py), one chunk per event. The client's CPU time (`time.process_time`
  of the benchmarking process, which holds only the client) from the request to the last record, divided
  by the number of chunks. corvel: `LLModal.invoke` with `"stream": true`, every record read. openai SDK:
  `chat.completions.create(stream=True)`, every chunk read. Floor: `requests.post(stream=True)`,
  `iter_lines`, `json.loads` and one `LLMResult` per data line, nothing recorded. The same answer comes
  in chunked transfer encoding (one chunk per event) and, as many proxies send it, in a body framed by
  Content-Length (`corvel.testing.Stream(framing="length")`); corvel and the floor read both. The
  service writes faster than any client reads, so a read (corvel's `read1`, of the connection or, for a
  chunked body, of the socket's file) often returns several events at once; the floor's `iter_lines`
  reads a chunked body chunk by chunk through urllib3. {stream}
  rounds, each client of the five going first in turn.
- **astream**: the same chunked answer through `await client.ainvoke(...)` and `async for` over the
  records, against `await openai.AsyncOpenAI().chat.completions.create(stream=True)` and `async for` over
  its chunks; client CPU per chunk. One client of each, reused in one event loop, so both read over a
  connection kept alive from the warm-up. {astream} rounds.
- **concurrent**: {conversations} streamed answers of {conversation_fragments} chunks each, run at once
  with `asyncio.gather` in one event loop. corvel: {conversations} `LLModal` clients, one per conversation
  (each has its own pool of connections); openai: one `AsyncOpenAI` shared by all conversations, the way
  the SDK is meant to be used (its pool keeps up to 100 connections alive). All clients are made before
  the clock starts and reused, after a warm-up round, so both sides read over kept-alive connections.
  Client CPU and wall time for all {conversations} together ({concurrent} rounds; the wall time includes
  waiting for the service, which shares the two cores). Peak memory: resident set size (RSS, not
  tracemalloc, which would miss corvel's native allocations), in a fresh interpreter per side
  ({memory} each): after one warm-up conversation, the kernel's peak (VmHWM) is reset, the clients are made
  (the shared `AsyncOpenAI` before, being no conversation's) and run; (peak − RSS before) / {conversations}.
- **tool turn**: the scripted model asks for two tools at once, then for one more, then answers: three
  requests. corvel: `LLModal.invoke` with a `Tools` registry (it validates every call's arguments with
  pydantic). openai SDK: `chat.completions.create` in the loop an application writes by hand, the same
  functions called with `json.loads`'d arguments, no validation. {turn} rounds, each the median of
  {turns} turns.
- **aturn**: the same turn through `await client.ainvoke(...)` (the client's pool keeps its connection
  alive across requests and turns; the registry's `acall` runs plain functions in worker threads) against
  `invoke` (requests opens a connection per request); wall time (`time.perf_counter`), since what
  keep-alive saves is mostly waiting for the connection and for the service's thread, and the client's
  CPU in the same turns beside it. Measured twice: over HTTPS, as every hosted service is served (a
  second service process with a certificate from a throwaway authority both clients trust), where a new
  connection is a TLS handshake, and over plain HTTP, where a new loopback connection costs next to
  nothing and what is left is each client's own CPU per request (httpx's against requests'). The goal is
  the HTTPS row's. The service counts the connections it accepts: the last row is connections per turn.
  {aturn} rounds on each service, each the median of {aturns} turns of each, the two sides taking turns
  turn by turn so that both see the same load.
- **tool run**: `await tool.run({{"a": 2, "b": 40}})` on `def add(a: int, b: int) -> int`, each tool made
  with `from_function`; {tool} rounds of {calls:,} calls.
- **growth**: `client._body` for conversations of alternating user and assistant messages of about 50
  characters (garbage collection paused inside each timed call, as `timeit` does); the streamed answer
  is bench/stream_growth.py (fed from memory). Goal for the first: per-message cost at the largest size at
  most {growth_body:g} × that at the smallest; for the second: the total time ratio for ten times the
  fragments at most {growth_stream:g}. {growth} rounds. A third curve, without a goal, is the cost of a
  streamed fragment after conversations of 0 to 100,000 messages (the fragments join the history one by one).
- **import**: each round is a fresh interpreter that first imports every module `import corvel.modal`
  loads (found by a first interpreter), then `corvel.modal`; {import} rounds after a warm-up.

Rounds are split over {workers} worker processes run one after the other (the import rounds are
interpreters of their own). Ratios are median corvel / median reference over all rounds; ± is half the
interquartile range of the per-round ratios, relative to their median. Rounds alternate which side runs
first. Every goal is in `GOALS` in bench/run.py."""

BREAKDOWN = """\
CPU µs per chunk of the stream benchmarks' answer ({fragments:,} chunks), {breakdown} rounds. The whole
chunk is measured as in **stream** and **astream**; reading the body as each client reads it, over the live
stream, doing nothing with what arrives (invoke: the socket file's `read1` for a chunked body, the
connection's `read1` otherwise; the floor: `iter_lines`; ainvoke: httpx's `aiter_bytes`); json and pydantic in a loop on
the very chunk the service sends, as each client calls them (corvel decodes text with a `JSONDecoder` and
makes the record from `_message_process`'s fields; the floor calls `json.loads` on the line's bytes). The
client's own work is the rest: for corvel, cutting lines, the delta's processing, recording the fragment
in the conversation, the generator's resumption; for the floor, its loop. Steps timed in a loop run with
warm caches, so the steps are a little under their cost in place and the own work a little over."""


def write_results(rows: list[Row], samples: dict[str, Samples], settings: Settings, commit: str,
                  started: datetime.datetime, seconds: float) -> None:
    met = [row for row in rows if row.goal is not None and row.met]
    goals = [row for row in rows if row.goal is not None]
    missed = [row for row in rows if not row.met]
    rounds = {name: max(1, s["workers"]) * s["rounds"] for name, s in settings.items()}
    subject = subprocess.run(["git", "log", "-1", "--format=%s", commit], cwd=HERE, capture_output=True,
                             text=True).stdout.strip()
    lines = [
        "# corvel benchmarks",
        "",
        f"Written by `make bench` (bench/run.py) at commit `{commit}` ({subject}), on "
        f"{started:%Y-%m-%d %H:%M %Z}, in {seconds:.0f} s.",
        "",
        markdown_table(rows),
        "",
        f"**{len(met)} of {len(goals)} goals met.**"
        + ("" if not missed else " Not met: " + "; ".join(
            f"{row.measure} ({row.ratio:.3f}, goal <= {row.goal:g})" for row in missed) + "."),
        "",
        "## Where a streamed chunk's time goes",
        "",
        chunk_table(samples["breakdown"]),
        "",
        BREAKDOWN.format(fragments=settings["breakdown"]["fragments"], breakdown=rounds["breakdown"]),
        "",
        "## Machine",
        "",
        *(f"- {key}: {value}" for key, value in machine().items()),
        "",
        "## How each is measured",
        "",
        HOW.format(**rounds, fragments=settings["stream"]["fragments"], turns=settings["turn"]["turns"],
                   aturns=settings["aturn"]["turns"], calls=settings["tool"]["calls"],
                   workers=settings["stream"]["workers"],
                   conversations=settings["concurrent"]["conversations"],
                   conversation_fragments=settings["concurrent"]["fragments"],
                   memory=max(1, settings["concurrent"]["workers"] * settings["concurrent"]["memory_processes"]),
                   growth_body=GOALS["growth body"], growth_stream=GOALS["growth stream"]),
    ]
    curves = growth_curves(samples["growth"])
    body, stream = curves["body_ns_per_message"], curves["stream_ms"]
    lines += [
        "",
        "## Growth",
        "",
        "![growth curves](growth.png)",
        "",
        "| messages | `_body` ns per message |",
        "|---:|---:|",
        *(f"| {n:,} | {v:.0f} |" for n, v in body.items()),
        "",
        "| fragments | streamed answer, ms | µs per fragment |",
        "|---:|---:|---:|",
        *(f"| {n:,} | {v:.1f} | {v * 1e3 / n:.2f} |" for n, v in stream.items()),
        "",
        f"Without a goal: a streamed answer of {HISTORY_FRAGMENTS:,} fragments (fed from memory) after a "
        "conversation of N messages.",
        "",
        "| messages before | µs per fragment |",
        "|---:|---:|",
        *(f"| {n:,} | {v:.2f} |" for n, v in curves["chunk_us_by_history"].items()),
    ]
    (HERE / "RESULTS.md").write_text("\n".join(lines) + "\n", encoding="utf-8")


# ---------------------------------------------------------------------------------------------------------
# Running: each measure in worker processes, or here

MEASURES = ("stream", "astream", "concurrent", "turn", "aturn", "tool", "growth", "import", "breakdown")
ON_SERVICE = {"stream", "astream", "concurrent", "turn", "aturn", "breakdown"}  # measures that need bench/serve.py

# workers: processes run one after the other, each doing `rounds` rounds (0: in this process).
FULL: Settings = {
    "stream": {"workers": 3, "rounds": 5, "fragments": FRAGMENTS},
    "astream": {"workers": 3, "rounds": 3, "fragments": FRAGMENTS},
    "concurrent": {"workers": 3, "rounds": 3, "conversations": CONVERSATIONS, "fragments": CONVERSATION_FRAGMENTS,
                   "memory_processes": 1},
    "turn": {"workers": 3, "rounds": 4, "turns": 25},
    "aturn": {"workers": 3, "rounds": 4, "turns": 25},
    "tool": {"workers": 3, "rounds": 7, "calls": 3_000},
    "growth": {"workers": 3, "rounds": 2, "body_sizes": BODY_SIZES, "stream_sizes": STREAM_SIZES},
    "import": {"workers": 0, "rounds": 11},
    "breakdown": {"workers": 3, "rounds": 2, "fragments": FRAGMENTS, "calls": 20_000},
}
QUICK: Settings = {
    "stream": {"workers": 0, "rounds": 1, "fragments": 200},
    "astream": {"workers": 0, "rounds": 1, "fragments": 200},
    "concurrent": {"workers": 0, "rounds": 1, "conversations": 5, "fragments": 20, "memory_processes": 0},
    "turn": {"workers": 0, "rounds": 1, "turns": 2},
    "aturn": {"workers": 0, "rounds": 1, "turns": 2},
    "tool": {"workers": 0, "rounds": 1, "calls": 20},
    "growth": {"workers": 0, "rounds": 1, "body_sizes": (100, 1_000), "stream_sizes": (200, 2_000),
               "messages_per_round": 20_000, "history_sizes": (0, 100), "history_fragments": 200},
    "import": {"workers": 0, "rounds": 1},
    "breakdown": {"workers": 0, "rounds": 1, "fragments": 200, "calls": 100},
}
SAMPLERS: dict[str, Callable[..., Samples]] = {
    "stream": sample_stream, "astream": sample_astream, "concurrent": sample_concurrent, "turn": sample_turn,
    "aturn": sample_aturn, "tool": sample_tool, "growth": sample_growth, "import": sample_import,
    "breakdown": sample_breakdown,
}
ROWS: dict[str, Callable[[Samples], list[Row]]] = {
    "stream": rows_stream, "astream": rows_astream, "concurrent": rows_concurrent, "turn": rows_turn,
    "aturn": rows_aturn, "tool": rows_tool, "growth": rows_growth, "import": rows_import,
    "breakdown": rows_breakdown,
}


def sample(name: str, settings: dict[str, Any], url: str | None) -> Samples:
    """One process's samples of a measure."""
    arguments = {key: value for key, value in settings.items() if key != "workers"}
    if name in ON_SERVICE:
        arguments["url"] = url
    return SAMPLERS[name](**arguments)


def sample_in_workers(name: str, settings: dict[str, Any], url: str | None) -> Samples:
    if not settings["workers"]:
        return sample(name, settings, url)
    pooled: Samples = {}
    for _ in range(settings["workers"]):
        command = [sys.executable, str(Path(__file__).resolve()), "--worker", name,
                   "--settings", json.dumps(settings)] + (["--url", url] if url else [])
        done = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
        for key, values in json.loads(done.stdout.strip().splitlines()[-1]).items():
            pooled.setdefault(key, []).extend(values)
    return pooled


def run(names: Sequence[str] = MEASURES, quick: bool = False, report: Callable[[str], None] | None = print):
    """Run the named measures: the rows of the table, each measure's samples, the settings."""
    settings = QUICK if quick else FULL
    rows: list[Row] = []
    samples: dict[str, Samples] = {}
    service = Service(settings["stream"]["fragments"]) if ON_SERVICE & set(names) else None
    try:
        for name in MEASURES:
            if name not in names:
                continue
            clock = time.perf_counter()
            samples[name] = sample_in_workers(name, settings[name], service.url if service else None)
            rows += ROWS[name](samples[name])
            if report:
                s = settings[name]
                report(f"{name}: {max(1, s['workers']) * s['rounds']} rounds, {time.perf_counter() - clock:.0f} s")
    finally:
        if service:
            service.close()
    return rows, samples, settings


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("measures", nargs="*", metavar="NAME",
                        help=f"run only these: {', '.join(MEASURES)} (default: all)")
    parser.add_argument("--quick", action="store_true",
                        help="a few iterations of each, in this process, to check they run; writes nothing "
                             "and enforces no goal")
    parser.add_argument("--worker", choices=MEASURES, help=argparse.SUPPRESS)  # bench/run.py's own workers
    parser.add_argument("--memory", choices=("corvel", "openai"), help=argparse.SUPPRESS)  # and memory probes
    parser.add_argument("--settings", help=argparse.SUPPRESS)
    parser.add_argument("--url", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        settings = json.loads(args.settings)
        print(json.dumps(sample(args.worker, settings, args.url)))
        return 0
    if args.memory:
        print(json.dumps(memory_per_conversation(args.memory, args.url, **json.loads(args.settings))))
        return 0
    names = tuple(args.measures) or MEASURES
    if unknown := set(names) - set(MEASURES):
        parser.error(f"unknown measure {sorted(unknown)[0]!r}: choose from {', '.join(MEASURES)}")
    commit, changed = checkout()
    started, clock = datetime.datetime.now().astimezone(), time.perf_counter()
    rows, samples, settings = run(names, args.quick)
    seconds = time.perf_counter() - clock
    print()
    print(text_table(rows))
    if "breakdown" in samples:
        print("\nWhere a streamed chunk's time goes:\n")
        print(chunk_table(samples["breakdown"]))
    goals = [row for row in rows if row.goal is not None]
    print(f"\n{sum(row.met for row in goals)} of {len(goals)} goals met ({seconds:.0f} s).")
    if args.quick:
        return 0  # a few iterations measure nothing worth a verdict
    # The results must describe one commit: the tree has to be as committed, before and after the run.
    after, changed_after = checkout()
    if after != commit:
        changed_after.append(f"HEAD moved from {commit or '?'} to {after or '?'} during the run")
    unclean = sorted(set(changed + changed_after))
    if unclean and (set(names) == set(MEASURES) or "growth" in samples):
        print(f"\nDIRTY TREE: results not written. They would not describe commit {commit or '?'}: "
              + "; ".join(unclean), file=sys.stderr)
    elif set(names) == set(MEASURES):
        write_results(rows, samples, settings, commit, started, seconds)
        plot_growth(growth_curves(samples["growth"]), HERE / "growth.png")
        print(f"wrote bench/RESULTS.md and bench/growth.png for commit {commit}")
    elif "growth" in samples:
        plot_growth(growth_curves(samples["growth"]), HERE / "growth.png")
        print(f"wrote bench/growth.png for commit {commit} (RESULTS.md is written by a run of every measure)")
    missed = goal_lines(rows)
    for line in missed:
        print(line, file=sys.stderr)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
