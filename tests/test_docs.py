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


@pytest.mark.parametrize("name", ["_base", "_ols", "_ridge", "_coordinate", "_cv", "_glm"])
def test_linear_model_docstrings(name):
    module = importlib.import_module(f"Quandrel.linear_model.{name}")
    options = np.get_printoptions()
    try:
        result = doctest.testmod(module, optionflags=FLAGS)
    finally:
        np.set_printoptions(**options)
    assert result.failed == 0


def test_reference_sections_of_the_routines_are_generated():
    """tools/reference_sections.py rewrites them after a change of the list."""
    import reference_sections

    assert reference_sections.PAGE.read_text() == reference_sections.page()


KIND_WORDS = {"matrix": "matrix", "vector": "vector", "real": "float", "integer": "integer",
              "flag": "flag"}


def test_reference_sections_of_the_nine_follow_the_list():
    """Each function of _regression has its section, whose parameter table names the
    list's parameters in order, with their kinds."""
    import function_list

    text = (ROOT / "docs" / "reference.md").read_text()
    for entry in function_list.read("_regression"):
        heading = f"### `{entry.name}({', '.join(p.name for p in entry.params)})`"
        assert heading in text, heading
        section = text.split(heading, 1)[1].split("\n### ", 1)[0]
        table = []
        for line in section.splitlines():
            if line.startswith("| `"):  # a row may name several parameters: `a`, `b` | float
                names, kinds = line.split("|")[1:3]
                names = [n.strip(" `") for n in names.split(",")]
                kinds = [k.strip() for k in kinds.split(",")]
                table += zip(names, kinds * len(names) if len(kinds) == 1 else kinds)
        assert table == [(p.name, KIND_WORDS[p.kind]) for p in entry.params], entry.name
