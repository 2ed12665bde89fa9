#define CORVUS_MODULE "Pooling_ref"
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersPooling.h"
#include "Report.h"
#include "VectorLevel.h"
#include "opt/OptInternal.h"

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

// Where one window, along one axis, meets the input: `lead` cells in the pads
// before the input, `count` input cells from `first`, then `trail` cells in
// the pads after it. Cells past the end pad belong to neither and are
// ignored by every padding mode.
struct Span {
    int64_t lead;
    int64_t first;
    int64_t count;
    int64_t trail;
};

// Computed once per call for every output position along one axis; window
// starts can exceed 64-bit signed range for hostile strides, hence 128 bits.
std::vector<Span> WindowSpans(uint32_t inSize, uint32_t outSize, uint32_t pool, uint32_t stride, uint32_t padBefore,
                              uint32_t padAfter)
{
    using Wide = __int128;
    auto clampLow = [](Wide v) { return v > 0 ? v : (Wide)0; };
    auto min = [](Wide a, Wide b) { return a < b ? a : b; };
    auto max = [](Wide a, Wide b) { return a > b ? a : b; };
    std::vector<Span> spans(outSize);
    for (uint32_t o = 0; o < outSize; ++o) {
        const Wide start = (Wide)o * stride - padBefore;
        const Wide end = start + pool;
        const Wide limit = min(end, (Wide)inSize + padAfter);  // end of the pads after the input
        const Wide first = max(start, 0);
        Span& s = spans[o];
        s.lead = (int64_t)clampLow(min(limit, 0) - start);
        s.first = (int64_t)min(first, inSize);
        s.count = (int64_t)clampLow(min(end, inSize) - first);
        s.trail = (int64_t)clampLow(limit - max(start, inSize));
    }
    return spans;
}

// A pooling over {N, H, W, C} with adjacent channels; 1-D pooling is the
// same with W = 1.
struct PoolGeometry {
    uint32_t batch, channels;
    uint32_t inH, inW, outH, outW;
    uint64_t inStrideN, inStrideH, inStrideW;
    uint64_t outStrideN, outStrideH, outStrideW;
    uint32_t poolH, poolW, strideH, strideW;
    uint32_t padTop, padLeft, padBottom, padRight;
    uint32_t paddingMode;
    const char* modeMessage;  // printf format taking the padding mode
};

template <bool kMax> void PoolWindows(float* out, const float* in, const PoolGeometry& g)
{
    const std::vector<Span> rows = WindowSpans(g.inH, g.outH, g.poolH, g.strideH, g.padTop, g.padBottom);
    const std::vector<Span> cols = WindowSpans(g.inW, g.outW, g.poolW, g.strideW, g.padLeft, g.padRight);
    const uint32_t C = g.channels;
    std::vector<float> acc(C);
    const bool zeros = g.paddingMode == POOL_PADDING_ZEROS;
    const bool knownMode = zeros || g.paddingMode == POOL_PADDING_IGNORE;

    // Cells in the pads are zeros for max pooling in zero mode; repeated
    // zeros change nothing, so one update per run of pad cells suffices.
    auto padZero = [&]() {
        for (uint32_t c = 0; c < C; ++c)
            if (0.0f > acc[c]) acc[c] = 0.0f;
    };

    for (uint32_t n = 0; n < g.batch; ++n) {
        const float* inBatch = in + n * g.inStrideN;
        for (uint32_t oh = 0; oh < g.outH; ++oh) {
            const Span& rs = rows[oh];
            float* outRow = out + n * g.outStrideN + oh * g.outStrideH;
            for (uint32_t ow = 0; ow < g.outW; ++ow) {
                const Span& cs = cols[ow];
                const int64_t cellsPerPadRow = cs.lead + cs.count + cs.trail;
                const bool padRows = rs.lead + rs.trail > 0 && cellsPerPadRow > 0;
                const bool padCols = rs.count > 0 && cs.lead + cs.trail > 0;
                if ((padRows || padCols) && !knownMode) CV_FATAL(g.modeMessage, (int)g.paddingMode);

                if (kMax) {
                    for (uint32_t c = 0; c < C; ++c) acc[c] = -FLT_MAX;
                    if (zeros && rs.lead > 0 && cellsPerPadRow > 0) padZero();
                    for (int64_t r = rs.first; r < rs.first + rs.count; ++r) {
                        const float* inRow = inBatch + r * g.inStrideH;
                        if (zeros && cs.lead > 0) padZero();
                        for (int64_t q = cs.first; q < cs.first + cs.count; ++q) {
                            const float* px = inRow + q * g.inStrideW;
                            for (uint32_t c = 0; c < C; ++c)
                                if (px[c] > acc[c]) acc[c] = px[c];
                        }
                        if (zeros && cs.trail > 0) padZero();
                    }
                    if (zeros && rs.trail > 0 && cellsPerPadRow > 0) padZero();
                } else {
                    for (uint32_t c = 0; c < C; ++c) acc[c] = 0.0f;
                    for (int64_t r = rs.first; r < rs.first + rs.count; ++r) {
                        const float* inRow = inBatch + r * g.inStrideH;
                        for (int64_t q = cs.first; q < cs.first + cs.count; ++q) {
                            const float* px = inRow + q * g.inStrideW;
                            for (uint32_t c = 0; c < C; ++c) acc[c] += px[c];
                        }
                    }
                    // Counted in double (exact far beyond any real window),
                    // then used as the float32 divisor.
                    double count = (double)rs.count * (double)cs.count;
                    if (zeros)
                        count += (double)(rs.lead + rs.trail) * (double)cellsPerPadRow +
                                 (double)rs.count * (double)(cs.lead + cs.trail);
                    const float divisor = (float)count;
                    for (uint32_t c = 0; c < C; ++c) acc[c] = acc[c] / divisor;
                }
                float* px = outRow + ow * g.outStrideW;
                for (uint32_t c = 0; c < C; ++c) px[c] = acc[c];
            }
        }
    }
}

