"""What the manifest costs, side by side in one run, on one file in /dev/shm (default 1 GiB).

    PYTHONPATH=<dir holding fendral> python bench/bench_manifest.py --baseline <dir>

- crc: the CRC32C itself, without reading. bench/crc32c_speed.cpp, compiled here with the
  module's own src/base/crc32c.cpp, reads the file into memory once and takes its CRC there,
  whole and in 1 MiB pieces, by each way this processor has (carry-less multiplication beside
  the CRC instruction, the instruction alone, the tables); GB/s of processor time.
- read: `for chunk in read_chunks(path, 1 MiB)` and then `.manifest()`, against the same loop
  run by a build of fendral from before the manifest (--baseline: a directory holding one, as
  `pip install --target` leaves it), where read_chunks takes no CRC. Each contender runs in a
  process of its own that makes one warm-up pass and then three more, with glibc keeping freed
  memory, as in a program that has been running for a while (a fresh process's first touch of
  memory varies 2x with the kernel's state, and whether glibc reuses its heap depends on the
  order of allocations, both of which hide the CRC's cost), and then each pass in a fresh
  process, as a short script sees it; the processes alternate for several rounds after a
  warm-up round; medians, and the ratio (the bound set for it: 1.15). Manifest.of_file and
  verify_file run the same way.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

from bench_chunking import keep_freed_memory
from bench_stream import alternating
from machine import load_text, machine_text

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(os.path.dirname(HERE), "src")
MIB = 1 << 20


def processor_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


MANIFESTS = {}  # what verify_file checks against, by path


def one_pass(mode, path, chunk_size):
    import fendral_stream
    if mode == "read":
        for _ in fendral_stream.read_chunks(path, chunk_size):
            pass
    elif mode == "read+manifest":
        chunks = fendral_stream.read_chunks(path, chunk_size)
        for _ in chunks:
            pass
        chunks.manifest()
    elif mode == "of_file":
        fendral_stream.Manifest.of_file(path, chunk_size)
    elif mode == "verify_file":
        assert MANIFESTS[path].verify_file(path) == []


def worker(mode, path, chunk_size, passes):
    """Runs in a process of its own: a warm-up pass over `path`, then `passes` more (or, for 0,
    the first pass alone), printing the median seconds of those on the clock and on the
    processor (which other jobs on a busy machine disturb less)."""
    if mode == "verify_file":  # the manifest is made before the timing starts
        import fendral_stream
        MANIFESTS[path] = fendral_stream.Manifest.of_file(path, chunk_size)
    if passes:
        # Both builds then reuse the same pages from round to round, so what differs is the
        # code: left to itself, glibc trims or keeps its heap by the order of allocations,
        # which a vector of CRCs alone changes.
        keep_freed_memory()
        one_pass(mode, path, chunk_size)
    times = []
    for _ in range(max(passes, 1)):
        start, processor_start = time.perf_counter(), processor_seconds()
        one_pass(mode, path, chunk_size)
        times.append((time.perf_counter() - start, processor_seconds() - processor_start))
    print(*(statistics.median(column) for column in zip(*times)))


def run_worker(mode, path, chunk_size, site=None, passes=3):
    environment = dict(os.environ)
    if site:
        environment["PYTHONPATH"] = site
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", mode, path,
                           str(chunk_size), str(passes)], check=True, capture_output=True,
                          text=True, env=environment)
    return [float(field) for field in done.stdout.split()]


def side_by_side(contenders, rounds):
    """Medians of each contender's (clock, processor) seconds, alternating their order every
    round after a warm-up."""
    measured = alternating(contenders, rounds, lambda call: call())
    return {name: [statistics.median(column) for column in zip(*values)]
            for name, values in measured.items()}


def crc_speeds(directory, path, rounds):
    program = os.path.join(directory, "crc32c_speed")
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, "-O2", "-std=c++2b", "-I", SOURCE,
                    os.path.join(HERE, "crc32c_speed.cpp"),
                    os.path.join(SOURCE, "base", "crc32c.cpp"), "-o", program], check=True)
    done = subprocess.run([program, path, str(MIB), str(rounds)], check=True,
                          capture_output=True, text=True)
    print(f"\ncrc, the CRC32C over the file in memory, median of {rounds} rounds")
    for line in done.stdout.splitlines():
        name, piece, seconds, size, crc = line.split()
        shape = "whole" if int(piece) >= int(size) else f"{int(piece) // MIB} MiB pieces"
        print(f"{name:>10} {shape:>14}: {int(size) / float(seconds) / 1e9:6.2f} GB/s over "
              f"{int(size) // MIB} MiB, CRC {crc}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", help="a directory holding a build without manifests")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()

    size = options.size_mib * MIB
    print(f"machine: {machine_text()}\nload average before: {load_text()}")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        path = os.path.join(directory, "in")
        with open(path, "wb") as source:
            for _ in range(size // (64 * MIB)):
                source.write(os.urandom(64 * MIB))
        crc_speeds(directory, path, options.rounds)

        site = os.environ.get("PYTHONPATH")
        for passes, title in ((3, "3 passes after a warm-up pass in each process, glibc keeping "
                                  "freed memory"),
                              (0, "each pass in a fresh process")):
            contenders = {
                "read_chunks + manifest()": ("read+manifest", site),
                "Manifest.of_file": ("of_file", site),
                "verify_file": ("verify_file", site),
            }
            if options.baseline:
                contenders["read_chunks, no manifest"] = ("read", options.baseline)
            medians = side_by_side(
                {name: (lambda mode=mode, where=where: run_worker(mode, path, MIB, where, passes))
                 for name, (mode, where) in contenders.items()}, options.rounds)
            print(f"\nread, {size // MIB} MiB file in 1 MiB chunks, median of {options.rounds} "
                  f"rounds, {title}")
            for name, (seconds, processor) in medians.items():
                print(f"{name:>26}: {seconds:6.3f} s, {size / seconds / 1e9:5.2f} GB/s; "
                      f"processor {processor:6.3f} s")
            if options.baseline:
                with_manifest = medians["read_chunks + manifest()"]
                without = medians["read_chunks, no manifest"]
                print(f"read_chunks with the manifest / without: "
                      f"{with_manifest[0] / without[0]:.3f} on the clock, "
                      f"{with_manifest[1] / without[1]:.3f} on the processor (bound 1.15)")
            else:
                print("(no --baseline: the ratio to read_chunks without manifests is not "
                      "measured)")
    print(f"\nload average after: {load_text()}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    else:
        main()
