"""The one style of the package's results: frozen dataclasses, no field set after
construction.

Results that callers unpack (``coef, L, status = tall.ols(stats)``) also iterate,
index and count as the tuple of their leading fields, named in `_fields` (as the named
tuples they were); the fields after those are read by name only.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]


class Unpacks:
    """Tuple behaviour over the leading fields `_fields` of a dataclass."""

    __slots__ = ()
    _fields: ClassVar[tuple[str, ...]] = ()

    def _astuple(self) -> tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self._fields)

    def __iter__(self) -> Iterator[Any]:
        return iter(self._astuple())

    def __len__(self) -> int:
        return len(self._fields)

    def __getitem__(self, index: Any) -> Any:
        return self._astuple()[index]

    def _asdict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self._fields}


def shown_names(names: Any, limit: int = 6) -> str:
    """Column names for a summary line: the first `limit`, then how many more."""
    names = [str(n) for n in names]
    more = f", ... ({len(names) - limit} more)" if len(names) > limit else ""
    return ", ".join(names[:limit]) + more
