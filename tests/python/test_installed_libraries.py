"""An installed wheel takes oneTBB and OpenBLAS from the PyPI packages it depends on."""
import os
import subprocess
import sys
import textwrap

import pytest

_PROBE = textwrap.dedent("""
    import os, numpy as np, _orlim
    # Above the exact cut-off, so that the build runs its matrix products on OpenBLAS.
    x = np.random.default_rng(0).standard_normal((3000, 8), dtype=np.float32)
    _orlim.build_and_self_knn(x, 5, n_jobs=1)
    for line in open("/proc/self/maps"):
        path = line.split()[-1]
        name = os.path.basename(path)
        if name.startswith(("libtbb.so", "libopenblas", "libscipy_openblas.so")):
            print(path)
""")


@pytest.mark.skipif(os.environ.get("ORLIM_WHEEL_TEST") != "1",
                    reason="checks the wheel installed by scripts/test.sh")
def test_the_wheel_finds_its_libraries_in_the_environment_without_library_path():
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    out = subprocess.run([sys.executable, "-c", _PROBE], env=env, check=True,
                         capture_output=True, text=True)
    loaded = {os.path.basename(p): os.path.realpath(p) for p in out.stdout.split()}
    prefix = os.path.realpath(sys.prefix)
    assert set(loaded) == {"libtbb.so.12", "libscipy_openblas.so"}, loaded
    assert all(path.startswith(prefix + os.sep) for path in loaded.values()), loaded