// Shared entry checks of the two-dimensional work functions.
PoolGeometry Pool2DGeometry(Tensor* output, const Tensor* input, const Pool2DParams* params)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    CV_CHECK(input->layout == DL_NHWC);
    CV_CHECK(output->layout == DL_NHWC);
    CV_CHECK(input->ndim == 4);
    CV_CHECK(output->ndim == 4);
    CV_CHECK(output->shape.NHWC.batch == input->shape.NHWC.batch);
    CV_CHECK(output->shape.NHWC.channels == input->shape.NHWC.channels);

    PoolGeometry g;
    g.batch = input->shape.NHWC.batch;
    g.channels = input->shape.NHWC.channels;
    g.inH = input->shape.NHWC.height;
    g.inW = input->shape.NHWC.width;
    g.outH = output->shape.NHWC.height;
    g.outW = output->shape.NHWC.width;
    g.inStrideN = input->stride.NHWC.batch_stride;
    g.inStrideH = input->stride.NHWC.height_stride;
    g.inStrideW = input->stride.NHWC.width_stride;
    g.outStrideN = output->stride.NHWC.batch_stride;
    g.outStrideH = output->stride.NHWC.height_stride;
    g.outStrideW = output->stride.NHWC.width_stride;
    g.poolH = params->poolSizeH;
    g.poolW = params->poolSizeW;
    g.strideH = params->strideH;
    g.strideW = params->strideW;
    g.padTop = params->padTop;
    g.padLeft = params->padLeft;
    g.padBottom = params->padBottom;
    g.padRight = params->padRight;
    g.paddingMode = params->paddingMode;
    g.modeMessage = "Unsupported PaddingMode: %d";
    return g;
}

// Data is needed only where there are elements to read or write.
void CheckData(const Tensor* output, const Tensor* input)
{
    if (GetTensorSize(output) != 0) CV_CHECK_PTR(output->data);
    if (GetTensorSize(input) != 0) CV_CHECK_PTR(input->data);
}

template <typename Params> const Params* KernelParams(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
    return (const Params*)kernel->params;
}

void CheckFloat32(const NNKernel* kernel)
{
    CV_CHECK(kernel->input[0]->dtype == DT_FLOAT32);
    CV_CHECK(kernel->output[0]->dtype == DT_FLOAT32);
}

// Float32 working copy of a tensor, released with the scope.
struct Float32Temp {
    Tensor* tensor;
    Float32Temp(const Tensor* like, bool copyData)
    {
        const bool empty = GetTensorSize(like) == 0;
        tensor = CreateTensor(DT_FLOAT32, DL_NONE, like->ndim, like->shape, !empty);
        if (copyData && !empty) TensorDataConvert(tensor, like);
    }
    ~Float32Temp() { DestroyTensor(tensor); }
    Float32Temp(const Float32Temp&) = delete;
    Float32Temp& operator=(const Float32Temp&) = delete;
};

