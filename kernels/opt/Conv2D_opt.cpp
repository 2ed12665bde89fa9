// Half-precision Conv2D through the scratch memory, and the two layers that
// reuse it: half-precision MatMul (as a 1x1 convolution) and Conv1D (as a
// convolution whose height is 1).
//
// Work is cut into tiles of (batch item, block of output rows, block of
// output channels). Per tile the input rows (with the kernel's extra rows),
// the filter block and the bias block are brought into scratch memory with
// block transfers, widened to float32 there, a micro-kernel accumulates in
// float32 with fused multiply-adds, applies the fused activation, narrows to
// float16 and the tile goes back to the output with block transfers.
//
// When no tile holding every input channel fits the scratch memory, each
// tile is computed in passes over blocks of input channels: a pass adds the
// float16 partial result of the one before it (kept in the scratch output
// tile), and only the last pass applies the activation.
#define CORVUS_MODULE "Conv2D_opt"
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "DataTypeConvert.h"
#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDense.h"
#include "Report.h"
#include "common/KernelScratch.h"
#include "nn_kernels/OptKernels.h"
#include "nn_kernels/dma/xydma.h"
#include "opt/OptInternal.h"

namespace {

constexpr uint32_t kSlots = 32;  // descriptor slots at the top of the scratch block
constexpr uint64_t kDescBytes = (uint64_t)kSlots * xyDmaDescBytes;
constexpr uint32_t kMaxRowBlocks = 16;
constexpr uint64_t kTileOverhead = 4096;  // cost of one tile's set-up, in bytes moved

uint64_t Up16(uint64_t v) { return (v + 15u) & ~(uint64_t)15u; }

// Smallest value >= min that agrees with want modulo 16 (and is even when want is).
uint64_t Congruent(uint64_t min, uint64_t want) { return min + ((want - min) & 15u); }

// Geometry of one convolution as read from its tensors (element strides).
struct Geometry {
    uint32_t N, Hin, Win, Cin, Hout, Wout, Cout, kH, kW, sH, sW, pT, pL;
    uint64_t iStr[4], oStr[4], fStr[4], bStr;
};

// Scratch layout of one tiling candidate.
struct Plan {
    uint32_t rowsPerBlock, rowBlocks, chBlock, chBlocks;
    uint32_t ciBlock, passes;   // input channels per pass (the last pass may have fewer), pass count
    uint32_t rowsIn, wsIn;      // input tile rows and columns (kernel's extra rows and pads included)
    uint64_t sPixIn, sRowIn;    // float16 input tile: pixel step (elements), row step (bytes)
    uint64_t sPixOut, sRowOut;  // float16 output tile: pixel step (elements), row step (bytes)
    uint64_t in16, in32, filt16, filt32, bias, out16;  // region sizes in bytes
    uint64_t total;
};

struct Conv2DOptCtx {
    Geometry g;
    Plan plan;
    KernelScratch* scratch;  // the scratch block, kept off the caller's stack (host threads may have small ones)
    uint16_t* filt;          // [chBlocks][passes][kH][kW][channels of the pass][chBlock], zero past Cout
    uint16_t* biasHi;        // [chBlocks * chBlock]
    uint16_t* biasLo;
    float biasR;
    bool useBias;
    uint32_t act;
    float alpha;
};

// ---- Checks --------------------------------------------------------------

bool ActSupported(uint32_t a) { return a == None || a == Linear || a == ReLU || a == ReLU6 || a == LeakyReLU; }

const char* CheckTensors(const NNKernel* kernel, const Conv2DParams* p, Geometry* g)
{
    if (p->dilationRateH != 1) return "dilationRateH != 1";
    if (p->dilationRateW != 1) return "dilationRateW != 1";
    if (!ActSupported(p->activation.type)) return "unsupported activation";
    const Tensor* in = kernel->inputsNum > 0 && kernel->input != nullptr ? kernel->input[0] : nullptr;
    const Tensor* out = kernel->outputsNum > 0 && kernel->output != nullptr ? kernel->output[0] : nullptr;
    const Tensor* filter = kernel->innerNum > 0 && kernel->inner != nullptr ? kernel->inner[0] : nullptr;
    const Tensor* bias =
        (p->useBias & 1) && kernel->innerNum > 1 && kernel->inner != nullptr ? kernel->inner[1] : nullptr;
    if (in == nullptr) return "input is NULL";
    if (in->ndim != 4) return "input->ndim != 4";
    if (in->dtype != DT_FLOAT16) return "input->dtype != DT_FLOAT16";
    if (in->layout != DL_NHWC) return "input->layout != DL_NHWC";
    if (out == nullptr) return "output is NULL";
    if (out->ndim != 4) return "output->ndim != 4";
    if (out->dtype != DT_FLOAT16) return "output->dtype != DT_FLOAT16";
    if (out->layout != DL_NHWC) return "output->layout != DL_NHWC";
    if (filter == nullptr) return "filter is NULL";
    if (filter->ndim != 4) return "filter->ndim != 4";
    if (filter->dtype != DT_FLOAT16) return "filter->dtype != DT_FLOAT16";
    const TensorShape& iT = in->shape;
    const TensorShape& oT = out->shape;
    const TensorShape& kT = filter->shape;
    if (p->kerSizeH != kT.dimension[0]) return "p->kerSizeH != kTotal.H";
    if (p->kerSizeW != kT.dimension[1]) return "p->kerSizeW != kTotal.W";
    if (p->filters != kT.dimension[3]) return "p->filters != kTotal.C";
    if (iT.dimension[0] != oT.dimension[0]) return "iTotal.N != oTotal.N";
    if (iT.dimension[3] != kT.dimension[2]) return "iTotal.C != kTotal.N";
    if (oT.dimension[3] != kT.dimension[3]) return "oTotal.C != kTotal.C";
    if (p->useBias & 1) {
        if (bias == nullptr) return "bias is NULL";
        if (bias->ndim != 1) return "bias->ndim != 1";
        if (bias->dtype != DT_FLOAT32) return "bias->dtype != DT_FLOAT32";
        if (bias->layout != DL_I) return "bias->layout != DL_I";
        if (kT.dimension[3] != bias->shape.dimension[0]) return "kTotal.C != bias->shape.dimension[0]";
    }
    g->N = iT.dimension[0];
    g->Hin = iT.dimension[1];
    g->Win = iT.dimension[2];
    g->Cin = iT.dimension[3];
    g->Hout = oT.dimension[1];
    g->Wout = oT.dimension[2];
    g->Cout = oT.dimension[3];
    g->kH = p->kerSizeH;
    g->kW = p->kerSizeW;
    g->sH = p->strideH;
    g->sW = p->strideW;
    g->pT = p->padTop;
    g->pL = p->padLeft;
    for (int k = 0; k < 4; ++k) {
        g->iStr[k] = in->stride.dimension[k];
        g->oStr[k] = out->stride.dimension[k];
        g->fStr[k] = filter->stride.dimension[k];
    }
    g->bStr = bias != nullptr ? bias->stride.dimension[0] : 0;
    // The tiles keep channels adjacent and rely on every tap of every output
    // pixel lying inside the padded input; anything else is not this kernel's.
    const bool empty = g->N == 0 || g->Hout == 0 || g->Wout == 0 || g->Cout == 0;
    if (!empty) {
        if (g->sH == 0 || g->sW == 0) return "stride is 0";
        if ((g->Cin > 1 && g->iStr[3] != 1) || g->oStr[3] != 1 || g->fStr[3] != 1) return "channels not adjacent";
        if ((uint64_t)(g->Hout - 1) * g->sH + g->kH > (uint64_t)g->pT + g->Hin + p->padBottom ||
            (uint64_t)(g->Wout - 1) * g->sW + g->kW > (uint64_t)g->pL + g->Win + p->padRight)
            return "output larger than the padded input";
    }
    return nullptr;
}

// ---- Tiling --------------------------------------------------------------

// Fills the candidate's scratch layout; false when a step or size is out of
// what the transfers can describe. ciBlock: input channels per pass (all of
// them for a single pass).
bool Layout(const Geometry& g, uint32_t rowBlocks, uint32_t chBlock, uint32_t ciBlock, Plan* pl)
{
    pl->rowBlocks = rowBlocks;
    pl->rowsPerBlock = (g.Hout + rowBlocks - 1) / rowBlocks;
    pl->chBlock = chBlock;
    pl->chBlocks = (g.Cout + chBlock - 1) / chBlock;
    pl->ciBlock = ciBlock;
    pl->passes = ciBlock > 0 && ciBlock < g.Cin ? (g.Cin + ciBlock - 1) / ciBlock : 1;
    pl->rowsIn = (pl->rowsPerBlock - 1) * g.sH + g.kH;
    pl->wsIn = (g.Wout - 1) * g.sW + g.kW;
    if (pl->passes == 1) {
        // Whole input rows: one transfer moves all rows of a tile.
        const uint64_t inPix = g.Cin > 0 ? g.iStr[2] : 0;
        pl->sPixIn = inPix > g.Cin ? inPix : g.Cin;
    } else {
        // One pass's channels of each pixel: one transfer per input row, the
        // scratch pixel step agreeing with the tensor's modulo 16 bytes.
        pl->sPixIn = Congruent(ciBlock, g.iStr[2]);
    }
    // Scratch rows agree with the tensor's rows modulo 16.
    pl->sRowIn = Congruent(Up16((uint64_t)pl->wsIn * pl->sPixIn * 2), g.iStr[1] * 2);
    pl->sPixOut = Congruent(chBlock, g.oStr[2]);
    pl->sRowOut = Congruent((uint64_t)g.Wout * pl->sPixOut * 2, g.oStr[1] * 2);
    const uint64_t taps = (uint64_t)g.kH * g.kW * ciBlock;
    pl->in16 = (uint64_t)pl->rowsIn * pl->sRowIn + 16;
    pl->in32 = Up16((uint64_t)pl->rowsIn * pl->wsIn * ciBlock * 4);
    pl->filt16 = Up16(taps * chBlock * 2);
    pl->filt32 = Up16(taps * chBlock * 4);
    pl->bias = Up16((uint64_t)chBlock * 2) * 2 + Up16((uint64_t)chBlock * 4);
    pl->out16 = (uint64_t)pl->rowsPerBlock * pl->sRowOut + 16;
    pl->total = pl->in16 + pl->in32 + pl->filt16 + pl->filt32 + pl->bias + pl->out16 + 6 * 16;
    const uint64_t lim = INT32_MAX;
    return pl->sRowIn <= lim && pl->sRowOut <= lim && g.iStr[1] * 2 <= lim && g.oStr[1] * 2 <= lim &&
           g.oStr[2] * 2 <= lim && pl->sPixOut * 2 <= lim && pl->wsIn * pl->sPixIn * 2 <= lim &&
           (pl->passes == 1 || (g.iStr[2] * 2 <= lim && pl->sPixIn * 2 <= lim));
}

// Estimated cost: bytes moved through the transfers plus the padded
// multiply-adds (the 128-channel micro-kernel counted cheaper), plus a fixed
// overhead per tile.
double Cost(const Geometry& g, const Plan& pl)
{
    const double tiles = (double)g.N * pl.rowBlocks * pl.chBlocks;
    // With several passes the input tile comes in again for every channel block.
    const double inLoads = pl.passes == 1 ? 1.0 : (double)pl.chBlocks;
    const double inBytes = inLoads * g.N * pl.rowBlocks * pl.rowsIn * pl.wsIn * g.Cin * 2.0 * 3.0;
    const double filtLoads = pl.chBlocks == 1 && pl.passes == 1 ? 1.0 : tiles * pl.passes;
    const double filtBytes = filtLoads * (pl.filt16 / 2.0) * 6.0 / 2.0;
    const double macs =
        (double)g.N * pl.rowBlocks * pl.rowsPerBlock * g.Wout * pl.chBlocks * pl.chBlock * (double)g.kH * g.kW * g.Cin;
    const double perMac = pl.chBlock % 128 == 0 ? 0.2 : 0.25;
    return inBytes + filtBytes + macs * perMac + tiles * kTileOverhead;
}

constexpr uint64_t kAvail = (uint64_t)xySize - kDescBytes;

uint32_t MaxRowBlocks(const Geometry& g) { return g.Hout < kMaxRowBlocks ? g.Hout : kMaxRowBlocks; }

// The cheapest fitting tiling with ciBlock input channels per pass.
bool Cheapest(const Geometry& g, uint32_t ciBlock, Plan* best)
{
    const uint32_t chMax = (g.Cout + 15) / 16 * 16;
    const uint32_t rbMax = MaxRowBlocks(g);
    bool found = false;
    double bestCost = 0;
    for (uint32_t rb = 1; rb <= rbMax; ++rb) {
        // Row counts that give the same rows per block are the same tiling.
        if (rb > 1 && (g.Hout + rb - 1) / rb == (g.Hout + rb - 2) / (rb - 1)) continue;
        for (uint32_t cb = chMax; cb >= 16; cb -= 16) {
            Plan pl;
            if (!Layout(g, rb, cb, ciBlock, &pl) || pl.total > kAvail) continue;
            const double c = Cost(g, pl);
            if (!found || c < bestCost) {
                found = true;
                bestCost = c;
                *best = pl;
            }
        }
    }
    return found;
}

// Whether the smallest tiling (most row blocks, 16 output channels) with
// ciBlock input channels per pass fits; its size grows with ciBlock.
bool SmallestFits(const Geometry& g, uint32_t ciBlock)
{
    Plan pl;
    return Layout(g, MaxRowBlocks(g), 16, ciBlock, &pl) && pl.total <= kAvail;
}

// A single pass whenever one fits (each extra pass rounds the partial sums
// to float16). Otherwise the fewest passes that fit, the input channels
// shared out evenly among them in increasing order.
bool ChooseTiling(const Geometry& g, Plan* best)
{
    if (g.N == 0 || g.Hout == 0 || g.Wout == 0 || g.Cout == 0) {
        memset(best, 0, sizeof(*best));
        best->passes = 1;
        return true;  // nothing to compute
    }
    if (Cheapest(g, g.Cin, best)) return true;
    if (g.Cin < 2 || !SmallestFits(g, 1)) return false;
    uint32_t lo = 1, hi = g.Cin - 1;  // largest block that fits, by bisection
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo + 1) / 2;
        if (SmallestFits(g, mid))
            lo = mid;
        else
            hi = mid - 1;
    }
    const uint32_t passes = (g.Cin + lo - 1) / lo;
    return Cheapest(g, (g.Cin + passes - 1) / passes, best);
}

