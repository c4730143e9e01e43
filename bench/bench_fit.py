"""fendral_video.split_to_fit against ffmpeg's own segment time, side by side in one run.

    PYTHONPATH=<dir holding fendral> python bench/bench_fit.py          # ~6 minutes
    PYTHONPATH=<dir holding fendral> python bench/bench_fit.py --seconds 300

Six generated sources of --seconds (default 120) at 640x360: x264's default picture groups (30
fps, keyint 250, scene cuts on a source that cuts every 7 s), a phone-like file with a keyframe
every second, a VBR screen recording (mostly still, bursts of motion), HEVC, an m4a (audio
only) and a Matroska file. For each cap (max_seconds 10 and 30, max_bytes 500 kB, 2 MB, 25 MB):

- split_to_fit: the segment count, the greedy optimum computed here from ffprobe's packets
  (the same rule the tests use), the longest segment and the largest against the cap, the mean
  fill of a byte cap, and the planning time (until ffmpeg starts, seen by a wrapper that records
  the moment it is run) against the whole call.
- split_video with the time as segment time; for a byte cap, the time a user would guess from
  the bitrate (cap / bytes per second): the longest and the largest segment against the cap.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import fendral  # noqa: E402
import fendral_video  # noqa: E402
from machine import load_text, machine_text  # noqa: E402
from test_fit import greedy_count, stated_duration  # noqa: E402


def sources(seconds):
    scenes = (f"testsrc2=size=640x360:rate=30:duration={seconds},"
              "hue=h='360*floor(t/7)/7'")
    screen = (f"color=c=white:size=640x360:rate=30:duration={seconds},"
              "drawtext=fontsize=40:text='%{pts\\:hms}':x=20+200*gt(mod(t\\,20)\\,15):y=20")
    tone = ["-f", "lavfi", "-i", f"sine=frequency=300:duration={seconds}"]
    aac = ["-c:a", "aac", "-b:a", "128k"]
    fast = ["-preset", "veryfast"]
    return {
        "x264 default GOP": ("in.mp4", ["-f", "lavfi", "-i", scenes, *tone, "-c:v", "libx264",
                                        *fast, "-b:v", "1500k", *aac]),
        "keyframe every second": ("in.mp4", ["-f", "lavfi", "-i", scenes, *tone, "-c:v", "libx264",
                                             *fast, "-b:v", "3000k", "-g", "30",
                                             "-sc_threshold", "0", *aac]),
        "VBR screen recording": ("in.mp4", ["-f", "lavfi", "-i", screen, *tone, "-c:v", "libx264",
                                            *fast, "-crf", "23", *aac]),
        "HEVC": ("in.mp4", ["-f", "lavfi", "-i", scenes, *tone, "-c:v", "libx265", *fast,
                            "-b:v", "1000k", "-x265-params", "log-level=error", "-tag:v", "hvc1",
                            *aac]),
        "m4a": ("in.m4a", [*tone, *aac]),
        "Matroska": ("in.mkv", ["-f", "lavfi", "-i", scenes, *tone, "-c:v", "libx264", *fast,
                                "-b:v", "1500k", *aac]),
    }


CAPS = [("10 s", {"max_seconds": 10}), ("30 s", {"max_seconds": 30}),
        ("500 kB", {"max_bytes": 500_000}), ("2 MB", {"max_bytes": 2_000_000}),
        ("25 MB", {"max_bytes": 25_000_000})]


def ffmpeg_wrapper(directory):
    """An ffmpeg first on PATH that writes the moment it starts, then becomes the real one."""
    real = shutil.which("ffmpeg")
    script = os.path.join(directory, "ffmpeg")
    with open(script, "w") as out:
        out.write(f"#!/bin/sh\ndate +%s.%N > {directory}/started\nexec {real} \"$@\"\n")
    os.chmod(script, 0o755)
    return os.path.join(directory, "started")


def wrapper_start_delay(wrapper_dir, started_file):
    """How long the wrapper takes from being started to writing its moment (a shell and
    `date`), the median of 7: taken off the planning time."""
    delays = []
    for _ in range(7):
        begun = time.time()
        subprocess.run([os.path.join(wrapper_dir, "ffmpeg"), "-version"], stdout=subprocess.DEVNULL)
        with open(started_file) as started:
            delays.append(float(started.read()) - begun)
    return sorted(delays)[len(delays) // 2]


def quietly(call):
    """Runs `call` with the process's standard error on /dev/null (split_video's ffmpeg
    inherits it)."""
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        return call()
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def segments_of(directory):
    names = sorted(n for n in os.listdir(directory) if n.endswith(".mp4"))
    return [os.path.join(directory, n) for n in names]


def reencoding_rows(work, seconds):
    """split_to_fit(reencode=True) on a phone-style clip (1280x720, 15 Mbit/s, x264's default
    picture groups, AAC) against a stream-copy split and a whole re-encode of the clip, one after
    the other: time and its ratio to the whole re-encode, segments, the fill of each but the
    last, the re-encoded frames of each cut, and the bytes against the source's."""
    clip = os.path.join(work, "phone.mp4")
    scenes = (f"testsrc2=size=1280x720:rate=30:duration={seconds},"
              "hue=h='360*floor(t/7)/7'")
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", scenes, "-f",
                    "lavfi", "-i", f"sine=frequency=300:duration={seconds}", "-c:v", "libx264",
                    "-preset", "veryfast", "-b:v", "15M", "-c:a", "aac", "-b:a", "128k", clip],
                   check=True)
    size = os.path.getsize(clip)
    out = os.path.join(work, "reencoded")
    whole = os.path.join(work, "whole.mp4")
    begun = time.time()
    # The heads' own settings, over every frame.
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", clip, "-c:v", "libx264", "-crf",
                    "12", "-c:a", "copy", whole], check=True)
    whole_time = time.time() - begun
    print(f"\nphone-style clip: {seconds} s, {size / 1e6:.1f} MB; "
          f"whole re-encode (libx264 crf 12): {whole_time:.1f} s")
    print("| split | time | / whole re-encode | segments | fill of each but the last "
          "| re-encoded frames per cut | bytes / source |")
    print("|---|---|---|---|---|---|---|")
    for name, call in [
            ("stream copy, split_video 10 s",
             lambda: quietly(lambda: fendral.split_video(clip, out, 10))),
            ("reencode=True, 8 MB",
             lambda: fendral_video.split_to_fit(clip, out, max_bytes=8_000_000, reencode=True)),
            ("reencode=True, 16 MB",
             lambda: fendral_video.split_to_fit(clip, out, max_bytes=16_000_000, reencode=True)),
            ("reencode=True, 5 s",
             lambda: fendral_video.split_to_fit(clip, out, max_seconds=5, reencode=True))]:
        shutil.rmtree(out, ignore_errors=True)
        begun = time.time()
        segments = call()
        took = time.time() - begun
        if name.startswith("stream copy"):
            sizes = [os.path.getsize(p) for p in segments_of(out)]
            print(f"| {name} | {took:.1f} s | {took / whole_time:.2f} | {len(sizes)} | | 0 "
                  f"| {sum(sizes) / size:.3f} |", flush=True)
            continue
        cap = 8_000_000 if "8 MB" in name else 16_000_000 if "16 MB" in name else None
        fills = (f"{min(s.size for s in segments[:-1]) / cap:.1%} to "
                 f"{max(s.size for s in segments[:-1]) / cap:.1%}" if cap else
                 f"{min(s.duration for s in segments[:-1]) / 5:.1%} of 5 s at least")
        frames = ", ".join(str(s.reencoded_frames) for s in segments)
        print(f"| {name} | {took:.1f} s | {took / whole_time:.2f} | {len(segments)} | {fills} "
              f"| {frames} | {sum(s.size for s in segments) / size:.3f} |", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--phone-seconds", type=int, default=60)
    parser.add_argument("--only-reencoding", action="store_true")
    arguments = parser.parse_args()
    print(machine_text())
    print(f"load before: {load_text()}")
    if arguments.only_reencoding:
        work = tempfile.mkdtemp(prefix="bench-fit-")
        try:
            reencoding_rows(work, arguments.phone_seconds)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        print(f"load after: {load_text()}")
        return
    work = tempfile.mkdtemp(prefix="bench-fit-")
    wrapper_dir = os.path.join(work, "bin")
    os.makedirs(wrapper_dir)
    started_file = ffmpeg_wrapper(wrapper_dir)
    made = {}
    for name, (file_name, args) in sources(arguments.seconds).items():
        path = os.path.join(work, name.replace(" ", "_") + "_" + file_name)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *args, "-t", str(arguments.seconds),
                        path], check=True)
        made[name] = path

    delay = wrapper_start_delay(wrapper_dir, started_file)
    print(f"wrapper start delay taken off the planning time: {delay * 1000:.1f} ms")
    print("| source | cap | segments (optimum) | longest / cap | largest / cap | mean fill |"
          " planning / split | split_video: longest / cap | largest / cap |")
    print("|---|---|---|---|---|---|---|---|---|")
    path_before = os.environ["PATH"]
    try:
        for name, path in made.items():
            size = os.path.getsize(path)
            length = stated_duration(path)
            for cap_name, caps in CAPS:
                out = os.path.join(work, "fit")
                shutil.rmtree(out, ignore_errors=True)
                os.environ["PATH"] = f"{wrapper_dir}:{path_before}"
                begun = time.time()
                try:
                    segments = fendral_video.split_to_fit(path, out, **caps)
                except ValueError as refused:
                    print(f"| {name} | {cap_name} | refused: {refused} | | | | | | |")
                    continue
                finally:
                    os.environ["PATH"] = path_before
                ended = time.time()
                with open(started_file) as started:
                    planning = float(started.read()) - begun - delay
                optimum = greedy_count(path, caps.get("max_seconds"), caps.get("max_bytes"))
                longest = max(s.duration for s in segments)
                largest = max(s.size for s in segments)
                cap_seconds, cap_bytes = caps.get("max_seconds"), caps.get("max_bytes")
                # The last segment holds what is left, so it does not count.
                full = segments[:-1]
                fill = (f"{sum(s.size for s in full) / len(full) / cap_bytes:.0%}"
                        if cap_bytes and full else "")

                # ffmpeg's own: the time cap as segment time, a byte cap as the time it lasts
                # at the source's mean bitrate.
                guess = cap_seconds or max(1, int(cap_bytes / (size / length)))
                plain = os.path.join(work, "plain")
                shutil.rmtree(plain, ignore_errors=True)
                quietly(lambda: fendral.split_video(path, plain, guess))
                plain_segments = segments_of(plain)
                plain_longest = max(stated_duration(p) for p in plain_segments)
                plain_largest = max(os.path.getsize(p) for p in plain_segments)

                def ratio(value, cap):
                    return f"{value / cap:.2f}" if cap else ""

                print(f"| {name} | {cap_name} | {len(segments)} ({optimum}) "
                      f"| {ratio(longest, cap_seconds)} | {ratio(largest, cap_bytes)} | {fill} "
                      f"| {planning * 1000:.0f} ms / {(ended - begun) * 1000:.0f} ms "
                      f"({planning / (ended - begun):.1%}) "
                      f"| {ratio(plain_longest, cap_seconds)} "
                      f"| {ratio(plain_largest, cap_bytes)} |", flush=True)
        reencoding_rows(work, arguments.phone_seconds)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"load after: {load_text()}")


if __name__ == "__main__":
    main()
