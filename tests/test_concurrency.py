"""Eight threads, each with its own client and conversation, talking to one local service at once.

The service answers from what each request carries, so an answer that reached the wrong conversation, or a
request that carried another thread's messages, shows as a mismatch.
"""

from __future__ import annotations

import re
import threading

from corvel.message import MessageRole
from corvel.modal import LLModal, LLMStatus
from corvel.testing import RecordedRequest, answer, completion, stream, tool_call
from corvel.tools import Tools

THREADS, TURNS = 8, 24


def responder(request: RecordedRequest):
    """Even turns ask for the `tag` tool first; the answer names the prompt (and the tool's result)."""
    messages = request.json["messages"]
    last = messages[-1]
    prompt = next(m["content"] for m in reversed(messages) if m["role"] == "user")
    turn = int(re.fullmatch(r"t\d+-(\d+)", prompt).group(1))
    streamed = request.json.get("stream", False)
    if last["role"] == "user" and turn % 2 == 0:
        calls = [tool_call(f"call-{prompt}", "tag", {"text": prompt})]
        return stream(tool_calls=calls, line_delay=0.001) if streamed else answer(completion(tool_calls=calls))
    text = f"answer to {prompt}" + (f" with {last['content']}" if last["role"] == "tool" else "")
    if streamed:
        return stream([text[:7], text[7:]], reasoning=[f"thinking about {prompt}"], line_delay=0.001)
    return answer(completion(text, reasoning_content=f"thinking about {prompt}"))


def expected_answer(prompt: str, turn: int) -> str:
    return f"answer to {prompt}" + (f" with tagged {prompt}" if turn % 2 == 0 else "")


def converse(number: int, url: str, tools: Tools, start: threading.Barrier, errors: list) -> LLModal:
    client = LLModal(endpoint_url=url, tools=tools, system_prompt=f"you are thread {number}")
    client._timeout = (5, 20)
    start.wait()
    try:
        for turn in range(TURNS):
            prompt = f"t{number}-{turn}"
            client.extra_body["stream"] = turn % 3 != 0
            result = client.invoke(prompt)
            if client.stream:
                records = list(result)
                text = "".join(r.content for r in records if r.status == LLMStatus.answer)
                reasoning = "".join(r.reasoning_content for r in records if r.status == LLMStatus.reason)
            else:
                text, reasoning = result.content, result.reasoning_content
            assert (text, reasoning) == (expected_answer(prompt, turn), f"thinking about {prompt}")
    except BaseException as exc:  # reported by the main thread
        errors.append((number, exc))
    return client


def test_eight_threads_keep_their_conversations_apart(server):
    server.default = responder
    tools = Tools()

    @tools.register
    def tag(text: str) -> str:
        return f"tagged {text}"

    start = threading.Barrier(THREADS)
    errors: list = []
    clients: dict[int, LLModal] = {}
    threads = [threading.Thread(target=lambda n=n: clients.__setitem__(n, converse(n, server.url, tools, start, errors)))
               for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert errors == []

    for number, client in clients.items():
        prompts = [f"t{number}-{turn}" for turn in range(TURNS)]
        by_role = {role: [m for m in client.messages if m.role == role] for role in MessageRole}
        assert [m.contents for m in by_role[MessageRole.system]] == [[f"you are thread {number}"]]
        assert [m.contents for m in by_role[MessageRole.user]] == [[p] for p in prompts]
        answers = [m.contents for m in by_role[MessageRole.assistant] if not m.tool_calls]
        assert answers == [[expected_answer(p, turn)] for turn, p in enumerate(prompts)]
        assert [m.contents for m in by_role[MessageRole.tool]] == [[f"tagged {p}"] for p in prompts[::2]]
        assert client.tool_calls == [] and client._tool_calls_count == 0

    requests_seen = server.requests
    assert len(requests_seen) == THREADS * (TURNS + TURNS // 2)
    for request in requests_seen:  # each request carried one conversation only
        owner = request.json["messages"][0]["content"].removeprefix("you are thread ")
        tags = set(re.findall(r"t(\d+)-\d+", str(request.json["messages"])))
        assert tags == {owner}
