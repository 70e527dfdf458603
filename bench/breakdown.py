"""Where corvel's client CPU goes: each step of a streamed chunk and of a tool-turn request, timed alone.

    python bench/breakdown.py

A profiler tells which steps are hot; this tells what each one costs, in the units the benchmarks use
(µs of CPU per chunk, per request), so that a change to one step can be checked on its own. Each step is
called in a loop on the values the client really handles (the same chunk line, delta, message and tool
calls as bench/serve.py sends), median of several loops; the whole chunk and the whole request are then
measured as bench/run.py does, and the difference between the whole and the sum of the steps is the glue
between them (method and global lookups, the generator's resumption, argument passing).

The chunk's table is the one `make bench` writes into bench/RESULTS.md (bench/run.py's ``breakdown``
measure): corvel's own work against what requests and urllib3 (httpx for ``ainvoke``), json and pydantic
cost, for each framing, beside the floor.

A step timed in a tight loop runs with warm caches, so the sum of the steps is a little under the whole.
"""

import json
import statistics
import sys
import warnings
from pathlib import Path
from urllib.parse import urlsplit

warnings.filterwarnings("ignore", category=DeprecationWarning)
sys.path.insert(0, str(Path(__file__).resolve().parent))

import run  # noqa: E402
import stream_growth  # noqa: E402
from run import per_call  # noqa: E402


def show(title: str, steps: list[tuple[str, float]], whole: tuple[str, float], unit: str) -> None:
    print(f"\n{title}")
    total = whole[1]
    for name, cost in steps:
        print(f"  {cost:8.2f} {unit}  {cost / total * 100:5.1f}%  {name}")
    glue = total - sum(cost for _, cost in steps)
    print(f"  {glue:8.2f} {unit}  {glue / total * 100:5.1f}%  the rest: glue between the steps")
    print(f"  {total:8.2f} {unit}  100.0%  {whole[0]}")


def chunk_steps(url: str, fragments: int) -> None:
    samples = run.sample_breakdown(url, fragments, rounds=3, calls=20_000)
    print(f"\nPer streamed chunk ({fragments:,} chunks from bench/serve.py), CPU µs\n")
    print(run.chunk_table(samples))
    own = stream_growth.run(fragments, 5) / fragments * 1e6
    print(f"\n  {own:.2f} µs: corvel's work without the HTTP layer, the same answer fed from memory "
          "(bench/stream_growth.py)")


