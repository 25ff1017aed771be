"""Checks shared by every public call of the package: parameter ranges, ``n_jobs``, input
matrices, optional dependencies, and native failures turned into ordinary exceptions."""

from __future__ import annotations

import contextlib
import importlib
import math
import numbers
from typing import Any, Dict, Iterator, Mapping, Optional, Tuple

import numpy as np
import numpy.typing as npt

# Inclusive ranges of the integer parameters. Those of the graph index's build come from the one
# table the core declares them in (orlim.BUILD_PARAMS, which orlim.Index checks against too); the
# native module takes any unsigned 64-bit value and fails, or quietly misbehaves, outside them.
# The search and HNSW widths are bounded like the build's so that their per-query buffers stay
# allocatable.
def _build_int_ranges() -> Dict[str, Tuple[int, Optional[int]]]:
    from ._index import BUILD_PARAMS

    return {name: (int(low), None if high is None else int(high))
            for name, kind, _default, low, high, _doc in BUILD_PARAMS if kind == "int"}


def _build_alpha_floor() -> float:
    from ._index import BUILD_PARAMS

    return next(float(low) for name, _kind, _default, low, _high, _doc in BUILD_PARAMS
                if name == "alpha")


_LARGE = 1 << 16
INT_RANGES: Dict[str, Tuple[int, Optional[int]]] = {
    **_build_int_ranges(),
    "beam_l": (1, _LARGE),
    "ef_construction": (1, _LARGE),
    "ef_search": (1, _LARGE),
    # The refinement's working list (0: its own default) and its rounds of joins.
    "list_size": (0, _LARGE),
    "max_rounds": (0, 1000),
}
ALPHA_FLOOR = _build_alpha_floor()
HNSW_INT_RANGES: Dict[str, Tuple[int, int]] = {"m": (2, 1024)}


def check_int(value: Any, name: str, low: int, high: Optional[int] = None) -> int:
    """`value` as an int in [low, high]: TypeError for a non-integer, ValueError out of range."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    value = int(value)
    if value < low or (high is not None and value > high):
        bound = f"at least {low}" if high is None else f"between {low} and {high}"
        raise ValueError(f"{name} must be {bound}, got {value}")
    return value


def check_params(params: Mapping[str, Any], hnsw: bool = False) -> Dict[str, Any]:
    """The index parameters checked and normalised (ints as int, alpha as float)."""
    out: Dict[str, Any] = {}
    for name, value in params.items():
        if name == "alpha":
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
                raise TypeError(f"alpha must be a real number, got {type(value).__name__}")
            if not (math.isfinite(value) and value >= ALPHA_FLOOR):
                raise ValueError(f"alpha must be a finite number of at least {ALPHA_FLOOR:g}, "
                                 f"got {value}")
            out[name] = float(value)
        elif name == "n_jobs":
            out[name] = native_n_jobs(value)
        elif name in INT_RANGES:
            low, high = (HNSW_INT_RANGES if hnsw else {}).get(name, INT_RANGES[name])
            out[name] = check_int(value, name, low, high)
        else:
            out[name] = value
    return out


def native_n_jobs(n_jobs: Any) -> int:
    """The worker count for scikit-learn's ``n_jobs``, through joblib.

    None means 1 unless a joblib backend (``joblib.parallel_config(n_jobs=...)``) says
    otherwise; -1 means every CPU the process may use (its affinity mask and container quota,
    as joblib counts them), -2 all but one, and so on. The result is always a positive count,
    so the native call runs on a pool of exactly that many threads.
    """
    from joblib import effective_n_jobs

    if n_jobs is not None:
        n_jobs = check_int(n_jobs, "n_jobs", -(1 << 31), 1 << 16)
        if n_jobs == 0:
            raise ValueError("n_jobs must be a non-zero int or None, got 0")
    return max(1, int(effective_n_jobs(n_jobs)))


_F32_MAX = float(np.finfo(np.float32).max)


def reject_masked(X: Any, name: str = "X") -> None:
    """Masked arrays would lose their mask in the conversion and have the hidden values used."""
    if isinstance(X, np.ma.MaskedArray):
        raise TypeError(
            f"{name}: masked arrays are not supported; fill or drop the masked values first"
        )


def as_float32_matrix(X: Any, name: str = "X") -> npt.NDArray[np.float32]:
    """A C-contiguous float32 2-D array with the values of `X` (a copy only when needed).

    Raises TypeError for sparse matrices, masked arrays and non-numeric data, ValueError for
    other than two dimensions, NaN or infinite values, and finite values beyond float32's range
    (which would turn into infinities).
    """
    if hasattr(X, "tocsr") or hasattr(X, "toarray"):
        raise TypeError(f"{name}: sparse input is not supported; pass a dense array")
    reject_masked(X, name)
    arr = np.asarray(X)
    if arr.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array, got {arr.ndim} dimension(s)")
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {arr.dtype}")
    if arr.dtype.kind == "f":
        if not np.isfinite(arr).all():
            raise ValueError(f"{name} contains NaN or infinity")
        if arr.dtype.itemsize > 4 and arr.size and np.abs(arr).max() > _F32_MAX:
            raise ValueError(
                f"{name} has values beyond the float32 range (largest magnitude "
                f"{_F32_MAX:.4g}), which the index uses; rescale the data"
            )
    return np.ascontiguousarray(arr, dtype=np.float32)


# Distribution names of the optional modules, as pip knows them.
_DISTRIBUTIONS = {"sklearn": "scikit-learn", "scipy": "scipy", "umap": "umap-learn"}


def require(module: str, feature: str, extra: str) -> Any:
    """Imports an optional dependency, or says which extra of orlim brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        top = module.split(".")[0]
        raise ModuleNotFoundError(
            f"{feature} needs {_DISTRIBUTIONS.get(top, top)}, which is not installed: "
            f"pip install 'orlim[{extra}]'",
            name=top,
        ) from e


@contextlib.contextmanager
def native_failures() -> Iterator[None]:
    """Turns the native module's internal-failure exception, which derives from BaseException
    so that ``except Exception`` in plain callers does not hide it, into a RuntimeError: in
    the package, estimator searches (``GridSearchCV(error_score=...)``) must be able to record
    a failed fit and go on."""
    try:
        yield
    except BaseException as e:
        if type(e).__name__ == "InternalFailure" and type(e).__module__ in ("_orlim", "builtins"):
            raise RuntimeError(f"the index failed: {e}") from e
        raise
