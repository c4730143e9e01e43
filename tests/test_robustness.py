"""Faults from outside: resource limits, full devices, vanishing directories, killed children,
broken metadata, overlong paths, host callbacks that raise, exhausted memory."""

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

from fendral import Chunk, deconstruct_file, reconstruct_file, reconstruct_video, split_video
from fendral_testing.children import SANITIZED, run_forked
from fendral_testing.splits import write_metadata, write_split
from fendral_testing.probes import built_probe

TOO_LARGE = "File too large (os error 27)"
NAME_TOO_LONG = "File name too long (os error 36)"


def caught(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - the test inspects whatever came out
        return type(error), str(error)
    return None


def with_file_size_limit(limit, call):
    """Runs `call` in a child whose writes stop at `limit` bytes; returns its outcome."""
    def body():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        return caught(call)
    return run_forked(body)


def test_file_size_limit_cuts_reconstruct_file_short(tmp_path):
    out = tmp_path / "out"
    chunks = [Chunk(0, b"a" * 600), Chunk(1, b"b" * 600), Chunk(2, b"c" * 600)]
    outcome = with_file_size_limit(1000, lambda: reconstruct_file(chunks, str(out)))
    assert outcome == (OSError, TOO_LARGE)
    assert out.read_bytes() == b"a" * 600 + b"b" * 400


@pytest.mark.parametrize("earlier", [None, b"earlier"], ids=["none", "earlier"])
def test_file_size_limit_leaves_no_metadata_json(ffmpeg, tmp_path, earlier):
    # A run under a file size limit must not be cut short by its own records; an earlier record
    # would name segments this run rewrote.
    ffmpeg.set(segments=3, record=False)
    if earlier is not None:
        os.mkdir("cut")
        (tmp_path / "cut" / "metadata.json").write_bytes(earlier)
    outcome = with_file_size_limit(100, lambda: split_video("in.mp4", "cut", 5))
    assert outcome == (OSError, TOO_LARGE)
    # ffmpeg's segment list, stored first, fits under the limit.
    assert sorted(os.listdir("cut")) == ["chunk_000.mp4", "chunk_001.mp4", "chunk_002.mp4",
                                         "segment_times.csv"]


def test_file_size_limit_leaves_the_concat_list_as_it_was(ffmpeg, tmp_path):
    ffmpeg.set(record=False)  # as above
    segments = tmp_path / "segs"
    names = [f"segs/chunk_{n:03d}.mp4" for n in range(3)]
    write_split(segments, names)
    (segments / "concat_list.txt").write_text("earlier")
    limit = len(f"file '{tmp_path}/segs/chunk_000.mp4'\n") + 10
    outcome = with_file_size_limit(limit, lambda: reconstruct_video("segs", "joined.mp4"))
    assert outcome == (RuntimeError, f"Failed to write concat list: {TOO_LARGE}")
    assert sorted(os.listdir(segments)) == sorted([name[5:] for name in names] +
                                                  ["concat_list.txt", "metadata.json"])
    assert (segments / "concat_list.txt").read_text() == "earlier"
    assert not (tmp_path / "joined.mp4").exists()  # ffmpeg was not started


@pytest.mark.parametrize("call, name", [
    (lambda: split_video("in.mp4", "out", 5), "metadata.json"),
    (lambda: reconstruct_video("out", "joined.mp4"), "concat_list.txt"),
], ids=["split", "join"])
@pytest.mark.parametrize("target", ["../victim.txt", "../absent.txt", "/dev/full"])
def test_a_planted_link_is_replaced_not_followed(ffmpeg, tmp_path, call, name, target):
    ffmpeg.set(segments=2)
    out = tmp_path / "out"
    write_split(out, ["out/chunk_000.mp4", "out/chunk_001.mp4"])
    (tmp_path / "victim.txt").write_text("victim")
    (out / name).unlink(missing_ok=True)
    (out / name).symlink_to(target)
    assert caught(call) is None
    assert (tmp_path / "victim.txt").read_text() == "victim"
    assert not (tmp_path / "absent.txt").exists()
    assert not (out / name).is_symlink()
    split_records = {"segment_times.csv"} if name == "metadata.json" else set()
    assert set(os.listdir(out)) == {"chunk_000.mp4", "chunk_001.mp4", "metadata.json", name,
                                    *split_records}
    assert b"chunk_001.mp4" in (out / name).read_bytes()


@pytest.fixture(scope="module")
def replacement_probe():
    """tests/support/replacement_probe.cpp built with the file layer it drives."""
    return built_probe("replacement_probe")


@pytest.mark.parametrize("target", ["victim.txt", "absent.txt"])
def test_a_link_at_the_temporary_name_is_not_written_through(tmp_path, replacement_probe, target):
    (tmp_path / "victim.txt").write_text("victim")
    (tmp_path / ".out.planted").symlink_to(target)
    result = subprocess.run([str(replacement_probe), str(tmp_path / "out"), "planted"],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / "victim.txt").read_text() == "victim"
    assert sorted(os.listdir(tmp_path)) == [".out.planted", "out", "victim.txt"]
    assert (tmp_path / "out").read_text() == "new content"


# A child whose parent is gone before it asked to end with it (its parent's pid is no longer
# the one it was started by) runs nothing: the program would outlive its caller. The probe's
# getppid() gives the pid an orphan sees.
def test_a_child_orphaned_before_it_starts_runs_nothing(tmp_path):
    marker = tmp_path / "ran"
    result = subprocess.run([str(built_probe("orphan_probe")), "/bin/sh", "-c",
                             f": > '{marker}'"], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "ExitStatus(ExitStatus(127))\n", "")
    assert not marker.exists()


@pytest.mark.parametrize("action, error", [
    ("remove_dir", (FileNotFoundError, "No such file or directory (os error 2)")),
    ("replace_dir", (NotADirectoryError, "Not a directory (os error 20)")),
])
def test_output_dir_gone_before_metadata_is_written(ffmpeg, tmp_path, action, error):
    ffmpeg.set(segments=2, damage=action)
    assert caught(lambda: split_video("in.mp4", "out", 5)) == error
    assert os.path.isdir("out") is False
    assert sorted(os.listdir(tmp_path)) == (["out"] if action == "replace_dir" else [])


KILLER = textwrap.dedent("""
    import os, signal, sys, time
    while not os.path.exists(sys.argv[2]):
        time.sleep(0.01)
    os.kill(int(open(sys.argv[1]).read()), signal.SIGKILL)
""")


@pytest.mark.parametrize("call, message, left", [
    (lambda: split_video("in.mp4", "out", 5), "ffmpeg split failed with status signal: 9 (SIGKILL)",
     ["chunk_000.mp4"]),
    (lambda: reconstruct_video("out", "joined.mp4"),
     "ffmpeg concat failed with status signal: 9 (SIGKILL)",
     ["chunk_000.mp4", "concat_list.txt", "metadata.json"]),
])
def test_ffmpeg_killed_mid_run(ffmpeg, tmp_path, call, message, left):
    out = tmp_path / "out"
    if "concat" in message:
        write_split(out, ["out/chunk_000.mp4"])
    ffmpeg.set(segments=1, wait="killed")
    # Another process kills it once its segments are written, as an outside cause would.
    killer = subprocess.Popen([sys.executable, "-c", KILLER, str(ffmpeg.pid_file),
                               str(ffmpeg.waiting_file)])
    try:
        assert caught(call) == (RuntimeError, message)
    finally:
        killer.wait()
    assert sorted(os.listdir(out)) == left


def test_metadata_of_100_mb_whitespace(tmp_path):
    with open(tmp_path / "metadata.json", "wb") as out:
        line = b" " * 99 + b"\n"
        for _ in range(100):
            out.write(line * 10_000)
        out.write(b"\t \r    ")
    with pytest.raises(RuntimeError) as raised:
        reconstruct_video(str(tmp_path), str(tmp_path / "joined.mp4"))
    assert raised.value.args == ("Serde error: EOF while parsing a value at line 1000001 column 7",)
    assert sorted(os.listdir(tmp_path)) == ["metadata.json"]


LONG_NAME = "n" * 4000


@pytest.mark.parametrize("call, error, created", [
    (lambda: deconstruct_file(LONG_NAME, 4), (OSError, NAME_TOO_LONG), []),
    (lambda: reconstruct_file([Chunk(0, b"x")], LONG_NAME), (OSError, NAME_TOO_LONG), []),
    (lambda: split_video("in.mp4", LONG_NAME, 5), (OSError, NAME_TOO_LONG), []),
    # The parents made before the refused component remain.
    (lambda: split_video("in.mp4", f"out/{LONG_NAME}/x", 5), (OSError, NAME_TOO_LONG), ["out"]),
    (lambda: reconstruct_video(LONG_NAME, "joined.mp4"),
     (RuntimeError, f"Failed to read metadata.json: {NAME_TOO_LONG}"), []),
    (lambda: reconstruct_video("listed", "joined.mp4"),
     (RuntimeError, f"Failed to read segment {LONG_NAME}: {NAME_TOO_LONG}"), []),
], ids=["deconstruct", "reconstruct", "split", "split parents", "reconstruct_video",
        "segment"])
def test_a_name_the_kernel_refuses(ffmpeg, tmp_path, call, error, created):
    write_metadata(tmp_path / "listed", [LONG_NAME])
    before = sorted(os.listdir(tmp_path))
    assert caught(call) == error
    assert sorted(os.listdir(tmp_path)) == sorted(before + created)


def test_a_deep_path_of_4000_characters_works(ffmpeg, tmp_path):
    deep = "/".join(["d" * 99] * 40)
    assert len(deep) == 3999
    os.makedirs(deep)
    content = os.urandom(10_000)
    source = f"{deep}/in"
    with open(source, "wb") as out:
        out.write(content)
    reconstruct_file(deconstruct_file(source, 999)[::-1], f"{deep}/copy")
    with open(f"{deep}/copy", "rb") as copy:
        assert copy.read() == content

    ffmpeg.set(segments=2)
    split_video(source, deep, 5)
    reconstruct_video(deep, "joined.mp4")
    assert (tmp_path / "joined.mp4").read_text() == "".join(
        f"file '{tmp_path}/{deep}/chunk_{n:03d}.mp4'\n" for n in range(2))


class Boom(Exception):
    pass


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class RaisingSequence:
    """A sequence whose iteration raises after `good` items."""

    def __init__(self, items, good, error):
        self.items, self.good, self.error = items, good, error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, position):
        return self.items[position]

    def __iter__(self):
        yield from self.items[:self.good]
        raise self.error


