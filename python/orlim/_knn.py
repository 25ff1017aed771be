"""Neighbour tables on top of the native module: input handling, row clean-up, sparse graphs.

The native calls return flat `(indices, distances, stride)` triples whose rows may carry two
kinds of filler: a self-kNN row lacks its own point when more than `k` exact duplicates with
smaller ids share its position, and a graph search that reaches fewer points than asked pads
the row with repeated entries. Everything built here (sparse graphs, the transformer, the UMAP
tables) goes through `self_knn_table` or `query_knn_table`, which return dense `(rows, K)`
tables with distinct ids per row, sorted by distance, the point itself first for self-kNN.
"""

from __future__ import annotations

from typing import Any, Literal, Mapping, Tuple

import numpy as np
import numpy.typing as npt

import _orlim

from ._checks import as_float32_matrix, check_params, native_failures, require
from ._progress import Progress

__all__ = ["kneighbors_graph"]

# Keyword arguments of the native self-kNN call besides the data, k and the metric.
BUILD_PARAMS: Tuple[str, ...] = (
    "m",
    "l_max",
    "r",
    "alpha",
    "fanout",
    "c_min",
    "c_max",
    "runs",
    "n_jobs",
    "seed",
)
SEARCH_PARAMS: Tuple[str, ...] = ("beam_l",)
INDEX_PARAMS: Tuple[str, ...] = BUILD_PARAMS + SEARCH_PARAMS

_EUCLIDEAN_NAMES = ("l2", "euclidean", "euclidian")
_COSINE_NAMES = ("cosine", "angular")

# Rows repaired by exact search are processed in blocks of this many, which bounds the
# temporary distance matrix to block x n float64 values.
_REPAIR_BLOCK = 256


def is_cosine(metric: str) -> bool:
    """Parses `metric` the way the native module does; raises ValueError when it is unknown."""
    if not isinstance(metric, str):
        raise TypeError(f"metric must be a str, got {type(metric).__name__}")
    folded = metric.translate(_ASCII_LOWER)
    if folded in _EUCLIDEAN_NAMES:
        return False
    if folded in _COSINE_NAMES:
        return True
    raise ValueError(f"unsupported metric: {metric}")


_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


def check_index_params(params: Mapping[str, Any], allowed: Tuple[str, ...], caller: str) -> None:
    for name in params:
        if name not in allowed:
            raise TypeError(f"{caller}() got an unexpected keyword argument '{name}'")


def check_neighbour_count(n_neighbors: Any, name: str = "n_neighbors", minimum: int = 1) -> int:
    if isinstance(n_neighbors, (bool, np.bool_)) or not isinstance(
        n_neighbors, (int, np.integer)
    ):
        raise TypeError(f"{name} must be an int, got {type(n_neighbors).__name__}")
    if n_neighbors < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {n_neighbors}")
    return int(n_neighbors)


def too_few_samples(n_wanted: int, n_fit: int, n_queries: int) -> ValueError:
    return ValueError(
        f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {n_wanted}, "
        f"n_samples_fit = {n_fit}, n_samples = {n_queries}"
    )


def _exact_block(
    data: npt.NDArray[np.float32],
    rows: npt.NDArray[np.float32],
    width: int,
    cosine: bool,
) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """Exact `width` nearest rows of `data` for each of `rows`, ids ascending on ties."""
    base = data.astype(np.float64)
    q = rows.astype(np.float64)
    if cosine:
        base = _unit_rows(base)
        q = _unit_rows(q)
    sq = (
        np.einsum("ij,ij->i", q, q)[:, None]
        - 2.0 * (q @ base.T)
        + np.einsum("ij,ij->i", base, base)[None, :]
    )
    np.maximum(sq, 0.0, out=sq)
    if width < sq.shape[1]:
        part = np.argpartition(sq, width - 1, axis=1)[:, :width]
    else:
        part = np.broadcast_to(np.arange(sq.shape[1]), sq.shape)
    part_sq = np.take_along_axis(sq, part, axis=1)
    order = np.lexsort((part, part_sq), axis=1)
    ids = np.take_along_axis(part, order, axis=1).astype(np.int64)
    best = np.take_along_axis(part_sq, order, axis=1)
    dist = best * 0.5 if cosine else np.sqrt(best)
    return ids, dist.astype(np.float32)


