// Output sizes and pads of convolution and pooling windows.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Padding.h"

namespace {

struct Dim {
    uint32_t out, begin, end;
};

Dim DimOf(const PaddingStruct& ps, uint32_t i)
{
    const uint32_t begins[3] = {ps.begin0, ps.begin1, ps.begin2};
    const uint32_t ends[3] = {ps.end0, ps.end1, ps.end2};
    return {ps.outputSize[i], begins[i], ends[i]};
}

PaddingStruct Forward1(uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode, uint32_t ceilMode,
                       uint32_t b = 0, uint32_t e = 0)
{
    const uint32_t pads[2] = {b, e};
    return ComputePaddingStruct(1, &in, &k, &s, &d, mode, pads, ceilMode);
}

PaddingStruct Transposed1(uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode, bool hasOp,
                          uint32_t op = 0, uint32_t b = 0, uint32_t e = 0)
{
    const uint32_t pads[2] = {b, e};
    return ComputePaddingStructTransposed(1, &in, &k, &s, &d, mode, pads, &op, hasOp);
}

// --- Independent model: windows are enumerated position by position. ---

// Extent of a dilated kernel: one past its last tap.
uint32_t Extent(uint32_t k, uint32_t d)
{
    uint32_t lastTap = 0;
    for (uint32_t t = 1; t < k; ++t) lastTap += d;
    return lastTap + 1;
}

// Window positions 0, s, 2s, ... whose whole extent fits in `length`.
int64_t FittingWindows(int64_t length, uint32_t K, uint32_t s)
{
    int64_t count = 0;
    for (int64_t p = 0; p + K <= length; p += s) ++count;
    return count;
}

// Positions 0, s, 2s, ... that start inside `length` (the rounded-up quotient).
int64_t StartsInside(uint32_t length, uint32_t s)
{
    int64_t count = 0;
    for (int64_t p = 0; p < length; p += s) ++count;
    return count;
}

// Whole steps of s that fit in `length` (the rounded-down quotient).
int64_t WholeSteps(int64_t length, uint32_t s)
{
    int64_t count = 0;
    for (int64_t p = s; p <= length; p += s) ++count;
    return count;
}

// Expected forward result; out <= 0 means the call must fail.
struct Expected {
    int64_t out;
    int64_t begin, end;
};

Expected ExpectForward(uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode, bool ceilMode, uint32_t b,
                       uint32_t e)
{
    const uint32_t K = Extent(k, d);
    switch (mode) {
        case VALID:
            // Rounded up: every window that fits; rounded down: the quotient
            // (in - K + 1) / s without its fraction.
            return {ceilMode ? FittingWindows(in, K, s) : WholeSteps((int64_t)in - K + 1, s), 0, 0};
        case SAME: {
            // The last window starts at (ceil(in / s) - 1) * s; the pads make
            // it fit, the odd cell going after the input.
            const int64_t lastStart = (StartsInside(in, s) - 1) * (int64_t)s;
            const int64_t total = std::max<int64_t>(lastStart + K - in, 0);
            return {ceilMode ? StartsInside(in, s) : WholeSteps(in, s), total / 2, total - total / 2};
        }
        default:
            return {FittingWindows((int64_t)in + b + e, K, s), b, e};
    }
}

}  // namespace

