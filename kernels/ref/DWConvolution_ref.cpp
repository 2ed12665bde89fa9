// Depthwise two-dimensional convolution over channels-last tensors.
//
// Output channel c * M + m (M the depth multiplier) convolves input channel
// c with the filter of multiplier m. Initialisation builds, in
// extra_resources, the filter, the bias and the output viewed with a leading
// multiplier dimension; with M = 1 the views share their sources' data,
// otherwise the filter and bias are transposed into them once and the output
// view is transposed back after every execution.
//
// Arithmetic contract: each accumulator starts at the bias (or 0) and takes
// one fused multiply-add per kernel position inside the input (rows outer);
// float16 accumulators are rounded to half precision after every step.
#define CORVUS_MODULE "DWConvolution_ref"
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "Report.h"
#include "common/ConvGeometry.h"
#include "common/SimdLanes.h"
#include "KernelShares.h"
#include "VectorLevel.h"

using corvus_conv::AxisTaps;
using corvus_conv::FullRuns;
using corvus_conv::Taps;
using corvus_simd::f32x4;
using corvus_simd::f32x8;
using corvus_simd::LoadV;
using corvus_simd::MulAdd;
using corvus_simd::SplatV;
using corvus_simd::StoreV;

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

// A tile is up to kTilePixels output pixels that see the same window taps
// (a run along a row, or pixels of one border column in rows alike) x two
// wide vectors of channels (16 lanes with AVX-512, else 8 lanes: a NEON
// register pair): twelve independent sums, the two filter vectors of a tap,
// and the input read straight into the multiply-adds.
constexpr int kTilePixels = 6;
constexpr int kTileVectors = 2;
#ifdef __AVX512F__
typedef corvus_simd::f32x16 WideVector;
#else
typedef corvus_simd::f32x8 WideVector;
#endif
constexpr uint32_t kWideLanes = sizeof(WideVector) / sizeof(float);
constexpr uint32_t kTileChannels = kWideLanes * kTileVectors;  // of a whole pixel tile
// Channel vectors are walked in pieces of at most this many bytes so that
// accumulator, input and filter rows stay small.
constexpr uint32_t kPieceBytes = 2048;

enum ViewSlot { kFilterView = 0, kBiasView = 1, kOutputView = 2, kViewCount = 3 };

Tensor** Views(NNKernel* kernel) { return (Tensor**)kernel->extra_resources; }

// The source with one more leading dimension of length m and its last
// dimension divided by m (layout DL_NONE, same element type). With m = 1 the
// view borrows the source's data; otherwise it owns zeroed data.
Tensor* LeadingView(const Tensor* src, uint32_t m)
{
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    shape.dimension[0] = m;
    for (uint32_t k = 0; k < src->ndim; ++k) shape.dimension[k + 1] = src->shape.dimension[k];
    shape.dimension[src->ndim] /= m;
    Tensor* v = CreateTensor((DataType)src->dtype, DL_NONE, src->ndim + 1, shape, m != 1);
    if (m == 1) v->data = src->data;
    return v;
}

// dst[m][j][c] = src[j][c * M + m] for rows j of `rows` vectors of C
// channels (both dense); element size `elem` bytes.
void MoveMultiplierOut(const uint8_t* src, uint8_t* dst, uint64_t rows, uint32_t C, uint32_t M, size_t elem)
{
    for (uint32_t m = 0; m < M; ++m)
        for (uint64_t j = 0; j < rows; ++j)
            for (uint32_t c = 0; c < C; ++c)
                memcpy(dst + ((m * rows + j) * C + c) * elem, src + ((j * C + c) * (uint64_t)M + m) * elem, elem);
}

struct DwPlan {
    uint32_t batch, outH, outW, channels, inW, kH, kW, dH, dW, sW;
    uint32_t act;  // ReLU or ReLU6 applied at the store, else nothing
    size_t sInN, sInH, sInW, sOutN, sOutH, sOutW;
};

// The plan of a layer writing its own output tensor; `clampInTiles`: the
// tiles apply the layer's ReLU or ReLU6 as they store.
inline DwPlan PlanOf(const Tensor* in, const Tensor* out, const DepthWiseConv2DParams* p, bool clampInTiles)
{
    DwPlan c;
    c.batch = out->shape.NHWC.batch;
    c.outH = out->shape.NHWC.height;
    c.outW = out->shape.NHWC.width;
    c.channels = in->shape.NHWC.channels;
    c.inW = in->shape.NHWC.width;
    c.kH = p->kerSizeH;
    c.kW = p->kerSizeW;
    c.dH = p->dilationRateH;
    c.dW = p->dilationRateW;
    c.sW = p->strideW;
    c.act = clampInTiles ? p->activation : (uint32_t)None;
    c.sInN = in->stride.NHWC.batch_stride;
    c.sInH = in->stride.NHWC.height_stride;
    c.sInW = in->stride.NHWC.width_stride;
    c.sOutN = out->stride.NHWC.batch_stride;
    c.sOutH = out->stride.NHWC.height_stride;
    c.sOutW = out->stride.NHWC.width_stride;
    return c;
}

