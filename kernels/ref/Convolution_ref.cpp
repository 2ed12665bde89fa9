// Grouped two-dimensional convolution over channels-last tensors.
//
// Arithmetic contract: for every output pixel, each kernel position inside
// the input (rows outer, columns inner) forms a partial sum per output
// channel over the group's input channels, one fused multiply-add per channel
// starting from 0 and from channel 0; the partial sums are added to the
// output in kernel-position order, then the bias, then the fused activation.
//
// Ungrouped layers with finite filters run register-tiled over a filter
// packed once at initialisation (Init_Conv2D_ref): a tile is P output pixels
// (anywhere in the map) x one block of output channels. A kernel position's
// partial sums live in registers; the running sums of the tile are added to
// once per position and written to the output once. Taps outside the input
// read a row of zeros, which adds exactly nothing (see RunTiled). Other
// layers are tiled as P output pixels of one row x V contiguous output
// channels, reading the filter where it lies.
#define CORVUS_MODULE "Convolution_ref"
#include <cmath>
#include <cstring>
#include <algorithm>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "Report.h"
#include "common/ConvGeometry.h"
#include "common/Float32Temps.h"
#include "common/SimdLanes.h"
#include "KernelShares.h"
#include "PackedFilters.h"
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

namespace corvus_conv {

// A layer prepared for the register-tiled path (the kernel's private
// resource, or a temporary of one call): its filter packed, output channels
// [0, covered) in blocks, each block [kernel position][input channel][block
// width] contiguous in the order the tiles read it; the layer's geometry
// worked out; and the scratch of one execution, so that running the layer
// allocates nothing.
struct ConvPack {
    const void* source;  // the filter data it was packed from (null while the pack holds it)
    // The filter tensor's data was released (ReleasePackedFilter): the
    // panels are the only copy of the weights until RestorePackedFilter.
    bool holdsFilter;
    uint32_t lanes, kH, kW, cin, cout, covered;
    // The geometry it was made for.
    uint32_t inH, inW, outH, outW, sH, sW, dH, dW, padTop, padLeft;
    size_t sInH, sInW;
    float* panels;
    float* zeros;       // cin zeros, read for kernel positions outside the input
    int64_t* rowIn;     // [outH][kH]: input row of each output row and kernel row, -1 outside
    int64_t* colIn;     // [outW][kW]: the same for columns
    int64_t* tapOff;    // [kH * kW]: offset of each position's input from the first one's
    uint32_t* order;    // output pixels, whole-window ones first, the others grouped by window
    uint64_t interior;  // how many pixels see every position
    uint32_t chunk;     // output pixels per chunk
    // Sizes of the register halves over a whole map (chunk = map), in
    // `order`, each tile within a run of pixels whose windows nest; null:
    // even halves (see MapTiles).
    uint8_t* tiles;
    uint32_t numTiles;
    // Scratch of one execution.
    const float** table;
    const float** bases;
    float** outs;
    uint32_t* tapIds;
};

inline void FreeConvPack(ConvPack* pk)
{
    if (pk == nullptr) return;
    void* arrays[] = {pk->panels, pk->zeros, pk->rowIn, pk->colIn,  pk->tapOff, pk->order,
                      pk->table,  pk->bases, pk->outs,  pk->tapIds, pk->tiles};
    for (void* a : arrays) free(a);
    free(pk);
}

}  // namespace corvus_conv

using corvus_conv::ConvPack;

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
    uint32_t inH, inW, padTop, padLeft;
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
    case 8:
        ConvChannels<8>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o);
        break;
    case 7:
        ConvChannels<7>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o);
        break;
    case 6:
        ConvChannels<6>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o);
        break;
    case 5:
        ConvChannels<5>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o);
        break;
    case 4:
        ConvChannels<4>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o);
        break;
    case 3:
        ConvChannels<3>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o);
        break;
    default:
        ConvChannels<2>(c, inRow0, rowStep, rows, col, colLo, colHi, g, o);
        break;
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

// ---- Register-tiled path ------------------------------------------------
//
// Tiles of kTiledPixels pixels x two vectors of channels (kNarrowPixels x one
// vector for a last narrower block). A position's partial sums take
// kTiledPixels x 2 registers; the running sums go through a small buffer,
// touched once per position (cin multiply-adds per element). With AVX-512's
// 32 registers a wide tile runs as two halves instead, each holding its
// partial and running sums in registers (RegisterTile).
#if defined(__AVX512F__)
typedef corvus_simd::f32x16 TiledVector;
constexpr int kTiledPixels = 12;
constexpr int kNarrowPixels = 24;
#elif defined(__AVX__) || defined(__aarch64__)
typedef f32x8 TiledVector;
constexpr int kTiledPixels = 6;
constexpr int kNarrowPixels = 12;
#else
// SSE: an 8-lane vector is a register pair, 16 registers in all.
typedef f32x8 TiledVector;
constexpr int kTiledPixels = 3;
constexpr int kNarrowPixels = 6;
#endif
constexpr uint32_t kTiledLanes = sizeof(TiledVector) / sizeof(float);
// Pixels of the wide tiles of one to three input channels, whose running sums
// stay in registers.
#if defined(__AVX512F__)
constexpr int kShortPixels = 8;
#elif defined(__AVX__) || defined(__aarch64__)
constexpr int kShortPixels = 3;
#else
constexpr int kShortPixels = 2;
#endif
constexpr int kMaxTilePixels = kNarrowPixels > kTiledPixels ? kNarrowPixels : kTiledPixels;
// Bounds the per-tile pointer table and the per-position tables.
constexpr uint64_t kMaxTiledTaps = 128;
// Output pixels per chunk: whole narrow tiles; at most kMaxChunk when the
// whole map is one chunk.
constexpr uint32_t kTiledChunk = kNarrowPixels * 8;
constexpr uint64_t kMaxChunk = 4096;

// Output channels the packed blocks cover: blocks of two vectors, then one
// block of one vector when at least that many remain.
uint32_t TiledChannels(uint32_t cout)
{
    const uint32_t wide = 2 * kTiledLanes;
    uint32_t covered = cout / wide * wide;
    if (cout - covered >= kTiledLanes) covered += kTiledLanes;
    return covered;
}

bool FiniteFilter(const ConvPlan& c)
{
    for (uint32_t kh = 0; kh < c.kH; ++kh)
        for (uint32_t kw = 0; kw < c.kW; ++kw)
            for (uint32_t ci = 0; ci < c.cgIn; ++ci) {
                const float* w = c.filter + (size_t)kh * c.fH + (size_t)kw * c.fW + (size_t)ci * c.fI;
                for (uint32_t co = 0; co < c.cout; ++co)
                    if (!std::isfinite(w[co])) return false;
            }
    return true;
}

// Whether the layer runs register-tiled. A non-finite filter value would
// turn the zero rows read for outside positions into NaN (0 * inf), so such
// filters keep the path that skips those positions; so do grouped layers.
// Maps smaller than one tile run tiled too (slots past the last pixel are
// computed, not stored): the untiled path would copy the filter on every
// call where its rows are long.
bool TiledEligible(const ConvPlan& c)
{
    return c.groups == 1 && c.cgIn >= 1 && (uint64_t)c.kH * c.kW <= kMaxTiledTaps && TiledChannels(c.cout) > 0;
}

// Pixels of the register halves (RunHalves) and the fewest they take.
constexpr uint32_t kHalfPixels = 6;
constexpr uint32_t kMinMapTile = 3;

// The halves' tiles over a whole map: even halves of 6 and 5 pixels mix
// pixels whose windows differ, and a tile computes every position that one
// of its pixels sees, on zeros for the others (on a 7x7 map with 3x3
// windows, 13% of the multiply-adds). Here the pixels are cut into runs of
// one window each (in `order` they are grouped by window already); a run
// shorter than kMinMapTile (a corner) joins a run whose window holds its
// own, one with room left in its last tile if there is one, else the
// whole-window pixels. `order` is rewritten run after run, the
// whole-window pixels still first, and each run is tiled as evenly as
// halves of at most 6 pixels allow.
bool MapTiles(const ConvPlan& c, ConvPack* pk, const std::vector<Taps>& rowTaps, const std::vector<Taps>& colTaps)
{
    const uint64_t pixels = (uint64_t)c.outH * c.outW;
    struct Window {
        uint32_t rLo, rHi, cLo, cHi;
        bool Holds(const Window& o) const { return rLo <= o.rLo && o.rHi <= rHi && cLo <= o.cLo && o.cHi <= cHi; }
        bool operator==(const Window& o) const { return rLo == o.rLo && rHi == o.rHi && cLo == o.cLo && cHi == o.cHi; }
    };
    const auto window = [&](uint32_t q) {
        const Taps &r = rowTaps[q / c.outW], &k = colTaps[q % c.outW];
        return Window{r.lo, r.hi, k.lo, k.hi};
    };
    struct Run {
        Window w;
        std::vector<uint32_t> pixels;
    };
    std::vector<Run> runs;
    for (uint64_t i = 0; i < pixels; ++i) {
        const uint32_t q = pk->order[i];
        const Window w = i < pk->interior ? Window{0, c.kH, 0, c.kW} : window(q);
        if (runs.empty() || (i == pk->interior && i > 0) || !(runs.back().w == w)) runs.push_back(Run{w, {}});
        runs.back().pixels.push_back(q);
    }
    const bool whole = pk->interior > 0;
    if (whole && runs[0].pixels.size() < kMinMapTile) return true;  // even halves
    for (size_t r = whole ? 1 : 0; r < runs.size(); ++r) {
        Run& small = runs[r];
        if (small.pixels.empty() || small.pixels.size() >= kMinMapTile) continue;
        Run *host = nullptr, *full = nullptr;
        for (size_t h = whole ? 1 : 0; h < runs.size() && host == nullptr; ++h) {
            Run& cand = runs[h];
            if (h == r || cand.pixels.size() < kMinMapTile || !cand.w.Holds(small.w)) continue;
            if (cand.pixels.size() % kHalfPixels != 0)
                host = &cand;
            else if (full == nullptr)
                full = &cand;
        }
        if (host == nullptr) host = whole ? &runs[0] : full;
        if (host == nullptr) return true;  // even halves
        host->pixels.insert(host->pixels.end(), small.pixels.begin(), small.pixels.end());
        small.pixels.clear();
    }
    std::vector<uint8_t> sizes;
    uint64_t n = 0;
    for (const Run& run : runs) {
        const uint64_t m = run.pixels.size(), t = (m + kHalfPixels - 1) / kHalfPixels;
        for (uint64_t k = 0; k < t; ++k) sizes.push_back((uint8_t)(m / t + (k < m % t ? 1 : 0)));
        for (uint32_t q : run.pixels) pk->order[n++] = q;
    }
    pk->tiles = (uint8_t*)malloc(sizes.size());
    if (pk->tiles == nullptr) return false;
    memcpy(pk->tiles, sizes.data(), sizes.size());
    pk->numTiles = (uint32_t)sizes.size();
    return true;
}

