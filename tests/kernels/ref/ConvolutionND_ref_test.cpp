// One-, three-dimensional and transposed convolution kernels against naive
// implementations written from their definitions (transposed forms as
// scatters), over random geometry.
#include <gtest/gtest.h>

#include "LayersConvolutionND.h"
#include "resize_util.h"
#include "test_util.h"

using namespace resize_test;

namespace {

std::mt19937 rng(1234);

uint32_t Rand(uint32_t lo, uint32_t hi) { return lo + (uint32_t)(rng() % (hi - lo + 1)); }

Tensor* RandomF32(const U& dims, uint32_t gap = 0)
{
    Tensor* t = F32Tensor(dims, {}, DL_NONE, gap);
    FillRandom(t, rng);
    return t;
}

// A random fused activation, applied by the naive versions with Act().
ActivationParams RandomActivation()
{
    static const uint32_t kinds[] = {None, ReLU, ReLU6, LeakyReLU, Linear};
    return ActivationParams{kinds[rng() % 5], 0.125f};
}

float Act(const ActivationParams& a, float x)
{
    switch (a.type) {
        case ReLU: return x > 0 ? x : 0.0f;
        case ReLU6: return x > 6 ? 6.0f : x > 0 ? x : 0.0f;
        case LeakyReLU: return x > 0 ? x : x * a.alpha;
        default: return x;
    }
}

// Channels per group: usually divisible, sometimes with channels no group
// reaches; wide groups now and then so that every channel block width runs.
void RandomChannels(uint32_t& groups, uint32_t& cin, uint32_t& cout)
{
    groups = Rand(1, 3);
    cin = groups * Rand(1, 9);
    cout = groups * (rng() % 3 == 0 ? Rand(8, 37) : Rand(1, 6)) + (rng() % 6 == 0 ? 1 : 0);
}

// Input position of output o at tap k (forward), or output position of
// input i at tap k (transposed); -1 when outside [0, extent).
int64_t Pos(uint32_t o, uint32_t s, uint32_t pad, uint32_t k, uint32_t d, uint32_t extent)
{
    const int64_t p = (int64_t)o * s - pad + (int64_t)k * d;
    return p >= 0 && p < extent ? p : -1;
}

void ExpectSame(const Tensor* expected, const Tensor* actual, int trial)
{
    ASSERT_EQ(Dims(expected), Dims(actual));
    ForEachIndex(Dims(actual), [&](const U& i) { ASSERT_EQ(At(expected, i), At(actual, i)) << "trial " << trial; });
}

}  // namespace

// out[o][co] starts at the bias; per tap and input channel a fused multiply-add.
TEST(ConvolutionNDRef, Conv1DMatchesNaive)
{
    for (int trial = 0; trial < 60; ++trial) {
        uint32_t G, Cin, Cout;
        RandomChannels(G, Cin, Cout);
        Conv1DParams p = {Rand(1, 4), Rand(1, 3), Rand(1, 3), Rand(0, 3), Rand(0, 3), G, (uint8_t)(rng() % 2),
                          RandomActivation()};
        const uint32_t N = Rand(1, 2), L = Rand(1, 12);
        const int64_t span = (int64_t)L + p.padBegin + p.padEnd - ((int64_t)p.kernel_size - 1) * p.dilation - 1;
        if (span < 0) continue;
        const uint32_t Lo = (uint32_t)(span / p.stride + 1);
        Tensor* in = RandomF32({N, L, Cin}, trial % 2);
        Tensor* w = RandomF32({p.kernel_size, Cin / G, Cout});
        Tensor* b = RandomF32({Cout});
        Tensor* out = F32Tensor({N, Lo, Cout}, {}, DL_NONE, trial % 3);
        Tensor* want = F32Tensor({N, Lo, Cout});
        Conv1D_fl32_ref(in, w, p.useBias || trial % 2 ? b : nullptr, out, &p);  // no bias is read without useBias
        const uint32_t CgIn = Cin / G, CgOut = Cout / G;
        ForEachIndex({N, Lo, Cout}, [&](const U& i) {
            float acc = p.useBias ? At(b, {i[2]}) : 0.0f;
            const uint32_t g = i[2] / CgOut;
            for (uint32_t k = 0; k < p.kernel_size && g < G; ++k) {
                const int64_t x = Pos(i[1], p.stride, p.padBegin, k, p.dilation, L);
                if (x < 0) continue;
                for (uint32_t ci = 0; ci < CgIn; ++ci)
                    acc = fmaf(At(in, {i[0], (uint32_t)x, g * CgIn + ci}), At(w, {k, ci, i[2]}), acc);
            }
            At(want, i) = Act(p.activation, acc);
        });
        ExpectSame(want, out, trial);
        for (Tensor* t : {in, w, b, out, want}) DestroyTensor(t);
    }
}

