"""The `orlim` package's conventions: parameter checks at every size, input checks, native
failures as ordinary exceptions, scikit-learn's n_jobs, verbose progress, missing extras."""
import subprocess
import sys
import textwrap
import warnings

import joblib
import numpy as np
import pytest

import _orlim
import orlim
from orlim import KNeighborsTransformer
from orlim._checks import native_n_jobs

# Parameters the native build fails on, or silently misuses, at some sizes and not others.
BAD_PARAMS = {
    "m above 16": ({"m": 17}, "m must be between 1 and 16"),
    "r = 0": ({"r": 0}, "r must be between 1"),
    "c_max = 0": ({"c_max": 0}, "c_max must be between 1"),
    "l_max absurd": ({"l_max": 1 << 40}, "l_max must be between 1"),
    "fanout = 0": ({"fanout": 0}, "fanout must be between 1"),
    "beam_l = 0": ({"beam_l": 0}, "beam_l must be between 1"),
    "runs = 0": ({"runs": 0}, "runs must be between 1"),
    "alpha NaN": ({"alpha": float("nan")}, "alpha must be a finite number"),
}

# Each public entry point, called with index parameters on data x (the query-time parameter
# beam_l goes to the search where the call splits build and search).
CALLS = {
    "build_and_self_knn": lambda x, p: orlim.build_and_self_knn(x, 5, **p),
    "build_and_query": lambda x, p: orlim.build_and_query(x, x[:3], 5, **p),
    "kneighbors_graph": lambda x, p: orlim.kneighbors_graph(x, 5, algorithm="index", **p),
    "umap_precomputed_knn": lambda x, p: orlim.umap_precomputed_knn(x, 5, algorithm="index",
                                                                    **p),
    "OrlimIndex": lambda x, p: orlim.OrlimIndex(
        x, **{k: v for k, v in p.items() if k != "beam_l"}
    ).query(x[:3], 5, beam_l=p.get("beam_l", 64)),
    "KNeighborsTransformer": lambda x, p: KNeighborsTransformer(n_neighbors=5, **p).fit(x),
}


@pytest.fixture(scope="module", params=[300, 2100], ids=["exact path", "graph path"])
def sized(request):
    return np.random.default_rng(0).standard_normal((request.param, 4), dtype=np.float32)


@pytest.mark.parametrize("call", CALLS.values(), ids=list(CALLS))
@pytest.mark.parametrize("params, match", BAD_PARAMS.values(), ids=list(BAD_PARAMS))
def test_invalid_parameters_raise_value_error_at_every_size(sized, call, params, match):
    with pytest.raises(ValueError, match=match):
        call(sized, params)


# The refinement's own parameters, and index parameters it does not take.
REFINE_BAD_PARAMS = {
    "c_max = 0": ({"c_max": 0}, ValueError, "c_max must be between 1"),
    "fanout = 0": ({"fanout": 0}, ValueError, "fanout must be between 1"),
    "runs absurd": ({"runs": 1 << 20}, ValueError, "runs must be between 1"),
    "list_size absurd": ({"list_size": 1 << 40}, ValueError, "list_size must be between 0"),
    "max_rounds absurd": ({"max_rounds": 1001}, ValueError, "max_rounds must be between 0"),
    "seed negative": ({"seed": -1}, ValueError, "seed must be"),
    "an index parameter": ({"l_max": 32}, TypeError, "'l_max', which algorithm='refine'"),
    "a search parameter": ({"beam_l": 32}, TypeError, "'beam_l', which algorithm='refine'"),
    "unknown algorithm": ({"algorithm": "nndescent"}, ValueError, "algorithm must be"),
}


@pytest.mark.parametrize("call", [
    lambda x, p: orlim.kneighbors_graph(x, 5, **p),
    lambda x, p: orlim.umap_precomputed_knn(x, 5, **p),
], ids=["kneighbors_graph", "umap_precomputed_knn"])
@pytest.mark.parametrize("params, exc, match", REFINE_BAD_PARAMS.values(),
                         ids=list(REFINE_BAD_PARAMS))
def test_invalid_refine_parameters_raise_at_every_size(sized, call, params, exc, match):
    with pytest.raises(exc, match=match):
        call(sized, params)


def test_the_native_refinement_checks_its_own_arguments():
    # The package checks first; the native call must still refuse what would misbehave.
    from orlim._index import refine_self_knn
    x = np.random.default_rng(3).standard_normal((50, 3), dtype=np.float32)
    for kwargs, exc in [({"k": 50}, ValueError), ({"k": 0}, ValueError),
                        ({"k": 3, "list_size": 1 << 17}, ValueError),
                        ({"k": 3, "fanout": True}, TypeError),
                        ({"k": 3, "metric": "manhattan"}, ValueError),
                        ({"k": 3, "c_max": 0}, ValueError)]:
        with pytest.raises(exc):
            refine_self_knn(x, **kwargs)
    with pytest.raises(ValueError, match="NaN"):
        refine_self_knn(np.array([[np.nan, 1.0], [0.0, 0.0]]), 1)
    with pytest.raises(ValueError, match="too wide a range"):
        refine_self_knn(np.array([[3e38, 0.0], [-3e38, 0.0], [0.0, 0.0]], np.float32), 1)


