"""The `orlim` package: sparse kNN graphs, the scikit-learn transformer, UMAP tables, stubs."""
import ast
import doctest
import inspect
import pathlib
import pickle
import warnings

import numpy as np
import pytest
from sklearn import neighbors as sk_neighbors
from sklearn.cluster import DBSCAN
from sklearn.datasets import make_blobs, make_s_curve
from sklearn.manifold import TSNE, Isomap, SpectralEmbedding, trustworthiness
from sklearn.metrics import adjusted_rand_score, silhouette_score
from sklearn.metrics import pairwise_distances as sk_pairwise
from sklearn.pipeline import make_pipeline
from sklearn.utils.estimator_checks import parametrize_with_checks

import _orlim
import orlim
import orlim._knn
import orlim._native
import orlim._transformer
import orlim._umap
from conftest import recall
from orlim import KNeighborsTransformer

# Index parameters that send a few hundred points down the graph path instead of the exact
# brute force (which takes every input of at most min(c_max, 2048) rows).
GRAPH_PATH = dict(algorithm="index", c_max=64, c_min=16)

STUB = pathlib.Path(__file__).resolve().parents[2] / "bindings" / "_orlim.pyi"


def same_graph(a, b, atol=1e-5):
    """Equal CSR layout (row order of entries included) and values."""
    assert a.format == "csr" and a.shape == b.shape and a.dtype == b.dtype
    np.testing.assert_array_equal(a.indptr, b.indptr)
    np.testing.assert_array_equal(a.indices, b.indices)
    np.testing.assert_allclose(a.data, b.data, rtol=1e-5, atol=atol)


def rows(g):
    return [(g.indices[s:e], g.data[s:e]) for s, e in zip(g.indptr[:-1], g.indptr[1:])]


# -- kneighbors_graph ---------------------------------------------------------------------


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("mode", ["distance", "connectivity"])
@pytest.mark.parametrize("include_self", [False, True])
def test_kneighbors_graph_equals_sklearn_on_the_exact_path(metric, mode, include_self):
    x = np.random.default_rng(0).standard_normal((300, 10))
    got = orlim.kneighbors_graph(x, 7, mode=mode, include_self=include_self, metric=metric)
    want = sk_neighbors.kneighbors_graph(x, 7, mode=mode, include_self=include_self,
                                         metric=metric)
    same_graph(got, want)


def grid(metric):
    """Points of a 12 x 12 integer grid: every row has many neighbours at equal distances
    (for cosine, equal angles; the origin is left out)."""
    start = 1 if metric == "cosine" else 0
    return np.array([[i, j] for i in range(start, 12 + start) for j in range(start, 12 + start)],
                    dtype=np.float64)


def same_neighbours_up_to_ties(got, want, x, metric, queries=None, tol=1e-5):
    """Row by row: equal distances; the same ids below the row's last distance; at the last
    distance, where several points tie and scikit-learn's order among them is not stable, any
    ids whose exact distance is that one."""
    queries = x if queries is None else queries
    assert got.shape == want.shape and got.format == "csr"
    for i, ((ids, d), (want_ids, want_d)) in enumerate(zip(rows(got), rows(want))):
        np.testing.assert_allclose(d, want_d, rtol=tol, atol=tol)
        last = want_d[-1]
        assert set(ids[d < last - tol]) == set(want_ids[want_d < last - tol]), i
        assert len(set(ids)) == len(ids)
        for j in ids[d >= last - tol]:
            exact = sk_pairwise([queries[i]], [x[j]], metric=metric)[0, 0]
            assert abs(exact - last) <= tol, (i, j)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("include_self", [False, True])
