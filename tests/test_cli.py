"""The installed `fendral` command, run as a user runs it."""

import contextlib
import importlib.metadata
import os
import pty
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import fendral
from fendral_testing.children import child_environment
import fendral_cli

HAS_FFMPEG = bool(shutil.which("ffmpeg"))


def installed_script():
    """The console script installed with the module these tests import: where its record says,
    or in bin/ beside it for `pip install --target` (whose record is off by two levels)."""
    site = Path(fendral.__file__).resolve().parent
    (distribution,) = importlib.metadata.distributions(name="fendral", path=[str(site)])
    recorded = [file.locate() for file in distribution.files or [] if file.name == "fendral"]
    for script in [*recorded, site / "bin" / "fendral"]:
        if script.is_file():
            return str(script)
    raise AssertionError(f"no fendral script installed with {site}")


def run(*arguments, script=True):
    command = [installed_script()] if script else [sys.executable, "-m", "fendral_cli"]
    return subprocess.run([*command, *map(str, arguments)], env=child_environment(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)


def one_error_line(result):
    assert result.returncode == 1, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("fendral: error: "), result.stderr
    return lines[0][len("fendral: error: "):]


# Cut at the keyframes of 2 s groups, or at 3 s with the second segment's head re-encoded.
@pytest.mark.skipif(not HAS_FFMPEG, reason="ffmpeg is not installed")
@pytest.mark.parametrize("options, reencoded", [([], 0), (["--reencode"], 1)])
def test_a_video_fits_and_joins_back(tmp_path, options, reencoded):
    video = tmp_path / "in.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc2=size=96x64:rate=10:duration=6", "-g", "20", "-bf", "0", str(video)],
                   check=True, stdin=subprocess.DEVNULL)
    fitted = run("fit", video, tmp_path / "parts", "--max-seconds", "3", "--max-bytes", "1MiB",
                 *options)
    assert (fitted.returncode, fitted.stderr) == (0, "")
    lines = fitted.stdout.splitlines()
    assert [line.split()[0] for line in lines] == [
        str(tmp_path / "parts" / f"chunk_00{index}.mp4") for index in range(len(lines))]
    assert len(lines) == (2 if reencoded else 3)
    assert sum("re-encoded" in line for line in lines) == reencoded
    joined = run("join", tmp_path / "parts", tmp_path / "out.mp4", "--quiet")
    assert (joined.returncode, joined.stdout, joined.stderr) == (0, "", "")
    assert (tmp_path / "out.mp4").stat().st_size > 0
    # A second join finds its output there: one line with the cause, no traceback.
    assert one_error_line(run("join", tmp_path / "parts", tmp_path / "out.mp4")) == (
        "ffmpeg concat failed with status ExitStatus(ExitStatus(1)) "
        f"([Errno 17] File exists: '{tmp_path / 'out.mp4'}')")
    if not reencoded:
        return
    # From the frame at 1.3 s to the keyframe at 4 s: the 7 frames before the one at 2 s
    # re-encoded (the same joined frames in both rows, so trimmed once).
    trimmed = run("trim", tmp_path / "out.mp4", tmp_path / "cut.mp4", "--start", "1.25",
                  "--end", "4")
    assert (trimmed.returncode, trimmed.stderr) == (0, "")
    assert trimmed.stdout == (f"{tmp_path / 'cut.mp4'}  start 1.300 s  2.700 s  "
                              f"{(tmp_path / 'cut.mp4').stat().st_size} bytes  "
                              "7 frames re-encoded\n")


