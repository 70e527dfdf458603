"""Opt-in retries: what is sent again, how long the client waits, and what the application sees."""

from __future__ import annotations

import email.utils
import logging
import time

import httpx
import pytest
import requests

import corvel._retry
from corvel.modal import LLModal
from corvel.testing import answer, message, stream

from support import FALLBACK, make_tools, raised, refused_url


@pytest.fixture
def retries(monkeypatch, tmp_path):
    """Sets the option for the "llm" section; backoffs are shortened so that the tests do not wait."""
    monkeypatch.setenv("CORVEL_CONFIG", str(tmp_path / "absent.toml"))
    monkeypatch.setattr(corvel._retry, "BASE", 0.001)
    return lambda value: monkeypatch.setenv("CORVEL_LLM_RETRIES", str(value))


def client(server, **fields):
    return LLModal(endpoint_url=server.url, tools=make_tools(), **fields)


def retried(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "corvel" and r.levelno == logging.WARNING]


@pytest.mark.parametrize("streamed", [False, True])
def test_busy_answers_are_retried_silently(turn, server, retries, capsys, caplog, streamed):
    retries(2)
    server.extend([answer({"error": "busy"}, 503), answer({"error": "busy"}, 503),
                   stream(["fine"]) if streamed else message("fine")])
    c = client(server, extra_body={"stream": streamed}, section="llm")
    result = turn(c, "q")
    assert ("".join(r.content for r in result) if streamed else result.content) == "fine"
    assert len(server.requests) == 3 and capsys.readouterr().out == ""
    logged = retried(caplog)
    assert [line.split(";")[1] for line in logged] == [" retry 1 of 2 in " + logged[0].split(" in ")[1],
                                                        " retry 2 of 2 in " + logged[1].split(" in ")[1]]
    assert all(line.startswith("request failed (status 503)") for line in logged)
    assert [m.contents for m in c.messages] == [["q"], ["fine"]]


def test_retry_after_is_honoured(turn, server, retries, caplog):
    retries(1)
    server.extend([answer("slow down", 429, headers={"Retry-After": "1"}), message("ok")])
    started = time.monotonic()
    assert turn(client(server), "q").content == "ok"
    assert time.monotonic() - started >= 0.9 and retried(caplog)[0].endswith("retry 1 of 1 in 1.00 s")


@pytest.mark.parametrize(
    "replies, error, requests_sent",
    [
        # Not retried: a status that does not say "busy", and an answer already being read.
        ([answer({"error": "bad"}, 400)], ValueError, 1),
        ([stream(["abc", "def"]).cut(4), message("never")], (requests.exceptions.ChunkedEncodingError, httpx.TransportError), 1),
        # Retried until the retries are used up: then the last failure, as a single failure would be.
        ([answer({"error": "busy"}, 503)] * 3, ValueError, 3),
    ],
)
def test_what_is_not_retried_fails_as_a_single_failure(turn, server, retries, capsys, caplog, replies, error, requests_sent):
    retries(2)
    server.extend(replies)
    streamed = any(not hasattr(r, "body") for r in replies)
    c = client(server, extra_body={"stream": streamed})
    with pytest.raises(raised(turn, *error) if isinstance(error, tuple) else error):
        result = turn(c, "q")
        if streamed:
            list(result)
    assert len(server.requests) == requests_sent and len(retried(caplog)) == requests_sent - 1
    assert capsys.readouterr().out.count("\n") == 1
    assert [m.contents for m in c.messages] == [["q"], [FALLBACK]] if not streamed else c.messages[-1].contents == ["abc"]


def test_a_refused_connection_is_retried(turn, retries, capsys, caplog):
    retries(1)
    with pytest.raises(raised(turn, requests.ConnectionError, httpx.ConnectError)):
        turn(LLModal(endpoint_url=refused_url()), "q")
    assert len(retried(caplog)) == 1 and capsys.readouterr().out.startswith("LLM request error: ")


@pytest.mark.parametrize("value", ["x", "11", "-1", "2.5"])
def test_a_bad_option_value_fails_the_request(turn, server, retries, capsys, value):
    retries(value)
    with pytest.raises(ValueError, match=f"^the option retries of section 'llm' must be a whole number from 0 to 10, not '{value}'$"):
        turn(client(server), "q")
    assert server.requests == [] and capsys.readouterr().out.startswith("LLM request error: the option retries")


@pytest.mark.parametrize(
    "after, seconds",
    [("3", 3.0), ("600", 60.0), (30, 30.0), (-5, 0.0), ("soon", None)],  # a number: an HTTP date that far off
)
def test_retry_after_values(after, seconds):
    if isinstance(after, int):
        after = email.utils.formatdate(time.time() + after, usegmt=True)
    wait = corvel._retry.delay(0, {"Retry-After": after})
    if seconds is None:  # not understood: the backoff instead
        assert 0 <= wait <= corvel._retry.BASE
    else:
        assert wait == pytest.approx(seconds, abs=1.5)
    assert all(0 <= corvel._retry.delay(n) <= 8 for n in range(10))
