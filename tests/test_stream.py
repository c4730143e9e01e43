"""fendral_stream: read_chunks hands a file out chunk by chunk, ChunkWriter puts chunks given in
any order back in place, and what either leaves behind when something goes wrong."""

import concurrent.futures
import os
import random
import resource
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

import fendral
from fendral import Chunk, deconstruct_file
from fendral_stream import ChunkWriter, read_chunks
from fendral_testing.children import child_environment, run_forked
from fendral_testing.randomness import random_bytes
from test_blocking import interrupt_child


def feed_fifo(path, content, generator):
    """Writes `content` into the FIFO at `path` from a thread, in pieces of random lengths, so
    reads return short counts."""
    def write():
        with open(path, "wb", buffering=0) as sink:
            position = 0
            while position < len(content):
                step = generator.randint(1, 70000)
                sink.write(content[position:position + step])
                position += step
    thread = threading.Thread(target=write)
    thread.start()
    return thread


def write_shuffled(chunks, output, chunk_size, threads):
    random.Random(3).shuffle(chunks)
    with ChunkWriter(output, chunk_size) as writer:
        if threads:  # a parallel download, written back as the pieces arrive
            with concurrent.futures.ThreadPoolExecutor(threads) as pool:
                list(pool.map(writer.write, chunks))
        else:
            for chunk in chunks:
                writer.write(chunk)
    assert writer.closed


@pytest.mark.parametrize("source", ["file", "fifo"])
@pytest.mark.parametrize("size, chunk_size, threads", [
    (0, 4, 0),
    (1, 4, 0),
    (12, 4, 0),  # an exact multiple: no empty last chunk
    (100_003, 7, 0),  # small chunks, cut out of the read-ahead buffer
    (3 << 20, 1 << 20, 4),  # read straight into each payload
    (2_500_001, 300_000, 8),
])
def test_round_trip_in_shuffled_order(tmp_path, source, size, chunk_size, threads):
    content = random_bytes(random.Random(size), size)
    path = tmp_path / "in"
    feeder = None
    if source == "file":
        path.write_bytes(content)
    else:
        os.mkfifo(str(path))
        feeder = feed_fifo(str(path), content, random.Random(size))
    chunks = list(read_chunks(path, chunk_size))  # any os.PathLike
    if feeder:
        feeder.join()
    assert all(type(chunk) is fendral.Chunk for chunk in chunks)
    assert [chunk.index for chunk in chunks] == list(range(len(chunks)))
    # Equal parts from pipes too: every chunk full but the last.
    assert [len(chunk.data) for chunk in chunks[:-1]] == [chunk_size] * (len(chunks) - 1)
    assert b"".join(chunk.data for chunk in chunks) == content
    write_shuffled(chunks, tmp_path / "out", chunk_size, threads)
    assert (tmp_path / "out").read_bytes() == content


