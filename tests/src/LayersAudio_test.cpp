// Constructors of the spectrogram and MFCC layers, and a hand-built model
// running audio through both.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "LayersAudio.h"
#include "Model.h"
#include "audio_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using corvus_test::ExpectFatal;
using corvus_test::Shape;

namespace {

Layer* Input(const char* name, DataType dtype, uint32_t ndim, TensorShape shape)
{
    Tensor* t = CreateTensor(dtype, DL_NONE, ndim, shape, false);
    Layer* l = AddInputLayer(name, t);
    DestroyTensor(t);
    return l;
}

std::vector<uint32_t> DimsOf(const Tensor* t) { return {t->shape.dimension, t->shape.dimension + t->ndim}; }

}  // namespace

TEST(AudioLayers, SpectrogramShapeAndParams)
{
    Layer* in = Input("audio", DT_FLOAT32, 2, Shape({1000, 2}));
    Layer* pow2 = AddAudioSpectrogram(in, nullptr, "spectrogram", 256, 128, true);
    EXPECT_EQ(pow2->op, OP_AudioSpectrogram);
    EXPECT_EQ(DimsOf(pow2->kernel->output[0]), (std::vector<uint32_t>{2, 6, 129}));
    EXPECT_EQ(pow2->kernel->output[0]->layout, DL_NONE);
    EXPECT_EQ(pow2->kernel->output[0]->dtype, DT_FLOAT32);
    EXPECT_EQ(pow2->kernel->output[0]->data, nullptr);
    const AudioSpectrogramParams* p = (const AudioSpectrogramParams*)pow2->kernel->params;
    EXPECT_EQ(p->windowSize, 256u);
    EXPECT_EQ(p->stride, 128u);
    EXPECT_TRUE(p->magnitudeSquared);
    // 400 samples pad to 512: 257 bins; (1000 - 400) / 160 + 1 = 4 frames.
    Layer* odd = AddAudioSpectrogram(in, nullptr, nullptr, 400, 160, false);
    EXPECT_EQ(DimsOf(odd->kernel->output[0]), (std::vector<uint32_t>{2, 4, 257}));
    EXPECT_FALSE(((const AudioSpectrogramParams*)odd->kernel->params)->magnitudeSquared);
    EXPECT_EQ(in->consumerLayersNum, 2u);
    // Samples equal to the window: one frame. From a tensor, which the layer owns.
    Layer* one = AddAudioSpectrogram(nullptr, CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({300, 1}), false), "one",
                                     300, 1000, true);
    EXPECT_EQ(DimsOf(one->kernel->output[0]), (std::vector<uint32_t>{1, 1, 257}));
    for (Layer* l : {pow2, odd, one, in}) DestroyLayer(l);
}

TEST(AudioLayers, MfccShapeParamsAndAllocation)
{
    Layer* spectro = Input("spectrogram", DT_FLOAT32, 3, Shape({2, 5, 257}));
    Layer* mfcc = AddMfccLayer(&spectro, nullptr, 1, "mfcc", 13, 40, 16000, 20.0f, 4000.0f);
    EXPECT_EQ(mfcc->op, OP_Mfcc);
    const Tensor* o = mfcc->kernel->output[0];
    EXPECT_EQ(DimsOf(o), (std::vector<uint32_t>{2, 5, 13}));
    EXPECT_EQ(o->layout, DL_NONE);
    EXPECT_NE(o->data, nullptr);  // allocated by the constructor
    const MfccParams* p = (const MfccParams*)mfcc->kernel->params;
    EXPECT_EQ(p->upperFrequencyLimit, 4000.0f);
    EXPECT_EQ(p->lowerFrequencyLimit, 20.0f);
    EXPECT_EQ(p->filterbankChannelCount, 40u);
    EXPECT_EQ(p->dctCoefficientCount, 13u);
    EXPECT_EQ(p->sampleRate, 16000u);
    // With a second input the rate comes from it; the parameter is not kept.
    Layer* rate = Input("rate", DT_INT32, 1, Shape({1}));
    Layer* two[] = {spectro, rate};
    Layer* mfcc2 = AddMfccLayer(two, nullptr, 2, nullptr, 13, 40, 16000, 20.0f, 4000.0f);
    EXPECT_EQ(((const MfccParams*)mfcc2->kernel->params)->sampleRate, 0u);
    EXPECT_EQ(mfcc2->kernel->inputsNum, 2u);
    for (Layer* l : {mfcc, mfcc2, spectro, rate}) DestroyLayer(l);
}

