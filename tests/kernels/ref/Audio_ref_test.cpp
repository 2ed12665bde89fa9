// The real DFT, the spectrogram and the MFCC pipeline against direct
// double-precision implementations of their formulas (half precision in
// HalfPrecision_ref_test).

#include <cmath>
#include <cstdint>
#include <utility>

#include "LayersAudio.h"
#include "test_util.h"

using corvus_test::ExpectFatal;

namespace {

// The formulas as direct sums, nothing shared with the library's code.
constexpr double kPi = 3.14159265358979323846;

inline std::vector<float> RandomSignal(size_t n, uint32_t seed, float amplitude = 1.0f)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

inline uint32_t NextPow2(uint32_t n) { return n <= 1 ? 1 : 2 * NextPow2((n + 1) / 2); }

// Bins 0..n/2 of x zero-padded to n: (sum x cos, sum x sin) of 2 pi j k / n.
inline std::vector<std::pair<double, double>> RefDft(const std::vector<double>& x, uint32_t n)
{
    std::vector<double> c(n), s(n);
    for (uint32_t m = 0; m < n; ++m) c[m] = std::cos(2.0 * kPi * m / n), s[m] = std::sin(2.0 * kPi * m / n);
    std::vector<std::pair<double, double>> out(n / 2 + 1);
    for (uint32_t k = 0; k <= n / 2; ++k)
        for (uint32_t j = 0; j < x.size(); ++j) {
            const uint32_t m = (uint32_t)(((uint64_t)j * k) % n);
            out[k].first += x[j] * c[m], out[k].second += x[j] * s[m];
        }
    return out;
}

// Power spectrogram of interleaved samples [samples, channels] as
// [channels][frames][fft/2 + 1], over periodic-Hann-windowed frames.
inline std::vector<double> RefSpectrogram(const std::vector<float>& interleaved, uint32_t samples, uint32_t channels,
                                          uint32_t window, uint32_t stride)
{
    const uint32_t fft = NextPow2(window), frames = (samples - window) / stride + 1;
    std::vector<double> out, x(window);
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t t = 0; t < frames; ++t) {
            for (uint32_t j = 0; j < window; ++j)
                x[j] = (double)interleaved[((size_t)t * stride + j) * channels + c] *
                       (0.5 - 0.5 * std::cos(2.0 * kPi * j / window));
            for (const auto& b : RefDft(x, fft)) out.push_back(b.first * b.first + b.second * b.second);
        }
    return out;
}

inline double RefMel(double hz) { return 1127.0 * std::log1p(hz / 700.0); }

// Triangular mel filterbank as described: band mapper, weights, and the
// weighted sums of the bin magnitudes.
struct RefFilterbank {
    std::vector<double> center, weights;
    std::vector<int> mapper;
    int start = 0, end = 0, channels = 0;

    RefFilterbank(int bins, double sampleRate, int numChannels, double lower, double upper) : channels(numChannels)
    {
        const double melLow = RefMel(lower);
        const double spacing = (RefMel(upper) - melLow) / (numChannels + 1);
        for (int i = 0; i <= numChannels; ++i) center.push_back(melLow + spacing * (i + 1));
        const double hzPerBin = 0.5 * sampleRate / (bins - 1);
        start = (int)(lower / hzPerBin + 1.5);
        end = (int)(upper / hzPerBin);
        mapper.assign(bins, -2);
        weights.assign(bins, 0.0);
        for (int i = start; i <= end && i < bins; ++i) {
            const double mel = RefMel(i * hzPerBin);
            int ch = 0;
            while (ch < numChannels && center[ch] < mel) ++ch;
            mapper[i] = ch - 1;
            weights[i] = ch - 1 >= 0 ? (center[ch] - mel) / (center[ch] - center[ch - 1])
                                     : (center[0] - mel) / (center[0] - melLow);
        }
    }

    std::vector<double> Compute(const float* power) const
    {
        std::vector<double> out(channels, 0.0);
        for (int i = start; i <= end; ++i) {
            const double v = std::sqrt((double)power[i]);
            const double wv = v * weights[i];
            if (mapper[i] >= 0) out[mapper[i]] += wv;
            if (mapper[i] + 1 < channels) out[mapper[i] + 1] += v - wv;
        }
        return out;
    }
};

// Log of the bands (floored at 1e-12), then the orthonormal DCT-II.
inline std::vector<double> RefMfcc(const RefFilterbank& fb, const float* power, int coefficients)
{
    std::vector<double> bands = fb.Compute(power), out(coefficients, 0.0);
    const int n = (int)bands.size();
    for (int i = 0; i < coefficients; ++i)
        for (int j = 0; j < n; ++j)
            out[i] += std::log(std::max(bands[j], 1e-12)) * std::sqrt(2.0 / n) * std::cos(kPi * i * (j + 0.5) / n);
    return out;
}

struct Tables {
    std::vector<int> ip;
    std::vector<double> w;
    explicit Tables(int n) : ip(2 + (int)std::sqrt((double)(n / 2)), 0), w(n / 2 > 0 ? n / 2 : 1, 0.0) {}
};

