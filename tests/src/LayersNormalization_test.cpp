// Normalization constructors and hand-built normalization models in float32
// (weights from a weights file) and float16 (inner tensors filled by hand).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "LayersNormalization.h"
#include "Model.h"
#include "ModelWeights.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace norm_test;
using U = std::vector<uint32_t>;

namespace {

Layer* Input(const char* name, std::initializer_list<uint32_t> dims, DataLayout layout = DL_NONE,
             DataType dt = DT_FLOAT32)
{
    Tensor* t = Described(dims, layout, dt);
    Layer* layer = AddInputLayer(name, t);
    DestroyTensor(t);
    return layer;
}

void ExpectInner(const Layer* layer, uint32_t k, uint32_t length, DataType dt)
{
    const Tensor* t = layer->kernel->inner[k];
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(Dims(t), U{length});
    EXPECT_EQ(t->layout, (uint32_t)DL_I);
    EXPECT_EQ(t->dtype, (uint32_t)dt);
    EXPECT_EQ(t->data, nullptr);
}

}  // namespace

TEST(LayersNormalization, ConstructorsShapeOutputsInnersAndRecords)
{
    Layer* in = Input("x", {2, 3, 4, 5}, DL_NHWC);
    Layer* bn = AddBatchNormalizationLayer(in, nullptr, "bn", true, false, 0.25f);
    Layer* l2 = AddL2NormalizationLayer(in, nullptr, "l2", 20.0f);
    Layer* inst = AddInstanceNormalizationLayer(in, nullptr, "inst", 1e-3f);
    Layer* ln = AddLayerNormLayer(in, nullptr, "ln", 1e-5f);
    EXPECT_EQ(in->consumerLayersNum, 4u);
    const uint32_t ops[4] = {OP_BatchNormalization, OP_L2Normalization, OP_InstanceNormalization, OP_LayerNorm};
    const uint32_t inners[4] = {2, 1, 2, 2};
    int i = 0;
    for (Layer* l : {bn, l2, inst, ln}) {
        EXPECT_EQ(l->op, ops[i]);
        EXPECT_EQ(l->kernel->innerNum, inners[i++]);
        EXPECT_EQ(l->inputLayers[0], in);
        const Tensor* out = l->kernel->output[0];
        EXPECT_EQ(Dims(out), (U{2, 3, 4, 5}));
        EXPECT_EQ(out->layout, (uint32_t)DL_NHWC);
        EXPECT_EQ(out->dtype, (uint32_t)DT_FLOAT32);
        EXPECT_EQ(out->data, nullptr);
        for (uint32_t k = 0; k < l->kernel->innerNum; ++k) ExpectInner(l, k, 5, DT_FLOAT32);
    }
    const NormalizationParams* p = (const NormalizationParams*)bn->kernel->params;
    EXPECT_EQ(p->axis, 3u);
    EXPECT_TRUE(p->scale);
    EXPECT_FALSE(p->center);
    EXPECT_EQ(p->epsilon, 0.25f);
    EXPECT_EQ(((const L2NormParams*)l2->kernel->params)->gammaInit, 20.0f);
    EXPECT_EQ(((const NormalizationParams*)inst->kernel->params)->epsilon, 1e-3f);
    p = (const NormalizationParams*)ln->kernel->params;
    EXPECT_EQ(p->axis, 3u);
    EXPECT_EQ(p->epsilon, 1e-5f);
    for (Layer* l : {bn, l2, inst, ln}) DestroyLayer(l);
    DestroyLayer(in);

    // From tensors: generated names, half precision (L2's gamma stays float32), any rank.
    Layer* h = AddLayerNormLayer(nullptr, Described({7}, DL_NONE, DT_FLOAT16), nullptr, 1e-5f);
    EXPECT_EQ(std::string(h->name).rfind("LayerNorm", 0), 0u);
    ExpectInner(h, 1, 7, DT_FLOAT16);
    EXPECT_EQ(((const NormalizationParams*)h->kernel->params)->axis, 0u);
    Layer* hl2 = AddL2NormalizationLayer(nullptr, Described({1, 2, 2, 6}, DL_NHWC, DT_FLOAT16), nullptr, 1.0f);
    ExpectInner(hl2, 0, 6, DT_FLOAT32);
    EXPECT_EQ(hl2->kernel->output[0]->dtype, (uint32_t)DT_FLOAT16);
    Layer* inst3 = AddInstanceNormalizationLayer(nullptr, Described({1, 9, 3}), "i3", 1e-5f);
    EXPECT_EQ(Dims(inst3->kernel->output[0]), (U{1, 9, 3}));
    ExpectInner(inst3, 0, 3, DT_FLOAT32);
    for (Layer* l : {h, hl2, inst3}) DestroyLayer(l);
}

