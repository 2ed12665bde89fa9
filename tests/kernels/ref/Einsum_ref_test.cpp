// Einsum against a naive double-precision sum over every index of the
// equation: products, batches, transposed operands and results, full sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "LayersReduction.h"
#include "TensorOperation.h"
#include "reduce_util.h"
#include "test_util.h"

using namespace reduce_test;

namespace {

EinsumParams Parse(const char* equation)
{
    EinsumParams p = {};
    strcpy(p.equation, equation);
    uint32_t resultCount;
    ParseEinSumExpression(p.equation, &p.leftCount, &p.rightCount, &resultCount, p.left, p.right, p.result);
    return p;
}

// out[result letters] = sum over the other letters of a[left] * b[right], dense row-major operands.
std::vector<double> NaiveEinsum(std::string eq, const Dims& da, const std::vector<float>& a, const Dims& db,
                                const std::vector<float>& b, const Dims& dout)
{
    eq.erase(std::remove(eq.begin(), eq.end(), ' '), eq.end());
    const std::string left = eq.substr(0, eq.find(',')), right = eq.substr(eq.find(',') + 1, eq.find('-') - eq.find(',') - 1);
    const std::string result = eq.substr(eq.find('>') + 1);
    std::map<char, uint32_t> extent;
    for (size_t i = 0; i < left.size(); ++i) extent[left[i]] = da[i];
    for (size_t i = 0; i < right.size(); ++i) extent[right[i]] = db[i];
    std::string letters;
    Dims extents;
    for (const auto& e : extent) letters += e.first, extents.push_back(e.second);
    auto flat = [&](const std::string& term, const Dims& idx) {
        size_t f = 0;
        for (char c : term) f = f * extent[c] + idx[letters.find(c)];
        return f;
    };
    std::vector<double> out(Count(dout), 0.0);
    corvus_test::ForEachIndex(extents, [&](const Dims& idx) {
        out[flat(result, idx)] += (double)a[flat(left, idx)] * b[flat(right, idx)];
    });
    return out;
}

}  // namespace

TEST(EinsumKernel, MatchesTheNaiveSum)
{
    const struct {
        const char* equation;
        Dims a, b, out;
    } cases[] = {
        {"ij,jk->ik", {3, 5}, {5, 4}, {3, 4}},       {" ij , jk -> ki", {3, 5}, {5, 4}, {4, 3}},  // blanks ignored
        {"bij,bjk->bik", {2, 3, 4}, {2, 4, 5}, {2, 3, 5}},
        {"ij,kj->ik", {3, 4}, {2, 4}, {3, 2}},       {"ji,jk->ik", {4, 3}, {4, 2}, {3, 2}},
        {"bjc,cbi->ib", {2, 4, 3}, {3, 2, 3}, {3, 2}},  // two summed indices and a permuted batch
        {"ij,ij->", {2, 3}, {2, 3}, {}},             {"ij,j->i", {2, 3}, {3}, {2}},
        {"ij,k->i", {2, 3}, {3}, {2}},               // A's j and B's k summed independently
        {"i,j->ij", {4}, {3}, {4, 3}},               // no sums: one rounded product each, exact
    };
    uint32_t seed = 1;
    for (const auto& c : cases) {
        const std::vector<float> a = RandomValues(Count(c.a), seed++), b = RandomValues(Count(c.b), seed++);
        const EinsumParams p = Parse(c.equation);
        Tensor* ta = MakeF32(c.a, a);
        Tensor* tb = MakeF32(c.b, b);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)c.out.size(), ShapeOf(c.out), true);
        EinSum_fl32_ref(out, ta, tb, &p);
        const std::vector<double> ref = NaiveEinsum(c.equation, c.a, a, c.b, b, c.out);
        const std::vector<float> got = Values<float>(out);
        for (size_t i = 0; i < ref.size(); ++i)
            if (std::string(c.equation) == "i,j->ij")
                EXPECT_EQ(got[i], (float)ref[i]) << c.equation << " " << i;
            else  // the summation order is free
                EXPECT_NEAR(got[i], ref[i], 1e-5 * (1.0 + std::fabs(ref[i]))) << c.equation << " " << i;
        for (Tensor* t : {ta, tb, out}) DestroyTensor(t);
    }
}

TEST(EinsumKernel, HalfPrecisionThroughFloat32)
{
    const std::vector<float> a = HalfRounded(RandomValues(6, 15)), b = HalfRounded(RandomValues(12, 16));
    const EinsumParams p = Parse("ij,jk->ik");
    Tensor* f32[3] = {MakeF32({2, 3}, a), MakeF32({3, 4}, b), MakeF32({2, 4}, {})};
    Tensor* f16[3] = {MakeF16({2, 3}, a), MakeF16({3, 4}, b), Make<uint16_t>(DT_FLOAT16, {2, 4}, {})};
    EinSum_fl32_ref(f32[2], f32[0], f32[1], &p);
    EinSum_fl16_ref(f16[2], f16[0], f16[1], &p);
    EXPECT_EQ(HalfValues(f16[2]), HalfRounded(Values<float>(f32[2])));
    for (int i = 0; i < 3; ++i) DestroyTensor(f32[i]), DestroyTensor(f16[i]);
}

TEST(EinsumKernel, RefusesTracesAndMismatchedExtents)
{
    corvus_test::ExpectFatal("Einsum_ref", {
        {[] {
             const EinsumParams p = Parse("ii,ij->j");
             EinSum_fl32_ref(MakeF32({2}, {}), MakeF32({2, 2}, {}), MakeF32({2, 2}, {}), &p);
         },
         "Check equation pattern: ii,ij->j\n. Trace-like operators are not supported in the current version."},
        {[] {
             const EinsumParams p = Parse("ij,jk->ik");
             EinSum_fl32_ref(MakeF32({2, 2}, {}), MakeF32({2, 3}, {}), MakeF32({4, 2}, {}), &p);
         },
         "Einsum: equation ij,jk->ik gives index 'j' the extents 3 and 4"},
    });
}
