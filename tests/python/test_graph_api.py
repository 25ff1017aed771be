"""The graph-index entry points: routing, profile lines, query modes, errors and recall."""
import os
import re
import subprocess
import sys
import textwrap
import threading
import weakref

import numpy as np
import pytest

import _orlim
from conftest import clustered, recall

X = clustered(3000, 12, 8, seed=1)
Q = clustered(200, 12, 8, seed=2)


def run_with_env(code, **env):
    """Runs `code` in a fresh interpreter with extra environment variables; returns stderr."""
    full = dict(os.environ)
    for key in ("ORLIM_PROFILE", "ORLIM_QUERY"):
        full.pop(key, None)
    full.update(env)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=300, env=full)
    assert out.returncode == 0, out.stderr
    return out.stderr


PHASES = (r"\[orlim\] sketch +\d+\.\d{3}s\n\[orlim\] run 1/1 leaves=\d+ repl=\d+\.\d{2}x\n"
          r"\[orlim\] leaf\+hashprune +\d+\.\d{3}s\n\[orlim\] robustprune +\d+\.\d{3}s\n"
          r"\[orlim\] symmetrize +\d+\.\d{3}s\n")
SELF_LINE = r"\[orlim\] BUILD=\d+\.\d{3}s QUERY=\d+\.\d{3}s \[%s\]\n"
SELF = """
    import numpy as np, _orlim
    x = np.random.default_rng(0).standard_normal(({n}, 8), dtype=np.float32)
    _orlim.build_and_self_knn(x, 10{extra})
"""


@pytest.mark.parametrize("n, extra, env, want", [
    (2048, "", dict(ORLIM_PROFILE=""), ""),
    (101, ", c_max=100", dict(ORLIM_PROFILE="0"), PHASES + SELF_LINE % "beam"),
    (2049, "", dict(ORLIM_PROFILE=""), PHASES + SELF_LINE % "beam"),
    (2049, "", dict(ORLIM_PROFILE="", ORLIM_QUERY="warm"), PHASES + SELF_LINE % "warm"),
    (2049, "", dict(ORLIM_PROFILE="", ORLIM_QUERY="Warm"), PHASES + SELF_LINE % "Warm"),
    (2049, "", dict(ORLIM_QUERY="reservoir"), ""),
], ids=["2048 rows: brute force", "c_max 100", "2049 rows", "warm", "other mode", "no profile"])
def test_routing_and_profile_lines(n, extra, env, want):
    err = run_with_env(SELF.format(n=n, extra=extra), **env)
    assert re.fullmatch(want, err), err


def test_build_and_query_prints_its_own_line():
    err = run_with_env("""
        import numpy as np, _orlim
        rng = np.random.default_rng(0)
        _orlim.build_and_query(rng.standard_normal((500, 8), dtype=np.float32),
                               rng.standard_normal((37, 8), dtype=np.float32), 5)
    """, ORLIM_PROFILE="")
    assert re.fullmatch(
        PHASES + r"\[orlim\] BUILD=\d+\.\d{3}s QUERY=\d+\.\d{3}s \[37 queries, runs=1, beam_l=64\]\n",
        err), err


@pytest.mark.parametrize("mode", ["BEAM", "Warm", "anything"])
def test_unknown_query_modes_search_like_beam(mode, monkeypatch):
    want = _orlim.build_and_self_knn(X, 10, n_jobs=1)
    monkeypatch.setenv("ORLIM_QUERY", mode)
    got = _orlim.build_and_self_knn(X, 10, n_jobs=1)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def test_one_thread_graph_runs_are_reproducible():
    a = _orlim.build_and_self_knn(X, 10, n_jobs=1, seed=9, runs=2)
    b = _orlim.build_and_self_knn(X, 10, n_jobs=1, seed=9, runs=2)
    np.testing.assert_array_equal(a[0], b[0])
    a = _orlim.build_and_query(X, Q, 10, n_jobs=1)
    b = _orlim.build_and_query(X, Q, 10, n_jobs=1)
    np.testing.assert_array_equal(a[0], b[0])


@pytest.mark.parametrize("layout", [np.asfortranarray, lambda a: a[::-1].copy()[::-1]],
                         ids=["fortran", "negative stride"])
def test_graph_path_reads_any_layout(layout):
    want = _orlim.build_and_self_knn(X, 5, n_jobs=1)
    got = _orlim.build_and_self_knn(layout(X), 5, n_jobs=1)
    np.testing.assert_array_equal(got[0], want[0])
    want = _orlim.build_and_query(X, Q, 5, n_jobs=1)
    got = _orlim.build_and_query(layout(X), layout(Q), 5, n_jobs=1)
    np.testing.assert_array_equal(got[0], want[0])