// ---- Preparation ---------------------------------------------------------

uint16_t* AllocHalf(uint64_t count)
{
    void* p = aligned_alloc(16, Up16(count * 2 > 0 ? count * 2 : 16));
    if (p == nullptr) CV_FATAL("Conv2D_opt error: can't alloc %llu bytes", (unsigned long long)(count * 2));
    return (uint16_t*)p;
}

// Input channels [first, first + count) of pass q.
void PassChannels(const Geometry& g, const Plan& pl, uint32_t q, uint32_t* first, uint32_t* count)
{
    *first = q * pl.ciBlock;
    *count = pl.passes == 1 ? g.Cin : (g.Cin - *first < pl.ciBlock ? g.Cin - *first : pl.ciBlock);
}

// Filter blocks: output channels cut into blocks of chBlock; per block and
// pass a dense [kH][kW][channels of the pass][chBlock] array, zeros past the
// last output channel. The block of (b, q) starts kH*kW*chBlock elements
// times (b*Cin + first input channel of q) into the array.
void Conv2D_ConvKern(Conv2DOptCtx* ctx, const Tensor* filter)
{
    const Geometry& g = ctx->g;
    const Plan& pl = ctx->plan;
    const uint16_t* src = (const uint16_t*)filter->data;
    uint16_t* dst = ctx->filt;
    for (uint32_t b = 0; b < pl.chBlocks; ++b) {
        const uint32_t c0 = b * pl.chBlock;
        const uint32_t valid = g.Cout - c0 < pl.chBlock ? g.Cout - c0 : pl.chBlock;
        for (uint32_t q = 0; q < pl.passes; ++q) {
            uint32_t ci0, cnt;
            PassChannels(g, pl, q, &ci0, &cnt);
            for (uint32_t kh = 0; kh < g.kH; ++kh)
                for (uint32_t kw = 0; kw < g.kW; ++kw)
                    for (uint32_t ci = ci0; ci < ci0 + cnt; ++ci) {
                        const uint16_t* s = src + kh * g.fStr[0] + kw * g.fStr[1] + ci * g.fStr[2] + c0;
                        memcpy(dst, s, (size_t)valid * 2);
                        memset(dst + valid, 0, (size_t)(pl.chBlock - valid) * 2);
                        dst += pl.chBlock;
                    }
        }
    }
}

}  // namespace

