"""Files larger than memory: read a file chunk by chunk, and write chunks back in any order.

The chunks are ``fendral.Chunk`` objects, the same class that ``fendral.deconstruct_file``
returns and ``fendral.reconstruct_file`` takes. Memory holds about two chunks and a fixed
buffer of 256 KiB, whatever the file's size (and the parity chunks, when asked for). Failures
are raised as in ``fendral``.

A ``Manifest`` lists the CRC32C of every chunk, so a set of chunks sent with it cannot be
joined short or damaged without an error that names the chunk. ``read_chunk`` and
``crc32c`` let the workers of a cluster read and checksum their own parts of a shared file, and
``Manifest(chunk_size, size, crc32c)`` joins their CRCs into one manifest.

Every ``path`` is a str or an ``os.PathLike`` that gives one.
"""

import os
from array import array
from mmap import mmap
from types import TracebackType
from typing import Iterable, Iterator, Literal, SupportsIndex, Union, final, type_check_only

from fendral import Chunk

__all__ = ["read_chunks", "read_chunk", "crc32c", "ChunkWriter", "Manifest"]

_Path = Union[str, "os.PathLike[str]"]
_Buffer = Union[bytes, bytearray, memoryview, array, mmap]

@final
@type_check_only
class ChunkIterator(Iterator[Chunk]):
    """What ``read_chunks`` returns; not made any other way."""

    def __next__(self) -> Chunk:
        """The next chunk, read now with the interpreter lock released.

        The first call opens the file; an open that fails ends the iteration. A read that
        fails or is interrupted (KeyboardInterrupt) keeps what arrived before it, so asking
        again carries on where it stopped.
        """

    def close(self) -> None:
        """Close the file now; the iteration then ends. The file is also closed at the end of
        the file and when the iterator is collected."""

    def manifest(self) -> Manifest:
        """The manifest of the chunks given, once the iteration has reached the end of the
        file. Each chunk's CRC32C is taken as it is read, so this reads nothing again.

        Raises:
            RuntimeError: chunks remain (the iteration has not reached the end, was closed
                before it, or the file could not be opened).
            ValueError: "a manifest needs a chunk_size of at least 1".
        """

def read_chunks(
    path: _Path, chunk_size: SupportsIndex, *, parity: SupportsIndex = 0
) -> ChunkIterator:
    """Iterate over the file at ``path`` as chunks numbered from 0, in file order, each exactly
    ``chunk_size`` bytes except the last, for regular files, pipes and devices alike. The file
    is opened by the first request for a chunk and read as the iteration goes. An empty file,
    or a ``chunk_size`` of 0, gives no chunk. A file that changes size while it is read gives
    what was read.

    With ``parity=N``, the ``count`` data chunks are followed by N parity chunks (indices
    ``count`` to ``count + N - 1``), each ``chunk_size`` bytes, made as the data is read: from
    any ``count`` of the ``count + N`` chunks, ``ChunkWriter`` rebuilds the file. Memory then
    also holds the N parity chunks and a batch of data chunks of at most 8 MiB (or one chunk).

    Raises:
        TypeError, OverflowError: as ``fendral.deconstruct_file``, when called.
        OSError: the file cannot be opened (on the first request) or read; the subclass follows
            the cause, as for ``fendral.deconstruct_file``.
        PanicException: "capacity overflow" for a ``chunk_size`` of 2**63 or more, once the file
            is open.
        ValueError: when called, a ``parity`` with an odd ``chunk_size`` (a symbol is two
            bytes), of 65536 or more, or whose chunks cannot be held in memory; on the request
            that finds them, more than 65536 - N data chunks.
    """

def read_chunk(path: _Path, chunk_size: SupportsIndex, index: SupportsIndex) -> Chunk:
    """Chunk ``index`` of the file at ``path`` in chunks of ``chunk_size``: the chunk that
    ``read_chunks`` gives at that index, read at its offset alone (with the interpreter lock
    released), so many workers can each read their own chunks of one shared file.

    Raises:
        IndexError: "Chunk at index N is past the end of the file" (a ``chunk_size`` of 0 has
            no chunk at all).
        TypeError, OverflowError, PanicException: as ``read_chunks``.
        OSError: the file cannot be opened or read, or cannot be read at an offset (a pipe).
    """

