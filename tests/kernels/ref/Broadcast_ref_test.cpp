// Broadcast engine, fused clamps, Mod, comparisons, logic and Where against
// naive index-by-index versions (half precision in HalfPrecision_ref_test).

#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "broadcast_util.h"

using namespace bcast_test;
using corvus_test::ExpectFatal;

namespace {

using Op = float (*)(float, float);
using Kernel = void (*)(Tensor*, const Tensor*, const Tensor*, const BroadcastParams*);
const std::pair<Kernel, Op> kArith[] = {{AddBroadcast_ref, [](float a, float b) { return a + b; }},
                                        {SubBroadcast_ref, [](float a, float b) { return a - b; }},
                                        {MulBroadcast_ref, [](float a, float b) { return a * b; }},
                                        {DivBroadcast_ref, [](float a, float b) { return a / b; }}};

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
        if (Bits(got) != Bits(op(a, b)) && bad++ < 3) ADD_FAILURE() << "got " << got << " for " << a << ", " << b;
    });
    EXPECT_EQ(bad, 0);
}

}  // namespace

TEST(BroadcastEngine, EveryShapePairingUpToSixDimsMatchesNaive)
{
    Rng rng(7);
    size_t cases = 0;
    for (const auto& pr : AllPairings(6)) {
        const auto& c = kArith[cases++ % 4];
        Owned a(DT_FLOAT32, pr.first), b(DT_FLOAT32, pr.second), out(DT_FLOAT32, BroadcastDims(pr.first, pr.second));
        Fill(a, rng);
        Fill(b, rng);
        c.first(out, a, b, nullptr);
        ExpectNaive(out, a, b, c.second);
        if (HasFailure()) break;
    }
    // Padded inputs and output (whose padding stays), and an input whose
    // innermost dimension is not contiguous.
    Owned a(DT_FLOAT32, {2, 3, 4}, {40, 8, 1}), b(DT_FLOAT32, {3, 1}, {2, 1}), out(DT_FLOAT32, {2, 3, 4}, {15, 5, 1});
    Owned c(DT_FLOAT32, {3, 4}, {8, 2}), d(DT_FLOAT32, {4}), o2(DT_FLOAT32, {3, 4});
    for (const Owned* t : {&a, &b, &c, &d}) Fill(*t, rng);
    std::fill(out.as<float>(), out.as<float>() + 30, 1234.5f);
    for (const auto& k : kArith) {
        k.first(out, a, b, nullptr);
        ExpectNaive(out, a, b, k.second);
        k.first(o2, c, d, nullptr);
        ExpectNaive(o2, c, d, k.second);
    }
    for (uint32_t i = 4; i < 30; i += 5) EXPECT_EQ(out.as<float>()[i], 1234.5f) << i;
}

TEST(BroadcastArithmetic, FusedClampsAndIntegerRules)
{
    // x + (-0) keeps every x: negatives, -0 and negative NaN become +0,
    // positive NaN becomes the limit.
    Owned a(DT_FLOAT32, {8}, Vals{{-3.0f, -0.0f, 3.0f, 7.5f, INFINITY, -INFINITY, NAN, -NAN}});
    Owned zero(DT_FLOAT32, {1}, Vals{{-0.0}}), out(DT_FLOAT32, {8});
    const uint32_t six = Bits(6.0f), inf = Bits(INFINITY), three = Bits(3.0f);
    // clang-format off
    const std::pair<uint32_t, std::vector<uint32_t>> clamps[] = {
        {ReLU6, {0, 0, three, six, six, 0, six, 0}},
        {ReLU, {0, 0, three, Bits(7.5f), inf, 0, inf, 0}},
        {None, {Bits(-3.0f), 0x80000000u, three, Bits(7.5f), inf, Bits(-INFINITY), Bits(NAN), Bits(-NAN)}},
        {Linear, {Bits(-3.0f), 0x80000000u, three, Bits(7.5f), inf, Bits(-INFINITY), Bits(NAN), Bits(-NAN)}}};
    for (const auto& c : clamps) {
        const BroadcastParams p = {c.first, 0};
        AddBroadcast_ref(out, a, zero, &p);
        EXPECT_EQ(Get<uint32_t>(out), c.second) << c.first;
    }
    // clang-format on
    Owned h(DT_FLOAT16, {6}), hz(DT_FLOAT16, {1}, Vals{{-0.0}}), ho(DT_FLOAT16, {6});
    Put<uint16_t>(h, {Half(-2.0f), 0x8000, Half(5.5f), Half(9.0f), 0x7E00, 0xFE00});
    const BroadcastParams p6 = {ReLU6, 0}, pr = {ReLU, 0};
    AddBroadcast_ref(ho, h, hz, &p6);
    EXPECT_EQ(Get<uint16_t>(ho), (std::vector<uint16_t>{0, 0, Half(5.5f), 0x4600, 0x4600, 0}));

    // Integers wrap, divide truncating (by zero: 0) and clamp after wrapping.
    Owned i(DT_INT32, {4}, Vals{{-7, 7, 5, INT32_MIN}}), j(DT_INT32, {4}, Vals{{2, -2, 0, -1}}), io(DT_INT32, {4});
    DivBroadcast_ref(io, i, j, nullptr);
    EXPECT_EQ(Get<int32_t>(io), (std::vector<int32_t>{-3, -3, 0, INT32_MIN}));
    MulBroadcast_ref(io, i, j, nullptr);
    EXPECT_EQ(Get<int32_t>(io), (std::vector<int32_t>{-14, -14, 0, INT32_MIN}));
    Owned k(DT_INT32, {4}, Vals{{-5, 7, INT32_MAX, 0}}), one(DT_INT32, {1}, Vals{{1}});
    AddBroadcast_ref(io, k, one, &p6);
    EXPECT_EQ(Get<int32_t>(io), (std::vector<int32_t>{0, 6, 0, 1}));
    Owned u(DT_UINT32, {2}, Vals{{0xFFFFFFF0u, 3}}), v(DT_UINT32, {2}, Vals{{2, 0}}), uo(DT_UINT32, {2});
    DivBroadcast_ref(uo, u, v, nullptr);
    EXPECT_EQ(Get<uint32_t>(uo), (std::vector<uint32_t>{0x7FFFFFF8u, 0}));
    AddBroadcast_ref(uo, u, v, &pr);
    EXPECT_EQ(Get<uint32_t>(uo), (std::vector<uint32_t>{0xFFFFFFF2u, 3}));
    AddBroadcast_ref(uo, u, v, &p6);
    EXPECT_EQ(Get<uint32_t>(uo), (std::vector<uint32_t>{6, 3}));
}