// ReLU and ReLU6 applied as the activation kernel does (x * 0 for x <= 0,
// so negatives give -0 and NaN stays NaN), on a finished accumulator.
template <typename V> inline V Clamped(V v, uint32_t act)
{
    if (act == ReLU || act == ReLU6) {
        if constexpr (std::is_same<V, float>::value) {
            v = v > 0.0f ? v : v * 0.0f;
            if (act == ReLU6 && v > 6.0f) v = 6.0f;
        } else {
            const V zero = v * 0.0f;
            v = v > 0.0f ? v : zero;
            if (act == ReLU6) v = v > 6.0f ? SplatV<V>(6.0f) : v;
        }
    }
    return v;
}

// What the pixels of a tile share: their window taps inside the input,
// rows [0, nRows) and columns [0, nCols) counted from the first one, the
// filter at that first tap, and the channels [chBegin, chEnd) to compute.
struct DwTaps {
    const float* w;                     // filter at the first tap, channel 0
    const float* b;                     // bias, or null
    size_t rowStep, colStep, wRowStep;  // input (window rows, columns) and filter row steps
    uint32_t nRows, nCols, channels, act;
    uint32_t chBegin, chEnd;
};

// P pixels (input at x[p], output at o[p], both at their first tap and
// channel 0) x Q vectors of type V from channel ch: acc = bias, then
// acc = fma(x, w, acc) per tap, rows outer, in registers. KW: the columns
// (0: t.nCols at run time).
template <int P, int Q, typename V, int KW>
inline void DwTile(const DwTaps& t, const float* const* x, float* const* o, uint32_t ch)
{
    constexpr int L = (int)(sizeof(V) / sizeof(float));
    const uint32_t cols = KW > 0 ? (uint32_t)KW : t.nCols;
    const size_t C = t.channels;
    V acc[P][Q];
#pragma GCC unroll 8
    for (int q = 0; q < Q; ++q) {
        const V start = t.b != nullptr ? LoadV<V>(t.b + ch + L * q) : SplatV<V>(0.0f);
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) acc[p][q] = start;
    }
    const float* wr = t.w + ch;
    size_t xr = ch;
    for (uint32_t kh = 0; kh < t.nRows; ++kh) {
        const float* wk = wr;
        size_t xk = xr;
#pragma GCC unroll 7
        for (uint32_t kw = 0; kw < cols; ++kw) {
            V wv[Q];
#pragma GCC unroll 8
            for (int q = 0; q < Q; ++q) wv[q] = LoadV<V>(wk + L * q);
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
                for (int q = 0; q < Q; ++q) acc[p][q] = MulAdd(LoadV<V>(x[p] + xk + L * q), wv[q], acc[p][q]);
            wk += C;
            xk += t.colStep;
        }
        wr += t.wRowStep;
        xr += t.rowStep;
    }
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
        for (int q = 0; q < Q; ++q) StoreV(o[p] + ch + L * q, Clamped(acc[p][q], t.act));
}

// All channels of a tile: two wide vectors, then 8, 4 and single channels
// at a time.
template <int P, int KW> void DwTileChannels(const DwTaps& t, const float* const* x, float* const* o)
{
    uint32_t ch = t.chBegin;
    const uint32_t n = t.chEnd;
    for (; ch + kWideLanes * kTileVectors <= n; ch += kWideLanes * kTileVectors)
        DwTile<P, kTileVectors, WideVector, KW>(t, x, o, ch);
    for (; ch + 8 <= n; ch += 8) DwTile<P, 1, f32x8, KW>(t, x, o, ch);
    for (; ch + 4 <= n; ch += 4) DwTile<P, 1, f32x4, KW>(t, x, o, ch);
    for (; ch < n; ++ch) DwTile<P, 1, float, KW>(t, x, o, ch);
}

// A tile of `count` (1 .. kTilePixels) pixels, with the window's column
// count fixed at compile time where it is a common one.
template <int P> void DwTileOf(const DwTaps& t, const float* const* x, float* const* o)
{
    switch (t.nCols) {
    case 3:
        return DwTileChannels<P, 3>(t, x, o);
    case 5:
        return DwTileChannels<P, 5>(t, x, o);
    case 2:
        return DwTileChannels<P, 2>(t, x, o);
    case 4:
        return DwTileChannels<P, 4>(t, x, o);
    case 1:
        return DwTileChannels<P, 1>(t, x, o);
    default:
        return DwTileChannels<P, 0>(t, x, o);
    }
}

