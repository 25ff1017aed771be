"""Self-kNN of a built-in synthetic data set, checked against an exact numpy computation."""
import argparse
import time

import numpy as np

import _orlim


def clustered(n, d, seed):
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((max(n // 500, 1), d)).astype(np.float32) * 4
    labels = rng.integers(0, len(centers), n)
    return (centers[labels] + rng.standard_normal((n, d), dtype=np.float32)).astype(np.float32)


def exact_knn(x, k, block=1024):
    """k nearest other points of every row, by blocked GEMM in float64."""
    x64 = x.astype(np.float64)
    norms = (x64 * x64).sum(1)
    out = np.empty((len(x), k), np.int64)
    for lo in range(0, len(x), block):
        d = norms[lo:lo + block, None] + norms[None, :] - 2 * x64[lo:lo + block] @ x64.T
        d[np.arange(d.shape[0]), np.arange(lo, lo + d.shape[0])] = np.inf  # not itself
        part = np.argpartition(d, k, axis=1)[:, :k]
        out[lo:lo + block] = part
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=10000)
    parser.add_argument("--d", type=int, default=64)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--n-jobs", type=int, default=0)
    args = parser.parse_args()

    x = clustered(args.n, args.d, seed=0)
    start = time.perf_counter()
    ids, dists, stride = _orlim.build_and_self_knn(x, args.k, n_jobs=args.n_jobs)
    elapsed = time.perf_counter() - start
    found = ids.reshape(-1, stride)[:, 1:]
    truth = exact_knn(x, args.k)
    hits = sum(len(np.intersect1d(f, t)) for f, t in zip(found, truth))
    recall = hits / truth.size
    print(f"orlim {_orlim.__version__}: n={args.n} d={args.d} k={args.k} "
          f"time={elapsed:.3f}s recall@{args.k}={recall:.4f}")


if __name__ == "__main__":
    main()