def request_steps(url: str) -> None:
    import http.client

    import requests

    from corvel.message import MessageRole
    from corvel.modal import LLModal, LLMResult
    from corvel.testing import tool_call

    tools, functions = run.turn_tools()
    client = LLModal(endpoint_url=url, tools=tools, extra_body={"model": run.MODEL})
    client.add_message(MessageRole.user, run.PROMPT)
    headers, body = client._headers, client._body
    session = requests.Session()
    address = urlsplit(url)

    def plain_post() -> object:  # what corvel's request is, for its first request of a turn
        return requests.post(url, headers=headers, json=body, timeout=client._timeout).json()

    def session_post() -> object:
        return session.post(url, headers=headers, json=body, timeout=client._timeout).json()

    def bare_http() -> object:
        connection = http.client.HTTPConnection(address.hostname, address.port, timeout=10)
        connection.request("POST", address.path, json.dumps(body).encode(), headers)
        answer = json.loads(connection.getresponse().read())
        connection.close()
        return answer

    message = plain_post()["choices"][0]["message"]
    first = [tool_call("call_1", "add", {"a": 2, "b": 40}), tool_call("call_2", "weather", {"city": "Lyon", "days": 2})]
    second = [tool_call("call_3", "add", {"a": 1, "b": 1})]
    first_results = tools(first)

    def summaries() -> object:
        calls = client._t_calls_beautify(first)
        results = client._t_results_beautify(calls, first_results)
        return LLMResult(tool_calls=calls, tool_results=results) + LLMResult(content="x")

    def process() -> object:
        processed = client._message_process(message)
        client.tool_calls.clear()  # what _tool_calls does once the pass has run
        return processed

    # A turn is three requests: two passes with 2 and 1 tool calls, and the answer. The costs of the
    # passes are spread over the three requests, as in the whole turn.
    steps = [
        ("_headers: Configurator reads the environment and the config file",
         per_call(lambda: client._headers, 2_000)),
        ("_body: wire messages + extra body + tools.schemas", per_call(lambda: client._body, 2_000)),
        ("Tools(calls): validate, run, result as JSON (3 calls a turn)",
         (per_call(lambda: tools(first), 2_000) + per_call(lambda: tools(second), 2_000)) / 3),
        ("_t_calls_beautify + _t_results_beautify + LLMResult + '+' (2 passes a turn)",
         2 / 3 * per_call(summaries, 2_000)),
        ("_message_process(message) with its tool calls", per_call(process, 2_000)),
    ]
    reference = LLModal(endpoint_url=url, tools=tools, extra_body={"model": run.MODEL})
    for _ in range(20):
        run.turn_corvel(reference)
    whole = statistics.median(run.turn_corvel(reference) for _ in range(200)) / 3 * 1e6
    own = own_work_per_turn(reference, 200) / 3 * 1e6
    steps.insert(0, ("requests.post + .json(): the HTTP layer (the whole less corvel's own work)", whole - own))
    show("Per request of a tool turn (3 requests a turn), CPU µs", steps,
         ("LLModal.invoke, whole turn / 3", whole), "µs")
    sdk = run.openai_client(url)
    schemas = tools.schemas
    for _ in range(20):
        run.turn_openai(sdk, schemas, functions)
    openai_whole = statistics.median(run.turn_openai(sdk, schemas, functions) for _ in range(200)) / 3 * 1e6
    print(f"  {openai_whole:8.2f} µs          the openai SDK's loop, whole turn / 3")
    print(f"  {own:8.2f} µs          corvel's own work: the turn with canned answers in place of requests")
    print(f"  {per_call(plain_post, 200):8.2f} µs          requests.post + .json() alone, first request's body")
    print(f"  {per_call(session_post, 200):8.2f} µs          the same through one reused requests.Session")
    print(f"  {per_call(bare_http, 200):8.2f} µs          the same with http.client, a connection per request")
    print(f"  {per_call(lambda: tools.schemas, 2_000):8.2f} µs          of _body: tools.schemas (deep copies)")
    print(f"  {per_call(lambda: json.dumps(body), 2_000):8.2f} µs          of requests.post: json.dumps(body)")


class Canned:
    """Stands in for the requests module in corvel.modal (its globals are read at call time): each post
    answers with the next of the turn's three replies, already decoded, so no HTTP work is left."""

    class Response:
        status_code = 200

        def __init__(self, body: dict) -> None:
            self.body = body

        def json(self, **options: object) -> dict:  # corvel passes parse_constant
            return self.body

    def __init__(self, turns: int) -> None:
        from corvel.testing import RecordedRequest

        import serve

        def reply(tool_messages: list[str]) -> bytes:
            messages = [{"role": "user"}] + [{"role": "tool", "content": text} for text in tool_messages]
            return serve.tool_turn(RecordedRequest("POST", "/", {}, b"", {"messages": messages})).body

        texts = [reply([]), reply(["42", '{"city":"Lyon","days":2,"sky":"sunny"}']),
                 reply(["42", '{"city":"Lyon","days":2,"sky":"sunny"}', "2"])]
        # Fresh dicts for every request, decoded before the clock starts.
        self.replies = [json.loads(text) for _ in range(turns) for text in reversed(texts)]

    def post(self, *args: object, **kwargs: object) -> "Canned.Response":
        return Canned.Response(self.replies.pop())


def own_work_per_turn(client, turns: int) -> float:
    """Median CPU seconds of a turn with canned answers: everything corvel does besides HTTP."""
    import corvel.modal

    real = corvel.modal.requests
    corvel.modal.requests = Canned(turns + 20)
    try:
        for _ in range(20):
            run.turn_corvel(client)
        return statistics.median(run.turn_corvel(client) for _ in range(turns))
    finally:
        corvel.modal.requests = real


def main() -> None:
    with run.Service(run.FRAGMENTS) as service:
        chunk_steps(service.url, run.FRAGMENTS)
        request_steps(service.url)


if __name__ == "__main__":
    main()
