"""Deterministic benchmark data sets.

Every generator is a pure function of (name, n, seed): the same triple always
gives the same float32 matrix, on any machine, so a ground truth cached on disk
stays valid across runs.  Real data comes from files that installed packages
ship; nothing is downloaded.
"""

from __future__ import annotations

import functools
import zlib
from dataclasses import dataclass
from typing import Callable

import numpy as np


@dataclass(frozen=True)
class DatasetInfo:
    name: str
    dim: int
    metric: str
    description: str
    max_points: int | None  # None: any size can be generated


def _rng(name: str, seed: int) -> np.random.Generator:
    # The name is folded into the stream so that two data sets of the same
    # size and seed do not share their random draws.
    return np.random.default_rng([zlib.crc32(name.encode()), int(seed)])


def _clustered(n: int, rng: np.random.Generator) -> np.ndarray:
    d = 128
    n_clusters = int(np.clip(n // 500, 8, 256))
    centers = rng.normal(0.0, 2.0, size=(n_clusters, d))
    spread = rng.uniform(0.6, 1.4, size=n_clusters)
    # Unequal cluster sizes, as in real embeddings.
    weights = rng.dirichlet(np.full(n_clusters, 2.0))
    labels = rng.choice(n_clusters, size=n, p=weights)
    x = centers[labels] + rng.normal(size=(n, d)) * spread[labels, None]
    return x.astype(np.float32)


def _uniform(n: int, rng: np.random.Generator) -> np.ndarray:
    return rng.random((n, 32), dtype=np.float32)


def _manifold(n: int, rng: np.random.Generator) -> np.ndarray:
    # An 8-dimensional smooth manifold in 64 dimensions: random Fourier
    # features of uniform latent coordinates, plus a little ambient noise.
    latent_dim, d = 8, 64
    w = rng.normal(0.0, 1.5, size=(latent_dim, d))
    b = rng.uniform(0.0, 2.0 * np.pi, size=d)
    z = rng.uniform(-1.0, 1.0, size=(n, latent_dim))
    x = np.sin(z @ w + b) + rng.normal(0.0, 0.01, size=(n, d))
    return x.astype(np.float32)


def _cosine(n: int, rng: np.random.Generator) -> np.ndarray:
    d = 96
    n_clusters = int(np.clip(n // 500, 8, 256))
    centers = rng.normal(size=(n_clusters, d))
    centers /= np.linalg.norm(centers, axis=1, keepdims=True)
    labels = rng.integers(0, n_clusters, size=n)
    x = centers[labels] + rng.normal(0.0, 0.9 / np.sqrt(d), size=(n, d))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x.astype(np.float32)


@functools.lru_cache(maxsize=1)
def _digits_all() -> np.ndarray:
    from sklearn.datasets import load_digits

    return load_digits().data.astype(np.float32)


@functools.lru_cache(maxsize=1)
def _patches_all(patch: int = 8) -> np.ndarray:
    """Every 8x8 RGB patch (stride 2) of the two photographs scikit-learn ships."""
    from sklearn.datasets import load_sample_images

    out = []
    for img in load_sample_images().images:
        img = np.asarray(img, dtype=np.float32) / 255.0
        win = np.lib.stride_tricks.sliding_window_view(img, (patch, patch), axis=(0, 1))
        win = win[::2, ::2]  # (rows, cols, channels, patch, patch)
        out.append(win.reshape(-1, win.shape[2] * patch * patch))
    return np.ascontiguousarray(np.concatenate(out), dtype=np.float32)


def _subsample(full: np.ndarray, n: int, rng: np.random.Generator) -> np.ndarray:
    if n > full.shape[0]:
        raise ValueError(f"only {full.shape[0]} points available, asked for {n}")
    idx = rng.permutation(full.shape[0])[:n]
    return np.ascontiguousarray(full[idx])


_GENERATED: dict[str, tuple[DatasetInfo, Callable]] = {
    "clustered": (DatasetInfo("clustered", 128, "euclidean",
                              "Gaussian clusters of unequal size and spread", None), _clustered),
    "uniform": (DatasetInfo("uniform", 32, "euclidean",
                            "uniform in the unit cube", None), _uniform),
    "manifold": (DatasetInfo("manifold", 64, "euclidean",
                             "8-d smooth manifold embedded in 64-d, light noise", None), _manifold),
    "cosine": (DatasetInfo("cosine", 96, "cosine",
                           "clustered unit vectors, cosine distance", None), _cosine),
}

_REAL: dict[str, tuple[DatasetInfo, Callable]] = {
    "digits": (DatasetInfo("digits", 64, "euclidean",
                           "scikit-learn handwritten digits (8x8 images)", 1797), _digits_all),
    "patches": (DatasetInfo("patches", 192, "euclidean",
                            "8x8 RGB patches of scikit-learn's two sample photographs",
                            2 * 210 * 317), _patches_all),
}

NAMES = tuple(_GENERATED) + tuple(_REAL)


def info(name: str) -> DatasetInfo:
    if name in _GENERATED:
        return _GENERATED[name][0]
    if name in _REAL:
        return _REAL[name][0]
    raise ValueError(f"unknown data set {name!r}; choose from {', '.join(NAMES)}")


def available_points(name: str) -> int | None:
    return info(name).max_points


def generate(name: str, n: int, seed: int) -> np.ndarray:
    """n points of data set `name` for `seed`, float32 C-contiguous."""
    if n < 1:
        raise ValueError("n must be positive")
    rng = _rng(name, seed)
    if name in _GENERATED:
        return np.ascontiguousarray(_GENERATED[name][1](n, rng))
    full = _REAL[name][1]()
    return _subsample(full, n, rng)


def split(name: str, n: int, n_queries: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """A base set of n points and n_queries held-out queries from the same distribution."""
    x = generate(name, n + n_queries, seed)
    return x[:n].copy(), x[n:].copy()
