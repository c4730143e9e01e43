"""Eight threads calling every function at once, each on its own files, for a bounded time:
every result is right, nothing crashes, nothing deadlocks.

FENDRAL_THREAD_SECONDS sets the duration (default 10); the one-minute run is

    FENDRAL_THREAD_SECONDS=60 python -m pytest tests/test_threads.py
"""

import os
import random
import sys
import threading
import time

import pytest

from fendral import Chunk, deconstruct_file, reconstruct_file, reconstruct_video, split_video
from fendral_testing.randomness import random_bytes

SECONDS = float(os.environ.get("FENDRAL_THREAD_SECONDS", "10"))
THREADS = 8


def one_round(directory, generator):
    """Every function once, success and failure, with its result checked."""
    content = random_bytes(generator, generator.randrange(1, 200_000))
    source = os.path.join(directory, "in")
    with open(source, "wb") as out:
        out.write(content)
    chunk_size = generator.randrange(1, 70_000)
    chunks = deconstruct_file(source, chunk_size)
    assert [chunk.index for chunk in chunks] == list(range(len(chunks)))
    assert all(len(chunk.data) == chunk_size for chunk in chunks[:-1])
    generator.shuffle(chunks)
    copy = os.path.join(directory, "copy")
    reconstruct_file(chunks, copy)
    with open(copy, "rb") as written:
        assert written.read() == content

    chunk = Chunk(len(content), content[:100])
    assert (chunk.index, chunk.data) == (len(content), content[:100])
    with pytest.raises(ValueError, match="^Missing chunk at index 0$"):
        reconstruct_file([chunk], copy)
    with pytest.raises(FileNotFoundError):
        deconstruct_file(os.path.join(directory, "missing"), 4)

    segments = os.path.join(directory, "segments")
    split_video(source, segments, 7)
    names = [f"{segments}/chunk_{n:03d}.mp4" for n in range(2)]
    with open(os.path.join(segments, "metadata.json")) as metadata:
        text = metadata.read()
    assert all(f'"{name}"' in text for name in names) and '"split_value": "7s"' in text
    joined = os.path.join(directory, "joined.mp4")
    reconstruct_video(segments, joined)
    with open(joined) as listed:  # the stand-in copies the list it was given
        assert listed.read() == "".join(f"file '{name}'\n" for name in names)
    os.remove(joined)  # a join never replaces an output
    with pytest.raises(RuntimeError, match="^time_limit_sec must be greater than 0$"):
        split_video(source, segments, 0)


def test_eight_threads_at_once(tmp_path, ffmpeg):
    ffmpeg.set(segments=2, record=False)
    # Switch threads as often as the interpreter allows, so calls interleave at every point.
    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    deadline = time.monotonic() + SECONDS
    rounds = [0] * THREADS
    failures = []

    def worker(number):
        directory = tmp_path / f"thread{number}"
        directory.mkdir()
        generator = random.Random(number)
        try:
            while time.monotonic() < deadline:
                one_round(str(directory), generator)
                rounds[number] += 1
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append((number, repr(error)))

    threads = [threading.Thread(target=worker, args=(n,), daemon=True) for n in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            # Generous: a thread that is still running long after the deadline is stuck.
            thread.join(timeout=SECONDS + 120)
    finally:
        sys.setswitchinterval(previous_interval)
    assert [thread.is_alive() for thread in threads] == [False] * THREADS, "deadlock"
    assert failures == []
    assert all(count > 0 for count in rounds), rounds
