"""The fixed tree in which the pass adds the blocks' statistics.

Rows are cut into blocks of `block_rows` counted from row 0 of the whole data, and
each block into one leaf per fold (see `_blocks`). The blocks are added in one fixed
binary tree by block index, fold by fold: the node of size 2^L at position s covers
blocks s .. s + 2^L - 1 and is its left child plus its right child (the left child
alone when the right one starts at or past the last block), the means and centred
co-moments merged by `_stats._merge`. A fold
absent from one child is the other child's part, unchanged. A range of rows (a chunk)
gives the largest nodes inside it, its cover; adjacent covers merge into the cover of
their union, so however the rows were cut, the root is the same sum in the same order.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from ._blocks import Node, Plan, add, block

# A range's cover: its largest tree nodes, by (first block, size).
Cover = dict[tuple[int, int], Node]


def _tree_size(nb: int) -> int:
    """Size of the root node: the smallest power of two >= nb."""
    return 1 << max(nb - 1, 0).bit_length()


def _node(s: int, size: int, nb: int, get: Callable[[int, int], Node | None]) -> Node:
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


def _cover(a: int, b: int, nb: int) -> list[tuple[int, int]]:
    """The largest tree nodes inside blocks [a, b): every node inside the range lies
    in exactly one of them, and every node that reaches outside is a sum of nodes
    that are either inside one range or reach outside themselves."""
    out = []

    def walk(s: int, size: int) -> None:
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


def _range_nodes(a: int, b: int, nb: int, get: Callable[[int, int], Node | None]) -> Cover:
    """{(s, size): node} for the nodes of _cover(a, b, nb)."""
    return {key: _node(*key, nb, get) for key in _cover(a, b, nb)}


def _chunk_nodes(X: Any, y: Any, w: Any, ids: Any, row0: int, plan: Plan,
                 on_block: Callable[[int], None] | None = None) -> Cover:
    """The cover of the blocks in rows row0 .. row0 + len(X) - 1 (row0 a multiple of
    block_rows; the rows end on a block boundary or at the end of the data); w and
    ids are the chunk's weights and fold ids, or None."""
    br = plan.block_rows
    first = row0 // br
    last = first + -(-len(X) // br)

    def leaf(s: int, size: int) -> Node | None:
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


def _chunk_task(X: Any, y: Any, w: Any, ids: Any, row0: Any, plan: Plan) -> npt.NDArray[np.object_]:
    out = np.empty((1, 1), dtype=object)
    out[0, 0] = _chunk_nodes(X, y, w, ids, int(row0[0]), plan)
    return out


def _unwrap(cover: Any) -> Cover:
    unwrapped: Cover = cover.item() if isinstance(cover, np.ndarray) else cover
    return unwrapped


def _merge_nodes(left: Any, right: Any, a: int, b: int, nb: int) -> Cover:
    """The cover of blocks [a, b) from the covers of two adjacent ranges."""
    known = {**_unwrap(left), **_unwrap(right)}
    return _range_nodes(a, b, nb, lambda s, size: known.get((s, size)))


def _root(nodes: Any) -> Node:
    (root,) = _unwrap(nodes).values()
    return root
