// Grouped Conv2D reference kernel against the naive convolution and hand
// computations; the refusals of the reference convolutions.
#include <gtest/gtest.h>

#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "conv_util.h"
#include "opt_util.h"

using namespace conv_test;
using corvus_test::Fatal;

namespace {

Conv2DParams Params(const U& k, uint32_t filters, const U& s, const U& d, const U& pads, bool bias,
                    ActivationParams act, uint32_t groups)
{
    const bool padded = (pads[0] | pads[1] | pads[2] | pads[3]) != 0;
    return Conv2DParams{k[0],          k[1],    filters, s[0],    s[1],    d[0],
                        d[1],          pads[0], pads[1], pads[2], pads[3], padded ? SAME : VALID,
                        (uint8_t)bias, act,     groups};
}

ConvSetup SetupOf(const Conv2DParams& p, const U& x, const U& y)
{
    ConvSetup c;
    c.x = x, c.y = y, c.k = {p.kerSizeH, p.kerSizeW}, c.s = {p.strideH, p.strideW};
    c.d = {p.dilationRateH, p.dilationRateW}, c.pad = {p.padTop, p.padLeft};
    c.groups = p.groups, c.act = p.activation.type, c.alpha = p.activation.alpha;
    return c;
}

}  // namespace

// Random geometry after fixed cases: windows wholly in the pads, more groups
// than input channels, filter rows long enough (256 channels and more) for
// the packed path, channel counts for every tile width; half precision goes
// through float32 and rounds once.
TEST(Conv2DRef, MatchesNaiveOverRandomGeometry)
{
    std::mt19937 rng(7);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    struct Fixed {
        U x, k, s, d, pads;
        uint32_t groups, cout;
    };
    const Fixed fixed[] = {{{1, 2, 2, 2}, {2, 2}, {1, 1}, {1, 1}, {4, 4, 4, 4}, 1, 3},
                           {{1, 2, 2, 2}, {1, 1}, {1, 1}, {1, 1}, {0, 0, 0, 0}, 3, 3},
                           {{2, 6, 5, 3}, {3, 2}, {2, 1}, {1, 2}, {1, 0, 1, 1}, 1, 5}};
    for (int trial = 0; trial < 250; ++trial) {
        const bool packed = trial % 5 == 0, half = trial % 6 == 1;
        const uint32_t G = packed ? pick(1, 2) : pick(1, 3);
        const uint32_t cgIn = pick(1, 20), cgOut = packed ? pick(256, 300) : pick(1, 150);
        Fixed f{{pick(1, 2), pick(1, 9), pick(1, 11), G * cgIn},
                {pick(1, 4), pick(1, 4)},
                {pick(1, 3), pick(1, 3)},
                {pick(1, 3), pick(1, 3)},
                {pick(0, 3), pick(0, 3), pick(0, 3), pick(0, 3)},
                G,
                G * cgOut};
        if (trial < 3) f = fixed[trial];
        const U y = {f.x[0], OutSize(f.x[1], f.k[0], f.s[0], f.d[0], f.pads[0], f.pads[2]),
                     OutSize(f.x[2], f.k[1], f.s[1], f.d[1], f.pads[1], f.pads[3]), f.cout};
        if (y[1] == 0 || y[2] == 0) continue;
        const Conv2DParams p = Params(f.k, f.cout, f.s, f.d, f.pads, pick(0, 1) == 1,
                                      ActivationParams{kFusedKinds[pick(0, 4)], 0.125f}, f.groups);
        const uint32_t gap = half ? 0 : pick(0, 1) * 3;
        const DataType dt = half ? DT_FLOAT16 : DT_FLOAT32;
        Tensor* in = Make(DL_NHWC, f.x, &rng, gap, dt);
        Tensor* filter = Make(DL_HWIO, {f.k[0], f.k[1], f.x[3] / std::min(f.groups, f.x[3]), f.cout}, &rng, gap);
        // An infinite weight: positions outside the input must still add nothing (no 0 * inf).
        if (trial % 7 == 3) At(filter, {0, 0, 0, 0}) = INFINITY;
        Tensor* bias = p.useBias ? Make(DL_I, {f.cout}, &rng) : nullptr;
        Tensor* out = Make(DL_NHWC, y, nullptr, gap, dt);
        (half ? Conv2D_fl16_ref : Conv2D_fl32_ref)(in, filter, bias, out, &p);
        ConvSetup c = SetupOf(p, f.x, y);
        c.half = half;
        ASSERT_TRUE(SameValues(NaiveConv(c, Values(in), Values(filter), bias ? F32(bias) : nullptr), out))
            << "trial " << trial;
        for (Tensor* t : {in, filter, bias, out}) DestroyTensor(t);
    }
}

