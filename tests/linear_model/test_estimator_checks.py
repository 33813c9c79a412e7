"""scikit-learn's own estimator checks pass for every estimator."""

import functools

import pytest
from sklearn.utils.estimator_checks import estimator_checks_generator

from Quandrel.linear_model import (
    ElasticNet,
    ElasticNetCV,
    Lasso,
    LassoCV,
    LassoLars,
    LinearRegression,
    LogisticRegression,
    LogisticRegressionCV,
    PoissonRegressor,
    Ridge,
    RidgeIC,
)

ESTIMATORS = [LinearRegression(), Ridge(), RidgeIC(alphas=10), Lasso(), ElasticNet(),
              LassoLars(), LassoCV(alphas=10, cv=3, max_iter=100_000),
              ElasticNetCV(alphas=10, cv=3, max_iter=100_000), LogisticRegression(),
              LogisticRegressionCV(Cs=3, cv=3), PoissonRegressor()]

NO_SWEEP_COUNT = ("the coordinate-descent kernels report a status, not their sweep count, "
                  "so there is no n_iter_")
EXPECTED_FAILURES: dict[str, dict[str, str]] = {
    name: {"check_non_transformer_estimators_n_iter": NO_SWEEP_COUNT}
    for name in ("Lasso", "ElasticNet", "LassoCV", "ElasticNetCV")}


def expected_failures(estimator):
    return EXPECTED_FAILURES.get(type(estimator).__name__, {})


def _name(check):
    check = check.func if isinstance(check, functools.partial) else check
    return check.__name__


# parametrize_with_checks, with the checks listed up front (pytest refuses a generator)
def _param(item):
    values, marks = (item.values, item.marks) if hasattr(item, "values") else (item, ())
    est, check = values
    return pytest.param(est, check, marks=marks, id=f"{type(est).__name__}-{_name(check)}")


CHECKS = [_param(item) for estimator in ESTIMATORS
          for item in estimator_checks_generator(
              estimator, legacy=True, expected_failed_checks=expected_failures(estimator), mark="xfail")]


# Wide data alias columns in LinearRegression, which says so in a warning.
@pytest.mark.filterwarnings("ignore:.*aliased:UserWarning")
@pytest.mark.parametrize("estimator, check", CHECKS)
def test_sklearn_checks(estimator, check):
    check(estimator)


def test_at_most_three_expected_failures():
    assert all(len(v) <= 3 for v in EXPECTED_FAILURES.values())
