"""Writes the type stub of the extension module from the module itself.

    tools/dev shell python tools/regression_stub.py          # rewrite _regression.pyi
    tools/dev shell python tools/regression_stub.py --check  # exit 1 if it is not current

Everything in the stub is read from the imported module: the functions in namespace
order, their parameters (inspect reads the signature line of each docstring), the kind
of each parameter (`kinds_of`: which conversion the module applies to it), the types
of the results (`result_types`: a call with an empty argument of every kind), and the
docstrings. The declarations of the binding (_functions.h) are thus written once; the
stub follows from the build.
"""

import argparse
import inspect
import pathlib
import re
import sys

import numpy as np

import Quandrel._ckernels.regression._regression as mod

SOURCE_STUB = (pathlib.Path(__file__).resolve().parents[1] / "src" / "Quandrel" / "_ckernels"
               / "regression" / "_regression.pyi")  # fmt: skip

HEADER = '''"""{synopsis}"""

# Every parameter, result and status in full: docs/reference.md.
# Generated from the module by tools/regression_stub.py: do not edit.

from types import ModuleType
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import NDArray

# Arrays are used in place: float64, C-contiguous, writable, of the stated dimension, or
# None (an empty array). Any object exporting such a buffer is accepted.
_Vector = NDArray[np.float64] | memoryview | None
_Matrix = NDArray[np.float64] | memoryview | None
_Float = SupportsFloat | SupportsIndex
_Int = SupportsInt
_F64 = NDArray[np.float64]
_I64 = NDArray[np.int64]

np: ModuleType
__test__: dict[str, Any]
'''

# The stub's type of each kind of parameter, and a value the module accepts for it.
KIND_TYPES = {"m": "_Matrix", "v": "_Vector", "f": "_Float", "i": "_Int", "b": "object"}
EMPTY = {"m": None, "v": None, "f": 0.0, "i": 0, "b": False}
WIDTH = 120


class _Kind(Exception):
    """Raised by the probe with the kind of the parameter that converted it."""


class _Probe:
    """An argument that each kind of parameter converts by a different protocol:
    float() for a float, int() for an integer, truth for a flag, the buffer for an
    array. The buffer is 0-D, so an array parameter refuses it by naming the number
    of dimensions it wants: 1 for a vector, 2 for a matrix."""

    def __float__(self):
        raise _Kind("f")

    def __int__(self):
        raise _Kind("i")

    def __bool__(self):
        raise _Kind("b")

    def __buffer__(self, flags):
        return memoryview(np.zeros(()))


WANTS_DIMS = re.compile(r"Buffer has wrong number of dimensions \(expected (\d), got 0\)")


def functions():
    """The module's functions in namespace order."""
    return {k: v for k, v in vars(mod).items() if callable(v) and not k.startswith("_")}


def kinds_of(fn):
    """The kinds of the parameters of module function `fn` in order, as a string of
    m (matrix), v (vector), f (float), i (integer), b (flag): each parameter in turn
    gets the probe, after values of the kinds found so far (arguments are converted
    in order and the first refusal ends the call)."""
    n = len(inspect.signature(fn).parameters)
    kinds = ""
    while len(kinds) < n:
        args = [EMPTY[k] for k in kinds] + [_Probe()] + [None] * (n - len(kinds) - 1)
        try:
            fn(*args)
        except _Kind as e:
            kinds += e.args[0]
        except ValueError as e:
            kinds += "vm"[int(WANTS_DIMS.fullmatch(str(e))[1]) - 1]
        else:
            raise AssertionError(f"{fn.__name__} accepted the probe as argument {len(kinds)}")
    return kinds


def stub_type(value):
    """The stub's name of the type of a returned value."""
    if isinstance(value, np.ndarray):
        return {np.float64: "_F64", np.int64: "_I64"}[value.dtype.type]
    return type(value).__name__


def result_types(fn, kinds):
    """The stub's types of what `fn` returns, one per result: called with an empty
    argument of every kind (no data, so every function returns at once)."""
    out = fn(*(EMPTY[k] for k in kinds))
    return [stub_type(v) for v in out] if isinstance(out, tuple) else [stub_type(out)]


def definition(name, fn):
    kinds = kinds_of(fn)
    params = [f"{p}: {KIND_TYPES[k]}" for p, k in zip(inspect.signature(fn).parameters, kinds)]
    types = result_types(fn, kinds)
    returns = f"tuple[{', '.join(types)}]" if len(types) > 1 else types[0]
    head = f"def {name}({', '.join(params)}) -> {returns}:"
    if len(head) > WIDTH:  # the parameters on a line of their own
        head = f"def {name}(\n    {', '.join(params)}\n) -> {returns}:"
    return f'{head}\n    """{fn.__doc__}"""\n'


def stub():
    synopsis = mod.__doc__.splitlines()[0]
    parts = [HEADER.format(synopsis=synopsis)]
    parts += [definition(name, fn) for name, fn in functions().items()]
    return "\n".join(parts)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="only check that the stub is current")
    args = ap.parse_args(argv)
    text = stub()
    if args.check:
        if SOURCE_STUB.read_text() != text:
            print(f"{SOURCE_STUB} is not current: run tools/regression_stub.py", file=sys.stderr)
            return 1
        return 0
    SOURCE_STUB.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
