"""The status text of an ffmpeg that a signal ended: the signal's number and, where it has one,
its name, for every signal whose default action ends the process."""

import signal
import subprocess

import pytest

import fendral

NAMED = [
    (signal.SIGHUP, "SIGHUP"), (signal.SIGINT, "SIGINT"), (signal.SIGQUIT, "SIGQUIT"),
    (signal.SIGILL, "SIGILL"), (signal.SIGTRAP, "SIGTRAP"), (signal.SIGABRT, "SIGABRT"),
    (signal.SIGBUS, "SIGBUS"), (signal.SIGFPE, "SIGFPE"), (signal.SIGKILL, "SIGKILL"),
    (signal.SIGUSR1, "SIGUSR1"), (signal.SIGSEGV, "SIGSEGV"), (signal.SIGUSR2, "SIGUSR2"),
    (signal.SIGPIPE, "SIGPIPE"), (signal.SIGALRM, "SIGALRM"), (signal.SIGTERM, "SIGTERM"),
    (signal.SIGXCPU, "SIGXCPU"), (signal.SIGXFSZ, "SIGXFSZ"), (signal.SIGVTALRM, "SIGVTALRM"),
    (signal.SIGPROF, "SIGPROF"), (signal.SIGIO, "SIGPOLL"), (signal.SIGSYS, "SIGSYS"),
]
NAMED += [(getattr(signal, name), name)
          for name in ("SIGSTKFLT", "SIGPWR") if hasattr(signal, name)]


@pytest.mark.parametrize("number, text", [(number, f"signal: {int(number)} ({name})")
                                          for number, name in NAMED] + [
    (signal.SIGRTMIN, f"signal: {int(signal.SIGRTMIN)}"),
    (signal.SIGRTMAX, f"signal: {int(signal.SIGRTMAX)}"),
])
def test_status_names_the_signal(ffmpeg, number, text):
    if number >= signal.SIGRTMIN and subprocess.run(
            ["sh", "-c", 'kill -s "$1" $$', "sh", str(int(number))]).returncode != -number:
        # qemu's user-mode emulation, for one, keeps the highest real-time signals for itself.
        pytest.skip(f"this platform refuses signal {int(number)}: "
                    "a shell cannot end itself with it")
    ffmpeg.set(signal=int(number))
    # A signal the test process ignores (a background job ignores SIGINT and SIGQUIT) stays
    # ignored in ffmpeg, which then could not die of it: handle it here for the call, which
    # leaves it at its default in the child.
    ignored = number not in (signal.SIGKILL, signal.SIGSTOP) and \
        signal.getsignal(number) == signal.SIG_IGN
    if ignored:
        signal.signal(number, lambda *unused: None)
    try:
        with pytest.raises(RuntimeError) as caught:
            fendral.split_video("in.mp4", "out", 5)
    finally:
        if ignored:
            signal.signal(number, signal.SIG_IGN)
    assert caught.value.args == ("ffmpeg split failed with status " + text,)
