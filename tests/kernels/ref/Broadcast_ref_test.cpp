// Broadcast engine, arithmetic with fused clamps, Pow, Mod, comparisons,
// logic and Where, against naive index-by-index versions. Operand order and
// ElementWise are covered through hand-built models (tests/src).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "broadcast_util.h"

using namespace bcast_test;
using corvus_test::ExpectFatal;

namespace {

using Op = float (*)(float, float);
float AddOp(float a, float b) { return a + b; }
float SubOp(float a, float b) { return a - b; }
float MulOp(float a, float b) { return a * b; }
float DivOp(float a, float b) { return a / b; }

using Kernel = void (*)(Tensor*, const Tensor*, const Tensor*, const BroadcastParams*);
struct ArithCase {
    const char* name;
    Kernel kernel;
    Op op;
};
const ArithCase kArith[] = {{"Add", AddBroadcast_ref, AddOp},
                            {"Sub", SubBroadcast_ref, SubOp},
                            {"Mul", MulBroadcast_ref, MulOp},
                            {"Div", DivBroadcast_ref, DivOp}};

void Fill(const Owned& t, Rng& rng, float range = 4.0f)
{
    ForEachIndex(DimsOf(t.t), [&](const Dims& i) { t.as<float>()[Offset(t.t, i)] = rng.uniform(range) + 0.125f; });
}

// out must equal op(in1, in2) at every index, bit for bit.
void ExpectNaive(const Tensor* out, const Tensor* in1, const Tensor* in2, Op op)
{
    int bad = 0;
    ForEachIndex(DimsOf(out), [&](const Dims& i) {
        const float a = ((const float*)in1->data)[BroadcastOffset(in1, i)];
        const float b = ((const float*)in2->data)[BroadcastOffset(in2, i)];
        const float got = ((const float*)out->data)[Offset(out, i)];
        if (Bits(got) != Bits(op(a, b)) && bad++ < 3) ADD_FAILURE() << "at flat index mismatch " << got;
    });
    EXPECT_EQ(bad, 0);
}

}  // namespace

TEST(BroadcastEngine, EveryShapePairingUpToSixDimsMatchesNaive)
{
    Rng rng(7);
    size_t cases = 0;
    for (const auto& pr : AllPairings(6)) {
        const ArithCase& c = kArith[cases++ % 4];
        Owned a(DT_FLOAT32, pr.first), b(DT_FLOAT32, pr.second);
        Owned out(DT_FLOAT32, BroadcastDims(pr.first, pr.second));
        Fill(a, rng);
        Fill(b, rng);
        c.kernel(out, a, b, nullptr);
        SCOPED_TRACE(c.name);
        ExpectNaive(out, a, b, c.op);
        if (HasFailure()) break;
    }
    EXPECT_EQ(cases, 16129u);
}

TEST(BroadcastEngine, PaddedStridesOfInputsAndOutputAreHonoured)
{
    Rng rng(11);
    // (2,3,4) + (3,1) with every tensor padded at some dimension; the
    // padding of the output must stay untouched.
    Owned a(DT_FLOAT32, {2, 3, 4}, {40, 8, 1});
    Owned b(DT_FLOAT32, {3, 1}, {2, 1});
    Owned out(DT_FLOAT32, {2, 3, 4}, {15, 5, 1});
    Fill(a, rng);
    Fill(b, rng);
    const float sentinel = 1234.5f;
    for (uint32_t i = 0; i < 30; ++i) out.as<float>()[i] = sentinel;
    for (const ArithCase& c : kArith) {
        c.kernel(out, a, b, nullptr);
        ExpectNaive(out, a, b, c.op);
    }
    for (uint32_t i = 4; i < 30; i += 5) EXPECT_EQ(out.as<float>()[i], sentinel) << i;

    // An input whose innermost dimension is not contiguous: runs of one element.
    Owned c(DT_FLOAT32, {3, 4}, {8, 2});
    Owned d(DT_FLOAT32, {4});
    Owned o2(DT_FLOAT32, {3, 4});
    Fill(c, rng);
    Fill(d, rng);
    AddBroadcast_ref(o2, c, d, nullptr);
    ExpectNaive(o2, c, d, AddOp);
}

