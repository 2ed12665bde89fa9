// Half-precision depthwise convolution through the scratch memory. The
// filter and bias are widened into the scratch block once; bands of input
// rows come in, output rows go back. Accumulation stays in float32 for the
// whole window and is rounded to half precision once. Configurations the
// kernel does not handle run the reference depthwise kernel instead.
#define CORVUS_MODULE "DWConvolution_opt"
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "Report.h"
#include "common/KernelScratch.h"
#include "nn_kernels/OptKernels.h"
#include "nn_kernels/dma/xydma.h"

namespace {

constexpr uint32_t kSlots = 4;
constexpr int32_t kProbe = -1;

void Widen(const Tensor* t, const void* src, float* dst, uint64_t n)
{
    if (t->dtype == DT_FLOAT16)
        float16_to_float32((const uint16_t*)src, dst, (uint32_t)n);
    else
        memcpy(dst, src, n * sizeof(float));
}

// The shared body of the tile kernels; the wrappers give it constant sizes
// so the window loops unroll.
inline __attribute__((always_inline)) void DwCore(const DwConvTile* t, uint32_t kH, uint32_t kW, uint32_t sH,
                                                  uint32_t sW)
{
    const uint32_t C = t->channels;
    float* acc = t->acc;
    float* x = t->wide;
    for (uint32_t r = 0; r < t->outRows; ++r) {
        // Window rows inside the input band.
        const int64_t top = (int64_t)(t->firstOutRow + r) * sH - t->padTop;
        const uint32_t khLo = top < 0 ? (uint32_t)(-top) : 0;
        const int64_t rowsLeft = (int64_t)t->inRowsTotal - top;
        const uint32_t khHi = rowsLeft < (int64_t)kH ? (rowsLeft > 0 ? (uint32_t)rowsLeft : 0) : kH;
        for (uint32_t ow = 0; ow < t->outCols; ++ow) {
            const int64_t left = (int64_t)ow * sW - t->padLeft;
            const uint32_t kwLo = left < 0 ? (uint32_t)(-left) : 0;
            const int64_t colsLeft = (int64_t)t->inCols - left;
            const uint32_t kwHi = colsLeft < (int64_t)kW ? (colsLeft > 0 ? (uint32_t)colsLeft : 0) : kW;
            for (uint32_t c = 0; c < C; ++c) acc[c] = t->bias[c];
            for (uint32_t kh = khLo; kh < khHi; ++kh) {
                const uint16_t* row = t->in + (top + kh - t->firstInRow) * (int64_t)t->inCols * C;
                for (uint32_t kw = kwLo; kw < kwHi; ++kw) {
                    float16_to_float32(row + (left + kw) * (int64_t)C, x, C);
                    const float* w = t->filter + ((uint64_t)kh * kW + kw) * C;
                    for (uint32_t c = 0; c < C; ++c) acc[c] = fmaf(x[c], w[c], acc[c]);
                }
            }
            float32_to_float16(acc, t->out + ((uint64_t)r * t->outCols + ow) * C, C);
        }
    }
}

}  // namespace