// Outputs start at zero; per tap (kd, kh, kw) a partial sum over the group's
// input channels is added; the bias comes last.
TEST(ConvolutionNDRef, Conv3DMatchesNaive)
{
    for (int trial = 0; trial < 40; ++trial) {
        uint32_t G, Cin, Cout;
        RandomChannels(G, Cin, Cout);
        Conv3DParams p;
        memset(&p, 0, sizeof(p));
        uint32_t* k = &p.kerSizeD;  // kerSize, stride, dilation per D, H, W
        for (int a = 0; a < 3; ++a) {
            k[a] = Rand(1, 3);
            k[3 + a] = Rand(1, 2);
            k[6 + a] = Rand(1, 2);
        }
        const uint32_t pads[6] = {Rand(0, 2), Rand(0, 1), Rand(0, 2), Rand(0, 1), Rand(0, 2), Rand(0, 1)};
        p.padFront = pads[0];
        p.padBack = pads[1];
        p.padTop = pads[2];
        p.padBottom = pads[3];
        p.padLeft = pads[4];
        p.padRight = pads[5];
        p.groups = G;
        p.filters = Cout;
        p.useBias = rng() % 2;
        p.activation = RandomActivation();
        const uint32_t N = Rand(1, 2);
        U in{N, Rand(1, 4), Rand(1, 5), Rand(1, 6), Cin}, out{N, 0, 0, 0, Cout};
        bool empty = false;
        for (int a = 0; a < 3; ++a) {
            const int64_t span = (int64_t)in[a + 1] + pads[2 * a] + pads[2 * a + 1] - ((int64_t)k[a] - 1) * k[6 + a] - 1;
            empty = empty || span < 0;
            out[a + 1] = span < 0 ? 0 : (uint32_t)(span / k[3 + a] + 1);
        }
        if (empty) continue;
        Tensor* x = RandomF32(in, trial % 2);
        Tensor* w = RandomF32({k[0], k[1], k[2], Cin / G, Cout});
        Tensor* b = RandomF32({Cout});
        Tensor* y = F32Tensor(out, {}, DL_NONE, trial % 3);
        Tensor* want = F32Tensor(out);
        Conv3D_fl32_ref(x, w, b, y, &p);
        const uint32_t CgIn = Cin / G, CgOut = Cout / G;
        const uint32_t padBegin[3] = {p.padFront, p.padTop, p.padLeft};
        ForEachIndex(out, [&](const U& o) {
            const uint32_t g = o[4] / CgOut;
            float acc = 0.0f;
            ForEachIndex({k[0], k[1], k[2]}, [&](const U& t) {
                U src{o[0], 0, 0, 0, 0};
                for (int a = 0; a < 3; ++a) {
                    const int64_t q = Pos(o[a + 1], k[3 + a], padBegin[a], t[a], k[6 + a], in[a + 1]);
                    if (q < 0 || g >= G) return;
                    src[a + 1] = (uint32_t)q;
                }
                float s = 0.0f;
                for (uint32_t ci = 0; ci < CgIn; ++ci) {
                    src[4] = g * CgIn + ci;
                    s = fmaf(At(x, src), At(w, {t[0], t[1], t[2], ci, o[4]}), s);
                }
                acc += s;
            });
            if (p.useBias) acc += At(b, {o[4]});
            At(want, o) = Act(p.activation, acc);
        });
        ExpectSame(want, y, trial);
        for (Tensor* t : {x, w, b, y, want}) DestroyTensor(t);
    }
}

