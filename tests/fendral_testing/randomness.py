"""Seeded random bytes on every Python: Random gained a method for them only in 3.9."""


def random_bytes(generator, size):
    """`size` bytes from `generator`, the same as its own byte method (3.9 on) gives."""
    if size == 0:  # 3.8's getrandbits refuses 0 bits
        return b""
    return generator.getrandbits(8 * size).to_bytes(size, "little")