extern "C" {

void dwConvKxK(const DwConvTile* tile, uint32_t kH, uint32_t kW, uint32_t strideH, uint32_t strideW)
{
    DwCore(tile, kH, kW, strideH, strideW);
}
void dwConv3x3s1(const DwConvTile* tile) { DwCore(tile, 3, 3, 1, 1); }
void dwConv3x3s2(const DwConvTile* tile) { DwCore(tile, 3, 3, 2, 2); }
void dwConv5x5s1(const DwConvTile* tile) { DwCore(tile, 5, 5, 1, 1); }
void dwConv5x5s2(const DwConvTile* tile) { DwCore(tile, 5, 5, 2, 2); }
void dwConv7x7s1(const DwConvTile* tile) { DwCore(tile, 7, 7, 1, 1); }

// dwConvF16_opt on the caller's scratch block (null: one for this call).
static const char* DwConvOn(int32_t share, int32_t shares, NNKernel* kernel, KernelScratch* scratch)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const DepthWiseConv2DParams* p = (const DepthWiseConv2DParams*)kernel->params;
    CV_CHECK_PTR(p);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1 && kernel->innerNum >= 1);
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    const Tensor* filter = kernel->inner[0];
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(filter);
    if (input->dtype != DT_FLOAT16 || output->dtype != DT_FLOAT16) return "support only F16";
    if (p->dilationRateH != 1) return "p->dilationRateH != 1";
    if (p->dilationRateW != 1) return "p->dilationRateW != 1";
    const uint32_t nChan = input->ndim == 4 ? input->shape.dimension[3] : 0;
    if (nChan % 4 != 0) return "nChan not aligned by 4";

    const Tensor* mmBias = (p->useBias & 1) != 0 && kernel->innerNum >= 2 ? kernel->inner[1] : nullptr;
    if (mmBias == NULL) CV_FATAL("mmBias==NULL, expected not NULL value");
    if (!(p->depthMultiplier == 1)) CV_FATAL("p->depthMultiplier == 1: false, expected: true");
    if (!(filter->layout == DL_MHWI)) CV_FATAL("filter->layout == DL_MHWI: false, expected: true");
    if (!(output->layout == DL_NHWC)) CV_FATAL("output->layout == DL_NHWC: false, expected: true");
    if (!(input->layout == DL_NHWC)) CV_FATAL("input->layout == DL_NHWC: false, expected: true");
    if (!IsSerialData(input)) CV_FATAL("IsSerialData(input): false, expected: true");
    if (!IsSerialData(output)) CV_FATAL("IsSerialData(output): false, expected: true");
    if (!IsSerialData(filter)) CV_FATAL("IsSerialData(filter): false, expected: true");
    if (!(filter->shape.dimension[0] == 1)) CV_FATAL("filter->shape.dimension[0] == 1: false, expected: true");
    if (!(filter->shape.dimension[1] == p->kerSizeH))
        CV_FATAL("filter->shape.dimension[1] == p->kerSizeH: false, expected: true");
    if (!(filter->shape.dimension[2] == p->kerSizeW))
        CV_FATAL("filter->shape.dimension[2] == p->kerSizeW: false, expected: true");
    if (!(output->shape.dimension[0] == 1)) CV_FATAL("output->shape.dimension[0] == 1: false, expected: true");
    if (!(output->shape.dimension[3] == nChan)) CV_FATAL("output->shape.dimension[3] == nChan: false, expected: true");
    if (!(input->shape.dimension[0] == 1)) CV_FATAL("input->shape.dimension[0] == 1: false, expected: true");
    if (!(input->shape.dimension[3] == nChan)) CV_FATAL("input->shape.dimension[3] == nChan: false, expected: true");
    // Filter and bias must hold the values the loops read.
    if ((filter->dtype != DT_FLOAT16 && filter->dtype != DT_FLOAT32) ||
        (mmBias->dtype != DT_FLOAT16 && mmBias->dtype != DT_FLOAT32) || filter->shape.dimension[3] != nChan ||
        GetTensorSize(mmBias) < nChan || !IsSerialData(mmBias))
        CV_FATAL("dwConvF16_opt: filter {1, kH, kW, %u} and bias {%u} of float16 or float32 expected", nChan, nChan);
    if (p->strideH == 0 || p->strideW == 0) CV_FATAL("dwConvF16_opt: strides must be positive");

    const uint32_t H = input->shape.dimension[1], W = input->shape.dimension[2];
    const uint32_t outH = output->shape.dimension[1], outW = output->shape.dimension[2];
    const uint32_t kH = p->kerSizeH, kW = p->kerSizeW;
    // Scratch plan: filter and bias (float32), one float32 accumulator and
    // one widened input row of channels, then bands of input and output rows.
    int64_t xyFree = xySize - kSlots * xyDmaDescBytes;
    const int64_t filtBytes = (int64_t)kH * kW * nChan * 4 + xyAlign;
    const int64_t biasBytes = (int64_t)nChan * 4 + xyAlign;
    const int64_t vecBytes = 2 * ((int64_t)nChan * 4 + xyAlign);
    if (filtBytes > xyFree) CV_FATAL("can't alloc xyFilt");
    xyFree -= filtBytes;
    if (biasBytes > xyFree) CV_FATAL("can't alloc xyBias");
    xyFree -= biasBytes + vecBytes;
    const int64_t inRowBytes = (int64_t)W * nChan * 2, outRowBytes = (int64_t)outW * nChan * 2;
    // One output row needs kH input rows (fewer when the image is shorter).
    auto bandBytes = [&](int64_t rows) {
        int64_t inRows = (rows - 1) * p->strideH + kH;
        if (inRows > H) inRows = H;
        return inRows * inRowBytes + rows * outRowBytes + 2 * xyAlign;
    };
    if (xyFree < 0 || bandBytes(1) > xyFree || inRowBytes > 0x7fffffff || outRowBytes > 0x7fffffff)
        return "can't split";
    if (share == kProbe || share >= shares || GetTensorSize(output) == 0) return nullptr;
    CV_CHECK_PTR(input->data);
    CV_CHECK_PTR(output->data);
    CV_CHECK_PTR(filter->data);
    CV_CHECK_PTR(mmBias->data);
    int64_t band = 1;
    while (band < outH && bandBytes(band + 1) <= xyFree) ++band;

    const ScratchBlock scratchBlock(scratch, kXyScratchBytes, "DWConvolution_opt");
    uint8_t* block = scratchBlock.data();
    uint8_t* slots = block + xySize - kSlots * xyDmaDescBytes;
    float* xyFilt = (float*)xyCarve(slots, (uint64_t)filtBytes - xyAlign, slots);
    float* xyBias = (float*)xyCarve(xyFilt, (uint64_t)biasBytes - xyAlign, xyFilt);
    float* acc = (float*)xyCarve(xyBias, (uint64_t)nChan * 4, xyBias);
    float* wide = (float*)xyCarve(acc, (uint64_t)nChan * 4, acc);
    Widen(filter, filter->data, xyFilt, (uint64_t)kH * kW * nChan);
    Widen(mmBias, mmBias->data, xyBias, nChan);

    void (*fixed)(const DwConvTile*) = nullptr;
    if (kH == 3 && kW == 3 && p->strideH == 1 && p->strideW == 1) fixed = dwConv3x3s1;
    if (kH == 3 && kW == 3 && p->strideH == 2 && p->strideW == 2) fixed = dwConv3x3s2;
    if (kH == 5 && kW == 5 && p->strideH == 1 && p->strideW == 1) fixed = dwConv5x5s1;
    if (kH == 5 && kW == 5 && p->strideH == 2 && p->strideW == 2) fixed = dwConv5x5s2;
    if (kH == 7 && kW == 7 && p->strideH == 1 && p->strideW == 1) fixed = dwConv7x7s1;

    const uint16_t* in = (const uint16_t*)input->data;
    uint16_t* out = (uint16_t*)output->data;
    for (uint32_t oh0 = 0; oh0 < outH; oh0 += (uint32_t)band) {
        const uint32_t rows = outH - oh0 < band ? outH - oh0 : (uint32_t)band;
        int64_t first = (int64_t)oh0 * p->strideH - p->padTop;
        int64_t last = (int64_t)(oh0 + rows - 1) * p->strideH - p->padTop + kH;
        if (first < 0) first = 0;
        if (last > H) last = H;
        if (last < first) last = first;
        uint16_t* mmOut = out + (uint64_t)oh0 * outW * nChan;
        const uint16_t* mmIn = in + (uint64_t)first * W * nChan;
        uint8_t* xyOut = (uint8_t*)xyCarve(wide, (uint64_t)rows * outRowBytes, mmOut);
        uint8_t* xyIn = (uint8_t*)xyCarve(xyOut, (uint64_t)(last - first) * inRowBytes, mmIn);
        if (xyIn < block) CV_FATAL("xyFree >= 0: false, expected: true");
        xyDmaPrepare(slots, kSlots);
        if (last > first)
            xyDmaRun(xyDmaRead64(slots, xyIn, (int32_t)inRowBytes, mmIn, (int32_t)inRowBytes, (int32_t)inRowBytes,
                                 (int32_t)(last - first)));
        DwConvTile t;
        t.in = (const uint16_t*)(const void*)xyIn;
        t.out = (uint16_t*)(void*)xyOut;
        t.filter = xyFilt;
        t.bias = xyBias;
        t.acc = acc;
        t.wide = wide;
        t.channels = nChan;
        t.inCols = W;
        t.inRowsTotal = H;
        t.firstInRow = (uint32_t)first;
        t.firstOutRow = oh0;
        t.outRows = rows;
        t.outCols = outW;
        t.padTop = p->padTop;
        t.padLeft = p->padLeft;
        if (fixed != nullptr)
            fixed(&t);
        else
            dwConvKxK(&t, kH, kW, p->strideH, p->strideW);
        xyDmaRun(xyDmaWrite64(slots, mmOut, (int32_t)outRowBytes, xyOut, (int32_t)outRowBytes, (int32_t)outRowBytes,
                              (int32_t)rows));
    }
    return nullptr;
}

