"""Command line: run the methods side by side on one data set and task."""

from __future__ import annotations

import argparse
import ast
import importlib.util
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench import datasets, groundtruth, report
from bench.methods import REGISTRY

PACKAGE_PARENT = Path(__file__).resolve().parent.parent
DEFAULT_OUT = Path(__file__).resolve().parent / "results"
THREAD_VARS = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
               "NUMBA_NUM_THREADS", "RAYON_NUM_THREADS")
QUICK = {"dataset": "clustered", "n": 20_000, "task": "self"}
# Left out of --quick unless named in --methods: compiling its kernels alone
# takes 20-30 s here, half of the preset's minute.
QUICK_LEAVES_OUT = {"pynndescent": "left out of --quick (its JIT warm-up alone takes 20-30 s)"}
DEFAULTS = {"dataset": "clustered", "n": 100_000, "task": "self"}


def say(msg: str) -> None:
    print(f"[bench] {msg}", file=sys.stderr, flush=True)


def _floats(text: str) -> list[float]:
    return [float(v) for v in text.split(",") if v.strip()]


def _ints(text: str) -> list[int]:
    return [int(v) for v in text.split(",") if v.strip()]


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m bench",
        description="Benchmark our k-NN entry points against peer ANN libraries. Each method "
                    "runs in its own process with the same thread budget; recall is measured "
                    "against an exact k-NN that is cached on disk.",
        epilog="Methods: " + ", ".join(REGISTRY) + ". Data sets: " + ", ".join(datasets.NAMES)
               + ". Example: python -m bench --quick",
    )
    p.add_argument("--quick", action="store_true",
                   help="preset: clustered, 20,000 points, self-kNN, k=10, every installed method")
    p.add_argument("--dataset", choices=datasets.NAMES,
                   help=f"data set (default {DEFAULTS['dataset']})")
    p.add_argument("--n", type=int, help=f"base points (default {DEFAULTS['n']:,}; --quick "
                                          f"{QUICK['n']:,})")
    p.add_argument("--seed", type=int, default=0, help="data and index seed (default 0)")
    p.add_argument("--task", choices=("self", "query"),
                   help="self: self-kNN of the whole set; query: held-out queries with a "
                        "search-effort sweep (default self)")
    p.add_argument("--k", type=int, default=10, help="neighbours per point (default 10)")
    p.add_argument("--queries", type=int, default=1000,
                   help="held-out queries for --task query (default 1000)")
    p.add_argument("--methods", default="all",
                   help="comma-separated methods to run, or 'all' (default)")
    p.add_argument("--skip", default="", help="comma-separated methods to leave out")
    p.add_argument("--threads", type=int, default=2, help="thread budget of every method "
                                                          "(default 2)")
    p.add_argument("--timeout", type=float, default=900.0,
                   help="seconds allowed per method, 0 for none (default 900)")
    p.add_argument("--sweep", action="store_true",
                   help="self task: also sweep each method's search knob (query task always "
                        "sweeps)")
    p.add_argument("--ef-sweep", default="16,32,64,128,256",
                   help="values for beam_l / ef / efSearch / expansion_search")
    p.add_argument("--nprobe-sweep", default="1,2,4,8,16,32,64", help="values for faiss-ivf nprobe")
    p.add_argument("--epsilon-sweep", default="0.0,0.05,0.1,0.2,0.3",
                   help="values for pynndescent's query epsilon")
    p.add_argument("--list-sweep", default="12,16,24,32",
                   help="self task: list_size values of orlim.kneighbors_graph's refinement")
    p.add_argument("--neighbors-sweep", default="",
                   help="self task: pynndescent graph degrees (default k+1,2k,3k,6k)")
    p.add_argument("--set", action="append", default=[], metavar="METHOD.PARAM=VALUE",
                   help="override a method parameter, e.g. --set orlim.runs=2 "
                        "--set hnswlib.M=32 (repeatable)")
    p.add_argument("--out", type=Path, default=DEFAULT_OUT,
                   help="directory for the JSON, markdown and PNG results (default bench/results)")
    p.add_argument("--no-plot", action="store_true", help="skip the PNG plot")
    p.add_argument("--no-cold", action="store_true",
                   help="skip the cold-process row of each method (a fresh interpreter: "
                        "imports, data load and one call at the default setting, no warm-up); "
                        "--quick skips it too")
    p.add_argument("--cache-dir", type=Path,
                   help="where data sets and exact neighbours are cached "
                        "(default $ORLIM_BENCH_CACHE or ~/.cache/orlim-bench)")
    p.add_argument("--list", action="store_true", help="list data sets and methods, then exit")
    return p