// ---- Bias split ----------------------------------------------------------

extern "C" void Conv2D_ConvBias(const float* bias, uint64_t biasStride, uint32_t count, uint16_t* hi, uint16_t* lo,
                                float* r)
{
    // Largest magnitude rounded down to a power of two.
    float m = 0.0f;
    for (uint32_t c = 0; c < count; ++c) {
        const float a = std::fabs(bias[c * biasStride]);
        if (a > m) m = a;
    }
    if (m > 0.0f) {
        int e = 0;
        std::frexp(m, &e);
        m = std::ldexp(1.0f, e - 1);
    }
    float s = 16777216.0f;           // 2^24
    float inv = 1.0f / 16777216.0f;  // 2^-24
    while (m * s > 32768.0f) {
        s *= 0.5f;
        inv *= 2.0f;
    }
    if (m > 1073741824.0f) {  // 2^30
        printf("Conv2D_ConvBias error");
        fflush(stdout);
        inv = 0.0f;
    }
    for (uint32_t c = 0; c < count; ++c) {
        const float v = bias[c * biasStride] * s;
        float32_to_float16(&v, &hi[c], 1);
        // A scaled value just below 2^16 would round to infinity; the largest
        // finite half keeps the pair exact (the low half takes the rest).
        if ((hi[c] & 0x7FFFu) == 0x7C00u && std::isfinite(v)) hi[c] = (uint16_t)((hi[c] & 0x8000u) | 0x7BFFu);
        float h = 0.0f;
        float16_to_float32(&hi[c], &h, 1);
        const float rest = v - h;
        float32_to_float16(&rest, &lo[c], 1);
    }
    *r = inv;
}

namespace {

void Conv2D_BiasBlocks(Conv2DOptCtx* ctx, const Tensor* bias)
{
    const uint64_t padded = (uint64_t)ctx->plan.chBlocks * ctx->plan.chBlock;
    memset(ctx->biasHi, 0, padded * 2);
    memset(ctx->biasLo, 0, padded * 2);
    ctx->biasR = 0.0f;
    if (ctx->useBias && ctx->g.Cout > 0)
        Conv2D_ConvBias((const float*)bias->data, ctx->g.bStr, ctx->g.Cout, ctx->biasHi, ctx->biasLo, &ctx->biasR);
}

void DestroyCtx(Conv2DOptCtx* ctx)
{
    if (ctx == nullptr) return;
    DestroyKernelScratch(ctx->scratch);
    free(ctx->filt);
    free(ctx->biasHi);
    free(ctx->biasLo);
    free(ctx);
}

// ---- Micro-kernels -------------------------------------------------------

struct MicroArgs {
    const float* in;  // input tile (float32) at the window origin of the first output pixel
    ptrdiff_t inPix;  // elements between horizontally adjacent output pixels' windows
    ptrdiff_t inRow;  // elements between the windows of consecutive micro-kernel rows
    ptrdiff_t kRow;   // elements between kernel rows
    uint32_t kH, kW, Cin;
    const float* filt;  // float32 filter block at the first channel, rows of filtStride
    uint32_t filtStride;
    const float* init;  // accumulator start per channel (first pass)
    uint16_t* out;      // float16 output tile at the first pixel and channel
    ptrdiff_t outPix, outRow;
    uint32_t rows, cols;
    uint32_t act;  // None before the last pass
    float alpha;
    bool first;  // false: start from 0 and add the previous pass's float16 result
};

template <uint32_t CH> inline void Finish(float* acc, uint16_t* out, bool addPrevious, uint32_t act, float alpha)
{
    if (addPrevious) {
        float prev[CH];
        float16_to_float32(out, prev, CH);
        for (uint32_t l = 0; l < CH; ++l) acc[l] = acc[l] + prev[l];
    }
    switch (act) {
    case ReLU:
        for (uint32_t l = 0; l < CH; ++l) acc[l] = acc[l] < 0.0f ? 0.0f : acc[l];
        break;
    case ReLU6:
        for (uint32_t l = 0; l < CH; ++l) acc[l] = acc[l] < 0.0f ? 0.0f : (acc[l] > 6.0f ? 6.0f : acc[l]);
        break;
    case LeakyReLU:
        for (uint32_t l = 0; l < CH; ++l) acc[l] = acc[l] < 0.0f ? acc[l] * alpha : acc[l];
        break;
    default:
        break;
    }
    float32_to_float16(acc, out, CH);
}

// rows x cols output pixels (at most R x C) by CH channels. The innermost
// loop runs over the channels, one fused multiply-add per product.
template <uint32_t R, uint32_t C, uint32_t CH> void MicroKernel(const MicroArgs& a)
{
    alignas(64) float acc[C][CH];
    const uint64_t kStep = (uint64_t)a.filtStride;
    for (uint32_t r = 0; r < a.rows && r < R; ++r) {
        const uint32_t cols = a.cols < C ? a.cols : C;
        for (uint32_t c = 0; c < cols; ++c)
            for (uint32_t l = 0; l < CH; ++l) acc[c][l] = a.first ? a.init[l] : 0.0f;
        const float* rowIn = a.in + r * a.inRow;
        const float* w = a.filt;
        for (uint32_t kh = 0; kh < a.kH; ++kh)
            for (uint32_t kw = 0; kw < a.kW; ++kw) {
                const float* tap = rowIn + kh * a.kRow + (ptrdiff_t)kw * a.Cin;
                for (uint32_t ci = 0; ci < a.Cin; ++ci, w += kStep) {
                    for (uint32_t c = 0; c < cols; ++c) {
                        const float x = tap[c * a.inPix + ci];
                        float* ac = acc[c];
                        for (uint32_t l = 0; l < CH; ++l) ac[l] = fmaf(x, w[l], ac[l]);
                    }
                }
            }
        uint16_t* o = a.out + r * a.outRow;
        for (uint32_t c = 0; c < cols; ++c) Finish<CH>(acc[c], o + c * a.outPix, !a.first, a.act, a.alpha);
    }
}

}  // namespace

