// Register-blocked matrix product shared by the Dense and MatMul kernels.
//
// C[i][j] = sum over k = 0 .. K-1, in order, of A[i][k] * B[k][j]: the sum
// starts at 0 and takes one fused multiply-add per k for float (one integer
// multiply-add with wrap-around for uint32). Tiles of P rows x V adjacent
// columns keep their sums in registers; each B row piece is loaded once for
// the P rows.
#ifndef CORVUS_KERNELS_REF_GEMMBLOCK_H
#define CORVUS_KERNELS_REF_GEMMBLOCK_H

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace corvus_gemm {

inline float MulAdd(float a, float b, float c) { return fmaf(a, b, c); }
inline uint32_t MulAdd(uint32_t a, uint32_t b, uint32_t c) { return a * b + c; }

template <typename T, int P, int V>
inline void Tile(const T* __restrict A, size_t sA, const T* __restrict B, size_t sB, T* __restrict C, size_t sC,
                 uint32_t K)
{
    T acc[P][V];
    for (int p = 0; p < P; ++p)
        for (int v = 0; v < V; ++v) acc[p][v] = T(0);
    for (uint32_t k = 0; k < K; ++k) {
        const T* b = B + k * sB;
        T bv[V];
        for (int v = 0; v < V; ++v) bv[v] = b[v];
        for (int p = 0; p < P; ++p) {
            const T a = A[p * sA + k];
            for (int v = 0; v < V; ++v) acc[p][v] = MulAdd(a, bv[v], acc[p][v]);
        }
    }
    for (int p = 0; p < P; ++p)
        for (int v = 0; v < V; ++v) C[p * sC + v] = acc[p][v];
}

// Columns [j, j + V) for every row, P rows at a time.
template <typename T, int P, int V>
inline void ColumnPanel(const T* A, size_t sA, const T* B, size_t sB, T* C, size_t sC, uint32_t M, uint32_t K)
{
    uint32_t i = 0;
    for (; i + P <= M; i += P) Tile<T, P, V>(A + i * sA, sA, B, sB, C + i * sC, sC, K);
    for (; i < M; ++i) Tile<T, 1, V>(A + i * sA, sA, B, sB, C + i * sC, sC, K);
}

// The whole M x N product. Panels of B (K x V) stay cache-resident while
// every row block of A passes over them.
template <typename T, int P, int V>
void Gemm(const T* A, size_t sA, const T* B, size_t sB, T* C, size_t sC, uint32_t M, uint32_t K, uint32_t N)
{
    uint32_t j = 0;
    for (; j + V <= N; j += V) ColumnPanel<T, P, V>(A, sA, B + j, sB, C + j, sC, M, K);
    for (; j + 4 <= N; j += 4) ColumnPanel<T, P, 4>(A, sA, B + j, sB, C + j, sC, M, K);
    for (; j < N; ++j) ColumnPanel<T, P, 1>(A, sA, B + j, sB, C + j, sC, M, K);
}

}  // namespace corvus_gemm

#endif
