// A hand-built model running audio through the spectrogram and MFCC layers,
// against double-precision references.

#include "LayersAudio.h"
#include "audio_util.h"
#include "test_util.h"

using namespace corvus_test;
using U = std::vector<uint32_t>;

// A window that is not a power of two; the MFCC takes its sample rate from
// its second input (the parameter, 99, would fail the filterbank's range checks).
TEST(AudioModel, SpectrogramThenMfccMatchesDoublePrecisionReference)
{
    const uint32_t samples = 1600, channels = 2, window = 400, stride = 160, dct = 13, bands = 40;
    const std::vector<float> x = audio_test::RandomSignal(samples * channels, window, 0.5f);
    Layer* ins[] = {AddAudioSpectrogram(InputLayer("audio", DT_FLOAT32, {samples, channels}), nullptr, "spectrogram",
                                        window, stride, true),
                    InputLayer("rate", DT_INT32, {1})};
    ModelRun run({ins[0], AddMfccLayer(ins, nullptr, 2, "mfcc", dct, bands, 99, 20.0f, 4000.0f)});
    TensorPtr feed = NewTensor(DT_FLOAT32, {samples, channels}, {}, false), rate = NewTensor(DT_INT32, {1});
    SetTensorData(feed.get(), (void*)x.data());
    *(int32_t*)rate->data = 8000;
    run.Run({{"rate", rate.get()}});  // the inputs' leading extents differ: one per call, both kept
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
    const Tensor* m = res[1]->kernel->output[0];
    ASSERT_EQ(DimsOf(m), (U{channels, frames, dct}));
    const std::vector<float> rounded(power.begin(), power.end());
    const audio_test::RefFilterbank fb((int)bins, 8000.0, (int)bands, 20.0, 4000.0);
    for (uint32_t r = 0; r < channels * frames; ++r) {
        const std::vector<double> ref = audio_test::RefMfcc(fb, rounded.data() + (size_t)r * bins, (int)dct);
        for (uint32_t i = 0; i < dct; ++i)
            ASSERT_NEAR(((const float*)m->data)[r * dct + i], ref[i], 1e-4 * (1.0 + std::fabs(ref[i])))
                << "row " << r << " coefficient " << i;
    }
}
