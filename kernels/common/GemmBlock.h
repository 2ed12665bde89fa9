// Register-blocked matrix product shared by the Dense and MatMul kernels.
//
// C[i][j] = sum over k = 0 .. K-1, in order, of A[i][k] * B[k][j]: the sum
// starts at 0 and takes one fused multiply-add per k for float (one integer
// multiply-add with wrap-around for uint32). Tiles of P rows x 4Q adjacent
// columns keep their sums in vector registers; each piece of a B row is
// loaded once for the P rows. Float tiles use 8-lane vectors where the
// target has them in one register (AVX) or a register pair (NEON): the same
// multiply-adds per element, twice the width.
#ifndef CORVUS_KERNELS_REF_GEMMBLOCK_H
#define CORVUS_KERNELS_REF_GEMMBLOCK_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/SimdLanes.h"

namespace corvus_gemm {
// One copy per instruction-set level (see VectorLevel.h).
inline namespace CORVUS_LEVEL_TAG CORVUS_LEVEL_HIDDEN {

using corvus_simd::Lanes;
using corvus_simd::Load;
using corvus_simd::MulAdd;
using corvus_simd::Splat;
using corvus_simd::Store;

// The vector type of a tile 4Q columns wide.
template <typename T, int Q> struct TileVector {
    typedef typename Lanes<T>::type type;
};
#if defined(__AVX__) || defined(__aarch64__)
template <int Q> struct TileVector<float, Q> {
    typedef typename std::conditional<Q % 2 == 0, corvus_simd::f32x8, corvus_simd::f32x4>::type type;
};
#endif

template <typename T, int P, int Q>
inline void Tile(const T* __restrict A, size_t sA, const T* __restrict B, size_t sB, T* __restrict C, size_t sC,
                 uint32_t K)
{
    typedef typename TileVector<T, Q>::type V;
    constexpr int L = (int)(sizeof(V) / sizeof(T));
    constexpr int NV = 4 * Q / L;  // vectors per row of the tile
    V acc[P][NV];
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
        for (int q = 0; q < NV; ++q) acc[p][q] = V{};
    for (uint32_t k = 0; k < K; ++k) {
        const T* b = B + k * sB;
        V bv[NV];
#pragma GCC unroll 8
        for (int q = 0; q < NV; ++q) memcpy(&bv[q], b + L * q, sizeof(V));
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) {
            const V av = corvus_simd::Broadcast<V>(A[p * sA + k]);
#pragma GCC unroll 8
            for (int q = 0; q < NV; ++q) acc[p][q] = MulAdd(av, bv[q], acc[p][q]);
        }
    }
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
        for (int q = 0; q < NV; ++q) memcpy(C + p * sC + L * q, &acc[p][q], sizeof(V));
}

// One column (the ragged end of a row).
template <typename T, int P>
inline void TileColumn(const T* __restrict A, size_t sA, const T* __restrict B, size_t sB, T* __restrict C, size_t sC,
                       uint32_t K)
{
    T acc[P];
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p) acc[p] = T(0);
    for (uint32_t k = 0; k < K; ++k) {
        const T b = B[k * sB];
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) acc[p] = MulAdd(A[p * sA + k], b, acc[p]);
    }
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p) C[p * sC] = acc[p];
}

// Columns [j, j + 4Q) (Q = 0: one column) for every row, P rows at a time.
template <typename T, int P, int Q>
inline void ColumnPanel(const T* A, size_t sA, const T* B, size_t sB, T* C, size_t sC, uint32_t M, uint32_t K)
{
    uint32_t i = 0;
    if constexpr (Q > 0) {
        for (; i + P <= M; i += P) Tile<T, P, Q>(A + i * sA, sA, B, sB, C + i * sC, sC, K);
        for (; i < M; ++i) Tile<T, 1, Q>(A + i * sA, sA, B, sB, C + i * sC, sC, K);
    } else {
        for (; i + P <= M; i += P) TileColumn<T, P>(A + i * sA, sA, B, sB, C + i * sC, sC, K);
        for (; i < M; ++i) TileColumn<T, 1>(A + i * sA, sA, B, sB, C + i * sC, sC, K);
    }
}

// The whole M x N product. Panels of B (K x 4Q) stay cache-resident while
// every row block of A passes over them.
template <typename T, int P, int Q>
void Gemm(const T* A, size_t sA, const T* B, size_t sB, T* C, size_t sC, uint32_t M, uint32_t K, uint32_t N)
{
    uint32_t j = 0;
    for (; j + 4 * Q <= N; j += 4 * Q) ColumnPanel<T, P, Q>(A, sA, B + j, sB, C + j, sC, M, K);
    for (; j + 4 <= N; j += 4) ColumnPanel<T, P, 1>(A, sA, B + j, sB, C + j, sC, M, K);
    for (; j < N; ++j) ColumnPanel<T, P, 0>(A, sA, B + j, sB, C + j, sC, M, K);
}

}  // namespace CORVUS_LEVEL_HIDDEN
}  // namespace corvus_gemm

#endif