def _unit_rows(a: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    norms = np.sqrt(np.einsum("ij,ij->i", a, a))
    norms[norms == 0.0] = 1.0
    unit: npt.NDArray[np.float64] = a / norms[:, None]
    return unit


def _rows_with_repeats(ids: npt.NDArray[np.int64]) -> npt.NDArray[np.intp]:
    if ids.shape[1] < 2:
        return np.empty(0, dtype=np.intp)
    s = np.sort(ids, axis=1)
    return np.flatnonzero((s[:, 1:] == s[:, :-1]).any(axis=1))


def _repair(
    data: npt.NDArray[np.float32],
    queries: npt.NDArray[np.float32],
    ids: npt.NDArray[np.int64],
    dist: npt.NDArray[np.float32],
    bad: npt.NDArray[np.intp],
    cosine: bool,
) -> None:
    width = ids.shape[1]
    for start in range(0, bad.size, _REPAIR_BLOCK):
        block = bad[start : start + _REPAIR_BLOCK]
        ids[block], dist[block] = _exact_block(data, queries[block], width, cosine)


def self_knn_table(
    x: npt.NDArray[np.float32],
    width: int,
    metric: str,
    params: Mapping[str, Any],
) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """Self-kNN as `(ids, distances)` tables of shape (n, width), `width <= n`.

    Column 0 is the point itself at distance 0; columns 1.. are the `width - 1` nearest other
    points (approximate above the exact cut-off), by ascending distance. Padded rows of the
    graph search are recomputed exactly.
    """
    cosine = is_cosine(metric)
    n = x.shape[0]
    with native_failures():
        raw_ids, raw_dist, stride = _orlim.build_and_self_knn(x, width - 1, metric, **params)
    ids = raw_ids.reshape(n, stride).astype(np.int64)
    dist = raw_dist.reshape(n, stride)
    if stride != width:  # only when n < width, which callers rule out
        raise RuntimeError(f"self-kNN returned {stride} columns, expected {width}")
    rows = np.arange(n, dtype=np.int64)

    # A row without its own point holds `width` duplicates of it (all at distance 0) that have
    # smaller ids: the point goes in front and the last duplicate goes.
    missing = np.flatnonzero((ids != rows[:, None]).all(axis=1))
    if missing.size:
        ids[missing, 1:] = ids[missing, :-1].copy()
        dist[missing, 1:] = dist[missing, :-1].copy()
        ids[missing, 0] = missing
        dist[missing, 0] = 0.0

    bad = _rows_with_repeats(ids)
    if bad.size:
        _repair(x, x, ids, dist, bad, cosine)
        _self_to_front(ids, dist, bad)
    return ids, dist


def _self_to_front(
    ids: npt.NDArray[np.int64], dist: npt.NDArray[np.float32], rows: npt.NDArray[np.intp]
) -> None:
    for i in rows:
        where = np.flatnonzero(ids[i] == i)
        if where.size == 0:
            ids[i, 1:] = ids[i, :-1].copy()
            dist[i, 1:] = dist[i, :-1].copy()
        else:
            p = int(where[0])
            ids[i, 1 : p + 1] = ids[i, :p].copy()
            dist[i, 1 : p + 1] = dist[i, :p].copy()
        ids[i, 0] = i
        dist[i, 0] = 0.0


def query_knn_table(
    index: "_orlim.OrlimIndex",
    data: npt.NDArray[np.float32],
    queries: npt.NDArray[np.float32],
    width: int,
    cosine: bool,
    beam_l: int,
) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """k-NN of external queries as (n_queries, width) tables, `width <= len(data)`.

    Cosine queries are scaled to unit length first, so that distances are 1 - cosine
    similarity whatever the queries' norms. Padded rows are recomputed exactly.
    """
    if cosine:
        q64 = _unit_rows(queries.astype(np.float64))
        queries = np.ascontiguousarray(q64, dtype=np.float32)
    n_q = queries.shape[0]
    with native_failures():
        raw_ids, raw_dist, stride = index.query(queries, width, beam_l)
    if stride != width:
        raise RuntimeError(f"query returned {stride} columns, expected {width}")
    ids = raw_ids.reshape(n_q, stride).astype(np.int64)
    dist = raw_dist.reshape(n_q, stride)
    bad = _rows_with_repeats(ids)
    if bad.size:
        _repair(data, queries, ids, dist, bad, cosine)
    return ids, dist


def table_to_csr(
    ids: npt.NDArray[np.int64],
    dist: npt.NDArray[np.float32],
    n_columns: int,
    mode: str,
) -> Any:
    """A float64 CSR matrix with one row per table row, entries in table order (ascending
    distance), as scikit-learn builds its neighbour graphs whatever the input's type."""
    csr_matrix = require("scipy.sparse", "a sparse neighbour graph", "sklearn").csr_matrix

    n_rows, width = ids.shape
    indptr = np.arange(0, n_rows * width + 1, width, dtype=np.int64)
    if mode == "connectivity":
        data = np.ones(n_rows * width, dtype=np.float64)
    else:
        data = dist.ravel().astype(np.float64)
    indices = ids.ravel()
    if n_columns <= np.iinfo(np.int32).max and n_rows * width <= np.iinfo(np.int32).max:
        indices = indices.astype(np.int32)
        indptr = indptr.astype(np.int32)
    return csr_matrix((data, indices, indptr), shape=(n_rows, n_columns))


def check_mode(mode: Any) -> str:
    if mode not in ("distance", "connectivity"):
        raise ValueError(f"mode must be 'distance' or 'connectivity', got {mode!r}")
    return str(mode)


def kneighbors_graph(
    X: Any,
    n_neighbors: int,
    *,
    mode: Literal["distance", "connectivity"] = "distance",
    include_self: bool = False,
    metric: str = "euclidean",
    n_jobs: Any = None,
    verbose: bool = False,
    **index_params: Any,
) -> Any:
    """Sparse k-nearest-neighbour graph of the rows of `X`.

    Same output as ``sklearn.neighbors.kneighbors_graph`` with the Euclidean or cosine
    metric, computed by the graph index (exactly, by brute force, when the number of rows
    is at most ``min(c_max, 2048)``).

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        The points, one per row. Converted to float32; NaN, infinite values and values beyond
        the float32 range are rejected.
    n_neighbors : int
        Neighbours per row. With ``include_self=False`` they are the nearest other points
        and ``n_neighbors < n_samples`` is required; with ``include_self=True`` the point
        itself counts as its first neighbour and ``n_neighbors <= n_samples``.
    mode : {"distance", "connectivity"}, default "distance"
        "distance" stores distances, "connectivity" stores 1.0 for every edge (float64
        either way, as scikit-learn does).
    include_self : bool, default False
        Whether each point is listed as its own first neighbour (an explicitly stored 0 in
        "distance" mode). This holds for exact duplicates too: with ``include_self=True``
        every row lists its own point, with ``False`` no row does.
    metric : {"euclidean", "cosine"}, default "euclidean"
        "euclidean" (alias "l2") or "cosine" (alias "angular"); cosine distances are
        1 - cosine similarity.
    n_jobs : int or None, default None
        Worker threads, as in scikit-learn: None means 1 unless a joblib backend
        (``joblib.parallel_config(n_jobs=...)``) says otherwise, -1 every CPU the process may
        use, -2 all but one, and so on.
    verbose : bool, default False
        Report the phases of the call on standard error (a tqdm bar when tqdm is installed).
    **index_params
        Index parameters, as `build_and_self_knn` takes them: ``m``, ``l_max``, ``r``,
        ``alpha``, ``beam_l``, ``fanout``, ``c_min``, ``c_max``, ``runs``, ``seed``.

    Returns
    -------
    scipy.sparse.csr_matrix of shape (n_samples, n_samples)
        Row i holds the ``n_neighbors`` neighbours of point i in ascending distance order
        (its column indices are in that order, not sorted).

    Raises
    ------
    TypeError
        For an unknown keyword, a parameter of the wrong type, sparse or masked input.
    ValueError
        For a parameter out of range, an unknown metric or mode, too few rows, NaN or
        infinite values, or values beyond the float32 range.
    ModuleNotFoundError
        When SciPy is missing (``pip install 'orlim[sklearn]'``).
    RuntimeError
        If the native computation fails.

    Notes
    -----
    On the exact path the neighbours are scikit-learn's. Points at equal distance are listed
    by ascending index here, while scikit-learn's order among them is not stable; so where
    several points tie for the last place of a row, the two may keep different ones, at the
    same distance.

    Examples
    --------
    >>> import numpy as np, orlim
    >>> X = np.array([[0.0, 0.0], [0.0, 1.0], [3.0, 0.0], [3.0, 2.0]])
    >>> g = orlim.kneighbors_graph(X, 1)
    >>> g.indices.tolist(), g.data.tolist()
    ([1, 0, 3, 2], [1.0, 1.0, 2.0, 2.0])
    """
    check_index_params(index_params, INDEX_PARAMS, "kneighbors_graph")
    checked_mode = check_mode(mode)
    k = check_neighbour_count(n_neighbors)
    is_cosine(metric)
    params = check_params({**index_params, "n_jobs": n_jobs})
    require("scipy.sparse", "orlim.kneighbors_graph", "sklearn")
    with Progress(verbose, "kneighbors_graph", ["input", "self-kNN", "sparse graph"]) as progress:
        with progress.phase("input"):
            x = as_float32_matrix(X)
            n = x.shape[0]
            if n == 0:
                raise ValueError("X has no rows")
            width = k if include_self else k + 1
            if width > n:
                raise too_few_samples(width, n, n)
        with progress.phase("self-kNN"):
            ids, dist = self_knn_table(x, width, metric, params)
        with progress.phase("sparse graph"):
            if not include_self:
                ids, dist = ids[:, 1:], dist[:, 1:]
            return table_to_csr(ids, dist, n, checked_mode)
