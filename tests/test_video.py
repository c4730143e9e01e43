"""split_video and reconstruct_video: against a recording stand-in for ffmpeg, and the real one."""

import filecmp
import importlib.util
import errno
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

import fendral
from fendral_testing.children import run_forked, run_unprivileged
from fendral_testing.ffmpeg_stand_in import SEGMENT, box
from fendral_testing.splits import write_metadata, write_split

def split_argv(input_file, limit, pattern):
    return ["-i", input_file, "-map_metadata", "0", "-f", "ffmetadata", "pipe:4",
            "-map", "0:V?", "-map", "0:a?", "-c:v", "copy", "-c:a", "copy", "-copytb", "1",
            "-f", "segment", "-segment_format", "mp4", "-segment_time", str(limit),
            "-segment_format_options", "strict=unofficial:movie_timescale=90000",
            "-increment_tc", "1", "-reset_timestamps", "1", "-avoid_negative_ts", "disabled",
            "-segment_list", "pipe:3", "-segment_list_type", "csv", pattern]


# What the join adds when the split kept the source's metadata, and with QuickTime keys in it.
SOURCE_METADATA = ["-f", "ffmetadata", "-i", "/dev/fd/4", "-map_metadata", "1", "-map_chapters",
                   "1", "-ignore_unknown", "-strict", "unofficial"]
KEYED_SOURCE_METADATA = [*SOURCE_METADATA, "-movflags", "use_metadata_tags"]


def concat_argv(output_file):
    """The join's arguments; the stand-in's segment has a video track on a 1/1000 clock."""
    return ["-f", "concat", "-safe", "0", "-auto_convert", "0", "-i", "/dev/fd/3",
            "-map", "0", "-c", "copy", "-copyts", "-movie_timescale", "90000",
            "-video_track_timescale", "1000", output_file]


def join_inputs_after_the_script(argv):
    """What a join's argument vector holds between the concat script and the stream mapping."""
    return argv[argv.index("/dev/fd/3") + 1:argv.index("-map")]


def joined_argv(ffmpeg):
    """The last join's arguments, its output named as the caller named it: ffmpeg writes into a
    directory of the join's own beside the output."""
    *rest, written = ffmpeg.argv()
    return [*rest, re.sub(r"(^|/)\.fendral-join-\w{6}/(?=[^/]*$)", r"\1", written)]


def metadata_text(original, prefix, paths, value):
    listed = "[]" if not paths else "[\n" + ",\n".join(f'    "{p}"' for p in paths) + "\n  ]"
    return (f'{{\n  "original_file": "{original}",\n  "output_prefix": "{prefix}",\n'
            f'  "chunk_count": {len(paths)},\n  "chunk_paths": {listed},\n'
            f'  "split_type": "time",\n  "split_value": "{value}"\n}}')


@pytest.mark.parametrize("output_dir, pattern, limit, segments", [
    ("out", "out/chunk_%03d.mp4", 30, 2),
    ("out/", "out/chunk_%03d.mp4", 1, 2),
    ("a/b/c", "a/b/c/chunk_%03d.mp4", 4294967295, 2),
    ("100%", "100%%/chunk_%03d.mp4", 30, 2),
    ("out", "out/chunk_%03d.mp4", 7, 0),
])
def test_split_runs_ffmpeg_and_writes_metadata(ffmpeg, tmp_path, output_dir, pattern, limit,
                                               segments):
    ffmpeg.set(segments=segments)
    directory = tmp_path / output_dir
    if output_dir == "out":  # an earlier, longer metadata.json is replaced whole
        directory.mkdir()
        (directory / "metadata.json").write_text("x" * 1000)
    assert fendral.split_video("in.mp4", output_dir, limit) is None
    assert ffmpeg.argv() == split_argv("in.mp4", limit, pattern)
    assert ffmpeg.cwd() == tmp_path
    paths = [f"{output_dir.rstrip('/')}/chunk_{n:03d}.mp4" for n in range(segments)]
    assert (directory / "metadata.json").read_text() == metadata_text(
        "in.mp4", pattern, paths, f"{limit}s")
    assert not (directory / "source_metadata.txt").exists()  # ffmpeg wrote none
    # ffmpeg's own list, kept for the join: the stand-in writes names alone.
    times = directory / "segment_times.csv"
    assert (times.read_text() if segments else times.exists()) == (
        "".join(f"chunk_{n:03d}.mp4\n" for n in range(segments)) if segments else False)


def test_split_stores_the_source_metadata_without_following_a_link(ffmpeg, tmp_path):
    (tmp_path / "out").mkdir()
    (tmp_path / "victim").write_text("keep")
    (tmp_path / "out" / "source_metadata.txt").symlink_to(tmp_path / "victim")
    ffmpeg.set(segments=1, source_metadata=";FFMETADATA1\ntitle=t\n")
    fendral.split_video("in.mp4", "out", 1)
    stored = tmp_path / "out" / "source_metadata.txt"
    # The split's stamp of its side file (none here) follows ffmetadata's header line.
    assert not stored.is_symlink()
    assert stored.read_text() == ";FFMETADATA1\n;side streams: none\ntitle=t\n"
    assert (tmp_path / "victim").read_text() == "keep"
    assert sorted(json.loads((tmp_path / "out" / "metadata.json").read_text())) == [
        "chunk_count", "chunk_paths", "original_file", "output_prefix", "split_type",
        "split_value"]


QUICKTIME_HEAD = struct.pack(">I4s4s", 20, b"ftyp", b"qt  ") + bytes(8)


@pytest.mark.parametrize("input_file, content, segment_format", [
    ("in.mov", QUICKTIME_HEAD, "mov"),
    ("take-10:30.mov", QUICKTIME_HEAD, "mov"),  # handed to ffmpeg as ./take-10:30.mov
    ("file:in.mov", QUICKTIME_HEAD, "mov"),
    ("in.mp4", struct.pack(">I4s4s", 20, b"ftyp", b"isom") + bytes(8), "mp4"),
    ("old.mov", struct.pack(">I4s", 8, b"wide"), "mov"),  # no ftyp: an older movie file
    ("old.mov", SEGMENT, "mov"),  # its video's clock is kept
    ("in.mkv", b"\x1a\x45\xdf\xa3" + bytes(8), "mp4"),
    ("in.mov", None, "mp4"),  # a FIFO: not waited on
])
def test_quicktime_inputs_give_quicktime_segments(ffmpeg, tmp_path, input_file, content,
                                                  segment_format):
    local_file = input_file[len("file:"):] if input_file.startswith("file:") else input_file
    if content is None:
        os.mkfifo(local_file)
    else:
        (tmp_path / local_file).write_bytes(content)
    fendral.split_video(input_file, "out", 1)
    argv = ffmpeg.argv()
    assert argv[argv.index("-segment_format") + 1] == segment_format
    assert argv[argv.index("-segment_format_options") + 1] == (
        "strict=unofficial:movie_timescale=90000" +
        (":video_track_timescale=1000" if content == SEGMENT else ""))


def bind_socket(path):
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(os.path.relpath(path))  # an absolute path may be too long for a socket


@pytest.mark.parametrize("make_record, added", [
    (lambda path: None, ()),  # a split made before the record was kept, or by hand
    (os.mkfifo, ()),
    (lambda path: path.mkdir(), ()),
    (lambda path: path.symlink_to(path.parent / "elsewhere.txt"), ()),
    (lambda path: path.write_text(";FFMETADATA1\ntitle=t\n"), SOURCE_METADATA),
    (lambda path: path.write_text(";FFMETADATA1\ncom.apple.quicktime.make=A\n"),
     KEYED_SOURCE_METADATA),
    # 10 MB, the key far past the first read.
    (lambda path: path.write_text("title=" + "x" * 10_000_000 + "\ncom.apple.quicktime.model=B"),
     KEYED_SOURCE_METADATA),
    # The key's line across the end of the first 64 KiB read, all but its last byte in it.
    (lambda path: path.write_text("title=" + "x" * (65536 - 26) + "\ncom.apple.quicktime.model=B"),
     KEYED_SOURCE_METADATA),
    (bind_socket, ()),
], ids=["absent", "fifo", "directory", "link", "regular", "keyed", "10 MB keyed",
        "key across a read", "socket"])
