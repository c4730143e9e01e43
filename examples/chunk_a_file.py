"""Cut a file into chunks, shuffle them, and join them back (writes two files here)."""

import random

import fendral

with open("example.txt", "wb") as sink:
    sink.write(b"The quick brown fox jumps over the lazy dog\n")

chunks = fendral.deconstruct_file("example.txt", 10)
print(len(chunks), [chunk.index for chunk in chunks])  # 5 [0, 1, 2, 3, 4]
print(chunks[4])  # <Chunk index=4 data=[100, 111, 103, 10]>

random.shuffle(chunks)  # any order will do
fendral.reconstruct_file(chunks, "example-copy.txt")

with open("example.txt", "rb") as original, open("example-copy.txt", "rb") as copy:
    assert original.read() == copy.read()

# Chunks can also be made by hand, e.g. after they travelled elsewhere as (index, bytes).
received = [(1, b"world\n"), (0, b"hello ")]
fendral.reconstruct_file([fendral.Chunk(index, data) for index, data in received], "hello.txt")

try:
    fendral.reconstruct_file([fendral.Chunk(0, b"a"), fendral.Chunk(2, b"c")], "gap.txt")
except ValueError as error:
    print(error)  # Missing chunk at index 1   (gap.txt now holds b"a")
