"""Writes the type stubs of the extension modules from their function lists.

    tools/dev shell python tools/regression_stub.py          # rewrite the .pyi files
    tools/dev shell python tools/regression_stub.py --check  # exit 1 if one is not current

Everything in a stub is read from the module's list (tools/function_list.py): the
functions in namespace order, their parameters and kinds, the kinds of their results,
and their docstrings, composed as the binding composes them (compose_doc in
_binding.h: "<summary> Returns ``(a, b)``<note>."). The module's synopsis is the first
line of its docstring in its source. The declarations are thus written once; a test
compares each stub with this output and each docstring with the module's.
"""

import argparse
import re
import sys

import function_list
import numpy as np

SOURCE_STUBS = {module: function_list.SOURCE / f"{module}.pyi" for module in function_list.MODULES}
SOURCE_STUB = SOURCE_STUBS["_regression"]

HEADER = '''"""{synopsis}"""

# Every parameter, result and status in full: docs/reference.md.
# Generated from the module's function list by tools/regression_stub.py: do not edit.

from types import ModuleType
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import NDArray

# Arrays are used in place: float64, C-contiguous, writable, of the stated dimension, or
# None (an empty array). Any object exporting such a buffer is accepted.
_Vector = NDArray[np.float64] | memoryview | None
_Matrix = NDArray[np.float64] | memoryview | None
{extra}_Float = SupportsFloat | SupportsIndex
_Int = SupportsInt
_F64 = NDArray[np.float64]
_I64 = NDArray[np.int64]

np: ModuleType
__test__: dict[str, Any]
'''
# The aliases of the kinds only some modules use.
EXTRA = {
    "ivector": "# int64 arrays, used in place as the float64 ones are.\n"
               "_IVector = NDArray[np.int64] | memoryview | None\n",
    "strided": "# Read where they lie: rows or columns contiguous, read-only allowed.\n"
               "_Strided = NDArray[np.float64] | memoryview | None\n",
}

# The stub's type of each kind of parameter and result, and the kinds as letters.
KIND_TYPES = {"matrix": "_Matrix", "vector": "_Vector", "real": "_Float", "integer": "_Int",
              "flag": "object", "ivector": "_IVector", "strided": "_Strided"}
LETTERS = {"matrix": "m", "vector": "v", "real": "f", "integer": "i", "flag": "b",
           "ivector": "I", "strided": "s"}
RESULT_TYPES = {"array": "_F64", "iarray": "_I64", "real": "float", "integer": "int"}
WIDTH = 120


def functions(module="_regression"):
    """The module's list entries by name, in namespace order."""
    return {e.name: e for e in function_list.read(module)}


def kinds_of(entry):
    """The kinds of the entry's parameters in order, as a string of m (matrix), v
    (vector), f (float), i (integer), b (flag), I (int64 vector), s (strided matrix)."""
    return "".join(LETTERS[p.kind] for p in entry.params)


def stub_type(value):
    """The stub's name of the type of a returned value."""
    if isinstance(value, np.ndarray):
        return {np.float64: "_F64", np.int64: "_I64"}[value.dtype.type]
    return type(value).__name__


def result_types(entry):
    """The stub's types of what the function returns, one per result."""
    return [RESULT_TYPES[r.kind] for r in entry.results]


def docstring(entry):
    """The docstring after its signature line, as the binding composes it."""
    results = entry.results
    if len(results) == 1 and results[0].kind in ("real", "integer"):
        returns = "a float" if results[0].kind == "real" else "an int"
    elif len(results) == 1:
        returns = f"``{results[0].name}``"
    else:
        returns = f"``({', '.join(r.name for r in results)})``"
    return f"{entry.summary} Returns {returns}{entry.note}."


def definition(entry):
    params = [f"{p.name}: {KIND_TYPES[p.kind]}" for p in entry.params]
    types = result_types(entry)
    returns = f"tuple[{', '.join(types)}]" if len(types) > 1 else types[0]
    head = f"def {entry.name}({', '.join(params)}) -> {returns}:"
    if len(head) > WIDTH:  # the parameters on a line of their own
        head = f"def {entry.name}(\n    {', '.join(params)}\n) -> {returns}:"
    return f'{head}\n    """{docstring(entry)}"""\n'


def synopsis(module):
    """The first line of the module's docstring, from its source."""
    text = (function_list.SOURCE / f"{module}.cpp").read_text()
    return re.search(r'\.m_doc =\s*"((?:[^"\\]|\\.)*?)\\n"', text)[1]


def stub(module="_regression"):
    entries = function_list.read(module)
    used = {p.kind for e in entries for p in e.params}
    extra = "".join(text for kind, text in EXTRA.items() if kind in used)
    parts = [HEADER.format(synopsis=synopsis(module), extra=extra)]
    parts += [definition(e) for e in entries]
    return "\n".join(parts)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="only check that the stubs are current")
    args = ap.parse_args(argv)
    stale = 0
    for module, path in SOURCE_STUBS.items():
        text = stub(module)
        if not args.check:
            path.write_text(text)
        elif path.read_text() != text:
            print(f"{path} is not current: run tools/regression_stub.py", file=sys.stderr)
            stale = 1
    return stale


if __name__ == "__main__":
    sys.exit(main())