CHUNKS = [Chunk(i, b"%d" % i) for i in range(4)]


@pytest.mark.parametrize("make_call", [
    lambda error, out: reconstruct_file(RaisingSequence(CHUNKS, 2, error), out),
    lambda error, out: reconstruct_file(RaisingSequence(CHUNKS, 0, error), out),
    lambda error, out: Chunk(0, RaisingSequence([1, 2, 3], 2, error)),
    lambda error, out: Chunk(RaisingIndex(error), b"x"),
    lambda error, out: Chunk(0, [1, 2, RaisingIndex(error), 4]),
    lambda error, out: deconstruct_file(out, RaisingIndex(error)),
    lambda error, out: split_video("in.mp4", out, RaisingIndex(error)),
], ids=["reconstruct midway", "reconstruct at once", "chunk data", "chunk index",
        "chunk byte", "deconstruct size", "split limit"])
@pytest.mark.parametrize("existing", [False, True], ids=["absent", "existing"])
def test_a_callback_raising_midway_leaves_nothing(ffmpeg, tmp_path, make_call, existing):
    out = tmp_path / "out"
    if existing:
        out.write_bytes(b"previous")
    error = Boom("midway")
    counts = [sys.getrefcount(value) for value in (error, Chunk, *CHUNKS)]
    with pytest.raises(Boom) as raised:
        make_call(error, str(out))
    assert raised.value is error
    assert raised.value.__cause__ is None
    del raised
    # The traceback holds the frames that refer to `error`.
    error.__traceback__ = None
    assert [sys.getrefcount(value) for value in (error, Chunk, *CHUNKS)] == counts
    assert sorted(os.listdir(tmp_path)) == (["out"] if existing else [])
    if existing:
        assert out.read_bytes() == b"previous"