def test_kneighbors_graph_equals_sklearn_with_ties(metric, include_self):
    x = grid(metric)
    got = orlim.kneighbors_graph(x, 6, include_self=include_self, metric=metric)
    want = sk_neighbors.kneighbors_graph(x, 6, mode="distance", include_self=include_self,
                                         metric=metric)
    same_neighbours_up_to_ties(got, want, x, metric)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_transformer_equals_sklearn_with_ties(metric):
    x = grid(metric)
    ours = KNeighborsTransformer(n_neighbors=6, metric=metric).fit(x)
    theirs = sk_neighbors.KNeighborsTransformer(n_neighbors=6, metric=metric).fit(x)
    same_neighbours_up_to_ties(ours.fit_transform(x), theirs.fit_transform(x), x, metric)
    queries = x[::7] + 0.5
    same_neighbours_up_to_ties(ours.transform(queries), theirs.transform(queries), x, metric,
                               queries)


def duplicated_points():
    """Five points repeated six times each (more copies than neighbours asked for), shuffled
    among 80 distinct points."""
    rng = np.random.default_rng(1)
    x = np.vstack([np.repeat(rng.standard_normal((5, 4)), 6, axis=0),
                   rng.standard_normal((80, 4))])
    return x[rng.permutation(len(x))]


def check_duplicate_rows(got, want, k, include_self):
    for i, ((ids, d), (_, want_d)) in enumerate(zip(rows(got), rows(want))):
        assert len(ids) == k and len(set(ids)) == k
        # Ties among duplicates may pick other copies; the distances are what must agree.
        np.testing.assert_allclose(d, want_d, atol=1e-6)
        if include_self:
            assert ids[0] == i and d[0] == 0.0
        else:
            assert i not in ids


@pytest.mark.parametrize("params", [{}, GRAPH_PATH], ids=["exact", "graph"])
@pytest.mark.parametrize("include_self", [False, True])
def test_duplicates_never_drop_or_repeat_the_point_itself(params, include_self):
    x = duplicated_points()
    got = orlim.kneighbors_graph(x, 3, include_self=include_self, **params)
    want = sk_neighbors.kneighbors_graph(x, 3, mode="distance", include_self=include_self)
    check_duplicate_rows(got, want, 3, include_self)


def test_rows_the_graph_cannot_fill_are_completed_exactly():
    # One point per leaf and no overlap: the graph has no edges, so a search from a point
    # reaches nothing else and every row must be completed exactly.
    no_edges = dict(algorithm="index", c_max=1, fanout=1)
    x = np.random.default_rng(2).standard_normal((200, 6)).astype(np.float32)
    same_graph(orlim.kneighbors_graph(x, 6, **no_edges),
               sk_neighbors.kneighbors_graph(x, 6, mode="distance"))
    # Exact completion must also put each point itself first among its duplicates.
    x = duplicated_points()
    for include_self in (False, True):
        got = orlim.kneighbors_graph(x, 4, include_self=include_self, **no_edges)
        want = sk_neighbors.kneighbors_graph(x, 4, mode="distance", include_self=include_self)
        check_duplicate_rows(got, want, 4, include_self)


ERRORS = {  # name: (X, n_neighbors, keyword arguments, exception, message)
    "k = n without self": (np.ones((5, 2)), 5, {}, ValueError, "n_samples_fit = 5"),
    "k > n with self": (np.ones((5, 2)), 6, {"include_self": True}, ValueError, "n_neighbors"),
    "k = 0": (np.ones((5, 2)), 0, {}, ValueError, "at least 1"),
    "k not an int": (np.ones((5, 2)), 2.0, {}, TypeError, "int"),
    "bad mode": (np.ones((5, 2)), 2, {"mode": "weights"}, ValueError, "mode"),
    "bad metric": (np.ones((5, 2)), 2, {"metric": "manhattan"}, ValueError,
                   "unsupported metric: manhattan"),
    "unknown keyword": (np.ones((5, 2)), 2, {"beam": 8}, TypeError, "'beam'"),
    "1-D input": (np.ones(5), 2, {}, ValueError, "2-D"),
    "no rows": (np.ones((0, 2)), 2, {}, ValueError, "no rows"),
    "NaN": (np.array([[0.0, np.nan], [1.0, 1.0], [2.0, 2.0]]), 1, {}, ValueError, "NaN"),
    "strings": (np.array([["a", "b"], ["c", "d"]]), 1, {}, TypeError, "dtype"),
}


