"""fendral_video.split_to_fit on small real videos made here, judged by ffprobe: every segment
within its caps, as few segments as a greedy cut computed here from ffprobe's packets allows,
and the join giving back every frame."""

import functools
import json
import logging
import math
import os
import pickle
import shutil
import struct
import subprocess
import time
from fractions import Fraction

import pytest

import fendral
import fendral_video

pytestmark = pytest.mark.skipif(not (shutil.which("ffmpeg") and shutil.which("ffprobe")),
                                reason="ffmpeg is not installed")

SECONDS = 8


def picture(rate):
    return ["-f", "lavfi", "-i", f"testsrc2=size=96x64:rate={rate}:duration={SECONDS}"]


TONE = ["-f", "lavfi", "-i", f"sine=frequency=440:duration={SECONDS}"]
AAC = ["-c:a", "aac", "-b:a", "32k"]

# name, file, ffmpeg arguments. x264's own GOP choice (scene cuts on), a keyframe every second
# as phones record, B-frames, a Matroska source (planned from ffprobe's list), audio alone.
SOURCES = {
    "x264 default gop": ("in.mp4", [*picture(30), *TONE, "-c:v", "libx264", "-g", "75", *AAC]),
    "keyframe every second": ("in.mp4", [*picture(30), *TONE, "-c:v", "libx264", "-bf", "0",
                                         "-g", "30", "-sc_threshold", "0", *AAC]),
    "b-frames": ("in.mp4", [*picture(25), *TONE, "-c:v", "libx264", "-bf", "3", "-g", "25",
                            "-sc_threshold", "0", *AAC]),
    "matroska": ("in.mkv", [*picture(30), *TONE, "-c:v", "libx264", "-g", "30", *AAC]),
    "audio only": ("in.m4a", [*TONE, *AAC]),
    # An AAC frame starting on every even second, decoded with the keyframe there.
    "aac at 64 khz": ("in.mp4", [*picture(30), "-f", "lavfi", "-i",
                                 f"sine=frequency=440:sample_rate=64000:duration={SECONDS}",
                                 "-c:v", "libx264", "-bf", "0", "-g", "30", "-sc_threshold", "0",
                                 *AAC]),
    # HEVC with closed groups, and with x265's own open ones, whose keyframes have leading
    # pictures decoded after them.
    "hevc": ("in.mp4", [*picture(25), *TONE, "-c:v", "libx265", "-x265-params",
                        "keyint=25:min-keyint=25:open-gop=0:scenecut=0:log-level=error", *AAC]),
    "hevc open gop": ("in.mp4", [*picture(25), *TONE, "-c:v", "libx265", "-x265-params",
                                 "keyint=25:log-level=error", *AAC]),
    # x264's open groups: I-frames that are not IDR pictures, with leading B-frames.
    "h264 open gop": ("in.mp4", [*picture(25), *TONE, "-c:v", "libx264", "-bf", "3", "-g", "25",
                                 "-x264-params", "open-gop=1", *AAC]),
    # A clock that starts past 0, planned from ffprobe's list.
    "mpeg-ts": ("in.ts", [*picture(30), *TONE, "-c:v", "libx264", "-g", "30", *AAC]),
    # Subtitles, which the segments do not carry: they come back from the split's side file.
    "subtitles": ("in.mp4", [*picture(30), *TONE, "-i", "cues.srt", "-map", "0", "-map", "1",
                             "-map", "2", "-c:v", "libx264", "-g", "30", *AAC, "-c:s",
                             "mov_text"]),
}
# Sources only refused: a commentary from 6 s on that runs 6 s past the last picture.
REFUSED_SOURCES = {
    "sound past the pictures": ("in.mp4", [*picture(25), *TONE, "-itsoffset", "6", *TONE, "-map",
                                           "0", "-map", "1", "-map", "2", "-c:v", "libx264",
                                           "-g", "25", "-sc_threshold", "0", *AAC]),
}
CUES = "".join(f"{n + 1}\n00:00:0{n},300 --> 00:00:0{n + 1},500\nLine {n}\n\n"
               for n in range(SECONDS - 1))


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    made = {}
    for name, (file_name, arguments) in {**SOURCES, **REFUSED_SOURCES}.items():
        path = tmp_path_factory.mktemp("source") / file_name
        (path.parent / "cues.srt").write_text(CUES)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *arguments, str(path)], check=True,
                       cwd=path.parent)
        made[name] = path
    return made


