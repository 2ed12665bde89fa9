// Unary math, Abs, PRelu, Clip and HardSigmoid kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LayersActivation.h"
#include "broadcast_util.h"

using namespace bcast_test;
using corvus_test::ExpectFatal;

namespace {

using Execute = void (*)(NNKernel*);
using Fn = float (*)(float);
struct UnaryCase {
    const char* name;
    Execute execute;
    Fn fn;
};
float ExpF(float x) { return expf(x); }
float NegF(float x) { return -x; }
float CeilF(float x) { return ceilf(x); }
float FloorF(float x) { return floorf(x); }
float SqrtF(float x) { return std::sqrt(x); }
float ErfF(float x) { return erff(x); }
const UnaryCase kUnary[] = {{"Exp", Execute_Exp_ref, ExpF},       {"Neg", Execute_Neg_ref, NegF},
                            {"Ceil", Execute_Ceil_ref, CeilF},    {"Floor", Execute_Floor_ref, FloorF},
                            {"Sqrt", Execute_Sqrt_ref, SqrtF},    {"Erf", Execute_Erf_fl32_ref, ErfF}};

}  // namespace

TEST(UnaryMath, FloatKernelsWalkStridedInputs)
{
    // Input padded in both outer dimensions; Neg needs a dense output, so all
    // outputs are dense.
    Owned in(DT_FLOAT32, {2, 3, 5}, {24, 8, 1}), out(DT_FLOAT32, {2, 3, 5});
    Rng rng(2);
    for (int i = 0; i < 48; ++i) in.as<float>()[i] = rng.uniform(3.0f);
    in.as<float>()[1] = -4.0f;  // sqrt of a negative is NaN
    for (const UnaryCase& c : kUnary) {
        KernelRecord k({in}, {out});
        c.execute(k.get());
        ForEachIndex({2, 3, 5}, [&](const Dims& i) {
            const float x = in.as<float>()[Offset(in, i)];
            const float y = out.as<float>()[Offset(out, i)];
            if (std::isnan(c.fn(x))) EXPECT_TRUE(std::isnan(y)) << c.name;
            else EXPECT_EQ(y, c.fn(x)) << c.name << " " << x;
        });
    }
}

TEST(UnaryMath, HalfInputsGiveFloatResultRoundedToHalf)
{
    Owned in(DT_FLOAT16, {4, 9}), out(DT_FLOAT16, {4, 9});
    Rng rng(8);
    for (int i = 0; i < 36; ++i) in.as<uint16_t>()[i] = Half(rng.uniform(9.0f));
    for (const UnaryCase& c : kUnary) {
        if (c.execute == Execute_Erf_fl32_ref) continue;  // float32 only
        KernelRecord k({in}, {out});
        c.execute(k.get());
        for (int i = 0; i < 36; ++i) {
            const uint16_t want = Half(c.fn(Float(in.as<uint16_t>()[i])));
            if (std::isnan(Float(want))) EXPECT_TRUE(std::isnan(Float(out.as<uint16_t>()[i])));
            else EXPECT_EQ(out.as<uint16_t>()[i], want) << c.name << " " << i;
        }
    }
    HardSigmoidParams hp = {0.3f, 0.4f};
    KernelRecord k({in}, {out}, &hp);
    Execute_HardSigmoid_ref(k.get());
    for (int i = 0; i < 36; ++i) {
        const float y = fmaf(0.3f, Float(in.as<uint16_t>()[i]), 0.4f);
        EXPECT_EQ(out.as<uint16_t>()[i], Half(y < 0 ? 0.0f : (y > 1 ? 1.0f : y)));
    }
}

TEST(UnaryMath, AbsClearsOnlyTheSignBit)
{
    Owned f(DT_FLOAT32, {2, 2}), fo(DT_FLOAT32, {2, 2});
    const uint32_t bits[] = {0x80000000u, 0xFFC00001u, Bits(-2.5f), Bits(3.0f)};
    memcpy(f.as<uint32_t>(), bits, 16);
    Abs_ref(fo, f);
    EXPECT_EQ(std::vector<uint32_t>(fo.as<uint32_t>(), fo.as<uint32_t>() + 4),
              (std::vector<uint32_t>{0u, 0x7FC00001u, Bits(2.5f), Bits(3.0f)}));
    Owned h(DT_FLOAT16, {3}, {2}), ho(DT_FLOAT16, {3});  // a strided half input
    const uint16_t hb[] = {0x8000, 0, 0xFE00, 0, 0xC100};
    memcpy(h.as<uint16_t>(), hb, sizeof(hb));
    Abs_ref(ho, h);
    EXPECT_EQ(std::vector<uint16_t>(ho.as<uint16_t>(), ho.as<uint16_t>() + 3), (std::vector<uint16_t>{0, 0x7E00, 0x4100}));
    Owned i(DT_INT32, {2, 2});
    ExpectFatal("UnaryMath_ref", {{[&] { Abs_ref(fo, ho); }, "Abs_ref error: input and output types is not equal"}});
    // The element type is looked up by the broadcast engine.
    ExpectFatal("Broadcast_ref", {{[&] { Abs_ref(i, i); }, "Abs_ref error: unsupported dType=2"}});
}

