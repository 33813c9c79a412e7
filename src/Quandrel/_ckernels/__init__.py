"""Native kernels: the foundation library (_common) and the regression solvers."""

import pathlib

__all__ = ["get_include"]


def get_include() -> str:
    """The folder of the native headers, for C and C++ code that links against the
    exported routines (``#include "qdl_linalg.h"``, ``#include "lasso.h"``, ...).

    >>> import os, Quandrel._ckernels as k
    >>> os.path.exists(os.path.join(k.get_include(), "qdl_linalg.h"))
    True
    """
    return str(pathlib.Path(__file__).resolve().parent / "include")