def parse_overrides(items: list[str]) -> dict[str, dict]:
    out: dict[str, dict] = {}
    for item in items:
        try:
            lhs, value = item.split("=", 1)
            name, param = lhs.rsplit(".", 1)
        except ValueError:
            raise SystemExit(f"--set expects METHOD.PARAM=VALUE, got {item!r}")
        if name not in REGISTRY:
            raise SystemExit(f"--set: unknown method {name!r}")
        try:
            parsed = ast.literal_eval(value)
        except (ValueError, SyntaxError):
            parsed = value  # a bare word, e.g. quantize=sq8
        out.setdefault(name, {})[param] = parsed
    return out


def select_methods(wanted: str, skip: str) -> list[str]:
    names = list(REGISTRY) if wanted.strip() == "all" else [m.strip() for m in wanted.split(",") if m.strip()]
    unknown = [m for m in names + [s.strip() for s in skip.split(",") if s.strip()]
               if m not in REGISTRY]
    if unknown:
        raise SystemExit(f"unknown method(s): {', '.join(unknown)}; choose from {', '.join(REGISTRY)}")
    skipped = {s.strip() for s in skip.split(",")}
    names = [m for m in names if m not in skipped]
    # The exact method runs first: it makes the ground truth when none is cached.
    return sorted(names, key=lambda m: m != "exact")


def child_env(threads: int, method: str) -> dict:
    env = dict(os.environ)
    for var in THREAD_VARS:
        env[var] = str(threads)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(PACKAGE_PARENT)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    # The fused entry points print their build/query split when asked to.
    if method in ("orlim", "orlim-query"):
        env["ORLIM_PROFILE"] = "1"
    else:
        env.pop("ORLIM_PROFILE", None)
    return env


