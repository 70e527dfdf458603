"""corvel.cython._convert_to_content: a tool's result as protocol content blocks."""

from __future__ import annotations

import inspect
import logging

import pytest
from mcp.types import ImageContent
from pydantic import BaseModel, ValidationError
from support import model_state

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


class Point(BaseModel):
    x: int


class Text(str):
    pass


# The blocks made without validation are those their classes make: compared with the module's shortcuts off.
@pytest.mark.parametrize(
    ("result", "kwargs"),
    [
        ("plain", {}), ("", {}), ("\ud800 alone", {}), (42, {}), (-2**63, {}), (2**64, {}), (True, {}), (0.5, {}),
        ({"a": [1, None]}, {}), (Point(x=1), {}), ([1, "two"], {}), ((1, 2), {"_process_as_single_item": True}),
        (None, {}), (PNG, {}), (Audio(data=b"RIFF", format="wav"), {}), (File(data=b"%PDF", format="pdf"), {}),
        (BLOCK, {}), ([BLOCK, PNG, 3], {}), (3, {"serializer": repr}), ({"a": 1}, {"serializer": fails}),
        (3, {"serializer": Text}),
    ],
)
def test_blocks_are_those_their_classes_make(monkeypatch, result, kwargs):
    made = _convert_to_content(result, **kwargs)
    monkeypatch.setattr(corvel.cython, "__originals__", None)
    assert [model_state(b) for b in made] == [model_state(b) for b in _convert_to_content(result, **kwargs)]


@pytest.mark.parametrize("serializer", [lambda v: 3, lambda v: None])
def test_texts_that_are_no_str_fail_as_validation_does(monkeypatch, serializer):
    with pytest.raises(ValidationError) as made:
        _convert_to_content(1, serializer=serializer)
    monkeypatch.setattr(corvel.cython, "__originals__", None)
    with pytest.raises(ValidationError) as validated:
        _convert_to_content(1, serializer=serializer)
    assert str(made.value) == str(validated.value)


def test_replaced_classes_and_serializers_are_called(monkeypatch):
    class Own(TextContent):
        pass

    monkeypatch.setattr(corvel.cython, "TextContent", Own)
    monkeypatch.setattr(corvel.cython, "default_serializer", lambda value: f"<{value}>")
    assert model_state(_convert_to_content(3)[0]) == model_state(Own(type="text", text="<3>"))
    monkeypatch.undo()
    init = TextContent.__init__
    monkeypatch.setattr(TextContent, "__init__", lambda self, **data: init(self, **{**data, "text": "own"}))
    assert _convert_to_content("x")[0].text == "own"


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
