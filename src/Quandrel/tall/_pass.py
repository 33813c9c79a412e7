"""The pass over the rows (`gram_stats`): numpy arrays and iterables here, Dask arrays
on a cluster (`_dask`), every kind into one fixed tree (`_tree`), checked before and
after (`_checks`).

Rows are cut into blocks of `block_rows` counted from row 0 of the whole data, and
each block into one leaf per fold; every leaf's sums come from the library's
fixed-order native routines (see `_blocks`), and the blocks are added in one fixed
binary tree by block index (see `_tree`; one native call per pair of nodes, all folds
at once). The leaves depend on the global row numbers only (the fold of a row is a
hash of its number, or the caller's id for it), so whatever the chunking, the number
of workers, the scheduling or the kind of input, every operation is the same, and so
are the bits. Dask is imported only for Dask input.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

from ._blocks import Node, Plan, add, block
from ._checks import _check_dtype, _check_shapes, _finish, _folds_argument, _is_dask, check_fold_count
from ._dask import _compute, _dask_graph
from ._folds import check_seed
from ._params import check_flag, check_int, check_real
from ._progress import TextBar
from ._readers._base import first_nonfinite
from ._sources import Source, source_of
from ._stats import FoldedStats, GramStats
from ._tree import _chunk_nodes

__all__ = ["gram_stats"]


def _numpy_stats(X: Any, y: Any, w: Any, ids: Any, plan: Plan, bar: TextBar | None) -> Node:
    (root,) = _chunk_nodes(X, y, w, ids, 0, plan, bar).values()
    return root


def _iterable_stats(pieces: Iterator[Any], plan: Plan, bar: TextBar | None) -> Node:
    """Re-cuts the pieces into blocks of block_rows and adds them as they come: a
    stack of complete nodes of decreasing size, two equal sizes merged at once; at
    the end the stack folded from the right is the root of the tree."""
    stack: list[tuple[int, Node]] = []  # (size, node)
    width = weighted = None
    pending, count = [], 0  # the rows of an incomplete block, as pieces' tails
    blocks = 0

    def push(parts: list[Any]) -> None:
        nonlocal blocks
        Xb, yb, wb = (np.concatenate(a) if len(parts) > 1 else a[0] for a in zip(*parts))
        node = block(Xb, yb, wb if weighted else None, None, blocks * plan.block_rows, plan)
        blocks += 1
        if bar is not None:
            bar(len(Xb))
        size = 1
        while stack and stack[-1][0] == size:
            node = add(stack.pop()[1], node)
            size *= 2
        stack.append((size, node))

    for number, piece in enumerate(pieces):
        try:
            Xp, yp, *wp = piece
            if len(wp) > 1:
                raise ValueError
        except (TypeError, ValueError):
            raise TypeError(f"piece {number} is not an (X_block, y_block) pair or an "
                            "(X_block, y_block, w_block) triple") from None
        if weighted is None:
            weighted = bool(wp)
        elif weighted != bool(wp):
            raise ValueError(f"piece {number} {'lacks' if weighted else 'has'} weights, "
                             f"piece 0 {'has' if weighted else 'lacks'} them")
        Xp, yp = np.asarray(Xp), np.asarray(yp)
        wp = np.asarray(wp[0]) if weighted else np.empty(len(yp))
        if Xp.ndim != 2 or yp.ndim != 1 or wp.ndim != 1:
            raise ValueError(f"piece {number}: X_block must be 2-D and y_block{' and w_block' * weighted} "
                             f"1-D, got {Xp.ndim}-D, {yp.ndim}-D{f', {wp.ndim}-D' * weighted}")
        _check_dtype(Xp, f"piece {number}: X_block")
        _check_dtype(yp, f"piece {number}: y_block")
        _check_dtype(wp, f"piece {number}: w_block")
        if not Xp.shape[0] == yp.shape[0] == wp.shape[0]:
            raise ValueError(f"piece {number}: X_block has {Xp.shape[0]} rows but y_block has "
                             f"{yp.shape[0]}{f' and w_block {wp.shape[0]}' * weighted}")
        if width is None:
            width = Xp.shape[1]
        elif Xp.shape[1] != width:
            raise ValueError(f"piece {number} has {Xp.shape[1]} columns, the first had {width}")
        m, pos = Xp.shape[0], 0
        if count:
            pos = min(plan.block_rows - count, m)
            pending.append((Xp[:pos].astype(np.float64), yp[:pos].astype(np.float64),
                            wp[:pos].astype(np.float64)))
            count += pos
            if count == plan.block_rows:
                push(pending)
                pending, count = [], 0
        while m - pos >= plan.block_rows:
            rows = slice(pos, pos + plan.block_rows)
            push([(Xp[rows], yp[rows], wp[rows])])
            pos += plan.block_rows
        if pos < m:
            # Copies: the producer may reuse its buffers for the next piece.
            pending.append((Xp[pos:].astype(np.float64), yp[pos:].astype(np.float64),
                            wp[pos:].astype(np.float64)))
            count += m - pos
    if count:
        push(pending)
    if not stack:
        raise ValueError("no rows at all")
    root = stack.pop()[1]
    while stack:
        root = add(stack.pop()[1], root)
    return root


def _labels(src: Source | None, on_dask: bool, timeout: float | None = None) -> tuple[Any, Any]:
    """(names, locate) of _refuse_nonfinite for rows of the Source src (None: none):
    the files read again in this process after a pass here, else by a Dask task (on
    the cluster, where the files are reachable)."""
    if src is None:
        return None, None
    names = [*src.columns, src.target]
    reader = src._reader

    def locate(positions: list[int]) -> tuple[Any, ...] | None:
        if not on_dask:
            first = first_nonfinite(reader, positions)
        else:
            import dask

            first = _compute(dask.delayed(first_nonfinite, pure=True)(reader, positions), False, timeout)
        return None if first is None else (*first, ", those with missing values left out" * reader.may_drop)

    return names, locate


def gram_stats(X: Any, y: Any = None, block_rows: int = 4096, progress: bool = False, *,
               weights: Any = None, folds: Any = None, seed: int = 0, check_finite: bool = True,
               timeout: float | None = None) -> GramStats | FoldedStats:
    """Weighted least-squares statistics, raw and centred, in one pass; per fold with
    `folds`.

    Rows are cut into blocks of `block_rows` counted from row 0 of the whole data and
    added in one fixed tree, so the result is the same bit for bit for every chunking,
    number of workers and scheduling, and for numpy, Dask and iterable input of the
    same rows (for the same block_rows). Without weights and folds, G, c, yy and n are
    the sums of X'X, X'y and y'y by block; with either, G, c and yy are formed from the
    centred statistics (see GramStats).

    Parameters
    ----------
    X : array_like of shape (n, k), Dask array, iterable of pieces, or Source
        numpy arrays (memory-mapped ``.npy`` files are read block by block), Dask
        arrays (any row chunking, the same for X, y, weights and fold ids; on the
        active distributed client, or Dask's local scheduler), or, with y None, an
        iterable of ``(X_block, y_block)`` or ``(X_block, y_block, w_block)`` pieces
        of any sizes, all with weights or none (such as a `Source`). Blocks that are
        not float64 are converted block by block.
    y : array_like of shape (n,), Dask array, or None
        The target; None when X is an iterable of pieces.
    block_rows : int, default 4096
        Rows per block, >= 1.
    progress : bool, default False
        Show a progress bar (Dask's for Dask input, a plain one on stderr otherwise).
    weights : array_like of shape (n,) or Dask array, optional
        Non-negative finite weights aligned with the rows (Dask: X's row chunks); None
        is all 1. Iterables carry them in their pieces.
    folds : int or array_like of shape (n,), optional
        K >= 2: row i goes to fold fold_ids(i, i + 1, K, seed), a hash of (seed, i);
        or fold ids 0 .. K-1 aligned with the rows (integers, or floats holding whole
        numbers; K is the largest id + 1), numpy or Dask. Iterables take K only.
    seed : int, default 0
        The seed of the folds' hash, in [0, 2**64).
    check_finite : bool, default True
        Refuse NaN and infinite values in X and y once the pass has counted them (at
        no extra cost), naming the columns (for a Source, its column names, the file
        and the first row). False lets them into the statistics, which the solvers
        then refuse.
    timeout : float, optional
        Seconds to wait for a distributed cluster's result (None waits).

    Returns
    -------
    GramStats or FoldedStats
        The statistics (G and Gc exactly symmetric; `names` from a Source); with
        folds, those of each fold.

    Raises
    ------
    TypeError, ValueError
        Naming the argument, before the pass where the arguments show it (shapes,
        lengths, row chunks, dtypes, K < 2 or more folds than rows, settings); after
        it, before any result, where the values do (weights NaN, infinite, negative
        or all zero; fold ids not whole numbers in [0, n); a fold with no rows or no
        weight; NaN or infinity under check_finite).
    TimeoutError
        The cluster did not answer within timeout.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X, y = rng.standard_normal((10_000, 3)), rng.standard_normal(10_000)
    >>> stats = tall.gram_stats(X, y, block_rows=1000)
    >>> stats.n, np.allclose(stats.G, X.T @ X)
    (10000, True)
    >>> pieces = ((X[i:i + 777], y[i:i + 777]) for i in range(0, 10_000, 777))
    >>> tall.gram_stats(pieces, block_rows=1000).fingerprint() == stats.fingerprint()
    True
    >>> tall.gram_stats(X, y, folds=5).K
    5
    """
    block_rows = check_int(block_rows, "block_rows", 1)
    check_finite = check_flag(check_finite, "check_finite")
    progress = check_flag(progress, "progress")
    if timeout is not None:
        timeout = check_real(timeout, "timeout", 0.0)
    seed = check_seed(seed)
    K, ids = _folds_argument(folds)
    folded = folds is not None

    def plan_of(n: int) -> Plan:
        check_fold_count(K, n)
        return Plan(block_rows, -(-n // block_rows), n, K, seed)

    if y is None:
        if isinstance(X, np.ndarray) or _is_dask(X) or not hasattr(X, "__iter__"):
            raise TypeError("y is None: X must be an iterable of (X_block, y_block) or "
                            "(X_block, y_block, w_block) pieces")
        if weights is not None:
            raise TypeError("weights: an iterable X carries its weights in its pieces, "
                            "as (X_block, y_block, w_block)")
        if ids is not None:
            raise TypeError("folds: an iterable X takes folds=K, an int, not fold ids")
        plan = plan_of(0)
        bar = TextBar(unit="rows") if progress else None
        names, locate = _labels(X if isinstance(X, Source) else None, False)
        try:
            return _finish(_iterable_stats(iter(X), plan, bar), plan, folded, check_finite, names, locate)
        finally:
            if bar is not None:
                bar.close()
    aligned = {name: a for name, a in (("weights", weights), ("folds", ids)) if a is not None}
    if any(_is_dask(a) for a in (X, y, *aligned.values())):
        def as_array(a: Any) -> Any:
            return a if _is_dask(a) or isinstance(a, np.ndarray) else np.asarray(a)

        X, y = as_array(X), as_array(y)
        aligned = {name: as_array(a) for name, a in aligned.items()}
        graph, plan = _dask_graph(X, y, aligned, plan_of)
        names, locate = _labels(source_of(X, y), True, timeout)
        return _finish(_compute(graph, progress, timeout), plan, folded, check_finite, names, locate)
    X = X if isinstance(X, np.ndarray) else np.asarray(X)
    y = y if isinstance(y, np.ndarray) else np.asarray(y)
    aligned = {name: a if isinstance(a, np.ndarray) else np.asarray(a) for name, a in aligned.items()}
    _check_shapes(X, y, aligned)
    plan = plan_of(X.shape[0])
    bar = TextBar(total=X.shape[0]) if progress else None
    try:
        root = _numpy_stats(X, y, aligned.get("weights"), aligned.get("folds"), plan, bar)
        return _finish(root, plan, folded, check_finite)
    finally:
        if bar is not None:
            bar.close()
