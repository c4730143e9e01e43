"""A stand-in for ffmpeg: a shell script that does what its FAKE_* variables ask.

A run goes in this order:
- The split's second run, which copies a source's subtitle and data streams into a side file,
  fails at once and unrecorded, as ffmpeg does for a source with none (unless FAKE_PASS_TO);
  with FAKE_SIDE_SIGNAL, it ends by that signal.
- FAKE_RUN_LOG: appends its arguments, as one line, to that file.
- FAKE_RECORD: records in that directory its signal state (`signals`), the descriptors it
  inherited (`fds`), its arguments (`argv`, NUL-terminated), its working directory (`cwd`) and
  its pid (`pid`, written whole at once).
- FAKE_PASS_TO: hands the run to that program (the real ffmpeg) unless its arguments, as one
  line, match the shell pattern FAKE_UNLESS. With FAKE_GROW_ONCE, the first run handed over
  then appends that file to the first segment (`grown` in FAKE_RECORD marks it done); with
  FAKE_SEGMENTS too, the runs after that one are the stand-in's own.
- Split (no argument `concat`): writes FAKE_SEGMENTS segments (each the SEGMENT below) from the
  pattern and names them in the segment list on descriptor 3, as ffmpeg names them, and writes
  FAKE_SOURCE_METADATA, when set, as the source's metadata on descriptor 4.
- FAKE_DAMAGE: `second_file` writes media_0.ts beside its last argument (as an HLS muxer
  does); `remove_dir` deletes the directory of its last argument, `replace_dir` puts a
  plain file in its place; `claim_output` writes "elsewhere" under the output's name one
  directory up, where a join places what it wrote.
- FAKE_WAIT: `answer` waits (up to 10 s, else exit 3) until the file `answered` appears in
  FAKE_RECORD; `killed` waits to be killed; `deaf` does too, ignoring SIGINT. Both first
  create the file `waiting` in FAKE_RECORD, so a test knows the segments are written.
- FAKE_DELAY: sleeps that many seconds.
- Concat: copies the list it is given (the first input) to the output (and to `concat_list` in
  FAKE_RECORD), so the caller can see it; with FAKE_OUTPUT, copies that file to the output instead.
- FAKE_STDERR: writes that line to standard error.
- Ends by the signal FAKE_SIGNAL (no core file), else with the exit code FAKE_EXIT (default 0).
"""

import os
import re
import struct
from pathlib import Path


def box(kind, payload=b""):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


# The smallest file the join takes for a segment: a movie box with one track that has a media
# clock (of unknown duration), a handler and an empty sample table.
SEGMENT = box(b"moov", box(b"trak", box(b"mdia", box(
    b"mdhd", bytes(12) + struct.pack(">II", 1000, 0xFFFFFFFF)) + box(
    b"hdlr", bytes(8) + b"vide") + box(b"minf", box(b"stbl")))))

SCRIPT = r"""#!/bin/sh
ulimit -c 0
if [ -z "$FAKE_PASS_TO" ]; then
  case " $* " in
    *" -0:V? "*) [ -n "$FAKE_SIDE_SIGNAL" ] && kill -s "$FAKE_SIDE_SIGNAL" $$; exit 1 ;;
  esac
fi
[ -n "$FAKE_RUN_LOG" ] && printf '%s\n' "$*" >> "$FAKE_RUN_LOG"
if [ -n "$FAKE_RECORD" ]; then
  # Signals first, with builtins only: the shell clears its own mask once it has forked.
  while IFS= read -r line; do
    case $line in SigIgn*|SigBlk*) printf '%s\n' "$line" ;; esac
  done < /proc/$$/status > "$FAKE_RECORD/signals"
  # Listed by a child: a redirection of the shell's own would add a descriptor.
  sh -c 'ls -l /proc/$PPID/fd > "$FAKE_RECORD/fds"'
  printf '%s\0' "$@" > "$FAKE_RECORD/argv"
  pwd > "$FAKE_RECORD/cwd"
  echo $$ > "$FAKE_RECORD/pid.$$" && mv "$FAKE_RECORD/pid.$$" "$FAKE_RECORD/pid"
fi
if [ -n "$FAKE_PASS_TO" ]; then
  case "$*" in
    $FAKE_UNLESS) ;;
    *) if [ -z "$FAKE_SEGMENTS" ] || [ ! -e "$FAKE_RECORD/grown" ]; then
         [ -z "$FAKE_GROW_ONCE" ] || [ -e "$FAKE_RECORD/grown" ] && exec "$FAKE_PASS_TO" "$@"
         "$FAKE_PASS_TO" "$@"; status=$?
         for last; do :; done
         cat "$FAKE_GROW_ONCE" >> "$(printf "$last" 0)" && : > "$FAKE_RECORD/grown"
         exit $status
       fi ;;
  esac
fi
mode=split previous= input=
for argument; do
  if [ "$previous" = "-i" ] && [ -z "$input" ]; then input=$argument; fi
  if [ "$argument" = "concat" ]; then mode=concat; fi
  previous=$argument
done
output=$previous
n=0
while [ "$mode" = split ] && [ "$n" -lt "${FAKE_SEGMENTS:-0}" ]; do
  segment=$(printf "$output" "$n")
  printf '@SEGMENT@' > "$segment"
  { printf '%s\n' "${segment##*/}" >&3; } 2>/dev/null
  n=$((n + 1))
done
if [ "$mode" = split ] && [ -n "$FAKE_SOURCE_METADATA" ]; then
  { printf '%s' "$FAKE_SOURCE_METADATA" >&4; } 2>/dev/null
fi
case "$FAKE_DAMAGE" in
  remove_dir) rm -rf "$(dirname "$output")" ;;
  replace_dir) rm -rf "$(dirname "$output")" && : > "$(dirname "$output")" ;;
  claim_output) printf elsewhere > "$(dirname "$(dirname "$output")")/${output##*/}" ;;
  second_file) printf media > "$(dirname "$output")/media_0.ts" ;;
esac
case "$FAKE_WAIT" in
  answer) n=0
          while [ ! -e "$FAKE_RECORD/answered" ]; do
            n=$((n + 1)); [ "$n" -gt 1000 ] && exit 3; sleep 0.01
          done ;;
  killed) [ -n "$FAKE_RECORD" ] && : > "$FAKE_RECORD/waiting"; exec sleep 600 ;;
  deaf) trap '' INT; [ -n "$FAKE_RECORD" ] && : > "$FAKE_RECORD/waiting"; exec sleep 600 ;;
esac
if [ -n "$FAKE_DELAY" ]; then sleep "$FAKE_DELAY"; fi
if [ "$mode" = concat ]; then
  cat "${FAKE_OUTPUT:-$input}" > "$output"
  if [ -n "$FAKE_RECORD" ]; then cat "$input" > "$FAKE_RECORD/concat_list"; fi
fi
if [ -n "$FAKE_STDERR" ]; then printf '%s\n' "$FAKE_STDERR" >&2; fi
if [ -n "$FAKE_SIGNAL" ]; then kill -s "$FAKE_SIGNAL" $$; fi
exit "${FAKE_EXIT:-0}"
""".replace("@SEGMENT@", "".join(f"\\{byte:03o}" for byte in SEGMENT))

