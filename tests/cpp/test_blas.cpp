#include "orlim/kernels/blas.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace orlim {
namespace {

TEST(Blas, RunsTheKernelsThisCpuCanRun) {
  // OpenBLAS on its own gives a CPU model newer than its table its generic SSE3 kernels.
  if (std::getenv("OPENBLAS_CORETYPE") != nullptr) GTEST_SKIP() << "the user chose the kernels";
  load_blas();
  const std::string core(blas_core());
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
    EXPECT_EQ(core, "SkylakeX");
  } else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    EXPECT_EQ(core, "Haswell");
  }
  // The choice is made for the load only; the environment is left as it was.
  EXPECT_EQ(std::getenv("OPENBLAS_CORETYPE"), nullptr);
}

TEST(Blas, ProductsMatchTheDefinition) {
  // Small integers: every product is exact in float32, whatever the kernel's summation order.
  const int m = 3, n = 5, k = 7;
  std::vector<float> a(m * k), b(n * k);
  for (int i = 0; i < m * k; ++i) a[i] = static_cast<float>(i % 5) - 2.0f;
  for (int i = 0; i < n * k; ++i) b[i] = static_cast<float>(i % 7) - 3.0f;
  std::vector<float> c(m * n, -1.0f);
  sgemm_nt(m, n, k, a.data(), k, b.data(), k, c.data(), n);
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) {
      float want = 0.0f;
      for (int x = 0; x < k; ++x) want += a[i * k + x] * b[j * k + x];
      EXPECT_EQ(c[i * n + j], want) << i << "," << j;
    }
  }

  std::vector<float> g(n * n, 99.0f);
  ssyrk_upper(n, k, b.data(), k, g.data(), n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      float want = 99.0f;  // the strictly lower triangle is not written
      if (j >= i) {
        want = 0.0f;
        for (int x = 0; x < k; ++x) want += b[i * k + x] * b[j * k + x];
      }
      EXPECT_EQ(g[i * n + j], want) << i << "," << j;
    }
  }
}

}  // namespace
}  // namespace orlim
