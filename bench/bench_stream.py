"""fendral_stream against fendral's file functions and against plain Python loops, side by side
in one run.

    PYTHONPATH=<dir holding fendral> python bench/bench_stream.py          # ~2 min
    PYTHONPATH=<dir holding fendral> python bench/bench_stream.py --full   # 1 GiB, 20 GiB sparse
    ... bench/bench_stream.py --only unbuffered --clock processor   # on a loaded machine

- read: `for chunk in read_chunks(path, size)` against `deconstruct_file(path, size)`, at 1 MiB
  and 64 MiB chunks, on one file in /dev/shm (default 256 MiB; --full: 1 GiB), alternating,
  after a warm-up round; medians, and the ratio read_chunks / deconstruct_file (below 1: the
  stream is faster).
- memory: at every chunk size from 4 KiB to 64 MiB, the file read once by read_chunks in a
  fresh worker process that reports its peak resident memory beyond what it held before
  (VmHWM), beside the bound 2 x chunk_size + 16 MiB.
- plain loops: read_chunks against `while source.read(size)` on a buffered file, and
  ChunkWriter against `sink.write(chunk.data)` on one, chunks in order, at every chunk size
  from 1 byte to 64 MiB (small chunks over a smaller share of the file), ratio stream / loop.
- unbuffered: read_chunks, with and without its manifest(), against
  `open(path, "rb", buffering=0).read(size)` in a loop, at 4 KiB to 64 MiB chunks.
- short last chunk: peak memory of read_chunks over files that are no multiple of the chunk
  size (200,000,000 bytes; 95 MiB), beside the same bound.
- write: the file's 1 MiB chunks, shuffled, through ChunkWriter against reconstruct_file.
- products: the GF(2^16) region product alone (bench/gf65536_speed.cpp, compiled here with the
  module's gf65536.cpp), each way this processor has, 8 sources of a 32 KiB strip.
- encoder: the parity encoder alone (bench/parity_speed.cpp, compiled here with the module's
  sources), coefficient by coefficient against the transforms, at 1, 5 and 10 %, one core.
- parity: read_chunks with parity chunks of 1, 5 and 10 % of the data chunks (1 MiB) against
  the same loop without them, on both cores and pinned to one; and ChunkWriter given every
  chunk with the manifest against the same writer rebuilding 1, 5 and 10 % of the data chunks,
  all missing at once (the most the parity rebuilds), at the close.
- sparse: a sparse file (default 2 GiB; --full: 20 GiB) streamed in 64 MiB chunks by a worker
  whose address space is limited to 1 GiB, to its end; deconstruct_file under the same limit.
"""

import argparse
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

from machine import load_text, machine_text

MIB = 1 << 20
GIB = 1 << 30


def worker(args):
    """Runs in a fresh process: one read of `path`, then prints its figures."""
    mode, path, chunk_size = args[0], args[1], int(args[2])
    if mode == "sparse-limited":
        resource.setrlimit(resource.RLIMIT_AS, (GIB, GIB))
    import fendral
    import fendral_stream
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets VmHWM to the current resident size
    before = status_kib("VmRSS")
    start = time.perf_counter()
    total = 0
    last = None
    try:
        if mode == "deconstruct" or mode == "sparse-deconstruct":
            if mode == "sparse-deconstruct":
                resource.setrlimit(resource.RLIMIT_AS, (GIB, GIB))
            total = sum(len(chunk.data) for chunk in fendral.deconstruct_file(path, chunk_size))
        else:
            # Each chunk is held, as a caller's loop holds it, but its data is not copied out
            # (chunk.data makes a new bytes, which the interpreter's allocator may keep).
            for last in fendral_stream.read_chunks(path, chunk_size):
                pass
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    elapsed = time.perf_counter() - start
    peak = (status_kib("VmHWM") - before) * 1024
    if last is not None:
        total = last.index * chunk_size + len(last.data)
    print(outcome, total, elapsed, peak)


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def run_worker(mode, path, chunk_size):
    script = os.path.abspath(__file__)
    output = subprocess.run([sys.executable, script, "--worker", mode, path, str(chunk_size)],
                            check=True, capture_output=True, text=True).stdout.split()
    return output[0], int(output[1]), float(output[2]), int(output[3])


