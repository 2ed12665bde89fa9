// Grouped two-dimensional convolution over channels-last tensors.
//
// Arithmetic contract: for every output pixel, each kernel position inside
// the input (rows outer, columns inner) forms a partial sum per output
// channel over the group's input channels, one fused multiply-add per channel
// starting from 0 and from channel 0; the partial sums are added to the
// output in kernel-position order, then the bias, then the fused activation.
//
// The work is tiled as P output pixels of one row x V contiguous output
// channels; the partial sums of a tile live in registers and each filter row
// is loaded once for the P pixels.
#define CORVUS_MODULE "Convolution_ref"
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "Report.h"
#include "ref/ConvGeometry.h"
#include "ref/SimdLanes.h"
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

// Pixels per tile: with AVX-512's 32 registers, 8 pixels x 2 vectors keep
// enough independent sums in flight to cover the multiply-add latency, and
// shorter runs of whole pixels (2-7) take one tile of their length; 8 lanes
// in NEON/SSE register pairs fit 4 pixels.
#ifdef __AVX512F__
constexpr int kTilePixels = 8;
#else
constexpr int kTilePixels = 4;
#endif
constexpr int kShortTilePixels = 4;
// Single (border) pixels have no pixel reuse: more channel vectors per tile
// keep enough independent sums in flight instead.
#ifdef __AVX512F__
constexpr int kSingleTileVectors = 8;
#else
constexpr int kSingleTileVectors = 4;
#endif
constexpr int kTileVectors = 2;
// The widest vector the target holds in one register: 16 lanes with
// AVX-512, else 8 (an AVX register, or a pair of NEON/SSE registers).
#ifdef __AVX512F__
typedef corvus_simd::f32x16 WideVector;
#else
typedef corvus_simd::f32x8 WideVector;
#endif
constexpr uint32_t kWideLanes = sizeof(WideVector) / sizeof(float);

struct ConvPlan {
    uint32_t batch, outH, outW, cout, groups, cgIn, cgOut;
    uint32_t kH, kW, dH, dW, sW, sH;
    const float* in;
    const float* filter;
    const float* bias;
    float* out;
    size_t sInN, sInH, sInW, sOutN, sOutH, sOutW, fH, fW, fI;
    // Input and output steps between the pixels of a tile: along the row,
    // or down a column for the tiles of border columns.
    size_t xPix, oPix;
    // Every output pixel has a kernel position inside the input: tiles then
    // start their outputs from 0 and add the bias after their last position
    // themselves, with no separate clearing and bias passes.
    bool fused;
};

// o[p][:] += sum over ci of x[p][ci] * w[ci][:] for Q vectors of type V
// (Q = 0: one channel); each sum is a chain of fused multiply-adds from 0 in
// channel order, kept in registers. On a tile's first kernel position
// (`first`) the outputs count as 0 without being read; after its last one
// `bias` (when given) is added.
template <int P, int Q, typename V>
inline void AddPartialSums(const float* __restrict x, size_t xStep, const float* __restrict w, size_t wStep,
                           uint32_t cin, float* __restrict o, size_t oStep, bool first, const float* bias)
{
    if constexpr (Q > 0) {
        constexpr int L = (int)(sizeof(V) / sizeof(float));
        V s[P][Q];
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
            for (int q = 0; q < Q; ++q) s[p][q] = SplatV<V>(0.0f);
        for (uint32_t ci = 0; ci < cin; ++ci) {
            const float* wr = w + ci * wStep;
            V wv[Q];
#pragma GCC unroll 8
            for (int q = 0; q < Q; ++q) wv[q] = LoadV<V>(wr + L * q);
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p) {
                const V xv = SplatV<V>(x[p * xStep + ci]);
#pragma GCC unroll 8
                for (int q = 0; q < Q; ++q) s[p][q] = MulAdd(xv, wv[q], s[p][q]);
            }
        }
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
            for (int q = 0; q < Q; ++q) {
                float* op = o + p * oStep + L * q;
                V r = (first ? SplatV<V>(0.0f) : LoadV<V>(op)) + s[p][q];
                if (bias != nullptr) r = r + LoadV<V>(bias + L * q);
                StoreV(op, r);
            }
    } else {
        float s[P];
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) s[p] = 0.0f;
        for (uint32_t ci = 0; ci < cin; ++ci) {
            const float wv = w[ci * wStep];
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p) s[p] = fmaf(x[p * xStep + ci], wv, s[p]);
        }
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) {
            float r = (first ? 0.0f : o[p * oStep]) + s[p];
            if (bias != nullptr) r = r + *bias;
            o[p * oStep] = r;
        }
    }
}

