"""examples/parallel_transcode.py with the real ffmpeg, on local processes and on Dask."""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from fendral_testing.children import child_environment

RECIPE = Path(__file__).resolve().parent.parent / "examples" / "parallel_transcode.py"
FFMPEG = shutil.which("ffmpeg")  # looked up before any test puts the stand-in first on PATH
HAS_FFMPEG = bool(FFMPEG and shutil.which("ffprobe"))
HAS_DASK = importlib.util.find_spec("dask") is not None \
    and importlib.util.find_spec("distributed") is not None
RATE = 25
SECONDS = 12

pytestmark = pytest.mark.skipif(not HAS_FFMPEG, reason="ffmpeg is not installed")
needs_dask = pytest.mark.skipif(not HAS_DASK,
                                reason='dask is not installed (pip install ".[dask]")')

@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """12 s of mpeg4 video at 160x120 with a keyframe every second, and AAC audio."""
    path = tmp_path_factory.mktemp("source") / "source.mp4"
    subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error",
         "-f", "lavfi", "-i", f"testsrc=size=160x120:rate={RATE}:duration={SECONDS}",
         "-f", "lavfi", "-i", f"sine=frequency=440:duration={SECONDS}",
         "-c:v", "mpeg4", "-g", str(RATE), "-c:a", "aac", "-shortest", str(path)], check=True)
    return path


def run_recipe(*arguments):
    return subprocess.run([sys.executable, str(RECIPE), *map(str, arguments)],
                          env=child_environment(), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=300)


def video_stream(path):
    output = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-of", "json",
         "-show_entries", "stream=codec_name,duration", str(path)],
        check=True, capture_output=True).stdout
    stream = json.loads(output)["streams"][0]
    return stream["codec_name"], float(stream["duration"])


def audio_packets(path):
    """(size, MD5) of every audio packet, in order; timestamps may differ after a join."""
    output = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", str(path), "-map", "0:a", "-c", "copy",
         "-f", "framemd5", "-"], check=True, capture_output=True, text=True).stdout
    rows = [line.split(",") for line in output.splitlines() if not line.startswith("#")]
    return [(row[4].strip(), row[5].strip()) for row in rows]


SCHEDULERS = [
    pytest.param(["--jobs", "2"], id="local-processes"),
    pytest.param(["--dask-local", "2"], id="dask-local-cluster", marks=needs_dask),
]


@pytest.mark.parametrize("scheduler", SCHEDULERS)
@pytest.mark.parametrize("own_workdir", [False, True], ids=["output-dir", "workdir"])
def test_transcodes_and_joins(source, tmp_path, scheduler, own_workdir):
    output = tmp_path / "out" / "joined.mp4"
    output.parent.mkdir()
    workdir = tmp_path / "work"
    workdir.mkdir()
    extra = ["--workdir", workdir] if own_workdir else []
    result = run_recipe(source, output, "--segment-seconds", 3, *extra, *scheduler)
    assert result.returncode == 0, result.stderr

    progress = re.findall(r"^\[(\d)/4\] (chunk_\d+\.mp4) encoded in ", result.stdout, re.M)
    assert [done for done, _ in progress] == ["1", "2", "3", "4"]
    assert sorted(name for _, name in progress) == [f"chunk_00{n}.mp4" for n in range(4)]

    codec, duration = video_stream(output)
    assert codec == "h264"
    assert abs(duration - video_stream(source)[1]) <= 1 / RATE
    decoded = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", str(output),
                              "-f", "null", "-"], capture_output=True, text=True)
    assert (decoded.returncode, decoded.stderr) == (0, "")
    assert audio_packets(output) == audio_packets(source)
    # The segment directory is gone; only the result stays.
    assert sorted(os.listdir(output.parent)) == ["joined.mp4"]
    assert os.listdir(workdir) == []


@pytest.mark.parametrize("scheduler", SCHEDULERS)
def test_a_failing_segment_fails_the_run_and_nothing_is_joined(source, tmp_path, ffmpeg,
                                                               scheduler):
    # The real ffmpeg runs every call but the encode of the second segment.
    ffmpeg.set(pass_to=FFMPEG, unless="*chunk_001.mp4 -map*", exit=1,
               stderr="simulated encoder failure")
    result = run_recipe(source, tmp_path / "joined.mp4", "--segment-seconds", 3, *scheduler)
    assert result.returncode == 1
    message = result.stderr.splitlines()[-1]
    assert re.fullmatch(r"parallel_transcode\.py: encoding (.*)/chunk_001\.mp4 failed: ffmpeg "
                        r"exited with status 1: simulated encoder failure", message), message
    assert not any(" -f concat " in call for call in ffmpeg.runs())
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("arguments, code, message", [
    (["--segment-seconds", "3"], 1,
     "parallel_transcode.py: {output} exists; remove it or choose another OUTPUT"),
    (["--segment-seconds", "0"], 2,
     "parallel_transcode.py: error: --segment-seconds must be a positive integer, not 0"),
    # --jobs given as the core count, its value when absent, still excludes the others.
    (["--segment-seconds", "3", "--jobs", str(os.cpu_count()), "--dask-local", "2"], 2,
     "parallel_transcode.py: error: argument --dask-local: not allowed with argument --jobs"),
])
def test_refusals_touch_nothing(source, tmp_path, arguments, code, message):
    output = tmp_path / "joined.mp4"
    output.write_bytes(b"keep me")
    result = run_recipe(source, output, *arguments)
    assert (result.returncode, result.stderr.splitlines()[-1]) == (
        code, message.format(output=output))
    assert os.listdir(tmp_path) == ["joined.mp4"]
    assert output.read_bytes() == b"keep me"


@pytest.mark.parametrize("output, workdir, message", [
    # With a --workdir that exists, the segments would all be encoded before the join failed.
    ("no/such/dir/joined.mp4", ".",
     "cannot write {tmp}/no/such/dir/joined.mp4: {tmp}/no/such/dir is not a directory"),
    ("joined.mp4", "no/such/dir", "--workdir {tmp}/no/such/dir is not a directory"),
])
def test_missing_directories_are_refused_before_any_work(source, tmp_path, output, workdir,
                                                         message):
    result = run_recipe(source, tmp_path / output, "--segment-seconds", 3,
                        "--workdir", tmp_path / workdir)
    assert (result.returncode, result.stderr.splitlines()[-1]) == (
        1, "parallel_transcode.py: " + message.format(tmp=tmp_path))
    assert result.stdout == ""  # no split was started
    assert os.listdir(tmp_path) == []


def test_a_failed_split_is_reported_and_cleaned_up(tmp_path):
    missing = tmp_path / "missing.mp4"
    result = run_recipe(missing, tmp_path / "joined.mp4", "--segment-seconds", 3)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        f"parallel_transcode.py: splitting {missing} failed: "
        "ffmpeg split failed with status ExitStatus(ExitStatus(1))")
    assert os.listdir(tmp_path) == []
