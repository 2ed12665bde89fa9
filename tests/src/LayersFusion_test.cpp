// Graph optimisation: fused graphs against the same graphs run unfused,
// the patterns that must stay apart, and the fatal cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ActivationTypes.h"
#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "LayersConvolution.h"
#include "LayersDataMovement.h"
#include "LayersFusion.h"
#include "LayersNormalization.h"
#include "LayersPooling.h"
#include "LayersResize.h"
#include "Model.h"
#include "conv_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using corvus_test::ExpectFatal;
using conv_test::Pads;
using corvus_test::Shape;

namespace {

Layer* Image(const char* name, uint32_t h, uint32_t w, uint32_t c)
{
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, h, w, c}), false);
    Layer* l = AddInputLayer(name, t);
    DestroyTensor(t);
    return l;
}

Layer* Conv(Layer* in, const char* name, uint32_t filters, uint32_t oh, uint32_t ow, bool bias,
            uint32_t act = None, PaddingStruct pad = PaddingStruct{})
{
    if (pad.outputSize[0] == 0) pad = Pads(oh, ow);
    return AddConv2DLayer(in, nullptr, name, DL_NHWC, filters, 3, 3, 1, 1, 1, 1, &pad, bias, ActivationParams{act, 0},
                          1);
}

Layer* Act(Layer* in, const char* name, uint32_t kind) { return AddActivationLayer(in, nullptr, name, {kind, 0}); }

Layer* Binary(Layer* (*add)(Layer**, Tensor**, uint32_t, const char*), Layer* a, Layer* b, const char* name)
{
    Layer* in[2] = {a, b};
    return add(in, nullptr, 2, name);
}

// Fills every inner tensor that has no data with values drawn in model order.
void FillWeights(Model* m, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (uint32_t i = 0; i < m->numLayers; ++i) {
        NNKernel* k = m->layers[i]->kernel;
        for (uint32_t j = 0; j < k->innerNum; ++j) {
            Tensor* t = k->inner[j];
            if (t == nullptr || t->data != nullptr) continue;
            AllocTensorData(t);
            for (uint32_t e = 0; e < GetTensorSize(t); ++e) ((float*)t->data)[e] = d(rng);
        }
    }
}

// Runs m on one (1, 6, 6, 3) input and copies every output.
std::vector<std::vector<float>> RunOnce(Model* m)
{
    InitModel(m, 1);
    std::vector<float> x(108);
    for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.7f * (float)i) * 2.0f;
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 6, 6, 3}), false);
    SetTensorData(t, x.data());
    ModelInput in{"x", t};
    Layer** out = Predict(m, 1, &in);
    std::vector<std::vector<float>> r;
    for (uint32_t j = 0; j < m->ioLayers->outputLayersCount; ++j) {
        const Tensor* o = out[j]->kernel->output[0];
        r.emplace_back((const float*)o->data, (const float*)o->data + GetTensorSize(o));
    }
    DestroyTensor(t);
    return r;
}

// x -> zp(1,1,1,1) -> conv -> bn -> relu -> sigmoid * (.) -> zp(top 1, left 1)
// -> depthwise -> add(dw, dw) -> relu6 [out]; the product also feeds
// zp(1,1,1,1) -> maxpool [out]. Every fusion applies.
Model* EveryFusion()
{
    Layer* x = Image("x", 6, 6, 3);
    Layer* zp1 = AddZeroPadding2DLayer(x, nullptr, "zp1", DL_NHWC, 1, 1, 1, 1);
    Layer* conv = Conv(zp1, "conv", 4, 6, 6, false);
    Layer* bn = AddBatchNormalizationLayer(conv, nullptr, "bn", true, true, 1e-3f);
    Layer* relu = Act(bn, "relu", ReLU);
    Layer* sigm = Act(relu, "sigm", Sigmoid);
    Layer* mul = Binary(AddMulLayer, relu, sigm, "mul");
    Layer* zp2 = AddZeroPadding2DLayer(mul, nullptr, "zp2", DL_NHWC, 1, 0, 1, 0);
    const PaddingStruct dwPad = Pads(5, 5);
    Layer* dw = AddDepthwiseConv2DLayer(zp2, nullptr, "dw", DL_NHWC, 3, 3, 1, 1, 1, 1, 1, &dwPad, true, None);
    Layer* add = Binary(AddAddLayer, dw, dw, "add");
    Layer* relu6 = Act(add, "relu6", ReLU6);
    Layer* zp3 = AddZeroPadding2DLayer(mul, nullptr, "zp3", DL_NHWC, 1, 1, 1, 1);
    const PaddingStruct poolPad = Pads(7, 7);
    Layer* pool = AddMaxPool2DLayer(zp3, nullptr, "pool", DL_NHWC, 2, 2, 1, 1, 0, &poolPad, 1);
    Layer* outs[2] = {relu6, pool};
    Model* m = CreateModel(outs, 2);
    FillWeights(m, 7);
    return m;
}

