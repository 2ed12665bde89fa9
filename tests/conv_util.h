// Helpers shared by the convolution, dense and matmul tests: tensors with
// optional gaps in their strides, random data, bit-exact comparison and the
// fused activations written out plainly.
#ifndef CORVUS_TESTS_CONV_UTIL_H
#define CORVUS_TESTS_CONV_UTIL_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

#include "ActivationTypes.h"
#include "Padding.h"
#include "DataTypeConvert.h"
#include "Tensor.h"
#include "test_util.h"

namespace conv_test {

using corvus_test::Shape;

inline float* F32(const Tensor* t) { return (float*)t->data; }

// Explicit two-dimensional pads and the output size they give.
inline PaddingStruct Pads(uint32_t oh, uint32_t ow, uint32_t top = 0, uint32_t left = 0, uint32_t bottom = 0,
                          uint32_t right = 0)
{
    PaddingStruct p{};
    p.outputSize[0] = oh, p.outputSize[1] = ow;
    p.begin0 = top, p.begin1 = left, p.end0 = bottom, p.end1 = right;
    return p;
}

// Offset of element `index` through the tensor's own strides.
inline size_t Offset(const Tensor* t, std::initializer_list<uint32_t> index)
{
    size_t offset = 0;
    uint32_t k = 0;
    for (uint32_t i : index) offset += (size_t)i * t->stride.dimension[k++];
    return offset;
}
inline float& At(const Tensor* t, std::initializer_list<uint32_t> index) { return F32(t)[Offset(t, index)]; }

// A float32 tensor with data; `gap` extra elements after every row of each
// dimension but the last (filled with a marker), so kernels must honour the
// strides. Values uniform in [-1, 1] when rng is given, else 0.
inline Tensor* Make(DataLayout layout, std::initializer_list<uint32_t> dims, std::mt19937* rng, uint32_t gap = 0,
                    DataType dtype = DT_FLOAT32)
{
    const uint32_t nd = (uint32_t)dims.size();
    const TensorShape shape = Shape(dims);
    TensorStrides s;
    memset(&s, 0, sizeof(s));
    s.dimension[nd - 1] = 1;
    for (int k = (int)nd - 2; k >= 0; --k) s.dimension[k] = s.dimension[k + 1] * shape.dimension[k + 1] + gap;
    Tensor* t = CreateTensorWithStrides(dtype, layout, nd, shape, s, true);
    const size_t total = (size_t)shape.dimension[0] * s.dimension[0];
    if (dtype == DT_FLOAT32) {
        std::fill(F32(t), F32(t) + total, gap != 0 ? 777.0f : 0.0f);
        if (rng != nullptr) {
            std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
            std::vector<uint32_t> idx(nd, 0);
            for (uint32_t e = 0; e < GetTensorSize(t); ++e) {
                size_t off = 0;
                for (uint32_t k = 0; k < nd; ++k) off += (size_t)idx[k] * s.dimension[k];
                F32(t)[off] = dist(*rng);
                for (int k = (int)nd - 1; k >= 0; --k) {
                    if (++idx[k] < shape.dimension[k]) break;
                    idx[k] = 0;
                }
            }
        }
    }
    return t;
}

// The same values in another element type (dense, same shape and layout).
inline Tensor* ConvertedCopy(const Tensor* src, DataType dtype)
{
    Tensor* t = CreateTensor(dtype, (DataLayout)src->layout, src->ndim, src->shape, true);
    TensorDataConvert(t, src);
    return t;
}

inline float RoundHalf(float v)
{
    uint16_t h;
    float32_to_float16(&v, &h, 1);
    float r;
    float16_to_float32(&h, &r, 1);
    return r;
}

// The fused activations as the activation kernel defines them.
inline float Activate(float x, uint32_t kind, float alpha)
{
    switch (kind) {
        case ReLU:
            return x > 0.0f ? x : x * 0.0f;
        case ReLU6: {
            const float y = x > 0.0f ? x : x * 0.0f;
            return y > 6.0f ? 6.0f : y;
        }
        case LeakyReLU:
            return x > 0.0f ? x : x * alpha;
        default:
            return x;
    }
}

// Bit-identical floats (NaN equal to NaN, -0 different from +0).
inline ::testing::AssertionResult SameBits(float expected, float actual)
{
    if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
    if (memcmp(&expected, &actual, sizeof(float)) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

inline const uint32_t kFusedKinds[] = {None, ReLU, ReLU6, LeakyReLU, Linear};

}  // namespace conv_test

#endif
