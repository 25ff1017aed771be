"""The native entry points with the package's conventions: any real-valued array-like input,
parameters checked before any work (ValueError), scikit-learn's ``n_jobs``, ``verbose``."""

from __future__ import annotations

from typing import Any, Tuple

import numpy as np
import numpy.typing as npt

import _orlim

from ._checks import as_float32_matrix, check_int, check_params, native_failures
from ._progress import Progress

__all__ = ["OrlimIndex", "build_and_query", "build_and_self_knn", "hnsw_self_knn"]

Triple = Tuple[npt.NDArray[np.uint32], npt.NDArray[np.float32], int]

_BUILD_DOC = """\
    metric : {"euclidean", "cosine"}, default "euclidean"
        "euclidean" (alias "l2") or "cosine" (alias "angular"; distances are 1 - cosine
        similarity).
    m : int, default 12
        Hyperplanes of the candidate sketches, 0 to 16.
    l_max : int, default 64
        Candidates each point collects before pruning (the largest share of the build time).
    r : int, default 64
        Most edges a point keeps in the graph; at least 1.
    alpha : float, default 1.2
        Pruning slack: larger keeps longer edges. Finite and above 0.
    fanout : int, default 2
        Leaves of the partition each point belongs to; at least 1.
    c_min : int, default 256
        Kept for compatibility; unused by the build.
    c_max : int, default 2048
        Most points per leaf before overlap; at least 1."""

_JOBS_DOC = """\
    n_jobs : int or None, default None
        Worker threads, as in scikit-learn: None means 1 unless a joblib backend
        (``joblib.parallel_config(n_jobs=...)``) says otherwise, -1 every CPU the process may
        use, -2 all but one, and so on. With one thread the result is reproducible for a
        ``seed``.
    seed : int, default 0
        Seed of the randomized build, 0 to 2**64 - 1.
    verbose : bool, default False
        Report the phases of the call on standard error."""

_RAISES_DOC = """\
    Raises
    ------
    TypeError
        For a parameter of the wrong type, sparse or masked input, or non-numeric data.
    ValueError
        For a parameter out of range, an unknown metric, an empty matrix, mismatched widths,
        NaN or infinite values, or values beyond the float32 range.
    RuntimeError
        If the native computation fails."""


def build_and_self_knn(
    x: Any,
    n_neighbors: int,
    metric: str = "euclidean",
    m: int = 12,
    l_max: int = 64,
    r: int = 64,
    alpha: float = 1.2,
    beam_l: int = 64,
    fanout: int = 2,
    c_min: int = 256,
    c_max: int = 2048,
    runs: int = 1,
    n_jobs: Any = None,
    seed: int = 0,
    verbose: bool = False,
) -> Triple:
    k = check_int(n_neighbors, "n_neighbors", 1)
    params = check_params(dict(m=m, l_max=l_max, r=r, alpha=alpha, beam_l=beam_l,
                               fanout=fanout, c_min=c_min, c_max=c_max, runs=runs,
                               n_jobs=n_jobs, seed=seed))
    with Progress(verbose, "build_and_self_knn", ["input", "index and self-kNN"]) as progress:
        with progress.phase("input"):
            data = as_float32_matrix(x, "x")
        with progress.phase("index and self-kNN"), native_failures():
            return _orlim.build_and_self_knn(  # type: ignore[no-any-return]
                data, k, metric, **params
            )


build_and_self_knn.__doc__ = f"""The k nearest neighbours of every row of `x` within `x`.

    Builds the graph index over `x` and searches it from every point; when the number of rows
    is at most ``min(c_max, 2048)`` the answer is exact, by brute force, instead.

    Parameters
    ----------
    x : array-like of shape (n_samples, n_features)
        The points, one per row; converted to float32 (a C-contiguous float32 array is read in
        place).
    n_neighbors : int
        Neighbours per point besides the point itself; at least 1.
{_BUILD_DOC}
    beam_l : int, default 64
        Width of the beam search: larger is slower and more accurate.
    runs : int, default 1
        Independent random partitions whose candidates are merged; at least 1.
{_JOBS_DOC}

    Returns
    -------
    indices : ndarray of shape (n_samples * stride,), uint32
        Row-major neighbour ids: row i starts with i itself, then its nearest other points by
        ascending distance.
    distances : ndarray of shape (n_samples * stride,), float32
        The matching distances.
    stride : int
        Entries per row: ``n_neighbors + 1``, or n_samples when that is smaller.

{_RAISES_DOC}

    See Also
    --------
    kneighbors_graph : The same neighbours as a scikit-learn sparse graph.

    Examples
    --------
    >>> import numpy as np, orlim
    >>> x = np.random.default_rng(0).standard_normal((500, 8))
    >>> ids, dists, stride = orlim.build_and_self_knn(x, 5)
    >>> stride, ids.reshape(-1, stride)[:3, 0].tolist()
    (6, [0, 1, 2])
    """