def probe(path, *entries, options=()):
    out = subprocess.run(["ffprobe", "-v", "error", *options, "-show_entries", ":".join(entries),
                          "-of", "json", str(path)], check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def stated_duration(path):
    return float(probe(path, "format=duration")["format"]["duration"])


@functools.lru_cache(maxsize=None)  # sources only: made once per module, never changed
def cut_planner(path):
    """Where ffmpeg can cut (at keyframes of the first video stream, at any audio packet without
    video), and the extent (seconds, bytes) of a segment from one cut to another. A segment's
    packets of the first stream are its own by position, the others' by decode time; it lasts
    from its first packet's presentation to the latest end of any of its packets, in whole
    milliseconds rounded up, and holds their bytes and the container's estimated boxes: 2048
    bytes and 16 a packet, 8 more a packet in a stream with composition offsets. The first
    segment starts where ffmpeg's timeline does, at the earliest packet but not before 0."""
    listed = probe(path, "stream=index,codec_type,time_base", "packet=stream_index,pts,dts,"
                   "duration,size,flags")
    streams = sorted((s for s in listed["streams"] if s["codec_type"] in ("video", "audio")),
                     key=lambda s: (s["codec_type"] != "video", s["index"]))
    tracks = []
    for stream in streams:
        base = Fraction(stream["time_base"])
        packets = [p for p in listed["packets"] if p["stream_index"] == stream["index"]]
        rows = [(base * int(p.get("dts", p["pts"])), base * int(p["pts"]),
                 base * int(p.get("duration", 0)), int(p["size"]), "K" in p["flags"])
                for p in packets]
        tracks.append(rows)
    offsets = [any(dts != pts for dts, pts, *_ in rows) for rows in tracks]
    reference = tracks[0]
    audio_only = streams[0]["codec_type"] == "audio"
    cuts = [i for i in range(1, len(reference)) if audio_only or reference[i][4]]
    cuts.append(len(reference))
    source_start = max(0, min(rows[0][1] for rows in tracks if rows))

    def extent(first, end):
        start_dts = reference[first][0] if first else None
        stop_dts = reference[end][0] if end < len(reference) else None
        taken = [reference[first:end]]
        for rows in tracks[1:]:
            taken.append([r for r in rows if (start_dts is None or r[0] >= start_dts)
                          and (stop_dts is None or r[0] < stop_dts)])
        last = max(pts + duration for rows in taken for _, pts, duration, _, _ in rows)
        start = reference[first][1] if first else source_start
        seconds = Fraction(math.ceil((last - start) * 1000), 1000)
        size = 2048 + sum(r[3] + 16 + 8 * offsets[t] for t, rows in enumerate(taken) for r in rows)
        return seconds, size

    return cuts, extent


def greedy_count(path, max_seconds, max_bytes):
    """The fewest segments for the caps, as cut_planner allows."""
    cuts, extent = cut_planner(path)

    def segment(first, end):
        seconds, size = extent(first, end)
        return (max_seconds is None or seconds <= max_seconds) and (
            max_bytes is None or size <= max_bytes)

    count, first, at = 0, 0, 0
    while first < cuts[-1]:
        assert segment(first, cuts[at]), "the caps are impossible"
        while at + 1 < len(cuts) and segment(first, cuts[at + 1]):
            at += 1
        first, at, count = cuts[at], at + 1, count + 1
    return count


def stream_packets(path):
    listed = probe(path, "stream=codec_type,nb_read_packets", options=["-count_packets"])
    return [(s["codec_type"], s["nb_read_packets"]) for s in listed["streams"]]


# What every row compares with, probed once per source.
source_packets = functools.lru_cache(maxsize=None)(stream_packets)
source_duration = functools.lru_cache(maxsize=None)(stated_duration)


# The join as it is (of split_video's segments too) lets the audio frames that run past each
# segment's video, and the last one the source's edit list cut short, add up to a little more.
JOIN_SLACK = 2 * 1024 / 44100 + 0.001


# Caps as fractions of the source: a time cap, a byte cap of about a third of the file, both.
CAPS = [
    pytest.param({"max_seconds": 3}, id="3 s"),
    pytest.param({"max_seconds": 2.5}, id="2.5 s"),
    pytest.param({"max_bytes": 1 / 2}, id="half the bytes"),
    pytest.param({"max_seconds": 4, "max_bytes": 2 / 5}, id="4 s and two fifths"),
]
# Every source under every cap, and a cap that only the AAC frame at the cut decides: 4
# segments of 2.0 s.
CASES = [pytest.param(source, *cap.values, id=f"{source}-{cap.id}")
         for source in SOURCES for cap in CAPS] + [
    pytest.param("aac at 64 khz", {"max_seconds": 2}, id="aac at 64 khz-2 s")]


@pytest.mark.parametrize("source, caps", CASES)
def test_segments_fit_their_caps_in_the_fewest_cuts(sources, tmp_path, caplog, source, caps):
    caplog.set_level(logging.INFO, logger="fendral_video.ffmpeg")
    path = sources[source]
    caps = {key: round(value * path.stat().st_size) if key == "max_bytes" else value
            for key, value in caps.items()}
    out = tmp_path / "out"
    # Paths as os.PathLike for one source, str for the others.
    given = (path, out) if source == "matroska" else (str(path), str(out))
    segments = fendral_video.split_to_fit(*given, **caps)
    assert pickle.loads(pickle.dumps(segments)) == segments

    max_seconds, max_bytes = caps.get("max_seconds"), caps.get("max_bytes")
    for index, segment in enumerate(segments):
        assert segment.index == index
        assert segment.path == os.path.join(str(out), f"chunk_{index:03d}.mp4")
        assert segment.size == os.path.getsize(segment.path)
        # ffprobe rounds to the nearest microsecond, the segment up.
        assert segment.duration == pytest.approx(stated_duration(segment.path), abs=1.01e-6)
        assert max_bytes is None or segment.size <= max_bytes
        assert max_seconds is None or segment.duration <= max_seconds
    assert [s.start for s in segments] == sorted(s.start for s in segments)
    # No source here has a timecode, which ffmpeg would warn of each segment if asked to move it.
    assert not [r for r in caplog.records if "timecode" in r.getMessage()]
    # Planned right the first time: ffmpeg cut once. A byte cap may take a second cut with the
    # boxes the first measured, when they let fewer segments hold than the estimate did (and a
    # third, back to the first, when that came out over).
    cuts = [r for r in caplog.records if "chunk_000.mp4' for writing" in r.getMessage()]
    greedy = greedy_count(path, max_seconds, max_bytes)
    if max_bytes is None:
        assert (len(cuts), len(segments)) == (1, greedy)
    else:
        assert len(cuts) <= 3 and len(segments) <= greedy

    joined = tmp_path / "joined.mp4"
    fendral.reconstruct_video(str(out), str(joined))
    assert stream_packets(joined) == source_packets(path)
    assert stated_duration(joined) == pytest.approx(source_duration(path), abs=JOIN_SLACK)
    # Where each starts, as ffmpeg's own segment list (kept for the join) says.
    listed = (out / "segment_times.csv").read_text().splitlines()
    assert [round(float(line.split(",")[1]), 3) for line in listed] == [
        round(s.start, 3) for s in segments]
    record = json.loads((out / "metadata.json").read_text())
    assert record["chunk_paths"] == [s.path for s in segments]


# Packed tight: a byte cap that every segment of a time split meets with 1 % to spare (the boxes
# of a segment not yet written are estimated from those of the segments that were) is met in as
# few segments at most.
@pytest.mark.parametrize("source, seconds", [("keyframe every second", 2.1), ("b-frames", 2.1),
                                             ("matroska", 2.1), ("audio only", 1)])
def test_a_byte_cap_a_time_split_meets_takes_no_more_segments(sources, tmp_path, source, seconds):
    path = str(sources[source])
    timed = fendral_video.split_to_fit(path, str(tmp_path / "timed"), max_seconds=seconds)
    cap = max(segment.size for segment in timed) * 101 // 100
    sized = fendral_video.split_to_fit(path, str(tmp_path / "sized"), max_bytes=cap)
    assert all(segment.size <= cap for segment in sized)
    assert len(sized) <= len(timed)


# {} stands for the refused stretch's bytes in MB (the first's, or the last's): encoders differ
# by a few bytes between machines.
@pytest.mark.parametrize("source, caps, message", [
    ("keyframe every second", {"max_seconds": 0.5},
     "the picture group at 0.000 s lasts 1.0 s and holds {:.3f} MB; a segment can hold at most "
     "0.5 s without re-encoding; reencode=True meets the cap"),
    ("x264 default gop", {"max_seconds": 30, "max_bytes": 10000},
     "the picture group at 0.000 s lasts 2.5 s and holds {:.3f} MB; a segment can hold at most "
     "30 s and 0.01 MB without re-encoding; reencode=True meets the caps"),
    # A re-encoded keyframe alone outgrows 5000 bytes: nothing is offered.
    ("x264 default gop", {"max_seconds": 30, "max_bytes": 5000},
     "the picture group at 0.000 s lasts 2.5 s and holds {:.3f} MB; a segment can hold at most "
     "30 s and 0.005 MB without re-encoding"),
    # AAC's priming packet, hidden by the edit list, still plays 23 ms; sound is never
    # re-encoded, so nothing is offered.
    ("audio only", {"max_bytes": 100},
     "the audio packet at 0.000 s lasts 0.023 s and holds {:.4f} MB; a segment can hold at most "
     "0.0001 MB without re-encoding"),
    # ffmpeg cuts on the pictures: re-encoded or not, the last group keeps the sound after it.
    ("sound past the pictures", {"max_seconds": 5},
     "the picture group at 7.000 s lasts 7.0 s, its sound running on 6.0 s past the last "
     "picture, and holds {:.3f} MB; a segment can hold at most 5 s without re-encoding"),
])
def test_a_cap_no_cut_can_meet_is_refused_before_anything_is_written(sources, tmp_path, source,
                                                                     caps, message):
    cuts, extent = cut_planner(sources[source])
    with pytest.raises(ValueError) as raised:
        fendral_video.split_to_fit(str(sources[source]), str(tmp_path / "out"), **caps)
    first, end = (cuts[-2], cuts[-1]) if source in REFUSED_SOURCES else (0, cuts[0])
    assert str(raised.value) == message.format(extent(first, end)[1] / 1e6)
    assert not (tmp_path / "out").exists()


def decoded_together(paths):
    """What a full decode of every stream of each file reports as errors (of all of them), and
    each one's decoded pictures of its first video stream in display order, from one run (a run
    costs more to start than a short segment takes to decode)."""
    arguments = [argument for path in paths for argument in ("-i", str(path))]
    for index in range(len(paths)):
        arguments += ["-map", str(index)]
    arguments += ["-f", "null", "-"]
    for index in range(len(paths)):
        arguments += ["-map", f"{index}:v:0"]
    run = subprocess.run(["ffmpeg", "-v", "error", *arguments, "-f", "framemd5", "-"],
                         check=True, capture_output=True, text=True)
    pictures = [[] for _ in paths]
    for line in run.stdout.splitlines():
        if line and not line.startswith("#"):
            pictures[int(line.split(",", 1)[0])].append(line.rsplit(",", 1)[1].strip())
    return run.stderr, pictures


def decoded(path):
    errors, (pictures,) = decoded_together([path])
    return errors, pictures


@functools.lru_cache(maxsize=None)
def source_hashes_of(path):
    return tuple(decoded(path)[1])


def frame_hashes(path):
    """The decoded pictures of a source made here (decoded once per module)."""
    return list(source_hashes_of(path))


# Caps below one picture group, met by re-encoding each segment's head: 1.5 s of a 2.5 s group,
# half of a 1 s group with B-frames, which cut only where every frame before the cut is
# displayed before every frame after it, and a quarter of the file, about 80 % of a group's
# bytes, where each head comes out larger than the frames it replaces (a frame there is under a
# tenth of the cap, so a segment can fill it to 90 %); a Matroska source's segments all head up
# to the next keyframe, whose last frame MPEG-TS gives no duration; HEVC's heads encoded by x265;
# open groups copied only from a keyframe without leading pictures (HEVC) or from an IDR picture
# (H.264: x264's open-gop leaves none after the first, so every segment after it is re-encoded).
# One byte cap is split into a directory named through a link, where its heads are kept.
@pytest.mark.parametrize("source, cap, limit", [
    ("x264 default gop", "max_seconds", 1.5), ("b-frames", "max_seconds", 0.5),
    ("x264 default gop", "max_bytes", 0.25), ("keyframe every second", "max_bytes", 0.25),
    ("b-frames", "max_bytes", 0.25), ("matroska", "max_seconds", 0.5),
    ("hevc", "max_seconds", 0.5), ("hevc open gop", "max_seconds", 1.3),
    ("h264 open gop", "max_bytes", 0.25)])
def test_reencode_meets_a_cap_below_one_picture_group(sources, tmp_path, source, cap, limit):
    path = sources[source]
    out = tmp_path / "out"
    if (source, cap) == ("b-frames", "max_bytes"):
        (tmp_path / "real").mkdir()
        out.symlink_to(tmp_path / "real")
    if cap == "max_bytes":
        limit = int(limit * path.stat().st_size)
    segments = fendral_video.split_to_fit(str(path), str(out), **{cap: limit}, reencode=True)
    assert pickle.loads(pickle.dumps(segments)) == segments
    assert any(segment.reencoded_frames for segment in segments)
    source_hashes = frame_hashes(path)
    errors, pictures = decoded_together([segment.path for segment in segments])
    assert errors == ""
    at = 0
    for segment, hashes in zip(segments, pictures):
        used = segment.duration if cap == "max_seconds" else segment.size
        assert used <= limit
        # Full to 90 %, or to within the four frames (0.16 s) of a B-frame run between cuts.
        least = min(0.9 * limit, limit - 0.17) if cap == "max_seconds" else 0.9 * limit
        assert segment is segments[-1] or used >= least
        # Every frame after the re-encoded head is the source's own picture.
        copied = slice(segment.reencoded_frames, len(hashes))
        assert hashes[copied] == source_hashes[at:at + len(hashes)][copied]
        at += len(hashes)
    assert at == len(source_hashes)
    listed = (out / "segment_times.csv").read_text().splitlines()
    assert [round(float(line.split(",")[1]), 3) for line in listed] == [
        round(s.start, 3) for s in segments]

    joined = tmp_path / "joined.mp4"
    fendral.reconstruct_video(str(out), str(joined))
    errors, hashes = decoded(joined)
    assert (errors, len(hashes)) == ("", len(source_hashes))
    assert stream_packets(joined) == source_packets(path)


# A re-encoded segment or trim whose decode reports an error is refused by name, and nothing is
# recorded; a trim leaves nothing at all.
@pytest.mark.parametrize("call", ["split_to_fit", "trim"])
def test_a_reencoded_segment_that_fails_its_check_is_not_recorded(sources, ffmpeg, tmp_path,
                                                                  call):
    ffmpeg.set(pass_to=shutil.which("ffmpeg", path=os.environ["PATH"].split(":", 1)[1]),
               unless="*-i /dev/fd/6 *-map 0 -f null -*", stderr="[error] broken")
    out = tmp_path / "out"
    source = str(sources["b-frames"])
    with pytest.raises(RuntimeError) as raised:
        if call == "trim":
            out.mkdir()
            fendral_video.trim(source, str(out / "cut.mp4"), start=1.3, end=2.5)
        else:
            fendral_video.split_to_fit(source, str(out), max_seconds=0.5, reencode=True)
    failed = (f"Failed to trim {source}" if call == "trim"
              else f"Failed to re-encode the head of segment {out}/chunk_001.mp4")
    assert str(raised.value) == f"{failed}: it decodes with errors: broken"
    assert not (out / "metadata.json").exists()
    assert call != "trim" or os.listdir(out) == []


# What cannot be re-encoded to match its copied frames is refused before anything is written:
# VP9, HEVC's range extensions (x265 would not write the copied frames' profile).
@pytest.mark.parametrize("call, name, encoder, refused", [
    ("split_to_fit", "in.webm", ["libvpx-vp9"], "vp9"),
    ("trim", "in.webm", ["libvpx-vp9"], "vp9"),
    ("trim", "in.mp4", ["libx265", "-pix_fmt", "yuv444p", "-x265-params", "log-level=error"],
     "hevc Rext"),
])
def test_reencode_refuses_a_stream_it_cannot_match(tmp_path, call, name, encoder, refused):
    path = tmp_path / name
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *picture(30)[:3],
                    "testsrc2=size=96x64:rate=30:duration=2", "-c:v", *encoder, "-g", "60",
                    str(path)], check=True)
    with pytest.raises(ValueError) as raised:
        if call == "trim":
            fendral_video.trim(str(path), str(tmp_path / "out.mp4"), start=0.5)
        else:
            fendral_video.split_to_fit(str(path), str(tmp_path / "out"), max_seconds=0.5,
                                       reencode=True)
    refusal = refused + " video cannot be re-encoded to match its copied frames"
    if call == "trim":
        assert str(raised.value) == refusal
    else:
        assert str(raised.value).endswith(" s without re-encoding; " + refusal)
    assert os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("arguments, error, message", [
    ({}, ValueError, "split_to_fit needs max_seconds, max_bytes or both"),
    ({"max_seconds": 0}, ValueError, "max_seconds must be a positive number of seconds"),
    ({"max_seconds": float("nan")}, ValueError, "max_seconds must be a positive number of seconds"),
    ({"max_seconds": 1e13}, ValueError, "max_seconds must be at most 3200000000000 seconds"),
    ({"max_bytes": 0}, ValueError, "max_bytes must be greater than 0"),
    ({"max_seconds": "30"}, TypeError,
     "argument 'max_seconds': 'str' object cannot be converted to 'float'"),
    ({"max_seconds": 1, "progress": 3}, TypeError, "progress must be callable or None"),
    ({"max_seconds": 1, "reencode": 1}, TypeError,
     "argument 'reencode': 'int' object cannot be converted to 'bool'"),
])
def test_arguments_are_checked_before_the_input_is_read(tmp_path, arguments, error, message):
    with pytest.raises(error) as raised:
        fendral_video.split_to_fit(str(tmp_path / "missing.mp4"), str(tmp_path / "out"),
                                   **arguments)
    assert str(raised.value) == message
    assert not (tmp_path / "out").exists()


