"""The conventions every module function shares: argument matching, array
acceptance, scalar conversion, allocation through the module's `np`, tracebacks."""

import array
import builtins
import inspect
import traceback

import numpy as np
import pytest

import Quandrel._ckernels.regression._regression as mod
from hardening.calls import KINDS, NAMES, misaligned, sound_args

X = np.array([[1.0, 1], [1, 2], [1, 3], [1, 4], [1, 5]])
Y = np.array([2.0, 3, 5, 4, 6])
ols = mod.ols_chol_solve


def same(a, b):
    return all(np.array_equal(u, v) for u, v in zip(a, b))


class TestMatching:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((X,), {}, r"ols_chol_solve\(\) takes exactly 2 positional arguments \(1 given\)"),
            ((X, Y, Y), {}, r"takes exactly 2 positional arguments \(3 given\)"),
            ((), {}, r"\(0 given\)"),
            ((), {"y": Y}, r"\(0 given\)"),
            ((), {"X": X}, r"\(1 given\)"),
            ((X, Y, Y), {"z": 1}, r"\(3 given\)"),
            ((X, Y), {"X": X}, r"ols_chol_solve\(\) got multiple values for keyword argument 'X'"),
            ((X, Y), {"z": 1}, r"ols_chol_solve\(\) got an unexpected keyword argument 'z'"),
            ((X,), {"x": Y}, r"got an unexpected keyword argument 'x'"),
        ],
    )
    def test_errors(self, args, kwargs, message):
        with pytest.raises(TypeError, match=message):
            ols(*args, **kwargs)

    def test_keywords_in_any_order(self):
        ref = ols(X, Y)
        assert same(ols(y=Y, X=X), ref)
        assert same(ols(X, y=Y), ref)
        # A keyword equal to, but not identical with, the interned name still matches.
        assert same(ols(**{"".join(["X"]): X, "".join(["y"]): Y}), ref)

    @pytest.mark.parametrize("name", NAMES)
    def test_counts_of_every_function(self, name):
        fn = getattr(mod, name)
        n = len(inspect.signature(fn).parameters)
        message = rf"^{name}\(\) takes exactly {n} positional arguments \({n - 1} given\)$"
        with pytest.raises(TypeError, match=message):
            fn(*([None] * (n - 1)))