// The scatter: every input pixel and tap adds the dot product of its input
// channels with filter[kh][kw][co][...] to the output position it reaches.
TEST(ConvolutionNDRef, TransposedMatchScatter)
{
    for (int trial = 0; trial < 80; ++trial) {
        const bool twoD = trial % 2 == 0;
        uint32_t G, Cin, Cout;
        RandomChannels(G, Cin, Cout);
        Cout -= Cout % G;  // the filter's shape names the per-group count
        const uint32_t N = Rand(1, 2), CgIn = Cin / G, CgOut = Cout / G;
        uint32_t kH = twoD ? Rand(1, 4) : 1, kW = Rand(1, 4), sH = twoD ? Rand(1, 3) : 1, sW = Rand(1, 3);
        uint32_t dH = twoD ? Rand(1, 2) : 1, dW = Rand(1, 2), padT = twoD ? Rand(0, 2) : 0, padL = Rand(0, 2);
        const uint32_t H = twoD ? Rand(1, 5) : 1, W = Rand(1, 6);
        // Output extents of an explicit transposed padding with random output padding and end pads.
        const uint32_t oH = twoD ? std::max<int64_t>(1, (int64_t)(H - 1) * sH + (kH - 1) * dH + 1 + Rand(0, 1) - padT - Rand(0, 2)) : 1;
        const uint32_t oW = std::max<int64_t>(1, (int64_t)(W - 1) * sW + (kW - 1) * dW + 1 + Rand(0, 1) - padL - Rand(0, 2));
        const bool useBias = rng() % 2;
        const ActivationParams act = RandomActivation();
        const U inDims = twoD ? U{N, H, W, Cin} : U{N, W, Cin};
        const U outDims = twoD ? U{N, oH, oW, Cout} : U{N, oW, Cout};
        Tensor* x = RandomF32(inDims, trial % 3);
        Tensor* w = twoD ? RandomF32({kH, kW, CgOut, Cin}) : RandomF32({kW, CgOut, Cin});
        Tensor* b = RandomF32({Cout});
        Tensor* y = F32Tensor(outDims, {}, DL_NONE, trial % 2);
        Tensor* want = F32Tensor(outDims, std::vector<float>(GetTensorSize(y), 0.0f));
        if (twoD) {
            Conv2DTransposeParams p = {kH, kW, Cout, sH, sW, dH, dW, padT, padL, useBias, G, act};
            Conv2DTranspose_fl32_ref(x, w, b, y, &p);
        } else {
            Conv1DTransposeParams p = {sW, kW, dW, padL, useBias, G, act};
            Conv1DTranspose_fl32_ref(x, w, b, y, &p);
        }
        auto in = [&](uint32_t n, uint32_t h, uint32_t c, uint32_t v) { return twoD ? At(x, {n, h, v, c}) : At(x, {n, v, c}); };
        auto out = [&](uint32_t n, uint32_t h, uint32_t v, uint32_t c) -> float& {
            return twoD ? At(want, {n, h, v, c}) : At(want, {n, v, c});
        };
        auto filt = [&](uint32_t kh, uint32_t kw, uint32_t co, uint32_t ci) {
            return twoD ? At(w, {kh, kw, co, ci}) : At(w, {kw, co, ci});
        };
        ForEachIndex({N, H, W, kH, kW}, [&](const U& i) {
            const int64_t oh = Pos(i[1], sH, padT, i[3], dH, oH), ow = Pos(i[2], sW, padL, i[4], dW, oW);
            if (oh < 0 || ow < 0) return;
            for (uint32_t co = 0; co < Cout; ++co) {
                const uint32_t g = co / CgOut;
                float s = 0.0f;
                for (uint32_t ci = g * CgIn; ci < (g + 1) * CgIn; ++ci)
                    s = fmaf(in(i[0], i[1], ci, i[2]), filt(i[3], i[4], co % CgOut, ci), s);
                out(i[0], (uint32_t)oh, (uint32_t)ow, co) += s;
            }
        });
        ForEachIndex(outDims, [&](const U& o) {
            float& v = At(want, o);
            v = Act(act, useBias ? v + At(b, {o.back()}) : v);
        });
        ExpectSame(want, y, trial);
        for (Tensor* t : {x, w, b, y, want}) DestroyTensor(t);
    }
}