// Output offset of (n, c) in {N, C} or {N, 1, ..., 1, C}.
uint64_t ReducedOffset(const Tensor* output, uint32_t n, uint32_t c)
{
    return n * (uint64_t)output->stride.dimension[0] + c * (uint64_t)output->stride.dimension[output->ndim - 1];
}

// ---- The optimised float32 max pooling's passes, in main memory ----
//
// Pooling2D_opt's one or two one-dimensional passes. Per window a pass
// computes what Pooling1D_opt computes: the running maximum from -FLT_MAX,
// replaced only by strictly greater values, over the cells inside the input
// in order; then, when pads count as zeros and the window reaches into
// them, 0 if that is greater. One pass runs row by row; two run as one
// (see BothPasses).

struct MaxAxis {
    int64_t inLen, window, stride, padBegin, padEnd;
    bool zeroPads;
};

struct MaxWindow {
    int64_t first, count;  // the cells inside the input
    bool clampZero;
};

MaxAxis AxisOf(const Pool2DParams* p, bool height, uint32_t inLen)
{
    const bool zeros = p->paddingMode == POOL_PADDING_ZEROS;
    return height ? MaxAxis{inLen, p->poolSizeH, p->strideH, p->padTop, p->padBottom, zeros}
                  : MaxAxis{inLen, p->poolSizeW, p->strideW, p->padLeft, p->padRight, zeros};
}

MaxWindow WindowAt(const MaxAxis& a, uint64_t o)
{
    // Window starts can leave the 64-bit range for hostile strides.
    using Wide = __int128;
    const Wide start = (Wide)o * a.stride - a.padBegin;
    Wide end = start + a.window;
    if (end > (Wide)a.inLen + a.padEnd) end = (Wide)a.inLen + a.padEnd;
    const Wide first = start < 0 ? 0 : start < a.inLen ? start : a.inLen;
    Wide last = end < a.inLen ? end : a.inLen;
    if (last < first) last = first;
    return MaxWindow{(int64_t)first, (int64_t)(last - first),
                     a.zeroPads && (start < 0 || end > a.inLen) && end > start};
}

inline float Above(float m, float v) { return v > m ? v : m; }

// dst[j], j < n: the maximum of a window of `count` rows of n elements,
// `step` apart from src; up to three rows per sweep over dst.
void MaxRows(float* dst, const float* src, size_t step, int64_t count, uint64_t n, bool clampZero)
{
    const float lowest = -FLT_MAX;
    if (count == 0)
        for (uint64_t j = 0; j < n; ++j) dst[j] = lowest;
    for (int64_t i = 0; i < count; i += 3) {
        const float* x0 = src + i * step;
        const float* x1 = x0 + step;
        const float* x2 = x1 + step;
        const int64_t k = count - i < 3 ? count - i : 3;
        if (i == 0 && k == 3)
            for (uint64_t j = 0; j < n; ++j) dst[j] = Above(Above(Above(lowest, x0[j]), x1[j]), x2[j]);
        else if (i == 0 && k == 2)
            for (uint64_t j = 0; j < n; ++j) dst[j] = Above(Above(lowest, x0[j]), x1[j]);
        else if (i == 0)
            for (uint64_t j = 0; j < n; ++j) dst[j] = Above(lowest, x0[j]);
        else if (k == 3)
            for (uint64_t j = 0; j < n; ++j) dst[j] = Above(Above(Above(dst[j], x0[j]), x1[j]), x2[j]);
        else if (k == 2)
            for (uint64_t j = 0; j < n; ++j) dst[j] = Above(Above(dst[j], x0[j]), x1[j]);
        else
            for (uint64_t j = 0; j < n; ++j) dst[j] = Above(dst[j], x0[j]);
    }
    if (clampZero)
        for (uint64_t j = 0; j < n; ++j) dst[j] = Above(dst[j], 0.0f);
}

