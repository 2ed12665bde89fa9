// Output sizes and pads of convolution and pooling windows.

#include <array>

#include "Padding.h"
#include "test_util.h"

using corvus_test::ExpectWarning;

namespace {

using Dim = std::array<int64_t, 3>;  // output size, pad before, pad after

Dim DimOf(const PaddingStruct& ps, uint32_t i)
{
    const uint32_t begins[3] = {ps.begin0, ps.begin1, ps.begin2}, ends[3] = {ps.end0, ps.end1, ps.end2};
    return {ps.outputSize[i], begins[i], ends[i]};
}

Dim Forward1(uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode, uint32_t ceilMode, uint32_t b = 0,
             uint32_t e = 0)
{
    const uint32_t pads[2] = {b, e};
    return DimOf(ComputePaddingStruct(1, &in, &k, &s, &d, mode, pads, ceilMode), 0);
}

Dim Transposed1(uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode, bool hasOp, uint32_t op = 0,
                uint32_t b = 0, uint32_t e = 0)
{
    const uint32_t pads[2] = {b, e};
    return DimOf(ComputePaddingStructTransposed(1, &in, &k, &s, &d, mode, pads, &op, hasOp), 0);
}

// The independent model: windows counted position by position.
uint32_t Extent(uint32_t k, uint32_t d)  // one past the last tap of a dilated kernel
{
    uint32_t extent = 1;
    for (uint32_t t = 1; t < k; ++t) extent += d;
    return extent;
}

int64_t Count(int64_t from, int64_t step, int64_t limitInclusive)  // from, from + step, ... <= limit
{
    int64_t n = 0;
    for (int64_t p = from; p <= limitInclusive; p += step) ++n;
    return n;
}

// Expected forward result; out <= 0 means the call must fail (VALID, EXPLICIT).
Dim ExpectForward(uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode, bool ceilMode, uint32_t b,
                  uint32_t e)
{
    const int64_t K = Extent(k, d);
    if (mode == VALID)  // up: windows that fit; down: whole steps in in - K + 1
        return {ceilMode ? Count(0, s, in - K) : Count(s, s, in - K + 1), 0, 0};
    if (mode == EXPLICIT) return {Count(0, s, (int64_t)in + b + e - K), b, e};
    // SAME: the last window starts at (ceil(in / s) - 1) * s and the pads make
    // it fit, the odd cell after the input.
    const int64_t starts = Count(0, s, in - 1);
    const int64_t total = std::max<int64_t>((starts - 1) * s + K - in, 0);
    return {ceilMode ? starts : Count(s, s, in), total / 2, total - total / 2};
}

}  // namespace

// Hand-computed cases; the sweeps below cover the rest.
TEST(Padding, HandComputedWindows)
{
    EXPECT_EQ(Forward1(5, 3, 2, 1, SAME, 1), (Dim{3, 1, 1}));
    EXPECT_EQ(Forward1(6, 3, 2, 1, SAME, 1), (Dim{3, 0, 1}));            // the odd cell goes after
    EXPECT_EQ(Forward1(5, 3, 2, 1, SAME, 0), (Dim{2, 1, 1}));            // truncated size, same pads
    EXPECT_EQ(Forward1(7, 3, 2, 1, VALID, 1)[0], 3);                     // ceil(2.5)
    EXPECT_EQ(Forward1(7, 3, 2, 1, VALID, 0)[0], 2);                     // floor(2.5)
    EXPECT_EQ(Forward1(7, 3, 2, 1, EXPLICIT, 1, 2, 1), (Dim{4, 2, 1}));  // ceilMode unused
    EXPECT_EQ(Transposed1(4, 3, 2, 2, SAME, false), (Dim{8, 1, 0}));     // ((3-1)*2 - 2 + 1) / 2 = 1
    EXPECT_EQ(Transposed1(4, 3, 2, 1, VALID, false)[0], 9);              // in * s + max(K - s, 0)
    EXPECT_EQ(Transposed1(4, 3, 2, 1, VALID, true, 1)[0], 10);           // (in - 1) * s + K + op
    EXPECT_EQ(Transposed1(4, 3, 2, 1, SAME, true, 1), (Dim{8, 0, 0}));   // begin 1, reduced by the op
    EXPECT_EQ(Transposed1(4, 3, 2, 2, EXPLICIT, false, 1, 2, 1), (Dim{6 + 5 + 1 - 3, 2, 1}));
    // Null dilations mean 1; dimensions beyond n stay 0.
    const uint32_t in[2] = {9, 10}, k[2] = {3, 2}, s[2] = {2, 3}, ones[2] = {1, 1};
    const PaddingStruct a = ComputePaddingStruct(2, in, k, s, nullptr, SAME, nullptr, 1);
    const PaddingStruct b = ComputePaddingStruct(2, in, k, s, ones, SAME, nullptr, 1);
    EXPECT_EQ(memcmp(&a, &b, sizeof(a)), 0);
    EXPECT_EQ(DimOf(a, 2), (Dim{0, 0, 0}));
}

