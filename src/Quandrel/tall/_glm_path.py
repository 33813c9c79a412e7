"""`glm_path`: the checks of its input and settings, the scans over the kinds of input,
and the cross-validated summaries."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterable, Iterator
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike

from ._blocks import Node, Plan
from ._checks import _check_shapes, _folds_argument
from ._glm import GlmCrossValidation, GlmPath, fit_models
from ._glm_scan import (
    HELD_CLASS,
    HELD_DEV,
    HELD_MSE,
    HELD_W,
    Model,
    Scanned,
    Stack,
    batches,
    block_records,
    fold_ids_of,
)
from ._params import check_alphas, check_flag, check_int, check_l1_ratio, check_real
from ._pass import gram_stats
from ._records import F64, I64
from ._solvers import _check_eps
from ._stats import FoldedStats, _record

__all__ = ["GlmCrossValidation", "GlmPath", "glm_path"]

MEASURES = {"deviance": HELD_DEV, "mse": HELD_MSE, "class": HELD_CLASS}


def _show(v: object) -> str:
    return repr(v.item() if isinstance(v, np.generic) else v)


def _first(mask: np.ndarray) -> int:
    return int(np.flatnonzero(mask)[0])


class _Classes:
    """The binomial response's two labels, learnt in row order as the rows come: code
    0 for the first label met, 1 for the other; fitted as 0 for the smaller label and
    1 for the larger (sorted order). Booleans, 0 and 1 or any two distinct labels;
    NaN, proportions and a third label are refused naming the column and the row."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.first: Any = None   # the labels, as numpy scalars of y's dtype
        self.second: Any = None
        self.flip: bool          # set by finish
        self.upper: Any

    def codes(self, y: Any, row0: int = 0) -> F64:
        y = np.asarray(y)
        if y.dtype.kind == "c":
            raise TypeError(f"{self.name} must hold two class labels, not {y.dtype}")
        if y.dtype.kind == "f":
            bad = np.isnan(y)
            if bad.any():
                raise ValueError(f"{self.name} holds NaN (the first at row {row0 + _first(bad)}): a "
                                 "class label is needed in every row")
            between = (y > 0) & (y < 1)
            if between.any():
                r = _first(between)
                raise ValueError(f"{self.name} must hold two class labels (0 and 1, booleans, or two "
                                 f"distinct values), not proportions: row {row0 + r} holds {_show(y[r])}")
        if not y.size:
            return np.zeros(0)
        if self.first is None:
            self.first = y[0]
        other = y != self.first
        if other.any():
            if self.second is None:
                self.second = y[_first(other)]
            third = other & (y != self.second)
            if third.any():
                r = _first(third)
                raise ValueError(f"{self.name} must hold two class labels for the binomial family: row "
                                 f"{row0 + r} holds a third, {_show(y[r])} (after {_show(self.first)} "
                                 f"and {_show(self.second)})")
        codes: F64 = other.astype(np.float64)
        return codes

    def finish(self, stats: Any) -> float:
        """The weighted mean of the fitted 0/1 response from the statistics of the codes."""
        if self.second is None:
            raise ValueError(f"{self.name} holds one class only ({_show(self.first)}): the binomial "
                             "family needs two")
        self.flip = bool(self.second < self.first)
        self.upper = self.first if self.flip else self.second
        mean: float = stats.y_mean
        return 1.0 - mean if self.flip else mean

    def fitted(self, y: Any) -> F64:
        out: F64 = (np.asarray(y) == self.upper).astype(np.float64)
        return out


class _Counts:
    """The Poisson response: numbers >= 0 (row named otherwise)."""

    def __init__(self, name: str) -> None:
        self.name = name

    def codes(self, y: Any, row0: int = 0) -> F64:
        y = np.asarray(y)
        if y.dtype.kind not in "biuf":
            raise TypeError(f"{self.name} must hold counts (numbers >= 0), not {y.dtype}")
        counts: F64 = y.astype(np.float64)
        bad = counts < 0
        if bad.any():
            r = _first(bad)
            raise ValueError(f"{self.name} must be >= 0 for the Poisson family: row {row0 + r} holds "
                             f"{_show(counts[r])}")
        return counts

    def finish(self, stats: Any) -> float:
        mean: float = stats.y_mean
        return mean

    def fitted(self, y: Any) -> F64:
        return np.asarray(y, dtype=np.float64)


