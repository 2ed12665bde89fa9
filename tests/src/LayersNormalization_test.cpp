// Normalization constructors, and a hand-built chain of all four layers in
// float32 (weights file) and float16 (inner tensors filled by hand).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "LayersNormalization.h"
#include "Model.h"
#include "ModelWeights.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace norm_test;

TEST(LayersNormalization, ConstructorsShapeOutputsInnersAndRecords)
{
    Layer* in = Input("x", {2, 3, 4, 5}, DL_NHWC);
    Layer* layers[4] = {AddBatchNormalizationLayer(in, nullptr, "bn", true, false, 0.25f),
                        AddL2NormalizationLayer(in, nullptr, "l2", 20.0f),
                        AddInstanceNormalizationLayer(in, nullptr, "inst", 1e-3f),
                        AddLayerNormLayer(in, nullptr, "ln", 1e-5f)};
    const uint32_t ops[4] = {OP_BatchNormalization, OP_L2Normalization, OP_InstanceNormalization, OP_LayerNorm};
    EXPECT_EQ(in->consumerLayersNum, 4u);
    for (int i = 0; i < 4; ++i) {
        const NNKernel* k = layers[i]->kernel;
        EXPECT_EQ(layers[i]->op, ops[i]);
        EXPECT_EQ(Dims(k->output[0]), (U{2, 3, 4, 5}));
        EXPECT_EQ(k->output[0]->layout, (uint32_t)DL_NHWC);
        EXPECT_EQ(k->output[0]->data, nullptr);
        EXPECT_EQ(k->innerNum, i == 1 ? 1u : 2u);
        for (uint32_t j = 0; j < k->innerNum; ++j) {
            EXPECT_EQ(Dims(k->inner[j]), U{5});
            EXPECT_EQ(k->inner[j]->layout, (uint32_t)DL_I);
            EXPECT_EQ(k->inner[j]->data, nullptr);
        }
    }
    const NormalizationParams* bn = (const NormalizationParams*)layers[0]->kernel->params;
    EXPECT_TRUE(bn->axis == 3 && bn->scale && !bn->center && bn->epsilon == 0.25f);
    EXPECT_EQ(((const L2NormParams*)layers[1]->kernel->params)->gammaInit, 20.0f);
    EXPECT_EQ(((const NormalizationParams*)layers[2]->kernel->params)->epsilon, 1e-3f);
    const NormalizationParams* ln = (const NormalizationParams*)layers[3]->kernel->params;
    EXPECT_TRUE(ln->axis == 3 && ln->epsilon == 1e-5f);
    for (Layer* l : layers) DestroyLayer(l);
    DestroyLayer(in);

    // From tensors: generated names; inner tensors take the input's type, except L2's gamma.
    Layer* h = AddLayerNormLayer(nullptr, Described({7}, DL_NONE, DT_FLOAT16), nullptr, 1e-5f);
    Layer* hl2 = AddL2NormalizationLayer(nullptr, Described({1, 2, 2, 6}, DL_NHWC, DT_FLOAT16), nullptr, 1.0f);
    EXPECT_EQ(std::string(h->name).rfind("LayerNorm", 0), 0u);
    EXPECT_EQ((U{h->kernel->inner[1]->dtype, ((const NormalizationParams*)h->kernel->params)->axis,
                 hl2->kernel->inner[0]->dtype}),
              (U{DT_FLOAT16, 0, DT_FLOAT32}));
    DestroyLayer(h);
    DestroyLayer(hl2);
}

TEST(LayersNormalization, ConstructorChecksEndTheProcess)
{
    corvus_test::ExpectFatal(
        "Layers",
        {{[] { AddL2NormalizationLayer(nullptr, Described({2, 3, 4}), "l2", 1); },
          "input tensor ndim must equal 4. ndim: 3"},
         {[] { AddL2NormalizationLayer(nullptr, Described({1, 2, 3, 4}, DL_NCHW), "l2", 1); },
          "input tensor layout must be NHWC"},
         {[] { AddInstanceNormalizationLayer(nullptr, Described({2, 3}), "in", 1); },
          "AddInstanceNormalizationLayer: input tensor ndim must be equal 3 or 4, but now it is 2"},
         {[] { AddInstanceNormalizationLayer(nullptr, Described({1, 2, 3, 4, 5}), "in", 1); },
          "AddInstanceNormalizationLayer: input tensor ndim must be equal 3 or 4, but now it is 5"},
         {[] { AddLayerNormLayer(nullptr, Described({2, 3}, DL_NONE, DT_INT32), "ln", 1); },
          "LayerNorm: input tensor must be float32 or float16, it is " + std::string(DataTypeToStr(DT_INT32))}});
}

