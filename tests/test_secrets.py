"""The API key never shows: not in a printed line, an exception text, a warning, or the client's repr and dump.

The local service plays a hostile or careless one: it echoes the request, Authorization header included, in
its error bodies and its answers.
"""

from __future__ import annotations

import os
import warnings

import pydantic
import pytest
import requests

from corvel.modal import LLModal
from corvel.testing import HangUp, Stream, answer, chunk, message, stream, tool_call
from corvel.tools import Tools

SECRET = "sk-live-0123456789abcdef"


@pytest.fixture(params=["environment", "file"])
def key(request, tmp_path, monkeypatch):
    """SECRET configured through the environment or through a private TOML file."""
    for name in [n for n in os.environ if n.startswith("CORVEL_")]:
        monkeypatch.delenv(name)
    path = tmp_path / "config.toml"
    path.write_text(f'[llm]\napi_key = "{SECRET}"\n' if request.param == "file" else "")
    path.chmod(0o600)
    monkeypatch.setenv("CORVEL_CONFIG", str(path))
    if request.param == "environment":
        monkeypatch.setenv("CORVEL_LLM_API_KEY", SECRET)
    return SECRET


def echo_headers(status):
    return lambda request: answer({"error": "denied", "request_headers": dict(request.headers)}, status)


def echo_text(status):
    return lambda request: answer(f"key {request.headers['authorization']} refused", status,
                                  content_type="text/plain")


def reasoning_quoting_the_key(request):
    return answer({"choices": [{"message": {"content": "", "reasoning_content": [request.headers["authorization"]]}}]})


def asks_for_tool(mode):
    calls = [tool_call("c1", "noop")]
    return stream(tool_calls=calls) if mode == "stream" else message(tool_calls=calls)


# (failure, replies before it, expected exception, whether the printed line quotes the echo)
CASES = {
    "401-echoing-headers": ([echo_headers(401)], ValueError, True),
    "500-echoing-headers": ([echo_headers(500)], ValueError, True),
    "403-text-quoting-the-key": ([echo_text(403)], ValueError, True),
    "follow-up-401-echoing": (["tool pass", echo_headers(401)], ValueError, True),
    "reset-before-headers": ([lambda request: HangUp()], requests.ConnectionError, False),
    "key-as-a-stream-line": ([lambda request: Stream([f"data: {request.headers['authorization']}"])], ValueError,
                             False),
}


def everything_shown(client, out, exc):
    dump = client.model_dump()
    # requests attaches the request it sent to its exceptions, headers and all.
    sent = [getattr(getattr(owner, "request", None), "headers", None) for owner in (exc, getattr(exc, "response", None))]
    return "\n".join([out, str(exc), repr(exc), repr(exc.args), repr(client), str(client), repr(dump),
                      client.model_dump_json(), repr(client.messages), repr(sent)])


@pytest.mark.parametrize("mode", ["whole", "stream"])
@pytest.mark.parametrize("case", list(CASES))
def test_a_failure_never_shows_the_key(server, capsys, key, mode, case):
    replies, error, quotes = CASES[case]
    tools = Tools()
    tools.register(lambda: "done", name="noop")
    server.extend([asks_for_tool(mode) if r == "tool pass" else r for r in replies])
    client = LLModal(endpoint_url=server.url, tools=tools, extra_body={"stream": mode == "stream"})
    with warnings.catch_warnings(record=True) as caught_warnings, pytest.raises(error) as caught:
        result = client.invoke("q")
        if mode == "stream":
            list(result)
    captured = capsys.readouterr()
    assert all(r.headers["authorization"] == f"Bearer {key}" for r in server.requests)
    shown = everything_shown(client, captured.out + captured.err, caught.value)
    shown += "".join(str(w.message) for w in caught_warnings)
    assert key not in shown
    assert ("[redacted]" in captured.out) is quotes and ("[redacted]" in str(caught.value)) is quotes


