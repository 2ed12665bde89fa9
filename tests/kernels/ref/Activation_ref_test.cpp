// The float32 activation kernel against each kind's element formula (bit for
// bit, vector body and scalar tail, dense and strided), softmax rows,
// expf_fast, the two half-precision tables and the refusals.
#include "LayersActivation.h"
#include "broadcast_util.h"
#include "conv_util.h"
#include "opt_util.h"

using namespace bcast_test;
using corvus_test::ExpectFatal;

namespace {

bool SameFloat(float a, float b) { return Bits(a) == Bits(b) || (std::isnan(a) && std::isnan(b)); }

float Formula(uint32_t kind, float x, float alpha)
{
    switch (kind) {
    case Tanh:
        return (float)(2.0 / (double)(expf(-2.0f * x) + 1.0f) - 1.0);
    case Sigmoid:
        return x > 16.11f ? 1.0f : x < -16.11f ? 0.0f : (float)(1.0 / ((double)expf(-x) + 1.0));
    case XmulSigmX:  // two blocks and a tail, under the denominators' lookahead
        return x == -INFINITY ? -0.0f : (float)(x / (std::exp(-(double)x) + 1.0));
    case Log:
        return logf(x);
    case None:
    case Linear:
        return x;
    default:
        return conv_test::Activate(x, kind, alpha);
    }
}

}  // namespace

TEST(ActivationKernel, EveryKindIsItsElementFormula)
{
    // 37 values: four vectors of 8 and a tail, specials in both parts.
    Rng rng(5);
    std::vector<float> x(37);
    for (float& v : x) v = rng.uniform(10.0f);
    const float special[] = {-0.0f, NAN, -NAN, 6.0f, 6.25f, 16.2f, -16.2f, 0.37f, INFINITY, -INFINITY};
    for (int k = 0; k < 10; ++k) x[3 * k % 32] = x[36 - k % 5] = special[k];
    x[36] = 6.25f;  // above 6 in the tail, below any looser bound
    Owned in(DT_FLOAT32, {37}), out(DT_FLOAT32, {37});
    Owned padded(DT_FLOAT32, {2, 2, 1, 37}, {80, 40, 40, 1}), pout(DT_FLOAT32, {2, 2, 1, 37});
    memcpy(in.as<float>(), x.data(), sizeof(float) * 37);
    for (int k = 0; k < 160; ++k) padded.as<float>()[k] = x[k % 40 % 37];
    for (uint32_t kind : {ReLU, ReLU6, LeakyReLU, Tanh, Sigmoid, Log, None, Linear, XmulSigmX}) {
        const ActivationParams p = {kind, 0.125f};
        Activation_fl32_ref(out, in, &p);
        Activation_fl32_ref(pout, padded, &p);
        for (int i = 0; i < 37; ++i) {
            EXPECT_PRED2(SameFloat, out.as<float>()[i], Formula(kind, x[i], 0.125f))
                << "kind " << kind << " x " << x[i];
            // Strided tensors take the fast exponential for Sigmoid.
            for (int r = 0; r < 4; ++r) {
                const float got = pout.as<float>()[r * 37 + i], want = out.as<float>()[i];
                EXPECT_TRUE(SameFloat(got, want) || (kind == Sigmoid && std::fabs(got - want) <= 6e-3f))
                    << kind << " " << x[i];
            }
        }
    }
}

TEST(ActivationKernel, ExpfFastAndSoftmaxRows)
{
    EXPECT_EQ(expf_fast(0.0f), 1.0f);
    float prev = 0.0f;
    for (float x = -16.11f; x <= 16.11f; x += 0.01f) {
        EXPECT_NEAR(expf_fast(x) / std::exp((double)x), 1.0, 0.025) << x;
        EXPECT_GE(expf_fast(x), prev) << x;
        prev = expf_fast(x);
    }
    // Far outside its range the conversions saturate (the sanitizers watch).
    for (float x : {1e30f, -1e30f, NAN}) (void)expf_fast(x);

    // Rows of a padded (2,3,7) tensor, in place: exponentials of the
    // differences to the row's maximum (0 at 16.11 below it), summed in
    // order, times the sum's reciprocal. The padding stays.
    Owned x(DT_FLOAT32, {2, 3, 7}, {32, 8, 1});
    Rng rng(21);
    for (int i = 0; i < 64; ++i) x.as<float>()[i] = rng.uniform(i % 3 ? 6.0f : 20.0f);
    const std::vector<float> orig(x.as<float>(), x.as<float>() + 64);
    const ActivationParams p = {Softmax, 0.0f};
    Activation_fl32_ref(x, x, &p);
    for (int row = 0; row < 8; row += row % 4 == 2 ? 2 : 1) {
        const float* v = orig.data() + row * 8;
        float m = v[0], s = 0.0f, t[7];
        for (int i = 1; i < 7; ++i) m = v[i] > m ? v[i] : m;
        for (int i = 0; i < 7; ++i) s += t[i] = (double)(v[i] - m) <= -16.11 ? 0.0f : expf_fast(v[i] - m);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(Bits(x.as<float>()[row * 8 + i]), Bits(1.0f / s * t[i])) << row;
        EXPECT_EQ(x.as<float>()[row * 8 + 7], orig[row * 8 + 7]);
    }
}

