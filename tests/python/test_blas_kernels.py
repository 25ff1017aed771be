"""Which OpenBLAS kernels the module runs."""
import os
import subprocess
import sys

_PROBE = (
    "import ctypes, _orlim\n"
    "f = ctypes.CDLL(_orlim.__file__).orlim_testing_blas_core\n"
    "f.restype = ctypes.c_char_p\n"
    "print(f().decode())\n"
)


def _core_in_a_fresh_process(env_update):
    # The kernels are fixed when the module loads OpenBLAS, so each setting needs its own process.
    env = {k: v for k, v in os.environ.items() if k != "OPENBLAS_CORETYPE"}
    env.update(env_update)
    out = subprocess.run([sys.executable, "-c", _PROBE], env=env, check=True,
                         capture_output=True, text=True)
    return out.stdout.strip()


def test_kernels_chosen_by_the_user_are_kept():
    # A family that Debian's OpenBLAS and the PyPI build (scipy-openblas32) both carry: the
    # latter leaves out the oldest ones (Prescott, Core2) and reports them as Katmai.
    assert _core_in_a_fresh_process({"OPENBLAS_CORETYPE": "Nehalem"}) == "Nehalem"


def test_the_module_never_runs_the_generic_kernels_on_its_own():
    flags = open("/proc/cpuinfo").read().split()
    if "avx2" in flags and "fma" in flags:
        assert _core_in_a_fresh_process({}) in {"SkylakeX", "Haswell"}
