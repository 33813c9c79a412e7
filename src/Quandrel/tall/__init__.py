"""Regression on data taller than one process: sufficient statistics, then the kernels.

One pass over the rows (`gram_stats`) forms the raw statistics X'WX, X'Wy, y'Wy, the
weighted means and the centred co-moments, per fold when asked; everything after it
works on k-by-k matrices: the solvers of the kernels (`lasso_path`, `enet_path`,
`ridge`, `ols`), the fits with an intercept, weights and standardisation (`path`), and
their K-fold cross-validation from the folds' statistics (`cross_validate`). The pass
runs on a Dask cluster for Dask arrays, and in this process for numpy arrays
(memory-mapped ``.npy`` files included) and for iterables of ``(X_block, y_block)`` or
``(X_block, y_block, w_block)``. The statistics do not depend on how the data were
partitioned (see `_pass`).

The package, by concern:
  _pass     the pass over the rows (`gram_stats`): numpy arrays and iterables here
  _dask     the pass on a Dask cluster
  _tree     the fixed tree in which the blocks' statistics are added
  _checks   the checks of the pass's input, and its verdicts on what it found
  _blocks   the statistics of one block: its leaves by fold, their native sums
  _stats    the statistics records and their merges (`GramStats`, `FoldedStats`)
  _folds    the assignment of rows to folds (`fold_ids`)
  _solvers  the solvers on the statistics (`path` and the kernels' own)
  _cv       K-fold cross-validation on the folds' statistics (`cross_validate`)
  _glm      binomial and Poisson paths by Newton steps, one scan each (`glm_path`);
            _glm_scan the scans, _glm_path the input and the cross-validated summaries
  _native   the library's exported native routines, through the checked module
  _params   the checks of every setting, naming the argument
  _records  the style of the results (frozen dataclasses; some still unpack)
  _progress a plain progress bar
  _sources  rows from files (`source`), read piece by piece here or by Dask tasks on
            the workers, through the readers of `_readers`: Parquet (`parquet`), Zarr,
            HDF5 and .npy shards (`arrays`), over one base (`_base`)

Dask is imported only for Dask input; the package works without it.
"""

from ._cv import CrossValidation, GridEdgeWarning, cross_validate
from ._folds import fold_ids
from ._glm_path import GlmCrossValidation, GlmPath, glm_path
from ._pass import gram_stats
from ._solvers import (
                       EnetPath,
                       LassoPath,
                       OLSFit,
                       PathFit,
                       RidgeFit,
                       enet_path,
                       lasso_path,
                       ols,
                       path,
                       ridge,
                       rss,
)
from ._sources import Source, source
from ._stats import FoldedStats, GramStats

__all__ = [
                       "CrossValidation",
                       "EnetPath",
                       "FoldedStats",
                       "GlmCrossValidation",
                       "GlmPath",
                       "GramStats",
                       "GridEdgeWarning",
                       "LassoPath",
                       "OLSFit",
                       "PathFit",
                       "RidgeFit",
                       "Source",
                       "cross_validate",
                       "enet_path",
                       "fold_ids",
                       "glm_path",
                       "gram_stats",
                       "lasso_path",
                       "ols",
                       "path",
                       "ridge",
                       "rss",
                       "source",
]
