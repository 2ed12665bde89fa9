// The fused multiply-add peak of one core: twelve independent chains of
// vector multiply-adds kept in registers, at the widest vector width the
// processor runs (the width the library's kernels use there). GFLOP/s counts
// each lane's multiply-add as two operations, like the layer figures.
#include <benchmark/benchmark.h>

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace {

constexpr int64_t kSteps = 1 << 16;

#if defined(__x86_64__)
#define CHAINS(type, fma, set1, lanes)                                                                                 \
    type a = set1(0.999f), b = set1(1e-3f);                                                                            \
    type c0 = set1(1), c1 = set1(2), c2 = set1(3), c3 = set1(4), c4 = set1(5), c5 = set1(6);                           \
    type c6 = set1(7), c7 = set1(8), c8 = set1(9), c9 = set1(10), c10 = set1(11), c11 = set1(12);                      \
    for (int64_t i = 0; i < kSteps; ++i) {                                                                             \
        c0 = fma(c0, a, b);                                                                                            \
        c1 = fma(c1, a, b);                                                                                            \
        c2 = fma(c2, a, b);                                                                                            \
        c3 = fma(c3, a, b);                                                                                            \
        c4 = fma(c4, a, b);                                                                                            \
        c5 = fma(c5, a, b);                                                                                            \
        c6 = fma(c6, a, b);                                                                                            \
        c7 = fma(c7, a, b);                                                                                            \
        c8 = fma(c8, a, b);                                                                                            \
        c9 = fma(c9, a, b);                                                                                            \
        c10 = fma(c10, a, b);                                                                                          \
        c11 = fma(c11, a, b);                                                                                          \
    }                                                                                                                  \
    float out[lanes];                                                                                                  \
    (void)out;                                                                                                         \
    type s = c0 + c1 + c2 + c3 + c4 + c5 + c6 + c7 + c8 + c9 + c10 + c11;                                              \
    benchmark::DoNotOptimize(s);                                                                                       \
    return (double)kSteps * 12 * lanes * 2;

__attribute__((target("avx512f"))) double Avx512() { CHAINS(__m512, _mm512_fmadd_ps, _mm512_set1_ps, 16) }
__attribute__((target("avx2,fma"))) double Avx2() { CHAINS(__m256, _mm256_fmadd_ps, _mm256_set1_ps, 8) }

double Run(const char** name)
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        *name = "AVX-512";
        return Avx512();
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        *name = "AVX2+FMA";
        return Avx2();
    }
    *name = "none";
    return 0;
}
#elif defined(__aarch64__)
double Run(const char** name)
{
    *name = "NEON";
    float32x4_t a = vdupq_n_f32(0.999f), b = vdupq_n_f32(1e-3f);
    float32x4_t c[12];
    for (int k = 0; k < 12; ++k) c[k] = vdupq_n_f32((float)k);
    for (int64_t i = 0; i < kSteps; ++i)
        for (int k = 0; k < 12; ++k) c[k] = vfmaq_f32(b, c[k], a);
    for (int k = 1; k < 12; ++k) c[0] = vaddq_f32(c[0], c[k]);
    benchmark::DoNotOptimize(c[0]);
    return (double)kSteps * 12 * 4 * 2;
}
#else
double Run(const char** name)
{
    *name = "none";
    return 0;
}
#endif

void FmaPeak(benchmark::State& state)
{
    const char* name = "";
    double flops = 0;
    for (auto _ : state) flops += Run(&name);
    state.SetLabel(name);
    state.counters["GFLOP/s"] = benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsRate);
}
BENCHMARK(FmaPeak)->Unit(benchmark::kMicrosecond);

}  // namespace