// Where each output pixel's window meets the input, for the tiled path.
bool PlanWindows(const ConvPlan& c, ConvPack* pk)
{
    const uint32_t taps = c.kH * c.kW;
    const std::vector<Taps> rowTaps = AxisTaps(c.outH, c.sH, c.padTop, c.dH, c.kH, c.inH);
    const std::vector<Taps> colTaps = AxisTaps(c.outW, c.sW, c.padLeft, c.dW, c.kW, c.inW);
    const uint64_t pixels = (uint64_t)c.outH * c.outW;
    pk->rowIn = (int64_t*)malloc(sizeof(int64_t) * c.outH * c.kH);
    pk->colIn = (int64_t*)malloc(sizeof(int64_t) * c.outW * c.kW);
    pk->tapOff = (int64_t*)malloc(sizeof(int64_t) * taps);
    pk->order = (uint32_t*)malloc(sizeof(uint32_t) * pixels);
    pk->table = (const float**)malloc(sizeof(float*) * kMaxTilePixels * taps);
    // Every block of channels passes over a chunk of pixels while the chunk's
    // input is in cache. A filter larger than the input is better read once:
    // then the whole map is one chunk.
    const uint64_t filterBytes = sizeof(float) * (uint64_t)taps * c.cgIn * c.cout;
    const uint64_t inputBytes = sizeof(float) * (uint64_t)c.inH * c.inW * c.cgIn;
    pk->chunk = filterBytes > inputBytes && pixels <= kMaxChunk ? (uint32_t)pixels : kTiledChunk;
    pk->bases = (const float**)malloc(sizeof(float*) * pk->chunk);
    pk->outs = (float**)malloc(sizeof(float*) * pk->chunk);
    pk->tapIds = (uint32_t*)malloc(sizeof(uint32_t) * taps);
    if (!pk->rowIn || !pk->colIn || !pk->tapOff || !pk->order || !pk->table || !pk->bases || !pk->outs || !pk->tapIds)
        return false;
    for (uint32_t oh = 0; oh < c.outH; ++oh)
        for (uint32_t kh = 0; kh < c.kH; ++kh) {
            const Taps& r = rowTaps[oh];
            pk->rowIn[(size_t)oh * c.kH + kh] = kh >= r.lo && kh < r.hi ? r.first + (int64_t)(kh - r.lo) * c.dH : -1;
        }
    for (uint32_t ow = 0; ow < c.outW; ++ow)
        for (uint32_t kw = 0; kw < c.kW; ++kw) {
            const Taps& r = colTaps[ow];
            pk->colIn[(size_t)ow * c.kW + kw] = kw >= r.lo && kw < r.hi ? r.first + (int64_t)(kw - r.lo) * c.dW : -1;
        }
    for (uint32_t kh = 0, t = 0; kh < c.kH; ++kh)
        for (uint32_t kw = 0; kw < c.kW; ++kw, ++t)
            pk->tapOff[t] = (int64_t)kh * c.dH * (int64_t)c.sInH + (int64_t)kw * c.dW * (int64_t)c.sInW;
    // Whole-window pixels first (in raster order, their inputs read through
    // one offset per position); then the others sorted by the window they
    // see, so that the tiles of border pixels share the positions they skip.
    const auto whole = [](const Taps& t, uint32_t k) { return t.lo == 0 && t.hi == k; };
    uint64_t n = 0;
    for (uint32_t oh = 0; oh < c.outH; ++oh)
        for (uint32_t ow = 0; ow < c.outW; ++ow)
            if (whole(rowTaps[oh], c.kH) && whole(colTaps[ow], c.kW)) pk->order[n++] = oh * c.outW + ow;
    pk->interior = n;
    for (uint32_t oh = 0; oh < c.outH; ++oh)
        for (uint32_t ow = 0; ow < c.outW; ++ow)
            if (!(whole(rowTaps[oh], c.kH) && whole(colTaps[ow], c.kW))) pk->order[n++] = oh * c.outW + ow;
    const auto key = [&](uint32_t q) {
        const Taps& r = rowTaps[q / c.outW];
        const Taps& k = colTaps[q % c.outW];
        return std::make_tuple(r.lo, r.hi, k.lo, k.hi);
    };
    std::stable_sort(pk->order + pk->interior, pk->order + pixels,
                     [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    return pk->chunk < pixels || MapTiles(c, pk, rowTaps, colTaps);
}

// Prepares the plan's layer for the tiled path; nullptr when it does not
// run tiled.
ConvPack* PackFilter(const ConvPlan& c)
{
    if (!TiledEligible(c) || !FiniteFilter(c)) return nullptr;
    const uint32_t taps = c.kH * c.kW, covered = TiledChannels(c.cout);
    ConvPack* pk = (ConvPack*)calloc(1, sizeof(ConvPack));
    CV_CHECK_PTR(pk);
    pk->source = c.filter;
    pk->lanes = kTiledLanes;
    pk->kH = c.kH;
    pk->kW = c.kW;
    pk->cin = c.cgIn;
    pk->cout = c.cout;
    pk->covered = covered;
    pk->inH = c.inH;
    pk->inW = c.inW;
    pk->outH = c.outH;
    pk->outW = c.outW;
    pk->sH = c.sH;
    pk->sW = c.sW;
    pk->dH = c.dH;
    pk->dW = c.dW;
    pk->padTop = c.padTop;
    pk->padLeft = c.padLeft;
    pk->sInH = c.sInH;
    pk->sInW = c.sInW;
    pk->panels = (float*)malloc(sizeof(float) * covered * (size_t)taps * c.cgIn);
    pk->zeros = (float*)calloc(c.cgIn, sizeof(float));
    if (pk->panels == nullptr || pk->zeros == nullptr || !PlanWindows(c, pk)) {
        corvus_conv::FreeConvPack(pk);
        CV_FATAL("Conv2D: cannot allocate the packed filter (%u x %u x %u x %u) and its tables", c.kH, c.kW, c.cgIn,
                 c.cout);
    }
    float* dst = pk->panels;
    for (uint32_t co = 0; co < covered;) {
        const uint32_t width = covered - co >= 2 * kTiledLanes ? 2 * kTiledLanes : kTiledLanes;
        for (uint32_t kh = 0; kh < c.kH; ++kh)
            for (uint32_t kw = 0; kw < c.kW; ++kw)
                for (uint32_t ci = 0; ci < c.cgIn; ++ci, dst += width)
                    memcpy(dst, c.filter + (size_t)kh * c.fH + (size_t)kw * c.fW + (size_t)ci * c.fI + co,
                           sizeof(float) * width);
        co += width;
    }
    return pk;
}

// The clamping activations, applied as the tile is stored: the same
// element-wise functions as the float32 activation kernel (x * 0 keeps NaN
// and gives -0 for negative values), so the result does not depend on where
// they run. Other kinds run over the whole output afterwards.
bool StoreActivation(uint32_t kind) { return kind == ReLU || kind == ReLU6 || kind == LeakyReLU; }

inline float Clamped(float x, uint32_t kind, float alpha)
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

template <typename V> inline V Clamped(V x, uint32_t kind, float alpha)
{
    const V zero = SplatV<V>(0.0f);
    switch (kind) {
    case ReLU:
        return x > zero ? x : x * zero;
    case ReLU6: {
        const V y = x > zero ? x : x * zero;
        const V six = SplatV<V>(6.0f);
        return y > six ? six : y;
    }
    case LeakyReLU:
        return x > zero ? x : x * SplatV<V>(alpha);
    default:
        return x;
    }
}

// Calls f with the clamping activation `act` as a compile-time constant
// (std::integral_constant), None for the kinds applied afterwards, so that
// tiles need no switch per stored vector.
template <typename F> inline void WithClamp(uint32_t act, F&& f)
{
    if (act == ReLU)
        f(std::integral_constant<uint32_t, ReLU>());
    else if (act == ReLU6)
        f(std::integral_constant<uint32_t, ReLU6>());
    else if (act == LeakyReLU)
        f(std::integral_constant<uint32_t, LeakyReLU>());
    else
        f(std::integral_constant<uint32_t, None>());
}

// Where a tile reads its input: with `direct`, pixel p reads position t at
// src[p] + off[t] for every position t in order (whole-window pixels);
// otherwise only the positions ids[0 .. n) are taken, pixel p reading
// position ids[i] at src[i * P + p] (zeros outside the input for some of the
// tile's pixels).
template <int P, bool kDirect>
inline void TapInputs(const float* const* __restrict src, const int64_t* __restrict off, uint32_t i, uint32_t t,
                      const float* x[P])
{
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p) x[p] = kDirect ? src[p] + off[t] : src[(size_t)i * P + p];
}

// Lines of the next block's panel fetched ahead, one per input channel step,
// while a layer that reads its filter once (from memory) computes the
// current block.
struct Ahead {
    const char* at;
    const char* end;
};

// The fetching for the next tile: none once the panel's lines are all
// fetched, so that the block's remaining tiles run the chain without the
// check at every step.
inline Ahead* Pending(Ahead* a) { return a != nullptr && a->at < a->end ? a : nullptr; }

// The panel of the block after the one of `width` channels at co (panels of
// `perChannel` floats per output channel, the next block narrower at the
// share's end): the lines to fetch while this block computes.
inline Ahead NextPanel(const float* panel, uint32_t co, uint32_t width, uint32_t coEnd, size_t perChannel)
{
    const float* next = panel + (size_t)width * perChannel;
    const size_t floats = co + width < coEnd ? (size_t)std::min(width, coEnd - co - width) * perChannel : 0;
    return Ahead{(const char*)next, (const char*)(next + floats)};
}

// The input-channel chain of PositionSums; with kAhead each step also
// fetches the next line of `ahead`.
template <int P, int Q, bool kAhead>
inline __attribute__((always_inline)) void ChannelChain(const float* const* __restrict x, const float* __restrict w,
                                                        uint32_t cin, TiledVector (&s)[P][Q], Ahead* ahead)
{
    typedef TiledVector V;
    constexpr int L = (int)kTiledLanes;
    constexpr int B = Q * L;
    for (uint32_t ci = 0; ci < cin; ++ci) {
        if constexpr (kAhead) {
            if (ahead->at < ahead->end) {
                __builtin_prefetch(ahead->at, 0, 2);
                ahead->at += 64;
            }
        }
        V wv[Q];
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) wv[q] = LoadV<V>(w + (size_t)ci * B + L * q);
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p) {
            const V xv = SplatV<V>(x[p][ci]);
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) s[p][q] = MulAdd(xv, wv[q], s[p][q]);
        }
    }
}

// One kernel position's partial sums of a tile: for each of P pixels and Q
// vectors of channels, a chain of fused multiply-adds from 0 over the input
// channels in order; w is the position's slice of the block's panel. The
// fetching ahead has its own copy of the chain: the others keep theirs as
// lean as before.
template <int P, int Q>
inline __attribute__((always_inline)) void PositionSums(const float* const* __restrict x, const float* __restrict w,
                                                        uint32_t cin, TiledVector (&s)[P][Q], Ahead* ahead = nullptr)
{
    const TiledVector zero = SplatV<TiledVector>(0.0f);
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) s[p][q] = zero;
    if (ahead != nullptr)
        ChannelChain<P, Q, true>(x, w, cin, s, ahead);
    else
        ChannelChain<P, Q, false>(x, w, cin, s, nullptr);
}

