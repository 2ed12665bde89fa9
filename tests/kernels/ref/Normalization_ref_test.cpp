// Normalization kernels against double-precision computations written
// index by index, strided tensors, half precision and the kernel checks.
#include <gtest/gtest.h>

#include <cmath>

#include "LayersNormalization.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace norm_test;

namespace {

const char* const kModule = "Normalization_ref";

// Mean and variance (population) of the elements picked by index(i), i < n.
template <class F>
void Stats(uint64_t n, F value, double* mean, double* var)
{
    double s = 0, q = 0;
    for (uint64_t i = 0; i < n; ++i) s += value(i);
    *mean = s / (double)n;
    for (uint64_t i = 0; i < n; ++i) q += (value(i) - *mean) * (value(i) - *mean);
    *var = q / (double)n;
}

void ExpectClose(double expected, float actual, const std::string& where)
{
    EXPECT_NEAR(actual, expected, 1e-4 * (1.0 + std::fabs(expected))) << where;
}

// A dense [dims] float32 tensor whose rows of the last dimension sit
// `pad` elements apart (a view into a wider buffer).
Tensor* PaddedRows(std::mt19937& rng, std::initializer_list<uint32_t> dims, uint32_t pad)
{
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)dims.size(), Shape(dims), false);
    const uint32_t nd = t->ndim;
    t->stride.dimension[nd - 1] = 1;
    for (int k = (int)nd - 2; k >= 0; --k)
        t->stride.dimension[k] = t->stride.dimension[k + 1] * t->shape.dimension[k + 1] + (k == (int)nd - 2 ? pad : 0);
    AllocTensorData(t);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    for (uint32_t i = 0; i < GetTensorDataSize(t); ++i) ((float*)t->data)[i] = dist(rng);
    return t;
}

}  // namespace

TEST(Normalization_ref, BatchNormalizationIsOneFusedMultiplyAddPerElement)
{
    std::mt19937 rng(1);
    Tensor* m = Random(rng, {5});
    Tensor* a = Random(rng, {5});
    struct Case {
        Tensor* in;
        Tensor* out;
    };
    // Dense 4-D, 1-D, and a padded input (rows stepped by its own stride).
    for (Case c : {Case{Random(rng, {2, 3, 4, 5}), Described({2, 3, 4, 5})}, Case{Random(rng, {5}), Described({5})},
                   Case{PaddedRows(rng, {2, 3, 5}, 3), Described({2, 3, 5})}}) {
        AllocTensorData(c.out);
        BatchNormalization_fl32_ref(c.out, c.in, m, a);
        for (uint64_t i = 0; i < GetTensorSize(c.in); ++i) {
            const uint32_t ch = i % 5;
            EXPECT_EQ(At(c.out, i), fmaf(At(c.in, i), ((float*)m->data)[ch], ((float*)a->data)[ch])) << i;
        }
        DestroyTensor(c.in);
        DestroyTensor(c.out);
    }
    // No channels: nothing to do.
    Tensor* empty = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({3, 0}), true);
    BatchNormalization_fl32_ref(empty, empty, m, a);
    DestroyTensor(empty);
    DestroyTensor(m);
    DestroyTensor(a);
}

TEST(Normalization_ref, L2NormalizationPerPixel)
{
    std::mt19937 rng(2);
    Tensor* in = Random(rng, {2, 3, 4, 5}, -2.0f, 2.0f, DL_NHWC);
    Tensor* gamma = Random(rng, {5}, 0.5f, 20.0f);
    // One all-zero pixel: the floored sum keeps it at zero.
    for (uint32_t c = 0; c < 5; ++c) At(in, 5 * 7 + c) = 0.0f;
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, in->shape, true);
    L2Normalization_fl32_ref(out, in, gamma);
    for (uint32_t p = 0; p < 24; ++p) {
        double s = 0;
        for (uint32_t c = 0; c < 5; ++c) s += (double)At(in, 5 * p + c) * At(in, 5 * p + c);
        for (uint32_t c = 0; c < 5; ++c) {
            const double want = s == 0 ? 0.0 : At(in, 5 * p + c) / std::sqrt(s) * ((float*)gamma->data)[c];
            ExpectClose(want, At(out, 5 * p + c), "pixel " + std::to_string(p));
        }
    }
    DestroyTensor(in);
    DestroyTensor(out);
    DestroyTensor(gamma);
}

