// A hand-built model running audio through the spectrogram and MFCC layers,
// against a double-precision MFCC.

#include "LayersAudio.h"
#include "audio_util.h"
#include "test_util.h"

using namespace corvus_test;
using U = std::vector<uint32_t>;

// A window that is not a power of two; the MFCC takes its sample rate from
// its second input (the parameter, 99, would fail the filterbank's range checks).
TEST(AudioModel, SpectrogramThenMfccWithTheSampleRateAsInput)
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

    // Against the MFCC of the spectrogram the model computed (checked itself kernel by kernel).
    const Tensor* s = res[0]->kernel->output[0];
    const uint32_t frames = s->shape.dimension[1], bins = s->shape.dimension[2];
    const Tensor* m = res[1]->kernel->output[0];
    ASSERT_EQ(DimsOf(m), (U{channels, frames, dct}));
    const audio_test::RefFilterbank fb((int)bins, 8000.0, (int)bands, 20.0, 4000.0);
    for (uint32_t r = 0; r < channels * frames; ++r) {
        const std::vector<double> ref = audio_test::RefMfcc(fb, (const float*)s->data + (size_t)r * bins, (int)dct);
        for (uint32_t i = 0; i < dct; ++i)
            ASSERT_NEAR(((const float*)m->data)[r * dct + i], ref[i], 1e-4 * (1.0 + std::fabs(ref[i])))
                << "row " << r << " coefficient " << i;
    }
}
