// Grouped Conv2D reference kernel against a naive direct convolution.
#include <gtest/gtest.h>

#include <vector>

#include "LayersConvolution.h"
#include "conv_util.h"
#include "opt_util.h"
#include "test_util.h"

using namespace conv_test;

namespace {

Conv2DParams Params(uint32_t kH, uint32_t kW, uint32_t filters, uint32_t sH, uint32_t sW, uint32_t dH, uint32_t dW,
                    uint32_t top, uint32_t left, uint32_t bottom, uint32_t right, bool useBias,
                    ActivationParams act, uint32_t groups)
{
    Conv2DParams p;
    memset(&p, 0, sizeof(p));
    p.kerSizeH = kH;
    p.kerSizeW = kW;
    p.filters = filters;
    p.strideH = sH;
    p.strideW = sW;
    p.dilationRateH = dH;
    p.dilationRateW = dW;
    p.padTop = top;
    p.padLeft = left;
    p.padBottom = bottom;
    p.padRight = right;
    p.pad = (top | left | bottom | right) ? SAME : VALID;
    p.useBias = useBias ? 1 : 0;
    p.activation = act;
    p.groups = groups;
    return p;
}

// Direct definition, no blocking: per pixel and kernel position a partial
// sum per output channel (fused multiply-adds from input channel 0), added
// to the output in position order; then bias and activation.
std::vector<float> NaiveConv(const Tensor* in, const Tensor* filter, const Tensor* bias, const Conv2DParams& p,
                             uint32_t OH, uint32_t OW)
{
    const uint32_t N = in->shape.dimension[0], H = in->shape.dimension[1], W = in->shape.dimension[2];
    const uint32_t Cin = in->shape.dimension[3], Cout = p.filters, G = p.groups;
    const bool formed = G != 0 && G <= Cin && Cout >= G;
    const uint32_t cgIn = formed ? Cin / G : 0, cgOut = formed ? Cout / G : 0;
    std::vector<float> out((size_t)N * OH * OW * Cout, 0.0f);
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t oh = 0; oh < OH; ++oh)
            for (uint32_t ow = 0; ow < OW; ++ow) {
                float* o = &out[(((size_t)n * OH + oh) * OW + ow) * Cout];
                for (uint32_t kh = 0; kh < p.kerSizeH; ++kh)
                    for (uint32_t kw = 0; kw < p.kerSizeW; ++kw) {
                        const int64_t ih = (int64_t)oh * p.strideH - p.padTop + (int64_t)kh * p.dilationRateH;
                        const int64_t iw = (int64_t)ow * p.strideW - p.padLeft + (int64_t)kw * p.dilationRateW;
                        if (ih < 0 || ih >= H || iw < 0 || iw >= W) continue;
                        for (uint32_t g = 0; formed && g < G; ++g)
                            for (uint32_t co = 0; co < cgOut; ++co) {
                                float s = 0.0f;
                                for (uint32_t ci = 0; ci < cgIn; ++ci)
                                    s = fmaf(At(in, {n, (uint32_t)ih, (uint32_t)iw, g * cgIn + ci}),
                                             At(filter, {kh, kw, ci, g * cgOut + co}), s);
                                o[g * cgOut + co] += s;
                            }
                    }
                for (uint32_t co = 0; co < Cout; ++co) {
                    if (bias != nullptr) o[co] += F32(bias)[co];
                    o[co] = Activate(o[co], p.activation.type, p.activation.alpha);
                }
            }
    return out;
}

void ExpectEqualsNaive(const std::vector<float>& expected, const Tensor* out)
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

uint32_t OutSize(uint32_t in, uint32_t k, uint32_t s, uint32_t d, uint32_t before, uint32_t after)
{
    const int64_t extent = (int64_t)(k - 1) * d + 1;
    const int64_t span = (int64_t)in + before + after - extent;
    return span < 0 ? 0 : (uint32_t)(span / s + 1);
}

}  // namespace

