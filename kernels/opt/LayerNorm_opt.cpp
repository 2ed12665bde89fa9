// Layer normalisation. Rows of the last dimension with dense scale and
// offset vectors go through the scratch memory one band of rows at a time;
// anything else is normalised over its axes directly. Either way every value
// is computed as the reference computes it: sums and fused sums of squares
// in row order, a single-pass variance, then the scale product and the
// offset sum rounded separately, half precision rounded once at the end.
#define CORVUS_MODULE "LayerNorm_opt"
#include <cmath>
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersNormalization.h"
#include "Report.h"
#include "common/KernelScratch.h"
#include "nn_kernels/OptKernels.h"
#include "nn_kernels/dma/xydma.h"
#include "common/Float32Temps.h"

namespace {

constexpr uint32_t kSlots = 8;                                 // descriptors at the top of the block
constexpr int64_t kUsable = xySize - kSlots * xyDmaDescBytes;  // 523888 bytes below them

// One normalised row in float32: statistics, then (x - mean) * r, times the
// scale, plus the offset.
void NormaliseRow(float* y, const float* x, uint32_t n, float inv, float epsilon, const float* g, const float* b)
{
    float S = 0.0f, Q = 0.0f;
    for (uint32_t i = 0; i < n; ++i) {
        S += x[i];
        Q = fmaf(x[i], x[i], Q);
    }
    const float mean = S / (float)n;
    const float v = fmaf(inv, Q, -(mean * mean)) + epsilon;
    const float r = 1.0f / sqrtf(v);
    for (uint32_t i = 0; i < n; ++i) {
        const float t = (x[i] - mean) * r;
        const float scaled = t * g[i];
        y[i] = scaled + b[i];
    }
}

inline void Widen(const void* src, float* dst, uint32_t n, bool half)
{
    if (half)
        float16_to_float32((const uint16_t*)src, dst, n);
    else
        memcpy(dst, src, (size_t)n * sizeof(float));
}

// Scratch row step for rows of rowBytes that agrees with mmStep modulo 16.
inline int64_t XyStep(int64_t rowBytes, int64_t mmStep)
{
    const int64_t m = xyAlign;
    return rowBytes + ((((mmStep - rowBytes) % m) + m) % m);
}

// Normalises every row of the last dimension (dense input and output of
// equal shape, scale and offset of the row's length).
void layernorm16_dma(Tensor* output, const Tensor* input, const Tensor* gamma, const Tensor* beta, float epsilon,
                     KernelScratch* scratch)
{
    const uint32_t nd = input->ndim, n = input->shape.dimension[nd - 1];
    const bool half = input->dtype == DT_FLOAT16;
    const int64_t es = half ? 2 : 4, rowBytes = (int64_t)n * es;
    if (rowBytes + 16 > kUsable) CV_FATAL("too big lines for xyram");
    uint64_t rows = 1;
    for (uint32_t k = 0; k + 1 < nd; ++k) rows *= input->shape.dimension[k];
    if (rows == 0 || n == 0) return;
    float inv = 1.0f / (float)n;

    const ScratchBlock scratchBlock(scratch, kXyScratchBytes, "LayerNorm_opt");
    uint8_t* block = scratchBlock.data();
    uint8_t* slots = block + kUsable;
    // Scale and offset widened once; a band of input rows is normalised in
    // place in the scratch memory.
    std::vector<float> g(n), b(n), x(n), y(n);
    Widen(gamma->data, g.data(), n, half);
    Widen(beta->data, b.data(), n, half);
    const int64_t step = XyStep(rowBytes, rowBytes);
    const uint64_t band = (uint64_t)((kUsable - xyAlign) / step);
    if (band == 0) CV_FATAL("can't alloc xyram");
    const uint8_t* in = (const uint8_t*)input->data;
    uint8_t* out = (uint8_t*)output->data;
    for (uint64_t r0 = 0; r0 < rows; r0 += band) {
        const uint64_t count = rows - r0 < band ? rows - r0 : band;
        const uint8_t* mmIn = in + r0 * rowBytes;
        uint8_t* xy = (uint8_t*)xyCarve(slots, count * step, mmIn);
        if (xy < block) CV_FATAL("can't alloc xyram");
        xyDmaPrepare(slots, kSlots);
        xyDmaRun(xyDmaRead64(slots, xy, (int32_t)step, mmIn, (int32_t)rowBytes, (int32_t)rowBytes, (int32_t)count));
        for (uint64_t r = 0; r < count; ++r) {
            uint8_t* row = xy + r * step;
            Widen(row, x.data(), n, half);
            NormaliseRow(y.data(), x.data(), n, inv, epsilon, g.data(), b.data());
            if (half)
                float32_to_float16(y.data(), (uint16_t*)(void*)row, n);
            else
                memcpy(row, y.data(), (size_t)rowBytes);
        }
        xyDmaRun(xyDmaWrite64(slots, out + r0 * rowBytes, (int32_t)rowBytes, xy, (int32_t)step, (int32_t)rowBytes,
                              (int32_t)count));
    }
}

bool SameShape(const Tensor* a, const Tensor* b)
{
    if (a->ndim != b->ndim) return false;
    for (uint32_t k = 0; k < a->ndim && k < MAX_NDIM_VALUE; ++k)
        if (a->shape.dimension[k] != b->shape.dimension[k]) return false;
    return true;
}

bool RowVector(const Tensor* t, uint32_t n)
{
    return t != nullptr && t->ndim == 1 && t->shape.dimension[0] == n && IsSerialData(t) &&
           (t->data != nullptr || n == 0);
}

void LayerNormOn(Tensor* output, const Tensor* input, const Tensor* gamma, const Tensor* beta,
                 const NormalizationParams* params, KernelScratch* scratch)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    if (output->dtype != input->dtype || (gamma != nullptr && gamma->dtype != input->dtype) ||
        (beta != nullptr && beta->dtype != input->dtype))
        CV_FATAL("all types must be same");
    if (params == nullptr || input->ndim < 1 || input->ndim > MAX_NDIM_VALUE || params->axis >= input->ndim ||
        !SameShape(input, output))
        CV_FATAL("bad NormalizationParams");
    if (input->dtype != DT_FLOAT32 && input->dtype != DT_FLOAT16) CV_FATAL("support only F16 or F32");
    if (GetTensorSize(output) == 0) return;
    CV_CHECK_PTR(input->data);
    CV_CHECK_PTR(output->data);
    const uint32_t n = input->shape.dimension[input->ndim - 1];
    if (params->axis == input->ndim - 1 && RowVector(gamma, n) && RowVector(beta, n) && IsSerialData(input) &&
        IsSerialData(output)) {
        layernorm16_dma(output, input, gamma, beta, params->epsilon, scratch);
        return;
    }
    // General path: float32 views of half tensors, then the normalisation
    // over the trailing axes and the broadcast scale and offset.
    const corvus::Float32Operand in(input, true), out(output, false);
    const corvus::Float32Operand g(gamma, true), b(beta, true);
    LayerNorm_ref(out.get(), in.get(), g.get(), b.get(), params);
    out.Store(output);
}

