"""The pass over the rows and its fixed tree.

Rows are cut into blocks of `block_rows` counted from row 0 of the whole data; each
block's X'X, X'y and y'y come from the library's fixed-order native routines
(``qdl_gram``, ``qdl_gram_rhs``, ``qdl_dot``); the blocks are then added in one fixed
binary tree by block index: the node of size 2^L at position s covers blocks
s .. s + 2^L - 1 and is its left child plus its right child (the left child alone when
the right one starts at or past the last block). Whatever the chunking, the number of
workers, the scheduling or the kind of input, every sum is the same, so the bits are
the same. Dask is imported only for Dask input.
"""

from __future__ import annotations

import math
import sys
import time

import numpy as np

from ._native import _call, _f64
from ._params import check_flag, check_int, check_real
from ._stats import _add, _record

__all__ = ["gram_stats"]


# ---------------------------------------------------------------------------
# The fixed tree.
# ---------------------------------------------------------------------------
def _block_stats(Xb, yb):
    """X'X, X'y, y'y, the row count and the count of NaN and infinite values per
    column (X's, then y) of one block, from the native routines. A block that is not
    float64 (or not C-contiguous, or misaligned) is converted here, alone."""
    Xb, yb = _f64(Xb), _f64(yb)
    m, k = Xb.shape
    G = np.empty((k, k))
    c = np.empty(k)
    _call("qdl_gram", Xb, G, m, k)
    _call("qdl_gram_rhs", Xb, yb, c, m, k)
    yy = float(_call("qdl_dot", yb, yb, m))
    return G, c, yy, m, _nonfinite_counts(Xb, yb, np.diagonal(G), yy)


def _nonfinite_counts(Xb, yb, diagonal, yy):
    """NaN and infinite values per column of X, then of y. A column's sum of squares
    is finite exactly when the column holds none and its squares do not overflow, so
    only the columns whose diagonal entry is not finite are counted."""
    counts = np.zeros(Xb.shape[1] + 1, dtype=np.int64)
    suspects = np.flatnonzero(~np.isfinite(diagonal))
    if suspects.size:
        counts[suspects] = np.count_nonzero(~np.isfinite(Xb[:, suspects]), axis=0)
    if not math.isfinite(yy):
        counts[-1] = np.count_nonzero(~np.isfinite(yb))
    return counts


def _tree_size(nb):
    """Size of the root node: the smallest power of two >= nb."""
    return 1 << max(nb - 1, 0).bit_length()


def _node(s, size, nb, get):
    """Statistics of the tree node (s, size) over nb blocks. get(s, size) gives a
    node already known, or None; leaves (size 1) must be known."""
    known = get(s, size)
    if known is not None:
        return known
    if size == 1:
        raise AssertionError(f"block {s} is missing")
    half = size // 2
    left = _node(s, half, nb, get)
    if s + half >= nb:
        return left
    return _add(left, _node(s + half, half, nb, get))


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
    """{node: statistics} for the nodes of _cover(a, b, nb)."""
    return {key: _node(*key, nb, get) for key in _cover(a, b, nb)}