extern "C" {

// Eight output rows by sixteen output columns by sixteen channels.
static void Conv2D_8h16w16c_x(const MicroArgs& a) { MicroKernel<8, 16, 16>(a); }
// One output row by sixteen output columns by 128 channels.
static void Conv2D_1h16w128c_x(const MicroArgs& a) { MicroKernel<1, 16, 128>(a); }

}  // extern "C"

namespace {

// Scratch regions of one execution.
struct Scratch {
    uint8_t* base;
    XyDmaDesc* slots;
    uint8_t* in16;
    float* in32;
    uint16_t* filt16;
    float* filt32;
    uint16_t* biasHi;
    uint16_t* biasLo;
    float* init;
    uint8_t* out16;
};

void Carve(uint8_t* block, const Plan& pl, Scratch* s)
{
    s->base = block;
    uint8_t* top = block + xySize - kDescBytes;
    s->slots = (XyDmaDesc*)top;
    xyDmaPrepare(s->slots, kSlots);
    int64_t xyFree = (int64_t)xySize - (int64_t)kDescBytes;
    auto carve = [&](uint64_t size) {
        uint8_t* p = (uint8_t*)xyCarve(top, size, nullptr);
        xyFree -= (int64_t)(top - p);
        top = p;
        return p;
    };
    s->in16 = carve(pl.in16);
    s->in32 = (float*)carve(pl.in32);
    s->filt16 = (uint16_t*)carve(pl.filt16);
    s->filt32 = (float*)carve(pl.filt32);
    s->biasHi = (uint16_t*)carve(Up16((uint64_t)pl.chBlock * 2));
    s->biasLo = (uint16_t*)carve(Up16((uint64_t)pl.chBlock * 2));
    s->init = (float*)carve(Up16((uint64_t)pl.chBlock * 4));
    s->out16 = carve(pl.out16);
    if (xyFree < 0) CV_FATAL("xyFree >= 0: false, expected: true");
}

// Runs descriptors in batches of the slot count.
struct Chain {
    XyDmaDesc* slots;
    uint32_t used = 0;
    void* handle = nullptr;
    explicit Chain(XyDmaDesc* s) : slots(s) {}
    void Read(void* xy, int64_t xyStep, const void* mm, int64_t mmStep, int64_t rowBytes, int64_t rows)
    {
        if (rowBytes <= 0 || rows <= 0) return;
        if (used == kSlots) Run();
        handle =
            xyDmaRead64(&slots[used++], xy, (int32_t)xyStep, mm, (int32_t)mmStep, (int32_t)rowBytes, (int32_t)rows);
    }
    void Write(void* mm, int64_t mmStep, const void* xy, int64_t xyStep, int64_t rowBytes, int64_t rows)
    {
        if (rowBytes <= 0 || rows <= 0) return;
        if (used == kSlots) Run();
        handle =
            xyDmaWrite64(&slots[used++], mm, (int32_t)mmStep, xy, (int32_t)xyStep, (int32_t)rowBytes, (int32_t)rows);
    }
    void Run()
    {
        if (used > 0) xyDmaRun(handle);
        used = 0;
        handle = nullptr;
    }
};

// Start in region that agrees with target modulo 16 (the region has 16
// bytes of slack for this).
uint8_t* Phase(uint8_t* region, const void* target) { return region + (((uintptr_t)target - (uintptr_t)region) & 15u); }

struct TileState {
    uint8_t* in16Row0;  // scratch address of the tile's first input row (column 0 of the window)
    uint8_t* out16Row0;
};

// Input rows of the tile (output rows oh0 .. oh0+nr-1 of batch item n),
// input channels [ci0, ci0 + cnt): real rows and columns come in with one
// transfer (one per row when a pass takes only some channels), the parts in
// the pads become zeros, then the whole tile is widened to float32.
void Conv2D_ConvIn(const Geometry& g, const Plan& pl, Scratch& s, const Tensor* input, uint32_t n, uint32_t oh0,
                   uint32_t nr, uint32_t ci0, uint32_t cnt, TileState* ts)
{
    const uint32_t rowsIn = (nr - 1) * g.sH + g.kH;
    const int64_t ih0 = (int64_t)oh0 * g.sH - g.pT;
    const int64_t first = ih0 < 0 ? 0 : ih0;
    const int64_t last = ih0 + rowsIn < (int64_t)g.Hin ? ih0 + rowsIn : (int64_t)g.Hin;  // one past
    const int64_t colFirst = g.pL;  // scratch column of input column 0
    const int64_t realCols = (int64_t)pl.wsIn - colFirst < (int64_t)g.Win ? (int64_t)pl.wsIn - colFirst : g.Win;
    const uint8_t* inBase = (const uint8_t*)input->data + 2 * (n * g.iStr[0]);
    const uint64_t pixBytes = pl.sPixIn * 2;
    // Align the scratch rows with the first real row's data.
    const uint8_t* mmFirst = inBase + 2 * ((uint64_t)(first > 0 ? first : 0) * g.iStr[1] + ci0);
    uint8_t* xyFirstData = Phase(s.in16 + colFirst * pixBytes + (first - ih0) * pl.sRowIn, mmFirst);
    uint8_t* row0 = xyFirstData - colFirst * pixBytes - (first - ih0) * pl.sRowIn;
    ts->in16Row0 = row0;
    Chain chain(s.slots);
    if (last > first && realCols > 0 && cnt > 0) {
        if (pl.passes == 1) {
            chain.Read(xyFirstData, (int64_t)pl.sRowIn, mmFirst, (int64_t)(g.iStr[1] * 2),
                       (int64_t)(((uint64_t)realCols - 1) * g.iStr[2] + cnt) * 2, last - first);
        } else {
            for (int64_t r = 0; r < last - first; ++r)
                chain.Read(xyFirstData + r * pl.sRowIn, (int64_t)pixBytes, mmFirst + 2 * (uint64_t)r * g.iStr[1],
                           (int64_t)(g.iStr[2] * 2), (int64_t)cnt * 2, realCols);
        }
    }
    chain.Run();
    // Zeros where the window lies in the padding.
    const uint64_t rowBytes = (uint64_t)pl.wsIn * pixBytes;
    for (uint32_t r = 0; r < rowsIn; ++r) {
        const int64_t ih = ih0 + r;
        uint8_t* row = row0 + (uint64_t)r * pl.sRowIn;
        if (ih < 0 || ih >= (int64_t)g.Hin || realCols <= 0) {
            memset(row, 0, rowBytes);
            continue;
        }
        memset(row, 0, (size_t)colFirst * pixBytes);
        const uint64_t end = (uint64_t)(colFirst + realCols) * pixBytes;
        if (end < rowBytes) memset(row + end, 0, rowBytes - end);
    }
    // Widen to a dense float32 tile: [rowsIn][wsIn][cnt].
    float* dst = s.in32;
    for (uint32_t r = 0; r < rowsIn; ++r) {
        const uint8_t* row = row0 + (uint64_t)r * pl.sRowIn;
        for (uint32_t c = 0; c < pl.wsIn; ++c, dst += cnt)
            float16_to_float32((const uint16_t*)(row + c * pixBytes), dst, cnt);
    }
}

// Output tile back to the tensor: one transfer per output row.
void Conv2D_ConvOut(const Geometry& g, const Plan& pl, Scratch& s, Tensor* output, uint32_t n, uint32_t oh0,
                    uint32_t nr, uint32_t c0, uint32_t valid, const TileState& ts)
{
    Chain chain(s.slots);
    for (uint32_t r = 0; r < nr; ++r) {
        uint8_t* mm = (uint8_t*)output->data + 2 * (n * g.oStr[0] + (uint64_t)(oh0 + r) * g.oStr[1] + c0);
        chain.Write(mm, (int64_t)(g.oStr[2] * 2), ts.out16Row0 + (uint64_t)r * pl.sRowOut, (int64_t)(pl.sPixOut * 2),
                    (int64_t)valid * 2, g.Wout);
    }
    chain.Run();
}

// One pass over a tile: the float32 input tile (cnt input channels) is in
// scratch; filter and bias blocks too. Output channels go in steps of 128
// or 16. Passes after the first add the tile's stored result; only the last
// applies the activation.
void Conv2D_opt_calc(NNKernel* kernel, const Conv2DOptCtx* ctx, Scratch& s, uint32_t nr, uint32_t cnt, bool first,
                     bool last, TileState* ts)
{
    const Geometry& g = ctx->g;
    const Plan& pl = ctx->plan;
    MicroArgs a;
    a.kH = g.kH;
    a.kW = g.kW;
    a.Cin = cnt;
    a.kRow = (ptrdiff_t)pl.wsIn * cnt;
    a.inPix = (ptrdiff_t)g.sW * cnt;
    a.filtStride = pl.chBlock;
    a.outPix = (ptrdiff_t)pl.sPixOut;
    a.act = last ? ctx->act : (uint32_t)None;
    a.alpha = ctx->alpha;
    a.first = first;
    const uint64_t outRowElems = pl.sRowOut / 2;
    uint16_t* out0 = (uint16_t*)ts->out16Row0;
    if (pl.chBlock % 128 == 0) {
        for (uint32_t c0 = 0; c0 < pl.chBlock; c0 += 128)
            for (uint32_t r = 0; r < nr; ++r)
                for (uint32_t x0 = 0; x0 < g.Wout; x0 += 16) {
                    a.in = s.in32 + (uint64_t)r * g.sH * a.kRow + x0 * a.inPix;
                    a.inRow = 0;
                    a.filt = s.filt32 + c0;
                    a.init = s.init + c0;
                    a.out = out0 + r * outRowElems + x0 * pl.sPixOut + c0;
                    a.outRow = 0;
                    a.rows = 1;
                    a.cols = g.Wout - x0 < 16 ? g.Wout - x0 : 16;
                    Conv2D_1h16w128c_x(a);
                    kernel->counters[1]++;
                }
        return;
    }
    // Narrow rows: a pair of output rows forms one row of twice the row step
    // when their windows and outputs follow each other without gaps.
    const bool merge = nr >= 2 && g.Wout <= 8 && (uint64_t)g.sH * pl.wsIn == (uint64_t)g.Wout * g.sW &&
                       pl.sRowOut == (uint64_t)g.Wout * pl.sPixOut * 2 && pl.sRowOut % 32 == 0;
    if (merge && pl.sRowOut % 32 != 0)
        CV_FATAL("%s error: a->sOutW%%32=%d must be 0", "Conv2D_opt_calc", (int)(pl.sRowOut % 32));
    const uint32_t rowsPer = merge ? 2 : 1;
    const uint32_t units = merge ? nr / 2 : nr;  // micro-kernel rows
    const uint32_t width = g.Wout * rowsPer;
    for (uint32_t c0 = 0; c0 < pl.chBlock; c0 += 16)
        for (uint32_t r0 = 0; r0 < units; r0 += 8)
            for (uint32_t x0 = 0; x0 < width; x0 += 16) {
                a.in = s.in32 + (uint64_t)r0 * rowsPer * g.sH * a.kRow + x0 * a.inPix;
                a.inRow = (ptrdiff_t)rowsPer * g.sH * a.kRow;
                a.filt = s.filt32 + c0;
                a.init = s.init + c0;
                a.out = out0 + (uint64_t)r0 * rowsPer * outRowElems + x0 * pl.sPixOut + c0;
                a.outRow = (ptrdiff_t)(rowsPer * outRowElems);
                a.rows = units - r0 < 8 ? units - r0 : 8;
                a.cols = width - x0 < 16 ? width - x0 : 16;
                Conv2D_8h16w16c_x(a);
                kernel->counters[0]++;
            }
    if (merge && nr % 2 == 1) {  // the odd last row alone
        const uint32_t r = nr - 1;
        for (uint32_t c0 = 0; c0 < pl.chBlock; c0 += 16) {
            a.in = s.in32 + (uint64_t)r * g.sH * a.kRow;
            a.inRow = 0;
            a.filt = s.filt32 + c0;
            a.init = s.init + c0;
            a.out = out0 + r * outRowElems + c0;
            a.outRow = 0;
            a.rows = 1;
            a.cols = g.Wout;
            Conv2D_8h16w16c_x(a);
            kernel->counters[0]++;
        }
    }
}

void Refuse(const char* fn, const char* reason)
{
    printf("%s error: %s ", fn, reason);
    fflush(stdout);
}

void Execute(NNKernel* kernel, Conv2DOptCtx* ctx, uint32_t part, uint32_t parts)
{
    const Geometry& g = ctx->g;
    const Plan& pl = ctx->plan;
    if (g.N == 0 || g.Hout == 0 || g.Wout == 0 || g.Cout == 0) return;
    const uint64_t T = (uint64_t)g.N * pl.rowBlocks * pl.chBlocks;
    const uint64_t u0 = part * T / parts, u1 = (part + 1) * T / parts;
    Scratch s;
    Carve(ctx->scratch->data, pl, &s);
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    int64_t loadedIn = -1, loadedFilt = -1;
    TileState ts;
    const uint64_t perChannel = (uint64_t)g.kH * g.kW * pl.chBlock;  // filter block elements per input channel
    for (uint64_t u = u0; u < u1; ++u) {
        const uint32_t cb = (uint32_t)(u % pl.chBlocks);
        const uint64_t nrb = u / pl.chBlocks;
        const uint32_t rb = (uint32_t)(nrb % pl.rowBlocks);
        const uint32_t n = (uint32_t)(nrb / pl.rowBlocks);
        const uint32_t oh0 = rb * pl.rowsPerBlock;
        if (oh0 >= g.Hout) continue;
        const uint32_t nr = g.Hout - oh0 < pl.rowsPerBlock ? g.Hout - oh0 : pl.rowsPerBlock;
        const uint32_t c0 = cb * pl.chBlock;
        const uint8_t* mmOut = (const uint8_t*)output->data + 2 * (n * g.oStr[0] + (uint64_t)oh0 * g.oStr[1] + c0);
        ts.out16Row0 = Phase(s.out16, mmOut);
        for (uint32_t q = 0; q < pl.passes; ++q) {
            uint32_t ci0, cnt;
            PassChannels(g, pl, q, &ci0, &cnt);
            // A single pass keeps the input tile for every channel block.
            if (pl.passes > 1 || (int64_t)nrb != loadedIn) {
                Conv2D_ConvIn(g, pl, s, input, n, oh0, nr, ci0, cnt, &ts);
                loadedIn = (int64_t)nrb;
            }
            const int64_t filtKey = (int64_t)cb * pl.passes + q;
            if (filtKey != loadedFilt) {
                Chain chain(s.slots);
                const uint64_t blockElems = perChannel * cnt;
                const uint16_t* src = ctx->filt + perChannel * ((uint64_t)cb * g.Cin + ci0);
                chain.Read(s.filt16, 0, src, 0, (int64_t)(blockElems * 2), 1);
                chain.Read(s.biasHi, 0, ctx->biasHi + c0, 0, (int64_t)pl.chBlock * 2, 1);
                chain.Read(s.biasLo, 0, ctx->biasLo + c0, 0, (int64_t)pl.chBlock * 2, 1);
                chain.Run();
                float16_to_float32(s.filt16, s.filt32, (uint32_t)blockElems);
                for (uint32_t l = 0; l < pl.chBlock; ++l) {
                    float h, lo;
                    float16_to_float32(&s.biasHi[l], &h, 1);
                    float16_to_float32(&s.biasLo[l], &lo, 1);
                    s.init[l] = (h + lo) * ctx->biasR;
                }
                loadedFilt = filtKey;
            }
            Conv2D_opt_calc(kernel, ctx, s, nr, cnt, q == 0, q + 1 == pl.passes, &ts);
        }
        const uint32_t valid = g.Cout - c0 < pl.chBlock ? g.Cout - c0 : pl.chBlock;
        Conv2D_ConvOut(g, pl, s, output, n, oh0, nr, c0, valid, ts);
    }
}

}  // namespace