// P pixels (consecutive along the row, or one border pixel) x 4Q channels
// from output channel co of group g, over kernel rows [rows.lo, rows.hi) and
// columns [colLo, colHi) starting at input column firstIw.
template <int P, int Q, typename V>
inline void ConvTile(const ConvPlan& c, const float* inRow0, size_t rowStep, const Taps& rows, uint32_t colLo,
                     uint32_t colHi, uint32_t firstIw, uint32_t g, uint32_t co, float* o)
{
    const size_t xStep = c.xPix;
    const float* xg = inRow0 + (size_t)firstIw * c.sInW + (size_t)g * c.cgIn;
    const float* wg = c.filter + (size_t)g * c.cgOut + co;
    if constexpr (Q > 0) {
        // With three input channels (images) a kernel position is three
        // multiply-adds per output; the tile's outputs then stay in
        // registers across positions instead of being loaded and stored for
        // each one (the same operations in the same order).
        if (c.cgIn == 3) {
            constexpr int L = (int)(sizeof(V) / sizeof(float));
            const V zero = SplatV<V>(0.0f);
            V acc[P][Q];
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
                for (int q = 0; q < Q; ++q) acc[p][q] = c.fused ? zero : LoadV<V>(o + p * c.oPix + L * q);
            for (uint32_t kh = rows.lo; kh < rows.hi; ++kh) {
                const float* xr = xg + (size_t)(kh - rows.lo) * rowStep;
                const float* wr = wg + (size_t)kh * c.fH;
                for (uint32_t kw = colLo; kw < colHi; ++kw) {
                    const float* x = xr + (size_t)(kw - colLo) * c.dW * c.sInW;
                    const float* w = wr + (size_t)kw * c.fW;
                    V w0[Q], w1[Q], w2[Q];
#pragma GCC unroll 8
                    for (int q = 0; q < Q; ++q) {
                        w0[q] = LoadV<V>(w + L * q);
                        w1[q] = LoadV<V>(w + c.fI + L * q);
                        w2[q] = LoadV<V>(w + 2 * c.fI + L * q);
                    }
#pragma GCC unroll 8
                    for (int p = 0; p < P; ++p) {
                        const float* xp = x + p * xStep;
                        const V x0 = SplatV<V>(xp[0]), x1 = SplatV<V>(xp[1]), x2 = SplatV<V>(xp[2]);
#pragma GCC unroll 8
                        for (int q = 0; q < Q; ++q)
                            acc[p][q] = acc[p][q] + MulAdd(x2, w2[q], MulAdd(x1, w1[q], MulAdd(x0, w0[q], zero)));
                    }
                }
            }
            const float* bias = c.fused && c.bias != nullptr ? c.bias + (size_t)g * c.cgOut + co : nullptr;
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
                for (int q = 0; q < Q; ++q)
                    StoreV(o + p * c.oPix + L * q, bias != nullptr ? acc[p][q] + LoadV<V>(bias + L * q) : acc[p][q]);
            return;
        }
    }
    const float* lastBias = c.fused && c.bias != nullptr ? c.bias + (size_t)g * c.cgOut + co : nullptr;
    for (uint32_t kh = rows.lo; kh < rows.hi; ++kh) {
        const float* xr = xg + (size_t)(kh - rows.lo) * rowStep;
        const float* wr = wg + (size_t)kh * c.fH;
        for (uint32_t kw = colLo; kw < colHi; ++kw) {
            const bool first = c.fused && kh == rows.lo && kw == colLo;
            const bool last = kh + 1 == rows.hi && kw + 1 == colHi;
            AddPartialSums<P, Q, V>(xr + (size_t)(kw - colLo) * c.dW * c.sInW, xStep, wr + (size_t)kw * c.fW, c.fI,
                                    c.cgIn, o, c.oPix, first, last ? lastBias : nullptr);
        }
    }
}