std::vector<std::string> Names(const Model* m)
{
    std::vector<std::string> n;
    for (uint32_t i = 0; i < m->numLayers; ++i) n.push_back(m->layers[i]->name);
    return n;
}

}  // namespace

TEST(LayersFusion, EveryFusionKeepsTheResults)
{
    Model* plain = EveryFusion();
    ASSERT_EQ(13u, plain->numLayers);
    const auto want = RunOnce(plain);
    DestroyModel(plain);

    Model* m = EveryFusion();
    OptimizeModel(m, 0);
    ASSERT_EQ(Names(m), (std::vector<std::string>{"x", "relu", "sigm", "dw", "relu6", "pool"}));
    EXPECT_TRUE(m->useTensorsSharedMemory);
    Layer *conv = m->layers[1], *sigm = m->layers[2], *dw = m->layers[3], *add = m->layers[4], *pool = m->layers[5];
    // Fused activations, pads and links.
    const Conv2DParams* cp = (const Conv2DParams*)conv->kernel->params;
    EXPECT_EQ((uint32_t)ReLU, cp->activation.type);
    EXPECT_EQ((std::vector<uint32_t>{1, 1, 1, 1}),
              (std::vector<uint32_t>{cp->padTop, cp->padLeft, cp->padBottom, cp->padRight}));
    EXPECT_TRUE(cp->useBias & 1);
    EXPECT_EQ((uint32_t)XmulSigmX, ((const ActivationParams*)sigm->kernel->params)->type);
    const DepthWiseConv2DParams* dp = (const DepthWiseConv2DParams*)dw->kernel->params;
    EXPECT_EQ((std::vector<uint32_t>{1, 1, 0, 0}), (std::vector<uint32_t>{dp->padTop, dp->padLeft, dp->padBottom,
                                                                          dp->padRight}));
    EXPECT_EQ((uint32_t)ReLU6, ((const BroadcastParams*)add->kernel->params)->aName);
    const Pool2DParams* pp = (const Pool2DParams*)pool->kernel->params;
    EXPECT_EQ(1u, pp->padTop);
    EXPECT_EQ(0u, pp->paddingMode);
    EXPECT_EQ(conv, sigm->inputLayers[0]);
    EXPECT_EQ((std::vector<Layer*>{sigm}), std::vector<Layer*>(conv->consumerLayers,
                                                               conv->consumerLayers + conv->consumerLayersNum));
    EXPECT_EQ(2u, sigm->consumerLayersNum);
    EXPECT_EQ(sigm, dw->inputLayers[0]);
    EXPECT_EQ(sigm, pool->inputLayers[0]);
    EXPECT_EQ(add, m->ioLayers->outputLayers[0]);
    EXPECT_EQ(pool, m->ioLayers->outputLayers[1]);
    EXPECT_EQ(1, CheckIfLayersConnected(m->layers, m->numLayers, m->ioLayers->inputLayers,
                                        m->ioLayers->inputLayersCount, m->ioLayers->outputLayers, 2));

    const auto got = RunOnce(m);
    ASSERT_EQ(want.size(), got.size());
    for (size_t j = 0; j < want.size(); ++j) {
        ASSERT_EQ(want[j].size(), got[j].size());
        for (size_t i = 0; i < want[j].size(); ++i)
            EXPECT_NEAR(want[j][i], got[j][i], 1e-5f * (1.0f + std::fabs(want[j][i]))) << j << "/" << i;
    }
    DestroyModel(m);
}

