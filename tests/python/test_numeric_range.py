"""Results that do not depend on where the data sit or on their scale, and input whose float32
distances would overflow."""
import numpy as np
import pytest

import _orlim
import orlim
from conftest import recall, true_knn


def far_clusters(n, d, offset, seed=11):
    """Ten tight clusters (spread 0.01) around centres ~ N(0, 1000^2), moved by `offset`: the
    products through the stored norms cancel every digit of these distances."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 1000, (10, d))
    points = centres[rng.integers(0, 10, n)] + rng.normal(0, 0.01, (n, d))
    return (points + offset).astype(np.float32)


SAMPLE = np.arange(0, 20000, 10)  # the self-kNN rows whose recall is measured


@pytest.fixture(scope="module")
def far_sets():
    """Base, queries and exact answers at each offset; the answers come from float64 products
    of the data centred first, so that they are exact wherever the data sit."""
    out = {}
    for offset in (0.0, 1e3, 1e4):
        a = far_clusters(20500, 32, offset)
        base, queries = a[:20000], a[20000:]
        centre = base.astype(np.float64).mean(0)
        b, q = base - centre, queries - centre
        # The 11 nearest of each sampled row, itself among them, less itself.
        nearest = true_knn(b, b[SAMPLE], 11)
        self_truth = np.array([row[row != i][:10] for row, i in zip(nearest, SAMPLE)])
        out[offset] = dict(base=base, queries=queries, self_truth=self_truth,
                           query_truth=true_knn(b, q, 10))
    return out


@pytest.mark.parametrize("offset", [0.0, 1e3, 1e4])
def test_recall_far_from_the_origin(far_sets, offset):
    # The graph must be as good out there as at the origin: every path over 0.99 (seed 1 also
    # makes a leaf that spans two clusters, whose rows need their exact distances).
    s = far_sets[offset]
    ids, _, stride = _orlim.build_and_self_knn(s["base"], 10, n_jobs=1, seed=1)
    assert recall(ids.reshape(-1, stride)[SAMPLE, 1:], s["self_truth"]) >= 0.99
    ids, _, stride = _orlim.build_and_query(s["base"], s["queries"], 10, n_jobs=1, seed=1)
    assert recall(ids.reshape(-1, stride), s["query_truth"]) >= 0.99
    index = _orlim.OrlimIndex(s["base"], n_jobs=1, seed=1)
    ids, _, stride = index.query(s["queries"], 10)
    assert recall(ids.reshape(-1, stride), s["query_truth"]) >= 0.99


RNG = np.random.default_rng(5)
X = RNG.standard_normal((3000, 16)).astype(np.float32)
Q = RNG.standard_normal((50, 16)).astype(np.float32)
X_WIDE = X * np.float32(1e19)
X_SPAN = "^x spans too wide a range for float32 squared distances$"
Q_FAR = "^queries lie too far from x for float32 squared distances$"

OVERFLOWING = {
    "self": (lambda: _orlim.build_and_self_knn(X_WIDE, 5), X_SPAN),
    "self, exact path": (lambda: _orlim.build_and_self_knn(X_WIDE[:100], 5), X_SPAN),
    "query: x": (lambda: _orlim.build_and_query(X_WIDE, Q, 5), X_SPAN),
    "query: queries": (lambda: _orlim.build_and_query(X, Q * np.float32(1e19), 5), Q_FAR),
    "query: queries far from x": (
        lambda: _orlim.build_and_query(X, Q + np.float32(3e19), 5), Q_FAR),
    "cosine queries": (
        lambda: _orlim.build_and_query(X, Q * np.float32(1e20), 5, metric="cosine"), Q_FAR),
    "index": (lambda: _orlim.OrlimIndex(X_WIDE), X_SPAN),
    "hnsw": (lambda: _orlim.hnsw_self_knn(X_WIDE, 5), X_SPAN),
    "orlim.Index": (lambda: orlim.Index(X_WIDE), X_SPAN),
    "orlim.Index.query": (
        lambda: orlim.Index(X, n_jobs=1).query(Q * np.float32(1e19), 5),
        "^q lies too far from the indexed points for float32 squared distances$"),
}


@pytest.mark.parametrize("call, pattern", OVERFLOWING.values(), ids=list(OVERFLOWING))
def test_overflowing_euclidean_input_is_rejected(call, pattern):
    with pytest.raises(ValueError, match=pattern):
        call()


def test_index_query_rejects_far_queries_and_stays_usable():
    index = _orlim.OrlimIndex(X, n_jobs=1)
    with pytest.raises(ValueError, match=Q_FAR):
        index.query(Q * np.float32(1e19), 5)
    cosine = _orlim.OrlimIndex(X * np.float32(1e20), metric="cosine", n_jobs=1)
    with pytest.raises(ValueError, match=Q_FAR):
        cosine.query(Q * np.float32(1e20), 5)
    ids, dists, stride = index.query(Q, 5)
    assert np.isfinite(dists).all()


@pytest.mark.parametrize("scale, offset, distinct", [
    (1e17, 0.0, True),    # squared distances up to about 1e37
    (1e15, 1e20, True),   # the values keep about 7 bits of the spread
    (1.0, 1e30, False),   # every value rounds to the same float
])
def test_far_out_but_close_together_is_answered(scale, offset, distinct):
    # What counts is how far apart the points are, not where they are: these are accepted and
    # answered with finite distances, the neighbours of the exact answer for the values given.
    x = (X[:1500].astype(np.float64) * scale + offset).astype(np.float32)
    ids, dists, stride = _orlim.build_and_self_knn(x, 5)
    assert np.isfinite(dists).all()
    if distinct:
        centred = x.astype(np.float64) - x.astype(np.float64).mean(0)
        truth = true_knn(centred, centred, 5, exclude_self=True)
        assert recall(ids.reshape(-1, stride)[:, 1:], truth) >= 0.95
    else:
        assert (dists == 0).all()


def unit_rows(a):
    return (a / np.linalg.norm(a.astype(np.float64), axis=1, keepdims=True)).astype(np.float32)


COSINE_CALLS = {
    "exact self": lambda x: _orlim.build_and_self_knn(x[:1500], 10, metric="cosine"),
    "graph self": lambda x: _orlim.build_and_self_knn(x, 10, metric="cosine", n_jobs=1),
    "query": lambda x: _orlim.build_and_query(x, unit_rows(Q), 10, metric="cosine", n_jobs=1),
    "index": lambda x: _orlim.OrlimIndex(x, metric="cosine", n_jobs=1).query(unit_rows(Q), 10),
    "hnsw": lambda x: _orlim.hnsw_self_knn(x[:1500], 10, metric="cosine", n_jobs=1),
}


@pytest.mark.parametrize("call", COSINE_CALLS.values(), ids=list(COSINE_CALLS))
def test_cosine_does_not_depend_on_the_scale(call):
    # Scaled by a power of two the values are exactly the same up to the scale, and so must be
    # every result; 2^66 ~ 7e19 overflowed the normalization's squares, 2^-76 ~ 1e-23 underflowed
    # them. Scaled by 1e20 or 1e-23 the values round differently: the same neighbours but for a
    # near tie here and there.
    ids, dists, stride = call(X)
    for scale in (np.float32(2.0**66), np.float32(2.0**-76)):
        got_ids, got_dists, got_stride = call(X * scale)
        assert got_stride == stride
        np.testing.assert_array_equal(got_ids, ids)
        np.testing.assert_array_equal(got_dists, dists)
    for scale in (np.float32(1e20), np.float32(1e-23)):
        got_ids, got_dists, _ = call(X * scale)
        assert recall(got_ids.reshape(-1, stride), ids.reshape(-1, stride)) >= 0.99
        np.testing.assert_allclose(got_dists, dists, atol=1e-5)
