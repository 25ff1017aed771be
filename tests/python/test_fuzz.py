"""Random inputs through every entry point, in a child process: whatever the dtype, shape,
strides, values and parameters, a call returns a well-formed result or raises one of the
documented exceptions; the process never dies."""
import os
import subprocess
import sys
import textwrap

import _orlim
from conftest import SANITIZED

FUZZER = """
import sys, warnings
import numpy as np
sys.path.insert(0, {module_dir!r})
warnings.simplefilter("ignore")
import _orlim

rng = np.random.default_rng({seed})
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)


def pick(options):
    return options[rng.integers(len(options))]


def values(shape):
    kind = rng.integers(8)
    if kind == 0:
        return rng.standard_normal(shape)
    if kind == 1:  # near the float32 limits
        return rng.choice([-3e38, 3e38, 1e30, -1e-30], size=shape)
    if kind == 2:  # subnormals and zeros
        return rng.choice([0.0, 1e-45, -1e-42, 1e-38], size=shape)
    if kind == 3:  # exact duplicates
        return np.resize(rng.standard_normal(shape[-1:]), shape)
    if kind == 4:  # a few non-finite values
        out = rng.standard_normal(shape)
        if out.size:
            out.flat[rng.integers(out.size)] = rng.choice([np.nan, np.inf, -np.inf])
        return out
    if kind == 5:
        return rng.integers(-3, 3, size=shape).astype(float)
    if kind == 6:
        return np.zeros(shape)
    return rng.uniform(-1e6, 1e6, size=shape)


def matrix(cols=None):
    ndim = 2 if rng.integers(12) else pick([0, 1, 3])
    shape = tuple(pick([0, 1, 2, 3, 5, 17, 40, 70]) for _ in range(ndim))
    if ndim == 2 and cols is not None and rng.integers(6):
        shape = (shape[0], cols)
    a = values(shape)
    dtype = np.float32 if rng.integers(12) else pick([np.float64, np.float16, np.int32, bool])
    a = np.asarray(a).astype(dtype)
    if ndim == 2 and a.size:
        layout = rng.integers(7)
        if layout == 1:
            a = np.asfortranarray(a)
        elif layout == 2:
            a = a[::-1, ::-1]
        elif layout == 3:
            a = np.repeat(a, 2, axis=1)[:, ::2]
        elif layout == 4:  # rows that all alias one buffer row
            a = np.broadcast_to(a[:1], (int(rng.integers(1, 60)), a.shape[1]))
        elif layout == 5:  # unaligned data
            raw = np.zeros(a.size * a.itemsize + 1, np.uint8)[1:]
            b = raw.view(a.dtype).reshape(a.shape)
            b[...] = a
            a = b
        elif layout == 6:
            a.flags.writeable = False
    if rng.integers(50) == 0:
        return a.tolist()
    return a


def integer():
    if rng.integers(15):
        return pick([0, 1, 2, 3, 5, 8, 16, 17, 64, 300, True, np.int64(4)])
    return pick([-1, 2**64, 2**63 + 1, 2.5, None, "3"])


def maybe(d, name, make):
    if rng.integers(3) == 0:
        d[name] = make()


def params(names):
    out = {{}}
    for name in names:
        if name == "alpha":
            maybe(out, name, lambda: pick([1.2, 1.0, 0.0, -1.0, 1e30, float("nan"), float("inf"),
                                           2, "1.2"]))
        elif name in ("metric",):
            maybe(out, name, lambda: pick(["euclidean", "l2", "cosine", "angular", "cosine",
                                           "dot"]))
        elif name == "quantize":
            maybe(out, name, lambda: pick(["none", "sq8", "SQ8", "fp32", "", "int8"]))
        elif name == "runs":  # each run is a whole partition: a huge count only takes long
            maybe(out, name, lambda: pick([0, 1, 2, 3, 1, 2, -1, None]))
        elif name == "n_jobs":
            maybe(out, name, lambda: pick([0, 1, 2, 3, 300]))
        else:
            maybe(out, name, integer)
    return out


BUILD = ["metric", "m", "l_max", "r", "alpha", "fanout", "c_min", "c_max", "runs", "n_jobs",
         "seed"]


def check(result, rows, n):
    ids, dists, stride = result
    assert ids.dtype == np.uint32 and dists.dtype == np.float32, result
    assert ids.shape == dists.shape == (rows * stride,), (ids.shape, rows, stride)
    assert stride <= max(n, 1)
    assert (ids < max(n, 1)).all(), ids


for i in range({count}):
    x = matrix()
    cols = x.shape[1] if isinstance(x, np.ndarray) and x.ndim == 2 else None
    q = matrix(cols)
    k = integer()
    which = rng.integers(5)
    try:
        if which == 0:
            kw = params(BUILD + ["beam_l"])
            out = _orlim.build_and_self_knn(x, k, **kw)
            check(out, x.shape[0], x.shape[0])
        elif which == 1:
            kw = params(BUILD + ["beam_l"])
            out = _orlim.build_and_query(x, q, k, **kw)
            check(out, q.shape[0], x.shape[0])
        elif which == 2:
            kw = params(["metric", "m", "ef_construction", "ef_search", "quantize", "n_jobs",
                         "seed"])
            out = _orlim.hnsw_self_knn(x, k, **kw)
            check(out, x.shape[0], x.shape[0])
        else:
            index = _orlim.OrlimIndex(x, **params(BUILD))
            for _ in range(2):
                queries = matrix(cols) if rng.integers(2) else q
                out = index.query(queries, k, **params(["beam_l"]))
                check(out, queries.shape[0], x.shape[0])
    except ALLOWED:
        pass
    except BaseException as e:
        if type(e).__name__ != "InternalFailure":
            raise
print("done", flush=True)
"""


def test_random_calls_never_bring_the_process_down():
    count = 300 if SANITIZED else 3000
    source = textwrap.dedent(FUZZER).format(
        module_dir=os.path.dirname(os.path.abspath(_orlim.__file__)), seed=20261210, count=count)
    out = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                         timeout=900)
    assert out.returncode == 0, f"rc {out.returncode}\n{out.stderr[-3000:]}"
    assert out.stdout == "done\n"
