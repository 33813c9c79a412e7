"""A plain progress bar on stderr, for the work that Dask's bars do not show."""

from __future__ import annotations

import sys
import time


class TextBar:
    """A bar when the total is known, else a count; called with each step's size."""

    def __init__(self, total: int | None = None, unit: str = "rows") -> None:
        self.total, self.unit, self.done, self.shown = total, unit, 0, 0.0

    def __call__(self, steps: int) -> None:
        self.done += steps
        now = time.monotonic()
        if now - self.shown >= 0.2:
            self.shown = now
            self._draw()

    def _draw(self, end: str = "") -> None:
        if self.total:
            frac = self.done / self.total
            bar = "#" * int(40 * frac)
            sys.stderr.write(f"\r[{bar:<40}] {100 * frac:5.1f}% {self.done:,} {self.unit}{end}")
        else:
            sys.stderr.write(f"\r{self.done:,} {self.unit}{end}")
        sys.stderr.flush()

    def close(self) -> None:
        self._draw("\n")