TEST(Padding, EdgeCasesOfTheForwardComputation)
{
    // SAME, 5 / 3 / 2, rounding up: 3 outputs, pad 1 + 1.
    Dim r = DimOf(Forward1(5, 3, 2, 1, SAME, 1), 0);
    EXPECT_EQ(r.out, 3u);
    EXPECT_EQ(r.begin, 1u);
    EXPECT_EQ(r.end, 1u);
    // SAME, 6 / 3 / 2: pad 1, all of it after the input.
    r = DimOf(Forward1(6, 3, 2, 1, SAME, 1), 0);
    EXPECT_EQ(r.out, 3u);
    EXPECT_EQ(r.begin, 0u);
    EXPECT_EQ(r.end, 1u);
    // SAME with a 1-wide kernel never pads.
    r = DimOf(Forward1(4, 1, 2, 1, SAME, 1), 0);
    EXPECT_EQ(r.out, 2u);
    EXPECT_EQ(r.begin + r.end, 0u);
    // SAME rounding down truncates the quotient but pads as if rounding up.
    r = DimOf(Forward1(5, 3, 2, 1, SAME, 0), 0);
    EXPECT_EQ(r.out, 2u);
    EXPECT_EQ(r.begin + r.end, 2u);
    // VALID, 7 / 3 / 2: ceil(2.5) = 3, floor(2.5) = 2; with 8 both give 3.
    EXPECT_EQ(Forward1(7, 3, 2, 1, VALID, 1).outputSize[0], 3u);
    EXPECT_EQ(Forward1(7, 3, 2, 1, VALID, 0).outputSize[0], 2u);
    EXPECT_EQ(Forward1(8, 3, 2, 1, VALID, 1).outputSize[0], 3u);
    EXPECT_EQ(Forward1(8, 3, 2, 1, VALID, 0).outputSize[0], 3u);
    // EXPLICIT: (in + b + e - K) / s + 1, pads as given; ceilMode unused.
    r = DimOf(Forward1(7, 3, 2, 1, EXPLICIT, 1, 2, 1), 0);
    EXPECT_EQ(r.out, 4u);
    EXPECT_EQ(r.begin, 2u);
    EXPECT_EQ(r.end, 1u);
    EXPECT_EQ(Forward1(7, 3, 2, 1, EXPLICIT, 0, 2, 1).outputSize[0], 4u);
}

TEST(Padding, DilationActsAsTheDilatedExtent)
{
    for (PaddingMode mode : {VALID, SAME, EXPLICIT})
        for (uint32_t ceilMode = 0; ceilMode < 2; ++ceilMode)
            for (uint32_t in = 6; in < 14; ++in) {
                const PaddingStruct dilated = Forward1(in, 3, 2, 2, mode, ceilMode, 1, 2);
                const PaddingStruct wide = Forward1(in, 5, 2, 1, mode, ceilMode, 1, 2);
                EXPECT_EQ(memcmp(&dilated, &wide, sizeof(PaddingStruct)), 0) << "mode " << mode << " in " << in;
            }
}

TEST(Padding, DimensionsAreIndependentAndUnusedEntriesZero)
{
    const uint32_t in[3] = {9, 10, 11}, k[3] = {3, 2, 4}, s[3] = {2, 3, 1}, d[3] = {1, 2, 1};
    const uint32_t pads[6] = {1, 0, 2, 3, 4, 0};  // begins, then ends
    for (uint32_t n = 1; n <= 3; ++n) {
        const PaddingStruct ps = ComputePaddingStruct(n, in, k, s, d, EXPLICIT, pads, 0);
        for (uint32_t i = 0; i < 3; ++i) {
            const Dim got = DimOf(ps, i);
            if (i >= n) {
                EXPECT_EQ(got.out + got.begin + got.end, 0u) << "n " << n << " i " << i;
                continue;
            }
            const Dim alone = DimOf(Forward1(in[i], k[i], s[i], d[i], EXPLICIT, 0, pads[i], pads[n + i]), 0);
            EXPECT_EQ(got.out, alone.out);
            EXPECT_EQ(got.begin, alone.begin);
            EXPECT_EQ(got.end, alone.end);
        }
    }
    // Null dilations mean 1.
    const PaddingStruct a = ComputePaddingStruct(2, in, k, s, nullptr, SAME, nullptr, 1);
    const uint32_t ones[2] = {1, 1};
    const PaddingStruct b = ComputePaddingStruct(2, in, k, s, ones, SAME, nullptr, 1);
    EXPECT_EQ(memcmp(&a, &b, sizeof(a)), 0);
}