VARIABLES = ("FAKE_RUN_LOG", "FAKE_RECORD", "FAKE_PASS_TO", "FAKE_UNLESS", "FAKE_GROW_ONCE",
             "FAKE_SEGMENTS", "FAKE_SOURCE_METADATA", "FAKE_DAMAGE", "FAKE_WAIT", "FAKE_DELAY",
             "FAKE_OUTPUT", "FAKE_STDERR", "FAKE_SIGNAL", "FAKE_EXIT", "FAKE_SIDE_SIGNAL")


def install(directory):
    """Writes the stand-in as `directory`/bin/ffmpeg and returns that bin directory."""
    bin_dir = os.path.join(directory, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    script = os.path.join(bin_dir, "ffmpeg")
    with open(script, "w") as out:
        out.write(SCRIPT)
    os.chmod(script, 0o755)
    return bin_dir


class FfmpegStandIn:
    """The stand-in first on PATH, with its FAKE_* variables set through `monkeypatch`; it
    records into `record_dir` unless told otherwise."""

    def __init__(self, directory, monkeypatch, record=True):
        self.monkeypatch = monkeypatch
        self.bin = Path(install(str(directory)))
        self.script = self.bin / "ffmpeg"
        self.record_dir = Path(directory) / "record"
        self.record_dir.mkdir(exist_ok=True)
        self.pid_file = self.record_dir / "pid"
        self.waiting_file = self.record_dir / "waiting"
        monkeypatch.setenv("PATH", f"{self.bin}:{os.environ['PATH']}")
        for variable in VARIABLES:
            monkeypatch.delenv(variable, raising=False)
        self.set(record=record)

    def set(self, **settings):
        """Sets FAKE_`NAME` for each setting `name`; None clears it. `record` is True or False:
        whether runs are recorded into `record_dir`, with the run log."""
        variables = {}
        for name, value in settings.items():
            if name == "record":
                variables["FAKE_RECORD"] = self.record_dir if value else None
                variables["FAKE_RUN_LOG"] = self.record_dir / "runs" if value else None
            elif "FAKE_" + name.upper() in VARIABLES:
                variables["FAKE_" + name.upper()] = value
            else:
                raise TypeError(f"the stand-in has no setting {name!r}")
        for variable, value in variables.items():
            if value is None:
                self.monkeypatch.delenv(variable, raising=False)
            else:
                self.monkeypatch.setenv(variable, str(value))
        if settings.get("signal") is not None:
            # A preloaded sanitizer runtime would catch SIGSEGV, SIGBUS and SIGFPE in the
            # stand-in.
            self.monkeypatch.delenv("LD_PRELOAD", raising=False)

    def started(self):
        return (self.record_dir / "argv").exists()

    def runs(self):
        """The arguments of each run so far, one line each."""
        return (self.record_dir / "runs").read_text().splitlines()

    def argv(self):
        return (self.record_dir / "argv").read_bytes().decode().split("\0")[:-1]

    def cwd(self):
        return Path((self.record_dir / "cwd").read_text().strip())

    def fds(self):
        """{descriptor: what it refers to}, as the last run inherited them."""
        lines = (self.record_dir / "fds").read_text().splitlines()
        return dict(re.search(r" (\d+) -> (.*)$", line).groups() for line in lines[1:])

    def stdin(self):
        return self.fds()["0"]

    def signal_masks(self):
        lines = (self.record_dir / "signals").read_text().splitlines()
        return {key: int(value, 16) for key, value in (line.split(":\t") for line in lines)}

    def concat_list(self):
        return (self.record_dir / "concat_list").read_bytes()
