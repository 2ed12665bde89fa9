// Mel-frequency cepstral coefficients of spectrogram rows: triangular mel
// filterbank over the magnitudes, logarithm with a floor, DCT-II.
#define CORVUS_MODULE "mfcc"
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersAudio.h"
#include "Report.h"
#include "nn_kernel_list.h"

namespace {

constexpr float kFilterbankFloor = 1e-12f;
constexpr float kPi = 3.1415927f;

// Truncation of a non-negative value to int, saturated at `limit` (also for
// NaN and infinity), so that hostile limits cannot overflow the cast.
int TruncatedIndex(float value, int limit)
{
    if (!(value < (float)limit)) return limit;
    if (!(value > 0.0f)) return 0;
    return (int)value;
}

void FreeFilterbankArrays(MfccMelFilterbank* filterbank)
{
    free(filterbank->center_frequencies);
    free(filterbank->weights);
    free(filterbank->band_mapper);
    filterbank->center_frequencies = nullptr;
    filterbank->weights = nullptr;
    filterbank->band_mapper = nullptr;
}

void Execute_Mfcc_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s: Kernel pointer is null", "Execute_Mfcc_ref");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
    const MfccParams* params = (const MfccParams*)kernel->params;
    float sampleRate = (float)params->sampleRate;
    if (kernel->inputsNum == 2) {
        const Tensor* rate = kernel->input[1];
        CV_CHECK_PTR(rate);
        if (rate->dtype != DT_INT32) CV_FATAL("Execute_Mfcc_ref: sample rate tensor must be int32");
        CV_CHECK_PTR(rate->data);
        sampleRate = (float)*(const int32_t*)rate->data;
    }
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    if (in->dtype == DT_FLOAT16 && out->dtype == DT_FLOAT16) {
        Tensor* in32 = CreateTensor(DT_FLOAT32, DL_NONE, in->ndim, in->shape, true);
        Tensor* out32 = CreateTensor(DT_FLOAT32, DL_NONE, out->ndim, out->shape, true);
        TensorDataConvert(in32, in);
        MfccCalculations(sampleRate, in32, out32, params);
        TensorDataConvert(out, out32);
        DestroyTensor(in32);
        DestroyTensor(out32);
        return;
    }
    MfccCalculations(sampleRate, in, out, params);
}

}  // namespace