// Forward windows against window counting; transposed ones against the spans
// their scattered input cells cover.
TEST(Padding, SweepsAgreeWithWindowCountingAndScatteredSpans)
{
    std::mt19937 rng(1234);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    int checked = 0, transposed = 0;
    for (uint32_t n = 1; n <= 3; ++n)
        for (PaddingMode mode : {VALID, SAME, EXPLICIT})
            for (uint32_t ceilMode = 0; ceilMode < 2; ++ceilMode)
                for (int trial = 0; trial < 150; ++trial) {
                    uint32_t in[3], k[3], s[3], d[3], pads[6];
                    Dim want[3];
                    bool fails = false;  // failing configurations belong to the death test
                    for (uint32_t i = 0; i < n; ++i) {
                        in[i] = pick(1, 24), k[i] = pick(1, 6), s[i] = pick(1, 5), d[i] = pick(1, 3);
                        pads[i] = pick(0, 4), pads[n + i] = pick(0, 4);  // begins first, then ends
                        want[i] = ExpectForward(in[i], k[i], s[i], d[i], mode, ceilMode, pads[i], pads[n + i]);
                        fails |= mode != SAME && want[i][0] <= 0;
                    }
                    if (fails) continue;
                    const PaddingStruct ps = ComputePaddingStruct(n, in, k, s, d, mode, pads, ceilMode);
                    for (uint32_t i = 0; i < n; ++i, ++checked)
                        EXPECT_EQ(DimOf(ps, i), want[i]) << "mode " << mode << " ceil " << ceilMode << " in " << in[i]
                                                         << " k " << k[i] << " s " << s[i] << " d " << d[i];
                }
    for (uint32_t n = 1; n <= 2; ++n)
        for (PaddingMode mode : {VALID, SAME, EXPLICIT})
            for (bool hasOp : {false, true})
                for (int trial = 0; trial < 150; ++trial) {
                    uint32_t in[2], k[2], s[2], d[2], op[2], pads[4];
                    Dim want[2];
                    bool fails = false;
                    for (uint32_t i = 0; i < n; ++i) {
                        in[i] = pick(1, 12), k[i] = pick(1, 6), s[i] = pick(1, 4), d[i] = pick(1, 3);
                        op[i] = pick(0, s[i] - 1), pads[i] = pick(0, 2), pads[n + i] = pick(0, 2);
                        // Input cells s apart, each spread over K outputs.
                        const int64_t K = Extent(k[i], d[i]), span = (int64_t)(in[i] - 1) * s[i] + K;
                        const int64_t o = hasOp ? op[i] : 0, half = K / 2;
                        if (mode == VALID)
                            want[i] = {hasOp ? span + o : std::max<int64_t>(span, in[i] * s[i]), 0, 0};
                        else if (mode == SAME && !hasOp)
                            want[i] = {in[i] * s[i], std::max<int64_t>(K - s[i], 0) / 2, 0};
                        else if (mode == SAME)
                            want[i] = {span - K + K % 2 + o, o != 0 && half != 0 ? half - 1 : half, 0};
                        else
                            want[i] = {span + o - pads[i] - pads[n + i], pads[i], pads[n + i]};
                        fails |= want[i][0] <= 0;
                    }
                    if (fails) continue;
                    const PaddingStruct ps =
                        ComputePaddingStructTransposed(n, in, k, s, d, mode, pads, hasOp ? op : nullptr, hasOp);
                    for (uint32_t i = 0; i < n; ++i, ++transposed) {
                        EXPECT_EQ(DimOf(ps, i), want[i]) << "mode " << mode << " op " << hasOp << " in " << in[i]
                                                         << " k " << k[i] << " s " << s[i] << " d " << d[i];
                        // With explicit pads the forward window maps the result back to the input.
                        if (mode == EXPLICIT && want[i][0] + pads[i] + pads[n + i] >= Extent(k[i], d[i])) {
                            const Dim back =
                                Forward1(ps.outputSize[i], k[i], s[i], d[i], EXPLICIT, 0, pads[i], pads[n + i]);
                            EXPECT_EQ(back[0], in[i]);
                        }
                    }
                }
    EXPECT_TRUE(checked > 2000 && transposed > 1000) << checked << ", " << transposed;
}

