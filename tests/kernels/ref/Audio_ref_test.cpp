// The real DFT, the spectrogram and the MFCC pipeline against direct
// double-precision implementations of their formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersAudio.h"
#include "audio_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using audio_test::RandomSignal;
using audio_test::RefDct;
using audio_test::RefFilterbank;
using audio_test::RefMfcc;
using audio_test::RefSpectrogram;
using corvus_test::ExpectFatal;
using corvus_test::Shape;

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

struct Tables {
    std::vector<int> ip;
    std::vector<double> w;
    explicit Tables(int n) : ip(2 + (int)std::sqrt((double)(n / 2)), 0), w(n / 2 > 0 ? n / 2 : 1, 0.0) {}
};

// The forward transform of random x with tables t: every bin within 1e-9 of
// itself plus a trace of the peak. Returns x.
std::vector<double> ExpectDft(int n, uint32_t seed, Tables& t, std::vector<double>& a)
{
    const std::vector<float> r = RandomSignal((size_t)n, seed);
    const std::vector<double> x(r.begin(), r.end()), ref = DirectPacked(x);
    a = x;
    rdft(n, 1, a.data(), t.ip.data(), t.w.data());
    double peak = 0.0;
    for (double v : ref) peak = std::max(peak, std::fabs(v));
    for (int i = 0; i < n; ++i) EXPECT_NEAR(a[i], ref[i], 1e-9 * std::fabs(ref[i]) + 1e-12 * peak) << n << ":" << i;
    return x;
}

// Rounds x to half precision in place and returns the halves.
std::vector<uint16_t> ToHalf(std::vector<float>& x)
{
    std::vector<uint16_t> h(x.size());
    float32_to_float16(x.data(), h.data(), (uint32_t)x.size());
    float16_to_float32(h.data(), x.data(), (uint32_t)x.size());
    return h;
}

// Kernel fn of op over half input h must give `expected` (computed in
// float32 from the same values) rounded once to half.
void ExpectHalfRun(LayerOpType op, kfname fn, const void* params, size_t size, const std::vector<uint16_t>& h,
                   const std::vector<uint32_t>& in, const std::vector<uint32_t>& out, const float* expected)
{
    Tensor* in16[] = {CreateTensor(DT_FLOAT16, DL_NONE, (uint32_t)in.size(), Shape(in), false)};
    Layer* layer = CreateLayer("half", op, nullptr, in16, 1, 0);
    SetTensorData(layer->kernel->input[0], (void*)h.data());
    layer->kernel->output[0] = CreateTensor(DT_FLOAT16, DL_NONE, (uint32_t)out.size(), Shape(out), true);
    layer->kernel->params = memcpy(malloc(size), params, size);
    nn_kernel_fn_list[fn]->execute(layer->kernel);
    std::vector<uint16_t> want(GetTensorSize(layer->kernel->output[0]));
    float32_to_float16(expected, want.data(), (uint32_t)want.size());
    EXPECT_EQ(memcmp(layer->kernel->output[0]->data, want.data(), want.size() * 2), 0);
    DestroyLayer(layer);
}

struct SpectrogramRun {
    std::vector<float> out;
    uint32_t frames, bins;
};

SpectrogramRun RunSpectrogram(const std::vector<float>& samples, uint32_t count, uint32_t channels, uint32_t window, uint32_t stride,
                bool squared)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({count, channels}), false);
    SetTensorData(in, (void*)samples.data());
    const uint32_t frames = (count - window) / stride + 1;
    const uint32_t bins = audio_test::NextPow2(window) / 2 + 1;
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({channels, frames, bins}), true);
    const AudioSpectrogramParams params = {window, stride, squared};
    AudioSpectrogram_FP32(in, out, &params);
    SpectrogramRun r{std::vector<float>((float*)out->data, (float*)out->data + GetTensorSize(out)), frames, bins};
    DestroyTensor(in);
    DestroyTensor(out);
    return r;
}

// Relative to each value, with a floor tied to the largest value (float
// rounding of the real and imaginary parts before squaring).
void ExpectClose(const std::vector<float>& got, const std::vector<double>& ref, double rel)
{
    ASSERT_EQ(got.size(), ref.size());
    double peak = 0.0;
    for (double r : ref) peak = std::max(peak, r);
    for (size_t i = 0; i < ref.size(); ++i)
        ASSERT_NEAR(got[i], ref[i], rel * ref[i] + 1e-7 * peak) << "element " << i;
}

