"""Faults that used to end the process: failed copies, threads that cannot start, Ctrl-C during a
long call, interpreter exit during a call. Each case runs in a child process, where a crash shows
as a return code instead of taking the test run down."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import _orlim
from conftest import SANITIZED

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE_DIR = os.path.dirname(os.path.abspath(_orlim.__file__))

# The child imports the module under test, lowers its address-space limit where asked, and proves
# at the end that the module still answers.
PRELUDE = """
import resource, sys, numpy as np
sys.path[:0] = [{module_dir!r}, {here!r}]
import _orlim

def limit_address_space(extra_bytes):
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + extra_bytes, resource.RLIM_INFINITY))

def still_usable():
    x = np.random.default_rng(9).standard_normal((300, 8), np.float32)
    ids, _, stride = _orlim.build_and_self_knn(x, 4, n_jobs=1)
    assert stride == 5 and ids.reshape(-1, 5)[:, 0].tolist() == list(range(300))
    print("usable", flush=True)
"""


def child(code, env=None, timeout=300):
    source = PRELUDE.format(module_dir=MODULE_DIR, here=HERE) + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, **(env or {})))


def assert_clean(out, lines):
    assert out.returncode == 0, f"rc {out.returncode}\n{out.stdout}\n{out.stderr}"
    assert out.stdout.splitlines() == lines, out.stderr
    assert out.stderr == ""


# The sanitizer reserves terabytes of shadow memory, so an address-space limit cannot be set.
needs_rlimit = pytest.mark.skipif(SANITIZED, reason="an address-space limit breaks ASan")


@needs_rlimit
def test_a_copy_that_cannot_be_allocated_raises_memory_error():
    # Broadcast views stand for 12e9 values without owning any; every entry point must copy them.
    out = child("""
        limit_address_space(2 << 30)
        small = np.random.default_rng(0).standard_normal((50, 8), np.float32)
        wide = np.broadcast_to(np.ones((1, 1), np.float32), (3000, 4 * 10**6))
        tall = np.broadcast_to(np.ones((1, 8), np.float32), (1_500_000_000, 8))
        index = _orlim.OrlimIndex(small, c_max=16, n_jobs=1)
        cases = {
            "self_knn": lambda: _orlim.build_and_self_knn(wide, 2),
            "query base": lambda: _orlim.build_and_query(tall, small, 2),
            "query queries": lambda: _orlim.build_and_query(small, tall, 2),
            "index": lambda: _orlim.OrlimIndex(wide),
            "index.query": lambda: index.query(tall, 2),
            "hnsw": lambda: _orlim.hnsw_self_knn(wide, 2),
        }
        for name, call in cases.items():
            try:
                call()
                print(name, "returned")
            except MemoryError:
                print(name, "MemoryError", flush=True)
        still_usable()
    """)
    assert_clean(out, [f"{name} MemoryError" for name in
                       ("self_knn", "query base", "query queries", "index", "index.query",
                        "hnsw")] + ["usable"])


THREAD_LIMITS = {
    # Not enough address space for 256 thread stacks: the dedicated pool is refused and the call
    # runs on the default pool.
    "256 threads in 1 GiB": ("limit_address_space(1 << 30)", {}, (256, 64, 16)),
    # Enough for the threads, not for one OpenBLAS buffer per worker: the BLAS calls in flight
    # must stay bounded (this used to hang).
    "256 then 64 threads in 4 GiB": ("limit_address_space(4 << 30)", {}, (256, 64)),
    # A default pool far larger than anything that can be started.
    "default pool of 100000": ("", {"RAYON_NUM_THREADS": "100000"}, (0,)),
}


@needs_rlimit
@pytest.mark.parametrize("limit, env, n_jobs", THREAD_LIMITS.values(), ids=list(THREAD_LIMITS))
def test_a_pool_that_cannot_be_started_never_aborts(limit, env, n_jobs):
    out = child(f"""
        {limit}
        x = np.random.default_rng(0).standard_normal((6000, 16), np.float32)
        want = _orlim.build_and_self_knn(x, 5, c_max=512, n_jobs=1)[0]
        for n_jobs in {n_jobs!r}:
            got = _orlim.build_and_self_knn(x, 5, c_max=512, n_jobs=n_jobs)[0]
            print(n_jobs, "same" if np.array_equal(got, want) else "different", flush=True)
        still_usable()
    """, env=env, timeout=300)
    # Pools of different sizes give the same result only up to the order of reservoir inserts;
    # what matters here is that every call returns.
    assert out.returncode == 0, f"rc {out.returncode}\n{out.stdout}\n{out.stderr}"
    assert [line.split()[0] for line in out.stdout.splitlines()] == \
        [str(n) for n in n_jobs] + ["usable"]
    assert "pthread_create" not in out.stderr


LONG_CALLS = {
    "build_and_self_knn": "_orlim.build_and_self_knn(x, 10)",
    "build_and_query, dedicated pool": "_orlim.build_and_query(x, x[:20000], 10, n_jobs=2)",
    "OrlimIndex": "_orlim.OrlimIndex(x, runs=3)",
    "hnsw_self_knn": "_orlim.hnsw_self_knn(x, 10, ef_construction=400)",
    "orlim.Index": "__import__('orlim').Index(x, runs=3, n_jobs=2)",
}


@pytest.mark.parametrize("call", LONG_CALLS.values(), ids=list(LONG_CALLS))
def test_ctrl_c_stops_a_long_call_within_two_seconds(call):
    source = PRELUDE.format(module_dir=MODULE_DIR, here=HERE) + textwrap.dedent(f"""
        x = np.random.default_rng(0).standard_normal((400_000, 32), np.float32)
        print("calling", flush=True)
        try:
            {call}
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        still_usable()
    """)
    proc = subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "calling\n"
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = proc.stdout.readline()  # blocks until the call has ended, one way or the other
        waited = time.monotonic() - sent
        rest, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
        proc.wait()
    assert line == "interrupted\n", err
    assert waited < 2.0, f"the call ended {waited:.1f} s after the signal"
    assert rest == "usable\n" and proc.returncode == 0, err


def test_interpreter_exit_during_calls_is_clean():
    # Daemon threads keep calling while the main thread leaves at once; the interpreter used to
    # end them inside native frames (an abort or a segfault in about one run in four).
    code = """
        import random, threading, time
        x = np.random.default_rng(0).standard_normal((3000, 16), np.float32)
        calls = [
            lambda: _orlim.build_and_self_knn(x[:1500], 10),
            lambda: _orlim.build_and_self_knn(x, 10, c_max=256, n_jobs=2),
            lambda: _orlim.OrlimIndex(x, c_max=256),
            lambda: _orlim.hnsw_self_knn(x[:1000], 5),
            lambda: __import__("orlim").Index(x, c_max=256, n_jobs=2).self_knn(5),
        ]
        def work(call):
            while True:
                call()
        for call in calls + calls[:1]:
            threading.Thread(target=work, args=(call,), daemon=True).start()
        time.sleep(random.uniform(0.05, 0.5))
        print("leaving", flush=True)
    """
    for _ in range(3 if SANITIZED else 12):
        assert_clean(child(code, timeout=120), ["leaving"])


def test_k_zero_for_queries_fails_before_the_build(monkeypatch, capfd):
    x = np.random.default_rng(3).standard_normal((5000, 8), np.float32)
    monkeypatch.setenv("ORLIM_PROFILE", "1")
    capfd.readouterr()
    with pytest.raises(BaseException, match=r"^k-NN queries need k >= 1$") as failure:
        _orlim.build_and_query(x, x[:10], 0)
    assert type(failure.value).__name__ == "InternalFailure"
    # The build prints its phase lines as it goes: a failure raised first prints none.
    assert "[orlim]" not in capfd.readouterr().err
    # Caller mistakes keep their own exceptions, raised before it.
    bad = x.copy()
    bad[7, 3] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        _orlim.build_and_query(bad, x[:10], 0)
