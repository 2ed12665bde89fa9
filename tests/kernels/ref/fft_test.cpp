// The real DFT against a direct O(n^2) double-precision DFT, its packing,
// table reuse across lengths, and the inverse direction.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "LayersAudio.h"
#include "test_util.h"

namespace {

// Packed reference: [sum x, sum x (-1)^j, C1, S1, C2, S2, ...].
std::vector<double> DirectPacked(const std::vector<double>& x)
{
    const size_t n = x.size();
    std::vector<double> c(n), s(n);
    for (size_t m = 0; m < n; ++m) {
        c[m] = std::cos(2.0 * M_PI * (double)m / (double)n);
        s[m] = std::sin(2.0 * M_PI * (double)m / (double)n);
    }
    std::vector<double> out(n);
    for (size_t k = 0; k <= n / 2; ++k) {
        double re = 0.0, im = 0.0;
        for (size_t j = 0; j < n; ++j) {
            const size_t m = (j * k) % n;
            re += x[j] * c[m];
            im += x[j] * s[m];
        }
        if (k == 0)
            out[0] = re;
        else if (k == n / 2)
            out[1] = re;
        else {
            out[2 * k] = re;
            out[2 * k + 1] = im;
        }
    }
    return out;
}

std::vector<double> RandomDoubles(size_t n, uint32_t seed)
{
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = dist(gen);
    return v;
}

struct Tables {
    std::vector<int> ip;
    std::vector<double> w;
    explicit Tables(int n) : ip(2 + (int)std::sqrt((double)(n / 2)), 0), w(n / 2 > 0 ? n / 2 : 1, 0.0) {}
};

// Largest error relative to the largest reference value.
double MaxRelativeError(const std::vector<double>& got, const std::vector<double>& ref)
{
    double maxRef = 0.0, maxErr = 0.0;
    for (size_t i = 0; i < ref.size(); ++i) {
        maxRef = std::max(maxRef, std::fabs(ref[i]));
        maxErr = std::max(maxErr, std::fabs(got[i] - ref[i]));
    }
    return maxErr / maxRef;
}

}  // namespace

TEST(RealDft, MatchesDirectDftForEveryPowerOfTwoUpTo4096)
{
    for (int n = 4; n <= 4096; n *= 2) {
        const std::vector<double> x = RandomDoubles((size_t)n, (uint32_t)n);
        std::vector<double> a = x;
        Tables t(n);
        rdft(n, 1, a.data(), t.ip.data(), t.w.data());
        const std::vector<double> ref = DirectPacked(x);
        EXPECT_LE(MaxRelativeError(a, ref), 1e-9) << "n = " << n;
        // Each element also on its own scale: no bin is off by more than 1e-9 of itself plus a trace of the peak.
        double maxRef = 0.0;
        for (double r : ref) maxRef = std::max(maxRef, std::fabs(r));
        for (int i = 0; i < n; ++i) ASSERT_NEAR(a[i], ref[i], 1e-9 * std::fabs(ref[i]) + 1e-12 * maxRef) << n << ":" << i;
    }
}

TEST(RealDft, HandValuesAndTwoPoints)
{
    // Impulse: flat spectrum of ones, zero sine parts.
    std::vector<double> a = {1, 0, 0, 0, 0, 0, 0, 0};
    Tables t(8);
    rdft(8, 1, a.data(), t.ip.data(), t.w.data());
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(a[k], (k < 2 || k % 2 == 0) ? 1.0 : 0.0, 1e-15) << k;
    // x[j] = sin(2 pi j / 8): the sine sum at k = 1 is n/2, all else 0.
    for (int j = 0; j < 8; ++j) a[j] = std::sin(2.0 * M_PI * j / 8.0);
    rdft(8, 1, a.data(), t.ip.data(), t.w.data());
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(a[k], k == 3 ? 4.0 : 0.0, 1e-14) << k;
    // Alternating signs go entirely to the Nyquist slot a[1].
    for (int j = 0; j < 8; ++j) a[j] = (j % 2) ? -1.0 : 1.0;
    rdft(8, 1, a.data(), t.ip.data(), t.w.data());
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(a[k], k == 1 ? 8.0 : 0.0, 1e-14) << k;
    // Two points: sum and difference, no tables needed.
    double two[2] = {3.0, 5.0};
    int ip[3] = {0, 0, 0};
    double w[1] = {0.0};
    rdft(2, 1, two, ip, w);
    EXPECT_EQ(two[0], 8.0);
    EXPECT_EQ(two[1], -2.0);
    rdft(2, -1, two, ip, w);  // inverse gives n/2 = 1 times the input
    EXPECT_EQ(two[0], 3.0);
    EXPECT_EQ(two[1], 5.0);
}

TEST(RealDft, TablesBuiltOnceServeShorterLengthsAndGrowForLongerOnes)
{
    Tables t(1024);
    std::vector<double> a = RandomDoubles(1024, 1);
    rdft(1024, 1, a.data(), t.ip.data(), t.w.data());
    EXPECT_NE(t.ip[0], 0);  // built
    const std::vector<double> w1024 = t.w;
    // A shorter transform reuses the longer table unchanged.
    for (int n : {4, 16, 256, 512}) {
        const std::vector<double> x = RandomDoubles((size_t)n, (uint32_t)(7 * n));
        std::vector<double> b = x;
        rdft(n, 1, b.data(), t.ip.data(), t.w.data());
        EXPECT_LE(MaxRelativeError(b, DirectPacked(x)), 1e-12) << n;
        EXPECT_EQ(t.w, w1024);
    }
    // Starting small and growing rebuilds the tables for the longer length.
    Tables g(2048);
    for (int n : {8, 2048}) {
        const std::vector<double> x = RandomDoubles((size_t)n, (uint32_t)(3 * n));
        std::vector<double> b = x;
        rdft(n, 1, b.data(), g.ip.data(), g.w.data());
        EXPECT_LE(MaxRelativeError(b, DirectPacked(x)), 1e-12) << n;
    }
}

TEST(RealDft, InverseUndoesForwardUpToHalfTheLength)
{
    for (int n = 4; n <= 4096; n *= 4) {
        const std::vector<double> x = RandomDoubles((size_t)n, (uint32_t)(n + 5));
        std::vector<double> a = x;
        Tables t(n);
        rdft(n, 1, a.data(), t.ip.data(), t.w.data());
        rdft(n, -1, a.data(), t.ip.data(), t.w.data());
        for (int j = 0; j < n; ++j) ASSERT_NEAR(a[j] * 2.0 / n, x[j], 1e-13) << n << ":" << j;
    }
}

TEST(RealDft, RejectsLengthsAndDirectionsItCannotDo)
{
    corvus_test::ExpectFatal("fft", {
        {[] { double a[6] = {}; int ip[4] = {}; double w[3] = {}; rdft(6, 1, a, ip, w); },
         "rdft: length 6 is not a power of two of at least 2"},
        {[] { double a[1] = {}; int ip[2] = {}; double w[1] = {}; rdft(1, 1, a, ip, w); },
         "rdft: length 1 is not a power of two of at least 2"},
        {[] { double a[4] = {}; int ip[3] = {}; double w[2] = {}; rdft(4, 0, a, ip, w); },
         "rdft: direction 0 is neither 1 nor -1"},
    });
}