// All output channels of one group for a run of pixels of one output row:
// (for one pixel, several wide vectors first,) two wide vectors at a time,
// then 16, 8, 4 and single channels.
template <int P>
inline void ConvChannels(const ConvPlan& c, const float* inRow0, size_t rowStep, const Taps& rows, const Taps& col,
                         uint32_t colLo, uint32_t colHi, uint32_t g, float* o)
{
    uint32_t co = 0;
    const uint32_t n = c.cgOut;
    float* og = o + (size_t)g * c.cgOut;
    if (P == 1)
        for (; co + kWideLanes * kSingleTileVectors <= n; co += kWideLanes * kSingleTileVectors)
            ConvTile<P, kSingleTileVectors, WideVector>(c, inRow0, rowStep, rows, colLo, colHi, col.first, g, co,
                                                        og + co);
    for (; co + kWideLanes * kTileVectors <= n; co += kWideLanes * kTileVectors)
        ConvTile<P, kTileVectors, WideVector>(c, inRow0, rowStep, rows, colLo, colHi, col.first, g, co, og + co);
    if (kWideLanes == 16 && co + 16 <= n) {
        ConvTile<P, 1, corvus_simd::f32x16>(c, inRow0, rowStep, rows, colLo, colHi, col.first, g, co, og + co);
        co += 16;
    }
    if (co + 8 <= n) {
        ConvTile<P, 1, f32x8>(c, inRow0, rowStep, rows, colLo, colHi, col.first, g, co, og + co);
        co += 8;
    }
    if (co + 4 <= n) {
        ConvTile<P, 1, f32x4>(c, inRow0, rowStep, rows, colLo, colHi, col.first, g, co, og + co);
        co += 4;
    }
    for (; co < n; ++co) ConvTile<P, 0, f32x4>(c, inRow0, rowStep, rows, colLo, colHi, col.first, g, co, og + co);
}

// A run of 2 to 8 pixels in one tile.
inline void ConvRun(const ConvPlan& c, uint32_t run, const float* inRow0, size_t rowStep, const Taps& rows,
                    const Taps& col, uint32_t colLo, uint32_t colHi, uint32_t g, float* o)
{
    switch (run) {
    case 8: ConvChannels<8>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o); break;
    case 7: ConvChannels<7>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o); break;
    case 6: ConvChannels<6>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o); break;
    case 5: ConvChannels<5>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o); break;
    case 4: ConvChannels<4>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o); break;
    case 3: ConvChannels<3>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o); break;
    default: ConvChannels<2>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o); break;
    }
}