// x [1, 2, 3, 4] -> BatchNorm -> InstanceNorm -> LayerNorm -> L2Normalization,
// against the same chain in double precision.
TEST(LayersNormalization, HandBuiltChainInFloatAndHalfPrecision)
{
    const uint32_t C = 4, P = 6;
    for (DataType dt : {DT_FLOAT32, DT_FLOAT16}) {
        SCOPED_TRACE(DataTypeToStr(dt));
        const bool half = dt == DT_FLOAT16;
        std::mt19937 rng(7);
        Layer* bn = AddBatchNormalizationLayer(Input("x", {1, 2, 3, 4}, DL_NHWC, dt), nullptr, "bn", true, true, 0.5f);
        Layer* inst = AddInstanceNormalizationLayer(bn, nullptr, "inst", 1e-3f);
        Layer* ln = AddLayerNormLayer(inst, nullptr, "ln", 1e-5f);
        Layer* l2 = AddL2NormalizationLayer(ln, nullptr, "l2", 1.0f);
        Model* model = CreateModel(&l2, 1);
        // Learned values: multiplier, offset, instance and layer gamma/beta, L2 gamma.
        std::vector<std::vector<float>> v;
        for (int i = 0; i < 6; ++i) v.push_back(RandomValues(rng, C, i % 2 ? -1.0f : 0.5f, i % 2 ? 1.0f : 2.0f, half));
        v.push_back(RandomValues(rng, C, 1, 20));
        if (!half) {
            // Statistics that fold into v[0], v[1]: gamma = m * sqrt(var + eps), beta = a + mean * m.
            const std::vector<float> var = RandomValues(rng, C, 0.1f, 3), mean = RandomValues(rng, C, -1, 1);
            std::vector<float> gamma(C), beta(C);
            for (uint32_t c = 0; c < C; ++c) {
                gamma[c] = v[0][c] * std::sqrt(var[c] + 0.5f);
                beta[c] = v[1][c] + mean[c] * (gamma[c] / std::sqrt(var[c] + 0.5f));
            }
            LoadModelWeights(model, WriteWeights("norm_chain", {{"l2", {v[6]}},
                                                                {"bn", {gamma, beta, mean, var}},
                                                                {"inst", {v[2], v[3]}},
                                                                {"ln", {v[4], v[5]}}})
                                        .c_str());
        }
        InitModel(model, 1);
        if (half) {
            Tensor* inner[7] = {bn->kernel->inner[0], bn->kernel->inner[1], inst->kernel->inner[0],
                                inst->kernel->inner[1], ln->kernel->inner[0], ln->kernel->inner[1],
                                l2->kernel->inner[0]};
            for (int i = 0; i < 7; ++i) {
                Tensor* src = FromValues({C}, v[i], (DataType)inner[i]->dtype);
                CopyTensorData(src, inner[i]);
                DestroyTensor(src);
            }
        }
        const std::vector<float> x = RandomValues(rng, P * C, -3, 3, half);
        Tensor* feed = FromValues({1, 2, 3, 4}, x, dt, DL_NHWC);
        const ModelInput input = {"x", feed};
        const std::vector<float> got = Values(Predict(model, 1, &input)[0]->kernel->output[0]);

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
        // Half precision rounds after every layer.
        for (uint32_t i = 0; i < P * C; ++i) EXPECT_NEAR(got[i], y[i], (half ? 2e-2 : 1e-4) * (1 + std::fabs(y[i])));
        DestroyTensor(feed);
        DestroyModel(model);
    }
}
