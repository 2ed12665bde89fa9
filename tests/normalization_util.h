// Helpers shared by the normalization and recurrent tests.
#ifndef CORVUS_TESTS_NORMALIZATION_UTIL_H
#define CORVUS_TESTS_NORMALIZATION_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "DataTypeConvert.h"
#include "Layers.h"
#include "test_util.h"

namespace norm_test {

using U = std::vector<uint32_t>;

using corvus_test::Shape;
inline U Dims(const Tensor* t) { return {t->shape.dimension, t->shape.dimension + t->ndim}; }
// Uniform values in [lo, hi], optionally exact half-precision values.
inline std::vector<float> RandomValues(std::mt19937& rng, size_t n, float lo, float hi, bool half = false)
{
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& f : v) f = half ? corvus_test::Float(corvus_test::Half(dist(rng))) : dist(rng);
    return v;
}

// A dense tensor holding v, converted to dt.
inline Tensor* FromValues(const U& dims, const std::vector<float>& v, DataType dt = DT_FLOAT32,
                          DataLayout layout = DL_NONE)
{
    Tensor* t = CreateTensor(dt, layout, (uint32_t)dims.size(), Shape(dims), true);
    EXPECT_EQ(GetTensorSize(t), v.size());
    if (dt == DT_FLOAT16)
        float32_to_float16(v.data(), (uint16_t*)t->data, (uint32_t)v.size());
    else
        memcpy(t->data, v.data(), v.size() * sizeof(float));
    return t;
}
// Dense float32 or float16 values as float.
inline std::vector<float> Values(const Tensor* t)
{
    std::vector<float> v(GetTensorSize(t));
    if (t->dtype == DT_FLOAT16)
        float16_to_float32((const uint16_t*)t->data, v.data(), (uint32_t)v.size());
    else
        memcpy(v.data(), t->data, v.size() * sizeof(float));
    return v;
}

// (x - mean) / sqrt(var + eps) in double, the statistics taken over the
// axes set in `reduced` (dense row-major data of shape dims).
inline std::vector<double> Normalized(const std::vector<double>& x, const U& dims, uint32_t reduced, double eps)
{
    std::vector<uint64_t> group(x.size());
    for (uint64_t i = 0; i < x.size(); ++i)
        for (uint64_t r = i, mult = 1, k = dims.size(); k-- > 0; r /= dims[k], mult *= dims[k])
            if (!(reduced >> k & 1)) group[i] += r % dims[k] * mult;
    std::vector<double> sum(x.size()), sq(x.size()), n(x.size()), y(x.size());
    for (uint64_t i = 0; i < x.size(); ++i) sum[group[i]] += x[i], n[group[i]] += 1;
    for (uint64_t i = 0; i < x.size(); ++i) sq[group[i]] += std::pow(x[i] - sum[group[i]] / n[group[i]], 2);
    for (uint64_t i = 0; i < x.size(); ++i)
        y[i] = (x[i] - sum[group[i]] / n[group[i]]) / std::sqrt(sq[group[i]] / n[group[i]] + eps);
    return y;
}

// Writes a weights file of (layer name, tensors) entries and returns its
// path (the host is little-endian, as the file).
using WeightsEntry = std::pair<std::string, std::vector<std::vector<float>>>;
inline std::string WriteWeights(const std::string& name, const std::vector<WeightsEntry>& entries)
{
    const std::string path = corvus_test::TmpPath(name);
    FILE* f = fopen(path.c_str(), "wb");
    auto u32 = [f](size_t v) {
        const uint32_t w = (uint32_t)v;
        fwrite(&w, 4, 1, f);
    };
    u32(entries.size());
    for (const WeightsEntry& e : entries) {
        fwrite(e.first.c_str(), 1, e.first.size() + 1, f);
        u32(e.second.size());
        for (const auto& t : e.second) u32(t.size());
        for (const auto& t : e.second)
            if (!t.empty()) fwrite(t.data(), sizeof(float), t.size(), f);
    }
    fclose(f);
    return path;
}

}  // namespace norm_test

#endif
