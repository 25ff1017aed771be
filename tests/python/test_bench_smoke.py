"""Smoke tests of the benchmark harness (bench/) on tiny data sets."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from bench import datasets, groundtruth  # noqa: E402

# pynndescent compiles its kernels on first use (tens of seconds): too slow for
# a smoke test, and it runs through the same worker path as every other peer.
SMOKE_METHODS = "all"
SMOKE_SKIP = "pynndescent"


def run_bench(tmp_path, *args, timeout=180):
    env = dict(os.environ, ORLIM_BENCH_CACHE=str(tmp_path / "cache"))
    out = tmp_path / "out"
    proc = subprocess.run(
        [sys.executable, "-m", "bench", "--out", str(out), *args],
        cwd=REPO, env=env, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    (result,) = out.glob("*.json")
    return proc, json.loads(result.read_text()), out


@pytest.mark.skipif(os.environ.get("ORLIM_SANITIZED") == "1",
                    reason="peer libraries' worker processes do not run under the preloaded "
                           "sanitizer runtime")
@pytest.mark.parametrize("task", ["self", "query"])
def test_harness_runs_every_importable_method(tmp_path, task):
    proc, result, out = run_bench(
        tmp_path, "--dataset", "clustered", "--n", "300", "--queries", "40", "--task", task,
        "--k", "5", "--threads", "1", "--methods", SMOKE_METHODS, "--skip", SMOKE_SKIP)
    rows = result["rows"]
    ran = [r for r in rows if r["status"] != "skipped"]
    assert not [r for r in ran if r["status"] != "ok"], ran
    assert {r["method"] for r in ran} >= {"exact"}
    for r in ran:
        assert 0.0 <= r["recall"] <= 1.0
        assert r["total_s"] > 0 and r["peak_rss_mib"] > 0
    exact = [r for r in ran if r["method"] == "exact"]
    assert [r["recall"] for r in exact] == [1.0]
    # Every method but the ground truth also gets one cold-process row (start-up included).
    cold = [r["method"] for r in ran if r.get("cold")]
    assert sorted(cold) == sorted({r["method"] for r in ran} - {"exact"})
    # Graph indexes on 300 points at their default or larger effort are near exact.
    for r in ran:
        if r["method"] in ("hnswlib", "faiss-hnsw", "usearch", "orlim") and r["value"] in (64, 128, 256):
            assert r["recall"] > 0.95, r
    if task == "query":
        assert all(r["qps"] > 0 for r in ran if r["query_s"])
        swept = {r["method"] for r in ran if r["knob"]}
        assert all(sum(1 for r in ran if r["method"] == m) > 1 for m in swept)
    # The table on stdout has one line per row plus its header.
    table = [ln for ln in proc.stdout.splitlines() if ln.startswith("| ")]
    assert len(table) == len(rows) + 1
    assert "Recall@5" in table[0]
    assert (out / next(out.glob("*.json")).name.replace(".json", ".png")).stat().st_size > 0
    # The exact neighbours are cached for the next run.
    assert list((tmp_path / "cache" / "gt").glob("*.npz"))


@pytest.mark.parametrize("args, method, status, note", [
    # The exact run that makes the ground truth is exempt from the timeout.
    (["--methods", "exact,hnswlib", "--timeout", "0.05"], "hnswlib", "timeout", "timeout"),
    (["--methods", "hnswlib", "--set", "hnswlib.M='sixteen'"], "hnswlib", "error", "failed"),
])
def test_failures_are_reported_as_rows(tmp_path, args, method, status, note):
    pytest.importorskip("hnswlib")
    proc, result, _ = run_bench(tmp_path, "--dataset", "uniform", "--n", "200", *args)
    rows = {r["method"]: r for r in result["rows"]}
    assert rows[method]["status"] == status
    assert rows[method]["note"].startswith(note)
    if "exact" in rows:
        assert rows["exact"]["status"] == "ok"
    assert f"| {method} |" in proc.stdout


def test_recall_counts_ties_and_ignores_self_padding_and_repeats():
    # Points 0..3 coincide; 4 is at distance 1, 5 at distance 1 on the other
    # side, 6 is far.  For point 0 every 2-NN answer among {1, 2, 3} is exact.
    x = np.array([[0.0], [0.0], [0.0], [0.0], [1.0], [-1.0], [9.0]], dtype=np.float32)
    ids, dist = groundtruth.exact_knn(x, None, 2, "euclidean")
    gi, gd = groundtruth.truth_from_exact(ids, dist, True)
    assert (ids[:, 0] == np.arange(7)).all()

    def recall_row0(row):
        res = np.array([row] + [list(ids[i, :len(row)]) for i in range(1, 7)])
        return groundtruth.recall_at_k(x, None, res, gi, gd, "euclidean")

    cases = [
        ([0, 3, 2], 1.0),             # a tied point that is not in the exact id list
        ([3, 0, 1], 1.0),             # self not in the first slot
        ([0, 4, 5], 0.0),             # self is never an answer, even at distance 0
        ([0, 3, 3], 0.5),             # a repeated id counts once
        ([0, -1, 3], 0.5),            # padding is not an answer
        ([0, 4, 2], 0.5),             # 4 is farther than the tied 2nd neighbour
        ([0, 2**40, 1], 0.5),         # a sentinel id beyond n
    ]
    for row, want in cases:
        got = recall_row0(row)
        # Rows 1..6 are exact answers: 12 hits out of 12.
        assert got == pytest.approx((want * 2 + 12) / 14), row


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("kind", ["ties", "gaussian"])
def test_exact_knn_matches_naive_search(metric, kind):
    rng = np.random.default_rng(3)
    if kind == "ties":
        # Few distinct points, many duplicates: the order among equal
        # distances must be by id.  Integer values keep every distance exact.
        base = rng.integers(1, 4, size=(1200, 4)).astype(np.float32)
        queries = rng.integers(1, 4, size=(30, 4)).astype(np.float32)
    else:
        base = rng.normal(size=(1200, 6)).astype(np.float32)
        queries = rng.normal(size=(30, 6)).astype(np.float32)
    # Self-kNN, held-out queries, and k beyond n (every point returned).
    for xb, qs, k in ((base, None, 7), (base, queries, 7), (base[:40], None, 200)):
        bb = groundtruth.prepare(xb, metric)
        qp = bb if qs is None else groundtruth.prepare(qs, metric)
        # Small blocks: many of them, and a partial last one.
        ids, dist = groundtruth.exact_knn(xb, qs, k, metric, block_bytes=7 * 4 * len(xb))
        full = groundtruth.pair_distances(qp[:, None, :], bb[None, :, :], metric)
        if qs is None:
            np.fill_diagonal(full, -1.0)
        width = min(k + (qs is None), len(xb))
        assert ids.shape == dist.shape == (qp.shape[0], width)
        got_d = np.take_along_axis(full, ids, axis=1)
        np.testing.assert_allclose(got_d, np.sort(full, axis=1)[:, :width], rtol=1e-5, atol=1e-6)
        if qs is None:
            assert (ids[:, 0] == np.arange(len(xb))).all()
            got_d[:, 0] = 0.0
        np.testing.assert_allclose(dist, got_d, rtol=1e-5, atol=1e-6)
        if kind == "ties" and metric == "euclidean":
            assert (ids == np.argsort(full, axis=1, kind="stable")[:, :width]).all()


def test_ground_truth_cache_is_tied_to_the_data(tmp_path):
    ids = np.arange(12).reshape(4, 3)
    dist = np.ones((4, 3), dtype=np.float32)
    path = tmp_path / "gt.npz"
    groundtruth.save_gt(path, ids, dist, data_crc=1234)
    got = groundtruth.load_gt(path, 1234)
    assert got is not None and (got[0] == ids).all()
    assert groundtruth.load_gt(path, 1235) is None
    assert groundtruth.load_gt(tmp_path / "missing.npz", 1234) is None


@pytest.mark.parametrize("name", datasets.NAMES)
def test_data_sets_are_deterministic(name):
    n = 120
    a = datasets.generate(name, n, seed=5)
    info = datasets.info(name)
    assert a.shape == (n, info.dim) and a.dtype == np.float32 and a.flags.c_contiguous
    assert np.isfinite(a).all()
    np.testing.assert_array_equal(a, datasets.generate(name, n, seed=5))
    assert not np.array_equal(a, datasets.generate(name, n, seed=6))
    if info.metric == "cosine":
        np.testing.assert_allclose(np.linalg.norm(a, axis=1), 1.0, rtol=1e-5)
    base, queries = datasets.split(name, n, 30, seed=5)
    assert base.shape == (n, info.dim) and queries.shape == (30, info.dim)
    # Held-out queries are not base points.
    assert not (queries[:, None, :] == base[None, :, :]).all(axis=2).any()


# A stand-in extension with every entry point, answering by brute force, to
# check how the harness drives our own methods: argument order, the flat
# (indices, distances, stride) layout and the build/query split read from the
# timing line.
FAKE_EXTENSION = '''
import os
import numpy as np

__version__ = "0.0-test"


def _knn(x, q, k, self_first):
    d = ((q[:, None, :] - x[None, :, :]) ** 2).sum(-1)
    if self_first:
        np.fill_diagonal(d, -1.0)
    w = min(k, x.shape[0])
    ids = np.argsort(d, axis=1, kind="stable")[:, :w]
    return (ids.astype(np.uint32).ravel(), np.sqrt(np.maximum(np.take_along_axis(d, ids, 1), 0))
            .astype(np.float32).ravel(), w)


def _profile(mode):
    if "ORLIM_PROFILE" in os.environ:
        os.write(2, f"[orlim] BUILD=0.125s QUERY=0.250s [{mode}]\\n".encode())


def build_and_self_knn(x, n_neighbors, metric="euclidean", m=12, l_max=64, r=64, alpha=1.2,
                       beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0):
    _profile(os.environ.get("ORLIM_QUERY", "beam"))
    return _knn(x, x, n_neighbors + 1, True)


def build_and_query(x, queries, n_neighbors, metric="euclidean", m=12, l_max=64, r=64,
                    alpha=1.2, beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0,
                    seed=0):
    _profile("q")
    return _knn(x, queries, n_neighbors, False)


def hnsw_self_knn(x, n_neighbors, metric="euclidean", m=16, ef_construction=200, ef_search=64,
                  quantize="none", n_jobs=0, seed=0):
    return _knn(x, x, n_neighbors + 1, True)


class OrlimIndex:
    def __init__(self, x, metric="euclidean", m=12, l_max=64, r=64, alpha=1.2, fanout=2,
                 c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0):
        self.x = np.array(x)

    def query(self, queries, n_neighbors, beam_l=64):
        return _knn(self.x, queries, n_neighbors, False)
'''


@pytest.mark.parametrize("task, expected", [
    ("self", {"orlim", "orlim-query", "orlim-index", "orlim-hnsw"}),
    ("query", {"orlim-query", "orlim-index"}),
])
def test_our_entry_points_are_driven_as_they_appear(tmp_path, monkeypatch, task, expected):
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "_orlim.py").write_text(FAKE_EXTENSION)
    monkeypatch.setenv("PYTHONPATH", str(fake))
    _, result, _ = run_bench(
        tmp_path, "--dataset", "manifold", "--n", "150", "--queries", "20", "--k", "4",
        "--task", task, "--methods", "exact,orlim,orlim-query,orlim-index,orlim-hnsw",
        "--ef-sweep", "8,32", "--no-cold")
    ours = [r for r in result["rows"] if r["method"].startswith("orlim")]
    assert {r["method"] for r in ours} == expected
    for r in ours:
        assert r["status"] == "ok" and r["recall"] == 1.0, r
        if r["method"] in ("orlim", "orlim-query"):
            # The split comes from the extension's timing line.
            assert (r["build_s"], r["query_s"]) == (0.125, 0.25)
    if task == "query":
        # One row per beam_l of the sweep, with queries per second from the query time.
        assert sorted(r["value"] for r in ours if r["method"] == "orlim-index") == [8, 32]
        assert all(r["qps"] == pytest.approx(20 / 0.25) for r in ours if r["method"] == "orlim-query")


@pytest.mark.parametrize("mode, status, note", [
    ("reservoir", "ok", "ORLIM_QUERY=reservoir"),
    ("beam", "ok", ""),
    ("fast", "error", "failed"),
])
def test_self_knn_query_mode_reaches_the_extension(tmp_path, monkeypatch, mode, status, note):
    fake = tmp_path / "fake"
    fake.mkdir()
    seen = tmp_path / "modes.txt"
    (fake / "_orlim.py").write_text(FAKE_EXTENSION.replace(
        '    _profile(os.environ.get("ORLIM_QUERY", "beam"))',
        '    _profile(os.environ.get("ORLIM_QUERY", "beam"))\n'
        f'    open({str(seen)!r}, "a").write(os.environ.get("ORLIM_QUERY", "unset") + "\\n")'))
    monkeypatch.setenv("PYTHONPATH", str(fake))
    monkeypatch.delenv("ORLIM_QUERY", raising=False)
    _, result, _ = run_bench(tmp_path, "--dataset", "manifold", "--n", "150", "--k", "4",
                             "--methods", "exact,orlim", "--set", f"orlim.query={mode}",
                             "--no-cold")
    row = next(r for r in result["rows"] if r["method"] == "orlim")
    assert row["status"] == status
    assert row["note"].startswith(note)
    if status == "ok":
        assert row["recall"] == 1.0
        assert seen.read_text().split() == [mode]
    else:
        assert not seen.exists()
