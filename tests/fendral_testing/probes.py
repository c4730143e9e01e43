"""The probe programs of tests/support, built from the checkout's sources by its CMake build.

The first test that needs one configures and builds all of them into build/probes with $CXX (g++
when unset), once per session; concurrent sessions (one per Python, say) take turns on a lock.
"""

import fcntl
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, List

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build" / "probes"
PROBES = ("decimal_probe", "metadata_probe", "replacement_probe", "alignment_probe",
          "orphan_probe")

_built: Dict[str, Path] = {}


def compiler_or_skip() -> List[str]:
    """$CXX (g++ when unset) as an argument list; skips the calling test when it is not found."""
    compiler = shlex.split(os.environ.get("CXX", "") or "g++")
    if shutil.which(compiler[0]) is None:
        pytest.skip(f"no C++ compiler: {compiler[0]!r} not found (CXX names another); these "
                    "tests build probe programs from the checkout's sources")
    return compiler


def built_probe(name: str) -> Path:
    """The executable of tests/support/NAME.cpp; skips the calling test when it cannot be built."""
    if not _built:
        compiler = compiler_or_skip()
        # The interpreter's own scripts directory too: a venv's cmake from PyPI, not activated.
        scripts = str(Path(sys.executable).parent)
        cmake = shutil.which("cmake") or shutil.which("cmake", path=scripts)
        if cmake is None:
            pytest.skip("no cmake found on PATH; these tests build probe programs from the "
                        "checkout's sources")
        # Neither the build tools nor the compiler are to run under the sanitizer runtimes the
        # suite itself may be preloaded with.
        environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
        BUILD.mkdir(parents=True, exist_ok=True)
        with open(BUILD / ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            subprocess.run(
                [cmake, "-S", str(REPO), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=",
                 f"-DCMAKE_CXX_COMPILER={shutil.which(compiler[0])}",
                 f"-DCMAKE_CXX_FLAGS={' '.join(['-O1', *compiler[1:]])}",
                 "-DFENDRAL_BUILD_MODULE=OFF", "-DFENDRAL_BUILD_TESTING=ON"],
                check=True, stdout=subprocess.DEVNULL, env=environment)
            subprocess.run(
                [cmake, "--build", str(BUILD), "--parallel", "2", "--target", *PROBES],
                check=True, stdout=subprocess.DEVNULL, env=environment)
        _built.update((probe, BUILD / "tests" / "support" / probe) for probe in PROBES)
    return _built[name]
