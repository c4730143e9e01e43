"""Drives the native metadata reader and writer through a small C++ probe program.

The probe is tests/support/metadata_probe.cpp built with the video library, and one process
answers every request, a line each.
"""

from __future__ import annotations

import subprocess
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Record:
    original_file: str = "in.mp4"
    output_prefix: str = "out/chunk_%03d.mp4"
    chunk_count: int = 2
    chunk_paths: list[str] = field(
        default_factory=lambda: ["out/chunk_000.mp4", "out/chunk_001.mp4"]
    )
    split_type: str = "time"
    split_value: str = "30s"


def _text_token(text: str) -> str:
    return "x" + text.encode("utf-8", "surrogatepass").hex()


def _text_of(token: str) -> str:
    assert token.startswith("x"), token
    return bytes.fromhex(token[1:]).decode("utf-8", "surrogateescape")


class Probe:
    def __init__(self, executable: Path):
        self._process = subprocess.Popen(
            [str(executable)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            encoding="ascii",
        )

    def _ask(self, request: str) -> str:
        assert self._process.stdin and self._process.stdout
        self._process.stdin.write(request + "\n")
        self._process.stdin.flush()
        reply = self._process.stdout.readline()
        assert reply, f"probe died with status {self._process.wait()}"
        return reply.rstrip("\n")

    def read(self, text: str | bytes) -> Record | str:
        """The record read from `text`, or the refusal message as a str."""
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
        kind, _, rest = self._ask("R " + data.hex()).partition(" ")
        if kind == "ERR":
            return bytes.fromhex(rest).decode("utf-8", "surrogateescape")
        assert kind == "OK", (kind, rest)
        tokens = rest.split(" ")
        return Record(
            original_file=_text_of(tokens[0]),
            output_prefix=_text_of(tokens[1]),
            chunk_count=int(tokens[2]),
            split_type=_text_of(tokens[3]),
            split_value=_text_of(tokens[4]),
            chunk_paths=[_text_of(token) for token in tokens[5:]],
        )

    def write(self, record: Record) -> bytes:
        """The exact bytes the writer renders for `record`."""
        fields = [
            _text_token(record.original_file),
            _text_token(record.output_prefix),
            str(record.chunk_count),
            _text_token(record.split_type),
            _text_token(record.split_value),
            *(_text_token(path) for path in record.chunk_paths),
        ]
        kind, _, rest = self._ask("W " + " ".join(fields)).partition(" ")
        assert kind == "JSON", (kind, rest)
        return bytes.fromhex(rest)

    def close(self) -> None:
        assert self._process.stdin
        self._process.stdin.close()
        self._process.wait(timeout=30)
