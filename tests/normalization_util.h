// Helpers shared by the normalization and recurrent tests.
#ifndef CORVUS_TESTS_NORMALIZATION_UTIL_H
#define CORVUS_TESTS_NORMALIZATION_UTIL_H

#include <cmath>
#include <utility>

#include "test_util.h"

namespace norm_test {

using U = std::vector<uint32_t>;

using corvus_test::DimsOf;
using corvus_test::Shape;
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

// h after every step [T][B][H] and the final c [B][H], from the gate
// equations in double precision; x is step-major [T][B][I], gates i, f, g, o.
inline void ReferenceLSTM(const std::vector<float>& x, uint32_t T, uint32_t B, uint32_t I, uint32_t H,
                          const std::vector<float>& W, const std::vector<float>& R, const std::vector<float>& bias,
                          std::vector<double> h, std::vector<double> c, std::vector<double>* steps,
                          std::vector<double>* cLast)
{
    auto sigm = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
    for (uint32_t t = 0; t < T; ++t) {
        std::vector<double> hn(B * H);
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t j = 0; j < H; ++j) {
                double g[4];
                for (uint32_t q = 0; q < 4; ++q) {
                    const uint32_t col = q * H + j;
                    g[q] = bias.empty() ? 0.0 : bias[col];
                    for (uint32_t k = 0; k < I; ++k) g[q] += x[(t * B + b) * I + k] * (double)W[k * 4 * H + col];
                    for (uint32_t k = 0; k < H; ++k) g[q] += h[b * H + k] * (double)R[k * 4 * H + col];
                }
                c[b * H + j] = sigm(g[1]) * c[b * H + j] + sigm(g[0]) * std::tanh(g[2]);
                hn[b * H + j] = sigm(g[3]) * std::tanh(c[b * H + j]);
            }
        h = hn;
        steps->insert(steps->end(), h.begin(), h.end());
    }
    *cLast = c;
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