def test_join_maps_back_only_a_regular_source_metadata_file(ffmpeg, tmp_path, make_record,
                                                            added):
    write_split(tmp_path / "segs", ["segs/a.mp4"])
    (tmp_path / "segs" / "elsewhere.txt").write_text(";FFMETADATA1\ncom.apple.quicktime.make=A\n")
    make_record(tmp_path / "segs" / "source_metadata.txt")
    fendral.reconstruct_video("segs", "joined.mp4")
    assert join_inputs_after_the_script(ffmpeg.argv()) == list(added)


def test_split_lists_only_the_segments_this_run_wrote(ffmpeg, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    for name in ["in.mp4", "holiday.mp4", "chunk_000.mp4", "chunk_007.mp4"]:
        (out / name).write_bytes(b"earlier")
    ffmpeg.set(segments=1002)
    fendral.split_video("out/in.mp4", "out", 1)
    metadata = json.loads((out / "metadata.json").read_text())
    assert metadata["chunk_paths"] == [f"out/chunk_{n:03d}.mp4" for n in range(1002)]
    assert metadata["chunk_count"] == 1002

    # A second split into the same directory lists its own two segments, not the stale rest.
    ffmpeg.set(segments=2)
    fendral.split_video("out/in.mp4", "out", 30)
    metadata = json.loads((out / "metadata.json").read_text())
    assert metadata["chunk_paths"] == ["out/chunk_000.mp4", "out/chunk_001.mp4"]
    assert metadata["chunk_count"] == 2


INPUT_IS_A_SEGMENT = "Failed to split: the input is one of the segment files this split would write"


# Entries of the directory that ffmpeg may write over: the input among them is refused before
# ffmpeg starts; a link is removed, never what it points to, so ffmpeg never writes through it.
@pytest.mark.parametrize("input_file, entry, make, message", [
    ("out/chunk_000.mp4", "chunk_000.mp4", "copy", INPUT_IS_A_SEGMENT),
    ("out/chunk_0001.mp4", "chunk_0001.mp4", "copy", INPUT_IS_A_SEGMENT),
    ("in.mp4", "chunk_001.mp4", "hard link", INPUT_IS_A_SEGMENT),
    ("in.mp4", "chunk_002.mp4", "link", INPUT_IS_A_SEGMENT),
    ("-", "chunk_000.mp4", "hard link", INPUT_IS_A_SEGMENT),  # ffmpeg would read stdin
    # ffmpeg opens what follows "file:" as the path.
    ("file:out/chunk_000.mp4", "chunk_000.mp4", "copy", INPUT_IS_A_SEGMENT),
    ("file:{tmp}/out/chunk_000.mp4", "chunk_000.mp4", "copy", INPUT_IS_A_SEGMENT),
    ("file://{tmp}/out/chunk_000.mp4", "chunk_000.mp4", "copy", INPUT_IS_A_SEGMENT),
    ("in.mp4", "chunk_000.mp4", "link elsewhere", None),
    # Names the pattern never gives.
    ("out/chunk_00.mp4", "chunk_00.mp4", "copy", None),
    ("out/chunk_abc.mp4", "chunk_abc.mp4", "copy", None),
])
def test_split_never_writes_over_its_input_or_through_a_link(ffmpeg, tmp_path, input_file, entry,
                                                             make, message):
    input_file = input_file.format(tmp=tmp_path)
    (tmp_path / "in.mp4").write_bytes(b"input")
    (tmp_path / "victim").write_bytes(b"victim")
    out = tmp_path / "out"
    write_split(out, ["out/chunk_000.mp4"])
    placed = out / entry
    placed.unlink(missing_ok=True)
    if make == "copy":
        placed.write_bytes(b"input")
    elif make == "hard link":
        os.link(tmp_path / "in.mp4", placed)
    else:
        placed.symlink_to(tmp_path / ("in.mp4" if make == "link" else "victim"))
    before = sorted(os.listdir(out))
    ffmpeg.set(segments=3)
    with open(tmp_path / "in.mp4") as stdin:
        saved = os.dup(0)
        os.dup2(stdin.fileno(), 0)
        try:
            outcome = fendral.split_video(input_file, "out", 5)
        except RuntimeError as error:
            outcome = str(error)
        finally:
            os.dup2(saved, 0)
            os.close(saved)
    assert outcome == message
    assert (tmp_path / "in.mp4").read_bytes() == b"input"
    assert (tmp_path / "victim").read_bytes() == b"victim"
    assert placed.read_bytes() == (SEGMENT if make == "link elsewhere" else b"input")
    if message:
        assert sorted(os.listdir(out)) == before and not ffmpeg.started()
    else:
        assert not any(path.is_symlink() for path in out.iterdir())


# While a split runs in a directory, another split or a join there fails at once; joins share it.
@pytest.mark.parametrize("holder, split_message, join_message", [
    ("split", "Failed to split: another split is writing into shared",
     "Failed to join: a split is writing into shared"),
    ("join", "Failed to split: another split is writing into shared", None),
])
def test_a_split_has_its_directory_to_itself(ffmpeg, tmp_path, holder, split_message,
                                             join_message):
    write_split(tmp_path / "shared", ["shared/chunk_000.mp4"])
    ffmpeg.set(segments=1, wait="answer")
    outcomes = []
    call = {"split": lambda: fendral.split_video("in.mp4", "shared", 5),
            "join": lambda: fendral.reconstruct_video("shared", "joined-first.mp4")}[holder]
    holding = threading.Thread(target=lambda: outcomes.append(call()))
    holding.start()
    try:
        while not ffmpeg.pid_file.exists() and holding.is_alive():
            time.sleep(0.01)
        ffmpeg.set(wait=None)  # the calls below do not wait for an answer
        during = []
        for attempt in (lambda: fendral.split_video("in.mp4", "shared", 5),
                        lambda: fendral.reconstruct_video("shared", "joined.mp4")):
            try:
                during.append(attempt())
            except RuntimeError as error:
                during.append(str(error))
    finally:
        (ffmpeg.record_dir / "answered").touch()
        holding.join()
    assert during == [split_message, join_message] and outcomes == [None]
    fendral.split_video("in.mp4", "shared", 5)  # the directory is free again


@pytest.mark.parametrize("input_file, output_dir, output_file, ffmpeg_input, directory", [
    ("-in.mp4", "-segs", "-joined.mp4", "./-in.mp4", "./-segs"),
    ("take-10:30.mp4", "a:b/c", "joined:1.mp4", "./take-10:30.mp4", "./a:b/c"),
    ("pipe:0", "d/a:b", "-", "pipe:0", "d/a:b"),
    ("https://example.org/v.mp4", "{tmp}/-x:y", "pipe:1", "https://example.org/v.mp4",
     "{tmp}/-x:y"),
    ("absent:1.mp4", "-", "out.mp4", "absent:1.mp4", "./-"),
    ("-", "segs", "{tmp}/-abs.mp4", "-", "segs"),
])
def test_paths_are_never_read_as_options_or_protocols(ffmpeg, tmp_path, input_file, output_dir,
                                                      output_file, ffmpeg_input, directory):
    output_dir, directory, output_file = (text.format(tmp=tmp_path)
                                          for text in (output_dir, directory, output_file))
    (tmp_path / "take-10:30.mp4").write_bytes(b"video")
    ffmpeg.set(segments=1)
    fendral.split_video(input_file, output_dir, 5)
    pattern = f"{directory}/chunk_%03d.mp4"
    argv = ffmpeg.argv()
    assert (argv[:2], argv[-1]) == (["-i", ffmpeg_input], pattern)
    metadata = json.loads((Path(output_dir) / "metadata.json").read_text())
    assert metadata["original_file"] == input_file and metadata["output_prefix"] == pattern
    assert metadata["chunk_paths"] == [f"{output_dir}/chunk_000.mp4"]

    fendral.reconstruct_video(output_dir, output_file)
    assert joined_argv(ffmpeg)[-1] == output_file


@pytest.mark.parametrize("input_file, inherited", [
    ("in.mp4", False), ("-", True), ("pipe:", True), ("pipe:0", True), ("/dev/stdin", True),
    ("pipe:1", False), ("./-", False), ("pipe:00", False),
])
def test_ffmpeg_reads_standard_input_only_when_asked(ffmpeg, tmp_path, input_file, inherited):
    with open(tmp_path / "caller-input", "w") as caller_input:
        saved = os.dup(0)
        os.dup2(caller_input.fileno(), 0)
        try:
            fendral.split_video(input_file, "out", 5)
        finally:
            os.dup2(saved, 0)
            os.close(saved)
    assert ffmpeg.stdin() == (str(tmp_path / "caller-input") if inherited
                                            else "/dev/null")
    if input_file == "in.mp4":
        write_split(tmp_path / "segs", ["segs/a.mp4"])
        fendral.reconstruct_video("segs", "joined.mp4")
        assert ffmpeg.stdin() == "/dev/null"


# A missing limit is refused once the directory is made; one that does not convert, before.
@pytest.mark.parametrize("limit, error, made", [
    (0, RuntimeError, True), (None, RuntimeError, True), (-1, OverflowError, False),
    (4294967296, OverflowError, False), (2.5, TypeError, False),
])
def test_split_refuses_a_bad_limit(ffmpeg, tmp_path, limit, error, made):
    with pytest.raises(error) as caught:
        fendral.split_video("in.mp4", "a/b", limit)
    if error is RuntimeError:
        assert caught.value.args == ("time_limit_sec must be greater than 0",)
    assert sorted(tmp_path.rglob("*")) == ([tmp_path / "a", tmp_path / "a" / "b"] if made else [])
    assert not ffmpeg.started()


@pytest.mark.parametrize("setup, output_dir, error, message", [
    (lambda root: (root / "file").touch(), "file", FileExistsError, "File exists (os error 17)"),
    (lambda root: (root / "file").touch(), "file/sub", NotADirectoryError,
     "Not a directory (os error 20)"),
    (lambda root: (root / "out" / "metadata.json").mkdir(parents=True), "out",
     IsADirectoryError, "Is a directory (os error 21)"),
    (lambda root: None, "a\0b", OSError, "file name contained an unexpected NUL byte"),
])
def test_split_file_system_failures(ffmpeg, tmp_path, setup, output_dir, error, message):
    setup(tmp_path)
    with pytest.raises(OSError) as caught:
        fendral.split_video("in.mp4", output_dir, 5)
    assert type(caught.value) is error and caught.value.args == (message,)
    assert caught.value.errno is None


def test_empty_output_dir_is_the_working_directory(ffmpeg, tmp_path):
    ffmpeg.set(segments=2)
    fendral.split_video("in.mp4", "", 5)
    assert ffmpeg.argv()[-1] == "chunk_%03d.mp4"
    assert (tmp_path / "metadata.json").read_text() == metadata_text(
        "in.mp4", "chunk_%03d.mp4", ["chunk_000.mp4", "chunk_001.mp4"], "5s")


# A call refused before ffmpeg starts keeps the directory's record; once ffmpeg has started, a
# failure leaves none, so no join trusts a record of segments that ffmpeg has rewritten.
@pytest.mark.parametrize("limit, setting, value, message", [
    (5, "exit", 1, "ffmpeg split failed with status ExitStatus(ExitStatus(1))"),
    (5, "exit", 255, "ffmpeg split failed with status ExitStatus(ExitStatus(255))"),
    (5, "signal", "KILL", "ffmpeg split failed with status signal: 9 (SIGKILL)"),
    (5, "signal", "TERM", "ffmpeg split failed with status signal: 15 (SIGTERM)"),
    # The second run, which keeps the streams the segments do not carry.
    (5, "side_signal", "KILL", "ffmpeg split failed with status signal: 9 (SIGKILL)"),
    (0, "exit", 0, "time_limit_sec must be greater than 0"),
])
def test_split_failing_once_ffmpeg_started_leaves_no_record(ffmpeg, tmp_path, limit, setting,
                                                           value, message):
    ffmpeg.set(segments=1, **{setting: value})
    write_split(tmp_path / "out", ["out/chunk_000.mp4"])
    (tmp_path / "out" / "source_metadata.txt").write_text("earlier")
    (tmp_path / "out" / "segment_times.csv").write_text("chunk_000.mp4,0.000000,1.000000\n")
    (tmp_path / "out" / "streams.mp4").write_text("earlier")
    before = sorted(os.listdir(tmp_path / "out"))
    with pytest.raises(RuntimeError) as caught:
        fendral.split_video("in.mp4", "out", limit)
    assert caught.value.args == (message,)
    if limit == 0:
        assert sorted(os.listdir(tmp_path / "out")) == before and not ffmpeg.started()
        return
    assert os.listdir(tmp_path / "out") == ["chunk_000.mp4"]
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("out", "joined.mp4")
    assert caught.value.args == (NOT_FOUND,)


@pytest.mark.parametrize("on_path", ["nothing", "plain file", "directory"])
def test_program_not_found(tmp_path, monkeypatch, on_path):
    monkeypatch.chdir(tmp_path)
    empty = tmp_path / "bin"
    empty.mkdir()
    if on_path == "plain file":
        (empty / "ffmpeg").write_text("#!/bin/sh\n")
    elif on_path == "directory":
        (empty / "ffmpeg").mkdir()
    monkeypatch.setenv("PATH", str(empty))
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "metadata.json").write_text("earlier")
    with pytest.raises(RuntimeError) as caught:
        fendral.split_video("in.mp4", "out", 5)
    assert caught.value.args == ("Failed to run ffmpeg: program not found",)
    assert os.listdir(tmp_path / "out") == ["metadata.json"]  # refused: the record stays

    write_split(tmp_path / "segs", ["segs/a.mp4"])
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("segs", "joined.mp4")
    assert caught.value.args == ("Failed to run ffmpeg: program not found",)
    assert (tmp_path / "segs" / "concat_list.txt").read_text() == f"file '{tmp_path}/segs/a.mp4'\n"


