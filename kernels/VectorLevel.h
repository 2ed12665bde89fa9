// Instruction-set levels of the hot kernels, chosen at run time.
//
// A hot kernel source is compiled once per level: as part of the library at
// the baseline (x86-64: SSE2; aarch64: NEON) and, on x86-64, again as object
// libraries with -march=x86-64-v3 (AVX2 + FMA) and -march=x86-64-v4
// (AVX-512). CORVUS_VECTOR_LEVEL (0, 1, 2) says which copy is being compiled
// and CORVUS_VECTOR_LEVELS how many the build has (1 with CORVUS_NATIVE or on
// aarch64; an SVE level would be the aarch64 level 1).
//
// Each copy puts its code in namespace corvus_level<N>; the baseline copy
// also defines the library's extern "C" entry points, which call the copy of
// the selected level (CORVUS_LEVEL_DISPATCH). Inline helpers shared by the
// kernels (SimdLanes.h, GemmBlock.h) sit in a per-level inline namespace, so
// a vector helper compiled for one level is never linked into another.
// The arithmetic is the same source at every level, with every multiply-add
// written out and contraction off, so results are bit-identical.
#ifndef CORVUS_KERNELS_VECTORLEVEL_H
#define CORVUS_KERNELS_VECTORLEVEL_H

#ifndef CORVUS_VECTOR_LEVEL
#define CORVUS_VECTOR_LEVEL 0
#endif
#ifndef CORVUS_VECTOR_LEVELS
#define CORVUS_VECTOR_LEVELS 1
#endif

#define CORVUS_LEVEL_CAT2(a, b) a##b
#define CORVUS_LEVEL_CAT(a, b) CORVUS_LEVEL_CAT2(a, b)
// The namespace of the copy being compiled, and the inline namespace tag of
// the shared helpers.
#define CORVUS_LEVEL_NS CORVUS_LEVEL_CAT(corvus_level, CORVUS_VECTOR_LEVEL)
#define CORVUS_LEVEL_TAG CORVUS_LEVEL_CAT(level, CORVUS_VECTOR_LEVEL)
// The copies are the library's own: no exports, no calls through the PLT.
#define CORVUS_LEVEL_HIDDEN __attribute__((visibility("hidden")))

namespace corvus_internal {

// The level the kernels run at: the best the processor supports, chosen
// when the library is loaded.
int SelectedVectorLevel();
// Number of levels this build has, and whether the processor runs level n.
int VectorLevelsBuilt();
bool VectorLevelSupported(int level);
// Printed name of a level ("x86-64-v3", ...).
const char* VectorLevelName(int level);
// Test hook: run the kernels at `level` (must be supported).
void ForceVectorLevel(int level);

}  // namespace corvus_internal

// Declarations of the other levels' copies of an entry point.
#if CORVUS_VECTOR_LEVELS >= 3
#define CORVUS_LEVEL_DECLARE_OTHERS(decl)                                                                              \
    namespace corvus_level1 CORVUS_LEVEL_HIDDEN {                                                                      \
    decl;                                                                                                              \
    }                                                                                                                  \
    namespace corvus_level2 CORVUS_LEVEL_HIDDEN {                                                                      \
    decl;                                                                                                              \
    }
#define CORVUS_LEVEL_CASES(name, args)                                                                                 \
    case 2:                                                                                                            \
        return corvus_level2::name args;                                                                               \
    case 1:                                                                                                            \
        return corvus_level1::name args;
#elif CORVUS_VECTOR_LEVELS == 2
#define CORVUS_LEVEL_DECLARE_OTHERS(decl)                                                                              \
    namespace corvus_level1 CORVUS_LEVEL_HIDDEN {                                                                      \
    decl;                                                                                                              \
    }
#define CORVUS_LEVEL_CASES(name, args)                                                                                 \
    case 1:                                                                                                            \
        return corvus_level1::name args;
#else
#define CORVUS_LEVEL_DECLARE_OTHERS(decl)
#define CORVUS_LEVEL_CASES(name, args)
#endif

// In the baseline copy: the extern "C" function `name` (declared in a public
// or internal header) calls the selected level's copy. Elsewhere: nothing.
// Usage: CORVUS_LEVEL_DISPATCH(void, Fn, (const Tensor* a, int b), (a, b))
#if CORVUS_VECTOR_LEVEL == 0
#define CORVUS_LEVEL_DISPATCH(ret, name, params, args)                                                                 \
    CORVUS_LEVEL_DECLARE_OTHERS(ret name params)                                                                       \
    extern "C" ret name params                                                                                         \
    {                                                                                                                  \
        switch (corvus_internal::SelectedVectorLevel()) {                                                              \
            CORVUS_LEVEL_CASES(name, args)                                                                             \
        default:                                                                                                       \
            return corvus_level0::name args;                                                                           \
        }                                                                                                              \
    }
#else
#define CORVUS_LEVEL_DISPATCH(ret, name, params, args)
#endif

#endif
