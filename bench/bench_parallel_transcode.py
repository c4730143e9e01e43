"""examples/parallel_transcode.py against one whole-video ffmpeg encode with the same settings.

    PYTHONPATH=<dir holding fendral> python bench/bench_parallel_transcode.py \
        [--seconds 40] [--size 640x360] [--segment-seconds 10] [--rounds 3] [--dask]

The input is generated once: test patterns with moving noise (so the encoder has real work), 30
frames per second, a keyframe every 2 s, AAC audio. Each round runs every contender once, in
turn: the whole file in one ffmpeg run (which spreads its encode over all cores itself), the
recipe with --jobs set to the core count, and with --dask also --dask-local with as many workers.
The load average is printed before each run, since other work on the machine skews the times,
and so are the CPU seconds each run used; the table shows the best and the median wall time and
the speed-up of the best times.
"""

import argparse
import importlib.util
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Tuple

from machine import load_text, machine_text

RECIPE = Path(__file__).resolve().parent.parent / "examples" / "parallel_transcode.py"


def recipe_settings() -> List[str]:
    spec = importlib.util.spec_from_file_location("parallel_transcode", RECIPE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return list(module.VIDEO_SETTINGS)


def make_input(path: Path, seconds: int, size: str) -> None:
    subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi",
         "-i", f"testsrc2=size={size}:rate=30:duration={seconds},noise=alls=10:allf=t",
         "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}",
         "-c:v", "libx264", "-preset", "ultrafast", "-crf", "18", "-g", "60",
         "-c:a", "aac", "-shortest", str(path)], check=True)


def timed(command: List[str]) -> Tuple[float, float]:
    """Wall seconds, and CPU seconds of every process the command ran."""
    used_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    wall = time.monotonic() - started
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (used.ru_utime - used_before.ru_utime) + (used.ru_stime - used_before.ru_stime)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=40)
    parser.add_argument("--size", default="640x360")
    parser.add_argument("--segment-seconds", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dask", action="store_true", help="also time --dask-local")
    arguments = parser.parse_args()
    cores = os.cpu_count() or 1
    work = Path(tempfile.mkdtemp(prefix="bench-transcode-"))
    try:
        source = work / "source.mp4"
        make_input(source, arguments.seconds, arguments.size)
        output = work / "output.mp4"
        whole = ["ffmpeg", "-nostdin", "-v", "error", "-i", str(source), "-map", "0:V?",
                 "-map", "0:a?", *recipe_settings(), "-c:a", "copy", "-fps_mode", "passthrough",
                 str(output)]
        recipe = [sys.executable, str(RECIPE), str(source), str(output),
                  "--segment-seconds", str(arguments.segment_seconds)]
        contenders = {"one ffmpeg run": whole, f"recipe --jobs {cores}": recipe + [
            "--jobs", str(cores)]}
        if arguments.dask:
            contenders[f"recipe --dask-local {cores}"] = recipe + ["--dask-local", str(cores)]
        times: Dict[str, List[float]] = {name: [] for name in contenders}
        print(f"machine: {machine_text()}")
        print(f"{arguments.seconds} s at {arguments.size}, {arguments.segment_seconds}-second "
              f"segments, {cores} cores")
        for round_number in range(1, arguments.rounds + 1):
            for name, command in contenders.items():
                load = load_text()
                output.unlink(missing_ok=True)
                seconds, cpu = timed(command)
                times[name].append(seconds)
                print(f"round {round_number}: {name:<24} {seconds:6.1f} s, CPU {cpu:6.1f} s "
                      f"(load before: {load})", flush=True)
        baseline = min(times["one ffmpeg run"])
        print(f"\n{'contender':<24} {'best':>7} {'median':>7} {'speed-up (best)':>16}")
        for name, measured in times.items():
            print(f"{name:<24} {min(measured):6.1f}s {statistics.median(measured):6.1f}s "
                  f"{baseline / min(measured):15.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
