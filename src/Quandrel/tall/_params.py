"""Checks of the settings every public function takes, each naming its argument, made
before any work (as scikit-learn checks its estimators' parameters)."""

from __future__ import annotations

import math
import numbers

import numpy as np

from .._ckernels.regression import REGRESSION_CRIT_AIC, REGRESSION_CRIT_BIC, REGRESSION_CRIT_LOSS
from ._records import F64

CRITERIA = {"aic": REGRESSION_CRIT_AIC, "bic": REGRESSION_CRIT_BIC, "rss": REGRESSION_CRIT_LOSS}


def check_int(value: object, name: str, low: int, high: int | None = None) -> int:
    """value as an int in [low, high] (high None: no bound); bools are refused."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {value!r}")
    value = int(value)
    if value < low or (high is not None and value > high):
        bound = f"in [{low}, {high}]" if high is not None else f">= {low}"
        raise ValueError(f"{name} must be an int {bound}, got {value}")
    return value


def check_real(value: object, name: str, low: float | None = None, high: float | None = None) -> float:
    """value as a finite float in [low, high] (None: no bound)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    value = float(value)
    if not math.isfinite(value) or (low is not None and value < low) or (high is not None and value > high):
        bound = {(True, True): f" in [{low}, {high}]", (True, False): f" >= {low}",
                 (False, True): f" <= {high}", (False, False): ""}[low is not None, high is not None]
        raise ValueError(f"{name} must be a finite number{bound}, got {value!r}")
    return value


def check_flag(value: object, name: str) -> bool:
    """value as a bool: True, False, or the ints 1 and 0."""
    if isinstance(value, (bool, np.bool_)) or (isinstance(value, numbers.Integral) and value in (0, 1)):
        return bool(value)
    raise TypeError(f"{name} must be True or False, got {value!r}")


def check_alphas(alphas: object, name: str = "alphas") -> F64:
    """A non-empty 1-D float64 array of finite penalties >= 0."""
    try:
        grid = np.array(alphas, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a 1-D sequence of penalties, got {alphas!r}") from None
    if grid.ndim != 1 or grid.size == 0:
        raise ValueError(f"{name} must be a non-empty 1-D sequence of penalties, got shape {grid.shape}")
    bad = ~np.isfinite(grid) | (grid < 0)
    if bad.any():
        raise ValueError(f"{name} must be finite and >= 0, got {float(grid[bad][0])!r} at index "
                         f"{int(np.flatnonzero(bad)[0])}")
    return grid


def check_l1_ratio(value: object, name: str = "l1_ratio") -> float:
    return check_real(value, name, 0.0, 1.0)


def check_criterion(value: object) -> int:
    """A criterion by name ('aic', 'bic', 'rss') or by code (1, 2, 3) as its code."""
    if isinstance(value, str):
        code = CRITERIA.get(value.lower())
        if code is not None:
            return code
    elif not isinstance(value, (bool, np.bool_)) and isinstance(value, numbers.Integral) \
            and int(value) in CRITERIA.values():
        return int(value)
    raise ValueError(f"criterion must be 'aic', 'bic' or 'rss' (or the codes 1, 2, 3), got {value!r}")
