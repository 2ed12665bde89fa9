// Resize, padding and N-dimensional convolution test helpers: tensors from
// lists, random data, index walking and the definitions the kernels must meet.
#ifndef CORVUS_TESTS_RESIZE_UTIL_H
#define CORVUS_TESTS_RESIZE_UTIL_H

#include <cmath>

#include "datamovement_util.h"

namespace resize_test {

using U = std::vector<uint32_t>;

using corvus_test::DimsOf;
using corvus_test::ForEachIndex;
using dm_test::FillRandom;

inline float& At(const Tensor* t, const U& index) { return *(float*)dm_test::ElementAt(t, index); }

// Raw bytes of one element, for type-agnostic data movement checks.
inline std::vector<uint8_t> Bytes(const Tensor* t, const U& index)
{
    const uint8_t* p = dm_test::ElementAt(t, index);
    return std::vector<uint8_t>(p, p + DataTypeSize((DataType)t->dtype));
}

// A tensor with data; `gap` > 0 spreads every dimension but the last over a
// larger stride so that stride handling is exercised.
inline Tensor* MakeTensor(DataType dtype, const U& dims, uint32_t gap = 0, DataLayout layout = DL_NONE)
{
    return dm_test::MakeTensor(dtype, dims, gap, layout).release();
}

inline Tensor* F32Tensor(const U& dims, const std::vector<float>& values = {}, DataLayout layout = DL_NONE,
                         uint32_t gap = 0)
{
    Tensor* t = MakeTensor(DT_FLOAT32, dims, gap, layout);
    if (!values.empty()) {
        EXPECT_EQ(values.size(), (size_t)GetTensorSize(t));
        size_t k = 0;
        ForEachIndex(dims, [&](const U& index) { At(t, index) = values[k++]; });
    }
    return t;
}

// Float32 elements in row-major order.
inline std::vector<float> Values(const Tensor* t)
{
    std::vector<float> v;
    ForEachIndex(DimsOf(t), [&](const U& i) { v.push_back(At(t, i)); });
    return v;
}

// Reflection of output position o into an input of n elements after `begin`
// pads (the border element is not repeated).
inline uint32_t Mirror(uint32_t o, uint32_t begin, uint32_t n)
{
    const int64_t i = (int64_t)o - begin, last = n - 1;
    return (uint32_t)(i < 0 ? -i : i > last ? 2 * last - i : i);
}

// Nearest resize: the input index output o reads along one dimension.
inline uint32_t NearestSource(uint32_t o, uint32_t inDim, float scale)
{
    if (scale == 1.0f) return std::min(o, inDim - 1);
    return (uint32_t)std::min(std::floor((o + 0.5) / (double)scale), (double)(inDim - 1));
}

// Area resize: the share of input element i in output o — the length of
// [o/s, (o+1)/s) inside [i, i+1), the last element also owning everything
// beyond — times s. Scale 1 reads one element unscaled.
inline double AreaWeight(uint32_t o, uint32_t i, uint32_t inDim, float scale)
{
    if (scale == 1.0f) return i == std::min(o, inDim - 1) ? 1.0 : 0.0;
    const double r = 1.0 / scale, a = o * r, b = (o + 1) * r;
    const double hi = i + 1 == inDim ? INFINITY : i + 1.0;
    const double overlap = std::min(b, hi) - std::max(a, (double)i);
    return overlap > 0 ? overlap * scale : 0.0;
}

}  // namespace resize_test

#endif