class LyingLength:
    """A sequence claiming far more items than it yields."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, position):
        return self.items[position]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("claimed", [2**62, 2**40, sys.maxsize])
def test_a_claimed_length_does_not_size_memory(tmp_path, claimed):
    assert Chunk(0, LyingLength([1, 2, 3], claimed)).data == b"\x01\x02\x03"
    reconstruct_file(LyingLength([Chunk(0, b"ab")], claimed), str(tmp_path / "out"))
    assert (tmp_path / "out").read_bytes() == b"ab"


@pytest.fixture
def sparse_dir():
    """A directory on tmpfs, where a sparse file may be as large as a file can be."""
    if not os.path.isdir("/dev/shm"):
        pytest.skip("no tmpfs at /dev/shm")
    directory = tempfile.mkdtemp(dir="/dev/shm")
    yield directory
    shutil.rmtree(directory)


def sparse_file(path, size):
    with open(path, "wb") as sink:
        sink.truncate(size)


@pytest.mark.parametrize("chunk_size", [1, 4096, 1 << 20, 2**62])
def test_a_sparse_file_too_large_for_memory_raises_memory_error(sparse_dir, chunk_size):
    path = os.path.join(sparse_dir, "sparse")
    sparse_file(path, 2**59)
    with pytest.raises(MemoryError):
        deconstruct_file(path, chunk_size)


def test_a_sparse_metadata_json_raises_memory_error(sparse_dir):
    sparse_file(os.path.join(sparse_dir, "metadata.json"), 2**63 - 1)
    with pytest.raises(MemoryError):
        reconstruct_video(sparse_dir, os.path.join(sparse_dir, "joined.mp4"))
    assert os.listdir(sparse_dir) == ["metadata.json"]


# Each case runs in a fresh interpreter whose memory is capped: by an address-space limit, or
# under ASan (whose shadow memory reserves terabytes of address space) by its allocation cap.
# The MemoryError names what was being read, and for a file whose size is known at once, that
# size and the bound it exceeds, before anything is read.
MEMORY_CASES = {
    # A device is read one chunk per read into a buffer as large as Linux reads go (2 GiB).
    "read buffer": ("deconstruct_file('/dev/zero', 2**62)",
                    "Out of memory while reading /dev/zero"),
    # /dev/zero never ends: the chunks read so far exhaust memory.
    "endless device": ("deconstruct_file('/dev/zero', 1 << 20)",
                       "Out of memory while reading /dev/zero"),
    # Far less than the machine has, more than the limit lets the process have.
    "file above the limit": ("deconstruct_file(sys.argv[2], 1 << 20)",
                             "{large} holds 2147483648 bytes, more than the 1073741824 bytes of "
                             "memory this process can have"),
    # The same under a data-segment limit, which bounds the heap and private mappings alike.
    "file above the data limit": ("deconstruct_file(sys.argv[2], 1 << 20)",
                                  "{large} holds 2147483648 bytes, more than the 1073741824 bytes "
                                  "of memory this process can have", "DATA"),
    "metadata.json above the limit": (
        "reconstruct_video(os.path.dirname(sys.argv[2]), 'joined.mp4')",
        "{large} holds 2147483648 bytes, more than the 1073741824 bytes of memory this process "
        "can have"),
}
MEMORY_SCRIPT = """
import mmap, os, resource, sys
from fendral import deconstruct_file, reconstruct_video
if len(sys.argv) > 3:
    limit = 1 << 30
    resource.setrlimit(getattr(resource, "RLIMIT_" + sys.argv[3]), (limit, limit))
    # Without an enforced limit (qemu's user-mode emulation ignores it) the calls below would
    # take memory until the kernel ended some process: a mapping twice the limit must fail.
    try:
        mmap.mmap(-1, 2 * limit, flags=mmap.MAP_PRIVATE).close()
    except OSError:
        pass
    else:
        sys.exit("limit not enforced")
