"""deconstruct_file and reconstruct_file: contents, errors and what is left on disk."""

import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

from fendral import Chunk, deconstruct_file, reconstruct_file
from fendral_testing.children import run_unprivileged
from fendral_testing.leak_probe import writable_mapped_bytes
from fendral_testing.probes import built_probe
from fendral_testing.randomness import random_bytes


def payloads(chunks):
    return [chunk.data for chunk in chunks]


@pytest.mark.parametrize("content, chunk_size, expected", [
    (b"", 4, []),
    (b"0123456789", 4, [b"0123", b"4567", b"89"]),
    (b"01234567", 4, [b"0123", b"4567"]),
    (b"abc", 100, [b"abc"]),
    (b"abc", 1, [b"a", b"b", b"c"]),
    (b"abc", 0, []),
    (b"abc", 2**62, [b"abc"]),
    (b"x" * 200_000, 65536, [b"x" * 65536] * 3 + [b"x" * 3392]),
    (b"y" * 3_000_001, 1_000_000, [b"y" * 1_000_000] * 3 + [b"y"]),
], ids=lambda value: str(len(value)) if isinstance(value, (bytes, list)) else str(value))
def test_deconstruct_cuts_in_file_order(tmp_path, content, chunk_size, expected):
    path = tmp_path / "in"
    path.write_bytes(content)
    chunks = deconstruct_file(str(path), chunk_size)
    assert type(chunks) is list
    assert [chunk.index for chunk in chunks] == list(range(len(expected)))
    assert payloads(chunks) == expected


@pytest.mark.parametrize("size", [1, 4095, 4096, 65535, 65536, 1 << 20, (1 << 20) + 17])
def test_round_trip_in_any_order(tmp_path, size):
    content = random_bytes(random.Random(size), 3 * size + 5)
    source = tmp_path / "in"
    source.write_bytes(content)
    chunks = deconstruct_file(str(source), size)
    random.Random(1).shuffle(chunks)
    reconstruct_file(tuple(chunks), str(tmp_path / "out"))
    assert (tmp_path / "out").read_bytes() == content


@pytest.mark.parametrize("chunk_size", [7, 1 << 20])
def test_proc_files_are_read_whole(chunk_size):
    # /proc files report a size of 0 but have content: here a steady one of several pages.
    child = subprocess.Popen(["sleep", "60"], env={"PADDING": "p" * 20000})
    try:
        path = f"/proc/{child.pid}/environ"
        for _ in range(1000):  # empty until exec has set the new program's memory up
            with open(path, "rb") as source:
                content = source.read()
            if content:
                break
            time.sleep(0.01)
        chunks = deconstruct_file(path, chunk_size)
    finally:
        child.kill()
        child.wait()
    assert len(content) > 20000
    assert b"".join(payloads(chunks)) == content


BURSTS = """
import fcntl, os, struct, termios, time
os.write(1, b"abc")
while struct.unpack("i", fcntl.ioctl(1, termios.FIONREAD, bytes(4)))[0]:
    time.sleep(0.01)
os.write(1, b"defgh")
"""


