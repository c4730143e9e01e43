"""Seeded random bytes on every Python (Random.randbytes arrived in 3.9)."""


def random_bytes(generator, size):
    """The same bytes Random.randbytes(size) gives for this generator state."""
    if size == 0:  # 3.8's getrandbits refuses 0 bits
        return b""
    return generator.getrandbits(8 * size).to_bytes(size, "little")
