"""Self-kNN tables in the layout umap-learn takes as `precomputed_knn`."""

from __future__ import annotations

from typing import Any, Literal, Tuple

import numpy as np
import numpy.typing as npt

from ._checks import as_float32_matrix, check_params
from ._knn import (
    check_algorithm_params,
    check_neighbour_count,
    is_cosine,
    self_knn_table,
    too_few_samples,
)
from ._progress import Progress

__all__ = ["umap_precomputed_knn"]


def umap_precomputed_knn(
    X: Any,
    n_neighbors: int = 15,
    *,
    metric: str = "euclidean",
    algorithm: Literal["refine", "index"] = "refine",
    n_jobs: Any = None,
    verbose: bool = False,
    **params: Any,
) -> Tuple[npt.NDArray[np.int32], npt.NDArray[np.float32]]:
    """Nearest-neighbour tables for ``umap.UMAP(precomputed_knn=...)``.

    umap-learn counts a point as its own first neighbour, wants exactly ``n_neighbors``
    columns (with fewer it ignores the tables, with more it only trims them on large data),
    signed integer ids (it marks removed edges with -1 in place) and distances in the metric
    it is given. These tables meet all of that: pass the same ``n_neighbors`` and ``metric``
    to ``UMAP``. umap-learn warns that ``transform`` of new data is unavailable without its
    own search index; ``fit`` and ``fit_transform`` are unaffected.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        The data that UMAP will be fitted on.
    n_neighbors : int, default 15
        UMAP's ``n_neighbors``, the point itself included: at least 2 and at most n_samples.
    metric : {"euclidean", "cosine"}, default "euclidean"
        Also pass it to UMAP. Cosine distances are 1 - cosine similarity, like umap-learn's.
    algorithm : {"refine", "index"}, default "refine"
        As in ``orlim.kneighbors_graph``: refined lists started from a random partition, or
        searches of an ``orlim.Index`` from every point.
    n_jobs : int or None, default None
        Worker threads, as in scikit-learn: None means 1 unless a joblib backend says
        otherwise, -1 every CPU the process may use.
    verbose : bool, default False
        Report the phases of the call on standard error.
    **params
        Those the algorithm takes, as in ``orlim.kneighbors_graph``: ``c_max``, ``fanout``,
        ``runs``, ``seed``, ``list_size`` and ``max_rounds`` for ``"refine"``; the build
        parameters of ``orlim.Index`` and ``beam_l`` for ``"index"``.

    Returns
    -------
    (knn_indices, knn_dists) : tuple of ndarray, each of shape (n_samples, n_neighbors)
        int32 ids and float32 distances; column 0 is the point itself at distance 0, then the
        nearest other points by ascending distance. Fresh C-contiguous arrays each call.

    Raises
    ------
    TypeError
        For an unknown keyword, a parameter of the wrong type, sparse or masked input.
    ValueError
        For a parameter out of range, an unknown metric, fewer rows than ``n_neighbors``,
        NaN or infinite values, or values beyond the float32 range.
    RuntimeError
        If the native computation fails.

    Examples
    --------
    >>> import numpy as np
    >>> import umap  # doctest: +SKIP
    >>> from orlim import umap_precomputed_knn
    >>> X = np.random.default_rng(0).standard_normal((5000, 32)).astype(np.float32)
    >>> knn = umap_precomputed_knn(X, 15)
    >>> knn[0].shape, knn[0][:, 0].tolist() == list(range(5000))
    ((5000, 15), True)
    >>> emb = umap.UMAP(n_neighbors=15, precomputed_knn=knn).fit_transform(X)  # doctest: +SKIP
    """
    algorithm = check_algorithm_params(algorithm, params, "umap_precomputed_knn")
    k = check_neighbour_count(n_neighbors, minimum=2)
    is_cosine(metric)
    checked = check_params({**params, "n_jobs": n_jobs})
    with Progress(verbose, "umap_precomputed_knn", ["input", "self-kNN"]) as progress:
        with progress.phase("input"):
            x = as_float32_matrix(X)
            n = x.shape[0]
            if k > n:
                raise too_few_samples(k, n, n)
        with progress.phase("self-kNN"):
            ids, dist = self_knn_table(x, k, metric, checked, algorithm)
    return np.ascontiguousarray(ids, dtype=np.int32), np.ascontiguousarray(dist)
