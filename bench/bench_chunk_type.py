"""Chunk construction, .data access and repr of a 1 MiB chunk against plain Python.

    PYTHONPATH=<dir holding fendral> python bench/bench_chunk_type.py [--payload-kib 1024]

The Python side is a __slots__ class holding (index, data), and for the text form the expression
"[" + ", ".join(map(str, data)) + "]". Contenders alternate within each round, the first round
is a warm-up, and the table shows the median time per call; a ratio above 1 means Python is
slower.
"""

import argparse
import os
import statistics
import sys
import time

from fendral import Chunk

from machine import load_text, machine_text


class SlotsChunk:
    __slots__ = ("index", "data")

    def __init__(self, index, data):
        self.index = index
        self.data = data


def per_call(function, calls):
    start = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - start) / calls


def compare(pair, calls, rounds):
    samples = {name: [] for name in pair}
    names = list(pair)
    for round_number in range(rounds + 1):
        order = names if round_number % 2 else names[::-1]
        for name in order:
            seconds = per_call(pair[name], calls)
            if round_number:
                samples[name].append(seconds)
    return [statistics.median(samples[name]) for name in names]


def duration(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--payload-kib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=7)
    arguments = parser.parse_args()

    data = os.urandom(arguments.payload_kib * 1024)
    chunk = Chunk(3, data)
    plain = SlotsChunk(3, data)
    assert repr(chunk) == f"<Chunk index=3 data=[{', '.join(map(str, data))}]>"

    cases = [
        ("Chunk(i, data) from bytes", 20000,
         {"module": lambda: Chunk(3, data), "python": lambda: SlotsChunk(3, data)}),
        (".data", 200,
         {"module": lambda: chunk.data, "python": lambda: plain.data}),
        ("repr / join", 3,
         {"module": lambda: repr(chunk),
          "python": lambda: "[" + ", ".join(map(str, plain.data)) + "]"}),
    ]
    print(f"machine: {machine_text()}; load average: {load_text()}")
    print(f"payload: {arguments.payload_kib} KiB; {arguments.rounds} rounds after a warm-up; "
          f"median per call\n")
    print("| operation | module | python | python/module |")
    print("|---|---|---|---|")
    for title, calls, pair in cases:
        module, python = compare(pair, calls, arguments.rounds)
        print(f"| {title} | {duration(module)} | {duration(python)} | {python / module:.3g}x |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
