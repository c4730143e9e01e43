"""A quick stand-in for ffmpeg for the robustness tests, whose calls come by the thousand.

In split mode it writes FAKE_SEGMENTS segments (each the SEGMENT below) from the pattern and
names them in the segment list on descriptor 3; in
concat mode it copies the list it is given to the output, so the caller can see it.
FAKE_ACTION then picks a misbehaviour: `remove_dir` deletes the segment directory,
`replace_dir` puts a plain file in its place, `await_kill` writes its pid to FAKE_PID_FILE and
waits to be killed. FAKE_EXIT is its exit code. Each run adds a line to FAKE_RUN_LOG, when set.
"""

import os

# The smallest file the join takes for a segment: a movie box holding one empty track box.
SEGMENT = b"\0\0\0\x10moov\0\0\0\x08trak"
SEGMENT_PRINTF = r"printf '\000\000\000\020moov\000\000\000\010trak'"

SCRIPT = r"""#!/bin/sh
[ -n "$FAKE_RUN_LOG" ] && echo >> "$FAKE_RUN_LOG"
for last; do :; done
if [ "$2" = "concat" ]; then
  cat "$8" > "$last"
else
  n=0
  while [ "$n" -lt "${FAKE_SEGMENTS:-0}" ]; do
    segment=$(printf "$last" "$n")
    SEGMENT_PRINTF > "$segment"
    printf '%s\n' "${segment##*/}" >&3
    n=$((n + 1))
  done
fi
case "$FAKE_ACTION" in
  remove_dir) rm -rf "$(dirname "$last")" ;;
  replace_dir) rm -rf "$(dirname "$last")" && : > "$(dirname "$last")" ;;
  await_kill) echo $$ > "$FAKE_PID_FILE.part" && mv "$FAKE_PID_FILE.part" "$FAKE_PID_FILE"
              exec sleep 600 ;;
esac
exit "${FAKE_EXIT:-0}"
""".replace("SEGMENT_PRINTF", SEGMENT_PRINTF)

VARIABLES = ("FAKE_SEGMENTS", "FAKE_ACTION", "FAKE_PID_FILE", "FAKE_EXIT", "FAKE_RUN_LOG")


def install(directory):
    """Writes the stand-in as `directory`/bin/ffmpeg and returns that bin directory."""
    bin_dir = os.path.join(directory, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    script = os.path.join(bin_dir, "ffmpeg")
    with open(script, "w") as out:
        out.write(SCRIPT)
    os.chmod(script, 0o755)
    return bin_dir


def use(monkeypatch, directory, **variables):
    """Puts the stand-in first on PATH with the given FAKE_* variables (others cleared)."""
    bin_dir = install(str(directory))
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)
    for name, value in variables.items():
        monkeypatch.setenv(name, str(value))
    return bin_dir
