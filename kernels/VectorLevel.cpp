// Chooses the kernels' instruction-set level once, when the library is
// loaded: the best level that was built and that the processor runs.
#define CORVUS_MODULE "VectorLevel"
#include "VectorLevel.h"

#include "Report.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace corvus_internal {

namespace {

bool Runs(int level)
{
    if (level == 0) return true;
#if defined(__x86_64__) && CORVUS_VECTOR_LEVELS >= 2
    // x86-64-v3 and v4 as the psABI defines them; libgcc's checks include the
    // operating system's saving of the AVX and AVX-512 registers.
    // F16C, MOVBE and LZCNT (which the compiler may use at -march=x86-64-v3)
    // are read from CPUID directly: clang's builtin does not name them all.
    unsigned a = 0, b = 0, c1 = 0, d = 0, cx = 0;
    const bool basic = __get_cpuid(1, &a, &b, &c1, &d) != 0 && __get_cpuid(0x80000001, &a, &b, &cx, &d) != 0;
    const bool v3 = basic && (c1 & bit_F16C) != 0 && (c1 & bit_MOVBE) != 0 && (cx & bit_LZCNT) != 0 &&
                    __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    if (level == 1) return v3;
    if (level == 2)
        return v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
#endif
    return false;
}

int Best()
{
#if defined(__x86_64__) && CORVUS_VECTOR_LEVELS >= 2
    __builtin_cpu_init();
#endif
    int best = 0;
    for (int level = 1; level < CORVUS_VECTOR_LEVELS; ++level)
        if (Runs(level)) best = level;
    return best;
}

int g_level = Best();

}  // namespace

int SelectedVectorLevel() { return g_level; }

int VectorLevelsBuilt() { return CORVUS_VECTOR_LEVELS; }

bool VectorLevelSupported(int level) { return level >= 0 && level < CORVUS_VECTOR_LEVELS && Runs(level); }

const char* VectorLevelName(int level)
{
#if defined(CORVUS_NATIVE_BUILD)
    (void)level;
    return "native (-march=native)";
#elif defined(__x86_64__)
    static const char* const names[] = {"x86-64 (SSE2)", "x86-64-v3 (AVX2, FMA)", "x86-64-v4 (AVX-512)"};
    return level >= 0 && level < 3 ? names[level] : "unknown";
#elif defined(__aarch64__)
    return level == 0 ? "aarch64 (NEON)" : "unknown";
#else
    return level == 0 ? "baseline" : "unknown";
#endif
}

void ForceVectorLevel(int level)
{
    if (!VectorLevelSupported(level)) CV_FATAL("vector level %d is not supported here", level);
    g_level = level;
}

}  // namespace corvus_internal
