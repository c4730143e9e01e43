"""What checking the segments costs a join: reading 1,000 segments as MP4 files.

    PYTHONPATH=<dir holding fendral> python bench/bench_segment_check.py [--segments 1000]

A video of that many seconds (tiny picture, with sound) is cut into one-second segments. Each
round then times reconstruct_video with a stand-in ffmpeg that does nothing (so only the
module's own work is timed: reading metadata.json, checking and reading every segment, writing
the lists) beside ffmpeg joining the same segments directly. A third contender finds the file
ffmpeg joined already at the output path, as a real join leaves it, so the module also reads it
back to check that nothing was lost: that read's cost is the median difference of the two
module runs over --pairs pairs run back to back, which a busy machine's noise affects least.
Medians after a warm-up round.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

import fendral

from machine import load_text, machine_text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--segments", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--pairs", type=int, default=40)
    arguments = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="fendral-segment-bench-")
    try:
        source = os.path.join(directory, "input.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                        f"testsrc=size=32x32:rate=5:duration={arguments.segments}", "-f", "lavfi",
                        "-i", f"sine=duration={arguments.segments}", "-c:v", "libx264", "-g", "5",
                        "-c:a", "aac", "-shortest", source], check=True)
        segments = os.path.join(directory, "segments")
        os.mkdir(segments)
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", source, "-map", "0",
                        "-c", "copy", "-f", "segment", "-segment_time", "1",
                        "-reset_timestamps", "1", "-avoid_negative_ts", "disabled",
                        os.path.join(segments, "chunk_%04d.mp4")], check=True)
        names = sorted(os.listdir(segments))
        paths = [os.path.join(segments, name) for name in names]
        with open(os.path.join(segments, "metadata.json"), "w") as out:
            out.write('{"original_file": "input.mp4", "output_prefix": "p", "chunk_count": %d, '
                      '"chunk_paths": [%s], "split_type": "time", "split_value": "1s"}'
                      % (len(paths), ", ".join('"%s"' % path for path in paths)))
        direct_list = os.path.join(directory, "direct_list.txt")
        with open(direct_list, "w") as out:
            out.writelines(f"file '{path}'\n" for path in paths)
        stand_in = os.path.join(directory, "bin")
        os.mkdir(stand_in)
        os.symlink(shutil.which("true"), os.path.join(stand_in, "ffmpeg"))
        joined = os.path.join(directory, "joined.mp4")
        nothing_joined = os.path.join(directory, "nothing-joined.mp4")
        real_path = os.environ["PATH"]

        def module_run(output):
            os.environ["PATH"] = stand_in
            try:
                start = time.perf_counter()
                fendral.reconstruct_video(segments, output)
                return time.perf_counter() - start
            finally:
                os.environ["PATH"] = real_path

        def module_only():
            return module_run(nothing_joined)

        def module_and_check():  # reads the file the previous ffmpeg_join wrote
            return module_run(joined)

        def ffmpeg_join():
            start = time.perf_counter()
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "concat",
                            "-safe", "0", "-i", direct_list, "-map", "0", "-c", "copy", joined],
                           check=True)
            return time.perf_counter() - start

        samples = {module_only: [], ffmpeg_join: [], module_and_check: []}
        for round_number in range(arguments.rounds + 1):
            for run in samples:
                elapsed = run()
                if round_number:
                    samples[run].append(elapsed)
        module = statistics.median(samples[module_only])
        direct = statistics.median(samples[ffmpeg_join])
        checked = statistics.median(samples[module_and_check])
        differences = [module_and_check() - module_only() for _ in range(arguments.pairs)]
        read_back = statistics.median(differences)
        print(f"machine: {machine_text()}; load average: {load_text()}")
        print(f"{len(paths)} segments, {arguments.rounds} rounds after a warm-up; medians")
        print(f"module's own work (segments checked and read, lists written): "
              f"{module * 1e3:.1f} ms")
        print(f"ffmpeg joining them:                                           "
              f"{direct * 1e3:.1f} ms")
        print(f"module's own work and the joined file read back:              "
              f"{checked * 1e3:.1f} ms")
        print(f"the read back (median of {arguments.pairs} paired differences):            "
              f"{read_back * 1e3:.2f} ms")
        print(f"module / ffmpeg: {module / direct:.3f}; with the read back: {checked / direct:.3f}")
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
