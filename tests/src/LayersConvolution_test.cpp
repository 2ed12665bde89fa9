// Conv2D and DepthwiseConv2D constructors, the Conv2D-to-depthwise
// conversion and a small classifier built by hand and run through Predict.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "LayersDense.h"
#include "LayersPooling.h"
#include "Model.h"
#include "Padding.h"
#include "conv_util.h"
#include "nn_kernel_list.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace conv_test;
using U = std::vector<uint32_t>;

using norm_test::Described;
using norm_test::Dims;
using norm_test::Input;

TEST(LayersConvolution, Conv2DShapesInnerTensorsAndRecord)
{
    Layer* in = Input("img", {2, 9, 7, 6}, DL_NHWC);
    const PaddingStruct pad = Pads(5, 4, 1, 0, 2, 1);
    Layer* conv = AddConv2DLayer(in, nullptr, "conv", DL_NHWC, 10, 3, 2, 2, 2, 1, 3, &pad, true,
                                 ActivationParams{LeakyReLU, 0.3f}, 2);
    NNKernel* k = conv->kernel;
    EXPECT_EQ((uint32_t)OP_Conv2D, conv->op);
    EXPECT_STREQ("conv", conv->name);
    ASSERT_EQ(1u, k->inputsNum);
    ASSERT_EQ(2u, k->innerNum);
    EXPECT_EQ(Dims(k->output[0]), (U{2, 5, 4, 10}));
    EXPECT_EQ((uint32_t)DL_NHWC, k->output[0]->layout);
    EXPECT_EQ(nullptr, k->output[0]->data);
    EXPECT_EQ(Dims(k->inner[0]), (U{3, 2, 3, 10}));
    EXPECT_EQ((uint32_t)DL_HWIO, k->inner[0]->layout);
    EXPECT_EQ(Dims(k->inner[1]), (U{10}));
    EXPECT_EQ((uint32_t)DL_I, k->inner[1]->layout);
    EXPECT_EQ((uint32_t)DT_FLOAT32, k->inner[0]->dtype);
    const Conv2DParams* p = (const Conv2DParams*)k->params;
    EXPECT_EQ((U{p->kerSizeH, p->kerSizeW, p->filters, p->strideH, p->strideW, p->dilationRateH, p->dilationRateW}),
              (U{3, 2, 10, 2, 2, 1, 3}));
    EXPECT_EQ((U{p->padTop, p->padLeft, p->padBottom, p->padRight}), (U{1, 0, 2, 1}));
    EXPECT_EQ(1u, (uint32_t)p->pad);
    EXPECT_EQ(1u, p->useBias);
    EXPECT_EQ((uint32_t)LeakyReLU, p->activation.type);
    EXPECT_EQ(0.3f, p->activation.alpha);
    EXPECT_EQ(2u, p->groups);

    // A tensor input of layout DL_NONE takes the given layout; no pads give
    // VALID, no bias leaves the slot empty; a half input gives a half output.
    Tensor* t = Described({1, 4, 4, 3}, DL_NONE, DT_FLOAT16);
    const PaddingStruct valid = Pads(2, 2, 0, 0, 0, 0);
    Layer* conv2 = AddConv2DLayer(nullptr, t, nullptr, DL_NHWC, 5, 3, 3, 1, 1, 1, 1, &valid, false,
                                  ActivationParams{None, 0}, 1);
    EXPECT_EQ((uint32_t)DL_NHWC, t->layout);
    EXPECT_EQ((uint32_t)VALID, (uint32_t)((Conv2DParams*)conv2->kernel->params)->pad);
    EXPECT_EQ(nullptr, conv2->kernel->inner[1]);
    EXPECT_EQ((uint32_t)DT_FLOAT16, conv2->kernel->output[0]->dtype);
    EXPECT_EQ(0, strncmp(conv2->name, "Conv2D", 6));
    for (Layer* l : {in, conv, conv2}) DestroyLayer(l);
}

