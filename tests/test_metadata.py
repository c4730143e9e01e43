"""metadata.json: the exact bytes written and the strict reader's verdicts and messages."""

from __future__ import annotations

import json
import math
import re
from dataclasses import asdict, fields

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fendral_testing.metadata_probe import Probe, Record
from fendral_testing.probes import built_probe


@pytest.fixture(scope="session")
def probe():
    running = Probe(built_probe("metadata_probe"))
    yield running
    running.close()


EXAMPLE = b"""{
  "original_file": "in.mp4",
  "output_prefix": "out/chunk_%03d.mp4",
  "chunk_count": 2,
  "chunk_paths": [
    "out/chunk_000.mp4",
    "out/chunk_001.mp4"
  ],
  "split_type": "time",
  "split_value": "30s"
}"""

FIELDS = [f.name for f in fields(Record)]
# A valid record in array form; 29 bytes, its last value ends at offset 27.
ARRAY = '["a","p",1,["c"],"time","1s"]'
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))


def members(**values: str) -> list[str]:
    """Members of a valid record as text, with some values replaced (None drops the member)."""
    base = dict(original_file='"a"', output_prefix='"p"', chunk_count="1",
                chunk_paths='["c"]', split_type='"time"', split_value='"1s"')
    base.update(values)
    return [f'"{name}": {text}' for name, text in base.items() if text is not None]


def multiline(*items: str) -> str:
    """An object with one member per line and the closing brace alone on the last line."""
    return "{\n  " + ",\n  ".join(items) + "\n}"


# ---------------------------------------------------------------------------------------- writer


def test_writes_the_example_byte_for_byte(probe):
    written = probe.write(Record())
    assert written == EXAMPLE
    assert written.endswith(b"}")


def test_empty_list_stays_on_its_key_line(probe):
    written = probe.write(Record(chunk_count=0, chunk_paths=[]))
    assert b'  "chunk_count": 0,\n  "chunk_paths": [],\n  "split_type"' in written


@pytest.mark.parametrize("raw, escaped", [
    ('"', r"\""), ("\\", r"\\"), ("\b", r"\b"), ("\t", r"\t"), ("\n", r"\n"), ("\f", r"\f"),
    ("\r", r"\r"), ("\x00", r"\u0000"), ("\x1b", r"\u001b"), ("\x1f", r"\u001f"),
    ("\x0b", r"\u000b"), ("/", "/"), ("\x7f", "\x7f"), ("é", "é"), ("😀", "😀"),
])
def test_string_escapes(probe, raw, escaped):
    written = probe.write(Record(original_file=f"a{raw}b", chunk_paths=[raw]))
    assert f'"original_file": "a{escaped}b",'.encode() in written
    assert f'[\n    "{escaped}"\n  ]'.encode() in written


# ---------------------------------------------------------------------------------------- reader

TYPE = "invalid type: "
EXPECTED_RECORD = "expected struct Mp4ChunkMetadata"
LENGTH = "expected struct Mp4ChunkMetadata with 6 elements"