def wall_clock():
    return time.perf_counter()


def processor_clock():
    """User and system time of this process: other jobs' time slices do not count in it."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


CLOCK = {"wall": wall_clock, "processor": processor_clock}
clock = wall_clock


def timed(call):
    start = clock()
    call()
    return clock() - start


def alternating(contenders, rounds, measure):
    """Each contender's measurements, `measure(call)` once a round, their order alternating
    every round after a warm-up round that is not kept."""
    kept = {name: [] for name in contenders}
    for round_number in range(rounds + 1):
        order = list(contenders.items())
        if round_number % 2:
            order.reverse()
        for name, call in order:
            measured = measure(call)
            if round_number:
                kept[name].append(measured)
    return kept


def side_by_side(contenders, rounds):
    """Medians of each contender's times, alternating their order every round after a warm-up."""
    return {name: statistics.median(values)
            for name, values in alternating(contenders, rounds, timed).items()}


MEMORY_CHUNK_SIZES = [4 << 10, 16 << 10, 64 << 10, 256 << 10, MIB, 4 * MIB, 8 * MIB, 16 * MIB,
                      32 * MIB, 64 * MIB]
LOOP_CHUNK_SIZES = [1, 16, 256, 4 << 10, 64 << 10, MIB, 16 * MIB, 64 * MIB]


def size_text(size):
    for unit, name in ((MIB, "MiB"), (1 << 10, "KiB")):
        if size >= unit:
            return f"{size // unit} {name}"
    return f"{size} B"


def plain_loops(path, output, size, rounds):
    """read_chunks and ChunkWriter against the loops a caller would write in plain Python."""
    import fendral_stream
    print(f"\nagainst plain Python loops, chunks in order, median of {rounds} rounds "
          f"(small chunks: the first chunk_size x 1 Mi bytes)")
    print(f"{'chunk':>9} {'bytes':>9} {'read loop':>10} {'read_chunks':>12} {'ratio':>6} "
          f"{'write loop':>11} {'ChunkWriter':>12} {'ratio':>6}")
    for chunk_size in LOOP_CHUNK_SIZES:
        length = min(size, chunk_size << 20)
        part = path + ".part"
        with open(path, "rb") as source, open(part, "wb") as sink:
            sink.write(source.read(length))

        def read_loop():
            with open(part, "rb") as source:
                while source.read(chunk_size):
                    pass

        def read_stream():
            for _ in fendral_stream.read_chunks(part, chunk_size):
                pass
        reads = side_by_side({"loop": read_loop, "stream": read_stream}, rounds)
        chunks = list(fendral_stream.read_chunks(part, chunk_size))

        def write_loop():
            with open(output, "wb") as sink:
                for chunk in chunks:
                    sink.write(chunk.data)

        def write_stream():
            with fendral_stream.ChunkWriter(output, chunk_size) as writer:
                for chunk in chunks:
                    writer.write(chunk)
        writes = side_by_side({"loop": write_loop, "stream": write_stream}, rounds)
        chunks.clear()
        os.unlink(part)
        per_mib = {name: median * MIB / length * 1e3 for name, median in
                   (("read loop", reads["loop"]), ("read_chunks", reads["stream"]),
                    ("write loop", writes["loop"]), ("ChunkWriter", writes["stream"]))}
        print(f"{size_text(chunk_size):>9} {size_text(length):>9} "
              f"{per_mib['read loop']:>7.1f} ms {per_mib['read_chunks']:>9.1f} ms "
              f"{reads['stream'] / reads['loop']:>6.2f} "
              f"{per_mib['write loop']:>8.1f} ms {per_mib['ChunkWriter']:>9.1f} ms "
              f"{writes['stream'] / writes['loop']:>6.2f}")
    print("(times per MiB)")


UNBUFFERED_CHUNK_SIZES = [4 << 10, 64 << 10, MIB, 16 * MIB, 64 * MIB]


