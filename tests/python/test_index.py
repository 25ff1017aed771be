"""orlim.Index: build and search, the saved format and what loading does with damaged files."""

import ast
import json
import os
import pickle
import struct
import subprocess
import sys
import threading
import zlib
from pathlib import Path

import numpy as np
import pytest

import orlim
from orlim import _format

RNG = np.random.default_rng(3)
X = RNG.standard_normal((3000, 12)).astype(np.float32)
Q = RNG.standard_normal((200, 12)).astype(np.float32)
SMALL = dict(c_max=256, l_max=24, r=16, random_state=5, n_jobs=2)


@pytest.fixture(scope="module", params=["euclidean", "cosine"])
def index(request):
    return orlim.Index(X, metric=request.param, **SMALL)


def exact(data, queries, k, metric, skip_self=False):
    a, b = data.astype(np.float64), queries.astype(np.float64)
    if metric == "cosine":
        na, nb = np.linalg.norm(a, axis=1), np.linalg.norm(b, axis=1)
        cos = (b @ a.T) / np.where(nb == 0, 1, nb)[:, None] / np.where(na == 0, 1, na)[None, :]
        dist = 1.0 - cos
        dist[(nb == 0)[:, None] | (na == 0)[None, :]] = 1.0
    else:
        dist = np.sqrt(np.maximum(
            (b * b).sum(1)[:, None] - 2 * b @ a.T + (a * a).sum(1)[None, :], 0))
    if skip_self:
        np.fill_diagonal(dist, np.inf)
    ids = np.argsort(dist, axis=1, kind="stable")[:, :k]
    return ids, np.take_along_axis(dist, ids, axis=1)


def recall(got, want):
    return np.mean([len(set(g) & set(w)) / len(w) for g, w in zip(got, want)])


def test_query_and_self_knn_follow_scikit_learn_conventions(index):
    ids, dist = index.query(Q, k=10)
    assert ids.shape == dist.shape == (200, 10)
    assert ids.dtype == np.int64 and dist.dtype == np.float32
    want_ids, want_dist = exact(X, Q, 10, index.metric)
    assert recall(ids, want_ids) > 0.95
    hit = ids == want_ids
    np.testing.assert_allclose(dist[hit], want_dist[hit], rtol=1e-4, atol=1e-5)
    assert (np.diff(dist, axis=1) >= 0).all()
    assert all(len(set(row)) == 10 for row in ids)

    s_ids, s_dist = index.self_knn(5)
    assert s_ids.shape == (3000, 5)
    assert not (s_ids == np.arange(3000)[:, None]).any()  # the point itself is not listed
    assert recall(s_ids, exact(X, X, 5, index.metric, skip_self=True)[0]) > 0.95


def test_cosine_queries_are_normalized_and_zero_vectors_are_at_distance_one():
    x = X.copy()
    x[7] = 0.0
    ix = orlim.Index(x, metric="cosine", **SMALL)
    q = np.vstack([Q[:5] * 40.0, np.zeros((1, 12), np.float32)])
    ids, dist = ix.query(q, k=3000)
    np.testing.assert_allclose(dist[:5], exact(x, q[:5], 3000, "cosine")[1], atol=1e-5)
    assert (dist[5] == 1.0).all()
    assert (dist[:5, :][ids[:5] == 7] == 1.0).all()

    # Many zero rows: they must not crowd the true neighbours out of the rows.
    x[:300] = 0.0
    ix = orlim.Index(x, metric="cosine", **SMALL)
    ids, dist = ix.query(Q, k=10)
    want_ids, want_dist = exact(x, Q, 10, "cosine")
    assert recall(ids, want_ids) > 0.95 and not (ids < 300).any()


def test_attributes_and_repr(index):
    assert type(index).__module__ == "orlim" and type(index).__name__ == "Index"
    assert (index.n, index.dim) == (3000, 12)
    assert index.params == {**{row[0]: row[2] for row in orlim.BUILD_PARAMS},
                            "c_max": 256, "l_max": 24, "r": 16, "seed": 5}
    assert index.nbytes >= X.nbytes
    assert repr(index).startswith(f"orlim.Index(n=3000, dim=12, metric='{index.metric}'")


