"""The AS 241 (PPND16) normal quantile, its array form and the inverse error function."""

import math

import mpmath
import numpy as np
import pytest
import scipy.special

from native import P, bits, f64, fn

ndtri = fn("qdl_ndtri_as241")
ndtri_into = fn("qdl_ndtri_as241_into")
erfinv_from_as241 = fn("qdl_erfinv_from_as241")
erfinv = fn("qdl_erfinv")
SQRT2 = 1.4142135623730951

# The published PPND16 coefficients (Wichura 1988), constant term first.
A = [3.3871328727963666080e0, 1.3314166789178437745e2, 1.9715909503065514427e3, 1.3731693765509461125e4,
     4.5921953931549871457e4, 6.7265770927008700853e4, 3.3430575583588128105e4, 2.5090809287301226727e3]
B = [1.0, 4.2313330701600911252e1, 6.8718700749205790830e2, 5.3941960214247511077e3,
     2.1213794301586595867e4, 3.9307895800092710610e4, 2.8729085735721942674e4, 5.2264952788528545610e3]
C = [1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0, 3.64784832476320460504e0,
     1.27045825245236838258e0, 2.41780725177450611770e-1, 2.27238449892691845833e-2, 7.74545014278341407640e-4]
D = [1.0, 2.05319162663775882187e0, 1.67638483018380384940e0, 6.89767334985100004550e-1,
     1.48103976427480074590e-1, 1.51986665636164571966e-2, 5.47593808499534494600e-4, 1.05075007164441684324e-9]
E = [6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0, 2.96560571828504891230e-1,
     2.65321895265761230930e-2, 1.24266094738807843860e-3, 2.71155556874348757815e-5, 2.01033439929228813265e-7]
F = [1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1, 1.48753612908506148525e-2,
     7.86869131145613259100e-4, 1.84631831751005468180e-5, 1.42151175831644588870e-7, 2.04426310338993978564e-15]


def horner(c, x):
    y = c[7]
    for i in range(6, -1, -1):
        y = y * x + c[i]
    return y


def central(p):
    q = p - 0.5
    r = 0.180625 - q * q
    return q * horner(A, r) / horner(B, r)


def tail(p, far):
    q = p - 0.5
    r = math.sqrt(-math.log(p if q < 0 else 1.0 - p))
    x = horner(E, r - 5.0) / horner(F, r - 5.0) if far else horner(C, r - 1.6) / horner(D, r - 1.6)
    return -x if q < 0 else x


# p with sqrt(-log p) == 5.0 exactly, and its predecessor, whose r is just above 5.
R5 = 1.3887943864963948e-11
R5_BELOW = float(np.nextafter(R5, 0.0))


@pytest.mark.parametrize(
    "p,formula",
    [
        (0.075, central),  # q is exactly -0.425: the central test is inclusive
        (0.925, lambda p: tail(p, False)),  # q = 0.42500000000000004: tail
        (0.3, central),
        (0.01, lambda p: tail(p, False)),
        (R5, lambda p: tail(p, False)),  # r == 5.0 exactly: intermediate
        (R5_BELOW, lambda p: tail(p, True)),
        (1 - 1e-12, lambda p: tail(p, True)),
        (1e-300, lambda p: tail(p, True)),
    ],
)
def test_region_boundaries(p, formula):
    assert math.sqrt(-math.log(R5)) == 5.0 and math.sqrt(-math.log(R5_BELOW)) > 5.0
    assert bits(ndtri(p)) == bits(formula(p))


@pytest.mark.parametrize(
    "p,expect",
    [
        (0.0, -math.inf), (-3.0, -math.inf), (-math.inf, -math.inf),
        (1.0, math.inf), (1.5, math.inf), (math.inf, math.inf),
        (0.5, 0.0),  # +0.0 exactly
        (0.975, 1.959963984540054), (1e-300, -37.04709629936120),
    ],
)
def test_special_values(p, expect):
    assert ndtri(p) == pytest.approx(expect, rel=1e-14) and math.copysign(1, ndtri(p)) == math.copysign(1, expect)


def test_nan_and_complements():
    assert math.isnan(ndtri(math.nan))
    assert ndtri(0.025) != -ndtri(0.975)  # 1 - 0.975 is not exactly 0.025
    assert ndtri(0.0625) == -ndtri(0.9375)  # an exact complement


