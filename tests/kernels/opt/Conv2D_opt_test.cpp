// Half-precision Conv2D through the scratch memory, and Conv1D and float16
// MatMul through it, against the naive convolution and the references.
#include <pthread.h>

#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDense.h"
#include "conv_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt/OptInternal.h"
#include "opt_util.h"

using namespace conv_test;
using corvus_test::Float;

namespace {

struct Case {
    uint32_t N, H, W, Cin, Cout, kH, kW, sH, sW, pT, pL, pB, pR;
    bool bias;
    uint32_t act;
    uint32_t gap;     // extra elements after every row of input and output
    uint32_t passes;  // expected passes over input channel blocks (0: not checked)
};

std::vector<uint16_t> Storage(const Tensor* t)
{
    return {(uint16_t*)t->data, (uint16_t*)t->data + GetTensorDataSize(t)};
}

// A Conv2D kernel record over float16 tensors it owns (float32 bias, scaled up to +-4).
struct Conv {
    Case c;
    Conv2DParams p;
    Tensor *in, *out, *filt, *bias;
    opt_test::Kernel rec;
    NNKernel& k;
    Conv(const Case& cs, std::mt19937& rng)
        : c(cs), p{c.kH, c.kW, c.Cout, c.sH, c.sW, 1, 1, c.pT, c.pL, c.pB, c.pR, SAME, c.bias, {c.act, 0.125f}, 1},
          in(Make(DL_NHWC, {c.N, c.H, c.W, c.Cin}, &rng, c.gap, DT_FLOAT16)),
          out(Make(DL_NHWC,
                   {c.N, OutSize(c.H, c.kH, c.sH, 1, c.pT, c.pB), OutSize(c.W, c.kW, c.sW, 1, c.pL, c.pR), c.Cout},
                   nullptr, c.gap, DT_FLOAT16)),
          filt(Make(DL_HWIO, {c.kH, c.kW, c.Cin, c.Cout}, &rng, 0, DT_FLOAT16)),
          bias(c.bias ? Make(DL_I, {c.Cout}, &rng) : nullptr), rec({in}, {out}, &p, {filt, bias}), k(rec.k)
    {
        for (uint32_t i = 0; bias != nullptr && i < c.Cout; ++i) F32(bias)[i] *= 4.0f;
    }
    ~Conv()
    {
        Destroy_Conv2D_opt(&k);
        for (Tensor* t : {in, out, filt, bias})
            if (t != nullptr) DestroyTensor(t);
    }
    // The output as the kernel's contract fixes it bit for bit: per pass of
    // `block` input channels a float32 chain of fused multiply-adds from the
    // bias as split into halves (first pass) or 0, plus the previous pass's
    // float16 result, rounded to float16; the activation before the last rounding.
    std::vector<float> Contract(uint32_t block) const
    {
        std::vector<float> init(c.Cout, 0.0f);
        if (c.bias) {
            std::vector<uint16_t> hi(c.Cout), lo(c.Cout);
            float r = 0.0f;
            Conv2D_ConvBias(F32(bias), 1, c.Cout, hi.data(), lo.data(), &r);
            for (uint32_t co = 0; co < c.Cout; ++co) init[co] = (Float(hi[co]) + Float(lo[co])) * r;
        }
        ConvSetup s;
        s.x = corvus_test::DimsOf(in), s.y = corvus_test::DimsOf(out), s.k = {c.kH, c.kW}, s.s = {c.sH, c.sW};
        s.pad = {c.pT, c.pL}, s.chain = true, s.passChannels = block, s.act = c.act, s.alpha = 0.125f;
        s.plusZero = true;
        return NaiveConv(s, Values(in), Values(filt), c.bias ? init.data() : nullptr);
    }
    // Outputs as the contract gives them, and the gaps between rows untouched.
    ::testing::AssertionResult Matches(uint32_t block) const
    {
        const std::vector<uint16_t> all = Storage(out);
        const size_t marks = (size_t)std::count(all.begin(), all.end(), (uint16_t)0x5A5A);
        if (marks != all.size() - GetTensorSize(out)) return ::testing::AssertionFailure() << "gaps written";
        return SameValues(Contract(block), out);
    }
};

}  // namespace