def test_empty_path_entry_is_the_working_directory(ffmpeg, tmp_path, monkeypatch):
    shutil.move(ffmpeg.script, tmp_path / "ffmpeg")
    monkeypatch.setenv("PATH", "/nonexistent::/nonexistent")
    fendral.split_video("in.mp4", "out", 5)
    assert ffmpeg.argv()[-1] == "out/chunk_%03d.mp4"


def test_nul_in_argument(ffmpeg, tmp_path):
    with pytest.raises(RuntimeError) as caught:
        fendral.split_video("in\0.mp4", "out", 5)
    assert caught.value.args == ("Failed to run ffmpeg: nul byte found in provided data",)
    assert (tmp_path / "out").is_dir() and not ffmpeg.started()


def table(kind, entries, form=">II", version=0):
    return box(kind, struct.pack(">II", version << 24, len(entries)) + b"".join(
        struct.pack(form, *entry) for entry in entries))


def movie(handler, timescale, duration, edits=(), movie_timescale=1000, samples=(),
          offsets=(), wide_edits=False, also=b"", head=b"", layout=b""):
    """A segment whose track states its clock, duration, edit list (length, media time) and
    sample timing: stts runs (count, duration) and ctts runs (count, offset). `also` holds
    further track boxes, `head` boxes that start the track, `layout` further sample table
    boxes."""
    edit_list = (table(b"elst", [(length, start, 1 << 16) for length, start in edits], ">QqI", 1)
                 if wide_edits else
                 table(b"elst", [(length, start, 1 << 16) for length, start in edits], ">IiI"))
    sample_table = box(b"stbl", table(b"stts", samples) +
                       (table(b"ctts", offsets, ">Ii") if offsets else b"") + layout)
    media = box(b"mdia", box(b"mdhd", bytes(12) + struct.pack(">II", timescale, duration) +
                             bytes(4)) + box(b"hdlr", bytes(8) + handler + bytes(12)) +
                box(b"minf", sample_table))
    edits_box = box(b"edts", edit_list) if edits else b""
    return box(b"moov", box(b"mvhd", bytes(12) + struct.pack(">II", movie_timescale, 0) +
                            bytes(80)) + box(b"trak", head + edits_box + media) + also)