TEST(Conv2DRef, MatchesNaiveOverRandomGeometry)
{
    std::mt19937 rng(7);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int trial = 0; trial < 250; ++trial) {
        // Every fifth case has filter rows long enough (256 channels and
        // more) for the path over packed filter blocks.
        const bool packed = trial % 5 == 0;
        const uint32_t G = packed ? pick(1, 2) : pick(1, 3);
        // wide, 16-, 8- and 4-wide tiles and single channels
        const uint32_t cgIn = pick(1, 20), cgOut = packed ? pick(256, 300) : pick(1, 150);
        const uint32_t N = pick(1, 2), H = pick(1, 9), W = pick(1, 11);
        const uint32_t kH = pick(1, 4), kW = pick(1, 4), sH = pick(1, 3), sW = pick(1, 3);
        const uint32_t dH = pick(1, 3), dW = pick(1, 3);
        const uint32_t top = pick(0, 3), left = pick(0, 3), bottom = pick(0, 3), right = pick(0, 3);
        const uint32_t OH = OutSize(H, kH, sH, dH, top, bottom), OW = OutSize(W, kW, sW, dW, left, right);
        if (OH == 0 || OW == 0) continue;
        const uint32_t kind = kFusedKinds[pick(0, 4)];
        const bool useBias = pick(0, 1) == 1;
        const uint32_t gap = pick(0, 1) * 3;
        const Conv2DParams p = Params(kH, kW, G * cgOut, sH, sW, dH, dW, top, left, bottom, right, useBias,
                                      ActivationParams{kind, 0.125f}, G);
        Tensor* in = Make(DL_NHWC, {N, H, W, G * cgIn}, &rng, gap);
        Tensor* filter = Make(DL_HWIO, {kH, kW, cgIn, G * cgOut}, &rng, gap);
        // An infinite weight: positions outside the input must still add
        // nothing (no 0 * inf).
        if (trial % 7 == 3) At(filter, {0, 0, 0, 0}) = INFINITY;
        Tensor* bias = useBias ? Make(DL_I, {G * cgOut}, &rng) : nullptr;
        Tensor* out = Make(DL_NHWC, {N, OH, OW, G * cgOut}, nullptr, gap);
        Conv2D_fl32_ref(in, filter, bias, out, &p);
        ExpectEqualsNaive(NaiveConv(in, filter, bias, p, OH, OW), out);
        for (Tensor* t : {in, filter, bias, out}) DestroyTensor(t);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "trial " << trial << " G " << G << " cgIn " << cgIn << " cgOut " << cgOut << " H " << H
                          << " W " << W << " k " << kH << "x" << kW << " s " << sH << "," << sW << " d " << dH << ","
                          << dW << " pads " << top << "," << left << "," << bottom << "," << right;
            return;
        }
    }
}

TEST(Conv2DRef, OnesWithSamePadsCountTheWindowCells)
{
    const Conv2DParams p = Params(3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, false, ActivationParams{None, 0}, 1);
    Tensor* in = Make(DL_NHWC, {1, 5, 5, 1}, nullptr);
    Tensor* filter = Make(DL_HWIO, {3, 3, 1, 1}, nullptr);
    std::fill(F32(in), F32(in) + 25, 1.0f);
    std::fill(F32(filter), F32(filter) + 9, 1.0f);
    Tensor* out = Make(DL_NHWC, {1, 5, 5, 1}, nullptr);
    Conv2D_fl32_ref(in, filter, nullptr, out, &p);
    const float expected[5][5] = {
        {4, 6, 6, 6, 4}, {6, 9, 9, 9, 6}, {6, 9, 9, 9, 6}, {6, 9, 9, 9, 6}, {4, 6, 6, 6, 4}};
    for (uint32_t h = 0; h < 5; ++h)
        for (uint32_t w = 0; w < 5; ++w) EXPECT_EQ(expected[h][w], At(out, {0, h, w, 0})) << h << "," << w;
    for (Tensor* t : {in, filter, out}) DestroyTensor(t);
}

TEST(Conv2DRef, GroupsSeeOnlyTheirOwnInputChannels)
{
    std::mt19937 rng(3);
    const Conv2DParams p = Params(1, 1, 6, 1, 1, 1, 1, 0, 0, 0, 0, false, ActivationParams{None, 0}, 2);
    Tensor* in = Make(DL_NHWC, {1, 2, 2, 4}, &rng);
    Tensor* filter = Make(DL_HWIO, {1, 1, 2, 6}, &rng);
    Tensor* out = Make(DL_NHWC, {1, 2, 2, 6}, nullptr);
    Conv2D_fl32_ref(in, filter, nullptr, out, &p);
    std::vector<float> before(F32(out), F32(out) + 24);
    // Changing input channels 2-3 leaves output channels 0-2 unchanged and
    // changes 3-5; channels 0-1 the other way round.
    for (uint32_t px = 0; px < 4; ++px) F32(in)[px * 4 + 2] += 1.0f;
    Conv2D_fl32_ref(in, filter, nullptr, out, &p);
    for (uint32_t px = 0; px < 4; ++px)
        for (uint32_t c = 0; c < 6; ++c) {
            if (c < 3)
                EXPECT_EQ(before[px * 6 + c], F32(out)[px * 6 + c]);
            else
                EXPECT_NE(before[px * 6 + c], F32(out)[px * 6 + c]);
        }
    for (Tensor* t : {in, filter, out}) DestroyTensor(t);
}

