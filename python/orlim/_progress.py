"""Progress of the long calls, phase by phase, on standard error (``verbose=True``)."""

from __future__ import annotations

import contextlib
import sys
import time
from typing import Any, Iterator, Optional, Sequence


class Progress:
    """Reports the phases of one call: a tqdm bar when tqdm is installed, otherwise one plain
    line per finished phase. Silent when `verbose` is false.

    Parameters
    ----------
    verbose : bool or int
        Whether to report anything.
    title : str
        The call, shown before each phase.
    phases : sequence of str
        The names of the phases in the order they run; it sets the bar's length.
    """

    def __init__(self, verbose: Any, title: str, phases: Sequence[str]) -> None:
        self.enabled = bool(verbose)
        self.title = title
        self._bar: Optional[Any] = None
        if self.enabled:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self._bar = tqdm(total=len(phases), desc=title, unit="phase", file=sys.stderr,
                                 leave=True)

    @contextlib.contextmanager
    def phase(self, name: str) -> Iterator[None]:
        """Runs the body as the phase `name` and reports it when it ends."""
        if not self.enabled:
            yield
            return
        if self._bar is not None:
            self._bar.set_postfix_str(name)
        start = time.perf_counter()
        yield
        elapsed = time.perf_counter() - start
        if self._bar is not None:
            self._bar.update(1)
        else:
            print(f"[orlim] {self.title}: {name} {elapsed:.3f}s", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