TEST(Normalization_ref, InstanceNormalizationOverSpatialAxes)
{
    std::mt19937 rng(3);
    struct Case {
        Tensor* in;
        uint32_t spatial;  // positions per sample
    };
    // 4-D [N, H, W, C], 3-D [N, L, C], a padded 4-D view and [1, L, C].
    for (Case c : {Case{Random(rng, {2, 3, 4, 5}), 12}, Case{Random(rng, {2, 7, 3}), 7},
                   Case{PaddedRows(rng, {2, 2, 3, 4}, 2), 6}, Case{Random(rng, {1, 6, 2}), 6}}) {
        const uint32_t C = c.in->shape.dimension[c.in->ndim - 1];
        Tensor* gamma = Random(rng, {C});
        Tensor* beta = Random(rng, {C});
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, c.in->ndim, c.in->shape, true);
        const NormalizationParams params = {0, false, false, 1e-3f};
        InstanceNormalization_fl32_ref(out, c.in, gamma, beta, &params);
        const uint32_t N = c.in->shape.dimension[0];
        for (uint32_t n = 0; n < N; ++n)
            for (uint32_t ch = 0; ch < C; ++ch) {
                auto flat = [&](uint64_t p) { return ((uint64_t)n * c.spatial + p) * C + ch; };
                double mean, var;
                Stats(c.spatial, [&](uint64_t p) { return (double)At(c.in, flat(p)); }, &mean, &var);
                for (uint32_t p = 0; p < c.spatial; ++p) {
                    const double want = (At(c.in, flat(p)) - mean) / std::sqrt(var + 1e-3) *
                                            ((float*)gamma->data)[ch] + ((float*)beta->data)[ch];
                    ExpectClose(want, At(out, flat(p)), std::to_string(n) + "," + std::to_string(ch));
                }
            }
        DestroyTensor(c.in);
        DestroyTensor(out);
        DestroyTensor(gamma);
        DestroyTensor(beta);
    }
}

TEST(Normalization_ref, LayerNormOverTrailingAxes)
{
    std::mt19937 rng(4);
    struct Case {
        std::initializer_list<uint32_t> dims;
        uint32_t axis;
        std::initializer_list<uint32_t> gammaDims;
    };
    // Last axis; two and three trailing axes with gamma over the last one or
    // over all of them; every axis of a 2-D tensor.
    for (Case c : {Case{{3, 4, 6}, 2, {6}}, Case{{2, 3, 4, 5}, 2, {5}}, Case{{2, 3, 4, 5}, 1, {3, 4, 5}},
                   Case{{4, 7}, 0, {4, 7}}}) {
        Tensor* in = Random(rng, c.dims, -3.0f, 5.0f);
        Tensor* gamma = Random(rng, c.gammaDims);
        Tensor* beta = Random(rng, c.gammaDims);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, in->ndim, in->shape, true);
        const NormalizationParams params = {c.axis, false, false, 1e-5f};
        LayerNorm_ref(out, in, gamma, beta, &params);
        uint64_t block = 1;
        for (uint32_t k = c.axis; k < in->ndim; ++k) block *= in->shape.dimension[k];
        const uint64_t gsize = GetTensorSize(gamma);
        for (uint64_t o = 0; o < GetTensorSize(in) / block; ++o) {
            double mean, var;
            Stats(block, [&](uint64_t i) { return (double)At(in, o * block + i); }, &mean, &var);
            for (uint64_t i = 0; i < block; ++i) {
                const uint64_t e = o * block + i;
                const double want = (At(in, e) - mean) / std::sqrt(var + 1e-5) * At(gamma, e % gsize) +
                                    At(beta, e % gsize);
                ExpectClose(want, At(out, e), "axis " + std::to_string(c.axis) + " element " + std::to_string(e));
            }
        }
        // In place gives the same result.
        LayerNorm_ref(in, in, gamma, beta, &params);
        EXPECT_EQ(Values(in), Values(out));
        DestroyTensor(in);
        DestroyTensor(out);
        DestroyTensor(gamma);
        DestroyTensor(beta);
    }
}

