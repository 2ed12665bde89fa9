// The float32 activation kernel, the dispatcher, expf_fast and the two
// half-precision tables.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LayersActivation.h"
#include "broadcast_util.h"
#include "nn_kernel_list.h"

using namespace bcast_test;
using corvus_test::ExpectFatal;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> Apply(uint32_t type, const std::vector<float>& x, float alpha = 0.0f)
{
    Owned in(DT_FLOAT32, {(uint32_t)x.size()}), out(DT_FLOAT32, {(uint32_t)x.size()});
    memcpy(in.as<float>(), x.data(), x.size() * 4);
    const ActivationParams p = {type, alpha};
    Activation_fl32_ref(out, in, &p);
    return std::vector<float>(out.as<float>(), out.as<float>() + x.size());
}

double Logistic(double x) { return 1.0 / (1.0 + std::exp(-x)); }

// The half nearest to v (ties to the even pattern), chosen among the
// neighbours of the float32 rounding by distance in long double; rounding
// through float32 alone can land on the wrong side of a tie.
uint16_t NearestHalf(long double v)
{
    const uint16_t c = Half((float)v);
    uint16_t best = c;
    long double dist = std::fabs((long double)Float(c) - v);
    for (int d : {-1, 1}) {
        const int n = (int)c + d;
        if (n < 0 || n > 0xFFFF || (n & 0x8000) != (c & 0x8000) || !std::isfinite(Float((uint16_t)n))) continue;
        const long double nd = std::fabs((long double)Float((uint16_t)n) - v);
        if (nd < dist || (nd == dist && (n & 1) == 0)) {
            best = (uint16_t)n;
            dist = nd;
        }
    }
    return best;
}

}  // namespace

TEST(ActivationKernel, RectifiersKeepNegativeZeroAndNaN)
{
    auto bits = [](const std::vector<float>& v) {
        std::vector<uint32_t> b;
        for (float f : v) b.push_back(Bits(f));
        return b;
    };
    // Negative inputs become -0 (x * 0); NaN stays NaN.
    EXPECT_EQ(bits(Apply(ReLU, {-3.0f, 2.5f, kNaN, -0.0f})), (std::vector<uint32_t>{0x80000000u, Bits(2.5f), Bits(kNaN), 0x80000000u}));
    EXPECT_EQ(bits(Apply(ReLU6, {7.5f, -1.0f, 6.0f, kNaN})), (std::vector<uint32_t>{Bits(6.0f), 0x80000000u, Bits(6.0f), Bits(kNaN)}));
    EXPECT_EQ(Apply(LeakyReLU, {-2.0f, 3.0f}, 0.1f), (std::vector<float>{-2.0f * 0.1f, 3.0f}));

    // Every element of a six-dimensional, padded tensor is visited.
    Owned in(DT_FLOAT32, {2, 1, 2, 1, 2, 3}, {32, 16, 8, 8, 4, 1}), out(DT_FLOAT32, {2, 1, 2, 1, 2, 3});
    for (uint32_t i = 0; i < 64; ++i) in.as<float>()[i] = -1.0f - (float)i;
    const ActivationParams p = {ReLU6, 0.0f};
    Activation_fl32_ref(out, in, &p);
    for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(Bits(out.as<float>()[i]), 0x80000000u) << i;
}

