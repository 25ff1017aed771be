// The two single-precision BLAS routines the build uses, taken from OpenBLAS at run time.
//
// OpenBLAS picks its kernels once, when it is loaded, from a table of CPU models: a processor
// newer than the library's table gets its oldest generic kernels (SSE3), several times slower
// than the ones the processor can run. So the library is not linked but loaded here, and unless
// the user has chosen a kernel family (OPENBLAS_CORETYPE), the family is chosen first from the
// instruction sets the CPU reports, which is what the table would give a model it knows.
#pragma once

#include <string_view>

namespace orlim {

// Loads OpenBLAS if it is not loaded yet and keeps it single-threaded; thread-safe, and cheap
// after the first call. Fails (internal failure) when the library or a routine cannot be found.
void load_blas();

// The kernel family OpenBLAS runs, as it names it (for example "SkylakeX" or "Haswell").
std::string_view blas_core();

// C = A * B^T, row-major: A is m x k, B is n x k, C is m x n; run on the calling thread.
void sgemm_nt(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c,
              int ldc);

// The upper triangle (with the diagonal) of C = A * A^T, row-major: A is n x k, C is n x n; the
// strictly lower triangle is left as it was.
void ssyrk_upper(int n, int k, const float* a, int lda, float* c, int ldc);

}  // namespace orlim
