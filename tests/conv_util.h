// Helpers shared by the convolution, dense and matmul tests: tensors with
// optional gaps in their strides, random data, bit-exact comparison, the
// fused activations written out plainly, and the one naive convolution.
#ifndef CORVUS_TESTS_CONV_UTIL_H
#define CORVUS_TESTS_CONV_UTIL_H

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "ActivationTypes.h"
#include "ModelWeights.h"
#include "Padding.h"
#include "test_util.h"

namespace conv_test {

using corvus_test::Shape;
using U = std::vector<uint32_t>;

inline float* F32(const Tensor* t) { return (float*)t->data; }

// Explicit two-dimensional pads and the output size they give.
inline PaddingStruct Pads(uint32_t oh, uint32_t ow, uint32_t top = 0, uint32_t left = 0, uint32_t bottom = 0,
                          uint32_t right = 0)
{
    PaddingStruct p{};
    p.outputSize[0] = oh, p.outputSize[1] = ow;
    p.begin0 = top, p.begin1 = left, p.end0 = bottom, p.end1 = right;
    return p;
}

// Offset of element `index` through the tensor's own strides.
inline size_t Offset(const Tensor* t, const U& index)
{
    size_t offset = 0;
    for (size_t k = 0; k < index.size(); ++k) offset += (size_t)index[k] * t->stride.dimension[k];
    return offset;
}
inline float& At(const Tensor* t, const U& index) { return F32(t)[Offset(t, index)]; }

// A float32 (or float16) tensor with data; `gap` extra elements after every
// row of each dimension but the last (filled with a marker: 777, or 0x5A5A
// in float16), so kernels must honour the strides. Values uniform in
// [-1, 1] when rng is given, else 0 (float16: the marker everywhere).
inline Tensor* Make(DataLayout layout, const U& dims, std::mt19937* rng, uint32_t gap = 0, DataType dtype = DT_FLOAT32)
{
    const uint32_t nd = (uint32_t)dims.size();
    TensorStrides s{};
    s.dimension[nd - 1] = 1;
    for (int k = (int)nd - 2; k >= 0; --k) s.dimension[k] = s.dimension[k + 1] * dims[k + 1] + gap;
    Tensor* t = CreateTensorWithStrides(dtype, layout, nd, Shape(dims), s, true);
    const size_t total = (size_t)dims[0] * s.dimension[0];
    if (dtype == DT_FLOAT16) {
        std::fill((uint16_t*)t->data, (uint16_t*)t->data + total, (uint16_t)0x5A5A);
        if (rng == nullptr) return t;
        Tensor* f32 = Make(layout, dims, rng, gap);
        TensorDataConvert(t, f32);
        DestroyTensor(f32);
    } else if (dtype == DT_FLOAT32) {
        std::fill(F32(t), F32(t) + total, gap != 0 ? 777.0f : 0.0f);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        if (rng != nullptr) corvus_test::ForEachIndex(dims, [&](const U& i) { At(t, i) = dist(*rng); });
    }
    return t;
}

// A dense float32 tensor holding `values` (zeros when empty).
inline Tensor* Filled(const U& dims, const std::vector<float>& values = {}, DataLayout layout = DL_NONE)
{
    Tensor* t = Make(layout, dims, nullptr);
    std::copy(values.begin(), values.end(), F32(t));
    return t;
}

// The same values in another element type (dense, same shape and layout).
inline Tensor* ConvertedCopy(const Tensor* src, DataType dtype)
{
    Tensor* t = CreateTensor(dtype, (DataLayout)src->layout, src->ndim, src->shape, true);
    TensorDataConvert(t, src);
    return t;
}

inline float RoundHalf(float v) { return corvus_test::Float(corvus_test::Half(v)); }

// The values of a float32 or float16 tensor in index order, through its strides.
inline std::vector<float> Values(const Tensor* t)
{
    std::vector<float> v;
    corvus_test::ForEachIndex(corvus_test::DimsOf(t), [&](const U& i) {
        v.push_back(t->dtype == DT_FLOAT16 ? corvus_test::Float(((const uint16_t*)t->data)[Offset(t, i)]) : At(t, i));
    });
    return v;
}

// The fused activations as the activation kernel defines them.
inline float Activate(float x, uint32_t kind, float alpha)
{
    switch (kind) {
    case ReLU:
        return x > 0.0f ? x : x * 0.0f;
    case ReLU6: {
        const float y = x > 0.0f ? x : x * 0.0f;
        return y > 6.0f ? 6.0f : y;
    }
    case LeakyReLU:
        return x > 0.0f ? x : x * alpha;
    default:
        return x;
    }
}

// Bit-identical floats (NaN equal to NaN, -0 different from +0).
inline ::testing::AssertionResult SameBits(float expected, float actual)
{
    if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
    if (memcmp(&expected, &actual, sizeof(float)) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

// Every value of `t` bit-identical to `want` (in index order).
inline ::testing::AssertionResult SameValues(const std::vector<float>& want, const Tensor* t)
{
    const std::vector<float> got = Values(t);
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes " << got.size() << ", " << want.size();
    for (size_t e = 0; e < got.size(); ++e)
        if (!SameBits(want[e], got[e])) return SameBits(want[e], got[e]) << " at element " << e;
    return ::testing::AssertionSuccess();
}

inline const uint32_t kFusedKinds[] = {None, ReLU, ReLU6, LeakyReLU, Linear};

// Output size of a window k dilated by d with stride s over in + pads (0 when none fits).
inline uint32_t OutSize(uint32_t in, uint32_t k, uint32_t s, uint32_t d, uint32_t before, uint32_t after)
{
    const int64_t span = (int64_t)in + before + after - ((int64_t)(k - 1) * d + 1);
    return span < 0 ? 0 : (uint32_t)(span / s + 1);
}

// A convolution of any number of spatial axes over channels-last tensors:
// x {N, S..., Cin}, y {N, O..., Cout}; filter {K..., Cin/G, Cout}, or
// {K..., Cout/G, Cin} when transposed. Depthwise with multiplier M is G = C
// with Cout = C * M. Output channels no whole group reaches get no sums.
struct ConvSetup {
    U x, y, k, s, d, pad;  // s, d default to 1 and pad to 0 per axis
    uint32_t groups = 1;
    bool transposed = false;
    // Rounding order. Default: per tap a fused sum over the group's input
    // channels from 0, added to the output; the bias after all taps.
    // chain: one fused chain from the bias over taps, then channels.
    bool chain = false;
    bool halfSteps = false;     // chain: round to float16 after every step (and the bias)
    bool half = false;          // result rounded to float16
    uint32_t passChannels = 0;  // chain: passes over blocks of input channels, rounded to float16 between
    uint32_t act = None;
    float alpha = 0.0f;
    bool plusZero = false;  // the activation gives +0 where Activate gives -0
};

// Values in index order (as Values gives them); bias may be null.
inline std::vector<float> NaiveConv(const ConvSetup& c, const std::vector<float>& x, const std::vector<float>& w,
                                    const float* bias)
{
    const size_t nd = c.x.size() - 2;
    auto at = [](const U& v, size_t a, uint32_t dflt) { return a < v.size() ? v[a] : dflt; };
    const uint32_t Cin = c.x.back(), Cout = c.y.back(), G = c.groups;
    const bool formed = G != 0 && G <= Cin && Cout >= G;
    const uint32_t cgIn = formed ? Cin / G : 0, cgOut = formed ? Cout / G : 0;
    const U xs(c.x.begin() + 1, c.x.end() - 1);
    // Calls fn(input pixel offset, filter tap index) for every (input position,
    // tap) pair reaching output position o, in summation order: taps in order
    // (forward), input positions in order (transposed).
    auto pairs = [&](uint32_t n, const U& o, const std::function<void(size_t, size_t)>& fn) {
        corvus_test::ForEachIndex(c.transposed ? xs : c.k, [&](const U& v) {
            size_t pixel = n, tap = 0;
            for (size_t a = 0; a < nd; ++a) {
                const int64_t s = at(c.s, a, 1), d = at(c.d, a, 1), base = (int64_t)o[a] + at(c.pad, a, 0);
                int64_t i = v[a], t = v[a];
                if (c.transposed) {
                    if ((base - i * s) % d != 0) return;
                    t = (base - i * s) / d;
                } else {
                    i = (int64_t)o[a] * s - at(c.pad, a, 0) + t * d;
                }
                if (i < 0 || i >= xs[a] || t < 0 || t >= c.k[a]) return;
                pixel = pixel * xs[a] + (size_t)i, tap = tap * c.k[a] + (size_t)t;
            }
            fn(pixel * Cin, tap);
        });
    };
    // Filter element of input channel ci (of group g) for output channel co at `tap`.
    auto weight = [&](size_t tap, uint32_t ci, uint32_t co) {
        return c.transposed ? w[(tap * cgOut + co % cgOut) * Cin + ci] : w[(tap * cgIn + ci % cgIn) * Cout + co];
    };
    auto H = [&](float v) { return c.halfSteps ? RoundHalf(v) : v; };
    std::vector<float> y;
    corvus_test::ForEachIndex(c.y, [&](const U& yi) {
        const uint32_t n = yi[0], co = yi.back();
        const U o(yi.begin() + 1, yi.end() - 1);
        const bool reached = formed && co / cgOut < G;
        const uint32_t g = reached ? co / cgOut : 0;
        float r = 0.0f;
        if (!c.chain) {
            if (reached)
                pairs(n, o, [&](size_t px, size_t tap) {
                    float s = 0.0f;
                    for (uint32_t ci = g * cgIn; ci < (g + 1) * cgIn; ++ci)
                        s = fmaf(x[px + ci], weight(tap, ci, co), s);
                    r += s;
                });
            if (bias != nullptr) r += bias[co];
            r = Activate(r, c.act, c.alpha);
        } else {
            const uint32_t block = c.passChannels != 0 ? c.passChannels : std::max(cgIn, 1u);
            for (uint32_t b0 = 0; b0 < std::max(cgIn, 1u); b0 += block) {
                float acc = b0 == 0 && bias != nullptr ? H(bias[co]) : 0.0f;
                if (reached)
                    pairs(n, o, [&](size_t px, size_t tap) {
                        for (uint32_t ci = g * cgIn + b0; ci < g * cgIn + std::min(b0 + block, cgIn); ++ci)
                            acc = H(fmaf(x[px + ci], weight(tap, ci, co), acc));
                    });
                if (b0 > 0) acc += r;
                if (b0 + block >= cgIn) acc = Activate(acc, c.act, c.alpha);
                r = c.passChannels != 0 ? RoundHalf(acc) : acc;
            }
        }
        if (c.plusZero && r == 0.0f) r = 0.0f;
        y.push_back(c.half ? RoundHalf(r) : r);
    });
    return y;
}

// ---- Whole models (the readers' and converters' tests) ----

inline const std::string kSourceRoot = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/"));

// The Debian interpreter carries `modules` (e.g. "numpy, onnx") even where
// another python3 comes first; empty when no interpreter has them.
inline std::string Python(const std::string& modules)
{
    static std::map<std::string, std::string> found;
    if (found.count(modules) == 0) {
        found[modules] = "";
        for (const char* candidate : {"/usr/bin/python3", "python3"})
            if (found[modules].empty() &&
                std::system((std::string(candidate) + " -c 'import " + modules + "' 2>/dev/null").c_str()) == 0)
                found[modules] = candidate;
    }
    return found[modules];
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// An output of a model run: name, dims and values (integer types converted).
struct Output {
    std::string name;
    U dims;
    std::vector<float> values;
};

// Builds a model from a parsed description, loads `weights` (when given),
// optionally optimises it, initialises it, feeds one float32 input per input
// layer in order (inputs no output depends on are released) and returns the
// outputs in order. The description and the model are released.
inline std::vector<Output> RunModel(IOLayers* io, const std::vector<std::vector<float>>& inputs,
                                    const std::string& weights = "", bool optimize = true)
{
    Model* m = CreateModel(io->outputLayers, io->outputLayersCount);
    if (!weights.empty()) LoadModelWeights(m, weights.c_str());
    if (optimize) OptimizeModel(m, 0);
    InitModel(m, 1);
    std::vector<ModelInput> in;
    for (uint32_t i = 0; i < io->inputLayersCount; ++i) {
        Layer* l = io->inputLayers[i];
        if (!IsLayerInList(m->layers, m->numLayers, l)) {
            DestroyLayer(l);
            io->inputLayers[i] = nullptr;
            continue;
        }
        const Tensor* d = l->kernel->output[0];
        Tensor* t = CreateTensor(DT_FLOAT32, (DataLayout)d->layout, d->ndim, d->shape, false);
        EXPECT_EQ(GetTensorSize(t), inputs.at(i).size()) << l->name;
        SetTensorData(t, (void*)inputs[i].data());
        in.push_back({l->name, t});
    }
    Layer** out = Predict(m, (uint32_t)in.size(), in.data());
    std::vector<Output> r;
    for (uint32_t j = 0; j < io->outputLayersCount; ++j) {
        const Tensor* t = out[j]->kernel->output[0];
        EXPECT_TRUE(IsSerialData(t)) << out[j]->name;
        r.push_back({out[j]->name, corvus_test::DimsOf(t), {}});
        for (uint32_t e = 0; e < GetTensorSize(t); ++e)
            r.back().values.push_back(t->dtype == DT_INT32  ? (float)((const int32_t*)t->data)[e]
                                      : t->dtype == DT_INT8 ? (float)((const int8_t*)t->data)[e]
                                                            : ((const float*)t->data)[e]);
    }
    for (ModelInput& i : in) DestroyTensor(i.tensor);
    DestroyIOLayers(io);
    DestroyModel(m);
    return r;
}

// |got - want| <= atol + rtol * |want| everywhere.
inline void ExpectClose(const std::vector<float>& got, const std::vector<float>& want, const std::string& what,
                        float atol = 1e-5f, float rtol = 0.0f)
{
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_LE(std::fabs(got[i] - want[i]), atol + rtol * std::fabs(want[i]))
            << what << " [" << i << "]: " << got[i] << " vs " << want[i];
}

}  // namespace conv_test

#endif