TEST(ActivationKernel, TanhAndSigmoid)
{
    std::vector<float> x;
    for (float v = -20.0f; v <= 20.0f; v += 0.37f) x.push_back(v);
    const std::vector<float> t = Apply(Tanh, x);
    const std::vector<float> s = Apply(Sigmoid, x);
    for (size_t i = 0; i < x.size(); ++i) {
        EXPECT_NEAR(t[i], std::tanh((double)x[i]), 2e-7) << x[i];
        EXPECT_NEAR(s[i], Logistic(x[i]), 1e-7) << x[i];
    }
    const std::vector<float> edges = Apply(Sigmoid, {16.2f, -16.2f, 0.0f, 16.0f});
    EXPECT_TRUE(edges[0] == 1.0f && Bits(edges[1]) == 0u && edges[2] == 0.5f && edges[3] < 1.0f);

    // Strided tensors take the fast exponential; five dimensions are refused there.
    Owned in(DT_FLOAT32, {3, 4}, {8, 1}), out(DT_FLOAT32, {3, 4});
    for (uint32_t i = 0; i < 24; ++i) in.as<float>()[i] = -12.0f + (float)i;
    const ActivationParams p = {Sigmoid, 0.0f};
    Activation_fl32_ref(out, in, &p);
    ForEachIndex({3, 4}, [&](const Dims& i) {
        EXPECT_NEAR(out.as<float>()[i[0] * 4 + i[1]], Logistic(in.as<float>()[i[0] * 8 + i[1]]), 6e-3);
    });
    Owned in5(DT_FLOAT32, {1, 1, 1, 2, 2}, {8, 8, 8, 4, 1}), out5(DT_FLOAT32, {1, 1, 1, 2, 2});
    ExpectFatal("Activation_ref", {{[&] { Activation_fl32_ref(out5, in5, &p); },
                                    "Sigmoid: strided tensors of more than 4 dimensions are not supported"}});
}

TEST(ActivationKernel, ExpfFastApproximatesExp)
{
    EXPECT_EQ(expf_fast(0.0f), 1.0f);
    float prev = 0.0f;
    for (float x = -16.11f; x <= 16.11f; x += 0.01f) {
        const float y = expf_fast(x);
        EXPECT_NEAR(y / std::exp((double)x), 1.0, 0.025) << x;
        EXPECT_GE(y, prev) << x;
        prev = y;
    }
    // Far outside its range the integer conversions saturate instead of
    // being undefined (the sanitizer build would stop here otherwise).
    (void)expf_fast(1e30f);
    (void)expf_fast(-1e30f);
    (void)expf_fast(std::numeric_limits<float>::quiet_NaN());
}

TEST(ActivationKernel, SoftmaxAlongLastDimension)
{
    // Equal elements give 1/n; elements more than 16.11 below the maximum give 0.
    Owned eq(DT_FLOAT32, {2, 5}, DL_NC), eo(DT_FLOAT32, {2, 5}, DL_NC);
    for (int i = 0; i < 10; ++i) eq.as<float>()[i] = i < 5 ? 3.0f : -1.0f;
    const ActivationParams p = {Softmax, 0.0f};
    Activation_fl32_ref(eo, eq, &p);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(eo.as<float>()[i], 1.0f / 5.0f);
    Owned in(DT_FLOAT32, {1, 3}, DL_NC), out(DT_FLOAT32, {1, 3}, DL_NC);
    in.as<float>()[1] = -16.2f, in.as<float>()[2] = -16.0f;
    Activation_fl32_ref(out, in, &p);
    EXPECT_TRUE(Bits(out.as<float>()[1]) == 0u && out.as<float>()[2] > 0.0f);

    // Against the exact softmax, on rows of a padded (2,3,7) tensor, in place.
    Rng rng(21);
    Owned x(DT_FLOAT32, {2, 3, 7}, {32, 8, 1});
    for (int i = 0; i < 64; ++i) x.as<float>()[i] = rng.uniform(6.0f);
    std::vector<float> orig(x.as<float>(), x.as<float>() + 64);
    Activation_fl32_ref(x, x, &p);
    for (int b = 0; b < 2; ++b)
        for (int r = 0; r < 3; ++r) {
            const float* row = orig.data() + b * 32 + r * 8;
            double m = row[0], sum = 0, outSum = 0;
            for (int i = 1; i < 7; ++i) m = std::max(m, (double)row[i]);
            for (int i = 0; i < 7; ++i) sum += std::exp(row[i] - m);
            for (int i = 0; i < 7; ++i) {
                const float got = x.as<float>()[b * 32 + r * 8 + i];
                EXPECT_NEAR(got / (std::exp(row[i] - m) / sum), 1.0, 0.05);
                outSum += got;
            }
            EXPECT_NEAR(outSum, 1.0, 1e-5);
        }
    for (int i = 7; i < 64; i += 8) EXPECT_EQ(x.as<float>()[i], orig[i]) << "padding changed";

    Owned v(DT_FLOAT32, {4}), nchw(DT_FLOAT32, {1, 2, 2, 2}, DL_NCHW);
    ExpectFatal("Activation_ref",
                {{[&] { Activation_fl32_ref(v, v, &p); }, "Unexpected ndim value"},
                 {[&] { Activation_fl32_ref(nchw, nchw, &p); },
                  "in->layout == DL_NHWC || in->layout == DL_NC || in->layout == DL_NONE: false, expected: true"}});
}