// A row of W pixels pooled along the height from the rows of window w of
// src (rows sH apart); one sweep over the whole row when both are dense.
void HeightPass(float* dst, size_t dW, const float* src, size_t sH, size_t sW, const MaxWindow& w, uint32_t W,
                uint32_t C)
{
    const float* top = src + w.first * sH;
    if (dW == C && sW == C) {
        MaxRows(dst, top, sH, w.count, (uint64_t)W * C, w.clampZero);
        return;
    }
    for (uint32_t x = 0; x < W; ++x) MaxRows(dst + x * dW, top + x * sW, sH, w.count, C, w.clampZero);
}

// A row pooled along the width into outW pixels.
void WidthPass(float* dst, size_t dW, const float* src, size_t sW, const MaxAxis& a, uint32_t outW, uint32_t C)
{
    for (uint32_t o = 0; o < outW; ++o) {
        const MaxWindow w = WindowAt(a, o);
        MaxRows(dst + o * dW, src + w.first * sW, sW, w.count, C, w.clampZero);
    }
}

typedef float f32x8 __attribute__((vector_size(32)));
typedef float f32x16 __attribute__((vector_size(64)));
template <typename V> inline V Above(V m, V v) { return v > m ? v : m; }

struct BothWindows {
    const MaxWindow &inner, &outer;  // the first-pooled axis inner
    size_t innerStep, outerStep;
};

// kV vectors V of channels of one output pixel from p: kV independent
// chains, so the maxima do not wait on each other. With AVX-512, vectors of
// 16 lanes where the channels allow (3x3, stride 2 over 112x112x64: 80 ->
// 66 us). The loops count down: with
// counters running up to the window's length the compiler kept the inner
// counter in memory, a store-to-load wait per cell.
template <typename V, int kV> inline void MaxVectors(float* o, const float* p, const BothWindows& w)
{
    constexpr int L = (int)(sizeof(V) / sizeof(float));
    V m[kV];
    for (int v = 0; v < kV; ++v) m[v] = V{} - FLT_MAX;
    const float* row = p;
    for (int64_t a = w.outer.count; a > 0; --a, row += w.outerStep) {
        const float* q = row;
        for (int64_t b = w.inner.count; b > 0; --b, q += w.innerStep)
            for (int v = 0; v < kV; ++v) {
                V x;
                memcpy(&x, q + L * v, sizeof(x));
                m[v] = Above(m[v], x);
            }
        if (w.inner.clampZero)
            for (int v = 0; v < kV; ++v) m[v] = Above(m[v], V{});
    }
    for (int v = 0; v < kV; ++v) {
        if (w.outer.clampZero) m[v] = Above(m[v], V{});
        memcpy(o + L * v, &m[v], sizeof(m[v]));
    }
}

// Both passes of a row at once, window by window, with no intermediate: the
// cells of an output pixel's window are visited with the first-pooled axis
// inner, in the order the two passes visit them, and a zero clamp follows
// each inner run as the first pass's clamp does. The running maximum keeps
// the first of equal values either way (signed zeros), so the result is
// the passes' bit for bit, without writing and reading back an
// intermediate row.
void BothPasses(float* y, size_t yW, const float* x, size_t sH, size_t sW, const MaxWindow& wr, const MaxAxis& cols,
                uint32_t outW, uint32_t C, bool heightFirst)
{
    for (uint32_t ow = 0; ow < outW; ++ow) {
        const MaxWindow wc = WindowAt(cols, ow);
        const BothWindows w = heightFirst ? BothWindows{wr, wc, sH, sW} : BothWindows{wc, wr, sW, sH};
        const float* p = x + wr.first * sH + wc.first * sW;
        float* o = y + ow * yW;
        uint32_t c = 0;
#if defined(__AVX512F__)
        for (; c + 64 <= C; c += 64) MaxVectors<f32x16, 4>(o + c, p + c, w);
        for (; c + 16 <= C; c += 16) MaxVectors<f32x16, 1>(o + c, p + c, w);
#endif
        for (; c + 32 <= C; c += 32) MaxVectors<f32x8, 4>(o + c, p + c, w);
        for (; c + 8 <= C; c += 8) MaxVectors<f32x8, 1>(o + c, p + c, w);
        for (; c < C; ++c) {
            float m = -FLT_MAX;
            for (int64_t a = 0; a < w.outer.count; ++a) {
                for (int64_t b = 0; b < w.inner.count; ++b) m = Above(m, p[a * w.outerStep + b * w.innerStep + c]);
                if (w.inner.clampZero) m = Above(m, 0.0f);
            }
            o[c] = w.outer.clampZero ? Above(m, 0.0f) : m;
        }
    }
}

}  // namespace

