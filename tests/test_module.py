"""The module's surface: registration, argument binding and conversion rules."""

import importlib
import importlib.metadata
import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import fendral
import fendral_stream

ROOT = Path(__file__).resolve().parent.parent
_generator = importlib.util.spec_from_file_location(
    "stub_docstrings", ROOT / "scripts" / "stub_docstrings.py")
stub_docstrings = importlib.util.module_from_spec(_generator)
_generator.loader.exec_module(stub_docstrings)
STUB_DOCS = [entry for stub in sorted(ROOT.glob("stubs/*-stubs/__init__.pyi"))
             for entry in stub_docstrings.runtime_docs(stub)]

NAMES = ["Chunk", "deconstruct_file", "reconstruct_file", "Mp4ChunkMetadata", "split_video",
         "reconstruct_video"]


def test_registration_order_and_module_attributes():
    assert fendral.__all__ == NAMES
    public = [name for name in vars(fendral) if not name.startswith("__")]
    assert public == NAMES
    assert fendral.__version__ == importlib.metadata.version("fendral")


@pytest.mark.parametrize("name, signature", [
    ("deconstruct_file", "(path, chunk_size)"),
    ("reconstruct_file", "(chunks, output_path)"),
    ("split_video", "(input_file, output_dir, time_limit_sec)"),
    ("reconstruct_video", "(output_dir, output_file)"),
])
def test_function_attributes(name, signature):
    function = getattr(fendral, name)
    assert function.__text_signature__ == signature
    assert function.__module__ == "fendral"
    assert function.__self__ is fendral
    assert function.__name__ == name


@pytest.mark.parametrize("cls", [fendral.Chunk, fendral.Mp4ChunkMetadata])
def test_classes_are_final_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (cls,), {})


def test_class_documentation():
    # Before 3.10, PyType_FromSpec strips the signature from the class documentation it copies.
    signature = "(index, data)" if sys.version_info >= (3, 10) else None
    assert fendral.Chunk.__text_signature__ == signature


@pytest.mark.parametrize("name, doc", STUB_DOCS, ids=[".".join(name) for name, _ in STUB_DOCS])
def test_every_docstring_at_run_time_is_the_stubs(name, doc):
    module, *path = name
    found = importlib.import_module(module)
    for part in path:
        # The iterator's class is named by no module attribute.
        found = (type(fendral_stream.read_chunks(__file__, 1)) if part == "ChunkIterator"
                 else getattr(found, part))
    assert doc and found.__doc__ == doc


@pytest.mark.parametrize("args", [(), ("x",), ("x", "y", 1, 2)])
def test_metadata_class_cannot_be_instantiated(args):
    with pytest.raises(TypeError) as caught:
        fendral.Mp4ChunkMetadata(*args)
    assert str(caught.value) == "No constructor defined for Mp4ChunkMetadata"


