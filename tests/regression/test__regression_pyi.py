"""The type stub describes the real module: it is the one the generator makes from
the module now, with the same functions in namespace order, the same parameters and
docstrings, parameter types naming the kind each parameter converts, and result types
(and documented results) that calls return."""

import ast
import inspect
import pathlib
import pydoc
import re

import numpy as np
import pytest
import regression_stub

import Quandrel
import Quandrel._ckernels.regression._regression as mod
from hardening.calls import KINDS, failing_status_args, sound_args

PKG = pathlib.Path(Quandrel.__file__).parent
STUB = PKG / "_ckernels" / "regression" / "_regression.pyi"
TREE = ast.parse(STUB.read_text())
FUNCTIONS = {node.name: node for node in TREE.body if isinstance(node, ast.FunctionDef)}

# The stub's parameter types and the kinds of parameter (hardening.calls) they stand for.
KIND_OF = {"_Matrix": "m", "_Vector": "v", "_Float": "f", "_Int": "i", "object": "b"}
ARRAY_OF = {"_F64": np.float64, "_I64": np.int64}


def test_stub_and_marker_are_installed():
    assert STUB.is_file() and (PKG / "py.typed").is_file()


def test_stub_is_the_generated_one():
    """tools/regression_stub.py rewrites the checked-in stub after a change of the
    module's declarations; the installed copy is that file."""
    assert regression_stub.SOURCE_STUB.read_text() == regression_stub.stub()
    assert STUB.read_text() == regression_stub.stub()


def test_same_functions_in_namespace_order():
    assert list(FUNCTIONS) == list(KINDS)


def test_module_docstring_is_the_synopsis():
    assert ast.get_docstring(TREE) == pydoc.splitdoc(mod.__doc__)[0]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_same_parameters_and_docstring(name):
    node, fn = FUNCTIONS[name], getattr(mod, name)
    assert not node.args.posonlyargs and not node.args.kwonlyargs and not node.args.vararg
    assert [a.arg for a in node.args.args] == list(inspect.signature(fn).parameters)
    assert "".join(KIND_OF[ast.unparse(a.annotation)] for a in node.args.args) == KINDS[name]
    assert ast.get_docstring(node) == fn.__doc__


def annotated(annotation, value):
    """Whether `value` is of the stub's type `annotation` (a tuple of, or one of,
    _F64, _I64, float, int)."""
    if isinstance(annotation, ast.Subscript):
        assert ast.unparse(annotation.value) == "tuple"
        parts = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
        return type(value) is tuple and len(value) == len(parts) and all(map(annotated, parts, value))
    if annotation.id in ARRAY_OF:
        return type(value) is np.ndarray and value.dtype == ARRAY_OF[annotation.id]
    return type(value).__name__ == annotation.id


def documented_count(doc):
    """How many results the docstring's "Returns ``(a, b)``" names (one for
    "Returns ``a``" or "Returns a float")."""
    named = re.search(r"Returns ``\((.+?)\)``", doc)
    return len(named[1].split(", ")) if named else 1


@pytest.mark.parametrize("name", FUNCTIONS)
def test_results_are_as_annotated_and_documented(name, rng):
    node, fn = FUNCTIONS[name], getattr(mod, name)
    for args in (sound_args(name, rng), failing_status_args(name)):
        result = fn(*args)
        assert annotated(node.returns, result), (ast.unparse(node.returns), result)
        assert (len(result) if type(result) is tuple else 1) == documented_count(fn.__doc__)