TEST(LayersFusion, ConvBatchNormWeightsByHand)
{
    Layer* x = Image("x", 3, 3, 1);
    Layer* conv = Conv(x, "conv", 2, 1, 1, false);
    Layer* bn = AddBatchNormalizationLayer(conv, nullptr, "bn", true, true, 1e-3f);
    Model* m = CreateModel(&bn, 1);
    AllocTensorData(conv->kernel->inner[0]);
    for (uint32_t e = 0; e < 18; ++e) ((float*)conv->kernel->inner[0]->data)[e] = 1.0f;
    const float scale[2] = {2, 3}, shift[2] = {1, 1};
    AllocTensorData(bn->kernel->inner[0]);
    AllocTensorData(bn->kernel->inner[1]);
    memcpy(bn->kernel->inner[0]->data, scale, sizeof(scale));
    memcpy(bn->kernel->inner[1]->data, shift, sizeof(shift));
    OptimizeModel(m, 0);
    ASSERT_EQ(2u, m->numLayers);
    EXPECT_EQ(conv, m->layers[1]);
    EXPECT_STREQ("bn", conv->name);
    EXPECT_EQ(conv, m->ioLayers->outputLayers[0]);
    const float* w = (const float*)conv->kernel->inner[0]->data;
    for (uint32_t e = 0; e < 18; ++e) EXPECT_EQ(e % 2 == 0 ? 2.0f : 3.0f, w[e]) << e;
    const float* b = (const float*)conv->kernel->inner[1]->data;
    EXPECT_EQ(1.0f, b[0]);
    EXPECT_EQ(1.0f, b[1]);
    DestroyModel(m);
}

