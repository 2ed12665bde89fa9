// A hand-built chain of the four normalisation layers with weights from a
// weights file (half precision is checked kernel by kernel).

#include "LayersNormalization.h"
#include "ModelWeights.h"
#include "normalization_util.h"

using namespace norm_test;
using corvus_test::InputLayer;

// x [1, 2, 3, 4] -> BatchNorm -> InstanceNorm -> LayerNorm -> L2Normalization,
// against the same chain in double precision.
TEST(LayersNormalization, HandBuiltChain)
{
    const uint32_t C = 4, P = 6;
    std::mt19937 rng(7);
    Layer* bn =
        AddBatchNormalizationLayer(InputLayer("x", DT_FLOAT32, {1, 2, 3, 4}, DL_NHWC), nullptr, "bn", true, true, 0.5f);
    Layer* inst = AddInstanceNormalizationLayer(bn, nullptr, "inst", 1e-3f);
    Layer* ln = AddLayerNormLayer(inst, nullptr, "ln", 1e-5f);
    corvus_test::ModelRun model({AddL2NormalizationLayer(ln, nullptr, "l2", 1.0f)});
    // Learned values: multiplier, offset, instance and layer gamma/beta, L2 gamma.
    std::vector<std::vector<float>> v;
    for (int i = 0; i < 6; ++i) v.push_back(RandomValues(rng, C, i % 2 ? -1.0f : 0.5f, i % 2 ? 1.0f : 2.0f));
    v.push_back(RandomValues(rng, C, 1, 20));
    // Statistics that fold into v[0], v[1]: gamma = m * sqrt(var + eps), beta = a + mean * m.
    const std::vector<float> var = RandomValues(rng, C, 0.1f, 3), mean = RandomValues(rng, C, -1, 1);
    std::vector<float> gamma(C), beta(C);
    for (uint32_t c = 0; c < C; ++c) {
        gamma[c] = v[0][c] * std::sqrt(var[c] + 0.5f);
        beta[c] = v[1][c] + mean[c] * (gamma[c] / std::sqrt(var[c] + 0.5f));
    }
    LoadModelWeights(
        model.model,
        WriteWeights("norm_chain",
                     {{"l2", {v[6]}}, {"bn", {gamma, beta, mean, var}}, {"inst", {v[2], v[3]}}, {"ln", {v[4], v[5]}}})
            .c_str());
    const std::vector<float> x = RandomValues(rng, P * C, -3, 3);
    Tensor* feed = FromValues({1, 2, 3, 4}, x, DT_FLOAT32, DL_NHWC);
    const std::vector<float> got = Values(model.Out({{"x", feed}}));

    std::vector<double> y(x.begin(), x.end());
    auto affine = [&y](const std::vector<float>& g, const std::vector<float>& b) {
        for (uint32_t i = 0; i < P * C; ++i) y[i] = y[i] * g[i % C] + b[i % C];
    };
    affine(v[0], v[1]);
    y = Normalized(y, {1, 2, 3, 4}, 0b0110, 1e-3);  // instance: over H and W
    affine(v[2], v[3]);
    y = Normalized(y, {1, 2, 3, 4}, 0b1000, 1e-5);  // layer: over C
    affine(v[4], v[5]);
    for (uint32_t p = 0; p < P; ++p) {
        double n2 = 0;
        for (uint32_t c = 0; c < C; ++c) n2 += y[p * C + c] * y[p * C + c];
        for (uint32_t c = 0; c < C; ++c) y[p * C + c] = y[p * C + c] / std::sqrt(n2) * v[6][c];
    }
    for (uint32_t i = 0; i < P * C; ++i) EXPECT_NEAR(got[i], y[i], 1e-4 * (1 + std::fabs(y[i])));
    DestroyTensor(feed);
}