// Spectrogram-like rows: positive powers over several decades.
std::vector<float> RandomPowers(size_t n, uint32_t seed)
{
    std::vector<float> v = audio_test::RandomSignal(n, seed, 3.0f);
    for (float& x : v) x = std::pow(10.0f, x);
    return v;
}

struct FilterbankCase {
    int bins;
    float rate;
    int channels;
    float lower, upper;
};

// Bin counts of a 256-point and 512-point transform and one that is neither;
// limits chosen away from the truncation points of the start and end index.
const FilterbankCase kCases[] = {
    {257, 16000.0f, 40, 20.0f, 4000.0f}, {129, 8000.0f, 20, 0.0f, 3900.0f}, {201, 22050.0f, 13, 300.0f, 7600.0f},
    {257, 44100.0f, 64, 125.0f, 20000.0f}, {33, 1000.0f, 5, 10.0f, 480.0f},
};

}  // namespace

// Every bin within 1e-9 of itself plus a trace of the peak; the inverse
// gives n/2 times the input back.
// The inverse gives n/2 times the input back.
TEST(RealDft, MatchesDirectDftAndInvertsForEveryPowerOfTwoUpTo4096)
{
    for (int n = 2; n <= 4096; n *= 2) {
        Tables t(n);
        std::vector<double> a;
        const std::vector<double> x = ExpectDft(n, (uint32_t)n, t, a);
        rdft(n, -1, a.data(), t.ip.data(), t.w.data());
        for (int j = 0; j < n; ++j) ASSERT_NEAR(a[j] * 2.0 / n, x[j], 1e-13) << n << ":" << j;
    }
}

// Tables built for 1024 serve shorter lengths unchanged; tables started
// small are rebuilt for a longer length.
TEST(RealDft, TablesServeShorterLengthsAndGrowForLongerOnes)
{
    Tables t(1024), g(2048);
    std::vector<double> a;
    ExpectDft(1024, 1, t, a);
    const std::vector<double> w1024 = t.w;
    for (int n : {4, 16, 256, 512}) {
        ExpectDft(n, (uint32_t)(7 * n), t, a);
        EXPECT_EQ(t.w, w1024);
    }
    for (int n : {8, 2048}) ExpectDft(n, (uint32_t)(3 * n), g, a);
}

TEST(RealDft, RejectsLengthsAndDirectionsItCannotDo)
{
    corvus_test::ExpectFatal("fft", {
        {[] { double a[6] = {}; int ip[4] = {}; double w[3] = {}; rdft(6, 1, a, ip, w); },
         "rdft: length 6 is not a power of two of at least 2"},
        {[] { double a[4] = {}; int ip[3] = {}; double w[2] = {}; rdft(4, 0, a, ip, w); },
         "rdft: direction 0 is neither 1 nor -1"},
    });
}

// Power and magnitude (the square root of the power, exactly) against the
// direct DFT, for power-of-two and other window sizes.
TEST(AudioSpectrogramKernel, MatchesDirectDftForPowerOfTwoAndOtherWindows)
{
    struct Case {
        uint32_t samples, channels, window, stride;
    };
    // 256: no padding, 129 bins; 400: 112 zeros, 257 bins; 3 and 2: the
    // smallest transforms; 160 with a stride larger than the window; a window
    // of all samples gives one frame.
    const Case cases[] = {{1000, 2, 256, 128}, {1200, 1, 400, 160}, {9, 3, 3, 2},     {6, 2, 2, 1},
                          {700, 1, 160, 200},  {513, 2, 257, 64},  {400, 2, 400, 7}};
    for (const Case& c : cases) {
        const std::vector<float> x = RandomSignal((size_t)c.samples * c.channels, c.window);
        const SpectrogramRun pow = RunSpectrogram(x, c.samples, c.channels, c.window, c.stride, true);
        const SpectrogramRun mag = RunSpectrogram(x, c.samples, c.channels, c.window, c.stride, false);
        uint32_t frames, bins;
        ExpectClose(pow.out, RefSpectrogram(x, c.samples, c.channels, c.window, c.stride, true, &frames, &bins), 2e-6);
        EXPECT_EQ(pow.frames, frames);
        EXPECT_EQ(pow.bins, bins);
        ExpectClose(mag.out, RefSpectrogram(x, c.samples, c.channels, c.window, c.stride, false), 1e-6);
        for (size_t i = 0; i < pow.out.size(); ++i) ASSERT_EQ(mag.out[i], sqrtf(pow.out[i])) << i;
    }
}