void DwPixels(const DwTaps& t, const float* const* x, float* const* o, uint32_t count)
{
    switch (count) {
    case 6:
        return DwTileOf<6>(t, x, o);
    case 5:
        return DwTileOf<5>(t, x, o);
    case 4:
        return DwTileOf<4>(t, x, o);
    case 3:
        return DwTileOf<3>(t, x, o);
    case 2:
        return DwTileOf<2>(t, x, o);
    default:
        return DwTileOf<1>(t, x, o);
    }
}

static_assert(kTilePixels == 6, "DwPixels dispatches tiles of up to six pixels");

// Runs of 3x3 windows at stride 1 without dilation: a row of kRowPixels
// output pixels (x[0] their first input column, o[0] their first output,
// outStep apart) x one channel vector. Each input column of a window row is
// loaded once and serves the three pixels whose windows hold it, so loads
// per multiply-add fall from about one to a half; every pixel still takes its
// taps rows outer, columns in order. Ten sums hide the multiply-add latency.
// Stride 2 and 5x5 windows measured slower this way (fewer independent sums
// fit the registers) and keep the pixel tiles.
constexpr int kRowPixels = 10;

template <int KW, int S, typename V>
inline void DwRowTile(const DwTaps& t, const float* x, float* o, size_t outStep, uint32_t ch)
{
    constexpr int R = kRowPixels, NJ = S * (R - 1) + KW;
    V acc[R];
    const V start = t.b != nullptr ? LoadV<V>(t.b + ch) : SplatV<V>(0.0f);
#pragma GCC unroll 16
    for (int p = 0; p < R; ++p) acc[p] = start;
    const float* wr = t.w + ch;
    const float* xr = x + ch;
    for (uint32_t kh = 0; kh < t.nRows; ++kh) {
        V wv[KW];
#pragma GCC unroll 8
        for (int kw = 0; kw < KW; ++kw) wv[kw] = LoadV<V>(wr + (size_t)kw * t.channels);
#pragma GCC unroll 32
        for (int j = 0; j < NJ; ++j) {
            const V xv = LoadV<V>(xr + (size_t)j * t.colStep);
#pragma GCC unroll 16
            for (int p = 0; p < R; ++p) {
                const int kw = j - S * p;
                if (kw >= 0 && kw < KW) acc[p] = MulAdd(xv, wv[kw], acc[p]);
            }
        }
        wr += t.wRowStep;
        xr += t.rowStep;
    }
#pragma GCC unroll 16
    for (int p = 0; p < R; ++p) StoreV(o + p * outStep + ch, Clamped(acc[p], t.act));
}

template <int KW, int S> void DwRowChannels(const DwTaps& t, const float* x, float* o, size_t outStep)
{
    uint32_t ch = t.chBegin;
    const uint32_t n = t.chEnd;
    for (; ch + kWideLanes <= n; ch += kWideLanes) DwRowTile<KW, S, WideVector>(t, x, o, outStep, ch);
    for (; ch + 8 <= n; ch += 8) DwRowTile<KW, S, f32x8>(t, x, o, outStep, ch);
    for (; ch + 4 <= n; ch += 4) DwRowTile<KW, S, f32x4>(t, x, o, outStep, ch);
    for (; ch < n; ++ch) DwRowTile<KW, S, float>(t, x, o, outStep, ch);
}

typedef void (*DwRowFn)(const DwTaps&, const float*, float*, size_t);

// The row tile for a window width, stride and dilation, or null.
DwRowFn RowTileFor(uint32_t kW, uint32_t sW, uint32_t dW)
{
    return kW == 3 && sW == 1 && dW == 1 ? DwRowChannels<3, 1> : nullptr;
}

// The channels taken through all rows before the next ones: as many as let
// the input rows of one output row and of the next stay in a 32 KiB level-1
// cache, so each input vector comes from there, not from the next level,
// to the several windows that hold it; a multiple of the widest tile.
uint32_t ChannelBlock(const DwPlan& c)
{
    constexpr uint64_t kCacheBytes = 24 * 1024;  // a share of 32 KiB: outputs and filter pass through too
    const uint64_t rowBytes = (uint64_t)(c.kH + 1) * c.inW * sizeof(float);
    const uint64_t fit = rowBytes > 0 ? kCacheBytes / rowBytes : c.channels;
    const uint64_t block = fit < kTileChannels ? kTileChannels : fit / kTileChannels * kTileChannels;
    return block < c.channels ? (uint32_t)block : c.channels;
}