def test_second_initialisation_is_refused():
    script = textwrap.dedent("""
        import sys, fendral
        del sys.modules["fendral"]
        try:
            import fendral
        except ImportError as error:
            print(type(error).__name__, error)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=True)
    assert result.stdout.strip() == (
        "ImportError fendral may only be initialized once per interpreter process")


SUBINTERPRETER_FIRST = """
    import sys
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    if sys.version_info >= (3, 13):
        interpreter = interpreters.create()  # isolated, with its own GIL
    elif sys.version_info >= (3, 12):
        interpreter = interpreters.create(isolated=True)
    else:
        interpreter = interpreters.create()
    interpreters.run_string(interpreter, {code!r})
    interpreters.destroy(interpreter)
    import fendral
    print("main:", fendral.__all__[0], flush=True)
    del sys.modules["fendral"]
    try:
        import fendral
    except ImportError as error:
        print("again:", error)
"""


IMPORT_IN_SUBINTERPRETER = """
try:
    import fendral
except ImportError as error:
    print("subinterpreter:", error, flush=True)
"""


def test_a_subinterpreter_importing_first_leaves_the_import_to_the_main_one():
    script = textwrap.dedent(SUBINTERPRETER_FIRST).format(code=IMPORT_IN_SUBINTERPRETER)
    result = subprocess.run([sys.executable, "-c", script],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # From 3.13 on CPython refuses the module there itself.
    refusal = ("module fendral does not support loading in subinterpreters"
               if sys.version_info >= (3, 13)
               else "fendral can only be imported by the main interpreter")
    assert result.stdout.splitlines() == [
        f"subinterpreter: {refusal}",
        "main: Chunk",
        "again: fendral may only be initialized once per interpreter process",
    ]


def call(function, *args, **kwargs):
    with pytest.raises(BaseException) as caught:
        function(*args, **kwargs)
    return type(caught.value), str(caught.value)


@pytest.mark.parametrize("function, args, kwargs, message", [
    ("deconstruct_file", ("p",), {},
     "deconstruct_file() missing 1 required positional argument: 'chunk_size'"),
    ("deconstruct_file", (), {},
     "deconstruct_file() missing 2 required positional arguments: 'path' and 'chunk_size'"),
    ("deconstruct_file", (), {"chunk_size": 1},
     "deconstruct_file() missing 1 required positional argument: 'path'"),
    ("deconstruct_file", ("p", 1, 2), {},
     "deconstruct_file() takes 2 positional arguments but 3 were given"),
    ("deconstruct_file", ("p", 1, 2), {"bogus": 1},
     "deconstruct_file() takes 2 positional arguments but 3 were given"),
    ("deconstruct_file", ("p", 1), {"path": "q"},
     "deconstruct_file() got multiple values for argument 'path'"),
    ("deconstruct_file", ("p",), {"bogus": 1},
     "deconstruct_file() got an unexpected keyword argument 'bogus'"),
    ("deconstruct_file", ("p",), {"Chunk_size": 1},
     "deconstruct_file() got an unexpected keyword argument 'Chunk_size'"),
    # Three missing names are listed with commas; one positional given is singular.
    ("split_video", (), {}, "split_video() missing 3 required positional arguments: "
                            "'input_file', 'output_dir', and 'time_limit_sec'"),
    ("Chunk", (1, b"", 3), {}, "Chunk.__new__() takes 2 positional arguments but 3 were given"),
    ("Chunk", (1,), {}, "Chunk.__new__() missing 1 required positional argument: 'data'"),
])
def test_binding_errors(function, args, kwargs, message):
    assert call(getattr(fendral, function), *args, **kwargs) == (TypeError, message)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Unnamed:
    """A type whose __qualname__ cannot be read."""


Unnamed.__qualname__ = "Unnamed"


@pytest.mark.parametrize("path, size, error", [
    (1, 4, (TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'")),
    (b"p", 4, (TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'")),
    ("\ud800", 4, (UnicodeEncodeError,
                   "'utf-8' codec can't encode character '\\ud800' in position 0: "
                   "surrogates not allowed")),
    ("p", -1, (OverflowError, "can't convert negative int to unsigned")),
    ("p", 2**64, (OverflowError, "int too big to convert")),
    ("p", "4",
     (TypeError, "argument 'chunk_size': 'str' object cannot be interpreted as an integer")),
    ("p", 4.0, (TypeError,
                "argument 'chunk_size': 'float' object cannot be interpreted as an integer")),
    ("p", Index(-2), (OverflowError, "can't convert negative int to unsigned")),
])
def test_conversion_errors(path, size, error):
    assert call(fendral.deconstruct_file, path, size) == error


def test_path_object_is_refused(tmp_path):
    assert call(fendral.deconstruct_file, tmp_path, 4) == (
        TypeError, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'")


def test_prefixed_type_error_keeps_a_cause_of_none():
    with pytest.raises(TypeError) as caught:
        fendral.deconstruct_file(1, 4)
    assert caught.value.__cause__ is None
    assert caught.value.args == ("argument 'path': 'int' object cannot be converted to 'PyString'",)


def test_index_raising_passes_unchanged():
    class Raising:
        def __index__(self):
            raise KeyError("nope")

    assert call(fendral.deconstruct_file, "p", Raising()) == (KeyError, "'nope'")


@pytest.mark.parametrize("limit, error", [
    (4294967296, (OverflowError, "out of range integral type conversion attempted")),
    (2**64, (OverflowError, "int too big to convert")),
    (-1, (OverflowError, "can't convert negative int to unsigned")),
    (2.5, (TypeError,
           "argument 'time_limit_sec': 'float' object cannot be interpreted as an integer")),
])
def test_u32_conversion_errors_touch_nothing(tmp_path, limit, error):
    target = tmp_path / "never"
    assert call(fendral.split_video, "in.mp4", str(target), limit) == error
    assert not target.exists()


@pytest.mark.parametrize("chunks, message", [
    ("", "argument 'chunks': Can't extract `str` to `Vec`"),
    ("abc", "argument 'chunks': Can't extract `str` to `Vec`"),
    ({1}, "argument 'chunks': 'set' object cannot be converted to 'Sequence'"),
    ({}, "argument 'chunks': 'dict' object cannot be converted to 'Sequence'"),
    ((c for c in []), "argument 'chunks': 'generator' object cannot be converted to 'Sequence'"),
    (5, "argument 'chunks': 'int' object cannot be converted to 'Sequence'"),
    ([1], "argument 'chunks': 'int' object cannot be converted to 'Chunk'"),
    (fendral.Chunk(0, b""), "argument 'chunks': 'Chunk' object cannot be converted to 'Sequence'"),
])
def test_sequence_conversion_errors(tmp_path, chunks, message):
    out = tmp_path / "out"
    out.write_bytes(b"keep")
    assert call(fendral.reconstruct_file, chunks, str(out)) == (TypeError, message)
    assert out.read_bytes() == b"keep"


def test_iteration_error_passes_unchanged(tmp_path):
    class Broken:
        def __len__(self):
            raise ValueError("length is ignored")

        def __getitem__(self, position):
            if position == 1:
                raise LookupError("midway")
            return fendral.Chunk(position, b"x")

    # A sequence whose __getitem__ raises anything but IndexError ends the walk with that error.
    assert call(fendral.reconstruct_file, Broken(), str(tmp_path / "o")) == (LookupError, "midway")
    assert not (tmp_path / "o").exists()
