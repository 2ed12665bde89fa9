// Spectrogram of interleaved audio: periodic Hann window, zero padding to a
// power of two, real DFT in double precision, squared magnitudes in float.
#define CORVUS_MODULE "AudioSpectrogram"
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersAudio.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "common/Float32Temps.h"

namespace {

// Keeps the transform length and its int arithmetic far from overflow.
constexpr int kMaxWindowLength = 1 << 30;

void SpectrogramDestroy(Spectrogram* spectrogram)
{
    free(spectrogram->window);
    free(spectrogram->fft_input_output);
    free(spectrogram->fft_integer_working_area);
    free(spectrogram->fft_double_working_area);
    memset(spectrogram, 0, sizeof(*spectrogram));
}

void SpectrogramInitialize(Spectrogram* spectrogram, uint32_t windowLength, uint32_t stepLength)
{
    memset(spectrogram, 0, sizeof(*spectrogram));
    static const char* const fn = "AudioSpectrogram_FP32";
    if (windowLength < 2) CV_FATAL("%s: Spectrogram was not initialized: %s", fn, " window_length < 2.");
    if (stepLength < 1) CV_FATAL("%s: Spectrogram was not initialized: %s", fn, " step_length < 1.");
    if (windowLength > (uint32_t)kMaxWindowLength)
        CV_FATAL("%s: window length %u is above %d", fn, windowLength, kMaxWindowLength);
    spectrogram->window_length = (int)windowLength;
    // A step beyond INT_MAX leaves room for at most one more frame than INT_MAX would.
    spectrogram->step_length = stepLength > (uint32_t)INT_MAX ? INT_MAX : (int)stepLength;
    int fft = 1;
    while (fft < spectrogram->window_length) fft <<= 1;
    spectrogram->fft_length = fft;
    spectrogram->output_frequency_channels = fft / 2 + 1;

    const size_t n = (size_t)spectrogram->window_length;
    spectrogram->window = (double*)malloc(n * sizeof(double));
    CV_CHECK_PTR(spectrogram->window);
    const double twoPi = 6.283185307179586476925286766559;
    for (size_t i = 0; i < n; ++i) spectrogram->window[i] = 0.5 - 0.5 * cos(twoPi * (double)i / (double)n);

    spectrogram->fft_input_output = (double*)malloc(((size_t)fft + 2) * sizeof(double));
    CV_CHECK_PTR(spectrogram->fft_input_output);
    const size_t ipCount = 2 + (size_t)sqrt((double)(fft / 2));
    spectrogram->fft_integer_working_area = (int*)calloc(ipCount, sizeof(int));
    CV_CHECK_PTR(spectrogram->fft_integer_working_area);
    // One slot at least, so that a two-point transform has a table pointer too.
    const size_t wCount = fft / 2 > 0 ? (size_t)fft / 2 : 1;
    spectrogram->fft_double_working_area = (double*)calloc(wCount, sizeof(double));
    CV_CHECK_PTR(spectrogram->fft_double_working_area);
}

// Writes one row of output_frequency_channels powers per frame of `input`.
void ComputeSquaredMagnitudeSpectrogram(Spectrogram* spectrogram, const float* input, uint32_t inputLength,
                                        float* output)
{
    if (output == nullptr) CV_FATAL("%s: Output memory was not initialized", "ComputeSquaredMagnitudeSpectrogram");
    const int window = spectrogram->window_length;
    const int fft = spectrogram->fft_length;
    const int bins = spectrogram->output_frequency_channels;
    double* a = spectrogram->fft_input_output;
    const double* w = spectrogram->window;
    for (uint64_t s = 0; s + (uint64_t)window <= inputLength; s += (uint64_t)spectrogram->step_length) {
        const float* frame = input + s;
        for (int j = 0; j < window; ++j) a[j] = (double)frame[j] * w[j];
        for (int j = window; j < fft; ++j) a[j] = 0.0;
        rdft(fft, 1, a, spectrogram->fft_integer_working_area, spectrogram->fft_double_working_area);
        // Unpack the Nyquist term so that bin k is (a[2k], a[2k+1]) for every k.
        a[fft] = a[1];
        a[fft + 1] = 0.0;
        a[1] = 0.0;
        for (int k = 0; k < bins; ++k) {
            const float re = (float)a[2 * k];
            const float im = (float)a[2 * k + 1];
            output[k] = re * re + im * im;
        }
        output += bins;
    }
}

void Execute_AudioSpectrogram_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s: Kernel pointer is null", "Execute_AudioSpectrogram_ref");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    const AudioSpectrogramParams* params = (const AudioSpectrogramParams*)kernel->params;
    if (in->dtype == DT_FLOAT16 && out->dtype == DT_FLOAT16) {
        const corvus::Float32Operand in32(in, true), out32(out, false);
        AudioSpectrogram_FP32(in32.get(), out32.get(), params);
        out32.Store(out);
        return;
    }
    AudioSpectrogram_FP32(in, out, params);
}

}  // namespace

extern "C" {

void AudioSpectrogram_FP32(const Tensor* input, Tensor* output, const AudioSpectrogramParams* params)
{
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(params);
    CV_CHECK(IsSerialData(input));
    CV_CHECK(IsSerialData(output));
    if (input->ndim != 2 || input->dtype != DT_FLOAT32 || output->dtype != DT_FLOAT32)
        CV_FATAL("AudioSpectrogram_FP32: input must be float32 [samples, channels] and output float32");
    CV_CHECK_PTR(input->data);

    Spectrogram spectrogram;
    SpectrogramInitialize(&spectrogram, params->windowSize, params->stride);
    const uint32_t samples = input->shape.dimension[0];
    const uint32_t channels = input->shape.dimension[1];
    uint64_t frames = 0;
    for (uint64_t s = 0; s + (uint64_t)spectrogram.window_length <= samples; s += (uint64_t)spectrogram.step_length)
        ++frames;
    if (output->ndim != 3 || output->shape.dimension[0] != channels || output->shape.dimension[1] != frames ||
        output->shape.dimension[2] != (uint32_t)spectrogram.output_frequency_channels)
        CV_FATAL("AudioSpectrogram_FP32: output shape does not match %u channels, %llu frames, %d bins", channels,
                 (unsigned long long)frames, spectrogram.output_frequency_channels);

    float* input_for_channel = (float*)malloc((samples > 0 ? samples : 1) * sizeof(float));
    CV_CHECK_PTR(input_for_channel);
    const float* interleaved = (const float*)input->data;
    float* out = (float*)output->data;
    const size_t blockSize = (size_t)frames * (size_t)spectrogram.output_frequency_channels;
    for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t i = 0; i < samples; ++i) input_for_channel[i] = interleaved[(size_t)i * channels + c];
        float* block = out == nullptr ? nullptr : out + (size_t)c * output->stride.dimension[0];
        ComputeSquaredMagnitudeSpectrogram(&spectrogram, input_for_channel, samples, block);
        if (!params->magnitudeSquared)
            for (size_t i = 0; i < blockSize; ++i) block[i] = sqrtf(block[i]);
    }
    free(input_for_channel);
    SpectrogramDestroy(&spectrogram);
}

extern const NNKernelFn nn_kernel_fn_AudioSpectrogram_ref = {Execute_AudioSpectrogram_ref, nullptr, nullptr, nullptr};

}  // extern "C"
