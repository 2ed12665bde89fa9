// Half-precision depthwise convolution: against a naive float32-accumulating
// convolution written here (equal bits) and the reference kernel (within
// half-precision rounding); the fallbacks to the reference with their
// reasons, and the fatal checks.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "LayersConvolution.h"
#include "datamovement_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using corvus_test::Float;
using corvus_test::Half;
using dm_test::Dims;
using dm_test::TensorPtr;
using opt_test::Kernel;

namespace {

struct Layer {
    DepthWiseConv2DParams p;
    TensorPtr in, filter, bias, out;
    uint32_t oh, ow;
};

Layer Make(DataType t, uint32_t H, uint32_t W, uint32_t C, uint32_t k, uint32_t s, uint32_t pad, std::mt19937& rng)
{
    Layer l;
    l.p = DepthWiseConv2DParams{k, k, s, s, 1, 1, pad, pad, pad, pad, 1, pad ? SAME : VALID, 1, None};
    l.oh = (H + 2 * pad - k) / s + 1;
    l.ow = (W + 2 * pad - k) / s + 1;
    l.in = dm_test::MakeTensor(t, {1, H, W, C}, 0, DL_NHWC);
    l.filter = dm_test::MakeTensor(t, {1, k, k, C}, 0, DL_MHWI);
    l.bias = dm_test::MakeTensor(t, {C}, 0, DL_I);
    l.out = dm_test::MakeTensor(t, {1, l.oh, l.ow, C}, 0, DL_NHWC);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (Tensor* x : {l.in.get(), l.filter.get(), l.bias.get()})
        dm_test::ForEachCoord(dm_test::DimsOf(x), [&](const Dims& c) {
            if (t == DT_FLOAT16)
                dm_test::Set<uint16_t>(x, c, Half(u(rng)));
            else
                dm_test::Set<float>(x, c, u(rng));
        });
    return l;
}

void RunLayer(void (*execute)(NNKernel*), Layer& l)
{
    Kernel k({l.in.get()}, {l.out.get()}, &l.p);
    Tensor* inner[2] = {l.filter.get(), l.bias.get()};
    k.k.inner = inner;
    k.k.innerNum = 2;
    Init_DWConvolution_ref(k.get());
    execute(k.get());
    Destroy_DWConvolution_ref(k.get());
}

// Accumulates bias + sum x*w in float32 (fused, rows outer) and rounds once.
uint16_t Naive(const Layer& l, uint32_t oh, uint32_t ow, uint32_t c)
{
    const int64_t H = l.in->shape.dimension[1], W = l.in->shape.dimension[2];
    float acc = Float(dm_test::At<uint16_t>(l.bias.get(), {c}));
    for (uint32_t kh = 0; kh < l.p.kerSizeH; ++kh)
        for (uint32_t kw = 0; kw < l.p.kerSizeW; ++kw) {
            const int64_t ih = (int64_t)oh * l.p.strideH + kh - l.p.padTop;
            const int64_t iw = (int64_t)ow * l.p.strideW + kw - l.p.padLeft;
            if (ih < 0 || ih >= H || iw < 0 || iw >= W) continue;
            acc = fmaf(Float(dm_test::At<uint16_t>(l.in.get(), {0, (uint32_t)ih, (uint32_t)iw, c})),
                       Float(dm_test::At<uint16_t>(l.filter.get(), {0, kh, kw, c})), acc);
        }
    return Half(acc);
}

TEST(DWConvolutionOpt, HalfMatchesFloat32AccumulationAndReference)
{
    std::mt19937 rng(9);
    const uint32_t shapes[][3] = {{3, 1, 1}, {3, 2, 1}, {5, 1, 2}, {5, 2, 0}, {7, 1, 3}, {2, 1, 0}, {4, 3, 1}};
    for (const auto& s : shapes) {
        const uint32_t H = s[0] + rng() % 9, W = s[0] + rng() % 9, C = 4 * (1 + rng() % 5);
        Layer l = Make(DT_FLOAT16, H, W, C, s[0], s[1], s[2], rng);
        SCOPED_TRACE(::testing::Message() << "k " << s[0] << " s " << s[1] << " pad " << s[2]);
        RunLayer(Execute_DWConvolution_opt, l);
        TensorPtr opt(dm_test::CopyOf(l.out.get()));
        RunLayer(Execute_DWConvolution_ref, l);
        dm_test::ForEachCoord({1, l.oh, l.ow, C}, [&](const Dims& c) {
            const uint16_t got = dm_test::At<uint16_t>(opt.get(), c);
            ASSERT_EQ(got, Naive(l, c[1], c[2], c[3]));
            const float ref = Float(dm_test::At<uint16_t>(l.out.get(), c));
            ASSERT_NEAR(Float(got), ref, 0.01f + 0.01f * std::fabs(ref));
        });
    }
}

TEST(DWConvolutionOpt, FallsBackToReferenceWithItsReasons)
{
    std::mt19937 rng(4);
    Layer f32 = Make(DT_FLOAT32, 6, 6, 8, 3, 1, 1, rng), six = Make(DT_FLOAT16, 6, 6, 6, 3, 1, 1, rng);
    Layer dilH = Make(DT_FLOAT16, 6, 6, 8, 3, 1, 0, rng), dilW = Make(DT_FLOAT16, 6, 6, 8, 3, 1, 0, rng);
    Layer wide = Make(DT_FLOAT16, 2, 40000, 4, 1, 1, 0, rng);
    dilH.p.dilationRateH = 2;
    dilW.p.dilationRateW = 2;
    struct Case {
        Layer* l;
        const char* reason;
    } cases[] = {{&f32, "support only F16"},
                 {&six, "nChan not aligned by 4"},
                 {&dilH, "p->dilationRateH != 1"},
                 {&dilW, "p->dilationRateW != 1"},
                 {&wide, "can't split"}};
    for (Case& c : cases) {
        Tensor* inner[2] = {c.l->filter.get(), c.l->bias.get()};
        Kernel k({c.l->in.get()}, {c.l->out.get()}, &c.l->p);
        k.k.inner = inner;
        k.k.innerNum = 2;
        EXPECT_STREQ(dwConvF16_opt(-1, 1, k.get()), c.reason);
        RunLayer(Execute_DWConvolution_opt, *c.l);
        TensorPtr opt(dm_test::CopyOf(c.l->out.get()));
        RunLayer(Execute_DWConvolution_ref, *c.l);
        EXPECT_TRUE(dm_test::SameElements(opt.get(), c.l->out.get())) << c.reason;
    }
}

TEST(DWConvolutionOptDeath, FatalChecks)
{
    std::mt19937 rng(2);
    auto fatal = [&](void (*change)(Layer&)) {
        Layer l = Make(DT_FLOAT16, 5, 5, 4, 3, 1, 1, rng);
        change(l);
        Tensor* inner[2] = {l.filter.get(), l.bias.get()};
        Kernel k({l.in.get()}, {l.out.get()}, &l.p);
        k.k.inner = inner;
        k.k.innerNum = 2;
        Execute_DWConvolution_opt(k.get());
    };
    corvus_test::ExpectFatal(
        "DWConvolution_opt",
        {{[&] { fatal([](Layer& l) { l.p.useBias = 0; }); }, "mmBias==NULL, expected not NULL value"},
         {[&] { fatal([](Layer& l) { l.filter->layout = DL_HWIO; }); }, "filter->layout == DL_MHWI: false, expected: true"},
         {[&] { fatal([](Layer& l) { l.p.kerSizeW = 2; }); },
          "filter->shape.dimension[2] == p->kerSizeW: false, expected: true"}});
}

}  // namespace
