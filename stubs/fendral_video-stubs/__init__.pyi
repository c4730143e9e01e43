"""Cut a video to fit a service's limits: every segment within a time cap and a byte cap, without
re-encoding, or re-encoding only the frames from a cut to the next keyframe.

The cuts are planned from the source's packet table before ffmpeg starts (read from the movie
box of an MP4 or QuickTime file, from ffprobe's packet list for any other container), handed to
ffmpeg's segment muxer as frame numbers, and checked on the segment files afterwards. The
directory is a split directory like ``fendral.split_video``'s: ``fendral.reconstruct_video``
joins it. ffmpeg's messages go to the ``logging`` logger ``fendral_video.ffmpeg``.
"""

import os
from typing import Callable, SupportsIndex, Union, final

__all__ = ["split_to_fit", "trim", "Segment"]

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

def split_to_fit(
    input_file: _Path,
    output_dir: _Path,
    *,
    max_seconds: float | None = None,
    max_bytes: SupportsIndex | None = None,
    progress: Callable[[float, float], object] | None = None,
    reencode: bool = False,
) -> list[Segment]:
    """Split ``input_file`` into as few segments as any cut without re-encoding allows, each
    lasting at most ``max_seconds`` and holding at most ``max_bytes``, in ``output_dir``
    (created with its parents), named ``chunk_000.mp4``, ``chunk_001.mp4``, ...

    Segments start at keyframes of the first video stream (at any audio packet when there is no
    video). A segment's duration is its file's, the longest of its streams: an audio frame that
    runs past the cut counts. Its size is the whole file's. A segment that comes out larger
    than planned is cut again with the container's measured overhead; the call never returns a
    segment over a cap.

    With ``reencode=True`` (H.264 video, progressive, 8-bit 4:2:0; HEVC Main or Main 10), a
    segment may start at any frame that every frame displayed before it is decoded before: its
    frames up to the next keyframe are re-encoded with libx264 (libx265) to the stream's own
    profile, level, pixel format,
    colour tags and sample aspect, the rest copied, the sound copied whole. Each such segment is
    checked before the call returns: it decodes without an error, holds its frames, its copied
    frames decode to the source's pictures, its re-encoded ones reach 40 dB PSNR, and its
    parameter sets state one profile and level; one that fails is a RuntimeError naming it.
    ``Segment.reencoded_frames`` counts the re-encoded frames.

    ``metadata.json`` records the split with ``split_type`` "time", "size" or "time+size" and
    ``split_value`` the caps ("30s", "25000000B", "30s+25000000B"); no record is left by a
    failure. ``progress(done_seconds, total_seconds)`` is called at least once a second while
    ffmpeg runs and once at the end; what it raises stops ffmpeg and is raised here. The
    interpreter lock is released while ffmpeg runs; Ctrl-C stops it.

    Raises:
        TypeError: a path is not a str, bytes or os.PathLike; a cap of the wrong type;
            ``progress`` not callable; ``reencode`` not a bool.
        ValueError: no cap, a cap not above 0; an input read from standard input; a picture
            group that alone breaks a cap, before anything is written: "the picture group at
            12.300 s lasts 10.0 s and holds 31.2 MB; a segment can hold at most 30 s and 25.0 MB
            without re-encoding; reencode=True meets the caps"; with ``reencode=True``, video
            that cannot be matched ("...; vp9 video cannot be re-encoded to match its copied
            frames").
        OSError: ``output_dir`` cannot be created, or a record cannot be written.
        RuntimeError: ffmpeg or ffprobe failed, ending with their last error messages ("ffmpeg
            split failed with status ExitStatus(ExitStatus(1)): in.mp4: No such file or
            directory"); "Failed to run ffmpeg: program not found"; "Failed to split: another
            split is writing into OUTPUT_DIR"; a segment still over a cap after three cuts; a
            re-encoded segment that fails its check ("Failed to re-encode the head of segment
            OUTPUT_DIR/chunk_001.mp4: ...").
    """

def trim(
    input_file: _Path,
    output_file: _Path,
    *,
    start: float,
    end: float | None = None,
    progress: Callable[[float, float], object] | None = None,
) -> Segment:
    """Cut ``input_file`` to the frames shown from ``start`` to ``end`` (seconds from its start;
    to its last frame when ``end`` is None) into ``output_file``, a new MP4 or QuickTime file.

    Frame-exact: the output's first frame is the first shown at or after ``start``, its last the
    last shown before ``end``. Only the edges are re-encoded, as ``split_to_fit(reencode=True)``
    re-encodes a head (H.264; HEVC Main or Main 10): the frames from ``start`` to the next closed
    keyframe, and the few before ``end`` after the last frame that every frame shown before it
    is decoded before (a B-frame run at most); every frame between is copied. Each audio
    stream is copied from the packet before the one that plays at ``start`` (a decoder's first
    frame of sound needs the one before it) to the one that plays at ``end``, its edit list
    starting playback at the first frame. Other streams are left out.

    The output is written beside ``output_file`` and checked as a re-encoded segment is (a full
    decode without an error, the frame count, the copied frames' pictures, 40 dB PSNR, one
    profile and level) before it takes that name; it never replaces an entry there. A failure
    leaves nothing. ``progress(done_seconds, total_seconds)`` is called as each step ends, the
    last time before the output is placed; what it raises ends the call. The returned
    ``Segment`` has index 0, the output's path, its start in the source, its duration and size,
    and the count of re-encoded frames.

    Raises:
        TypeError: a path is not a str, bytes or os.PathLike; ``start`` or ``end`` not a number;
            ``progress`` not callable.
        ValueError: before anything is written: "start must be at least 0", "end must be later
            than start", "start is past the last frame, which shows at 7.96 s", "no frame shows
            from 1.3 s to 1.31 s"; an input with no video stream or read from standard input;
            an output that is not a local file named .mp4, .m4v or .mov; video that cannot be
            matched ("vp9 video cannot be re-encoded to match its copied frames").
        RuntimeError: "Failed to trim: the output cannot be created", its ``__cause__`` an
            ``OSError`` naming the output (``FileExistsError`` where an entry is there); ffmpeg
            or ffprobe failed; the output failed its check ("Failed to trim in.mp4: it decodes
            with errors: ...").
    """

@final
class Segment:
    """One segment file of a split, as ``split_to_fit`` returns it, or the file ``trim`` wrote.
    Immutable; equal to a segment with the same fields. Pickles."""

    def __new__(
        cls,
        index: SupportsIndex,
        path: str,
        start: float,
        duration: float,
        size: SupportsIndex,
        reencoded_frames: SupportsIndex = 0,
    ) -> Segment:
        """The segment with these fields, as its repr writes it."""
    def __reduce__(self) -> tuple[type[Segment], tuple[int, str, float, float, int, int]]:
        """What pickle stores: the class and the constructor's arguments."""

    @property
    def index(self) -> int:
        """The segment's number, from 0 in time order."""

    @property
    def path(self) -> str:
        """The segment file's path, ``output_dir`` joined with its name."""

    @property
    def start(self) -> float:
        """Where the segment starts in the source, in seconds."""

    @property
    def duration(self) -> float:
        """How long the segment file lasts, in seconds, as its movie header states it."""

    @property
    def size(self) -> int:
        """The segment file's size in bytes."""

    @property
    def reencoded_frames(self) -> int:
        """How many frames at the segment's start were re-encoded; 0 for a segment copied
        whole."""