namespace corvus_opt {

uint32_t Conv2DOptPassChannels(const NNKernel* kernel)
{
    const Conv2DOptCtx* ctx = kernel != nullptr ? (const Conv2DOptCtx*)kernel->extra_resources : nullptr;
    return ctx != nullptr ? ctx->plan.ciBlock : 0;
}

}  // namespace corvus_opt

extern "C" {

const char* Conv2D_opt(int32_t part, int32_t parts, NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s error: kernel is NULL", "Conv2D_opt");
    const Conv2DParams* p = (const Conv2DParams*)kernel->params;
    if (p == nullptr) CV_FATAL("%s error: params is NULL", "Conv2D_opt");
    Geometry g;
    memset(&g, 0, sizeof(g));
    if (const char* why = CheckTensors(kernel, p, &g)) return why;
    if (part >= 0) {
        Conv2DOptCtx* ctx = (Conv2DOptCtx*)kernel->extra_resources;
        if (ctx == nullptr) return "kernel->extra_resources is NULL";
        if (parts < 1 || part >= parts) return "part out of range";
        if (memcmp(&ctx->g, &g, sizeof(g)) != 0) return "tensors changed since initialisation";
        Execute(kernel, ctx, (uint32_t)part, (uint32_t)parts);
        return nullptr;
    }
    Plan plan;
    if (!ChooseTiling(g, &plan)) return "can't split";
    if (part == -1) return nullptr;
    // Initialisation: a fresh context replaces any earlier one (its scratch
    // block is taken over: re-initialised contexts need not allocate again).
    Conv2DOptCtx* old = (Conv2DOptCtx*)kernel->extra_resources;
    KernelScratch* scratch = nullptr;
    if (old != nullptr) {
        scratch = old->scratch;
        old->scratch = nullptr;
    }
    DestroyCtx(old);
    kernel->extra_resources = nullptr;
    Conv2DOptCtx* ctx = (Conv2DOptCtx*)calloc(1, sizeof(Conv2DOptCtx));
    if (ctx == nullptr) CV_FATAL("Conv2D_opt error: can't alloc context");
    ctx->scratch = scratch != nullptr ? scratch : CreateKernelScratch(kXyScratchBytes, "Conv2D_opt");
    memcpy(&ctx->g, &g, sizeof(g));  // padding bytes included: execution compares them
    ctx->plan = plan;
    ctx->useBias = (p->useBias & 1) != 0;
    ctx->act = p->activation.type;
    ctx->alpha = p->activation.alpha;
    const uint64_t padded = (uint64_t)plan.chBlocks * plan.chBlock;
    ctx->filt = AllocHalf(padded * g.kH * g.kW * g.Cin);
    ctx->biasHi = AllocHalf(padded);
    ctx->biasLo = AllocHalf(padded);
    if (padded > 0 && (uint64_t)g.kH * g.kW * g.Cin > 0) {
        if (kernel->inner[0]->data == nullptr) {
            DestroyCtx(ctx);
            return "filter has no data";
        }
        Conv2D_ConvKern(ctx, kernel->inner[0]);
    }
    if (ctx->useBias && kernel->inner[1]->data == nullptr) {
        DestroyCtx(ctx);
        return "bias has no data";
    }
    Conv2D_BiasBlocks(ctx, ctx->useBias ? kernel->inner[1] : nullptr);
    kernel->extra_resources = ctx;
    return nullptr;
}

const char* Probe_Conv2D_opt(const NNKernel* kernel) { return Conv2D_opt(-1, 1, const_cast<NNKernel*>(kernel)); }

void Init_Conv2D_opt(NNKernel* kernel)
{
    if (const char* why = Conv2D_opt(-2, 1, kernel)) Refuse("Init_Conv2D_opt", why);
}

void Execute_Conv2D_opt(NNKernel* kernel)
{
    if (const char* why = Conv2D_opt(0, 1, kernel)) Refuse("Execute_Conv2D_opt", why);
}

void Destroy_Conv2D_opt(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    DestroyCtx((Conv2DOptCtx*)kernel->extra_resources);
    kernel->extra_resources = nullptr;
}

extern const NNKernelFn nn_kernel_fn_Conv2D_opt = {Execute_Conv2D_opt, Init_Conv2D_opt, nullptr, Destroy_Conv2D_opt};

}  // extern "C"

