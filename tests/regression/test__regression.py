"""The module itself: initialisation, namespace, function objects, and ols_chol_solve."""

import importlib
import inspect
import pydoc
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import Quandrel._ckernels.regression._regression as mod

NAME = "Quandrel._ckernels.regression._regression"
FUNCTIONS = [k for k, v in vars(mod).items() if callable(v) and not k.startswith("_")]


class TestModule:
    def test_namespace_order(self):
        # In a fresh process: other tests rebind `np` here, which moves it in the dict.
        code = f"import {NAME} as m; print(' '.join(k for k in vars(m) if k[:2] != '__'))"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.stdout.split() == ["np", *FUNCTIONS] and FUNCTIONS, out.stderr
        assert mod.np is np
        assert mod.__test__ == {}
        assert mod.__builtins__ is importlib.import_module("builtins")

    def test_help_shows_synopsis_description_and_signatures(self):
        text = pydoc.render_doc(mod, renderer=pydoc.plaintext)
        synopsis, description = pydoc.splitdoc(mod.__doc__)
        assert f"{NAME} - {synopsis}\n" in text and "\n" not in synopsis
        assert description and description.splitlines()[0] in text
        for name in FUNCTIONS:
            fn = getattr(mod, name)
            assert f"    {name}{inspect.signature(fn)}\n        {fn.__doc__}\n" in text

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_function_objects(self, name):
        fn = getattr(mod, name)
        assert fn.__name__ == fn.__qualname__ == name
        assert fn.__module__ == NAME
        assert fn.__doc__ and not fn.__doc__.startswith(name)  # the signature line is split off
        params = inspect.signature(fn).parameters.values()
        assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}

    def test_reimport_yields_same_object(self):
        saved = sys.modules.pop(NAME)
        try:
            again = importlib.import_module(NAME)
            assert again is saved
        finally:
            sys.modules[NAME] = saved

    def test_second_interpreter_is_refused(self):
        code = textwrap.dedent(
            f"""
            import {NAME} as m
            from concurrent import interpreters
            interp = interpreters.create()
            try:
                interp.exec("import {NAME}")
            except interpreters.ExecutionFailed as e:
                print(e.excinfo.type.__name__)
            else:
                print("imported")
            print(m.ols_chol_solve(None, None)[2])
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.stdout.split() == ["ImportError", "0"], out.stderr


class TestOls:
    def test_worked_example(self):
        X = np.array([[1.0, 1], [1, 2], [1, 3], [1, 4], [1, 5]])
        coef, L, status = mod.ols_chol_solve(X, np.array([2.0, 3, 5, 4, 6]))
        assert status == 0 and type(status) is int
        np.testing.assert_allclose(coef, [1.3, 0.9], rtol=1e-13)
        assert L.shape == (2, 2) and L.dtype == np.float64 and L.flags.c_contiguous
        assert L.flags.writeable

    def test_least_squares(self, rng):
        X = rng.standard_normal((300, 20))
        y = rng.standard_normal(300)
        coef, L, status = mod.ols_chol_solve(X, y)
        np.testing.assert_allclose(coef, np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-10)
        np.testing.assert_allclose(L @ L.T, X.T @ X, rtol=1e-12)
        assert not np.triu(L, 1).any()

    @pytest.mark.parametrize("rows", [0, 10])
    def test_rank_deficient(self, rng, rows):
        X = rng.standard_normal((rows, 3))
        if rows:
            X[:, 1] = X[:, 0]
        coef, L, status = mod.ols_chol_solve(X, np.ones(rows))
        assert status == -1 and np.isnan(coef).all() and coef.shape == (3,)
        assert L.shape == (0, 0) and L.dtype == np.float64

    def test_none_none(self):
        coef, L, status = mod.ols_chol_solve(None, None)
        assert coef.shape == (0,) and L.shape == (0, 0) and status == 0

    @pytest.mark.parametrize("y", [None, np.ones(4)])
    def test_short_y_is_refused(self, y):
        with pytest.raises(ValueError, match=r"ols_chol_solve\(\): y has"):
            mod.ols_chol_solve(np.ones((5, 2)), y)

    def test_longer_y_is_fine(self):
        X = np.array([[1.0], [2.0]])
        assert mod.ols_chol_solve(X, np.array([1.0, 2.0, 99.0]))[0][0] == pytest.approx(1.0)

    def test_inputs_untouched_and_results_fresh(self, rng):
        X = rng.standard_normal((20, 3))
        y = rng.standard_normal(20)
        X0, y0 = X.copy(), y.copy()
        a = mod.ols_chol_solve(X, y)[0]
        b = mod.ols_chol_solve(X, y)[0]
        assert np.array_equal(X, X0) and np.array_equal(y, y0)
        assert a is not b and not np.shares_memory(a, b)


def test_kernels_run_without_the_interpreter_lock():
    """Two threads inside the kernel at once: their call intervals overlap."""
    X = np.random.default_rng(1).standard_normal((4000, 120))
    y = np.ones(4000)
    spans = {0: [], 1: []}
    start = threading.Barrier(2)

    def work(k):
        start.wait()
        for _ in range(15):
            t0 = time.perf_counter()
            mod.ols_chol_solve(X, y)
            spans[k].append((t0, time.perf_counter()))

    threads = [threading.Thread(target=work, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    overlaps = sum(a0 < b1 and b0 < a1 for a0, a1 in spans[0] for b0, b1 in spans[1])
    assert overlaps > 0