TEST(BroadcastEngine, PerChannelVectorRunsOverContiguousChannels)
{
    // (1,112,112,64) + (64): the channels form the run (vector from in2), the
    // two spatial dimensions merge into one level where in2 does not move.
    Owned a(DT_FLOAT32, {1, 112, 112, 64}, DL_NHWC), b(DT_FLOAT32, {64}), out(DT_FLOAT32, {1, 112, 112, 64}, DL_NHWC);
    BroadcastLoop loop;
    const BroadcastOpFn addFns[4] = {addrelu_f32_ref, nullptr, nullptr, nullptr};
    const BroadcastOpFn subFns[4] = {subrelu_f32_ref, nullptr, nullptr, nullptr};
    Broadcast_ref_init(&loop, "test", addFns, DT_FLOAT32, ReLU);
    Broadcast_ref("test", &loop, out, a, b);
    ASSERT_EQ(loop.levelsNum, 3u);
    EXPECT_TRUE(loop.level[0].count == 64 && loop.level[0].strideOut == 4 && loop.level[0].strideIn1 == 4 &&
                loop.level[0].strideIn2 == 4);
    EXPECT_TRUE(loop.level[1].count == 112 * 112 && loop.level[1].strideOut == 256 && loop.level[1].strideIn2 == 0);
    EXPECT_TRUE(loop.act == (BroadcastActFn)relu_f32_ref && loop.actLimit == 0x7F800000u);

    // (2,3) - (2,1): the run is the row of in1 with in2 repeated (stride 0).
    Owned c(DT_FLOAT32, {2, 3}), d(DT_FLOAT32, {2, 1}), o(DT_FLOAT32, {2, 3});
    Broadcast_ref_init(&loop, "test", subFns, DT_FLOAT32, None);
    Broadcast_ref("test", &loop, o, c, d);
    EXPECT_TRUE(loop.level[0].count == 3 && loop.level[0].strideIn2 == 0 && loop.level[1].count == 2 &&
                loop.level[1].strideIn2 == 4 && loop.act == nullptr);
}

