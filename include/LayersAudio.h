/* Audio features: records, constructors and kernels.
 *
 * AudioSpectrogram turns blocks of audio samples into power (or magnitude)
 * spectra: periodic Hann window, zero padding to a power of two, real DFT.
 * Mfcc turns spectrogram rows into mel-frequency cepstral coefficients:
 * triangular mel filterbank on the magnitudes, logarithm, DCT-II. */
#ifndef CORVUS_LAYERSAUDIO_H
#define CORVUS_LAYERSAUDIO_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Parameter records --------------------------------------------------- */

typedef struct AudioSpectrogramParams {
    uint32_t windowSize;   /* samples per frame */
    uint32_t stride;       /* samples between frame starts */
    bool magnitudeSquared; /* false: square roots of the powers */
} AudioSpectrogramParams;

typedef struct MfccParams {
    float upperFrequencyLimit; /* Hz */
    float lowerFrequencyLimit; /* Hz */
    uint32_t filterbankChannelCount;
    uint32_t dctCoefficientCount;
    uint32_t sampleRate; /* Hz; used only when the layer has one input */
} MfccParams;

/* ---- Working records (built per execution) -------------------------------- */

typedef struct Spectrogram {
    int window_length;
    int fft_length;                /* smallest power of two >= window_length */
    int output_frequency_channels; /* fft_length / 2 + 1 */
    int step_length;
    double* window;                  /* window_length values */
    double* fft_input_output;        /* fft_length + 2 values */
    int* fft_integer_working_area;   /* 2 + (int)sqrt(fft_length / 2) values */
    double* fft_double_working_area; /* fft_length / 2 values */
} Spectrogram;

/* Largest filterbank accepted: far beyond any useful mel resolution, and it
 * bounds the DCT table and the per-row scratch. */
#define MFCC_MAX_CHANNELS 4096

typedef struct MfccMelFilterbank {
    float* center_frequencies; /* num_channels + 1 mel values */
    float* weights;            /* input_length values */
    int* band_mapper;          /* input_length values: channel below the bin, -1 before the first, -2 outside */
    int num_channels;
    float sample_rate;
    int input_length;
    int start_index;
    int end_index;
} MfccMelFilterbank;

typedef struct MfccDct {
    int coefficient_count;
    int input_length;
    float* cosines; /* coefficient_count rows of input_length values */
} MfccDct;

typedef struct Mfcc {
    MfccMelFilterbank* filterbank;
    MfccDct* dct;
    float lower_frequency_limit;
    float upper_frequency_limit;
    uint32_t filterbank_channel_count;
    uint32_t dct_coefficient_count;
} Mfcc;

/* ---- Real DFT --------------------------------------------------------------- */

/* In-place real DFT of n doubles (n a power of two, at least 2).
 * isgn = 1 (forward): a[0] = sum a[j], a[1] = sum a[j] (-1)^j and, for
 * 0 < k < n/2, a[2k] = sum a[j] cos(2 pi jk/n), a[2k+1] = sum a[j] sin(2 pi jk/n).
 * isgn = -1 inverts that packing up to the factor n/2: forward then inverse
 * gives the input times n/2.
 * ip (at least 2 + sqrt(n/2) ints) and w (at least n/2 doubles) hold the
 * twiddle tables; set ip[0] = 0 before the first call, the tables are then
 * built on the first call and reused while n does not grow. */
CORVUS_EXPORT void rdft(int n, int isgn, double* a, int* ip, double* w);

/* ---- MFCC building blocks ------------------------------------------------------ */

/* Mel scale: 1127 ln(1 + hz / 700). */
CORVUS_EXPORT float FreqToMel(float hz);

CORVUS_EXPORT MfccMelFilterbank* MfccMelFilterbankCreate(void);
CORVUS_EXPORT void MfccMelFilterbankInitialize(MfccMelFilterbank* filterbank, int inputLength, float sampleRate,
                                               int numChannels, float lowerLimit, float upperLimit);
/* input: input_length power values; output: num_channels values. */
CORVUS_EXPORT void MfccMelFilterbankCompute(const MfccMelFilterbank* filterbank, const float* input, float* output);
CORVUS_EXPORT void MfccMelFilterbankDestroy(MfccMelFilterbank* filterbank);

CORVUS_EXPORT MfccDct* MfccDctCreate(void);
CORVUS_EXPORT void MfccDctInitialize(MfccDct* dct, int inputLength, int coefficientCount);
/* input: input_length values; output: coefficient_count values. */
CORVUS_EXPORT void MfccDctCompute(const MfccDct* dct, const float* input, float* output);
CORVUS_EXPORT void MfccDctDestroy(MfccDct* dct);

CORVUS_EXPORT Mfcc* MfccCreate(uint32_t channelCount, uint32_t coefficientCount, float lowerLimit, float upperLimit);
/* inputLength: bins per spectrogram row. */
CORVUS_EXPORT void MfccInitialize(Mfcc* mfcc, int inputLength, float sampleRate);
/* One spectrogram row in, dct_coefficient_count values out. */
CORVUS_EXPORT void MfccCompute(const Mfcc* mfcc, const float* input, float* output);
CORVUS_EXPORT void MfccDestroy(Mfcc* mfcc);

/* ---- Work functions ------------------------------------------------------------- */

/* input [samples, channels] float32; output [channels, frames, fft_length/2 + 1]. */
CORVUS_EXPORT void AudioSpectrogram_FP32(const Tensor* input, Tensor* output, const AudioSpectrogramParams* params);
/* input [d0, frames, bins] float32; output [d0, frames, dctCoefficientCount]. */
CORVUS_EXPORT void MfccCalculations(float sampleRate, const Tensor* input, Tensor* output, const MfccParams* params);

/* ---- Constructors ------------------------------------------------------------------ */
/* Inputs come from the input layer(s) (each layer's output[0]) or, when that is
 * NULL, from the given tensors, which the layer then owns. name NULL generates one. */

/* One input [samples, channels], float32. */
CORVUS_EXPORT Layer* AddAudioSpectrogram(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t windowSize,
                                         uint32_t stride, bool magnitudeSquared);
/* Input 0 [d0, frames, bins] float32; optional input 1: one int32 holding the
 * sample rate, which then replaces sampleRate. */
CORVUS_EXPORT Layer* AddMfccLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name,
                                  uint32_t dctCoefficientCount, uint32_t filterbankChannelCount, uint32_t sampleRate,
                                  float lowerFrequencyLimit, float upperFrequencyLimit);

#ifdef __cplusplus
}
#endif

#endif
