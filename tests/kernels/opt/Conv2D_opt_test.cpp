// Half-precision Conv2D through the scratch memory, Conv1D through it, and
// float16 MatMul through it, against float64 references written here.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDense.h"
#include "Model.h"
#include "nn_kernel_list.h"
#include "conv_util.h"
#include "opt_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt/OptInternal.h"
#include "test_util.h"

namespace {

using conv_test::Shape;
using corvus_test::Float;

struct Case {
    uint32_t N, H, W, Cin, Cout, kH, kW, sH, sW, pT, pL, pB, pR;
    bool bias;
    uint32_t act;
    uint32_t gap;  // extra elements after every row of input and output
};

uint32_t OutSize(uint32_t in, uint32_t k, uint32_t s, uint32_t p0, uint32_t p1) { return (in + p0 + p1 - k) / s + 1; }

// Float16 tensor of the given shape with `gap` elements after every row of
// each dimension but the last; the gaps hold 0x5A5A, the data random values
// in [-1, 1] (or 0x5A5A everywhere when rng is null).
Tensor* MakeHalf(DataLayout layout, std::initializer_list<uint32_t> dims, std::mt19937* rng, uint32_t gap = 0)
{
    Tensor* f32 = conv_test::Make(layout, dims, rng, gap);
    Tensor* t = CreateTensorWithStrides(DT_FLOAT16, layout, f32->ndim, f32->shape, f32->stride, true);
    const size_t total = (size_t)GetTensorDataSize(t);
    std::fill((uint16_t*)t->data, (uint16_t*)t->data + total, (uint16_t)0x5A5A);
    if (rng != nullptr) TensorDataConvert(t, f32);
    DestroyTensor(f32);
    return t;
}

std::vector<uint16_t> Storage(const Tensor* t)
{
    const uint16_t* p = (const uint16_t*)t->data;
    return std::vector<uint16_t>(p, p + GetTensorDataSize(t));
}

// A Conv2D kernel record over tensors it owns.
struct Conv {
    Conv2DParams p;
    Tensor *in, *out, *filt, *bias;
    Tensor* ins[1];
    Tensor* outs[1];
    Tensor* inner[2];
    NNKernel k;
    Case c;
    Conv(const Case& cs, std::mt19937& rng) : c(cs)
    {
        memset(&p, 0, sizeof(p));
        p.kerSizeH = c.kH;
        p.kerSizeW = c.kW;
        p.filters = c.Cout;
        p.strideH = c.sH;
        p.strideW = c.sW;
        p.dilationRateH = p.dilationRateW = 1;
        p.padTop = c.pT;
        p.padLeft = c.pL;
        p.padBottom = c.pB;
        p.padRight = c.pR;
        p.useBias = c.bias ? 1 : 0;
        p.activation.type = c.act;
        p.activation.alpha = 0.125f;
        p.groups = 1;
        const uint32_t Ho = OutSize(c.H, c.kH, c.sH, c.pT, c.pB), Wo = OutSize(c.W, c.kW, c.sW, c.pL, c.pR);
        in = MakeHalf(DL_NHWC, {c.N, c.H, c.W, c.Cin}, &rng, c.gap);
        out = MakeHalf(DL_NHWC, {c.N, Ho, Wo, c.Cout}, nullptr, c.gap);
        filt = MakeHalf(DL_HWIO, {c.kH, c.kW, c.Cin, c.Cout}, &rng);
        bias = c.bias ? conv_test::Make(DL_I, {c.Cout}, &rng) : nullptr;
        if (bias != nullptr)
            for (uint32_t i = 0; i < c.Cout; ++i) conv_test::F32(bias)[i] *= 4.0f;
        ins[0] = in;
        outs[0] = out;
        inner[0] = filt;
        inner[1] = bias;
        memset(&k, 0, sizeof(k));
        k.input = ins;
        k.output = outs;
        k.inner = inner;
        k.inputsNum = k.outputsNum = 1;
        k.innerNum = 2;
        k.coresNumber = 1;
        k.params = &p;
    }
    ~Conv()
    {
        Destroy_Conv2D_opt(&k);
        for (Tensor* t : {in, out, filt, bias})
            if (t != nullptr) DestroyTensor(t);
    }
};

// Float64 convolution of the float16 values, bias added, activation applied;
// also the sum of the magnitudes of the terms (for the float32 error bound).
void Reference(const Conv& cv, std::vector<double>* ref, std::vector<double>* mag)
{
    const Case& c = cv.c;
    const Tensor* o = cv.out;
    const uint32_t Ho = o->shape.dimension[1], Wo = o->shape.dimension[2];
    ref->assign((size_t)c.N * Ho * Wo * c.Cout, 0.0);
    mag->assign(ref->size(), 0.0);
    auto at = [](const Tensor* t, std::initializer_list<uint32_t> i) {
        return (double)Float(((const uint16_t*)t->data)[conv_test::Offset(t, i)]);
    };
    size_t e = 0;
    for (uint32_t n = 0; n < c.N; ++n)
        for (uint32_t oh = 0; oh < Ho; ++oh)
            for (uint32_t ow = 0; ow < Wo; ++ow)
                for (uint32_t co = 0; co < c.Cout; ++co, ++e) {
                    double s = c.bias ? (double)conv_test::F32(cv.bias)[co] : 0.0, m = std::fabs(s);
                    for (uint32_t kh = 0; kh < c.kH; ++kh)
                        for (uint32_t kw = 0; kw < c.kW; ++kw) {
                            const int64_t ih = (int64_t)oh * c.sH - c.pT + kh, iw = (int64_t)ow * c.sW - c.pL + kw;
                            if (ih < 0 || iw < 0 || ih >= c.H || iw >= c.W) continue;
                            for (uint32_t ci = 0; ci < c.Cin; ++ci) {
                                const double t = at(cv.in, {n, (uint32_t)ih, (uint32_t)iw, ci}) *
                                                 at(cv.filt, {kh, kw, ci, co});
                                s += t;
                                m += std::fabs(t);
                            }
                        }
                    if ((c.act == ReLU || c.act == ReLU6) && s < 0) s = 0;
                    if (c.act == ReLU6 && s > 6) s = 6;
                    if (c.act == LeakyReLU && s < 0) s *= 0.125;
                    (*ref)[e] = s;
                    (*mag)[e] = m;
                }
}

// Half of a float16 unit in the last place at magnitude v.
double HalfUlp(double v)
{
    const double a = std::fabs(v);
    if (a < std::ldexp(1.0, -14)) return std::ldexp(1.0, -25);
    return std::ldexp(1.0, (int)std::floor(std::log2(a)) - 11);
}

// Every output within float16 rounding of the reference (plus the float32
// accumulation error, and the rounding of partial sums between passes), and
// the gaps of the output untouched.
void ExpectMatches(const Conv& cv, const std::string& what, uint32_t passes = 1)
{
    std::vector<double> ref, mag;
    Reference(cv, &ref, &mag);
    const Tensor* o = cv.out;
    const uint32_t Ho = o->shape.dimension[1], Wo = o->shape.dimension[2], C = cv.c.Cout;
    const uint16_t* d = (const uint16_t*)o->data;
    std::vector<bool> written(GetTensorDataSize(o), false);
    size_t e = 0, bad = 0;
    for (uint32_t n = 0; n < cv.c.N; ++n)
        for (uint32_t oh = 0; oh < Ho; ++oh)
            for (uint32_t ow = 0; ow < Wo; ++ow)
                for (uint32_t co = 0; co < C; ++co, ++e) {
                    const size_t off = conv_test::Offset(o, {n, oh, ow, co});
                    written[off] = true;
                    const double got = Float(d[off]);
                    const double tol =
                        HalfUlp(ref[e]) + 2 * (passes - 1) * HalfUlp(mag[e]) + 64 * mag[e] * std::ldexp(1.0, -24);
                    if (!(std::fabs(got - ref[e]) <= tol) && bad++ < 5)
                        ADD_FAILURE() << what << " at " << n << "," << oh << "," << ow << "," << co << ": got " << got
                                      << " want " << ref[e];
                }
    for (size_t i = 0; i < written.size(); ++i)
        if (!written[i] && d[i] != 0x5A5A && bad++ < 5) ADD_FAILURE() << what << ": gap element " << i << " written";
}

// The output as the kernel's contract fixes it bit for bit, computing in
// passes of `block` input channels: per pass a float32 accumulator starts
// from the bias (first pass) or 0, takes one fused multiply-add per kernel
// position and input channel (padding reads 0), adds the previous pass's
// float16 result and is rounded to float16; the last pass applies the
// activation before rounding.
std::vector<uint16_t> PassContract(const Conv& cv, uint32_t block)
{
    const Case& c = cv.c;
    const uint32_t Ho = cv.out->shape.dimension[1], Wo = cv.out->shape.dimension[2];
    std::vector<float> init(c.Cout, 0.0f);
    if (c.bias) {
        std::vector<uint16_t> hi(c.Cout), lo(c.Cout);
        float r = 0.0f;
        Conv2D_ConvBias(conv_test::F32(cv.bias), 1, c.Cout, hi.data(), lo.data(), &r);
        for (uint32_t co = 0; co < c.Cout; ++co) init[co] = (Float(hi[co]) + Float(lo[co])) * r;
    }
    auto at = [](const Tensor* t, std::initializer_list<uint32_t> i) {
        return Float(((const uint16_t*)t->data)[conv_test::Offset(t, i)]);
    };
    std::vector<uint16_t> res;
    for (uint32_t n = 0; n < c.N; ++n)
        for (uint32_t oh = 0; oh < Ho; ++oh)
            for (uint32_t ow = 0; ow < Wo; ++ow)
                for (uint32_t co = 0; co < c.Cout; ++co) {
                    uint16_t stored = 0;
                    for (uint32_t ci0 = 0; ci0 < c.Cin; ci0 += block) {
                        float acc = ci0 == 0 ? init[co] : 0.0f;
                        for (uint32_t kh = 0; kh < c.kH; ++kh)
                            for (uint32_t kw = 0; kw < c.kW; ++kw) {
                                const int64_t ih = (int64_t)oh * c.sH - c.pT + kh, iw = (int64_t)ow * c.sW - c.pL + kw;
                                const bool inside = ih >= 0 && iw >= 0 && ih < c.H && iw < c.W;
                                for (uint32_t ci = ci0; ci < std::min(ci0 + block, c.Cin); ++ci) {
                                    const float x = inside ? at(cv.in, {n, (uint32_t)ih, (uint32_t)iw, ci}) : 0.0f;
                                    acc = fmaf(x, at(cv.filt, {kh, kw, ci, co}), acc);
                                }
                            }
                        if (ci0 > 0) acc += Float(stored);
                        if (ci0 + block >= c.Cin) {
                            if ((c.act == ReLU || c.act == ReLU6) && acc < 0.0f) acc = 0.0f;
                            if (c.act == ReLU6 && acc > 6.0f) acc = 6.0f;
                            if (c.act == LeakyReLU && acc < 0.0f) acc *= 0.125f;
                        }
                        stored = corvus_test::Half(acc);
                    }
                    res.push_back(stored);
                }
    return res;
}

// The output's elements in (n, h, w, c) order.
std::vector<uint16_t> Dense(const Tensor* o)
{
    std::vector<uint16_t> v;
    const uint32_t* d = o->shape.dimension;
    for (uint32_t n = 0; n < d[0]; ++n)
        for (uint32_t h = 0; h < d[1]; ++h)
            for (uint32_t w = 0; w < d[2]; ++w)
                for (uint32_t c = 0; c < d[3]; ++c)
                    v.push_back(((const uint16_t*)o->data)[conv_test::Offset(o, {n, h, w, c})]);
    return v;
}

std::string Describe(const Case& c)
{
    char buf[200];
    snprintf(buf, sizeof(buf), "N%u H%u W%u Cin%u Cout%u k%ux%u s%u,%u pads %u,%u,%u,%u bias%d act%u gap%u", c.N, c.H,
             c.W, c.Cin, c.Cout, c.kH, c.kW, c.sH, c.sW, c.pT, c.pL, c.pB, c.pR, (int)c.bias, c.act, c.gap);
    return buf;
}

TEST(Conv2DOpt, MatchesFloat64ReferenceOverShapesStridesPadsAndChannels)
{
    std::vector<Case> cases = {
        // N  H   W  Cin Cout kH kW sH sW pT pL pB pR bias act gap
        {1, 5, 5, 1, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0},
        {2, 7, 6, 3, 48, 3, 3, 2, 2, 1, 1, 1, 0, false, ReLU, 0},
        {1, 6, 9, 8, 128, 3, 2, 1, 2, 0, 1, 2, 0, true, ReLU6, 0},
        {1, 4, 5, 16, 256, 1, 1, 1, 1, 0, 0, 0, 0, true, LeakyReLU, 0},
        {2, 6, 4, 5, 5, 2, 3, 3, 1, 1, 2, 0, 1, true, Linear, 0},
        {1, 9, 3, 7, 20, 5, 3, 1, 1, 2, 1, 2, 1, false, None, 0},
        {1, 6, 6, 24, 16, 1, 1, 1, 1, 0, 0, 0, 0, true, None, 0},  // narrow 1x1: rows merged in pairs
        {1, 7, 3, 4, 1, 1, 1, 1, 1, 0, 0, 0, 0, false, ReLU, 0},
        {1, 20, 21, 2, 33, 3, 3, 1, 1, 1, 1, 1, 1, true, LeakyReLU, 0},  // several column chunks, 8-row steps
        {2, 5, 6, 3, 18, 3, 3, 1, 2, 1, 1, 1, 1, true, ReLU, 3},  // gapped input and output
        {1, 3, 3, 1, 7, 3, 3, 1, 1, 0, 0, 0, 0, true, None, 0},  // single output pixel
        {1, 20, 20, 64, 96, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0},  // needs several tiles
    };
    std::mt19937 rng(21);
    // Random shapes on top of the table.
    for (int i = 0; i < 14; ++i) {
        Case c;
        c.N = 1 + rng() % 2;
        c.kH = 1 + rng() % 4;
        c.kW = 1 + rng() % 4;
        c.sH = 1 + rng() % 3;
        c.sW = 1 + rng() % 3;
        c.pT = rng() % c.kH;
        c.pB = rng() % c.kH;
        c.pL = rng() % c.kW;
        c.pR = rng() % c.kW;
        c.H = c.kH + rng() % 9;
        c.W = c.kW + rng() % 9;
        static const uint32_t kCin[] = {1, 2, 3, 16, 17, 32};
        static const uint32_t kCout[] = {16, 32, 128, 3, 17, 40, 130};
        c.Cin = kCin[rng() % 6];
        c.Cout = kCout[rng() % 7];
        c.bias = rng() % 2 == 0;
        c.act = conv_test::kFusedKinds[rng() % 5];
        c.gap = rng() % 4 == 0 ? 2 : 0;
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        Conv cv(c, rng);
        EXPECT_EQ(nullptr, Probe_Conv2D_opt(&cv.k)) << Describe(c);
        EXPECT_EQ(nullptr, Conv2D_opt(-2, 1, &cv.k)) << Describe(c);
        EXPECT_EQ(nullptr, Conv2D_opt(0, 1, &cv.k)) << Describe(c);
        ExpectMatches(cv, Describe(c));
    }
}

// Filter slices too large for the scratch memory (3x3 over 512 channels) are
// computed in passes over blocks of input channels, rounding to float16
// between passes; layers that fit keep a single pass.
TEST(Conv2DOpt, PassesOverInputChannelBlocksFollowTheContract)
{
    std::mt19937 rng(12);
    const struct {
        Case c;
        uint32_t passes;
    } cases[] = {
        {{1, 3, 14, 512, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, LeakyReLU, 0}, 2},
        {{2, 2, 4, 1100, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, ReLU, 3}, 3},  // gapped, uneven last block
        {{1, 3, 4, 1536, 48, 1, 1, 1, 1, 0, 0, 0, 0, false, None, 0}, 1},
        {{1, 5, 6, 64, 32, 3, 3, 1, 1, 1, 1, 1, 1, true, LeakyReLU, 0}, 1},
    };
    for (const auto& k : cases) {
        Conv cv(k.c, rng);
        ASSERT_EQ(nullptr, Conv2D_opt(-2, 1, &cv.k)) << Describe(k.c);
        const uint32_t block = corvus_opt::Conv2DOptPassChannels(&cv.k);
        EXPECT_EQ(k.passes, (k.c.Cin + block - 1) / block) << Describe(k.c);
        ASSERT_EQ(nullptr, Conv2D_opt(0, 1, &cv.k)) << Describe(k.c);
        EXPECT_EQ(PassContract(cv, block), Dense(cv.out)) << Describe(k.c);
        ExpectMatches(cv, Describe(k.c), k.passes);
    }
}

// The scratch block belongs to the kernel, not to the stack of the calling
// thread: a host thread with a 64 KiB stack runs the layer.
TEST(Conv2DOptDeathTest, RunsOnASmallStack)
{
    auto run = [] {
        bool same = false;
        {
            std::mt19937 rng(3);
            Conv cv({1, 6, 6, 8, 144, 3, 3, 1, 1, 1, 1, 1, 1, true, ReLU, 0}, rng);
            Init_Conv2D_opt(&cv.k);
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, 64 * 1024);
            pthread_t t;
            auto body = [](void* k) -> void* {
                Execute_Conv2D_opt((NNKernel*)k);
                return nullptr;
            };
            if (pthread_create(&t, &attr, body, &cv.k) != 0) exit(3);
            pthread_join(t, nullptr);
            same = PassContract(cv, cv.c.Cin) == Dense(cv.out);
        }
        exit(same ? 0 : 2);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

TEST(Conv2DOpt, SharesOfTheWorkTogetherGiveTheWholeResult)
{
    std::mt19937 rng(5);
    Conv whole({2, 9, 7, 6, 40, 3, 3, 1, 1, 1, 1, 1, 1, true, ReLU, 0}, rng);
    Init_Conv2D_opt(&whole.k);
    Execute_Conv2D_opt(&whole.k);
    Conv split(whole.c, rng);
    PutTensorData(whole.in->data, split.in);
    PutTensorData(whole.filt->data, split.filt);
    PutTensorData(whole.bias->data, split.bias);
    Init_Conv2D_opt(&split.k);
    for (int part = 2; part >= 0; --part) EXPECT_EQ(nullptr, Conv2D_opt(part, 3, &split.k));
    EXPECT_EQ(Storage(whole.out), Storage(split.out));
}

TEST(Conv2DOpt, ChannelCountChoosesTheMicroKernel)
{
    std::mt19937 rng(7);
    Conv wide({1, 4, 4, 8, 256, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0}, rng);
    Conv narrow({1, 4, 4, 8, 48, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0}, rng);
    for (Conv* cv : {&wide, &narrow}) {
        Init_Conv2D_opt(&cv->k);
        Execute_Conv2D_opt(&cv->k);
        ExpectMatches(*cv, Describe(cv->c));
    }
    EXPECT_EQ(0u, wide.k.counters[0]);
    EXPECT_GT(wide.k.counters[1], 0u);
    EXPECT_GT(narrow.k.counters[0], 0u);
    EXPECT_EQ(0u, narrow.k.counters[1]);
}

TEST(Conv2DOpt, RefusesWithTheReasonAndLeavesTheOutputAlone)
{
    std::mt19937 rng(9);
    const Case base = {1, 5, 5, 4, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0};
    struct Refusal {
        const char* reason;
        std::function<void(Conv&)> spoil;
    };
    const std::vector<Refusal> refusals = {
        {"dilationRateH != 1", [](Conv& c) { c.p.dilationRateH = 2; }},
        {"dilationRateW != 1", [](Conv& c) { c.p.dilationRateW = 2; }},
        {"unsupported activation", [](Conv& c) { c.p.activation.type = Sigmoid; }},
        {"input->ndim != 4", [](Conv& c) { c.in->ndim = 3; }},
        {"input->dtype != DT_FLOAT16", [](Conv& c) { c.in->dtype = DT_FLOAT32; }},
        {"input->layout != DL_NHWC", [](Conv& c) { c.in->layout = DL_NCHW; }},
        {"output->ndim != 4", [](Conv& c) { c.out->ndim = 5; }},
        {"output->dtype != DT_FLOAT16", [](Conv& c) { c.out->dtype = DT_INT32; }},
        {"output->layout != DL_NHWC", [](Conv& c) { c.out->layout = DL_NCHW; }},
        {"filter->ndim != 4", [](Conv& c) { c.filt->ndim = 3; }},
        {"filter->dtype != DT_FLOAT16", [](Conv& c) { c.filt->dtype = DT_FLOAT32; }},
        {"p->kerSizeH != kTotal.H", [](Conv& c) { c.p.kerSizeH = 2; }},
        {"p->kerSizeW != kTotal.W", [](Conv& c) { c.p.kerSizeW = 2; }},
        {"p->filters != kTotal.C", [](Conv& c) { c.p.filters = 17; }},
        {"iTotal.N != oTotal.N", [](Conv& c) { c.out->shape.dimension[0] = 2; }},
        {"iTotal.C != kTotal.N", [](Conv& c) { c.filt->shape.dimension[2] = 3; }},
        {"oTotal.C != kTotal.C", [](Conv& c) { c.out->shape.dimension[3] = 15; }},
        {"bias->ndim != 1", [](Conv& c) { c.bias->ndim = 2; }},
        {"bias->dtype != DT_FLOAT32", [](Conv& c) { c.bias->dtype = DT_FLOAT16; }},
        {"bias->layout != DL_I", [](Conv& c) { c.bias->layout = DL_NONE; }},
        {"kTotal.C != bias->shape.dimension[0]", [](Conv& c) { c.bias->shape.dimension[0] = 15; }},
    };
    for (const Refusal& r : refusals) {
        Conv cv(base, rng);
        const std::vector<uint16_t> before = Storage(cv.out);
        r.spoil(cv);
        EXPECT_STREQ(r.reason, Probe_Conv2D_opt(&cv.k));
        EXPECT_STREQ(r.reason, Conv2D_opt(-2, 1, &cv.k));
        EXPECT_EQ(nullptr, cv.k.extra_resources) << r.reason;
        EXPECT_STREQ(r.reason, Conv2D_opt(0, 1, &cv.k));
        const uint16_t* after = (const uint16_t*)cv.out->data;  // the spoilt shape may no longer size it
        EXPECT_TRUE(std::equal(before.begin(), before.end(), after)) << r.reason;
    }
    {
        // An output row that cannot fit the scratch memory.
        Conv big({1, 1, 20000, 1, 16, 1, 1, 1, 1, 0, 0, 0, 0, false, None, 0}, rng);
        EXPECT_STREQ("can't split", Probe_Conv2D_opt(&big.k));
        // Execution without initialisation, reported on stdout with the entry's name.
        Conv cv(base, rng);
        const std::vector<uint16_t> before = Storage(cv.out);
        ::testing::internal::CaptureStdout();
        Execute_Conv2D_opt(&cv.k);
        cv.p.dilationRateH = 3;
        Init_Conv2D_opt(&cv.k);
        EXPECT_EQ("Execute_Conv2D_opt error: kernel->extra_resources is NULL Init_Conv2D_opt error: dilationRateH != 1 ",
                  ::testing::internal::GetCapturedStdout());
        EXPECT_EQ(before, Storage(cv.out));
    }
    NNKernel noParams;
    memset(&noParams, 0, sizeof(noParams));
    corvus_test::ExpectFatal("Conv2D_opt",
                             {{[] { Conv2D_opt(0, 1, nullptr); }, "Conv2D_opt error: kernel is NULL"},
                              {[&] { Conv2D_opt(-2, 1, &noParams); }, "Conv2D_opt error: params is NULL"}});
}

TEST(Conv2DOpt, BiasSplitIntoHighAndLowHalves)
{
    // Largest bias 1000: s = 64, 1000 held as h = 64000, l = 0.
    const float b[3] = {1000.0f, -3.0f, 0.1f};
    uint16_t hi[3], lo[3];
    float r = -1;
    Conv2D_ConvBias(b, 1, 3, hi, lo, &r);
    EXPECT_EQ(1.0f / 64, r);
    EXPECT_EQ(64000.0f, Float(hi[0]));
    EXPECT_EQ(0.0f, Float(lo[0]));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(b[i], (Float(hi[i]) + Float(lo[i])) * r, std::fabs(b[i]) * 1e-6) << i;
    // Small biases keep s = 2^24 and their low half.
    const float small[2] = {0.0f, 1.0e-3f};
    Conv2D_ConvBias(small, 1, 2, hi, lo, &r);
    EXPECT_EQ(std::ldexp(1.0f, -24), r);
    EXPECT_NE(0.0f, Float(lo[1]));
    EXPECT_NEAR(1.0e-3, (Float(hi[1]) + Float(lo[1])) * r, 1e-9);
    // Just below the next power of two the scaled value nears 2^16 and stays finite.
    const float edge = 1023.99f;
    Conv2D_ConvBias(&edge, 1, 1, hi, lo, &r);
    EXPECT_NEAR(edge, (Float(hi[0]) + Float(lo[0])) * r, 1e-3);
    // Beyond 2^30 the bias is dropped with a message.
    const float huge = 3.0e9f;
    ::testing::internal::CaptureStdout();
    Conv2D_ConvBias(&huge, 1, 1, hi, lo, &r);
    EXPECT_EQ("Conv2D_ConvBias error", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(0.0f, r);
}

TEST(Conv2DOpt, NarrowingOverflowNaNAndClamps)
{
    std::mt19937 rng(11);
    auto run = [&](uint16_t x, uint16_t w, uint32_t act) {
        Conv cv({1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, false, act, 0}, rng);
        ((uint16_t*)cv.in->data)[0] = x;
        ((uint16_t*)cv.filt->data)[0] = w;
        Init_Conv2D_opt(&cv.k);
        Execute_Conv2D_opt(&cv.k);
        return ((const uint16_t*)cv.out->data)[0];
    };
    const uint16_t h350 = 0x5D78, h200 = 0x5A40, hm200 = 0xDA40, h7 = 0x4700, h1 = 0x3C00, nan = 0x7E00;
    ASSERT_EQ(350.0f, Float(h350));
    ASSERT_EQ(200.0f, Float(h200));
    EXPECT_EQ(0x7C00, run(h350, h200, None));       // 70000 -> +infinity
    EXPECT_EQ(0xFC00, run(h350, hm200, Linear));    // -70000 -> -infinity
    EXPECT_EQ(0x4600, run(h7, h1, ReLU6));          // 7 -> 6
    EXPECT_EQ(0x0000, run(h350, hm200, ReLU6));     // below 0 -> 0
    EXPECT_EQ(0x7FFF, run(nan, h1, None));          // NaN -> 0x7FFF
    EXPECT_EQ(0x7FFF, run(nan, h1, ReLU) & 0x7FFF); // NaN passes the rectifier
}

// A float16 model built by hand with the optimised kernel installed in its
// Conv2D layer gives what the float16 reference kernel gives within one
// rounding of the result.
TEST(Conv2DOpt, HandBuiltHalfPrecisionModelPredicts)
{
    std::mt19937 rng(19);
    Tensor* desc = CreateTensor(DT_FLOAT16, DL_NHWC, 4, Shape({1, 6, 7, 3}), false);
    Layer* x = AddInputLayer("x", desc);
    DestroyTensor(desc);
    PaddingStruct pad;
    memset(&pad, 0, sizeof(pad));
    pad.outputSize[0] = 3;
    pad.outputSize[1] = 4;
    pad.begin0 = pad.end0 = pad.begin1 = pad.end1 = 1;
    Layer* conv = AddConv2DLayer(x, nullptr, "conv", DL_NHWC, 20, 3, 3, 2, 2, 1, 1, &pad, true,
                                 ActivationParams{ReLU6, 0.0f}, 1);
    // Weights as the weight preparation leaves them: float16 filter, float32 bias.
    Tensor* f32 = conv_test::Make(DL_HWIO, {3, 3, 3, 20}, &rng);
    Tensor* f16 = conv_test::ConvertedCopy(f32, DT_FLOAT16);
    DestroyTensor(conv->kernel->inner[0]);
    conv->kernel->inner[0] = f16;
    Tensor* bias = conv->kernel->inner[1];
    AllocTensorData(bias);
    for (uint32_t c = 0; c < 20; ++c) conv_test::F32(bias)[c] = 0.1f * (float)c - 0.5f;
    conv->kernel->fn = nn_kernel_fn_list[kfname_Conv2D_opt];
    ASSERT_NE(nullptr, conv->kernel->fn);
    Model* model = CreateModel(&conv, 1);
    ASSERT_EQ(1u, InitModel(model, 1));
    ASSERT_NE(nullptr, conv->kernel->extra_resources);
    Tensor* host = MakeHalf(DL_NHWC, {1, 6, 7, 3}, &rng);
    ModelInput feed[] = {{"x", host}};
    const Tensor* y = Predict(model, 1, feed)[0]->kernel->output[0];
    Tensor* want = MakeHalf(DL_NHWC, {1, 3, 4, 20}, nullptr);
    Conv2D_fl16_ref(host, f16, bias, want, (const Conv2DParams*)conv->kernel->params);
    for (uint32_t e = 0; e < GetTensorSize(want); ++e) {
        const float r = Float(((const uint16_t*)want->data)[e]), g = Float(((const uint16_t*)y->data)[e]);
        EXPECT_NEAR(r, g, 2 * HalfUlp(r)) << e;
    }
    for (Tensor* t : {f32, host, want}) DestroyTensor(t);
    DestroyModel(model);
}

// ---- Conv1D -------------------------------------------------------------

TEST(Conv1DVia2D, MatchesFloat64ReferenceAndRefuses)
{
    std::mt19937 rng(13);
    struct C1 {
        uint32_t N, L, Cin, F, k, stride, pB, pE;
        bool bias;
    };
    for (const C1& c : {C1{2, 11, 3, 20, 3, 2, 1, 1, true}, C1{1, 9, 16, 128, 4, 1, 0, 3, false}}) {
        const uint32_t Lo = (c.L + c.pB + c.pE - c.k) / c.stride + 1;
        Tensor* in = MakeHalf(DL_NONE, {c.N, c.L, c.Cin}, &rng);
        Tensor* out = MakeHalf(DL_NONE, {c.N, Lo, c.F}, nullptr);
        Tensor* filt = MakeHalf(DL_NONE, {c.k, c.Cin, c.F}, &rng);
        Tensor* bias = c.bias ? conv_test::Make(DL_I, {c.F}, &rng) : nullptr;
        Conv1DParams p = {c.k, c.stride, 1, c.pB, c.pE, 1, (uint8_t)c.bias, {ReLU, 0.0f}};
        opt_test::Kernel rec({in}, {out}, &p, {filt, bias});
        NNKernel& k = rec.k;
        Init_Conv1Dvia2D(&k);
        Execute_Conv1Dvia2D(&k);
        const uint16_t* o = (const uint16_t*)out->data;
        for (uint32_t n = 0; n < c.N; ++n)
            for (uint32_t l = 0; l < Lo; ++l)
                for (uint32_t f = 0; f < c.F; ++f) {
                    double s = c.bias ? conv_test::F32(bias)[f] : 0.0, m = std::fabs(s);
                    for (uint32_t t = 0; t < c.k; ++t) {
                        const int64_t il = (int64_t)l * c.stride - c.pB + t;
                        if (il < 0 || il >= c.L) continue;
                        for (uint32_t ci = 0; ci < c.Cin; ++ci) {
                            const double v = (double)Float(((uint16_t*)in->data)[(n * c.L + il) * c.Cin + ci]) *
                                             Float(((uint16_t*)filt->data)[(t * c.Cin + ci) * c.F + f]);
                            s += v;
                            m += std::fabs(v);
                        }
                    }
                    s = s < 0 ? 0 : s;
                    const double got = Float(o[(n * Lo + l) * c.F + f]);
                    ASSERT_NEAR(s, got, HalfUlp(s) + 64 * m * std::ldexp(1.0, -24)) << n << "," << l << "," << f;
                }
        // Dilation cannot be served: refused at initialisation, nothing computed.
        p.dilation = 2;
        const std::vector<uint16_t> before = Storage(out);
        Destroy_Conv1Dvia2D(&k);
        ::testing::internal::CaptureStdout();
        Init_Conv1Dvia2D(&k);
        Execute_Conv1Dvia2D(&k);
        EXPECT_EQ("Conv1Dvia2D error: dilationRateW != 1 Execute_Conv1Dvia2D error: kernel->extra_resources is NULL ",
                  ::testing::internal::GetCapturedStdout());
        EXPECT_EQ(before, Storage(out));
        p.dilation = 1;
        if (c.bias) {
            const std::string prefix = "[ERROR MESSAGE]: ";
            corvus_test::ExpectFatal(
                "Conv2D_opt",
                {{[&] { in->dtype = DT_FLOAT32; Conv1Dvia2D(-1, 1, &k); }, "in1->dtype == DT_FLOAT16: false, expected: true"},
                 {[&] { filt->dtype = DT_FLOAT32; Conv1Dvia2D(-1, 1, &k); }, "filt1->dtype == DT_FLOAT16: false, expected: true"},
                 {[&] { out->dtype = DT_FLOAT32; Conv1Dvia2D(-1, 1, &k); }, "out1->dtype == DT_FLOAT16: false, expected: true"},
                 {[&] { in->ndim = 4; Conv1Dvia2D(-1, 1, &k); }, "in1->ndim == 3: false, expected: true"},
                 {[&] { filt->ndim = 4; Conv1Dvia2D(-1, 1, &k); }, "filt1->ndim == 3: false, expected: true"},
                 {[&] { out->ndim = 2; Conv1Dvia2D(-1, 1, &k); }, "out1->ndim == 3: false, expected: true"},
                 {[&] { p.groups = 2; Conv1Dvia2D(-1, 1, &k); }, "p1->groups == 1: false, expected: true"},
                 {[&] { out->shape.dimension[0] = 3; Conv1Dvia2D(-1, 1, &k); }, "in1n[0] == out1n[0]: false, expected: true"},
                 {[&] { p.kernel_size = 5; Conv1Dvia2D(-1, 1, &k); }, "p1->kernel_size == filt1n[0]: false, expected: true"},
                 {[&] { in->shape.dimension[2] = 4; Conv1Dvia2D(-1, 1, &k); }, "in1n[2] == filt1n[1]: false, expected: true"},
                 {[&] { out->shape.dimension[2] = 4; Conv1Dvia2D(-1, 1, &k); }, "out1n[2] == filt1n[2]: false, expected: true"},
                 {[&] { bias->ndim = 2; Conv1Dvia2D(-1, 1, &k); }, "bias2.ndim == 1: false, expected: true"},
                 {[&] { bias->dtype = DT_FLOAT16; Conv1Dvia2D(-1, 1, &k); }, "bias2.dtype == DT_FLOAT32: false, expected: true"},
                 {[&] { bias->shape.dimension[0] = 3; Conv1Dvia2D(-1, 1, &k); }, "bias2.shape.dimension[0] == filt1n[2]: false, expected: true"}});
        }
        Destroy_Conv1Dvia2D(&k);
        for (Tensor* t : {in, out, filt, bias})
            if (t != nullptr) DestroyTensor(t);
    }
}

// ---- MatMul -------------------------------------------------------------

TEST(MMviaConv2D, HalfPrecisionProductMatchesFloat32Reference)
{
    std::mt19937 rng(17);
    struct Mm {
        std::initializer_list<uint32_t> a, b, out;
    };
    for (const Mm& m : {Mm{{4, 6, 40}, {40, 20}, {4, 6, 20}}, Mm{{2, 5, 3, 9}, {9, 130}, {2, 5, 3, 130}},
                        Mm{{5, 33, 16}, {16, 16}, {5, 33, 16}}}) {
        Tensor* A = MakeHalf(DL_NONE, m.a, &rng);
        Tensor* B = MakeHalf(DL_NONE, m.b, &rng);
        Tensor* out = MakeHalf(DL_NONE, m.out, nullptr);
        Tensor* direct = MakeHalf(DL_NONE, m.out, nullptr);
        Tensor* A32 = conv_test::ConvertedCopy(A, DT_FLOAT32);
        Tensor* B32 = conv_test::ConvertedCopy(B, DT_FLOAT32);
        Tensor* ref = conv_test::ConvertedCopy(out, DT_FLOAT32);
        Matmul_ref(A32, B32, ref);
        MatmulParams params = {2};
        opt_test::Kernel rec({A, B}, {out}, &params);
        NNKernel& k = rec.k;
        Init_MMviaConv2D(&k);
        ASSERT_NE(nullptr, k.extra_resources);
        // B is an operand: a change after initialisation is seen.
        ((uint16_t*)B->data)[0] ^= 0x0400;
        TensorDataConvert(B32, B);
        Matmul_ref(A32, B32, ref);
        Execute_MMviaConv2D(&k);
        MMviaConv2D(A, B, direct);
        const uint32_t K = B->shape.dimension[0];
        for (uint32_t e = 0; e < GetTensorSize(ref); ++e) {
            const float want = conv_test::F32(ref)[e];
            // Same fused multiply-adds in the same order: only the final rounding differs.
            ASSERT_EQ(conv_test::RoundHalf(want), Float(((uint16_t*)out->data)[e])) << e << " K " << K;
            ASSERT_EQ(Float(((uint16_t*)out->data)[e]), Float(((uint16_t*)direct->data)[e])) << e;
        }
        Destroy_MMviaConv2D(&k);
        EXPECT_EQ(nullptr, k.extra_resources);
        for (Tensor* t : {A, B, out, direct, A32, B32, ref}) DestroyTensor(t);
    }
}

}  // namespace
