"""Every parameter of every function fed with hostile objects: each call either
returns a result of the documented shape and types or raises an ordinary exception,
and never changes its inputs. The example count is `--hostile-examples`."""

import inspect
import math

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from hardening.calls import (KINDS, NAMES, ROUTINE_KINDS, ROUTINES, check_result,
                             check_routine_result, module_of)

HUGE = 2**40  # an extent whose square, or whose product with 8 bytes squared, overflows

DTYPES = [
    np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
    np.uint64, np.float16, np.float32, np.longdouble, np.complex64, np.complex128,
    np.clongdouble, object, "U3", "S3", "M8[s]", "m8[s]", "V8", [("a", "<f8")], ">f8",
    np.float64, np.float64, np.float64,
]  # fmt: skip


class Boom(Exception):
    pass


def _raise(*_):
    raise Boom("conversion refused")


def _obj(**methods):
    return type("Hostile", (), methods)()


class IntSub(int):
    pass


class FloatSub(float):
    pass


class BufferRaises:
    def __buffer__(self, flags):
        raise Boom("no buffer today")


class BufferOfDoubles:
    def __init__(self):
        self.a = np.arange(4.0)

    def __buffer__(self, flags):
        return memoryview(self.a)


SCALARS = [
    math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, -0.0, 0.0, 2.9, -2.9,
    2**63, -(2**63), -(2**63) - 1, 2**64, 10**100, True, False, 0, -1, 1,
    "2", "x", b"1", 1j, [0], [], (), {}, IntSub(3), FloatSub(0.5), np.float32(1.5),
    np.int64(7), np.float64(math.nan),
    _obj(__float__=_raise), _obj(__float__=lambda s: "x"), _obj(__float__=lambda s: FloatSub(1)),
    _obj(__int__=_raise), _obj(__int__=lambda s: 2.5), _obj(__int__=lambda s: True),
    _obj(__int__=lambda s: 2**70), _obj(__index__=_raise), _obj(__index__=lambda s: "a"),
    _obj(__index__=lambda s: 3), _obj(__bool__=_raise), _obj(__bool__=lambda s: 2),
    _obj(__len__=_raise), _obj(__len__=lambda s: -1), BufferRaises(), BufferOfDoubles(),
    object(),
]  # fmt: skip

values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1e308, -1e308, 5e-324, math.nan, math.inf, -math.inf]),
)


@st.composite
def float_array(draw, shape):
    size = math.prod(shape)
    flat = draw(st.lists(values, min_size=size, max_size=size))
    return np.array(flat, dtype=np.float64).reshape(shape)


@st.composite
def gram_matrix(draw, k):
    """Square k-by-k: asymmetric, symmetric indefinite or positive semi-definite."""
    A = draw(float_array((k, k)))
    with np.errstate(all="ignore"):
        return draw(st.sampled_from([A, A + A.T, A @ A.T, np.eye(k), -np.eye(k)]))


@st.composite
def hostile_array(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    ndim = draw(st.integers(0, 3))
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
    if ndim >= 2 and draw(st.booleans()):  # one huge extent, size still 0
        i = draw(st.integers(0, ndim - 1))
        shape = tuple(HUGE if j == i else 0 for j in range(ndim))
    a = np.zeros(shape, dtype=dtype)
    layout = draw(st.sampled_from(["c", "f", "slice", "reverse", "readonly", "misaligned"]))
    if layout == "f":
        a = np.asfortranarray(a)
    elif layout == "slice" and ndim:
        a = np.zeros(shape[:-1] + (2 * shape[-1],), dtype=dtype)[..., ::2]
    elif layout == "reverse" and ndim:
        a = a[..., ::-1]
    elif layout == "readonly":
        a.flags.writeable = False
    elif layout == "misaligned" and 0 not in shape and not dtype.hasobject:
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)[1:]
        a = raw.view(dtype).reshape(shape) if dtype.itemsize else a
    return a


