"""The C++ compiler for the tests that build probe programs from the checkout's sources."""

import os
import shlex
import shutil
from typing import List

import pytest


def compiler_or_skip() -> List[str]:
    """$CXX (g++ when unset) as an argument list; skips the calling test when it is not found."""
    compiler = shlex.split(os.environ.get("CXX", "") or "g++")
    if shutil.which(compiler[0]) is None:
        pytest.skip(f"no C++ compiler: {compiler[0]!r} not found (CXX names another); these "
                    "tests build probe programs from the checkout's sources")
    return compiler