# A copied segment leaves the re-encoded count out of its repr, and is built from the five
# fields that a pickle from before the count calls the class with.
@pytest.mark.parametrize("fields, text", [
    ((0, "a.mp4", 0.0, 1.5, 10), "Segment(0, 'a.mp4', start=0.0, duration=1.5, size=10)"),
    ((1, "b.mp4", 1.5, 2.0, 20, 7),
     "Segment(1, 'b.mp4', start=1.5, duration=2.0, size=20, reencoded_frames=7)"),
])
def test_a_segment_pickles_and_reads_back_as_its_repr(fields, text):
    segment = fendral_video.Segment(*fields)
    assert repr(segment) == text
    assert eval(text, {"Segment": fendral_video.Segment}) == segment
    assert pickle.loads(pickle.dumps(segment)) == segment
    assert segment.reencoded_frames == (fields[5:] or (0,))[0]


def test_caps_are_keyword_only(tmp_path):
    with pytest.raises(TypeError) as raised:
        fendral_video.split_to_fit("in.mp4", "out", 30)
    assert str(raised.value) == "split_to_fit() takes 2 positional arguments but 3 were given"


def test_progress_is_told_and_ends_at_the_total(sources, tmp_path):
    calls = []
    fendral_video.split_to_fit(str(sources["keyframe every second"]), str(tmp_path / "out"),
                               max_seconds=3, progress=lambda *told: calls.append(told))
    total = calls[-1][1]
    assert total == pytest.approx(SECONDS, abs=0.05)
    assert calls[-1] == (total, total)
    assert all(0 <= done <= total for done, _ in calls)


