"""Result rows to a markdown table, a JSON file and plots."""

from __future__ import annotations

import json
import math
import os
import platform
from importlib import metadata
from pathlib import Path

RECALL_FLOOR = 0.9

PACKAGES = ("orlim", "numpy", "hnswlib", "faiss-cpu", "pynndescent", "usearch", "scikit-learn")


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = {}
    for pkg in PACKAGES:
        try:
            versions[pkg] = metadata.version(pkg)
        except metadata.PackageNotFoundError:
            pass
    return {"cpu": cpu, "cpus_available": len(os.sched_getaffinity(0)),
            "python": platform.python_version(), "platform": platform.platform(),
            "versions": versions}


def _fmt(v, digits=3):
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "–"
    if isinstance(v, float):
        if v >= 1000:
            return f"{v:,.0f}"
        if v >= 100:
            return f"{v:.1f}"
        return f"{v:.{digits}f}" if v < 10 else f"{v:.2f}"
    return str(v)


def _mib(v) -> str:
    return "–" if v is None else f"{v:,.0f}"


def setting(row: dict) -> str:
    if row.get("cold"):
        return "cold process"
    return f"{row['knob']}={row['value']}" if row.get("knob") else "–"


def markdown(config: dict, rows: list[dict]) -> str:
    """The results table; a self-kNN sweep gets a table at default settings first."""
    head, table = _table(config, rows)
    if config["task"] == "self" and any(not r.get("default", True) for r in rows):
        _, defaults = _table(config, [r for r in rows if r.get("default", True)])
        return (f"{head}\n\nAt each method's default setting:\n\n{defaults}\n"
                f"Sweep of the search knobs:\n\n{table}")
    return f"{head}\n\n{table}"


def _table(config: dict, rows: list[dict]) -> tuple[str, str]:
    task = config["task"]
    k = config["k"]
    what = "self-kNN" if task == "self" else f"{config['n_queries']:,} held-out queries"
    head = (f"{config['dataset']}: n={config['n']:,}, d={config['dim']}, {config['metric']}, "
            f"{what}, k={k}, {config['threads']} threads, seed {config['seed']}")
    if task == "self":
        cols = ["Method", "Setting", "Build (s)", "Query (s)", "Total (s)", f"Recall@{k}",
                "Peak RSS (MiB)", "Notes"]
    else:
        cols = ["Method", "Setting", "Build (s)", "Query (s)", "QPS", f"Recall@{k}",
                "Peak RSS (MiB)", "Notes"]
    lines = ["| " + " | ".join(cols) + " |",
             "|" + "|".join(["---"] * 2 + ["---:"] * 5 + ["---"]) + "|"]
    for r in rows:
        if r["status"] != "ok" and r.get("total_s") is None:
            cells = [r["method"], setting(r), "–", "–", "–", "–", _mib(r.get("peak_rss_mib")),
                     r["note"]]
        else:
            mid = _fmt(r["total_s"]) if task == "self" or r.get("cold") else _fmt(r.get("qps"))
            cells = [r["method"], setting(r), _fmt(r.get("build_s")), _fmt(r.get("query_s")), mid,
                     _fmt(r.get("recall"), 4), _mib(r.get("peak_rss_mib")), r.get("note", "")]
        lines.append("| " + " | ".join(c.replace("|", "/") for c in cells) + " |")
    return head, "\n".join(lines) + "\n"


def write_json(path: Path, config: dict, rows: list[dict]) -> None:
    path.write_text(json.dumps({"config": config, "machine": machine(), "rows": rows}, indent=1))


def plot(path: Path, config: dict, rows: list[dict]) -> bool:
    """Recall against total time (self-kNN) or queries per second (queries)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    task = config["task"]
    fig, ax = plt.subplots(figsize=(7.0, 4.6), dpi=100)
    methods = []
    for r in rows:
        if r["method"] not in methods and r.get("recall") is not None:
            methods.append(r["method"])
    from bench.methods import REGISTRY

    order = list(REGISTRY)
    markers = "os^vD<>pPX*h"
    colors = plt.get_cmap("tab10").colors
    for m in methods:
        i = order.index(m) if m in order else len(order)
        ours = m.startswith("orlim")
        # Cold-process rows measure start-up, not the method's speed-recall curve.
        pts = [r for r in rows if r["method"] == m and r.get("recall") is not None
               and not r.get("cold")]
        if task == "self":
            pts = [p for p in pts if p.get("total_s")]
            xs, ys = [p["total_s"] for p in pts], [p["recall"] for p in pts]
        else:
            pts = sorted((p for p in pts if p.get("qps")), key=lambda p: p["recall"])
            xs, ys = [p["recall"] for p in pts], [p["qps"] for p in pts]
        if not xs:
            continue
        ax.plot(xs, ys, marker=markers[i % len(markers)], color=colors[i % len(colors)],
                linestyle="-" if len(xs) > 1 else "", linewidth=2.2 if ours else 1.2,
                markersize=8 if ours else 6, label=m)
    k = config["k"]
    from matplotlib.ticker import FuncFormatter

    plain = FuncFormatter(lambda v, _pos: f"{v:g}")

    # The interesting region is high recall; a few very low points (IVF with
    # nprobe 1, say) would squash it, so they fall off the chart.
    recalls = [r["recall"] for r in rows if r.get("recall") is not None]
    clipped = bool(recalls) and max(recalls) >= RECALL_FLOOR > min(recalls)
    if task == "self":
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(plain)
        ax.xaxis.set_minor_formatter(plain)
        ax.set_xlabel("total time, build + self-kNN (s, log scale)")
        ax.set_ylabel(f"recall@{k}" + (f" (below {RECALL_FLOOR} not shown)" if clipped else ""))
        if clipped:
            ax.set_ylim(RECALL_FLOOR, 1.002)
    else:
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _pos: f"{v:,.0f}"))
        ax.set_xlabel(f"recall@{k}" + (f" (below {RECALL_FLOOR} not shown)" if clipped else ""))
        ax.set_ylabel("queries per second (log scale)")
        if clipped:
            ax.set_xlim(RECALL_FLOOR, 1.002)
    ax.set_title(f"{config['dataset']} n={config['n']:,} d={config['dim']} {config['metric']}, "
                 f"{'self-kNN' if task == 'self' else 'held-out queries'}, "
                 f"{config['threads']} threads", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="best")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def main(argv: list[str]) -> int:
    """Redraw the table and plot of saved results: python -m bench.report FILE.json..."""
    for name in argv:
        path = Path(name)
        saved = json.loads(path.read_text())
        path.with_suffix(".md").write_text(markdown(saved["config"], saved["rows"]))
        plot(path.with_suffix(".png"), saved["config"], saved["rows"])
        print(path.with_suffix(".md"), path.with_suffix(".png"))
    return 0


if __name__ == "__main__":
    import sys

    sys.exit(main(sys.argv[1:]))
