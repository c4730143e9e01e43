"""What the tests share: the ffmpeg stand-in, children to run test bodies and interpreters in,
seeded random bytes, and the leak probe that test_leaks.py runs."""
