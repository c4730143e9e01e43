"""Cut a generated file into chunks and join them back, and show that nothing changed."""

import hashlib
import os
import random
import tempfile

import fendral


def file_round_trip(workdir):
    source = os.path.join(workdir, "sample.bin")
    with open(source, "wb") as sink:
        sink.write(os.urandom(10 * 1024 * 1024 + 123))
    chunks = fendral.deconstruct_file(source, 1024 * 1024)
    random.shuffle(chunks)
    joined = os.path.join(workdir, "joined.bin")
    fendral.reconstruct_file(chunks, joined)
    digests = [hashlib.sha256(open(p, "rb").read()).hexdigest() for p in (source, joined)]
    print(f"file:  {len(chunks)} chunks, joined in shuffled order; "
          f"SHA-256 {'matches' if digests[0] == digests[1] else 'DIFFERS'}")
    return digests[0] == digests[1]


def main():
    with tempfile.TemporaryDirectory(prefix="fendral-demo-") as workdir:
        ok = file_round_trip(workdir)
    raise SystemExit(0 if ok else 1)


if __name__ == "__main__":
    main()