@pytest.mark.parametrize("call", [
    lambda x: orlim.build_and_query(x, x[:3], 0),
    lambda x: orlim.OrlimIndex(x).query(x[:3], 0),
    lambda x: orlim.hnsw_self_knn(x, 0),
    lambda x: orlim.hnsw_self_knn(x, 3, m=1),
    lambda x: orlim.hnsw_self_knn(x, 3, ef_search=0),
], ids=["build_and_query k=0", "query k=0", "hnsw k=0", "hnsw m=1", "hnsw ef_search=0"])
def test_invalid_query_and_hnsw_parameters(call):
    with pytest.raises(ValueError):
        call(np.random.default_rng(1).standard_normal((50, 3)))


def test_grid_search_records_an_invalid_candidate_and_goes_on():
    from sklearn.exceptions import FitFailedWarning
    from sklearn.model_selection import GridSearchCV
    from sklearn.neighbors import KNeighborsClassifier
    from sklearn.pipeline import make_pipeline

    rng = np.random.default_rng(2)
    x = rng.standard_normal((200, 4))
    y = (x[:, 0] > 0).astype(int)
    pipe = make_pipeline(KNeighborsTransformer(n_neighbors=5),
                         KNeighborsClassifier(n_neighbors=5, metric="precomputed"))
    search = GridSearchCV(pipe, {"kneighborstransformer__r": [0, 16]}, cv=2,
                          error_score=np.nan)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FitFailedWarning)
        warnings.simplefilter("ignore", UserWarning)
        search.fit(x, y)
    scores = search.cv_results_["mean_test_score"]
    assert np.isnan(scores[0]) and scores[1] > 0.8


def native_failure():
    """The native module's internal-failure exception, as it raises it."""
    x = np.random.default_rng(3).standard_normal((2100, 4), dtype=np.float32)
    try:
        _orlim.build_and_self_knn(x, 3, m=17)
    except BaseException as e:  # noqa: B036 - it is not an Exception
        return e
    pytest.fail("m = 17 above the exact cut-off did not fail")


@pytest.mark.parametrize("raised, expected", [
    (native_failure, RuntimeError),
    (KeyboardInterrupt, KeyboardInterrupt),
], ids=["internal failure", "Ctrl-C"])
def test_native_failures_become_runtime_errors_and_interrupts_pass(monkeypatch, raised,
                                                                   expected):
    error = raised() if raised is native_failure else raised()

    def failing(*args, **kwargs):
        raise error

    monkeypatch.setattr(_orlim, "build_and_self_knn", failing)
    monkeypatch.setattr(orlim._knn, "Index", failing)
    monkeypatch.setattr(orlim._knn, "refine_self_knn", failing)
    x = np.random.default_rng(4).standard_normal((30, 3))
    for call in (lambda: orlim.kneighbors_graph(x, 3), lambda: orlim.build_and_self_knn(x, 3),
                 lambda: KNeighborsTransformer(n_neighbors=3).fit_transform(x)):
        with pytest.raises(expected):
            call()


BAD_INPUT = {
    "float64 beyond float32": (np.array([[1e39, 0.0], [0.0, 1.0], [1.0, 1.0]]), ValueError,
                               "beyond the float32 range"),
    "NaN": (np.array([[np.nan, 0.0], [0.0, 1.0], [1.0, 1.0]]), ValueError, "NaN"),
    "masked": (np.ma.masked_array(np.ones((3, 2)), mask=[[1, 0], [0, 0], [0, 0]]), TypeError,
               "masked arrays"),
}


@pytest.mark.parametrize("call", [
    lambda x: orlim.kneighbors_graph(x, 1),
    lambda x: orlim.build_and_self_knn(x, 1),
    lambda x: orlim.OrlimIndex(x),
    lambda x: KNeighborsTransformer(n_neighbors=1).fit(x),
    lambda x: KNeighborsTransformer(n_neighbors=1).fit(np.ones((3, 2))).transform(x),
], ids=["kneighbors_graph", "build_and_self_knn", "OrlimIndex", "fit", "transform"])
@pytest.mark.parametrize("x, exc, match", BAD_INPUT.values(), ids=list(BAD_INPUT))
def test_input_that_float32_cannot_hold_faithfully_is_rejected(call, x, exc, match):
    with pytest.raises(exc, match=match):
        call(x)