const char* dwConvF16_opt(int32_t share, int32_t shares, NNKernel* kernel)
{
    return DwConvOn(share, shares, kernel, nullptr);
}

}  // extern "C"

namespace {

// The resources of a record initialised by this kernel: the reference
// kernel's (its views, for the configurations that fall back to it) and the
// scratch block. A record initialised by the reference kernel itself keeps
// its views alone; the tag tells the two apart (the views array starts with
// a tensor pointer, never the tag's address).
const char kOwnTag = 0;
struct DwOptCtx {
    const void* tag;
    void* ref;
    KernelScratch* scratch;
};

DwOptCtx* Own(const NNKernel* kernel)
{
    DwOptCtx* ctx = (DwOptCtx*)kernel->extra_resources;
    return ctx != nullptr && ctx->tag == &kOwnTag ? ctx : nullptr;
}

// Runs a reference function on the record with the reference's own resources in place.
void OnRef(NNKernel* kernel, DwOptCtx* ctx, void (*fn)(NNKernel*))
{
    kernel->extra_resources = ctx->ref;
    fn(kernel);
    ctx->ref = kernel->extra_resources;
    kernel->extra_resources = ctx;
}

void Init_DWConvolution_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    DwOptCtx* ctx = Own(kernel);
    if (ctx == nullptr) {
        ctx = (DwOptCtx*)calloc(1, sizeof(DwOptCtx));
        CV_CHECK_PTR(ctx);
        ctx->tag = &kOwnTag;
        ctx->ref = kernel->extra_resources;
        kernel->extra_resources = ctx;
    }
    OnRef(kernel, ctx, Init_DWConvolution_ref);
    if (ctx->scratch == nullptr) ctx->scratch = CreateKernelScratch(kXyScratchBytes, "DWConvolution_opt");
}

void Destroy_DWConvolution_opt(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    DwOptCtx* ctx = Own(kernel);
    if (ctx != nullptr) kernel->extra_resources = ctx->ref;
    Destroy_DWConvolution_ref(kernel);
    if (ctx == nullptr) return;
    DestroyKernelScratch(ctx->scratch);
    free(ctx);
}

}  // namespace

extern "C" {

void Execute_DWConvolution_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    DwOptCtx* ctx = Own(kernel);
    if (DwConvOn(0, 1, kernel, ctx != nullptr ? ctx->scratch : nullptr) != nullptr) {
        if (ctx != nullptr)
            OnRef(kernel, ctx, Execute_DWConvolution_ref);
        else
            Execute_DWConvolution_ref(kernel);
        return;
    }
    const DepthWiseConv2DParams* p = (const DepthWiseConv2DParams*)kernel->params;
    if (p->activation != None && p->activation != Linear) {
        ActivationParams act = {p->activation, 0.0f};
        Tensor* io[1] = {kernel->output[0]};
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

extern const NNKernelFn nn_kernel_fn_DWConvolution_opt = {Execute_DWConvolution_opt, Init_DWConvolution_opt, nullptr,
                                                          Destroy_DWConvolution_opt};

}  // extern "C"