TEST(Conv2DRef, FusedActivationsKeepSignedZeros)
{
    // One input 1, weight w, bias b: the output is act(w + b).
    struct Case {
        uint32_t kind;
        float alpha, w, b, expected;
    };
    Tensor *one = Filled({1, 1, 1, 1}, {1}), *w = Filled({1, 1, 1, 1}), *b = Filled({1}), *y = Filled({1, 1, 1, 1});
    for (const Case& c :
         {Case{ReLU6, 0, 5, 2, 6}, Case{ReLU6, 0, -5, 2, -0.0f}, Case{ReLU, 0, -5, 2, -0.0f},
          Case{LeakyReLU, 0.25f, -5, 1, -1}, Case{LeakyReLU, 0.25f, 3, 1, 4}, Case{Linear, 0, -5, 1, -4}}) {
        const Conv2DParams p = Params({1, 1}, 1, {1, 1}, {1, 1}, {0, 0, 0, 0}, true, {c.kind, c.alpha}, 1);
        F32(w)[0] = c.w, F32(b)[0] = c.b;
        Conv2D_fl32_ref(one, w, b, y, &p);
        EXPECT_TRUE(SameBits(c.expected, F32(y)[0])) << ActivationNameString[c.kind];
    }
    for (Tensor* t : {one, w, b, y}) DestroyTensor(t);
}

// Execute reads the filter from the record. The refusals of the 2-D and
// 1-D reference convolutions.
TEST(ConvolutionRefDeathTest, ExecuteAndRefusals)
{
    std::mt19937 rng(1);
    Conv2DParams p = Params({1, 1}, 2, {1, 1}, {1, 1}, {0, 0, 0, 0}, false, ActivationParams{None, 0}, 1);
    Tensor *in = Make(DL_NHWC, {1, 1, 2, 2}, &rng), *filter = Make(DL_HWIO, {1, 1, 2, 2}, &rng);
    Tensor *out = Make(DL_NHWC, {1, 1, 2, 2}, nullptr), *wrongFilter = Make(DL_HWIO, {1, 1, 3, 2}, &rng);
    opt_test::Kernel rec({in}, {out}, &p, {filter, nullptr});
    Execute_Conv2D_ref(rec);
    EXPECT_TRUE(
        SameValues(NaiveConv(SetupOf(p, {1, 1, 2, 2}, {1, 1, 2, 2}), Values(in), Values(filter), nullptr), out));
    corvus_test::TensorPtr ints = corvus_test::NewTensor(DT_INT32, {1, 1, 2, 2});
    Tensor *x = Filled({1, 5, 4}), *w = Filled({3, 2, 6}), *y = Filled({1, 3, 6}), *b = Filled({6});
    Conv1DParams p1 = {3, 1, 1, 0, 0, 2, 1, {None, 0.0f}};
    const char *c2 = "Convolution_ref", *c1 = "ConvolutionND_ref";
    // clang-format off
    corvus_test::ExpectExitRe({
        {[&] { Conv2D_fl32_ref(in, wrongFilter, nullptr, out, &p); },
         Fatal(c2, "Conv2D_fl32_ref: filter shape (1, 1, 3, 2) does not match (1, 1, 2, 2)")},
        {[&] { Conv2D_fl32_ref(ints.get(), filter, nullptr, out, &p); },
         Fatal(c2, "Conv2D_fl32_ref: input must be float32, got int32")},
        {[&] { rec.inner[0] = nullptr, Execute_Conv2D_ref(rec); }, Fatal(c2, "Filters input is NULL")},
        {[&] { rec.in[0] = ints.get(), Execute_Conv2D_ref(rec); }, Fatal(c2, "support only F16 or F32")},
        {[&] { Conv1D_fl32_ref(x, w, nullptr, y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: the layer uses a bias but none is given")},
        {[&] { Conv1D_fl32_ref(x, w, Filled({5}), y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: bias shape (5) is not the expected (6)")},
        {[&] { Conv1D_fl32_ref(x, w, b, Filled({2, 3, 6}), &p1); },
         Fatal(c1, "Conv1D_fl32_ref: output shape (2, 3, 6) is not the expected (1, 3, 6)")},
        {[&] { Conv1D_fl32_ref(Filled({1, 5, 4, 1}), w, b, y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: input must have 3 dimensions, has 4")},
        {[&] { p1.groups = 1, Conv1D_fl32_ref(x, w, b, y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: filter shape (3, 2, 6) is not the expected (3, 4, 6)")},
    });
    // clang-format on
    for (Tensor* t : {in, filter, out, wrongFilter, x, w, y, b}) DestroyTensor(t);
}