def hostile(name, kind):
    objects = st.one_of(
        st.sampled_from(SCALARS),
        hostile_array(),
        st.builds(lambda n: memoryview(np.zeros(n)), st.integers(0, 4)),
        st.builds(lambda n: memoryview(bytearray(8 * n)).cast("d"), st.integers(0, 4)),
        st.builds(lambda n: bytearray(n), st.integers(0, 9)),
        st.builds(lambda n: bytes(n), st.integers(0, 9)),
        st.builds(lambda n: [0.0] * n, st.integers(0, 4)),
        st.just(None),
        st.just(np.array(1.0)),
    )
    if kind == "i" and name == "lars_lasso_gram":  # path lengths refused before the kernel
        return st.one_of(objects, st.sampled_from([2**63 - 1, 2**63 - 2, HUGE, -2, -(2**63)]))
    # Elsewhere a huge iteration limit is honoured: with tol <= 0 every sweep runs, so
    # only limits that end quickly are drawn (2**63 and beyond overflow at conversion).
    return objects


def sized(length):
    """A vector of about `length` entries: sometimes one short, sometimes longer."""
    return st.integers(-1, 2).map(lambda d: max(0, length + d)).flatmap(
        lambda m: float_array((m,))
    )


@st.composite
def base_args(draw, name, generic=False):
    """Arguments of the right kinds and roughly the right sizes, with hostile values."""
    n, k = draw(st.integers(0, 6)), draw(st.integers(0, 5))
    floats = st.one_of(values, st.just(0.1))
    iters = st.integers(-3, 40)
    flags = st.sampled_from([True, False, None, 0, 2.5])
    tols = st.sampled_from([1e-8, 0.0, -1.0, math.nan, math.inf, 1e300])

    def nullable(s):  # None now and then
        return st.one_of(s, s, s, st.just(None))

    X = nullable(float_array((n, k)))
    G = nullable(gram_matrix(k))
    m = draw(st.integers(0, 4)) if draw(st.booleans()) else 3  # knots of a path
    path = nullable(st.sampled_from([0, 0, 1, -1]).flatmap(lambda d: float_array((max(0, m + d), k))))
    strategy = {
        "ols_chol_solve": st.tuples(X, nullable(sized(n))),
        "chol_solve_L2": st.tuples(X, sized(n), floats, flags),
        "ridge_grid_search": st.tuples(X, sized(n), sized(3), st.integers(0, 4), flags),
        "lasso_gram_cd": st.tuples(G, sized(k), floats, iters, tols),
        "lars_lasso_gram": st.tuples(G, sized(k), iters, tols),
        "lasso_path_eval": st.tuples(
            st.one_of(float_array((m,)), nullable(sized(m))), path, sized(3)
        ),
        "elastic_net_gram_cd": st.tuples(G, sized(k), floats, floats, sized(k), iters, tols),
        "elastic_net_gram_cd_path": st.tuples(G, sized(k), sized(3), floats, iters, tols),
        "elastic_net_active_dof": st.tuples(G, sized(k), floats, flags, floats),
    } | routine_strategies(n, k, X, G, floats, flags, nullable)
    if generic or name not in strategy:  # a routine without a strategy of its own
        by_kind = {"m": X, "v": sized(n), "f": floats, "i": iters, "b": flags,
                   "I": nullable(st.lists(st.integers(-1, 4), max_size=n + 1).map(
                       lambda v: np.array(v, dtype=np.int64))),
                   "s": X.map(lambda a: a if a is None else np.asfortranarray(a))}
        return list(draw(st.tuples(*(by_kind[kind] for kind in ROUTINE_KINDS[name]))))
    return list(draw(strategy[name]))


def records():
    """Records of 0 to 3 rows whose width fits p = 1, 2 or 3 columns, raw or not."""
    return st.tuples(st.integers(0, 3), st.sampled_from([5, 6, 10, 14, 17])).flatmap(float_array)


def routine_strategies(n, k, X, G, floats, flags, nullable):
    """The arguments of the routines of _routines."""
    i64 = st.integers(-(2**63), 2**63 - 1)
    layouts = st.sampled_from([lambda a: a, np.asfortranarray, lambda a: a[:, ::-1],
                               lambda a: np.repeat(a, 2, axis=1)[:, ::2]])
    strided = st.tuples(float_array((n, k)), layouts).map(lambda t: t[1](t[0]))
    slots = st.lists(st.integers(-1, 4), min_size=max(n - 1, 0), max_size=n + 1).map(
        lambda v: np.array(v, dtype=np.int64))
    return {
        "gram": st.tuples(X),
        "gram_rhs": st.tuples(X, sized(n)),
        "dot": st.tuples(sized(n), sized(n)),
        "matvec": st.tuples(X, sized(k)),
        "forward_subst": st.tuples(G, sized(k)),
        "backward_subst_chol_t": st.tuples(G, sized(k)),
        "chol_solve": st.tuples(G, sized(k)),
        "ridge_grid_search_gram": st.tuples(G, sized(k), floats, floats, sized(2),
                                            st.integers(0, 4), flags),
        "moments_leaves": st.tuples(strided, sized(n), nullable(sized(n)), nullable(slots),
                                    st.integers(-1, 5), flags),
        "moments_merge": st.tuples(records(), records(), st.integers(-1, 4), flags),
        "fold_ids": st.tuples(i64, st.integers(-2, 40), st.integers(-1, 5), i64),
    }


