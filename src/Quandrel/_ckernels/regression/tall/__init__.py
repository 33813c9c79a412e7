"""Regression on data taller than one process: sufficient statistics, then the kernels.

One pass over the rows forms the statistics X'X, X'y and y'y (`gram_stats`); every
solver after it (`lasso_path`, `enet_path`, `ridge`, `ols`) works on k-by-k matrices.
The pass runs on a Dask cluster for Dask arrays, and in this process for numpy arrays
(memory-mapped ``.npy`` files included) and for iterables of ``(X_block, y_block)``.
The statistics do not depend on how the data were partitioned (see `_pass`).

The package, by concern:
  _pass     the pass over the rows and its fixed tree of block sums (`gram_stats`)
  _stats    the statistics record and its merges (`GramStats`)
  _solvers  the solvers on the statistics
  _native   the library's exported native routines, through ctypes
  _params   the checks of every setting, naming the argument

Dask is imported only for Dask input; the package works without it.
"""

from ._cv import CrossValidation, cross_validate
from ._folds import fold_ids
from ._pass import gram_stats
from ._solvers import (EnetPath, LassoPath, OLSFit, PathFit, RidgeFit, enet_path, lasso_path, ols,
                       path, ridge, rss)
from ._stats import FoldedStats, GramStats

__all__ = ["GramStats", "FoldedStats", "gram_stats", "fold_ids", "lasso_path", "enet_path", "ridge", "ols", "rss",
           "path", "cross_validate", "CrossValidation",
           "LassoPath", "EnetPath", "RidgeFit", "OLSFit", "PathFit"]
