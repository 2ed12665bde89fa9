// Helpers for the reduction, index and einsum tests: owned tensors built
// from values, shape lists, and a row-major multi-index walker.
#ifndef CORVUS_TESTS_REDUCE_UTIL_H
#define CORVUS_TESTS_REDUCE_UTIL_H

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "DataTypeConvert.h"
#include "Layers.h"
#include "Model.h"
#include "Tensor.h"
#include "test_util.h"

namespace reduce_test {

using Dims = std::vector<uint32_t>;

inline TensorShape ShapeOf(const Dims& d) { return corvus_test::Shape(d); }
using corvus_test::Count;
using corvus_test::DimsOf;

// A dense tensor that owns a copy of the values.
template <class T>
Tensor* Make(DataType dtype, const Dims& dims, const std::vector<T>& values)
{
    Tensor* t = CreateTensor(dtype, DL_NONE, (uint32_t)dims.size(), ShapeOf(dims), true);
    if (!values.empty()) memcpy(t->data, values.data(), values.size() * sizeof(T));
    return t;
}

inline Tensor* MakeF32(const Dims& dims, const std::vector<float>& v) { return Make(DT_FLOAT32, dims, v); }
inline Tensor* MakeI32(const Dims& dims, const std::vector<int32_t>& v) { return Make(DT_INT32, dims, v); }
inline Tensor* MakeF16(const Dims& dims, const std::vector<float>& v)
{
    std::vector<uint16_t> h(v.size());
    float32_to_float16(v.data(), h.data(), (uint32_t)v.size());
    return Make(DT_FLOAT16, dims, h);
}

template <class T>
std::vector<T> Values(const Tensor* t)
{
    const T* p = (const T*)t->data;
    return std::vector<T>(p, p + GetTensorSize(t));
}

inline std::vector<float> HalfValues(const Tensor* t)
{
    std::vector<float> f(GetTensorSize(t));
    float16_to_float32((const uint16_t*)t->data, f.data(), (uint32_t)f.size());
    return f;
}

// Values rounded through float16, so that half and float paths see the same numbers.
inline std::vector<float> HalfRounded(std::vector<float> v)
{
    std::vector<uint16_t> h(v.size());
    float32_to_float16(v.data(), h.data(), (uint32_t)v.size());
    float16_to_float32(h.data(), v.data(), (uint32_t)v.size());
    return v;
}

inline std::vector<float> RandomValues(size_t n, uint32_t seed, float lo = -4.0f, float hi = 4.0f)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Advances a row-major multi-index; false after the last position.
inline bool Next(std::vector<uint32_t>& idx, const Dims& dims)
{
    for (size_t k = dims.size(); k-- > 0;) {
        if (++idx[k] < dims[k]) return true;
        idx[k] = 0;
    }
    return false;
}

// An input layer of the given description (the description is not kept).
inline Layer* InputLayer(const char* name, DataType dtype, const Dims& dims)
{
    Tensor* t = CreateTensor(dtype, DL_NONE, (uint32_t)dims.size(), ShapeOf(dims), false);
    Layer* l = AddInputLayer(name, t);
    DestroyTensor(t);
    return l;
}

// Runs a model with the given outputs once, feeding the named tensors.
inline Layer** RunOnce(Model* model, const std::vector<ModelInput>& feeds)
{
    InitModel(model, 1);
    return Predict(model, (uint32_t)feeds.size(), feeds.empty() ? nullptr : feeds.data());
}

}  // namespace reduce_test

#endif