@pytest.mark.parametrize("x, k, kwargs, exc, match", ERRORS.values(), ids=list(ERRORS))
def test_kneighbors_graph_rejects_bad_input(x, k, kwargs, exc, match):
    with pytest.raises(exc, match=match):
        orlim.kneighbors_graph(x, k, **kwargs)


def test_kneighbors_graph_rejects_sparse_input():
    sparse = pytest.importorskip("scipy.sparse")
    with pytest.raises(TypeError, match="sparse"):
        orlim.kneighbors_graph(sparse.csr_matrix(np.eye(4)), 1)


def test_kneighbors_graph_accepts_any_layout_and_number_type():
    x = np.random.default_rng(3).integers(-50, 50, (60, 5))
    want = orlim.kneighbors_graph(x.astype(np.float32), 4)
    for variant in (x, np.asfortranarray(x.astype(np.float64)), x[::-1][::-1], x.tolist()):
        same_graph(orlim.kneighbors_graph(variant, 4), want)


@pytest.mark.parametrize("algorithm", ["refine", "index"])
def test_kneighbors_graph_recall_on_clustered_data(clustered_20k, algorithm):
    base = clustered_20k["base"]
    g = orlim.kneighbors_graph(base, 10, algorithm=algorithm, n_jobs=2)
    assert g.shape == (20000, 20000) and g.nnz == 200000
    found = g.indices.reshape(-1, 10)
    assert not (found == np.arange(20000)[:, None]).any()
    assert recall(found, clustered_20k["self_truth"]) >= 0.95
    dist = g.data.reshape(-1, 10)
    assert (np.diff(dist, axis=1) >= 0).all()
    exact = np.linalg.norm(base[found[:200]] - base[:200, None, :], axis=2)
    np.testing.assert_allclose(dist[:200], exact, rtol=1e-4)


def check_rows_against_exact_distances(g, x, k, metric):
    """Each row: k distinct other points, ascending, at their exact distances."""
    found = g.indices.reshape(-1, k)
    dist = g.data.reshape(-1, k)
    assert not (found == np.arange(len(x))[:, None]).any()
    assert all(len(set(r)) == k for r in found)
    assert (np.diff(dist, axis=1) >= 0).all()
    exact = np.take_along_axis(sk_pairwise(x, x, metric=metric), found, axis=1)
    np.testing.assert_allclose(dist, exact, rtol=1e-4, atol=1e-5)
    return found


def test_refine_keeps_exact_duplicates_and_zero_vectors_in_their_places():
    # Past 2048 rows the refinement answers; copies of a point are its nearest neighbours
    # (at distance 0), and under cosine a zero vector is at distance 1 from everything.
    rng = np.random.default_rng(11)
    base = rng.standard_normal((2900, 6)).astype(np.float32)
    x = np.vstack([base, np.repeat(base[:20], 4, axis=0), np.zeros((40, 6), np.float32)])
    x = x[rng.permutation(len(x))]
    for metric in ("euclidean", "cosine"):
        g = orlim.kneighbors_graph(x, 5, metric=metric, n_jobs=2)
        found = check_rows_against_exact_distances(g, x, 5, metric)
        want = sk_neighbors.kneighbors_graph(x, 5, mode="distance", metric=metric)
        nonzero = np.linalg.norm(x, axis=1) > 0
        # Recall by distance, as ties (duplicates, zero vectors) may swap ids.
        got_d, want_d = g.data.reshape(-1, 5), want.data.reshape(-1, 5)
        kth_ok = got_d[nonzero, -1] <= want_d[nonzero, -1] + 1e-5
        assert kth_ok.mean() >= 0.97, metric
        if metric == "cosine":
            assert (got_d[~nonzero] == 1.0).all()
            assert (np.linalg.norm(x[found[nonzero]], axis=2) > 0).all()