FAILING = {  # keyword arguments that reach the build with an invalid value
    "c_max = 0": (dict(c_max=0), "c_max must be at least 1"),
    "r = 0": (dict(r=0), "r must be at least 1"),
    "m = 17": (dict(m=17), "m must be <= 16 (code packs into u16)"),
}


@pytest.mark.parametrize("kwargs, message", FAILING.values(), ids=list(FAILING))
@pytest.mark.parametrize("call", ["self", "query", "index"])
def test_invalid_build_parameters_raise_the_internal_failure(call, kwargs, message):
    fn = {"self": lambda: _orlim.build_and_self_knn(X, 5, **kwargs),
          "query": lambda: _orlim.build_and_query(X, Q, 5, **kwargs),
          "index": lambda: _orlim.OrlimIndex(X, **kwargs)}[call]
    with pytest.raises(BaseException) as info:
        fn()
    assert not isinstance(info.value, Exception)
    assert str(info.value) == message
    assert _orlim.build_and_self_knn(X[:10], 3)[2] == 4  # still usable


QFN = r"build_and_query\(\)"
REJECTED = {  # callable, args, kwargs, exception, pattern
    "query: metric first": (_orlim.build_and_query, (X[:0], Q[:, :3], 3), dict(metric="dot"),
                            ValueError, r"^unsupported metric: dot$"),
    "query: empty base": (_orlim.build_and_query, (X[:0], Q, 3), {}, ValueError,
                          r"^empty base or query matrix$"),
    "query: empty queries before width": (_orlim.build_and_query, (X, Q[:0, :4], 3), {},
                                          ValueError, r"^empty base or query matrix$"),
    "query: width": (_orlim.build_and_query, (X[:, :3], Q[:, :4], 3), {}, ValueError,
                     r"^query dim 4 != base dim 3$"),
    "query: missing": (_orlim.build_and_query, (X,), {}, TypeError,
                       rf"^{QFN} missing 2 required positional arguments: 'queries' and "
                       r"'n_neighbors'$"),
    "query: NaN queries": (_orlim.build_and_query, (X, np.full_like(Q, np.nan), 3), {},
                           ValueError, r"^queries contains NaN or infinity$"),
    "index: metric first": (_orlim.OrlimIndex, (X[:0],), dict(metric="dot"), ValueError,
                            r"^unsupported metric: dot$"),
    "index: empty": (_orlim.OrlimIndex, (X[:0],), {}, ValueError, r"^empty base matrix$"),
    "index: missing x": (_orlim.OrlimIndex, (), {}, TypeError,
                         r"^OrlimIndex\.__new__\(\) missing 1 required positional argument: 'x'$"),
    "index: beam_l is not a build parameter": (
        _orlim.OrlimIndex, (X,), dict(beam_l=3), TypeError,
        r"^OrlimIndex\.__new__\(\) got an unexpected keyword argument 'beam_l'$"),
    "index: too many": (_orlim.OrlimIndex, (X, "l2", 1, 2, 3, 1.0, 4, 5, 6, 7, 8, 9, 10), {},
                        TypeError, r"^OrlimIndex\.__new__\(\) takes from 1 to 12 positional "
                                   r"arguments but 13 were given$"),
}


@pytest.mark.parametrize("fn, args, kwargs, exc, pattern", REJECTED.values(), ids=list(REJECTED))
def test_bad_arguments(fn, args, kwargs, exc, pattern):
    with pytest.raises(exc, match=pattern):
        fn(*args, **kwargs)


@pytest.fixture(scope="module")
def index():
    return _orlim.OrlimIndex(X, n_jobs=1, seed=4)


def test_index_query_errors_leave_the_index_usable(index):
    want = index.query(Q, 5)
    with pytest.raises(ValueError, match=r"^query dim 11 != base dim 12$"):
        index.query(Q[:, :11], 5)
    with pytest.raises(TypeError, match=r"^OrlimIndex\.query\(\) missing 1 required positional "
                                        r"argument: 'n_neighbors'$"):
        index.query(Q)
    with pytest.raises(TypeError, match=r"^argument 'queries': "):
        index.query(Q.astype(np.float64), 5)
    with pytest.raises(TypeError):
        _orlim.OrlimIndex.query(object(), Q, 5)
    got = index.query(Q, 5)
    np.testing.assert_array_equal(got[0], want[0])


