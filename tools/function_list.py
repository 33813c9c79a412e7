"""The function lists of the extension modules, read from their headers.

Each module made by the binding's one-list machinery declares its functions once, in a
list of entries F(name, parameters, results, summary, note, sound, refused) (see
docs/conventions.md, "Adding a routine"):

    parameters  (name, kind, "what it is")...   kinds: vector, matrix, real, integer,
                flag, ivector, strided
    results     (name, kind, "shape")...        kinds: array, iarray, real, integer; the
                shape of an array is a Python expression over the arguments (by
                parameter name) and the results (by result name)
    sound       the arguments of a call that succeeds, a Python expression
    refused     the arguments of a call refused with ValueError

The expressions are evaluated by `evaluate` with numpy as ``np`` and a small problem:
X (7, 4), y (7,), G = X'X / 7 (positive definite), g = X'y / 7, n = 7, k = 4.
From the lists come the type stubs (tools/regression_stub.py), the reference page's
sections of the routines (tools/reference_sections.py) and the tables of the
hardening tests (tests/hardening/calls.py).
"""

from __future__ import annotations

import pathlib
import re
from typing import Any, NamedTuple

import numpy as np

SOURCE = pathlib.Path(__file__).resolve().parents[1] / "src" / "Quandrel" / "_ckernels" / "regression"

# Module name: (list file, the list's macro).
MODULES = {
    "_regression": ("_functions.h", "QDL_FUNCTIONS"),
    "_routines": ("_routines_functions.h", "QDL_ROUTINES"),
}


class Param(NamedTuple):
    name: str
    kind: str
    doc: str


class Result(NamedTuple):
    name: str
    kind: str
    shape: str  # a Python expression for arrays; the values an int result takes, or ""


class Entry(NamedTuple):
    name: str
    params: list[Param]
    results: list[Result]
    summary: str
    note: str
    sound: str
    refused: str


TOKEN = re.compile(r'\s*(?:("(?:[^"\\]|\\.)*")|(\w+)|([(),]))')


def _tokens(text):
    """Strings (adjacent literals joined), identifiers and punctuation of `text`."""
    out, at = [], 0
    text = text.rstrip()
    while at < len(text):
        m = TOKEN.match(text, at)
        if m is None:
            raise ValueError(f"cannot read the list at {text[at:at + 40]!r}")
        at = m.end()
        string, word, punct = m.groups()
        if string is not None:
            value = bytes(string[1:-1], "utf-8").decode("unicode_escape")
            if out and out[-1][0] == "str":
                out[-1] = ("str", out[-1][1] + value)
            else:
                out.append(("str", value))
        else:
            out.append(("word", word) if word is not None else ("punct", punct))
    return out


def _groups(tokens, at):
    """The parenthesised triples (a, b, "text") from `at` up to the next top-level comma."""
    items = []
    while tokens[at] == ("punct", "("):
        name, kind, text = tokens[at + 1][1], tokens[at + 3][1], tokens[at + 5][1]
        assert tokens[at + 6] == ("punct", ")"), tokens[at:at + 7]
        items.append((name, kind, text))
        at += 7
    return items, at


def _entries(body):
    tokens = _tokens(body)
    at, entries = 0, []
    while at < len(tokens):
        assert tokens[at] == ("word", "F") and tokens[at + 1] == ("punct", "("), tokens[at:at + 3]
        name = tokens[at + 2][1]
        assert tokens[at + 3] == ("punct", ","), name
        params, at = _groups(tokens, at + 4)
        assert tokens[at] == ("punct", ","), name
        results, at = _groups(tokens, at + 1)
        texts = []
        for _ in range(4):
            assert tokens[at] == ("punct", ","), name
            texts.append(tokens[at + 1][1])
            at += 2
        assert tokens[at] == ("punct", ")"), name
        at += 1
        entries.append(Entry(name, [Param(*p) for p in params], [Result(*r) for r in results], *texts))
    return entries


def read(module):
    """The entries of `module`'s list, in namespace order."""
    file, macro = MODULES[module]
    text = (SOURCE / file).read_text()
    start = text.index(f"#define {macro}(F)")
    end = text.index("// clang-format on", start)
    body = text[start:end].replace("\\\n", "\n").split("\n", 1)[1]
    return _entries(body)


def problem(rng=None):
    """The names the sound and refused calls of the lists may use."""
    rng = np.random.default_rng(0) if rng is None else rng
    n, k = 7, 4
    X = rng.standard_normal((n, k))
    y = rng.standard_normal(n)
    Xg = rng.standard_normal((2 * k + 3, k))
    G = Xg.T @ Xg / len(Xg)
    g = Xg.T @ rng.standard_normal(len(Xg)) / len(Xg)
    return {"np": np, "X": X, "y": y, "G": G, "g": g, "n": n, "k": k}


def evaluate(expression, names):
    """The arguments tuple an entry's sound or refused expression stands for."""
    value = eval(expression, {"__builtins__": {}}, dict(names))
    return value if isinstance(value, tuple) else (value,)


def result_shapes(entry, args, result) -> list[tuple[Any, ...]]:
    """The shapes the entry's results must have for `args`, one per array result."""
    values = list(result) if len(entry.results) > 1 else [result]
    names: dict[str, Any] = {"np": np, "len": len}
    # The arguments as the module converted them (an integer through __int__, a flag by
    # its truth, None as an empty array).
    convert = {"integer": int, "flag": bool, "real": float}
    for p, a in zip(entry.params, args):
        if p.kind in ("vector", "matrix", "ivector", "strided") and a is None:
            a = np.empty((0,) * (1 if p.kind in ("vector", "ivector") else 2))
        elif p.kind in convert:
            a = convert[p.kind](a)
        names[p.name] = a
    names.update({r.name: v for r, v in zip(entry.results, values)})
    return [tuple(eval(r.shape, {"__builtins__": {}}, names)) for r in entry.results
            if r.kind in ("array", "iarray")]
