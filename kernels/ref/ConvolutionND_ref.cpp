#define CORVUS_MODULE "ConvolutionND_ref"
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersConvolutionND.h"
#include "Report.h"
#include "VectorLevel.h"
#include "common/Float32Temps.h"

#if defined(__GNUC__)
#define CV_ALWAYS_INLINE inline __attribute__((always_inline))
#define CV_UNROLL_TAPS _Pragma("GCC unroll 4")
#else
#define CV_ALWAYS_INLINE inline
#define CV_UNROLL_TAPS
#endif

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

template <int N> using Int = std::integral_constant<int, N>;

// Widest channel blocks of the two tile shapes: four output positions by 8
// channels (forward), up to four taps by 16 channels (transposed). Chosen so
// that the compiler keeps every accumulator in a vector register.
constexpr int kForwardBlock = 8;
constexpr int kTransposedBlock = 16;

// ---- Micro-kernels ------------------------------------------------------------
// Blocks of CB adjacent output channels stay in registers while the input
// channels are walked; every accumulator takes its fused multiply-adds in
// input-channel order, so blocking changes no result.

// P input rows against one filter block: acc[p][c] = fma(x[p][ci], w[ci][c], acc[p][c]).
template <int P, int CB>
CV_ALWAYS_INLINE void FmaRows(float (&acc)[P][CB], const float* const (&x)[P], const float* w, size_t ldw, uint32_t cin)
{
    for (uint32_t ci = 0; ci < cin; ++ci, w += ldw)
        for (int p = 0; p < P; ++p) {
            const float xv = x[p][ci];
            for (int c = 0; c < CB; ++c) acc[p][c] = fmaf(xv, w[c], acc[p][c]);
        }
}

// One input row against T filter blocks: acc[t][c] = fma(x[ci], w[t][ci][c], acc[t][c]).
template <int T, int CB>
CV_ALWAYS_INLINE void FmaTaps(float (&acc)[T][CB], const float* x, const float* const (&w)[T], size_t ldw, uint32_t cin)
{
    for (uint32_t ci = 0; ci < cin; ++ci) {
        const float xv = x[ci];
        const size_t row = ci * ldw;
        CV_UNROLL_TAPS
        for (int t = 0; t < T; ++t)
            for (int c = 0; c < CB; ++c) acc[t][c] = fmaf(xv, w[t][row + c], acc[t][c]);
    }
}

// Calls f(first, Int<CB>) over `count` channels in blocks of kWidest (16 or
// 8), then 8, 4, 1.
template <int kWidest, typename F> CV_ALWAYS_INLINE void ForChannelBlocks(uint32_t count, F&& f)
{
    static_assert(kWidest == 16 || kWidest == 8, "blocks of 16 or 8");
    uint32_t c = 0;
    for (; c + kWidest <= count; c += kWidest) f(c, Int<kWidest>());
    if (kWidest == 16 && c + 8 <= count) {
        f(c, Int<8>());
        c += 8;
    }
    if (c + 4 <= count) {
        f(c, Int<4>());
        c += 4;
    }
    for (; c < count; ++c) f(c, Int<1>());
}

// ---- Geometry -------------------------------------------------------------------

// One spatial axis of a window: position of tap k for index o is
// o * stride - pad + k * dilation, valid inside [0, extent). Computed in 128
// bits: hostile strides and dilations overflow 64.
struct Axis {
    uint32_t extent;
    uint32_t stride, dilation, pad, taps;

    int64_t At(uint32_t o, uint32_t k) const
    {
        const __int128 i = (__int128)o * stride - pad + (__int128)k * dilation;
        return i >= 0 && i < extent ? (int64_t)i : -1;
    }
    // Positions grow with o and k, so the end taps decide.
    bool AllInside(uint32_t o) const { return taps == 0 || (At(o, 0) >= 0 && At(o, taps - 1) >= 0); }
};

struct Operands {
    uint32_t N, G, Cin, Cout, CgIn, CgOut;
    const float* in;
    float* out;
    const float* bias;  // null without bias
    bool biasPerGroup;  // bias indexed by the channel within its group
};

// A forward convolution over depth, height and width (one-dimensional: the
// first two of extent 1 with one tap). The filter is dense
// {kD, kH, kW, CgIn, Cout}.
struct Forward {
    Operands op;
    Axis axis[3];
    uint32_t outDim[3];
    uint64_t inStride[4], outStride[4];  // batch, depth, height, width
    const float* filter;
};

