// Depthwise reference kernel against the naive convolution (groups = channels).
#include <gtest/gtest.h>

#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "conv_util.h"
#include "nn_kernel_list.h"

using namespace conv_test;

namespace {

struct DwCase {
    uint32_t N, H, W, C, M, kH, kW, sH, sW, dH, dW, top, left, bottom, right;
    bool useBias;
    uint32_t activation;
    uint32_t OH() const { return OutSize(H, kH, sH, dH, top, bottom); }
    uint32_t OW() const { return OutSize(W, kW, sW, dW, left, right); }
};

// A depthwise layer on `input` with allocated data: filter in the weights
// file's order (kh, kw, c * M + m), bias and output.
Layer* MakeLayer(const DwCase& c, Tensor* input, std::mt19937* rng)
{
    const PaddingStruct pad = Pads(c.OH(), c.OW(), c.top, c.left, c.bottom, c.right);
    Layer* layer = AddDepthwiseConv2DLayer(nullptr, input, nullptr, DL_NHWC, c.kH, c.kW, c.sH, c.sW, c.dH, c.dW, c.M,
                                           &pad, c.useBias, c.activation);
    NNKernel* k = layer->kernel;
    AllocTensorData(k->output[0]);
    for (uint32_t i = 0; i < (c.useBias ? 2u : 1u); ++i) {
        AllocTensorData(k->inner[i]);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (uint32_t e = 0; rng != nullptr && e < GetTensorSize(k->inner[i]); ++e) F32(k->inner[i])[e] = dist(*rng);
    }
    k->fn = nn_kernel_fn_list_default[OP_DepthwiseConv2D];
    return layer;
}

}  // namespace

// Fixed 3x3 and 5x5 windows over rows wide enough for several pixel tiles,
// channel counts leaving 8-, 4- and 1-lane remainders; then random shapes.
// Accumulation is one fused chain from the bias; in half precision (no
// fused activation there) rounded to float16 after every step.
TEST(DWConvolutionRef, MatchesNaiveOverRandomGeometry)
{
    const DwCase fixed[] = {{1, 6, 14, 61, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, true, ReLU6},
                            {1, 7, 17, 29, 1, 3, 3, 2, 2, 1, 1, 0, 0, 1, 1, true, ReLU},
                            {2, 9, 23, 44, 1, 5, 5, 1, 1, 1, 1, 2, 2, 2, 2, false, ReLU6},
                            {1, 11, 21, 19, 1, 5, 5, 2, 2, 1, 1, 1, 2, 2, 1, true, None},
                            {1, 8, 19, 13, 2, 3, 3, 1, 2, 2, 1, 2, 0, 2, 3, true, LeakyReLU},
                            {1, 9, 26, 16, 1, 5, 5, 1, 3, 1, 2, 0, 4, 0, 4, true, ReLU}};
    std::mt19937 rng(21);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int trial = 0; trial < 6 + 250; ++trial) {
        const bool half = trial % 8 == 7;
        DwCase c = fixed[trial < 6 ? trial : 0];
        if (trial >= 6) {
            c = {pick(1, 2), pick(1, 9), pick(1, 11), pick(1, 37),     pick(1, 3), pick(1, 4),
                 pick(1, 4), pick(1, 3), pick(1, 3),  pick(1, 3),      pick(1, 3), pick(0, 3),
                 pick(0, 3), pick(0, 3), pick(0, 3),  pick(0, 1) == 1, pick(0, 4)};
            c.activation = kFusedKinds[c.activation];
        }
        if (c.OH() == 0 || c.OW() == 0) continue;
        if (half) c.activation = None;
        Tensor* in =
            Make(DL_NHWC, {c.N, c.H, c.W, c.C}, &rng, half ? 0 : pick(0, 1) * 2, half ? DT_FLOAT16 : DT_FLOAT32);
        Layer* layer = MakeLayer(c, in, &rng);
        NNKernel* k = layer->kernel;
        InitKernelCore(layer);
        k->fn->execute(k);
        ConvSetup s;
        s.x = {c.N, c.H, c.W, c.C}, s.y = {c.N, c.OH(), c.OW(), c.C * c.M}, s.k = {c.kH, c.kW};
        s.s = {c.sH, c.sW}, s.d = {c.dH, c.dW}, s.pad = {c.top, c.left};
        s.groups = c.C, s.chain = true, s.halfSteps = half, s.act = c.activation;
        const std::vector<float> want =
            NaiveConv(s, Values(in), Values(k->inner[0]), c.useBias ? F32(k->inner[1]) : nullptr);
        ASSERT_TRUE(SameValues(want, k->output[0])) << "trial " << trial;
        DestroyLayer(layer);
    }
}

TEST(DWConvolutionRefDeathTest, ChecksBeforeComputing)
{
    Layer* layer = MakeLayer({1, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, false, None},
                             Make(DL_NHWC, {1, 2, 2, 2}, nullptr), nullptr);
    NNKernel* k = layer->kernel;
    corvus_test::ExpectFatal("DWConvolution_ref",
                             {{[&] {
                                   k->inner[0]->shape.dimension[3] = 3;
                                   Execute_DWConvolution_ref(k);
                               },
                               "DWConvolution: filter shape (1, 1, 1, 3) does not match kernel 1x1, 2 channels x 1"}});
    // Fused activations run through the float32 activation kernel only.
    corvus_test::ExpectFatal("Activation_ref", {{[&] {
                                                     ((DepthWiseConv2DParams*)k->params)->activation = ReLU;
                                                     k->input[0]->dtype = DT_FLOAT16;
                                                     k->output[0]->dtype = DT_FLOAT16;
                                                     Execute_DWConvolution_ref(k);
                                                 },
                                                 "Cannot determine activation function"}});
    DestroyLayer(layer);
}
