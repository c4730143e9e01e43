"""Calls that block (on a FIFO, on a slow device, on ffmpeg) release the interpreter lock, so
other threads run meanwhile, and give way to Ctrl-C: KeyboardInterrupt is their result. Calls
that start ffmpeg cope with the edges of the process: closed standard streams, no descriptor
left, the caller's SIGCHLD.

Everything that could hang runs in a fresh interpreter with a time limit."""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import fendral
from fendral_testing.children import SANITIZED, child_environment, run_forked, sigchld_ignored
from fendral_testing.ffmpeg_stand_in import SEGMENT
from fendral_testing.splits import write_metadata, write_split

TIME_LIMIT = 60

def run_child(script, cwd, time_limit=TIME_LIMIT):
    """Runs `script` in a fresh interpreter and returns its output lines."""
    try:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], cwd=str(cwd),
                                env=child_environment(), capture_output=True, text=True,
                                timeout=time_limit, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pytest.fail("the child hung")
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def interrupt_child(script, cwd, started=None):
    """Runs `script`, which prints "ready" just before the call that blocks, then sends it
    SIGINT (once the file `started` exists, when given), again every 0.2 s, until it ends.
    Returns its output lines after "ready"."""
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], cwd=str(cwd),
                             env=child_environment(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        deadline = time.monotonic() + TIME_LIMIT
        while started is not None and not os.path.exists(started) and child.poll() is None:
            assert time.monotonic() < deadline, "the call never started"
            time.sleep(0.01)
        while child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.2)
            child.send_signal(signal.SIGINT)
        if child.poll() is None:
            pytest.fail("SIGINT did not end the call")
        output, errors = child.communicate()
        assert child.returncode == 0, errors
        return output.splitlines()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
        child.stderr.close()


# The first SIGINT raises KeyboardInterrupt, later ones do nothing; the child reports how the
# call ended and what the directory holds.
INTERRUPTED_CALL = """
    import os, signal
    from fendral import *

    def interrupt_once(signal_number, frame):
        signal.signal(signal.SIGINT, lambda *ignored: None)
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt_once)
    {setup}
    try:
        # Inside the try: a slow child may get the signal before the call is entered.
        print("ready", flush=True)
        {call}
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    else:
        print("returned")
    # The parent signals until this process has ended; while the interpreter shuts down, the
    # default action would kill it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    print(sorted(os.listdir(".")))
"""


@pytest.mark.parametrize("call", [
    "deconstruct_file('fifo', 4)",  # no writer
    "reconstruct_file([Chunk(0, b'x')], 'fifo')",  # no reader
])
def test_ctrl_c_ends_a_call_blocked_on_a_fifo(tmp_path, call):
    script = INTERRUPTED_CALL.format(setup="os.mkfifo('fifo')", call=call)
    assert interrupt_child(script, tmp_path) == ["KeyboardInterrupt", "['fifo']"]


# A reader drains 64 MiB at about 6 MiB/s. A signal during the write cuts it short rather than
# failing it, and must still end the call at once, not once everything is written.
SLOWLY_DRAINED = """
    import os, signal, threading, time
    from fendral import Chunk, reconstruct_file
    SIZE = 64 << 20

    def interrupt_once(signal_number, frame):
        signal.signal(signal.SIGINT, lambda *ignored: None)
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt_once)
    os.mkfifo("fifo")
    drained = []

    def drain():
        total = 0
        with open("fifo", "rb", buffering=0) as source:
            open("draining", "w").close()
            while True:
                block = source.read(1 << 16)
                if not block:
                    break
                total += len(block)
                time.sleep(0.01)
        drained.append(total)

    thread = threading.Thread(target=drain)
    thread.start()
    try:
        print("ready", flush=True)
        reconstruct_file([Chunk(0, bytes(SIZE))], "fifo")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    thread.join()
    print("part" if drained[0] < SIZE else "all")
"""


def test_ctrl_c_ends_a_write_into_a_slowly_drained_fifo(tmp_path):
    assert interrupt_child(SLOWLY_DRAINED, tmp_path, started=tmp_path / "draining") == [
        "KeyboardInterrupt", "part"]