def test_progress_is_told_every_second_while_ffmpeg_is_silent(sources, ffmpeg, tmp_path):
    ffmpeg.set(segments=1, delay=2)  # two seconds without a progress report
    calls = []
    fendral_video.split_to_fit(str(sources["audio only"]), str(tmp_path / "out"), max_seconds=10,
                               progress=lambda *told: calls.append((time.monotonic(), told)))
    moments = [moment for moment, _ in calls]
    assert len(calls) >= 3
    assert max(b - a for a, b in zip(moments, moments[1:])) < 1


# Raised at once, or only at the last call, once the stand-in (which reports no progress) is done.
@pytest.mark.parametrize("last_only", [False, True])
def test_an_exception_in_progress_stops_the_split_and_records_nothing(sources, request, tmp_path,
                                                                      last_only):
    out = tmp_path / "out"
    if last_only:
        request.getfixturevalue("ffmpeg").set(segments=1)

    def stop(done, total):
        if not last_only or done == total:
            raise KeyError("enough")

    with pytest.raises(KeyError, match="enough"):
        fendral_video.split_to_fit(str(sources["audio only" if last_only else "x264 default gop"]),
                                   str(out), max_seconds=10 if last_only else 3, progress=stop)
    assert not (out / "metadata.json").exists()


@pytest.mark.parametrize("make, ending", [
    (lambda tmp_path: tmp_path / "missing.mp4", ": No such file or directory"),
    (lambda tmp_path: tmp_path, ": Is a directory"),
    (lambda tmp_path: (tmp_path / "notes.txt", (tmp_path / "notes.txt").write_text("hello"))[0],
     ": Invalid data found when processing input"),
])
def test_a_failure_ends_with_ffmpegs_own_error(tmp_path, make, ending):
    path = make(tmp_path)
    with pytest.raises(RuntimeError) as raised:
        fendral_video.split_to_fit(str(path), str(tmp_path / "out"), max_seconds=3)
    assert str(raised.value) == (
        f"ffprobe failed with status ExitStatus(ExitStatus(1)): {path}{ending}")


