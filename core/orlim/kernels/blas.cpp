#include "orlim/kernels/blas.hpp"

#include <cblas.h>
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "orlim/base/failure.hpp"

#ifndef ORLIM_OPENBLAS_PATH
#define ORLIM_OPENBLAS_PATH "libopenblas.so"
#endif

namespace orlim {

namespace {

struct Blas {
  decltype(&cblas_sgemm) sgemm = nullptr;
  decltype(&cblas_ssyrk) ssyrk = nullptr;
  std::string core;
};

// The kernel family for this CPU's instruction sets: the AVX-512 family needs the F, BW, DQ and
// VL parts (the CPU check also asks whether the system saves the wide registers), the AVX2
// family needs FMA as well. Nullptr leaves the choice to OpenBLAS.
const char* family_for_this_cpu() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
    return "SkylakeX";
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "Haswell";
  return nullptr;
}

// Sets an environment variable for the duration of the load only, when the user has not set it.
struct LoadSetting {
  LoadSetting(const char* name, const char* value)
      : name(name), set(value != nullptr && std::getenv(name) == nullptr) {
    if (set) setenv(name, value, 0);
  }
  ~LoadSetting() {
    if (set) unsetenv(name);
  }
  LoadSetting(const LoadSetting&) = delete;
  LoadSetting& operator=(const LoadSetting&) = delete;
  const char* name;
  bool set;
};

void* open_library() {
  // OpenBLAS reads these only while it initialises, so they are set just around the load and
  // removed again: nothing else in the process, nor any child, sees them. One thread also keeps
  // it from starting a pool of its own, whose threads would spin on the cores our workers use.
  const LoadSetting family("OPENBLAS_CORETYPE", family_for_this_cpu());
  const LoadSetting threads("OPENBLAS_NUM_THREADS", "1");
  // RTLD_LOCAL keeps its symbols out of the process's global scope, so another BLAS loaded
  // by someone else neither takes nor gives our routines.
  void* handle = dlopen("libopenblas.so.0", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) handle = dlopen(ORLIM_OPENBLAS_PATH, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

Blas load() {
  void* handle = open_library();
  if (handle == nullptr) {
    const char* why = dlerror();
    fail(std::string("cannot load OpenBLAS: ") + (why != nullptr ? why : "unknown reason"));
  }
  auto symbol = [handle](const char* name) {
    void* found = dlsym(handle, name);
    if (found == nullptr) fail(std::string("OpenBLAS lacks ") + name);
    return found;
  };
  Blas out;
  out.sgemm = reinterpret_cast<decltype(&cblas_sgemm)>(symbol("cblas_sgemm"));
  out.ssyrk = reinterpret_cast<decltype(&cblas_ssyrk)>(symbol("cblas_ssyrk"));
  // Leaves are already spread over the workers, one product per worker, so each product must
  // run on the calling thread: a BLAS that split it again would oversubscribe the cores and make
  // the workers queue for its own thread pool.
  reinterpret_cast<decltype(&openblas_set_num_threads)>(symbol("openblas_set_num_threads"))(1);
  out.core = reinterpret_cast<decltype(&openblas_get_corename)>(symbol("openblas_get_corename"))();
  return out;
}

const Blas& routines() {
  static const Blas blas = load();  // a failed load throws and is tried again on the next call
  return blas;
}

}  // namespace

void load_blas() { (void)routines(); }

std::string_view blas_core() { return routines().core; }

void sgemm_nt(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c,
              int ldc) {
  routines().sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c,
                   ldc);
}

void ssyrk_upper(int n, int k, const float* a, int lda, float* c, int ldc) {
  routines().ssyrk(CblasRowMajor, CblasUpper, CblasNoTrans, n, k, 1.0f, a, lda, 0.0f, c, ldc);
}

}  // namespace orlim