def test_fifo_gives_one_chunk_per_read(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    # A separate process writes, so each burst arrives as one read: the second once the pipe
    # is empty again, i.e. the first has been read.
    write_end = os.open(fifo, os.O_RDWR)
    writer = subprocess.Popen([sys.executable, "-c", BURSTS], stdout=write_end)
    os.close(write_end)
    chunks = deconstruct_file(str(fifo), 6)
    writer.wait()
    assert payloads(chunks) == [b"abc", b"defgh"]


MISSING = "No such file or directory (os error 2)"


def deconstruct(path):
    return deconstruct_file(path, 4)


def reconstruct(path):
    return reconstruct_file([Chunk(0, b"data")], path)


@pytest.mark.parametrize("call, make_path, error", [
    (deconstruct, lambda d: str(d / "missing"), (FileNotFoundError, MISSING)),
    (deconstruct, lambda d: str(d), (IsADirectoryError, "Is a directory (os error 21)")),
    (deconstruct, lambda d: str(d / "a\0b"),
     (OSError, "file name contained an unexpected NUL byte")),
    (deconstruct, lambda d: str(d / "file" / "x"),
     (NotADirectoryError, "Not a directory (os error 20)")),
    (reconstruct, lambda d: str(d / "no" / "out"), (FileNotFoundError, MISSING)),
    (reconstruct, lambda d: str(d), (IsADirectoryError, "Is a directory (os error 21)")),
    (reconstruct, lambda d: str(d / "o\0ut"),
     (OSError, "file name contained an unexpected NUL byte")),
    (reconstruct, lambda d: "/dev/full", (OSError, "No space left on device (os error 28)")),
])
def test_os_errors(tmp_path, call, make_path, error):
    (tmp_path / "file").write_bytes(b"x")
    with pytest.raises(OSError) as caught:
        call(make_path(tmp_path))
    assert (type(caught.value), str(caught.value)) == error
    assert caught.value.args == (error[1],)
    assert caught.value.errno is None


def test_a_reader_that_leaves_early_breaks_the_pipe(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def read_a_little():
        with open(fifo, "rb", buffering=0) as source:
            source.read(1)

    reader = threading.Thread(target=read_a_little)
    reader.start()
    try:
        with pytest.raises(OSError) as caught:
            reconstruct_file([Chunk(0, bytes(1 << 20))], str(fifo))
    finally:
        reader.join()
    assert (type(caught.value), caught.value.args) == (BrokenPipeError,
                                                       ("Broken pipe (os error 32)",))


def test_small_chunks_kept_hold_only_their_pages(tmp_path):
    # A 1 KiB file read in chunks just under 64 KiB shares a slab cut down to the page it fills.
    path = tmp_path / "in"
    path.write_bytes(bytes(1024))
    before = writable_mapped_bytes()
    kept = [deconstruct_file(str(path), 65535) for _ in range(1000)]
    assert writable_mapped_bytes() - before < 16 << 20
    assert len(kept) == 1000


def test_payloads_start_on_64_byte_boundaries(tmp_path):
    # Chunk sizes that are multiples of 64 are cut from shared slabs; larger ones are read each
    # into its own payload.
    path = tmp_path / "in"
    path.write_bytes(bytes(300_000))
    sizes = ["64", "4096", "65536", "100001", "1048576"]
    result = subprocess.run([str(built_probe("alignment_probe")), str(path), *sizes],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.split(), result.stderr) == (0, ["0"] * 5, "")


@pytest.mark.parametrize("chunk_size", [0, 2**63])
def test_open_failure_comes_before_the_size(tmp_path, chunk_size):
    with pytest.raises(FileNotFoundError):
        deconstruct_file(str(tmp_path / "missing"), chunk_size)


@pytest.mark.parametrize("chunk_size", [2**63, 2**64 - 1])
def test_unrepresentable_chunk_size_is_an_internal_fault(tmp_path, capfd, chunk_size):
    path = tmp_path / "in"
    path.write_bytes(b"abc")
    fds_before = set(os.listdir("/proc/self/fd"))
    try:
        deconstruct_file(str(path), chunk_size)
    except Exception:  # noqa: BLE001 - the fault must not be an Exception
        pytest.fail("an internal fault was caught as Exception")
    except BaseException as fault:  # noqa: BLE001
        assert type(fault).__name__ == "PanicException"
        assert type(fault).__module__ == "fendral_runtime"
        assert type(fault).__mro__[1] is BaseException
        assert fault.args == ("capacity overflow",)
    assert set(os.listdir("/proc/self/fd")) == fds_before
    diagnostic = capfd.readouterr().err
    assert diagnostic.startswith("fendral: internal fault on thread ")
    assert diagnostic.endswith(": capacity overflow\n")
    assert "/" not in diagnostic  # no path of the machine that built the module


@pytest.mark.parametrize("last_index, outcome, written", [
    (3, None, b"BC"),  # dense indices
    (10**6, "Missing chunk at index 3", b"BC"),  # far apart: looked up another way
])
def test_reconstruct_writes_the_last_of_duplicate_indices(tmp_path, last_index, outcome,
                                                          written):
    out = tmp_path / "out"
    chunks = [Chunk(0, b"A"), Chunk(1, b""), Chunk(0, b"B"), Chunk(2, b"C"), Chunk(last_index, b"")]
    try:
        reconstruct_file(chunks, str(out))
        error = None
    except ValueError as raised:
        error = str(raised)
    assert (error, out.read_bytes()) == (outcome, written)


@pytest.mark.parametrize("indices, missing, written", [
    ([], 0, b""),
    ([0, 1, 3], 2, b"01"),
    ([5], 0, b""),
    ([2**64 - 1], 0, b""),
    ([0, 2**64 - 1], 1, b"0"),
    (list(range(2000)) + [2001], 2000, b"".join(b"%d" % i for i in range(2000))),
])
def test_missing_index_leaves_what_came_before(tmp_path, indices, missing, written):
    out = tmp_path / "out"
    out.write_bytes(b"previous content that is longer")
    chunks = [Chunk(i, b"%d" % i) for i in indices]
    random.Random(0).shuffle(chunks)
    with pytest.raises(ValueError) as caught:
        reconstruct_file(chunks, str(out))
    assert caught.value.args == (f"Missing chunk at index {missing}",)
    assert out.read_bytes() == written


def test_reconstruct_shortens_a_longer_file(tmp_path):
    out = tmp_path / "out"
    out.write_bytes(b"0123456789")
    reconstruct_file([Chunk(0, b"ab")], str(out))
    assert out.read_bytes() == b"ab"


def test_bad_output_path_is_reported_after_the_chunks():
    with pytest.raises(TypeError) as caught:
        reconstruct_file([1], 5)
    assert str(caught.value) == "argument 'chunks': 'int' object cannot be converted to 'Chunk'"


def test_permission_denied_for_an_unprivileged_user(tmp_path):
    tmp_path.chmod(0o755)
    secret = tmp_path / "secret"
    secret.write_bytes(b"x")
    secret.chmod(0o600)
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o755)

    def attempt():
        outcomes = []
        for call in (lambda: deconstruct_file(str(secret), 4),
                     lambda: reconstruct_file([Chunk(0, b"x")], str(locked / "out"))):
            try:
                call()
                outcomes.append("ok")
            except OSError as error:
                outcomes.append(f"{type(error).__name__}: {error}")
        return outcomes

    denied = "PermissionError: Permission denied (os error 13)"
    assert run_unprivileged(attempt) == [denied, denied]


def test_signal_storm_during_large_read_and_write(tmp_path):
    content = os.urandom(64 << 20)
    source = tmp_path / "in"
    source.write_bytes(content)
    ticks = []
    previous = signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        for chunk_size in (4096, 1 << 20, 64 << 20):
            chunks = deconstruct_file(str(source), chunk_size)
            reconstruct_file(chunks[::-1], str(tmp_path / "out"))
            assert (tmp_path / "out").read_bytes() == content
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert ticks
