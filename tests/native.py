"""Access to the exported native routines of the extension module through ctypes.

`lib` is the module's shared object opened with ctypes; `fn(name)` returns an
exported routine with the prototype its header declares: PROTOTYPES (and the
parameter names, PARAMETERS) are read from the `QDL_API` declarations of the headers. Pointers are passed as plain addresses:
`P(a)` is the address of a C-contiguous numpy array (None for null).
"""

import ctypes
import pathlib
import re

import numpy as np

import Quandrel._ckernels.regression._regression as module

lib = ctypes.CDLL(module.__file__)
SRC = pathlib.Path(__file__).resolve().parents[1] / "src" / "Quandrel" / "_ckernels"

# Argument type shorthands.
PTR = ctypes.c_void_p
I64 = ctypes.c_int64
F64 = ctypes.c_double
INT = ctypes.c_int


class LURecord(ctypes.Structure):
    """f64_lu and c128_lu: the factors and pivots (owned by the record), n, err."""

    _fields_ = [("lu", PTR), ("piv", PTR), ("n", I64), ("err", I64)]


LU_PTR = ctypes.POINTER(LURecord)

# C types by value; any other pointer is a plain address.
BY_VALUE = {"void": None, "int": INT, "i64": I64, "f64": F64, "f64_lu": LURecord, "c128_lu": LURecord}
POINTERS = {"f64_lu": LU_PTR, "c128_lu": LU_PTR}
DECLARATION = re.compile(r"QDL_API\s+([^;(]*?)\s*\b((?:qdl|c128)_\w+)\s*\(([^)]*)\)\s*;")


def ctype(decl):
    """The ctypes type of a C type or of a parameter declaration (name and
    qualifiers are dropped)."""
    words = [w for w in decl.replace("*", " * ").split() if w not in ("const", "QDL_RESTRICT")]
    if "*" in words:
        return POINTERS.get(words[0], PTR)
    return BY_VALUE[words[0]]


def read_prototypes():
    """name: (result, argument types), name: parameter names and name: (header, C
    result type) of every exported routine, from the headers."""
    prototypes, parameters, declared = {}, {}, {}
    for header in sorted(SRC.rglob("*.h")):
        text = re.sub(r"/\*.*?\*/|//[^\n]*", "", header.read_text(), flags=re.S)
        for result, name, params in DECLARATION.findall(text):
            params = [p for p in params.split(",") if p.strip() not in ("", "void")]
            prototypes[name] = (ctype(result), [ctype(p) for p in params])
            parameters[name] = [p.split()[-1].lstrip("*") for p in params]
            declared[name] = (header.name, result.strip())
    return prototypes, parameters, declared


PROTOTYPES, PARAMETERS, DECLARED = read_prototypes()


def fn(name):
    """The exported routine `name`, declared with its prototype."""
    routine = getattr(lib, name)
    routine.restype, routine.argtypes = PROTOTYPES[name]
    return routine


def P(a):
    """Address of a numpy array's first element (None gives a null pointer)."""
    if a is None:
        return None
    assert a.flags.c_contiguous
    return a.ctypes.data


def f64(*shape, fill=np.nan):
    """A C-contiguous float64 buffer, pre-filled so that unwritten entries show."""
    return np.full(shape, fill, dtype=np.float64)


def exported_symbols():
    """Names of the dynamic symbols the shared object defines and exports."""
    import subprocess

    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], check=True, capture_output=True, text=True
    ).stdout
    return {line.split()[-1] for line in out.splitlines() if line.split()[-2] in "TtWiDBR"}


def bits(x):
    """The IEEE-754 bit patterns of a float64 array (for bit-for-bit comparisons)."""
    return np.asarray(x, dtype=np.float64).view(np.uint64)
