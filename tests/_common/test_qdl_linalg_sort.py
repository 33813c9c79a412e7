"""The in-place sort and the median."""

import numpy as np
import pytest

from native import P, bits, fn

median_f64 = fn("qdl_median_f64")

BIG = np.finfo(np.float64).max


@pytest.mark.parametrize(
    "values,median,after",
    [
        ([3.0, 1.0, 2.0], 2.0, [1.0, 2.0, 3.0]),
        ([4.0, 1.0, 3.0, 2.0], 2.5, [1.0, 2.0, 3.0, 4.0]),
        ([7.5], 7.5, [7.5]),
        ([BIG, BIG], np.inf, [BIG, BIG]),  # the middle pair is summed before halving
        ([0.0, -1.0, -0.0, 2.0, 1.0, -3.0], 0.0, [-3.0, -1.0, 0.0, -0.0, 1.0, 2.0]),
    ],
)
def test_median_sorts_in_place(values, median, after):
    arr = np.array(values)
    with np.errstate(over="ignore"):
        assert median_f64(P(arr), arr.size) == median
    assert arr.tolist() == after  # -0.0 and 0.0 compare equal: either order


def test_median_of_nothing_is_the_quiet_nan():
    arr = np.array([2.0, 1.0])
    assert bits(median_f64(P(arr), 0)) == 0x7FF8000000000000 and arr.tolist() == [2.0, 1.0]