def track_header(track_id):
    return box(b"tkhd", bytes(12) + struct.pack(">I", track_id) + bytes(68))


def track(*arguments, **settings):
    return movie(*arguments, **settings)[8 + 108:]  # the track box after the movie header


# One second at 25 frames per second, on a 12,800 Hz clock; sound at 44,100 Hz.
SECOND = dict(samples=[(25, 512)])
SOUND = track(b"soun", 44100, 44100, samples=[(43, 1024), (1, 68)])
# An open GOP's segment: the keyframe (composition time 2560) comes first in decoding order, but
# the two frames after it are shown before it; its edit starts at the keyframe.
OPEN_GOP = dict(edits=[(1000, 2560)], samples=[(25, 512)],
                offsets=[(1, 2560), (1, 1024), (1, 0), (22, 1536)])


# Whole MP4 files in the other forms of box size: 64 bits wide, and 0 for "to the end".
WIDE_AND_OPEN_ENDED = (struct.pack(">I4sQ", 1, b"ftyp", 20) + b"isom" + SEGMENT +
                       struct.pack(">I", 0) + b"mdat" + b"media")


@pytest.mark.parametrize("output_dir", ["segs", "segs/", ""])
def test_reconstruct_writes_list_and_runs_ffmpeg(ffmpeg, tmp_path, output_dir):
    directory = tmp_path / output_dir
    names = ["segs/chunk_000.mp4", "segs/it's.mp4", "segs/back\\slash é.mp4",
             str(tmp_path / "abs 'q'.mp4")]
    for name in names:
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(SEGMENT)
    (tmp_path / names[1]).write_bytes(WIDE_AND_OPEN_ENDED)
    with open(tmp_path / names[0], "wb") as sparse:  # a 64-bit size beyond 32 bits
        sparse.write(SEGMENT + struct.pack(">I4sQ", 1, b"mdat", 2**32 + 8))
        sparse.truncate(len(SEGMENT) + 2**32 + 8)
    write_metadata(directory, names, chunk_count=0)
    (directory / "concat_list.txt").write_text("stale\n" * 100)
    assert fendral.reconstruct_video(output_dir, "joined.mp4") is None
    assert joined_argv(ffmpeg) == concat_argv("joined.mp4")
    # Written in a directory of its own, then placed: nothing of it is left beside the output.
    assert re.fullmatch(r"\.fendral-join-\w{6}/joined\.mp4", ffmpeg.argv()[-1])
    assert (tmp_path / "joined.mp4").read_bytes() == ffmpeg.concat_list()
    assert not list(tmp_path.glob(".fendral-join-*"))
    expected = (f"file '{tmp_path}/segs/chunk_000.mp4'\n"
                f"file '{tmp_path}/segs/it'\\''s.mp4'\n"
                f"file '{tmp_path}/segs/back\\slash é.mp4'\n"
                f"file '{tmp_path}/abs '\\''q'\\''.mp4'\n").encode()
    assert (directory / "concat_list.txt").read_bytes() == expected
    # Without durations in the segments, ffmpeg is given the very same list.
    assert ffmpeg.concat_list() == expected


# ffmpeg writes an HLS or DASH output as a playlist and media files it names itself, so in place;
# a failing ffmpeg's files in the join's own directory all go with it.
@pytest.mark.parametrize("output, status, written, left", [
    ("joined.m3u8", 0, "joined.m3u8", ["joined.m3u8", "media_0.ts"]),
    ("joined.MPD", 0, "joined.MPD", ["joined.MPD", "media_0.ts"]),
    ("joined.mp4", 1, r"\.fendral-join-\w{6}/joined\.mp4", []),
])
def test_a_join_of_several_files_is_written_in_place_and_a_failure_leaves_none(
        ffmpeg, tmp_path, output, status, written, left):
    write_split(tmp_path / "segs", ["segs/chunk_000.mp4"])
    ffmpeg.set(damage="second_file", exit=status)
    outcome = RuntimeError if status else None
    if outcome:
        with pytest.raises(outcome):
            fendral.reconstruct_video("segs", output)
    else:
        assert fendral.reconstruct_video("segs", output) is None
    assert re.fullmatch(written, ffmpeg.argv()[-1])
    assert sorted(path.name for path in tmp_path.iterdir()
                  if path.name not in ("segs", "in.mp4", "bin", "record")) == left


NOT_UTF8 = "Failed to read metadata.json: stream did not contain valid UTF-8"
NOT_REGULAR = "Failed to read metadata.json: not a regular file"
NOT_FOUND = "Failed to read metadata.json: No such file or directory (os error 2)"


@pytest.mark.parametrize("make_metadata, message", [
    (lambda path: None, NOT_FOUND),
    (lambda path: path.parent.rmdir(), NOT_FOUND),  # no directory either
    (lambda path: path.write_bytes(b"{\xff}"), NOT_UTF8),
    (lambda path: path.write_bytes(b'{"original_file": "\xff"}'), NOT_UTF8),
    (lambda path: path.write_bytes(b'{"original_file": "\xed\xa0\x80"}'), NOT_UTF8),
    (lambda path: path.mkdir(), NOT_REGULAR),
    (lambda path: path.symlink_to("/dev/null"), NOT_REGULAR),
    (lambda path: path.write_bytes(b""),
     "Serde error: EOF while parsing a value at line 1 column 0"),
    (lambda path: path.write_bytes(b"[]"), "Serde error: invalid length 0, expected struct "
                                           "Mp4ChunkMetadata with 6 elements at line 1 column 2"),
    (lambda path: path.write_text(json.dumps(["i", "p", 3, [], "time", "1s"])),
     "No chunks found in metadata."),
])
def test_reconstruct_refuses_metadata(ffmpeg, tmp_path, make_metadata, message):
    (tmp_path / "segs").mkdir()
    make_metadata(tmp_path / "segs" / "metadata.json")
    before = sorted(tmp_path.rglob("*"))
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("segs", "joined.mp4")
    assert caught.value.args == (message,)
    assert sorted(tmp_path.rglob("*")) == before
    assert not ffmpeg.started()


BREAK = "Failed to write concat list: segment path contains a line break or NUL byte"

# Files that are not whole MP4 files.
NOT_MP4 = {
    "text.mp4": b"file 'a.mp4'\n",
    "overrun.mp4": box(b"ftyp", b"isom") + SEGMENT[:-1],  # the last box runs past the end
    "no-movie.mp4": box(b"ftyp", b"isom") + box(b"mdat", b"media"),
    "no-track.mp4": box(b"moov", box(b"mvhd", bytes(100))),
    "short-size.mp4": struct.pack(">I", 7) + b"free" + SEGMENT,  # smaller than its header
    "free-overrun.mp4": SEGMENT + box(b"free", b"ab")[:-1],  # one byte past the file
    # A whole track but for one byte past the movie box that holds it, though the file goes on.
    "track-overrun.mp4": None,
    "media-cut.mp4": SEGMENT + box(b"mdat", b"media")[:-2],  # the movie box first
    "stopped-movie-clock.mp4": movie(b"vide", 12800, 12800, movie_timescale=0),
    "stopped-media-clock.mp4": movie(b"vide", 0, 12800),
    "empty-track.mp4": box(b"moov", box(b"mvhd", bytes(100)) + box(b"trak")),
    "no-sample-table.mp4": box(b"moov", box(b"trak", box(b"mdia", box(
        b"mdhd", bytes(12) + struct.pack(">II", 12800, 12800) + bytes(4)) + box(
        b"hdlr", bytes(8) + b"vide" + bytes(12))))),
    "edit-overflow.mp4": movie(b"vide", 12800, 12800, [(1 << 63, 0)], wide_edits=True),
    # Cut where its media data starts: the boxes tile the file, but 25 samples of 100 bytes lie
    # in a chunk at byte 1000.
    "samples-past-end.mp4": movie(b"vide", 12800, 12800, **SECOND, layout=box(
        b"stsz", struct.pack(">IIII", 0, 0, 25, 0)[:4] + struct.pack(">II", 100, 25)) + table(
        b"stsc", [(1, 25, 1)], ">III") + table(b"stco", [(1000,)], ">I")),
    # Fits 64 bits on a 1 Hz clock, but ffmpeg reads it as a negative length.
    "edit-overflow-1hz.mp4": movie(b"vide", 1, 1, [(1 << 63, 0)], movie_timescale=1,
                                   wide_edits=True),
    "no-handler.mp4": box(b"moov", box(b"trak", box(b"mdia", box(
        b"mdhd", bytes(12) + struct.pack(">II", 12800, 12800) + bytes(4)) + box(
        b"minf", box(b"stbl", table(b"stts", [(25, 512)])))))),
}