TEST(AudioLayers, ConstructorFailures)
{
    auto spectro = [](uint32_t ndim, TensorShape shape, DataType dtype, uint32_t window, uint32_t stride) {
        AddAudioSpectrogram(nullptr, CreateTensor(dtype, DL_NONE, ndim, shape, false), "S", window, stride, true);
    };
    ExpectFatal("Layers", {
        {[&] { spectro(3, Shape({100, 1, 1}), DT_FLOAT32, 16, 8); },
         "AddAudioSpectrogram: Cannot add \"S\" layer.\nInput dimensions number must be equal to 2, current number is 3"},
        {[&] { spectro(2, Shape({100, 1}), DT_FLOAT16, 16, 8); },
         "AddAudioSpectrogram: Cannot add \"S\" layer.\nTensor datatype must be FLOAT32."},
        {[&] { spectro(2, Shape({15, 1}), DT_FLOAT32, 16, 8); },
         "AddAudioSpectrogram: Sample count (15) should be grater than window size (16)"},
        {[&] { spectro(2, Shape({100, 1}), DT_FLOAT32, 16, 0); }, "stride must be greater than 0"},
        {[&] { spectro(2, Shape({100, 1}), DT_FLOAT32, 1, 1); },
         "AddAudioSpectrogram: Cannot add \"S\" layer.\nWindow size must be between 2 and 1073741824, current value is 1"},
    });
    auto mfcc = [](DataType d0, uint32_t ndim, uint32_t inputs, DataType d1, uint32_t n1, uint32_t dct, uint32_t ch) {
        Tensor* t[] = {CreateTensor(d0, DL_NONE, ndim, Shape({1, 2, 33, 1}), false),
                       CreateTensor(d1, DL_NONE, 1, Shape({n1}), false)};
        AddMfccLayer(nullptr, t, inputs, "M", dct, ch, 8000, 0.0f, 4000.0f);
    };
    ExpectFatal("Layers", {
        {[&] { mfcc(DT_FLOAT16, 3, 1, DT_INT32, 1, 4, 8); }, "inputs[0]->dtype == DT_FLOAT32: false, expected: true"},
        {[&] { mfcc(DT_FLOAT32, 4, 1, DT_INT32, 1, 4, 8); }, "inputs[0]->ndim == 3: false, expected: true"},
        {[&] { mfcc(DT_FLOAT32, 3, 2, DT_FLOAT32, 1, 4, 8); }, "inputs[1]->dtype == DT_INT32: false, expected: true"},
        {[&] { mfcc(DT_FLOAT32, 3, 2, DT_INT32, 2, 4, 8); },
         "GetTensorDataSize(inputs[1]) == 1: false, expected: true"},
        {[&] { mfcc(DT_FLOAT32, 3, 3, DT_INT32, 1, 4, 8); }, "AddMfccLayer: inputs_num must be 1 or 2. Current value: 3"},
        {[&] { mfcc(DT_FLOAT32, 3, 1, DT_INT32, 1, 9, 8); },
         "AddMfccLayer: DCT coefficient count (9) must be between 1 and the filterbank channel count (8)"},
        {[&] { mfcc(DT_FLOAT32, 3, 1, DT_INT32, 1, 4, 5000); },
         "AddMfccLayer: filterbank channel count (5000) must be between 1 and 4096"},
    });
}