void MaxPool2D_fl32_passes(Tensor* out, const Tensor* in, uint32_t passes, uint32_t firstAxis, const Pool2DParams* p,
                           uint64_t rowBegin, uint64_t rowEnd)
{
    if (GetTensorSize(out) == 0) return;
    CV_CHECK_PTR(out->data);
    if (GetTensorSize(in) != 0) CV_CHECK_PTR(in->data);
    const uint32_t N = in->shape.dimension[0], inH = in->shape.dimension[1], inW = in->shape.dimension[2];
    const uint32_t C = in->shape.dimension[3], outH = out->shape.dimension[1], outW = out->shape.dimension[2];
    const MaxAxis rows = AxisOf(p, true, inH), cols = AxisOf(p, false, inW);
    const uint32_t* si = in->stride.dimension;
    const uint32_t* so = out->stride.dimension;
    const uint32_t ohBegin = rowBegin < outH ? (uint32_t)rowBegin : outH;
    const uint32_t ohEnd = rowEnd < outH ? (uint32_t)rowEnd : outH;
    for (uint32_t n = 0; n < N; ++n) {
        const float* x = (const float*)in->data + (size_t)n * si[0];
        float* y = (float*)out->data + (size_t)n * so[0];
        for (uint32_t oh = ohBegin; oh < ohEnd; ++oh) {
            float* yr = y + (size_t)oh * so[1];
            if (passes == 2)
                BothPasses(yr, so[2], x, si[1], si[2], WindowAt(rows, oh), cols, outW, C, firstAxis == 1);
            else if (firstAxis == 1)
                HeightPass(yr, so[2], x, si[1], si[2], WindowAt(rows, oh), inW, C);
            else
                WidthPass(yr, so[2], x + (size_t)oh * si[1], si[2], cols, outW, C);
        }
    }
}

void MaxPool2D_fl32_ref(Tensor* output, const Tensor* input, const Pool2DParams* params)
{
    const PoolGeometry g = Pool2DGeometry(output, input, params);
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);
    PoolWindows<true>((float*)output->data, (const float*)input->data, g);
}

void AveragePool2D_fl32_ref(Tensor* output, const Tensor* input, const Pool2DParams* params)
{
    const PoolGeometry g = Pool2DGeometry(output, input, params);
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);
    PoolWindows<false>((float*)output->data, (const float*)input->data, g);
}

void AveragePooling1D_fl32_ref(Tensor* output, const Tensor* input, const Pool1DParams* params)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    if (input->ndim != 3)
        CV_FATAL("Function AveragePooling1D: Input tensor dimensions (%d) is not equal 3", (int)input->ndim);
    if (output->ndim != 3)
        CV_FATAL("Function AveragePooling1D: Output tensor dimensions (%d) is not equal 3", (int)output->ndim);
    CV_CHECK(output->shape.dimension[0] == input->shape.dimension[0]);
    CV_CHECK(output->shape.dimension[2] == input->shape.dimension[2]);
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);

    // The single spatial axis plays the rows of a window one column wide.
    PoolGeometry g;
    g.batch = input->shape.dimension[0];
    g.channels = input->shape.dimension[2];
    g.inH = input->shape.dimension[1];
    g.inW = 1;
    g.outH = output->shape.dimension[1];
    g.outW = 1;
    g.inStrideN = input->stride.dimension[0];
    g.inStrideH = input->stride.dimension[1];
    g.inStrideW = 0;
    g.outStrideN = output->stride.dimension[0];
    g.outStrideH = output->stride.dimension[1];
    g.outStrideW = 0;
    g.poolH = params->poolSize;
    g.poolW = 1;
    g.strideH = params->stride;
    g.strideW = 1;
    g.padTop = params->padBegin;
    g.padBottom = params->padEnd;
    g.padLeft = g.padRight = 0;
    g.paddingMode = params->paddingMode;
    g.modeMessage = "Unsupported padding mode: %d";
    PoolWindows<false>((float*)output->data, (const float*)input->data, g);
}