TEST(UnaryMath, PReluScalesNegativesPerChannel)
{
    Owned in(DT_FLOAT32, {2, 3}), slopes(DT_FLOAT32, {3}, DL_I), out(DT_FLOAT32, {2, 3});
    const float x[] = {-1.0f, -2.0f, 3.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), -4.0f};
    memcpy(in.as<float>(), x, sizeof(x));
    slopes.as<float>()[0] = 0.5f, slopes.as<float>()[1] = 0.25f, slopes.as<float>()[2] = -2.0f;
    KernelRecord k({in}, {out}, nullptr, {slopes});
    Execute_PRelu_ref(k.get());
    std::vector<uint32_t> got;
    for (int e = 0; e < 6; ++e) got.push_back(Bits(out.as<float>()[e]));
    EXPECT_EQ(got, (std::vector<uint32_t>{Bits(-0.5f), Bits(-0.5f), Bits(3.0f), 0x80000000u, Bits(x[4]), Bits(8.0f)}));

    // Half: the widened product is rounded to half; non-negatives are copied.
    Owned h(DT_FLOAT16, {1, 2}), hs(DT_FLOAT16, {2}, DL_I), ho(DT_FLOAT16, {1, 2});
    h.as<uint16_t>()[0] = Half(-1.1f), h.as<uint16_t>()[1] = 0x7E01;
    hs.as<uint16_t>()[0] = hs.as<uint16_t>()[1] = Half(0.3f);
    KernelRecord kh({h}, {ho}, nullptr, {hs});
    Execute_PRelu_ref(kh.get());
    EXPECT_EQ(ho.as<uint16_t>()[0], Half(Float(Half(0.3f)) * Float(Half(-1.1f))));
    EXPECT_EQ(ho.as<uint16_t>()[1], 0x7E01);

    Owned i(DT_INT32, {2, 3}), is(DT_INT32, {3});
    KernelRecord mixed({in}, {out}, nullptr, {hs}), ints({i}, {i}, nullptr, {is});
    ExpectFatal("UnaryMath_ref", {{[&] { Execute_PRelu_ref(mixed.get()); }, "Execute_PRelu_ref error: input and output types is not equal"},
                                  {[&] { Execute_PRelu_ref(ints.get()); }, "Execute_PRelu_ref error: output type is not in (float32, float16)"}});
}

TEST(UnaryMath, ClipBoundsNaNAndSignedZeros)
{
    Owned i(DT_INT32, {4}), io(DT_INT32, {4});
    const int32_t iv[] = {5, -7, 0, 1};
    memcpy(i.as<int32_t>(), iv, 16);
    ClipParams ip;
    ip.min.i32 = -1;
    ip.max.i32 = 1;
    Clip_ref(io, i, &ip);
    EXPECT_EQ(std::vector<int32_t>(io.as<int32_t>(), io.as<int32_t>() + 4), (std::vector<int32_t>{1, -1, 0, 1}));

    Owned f(DT_FLOAT32, {4}), fo(DT_FLOAT32, {4});
    const float fv[] = {std::numeric_limits<float>::quiet_NaN(), -0.0f, 0.0f, 9.0f};
    memcpy(f.as<float>(), fv, 16);
    ClipParams fp;
    fp.min.f32 = 0.0f;
    fp.max.f32 = 6.0f;
    Clip_ref(fo, f, &fp);
    // NaN takes the upper bound; max(+0, -0) prefers +0.
    EXPECT_TRUE(fo.as<float>()[0] == 6.0f && Bits(fo.as<float>()[1]) == 0u && fo.as<float>()[3] == 6.0f);
    fp.min.f32 = -1.0f;
    fp.max.f32 = -0.0f;
    Clip_ref(fo, f, &fp);
    EXPECT_EQ(Bits(fo.as<float>()[2]), 0x80000000u);  // min(-0, +0) prefers -0

    Owned h(DT_FLOAT16, {3}), ho(DT_FLOAT16, {3});
    h.as<uint16_t>()[0] = 0x7E00, h.as<uint16_t>()[1] = 0x7C00, h.as<uint16_t>()[2] = Half(0.2f);
    fp.min.f32 = 0.3f;
    fp.max.f32 = 1e5f;  // beyond the half range: narrowing overflows to infinity
    Clip_ref(ho, h, &fp);
    EXPECT_EQ(std::vector<uint16_t>(ho.as<uint16_t>(), ho.as<uint16_t>() + 3),
              (std::vector<uint16_t>{0x7C00, 0x7C00, Half(0.3f)}));

    Owned u(DT_UINT8, {4}), padded(DT_FLOAT32, {2, 2}, {3, 1});
    ExpectFatal("UnaryMath_ref", {{[&] { Clip_ref(u, u, &fp); }, "Clip: Unsupported data type"},
                                  {[&] { Clip_ref(fo, padded, &fp); },
                                   "Function Clip: input (2,2) and output (4) must be dense and of equal size"}});
}

