"""A scikit-learn transformer that turns data into a sparse k-nearest-neighbour graph."""

from __future__ import annotations

import numbers
from typing import Any, Dict, Optional

import numpy as np
from sklearn.base import BaseEstimator, ClassNamePrefixFeaturesOutMixin, TransformerMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted, validate_data

from ._checks import as_float32_matrix, check_params, native_failures, reject_masked
from ._index import BUILD_PARAMS as BUILD_PARAM_TABLE
from ._index import Index
from ._knn import (
    build_index,
    check_mode,
    check_neighbour_count,
    is_cosine,
    self_knn_of_index,
    table_to_csr,
    too_few_samples,
)
from ._progress import Progress

__all__ = ["KNeighborsTransformer"]


# scikit-learn ships no type information, so its base classes are Any to a type checker.
class KNeighborsTransformer(
    ClassNamePrefixFeaturesOutMixin, TransformerMixin, BaseEstimator  # type: ignore[misc]
):
    """Transform X into a sparse graph of its approximate k nearest neighbours.

    A drop-in for ``sklearn.neighbors.KNeighborsTransformer`` backed by the graph index: the
    output has the same layout, so it feeds estimators that take precomputed sparse
    neighbourhoods (``TSNE(metric="precomputed")``, ``Isomap(metric="precomputed")``,
    ``SpectralEmbedding(affinity="precomputed_nearest_neighbors")``,
    ``DBSCAN(metric="precomputed")``, ...).

    ``fit`` and ``fit_transform`` build an ``orlim.Index`` over X; ``fit_transform(X)`` then
    reads the neighbour graph of X from it (exact by brute force when X has at most
    ``min(c_max, 2048)`` rows), and ``transform(Y)`` searches it. A fitted transformer pickles
    its built index rather than its training data, so joblib and multiprocessing workers
    search the same graph without rebuilding it.

    Parameters
    ----------
    n_neighbors : int, default 5
        Neighbours per row. In "distance" mode each row holds ``n_neighbors + 1`` entries,
        as in scikit-learn, so that a training point keeps ``n_neighbors`` neighbours besides
        itself; in "connectivity" mode it holds ``n_neighbors`` entries.
    mode : {"distance", "connectivity"}, default "distance"
        Stored values: distances, or 1.0 for every edge.
    metric : {"euclidean", "cosine"}, default "euclidean"
        "euclidean" (alias "l2") or "cosine" (alias "angular", distances 1 - cosine
        similarity; rows passed to ``transform`` are scaled to unit length).
    m, l_max, r, alpha, fanout, c_min, c_max, runs : index build parameters
        As in ``orlim.Index`` (``orlim.BUILD_PARAMS`` lists them with their defaults and
        ranges); ``runs`` and ``r`` trade build time for recall.
    beam_l : int, default 64
        Search beam width: higher is slower and more accurate.
    n_jobs : int or None, default None
        Threads for the build and self-kNN, as in scikit-learn: None means 1 unless a joblib
        backend (``joblib.parallel_config(n_jobs=...)``) says otherwise, -1 every CPU the
        process may use (its affinity mask and container quota), -2 all but one, and so on.
        The searches of ``transform`` run on the native module's process-wide pool.
    random_state : int, RandomState instance or None, default 0
        Seed of the randomized build. An int is used as the seed as it is.
    verbose : bool, default False
        Report the phases of ``fit``, ``fit_transform`` and ``transform`` on standard error
        (a tqdm bar when tqdm is installed, plain lines otherwise).

    Attributes
    ----------
    n_samples_fit_ : int
        Number of fitted rows (the number of columns of the output).
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str
        Feature names seen during fit, when X had string column names.

    Notes
    -----
    Invalid parameters raise ValueError or TypeError from ``fit``, so that searches such as
    ``GridSearchCV(error_score=np.nan)`` record the failed candidate and go on. On the exact
    path the graph is scikit-learn's, except that points at equal distance are listed by
    ascending index (scikit-learn's order among them is not stable): where several points
    tie for the last place of a row, the two may keep different ones, at the same distance.

    Examples
    --------
    >>> import numpy as np
    >>> from orlim import KNeighborsTransformer
    >>> X = np.random.default_rng(0).standard_normal((200, 8))
    >>> graph = KNeighborsTransformer(n_neighbors=5).fit_transform(X)
    >>> graph.shape, graph.getnnz(axis=1).tolist()[:3]
    ((200, 200), [6, 6, 6])
    """

    def __init__(
        self,
        n_neighbors: int = 5,
        *,
        mode: str = "distance",
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
        n_jobs: Optional[int] = None,
        random_state: Any = 0,
        verbose: bool = False,
    ) -> None:
        self.n_neighbors = n_neighbors
        self.mode = mode
        self.metric = metric
        self.m = m
        self.l_max = l_max
        self.r = r
        self.alpha = alpha
        self.beam_l = beam_l
        self.fanout = fanout
        self.c_min = c_min
        self.c_max = c_max
        self.runs = runs
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose

    # -- parameters ----------------------------------------------------------------------

    def _width(self) -> int:
        """Entries per output row."""
        k = check_neighbour_count(self.n_neighbors)
        return k + 1 if check_mode(self.mode) == "distance" else k

    def _seed(self) -> int:
        rs = self.random_state
        if isinstance(rs, numbers.Integral) and not isinstance(rs, bool):
            if rs < 0:
                raise ValueError(f"random_state must be non-negative, got {rs}")
            return int(rs)
        return int(check_random_state(rs).randint(np.iinfo(np.int32).max))

    def _build_params(self) -> Dict[str, Any]:
        # Every build parameter of the index is an estimator parameter of the same name,
        # except the seed, which comes from random_state.
        params = {row[0]: getattr(self, row[0]) for row in BUILD_PARAM_TABLE if row[0] != "seed"}
        return check_params({**params, "n_jobs": self.n_jobs, "seed": self._seed()})

    def _beam_l(self) -> int:
        return int(check_params({"beam_l": self.beam_l})["beam_l"])

    # -- fitting -------------------------------------------------------------------------

    def _fit_data(self, X: Any) -> Any:
        # Every parameter is checked before any work, so that a bad one is a ValueError or
        # TypeError from fit, whatever the size of X.
        self._width()
        is_cosine(self.metric)
        self._build_params()
        self._beam_l()
        reject_masked(X)
        X = validate_data(self, X, accept_sparse=False, dtype=[np.float32, np.float64])
        x = as_float32_matrix(X)
        self.n_samples_fit_ = x.shape[0]
        self._n_features_out = self.n_samples_fit_
        return x

    def _build_index(self, x: Any) -> None:
        self._index: Index = build_index(x, self.metric, self._build_params())

    def fit(self, X: Any, y: Any = None) -> "KNeighborsTransformer":
        """Fit the transformer: build the search index over X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data (dense; converted to float32 internally).
        y : ignored
            Not used, present for API consistency.

        Returns
        -------
        self : KNeighborsTransformer
            The fitted transformer.

        Examples
        --------
        >>> import numpy as np
        >>> from orlim import KNeighborsTransformer
        >>> X = np.random.default_rng(0).standard_normal((100, 4))
        >>> KNeighborsTransformer(n_neighbors=3).fit(X).n_samples_fit_
        100
        """
        with Progress(self.verbose, "fit", ["input", "index"]) as progress:
            with progress.phase("input"):
                x = self._fit_data(X)
            with progress.phase("index"):
                self._build_index(x)
        return self

    def fit_transform(self, X: Any, y: Any = None, **fit_params: Any) -> Any:
        """Fit to X and return the neighbour graph of X itself, read from the built index.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data.
        y : ignored
            Not used, present for API consistency.

        Returns
        -------
        Xt : scipy.sparse.csr_matrix of shape (n_samples, n_samples), float64
            Row i lists point i itself (stored 0 in "distance" mode), then its nearest other
            points by ascending distance; ``n_neighbors + 1`` entries per row in "distance"
            mode, ``n_neighbors`` in "connectivity" mode.

        Examples
        --------
        >>> import numpy as np
        >>> from orlim import KNeighborsTransformer
        >>> X = np.array([[0.0], [1.0], [3.0], [7.0]])
        >>> Xt = KNeighborsTransformer(n_neighbors=1).fit_transform(X)
        >>> Xt.indices.tolist(), Xt.data.tolist()
        ([0, 1, 1, 0, 2, 1, 3, 2], [0.0, 1.0, 0.0, 1.0, 0.0, 2.0, 0.0, 4.0])
        """
        phases = ["input", "index", "self-kNN", "sparse graph"]
        with Progress(self.verbose, "fit_transform", phases) as progress:
            with progress.phase("input"):
                x = self._fit_data(X)
                width = self._width()
                n = self.n_samples_fit_
                if width > n:
                    raise too_few_samples(width, n, n)
            with progress.phase("index"):
                self._build_index(x)
            with progress.phase("self-kNN"):
                ids, dist = self_knn_of_index(self._index, width, self._beam_l())
            with progress.phase("sparse graph"):
                return table_to_csr(ids, dist, n, self.mode)

    def transform(self, X: Any) -> Any:
        """Neighbour graph of new points X among the fitted points.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            Points to find neighbours for. A point that is also in the fitted data is its
            own first neighbour, as in scikit-learn.

        Returns
        -------
        Xt : scipy.sparse.csr_matrix of shape (n_queries, n_samples_fit), float64
            Row q lists the fitted points nearest to X[q] by ascending distance.

        Examples
        --------
        >>> import numpy as np
        >>> from orlim import KNeighborsTransformer
        >>> t = KNeighborsTransformer(n_neighbors=1).fit(np.array([[0.0], [1.0], [3.0]]))
        >>> Xt = t.transform(np.array([[2.8]]))
        >>> Xt.indices.tolist(), np.round(Xt.data, 3).tolist()
        ([2, 1], [0.2, 1.8])
        """
        check_is_fitted(self)
        phases = ["input", "search", "sparse graph"]
        with Progress(self.verbose, "transform", phases) as progress:
            with progress.phase("input"):
                reject_masked(X)
                X = validate_data(
                    self, X, accept_sparse=False, dtype=[np.float32, np.float64], reset=False
                )
                width = self._width()
                if width > self.n_samples_fit_:
                    raise too_few_samples(width, self.n_samples_fit_, X.shape[0])
                queries = as_float32_matrix(X)
                beam_l = self._beam_l()
            with progress.phase("search"), native_failures():
                ids, dist = self._index.query(queries, k=width, beam_l=beam_l)
            with progress.phase("sparse graph"):
                return table_to_csr(ids, dist, self.n_samples_fit_, self.mode)