class TestArrays:
    @pytest.mark.parametrize(
        "dtype, desc",
        [
            (np.float32, "'float'"),
            (np.int64, "'long'"),
            (np.int32, "'int'"),
            (np.int16, "'short'"),
            (np.uint8, "'unsigned char'"),
            (np.bool_, "'bool'"),
            (np.complex128, "'complex double'"),
            (np.longdouble, "'long double'"),
            (np.dtype([("a", "f8")]), "a struct"),
            (object, "Python object"),
        ],
    )
    def test_dtype_mismatch(self, dtype, desc):
        with pytest.raises(ValueError) as e:
            ols(X.astype(dtype), Y)
        assert str(e.value) == f"Buffer dtype mismatch, expected 'double' but got {desc}"

    def test_dtype_of_second_argument(self):
        with pytest.raises(ValueError, match="expected 'double' but got 'long'"):
            ols(X, Y.astype(np.int64))

    def test_big_endian(self):
        with pytest.raises(ValueError, match="^Big-endian buffer not supported on little-endian"):
            ols(X.astype(">f8"), Y)

    @pytest.mark.parametrize(
        "args, message",
        [
            ((Y, Y), r"Buffer has wrong number of dimensions \(expected 2, got 1\)"),
            ((X, X), r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
            ((X[None], Y), r"\(expected 2, got 3\)"),
            ((X, np.array(1.0)), r"\(expected 1, got 0\)"),
            # Several faults: the dimension count is reported before the dtype.
            ((Y.astype(np.float32), Y), r"\(expected 2, got 1\)"),
        ],
    )
    def test_dimensions(self, args, message):
        with pytest.raises(ValueError, match=message):
            ols(*args)

    @pytest.mark.parametrize(
        "bad",
        [
            np.asfortranarray(np.ones((5, 2))),
            np.ones((2, 5)).T,
            np.ones((5, 4))[:, ::2],
            "readonly",
            [[1.0, 2.0]],
            b"12345678",
            3.0,
        ],
        ids=["fortran", "transpose", "strided", "readonly", "list", "bytes", "float"],
    )
    def test_exporter_refusals(self, bad):
        if isinstance(bad, str):
            bad = np.ones((5, 2))
            bad.flags.writeable = False
        with pytest.raises((BufferError, TypeError, ValueError)) as e:
            ols(bad, Y)
        # The exporter's own refusal, not one of the module's messages.
        assert "Buffer dtype" not in str(e.value) and "wrong number" not in str(e.value)

    def test_exporter_refusal_comes_first(self):
        bad = np.ones(5, dtype=np.float32)
        bad.flags.writeable = False
        with pytest.raises((BufferError, ValueError)) as e:
            ols(bad, Y)
        assert "dimensions" not in str(e.value)

    def test_copies_and_other_exporters_accepted(self):
        ref = ols(X, Y)
        assert same(ols(np.ascontiguousarray(np.asfortranarray(X)), Y), ref)
        assert same(ols(memoryview(X), memoryview(Y)), ref)
        assert same(ols(X, array.array("d", Y)), ref)

    @pytest.mark.parametrize("arg", [0, 1])
    def test_misaligned_buffers_are_refused(self, arg):
        """A byte-offset view of raw memory would hand the kernel misaligned doubles."""
        raw = np.zeros(X.nbytes + 1, dtype=np.uint8)[1:]
        bad = raw.view(np.float64).reshape(X.shape) if arg == 0 else raw[: Y.nbytes].view(np.float64)
        bad[...] = (X, Y)[arg]
        args = [X, Y]
        args[arg] = bad
        with pytest.raises(ValueError, match=r"(?m)^Buffer not aligned to 8 bytes\.$"):
            ols(*args)
        # Empty, it is never read: accepted like any empty buffer.
        assert ols(raw[:0].view(np.float64).reshape(0, 0), Y)[2] == 0

    def test_single_row_and_column_strides_are_fine(self):
        # Extents below 2 impose no stride: a column of a one-row matrix and the like.
        Z = np.ones((3, 4))[:1, :2]  # one row: its row stride does not matter
        coef, L, status = ols(Z, np.ones(1))
        assert coef.shape == (2,) and status == -1


class TestScalars:
    # The conversions run before the function body, for every function alike.
    G = np.eye(2)
    g = np.ones(2)

    @pytest.mark.parametrize(
        "value, exc, message",
        [
            ("2", TypeError, "(?m)^an integer is required$"),
            (None, TypeError, "(?m)^an integer is required$"),
            (2**63, OverflowError, "int"),
            (-(2**63) - 1, OverflowError, "int"),
        ],
    )
    def test_integer_errors(self, value, exc, message):
        with pytest.raises(exc, match=message):
            mod.lasso_gram_cd(self.G, self.g, 0.1, value, 1e-6)

    def test_int_returning_non_int(self):
        class Bad:
            def __int__(self):
                return 2.5

        with pytest.raises(TypeError, match=r"(?m)^__int__ returned non-int \(type float\)$"):
            mod.lasso_gram_cd(self.G, self.g, 0.1, Bad(), 1e-6)

    def test_int_returning_int_subclass_warns(self):
        class MyInt(int):
            pass

        class Odd:
            def __int__(self):
                return MyInt(3)

        with pytest.raises(DeprecationWarning, match=r"__int__ returned non-int \(type MyInt\)\."):
            mod.lasso_gram_cd(self.G, self.g, 0.1, Odd(), 1e-6)

    @pytest.mark.parametrize("value", ["x", None, object()])
    def test_float_errors(self, value):
        with pytest.raises(TypeError):
            mod.lasso_gram_cd(self.G, self.g, value, 10, 1e-6)

    def test_flag_truth_errors_propagate(self):
        class Boom:
            def __bool__(self):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError, match="boom"):
            mod.chol_solve_L2(X, Y, 1.0, Boom())

    def test_first_bad_argument_is_reported(self):
        with pytest.raises(ValueError, match="dimensions"):
            mod.lasso_gram_cd(self.g, self.g, "x", "y", 1e-6)


class TestAllocation:
    def test_np_is_looked_up_at_call_time(self, monkeypatch):
        calls = []

        class Spy:
            float64 = np.float64
            int64 = np.int64

            def empty(self, shape, dtype):
                calls.append((shape, dtype))
                return np.empty(shape, dtype=dtype)

            def asarray(self, a):
                return np.asarray(a)

        monkeypatch.setattr(mod, "np", Spy())
        ols(X, Y)
        assert calls == [(2, np.float64), ((2, 2), np.float64), ((2, 2), np.float64), (2, np.float64)]

    def test_missing_np_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(mod, "np")
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            ols(X, Y)
        monkeypatch.setattr(builtins, "np", np, raising=False)
        assert ols(X, Y)[2] == 0

    def test_allocation_failure_propagates(self, monkeypatch):
        class Broken:
            float64 = np.float64

            def empty(self, shape, dtype):
                raise MemoryError("no room")

        monkeypatch.setattr(mod, "np", Broken())
        with pytest.raises(MemoryError, match="no room"):
            ols(X, Y)