TEST(LayersNormalization, ConstructorChecksEndTheProcess)
{
    corvus_test::ExpectFatal(
        "Layers",
        {{[] { AddL2NormalizationLayer(nullptr, Described({2, 3, 4}, DL_NONE), "l2", 1); },
          "input tensor ndim must equal 4. ndim: 3"},
         {[] { AddL2NormalizationLayer(nullptr, Described({1, 2, 3, 4}, DL_NCHW), "l2", 1); },
          "input tensor layout must be NHWC"},
         {[] { AddInstanceNormalizationLayer(nullptr, Described({2, 3}), "in", 1); },
          "AddInstanceNormalizationLayer: input tensor ndim must be equal 3 or 4, but now it is 2"},
         {[] { AddInstanceNormalizationLayer(nullptr, Described({1, 2, 3, 4, 5}), "in", 1); },
          "AddInstanceNormalizationLayer: input tensor ndim must be equal 3 or 4, but now it is 5"},
         {[] { AddLayerNormLayer(nullptr, Described({2, 3}, DL_NONE, DT_INT32), "ln", 1); },
          "LayerNorm: input tensor must be float32 or float16, it is " +
              std::string(DataTypeToStr(DT_INT32))}});
}

namespace {

// Learned values of the chain x -> BatchNorm -> InstanceNorm -> LayerNorm -> L2Normalization.
struct ChainValues {
    std::vector<float> m, a, ig, ib, lg, lb, l2g;
};

// The chain in double precision on [1, H, W, C] data, row-major.
std::vector<double> ChainReference(const std::vector<float>& x, const ChainValues& v, uint32_t P, uint32_t C)
{
    std::vector<double> y(x.begin(), x.end());
    for (uint32_t i = 0; i < P * C; ++i) y[i] = y[i] * v.m[i % C] + v.a[i % C];
    for (uint32_t c = 0; c < C; ++c) {  // instance: per channel over the P positions
        double s = 0, q = 0;
        for (uint32_t p = 0; p < P; ++p) s += y[p * C + c];
        const double mean = s / P;
        for (uint32_t p = 0; p < P; ++p) q += (y[p * C + c] - mean) * (y[p * C + c] - mean);
        const double sd = std::sqrt(q / P + 1e-3);
        for (uint32_t p = 0; p < P; ++p) y[p * C + c] = (y[p * C + c] - mean) / sd * v.ig[c] + v.ib[c];
    }
    for (uint32_t p = 0; p < P; ++p) {  // layer norm over C, then L2 over C
        double s = 0, q = 0;
        for (uint32_t c = 0; c < C; ++c) s += y[p * C + c];
        const double mean = s / C;
        for (uint32_t c = 0; c < C; ++c) q += (y[p * C + c] - mean) * (y[p * C + c] - mean);
        const double sd = std::sqrt(q / C + 1e-5);
        double n2 = 0;
        for (uint32_t c = 0; c < C; ++c) {
            y[p * C + c] = (y[p * C + c] - mean) / sd * v.lg[c] + v.lb[c];
            n2 += y[p * C + c] * y[p * C + c];
        }
        for (uint32_t c = 0; c < C; ++c) y[p * C + c] = y[p * C + c] / std::sqrt(n2) * v.l2g[c];
    }
    return y;
}

struct Chain {
    Layer *in, *bn, *inst, *ln, *l2;
    Model* model;
    explicit Chain(DataType dt)
    {
        in = Input("x", {1, 2, 3, 4}, DL_NHWC, dt);
        bn = AddBatchNormalizationLayer(in, nullptr, "bn", true, true, 0.5f);
        inst = AddInstanceNormalizationLayer(bn, nullptr, "inst", 1e-3f);
        ln = AddLayerNormLayer(inst, nullptr, "ln", 1e-5f);
        l2 = AddL2NormalizationLayer(ln, nullptr, "l2", 1.0f);
        model = CreateModel(&l2, 1);
    }
    ~Chain() { DestroyModel(model); }
};

std::vector<float> RandomValues(std::mt19937& rng, uint32_t n, float lo, float hi, bool half)
{
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& f : v) f = half ? Half(dist(rng)) : dist(rng);
    return v;
}