// Every output element is computed by exactly one tile, so the order in
// which tiles run does not matter. With AVX-512, pixels of border columns
// (partial column taps) in rows with all row taps are tiled down the
// column instead of one at a time, so each filter value serves several
// pixels.
void RunConv(const ConvPlan& c, const std::vector<Taps>& rowTaps, const std::vector<Taps>& colTaps,
             const std::vector<uint32_t>& fullRun)
{
    const size_t rowStep = (size_t)c.dH * c.sInH;
    const bool wideTiles = kTilePixels > kShortTilePixels;
    const std::vector<uint32_t> rowRun = corvus_conv::FullRuns(rowTaps, c.kH);
    // Row groups tiled down the border columns: runs of whole rows cut into
    // tiles of at most kTilePixels, a leftover single row stays in its row.
    std::vector<std::pair<uint32_t, uint32_t>> downTiles;
    std::vector<uint8_t> downTiled(c.outH, 0);
    for (uint32_t oh = 0; wideTiles && oh < c.outH;) {
        if (rowRun[oh] < 2) {
            ++oh;
            continue;
        }
        const uint32_t run = rowRun[oh] < (uint32_t)kTilePixels ? rowRun[oh] : (uint32_t)kTilePixels;
        downTiles.push_back({oh, run});
        for (uint32_t k = 0; k < run; ++k) downTiled[oh + k] = 1;
        oh += run;
    }
    ConvPlan down = c;
    down.xPix = (size_t)c.sH * c.sInH;
    down.oPix = c.sOutH;
    for (uint32_t n = 0; n < c.batch; ++n) {
        for (uint32_t oh = 0; oh < c.outH && !c.fused; ++oh) {
            float* orow = c.out + n * c.sOutN + oh * c.sOutH;
            for (uint32_t ow = 0; ow < c.outW; ++ow) memset(orow + ow * c.sOutW, 0, sizeof(float) * c.cout);
        }
        for (uint32_t oh = 0; oh < c.outH; ++oh) {
            float* orow = c.out + n * c.sOutN + oh * c.sOutH;
            const Taps& rows = rowTaps[oh];
            const float* inRow0 = c.in + n * c.sInN + (size_t)rows.first * c.sInH;
            if (rows.lo >= rows.hi) continue;
            for (uint32_t g = 0; g < c.groups; ++g) {
                uint32_t ow = 0;
                while (ow < c.outW) {
                    float* o = orow + ow * c.sOutW;
                    const Taps& col = colTaps[ow];
                    if (fullRun[ow] >= (uint32_t)kTilePixels) {
                        ConvChannels<kTilePixels>(c, inRow0, rowStep, rows, col, 0, c.kW, g, o);
                        ow += kTilePixels;
                    } else if (wideTiles && fullRun[ow] >= 2) {
                        // On 7- and 14-wide maps only the border pixels remain.
                        ConvRun(c, fullRun[ow], inRow0, rowStep, rows, col, 0, c.kW, g, o);
                        ow += fullRun[ow];
                    } else {
                        if (!(downTiled[oh] && fullRun[ow] == 0))
                            ConvChannels<1>(c, inRow0, rowStep, rows, col, col.lo, col.hi, g, o);
                        ++ow;
                    }
                }
            }
        }
        for (uint32_t ow = 0; ow < c.outW && !downTiles.empty(); ++ow) {
            if (fullRun[ow] != 0) continue;
            const Taps& col = colTaps[ow];
            for (const auto& tile : downTiles) {
                const Taps& rows = rowTaps[tile.first];
                const float* inRow0 = c.in + n * c.sInN + (size_t)rows.first * c.sInH;
                float* o = c.out + n * c.sOutN + tile.first * c.sOutH + ow * c.sOutW;
                for (uint32_t g = 0; g < c.groups; ++g)
                    ConvRun(down, tile.second, inRow0, rowStep, rows, col, col.lo, col.hi, g, o);
            }
        }
        if (c.bias != nullptr && !c.fused)
            for (uint32_t oh = 0; oh < c.outH; ++oh) {
                float* orow = c.out + n * c.sOutN + oh * c.sOutH;
                for (uint32_t ow = 0; ow < c.outW; ++ow) {
                    float* o = orow + ow * c.sOutW;
                    for (uint32_t co = 0; co < c.cout; ++co) o[co] += c.bias[co];
                }
            }
    }
}

// Filters whose rows (one input channel, all output channels) are 1 KiB or
// longer are read a tile's width at a time with that stride, which maps
// every row to the same few cache sets. Such layers run one block of
// output channels at a time (the last one possibly narrower) over a copy of
// the block's filter packed contiguously; the tiles, and so every output
// element's arithmetic, are those of the unpacked path.
constexpr size_t kPackMinRowFloats = 256;
constexpr uint32_t kPackBlock = kWideLanes * kTileVectors;

bool PackedBlocks(const ConvPlan& c) { return c.fI >= kPackMinRowFloats && c.groups > 0 && c.cgIn > 0; }

void RunConvPacked(const ConvPlan& c, const std::vector<Taps>& rowTaps, const std::vector<Taps>& colTaps,
                   const std::vector<uint32_t>& fullRun)
{
    std::vector<float> packed((size_t)c.kH * c.kW * c.cgIn * kPackBlock);
    for (uint32_t g = 0; g < c.groups; ++g)
        for (uint32_t co = 0; co < c.cgOut; co += kPackBlock) {
            const uint32_t width = c.cgOut - co < kPackBlock ? c.cgOut - co : kPackBlock;
            const size_t tapFloats = (size_t)c.cgIn * width;
            const uint32_t first = g * c.cgOut + co;
            for (uint32_t kh = 0; kh < c.kH; ++kh)
                for (uint32_t kw = 0; kw < c.kW; ++kw) {
                    const float* src = c.filter + (size_t)kh * c.fH + (size_t)kw * c.fW + first;
                    float* dst = packed.data() + ((size_t)kh * c.kW + kw) * tapFloats;
                    for (uint32_t ci = 0; ci < c.cgIn; ++ci)
                        memcpy(dst + (size_t)ci * width, src + (size_t)ci * c.fI, sizeof(float) * width);
                }
            ConvPlan b = c;
            b.groups = 1;
            b.cout = b.cgOut = width;
            b.in = c.in + (size_t)g * c.cgIn;
            b.out = c.out + first;
            b.bias = c.bias != nullptr ? c.bias + first : nullptr;
            b.filter = packed.data();
            b.fI = width;
            b.fW = tapFloats;
            b.fH = (size_t)c.kW * tapFloats;
            RunConv(b, rowTaps, colTaps, fullRun);
        }
}