def overrun_by_one():
    """A movie whose track, and the boxes that end it, each claim one byte more than they hold:
    the first byte of the box after the movie box, which is a whole file's last box."""
    def grown(kind, payload):
        return struct.pack(">I4s", 9 + len(payload), kind) + payload
    sample_table = grown(b"stbl", grown(b"stts", struct.pack(">IIII", 0, 1, 25, 512)))
    media = grown(b"mdia", box(b"mdhd", bytes(12) + struct.pack(">II", 12800, 12800) + bytes(4)) +
                  box(b"hdlr", bytes(8) + b"vide" + bytes(12)) + grown(b"minf", sample_table))
    return box(b"moov", box(b"mvhd", bytes(12) + struct.pack(">II", 1000, 0) + bytes(80)) +
               grown(b"trak", media)) + box(b"free", b"")


NOT_MP4["track-overrun.mp4"] = overrun_by_one()
# A movie box over the size that is read whole, holding no track: its headers tell.
OVER_CAP = struct.pack(">I4sI4s", 16 + (64 << 20), b"moov", 8 + (64 << 20), b"free")


@pytest.mark.parametrize("paths, message", [
    (["segs/a.mp4", "segs/line\nbreak.mp4"], BREAK),
    (["segs/a.mp4", "segs/cr\r.mp4"], BREAK),
    (["segs/a.mp4", "segs/nul\0.mp4"], BREAK),
    (["segs/a.mp4", "segs/chunk_001.mp4", "segs/x\n.mp4"],
     "Failed to read segment segs/chunk_001.mp4: No such file or directory (os error 2)"),
    (["segs/a.mp4", "segs"], "Failed to read segment segs: Is a directory (os error 21)"),
    (["segs/a.mp4", ""], "Failed to read segment : No such file or directory (os error 2)"),
    (["segs/a.mp4", "segs/empty.mp4"], "Failed to read segment segs/empty.mp4: empty file"),
    # The record's directory is the working directory ("p"), joined as segs: a bare name is
    # looked for there, and the message names the file that was read.
    (["segs/a.mp4", "empty.mp4"], "Failed to read segment segs/empty.mp4: empty file"),
    # A path that climbs out of the record's directory is not looked for in segs.
    (["segs/a.mp4", "../segs/a.mp4"],
     "Failed to read segment ../segs/a.mp4: No such file or directory (os error 2)"),
    (["segs/a.mp4", "segs/fifo.mp4"], "Failed to read segment segs/fifo.mp4: not a regular file"),
    (["segs/a.mp4", "/dev/zero"], "Failed to read segment /dev/zero: not a regular file"),
    (["segs/a.mp4", "/dev/null"], "Failed to read segment /dev/null: not a regular file"),
    *[(["segs/a.mp4", f"segs/{name}"],
       f"Failed to read segment segs/{name}: not a complete MP4 file")
      for name in [*NOT_MP4, "over-cap.mp4"]],
])
def test_reconstruct_refuses_unusable_segments(ffmpeg, tmp_path, paths, message):
    write_metadata(tmp_path / "segs", paths)
    (tmp_path / "segs" / "a.mp4").write_bytes(SEGMENT)
    for name, content in NOT_MP4.items():
        (tmp_path / "segs" / name).write_bytes(content)
    with open(tmp_path / "segs" / "over-cap.mp4", "wb") as over_cap:
        over_cap.write(OVER_CAP)
        over_cap.truncate(16 + (64 << 20))  # sparse: nothing past the headers is read
    (tmp_path / "segs" / "empty.mp4").touch()
    os.mkfifo(tmp_path / "segs" / "fifo.mp4")  # no writer: opening it must not hang
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("segs", "joined.mp4")
    assert caught.value.args == (message,)
    assert sorted(os.listdir(tmp_path / "segs")) == sorted(["a.mp4", "empty.mp4", "fifo.mp4",
                                                            "metadata.json", "over-cap.mp4",
                                                            *NOT_MP4])
    assert not ffmpeg.started()


# 0.96 s of video, and where three of them started in the source.
SHORT_SECOND = movie(b"vide", 12800, 12288, samples=[(24, 512)])
SEGMENT_TIMES = ("0.mp4,0.000000,0.960000\n1.mp4,1.040000,2.000000\n"
                 "\"2.mp4\",2.040000,3.000000\n")


@pytest.mark.parametrize("segments, durations, segment_times", [(*row, None)[:3] for row in [
    ([movie(b"vide", 12800, 25600)], ["2"]),
    # B-frames: the edit starts at the first frame's composition offset and spans the media.
    ([movie(b"vide", 12800, 11264, [(880, 1536)])], ["0.88"]),
    # AAC priming skipped: the media's exact span from the edit on, not the edit's milliseconds.
    ([movie(b"soun", 44100, 46080, [(1021, 1024)])], ["1.021678"]),
    # An empty edit delays the media; an edit that disagrees with the media is taken as stated.
    ([movie(b"soun", 44100, 44032, [(21, -1), (500, 0)])], ["0.521"]),
    # Rounded once per running end: thirds of a second never add up to a drift.
    ([movie(b"vide", 3, 1)] * 3, ["0.333333", "0.333334", "0.333333"]),
    ([SEGMENT, movie(b"vide", 3, 1)], [None, "0.333333"]),
    # The frames an open GOP's segment hides (0.12 s) are the end of the one before it.
    ([movie(b"vide", 12800, 12800, **SECOND), movie(b"vide", 12800, 12800, **OPEN_GOP)] * 2,
     ["1.12", "1", "1.12", "1"]),
    # A closed one (edit at the earliest frame) and sound hide nothing.
    ([movie(b"vide", 12800, 12800, **SECOND),
      movie(b"vide", 12800, 12800, edits=[(1000, 1024)], samples=[(25, 512)],
            offsets=[(1, 1024), (24, 1024)]), movie(b"soun", 44100, 44100)], ["1", "1", "1"]),
    # Edit lists of empty edits only present no media: no duration.
    ([movie(b"vide", 12800, 12800, [(3600000, -1)])], [None]),
    # The split's list of where each segment started: a variable frame rate's last frame lasts
    # until the next segment starts, which the segment's own span (0.96 s) cannot tell.
    ([SHORT_SECOND] * 3, ["1.04", "1", "0.96"], SEGMENT_TIMES),
    # A list that does not name the listed segments in order, or lacks times, is not used.
    ([SHORT_SECOND] * 3, ["0.96"] * 3, SEGMENT_TIMES.replace("0.mp4", "9.mp4")),
    ([SHORT_SECOND] * 3, ["0.96"] * 3, SEGMENT_TIMES.rsplit("2.mp4", 1)[0]),
    ([SHORT_SECOND] * 3, ["0.96"] * 3, SEGMENT_TIMES.replace("1.040000,", "1.04s,")),
    ([SHORT_SECOND] * 3, ["0.96"] * 3, "0.mp4\n1.mp4\n2.mp4\n"),
    ([SHORT_SECOND] * 3, ["0.96"] * 3, "link"),
]])
def test_ffmpeg_gets_each_segments_duration(ffmpeg, tmp_path, segments, durations,
                                            segment_times):
    names = [f"segs/{n}.mp4" for n in range(len(segments))]
    write_metadata(tmp_path / "segs", names)
    for name, content in zip(names, segments):
        (tmp_path / name).write_bytes(content)
    times = tmp_path / "segs" / "segment_times.csv"
    if segment_times == "link":
        (tmp_path / "elsewhere.csv").write_text(SEGMENT_TIMES)
        times.symlink_to(tmp_path / "elsewhere.csv")
    elif segment_times:
        times.write_text(segment_times)
    fendral.reconstruct_video("segs", "joined.mp4")
    expected = "".join(f"file '{tmp_path}/{name}'\n" +
                       (f"duration {duration}\n" if duration else "")
                       for name, duration in zip(names, durations))
    assert ffmpeg.concat_list().decode() == expected
    assert (tmp_path / "segs" / "concat_list.txt").read_text() == "".join(
        f"file '{tmp_path}/{name}'\n" for name in names)