TEST(HalfTables, ZeroInfinityNaNRowsAndRoundedValues)
{
    const uint16_t* sig = Activation_table_Sigmoid;
    const uint16_t* xs = Activation_table_XsigmX;
    // 0, +infinity, -infinity, and x sigm(x) at 1.
    EXPECT_EQ((std::vector<uint16_t>{sig[0], xs[0], sig[0x7C00], xs[0x7C00], sig[0xFC00], xs[0xFC00], xs[0x3C00]}),
              (std::vector<uint16_t>{0x3800, 0, 0x3C00, 0x7C00, 0, 0x8000, 0x39D9}));
    EXPECT_TRUE(std::isnan(Float(sig[0x7E01])) && std::isnan(Float(xs[0xFE00])));

    // Every finite entry is the function, computed in long double, rounded
    // to the nearest half.
    for (uint32_t h = 0; h < 0x10000; ++h) {
        const float x = Float((uint16_t)h);
        if (!std::isfinite(x)) continue;
        const long double e = std::exp(-(long double)x);
        ASSERT_EQ(sig[h], NearestHalf(1.0L / (1.0L + e))) << std::hex << h;
        ASSERT_EQ(xs[h], NearestHalf((long double)x / (1.0L + e))) << std::hex << h;
    }
}

TEST(HalfTables, LookupForHalfExactFunctionForFloat)
{
    Rng rng(4);
    Owned h(DT_FLOAT16, {2, 50}), ho(DT_FLOAT16, {2, 50}), f(DT_FLOAT32, {2, 50}), fo(DT_FLOAT32, {2, 50});
    for (int i = 0; i < 100; ++i) f.as<float>()[i] = Float(h.as<uint16_t>()[i] = Half(rng.uniform(12.0f)));
    for (const uint16_t* table : {Activation_table_Sigmoid, Activation_table_XsigmX}) {
        ActivationByTable_ref(ho, h, table);
        ActivationByTable_ref(fo, f, table);
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(ho.as<uint16_t>()[i], table[h.as<uint16_t>()[i]]);
            EXPECT_LE(std::abs((int)Half(fo.as<float>()[i]) - (int)ho.as<uint16_t>()[i]), 1);
        }
    }
    // XmulSigmX through the activation kernel, for half and float.
    const ActivationParams p = {XmulSigmX, 0.0f};
    Activation_fl32_ref(ho, h, &p);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(ho.as<uint16_t>()[i], Activation_table_XsigmX[h.as<uint16_t>()[i]]);
    Activation_fl32_ref(fo, f, &p);
    for (int i = 0; i < 100; ++i) {
        const double x = f.as<float>()[i];
        EXPECT_EQ(fo.as<float>()[i], (float)(x / (std::exp(-x) + 1.0)));
    }
    // Dense float32 data in bulk, in place: runs of consecutive floats across
    // the range, with specials, tiny, subnormal and huge inputs among them;
    // every bit against the double formula. About one result in 20000 lies
    // near a midpoint between floats, so these runs meet several.
    std::vector<float> xs = {kNaN, -kNaN, INFINITY, -INFINITY, 0.0f, -0.0f, 1e-30f, -1e-40f, 80.0f, -80.0f,
                             80.00001f, -80.00001f, 88.7f, -104.0f, 1e30f, -1e30f, 0x1p-60f, -0x1p-61f};
    for (float start : {-85.0f, -9.5f, -0.8f, 1e-7f, 0.3f, 2.0f, 17.0f, 79.999f})
        for (uint32_t k = 0; k < 30011; ++k) xs.push_back(FromBits(Bits(start) + k * 29));
    Owned bulk(DT_FLOAT32, {(uint32_t)xs.size()});
    for (bool times : {false, true}) {
        memcpy(bulk.as<float>(), xs.data(), xs.size() * 4);
        ActivationByTable_ref(bulk, bulk, times ? Activation_table_XsigmX : Activation_table_Sigmoid);
        for (size_t i = 0; i < xs.size(); ++i) {
            const double x = xs[i];
            const float want = times && x == -INFINITY ? -0.0f : (float)((times ? x : 1.0) / (std::exp(-x) + 1.0));
            ASSERT_EQ(Bits(want), Bits(bulk.as<float>()[i])) << (times ? "x sigmoid(x) of " : "sigmoid of ") << xs[i];
        }
    }
    Owned i8(DT_INT8, {2, 50}), f1(DT_FLOAT32, {100});
    uint16_t other[1] = {0};
    ExpectFatal("Activation_ref",
                {{[&] { ActivationByTable_ref(fo, h, Activation_table_Sigmoid); }, "dst->dtype == src->dtype: false, expected: true"},
                 {[&] { ActivationByTable_ref(i8, i8, Activation_table_Sigmoid); },
                  "dst->dtype == DT_FLOAT16 || dst->dtype == DT_FLOAT32: false, expected: true"},
                 {[&] { ActivationByTable_ref(f1, f, Activation_table_Sigmoid); }, "dst->ndim == src->ndim: false, expected: true"}});
    EXPECT_EXIT(ActivationByTable_ref(fo, f, other), ::testing::ExitedWithCode(1),
                "Unknow table 0x[0-9a-f]+ for ActivationByTable_ref\\. File Activation_ref");
}

