"""Access to the exported native routines of the extension module through ctypes.

`lib` is the module's shared object opened with ctypes; `sig(name, restype,
*argtypes)` declares a routine once and returns it. Pointers are passed as plain
addresses: `P(a)` is the address of a C-contiguous numpy array (None for null).
"""

import ctypes

import numpy as np

import Quandrel._ckernels.regression._regression as module

lib = ctypes.CDLL(module.__file__)

# Argument type shorthands.
PTR = ctypes.c_void_p
I64 = ctypes.c_int64
F64 = ctypes.c_double
INT = ctypes.c_int


def sig(name, restype, *argtypes):
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


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