// Stride 2 and a 2x2 kernel without pads double the image, each input pixel
// writing its own 2x2 block; Conv1D with stride 2 reads inputs 2o, 2o+1, 2o+2.
TEST(ConvolutionNDRef, WorkedExamples)
{
    Tensor* x = F32Tensor({1, 2, 3, 1}, {1, 2, 3, 4, 5, 6});
    Tensor* w = F32Tensor({2, 2, 1, 1}, {1, 10, 100, 1000});
    Tensor* y = F32Tensor({1, 4, 6, 1});
    const uint32_t in[2] = {2, 3}, k[2] = {2, 2}, s[2] = {2, 2};
    const PaddingStruct ps = ComputePaddingStructTransposed(2, in, k, s, nullptr, VALID, nullptr, nullptr, false);
    ASSERT_EQ(ps.outputSize[0], 4u);
    ASSERT_EQ(ps.outputSize[1], 6u);
    Conv2DTransposeParams tp = {2, 2, 1, 2, 2, 1, 1, ps.begin0, ps.begin1, 0, 1, {None, 0.0f}};
    Conv2DTranspose_fl32_ref(x, w, nullptr, y, &tp);
    ForEachIndex({1, 4, 6, 1}, [&](const U& o) {
        const float weight = At(w, {o[1] % 2, o[2] % 2, 0, 0});
        EXPECT_EQ(At(y, o), weight * At(x, {0, o[1] / 2, o[2] / 2, 0}));
    });

    // Conv1D: length 7, k 3, stride 2 -> 3 outputs; taps weighted 1, 10, 100.
    const uint32_t L = 7, kk = 3, ss = 2;
    const PaddingStruct p1 = ComputePaddingStruct(1, &L, &kk, &ss, nullptr, VALID, nullptr, 1);
    ASSERT_EQ(p1.outputSize[0], 3u);
    Tensor* seq = F32Tensor({1, 7, 1}, {1, 2, 3, 4, 5, 6, 7});
    Tensor* taps = F32Tensor({3, 1, 1}, {1, 10, 100});
    Tensor* r = F32Tensor({1, 3, 1});
    Conv1DParams cp = {3, 2, 1, p1.begin0, p1.end0, 1, 0, {None, 0.0f}};
    Conv1D_fl32_ref(seq, taps, nullptr, r, &cp);
    for (uint32_t o = 0; o < 3; ++o) EXPECT_EQ(At(r, {0, o, 0}), (2 * o + 1) + 10.0f * (2 * o + 2) + 100.0f * (2 * o + 3));
    // Outputs whose taps all fall into the pads are the bias.
    Tensor* bias = F32Tensor({1}, {-3.5f});
    Tensor* padded = F32Tensor({1, 6, 1});
    Conv1DParams pp = {2, 1, 1, 3, 0, 1, 1, {None, 0.0f}};  // begin pad 3: outputs 0 and 1 see only pads
    Tensor* ones = F32Tensor({2, 1, 1}, {1, 1});
    Conv1D_fl32_ref(seq, ones, bias, padded, &pp);
    EXPECT_EQ(At(padded, {0, 0, 0}), -3.5f);
    EXPECT_EQ(At(padded, {0, 1, 0}), -3.5f);
    EXPECT_EQ(At(padded, {0, 2, 0}), 1 - 3.5f);
    for (Tensor* t : {x, w, y, seq, taps, r, bias, ones, padded}) DestroyTensor(t);
}

