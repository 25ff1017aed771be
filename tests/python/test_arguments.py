"""Module surface: contents, signatures, argument binding, conversion and validation."""
import inspect

import numpy as np
import pytest

import _orlim

X = np.random.default_rng(7).standard_normal((40, 6), dtype=np.float32)
ALL14 = dict(x=X, n_neighbors=3, metric="euclidean", m=12, l_max=64, r=64, alpha=1.2, beam_l=64,
             fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)
FN = r"build_and_self_knn\(\)"


def test_module_contents_and_version():
    names = [name for name in vars(_orlim) if name not in ("__name__", "__doc__", "__package__",
                                                          "__loader__", "__spec__", "__file__")]
    assert names == ["build_and_self_knn", "build_and_query", "hnsw_self_knn", "OrlimIndex",
                     "__version__"]
    assert _orlim.__version__ == "0.1.1"
    assert _orlim.__doc__ == ""


def test_text_signature_and_docstring():
    sig = inspect.signature(_orlim.build_and_self_knn)
    assert str(sig) == (
        "(x, n_neighbors, metric='euclidean', m=12, l_max=64, r=64, alpha=1.2, beam_l=64, "
        "fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)")
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert _orlim.build_and_self_knn.__doc__ == (
        "Build the index and return self-kNN as flat arrays.\n"
        "\n"
        "Returns `(indices, distances, stride)` where `indices`/`distances` are\n"
        "length `n * stride` row-major and `stride == k + 1` (self edge first).\n"
        "\n"
        "Phase 0 routes through exact brute force; later phases swap in the Orlim\n"
        "graph build + BeamSearch behind this same signature.")


def wrapped(name):
    return rf"^argument '{name}': "


REJECTED = {  # name: (args, kwargs, exception, full-match pattern)
    "x alone": ((X,), {}, TypeError,
                rf"^{FN} missing 1 required positional argument: 'n_neighbors'$"),
    "nothing": ((), {}, TypeError,
                rf"^{FN} missing 2 required positional arguments: 'x' and 'n_neighbors'$"),
    "too many positional": ((X, 3, "l2", 1, 2, 3, 1.0, 4, 5, 6, 7, 8, 9, 10, 11), {}, TypeError,
                            rf"^{FN} takes from 2 to 14 positional arguments but 15 were given$"),
    "unknown keyword": ((), dict(ALL14, foo=1), TypeError,
                        rf"^{FN} got an unexpected keyword argument 'foo'$"),
    "given twice": ((X, 3), dict(n_neighbors=3), TypeError,
                    rf"^{FN} got multiple values for argument 'n_neighbors'$"),
    "float64 matrix": ((X.astype(np.float64), 3), {}, TypeError, wrapped("x")),
    "float16 matrix": ((X.astype(np.float16), 3), {}, TypeError, wrapped("x")),
    "int matrix": ((X.astype(np.int32), 3), {}, TypeError, wrapped("x")),
    "byte-swapped float32": ((X.astype(">f4"), 3), {}, TypeError, wrapped("x")),
    "1-D array": ((X[0], 3), {}, TypeError, wrapped("x")),
    "3-D array": ((X[None], 3), {}, TypeError, wrapped("x")),
    "list of lists": ((X.tolist(), 3), {}, TypeError, wrapped("x")),
    "negative k": ((X, -1), {}, OverflowError, None),
    "k of 2**64": ((X, 2**64), {}, OverflowError, None),
    "float k": ((X, 2.0), {}, TypeError, wrapped("n_neighbors")),
    "str k": ((X, "3"), {}, TypeError, wrapped("n_neighbors")),
    "str alpha": ((X, 3), dict(alpha="1.2"), TypeError, wrapped("alpha")),
    "None metric": ((X, 3), dict(metric=None), TypeError, wrapped("metric")),
    "None seed": ((X, 3), dict(seed=None), TypeError, wrapped("seed")),
    "float n_jobs": ((X, 3), dict(n_jobs=1.5), TypeError, wrapped("n_jobs")),
    "first failing conversion wins": ((X.astype(np.float64), "k"), dict(metric=None), TypeError,
                                      wrapped("x")),
    "unsupported metric": ((X, 3), dict(metric="l1"), ValueError, r"^unsupported metric: l1$"),
    "metric shown as passed": ((X, 3), dict(metric=" L2"), ValueError,
                               r"^unsupported metric:  L2$"),
    "metric checked before emptiness": ((X[:0], 3), dict(metric="ip"), ValueError,
                                        r"^unsupported metric: ip$"),
    "empty matrix": ((X[:0], 3), {}, ValueError, r"^empty input matrix$"),
    "zero columns": ((X[:, :0], 3), {}, ValueError, r"^x has zero columns$"),
    "NaN": ((np.where(np.arange(6) == 4, np.nan, X).astype(np.float32), 3), {}, ValueError,
            r"^x contains NaN or infinity$"),
    "infinity": ((np.where(np.arange(6) == 0, -np.inf, X).astype(np.float32), 3), {},
                 ValueError, r"^x contains NaN or infinity$"),
}


@pytest.mark.parametrize("args, kwargs, exc, pattern", REJECTED.values(), ids=list(REJECTED))
def test_bad_arguments_raise_before_any_work(args, kwargs, exc, pattern):
    with pytest.raises(exc, match=pattern) as info:
        _orlim.build_and_self_knn(*args, **kwargs)
    assert type(info.value) is exc
    if pattern is not None and pattern.startswith("^argument"):
        assert isinstance(info.value.__cause__, TypeError)


def test_non_finite_in_a_strided_view_is_found():
    x = np.ones((50, 8), np.float32)
    x[37, 5] = np.nan
    with pytest.raises(ValueError, match="^x contains NaN or infinity$"):
        _orlim.build_and_self_knn(np.asfortranarray(x), 3)


ACCEPTED = {
    "keywords": ((), dict(x=X, n_neighbors=3)),
    "all fourteen": ((), ALL14),
    "numpy int64 k": ((X, np.int64(3)), {}),
    "True counts as 1": ((X, True), {}),
    "int alpha": ((X, 3), dict(alpha=1)),
    "nan alpha": ((X, 3), dict(alpha=float("nan"))),
    "numpy float alpha": ((X, 3), dict(alpha=np.float64(0.5))),
    "metric in capitals": ((X, 3), dict(metric="EUCLIDIAN")),
    "largest seed": ((X, 3), dict(seed=2**64 - 1)),
    "ndarray subclass": ((X.view(np.matrix), 3), {}),
    "read-only array": ((np.frombuffer(X.tobytes(), np.float32).reshape(40, 6), 3), {}),
}


@pytest.mark.parametrize("args, kwargs", ACCEPTED.values(), ids=list(ACCEPTED))
def test_accepted_arguments_give_the_same_answer(args, kwargs):
    want = _orlim.build_and_self_knn(X, 3)
    got = _orlim.build_and_self_knn(*args, **kwargs)
    k = 1 if args[1:2] == (True,) else 3
    if k == 3:
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
    assert got[2] == k + 1
