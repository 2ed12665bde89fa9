// Depthwise reference kernel against a naive direct depthwise convolution.
#include <gtest/gtest.h>

#include <vector>

#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "conv_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace conv_test;

namespace {

struct DwCase {
    uint32_t N, H, W, C, M, kH, kW, sH, sW, dH, dW, top, left, bottom, right;
    bool useBias;
    uint32_t activation;
    uint32_t OH() const { return Out(H, kH, sH, dH, top, bottom); }
    uint32_t OW() const { return Out(W, kW, sW, dW, left, right); }
    static uint32_t Out(uint32_t in, uint32_t k, uint32_t s, uint32_t d, uint32_t b, uint32_t e)
    {
        const int64_t span = (int64_t)in + b + e - ((int64_t)(k - 1) * d + 1);
        return span < 0 ? 0 : (uint32_t)(span / s + 1);
    }
};

// A depthwise layer on a given input tensor, with allocated data: filter in
// the weights-file order (kh, kw, c * M + m), bias and output.
Layer* MakeLayer(const DwCase& c, Tensor* input)
{
    PaddingStruct pad;
    memset(&pad, 0, sizeof(pad));
    pad.outputSize[0] = c.OH();
    pad.outputSize[1] = c.OW();
    pad.begin0 = c.top, pad.end0 = c.bottom, pad.begin1 = c.left, pad.end1 = c.right;
    Layer* layer = AddDepthwiseConv2DLayer(nullptr, input, nullptr, DL_NHWC, c.kH, c.kW, c.sH, c.sW, c.dH, c.dW, c.M,
                                           &pad, c.useBias, c.activation);
    NNKernel* k = layer->kernel;
    AllocTensorData(k->output[0]);
    AllocTensorData(k->inner[0]);
    if (c.useBias) AllocTensorData(k->inner[1]);
    k->fn = nn_kernel_fn_list_default[OP_DepthwiseConv2D];
    return layer;
}

void Fill(Tensor* t, std::mt19937& rng)
{
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (uint32_t e = 0; e < GetTensorSize(t); ++e) F32(t)[e] = dist(rng);
}

// Direct definition: accumulator from the bias, one fused multiply-add per
// kernel position inside the input; `half` rounds it to half precision
// after every step (operands already hold half values then). The record
// has no alpha, so LeakyReLU multiplies negatives by 0.
std::vector<float> NaiveDw(const DwCase& c, const Tensor* in, const float* filter, const float* bias, bool half)
{
    const uint32_t OH = c.OH(), OW = c.OW(), CM = c.C * c.M;
    auto round = [half](float v) { return half ? RoundHalf(v) : v; };
    std::vector<float> out((size_t)c.N * OH * OW * CM);
    for (uint32_t n = 0; n < c.N; ++n)
        for (uint32_t oh = 0; oh < OH; ++oh)
            for (uint32_t ow = 0; ow < OW; ++ow)
                for (uint32_t ch = 0; ch < c.C; ++ch)
                    for (uint32_t m = 0; m < c.M; ++m) {
                        const uint32_t oc = ch * c.M + m;
                        float acc = bias != nullptr ? round(bias[oc]) : 0.0f;
                        for (uint32_t kh = 0; kh < c.kH; ++kh)
                            for (uint32_t kw = 0; kw < c.kW; ++kw) {
                                const int64_t ih = (int64_t)oh * c.sH - c.top + (int64_t)kh * c.dH;
                                const int64_t iw = (int64_t)ow * c.sW - c.left + (int64_t)kw * c.dW;
                                if (ih < 0 || ih >= c.H || iw < 0 || iw >= c.W) continue;
                                const float x = At(in, {n, (uint32_t)ih, (uint32_t)iw, ch});
                                acc = round(fmaf(x, filter[((size_t)kh * c.kW + kw) * CM + oc], acc));
                            }
                        out[(((size_t)n * OH + oh) * OW + ow) * CM + oc] = Activate(acc, c.activation, 0.0f);
                    }
    return out;
}

void ExpectEquals(const std::vector<float>& expected, const Tensor* out)
{
    const uint32_t N = out->shape.dimension[0], OH = out->shape.dimension[1], OW = out->shape.dimension[2];
    const uint32_t C = out->shape.dimension[3];
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t h = 0; h < OH; ++h)
            for (uint32_t w = 0; w < OW; ++w)
                for (uint32_t c = 0; c < C; ++c)
                    ASSERT_TRUE(SameBits(expected[(((size_t)n * OH + h) * OW + w) * C + c], At(out, {n, h, w, c})))
                        << "at " << n << "," << h << "," << w << "," << c;
}

