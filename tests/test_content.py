"""corvel.cython._convert_to_content: a tool's result as protocol content blocks."""

from __future__ import annotations

import inspect
import logging

import pytest
from mcp.types import ImageContent

import corvel.cython  # before fastmcp: importing corvel.cython keeps fastmcp's import-time deprecations quiet
from corvel.cython import Audio, File, Image, TextContent, _convert_to_content, default_serializer

PNG = Image(data=b"\x89PNG", format="png")
BLOCK = TextContent(type="text", text="block")


def text(value) -> TextContent:
    return TextContent(type="text", text=value)


def fails(value):
    raise ValueError("cannot")


@pytest.mark.parametrize(
    ("result", "kwargs", "expected"),
    [
        (None, {}, []),
        ([], {}, []),
        ((), {}, []),
        ("as is", {"serializer": fails}, [text("as is")]),
        ({"a": [1]}, {}, [text('{"a":[1]}')]),
        ({"a": 1}, {"serializer": repr}, [text("{'a': 1}")]),
        (3, {"serializer": lambda v: f"<{v}>"}, [text("<3>")]),
        ([PNG, "short", 7], {}, [text('["short",7]'), PNG.to_image_content()]),
        ((PNG, "short", 7), {"serializer": repr}, [text("['short', 7]"), PNG.to_image_content()]),
        ([BLOCK, 1, PNG, BLOCK], {}, [text("[1]"), BLOCK, PNG.to_image_content(), BLOCK]),
        ([BLOCK, PNG], {}, [BLOCK, PNG.to_image_content()]),
        ([PNG, "short"], {"_process_as_single_item": True}, [text(default_serializer([PNG, "short"]))]),
        ((1, 2), {"_process_as_single_item": True}, [text("[1,2]")]),
        (["only"], {}, [text('["only"]')]),
    ],
)
def test_conversion(result, kwargs, expected):
    assert _convert_to_content(result, **kwargs) == expected


def test_blocks_and_media_convert_themselves():
    assert _convert_to_content(BLOCK)[0] is BLOCK and _convert_to_content([BLOCK])[0] is BLOCK
    audio, file = Audio(data=b"RIFF", format="wav"), File(data=b"%PDF", format="pdf", name="doc")
    assert _convert_to_content(audio) == [audio.to_audio_content()]
    assert _convert_to_content(file) == [file.to_resource_content()]
    assert isinstance(_convert_to_content(PNG)[0], ImageContent)


def test_failing_serializer_warns_with_traceback(caplog):
    with caplog.at_level(logging.WARNING, logger=corvel.cython.logger.name):
        blocks = _convert_to_content({"a": 1}, serializer=fails)
    assert blocks == [text('{"a":1}')]
    (record,) = [r for r in caplog.records if r.name == corvel.cython.logger.name]
    assert record.levelno == logging.WARNING and record.getMessage() == "Error serializing tool result: cannot"
    error = record.exc_info[1]
    assert type(error) is ValueError and error.__traceback__ is not None
    assert record.args == (error,)


def test_failing_default_serializer_propagates(monkeypatch):
    def broken(value):
        raise RuntimeError("default broke")

    monkeypatch.setattr(corvel.cython, "default_serializer", broken)
    with pytest.raises(RuntimeError, match="default broke") as caught:
        _convert_to_content({"a": 1}, serializer=fails)
    assert type(caught.value.__context__) is ValueError  # raised while the serializer's failure was handled
    with pytest.raises(RuntimeError):
        _convert_to_content([1])


def test_interrupts_are_not_swallowed():
    def interrupt(value):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _convert_to_content(1, serializer=interrupt)


def test_signature():
    assert str(inspect.signature(_convert_to_content)) == (
        "(result: 'Any', serializer: 'Callable[[Any], str] | None' = None, "
        "_process_as_single_item: 'bool' = False) -> 'list[ContentBlock]'"
    )
    assert _convert_to_content.__doc__ == "Convert a result to a sequence of content objects."
    with pytest.raises(TypeError, match=r"'_process_as_single_item' has incorrect type \(expected bool, got int\)"):
        _convert_to_content([1], None, 1)
    with pytest.raises(TypeError):
        _convert_to_content(1, None, False, 4)


def test_no_leak(no_leak):
    mixed = [PNG, "short", 7, BLOCK]
    no_leak(lambda: _convert_to_content(mixed, serializer=repr), calls=20_000)
