"""`Quandrel.tall` is the package's home; the old private path gives the same objects."""

import pickle
import subprocess
import sys
import textwrap

import numpy as np

# In a fresh interpreter, so that the order of first imports is the one under test.
SCRIPT = textwrap.dedent(
    """
    import importlib, pickle, sys
    {first}
    import Quandrel.tall as new
    import Quandrel._ckernels.regression.tall as old
    from Quandrel._ckernels.regression import tall as attr
    assert old is new is attr
    for sub in ("_pass", "_stats", "_readers.parquet", "_solvers"):
        a = importlib.import_module("Quandrel._ckernels.regression.tall." + sub)
        b = importlib.import_module("Quandrel.tall." + sub)
        assert a is b, sub
        assert b.__spec__.name == "Quandrel.tall." + sub, b.__spec__.name
    assert old.GramStats is new.GramStats
    print("ok")
    """
)


def _run(first):
    out = subprocess.run([sys.executable, "-c", SCRIPT.format(first=first)], capture_output=True,
                         text=True, check=False)
    assert out.returncode == 0 and out.stdout == "ok\n", out.stderr


def test_old_and_new_names_are_the_same_modules_in_either_import_order():
    _run("import Quandrel._ckernels.regression.tall._readers.parquet")
    _run("import Quandrel.tall._stats")


def test_a_record_pickled_under_the_old_name_loads_as_the_new_class():
    from Quandrel import tall

    stats = tall.gram_stats(np.eye(3), np.ones(3))
    blob = pickle.dumps(stats, protocol=0).replace(b"Quandrel.tall.", b"Quandrel._ckernels.regression.tall.")
    again = pickle.loads(blob)
    assert type(again) is type(stats) and again.fingerprint() == stats.fingerprint()
