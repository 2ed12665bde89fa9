// Graph optimisation: optimised graphs against the same graphs run plain,
// with the layers each fusion must leave or remove.

#include "ActivationTypes.h"
#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "LayersConvolution.h"
#include "LayersDataMovement.h"
#include "LayersDense.h"
#include "LayersFusion.h"
#include "LayersNormalization.h"
#include "LayersPooling.h"
#include "LayersResize.h"
#include "conv_util.h"
#include "graph_util.h"
#include "nn_kernel_list.h"

using namespace graph_util;
using conv_test::Pads;
using Strings = std::vector<std::string>;
using Outs = std::vector<Layer*>;

namespace {

Layer* Conv(Layer* in, const char* name, uint32_t filters, uint32_t oh, uint32_t ow, bool bias, uint32_t act = None)
{
    const PaddingStruct pad = Pads(oh, ow);
    return AddConv2DLayer(in, nullptr, name, DL_NHWC, filters, 3, 3, 1, 1, 1, 1, &pad, bias, ActivationParams{act, 0},
                          1);
}
Layer* Act(Layer* in, const char* name, uint32_t kind) { return AddActivationLayer(in, nullptr, name, {kind, 0}); }
Layer* BN(Layer* in, const char* name) { return AddBatchNormalizationLayer(in, nullptr, name, true, true, 1e-3f); }
Layer* Binary(Layer* (*add)(Layer**, Tensor**, uint32_t, const char*), Layer* a, Layer* b, const char* name)
{
    Layer* in[2] = {a, b};
    return add(in, nullptr, 2, name);
}

// A grouped Conv2D with one input channel per group runs as a depthwise
// layer; its filter has gaps in its strides so the data must really be moved.
Layer* Grouped(Layer* x, const char* name, uint32_t mult, ActivationParams act)
{
    const PaddingStruct pad = Pads(6, 6, 1, 1, 1, 1);
    Layer* g = AddConv2DLayer(x, nullptr, name, DL_NHWC, 3 * mult, 3, 3, 1, 1, 1, 1, &pad, true, act, 3);
    std::mt19937 rng(5);
    DestroyTensor(g->kernel->inner[0]);
    g->kernel->inner[0] = conv_test::Make(DL_HWIO, {3, 3, 1, 3 * mult}, &rng, 2);
    return g;
}

std::vector<float> gBorrowed(3 * 3 * 3 * 2);

// x -> zp(1,1,1,1) -> conv -> bn -> relu -> sigmoid * (.) -> zp(top 1, left 1)
// -> depthwise -> add(dw, dw) -> relu6 [out]; the product also feeds
// zp(1,1,1,1) -> maxpool [out]. Every fusion applies.
std::vector<Layer*> EveryFusion()
{
    Layer* zp1 = AddZeroPadding2DLayer(Image("x", 6, 6, 3), nullptr, "zp1", DL_NHWC, 1, 1, 1, 1);
    Layer* relu = Act(BN(Conv(zp1, "conv", 4, 6, 6, false), "bn"), "relu", ReLU);
    Layer* mul = Binary(AddMulLayer, relu, Act(relu, "sigm", Sigmoid), "mul");
    Layer* zp2 = AddZeroPadding2DLayer(mul, nullptr, "zp2", DL_NHWC, 1, 0, 1, 0);
    const PaddingStruct dwPad = Pads(5, 5), poolPad = Pads(7, 7);
    Layer* dw = AddDepthwiseConv2DLayer(zp2, nullptr, "dw", DL_NHWC, 3, 3, 1, 1, 1, 1, 1, &dwPad, true, None);
    Layer* zp3 = AddZeroPadding2DLayer(mul, nullptr, "zp3", DL_NHWC, 1, 1, 1, 1);
    return {Act(Binary(AddAddLayer, dw, dw, "add"), "relu6", ReLU6),
            AddMaxPool2DLayer(zp3, nullptr, "pool", DL_NHWC, 2, 2, 1, 1, 0, &poolPad, 1)};
}

// Graphs whose optimised form differs from their plain form compute the
// same (within rounding: the depthwise kernel starts from the bias and uses
// fused multiply-adds, the Conv2D reference adds rounded products and the
// bias last); graphs that must not fuse keep every layer (no names given).
TEST(LayersFusion, OptimisedGraphsComputeWhatPlainOnesDo)
{
    for (size_t i = 0; i < gBorrowed.size(); ++i) gBorrowed[i] = std::cos(0.3f * (float)i);
    const std::vector<float> borrowedBefore = gBorrowed;
    struct Case {
        const char* what;
        std::function<std::vector<Layer*>()> build;
        Strings names;  // after optimisation
        uint32_t op;    // of the layer after the input, when fused
    };
    // clang-format off
    const Case cases[] = {
        {"every fusion", EveryFusion, {"x", "relu", "sigm", "dw", "relu6", "pool"}, OP_Conv2D},
        {"groups == input channels", [] { return Outs{Grouped(Image("x", 6, 6, 3), "g", 1, {None, 0})}; }, {"x", "g"},
         OP_DepthwiseConv2D},
        {"depth multiplier 2, then batch norm",
         [] { return Outs{BN(Grouped(Image("x", 6, 6, 3), "g", 2, {None, 0}), "bn")}; }, {"x", "bn"},
         OP_DepthwiseConv2D},
        // Output channel c * M + m is innermost: batch normalisation scales it by that channel's factor.
        {"depthwise with multiplier 2, then batch norm",
         [] {
             const PaddingStruct pad = Pads(4, 4);
             Layer* dw = AddDepthwiseConv2DLayer(Image("x", 6, 6, 3), nullptr, "dw", DL_NHWC, 3, 3, 1, 1, 1, 1, 2, &pad,
                                                 true, None);
             return Outs{BN(dw, "bn")};
         },
         {"x", "bn"}, OP_DepthwiseConv2D},
        {"activation with alpha", [] { return Outs{Grouped(Image("x", 6, 6, 3), "g", 1, {LeakyReLU, 0.1f})}; },
         {"x", "g"}, OP_Conv2D},
        {"biased filter borrowing its data, then batch norm",
         [] {
             Layer* c = Conv(Image("x", 6, 6, 3), "c", 2, 4, 4, true);
             SetTensorData(c->kernel->inner[0], gBorrowed.data());
             return Outs{BN(c, "bn")};
         },
         {"x", "c", "bn"}, OP_Conv2D},
        {"conv with ReLU before batch norm",
         [] { return Outs{BN(Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false, ReLU), "bn")}; }, {}, 0},
        {"conv that is an output",
         [] {
             Layer* c = Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false);
             return Outs{c, Act(c, "r", ReLU)};
         }, {}, 0},
        {"conv feeding two layers",
         [] {
             Layer* c = Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false);
             return Outs{Act(c, "r6", ReLU6), Act(c, "t", Tanh)};
         }, {}, 0},
        {"activation kind that does not fold",
         [] { return Outs{Act(Conv(Image("x", 3, 3, 1), "c", 2, 1, 1, false), "t", Tanh)}; }, {}, 0},
        {"asymmetric zero padding before conv",
         [] {
             Layer* zp = AddZeroPadding2DLayer(Image("x", 3, 3, 1), nullptr, "zp", DL_NHWC, 1, 0, 1, 0);
             return Outs{Conv(zp, "c", 2, 2, 2, true, Tanh)};
         }, {}, 0},
        {"sigmoid times another tensor",
         [] {
             Layer* x = Image("x", 3, 3, 1);
             Layer* e = AddExpLayer(x, nullptr, "x");  // named as the sigmoid's input, yet another layer
             return Outs{Binary(AddMulLayer, e, Act(x, "s", Sigmoid), "m")};
         }, {}, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::vector<float>> want, got;
        Strings plainNames;
        for (bool optimise : {false, true}) {
            ModelPtr m = MakeModel(c.build());
            FillWeights(m.get(), 3);
            if (optimise) OptimizeModel(m.get(), 0);
            std::vector<float> x(GetTensorSize(m->ioLayers->inputLayers[0]->kernel->output[0]));
            for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.7f * (float)i) * 2.0f;
            InitModel(m.get(), 1);
            (optimise ? got : want) = Predicted(m.get(), {x});
            if (!optimise) {
                plainNames = Names(m.get());
                continue;
            }
            EXPECT_EQ(Names(m.get()), c.names.empty() ? plainNames : c.names);
            if (c.op == 0) continue;
            EXPECT_EQ(c.op, m->layers[1]->op);
            const NNKernelFn* fn = m->layers[1]->kernel->fn;
            EXPECT_TRUE(c.op != OP_DepthwiseConv2D || (m->layers[1]->kernel->inner[0]->layout == DL_MHWI &&
                                                       (fn == nn_kernel_fn_list[kfname_DWConvolution_opt] ||
                                                        fn == nn_kernel_fn_list[kfname_DWConvolution_ref])));
        }
        ASSERT_EQ(want.size(), got.size());
        for (size_t j = 0; j < want.size(); ++j) {
            ASSERT_EQ(want[j].size(), got[j].size());
            for (size_t i = 0; i < want[j].size(); ++i)
                EXPECT_NEAR(want[j][i], got[j][i], 1e-5f * (1.0f + std::fabs(want[j][i]))) << j << "/" << i;
        }
    }
    EXPECT_EQ(borrowedBefore, gBorrowed);  // the owner's weights are not rewritten
}

