"""Splits on disk, as split_video leaves them, for the joins to read."""

import json
from pathlib import Path

from fendral_testing.ffmpeg_stand_in import SEGMENT


def write_metadata(directory, paths, chunk_count=None):
    """Writes `directory`/metadata.json listing `paths`, making the directory if need be."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    record = {"original_file": "in.mp4", "output_prefix": "p", "split_type": "time",
              "split_value": "1s", "chunk_paths": paths,
              "chunk_count": len(paths) if chunk_count is None else chunk_count}
    (directory / "metadata.json").write_text(json.dumps(record, ensure_ascii=False))


def write_split(directory, paths):
    """A metadata.json listing `paths` and each of them a segment; relative paths are taken
    from the parent of `directory`, as the working directory of the split was."""
    write_metadata(directory, paths)
    for path in paths:
        (Path(directory).parent / path).write_bytes(SEGMENT)