// ---- Convolutions viewed as Conv2D ----------------------------------------

namespace {

// A two-dimensional convolution record over views of another layer's tensors.
struct ViewConv {
    NNKernel k;
    Tensor in, out, filt, bias;
    Tensor* inPtr;
    Tensor* outPtr;
    Tensor* inner[2];
    Conv2DParams p;
};

ViewConv* NewViewConv()
{
    ViewConv* v = (ViewConv*)calloc(1, sizeof(ViewConv));
    if (v == nullptr) CV_FATAL("malloc error");
    v->inPtr = &v->in;
    v->outPtr = &v->out;
    v->inner[0] = &v->filt;
    v->inner[1] = &v->bias;
    v->k.input = &v->inPtr;
    v->k.output = &v->outPtr;
    v->k.inner = v->inner;
    v->k.inputsNum = 1;
    v->k.outputsNum = 1;
    v->k.innerNum = 2;
    v->k.coresNumber = 1;
    v->k.params = &v->p;
    return v;
}

void DestroyViewConv(ViewConv* v)
{
    if (v == nullptr) return;
    Destroy_Conv2D_opt(&v->k);
    free(v);
}

// A 4-D non-owning view.
void View4(Tensor* v, const Tensor* src, DataLayout layout, const uint32_t shape[4], const uint64_t stride[4])
{
    memset(v, 0, sizeof(*v));
    v->data = src->data;
    v->ndim = 4;
    v->layout = layout;
    v->dtype = src->dtype;
    v->allocatedData = false;
    for (int k = 0; k < 4; ++k) {
        v->shape.dimension[k] = shape[k];
        v->stride.dimension[k] = (uint32_t)stride[k];
    }
}

// ---- Conv1D --------------------------------------------------------------

void Conv1DViews(ViewConv* v, NNKernel* kernel)
{
    const Tensor* in1 = kernel->input[0];
    const Tensor* out1 = kernel->output[0];
    const Tensor* filt1 = kernel->inner[0];
    const uint32_t* in1n = in1->shape.dimension;
    const uint32_t* out1n = out1->shape.dimension;
    const uint32_t* filt1n = filt1->shape.dimension;
    const uint32_t* is = in1->stride.dimension;
    const uint32_t* os = out1->stride.dimension;
    const uint32_t* fs = filt1->stride.dimension;
    const uint32_t inShape[4] = {in1n[0], 1, in1n[1], in1n[2]};
    const uint64_t inStride[4] = {is[0], (uint64_t)in1n[1] * is[1], is[1], is[2]};
    const uint32_t outShape[4] = {out1n[0], 1, out1n[1], out1n[2]};
    const uint64_t outStride[4] = {os[0], (uint64_t)out1n[1] * os[1], os[1], os[2]};
    const uint32_t fShape[4] = {1, filt1n[0], filt1n[1], filt1n[2]};
    const uint64_t fStride[4] = {(uint64_t)filt1n[0] * fs[0], fs[0], fs[1], fs[2]};
    View4(&v->in, in1, DL_NHWC, inShape, inStride);
    View4(&v->out, out1, DL_NHWC, outShape, outStride);
    View4(&v->filt, filt1, DL_HWIO, fShape, fStride);
    const Conv1DParams* p1 = (const Conv1DParams*)kernel->params;
    if ((p1->useBias & 1) && kernel->innerNum > 1 && kernel->inner[1] != nullptr) {
        v->bias = *kernel->inner[1];
        v->bias.allocatedData = false;
        v->bias.layout = DL_I;
    } else {
        memset(&v->bias, 0, sizeof(v->bias));
    }
    Conv2DParams& p = v->p;
    memset(&p, 0, sizeof(p));
    p.kerSizeH = 1;
    p.kerSizeW = p1->kernel_size;
    p.filters = filt1n[2];
    p.strideH = 1;
    p.strideW = p1->stride;
    p.dilationRateH = 1;
    p.dilationRateW = p1->dilation;
    p.padLeft = p1->padBegin;
    p.padRight = p1->padEnd;
    p.pad = (p1->padBegin | p1->padEnd) != 0 ? (PaddingMode)1 : VALID;
    p.useBias = p1->useBias & 1;
    p.activation = p1->activation;
    p.groups = 1;
}

}  // namespace