void RunLayer(Layer* layer)
{
    InitKernelCore(layer);
    layer->kernel->fn->execute(layer->kernel);
}

}  // namespace

TEST(DWConvolutionRef, MatchesNaiveOverRandomGeometry)
{
    // Fixed-window 3x3 and 5x5 rows wide enough for several pixel tiles, with
    // channel counts leaving 8-, 4- and 1-lane remainders; then random shapes.
    const DwCase fixed[] = {
        {1, 6, 14, 61, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, true, ReLU6},
        {1, 7, 17, 29, 1, 3, 3, 2, 2, 1, 1, 0, 0, 1, 1, true, ReLU},
        {2, 9, 23, 44, 1, 5, 5, 1, 1, 1, 1, 2, 2, 2, 2, false, ReLU6},
        {1, 11, 21, 19, 1, 5, 5, 2, 2, 1, 1, 1, 2, 2, 1, true, None},
        {1, 8, 19, 13, 2, 3, 3, 1, 2, 2, 1, 2, 0, 2, 3, true, LeakyReLU},
        {1, 9, 26, 16, 1, 5, 5, 1, 3, 1, 2, 0, 4, 0, 4, true, ReLU}};
    std::mt19937 rng(21);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    const int nFixed = (int)(sizeof(fixed) / sizeof(fixed[0]));
    for (int trial = 0; trial < nFixed + 250; ++trial) {
        DwCase c = trial < nFixed ? fixed[trial]
                                  : DwCase{pick(1, 2), pick(1, 9), pick(1, 11), pick(1, 37), pick(1, 3), pick(1, 4),
                                           pick(1, 4), pick(1, 3), pick(1, 3), pick(1, 3), pick(1, 3), pick(0, 3),
                                           pick(0, 3), pick(0, 3), pick(0, 3), pick(0, 1) == 1, kFusedKinds[pick(0, 4)]};
        if (c.OH() == 0 || c.OW() == 0) continue;
        Tensor* in = Make(DL_NHWC, {c.N, c.H, c.W, c.C}, &rng, pick(0, 1) * 2);
        Layer* layer = MakeLayer(c, in);
        NNKernel* k = layer->kernel;
        Fill(k->inner[0], rng);
        if (c.useBias) Fill(k->inner[1], rng);
        RunLayer(layer);
        ExpectEquals(NaiveDw(c, in, F32(k->inner[0]), c.useBias ? F32(k->inner[1]) : nullptr, false), k->output[0]);
        DestroyLayer(layer);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "trial " << trial << " C " << c.C << " M " << c.M << " H " << c.H << " W " << c.W
                          << " k " << c.kH << "x" << c.kW << " s " << c.sH << "," << c.sW << " d " << c.dH << ","
                          << c.dW;
            return;
        }
    }
}

TEST(DWConvolutionRef, MultiplierOrdersOutputChannelsAsChannelTimesMultiplier)
{
    // 3 channels, multiplier 2, 1x1 kernel: output c * 2 + m = x[c] * w[c * 2 + m].
    DwCase c{1, 1, 1, 3, 2, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, false, None};
    Tensor* in = Make(DL_NHWC, {1, 1, 1, 3}, nullptr);
    F32(in)[0] = 1, F32(in)[1] = 10, F32(in)[2] = 100;
    Layer* layer = MakeLayer(c, in);
    NNKernel* k = layer->kernel;
    for (uint32_t e = 0; e < 6; ++e) F32(k->inner[0])[e] = (float)(e + 1);
    RunLayer(layer);
    const float expected[6] = {1, 2, 30, 40, 500, 600};
    for (uint32_t e = 0; e < 6; ++e) EXPECT_EQ(expected[e], F32(k->output[0])[e]) << e;
    DestroyLayer(layer);
}