// Graphs whose optimised form differs from their plain form in kernel or
// layer count compute the same. A grouped Conv2D with one input channel per
// group runs as a depthwise layer; its filter has gaps in its strides so the
// data must really be moved. A depthwise filter with a depth multiplier keeps
// output channel c * M + m innermost, so batch normalisation must scale it by
// that channel's factor. Tolerance: the depthwise kernel starts from the
// bias and uses fused multiply-adds, the Conv2D reference adds rounded
// products and the bias last.
TEST(LayersFusion, OptimisedGraphsComputeWhatPlainOnesDo)
{
    static std::vector<float> borrowed(3 * 3 * 3 * 2);
    for (size_t i = 0; i < borrowed.size(); ++i) borrowed[i] = std::cos(0.3f * (float)i);
    const std::vector<float> borrowedBefore = borrowed;
    const auto grouped = [](Layer* x, const char* name, uint32_t mult, ActivationParams act) {
        const PaddingStruct pad = Pads(6, 6, 1, 1, 1, 1);
        Layer* g = AddConv2DLayer(x, nullptr, name, DL_NHWC, 3 * mult, 3, 3, 1, 1, 1, 1, &pad, true, act, 3);
        std::mt19937 rng(5);
        DestroyTensor(g->kernel->inner[0]);
        g->kernel->inner[0] = conv_test::Make(DL_HWIO, {3, 3, 1, 3 * mult}, &rng, 2);
        return g;
    };
    struct Case {
        const char* what;
        std::function<Layer*()> build;
        std::vector<std::string> names;
        uint32_t op;  // of the layer after the input
    };
    const Case cases[] = {
        {"groups == input channels", [&] { return grouped(Image("x", 6, 6, 3), "g", 1, {None, 0}); },
         {"x", "g"}, OP_DepthwiseConv2D},
        {"depth multiplier 2, then batch norm",
         [&] {
             Layer* g = grouped(Image("x", 6, 6, 3), "g", 2, {None, 0});
             return AddBatchNormalizationLayer(g, nullptr, "bn", true, true, 1e-3f);
         },
         {"x", "bn"}, OP_DepthwiseConv2D},
        {"depthwise with multiplier 2, then batch norm",
         [] {
             const PaddingStruct pad = Pads(4, 4);
             Layer* dw = AddDepthwiseConv2DLayer(Image("x", 6, 6, 3), nullptr, "dw", DL_NHWC, 3, 3, 1, 1, 1, 1, 2,
                                                 &pad, true, None);
             return AddBatchNormalizationLayer(dw, nullptr, "bn", true, true, 1e-3f);
         },
         {"x", "bn"}, OP_DepthwiseConv2D},
        {"activation with alpha", [&] { return grouped(Image("x", 6, 6, 3), "g", 1, {LeakyReLU, 0.1f}); },
         {"x", "g"}, OP_Conv2D},
        {"filter borrowing its data, then batch norm",
         [&] {
             Layer* c = Conv(Image("x", 6, 6, 3), "c", 2, 4, 4, true);
             SetTensorData(c->kernel->inner[0], borrowed.data());
             return AddBatchNormalizationLayer(c, nullptr, "bn", true, true, 1e-3f);
         },
         {"x", "c", "bn"}, OP_Conv2D},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto build = [&] {
            Layer* out = c.build();
            Model* m = CreateModel(&out, 1);
            FillWeights(m, 3);
            return m;
        };
        Model* plain = build();
        const auto want = RunOnce(plain);
        DestroyModel(plain);
        Model* m = build();
        OptimizeModel(m, 0);
        ASSERT_EQ(Names(m), c.names);
        EXPECT_EQ(c.op, m->layers[1]->op);
        const Tensor* filter = m->layers[1]->kernel->inner[0];
        if (c.op == OP_DepthwiseConv2D) {
            EXPECT_EQ(DL_MHWI, filter->layout);
            const NNKernelFn* fn = m->layers[1]->kernel->fn;
            EXPECT_TRUE(fn == nn_kernel_fn_list[kfname_DWConvolution_opt] ||
                        fn == nn_kernel_fn_list[kfname_DWConvolution_ref]);
        } else {
            EXPECT_EQ(DL_HWIO, filter->layout);
        }
        const auto got = RunOnce(m);
        ASSERT_EQ(want[0].size(), got[0].size());
        for (size_t i = 0; i < want[0].size(); ++i)
            EXPECT_NEAR(want[0][i], got[0][i], 1e-5f * (1.0f + std::fabs(want[0][i]))) << i;
        DestroyModel(m);
    }
    EXPECT_EQ(borrowedBefore, borrowed);  // the owner's weights are not rewritten
}

// Each graph must come out of optimisation with all its layers.
TEST(LayersFusion, PatternsThatMustNotFuse)
{
    struct Case {
        const char* what;
        std::function<std::vector<Layer*>()> build;
    };
    const Case cases[] = {
        {"conv with ReLU before batch norm",
         [] {
             Layer* c = Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false, ReLU);
             return std::vector<Layer*>{AddBatchNormalizationLayer(c, nullptr, "bn", true, true, 1e-3f)};
         }},
        {"conv that is an output",
         [] {
             Layer* c = Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false);
             return std::vector<Layer*>{c, Act(c, "r", ReLU)};
         }},
        {"conv feeding two layers",
         [] {
             Layer* c = Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false);
             return std::vector<Layer*>{Act(c, "r6", ReLU6), Act(c, "t", Tanh)};
         }},
        {"activation kind that does not fold",
         [] { return std::vector<Layer*>{Act(Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false), "t", Tanh)}; }},
        {"asymmetric zero padding before conv",
         [] {
             Layer* zp = AddZeroPadding2DLayer(Image("x", 3, 3, 1), nullptr, "zp", DL_NHWC, 1, 0, 1, 0);
             return std::vector<Layer*>{Conv(zp, "c", 2, 2, 2, true, Tanh)};
         }},
        {"sigmoid times another tensor",
         [] {
             Layer* x = Image("x", 3, 3, 1);
             Layer* e = AddExpLayer(x, nullptr, "x");  // named as the sigmoid's input, yet another layer
             return std::vector<Layer*>{Binary(AddMulLayer, e, Act(x, "s", Sigmoid), "m")};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Layer*> outs = c.build();
        Model* m = CreateModel(outs.data(), (uint32_t)outs.size());
        const uint32_t before = m->numLayers;
        OptimizeModel(m, 0);
        EXPECT_EQ(before, m->numLayers);
        for (uint32_t j = 0; j < outs.size(); ++j) EXPECT_EQ(outs[j], m->ioLayers->outputLayers[j]);
        DestroyModel(m);
    }
}