// Fixed shapes (tiles, column chunks, 8-row steps, narrow 1x1 layers with
// rows merged in pairs, single pixels, gaps; filter slices too large for the
// scratch memory computed in passes over input channel blocks), then random ones.
TEST(Conv2DOpt, MatchesTheContractOverShapesStridesPadsAndChannels)
{
    std::vector<Case> cases = {
        // N  H   W  Cin Cout kH kW sH sW pT pL pB pR bias act gap passes
        {1, 5, 5, 1, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0, 0},
        {2, 7, 6, 3, 48, 3, 3, 2, 2, 1, 1, 1, 0, false, ReLU, 0, 0},
        {1, 6, 9, 8, 128, 3, 2, 1, 2, 0, 1, 2, 0, true, ReLU6, 0, 0},
        {1, 4, 5, 16, 256, 1, 1, 1, 1, 0, 0, 0, 0, true, LeakyReLU, 0, 0},
        {2, 6, 4, 5, 5, 2, 3, 3, 1, 1, 2, 0, 1, true, Linear, 0, 0},
        {1, 9, 3, 7, 20, 5, 3, 1, 1, 2, 1, 2, 1, false, None, 0, 0},
        {1, 6, 6, 24, 16, 1, 1, 1, 1, 0, 0, 0, 0, true, None, 0, 0},
        {1, 7, 3, 4, 1, 1, 1, 1, 1, 0, 0, 0, 0, false, ReLU, 0, 0},
        {1, 20, 21, 2, 33, 3, 3, 1, 1, 1, 1, 1, 1, true, LeakyReLU, 0, 0},
        {2, 5, 6, 3, 18, 3, 3, 1, 2, 1, 1, 1, 1, true, ReLU, 3, 0},
        {1, 3, 3, 1, 7, 3, 3, 1, 1, 0, 0, 0, 0, true, None, 0, 0},
        {1, 20, 20, 64, 96, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0, 1},
        {1, 3, 14, 512, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, LeakyReLU, 0, 2},
        {2, 2, 4, 1100, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, ReLU, 3, 3},  // uneven last block
        {1, 3, 4, 1536, 48, 1, 1, 1, 1, 0, 0, 0, 0, false, None, 0, 1},
    };
    std::mt19937 rng(21);
    for (int i = 0; i < 14; ++i) {
        Case c{};
        c.N = 1 + rng() % 2, c.kH = 1 + rng() % 4, c.kW = 1 + rng() % 4, c.sH = 1 + rng() % 3, c.sW = 1 + rng() % 3;
        c.pT = rng() % c.kH, c.pB = rng() % c.kH, c.pL = rng() % c.kW, c.pR = rng() % c.kW;
        c.H = c.kH + rng() % 9, c.W = c.kW + rng() % 9;
        static const uint32_t kCin[] = {1, 2, 3, 16, 17, 32}, kCout[] = {16, 32, 128, 3, 17, 40, 130};
        c.Cin = kCin[rng() % 6], c.Cout = kCout[rng() % 7];
        c.bias = rng() % 2 == 0, c.act = kFusedKinds[rng() % 5], c.gap = rng() % 4 == 0 ? 2 : 0;
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases.data());
        Conv cv(c, rng);
        EXPECT_EQ(nullptr, Probe_Conv2D_opt(&cv.k));
        EXPECT_EQ(nullptr, Conv2D_opt(-2, 1, &cv.k));
        const uint32_t block = corvus_opt::Conv2DOptPassChannels(&cv.k);
        EXPECT_TRUE(c.passes == 0 || c.passes == (c.Cin + block - 1) / block);
        EXPECT_EQ(nullptr, Conv2D_opt(0, 1, &cv.k));
        EXPECT_TRUE(cv.Matches(block));
    }
}

