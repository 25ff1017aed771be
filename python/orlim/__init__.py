"""Approximate nearest neighbours for NumPy data, with scikit-learn and UMAP adapters.

The native module `_orlim` does the work; this package re-exports it and adds:

- `kneighbors_graph`: a sparse k-nearest-neighbour graph, as scikit-learn's function returns;
- `KNeighborsTransformer`: a scikit-learn transformer producing such graphs (needs
  scikit-learn; imported on first use);
- `umap_precomputed_knn`: self-kNN tables for umap-learn's `precomputed_knn`.

`kneighbors_graph` and the transformer return `scipy.sparse` matrices and need SciPy.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from _orlim import (
    OrlimIndex,
    __version__,
    build_and_query,
    build_and_self_knn,
    hnsw_self_knn,
)

from ._knn import kneighbors_graph
from ._umap import umap_precomputed_knn

if TYPE_CHECKING:
    from ._transformer import KNeighborsTransformer

__all__ = [
    "KNeighborsTransformer",
    "OrlimIndex",
    "__version__",
    "build_and_query",
    "build_and_self_knn",
    "hnsw_self_knn",
    "kneighbors_graph",
    "umap_precomputed_knn",
]


def __getattr__(name: str) -> Any:
    # scikit-learn is optional: the transformer module imports it only when asked for.
    if name == "KNeighborsTransformer":
        from ._transformer import KNeighborsTransformer

        return KNeighborsTransformer
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"KNeighborsTransformer"})
