# Type stubs for the _orlim extension module.
#
# Every parameter is positional-or-keyword, as in the runtime text signatures. Matrices are
# 2-D float32 ndarrays (any strides); integer parameters take int or any object with
# __index__ (NumPy integer scalars included), and must not be negative. A failure inside the
# native computation raises an exception type named "_orlim.InternalFailure", derived from
# BaseException; it is not a module attribute.

from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__version__: str

_Matrix = npt.NDArray[np.float32]
_KnnResult = tuple[npt.NDArray[np.uint32], npt.NDArray[np.float32], int]

def build_and_self_knn(
    x: _Matrix,
    n_neighbors: SupportsIndex,
    metric: str = "euclidean",
    m: SupportsIndex = 12,
    l_max: SupportsIndex = 64,
    r: SupportsIndex = 64,
    alpha: SupportsFloat | SupportsIndex = 1.2,
    beam_l: SupportsIndex = 64,
    fanout: SupportsIndex = 2,
    c_min: SupportsIndex = 256,
    c_max: SupportsIndex = 2048,
    runs: SupportsIndex = 1,
    n_jobs: SupportsIndex = 0,
    seed: SupportsIndex = 0,
) -> _KnnResult:
    """Self-kNN of `x`: row i is i itself, then its nearest points; stride = k + 1 (n if n <= k)."""

def build_and_query(
    x: _Matrix,
    queries: _Matrix,
    n_neighbors: SupportsIndex,
    metric: str = "euclidean",
    m: SupportsIndex = 12,
    l_max: SupportsIndex = 64,
    r: SupportsIndex = 64,
    alpha: SupportsFloat | SupportsIndex = 1.2,
    beam_l: SupportsIndex = 64,
    fanout: SupportsIndex = 2,
    c_min: SupportsIndex = 256,
    c_max: SupportsIndex = 2048,
    runs: SupportsIndex = 1,
    n_jobs: SupportsIndex = 0,
    seed: SupportsIndex = 0,
) -> _KnnResult:
    """k-NN of `queries` among the rows of `x`; stride = k (n if n < k), no self slot."""

def hnsw_self_knn(
    x: _Matrix,
    n_neighbors: SupportsIndex,
    metric: str = "euclidean",
    m: SupportsIndex = 16,
    ef_construction: SupportsIndex = 200,
    ef_search: SupportsIndex = 64,
    quantize: str = "none",
    n_jobs: SupportsIndex = 0,
    seed: SupportsIndex = 0,
) -> _KnnResult:
    """Self-kNN from the HNSW backend, in the layout of `build_and_self_knn`."""

@final
class OrlimIndex:
    """A graph index over a private copy of `x`: build once, query many times."""

    def __new__(
        cls,
        x: _Matrix,
        metric: str = "euclidean",
        m: SupportsIndex = 12,
        l_max: SupportsIndex = 64,
        r: SupportsIndex = 64,
        alpha: SupportsFloat | SupportsIndex = 1.2,
        fanout: SupportsIndex = 2,
        c_min: SupportsIndex = 256,
        c_max: SupportsIndex = 2048,
        runs: SupportsIndex = 1,
        n_jobs: SupportsIndex = 0,
        seed: SupportsIndex = 0,
    ) -> OrlimIndex: ...
    def query(
        self,
        queries: _Matrix,
        n_neighbors: SupportsIndex,
        beam_l: SupportsIndex = 64,
    ) -> _KnnResult:
        """k-NN of `queries`; stride = k (n if n < k), no self slot."""
