// Four-lane vectors (GCC vector extensions) for the register-blocked
// kernels: one NEON or SSE register each; eight-lane ones fill an AVX
// register and compile to register pairs on NEON/SSE. MulAdd keeps the kernels'
// arithmetic contract lane by lane (a fused multiply-add per lane for float,
// wrap-around multiply-add for uint32); GCC turns the four fmaf calls into
// one vector fused multiply-add where the target has one.
#ifndef CORVUS_KERNELS_REF_SIMDLANES_H
#define CORVUS_KERNELS_REF_SIMDLANES_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "VectorLevel.h"

// Wider-than-register vectors are passed by value only between inline
// functions of one library, so GCC's note about their calling convention does
// not concern us. The build passes -Wno-psabi: GCC does not honour a pragma
// for it.
//
// The helpers are always inlined: left to the compiler's budget, a large
// kernel body can end up calling MulAdd once per multiply-add.
#define CORVUS_SIMD_INLINE inline __attribute__((always_inline))

namespace corvus_simd {
// One copy per instruction-set level (see VectorLevel.h).
inline namespace CORVUS_LEVEL_TAG CORVUS_LEVEL_HIDDEN {

typedef float f32x4 __attribute__((vector_size(16)));
typedef uint32_t u32x4 __attribute__((vector_size(16)));
typedef float f32x8 __attribute__((vector_size(32)));
typedef float f32x16 __attribute__((vector_size(64)));

// Width-generic load, store and broadcast for the float vectors.
template <typename V> CORVUS_SIMD_INLINE V LoadV(const float* p)
{
    V v;
    memcpy(&v, p, sizeof(v));
    return v;
}
template <typename V> CORVUS_SIMD_INLINE void StoreV(float* p, V v) { memcpy(p, &v, sizeof(v)); }
// Every lane a: one broadcast instruction (GCC builds a lane-by-lane
// initialisation as a chain of inserts; clang recognises it).
template <typename V, typename T> CORVUS_SIMD_INLINE V Broadcast(T a)
{
#if defined(__clang__)
    V v;
#pragma unroll
    for (int k = 0; k < (int)(sizeof(V) / sizeof(T)); ++k) v[k] = a;
    return v;
#else
    typedef int32_t Lane0 __attribute__((vector_size(sizeof(V))));
    const V v = {a};
    return __builtin_shuffle(v, Lane0{});
#endif
}

// A broadcast, not V{} + s: that addition turns -0 into +0 and costs an
// instruction per splat. V = float (one lane) is the scalar itself.
template <typename V> CORVUS_SIMD_INLINE V SplatV(float s)
{
    if constexpr (sizeof(V) == sizeof(float))
        return s;
    else
        return Broadcast<V>(s);
}

template <typename T> struct Lanes;
template <> struct Lanes<float> {
    typedef f32x4 type;
};
template <> struct Lanes<uint32_t> {
    typedef u32x4 type;
};

template <typename T> CORVUS_SIMD_INLINE typename Lanes<T>::type Load(const T* p)
{
    typename Lanes<T>::type v;
    memcpy(&v, p, sizeof(v));
    return v;
}

template <typename T> CORVUS_SIMD_INLINE void Store(T* p, typename Lanes<T>::type v) { memcpy(p, &v, sizeof(v)); }

template <typename T> CORVUS_SIMD_INLINE typename Lanes<T>::type Splat(T s)
{
    return typename Lanes<T>::type{s, s, s, s};
}

CORVUS_SIMD_INLINE float MulAdd(float a, float b, float c) { return fmaf(a, b, c); }
CORVUS_SIMD_INLINE uint32_t MulAdd(uint32_t a, uint32_t b, uint32_t c) { return a * b + c; }

CORVUS_SIMD_INLINE f32x4 MulAdd(f32x4 a, f32x4 b, f32x4 c)
{
    f32x4 r;
    r[0] = fmaf(a[0], b[0], c[0]);
    r[1] = fmaf(a[1], b[1], c[1]);
    r[2] = fmaf(a[2], b[2], c[2]);
    r[3] = fmaf(a[3], b[3], c[3]);
    return r;
}
CORVUS_SIMD_INLINE u32x4 MulAdd(u32x4 a, u32x4 b, u32x4 c) { return a * b + c; }

CORVUS_SIMD_INLINE f32x8 MulAdd(f32x8 a, f32x8 b, f32x8 c)
{
    f32x8 r;
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) r[k] = fmaf(a[k], b[k], c[k]);
    return r;
}
CORVUS_SIMD_INLINE f32x16 MulAdd(f32x16 a, f32x16 b, f32x16 c)
{
    f32x16 r;
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) r[k] = fmaf(a[k], b[k], c[k]);
    return r;
}

}  // namespace CORVUS_LEVEL_HIDDEN
}  // namespace corvus_simd

#endif
