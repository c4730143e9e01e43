"""The Chunk class."""

import ctypes
import sys

import pytest

from fendral import Chunk


def host_error_text(function_name, argument):
    """What CPython's own C function says about this argument: passed on unchanged, and worded
    differently before 3.10."""
    function = getattr(ctypes.pythonapi, function_name)
    function.argtypes = [ctypes.py_object]
    function.restype = ctypes.c_long
    with pytest.raises(TypeError) as caught:
        function(argument)
    return str(caught.value)


@pytest.mark.parametrize("data, payload", [
    (b"", b""),
    (b"AB", b"AB"),
    (bytearray(b"\x00\xff"), b"\x00\xff"),
    ([0, 255], b"\x00\xff"),
    ((1, 2, 3), b"\x01\x02\x03"),
    ([True, False], b"\x01\x00"),
    (memoryview(b"mv"), b"mv"),
    (range(3), b"\x00\x01\x02"),
])
def test_accepted_payloads(data, payload):
    chunk = Chunk(7, data)
    assert chunk.data == payload
    assert type(chunk.data) is bytes
    assert chunk.index == 7


@pytest.mark.parametrize("index", [0, 1, 2**64 - 1, True])
def test_index_range(index):
    assert Chunk(index, b"").index == index


@pytest.mark.parametrize("index, data, error", [
    (-1, b"", (OverflowError, "can't convert negative int to unsigned")),
    (2**64, b"", (OverflowError, "int too big to convert")),
    ("0", b"", (TypeError, "argument 'index': 'str' object cannot be interpreted as an integer")),
    (0, "", (TypeError, "argument 'data': Can't extract `str` to `Vec`")),
    (0, "ab", (TypeError, "argument 'data': Can't extract `str` to `Vec`")),
    (0, 5, (TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'")),
    (0, (x for x in b""),
     (TypeError, "argument 'data': 'generator' object cannot be converted to 'Sequence'")),
    (0, [256], (OverflowError, "out of range integral type conversion attempted")),
    (0, [-1], (OverflowError, "out of range integral type conversion attempted")),
    (0, [1, "a"], (TypeError, "argument 'data': " + host_error_text("PyLong_AsLong", "a"))),
    (0, [2**70], (OverflowError, "Python int too large to convert to C long")),
    (-1, "bad", (OverflowError, "can't convert negative int to unsigned")),
])
def test_refused_arguments(index, data, error):
    with pytest.raises(BaseException) as caught:
        Chunk(index, data)
    assert (type(caught.value), str(caught.value)) == error


def test_payload_is_a_private_copy():
    source = bytearray(b"abc")
    chunk = Chunk(0, source)
    source[0] = ord("z")
    assert chunk.data == b"abc"
    assert chunk.data is not chunk.data


def test_keyword_order_does_not_matter():
    by_keyword = Chunk(data=[1, 2], index=3)
    by_position = Chunk(3, [1, 2])
    assert (by_keyword.index, by_keyword.data) == (by_position.index, by_position.data)


@pytest.mark.parametrize("index, data, text", [
    (0, b"", "<Chunk index=0 data=[]>"),
    (2, b"AB", "<Chunk index=2 data=[65, 66]>"),
    (2**64 - 1, bytes([0, 9, 10, 99, 100, 255]),
     "<Chunk index=18446744073709551615 data=[0, 9, 10, 99, 100, 255]>"),
])
def test_text_form(index, data, text):
    chunk = Chunk(index, data)
    assert repr(chunk) == text
    assert str(chunk) == text


def test_text_form_lists_every_byte():
    data = bytes(range(256)) * 40
    assert repr(Chunk(1, data)) == "<Chunk index=1 data=[" + ", ".join(map(str, data)) + "]>"


@pytest.mark.parametrize("attribute", ["index", "data", "other"])
def test_instances_are_immutable(attribute):
    chunk = Chunk(1, b"x")
    with pytest.raises(AttributeError):
        setattr(chunk, attribute, 2)
    with pytest.raises(AttributeError):
        delattr(chunk, attribute)
    assert (chunk.index, chunk.data) == (1, b"x")


def test_identity_equality_and_hash():
    first, second = Chunk(1, b"x"), Chunk(1, b"x")
    assert first != second
    assert first == first
    assert hash(first) == object.__hash__(first)


def test_dealloc_releases_the_class_reference():
    before = sys.getrefcount(Chunk)
    chunks = [Chunk(i, b"x") for i in range(1000)]
    assert sys.getrefcount(Chunk) >= before + 1000
    del chunks
    assert sys.getrefcount(Chunk) == before
