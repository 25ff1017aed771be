import os

import numpy as np
import pytest

import _orlim

SANITIZED = os.environ.get("ORLIM_SANITIZED") == "1"


def pytest_report_header(config):
    return f"_orlim {_orlim.__version__} from {_orlim.__file__}"


def sq_l2_model(a, b):
    """Squared distances of every row of `a` to every row of `b`, in float32, in the kernel's
    association order: two 8-lane accumulators over 16-value blocks, one more 8-value block into
    the first, lanes combined as ((T0+T1)+T2)+T3 + ((T4+T5)+T6)+T7, then the tail in order."""
    a = np.asarray(a, dtype=np.float32)[:, None, :]
    b = np.asarray(b, dtype=np.float32)[None, :, :]
    d = a.shape[2]
    shape = (a.shape[0], b.shape[1], 8)
    s0 = np.zeros(shape, np.float32)
    s1 = np.zeros(shape, np.float32)
    i = 0
    while i + 16 <= d:
        x = a[..., i : i + 8] - b[..., i : i + 8]
        y = a[..., i + 8 : i + 16] - b[..., i + 8 : i + 16]
        s0 = s0 + x * x
        s1 = s1 + y * y
        i += 16
    if i + 8 <= d:
        x = a[..., i : i + 8] - b[..., i : i + 8]
        s0 = s0 + x * x
        i += 8
    t = s0 + s1
    s = ((t[..., 0] + t[..., 1]) + t[..., 2]) + t[..., 3]
    s = s + (((t[..., 4] + t[..., 5]) + t[..., 6]) + t[..., 7])
    for j in range(i, d):
        x = a[..., j] - b[..., j]
        s = s + x * x
    return s.astype(np.float32)


def normalized_model(x):
    """Rows scaled to unit length in float32, summing squares in element order."""
    x = np.array(x, dtype=np.float32)
    for row in x:
        s = np.float32(0)
        for v in row:
            s = np.float32(s + v * v)
        if s > 0:
            inv = np.float32(1) / np.sqrt(s)
            row *= inv
    return x


def exact_self_knn(x, k, metric="euclidean"):
    """The exact self-kNN rules: the stride nearest by (distance, id), self swapped to the front,
    distances reported as sqrt (euclidean) or half the squared distance (cosine)."""
    x = normalized_model(x) if metric == "cosine" else np.asarray(x, np.float32)
    n = x.shape[0]
    stride = min(max(n, 1), k + 1)
    s = sq_l2_model(x, x)
    ids = np.empty((n, stride), np.uint32)
    dists = np.empty((n, stride), np.float32)
    for i in range(n):
        order = np.lexsort((np.arange(n), s[i]))[:stride]
        hits = np.flatnonzero(order == i)
        if hits.size:
            p = hits[0]
            order[0], order[p] = order[p], order[0]
        ids[i] = order
        row = np.maximum(s[i][order], np.float32(0))
        dists[i] = np.sqrt(row) if metric == "euclidean" else row * np.float32(0.5)
    return ids.ravel(), dists.ravel(), stride


@pytest.fixture(scope="session")
def small():
    return np.random.default_rng(7).standard_normal((40, 6), dtype=np.float32)


def clustered(n, d, clusters, seed, spread=1.0):
    """Gaussian clusters around random centres, float32."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, d)).astype(np.float32) * 4
    labels = rng.integers(0, clusters, n)
    noise = rng.standard_normal((n, d), dtype=np.float32) * spread
    return (centres[labels] + noise).astype(np.float32)


def true_knn(base, queries, k, exclude_self=False, block=1000):
    """Exact k nearest base rows of every query row, by blocked float64 products."""
    base64 = base.astype(np.float64)
    norms = (base64 * base64).sum(1)
    out = np.empty((len(queries), k), np.int64)
    for lo in range(0, len(queries), block):
        q = queries[lo:lo + block].astype(np.float64)
        d = norms[None, :] - 2 * q @ base64.T
        if exclude_self:
            d[np.arange(len(q)), np.arange(lo, lo + len(q))] = np.inf
        part = np.argpartition(d, k, axis=1)[:, :k]
        out[lo:lo + block] = part
    return out


def recall(found, truth):
    """Mean fraction of each row's true neighbours that were found."""
    hits = sum(len(np.intersect1d(f, t)) for f, t in zip(found, truth))
    return hits / truth.size


@pytest.fixture(scope="session")
def clustered_20k():
    """The quality fixture: 20,000 x 32 clustered points, 1,000 held-out queries, exact answers."""
    x = clustered(21000, 32, 50, seed=3)
    base, queries = x[:20000], x[20000:]
    return dict(base=base, queries=queries,
                self_truth=true_knn(base, base, 10, exclude_self=True),
                query_truth=true_knn(base, queries, 10))