@given(st.sampled_from(ROUTINES).flatmap(
    lambda name: st.tuples(st.just(name), base_args(name, generic=True))))
@settings(max_examples=200, deadline=None)
def test_arguments_by_kind_for_any_routine(case):
    """A routine without a strategy of its own (a new list entry) is drawn arguments by
    its kinds; each call returns its declared result or raises an ordinary exception."""
    name, args = case
    try:
        result = getattr(module_of(name), name)(*args)
    except (Exception, Warning) as e:  # noqa: BLE001 - any ordinary exception is a pass
        assert not isinstance(e, (SystemError, AssertionError)), e
    else:
        check_routine_result(name, args, result)


def snapshot(obj):
    """What must not change: the bytes of a buffer, the items of a list."""
    if isinstance(obj, np.ndarray):
        return obj.copy() if obj.dtype.hasobject else obj.tobytes()
    if isinstance(obj, (bytearray, memoryview)):
        return bytes(obj)
    if isinstance(obj, list):
        return list(obj)
    return None


def unchanged(obj, before):
    if isinstance(obj, np.ndarray) and obj.dtype.hasobject:
        return obj.shape == before.shape and all(a is b for a, b in zip(obj.flat, before.flat))
    return snapshot(obj) == before


def converted_int(obj):
    """max_iter as the module converts it, for plain numbers (else None: unchecked)."""
    if type(obj) in (int, bool, float) and not (isinstance(obj, float) and not math.isfinite(obj)):
        return int(obj)
    return None


ALL_KINDS = KINDS | ROUTINE_KINDS


def function(name):
    return getattr(module_of(name), name)


@st.composite
def case(draw):
    name = draw(st.sampled_from(NAMES + ROUTINES))
    kinds = ALL_KINDS[name]
    args = draw(base_args(name))
    for i in draw(st.sets(st.integers(0, len(kinds) - 1), max_size=2)):
        args[i] = draw(hostile(name, kinds[i]))
    params = list(inspect.signature(function(name)).parameters)
    style = draw(st.sampled_from(["positional"] * 6 + ["keywords", "short", "long", "stray"]))
    return name, params, args, style


def invoke(fn, params, args, style):
    if style == "keywords":
        return fn(**dict(zip(params, args)))
    if style == "short":
        return fn(*args[:-1])
    if style == "long":
        return fn(*args, None)
    if style == "stray":
        return fn(*args[:-1], **{params[-1]: args[-1], "stray": 1})
    return fn(*args)


def test_hostile_arguments(request, capsys):
    examples = request.config.getoption("--hostile-examples")
    tried = {"calls": 0, "results": 0}

    @settings(
        max_examples=examples,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )
    @given(case())
    def run(c):
        name, params, args, style = c
        before = [snapshot(a) for a in args]
        fn = function(name)
        tried["calls"] += 1
        try:
            result = invoke(fn, params, args, style)
        except (Exception, Warning) as e:  # noqa: BLE001 - any ordinary exception is a pass
            assert not isinstance(e, (SystemError, AssertionError)), e
        else:
            assert style in ("positional", "keywords"), style
            tried["results"] += 1
            if name in KINDS:
                check_result(name, args, result, converted_int(args[2]) if name == "lars_lasso_gram" else None)
            else:
                check_routine_result(name, args, result)
        for a, b in zip(args, before):
            if b is not None:
                assert unchanged(a, b), (name, a)

    run()
    with capsys.disabled():
        print(f"\nhostile arguments: {tried['calls']} calls, {tried['results']} results")
    assert tried["calls"] >= examples