// The forward transform of random x with tables t, packed as [sum x,
// sum x (-1)^j, C1, S1, C2, S2, ...]: every value within 1e-9 of itself plus
// a trace of the peak. Leaves the transform in a and returns x.
std::vector<double> ExpectDft(int n, uint32_t seed, Tables& t, std::vector<double>& a)
{
    const std::vector<float> r = RandomSignal((size_t)n, seed);
    const std::vector<double> x(r.begin(), r.end());
    const auto bins = RefDft(x, (uint32_t)n);
    std::vector<double> ref = {bins[0].first, bins[n / 2].first};
    for (int k = 1; k < n / 2; ++k) ref.insert(ref.end(), {bins[k].first, bins[k].second});
    a = x;
    rdft(n, 1, a.data(), t.ip.data(), t.w.data());
    double peak = 0.0;
    for (double v : ref) peak = std::max(peak, std::fabs(v));
    for (int i = 0; i < n; ++i) EXPECT_NEAR(a[i], ref[i], 1e-9 * std::fabs(ref[i]) + 1e-12 * peak) << n << ":" << i;
    return x;
}

std::vector<float> RunSpectrogram(const std::vector<float>& samples, uint32_t count, uint32_t channels, uint32_t window,
                                  uint32_t stride, bool squared)
{
    corvus_test::TensorPtr in = corvus_test::NewTensor(DT_FLOAT32, {count, channels}, {}, false);
    SetTensorData(in.get(), (void*)samples.data());
    const uint32_t frames = (count - window) / stride + 1, bins = NextPow2(window) / 2 + 1;
    corvus_test::TensorPtr out = corvus_test::NewTensor(DT_FLOAT32, {channels, frames, bins});
    const AudioSpectrogramParams params = {window, stride, squared};
    AudioSpectrogram_FP32(in.get(), out.get(), &params);
    return corvus_test::ValuesOf<float>(out.get());
}

// Spectrogram-like rows: positive powers over several decades.
std::vector<float> RandomPowers(size_t n, uint32_t seed)
{
    std::vector<float> v = RandomSignal(n, seed, 3.0f);
    for (float& x : v) x = std::pow(10.0f, x);
    return v;
}

// Bin counts of a 256-point and 512-point transform and one that is neither;
// limits chosen away from the truncation points of the start and end index.
const struct {
    int bins;
    float rate;
    int channels;
    float lower, upper;
} kCases[] = {
    {257, 16000.0f, 40, 20.0f, 4000.0f},   {129, 8000.0f, 20, 0.0f, 3900.0f}, {201, 22050.0f, 13, 300.0f, 7600.0f},
    {257, 44100.0f, 64, 125.0f, 20000.0f}, {33, 1000.0f, 5, 10.0f, 480.0f},
};

}  // namespace

// The inverse gives n/2 times the input back. Tables built for 1024 serve
// shorter lengths unchanged; tables started small grow for a longer length.
TEST(AudioSpectrogramKernel, RealDftAndSpectrogramsMatchTheDirectDft)
{
    std::vector<double> a;
    for (int n = 2; n <= 4096; n *= 2) {
        Tables t(n);
        const std::vector<double> x = ExpectDft(n, (uint32_t)n, t, a);
        rdft(n, -1, a.data(), t.ip.data(), t.w.data());
        for (int j = 0; j < n; ++j) ASSERT_NEAR(a[j] * 2.0 / n, x[j], 1e-13) << n << ":" << j;
    }
    Tables t(1024), g(2048);
    ExpectDft(1024, 1, t, a);
    const std::vector<double> w1024 = t.w;
    for (int n : {4, 16, 256, 512}) {
        ExpectDft(n, (uint32_t)(7 * n), t, a);
        EXPECT_EQ(t.w, w1024);
    }
    for (int n : {8, 2048}) ExpectDft(n, (uint32_t)(3 * n), g, a);
    auto bad = [](int n, int dir) {
        std::vector<double> a(8), w(4);
        std::vector<int> ip(4);
        rdft(n, dir, a.data(), ip.data(), w.data());
    };
    ExpectFatal("fft", {{[&] { bad(6, 1); }, "rdft: length 6 is not a power of two of at least 2"},
                        {[&] { bad(4, 0); }, "rdft: direction 0 is neither 1 nor -1"}});

    // Power and magnitude (the square root of the power, exactly) against the
    // direct DFT. 256: no padding; 400: 112 zeros; 3 and 2: the smallest
    // transforms; 160 with a stride larger than the window; a window of all
    // samples gives one frame.
    const uint32_t cases[][4] = {{1000, 2, 256, 128}, {1200, 1, 400, 160}, {9, 3, 3, 2},    {6, 2, 2, 1},
                                 {700, 1, 160, 200},  {513, 2, 257, 64},   {400, 2, 400, 7}};
    for (const auto& c : cases) {
        const std::vector<float> x = RandomSignal((size_t)c[0] * c[1], c[2]);
        const std::vector<float> pow = RunSpectrogram(x, c[0], c[1], c[2], c[3], true);
        const std::vector<float> mag = RunSpectrogram(x, c[0], c[1], c[2], c[3], false);
        // Relative, with a floor tied to the peak (float rounding of the parts before squaring).
        const std::vector<double> ref = RefSpectrogram(x, c[0], c[1], c[2], c[3]);
        ASSERT_EQ(pow.size(), ref.size());
        const double peak = *std::max_element(ref.begin(), ref.end());
        for (size_t i = 0; i < pow.size(); ++i) {
            ASSERT_NEAR(pow[i], ref[i], 2e-6 * ref[i] + 1e-7 * peak) << i;
            ASSERT_EQ(mag[i], sqrtf(pow[i])) << i;
        }
    }
    corvus_test::TensorPtr in = corvus_test::NewTensor(DT_FLOAT32, {20, 2}),
                           out = corvus_test::NewTensor(DT_FLOAT32, {2, 13, 5});
    const AudioSpectrogramParams p = {8, 3, true};
    ExpectFatal("AudioSpectrogram",
                {{[&] { AudioSpectrogram_FP32(in.get(), out.get(), &p); },
                  "AudioSpectrogram_FP32: output shape does not match 2 channels, 5 frames, 5 bins"}});
}