def unbuffered_loops(path, size, rounds):
    """read_chunks (its manifest made or not) against the plainest read loop Python has."""
    import fendral_stream
    print(f"\nagainst an unbuffered read loop, {size // MIB} MiB file, median of {rounds} rounds")
    print(f"{'chunk':>9} {'read loop':>10} {'read_chunks':>12} {'ratio':>6} "
          f"{'+ manifest()':>13} {'ratio':>6}")
    for chunk_size in UNBUFFERED_CHUNK_SIZES:
        def read_loop():
            with open(path, "rb", buffering=0) as source:
                while source.read(chunk_size):
                    pass

        def read_stream():
            for _ in fendral_stream.read_chunks(path, chunk_size):
                pass

        def read_with_manifest():
            chunks = fendral_stream.read_chunks(path, chunk_size)
            for _ in chunks:
                pass
            chunks.manifest()
        medians = side_by_side({"loop": read_loop, "stream": read_stream,
                                "manifest": read_with_manifest}, rounds)
        print(f"{size_text(chunk_size):>9} {medians['loop']:>8.3f} s {medians['stream']:>10.3f} s "
              f"{medians['stream'] / medians['loop']:>6.2f} {medians['manifest']:>11.3f} s "
              f"{medians['manifest'] / medians['loop']:>6.2f}")


def short_last_chunks(directory):
    print("\nmemory, files that are no multiple of the chunk size, read by read_chunks in a "
          "fresh process")
    print(f"{'file':>13} {'chunk':>9} {'peak RSS':>11} {'bound':>9}")
    for file_size, chunk_size in ((200_000_000, 64 * MIB), (200_000_000, 16 * MIB),
                                  (95 * MIB, 16 * MIB)):
        path = os.path.join(directory, "odd")
        with open(path, "wb") as sink:
            sink.truncate(file_size)
        with open(path, "r+b") as sink:  # written, so the page cache holds it
            for offset in range(0, file_size, 64 * MIB):
                sink.write(bytes(min(64 * MIB, file_size - offset)))
        _, _, _, peak = run_worker("stream", path, chunk_size)
        os.unlink(path)
        bound = 2 * chunk_size + 16 * MIB
        print(f"{file_size:>13,} {size_text(chunk_size):>9} {peak / MIB:>7.1f} MiB "
              f"{bound / MIB:>5.0f} MiB{'' if peak <= bound else '  OVER THE BOUND'}")


HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(os.path.dirname(HERE), "src")


def product_speeds(directory, rounds):
    program = os.path.join(directory, "gf65536_speed")
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, "-O2", "-std=c++2b", "-I", SOURCE,
                    os.path.join(HERE, "gf65536_speed.cpp"),
                    os.path.join(SOURCE, "base", "gf65536.cpp"), "-o", program], check=True)
    done = subprocess.run([program, "8", str(32 << 10), str(rounds)], check=True,
                          capture_output=True, text=True)
    print(f"\nproducts, 8 sources of 32 KiB into one, one core, median of {rounds} rounds")
    for line in done.stdout.splitlines():
        name, seconds, size = line.split()
        print(f"{name:>8}: {int(size) / float(seconds) / 1e9:6.1f} GB/s of products")


PARITY_SHARES = (1, 5, 10)  # parity chunks, in % of the data chunks


