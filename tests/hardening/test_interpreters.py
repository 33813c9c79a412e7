"""The module lives in one interpreter per process: a second interpreter's import is
refused, by the interpreter's own check when it has its own lock and by the module
when it shares the main lock, and the main interpreter's module keeps working."""

import subprocess
import sys
import textwrap

NAME = "Quandrel._ckernels.regression._regression"

SCRIPT = textwrap.dedent(
    f"""
    import importlib, sys
    import numpy as np
    import {NAME} as m

    X = np.array([[1.0, 1], [1, 2], [1, 3], [1, 4]])
    y = np.array([2.0, 3, 5, 4])
    before = m.ridge_grid_search(X, y, np.array([0.1, 1.0]), 1, True)

    from concurrent import interpreters
    isolated = interpreters.create()
    try:
        isolated.exec("import {NAME}")
    except interpreters.ExecutionFailed as e:
        print("isolated", e.excinfo.type.__name__, e.excinfo.msg, sep="|")
    isolated.close()

    import _interpreters
    legacy = _interpreters.create(_interpreters.new_config("legacy"))
    for _ in range(2):  # the refusal holds on a retry too
        info = _interpreters.exec(legacy, "import {NAME}")
        print("legacy", info.type.__name__, info.msg, sep="|")
    _interpreters.destroy(legacy)

    after = m.ridge_grid_search(X, y, np.array([0.1, 1.0]), 1, True)
    print("unchanged", after[0] == before[0] and np.array_equal(after[1], before[1]), sep="|")
    saved = sys.modules.pop("{NAME}")
    again = importlib.import_module("{NAME}")
    print("same object", again is saved is m, sep="|")
    print("works", again.ols_chol_solve(X, y)[2], sep="|")
    """
)


def test_second_interpreters_are_refused():
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stderr == "", out.stderr
    lines = [line.split("|") for line in out.stdout.splitlines()]
    assert lines == [
        ["isolated", "ImportError", f"module {NAME} does not support loading in subinterpreters"],
        ["legacy", "ImportError", "Interpreter change detected - this module can only be loaded "
         "into one interpreter per process."],  # fmt: skip
        ["legacy", "ImportError", "Interpreter change detected - this module can only be loaded "
         "into one interpreter per process."],  # fmt: skip
        ["unchanged", "True"],
        ["same object", "True"],
        ["works", "0"],
    ]