def test_an_ffmpeg_failure_ends_with_its_last_error_lines(sources, ffmpeg, tmp_path):
    ffmpeg.set(stderr="[error] chunk.mp4: No such file or directory", exit=1)
    with pytest.raises(RuntimeError) as raised:
        fendral_video.split_to_fit(str(sources["audio only"]), str(tmp_path / "out"), max_seconds=3)
    assert str(raised.value) == ("ffmpeg split failed with status ExitStatus(ExitStatus(1)): "
                                 "chunk.mp4: No such file or directory")


def test_ffmpegs_messages_go_to_the_logger(sources, tmp_path, caplog, capfd):
    with caplog.at_level(logging.INFO, logger="fendral_video.ffmpeg"):
        fendral_video.split_to_fit(str(sources["audio only"]), str(tmp_path / "out"),
                                   max_seconds=3)
    opened = [r for r in caplog.records if r.name == "fendral_video.ffmpeg"
              and r.levelno == logging.INFO and "chunk_001.mp4' for writing" in r.getMessage()]
    assert len(opened) == 1
    assert capfd.readouterr().err == ""


# Past the cap by 1000 bytes it is cut again; at the cap exactly it is kept; past it with the
# re-cut writing fewer segments than planned, the directory holds only the re-cut's.
@pytest.mark.parametrize("over, recut_writes, cuts", [(1000, None, 2), (0, None, 1),
                                                      (1000, 1, 2)])