TEST(Padding, SweepAgreesWithWindowEnumeration)
{
    std::mt19937 rng(1234);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    int checked = 0;
    for (uint32_t n = 1; n <= 3; ++n)
        for (PaddingMode mode : {VALID, SAME, EXPLICIT})
            for (uint32_t ceilMode = 0; ceilMode < 2; ++ceilMode)
                for (int trial = 0; trial < 400; ++trial) {
                    uint32_t in[3], k[3], s[3], d[3], pads[6];
                    bool valid = true;
                    Expected want[3];
                    for (uint32_t i = 0; i < n; ++i) {
                        in[i] = pick(1, 24);
                        k[i] = pick(1, 6);
                        s[i] = pick(1, 5);
                        d[i] = pick(1, 3);
                        pads[i] = pick(0, 4);
                        pads[n + i] = pick(0, 4);
                        want[i] = ExpectForward(in[i], k[i], s[i], d[i], mode, ceilMode, pads[i], pads[n + i]);
                        // Failing configurations are covered by the death tests.
                        if (mode != SAME && want[i].out <= 0) valid = false;
                    }
                    if (!valid) continue;
                    const PaddingStruct ps = ComputePaddingStruct(n, in, k, s, d, mode, pads, ceilMode);
                    for (uint32_t i = 0; i < n; ++i) {
                        const Dim got = DimOf(ps, i);
                        SCOPED_TRACE(::testing::Message() << "mode " << mode << " ceil " << ceilMode << " in "
                                                          << in[i] << " k " << k[i] << " s " << s[i] << " d " << d[i]);
                        EXPECT_EQ(got.out, (uint32_t)want[i].out);
                        EXPECT_EQ(got.begin, (uint32_t)want[i].begin);
                        EXPECT_EQ(got.end, (uint32_t)want[i].end);
                        if (mode == SAME && ceilMode == 1) {
                            // Every window lies inside the padded input.
                            const int64_t K = Extent(k[i], d[i]);
                            EXPECT_LE((int64_t)(got.out - 1) * s[i] + K, (int64_t)got.begin + in[i] + got.end);
                        }
                        ++checked;
                    }
                }
    EXPECT_GT(checked, 5000);
}

TEST(Padding, TransposedEdgeCases)
{
    // SAME without output padding: in * s.
    Dim r = DimOf(Transposed1(4, 3, 2, 1, SAME, false), 0);
    EXPECT_EQ(r.out, 8u);
    EXPECT_EQ(r.begin, 0u);  // ((3 - 1) - 2 + 1) / 2 truncates to 0
    r = DimOf(Transposed1(4, 3, 2, 2, SAME, false), 0);
    EXPECT_EQ(r.out, 8u);
    EXPECT_EQ(r.begin, 1u);  // ((3 - 1) * 2 - 2 + 1) / 2 = 1
    EXPECT_EQ(r.end, 0u);
    // A stride wider than the kernel: the negative half pad becomes 0.
    EXPECT_EQ(Transposed1(4, 1, 4, 1, SAME, false).begin0, 0u);
    // VALID without output padding: in * s + max(K - s, 0).
    EXPECT_EQ(Transposed1(4, 3, 2, 1, VALID, false).outputSize[0], 9u);
    EXPECT_EQ(Transposed1(4, 1, 3, 1, VALID, false).outputSize[0], 12u);
    // VALID with output padding: (in - 1) * s + K + outputPadding.
    EXPECT_EQ(Transposed1(4, 3, 2, 1, VALID, true, 1).outputSize[0], 10u);
    // SAME with output padding: begin floor(K / 2), reduced by one when the
    // output padding is non-zero.
    r = DimOf(Transposed1(4, 3, 2, 1, SAME, true, 1), 0);
    EXPECT_EQ(r.out, 8u);  // 3 * 2 + 3 - 2 + 1
    EXPECT_EQ(r.begin, 0u);
    r = DimOf(Transposed1(4, 5, 2, 1, SAME, true, 0), 0);
    EXPECT_EQ(r.out, 7u);  // 3 * 2 + 5 - 4 + 0
    EXPECT_EQ(r.begin, 2u);
    // EXPLICIT: (in - 1) * s + K + outputPadding - b - e.
    r = DimOf(Transposed1(4, 3, 2, 2, EXPLICIT, false, 1, 2, 1), 0);
    EXPECT_EQ(r.out, 6u + 5u + 1u - 3u);
    EXPECT_EQ(r.begin, 2u);
    EXPECT_EQ(r.end, 1u);
}