// A tile whose running sums stay in registers beside a position's partial
// sums: P pixels x Q vectors, the same arithmetic as TiledTile (per position
// a chain of fused multiply-adds from 0 over the input channels, added to
// running sums that start at 0; then the bias and the clamp) without the
// round trip through memory at every position. Pixel p reads position t at
// src[p] + off[t] (kDirect) or at src[i * srcStep + p]; cin >= 1. With
// `sums` the tile covers a group of positions: its running sums start from
// sums (resume) instead of 0 and, but after the last group, go back to sums
// (pixel p's at sums + p * Q * lanes) instead of the output. Not
// inlined, so that the chain's row pointers keep their registers; and
// allocated as one region: GCC's allocation by loop regions spilled a
// filter vector at every step, with registers to spare, and the reload of
// the spill, misaligned, waited on its store (1.6x the time).
#if defined(__GNUC__) && !defined(__clang__)
#define CORVUS_ONE_REGION __attribute__((optimize("ira-region=one")))
#else
#define CORVUS_ONE_REGION
#endif
template <int P, int Q, bool kDirect, bool kAhead>
__attribute__((noinline)) CORVUS_ONE_REGION void
RegisterTile(const float* const* __restrict src, uint32_t srcStep, const int64_t* __restrict off,
             const uint32_t* __restrict ids, uint32_t n, const float* __restrict w, uint32_t cin,
             float* const* __restrict out, uint32_t co, uint32_t valid, const float* __restrict bias, uint32_t act,
             float alpha, Ahead* ahead, float* __restrict sums = nullptr, bool resume = false, bool last = true)
{
    typedef TiledVector V;
    constexpr int L = (int)kTiledLanes;
    constexpr int B = Q * L;
    const V zero = SplatV<V>(0.0f);
    V acc[P][Q];
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) acc[p][q] = resume ? LoadV<V>(sums + p * B + L * q) : zero;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t t = kDirect ? i : ids[i];
        const float* x[P];
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p) x[p] = kDirect ? src[p] + off[t] : src[(size_t)i * srcStep + p];
        // The chain's first step x * w + 0 as a product: they differ only
        // in the sign of an exact zero, which the rest of the chain can
        // carry to s but the running sum (from +0, so never -0) absorbs.
        const float* wt = w + (size_t)t * cin * B;
        V s[P][Q], wv[Q];
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) wv[q] = LoadV<V>(wt + L * q);
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p) {
            const V xv = SplatV<V>(x[p][0]);
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) s[p][q] = xv * wv[q];
            ++x[p];
        }
        ChannelChain<P, Q, kAhead>(x, wt + B, cin - 1, s, ahead);
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p)
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) acc[p][q] = acc[p][q] + s[p][q];
    }
    if (!last) {
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p)
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) StoreV(sums + p * B + L * q, acc[p][q]);
        return;
    }
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p) {
        if ((uint32_t)p >= valid) break;
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) {
            V y = acc[p][q];
            if (bias != nullptr) y = y + LoadV<V>(bias + L * q);
            StoreV(out[p] + co + L * q, Clamped(y, act, alpha));
        }
    }
}

// Whether wide tiles run as two RegisterTile halves: with 32 registers of
// 16 lanes, half a tile's partial and running sums fit at once.
#if defined(__AVX512F__)
constexpr bool kRegisterHalves = true;
#else
constexpr bool kRegisterHalves = false;
#endif

// One tile: P pixels x Q vectors of channels over its kernel positions (see
// TapInputs); w: the block's panel. Per position the partial sums are a chain
// of fused multiply-adds from 0 in channel order; they are added to the
// running sums (which start at 0) in position order, then the bias, then a
// clamping activation (`act`: None for the others). Skipped positions are
// those where every pixel of the tile reads zeros, whose partial sums would
// add nothing. Only the first `valid` pixels are stored, at out[p] + co.
template <int P, int Q, bool kDirect>
inline void TiledTile(const float* const* __restrict src, const int64_t* __restrict off, const uint32_t* __restrict ids,
                      uint32_t n, const float* __restrict w, uint32_t cin, float* __restrict run,
                      float* const* __restrict out, uint32_t co, uint32_t valid, const float* __restrict bias,
                      uint32_t act, float alpha, Ahead* ahead)
{
    typedef TiledVector V;
    constexpr int L = (int)kTiledLanes;
    constexpr int B = Q * L;
    const V zero = SplatV<V>(0.0f);
    if (n == 0) {
        // No position inside the input for any pixel: the output is 0 + bias.
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p) {
            if ((uint32_t)p >= valid) break;
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) {
                V r = zero;
                if (bias != nullptr) r = r + LoadV<V>(bias + L * q);
                StoreV(out[p] + co + L * q, Clamped(r, act, alpha));
            }
        }
        return;
    }
    if constexpr (kRegisterHalves && Q == 2 && P >= 8) {
        // Two halves (row tiles' other pixels; RunHalves takes the rest,
        // with any fetching ahead). A position that the whole tile takes but
        // a half does not (all its pixels read zeros) adds +0 to running
        // sums that are never -0, so nothing.
        constexpr int P0 = (P + 1) / 2, P1 = P - P0;
        const uint32_t v0 = valid < (uint32_t)P0 ? valid : P0;
        RegisterTile<P0, Q, kDirect, false>(src, P, off, ids, n, w, cin, out, co, v0, bias, act, alpha, nullptr);
        if (valid > (uint32_t)P0)
            RegisterTile<P1, Q, kDirect, false>(src + P0, P, off, ids, n, w, cin, out + P0, co, valid - P0, bias, act,
                                                alpha, nullptr);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t t = kDirect ? i : ids[i];
        const float* x[P];
        TapInputs<P, kDirect>(src, off, i, t, x);
        const float* wt = w + (size_t)t * cin * B;
        V s[P][Q];
        PositionSums<P, Q>(x, wt, cin, s, ahead);
        if (i + 1 < n) {
#pragma GCC unroll 24
            for (int p = 0; p < P; ++p)
#pragma GCC unroll 2
                for (int q = 0; q < Q; ++q) {
                    float* r = run + p * B + L * q;
                    StoreV(r, (i == 0 ? zero : LoadV<V>(r)) + s[p][q]);
                }
        } else {
#pragma GCC unroll 24
            for (int p = 0; p < P; ++p) {
                if ((uint32_t)p >= valid) break;
#pragma GCC unroll 2
                for (int q = 0; q < Q; ++q) {
                    V r = (i == 0 ? zero : LoadV<V>(run + p * B + L * q)) + s[p][q];
                    if (bias != nullptr) r = r + LoadV<V>(bias + L * q);
                    StoreV(out[p] + co + L * q, Clamped(r, act, alpha));
                }
            }
        }
    }
}

// The same tile for one to three input channels (images): a position's
// partial sums are a few multiply-adds, so the running sums stay in
// registers across positions instead of going through memory (tiles of
// kShortPixels pixels, for the registers this takes).
template <int P, int Q, int CIN, bool kDirect>
inline void TiledTileShort(const float* const* __restrict src, const int64_t* __restrict off,
                           const uint32_t* __restrict ids, uint32_t n, const float* __restrict w,
                           float* const* __restrict out, uint32_t co, uint32_t valid, const float* __restrict bias,
                           uint32_t act, float alpha)
{
    typedef TiledVector V;
    constexpr int L = (int)kTiledLanes;
    constexpr int B = Q * L;
    const V zero = SplatV<V>(0.0f);
    V acc[P][Q];
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) acc[p][q] = zero;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t t = kDirect ? i : ids[i];
        const float* x[P];
        TapInputs<P, kDirect>(src, off, i, t, x);
        const float* wt = w + (size_t)t * CIN * B;
        V wv[CIN][Q];
#pragma GCC unroll 3
        for (int ci = 0; ci < CIN; ++ci)
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) wv[ci][q] = LoadV<V>(wt + ci * B + L * q);
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p) {
            // The chain's first step x * w + 0 as a product: they differ
            // only in the sign of an exact zero, which the rest of the chain
            // can carry to s but the running sum (from +0, so never -0)
            // absorbs. One operation of latency less, and no zero register.
            V s[Q];
            const V x0 = SplatV<V>(x[p][0]);
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) s[q] = x0 * wv[0][q];
#pragma GCC unroll 3
            for (int ci = 1; ci < CIN; ++ci) {
                const V xv = SplatV<V>(x[p][ci]);
#pragma GCC unroll 2
                for (int q = 0; q < Q; ++q) s[q] = MulAdd(xv, wv[ci][q], s[q]);
            }
#pragma GCC unroll 2
            for (int q = 0; q < Q; ++q) acc[p][q] = acc[p][q] + s[q];
        }
    }
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p) {
        if ((uint32_t)p >= valid) break;
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) {
            V r = acc[p][q];
            if (bias != nullptr) r = r + LoadV<V>(bias + L * q);
            StoreV(out[p] + co + L * q, Clamped(r, act, alpha));
        }
    }
}

// A tile of P pixels x Q vectors of channels, for the layer's input channels.
template <int P, int Q, bool kDirect>
inline void TileFor(uint32_t cin, const float* const* src, const int64_t* off, const uint32_t* ids, uint32_t n,
                    const float* w, float* run, float* const* out, uint32_t co, uint32_t valid, const float* bias,
                    uint32_t act, float alpha, Ahead* ahead)
{
    switch (cin) {
    case 1:
        TiledTileShort<P, Q, 1, kDirect>(src, off, ids, n, w, out, co, valid, bias, act, alpha);
        break;
    case 2:
        TiledTileShort<P, Q, 2, kDirect>(src, off, ids, n, w, out, co, valid, bias, act, alpha);
        break;
    case 3:
        TiledTileShort<P, Q, 3, kDirect>(src, off, ids, n, w, out, co, valid, bias, act, alpha);
        break;
    default:
        TiledTile<P, Q, kDirect>(src, off, ids, n, w, cin, run, out, co, valid, bias, act, alpha, ahead);
        break;
    }
}

// A chunk of `count` pixels that is not a whole number of wide tiles starts
// with tiles one pixel shorter, as many as leave whole tiles (a 7x7 map: 5
// tiles of 5 and 4 of 6 pixels, not 9 of 6); their number.
inline uint32_t ShorterTiles(uint32_t count)
{
    const uint32_t rest = count % kTiledPixels, shorter = rest == 0 ? 0 : kTiledPixels - rest;
    return count >= shorter * (kTiledPixels - 1) ? shorter : 0;
}

// Pointwise tiles two pixels shorter, the last one partial, for a chunk that
// shorter tiles cannot even out and where they compute fewer slots (a 7x7
// map at 12 pixels a tile: 5 x 10 slots, not 4 x 12 + 12 for the last
// pixel). Tiles with kernel positions outside the input gain nothing: their
// last pixel, a corner, skips most positions.
constexpr uint32_t kBalancedPixels = kTiledPixels - 2;
inline bool BalancedTiles(uint32_t count)
{
    const auto slots = [count](uint32_t p) { return (count + p - 1) / p * p; };
    return ShorterTiles(count) == 0 && slots(kBalancedPixels) < slots(kTiledPixels);
}

// The positions of the tile of P pixels from slot k (`valid` of them) where
// some pixel is inside the input: their ids in pk.tapIds and, per position
// and pixel, where it reads in pk.table (zeros outside); returns their count.
// Slots past the last pixel repeat it (computed, not stored).
template <int P>
uint32_t BorderTable(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t k,
                     uint32_t valid)
{
    const int64_t* rows[P];
    const int64_t* cols[P];
    for (uint32_t p = 0; p < (uint32_t)P; ++p) {
        const uint32_t q = pk.order[first + k + (p < valid ? p : valid - 1)];
        rows[p] = pk.rowIn + (size_t)(q / c.outW) * c.kH;
        cols[p] = pk.colIn + (size_t)(q % c.outW) * c.kW;
    }
    uint32_t n = 0;
    for (uint32_t kh = 0, t = 0; kh < c.kH; ++kh)
        for (uint32_t kw = 0; kw < c.kW; ++kw, ++t) {
            bool any = false;
            for (uint32_t p = 0; p < (uint32_t)P; ++p) {
                const int64_t ih = rows[p][kh], iw = cols[p][kw];
                const bool inside = ih >= 0 && iw >= 0;
                pk.table[(size_t)n * P + p] = inside ? inN + (size_t)ih * c.sInH + (size_t)iw * c.sInW : pk.zeros;
                any = any || inside;
            }
            if (any) pk.tapIds[n++] = t;
        }
    return n;
}

