"""Worker pools, the released interpreter lock, internal failures and resource hygiene."""
import ctypes
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _orlim
from conftest import SANITIZED

X = np.random.default_rng(5).standard_normal((500, 16), np.float32)


def inject_failures(count, message):
    """Makes the next `count` parallel blocks of the native code fail with `message`."""
    hook = ctypes.CDLL(_orlim.__file__).orlim_testing_inject_block_failures
    hook.argtypes = [ctypes.c_size_t, ctypes.c_char_p]
    hook(count, message.encode())


@pytest.mark.parametrize("n_jobs", [0, 1, 2, 3, 8])
def test_results_do_not_depend_on_the_pool(n_jobs):
    want = _orlim.build_and_self_knn(X, 10, n_jobs=1)
    got = _orlim.build_and_self_knn(X, 10, n_jobs=n_jobs)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


def test_oversized_pool_requests_fall_back_to_the_default_pool():
    got = _orlim.build_and_self_knn(X[:50], 3, n_jobs=2**63)
    np.testing.assert_array_equal(got[0], _orlim.build_and_self_knn(X[:50], 3)[0])


@pytest.mark.parametrize("n_jobs", [0, 2])
def test_an_internal_failure_is_raised_and_the_module_stays_usable(n_jobs):
    inject_failures(1, "injected: worker block failed")
    try:
        _orlim.build_and_self_knn(X, 5, n_jobs=n_jobs)
    except Exception:  # noqa: BLE001 - the point: it must not be caught here
        pytest.fail("an internal failure was caught as an ordinary Exception")
    except BaseException as e:  # noqa: BLE001
        assert type(e).__bases__ == (BaseException,)
        assert str(e) == "injected: worker block failed"
    else:
        pytest.fail("no failure raised")
    ids, _, stride = _orlim.build_and_self_knn(X, 5, n_jobs=n_jobs)
    assert stride == 6 and ids.reshape(-1, 6)[:, 0].tolist() == list(range(500))


def test_the_interpreter_lock_is_released_during_the_computation():
    x = np.random.default_rng(1).standard_normal((3000, 256), np.float32)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        _orlim.build_and_self_knn(x, 10, n_jobs=1)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    during = [t for t in ticks if start < t < end]
    assert end - start > 0.05, "the call was too short to tell"
    # With the lock held for the whole call the other thread could not tick at all.
    assert len(during) >= 10


def test_calls_from_several_threads_at_once_give_their_own_results():
    inputs = [np.random.default_rng(s).standard_normal((400, 12), np.float32) for s in range(6)]
    wanted = [_orlim.build_and_self_knn(x, 8, n_jobs=1)[0] for x in inputs]
    got = [None] * len(inputs)

    def work(i):
        got[i] = _orlim.build_and_self_knn(inputs[i], 8, n_jobs=i % 3)[0]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(got, wanted):
        np.testing.assert_array_equal(g, w)


def test_pools_larger_than_the_machine_print_nothing():
    code = textwrap.dedent("""
        import numpy as np, _orlim
        x = np.random.default_rng(0).standard_normal((300, 8), np.float32)
        for n_jobs in (8, 16, 3, 0):
            _orlim.build_and_self_knn(x, 4, n_jobs=n_jobs)
        print("done")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, RAYON_NUM_THREADS="5"))
    assert out.returncode == 0, out.stderr
    assert out.stdout == "done\n"
    assert out.stderr == ""


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory")
def test_a_thousand_calls_leave_memory_flat():
    x = np.random.default_rng(2).standard_normal((300, 32), np.float32)

    def calls(count):
        for i in range(count):
            ids, dists, _ = _orlim.build_and_self_knn(x, 10, metric="cosine" if i % 2 else "l2",
                                                      n_jobs=i % 3)
            del ids, dists
            if i % 10 == 0:
                with pytest.raises(ValueError):
                    _orlim.build_and_self_knn(x, 10, metric="nope")

    calls(200)
    before = rss_bytes()
    calls(1000)
    growth = rss_bytes() - before
    # One call's result is 300 * 11 * 8 bytes; a leak of it per call would add 26 MB.
    assert growth < 4 * 2**20, f"memory grew by {growth / 2**20:.1f} MiB over 1000 calls"
