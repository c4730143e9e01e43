"""The ``fendral`` command: cut and join files and videos from the shell.

Run as ``fendral`` (the console script) or ``python -m fendral_cli``. Exit status 0 on success,
1 for a failure (one line ``fendral: error: ...`` on standard error), 2 for a usage error.
"""

import argparse
import contextlib
import fractions
import json
import logging
import os
import re
import sys
from typing import Callable, Iterator, List, Optional, Sequence, TextIO

import fendral
import fendral_stream
import fendral_video

MANIFEST_NAME = "manifest.json"

# Decimal units count in powers of 1000, binary ones in powers of 1024; "M" alone means "MB".
_SIZE_UNITS = {"": 1, "b": 1}
for _power, _letter in enumerate("kmgtp", start=1):
    _SIZE_UNITS[_letter] = _SIZE_UNITS[_letter + "b"] = 1000**_power
    _SIZE_UNITS[_letter + "ib"] = 1024**_power
_SIZE = re.compile(r"(\d+(?:\.\d+)?)\s*([a-z]*)", re.IGNORECASE)


def parse_size(text: str) -> int:
    """A byte count from ``25MB`` (10**6), ``8MiB`` (2**20), ``25M`` (as MB) or ``4096``."""
    match = _SIZE.fullmatch(text.strip())
    unit = _SIZE_UNITS.get(match.group(2).lower()) if match else None
    if match is None or unit is None:
        raise argparse.ArgumentTypeError(
            f"invalid size {text!r}: give bytes, or a number with kB, MB, GB, KiB, MiB or GiB")
    size = fractions.Fraction(match.group(1)) * unit
    if size.denominator != 1 or size < 1:
        raise argparse.ArgumentTypeError(
            f"invalid size {text!r}: not a whole number of bytes, 1 or more")
    return int(size)


def parse_seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = float("nan")
    if not seconds > 0 or seconds == float("inf"):
        raise argparse.ArgumentTypeError(f"invalid time {text!r}: give seconds above 0")
    return seconds