TEST(LayersConvolution, DepthwiseShapesInnerTensorsAndRecord)
{
    Layer* in = Input("img", {1, 6, 6, 3}, DL_NHWC);
    const PaddingStruct pad = Pads(3, 3, 1, 1, 1, 1);
    Layer* dw = AddDepthwiseConv2DLayer(in, nullptr, "dw", DL_NHWC, 3, 3, 2, 2, 1, 1, 2, &pad, true, ReLU6);
    NNKernel* k = dw->kernel;
    EXPECT_EQ((uint32_t)OP_DepthwiseConv2D, dw->op);
    EXPECT_EQ(Dims(k->output[0]), (U{1, 3, 3, 6}));
    EXPECT_EQ(Dims(k->inner[0]), (U{2, 3, 3, 3}));
    EXPECT_EQ((uint32_t)DL_MHWI, k->inner[0]->layout);
    EXPECT_EQ(Dims(k->inner[1]), (U{6}));
    const DepthWiseConv2DParams* p = (const DepthWiseConv2DParams*)k->params;
    EXPECT_EQ((U{p->kerSizeH, p->kerSizeW, p->strideH, p->strideW, p->dilationRateH, p->dilationRateW,
                 p->depthMultiplier}),
              (U{3, 3, 2, 2, 1, 1, 2}));
    EXPECT_EQ((U{p->padTop, p->padLeft, p->padBottom, p->padRight}), (U{1, 1, 1, 1}));
    EXPECT_EQ(1u, (uint32_t)p->pad);
    EXPECT_EQ(1u, p->useBias);
    EXPECT_EQ((uint32_t)ReLU6, p->activation);
    for (Layer* l : {in, dw}) DestroyLayer(l);
}

