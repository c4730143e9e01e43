"""Transcode a video in parallel: cut it into segments without re-encoding, re-encode every
segment on several local ffmpeg processes or on a Dask cluster at once, and join the results.

    python examples/parallel_transcode.py INPUT OUTPUT --segment-seconds N [--workdir DIR]
        [--jobs N | --dask-local N | --scheduler ADDRESS]

Every segment is encoded with the same fixed settings (below), each starting with a keyframe and
using closed GOPs, so the encoded segments join without re-encoding; audio is copied, never
re-encoded, so it cannot drift against the video. The segments live in a fresh directory inside
--workdir (default: OUTPUT's directory) that is removed at the end. Segments are named by their
absolute paths, so with --scheduler that directory must be on storage that every worker sees at
the same path and can write to. Workers need ffmpeg (5.1 or later) on PATH, but not fendral.

Needs ffmpeg on PATH; --dask-local and --scheduler need the dask extra: pip install ".[dask]".
Exits with 0 only when OUTPUT was written; an existing OUTPUT is never replaced.
"""

import argparse
import concurrent.futures
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

import fendral

PROGRAM = "parallel_transcode.py"
CORES = os.cpu_count() or 1

# One fixed set of settings for every segment: segments encoded alike share one stream
# configuration, which joining by stream copy needs. Change them here, never per segment.
VIDEO_SETTINGS = ["-c:v", "libx264", "-preset", "medium", "-crf", "23", "-pix_fmt", "yuv420p",
                  "-profile:v", "high", "-flags", "+cgop"]


class Failure(Exception):
    """A failure worth one line to the user."""


Encoded = Tuple[str, float]  # segment path, seconds its encode took


def encode_segment(segment: str) -> Encoded:
    """Re-encodes one segment in place. Runs on a worker, so it uses only the standard library;
    a failure is raised as a RuntimeError whose message names the segment."""
    started = time.monotonic()
    directory, name = os.path.split(segment)
    partial = os.path.join(directory, f".{name}.encoding")  # not .mp4: never taken for a segment
    command = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", segment,
               "-map", "0:V?", "-map", "0:a?", *VIDEO_SETTINGS, "-c:a", "copy",
               "-fps_mode", "passthrough", "-f", "mp4", partial]
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
    except OSError as error:  # ffmpeg missing on this worker, among others
        raise RuntimeError(f"encoding {segment} failed: cannot run ffmpeg: {error}") from None
    if result.returncode != 0:
        with contextlib.suppress(OSError):
            os.remove(partial)
        how = (f"killed by signal {-result.returncode}" if result.returncode < 0
               else f"exited with status {result.returncode}")
        lines = result.stderr.decode(errors="replace").strip().splitlines()
        raise RuntimeError(f"encoding {segment} failed: ffmpeg {how}"
                           + (f": {lines[-1]}" if lines else ""))
    os.replace(partial, segment)
    return segment, time.monotonic() - started


def encode_on_local_processes(segments: List[str], jobs: int) -> Iterator[Encoded]:
    # The encoding happens in ffmpeg's own processes; a thread per running encode is all the
    # Python side needs.
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = [pool.submit(encode_segment, segment) for segment in segments]
        try:
            for future in concurrent.futures.as_completed(futures):
                yield future.result()
        finally:
            for future in futures:  # after a failure, start no further encode
                future.cancel()


def encode_on_dask(segments: List[str], client: Any) -> Iterator[Encoded]:
    from dask.distributed import as_completed

    futures = client.map(encode_segment, segments, pure=False)
    try:
        for future in as_completed(futures):
            encoded: Encoded = future.result()
            yield encoded
    finally:
        client.cancel(futures)


Encoder = Callable[[List[str]], Iterator[Encoded]]