TEST(HalfTables, EveryEntryIsTheRoundedFunctionAndFloatTakesTheExactOne)
{
    const uint16_t* sig = Activation_table_Sigmoid;
    const uint16_t* xsig = Activation_table_XsigmX;
    EXPECT_EQ((std::vector<uint16_t>{sig[0x7C00], xsig[0x7C00], sig[0xFC00], xsig[0xFC00]}),
              (std::vector<uint16_t>{0x3C00, 0x7C00, 0, 0x8000}));
    EXPECT_TRUE(std::isnan(Float(sig[0x7E01])) && std::isnan(Float(xsig[0xFE00])));
    // The half nearest the long double value, ties to the even pattern
    // (rounding through float32 alone can land on the wrong side of a tie).
    auto nearest = [](long double v) {
        uint16_t best = Half((float)v);
        for (int n : {best - 1, best + 1})
            if ((n & 0x8000) == (best & 0x8000) && std::isfinite(Float((uint16_t)n))) {
                const long double d = std::fabs(Float((uint16_t)n) - v), bd = std::fabs(Float(best) - v);
                if (d < bd || (d == bd && (n & 1) == 0)) best = (uint16_t)n;
            }
        return best;
    };
    for (uint32_t h = 0; h < 0x10000; ++h) {
        const float x = Float((uint16_t)h);
        if (!std::isfinite(x)) continue;
        const long double e = std::exp(-(long double)x);
        ASSERT_EQ(sig[h], nearest(1.0L / (1.0L + e))) << std::hex << h;
        ASSERT_EQ(xsig[h], nearest((long double)x / (1.0L + e))) << std::hex << h;
    }

    // Float32 in place, in bulk: specials, subnormal and huge inputs, runs of floats across the range;
    // every bit against the double formula (about one lane in 8000 lies near a midpoint between floats).
    std::vector<float> xs = {NAN,    -NAN,      INFINITY,   -INFINITY, 0.0f,    -0.0f, 1e-30f, -1e-40f,  80.0f,
                             -80.0f, 80.00001f, -80.00001f, 88.7f,     -104.0f, 1e30f, -1e30f, 0x1p-60f, -0x1p-61f};
    // Inputs whose vector double lands on the other side of a midpoint
    // than the scalar formula's: only the guard band sends them to it.
    for (float x : {-0x1.125bbcp+4f, -0x1.3b1208p+3f, -0x1.0eab4p-1f,  -0x1.cc1b58p+3f, -0x1.a29382p+3f,
                    -0x1.7461d8p+0f, -0x1.6fd64p-2f,  -0x1.7f2e6p+2f,  -0x1.f3d7cep+2f, -0x1.29433cp+4f,
                    -0x1.587f4ap+2f, -0x1.210756p+4f, -0x1.946bccp+2f, -0x1.e722b8p+0f, -0x1.243ad4p+4f,
                    -0x1.77aa82p+3f, -0x1.2324p+4f,   -0x1.46f266p+2f, -0x1.31a628p+4f, -0x1.df1d1p+3f})
        xs.push_back(x);
    for (float start : {-85.0f, -9.5f, -0.8f, 1e-7f, 0.3f, 2.0f, 17.0f, 79.999f})
        for (uint32_t k = 0; k < 30011; ++k) xs.push_back(FromBits(Bits(start) + k * 29));
    Owned bulk(DT_FLOAT32, {(uint32_t)xs.size()});
    for (bool times : {false, true}) {
        memcpy(bulk.as<float>(), xs.data(), xs.size() * 4);
        ActivationByTable_ref(bulk, bulk, times ? Activation_table_XsigmX : Activation_table_Sigmoid);
        for (size_t i = 0; i < xs.size(); ++i) {
            const double x = xs[i];
            const float want = times && x == -INFINITY ? -0.0f : (float)((times ? x : 1.0) / (std::exp(-x) + 1.0));
            ASSERT_PRED2(SameFloat, want, bulk.as<float>()[i]) << (times ? "x sigmoid(x) of " : "sigmoid of ") << xs[i];
        }
    }
}

TEST(ActivationKernel, Refusals)
{
    Owned a(DT_FLOAT32, {2, 2}), h(DT_FLOAT16, {2, 2}), in5(DT_FLOAT32, {1, 1, 1, 2, 2}, {8, 8, 8, 4, 1});
    Owned out5(DT_FLOAT32, {1, 1, 1, 2, 2});
    const ActivationParams relu = {ReLU, 0}, elu = {eLU, 0}, big = {99, 0}, sig = {Sigmoid, 0};
    opt_test::Kernel half({h}, {h}, (void*)&relu);
    ExpectFatal("Activation_ref",
                {
                    {[&] { Execute_Activation(half.get()); }, "Cannot determine activation function"},
                    {[&] { Activation_fl32_ref(a, a, &elu); }, "deprecated implementation"},
                    {[&] { Activation_fl32_ref(a, a, &big); }, "Unsupported activation layer 99 for float32"},
                    {[&] { Activation_fl32_ref(out5, in5, &sig); },
                     "Sigmoid: strided tensors of more than 4 dimensions are not supported"},
                });
}
