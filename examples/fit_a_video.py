"""Cut a video into segments that each fit a time cap and a size cap, then join them back
(needs ffmpeg on PATH).

Make a 6-second clip first, for instance:
    ffmpeg -nostdin -f lavfi -i testsrc=size=320x240:rate=25:duration=6 \
           -f lavfi -i sine=duration=6 -c:v mpeg4 -g 25 -c:a aac clip.mp4
"""

import logging

import fendral
import fendral_video

logging.basicConfig(level=logging.ERROR)  # ffmpeg's errors, from "fendral_video.ffmpeg"

segments = fendral_video.split_to_fit(
    "clip.mp4", "clip-parts", max_seconds=2.5, max_bytes=200_000,
    progress=lambda done, total: print(f"\r{done / total:.0%}", end=""))
print()
for segment in segments:
    # Segment(index, path, start, duration, size): every one within both caps.
    assert segment.duration <= 2.5 and segment.size <= 200_000
    print(segment.index, segment.path, f"{segment.start:.2f} s", f"{segment.duration:.2f} s")

# The directory is a split directory: the usual join puts it back together.
fendral.reconstruct_video("clip-parts", "clip-fitted-joined.mp4")

try:
    # Keyframes come once a second here: no cut without re-encoding makes 0.5 s segments.
    fendral_video.split_to_fit("clip.mp4", "clip-parts-2", max_seconds=0.5)
except ValueError as error:
    # the picture group at 0.000 s lasts 1.0 s and holds 0.039 MB; a segment can hold at most
    # 0.5 s without re-encoding
    print(error)