// The scratch block belongs to the kernel, not to the stack of the calling
// thread: a host thread with a 64 KiB stack runs the layer. Shares of the
// work together give the whole result.
TEST(Conv2DOptDeathTest, RunsOnASmallStackAndInShares)
{
    auto run = [] {
        std::mt19937 rng(3);
        Conv cv({1, 6, 6, 8, 144, 3, 3, 1, 1, 1, 1, 1, 1, true, ReLU, 0, 0}, rng);
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
        exit(cv.Matches(cv.c.Cin) ? 0 : 2);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");

    std::mt19937 rng(5);
    Conv whole({2, 9, 7, 6, 40, 3, 3, 1, 1, 1, 1, 1, 1, true, ReLU, 0, 0}, rng);
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

TEST(Conv2DOpt, RefusesWithTheReasonAndLeavesTheOutputAlone)
{
    std::mt19937 rng(9);
    const Case base = {1, 5, 5, 4, 16, 3, 3, 1, 1, 1, 1, 1, 1, true, None, 0, 0};
    const std::vector<std::pair<const char*, std::function<void(Conv&)>>> refusals = {
        {"dilationRateW != 1", [](Conv& c) { c.p.dilationRateW = 2; }},
        {"unsupported activation", [](Conv& c) { c.p.activation.type = Sigmoid; }},
        {"input->dtype != DT_FLOAT16", [](Conv& c) { c.in->dtype = DT_FLOAT32; }},
        {"oTotal.C != kTotal.C", [](Conv& c) { c.out->shape.dimension[3] = 15; }},
        {"bias->dtype != DT_FLOAT32", [](Conv& c) { c.bias->dtype = DT_FLOAT16; }},
    };
    for (const auto& r : refusals) {
        Conv cv(base, rng);
        const std::vector<uint16_t> before = Storage(cv.out);
        r.second(cv);
        for (int mode : {-1, -2, 0})
            EXPECT_STREQ(r.first, mode == -1 ? Probe_Conv2D_opt(&cv.k) : Conv2D_opt(mode, 1, &cv.k));
        EXPECT_EQ(nullptr, cv.k.extra_resources) << r.first;
        EXPECT_TRUE(std::equal(before.begin(), before.end(), (const uint16_t*)cv.out->data)) << r.first;
    }
    // An output row that cannot fit the scratch memory.
    Conv big({1, 1, 20000, 1, 16, 1, 1, 1, 1, 0, 0, 0, 0, false, None, 0, 0}, rng);
    EXPECT_STREQ("can't split", Probe_Conv2D_opt(&big.k));
    // The entry points print their refusal and compute nothing: execution
    // without initialisation, a dilated Conv1D.
    Conv cv(base, rng);
    Tensor* in1 = Make(DL_NONE, {1, 5, 4}, &rng, 0, DT_FLOAT16);
    Tensor* out1 = Make(DL_NONE, {1, 1, 16}, nullptr, 0, DT_FLOAT16);
    Tensor* filt1 = Make(DL_NONE, {3, 4, 16}, &rng, 0, DT_FLOAT16);
    Conv1DParams dilated = {3, 1, 2, 0, 0, 1, 0, {None, 0.0f}};
    opt_test::Kernel rec1({in1}, {out1}, &dilated, {filt1});
    const std::pair<std::function<void()>, const char*> printed[] = {
        {[&] { Execute_Conv2D_opt(&cv.k); }, "Execute_Conv2D_opt error: kernel->extra_resources is NULL "},
        {[&] { Init_Conv1Dvia2D(rec1); }, "Conv1Dvia2D error: dilationRateW != 1 "},
        {[&] { Execute_Conv1Dvia2D(rec1); }, "Execute_Conv1Dvia2D error: kernel->extra_resources is NULL "},
    };
    for (const auto& r : printed) {
        ::testing::internal::CaptureStdout();
        r.first();
        EXPECT_EQ(r.second, ::testing::internal::GetCapturedStdout());
    }
    for (const Tensor* t : {cv.out, out1}) EXPECT_EQ(Storage(t), std::vector<uint16_t>(GetTensorDataSize(t), 0x5A5A));
    for (Tensor* t : {in1, out1, filt1}) DestroyTensor(t);
}

TEST(Conv2DOpt, BiasHalvesNarrowingOverflowNaNAndClamps)
{
    // Largest bias 1000: s = 64, 1000 held as h = 64000, l = 0.
    const float b[3] = {1000.0f, -3.0f, 0.1f};
    uint16_t hi[3], lo[3];
    float r = -1;
    Conv2D_ConvBias(b, 1, 3, hi, lo, &r);
    EXPECT_TRUE(r == 1.0f / 64 && Float(hi[0]) == 64000.0f && Float(lo[0]) == 0.0f);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(b[i], (Float(hi[i]) + Float(lo[i])) * r, std::fabs(b[i]) * 1e-6) << i;
    // Small biases keep s = 2^24 and their low half.
    const float small[2] = {0.0f, 1.0e-3f};
    Conv2D_ConvBias(small, 1, 2, hi, lo, &r);
    EXPECT_EQ(std::ldexp(1.0f, -24), r);
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

    std::mt19937 rng(11);
    auto run = [&](uint16_t x, uint16_t w, uint32_t act) {
        Conv cv({1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, false, act, 0, 0}, rng);
        ((uint16_t*)cv.in->data)[0] = x;
        ((uint16_t*)cv.filt->data)[0] = w;
        Init_Conv2D_opt(&cv.k);
        Execute_Conv2D_opt(&cv.k);
        return ((const uint16_t*)cv.out->data)[0];
    };
    // 70000 -> +infinity, -70000 -> -infinity, 7 -> 6, below 0 -> +0, NaN
    // -> 0x7FFF, also through the rectifier.
    const uint16_t h350 = 0x5D78, h200 = 0x5A40, hm200 = 0xDA40, h7 = 0x4700, h1 = 0x3C00, nan = 0x7E00;
    EXPECT_EQ((std::vector<int>{run(h350, h200, None), run(h350, hm200, Linear), run(h7, h1, ReLU6),
                                run(h350, hm200, ReLU6), run(nan, h1, None), run(nan, h1, ReLU) & 0x7FFF}),
              (std::vector<int>{0x7C00, 0xFC00, 0x4600, 0, 0x7FFF, 0x7FFF}));
}

// Conv1D as a one-row Conv2D under the same contract.
TEST(Conv1DVia2D, MatchesTheContract)
{
    std::mt19937 rng(13);
    struct C1 {
        uint32_t N, L, Cin, F, k, stride, pB, pE;
        bool bias;
    };
    for (const C1& c : {C1{2, 11, 3, 20, 3, 2, 1, 1, true}, C1{1, 9, 16, 128, 4, 1, 0, 3, false}}) {
        Conv as2D({c.N, 1, c.L, c.Cin, c.F, 1, c.k, 1, c.stride, 0, c.pB, 0, c.pE, c.bias, ReLU, 0, 0}, rng);
        Tensor* in = Make(DL_NONE, {c.N, c.L, c.Cin}, nullptr, 0, DT_FLOAT16);
        Tensor* out = Make(DL_NONE, {c.N, OutSize(c.L, c.k, c.stride, 1, c.pB, c.pE), c.F}, nullptr, 0, DT_FLOAT16);
        Tensor* filt = Make(DL_NONE, {c.k, c.Cin, c.F}, nullptr, 0, DT_FLOAT16);
        PutTensorData(as2D.in->data, in);
        PutTensorData(as2D.filt->data, filt);
        Conv1DParams p = {c.k, c.stride, 1, c.pB, c.pE, 1, (uint8_t)c.bias, {ReLU, 0.0f}};
        opt_test::Kernel rec({in}, {out}, &p, {filt, as2D.bias});
        Init_Conv1Dvia2D(&rec.k);
        Execute_Conv1Dvia2D(&rec.k);
        EXPECT_TRUE(SameValues(as2D.Contract(c.Cin), out));
        Destroy_Conv1Dvia2D(&rec.k);
        for (Tensor* t : {in, out, filt}) DestroyTensor(t);
    }
}

TEST(MMviaConv2D, HalfPrecisionProductMatchesFloat32Reference)
{
    std::mt19937 rng(17);
    struct Mm {
        U a, b, out;
    };
    for (const Mm& m : {Mm{{4, 6, 40}, {40, 20}, {4, 6, 20}}, Mm{{2, 5, 3, 9}, {9, 130}, {2, 5, 3, 130}},
                        Mm{{5, 33, 16}, {16, 16}, {5, 33, 16}}}) {
        Tensor *A = Make(DL_NONE, m.a, &rng, 0, DT_FLOAT16), *B = Make(DL_NONE, m.b, &rng, 0, DT_FLOAT16);
        Tensor* out = Make(DL_NONE, m.out, nullptr, 0, DT_FLOAT16);
        Tensor* direct = Make(DL_NONE, m.out, nullptr, 0, DT_FLOAT16);
        MatmulParams params = {2};
        opt_test::Kernel rec({A, B}, {out}, &params);
        Init_MMviaConv2D(&rec.k);
        ASSERT_NE(nullptr, rec.k.extra_resources);
        // B is an operand: a change after initialisation is seen.
        ((uint16_t*)B->data)[0] ^= 0x0400;
        Tensor *A32 = ConvertedCopy(A, DT_FLOAT32), *B32 = ConvertedCopy(B, DT_FLOAT32);
        Tensor* ref = ConvertedCopy(out, DT_FLOAT32);
        Matmul_ref(A32, B32, ref);
        Execute_MMviaConv2D(&rec.k);
        MMviaConv2D(A, B, direct);
        // Same fused multiply-adds in the same order: only the final rounding differs.
        std::vector<float> want = Values(ref);
        for (float& v : want) v = RoundHalf(v);
        EXPECT_TRUE(SameValues(want, out));
        EXPECT_EQ(Values(out), Values(direct));
        Destroy_MMviaConv2D(&rec.k);
        EXPECT_EQ(nullptr, rec.k.extra_resources);
        for (Tensor* t : {A, B, out, direct, A32, B32, ref}) DestroyTensor(t);
    }
}