def start_encoder(arguments: argparse.Namespace, resources: contextlib.ExitStack) -> Encoder:
    """Starts what --jobs, --dask-local or --scheduler asks for, before any work is done, so a
    missing extra or an unreachable scheduler fails at once."""
    if arguments.dask_local is None and arguments.scheduler is None:
        jobs = arguments.jobs or CORES
        return lambda segments: encode_on_local_processes(segments, jobs)
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise Failure("--dask-local and --scheduler need dask: pip install \".[dask]\"") from None
    if arguments.scheduler is not None:
        client = resources.enter_context(Client(arguments.scheduler))
    else:
        cluster = resources.enter_context(LocalCluster(
            n_workers=arguments.dask_local, threads_per_worker=1, dashboard_address=None))
        client = resources.enter_context(Client(cluster))
    return lambda segments: encode_on_dask(segments, client)


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Re-encode a video segment by segment in parallel with "
        "fendral and ffmpeg, then join the segments.")
    parser.add_argument("input", metavar="INPUT", help="video to transcode")
    parser.add_argument("output", metavar="OUTPUT", help="joined result; must not exist yet")
    parser.add_argument("--segment-seconds", type=int, required=True, metavar="N",
                        help="segment length in seconds (each cut falls on a keyframe)")
    parser.add_argument("--workdir", metavar="DIR", help="where the segment directory is made; "
                        "with --scheduler, storage every worker sees (default: OUTPUT's directory)")
    where = parser.add_mutually_exclusive_group()
    # No default here: argparse would take an explicit value equal to it for an absent option.
    where.add_argument("--jobs", type=int, metavar="N",
                       help=f"encodes at once on this machine (default: {CORES}, the cores)")
    where.add_argument("--dask-local", type=int, metavar="N",
                       help="encode on a Dask LocalCluster of N single-threaded workers")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="encode on the Dask cluster whose scheduler is at ADDRESS")
    arguments = parser.parse_args(argv)
    for option in ("segment_seconds", "jobs", "dask_local"):
        value = getattr(arguments, option)
        if value is not None and value <= 0:
            parser.error(f"--{option.replace('_', '-')} must be a positive integer, not {value}")
    return arguments


def transcode(arguments: argparse.Namespace, encode: Encoder, segment_dir: str) -> None:
    print(f"splitting {arguments.input} into {arguments.segment_seconds}-second segments",
          flush=True)
    try:
        fendral.split_video(arguments.input, segment_dir, arguments.segment_seconds)
    except (OSError, RuntimeError) as error:
        raise Failure(f"splitting {arguments.input} failed: {error}") from None
    with open(os.path.join(segment_dir, "metadata.json"), encoding="utf-8") as metadata:
        segments: List[str] = json.load(metadata)["chunk_paths"]
    if not segments:
        raise Failure(f"splitting {arguments.input} gave no segments")

    for done, (segment, seconds) in enumerate(encode(segments), start=1):
        print(f"[{done}/{len(segments)}] {os.path.basename(segment)} encoded in {seconds:.1f} s",
              flush=True)

    # Join inside the segment directory and move the result into place only when it is
    # complete. ffmpeg picks the container from the extension.
    extension = os.path.splitext(arguments.output)[1] or ".mp4"
    joined = os.path.join(segment_dir, "joined" + extension)
    print(f"joining {len(segments)} segments into {arguments.output}", flush=True)
    try:
        fendral.reconstruct_video(segment_dir, joined)
    except RuntimeError as error:
        raise Failure(f"joining the segments failed: {error}") from None
    if os.path.lexists(arguments.output):
        raise Failure(f"{arguments.output} appeared meanwhile; the result is not moved there")
    shutil.move(joined, arguments.output)


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    if os.path.lexists(arguments.output):
        sys.exit(f"{PROGRAM}: {arguments.output} exists; remove it or choose another OUTPUT")
    # Refused before any work, in the user's own words: otherwise a missing --workdir would be
    # named by the segment directory made in it, and OUTPUT's directory found missing only once
    # every segment was encoded.
    output_dir = os.path.dirname(arguments.output)
    if output_dir and not os.path.isdir(output_dir):
        sys.exit(f"{PROGRAM}: cannot write {arguments.output}: {output_dir} is not a directory")
    if arguments.workdir is not None and not os.path.isdir(arguments.workdir):
        sys.exit(f"{PROGRAM}: --workdir {arguments.workdir} is not a directory")
    # ffmpeg inherits standard input and would take keys from a terminal; this script reads none.
    devnull = os.open(os.devnull, os.O_RDONLY)
    if devnull != 0:
        os.dup2(devnull, 0)
        os.close(devnull)

    workdir = os.path.abspath(arguments.workdir or os.path.dirname(arguments.output) or ".")
    started = time.monotonic()
    try:
        with contextlib.ExitStack() as resources:
            segment_dir = tempfile.mkdtemp(prefix=".parallel-transcode-", dir=workdir)
            resources.callback(shutil.rmtree, segment_dir, ignore_errors=True)
            # Stopped before the directory goes, so a local cluster's encodes end first.
            encode = start_encoder(arguments, resources)
            transcode(arguments, encode, segment_dir)
    except (Failure, OSError, RuntimeError) as error:
        sys.exit(f"{PROGRAM}: {error}")
    print(f"wrote {arguments.output} in {time.monotonic() - started:.1f} s", flush=True)
    return 0 if os.path.isfile(arguments.output) else 1


if __name__ == "__main__":
    sys.exit(main())