# A handler that does not raise, every 50 ms, while the read waits for a writer that comes late:
# the writer writes once the handler has run three times, however loaded the machine.
LATE_WRITER = """
    import os, signal, subprocess
    from fendral import deconstruct_file
    os.mkfifo("fifo")
    write_end = os.open("fifo", os.O_RDWR)
    go_read, go_write = os.pipe()
    writer = subprocess.Popen(["sh", "-c", "read go; printf late"], stdin=go_read,
                              stdout=write_end)
    os.close(write_end)
    os.close(go_read)
    ticks = []

    def tick(*ignored):
        ticks.append(1)
        if len(ticks) == 3:
            os.write(go_write, b"go\\n")

    signal.signal(signal.SIGALRM, tick)
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    chunks = deconstruct_file("fifo", 16)
    signal.setitimer(signal.ITIMER_REAL, 0)
    writer.wait()
    print([chunk.data for chunk in chunks])
"""


def test_a_read_resumes_after_handlers_that_do_not_raise(tmp_path):
    assert run_child(LATE_WRITER, tmp_path) == ["[b'late']"]


FED_THROUGH_A_FIFO = """
    import os, threading
    from fendral import Chunk, deconstruct_file, reconstruct_file
    os.mkfifo("fifo")
    content = b"".join(b"%04d" % n for n in range(200))

    def feed():
        with open("fifo", "wb", buffering=0) as sink:
            for n in range(0, len(content), 100):
                sink.write(content[n:n + 100])

    feeder = threading.Thread(target=feed)
    feeder.start()
    chunks = deconstruct_file("fifo", 1 << 20)
    feeder.join()
    print(b"".join(chunk.data for chunk in chunks) == content)

    received = []

    def drain():
        with open("fifo", "rb") as source:
            received.append(source.read())

    drainer = threading.Thread(target=drain)
    drainer.start()
    reconstruct_file([Chunk(1, content[4:]), Chunk(0, content[:4])], "fifo")
    drainer.join()
    print(received == [content])
"""


def test_another_thread_feeds_and_drains_a_fifo_during_the_call(tmp_path):
    assert run_child(FED_THROUGH_A_FIFO, tmp_path) == ["True", "True"]


@pytest.fixture
def stand_in(ffmpeg, tmp_path):
    """The ffmpeg stand-in, and in tmp_path/work a split to join; the stand-in records into the
    directory FAKE_RECORD names (ffmpeg.pid_file, the file `answered`)."""
    work = tmp_path / "work"
    write_split(work / "segments", ["segments/chunk_000.mp4"])
    return ffmpeg


SPLIT = "split_video('in.mp4', 'segments', 5)"
JOIN = "reconstruct_video('segments', 'joined.mp4')"
# Planned from a real file beside the work directory (made by fit_input), cut by the stand-in.
FIT = "import fendral_video; fendral_video.split_to_fit('../in.mp4', 'segments', max_seconds=5)"


def fit_input(tmp_path):
    real_ffmpeg = shutil.which("ffmpeg", path=os.environ["PATH"].split(":", 1)[1])
    subprocess.run([real_ffmpeg, "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc=size=32x32:rate=5:duration=2", "-c:v", "libx264",
                    str(tmp_path / "in.mp4")], check=True)

ANSWERED_DURING_THE_CALL = """
    import os, threading, time
    from fendral import *
    record = os.environ["FAKE_RECORD"]

    def answer():
        while not os.path.exists(os.path.join(record, "pid")):
            time.sleep(0.01)
        open(os.path.join(record, "answered"), "w").close()

    thread = threading.Thread(target=answer)
    thread.start()
    {call}
    thread.join()
    print("done")
"""


@pytest.mark.parametrize("call", [SPLIT, JOIN, FIT])
def test_other_threads_run_while_ffmpeg_runs(tmp_path, stand_in, call):
    stand_in.set(wait="answer", segments=1)
    if call == FIT:
        fit_input(tmp_path)
    assert run_child(ANSWERED_DURING_THE_CALL.format(call=call), tmp_path / "work") == ["done"]


