"""fendral_stream.Manifest: the CRC32C of each chunk and of the file, its JSON form, and the
checks it gives ChunkWriter and verify_file."""

import concurrent.futures
import importlib.util
import json
import os
import pathlib
import pickle
import random

import pytest

from fendral import Chunk
import fendral_stream
from fendral_stream import ChunkWriter, Manifest, read_chunk, read_chunks
from fendral_testing.randomness import random_bytes
from test_stream import feed_fifo


def reference_table():
    table = []
    for value in range(256):
        for _ in range(8):
            value = (value >> 1) ^ 0x82F63B78 if value & 1 else value >> 1
        table.append(value)
    return table


TABLE = reference_table()


def crc32c(data):
    """The CRC byte by byte: slow, and sure."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ TABLE[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF


def write(tmp_path, content, name="in"):
    path = tmp_path / name
    path.write_bytes(content)
    return str(path)


@pytest.mark.parametrize("content, expected", [
    (b"123456789", 0xE3069283),
    (b"", 0),
    (bytes(range(256)) * 4096 + b"tail", None),  # 1 MiB and a few: the reference's answer
])
def test_known_answers(tmp_path, content, expected):
    if expected is None:
        expected = crc32c(content)
    manifest = Manifest.of_file(write(tmp_path, content), 1 << 30)
    assert manifest.file_crc32c == expected
    half = len(content) // 2
    for data in (content, bytearray(content), memoryview(content)[::-1][::-1]):
        assert fendral_stream.crc32c(data) == expected
        assert fendral_stream.crc32c(data[half:], fendral_stream.crc32c(data[:half])) == expected
    for data, value, error in (("text", 0, TypeError), ([1], 0, TypeError),
                               (b"", 2**32, OverflowError)):
        with pytest.raises(error):
            fendral_stream.crc32c(data, value)
    assert manifest.crc32c == ((expected,) if content else ())


@pytest.mark.parametrize("size, chunk_size", [
    (0, 4),
    (10, 4),  # a short last chunk
    (12, 4),  # no empty last one
    (1, 1),
    (1000, 1),  # enough equal chunks to combine their CRCs by tables
    (700_001, 65_536),  # small chunks, cut from read_chunks' read-ahead buffer
    (3_000_001, 1 << 20),
])
def test_chunk_crcs_combine_to_the_file_crc(tmp_path, size, chunk_size):
    content = random_bytes(random.Random(size), size)
    path = pathlib.Path(write(tmp_path, content))
    manifest = Manifest.of_file(path, chunk_size)
    pieces = [content[start:start + chunk_size] for start in range(0, size, chunk_size)]
    assert (manifest.chunk_size, manifest.size, manifest.count) == (chunk_size, size, len(pieces))
    assert manifest.crc32c == tuple(crc32c(piece) for piece in pieces)
    # Each part read and checksummed on its own, as a worker of a cluster would.
    parts = [read_chunk(path, chunk_size, index) for index in range(len(pieces))]
    assert [(part.index, part.data) for part in parts] == list(enumerate(pieces))
    with pytest.raises(IndexError) as caught:
        read_chunk(path, chunk_size, len(pieces))
    assert str(caught.value) == f"Chunk at index {len(pieces)} is past the end of the file"
    made = Manifest(chunk_size, size, [fendral_stream.crc32c(part.data) for part in parts])
    assert made == manifest and pickle.loads(pickle.dumps(manifest)) == manifest
    assert manifest.file_crc32c == crc32c(content)
    chunks = read_chunks(path, chunk_size)
    assert b"".join(chunk.data for chunk in chunks) == content
    assert chunks.manifest() == manifest
    assert Manifest.from_json(manifest.to_json()) == manifest
    assert manifest.verify_file(path) == []


def test_a_pipe_gives_the_manifest_of_its_content(tmp_path):
    content = random_bytes(random.Random(9), 700_001)
    expected = Manifest.of_file(write(tmp_path, content), 100_000)
    fifo = tmp_path / "fifo"
    for call, wanted in ((lambda: Manifest.of_file(str(fifo), 100_000), expected),
                         (lambda: expected.verify_file(str(fifo)), [])):
        os.mkfifo(str(fifo))
        feeder = feed_fifo(str(fifo), content, random.Random(1))  # short reads
        outcome = call()
        feeder.join()
        assert outcome == wanted
        os.unlink(str(fifo))


def test_manifest_only_once_every_chunk_was_read(tmp_path):
    path = write(tmp_path, b"0123456789")
    chunks = read_chunks(path, 4)
    next(chunks)
    closed = read_chunks(path, 4)
    closed.close()
    for iterator in (chunks, closed, read_chunks(str(tmp_path / "missing"), 4)):
        with pytest.raises(RuntimeError) as caught:
            iterator.manifest()
        assert str(caught.value) == ("the manifest is made once the iterator has given every "
                                     "chunk, and chunks remain")
    no_chunk_size = read_chunks(path, 0)
    assert list(no_chunk_size) == []
    for call in (no_chunk_size.manifest, lambda: Manifest.of_file(path, 0),
                 lambda: Manifest(0, 0, [])):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == "a manifest needs a chunk_size of at least 1"
    with pytest.raises(ValueError) as caught:
        Manifest(4, 10, [1, 2])
    assert str(caught.value) == ("expected 3 CRCs, one a chunk, for a size of 10 in chunks of "
                                 "4, got 2")


TEN_BYTES = ('{"version": 1, "chunk_size": 4, "size": 10, "count": 3, "file_crc32c": "280c069e", '
             '"crc32c": ["063962b9", "6ad50193", "646a3494"]}')


def test_json_form(tmp_path):
    manifest = Manifest.of_file(write(tmp_path, b"0123456789"), 4)
    assert manifest.to_json() == TEN_BYTES
    assert repr(manifest) == "Manifest(chunk_size=4, size=10, count=3, file_crc32c=0x280c069e)"
    # Another writer's spacing, order and case read alike.
    fields = json.loads(TEN_BYTES)
    fields["crc32c"][0] = fields["crc32c"][0].upper()
    rewritten = json.dumps(dict(reversed(list(fields.items()))), indent=2)
    assert Manifest.from_json(rewritten) == manifest
    assert hash(Manifest.from_json(rewritten)) == hash(manifest)
    assert not Manifest.from_json(rewritten) != manifest
    assert manifest != Manifest.of_file(write(tmp_path, b"012345678"), 4)
    # Escapes are decoded wherever JSON allows them; bytes are read as UTF-8.
    escaped = TEN_BYTES.replace('"version"', '"ver\\u0073ion"').replace('"0', '"\\u0030', 1)
    for text in (escaped, TEN_BYTES.encode(), escaped.encode()):
        assert Manifest.from_json(text) == manifest


def altered(**changes):
    fields = json.loads(TEN_BYTES)
    for name, value in changes.items():
        if value is None:
            del fields[name]
        else:
            fields[name] = value
    return json.dumps(fields)


@pytest.mark.parametrize("text, message", [
    ("", "Manifest JSON is malformed at offset 0: expected '{'"),
    ("[]", "Manifest JSON is malformed at offset 0: expected '{'"),
    (TEN_BYTES[:-1], "Manifest JSON is malformed at offset 129: expected '}'"),
    (TEN_BYTES + "{}", "Manifest JSON is malformed at offset 130: expected nothing after the "
     "object"),
    ('{"version": 1, "crc32c": [[]]}',
     "Manifest JSON is malformed at offset 26: a manifest holds no nested list or object"),
    ('{"version": 1 "size": 1}', "Manifest JSON is malformed at offset 14: expected '}'"),
    ('{"version": 01}', "Manifest JSON is malformed at offset 13: expected '}'"),
    ('{"size": 1, "size": 1}', 'Manifest field "size" appears twice'),
    ('{"size": 1, "\\u0073ize": 1}', 'Manifest field "size" appears twice'),
    (b'{"\xff": 1}', "Manifest JSON is not UTF-8 text"),
    ('{"version": 1, "\\ud83d\\ude00\\ud800\\t": 1}',
     'Manifest field "\U0001f600\ufffd\t" is not known'),
    (altered(version=None), 'Manifest field "version" is missing'),
    (altered(version=2),
     'Manifest field "version": expected 1, the only version this module reads'),
    (altered(extra=0), 'Manifest field "extra" is not known'),
    (altered(size=None), 'Manifest field "size" is missing'),
    (altered(chunk_size=0),
     'Manifest field "chunk_size": expected a whole number from 1 to 18446744073709551615'),
    (altered(size=-1),
     'Manifest field "size": expected a whole number from 0 to 18446744073709551615'),
    (altered(size=2**64),
     'Manifest field "size": expected a whole number from 0 to 18446744073709551615'),
    (altered(count=3.0),
     'Manifest field "count": expected a whole number from 0 to 18446744073709551615'),
    (altered(count=2), 'Manifest field "count": expected 3 for a size of 10 in chunks of 4, got 2'),
    (altered(crc32c="063962b9"), 'Manifest field "crc32c": expected a list'),
    (altered(crc32c=["063962b9"]), 'Manifest field "crc32c": expected 3 CRCs (the count), got 1'),
    (altered(crc32c=["063962b9", "0x6ad501", "646a3494"]),
     'Manifest field "crc32c": item 1: expected 8 hexadecimal digits in a string'),
    (altered(crc32c=["63962b9", "6ad50193", "646a3494"]),
     'Manifest field "crc32c": item 0: expected 8 hexadecimal digits in a string'),
    (altered(crc32c=["063962b9", 1792344467, "646a3494"]),
     'Manifest field "crc32c": item 1: expected 8 hexadecimal digits in a string'),
    (altered(parity=1), 'Manifest field "parity_crc32c" is missing'),
    (altered(parity=2, parity_crc32c=["00000000"]),
     'Manifest field "parity_crc32c": expected 2 CRCs (the parity), got 1'),
    (altered(file_crc32c=0x280C069E),
     'Manifest field "file_crc32c": expected 8 hexadecimal digits in a string'),
    (altered(file_crc32c="280c069f"), 'Manifest field "file_crc32c": expected "280c069e", the '
     'combination of the chunks\' CRCs, got "280c069f"'),
])
def test_json_refusals(text, message):
    with pytest.raises(ValueError) as caught:
        Manifest.from_json(text)
    assert str(caught.value) == message


DAMAGED = b"01\0\0"


# Chunks of b"0123456789" by fours, written with its manifest: each row is the writes (index,
# payload), the refusals they met, then what the close says and what the output holds.
@pytest.mark.parametrize("writes, refusals, closing, content", [
    ([(2, b"89"), (0, b"0123"), (1, b"4567")], [], None, b"0123456789"),
    ([(0, DAMAGED), (0, b"0123"), (1, b"4567"), (1, DAMAGED), (2, b"89")],
     ["Chunk at index 0 has CRC32C 0x4281fa91, but the manifest lists 0x063962b9 for it",
      "Chunk at index 1 has CRC32C 0x4281fa91, but the manifest lists 0x6ad50193 for it"],
     None, b"0123456789"),
    ([(2, b"8"), (2, b"89x"), (3, b"")],
     ["Chunk at index 2 holds 1 byte, but the manifest lists 2 bytes for it",
      "Chunk at index 2 holds 3 bytes, but the manifest lists 2 bytes for it",
      "Chunk at index 3 is not in the manifest, which lists 3 chunks"],
     "Missing chunk at index 0", None),
    ([(0, b"0123"), (2, b"89")], [], "Missing chunk at index 1", None),
    ([(0, b"0123"), (1, b"4567")], [], "Missing chunk at index 2", None),
])
def test_writer_checks_against_the_manifest(tmp_path, writes, refusals, closing, content):
    manifest = Manifest.of_file(write(tmp_path, b"0123456789", "source"), 4)
    output = tmp_path / "out"
    writer = ChunkWriter(str(output), 4, manifest=manifest)
    met = []
    for index, payload in writes:
        try:
            writer.write(Chunk(index, payload))
        except ValueError as error:
            met.append(str(error))
    assert met == refusals
    if closing is None:
        writer.close()
        assert output.read_bytes() == content
    else:
        with pytest.raises(ValueError) as caught:
            writer.close()
        assert str(caught.value) == closing
        assert not output.exists()
    assert sorted(os.listdir(str(tmp_path))) == (["source"] if closing else ["out", "source"])


def test_writer_checks_large_chunks_from_threads(tmp_path):
    content = random_bytes(random.Random(7), 3_000_000)
    manifest = Manifest.of_file(write(tmp_path, content), 1 << 20)
    output = tmp_path / "out"
    chunks = list(read_chunks(str(tmp_path / "in"), 1 << 20))
    damaged = Chunk(1, bytes(1 << 20))
    with ChunkWriter(str(output), 1 << 20, manifest=manifest) as writer:
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            outcomes = list(pool.map(lambda chunk: raised(writer.write, chunk),
                                     [damaged] + chunks))
    assert outcomes == [f"Chunk at index 1 has CRC32C 0x{crc32c(bytes(1 << 20)):08x}, but the "
                        f"manifest lists 0x{manifest.crc32c[1]:08x} for it"] + [None] * 3
    assert output.read_bytes() == content


def raised(call, *arguments):
    try:
        call(*arguments)
    except ValueError as error:
        return str(error)
    return None


def test_writer_refuses_another_chunk_size_or_object(tmp_path):
    manifest = Manifest.of_file(write(tmp_path, b"0123456789"), 4)
    output = str(tmp_path / "out")
    with pytest.raises(ValueError) as caught:
        ChunkWriter(output, 5, manifest)
    assert str(caught.value) == "chunk_size 5 differs from the manifest's chunk size 4"
    with pytest.raises(TypeError) as caught:
        ChunkWriter(output, 4, manifest=TEN_BYTES)
    assert str(caught.value) == "argument 'manifest': 'str' object cannot be converted to " \
                                "'Manifest'"
    assert os.listdir(str(tmp_path)) == ["in"]
    with ChunkWriter(output, 4, None) as writer:  # no manifest: as without one
        writer.write(Chunk(0, b"ab"))
    assert open(output, "rb").read() == b"ab"


def test_an_empty_file(tmp_path):
    manifest = Manifest.of_file(write(tmp_path, b""), 4)
    assert (manifest.size, manifest.count, manifest.crc32c, manifest.file_crc32c) == (0, 0, (), 0)
    assert Manifest.from_json(manifest.to_json()) == manifest
    output = tmp_path / "out"
    with ChunkWriter(str(output), 4, manifest=manifest) as writer:
        with pytest.raises(ValueError) as caught:
            writer.write(Chunk(0, b""))
        assert str(caught.value) == "Chunk at index 0 is not in the manifest, which lists no chunk"
    assert output.read_bytes() == b""
    assert manifest.verify_file(str(output)) == []


@pytest.mark.parametrize("received, differing", [
    (b"0123456789", []),
    (b"0123\0\0\0\x0089", [1]),
    (b"012345", [1, 2]),  # short: the cut chunk and every one after
    (b"", [0, 1, 2]),
    (b"0123456789ab", [2]),
    (b"0123456789abcdefghij", [2, 3, 4]),  # long: the chunks past the manifest's end
])
def test_verify_file(tmp_path, received, differing):
    manifest = Manifest.from_json(TEN_BYTES)
    assert manifest.verify_file(write(tmp_path, received)) == differing


def api_recipe(heading):
    """The Python block that follows `heading` in docs/api.md, run as a module of its own."""
    with open(os.path.join(os.path.dirname(__file__), "..", "docs", "api.md")) as docs:
        text = docs.read()
    block = text[text.index("```python\n", text.index(heading)) + 10:]
    namespace = {"__name__": "api_recipe"}  # not importable: the cluster pickles by value
    exec(block[:block.index("```")], namespace)
    return namespace


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                    reason='dask is not installed (pip install ".[dask]")')
def test_parts_across_a_cluster(tmp_path):
    content = random_bytes(random.Random(9), 5 * 65536 + 17)
    path = write(tmp_path, content)
    store = tmp_path / "store"
    store.mkdir()
    recipe = api_recipe("**Parts across machines.**")
    manifest = recipe["copy_through_parts"](path, str(tmp_path / "copy"), 65536, str(store))
    assert manifest == Manifest.of_file(path, 65536)
    assert (tmp_path / "copy").read_bytes() == content


# Parity chunks. The code as another program would compute it: GF(2^16) modulo 0x1100B, data
# chunk i the element i, parity chunk j the element 65535 - j, symbols laid out by blocks of 64
# bytes (32 low bytes, then their 32 high bytes) and a tail of little-endian pairs.
def gf_multiply(a, b):
    product = 0
    for bit in range(15, -1, -1):
        product <<= 1
        if product & 0x10000:
            product ^= 0x1100B
        if b >> bit & 1:
            product ^= a
    return product


def gf_inverse(a):
    result, power, exponent = 1, a, 65534
    while exponent:
        if exponent & 1:
            result = gf_multiply(result, power)
        power, exponent = gf_multiply(power, power), exponent >> 1
    return result


def symbol_places(size):
    whole = size - size % 64
    places = [(block + k, block + 32 + k) for block in range(0, whole, 64) for k in range(32)]
    return places + [(at, at + 1) for at in range(whole, size, 2)]


def reference_parity(content, chunk_size, parity):
    chunks = [content[at:at + chunk_size].ljust(chunk_size, b"\0")
              for at in range(0, len(content), chunk_size)]
    made = []
    for j in range(parity):
        out = bytearray(chunk_size)
        for i, chunk in enumerate(chunks):
            factor = gf_inverse(i ^ (65535 - j))
            for low, high in symbol_places(chunk_size):
                product = gf_multiply(factor, chunk[low] | chunk[high] << 8)
                out[low] ^= product & 0xFF
                out[high] ^= product >> 8
        made.append(bytes(out))
    return made


def test_parity_chunks_follow_the_data_as_documented(tmp_path):
    content = random_bytes(random.Random(4), 3 * 100 - 30)
    path = write(tmp_path, content)
    iterator = read_chunks(path, 100, parity=2)
    chunks = list(iterator)
    assert [chunk.index for chunk in chunks] == list(range(5))
    assert [chunk.data for chunk in chunks[3:]] == reference_parity(content, 100, 2)
    manifest = iterator.manifest()
    assert (manifest.count, manifest.parity) == (3, 2)
    assert manifest.parity_crc32c == tuple(crc32c(chunk.data) for chunk in chunks[3:])
    assert Manifest.of_file(path, 100, parity=2) == manifest
    assert Manifest(100, len(content), manifest.crc32c, manifest.parity_crc32c) == manifest
    assert manifest != Manifest.of_file(path, 100)
    assert pickle.loads(pickle.dumps(manifest)) == manifest
    # The JSON form gains the two fields only with parity.
    text = manifest.to_json()
    assert text == Manifest.of_file(path, 100).to_json()[:-1] + (
        ', "parity": 2, "parity_crc32c": [%s]}'
        % ", ".join('"%08x"' % crc for crc in manifest.parity_crc32c))
    assert Manifest.from_json(text) == manifest
    assert repr(manifest).endswith(", parity=2)")


@pytest.mark.parametrize("size, chunk_size, parity, seeds", [
    (7, 8, 2, range(4)),                # one chunk
    (3 * 64 - 2, 64, 3, range(6)),      # three chunks
    (32768 * 16, 16, 64, range(2)),     # 32,768 tiny chunks
    (200_000_000, 1 << 20, 10, [0]),
])
def test_any_n_missing_chunks_are_rebuilt(tmp_path, size, chunk_size, parity, seeds):
    content = random_bytes(random.Random(size), size)
    path = write(tmp_path, content)
    iterator = read_chunks(path, chunk_size, parity=parity)
    chunks = list(iterator)
    manifest = iterator.manifest()
    output = tmp_path / "out"
    for seed in seeds:
        generator = random.Random(seed)
        last = manifest.count - 1
        if seed == 0:  # the short last data chunk among them
            others = [index for index in range(len(chunks)) if index != last]
            missing = set(generator.sample(others, parity - 1)) | {last}
        else:
            missing = set(generator.sample(range(len(chunks)), parity))
        kept = [chunk for chunk in chunks if chunk.index not in missing]
        generator.shuffle(kept)
        with ChunkWriter(str(output), chunk_size, manifest=manifest) as writer:
            for chunk in kept:
                writer.write(chunk)
        assert output.read_bytes() == content, sorted(missing)
        output.unlink()


def test_too_many_missing_or_a_damaged_parity_chunk_are_refused(tmp_path):
    content = random_bytes(random.Random(8), 8 * 32 - 6)
    chunks = list(iterator := read_chunks(write(tmp_path, content, "source"), 32, parity=2))
    manifest = iterator.manifest()
    output = tmp_path / "out"
    output.write_bytes(b"earlier")
    writer = ChunkWriter(str(output), 32, manifest=manifest)
    damaged = Chunk(8, bytes(32))
    with pytest.raises(ValueError) as caught:
        writer.write(damaged)
    assert str(caught.value) == (
        "Chunk at index 8 has CRC32C %#010x, but the manifest lists %#010x for it"
        % (crc32c(bytes(32)), manifest.parity_crc32c[0]))
    with pytest.raises(ValueError) as caught:
        writer.write(Chunk(10, bytes(32)))
    assert str(caught.value) == (
        "Chunk at index 10 is not in the manifest, which lists 8 chunks and 2 parity chunks")
    for chunk in chunks:
        if chunk.index not in (3, 7, 9):
            writer.write(chunk)
    with pytest.raises(ValueError) as caught:
        writer.close()
    assert str(caught.value) == (
        "Missing chunks at indices 3, 7, 9: 3 are missing and the parity rebuilds at most 2")
    assert output.read_bytes() == b"earlier"
    assert sorted(os.listdir(str(tmp_path))) == ["out", "source"]


@pytest.mark.parametrize("call", [
    lambda path: read_chunks(path, 5, parity=1),
    lambda path: Manifest.of_file(path, 5, parity=1),
    lambda path: Manifest(5, 5, [0], [0]),
])
def test_parity_needs_an_even_chunk_size(tmp_path, call):
    with pytest.raises(ValueError) as caught:
        call(write(tmp_path, b"12345"))
    assert str(caught.value) == "parity needs an even chunk_size (two bytes a symbol), got 5"