// A transposed convolution over height and width (one-dimensional: height of
// extent 1 with one tap). Axis extents are the output's; `packed` is the
// filter as {kH, kW, Cin, CgOut}.
struct Transposed {
    Operands op;
    Axis axis[2];
    uint32_t inDim[2];
    uint64_t inStride[3], outStride[3];  // batch, height, width
    const float* packed;
};

// ---- Forward engine -----------------------------------------------------------

struct RowTap {
    uint64_t inOffset;  // element offset of the input row (depth and height)
    uint32_t tapBase;   // (kd * kH + kh) * kW
};

// One tap of a three-dimensional convolution: the partial sums over the
// group's input channels, from zero, added to the outputs.
template <int P, int CB>
CV_ALWAYS_INLINE void KernelIterationsTemp(float (&acc)[P][CB], const float* const (&x)[P], const float* w, size_t ldw,
                                           uint32_t cin)
{
    float s[P][CB];
    for (int p = 0; p < P; ++p)
        for (int c = 0; c < CB; ++c) s[p][c] = 0.0f;
    FmaRows<P, CB>(s, x, w, ldw, cin);
    for (int p = 0; p < P; ++p)
        for (int c = 0; c < CB; ++c) acc[p][c] += s[p][c];
}

// P output positions along the width, starting at ow, channels [co0, co0 + CB)
// of group g. kPartial: per-tap partial sums added to outputs that start at
// zero, bias last; otherwise fused multiply-adds straight into outputs that
// start at the bias.
template <bool kPartial, int P, int CB>
void ForwardTile(const Forward& f, const std::vector<RowTap>& rows, const float* inBatch, float* outRow, uint32_t ow,
                 uint32_t g, uint32_t co0)
{
    const Operands& op = f.op;
    const Axis& aw = f.axis[2];
    const uint32_t channel = g * op.CgOut + co0;
    const size_t ldw = op.Cout;
    float acc[P][CB];
    for (int p = 0; p < P; ++p)
        for (int c = 0; c < CB; ++c) acc[p][c] = (!kPartial && op.bias != nullptr) ? op.bias[channel + c] : 0.0f;

    for (const RowTap& r : rows) {
        for (uint32_t kw = 0; kw < aw.taps; ++kw) {
            int64_t iw[P];
            bool inside = true;
            for (int p = 0; p < P; ++p) {
                iw[p] = aw.At(ow + p, kw);
                inside = inside && iw[p] >= 0;
            }
            if (!inside) continue;  // only single-position tiles reach the pads
            const float* x[P];
            for (int p = 0; p < P; ++p)
                x[p] = inBatch + r.inOffset + (uint64_t)iw[p] * f.inStride[3] + (uint64_t)g * op.CgIn;
            const float* w = f.filter + (uint64_t)(r.tapBase + kw) * op.CgIn * op.Cout + channel;
            if (kPartial) {
                KernelIterationsTemp<P, CB>(acc, x, w, ldw, op.CgIn);
            } else {
                FmaRows<P, CB>(acc, x, w, ldw, op.CgIn);
            }
        }
    }
    for (int p = 0; p < P; ++p) {
        float* o = outRow + (uint64_t)(ow + p) * f.outStride[3] + channel;
        for (int c = 0; c < CB; ++c)
            o[c] = (kPartial && op.bias != nullptr) ? acc[p][c] + op.bias[channel + c] : acc[p][c];
    }
}

// Output channels [from, Cout) of every pixel: the bias, or zero. These are
// the channels no group reaches (all of them when there is no group).
void FillUngrouped(const Forward& f, uint32_t from)
{
    const Operands& op = f.op;
    if (from >= op.Cout) return;
    for (uint32_t n = 0; n < op.N; ++n)
        for (uint32_t a = 0; a < f.outDim[0]; ++a)
            for (uint32_t b = 0; b < f.outDim[1]; ++b)
                for (uint32_t c = 0; c < f.outDim[2]; ++c) {
                    float* px =
                        op.out + n * f.outStride[0] + a * f.outStride[1] + b * f.outStride[2] + c * f.outStride[3];
                    for (uint32_t co = from; co < op.Cout; ++co) px[co] = op.bias != nullptr ? op.bias[co] : 0.0f;
                }
}

