"""The pass over the rows and its fixed tree.

Rows are cut into blocks of `block_rows` counted from row 0 of the whole data, and
each block into one leaf per fold; every leaf's sums come from the library's
fixed-order native routines (see `_blocks`). The blocks are then added in one fixed
binary tree by block index, fold by fold: the node of size 2^L at position s covers
blocks s .. s + 2^L - 1 and is its left child plus its right child (the left child
alone when the right one starts at or past the last block), the raw sums added
entrywise and the means and centred co-moments merged by `_stats._merge` (one native
call per pair of nodes, all folds at once). A fold absent from one child is the
other child's part, unchanged. The leaves depend on the
global row numbers only (the fold of a row is a hash of its number, or the caller's
id for it), so whatever the chunking, the number of workers, the scheduling or the
kind of input, every operation is the same, and so are the bits. Dask is imported
only for Dask input.
"""

from __future__ import annotations

import math
import sys

import numpy as np

from ._blocks import BAD_IDS, W_NEGATIVE, W_NONFINITE, Plan, add, block
from ._folds import MAX_FOLDS, check_seed
from ._params import check_flag, check_int, check_real
from ._progress import TextBar
from ._stats import FoldedStats, _record

__all__ = ["gram_stats"]


# ---------------------------------------------------------------------------
# The fixed tree.
# ---------------------------------------------------------------------------
def _tree_size(nb):
    """Size of the root node: the smallest power of two >= nb."""
    return 1 << max(nb - 1, 0).bit_length()


def _node(s, size, nb, get):
    """The tree node (s, size) over nb blocks. get(s, size) gives a node already
    known, or None; leaves (size 1) must be known."""
    known = get(s, size)
    if known is not None:
        return known
    if size == 1:
        raise AssertionError(f"block {s} is missing")
    half = size // 2
    left = _node(s, half, nb, get)
    if s + half >= nb:
        return left
    return add(left, _node(s + half, half, nb, get))


