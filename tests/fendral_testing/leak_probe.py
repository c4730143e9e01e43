"""Calls every function of fendral in loops, on success and failure paths, and reports per loop
how resident memory, reference counts, open descriptors and unreaped children changed.

Run by test_leaks.py in a fresh interpreter, so no other test's memory blurs the figures, with
tests/ on PYTHONPATH:

    python tests/fendral_testing/leak_probe.py ITERATIONS SPAWNING_ITERATIONS [LOOP...]

where the LOOPs name the loops to run (all when none is named).

Prints one JSON object: {loop name: {"ffmpeg_runs", "rss_growth", "mapped_growth", "refcounts",
"fds", "children", "seconds"}, "rss tracks the process": bool}, where "ffmpeg_runs" counts the
stand-in's runs during the loop and its warm-up.
"""

import gc
import json
import mmap
import os
import sys
import tempfile
import time

import fendral
from fendral import Chunk, deconstruct_file, reconstruct_file, reconstruct_video, split_video
from fendral_testing import ffmpeg_stand_in

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def ffmpeg_runs():
    """Runs of the stand-in so far: each adds a line to the FAKE_RUN_LOG file."""
    try:
        with open(os.environ["FAKE_RUN_LOG"], "rb") as log:
            return log.read().count(b"\n")
    except FileNotFoundError:
        return 0


def writable_mapped_bytes():
    """The size of the writable private mappings (heap, anonymous memory, allocator arenas): what
    the process holds, as its own address space lists it."""
    total = 0
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            if fields[1].startswith("rw") and fields[1].endswith("p"):
                start, end = (int(address, 16) for address in fields[0].split("-"))
                total += end - start
    return total


def rss_tracks_the_process(iterations):
    """Whether resident memory stays flat over a loop that holds nothing. Under user-mode
    emulation (qemu's, for one) it is the emulator's, and its bookkeeping for each mapping
    grows it: about 4 MB per 20,000 maps and unmaps, while the guest's own memory stays flat."""
    before = resident_bytes()
    for _ in range(iterations):
        mmap.mmap(-1, 9 * PAGE_SIZE, flags=mmap.MAP_PRIVATE).close()
    return resident_bytes() - before < (1 << 20)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def has_unreaped_children():
    try:
        return os.waitpid(-1, os.WNOHANG) != (0, 0)
    except ChildProcessError:
        return False