VIDEO_SECOND = movie(b"vide", 12800, 12800, **SECOND)
SOUND_SECOND = movie(b"soun", 44100, 44100, samples=[(43, 1024), (1, 68)])
# A movie box over the size that is read whole, a track first: ffmpeg is left to judge it. The
# headers and the size of a sparse file, whose last box runs on in the hole.
OVER_CAP_TRACK = track(b"vide", 12800, 12800, **SECOND)
OVER_CAP_WITH_TRACK = (struct.pack(">I4s", 16 + len(OVER_CAP_TRACK) + (64 << 20), b"moov") +
                       OVER_CAP_TRACK + struct.pack(">I4s", 8 + (64 << 20), b"free"),
                       16 + len(OVER_CAP_TRACK) + (64 << 20))


def write_content(path, content):
    """Writes bytes, or (head, size): a sparse file of that size."""
    head, size = content if isinstance(content, tuple) else (content, len(content))
    with open(path, "wb") as out:
        out.write(head)
        out.truncate(size)


# Sound whose track refers to a chapter text track (number 2) lasting two seconds.
WITH_CHAPTERS = dict(head=track_header(1) + box(b"tref", box(b"chap", struct.pack(">I", 2))),
                     also=track(b"text", 1000, 2000, samples=[(2, 1000)], head=track_header(2)))
SECOND_SOUND = track(b"soun", 44100, 44100, samples=[(44, 1002)])


def fragmented(packets):
    """A fragmented video of 1 s whose movie box holds no sample: one fragment of `packets`."""
    return movie(b"vide", 12800, 0, head=track_header(1), also=box(b"mvex")) + box(b"moof", box(
        b"traf", box(b"tfhd", struct.pack(">II", 0, 1)) + box(b"trun", struct.pack(
            ">II", 0, packets))))


@pytest.mark.parametrize("segments, joined, message", [
    # ffmpeg skipped the segments it could not read.
    ([VIDEO_SECOND] * 3, VIDEO_SECOND, "video track 0 holds 25 packets, its segments 75"),
    ([SOUND_SECOND] * 2, SOUND_SECOND, "audio track 0 holds 44 packets, its segments 88"),
    # Every packet, squeezed into a shorter time.
    ([VIDEO_SECOND] * 3, movie(b"vide", 12800, 12800, samples=[(75, 170)]),
     "the joined video lasts 1.000 s, its segments 3.000 s"),
    # A chapter track is never the longest: it lasts what the muxer was told.
    ([SOUND_SECOND] * 2, movie(b"soun", 44100, 44100, samples=[(88, 501)], **WITH_CHAPTERS),
     "the joined file lasts 1.000 s, its segments 2.000 s"),
    # It took the streams from the first segment, which had no sound.
    ([VIDEO_SECOND, movie(b"vide", 12800, 12800, **SECOND, also=SOUND)] * 2,
     movie(b"vide", 12800, 51200, samples=[(100, 512)]), "no audio track, segment 1 has one"),
    # The second sound of two (a commentary), from the second segment on.
    ([movie(b"vide", 12800, 12800, **SECOND, also=SOUND)] +
     [movie(b"vide", 12800, 12800, **SECOND, also=SOUND + SECOND_SOUND)] * 2,
     movie(b"vide", 12800, 38400, samples=[(75, 512)], also=track(
         b"soun", 44100, 132300, samples=[(132, 1002)]) + SECOND_SOUND),
     "audio track 1 holds 44 packets, its segments 88"),
    # A video track on a stopped clock, which ffmpeg may drop, holds packets all the same.
    ([movie(b"vide", 0, 12800, **SECOND, also=SOUND)], SOUND_SECOND,
     "video track 0 holds 0 packets, its segments 25"),
    # Short of the durations by less than a frame: all there.
    ([VIDEO_SECOND] * 3, movie(b"vide", 12800, 37900, samples=[(74, 512), (1, 12)]), None),
    # A fragmented output keeps its samples in its fragments.
    ([VIDEO_SECOND] * 3, fragmented(75), None),
    ([VIDEO_SECOND] * 3, fragmented(50), "video track 0 holds 50 packets, its segments 75"),
    ([VIDEO_SECOND, OVER_CAP_WITH_TRACK], OVER_CAP_WITH_TRACK, None),
], ids=["video short", "sound short", "squeezed", "chapters", "no sound", "second sound",
        "stopped clock", "whole", "fragmented", "fragmented short", "over the cap"])
def test_a_join_that_lost_data_fails_and_leaves_no_output(ffmpeg, tmp_path, segments, joined,
                                                          message):
    names = [f"segs/{n}.mp4" for n in range(len(segments))]
    write_metadata(tmp_path / "segs", names)
    for name, content in zip(names, segments):
        write_content(tmp_path / name, content)
    write_content(tmp_path / "written.mp4", joined)
    ffmpeg.set(output=tmp_path / "written.mp4")
    if message is None:
        fendral.reconstruct_video("segs", "joined.mp4")
        assert filecmp.cmp(tmp_path / "joined.mp4", tmp_path / "written.mp4", shallow=False)
        return
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("segs", "joined.mp4")
    assert caught.value.args == ("ffmpeg concat lost data: " + message,)
    assert ffmpeg.started() and not (tmp_path / "joined.mp4").exists()


@pytest.mark.parametrize("first, output_file, clocks", [
    (VIDEO_SECOND, "joined.mp4", ["-movie_timescale", "90000", "-video_track_timescale", "12800"]),
    (movie(b"vide", 600, 600, **SECOND), "joined.MOV",
     ["-movie_timescale", "90000", "-video_track_timescale", "600"]),
    (SOUND_SECOND, "joined.m4a", ["-movie_timescale", "90000"]),
    (VIDEO_SECOND, "joined.mkv", []),  # Matroska has no movie clock
], ids=["mp4", "quicktime 1/600", "sound only", "matroska"])
def test_the_join_keeps_timestamps_and_the_video_clock(ffmpeg, tmp_path, first, output_file,
                                                       clocks):
    write_metadata(tmp_path / "segs", ["segs/0.mp4", "segs/1.mp4"])
    (tmp_path / "segs" / "0.mp4").write_bytes(first)
    (tmp_path / "segs" / "1.mp4").write_bytes(VIDEO_SECOND)
    fendral.reconstruct_video("segs", output_file)
    argv = joined_argv(ffmpeg)
    assert argv[argv.index("-c") + 2:] == ["-copyts", *clocks, output_file]


def test_reconstruct_refuses_working_directory_with_line_break(ffmpeg, tmp_path, monkeypatch):
    work = tmp_path / "line\nbreak"
    write_split(work / "segs", ["segs/a.mp4"])
    monkeypatch.chdir(work)
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("segs", "joined.mp4")
    assert caught.value.args == (BREAK,)
    assert not (work / "segs" / "concat_list.txt").exists() and not ffmpeg.started()


def test_reconstruct_list_file_failure(ffmpeg, tmp_path):
    write_split(tmp_path / "segs", ["segs/a.mp4"])
    (tmp_path / "segs" / "concat_list.txt").mkdir()
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("segs", "joined.mp4")
    assert caught.value.args == (
        "Failed to create concat list file: Is a directory (os error 21)",)
    assert not ffmpeg.started()


# ffmpeg's own refusal to write over a file: what a join into an entry that is there, or that
# appears while ffmpeg writes, has always failed with.
OUTPUT_EXISTS = "ffmpeg concat failed with status ExitStatus(ExitStatus(1))"


