"""What only the awaited turn has: pooled connections per event loop, the one-turn guard, cancellation,
concurrent conversations. The conversation itself is tested through both entry points elsewhere."""

from __future__ import annotations

import asyncio
import gc
import json
import ssl

import pytest
import trustme

import corvel.modal

from corvel.modal import LLModal, LLMStatus
from corvel.testing import ScriptedServer, answer, completion, message, stream, tool_call

from support import FALLBACK, make_tools, raw_service


def client(server, **fields):
    return LLModal(endpoint_url=server.url, tools=make_tools(), **fields)


def at_rest(c):
    return c.tool_calls == [] and c._tool_calls_count == 0


async def test_one_turn_at_a_time(server):
    server.add(message("slow").delayed(0.3))
    server.add(message("next"))
    async with client(server) as c:
        first = asyncio.ensure_future(c.ainvoke("q"))
        await asyncio.sleep(0.05)
        with pytest.raises(RuntimeError, match="^a turn is already running on this client$"):
            await c.ainvoke("again")
        assert (await first).content == "slow"
        assert (await c.ainvoke("next")).content == "next"
        unawaited = c.ainvoke("never awaited")  # creating the coroutine starts nothing
        unawaited.close()
        assert c.messages[-1].contents == ["next"]


async def test_a_tool_turn_keeps_one_connection(server):
    server.add(message(tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})]))
    server.add(message(tool_calls=[tool_call("c2", "add", {"a": 3, "b": 4})]))
    server.add(message("done"))
    async with client(server) as c:
        assert (await c.ainvoke("q")).content == "done"
    assert len(server.requests) == 3 and server.connections == 1


async def test_https_turns(tmp_path, monkeypatch):
    authority = trustme.CA()
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("127.0.0.1").configure_cert(tls)
    authority.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "ca.pem"))
    monkeypatch.setattr(corvel.modal, "_tls_context", None)  # made anew, trusting the authority above
    with ScriptedServer(message(tool_calls=[tool_call("c1", "add", {"a": 1, "b": 2})]), message("secure"),
                        stream("streamed"), tls=tls) as service:
        async with client(service) as c:
            assert (await c.ainvoke("q")).content == "secure"
            c.extra_body["stream"] = True
            assert [r.content async for r in await c.ainvoke("again")] == ["streamed"]
        assert service.connections == 1
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(tmp_path / "ca.pem"))
        service.add(stream(["read ", "blocking"]))  # the blocking turn reads the chunks from the TLS socket
        blocking = client(service, extra_body={"stream": True})
        assert [r.content for r in blocking.invoke("q")] == ["read ", "blocking"]


async def test_an_idle_connection_with_bytes_nobody_asked_for_is_not_reused():
    def reply(text: str) -> bytes:
        body = json.dumps(completion(text)).encode()
        return b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%b" % (
            len(body), body)

    timed_out = b"HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n"  # sent while idle, unasked
    url = raw_service((reply("first"), timed_out), reply("second"), keep_open=True)
    async with LLModal(endpoint_url=url) as c:
        assert (await c.ainvoke("q")).content == "first"
        await asyncio.sleep(0.2)
        assert (await c.ainvoke("again")).content == "second"


async def test_the_calls_of_a_pass_run_together(server):
    tools = make_tools()
    both = asyncio.Barrier(2)

    @tools.register
    async def meet(name: str) -> str:
        await asyncio.wait_for(both.wait(), 10)  # only returns once the other call has started too
        return name

    @tools.register
    def blocking_meet(name: str) -> str:  # a plain function runs in a worker thread, off the loop
        asyncio.run_coroutine_threadsafe(asyncio.wait_for(both.wait(), 10), loop).result()
        return name

    loop = asyncio.get_running_loop()
    server.add(message(tool_calls=[tool_call("c1", "meet", {"name": "a"}), tool_call("c2", "blocking_meet", {"name": "b"})]))
    server.add(message("met"))
    async with LLModal(endpoint_url=server.url, tools=tools) as c:
        result = await c.ainvoke("q")
    assert result.content == "met" and [r.content for r in result.tool_results.values()] == ["a", "b"]


async def test_a_pool_per_client_and_event_loop(server):
    c = client(server)
    server.add(message("a"))
    await c.ainvoke("q")
    pool = c._pool[1]
    assert c._pool is not None
    await c.aclose()
    assert c._pool is None and pool.is_closed

    def in_new_loop():
        server.add(message("b"))
        return asyncio.run(c.ainvoke("q")).content

    # A second event loop (another asyncio.run) gets a pool of its own.
    assert await asyncio.to_thread(in_new_loop) == "b"
    assert c._pool is not None and c._pool[1] is not pool


async def test_a_stream_holds_the_turn_until_it_ends_or_is_dropped(server):
    server.default = stream(["a", "b"])
    async with client(server, extra_body={"stream": True}) as c:
        records = await c.ainvoke("q")
        with pytest.raises(RuntimeError, match="already running"):
            await c.ainvoke("q2")
        assert [r.content async for r in records] == ["a", "b"]
        await c.ainvoke("never iterated")
        gc.collect()  # the stream was dropped: its turn with it
        records = await c.ainvoke("closed early")
        await records.__anext__()
        await records.aclose()
        assert [r.content async for r in await c.ainvoke("q3")] == ["a", "b"]


@pytest.mark.parametrize("stage", ["before the headers", "during a slow tool", "mid-stream", "waiting to retry"])
async def test_cancelling_a_turn(server, capsys, monkeypatch, stage):
    tools = make_tools()
    started = asyncio.Event()

    @tools.register
    async def slow() -> str:
        started.set()
        await asyncio.sleep(30)
        return "late"

    c = LLModal(endpoint_url=server.url, tools=tools, extra_body={"stream": stage == "mid-stream"})
    if stage == "before the headers":
        server.add(message("late").delayed(30))
    elif stage == "waiting to retry":
        monkeypatch.setenv("CORVEL_LLM_RETRIES", "1")
        server.add(answer("busy", 503, headers={"Retry-After": "30"}))
    elif stage == "mid-stream":
        server.add(stream(["first", "never"]).stall_after(4, 30))
    else:
        server.add(message(tool_calls=[tool_call("c1", "slow", {})]))

    async def run_turn():
        result = await c.ainvoke("q")
        if stage == "mid-stream":
            async for record in result:
                started.set()

    task = asyncio.ensure_future(run_turn())
    if stage in ("before the headers", "waiting to retry"):
        await asyncio.sleep(0.2)
    else:
        await asyncio.wait_for(started.wait(), 10)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    # Nothing printed, no fallback answer, the tool state at rest, and the client free for the next turn.
    assert capsys.readouterr().out == "" and at_rest(c) and c._turn is None
    assert all(FALLBACK not in m.contents for m in c.messages)
    server.reset()
    server.add(message("after"))
    c.extra_body.pop("stream")
    assert (await c.ainvoke("again")).content == "after"
    await c.aclose()


async def test_a_hundred_conversations_at_once(server):
    def reply(request):
        prompt = request.json["messages"][-1]["content"]
        return message(f"answer to {prompt}")

    server.default = reply
    clients = [client(server) for _ in range(100)]
    results = await asyncio.gather(*(c.ainvoke(f"q{i}") for i, c in enumerate(clients)))
    assert [r.content for r in results] == [f"answer to q{i}" for i in range(100)]
    assert all(c.messages[-1].contents == [f"answer to q{i}"] for i, c in enumerate(clients))
    await asyncio.gather(*(c.aclose() for c in clients))