TEST(BroadcastArithmetic, FusedClampsCompareBitPatterns)
{
    const float qnan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> x = {-3.0f, -0.0f, 3.0f, 7.5f, inf, -inf, qnan, -qnan};
    Owned a(DT_FLOAT32, {8}), zero(DT_FLOAT32, {1}), out(DT_FLOAT32, {8});
    memcpy(a.as<float>(), x.data(), 32);
    zero.as<float>()[0] = -0.0f;  // x + (-0) keeps every x, -0 included
    auto run = [&](uint32_t aName) {
        BroadcastParams p = {aName, 0};
        AddBroadcast_ref(out, a, zero, &p);
        std::vector<uint32_t> bits;
        for (int i = 0; i < 8; ++i) bits.push_back(Bits(out.as<float>()[i]));
        return bits;
    };
    const uint32_t six = Bits(6.0f), pinf = Bits(inf);
    // Negative values, -0 and negative NaN become +0; positive NaN becomes the limit.
    EXPECT_EQ(run(ReLU6), (std::vector<uint32_t>{0, 0, Bits(3.0f), six, six, 0, six, 0}));
    EXPECT_EQ(run(ReLU), (std::vector<uint32_t>{0, 0, Bits(3.0f), Bits(7.5f), pinf, 0, pinf, 0}));
    const std::vector<uint32_t> linear = run(Linear);
    EXPECT_TRUE(linear[0] == Bits(-3.0f) && linear[1] == Bits(-0.0f));
    EXPECT_EQ(run(None), linear);

    // Half: same rule on 16-bit patterns.
    Owned h(DT_FLOAT16, {6}), hz(DT_FLOAT16, {1}), ho(DT_FLOAT16, {6});
    const uint16_t hx[] = {Half(-2.0f), 0x8000, Half(5.5f), Half(9.0f), 0x7E00, 0xFE00};
    memcpy(h.as<uint16_t>(), hx, sizeof(hx));
    hz.as<uint16_t>()[0] = 0x8000;
    BroadcastParams p6 = {ReLU6, 0};
    AddBroadcast_ref(ho, h, hz, &p6);
    const uint16_t want[] = {0, 0, Half(5.5f), 0x4600, 0x4600, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(ho.as<uint16_t>()[i], want[i]) << i;

    // Integers: ReLU keeps the wrapped sum's sign rule; uint32 has no negatives.
    Owned i32(DT_INT32, {3}), i1(DT_INT32, {1}), io(DT_INT32, {3});
    const int32_t iv[] = {-5, 7, 2147483647};
    memcpy(i32.as<int32_t>(), iv, sizeof(iv));
    i1.as<int32_t>()[0] = 1;
    AddBroadcast_ref(io, i32, i1, &p6);
    // The last sum wraps to INT32_MIN, then clamps.
    EXPECT_EQ(std::vector<int32_t>(io.as<int32_t>(), io.as<int32_t>() + 3), (std::vector<int32_t>{0, 6, 0}));
    Owned u(DT_UINT32, {2}), u1(DT_UINT32, {1}), uo(DT_UINT32, {2});
    u.as<uint32_t>()[0] = 0xFFFFFFF0u, u.as<uint32_t>()[1] = 3, u1.as<uint32_t>()[0] = 2;
    BroadcastParams pr = {ReLU, 0};
    AddBroadcast_ref(uo, u, u1, &pr);
    EXPECT_TRUE(uo.as<uint32_t>()[0] == 0xFFFFFFF2u && uo.as<uint32_t>()[1] == 5u);
    AddBroadcast_ref(uo, u, u1, &p6);
    EXPECT_TRUE(uo.as<uint32_t>()[0] == 6u && uo.as<uint32_t>()[1] == 5u);
}

TEST(BroadcastArithmetic, RectifiersTouchOnlyTheirBlock)
{
    // Two planes of two rows of three, rows 4 apart and planes 10 apart.
    std::vector<float> d(20, -1.0f);
    relu_f32_ref(d.data(), 3, 2, 16, 2, 40, Bits(6.0f));
    for (int i = 0; i < 20; ++i) {
        const bool inBlock = (i % 10) < 8 && (i % 10) % 4 < 3;
        EXPECT_EQ(Bits(d[i]), inBlock ? 0u : Bits(-1.0f)) << i;
    }
    std::vector<int32_t> v = {-1, 9, 3};
    relu_i32_ref(v.data(), 3, 1, 0, 1, 0, 6);
    EXPECT_EQ(v, (std::vector<int32_t>{0, 6, 3}));
}

TEST(BroadcastArithmetic, HalfGivesFloatResultRoundedToHalf)
{
    Rng rng(3);
    Owned a(DT_FLOAT16, {3, 37}), b(DT_FLOAT16, {37}), s(DT_FLOAT16, {1}), out(DT_FLOAT16, {3, 37});
    for (int i = 0; i < 111; ++i) a.as<uint16_t>()[i] = Half(rng.uniform(300.0f));
    for (int i = 0; i < 37; ++i) b.as<uint16_t>()[i] = Half(rng.uniform(2.0f));
    s.as<uint16_t>()[0] = Half(-1.5f);
    for (const ArithCase& c : kArith)
        for (const Tensor* second : {(const Tensor*)b, (const Tensor*)s}) {
            c.kernel(out, a, second, nullptr);
            ForEachIndex({3, 37}, [&](const Dims& i) {
                const float x = Float(a.as<uint16_t>()[i[0] * 37 + i[1]]);
                const float y = Float(((const uint16_t*)second->data)[BroadcastOffset(second, i)]);
                EXPECT_EQ(out.as<uint16_t>()[i[0] * 37 + i[1]], Half(c.op(x, y))) << c.name;
            });
        }
}

TEST(BroadcastArithmetic, IntegerArithmeticWrapsAndTruncates)
{
    Owned a(DT_INT32, {4}), b(DT_INT32, {4}), out(DT_INT32, {4});
    const int32_t av[] = {-7, 7, 5, INT32_MIN}, bv[] = {2, -2, 0, -1};
    memcpy(a.as<int32_t>(), av, 16);
    memcpy(b.as<int32_t>(), bv, 16);
    DivBroadcast_ref(out, a, b, nullptr);
    EXPECT_EQ(std::vector<int32_t>(out.as<int32_t>(), out.as<int32_t>() + 4),
              (std::vector<int32_t>{-3, -3, 0, INT32_MIN}));
    MulBroadcast_ref(out, a, b, nullptr);
    EXPECT_EQ(out.as<int32_t>()[3], INT32_MIN);  // wraps
    SubBroadcast_ref(out, a, b, nullptr);
    EXPECT_EQ(out.as<int32_t>()[3], INT32_MIN + 1);
    Owned u(DT_UINT32, {2}), v(DT_UINT32, {2}), uo(DT_UINT32, {2});
    u.as<uint32_t>()[0] = 0xFFFFFFFFu, u.as<uint32_t>()[1] = 9, v.as<uint32_t>()[0] = 2, v.as<uint32_t>()[1] = 0;
    DivBroadcast_ref(uo, u, v, nullptr);
    EXPECT_TRUE(uo.as<uint32_t>()[0] == 0x7FFFFFFFu && uo.as<uint32_t>()[1] == 0u);  // division by zero gives 0
    SubBroadcast_ref(uo, v, u, nullptr);
    EXPECT_EQ(uo.as<uint32_t>()[0], 3u);
}

TEST(BroadcastArithmetic, FailuresAreReported)
{
    Owned f(DT_FLOAT32, {2}), g(DT_FLOAT32, {3}), i8(DT_INT8, {2}), h(DT_FLOAT16, {2});
    BroadcastParams tanh = {Tanh, 0};
    ExpectFatal("Broadcast_ref",
                {{[&] { DivBroadcast_ref(f, f, h, nullptr); }, "DivBroadcast_ref error: input and output types is not equal"},
                 {[&] { AddBroadcast_ref(i8, i8, i8, nullptr); }, "AddBroadcast_ref error: unsupported dType=5"},
                 {[&] { AddBroadcast_ref(f, f, g, nullptr); }, "AddBroadcast_ref error: in2 shape (3) does not broadcast to out shape (2)"},
                 {[&] { AddBroadcast_ref(f, f, f, &tanh); }, "AddBroadcast_ref error: unsupported aName=3"}});
}

TEST(PowAndMod, PowBroadcastsExponents)
{
    Owned d(DT_FLOAT32, {2, 1, 3}), e(DT_FLOAT32, {4, 1}), out(DT_FLOAT32, {2, 4, 3});
    Rng rng(5);
    Fill(d, rng, 3.0f);
    for (int i = 0; i < 6; ++i) d.as<float>()[i] = std::fabs(d.as<float>()[i]);
    Fill(e, rng, 2.0f);
    Pow_fl32(out, d, e);
    ExpectNaive(out, d, e, [](float a, float b) { return powf(a, b); });
    Owned i(DT_INT32, {2});
    ExpectFatal("Broadcast_ref", {{[&] { Pow_fl32(out, i, e); }, "Function Pow: Data tensor data type and output data type are not equal"},
                                  {[&] { Pow_fl32(out, d, i); }, "Function Pow: Exponents tensor data type is not float32"},
                                  {[&] { Pow_fl32(i, i, e); }, "Function Pow: Data tensor data type is not float32"}});
}

TEST(PowAndMod, IntegerModTakesDivisorSignFloatModDividendSign)
{
    Owned a(DT_INT32, {6}), b(DT_INT32, {6}), out(DT_INT32, {6});
    const int32_t av[] = {7, -7, 7, -7, 5, INT32_MIN}, bv[] = {-3, 3, 3, -3, 0, -1};
    memcpy(a.as<int32_t>(), av, sizeof(av));
    memcpy(b.as<int32_t>(), bv, sizeof(bv));
    Mod_ref(out, a, b);
    EXPECT_EQ(std::vector<int32_t>(out.as<int32_t>(), out.as<int32_t>() + 6),
              (std::vector<int32_t>{-2, 2, 1, -1, 5, 0}));

    Owned fa(DT_FLOAT32, {2, 2}), fb(DT_FLOAT32, {2}), fo(DT_FLOAT32, {2, 2});
    const float fv[] = {-7, 7, 5.5f, -5.5f};
    memcpy(fa.as<float>(), fv, sizeof(fv));
    fb.as<float>()[0] = 3;
    fb.as<float>()[1] = -2;
    Mod_ref(fo, fa, fb);
    EXPECT_EQ(std::vector<float>(fo.as<float>(), fo.as<float>() + 4), (std::vector<float>{-1, 1, 2.5f, -1.5f}));
    Owned h(DT_FLOAT16, {2});
    ExpectFatal("Broadcast_ref", {{[&] { Mod_ref(h, fa, fb); }, "Function Mod: Data tensor data type and output data type are not equal"},
                                  {[&] { Mod_ref(h, h, h); }, "Function Mod: Exponents tensor data type is not float32"},
                                  {[&] { Mod_ref(out, a, fb); }, "Function Mod: Divisor tensor data type and data tensor data type are not equal"}});
}

TEST(Comparisons, EqualToleranceAndExactIntegers)
{
    const float x[] = {1.0f, 1.0f, 1000.0f, 0.0f, 0.0f, NAN, 1e30f};
    const float y[] = {1.0000001f, 1.000001f, 1000.0001f, 1e-39f, 2e-38f, NAN, 1.0000001e30f};
    Owned a(DT_FLOAT32, {7}), b(DT_FLOAT32, {7}), out(DT_INT8, {7});
    memcpy(a.as<float>(), x, sizeof(x));
    memcpy(b.as<float>(), y, sizeof(y));
    Equal_ref(out, a, b);
    EXPECT_EQ(std::vector<int8_t>(out.as<int8_t>(), out.as<int8_t>() + 7), (std::vector<int8_t>{1, 0, 1, 1, 0, 0, 1}));

    Owned ia(DT_INT32, {2, 2}), ib(DT_INT32, {2}), io(DT_INT8, {2, 2});
    const int32_t iv[] = {5, 6, 6, 5};
    memcpy(ia.as<int32_t>(), iv, sizeof(iv));
    ib.as<int32_t>()[0] = 5;
    ib.as<int32_t>()[1] = 5;
    Equal_ref(io, ia, ib);
    EXPECT_EQ(std::vector<int8_t>(io.as<int8_t>(), io.as<int8_t>() + 4), (std::vector<int8_t>{1, 0, 0, 1}));
    Owned h(DT_FLOAT16, {2});
    ExpectFatal("Broadcast_ref", {{[&] { Equal_ref(io, ia, b); }, "Function Equal: Inputs data type is not equal"},
                                  {[&] { Equal_ref(ia, ia, ib); }, "Function Equal: Output data type is not int8"},
                                  {[&] { Equal_ref(io, h, h); }, "Function Equal: Wrong kernel for float16 data"}});
}

TEST(Comparisons, GreaterAndLessBroadcastAndHalfMatchesFloat)
{
    Rng rng(9);
    Owned a(DT_FLOAT32, {3, 1, 4}), b(DT_FLOAT32, {2, 1}), gt(DT_INT8, {3, 2, 4}), lt(DT_INT8, {3, 2, 4});
    Fill(a, rng);
    Fill(b, rng);
    Greater_ref(gt, a, b);
    Less_ref(lt, a, b);
    ForEachIndex({3, 2, 4}, [&](const Dims& i) {
        const float x = a.as<float>()[BroadcastOffset(a, i)], y = b.as<float>()[BroadcastOffset(b, i)];
        EXPECT_EQ(gt.as<int8_t>()[Offset(gt, i)], x > y);
        EXPECT_EQ(lt.as<int8_t>()[Offset(lt, i)], x < y);
    });

    // Half inputs through the execute function give the bytes of their float32 values.
    Owned ha(DT_FLOAT16, {3, 1, 4}), hb(DT_FLOAT16, {2, 1}), fa(DT_FLOAT32, {3, 1, 4}), fb(DT_FLOAT32, {2, 1});
    for (int i = 0; i < 12; ++i) fa.as<float>()[i] = Float(ha.as<uint16_t>()[i] = Half(rng.uniform(3.0f)));
    for (int i = 0; i < 2; ++i) fb.as<float>()[i] = Float(hb.as<uint16_t>()[i] = Half(rng.uniform(3.0f)));
    Owned hgt(DT_INT8, {3, 2, 4});
    Tensor* ins[2] = {ha, hb};
    Tensor* outs[1] = {hgt};
    NNKernel k = {};
    k.input = ins;
    k.output = outs;
    k.inputsNum = 2;
    k.outputsNum = 1;
    Execute_Greater_ref(&k);
    Greater_ref(gt, fa, fb);
    EXPECT_EQ(memcmp(hgt.as<int8_t>(), gt.as<int8_t>(), 24), 0);
    ExpectFatal("Broadcast_ref", {{[&] { Greater_ref(gt, a, hb); }, "Function Greater: Inputs data type is not equal"},
                                  {[&] { Greater_ref(a, a, b); }, "Function Greater: Inputs data type and output data type are not equal"},
                                  {[&] { Greater_ref(gt, gt, gt); }, "Function Greater: Inputs tensors data type is not in (float32,)"}});
}

TEST(Logic, AndNotWhere)
{
    Owned a(DT_INT8, {2, 3}), b(DT_INT8, {3}), out(DT_INT8, {2, 3});
    const int8_t av[] = {1, 0, 1, 1, 1, 0}, bv[] = {1, 1, 0};
    memcpy(a.as<int8_t>(), av, 6);
    memcpy(b.as<int8_t>(), bv, 3);
    And_ref(out, a, b);
    EXPECT_EQ(std::vector<int8_t>(out.as<int8_t>(), out.as<int8_t>() + 6), (std::vector<int8_t>{1, 0, 0, 1, 1, 0}));

    Owned n(DT_INT8, {3}), no(DT_INT8, {3});
    const int8_t nv[] = {0, 1, 5};
    memcpy(n.as<int8_t>(), nv, 3);
    Not_ref(no, n);
    EXPECT_EQ(std::vector<int8_t>(no.as<int8_t>(), no.as<int8_t>() + 3), (std::vector<int8_t>{1, 0, 0}));

    // A (1) condition broadcasts to the values; values broadcast to each other.
    Owned c(DT_INT8, {1}), x(DT_INT32, {2, 2}), y(DT_INT32, {2}), wo(DT_INT32, {2, 2});
    const int32_t xv[] = {1, 2, 3, 4};
    memcpy(x.as<int32_t>(), xv, 16);
    y.as<int32_t>()[0] = -1;
    y.as<int32_t>()[1] = -2;
    c.as<int8_t>()[0] = 2;
    Where_ref(wo, c, x, y);
    EXPECT_EQ(std::vector<int32_t>(wo.as<int32_t>(), wo.as<int32_t>() + 4), (std::vector<int32_t>{1, 2, 3, 4}));
    c.as<int8_t>()[0] = 0;
    Where_ref(wo, c, x, y);
    EXPECT_EQ(std::vector<int32_t>(wo.as<int32_t>(), wo.as<int32_t>() + 4), (std::vector<int32_t>{-1, -2, -1, -2}));
    Owned col(DT_INT8, {2, 1}), f(DT_FLOAT32, {2});
    col.as<int8_t>()[1] = 1;
    Where_ref(wo, col, x, y);
    EXPECT_EQ(std::vector<int32_t>(wo.as<int32_t>(), wo.as<int32_t>() + 4), (std::vector<int32_t>{-1, -2, 3, 4}));

    ExpectFatal("Broadcast_ref", {{[&] { And_ref(out, a, x); }, "Function And: Inputs data type is not equal"},
                                  {[&] { And_ref(wo, x, x); }, "Function And: Inputs tensors data type is not in (int8, uint8)"},
                                  {[&] { And_ref(x, a, b); }, "Function And: Inputs data type and output data type are not equal"},
                                  {[&] { Not_ref(x, n); }, "Different types of tensor's data"},
                                  {[&] { Not_ref(wo, x); }, "Type of input tensor is not bool (DT_INT8)"},
                                  {[&] { Not_ref(out, n); }, "Tensor's sizes is not equal"},
                                  {[&] { Where_ref(wo, x, x, y); }, "Function Where: Condition tensor data type is not int8"},
                                  {[&] { Where_ref(wo, c, x, f); }, "Function Where: Inputs data type is not equal"},
                                  {[&] { Where_ref(x, c, f, f); }, "Function Where: Inputs data type and output data type are not equal"},
                                  {[&] { Where_ref(wo, a, x, y); }, "Function Where: Input shapes (2,3)(2,2)(2) do not broadcast to the output shape (2,2)"}});
}