void CheckFloat32(const Tensor* t, const char* what)
{
    if (t->dtype != DT_FLOAT32)
        CV_FATAL("Conv2D_fl32_ref: %s must be float32, got %s", what, DataTypeToStr((DataType)t->dtype));
}

// Temporary float32 copy of a tensor (layout DL_NONE), released with the scope.
struct Float32Copy {
    Tensor* tensor = nullptr;
    Float32Copy(const Tensor* src, bool copyData)
    {
        tensor = CreateTensor(DT_FLOAT32, DL_NONE, src->ndim, src->shape, true);
        if (copyData && GetTensorSize(src) > 0) TensorDataConvert(tensor, src);
    }
    ~Float32Copy() { DestroyTensor(tensor); }
    Float32Copy(const Float32Copy&) = delete;
    Float32Copy& operator=(const Float32Copy&) = delete;
};

}  // namespace

void Conv2D_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                     const Conv2DParams* params)
{
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(params);
    if (filter == nullptr) CV_FATAL("Filters input is NULL");
    CheckFloat32(input, "input");
    CheckFloat32(output, "output");
    CheckFloat32(filter, "filter");
    if (input->ndim != 4 || output->ndim != 4 || filter->ndim != 4)
        CV_FATAL("Conv2D_fl32_ref: input, output and filter must have 4 dimensions (%u, %u, %u)", input->ndim,
                 output->ndim, filter->ndim);
    const bool useBias = (params->useBias & 1) != 0;
    if (useBias) {
        if (bias == nullptr) CV_FATAL("Conv2D_fl32_ref: the layer uses a bias but none is given");
        CheckFloat32(bias, "bias");
    }

    ConvPlan c;
    const uint32_t H = input->shape.NHWC.height, W = input->shape.NHWC.width;
    const uint32_t cin = input->shape.NHWC.channels;
    c.batch = output->shape.NHWC.batch;
    c.outH = output->shape.NHWC.height;
    c.outW = output->shape.NHWC.width;
    c.cout = output->shape.NHWC.channels;
    c.groups = params->groups;
    const bool formed = c.groups != 0 && c.groups <= cin && c.cout >= c.groups;
    c.cgIn = formed ? cin / c.groups : 0;
    c.cgOut = formed ? c.cout / c.groups : 0;
    if (!formed) c.groups = 0;
    c.kH = params->kerSizeH;
    c.kW = params->kerSizeW;
    c.dH = params->dilationRateH;
    c.dW = params->dilationRateW;
    c.sW = params->strideW;
    c.sH = params->strideH;

    if (c.batch != input->shape.NHWC.batch)
        CV_FATAL("Conv2D_fl32_ref: output batch %u differs from input batch %u", c.batch, input->shape.NHWC.batch);
    if (formed && (filter->shape.dimension[0] != c.kH || filter->shape.dimension[1] != c.kW ||
                   filter->shape.dimension[2] != c.cgIn || filter->shape.dimension[3] != c.cout))
        CV_FATAL("Conv2D_fl32_ref: filter shape (%u, %u, %u, %u) does not match (%u, %u, %u, %u)",
                 filter->shape.dimension[0], filter->shape.dimension[1], filter->shape.dimension[2],
                 filter->shape.dimension[3], c.kH, c.kW, c.cgIn, c.cout);
    if (useBias && (bias->ndim != 1 || bias->shape.dimension[0] != c.cout))
        CV_FATAL("Conv2D_fl32_ref: bias must hold one value per output channel (%u)", c.cout);
    if (input->stride.NHWC.channels_stride != 1 || output->stride.NHWC.channels_stride != 1 ||
        filter->stride.dimension[3] != 1)
        CV_FATAL("Conv2D_fl32_ref: channels of input, output and filter must be adjacent");

    if (GetTensorSize(output) == 0) return;
    CV_CHECK_PTR(output->data);
    const bool readsInput = c.groups > 0 && c.cgIn > 0 && c.cgOut > 0 && c.kH > 0 && c.kW > 0 && H > 0 && W > 0;
    if (readsInput) {
        CV_CHECK_PTR(input->data);
        CV_CHECK_PTR(filter->data);
    }
    if (useBias) CV_CHECK_PTR(bias->data);

    c.in = (const float*)input->data;
    c.filter = (const float*)filter->data;
    c.bias = useBias ? (const float*)bias->data : nullptr;
    c.out = (float*)output->data;
    c.sInN = input->stride.NHWC.batch_stride;
    c.sInH = input->stride.NHWC.height_stride;
    c.sInW = input->stride.NHWC.width_stride;
    c.sOutN = output->stride.NHWC.batch_stride;
    c.sOutH = output->stride.NHWC.height_stride;
    c.sOutW = output->stride.NHWC.width_stride;
    c.xPix = (size_t)c.sW * c.sInW;
    c.oPix = c.sOutW;
    c.fH = filter->stride.dimension[0];
    c.fW = filter->stride.dimension[1];
    c.fI = filter->stride.dimension[2];

    std::vector<Taps> rowTaps, colTaps;
    if (readsInput) {
        rowTaps = AxisTaps(c.outH, params->strideH, params->padTop, c.dH, c.kH, H);
        colTaps = AxisTaps(c.outW, c.sW, params->padLeft, c.dW, c.kW, W);
    } else {
        c.groups = 0;
        rowTaps.assign(c.outH, Taps{0, 0, 0});
        colTaps.assign(c.outW, Taps{0, 0, 0});
    }
    const auto anyEmpty = [](const std::vector<Taps>& taps) {
        for (const Taps& t : taps)
            if (t.lo >= t.hi) return true;
        return false;
    };
    c.fused = c.groups > 0 && !anyEmpty(rowTaps) && !anyEmpty(colTaps);
    if (PackedBlocks(c))
        RunConvPacked(c, rowTaps, colTaps, FullRuns(colTaps, c.kW));
    else
        RunConv(c, rowTaps, colTaps, FullRuns(colTaps, c.kW));

    Activation_fl32_ref(output, output, &params->activation);
}