TEST(LayersFusion, HelpersAndHalfPrecisionRequest)
{
    Layer* x = Image("x", 3, 3, 1);
    Layer* a = Act(x, "a", ReLU);
    Layer* lone = Image("lone", 3, 3, 1);
    Layer* two[2] = {x, a};
    EXPECT_EQ(1u, CheckIfLayersConnected(two, 2, &x, 1, &a, 1));
    EXPECT_EQ(0u, CheckIfLayersConnected(two, 2, nullptr, 0, &a, 1));  // x is neither input nor fed
    Layer* three[3] = {x, a, lone};
    EXPECT_EQ(0u, CheckIfLayersConnected(three, 3, two, 1, &a, 1));
    EXPECT_EQ(1u, CheckIfLayersConnected(&lone, 1, nullptr, 0, nullptr, 0));
    SwapName(x, lone);
    EXPECT_STREQ("lone", x->name);
    DestroyLayer(lone);

    Model* m = CreateModel(&a, 1);
    corvus_test::ExpectWarning(
        "Model", "Float16 is supported only for ostrel now. Model will be run with float32 data format",
        [&] { OptimizeModel(m, 1); });
    EXPECT_EQ(DT_FLOAT32, a->kernel->output[0]->dtype);
    EXPECT_NE(nullptr, a->kernel->fn);
    DestroyModel(m);
}

TEST(LayersFusionDeathTest, FatalCases)
{
    auto zpBefore = [](PaddingStruct pad) {
        Layer* zp = AddZeroPadding2DLayer(Image("x", 3, 3, 1), nullptr, "zp", DL_NHWC, 1, 1, 1, 1);
        Layer* c = Conv(zp, "c", 2, 5, 5, false, Tanh, pad);
        Model* m = CreateModel(&c, 1);
        OptimizeModel(m, 0);
    };
    auto convBN = [](DataLayout layout, bool withBias) {
        Tensor* f = CreateTensor(DT_FLOAT32, layout, 4, Shape({1, 1, 1, 2}), true);
        Tensor* b = withBias ? CreateTensor(DT_FLOAT32, DL_I, 1, Shape({2}), true) : nullptr;
        Tensor* t = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({2}), true);
        ConvBNFusionWeightsPreparing(f, b, t, t);
    };
    ExpectFatal("LayersFusion",
                {{[&] { zpBefore(Pads(5, 5, 1, 1, 1, 1)); },
                  "((Conv2DParams*)(zp_consumer->kernel->params))->pad == VALID: false, expected: true"},
                 {[&] { convBN(DL_NCHW, true); },
                  "convFilter->layout == DL_HWIO || convFilter->layout == DL_MHWI: false, expected: true"},
                 {[&] { convBN(DL_HWIO, false); }, "convBias != NULL: false, expected: true"}});
    ExpectFatal("Model", {{[] {
                              Layer* x = Image("x", 4, 4, 2);
                              Layer* s = AddSplitLayer(x, nullptr, 1, 3, "s");
                              OptimizeLayer(s, 1);
                          },
                           "type float16 is not supported for this layer, layer_op=30, layer_name=s"}});
}