TEST(ConvolutionNDRefDeathTest, WorkFunctionChecks)
{
    Tensor* x = F32Tensor({1, 5, 4});
    Tensor* w = F32Tensor({3, 2, 6});
    Tensor* y = F32Tensor({1, 3, 6});
    Tensor* b = F32Tensor({6});
    Conv1DParams p = {3, 1, 1, 0, 0, 2, 1, {None, 0.0f}};
    corvus_test::ExpectFatal("ConvolutionND_ref", {
        {[&] { Conv1D_fl32_ref(x, w, nullptr, y, &p); }, "Conv1D_fl32_ref: the layer uses a bias but none is given"},
        {[&] { p.groups = 1; Conv1D_fl32_ref(x, w, b, y, &p); },
         "Conv1D_fl32_ref: filter shape (3, 2, 6) is not the expected (3, 4, 6)"},
        {[&] { Conv1D_fl32_ref(x, w, F32Tensor({5}), y, &p); }, "Conv1D_fl32_ref: bias shape (5) is not the expected (6)"},
        {[&] { Conv1D_fl32_ref(x, w, b, F32Tensor({2, 3, 6}), &p); },
         "Conv1D_fl32_ref: output shape (2, 3, 6) is not the expected (1, 3, 6)"},
        {[&] { Conv1D_fl32_ref(F32Tensor({1, 5, 4, 1}), w, b, y, &p); }, "Conv1D_fl32_ref: input must have 3 dimensions, has 4"},
        {[&] { ExecuteConv1D_fl32_ref(nullptr); }, "kernel pointer is null"},
        {[&] {
             // A transposed filter must be laid out {kH, kW, O, I}.
             Tensor* image = F32Tensor({1, 2, 2, 3}, {}, DL_NHWC);
             Tensor* result = F32Tensor({1, 3, 3, 2}, {}, DL_NHWC);
             Tensor* filter = F32Tensor({2, 2, 2, 3});
             Conv2DTransposeParams tp = {2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 1, {None, 0.0f}};
             NNKernel k;
             memset(&k, 0, sizeof(k));
             k.input = &image;
             k.output = &result;
             k.inner = &filter;
             k.inputsNum = k.outputsNum = k.innerNum = 1;
             k.params = &tp;
             Execute_Conv2Dtranspose_fl32_ref(&k);
         },
         "filter->layout == DL_HWOI: false, expected: true"},
    });
    for (Tensor* t : {x, w, y, b}) DestroyTensor(t);
}

// The constructor gives a grouped Conv1DTranspose one bias value per channel
// of a group; every group adds the same values.
TEST(ConvolutionNDRef, GroupedTransposedBiasPerGroupChannel)
{
    Tensor* x = F32Tensor({1, 2, 4}, {1, 2, 3, 4, 5, 6, 7, 8});
    Tensor* w = F32Tensor({1, 1, 4}, {1, 1, 10, 10});  // k 1, one output per group
    Tensor* b = F32Tensor({1}, {0.5f});
    Tensor* y = F32Tensor({1, 2, 2});
    Conv1DTransposeParams p = {1, 1, 1, 0, 1, 2, {None, 0.0f}};
    Conv1DTranspose_fl32_ref(x, w, b, y, &p);
    EXPECT_EQ(Values(y), (std::vector<float>{1 + 2 + 0.5f, 30 + 40 + 0.5f, 5 + 6 + 0.5f, 70 + 80 + 0.5f}));
    for (Tensor* t : {x, w, b, y}) DestroyTensor(t);
}