def test_refine_is_reproducible_with_one_thread_and_its_settings_matter():
    x = np.random.default_rng(12).standard_normal((4000, 12)).astype(np.float32)
    a = orlim.kneighbors_graph(x, 8, n_jobs=1, seed=3)
    same_graph(a, orlim.kneighbors_graph(x, 8, n_jobs=1, seed=3))
    truth = sk_neighbors.NearestNeighbors(n_neighbors=8).fit(x).kneighbors(
        return_distance=False)
    got = {}
    for name, params in {"default": {}, "no joins": dict(max_rounds=0),
                         "long lists": dict(list_size=24)}.items():
        g = orlim.kneighbors_graph(x, 8, n_jobs=2, **params)
        got[name] = recall(check_rows_against_exact_distances(g, x, 8, "euclidean"), truth)
    assert got["no joins"] < got["default"] < got["long lists"]
    assert got["long lists"] >= 0.95


# -- KNeighborsTransformer ----------------------------------------------------------------


@parametrize_with_checks([KNeighborsTransformer(),
                          KNeighborsTransformer(mode="connectivity", metric="cosine")])
def test_transformer_passes_sklearn_estimator_checks(estimator, check):
    check(estimator)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("mode", ["distance", "connectivity"])
def test_transformer_output_equals_sklearns(metric, mode):
    rng = np.random.default_rng(4)
    x, y = rng.standard_normal((400, 8)), rng.standard_normal((50, 8)) * 3
    ours = KNeighborsTransformer(n_neighbors=6, mode=mode, metric=metric)
    theirs = sk_neighbors.KNeighborsTransformer(n_neighbors=6, mode=mode, metric=metric)
    same_graph(ours.fit_transform(x), theirs.fit_transform(x))
    same_graph(ours.fit(x).transform(y), theirs.fit(x).transform(y))


def test_transformer_on_the_graph_path(clustered_20k):
    base, queries = clustered_20k["base"][:4000], clustered_20k["queries"][:300]
    t = KNeighborsTransformer(n_neighbors=10, c_max=512, c_min=128, n_jobs=1)
    fitted = t.fit_transform(base)
    assert fitted.shape == (4000, 4000) and fitted.nnz == 4000 * 11
    self_ids = fitted.indices.reshape(-1, 11)
    np.testing.assert_array_equal(self_ids[:, 0], np.arange(4000))
    truth = sk_neighbors.NearestNeighbors(n_neighbors=10).fit(base)
    assert recall(self_ids[:, 1:], truth.kneighbors(return_distance=False)) >= 0.95

    out = t.transform(queries)
    assert out.shape == (300, 4000)
    query_ids = out.indices.reshape(-1, 11)
    assert recall(query_ids, truth.kneighbors(queries, 11, return_distance=False)) >= 0.95
    # The pickle carries the built index: the clone answers exactly as the original.
    clone = pickle.loads(pickle.dumps(t))
    same_graph(clone.transform(queries), out)


def test_a_pickled_transformer_carries_its_index_not_its_data(monkeypatch):
    x = np.random.default_rng(7).standard_normal((3000, 8)).astype(np.float32)
    queries = x[:50] + 0.01
    t = KNeighborsTransformer(n_neighbors=8, r=12, c_max=512).fit(x)
    want = t.transform(queries)
    blob = pickle.dumps(t)
    # No training matrix beside the index: the state holds the index and small values only.
    arrays = [v for v in t.__getstate__().values() if isinstance(v, np.ndarray)]
    assert all(a.size < x.size for a in arrays)

    def no_build(*args, **kwargs):
        raise AssertionError("an unpickled transformer must not build its index again")

    monkeypatch.setattr(orlim._knn, "Index", no_build)
    clone = pickle.loads(blob)
    assert isinstance(clone._index, orlim.Index) and clone._index.params["r"] == 12
    got = clone.transform(queries)
    np.testing.assert_array_equal(got.indices, want.indices)
    np.testing.assert_array_equal(got.data, want.data)


