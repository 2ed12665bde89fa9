// The copy engine of the data-movement kernels: moves a block of elements
// between two strided views, merging dimensions that are contiguous in both,
// copying contiguous rows with memcpy and tiling transposes so that reads
// and writes both stay in cache.
#ifndef CORVUS_KERNELS_REF_STRIDEDCOPY_H
#define CORVUS_KERNELS_REF_STRIDEDCOPY_H

#include <stdint.h>

#include <string>

#include "Tensor.h"

namespace corvus {
namespace dm {

// Copies the block shape[0..ndim-1] (ndim <= MAX_NDIM_VALUE) of elements of
// esize bytes: the element at coordinate c goes from src + sum(c[k] *
// srcStrides[k]) to dst + sum(c[k] * dstStrides[k]). Strides are in bytes and
// may be negative (reversed views) or zero (repeated source elements). The
// destination positions must not overlap each other or the source.
void StridedCopy(void* dst, const int64_t* dstStrides, const void* src, const int64_t* srcStrides,
                 const uint32_t* shape, uint32_t ndim, uint32_t esize);

// Calls f(offsets) for every coordinate of shape[0..n-1], the last
// dimension fastest, where offsets[k] is the sum of coordinate times
// strides[k] (K operands; byte or element strides as the caller likes).
// Nothing is called when an extent is 0; once for n = 0.
template <int K, class F>
void ForEachPosition(const uint32_t* shape, uint32_t n, const int64_t* const (&strides)[K], F&& f)
{
    for (uint32_t d = 0; d < n; ++d)
        if (shape[d] == 0) return;
    int64_t off[K] = {};
    uint32_t idx[MAX_NDIM_VALUE] = {};
    for (;;) {
        f((const int64_t(&)[K])off);
        int d = (int)n - 1;
        for (; d >= 0; --d) {
            for (int k = 0; k < K; ++k) off[k] += strides[k][d];
            if (++idx[d] < shape[d]) break;
            idx[d] = 0;
            for (int k = 0; k < K; ++k) off[k] -= strides[k][d] * (int64_t)shape[d];
        }
        if (d < 0) return;
    }
}

// Strides of a tensor in bytes.
void ByteStrides(const Tensor* t, int64_t* strides);

// Whether the dimensions from `from` inwards are stored densely (innermost stride 1).
bool IsDenseFrom(const Tensor* t, uint32_t from);

// "(d0,d1,...)".
std::string ShapeText(const uint32_t* dims, uint32_t n);
inline std::string ShapeText(const Tensor* t) { return ShapeText(t->shape.dimension, t->ndim); }

// Element count of a shape, or UINT64_MAX when it does not fit 32 bits.
uint64_t CheckedElementCount(const uint32_t* dims, uint32_t n);

}  // namespace dm
}  // namespace corvus

#endif