// One multiplier: filter {kH, kW, C} and bias {C} dense, input and output
// through their strides. Output rows [rowBegin, rowEnd) counted over the
// batch; every pixel is computed alone, so a share of rows gets the whole
// layer's bits. The channels go in blocks (ChannelBlock), each through all
// the rows. Rows are taken in blocks of consecutive rows of one image
// whose windows have the same rows inside the input; in a block, runs of
// pixels whose windows lie inside the input's columns are tiled along each
// row, and the remaining (border) columns down the block.
void DwFloat32(const DwPlan& c, const float* in, const float* filter, const float* bias, float* out,
               const std::vector<Taps>& rowTaps, const std::vector<Taps>& colTaps, const std::vector<uint32_t>& fullRun,
               uint64_t rowBegin, uint64_t rowEnd)
{
    DwTaps t;
    t.b = bias;
    t.rowStep = (size_t)c.dH * c.sInH;
    t.colStep = (size_t)c.dW * c.sInW;
    t.wRowStep = (size_t)c.kW * c.channels;
    t.channels = c.channels;
    t.act = c.act;
    const float* x[kTilePixels];
    float* o[kTilePixels];
    const DwRowFn rowTile = RowTileFor(c.kW, c.sW, c.dW);
    const uint32_t chBlock = ChannelBlock(c);
    for (t.chBegin = 0; t.chBegin < c.channels; t.chBegin = t.chEnd) {
        // A short rest joins the last block rather than take the rows alone.
        t.chEnd = c.channels - t.chBegin >= chBlock + kTileChannels ? t.chBegin + chBlock : c.channels;
        for (uint64_t r = rowBegin; r < rowEnd;) {
            const uint32_t n = (uint32_t)(r / c.outH), oh0 = (uint32_t)(r % c.outH);
            const Taps& rows = rowTaps[oh0];
            uint32_t block = 1;
            while (r + block < rowEnd && oh0 + block < c.outH && rowTaps[oh0 + block].lo == rows.lo &&
                   rowTaps[oh0 + block].hi == rows.hi)
                ++block;
            const float* inN = in + n * c.sInN;
            float* outN = out + n * c.sOutN;
            t.nRows = rows.hi - rows.lo;
            // Runs of whole-column windows, along each row.
            t.nCols = c.kW;
            t.w = filter + (size_t)rows.lo * t.wRowStep;
            for (uint32_t oh = oh0; oh < oh0 + block; ++oh) {
                const float* inRow = inN + (size_t)rowTaps[oh].first * c.sInH;
                float* outRow = outN + (size_t)oh * c.sOutH;
                for (uint32_t ow = 0; ow < c.outW;) {
                    if (fullRun[ow] == 0 || t.nRows == 0) {
                        ++ow;
                        continue;
                    }
                    if (rowTile != nullptr && fullRun[ow] >= (uint32_t)kRowPixels) {
                        rowTile(t, inRow + (size_t)colTaps[ow].first * c.sInW, outRow + (size_t)ow * c.sOutW, c.sOutW);
                        ow += kRowPixels;
                        continue;
                    }
                    const uint32_t count = fullRun[ow] < (uint32_t)kTilePixels ? fullRun[ow] : (uint32_t)kTilePixels;
                    for (uint32_t p = 0; p < count; ++p) {
                        x[p] = inRow + (size_t)colTaps[ow + p].first * c.sInW;
                        o[p] = outRow + (size_t)(ow + p) * c.sOutW;
                    }
                    DwPixels(t, x, o, count);
                    ow += count;
                }
            }
            // The other columns (and every pixel of windows outside the input's
            // rows), down the block.
            for (uint32_t ow = 0; ow < c.outW; ++ow) {
                if (fullRun[ow] > 0 && t.nRows > 0) continue;
                const Taps& cols = colTaps[ow];
                const bool inside = t.nRows > 0 && cols.lo < cols.hi;
                t.nCols = inside ? cols.hi - cols.lo : 0;
                t.w = filter + (inside ? (size_t)rows.lo * t.wRowStep + (size_t)cols.lo * c.channels : 0);
                for (uint32_t oh = oh0; oh < oh0 + block; oh += kTilePixels) {
                    const uint32_t count = oh0 + block - oh < (uint32_t)kTilePixels ? oh0 + block - oh : kTilePixels;
                    for (uint32_t p = 0; p < count; ++p) {
                        x[p] = inside ? inN + (size_t)rowTaps[oh + p].first * c.sInH + (size_t)cols.first * c.sInW : in;
                        o[p] = outN + (size_t)(oh + p) * c.sOutH + (size_t)ow * c.sOutW;
                    }
                    DwPixels(t, x, o, count);
                }
            }
            r += block;
        }
    }
}

