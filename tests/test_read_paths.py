"""deconstruct_file reads small chunks in batches and large ones straight into their payloads,
window by window: every batch, window and page boundary must still give exactly the file's
bytes, cut at chunk_size."""

import os
import random

import pytest

from fendral import deconstruct_file, reconstruct_file
from fendral_testing.randomness import random_bytes

MIB = 1 << 20


@pytest.mark.parametrize("chunk_size, file_size", [
    (4096, MIB - 1),
    (4096, MIB),
    (4096, MIB + 1),
    (4096, 2 * MIB + 4097),
    (1000, MIB + 7),
    (1, 5000),
    (65535, 3 * MIB + 1),
    (65536, 3 * MIB - 1),
    (MIB - 1, 4 * MIB + 3),
    (9 * MIB, 9 * MIB + 1),
    (3 * MIB, 3 * MIB),
    (2 * MIB + 1, 5 * MIB),
    (3 * MIB + 5, 7 * MIB + 11),
])
def test_chunks_cut_the_file_exactly(tmp_path, chunk_size, file_size):
    content = random_bytes(random.Random(file_size), file_size)
    source = tmp_path / "in"
    source.write_bytes(content)
    chunks = deconstruct_file(str(source), chunk_size)
    expected = [content[at:at + chunk_size] for at in range(0, file_size, chunk_size)]
    assert [chunk.index for chunk in chunks] == list(range(len(expected)))
    assert [chunk.data for chunk in chunks] == expected
    reconstruct_file(chunks[::-1], str(tmp_path / "out"))
    assert (tmp_path / "out").read_bytes() == content


@pytest.mark.parametrize("chunk_size", [16, 4096, 1 << 20])
def test_file_longer_than_its_reported_size(chunk_size):
    # /proc files report a size of 0: all but the last chunk must still be full.
    with open("/proc/self/maps", "rb") as source:
        reference = source.read()
    chunks = deconstruct_file("/proc/self/maps", chunk_size)
    sizes = [len(chunk.data) for chunk in chunks]
    assert all(size == chunk_size for size in sizes[:-1])
    assert 0 < sizes[-1] <= chunk_size
    assert b"".join(chunk.data for chunk in chunks).startswith(reference.split(b"\n")[0])


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("chunk_size", [4096, 3000, 65535])
def test_kept_chunks_hold_at_most_their_slab(tmp_path, chunk_size):
    # Small chunks share 2 MiB slabs: keeping a few must not keep the whole file, and dropping
    # them all must give the memory back.
    source = tmp_path / "in"
    source.write_bytes(os.urandom(64 * MIB))
    before = resident_bytes()
    chunks = deconstruct_file(str(source), chunk_size)
    assert resident_bytes() - before > 60 * MIB
    kept = chunks[::len(chunks) // 8][:8]
    del chunks
    assert resident_bytes() - before < len(kept) * 2 * MIB + 4 * MIB
    del kept
    assert resident_bytes() - before < 4 * MIB
