"""Split a video into 2-second segments and join them back (needs ffmpeg on PATH).

Make a 6-second clip first, for instance:
    ffmpeg -nostdin -f lavfi -i testsrc=size=320x240:rate=25:duration=6 \
           -f lavfi -i sine=duration=6 -c:v mpeg4 -g 25 -c:a aac clip.mp4
"""

import json

import fendral

fendral.split_video("clip.mp4", "clip-segments", 2)
with open("clip-segments/metadata.json") as metadata:
    print(json.load(metadata)["chunk_paths"])
    # ['clip-segments/chunk_000.mp4', 'clip-segments/chunk_001.mp4', 'clip-segments/chunk_002.mp4']

# ffmpeg asks before it overwrites, so the joined file must not exist yet.
fendral.reconstruct_video("clip-segments", "clip-joined.mp4")

try:
    fendral.split_video("no-such-clip.mp4", "clip-segments-2", 2)
except RuntimeError as error:
    print(error)  # ffmpeg split failed with status ExitStatus(ExitStatus(1))
