"""Run a test body as an unprivileged user: the suite runs as root in CI, where nothing is denied."""

import os
import pickle

UNPRIVILEGED_UID = 65534  # nobody


def run_unprivileged(body):
    """Runs `body` in a forked child under an unprivileged uid and returns its result."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        status = 0
        try:
            os.close(reader)
            os.setgroups([])
            os.setgid(UNPRIVILEGED_UID)
            os.setuid(UNPRIVILEGED_UID)
            outcome = ("result", body())
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            outcome = ("error", f"{type(error).__name__}: {error}")
            status = 1
        with os.fdopen(writer, "wb") as sink:
            pickle.dump(outcome, sink)
        os._exit(status)
    os.close(writer)
    with os.fdopen(reader, "rb") as source:
        kind, value = pickle.load(source)
    os.waitpid(pid, 0)
    if kind == "error":
        raise AssertionError(f"unprivileged body failed: {value}")
    return value