_Response = _Classes | _Counts


def _check_offset(off: Any, row0: int = 0) -> F64:
    checked = np.asarray(off, dtype=np.float64)
    bad = ~np.isfinite(checked)
    if bad.any():
        raise ValueError(f"offset must be finite: row {row0 + _first(bad)} holds {_show(checked[_first(bad)])}")
    return checked


class _InMemory:
    """numpy input: X, y (the response as fitted), weights, offset and fold ids in
    memory (or memory-mapped), cut into blocks of block_rows."""

    def __init__(self, X: np.ndarray, y: F64, w: np.ndarray | None, off: F64 | None, ids: np.ndarray | None,
                 K: int | None, seed: int, block_rows: int) -> None:
        self.X, self.y, self.w, self.off, self.ids = X, y, w, off, ids
        self.K, self.seed, self.block_rows = K, seed, block_rows

    def scan(self, family: str, models: list[Model], cols: I64 | None) -> Scanned:
        stack = Stack()
        br, (n, k) = self.block_rows, self.X.shape
        starts = batches(n, br, k, len(models))
        for r0 in starts:
            rows = slice(r0, r0 + starts.step)
            m = min(starts.step, n - r0)
            ids = fold_ids_of(None if self.ids is None else self.ids[rows], self.K, self.seed, r0, m)
            nodes, sums = block_records(self.X[rows], self.y[rows], None if self.w is None else self.w[rows],
                                        None if self.off is None else self.off[rows], ids, family, models,
                                        cols, br)
            for node, block_sums in zip(nodes, sums, strict=True):
                stack.push(node, block_sums)
        return stack.result(_width_of(cols, self.X.shape[1]))


def _width_of(cols: I64 | None, k: int) -> int:
    """The columns of a scan's records: those of cols, or all k."""
    return k if cols is None else int(cols.shape[0])


def _cut(pieces: Iterable[tuple[Any, Any, Any, Any]], block_rows: int) -> Iterator[tuple[Any, ...]]:
    """(X, y, w, offset, row0) blocks of block_rows rows (the last one shorter) from
    (X, y, w, offset) pieces of any sizes (w and offset None throughout, or arrays)."""
    pending: list[tuple[Any, ...]] = []
    count, row0 = 0, 0

    def joined(parts: list[tuple[Any, ...]]) -> tuple[Any, ...]:
        return tuple(None if a[0] is None else np.concatenate(a) if len(a) > 1 else a[0]
                     for a in zip(*parts, strict=True))

    for X, y, w, off in pieces:
        m, pos = X.shape[0], 0
        if count:
            pos = min(block_rows - count, m)
            pending.append(tuple(None if a is None else a[:pos] for a in (X, y, w, off)))
            count += pos
            if count == block_rows:
                yield (*joined(pending), row0)
                row0 += block_rows
                pending, count = [], 0
        while m - pos >= block_rows:
            yield (*(None if a is None else a[pos:pos + block_rows] for a in (X, y, w, off)), row0)
            row0 += block_rows
            pos += block_rows
        if pos < m:  # copies: the producer may reuse its buffers
            pending.append(tuple(None if a is None else np.array(a[pos:]) for a in (X, y, w, off)))
            count += m - pos
    if count:
        yield (*joined(pending), row0)


class _Pieces:
    """Re-iterable input: pieces() gives a fresh iterator of (X, y, w, offset) pieces
    (w and offset None or arrays), read again at every scan."""

    def __init__(self, pieces: Callable[[], Iterator[tuple[Any, Any, Any, Any]]], response: _Response,
                 K: int | None, seed: int, block_rows: int) -> None:
        self.pieces, self.response = pieces, response
        self.K, self.seed, self.block_rows = K, seed, block_rows
        self.k: int | None = None
        self.has_offset = False

    def plain_pieces(self) -> Iterator[tuple[Any, ...]]:
        """The pieces for the first pass: y as codes, offsets checked."""
        row0 = 0
        for X, y, w, off in self.pieces():
            X = np.asarray(X)
            if self.k is None and X.ndim == 2:
                self.k = X.shape[1]
            codes = self.response.codes(y, row0)
            if off is not None:
                _check_offset(off, row0)
                self.has_offset = True
            row0 += len(codes)
            yield (X, codes) if w is None else (X, codes, w)

    def scan(self, family: str, models: list[Model], cols: I64 | None) -> Scanned:
        stack = Stack()
        for X, y, w, off, row0 in _cut(self.pieces(), self.block_rows):
            ids = fold_ids_of(None, self.K, self.seed, row0, X.shape[0])
            (node,), sums = block_records(X, self.response.fitted(y), w, off, ids, family, models, cols,
                                          X.shape[0])
            stack.push(node, sums[0])
        return stack.result(_width_of(cols, cast(int, self.k)))  # k known after the first pass