def test_a_third_party_exception_passes_unchanged_but_its_line_is_redacted(server, capsys, key):
    # pydantic's error quotes the service's own answer; the caller gets that very exception object, so only
    # the line corvel prints can be redacted.
    server.add(reasoning_quoting_the_key)
    client = LLModal(endpoint_url=server.url)
    with pytest.raises(pydantic.ValidationError):
        client.invoke("q")
    out = capsys.readouterr().out
    assert out.startswith("Error parsing LLM response: ") and "Bearer [redacted]" in out and key not in out


@pytest.mark.parametrize("padded", [f"{SECRET}\r", f" {SECRET}\n"])
def test_a_key_with_surrounding_whitespace_is_sent_trimmed(server, monkeypatch, tmp_path, capsys, padded):
    # Sent as it is, requests refuses the header with an error quoting the key (a key file saved on Windows).
    monkeypatch.setenv("CORVEL_CONFIG", str(tmp_path / "none.toml"))
    monkeypatch.setenv("CORVEL_LLM_API_KEY", padded)
    server.add(echo_headers(401))
    server.add(message("ok"))
    client = LLModal(endpoint_url=server.url)
    with pytest.raises(ValueError) as caught:
        client.invoke("q")
    assert SECRET not in capsys.readouterr().out + str(caught.value)
    assert client.invoke("again").content == "ok"
    assert server.requests[-1].headers["authorization"] == f"Bearer {SECRET}"


@pytest.mark.parametrize("bad", ["sk-live-0123456789\nabcdef", "sk-live-\x1b-0123456789", "sk-live-\x7f-0123456789"])
def test_a_key_with_a_control_character_is_refused_unshown(server, monkeypatch, tmp_path, capsys, bad):
    monkeypatch.setenv("CORVEL_CONFIG", str(tmp_path / "none.toml"))
    monkeypatch.setenv("CORVEL_LLM_API_KEY", bad)
    client = LLModal(endpoint_url=server.url)
    with pytest.raises(ValueError, match="^the option api_key of section 'llm' holds a control character$") as caught:
        client.invoke("q")
    shown = capsys.readouterr().out + repr(caught.value)
    assert server.requests == [] and all(part not in shown for part in bad.split("\n"))


def test_a_short_key_is_not_redacted_from_other_text(server, monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("CORVEL_CONFIG", str(tmp_path / "none.toml"))
    monkeypatch.setenv("CORVEL_LLM_API_KEY", "1")
    server.add(answer("error 1 of 11", status=500, content_type="text/plain"))
    with pytest.raises(ValueError, match="error 1 of 11"):
        LLModal(endpoint_url=server.url).invoke("q")
    assert "error 1 of 11" in capsys.readouterr().out


@pytest.mark.skipif(os.name != "posix", reason="permission bits")
def test_a_shared_config_file_warns_once_and_its_key_is_still_used(server, monkeypatch, tmp_path, capsys):
    monkeypatch.delenv("CORVEL_LLM_API_KEY", raising=False)
    path = tmp_path / "shared.toml"
    path.write_text(f'[llm]\napi_key = "{SECRET}"\n')
    path.chmod(0o644)
    monkeypatch.setenv("CORVEL_CONFIG", str(path))
    server.add(stream(["a"]))
    server.add(answer(f"no: {SECRET}", status=500))
    server.add(message("c"))
    client = LLModal(endpoint_url=server.url, extra_body={"stream": True})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        list(client.invoke("one"))
        client.extra_body["stream"] = False
        with pytest.raises(ValueError):
            client.invoke("two")
        client.invoke("three")
    assert [str(w.message) for w in caught if w.category is UserWarning] == [
        f"configuration file {path} is readable by other users; it may hold secrets (chmod 600 it)"]
    assert [r.headers["authorization"] for r in server.requests] == [f"Bearer {SECRET}"] * 3
    assert SECRET not in capsys.readouterr().out


def test_the_key_is_never_part_of_the_client(server, key):
    server.add(Stream([chunk({"content": "hi"}), chunk({}, "stop")]))
    client = LLModal(endpoint_url=server.url, extra_body={"stream": True})
    list(client.invoke("q"))
    assert client._headers["Authorization"] == f"Bearer {key}"  # read for each request, never stored
    assert key not in repr(client) + str(client) + repr(client.model_dump()) + client.model_dump_json()
    assert key not in repr(vars(client))