void GlobalAveragePool2D_fl32_ref(Tensor* output, const Tensor* input)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK(input->ndim == 4);
    CV_CHECK(output->ndim == 4 || output->ndim == 2);
    CV_CHECK(output->shape.dimension[0] == input->shape.dimension[0]);
    CV_CHECK(output->shape.dimension[output->ndim - 1] == input->shape.dimension[3]);
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);

    const uint32_t N = input->shape.NHWC.batch, H = input->shape.NHWC.height;
    const uint32_t W = input->shape.NHWC.width, C = input->shape.NHWC.channels;
    const TensorStrides& s = input->stride;
    const float* in = (const float*)input->data;
    float* out = (float*)output->data;
    const float reciprocal = 1.0f / (float)((uint64_t)H * W);
    std::vector<float> acc(C);
    for (uint32_t n = 0; n < N; ++n) {
        for (uint32_t c = 0; c < C; ++c) acc[c] = 0.0f;
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w) {
                const float* px =
                    in + n * (uint64_t)s.dimension[0] + h * (uint64_t)s.dimension[1] + w * (uint64_t)s.dimension[2];
                for (uint32_t c = 0; c < C; ++c) acc[c] += px[c];
            }
        for (uint32_t c = 0; c < C; ++c) out[ReducedOffset(output, n, c)] = acc[c] * reciprocal;
    }
}

void GlobalMaxPool_fl32_ref(Tensor* output, const Tensor* input)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK(input->ndim >= 3 && input->ndim <= MAX_NDIM_VALUE);
    CV_CHECK(output->ndim == input->ndim);
    const uint32_t last = input->ndim - 1;
    CV_CHECK(output->shape.dimension[0] == input->shape.dimension[0]);
    CV_CHECK(output->shape.dimension[last] == input->shape.dimension[last]);
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);

    const uint32_t N = input->shape.dimension[0], C = input->shape.dimension[last];
    const uint64_t channelStride = input->stride.dimension[last];
    uint64_t middleCount = 1;
    for (uint32_t k = 1; k < last; ++k) middleCount *= input->shape.dimension[k];
    const float* in = (const float*)input->data;
    float* out = (float*)output->data;
    std::vector<float> acc(C);
    uint32_t index[MAX_NDIM_VALUE];
    for (uint32_t n = 0; n < N; ++n) {
        for (uint32_t c = 0; c < C; ++c) acc[c] = -INFINITY;
        for (uint32_t k = 0; k < MAX_NDIM_VALUE; ++k) index[k] = 0;
        uint64_t offset = n * (uint64_t)input->stride.dimension[0];
        for (uint64_t m = 0; m < middleCount; ++m) {
            for (uint32_t c = 0; c < C; ++c) {
                const float v = in[offset + c * channelStride];
                if (v > acc[c]) acc[c] = v;
            }
            // Odometer over the middle dimensions, innermost first.
            for (uint32_t k = last - 1; k >= 1; --k) {
                offset += input->stride.dimension[k];
                if (++index[k] < input->shape.dimension[k]) break;
                offset -= (uint64_t)index[k] * input->stride.dimension[k];
                index[k] = 0;
            }
        }
        for (uint32_t c = 0; c < C; ++c) out[ReducedOffset(output, n, c)] = acc[c];
    }
}

void GlobalMaxPool_fl16_ref(Tensor* output, const Tensor* input)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK(input->dtype == DT_FLOAT16 && output->dtype == DT_FLOAT16);
    Float32Temp in32(input, true);
    Float32Temp out32(output, false);
    CORVUS_LEVEL_NS::GlobalMaxPool_fl32_ref(out32.tensor, in32.tensor);
    TensorDataConvert(output, out32.tensor);
}

void Execute_MaxPool2D_fl32_ref(NNKernel* kernel)
{
    const Pool2DParams* params = KernelParams<Pool2DParams>(kernel);
    CheckFloat32(kernel);
    CORVUS_LEVEL_NS::MaxPool2D_fl32_ref(kernel->output[0], kernel->input[0], params);
}

void Execute_AveragePool2D_fl32_ref(NNKernel* kernel)
{
    const Pool2DParams* params = KernelParams<Pool2DParams>(kernel);
    CheckFloat32(kernel);
    CORVUS_LEVEL_NS::AveragePool2D_fl32_ref(kernel->output[0], kernel->input[0], params);
}

