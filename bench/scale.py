"""Self-kNN of a large data set by several libraries, recall from a sample of rows.

    python -m bench.scale --n 1000000 --methods orlim,pynndescent,hnswlib

At a million points the exact neighbours of every row cost more than the jobs being measured,
so recall@k is taken on a fixed random sample of rows (--sample, default 2,000) against their
exact neighbours, ties at the k-th distance counted as hits, as in the main harness. Each
method runs in a fresh process, one after the other, with the same thread budget; the row
gives the wall time of the call, the process's peak resident memory counted from just before
the call (the data are loaded by then) and the data's own size. pynndescent compiles its
kernels on a first call: by default that call runs on the full data first and is reported
apart (--cold times the first call instead).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from bench import datasets, groundtruth

ROOT = Path(__file__).resolve().parent.parent
THREAD_VARS = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
               "NUMBA_NUM_THREADS", "RAYON_NUM_THREADS")
METHODS = ("orlim", "orlim-index", "pynndescent", "hnswlib")

CHILD = r"""
import json, os, sys, time
import numpy as np
method, data_path, rows_path, k, threads, seed, cold = sys.argv[1:8]
k, threads, seed, cold = int(k), int(threads), int(seed), cold == "1"
metric = sys.argv[8]
x = np.load(data_path)
rows = np.load(rows_path)

def peak_mib():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024.0
    return float("nan")

def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass

extra = {}
if method == "orlim":
    import orlim
    run = lambda: orlim.kneighbors_graph(x, k, n_jobs=threads, seed=seed).indices.reshape(-1, k)
elif method == "orlim-index":
    import orlim
    run = lambda: orlim.kneighbors_graph(x, k, algorithm="index", n_jobs=threads,
                                         seed=seed).indices.reshape(-1, k)
elif method == "pynndescent":
    import pynndescent
    def run():
        index = pynndescent.NNDescent(x, metric=metric, n_neighbors=k + 1, n_jobs=threads,
                                      random_state=seed)
        return index.neighbor_graph[0]
    if not cold:
        t = time.perf_counter()
        run()
        extra["warmup_s"] = time.perf_counter() - t
else:
    import hnswlib
    def run():
        index = hnswlib.Index(space="l2" if metric == "euclidean" else "cosine", dim=x.shape[1])
        index.init_index(max_elements=x.shape[0], ef_construction=200, M=16, random_seed=seed)
        index.set_num_threads(threads)
        index.add_items(x, np.arange(x.shape[0]), num_threads=threads)
        index.set_ef(64)
        return index.knn_query(x, k=k + 1, num_threads=threads)[0]
reset_peak()
t = time.perf_counter()
ids = run()
elapsed = time.perf_counter() - t
np.save(sys.argv[9], np.asarray(ids)[rows])
print(json.dumps(dict(extra, seconds=elapsed, peak_mib=peak_mib())))
"""


def exact_sample(x: np.ndarray, rows: np.ndarray, k: int, metric: str):
    """The k nearest other points of each sampled row (ids, distances), exact."""
    ids, dist = groundtruth.exact_knn(x, x[rows], k + 1, metric)
    own = ids == rows[:, None]
    # Drop the row itself (or, when exact duplicates sort before it, the last column).
    keep = np.where(own.any(axis=1)[:, None], ~own, np.arange(k + 1)[None, :] < k)
    return (ids[keep].reshape(len(rows), k), dist[keep].reshape(len(rows), k))


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m bench.scale", description=__doc__.split("\n")[0])
    p.add_argument("--dataset", default="clustered", choices=datasets.NAMES)
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--sample", type=int, default=2000)
    p.add_argument("--methods", default="orlim,pynndescent,hnswlib")
    p.add_argument("--cold", action="store_true", help="time pynndescent's first call")
    p.add_argument("--timeout", type=float, default=3600.0)
    args = p.parse_args(argv)
    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    unknown = [m for m in methods if m not in METHODS]
    if unknown:
        raise SystemExit(f"unknown method(s) {unknown}; choose from {', '.join(METHODS)}")

    cache = groundtruth.cache_dir() / "scale"
    cache.mkdir(parents=True, exist_ok=True)
    stem = f"{args.dataset}-n{args.n}-s{args.seed}"
    data_path = cache / f"{stem}.npy"
    if not data_path.exists():
        t = time.perf_counter()
        np.save(data_path, datasets.generate(args.dataset, args.n, args.seed))
        print(f"[scale] generated {stem} in {time.perf_counter() - t:.1f} s", file=sys.stderr)
    x = np.load(data_path, mmap_mode="r")
    metric = datasets.info(args.dataset).metric
    rows = np.sort(np.random.default_rng(args.seed).choice(args.n, args.sample, replace=False))
    rows_path = cache / f"{stem}-rows{args.sample}.npy"
    truth_path = cache / f"{stem}-rows{args.sample}-k{args.k}.npz"
    np.save(rows_path, rows)
    if not truth_path.exists():
        t = time.perf_counter()
        gt_ids, gt_dist = exact_sample(np.asarray(x), rows, args.k, metric)
        np.savez(truth_path, ids=gt_ids, dist=gt_dist)
        print(f"[scale] exact neighbours of {args.sample} rows in {time.perf_counter() - t:.1f} s",
              file=sys.stderr)
    truth = np.load(truth_path)

    env = dict(os.environ, **{v: str(args.threads) for v in THREAD_VARS})
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT)] + [env.get("PYTHONPATH", "")])
    data_mib = x.nbytes / 2**20
    print(f"{args.dataset}, {args.n:,} x {x.shape[1]}, k = {args.k}, {args.threads} threads, "
          f"recall@{args.k} on {args.sample:,} sampled rows; data {data_mib:.0f} MiB\n")
    print("| Method | Time (s) | Recall | Peak RSS (MiB) | Peak - data (MiB) | Notes |")
    print("|---|---:|---:|---:|---:|---|")
    for m in methods:
        out = cache / f"{stem}-{m}-ids.npy"
        cmd = [sys.executable, "-c", CHILD, m, str(data_path), str(rows_path), str(args.k),
               str(args.threads), str(args.seed), "1" if args.cold else "0", metric, str(out)]
        try:
            done = subprocess.run(cmd, env=env, capture_output=True, text=True,
                                  timeout=args.timeout or None)
        except subprocess.TimeoutExpired:
            print(f"| {m} | > {args.timeout:.0f} | | | | timed out |")
            continue
        if done.returncode != 0:
            tail = done.stderr.strip().splitlines()[-1:] or ["no message"]
            print(f"| {m} | | | | | failed: {tail[0]} |")
            continue
        res = json.loads(done.stdout.strip().splitlines()[-1])
        found = np.load(out)
        found = np.array([[j for j in r if j != i][: args.k] for i, r in zip(rows, found)])
        rec = groundtruth.recall_at_k(np.asarray(x), np.asarray(x[rows]), found, truth["ids"],
                                      truth["dist"], metric)
        notes = []
        if "warmup_s" in res:
            notes.append(f"first call (compiles) {res['warmup_s']:.1f} s, not counted")
        if m == "pynndescent":
            notes.append(f"n_neighbors = {args.k + 1}")
        if m == "hnswlib":
            notes.append("M 16, ef_construction 200, ef 64; build + self query")
        print(f"| {m} | {res['seconds']:.1f} | {rec:.4f} | {res['peak_mib']:.0f} | "
              f"{res['peak_mib'] - data_mib:.0f} | {'; '.join(notes)} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