// P pixels from slot k of the chunk: whole-window tiles read through the
// position offsets; the others through a table of the positions where some
// pixel of the tile is inside the input, positions outside reading zeros.
template <int P, int Q>
inline void RunTile(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t k, uint32_t valid,
                    const float* panel, uint32_t co, float* run, const float* bias, uint32_t act, float alpha,
                    Ahead* ahead = nullptr)
{
    float* const* out = pk.outs + k;
    if (first + k + valid <= pk.interior) {
        const float* b[P];
        for (uint32_t p = 0; p < (uint32_t)P; ++p) b[p] = pk.bases[k + (p < valid ? p : valid - 1)];
        TileFor<P, Q, true>(c.cgIn, b, pk.tapOff, nullptr, c.kH * c.kW, panel, run, out, co, valid, bias, act, alpha,
                            ahead);
        return;
    }
    const uint32_t n = BorderTable<P>(c, pk, inN, first, k, valid);
    TileFor<P, Q, false>(c.cgIn, pk.table, nullptr, pk.tapIds, n, panel, run, out, co, valid, bias, act, alpha, ahead);
}

// The wide blocks with AVX-512, run half by half (RegisterTile): halves of 6
// and 5 pixels, so that a chunk of 25 pixels or more computes no slot past
// its last pixel (a 7x7 map: 4 x 6 + 5 x 5, not 4 x 12 + 6). A block larger than
// kGroupFloats, on a chunk of at most kParkedPixels pixels, is read a group
// of positions at a time: every half passes over one group, its running sums
// parked in memory until the next, so the group stays in cache for all the
// halves instead of the whole block passing through it once per half. The
// running sums still add the positions' partial sums in position order.
constexpr size_t kGroupFloats = 32768;
constexpr uint32_t kParkedPixels = 256;

template <int P>
inline void RunHalf(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t k, uint32_t valid,
                    const float* panel, uint32_t co, const float* bias, uint32_t act, float alpha, uint32_t t0,
                    uint32_t t1, float* sums, bool resume, bool last, Ahead* ahead)
{
    const size_t slice = (size_t)c.cgIn * 2 * kTiledLanes;
    float* const* out = pk.outs + k;
    if (first + k + valid <= pk.interior) {
        const float* b[P];
        for (uint32_t p = 0; p < (uint32_t)P; ++p) b[p] = pk.bases[k + (p < valid ? p : valid - 1)];
        if (ahead != nullptr)
            RegisterTile<P, 2, true, true>(b, P, pk.tapOff + t0, nullptr, t1 - t0, panel + t0 * slice, c.cgIn, out, co,
                                           valid, bias, act, alpha, ahead, sums, resume, last);
        else
            RegisterTile<P, 2, true, false>(b, P, pk.tapOff + t0, nullptr, t1 - t0, panel + t0 * slice, c.cgIn, out, co,
                                            valid, bias, act, alpha, nullptr, sums, resume, last);
        return;
    }
    // The table lists the positions in order: this group's are a range.
    const uint32_t n = BorderTable<P>(c, pk, inN, first, k, valid);
    uint32_t i0 = 0, i1;
    while (i0 < n && pk.tapIds[i0] < t0) ++i0;
    for (i1 = i0; i1 < n && pk.tapIds[i1] < t1;) ++i1;
    if (ahead != nullptr)
        RegisterTile<P, 2, false, true>(pk.table + (size_t)i0 * P, P, nullptr, pk.tapIds + i0, i1 - i0, panel, c.cgIn,
                                        out, co, valid, bias, act, alpha, ahead, sums, resume, last);
    else
        RegisterTile<P, 2, false, false>(pk.table + (size_t)i0 * P, P, nullptr, pk.tapIds + i0, i1 - i0, panel, c.cgIn,
                                         out, co, valid, bias, act, alpha, nullptr, sums, resume, last);
}

void RunHalves(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t count,
               const float* panel, uint32_t co, const float* bias, uint32_t act, float alpha)
{
    constexpr uint32_t B = 2 * kTiledLanes;
    const uint32_t taps = c.kH * c.kW;
    const size_t slice = (size_t)c.cgIn * B;
    const float* panelsEnd = pk.panels + (size_t)pk.covered * taps * c.cgIn;
    uint32_t group = taps;
    if (count <= kParkedPixels && slice * taps > kGroupFloats)
        group = (uint32_t)std::max<size_t>(1, kGroupFloats / slice);
    const uint32_t halves = (count + kHalfPixels - 1) / kHalfPixels;
    uint32_t fives = halves * kHalfPixels - count;
    if (fives > halves) fives = 0;
    // A whole map takes the tiles worked out for it (MapTiles).
    const uint64_t pixels = (uint64_t)c.outH * c.outW;
    const bool mapTiles = pk.tiles != nullptr && count == pixels && first % pixels == 0;
    alignas(64) float sums[(kParkedPixels + kHalfPixels) * B];
    for (uint32_t t0 = 0; t0 < taps; t0 += group) {
        const uint32_t t1 = std::min(taps, t0 + group);
        const bool resume = t0 > 0, last = t1 == taps;
        // A filter read once per layer comes from memory: the next group
        // (the next block's first) is fetched while this one computes.
        const float* end = panel + t1 * slice;
        Ahead ahead{(const char*)end, (const char*)(end + std::min<size_t>(group * slice, panelsEnd - end))};
        Ahead* next = pk.chunk >= pixels ? &ahead : nullptr;
        // One half of `size` (3 to 6) pixels from slot k, `valid` of them stored.
        const auto half = [&](uint32_t k, uint32_t size, uint32_t valid) {
            float* park = group < taps ? sums + (size_t)k * B : nullptr;
            const auto run = [&](auto p) {
                RunHalf<decltype(p)::value>(c, pk, inN, first, k, valid, panel, co, bias, act, alpha, t0, t1, park,
                                            resume, last, Pending(next));
            };
            if (size == 6)
                run(std::integral_constant<int, 6>());
            else if (size == 5)
                run(std::integral_constant<int, 5>());
            else if (size == 4)
                run(std::integral_constant<int, 4>());
            else
                run(std::integral_constant<int, 3>());
        };
        if (mapTiles) {
            for (uint32_t i = 0, k = 0; i < pk.numTiles; k += pk.tiles[i++]) half(k, pk.tiles[i], pk.tiles[i]);
            continue;
        }
        for (uint32_t h = 0, k = 0; h < halves; ++h) {
            const uint32_t size = h < halves - fives ? kHalfPixels : kHalfPixels - 1;
            half(k, size, std::min(size, count - k));
            k += size;
        }
    }
}

// The tiles of one to three input channels over the chunk's pixels from
// slot 0 and every block of channels in [coBegin, coEnd) (blocks of Q
// vectors, from `panel`), the clamping activation ACT fixed. A narrow block
// (Q = 1) takes twice the pixels per tile, for the same registers. Tiles of
// whole-window pixels run block after block (a block's panel stays in
// cache); the table of positions of another tile is worked out once for all
// its blocks, since a block takes only a few multiply-adds per position and
// pixel.
template <int CIN, int Q, uint32_t ACT>
void RunShortTiles(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t count,
                   const float* panel, uint32_t coBegin, uint32_t coEnd, float alpha)
{
    constexpr int P = Q == 2 ? kShortPixels : 2 * kShortPixels;
    static_assert(P <= kMaxTilePixels, "the position table holds kMaxTilePixels pointers per position");
    constexpr uint32_t B = Q * kTiledLanes;
    const uint32_t taps = c.kH * c.kW;
    const size_t blockFloats = (size_t)B * taps * CIN;
    // Tiles of whole-window pixels: [0, kEnd); slots past the last pixel
    // repeat it (computed, not stored).
    const uint64_t whole = pk.interior > first ? std::min<uint64_t>(pk.interior - first, count) : 0;
    const uint32_t kEnd = whole == count ? count : (uint32_t)(whole / P * P);
    const float* w = panel;
    for (uint32_t co = coBegin; co < coEnd; co += B, w += blockFloats) {
        const float* bias = c.bias != nullptr ? c.bias + co : nullptr;
        for (uint32_t k = 0; k < kEnd; k += P) {
            const uint32_t valid = kEnd - k < (uint32_t)P ? kEnd - k : P;
            const float* b[P];
            for (uint32_t p = 0; p < (uint32_t)P; ++p) b[p] = pk.bases[k + (p < valid ? p : valid - 1)];
            TiledTileShort<P, Q, CIN, true>(b, pk.tapOff, nullptr, taps, w, pk.outs + k, co, valid, bias, ACT, alpha);
        }
    }
    for (uint32_t k = kEnd; k < count; k += P) {
        const uint32_t valid = count - k < (uint32_t)P ? count - k : P;
        const uint32_t n = BorderTable<P>(c, pk, inN, first, k, valid);
        w = panel;
        for (uint32_t co = coBegin; co < coEnd; co += B, w += blockFloats)
            TiledTileShort<P, Q, CIN, false>(pk.table, nullptr, pk.tapIds, n, w, pk.outs + k, co, valid,
                                             c.bias != nullptr ? c.bias + co : nullptr, ACT, alpha);
    }
}

template <int CIN, int Q>
void RunShortTiles(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t count,
                   const float* panel, uint32_t coBegin, uint32_t coEnd, uint32_t act, float alpha)
{
    WithClamp(act, [&](auto a) {
        RunShortTiles<CIN, Q, decltype(a)::value>(c, pk, inN, first, count, panel, coBegin, coEnd, alpha);
    });
}

// The blocks of one to three input channels from co: every wide block of
// the share at once, or the narrow one. Returns where they end.
template <int CIN>
uint32_t RunShortBlocks(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t count,
                        const float* panel, uint32_t co, uint32_t coEnd, bool wide, uint32_t act, float alpha)
{
    if (!wide) {
        RunShortTiles<CIN, 1>(c, pk, inN, first, count, panel, co, co + kTiledLanes, act, alpha);
        return co + kTiledLanes;
    }
    const uint32_t wideEnd = coEnd - (coEnd - co) % (2 * kTiledLanes);
    RunShortTiles<CIN, 2>(c, pk, inN, first, count, panel, co, wideEnd, act, alpha);
    return wideEnd;
}

// Tiles of a kernel row at a time, for layers with few input channels: a
// position's chains are short there, and adding each position's partial
// sums to running sums in memory costs as much as the chains. Here the
// partial sums of the K positions of one kernel row are computed together
// (K x P chains) and added to the running sums in position order in
// registers, one pass through memory per kernel row. P pixels next to each
// other in an output row, with the column stride equal to the column
// dilation, read K positions from P + K - 1 inputs: pixel p at position kw
// reads what pixel p + 1 reads at kw - 1, so each input is broadcast once.
// Below kRowMaxCin input channels a position's chains are short enough for
// the memory pass per position to show. With AVX-512 the halves (RunHalves)
// keep their running sums in registers and are faster from 16 channels on
// (3x3 over 55x55x16 to 64: 190 -> 196 GFLOP/s). SSE's 16 registers hold
// too few pairs for the K x P sums.
constexpr int kRowTaps = 3;
#if defined(__AVX512F__)
constexpr int kRowPixels = 8;
constexpr uint32_t kRowMaxCin = 16;
#elif defined(__AVX__) || defined(__aarch64__)
constexpr int kRowPixels = 4;
constexpr uint32_t kRowMaxCin = 32;
#else
constexpr int kRowPixels = 2;
constexpr uint32_t kRowMaxCin = 0;
#endif