TEST(LayersConvolution, ConstructorChecks)
{
    const PaddingStruct pad = Pads(1, 1, 0, 0, 0, 0);
    const ActivationParams none = {None, 0};
    corvus_test::ExpectFatal(
        "Layers",
        {{[&] { AddConv2DLayer(nullptr, Described({1, 4, 4}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &pad, false, none, 1); },
          "input tensor ndim must equal 4. ndim: 3"},
         {[&] { AddDepthwiseConv2DLayer(nullptr, Described({4, 4}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &pad, false, 0); },
          "input tensor ndim must equal 4. ndim: 2"},
         {[&] { AddConv2DLayer(nullptr, Described({1, 4, 4, 2}, DL_NCHW), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &pad, false, none, 1); },
          "inputTensor->layout == layout: false, expected: true"},
         {[&] { AddConv2DLayer(nullptr, Described({1, 4, 4, 2}), nullptr, DL_NCHW, 1, 1, 1, 1, 1, 1, 1, &pad, false, none, 1); },
          "inTensor->layout == DL_NHWC: false, expected: true"},
         {[&] { AddDepthwiseConv2DLayer(nullptr, Described({1, 4, 4, 2}), nullptr, DL_NCHW, 1, 1, 1, 1, 1, 1, 1, &pad, false, 0); },
          "inTensor->layout == DL_NHWC: false, expected: true"},
         {[&] { AddConv2DLayer(nullptr, Described({1, 4, 4, 2}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &pad, false, none, 0); },
          "groups must be greater than 0"},
         {[&] { AddDepthwiseConv2DLayer(nullptr, Described({1, 4, 4, 2}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 0, &pad, false, 0); },
          "depthMultiplier must be greater than 0"},
         {[&] { AddConv2DLayer(nullptr, Described({1, 4, 4, 2}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, nullptr, false, none, 1); },
          "padding==NULL, expected not NULL value"}});
}

TEST(LayersConvolution, Conv2DToDepthwiseConversion)
{
    std::mt19937 rng(14);
    const PaddingStruct pad = Pads(4, 5, 1, 1, 1, 1);
    // C_in 8, groups 8, C_out 16: depthwise with multiplier 2.
    Tensor* input = Make(DL_NHWC, {1, 4, 5, 8}, &rng);
    Layer* conv = AddConv2DLayer(nullptr, input, "c", DL_NHWC, 16, 3, 3, 1, 1, 1, 1, &pad, true,
                                 ActivationParams{ReLU, 0.7f}, 8);
    NNKernel* k = conv->kernel;
    AllocTensorData(k->output[0]);
    AllocTensorData(k->inner[0]);
    AllocTensorData(k->inner[1]);
    for (uint32_t e = 0; e < 3 * 3 * 16; ++e) F32(k->inner[0])[e] = std::uniform_real_distribution<float>(-1, 1)(rng);
    for (uint32_t e = 0; e < 16; ++e) F32(k->inner[1])[e] = 0.1f * e - 0.8f;
    Execute_Conv2D_ref(k);
    const std::vector<float> viaConv(F32(k->output[0]), F32(k->output[0]) + 4 * 5 * 16);
    const std::vector<float> filterBefore(F32(k->inner[0]), F32(k->inner[0]) + 144);

    // Not qualifying while the filter is still labelled for Conv2D.
    EXPECT_EQ(nullptr, Conv2D_to_dwConv(k, nullptr));
    k->inner[0]->layout = DL_MHWI;
    Conv2DParams* old = Conv2D_to_dwConv(k, nullptr);
    ASSERT_NE(nullptr, old);
    EXPECT_EQ(8u, old->groups);
    free(old);
    const DepthWiseConv2DParams* p = (const DepthWiseConv2DParams*)k->params;
    EXPECT_EQ(2u, p->depthMultiplier);
    EXPECT_EQ((uint32_t)ReLU, p->activation);
    EXPECT_EQ(1u, p->useBias);
    EXPECT_EQ((U{p->kerSizeH, p->kerSizeW, p->padTop, p->padLeft, p->padBottom, p->padRight}), (U{3, 3, 1, 1, 1, 1}));
    EXPECT_EQ(Dims(k->inner[0]), (U{1, 3, 3, 16}));
    EXPECT_EQ((uint32_t)DL_MHWI, k->inner[0]->layout);
    for (uint32_t e = 0; e < 144; ++e) EXPECT_EQ(filterBefore[e], F32(k->inner[0])[e]);

    // The depthwise kernel on the converted record computes the same
    // convolution (rounding differs: fused accumulation from the bias).
    k->fn = nn_kernel_fn_list[kfname_DWConvolution_ref];
    InitKernelCore(conv);
    k->fn->execute(k);
    for (uint32_t e = 0; e < viaConv.size(); ++e) EXPECT_NEAR(viaConv[e], F32(k->output[0])[e], 1e-5f) << e;
    DestroyLayer(conv);

    // groups 4: not a depthwise layer; nothing changes.
    Layer* grouped = AddConv2DLayer(nullptr, Described({1, 4, 5, 8}), nullptr, DL_NHWC, 16, 3, 3, 1, 1, 1, 1, &pad,
                                    false, ActivationParams{None, 0}, 4);
    grouped->kernel->inner[0]->layout = DL_MHWI;
    void* params = grouped->kernel->params;
    const Tensor* filter = grouped->kernel->inner[0];
    DepthWiseConv2DParams record;
    EXPECT_EQ(nullptr, Conv2D_to_dwConv(grouped->kernel, &record));
    EXPECT_EQ(params, grouped->kernel->params);
    EXPECT_EQ(filter, grouped->kernel->inner[0]);
    EXPECT_EQ(Dims(filter), (U{3, 3, 2, 16}));
    DestroyLayer(grouped);
}

TEST(LayersConvolution, ConstructorMadeDepthwiseReadsWeightsFileOrder)
{
    // Declared {M, kH, kW, C} with M = 2; the data is in the weights file's
    // order, channel c and multiplier m at c * 2 + m.
    const PaddingStruct pad = Pads(1, 1, 0, 0, 0, 0);
    Tensor* input = Make(DL_NHWC, {1, 1, 2, 2}, nullptr);
    const float x[4] = {1, 2, 3, 4};  // pixels (1, 2) and (3, 4)
    std::copy(x, x + 4, F32(input));
    Layer* dw = AddDepthwiseConv2DLayer(nullptr, input, nullptr, DL_NHWC, 1, 2, 1, 1, 1, 1, 2, &pad, false, None);
    NNKernel* k = dw->kernel;
    AllocTensorData(k->output[0]);
    AllocTensorData(k->inner[0]);
    // kw 0: (c0m0, c0m1, c1m0, c1m1) = (1, 10, 100, 1000); kw 1: 2x those.
    const float w[8] = {1, 10, 100, 1000, 2, 20, 200, 2000};
    std::copy(w, w + 8, F32(k->inner[0]));
    k->fn = nn_kernel_fn_list_default[OP_DepthwiseConv2D];
    InitKernelCore(dw);
    k->fn->execute(k);
    // Channel 0: 1*w + 3*2w; channel 1: 2*w + 4*2w.
    const float expected[4] = {7, 70, 1000, 10000};
    for (uint32_t e = 0; e < 4; ++e) EXPECT_EQ(expected[e], F32(k->output[0])[e]) << e;
    DestroyLayer(dw);
}

// Input -> Conv2D + ReLU -> MaxPool2D -> DepthwiseConv2D -> global average
// -> Dense -> Softmax, with known weights, against a direct computation in
// double precision.
TEST(LayersConvolution, HandBuiltClassifierPredicts)
{
    const uint32_t H = 8, W = 8, C = 3, F = 4, K = 3;
    Layer* in = Input("image", {1, H, W, C}, DL_NHWC);
    const uint32_t size[2] = {H, W}, k3[2] = {3, 3}, s1[2] = {1, 1};
    const PaddingStruct same = ComputePaddingStruct(2, size, k3, s1, nullptr, SAME, nullptr, 0);
    Layer* conv = AddConv2DLayer(in, nullptr, "conv", DL_NHWC, F, 3, 3, 1, 1, 1, 1, &same, true,
                                 ActivationParams{ReLU, 0}, 1);
    const uint32_t k2[2] = {2, 2}, s2[2] = {2, 2};
    // VALID sizes round (in - k + 1) / s; rounding up gives the usual 4.
    const PaddingStruct pool = ComputePaddingStruct(2, size, k2, s2, nullptr, VALID, nullptr, 1);
    Layer* mp = AddMaxPool2DLayer(conv, nullptr, "pool", DL_NHWC, 2, 2, 2, 2, 0, &pool, POOL_PADDING_IGNORE);
    const uint32_t half[2] = {H / 2, W / 2};
    const PaddingStruct same2 = ComputePaddingStruct(2, half, k3, s1, nullptr, SAME, nullptr, 0);
    Layer* dw = AddDepthwiseConv2DLayer(mp, nullptr, "dw", DL_NHWC, 3, 3, 1, 1, 1, 1, 1, &same2, true, None);
    Layer* gap = AddGlobalAveragePool2DLayer(dw, nullptr, "gap", DL_NHWC, 0);
    Layer* dense = AddDenseLayer(gap, nullptr, "dense", K, true, None);
    Layer* softmax = AddActivationLayer(dense, nullptr, "softmax", ActivationParams{Softmax, 0});
    Layer* outputs[] = {softmax, dense};
    Model* model = CreateModel(outputs, 2);

    // Known weights, filled before initialisation as the weights file would.
    auto value = [](uint32_t i, uint32_t mod, float scale) { return ((float)((i * 7) % mod) - mod / 2) * scale; };
    for (Layer* l : {conv, dw, dense})
        for (uint32_t j = 0; j < l->kernel->innerNum; ++j) {
            Tensor* t = l->kernel->inner[j];
            AllocTensorData(t);
            for (uint32_t e = 0; e < GetTensorSize(t); ++e) F32(t)[e] = value(e + 3 * j, 11 + 2 * j, 0.1f);
        }
    ASSERT_EQ(1u, InitModel(model, 1));
    Tensor* image = Make(DL_NHWC, {1, H, W, C}, nullptr);
    for (uint32_t e = 0; e < H * W * C; ++e) F32(image)[e] = value(e, 13, 0.25f);
    ModelInput feed[] = {{"image", image}};
    Layer** result = Predict(model, 1, feed);

    // Direct computation in double precision.
    const float* cw = F32(conv->kernel->inner[0]);
    const float* cb = F32(conv->kernel->inner[1]);
    std::vector<double> c1(H * W * F);
    for (uint32_t h = 0; h < H; ++h)
        for (uint32_t w = 0; w < W; ++w)
            for (uint32_t f = 0; f < F; ++f) {
                double s = cb[f];
                for (int dh = -1; dh <= 1; ++dh)
                    for (int dwc = -1; dwc <= 1; ++dwc) {
                        const int ih = (int)h + dh, iw = (int)w + dwc;
                        if (ih < 0 || ih >= (int)H || iw < 0 || iw >= (int)W) continue;
                        for (uint32_t c = 0; c < C; ++c)
                            s += (double)F32(image)[(ih * W + iw) * C + c] * cw[(((dh + 1) * 3 + dwc + 1) * C + c) * F + f];
                    }
                c1[(h * W + w) * F + f] = s > 0 ? s : 0;
            }
    for (uint32_t e = 0; e < H * W * F; ++e)
        ASSERT_NEAR(c1[e], F32(conv->kernel->output[0])[e], 1e-5 * (1 + std::fabs(c1[e]))) << "conv " << e;
    std::vector<double> p1((H / 2) * (W / 2) * F);
    for (uint32_t h = 0; h < H / 2; ++h)
        for (uint32_t w = 0; w < W / 2; ++w)
            for (uint32_t f = 0; f < F; ++f) {
                double m = c1[((2 * h) * W + 2 * w) * F + f];
                for (uint32_t a = 0; a < 2; ++a)
                    for (uint32_t b = 0; b < 2; ++b) m = std::max(m, c1[((2 * h + a) * W + 2 * w + b) * F + f]);
                p1[(h * (W / 2) + w) * F + f] = m;
            }
    ASSERT_EQ(Dims(mp->kernel->output[0]), (U{1, H / 2, W / 2, F}));
    for (uint32_t e = 0; e < (H / 2) * (W / 2) * F; ++e)
        ASSERT_NEAR(p1[e], F32(mp->kernel->output[0])[e], 1e-5 * (1 + std::fabs(p1[e]))) << "pool " << e;
    const float* dwW = F32(dw->kernel->inner[0]);
    const float* dwB = F32(dw->kernel->inner[1]);
    std::vector<double> pooled(F, 0.0);
    const int h2 = H / 2, w2 = W / 2;
    for (int h = 0; h < h2; ++h)
        for (int w = 0; w < w2; ++w)
            for (uint32_t f = 0; f < F; ++f) {
                double s = dwB[f];
                for (int dh = -1; dh <= 1; ++dh)
                    for (int dwc = -1; dwc <= 1; ++dwc) {
                        const int ih = h + dh, iw = w + dwc;
                        if (ih < 0 || ih >= h2 || iw < 0 || iw >= w2) continue;
                        s += p1[(ih * w2 + iw) * F + f] * dwW[((dh + 1) * 3 + dwc + 1) * F + f];
                    }
                pooled[f] += s / (h2 * w2);
            }
    for (uint32_t f = 0; f < F; ++f)
        ASSERT_NEAR(pooled[f], F32(gap->kernel->output[0])[f], 1e-5 * (1 + std::fabs(pooled[f]))) << "average " << f;
    std::vector<double> logits(K);
    for (uint32_t j = 0; j < K; ++j) {
        logits[j] = F32(dense->kernel->inner[1])[j];
        for (uint32_t f = 0; f < F; ++f) logits[j] += pooled[f] * F32(dense->kernel->inner[0])[f * K + j];
    }

    const Tensor* probs = result[0]->kernel->output[0];
    const Tensor* scores = result[1]->kernel->output[0];
    EXPECT_EQ(Dims(probs), (U{1, K}));
    double maxLogit = logits[0], norm = 0, normFast = 0, sum = 0;
    for (uint32_t j = 0; j < K; ++j) {
        EXPECT_NEAR(logits[j], F32(scores)[j], 1e-5 * (1 + std::fabs(logits[j]))) << j;
        maxLogit = std::max(maxLogit, logits[j]);
    }
    for (uint32_t j = 0; j < K; ++j) {
        norm += std::exp(logits[j] - maxLogit);
        normFast += expf_fast((float)(logits[j] - maxLogit));
    }
    for (uint32_t j = 0; j < K; ++j) {
        const double p = F32(probs)[j];
        sum += p;
        // Softmax uses the fast exponential (within a few per cent of exp).
        EXPECT_NEAR(std::exp(logits[j] - maxLogit) / norm, p, 0.03) << j;
        EXPECT_NEAR(expf_fast((float)(logits[j] - maxLogit)) / normFast, p, 1e-5) << j;
    }
    EXPECT_NEAR(1.0, sum, 1e-5);
    // The weights give the classes distinct scores; a flat answer would mean
    // a layer lost its input.
    EXPECT_GT(std::fabs(logits[0] - logits[1]) + std::fabs(logits[1] - logits[2]), 0.1);
    DestroyTensor(image);
    DestroyModel(model);
}
