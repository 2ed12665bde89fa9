// Unary math, Abs, PRelu, Clip and HardSigmoid kernels (their half
// precision is in HalfPrecision_ref_test).
#include "LayersActivation.h"
#include "broadcast_util.h"
#include "opt_util.h"

using namespace bcast_test;

TEST(UnaryMath, FloatKernelsWalkStridedInputs)
{
    const struct {
        void (*execute)(NNKernel*);
        float (*fn)(float);
    } kinds[] = {{Execute_Exp_ref, expf},   {Execute_Neg_ref, [](float x) { return -x; }},
                 {Execute_Ceil_ref, ceilf}, {Execute_Floor_ref, floorf},
                 {Execute_Sqrt_ref, sqrtf}, {Execute_Erf_fl32_ref, erff}};
    Owned in(DT_FLOAT32, {2, 3, 5}, {24, 8, 1}), out(DT_FLOAT32, {2, 3, 5});
    Rng rng(2);
    for (int i = 0; i < 48; ++i) in.as<float>()[i] = rng.uniform(3.0f);
    in.as<float>()[1] = -4.0f;  // sqrt of a negative is NaN
    for (const auto& k : kinds) {
        k.execute(opt_test::Kernel({in}, {out}).get());
        ForEachIndex({2, 3, 5}, [&](const Dims& i) {
            const float x = in.as<float>()[Offset(in, i)], y = out.as<float>()[Offset(out, i)];
            EXPECT_TRUE(Bits(y) == Bits(k.fn(x)) || (std::isnan(y) && std::isnan(k.fn(x)))) << x << " -> " << y;
        });
    }
}

TEST(UnaryMath, SignsNaNAndBounds)
{
    // Abs clears only the sign bit, also of a strided half input.
    Owned f(DT_FLOAT32, {4}), fo(DT_FLOAT32, {4}), h(DT_FLOAT16, {3}, {2}), ho(DT_FLOAT16, {3});
    Put<uint32_t>(f, {0x80000000u, 0xFFC00001u, Bits(-2.5f), Bits(3.0f)});
    Put<uint16_t>(h, {0x8000, 0, 0xFE00, 0, 0xC100});
    Abs_ref(fo, f);
    Abs_ref(ho, h);
    EXPECT_EQ(Get<uint32_t>(fo), (std::vector<uint32_t>{0u, 0x7FC00001u, Bits(2.5f), Bits(3.0f)}));
    EXPECT_EQ(Get<uint16_t>(ho), (std::vector<uint16_t>{0, 0x7E00, 0x4100}));

    // PRelu scales negatives per channel; -0 stays -0 and NaN passes.
    Owned in(DT_FLOAT32, {2, 3}), slopes(DT_FLOAT32, {3}, DL_I), out(DT_FLOAT32, {2, 3});
    Put<float>(in, {-1.0f, -2.0f, 3.0f, -0.0f, NAN, -4.0f});
    Put<float>(slopes, {0.5f, 0.25f, -2.0f});
    Execute_PRelu_ref(opt_test::Kernel({in}, {out}, nullptr, {slopes}).get());
    EXPECT_EQ(Get<uint32_t>(out),
              (std::vector<uint32_t>{Bits(-0.5f), Bits(-0.5f), Bits(3.0f), 0x80000000u, Bits(NAN), Bits(8.0f)}));

    // Clip: NaN takes the upper bound, max(+0, -0) is +0, min(-0, +0) is -0;
    // a bound beyond the half range narrows to infinity.
    Owned i(DT_INT32, {4}), io(DT_INT32, {4});
    Put<int32_t>(i, {5, -7, 0, 1});
    ClipParams ip, fp;
    ip.min.i32 = -1, ip.max.i32 = 1;
    Clip_ref(io, i, &ip);
    EXPECT_EQ(Get<int32_t>(io), (std::vector<int32_t>{1, -1, 0, 1}));
    Put<float>(f, {NAN, -0.0f, 0.0f, 9.0f});
    fp.min.f32 = 0.0f, fp.max.f32 = 6.0f;
    Clip_ref(fo, f, &fp);
    EXPECT_EQ(Get<uint32_t>(fo), (std::vector<uint32_t>{Bits(6.0f), 0u, 0u, Bits(6.0f)}));
    fp.min.f32 = -1.0f, fp.max.f32 = -0.0f;
    Clip_ref(fo, f, &fp);
    EXPECT_EQ(Bits(fo.as<float>()[2]), 0x80000000u);
    Owned hc(DT_FLOAT16, {3}), hco(DT_FLOAT16, {3});
    Put<uint16_t>(hc, {0x7E00, 0x7C00, Half(0.2f)});
    fp.min.f32 = 0.3f, fp.max.f32 = 1e5f;
    Clip_ref(hco, hc, &fp);
    EXPECT_EQ(Get<uint16_t>(hco), (std::vector<uint16_t>{0x7C00, 0x7C00, Half(0.3f)}));

    // HardSigmoid clamps the fused line alpha x + beta to [0, 1]; NaN gives 1.
    // Eight vector lanes and a tail; the fusion shows on the random lanes.
    const std::vector<float> xs = {-3.0f, 0.0f, 3.0f, 1.0f,  NAN,   INFINITY, -INFINITY, 0.7f, 2.4999f,
                                   -2.5f, NAN,  1.3f, -0.1f, 0.11f, -1.9f,    0.37f,     1.1f};
    Owned hs(DT_FLOAT32, {17}), hso(DT_FLOAT32, {17});
    memcpy(hs.as<float>(), xs.data(), xs.size() * sizeof(float));
    HardSigmoidParams p = {0.2f, 0.5f};
    Execute_HardSigmoid_ref(opt_test::Kernel({hs}, {hso}, &p).get());
    const std::vector<float> got = Get<float>(hso);
    EXPECT_EQ(std::vector<float>(got.begin(), got.begin() + 5), (std::vector<float>{0.0f, 0.5f, 1.0f, 0.7f, 1.0f}));
    for (size_t i = 0; i < xs.size(); ++i)
        EXPECT_EQ(Bits(got[i]), Bits((float)std::fmax(0.0, std::fmin(1.0, (double)fmaf(0.2f, xs[i], 0.5f))))) << xs[i];
}