TEST(ActivationKernel, PassThroughKindsAndRefusals)
{
    Owned a(DT_FLOAT32, {2, 2}), b(DT_FLOAT32, {2, 2}), h(DT_FLOAT16, {2, 2}), i(DT_INT32, {2, 2});
    for (int k = 0; k < 4; ++k) a.as<float>()[k] = -1.5f * (float)k;
    const ActivationParams none = {None, 0}, linear = {Linear, 0};
    Activation_fl32_ref(a, a, &none);
    EXPECT_EQ(a.as<float>()[3], -4.5f);
    Activation_fl32_ref(b, a, &linear);
    EXPECT_EQ(memcmp(a.t->data, b.t->data, 16), 0);
    Owned s0(DT_FLOAT32, {}), s1(DT_FLOAT32, {});  // scalars copy too
    s0.as<float>()[0] = 2.5f;
    Activation_fl32_ref(s1, s0, &linear);
    EXPECT_EQ(s1.as<float>()[0], 2.5f);

    // Log, in float32 and through float32 temporaries for half.
    for (int k = 0; k < 4; ++k) a.as<float>()[k] = 0.5f + (float)k;
    for (int k = 0; k < 4; ++k) h.as<uint16_t>()[k] = Half(0.3f + 2.0f * (float)k);
    Owned ho(DT_FLOAT16, {2, 2});
    const ActivationParams log = {Log, 0};
    Activation_fl32_ref(b, a, &log);
    Activation_fl32_ref(ho, h, &log);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(b.as<float>()[k], logf(a.as<float>()[k]));
        EXPECT_EQ(ho.as<uint16_t>()[k], Half(logf(Float(h.as<uint16_t>()[k]))));
    }

    // The dispatcher runs the float32 kernel and refuses other types.
    const ActivationParams relu = {ReLU, 0};
    KernelRecord k({a}, {b}, (void*)&relu);
    a.as<float>()[0] = -2.0f;
    Execute_Activation(k.get());
    EXPECT_EQ(Bits(b.as<float>()[0]), 0x80000000u);
    EXPECT_EQ(nn_kernel_fn_list_default[OP_Activation]->execute, Execute_Activation);
    KernelRecord kh({h}, {ho}, (void*)&relu);
    ActivationParams elu = {eLU, 0}, big = {99, 0};
    ExpectFatal("Activation_ref", {{[&] { Execute_Activation(kh.get()); }, "Cannot determine activation function"},
                                   {[&] { Activation_fl32_ref(b, a, &elu); }, "deprecated implementation"},
                                   {[&] { Activation_fl32_ref(b, a, &big); }, "Unsupported activation layer 99 for float32"},
                                   {[&] { Activation_fl32_ref(h, a, &relu); }, "out and in tensors have different dtype"},
                                   {[&] { Activation_fl32_ref(i, i, &relu); }, "Unsupported data type int32 for activation ReLU"}});
}