TEST(Padding, TransposedSweepAgreesWithScatteredSpans)
{
    std::mt19937 rng(99);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    int checked = 0;
    for (uint32_t n = 1; n <= 2; ++n)
        for (PaddingMode mode : {VALID, SAME, EXPLICIT})
            for (bool hasOp : {false, true})
                for (int trial = 0; trial < 400; ++trial) {
                    uint32_t in[2], k[2], s[2], d[2], op[2], pads[4];
                    for (uint32_t i = 0; i < n; ++i) {
                        in[i] = pick(1, 12);
                        k[i] = pick(1, 6);
                        s[i] = pick(1, 4);
                        d[i] = pick(1, 3);
                        op[i] = pick(0, s[i] - 1);
                        pads[i] = pick(0, 2);
                        pads[n + i] = pick(0, 2);
                    }
                    // Empty outputs (pads swallowing everything, or a single
                    // input under an even SAME kernel) are covered by the death tests.
                    bool empty = false;
                    for (uint32_t i = 0; i < n; ++i) {
                        const int64_t base = (int64_t)(in[i] - 1) * s[i] + (hasOp ? op[i] : 0);
                        const int64_t K = Extent(k[i], d[i]);
                        if (mode == EXPLICIT && base + K <= (int64_t)pads[i] + pads[n + i]) empty = true;
                        if (mode == SAME && hasOp && base + K % 2 == 0) empty = true;
                    }
                    if (empty) continue;
                    const PaddingStruct ps =
                        ComputePaddingStructTransposed(n, in, k, s, d, mode, pads, hasOp ? op : nullptr, hasOp);
                    for (uint32_t i = 0; i < n; ++i) {
                        const Dim got = DimOf(ps, i);
                        const int64_t K = Extent(k[i], d[i]);
                        // The input's cells, scattered s apart, each spread over K outputs.
                        const int64_t span = (int64_t)(in[i] - 1) * s[i] + K;
                        const int64_t opi = hasOp ? op[i] : 0;
                        SCOPED_TRACE(::testing::Message() << "mode " << mode << " op " << hasOp << " in " << in[i]
                                                          << " k " << k[i] << " s " << s[i] << " d " << d[i]);
                        if (mode == VALID) {
                            EXPECT_EQ(got.out, (uint32_t)(hasOp ? span + opi : std::max<int64_t>(span, in[i] * s[i])));
                            EXPECT_EQ(got.begin + got.end, 0u);
                        } else if (mode == SAME && !hasOp) {
                            EXPECT_EQ(got.out, in[i] * s[i]);
                            EXPECT_EQ(got.begin, (uint32_t)(std::max<int64_t>(K - s[i], 0) / 2));
                            EXPECT_EQ(got.end, 0u);
                        } else if (mode == SAME) {
                            EXPECT_EQ(got.out, (uint32_t)((int64_t)(in[i] - 1) * s[i] + K % 2 + opi));
                            const int64_t half = K / 2;
                            EXPECT_EQ(got.begin, (uint32_t)(opi != 0 && half != 0 ? half - 1 : half));
                            EXPECT_EQ(got.end, 0u);
                        } else {
                            const int64_t want = span + opi - pads[i] - pads[n + i];
                            EXPECT_EQ(got.out, (uint32_t)want);
                            EXPECT_EQ(got.begin, pads[i]);
                            EXPECT_EQ(got.end, pads[n + i]);
                            // The forward window over the result with the same
                            // pads gives the input size back.
                            if (want + pads[i] + pads[n + i] >= K) {
                                EXPECT_EQ(Forward1(got.out, k[i], s[i], d[i], EXPLICIT, 0, pads[i], pads[n + i])
                                              .outputSize[0],
                                          in[i]);
                            }
                        }
                        ++checked;
                    }
                }
    EXPECT_GT(checked, 3000);
}

