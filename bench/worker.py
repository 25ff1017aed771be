"""Worker process: runs one method on one data set and writes its results.

Started by the harness as ``python -m bench.worker JOB.json``; never meant to
be run by hand.  Running every method in a fresh process keeps thread pools,
JIT caches and allocator state from leaking between methods, and makes the
process's peak resident set a per-method figure.
"""

from __future__ import annotations

import json
import resource
import sys
import time
import traceback
from pathlib import Path

import numpy as np


def _peak_rss_mib() -> float:
    """Peak resident set of this process, in MiB.

    ru_maxrss is not used when the kernel offers better: it survives exec, so
    in a freshly started worker it still holds the high-water mark of the
    harness process that forked it.  VmHWM belongs to the new address space.
    """
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # KiB on Linux


def _cpu_s() -> float:
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime + ru.ru_stime


def _reset_peak() -> float | None:
    """Restart the kernel's peak-RSS count; returns the peak before the reset."""
    before = _peak_rss_mib()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return None  # the peak then includes the warm-up
    return before


def _progress(method: str):
    def say(msg: str) -> None:
        print(f"[bench]   {method}: {msg}", file=sys.stderr, flush=True)
    return say


def run(request: dict, points: list) -> dict:
    x = np.load(request["data"])
    queries = np.load(request["queries"]) if request.get("queries") else None
    base_rss = _peak_rss_mib()

    from bench import methods

    info = methods.REGISTRY[request["method"]]
    params = dict(info.defaults)
    params.update(request.get("params") or {})
    say = _progress(request["method"])
    job = methods.Job(method=request["method"], task=request["task"], x=x, queries=queries,
                      k=request["k"], metric=request["metric"], threads=request["threads"],
                      seed=request["seed"], params=params, sweep=request.get("sweep"),
                      min_query_time=request.get("min_query_time", 0.2), progress=say,
                      reset_peak=_reset_peak, cold=bool(request.get("cold")))
    out_dir = Path(request["out_dir"])
    cpu0, wall0 = _cpu_s(), time.perf_counter()
    for i, pt in enumerate(info.run(job)):
        ids_path = out_dir / f"ids-{i}.npy"
        np.save(ids_path, np.asarray(pt.ids))
        extra = {k: v for k, v in pt.extra.items() if k != "dist"}
        points.append({"knob": pt.knob, "value": pt.value, "build_s": pt.build_s,
                       "query_s": pt.query_s, "total_s": pt.total_s,
                       "ids": str(ids_path), "extra": extra,
                       "default": pt.knob is None or pt.value == job.default_value
                       or bool(pt.extra.get("library_default"))})
        label = f"{pt.knob}={pt.value} " if pt.knob else ""
        say(f"{label}total {pt.total_s:.2f} s")
        if request.get("gt_path") and "dist" in pt.extra:
            from bench.groundtruth import save_gt, truth_from_exact
            gi, gd = truth_from_exact(np.asarray(pt.ids), pt.extra["dist"], queries is None)
            save_gt(Path(request["gt_path"]), gi, gd, request["data_crc"])
    cpu, wall = _cpu_s() - cpu0, time.perf_counter() - wall0
    # CPU time over wall time: a check that the method kept to its thread budget.
    say(f"{cpu:.1f} s CPU over {wall:.1f} s: {cpu / max(wall, 1e-9):.2f} cores busy on average")
    return {"points": points, "params": params, "base_rss_mib": base_rss,
            "peak_rss_mib": _peak_rss_mib(), "cpu_s": cpu, "run_s": wall, "error": None}


def main(argv: list[str]) -> int:
    spec_path = Path(argv[0])
    request = json.loads(spec_path.read_text())
    points: list = []
    try:
        result = run(request, points)
        code = 0
    except BaseException as exc:  # the extension's internal failure derives from BaseException
        traceback.print_exc()
        result = {"points": points, "error": f"{type(exc).__name__}: {exc}",
                  "peak_rss_mib": _peak_rss_mib()}
        code = 1
    Path(request["result"]).write_text(json.dumps(result))
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
