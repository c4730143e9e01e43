"""fendral demo: cut a file into chunks and a video into segments, join both back, verify.

With no arguments it generates its own inputs: a file of random bytes and, when ffmpeg is on
PATH, a short test video (colour bars with a counter and a 440 Hz tone, a keyframe every
second). Every output stays in the work directory (./fendral-demo-output unless --workdir says
otherwise), ffmpeg's own output included, which goes to a log file there; the report at the end
says where.
"""

import argparse
import contextlib
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import fendral
import fendral_video

SAMPLE_FILE_SIZE = 10 * 1024 * 1024 + 12345  # not a multiple of the chunk size: a short last chunk
SAMPLE_VIDEO_SECONDS = 6
DURATION_TOLERANCE_SECONDS = 0.5
FILE_PART = "file-round-trip"
VIDEO_PART = "video-round-trip"
FFMPEG_LOG = "ffmpeg.log"
LOG_LINES_ON_FAILURE = 15
FENDRAL_ERRORS = (OSError, RuntimeError, ValueError, TypeError, OverflowError)


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text}")
    return value


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Cut and join a file and a video with fendral, and check the results.",
        epilog=f"Each run replaces the directories {FILE_PART}/ and {VIDEO_PART}/ inside the "
               "work directory, and nothing else there.")
    parser.add_argument("--file", type=Path, help="file to cut and join (default: a generated "
                        f"file of {SAMPLE_FILE_SIZE} random bytes)")
    parser.add_argument("--video", type=Path, help="video to split and join (default: a "
                        f"generated {SAMPLE_VIDEO_SECONDS}-second test video); needs ffmpeg")
    parser.add_argument("--chunk-size", type=positive_int, default=1024 * 1024,
                        help="bytes per chunk (default: %(default)s)")
    parser.add_argument("--segment-seconds", type=positive_int, default=2,
                        help="segment length in seconds (default: %(default)s)")
    parser.add_argument("--workdir", type=Path, default=Path("fendral-demo-output"),
                        help="directory for every output (default: ./%(default)s)")
    return parser.parse_args(argv)


def fresh_directory(path: Path) -> Path:
    """An empty directory: split_video wants its output directory new or empty, and ffmpeg
    refuses to overwrite, so nothing of an earlier run may remain."""
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


Outcome = Tuple[bool, List[str]]  # passed, report lines


def file_round_trip(source: Optional[Path], chunk_size: int, directory: Path) -> Outcome:
    if source is None:
        source = directory / "sample.bin"
        source.write_bytes(os.urandom(SAMPLE_FILE_SIZE))
    joined = directory / f"joined-{source.name}"
    chunks = fendral.deconstruct_file(str(source), chunk_size)
    random.shuffle(chunks)  # reconstruct_file puts them back in index order
    fendral.reconstruct_file(chunks, str(joined))
    original_digest, joined_digest = sha256_of(source), sha256_of(joined)
    passed = original_digest == joined_digest
    lines = [
        f"{'OK' if passed else 'FAILED'}: {source} ({source.stat().st_size} bytes) cut into "
        f"{len(chunks)} chunks of up to {chunk_size} bytes, joined in shuffled order",
        f"SHA-256 original {original_digest}",
        f"SHA-256 joined   {joined_digest}" + ("" if passed else "  <- differs"),
        f"joined copy: {joined}",
    ]
    return passed, lines