TEST(Padding, DeprecatedTransposedFormAgreesAndWarns)
{
    const uint32_t in[2] = {5, 7}, k[2] = {3, 4}, s[2] = {2, 3}, d[2] = {1, 2}, op[2] = {1, 0};
    for (PaddingMode mode : {VALID, SAME})
        for (bool hasOp : {false, true}) {
            ::testing::internal::CaptureStdout();
            const PaddingStruct old =
                ComputePaddingStructT(in[0], in[1], k[0], k[1], s[0], s[1], d[0], d[1], 0, 0, op[0], op[1], mode, hasOp);
            const std::string printed = ::testing::internal::GetCapturedStdout();
            EXPECT_EQ(printed.rfind("[DEBUG MESSAGE]: ComputePaddingStructT: the function \"ComputePaddingStructT(...)\" "
                                    "is deprecated and will be removed. Use \"ComputePaddingStructTransposed(...)\" "
                                    "instead. File Padding : ",
                                    0),
                      0u)
                << printed;
            const PaddingStruct now = ComputePaddingStructTransposed(2, in, k, s, d, mode, nullptr, op, hasOp);
            EXPECT_EQ(memcmp(&old, &now, sizeof(old)), 0) << "mode " << mode << " op " << hasOp;
        }
    // EXPLICIT: one symmetric pad, recorded before the input only.
    ::testing::internal::CaptureStdout();
    PaddingStruct ps = ComputePaddingStructT(5, 7, 3, 4, 2, 3, 1, 2, 1, 2, 1, 0, EXPLICIT, true);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(ps.outputSize[0], 4u * 2 - 2 + 1 + 3);
    EXPECT_EQ(ps.outputSize[1], 6u * 3 - 4 + 0 + 7);
    EXPECT_EQ(ps.begin0, 1u);
    EXPECT_EQ(ps.begin1, 2u);
    EXPECT_EQ(ps.end0 + ps.end1, 0u);
    // Another mode gives output sizes 0 and the given pads.
    ::testing::internal::CaptureStdout();
    ps = ComputePaddingStructT(5, 7, 3, 4, 2, 3, 1, 2, 1, 2, 1, 0, (PaddingMode)7, true);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(ps.outputSize[0] + ps.outputSize[1], 0u);
    EXPECT_EQ(ps.begin0, 1u);
    EXPECT_EQ(ps.begin1, 2u);
}

TEST(Padding, DeprecatedOneDimensionalFormAgreesAndWarns)
{
    ::testing::internal::CaptureStdout();
    const PaddingStruct valid = ComputePaddingStruct1D(7, 3, 2, 1, 5, VALID);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("[DEBUG MESSAGE]: ComputePaddingStruct1D: the function \"ComputePaddingStruct1D(...)\" is "
                            "deprecated and will be removed. Use \"ComputePaddingStruct(...)\" instead. File Padding : ",
                            0),
              0u)
        << printed;
    // VALID always rounds up, and the pad argument is not used.
    EXPECT_EQ(valid.outputSize[0], 3u);
    EXPECT_EQ(valid.begin0 + valid.end0, 0u);
    for (uint32_t in = 1; in < 16; ++in)
        for (uint32_t k = 1; k < 4; ++k)
            for (uint32_t s = 1; s < 4; ++s)
                for (uint32_t d = 1; d < 3; ++d) {
                    ::testing::internal::CaptureStdout();
                    const PaddingStruct same = ComputePaddingStruct1D(in, k, s, d, 3, SAME);
                    const PaddingStruct expl = ComputePaddingStruct1D(in, k, s, d, 2, EXPLICIT);
                    ::testing::internal::GetCapturedStdout();
                    const PaddingStruct sameNew = Forward1(in, k, s, d, SAME, 1);
                    const PaddingStruct explNew = Forward1(in, k, s, d, EXPLICIT, 0, 2, 2);
                    EXPECT_EQ(memcmp(&same, &sameNew, sizeof(same)), 0);
                    EXPECT_EQ(memcmp(&expl, &explNew, sizeof(expl)), 0);
                }
}

TEST(Padding, PaddingNames)
{
    EXPECT_EQ(GetPaddingName("same"), SAME);
    EXPECT_EQ(GetPaddingName("valid"), VALID);
    EXPECT_EQ(VALID, 0);
    EXPECT_EQ(SAME, 1);
    EXPECT_EQ(EXPLICIT, 2);
}