// Q vectors of channels of P pixels next to each other in an output row
// whose windows' columns are all inside the input, over the kernel rows
// [khLo, khHi) (the rows inside the input; the same for every pixel of an
// output row), the clamping activation ACT fixed. x: pixel 0's input at
// kernel position (khLo, 0), `step` floats from one pixel (and kernel column)
// to the next; off: the offsets of the positions (K a kernel row); w: the
// block's panel, Q vectors a channel.
template <int P, int K, int Q, uint32_t ACT>
__attribute__((noinline)) void RowTile(const float* __restrict x, size_t step, const int64_t* __restrict off,
                                       uint32_t khLo, uint32_t khHi, const float* __restrict w, uint32_t cin,
                                       float* __restrict run, float* const* __restrict out, uint32_t co,
                                       const float* __restrict bias, float alpha)
{
    typedef TiledVector V;
    constexpr int L = (int)kTiledLanes, B = Q * L;
    const V zero = SplatV<V>(0.0f);
    for (int q = 0; q < Q; ++q)
        for (uint32_t kh = khLo; kh < khHi; ++kh) {
            const float* xr = x + (off[(size_t)kh * K] - off[(size_t)khLo * K]);
            const float* wr = w + (size_t)kh * K * cin * B + L * q;
            V s[K][P] = {};  // +0
                             // Four channels a trip: a kernel row's chains are short, and each
                             // exit from this loop costs.
#pragma GCC unroll 4
            for (uint32_t ci = 0; ci < cin; ++ci) {
                V wv[K];
#pragma GCC unroll 3
                for (int k = 0; k < K; ++k) wv[k] = LoadV<V>(wr + ((size_t)k * cin + ci) * B);
#pragma GCC unroll 10
                for (int j = 0; j < P + K - 1; ++j) {
                    const V xv = SplatV<V>(xr[(size_t)j * step + ci]);
#pragma GCC unroll 3
                    for (int k = 0; k < K; ++k)
                        if (j - k >= 0 && j - k < P) s[k][j - k] = MulAdd(xv, wv[k], s[k][j - k]);
                }
            }
            if (kh + 1 < khHi) {
#pragma GCC unroll 8
                for (int p = 0; p < P; ++p) {
                    V r = kh == khLo ? zero : LoadV<V>(run + p * L);
#pragma GCC unroll 3
                    for (int k = 0; k < K; ++k) r = r + s[k][p];
                    StoreV(run + p * L, r);
                }
                continue;
            }
            const V bv = bias != nullptr ? LoadV<V>(bias + L * q) : zero;
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p) {
                V r = kh == khLo ? zero : LoadV<V>(run + p * L);
#pragma GCC unroll 3
                for (int k = 0; k < K; ++k) r = r + s[k][p];
                if (bias != nullptr) r = r + bv;
                StoreV(out[p] + co + L * q, Clamped(r, ACT, alpha));
            }
        }
}

bool RowTiles(const ConvPlan& c) { return c.kW == kRowTaps && c.sW == c.dW && c.cgIn > 3 && c.cgIn < kRowMaxCin; }

// Row tiles of P = 1 .. kRowPixels pixels.
template <int Q, uint32_t ACT, int P = kRowPixels>
inline void RowTilesOf(uint32_t pixels, const float* x, size_t step, const int64_t* off, uint32_t khLo, uint32_t khHi,
                       const float* panel, uint32_t cin, float* run, float* const* out, uint32_t co, const float* bias,
                       float alpha)
{
    if constexpr (P > 1) {
        if (pixels < (uint32_t)P) {
            RowTilesOf<Q, ACT, P - 1>(pixels, x, step, off, khLo, khHi, panel, cin, run, out, co, bias, alpha);
            return;
        }
    }
    RowTile<P, kRowTaps, Q, ACT>(x, step, off, khLo, khHi, panel, cin, run, out, co, bias, alpha);
}

// A pixel's run of row-tile neighbours: how many pixels from slot k on are
// next to each other in one output row with their windows' columns inside
// the input and the same kernel rows inside it (at least one), and where the
// first reads; 0 when pixel k is not such a pixel. Whole-window pixels come
// first in raster order; the others are sorted by the window they see, so a
// border row's pixels follow each other in the same way.
uint32_t RowRun(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t k, uint32_t count,
                const float** x, uint32_t* khLo, uint32_t* khHi)
{
    const size_t step = c.xPix;
    if (first + k < pk.interior) {
        const uint64_t left = std::min<uint64_t>(pk.interior - first - k, count - k);
        uint32_t m = 1;
        while (m < left && pk.bases[k + m] == pk.bases[k] + m * step) ++m;
        *x = pk.bases[k], *khLo = 0, *khHi = c.kH;
        return m;
    }
    const auto columnsInside = [&](uint32_t ow) {
        for (uint32_t kw = 0; kw < c.kW; ++kw)
            if (pk.colIn[(size_t)ow * c.kW + kw] < 0) return false;
        return true;
    };
    const uint32_t q = pk.order[first + k], oh = q / c.outW, ow = q % c.outW;
    const int64_t* rows = pk.rowIn + (size_t)oh * c.kH;
    uint32_t lo = 0;
    while (lo < c.kH && rows[lo] < 0) ++lo;
    uint32_t hi = lo;
    while (hi < c.kH && rows[hi] >= 0) ++hi;
    if (hi == lo || !columnsInside(ow)) return 0;
    uint32_t m = 1;
    while (k + m < count && ow + m < c.outW && pk.order[first + k + m] == q + m && columnsInside(ow + m)) ++m;
    *x = inN + (size_t)rows[lo] * c.sInH + (size_t)pk.colIn[(size_t)ow * c.kW] * c.sInW;
    *khLo = lo, *khHi = hi;
    return m;
}

// The chunk's pixels over one block of channels (Q vectors) in row tiles:
// each run of neighbours (see RowRun) in tiles of kRowPixels, a run's last
// 2 kRowPixels pixels or less in two tiles of nearly equal size. Other
// pixels take the tiles of RunTile, up to the next run.
template <int Q, uint32_t ACT>
void RunRowTiles(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t count,
                 const float* panel, uint32_t co, float* run, const float* bias, float alpha)
{
    constexpr uint32_t P = kRowPixels;
    const float* x = nullptr;
    uint32_t khLo = 0, khHi = 0;
    for (uint32_t k = 0; k < count;) {
        uint32_t m = RowRun(c, pk, inN, first, k, count, &x, &khLo, &khHi);
        if (m == 0) {
            const float* y = nullptr;
            uint32_t lo = 0, hi = 0;
            m = 1;
            while (m < P && k + m < count && RowRun(c, pk, inN, first, k + m, k + m + 1, &y, &lo, &hi) == 0) ++m;
            RunTile<P, Q>(c, pk, inN, first, k, m, panel, co, run, bias, ACT, alpha);
            k += m;
            continue;
        }
        for (uint32_t left = m; left > 0;) {
            const uint32_t t = left >= 2 * P ? P : left > P ? (left + 1) / 2 : left;
            RowTilesOf<Q, ACT>(t, x, c.xPix, pk.tapOff, khLo, khHi, panel, c.cgIn, run, pk.outs + k, co, bias, alpha);
            x += t * c.xPix, k += t, left -= t;
        }
    }
}

template <int Q>
void RunRowTiles(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t count,
                 const float* panel, uint32_t co, float* run, const float* bias, uint32_t act, float alpha)
{
    WithClamp(act, [&](auto a) {
        RunRowTiles<Q, decltype(a)::value>(c, pk, inN, first, count, panel, co, run, bias, alpha);
    });
}

// One pixel x NB blocks of two vectors (a chunk of one pixel: 1x1 maps, as in
// squeeze-and-excitation blocks): a pixel has no reuse of a filter value, so
// the tile spans several blocks (2 NB independent sums) instead. The blocks'
// panels lie `blockFloats` apart; the channels are contiguous from co. Per
// position the same chains as TiledTile, added to running sums in `run`.
template <int NB, bool kDirect>
inline void PixelTile(const float* const* __restrict src, const int64_t* __restrict off, const uint32_t* __restrict ids,
                      uint32_t n, const float* __restrict w, size_t blockFloats, uint32_t cin, float* __restrict run,
                      float* __restrict out, const float* __restrict bias, uint32_t act, float alpha)
{
    typedef TiledVector V;
    constexpr int L = (int)kTiledLanes;
    constexpr int B = 2 * L;
    const V zero = SplatV<V>(0.0f);
    V s[NB][2];
#pragma GCC unroll 4
    for (int b = 0; b < NB; ++b) s[b][0] = s[b][1] = zero;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t t = kDirect ? i : ids[i];
        const float* x = kDirect ? src[0] + off[t] : src[i];
        const float* wt = w + (size_t)t * cin * B;
#pragma GCC unroll 4
        for (int b = 0; b < NB; ++b) s[b][0] = s[b][1] = zero;
        for (uint32_t ci = 0; ci < cin; ++ci) {
            const V xv = SplatV<V>(x[ci]);
#pragma GCC unroll 4
            for (int b = 0; b < NB; ++b) {
                const float* wb = wt + b * blockFloats + (size_t)ci * B;
                s[b][0] = MulAdd(xv, LoadV<V>(wb), s[b][0]);
                s[b][1] = MulAdd(xv, LoadV<V>(wb + L), s[b][1]);
            }
        }
        if (i + 1 < n) {
#pragma GCC unroll 4
            for (int b = 0; b < NB; ++b)
#pragma GCC unroll 2
                for (int q = 0; q < 2; ++q) {
                    float* r = run + b * B + L * q;
                    StoreV(r, (i == 0 ? zero : LoadV<V>(r)) + s[b][q]);
                }
        } else if (i > 0) {
#pragma GCC unroll 4
            for (int b = 0; b < NB; ++b)
#pragma GCC unroll 2
                for (int q = 0; q < 2; ++q) s[b][q] = LoadV<V>(run + b * B + L * q) + s[b][q];
        } else {
#pragma GCC unroll 4
            for (int b = 0; b < NB; ++b)
#pragma GCC unroll 2
                for (int q = 0; q < 2; ++q) s[b][q] = zero + s[b][q];
        }
    }
    // s: the running sums (0 without any position inside the input).
#pragma GCC unroll 4
    for (int b = 0; b < NB; ++b)
#pragma GCC unroll 2
        for (int q = 0; q < 2; ++q) {
            V r = s[b][q];
            if (bias != nullptr) r = r + LoadV<V>(bias + b * B + L * q);
            StoreV(out + b * B + L * q, Clamped(r, act, alpha));
        }
}

// The single pixel of slot k over NB wide blocks from co: a whole-window
// pixel reads through the position offsets, another only its positions
// inside the input.
template <int NB>
inline void RunPixel(const ConvPlan& c, const ConvPack& pk, const float* inN, uint64_t first, uint32_t k,
                     const float* panel, uint32_t co, float* run, const float* bias, uint32_t act, float alpha)
{
    const size_t blockFloats = (size_t)2 * kTiledLanes * c.kH * c.kW * c.cgIn;
    float* out = pk.outs[k] + co;
    if (first + k + 1 <= pk.interior) {
        PixelTile<NB, true>(pk.bases + k, pk.tapOff, nullptr, c.kH * c.kW, panel, blockFloats, c.cgIn, run, out, bias,
                            act, alpha);
        return;
    }
    const uint32_t q = pk.order[first + k];
    const int64_t* rows = pk.rowIn + (size_t)(q / c.outW) * c.kH;
    const int64_t* cols = pk.colIn + (size_t)(q % c.outW) * c.kW;
    uint32_t n = 0;
    for (uint32_t kh = 0, t = 0; kh < c.kH; ++kh)
        for (uint32_t kw = 0; kw < c.kW; ++kw, ++t)
            if (rows[kh] >= 0 && cols[kw] >= 0) {
                pk.table[n] = inN + (size_t)rows[kh] * c.sInH + (size_t)cols[kw] * c.sInW;
                pk.tapIds[n++] = t;
            }
    PixelTile<NB, false>(pk.table, nullptr, pk.tapIds, n, panel, blockFloats, c.cgIn, run, out, bias, act, alpha);
}

