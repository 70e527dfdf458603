"""How the cost of a streamed answer grows with its length.

A 1 MB answer arrives in 200,000 fragments; the client records each fragment in the conversation as it
arrives. If joining a fragment copied the text so far, the total cost would grow with the square of the
length. This benchmark feeds 20,000 and 200,000 fragments through the stream parser from memory (so the
network does not blur the measurement) and prints the ratio of the two total times: linear growth gives
about 10. Times are the process's CPU time, so that another process taking the core does not count.
bench/run.py calls :func:`run` for its growth curve.
"""

from __future__ import annotations

import json
import statistics
import time

from corvel.modal import LLModal

GOAL = 12.0


class Lines:
    """A response whose body is already in memory, line by line."""

    def __init__(self, lines: list[bytes]) -> None:
        self.lines = lines

    def iter_lines(self):
        return iter(self.lines)

    def close(self) -> None:
        pass


def body(fragments: int) -> list[bytes]:
    piece = "abcde"  # 5 bytes a fragment: 200,000 fragments make 1 MB
    line = ("data: " + json.dumps({"choices": [{"index": 0, "delta": {"content": piece}, "finish_reason": None}]})).encode()
    end = ("data: " + json.dumps({"choices": [{"index": 0, "delta": {}, "finish_reason": "stop"}]})).encode()
    return [line, b""] * fragments + [end]


def run(fragments: int, repeats: int) -> float:
    """The median time, in seconds, of streaming an answer of ``fragments`` fragments ``repeats`` times."""
    lines = body(fragments)
    times = []
    for _ in range(repeats):
        client = LLModal(extra_body={"stream": True})
        client.add_message("user", "q")
        start = time.process_time()
        for _ in client._stream_response(Lines(lines)):
            pass
        times.append(time.process_time() - start)
        assert len(client.messages[-1].contents[-1]) == 5 * fragments
    return statistics.median(times)


def main() -> dict[str, float]:
    small, large = run(20_000, 7), run(200_000, 3)
    ratio = large / small
    print(f"stream growth: 20,000 fragments {small * 1e3:.1f} ms, 200,000 fragments {large * 1e3:.1f} ms, "
          f"ratio {ratio:.2f} (goal <= {GOAL:g}, linear = 10)")
    return {"small_ms": small * 1e3, "large_ms": large * 1e3, "ratio": ratio}


if __name__ == "__main__":
    main()
