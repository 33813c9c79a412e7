"""Many calls of every function, succeeding, failing in every way an argument can
fail, and ending in every failed status, leave the reference counts of the
arguments and of what the module looks up, the interpreter's allocated blocks and
the resident memory where they were. The call count is `--leak-calls`."""

import gc
import inspect
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from hardening.calls import (KINDS, NAMES, ROUTINE_KINDS, ROUTINES, failing_status_args, listed_args,
                             misaligned, mod, module_of, sound_args)
from hardening.heap import ASAN, malloc_in_use


class BoolRaises:
    def __bool__(self):
        raise ZeroDivisionError


def outcomes(name, rng):
    """(label, args, kwargs, expected exception or None) for every way a call ends."""
    routine = name in ROUTINE_KINDS
    good = list(listed_args(name, rng=rng) if routine else sound_args(name, rng))
    kinds = (ROUTINE_KINDS if routine else KINDS)[name]
    params = list(inspect.signature(getattr(module_of(name), name)).parameters)

    def with_(i, value):
        args = list(good)
        args[i] = value
        return args

    first = good[0]
    cases = [
        ("result", good, {}, None),
        ("refused", list(listed_args(name, "refused", rng)), {}, ValueError) if routine else
        ("status", list(failing_status_args(name)), {}, None),
        ("count", good[:-1], {}, TypeError),
        ("unexpected keyword", good, {"stray": 1}, TypeError),
        ("repeated keyword", good, {params[0]: first}, TypeError),
    ]
    if kinds[0] in "mvs":  # a float64 array first
        cases += [
            ("dimensions", with_(0, np.zeros((2,) * (first.ndim + 1))), {}, ValueError),
            ("dtype", with_(0, first.astype(np.float32)), {}, ValueError),
            ("no buffer", with_(0, first.tolist()), {}, TypeError),
            ("misaligned", with_(0, misaligned(first)), {}, ValueError),
        ]
    if kinds[0] in "mv":  # used in place: C-contiguous and writable
        ro = first.copy()
        ro.flags.writeable = False
        strided = np.zeros(first.shape[:-1] + (2 * first.shape[-1],))[..., ::2]
        cases += [
            ("layout", with_(0, strided), {}, (ValueError, BufferError)),
            ("read-only", with_(0, ro), {}, (ValueError, BufferError)),
        ]
    if len(kinds) > 1 and kinds[1] in "mv":
        cases.append(("short", with_(1, good[1][:1]), {}, ValueError))
    for i, kind in enumerate(kinds):
        if kind == "f":
            cases.append((f"float {params[i]}", with_(i, "x"), {}, TypeError))
        elif kind == "i":
            cases.append((f"integer {params[i]}", with_(i, "2"), {}, TypeError))
            cases.append((f"overflow {params[i]}", with_(i, 2**64), {}, OverflowError))
        elif kind == "b":
            cases.append((f"flag {params[i]}", with_(i, BoolRaises()), {}, ZeroDivisionError))
    if name == "lars_lasso_gram":
        cases.append(("max_iter -1", with_(2, -1), {}, ValueError))
        cases.append(("allocation", with_(2, 2**62), {}, (ValueError, MemoryError)))
    return cases


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(fn, cases, calls):
    for i in range(calls):
        _, args, kwargs, exc = cases[i % len(cases)]
        if exc is None:
            fn(*args, **kwargs)
        else:
            try:
                fn(*args, **kwargs)
            except exc:
                pass
            else:
                raise AssertionError(f"{cases[i % len(cases)][0]}: no {exc}")


def measure(name, calls, seed=7):
    """The before and after of `calls` calls of `name`, after a warm-up in which
    caches and allocator arenas settle."""
    fn = getattr(module_of(name), name)
    cases = outcomes(name, np.random.default_rng(seed))
    watched = [fn, module_of(name).np, np.empty, np.asarray, np.float64, np.int64]
    for _, args, kwargs, _ in cases:
        watched += [a for a in args if a is not None] + list(kwargs.values())
    watched = list({id(o): o for o in watched}.values())

    for case in cases:  # some caches of the interpreter fill only after many calls
        run(fn, [case], min(calls, 20_000))
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = (sys.getallocatedblocks(), malloc_in_use(), resident_bytes())
    run(fn, cases, calls)
    gc.collect()
    after = (sys.getallocatedblocks(), malloc_in_use(), resident_bytes())
    return {
        "outcomes": len(cases),
        "refcounts_kept": [sys.getrefcount(o) for o in watched] == refs,
        "blocks": [before[0], after[0]],
        "heap": [before[1], after[1]],
        "resident": [before[2], after[2]],
    }


@pytest.mark.parametrize("name", NAMES + ROUTINES)
def test_calls_leave_no_trace(name, request, capsys):
    """Measured in a fresh interpreter, where no other test's threads or caches move
    the figures."""
    calls = request.config.getoption("--leak-calls")
    code = (
        "import json, sys; sys.path[:0] = sys.argv[1:3]; "
        "from hardening.test_refcounts_and_memory import measure; "
        "print(json.dumps(measure(sys.argv[3], int(sys.argv[4]))))"
    )
    root = pathlib.Path(__file__).resolve().parents[2]
    paths = [str(root / "tests"), str(root / "tools")]  # as pytest's pythonpath
    out = subprocess.run([sys.executable, "-c", code, *paths, name, str(calls)],
                         capture_output=True, text=True, timeout=600)  # fmt: skip
    assert out.returncode == 0, out.stderr
    m = json.loads(out.stdout)
    (b0, b1), (h0, h1), (r0, r1) = m["blocks"], m["heap"], m["resident"]
    with capsys.disabled():
        print(f"\n{name}: {calls} calls over {m['outcomes']} outcomes; resident memory "
              f"{r0 / 2**20:.2f} -> {r1 / 2**20:.2f} MiB, C heap in use {h0} -> {h1} bytes, "
              f"Python blocks {b0} -> {b1}")  # fmt: skip

    assert m["refcounts_kept"]
    assert b1 - b0 < 50
    if h0 is not None:
        assert h1 - h0 < 16 * 1024
    if not ASAN:  # the sanitizer's quarantine holds freed memory back by design
        assert r1 - r0 < 2**20


def test_missing_np_leaves_no_trace(rng, monkeypatch):
    """The NameError path: every call looks `np` up afresh and finds nothing."""
    args = sound_args("ridge_grid_search", rng)
    monkeypatch.delattr(mod, "np")
    refs = [sys.getrefcount(a) for a in args]
    blocks = sys.getallocatedblocks()
    for _ in range(20_000):
        with pytest.raises(NameError):
            mod.ridge_grid_search(*args)
    gc.collect()
    assert [sys.getrefcount(a) for a in args] == refs
    assert sys.getallocatedblocks() - blocks < 50