TEST(AudioSpectrogramKernel, ConstantSignalHasOnlyDcAndFirstBins)
{
    // A constant 1 under a periodic Hann window of length N (a power of two)
    // has X[0] = N/2, X[1] = -N/4 and nothing else.
    const std::vector<float> ones(64, 1.0f);
    const SpectrogramRun r = RunSpectrogram(ones, 64, 1, 64, 1, true);
    ASSERT_EQ(r.out.size(), 33u);
    EXPECT_NEAR(r.out[0], 32.0f * 32.0f, 1e-3);
    EXPECT_NEAR(r.out[1], 16.0f * 16.0f, 1e-3);
    for (uint32_t k = 2; k < 33; ++k) EXPECT_NEAR(r.out[k], 0.0f, 1e-9) << k;
}

TEST(AudioSpectrogramKernel, HalfPrecisionRunsThroughFloat32)
{
    std::vector<float> x = RandomSignal(300 * 2, 3);
    const std::vector<uint16_t> h = ToHalf(x);
    const SpectrogramRun ref = RunSpectrogram(x, 300, 2, 100, 50, false);
    const AudioSpectrogramParams params = {100, 50, false};
    ExpectHalfRun(OP_AudioSpectrogram, kfname_AudioSpectrogram_ref, &params, sizeof(params), h, {300, 2},
                  {2, ref.frames, ref.bins}, ref.out.data());
}

TEST(AudioSpectrogramKernel, OutputOfAnotherShapeIsRefused)
{
    static float samples[40];
    ExpectFatal("AudioSpectrogram", {{[] {
                                          Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({20, 2}), false);
                                          SetTensorData(in, samples);
                                          Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 13, 5}), true);
                                          const AudioSpectrogramParams p = {8, 3, true};
                                          AudioSpectrogram_FP32(in, out, &p);
                                      },
                                      "AudioSpectrogram_FP32: output shape does not match 2 channels, 5 frames, 5 bins"}});
}

TEST(MfccFilterbank, MapperWeightsAndSumsMatchTheFormulas)
{
    for (const FilterbankCase& c : kCases) {
        MfccMelFilterbank* fb = MfccMelFilterbankCreate();
        MfccMelFilterbankInitialize(fb, c.bins, c.rate, c.channels, c.lower, c.upper);
        const RefFilterbank ref(c.bins, c.rate, c.channels, c.lower, c.upper);
        EXPECT_EQ(fb->start_index, ref.start) << c.bins;
        EXPECT_EQ(fb->end_index, ref.end) << c.bins;
        for (int i = 0; i <= c.channels; ++i) EXPECT_NEAR(fb->center_frequencies[i], ref.center[i], 1e-3) << i;
        for (int i = 0; i < c.bins; ++i) {
            EXPECT_EQ(fb->band_mapper[i], ref.mapper[i]) << c.bins << ":" << i;
            EXPECT_NEAR(fb->weights[i], ref.weights[i], 1e-4) << c.bins << ":" << i;
        }
        const std::vector<float> power = RandomPowers((size_t)c.bins, (uint32_t)c.bins);
        std::vector<float> out(c.channels);
        MfccMelFilterbankCompute(fb, power.data(), out.data());
        const std::vector<double> expect = ref.Compute(power.data());
        for (int ch = 0; ch < c.channels; ++ch) EXPECT_NEAR(out[ch], expect[ch], 1e-5 * expect[ch]) << ch;
        MfccMelFilterbankDestroy(fb);
    }
}

