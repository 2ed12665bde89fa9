// A hand-built model running audio through the spectrogram and MFCC layers,
// against double-precision references.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "LayersAudio.h"
#include "audio_util.h"
#include "test_util.h"

using namespace corvus_test;
using U = std::vector<uint32_t>;

namespace {

// Checks rows of MFCC output against the reference of float powers.
void ExpectMfcc(const Tensor* m, const audio_test::RefFilterbank& fb, const float* power, uint32_t rows,
                uint32_t bins, uint32_t dct)
{
    for (uint32_t r = 0; r < rows; ++r) {
        const std::vector<double> ref = audio_test::RefMfcc(fb, power + (size_t)r * bins, (int)dct);
        for (uint32_t i = 0; i < dct; ++i)
            ASSERT_NEAR(((const float*)m->data)[r * dct + i], ref[i], 1e-4 * (1.0 + std::fabs(ref[i])))
                << "row " << r << " coefficient " << i;
    }
}

}  // namespace

TEST(AudioModel, SpectrogramThenMfccMatchesDoublePrecisionReference)
{
    // Window sizes that are and are not powers of two.
    for (uint32_t window : {256u, 400u}) {
        SCOPED_TRACE(window);
        const uint32_t samples = 1600, channels = 2, stride = 160, dct = 13, bands = 40;
        const std::vector<float> x = audio_test::RandomSignal(samples * channels, window, 0.5f);
        Layer* in = InputLayer("audio", DT_FLOAT32, {samples, channels});
        Layer* spectro = AddAudioSpectrogram(in, nullptr, "spectrogram", window, stride, true);
        ModelRun run({spectro, AddMfccLayer(&spectro, nullptr, 1, "mfcc", dct, bands, 16000, 20.0f, 4000.0f)});
        TensorPtr feed = NewTensor(DT_FLOAT32, {samples, channels}, {}, false);
        SetTensorData(feed.get(), (void*)x.data());
        Layer** res = run.Run({{"audio", feed.get()}});

        uint32_t frames, bins;
        const std::vector<double> power =
            audio_test::RefSpectrogram(x, samples, channels, window, stride, true, &frames, &bins);
        const Tensor* s = res[0]->kernel->output[0];
        ASSERT_EQ(DimsOf(s), (U{channels, frames, bins}));
        double peak = 0.0;
        for (double p : power) peak = std::max(peak, p);
        for (size_t i = 0; i < power.size(); ++i)
            ASSERT_NEAR(((const float*)s->data)[i], power[i], 2e-6 * power[i] + 1e-7 * peak) << i;

        // MFCC of the reference powers (as floats, the precision the layer receives).
        ASSERT_EQ(DimsOf(res[1]->kernel->output[0]), (U{channels, frames, dct}));
        const std::vector<float> rounded(power.begin(), power.end());
        ExpectMfcc(res[1]->kernel->output[0], audio_test::RefFilterbank((int)bins, 16000.0, (int)bands, 20.0, 4000.0),
                   rounded.data(), channels * frames, bins, dct);
    }
}

TEST(AudioModel, MfccTakesTheSampleRateFromItsSecondInput)
{
    const uint32_t bins = 129, dct = 8, bands = 16;
    std::vector<float> x = audio_test::RandomSignal(3 * bins, 5, 2.0f);
    for (float& f : x) f = f * f + 0.01f;
    Layer* ins[] = {InputLayer("spectrogram", DT_FLOAT32, {1, 3, bins}), InputLayer("rate", DT_INT32, {1})};
    // The parameter (99) would fail the filterbank's range checks; the input's 8000 is used.
    ModelRun run({AddMfccLayer(ins, nullptr, 2, "mfcc", dct, bands, 99, 30.0f, 3900.0f)});
    TensorPtr t0 = NewTensor(DT_FLOAT32, {1, 3, bins}, {}, false), t1 = NewTensor(DT_INT32, {1}, {}, false);
    int32_t r8000 = 8000;
    SetTensorData(t0.get(), x.data());
    SetTensorData(t1.get(), &r8000);
    const Tensor* m = run.Out({{"spectrogram", t0.get()}, {"rate", t1.get()}});
    ExpectMfcc(m, audio_test::RefFilterbank((int)bins, 8000.0, (int)bands, 30.0, 3900.0), x.data(), 3, bins, dct);
}