def build_and_query(
    x: Any,
    queries: Any,
    n_neighbors: int,
    metric: str = "euclidean",
    m: int = 12,
    l_max: int = 64,
    r: int = 64,
    alpha: float = 1.2,
    beam_l: int = 64,
    fanout: int = 2,
    c_min: int = 256,
    c_max: int = 2048,
    runs: int = 1,
    n_jobs: Any = None,
    seed: int = 0,
    verbose: bool = False,
) -> Triple:
    k = check_int(n_neighbors, "n_neighbors", 1)
    params = check_params(dict(m=m, l_max=l_max, r=r, alpha=alpha, beam_l=beam_l,
                               fanout=fanout, c_min=c_min, c_max=c_max, runs=runs,
                               n_jobs=n_jobs, seed=seed))
    with Progress(verbose, "build_and_query", ["input", "index and search"]) as progress:
        with progress.phase("input"):
            data = as_float32_matrix(x, "x")
            q = as_float32_matrix(queries, "queries")
        with progress.phase("index and search"), native_failures():
            return _orlim.build_and_query(  # type: ignore[no-any-return]
                data, q, k, metric, **params
            )


build_and_query.__doc__ = f"""The k nearest rows of `x` for every row of `queries`.

    Builds the graph index over `x`, searches it once per query and drops it. To query the
    same data several times, build an `OrlimIndex` instead.

    Parameters
    ----------
    x : array-like of shape (n_samples, n_features)
        The points searched; converted to float32.
    queries : array-like of shape (n_queries, n_features)
        The query points; for ``metric="cosine"`` pass unit vectors to get distances equal to
        1 - cosine similarity.
    n_neighbors : int
        Neighbours per query; at least 1.
{_BUILD_DOC}
    beam_l : int, default 64
        Width of the beam search: larger is slower and more accurate.
    runs : int, default 1
        Independent random partitions whose candidates are merged; at least 1.
{_JOBS_DOC}

    Returns
    -------
    indices : ndarray of shape (n_queries * stride,), uint32
        Row-major ids of the nearest rows of `x`, nearest first.
    distances : ndarray of shape (n_queries * stride,), float32
        The matching distances.
    stride : int
        Entries per row: ``n_neighbors``, or n_samples when that is smaller.

{_RAISES_DOC}

    Examples
    --------
    >>> import numpy as np, orlim
    >>> x = np.random.default_rng(0).standard_normal((500, 8))
    >>> ids, dists, stride = orlim.build_and_query(x, x[:2] + 1e-3, 3)
    >>> stride, ids.reshape(-1, stride)[:, 0].tolist()
    (3, [0, 1])
    """


def hnsw_self_knn(
    x: Any,
    n_neighbors: int,
    metric: str = "euclidean",
    m: int = 16,
    ef_construction: int = 200,
    ef_search: int = 64,
    quantize: str = "none",
    n_jobs: Any = None,
    seed: int = 0,
    verbose: bool = False,
) -> Triple:
    k = check_int(n_neighbors, "n_neighbors", 1)
    params = check_params(dict(m=m, ef_construction=ef_construction, ef_search=ef_search,
                               n_jobs=n_jobs, seed=seed), hnsw=True)
    with Progress(verbose, "hnsw_self_knn", ["input", "index and self-kNN"]) as progress:
        with progress.phase("input"):
            data = as_float32_matrix(x, "x")
        with progress.phase("index and self-kNN"), native_failures():
            return _orlim.hnsw_self_knn(  # type: ignore[no-any-return]
                data, k, metric, quantize=quantize, **params
            )


