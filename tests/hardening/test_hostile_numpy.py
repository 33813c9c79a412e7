"""The module's `np` replaced by one whose `empty` or `asarray` hands back something
unusable, one allocation at a time: every function refuses it with an exception
naming the function before any kernel runs, and never crashes or writes past it."""

import numpy as np
import pytest

from hardening.calls import NAMES, failing_status_args, mod, same_result, sound_args

MADE = [name for name in NAMES if name != "elastic_net_active_dof"]  # it allocates nothing


def _short(shape):
    return (shape - 1,) if isinstance(shape, int) else (shape[0], shape[1] - 1)


def _misaligned(shape, dtype):
    n = int(np.prod(shape))
    return np.zeros(n * 8 + 1, dtype=np.uint8)[1:].view(dtype).reshape(shape)


def _read_only(shape, dtype):
    a = np.zeros(shape, dtype)
    a.flags.writeable = False
    return a


def _other_dtype(dtype):
    return np.float32 if dtype is np.float64 else np.float64


def _transposed(shape, dtype):
    return np.zeros(shape[::-1] if isinstance(shape, tuple) else (shape, 2), dtype).T


# Replacements for the array np.empty(shape, dtype) would give, each wrong in one way
# (the extents the functions ask for here are all at least 2), and the exception.
BAD_EMPTY = {
    "none": (lambda shape, dtype: None, TypeError),
    "list": (lambda shape, dtype: np.zeros(shape, dtype).tolist(), TypeError),
    "one short": (lambda shape, dtype: np.zeros(_short(shape), dtype), ValueError),
    "flattened": (lambda shape, dtype: np.zeros(np.prod(shape), dtype)[:, None], ValueError),
    "dtype": (lambda shape, dtype: np.zeros(shape, _other_dtype(dtype)), ValueError),
    "transposed": (_transposed, ValueError),
    "read-only": (_read_only, ValueError),
    "strided": (lambda shape, dtype: np.zeros(2 * np.prod(shape), dtype)[::2].reshape(shape),
                ValueError),
    "misaligned": (_misaligned, ValueError),
    # The same memory as an earlier array of the call, or as one of its arguments.
    "again": (lambda shape, dtype: "again", ValueError),
    "an argument": (lambda shape, dtype: "argument", ValueError),
}  # fmt: skip


class FakeNumpy:
    """numpy, except that allocation number `broken` of each call comes from `make`."""

    float64, int64 = np.float64, np.int64

    def __init__(self, broken=-1, make=None, args=(), asarray=np.asarray):
        self.broken, self.make, self.args, self.asarray = broken, make, args, asarray
        self.requests, self.made = [], []

    def empty(self, shape, dtype):
        self.requests.append((shape, dtype))
        a = np.empty(shape, dtype=dtype)
        if len(self.requests) - 1 == self.broken:
            a = self.make(shape, dtype)
            if isinstance(a, str):  # alias an earlier array or the largest argument
                pool = self.made if a == "again" else [x for x in self.args if x is not None]
                big = max(pool, key=np.size)
                a = big.reshape(-1).view(np.uint8)[: 8 * np.prod(shape)].view(dtype).reshape(shape)
        self.made.append(a)
        return a


def _argument_sets(name):
    yield sound_args(name, np.random.default_rng(5), n=7, k=4)
    if name in ("ols_chol_solve", "chol_solve_L2"):
        yield failing_status_args(name)  # the empty factor is allocated after the kernel


def _requests(name, args, monkeypatch):
    spy = FakeNumpy(args=args)
    monkeypatch.setattr(mod, "np", spy)
    getattr(mod, name)(*args)
    return spy.requests


@pytest.mark.parametrize("bad", BAD_EMPTY)
@pytest.mark.parametrize("name", MADE)
def test_unusable_allocation_is_refused(monkeypatch, name, bad):
    make, exc = BAD_EMPTY[bad]
    for args in _argument_sets(name):
        requests = _requests(name, args, monkeypatch)
        for broken, (shape, dtype) in enumerate(requests):
            if shape == (0, 0) and bad not in ("none", "list", "dtype", "read-only"):
                continue  # an empty (0, 0) array has no extent, layout or memory to get wrong
            if bad in ("again", "an argument"):
                sizes = [np.prod(r[0]) for r in requests[:broken]] if bad == "again" else [
                    np.size(a) for a in args if a is not None]  # fmt: skip
                if max(sizes, default=0) < np.prod(shape):
                    continue  # nothing large enough to alias
            before = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
            monkeypatch.setattr(mod, "np", FakeNumpy(broken, make, args))
            with pytest.raises(exc, match=rf"^{name}\(\): np\.empty returned "):
                getattr(mod, name)(*args)
            for a, b in zip(args, before):
                assert not isinstance(a, np.ndarray) or a.tobytes() == b.tobytes()


BAD_ASARRAY = {
    "none": (lambda a: None, TypeError),
    "string": (lambda a: "garbage", TypeError),
    "list": (lambda a: np.asarray(a).tolist(), TypeError),
    "copy": (lambda a: np.array(a, copy=True), ValueError),  # right values, but not the memory the kernel wrote
    "shorter": (lambda a: np.asarray(a)[:-1], ValueError),
    "dtype": (lambda a: np.asarray(a).astype(np.float32), ValueError),
    "flattened": (lambda a: np.asarray(a).reshape(-1) if a.ndim == 2 else np.asarray(a)[:, None],
                  ValueError),
}  # fmt: skip


@pytest.mark.parametrize("bad", BAD_ASARRAY)
@pytest.mark.parametrize("name", MADE)
def test_unusable_asarray_result_is_refused(monkeypatch, name, bad):
    wrap, exc = BAD_ASARRAY[bad]
    for args in _argument_sets(name):
        monkeypatch.setattr(mod, "np", FakeNumpy(asarray=wrap))
        with pytest.raises(exc, match=rf"^{name}\(\): np\.asarray returned "):
            getattr(mod, name)(*args)


@pytest.mark.parametrize("name", NAMES)
def test_numpy_subclasses_and_exact_arrays_are_accepted(monkeypatch, name):
    class Sub(np.ndarray):
        pass

    class SubNumpy(FakeNumpy):
        def empty(self, shape, dtype):
            return np.empty(shape, dtype=dtype).view(Sub)

    for args in _argument_sets(name):
        want = getattr(mod, name)(*args)
        monkeypatch.setattr(mod, "np", SubNumpy())
        got = getattr(mod, name)(*args)
        monkeypatch.setattr(mod, "np", np)
        assert same_result(want, got)