# A failed join leaves what was at the output, and nothing of its own. An entry there, a dangling
# link too, is refused before ffmpeg starts; one that another program puts there while ffmpeg
# writes stays.
@pytest.mark.parametrize("output, settings, message", [
    (None, {"exit": 1}, OUTPUT_EXISTS),
    (None, {"signal": "KILL"}, "ffmpeg concat failed with status signal: 9 (SIGKILL)"),
    ("file", {"exit": 1}, OUTPUT_EXISTS),
    ("dangling link", {"exit": 1}, OUTPUT_EXISTS),
    ("directory", {}, OUTPUT_EXISTS),
    ("appears", {"damage": "claim_output"}, OUTPUT_EXISTS),
])
def test_a_failed_join_removes_only_its_own_file(ffmpeg, tmp_path, output, settings, message):
    write_split(tmp_path / "segs", ["segs/a.mp4"])
    joined = tmp_path / "joined.mp4"
    if output == "file":
        joined.write_bytes(b"earlier")
    elif output == "dangling link":
        joined.symlink_to(tmp_path / "target.mp4")
    elif output == "directory":
        joined.mkdir()
    before = sorted(os.listdir(tmp_path))
    ffmpeg.set(**settings)
    with pytest.raises(RuntimeError) as caught:
        fendral.reconstruct_video("segs", "joined.mp4")
    assert caught.value.args == (message,)
    # What ffmpeg never got to say: the entry at the output, as an exclusive create names it.
    cause = caught.value.__cause__
    assert (None if cause is None else (type(cause), cause.errno, cause.filename)) == (
        None if output is None else (FileExistsError, errno.EEXIST, "joined.mp4"))
    assert ffmpeg.started() == (output in (None, "appears"))
    assert sorted(os.listdir(tmp_path)) == sorted(before + ["joined.mp4"] * (output == "appears"))
    if output in ("file", "appears"):
        assert joined.read_bytes() == {"file": b"earlier", "appears": b"elsewhere"}[output]
    assert (tmp_path / "segs" / "concat_list.txt").read_text() == (
        f"file '{tmp_path}/segs/a.mp4'\n")


def inheritable_descriptors():
    """The descriptors of this process that a child inherits."""
    inheritable = set()
    for fd in map(int, os.listdir("/proc/self/fd")):
        try:
            if os.get_inheritable(fd):
                inheritable.add(fd)
        except OSError:
            pass  # the listing's own descriptor, already closed
    return inheritable


def test_child_gets_default_signals_and_only_inherited_descriptors(ffmpeg, tmp_path):
    write_split(tmp_path / "segs", ["segs/a.mp4"])
    (tmp_path / "segs" / "source_metadata.txt").write_text(";FFMETADATA1\n")
    (tmp_path / "segs" / "streams.mp4").write_text("side streams")
    inheritable = inheritable_descriptors()
    stdio = {str(fd): os.readlink(f"/proc/self/fd/{fd}") for fd in (1, 2)}
    stdio["0"] = "/dev/null"
    saved = {number: signal.signal(number, signal.SIG_IGN)
             for number in (signal.SIGPIPE, signal.SIGXFSZ)}
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    try:
        fendral.reconstruct_video("segs", "joined.mp4")
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR1})
        for number, handler in saved.items():
            signal.signal(number, handler)
    masks = ffmpeg.signal_masks()
    assert masks["SigBlk"] == 0
    assert masks["SigIgn"] & (1 << (signal.SIGPIPE - 1) | 1 << (signal.SIGXFSZ - 1)) == 0
    fds = ffmpeg.fds()
    assert {fd: fds[fd] for fd in stdio} == stdio
    assert fds["3"].startswith("/memfd:fendral-concat-script")  # the list with durations
    assert fds["4"] == str(tmp_path / "segs" / "source_metadata.txt")
    assert fds["5"] == str(tmp_path / "segs")  # the directory's lock, held as long as ffmpeg runs
    assert fds["6"] == str(tmp_path / "segs" / "streams.mp4")
    leaked = {fd: target for fd, target in fds.items()
              if fd not in (*stdio, "3", "4", "5", "6") and target != str(ffmpeg.script)
              and int(fd) not in inheritable}
    assert leaked == {}


def test_standard_streams_the_caller_closed_are_dev_null_for_ffmpeg(ffmpeg, tmp_path):
    write_split(tmp_path / "segs", ["segs/a.mp4"])
    (tmp_path / "segs" / "source_metadata.txt").write_text(";FFMETADATA1\n")
    (tmp_path / "segs" / "streams.mp4").write_text("side streams")

    # The descriptors handed over then sit on the numbers of the closed streams, and their copies
    # above the numbers they are handed over as stay ours.
    def body():
        for fd in (0, 1, 2):
            os.close(fd)
        fendral.reconstruct_video("segs", "joined.mp4")
        return ffmpeg.fds(), inheritable_descriptors()

    fds, inheritable = run_forked(body)
    assert [fds.pop(fd) for fd in "012"] == ["/dev/null"] * 3
    assert fds.pop("3").startswith("/memfd:fendral-concat-script")
    assert fds.pop("4") == str(tmp_path / "segs" / "source_metadata.txt")
    assert fds.pop("5") == str(tmp_path / "segs")
    assert fds.pop("6") == str(tmp_path / "segs" / "streams.mp4")
    leaked = {fd: target for fd, target in fds.items()
              if target != str(ffmpeg.script) and int(fd) not in inheritable}
    assert leaked == {}


def test_wait_outlasts_signals(ffmpeg, tmp_path):
    ffmpeg.set(delay=0.3)
    arrived = []
    previous = signal.signal(signal.SIGALRM, lambda *_: arrived.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        fendral.split_video("in.mp4", "out", 5)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert arrived and (tmp_path / "out" / "metadata.json").exists()


@pytest.fixture
def world_readable_dir():
    # pytest's own temporary root is closed to other users.
    directory = Path(tempfile.mkdtemp())
    directory.chmod(0o755)
    yield directory
    shutil.rmtree(directory)


@pytest.mark.parametrize("unreadable, message", [
    ("metadata.json", "Failed to read metadata.json: Permission denied (os error 13)"),
    ("a.mp4", "Failed to read segment {dir}/segs/a.mp4: Permission denied (os error 13)"),
    # Joining without it would lose the source's tags and chapters.
    ("source_metadata.txt", "Failed to read source_metadata.txt: Permission denied (os error 13)"),
])
def test_reconstruct_permission_denied(world_readable_dir, unreadable, message):
    segs = world_readable_dir / "segs"
    write_split(segs, [str(segs / "a.mp4")])
    (segs / "source_metadata.txt").write_text(";FFMETADATA1\n")
    (segs / unreadable).chmod(0o600)

    def body():
        try:
            fendral.reconstruct_video(str(segs), str(world_readable_dir / "joined.mp4"))
        except RuntimeError as error:
            return error.args
    assert run_unprivileged(body) == (message.format(dir=world_readable_dir),)


# A directory that refuses the output is refused before ffmpeg starts, with the system's reason
# as the cause.
@pytest.mark.parametrize("output, unprivileged, cause", [
    ("missing/joined.mp4", False, (FileNotFoundError, errno.ENOENT)),
    ("segs/metadata.json/joined.mp4", False, (NotADirectoryError, errno.ENOTDIR)),
    ("joined.mp4", True, (PermissionError, errno.EACCES)),
])
def test_a_join_into_a_directory_that_refuses_it(world_readable_dir, output, unprivileged,
                                                  cause):
    segs = world_readable_dir / "segs"
    write_split(segs, [str(segs / "a.mp4")])
    segs.chmod(0o777)  # the join's list is written there
    output = str(world_readable_dir / output)

    def body():
        # No ffmpeg on PATH: a run would fail otherwise.
        os.environ["PATH"] = str(world_readable_dir / "no-programs")
        try:
            fendral.reconstruct_video(str(segs), output)
        except RuntimeError as error:
            cause = error.__cause__
            return error.args, type(cause), cause.errno, cause.filename
    outcome = (run_unprivileged if unprivileged else run_forked)(body)
    assert outcome == ((OUTPUT_EXISTS,), *cause, output)


def test_split_permission_denied(tmp_path):
    def body():
        try:
            fendral.split_video("in.mp4", str(tmp_path / "out"), 5)
        except OSError as error:
            return type(error).__name__, error.args
    assert run_unprivileged(body) == ("PermissionError", ("Permission denied (os error 13)",))


# The real ffmpeg.

needs_ffmpeg = pytest.mark.skipif(not (shutil.which("ffmpeg") and shutil.which("ffprobe")),
                                  reason="ffmpeg is not installed")


def make_video(path, seconds, source, audio, rate, keyframe_every):
    inputs = ["-f", "lavfi", "-i", f"testsrc=size={source}:rate={rate}:duration={seconds}"]
    if audio:
        inputs += ["-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}", "-c:a", "aac"]
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *inputs, "-c:v", "mpeg4",
                    "-g", str(keyframe_every), str(path)], check=True, stdin=subprocess.DEVNULL)


