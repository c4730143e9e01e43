"""Cut files into numbered chunks and videos into time segments, and join them back.

Every failure is raised as exactly one exception whose only argument is its message. OSError
and its subclasses carry the system's text, e.g. "No such file or directory (os error 2)", and
their ``errno`` is None. A fault inside the native code raises ``PanicException`` (module
``fendral_runtime``), which derives from BaseException, not Exception.
"""

from typing import NoReturn, Sequence, SupportsIndex, final

__all__ = [
    "Chunk",
    "deconstruct_file",
    "reconstruct_file",
    "Mp4ChunkMetadata",
    "split_video",
    "reconstruct_video",
]

__version__: str
"""The package's version, as ``pip show fendral`` gives it."""

@final
class Chunk:
    """One numbered piece of a file: a zero-based ``index`` and its bytes, ``data``.

    Immutable; equal only to itself. ``data`` is a fresh ``bytes`` copy on every read.
    """

    def __new__(cls, index: SupportsIndex, data: Sequence[SupportsIndex]) -> Chunk:
        """Make a chunk holding a private copy of ``data``.

        ``data`` is any sequence of integers from 0 to 255 (``bytes``, ``bytearray``,
        ``memoryview``, a list or tuple of ints); a ``str`` is refused.

        Raises:
            TypeError: a non-integer ``index``; a ``data`` that is a ``str`` or no sequence, or
                holds a non-integer.
            OverflowError: ``index`` outside 0 to 2**64 - 1; a byte outside 0 to 255.
        """

    @property
    def index(self) -> int:
        """Position of the piece in its file, counted from 0."""

    @property
    def data(self) -> bytes:
        """The piece's bytes, as a new ``bytes`` object on every read."""

@final
class Mp4ChunkMetadata:
    """The record of one video split. It lives only as ``metadata.json`` in the output directory;
    no function returns an instance, and the class cannot be instantiated.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises TypeError "No constructor defined for Mp4ChunkMetadata"."""

def deconstruct_file(path: str, chunk_size: SupportsIndex) -> list[Chunk]:
    """Read the file at ``path`` and return it as chunks of at most ``chunk_size`` bytes, in
    file order, numbered from 0. An empty file, or a ``chunk_size`` of 0, gives an empty list.

    Raises:
        TypeError: ``path`` is not a ``str`` (``bytes`` and path objects are refused), or
            ``chunk_size`` is not an integer.
        OverflowError: ``chunk_size`` is negative or 2**64 or more.
        OSError: the file cannot be opened or read; the subclass follows the cause
            (FileNotFoundError, PermissionError, IsADirectoryError, NotADirectoryError, ...).
            A NUL in ``path`` gives plain OSError "file name contained an unexpected NUL byte".
        MemoryError: the file does not fit in the memory this process can have (a message
            naming its size and the bound, before anything is read), or memory ran out while
            reading it ("Out of memory while reading PATH").
        PanicException: "capacity overflow" for a ``chunk_size`` of 2**63 or more, once the
            file is open.
    """

def reconstruct_file(chunks: Sequence[Chunk], output_path: str) -> None:
    """Write the payloads of ``chunks``, taken in any order, into ``output_path`` in index order.

    The file is created or emptied first. The indices must run from 0 to the largest one
    present; when several chunks share an index, the last of them is written.

    Raises:
        TypeError: ``chunks`` is a ``str``, no sequence, or holds something other than a
            ``Chunk``; ``output_path`` is not a ``str``. The file is not touched.
        ValueError: "Missing chunk at index N" for the lowest index that no chunk carries; the
            file keeps the payloads of the indices below N.
        OSError: the file cannot be created or written (a subclass as for deconstruct_file);
            what was written before stays.
    """

def split_video(input_file: str, output_dir: str, time_limit_sec: SupportsIndex | None) -> None:
    """Have ffmpeg copy the streams of ``input_file`` into segments of about ``time_limit_sec``
    seconds named ``chunk_000.mp4``, ``chunk_001.mp4``, ... in ``output_dir`` (created with its
    parents), then record the split in ``output_dir/metadata.json``.

    ffmpeg is found on PATH and inherits stdout and stderr; its stdin is /dev/null unless
    ``input_file`` is "-", "pipe:", "pipe:0" or "/dev/stdin". Every audio stream and every video
    stream but cover pictures is copied; nothing is re-encoded.

    Just before ffmpeg starts, an earlier ``metadata.json`` is removed, and so is every symbolic
    link named like a segment; one split at a time holds ``output_dir``.

    Raises:
        TypeError: a path is not a ``str``, or ``time_limit_sec`` is not an integer or None.
        OverflowError: ``time_limit_sec`` is negative or above 4294967295.
        OSError: ``output_dir`` cannot be created or listed, or metadata.json cannot be
            removed or written.
        RuntimeError: "time_limit_sec must be greater than 0" (0 or None, after the directory
            is created); "Failed to split: another split is writing into OUTPUT_DIR"; "Failed
            to split: the input is one of the segment files this split would write";
            "Failed to run ffmpeg: program not found" and other start failures;
            "ffmpeg split failed with status ExitStatus(ExitStatus(N))" for exit code N, or
            "... with status signal: N (SIGNAME)" when ffmpeg was killed by a signal.
    """

def reconstruct_video(output_dir: str, output_file: str) -> None:
    """Join the segments listed in ``output_dir/metadata.json`` into ``output_file`` with ffmpeg,
    without re-encoding, through the list ``output_dir/concat_list.txt``; ffmpeg is given the
    same list with each segment's duration, read from the segment, so that every segment starts
    where its video started in the source.

    A segment recorded inside the split's directory is also looked for under ``output_dir``,
    so a split directory that was moved, renamed or copied joins its own segments from any
    working directory; ``metadata.json`` is never rewritten.

    An existing ``output_file`` (a dangling link too) is never overwritten: ffmpeg writes in a
    directory of the join's own beside it, and the file is moved into place, replacing nothing,
    once it is read back. A failure removes only that file and directory.

    Raises:
        TypeError: an argument is not a ``str``.
        MemoryError: metadata.json does not fit in the memory this process can have.
        RuntimeError: "Failed to join: a split is writing into OUTPUT_DIR",
            "Failed to read metadata.json: ...", "Serde error: ..." (refused
            content), "No chunks found in metadata.", "Failed to read segment PATH: ..."
            (checked before the list is written; "...: not a complete MP4 file" for a segment
            whose boxes do not fill it or that has no movie box with a track),
            "Failed to write concat list: ...",
            "Failed to create concat list file: ...", "Failed to run ffmpeg: ...",
            "ffmpeg concat failed with status ..." as for split_video (with, before ffmpeg runs,
            an entry at ``output_file`` or a directory that refuses it, the ``__cause__`` is the
            OSError of the system's reason, FileExistsError for an entry, with ``filename`` the
            output's path), or "ffmpeg concat lost
            data: ..." when the joined MP4 lacks a track kind or the duration its segments
            state, "Failed to place the joined file: ..." where the file system can neither
            rename without replacing nor link.
    """