def _chunk_nodes(X, y, row0, block_rows, nb, on_block=None):
    """The cover of the blocks in rows row0 .. row0 + len(X) - 1 (row0 a multiple of
    block_rows; the rows end on a block boundary or at the end of the data)."""
    first = row0 // block_rows
    last = first + -(-len(X) // block_rows)

    def leaf(s, size):
        if size != 1:
            return None
        r = (s - first) * block_rows
        stats = _block_stats(X[r:r + block_rows], y[r:r + block_rows])
        if on_block is not None:
            on_block(stats[3])
        return stats

    return _range_nodes(first, last, nb, leaf)


def _chunk_task(X, y, row0, block_rows, nb):
    out = np.empty((1, 1), dtype=object)
    out[0, 0] = _chunk_nodes(X, y, int(row0[0]), block_rows, nb)
    return out


def _unwrap(cover):
    return cover.item() if isinstance(cover, np.ndarray) else cover


def _merge_nodes(left, right, a, b, nb):
    """The cover of blocks [a, b) from the covers of two adjacent ranges."""
    known = {**_unwrap(left), **_unwrap(right)}
    return _range_nodes(a, b, nb, lambda s, size: known.get((s, size)))


# ---------------------------------------------------------------------------
# Input checks and progress.
# ---------------------------------------------------------------------------
def _check_dtype(a, what):
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, not {a.dtype}")


def _check_shapes(X, y):
    if X.ndim != 2:
        raise ValueError(f"X must be 2-D, got {X.ndim}-D")
    if y.ndim != 1:
        raise ValueError(f"y must be 1-D, got {y.ndim}-D")
    _check_dtype(X, "X")
    _check_dtype(y, "y")
    if X.shape[0] != y.shape[0]:
        raise ValueError(f"X has {X.shape[0]} rows but y has {y.shape[0]}")
    if X.shape[0] == 0:
        raise ValueError("no rows at all")


def _is_dask(a):
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(a, da.Array)


class _TextBar:
    """A plain progress bar on stderr: a bar when the total is known, else a count."""

    def __init__(self, total=None, unit="rows"):
        self.total, self.unit, self.done, self.shown = total, unit, 0, 0.0

    def __call__(self, rows):
        self.done += rows
        now = time.monotonic()
        if now - self.shown >= 0.2:
            self.shown = now
            self._draw()

    def _draw(self, end=""):
        if self.total:
            frac = self.done / self.total
            bar = "#" * int(40 * frac)
            sys.stderr.write(f"\r[{bar:<40}] {100 * frac:5.1f}% {self.done:,} {self.unit}{end}")
        else:
            sys.stderr.write(f"\r{self.done:,} {self.unit}{end}")
        sys.stderr.flush()

    def close(self):
        self._draw("\n")


# ---------------------------------------------------------------------------
# The three kinds of input.
# ---------------------------------------------------------------------------
def _numpy_stats(X, y, block_rows, bar):
    n = X.shape[0]
    nb = -(-n // block_rows)
    (root,) = _chunk_nodes(X, y, 0, block_rows, nb, bar).values()
    return root


def _iterable_stats(pieces, block_rows, bar):
    """Re-cuts the pieces into blocks of block_rows and adds them as they come: a
    stack of complete nodes of decreasing size, two equal sizes merged at once; at
    the end the stack folded from the right is the root of the tree."""
    stack = []  # (size, statistics)
    width = None
    pending_X, pending_y, pending = [], [], 0

    def push(Xb, yb):
        stats = _block_stats(Xb, yb)
        if bar is not None:
            bar(stats[3])
        size = 1
        while stack and stack[-1][0] == size:
            stats = _add(stack.pop()[1], stats)
            size *= 2
        stack.append((size, stats))

    for number, piece in enumerate(pieces):
        try:
            Xp, yp = piece
        except (TypeError, ValueError):
            raise TypeError(f"piece {number} is not an (X_block, y_block) pair") from None
        Xp, yp = np.asarray(Xp), np.asarray(yp)
        if Xp.ndim != 2 or yp.ndim != 1:
            raise ValueError(f"piece {number}: X_block must be 2-D and y_block 1-D, "
                             f"got {Xp.ndim}-D and {yp.ndim}-D")
        _check_dtype(Xp, f"piece {number}: X_block")
        _check_dtype(yp, f"piece {number}: y_block")
        if Xp.shape[0] != yp.shape[0]:
            raise ValueError(f"piece {number}: X_block has {Xp.shape[0]} rows but y_block "
                             f"has {yp.shape[0]}")
        if width is None:
            width = Xp.shape[1]
        elif Xp.shape[1] != width:
            raise ValueError(f"piece {number} has {Xp.shape[1]} columns, the first had {width}")
        m, pos = Xp.shape[0], 0
        if pending:
            pos = min(block_rows - pending, m)
            pending_X.append(Xp[:pos].astype(np.float64))
            pending_y.append(yp[:pos].astype(np.float64))
            pending += pos
            if pending == block_rows:
                push(np.concatenate(pending_X), np.concatenate(pending_y))
                pending_X, pending_y, pending = [], [], 0
        while m - pos >= block_rows:
            push(Xp[pos:pos + block_rows], yp[pos:pos + block_rows])
            pos += block_rows
        if pos < m:
            # Copies: the producer may reuse its buffers for the next piece.
            pending_X.append(Xp[pos:].astype(np.float64))
            pending_y.append(yp[pos:].astype(np.float64))
            pending += m - pos
    if pending:
        push(np.concatenate(pending_X), np.concatenate(pending_y))
    if not stack:
        raise ValueError("no rows at all")
    root = stack.pop()[1]
    while stack:
        root = _add(stack.pop()[1], root)
    return root


def _dask_graph(X, y, block_rows):
    """A Dask object whose value is the root of the tree over X and y."""
    import dask
    import dask.array as da

    if any(_is_dask(a) and any(math.isnan(r) for r in a.shape) for a in (X, y)):
        raise ValueError("X or y has unknown chunk sizes: call compute_chunk_sizes() first")
    _check_shapes(X, y)
    if not _is_dask(X):
        X = da.from_array(np.asarray(X), chunks=(y.chunks[0], -1))
    if not _is_dask(y):
        y = da.from_array(np.asarray(y), chunks=(X.chunks[0],))
    if X.chunks[0] != y.chunks[0]:
        raise ValueError("X and y must have the same row chunks, got "
                         f"{X.chunks[0][:4]}... and {y.chunks[0][:4]}...")
    n = X.shape[0]
    nb = -(-n // block_rows)
    # Each task must own whole blocks: chunk edges move down to a block boundary
    # (chunks shorter than a block merge with their neighbours). The data are moved
    # by Dask's rechunk, lazily on the workers; aligned chunks stay as they are.
    edges = sorted({0, n} | {e // block_rows * block_rows for e in np.cumsum(X.chunks[0]).tolist()[:-1]})
    rows = tuple(int(b - a) for a, b in zip(edges, edges[1:]))
    # One array task per chunk (an array layer, so that Dask handles persisted and
    # shared inputs as in any array expression); its value is a 1-by-1 object array
    # holding the chunk's cover. It is indexed "ij" like X, with its one column
    # chunk: a contracted index would make Dask pass a concatenated copy of the chunk.
    offsets = da.from_array(np.array(edges[:-1], dtype=np.int64), chunks=1)
    covers = da.blockwise(
        _chunk_task, "ij", X.rechunk({0: rows, 1: -1}), "ij", y.rechunk({0: rows}), "i",
        offsets, "i", block_rows=block_rows, nb=nb, align_arrays=False,
        adjust_chunks={"i": 1, "j": 1}, meta=np.empty((0, 0), dtype=object))
    parts = [(cover, a // block_rows, -(-b // block_rows))
             for cover, a, b in zip(covers.to_delayed().ravel(), edges, edges[1:])]
    while len(parts) > 1:  # adjacent ranges merged pairwise
        merged = [
            (dask.delayed(_merge_nodes, pure=True)(l, r, la, rb, nb), la, rb)
            for (l, la, _), (r, _, rb) in zip(parts[0::2], parts[1::2])
        ]
        parts = merged + ([parts[-1]] if len(parts) % 2 else [])
    return dask.delayed(_root, pure=True)(parts[0][0])


def _root(nodes):
    (root,) = _unwrap(nodes).values()
    return root


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


def _refuse_nonfinite(counts):
    """ValueError naming the columns of X, and y, that hold NaN or infinite values."""
    k = counts.shape[0] - 1
    parts = []
    columns = [(j, int(counts[j])) for j in np.flatnonzero(counts[:k])]
    if columns:
        listed = ", ".join(f"{j} ({n} value{'s' if n > 1 else ''})" for j, n in columns[:10])
        more = f" and {len(columns) - 10} more" if len(columns) > 10 else ""
        parts.append(f"X column{'s' if len(columns) > 1 else ''} {listed}{more}")
    if counts[k]:
        parts.append(f"y ({int(counts[k])} value{'s' if counts[k] > 1 else ''})")
    if parts:
        raise ValueError(f"NaN or infinity in {' and '.join(parts)}; check_finite=False lets "
                         "them into the statistics (the solvers then refuse them)")


def _finish(root, check_finite):
    if check_finite:
        _refuse_nonfinite(root[4])
    return _record(root)


def gram_stats(X, y=None, block_rows=4096, progress=False, *, check_finite=True, timeout=None):
    """X'X, X'y, y'y and the row count of a least-squares problem, in one pass.

    X, y: numpy arrays (memory-mapped ``.npy`` files are read block by block), Dask
    arrays (any row chunking, the same for X and y; columns are put in one chunk), or
    X an iterable of ``(X_block, y_block)`` pairs with y None (pieces of any sizes,
    read one at a time). Blocks that are not float64 are converted to float64 block
    by block; complex or non-numeric data are refused.

    block_rows: rows per block, counted from row 0 of the whole data. The result is
    the same bit for bit for every chunking, number of workers and scheduling, and
    for numpy, Dask and iterable input of the same data (for the same block_rows).

    progress: show a progress bar (Dask's for Dask input, a plain one on stderr
    otherwise). timeout: seconds to wait for a distributed cluster's result before
    TimeoutError (None waits; the local Dask scheduler has no timeout).

    Returns a GramStats record (G exactly symmetric). Bad input raises ValueError or
    TypeError before any computation: X not 2-D, y not 1-D, X and y with different
    row counts or row chunks, pieces of different widths, no rows at all.
    """
    block_rows = check_int(block_rows, "block_rows", 1)
    check_finite = check_flag(check_finite, "check_finite")
    progress = check_flag(progress, "progress")
    if timeout is not None:
        timeout = check_real(timeout, "timeout", 0.0)
    if y is None:
        if isinstance(X, np.ndarray) or _is_dask(X) or not hasattr(X, "__iter__"):
            raise TypeError("y is None: X must be an iterable of (X_block, y_block) pairs")
        bar = _TextBar(unit="rows") if progress else None
        try:
            return _finish(_iterable_stats(iter(X), block_rows, bar), check_finite)
        finally:
            if bar is not None:
                bar.close()
    if _is_dask(X) or _is_dask(y):
        X = X if _is_dask(X) or isinstance(X, np.ndarray) else np.asarray(X)
        y = y if _is_dask(y) or isinstance(y, np.ndarray) else np.asarray(y)
        return _finish(_compute(_dask_graph(X, y, block_rows), progress, timeout), check_finite)
    X = X if isinstance(X, np.ndarray) else np.asarray(X)
    y = y if isinstance(y, np.ndarray) else np.asarray(y)
    _check_shapes(X, y)
    bar = _TextBar(total=X.shape[0]) if progress else None
    try:
        return _finish(_numpy_stats(X, y, block_rows, bar), check_finite)
    finally:
        if bar is not None:
            bar.close()