void Conv2D_fl16_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                     const Conv2DParams* params)
{
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(params);
    if (filter == nullptr) CV_FATAL("Filters input is NULL");
    const bool useBias = (params->useBias & 1) != 0 && bias != nullptr;
    Float32Copy in32(input, true);
    Float32Copy filter32(filter, true);
    Float32Copy out32(output, false);
    if (useBias) {
        Float32Copy bias32(bias, true);
        CORVUS_LEVEL_NS::Conv2D_fl32_ref(in32.tensor, filter32.tensor, bias32.tensor, out32.tensor, params);
    } else {
        CORVUS_LEVEL_NS::Conv2D_fl32_ref(in32.tensor, filter32.tensor, nullptr, out32.tensor, params);
    }
    if (GetTensorSize(output) > 0) TensorDataConvert(output, out32.tensor);
}

void Execute_Conv2D_ref(NNKernel* kernel)
{
    if (kernel == nullptr) CV_FATAL("kernel pointer is null");
    if (kernel->inputsNum < 1 || kernel->innerNum < 1) CV_FATAL("Conv2D: the kernel needs an input and a filter");
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    const Tensor* filter = kernel->inner[0];
    const Tensor* bias = kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    const Conv2DParams* params = (const Conv2DParams*)kernel->params;
    CV_CHECK_PTR(input);
    if (input->dtype == DT_FLOAT16)
        CORVUS_LEVEL_NS::Conv2D_fl16_ref(input, filter, bias, output, params);
    else if (input->dtype == DT_FLOAT32)
        CORVUS_LEVEL_NS::Conv2D_fl32_ref(input, filter, bias, output, params);
    else
        CV_FATAL("support only F16 or F32");
}

}  // namespace CORVUS_LEVEL_NS

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, Conv2D_fl32_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv2DParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Conv2D_fl16_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv2DParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Execute_Conv2D_ref, (NNKernel* kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_Conv2D_ref = {Execute_Conv2D_ref, nullptr, nullptr, nullptr};

#endif