extern "C" {

float FreqToMel(float hz) { return 1127.0f * log1pf(hz / 700.0f); }

/* ---- Mel filterbank ---------------------------------------------------------- */

MfccMelFilterbank* MfccMelFilterbankCreate(void)
{
    MfccMelFilterbank* filterbank;
    CV_CHECK_PTR(filterbank = (MfccMelFilterbank*)calloc(1, sizeof(MfccMelFilterbank)));
    return filterbank;
}

void MfccMelFilterbankInitialize(MfccMelFilterbank* filterbank, int inputLength, float sampleRate, int numChannels,
                                 float lowerLimit, float upperLimit)
{
    static const char* const fn = "MfccMelFilterbankInitialize";
    CV_CHECK_PTR(filterbank);
    FreeFilterbankArrays(filterbank);
    filterbank->num_channels = numChannels;
    filterbank->sample_rate = sampleRate;
    filterbank->input_length = inputLength;
    // Negated comparisons so that NaN fails as well.
    if (filterbank->num_channels < 1) CV_FATAL("%s: filterbank->num_channels < 1", fn);
    if (!(filterbank->sample_rate > 0.0f)) CV_FATAL("%s: filterbank->sample_rate <= 0", fn);
    if (filterbank->input_length < 2) CV_FATAL("%s: filterbank->input_length < 2", fn);
    if (!(lowerLimit >= 0.0f)) CV_FATAL("%s: lower_frequency_limit < 0", fn);
    if (!(upperLimit > lowerLimit)) CV_FATAL("%s: upper_frequency_limit <= lower_frequency_limit", fn);
    if (numChannels > MFCC_MAX_CHANNELS)
        CV_FATAL("%s: filterbank->num_channels (%d) is above %d", fn, numChannels, MFCC_MAX_CHANNELS);

    const int channels = numChannels;
    const int length = inputLength;
    CV_CHECK_PTR(filterbank->center_frequencies = (float*)malloc(((size_t)channels + 1) * sizeof(float)));
    CV_CHECK_PTR(filterbank->weights = (float*)malloc((size_t)length * sizeof(float)));
    CV_CHECK_PTR(filterbank->band_mapper = (int*)malloc((size_t)length * sizeof(int)));
    float* center = filterbank->center_frequencies;

    const float melLow = FreqToMel(lowerLimit);
    const float melHigh = FreqToMel(upperLimit);
    const float spacing = (melHigh - melLow) / (float)(channels + 1);
    for (int i = 0; i <= channels; ++i) center[i] = melLow + spacing * (float)(i + 1);

    const float hzPerBin = 0.5f * filterbank->sample_rate / (float)(length - 1);
    filterbank->start_index = TruncatedIndex(lowerLimit / hzPerBin + 1.5f, length);
    filterbank->end_index = TruncatedIndex(upperLimit / hzPerBin, length);
    const int start = filterbank->start_index, end = filterbank->end_index;

    int channel = 0;
    for (int i = 0; i < length; ++i) {
        if (i < start || i > end) {
            filterbank->band_mapper[i] = -2;
            filterbank->weights[i] = 0.0f;
            continue;
        }
        const float mel = FreqToMel((float)i * hzPerBin);
        while (channel < channels && center[channel] < mel) ++channel;
        const int ch = channel - 1;
        filterbank->band_mapper[i] = ch;
        filterbank->weights[i] =
            ch >= 0 ? (center[ch + 1] - mel) / (center[ch + 1] - center[ch]) : (center[0] - mel) / (center[0] - melLow);
    }
}

void MfccMelFilterbankCompute(const MfccMelFilterbank* filterbank, const float* input, float* output)
{
    static const char* const fn = "MfccMelFilterbankCompute";
    if (filterbank == nullptr) CV_FATAL("%s: Filterbank was not initialized.", fn);
    if (filterbank->weights == nullptr || filterbank->band_mapper == nullptr)
        CV_FATAL("%s: Filterbank fields was not initialized.", fn);
    if (input == nullptr || output == nullptr) CV_FATAL("%s: Input pointer or output is null.", fn);
    if (filterbank->input_length <= filterbank->end_index)
        CV_FATAL("%s: Filterbank->input_length <= filterbank->end_index!", fn);

    const int channels = filterbank->num_channels;
    for (int ch = 0; ch < channels; ++ch) output[ch] = 0.0f;
    for (int i = filterbank->start_index; i <= filterbank->end_index; ++i) {
        const float v = sqrtf(input[i]);
        const float wv = v * filterbank->weights[i];
        const int ch = filterbank->band_mapper[i];
        if (ch >= 0) output[ch] += wv;
        if (ch + 1 < channels) output[ch + 1] += v - wv;
    }
}

void MfccMelFilterbankDestroy(MfccMelFilterbank* filterbank)
{
    if (filterbank == nullptr) return;
    FreeFilterbankArrays(filterbank);
    free(filterbank);
}

/* ---- DCT-II ----------------------------------------------------------------- */

MfccDct* MfccDctCreate(void)
{
    MfccDct* dct;
    CV_CHECK_PTR(dct = (MfccDct*)calloc(1, sizeof(MfccDct)));
    return dct;
}

void MfccDctInitialize(MfccDct* dct, int inputLength, int coefficientCount)
{
    static const char* const fn = "MfccDctInitialize";
    CV_CHECK_PTR(dct);
    free(dct->cosines);
    dct->cosines = nullptr;
    dct->input_length = inputLength;
    dct->coefficient_count = coefficientCount;
    if (coefficientCount < 1) CV_FATAL("%s: coefficient_count < 1", fn);
    if (inputLength < 1) CV_FATAL("%s: input_length < 1", fn);
    if (coefficientCount > inputLength) CV_FATAL("%s: coefficient_count > input_length", fn);
    if (inputLength > MFCC_MAX_CHANNELS)
        CV_FATAL("%s: input_length (%d) is above %d", fn, inputLength, MFCC_MAX_CHANNELS);

    CV_CHECK_PTR(dct->cosines = (float*)malloc((size_t)coefficientCount * (size_t)inputLength * sizeof(float)));
    const float norm = sqrtf(2.0f / (float)inputLength);
    const float arg = kPi / (float)inputLength;
    for (int i = 0; i < coefficientCount; ++i)
        for (int j = 0; j < inputLength; ++j)
            dct->cosines[(size_t)i * inputLength + j] = norm * cosf((float)i * arg * ((float)j + 0.5f));
}

void MfccDctCompute(const MfccDct* dct, const float* input, float* output)
{
    if (dct == nullptr || dct->cosines == nullptr) CV_FATAL("MfccDctCompute: DCT was not initialized.");
    if (input == nullptr || output == nullptr) CV_FATAL("MfccDctCompute: Input pointer or output is null.");
    const int n = dct->input_length;
    for (int i = 0; i < dct->coefficient_count; ++i) {
        const float* row = dct->cosines + (size_t)i * n;
        float sum = 0.0f;
        for (int j = 0; j < n; ++j) sum += input[j] * row[j];
        output[i] = sum;
    }
}

void MfccDctDestroy(MfccDct* dct)
{
    if (dct == nullptr) return;
    free(dct->cosines);
    free(dct);
}

/* ---- MFCC ------------------------------------------------------------------------ */

Mfcc* MfccCreate(uint32_t channelCount, uint32_t coefficientCount, float lowerLimit, float upperLimit)
{
    Mfcc* mfcc;
    CV_CHECK_PTR(mfcc = (Mfcc*)calloc(1, sizeof(Mfcc)));
    mfcc->filterbank = MfccMelFilterbankCreate();
    mfcc->dct = MfccDctCreate();
    mfcc->lower_frequency_limit = lowerLimit;
    mfcc->upper_frequency_limit = upperLimit;
    mfcc->filterbank_channel_count = channelCount;
    mfcc->dct_coefficient_count = coefficientCount;
    return mfcc;
}

void MfccInitialize(Mfcc* mfcc, int inputLength, float sampleRate)
{
    if (mfcc == nullptr) CV_FATAL("%s: Mfcc pointer is null\n", "MfccInitialize");
    CV_CHECK_PTR(mfcc->filterbank);
    CV_CHECK_PTR(mfcc->dct);
    // Counts beyond int range are passed as -1 so that the "< 1" checks catch them.
    const int channels = mfcc->filterbank_channel_count > 0x7FFFFFFFu ? -1 : (int)mfcc->filterbank_channel_count;
    const int coefficients = mfcc->dct_coefficient_count > 0x7FFFFFFFu ? -1 : (int)mfcc->dct_coefficient_count;
    MfccMelFilterbankInitialize(mfcc->filterbank, inputLength, sampleRate, channels, mfcc->lower_frequency_limit,
                                mfcc->upper_frequency_limit);
    MfccDctInitialize(mfcc->dct, channels, coefficients);
}

void MfccCompute(const Mfcc* mfcc, const float* input, float* output)
{
    if (mfcc == nullptr || mfcc->filterbank == nullptr || mfcc->dct == nullptr ||
        mfcc->filterbank->weights == nullptr || mfcc->dct->cosines == nullptr ||
        mfcc->dct->input_length != mfcc->filterbank->num_channels)
        CV_FATAL("%s: Mfcc structure was not initialized correctly.", "MfccCompute");
    float bands[MFCC_MAX_CHANNELS];
    MfccMelFilterbankCompute(mfcc->filterbank, input, bands);
    const int channels = mfcc->filterbank->num_channels;
    for (int i = 0; i < channels; ++i) bands[i] = logf(bands[i] < kFilterbankFloor ? kFilterbankFloor : bands[i]);
    MfccDctCompute(mfcc->dct, bands, output);
}

void MfccDestroy(Mfcc* mfcc)
{
    if (mfcc == nullptr) return;
    MfccMelFilterbankDestroy(mfcc->filterbank);
    MfccDctDestroy(mfcc->dct);
    free(mfcc);
}

/* ---- Kernel ------------------------------------------------------------------------ */

void MfccCalculations(float sampleRate, const Tensor* input, Tensor* output, const MfccParams* params)
{
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(params);
    CV_CHECK(IsSerialData(input));
    CV_CHECK(IsSerialData(output));
    if (input->ndim != 3 || input->dtype != DT_FLOAT32 || output->dtype != DT_FLOAT32)
        CV_FATAL("MfccCalculations: input must be float32 [d0, frames, bins] and output float32");
    const uint64_t rows = (uint64_t)input->shape.dimension[0] * input->shape.dimension[1];
    const uint32_t bins = input->shape.dimension[2];
    const uint32_t coefficients = params->dctCoefficientCount;
    if (output->ndim != 3 || output->shape.dimension[0] != input->shape.dimension[0] ||
        output->shape.dimension[1] != input->shape.dimension[1] || output->shape.dimension[2] != coefficients)
        CV_FATAL("MfccCalculations: output shape does not match [%u, %u, %u]", input->shape.dimension[0],
                 input->shape.dimension[1], coefficients);
    if (rows == 0) return;
    CV_CHECK_PTR(input->data);
    CV_CHECK_PTR(output->data);

    Mfcc* mfcc = MfccCreate(params->filterbankChannelCount, coefficients, params->lowerFrequencyLimit,
                            params->upperFrequencyLimit);
    MfccInitialize(mfcc, bins > 0x7FFFFFFFu ? -1 : (int)bins, sampleRate);
    const float* in = (const float*)input->data;
    float* out = (float*)output->data;
    for (uint64_t r = 0; r < rows; ++r) MfccCompute(mfcc, in + (size_t)r * bins, out + (size_t)r * coefficients);
    MfccDestroy(mfcc);
}

extern const NNKernelFn nn_kernel_fn_Mfcc_ref = {Execute_Mfcc_ref, nullptr, nullptr, nullptr};

}  // extern "C"
