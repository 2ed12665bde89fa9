/* Helpers for the element-wise operator tests: owned tensors, a naive
 * index-by-index broadcast and a naive batched matrix product. */
#ifndef CORVUS_TESTS_BROADCAST_UTIL_H
#define CORVUS_TESTS_BROADCAST_UTIL_H

#include <cmath>
#include <type_traits>

#include "test_util.h"

namespace bcast_test {

using Dims = std::vector<uint32_t>;
using corvus_test::Bits;
using corvus_test::DimsOf;
using corvus_test::Float;
using corvus_test::ForEachIndex;
using corvus_test::FromBits;
using corvus_test::Half;

/* Values for a tensor, converted to its element type. */
struct Vals {
    std::vector<double> v;
};

/* A tensor with its own (zeroed) data; strides default to dense. */
struct Owned {
    Tensor* t;
    Owned(DataType dtype, const Dims& dims, DataLayout layout = DL_NONE)
        : t(corvus_test::NewTensor(dtype, dims, {}, true, layout).release())
    {
    }
    Owned(DataType dtype, const Dims& dims, const Dims& strides)
        : t(corvus_test::NewTensor(dtype, dims, strides).release())
    {
    }
    Owned(DataType dtype, const Dims& dims, const Vals& values) : Owned(dtype, dims)
    {
        for (size_t i = 0; i < values.v.size(); ++i) {
            const double x = values.v[i];
            if (dtype == DT_FLOAT32) as<float>()[i] = (float)x;
            if (dtype == DT_FLOAT16) as<uint16_t>()[i] = Half((float)x);
            if (dtype == DT_INT32) as<int32_t>()[i] = (int32_t)x;
            if (dtype == DT_UINT32) as<uint32_t>()[i] = (uint32_t)x;
            if (dtype == DT_INT8) as<int8_t>()[i] = (int8_t)x;
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { DestroyTensor(t); }
    template <class E> E* as() const { return (E*)t->data; }
    operator Tensor*() const { return t; }
};

template <class E> void Put(const Owned& t, std::initializer_list<E> v) { std::copy(v.begin(), v.end(), t.as<E>()); }
template <class E> std::vector<E> Get(const Owned& t)
{
    return std::vector<E>(t.as<E>(), t.as<E>() + GetTensorSize(t.t));
}

/* Element offset in t of the output position outIdx under numpy broadcasting
 * (t right-aligned; extent-1 dimensions repeat). */
inline size_t BroadcastOffset(const Tensor* t, const Dims& outIdx)
{
    size_t off = 0;
    const size_t lead = outIdx.size() - t->ndim;
    for (uint32_t k = 0; k < t->ndim; ++k)
        if (t->shape.dimension[k] != 1) off += (size_t)outIdx[lead + k] * t->stride.dimension[k];
    return off;
}

inline size_t Offset(const Tensor* t, const Dims& idx) { return BroadcastOffset(t, idx); }

/* Deterministic pseudo-random values in [-range, range). */
struct Rng {
    uint32_t s;
    explicit Rng(uint32_t seed) : s(seed) {}
    uint32_t next()
    {
        s = s * 1664525u + 1013904223u;
        return s >> 8;
    }
    float uniform(float range) { return ((float)(next() & 0xFFFF) / 32768.0f - 1.0f) * range; }
};

// Every pair of shapes up to maxRank: each right-aligned position is full in
// both, 1 in either or 1 in both; leading positions of the longer shape are
// full or 1. Extents alternate 2 and 3 so swapped axes show.
inline std::vector<std::pair<Dims, Dims>> AllPairings(uint32_t maxRank)
{
    std::vector<std::pair<Dims, Dims>> pairs;
    for (uint32_t ra = 0; ra <= maxRank; ++ra)
        for (uint32_t rb = 0; rb <= maxRank; ++rb) {
            const uint32_t r = std::max(ra, rb), common = std::min(ra, rb), lead = r - common;
            const uint32_t variants = (1u << (2 * common)) << lead;
            for (uint32_t v = 0; v < variants; ++v) {
                Dims a(ra), b(rb);
                uint32_t bits = v;
                for (uint32_t k = 0; k < r; ++k) {
                    const uint32_t full = 2 + (k % 2);
                    if (k < lead) {
                        const uint32_t d = (bits & 1) ? 1 : full;
                        bits >>= 1;
                        (ra > rb ? a[k] : b[k]) = d;
                    } else {
                        a[k - (r - ra)] = (bits & 1) ? 1 : full;
                        b[k - (r - rb)] = (bits & 2) ? 1 : full;
                        bits >>= 2;
                    }
                }
                pairs.push_back({a, b});
            }
        }
    return pairs;
}

inline Dims BroadcastDims(Dims a, Dims b)
{
    a.insert(a.begin(), b.size() > a.size() ? b.size() - a.size() : 0, 1u);
    b.insert(b.begin(), a.size() - b.size(), 1u);
    for (size_t k = 0; k < a.size(); ++k) a[k] = std::max(a[k], b[k]);
    return a;
}

/* Batched product of A [..., M, K] and B [..., K, N] (any strides) into the
 * shape of out, row-major: batch dimensions right-aligned and broadcast;
 * float sums are fused multiply-adds over k in order, int32 sums wrap. */
template <class T> std::vector<T> NaiveMatmul(const Tensor* A, const Tensor* B, const Tensor* out)
{
    const Dims od = DimsOf(out), batch(od.begin(), od.end() - 2);
    const uint32_t M = od[od.size() - 2], N = od.back(), K = A->shape.dimension[A->ndim - 1];
    auto base = [&](const Tensor* t, const Dims& b) {
        size_t off = 0;
        for (uint32_t k = 0; k + 2 < t->ndim; ++k)
            if (t->shape.dimension[k] != 1) off += (size_t)b[k + batch.size() + 2 - t->ndim] * t->stride.dimension[k];
        return off;
    };
    const uint32_t *sa = A->stride.dimension + A->ndim - 2, *sb = B->stride.dimension + B->ndim - 2;
    std::vector<T> r;
    ForEachIndex(batch, [&](const Dims& b) {
        const T* pa = (const T*)A->data + base(A, b);
        const T* pb = (const T*)B->data + base(B, b);
        for (uint32_t i = 0; i < M; ++i)
            for (uint32_t j = 0; j < N; ++j) {
                T acc = 0;
                for (uint32_t k = 0; k < K; ++k) {
                    const T x = pa[i * sa[0] + k * sa[1]], y = pb[k * sb[0] + j * sb[1]];
                    if constexpr (std::is_same<T, float>::value)
                        acc = fmaf(x, y, acc);
                    else
                        acc = (T)((uint32_t)x * (uint32_t)y + (uint32_t)acc);
                }
                r.push_back(acc);
            }
    });
    return r;
}

}  // namespace bcast_test

#endif
