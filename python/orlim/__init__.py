"""orlim: fast, reproducible k-nearest-neighbour graphs for NumPy data.

A graph index over the rows of a dense matrix (Euclidean or cosine distances) answers the
k nearest neighbours of every row (self-kNN) or of held-out queries, with scikit-learn and
UMAP adapters on top. Every call takes any real-valued array-like, checks its parameters
before any work, and follows scikit-learn's ``n_jobs`` convention.

Functions and classes
---------------------
Index
    A graph index built once, queried from any thread, saved, loaded (optionally
    memory-mapped) and pickled.
build_and_self_knn
    The k nearest neighbours of every row within the data.
build_and_query
    The k nearest rows for a batch of held-out queries.
OrlimIndex
    An index built once and queried many times.
hnsw_self_knn
    Self-kNN from the HNSW backend, a comparison baseline.
kneighbors_graph
    A sparse k-NN graph as ``sklearn.neighbors.kneighbors_graph`` returns it (needs SciPy:
    ``pip install 'orlim[sklearn]'``).
KNeighborsTransformer
    A drop-in for ``sklearn.neighbors.KNeighborsTransformer`` (needs scikit-learn:
    ``pip install 'orlim[sklearn]'``).
umap_precomputed_knn
    Neighbour tables for ``umap.UMAP(precomputed_knn=...)``.

The native module ``_orlim`` under this package keeps its own conventions (float32 input
only, ``n_jobs=0`` for the process-wide pool); see its docstrings.
"""

from __future__ import annotations

import importlib.util
import pkgutil
from typing import TYPE_CHECKING, Any

# The native module may sit in another directory of the path than these sources (a build tree
# beside a source checkout); an installed package has both in one place.
__path__ = pkgutil.extend_path(__path__, __name__)

from _orlim import __version__

from ._index import BUILD_PARAMS, Index
from ._knn import kneighbors_graph
from ._native import OrlimIndex, build_and_query, build_and_self_knn, hnsw_self_knn
from ._umap import umap_precomputed_knn

if TYPE_CHECKING:
    from ._transformer import KNeighborsTransformer

__all__ = [
    "Index",
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
    """Imports the scikit-learn transformer on first use: scikit-learn is optional."""
    if name == "KNeighborsTransformer":
        from ._checks import require

        require("sklearn", "orlim.KNeighborsTransformer", "sklearn")
        require("scipy.sparse", "orlim.KNeighborsTransformer", "sklearn")
        from ._transformer import KNeighborsTransformer

        return KNeighborsTransformer
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    """The module's names; the transformer only where scikit-learn is installed, so that
    ``help(orlim)`` and other introspection work without it."""
    names = set(globals())
    try:
        found = importlib.util.find_spec("sklearn") is not None
    except (ImportError, ValueError):  # ValueError: blocked in sys.modules
        found = False
    if found:
        names.add("KNeighborsTransformer")
    return sorted(names)
