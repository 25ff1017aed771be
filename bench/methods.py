"""The methods under test.

Each method is a generator run inside its own worker process: it builds its
index once, then yields one `Point` per value of its search knob.  The worker
(bench.worker) times nothing itself; a method times its own build and query
phases, so fused one-call entry points can report what they can.
"""

from __future__ import annotations

import math
import os
import re
import sys
import tempfile
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Callable, Iterator

import numpy as np

now = time.perf_counter


@dataclass
class Job:
    """What a worker is asked to do; built from the job file the harness writes."""

    method: str
    task: str                    # "self" or "query"
    x: np.ndarray
    queries: np.ndarray | None   # None for the self task
    k: int
    metric: str
    threads: int
    seed: int
    params: dict
    sweep: list | None           # knob values; None means the default only
    min_query_time: float = 0.2  # repeat short query batches until this long
    progress: Callable[[str], None] = lambda msg: None
    # Restart the peak-memory count (after a warm-up); returns the peak so far.
    reset_peak: Callable[[], float | None] = lambda: None
    default_value: object = None  # the knob's value when not sweeping
    # A cold run: a fresh interpreter makes one call at the default setting, with no warm-up,
    # since that is what a script pays.
    cold: bool = False

    @property
    def n(self) -> int:
        return self.x.shape[0]

    @property
    def query_set(self) -> np.ndarray:
        return self.x if self.queries is None else self.queries

    @property
    def k_query(self) -> int:
        """Neighbours to ask for: k, plus one for the self slot in self-kNN."""
        return min(self.k + 1, self.n) if self.task == "self" else min(self.k, self.n)

    def knob_values(self, default):
        """The knob values to run: the default alone, or the sweep."""
        self.default_value = default
        return [default] if self.sweep is None else list(self.sweep)


@dataclass
class Point:
    knob: str | None
    value: object
    build_s: float | None
    query_s: float | None
    total_s: float
    ids: np.ndarray
    extra: dict = field(default_factory=dict)


def timed_query(job: Job, fn):
    """Run a query batch; short batches are repeated and the fastest run kept.

    The whole base set is queried in self-kNN, which is never short, so only
    held-out query batches ever repeat.
    """
    t = now()
    out = fn()
    best = now() - t
    spent, runs = best, 1
    while job.task == "query" and spent < job.min_query_time and runs < 5:
        t = now()
        fn()
        el = now() - t
        best = min(best, el)
        spent += el
        runs += 1
    return out, best


# ----------------------------------------------------------------------------
# Registry

@dataclass(frozen=True)
class MethodInfo:
    name: str
    module: str              # import name that must exist for the method to run
    tasks: tuple[str, ...]
    knob: str | None         # the swept search-side parameter
    sweep_kind: str | None   # which --*-sweep list feeds the knob
    defaults: dict
    description: str
    run: Callable[[Job], Iterator[Point]]
    orlim_attr: str | None = None  # for our own methods: the attribute of _orlim needed
    self_sweep_kind: str | None = None  # a different sweep list for the self task

    def sweep_list(self, task: str) -> str | None:
        return self.self_sweep_kind if task == "self" and self.self_sweep_kind else self.sweep_kind


REGISTRY: dict[str, MethodInfo] = {}


def method(name, module, tasks, knob, sweep_kind, defaults, description, orlim_attr=None,
           self_sweep_kind=None):
    def deco(fn):
        REGISTRY[name] = MethodInfo(name, module, tuple(tasks), knob, sweep_kind,
                                    dict(defaults), description, fn, orlim_attr, self_sweep_kind)
        return fn
    return deco


# ----------------------------------------------------------------------------
# Exact

@method("exact", "numpy", ("self", "query"), None, None, {},
        "blocked GEMM brute force (numpy BLAS); also the ground truth")
def run_exact(job: Job):
    from bench.groundtruth import exact_knn

    t = now()
    ids, dist = exact_knn(job.x, job.queries, job.k, job.metric)
    el = now() - t
    yield Point(None, None, None, el, el, ids, {"dist": dist})


# ----------------------------------------------------------------------------
# Ours

_PROFILE_RE = re.compile(r"\[orlim\] BUILD=([0-9.]+)s QUERY=([0-9.]+)s")


@contextmanager
def _capture_stderr():
    """Collect what native code writes to fd 2 (the timing lines), pass the rest on."""
    sys.stderr.flush()
    saved = os.dup(2)
    box: list[str] = []
    with tempfile.TemporaryFile() as tmp:
        os.dup2(tmp.fileno(), 2)
        try:
            yield box
        finally:
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            tmp.seek(0)
            text = tmp.read().decode("utf-8", "replace")
            box.append(text)
            rest = [ln for ln in text.splitlines() if not ln.startswith("[orlim] ")]
            if rest:
                sys.stderr.write("\n".join(rest) + "\n")


