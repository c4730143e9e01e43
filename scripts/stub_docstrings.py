"""The docstrings of the type stubs as a C++ header, so that help() at run time shows the text
the stubs hold, from one source.

    python scripts/stub_docstrings.py OUTPUT.hpp stubs/NAME-stubs/__init__.pyi ...

Each docstring becomes a macro of a string literal, FENDRAL_DOC_<module>[__<class>][__<member>],
which the boundary places after a text signature by literal concatenation. A class's doc is its
own docstring followed by those of its __new__ and __next__, the slots whose wrappers Python
gives a fixed text. tests/test_module.py reads the stubs the same way (``runtime_docs``).
"""

import ast
import sys
from pathlib import Path
from typing import Dict, Iterator, Tuple

# Methods that are type slots at run time: their own __doc__ cannot be set, so the class's
# carries their text.
SLOT_METHODS = ("__new__", "__next__")


def class_doc(node: ast.ClassDef) -> str:
    parts = [ast.get_docstring(node) or ""]
    for member in node.body:
        if isinstance(member, ast.FunctionDef) and member.name in SLOT_METHODS:
            parts.append(ast.get_docstring(member) or "")
    return "\n\n".join(part for part in parts if part)


def runtime_docs(stub: Path) -> Iterator[Tuple[Tuple[str, ...], str]]:
    """(qualified name, docstring) for the module, each function, class, method and property
    of the stub that has a docstring, as the names are found at run time."""
    module = stub.parent.name[: -len("-stubs")]
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    yield (module,), ast.get_docstring(tree) or ""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield (module, node.name), ast.get_docstring(node) or ""
        elif isinstance(node, ast.ClassDef):
            yield (module, node.name), class_doc(node)
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and member.name not in SLOT_METHODS:
                    yield (module, node.name, member.name), ast.get_docstring(member) or ""


def c_literal(text: str) -> str:
    """``text`` as C string literals, one per line; bytes past ASCII as octal escapes."""
    lines = []
    for line in text.encode("utf-8").splitlines(keepends=True):
        escaped = "".join(
            "\\" + chr(byte) if byte in b'"\\' else "\\n" if byte == 10
            else chr(byte) if 32 <= byte < 127 else f"\\{byte:03o}" for byte in line)
        lines.append(f'"{escaped}"')
    return " \\\n    ".join(lines) or '""'


def main() -> None:
    output, *stubs = sys.argv[1:]
    docs: Dict[str, str] = {}
    for stub in map(Path, stubs):
        for name, doc in runtime_docs(stub):
            docs["FENDRAL_DOC_" + "__".join(name)] = doc
    text = ["// Generated from the type stubs by scripts/stub_docstrings.py; do not edit.",
            "#pragma once", ""]
    text += [f"#define {macro} \\\n    {c_literal(doc)}\n" for macro, doc in sorted(docs.items())]
    new = "\n".join(text)
    target = Path(output)
    # Rewritten only when it changes, so a stub's edit elsewhere rebuilds nothing here.
    if not target.exists() or target.read_text(encoding="utf-8") != new:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(new, encoding="utf-8")


if __name__ == "__main__":
    main()