// The filterbank's sums (which its mapper and weights decide), then the whole
// MFCC pipeline, against the formulas. Values below the floor become the log
// of the floor: every band is log(1e-12), coefficient 0 is
// sqrt(2/10) * 10 * log(1e-12), the others vanish.
TEST(MfccKernel, FilterbankAndPipelineMatchTheFormulasAndFloorTinyValues)
{
    for (const auto& c : kCases) {
        MfccMelFilterbank* fb = MfccMelFilterbankCreate();
        MfccMelFilterbankInitialize(fb, c.bins, c.rate, c.channels, c.lower, c.upper);
        const RefFilterbank ref(c.bins, c.rate, c.channels, c.lower, c.upper);
        const std::vector<float> power = RandomPowers((size_t)c.bins, (uint32_t)c.bins);
        std::vector<float> out(c.channels);
        MfccMelFilterbankCompute(fb, power.data(), out.data());
        const std::vector<double> expect = ref.Compute(power.data());
        for (int ch = 0; ch < c.channels; ++ch) EXPECT_NEAR(out[ch], expect[ch], 1e-5 * expect[ch]) << ch;
        MfccMelFilterbankDestroy(fb);
        const int coefficients = c.channels < 13 ? c.channels : 13;
        Mfcc* mfcc = MfccCreate((uint32_t)c.channels, (uint32_t)coefficients, c.lower, c.upper);
        MfccInitialize(mfcc, c.bins, c.rate);
        for (uint32_t row = 0; row < 4; ++row) {
            const std::vector<float> spectrum = RandomPowers((size_t)c.bins, 100 * row + (uint32_t)c.bins);
            MfccCompute(mfcc, spectrum.data(), out.data());
            const std::vector<double> want = RefMfcc(ref, spectrum.data(), coefficients);
            for (int i = 0; i < coefficients; ++i)
                EXPECT_NEAR(out[i], want[i], 1e-4 * (1.0 + std::fabs(want[i]))) << c.bins << ":" << i;
        }
        MfccDestroy(mfcc);
    }
    Mfcc* mfcc = MfccCreate(10, 4, 20.0f, 4000.0f);
    MfccInitialize(mfcc, 257, 16000.0f);
    std::vector<float> zeros(257, 0.0f), tiny(257, 1e-30f);
    float a[4], b[4];
    MfccCompute(mfcc, zeros.data(), a);
    MfccCompute(mfcc, tiny.data(), b);
    EXPECT_NEAR(a[0], std::sqrt(0.2) * 10.0 * std::log(1e-12), 1e-3);
    for (int i = 1; i < 4; ++i) EXPECT_NEAR(a[i], 0.0, 1e-4) << i;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(a[i], b[i]) << i;
    MfccDestroy(mfcc);

    // Sizes that would read past the input or allocate absurdly are refused.
    ExpectFatal(
        "mfcc",
        {
            {[] {
                 // The upper limit is above the Nyquist frequency: the end index passes the input.
                 MfccMelFilterbank* fb = MfccMelFilterbankCreate();
                 MfccMelFilterbankInitialize(fb, 10, 100.0f, 4, 0.0f, 80.0f);
                 float in[10] = {}, out[4];
                 MfccMelFilterbankCompute(fb, in, out);
             },
             "MfccMelFilterbankCompute: Filterbank->input_length <= filterbank->end_index!"},
            {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, 100.0f, 1 << 30, 0.0f, 40.0f); },
             "MfccMelFilterbankInitialize: filterbank->num_channels (1073741824) is above 4096"},
            {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, NAN, 4, 0.0f, 10.0f); },
             "MfccMelFilterbankInitialize: filterbank->sample_rate <= 0"},
            {[] { MfccDctInitialize(MfccDctCreate(), 4, 5); }, "MfccDctInitialize: coefficient_count > input_length"},
        });
}