template <bool kPartial> void RunForward(const Forward& f)
{
    FillUngrouped(f, f.op.G * f.op.CgOut);
    constexpr uint32_t kTile = 4;
    const Operands& op = f.op;
    const Axis &ad = f.axis[0], &ah = f.axis[1], &aw = f.axis[2];
    std::vector<RowTap> rows;
    for (uint32_t n = 0; n < op.N; ++n) {
        const float* inBatch = op.in + n * f.inStride[0];
        for (uint32_t od = 0; od < f.outDim[0]; ++od)
            for (uint32_t oh = 0; oh < f.outDim[1]; ++oh) {
                // Depth and height taps inside the input, kd outer.
                rows.clear();
                for (uint32_t kd = 0; kd < ad.taps; ++kd) {
                    const int64_t id = ad.At(od, kd);
                    if (id < 0) continue;
                    for (uint32_t kh = 0; kh < ah.taps; ++kh) {
                        const int64_t ih = ah.At(oh, kh);
                        if (ih >= 0)
                            rows.push_back({(uint64_t)id * f.inStride[1] + (uint64_t)ih * f.inStride[2],
                                            (kd * ah.taps + kh) * aw.taps});
                    }
                }
                float* outRow = op.out + n * f.outStride[0] + od * f.outStride[1] + oh * f.outStride[2];
                for (uint32_t g = 0; g < op.G; ++g)
                    ForChannelBlocks<kForwardBlock>(op.CgOut, [&](uint32_t co0, auto cb) {
                        constexpr int CB = decltype(cb)::value;
                        uint32_t ow = 0;
                        while (ow < f.outDim[2]) {
                            if (ow + kTile <= f.outDim[2] && aw.AllInside(ow) && aw.AllInside(ow + kTile - 1)) {
                                ForwardTile<kPartial, kTile, CB>(f, rows, inBatch, outRow, ow, g, co0);
                                ow += kTile;
                            } else {
                                ForwardTile<kPartial, 1, CB>(f, rows, inBatch, outRow, ow, g, co0);
                                ow += 1;
                            }
                        }
                    });
            }
    }
}

// ---- Transposed engine ----------------------------------------------------------

// T taps of one input pixel, channels [co0, co0 + CB) of group g: the dot
// products are formed first, then added to their outputs in tap order (two
// taps may reach the same output).
template <int T, int CB>
void TransposedTaps(const Transposed& f, const float* x, float* outRow, const uint32_t* ow, const uint32_t* kw,
                    uint32_t tapRow, uint32_t g, uint32_t co0)
{
    const Operands& op = f.op;
    const float* w[T];
    float s[T][CB];
    for (int t = 0; t < T; ++t) {
        w[t] = f.packed + ((uint64_t)(tapRow + kw[t]) * op.Cin + (uint64_t)g * op.CgIn) * op.CgOut + co0;
        for (int c = 0; c < CB; ++c) s[t][c] = 0.0f;
    }
    FmaTaps<T, CB>(s, x + (uint64_t)g * op.CgIn, w, op.CgOut, op.CgIn);
    for (int t = 0; t < T; ++t) {
        float* o = outRow + ow[t] * f.outStride[2] + (uint64_t)g * op.CgOut + co0;
        for (int c = 0; c < CB; ++c) o[c] += s[t][c];
    }
}

void RunTransposed(const Transposed& f)
{
    const Operands& op = f.op;
    const Axis &ah = f.axis[0], &aw = f.axis[1];
    std::vector<uint32_t> ows(aw.taps), kws(aw.taps);
    for (uint32_t n = 0; n < op.N; ++n)
        for (uint32_t ih = 0; ih < f.inDim[0]; ++ih)
            for (uint32_t iw = 0; iw < f.inDim[1]; ++iw) {
                const float* x = op.in + n * f.inStride[0] + ih * f.inStride[1] + iw * f.inStride[2];
                // Width taps that land inside the output, kw ascending.
                uint32_t count = 0;
                for (uint32_t kw = 0; kw < aw.taps; ++kw) {
                    const int64_t ow = aw.At(iw, kw);
                    if (ow < 0) continue;
                    ows[count] = (uint32_t)ow;
                    kws[count++] = kw;
                }
                if (count == 0) continue;
                for (uint32_t kh = 0; kh < ah.taps; ++kh) {
                    const int64_t oh = ah.At(ih, kh);
                    if (oh < 0) continue;
                    float* outRow = op.out + n * f.outStride[0] + (uint64_t)oh * f.outStride[1];
                    const uint32_t tapRow = kh * aw.taps;
                    for (uint32_t g = 0; g < op.G; ++g)
                        ForChannelBlocks<kTransposedBlock>(op.CgOut, [&](uint32_t co0, auto cb) {
                            constexpr int CB = decltype(cb)::value;
                            uint32_t t = 0;
                            for (; t + 4 <= count; t += 4)
                                TransposedTaps<4, CB>(f, x, outRow, &ows[t], &kws[t], tapRow, g, co0);
                            if (t + 2 <= count) {
                                TransposedTaps<2, CB>(f, x, outRow, &ows[t], &kws[t], tapRow, g, co0);
                                t += 2;
                            }
                            if (t < count) TransposedTaps<1, CB>(f, x, outRow, &ows[t], &kws[t], tapRow, g, co0);
                        });
                }
            }
}