def test_n_jobs_follows_scikit_learn():
    assert native_n_jobs(None) == 1
    assert native_n_jobs(3) == 3
    assert native_n_jobs(-1) == joblib.cpu_count()
    assert native_n_jobs(-2) == max(1, joblib.cpu_count() - 1)
    with joblib.parallel_config(n_jobs=3):
        assert native_n_jobs(None) == 3
    with pytest.raises(ValueError, match="n_jobs"):
        native_n_jobs(0)
    with pytest.raises(TypeError, match="n_jobs"):
        native_n_jobs(1.5)


def test_every_call_hands_the_native_module_a_thread_count(monkeypatch):
    seen = []
    real = {name: getattr(_orlim, name) for name in
            ("build_and_self_knn", "build_and_query", "hnsw_self_knn", "OrlimIndex")}

    def spy(name):
        def call(*args, **kwargs):
            seen.append((name, kwargs["n_jobs"]))
            return real[name](*args, **kwargs)
        return call

    for name in real:
        monkeypatch.setattr(_orlim, name, spy(name))
    # kneighbors_graph and the UMAP tables refine by default or build an orlim.Index, as the
    # transformer does.
    real["Index"] = orlim.Index
    real["refine_self_knn"] = orlim._knn.refine_self_knn
    monkeypatch.setattr(orlim._knn, "Index", spy("Index"))
    monkeypatch.setattr(orlim._knn, "refine_self_knn", spy("refine_self_knn"))
    x = np.random.default_rng(5).standard_normal((3000, 4), dtype=np.float32)
    orlim.kneighbors_graph(x[:200], 3, n_jobs=-1)
    orlim.umap_precomputed_knn(x[:200], 3)
    orlim.kneighbors_graph(x[:200], 3, algorithm="index", n_jobs=2)
    orlim.build_and_self_knn(x[:200], 3, n_jobs=2)
    orlim.build_and_query(x[:200], x[:5], 3, n_jobs=-1)
    orlim.hnsw_self_knn(x[:200], 3)
    orlim.OrlimIndex(x, n_jobs=-1)
    KNeighborsTransformer(n_neighbors=3).fit(x)
    cpus = joblib.cpu_count()
    assert seen[:3] == [("refine_self_knn", cpus), ("refine_self_knn", 1), ("Index", 2)]
    assert [n for _, n in seen[3:]] == [2, cpus, 1, cpus, 1]


@pytest.mark.parametrize("with_tqdm", [False, True], ids=["plain lines", "tqdm"])
def test_verbose_reports_each_phase_on_stderr_and_default_is_silent(capfd, monkeypatch,
                                                                    with_tqdm):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    x = np.random.default_rng(6).standard_normal((100, 4))
    orlim.kneighbors_graph(x, 3)
    KNeighborsTransformer(n_neighbors=3).fit_transform(x)
    assert capfd.readouterr() == ("", "")

    orlim.kneighbors_graph(x, 3, verbose=True)
    KNeighborsTransformer(n_neighbors=3, verbose=True).fit(x).transform(x[:5])
    out, err = capfd.readouterr()
    assert out == ""
    if with_tqdm:
        assert "kneighbors_graph" in err and "transform" in err
    else:
        lines = [line.split(":")[1].split()[0] for line in err.splitlines()]
        assert err.splitlines()[0].startswith("[orlim] kneighbors_graph: input ")
        assert lines == ["input", "self-kNN", "sparse", "input", "index", "input", "search",
                         "sparse"]


def test_missing_extras_are_named_and_help_still_works():
    # A child process in which SciPy and scikit-learn cannot be imported.
    code = textwrap.dedent("""
        import pydoc, sys
        for name in ("scipy", "sklearn"):
            sys.modules[name] = None
        import numpy as np, orlim
        text = pydoc.render_doc(orlim, renderer=pydoc.plaintext)
        assert "package orlim" in text and "builtins.OrlimIndex" not in text, text
        for call in (lambda: orlim.kneighbors_graph(np.ones((4, 2)), 1),
                     lambda: orlim.KNeighborsTransformer):
            try:
                call()
            except ModuleNotFoundError as e:
                print(e)
        ids, _, stride = orlim.build_and_self_knn(np.eye(4), 1)
        print(stride)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "orlim.kneighbors_graph needs scipy, which is not installed: pip install 'orlim[sklearn]'",
        "orlim.KNeighborsTransformer needs scikit-learn, which is not installed: "
        "pip install 'orlim[sklearn]'",
        "2",
    ]


def test_every_public_name_has_a_numpydoc_docstring():
    for name in orlim.__all__:
        if name == "__version__":
            continue
        obj = getattr(orlim, name)
        doc = obj.__doc__ or ""
        for section in ("Parameters\n", "Examples\n"):
            assert section in doc, (name, section)
        assert "Returns\n" in doc or isinstance(obj, type), name
        assert obj.__module__.startswith("orlim"), name
