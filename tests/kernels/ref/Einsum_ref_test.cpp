// Einsum against a naive double-precision sum over every index of the equation: products, batches,
// transposed operands and results, full sums (half precision in HalfPrecision_ref_test).
#include "LayersReduction.h"
#include "TensorOperation.h"
#include "reduce_util.h"

using namespace reduce_test;
using corvus_test::TensorPtr;

namespace {

EinsumParams Parse(const char* equation)
{
    EinsumParams p = {};
    strcpy(p.equation, equation);
    uint32_t resultCount;
    ParseEinSumExpression(p.equation, &p.leftCount, &p.rightCount, &resultCount, p.left, p.right, p.result);
    return p;
}

}  // namespace

TEST(EinsumKernel, MatchesTheNaiveSumAndRefusesTracesAndMismatchedExtents)
{
    const struct {
        const char* equation;
        Dims a, b, out;
        // clang-format off
    } cases[] = {
        {"ij,jk->ik", {3, 5}, {5, 4}, {3, 4}},       {" ij , jk -> ki", {3, 5}, {5, 4}, {4, 3}},  // blanks ignored
        {"bij,bjk->bik", {2, 3, 4}, {2, 4, 5}, {2, 3, 5}},
        {"ij,kj->ik", {3, 4}, {2, 4}, {3, 2}},       {"ji,jk->ik", {4, 3}, {4, 2}, {3, 2}},
        {"bjc,cbi->ib", {2, 4, 3}, {3, 2, 3}, {3, 2}},  // two summed indices and a permuted batch
        {"ij,ij->", {2, 3}, {2, 3}, {}},             {"ij,j->i", {2, 3}, {3}, {2}},
        {"ij,k->i", {2, 3}, {3}, {2}},               // A's j and B's k summed independently
        {"i,j->ij", {4}, {3}, {4, 3}},               // no sums: one rounded product each, exact
    };
    // clang-format on
    uint32_t seed = 1;
    for (const auto& c : cases) {
        const std::vector<float> a = RandomValues(Count(c.a), seed++), b = RandomValues(Count(c.b), seed++);
        const EinsumParams p = Parse(c.equation);
        TensorPtr ta(MakeF32(c.a, a)), tb(MakeF32(c.b, b)), out(MakeF32(c.out, {}));
        EinSum_fl32_ref(out.get(), ta.get(), tb.get(), &p);
        const std::vector<double> ref = NaiveEinsum(c.equation, c.a, a, c.b, b, c.out);
        const std::vector<float> got = Values<float>(out.get());
        // The summation order is free, except without sums.
        const double tol = std::string(c.equation) == "i,j->ij" ? 0.0 : 1e-5;
        for (size_t i = 0; i < ref.size(); ++i)
            EXPECT_NEAR(got[i], tol == 0.0 ? (float)ref[i] : ref[i], tol * (1.0 + std::fabs(ref[i])))
                << c.equation << i;
    }
    corvus_test::ExpectFatal(
        "Einsum_ref",
        {
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