extern "C" {

const char* Conv1Dvia2D(int32_t mode, int32_t parts, NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1 && kernel->innerNum >= 1);
    const Tensor* in1 = kernel->input[0];
    const Tensor* out1 = kernel->output[0];
    const Tensor* filt1 = kernel->inner[0];
    CV_CHECK_PTR(in1);
    CV_CHECK_PTR(out1);
    CV_CHECK_PTR(filt1);
    const Conv1DParams* p1 = (const Conv1DParams*)kernel->params;
    const uint32_t* in1n = in1->shape.dimension;
    const uint32_t* out1n = out1->shape.dimension;
    const uint32_t* filt1n = filt1->shape.dimension;
    CV_CHECK(in1->dtype == DT_FLOAT16);
    CV_CHECK(filt1->dtype == DT_FLOAT16);
    CV_CHECK(out1->dtype == DT_FLOAT16);
    CV_CHECK(in1->ndim == 3);
    CV_CHECK(filt1->ndim == 3);
    CV_CHECK(out1->ndim == 3);
    CV_CHECK(p1->groups == 1);
    CV_CHECK(in1n[0] == out1n[0]);
    CV_CHECK(p1->kernel_size == filt1n[0]);
    CV_CHECK(in1n[2] == filt1n[1]);
    CV_CHECK(out1n[2] == filt1n[2]);
    if (p1->useBias & 1) {
        CV_CHECK(kernel->innerNum >= 2);
        CV_CHECK_PTR(kernel->inner[1]);
        const Tensor bias2 = *kernel->inner[1];
        CV_CHECK(bias2.ndim == 1);
        CV_CHECK(bias2.dtype == DT_FLOAT32);
        CV_CHECK(bias2.shape.dimension[0] == filt1n[2]);
    }
    ViewConv* v = (ViewConv*)kernel->extra_resources;
    if (mode >= 0) {
        if (v == nullptr) return "kernel->extra_resources is NULL";
        Conv1DViews(v, kernel);  // the tensors' data may have moved since initialisation
        return Conv2D_opt(mode, parts, &v->k);
    }
    ViewConv* fresh = NewViewConv();
    Conv1DViews(fresh, kernel);
    const char* why = Conv2D_opt(mode, 1, &fresh->k);
    if (mode != -2 || why != nullptr) {
        DestroyViewConv(fresh);
        return why;
    }
    DestroyViewConv(v);
    kernel->extra_resources = fresh;
    return nullptr;
}

void Init_Conv1Dvia2D(NNKernel* kernel)
{
    if (const char* why = Conv1Dvia2D(-2, 1, kernel)) Refuse("Conv1Dvia2D", why);
}

void Execute_Conv1Dvia2D(NNKernel* kernel)
{
    if (const char* why = Conv1Dvia2D(0, 1, kernel)) Refuse("Execute_Conv1Dvia2D", why);
}

void Destroy_Conv1Dvia2D(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    DestroyViewConv((ViewConv*)kernel->extra_resources);
    kernel->extra_resources = nullptr;
}

extern const NNKernelFn nn_kernel_fn_Conv1Dvia2D = {Execute_Conv1Dvia2D, Init_Conv1Dvia2D, nullptr,
                                                    Destroy_Conv1Dvia2D};

}  // extern "C"