// Pow, Greater, Not and full-shape Where run in the parser's and the model tests.
TEST(BroadcastOps, ModComparisonsLogicWhere)
{
    // Integer Mod takes the divisor's sign, float Mod the dividend's.
    Owned a(DT_INT32, {6}, Vals{{7, -7, 7, -7, 5, INT32_MIN}}), b(DT_INT32, {6}, Vals{{-3, 3, 3, -3, 0, -1}});
    Owned m(DT_INT32, {6}), fm(DT_FLOAT32, {2, 2});
    Mod_ref(m, a, b);
    EXPECT_EQ(Get<int32_t>(m), (std::vector<int32_t>{-2, 2, 1, -1, 5, 0}));
    Mod_ref(fm, Owned(DT_FLOAT32, {2, 2}, Vals{{-7, 7, 5.5, -5.5}}), Owned(DT_FLOAT32, {2}, Vals{{3, -2}}));
    EXPECT_EQ(Get<float>(fm), (std::vector<float>{-1, 1, 2.5f, -1.5f}));

    // Equal allows a relative tolerance for floats, none for integers; NaN is unequal.
    Owned x(DT_FLOAT32, {7}, Vals{{1.0f, 1.0f, 1000.0f, 0.0f, 0.0f, NAN, 1e30f}}), eq(DT_INT8, {7});
    Owned y(DT_FLOAT32, {7}, Vals{{1.0000001f, 1.000001f, 1000.0001f, 1e-39f, 2e-38f, NAN, 1.0000001e30f}});
    Equal_ref(eq, x, y);
    EXPECT_EQ(Get<int8_t>(eq), (std::vector<int8_t>{1, 0, 1, 1, 0, 0, 1}));
    Owned ie(DT_INT8, {2, 2});
    Equal_ref(ie, Owned(DT_INT32, {2, 2}, Vals{{5, 6, 6, 5}}), Owned(DT_INT32, {2}, Vals{{5, 5}}));
    EXPECT_EQ(Get<int8_t>(ie), (std::vector<int8_t>{1, 0, 0, 1}));
    Rng rng(5);
    Owned ga(DT_FLOAT32, {3, 1, 4}), gb(DT_FLOAT32, {2, 1}), lt(DT_INT8, {3, 2, 4});
    Fill(ga, rng);
    Fill(gb, rng);
    Less_ref(lt, ga, gb);
    ForEachIndex({3, 2, 4}, [&](const Dims& i) {
        const float p = ga.as<float>()[BroadcastOffset(ga, i)], q = gb.as<float>()[BroadcastOffset(gb, i)];
        EXPECT_EQ(lt.as<int8_t>()[Offset(lt, i)], p < q);
    });

    Owned lo(DT_INT8, {2, 3});
    And_ref(lo, Owned(DT_INT8, {2, 3}, Vals{{1, 0, 1, 1, 1, 0}}), Owned(DT_INT8, {3}, Vals{{1, 1, 0}}));
    EXPECT_EQ(Get<int8_t>(lo), (std::vector<int8_t>{1, 0, 0, 1, 1, 0}));
    // Condition and values all broadcast to the output.
    Owned wx(DT_INT32, {2, 2}, Vals{{1, 2, 3, 4}}), wy(DT_INT32, {2}, Vals{{-1, -2}}), wo(DT_INT32, {2, 2});
    Where_ref(wo, Owned(DT_INT8, {1}, Vals{{2}}), wx, wy);
    EXPECT_EQ(Get<int32_t>(wo), (std::vector<int32_t>{1, 2, 3, 4}));
    Where_ref(wo, Owned(DT_INT8, {2, 1}, Vals{{0, 1}}), wx, wy);
    EXPECT_EQ(Get<int32_t>(wo), (std::vector<int32_t>{-1, -2, 3, 4}));
}

TEST(BroadcastOps, ShapesThatDoNotBroadcastAreRefused)
{
    Owned f(DT_FLOAT32, {2}), g(DT_FLOAT32, {3}), b23(DT_INT8, {2, 3}), i22(DT_INT32, {2, 2}), i2(DT_INT32, {2});
    ExpectFatal("Broadcast_ref",
                {
                    {[&] { AddBroadcast_ref(f, f, g, nullptr); },
                     "AddBroadcast_ref error: in2 shape (3) does not broadcast to out shape (2)"},
                    {[&] { Where_ref(i22, b23, i22, i2); },
                     "Function Where: Input shapes (2,3)(2,2)(2) do not broadcast to the output shape (2,2)"},
                });
}