@pytest.mark.parametrize("parity, damage, message", [
    (0, None, None),
    (0, "lose", "part 2 of 4 is missing: {parts}/part-000002"),
    (0, "flip", "{parts}/part-000002 is damaged: "),
    # Part 2 lost and the first parity part damaged.
    (2, "lose and flip", None),
    (1, "lose and flip",
     "Missing chunks at indices 2, 4: 2 are missing and the parity rebuilds at most 1"),
])
def test_a_file_chunks_and_assembles_back(tmp_path, parity, damage, message):
    original = os.urandom(100_000)
    (tmp_path / "in.bin").write_bytes(original)
    parts = tmp_path / "parts"
    chunked = run("chunk", tmp_path / "in.bin", parts, "--size", "30kB", "--parity", str(parity),
                  script=damage is None)
    assert (chunked.returncode, chunked.stderr) == (0, "")
    assert sorted(os.listdir(parts)) == ["manifest.json"] + [
        f"part-00000{i}" for i in range(4 + parity)]
    if "lose" in (damage or ""):
        (parts / "part-000002").unlink()
    if "flip" in (damage or ""):
        part = parts / ("part-000002" if damage == "flip" else "part-000004")
        part.write_bytes(bytes([part.read_bytes()[0] ^ 1]) + part.read_bytes()[1:])
    assembled = run("assemble", parts, tmp_path / "out.bin")
    if message is None:
        assert (assembled.returncode, assembled.stderr) == (0, "")
        assert (tmp_path / "out.bin").read_bytes() == original
    else:
        assert one_error_line(assembled).startswith(message.format(parts=parts))
        assert sorted(os.listdir(tmp_path)) == ["in.bin", "parts"]


@pytest.mark.parametrize("arguments, message", [
    ([], "the following arguments are required: COMMAND"),
    (["chunk", "a", "b", "--size", "25XB"], "argument --size: invalid size '25XB'"),
    (["chunk", "a", "b", "--size", "0"], "argument --size: invalid size '0'"),
    (["fit", "a", "b"], "give --max-seconds, --max-bytes or both"),
    (["fit", "a", "b", "--max-seconds", "-1"], "argument --max-seconds: invalid time '-1'"),
    (["split", "a", "b", "1.5"], "argument SECONDS: invalid time '1.5'"),
    (["trim", "a", "b.mp4"], "the following arguments are required: --start"),
])
def test_usage_errors_exit_with_2(arguments, message):
    result = run(*arguments)
    assert result.returncode == 2 and message in result.stderr.splitlines()[-1], result.stderr


def test_a_failure_is_one_line_with_the_file_name(tmp_path):
    (tmp_path / "parts").mkdir()
    (tmp_path / "parts" / "manifest.json").write_text("of an earlier run")
    assert one_error_line(run("chunk", tmp_path / "absent", tmp_path / "parts", "--size", "1")) \
        == f"{tmp_path / 'absent'}: No such file or directory (os error 2)"
    # The earlier run's manifest would describe parts this one had begun to replace.
    assert os.listdir(tmp_path / "parts") == []


def test_the_progress_bar_shows_on_a_terminal_only(tmp_path):
    (tmp_path / "in.bin").write_bytes(bytes(1000))
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run(
            [installed_script(), "chunk", str(tmp_path / "in.bin"), str(tmp_path / "parts"),
             "--size", "100"], env=child_environment(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=terminal, timeout=120)
        os.close(terminal)
        shown = b""
        with contextlib.suppress(OSError):  # EIO once the terminal's last user is gone
            while chunk := os.read(controller, 4096):
                shown += chunk
    finally:
        os.close(controller)
    assert result.returncode == 0
    assert shown.endswith(b"\r[" + b"#" * 30 + b"] 100%\r\n"), shown


def test_every_subcommand_has_help_with_an_example():
    for name, example in fendral_cli.EXAMPLES.items():
        result = run(name, "--help")
        assert result.returncode == 0 and f"example:\n  {example}\n" in result.stdout


@pytest.mark.parametrize("text, size", [
    ("4096", 4096), ("25MB", 25_000_000), ("25M", 25_000_000), ("25mb", 25_000_000),
    ("8MiB", 8 << 20), ("1.5kB", 1500), ("2 GiB", 2 << 30), ("7B", 7),
])
def test_sizes(text, size):
    assert fendral_cli.parse_size(text) == size