def test_traceback_names_the_function():
    with pytest.raises(TypeError) as e:
        ols(X)
    names = [f.name for f in traceback.extract_tb(e.value.__traceback__)]
    assert names[-1] == "Quandrel._ckernels.regression._regression.ols_chol_solve"


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# Ways an array argument is refused: (make, exception, message, the note's fix). In
# the fix, {name} is the parameter's name.
CONVERT = "pass np.ascontiguousarray({name}, dtype=np.float64)"
WRITABLE = "{name} is read-only and arrays are used in place: pass a writable copy, " \
    "np.array({name}, dtype=np.float64, order='C')"
ARRAY_REFUSALS = {
    "float32": (lambda a: a.astype(np.float32), ValueError,
                "Buffer dtype mismatch, expected 'double' but got 'float'", CONVERT),
    "int64": (lambda a: a.astype(np.int64), ValueError,
              "Buffer dtype mismatch, expected 'double' but got 'long'", CONVERT),
    "big-endian": (lambda a: a.astype(">f8"), ValueError,
                   "Big-endian buffer not supported on little-endian compiler", CONVERT),
    "strided": (lambda a: np.repeat(a, 2, axis=-1)[..., ::2], ValueError,
                "ndarray is not C-contiguous", CONVERT),
    "list": (lambda a: a.tolist(), TypeError,
             "a bytes-like object is required, not 'list'", CONVERT),
    "read-only": (_read_only, ValueError, "buffer source array is read-only", WRITABLE),
    "read-only strided": (lambda a: _read_only(np.repeat(a, 2, axis=-1))[..., ::2], ValueError,
                          "ndarray is not C-contiguous", WRITABLE),
    "misaligned": (misaligned, ValueError, "Buffer not aligned to 8 bytes.",
                   "{name} does not start on an 8-byte boundary: pass an aligned copy, "
                   "np.array({name}, dtype=np.float64, order='C')"),
    "one more dimension": (lambda a: a[None], ValueError, None, None),
}  # fmt: skip
SCALAR_REFUSALS = {
    "f": ("x", TypeError, "must be real number, not str", "pass a real number, such as a float"),
    "i": ("2", TypeError, "an integer is required", "pass an int between -2**63 and 2**63 - 1"),
    "b": (type("Refuses", (), {"__bool__": lambda self: 1 / 0})(), ZeroDivisionError,
          "division by zero", "pass True or False"),
}  # fmt: skip
CASES = [(name, i, way) for name in NAMES for i, kind in enumerate(KINDS[name])
         for way in (ARRAY_REFUSALS if kind in "mv" else [kind])]  # fmt: skip


@pytest.mark.parametrize("name, i, way", CASES, ids=lambda v: str(v))
def test_refused_argument_gets_a_note_naming_it(name, i, way, rng):
    """The message is the one callers match, unchanged; a note under it names the
    function and the argument, and says what to pass instead."""
    fn = getattr(mod, name)
    param = list(inspect.signature(fn).parameters)[i]
    args = list(sound_args(name, rng))
    if way in ARRAY_REFUSALS:
        make, exc, message, fix = ARRAY_REFUSALS[way]
        args[i] = make(np.zeros((3, 3)) if args[i] is None or KINDS[name][i] == "m" and
                       np.ndim(args[i]) != 2 else np.asarray(args[i]))  # fmt: skip
        if way == "one more dimension":
            want = 2 if KINDS[name][i] == "m" else 1
            message = f"Buffer has wrong number of dimensions (expected {want}, got {want + 1})"
            fix = ("pass a 2-D float64 array (or None)" if want == 2 else
                   "pass a 1-D float64 array (or None), such as "
                   "np.ascontiguousarray({name}, dtype=np.float64).ravel()")  # fmt: skip
    else:
        args[i], exc, message, fix = SCALAR_REFUSALS[way]
    with pytest.raises(exc) as e:
        fn(*args)
    assert str(e.value) == message
    assert e.value.__notes__ == [f"argument '{param}' of {name}(): " + fix.format(name=param)]


def test_errors_that_are_not_refusals_get_no_note():
    with pytest.raises(TypeError) as e:
        ols(X)
    assert not hasattr(e.value, "__notes__")
    with pytest.raises(ValueError, match=r"ols_chol_solve\(\): y has") as e:
        ols(X, Y[:2])
    assert not hasattr(e.value, "__notes__")
