// Normalization kernels against double-precision computations, strided and
// half-precision data, and the kernels' fatal checks.
#include <gtest/gtest.h>

#include <cmath>

#include "LayersNormalization.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace norm_test;

TEST(Normalization_ref, InstanceAndLayerNormMatchDoublePrecision)
{
    std::mt19937 rng(3);
    struct Case {
        bool instance;
        U dims, gammaDims;
        uint32_t axis, reduced;  // LayerNorm axis; reduced-axes mask
    };
    // Instance: 4-D over H, W and 3-D over L. LayerNorm: the last axis, three
    // trailing axes with gamma over all of them, two with gamma over the last.
    for (const Case& c : {Case{true, {2, 3, 4, 5}, {5}, 0, 0b0110}, Case{true, {2, 7, 3}, {3}, 0, 0b010},
                          Case{false, {3, 4, 6}, {6}, 2, 0b100}, Case{false, {2, 3, 4, 5}, {3, 4, 5}, 1, 0b1110},
                          Case{false, {2, 3, 4, 5}, {5}, 2, 0b1100}}) {
        uint64_t n = 1, gn = 1;
        for (uint32_t d : c.dims) n *= d;
        for (uint32_t d : c.gammaDims) gn *= d;
        const std::vector<float> x = RandomValues(rng, n, -3, 5), g = RandomValues(rng, gn, -2, 2),
                                 b = RandomValues(rng, gn, -2, 2);
        Tensor *in = FromValues(c.dims, x), *out = FromValues(c.dims, x), *gamma = FromValues(c.gammaDims, g),
               *beta = FromValues(c.gammaDims, b);
        const NormalizationParams params = {c.axis, false, false, 1e-3f};
        if (c.instance)
            InstanceNormalization_fl32_ref(out, in, gamma, beta, &params);
        else
            LayerNorm_ref(out, in, gamma, beta, &params);
        const std::vector<double> want = Normalized({x.begin(), x.end()}, c.dims, c.reduced, 1e-3);
        const std::vector<float> got = Values(out);
        for (uint64_t e = 0; e < n; ++e) {
            const double w = want[e] * g[e % gn] + b[e % gn];
            EXPECT_NEAR(got[e], w, 1e-4 * (1 + std::fabs(w))) << c.dims.size() << "-D, element " << e;
        }
        for (Tensor* t : {in, out, gamma, beta}) DestroyTensor(t);
    }
}

TEST(Normalization_ref, LayerNormEdgeCasesAndHalfPrecisionCore)
{
    // Identical values normalise to 0, leaving beta; in place.
    Tensor* in = FromValues({2, 3}, {4, 4, 4, -1, -1, -1});
    Tensor *gamma = FromValues({3}, {2, 3, 4}), *beta = FromValues({3}, {0.5f, -1, 7});
    const NormalizationParams last = {1, false, false, 1e-5f};
    LayerNorm_ref(in, in, gamma, beta, &last);
    EXPECT_EQ(Values(in), (std::vector<float>{0.5f, -1, 7, 0.5f, -1, 7}));

    // The core reads and writes half precision directly.
    std::mt19937 rng(5);
    const std::vector<float> x = RandomValues(rng, 48, -2, 2, true);
    Tensor *h = FromValues({3, 2, 8}, x, DT_FLOAT16), *hout = FromValues({3, 2, 8}, x, DT_FLOAT16);
    const NormalizationParams two = {1, false, false, 1e-5f};
    layernorm_ref(hout, h, &two);
    const std::vector<double> want = Normalized({x.begin(), x.end()}, {3, 2, 8}, 0b110, 1e-5);
    const std::vector<float> got = Values(hout);
    for (uint32_t e = 0; e < 48; ++e) {
        EXPECT_NEAR(got[e], want[e], 2e-3 * (1 + std::fabs(want[e])));
        EXPECT_EQ(got[e], Half(got[e]));
    }
    for (Tensor* t : {in, gamma, beta, h, hout}) DestroyTensor(t);
}

TEST(Normalization_ref, BatchRowsByStrideAndZeroL2Pixel)
{
    // Batch normalization steps its rows by each tensor's own row stride:
    // input rows of 3 values sit 5 apart, the output is dense.
    std::mt19937 rng(1);
    const std::vector<float> x = RandomValues(rng, 20, -2, 2), m = RandomValues(rng, 3, -2, 2),
                             a = RandomValues(rng, 3, -2, 2);
    Tensor *in = FromValues({4, 5}, x), *out = FromValues({4, 3}, std::vector<float>(12));
    Tensor *mt = FromValues({3}, m), *at = FromValues({3}, a);
    in->shape.dimension[1] = 3;
    BatchNormalization_fl32_ref(out, in, mt, at);
    for (uint32_t e = 0; e < 12; ++e) EXPECT_EQ(Values(out)[e], fmaf(x[e / 3 * 5 + e % 3], m[e % 3], a[e % 3]));

    // An all-zero pixel: the sum of squares is floored, the result is zero.
    Tensor* zero = FromValues({1, 1, 2, 3}, std::vector<float>(6), DT_FLOAT32, DL_NHWC);
    Tensor* l2out = FromValues({1, 1, 2, 3}, std::vector<float>(6, 1.0f), DT_FLOAT32, DL_NHWC);
    L2Normalization_fl32_ref(l2out, zero, mt);
    EXPECT_EQ(Values(l2out), std::vector<float>(6, 0.0f));
    for (Tensor* t : {in, out, mt, at, zero, l2out}) DestroyTensor(t);
}

TEST(Normalization_ref, KernelChecksEndTheProcess)
{
    auto l2 = [](uint32_t gammaLen, uint32_t outChannelStride) {
        Tensor *in = FromValues({1, 1, 2, 3}, std::vector<float>(6)), *out = FromValues({1, 1, 2, 3}, std::vector<float>(6));
        out->stride.dimension[3] = outChannelStride;
        L2Normalization_fl32_ref(out, in, FromValues({gammaLen}, std::vector<float>(gammaLen)));
    };
    auto instance = [](const U& dims) {
        const NormalizationParams p = {0, false, false, 1e-5f};
        Tensor* in = Described(dims);
        InstanceNormalization_fl32_ref(in, in, nullptr, nullptr, &p);
    };
    auto layerNorm = [] {
        const NormalizationParams p = {2, false, false, 1e-5f};
        Tensor* in = FromValues({2, 2}, std::vector<float>(4));
        LayerNorm_ref(in, in, nullptr, nullptr, &p);
    };
    corvus_test::ExpectFatal(
        "Normalization_ref",
        {{[&] { l2(4, 1); }, "gamma->shape.dimension[0] == output->shape.NHWC.channels: false, expected: true"},
         {[&] { l2(3, 2); }, "output->stride.NHWC.channels_stride == 1: false, expected: true"},
         {[&] { instance({2, 2}); }, "Instance normalization supports 3D, 4D inputs. Given input dimension size is 2"},
         {[&] { instance({1, 1, 1, 1, 2}); },
          "Instance normalization supports 3D, 4D inputs. Given input dimension size is 5"},
         {layerNorm, "bad NormalizationParams"}});
}