def _profile_split(text: str) -> tuple[float | None, float | None]:
    found = _PROFILE_RE.findall(text)
    if not found:
        return None, None
    b, q = found[-1]
    return float(b), float(q)


def _orlim_build_kwargs(job: Job) -> dict:
    keys = ("m", "l_max", "r", "alpha", "fanout", "c_min", "c_max", "runs")
    return {k: v for k, v in job.params.items() if k in keys}


ORLIM_QUERY_MODES = ("beam", "warm", "reservoir")


@method("orlim", "_orlim", ("self",), "beam_l", "ef", {"beam_l": 64, "query": "beam"},
        "build_and_self_knn (one call: build + self-kNN)", "build_and_self_knn")
def run_orlim(job: Job):
    import _orlim

    mode = str(job.params["query"])
    if mode not in ORLIM_QUERY_MODES:
        raise ValueError(f"orlim.query must be one of {', '.join(ORLIM_QUERY_MODES)}, not {mode!r}")
    # The extension reads its self-kNN mode from the environment at every call.
    os.environ["ORLIM_QUERY"] = mode
    extra = {} if mode == "beam" else {"query_mode": mode}
    for bl in job.knob_values(job.params["beam_l"]):
        with _capture_stderr() as box:
            t = now()
            ids, _dist, stride = _orlim.build_and_self_knn(
                job.x, job.k, metric=job.metric, beam_l=bl, n_jobs=job.threads,
                seed=job.seed, **_orlim_build_kwargs(job))
            el = now() - t
        b, q = _profile_split(box[0])
        yield Point("beam_l", bl, b, q, el, np.asarray(ids).reshape(-1, stride), dict(extra))


@method("orlim-graph", "orlim", ("self",), "list_size", "list",
        {"list_size": 0, "algorithm": "refine"},
        "orlim.kneighbors_graph (the package's self-kNN; refinement by default)")
def run_orlim_graph(job: Job):
    import orlim

    p = dict(job.params)
    algorithm = p.pop("algorithm")
    if algorithm == "refine":
        keys = ("c_max", "fanout", "runs", "max_rounds")
    else:
        keys = ("m", "l_max", "r", "alpha", "fanout", "c_min", "c_max", "runs", "beam_l")
        p.pop("list_size")
    settings = {key: v for key, v in p.items() if key in keys}
    values = job.knob_values(job.params["list_size"]) if algorithm == "refine" else [None]
    for size in values:
        extra = {} if size is None else {"list_size": size}
        t = now()
        g = orlim.kneighbors_graph(job.x, job.k_query, include_self=True, algorithm=algorithm,
                                   n_jobs=job.threads, seed=job.seed, **settings, **extra)
        ids = g.indices.reshape(job.n, job.k_query)
        el = now() - t
        knob = "list_size" if size is not None else None
        yield Point(knob, size, el, 0.0, el, ids, {"algorithm": algorithm})


@method("orlim-query", "_orlim", ("self", "query"), "beam_l", "ef", {"beam_l": 64},
        "build_and_query (one call: build + query batch)", "build_and_query")
def run_orlim_query(job: Job):
    import _orlim

    for bl in job.knob_values(job.params["beam_l"]):
        with _capture_stderr() as box:
            t = now()
            ids, _dist, stride = _orlim.build_and_query(
                job.x, job.query_set, job.k_query, metric=job.metric, beam_l=bl,
                n_jobs=job.threads, seed=job.seed, **_orlim_build_kwargs(job))
            el = now() - t
        b, q = _profile_split(box[0])
        yield Point("beam_l", bl, b, q, el, np.asarray(ids).reshape(-1, stride))


@method("orlim-index", "_orlim", ("self", "query"), "beam_l", "ef", {"beam_l": 64},
        "OrlimIndex: build once, query per beam_l", "OrlimIndex")
def run_orlim_index(job: Job):
    import _orlim

    t = now()
    index = _orlim.OrlimIndex(job.x, metric=job.metric, n_jobs=job.threads, seed=job.seed,
                              **_orlim_build_kwargs(job))
    build = now() - t
    job.progress(f"built in {build:.2f} s")
    for bl in job.knob_values(job.params["beam_l"]):
        (ids, _dist, stride), q = timed_query(
            job, lambda: index.query(job.query_set, job.k_query, beam_l=bl))
        yield Point("beam_l", bl, build, q, build + q, np.asarray(ids).reshape(-1, stride))