def crc32c(data: _Buffer, value: SupportsIndex = 0) -> int:
    """The CRC32C (Castagnoli) of ``data``, as ``Manifest`` takes it: ``crc32c(b, crc32c(a))
    == crc32c(a + b)``. A buffer other than bytes and bytearray is copied once; bytes of 1 MiB
    or more are checksummed with the interpreter lock released.

    Raises:
        TypeError: ``data`` is not a buffer.
        OverflowError: ``value`` is not from 0 to 4294967295.
    """

@final
class ChunkWriter:
    """Writes chunks, given in any order, to their place in a new file that replaces
    ``output_path`` on ``close()``.

    Chunk k goes to offset k x ``chunk_size`` of a temporary file beside ``output_path`` (in the
    same directory), so nothing waits in memory. A repeated index overwrites: the last one
    wins. On ``close()``, or on leaving a ``with`` block without an exception, the indices from
    0 to the highest must all be there; the temporary is then renamed over ``output_path``.
    Neither name is ever written through a link. Leaving a ``with`` block by an exception, or
    collecting an unclosed writer, removes the temporary and leaves ``output_path`` as it was.
    ``write`` may be called from several threads at once.
    """

    def __new__(
        cls, output_path: _Path, chunk_size: SupportsIndex, manifest: Manifest | None = None
    ) -> ChunkWriter:
        """Create the temporary file beside ``output_path``.

        With a ``manifest``, every chunk written must be the one it lists (its size and its
        CRC32C), and ``close()`` needs every chunk it lists, the last ones included. A manifest
        with N parity chunks takes the indices ``count`` to ``count + N - 1`` too: those wait in
        a second temporary file beside ``output_path``, removed with the writer, and any N
        missing chunks are rebuilt at ``close()``.

        Raises:
            TypeError, OverflowError: as for ``fendral.deconstruct_file``'s arguments, or a
                ``manifest`` that is not a ``Manifest``.
            ValueError: a ``chunk_size`` other than the manifest's; nothing is created.
            OSError: the temporary cannot be created (a missing directory, access denied).
        """

    def write(self, chunk: Chunk) -> None:
        """Write ``chunk.data`` at offset ``chunk.index`` x ``chunk_size``.

        Only the highest index may hold fewer than ``chunk_size`` bytes.

        Raises:
            TypeError: ``chunk`` is not a ``fendral.Chunk``.
            ValueError: a chunk longer than ``chunk_size``, a shorter one below the highest
                index, or one above a shorter highest chunk; the text names the index and the
                sizes. With a manifest, a chunk whose size or CRC32C is not the listed one, or
                whose index it does not list; the text names the index and both values.
                Nothing is written, and the writer takes a good copy of that chunk after.
                "write to a closed ChunkWriter" once closed.
            OSError: the write failed (the disk is full, say); the chunk does not count as
                written.
        """

    def close(self) -> None:
        """Check that every index from 0 to the highest was written and rename the file over
        ``output_path``. No chunk at all gives an empty file. Closes the writer whatever the
        outcome; closing again does nothing.

        Raises:
            ValueError: "Missing chunk at index N" for the lowest index not written (up to
                the manifest's last, with one); the temporary is removed and ``output_path``
                left as it was. With a manifest's N parity chunks, the missing data chunks are
                rebuilt first (the file is then the one described) when at most N of all its
                chunks are missing; else "Missing chunks at indices 3, 7, 9: 3 are missing and
                the parity rebuilds at most 2" (32 indices at most, then "and K more"), and
                ``output_path`` is left as it was. In a child forked from the process that made
                the writer, the child's copy closes and the file is left to that process: "a forked
                child cannot close the ChunkWriter of its parent: only the process that made it
                puts the file in place".
            OSError: the rename or the final length failed; the temporary is removed.
        """

    @property
    def closed(self) -> bool:
        """True once ``close()`` ran or a ``with`` block was left."""

    def __enter__(self) -> ChunkWriter:
        """The writer itself, closed on leaving the ``with`` block."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]:
        """Close (no exception) or discard the temporary (an exception, which goes on)."""

@final
class Manifest:
    """What a set of chunks held: the chunk size, the file's size, and the CRC32C (Castagnoli)
    of every chunk and of the whole file. Never changes; equal when every field is.

    Made by ``read_chunks(...).manifest()``, ``Manifest.of_file``, ``Manifest.from_json`` or
    from CRCs made elsewhere. ``file_crc32c`` is combined from the chunks' CRCs, which object
    stores take as they are: a part's checksum is the base64 of its CRC32C in big-endian bytes,
    and a multipart object's full-object CRC32C is ``file_crc32c``. Pickles.
    """

    def __new__(
        cls,
        chunk_size: SupportsIndex,
        size: SupportsIndex,
        crc32c: Iterable[SupportsIndex],
        parity_crc32c: Iterable[SupportsIndex] = (),
    ) -> Manifest:
        """The manifest of a file of ``size`` bytes whose chunks of ``chunk_size`` have the CRCs
        ``crc32c`` (``fendral_stream.crc32c`` of each, in index order), equal to
        ``Manifest.of_file`` of that file; ``file_crc32c`` is combined from them.
        ``parity_crc32c`` are the CRCs of its parity chunks, if any.

        Raises:
            ValueError: "a manifest needs a chunk_size of at least 1"; "expected N CRCs, one a
                chunk, for a size of S in chunks of C, got M"; parity chunks with an odd
                ``chunk_size``, or more than 65536 chunks with them.
            TypeError, OverflowError: a value that is not an int from 0 to 2**64 - 1 (a CRC
                from 0 to 4294967295).
        """
    def __reduce__(
        self,
    ) -> tuple[
        type[Manifest],
        tuple[int, int, tuple[int, ...]] | tuple[int, int, tuple[int, ...], tuple[int, ...]],
    ]:
        """What pickle stores: the class and the constructor's arguments."""

    @property
    def chunk_size(self) -> int:
        """The bytes in every chunk but the last, which holds 1 to ``chunk_size``."""
    @property
    def size(self) -> int:
        """The bytes in the file."""
    @property
    def count(self) -> int:
        """The number of chunks, ``ceil(size / chunk_size)``; 0 for an empty file."""
    @property
    def crc32c(self) -> tuple[int, ...]:
        """The CRC32C of each chunk, in index order."""
    @property
    def file_crc32c(self) -> int:
        """The CRC32C of the whole file (0 for an empty one)."""
    @property
    def parity(self) -> int:
        """The number of parity chunks that follow the data chunks; 0 for none."""
    @property
    def parity_crc32c(self) -> tuple[int, ...]:
        """The CRC32C of each parity chunk, in index order."""
    @classmethod
    def of_file(
        cls, path: _Path, chunk_size: SupportsIndex, *, parity: SupportsIndex = 0
    ) -> Manifest:
        """The manifest of the file at ``path`` in chunks of ``chunk_size``, read once (with
        the interpreter lock released) and no chunk kept: for the chunks of
        ``fendral.deconstruct_file``. With ``parity``, also the CRCs of the parity chunks that
        ``read_chunks`` makes, held in memory while the file is read.

        Raises:
            TypeError, OverflowError: as ``fendral.deconstruct_file``.
            ValueError: "a manifest needs a chunk_size of at least 1"; a ``parity`` that
                ``read_chunks`` refuses.
            OSError: the file cannot be opened or read.
        """
    @classmethod
    def from_json(cls, text: str | bytes) -> Manifest:
        """The manifest that ``to_json`` wrote, in any field order and spacing, escapes
        decoded; ``bytes`` are read as UTF-8.

        Raises:
            ValueError: the text is not such a manifest; the message names the field, or the
                offset where the JSON went wrong; "Manifest JSON is not UTF-8 text".
        """
    def to_json(self) -> str:
        """One line of JSON: ``version`` (1), ``chunk_size``, ``size``, ``count``,
        ``file_crc32c`` and ``crc32c``, each CRC a string of 8 hexadecimal digits, most
        significant first (``int(text, 16)`` reads it); then, only with parity chunks,
        ``parity`` and ``parity_crc32c``."""
    def verify_file(self, path: _Path) -> list[int]:
        """The indices of the chunks of the file at ``path`` whose size or CRC32C differs from
        this manifest, in order; ``[]`` when the file is the one described. A file shorter or
        longer than ``size`` differs in every chunk past the shorter end.

        Raises:
            OSError: the file cannot be opened or read.
        """