// Every output element set to zero, through the output's strides.
void ZeroOutput(float* out, uint32_t rows0, uint32_t rows1, uint32_t rows2, const uint64_t* stride, uint32_t channels)
{
    for (uint32_t a = 0; a < rows0; ++a)
        for (uint32_t b = 0; b < rows1; ++b)
            for (uint32_t c = 0; c < rows2; ++c)
                memset(out + a * stride[0] + b * stride[1] + c * stride[2], 0, channels * sizeof(float));
}

void AddBias(const Transposed& f)
{
    const Operands& op = f.op;
    if (op.bias == nullptr) return;
    for (uint32_t n = 0; n < op.N; ++n)
        for (uint32_t oh = 0; oh < f.axis[0].extent; ++oh)
            for (uint32_t ow = 0; ow < f.axis[1].extent; ++ow) {
                float* o = op.out + n * f.outStride[0] + oh * f.outStride[1] + ow * f.outStride[2];
                if (!op.biasPerGroup) {
                    for (uint32_t co = 0; co < op.Cout; ++co) o[co] += op.bias[co];
                    continue;
                }
                for (uint32_t g = 0; g < op.G; ++g)
                    for (uint32_t co = 0; co < op.CgOut; ++co) o[g * op.CgOut + co] += op.bias[co];
            }
}

// {kH, kW, CgOut, Cin} -> {kH, kW, Cin, CgOut}: output channels adjacent.
std::vector<float> PackTransposedFilter(const float* filter, uint64_t taps, uint32_t cgOut, uint32_t cin)
{
    std::vector<float> packed(taps * cgOut * cin);
    for (uint64_t t = 0; t < taps; ++t)
        for (uint32_t co = 0; co < cgOut; ++co)
            for (uint32_t ci = 0; ci < cin; ++ci)
                packed[(t * cin + ci) * cgOut + co] = filter[(t * cgOut + co) * cin + ci];
    return packed;
}

// ---- Checks -------------------------------------------------------------------

void CheckShape(const char* fn, const char* what, const Tensor* t, std::initializer_list<uint32_t> dims)
{
    bool ok = t->ndim == dims.size();
    uint32_t k = 0;
    for (uint32_t d : dims) ok = ok && t->shape.dimension[k++] == d;
    if (ok) return;
    std::string want, got;
    for (uint32_t d : dims) want += (want.empty() ? "" : ", ") + std::to_string(d);
    for (uint32_t i = 0; i < t->ndim && i < MAX_NDIM_VALUE; ++i)
        got += (i ? ", " : "") + std::to_string(t->shape.dimension[i]);
    CV_FATAL("%s: %s shape (%s) is not the expected (%s)", fn, what, got.c_str(), want.c_str());
}

void CheckRank(const char* fn, const char* what, const Tensor* t, uint32_t ndim)
{
    CV_CHECK_PTR(t);
    if (t->ndim != ndim) CV_FATAL("%s: %s must have %u dimensions, has %u", fn, what, ndim, t->ndim);
    if (t->dtype != DT_FLOAT32) CV_FATAL("%s: %s must be float32", fn, what);
}

// Channels (and every dimension of filters and biases) are walked as dense runs.
void CheckDense(const char* fn, const char* what, const Tensor* t, bool whole)
{
    const bool ok = whole ? IsSerialData(t) : t->ndim == 0 || t->stride.dimension[t->ndim - 1] == 1;
    if (!ok) CV_FATAL("%s: %s must be %s", fn, what, whole ? "dense" : "dense along its channels");
    if (GetTensorSize(t) != 0 && t->data == nullptr) CV_FATAL("%s: %s has no data", fn, what);
}