// Half-precision data: operands widened to float32, one fused multiply-add,
// the accumulator narrowed back to half after every step. Filter and bias may
// be float32 or float16.
void WidenRow(const Tensor* t, const uint8_t* p, float* dst, uint32_t count)
{
    if (t->dtype == DT_FLOAT16)
        float16_to_float32((const uint16_t*)p, dst, count);
    else
        memcpy(dst, p, count * sizeof(float));
}

inline float RoundHalf(float v)
{
    uint16_t h;
    float32_to_float16(&v, &h, 1);
    float r;
    float16_to_float32(&h, &r, 1);
    return r;
}

void DwFloat16(const DwPlan& c, const Tensor* inT, const Tensor* filterT, const Tensor* biasT, Tensor* outT, uint32_t m,
               const std::vector<Taps>& rowTaps, const std::vector<Taps>& colTaps)
{
    const uint32_t piece = kPieceBytes / sizeof(float);
    const size_t fElem = DataTypeSize((DataType)filterT->dtype);
    const uint8_t* in = (const uint8_t*)inT->data;
    const uint8_t* filter = (const uint8_t*)filterT->data + (size_t)m * c.kH * c.kW * c.channels * fElem;
    const uint8_t* bias =
        biasT != nullptr ? (const uint8_t*)biasT->data + (size_t)m * c.channels * DataTypeSize((DataType)biasT->dtype)
                         : nullptr;
    uint16_t* out = (uint16_t*)outT->data + (size_t)m * (outT->ndim == 5 ? outT->stride.dimension[0] : 0);
    std::vector<float> acc(piece), x(piece), w(piece);
    std::vector<uint16_t> half(piece);
    for (uint32_t n = 0; n < c.batch; ++n)
        for (uint32_t oh = 0; oh < c.outH; ++oh)
            for (uint32_t ow = 0; ow < c.outW; ++ow)
                for (uint32_t c0 = 0; c0 < c.channels; c0 += piece) {
                    const uint32_t len = c.channels - c0 < piece ? c.channels - c0 : piece;
                    if (bias != nullptr) {
                        WidenRow(biasT, bias + c0 * DataTypeSize((DataType)biasT->dtype), acc.data(), len);
                        for (uint32_t k = 0; k < len; ++k) acc[k] = RoundHalf(acc[k]);
                    } else {
                        std::fill(acc.begin(), acc.begin() + len, 0.0f);
                    }
                    const Taps& rows = rowTaps[oh];
                    const Taps& cols = colTaps[ow];
                    for (uint32_t kh = rows.lo; kh < rows.hi; ++kh) {
                        const size_t ih = rows.first + (size_t)(kh - rows.lo) * c.dH;
                        for (uint32_t kw = cols.lo; kw < cols.hi; ++kw) {
                            const size_t iw = cols.first + (size_t)(kw - cols.lo) * c.dW;
                            const uint16_t* xp = (const uint16_t*)in + n * c.sInN + ih * c.sInH + iw * c.sInW + c0;
                            float16_to_float32(xp, x.data(), len);
                            WidenRow(filterT, filter + (((size_t)kh * c.kW + kw) * c.channels + c0) * fElem, w.data(),
                                     len);
                            for (uint32_t k = 0; k < len; ++k) acc[k] = RoundHalf(fmaf(x[k], w[k], acc[k]));
                        }
                    }
                    float32_to_float16(acc.data(), half.data(), len);
                    memcpy(out + n * c.sOutN + oh * c.sOutH + ow * c.sOutW + c0, half.data(), len * sizeof(uint16_t));
                }
}

const DepthWiseConv2DParams* CheckedParams(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const DepthWiseConv2DParams* p = (const DepthWiseConv2DParams*)kernel->params;
    CV_CHECK_PTR(p);
    if (kernel->inputsNum < 1 || kernel->innerNum < 1 || kernel->input[0] == nullptr || kernel->output[0] == nullptr ||
        kernel->inner[0] == nullptr)
        CV_FATAL("DWConvolution: the kernel needs an input, an output and a filter");
    CV_CHECK(kernel->input[0]->layout == DL_NHWC);
    CV_CHECK(kernel->output[0]->layout == DL_NHWC);
    CV_CHECK(kernel->inner[0]->layout == DL_MHWI);
    return p;
}