def test_agrees_with_scipy_on_a_dense_grid():
    p = np.linspace(0.0, 1.0, 400001)[1:-1]
    p = p[p != 0.5]
    p = np.concatenate([p, np.logspace(-300, -2, 20000), 1 - np.logspace(-16, -2, 2000)])
    out = f64(p.size)
    ndtri_into(P(p), p.size, P(out))
    ref = scipy.special.ndtri(p)
    rel = np.abs(out - ref) / np.abs(ref)
    is_central = np.abs(p - 0.5) <= 0.425
    # Each routine is within about 6e-16 and 8e-16 of the truth in the central region
    # (see the check against mpmath below), on opposite sides at a few points.
    assert rel[is_central].max() <= 1.5e-15
    assert np.mean(rel[is_central] > 1e-15) < 1e-4
    assert rel[~is_central].max() <= 1e-14


def test_agrees_with_high_precision_values():
    p = np.concatenate([np.linspace(0.001, 0.999, 301), [1e-20, 1e-100, 1e-300, 1 - 2**-40]])
    p = p[p != 0.5]
    for x in p:
        with mpmath.workdps(340):  # 2p - 1 must not round to -1 for p = 1e-300
            truth = mpmath.sqrt(2) * mpmath.erfinv(2 * mpmath.mpf(x) - 1)
            assert abs((ndtri(x) - truth) / truth) < 1e-15


@pytest.mark.parametrize("n", [1, 7, 8, 9, 64, 1001])
def test_array_form_is_the_scalar_bit_for_bit(n):
    p = np.random.default_rng(n).random(n)
    special = [0.0, 1.0, -1.0, 2.0, math.nan, 0.5, 0.075, 0.925, 1e-300, R5, R5_BELOW, 1 - 1e-15]
    p[: min(n, len(special))] = special[:n]
    out = f64(n)
    ndtri_into(P(p), n, P(out))
    assert np.array_equal(bits(out), bits([ndtri(x) for x in p]))


def test_array_form_with_nothing_to_do():
    p, out = np.full(4, 0.3), f64(4)
    ndtri_into(P(p), 0, P(out))
    ndtri_into(P(p), -1, P(out))
    assert np.isnan(out).all()


def test_erfinv_from_as241_is_the_quantile_of_the_scaled_argument():
    """The quotient by sqrt(2) is taken on the quantile's argument, so the value at 1
    is finite: this is not the inverse error function."""
    y = np.concatenate([np.linspace(-1.5, 3.0, 4001), [-1.0, 1.0, 2 * math.sqrt(2) - 1]])
    got = [erfinv_from_as241(v) for v in y]
    assert np.array_equal(bits(got), bits([ndtri(((v + 1) * 0.5) / SQRT2) for v in y]))
    assert erfinv_from_as241(-1.0) == -math.inf and erfinv_from_as241(3.0) == math.inf
    assert erfinv_from_as241(1.0) == ndtri(0.5 * 2 / SQRT2) and 0.544 < erfinv_from_as241(1.0) < 0.545
    assert math.isnan(erfinv_from_as241(math.nan))


def test_erfinv_domain():
    assert erfinv(-1.0) == -math.inf and erfinv(1.0) == math.inf
    for y in (math.nan, -1.0000000000000002, 1.0000000000000002, -2.0, 3.0, math.inf, -math.inf):
        assert math.isnan(erfinv(y)), y
    assert bits(erfinv(0.0)) == 0 and bits(erfinv(-0.0)) == bits(-0.0)


def test_erfinv_is_accurate_everywhere():
    """The quantile's argument is formed exactly (y / 2 at the centre, (1 - |y|) / 2
    in the tails), so no y loses its digits to the rounding of 1 + y: tiny values keep
    them (erfinv(1e-300) is not 0), the largest y below 1 is finite, and the relative
    error stays a few ulps (3.6 measured here)."""
    tiny = np.geomspace(1e-300, 1e-2, 1500)
    near_one = 1 - np.geomspace(2**-53, 1e-2, 1500)
    y = np.concatenate([np.linspace(-1, 1, 20001)[1:-1], tiny, -tiny, near_one, -near_one,
                        [0.85, np.nextafter(0.85, 1.0), -0.85]])  # fmt: skip
    y = y[y != 0.0]
    with mpmath.workdps(40):
        for v in y:
            truth = mpmath.erfinv(mpmath.mpf(float(v)))
            assert abs((erfinv(v) - truth) / truth) <= 5 * 2.0**-52, v
    assert erfinv(1e-300) == pytest.approx(math.sqrt(math.pi) / 2 * 1e-300, rel=1e-15)
    # The central region is the quantile's own formula at q = y / 2, bit for bit.
    for v in (1e-300, 0.3, -0.85):
        q = v * 0.5
        r = 0.180625 - q * q
        assert bits(erfinv(v)) == bits(q * horner(A, r) / horner(B, r) / SQRT2)

