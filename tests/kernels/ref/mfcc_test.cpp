// The mel filterbank, the DCT and the MFCC pipeline against double-precision
// implementations of the same formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersAudio.h"
#include "audio_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using audio_test::RefDct;
using audio_test::RefFilterbank;
using audio_test::RefMfcc;
using corvus_test::ExpectFatal;
using corvus_test::Shape;

namespace {

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

TEST(MfccFilterbank, BinsOutsideTheLimitsAreIgnored)
{
    // 0.5 * 16 / 8 = 1 Hz per bin; start = (int)(2 / 1 + 1.5) = 3, end = 6.
    MfccMelFilterbank* fb = MfccMelFilterbankCreate();
    MfccMelFilterbankInitialize(fb, 9, 16.0f, 2, 2.0f, 6.5f);
    EXPECT_EQ(fb->start_index, 3);
    EXPECT_EQ(fb->end_index, 6);
    for (int i : {0, 1, 2, 7, 8}) {
        EXPECT_EQ(fb->band_mapper[i], -2) << i;
        EXPECT_EQ(fb->weights[i], 0.0f) << i;
    }
    std::vector<float> power(9, 0.0f);
    for (int i : {0, 1, 2, 7, 8}) power[i] = 1e6f;  // outside: must not count
    float out[2];
    MfccMelFilterbankCompute(fb, power.data(), out);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.0f);
    // One bin inside contributes its magnitude split between its two bands.
    power[4] = 16.0f;
    MfccMelFilterbankCompute(fb, power.data(), out);
    const int ch = fb->band_mapper[4];
    const float wv = 4.0f * fb->weights[4];
    float expect[2] = {0.0f, 0.0f};
    if (ch >= 0) expect[ch] += wv;
    if (ch + 1 < 2) expect[ch + 1] += 4.0f - wv;
    EXPECT_EQ(out[0], expect[0]);
    EXPECT_EQ(out[1], expect[1]);
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
    const uint32_t frames = 2, bins = 65, coefficients = 6, channels = 12;
    std::vector<float> x = RandomPowers(frames * bins, 8);
    for (float& v : x) v = std::fmin(v, 6e4f);  // within half range
    std::vector<uint16_t> h(x.size());
    float32_to_float16(x.data(), h.data(), (uint32_t)x.size());
    float16_to_float32(h.data(), x.data(), (uint32_t)x.size());
    const MfccParams params = {1900.0f, 40.0f, channels, coefficients, 4000};

    Tensor* in32 = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, frames, bins}), false);
    SetTensorData(in32, x.data());
    Tensor* out32 = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, frames, coefficients}), true);
    MfccCalculations(4000.0f, in32, out32, &params);
    std::vector<uint16_t> expect(frames * coefficients);
    float32_to_float16((const float*)out32->data, expect.data(), (uint32_t)expect.size());

    Tensor* in16[] = {CreateTensor(DT_FLOAT16, DL_NONE, 3, Shape({1, frames, bins}), false)};
    Layer* layer = CreateLayer("mfcc16", OP_Mfcc, nullptr, in16, 1, 0);
    SetTensorData(layer->kernel->input[0], h.data());
    layer->kernel->output[0] = CreateTensor(DT_FLOAT16, DL_NONE, 3, Shape({1, frames, coefficients}), true);
    MfccParams* p = (MfccParams*)malloc(sizeof(MfccParams));
    *p = params;
    layer->kernel->params = p;
    nn_kernel_fn_list[kfname_Mfcc_ref]->execute(layer->kernel);
    EXPECT_EQ(memcmp(layer->kernel->output[0]->data, expect.data(), expect.size() * 2), 0);
    DestroyLayer(layer);
    DestroyTensor(in32);
    DestroyTensor(out32);
}

TEST(MfccKernel, FatalChecks)
{
    ExpectFatal("mfcc", {
        {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, 100.0f, 0, 0.0f, 10.0f); },
         "MfccMelFilterbankInitialize: filterbank->num_channels < 1"},
        {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, 0.0f, 4, 0.0f, 10.0f); },
         "MfccMelFilterbankInitialize: filterbank->sample_rate <= 0"},
        {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, NAN, 4, 0.0f, 10.0f); },
         "MfccMelFilterbankInitialize: filterbank->sample_rate <= 0"},
        {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 1, 100.0f, 4, 0.0f, 10.0f); },
         "MfccMelFilterbankInitialize: filterbank->input_length < 2"},
        {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, 100.0f, 4, -1.0f, 10.0f); },
         "MfccMelFilterbankInitialize: lower_frequency_limit < 0"},
        {[] { MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, 100.0f, 4, 10.0f, 10.0f); },
         "MfccMelFilterbankInitialize: upper_frequency_limit <= lower_frequency_limit"},
        {[] { MfccMelFilterbankCompute(nullptr, nullptr, nullptr); },
         "MfccMelFilterbankCompute: Filterbank was not initialized."},
        {[] { MfccMelFilterbankCompute(MfccMelFilterbankCreate(), nullptr, nullptr); },
         "MfccMelFilterbankCompute: Filterbank fields was not initialized."},
        {[] {
             MfccMelFilterbank* fb = MfccMelFilterbankCreate();
             MfccMelFilterbankInitialize(fb, 10, 100.0f, 4, 0.0f, 40.0f);
             MfccMelFilterbankCompute(fb, nullptr, nullptr);
         },
         "MfccMelFilterbankCompute: Input pointer or output is null."},
        {[] {
             // The upper limit is above the Nyquist frequency: the end index passes the input.
             MfccMelFilterbank* fb = MfccMelFilterbankCreate();
             MfccMelFilterbankInitialize(fb, 10, 100.0f, 4, 0.0f, 80.0f);
             float in[10] = {}, out[4];
             MfccMelFilterbankCompute(fb, in, out);
         },
         "MfccMelFilterbankCompute: Filterbank->input_length <= filterbank->end_index!"},
        {[] { MfccDctInitialize(MfccDctCreate(), 4, 0); }, "MfccDctInitialize: coefficient_count < 1"},
        {[] { MfccDctInitialize(MfccDctCreate(), 0, 1); }, "MfccDctInitialize: input_length < 1"},
        {[] { MfccDctInitialize(MfccDctCreate(), 4, 5); }, "MfccDctInitialize: coefficient_count > input_length"},
        {[] { MfccInitialize(nullptr, 10, 100.0f); }, "MfccInitialize: Mfcc pointer is null\n"},
        {[] {
             float in[10] = {}, out[4];
             MfccCompute(MfccCreate(4, 2, 0.0f, 40.0f), in, out);
         },
         "MfccCompute: Mfcc structure was not initialized correctly."},
        {[] { nn_kernel_fn_list[kfname_Mfcc_ref]->execute(nullptr); }, "Execute_Mfcc_ref: Kernel pointer is null"},
        {[] {
             // A hostile filterbank size is refused before anything is allocated for it.
             MfccMelFilterbankInitialize(MfccMelFilterbankCreate(), 10, 100.0f, 1 << 30, 0.0f, 40.0f);
         },
         "MfccMelFilterbankInitialize: filterbank->num_channels (1073741824) is above 4096"},
    });
}
