"""Calls that block (on a FIFO, on a slow device, on ffmpeg) release the interpreter lock, so
other threads run meanwhile, and give way to Ctrl-C: KeyboardInterrupt is their result.

Everything that could hang runs in a fresh interpreter with a time limit."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import fendral

TESTS = os.path.dirname(os.path.abspath(__file__))
TIME_LIMIT = 60


def child_environment():
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(fendral.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS, module_dir, env.get("PYTHONPATH")]))
    return env


def run_child(script, cwd):
    """Runs `script` in a fresh interpreter and returns its output lines."""
    try:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], cwd=str(cwd),
                                env=child_environment(), capture_output=True, text=True,
                                timeout=TIME_LIMIT, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pytest.fail("the child hung")
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def interrupt_child(script, cwd):
    """Runs `script`, which prints "ready" just before the call that blocks, then sends it
    SIGINT, again every 0.2 s, until it ends. Returns its output lines after "ready"."""
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], cwd=str(cwd),
                             env=child_environment(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        deadline = time.monotonic() + TIME_LIMIT
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


# The child reports how the call ended, then ignores the further SIGINTs the parent may send.
INTERRUPTED_CALL = """
    import os, signal
    from fendral import *
    {setup}
    print("ready", flush=True)
    try:
        {call}
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        print("KeyboardInterrupt")
    else:
        print("returned")
    print(sorted(os.listdir(".")))
"""


@pytest.mark.parametrize("call", [
    "deconstruct_file('fifo', 4)",  # no writer
    "reconstruct_file([Chunk(0, b'x')], 'fifo')",  # no reader
])
def test_ctrl_c_ends_a_call_blocked_on_a_fifo(tmp_path, call):
    script = INTERRUPTED_CALL.format(setup="os.mkfifo('fifo')", call=call)
    assert interrupt_child(script, tmp_path) == ["KeyboardInterrupt", "['fifo']"]


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