def expect(error_class, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error_class:
        return
    raise AssertionError(f"{call.__name__}{args} did not raise {error_class.__name__}")


class RaisingIndex:
    def __index__(self):
        raise LookupError("refused")


def build_loops(work):
    """Returns {name: (body, watched objects)}. Paths and payloads are large
    enough that one leaked copy per call would show in resident memory."""
    padding = "p" * 200
    source = os.path.join(work, f"in-{padding}")
    with open(source, "wb") as out:
        out.write(os.urandom(32 * 1024))
    missing = os.path.join(work, f"missing-{padding}")
    output = os.path.join(work, f"out-{padding}")
    unreachable = os.path.join(work, "no", f"out-{padding}")
    chunk_size = 4099
    chunks = deconstruct_file(source, chunk_size)
    gapped = chunks[:3] + chunks[4:]
    with_intruder = chunks + [chunk_size]
    payload = b"q" * 10_000
    index = 2**64 - 1
    huge = 2**63
    raising = RaisingIndex()

    video_dir = os.path.join(work, f"video-{padding}")
    segment_pattern_dir = os.path.join(work, f"segments-{padding}")
    joined = os.path.join(work, f"joined-{padding}.mp4")
    input_video = os.path.join(work, f"input-{padding}.mp4")
    empty_bin = os.path.join(work, "empty-bin")
    os.mkdir(empty_bin)
    fake_bin = ffmpeg_stand_in.install(work)

    # One directory per refused metadata.json, and one whose segment is missing.
    refused = []
    for name, content in [("not-utf8", b'{"original_file": "\xff"}'),
                          ("not-json", b'{"original_file": [1, 2'),
                          ("no-chunks", b'{"original_file": "a", "output_prefix": "p", '
                                        b'"chunk_count": 0, "chunk_paths": [], '
                                        b'"split_type": "time", "split_value": "1s"}'),
                          ("no-segment", b'{"original_file": "a", "output_prefix": "p", '
                                         b'"chunk_count": 1, "chunk_paths": ["/nonexistent"], '
                                         b'"split_type": "time", "split_value": "1s"}')]:
        directory = os.path.join(work, f"{name}-{padding}")
        os.mkdir(directory)
        with open(os.path.join(directory, "metadata.json"), "wb") as out:
            out.write(content)
        refused.append(directory)
    refused.append(os.path.join(work, f"absent-{padding}"))

    system_path = os.environ["PATH"]

    def with_path(directory, variables, body):
        def run():
            os.environ["PATH"] = (f"{directory}:{system_path}" if directory == fake_bin
                                  else directory)
            os.environ.update(variables)
            try:
                body()
            finally:
                for name in variables:
                    del os.environ[name]
        return run

    def deconstruct_refusals():
        expect(FileNotFoundError, deconstruct_file, missing, chunk_size)
        expect(IsADirectoryError, deconstruct_file, work, chunk_size)
        expect(OverflowError, deconstruct_file, source, -chunk_size)
        expect(TypeError, deconstruct_file, payload, chunk_size)
        expect(TypeError, deconstruct_file, source)
        expect(TypeError, deconstruct_file, source, chunk_size, size=chunk_size)
        expect(LookupError, deconstruct_file, source, raising)

    def internal_fault():
        try:
            deconstruct_file(source, huge)
        except Exception:
            raise AssertionError("an internal fault came out as an Exception")
        except BaseException:
            pass

    def reconstruct_refusals():
        expect(ValueError, reconstruct_file, gapped, output)
        expect(TypeError, reconstruct_file, with_intruder, output)
        expect(TypeError, reconstruct_file, padding, output)
        expect(FileNotFoundError, reconstruct_file, chunks, unreachable)
        expect(OSError, reconstruct_file, chunks, output + "\0")

    def chunk_use():
        chunk = Chunk(index, payload)
        assert chunk.data == payload and chunk.index == index
        repr(chunk)
        hash(chunk)
        assert chunk == chunk and chunk != chunks[0]

    def chunk_refusals():
        expect(OverflowError, Chunk, -1, payload)
        expect(TypeError, Chunk, 0, padding)
        expect(OverflowError, Chunk, 0, [1, 2, 300])
        expect(LookupError, Chunk, raising, payload)
        expect(TypeError, Chunk, index)
        expect(TypeError, fendral.Mp4ChunkMetadata)

    def split_refusals():
        expect(RuntimeError, split_video, input_video, video_dir, 0)
        expect(RuntimeError, split_video, input_video, video_dir, None)
        expect(OverflowError, split_video, input_video, video_dir, 2**32)
        expect(TypeError, split_video, payload, video_dir, 1)
        expect(UnicodeEncodeError, split_video, "\udc80", video_dir, 1)
        expect(FileExistsError, split_video, input_video, source, 1)
        expect(LookupError, split_video, input_video, video_dir, raising)

    def video_refusals():
        for directory in refused:
            expect(RuntimeError, reconstruct_video, directory, joined)
        expect(TypeError, reconstruct_video, video_dir)

    def not_found():
        expect(RuntimeError, split_video, input_video, video_dir, 5)
        expect(RuntimeError, reconstruct_video, segment_pattern_dir, joined)

    def join_afresh():
        # A join never replaces an output: each round writes a new one.
        reconstruct_video(segment_pattern_dir, joined)
        os.remove(joined)

    # The last loops spawn the fast stand-in for ffmpeg.
    write_segments = {"FAKE_SEGMENTS": "2"}
    with_path(fake_bin, write_segments,
              lambda: split_video(input_video, segment_pattern_dir, 5))()
    exit_1 = {"FAKE_EXIT": "1"}
    return {
        "deconstruct_file": (lambda: deconstruct_file(source, chunk_size), [source, chunk_size]),
        "deconstruct_file refusals": (deconstruct_refusals,
                                      [missing, source, chunk_size, payload, raising]),
        "deconstruct_file internal fault": (internal_fault, [source, huge]),
        "reconstruct_file": (lambda: reconstruct_file(chunks, output), [chunks, output, *chunks]),
        "reconstruct_file refusals": (reconstruct_refusals,
                                      [gapped, with_intruder, output, unreachable, *chunks]),
        "Chunk": (chunk_use, [index, payload, chunks[0]]),
        "Chunk refusals": (chunk_refusals, [payload, padding, raising]),
        "split_video refusals": (split_refusals, [input_video, video_dir, payload, raising]),
        "reconstruct_video refusals": (video_refusals, [joined, *refused]),
        "ffmpeg not found": (with_path(empty_bin, {}, not_found),
                             [input_video, video_dir, segment_pattern_dir, joined]),
        "split_video spawning": (
            with_path(fake_bin, write_segments,
                      lambda: split_video(input_video, segment_pattern_dir, 5)),
            [input_video, segment_pattern_dir]),
        "split_video failing ffmpeg": (
            with_path(fake_bin, exit_1,
                      lambda: expect(RuntimeError, split_video, input_video, video_dir, 5)),
            [input_video, video_dir]),
        "reconstruct_video spawning": (
            with_path(fake_bin, {}, join_afresh),
            [segment_pattern_dir, joined]),
        "reconstruct_video failing ffmpeg": (
            with_path(fake_bin, exit_1,
                      lambda: expect(RuntimeError, reconstruct_video, segment_pattern_dir, joined)),
            [segment_pattern_dir, joined]),
    }


def measure(body, watched, iterations):
    started = time.monotonic()
    runs = ffmpeg_runs()
    for _ in range(max(iterations // 10, 20)):  # warm-up: caches, free lists, arenas
        body()
    gc.collect()
    counts = [sys.getrefcount(value) for value in watched]
    fds = open_descriptors()
    rss, mapped = resident_bytes(), writable_mapped_bytes()
    for _ in range(iterations):
        body()
    gc.collect()
    rss_growth = resident_bytes() - rss
    mapped_growth = writable_mapped_bytes() - mapped
    counts_after = [sys.getrefcount(value) for value in watched]
    return {
        "ffmpeg_runs": ffmpeg_runs() - runs,
        "rss_growth": rss_growth,
        "mapped_growth": mapped_growth,
        "refcounts": [[position, before, after] for position, (before, after)
                      in enumerate(zip(counts, counts_after)) if before != after],
        "fds": open_descriptors() - fds,
        "children": has_unreaped_children(),
        "seconds": round(time.monotonic() - started, 2),  # for the record, never judged
    }


def main():
    iterations, spawning_iterations = int(sys.argv[1]), int(sys.argv[2])
    saved_path = os.environ["PATH"]
    report = {"rss tracks the process": rss_tracks_the_process(iterations)}
    with tempfile.TemporaryDirectory() as work:
        os.environ["FAKE_RUN_LOG"] = os.path.join(work, "ffmpeg-runs")
        loops = build_loops(work)
        os.environ["PATH"] = saved_path
        chosen = sys.argv[3:] or list(loops)
        for name, (body, watched) in ((name, loops[name]) for name in chosen):
            watched = [*watched, Chunk, fendral.Mp4ChunkMetadata]
            count = spawning_iterations if "spawning" in name or "failing" in name else iterations
            stderr = os.dup(2)
            if "internal fault" in name:  # each fault writes a diagnostic
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, 2)
                os.close(devnull)
            try:
                report[name] = measure(body, watched, count)
            finally:
                os.dup2(stderr, 2)
                os.close(stderr)
                os.environ["PATH"] = saved_path
    json.dump(report, sys.stdout)


if __name__ == "__main__":
    main()