// ---- MatMul as a 1x1 convolution ------------------------------------------

namespace {

// A {.., M, K} by B {K, N}: A becomes an image of batch x 1 x M pixels of K
// channels (or batch x M x 1 when the wide form cannot be tiled), B a 1x1
// filter, the output an image of N channels. Returns false when the
// operands do not have that form (broadcast B, merged batch dimensions with
// gaps); the reference product serves those.
bool MatmulViews(ViewConv* v, const Tensor* A, const Tensor* B, const Tensor* out, bool tall)
{
    if (A->ndim < 2 || A->ndim > 4 || B->ndim != 2 || out->ndim != A->ndim) return false;
    const uint32_t nd = A->ndim;
    const uint32_t M = A->shape.dimension[nd - 2], K = A->shape.dimension[nd - 1];
    const uint32_t N = B->shape.dimension[1];
    if (B->shape.dimension[0] != K || out->shape.dimension[nd - 2] != M || out->shape.dimension[nd - 1] != N)
        return false;
    if (A->stride.dimension[nd - 1] != 1 || B->stride.dimension[1] != 1 || out->stride.dimension[nd - 1] != 1)
        return false;
    // Leading dimensions merge into one batch dimension when each steps by
    // the extent times the step of the next inner one that is not 1.
    uint64_t batch = 1, aB = 0, oB = 0;
    for (int k = (int)nd - 3; k >= 0; --k) {
        if (A->shape.dimension[k] != out->shape.dimension[k]) return false;
        if (A->shape.dimension[k] == 1) continue;
        if (batch == 1) {
            aB = A->stride.dimension[k];
            oB = out->stride.dimension[k];
        } else if (A->stride.dimension[k] != aB * batch || out->stride.dimension[k] != oB * batch) {
            return false;
        }
        batch *= A->shape.dimension[k];
    }
    if (batch > UINT32_MAX) return false;
    const uint64_t aRow = A->stride.dimension[nd - 2], oRow = out->stride.dimension[nd - 2];
    if (tall) {
        const uint32_t inShape[4] = {(uint32_t)batch, M, 1, K};
        const uint64_t inStride[4] = {aB, aRow, aRow, 1};
        const uint32_t outShape[4] = {(uint32_t)batch, M, 1, N};
        const uint64_t outStride[4] = {oB, oRow, oRow, 1};
        View4(&v->in, A, DL_NHWC, inShape, inStride);
        View4(&v->out, out, DL_NHWC, outShape, outStride);
    } else {
        const uint32_t inShape[4] = {(uint32_t)batch, 1, M, K};
        const uint64_t inStride[4] = {aB, aB, aRow, 1};
        const uint32_t outShape[4] = {(uint32_t)batch, 1, M, N};
        const uint64_t outStride[4] = {oB, oB, oRow, 1};
        View4(&v->in, A, DL_NHWC, inShape, inStride);
        View4(&v->out, out, DL_NHWC, outShape, outStride);
    }
    const uint32_t fShape[4] = {1, 1, K, N};
    const uint64_t fStride[4] = {(uint64_t)K * B->stride.dimension[0], (uint64_t)K * B->stride.dimension[0],
                                 B->stride.dimension[0], 1};
    View4(&v->filt, B, DL_HWIO, fShape, fStride);
    memset(&v->bias, 0, sizeof(v->bias));
    Conv2DParams& p = v->p;
    memset(&p, 0, sizeof(p));
    p.kerSizeH = 1;
    p.kerSizeW = 1;
    p.filters = N;
    p.strideH = 1;
    p.strideW = 1;
    p.dilationRateH = 1;
    p.dilationRateW = 1;
    p.pad = VALID;
    p.activation.type = None;
    p.groups = 1;
    return true;
}

struct MMCtx {
    ViewConv* conv;  // NULL: the reference product serves this layer
    bool tall;
};

}  // namespace

extern "C" {

void Init_MMviaConv2D(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->outputsNum < 1 || kernel->output == nullptr || kernel->output[0] == nullptr ||
        kernel->output[0]->dtype != DT_FLOAT16 || kernel->extra_resources != nullptr)
        return;
    if (kernel->inputsNum != 2)
        CV_FATAL("Function Matmul: supported only 2 input number, current input number: %d", (int)kernel->inputsNum);
    MMCtx* ctx = (MMCtx*)calloc(1, sizeof(MMCtx));
    if (ctx == nullptr) CV_FATAL("malloc error");
    kernel->extra_resources = ctx;
    const Tensor* A = kernel->input[0];
    const Tensor* B = kernel->input[1];
    const Tensor* out = kernel->output[0];
    CV_CHECK_PTR(A);
    CV_CHECK_PTR(B);
    if (A->dtype != DT_FLOAT16 || B->dtype != DT_FLOAT16) return;
    ViewConv* v = NewViewConv();
    // The wide form (one image row of M pixels) feeds the micro-kernels
    // sixteen pixels at a time; the tall form splits M into row blocks.
    for (bool tall : {false, true}) {
        if (!MatmulViews(v, A, B, out, tall)) break;
        if (Conv2D_opt(-1, 1, &v->k) == nullptr) {
            ctx->tall = tall;
            // B is an operand, not a constant: the convolution context (its
            // filter blocks) is rebuilt from the current data at every execution.
            ctx->conv = v;
            return;
        }
    }
    DestroyViewConv(v);
}

void Execute_MMviaConv2D(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const MMCtx* ctx = (const MMCtx*)kernel->extra_resources;
    if (kernel->outputsNum < 1 || kernel->output[0] == nullptr || kernel->output[0]->dtype != DT_FLOAT16 ||
        ctx == nullptr || ctx->conv == nullptr) {
        Execute_Matmul_ref(kernel);
        return;
    }
    ViewConv* v = ctx->conv;
    if (!MatmulViews(v, kernel->input[0], kernel->input[1], kernel->output[0], ctx->tall)) {
        Execute_Matmul_ref(kernel);
        return;
    }
    Init_Conv2D_opt(&v->k);
    Execute_Conv2D_opt(&v->k);
}

void Destroy_MMviaConv2D(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    MMCtx* ctx = (MMCtx*)kernel->extra_resources;
    if (ctx == nullptr) return;
    DestroyViewConv(ctx->conv);
    free(ctx);
    kernel->extra_resources = nullptr;
}

// One product through a temporary context.
void MMviaConv2D(const Tensor* A, const Tensor* B, Tensor* out)
{
    CV_CHECK_PTR(A);
    CV_CHECK_PTR(B);
    CV_CHECK_PTR(out);
    Tensor* ins[2] = {const_cast<Tensor*>(A), const_cast<Tensor*>(B)};
    Tensor* outs[1] = {out};
    NNKernel k;
    memset(&k, 0, sizeof(k));
    k.input = ins;
    k.output = outs;
    k.inputsNum = 2;
    k.outputsNum = 1;
    k.coresNumber = 1;
    Init_MMviaConv2D(&k);
    Execute_MMviaConv2D(&k);
    Destroy_MMviaConv2D(&k);
}

extern const NNKernelFn nn_kernel_fn_MMviaConv2D = {Execute_MMviaConv2D, Init_MMviaConv2D, nullptr,
                                                    Destroy_MMviaConv2D};

}  // extern "C"
