"""Neighbour tables on top of `orlim.Index`: input handling and sparse graphs.

The index answers with distinct ids per row, sorted by distance (ties by smaller id), exact
duplicates of a point included. Everything built here (sparse graphs, the transformer, the
UMAP tables) reads its rows from `self_knn_table`, `self_knn_of_index` or `Index.query`.
"""

from __future__ import annotations

from typing import Any, Callable, Literal, Mapping, Tuple

import numpy as np
import numpy.typing as npt

from ._checks import as_float32_matrix, check_params, native_failures, require
from ._index import BUILD_PARAMS as BUILD_PARAM_TABLE
from ._index import Index, refine_self_knn
from ._progress import Progress

__all__ = ["kneighbors_graph"]

# Keyword arguments of the self-kNN helpers besides the data, k and the metric: the index's
# build parameters, from its table, and the thread count.
BUILD_PARAMS: Tuple[str, ...] = tuple(row[0] for row in BUILD_PARAM_TABLE) + ("n_jobs",)
SEARCH_PARAMS: Tuple[str, ...] = ("beam_l",)
INDEX_PARAMS: Tuple[str, ...] = BUILD_PARAMS + SEARCH_PARAMS
# Those of the refinement, which has no index: the partition's and its own.
REFINE_PARAMS: Tuple[str, ...] = ("c_max", "fanout", "runs", "seed", "list_size", "max_rounds",
                                  "n_jobs")
ALGORITHMS: Tuple[str, ...] = ("refine", "index")

_EUCLIDEAN_NAMES = ("l2", "euclidean", "euclidian")
_COSINE_NAMES = ("cosine", "angular")

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


def check_algorithm_params(algorithm: Any, params: Mapping[str, Any], caller: str) -> str:
    """`algorithm` checked, and `params` checked against the keywords it takes."""
    if algorithm not in ALGORITHMS:
        raise ValueError(f"algorithm must be 'refine' or 'index', got {algorithm!r}")
    allowed = REFINE_PARAMS if algorithm == "refine" else INDEX_PARAMS
    for name in params:
        if name not in allowed:
            if name in INDEX_PARAMS + REFINE_PARAMS:
                raise TypeError(
                    f"{caller}() got the keyword argument '{name}', which "
                    f"algorithm={algorithm!r} does not take"
                )
            raise TypeError(f"{caller}() got an unexpected keyword argument '{name}'")
    return str(algorithm)


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


def build_index(x: npt.NDArray[np.float32], metric: str, params: Mapping[str, Any]) -> Index:
    """An `Index` over `x` from checked parameters (`check_params`): the build parameters and
    ``n_jobs``, already a thread count."""
    with native_failures():
        return Index(x, metric=metric, **params)


def self_knn_table(
    x: npt.NDArray[np.float32],
    width: int,
    metric: str,
    params: Mapping[str, Any],
    algorithm: str = "index",
) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """Self-kNN as `(ids, distances)` tables of shape (n, width), `width <= n`.

    Column 0 is the point itself at distance 0; columns 1.. are the `width - 1` nearest other
    points by ascending distance, distinct, exact duplicates of the point included. With
    ``algorithm="index"`` they come from a graph index (exact up to ``min(c_max, 2048)``
    points); with ``"refine"`` from the index-free refinement (exact up to 2048 points).
    """
    if algorithm == "refine":
        return with_self_column(
            x.shape[0], width, lambda k: refine_self_knn(x, k, metric=metric, **params)
        )
    build = dict(params)
    beam_l = build.pop("beam_l", 64)
    index = build_index(x, metric, build)
    return self_knn_of_index(index, width, beam_l)


def self_knn_of_index(
    index: Index, width: int, beam_l: int
) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """The self-kNN tables of `self_knn_table` read from a built index."""
    return with_self_column(index.n, width, lambda k: index.self_knn(k, beam_l=beam_l))


def with_self_column(
    n: int,
    width: int,
    others_of: Callable[[int], Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]],
) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """Each point at distance 0 in column 0, then the `width - 1` others `others_of` gives."""
    ids = np.arange(n, dtype=np.int64)[:, None]
    dist = np.zeros((n, 1), dtype=np.float32)
    if width == 1:
        return ids, dist
    with native_failures():
        others, far = others_of(width - 1)
    return np.hstack([ids, others]), np.hstack([dist, far])


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
    algorithm: Literal["refine", "index"] = "refine",
    n_jobs: Any = None,
    verbose: bool = False,
    **params: Any,
) -> Any:
    """Sparse k-nearest-neighbour graph of the rows of `X`.

    Same output as ``sklearn.neighbors.kneighbors_graph`` with the Euclidean or cosine
    metric, approximate on large inputs: by default each point's list starts from its
    nearest leaf-mates in a random partition of the data and is refined by rounds of
    neighbour-of-neighbour joins; ``algorithm="index"`` builds an ``orlim.Index`` and
    searches it from every point, slower and more exact on hard data. Inputs of up to
    2048 rows (``min(c_max, 2048)`` with ``"index"``) are answered exactly, by brute force.

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
    algorithm : {"refine", "index"}, default "refine"
        How the neighbours are found; see above and the parameters each takes below.
    n_jobs : int or None, default None
        Worker threads, as in scikit-learn: None means 1 unless a joblib backend
        (``joblib.parallel_config(n_jobs=...)``) says otherwise, -1 every CPU the process may
        use, -2 all but one, and so on.
    verbose : bool, default False
        Report the phases of the call on standard error (a tqdm bar when tqdm is installed).
    **params
        With ``algorithm="refine"``: the partition's ``c_max`` (default 512), ``fanout``
        (default 3), ``runs`` (default 1) and ``seed`` (default 0), and ``list_size``, the
        entries each working list keeps (default 0, meaning ``n_neighbors + 2``; a longer
        list finds more of the true neighbours at a higher cost, as on uniform or
        high-dimensional data), and ``max_rounds`` (default 12), the most rounds of joins.
        With ``algorithm="index"``: the build parameters of ``orlim.Index``
        (``orlim.BUILD_PARAMS`` lists them with their defaults and ranges: ``m``,
        ``l_max``, ``r``, ``alpha``, ``fanout``, ``c_min``, ``c_max``, ``runs``, ``seed``)
        and the search's ``beam_l``.

    Returns
    -------
    scipy.sparse.csr_matrix of shape (n_samples, n_samples)
        Row i holds the ``n_neighbors`` neighbours of point i in ascending distance order
        (its column indices are in that order, not sorted).

    Raises
    ------
    TypeError
        For an unknown keyword or one the algorithm does not take, a parameter of the
        wrong type, sparse or masked input.
    ValueError
        For a parameter out of range, an unknown metric, mode or algorithm, too few rows,
        NaN or infinite values, or values beyond the float32 range.
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
    algorithm = check_algorithm_params(algorithm, params, "kneighbors_graph")
    checked_mode = check_mode(mode)
    k = check_neighbour_count(n_neighbors)
    is_cosine(metric)
    checked = check_params({**params, "n_jobs": n_jobs})
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
            ids, dist = self_knn_table(x, width, metric, checked, algorithm)
        with progress.phase("sparse graph"):
            if not include_self:
                ids, dist = ids[:, 1:], dist[:, 1:]
            return table_to_csr(ids, dist, n, checked_mode)