// Channel counts per group; a group count of 0, or larger than the
// channels, leaves no channel to sum over.
Operands GroupedOperands(const Tensor* input, const Tensor* output, uint32_t groups)
{
    Operands op;
    op.N = input->shape.dimension[0];
    op.Cin = input->shape.dimension[input->ndim - 1];
    op.Cout = output->shape.dimension[output->ndim - 1];
    op.G = groups;
    op.CgIn = groups != 0 ? op.Cin / groups : 0;
    op.CgOut = groups != 0 ? op.Cout / groups : 0;
    if (op.CgIn == 0 || op.CgOut == 0) op.G = 0;
    op.in = (const float*)input->data;
    op.out = (float*)output->data;
    op.bias = nullptr;
    op.biasPerGroup = false;
    return op;
}

const float* BiasData(const char* fn, const Tensor* bias, bool useBias, uint32_t channels)
{
    if (!useBias) return nullptr;
    if (bias == nullptr) CV_FATAL("%s: the layer uses a bias but none is given", fn);
    CheckRank(fn, "bias", bias, 1);
    CheckShape(fn, "bias", bias, {channels});
    CheckDense(fn, "bias", bias, true);
    return (const float*)bias->data;
}

void ApplyActivation(Tensor* output, const ActivationParams& activation)
{
    Activation_fl32_ref(output, output, &activation);
}

// ---- Float16 through float32 temporaries ------------------------------------------

template <typename Params> const Params* KernelParams(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1 && kernel->innerNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
    CV_CHECK_PTR(kernel->inner[0]);
    return (const Params*)kernel->params;
}

template <typename Params, typename Work>
void ExecuteThroughFloat32(const char* fn, NNKernel* kernel, const Params* params, Work work)
{
    Tensor* bias = params->useBias && kernel->innerNum >= 2 ? kernel->inner[1] : nullptr;
    const Tensor* const operands[] = {kernel->input[0], kernel->inner[0], bias, kernel->output[0]};
    for (const Tensor* t : operands)
        if (t != nullptr && t->dtype != DT_FLOAT32 && t->dtype != DT_FLOAT16)
            CV_FATAL("%s: support only F16 or F32", fn);
    const corvus::Float32Operand in(kernel->input[0], true), filter(kernel->inner[0], true), b(bias, true);
    const corvus::Float32Operand out(kernel->output[0], false);
    work(in.get(), filter.get(), b.get(), out.get(), params);
    out.Store(kernel->output[0]);
}

}  // namespace

void Conv1D_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                     const Conv1DParams* params)
{
    static const char* const kFn = "Conv1D_fl32_ref";
    CV_CHECK_PTR(params);
    CheckRank(kFn, "input", input, 3);
    CheckRank(kFn, "output", output, 3);
    CheckRank(kFn, "filter", filter, 3);
    Forward f;
    f.op = GroupedOperands(input, output, params->groups);
    CheckShape(kFn, "output", output, {f.op.N, output->shape.dimension[1], f.op.Cout});
    CheckShape(kFn, "filter", filter, {params->kernel_size, f.op.CgIn, f.op.Cout});
    CheckDense(kFn, "input", input, false);
    CheckDense(kFn, "output", output, false);
    CheckDense(kFn, "filter", filter, true);
    f.op.bias = BiasData(kFn, bias, params->useBias, f.op.Cout);
    if (GetTensorSize(output) == 0) return;

    f.axis[0] = f.axis[1] = Axis{1, 1, 1, 0, 1};
    f.axis[2] =
        Axis{input->shape.dimension[1], params->stride, params->dilation, params->padBegin, params->kernel_size};
    f.outDim[0] = f.outDim[1] = 1;
    f.outDim[2] = output->shape.dimension[1];
    f.inStride[0] = input->stride.dimension[0];
    f.inStride[1] = f.inStride[2] = 0;
    f.inStride[3] = input->stride.dimension[1];
    f.outStride[0] = output->stride.dimension[0];
    f.outStride[1] = f.outStride[2] = 0;
    f.outStride[3] = output->stride.dimension[1];
    f.filter = (const float*)filter->data;
    RunForward<false>(f);
    ApplyActivation(output, params->activation);
}

