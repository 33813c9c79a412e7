"""The checks of the pass: of its input before it (shapes, dtypes, the folds argument,
the number of folds against the rows), and of what it found, before any result (the
verdicts on the counts the blocks keep: weights, fold ids, NaN and infinities, empty
or weightless folds)."""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._blocks import BAD_IDS, W_NEGATIVE, W_NONFINITE, Node, Plan
from ._folds import MAX_FOLDS
from ._params import check_int
from ._stats import FoldedStats, GramStats, _record


def _check_dtype(a: Any, what: str, kinds: str = "biuf", held: str = "real numbers") -> None:
    if a.dtype.kind not in kinds:
        raise TypeError(f"{what} must hold {held}, not {a.dtype}")


def _check_shapes(X: Any, y: Any, aligned: dict[str, Any]) -> None:
    """X 2-D, y and the aligned arrays ({name: array}) 1-D, all of X's row count."""
    if X.ndim != 2:
        raise ValueError(f"X must be 2-D, got {X.ndim}-D")
    if y.ndim != 1:
        raise ValueError(f"y must be 1-D, got {y.ndim}-D")
    _check_dtype(X, "X")
    _check_dtype(y, "y")
    if X.shape[0] != y.shape[0]:
        raise ValueError(f"X has {X.shape[0]} rows but y has {y.shape[0]}")
    for name, a in aligned.items():
        if a.ndim != 1:
            raise ValueError(f"{name} must be 1-D, got {a.ndim}-D")
        if name == "folds":
            _check_dtype(a, "folds", "iuf", "integers or whole numbers")
        else:
            _check_dtype(a, name)
        if a.shape[0] != X.shape[0]:
            raise ValueError(f"X has {X.shape[0]} rows but {name} has {a.shape[0]}")
    if X.shape[0] == 0:
        raise ValueError("no rows at all")


def _is_dask(a: object) -> bool:
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(a, da.Array)


def _folds_argument(folds: Any) -> tuple[int | None, Any]:
    """(K, ids): folds=K an int >= 2 (ids None), or an array of fold ids (K None)."""
    if folds is None:
        return None, None
    if not _is_dask(folds) and np.ndim(folds) == 0:
        return check_int(folds, "folds", 2, MAX_FOLDS), None
    return None, folds


def check_fold_count(K: int | None, n: int) -> None:
    """Refuses more folds than rows: before the pass when the row count is known, after
    it otherwise (iterables)."""
    if K is not None and n and n < K:
        raise ValueError(f"folds={K}: more folds than rows ({n})")


def _plural(items: Sequence[Any], one: str, many: str) -> str:
    return f"{one if len(items) == 1 else many} {', '.join(map(str, items[:10]))}" + (
        f" and {len(items) - 10} more" if len(items) > 10 else "")


def _refuse_nonfinite(counts: npt.NDArray[np.int64], names: Sequence[Any] | None = None,
                      locate: Callable[[list[int]], tuple[Any, ...] | None] | None = None) -> None:
    """ValueError naming the columns of X, and y, that hold NaN or infinite values:
    by position, or by `names` (X's columns, then the target's) for rows from files,
    with the file and the row of the first such value that `locate(positions)` finds
    ((where, position, row), or None)."""
    k = counts.shape[0] - 1
    bad = np.flatnonzero(counts).tolist()
    if not bad:
        return

    def values(j: int) -> str:
        return f"{int(counts[j])} value{'s' if counts[j] > 1 else ''}"

    if names is None:
        parts = []
        columns = [f"{j} ({values(j)})" for j in bad if j < k]
        if columns:
            parts.append(_plural(columns, "X column", "X columns"))
        if counts[k]:
            parts.append(f"y ({values(k)})")
        where = ""
    else:
        parts = [_plural([f"{names[j]!r} ({values(j)})" for j in bad if j < k], "column", "columns")] \
            if any(j < k for j in bad) else []
        if counts[k]:
            parts.append(f"the target {names[k]!r} ({values(k)})")
        first = locate(bad) if locate is not None else None
        where = "" if first is None else (
            f", the first in column {names[first[1]]!r} of {first[0]} at row {first[2]} (rows "
            f"counted from 0 over all the files{first[3]})")
    raise ValueError(f"NaN or infinity in {' and '.join(parts)}{where}; check_finite=False lets "
                     "them into the statistics (the solvers then refuse them)"
                     + ("" if names is None else ", and the source's dropna=True leaves out the "
                        "rows holding NaN"))


def _finish(root: Node, plan: Plan, folded: bool, check_finite: bool,
            names: Sequence[Any] | None = None,
            locate: Callable[[list[int]], tuple[Any, ...] | None] | None = None) -> GramStats | FoldedStats:
    """The record(s) of the root, once its counts show nothing to refuse (`names` and
    `locate` as for _refuse_nonfinite)."""
    p = root.counts.shape[0] - 3
    counts, first = root.counts[p:], root.first
    if counts[W_NONFINITE] or counts[W_NEGATIVE]:
        raise ValueError(f"weights must be finite and >= 0: {int(counts[W_NONFINITE])} are NaN or "
                         f"infinite and {int(counts[W_NEGATIVE])} negative (the first at row "
                         f"{int(first[0])})")
    n = int(root.recs[:, 0].sum())  # whole numbers below 2^53: exact
    if counts[BAD_IDS]:
        raise ValueError(f"folds must hold whole numbers from 0 to {n - 1} (the number of rows "
                         f"less one): {int(counts[BAD_IDS])} do not (the first at row {int(first[1])})")
    if check_finite:
        _refuse_nonfinite(root.counts[:p], names, locate)
    sw = root.recs[:, 1]
    if (sw == 0.0).all():
        raise ValueError("weights are all zero")
    columns = None if names is None else tuple(names[:-1])
    if not folded:
        return _record(root.recs[0], p, columns)
    K = plan.K if plan.K is not None else int(root.folds[-1]) + 1
    check_fold_count(K, n)
    if root.folds.size < K:
        empty = np.setdiff1d(np.arange(K), root.folds).tolist()
        raise ValueError(f"{_plural(empty, 'fold', 'folds')} of {K} hold{'s' * (len(empty) == 1)} no rows")
    weightless = np.flatnonzero(sw == 0.0).tolist()  # every fold is present: row f is fold f
    if weightless:
        raise ValueError(f"the weights of {_plural(weightless, 'fold', 'folds')} are all zero")
    return FoldedStats(tuple(_record(rec, p, columns) for rec in root.recs))
