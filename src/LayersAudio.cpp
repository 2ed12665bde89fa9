// Constructors of the spectrogram and MFCC layers.
#define CORVUS_MODULE "Layers"
#include "LayersAudio.h"

#include <cstdlib>

#include "LayersInternal.h"
#include "Report.h"

namespace {

// Windows above this would need a transform length beyond int range.
constexpr uint32_t kMaxWindowSize = 1u << 30;

uint32_t FftLength(uint32_t windowSize)
{
    uint32_t fft = 1;
    while (fft < windowSize) fft <<= 1;
    return fft;
}

}  // namespace

extern "C" {

Layer* AddAudioSpectrogram(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t windowSize,
                           uint32_t stride, bool magnitudeSquared)
{
    static const char* const fn = "AddAudioSpectrogram";
    Layer* layer = CreateSingleInputLayer(name, OP_AudioSpectrogram, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    if (in->ndim != 2)
        CV_FATAL("%s: Cannot add \"%s\" layer.\nInput dimensions number must be equal to 2, current number is %d", fn,
                 layer->name, (int)in->ndim);
    if (in->dtype != DT_FLOAT32)
        CV_FATAL("%s: Cannot add \"%s\" layer.\nTensor datatype must be FLOAT32.", fn, layer->name);
    const uint32_t samples = in->shape.dimension[0];
    const uint32_t channels = in->shape.dimension[1];
    if (samples < windowSize)
        CV_FATAL("%s: Sample count (%i) should be grater than window size (%i)", fn, (int)samples, (int)windowSize);
    if (stride == 0) CV_FATAL("stride must be greater than 0");
    if (windowSize < 2 || windowSize > kMaxWindowSize)
        CV_FATAL("%s: Cannot add \"%s\" layer.\nWindow size must be between 2 and %u, current value is %u", fn,
                 layer->name, kMaxWindowSize, windowSize);

    AudioSpectrogramParams* params = (AudioSpectrogramParams*)malloc(sizeof(AudioSpectrogramParams));
    if (params == nullptr)
        CV_FATAL("params = (AudioSpectrogramParams*)malloc( sizeof(AudioSpectrogramParams))==NULL, expected not NULL "
                 "value");
    params->windowSize = windowSize;
    params->stride = stride;
    params->magnitudeSquared = magnitudeSquared;
    kernel->params = params;

    TensorShape shape = {};
    shape.dimension[0] = channels;
    shape.dimension[1] = (samples - windowSize) / stride + 1;
    shape.dimension[2] = FftLength(windowSize) / 2 + 1;
    kernel->output[0] = CreateTensor((DataType)in->dtype, DL_NONE, 3, shape, false);
    return layer;
}

Layer* AddMfccLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name,
                    uint32_t dctCoefficientCount, uint32_t filterbankChannelCount, uint32_t sampleRate,
                    float lowerFrequencyLimit, float upperFrequencyLimit)
{
    if (inputsNum != 1 && inputsNum != 2)
        CV_FATAL("AddMfccLayer: inputs_num must be 1 or 2. Current value: %d", (int)inputsNum);
    Layer* layer = CreateLayer(name, OP_Mfcc, inputLayers, inputTensors, inputsNum, 0);
    NNKernel* kernel = layer->kernel;
    MfccParams* params = (MfccParams*)calloc(1, sizeof(MfccParams));
    if (params == nullptr) CV_FATAL("params==NULL, expected not NULL value");
    kernel->params = params;

    Tensor** inputs = kernel->input;
    if (inputs[0]->dtype != DT_FLOAT32) CV_FATAL("inputs[0]->dtype == DT_FLOAT32: false, expected: true");
    if (inputs[0]->ndim != 3) CV_FATAL("inputs[0]->ndim == 3: false, expected: true");
    if (inputsNum == 2) {
        if (inputs[1]->dtype != DT_INT32) CV_FATAL("inputs[1]->dtype == DT_INT32: false, expected: true");
        if (GetTensorDataSize(inputs[1]) != 1) CV_FATAL("GetTensorDataSize(inputs[1]) == 1: false, expected: true");
    }
    // The output is allocated here, so its size is checked here too.
    if (filterbankChannelCount < 1 || filterbankChannelCount > MFCC_MAX_CHANNELS)
        CV_FATAL("AddMfccLayer: filterbank channel count (%u) must be between 1 and %d", filterbankChannelCount,
                 MFCC_MAX_CHANNELS);
    if (dctCoefficientCount < 1 || dctCoefficientCount > filterbankChannelCount)
        CV_FATAL("AddMfccLayer: DCT coefficient count (%u) must be between 1 and the filterbank channel count (%u)",
                 dctCoefficientCount, filterbankChannelCount);

    params->upperFrequencyLimit = upperFrequencyLimit;
    params->lowerFrequencyLimit = lowerFrequencyLimit;
    params->filterbankChannelCount = filterbankChannelCount;
    params->dctCoefficientCount = dctCoefficientCount;
    params->sampleRate = inputsNum == 1 ? sampleRate : 0;

    TensorShape shape = {};
    shape.dimension[0] = inputs[0]->shape.dimension[0];
    shape.dimension[1] = inputs[0]->shape.dimension[1];
    shape.dimension[2] = dctCoefficientCount;
    kernel->output[0] = CreateTensor((DataType)inputs[0]->dtype, DL_NONE, 3, shape, true);
    return layer;
}

}  // extern "C"
