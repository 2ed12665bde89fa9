// The spectrogram kernel against a direct double-precision DFT of the
// windowed frames, for power-of-two and other window sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersAudio.h"
#include "audio_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using audio_test::RandomSignal;
using audio_test::RefSpectrogram;
using corvus_test::ExpectFatal;
using corvus_test::Shape;

namespace {

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

}  // namespace

TEST(AudioSpectrogramKernel, MatchesDirectDftForPowerOfTwoAndOtherWindows)
{
    struct Case {
        uint32_t samples, channels, window, stride;
    };
    // 256: no padding, 129 bins; 400: 112 zeros, 257 bins; 3 and 2: the
    // smallest transforms; 160 with a stride larger than the window.
    const Case cases[] = {{1000, 2, 256, 128}, {1200, 1, 400, 160}, {9, 3, 3, 2},
                          {6, 2, 2, 1},        {700, 1, 160, 200},  {513, 2, 257, 64}};
    for (const Case& c : cases) {
        const std::vector<float> x = RandomSignal((size_t)c.samples * c.channels, c.window);
        const SpectrogramRun r = RunSpectrogram(x, c.samples, c.channels, c.window, c.stride, true);
        uint32_t frames, bins;
        const std::vector<double> ref =
            RefSpectrogram(x, c.samples, c.channels, c.window, c.stride, true, &frames, &bins);
        EXPECT_EQ(r.frames, frames);
        EXPECT_EQ(r.bins, bins);
        ExpectClose(r.out, ref, 2e-6);
    }
}

TEST(AudioSpectrogramKernel, BinCountsFramesAndMagnitudes)
{
    const std::vector<float> x = RandomSignal(800, 9);
    // A window equal to the sample count gives exactly one frame.
    const SpectrogramRun one = RunSpectrogram(x, 400, 2, 400, 7, true);
    EXPECT_EQ(one.frames, 1u);
    EXPECT_EQ(one.bins, 257u);
    EXPECT_EQ(one.out.size(), 2u * 257u);
    // Without squaring every value is the square root of the power.
    const SpectrogramRun pow = RunSpectrogram(x, 800, 1, 256, 100, true);
    const SpectrogramRun mag = RunSpectrogram(x, 800, 1, 256, 100, false);
    EXPECT_EQ(pow.bins, 129u);
    EXPECT_EQ(pow.frames, 6u);
    for (size_t i = 0; i < pow.out.size(); ++i) EXPECT_EQ(mag.out[i], sqrtf(pow.out[i])) << i;
    ExpectClose(mag.out, RefSpectrogram(x, 800, 1, 256, 100, false), 1e-6);
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
    const uint32_t samples = 300, channels = 2, window = 100, stride = 50;
    std::vector<float> x = RandomSignal(samples * channels, 3);
    std::vector<uint16_t> h(x.size());
    float32_to_float16(x.data(), h.data(), (uint32_t)x.size());
    float16_to_float32(h.data(), x.data(), (uint32_t)x.size());  // the values half can hold
    const SpectrogramRun ref = RunSpectrogram(x, samples, channels, window, stride, false);

    Tensor* in16[] = {CreateTensor(DT_FLOAT16, DL_NONE, 2, Shape({samples, channels}), false)};
    Layer* layer = CreateLayer("spec16", OP_AudioSpectrogram, nullptr, in16, 1, 0);
    NNKernel* k = layer->kernel;
    SetTensorData(k->input[0], h.data());
    k->output[0] = CreateTensor(DT_FLOAT16, DL_NONE, 3, Shape({channels, ref.frames, ref.bins}), true);
    AudioSpectrogramParams* params = (AudioSpectrogramParams*)malloc(sizeof(AudioSpectrogramParams));
    *params = {window, stride, false};
    k->params = params;
    nn_kernel_fn_list[kfname_AudioSpectrogram_ref]->execute(k);
    std::vector<uint16_t> expect(ref.out.size());
    float32_to_float16(ref.out.data(), expect.data(), (uint32_t)expect.size());
    EXPECT_EQ(memcmp(k->output[0]->data, expect.data(), expect.size() * 2), 0);
    DestroyLayer(layer);
}

TEST(AudioSpectrogramKernel, FatalChecks)
{
    static float samples[40];
    auto run = [](uint32_t window, uint32_t stride, bool stridedIn, bool outData, uint32_t frames = 13) {
        Tensor* in = stridedIn ? CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({10, 2}),
                                                         corvus_test::Strides({4, 1}), false)
                               : CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({20, 2}), false);
        SetTensorData(in, samples);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, frames, 5}), outData);
        const AudioSpectrogramParams p = {window, stride, true};
        AudioSpectrogram_FP32(in, out, &p);
    };
    ExpectFatal("AudioSpectrogram", {
        {[&] { run(8, 1, true, true); }, "IsSerialData(input): false, expected: true"},
        {[&] { run(1, 1, false, true); }, "AudioSpectrogram_FP32: Spectrogram was not initialized:  window_length < 2."},
        {[&] { run(8, 0, false, true); }, "AudioSpectrogram_FP32: Spectrogram was not initialized:  step_length < 1."},
        {[&] { run(8, 3, false, true); },
         "AudioSpectrogram_FP32: output shape does not match 2 channels, 5 frames, 5 bins"},
        {[&] { run(8, 12, false, false, 2); }, "ComputeSquaredMagnitudeSpectrogram: Output memory was not initialized"},
        {[] { nn_kernel_fn_list[kfname_AudioSpectrogram_ref]->execute(nullptr); },
         "Execute_AudioSpectrogram_ref: Kernel pointer is null"},
    });
    // A strided output is refused too.
    ExpectFatal("AudioSpectrogram", {{[] {
                                          Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({20, 2}), false);
                                          SetTensorData(in, samples);
                                          Tensor* out = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3,
                                                                                Shape({2, 2, 5}),
                                                                                corvus_test::Strides({12, 6, 1}), true);
                                          const AudioSpectrogramParams p = {8, 12, true};
                                          AudioSpectrogram_FP32(in, out, &p);
                                      },
                                      "IsSerialData(output): false, expected: true"}});
}