void Conv3D_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                     const Conv3DParams* params)
{
    static const char* const kFn = "Conv3D_fl32_ref";
    CV_CHECK_PTR(params);
    CheckRank(kFn, "input", input, 5);
    CheckRank(kFn, "output", output, 5);
    CheckRank(kFn, "filter", filter, 5);
    Forward f;
    f.op = GroupedOperands(input, output, params->groups);
    const TensorShape& os = output->shape;
    CheckShape(kFn, "output", output, {f.op.N, os.dimension[1], os.dimension[2], os.dimension[3], f.op.Cout});
    CheckShape(kFn, "filter", filter, {params->kerSizeD, params->kerSizeH, params->kerSizeW, f.op.CgIn, f.op.Cout});
    CheckDense(kFn, "input", input, false);
    CheckDense(kFn, "output", output, false);
    CheckDense(kFn, "filter", filter, true);
    f.op.bias = BiasData(kFn, bias, params->useBias, f.op.Cout);
    if (GetTensorSize(output) == 0) return;

    const TensorShape& is = input->shape;
    f.axis[0] = Axis{is.dimension[1], params->strideD, params->dilationRateD, params->padFront, params->kerSizeD};
    f.axis[1] = Axis{is.dimension[2], params->strideH, params->dilationRateH, params->padTop, params->kerSizeH};
    f.axis[2] = Axis{is.dimension[3], params->strideW, params->dilationRateW, params->padLeft, params->kerSizeW};
    for (uint32_t k = 0; k < 3; ++k) f.outDim[k] = os.dimension[k + 1];
    for (uint32_t k = 0; k < 4; ++k) {
        f.inStride[k] = input->stride.dimension[k];
        f.outStride[k] = output->stride.dimension[k];
    }
    f.filter = (const float*)filter->data;
    RunForward<true>(f);
    ApplyActivation(output, params->activation);
}

void Conv2DTranspose_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                              const Conv2DTransposeParams* params)
{
    static const char* const kFn = "Conv2DTranspose_fl32_ref";
    CV_CHECK_PTR(params);
    CheckRank(kFn, "input", input, 4);
    CheckRank(kFn, "output", output, 4);
    CheckRank(kFn, "filter", filter, 4);
    Transposed f;
    f.op = GroupedOperands(input, output, params->groups);
    const TensorShape& os = output->shape;
    CheckShape(kFn, "output", output, {f.op.N, os.dimension[1], os.dimension[2], f.op.Cout});
    CheckShape(kFn, "filter", filter, {params->kerSizeH, params->kerSizeW, f.op.CgOut, f.op.Cin});
    CheckDense(kFn, "input", input, false);
    CheckDense(kFn, "output", output, false);
    CheckDense(kFn, "filter", filter, true);
    f.op.bias = BiasData(kFn, bias, params->useBias, f.op.Cout);
    if (GetTensorSize(output) == 0) return;

    f.axis[0] = Axis{os.dimension[1], params->strideH, params->dilationRateH, params->padTop, params->kerSizeH};
    f.axis[1] = Axis{os.dimension[2], params->strideW, params->dilationRateW, params->padLeft, params->kerSizeW};
    f.inDim[0] = input->shape.dimension[1];
    f.inDim[1] = input->shape.dimension[2];
    for (uint32_t k = 0; k < 3; ++k) {
        f.inStride[k] = input->stride.dimension[k];
        f.outStride[k] = output->stride.dimension[k];
    }
    ZeroOutput(f.op.out, f.op.N, os.dimension[1], os.dimension[2], f.outStride, f.op.Cout);
    if (f.op.G != 0) {
        const std::vector<float> packed = PackTransposedFilter(
            (const float*)filter->data, (uint64_t)params->kerSizeH * params->kerSizeW, f.op.CgOut, f.op.Cin);
        f.packed = packed.data();
        RunTransposed(f);
    }
    AddBias(f);
    ApplyActivation(output, params->activation);
}