// The geometry every view and loop relies on; checked once at
// initialisation and again before every execution.
void CheckGeometry(const NNKernel* kernel, const DepthWiseConv2DParams* p)
{
    const Tensor* in = kernel->input[0];
    const Tensor* out = kernel->output[0];
    const Tensor* filter = kernel->inner[0];
    const Tensor* bias = kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    const uint32_t M = p->depthMultiplier;
    if (M == 0) CV_FATAL("DWConvolution: depthMultiplier must be greater than 0");
    if (in->ndim != 4 || out->ndim != 4 || filter->ndim != 4)
        CV_FATAL("DWConvolution: input, output and filter must have 4 dimensions");
    if (in->dtype != out->dtype) CV_FATAL("DWConvolution: input and output data types differ");
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16) CV_FATAL("support only F16 or F32");
    if (filter->dtype != DT_FLOAT32 && filter->dtype != DT_FLOAT16)
        CV_FATAL("DWConvolution: the filter must be float32 or float16");
    const uint32_t C = in->shape.NHWC.channels;
    const uint64_t CM = (uint64_t)C * M;
    if (out->shape.NHWC.batch != in->shape.NHWC.batch || out->shape.NHWC.channels != CM)
        CV_FATAL("DWConvolution: output {N, H, W, %llu} expected for input channels %u and multiplier %u",
                 (unsigned long long)CM, C, M);
    const uint32_t* fd = filter->shape.dimension;
    const bool leadingM = fd[0] == M && fd[3] == C;           // declared {M, kH, kW, C}
    const bool lastCM = fd[0] == 1 && (uint64_t)fd[3] == CM;  // {1, kH, kW, C * M}
    if (fd[1] != p->kerSizeH || fd[2] != p->kerSizeW || !(leadingM || lastCM))
        CV_FATAL("DWConvolution: filter shape (%u, %u, %u, %u) does not match kernel %ux%u, %u channels x %u", fd[0],
                 fd[1], fd[2], fd[3], p->kerSizeH, p->kerSizeW, C, M);
    if (!IsSerialData(filter)) CV_FATAL("DWConvolution: the filter must be dense");
    if (in->stride.NHWC.channels_stride != 1 || out->stride.NHWC.channels_stride != 1)
        CV_FATAL("DWConvolution: channels of input and output must be adjacent");
    if ((p->useBias & 1) != 0) {
        if (bias == nullptr) CV_FATAL("DWConvolution: the layer uses a bias but none is given");
        if (bias->ndim != 1 || bias->shape.dimension[0] != CM || !IsSerialData(bias))
            CV_FATAL("DWConvolution: bias must hold one value per output channel (%llu)", (unsigned long long)CM);
        if (bias->dtype != DT_FLOAT32 && bias->dtype != DT_FLOAT16)
            CV_FATAL("DWConvolution: the bias must be float32 or float16");
    }
}

// A filter declared {M, kH, kW, C} holds the same elements as {1, kH, kW,
// C * M}; the views always read it in the latter order.
Tensor* FilterAsOneLeading(const Tensor* filter, uint32_t M)
{
    Tensor* f = CreateEmptyTensor();
    *f = *filter;
    f->shape.dimension[0] = 1;
    f->shape.dimension[3] = filter->shape.dimension[3] * (filter->shape.dimension[0] == M && M != 1 ? M : 1);
    f->stride.dimension[3] = 1;
    f->stride.dimension[2] = f->shape.dimension[3];
    f->stride.dimension[1] = f->stride.dimension[2] * f->shape.dimension[2];
    f->stride.dimension[0] = f->stride.dimension[1] * f->shape.dimension[1];
    f->allocatedData = false;
    return f;
}

void BuildViews(NNKernel* kernel, const DepthWiseConv2DParams* p)
{
    const uint32_t M = p->depthMultiplier;
    Tensor** views = (Tensor**)calloc(kViewCount, sizeof(Tensor*));
    CV_CHECK_PTR(views);
    kernel->extra_resources = views;

    Tensor* filter = FilterAsOneLeading(kernel->inner[0], M);
    views[kFilterView] = LeadingView(filter, M);
    const Tensor* bias = (p->useBias & 1) != 0 ? kernel->inner[1] : nullptr;
    if (bias != nullptr) views[kBiasView] = LeadingView(bias, M);
    views[kOutputView] = LeadingView(kernel->output[0], M);
    if (M != 1) {
        const uint32_t C = kernel->input[0]->shape.NHWC.channels;
        const uint64_t positions = (uint64_t)p->kerSizeH * p->kerSizeW;
        if (filter->data != nullptr)
            MoveMultiplierOut((const uint8_t*)filter->data, (uint8_t*)views[kFilterView]->data, positions, C, M,
                              DataTypeSize((DataType)filter->dtype));
        if (bias != nullptr && bias->data != nullptr)
            MoveMultiplierOut((const uint8_t*)bias->data, (uint8_t*)views[kBiasView]->data, 1, C, M,
                              DataTypeSize((DataType)bias->dtype));
    }
    filter->data = nullptr;
    DestroyTensor(filter);
}

void DestroyViews(NNKernel* kernel)
{
    Tensor** views = Views(kernel);
    if (views == nullptr) return;
    for (int k = 0; k < kViewCount; ++k)
        if (views[k] != nullptr) {
            if (!views[k]->allocatedData) views[k]->data = nullptr;
            DestroyTensor(views[k]);
        }
    free(views);
    kernel->extra_resources = nullptr;
}