TEST(UnaryMath, HardSigmoidClampsTheFusedLine)
{
    Owned in(DT_FLOAT32, {5}), out(DT_FLOAT32, {5});
    const float x[] = {-3.0f, 0.0f, 3.0f, 1.0f, std::numeric_limits<float>::quiet_NaN()};
    memcpy(in.as<float>(), x, sizeof(x));
    HardSigmoidParams p = {0.2f, 0.5f};
    KernelRecord k({in}, {out}, &p);
    Execute_HardSigmoid_ref(k.get());
    // NaN clamps to the upper bound.
    EXPECT_EQ(std::vector<float>(out.as<float>(), out.as<float>() + 5),
              (std::vector<float>{0.0f, 0.5f, 1.0f, fmaf(0.2f, 1.0f, 0.5f), 1.0f}));

    Owned h(DT_FLOAT16, {5}), i(DT_FLOAT32, {5, 1}), s(DT_FLOAT32, {4});
    KernelRecord types({in}, {h}, &p), dims({in}, {i}, &p), sizes({in}, {s}, &p), noParams({in}, {out});
    ExpectFatal("UnaryMath_ref",
                {{[&] { Execute_HardSigmoid_ref(types.get()); }, "Execute_HardSigmoid_ref: Data types of input and output are not the same"},
                 {[&] { Execute_HardSigmoid_ref(dims.get()); }, "Execute_HardSigmoid_ref: Dimensions number of input and output are not the same"},
                 {[&] { Execute_HardSigmoid_ref(sizes.get()); }, "Execute_HardSigmoid_ref: Datasizes of input and output are not the same"},
                 {[&] { Execute_HardSigmoid_ref(noParams.get()); }, "Execute_HardSigmoid_ref: Params pointer is NULL"}});
}

TEST(UnaryMath, TypeAndShapeFailures)
{
    Owned f(DT_FLOAT32, {4}), f2(DT_FLOAT32, {2, 2}), h(DT_FLOAT16, {4}), i(DT_INT32, {4}), padded(DT_FLOAT32, {2, 2}, {3, 1});
    KernelRecord ints({i}, {i});
    ExpectFatal("UnaryMath_ref",
                {{[&] { Exp_fl32(h, f); }, "func Exp: types of input and output           are not the same"},
                 {[&] { Execute_Exp_ref(ints.get()); }, "func Exp: type is not float32"},
                 {[&] { Exp_fl32(f2, f); }, "func Exp: ndim of input and output           are not the same"},
                 {[&] { Erf_fl32(h, h); }, "Function Erf: type is not float32"},
                 {[&] { Erf_fl32(f, h); }, "Function Erf: types of input and output           are not the same"},
                 {[&] { Ceil_fl32(f2, f); }, "Ceil_fl32: ndim of input and output           are not the same"},
                 {[&] { Execute_Ceil_ref(ints.get()); }, "Ceil_fl32: type is not float32"},
                 {[&] { Execute_Neg_ref(ints.get()); }, "Function Neg: type is not float32"},
                 {[&] { Neg_fl32(padded, f2); }, "Neg_fl32 does not support tensor's strides"},
                 {[&] { Execute_Sqrt_ref(ints.get()); }, "support only F16 or F32"}});
}
