"""The type stub describes the real module: same functions, same parameter names."""

import ast
import inspect
import pathlib

import pytest

import Quandrel
import Quandrel._ckernels.regression._regression as mod

PKG = pathlib.Path(Quandrel.__file__).parent
STUB = PKG / "_ckernels" / "regression" / "_regression.pyi"


def stub_functions():
    tree = ast.parse(STUB.read_text())
    return {
        node.name: (tuple(a.arg for a in node.args.args), ast.get_docstring(node))
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }


def test_stub_and_marker_are_installed():
    assert STUB.is_file() and (PKG / "py.typed").is_file()


def test_same_names():
    public = {k for k, v in vars(mod).items() if callable(v) and not k.startswith("_")}
    assert set(stub_functions()) == public


@pytest.mark.parametrize("name", sorted(stub_functions()))
def test_same_parameters_and_docstring(name):
    params, doc = stub_functions()[name]
    real = getattr(mod, name)
    assert params == tuple(inspect.signature(real).parameters)
    assert doc == real.__doc__
