"""The OLS kernel, the shared soft threshold and the status and criterion codes."""

import math
import re

import numpy as np
import pytest

from native import SRC, P, bits, f64, fn

ols = fn("qdl_ols_chol_solve")
QNAN = 0x7FF8000000000000


def run(X, y):
    n, p = X.shape
    out = dict(coef=f64(p), L=f64(p, p), G=f64(p, p), g=f64(p), status=np.full(1, 99, np.int64))
    ols(P(X), P(y), n, p, P(out["coef"]), P(out["L"]), P(out["status"]), P(out["G"]), P(out["g"]))
    out["status"] = int(out["status"][0])
    return out


def test_worked_example():
    X = np.array([[1.0, 1], [1, 2], [1, 3], [1, 4], [1, 5]])
    r = run(X, np.array([2.0, 3, 5, 4, 6]))
    assert r["status"] == 0
    assert np.array_equal(r["G"], [[5.0, 15.0], [15.0, 55.0]])
    assert np.array_equal(r["g"], [20.0, 69.0])
    np.testing.assert_allclose(
        r["L"], [[math.sqrt(5), 0], [15 / math.sqrt(5), math.sqrt(10)]], rtol=1e-15
    )
    np.testing.assert_allclose(r["coef"], [1.3, 0.9], rtol=1e-13)


def test_matches_least_squares(rng):
    X = rng.standard_normal((200, 12))
    y = rng.standard_normal(200)
    r = run(X, y)
    assert r["status"] == 0
    np.testing.assert_allclose(r["coef"], np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-10)
    np.testing.assert_allclose(r["L"] @ r["L"].T, X.T @ X, rtol=1e-12)
    assert not np.triu(r["L"], 1).any()


@pytest.mark.parametrize("case", ["identical columns", "zero column", "no rows"])
def test_rank_deficient(rng, case):
    X = rng.standard_normal((30, 4))
    if case == "identical columns":
        X[:, 2] = X[:, 1]
    elif case == "zero column":
        X[:, 3] = 0.0
    else:
        X = X[:0].copy()
    y = rng.standard_normal(X.shape[0])
    r = run(X, y)
    assert r["status"] == -1
    assert (bits(r["coef"]) == QNAN).all()
    np.testing.assert_allclose(r["G"], X.T @ X, rtol=1e-13, atol=1e-13)


def test_p_zero_writes_only_status():
    status = np.full(1, 99, np.int64)
    ols(P(f64(3)), P(f64(3)), 3, 0, None, None, P(status), None, None)
    assert status[0] == 0


@pytest.mark.parametrize("n, p", [(1, 1), (129, 9), (300, 20), (257, 33)])
def test_normal_equations_equal_the_separate_routines(rng, n, p):
    # The kernel forms X'X and X'y in one pass; they must be bit for bit those of
    # qdl_gram and qdl_gram_rhs.
    gram = fn("qdl_gram")
    gram_rhs = fn("qdl_gram_rhs")
    X = rng.standard_normal((n, p))
    y = rng.standard_normal(n)
    G, g = f64(p, p), f64(p)
    gram(P(X), P(G), n, p)
    gram_rhs(P(X), P(y), P(g), n, p)
    r = run(X, y)
    assert np.array_equal(bits(r["G"]), bits(G)) and np.array_equal(bits(r["g"]), bits(g))


THRESHOLD_PROGRAM = r"""
#include <cmath>
#include <cstdio>
#include "regression.h"
int main() {
  const double cases[][2] = {{2.0, 2.0}, {-2.0, 2.0}, {3.0, 2.0}, {-3.0, 2.0}, {0.5, 2.0},
                             {NAN, 1.0}, {1.5, 0.0}, {-0.0, 0.0}};
  for (const auto &c : cases) std::printf("%.17g\n", qdl_smooth_threshold(c[0], c[1]));
}
"""


def test_soft_threshold(tmp_path):
    # A header-level inline function: compiled here from the public header.
    import pathlib
    import subprocess

    import Quandrel._ckernels as kernels

    src = tmp_path / "t.cpp"
    src.write_text(THRESHOLD_PROGRAM)
    exe = tmp_path / "t"
    subprocess.run(
        ["g++", "-std=c++20", "-ffp-contract=off", "-I", kernels.get_include(), str(src), "-o", str(exe)],
        check=True,
    )
    out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout.split()
    assert out == ["0", "0", "1", "-1", "0", "0", "1.5", "0"]
    assert pathlib.Path(kernels.get_include(), "regression.h").is_file()


def test_codes_exported_in_python_are_the_headers():
    from Quandrel._ckernels import regression

    header = (SRC / "regression" / "regression.h").read_text()
    codes = {name: int(value) for name, value in re.findall(r"\b(REGRESSION_\w+) = (-?\d+)u?\b", header)}
    assert len(codes) == 6
    assert {name: getattr(regression, name) for name in codes} == codes
    assert sorted(regression.__all__) == sorted(codes)