def parse_time(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = float("nan")
    if not seconds >= 0 or seconds == float("inf"):
        raise argparse.ArgumentTypeError(f"invalid time {text!r}: give seconds, 0 or more")
    return seconds


def parse_whole_seconds(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"invalid time {text!r}: give whole seconds, 1 or more")
    return int(text)


class Progress:
    """A bar on standard error when it is a terminal; nothing otherwise or with --quiet."""

    def __init__(self, shown: bool, stream: TextIO = sys.stderr) -> None:
        self.stream = stream
        self.shown = shown and stream.isatty()
        self.drawn = False

    def __call__(self, done: float, total: float) -> None:
        if not self.shown or total <= 0:
            return
        share = min(max(done / total, 0.0), 1.0)
        filled = int(share * 30)
        self.stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {share:4.0%}")
        self.stream.flush()
        self.drawn = True

    def end(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()
            self.drawn = False


@contextlib.contextmanager
def ffmpeg_output(verbose: bool) -> Iterator[None]:
    """ffmpeg's log to standard error with -v, else nowhere.

    fendral_video hands it to the logger "fendral_video.ffmpeg"; fendral's own calls let ffmpeg
    write to the standard error it inherits, so that is pointed at /dev/null meanwhile.
    """
    if verbose:
        yield
        return
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
        try:
            os.dup2(null, 2)
        finally:
            os.close(null)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def part_name(index: int) -> str:
    return f"part-{index:06d}"


def write_new_file(path: str, data: bytes) -> None:
    """Write ``data`` to ``path``, never through a link found there."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC
    descriptor = os.open(path, flags, 0o666)
    with open(descriptor, "wb") as sink:
        sink.write(data)


class Failure(Exception):
    """A failure the command words itself."""


def named_failures(chunks: Iterator[fendral.Chunk], path: str) -> Iterator[fendral.Chunk]:
    """The chunks, with a failure to read them naming ``path``, which the module's message
    leaves out."""
    try:
        yield from chunks
    except OSError as error:
        raise Failure(f"{path}: {error}") from error


def say(args: argparse.Namespace, line: str) -> None:
    if not args.quiet:
        print(line)


def run_fit(args: argparse.Namespace) -> None:
    if args.max_seconds is None and args.max_bytes is None:
        args.parser.error("give --max-seconds, --max-bytes or both")
    progress = Progress(not args.quiet)
    try:
        segments = fendral_video.split_to_fit(args.input, args.dir, max_seconds=args.max_seconds,
                                              max_bytes=args.max_bytes, progress=progress,
                                              reencode=args.reencode)
    finally:
        progress.end()
    for segment in segments:
        say(args, segment_line(segment))


def segment_line(segment: fendral_video.Segment) -> str:
    reencoded = (f"  {segment.reencoded_frames} frames re-encoded"
                 if segment.reencoded_frames else "")
    return (f"{segment.path}  start {segment.start:.3f} s  {segment.duration:.3f} s  "
            f"{segment.size} bytes{reencoded}")


def run_trim(args: argparse.Namespace) -> None:
    progress = Progress(not args.quiet)
    try:
        segment = fendral_video.trim(args.input, args.output, start=args.start, end=args.end,
                                     progress=progress)
    finally:
        progress.end()
    say(args, segment_line(segment))


def run_split(args: argparse.Namespace) -> None:
    with ffmpeg_output(args.verbose):
        fendral.split_video(args.input, args.dir, args.seconds)
    with open(os.path.join(args.dir, "metadata.json"), encoding="utf-8") as record:
        paths = json.load(record)["chunk_paths"]
    say(args, f"{len(paths)} segments in {args.dir}")


def run_join(args: argparse.Namespace) -> None:
    with ffmpeg_output(args.verbose):
        fendral.reconstruct_video(args.dir, args.output)
    say(args, f"joined into {args.output}")


def run_chunk(args: argparse.Namespace) -> None:
    os.makedirs(args.dir, exist_ok=True)
    # An earlier manifest must not describe parts that this run is replacing.
    with contextlib.suppress(FileNotFoundError):
        os.unlink(os.path.join(args.dir, MANIFEST_NAME))
    try:
        total = float(os.stat(args.file).st_size)
    except OSError:
        total = 0.0
    progress = Progress(not args.quiet)
    chunks = fendral_stream.read_chunks(args.file, args.size, parity=args.parity)
    try:
        for chunk in named_failures(chunks, args.file):
            write_new_file(os.path.join(args.dir, part_name(chunk.index)), chunk.data)
            progress(float(min(chunk.index * args.size + len(chunk.data), total)), total)
        manifest = chunks.manifest()
    finally:
        chunks.close()
        progress.end()
    # The manifest is written last, so it only ever describes parts that are all there.
    write_new_file(os.path.join(args.dir, MANIFEST_NAME), manifest.to_json().encode() + b"\n")
    parity = f" and {manifest.parity} parity parts" if manifest.parity else ""
    say(args, f"{manifest.count} parts of up to {manifest.chunk_size} bytes{parity} and "
              f"{MANIFEST_NAME} in {args.dir}")


def run_assemble(args: argparse.Namespace) -> None:
    with open(os.path.join(args.dir, MANIFEST_NAME), encoding="utf-8") as source:
        manifest = fendral_stream.Manifest.from_json(source.read())
    progress = Progress(not args.quiet)
    parts = manifest.count + manifest.parity
    # With parity parts, a lost or damaged part is left to the writer, which rebuilds up to
    # manifest.parity of them at the close or names every one missing.
    unusable = []
    try:
        with fendral_stream.ChunkWriter(args.output, manifest.chunk_size, manifest) as writer:
            for index in range(parts):
                path = os.path.join(args.dir, part_name(index))
                try:
                    with open(path, "rb") as part:
                        # One byte over the chunk size is enough for the writer to refuse it.
                        data = part.read(manifest.chunk_size + 1)
                    writer.write(fendral.Chunk(index, data))
                except FileNotFoundError:
                    if not manifest.parity:
                        raise Failure(
                            f"part {index} of {manifest.count} is missing: {path}") from None
                    unusable.append(index)
                except ValueError as error:
                    if not manifest.parity:
                        raise Failure(f"{path} is damaged: {error}") from None
                    unusable.append(index)
                progress(float(index + 1), float(parts))
    finally:
        progress.end()
    rebuilt = f", {len(unusable)} lost or damaged rebuilt from parity" if unusable else ""
    say(args, f"{manifest.count} parts checked{rebuilt} and joined into {args.output}")


def one_line(error: BaseException) -> str:
    """The error's message, its file name and its cause, on one line."""
    text = str(error) or type(error).__name__
    filename = getattr(error, "filename", None)
    if isinstance(error, OSError) and filename is not None and str(filename) not in text:
        text = f"{filename}: {text}"
    cause = error.__cause__
    if cause is not None and str(cause) not in text:
        text = f"{text} ({one_line(cause)})"
    return " ".join(text.split())


EXAMPLES = {
    "fit": "fendral fit talk.mp4 parts --max-seconds 600 --max-bytes 25MB",
    "trim": "fendral trim talk.mp4 intro.mp4 --start 12.5 --end 47",
    "split": "fendral split talk.mp4 segments 30",
    "join": "fendral join segments talk-joined.mp4",
    "chunk": "fendral chunk disk.img parts --size 8MiB",
    "assemble": "fendral assemble parts disk-copy.img",
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="fendral", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Cut files into checked parts and videos into segments, and join them back.",
        epilog="examples:\n" + "\n".join(f"  {line}" for line in EXAMPLES.values()))
    parser.add_argument("--version", action="version", version=f"fendral {fendral.__version__}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    common.add_argument("-v", "--verbose", action="store_true", help="show ffmpeg's log")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name: str, summary: str, run: Callable[[argparse.Namespace], None]
                ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=summary, description=summary,
                                  epilog=f"example:\n  {EXAMPLES[name]}",
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run, parser=sub)
        return sub

    fit = command("fit", "cut a video into segments that each fit the caps: at keyframes, "
                  "without re-encoding, or anywhere with --reencode", run_fit)
    fit.add_argument("input", metavar="INPUT", help="the video")
    fit.add_argument("dir", metavar="DIR", help="the split directory (created)")
    fit.add_argument("--max-seconds", type=parse_seconds, metavar="S",
                     help="the longest a segment may last, in seconds")
    fit.add_argument("--max-bytes", type=parse_size, metavar="SIZE",
                     help="the most a segment may hold: 25MB, 8MiB, 25M or bytes")
    fit.add_argument("--reencode", action="store_true",
                     help="cut inside picture groups too, re-encoding each segment's frames up to "
                          "its first keyframe (H.264, HEVC)")

    trim = command("trim", "cut a video to the frames from --start to --end, re-encoding only "
                   "the partial picture groups at the edges (H.264, HEVC)", run_trim)
    trim.add_argument("input", metavar="INPUT", help="the video")
    trim.add_argument("output", metavar="OUTPUT",
                      help="the cut video, .mp4, .m4v or .mov (must not exist)")
    trim.add_argument("--start", type=parse_time, required=True, metavar="T",
                      help="the first frame's time, in seconds from the start")
    trim.add_argument("--end", type=parse_seconds, metavar="T",
                      help="the time the cut ends before, in seconds (the end when left out)")

    split = command("split", "cut a video at keyframes into segments of about SECONDS", run_split)
    split.add_argument("input", metavar="INPUT", help="the video")
    split.add_argument("dir", metavar="DIR", help="the split directory (created)")
    split.add_argument("seconds", metavar="SECONDS", type=parse_whole_seconds,
                       help="the segments' length, in whole seconds")

    join = command("join", "join a split directory's segments without re-encoding", run_join)
    join.add_argument("dir", metavar="DIR", help="the split directory")
    join.add_argument("output", metavar="OUTPUT", help="the joined video (must not exist)")

    chunk = command("chunk", f"cut a file into parts and a {MANIFEST_NAME} of their CRC32C",
                    run_chunk)
    chunk.add_argument("file", metavar="FILE", help="the file, or a pipe or device")
    chunk.add_argument("dir", metavar="DIR", help="where the parts go (created)")
    chunk.add_argument("--parity", type=int, default=0, metavar="N",
                       help="N parity parts more, so that any N parts may be lost (even SIZE)")
    chunk.add_argument("--size", type=parse_size, required=True, metavar="SIZE",
                       help="each part's size: 25MB, 8MiB, 25M or bytes")

    assemble = command("assemble", f"check the parts {MANIFEST_NAME} lists and join them",
                       run_assemble)
    assemble.add_argument("dir", metavar="DIR", help=f"the parts and {MANIFEST_NAME}")
    assemble.add_argument("output", metavar="OUTPUT", help="the file made (replaced if there)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.verbose and not args.quiet:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("ffmpeg: %(message)s"))
        ffmpeg_log = logging.getLogger("fendral_video.ffmpeg")
        ffmpeg_log.addHandler(handler)
        ffmpeg_log.setLevel(logging.DEBUG)
    try:
        args.run(args)
    except KeyboardInterrupt:
        print("fendral: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # every failure becomes the one line
        print(f"fendral: error: {one_line(error)}", file=sys.stderr)
        return 1
    return 0


def entry_point(argv: Optional[List[str]] = None) -> None:
    sys.exit(main(argv))


if __name__ == "__main__":
    entry_point()