TEST(PaddingDeathTest, FatalReports)
{
    const uint32_t in[4] = {8, 8, 8, 8}, k[4] = {3, 3, 3, 3}, s[4] = {1, 1, 1, 1}, d[4] = {1, 1, 1, 1};
    const uint32_t pads[8] = {0};
    EXPECT_EXIT(ComputePaddingStruct(0, in, k, s, d, VALID, pads, 0), ::testing::ExitedWithCode(1),
                "^\\[ERROR MESSAGE\\]: dimensions_number <= 3 && dimensions_number > 0: false, expected: true\\. "
                "File Padding : [0-9]+\n$");
    EXPECT_EXIT(ComputePaddingStruct(4, in, k, s, d, VALID, pads, 0), ::testing::ExitedWithCode(1),
                "dimensions_number <= 3 && dimensions_number > 0: false, expected: true");
    EXPECT_EXIT(ComputePaddingStruct(2, in, k, s, d, (PaddingMode)3, pads, 0), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct: Unavailable padding type\\. File Padding");
    // VALID, in 2, k 3: no window fits.
    EXPECT_EXIT(Forward1(2, 3, 1, 1, VALID, 1), ::testing::ExitedWithCode(1),
                "\\[ERROR MESSAGE\\]: ComputePaddingStruct: Wrong params\\. File Padding");
    // VALID rounding down to 0: (3 - 3 + 1) / 2 = 0.5.
    EXPECT_EXIT(Forward1(3, 3, 2, 1, VALID, 0), ::testing::ExitedWithCode(1), "ComputePaddingStruct: Wrong params");
    // Inputs shorter than K - 1 are refused as well.
    EXPECT_EXIT(Forward1(1, 5, 1, 1, VALID, 1), ::testing::ExitedWithCode(1), "ComputePaddingStruct: Wrong params");
    // Explicit pads too small for one window.
    EXPECT_EXIT(Forward1(1, 5, 1, 1, EXPLICIT, 0, 1, 1), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct: Wrong params");
    EXPECT_EXIT(Forward1(8, 3, 0, 1, SAME, 1), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct: kernel size, stride and dilation must be positive");
    EXPECT_EXIT(Forward1(8, 0, 1, 1, VALID, 1), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct: kernel size, stride and dilation must be positive");
    // A dilated extent beyond 32 bits.
    EXPECT_EXIT(Forward1(8, 70000, 1, 70000, SAME, 1), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct: Wrong params");

    EXPECT_EXIT(ComputePaddingStructTransposed(3, in, k, s, d, VALID, pads, nullptr, false),
                ::testing::ExitedWithCode(1), "ComputePaddingStruct: dimensions number > 2 is not supported");
    EXPECT_EXIT(ComputePaddingStructTransposed(1, in, k, s, d, (PaddingMode)5, pads, nullptr, false),
                ::testing::ExitedWithCode(1), "ComputePaddingStruct: Unavailable padding type");
    EXPECT_EXIT(Transposed1(2, 3, 1, 1, EXPLICIT, false, 0, 3, 3), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct: Wrong params");
    EXPECT_EXIT(Transposed1(1, 2, 1, 1, SAME, true, 0), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct: Wrong params");

    EXPECT_EXIT(ComputePaddingStruct1D(2, 3, 1, 1, 0, VALID), ::testing::ExitedWithCode(1),
                "\\[ERROR MESSAGE\\]: ComputePaddingStruct1D: Wrong params\\. File Padding");
    EXPECT_EXIT(ComputePaddingStruct1D(8, 3, 1, 1, 0, (PaddingMode)9), ::testing::ExitedWithCode(1),
                "ComputePaddingStruct1D: Unavailable padding type");

    EXPECT_EXIT(GetPaddingName("Same"), ::testing::ExitedWithCode(1), "Unnsupported padding type");
    EXPECT_EXIT(GetPaddingName("SAME"), ::testing::ExitedWithCode(1), "Unnsupported padding type");
    EXPECT_EXIT(GetPaddingName("explicit"), ::testing::ExitedWithCode(1), "Unnsupported padding type");
    EXPECT_EXIT(GetPaddingName(nullptr), ::testing::ExitedWithCode(1), "Unnsupported padding type");
}
