"""What the tests share: the ffmpeg stand-in, children to run test bodies and interpreters in,
seeded random bytes, splits written on disk, the native probes built through CMake, and the leak
probe that test_leaks.py runs."""
