"""Run a test body as an unprivileged user: the suite runs as root in CI, where nothing is denied."""

import os

from forked import run_forked

UNPRIVILEGED_UID = 65534  # nobody


def run_unprivileged(body):
    """Runs `body` in a forked child under an unprivileged uid and returns its result."""

    def dropped():
        os.setgroups([])
        os.setgid(UNPRIVILEGED_UID)
        os.setuid(UNPRIVILEGED_UID)
        return body()

    return run_forked(dropped)
