"""deconstruct_file and reconstruct_file against what a user would otherwise run.

    PYTHONPATH=<dir holding fendral> python bench/bench_chunking.py [--mode steady|fresh|both]

Two modes, both with their files in /dev/shm so that disk write-back stays out of the figures:

- steady (default 256 MiB, 2 warm-up rounds, 7 timed rounds): every contender runs inside this
  one process, alternating, so the heap and the page cache are warm as in a long-running program.
- fresh (default 1 GiB, 1 warm-up round, 5 timed rounds): every measurement runs in a new worker
  process, described below.

`--clock processor` compares, in either mode, the processor time of the process that does the
work instead of wall-clock time: other jobs on a busy machine disturb it less.

Contenders, on one file in the page cache, at each chunk size:

- deconstruct: fendral.deconstruct_file; the pure-Python loop (unbuffered open, f.read(chunk_size)
  until empty, one bytes per chunk); bench/floor.cpp, compiled here, which reads the file into a
  fresh buffer per chunk and nothing else.
- reconstruct (chunks shuffled): fendral.reconstruct_file; the pure-Python writer (sort (index,
  payload) pairs, unbuffered f.write of each payload); `dd bs=1M` copying the file, as the
  kernel's write limit.

Every table comes with the processor model and the kernel: the kernel's copy into user memory
varies between processors, so figures from two machines compare only alongside them.

In fresh mode every measurement runs in a new worker process, so each contender starts from an
unfaulted heap as the floor program does, and the worker also reports its peak resident memory
beyond what it held before the call. Contenders alternate within each round, the first round is a
warm-up, and the table shows medians; a ratio above 1 means the other contender is slower.
"""

import argparse
import json
import os
import random
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from machine import load_text, machine_text

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20
DEFAULT_CHUNK_SIZES = [4 << 10, 64 << 10, 1 << 20, 64 << 20]


# ---------------------------------------------------------------- worker side


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak():
    # Writing 5 to clear_refs resets VmHWM to the current resident size.
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def python_read_chunks(path, chunk_size):
    chunks = []
    with open(path, "rb", buffering=0) as source:
        while True:
            piece = source.read(chunk_size)
            if not piece:
                return chunks
            chunks.append(piece)


def python_write_chunks(pairs, out):
    with open(out, "wb", buffering=0) as sink:
        for _, payload in sorted(pairs, key=lambda pair: pair[0]):
            sink.write(payload)


def worker(operation, contender, path, chunk_size, out):
    import fendral

    if operation == "deconstruct":
        call = {
            "module": lambda: fendral.deconstruct_file(path, chunk_size),
            "python": lambda: python_read_chunks(path, chunk_size),
        }[contender]
    else:
        if contender == "module":
            chunks = fendral.deconstruct_file(path, chunk_size)
            random.Random(0).shuffle(chunks)
            call = lambda: fendral.reconstruct_file(chunks, out)  # noqa: E731
        else:
            chunks = list(enumerate(python_read_chunks(path, chunk_size)))
            random.Random(0).shuffle(chunks)
            call = lambda: python_write_chunks(chunks, out)  # noqa: E731
    reset_peak()
    before = status_kib("VmRSS")
    start, processor_start = time.perf_counter(), time.process_time()
    result = call()
    seconds, processor = time.perf_counter() - start, time.process_time() - processor_start
    peak = status_kib("VmHWM")
    del result
    print(json.dumps({"seconds": seconds, "processor": processor,
                      "extra_bytes": (peak - before) * 1024}))


# ---------------------------------------------------------------- driver side


def run_worker(operation, contender, path, chunk_size, out):
    command = [sys.executable, __file__, "--worker", operation, contender, path,
               str(chunk_size), out]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def run_floor(program, path, chunk_size):
    done = subprocess.run([program, path, str(chunk_size)], check=True, capture_output=True,
                          text=True)
    fields = done.stdout.split()
    return {"seconds": float(fields[0]), "processor": float(fields[3])}


def children_processor_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_dd(path, out):
    # dd's own figure leaves out its start-up, which only favours dd; its processor time
    # includes the start-up.
    before = children_processor_seconds()
    done = subprocess.run(["dd", f"if={path}", f"of={out}", "bs=1M"], check=True,
                          capture_output=True, text=True)
    match = re.search(r"copied, ([0-9.e+-]+) s", done.stderr)
    return {"seconds": float(match.group(1)), "processor": children_processor_seconds() - before}


def compile_floor(directory):
    program = os.path.join(directory, "floor")
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, "-O2", "-std=c++17", os.path.join(HERE, "floor.cpp"), "-o",
                    program], check=True)
    return program


def make_file(path, size):
    generator = random.Random(size)
    with open(path, "wb") as sink:
        left = size
        while left:
            piece = min(left, 16 * MIB)
            sink.write(generator.getrandbits(piece * 8).to_bytes(piece, "little"))
            left -= piece
    # Read it once so that every contender finds it in the page cache.
    with open(path, "rb", buffering=0) as source:
        while source.read(16 * MIB):
            pass