REJECTED = {
    "unknown keyword": (lambda: orlim.Index(X, rr=3), TypeError,
                        "unexpected keyword argument 'rr'"),
    "misspelled metric": (lambda: orlim.Index(X, metric="l1"), ValueError, "unsupported metric"),
    "m out of range": (lambda: orlim.Index(X, m=17), ValueError,
                       "m must be between 1 and 16, got 17"),
    "negative r": (lambda: orlim.Index(X, r=-1), ValueError, "r must be at least 1, got -1"),
    "r = 0": (lambda: orlim.Index(X, r=0), ValueError, "r must be at least 1, got 0"),
    "l_max absurd": (lambda: orlim.Index(X, l_max=1 << 40), ValueError,
                     "l_max must be between 1 and 65536"),
    "float count": (lambda: orlim.Index(X, r=2.0), TypeError, "r must be an int"),
    "alpha text": (lambda: orlim.Index(X, alpha="1"), TypeError, "alpha must be a real number"),
    "seed twice": (lambda: orlim.Index(X, seed=1, random_state=2), TypeError, "not both"),
    "n_jobs 0": (lambda: orlim.Index(X, n_jobs=0), ValueError, "n_jobs"),
    "no rows": (lambda: orlim.Index(X[:0]), ValueError, "no rows"),
    "1-D data": (lambda: orlim.Index(X[0]), ValueError, "2-D"),
    "text data": (lambda: orlim.Index(X.astype(str)), TypeError, "real numbers"),
    "NaN": (lambda: orlim.Index(np.full((4, 2), np.nan)), ValueError, "NaN or infinity"),
    "k > n": (lambda: orlim.Index(X[:20]).query(Q[:, :12], k=21), ValueError, "k <= n"),
    "k = 0": (lambda: orlim.Index(X[:20]).query(Q, k=0), ValueError, "k must be at least 1"),
    "self k = n": (lambda: orlim.Index(X[:20]).self_knn(20), ValueError, "k <= n - 1"),
    "query width": (lambda: orlim.Index(X[:20]).query(Q[:, :5]), ValueError, "5 columns"),
}