TEST(Padding, DeprecatedFormsAgreeAndPrintNotices)
{
    const uint32_t in[2] = {5, 7}, k[2] = {3, 4}, s[2] = {2, 3}, d[2] = {1, 2}, op[2] = {1, 0};
    const std::string t = "ComputePaddingStructT: the function \"ComputePaddingStructT(...)\" is deprecated and will "
                          "be removed. Use \"ComputePaddingStructTransposed(...)\" instead",
                      oneD = "ComputePaddingStruct1D: the function \"ComputePaddingStruct1D(...)\" is deprecated and "
                             "will be removed. Use \"ComputePaddingStruct(...)\" instead";
    PaddingStruct old, one, same, expl;
    ExpectWarning("Padding", t, [&] { old = ComputePaddingStructT(5, 7, 3, 4, 2, 3, 1, 2, 0, 0, 1, 0, SAME, true); });
    PaddingStruct now = ComputePaddingStructTransposed(2, in, k, s, d, SAME, nullptr, op, true);
    EXPECT_EQ(memcmp(&old, &now, sizeof(old)), 0);
    // EXPLICIT: (in - 1) * s - 2 * pad + op + K, the pad recorded before the input only.
    ExpectWarning("Padding", t,
                  [&] { old = ComputePaddingStructT(5, 7, 3, 4, 2, 3, 1, 2, 1, 2, 1, 0, EXPLICIT, true); });
    EXPECT_EQ(DimOf(old, 0), (Dim{8 - 2 + 1 + 3, 1, 0}));
    EXPECT_EQ(DimOf(old, 1), (Dim{18 - 4 + 0 + 7, 2, 0}));
    ExpectWarning("Padding", oneD, [&] { one = ComputePaddingStruct1D(7, 3, 2, 1, 5, VALID); });
    EXPECT_EQ(DimOf(one, 0), (Dim{3, 0, 0}));  // always rounded up; the pad is not used
    ExpectWarning("Padding", oneD, [&] { same = ComputePaddingStruct1D(6, 3, 2, 2, 3, SAME); });
    ExpectWarning("Padding", oneD, [&] { expl = ComputePaddingStruct1D(6, 3, 2, 2, 2, EXPLICIT); });
    EXPECT_EQ(DimOf(same, 0), Forward1(6, 3, 2, 2, SAME, 1));
    EXPECT_EQ(DimOf(expl, 0), Forward1(6, 3, 2, 2, EXPLICIT, 0, 2, 2));
}

TEST(PaddingDeathTest, NamesAndFatalReports)
{
    EXPECT_TRUE(GetPaddingName("same") == SAME && GetPaddingName("valid") == VALID);
    const uint32_t in[4] = {8, 8, 8, 8}, k[4] = {3, 3, 3, 3}, s[4] = {1, 1, 1, 1}, pads[8] = {0};
    const char* wrong = "\\[ERROR MESSAGE\\]: ComputePaddingStruct: Wrong params\\. File Padding";
    const char* positive = "ComputePaddingStruct: kernel size, stride and dilation must be positive";
    // clang-format off
    corvus_test::ExpectExitRe({
        {[] { GetPaddingName("Same"); }, "Unnsupported padding type"},
        {[&] { ComputePaddingStruct(2, in, k, s, nullptr, (PaddingMode)3, pads, 0); },
         "ComputePaddingStruct: Unavailable padding type\\. File Padding"},
        // Chosen here: inputs shorter than one window, explicit pads too small
        // for one window and extents beyond 32 bits fail the same way.
        {[] { Forward1(3, 3, 2, 1, VALID, 0); }, wrong},
        {[] { Forward1(1, 5, 1, 1, EXPLICIT, 0, 1, 1); }, wrong},
        {[] { Forward1(8, 70000, 1, 70000, SAME, 1); }, wrong},
        {[] { Forward1(8, 3, 0, 1, SAME, 1); }, positive},
        {[&] { ComputePaddingStructTransposed(3, in, k, s, nullptr, VALID, pads, nullptr, false); },
         "ComputePaddingStruct: dimensions number > 2 is not supported"},
        {[&] { ComputePaddingStructTransposed(1, in, k, s, nullptr, (PaddingMode)5, pads, nullptr, false); },
         "ComputePaddingStruct: Unavailable padding type"},
        {[] { Transposed1(2, 3, 1, 1, EXPLICIT, false, 0, 3, 3); }, wrong},
        {[] { ComputePaddingStruct1D(2, 3, 1, 1, 0, VALID); },
         "\\[ERROR MESSAGE\\]: ComputePaddingStruct1D: Wrong params\\. File Padding"},
        {[] { ComputePaddingStruct1D(8, 3, 1, 1, 0, (PaddingMode)9); },
         "ComputePaddingStruct1D: Unavailable padding type"},
    });
    // clang-format on
}