def test_a_segment_larger_than_planned_is_cut_again(sources, ffmpeg, tmp_path, over, recut_writes,
                                                    cuts):
    path = str(sources["keyframe every second"])
    ffmpeg.set(pass_to=shutil.which("ffmpeg", path=os.environ["PATH"].split(":", 1)[1]))
    planned = fendral_video.split_to_fit(path, str(tmp_path / "first"), max_bytes=100_000)
    # The next run's first segment grows by a free box of padding.
    padding = 100_000 - planned[0].size + over
    grow = tmp_path / "padding"
    grow.write_bytes(struct.pack(">I", padding) + b"free" + bytes(padding - 8))
    ffmpeg.set(grow_once=grow, segments=recut_writes)
    out = tmp_path / "out"
    if recut_writes:
        with pytest.raises(RuntimeError) as raised:
            fendral_video.split_to_fit(path, str(out), max_bytes=100_000)
        assert str(raised.value).startswith("Failed to split: ffmpeg wrote 1 segments where ")
        assert os.listdir(out) == ["chunk_000.mp4"]
    else:
        segments = fendral_video.split_to_fit(path, str(out), max_bytes=100_000)
        assert all(s.size <= 100_000 for s in segments)
        assert (segments[0].size == 100_000) == (over == 0)
        assert (segments[0].duration < planned[0].duration) == (over > 0)
        assert sorted(os.listdir(out)) == sorted(
            [os.path.basename(s.path) for s in segments]
            + ["metadata.json", "segment_times.csv", "source_metadata.txt"])
    # The cuts of both splits, and no other run: the source holds only the streams the segments
    # carry.
    assert sum(" -f segment " in run for run in ffmpeg.runs()) == 1 + cuts
    assert len(ffmpeg.runs()) == 1 + cuts