void PutHalf(Tensor* t, const std::vector<float>& v) { float32_to_float16(v.data(), (uint16_t*)t->data, v.size()); }

}  // namespace

TEST(LayersNormalization, HandBuiltChainWithWeightsFile)
{
    std::mt19937 rng(7);
    Chain net(DT_FLOAT32);
    const uint32_t C = 4, P = 6;
    ChainValues v;
    const std::vector<float> gamma = RandomValues(rng, C, 0.5f, 2, false), beta = RandomValues(rng, C, -1, 1, false),
                             mean = RandomValues(rng, C, -1, 1, false), var = RandomValues(rng, C, 0.1f, 3, false);
    for (uint32_t c = 0; c < C; ++c) {
        const double s = std::sqrt((double)var[c] + 0.5);
        v.m.push_back((float)(gamma[c] / s));
        v.a.push_back((float)(beta[c] - mean[c] * gamma[c] / s));
    }
    v.ig = RandomValues(rng, C, 0.5f, 2, false);
    v.ib = RandomValues(rng, C, -1, 1, false);
    v.lg = RandomValues(rng, C, 0.5f, 2, false);
    v.lb = RandomValues(rng, C, -1, 1, false);
    v.l2g = RandomValues(rng, C, 1, 20, false);
    LoadModelWeights(net.model, WeightsFile()
                                    .Entry("l2", {v.l2g})
                                    .Entry("bn", {gamma, beta, mean, var})
                                    .Entry("inst", {v.ig, v.ib})
                                    .Entry("ln", {v.lg, v.lb})
                                    .Write("norm_chain")
                                    .c_str());
    InitModel(net.model, 1);
    const std::vector<float> x = RandomValues(rng, P * C, -3, 3, false);
    Tensor* feed = FromValues({1, 2, 3, 4}, x);
    const ModelInput input = {"x", feed};
    Layer** outs = Predict(net.model, 1, &input);
    const std::vector<double> want = ChainReference(x, v, P, C);
    const std::vector<float> got = Values(outs[0]->kernel->output[0]);
    for (uint32_t i = 0; i < P * C; ++i) EXPECT_NEAR(got[i], want[i], 1e-4 * (1 + std::fabs(want[i]))) << i;
    DestroyTensor(feed);
}

TEST(LayersNormalization, HandBuiltChainInHalfPrecision)
{
    std::mt19937 rng(8);
    Chain net(DT_FLOAT16);
    const uint32_t C = 4, P = 6;
    InitModel(net.model, 1);
    ChainValues v;
    v.m = RandomValues(rng, C, 0.5f, 2, true);
    v.a = RandomValues(rng, C, -1, 1, true);
    v.ig = RandomValues(rng, C, 0.5f, 2, true);
    v.ib = RandomValues(rng, C, -1, 1, true);
    v.lg = RandomValues(rng, C, 0.5f, 2, true);
    v.lb = RandomValues(rng, C, -1, 1, true);
    v.l2g = RandomValues(rng, C, 1, 20, false);
    PutHalf(net.bn->kernel->inner[0], v.m);
    PutHalf(net.bn->kernel->inner[1], v.a);
    PutHalf(net.inst->kernel->inner[0], v.ig);
    PutHalf(net.inst->kernel->inner[1], v.ib);
    PutHalf(net.ln->kernel->inner[0], v.lg);
    PutHalf(net.ln->kernel->inner[1], v.lb);
    memcpy(net.l2->kernel->inner[0]->data, v.l2g.data(), C * sizeof(float));  // float32 gamma

    const std::vector<float> x = RandomValues(rng, P * C, -3, 3, true);
    Tensor* feed = CreateTensor(DT_FLOAT16, DL_NHWC, 4, Shape({1, 2, 3, 4}), true);
    PutHalf(feed, x);
    const ModelInput input = {"x", feed};
    Layer** outs = Predict(net.model, 1, &input);
    const std::vector<double> want = ChainReference(x, v, P, C);
    const std::vector<float> got = HalfValues(outs[0]->kernel->output[0]);
    // Every layer rounds its output to half precision.
    for (uint32_t i = 0; i < P * C; ++i) EXPECT_NEAR(got[i], want[i], 2e-2 * (1 + std::fabs(want[i]))) << i;
    DestroyTensor(feed);
}