@contextlib.contextmanager
def output_to(log: Path) -> Iterator[None]:
    """Sends this process's stdout and stderr to the end of log meanwhile: the ffmpeg that
    fendral starts writes to the descriptors it inherits."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    try:
        with open(log, "ab") as sink:
            os.dup2(sink.fileno(), 1)
            os.dup2(sink.fileno(), 2)
        yield
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        for descriptor, original in enumerate(saved, start=1):
            os.dup2(original, descriptor)
            os.close(original)


def last_lines(log: Path, count: int) -> List[str]:
    try:
        return log.read_text(errors="replace").splitlines()[-count:]
    except FileNotFoundError:
        return []


def make_sample_video(path: Path) -> None:
    rate = 25
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
         "-f", "lavfi", "-i", f"testsrc=size=320x240:rate={rate}:duration={SAMPLE_VIDEO_SECONDS}",
         "-f", "lavfi", "-i", f"sine=frequency=440:duration={SAMPLE_VIDEO_SECONDS}",
         "-c:v", "mpeg4", "-q:v", "5", "-g", str(rate), "-c:a", "aac", "-shortest", str(path)],
        check=True, stdin=subprocess.DEVNULL)


def probe(path: Path) -> Tuple[float, List[str]]:
    """(duration in seconds, one description per stream) as ffprobe sees them."""
    output = subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", "-show_entries",
         "format=duration:stream=codec_type,codec_name,width,height,sample_rate,channels",
         str(path)],
        check=True, capture_output=True, stdin=subprocess.DEVNULL).stdout
    info = json.loads(output)
    streams: List[str] = []
    for stream in info.get("streams", []):
        if stream.get("codec_type") == "video":
            streams.append(f"video {stream.get('codec_name')} {stream.get('width')}x"
                           f"{stream.get('height')}")
        else:
            streams.append(f"{stream.get('codec_type')} {stream.get('codec_name')} "
                           f"{stream.get('sample_rate', '')} Hz {stream.get('channels', '')} ch")
    return float(info["format"]["duration"]), streams


def video_round_trip(source: Optional[Path], segment_seconds: int, directory: Path) -> Outcome:
    log = directory / FFMPEG_LOG
    segments = directory / "segments"
    fitted = directory / "fitted"
    joined = directory / "joined.mp4"
    print(f"video part: ffmpeg's output goes to {log}", flush=True)
    with output_to(log):
        if source is None:
            source = directory / "sample.mp4"
            print(f"=== making the sample video {source}", flush=True)
            make_sample_video(source)
        print(f"=== splitting {source} into {segments}", flush=True)
        fendral.split_video(str(source), str(segments), segment_seconds)
        print(f"=== joining the segments into {joined}", flush=True)
        fendral.reconstruct_video(str(segments), str(joined))
        print(f"=== cutting {source} into segments of at most {segment_seconds} s in {fitted}",
              flush=True)
        fits = fendral_video.split_to_fit(source, fitted, max_seconds=segment_seconds)
    segment_count = json.loads((segments / "metadata.json").read_text())["chunk_count"]

    (duration, streams), (joined_duration, joined_streams) = probe(source), probe(joined)
    close_enough = abs(joined_duration - duration) <= DURATION_TOLERANCE_SECONDS
    longest = max(segment.duration for segment in fits)
    passed = close_enough and streams == joined_streams and longest <= segment_seconds
    lines = [
        f"{'OK' if passed else 'FAILED'}: {source} ({duration:.2f} s) split into "
        f"{segment_count} segments of about {segment_seconds} s, joined back without re-encoding",
        f"duration original {duration:.2f} s, joined {joined_duration:.2f} s "
        + ("(within" if close_enough else "(NOT within") + f" {DURATION_TOLERANCE_SECONDS} s)",
        f"streams original {'; '.join(streams)}",
        f"streams joined   {'; '.join(joined_streams)}"
        + ("" if streams == joined_streams else "  <- differ"),
        f"fitted split: {len(fits)} segments of at most {segment_seconds} s "
        f"(longest {longest:.2f} s, largest {max(segment.size for segment in fits)} bytes) "
        f"in {fitted}",
        f"segments, metadata.json and concat_list.txt: {segments}",
        f"joined video: {joined}",
        f"ffmpeg's output: {log}",
    ]
    return passed, lines


def run_part(part: Callable[[Optional[Path], int, Path], Outcome], source: Optional[Path],
             size: int, directory: Path) -> Outcome:
    """Runs one round trip; a refusal from fendral is a failed part, not a crash of the demo."""
    subject = source if source is not None else "the generated sample"
    try:
        return part(source, size, directory)
    except FENDRAL_ERRORS as error:
        # fendral's messages do not name the path; the report does.
        return False, [f"FAILED on {subject}: {type(error).__name__}: {error}"]
    except subprocess.CalledProcessError as error:
        return False, [f"FAILED on {subject}: {Path(error.cmd[0]).name} exited with status "
                       f"{error.returncode}"]


def inside(path: Path, directory: Path) -> bool:
    absolute, container = os.path.abspath(path), os.path.abspath(directory)
    return os.path.commonpath([absolute, container]) == container


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    workdir = arguments.workdir.resolve()
    for given in (arguments.file, arguments.video):
        if given is not None and any(inside(given, workdir / part)
                                     for part in (FILE_PART, VIDEO_PART)):
            sys.exit(f"demo.py: {given} lies in a directory that the demo replaces; "
                     "copy it elsewhere or choose another --workdir")
    results: Dict[str, Outcome] = {}

    results["file"] = run_part(file_round_trip, arguments.file, arguments.chunk_size,
                               fresh_directory(workdir / FILE_PART))

    missing = [tool for tool in ("ffmpeg", "ffprobe") if shutil.which(tool) is None]
    if missing:
        # Asked for explicitly, the video part counts as failed; by default it is just skipped.
        verdict = "FAILED" if arguments.video else "SKIPPED"
        results["video"] = (not arguments.video, [
            f"{verdict}: {' and '.join(missing)} not found on PATH; install ffmpeg "
            "(e.g. apt-get install ffmpeg) to cut and join videos"])
    else:
        video_directory = fresh_directory(workdir / VIDEO_PART)
        results["video"] = run_part(video_round_trip, arguments.video, arguments.segment_seconds,
                                    video_directory)
        log = video_directory / FFMPEG_LOG
        tail = last_lines(log, LOG_LINES_ON_FAILURE)
        if not results["video"][0] and tail:
            results["video"][1].extend([f"last lines of {log}:", *(f"  {line}" for line in tail)])

    print(f"\nfendral demo report (outputs in {workdir})")
    for name, (_, lines) in results.items():
        print(f"{name + ':':<7}{lines[0]}")
        for line in lines[1:]:
            print(f"{'':<7}{line}")
    return 0 if all(passed for passed, _ in results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