TEST(AudioModel, SpectrogramThenMfccMatchesDoublePrecisionReference)
{
    // Window sizes that are and are not powers of two.
    for (uint32_t window : {256u, 400u}) {
        const uint32_t samples = 1600, channels = 2, stride = 160, dct = 13, bands = 40;
        const std::vector<float> x = audio_test::RandomSignal(samples * channels, window, 0.5f);
        Layer* in = Input("audio", DT_FLOAT32, 2, Shape({samples, channels}));
        Layer* spectro = AddAudioSpectrogram(in, nullptr, "spectrogram", window, stride, true);
        Layer* mfcc = AddMfccLayer(&spectro, nullptr, 1, "mfcc", dct, bands, 16000, 20.0f, 4000.0f);
        Layer* outs[] = {spectro, mfcc};
        Model* model = CreateModel(outs, 2);
        InitModel(model, 1);
        Tensor* feed = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({samples, channels}), false);
        SetTensorData(feed, (void*)x.data());
        const ModelInput mi = {"audio", feed};
        Layer** res = Predict(model, 1, &mi);

        uint32_t frames, bins;
        const std::vector<double> power =
            audio_test::RefSpectrogram(x, samples, channels, window, stride, true, &frames, &bins);
        const Tensor* s = res[0]->kernel->output[0];
        ASSERT_EQ(DimsOf(s), (std::vector<uint32_t>{channels, frames, bins}));
        double peak = 0.0;
        for (double p : power) peak = std::max(peak, p);
        for (size_t i = 0; i < power.size(); ++i)
            ASSERT_NEAR(((const float*)s->data)[i], power[i], 2e-6 * power[i] + 1e-7 * peak) << i;

        // MFCC of the reference powers (as floats, the precision the layer receives).
        const audio_test::RefFilterbank fb((int)bins, 16000.0, (int)bands, 20.0, 4000.0);
        const Tensor* m = res[1]->kernel->output[0];
        ASSERT_EQ(DimsOf(m), (std::vector<uint32_t>{channels, frames, dct}));
        std::vector<float> row(bins);
        for (uint32_t r = 0; r < channels * frames; ++r) {
            for (uint32_t k = 0; k < bins; ++k) row[k] = (float)power[(size_t)r * bins + k];
            const std::vector<double> ref = audio_test::RefMfcc(fb, row.data(), (int)dct);
            for (uint32_t i = 0; i < dct; ++i)
                ASSERT_NEAR(((const float*)m->data)[r * dct + i], ref[i], 1e-4 * (1.0 + std::fabs(ref[i])))
                    << window << ": row " << r << " coefficient " << i;
        }
        DestroyTensor(feed);
        DestroyModel(model);
    }
}

TEST(AudioModel, MfccTakesTheSampleRateFromItsSecondInput)
{
    const uint32_t bins = 129, dct = 8, bands = 16;
    const std::vector<float> x = [] {
        std::vector<float> v = audio_test::RandomSignal(3 * bins, 5, 2.0f);
        for (float& f : v) f = f * f + 0.01f;
        return v;
    }();
    Layer* spectro = Input("spectrogram", DT_FLOAT32, 3, Shape({1, 3, bins}));
    Layer* rate = Input("rate", DT_INT32, 1, Shape({1}));
    Layer* ins[] = {spectro, rate};
    // The parameter (99) would fail the filterbank's range checks; the input's 8000 is used.
    Layer* mfcc = AddMfccLayer(ins, nullptr, 2, "mfcc", dct, bands, 99, 30.0f, 3900.0f);
    Model* model = CreateModel(&mfcc, 1);
    InitModel(model, 1);
    Tensor* t0 = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, 3, bins}), false);
    SetTensorData(t0, (void*)x.data());
    int32_t r8000 = 8000;
    Tensor* t1 = CreateTensor(DT_INT32, DL_NONE, 1, Shape({1}), false);
    SetTensorData(t1, &r8000);
    const ModelInput feed[] = {{"spectrogram", t0}, {"rate", t1}};
    const Tensor* m = Predict(model, 2, feed)[0]->kernel->output[0];
    const audio_test::RefFilterbank fb((int)bins, 8000.0, (int)bands, 30.0, 3900.0);
    for (uint32_t r = 0; r < 3; ++r) {
        const std::vector<double> ref = audio_test::RefMfcc(fb, x.data() + r * bins, (int)dct);
        for (uint32_t i = 0; i < dct; ++i)
            EXPECT_NEAR(((const float*)m->data)[r * dct + i], ref[i], 1e-4 * (1.0 + std::fabs(ref[i]))) << r;
    }
    DestroyTensor(t0);
    DestroyTensor(t1);
    DestroyModel(model);
}