// ---- 1x1 windows inside the input: a plain product over pixels --------
//
// A layer whose every window is one position inside the input (1x1, no
// pads) has one partial sum per output element: the tiles of TiledTile with
// a single position and the activation fixed, over pixels whose rows and
// columns are stepped, not divided, so that the few multiply-adds per
// element of a layer with 4-32 input channels do not pay for a division per
// pixel, a dispatch and a switch per stored vector. Not inlined: inside the
// chunk loop the tile's pointers would not all stay in registers.
template <int P, int Q, uint32_t ACT>
__attribute__((noinline)) void PointTile(const float* const* __restrict xs, const float* __restrict w, uint32_t cin,
                                         float* const* __restrict out, uint32_t co, uint32_t valid,
                                         const float* __restrict bias, float alpha, Ahead* ahead)
{
    typedef TiledVector V;
    constexpr int L = (int)kTiledLanes;
    const V zero = SplatV<V>(0.0f);
    const float* x[P];
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p) x[p] = xs[(uint32_t)p < valid ? p : valid - 1];
    V s[P][Q];
    PositionSums<P, Q>(x, w, cin, s, ahead);
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p) {
        if ((uint32_t)p >= valid) break;
#pragma GCC unroll 2
        for (int q = 0; q < Q; ++q) {
            V r = zero + s[p][q];
            if (bias != nullptr) r = r + LoadV<V>(bias + L * q);
            StoreV(out[p] + co + L * q, Clamped(r, ACT, alpha));
        }
    }
}

// Channels of a Pointwise layer past the packed blocks that PointTailTile
// computes: whole runs of eight where the blocks are of sixteen lanes (an
// output of 24, 40 or 72 channels leaves eight), none otherwise.
uint32_t PointTailChannels(const ConvPlan& c, const ConvPack& pk);

// Pixels of a Pointwise layer's narrow tiles (one vector of channels). With
// AVX-512, 12 rather than 24: every multiply-add of a narrow tile loads its
// own input, and 24 row pointers do not fit the general registers, so the
// tile reloaded about half of them at every input channel.
#if defined(__AVX512F__)
constexpr int kNarrowPointPixels = 12;
#else
constexpr int kNarrowPointPixels = kNarrowPixels;
#endif

#if defined(__AVX512F__)
// Eight channels of a Pointwise layer past the packed blocks, straight from
// the filter, whose rows hold them side by side: PointTile's sums (0 plus a
// chain of fused multiply-adds from 0 over the input channels in order,
// then the bias and the clamp) on half-width vectors, instead of the
// untiled loops.
template <int P, uint32_t ACT>
__attribute__((noinline)) void PointTailTile(const float* const* __restrict xs, const float* __restrict w, size_t fI,
                                             uint32_t cin, float* const* __restrict out, uint32_t co, uint32_t valid,
                                             const float* __restrict bias, float alpha)
{
    typedef f32x8 V;
    const V zero = SplatV<V>(0.0f);
    const float* x[P];
    V s[P];
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p) {
        x[p] = xs[(uint32_t)p < valid ? p : valid - 1];
        s[p] = zero;
    }
    for (uint32_t ci = 0; ci < cin; ++ci) {
        const V wv = LoadV<V>(w + (size_t)ci * fI);
#pragma GCC unroll 24
        for (int p = 0; p < P; ++p) s[p] = MulAdd(SplatV<V>(x[p][ci]), wv, s[p]);
    }
#pragma GCC unroll 24
    for (int p = 0; p < P; ++p) {
        if ((uint32_t)p >= valid) break;
        V r = zero + s[p];
        if (bias != nullptr) r = r + LoadV<V>(bias);
        StoreV(out[p] + co, Clamped(r, ACT, alpha));
    }
}
#endif

// Calls body(inN, outN, c0, count) for the chunks of each image's pixels
// [c0, c0 + count) within the share's [pixBegin, pixEnd) (counted over all
// batch items).
template <typename Body>
inline void ForEachChunk(const ConvPlan& c, const ConvPack& pk, uint64_t pixBegin, uint64_t pixEnd, Body&& body)
{
    const uint64_t pixels = (uint64_t)c.outH * c.outW;
    for (uint32_t n = (uint32_t)(pixBegin / pixels); n < c.batch && (uint64_t)n * pixels < pixEnd; ++n) {
        const float* inN = c.in + (size_t)n * c.sInN;
        float* outN = c.out + (size_t)n * c.sOutN;
        const uint64_t first = (uint64_t)n * pixels;
        const uint64_t p0 = pixBegin > first ? pixBegin - first : 0;
        const uint64_t p1 = pixEnd - first < pixels ? pixEnd - first : pixels;
        for (uint64_t c0 = p0; c0 < p1; c0 += pk.chunk)
            body(inN, outN, c0, (uint32_t)(p1 - c0 < pk.chunk ? p1 - c0 : pk.chunk));
    }
}

bool Pointwise(const ConvPlan& c, const ConvPack& pk)
{
    const uint64_t pixels = (uint64_t)c.outH * c.outW;
    return c.kH == 1 && c.kW == 1 && c.cgIn > 3 && pk.interior == pixels && pixels >= 2 * (uint64_t)kTiledPixels;
}

uint32_t PointTailChannels(const ConvPlan& c, const ConvPack& pk)
{
    if (kTiledLanes <= 8 || !Pointwise(c, pk)) return 0;
    return (c.cout - pk.covered) / 8 * 8;
}

// RunTiled for a Pointwise layer. Every pixel sees its window, so `order`
// is the raster order: the chunk's pixels step their row and column. The
// share that ends at the last block also computes PointTailChannels.
// The row pointers of a chunk's pixels, out of line: inside the chunk loops
// their variables were spilled to the stack (2.3% of SqueezeNet 1.1's time
// there, 1.6% here, sampled). ChunkRows: the pixels in `order`; the interior
// ones come in raster order, so a pixel after its left neighbour steps the
// column instead of dividing. PointRows: the raster order of a Pointwise
// layer, a row at a time.
__attribute__((noinline)) void ChunkRows(const ConvPlan& c, const ConvPack& pk, const float* inN, float* outN,
                                         uint64_t c0, uint32_t count)
{
    // Locals: the stores through outs and bases could otherwise alias the
    // records' fields, which would be read again for every pixel.
    const uint32_t* const order = pk.order + c0;
    const int64_t *const rowIn = pk.rowIn, *const colIn = pk.colIn;
    const float** const bases = pk.bases;
    float** const outs = pk.outs;
    const uint64_t interior = pk.interior > c0 ? pk.interior - c0 : 0;
    const uint32_t outW = c.outW, kH = c.kH, kW = c.kW;
    const size_t sOutH = c.sOutH, sOutW = c.sOutW, sInH = c.sInH, sInW = c.sInW;
    uint32_t oh = 0, ow = 0, prev = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t q = order[k];
        if (k > 0 && q == prev + 1 && ow + 1 < outW)
            ++ow;
        else
            oh = q / outW, ow = q % outW;
        prev = q;
        outs[k] = outN + (size_t)oh * sOutH + (size_t)ow * sOutW;
        if (k < interior)
            bases[k] = inN + (size_t)rowIn[(size_t)oh * kH] * sInH + (size_t)colIn[(size_t)ow * kW] * sInW;
    }
}

__attribute__((noinline)) void PointRows(const ConvPlan& c, const ConvPack& pk, const float* inN, float* outN,
                                         uint64_t c0, uint32_t count)
{
    const int64_t *const rowIn = pk.rowIn, *const colIn = pk.colIn;
    const float** const bases = pk.bases;
    float** const outs = pk.outs;
    const uint32_t outW = c.outW;
    const size_t sOutH = c.sOutH, sOutW = c.sOutW, sInH = c.sInH, sInW = c.sInW;
    uint32_t oh = (uint32_t)(c0 / outW), ow = (uint32_t)(c0 % outW);
    for (uint32_t k = 0; k < count; ++oh, ow = 0) {
        const float* in = inN + (size_t)rowIn[oh] * sInH;
        float* out = outN + (size_t)oh * sOutH;
        const uint32_t end = std::min<uint32_t>(outW, ow + (count - k));
        for (; ow < end; ++ow, ++k) {
            outs[k] = out + (size_t)ow * sOutW;
            bases[k] = in + (size_t)colIn[ow] * sInW;
        }
    }
}

template <uint32_t ACT>
void RunPointwise(const ConvPlan& c, const ConvPack& pk, float alpha, uint64_t pixBegin, uint64_t pixEnd,
                  uint32_t coBegin, uint32_t coEnd)
{
    ForEachChunk(c, pk, pixBegin, pixEnd, [&](const float* inN, float* outN, uint64_t c0, uint32_t count) {
        PointRows(c, pk, inN, outN, c0, count);
        const float* panel = pk.panels + (size_t)coBegin * c.cgIn;
        for (uint32_t co = coBegin; co < coEnd;) {
            const bool wide = pk.covered - co >= 2 * kTiledLanes;
            const float* bias = c.bias != nullptr ? c.bias + co : nullptr;
            const uint32_t width = wide ? 2 * kTiledLanes : kTiledLanes;
            // A filter read once per layer comes from memory: the next
            // block's panel is fetched while this one computes.
            Ahead ahead = NextPanel(panel, co, width, coEnd, c.cgIn);
            Ahead* next = pk.chunk >= (uint64_t)c.outH * c.outW ? &ahead : nullptr;
            uint32_t k = 0;
            if (wide && BalancedTiles(count)) {
                for (; k < count; k += kBalancedPixels)
                    PointTile<kBalancedPixels, 2, ACT>(pk.bases + k, panel, c.cgIn, pk.outs + k, co,
                                                       std::min<uint32_t>(count - k, kBalancedPixels), bias, alpha,
                                                       Pending(next));
            } else if (wide) {
                // As in RunTiled: tiles one pixel shorter even out the chunk.
                constexpr uint32_t kShorter = kTiledPixels - 1;
                for (uint32_t t = 0, shorter = ShorterTiles(count); t < shorter; ++t, k += kShorter)
                    PointTile<kShorter, 2, ACT>(pk.bases + k, panel, c.cgIn, pk.outs + k, co, kShorter, bias, alpha,
                                                Pending(next));
                for (; k < count; k += kTiledPixels)
                    PointTile<kTiledPixels, 2, ACT>(pk.bases + k, panel, c.cgIn, pk.outs + k, co,
                                                    std::min<uint32_t>(count - k, kTiledPixels), bias, alpha,
                                                    Pending(next));
            } else {
                for (; k < count; k += kNarrowPointPixels)
                    PointTile<kNarrowPointPixels, 1, ACT>(pk.bases + k, panel, c.cgIn, pk.outs + k, co,
                                                          std::min<uint32_t>(count - k, kNarrowPointPixels), bias,
                                                          alpha, Pending(next));
            }
            panel += (size_t)width * c.cgIn;
            co += width;
        }
#if defined(__AVX512F__)
        // Past blocks of sixteen lanes, fewer than sixteen channels remain: eight at most here.
        if (coEnd == pk.covered && PointTailChannels(c, pk) != 0) {
            const uint32_t co = pk.covered;
            const float* tailBias = c.bias != nullptr ? c.bias + co : nullptr;
            for (uint32_t k = 0; k < count; k += kNarrowPointPixels)
                PointTailTile<kNarrowPointPixels, ACT>(pk.bases + k, c.filter + co, c.fI, c.cgIn, pk.outs + k, co,
                                                       std::min<uint32_t>(count - k, kNarrowPointPixels), tailBias,
                                                       alpha);
        }
#endif
    });
}