void InitLayerNorm(NNKernel* kernel) { InitKernelScratch(kernel, kXyScratchBytes, "LayerNorm_opt"); }

}  // namespace

extern "C" {

void LayerNorm_opt(Tensor* output, const Tensor* input, const Tensor* gamma, const Tensor* beta,
                   const NormalizationParams* params)
{
    LayerNormOn(output, input, gamma, beta, params, nullptr);
}

void Execute_LayerNorm_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function LayerNorm: Kernel pointer is null");
    if (kernel->inputsNum < 1 || kernel->input == nullptr || kernel->outputsNum < 1 || kernel->output == nullptr)
        CV_FATAL("Function LayerNorm: the layer needs one input and one output");
    const Tensor* gamma = kernel->innerNum > 0 && kernel->inner != nullptr ? kernel->inner[0] : nullptr;
    const Tensor* beta = kernel->innerNum > 1 && kernel->inner != nullptr ? kernel->inner[1] : nullptr;
    LayerNormOn(kernel->output[0], kernel->input[0], gamma, beta, (const NormalizationParams*)kernel->params,
                KernelScratchOf(kernel));
}

extern const NNKernelFn nn_kernel_fn_LayerNorm_opt = {Execute_LayerNorm_opt, InitLayerNorm, nullptr,
                                                      ReleaseKernelScratch};

}  // extern "C"
