#include "orlim/kernels/blas.hpp"

#include <cblas.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <semaphore>
#include <string>

#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"

// Which OpenBLAS to load, and how its symbols are named: Debian's is libopenblas.so.0 with plain
// CBLAS names; the PyPI build (scipy-openblas32) is libscipy_openblas.so with every symbol
// prefixed by "scipy_". The name is looked up first (on this module's run path, then the system
// search path), then the path found at configure time.
#ifndef ORLIM_OPENBLAS_NAME
#define ORLIM_OPENBLAS_NAME "libopenblas.so.0"
#endif
#ifndef ORLIM_OPENBLAS_PATH
#define ORLIM_OPENBLAS_PATH "libopenblas.so"
#endif
#ifndef ORLIM_BLAS_SYMBOL_PREFIX
#define ORLIM_BLAS_SYMBOL_PREFIX
#endif
#define ORLIM_BLAS_PASTE(prefix, name) prefix##name
#define ORLIM_BLAS_JOIN(prefix, name) ORLIM_BLAS_PASTE(prefix, name)
#define ORLIM_BLAS_QUOTE(name) #name
#define ORLIM_BLAS_STRING(name) ORLIM_BLAS_QUOTE(name)
// The routine `name` as this OpenBLAS declares it, and the symbol name to look up.
#define ORLIM_BLAS(name) ORLIM_BLAS_JOIN(ORLIM_BLAS_SYMBOL_PREFIX, name)
#define ORLIM_BLAS_SYMBOL(name) ORLIM_BLAS_STRING(ORLIM_BLAS(name))

namespace orlim {

namespace {

struct Blas {
  decltype(&ORLIM_BLAS(cblas_sgemm)) sgemm = nullptr;
  decltype(&ORLIM_BLAS(cblas_ssyrk)) ssyrk = nullptr;
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
  void* handle = dlopen(ORLIM_OPENBLAS_NAME, RTLD_NOW | RTLD_LOCAL);
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
  out.sgemm = reinterpret_cast<decltype(out.sgemm)>(symbol(ORLIM_BLAS_SYMBOL(cblas_sgemm)));
  out.ssyrk = reinterpret_cast<decltype(out.ssyrk)>(symbol(ORLIM_BLAS_SYMBOL(cblas_ssyrk)));
  // Leaves are already spread over the workers, one product per worker, so each product must
  // run on the calling thread: a BLAS that split it again would oversubscribe the cores and make
  // the workers queue for its own thread pool.
  reinterpret_cast<decltype(&ORLIM_BLAS(openblas_set_num_threads))>(
      symbol(ORLIM_BLAS_SYMBOL(openblas_set_num_threads)))(1);
  out.core = reinterpret_cast<decltype(&ORLIM_BLAS(openblas_get_corename))>(
      symbol(ORLIM_BLAS_SYMBOL(openblas_get_corename)))();
  return out;
}

const Blas& routines() {
  static const Blas blas = load();  // a failed load throws and is tried again on the next call
  return blas;
}

// OpenBLAS takes a work buffer (128 MiB of address space) for every call in flight, from a table
// it grows on demand and never shrinks, and when it cannot map another one it retries forever. So
// no more calls run at once than the process has CPUs: more could not run faster, and the buffers
// stay bounded however many workers a pool has.
class CallSlot {
 public:
  CallSlot() { slots().acquire(); }
  ~CallSlot() { slots().release(); }
  CallSlot(const CallSlot&) = delete;
  CallSlot& operator=(const CallSlot&) = delete;

 private:
  static std::counting_semaphore<>& slots() {
    static std::counting_semaphore<> free(static_cast<std::ptrdiff_t>(
        std::min<std::size_t>(available_cpus(), std::counting_semaphore<>::max())));
    return free;
  }
};

}  // namespace

void load_blas() { (void)routines(); }

std::string_view blas_core() { return routines().core; }

void sgemm_nt(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c,
              int ldc) {
  const Blas& blas = routines();
  const CallSlot slot;
  blas.sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c,
                   ldc);
}

void ssyrk_upper(int n, int k, const float* a, int lda, float* c, int ldc) {
  const Blas& blas = routines();
  const CallSlot slot;
  blas.ssyrk(CblasRowMajor, CblasUpper, CblasNoTrans, n, k, 1.0f, a, lda, 0.0f, c, ldc);
}

}  // namespace orlim
