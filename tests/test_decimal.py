"""The fallback that reads a double where the C++ library has no from_chars for one must read
every token exactly as from_chars does. g++'s library has both, so they are compared directly."""

from __future__ import annotations

import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fendral_testing.probes import built_probe


@pytest.fixture(scope="session")
def compare():
    executable = built_probe("decimal_probe")

    def run(tokens: list[str]) -> list[str]:
        answers = subprocess.run([str(executable)], input="".join(t + "\n" for t in tokens),
                                 capture_output=True, text=True, check=True).stdout
        return [f"{token!r}: {answer}" for token, answer in zip(tokens, answers.splitlines())
                if answer != "same"]

    return run


@pytest.mark.parametrize("tokens", [
    ["0", "-0", "0.0", "-0.000", "0e999999", "-0.0e-999999"],
    # The largest double, the first value that rounds past it, and far beyond.
    ["1.7976931348623157e308", "1.7976931348623158e308", "1.797693134862315808e308",
     "1e309", "-1e309", "1" + "0" * 400],
    # Normal to subnormal to zero: half the smallest subnormal rounds to zero, just above it
    # rounds up, and a zero result from nonzero digits is out of range.
    ["2.2250738585072014e-308", "2.2250738585072011e-308", "4.9406564584124654e-324",
     "2.4703282292062327e-324", "2.4703282292062328e-324", "2.4703282292062329e-324",
     "1e-400", "-1e-400", "0." + "0" * 400 + "1"],
    # Ties and long mantissas that need every digit to round correctly.
    ["9007199254740993", "9007199254740992.5", "0.30000000000000004",
     "2.225073858507201136057409796709131975934819546351645648e-308",
     "1" * 800 + "e-790", "123456789012345678901234567890e-30"],
    # Where the reading stops, and text that is no number.
    [".5", "1.", "1e", "1e+", "1E-5x", "12abc", "-", "-.", "-x", "", "+1", " 1", "\t1", "0x10",
     "-0X1p3", "0xg", "inf", "-Infinity", "infinit", "nan", "nan(123)", "NaN(", "i"],
], ids=["zeros", "overflow", "underflow", "rounding", "stops"])
def test_fallback_reads_like_from_chars(compare, tokens):
    assert compare(tokens) == []


decimal_tokens = st.builds(
    lambda sign, digits, point, exponent: sign + (
        digits[:point] + "." + digits[point:] if point is not None else digits) + exponent,
    st.sampled_from(["", "-"]),
    st.text("0123456789", min_size=1, max_size=30),
    st.one_of(st.none(), st.integers(0, 30)),
    st.one_of(st.just(""), st.integers(-360, 330).map(lambda e: f"e{e}"),
              st.integers(0, 400).map(lambda e: f"E+{e}")),
)


@settings(max_examples=50, deadline=None)
@given(st.lists(decimal_tokens, min_size=1, max_size=200))
def test_fallback_reads_random_decimals_like_from_chars(compare, tokens):
    assert compare(tokens) == []
