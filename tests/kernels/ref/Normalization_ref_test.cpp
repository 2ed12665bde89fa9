// Normalization kernels against double-precision statistics, the L2
// normalisation's stated order bit for bit, strided and half-precision data,
// and the refusals.

#include "LayersNormalization.h"
#include "normalization_util.h"

using namespace norm_test;

TEST(Normalization_ref, InstanceAndLayerNormMatchDoublePrecision)
{
    std::mt19937 rng(3);
    const struct {
        bool instance;
        U dims, gammaDims;
        uint32_t axis, reduced;  // LayerNorm axis; reduced-axes mask
    } cases[] = {{true, {2, 3, 4, 5}, {5}, 0, 0b0110},
                 {true, {2, 7, 3}, {3}, 0, 0b010},  // over H, W and over L
                 {false, {3, 4, 6}, {6}, 2, 0b100},
                 {false, {2, 3, 4, 5}, {3, 4, 5}, 1, 0b1110},
                 {false, {2, 3, 4, 5}, {5}, 2, 0b1100}};  // gamma over the last of two axes
    for (const auto& c : cases) {
        const uint64_t n = corvus_test::Count(c.dims), gn = corvus_test::Count(c.gammaDims);
        const std::vector<float> x = RandomValues(rng, n, -3, 5), g = RandomValues(rng, gn, -2, 2),
                                 b = RandomValues(rng, gn, -2, 2);
        Tensor *in = FromValues(c.dims, x), *out = FromValues(c.dims, x);
        Tensor *gamma = FromValues(c.gammaDims, g), *beta = FromValues(c.gammaDims, b);
        const NormalizationParams params = {c.axis, false, false, 0.05f};  // large enough to show where it is added
        if (c.instance)
            InstanceNormalization_fl32_ref(out, in, gamma, beta, &params);
        else
            LayerNorm_ref(out, in, gamma, beta, &params);
        const std::vector<double> want = Normalized({x.begin(), x.end()}, c.dims, c.reduced, 0.05);
        const std::vector<float> got = Values(out);
        for (uint64_t e = 0; e < n; ++e) {
            const double w = want[e] * g[e % gn] + b[e % gn];
            ASSERT_NEAR(got[e], w, 1e-4 * (1 + std::fabs(w))) << c.dims.size() << "-D, element " << e;
        }
        for (Tensor* t : {in, out, gamma, beta}) DestroyTensor(t);
    }
    // Identical values normalise to 0, leaving beta (in place).
    Tensor* in = FromValues({2, 3}, {4, 4, 4, -1, -1, -1});
    Tensor *gamma = FromValues({3}, {2, 3, 4}), *beta = FromValues({3}, {0.5f, -1, 7});
    const NormalizationParams last = {1, false, false, 1e-5f};
    LayerNorm_ref(in, in, gamma, beta, &last);
    EXPECT_EQ(Values(in), (std::vector<float>{0.5f, -1, 7, 0.5f, -1, 7}));
    // The core reads and writes half precision directly.
    const std::vector<float> x = RandomValues(rng, 48, -2, 2, true);
    Tensor *h = FromValues({3, 2, 8}, x, DT_FLOAT16), *hout = FromValues({3, 2, 8}, x, DT_FLOAT16);
    layernorm_ref(hout, h, &last);
    const std::vector<double> want = Normalized({x.begin(), x.end()}, {3, 2, 8}, 0b110, 1e-5);
    const std::vector<float> got = Values(hout);
    for (uint32_t e = 0; e < 48; ++e) EXPECT_NEAR(got[e], want[e], 2e-3 * (1 + std::fabs(want[e])));
    for (Tensor* t : {in, gamma, beta, h, hout}) DestroyTensor(t);
}

TEST(Normalization_ref, BatchRowsByStrideL2OrderAndInstanceRanks)
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

    // Per pixel: s = fused sum of squares floored at 1e-6, r = 1 / sqrt(s),
    // y = x * r * gamma in that order. Pixels: random, tiny (under the floor
    // and between 1e-6 and 1e-4) and zero.
    std::vector<float> v = RandomValues(rng, 12, -2, 2);
    const float tiny[] = {1e-4f, -2e-4f, 3e-4f, 3e-3f, 4e-3f, 0, 0, 0, 0};
    v.insert(v.end(), tiny, tiny + 9);
    Tensor *l2in = FromValues({1, 1, 7, 3}, v, DT_FLOAT32, DL_NHWC),
           *l2out = FromValues({1, 1, 7, 3}, v, DT_FLOAT32, DL_NHWC);
    L2Normalization_fl32_ref(l2out, l2in, mt);
    const std::vector<float> y = Values(l2out);
    for (uint32_t p = 0; p < 7; ++p) {
        float s = 0.0f;
        for (uint32_t c = 0; c < 3; ++c) s = fmaf(v[p * 3 + c], v[p * 3 + c], s);
        const float r = 1.0f / sqrtf(fmaxf(s, 1e-6f));
        for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(y[p * 3 + c], v[p * 3 + c] * r * m[c]) << "pixel " << p;
    }
    for (Tensor* t : {in, out, mt, at, l2in, l2out}) DestroyTensor(t);

    // Instance normalisation of other ranks is refused.
    const NormalizationParams params = {0, false, false, 1e-5f};
    Tensor* five = corvus_test::Desc(DT_FLOAT32, {1, 1, 1, 1, 2});
    corvus_test::ExpectFatal("Normalization_ref",
                             {{[&] { InstanceNormalization_fl32_ref(five, five, nullptr, nullptr, &params); },
                               "Instance normalization supports 3D, 4D inputs. Given input dimension size is 5"}});
    DestroyTensor(five);
}