// Every output pixel over its kernel positions, tiled. Positions outside the
// input read zeros where a tile mixes pixels that see them with pixels that
// do not. With a finite filter that is exact: such a position's partial sums
// are chains of 0 * w + s from +0, which stay +0, and adding +0 leaves the
// running sum unchanged (a sum from +0 in round-to-nearest is never -0).
// Channels past the packed blocks are left to the caller.
//
// A share of the layer computes the pixels [pixBegin, pixEnd) (counted over
// all batch items, in `order`) of the channels [coBegin, coEnd) (on block
// boundaries): the same tiles' arithmetic for every pixel, however the
// pixels are grouped into tiles.
void RunTiled(const ConvPlan& c, const ConvPack& pk, uint32_t act, float alpha, uint64_t pixBegin, uint64_t pixEnd,
              uint32_t coBegin, uint32_t coEnd)
{
    if (Pointwise(c, pk)) {
        WithClamp(act,
                  [&](auto a) { RunPointwise<decltype(a)::value>(c, pk, alpha, pixBegin, pixEnd, coBegin, coEnd); });
        return;
    }
    alignas(64) float run[kMaxTilePixels * 2 * kTiledLanes] = {};
    ForEachChunk(c, pk, pixBegin, pixEnd, [&](const float* inN, float* outN, uint64_t c0, uint32_t count) {
        ChunkRows(c, pk, inN, outN, c0, count);
        const float* panel = pk.panels + (size_t)coBegin * c.kH * c.kW * c.cgIn;
        for (uint32_t co = coBegin; co < coEnd;) {
            const bool wide = pk.covered - co >= 2 * kTiledLanes;
            const float* bias = c.bias != nullptr ? c.bias + co : nullptr;
            if (count == 1 && wide) {
                const uint32_t blocks = std::min<uint32_t>(4, (coEnd - co) / (2 * kTiledLanes));
                if (blocks == 4)
                    RunPixel<4>(c, pk, inN, c0, 0, panel, co, run, bias, act, alpha);
                else if (blocks == 3)
                    RunPixel<3>(c, pk, inN, c0, 0, panel, co, run, bias, act, alpha);
                else if (blocks == 2)
                    RunPixel<2>(c, pk, inN, c0, 0, panel, co, run, bias, act, alpha);
                else
                    RunPixel<1>(c, pk, inN, c0, 0, panel, co, run, bias, act, alpha);
                panel += (size_t)blocks * 2 * kTiledLanes * c.kH * c.kW * c.cgIn;
                co += blocks * 2 * kTiledLanes;
                continue;
            }
            if (c.cgIn <= 3) {
                const uint32_t end =
                    c.cgIn == 1   ? RunShortBlocks<1>(c, pk, inN, c0, count, panel, co, coEnd, wide, act, alpha)
                    : c.cgIn == 2 ? RunShortBlocks<2>(c, pk, inN, c0, count, panel, co, coEnd, wide, act, alpha)
                                  : RunShortBlocks<3>(c, pk, inN, c0, count, panel, co, coEnd, wide, act, alpha);
                panel += (size_t)(end - co) * c.kH * c.kW * c.cgIn;
                co = end;
                continue;
            }
            if (RowTiles(c)) {
                if (wide)
                    RunRowTiles<2>(c, pk, inN, c0, count, panel, co, run, bias, act, alpha);
                else
                    RunRowTiles<1>(c, pk, inN, c0, count, panel, co, run, bias, act, alpha);
                const uint32_t width = wide ? 2 * kTiledLanes : kTiledLanes;
                panel += (size_t)width * c.kH * c.kW * c.cgIn;
                co += width;
                continue;
            }
            if (kRegisterHalves && wide) {
                RunHalves(c, pk, inN, c0, count, panel, co, bias, act, alpha);
                panel += (size_t)2 * kTiledLanes * c.kH * c.kW * c.cgIn;
                co += 2 * kTiledLanes;
                continue;
            }
            const uint32_t P = wide ? kTiledPixels : kNarrowPixels;
            const uint32_t width = wide ? 2 * kTiledLanes : kTiledLanes;
            // A filter read once per layer comes from memory: the next
            // block's panel is fetched while this one computes.
            Ahead ahead = NextPanel(panel, co, width, coEnd, (size_t)c.kH * c.kW * c.cgIn);
            Ahead* next = pk.chunk >= (uint64_t)c.outH * c.outW ? &ahead : nullptr;
            uint32_t k = 0;
            if (wide) {
                constexpr uint32_t kShorter = kTiledPixels - 1;
                for (uint32_t t = 0, shorter = ShorterTiles(count); t < shorter; ++t, k += kShorter)
                    RunTile<kShorter, 2>(c, pk, inN, c0, k, kShorter, panel, co, run, bias, act, alpha, Pending(next));
            }
            for (; k < count; k += P) {
                const uint32_t valid = count - k < P ? count - k : P;
                if (wide)
                    RunTile<kTiledPixels, 2>(c, pk, inN, c0, k, valid, panel, co, run, bias, act, alpha, Pending(next));
                else
                    RunTile<kNarrowPixels, 1>(c, pk, inN, c0, k, valid, panel, co, run, bias, act, alpha,
                                              Pending(next));
            }
            panel += (size_t)width * c.kH * c.kW * c.cgIn;
            co += width;
        }
    });
}

// The pack was made for this layer as it is now: the same filter data,
// shape, geometry and vector width.
bool PackFits(const ConvPack* pk, const ConvPlan& c)
{
    return pk != nullptr && pk->source == c.filter && pk->lanes == kTiledLanes && pk->kH == c.kH && pk->kW == c.kW &&
           pk->cin == c.cgIn && pk->cout == c.cout && pk->inH == c.inH && pk->inW == c.inW && pk->outH == c.outH &&
           pk->outW == c.outW && pk->sH == c.sH && pk->sW == c.sW && pk->dH == c.dH && pk->dW == c.dW &&
           pk->padTop == c.padTop && pk->padLeft == c.padLeft && pk->sInH == c.sInH && pk->sInW == c.sInW &&
           TiledEligible(c);
}

void CheckFloat32(const Tensor* t, const char* what)
{
    if (t->dtype != DT_FLOAT32)
        CV_FATAL("Conv2D_fl32_ref: %s must be float32, got %s", what, DataTypeToStr((DataType)t->dtype));
}

}  // namespace

namespace {

// A checked layer: its plan and where its window meets the input.
struct PlannedConv {
    ConvPlan c;
    std::vector<Taps> rowTaps, colTaps;
};

// Checks the tensors and plans the layer; false when the output is empty.
// Without needData (at initialisation) the tensors' data are not required:
// the input of a model's first layer is only bound at prediction.
// With filterHeld the filter's data may be missing: its pack holds it.
bool PlanConv(const Tensor* input, const Tensor* filter, const Tensor* bias, const Tensor* output,
              const Conv2DParams* params, bool needData, PlannedConv* planned, bool filterHeld = false)
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

    ConvPlan& c = planned->c;
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
    c.inH = H;
    c.inW = W;
    c.padTop = params->padTop;
    c.padLeft = params->padLeft;

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

    if (GetTensorSize(output) == 0) return false;
    const bool readsInput = c.groups > 0 && c.cgIn > 0 && c.cgOut > 0 && c.kH > 0 && c.kW > 0 && H > 0 && W > 0;
    if (needData) {
        CV_CHECK_PTR(output->data);
        if (readsInput) {
            CV_CHECK_PTR(input->data);
            if (!filterHeld) CV_CHECK_PTR(filter->data);
        }
        if (useBias) CV_CHECK_PTR(bias->data);
    }

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

    if (!readsInput) c.groups = 0;
    return true;
}

// Where the windows meet the input, for the untiled paths.
void PlanTaps(PlannedConv* planned)
{
    ConvPlan& c = planned->c;
    std::vector<Taps>& rowTaps = planned->rowTaps;
    std::vector<Taps>& colTaps = planned->colTaps;
    if (c.groups > 0) {
        rowTaps = AxisTaps(c.outH, c.sH, c.padTop, c.dH, c.kH, c.inH);
        colTaps = AxisTaps(c.outW, c.sW, c.padLeft, c.dW, c.kW, c.inW);
    } else {
        rowTaps.assign(c.outH, Taps{0, 0, 0});
        colTaps.assign(c.outW, Taps{0, 0, 0});
    }
    const auto anyEmpty = [](const std::vector<Taps>& taps) {
        for (const Taps& t : taps)
            if (t.lo >= t.hi) return true;
        return false;
    };
    c.fused = c.groups > 0 && !anyEmpty(rowTaps) && !anyEmpty(colTaps);
}

// Whether the layer's filter data was released because `pk` holds it.
bool FilterHeld(const ConvPack* pk, const Tensor* filter)
{
    return pk != nullptr && pk->holdsFilter && filter != nullptr && filter->data == nullptr;
}

// The last few channels of a tiled layer, past the packed blocks, untiled.
void RunUntiledTail(PlannedConv* pl, uint32_t covered, uint32_t clamp, float alpha)
{
    const ConvPlan& c = pl->c;
    PlanTaps(pl);
    ConvPlan rest = c;
    rest.cout = rest.cgOut = c.cout - covered;
    rest.filter = c.filter + covered;
    rest.out = c.out + covered;
    rest.bias = c.bias != nullptr ? c.bias + covered : nullptr;
    RunConv(rest, pl->rowTaps, pl->colTaps, FullRuns(pl->colTaps, c.kW));
    for (uint32_t n = 0; clamp != None && n < c.batch; ++n)
        for (uint32_t oh = 0; oh < c.outH; ++oh)
            for (uint32_t ow = 0; ow < c.outW; ++ow) {
                float* o = rest.out + (size_t)n * c.sOutN + (size_t)oh * c.sOutH + (size_t)ow * c.sOutW;
                for (uint32_t k = 0; k < rest.cout; ++k) o[k] = Clamped(o[k], clamp, alpha);
            }
}

// The layer, register-tiled over `pack` when it fits the layer, else over a
// pack made for this call, else untiled. False, with nothing computed, when
// the pack holds the filter but no longer fits the layer: the filter must
// be restored first.
bool RunConv2D(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
               const Conv2DParams* params, const ConvPack* pack)
{
    const bool held = FilterHeld(pack, filter);
    PlannedConv pl;
    if (!PlanConv(input, filter, bias, output, params, true, &pl, held)) return true;
    ConvPlan& c = pl.c;
    if (held && !PackFits(pack, c)) return false;
    const ActivationParams& act = params->activation;
    const uint32_t clamp = StoreActivation(act.type) ? act.type : (uint32_t)None;
    ConvPack* own = nullptr;
    const ConvPack* pk = PackFits(pack, c) ? pack : TiledEligible(c) ? (own = PackFilter(c)) : nullptr;
    if (pk != nullptr) {
        RunTiled(c, *pk, clamp, act.alpha, 0, (uint64_t)c.batch * c.outH * c.outW, 0, pk->covered);
        const uint32_t covered = pk->covered + PointTailChannels(c, *pk);
        corvus_conv::FreeConvPack(own);
        if (covered < c.cout) RunUntiledTail(&pl, covered, clamp, act.alpha);
        if (clamp != None) return true;
    } else {
        PlanTaps(&pl);
        if (PackedBlocks(c))
            RunConvPacked(c, pl.rowTaps, pl.colTaps, FullRuns(pl.colTaps, c.kW));
        else
            RunConv(c, pl.rowTaps, pl.colTaps, FullRuns(pl.colTaps, c.kW));
    }
    Activation_fl32_ref(output, output, &params->activation);
    return true;
}

}  // namespace

void Conv2D_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                     const Conv2DParams* params)
{
    RunConv2D(input, filter, bias, output, params, nullptr);
}

void Conv2D_fl16_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                     const Conv2DParams* params)
{
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(params);
    if (filter == nullptr) CV_FATAL("Filters input is NULL");
    const bool useBias = (params->useBias & 1) != 0 && bias != nullptr;
    const corvus::Float32Operand in32(input, true), filter32(filter, true), out32(output, false);
    const corvus::Float32Operand bias32(useBias ? bias : nullptr, true);
    CORVUS_LEVEL_NS::Conv2D_fl32_ref(in32.get(), filter32.get(), bias32.get(), out32.get(), params);
    out32.Store(output);
}