try:
    {call}
except MemoryError as error:
    print("MemoryError", error.args)
else:
    print("no MemoryError")
# Everything taken was given back: the interpreter carries on.
print(len(deconstruct_file(sys.argv[1], 1)))
"""


@pytest.mark.parametrize("case", MEMORY_CASES)
def test_exhausted_memory_raises_memory_error(tmp_path, case):
    if SANITIZED and case != "read buffer":
        pytest.skip("ASan's allocator caps single allocations only, and no address-space "
                    "limit is set under it")
    call, message, *limit = MEMORY_CASES[case]
    sample = tmp_path / "sample"
    sample.write_bytes(b"abc")
    large = tmp_path / ("metadata.json" if "metadata" in case else "large")
    sparse_file(large, 2 << 30)
    env = dict(os.environ)
    argv = [sys.executable, "-c", MEMORY_SCRIPT.format(call=call), str(sample), str(large)]
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=1024"
    else:
        argv.extend(limit or ["AS"])
    result = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=300,
                            cwd=str(tmp_path))
    if result.stderr == "limit not enforced\n":
        pytest.skip("this platform does not enforce the limit: a 2 GiB mapping under a 1 GiB "
                    "limit succeeded")
    expected = f"MemoryError {(message.format(large=large),)}\n3\n"
    assert (result.returncode, result.stdout) == (0, expected), result.stderr