// Output view {M, N, OH, OW, C} (dense, owned) back into the output
// {N, OH, OW, C * M} through its strides.
template <typename T> void MoveMultiplierBack(const Tensor* view, Tensor* out, uint32_t M)
{
    const T* src = (const T*)view->data;
    T* dst = (T*)out->data;
    const uint32_t N = out->shape.NHWC.batch, OH = out->shape.NHWC.height, OW = out->shape.NHWC.width;
    const uint32_t C = view->shape.dimension[4];
    const size_t vm = view->stride.dimension[0];
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t oh = 0; oh < OH; ++oh)
            for (uint32_t ow = 0; ow < OW; ++ow) {
                const T* s = src + ((size_t)(n * (size_t)OH + oh) * OW + ow) * C;
                T* d = dst + n * (size_t)out->stride.NHWC.batch_stride + oh * (size_t)out->stride.NHWC.height_stride +
                       ow * (size_t)out->stride.NHWC.width_stride;
                for (uint32_t c = 0; c < C; ++c)
                    for (uint32_t m = 0; m < M; ++m) d[(size_t)c * M + m] = s[m * vm + c];
            }
}

}  // namespace

void Init_DWConvolution_ref(NNKernel* kernel)
{
    const DepthWiseConv2DParams* p = CheckedParams(kernel);
    CheckGeometry(kernel, p);
    DestroyViews(kernel);
    BuildViews(kernel, p);
}

void Execute_DWConvolution_ref(NNKernel* kernel)
{
    const DepthWiseConv2DParams* p = CheckedParams(kernel);
    CheckGeometry(kernel, p);
    if (kernel->extra_resources == nullptr) BuildViews(kernel, p);
    const uint32_t M = p->depthMultiplier;
    Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    Tensor** views = Views(kernel);
    // Shared views follow their sources, which may have been re-pointed
    // (planned memory, reloaded weights) since initialisation.
    if (M == 1) {
        views[kFilterView]->data = kernel->inner[0]->data;
        if (views[kBiasView] != nullptr) views[kBiasView]->data = kernel->inner[1]->data;
        views[kOutputView]->data = out->data;
    }
    const Tensor* fv = views[kFilterView];
    const Tensor* bv = views[kBiasView];
    Tensor* ov = views[kOutputView];
    if (GetTensorSize(out) == 0) return;

    // ReLU and ReLU6 are applied by the float32 tiles as they store.
    const bool clampInTiles = in->dtype == DT_FLOAT32 && (p->activation == ReLU || p->activation == ReLU6);
    DwPlan c = PlanOf(in, out, p, clampInTiles);
    if (M != 1) {
        // The output view of multiplier m: the dense slice m of the owned view.
        c.sOutN = ov->stride.dimension[1];
        c.sOutH = ov->stride.dimension[2];
        c.sOutW = ov->stride.dimension[3];
    }

    const uint32_t H = in->shape.NHWC.height, W = in->shape.NHWC.width;
    const std::vector<Taps> rowTaps = AxisTaps(c.outH, p->strideH, p->padTop, c.dH, c.kH, H);
    const std::vector<Taps> colTaps = AxisTaps(c.outW, c.sW, p->padLeft, c.dW, c.kW, W);
    bool readsInput = false;
    for (const Taps& t : rowTaps) readsInput |= t.lo < t.hi;
    bool readsCols = false;
    for (const Taps& t : colTaps) readsCols |= t.lo < t.hi;
    if (readsInput && readsCols) {
        CV_CHECK_PTR(in->data);
        CV_CHECK_PTR(fv->data);
    }
    if (bv != nullptr) CV_CHECK_PTR(bv->data);
    CV_CHECK_PTR(ov->data);

    const size_t filterStep = (size_t)c.kH * c.kW * c.channels;
    if (in->dtype == DT_FLOAT32 && fv->dtype == DT_FLOAT32 && (bv == nullptr || bv->dtype == DT_FLOAT32)) {
        const std::vector<uint32_t> fullRun = FullRuns(colTaps, c.kW);
        for (uint32_t m = 0; m < M; ++m)
            DwFloat32(c, (const float*)in->data, (const float*)fv->data + m * filterStep,
                      bv != nullptr ? (const float*)bv->data + (size_t)m * c.channels : nullptr,
                      (float*)ov->data + (M == 1 ? 0 : m * (size_t)ov->stride.dimension[0]), rowTaps, colTaps, fullRun,
                      0, (uint64_t)c.batch * c.outH);
    } else if (in->dtype == DT_FLOAT16) {
        for (uint32_t m = 0; m < M; ++m) DwFloat16(c, in, fv, bv, ov, m, rowTaps, colTaps);
    } else {
        CV_FATAL("DWConvolution: float32 data needs a float32 filter and bias");
    }
    if (M != 1) {
        if (out->dtype == DT_FLOAT32)
            MoveMultiplierBack<float>(ov, out, M);
        else
            MoveMultiplierBack<uint16_t>(ov, out, M);
    }

    if (p->activation != None && p->activation != Linear && !clampInTiles) {
        ActivationParams act = {p->activation, 0.0f};
        Tensor* io[1] = {out};
        NNKernel k;
        memset(&k, 0, sizeof(k));
        k.input = io;
        k.output = io;
        k.inputsNum = 1;
        k.outputsNum = 1;
        k.params = &act;
        Execute_Activation(&k);
    }
}

