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
  _sources  rows from files (`source`): Parquet (`_parquet`), Zarr, HDF5 and .npy shards
            (`_arrays`), read piece by piece here or by Dask tasks on the workers

Dask is imported only for Dask input; the package works without it.
"""

from ._pass import gram_stats
from ._solvers import EnetPath, LassoPath, OLSFit, RidgeFit, enet_path, lasso_path, ols, ridge, rss
from ._sources import Source, source
from ._stats import GramStats

__all__ = ["GramStats", "gram_stats", "lasso_path", "enet_path", "ridge", "ols", "rss",
           "LassoPath", "EnetPath", "RidgeFit", "OLSFit", "Source", "source"]
