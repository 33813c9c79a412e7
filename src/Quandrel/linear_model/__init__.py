"""scikit-learn estimators of linear models, fitted from sufficient statistics.

Every estimator forms the statistics of the rows in one pass (`Quandrel.tall`'s
`gram_stats`: in this process for in-memory input) and solves on them alone, with the
objective and penalty scale of scikit-learn's estimator of the same name:

  LinearRegression  least squares, with statsmodels' inference tables (`summary()`)
  Ridge, RidgeIC    ridge at one penalty, or the best of a grid by AIC, BIC or RSS
  Lasso, ElasticNet, LassoLars
                    the lasso and elastic net by coordinate descent, the lasso by LARS
  LassoCV, ElasticNetCV
                    K-fold cross-validation of the penalty path, all folds from one pass
  LogisticRegression, LogisticRegressionCV, PoissonRegressor
                    binary logistic and Poisson regression by Newton steps over the rows
                    (`tall.glm_path`), with scikit-learn's objectives

scikit-learn is needed here only (the extra ``[models]``).
"""

from ._coordinate import ElasticNet, Lasso, LassoLars
from ._cv import ElasticNetCV, LassoCV
from ._glm import LogisticRegression, LogisticRegressionCV, PoissonRegressor
from ._ols import LinearRegression
from ._ridge import Ridge, RidgeIC

__all__ = [
           "ElasticNet",
           "ElasticNetCV",
           "Lasso",
           "LassoCV",
           "LassoLars",
           "LinearRegression",
           "LogisticRegression",
           "LogisticRegressionCV",
           "PoissonRegressor",
           "Ridge",
           "RidgeIC",
]