TEST(Conv2DRef, DilationReadsEverySecondRow)
{
    // A 3x1 kernel (1, 10, 100) with dilation 2 on a column 0..6: output row
    // oh reads rows oh, oh + 2, oh + 4.
    const Conv2DParams p = Params(3, 1, 1, 1, 1, 2, 1, 0, 0, 0, 0, false, ActivationParams{None, 0}, 1);
    Tensor* in = Make(DL_NHWC, {1, 7, 1, 1}, nullptr);
    for (uint32_t h = 0; h < 7; ++h) F32(in)[h] = (float)h;
    Tensor* filter = Make(DL_HWIO, {3, 1, 1, 1}, nullptr);
    F32(filter)[0] = 1, F32(filter)[1] = 10, F32(filter)[2] = 100;
    Tensor* out = Make(DL_NHWC, {1, 3, 1, 1}, nullptr);
    Conv2D_fl32_ref(in, filter, nullptr, out, &p);
    for (uint32_t oh = 0; oh < 3; ++oh) EXPECT_EQ(oh + 10.0f * (oh + 2) + 100.0f * (oh + 4), F32(out)[oh]);
    for (Tensor* t : {in, filter, out}) DestroyTensor(t);
}

TEST(Conv2DRef, FusedActivationsApplyAfterTheBias)
{
    // One input 1, weight w, bias b: the output is act(w + b).
    struct Case {
        uint32_t kind;
        float alpha, w, b, expected;
    };
    const Case cases[] = {{ReLU6, 0, 5, 2, 6},          {ReLU6, 0, -5, 2, -0.0f}, {ReLU, 0, -5, 2, -0.0f},
                          {LeakyReLU, 0.25f, -5, 1, -1}, {LeakyReLU, 0.25f, 3, 1, 4}, {Linear, 0, -5, 1, -4}};
    for (const Case& c : cases) {
        const Conv2DParams p = Params(1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, true, ActivationParams{c.kind, c.alpha}, 1);
        Tensor* in = Make(DL_NHWC, {1, 1, 1, 1}, nullptr);
        Tensor* filter = Make(DL_HWIO, {1, 1, 1, 1}, nullptr);
        Tensor* bias = Make(DL_I, {1}, nullptr);
        Tensor* out = Make(DL_NHWC, {1, 1, 1, 1}, nullptr);
        F32(in)[0] = 1.0f, F32(filter)[0] = c.w, F32(bias)[0] = c.b;
        Conv2D_fl32_ref(in, filter, bias, out, &p);
        EXPECT_TRUE(SameBits(c.expected, F32(out)[0])) << ActivationNameString[c.kind];
        for (Tensor* t : {in, filter, bias, out}) DestroyTensor(t);
    }
}

TEST(Conv2DRef, WindowsOutsideTheInputLeaveOnlyTheBias)
{
    // Output positions whose whole window lies in the pads, and groups that
    // form no partial sums (more groups than input channels).
    std::mt19937 rng(5);
    const Conv2DParams far = Params(2, 2, 3, 1, 1, 1, 1, 4, 4, 4, 4, true, ActivationParams{None, 0}, 1);
    Tensor* in = Make(DL_NHWC, {1, 2, 2, 2}, &rng);
    Tensor* filter = Make(DL_HWIO, {2, 2, 2, 3}, &rng);
    Tensor* bias = Make(DL_I, {3}, &rng);
    Tensor* out = Make(DL_NHWC, {1, 9, 9, 3}, nullptr);
    Conv2D_fl32_ref(in, filter, bias, out, &far);
    ExpectEqualsNaive(NaiveConv(in, filter, bias, far, 9, 9), out);
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(F32(bias)[c], At(out, {0, 0, 0, c}));

    const Conv2DParams tooMany = Params(1, 1, 3, 1, 1, 1, 1, 0, 0, 0, 0, true, ActivationParams{None, 0}, 3);
    Tensor* out2 = Make(DL_NHWC, {1, 2, 2, 3}, nullptr);
    Conv2D_fl32_ref(in, filter, bias, out2, &tooMany);
    for (uint32_t px = 0; px < 4; ++px)
        for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(F32(bias)[c], F32(out2)[px * 3 + c]);
    for (Tensor* t : {in, filter, bias, out, out2}) DestroyTensor(t);
}

