"""The demo of the README's first command, run as a user runs it."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from fendral_testing.children import child_environment

DEMO = Path(__file__).resolve().parent.parent / "demo.py"
HAS_FFMPEG = bool(shutil.which("ffmpeg") and shutil.which("ffprobe"))


def start_demo(workdir, *arguments, path=None):
    env = child_environment()
    if path is not None:
        env["PATH"] = str(path)
    return subprocess.run([sys.executable, str(DEMO), "--workdir", str(workdir), *arguments],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=300)


def run_demo(workdir, *arguments, path=None):
    result = start_demo(workdir, *arguments, path=path)
    report = result.stdout[result.stdout.index("fendral demo report"):]
    verdicts = dict(re.findall(r"^(file|video): +(\w+)", report, re.MULTILINE))
    return result.returncode, verdicts, report


@pytest.mark.skipif(not HAS_FFMPEG, reason="ffmpeg is not installed")
def test_default_run_then_rerun_in_the_same_workdir(tmp_path):
    code, verdicts, report = run_demo(tmp_path)
    assert (code, verdicts) == (0, {"file": "OK", "video": "OK"}), report
    assert "split into 3 segments" in report
    fitted = re.search(r"fitted split: \d+ segments of at most 2 s \(longest ([\d.]+) s", report)
    assert fitted and float(fitted[1]) <= 2, report
    assert f"outputs in {tmp_path}" in report
    assert (tmp_path / "video-round-trip" / "joined.mp4").is_file()

    # Segments and outputs of the first run must not leak into the second.
    code, verdicts, report = run_demo(tmp_path, "--segment-seconds", "3", "--chunk-size", "999")
    assert (code, verdicts) == (0, {"file": "OK", "video": "OK"}), report
    assert "split into 2 segments" in report
    log = tmp_path / "video-round-trip" / "ffmpeg.log"
    assert f"ffmpeg's output: {log}" in report and "ffmpeg version" not in report

    # A failing ffmpeg: the report ends with the last lines of its log.
    (tmp_path / "noise.mp4").write_bytes(bytes(range(256)) * 4)
    code, verdicts, report = run_demo(tmp_path, "--video", str(tmp_path / "noise.mp4"))
    assert (code, verdicts["video"]) == (1, "FAILED"), report
    assert f"last lines of {log}:" in report and "Invalid data found" in report


@pytest.mark.parametrize("arguments, expected_code, expected, detail", [
    ([], 0, {"file": "OK", "video": "SKIPPED"}, "ffmpeg and ffprobe not found on PATH"),
    (["--video", "clip.mp4"], 1, {"file": "OK", "video": "FAILED"},
     "ffmpeg and ffprobe not found on PATH"),
    (["--file", "{tmp}/missing"], 1, {"file": "FAILED", "video": "SKIPPED"},
     "FAILED on {tmp}/missing: FileNotFoundError: No such file or directory (os error 2)"),
    (["--file", "{tmp}/own.bin", "--chunk-size", "7"], 0, {"file": "OK", "video": "SKIPPED"},
     "(100 bytes) cut into 15 chunks of up to 7 bytes"),
])
def test_without_ffmpeg_the_file_part_still_runs(tmp_path, arguments, expected_code, expected,
                                                 detail):
    (tmp_path / "own.bin").write_bytes(bytes(range(100)))
    empty_path = tmp_path / "bin"
    empty_path.mkdir()
    arguments = [argument.format(tmp=tmp_path) for argument in arguments]
    code, verdicts, report = run_demo(tmp_path / "out", *arguments, path=empty_path)
    assert (code, verdicts) == (expected_code, expected), report
    assert detail.format(tmp=tmp_path) in report


def test_refuses_an_input_inside_a_directory_it_replaces(tmp_path):
    inner = tmp_path / "file-round-trip" / "mine.bin"
    inner.parent.mkdir()
    inner.write_bytes(b"keep me")
    result = start_demo(tmp_path, "--file", str(inner))
    assert result.returncode == 1
    assert "lies in a directory that the demo replaces" in result.stderr
    assert inner.read_bytes() == b"keep me"


EXAMPLES = DEMO.parent / "examples"


# Each example runs as its docstring says, in a directory of its own; the clip is the one the
# video examples' docstrings make.
@pytest.mark.parametrize("example, needs_clip, printed", [
    ("chunk_a_file.py", False, "Missing chunk at index 1"),
    ("check_chunks_with_a_manifest.py", False, "Chunk at index 2 has CRC32C 0x"),
    pytest.param("split_a_video.py", True, "ffmpeg split failed with status",
                 marks=pytest.mark.skipif(not HAS_FFMPEG, reason="ffmpeg is not installed")),
    pytest.param("fit_a_video.py", True, "a segment can hold at most 0.5 s without re-encoding",
                 marks=pytest.mark.skipif(not HAS_FFMPEG, reason="ffmpeg is not installed")),
])
def test_examples_run(tmp_path, example, needs_clip, printed):
    if needs_clip:
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                        "testsrc=size=320x240:rate=25:duration=6", "-f", "lavfi", "-i",
                        "sine=duration=6", "-c:v", "mpeg4", "-g", "25", "-c:a", "aac", "clip.mp4"],
                       cwd=tmp_path, check=True)
    result = subprocess.run([sys.executable, str(EXAMPLES / example)], cwd=tmp_path,
                            env=child_environment(), stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and printed in result.stdout, result
