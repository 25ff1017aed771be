"""Exact k-NN by blocked matrix products, its on-disk cache, and recall@k."""

from __future__ import annotations

import os
import zlib
from pathlib import Path

import numpy as np

CACHE_VERSION = 1
BLOCK_BYTES = 64 << 20  # size of one block of the distance matrix


def cache_dir() -> Path:
    env = os.environ.get("ORLIM_BENCH_CACHE")
    if env:
        return Path(env)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "orlim-bench"


def fingerprint(*arrays: np.ndarray) -> int:
    crc = 0
    for a in arrays:
        crc = zlib.crc32(np.ascontiguousarray(a).view(np.uint8).ravel(), crc)
    return crc


def prepare(x: np.ndarray, metric: str) -> np.ndarray:
    """Vectors on which Euclidean order equals the order of `metric`."""
    x = np.ascontiguousarray(x, dtype=np.float32)
    if metric == "cosine":
        norms = np.linalg.norm(x, axis=1, keepdims=True)
        norms[norms == 0] = 1.0
        return (x / norms).astype(np.float32)
    if metric != "euclidean":
        raise ValueError(f"unknown metric {metric!r}")
    return x


def pair_distances(a: np.ndarray, b: np.ndarray, metric: str) -> np.ndarray:
    """Reported distance between rows a[i] and b[i] (both already prepared), in float64.

    Euclidean: the L2 distance; cosine: 1 - cosine similarity.
    """
    diff = a.astype(np.float64) - b.astype(np.float64)
    sq = np.einsum("...j,...j->...", diff, diff)
    return np.sqrt(sq) if metric == "euclidean" else 0.5 * sq