void Destroy_DWConvolution_ref(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    DestroyViews(kernel);
}

// Shares on several cores: rows of the output, for float32 layers with one
// multiplier whose activation (if any) the tiles apply as they store.
namespace {
bool RowShares(NNKernel* kernel)
{
    const DepthWiseConv2DParams* p = (const DepthWiseConv2DParams*)kernel->params;
    if (p == nullptr || Views(kernel) == nullptr || kernel->inputsNum < 1 || kernel->innerNum < 1) return false;
    const Tensor* in = kernel->input[0];
    const Tensor* out = kernel->output[0];
    const Tensor* filter = kernel->inner[0];
    const Tensor* bias = (p->useBias & 1) != 0 && kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    if (in == nullptr || out == nullptr || filter == nullptr || p->depthMultiplier != 1) return false;
    if (in->dtype != DT_FLOAT32 || out->dtype != DT_FLOAT32 || filter->dtype != DT_FLOAT32 ||
        (bias != nullptr && bias->dtype != DT_FLOAT32))
        return false;
    return p->activation == None || p->activation == Linear || p->activation == ReLU || p->activation == ReLU6;
}
}  // namespace

uint64_t DWConvolution_ref_ShareUnits(NNKernel* kernel, uint64_t* unitWork)
{
    if (!RowShares(kernel)) return 0;
    const DepthWiseConv2DParams* p = CheckedParams(kernel);
    CheckGeometry(kernel, p);
    const Tensor* out = kernel->output[0];
    *unitWork = (uint64_t)out->shape.NHWC.width * out->shape.NHWC.channels * p->kerSizeH * p->kerSizeW;
    return (uint64_t)out->shape.NHWC.batch * out->shape.NHWC.height;
}

void DWConvolution_ref_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch*)
{
    if (!RowShares(kernel)) {
        if (begin == 0) CORVUS_LEVEL_NS::Execute_DWConvolution_ref(kernel);
        return;
    }
    const DepthWiseConv2DParams* p = CheckedParams(kernel);
    CheckGeometry(kernel, p);
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    if (GetTensorSize(out) == 0) return;
    // With one multiplier the views are the tensors themselves: read them
    // directly, as the shares must not re-point the shared views.
    const float* filter = (const float*)kernel->inner[0]->data;
    const float* bias = Views(kernel)[kBiasView] != nullptr ? (const float*)kernel->inner[1]->data : nullptr;
    const DwPlan c = PlanOf(in, out, p, p->activation == ReLU || p->activation == ReLU6);
    const uint32_t H = in->shape.NHWC.height, W = in->shape.NHWC.width;
    const std::vector<Taps> rowTaps = AxisTaps(c.outH, p->strideH, p->padTop, c.dH, c.kH, H);
    const std::vector<Taps> colTaps = AxisTaps(c.outW, c.sW, p->padLeft, c.dW, c.kW, W);
    CV_CHECK_PTR(out->data);
    if (H > 0 && W > 0) {
        CV_CHECK_PTR(in->data);
        CV_CHECK_PTR(filter);
    }
    DwFloat32(c, (const float*)in->data, filter, bias, (float*)out->data, rowTaps, colTaps, FullRuns(colTaps, c.kW),
              begin, end);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(uint64_t, DWConvolution_ref_ShareUnits, (NNKernel * kernel, uint64_t* unitWork),
                      (kernel, unitWork))
CORVUS_LEVEL_DISPATCH(void, DWConvolution_ref_RunShare,
                      (NNKernel * kernel, uint64_t begin, uint64_t end, KernelScratch* scratch),
                      (kernel, begin, end, scratch))

CORVUS_LEVEL_DISPATCH(void, Init_DWConvolution_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_DWConvolution_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Destroy_DWConvolution_ref, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_DWConvolution_ref = {Execute_DWConvolution_ref, Init_DWConvolution_ref,
                                                              nullptr, Destroy_DWConvolution_ref};

#endif
