"""Send a file as chunks with a manifest of their CRC32C, and join them back checked: a damaged
or missing chunk is refused by its index (writes three files here)."""

import os

from fendral import Chunk
from fendral_stream import ChunkWriter, Manifest, read_chunks

with open("big.bin", "wb") as sink:
    sink.write(os.urandom(1_000_000))

# The sender: chunks of 256 kB, each CRC taken as it is read.
chunks = read_chunks("big.bin", 256_000)
sent = {chunk.index: chunk.data for chunk in chunks}  # your upload, one part at a time
text = chunks.manifest().to_json()  # travels with the parts
print(text[:60])  # {"version": 1, "chunk_size": 256000, "size": 1000000, "count": 4

# The receiver: the manifest refuses a part that arrived damaged, before anything is written.
manifest = Manifest.from_json(text)
with ChunkWriter("big-copy.bin", manifest.chunk_size, manifest=manifest) as writer:
    for index, data in sent.items():
        try:
            writer.write(Chunk(index, data if index != 2 else b"x" + data[1:]))
        except ValueError as error:
            print(error)  # names chunk 2 and both CRC32C values
            writer.write(Chunk(index, data))  # fetched again
assert manifest.verify_file("big-copy.bin") == []  # every chunk as the manifest lists it

# A part that never arrived: closing names it, and the output is not made.
try:
    with ChunkWriter("big-short.bin", manifest.chunk_size, manifest=manifest) as writer:
        for index in (0, 1, 3):
            writer.write(Chunk(index, sent[index]))
except ValueError as error:
    print(error)  # Missing chunk at index 2
assert not os.path.exists("big-short.bin")