def test_the_transformer_takes_every_build_parameter_of_the_index():
    own = {"n_neighbors", "mode", "metric", "beam_l", "n_jobs", "random_state", "verbose"}
    names = set(inspect.signature(KNeighborsTransformer).parameters) - own
    assert names | {"seed"} == {row[0] for row in orlim.BUILD_PARAMS}


@pytest.mark.parametrize("wrapper", ["build_and_self_knn", "build_and_query", "OrlimIndex",
                                     "KNeighborsTransformer", "kneighbors_graph"])
def test_wrapper_signatures_follow_the_core_table(wrapper):
    # The wrappers spell their parameters out so that help() and editors show them; the core's
    # table is where they are declared, so every name and default must match it.
    params = inspect.signature(getattr(orlim, wrapper)).parameters
    takes_rest = any(p.kind is inspect.Parameter.VAR_KEYWORD for p in params.values())
    for name, _kind, default, _low, _high, _doc in orlim.BUILD_PARAMS:
        if name in params:
            assert params[name].default == pytest.approx(default), (wrapper, name)
        else:
            # Taken as **index_params, or the seed as scikit-learn's random_state.
            assert takes_rest or (name == "seed" and "random_state" in params), (wrapper, name)


def test_transformer_completes_rows_its_graph_cannot_fill():
    # One point per leaf and no overlap: the graph has no edges, so every search reaches only
    # its entry points and the rows must be completed exactly.
    rng = np.random.default_rng(5)
    x, y = rng.standard_normal((300, 6)), rng.standard_normal((20, 6))
    t = KNeighborsTransformer(n_neighbors=20, c_max=1, fanout=1).fit(x)
    want = sk_neighbors.KNeighborsTransformer(n_neighbors=20).fit(x).transform(y)
    same_graph(t.transform(y), want)


def test_transformer_errors():
    x = np.random.default_rng(6).standard_normal((5, 3))
    with pytest.raises(ValueError, match="n_samples_fit = 5"):
        KNeighborsTransformer(n_neighbors=5).fit_transform(x)
    with pytest.raises(ValueError, match="n_samples_fit = 5"):
        KNeighborsTransformer(n_neighbors=5).fit(x).transform(x)
    with pytest.raises(ValueError, match="3 features"):
        KNeighborsTransformer(n_neighbors=2).fit(x).transform(np.ones((2, 4)))
    with pytest.raises(ValueError, match="unsupported metric"):
        KNeighborsTransformer(metric="minkowski").fit(x)


def blobs(n, seed, features=8, centers=3):
    x, labels = make_blobs(n_samples=n, n_features=features, centers=centers, cluster_std=0.6,
                           center_box=(-20, 20), random_state=seed)
    return x.astype(np.float32), labels


def separated(embedding, labels):
    return silhouette_score(embedding, labels) > 0.5


def unrolled(embedding, position):
    """The first embedding axis follows the position along the S-curve."""
    return abs(np.corrcoef(embedding[:, 0], position)[0, 1]) > 0.95


PIPELINES = {  # name: (downstream estimator, k, method, data, check on (output, labels))
    "TSNE": (TSNE(metric="precomputed", init="random", perplexity=5, max_iter=250,
                  random_state=0), 16, "fit_transform", "blobs", separated),
    "SpectralEmbedding": (SpectralEmbedding(affinity="precomputed_nearest_neighbors",
                                            n_neighbors=10, random_state=0),
                          10, "fit_transform", "blobs", separated),
    # Isomap needs a connected graph, hence one manifold instead of separate blobs.
    "Isomap": (Isomap(n_neighbors=10, metric="precomputed"), 10, "fit_transform", "s-curve",
               unrolled),
    # With too few neighbours a directed kNN graph holds small closed groups that DBSCAN
    # reports as clusters of their own.
    "DBSCAN": (DBSCAN(eps=4.0, min_samples=5, metric="precomputed"), 30, "fit_predict", "blobs",
               lambda out, labels: adjusted_rand_score(labels, out) == 1.0),
}


