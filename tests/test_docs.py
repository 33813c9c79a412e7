"""The documented examples run: the README's and docs/'s doctests, and the docstrings of
the Python package."""

import doctest
import importlib
import pathlib

import numpy as np
import pytest

import Quandrel._ckernels

ROOT = pathlib.Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_page(page):
    options = np.get_printoptions()
    try:
        result = doctest.testfile(str(page), module_relative=False, optionflags=FLAGS, verbose=False)
    finally:
        np.set_printoptions(**options)
    assert result.failed == 0


def test_every_function_has_an_example():
    text = (ROOT / "docs" / "examples.md").read_text()
    from Quandrel._ckernels.regression import _regression as qr

    for name in [k for k, v in vars(qr).items() if callable(v) and not k.startswith("_")]:
        assert f"qr.{name}(" in text, name


def test_package_docstrings():
    assert doctest.testmod(Quandrel._ckernels, optionflags=FLAGS).failed == 0


def test_conventions_table_is_the_headers():
    """docs/conventions.md lists every exported routine once, with the header that
    declares it and the C type it returns."""
    from native import DECLARED

    rows = [line.split("|")[1:-1] for line in (ROOT / "docs" / "conventions.md").read_text().splitlines()
            if line.startswith("| `")]  # fmt: skip
    table = {cells[0].strip(" `"): (cells[1].strip(" `"), cells[2].strip()) for cells in rows}
    assert len(table) == len(rows)
    assert table == DECLARED


@pytest.mark.parametrize("name", ["_base", "_ols", "_ridge", "_coordinate", "_cv"])
def test_linear_model_docstrings(name):
    module = importlib.import_module(f"Quandrel.linear_model.{name}")
    options = np.get_printoptions()
    try:
        result = doctest.testmod(module, optionflags=FLAGS)
    finally:
        np.set_printoptions(**options)
    assert result.failed == 0