void Conv1DTranspose_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                              const Conv1DTransposeParams* params)
{
    static const char* const kFn = "Conv1DTranspose_fl32_ref";
    CV_CHECK_PTR(params);
    CheckRank(kFn, "input", input, 3);
    CheckRank(kFn, "output", output, 3);
    CheckRank(kFn, "filter", filter, 3);
    Transposed f;
    f.op = GroupedOperands(input, output, params->groups);
    CheckShape(kFn, "output", output, {f.op.N, output->shape.dimension[1], f.op.Cout});
    CheckShape(kFn, "filter", filter, {params->kernel_size, f.op.CgOut, f.op.Cin});
    CheckDense(kFn, "input", input, false);
    CheckDense(kFn, "output", output, false);
    CheckDense(kFn, "filter", filter, true);
    // The bias holds one value per output channel, or (as the constructor
    // makes it) one per channel of a group, shared by the groups.
    if (params->useBias && bias != nullptr && params->groups > 1 && bias->ndim == 1 &&
        bias->shape.dimension[0] == f.op.CgOut && f.op.CgOut != f.op.Cout) {
        f.op.bias = BiasData(kFn, bias, true, f.op.CgOut);
        f.op.biasPerGroup = true;
    } else {
        f.op.bias = BiasData(kFn, bias, params->useBias, f.op.Cout);
    }
    if (GetTensorSize(output) == 0) return;

    f.axis[0] = Axis{1, 1, 1, 0, 1};
    f.axis[1] =
        Axis{output->shape.dimension[1], params->stride, params->dilation, params->padBegin, params->kernel_size};
    f.inDim[0] = 1;
    f.inDim[1] = input->shape.dimension[1];
    f.inStride[0] = input->stride.dimension[0];
    f.inStride[1] = 0;
    f.inStride[2] = input->stride.dimension[1];
    f.outStride[0] = output->stride.dimension[0];
    f.outStride[1] = 0;
    f.outStride[2] = output->stride.dimension[1];
    ZeroOutput(f.op.out, f.op.N, 1, output->shape.dimension[1], f.outStride, f.op.Cout);
    if (f.op.G != 0) {
        const std::vector<float> packed =
            PackTransposedFilter((const float*)filter->data, params->kernel_size, f.op.CgOut, f.op.Cin);
        f.packed = packed.data();
        RunTransposed(f);
    }
    AddBias(f);
    ApplyActivation(output, params->activation);
}

void ExecuteConv1D_fl32_ref(NNKernel* kernel)
{
    const Conv1DParams* params = KernelParams<Conv1DParams>(kernel);
    ExecuteThroughFloat32("ExecuteConv1D_fl32_ref", kernel, params, Conv1D_fl32_ref);
}

void Execute_Conv3D_fl32_ref(NNKernel* kernel)
{
    const Conv3DParams* params = KernelParams<Conv3DParams>(kernel);
    ExecuteThroughFloat32("Execute_Conv3D_fl32_ref", kernel, params, Conv3D_fl32_ref);
}

void Execute_Conv2Dtranspose_fl32_ref(NNKernel* kernel)
{
    const Conv2DTransposeParams* params = KernelParams<Conv2DTransposeParams>(kernel);
    const Tensor* input = kernel->input[0];
    const Tensor* output = kernel->output[0];
    const Tensor* filter = kernel->inner[0];
    CV_CHECK(input->layout == DL_NHWC);
    CV_CHECK(output->layout == DL_NHWC);
    CV_CHECK(filter->layout == DL_HWOI);
    ExecuteThroughFloat32("Execute_Conv2Dtranspose_fl32_ref", kernel, params, Conv2DTranspose_fl32_ref);
}

void ExecuteConv1dTranspose_fl32_ref(NNKernel* kernel)
{
    const Conv1DTransposeParams* params = KernelParams<Conv1DTransposeParams>(kernel);
    ExecuteThroughFloat32("ExecuteConv1dTranspose_fl32_ref", kernel, params, Conv1DTranspose_fl32_ref);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, Conv1D_fl32_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv1DParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Conv3D_fl32_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv3DParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Conv2DTranspose_fl32_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv2DTransposeParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Conv1DTranspose_fl32_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv1DTransposeParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, ExecuteConv1D_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_Conv3D_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_Conv2Dtranspose_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, ExecuteConv1dTranspose_fl32_ref, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_Conv1D_fl32_ref = {ExecuteConv1D_fl32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Conv3D_fl32_ref = {Execute_Conv3D_fl32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Conv2DTranspose_fl32_ref = {Execute_Conv2Dtranspose_fl32_ref, nullptr, nullptr,
                                                                     nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Conv1DTranspose_fl32_ref = {ExecuteConv1dTranspose_fl32_ref, nullptr, nullptr,
                                                                     nullptr};

#endif