void Execute_Conv2D_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->inputsNum < 1 || kernel->innerNum < 1) CV_FATAL("Conv2D: the kernel needs an input and a filter");
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    const Tensor* filter = kernel->inner[0];
    const Tensor* bias = kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    const Conv2DParams* params = (const Conv2DParams*)kernel->params;
    CV_CHECK_PTR(input);
    if (input->dtype == DT_FLOAT16)
        CORVUS_LEVEL_NS::Conv2D_fl16_ref(input, filter, bias, output, params);
    else if (input->dtype == DT_FLOAT32) {
        if (!RunConv2D(input, filter, bias, output, params, (const ConvPack*)kernel->extra_resources)) {
            corvus_conv::RestorePackedFilter(kernel);
            RunConv2D(input, filter, bias, output, params, (const ConvPack*)kernel->extra_resources);
        }
    } else
        CV_FATAL("support only F16 or F32");
}

// Packs a float32 layer's filter for the register-tiled path, once (again
// after new weights are loaded). A layer that does not run tiled, or whose
// tensors are not ready, gets no pack; its execution reports any fault.
void Init_Conv2D_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    corvus_conv::RestorePackedFilter(kernel);
    corvus_conv::FreeConvPack((ConvPack*)kernel->extra_resources);
    kernel->extra_resources = nullptr;
    if (kernel->inputsNum < 1 || kernel->innerNum < 1 || kernel->outputsNum < 1 || kernel->input == nullptr ||
        kernel->inner == nullptr || kernel->output == nullptr || kernel->params == nullptr)
        return;
    const Tensor* input = kernel->input[0];
    const Tensor* filter = kernel->inner[0];
    const Tensor* bias = kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    const Tensor* output = kernel->output[0];
    if (input == nullptr || filter == nullptr || output == nullptr || filter->data == nullptr) return;
    for (const Tensor* t : {input, filter, output})
        if (t->dtype != DT_FLOAT32 || t->ndim != 4) return;
    const Conv2DParams* params = (const Conv2DParams*)kernel->params;
    if ((params->useBias & 1) != 0 && (bias == nullptr || bias->dtype != DT_FLOAT32)) return;
    PlannedConv pl;
    if (PlanConv(input, filter, bias, output, params, false, &pl) && pl.c.filter != nullptr)
        kernel->extra_resources = TiledEligible(pl.c) ? PackFilter(pl.c) : nullptr;
}

// ---- Shares of a layer on several cores ----------------------------------
//
// Only layers on the tiled path split, over the kernel's own pack: its
// arithmetic per output element does not depend on the tiles' grouping.
// The units are the output pixels, or, when the whole map is one chunk (the
// filter outweighs the input), the blocks of output channels; the untiled
// channels past the blocks go with the last unit.
namespace {

struct TiledShares {
    PlannedConv pl;
    const ConvPack* pk = nullptr;
    bool byChannels = false;
    uint64_t units = 0;
};

// The kernel's split as it stands; false when it runs whole.
bool PlanShares(NNKernel* kernel, bool needData, TiledShares* s)
{
    const ConvPack* pk = (const ConvPack*)kernel->extra_resources;
    if (pk == nullptr || kernel->inputsNum < 1 || kernel->innerNum < 1 || kernel->outputsNum < 1) return false;
    const Conv2DParams* params = (const Conv2DParams*)kernel->params;
    const Tensor* bias = kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    if (params == nullptr || kernel->input[0] == nullptr || kernel->output[0] == nullptr ||
        kernel->input[0]->dtype != DT_FLOAT32)
        return false;
    const uint32_t act = params->activation.type;
    if (!(act == None || act == Linear || StoreActivation(act))) return false;
    const bool held = FilterHeld(pk, kernel->inner[0]);
    if (!PlanConv(kernel->input[0], kernel->inner[0], bias, kernel->output[0], params, needData, &s->pl, held))
        return false;
    const ConvPlan& c = s->pl.c;
    if (!PackFits(pk, c)) return false;
    s->pk = pk;
    const uint64_t pixels = (uint64_t)c.batch * c.outH * c.outW;
    uint64_t blocks = 0;
    for (uint32_t co = 0; co < pk->covered; ++blocks)
        co += pk->covered - co >= 2 * kTiledLanes ? 2 * kTiledLanes : kTiledLanes;
    // By channels where each share would otherwise read the whole filter
    // for a few pixels, given blocks enough for a few shares.
    s->byChannels = c.batch == 1 && pk->chunk >= pixels && blocks >= 4;
    s->units = s->byChannels ? blocks : pixels;
    return true;
}

// First channel of block b.
uint32_t BlockStart(const ConvPack& pk, uint64_t b)
{
    uint32_t co = 0;
    for (uint64_t k = 0; k < b && co < pk.covered; ++k)
        co += pk.covered - co >= 2 * kTiledLanes ? 2 * kTiledLanes : kTiledLanes;
    return co;
}

}  // namespace

uint64_t Conv2D_ref_ShareUnits(NNKernel* kernel, uint64_t* unitWork)
{
    TiledShares s;
    if (!PlanShares(kernel, false, &s)) return 0;
    const ConvPlan& c = s.pl.c;
    const uint64_t taps = (uint64_t)c.kH * c.kW * c.cgIn;
    *unitWork = s.byChannels ? (uint64_t)c.outH * c.outW * taps * 2 * kTiledLanes : taps * c.cout;
    return s.units;
}

size_t Conv2D_ref_ShareScratch(NNKernel* kernel)
{
    TiledShares s;
    if (!PlanShares(kernel, false, &s)) return 0;
    const size_t taps = (size_t)s.pl.c.kH * s.pl.c.kW;
    // Four pieces, each rounded up to the scratch alignment (64 bytes).
    return sizeof(float*) * (2 * (size_t)s.pk->chunk + kMaxTilePixels * taps) + sizeof(uint32_t) * taps + 4 * 64;
}

void Conv2D_ref_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch* scratch)
{
    TiledShares s;
    if (!PlanShares(kernel, true, &s)) {
        // The layer changed since it was split (new weights or geometry): the
        // first share runs it whole.
        if (begin == 0) CORVUS_LEVEL_NS::Execute_Conv2D_ref(kernel);
        return;
    }
    const ConvPlan& c = s.pl.c;
    const ActivationParams& act = ((const Conv2DParams*)kernel->params)->activation;
    const uint32_t clamp = StoreActivation(act.type) ? act.type : (uint32_t)None;
    // The pack's tables are shared read-only; its per-execution scratch is the share's own.
    ConvPack own = *s.pk;
    const size_t taps = (size_t)c.kH * c.kW;
    const char* who = "Conv2D share";
    own.outs = (float**)CarveKernelScratch(scratch, sizeof(float*) * own.chunk, who);
    own.bases = (const float**)CarveKernelScratch(scratch, sizeof(float*) * own.chunk, who);
    own.table = (const float**)CarveKernelScratch(scratch, sizeof(float*) * kMaxTilePixels * taps, who);
    own.tapIds = (uint32_t*)CarveKernelScratch(scratch, sizeof(uint32_t) * taps, who);
    if (s.byChannels)
        RunTiled(c, own, clamp, act.alpha, 0, (uint64_t)c.outH * c.outW, BlockStart(own, begin), BlockStart(own, end));
    else
        RunTiled(c, own, clamp, act.alpha, begin, end, 0, own.covered);
    const uint32_t covered = own.covered + PointTailChannels(c, own);
    if (end == s.units && covered < c.cout) RunUntiledTail(&s.pl, covered, clamp, act.alpha);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(uint64_t, Conv2D_ref_ShareUnits, (NNKernel * kernel, uint64_t* unitWork), (kernel, unitWork))
CORVUS_LEVEL_DISPATCH(size_t, Conv2D_ref_ShareScratch, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Conv2D_ref_RunShare,
                      (NNKernel * kernel, uint64_t begin, uint64_t end, KernelScratch* scratch),
                      (kernel, begin, end, scratch))

CORVUS_LEVEL_DISPATCH(void, Conv2D_fl32_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv2DParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Conv2D_fl16_ref,
                      (const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                       const Conv2DParams* params),
                      (input, filter, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Execute_Conv2D_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Init_Conv2D_ref, (NNKernel * kernel), (kernel))

extern "C" void Destroy_Conv2D_ref(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    corvus_conv::FreeConvPack((ConvPack*)kernel->extra_resources);
    kernel->extra_resources = nullptr;
}

extern "C" const NNKernelFn nn_kernel_fn_Conv2D_ref = {Execute_Conv2D_ref, Init_Conv2D_ref, nullptr,
                                                       Destroy_Conv2D_ref};

namespace corvus_conv {

namespace {

// The kernel's pack, when the kernel is this one's and has a pack.
ConvPack* PackOf(NNKernel* kernel)
{
    if (kernel == nullptr || kernel->fn != &nn_kernel_fn_Conv2D_ref || kernel->innerNum < 1 ||
        kernel->inner == nullptr || kernel->inner[0] == nullptr)
        return nullptr;
    return (ConvPack*)kernel->extra_resources;
}

// The panels hold every output channel of this filter exactly: a dense
// float32 tensor that owns its data and was packed from it as it is.
bool PanelsCover(const ConvPack& pk, const Tensor* f)
{
    const uint64_t io = (uint64_t)pk.cin * pk.cout;
    return f->dtype == DT_FLOAT32 && f->ndim == 4 && f->allocatedData && f->data != nullptr && f->data == pk.source &&
           pk.covered == pk.cout && f->shape.dimension[0] == pk.kH && f->shape.dimension[1] == pk.kW &&
           f->shape.dimension[2] == pk.cin && f->shape.dimension[3] == pk.cout && f->stride.dimension[3] == 1 &&
           f->stride.dimension[2] == pk.cout && f->stride.dimension[1] == io && f->stride.dimension[0] == io * pk.kW;
}

}  // namespace

bool ReleasePackedFilter(NNKernel* kernel)
{
    ConvPack* pk = PackOf(kernel);
    if (pk == nullptr || pk->holdsFilter || !PanelsCover(*pk, kernel->inner[0])) return false;
    FreeTensorData(kernel->inner[0]);
    pk->source = nullptr;
    pk->holdsFilter = true;
    return true;
}

void RestorePackedFilter(NNKernel* kernel)
{
    ConvPack* pk = PackOf(kernel);
    if (pk == nullptr || !pk->holdsFilter) return;
    pk->holdsFilter = false;
    Tensor* f = kernel->inner[0];
    // Data bound since the release is the host's: the pack no longer fits it
    // and is remade when the layer runs.
    if (f->data != nullptr) return;
    if (f->dtype != DT_FLOAT32 || f->ndim != 4 || f->shape.dimension[0] != pk->kH || f->shape.dimension[1] != pk->kW ||
        f->shape.dimension[2] != pk->cin || f->shape.dimension[3] != pk->cout)
        CV_FATAL("Conv2D: the filter of a packed layer changed shape (%u, %u, %u, %u) since it was packed",
                 f->shape.dimension[0], f->shape.dimension[1], f->shape.dimension[2], f->shape.dimension[3]);
    AllocTensorData(f);
    // The inverse of PackFilter's copy, block after block.
    float* dst = (float*)f->data;
    const size_t sH = f->stride.dimension[0], sW = f->stride.dimension[1], sI = f->stride.dimension[2];
    const float* src = pk->panels;
    for (uint32_t co = 0; co < pk->covered;) {
        const uint32_t width = pk->covered - co >= 2 * pk->lanes ? 2 * pk->lanes : pk->lanes;
        for (uint32_t kh = 0; kh < pk->kH; ++kh)
            for (uint32_t kw = 0; kw < pk->kW; ++kw)
                for (uint32_t ci = 0; ci < pk->cin; ++ci, src += width)
                    memcpy(dst + kh * sH + kw * sW + ci * sI + co, src, sizeof(float) * width);
        co += width;
    }
    pk->source = f->data;
}

}  // namespace corvus_conv

#endif