void ExecuteAveragePooling1D_fl32_ref(NNKernel* kernel)
{
    const Pool1DParams* params = KernelParams<Pool1DParams>(kernel);
    CheckFloat32(kernel);
    CORVUS_LEVEL_NS::AveragePooling1D_fl32_ref(kernel->output[0], kernel->input[0], params);
}

void Execute_GlobalAveragePool2D_ref(NNKernel* kernel)
{
    // The record only describes the output shape, fixed at construction.
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
    Tensor* output = kernel->output[0];
    const Tensor* input = kernel->input[0];
    CV_CHECK(input->dtype == output->dtype);
    if (input->dtype == DT_FLOAT32) {
        CORVUS_LEVEL_NS::GlobalAveragePool2D_fl32_ref(output, input);
    } else if (input->dtype == DT_FLOAT16) {
        if (GetTensorSize(output) == 0) return;
        Float32Temp in32(input, true);
        Float32Temp out32(output, false);
        CORVUS_LEVEL_NS::GlobalAveragePool2D_fl32_ref(out32.tensor, in32.tensor);
        TensorDataConvert(output, out32.tensor);
    } else {
        CV_FATAL("Execute_GlobalAveragePool2D_ref: unsupported data type %s, expected DT_FLOAT32 or DT_FLOAT16",
                 DataTypeToStr((DataType)input->dtype));
    }
}

void Execute_GlobalMaxPool_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
    Tensor* output = kernel->output[0];
    const Tensor* input = kernel->input[0];
    if (input->dtype == DT_FLOAT32 && output->dtype == DT_FLOAT32)
        CORVUS_LEVEL_NS::GlobalMaxPool_fl32_ref(output, input);
    else if (input->dtype == DT_FLOAT16 && output->dtype == DT_FLOAT16)
        CORVUS_LEVEL_NS::GlobalMaxPool_fl16_ref(output, input);
    else
        CV_FATAL("support only Fl16 or Fl32");
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, MaxPool2D_fl32_ref, (Tensor * output, const Tensor* input, const Pool2DParams* params),
                      (output, input, params))
CORVUS_LEVEL_DISPATCH(void, MaxPool2D_fl32_passes,
                      (Tensor * out, const Tensor* in, uint32_t passes, uint32_t firstAxis, const Pool2DParams* p,
                       uint64_t rowBegin, uint64_t rowEnd),
                      (out, in, passes, firstAxis, p, rowBegin, rowEnd))
CORVUS_LEVEL_DISPATCH(void, AveragePool2D_fl32_ref, (Tensor * output, const Tensor* input, const Pool2DParams* params),
                      (output, input, params))
CORVUS_LEVEL_DISPATCH(void, AveragePooling1D_fl32_ref,
                      (Tensor * output, const Tensor* input, const Pool1DParams* params), (output, input, params))
CORVUS_LEVEL_DISPATCH(void, GlobalAveragePool2D_fl32_ref, (Tensor * output, const Tensor* input), (output, input))
CORVUS_LEVEL_DISPATCH(void, GlobalMaxPool_fl32_ref, (Tensor * output, const Tensor* input), (output, input))
CORVUS_LEVEL_DISPATCH(void, GlobalMaxPool_fl16_ref, (Tensor * output, const Tensor* input), (output, input))
CORVUS_LEVEL_DISPATCH(void, Execute_MaxPool2D_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_AveragePool2D_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, ExecuteAveragePooling1D_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_GlobalAveragePool2D_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_GlobalMaxPool_ref, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_MaxPool2D_fl32_ref = {Execute_MaxPool2D_fl32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_AveragePool2D_fl32_ref = {Execute_AveragePool2D_fl32_ref, nullptr, nullptr,
                                                                   nullptr};
extern "C" const NNKernelFn nn_kernel_fn_GlobalAveragePool2D_ref = {Execute_GlobalAveragePool2D_ref, nullptr, nullptr,
                                                                    nullptr};
extern "C" const NNKernelFn nn_kernel_fn_AveragePool1D_fl32_ref = {ExecuteAveragePooling1D_fl32_ref, nullptr, nullptr,
                                                                   nullptr};
extern "C" const NNKernelFn nn_kernel_fn_GlobalMaxPool_ref = {Execute_GlobalMaxPool_ref, nullptr, nullptr, nullptr};

#endif