def probe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_packets", "-show_entries",
         "stream=codec_type,nb_read_packets:format=duration", "-of", "json", str(path)],
        check=True, capture_output=True, stdin=subprocess.DEVNULL).stdout
    info = json.loads(out)
    packets = {s["codec_type"]: int(s["nb_read_packets"]) for s in info["streams"]}
    return float(info["format"]["duration"]), packets


@pytest.fixture(scope="module")
def short_video(tmp_path_factory):
    if not shutil.which("ffmpeg"):
        pytest.skip("ffmpeg is not installed")
    path = tmp_path_factory.mktemp("video") / "source.mp4"
    make_video(path, 10, "64x48", audio=True, rate=10, keyframe_every=10)
    return path


@needs_ffmpeg
@pytest.mark.parametrize("output_dir", ["out", "nested/out/", "with space", "it's \"quoted\"",
                                        "100%", "{absolute}/abs dir"])
def test_real_round_trip(short_video, tmp_path, monkeypatch, output_dir):
    monkeypatch.chdir(tmp_path)
    shutil.copy(short_video, "in.mp4")
    output_dir = output_dir.format(absolute=tmp_path)
    fendral.split_video("in.mp4", output_dir, 3)
    chunk_paths = json.loads((Path(output_dir) / "metadata.json").read_text())["chunk_paths"]
    assert [Path(p).name for p in chunk_paths] == [f"chunk_{n:03d}.mp4" for n in range(4)]
    fendral.reconstruct_video(output_dir, "joined.mp4")
    (duration, packets), (joined_duration, joined_packets) = probe("in.mp4"), probe("joined.mp4")
    assert abs(joined_duration - duration) < 0.5
    assert joined_packets == packets and set(packets) == {"video", "audio"}


# Joins into one output at once: one places its file, the others fail as a join into an existing
# file does, none removes what another wrote, and the output has a new file's mode.
@needs_ffmpeg
def test_real_joins_into_one_output_at_once(short_video, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fendral.split_video(str(short_video), "segs", 3)
    packets = probe(short_video)[1]
    outcomes = []

    def join():
        try:
            outcomes.append(fendral.reconstruct_video("segs", "out.mp4"))
        except RuntimeError as error:
            outcomes.append(str(error))

    umask = os.umask(0o027)
    try:
        for _ in range(5):
            outcomes.clear()
            threads = [threading.Thread(target=join) for _ in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            assert sorted(map(str, outcomes)) == ["None"] + [OUTPUT_EXISTS] * 3
            assert sorted(os.listdir()) == ["out.mp4", "segs"]
            assert os.stat("out.mp4").st_mode & 0o777 == 0o640
            assert probe("out.mp4")[1] == packets
            os.remove("out.mp4")
    finally:
        os.umask(umask)


def encode_in_place(directory):
    """Re-encodes every segment as examples/parallel_transcode.py does: a new file renamed over
    the segment."""
    path = Path(__file__).resolve().parent.parent / "examples" / "parallel_transcode.py"
    spec = importlib.util.spec_from_file_location("parallel_transcode", path)
    recipe = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(recipe)
    for segment in sorted(Path(directory).glob("chunk_*.mp4")):
        recipe.encode_segment(str(segment))


def set_output_prefix(directory, prefix):
    record = json.loads((Path(directory) / "metadata.json").read_text())
    record["output_prefix"] = prefix
    (Path(directory) / "metadata.json").write_text(json.dumps(record))


CHANGES = {"move": shutil.move, "copy": shutil.copytree, "link": os.symlink, "remove": os.remove,
           "encode": encode_in_place, "prefix": set_output_prefix}


# Paths are relative to the test's directory, where both calls run unless `split_from` says
# otherwise; `found_in` is the directory of each segment that is joined.
@needs_ffmpeg
@pytest.mark.parametrize("split_from, split_dir, changes, join_dir, found_in", [
    (".", "segs", [], "segs", "segs"),
    (".", "segs", [("link", "segs", "link")], "link", "segs"),
    (".", "segs", [("move", "segs", "elsewhere/segs")], "{tmp}/elsewhere/segs", "elsewhere/segs"),
    (".", "-segs", [("move", "-segs", "moved")], "moved", "moved"),
    ("work", "a b 100%", [], "work/a b 100%", "work/a b 100%"),
    (".", "{tmp}/abs dir", [("move", "abs dir", "renamed dir")], "{tmp}/renamed dir",
     "renamed dir"),
    (".", "segs", [("move", "segs", "moved"), ("encode", "moved")], "{tmp}/moved", "moved"),
    (".", "segs", [("copy", "segs", "copy")], "copy", "copy"),
    (".", "segs", [("copy", "segs", "copy"), ("remove", "copy/chunk_001.mp4")], "copy",
     ["copy", "segs", "copy", "copy"]),
    # A record made by hand whose entries lie outside its own directory.
    (".", "segs", [("copy", "segs", "copy"), ("prefix", "copy", "copy/chunk_%03d.mp4")], "copy",
     "segs"),
], ids=["unchanged", "through a link", "moved", "option-like, moved", "joined from the parent",
        "absolute, renamed", "moved and re-encoded", "copied", "missing from the copy",
        "entries outside the record's directory"])
def test_real_join_finds_the_segments_where_the_directory_is(
        short_video, tmp_path, monkeypatch, split_from, split_dir, changes, join_dir, found_in):
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / split_from)
    fendral.split_video(str(short_video), split_dir.format(tmp=tmp_path), 3)
    monkeypatch.chdir(tmp_path)
    for change, *arguments in changes:
        CHANGES[change](*arguments)
    fendral.reconstruct_video(join_dir.format(tmp=tmp_path), "joined.mp4")
    if isinstance(found_in, str):
        found_in = [found_in] * 4
    listed = [f"file '{tmp_path}/{directory}/chunk_{n:03d}.mp4'\n"
              for n, directory in enumerate(found_in)]
    assert (Path(join_dir.format(tmp=tmp_path)) / "concat_list.txt").read_text() == "".join(listed)
    assert probe("joined.mp4")[1] == probe(short_video)[1]


@needs_ffmpeg
def test_real_round_trip_beyond_999_segments(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    make_video(tmp_path / "in.mp4", 1001, "16x16", audio=False, rate=1, keyframe_every=1)
    fendral.split_video("in.mp4", "out", 1)
    metadata = json.loads((tmp_path / "out" / "metadata.json").read_text())
    assert metadata["chunk_count"] == 1001
    assert metadata["chunk_paths"][998:] == ["out/chunk_998.mp4", "out/chunk_999.mp4",
                                             "out/chunk_1000.mp4"]
    fendral.reconstruct_video("out", "joined.mp4")
    (duration, packets), (joined_duration, joined_packets) = probe("in.mp4"), probe("joined.mp4")
    assert abs(joined_duration - duration) < 0.5 and joined_packets == packets


@needs_ffmpeg
def test_real_ffmpeg_failure_on_missing_input(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError) as caught:
        fendral.split_video("missing.mp4", "out", 3)
    assert caught.value.args == ("ffmpeg split failed with status ExitStatus(ExitStatus(1))",)
    assert os.listdir("out") == []