TEST(Conv2DRef, HalfPrecisionGoesThroughFloat32)
{
    std::mt19937 rng(9);
    const Conv2DParams p = Params(3, 2, 5, 2, 1, 1, 2, 1, 0, 1, 1, true, ActivationParams{LeakyReLU, 0.5f}, 1);
    Tensor* in32 = Make(DL_NHWC, {2, 6, 5, 3}, &rng);
    Tensor* in16 = ConvertedCopy(in32, DT_FLOAT16);
    TensorDataConvert(in32, in16);  // the float32 operand now holds exactly the half values
    Tensor* filter = Make(DL_HWIO, {3, 2, 3, 5}, &rng);
    Tensor* bias = Make(DL_I, {5}, &rng);
    const uint32_t OH = OutSize(6, 3, 2, 1, 1, 1), OW = OutSize(5, 2, 1, 2, 0, 1);
    Tensor* out16 = CreateTensor(DT_FLOAT16, DL_NHWC, 4, Shape({2, OH, OW, 5}), true);
    Conv2D_fl16_ref(in16, filter, bias, out16, &p);
    const std::vector<float> expected = NaiveConv(in32, filter, bias, p, OH, OW);
    std::vector<float> got(expected.size());
    float16_to_float32((const uint16_t*)out16->data, got.data(), (uint32_t)got.size());
    for (size_t e = 0; e < got.size(); ++e) ASSERT_TRUE(SameBits(RoundHalf(expected[e]), got[e])) << e;
    for (Tensor* t : {in32, in16, filter, bias, out16}) DestroyTensor(t);
}

TEST(Conv2DRef, ExecuteDispatchesOnTheInputType)
{
    std::mt19937 rng(1);
    Conv2DParams p = Params(1, 1, 2, 1, 1, 1, 1, 0, 0, 0, 0, false, ActivationParams{None, 0}, 1);
    Tensor* in = Make(DL_NHWC, {1, 1, 2, 2}, &rng);
    Tensor* filter = Make(DL_HWIO, {1, 1, 2, 2}, &rng);
    Tensor* out = Make(DL_NHWC, {1, 1, 2, 2}, nullptr);
    opt_test::Kernel rec({in}, {out}, &p, {filter, nullptr});
    const NNKernel& k = rec.k;
    Execute_Conv2D_ref(&rec.k);
    ExpectEqualsNaive(NaiveConv(in, filter, nullptr, p, 1, 2), out);

    Tensor* ints = CreateTensor(DT_INT32, DL_NHWC, 4, Shape({1, 1, 2, 2}), true);
    NNKernel bad = k;
    bad.input = &ints;
    NNKernel noFilter = k;
    Tensor* none[2] = {nullptr, nullptr};
    noFilter.inner = none;
    Tensor* wrongFilter = Make(DL_HWIO, {1, 1, 3, 2}, &rng);
    corvus_test::ExpectFatal(
        "Convolution_ref",
        {{[] { Execute_Conv2D_ref(nullptr); }, "kernel pointer is null"},
         {[&] { Execute_Conv2D_ref(&bad); }, "support only F16 or F32"},
         {[&] { Execute_Conv2D_ref(&noFilter); }, "Filters input is NULL"},
         {[&] { Conv2D_fl16_ref(in, nullptr, nullptr, out, &p); }, "Filters input is NULL"},
         {[&] { Conv2D_fl32_ref(in, wrongFilter, nullptr, out, &p); },
          "Conv2D_fl32_ref: filter shape (1, 1, 3, 2) does not match (1, 1, 2, 2)"}});
    for (Tensor* t : {in, filter, out, ints, wrongFilter}) DestroyTensor(t);
}