REFUSALS = [
    # Text ending early: the column is the length of the last line.
    ("", "EOF while parsing a value at line 1 column 0"),
    ("  \n", "EOF while parsing a value at line 2 column 0"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
    ('["a",', "EOF while parsing a value at line 1 column 5"),
    ('{"chunk_count":-', "EOF while parsing a value at line 1 column 16"),
    ('{"a":tru', "EOF while parsing a value at line 1 column 8"),
    ('{"a":1.', "EOF while parsing a value at line 1 column 7"),
    ('{"a":1e+', "EOF while parsing a value at line 1 column 8"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ('{"chunk_paths":["a"', "EOF while parsing a list at line 1 column 19"),
    ('{"x":[[1],', "EOF while parsing a value at line 1 column 10"),
    ('{"x":[[1]', "EOF while parsing a list at line 1 column 9"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a":1 ', "EOF while parsing an object at line 1 column 7"),
    ('{"x":{"y":{}', "EOF while parsing an object at line 1 column 12"),
    ('{"original_file":"abc', "EOF while parsing a string at line 1 column 21"),
    ('{"a":"\\', "EOF while parsing a string at line 1 column 7"),
    ('{"a":"\\u12', "EOF while parsing a string at line 1 column 10"),
    ('{"a":"\\ud800', "EOF while parsing a string at line 1 column 12"),
    ('{"a":"\\ud800\\', "EOF while parsing a string at line 1 column 13"),
    # Syntax faults: the column is that of the first byte that cannot be accepted.
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"x":{"a" 1}}', "expected `:` at line 1 column 11"),
    ('["a" "b"]', "expected `,` or `]` at line 1 column 6"),
    ('{"chunk_paths":["a" "b"]}', "expected `,` or `]` at line 1 column 21"),
    ('{"x":[1 2]}', "expected `,` or `]` at line 1 column 9"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"x":{"a":1 2}}', "expected `,` or `}` at line 1 column 13"),
    ('{"a":nul}', "expected ident at line 1 column 9"),
    ('{"original_file":tru }', "expected ident at line 1 column 21"),
    ("nulL", "expected ident at line 1 column 4"),
    ('{"a":}', "expected value at line 1 column 6"),
    ("\ufeff{}", "expected value at line 1 column 1"),
    ('{"a":+1}', "expected value at line 1 column 6"),
    ("{\"original_file\":'x'}", "expected value at line 1 column 18"),
    ('{"x":[NaN]}', "expected value at line 1 column 7"),
    ('{"a":"\\x"}', "invalid escape at line 1 column 8"),
    ('{"a":"\\U0041"}', "invalid escape at line 1 column 8"),
    ('{"a":"\\u12G4"}', "invalid escape at line 1 column 12"),
    ('{"a":"\\ud800\\uZZZZ"}', "invalid escape at line 1 column 18"),
    ('{"a":01}', "invalid number at line 1 column 7"),
    ('{"a":-x}', "invalid number at line 1 column 7"),
    ('{"a":-Infinity}', "invalid number at line 1 column 7"),
    ('{"a":1.x}', "invalid number at line 1 column 8"),
    ('{"a":1ex}', "invalid number at line 1 column 8"),
    ('{"a":1e+}', "invalid number at line 1 column 9"),
    ('{"chunk_count":-01}', "invalid number at line 1 column 18"),
    ('{"a":1e400}', "number out of range at line 1 column 10"),
    ('{"chunk_count":-1e400 }', "number out of range at line 1 column 21"),
    ('{"chunk_count":1' + "0" * 400 + "}", "number out of range at line 1 column 416"),
    ('{"a":"x\ty"}', "control character (\\u0000-\\u001F) found while parsing a string"
                     " at line 1 column 8"),
    ('{"a":"x\ny"}', "control character (\\u0000-\\u001F) found while parsing a string"
                     " at line 2 column 0"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("{,}", "key must be a string at line 1 column 2"),
    ('{"a":1,2:3}', "key must be a string at line 1 column 8"),
    ('{"x":{"a":1,2:3}}', "key must be a string at line 1 column 13"),
    ('{"a":"\\udc00"}', "lone leading surrogate in hex escape at line 1 column 12"),
    ('{"a":"\\ud800\\u0041"}', "lone leading surrogate in hex escape at line 1 column 18"),
    ('{"a":"\\ud800"}', "unexpected end of hex escape at line 1 column 13"),
    ('{"a":"\\ud800\\n"}', "unexpected end of hex escape at line 1 column 14"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ('["a",]', "trailing comma at line 1 column 6"),
    ('{"chunk_paths":["a",]}', "trailing comma at line 1 column 21"),
    ('{"x":[1,]}', "trailing comma at line 1 column 9"),
    ('{"x":{"a":1,}}', "trailing comma at line 1 column 13"),
    (ARRAY[:-1] + ",]", "trailing comma at line 1 column 30"),
    (ARRAY + " 1", "trailing characters at line 1 column 31"),
    (ARRAY[:-1] + ",7]", "trailing characters at line 1 column 30"),
    (multiline(*members()) + "{}", "trailing characters at line 8 column 2"),
    # Fields: missing, duplicate, wrong length.
    ("{}", "missing field `original_file` at line 1 column 2"),
    (multiline(*members(split_value=None)), "missing field `split_value` at line 7 column 1"),
    (multiline(*members(chunk_count=None), '"Chunk_Count": 1'),
     "missing field `chunk_count` at line 8 column 1"),
    ('{"original_file":"a","original_file":1}',
     "duplicate field `original_file` at line 1 column 36"),
    (multiline(*members(), '"chunk_paths"'), "duplicate field `chunk_paths` at line 8 column 15"),
    ("[]", f"invalid length 0, {LENGTH} at line 1 column 2"),
    ('["a","p",1,["c"],"time"]', f"invalid length 5, {LENGTH} at line 1 column 24"),
    # Type and value mismatches.
    ("null", f"{TYPE}null, {EXPECTED_RECORD} at line 1 column 4"),
    ("12", f"{TYPE}integer `12`, {EXPECTED_RECORD} at line 1 column 2"),
    ('"a\\"\\\\\\t"', f'{TYPE}string "a\\"\\\\\\t", {EXPECTED_RECORD} at line 1 column 9'),
    ('{"original_file":1}', f"{TYPE}integer `1`, expected a string at line 1 column 18"),
    ('{"original_file":-7}', f"{TYPE}integer `-7`, expected a string at line 1 column 19"),
    ('{"original_file":true}', f"{TYPE}boolean `true`, expected a string at line 1 column 21"),
    ('{"split_type":false}', f"{TYPE}boolean `false`, expected a string at line 1 column 19"),
    ('{"split_value":null}', f"{TYPE}null, expected a string at line 1 column 19"),
    ('{"original_file":[1]}', f"{TYPE}sequence, expected a string at line 1 column 17"),
    ('{"output_prefix": {}}', f"{TYPE}map, expected a string at line 1 column 18"),
    ('{"chunk_paths":"a"}', f'{TYPE}string "a", expected a sequence at line 1 column 18'),
    ('{"chunk_paths":["a",1]}', f"{TYPE}integer `1`, expected a string at line 1 column 21"),
    ('{"chunk_count":"2"}', f'{TYPE}string "2", expected usize at line 1 column 18'),
    ('{"chunk_count":[]}', f"{TYPE}sequence, expected usize at line 1 column 15"),
    ('{"chunk_count":3.0}', f"{TYPE}floating point `3.0`, expected usize at line 1 column 18"),
    ('{"chunk_count":1.5}', f"{TYPE}floating point `1.5`, expected usize at line 1 column 18"),
    ('{"chunk_count":1e2}', f"{TYPE}floating point `100.0`, expected usize at line 1 column 18"),
    ('{"chunk_count":-0}', f"{TYPE}floating point `-0.0`, expected usize at line 1 column 17"),
    ('{"chunk_count":18446744073709551616}',
     f"{TYPE}floating point `18446744073709552000.0`, expected usize at line 1 column 35"),
    ('{"chunk_count":-9223372036854775809}',
     f"{TYPE}floating point `-9223372036854776000.0`, expected usize at line 1 column 35"),
    ('{"chunk_count":-1}', "invalid value: integer `-1`, expected usize at line 1 column 17"),
    ('{"chunk_count":-9223372036854775808}',
     "invalid value: integer `-9223372036854775808`, expected usize at line 1 column 35"),
    # Columns count bytes; a carriage return is an ordinary byte of its line.
    ('{"é":1 2}', "expected `,` or `}` at line 1 column 9"),
    ('{\r\n  "a": 1,\r\n  "b" 2\r\n}', "expected `:` at line 3 column 7"),
    ('{\r\n  "a": 1,\r\n  "b" \r\n}', "expected `:` at line 4 column 1"),
]


@pytest.mark.parametrize("text, message", REFUSALS)
def test_refusals(probe, text, message):
    assert probe.read(text) == message


def test_crlf_reports_the_lines_and_columns_of_lf(probe):
    text = multiline(*members(chunk_count='"1"'))
    assert probe.read(text.replace("\n", "\r\n")) == probe.read(text)


@pytest.mark.parametrize("text, expected", [
    (EXAMPLE.decode(), Record()),
    (ARRAY, Record("a", "p", 1, ["c"], "time", "1s")),
    (" \t\r\n" + ARRAY.replace(",", " ,\n\t") + "\r\n ", Record("a", "p", 1, ["c"], "time", "1s")),
    ("{" + ",".join(reversed(members())) + "}", Record("a", "p", 1, ["c"], "time", "1s")),
    ("{" + ",".join(members(chunk_count="0", chunk_paths="[]")) + "}",
     Record("a", "p", 0, [], "time", "1s")),
    ("{" + ",".join(members(chunk_count="18446744073709551615")) + "}",
     Record("a", "p", 2**64 - 1, ["c"], "time", "1s")),
    ('{"x": [1, -2.5e-3, "\\ud83d\\ude00", {"y": [null, true, false, {}]}, []], '
     + ", ".join(members()) + ', "Chunk_Count": "x", "z": {"a": {"b": 1E+2}}}',
     Record("a", "p", 1, ["c"], "time", "1s")),
    ('{"\\u006frigin\\u0061l_file": "\\u00e9\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\\"\\\\", '
     + ", ".join(members(original_file=None, split_type='""')) + "}",
     Record("é😀/\b\f\n\r\t\"\\", "p", 1, ["c"], "", "1s")),
])
def test_accepted(probe, text, expected):
    assert probe.read(text) == expected


def test_ten_million_levels_in_an_extra_value(probe):
    depth = 10_000_000
    arrays = "[" * depth + "0" + "]" * depth
    objects = '{"a":' * (depth // 5) + "0" + "}" * (depth // 5)
    for value in (arrays, objects):
        text = '{"deep": ' + value + ", " + ", ".join(members()) + "}"
        assert probe.read(text) == Record("a", "p", 1, ["c"], "time", "1s")
    cut = '{"deep": ' + "[" * depth
    assert probe.read(cut) == f"EOF while parsing a list at line 1 column {len(cut)}"


# -------------------------------------------------------------------------------------- properties

RECORDS = st.builds(
    Record, st.text(), st.text(), st.integers(0, 2**64 - 1),
    st.lists(st.text(), max_size=5), st.text(), st.text(),
)


@SETTINGS
@given(RECORDS)
def test_any_record_reads_back_equal(probe, record):
    written = probe.write(record)
    assert probe.read(written) == record
    assert json.loads(written) == asdict(record)  # an independent reader agrees
    assert list(json.loads(written)) == FIELDS


SYNTAX_REASONS = (
    "EOF while parsing", "expected ", "invalid escape", "invalid number", "number out of range",
    "control character", "key must be a string", "lone leading surrogate", "trailing comma",
    "trailing characters", "unexpected end of hex escape",
)
SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")

WHITESPACE = st.sampled_from(["", " ", "\n", "\t", "\r\n  "])
SCALARS = st.one_of(
    st.sampled_from(["true", "false", "null", "tru", "nul", "NaN", "Infinity", "-Infinity",
                     "-", "+1", ".5", "1e-400", "1e400"]),
    st.integers(-(2**70), 2**70).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    # Loose on purpose: leading zeros, empty fractions and exponents.
    st.from_regex(r"-?[0-9]{1,3}(\.[0-9]{0,2})?([eE][+-]?[0-9]{0,3})?", fullmatch=True),
    st.builds(json.dumps, st.text(), ensure_ascii=st.booleans()),
    st.lists(st.sampled_from(["a", "é", "😀", "\\n", '\\"', "\\/", "\\u00e9", "\\ud83d\\ude00",
                              "\\ud800", "\\udc00", "\\x", "\\u12", "\t", "\x7f", "\\"]))
    .map(lambda parts: '"' + "".join(parts) + '"'),
)


def containers(children):
    """Arrays and objects, now and then with a trailing comma."""
    items = st.lists(st.tuples(WHITESPACE, children), max_size=4)
    members = st.lists(
        st.tuples(st.builds(json.dumps, st.text(max_size=3)), WHITESPACE, children), max_size=4)
    end = st.sampled_from(["", "", "", ","])
    return st.one_of(
        st.builds(lambda xs, e: "[" + ",".join(w + x for w, x in xs) + e + "]", items, end),
        st.builds(lambda xs, e: "{" + ",".join(f"{k}:{w}{v}" for k, w, v in xs) + e + "}",
                  members, end),
    )


@st.composite
def json_texts(draw):
    """A JSON text, left valid or corrupted at one place."""
    text = draw(st.recursive(SCALARS, containers, max_leaves=12))
    how = draw(st.sampled_from(["keep", "keep", "delete", "insert", "replace", "cut"]))
    if how == "keep" or not text:
        return text
    at = draw(st.integers(0, len(text) - 1))
    byte = draw(st.sampled_from(list('{}[],:"\\0-.e+ nt\x01u')))
    return {"delete": text[:at] + text[at + 1:], "insert": text[:at] + byte + text[at:],
            "replace": text[:at] + byte + text[at + 1:], "cut": text[:at]}[how]


def python_verdict(text: str) -> tuple[bool, bool]:
    """Whether Python's json accepts `text` (NaN and infinities refused), and whether a number
    in it overflows a double."""
    overflow = False

    def number(literal: str) -> float:
        nonlocal overflow
        value = float(literal)
        overflow |= math.isinf(value)
        return value

    def refuse(literal: str):
        raise ValueError(literal)

    try:
        json.loads(text, parse_float=number, parse_int=number, parse_constant=refuse)
    except ValueError:
        return False, overflow
    return True, overflow


@SETTINGS
@given(json_texts(), st.none() | st.sampled_from(FIELDS))
def test_syntax_agrees_with_python(probe, value, field):
    """The value of an extra key (or of a field) is replaced by an arbitrary JSON text."""
    text = "{" + ", ".join(members(**({field: value} if field else {}))) + ', "extra": '
    text += "0}" if field else value + "}"
    python_accepts, overflow = python_verdict(text)
    verdict = probe.read(text)
    reason = None if isinstance(verdict, Record) else verdict.rpartition(" at line ")[0]
    syntax_refused = reason is not None and reason.startswith(SYNTAX_REASONS)
    if not python_accepts:
        assert reason is not None
        assert syntax_refused or field is not None
    elif syntax_refused:
        if reason.startswith(("lone leading surrogate", "unexpected end of hex escape")):
            assert SURROGATE_ESCAPE.search(text)
        else:
            assert reason == "number out of range" and overflow
    elif field is None:
        assert reason is None, reason


def test_the_module_refuses_exactly_as_the_probe(tmp_path):
    """The reader inside reconstruct_video is the one the probe drives: same verdicts, prefixed."""
    import fendral

    for text, message in REFUSALS:
        (tmp_path / "metadata.json").write_text(text, encoding="utf-8")
        with pytest.raises(RuntimeError) as refused:
            fendral.reconstruct_video(str(tmp_path), str(tmp_path / "joined.mp4"))
        assert refused.value.args == (f"Serde error: {message}",)
    assert not (tmp_path / "concat_list.txt").exists()