def raised(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - PanicException included
        return type(error).__name__, error.args
    return None


@pytest.mark.parametrize("path, chunk_size", [
    ("missing", 4),
    ("missing", 2**63),  # the open fails first
    (".", 4),  # a directory
    ("in\0", 4),
    ("in", 2**63),  # capacity overflow, once the file is open
    ("in", -1),
    ("in", "4"),
    (3, 4),
    (b"in", 4),
])
def test_errors_are_those_of_deconstruct_file(tmp_path, monkeypatch, capfd, path, chunk_size):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in").write_bytes(b"abc")
    expected = raised(lambda: deconstruct_file(path, chunk_size))
    assert expected is not None
    assert raised(lambda: list(read_chunks(path, chunk_size))) == expected
    capfd.readouterr()


def test_chunk_size_zero_and_open_at_first_request(tmp_path):
    path = tmp_path / "in"
    chunks = read_chunks(str(path), 0)  # not opened yet: the file does not exist
    path.write_bytes(b"abc")
    assert list(chunks) == []
    assert list(chunks) == []


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("ending", ["close", "collect", "exhaust"])
def test_the_descriptor_is_released(tmp_path, ending):
    path = tmp_path / "in"
    path.write_bytes(b"x" * 10)
    before = open_descriptors()
    chunks = read_chunks(str(path), 4)
    assert next(chunks).data == b"xxxx"
    assert open_descriptors() == before + 1
    if ending == "close":
        chunks.close()
        assert list(chunks) == []
    elif ending == "collect":
        del chunks
    else:
        assert [chunk.data for chunk in chunks] == [b"xxxx", b"xx"]
    assert open_descriptors() == before


def test_a_file_that_grows_or_shrinks_gives_what_was_read(tmp_path):
    path = tmp_path / "in"
    path.write_bytes(b"a" * 600_000)
    chunks = read_chunks(str(path), 300_000)
    assert next(chunks).data == b"a" * 300_000
    with open(str(path), "ab") as source:
        source.write(b"b" * 400_000)
    assert [len(chunk.data) for chunk in chunks] == [300_000, 300_000, 100_000]
    shrinking = read_chunks(str(path), 300_000)
    next(shrinking)
    os.truncate(str(path), 400_000)
    assert [chunk.data for chunk in shrinking] == [b"a" * 100_000]


# The writer's size rules and what reaches the output: each row is the chunks written (index,
# length), then the error of the refused write, if any, and then what close() does.
@pytest.mark.parametrize("writes, refusal, closing, content", [
    ([(1, 2), (0, 4)], None, None, b"000011"),
    ([(0, 4), (0, 2)], None, None, b"00"),  # the last one wins, the file shortened
    ([(0, 2), (0, 4), (1, 1)], None, None, b"00001"),
    ([(0, 4), (1, 4), (1, 4), (2, 1)], None, None, b"000011112"),  # a repeated index
    ([(0, 5)], "Chunk at index 0 holds 5 bytes, more than the chunk size 4", None, b""),
    ([(2, 4), (1, 3)],
     "Chunk at index 1 holds 3 bytes, fewer than the chunk size 4, but is not the last: "
     "index 2 follows it", "Missing chunk at index 0", None),
    ([(1, 3), (2, 4)],
     "Chunk at index 1 holds 3 bytes, fewer than the chunk size 4, so no index can follow "
     "it: index 2 was given", "Missing chunk at index 0", None),
    ([(0, 4), (1, 4), (3, 4)], None, "Missing chunk at index 2", None),
    ([(1, 4)], None, "Missing chunk at index 0", None),
    ([], None, None, b""),  # no chunk at all: an empty file
])
def test_writer_size_rules(tmp_path, writes, refusal, closing, content):
    output = tmp_path / "out"
    output.write_bytes(b"earlier")
    writer = ChunkWriter(str(output), 4)
    refused = None
    for index, length in writes:
        try:
            writer.write(Chunk(index, str(index).encode() * length))
        except ValueError as error:
            refused = str(error)
    assert refused == refusal
    if closing is None:
        writer.close()
        assert output.read_bytes() == content
    else:
        with pytest.raises(ValueError) as caught:
            writer.close()
        assert str(caught.value) == closing
        assert output.read_bytes() == b"earlier"
    assert writer.closed
    writer.close()  # closing again does nothing
    with pytest.raises(ValueError) as caught:
        writer.write(Chunk(0, b""))
    assert str(caught.value) == "write to a closed ChunkWriter"
    assert sorted(os.listdir(str(tmp_path))) == ["out"]


def test_an_exception_in_with_discards_the_temporary(tmp_path):
    output = tmp_path / "out"
    output.write_bytes(b"earlier")
    with pytest.raises(KeyError):
        with ChunkWriter(str(output), 4) as writer:
            writer.write(Chunk(0, b"new"))
            assert descriptor_modes(tmp_path) == [0o600]  # the temporary, named or not
            raise KeyError
    assert writer.closed
    assert sorted(os.listdir(str(tmp_path))) == ["out"]
    assert output.read_bytes() == b"earlier"


@pytest.mark.parametrize("argument, error", [
    (b"ab", "argument 'chunk': 'bytes' object cannot be converted to 'Chunk'"),
    (None, "argument 'chunk': 'NoneType' object cannot be converted to 'Chunk'"),
])
def test_writer_takes_chunks_only(tmp_path, argument, error):
    with ChunkWriter(str(tmp_path / "out"), 4) as writer:
        with pytest.raises(TypeError) as caught:
            writer.write(argument)
        assert str(caught.value) == error


@pytest.mark.parametrize("link_at", ["output", "temporary"])
def test_never_written_through_a_link(tmp_path, link_at):
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    output = tmp_path / "out"
    if link_at == "output":
        output.symlink_to(victim)
    writer = ChunkWriter(str(output), 4)
    if link_at == "temporary":
        # Replaced by a link after it was made: it must not be renamed into place.
        hidden = [name for name in os.listdir(str(tmp_path)) if name.startswith(".out.")]
        if not hidden:
            pytest.skip("the temporary has no name on this file system")
        (temporary,) = hidden
        os.unlink(str(tmp_path / temporary))
        os.symlink(str(victim), str(tmp_path / temporary))
    writer.write(Chunk(0, b"new"))
    if link_at == "output":
        writer.close()
        assert not output.is_symlink()
        assert output.read_bytes() == b"new"
    else:
        with pytest.raises(OSError) as caught:
            writer.close()
        assert str(caught.value) == "the temporary file was replaced before it could be renamed"
        assert not os.path.lexists(str(output))
    assert victim.read_bytes() == b"keep"


def test_writer_creation_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        ChunkWriter(str(tmp_path / "missing" / "out"), 4)
    for directory in (str(tmp_path), str(tmp_path) + "/", "."):  # refused before any write
        with pytest.raises(IsADirectoryError):
            ChunkWriter(directory, 4)
    with pytest.raises(OverflowError):
        ChunkWriter(str(tmp_path / "out"), -1)
    assert os.listdir(str(tmp_path)) == []


# A writer sends 10 bytes into the FIFO and holds it open: the read for a chunk of 1 MiB waits.
# Ctrl-C ends the wait; the rest then comes, and the next request carries on from the 10 bytes.
INTERRUPTED_READ = """
    import os, signal, threading
    from fendral_stream import read_chunks

    def interrupt_once(signal_number, frame):
        signal.signal(signal.SIGINT, lambda *ignored: None)
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt_once)
    os.mkfifo("fifo")
    interrupted = threading.Event()

    def write():
        with open("fifo", "wb", buffering=0) as sink:
            sink.write(b"x" * 10)
            open("waiting", "w").close()
            interrupted.wait()
            sink.write(b"y" * 5)

    thread = threading.Thread(target=write)
    thread.start()
    chunks = read_chunks("fifo", 1 << 20)
    try:
        print("ready", flush=True)
        next(chunks)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    interrupted.set()
    print([chunk.data for chunk in chunks])
    thread.join()
"""


def test_ctrl_c_interrupts_a_read_from_a_slow_fifo(tmp_path):
    assert interrupt_child(INTERRUPTED_READ, tmp_path, started=tmp_path / "waiting") == [
        "KeyboardInterrupt", "[b'xxxxxxxxxxyyyyy']"]


def test_one_iterator_is_not_entered_twice(tmp_path):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    chunks = read_chunks(path, 4)
    got = []
    reader = threading.Thread(target=lambda: got.append(next(chunks).data))
    reader.start()
    # The FIFO opens for writing only once the reader's next() has opened it, and that
    # next() then waits for data without the interpreter lock.
    with open(path, "wb", buffering=0) as sink:
        for call in (chunks.close, lambda: next(chunks)):
            with pytest.raises(ValueError) as caught:
                call()
            assert str(caught.value) == "read_chunks iterator already executing"
        sink.write(b"abcdef")
    reader.join()
    assert got == [b"abcd"]
    assert [chunk.data for chunk in chunks] == [b"ef"]


def test_a_slow_fifo_is_waited_for_without_the_interpreter_lock(tmp_path):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    feeder = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys, time
        with open(sys.argv[1], "wb", buffering=0) as sink:
            sink.write(b"abcdef")
            time.sleep(0.5)
            sink.write(b"ghij")
    """), path])
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        chunks = read_chunks(path, 4)
        first = next(chunks).data  # once the open, which waits for the writer, is over
        started = time.monotonic()
        chunks = [first] + [chunk.data for chunk in chunks]
        ended = time.monotonic()
    finally:
        done.set()
        ticker.join()
        feeder.wait()
    assert chunks == [b"abcd", b"efgh", b"ij"]
    # The other thread ran all along the half-second wait.
    assert len([moment for moment in ticks if started < moment < ended]) >= 10


@pytest.mark.parametrize("chunk_size", [4096, 1 << 20])
def test_a_forked_child_reading_on_leaves_the_parent_its_own_position(tmp_path, chunk_size):
    content = random_bytes(random.Random(5), 4 << 20)
    path = tmp_path / "in"
    path.write_bytes(content)
    chunks = read_chunks(str(path), chunk_size)
    first = next(chunks).data
    assert run_forked(lambda: sum(len(chunk.data) for chunk in chunks)) == len(content) - len(first)
    assert first + b"".join(chunk.data for chunk in chunks) == content


def descriptor_modes(directory):
    """The modes of the files under `directory` this process has open, named or not."""
    modes = []
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
            if target.startswith(str(directory) + "/"):
                modes.append(stat.S_IMODE(os.stat(f"/proc/self/fd/{name}").st_mode))
        except OSError:
            pass
    return modes


@pytest.mark.parametrize("earlier_mode, umask, mode", [
    (None, 0o022, 0o644),  # a new file: what a plain open gives
    (None, 0o077, 0o600),
    (0o600, 0o022, 0o600),  # the replaced file's own mode
    (0o751, 0o077, 0o751),
])
def test_the_temporary_is_private_and_the_output_keeps_its_mode(tmp_path, earlier_mode, umask,
                                                                mode):
    output = tmp_path / "out"
    if earlier_mode is not None:
        output.write_bytes(b"earlier")
        os.chmod(str(output), earlier_mode)
    previous = os.umask(umask)
    try:
        with ChunkWriter(str(output), 4) as writer:
            writer.write(Chunk(0, b"new"))
            assert descriptor_modes(tmp_path) == [0o600]
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(str(output)).st_mode) == mode
    assert output.read_bytes() == b"new"


def fill_past_the_limit(output, size, ending):
    """In a child whose files stop at 1 MiB (SIGXFSZ ignored, as Python has it): a writer whose
    second chunk, `size` bytes, goes past the limit, then `ending`. Returns what each call
    raised."""
    def body():
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        writer = ChunkWriter(str(output), 1 << 20)
        writer.write(Chunk(0, b"a" * (1 << 20)))
        outcomes = [raised(lambda: writer.write(Chunk(1, b"b" * size)))]
        if ending == "with":
            outcomes.append(raised(lambda: writer.__exit__(None, None, None)))
        else:
            outcomes.append(raised(writer.close))
        outcomes.append(raised(lambda: writer.write(Chunk(2, b"c"))))
        outcomes.append(raised(writer.close))
        outcomes.append(writer.closed)
        return outcomes
    return run_forked(body)


TOO_LARGE = ("OSError", ("File too large (os error 27)",))


@pytest.mark.parametrize("ending", ["close", "with"])
@pytest.mark.parametrize("size, failures", [
    (1 << 20, [TOO_LARGE] * 4),
    (4096, [None] + [TOO_LARGE] * 3),  # gathered with others: the failure shows at close()
])
def test_a_failed_write_poisons_the_writer(tmp_path, ending, size, failures):
    output = tmp_path / "out"
    output.write_bytes(b"earlier")
    assert fill_past_the_limit(output, size, ending) == failures + [True]
    assert sorted(os.listdir(str(tmp_path))) == ["out"]
    assert output.read_bytes() == b"earlier"


WRITER_CHILD = """
    import os, sys
    from fendral import Chunk
    from fendral_stream import ChunkWriter, Manifest, crc32c
    parts = [b"a" * (1 << 20), b"b"]
    manifest = Manifest(1 << 20, (1 << 20) + 1, [crc32c(part) for part in parts])
    writer = ChunkWriter("out", 1 << 20, manifest=manifest)
    writer.write(Chunk(0, parts[0]))
    if sys.argv[1] == "close in child":
        child = os.fork()
        if child == 0:
            writer.write(Chunk(1, b"b"))
            try:
                writer.close()
            except ValueError as error:
                print(error, flush=True)
            os._exit(0)
        os.waitpid(child, 0)
        print(sorted(os.listdir(".")), flush=True)
        writer.write(Chunk(1, b"b"))
        writer.close()
    elif sys.argv[1] == "fork":
        child = os.fork()
        if child == 0:
            sys.exit(0)  # an ordinary exit: the child's copy of the writer is collected
        os.waitpid(child, 0)
        writer.write(Chunk(1, b"b"))
        writer.close()
    else:
        print("ready", flush=True)
        sys.stdin.read()
"""


@pytest.mark.parametrize("event", ["fork", "close in child", "kill"])
def test_the_temporary_outlives_a_forked_child_but_not_a_killed_process(tmp_path, event):
    if event == "kill":
        try:
            os.close(os.open(str(tmp_path), os.O_TMPFILE | os.O_WRONLY, 0o600))
        except OSError:
            pytest.skip("this file system makes no unnamed files: a killed writer leaves its "
                        "hidden temporary")
    (tmp_path / "out").write_bytes(b"earlier")
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(WRITER_CHILD), event],
                             cwd=str(tmp_path), env=child_environment(), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    if event == "kill":
        assert child.stdout.readline() == "ready\n"
        child.kill()
    output = child.communicate()[0]
    if event == "close in child":  # the parent's file is the parent's to put in place
        assert output == ("a forked child cannot close the ChunkWriter of its parent: only the "
                          "process that made it puts the file in place\n['out']\n")
    assert sorted(os.listdir(str(tmp_path))) == ["out"]
    expected = b"earlier" if event == "kill" else b"a" * (1 << 20) + b"b"
    assert (tmp_path / "out").read_bytes() == expected


PEAK_OF_A_READ = """
    import sys
    from fendral_stream import read_chunks

    def status(field):
        with open("/proc/self/status") as lines:
            return next(int(line.split()[1]) << 10 for line in lines if line.startswith(field))

    before = status("VmRSS:")
    for chunk in read_chunks("in", int(sys.argv[1])):
        pass
    print(status("VmHWM:") - before)
"""


# Reading holds the chunk being read and the one the loop holds, a short last one included.
@pytest.mark.parametrize("chunks", [2.5, 3 - 1 / 16])
def test_a_read_holds_at_most_two_chunks(tmp_path, chunks):
    chunk_size = 16 << 20
    (tmp_path / "in").write_bytes(bytes(int(chunks * chunk_size)))
    peak = subprocess.run([sys.executable, "-c", textwrap.dedent(PEAK_OF_A_READ), str(chunk_size)],
                          cwd=str(tmp_path), env=child_environment(), check=True,
                          stdout=subprocess.PIPE, text=True).stdout
    assert int(peak) <= 2 * chunk_size + (4 << 20)


def available_memory():
    with open("/proc/meminfo") as info:
        for line in info:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) << 10
    return 0


def test_a_chunk_larger_than_one_write_lands_at_its_offsets():
    # Linux writes at most 0x7ffff000 bytes at once: the page after comes back as a short write.
    size = 0x7ffff000 + 4096
    if shutil.disk_usage("/dev/shm").free < 3 * size or available_memory() < 3 * size:
        pytest.skip("needs 6 GiB of memory and of /dev/shm")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        source = os.path.join(directory, "source")
        with open(source, "wb") as sink:  # sparse: zeros, and the last page written
            sink.seek(size - 4096)
            sink.write(b"z" * 4096)
        with open(source, "rb") as read_back:
            payload = read_back.read()
        os.unlink(source)
        output = os.path.join(directory, "out")
        with ChunkWriter(output, size) as writer:
            writer.write(Chunk(0, payload))
        del payload
        with open(output, "rb") as written:
            assert os.fstat(written.fileno()).st_size == size
            assert os.pread(written.fileno(), 4096, 0) == bytes(4096)
            assert os.pread(written.fileno(), 8192, size - 8192) == bytes(4096) + b"z" * 4096