TEST(MfccFilterbank, LimitsByHand)
{
    // 0.5 * 16 / 8 = 1 Hz per bin; start = (int)(2 / 1 + 1.5) = 3, end = 6.
    MfccMelFilterbank* fb = MfccMelFilterbankCreate();
    MfccMelFilterbankInitialize(fb, 9, 16.0f, 2, 2.0f, 6.5f);
    EXPECT_EQ(fb->start_index, 3);
    EXPECT_EQ(fb->end_index, 6);
    MfccMelFilterbankDestroy(fb);
}

TEST(MfccDct, MatchesTheCosineSum)
{
    for (int n : {1, 2, 13, 40}) {
        for (int count : {1, n / 2 > 0 ? n / 2 : 1, n}) {
            MfccDct* dct = MfccDctCreate();
            MfccDctInitialize(dct, n, count);
            const std::vector<float> in = audio_test::RandomSignal((size_t)n, (uint32_t)(n + count), 20.0f);
            std::vector<float> out(count);
            MfccDctCompute(dct, in.data(), out.data());
            const std::vector<double> ref = RefDct(std::vector<double>(in.begin(), in.end()), count);
            for (int i = 0; i < count; ++i) EXPECT_NEAR(out[i], ref[i], 2e-5 * (1.0 + std::fabs(ref[i]))) << n << ":" << i;
            MfccDctDestroy(dct);
        }
    }
}

TEST(MfccCompute, MatchesDoublePrecisionPipeline)
{
    for (const FilterbankCase& c : kCases) {
        const int coefficients = c.channels < 13 ? c.channels : 13;
        Mfcc* mfcc = MfccCreate((uint32_t)c.channels, (uint32_t)coefficients, c.lower, c.upper);
        MfccInitialize(mfcc, c.bins, c.rate);
        const RefFilterbank fb(c.bins, c.rate, c.channels, c.lower, c.upper);
        for (uint32_t row = 0; row < 4; ++row) {
            const std::vector<float> power = RandomPowers((size_t)c.bins, 100 * row + (uint32_t)c.bins);
            std::vector<float> out(coefficients);
            MfccCompute(mfcc, power.data(), out.data());
            const std::vector<double> ref = RefMfcc(fb, power.data(), coefficients);
            for (int i = 0; i < coefficients; ++i)
                EXPECT_NEAR(out[i], ref[i], 1e-4 * (1.0 + std::fabs(ref[i]))) << c.bins << ":" << i;
        }
        MfccDestroy(mfcc);
    }
}

TEST(MfccCompute, ValuesBelowTheFloorBecomeLogOfTheFloor)
{
    Mfcc* mfcc = MfccCreate(10, 4, 20.0f, 4000.0f);
    MfccInitialize(mfcc, 257, 16000.0f);
    std::vector<float> zeros(257, 0.0f), tiny(257, 1e-30f);
    float a[4], b[4];
    MfccCompute(mfcc, zeros.data(), a);
    MfccCompute(mfcc, tiny.data(), b);
    // Every band is log(1e-12): coefficient 0 is sqrt(2/10) * 10 * log(1e-12), the others vanish.
    const double c0 = std::sqrt(0.2) * 10.0 * std::log(1e-12);
    EXPECT_NEAR(a[0], c0, 1e-3);
    for (int i = 1; i < 4; ++i) EXPECT_NEAR(a[i], 0.0, 1e-4) << i;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(a[i], b[i]) << i;
    MfccDestroy(mfcc);
}

TEST(MfccKernel, HalfPrecisionRunsThroughFloat32)
{
    std::vector<float> x = RandomPowers(2 * 65, 8);
    for (float& v : x) v = std::fmin(v, 6e4f);  // within half range
    const std::vector<uint16_t> h = ToHalf(x);
    const MfccParams params = {1900.0f, 40.0f, 12, 6, 4000};
    Tensor* in32 = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, 2, 65}), false);
    SetTensorData(in32, x.data());
    Tensor* out32 = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, 2, 6}), true);
    MfccCalculations(4000.0f, in32, out32, &params);
    ExpectHalfRun(OP_Mfcc, kfname_Mfcc_ref, &params, sizeof(params), h, {1, 2, 65}, {1, 2, 6}, (const float*)out32->data);
    DestroyTensor(in32);
    DestroyTensor(out32);
}

// Sizes that would read past the input or allocate absurdly are refused.
TEST(MfccKernel, HostileSizesAreRefused)
{
    ExpectFatal("mfcc", {
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
