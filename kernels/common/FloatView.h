/* Dense row-major float32 views of float32 or float16 tensors with any
 * strides, for the reduction, arg-max, cumulative-sum and einsum kernels.
 * A dense float32 tensor is used in place; anything else is gathered (and
 * widened) into a temporary once, so the kernels' loops see plain arrays.
 * Internal to the library. */
#ifndef CORVUS_KERNELS_REF_FLOATVIEW_H
#define CORVUS_KERNELS_REF_FLOATVIEW_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "Tensor.h"

namespace corvus {

// Calls fn(elementOffset) for every element of t in row-major order
// (offsets in elements, following the strides).
template <class Fn> void ForEachOffset(const Tensor* t, Fn fn)
{
    const uint32_t nd = t->ndim;
    uint64_t total = 1;
    for (uint32_t d = 0; d < nd; ++d) total *= t->shape.dimension[d];
    if (total == 0) return;
    if (nd == 0) {
        fn((size_t)0);
        return;
    }
    uint32_t idx[MAX_NDIM_VALUE] = {};
    const uint32_t inner = t->shape.dimension[nd - 1];
    const size_t innerStride = t->stride.dimension[nd - 1];
    for (uint64_t done = 0; done < total; done += inner) {
        size_t base = 0;
        for (uint32_t d = 0; d + 1 < nd; ++d) base += (size_t)idx[d] * t->stride.dimension[d];
        for (uint32_t j = 0; j < inner; ++j) fn(base + j * innerStride);
        for (int d = (int)nd - 2; d >= 0; --d) {
            if (++idx[d] < t->shape.dimension[d]) break;
            idx[d] = 0;
        }
    }
}

inline uint64_t ElementCount(const Tensor* t)
{
    uint64_t n = 1;
    for (uint32_t d = 0; d < t->ndim; ++d) n *= t->shape.dimension[d];
    return n;
}

// Read-only dense float32 view. The tensor must be DT_FLOAT32 or DT_FLOAT16.
class DenseFloatIn {
public:
    explicit DenseFloatIn(const Tensor* t) : count_(ElementCount(t))
    {
        if (t->dtype == DT_FLOAT32 && IsSerialData(t)) {
            ptr_ = (const float*)t->data;
            return;
        }
        storage_.resize(count_ > 0 ? count_ : 1);
        size_t k = 0;
        if (t->dtype == DT_FLOAT32) {
            const float* src = (const float*)t->data;
            ForEachOffset(t, [&](size_t off) { storage_[k++] = src[off]; });
        } else {
            std::vector<uint16_t> half(storage_.size());
            const uint16_t* src = (const uint16_t*)t->data;
            ForEachOffset(t, [&](size_t off) { half[k++] = src[off]; });
            float16_to_float32(half.data(), storage_.data(), (uint32_t)count_);
        }
        ptr_ = storage_.data();
    }
    const float* data() const { return ptr_; }
    uint64_t count() const { return count_; }

private:
    uint64_t count_;
    std::vector<float> storage_;
    const float* ptr_ = nullptr;
};

// Writable dense float32 view of an output; Commit() stores it (narrowing
// float16, following strides) unless the output was used in place.
class DenseFloatOut {
public:
    explicit DenseFloatOut(Tensor* t) : t_(t), count_(ElementCount(t))
    {
        if (t->dtype == DT_FLOAT32 && IsSerialData(t)) {
            ptr_ = (float*)t->data;
            return;
        }
        storage_.assign(count_ > 0 ? count_ : 1, 0.0f);
        ptr_ = storage_.data();
    }
    float* data() { return ptr_; }
    uint64_t count() const { return count_; }
    void Commit()
    {
        if (storage_.empty()) return;
        size_t k = 0;
        if (t_->dtype == DT_FLOAT32) {
            float* dst = (float*)t_->data;
            ForEachOffset(t_, [&](size_t off) { dst[off] = storage_[k++]; });
        } else {
            std::vector<uint16_t> half(storage_.size());
            float32_to_float16(storage_.data(), half.data(), (uint32_t)count_);
            uint16_t* dst = (uint16_t*)t_->data;
            ForEachOffset(t_, [&](size_t off) { dst[off] = half[k++]; });
        }
    }

private:
    Tensor* t_;
    uint64_t count_;
    std::vector<float> storage_;
    float* ptr_ = nullptr;
};

}  // namespace corvus

#endif