TEST(DWConvolutionRef, HalfPrecisionRoundsAfterEveryPosition)
{
    std::mt19937 rng(4);
    for (uint32_t M : {1u, 2u}) {
        DwCase c{1, 5, 6, 7, M, 3, 3, 1, 2, 1, 1, 1, 1, 1, 1, true, ReLU};
        Tensor* in32 = Make(DL_NHWC, {1, 5, 6, 7}, &rng);
        Tensor* in16 = ConvertedCopy(in32, DT_FLOAT16);
        TensorDataConvert(in32, in16);
        Layer* layer = MakeLayer(c, in16);
        // The half-precision layer: float16 output, float32 filter and bias.
        NNKernel* k = layer->kernel;
        Fill(k->inner[0], rng);
        Fill(k->inner[1], rng);
        // Activations run in float32 only; apply it in the comparison instead.
        DepthWiseConv2DParams* p = (DepthWiseConv2DParams*)k->params;
        p->activation = None;
        c.activation = None;
        RunLayer(layer);
        const std::vector<float> expected = NaiveDw(c, in32, F32(k->inner[0]), F32(k->inner[1]), true);
        std::vector<float> got(expected.size());
        float16_to_float32((const uint16_t*)k->output[0]->data, got.data(), (uint32_t)got.size());
        for (size_t e = 0; e < got.size(); ++e) ASSERT_TRUE(SameBits(expected[e], got[e])) << "M " << M << " at " << e;
        DestroyLayer(layer);
        DestroyTensor(in32);
    }
}

TEST(DWConvolutionRef, ViewsShareDataForMultiplierOneAndOwnItOtherwise)
{
    std::mt19937 rng(8);
    for (uint32_t M : {1u, 3u}) {
        DwCase c{1, 3, 3, 2, M, 2, 2, 1, 1, 1, 1, 0, 0, 1, 1, true, None};
        Layer* layer = MakeLayer(c, Make(DL_NHWC, {1, 3, 3, 2}, &rng));
        NNKernel* k = layer->kernel;
        Fill(k->inner[0], rng);
        Fill(k->inner[1], rng);
        Init_DWConvolution_ref(k);
        Tensor** views = (Tensor**)k->extra_resources;
        ASSERT_NE(nullptr, views);
        const uint32_t filterDims[5] = {M, 1, 2, 2, 2};
        for (uint32_t d = 0; d < 5; ++d) EXPECT_EQ(filterDims[d], views[0]->shape.dimension[d]);
        EXPECT_EQ(2u, views[1]->ndim);
        EXPECT_EQ(M, views[1]->shape.dimension[0]);
        EXPECT_EQ(5u, views[2]->ndim);
        EXPECT_EQ((uint32_t)DL_NONE, views[2]->layout);
        EXPECT_EQ(M == 1, views[0]->data == k->inner[0]->data);
        EXPECT_EQ(M == 1, views[2]->data == k->output[0]->data);
        // Bias of channel c, multiplier m sits at c * M + m in the source.
        for (uint32_t m = 0; m < M; ++m)
            for (uint32_t ch = 0; ch < 2; ++ch) EXPECT_EQ(F32(k->inner[1])[ch * M + m], F32(views[1])[m * 2 + ch]);
        Destroy_DWConvolution_ref(k);
        EXPECT_EQ(nullptr, k->extra_resources);
        Destroy_DWConvolution_ref(k);  // twice is harmless
        DestroyLayer(layer);
    }
}

TEST(DWConvolutionRef, ChecksBeforeComputing)
{
    DwCase c{1, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, false, None};
    Layer* layer = MakeLayer(c, Make(DL_NHWC, {1, 2, 2, 2}, nullptr));
    NNKernel* k = layer->kernel;
    corvus_test::ExpectFatal(
        "DWConvolution_ref",
        {{[&] {
              k->params = nullptr;
              Init_DWConvolution_ref(k);
          },
          "p==NULL, expected not NULL value"},
         {[&] {
              k->input[0]->layout = DL_NCHW;
              Init_DWConvolution_ref(k);
          },
          "kernel->input[0]->layout == DL_NHWC: false, expected: true"},
         {[&] {
              k->output[0]->layout = DL_NCHW;
              Execute_DWConvolution_ref(k);
          },
          "kernel->output[0]->layout == DL_NHWC: false, expected: true"},
         {[&] {
              k->inner[0]->layout = DL_HWIO;
              Init_DWConvolution_ref(k);
          },
          "kernel->inner[0]->layout == DL_MHWI: false, expected: true"},
         {[&] {
              k->inner[0]->shape.dimension[3] = 3;
              Execute_DWConvolution_ref(k);
          },
          "DWConvolution: filter shape (1, 1, 1, 3) does not match kernel 1x1, 2 channels x 1"}});
    // Fused activations run through the float32 activation kernel only.
    EXPECT_EXIT(
        {
            ((DepthWiseConv2DParams*)k->params)->activation = ReLU;
            k->input[0]->dtype = DT_FLOAT16;
            k->output[0]->dtype = DT_FLOAT16;
            Execute_DWConvolution_ref(k);
        },
        ::testing::ExitedWithCode(1), corvus_test::Fatal("Activation_ref", "Cannot determine activation function"));
    DestroyLayer(layer);
}
