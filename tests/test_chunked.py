"""Chunked bodies byte for byte: a blocking turn drops the framing itself, so its corners are sent by hand."""

from __future__ import annotations

import gzip
import os
import socket
import ssl
import threading
import time

import httpx
import pytest
import requests
import trustme

from corvel.modal import LLModal
from corvel.testing import chunk

from support import FALLBACK, raised, raw_service

EVENTS = "".join(line + "\n\n" for line in (chunk({"content": "Hel"}), chunk({"content": "lo"}),
                                               chunk({}, "stop"))).encode()


def framed(body: bytes, size: int, *, size_format: bytes = b"%x", extension: bytes = b"") -> bytes:
    """``body`` in chunks of ``size`` bytes, without the last chunk."""
    return b"".join(size_format % len(body[i:i + size]) + extension + b"\r\n" + body[i:i + size] + b"\r\n"
                    for i in range(0, len(body), size))


def head(*headers: bytes) -> bytes:
    return b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n" + \
        b"".join(h + b"\r\n" for h in headers) + b"\r\n"


@pytest.mark.parametrize("response, piece", [
    # Sizes in capitals with extensions, a trailer section, each write three bytes so that size lines,
    # data and line breaks are split across reads.
    (head() + framed(EVENTS, 29, size_format=b"%X", extension=b";name=value") + b"0;last\r\nExpires: 0\r\n\r\n", 3),
    (head() + framed(EVENTS, 1000, size_format=b"%020x") + b"0\r\n\r\n", 1 << 20),  # one read; zeros
    (head() + framed(EVENTS, 7) + b"0\r\n", 1 << 20),  # closed within the trailer section: complete
    # A content coding is decoded by urllib3 as ever.
    (head(b"Content-Encoding: gzip") + framed(gzip.compress(EVENTS), 16) + b"0\r\n\r\n", 1 << 20),
])
def test_chunk_framing_is_dropped(turn, response, piece):
    client = LLModal(endpoint_url=raw_service(response, piece=piece), extra_body={"stream": True})
    assert "".join(r.content for r in turn(client, "hi")) == "Hello"


@pytest.mark.parametrize("response", [
    head() + b"zz\r\n" + EVENTS,  # no size
    head() + b"5\r\n" + EVENTS[:9] + b"\r\n0\r\n\r\n",  # more data than its size said
    head() + b"1" * 5000 + b"\r\n",  # a size line without end
    head() + framed(EVENTS, 20)[:-30],  # closed inside a chunk
    head() + framed(EVENTS.rsplit(b"data:", 1)[0], 20),  # closed between chunks, the answer unfinished
])
def test_a_broken_chunked_body_fails_the_turn(turn, response, capsys):
    client = LLModal(endpoint_url=raw_service(response), extra_body={"stream": True})
    with pytest.raises(raised(turn, requests.exceptions.ChunkedEncodingError, httpx.HTTPError)):
        list(turn(client, "hi"))
    assert "Error parsing LLM response: " in capsys.readouterr().out
    assert client.messages[-1].contents[-1] in ("Hello", "Hel", FALLBACK)


def test_a_tls_fault_inside_the_body_is_an_ssl_error(tmp_path, monkeypatch, capsys):
    authority = trustme.CA()
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("127.0.0.1").configure_cert(tls)
    authority.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(tmp_path / "ca.pem"))
    listener = socket.create_server(("127.0.0.1", 0))

    def serve() -> None:
        with listener, tls.wrap_socket(listener.accept()[0], server_side=True) as conn:
            received = b""
            while not received.endswith(b"}"):  # the end of the request's JSON body
                received += conn.recv(65536)
            conn.sendall(head() + framed(EVENTS[:60], 30))
            time.sleep(0.1)
            os.write(conn.fileno(), b"not a TLS record\r\n")  # under the encryption, on the wire itself
            time.sleep(1)

    threading.Thread(target=serve, daemon=True).start()
    client = LLModal(endpoint_url=f"https://127.0.0.1:{listener.getsockname()[1]}/v1", extra_body={"stream": True})
    with pytest.raises(requests.exceptions.SSLError):
        list(client.invoke("hi"))
    assert "Error parsing LLM response: " in capsys.readouterr().out
