"""The pass on Dask: one array task per chunk of rows gives the chunk's cover in the
fixed tree (`_tree`), and adjacent covers merge pairwise up to the root, computed on
the active distributed client or Dask's local scheduler. Imported only for Dask
input."""

from __future__ import annotations

import itertools
import math
import sys
from collections.abc import Callable
from typing import Any

import numpy as np

from ._blocks import Plan
from ._checks import _check_shapes, _is_dask
from ._tree import _chunk_task, _merge_nodes, _root


def _dask_graph(X: Any, y: Any, aligned: dict[str, Any], plan_of: Callable[[int], Plan],
                task: Callable[..., Any] | None = None, merge: Callable[..., Any] | None = None,
                root: Callable[..., Any] | None = None) -> tuple[Any, Plan]:
    """A Dask object whose value is the root of the tree over X, y and the aligned
    arrays ({'weights': w, 'folds': ids}, either may be absent), and its plan
    (plan_of(n) makes the plan for n rows). task(X, y, w, ids, row0, plan), merge and
    root replace _chunk_task, _merge_nodes and _root for other statistics of the
    blocks (the same chunking and the same tree)."""
    import dask
    import dask.array as da

    task = task or _chunk_task
    merge = merge or _merge_nodes
    root = root or _root

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
    rows = tuple(int(b - a) for a, b in itertools.pairwise(edges))
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


def _default_client() -> Any:
    """The distributed client Dask would compute with, or None."""
    if "distributed" not in sys.modules:
        return None
    import dask
    from distributed import Client

    client = getattr(dask.base.get_scheduler(), "__self__", None)
    return client if isinstance(client, Client) else None


def _compute(obj: Any, progress: bool, timeout: float | None) -> Any:
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