hnsw_self_knn.__doc__ = f"""Self-kNN of `x` from the HNSW backend, the comparison baseline.

    Same result layout as `build_and_self_knn`.

    Parameters
    ----------
    x : array-like of shape (n_samples, n_features)
        The points, one per row; converted to float32.
    n_neighbors : int
        Neighbours per point besides the point itself; at least 1.
    metric : {{"euclidean", "cosine"}}, default "euclidean"
        As in `build_and_self_knn`.
    m : int, default 16
        Links per node and layer; at least 2.
    ef_construction : int, default 200
        Candidate list width while inserting; at least 1.
    ef_search : int, default 64
        Candidate list width while searching; at least 1.
    quantize : {{"none", "sq8"}}, default "none"
        "sq8" stores the vectors as 8-bit codes for the graph traversal.
{_JOBS_DOC}

    Returns
    -------
    indices, distances, stride
        As `build_and_self_knn` returns them.

{_RAISES_DOC}

    Examples
    --------
    >>> import numpy as np, orlim
    >>> x = np.random.default_rng(0).standard_normal((300, 8))
    >>> ids, dists, stride = orlim.hnsw_self_knn(x, 4)
    >>> stride
    5
    """


class OrlimIndex:
    """A graph index over fixed data, built once and searched many times.

    Parameters
    ----------
    x : array-like of shape (n_samples, n_features)
        The points searched; converted to float32 and copied.
{build}
    runs : int, default 1
        Independent random partitions whose candidates are merged; at least 1.
{jobs}

    Attributes
    ----------
    n_samples : int
        Number of indexed points.
    n_features : int
        Their dimension.
    metric : str
        The metric given.

{raises}

    Notes
    -----
    ``n_jobs`` applies to the build; searches run on the process-wide pool of the native
    module (all CPUs the process may use, unless ``RAYON_NUM_THREADS`` says otherwise), and any
    number of threads may search one index at once.

    Examples
    --------
    >>> import numpy as np, orlim
    >>> x = np.random.default_rng(0).standard_normal((3000, 16))
    >>> index = orlim.OrlimIndex(x, seed=0)
    >>> ids, dists, stride = index.query(x[:5], 3, beam_l=32)
    >>> ids.reshape(-1, stride)[:, 0].tolist()
    [0, 1, 2, 3, 4]
    """

    def __init__(
        self,
        x: Any,
        metric: str = "euclidean",
        m: int = 12,
        l_max: int = 64,
        r: int = 64,
        alpha: float = 1.2,
        fanout: int = 2,
        c_min: int = 256,
        c_max: int = 2048,
        runs: int = 1,
        n_jobs: Any = None,
        seed: int = 0,
        verbose: bool = False,
    ) -> None:
        params = check_params(dict(m=m, l_max=l_max, r=r, alpha=alpha, fanout=fanout,
                                   c_min=c_min, c_max=c_max, runs=runs, n_jobs=n_jobs,
                                   seed=seed))
        with Progress(verbose, "OrlimIndex", ["input", "index"]) as progress:
            with progress.phase("input"):
                data = as_float32_matrix(x, "x")
            with progress.phase("index"), native_failures():
                self._native = _orlim.OrlimIndex(data, metric, **params)
        self.n_samples, self.n_features = data.shape
        self.metric = metric

    def query(self, queries: Any, n_neighbors: int, beam_l: int = 64) -> Triple:
        """The k nearest indexed points of every query.

        Parameters
        ----------
        queries : array-like of shape (n_queries, n_features)
            The query points; for ``metric="cosine"`` pass unit vectors to get distances
            equal to 1 - cosine similarity.
        n_neighbors : int
            Neighbours per query; at least 1.
        beam_l : int, default 64
            Width of the beam search, chosen per call: larger is slower and more accurate.

        Returns
        -------
        indices : ndarray of shape (n_queries * stride,), uint32
            Row-major ids of the nearest indexed points, nearest first.
        distances : ndarray of shape (n_queries * stride,), float32
            The matching distances.
        stride : int
            Entries per row: ``n_neighbors``, or n_samples when that is smaller.

        Raises
        ------
        TypeError
            For a parameter of the wrong type, sparse or masked input.
        ValueError
            For ``n_neighbors`` or ``beam_l`` below 1, a width other than the index's, NaN
            or infinite values.

        Examples
        --------
        >>> import numpy as np, orlim
        >>> x = np.random.default_rng(0).standard_normal((3000, 16))
        >>> index = orlim.OrlimIndex(x)
        >>> index.query(x[:2], 4)[2]
        4
        """
        k = check_int(n_neighbors, "n_neighbors", 1)
        width = check_params({"beam_l": beam_l})["beam_l"]
        q = as_float32_matrix(queries, "queries")
        with native_failures():
            return self._native.query(q, k, width)  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return (
            f"OrlimIndex(n_samples={self.n_samples}, n_features={self.n_features}, "
            f"metric={self.metric!r})"
        )


OrlimIndex.__doc__ = (OrlimIndex.__doc__ or "").format(
    build=_BUILD_DOC, jobs=_JOBS_DOC, raises=_RAISES_DOC
)