@method("orlim-hnsw", "_orlim", ("self",), "ef_search", "ef",
        {"m": 16, "ef_construction": 200, "ef_search": 64, "quantize": "none"},
        "hnsw_self_knn (our HNSW backend, one call)", "hnsw_self_knn")
def run_orlim_hnsw(job: Job):
    import _orlim

    p = job.params
    for ef in job.knob_values(p["ef_search"]):
        t = now()
        ids, _dist, stride = _orlim.hnsw_self_knn(
            job.x, job.k, metric=job.metric, m=p["m"], ef_construction=p["ef_construction"],
            ef_search=ef, quantize=p["quantize"], n_jobs=job.threads, seed=job.seed)
        el = now() - t
        yield Point("ef_search", ef, None, None, el, np.asarray(ids).reshape(-1, stride))


# ----------------------------------------------------------------------------
# Peers

def _unit_rows(a: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(a, axis=1, keepdims=True)
    norms[norms == 0] = 1.0
    return np.ascontiguousarray(a / norms, dtype=np.float32)


@method("hnswlib", "hnswlib", ("self", "query"), "ef", "ef",
        {"M": 16, "ef_construction": 200, "ef": 64}, "hnswlib HNSW")
def run_hnswlib(job: Job):
    import hnswlib

    p = job.params
    t = now()
    index = hnswlib.Index(space="l2" if job.metric == "euclidean" else "cosine", dim=job.x.shape[1])
    index.init_index(max_elements=job.n, ef_construction=p["ef_construction"], M=p["M"],
                     random_seed=job.seed)
    index.set_num_threads(job.threads)
    index.add_items(job.x, np.arange(job.n), num_threads=job.threads)
    build = now() - t
    job.progress(f"built in {build:.2f} s")
    for ef in job.knob_values(p["ef"]):
        # hnswlib cannot return more neighbours than ef.
        index.set_ef(max(ef, job.k_query))
        (labels, _d), q = timed_query(
            job, lambda: index.knn_query(job.query_set, k=job.k_query, num_threads=job.threads))
        yield Point("ef", ef, build, q, build + q, labels)


def _faiss_setup(job: Job):
    import faiss

    faiss.omp_set_num_threads(job.threads)
    metric = faiss.METRIC_L2 if job.metric == "euclidean" else faiss.METRIC_INNER_PRODUCT
    prep = (lambda a: np.ascontiguousarray(a, dtype=np.float32)) if job.metric == "euclidean" \
        else _unit_rows
    return faiss, metric, prep


@method("faiss-hnsw", "faiss", ("self", "query"), "efSearch", "ef",
        {"M": 16, "efConstruction": 200, "efSearch": 64}, "faiss IndexHNSWFlat")
def run_faiss_hnsw(job: Job):
    faiss, metric, prep = _faiss_setup(job)
    p = job.params
    t = now()
    xb = prep(job.x)
    index = faiss.IndexHNSWFlat(job.x.shape[1], p["M"], metric)
    index.hnsw.efConstruction = p["efConstruction"]
    index.add(xb)
    build = now() - t
    job.progress(f"built in {build:.2f} s")
    for ef in job.knob_values(p["efSearch"]):
        index.hnsw.efSearch = max(ef, job.k_query)
        (_d, labels), q = timed_query(job, lambda: index.search(prep(job.query_set), job.k_query))
        yield Point("efSearch", ef, build, q, build + q, labels)


def ivf_nlist(n: int) -> int:
    # About 4 sqrt(n) lists, but never fewer than 39 training points per list.
    return max(1, min(int(4 * math.sqrt(n)), n // 39))


@method("faiss-ivf", "faiss", ("self", "query"), "nprobe", "nprobe",
        {"nlist": None, "nprobe": 16}, "faiss IndexIVFFlat (nlist = 4 sqrt(n))")
def run_faiss_ivf(job: Job):
    faiss, metric, prep = _faiss_setup(job)
    p = job.params
    nlist = p["nlist"] or ivf_nlist(job.n)
    t = now()
    xb = prep(job.x)
    quantizer = faiss.IndexFlat(job.x.shape[1], metric)
    index = faiss.IndexIVFFlat(quantizer, job.x.shape[1], nlist, metric)
    index.cp.seed = job.seed
    index.train(xb)
    index.add(xb)
    build = now() - t
    job.progress(f"built in {build:.2f} s (nlist={nlist})")
    for nprobe in job.knob_values(p["nprobe"]):
        index.nprobe = min(nprobe, nlist)
        (_d, labels), q = timed_query(job, lambda: index.search(prep(job.query_set), job.k_query))
        yield Point("nprobe", nprobe, build, q, build + q, labels, {"nlist": nlist})


PYNNDESCENT_DEFAULT_NN = 30


@method("pynndescent", "pynndescent", ("self", "query"), "epsilon", "epsilon",
        {"n_neighbors": None, "epsilon": 0.1},
        "pynndescent NNDescent (self: its k-NN graph; query: prepared search index)",
        self_sweep_kind="neighbors")
def run_pynndescent(job: Job):
    import pynndescent

    p = job.params
    # Self-kNN asks for the same job as ours: a (k + 1)-NN graph, the point itself included.
    # The held-out query index keeps the library's default graph degree (30), or more when k
    # asks for it.
    if job.task == "self":
        default_nn = max(p["n_neighbors"] or job.k_query, job.k_query)
    else:
        default_nn = max(p["n_neighbors"] or PYNNDESCENT_DEFAULT_NN, job.k_query)
    # Batch queries run in parallel only when asked to; the thread budget applies to them too.
    opts = {"n_jobs": job.threads, "parallel_batch_queries": job.task == "query"}

    extra = {}
    if not job.cold:
        # The first calls compile the numba kernels.  Compile them first, in this
        # same process, with the same data and settings, and report that time on its
        # own.  A warm-up on a slice of the data left work to the first timed call (seen:
        # 9 s instead of 0.6 s for n_neighbors = 11 on 30,000 points).
        t = now()
        warm = pynndescent.NNDescent(job.x, metric=job.metric, n_neighbors=default_nn,
                                     random_state=job.seed, **opts)
        if job.task == "query":
            warm.prepare()
            warm.query(job.query_set[:20], k=job.k_query, epsilon=0.1)
        del warm
        warmup = now() - t
        # Count the peak from here on: the compiler's transient memory is not the
        # index's (what the compiled code keeps resident still counts).
        warm_peak = job.reset_peak()
        job.progress(f"compile warm-up {warmup:.1f} s (not counted)")
        extra = {"warmup_s": warmup, "warmup_peak_rss_mib": warm_peak}

    if job.task == "self":
        # Self-kNN is the k-NN graph the build produces; the knob is its degree.  Without a
        # sweep the library's own default degree runs too, as a labelled second row: it
        # builds a 30-NN graph, a bigger job, but it is what a user gets by default.
        values = job.knob_values(default_nn)
        if job.sweep is None and not job.cold and p["n_neighbors"] is None \
                and PYNNDESCENT_DEFAULT_NN > default_nn:
            values.append(PYNNDESCENT_DEFAULT_NN)
        for nn in values:
            nn = max(int(nn), job.k_query)
            t = now()
            index = pynndescent.NNDescent(job.x, metric=job.metric, n_neighbors=nn,
                                          random_state=job.seed, **opts)
            ids = index.neighbor_graph[0][:, :job.k_query]
            build = now() - t
            del index
            label = {"library_default": True} if nn != default_nn else {}
            yield Point("n_neighbors", nn, build, 0.0, build, ids, dict(extra, **label))
        return

    t = now()
    index = pynndescent.NNDescent(job.x, metric=job.metric, n_neighbors=default_nn,
                                  random_state=job.seed, **opts)
    index.prepare()
    build = now() - t
    job.progress(f"built in {build:.2f} s")
    for eps in job.knob_values(p["epsilon"]):
        (labels, _d), q = timed_query(
            job, lambda: index.query(job.query_set, k=job.k_query, epsilon=eps))
        yield Point("epsilon", eps, build, q, build + q, labels, dict(extra, n_neighbors=default_nn))


@method("usearch", "usearch", ("self", "query"), "expansion_search", "ef",
        {"connectivity": 16, "expansion_add": 200, "expansion_search": 64}, "usearch HNSW")
def run_usearch(job: Job):
    from usearch.index import Index

    p = job.params
    t = now()
    index = Index(ndim=job.x.shape[1], metric="l2sq" if job.metric == "euclidean" else "cos",
                  dtype="f32", connectivity=p["connectivity"], expansion_add=p["expansion_add"],
                  expansion_search=p["expansion_search"])
    index.add(np.arange(job.n), job.x, threads=job.threads)
    build = now() - t
    job.progress(f"built in {build:.2f} s")
    for ef in job.knob_values(p["expansion_search"]):
        index.expansion_search = max(ef, job.k_query)
        m, q = timed_query(job, lambda: index.search(job.query_set, job.k_query, threads=job.threads))
        keys = np.asarray(m.keys)
        if keys.ndim == 1:
            keys = keys.reshape(1, -1)
        # Missing answers come back as a sentinel key; mark them invalid.
        keys = np.where(keys < job.n, keys, job.n).astype(np.int64)
        yield Point("expansion_search", ef, build, q, build + q, keys)