def _cover(a, b, nb):
    """The largest tree nodes inside blocks [a, b): every node inside the range lies
    in exactly one of them, and every node that reaches outside is a sum of nodes
    that are either inside one range or reach outside themselves."""
    out = []

    def walk(s, size):
        e = min(s + size, nb)
        if e <= a or s >= b:
            return
        if a <= s and e <= b:
            out.append((s, size))
        else:
            walk(s, size // 2)
            walk(s + size // 2, size // 2)

    walk(0, _tree_size(nb))
    return out


def _range_nodes(a, b, nb, get):
    """{(s, size): node} for the nodes of _cover(a, b, nb)."""
    return {key: _node(*key, nb, get) for key in _cover(a, b, nb)}


def _chunk_nodes(X, y, w, ids, row0, plan, on_block=None):
    """The cover of the blocks in rows row0 .. row0 + len(X) - 1 (row0 a multiple of
    block_rows; the rows end on a block boundary or at the end of the data); w and
    ids are the chunk's weights and fold ids, or None."""
    br = plan.block_rows
    first = row0 // br
    last = first + -(-len(X) // br)

    def leaf(s, size):
        if size != 1:
            return None
        r = (s - first) * br
        rows = slice(r, r + br)
        node = block(X[rows], y[rows], None if w is None else w[rows],
                     None if ids is None else ids[rows], row0 + r, plan)
        if on_block is not None:
            on_block(len(X[rows]))
        return node

    return _range_nodes(first, last, plan.nb, leaf)


def _chunk_task(X, y, w, ids, row0, plan):
    out = np.empty((1, 1), dtype=object)
    out[0, 0] = _chunk_nodes(X, y, w, ids, int(row0[0]), plan)
    return out


def _unwrap(cover):
    return cover.item() if isinstance(cover, np.ndarray) else cover


def _merge_nodes(left, right, a, b, nb):
    """The cover of blocks [a, b) from the covers of two adjacent ranges."""
    known = {**_unwrap(left), **_unwrap(right)}
    return _range_nodes(a, b, nb, lambda s, size: known.get((s, size)))


def _root(nodes):
    (root,) = _unwrap(nodes).values()
    return root


# ---------------------------------------------------------------------------
# Input checks.
# ---------------------------------------------------------------------------
def _check_dtype(a, what, kinds="biuf", held="real numbers"):
    if a.dtype.kind not in kinds:
        raise TypeError(f"{what} must hold {held}, not {a.dtype}")


def _check_shapes(X, y, aligned):
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


def _is_dask(a):
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(a, da.Array)


def _folds_argument(folds):
    """(K, ids): folds=K an int >= 2 (ids None), or an array of fold ids (K None)."""
    if folds is None:
        return None, None
    if not _is_dask(folds) and np.ndim(folds) == 0:
        return check_int(folds, "folds", 2, MAX_FOLDS), None
    return None, folds


# ---------------------------------------------------------------------------
# The three kinds of input.
# ---------------------------------------------------------------------------
def _numpy_stats(X, y, w, ids, plan, bar):
    (root,) = _chunk_nodes(X, y, w, ids, 0, plan, bar).values()
    return root


def _iterable_stats(pieces, plan, bar):
    """Re-cuts the pieces into blocks of block_rows and adds them as they come: a
    stack of complete nodes of decreasing size, two equal sizes merged at once; at
    the end the stack folded from the right is the root of the tree."""
    stack = []  # (size, node)
    width = weighted = None
    pending, count = [], 0  # the rows of an incomplete block, as pieces' tails
    blocks = 0

    def push(parts):
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


def _dask_graph(X, y, aligned, plan_of, task=None, merge=None, root=None):
    """A Dask object whose value is the root of the tree over X, y and the aligned
    arrays ({'weights': w, 'folds': ids}, either may be absent), and its plan
    (plan_of(n) makes the plan for n rows). task(X, y, w, ids, row0, plan), merge and
    root replace _chunk_task, _merge_nodes and _root for other statistics of the
    blocks (the same chunking and the same tree)."""
    import dask
    import dask.array as da

    task, merge, root = task or _chunk_task, merge or _merge_nodes, root or _root

    named = {"X": X, "y": y, **aligned}
    unknown = [name for name, a in named.items() if _is_dask(a) and any(math.isnan(r) for r in a.shape)]
    if unknown:
        raise ValueError(f"{' and '.join(unknown)} {'has' if len(unknown) == 1 else 'have'} "
                         "unknown chunk sizes: call compute_chunk_sizes() first")
    _check_shapes(X, y, aligned)
    chunks = next(a.chunks[0] for a in named.values() if _is_dask(a))
    for name, a in named.items():
        if not _is_dask(a):
            named[name] = da.from_array(np.asarray(a), chunks=(chunks, -1) if name == "X" else (chunks,))
    for name, a in named.items():
        if name != "X" and a.chunks[0] != named["X"].chunks[0]:
            raise ValueError(f"X and {name} must have the same row chunks, got "
                             f"{named['X'].chunks[0][:4]}... and {a.chunks[0][:4]}...")
    plan = plan_of(X.shape[0])
    n, br = plan.n, plan.block_rows
    # Each task must own whole blocks: chunk edges move down to a block boundary
    # (chunks shorter than a block merge with their neighbours). The data are moved
    # by Dask's rechunk, lazily on the workers; aligned chunks stay as they are.
    edges = sorted({0, n} | {e // br * br for e in np.cumsum(chunks).tolist()[:-1]})
    rows = tuple(int(b - a) for a, b in zip(edges, edges[1:]))
    # One array task per chunk (an array layer, so that Dask handles persisted and
    # shared inputs as in any array expression); its value is a 1-by-1 object array
    # holding the chunk's cover. It is indexed "ij" like X, with its one column
    # chunk: a contracted index would make Dask pass a concatenated copy of the chunk.
    args = [named["X"].rechunk({0: rows, 1: -1}), "ij"]
    for name in ("y", "weights", "folds"):
        args += [named[name].rechunk({0: rows}), "i"] if name in named else [None, None]
    offsets = da.from_array(np.array(edges[:-1], dtype=np.int64), chunks=1)
    covers = da.blockwise(
        task, "ij", *args, offsets, "i", plan=plan, align_arrays=False,
        adjust_chunks={"i": 1, "j": 1}, meta=np.empty((0, 0), dtype=object))
    parts = [(cover, a // br, -(-b // br))
             for cover, a, b in zip(covers.to_delayed().ravel(), edges, edges[1:])]
    while len(parts) > 1:  # adjacent ranges merged pairwise
        merged = [
            (dask.delayed(merge, pure=True)(l, r, la, rb, plan.nb), la, rb)
            for (l, la, _), (r, _, rb) in zip(parts[0::2], parts[1::2])
        ]
        parts = merged + ([parts[-1]] if len(parts) % 2 else [])
    return dask.delayed(root, pure=True)(parts[0][0]), plan


def _default_client():
    """The distributed client Dask would compute with, or None."""
    if "distributed" not in sys.modules:
        return None
    import dask
    from distributed import Client

    client = getattr(dask.base.get_scheduler(), "__self__", None)
    return client if isinstance(client, Client) else None


def _compute(obj, progress, timeout):
    client = _default_client()
    if client is None:
        import dask

        if progress:
            from dask.diagnostics import ProgressBar

            with ProgressBar():
                return dask.compute(obj)[0]
        return dask.compute(obj)[0]
    future = client.compute(obj)
    try:
        if progress:
            # distributed's text bar waits for the end: beside the wait with a timeout.
            import threading

            from distributed import progress as show

            bar = threading.Thread(target=show, args=(future,), kwargs={"notebook": False}, daemon=True)
            bar.start()
        result = future.result(timeout=timeout)
        if progress:
            bar.join(5.0)
        return result
    finally:
        future.release()


def _plural(items, one, many):
    return f"{one if len(items) == 1 else many} {', '.join(map(str, items[:10]))}" + (
        f" and {len(items) - 10} more" if len(items) > 10 else "")


def _refuse_nonfinite(counts):
    """ValueError naming the columns of X, and y, that hold NaN or infinite values."""
    k = counts.shape[0] - 1
    parts = []
    columns = [f"{j} ({n} value{'s' if n > 1 else ''})" for j, n in
               ((int(j), int(counts[j])) for j in np.flatnonzero(counts[:k]))]
    if columns:
        parts.append(_plural(columns, "X column", "X columns"))
    if counts[k]:
        parts.append(f"y ({int(counts[k])} value{'s' if counts[k] > 1 else ''})")
    if parts:
        raise ValueError(f"NaN or infinity in {' and '.join(parts)}; check_finite=False lets "
                         "them into the statistics (the solvers then refuse them)")


def _finish(root, plan, folded, check_finite):
    """The record(s) of the root, once its counts show nothing to refuse."""
    p = root.counts.shape[0] - 3
    counts, first = root.counts[p:], root.first
    if counts[W_NONFINITE] or counts[W_NEGATIVE]:
        raise ValueError(f"weights must be finite and >= 0: {int(counts[W_NONFINITE])} are NaN or "
                         f"infinite and {int(counts[W_NEGATIVE])} negative (the first at row {int(first[0])})")
    n = int(root.recs[:, 0].sum())  # whole numbers below 2^53: exact
    if counts[BAD_IDS]:
        raise ValueError(f"folds must hold whole numbers from 0 to {n - 1} (the number of rows "
                         f"less one): {int(counts[BAD_IDS])} do not (the first at row {int(first[1])})")
    if check_finite:
        _refuse_nonfinite(root.counts[:p])
    sw = root.recs[:, 1]
    if (sw == 0.0).all():
        raise ValueError("weights are all zero")
    if not folded:
        return _record(root.recs[0], p)
    K = plan.K if plan.K is not None else int(root.folds[-1]) + 1
    if K > n:
        raise ValueError(f"more folds ({K}) than rows ({n})")
    if root.folds.size < K:
        empty = np.setdiff1d(np.arange(K), root.folds).tolist()
        raise ValueError(f"{_plural(empty, 'fold', 'folds')} of {K} hold{'s' * (len(empty) == 1)} no rows")
    weightless = np.flatnonzero(sw == 0.0).tolist()  # every fold is present: row f is fold f
    if weightless:
        raise ValueError(f"the weights of {_plural(weightless, 'fold', 'folds')} are all zero")
    return FoldedStats(tuple(_record(rec, p) for rec in root.recs))


def gram_stats(X, y=None, block_rows=4096, progress=False, *, weights=None, folds=None, seed=0,
               check_finite=True, timeout=None):
    """Weighted least-squares statistics, raw and centred, in one pass; per fold with
    `folds`.

    X, y: numpy arrays (memory-mapped ``.npy`` files are read block by block), Dask
    arrays (any row chunking, the same for X, y, weights and fold ids; columns are put
    in one chunk), or X an iterable of ``(X_block, y_block)`` or
    ``(X_block, y_block, w_block)`` pieces with y None (pieces of any sizes, read one
    at a time, all with weights or none). Blocks that are not float64 are converted
    to float64 block by block; complex or non-numeric data are refused.

    weights: non-negative finite weights aligned with the rows (numpy or Dask, the
    row chunks of X), or None (all 1); iterables carry them in their pieces.

    folds: K, an int >= 2: row i goes to fold fold_ids(i, i + 1, K, seed), a hash of
    (seed, i) (see fold_ids); or an array of fold ids 0 .. K-1 aligned with the rows
    (integers, or floats holding whole numbers; K is the largest id + 1), numpy or
    Dask. Iterables take an int only. Returns then a FoldedStats.

    block_rows: rows per block, counted from row 0 of the whole data. The result is
    the same bit for bit for every chunking, number of workers and scheduling, and
    for numpy, Dask and iterable input of the same data (for the same block_rows).
    Without weights and folds, G, c, yy and n are the same bits as the sums of X'X,
    X'y and y'y by block have always been; with either, G, c and yy are formed from
    the centred statistics (see GramStats).

    check_finite: refuse data holding NaN or infinite values with a ValueError that
    names the columns of X (and y) and their counts, once the pass has counted them
    (a block's sums of squares show which columns to count, so this costs no extra
    pass). False lets them into the statistics, which the solvers then refuse.

    progress: show a progress bar (Dask's for Dask input, a plain one on stderr
    otherwise). timeout: seconds to wait for a distributed cluster's result before
    TimeoutError (None waits; the local Dask scheduler has no timeout).

    Returns a GramStats record (G and Gc exactly symmetric), or a FoldedStats. Bad
    input raises ValueError or TypeError naming the argument: before the pass when the
    arguments show it (shapes, lengths, row chunks, dtypes, K < 2 or above the row
    count, settings), after it, before any result, when the values do (weights NaN,
    infinite, negative or all zero; fold ids not whole numbers in [0, n); a fold with
    no rows or no weight; NaN or infinity in X or y under check_finite).
    """
    block_rows = check_int(block_rows, "block_rows", 1)
    check_finite = check_flag(check_finite, "check_finite")
    progress = check_flag(progress, "progress")
    if timeout is not None:
        timeout = check_real(timeout, "timeout", 0.0)
    seed = check_seed(seed)
    K, ids = _folds_argument(folds)
    folded = folds is not None

    def plan_of(n):
        if K is not None and n and K > n:
            raise ValueError(f"folds={K}: more folds than rows ({n})")
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
        try:
            return _finish(_iterable_stats(iter(X), plan, bar), plan, folded, check_finite)
        finally:
            if bar is not None:
                bar.close()
    aligned = {name: a for name, a in (("weights", weights), ("folds", ids)) if a is not None}
    if any(_is_dask(a) for a in (X, y, *aligned.values())):
        def as_array(a):
            return a if _is_dask(a) or isinstance(a, np.ndarray) else np.asarray(a)

        X, y = as_array(X), as_array(y)
        aligned = {name: as_array(a) for name, a in aligned.items()}
        graph, plan = _dask_graph(X, y, aligned, plan_of)
        return _finish(_compute(graph, progress, timeout), plan, folded, check_finite)
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
