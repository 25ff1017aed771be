"""hnsw_self_knn: signature, argument checks and their order, quantize values, results."""
import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _orlim
from conftest import clustered, exact_self_knn, recall, true_knn

X = np.random.default_rng(7).standard_normal((40, 6), dtype=np.float32)
FN = r"hnsw_self_knn\(\)"


def test_signature_and_docstring():
    sig = inspect.signature(_orlim.hnsw_self_knn)
    assert str(sig) == ("(x, n_neighbors, metric='euclidean', m=16, ef_construction=200, "
                        "ef_search=64, quantize='none', n_jobs=0, seed=0)")
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert _orlim.hnsw_self_knn.__doc__ == (
        "Build a compact HNSW index and return self-kNN \u2014 same `(indices, distances,\n"
        "stride)` layout as `build_and_self_knn`. A native graph-ANN comparison backend.")


REJECTED = {  # name: (args, kwargs, exception, pattern)
    "x alone": ((X,), {}, TypeError,
                rf"^{FN} missing 1 required positional argument: 'n_neighbors'$"),
    "too many positional": ((X, 3, "l2", 16, 200, 64, "none", 0, 0, 1), {}, TypeError,
                            rf"^{FN} takes from 2 to 9 positional arguments but 10 were given$"),
    "unknown keyword": ((X, 3), dict(r=64), TypeError,
                        rf"^{FN} got an unexpected keyword argument 'r'$"),
    "None quantize": ((X, 3), dict(quantize=None), TypeError, r"^argument 'quantize': "),
    "negative ef_search": ((X, 3), dict(ef_search=-1), OverflowError, None),
    "float m": ((X, 3), dict(m=16.0), TypeError, r"^argument 'm': "),
    "int8": ((X, 3), dict(quantize="int8"), ValueError, r"^unsupported quantize: int8$"),
    "shown lower-cased": ((X, 3), dict(quantize="INT8"), ValueError,
                          r"^unsupported quantize: int8$"),
    "not trimmed": ((X, 3), dict(quantize=" sq8"), ValueError, r"^unsupported quantize:  sq8$"),
    "metric before quantize": ((X[:0], 3), dict(metric="ip", quantize="int8"), ValueError,
                               r"^unsupported metric: ip$"),
    "quantize before emptiness": ((X[:0], 3), dict(quantize="pq"), ValueError,
                                  r"^unsupported quantize: pq$"),
    "empty matrix": ((X[:0], 3), {}, ValueError, r"^empty input matrix$"),
    "non-finite values": ((np.where(X > 2, np.inf, X).astype(np.float32), 3), {}, ValueError,
                          r"^x contains NaN or infinity$"),
}


@pytest.mark.parametrize("args, kwargs, exc, pattern", REJECTED.values(), ids=list(REJECTED))
def test_bad_arguments_raise_before_any_work(args, kwargs, exc, pattern):
    with pytest.raises(exc, match=pattern) as info:
        _orlim.hnsw_self_knn(*args, **kwargs)
    assert type(info.value) is exc


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("quantize", ["none", "FP32", "", "SQ8", "sq8"])
def test_small_sets_give_the_exact_answer(metric, quantize):
    # 40 points and a beam of 64: the search sees every point, and rows are re-scored exactly.
    want = exact_self_knn(X, 39, metric)
    ids, dists, stride = _orlim.hnsw_self_knn(X, 39, metric=metric, quantize=quantize)
    assert stride == want[2] == 40
    np.testing.assert_array_equal(ids, want[0])
    np.testing.assert_array_equal(dists, want[1])


def test_quantize_decides_which_points_are_listed():
    # One far point stretches the code range so that all others share one code: the quantized
    # search cannot rank them, while each row is still ordered and reported exactly.
    x = np.vstack([np.float32([[1e4]]), np.linspace(0, 1, 300, dtype=np.float32)[:, None]])
    exact = _orlim.hnsw_self_knn(x, 4, n_jobs=1)
    assert all(_orlim.hnsw_self_knn(x, 4, n_jobs=1, quantize=q)[0].tolist() == exact[0].tolist()
               for q in ("fp32", ""))
    ids, dists, stride = _orlim.hnsw_self_knn(x, 4, n_jobs=1, quantize="Sq8")
    assert not np.array_equal(ids, exact[0])
    rows = dists.reshape(-1, stride)
    assert np.all(np.diff(rows, axis=1) >= 0)
    chosen = x[ids.reshape(-1, stride), 0]
    np.testing.assert_array_equal(rows, np.abs(chosen - x[:, :1]))


def test_result_layout_and_single_point():
    ids, dists, stride = _orlim.hnsw_self_knn(np.ones((1, 3), np.float32), 10)
    assert (ids.tolist(), dists.tolist(), stride) == ([0], [0.0], 1)
    ids, dists, stride = _orlim.hnsw_self_knn(X, 5)
    assert (ids.dtype, dists.dtype, stride) == (np.uint32, np.float32, 6)
    assert ids.shape == dists.shape == (40 * 6,)
    assert ids.flags.writeable and ids.base is not None


def test_one_worker_runs_repeat():
    x = clustered(3000, 16, 20, seed=4)
    a = _orlim.hnsw_self_knn(x, 10, m=8, ef_construction=64, n_jobs=1, seed=5)
    b = _orlim.hnsw_self_knn(x, 10, m=8, ef_construction=64, n_jobs=1, seed=5)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


@pytest.mark.parametrize("quantize, floor", [("none", 0.98), ("sq8", 0.90)])
def test_recall_on_clustered_data(quantize, floor):
    x = clustered(3000, 24, 15, seed=6)
    ids, _, stride = _orlim.hnsw_self_knn(x, 10, quantize=quantize, n_jobs=2)
    rows = ids.reshape(-1, stride)
    sample = np.arange(0, 3000, 6)
    found = [[j for j in rows[i] if j != i][:10] for i in sample]
    truth = true_knn(x, x, 10, exclude_self=True)[sample]
    assert recall(found, truth) >= floor


def test_profiling_prints_nothing():
    code = textwrap.dedent("""
        import numpy as np, _orlim
        x = np.random.default_rng(0).standard_normal((3000, 8), dtype=np.float32)
        _orlim.hnsw_self_knn(x, 10, m=8, ef_construction=40)
    """)
    env = dict(os.environ, ORLIM_PROFILE="")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=300, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
