"""Children for the tests: a forked one for a test body whose limits (rlimits, cwd, uid) must
not touch the runner, and the environment of a fresh interpreter; what the kernel holds for the
process."""

import os
import pickle
import signal
import traceback

import fendral

# Set by scripts/sanitize.sh: the module and the interpreter run under ASan and UBSan.
SANITIZED = bool(os.environ.get("FENDRAL_SANITIZED"))
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UNPRIVILEGED_UID = 65534  # nobody


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


def run_unprivileged(body):
    """Runs `body` in a forked child under an unprivileged uid and returns its result: the suite
    runs as root in CI, where nothing is denied."""

    def dropped():
        os.setgroups([])
        os.setgid(UNPRIVILEGED_UID)
        os.setuid(UNPRIVILEGED_UID)
        return body()

    return run_forked(dropped)


def child_environment():
    """The environment for a fresh interpreter: it imports the fendral these tests import, and
    this package."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(fendral.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS, module_dir, env.get("PYTHONPATH")]))
    return env


def sigchld_ignored():
    """Whether the kernel has SIGCHLD ignored for this process (signal.getsignal only tells what
    Python last set)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("SigIgn:"):
                return bool(int(line.split()[1], 16) >> (signal.SIGCHLD - 1) & 1)
    raise AssertionError("no SigIgn line in /proc/self/status")