@pytest.mark.parametrize("wait", ["killed", "deaf"])
@pytest.mark.parametrize("call, left", [
    (SPLIT, ["chunk_000.mp4"]),  # no record: the earlier one named segments ffmpeg rewrote
    (JOIN, ["chunk_000.mp4", "concat_list.txt", "metadata.json"]),
    (FIT, ["chunk_000.mp4"]),
], ids=["split", "join", "fit"])
def test_ctrl_c_stops_ffmpeg_and_reaps_it(tmp_path, stand_in, wait, call, left):
    stand_in.set(wait=wait)
    if call == FIT:
        fit_input(tmp_path)
    work = tmp_path / "work"
    before = (work / "segments" / "metadata.json").read_bytes()
    assert interrupt_child(INTERRUPTED_CALL.format(setup="", call=call), work,
                           started=stand_in.pid_file) == ["KeyboardInterrupt", "['segments']"]
    assert sorted(os.listdir(work / "segments")) == left
    if call == JOIN:
        assert (work / "segments" / "metadata.json").read_bytes() == before
    # The stand-in was the child's child: it is gone, not even a zombie.
    pid = int(stand_in.pid_file.read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


# A Ctrl-C while ffmpeg is looked up on a long PATH: the split stops before it changes anything,
# and the earlier record stays. The child signals itself once it sees the split hold the
# directory's lock (the lookup comes right after it), so no timer races the lookup. Should the
# lookup still end first (the spawn then fails: the PATH is too long to pass on), the round is
# taken again, since it tested nothing.
LOOKUP_INTERRUPTED = """
    import os, signal, threading
    from fendral import *

    def interrupt_once(signal_number, frame):
        signal.signal(signal.SIGINT, lambda *ignored: None)
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt_once)
    missing = ":".join("/nonexistent/%d" % n for n in range(1_000_000))
    os.environ["PATH"] = missing + ":" + os.environ["PATH"]
    pid, inode = str(os.getpid()), ":%d" % os.stat("segments").st_ino

    def split_holds_the_lock():
        with open("/proc/locks") as locks:
            return any(fields[4:6] == [pid, fields[5][:-len(inode)] + inode]
                       for fields in (line.split() for line in locks) if len(fields) > 5)

    def interrupt_after_the_lock():
        while not split_holds_the_lock():
            pass
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt_after_the_lock, daemon=True).start()
    try:
        {call}
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    except RuntimeError as error:
        print(error)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
"""


def test_ctrl_c_during_the_program_lookup_keeps_the_record(tmp_path, stand_in):
    work = tmp_path / "work"
    before = (work / "segments" / "metadata.json").read_bytes()
    for _ in range(5):
        outcome = run_child(LOOKUP_INTERRUPTED.format(call=SPLIT), work)
        if outcome != ["Failed to run ffmpeg: Argument list too long (os error 7)"]:
            break
        write_split(work / "segments", ["segments/chunk_000.mp4"])
    assert outcome == ["KeyboardInterrupt"]
    assert (work / "segments" / "metadata.json").read_bytes() == before
    assert not stand_in.started()


def process_gone(pid):
    """True once `pid` has ended: no such process, or a zombie that only waits to be reaped."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


# A caller killed outright: its ffmpeg ends with it, and holds the directory's lock until then,
# so a split after it waits or fails, but never writes beside it.
@pytest.mark.parametrize("call", [SPLIT, JOIN], ids=["split", "join"])
def test_ffmpeg_ends_with_a_caller_killed_outright(tmp_path, stand_in, call):
    stand_in.set(wait="killed")
    work = tmp_path / "work"
    caller = subprocess.Popen([sys.executable, "-c", f"from fendral import *\n{call}"],
                              cwd=str(work), env=child_environment(), stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + TIME_LIMIT
        while not stand_in.waiting_file.exists():
            assert caller.poll() is None and time.monotonic() < deadline, "ffmpeg never started"
            time.sleep(0.01)
        assert stand_in.fds()["5"] == str(work / "segments")  # the lock, shared with ffmpeg
    finally:
        caller.kill()
        caller.wait()
    pid = int(stand_in.pid_file.read_text())
    while not process_gone(pid):
        assert time.monotonic() < deadline, "ffmpeg outlived its caller"
        time.sleep(0.01)
    stand_in.set(wait=None, segments=2)
    # Under user-mode emulation the lock has been seen held a moment after that: the split may
    # fail on it until it is let go, never write beside it.
    busy = f"Failed to split: another split is writing into {work / 'segments'}"
    while True:
        try:
            fendral.split_video(str(work / "in.mp4"), str(work / "segments"), 5)
            break
        except RuntimeError as error:
            assert str(error) == busy and time.monotonic() < deadline
            time.sleep(0.05)
    assert json.loads((work / "segments" / "metadata.json").read_text())["chunk_count"] == 2


# The check of the segments reads no file that could block, so no read is ever interrupted: it
# looks for Ctrl-C itself, between segments and during a long walk over one segment's boxes.
@pytest.mark.parametrize("entries, boxes", [(100_000, 1_000), (1, 10_000_000)],
                         ids=["many segments", "many boxes"])
def test_ctrl_c_during_the_segment_check_starts_nothing(tmp_path, stand_in, entries, boxes):
    work = tmp_path / "work"
    (work / "segments" / "chunk_000.mp4").write_bytes(b"\0\0\0\x08free" * boxes + SEGMENT)
    write_metadata(work / "segments", ["segments/chunk_000.mp4"] * entries)
    assert interrupt_child(INTERRUPTED_CALL.format(setup="", call=JOIN), work) == [
        "KeyboardInterrupt", "['segments']"]
    assert sorted(os.listdir(work / "segments")) == ["chunk_000.mp4", "metadata.json"]
    assert not stand_in.started()


@pytest.mark.parametrize("call, operation", [
    (lambda: fendral.split_video("in.mp4", "segments", 5), "split"),
    (lambda: fendral.reconstruct_video("segments", "joined.mp4"), "concat"),
], ids=["split", "join"])
@pytest.mark.parametrize("exit_code", [0, 1])
def test_ffmpeg_status_is_known_while_sigchld_is_ignored(tmp_path, stand_in, monkeypatch, call,
                                                         operation, exit_code):
    stand_in.set(exit=exit_code)
    monkeypatch.chdir(tmp_path / "work")

    def body():
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        try:
            call()
            outcome = "success"
        except RuntimeError as error:
            outcome = str(error)
        return outcome, sigchld_ignored()

    expected = ("success" if exit_code == 0
                else f"ffmpeg {operation} failed with status ExitStatus(ExitStatus(1))")
    assert run_forked(body) == (expected, True)


# The main thread changes SIGCHLD while ffmpeg runs in another thread; the kernel must keep
# that setting afterwards, and subprocess must see its child's status again.
SIGCHLD_CHANGED_DURING_THE_CALL = """
    import ctypes, os, signal, subprocess, threading, time
    from fendral import *
    from fendral_testing.children import sigchld_ignored
    record = os.environ["FAKE_RECORD"]
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    worker = threading.Thread(target=lambda: {call})
    worker.start()
    while not os.path.exists(os.path.join(record, "pid")):
        time.sleep(0.01)
    {change}
    open(os.path.join(record, "answered"), "w").close()
    worker.join()
    print(sigchld_ignored(), subprocess.run(["false"]).returncode)
"""


@pytest.mark.parametrize("change", [
    "signal.signal(signal.SIGCHLD, signal.SIG_DFL)",
    "signal.signal(signal.SIGCHLD, lambda *ignored: None)",
    # The default through sigaction with no flags, as signal.signal sets it before Python 3.10.
    "ctypes.CDLL(None).sigset(signal.SIGCHLD, signal.SIG_DFL)",
], ids=["default", "handler", "flagless default"])
def test_sigchld_set_during_the_call_is_kept(tmp_path, stand_in, change):
    stand_in.set(wait="answer")
    script = SIGCHLD_CHANGED_DURING_THE_CALL.format(call=SPLIT, change=change)
    assert run_child(script, tmp_path / "work") == ["False 1"]


# The caller's standard streams closed: a descriptor the module opens takes the lowest free
# number, and the child's standard streams must not replace it.
WITH_STREAMS_CLOSED = """
    import json, os
    from fendral import split_video
    report = os.fdopen(os.dup(1), "w")
    for fd in {closed}:
        os.close(fd)
    split_video("in.mp4", "segments", 5)
    with open("segments/metadata.json") as metadata:
        print(json.load(metadata)["chunk_paths"], file=report)
"""


@pytest.mark.parametrize("closed", [(0,), (0, 1, 2)])
def test_split_lists_the_segments_whatever_standard_streams_are_closed(tmp_path, ffmpeg, closed):
    ffmpeg.set(segments=3)
    assert run_child(WITH_STREAMS_CLOSED.format(closed=closed), tmp_path) == [
        str([f"segments/chunk_00{n}.mp4" for n in range(3)])]


@pytest.mark.skipif(SANITIZED, reason="UBSan's vptr check needs a descriptor of its own (a pipe)")
def test_no_descriptor_left_for_the_child_is_named(tmp_path, stand_in):
    # Every descriptor below the lowest free one is taken: a limit three above it leaves the
    # module three (3, 4 and 5 in a fresh interpreter, unless something else holds descriptors):
    # the one that locks the directory, and the two handed to ffmpeg, which must be moved off.
    script = """
        import os, resource
        from fendral import split_video
        lowest_free = os.open(os.devnull, os.O_RDONLY)
        os.close(lowest_free)
        hard_limit = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free + 3, hard_limit))
        try:
            split_video("in.mp4", "segments", 5)
        except RuntimeError as error:
            print(error)
    """
    assert run_child(script, tmp_path / "work") == [
        "Failed to run ffmpeg: Too many open files (os error 24)"]


REFUSED_UNREAD = """
    import os
    from fendral import reconstruct_video
    os.mkdir("segments")
    {make}
    try:
        reconstruct_video("segments", "joined.mp4")
    except RuntimeError as error:
        print(error)
    print(sorted(os.listdir("segments")))