TEST(LayersFusion, CheckIfLayersConnected)
{
    Layer* x = Image("x", 3, 3, 1);
    Layer* a = Act(x, "a", ReLU);
    Layer* lone = Image("lone", 3, 3, 1);
    Layer* three[3] = {x, a, lone};
    EXPECT_EQ(1u, CheckIfLayersConnected(three, 2, &x, 1, &a, 1));
    EXPECT_EQ(0u, CheckIfLayersConnected(three, 2, nullptr, 0, &a, 1));  // x is neither input nor fed
    EXPECT_EQ(0u, CheckIfLayersConnected(three, 3, &x, 1, &a, 1));       // lone reaches nothing
    DestroyLayer(lone);
    ModelPtr m = MakeModel({a});  // owns x and a
}

// Layers converted to half precision one by one (a model-wide request runs
// float32): the inputs through OptimizeLayer, a Dense layer with its weights;
// Where and Reshape follow their inputs. Only the Dense layer rounds, once:
// its output is the float32 model's output rounded to half.
TEST(LayersFusionDeathTest, HalfPrecisionLayersRoundTheFloatResultOnce)
{
    std::mt19937 rng(17);
    auto halves = [&rng](size_t n) {
        std::vector<float> v(n);
        for (float& e : v) e = corvus_test::Float(corvus_test::Half(std::uniform_real_distribution<float>(-2, 2)(rng)));
        return v;
    };
    const std::vector<float> x = halves(6), y = halves(6), w = halves(12), b = halves(4);
    Layer* fc = nullptr;
    auto build = [&] {  // Dense(Reshape(Where(Greater(x, y), x, y)) to (2, 3)), 4 units
        Layer* in[3] = {nullptr, Input("x", 6), Input("y", 6)};
        in[0] = AddGreaterLayer(in + 1, nullptr, 2, "gt");
        const uint32_t rows[2] = {2, 3};
        fc = AddDenseLayer(AddReshapeLayer(AddWhereLayer(in, nullptr, 3, "max"), nullptr, "r", rows, 2), nullptr, "fc",
                           4, true, None);
        for (uint32_t j = 0; j < 2; ++j) SetTensorData(fc->kernel->inner[j], (void*)(j ? b : w).data());
        return MakeModel({fc});
    };
    ModelPtr plain = build();
    InitModel(plain.get(), 1);
    const std::vector<float> want = Predicted(plain.get(), {x, y})[0];

    ModelPtr half = build();
    for (uint32_t i = 0; i < half->numLayers; ++i) {
        Layer* l = half->layers[i];
        if (l->op == OP_Input) OptimizeLayer(l, 1);
        if (l->op == OP_Greater || l->op == OP_Dense) ConvertLayerInOutTensorsToFloat16(l);  // int8 stays
        if (l->op == OP_Dense) ConvertLayerInnersTensorsToFloat16(l);
        if (l->op == OP_Where || l->op == OP_Reshape) OptimizeLayer(l, 0);
    }
    EXPECT_TRUE(fc->kernel->inner[0]->dtype == DT_FLOAT16 && fc->kernel->inner[1]->dtype == DT_FLOAT16);
    corvus_test::ExpectWarning("Model",
                               "Float16 is supported only for ostrel now. Model will be run with float32 data format",
                               [&] { OptimizeModel(half.get(), 1); });
    EXPECT_EQ(fc->kernel->fn, nn_kernel_fn_list[kfname_Dense_ref]);
    InitModel(half.get(), 1);
    corvus_test::TensorPtr fx(corvus_test::Holding(DT_FLOAT32, {1, 6}, x)),
        fy(corvus_test::Holding(DT_FLOAT32, {1, 6}, y));
    const ModelInput feed[] = {{"x", fx.get()}, {"y", fy.get()}};
    const Tensor* out = Predict(half.get(), 2, feed)[0]->kernel->output[0];
    ASSERT_TRUE(out->dtype == DT_FLOAT16 && GetTensorSize(out) == want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(((const uint16_t*)out->data)[i], corvus_test::Half(want[i]));

    // clang-format off
    corvus_test::ExpectFatal("Model", {
        {[] { OptimizeLayer(AddSplitLayer(nullptr, corvus_test::Desc(DT_FLOAT32, {4}), 2, 0, "s"), 1); },
         "type float16 is not supported for this layer, layer_op=30, layer_name=s"},
        {[] { ConvertLayerInOutTensorsToFloat16(AddExpLayer(Input("x", 2), nullptr, "e")); },
         "layer->inputLayers[i]->kernel->output[0]->dtype == DT_FLOAT16: false, expected: true"},
        {[] { ConvertLayerInnersTensorsToFloat16(AddDenseLayer(Input("x", 2), nullptr, "d", 2, true, None)); },
         "inner->data==NULL, expected not NULL value"},
    });
    // clang-format on
}

}  // namespace