def test_index_empty_queries_and_strides(index):
    ids, dists, stride = index.query(Q[:0], 5)
    assert ids.shape == (0,) and dists.shape == (0,) and stride == 5
    assert index.query(Q[:3], 10**9)[2] == len(X)
    small = _orlim.OrlimIndex(X[:4])
    ids, _, stride = small.query(Q[:2], 10)
    assert stride == 4 and sorted(ids[:4]) == [0, 1, 2, 3]


def test_index_owns_a_copy_of_its_data():
    x = X.copy()
    idx = _orlim.OrlimIndex(x, n_jobs=1, seed=4)
    want = idx.query(Q, 5)
    x[:] = 0
    del x
    got = idx.query(Q, 5)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def test_index_matches_build_and_query(index):
    want = _orlim.build_and_query(X, Q, 7, n_jobs=1, seed=4, beam_l=32)
    got = index.query(Q, 7, beam_l=32)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def test_index_type_properties(index):
    assert _orlim.OrlimIndex.__name__ == "OrlimIndex"
    assert _orlim.OrlimIndex.__doc__.startswith("A persistent Orlim index: build once, query many.")
    with pytest.raises(TypeError):
        type("Sub", (_orlim.OrlimIndex,), {})
    assert not hasattr(index, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(index)
    with pytest.raises(AttributeError):
        index.extra = 1


def test_concurrent_queries_get_what_each_gets_alone(index):
    batches = [clustered(300, 12, 8, seed=s) for s in range(8)]
    wanted = [index.query(b, 6, beam_l=16 + 16 * i) for i, b in enumerate(batches)]
    got = [None] * len(batches)

    def work(i):
        for _ in range(3):
            got[i] = index.query(batches[i], 6, beam_l=16 + 16 * i)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(batches))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(got, wanted):
        np.testing.assert_array_equal(g[0], w[0])
        np.testing.assert_array_equal(g[1], w[1])


def test_cosine_index_ranks_by_cosine():
    idx = _orlim.OrlimIndex(X, metric="cosine", n_jobs=1)
    unit = Q / np.linalg.norm(Q, axis=1, keepdims=True)
    ids, dists, stride = idx.query(unit, 5)
    xs = X / np.linalg.norm(X, axis=1, keepdims=True)
    cos = (unit[:, None, :] * xs[ids.reshape(-1, stride)]).sum(-1)
    np.testing.assert_allclose(dists.reshape(-1, stride), 1 - cos, atol=1e-5)


class TestRecall:
    """Recall floors on the clustered 20,000 x 32 set with default parameters, k = 10."""

    @pytest.mark.parametrize("mode", ["beam", "warm"])
    def test_self_knn(self, clustered_20k, mode, monkeypatch):
        monkeypatch.setenv("ORLIM_QUERY", mode)
        ids, _, stride = _orlim.build_and_self_knn(clustered_20k["base"], 10)
        rows = ids.reshape(-1, stride)
        assert (rows[:, 0] == np.arange(len(rows))).all()
        assert recall(rows[:, 1:], clustered_20k["self_truth"]) >= 0.95

    def test_self_knn_reservoir_mode_gives_well_formed_rows(self, clustered_20k, monkeypatch):
        monkeypatch.setenv("ORLIM_QUERY", "reservoir")
        ids, dists, stride = _orlim.build_and_self_knn(clustered_20k["base"], 10)
        rows = ids.reshape(-1, stride)
        assert (rows[:, 0] == np.arange(len(rows))).all()
        assert recall(rows[:, 1:], clustered_20k["self_truth"]) >= 0.5

    def test_build_and_query(self, clustered_20k):
        ids, _, stride = _orlim.build_and_query(clustered_20k["base"], clustered_20k["queries"], 10)
        assert recall(ids.reshape(-1, stride), clustered_20k["query_truth"]) >= 0.95

    def test_index_beam_sweep(self, clustered_20k):
        idx = _orlim.OrlimIndex(clustered_20k["base"])
        recalls = []
        for beam_l in (16, 32, 64, 128, 256):
            ids, _, stride = idx.query(clustered_20k["queries"], 10, beam_l=beam_l)
            recalls.append(recall(ids.reshape(-1, stride), clustered_20k["query_truth"]))
        assert recalls[2] >= 0.95
        assert all(b >= a - 0.005 for a, b in zip(recalls, recalls[1:])), recalls
