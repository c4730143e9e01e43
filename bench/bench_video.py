"""split_video and reconstruct_video against running the same ffmpeg command lines directly.

    PYTHONPATH=<dir holding fendral> python bench/bench_video.py [--seconds 60] [--rounds 15]

A test video (tiny picture, with sound) is generated first. Each round runs the module call and
the direct ffmpeg run, alternating which goes first, into fresh output paths; the first round
is a warm-up and the table shows medians. The module's overhead is its wall time over the
direct run's, and, steadier on a busy machine, the CPU time the calling process itself spent
(ffmpeg's own time is a child's and is not in it) as a share of the direct run.
"""

import argparse
import contextlib
import os
import shutil
import statistics
import subprocess
import tempfile
import time

import fendral

from machine import load_text, machine_text


@contextlib.contextmanager
def quiet_standard_streams():
    # ffmpeg inherits the caller's streams; point them at /dev/null for both contenders alike.
    saved = [os.dup(fd) for fd in (0, 1, 2)]
    null = os.open(os.devnull, os.O_RDWR)
    try:
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        yield
    finally:
        for fd, copy in zip((0, 1, 2), saved):
            os.dup2(copy, fd)
            os.close(copy)
        os.close(null)


def make_video(path, seconds):
    subprocess.run(
        ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
         f"testsrc=size=96x64:rate=25:duration={seconds}", "-f", "lavfi", "-i",
         f"sine=frequency=440:duration={seconds}", "-c:v", "libx264", "-g", "25", "-c:a", "aac",
         "-shortest", path], check=True)


def timed(run):
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=60, help="video length (default 60)")
    parser.add_argument("--segment", type=int, default=10, help="time_limit_sec (default 10)")
    parser.add_argument("--rounds", type=int, default=15)
    arguments = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="fendral-video-bench-")
    try:
        source = os.path.join(directory, "input.mp4")
        make_video(source, arguments.seconds)
        counter = iter(range(1 << 30))

        def split_module():
            target = os.path.join(directory, f"split{next(counter)}")
            return timed(lambda: fendral.split_video(source, target, arguments.segment))

        def split_direct():
            target = os.path.join(directory, f"split{next(counter)}")
            os.mkdir(target)
            command = ["ffmpeg", "-i", source, "-c:v", "copy", "-c:a", "copy", "-f", "segment",
                       "-segment_time", str(arguments.segment), "-reset_timestamps", "1",
                       os.path.join(target, "chunk_%03d.mp4")]
            return timed(lambda: subprocess.run(command, check=True))

        # One split to join back, with its concat list written for the direct run.
        with quiet_standard_streams():
            split_module()
        segments_dir = os.path.join(directory, "split0")
        list_path = os.path.join(directory, "direct_list.txt")
        with open(list_path, "w") as listing:
            for name in sorted(os.listdir(segments_dir)):
                if name.endswith(".mp4"):
                    listing.write(f"file '{os.path.join(segments_dir, name)}'\n")
        joined = os.path.join(directory, "joined.mp4")

        def join_module():
            with contextlib.suppress(FileNotFoundError):
                os.unlink(joined)
            return timed(lambda: fendral.reconstruct_video(segments_dir, joined))

        def join_direct():
            with contextlib.suppress(FileNotFoundError):
                os.unlink(joined)
            command = ["ffmpeg", "-f", "concat", "-safe", "0", "-i", list_path, "-c", "copy",
                       joined]
            return timed(lambda: subprocess.run(command, check=True))

        rows = []
        for title, module_run, direct_run in (("split_video", split_module, split_direct),
                                              ("reconstruct_video", join_module, join_direct)):
            samples = {"module": [], "direct": []}
            for round_number in range(arguments.rounds + 1):
                pairs = [("module", module_run), ("direct", direct_run)]
                if round_number % 2:
                    pairs.reverse()
                for name, run in pairs:
                    with quiet_standard_streams():
                        sample = run()
                    if round_number:
                        samples[name].append(sample)
            module = statistics.median(wall for wall, _ in samples["module"])
            direct = statistics.median(wall for wall, _ in samples["direct"])
            own_cpu = statistics.median(cpu for _, cpu in samples["module"])
            rows.append(f"| {title} | {module * 1e3:.1f} ms | {direct * 1e3:.1f} ms | "
                        f"{(module / direct - 1) * 100:+.1f}% | {own_cpu * 1e3:.2f} ms "
                        f"({own_cpu / direct * 100:.2f}%) |")

        print(f"machine: {machine_text()}; load average: {load_text()}")
        print(f"video: {arguments.seconds} s, 96x64, split every {arguments.segment} s; "
              f"{arguments.rounds} rounds after a warm-up; medians\n")
        print("| call | module | ffmpeg directly | wall overhead | module's own CPU (share) |")
        print("|---|---|---|---|---|")
        for row in rows:
            print(row)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
