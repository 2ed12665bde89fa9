// The DFT, spectrogram and MFCC formulas in double precision for the audio
// tests: direct sums, nothing shared with the library's code.
#ifndef CORVUS_TESTS_AUDIO_UTIL_H
#define CORVUS_TESTS_AUDIO_UTIL_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace audio_test {

constexpr double kPi = 3.14159265358979323846;

inline std::vector<float> RandomSignal(size_t n, uint32_t seed, float amplitude = 1.0f)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

inline uint32_t NextPow2(uint32_t n) { return n <= 1 ? 1 : 2 * NextPow2((n + 1) / 2); }

// Bins 0..n/2 of x zero-padded to n: (sum x cos, sum x sin) of 2 pi j k / n.
inline std::vector<std::pair<double, double>> RefDft(const std::vector<double>& x, uint32_t n)
{
    std::vector<double> c(n), s(n);
    for (uint32_t m = 0; m < n; ++m) c[m] = std::cos(2.0 * kPi * m / n), s[m] = std::sin(2.0 * kPi * m / n);
    std::vector<std::pair<double, double>> out(n / 2 + 1);
    for (uint32_t k = 0; k <= n / 2; ++k)
        for (uint32_t j = 0; j < x.size(); ++j) {
            const uint32_t m = (uint32_t)(((uint64_t)j * k) % n);
            out[k].first += x[j] * c[m], out[k].second += x[j] * s[m];
        }
    return out;
}

// Power (or magnitude) spectrogram of interleaved samples [samples, channels]
// as [channels][frames][fft/2 + 1], over periodic-Hann-windowed frames.
inline std::vector<double> RefSpectrogram(const std::vector<float>& interleaved, uint32_t samples, uint32_t channels,
                                          uint32_t window, uint32_t stride, bool magnitudeSquared,
                                          uint32_t* framesOut = nullptr, uint32_t* binsOut = nullptr)
{
    const uint32_t fft = NextPow2(window), frames = (samples - window) / stride + 1;
    std::vector<double> out, x(window);
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t t = 0; t < frames; ++t) {
            for (uint32_t j = 0; j < window; ++j)
                x[j] = (double)interleaved[((size_t)t * stride + j) * channels + c] *
                       (0.5 - 0.5 * std::cos(2.0 * kPi * j / window));
            for (const auto& b : RefDft(x, fft)) {
                const double p = b.first * b.first + b.second * b.second;
                out.push_back(magnitudeSquared ? p : std::sqrt(p));
            }
        }
    if (framesOut) *framesOut = frames;
    if (binsOut) *binsOut = fft / 2 + 1;
    return out;
}

inline double RefMel(double hz) { return 1127.0 * std::log1p(hz / 700.0); }

// Triangular mel filterbank as described: band mapper, weights, and the
// weighted sums of the bin magnitudes.
struct RefFilterbank {
    std::vector<double> center, weights;
    std::vector<int> mapper;
    int start = 0, end = 0, channels = 0;

    RefFilterbank(int bins, double sampleRate, int numChannels, double lower, double upper) : channels(numChannels)
    {
        const double melLow = RefMel(lower);
        const double spacing = (RefMel(upper) - melLow) / (numChannels + 1);
        for (int i = 0; i <= numChannels; ++i) center.push_back(melLow + spacing * (i + 1));
        const double hzPerBin = 0.5 * sampleRate / (bins - 1);
        start = (int)(lower / hzPerBin + 1.5);
        end = (int)(upper / hzPerBin);
        mapper.assign(bins, -2);
        weights.assign(bins, 0.0);
        for (int i = start; i <= end && i < bins; ++i) {
            const double mel = RefMel(i * hzPerBin);
            int ch = 0;
            while (ch < numChannels && center[ch] < mel) ++ch;
            mapper[i] = ch - 1;
            weights[i] = ch - 1 >= 0 ? (center[ch] - mel) / (center[ch] - center[ch - 1])
                                     : (center[0] - mel) / (center[0] - melLow);
        }
    }

    std::vector<double> Compute(const float* power) const
    {
        std::vector<double> out(channels, 0.0);
        for (int i = start; i <= end; ++i) {
            const double v = std::sqrt((double)power[i]);
            const double wv = v * weights[i];
            if (mapper[i] >= 0) out[mapper[i]] += wv;
            if (mapper[i] + 1 < channels) out[mapper[i] + 1] += v - wv;
        }
        return out;
    }
};

// Log of the bands (floored at 1e-12), then the orthonormal DCT-II.
inline std::vector<double> RefMfcc(const RefFilterbank& fb, const float* power, int coefficients)
{
    std::vector<double> bands = fb.Compute(power), out(coefficients, 0.0);
    const int n = (int)bands.size();
    for (int i = 0; i < coefficients; ++i)
        for (int j = 0; j < n; ++j)
            out[i] += std::log(std::max(bands[j], 1e-12)) * std::sqrt(2.0 / n) * std::cos(kPi * i * (j + 0.5) / n);
    return out;
}

}  // namespace audio_test

#endif
