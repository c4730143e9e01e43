"""Every function called in long loops, on success and failure paths, leaks nothing: no memory,
no references to its arguments or to the two classes, no descriptors, no unreaped children.

The loops run in a fresh interpreter (fendral_testing/leak_probe.py) so no other test's memory
blurs the figures.
Calls that spawn the stand-in ffmpeg loop 1,000 times instead of 20,000: a spawn costs
milliseconds. Under the sanitizers resident memory is not judged (ASan's quarantine holds freed
memory back on purpose) and the loops are shorter; references, descriptors and children are.
FENDRAL_LEAK_ITERATIONS=N,M sets the loops' lengths (plain calls, spawning calls) for runs that
repeat the suite, where a tenth of them still shows a leak of a reference, a descriptor or a
child exactly and of memory above half a kilobyte a call.
Where resident memory is not the process's own (under user-mode emulation it is the emulator's,
which grows with every mapping the guest makes) only the growth of the process's writable
mappings is judged; it is judged everywhere.
"""

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from fendral_testing import leak_probe
from fendral_testing.children import SANITIZED, child_environment

ITERATIONS, SPAWNING_ITERATIONS = (
    tuple(int(n) for n in os.environ["FENDRAL_LEAK_ITERATIONS"].split(","))
    if "FENDRAL_LEAK_ITERATIONS" in os.environ
    else (2_000, 100) if SANITIZED else (20_000, 1_000))
LARGEST_GROWTH = 2 << 20


# Two interpreters at once, each with about half of the loops' time.
LOOP_GROUPS = [
    ["deconstruct_file", "deconstruct_file refusals", "deconstruct_file internal fault",
     "reconstruct_file", "reconstruct_file refusals", "Chunk", "Chunk refusals",
     "split_video refusals", "reconstruct_video refusals", "ffmpeg not found"],
    ["split_video spawning", "split_video failing ffmpeg", "reconstruct_video spawning",
     "reconstruct_video failing ffmpeg"]]
LOOPS = [loop for group in LOOP_GROUPS for loop in group]


def probe_loops(loops):
    result = subprocess.run(
        [sys.executable, leak_probe.__file__, str(ITERATIONS), str(SPAWNING_ITERATIONS), *loops],
        env=child_environment(), capture_output=True, text=True, timeout=1800,
        stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture(scope="module")
def report():
    with ThreadPoolExecutor(len(LOOP_GROUPS)) as pool:
        parts = list(pool.map(probe_loops, LOOP_GROUPS))
    merged = {key: value for part in parts for key, value in part.items()}
    merged["rss tracks the process"] = all(part["rss tracks the process"] for part in parts)
    return merged


@pytest.mark.parametrize("loop", LOOPS)
def test_loop_leaks_nothing(report, loop):
    figures = report[loop]
    spawning = "spawning" in loop or "failing" in loop
    iterations = SPAWNING_ITERATIONS if spawning else ITERATIONS
    # Every call of a spawning loop ran ffmpeg once; no refusal ever started it.
    assert figures["ffmpeg_runs"] == (max(iterations // 10, 20) + iterations if spawning else 0)
    assert figures["refcounts"] == []  # [position in the watched list, before, after]
    assert figures["fds"] == 0
    assert figures["children"] is False
    if not SANITIZED:
        assert figures["mapped_growth"] < LARGEST_GROWTH
        if report["rss tracks the process"]:
            assert figures["rss_growth"] < LARGEST_GROWTH
