"""Run a test body in a forked child, for limits (rlimits, cwd) that must not touch the runner;
read what the kernel holds for the process."""

import os
import pickle
import signal
import traceback

# Set by scripts/sanitize.sh: the module and the interpreter run under ASan and UBSan.
SANITIZED = bool(os.environ.get("FENDRAL_SANITIZED"))


def run_forked(body):
    """Runs `body` in a forked child and returns its (picklable) result or re-raises its failure
    as an AssertionError carrying the child's traceback."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        status = 0
        try:
            os.close(reader)
            outcome = ("result", body())
        except BaseException:  # noqa: BLE001 - reported to the parent
            outcome = ("error", traceback.format_exc())
            status = 1
        with os.fdopen(writer, "wb") as sink:
            pickle.dump(outcome, sink)
        os._exit(status)
    os.close(writer)
    with os.fdopen(reader, "rb") as source:
        data = source.read()
    _, wait_status = os.waitpid(pid, 0)
    if not data:
        raise AssertionError(f"forked child died without a report (wait status {wait_status})")
    kind, value = pickle.loads(data)
    if kind == "error":
        raise AssertionError(f"forked child failed:\n{value}")
    return value


def sigchld_ignored():
    """Whether the kernel has SIGCHLD ignored for this process (signal.getsignal only tells what
    Python last set)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("SigIgn:"):
                return bool(int(line.split()[1], 16) >> (signal.SIGCHLD - 1) & 1)
    raise AssertionError("no SigIgn line in /proc/self/status")
