"""Random nested values through corvel.cython._convert_to_content, the tool result's content blocks.

Input: a FuzzedDataProvider stream: a nested value of lists, tuples, dicts, texts, bytes, numbers, protocol
content blocks and media (Image, Audio, File), sometimes holding itself; a serializer (none, `repr`, one that
raises, one that answers something other than text); and the single-item flag.

Fine: ValueError (pydantic refusing a serializer's non-text answer, a value holding itself), TypeError, and
Python's recursion limit. A result is a list of content blocks.
"""

from __future__ import annotations

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(__file__))

with atheris.instrument_imports(include=["corvel", "json", "_harness"]):
    from _harness import guarded, run, value
    import corvel.cython
    from corvel.cython import Audio, File, Image, TextContent, _convert_to_content

from mcp.types import AudioContent, EmbeddedResource, ImageContent, ResourceLink

ALLOWED = (ValueError, TypeError, RecursionError)
BLOCKS = (TextContent, ImageContent, AudioContent, EmbeddedResource, ResourceLink)


class _QuietLogger:
    """The failing serializer's warning would print a traceback per input."""

    def warning(self, *args, **kwargs) -> None:
        pass


corvel.cython.logger = _QuietLogger()  # looked up at call time


def refuses(value: object) -> str:
    raise RuntimeError("cannot serialise")


@atheris.instrument_func
def media(fdp: atheris.FuzzedDataProvider) -> object:
    data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return Image(data=data, format=fdp.PickValueInList(["png", "jpeg", ""]))
    if kind == 1:
        return Audio(data=data, format=fdp.PickValueInList(["wav", "mp3"]))
    if kind == 2:
        return File(data=data, format="pdf", name=fdp.ConsumeUnicodeNoSurrogates(4) or None)
    return TextContent(type="text", text=fdp.ConsumeUnicodeNoSurrogates(6))


@atheris.instrument_func
def nested(fdp: atheris.FuzzedDataProvider, depth: int = 3) -> object:
    kind = fdp.ConsumeIntInRange(0, 7 if depth > 0 else 3)
    if kind <= 1:
        return value(fdp, 1)
    if kind == 2:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6))
    if kind == 3:
        return media(fdp)
    items = [nested(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if kind == 4:
        return tuple(items)
    if kind == 5:
        return {str(i): item for i, item in enumerate(items)}
    if kind == 6 and fdp.ConsumeIntInRange(0, 7) == 0:
        items.append(items)  # holds itself
    return items


SERIALIZERS = [None, repr, str, refuses, len]


@atheris.instrument_func
def body(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    result = nested(fdp)
    serializer = fdp.PickValueInList(SERIALIZERS)
    single = fdp.ConsumeBool()
    blocks = _convert_to_content(result, serializer=serializer, _process_as_single_item=single)
    assert type(blocks) is list and all(isinstance(b, BLOCKS) for b in blocks), blocks


if __name__ == "__main__":
    run(guarded(body, ALLOWED))