TEST(Normalization_ref, LayerNormOfIdenticalValuesGivesBeta)
{
    Tensor* in = FromValues({2, 3}, {4, 4, 4, -1, -1, -1});
    Tensor* gamma = FromValues({3}, {2, 3, 4});
    Tensor* beta = FromValues({3}, {0.5f, -1, 7});
    const NormalizationParams params = {1, false, false, 1e-5f};
    LayerNorm_ref(in, in, gamma, beta, &params);
    EXPECT_EQ(Values(in), (std::vector<float>{0.5f, -1, 7, 0.5f, -1, 7}));
    DestroyTensor(in);
    DestroyTensor(gamma);
    DestroyTensor(beta);
}

TEST(Normalization_ref, LayerNormCoreReadsAndWritesHalfPrecision)
{
    std::mt19937 rng(5);
    Tensor* f = Random(rng, {3, 2, 8});
    Tensor* h = ToHalf(f);
    Tensor* hout = CreateTensor(DT_FLOAT16, DL_NONE, 3, f->shape, true);
    const NormalizationParams params = {1, false, false, 1e-5f};
    layernorm_ref(hout, h, &params);
    const std::vector<float> got = HalfValues(hout), x = HalfValues(h);
    for (uint32_t o = 0; o < 3; ++o) {
        double mean, var;
        Stats(16, [&](uint64_t i) { return (double)x[o * 16 + i]; }, &mean, &var);
        for (uint32_t i = 0; i < 16; ++i) {
            const double want = (x[o * 16 + i] - mean) / std::sqrt(var + 1e-5);
            EXPECT_NEAR(got[o * 16 + i], want, 2e-3 * (1 + std::fabs(want)));
            // Stored rounded to nearest half.
            EXPECT_EQ(got[o * 16 + i], Half(got[o * 16 + i]));
        }
    }
    DestroyTensor(f);
    DestroyTensor(h);
    DestroyTensor(hout);
}

TEST(Normalization_ref, KernelChecksEndTheProcess)
{
    using corvus_test::ExpectFatal;
    auto l2 = [](uint32_t gammaLen, bool stridedOut) {
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 3}), true);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 3}), true);
        if (stridedOut) out->stride.dimension[3] = 2;
        Tensor* g = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({gammaLen}), true);
        L2Normalization_fl32_ref(out, in, g);
    };
    auto instance = [](std::initializer_list<uint32_t> dims) {
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)dims.size(), Shape(dims), true);
        Tensor* g = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({2}), true);
        const NormalizationParams p = {0, false, false, 1e-5f};
        InstanceNormalization_fl32_ref(in, in, g, g, &p);
    };
    auto layerNorm = [](uint32_t axis) {
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({2, 2}), true);
        const NormalizationParams p = {axis, false, false, 1e-5f};
        LayerNorm_ref(in, in, nullptr, nullptr, &p);
    };
    ExpectFatal(kModule,
                {{[&] { l2(4, false); }, "gamma->shape.dimension[0] == output->shape.NHWC.channels: false, expected: true"},
                 {[&] { l2(3, true); }, "output->stride.NHWC.channels_stride == 1: false, expected: true"},
                 {[&] { instance({2, 2}); },
                  "Instance normalization supports 3D, 4D inputs. Given input dimension size is 2"},
                 {[&] { instance({1, 1, 1, 1, 2}); },
                  "Instance normalization supports 3D, 4D inputs. Given input dimension size is 5"},
                 {[&] { layerNorm(2); }, "bad NormalizationParams"}});
}