def orlim_attributes(threads: int) -> tuple[set[str], str | None]:
    """Which entry points the installed extension has, probed in a throwaway process."""
    if importlib.util.find_spec("_orlim") is None:
        return set(), "_orlim is not installed"
    probe = ("import json, _orlim; print(json.dumps([a for a in ('build_and_self_knn', "
             "'build_and_query', 'OrlimIndex', 'hnsw_self_knn') if hasattr(_orlim, a)]))")
    try:
        out = subprocess.run([sys.executable, "-c", probe], env=child_env(threads, ""),
                             capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return set(), "importing _orlim timed out"
    if out.returncode != 0:
        last = (out.stderr.strip().splitlines() or ["?"])[-1]
        return set(), f"_orlim fails to import: {last}"
    return set(json.loads(out.stdout)), None


def availability(names: list[str], task: str, threads: int) -> dict[str, str | None]:
    """None for a method that can run, else why it is skipped."""
    why: dict[str, str | None] = {}
    attrs, orlim_err = None, None
    for m in names:
        info = REGISTRY[m]
        if task not in info.tasks:
            why[m] = f"no {task} task"
        elif info.orlim_attr:
            if attrs is None:
                attrs, orlim_err = orlim_attributes(threads)
            if info.orlim_attr not in attrs:
                why[m] = orlim_err or f"_orlim has no {info.orlim_attr} yet"
            else:
                why[m] = None
        elif importlib.util.find_spec(info.module) is None:
            why[m] = f"{info.module} is not installed"
        else:
            why[m] = None
    return why


def _vm_hwm_mib(pid: int) -> float | None:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def run_child(job: dict, workdir: Path, threads: int, timeout: float | None) -> dict:
    job_path = workdir / "job.json"
    job["result"] = str(workdir / "result.json")
    job["out_dir"] = str(workdir)
    job_path.write_text(json.dumps(job))
    t0 = time.perf_counter()
    # The worker's stdout goes to our stderr so that stdout carries only the table.
    proc = subprocess.Popen([sys.executable, "-m", "bench.worker", str(job_path)],
                            env=child_env(threads, job["method"]), stdout=sys.stderr,
                            start_new_session=True)
    try:
        code = proc.wait(timeout=timeout)
    except BaseException as exc:
        hwm = _vm_hwm_mib(proc.pid)
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        if isinstance(exc, subprocess.TimeoutExpired):
            return {"status": "timeout", "points": [], "peak_rss_mib": hwm,
                    "wall_s": time.perf_counter() - t0}
        raise
    wall = time.perf_counter() - t0
    result_path = Path(job["result"])
    if result_path.exists():
        res = json.loads(result_path.read_text())
    else:
        res = {"points": [], "error": f"worker died (exit {code})"}
    res["status"] = "ok" if code == 0 and not res.get("error") else "error"
    res["wall_s"] = wall
    return res


def prepare_data(name: str, n: int, n_queries: int, seed: int) -> tuple[Path, Path | None, int]:
    """Write the data set (and queries) to the cache once; return the paths and a fingerprint."""
    ddir = groundtruth.cache_dir() / "data"
    ddir.mkdir(parents=True, exist_ok=True)
    stem = f"v{groundtruth.CACHE_VERSION}-{name}-n{n}-q{n_queries}-s{seed}"
    xp, qp = ddir / f"{stem}.base.npy", (ddir / f"{stem}.queries.npy" if n_queries else None)
    if not xp.exists() or (qp is not None and not qp.exists()):
        if n_queries:
            x, q = datasets.split(name, n, n_queries, seed)
        else:
            x, q = datasets.generate(name, n, seed), None
        for path, arr in ((xp, x), (qp, q)):
            if path is not None:
                tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp.npy")
                np.save(tmp, arr)
                os.replace(tmp, path)
    x = np.load(xp)
    q = np.load(qp) if qp else None
    crc = groundtruth.fingerprint(x) if q is None else groundtruth.fingerprint(x, q)
    return xp, qp, crc


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.list:
        for name in datasets.NAMES:
            i = datasets.info(name)
            print(f"data set {name:10s} d={i.dim:<4d} {i.metric:9s} {i.description}")
        for name, m in REGISTRY.items():
            print(f"method   {name:12s} tasks={'/'.join(m.tasks):10s} {m.description}")
        return 0
    preset = QUICK if args.quick else DEFAULTS
    dataset = args.dataset or preset["dataset"]
    n = args.n or preset["n"]
    task = args.task or preset["task"]
    n_queries = args.queries if task == "query" else 0
    if args.cache_dir:
        os.environ["ORLIM_BENCH_CACHE"] = str(args.cache_dir)
    info = datasets.info(dataset)
    if info.max_points is not None and n + n_queries > info.max_points:
        if n_queries >= info.max_points:
            n_queries = max(1, info.max_points // 10)
        n = info.max_points - n_queries
        say(f"{dataset} has {info.max_points} points: using n={n}" +
            (f" and {n_queries} queries" if n_queries else ""))
    if n < 2 or args.k < 1 or args.threads < 1:
        raise SystemExit("need --n >= 2, --k >= 1 and --threads >= 1")
    k = min(args.k, n - 1) if task == "self" else min(args.k, n)
    if k != args.k:
        say(f"k lowered to {k} for n={n}")
    overrides = parse_overrides(args.set)
    names = select_methods(args.methods, args.skip)
    timeout = args.timeout if args.timeout > 0 else None
    config = {"dataset": dataset, "n": n, "dim": info.dim, "metric": info.metric, "task": task,
              "n_queries": n_queries, "k": k, "threads": args.threads, "seed": args.seed,
              "timeout_s": timeout, "sweep": task == "query" or args.sweep,
              "ef_sweep": _ints(args.ef_sweep), "nprobe_sweep": _ints(args.nprobe_sweep),
              "epsilon_sweep": _floats(args.epsilon_sweep),
              "list_sweep": _ints(args.list_sweep),
              "neighbors_sweep": _ints(args.neighbors_sweep) or sorted({k + 1, 2 * k, 3 * k, 6 * k}),
              "overrides": overrides, "cold": not (args.quick or args.no_cold)}

    say(f"data set {dataset} n={n} d={info.dim} metric={info.metric} seed={args.seed}"
        + (f" queries={n_queries}" if n_queries else ""))
    xp, qp, crc = prepare_data(dataset, n, n_queries, args.seed)
    x = np.load(xp)
    queries = np.load(qp) if qp else None
    gt_file = groundtruth.gt_path(dataset, n, n_queries, args.seed, k, info.metric)
    gt = groundtruth.load_gt(gt_file, crc)

    why = availability(names, task, args.threads)
    if args.quick and args.methods.strip() == "all":
        why.update({m: reason for m, reason in QUICK_LEAVES_OUT.items() if m in why})
    runnable = [m for m in names if why[m] is None]
    rows: list[dict] = []
    for m in names:
        if why[m] is not None and task in REGISTRY[m].tasks:
            say(f"skipping {m}: {why[m]}")
            rows.append({"method": m, "status": "skipped", "knob": None, "value": None,
                         "total_s": None, "note": f"skipped: {why[m]}"})
        elif why[m] is not None:
            say(f"skipping {m}: {why[m]}")

    base_job = {"data": str(xp), "queries": str(qp) if qp else None, "task": task, "k": k,
                 "metric": info.metric, "threads": args.threads, "seed": args.seed,
                 "data_crc": crc}
    if gt is None and "exact" not in runnable:
        runnable.insert(0, "(ground truth)")
    with tempfile.TemporaryDirectory(prefix="orlim-bench-") as tmp:
        for i, m in enumerate(runnable, 1):
            hidden = m == "(ground truth)"
            name = "exact" if hidden else m
            minfo = REGISTRY[name]
            job = dict(base_job, method=name, params=overrides.get(name, {}))
            kind = minfo.sweep_list(task)
            if config["sweep"] and kind:
                job["sweep"] = config[f"{kind}_sweep"]
            need_gt = name == "exact" and gt is None
            if need_gt:
                job["gt_path"] = str(gt_file)
            workdir = Path(tmp) / f"{i:02d}-{name}"
            workdir.mkdir()
            say(f"[{i}/{len(runnable)}] {m}" + (" (computing the exact neighbours)" if need_gt else ""))
            # The ground truth is needed for every recall figure, so it gets no timeout.
            res = run_child(job, workdir, args.threads, None if need_gt else timeout)
            if need_gt:
                gt = groundtruth.load_gt(gt_file, crc)
            if hidden:
                if gt is None:
                    say("could not compute the exact neighbours; recall will be missing")
                continue
            rows.extend(result_rows(m, res, x, queries, gt, info.metric, timeout))
            if config["cold"] and name != "exact" and res["status"] == "ok":
                cold_dir = Path(tmp) / f"{i:02d}-{name}-cold"
                cold_dir.mkdir()
                say(f"[{i}/{len(runnable)}] {m}: cold process")
                cold = run_child(dict(job, cold=True, sweep=None), cold_dir, args.threads, timeout)
                rows.extend(cold_rows(m, cold, x, queries, gt, info.metric, timeout))
    # Methods that could not run go last.
    rows.sort(key=lambda r: r["status"] == "skipped")
    print(report.markdown(config, rows))
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        stem = f"{dataset}-{task}-n{n}" + (f"-q{n_queries}" if n_queries else "") + \
               f"-k{k}-t{args.threads}"
        report.write_json(args.out / f"{stem}.json", config, rows)
        (args.out / f"{stem}.md").write_text(report.markdown(config, rows))
        written = [f"{stem}.json", f"{stem}.md"]
        if not args.no_plot and report.plot(args.out / f"{stem}.png", config, rows):
            written.append(f"{stem}.png")
        say(f"wrote {', '.join(written)} to {args.out}")
    return 0


def cold_rows(method: str, res: dict, x, queries, gt, metric: str, timeout) -> list[dict]:
    """The cold-process row: the worker's whole wall time, from its start to its exit."""
    rows = result_rows(method, res, x, queries, gt, metric, timeout)
    for row in rows:
        row.update(cold=True, default=True, knob="cold process", value=None)
        if row["status"] == "ok":
            row.update(build_s=None, query_s=None, qps=None, total_s=res["wall_s"],
                       note="fresh interpreter: imports, data load, one call, exit")
    return rows


def result_rows(method: str, res: dict, x, queries, gt, metric: str, timeout) -> list[dict]:
    rows = []
    common = {"method": method, "peak_rss_mib": res.get("peak_rss_mib"),
              "base_rss_mib": res.get("base_rss_mib"), "wall_s": res.get("wall_s"),
              "cpu_s": res.get("cpu_s"), "run_s": res.get("run_s")}
    for pt in res.get("points", []):
        row = dict(common, status="ok", knob=pt["knob"], value=pt["value"],
                   default=pt.get("default", True),
                   build_s=pt["build_s"], query_s=pt["query_s"], total_s=pt["total_s"],
                   recall=None, qps=None, note="", **{k: v for k, v in pt["extra"].items()})
        ids = np.load(pt["ids"])
        nq = x.shape[0] if queries is None else queries.shape[0]
        if ids.ndim != 2 or ids.shape[0] != nq:
            row["status"], row["note"] = "error", f"result has shape {ids.shape}, expected {nq} rows"
        elif gt is not None:
            row["recall"] = groundtruth.recall_at_k(x, queries, ids, gt[0], gt[1], metric)
        if queries is not None and pt["query_s"]:
            row["qps"] = nq / pt["query_s"]
        notes = []
        if pt["build_s"] is None and pt["query_s"] is None:
            notes.append("one call, not split")
        if "warmup_s" in pt["extra"]:
            notes.append(f"JIT warm-up {pt['extra']['warmup_s']:.1f} s excluded")
        if pt["extra"].get("library_default"):
            notes.append(f"the library's default degree: a {pt['value']}-NN graph, a bigger job")
        if "query_mode" in pt["extra"]:
            notes.append(f"ORLIM_QUERY={pt['extra']['query_mode']}")
        if "nlist" in pt["extra"]:
            notes.append(f"nlist={pt['extra']['nlist']}")
        if "n_neighbors" in pt["extra"] and pt["knob"] != "n_neighbors":
            notes.append(f"n_neighbors={pt['extra']['n_neighbors']}")
        row["note"] = "; ".join([row["note"]] + notes if row["note"] else notes)
        label = f" {row['knob']}={row['value']}" if row["knob"] else ""
        rec = f"{row['recall']:.4f}" if row["recall"] is not None else "n/a"
        say(f"  {method}{label}: total {row['total_s']:.2f} s, recall {rec}")
        rows.append(row)
    if res["status"] == "timeout":
        say(f"  {method}: timed out after {timeout:.0f} s")
        rows.append(dict(common, status="timeout", knob=None, value=None, total_s=None,
                         note=f"timeout after {timeout:.0f} s"))
    elif res["status"] == "error":
        say(f"  {method}: failed: {res.get('error')}")
        rows.append(dict(common, status="error", knob=None, value=None, total_s=None,
                         note=f"failed: {res.get('error')}"))
    return rows