def _normalised(pieces: Iterable[Any]) -> Iterator[tuple[Any, Any, Any, Any]]:
    """The user's pieces as (X, y, w, offset), w and offset None when absent."""
    for number, piece in enumerate(pieces):
        try:
            X, y, *rest = piece
            if len(rest) > 2:
                raise ValueError
        except (TypeError, ValueError):
            raise TypeError(f"piece {number} is not an (X_block, y_block), (X_block, y_block, w_block) "
                            "or (X_block, y_block, w_block, offset_block) tuple") from None
        rest = rest + [None] * (2 - len(rest))
        yield X, y, rest[0], rest[1]


def _chunk_task(X: Any, y: Any, w: Any, ids: Any, row0: Any, plan: Plan, *, family: str, models: list[Model],
                k: int, cols: I64 | None) -> np.ndarray:
    """The cover of a Dask chunk's blocks (as _tree._chunk_task) and their sums by block;
    X holds the offset as its last column when it has k + 1."""
    from ._tree import _range_nodes

    br, row0 = plan.block_rows, int(row0[0])
    first = row0 // br
    # The chunk's whole blocks (the last block of the rows may be shorter), in batches.
    nodes: list[Node] = []
    sums: dict[int, F64] = {}
    starts = batches(X.shape[0], br, k, len(models))
    for r in starts:
        rows = slice(r, r + starts.step)
        Xb = X[rows]
        off = Xb[:, k] if Xb.shape[1] > k else None
        block_ids = fold_ids_of(None if ids is None else ids[rows].astype(np.int64), plan.K, plan.seed,
                                row0 + r, Xb.shape[0])
        batch, block_sums = block_records(Xb[:, :k], y[rows], None if w is None else w[rows], off,
                                          block_ids, family, models, cols, br)
        sums.update({first + len(nodes) + b: block_sums[b] for b in range(len(batch))})
        nodes += batch

    def leaf(s: int, size: int) -> Node | None:
        return nodes[s - first] if size == 1 else None

    out = np.empty((1, 1), dtype=object)
    out[0, 0] = (_range_nodes(first, first + -(-len(X) // br), plan.nb, leaf), sums)
    return out


def _unwrapped(part: Any) -> tuple[Any, dict[int, F64]]:
    """A chunk's (cover, sums by block), as Dask hands it over (`_tree._unwrap`)."""
    from ._tree import _unwrap

    return cast(tuple[Any, dict[int, F64]], _unwrap(part))


def _chunk_merge(left: Any, right: Any, a: int, b: int, nb: int) -> tuple[Any, dict[int, F64]]:
    from ._tree import _merge_nodes

    (lc, ls), (rc, rs) = _unwrapped(left), _unwrapped(right)
    return _merge_nodes(lc, rc, a, b, nb), {**ls, **rs}


def _chunk_root(part: Any) -> tuple[Node, F64 | None]:
    from ._tree import _root

    cover, sums = _unwrapped(part)
    total: F64 | None = None
    for s in sorted(sums):
        total = sums[s] if total is None else total + sums[s]
    return _root(cover), total


class _Dask:
    """Dask input: the scans run where the chunks are (the pass's chunking and tree)."""

    def __init__(self, X: Any, y: Any, w: Any, off: Any, ids: Any, response: _Response, K: int | None,
                 seed: int, block_rows: int, timeout: float | None) -> None:
        self.X, self.y, self.w, self.off, self.ids = X, y, w, off, ids
        self.response, self.K, self.seed = response, K, seed
        self.block_rows, self.timeout = block_rows, timeout

    def plain_inputs(self) -> Any:
        """(y as codes, lazily) after the checks of the labels or counts and offsets."""
        import dask
        import dask.array as da

        y = self.y
        if isinstance(self.response, _Classes):
            first, labels = dask.compute(y[0], da.unique(y))
            self.response.codes(np.asarray([first]))
            if labels.size == 2 and not (labels.dtype.kind == "f" and (
                    np.isnan(labels).any() or ((labels > 0) & (labels < 1)).any())):
                self.response.codes(labels)  # two sound labels: no row to name
            elif labels.size > 1:
                # The label of the first row holding another, then the checks in row order
                # on the rows up to the first fault (found by reductions).
                r = int(da.argmax(y != first).compute())
                self.response.codes(np.asarray([y[r].compute()]), r)
                faults = (y != first) & (y != self.response.second)
                if y.dtype.kind == "f":
                    faults = faults | da.isnan(y) | ((y > 0) & (y < 1))
                if bool(faults.any().compute()):
                    r = int(da.argmax(faults).compute())
                    self.response.codes(np.asarray([y[r].compute()]), r)
            codes = (y != first).astype(np.float64)
        else:
            if y.dtype.kind not in "biuf":
                raise TypeError(f"y must hold counts (numbers >= 0), not {y.dtype}")
            bad = y < 0
            if bool(bad.any().compute()):
                r = int(da.argmax(bad).compute())
                self.response.codes(np.asarray([y[r].compute()]), r)
            codes = y.astype(np.float64)
        if self.off is not None:
            bad = ~da.isfinite(self.off)
            if bool(bad.any().compute()):
                r = int(da.argmax(bad).compute())
                _check_offset(np.asarray([self.off[r].compute()]), r)
        return codes

    def scan(self, family: str, models: list[Model], cols: I64 | None) -> Scanned:
        import functools

        import dask.array as da

        from ._dask import _compute, _dask_graph

        X, k = self.X, self.X.shape[1]
        if self.off is not None:
            off = self.off.rechunk({0: X.chunks[0]})
            X = da.concatenate([X, off[:, None].astype(np.float64)], axis=1)
        y = self.y.map_blocks(self.response.fitted, dtype=np.float64)
        aligned = {name: a for name, a in (("weights", self.w), ("folds", self.ids)) if a is not None}

        def plan_of(n: int) -> Plan:
            return Plan(self.block_rows, -(-n // self.block_rows), n, self.K, self.seed)

        graph, _ = _dask_graph(X, y, aligned, plan_of,
                               task=functools.partial(_chunk_task, family=family, models=models, k=k,
                                                      cols=cols),
                               merge=_chunk_merge, root=_chunk_root)
        root, sums = _compute(graph, False, self.timeout)
        return Scanned([_record(rec, _width_of(cols, k) + 1) for rec in root.recs], sums)


def _stream_input(X: Any, weights: Any, offset: Any, ids: Any, response: _Response, K: int | None, seed: int,
                  block_rows: int) -> _Pieces:
    """The _Pieces of a Source or of a re-iterable iterable of pieces."""
    from ._sources import Source

    if isinstance(X, np.ndarray) or not (callable(X) or hasattr(X, "__iter__")):
        raise TypeError("y is None: X must be a Source, a list of (X_block, y_block[, w_block[, "
                        "offset_block]]) pieces, or a callable returning a fresh iterator of them")
    for name, value in (("weights", weights), ("offset", offset)):
        if value is not None:
            raise TypeError(f"{name}: a Source or pieces carry their {name} themselves")
    if ids is not None:
        raise TypeError("folds: a Source or pieces take folds=K, an int, not fold ids")
    if isinstance(X, Source):
        data = _Pieces(X._glm_pieces, response, K, seed, block_rows)
        data.has_offset = X.offset is not None
        response.name = f"y (column {X.target!r})"
        return data
    pieces: Callable[[], Iterator[tuple[Any, Any, Any, Any]]]
    if callable(X):
        def pieces() -> Iterator[tuple[Any, Any, Any, Any]]:
            return _normalised(X())
    elif iter(X) is X:
        raise TypeError("X is an iterator, read once: a GLM scans the rows several times, so give "
                        "a list of pieces or a callable returning a fresh iterator")
    else:
        def pieces() -> Iterator[tuple[Any, Any, Any, Any]]:
            return _normalised(iter(X))
    return _Pieces(pieces, response, K, seed, block_rows)


def _dask_input(X: Any, y: Any, weights: Any, offset: Any, ids: Any, response: _Response, K: int | None,
                seed: int, block_rows: int, timeout: float | None) -> _Dask:
    import dask.array as da

    from ._checks import _is_dask

    def as_dask(a: Any, like: Any) -> Any:
        if a is None or _is_dask(a):
            return a
        a = np.asarray(a)
        return da.from_array(a, chunks=(like.chunks[0],) + ((-1,) if a.ndim == 2 else ()))

    anchor = next(a for a in (X, y, weights, offset, ids) if _is_dask(a))
    X, y, w, off, ids = (as_dask(a, anchor) for a in (X, y, weights, offset, ids))
    if X.ndim != 2:
        raise ValueError(f"X must be 2-D, got {X.ndim}-D")
    return _Dask(X, y, w, off, ids, response, K, seed, block_rows, timeout)


def _aligned(a: Any, name: str, n: int) -> np.ndarray | None:
    if a is None:
        return None
    arr = np.asarray(a)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got {arr.ndim}-D")
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {arr.dtype}")
    if arr.shape[0] != n:
        raise ValueError(f"X has {n} rows but {name} has {arr.shape[0]}")
    return arr


def _summaries(cv: F64, weights: F64) -> tuple[F64, F64]:
    """cv.glmnet's cvm and cvsd over the folds (columns), the folds weighted by their
    weight sums; a fold without a value at a penalty (its fit ended) is left out."""
    mask = ~np.isnan(cv)
    w = np.where(mask, weights[None, :], 0.0)
    values = np.where(mask, cv, 0.0)
    total = w.sum(axis=1)
    mean = (w * values).sum(axis=1) / total
    spread = (w * (values - mean[:, None]) ** 2).sum(axis=1) / total
    count = mask.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return mean, np.sqrt(spread / (count - 1))


def glm_path(X: Any, y: Any = None, family: str = "binomial", alphas: ArrayLike | None = None,
             l1_ratio: float = 1.0, *, weights: Any = None, offset: Any = None, fit_intercept: bool = True,
             standardize: bool = False, n_alphas: int = 100, eps: float | None = None, tol: float = 1e-10,
             max_iter: int = 100, block_rows: int = 4096, folds: Any = None, seed: int = 0,
             measure: str = "deviance", check_finite: bool = True, progress: bool = False,
             timeout: float | None = None) -> GlmPath | GlmCrossValidation:
    """Binomial (logit) or Poisson (log) regression with an elastic-net penalty over a
    path of penalties, and its K-fold cross-validation, in scans over the rows.

    Minimises for each penalty, as glmnet does,

        -(1 / sw) sum w loglik(b0 + x'b + offset) + alpha (l1_ratio |b|_1 + (1 - l1_ratio) |b|^2 / 2)

    with the intercept b0 unpenalised (0 without fit_intercept) and sw the weights' sum.

    Parameters
    ----------
    X : array_like of shape (n_samples, n_features), Dask array, Source, or pieces
        The rows: a numpy (or memory-mapped) or Dask array; or, with y None, a
        `Source` (which names its target, weights and offset), a list of
        (X_block, y_block[, w_block[, offset_block]]) pieces, or a callable
        returning a fresh iterator of them (the rows are read once per scan).
    y : array_like of shape (n_samples,), optional
        Binomial: 0 and 1, booleans, or two distinct labels (fitted as 0 and 1 in
        sorted order); Poisson: numbers >= 0. None when X is a Source or pieces.
    family : {"binomial", "poisson"}, default "binomial"
        The logit or the log link.
    alphas : array_like of shape (n_alphas,), optional
        Penalties >= 0, each one fitted in the order given. None: `n_alphas`
        penalties log-spaced from alpha_max (the smallest with every coefficient 0,
        from the null model's gradient; for l1_ratio below 1e-3 computed at 1e-3)
        down to `eps` times it, the path ending early by glmnet's rules (deviance
        ratio above 0.999, or rising by less than 1e-5, from the fifth penalty on).
    l1_ratio : float, default 1.0
        The lasso's share of the penalty, in [0, 1].
    weights : array_like of shape (n_samples,), optional
        Frequency weights >= 0, used as given: deviances are weighted sums.
    offset : array_like of shape (n_samples,), optional
        Finite numbers added to the linear predictor (for Poisson, the log of the
        exposure).
    fit_intercept : bool, default True
        Fit an unpenalised intercept (else b0 = 0).
    standardize : bool, default False
        As in `path`: penalise the coefficients of the columns scaled to unit
        weighted variance; they are reported on the columns' own scale.
    n_alphas : int, default 100
        The length of the default grid.
    eps : float in (0, 1], optional
        The default grid's smallest penalty over its largest; None: 1e-4 when the
        rows outnumber the columns, else 1e-2.
    tol : float, default 1e-10
        A penalty's Newton steps end when the penalised objective (in deviance units)
        changes by less than tol times the null deviance, or, for alpha > 0, when the
        next step would gain less than that by its quadratic model and move no
        standardised coefficient by more than 0.1 sqrt(tol) (that step and its scan
        are then saved).
    max_iter : int, default 100
        Newton steps (scans) per penalty.
    block_rows : int, default 4096
        Rows per block: the results are the same bits for every chunking.
    folds : int or array_like of shape (n_samples,), optional
        K >= 2 (folds by hash of the row number and `seed`) or fold ids: returns a
        GlmCrossValidation, every fold's model fitted in the same scans as the
        all-rows model, on its grid.
    seed : int, default 0
        The hash's seed for folds=K.
    measure : {"deviance", "mse", "class"}, default "deviance"
        cv.glmnet's held-out measures ("class" for binomial only).
    check_finite, progress, timeout
        As in `gram_stats`.

    Returns
    -------
    GlmPath or GlmCrossValidation
        Without folds, the path: per penalty the coefficients, intercept, deviance,
        deviance ratio, degrees of freedom, the standard errors of unpenalised fits
        and `status` (0 OK, -1 separation: the path ends there; -2 not converged in
        max_iter steps), and `n_passes`, the scans over the rows. With folds, the
        folds' held-out measure `cv` per penalty, `cv_mean` and `cv_se` (glmnet's
        cvm and cvsd), `alpha_min` and `alpha_1se` with their indices, and `fit`,
        the path on all rows. Both unpack as the tuple of their fields.

    Raises
    ------
    TypeError, ValueError
        A setting of the wrong type or out of range (named); X, y, weights, offset or
        fold ids of the wrong shape or kind; y not two class labels (binomial) or
        negative (Poisson), naming the row; an offset that is not finite; y of one
        class only, or 0 in every row with weight (Poisson); an iterator read once
        as X; no penalty with a cross-validated measure.

    Warns
    -----
    RuntimeWarning
        Separation of the all-rows fit (coefficients running off to infinity): the
        path ends at that penalty.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((20000, 3))
    >>> y = rng.random(20000) < 1 / (1 + np.exp(-(X @ [1.0, -0.5, 0.0])))
    >>> fit = tall.glm_path(X, y, "binomial", alphas=[0.01, 0.0], block_rows=5000)
    >>> fit.status, fit.coef.shape, fit.bse.shape
    (array([0, 0]), (2, 3), (2, 4))
    >>> bool(np.abs(fit.coef[1] - [1.0, -0.5, 0.0]).max() < 3 * fit.bse[1, 1:].max())
    True

    Cross-validated Poisson counts, with the default grid:

    >>> counts = rng.poisson(np.exp(0.5 * X[:, 0]))
    >>> cv = tall.glm_path(X, counts, "poisson", folds=5, n_alphas=20)
    >>> cv.cv.shape, cv.index_min, cv.index_1se
    ((13, 5), 9, 4)
    >>> cv.fit.coef[cv.index_1se].round(2)
    array([0.42, 0.  , 0.  ])
    """
    if family not in ("binomial", "poisson"):
        raise ValueError(f"family must be 'binomial' or 'poisson', got {family!r}")
    grid = None if alphas is None else check_alphas(alphas)
    l1_ratio = check_l1_ratio(l1_ratio)
    fit_intercept = check_flag(fit_intercept, "fit_intercept")
    standardize = check_flag(standardize, "standardize")
    n_alphas = check_int(n_alphas, "n_alphas", 1)
    eps = None if eps is None else _check_eps(eps)
    tol = check_real(tol, "tol", 0.0)
    max_iter = check_int(max_iter, "max_iter", 1)
    block_rows = check_int(block_rows, "block_rows", 1)
    check_finite = check_flag(check_finite, "check_finite")
    progress = check_flag(progress, "progress")
    if measure not in MEASURES or (measure == "class" and family != "binomial"):
        allowed = "'deviance', 'mse' or 'class'" if family == "binomial" else "'deviance' or 'mse'"
        raise ValueError(f"measure must be {allowed} for the {family} family, got {measure!r}")
    K, ids = _folds_argument(folds)
    K = K if folds is not None else None
    from ._checks import _is_dask
    from ._sources import Source

    response: _Response = _Classes("y") if family == "binomial" else _Counts("y")
    data: _InMemory | _Pieces | _Dask
    if y is None:
        data = _stream_input(X, weights, offset, ids, response, K, seed, block_rows)
        plain = gram_stats(data.plain_pieces(), None, block_rows, progress, folds=folds, seed=seed,
                           check_finite=check_finite)
        k = cast(int, data.k)  # known after the first pass
    elif any(_is_dask(a) for a in (X, y, weights, offset, ids)):
        data = _dask_input(X, y, weights, offset, ids, response, K, seed, block_rows, timeout)
        plain = gram_stats(data.X, data.plain_inputs(), block_rows, progress, weights=data.w,
                           folds=folds if ids is None else data.ids, seed=seed,
                           check_finite=check_finite, timeout=timeout)
        k = data.X.shape[1]
    else:
        if isinstance(X, Source):
            raise TypeError("X is a Source: y must be None (the Source names its target)")
        X, y = np.asarray(X), np.asarray(y)
        w, off = _aligned(weights, "weights", X.shape[0]), _aligned(offset, "offset", X.shape[0])
        ids = _aligned(ids, "folds", X.shape[0])
        _check_shapes(X, y if y.dtype.kind in "biuf" else np.zeros(y.shape), {})
        off = None if off is None else _check_offset(off)
        codes = response.codes(y)
        plain = gram_stats(X, codes, block_rows, progress, weights=w, folds=folds, seed=seed,
                           check_finite=check_finite, timeout=timeout)
        data = _InMemory(X, codes, w, off, ids, K, seed, block_rows)
        k = X.shape[1]
    plains = [plain] if not isinstance(plain, FoldedStats) else (
        [plain.total] + [plain.train(f) for f in range(plain.K)])
    means = [response.finish(p) for p in plains]
    if family == "poisson" and not means[0] > 0.0:
        raise ValueError("y is 0 in every row with weight: the Poisson family needs a positive count")
    if family == "binomial" and not 0.0 < means[0] < 1.0:
        raise ValueError("y holds one class only among the rows with weight: the binomial family needs two")
    if family == "binomial" and isinstance(data, _InMemory):
        data.y = response.fitted(y)
    if eps is None:
        eps = 1e-4 if plains[0].n > k else 1e-2
    path, held, fold_status, passes = fit_models(
        lambda models, cols: data.scan(family, models, cols), plains, means, family, grid, l1_ratio,
        fit_intercept, standardize, n_alphas, eps, tol, max_iter,
        offset is not None or getattr(data, "has_offset", False))
    path = dataclasses.replace(path, n_passes=passes + 1)
    if folds is None or held is None or not isinstance(plain, FoldedStats):
        return path
    cv = held[:, :, MEASURES[measure]] / held[:, :, HELD_W]
    cv_mean, cv_se = _summaries(cv, np.array([s.sw for s in plain.folds]))
    if np.isnan(cv_mean).all():
        raise ValueError("no penalty has a cross-validated measure: every fold's fit ended")
    index_min = int(np.nanargmin(cv_mean))
    bound = cv_mean[index_min] + cv_se[index_min]
    index_1se = int(np.flatnonzero(cv_mean <= bound)[0])
    return GlmCrossValidation(path.alphas, measure, cv, cv_mean, cv_se, float(path.alphas[index_min]),
                              float(path.alphas[index_1se]), index_min, index_1se, path,
                              path.n_passes, fold_status)