@pytest.mark.parametrize("call, exc, message", REJECTED.values(), ids=list(REJECTED))
def test_bad_arguments_raise(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


def test_empty_queries_and_small_indexes():
    ix = orlim.Index(X[:5])
    ids, dist = ix.query(Q[:0], k=5)
    assert ids.shape == (0, 5)
    ids, dist = ix.query(X[:5], k=5)  # k == n: every point, nearest first
    assert sorted(ids[0]) == [0, 1, 2, 3, 4] and ids[0, 0] == 0


# -- the saved format ------------------------------------------------------------------------


def same_answers(a, b):
    for got, want in zip(a.query(Q, k=7, beam_l=32), b.query(Q, k=7, beam_l=32)):
        np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(a.self_knn(4)[0], b.self_knn(4)[0])


@pytest.mark.parametrize("mmap", [False, True], ids=["copy", "mmap"])
def test_save_load_round_trip(index, tmp_path, mmap):
    path = tmp_path / "x.orlim"
    index.save(path)
    assert os.listdir(tmp_path) == ["x.orlim"]  # no temporary file left behind
    loaded = orlim.Index.load(path, mmap=mmap)
    assert (loaded.n, loaded.dim, loaded.metric, loaded.params) == (
        index.n, index.dim, index.metric, index.params)
    same_answers(loaded, index)
    if mmap:
        assert not loaded._arrays()[0].flags.writeable


def test_pickle_round_trip(index):
    same_answers(pickle.loads(pickle.dumps(index)), index)


def test_a_file_saved_by_one_process_loads_in_another(index, tmp_path):
    path = tmp_path / "other.orlim"
    code = (
        "import numpy as np, orlim, sys\n"
        f"x = np.random.default_rng(3).standard_normal((3000, 12)).astype(np.float32)\n"
        f"orlim.Index(x, metric={index.metric!r}, **{SMALL!r}).save(sys.argv[1])\n"
    )
    subprocess.run([sys.executable, "-c", code, str(path)], check=True, env=os.environ.copy())
    same_answers(orlim.Index.load(path, mmap=True), index)


def test_queries_run_while_another_thread_saves(index, tmp_path):
    want = index.query(Q, k=5)[0]
    failures = []

    def query():
        for _ in range(5):
            if not (index.query(Q, k=5)[0] == want).all():
                failures.append("changed")

    threads = [threading.Thread(target=query) for _ in range(3)]
    for t in threads:
        t.start()
    for i in range(3):
        index.save(tmp_path / f"{i}.orlim")
    for t in threads:
        t.join()
    assert not failures
    same_answers(orlim.Index.load(tmp_path / "2.orlim"), index)


def sections_of(data):
    length = struct.unpack_from("<Q", data, 16)[0]
    header = json.loads(data[64 : 64 + length])
    return header, [(s["offset"], s["offset"] + s["nbytes"]) for s in header["sections"]]


def rewrite_header(data, edit):
    """The file with its JSON header edited and every checksum made right again, so that only
    the structural checks stand between the edit and the index."""
    header, _ = sections_of(data)
    edit(header)
    for s in header["sections"]:
        chunk = data[s["offset"] : s["offset"] + s["nbytes"]]
        s["crc32"] = [zlib.crc32(chunk[i : i + s["block"]])
                      for i in range(0, len(chunk), s["block"])]
    text = json.dumps(header).encode()
    old = struct.unpack_from("<Q", data, 16)[0]
    assert len(text) <= sections_of(data)[1][0][0] - 64
    body = bytearray(data)
    body[64 : 64 + old] = bytes(old)
    body[64 : 64 + len(text)] = text
    head = struct.pack("<8sIIQI", b"ORLIMIDX", 1, 0x0A0B0C0D, len(text), zlib.crc32(text))
    body[:32] = head + struct.pack("<I", zlib.crc32(head))
    return bytes(body)


def rewrite_section(data, name, edit):
    header, _ = sections_of(data)
    s = next(s for s in header["sections"] if s["name"] == name)
    body = bytearray(data)
    dtype = np.dtype(s["dtype"])
    view = np.frombuffer(body, dtype=dtype, count=s["nbytes"] // dtype.itemsize,
                         offset=s["offset"])
    edit(view)
    return rewrite_header(bytes(body), lambda h: None)


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    ix = orlim.Index(X[:400], metric="cosine", c_max=64, r=8, random_state=1)
    path = tmp_path_factory.mktemp("saved") / "ok.orlim"
    ix.save(path)
    return path.read_bytes()


DAMAGE = {
    "wrong magic": (lambda d: b"X" + d[1:], "wrong magic"),
    "newer version": (lambda d: d[:8] + struct.pack("<I", 2) + d[12:], "version 2 is newer"),
    "other byte order": (lambda d: d[:12] + bytes(reversed(d[12:16])) + d[16:], "byte-order"),
    "empty file": (lambda d: b"", "empty"),
    "trailing bytes": (lambda d: d + b"\0" * 64, "size mismatch"),
    "padding byte": (lambda d: d[:40] + b"\1" + d[41:], "padding"),
    "offsets decrease": (
        lambda d: rewrite_section(d, "offsets", lambda o: o.__setitem__(5, o[4] - 1)),
        "decrease at row 5"),
    "edge id >= n": (lambda d: rewrite_section(d, "neighbors", lambda e: e.__setitem__(3, 400)),
                     "has id 400, not below n = 400"),
    "entry >= n": (lambda d: rewrite_header(d, lambda h: h.update(entry=400)), "entry point 400"),
    "n bigger than the values": (lambda d: rewrite_header(d, lambda h: h.update(n=401)),
                                 "section values holds"),
    "sections overlap": (lambda d: rewrite_header(
        d, lambda h: h["sections"][1].update(offset=h["sections"][0]["offset"])), "must increase"),
    "unknown parameter": (lambda d: rewrite_header(d, lambda h: h["params"].update(rr=3)),
                          "every build parameter"),
    "parameter out of range": (lambda d: rewrite_header(d, lambda h: h["params"].update(m=40)),
                               "m must be between"),
    "NaN value": (lambda d: rewrite_section(d, "values", lambda v: v.__setitem__(9, np.nan)),
                  "NaN or infinity"),
}


@pytest.mark.parametrize("damage, message", DAMAGE.values(), ids=list(DAMAGE))
def test_damaged_files_raise_value_error_naming_the_fault(saved, tmp_path, damage, message):
    path = tmp_path / "bad.orlim"
    path.write_bytes(damage(saved))
    for mmap in (False, True):
        with pytest.raises(ValueError, match=message):
            orlim.Index.load(path, mmap=mmap)


def test_truncation_and_bit_flips_anywhere_raise_value_error(saved, tmp_path):
    _, spans = sections_of(saved)
    rng = np.random.default_rng(0)
    cuts = {0, 10, 63, 64, 65, len(saved) - 1}
    for start, stop in spans:
        cuts |= {start - 1, start, start + 1, stop - 1}
    cuts |= set(rng.integers(1, len(saved), 200).tolist())
    flips = set(rng.integers(0, len(saved), 2000).tolist())
    for start, stop in spans:  # every section, its first and last byte included
        flips |= {start, stop - 1, int(rng.integers(start, stop))}
    cases = [saved[:c] for c in sorted(cuts)]
    for at in sorted(flips):
        body = bytearray(saved)
        body[at] ^= 1 << int(rng.integers(0, 8))
        cases.append(bytes(body))
    path = tmp_path / "f.orlim"
    for i, data in enumerate(cases):
        path.write_bytes(data)
        with pytest.raises(ValueError):
            orlim.Index.load(path, mmap=bool(i % 2))
        with pytest.raises(ValueError):
            _format.loads(data)


def test_the_stub_lists_the_build_parameter_table():
    """_orlim.pyi cannot be generated at import; this keeps it in line with the core's table."""
    stub = Path(__file__).resolve().parents[2] / "bindings" / "_orlim.pyi"
    tree = ast.parse(stub.read_text())
    table = [(row[0], row[2]) for row in orlim.BUILD_PARAMS]
    checked = 0
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef) and node.name in (
                "build_and_self_knn", "build_and_query", "__new__"):
            args = node.args.args
            defaults = dict(zip([a.arg for a in args[len(args) - len(node.args.defaults):]],
                                [ast.literal_eval(d) for d in node.args.defaults]))
            listed = [(name, defaults[name]) for name, _ in table]
            assert listed == table, node.name
            names = [a.arg for a in args if a.arg in defaults]
            assert [n for n in names if n not in ("metric", "beam_l", "n_jobs")] == [
                name for name, _ in table], node.name
            checked += 1
    assert checked == 3