def shown_times(path):
    """When each frame of the first video stream shows, in display order, from the file's start."""
    listed = probe(path, "format=start_time", "frame=best_effort_timestamp_time",
                   options=["-select_streams", "v:0"])
    start = float(listed["format"].get("start_time", 0))
    return sorted(float(f["best_effort_timestamp_time"]) - max(start, 0)
                  for f in listed["frames"])


def least_psnr(path, source, first, count):
    """The least PSNR of the file's frames against the source's from `first` on, paired in order
    (identical frames give none)."""
    compared = (f"[0:v:0]setpts=N[cut];[1:v:0]select=between(n\\,{first}\\,{first + count - 1}),"
                "setpts=N[source];[cut][source]psnr=stats_file=-")
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-i", str(source),
                          "-filter_complex", compared, "-f", "null", "-"], check=True,
                         capture_output=True, text=True).stdout
    values = [line.split("psnr_avg:")[1].split()[0] for line in out.splitlines()]
    assert len(values) == count
    return min((float(v) for v in values if v != "inf"), default=math.inf)


def sound(path):
    """The first audio stream decoded, one number a sample."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-map", "0:a:0", "-f",
                          "s16le", "-ac", "1", "-"], check=True, capture_output=True).stdout
    return struct.unpack(f"<{len(out) // 2}h", out)


# Frame-exact cuts: across groups (the head to the next closed keyframe re-encoded, the frames
# from there copied up to the last frame before the end that every frame shown before it is
# decoded before, the rest re-encoded), on keyframes (all copied), inside one group (all
# re-encoded), to the end; with B-frames, x264's own groups, a Matroska and an MPEG-TS source,
# HEVC with closed groups and with open ones (whose keyframes at 3, 4 and 5 s have leading
# pictures, so the copy ends where the B-frames allow), into QuickTime.
@pytest.mark.parametrize("source, start, end, reencoded, name", [
    ("b-frames", 1.3, 5.5, 17, "cut.mp4"),
    ("b-frames", 1.3, 5.45, 17 + 3, "cut.mp4"),
    ("b-frames", 2.0, 4.0, 0, "cut.mp4"),
    ("b-frames", 1.3, 1.7, 10, "cut.mov"),
    ("b-frames", 0, 0.5, 2, "cut.mp4"),
    ("x264 default gop", 0.9, None, 48, "cut.mp4"),
    ("matroska", 3.05, 6.5, 29, "cut.m4v"),
    ("mpeg-ts", 1.2, 3.5, 26, "cut.mp4"),
    ("hevc", 1.3, 5.5, 17, "cut.mp4"),
    ("hevc open gop", 1.3, 5.45, 17 + 4, "cut.mp4"),
    ("h264 open gop", 1.3, 5.5, 105, "cut.mp4"),
])
def test_trim_is_frame_exact(sources, tmp_path, source, start, end, reencoded, name):
    path = sources[source]
    out = tmp_path / name
    segment = fendral_video.trim(path, str(out), start=start, end=end)
    times = shown_times(path)
    first = next(i for i, t in enumerate(times) if t >= start - 1e-6)
    stop = next((i for i, t in enumerate(times) if end is not None and t >= end - 1e-6),
                len(times))
    assert (segment.index, segment.path, segment.reencoded_frames) == (0, str(out), reencoded)
    assert segment.start == pytest.approx(times[first], abs=1e-3)
    assert segment.size == out.stat().st_size
    assert segment.duration == pytest.approx(stated_duration(out), abs=1.01e-6)
    errors, hashes = decoded(out)
    assert errors == ""
    source_hashes = frame_hashes(path)[first:stop]
    assert len(hashes) == stop - first
    # Every frame but the re-encoded ones is the source's own picture; those reach 40 dB.
    assert sum(a == b for a, b in zip(hashes, source_hashes)) >= len(hashes) - reencoded
    assert least_psnr(out, path, first, len(hashes)) >= 40
    # The sound plays from the first frame's time to the sample (within a rounding of the
    # decoder; its last frame, decoded without a next one, aside), or to the millisecond of a
    # Matroska clock, and ends within one AAC frame after the last frame.
    cut_sound, source_sound = sound(out), sound(path)
    at = round(times[first] * 44100)
    slack = 44 if source == "matroska" else 0

    def differs(shift, count):
        return max(abs(a - b) for a, b in zip(cut_sound[:count], source_sound[at + shift:]))

    shift = min(range(-slack, slack + 1), key=lambda shift: differs(shift, 4096))
    assert differs(shift, len(cut_sound) - 2048) <= 2
    rate = 25 if source in ("b-frames", "hevc", "hevc open gop", "h264 open gop") else 30
    video_seconds = len(hashes) / rate
    assert 0 <= len(cut_sound) / 44100 - video_seconds <= 1024 / 44100 + 0.001 or end is None


# Refused before anything is written, the output's directory left as it was; an entry at the
# output, as the join refuses it, with the system's reason as the cause.
@pytest.mark.parametrize("source, output, arguments, error, message", [
    ("b-frames", "cut.mp4", {"start": -1}, ValueError, "start must be at least 0"),
    ("b-frames", "cut.mp4", {"start": 2, "end": 2}, ValueError, "end must be later than start"),
    ("b-frames", "cut.mp4", {"start": 8}, ValueError,
     "start is past the last frame, which shows at 7.96 s"),
    ("b-frames", "cut.mp4", {"start": 1.3, "end": 1.31}, ValueError,
     "no frame shows from 1.3 s to 1.31 s"),
    ("b-frames", "cut.mp4", {"start": float("inf")}, ValueError,
     "start must be a finite number of seconds"),
    ("b-frames", "cut.mp4", {"start": "1"}, TypeError,
     "argument 'start': 'str' object cannot be converted to 'float'"),
    ("b-frames", "cut.mp4", {"start": 1, "progress": 3}, TypeError,
     "progress must be callable or None"),
    ("b-frames", "cut.mkv", {"start": 1}, ValueError,
     "trim writes an MP4 or QuickTime file: the output must be a local file named .mp4, .m4v "
     "or .mov"),
    ("audio only", "cut.mp4", {"start": 1}, ValueError,
     "trim cuts a video, and the input has no video stream"),
    ("b-frames", "in.mp4", {"start": 1}, RuntimeError,
     "Failed to trim: the output cannot be created"),
])
def test_trim_refuses_before_anything_is_written(sources, source, output, arguments, error,
                                                 message):
    path = sources[source]
    before = sorted(os.listdir(path.parent))
    with pytest.raises(error) as raised:
        fendral_video.trim(str(path), str(path.parent / output), **arguments)
    assert str(raised.value) == message
    assert sorted(os.listdir(path.parent)) == before
    if error is RuntimeError:
        cause = raised.value.__cause__
        assert isinstance(cause, FileExistsError) and cause.filename == str(path)


def test_trim_leaves_out_a_sound_that_starts_after_it(tmp_path):
    # A commentary that starts at 6 s, beside the sound from the start.
    source, out = tmp_path / "in.mp4", tmp_path / "cut.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *picture(25), "-itsoffset", "6", *TONE,
                    *TONE, "-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264", "-bf", "3",
                    "-g", "25", *AAC, str(source)], check=True)
    fendral_video.trim(str(source), str(out), start=1.3, end=3)
    listed = probe(out, "stream=codec_type,nb_read_packets", options=["-count_packets"])
    audio = [int(s["nb_read_packets"]) for s in listed["streams"] if s["codec_type"] == "audio"]
    # The other sound cut to the 1.68 s shown: 1024 samples a packet at 44100 Hz, from the one
    # before the start.
    assert len(audio) == 1 and 72 <= audio[0] <= 76


def test_trim_tells_progress_before_the_output_appears(sources, tmp_path):
    out = tmp_path / "cut.mp4"
    calls = []

    def told(done, total):
        calls.append((done, total, out.exists()))
        if done == total:
            raise KeyError("enough")

    with pytest.raises(KeyError, match="enough"):
        fendral_video.trim(str(sources["b-frames"]), str(out), start=1.3, end=2.5,
                           progress=told)
    assert calls[-1] == (pytest.approx(1.2, abs=0.001),) * 2 + (False,)
    assert [done for done, *_ in calls] == sorted(done for done, *_ in calls)
    assert os.listdir(tmp_path) == []