def encoder_speeds(directory, size, rounds):
    """The parity encoder alone on one core: coefficient by coefficient against the transforms."""
    program = os.path.join(directory, "parity_speed")
    compiler = os.environ.get("CXX", "c++")
    sources = [os.path.join(SOURCE, folder, name) for folder in ("base", "posix", "chunking")
               for name in sorted(os.listdir(os.path.join(SOURCE, folder)))
               if name.endswith(".cpp")]
    subprocess.run([compiler, "-O3", "-std=c++2b", "-I", SOURCE,
                    os.path.join(HERE, "parity_speed.cpp"), *sources, "-o", program, "-lpthread"],
                   check=True)
    count = size // MIB
    first_cpu = min(os.sched_getaffinity(0))
    print(f"\nparity encoder, {count} data chunks of 1 MiB (16 distinct), one core, processor "
          f"time, median of {rounds} rounds; GB/s of data")
    print(f"{'parity':>12} {'order':>5} {'coefficients':>12} {'transforms':>10} {'speed-up':>8}")
    for share in PARITY_SHARES:
        parity = -(-count * share // 100)
        done = subprocess.run([program, str(MIB), str(count), str(parity), str(rounds), "0",
                               "auto"], check=True, capture_output=True, text=True,
                              preexec_fn=lambda: os.sched_setaffinity(0, {first_cpu}))
        (_, old, data), (order, new, _) = (line.split() for line in done.stdout.splitlines())
        print(f"{share:>3} % ({parity:>3}) {order:>5} {int(data) / float(old) / 1e9:>12.2f} "
              f"{int(data) / float(new) / 1e9:>10.2f} {float(old) / float(new):>8.2f}")


def parity_rows(path, output, size, rounds):
    """Parity made and lost chunks rebuilt, against the same loops without them."""
    import fendral_stream
    count = size // MIB
    shares = {share: -(-count * share // 100) for share in PARITY_SHARES}
    cpus = os.sched_getaffinity(0)
    print(f"\nparity, {size // MIB} MiB file in 1 MiB chunks ({count} chunks), median of "
          f"{rounds} rounds; GB/s of data")
    print(f"{'parity':>12} {'cores':>5} {'no parity':>10} {'with it':>8} {'ratio':>6}")
    for cores in (len(cpus), 1):
        os.sched_setaffinity(0, set(sorted(cpus)[:cores]))
        contenders = {0: lambda: [None for _ in fendral_stream.read_chunks(path, MIB)]}
        for share, parity in shares.items():
            contenders[share] = (lambda parity=parity: [
                None for _ in fendral_stream.read_chunks(path, MIB, parity=parity)])
        medians = side_by_side(contenders, rounds)
        for share, parity in shares.items():
            print(f"{share:>3} % ({parity:>3}) {cores:>5} {size / medians[0] / 1e9:>10.2f} "
                  f"{size / medians[share] / 1e9:>8.2f} {medians[share] / medians[0]:>6.2f}")
    os.sched_setaffinity(0, cpus)

    # Parity chunk j does not depend on how many there are: one read makes every share's.
    iterator = fendral_stream.read_chunks(path, MIB, parity=max(shares.values()))
    chunks = list(iterator)
    full = iterator.manifest()
    print(f"\nrebuild at the close, the same file, median of {rounds} rounds; GB/s of data")
    print(f"{'lost':>12} {'no loss':>8} {'rebuilt':>8} {'ratio':>6}")
    for share, parity in shares.items():
        manifest = fendral_stream.Manifest(MIB, size, full.crc32c, full.parity_crc32c[:parity])
        lost = set(random.Random(share).sample(range(count), parity))

        def write(skipped, manifest=manifest, parity=parity):
            with fendral_stream.ChunkWriter(output, MIB, manifest=manifest) as writer:
                for chunk in chunks:
                    if chunk.index < count + parity and chunk.index not in skipped:
                        writer.write(chunk)
        medians = side_by_side({"whole": lambda: write(()), "lost": lambda: write(lost)}, rounds)
        print(f"{share:>3} % ({parity:>3}) {size / medians['whole'] / 1e9:>8.2f} "
              f"{size / medians['lost'] / 1e9:>8.2f} {medians['lost'] / medians['whole']:>6.2f}")
    chunks.clear()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--full", action="store_true",
                        help="the issue's sizes: a 1 GiB file and a 20 GiB sparse one")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", choices=["unbuffered", "plain", "short-last-chunk", "parity"],
                        help="run this part alone")
    parser.add_argument("--clock", choices=sorted(CLOCK), default="wall",
                        help="processor: user and system time of this process instead of the "
                             "wall clock, for a loaded machine")
    options = parser.parse_args()
    global clock
    clock = CLOCK[options.clock]
    import fendral
    import fendral_stream

    size = GIB if options.full else 256 * MIB
    sparse_size = 20 * GIB if options.full else 2 * GIB
    print(f"machine: {machine_text()}\nload average before: {load_text()}; clock: {options.clock}")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        path = os.path.join(directory, "in")
        with open(path, "wb") as source:
            for _ in range(size // (64 * MIB)):
                source.write(os.urandom(64 * MIB))
        output = os.path.join(directory, "out")
        if options.only:
            if options.only == "unbuffered":
                unbuffered_loops(path, size, options.rounds)
            elif options.only == "plain":
                plain_loops(path, output, size, options.rounds)
            elif options.only == "parity":
                product_speeds(directory, options.rounds)
                encoder_speeds(directory, size, options.rounds)
                parity_rows(path, output, size, options.rounds)
            else:
                short_last_chunks(directory)
            return
        unbuffered_loops(path, size, options.rounds)
        short_last_chunks(directory)

        print(f"\nread, {size // MIB} MiB file, median of {options.rounds} rounds")
        print(f"{'chunk':>8} {'deconstruct_file':>17} {'read_chunks':>12} {'ratio':>6} "
              f"{'peak RSS, list':>15}")
        for chunk_size in (MIB, 64 * MIB):
            def stream():
                for _ in fendral_stream.read_chunks(path, chunk_size):
                    pass
            medians = side_by_side(
                {"deconstruct": lambda: fendral.deconstruct_file(path, chunk_size),
                 "stream": stream}, options.rounds)
            _, _, _, list_peak = run_worker("deconstruct", path, chunk_size)
            print(f"{chunk_size // MIB:>6} MiB {size / medians['deconstruct'] / GIB:>11.2f} GiB/s "
                  f"{size / medians['stream'] / GIB:>6.2f} GiB/s "
                  f"{medians['stream'] / medians['deconstruct']:>6.2f} "
                  f"{list_peak / MIB:>11.1f} MiB")

        print(f"\nmemory, {size // MIB} MiB file read by read_chunks in a fresh process")
        print(f"{'chunk':>9} {'peak RSS':>11} {'bound':>9}")
        for chunk_size in MEMORY_CHUNK_SIZES:
            _, _, _, peak = run_worker("stream", path, chunk_size)
            bound = 2 * chunk_size + 16 * MIB
            print(f"{size_text(chunk_size):>9} {peak / MIB:>7.1f} MiB {bound / MIB:>5.0f} MiB"
                  f"{'' if peak <= bound else '  OVER THE BOUND'}")

        plain_loops(path, output, size, options.rounds)
        product_speeds(directory, options.rounds)
        encoder_speeds(directory, size, options.rounds)
        parity_rows(path, output, size, options.rounds)

        chunks = fendral.deconstruct_file(path, MIB)
        random.Random(1).shuffle(chunks)

        def write_stream():
            with fendral_stream.ChunkWriter(output, MIB) as writer:
                for chunk in chunks:
                    writer.write(chunk)
        medians = side_by_side({"reconstruct": lambda: fendral.reconstruct_file(chunks, output),
                                "stream": write_stream}, options.rounds)
        print(f"\nwrite, {size // MIB} MiB in 1 MiB chunks, shuffled, median of "
              f"{options.rounds} rounds")
        print(f"reconstruct_file {size / medians['reconstruct'] / GIB:.2f} GiB/s, ChunkWriter "
              f"{size / medians['stream'] / GIB:.2f} GiB/s, ratio "
              f"{medians['stream'] / medians['reconstruct']:.2f}")
        chunks.clear()  # the chunks' memory back before the sparse runs
        os.unlink(path)
        os.unlink(output)

        sparse = os.path.join(directory, "sparse")
        with open(sparse, "wb") as handle:
            handle.truncate(sparse_size)
        print(f"\nsparse, {sparse_size // GIB} GiB in 64 MiB chunks, address space limited "
              f"to 1 GiB")
        for mode, name in (("sparse-limited", "read_chunks"),
                           ("sparse-deconstruct", "deconstruct_file")):
            outcome, total, elapsed, peak = run_worker(mode, sparse, 64 * MIB)
            print(f"{name:>16}: {outcome}, {total / GIB:.2f} GiB read in {elapsed:.1f} s, "
                  f"peak RSS {peak / MIB:.1f} MiB")
    print(f"\nload average after: {load_text()}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker(sys.argv[2:])
    else:
        main()
