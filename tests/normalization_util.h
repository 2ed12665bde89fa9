// Helpers shared by the normalization and recurrent tests: tensors with
// random data, element access through strides, half-precision values and a
// weights-file writer.
#ifndef CORVUS_TESTS_NORMALIZATION_UTIL_H
#define CORVUS_TESTS_NORMALIZATION_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "DataTypeConvert.h"
#include "Tensor.h"

namespace norm_test {

inline TensorShape Shape(std::initializer_list<uint32_t> dims)
{
    TensorShape s = {};
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    return s;
}

inline std::vector<uint32_t> Dims(const Tensor* t) { return {t->shape.dimension, t->shape.dimension + t->ndim}; }

inline Tensor* Described(std::initializer_list<uint32_t> dims, DataLayout layout = DL_NONE, DataType dt = DT_FLOAT32)
{
    return CreateTensor(dt, layout, (uint32_t)dims.size(), Shape(dims), false);
}

// A float32 tensor with data, uniform values in [lo, hi].
inline Tensor* Random(std::mt19937& rng, std::initializer_list<uint32_t> dims, float lo = -2.0f, float hi = 2.0f,
                      DataLayout layout = DL_NONE)
{
    Tensor* t = CreateTensor(DT_FLOAT32, layout, (uint32_t)dims.size(), Shape(dims), true);
    std::uniform_real_distribution<float> dist(lo, hi);
    for (uint32_t i = 0; i < GetTensorSize(t); ++i) ((float*)t->data)[i] = dist(rng);
    return t;
}

inline Tensor* FromValues(std::initializer_list<uint32_t> dims, const std::vector<float>& v)
{
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)dims.size(), Shape(dims), true);
    EXPECT_EQ(GetTensorSize(t), v.size());
    memcpy(t->data, v.data(), v.size() * sizeof(float));
    return t;
}

inline std::vector<float> Values(const Tensor* t)
{
    const float* p = (const float*)t->data;
    return std::vector<float>(p, p + GetTensorSize(t));
}

// Element offset of a row-major flat index through the tensor's strides.
inline uint64_t Offset(const Tensor* t, uint64_t flat)
{
    uint64_t off = 0;
    for (int k = (int)t->ndim - 1; k >= 0; --k) {
        off += (flat % t->shape.dimension[k]) * t->stride.dimension[k];
        flat /= t->shape.dimension[k];
    }
    return off;
}
inline float& At(const Tensor* t, uint64_t flat) { return ((float*)t->data)[Offset(t, flat)]; }

inline float Half(float x)
{
    uint16_t h;
    float32_to_float16(&x, &h, 1);
    float y;
    float16_to_float32(&h, &y, 1);
    return y;
}

// A float16 copy of a dense float32 tensor.
inline Tensor* ToHalf(const Tensor* t)
{
    Tensor* h = CreateTensor(DT_FLOAT16, (DataLayout)t->layout, t->ndim, t->shape, true);
    TensorDataConvert(h, t);
    return h;
}
inline std::vector<float> HalfValues(const Tensor* h)
{
    std::vector<float> v(GetTensorSize(h));
    float16_to_float32((const uint16_t*)h->data, v.data(), (uint32_t)v.size());
    return v;
}

// Little-endian weights file: entries of (name, sizes, float data).
class WeightsFile {
public:
    WeightsFile& Entry(const std::string& name, const std::vector<std::vector<float>>& tensors)
    {
        ++entries_;
        body_.insert(body_.end(), name.begin(), name.end());
        body_.push_back(0);
        U32((uint32_t)tensors.size());
        for (const auto& t : tensors) U32((uint32_t)t.size());
        for (const auto& t : tensors)
            for (float f : t) {
                uint32_t u;
                memcpy(&u, &f, 4);
                U32(u);
            }
        return *this;
    }
    std::string Write(const std::string& name) const
    {
        const std::string path = std::string(CORVUS_TEST_TMPDIR) + "/" + name + "_" + std::to_string(getpid());
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr) {
            ADD_FAILURE() << "cannot write " << path;
            return path;
        }
        const uint32_t n = entries_;
        const uint8_t head[4] = {(uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)};
        fwrite(head, 1, 4, f);
        if (!body_.empty()) fwrite(body_.data(), 1, body_.size(), f);
        fclose(f);
        return path;
    }

private:
    void U32(uint32_t v)
    {
        for (int b = 0; b < 4; ++b) body_.push_back((uint8_t)(v >> (8 * b)));
    }
    uint32_t entries_ = 0;
    std::vector<uint8_t> body_;
};

}  // namespace norm_test

#endif