"""


@pytest.mark.parametrize("make", [
    "os.mkfifo('segments/metadata.json')",  # no writer: opening it for reading would wait
    "os.symlink('/dev/zero', 'segments/metadata.json')",  # endless
])
def test_metadata_json_that_is_no_regular_file_is_refused_unread(tmp_path, make):
    assert run_child(REFUSED_UNREAD.format(make=make), tmp_path) == [
        "Failed to read metadata.json: not a regular file", "['metadata.json']"]


@pytest.mark.parametrize("call, name", [(SPLIT, "metadata.json"), (JOIN, "concat_list.txt")],
                         ids=["split", "join"])
def test_a_planted_fifo_is_replaced_not_opened(tmp_path, stand_in, call, name):
    work = tmp_path / "work"
    (work / "segments" / name).unlink(missing_ok=True)
    os.mkfifo(work / "segments" / name)  # nobody reads it: opening it for writing would wait
    script = f"from fendral import *\n{call}\nprint('done')"
    assert run_child(script, work) == ["done"]
    assert (work / "segments" / name).is_file()


def test_environment_changed_by_another_thread_during_calls(tmp_path):
    # While the lock is released, a Python thread may grow and shrink the environment; ffmpeg
    # must still be found and get the environment as it was when the call began.
    lines = run_child("""
        import os, threading
        from fendral import reconstruct_video, split_video
        from fendral_testing import ffmpeg_stand_in

        os.environ["PATH"] = ffmpeg_stand_in.install(os.getcwd()) + ":" + os.environ["PATH"]
        os.environ["FAKE_SEGMENTS"] = "1"
        stop = threading.Event()

        def churn():
            while not stop.is_set():
                for n in range(200):
                    os.environ["FENDRAL_CHURN_%d" % n] = "x" * n
                for n in range(200):
                    del os.environ["FENDRAL_CHURN_%d" % n]

        thread = threading.Thread(target=churn)
        thread.start()
        try:
            for n in range(150):
                split_video("in.mp4", "segs", 1)
                reconstruct_video("segs", "joined-%d.mp4" % n)
        finally:
            stop.set()
            thread.join()
        print("done")
    """, tmp_path, time_limit=5 * TIME_LIMIT)  # 300 spawns: about 45 s under emulation
    assert lines == ["done"]