def measure(contenders, rounds):
    """Runs each contender once per round, rotating the order; round 0 is a warm-up."""
    names = list(contenders)
    samples = {name: [] for name in names}
    for round_number in range(rounds + 1):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            sample = contenders[name]()
            if round_number:
                samples[name].append(sample)
    return samples


def median_of(samples, key):
    return statistics.median(sample[key] for sample in samples)


def size_text(size):
    return f"{size >> 20} MiB" if size >= MIB else f"{size >> 10} KiB"


def print_table(title, header, rows):
    print(f"\n{title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    sys.stdout.flush()


def steady_state(path, out, chunk_sizes, size, warmups, rounds, only, clock):
    """Times module and Python inside this process: `warmups` untimed rounds, then `rounds`
    timed ones with the order swapped every round. Only the call is timed; its result is
    dropped before the next contender runs. `clock` is time.perf_counter (wall) or
    time.process_time (this process's processor time: kernel work included, other jobs'
    time slices not)."""
    import fendral

    load_before = load_text()

    def timed(call):
        start = clock()
        result = call()
        seconds = clock() - start
        del result
        return seconds

    def alternate(contenders):
        names = list(contenders)
        samples = {name: [] for name in names}
        for round_number in range(warmups + rounds):
            for name in names if round_number % 2 else names[::-1]:
                seconds = contenders[name]()
                if round_number >= warmups:
                    samples[name].append(seconds)
        return [statistics.median(samples[name]) for name in names]

    def fresh_output(run):
        if os.path.exists(out):
            os.unlink(out)
        return run()

    deconstruct_rows, reconstruct_rows = [], []
    for chunk_size in chunk_sizes:
        label = size_text(chunk_size)
        if only in (None, "deconstruct"):
            module, python = alternate({
                "module": lambda: timed(lambda: fendral.deconstruct_file(path, chunk_size)),
                "python": lambda: timed(lambda: python_read_chunks(path, chunk_size)),
            })
            deconstruct_rows.append([label, f"{module:.3f}", f"{python:.3f}",
                                     f"{python / module:.2f}x"])
            print(f"  steady deconstruct {label}: module {module:.3f}s python {python:.3f}s "
                  f"{python / module:.2f}x", flush=True)
        if only in (None, "reconstruct"):
            chunks = fendral.deconstruct_file(path, chunk_size)
            random.Random(0).shuffle(chunks)
            pairs = list(enumerate(python_read_chunks(path, chunk_size)))
            random.Random(0).shuffle(pairs)
            module, python = alternate({
                "module": lambda: fresh_output(
                    lambda: timed(lambda: fendral.reconstruct_file(chunks, out))),
                "python": lambda: fresh_output(
                    lambda: timed(lambda: python_write_chunks(pairs, out))),
            })
            del chunks, pairs
            reconstruct_rows.append([label, f"{module:.3f}", f"{python:.3f}",
                                     f"{python / module:.2f}x"])
            print(f"  steady reconstruct {label}: module {module:.3f}s python {python:.3f}s "
                  f"{python / module:.2f}x", flush=True)

    clock_name = "processor" if clock is time.process_time else "wall"
    print(f"\nsteady state: {size_text(size)} in /dev/shm, one process, {warmups} warm-up "
          f"rounds, {rounds} alternating rounds, medians of {clock_name} seconds; load "
          f"average before: {load_before}, "
          f"after: {load_text()}\nmachine: {machine_text()}")
    if deconstruct_rows:
        print_table("deconstruct_file, steady state (seconds; python/module = speed-up)",
                    ["chunk", "module", "python loop", "python/module"], deconstruct_rows)
    if reconstruct_rows:
        print_table("reconstruct_file, steady state, chunks shuffled (seconds)",
                    ["chunk", "module", "python writer", "python/module"], reconstruct_rows)


def fresh_workers(path, out, directory, chunk_sizes, size, rounds, only, clock_name):
    """Times every contender in its own new process; see the module's documentation.
    `clock_name` picks the figure compared: "wall" or "processor" seconds."""
    floor = compile_floor(directory)
    key = "processor" if clock_name == "processor" else "seconds"
    print(f"\nfresh workers: {size_text(size)} in the page cache; {rounds} rounds after a "
          f"warm-up; medians of {clock_name} seconds; load average before: {load_text()}")

    def fresh_output(run):
        def wrapped():
            if os.path.exists(out):
                os.unlink(out)
            return run()
        return wrapped

    deconstruct_rows, reconstruct_rows, memory_rows = [], [], []

    def compare(operation, label, contenders, rows, beyond):
        """Times module, python and a reference side by side; `beyond` is the memory the
        call may take without counting against its margin."""
        samples = measure(contenders, rounds)
        reference = [name for name in contenders if name not in ("module", "python")][0]
        module, python, other = (median_of(samples[name], key)
                                 for name in ("module", "python", reference))
        rows.append([label, f"{module:.3f}", f"{python:.3f}", f"{other:.3f}",
                     f"{python / module:.2f}x", f"{module / other:.2f}x"])
        extra = median_of(samples["module"], "extra_bytes")
        python_extra = median_of(samples["python"], "extra_bytes")
        memory_rows.append([operation, label, f"{extra / size:.3f}",
                            f"{(extra - beyond) / size * 100:+.1f}%",
                            f"{python_extra / size:.3f}"])
        print(f"  {operation} {label}: module {module:.3f}s python {python:.3f}s "
              f"{reference} {other:.3f}s", flush=True)

    for chunk_size in chunk_sizes:
        label = size_text(chunk_size)
        if only in (None, "deconstruct"):
            compare("deconstruct", label, {
                "module": lambda: run_worker("deconstruct", "module", path, chunk_size, out),
                "python": lambda: run_worker("deconstruct", "python", path, chunk_size, out),
                "floor": lambda: run_floor(floor, path, chunk_size),
            }, deconstruct_rows, beyond=size + min(chunk_size, size))
        if only in (None, "reconstruct"):
            compare("reconstruct", label, {
                "module": fresh_output(
                    lambda: run_worker("reconstruct", "module", path, chunk_size, out)),
                "python": fresh_output(
                    lambda: run_worker("reconstruct", "python", path, chunk_size, out)),
                "dd": fresh_output(lambda: run_dd(path, out)),
            }, reconstruct_rows, beyond=0)

    print(f"\nload average after: {load_text()}\nmachine: {machine_text()}")
    if deconstruct_rows:
        print_table("deconstruct_file, fresh workers (seconds; python/module = speed-up, "
                    "module/floor = distance from the floor)",
                    ["chunk", "module", "python loop", "C++ floor", "python/module",
                     "module/floor"], deconstruct_rows)
    if reconstruct_rows:
        print_table("reconstruct_file, fresh workers, chunks shuffled (seconds; module/dd = "
                    "distance from dd)",
                    ["chunk", "module", "python writer", "dd bs=1M", "python/module",
                     "module/dd"], reconstruct_rows)
    print_table("peak resident memory added by the call, as a share of the data "
                "(deconstruct margin: beyond data + one chunk; reconstruct margin: beyond "
                "the chunks)",
                ["call", "chunk", "module", "module margin", "python"], memory_rows)


def keep_freed_memory():
    """Makes glibc serve even large allocations from its heap and never give freed memory
    back, so every round after the first reuses pages that are already present."""
    import ctypes

    libc = ctypes.CDLL(None)
    m_trim_threshold, m_mmap_threshold = -1, -3
    if not (libc.mallopt(m_mmap_threshold, 64 * MIB) and libc.mallopt(m_trim_threshold, 1 << 30)):
        raise RuntimeError("mallopt refused the thresholds")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mode", choices=["steady", "fresh", "both"], default="both")
    parser.add_argument("--size-mib", type=int, default=None,
                        help="file size (default 256 in steady mode, 1024 in fresh mode)")
    parser.add_argument("--rounds", type=int, default=None,
                        help="timed rounds (default 7 steady, 5 fresh)")
    parser.add_argument("--warmups", type=int, default=2, help="steady-mode warm-up rounds")
    parser.add_argument("--clock", choices=["wall", "processor"], default="wall",
                        help="time by the wall clock, or by the processor time of the process "
                             "that does the work, which other jobs on a busy machine disturb "
                             "less")
    parser.add_argument("--chunk-sizes", default=",".join(map(str, DEFAULT_CHUNK_SIZES)),
                        help="comma-separated chunk sizes in bytes")
    # tmpfs keeps disk write-back, which other processes' files also wait on, out of the figures.
    default_dir = "/dev/shm" if os.path.isdir("/dev/shm") else None
    parser.add_argument("--dir", default=default_dir,
                        help="where the files go (default: /dev/shm, else the temp dir)")
    parser.add_argument("--only", choices=["deconstruct", "reconstruct"], default=None)
    parser.add_argument("--allocator-keeps-memory", action="store_true",
                        help="steady mode: have glibc keep freed memory for reuse, as a "
                             "long-running process with a fragmented heap does")
    parser.add_argument("--worker", nargs=5, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.worker:
        operation, contender, path, chunk_size, out = arguments.worker
        worker(operation, contender, path, int(chunk_size), out)
        return

    chunk_sizes = [int(text) for text in arguments.chunk_sizes.split(",")]
    if arguments.allocator_keeps_memory:
        keep_freed_memory()
    modes = ["steady", "fresh"] if arguments.mode == "both" else [arguments.mode]
    for mode in modes:
        steady = mode == "steady"
        size = (arguments.size_mib or (256 if steady else 1024)) * MIB
        rounds = arguments.rounds or (7 if steady else 5)
        directory = tempfile.mkdtemp(prefix="fendral-bench-", dir=arguments.dir)
        try:
            path = os.path.join(directory, "input")
            out = os.path.join(directory, "output")
            make_file(path, size)
            if steady:
                clock = time.process_time if arguments.clock == "processor" else time.perf_counter
                steady_state(path, out, chunk_sizes, size, arguments.warmups, rounds,
                             arguments.only, clock)
            else:
                fresh_workers(path, out, directory, chunk_sizes, size, rounds, arguments.only,
                              arguments.clock)
        finally:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