@pytest.mark.filterwarnings("ignore:Graph is not fully connected")
@pytest.mark.parametrize("step, k, method, data, check", PIPELINES.values(), ids=list(PIPELINES))
def test_transformer_in_pipelines(step, k, method, data, check):
    if data == "blobs":
        x, labels = blobs(300, seed=7)
    else:
        x, labels = make_s_curve(400, random_state=0)
    pipe = make_pipeline(KNeighborsTransformer(n_neighbors=k), step)
    out = getattr(pipe, method)(x)
    assert len(out) == len(x)
    assert check(out, labels)


# -- UMAP -----------------------------------------------------------------------------------


def test_umap_precomputed_knn_layout():
    x = duplicated_points().astype(np.float32)
    ids, dists = orlim.umap_precomputed_knn(x, 8, **GRAPH_PATH)
    assert ids.shape == dists.shape == (len(x), 8)
    assert ids.dtype == np.int32 and dists.dtype == np.float32
    np.testing.assert_array_equal(ids[:, 0], np.arange(len(x)))
    assert (dists[:, 0] == 0).all() and (np.diff(dists, axis=1) >= 0).all()
    assert all(len(set(r)) == 8 for r in ids)
    for bad in (1, len(x) + 1):
        with pytest.raises(ValueError):
            orlim.umap_precomputed_knn(x, bad)


def test_umap_with_precomputed_knn_keeps_clusters_apart():
    umap = pytest.importorskip("umap")
    x, labels = blobs(1500, seed=8, features=16, centers=4)
    knn = orlim.umap_precomputed_knn(x, 15, algorithm="index", c_max=256, c_min=64)
    reducer = umap.UMAP(n_neighbors=15, precomputed_knn=knn, n_epochs=100, random_state=0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        embedding = reducer.fit_transform(x)
    assert not [w for w in caught if "will be ignored" in str(w.message)]
    assert embedding.shape == (1500, 2)
    assert trustworthiness(x, embedding, n_neighbors=10) > 0.9
    assert separated(embedding, labels)


# -- type stubs and documentation -----------------------------------------------------------


def stub_signatures():
    """{qualified name: [(parameter, default or inspect.Parameter.empty)]} from the stub file."""
    out = {}

    def params(fn):
        args = fn.args.args
        defaults = [ast.literal_eval(d) for d in fn.args.defaults]
        values = [inspect.Parameter.empty] * (len(args) - len(defaults)) + defaults
        return [(a.arg, v) for a, v in zip(args, values) if a.arg not in ("self", "cls")]

    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = params(node)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    name = node.name if item.name == "__new__" else f"{node.name}.{item.name}"
                    out[name] = params(item)
    return out


def test_stubs_match_the_runtime_signatures():
    stubs = stub_signatures()
    public = {n for n in dir(_orlim) if not n.startswith("_")}
    assert set(stubs) - {"OrlimIndex.query"} == public
    for name, params in stubs.items():
        obj = _orlim
        for part in name.split("."):
            obj = getattr(obj, part)
        runtime = [(p.name, p.default) for p in inspect.signature(obj).parameters.values()
                   if p.name != "self"]
        assert params == runtime, name


@pytest.mark.parametrize("module", [orlim._knn, orlim._native, orlim._transformer, orlim._umap],
                         ids=lambda m: m.__name__)
def test_docstring_examples_run(module):
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0 and result.attempted > 0
