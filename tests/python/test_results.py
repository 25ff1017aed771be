"""Exact self-kNN results against an independent numpy model, result arrays and input layouts."""
import gc
import sys

import numpy as np
import pytest

import _orlim
from conftest import exact_self_knn, sq_l2_model


def grid(n, d, seed, levels=4):
    """Integer coordinates: many equal distances, so ties must be broken by id."""
    return np.random.default_rng(seed).integers(0, levels, (n, d)).astype(np.float32)


CASES = {  # name: (x, k, metric)
    "gaussian": (np.random.default_rng(1).standard_normal((120, 10), np.float32), 7, "euclidean"),
    "ties by smaller id": (grid(150, 2, 2), 9, "euclidean"),
    "k = 0": (grid(30, 3, 3), 0, "euclidean"),
    "n = k": (grid(12, 3, 4), 12, "euclidean"),
    "n < k": (grid(12, 3, 5), 40, "euclidean"),
    "single point": (np.ones((1, 5), np.float32), 10, "euclidean"),
    "more than k duplicates": (np.repeat(grid(4, 3, 6), 6, axis=0), 3, "euclidean"),
    "cosine": (np.random.default_rng(7).standard_normal((90, 12), np.float32), 6, "cosine"),
    "cosine with a zero row": (np.vstack([np.zeros((1, 4), np.float32), grid(40, 4, 8)]), 5,
                               "angular"),
}


@pytest.mark.parametrize("x, k, metric", CASES.values(), ids=list(CASES))
def test_exact_self_knn_matches_the_model(x, k, metric):
    want_ids, want_dists, want_stride = exact_self_knn(x, k, "cosine" if metric == "angular"
                                                       else metric)
    ids, dists, stride = _orlim.build_and_self_knn(x, k, metric=metric)
    assert stride == want_stride
    np.testing.assert_array_equal(ids, want_ids)
    np.testing.assert_array_equal(dists, want_dists)


def test_duplicates_rows_follow_the_swap_rule():
    x = np.array([[1, 1], [1, 1], [1, 1], [1, 1], [5, 5]], np.float32)
    ids, dists, stride = _orlim.build_and_self_knn(x, 2)
    rows = ids.reshape(-1, stride)
    assert rows[3].tolist() == [0, 1, 2]  # more than k duplicates with smaller ids: no self
    assert rows[1].tolist() == [1, 0, 2]  # a swap, not a rotation
    assert rows[4].tolist()[0] == 4


@pytest.mark.parametrize("d", [1, 7, 8, 15, 16, 20, 33, 128, 960])
def test_distances_follow_the_kernel_order_bit_for_bit(d):
    rng = np.random.default_rng(d)
    x = (rng.standard_normal((24, d)) * rng.uniform(0.01, 100.0, d)).astype(np.float32)
    ids, dists, stride = _orlim.build_and_self_knn(x, 23)
    assert stride == 24
    s = sq_l2_model(x, x)
    rows = np.repeat(np.arange(24), 24)
    np.testing.assert_array_equal(dists, np.sqrt(s[rows, ids]))


def test_cosine_distances_are_half_the_squared_chord():
    x = np.random.default_rng(3).standard_normal((50, 9), np.float32) * 40
    ids, dists, stride = _orlim.build_and_self_knn(x, 49, metric="cosine")
    assert np.all((dists >= 0) & (dists <= 2))
    assert np.all(dists.reshape(-1, stride)[:, 0] == 0)
    unit = x / np.linalg.norm(x, axis=1, keepdims=True)
    cos = (unit @ unit.T)[np.repeat(np.arange(50), 50), ids]
    np.testing.assert_allclose(dists, 1 - cos, atol=2e-6)


@pytest.mark.parametrize("k", [10**9, 2**64 - 1])
def test_huge_k_gives_stride_n_without_a_large_allocation(k):
    x = np.random.default_rng(0).standard_normal((100, 4), np.float32)
    ids, dists, stride = _orlim.build_and_self_knn(x, k)
    assert stride == 100 and ids.shape == (10000,)
    want = _orlim.build_and_self_knn(x, 99)
    np.testing.assert_array_equal(ids, want[0])


X = np.random.default_rng(11).standard_normal((64, 9), np.float32)
LAYOUTS = {
    "fortran order": lambda a: np.asfortranarray(a),
    "every other row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "every other column": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "negative row stride": lambda a: a[::-1].copy()[::-1],
    "negative both": lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
    "broadcast rows": lambda a: np.broadcast_to(a[3], (64, 9)),
    "unaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), np.float32, a.size, 1).reshape(a.shape),
}


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("make_view", LAYOUTS.values(), ids=list(LAYOUTS))
def test_any_layout_gives_the_result_of_its_row_major_copy(make_view, metric):
    view = make_view(X)
    want = _orlim.build_and_self_knn(np.ascontiguousarray(view), 5, metric=metric)
    got = _orlim.build_and_self_knn(view, 5, metric=metric)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


def test_the_input_array_is_never_written():
    x = X.copy()
    _orlim.build_and_self_knn(x, 5, metric="cosine")
    _orlim.build_and_self_knn(x, 5)
    np.testing.assert_array_equal(x, X)


def test_result_arrays_own_their_buffers():
    x = X.copy()
    ids, dists, stride = _orlim.build_and_self_knn(x, 5)
    for arr, dtype in ((ids, np.uint32), (dists, np.float32)):
        assert arr.dtype == dtype and arr.ndim == 1 and arr.shape == (64 * stride,)
        assert arr.flags.c_contiguous and arr.flags.writeable and not arr.flags.owndata
        assert arr.strides == (4,)
        assert arr.base is not None and not isinstance(arr.base, np.ndarray)
    assert type(stride) is int
    del x
    gc.collect()
    ids[:] = 7  # still ours to write after every input is gone
    assert ids.sum() == 7 * ids.size
    view = ids[5:]
    base = ids.base
    del ids
    gc.collect()
    assert view.base.base is base  # the owner lives while any view of the buffer does
    assert sys.getrefcount(base) >= 2
