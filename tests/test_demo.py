"""The demo, `python -m corvel`: the scripted conversation, and one line for each way a real service fails."""

import pytest

import corvel.modal
from corvel.__main__ import main
from corvel.testing import HangUp, message, stream
from support import refused_url


def test_scripted_conversation(capsys):
    assert main([]) == 0
    out = capsys.readouterr().out
    # the streamed turn's reasoning fragments join into the planned text
    assert "  [reasoning] The user wants to know about Lyon. I need its weather and its distance from Paris.\n" in out
    assert out.count("assistant> Lyon is sunny at 18 °C today, and 391.6 km from Paris as the crow flies.\n") == 2


@pytest.mark.parametrize("reply, streamed, line", [
    (None, False, "cannot reach {url}"),
    (message("late").delayed(30), False, "{url} stalled: nothing arrived within the read time-out"),
    (stream(["a", "b"]).stall_after(3, 30), True, "{url} stalled: nothing arrived within the read time-out"),
    (HangUp(), False, "the connection to {url} broke off (ConnectionError)"),
    (stream(["a", "b"]).cut(3), True, "the connection to {url} broke off (ChunkedEncodingError)"),
])
def test_real_service_failures(server, monkeypatch, capsys, reply, streamed, line):
    make = corvel.modal.LLModal

    def quick(**kwargs):  # a short read time-out: the stalls are the faults here
        client = make(**kwargs)
        client._timeout = (5, 0.3)
        return client

    monkeypatch.setattr(corvel.modal, "LLModal", quick)
    url = server.url if reply else refused_url()
    server.extend([reply] if reply else [])
    assert main(["--endpoint", url, "--model", "m", *(["--stream"] if streamed else []), "hi"]) == 1
    assert capsys.readouterr().err == "corvel: " + line.format(url=url) + "\n"