def smallest(d: np.ndarray, width: int) -> np.ndarray:
    """Column ids of the `width` smallest values of each row, by (value, id).

    A full argpartition of every row costs several times the GEMM that made
    the block.  Instead, the width-th smallest value over every s-th column
    bounds the row's true width-th smallest from above, so one comparison pass
    keeps a short candidate list (about width * s entries per row) that
    contains the answer; only those candidates are sorted.
    """
    r, n = d.shape
    if width >= n:
        cols = np.broadcast_to(np.arange(n), (r, n))
        order = np.lexsort((cols, d), axis=-1)
        return np.take_along_axis(cols, order, axis=1)
    stride = max(1, n // max(width * 32, n // 16))
    sub = d[:, ::stride]
    bound = np.partition(sub, width - 1, axis=1)[:, width - 1]
    flat = np.flatnonzero(d <= bound[:, None])
    rows, cols = np.divmod(flat, n)
    # Lay the candidates out as a short padded matrix, ids ascending in each row.
    counts = np.bincount(rows, minlength=r)
    pos = np.arange(flat.size) - (np.cumsum(counts) - counts)[rows]
    vals = np.full((r, counts.max()), np.inf, dtype=d.dtype)
    ids = np.zeros((r, counts.max()), dtype=np.int64)
    vals[rows, pos] = d.ravel()[flat]
    ids[rows, pos] = cols
    # A stable sort keeps equal values in id order.
    order = np.argsort(vals, axis=1, kind="stable")[:, :width]
    return np.take_along_axis(ids, order, axis=1)


def exact_knn(base: np.ndarray, queries: np.ndarray | None, k: int, metric: str,
              block_bytes: int = BLOCK_BYTES) -> tuple[np.ndarray, np.ndarray]:
    """Exact k nearest neighbours by blocked GEMM.

    With queries=None this is self-kNN: every row gets itself first and then its
    k nearest other points, so the result has min(k + 1, n) columns.  Otherwise
    each query row gets its min(k, n) nearest base points.  Ties are broken by
    smaller id.  Distances are recomputed directly for the chosen ids, so they
    carry no cancellation error from the GEMM expansion.
    """
    xb = prepare(base, metric)
    self_task = queries is None
    xq = xb if self_task else prepare(queries, metric)
    n, nq = xb.shape[0], xq.shape[0]
    width = min(k + 1, n) if self_task else min(k, n)
    xb_sq = np.einsum("ij,ij->i", xb, xb)
    rows_per_block = max(1, min(nq, block_bytes // max(1, 4 * n)))
    ids = np.empty((nq, width), dtype=np.int64)
    dist = np.empty((nq, width), dtype=np.float32)
    for s in range(0, nq, rows_per_block):
        e = min(nq, s + rows_per_block)
        q = xq[s:e]
        # |q|^2 is the same along a row and cannot change the order: left out.
        d2 = (q * np.float32(-2.0)) @ xb.T
        d2 += xb_sq[None, :]
        if self_task:
            d2[np.arange(e - s), np.arange(s, e)] = -np.inf
        blk = smallest(d2, width)
        ids[s:e] = blk
        dist[s:e] = pair_distances(q[:, None, :], xb[blk], metric)
    return ids, dist


# ----------------------------------------------------------------------------
# Ground truth cache


def gt_path(dataset: str, n: int, n_queries: int, seed: int, k: int, metric: str) -> Path:
    return cache_dir() / "gt" / f"v{CACHE_VERSION}-{dataset}-n{n}-q{n_queries}-s{seed}-k{k}-{metric}.npz"


def save_gt(path: Path, ids: np.ndarray, dist: np.ndarray, data_crc: int) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp.npz")
    np.savez(tmp, ids=ids, dist=dist, crc=np.uint64(data_crc))
    os.replace(tmp, path)


def load_gt(path: Path, data_crc: int) -> tuple[np.ndarray, np.ndarray] | None:
    """The cached (ids, dist), or None when absent or made from other data."""
    try:
        with np.load(path) as f:
            if int(f["crc"]) != data_crc:
                return None
            return f["ids"], f["dist"]
    except (OSError, KeyError, ValueError):
        return None


def truth_from_exact(ids: np.ndarray, dist: np.ndarray, self_task: bool) -> tuple[np.ndarray, np.ndarray]:
    """Strip the self column of an exact self-kNN result."""
    if self_task:
        return ids[:, 1:], dist[:, 1:]
    return ids, dist


# ----------------------------------------------------------------------------
# Recall


def clean_rows(result: np.ndarray, n: int, k: int, self_task: bool) -> tuple[np.ndarray, np.ndarray]:
    """The first k usable ids of each row, and a mask of which slots are filled.

    Dropped: ids outside [0, n) (libraries pad missing answers with -1 or a
    huge sentinel), repeats of an id within a row, and, for self-kNN, the row's
    own id wherever it appears.
    """
    res = np.asarray(result)
    if res.ndim != 2:
        raise ValueError("result ids must be a 2-D array")
    res = res.astype(np.int64, copy=False) if res.dtype != np.uint64 else \
        np.where(res >= np.uint64(n), np.uint64(n), res).astype(np.int64)
    nq, m = res.shape
    keep = (res >= 0) & (res < n)
    if self_task:
        keep &= res != np.arange(nq)[:, None]
    if m > 1:
        order = np.argsort(res, axis=1, kind="stable")
        srt = np.take_along_axis(res, order, axis=1)
        dup = np.zeros_like(keep)
        np.put_along_axis(dup, order[:, 1:], srt[:, 1:] == srt[:, :-1], axis=1)
        keep &= ~dup
    keep &= np.cumsum(keep, axis=1) <= k
    # Compact the kept ids to the left.
    pos = np.argsort(~keep, axis=1, kind="stable")[:, :k]
    ids = np.take_along_axis(res, pos, axis=1)
    filled = np.take_along_axis(keep, pos, axis=1)
    if ids.shape[1] < k:
        pad = k - ids.shape[1]
        ids = np.pad(ids, ((0, 0), (0, pad)))
        filled = np.pad(filled, ((0, 0), (0, pad)))
    return np.where(filled, ids, 0), filled


def recall_at_k(base: np.ndarray, queries: np.ndarray | None, result: np.ndarray,
                gt_ids: np.ndarray, gt_dist: np.ndarray, metric: str,
                rtol: float = 1e-5, atol: float = 1e-6, chunk: int = 8192) -> float:
    """Mean recall@k of `result` against the exact neighbours.

    k is the number of ground-truth columns.  A returned neighbour counts as a
    hit when it is one of the exact k-NN ids or when it lies no farther than
    the exact k-th neighbour (a tie): with duplicate points or equal distances
    any of the tied points is a correct answer.
    """
    self_task = queries is None
    n = base.shape[0]
    k = gt_ids.shape[1]
    if k == 0:
        return 1.0
    xb = prepare(base, metric)
    xq = xb if self_task else prepare(queries, metric)
    ids, filled = clean_rows(result, n, k, self_task)
    kth = gt_dist[:, -1].astype(np.float64)
    hits = 0
    for s in range(0, ids.shape[0], chunk):
        e = min(ids.shape[0], s + chunk)
        blk, fil = ids[s:e], filled[s:e]
        in_gt = (blk[:, :, None] == gt_ids[s:e, None, :]).any(axis=2)
        d = pair_distances(xq[s:e, None, :], xb[blk], metric)
        tie = d <= kth[s:e, None] * (1.0 + rtol) + atol
        hits += int(np.count_nonzero(fil & (in_gt | tie)))
    return hits / (ids.shape[0] * k)
