// Fully connected (Dense) and per-channel scale and offset (Linear) kernels.
//
// Dense arithmetic: output[n][j] = sum over k in order of input[n][k] *
// weights[k][j], one fused multiply-add per step from 0; then the bias, then
// the fused activation (alpha 0). Linear: one fused multiply-add per element.
#define CORVUS_MODULE "Dense_ref"
#include <cmath>
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersDense.h"
#include "Report.h"
#include "common/Float32Temps.h"
#include "common/GemmBlock.h"
#include "VectorLevel.h"

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

constexpr int kTileRows = 4;
constexpr int kTileVectors = 4;  // 16 columns

// A single input row has no row reuse, so its product is bound by reading
// the matrix: the matrix is read front to back, kRowBlock rows at a time,
// while the sums of a chunk of columns wait in L1 between row blocks. Each
// sum still takes its multiply-adds in k order.
constexpr uint32_t kRowBlock = 8;
constexpr uint32_t kColumnChunk = 2048;  // 8 KiB of sums

void ApplyActivation(Tensor* output, uint32_t kind)
{
    const ActivationParams act = {kind, 0.0f};
    Activation_fl32_ref(output, output, &act);
}

// Rows k .. k + R - 1 of the matrix folded into the n sums at o (First:
// the sums start at 0). Written per element for the loop vectoriser.
template <int R, bool First>
inline void FoldRows(const float* __restrict x, const float* __restrict w, size_t sW, float* __restrict o, uint32_t n)
{
    float xs[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) xs[r] = x[r];
    for (uint32_t j = 0; j < n; ++j) {
        float a = First ? 0.0f : o[j];
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) a = fmaf(xs[r], w[r * sW + j], a);
        o[j] = a;
    }
}

}  // namespace

void Gen_mult_vect_by_mat(const float* vect, const float* mat, float* out, uint32_t K, uint32_t N,
                          uint32_t matRowStride)
{
    const size_t sW = matRowStride;
    for (uint32_t j0 = 0; j0 < N; j0 += kColumnChunk) {
        const uint32_t n = N - j0 < kColumnChunk ? N - j0 : kColumnChunk;
        float* o = out + j0;
        const float* w = mat + j0;
        if (K == 0) {
            for (uint32_t j = 0; j < n; ++j) o[j] = 0.0f;
            continue;
        }
        uint32_t k = 0;
        if (K >= kRowBlock) {
            FoldRows<kRowBlock, true>(vect, w, sW, o, n);
            k = kRowBlock;
        } else {
            FoldRows<1, true>(vect, w, sW, o, n);
            k = 1;
        }
        for (; k + kRowBlock <= K; k += kRowBlock) FoldRows<kRowBlock, false>(vect + k, w + k * sW, sW, o, n);
        for (; k < K; ++k) FoldRows<1, false>(vect + k, w + k * sW, sW, o, n);
    }
}

void Dense_fl32_ref(const Tensor* input, const Tensor* weights, const Tensor* bias, Tensor* output,
                    const DenseParams* params)
{
    const Tensor* indata = input;
    const Tensor* outdata = output;
    CV_CHECK_PTR(indata);
    CV_CHECK_PTR(outdata);
    CV_CHECK_PTR(params);
    if (weights == nullptr) CV_FATAL("Filters input is NULL");
    CV_CHECK(indata->ndim == 2);
    CV_CHECK(outdata->ndim == 2);
    CV_CHECK(weights->ndim == 2);
    if (input->dtype != DT_FLOAT32 || output->dtype != DT_FLOAT32 || weights->dtype != DT_FLOAT32 ||
        (bias != nullptr && bias->dtype != DT_FLOAT32))
        CV_FATAL("Dense_fl32_ref: input, weights, bias and output must be float32");
    const uint32_t N = input->shape.dimension[0], K = input->shape.dimension[1];
    const uint32_t units = output->shape.dimension[1];
    if (output->shape.dimension[0] != N || weights->shape.dimension[0] != K || weights->shape.dimension[1] != units)
        CV_FATAL("Dense_fl32_ref: shapes do not agree: input (%u, %u), weights (%u, %u), output (%u, %u)", N, K,
                 weights->shape.dimension[0], weights->shape.dimension[1], output->shape.dimension[0], units);
    if (bias != nullptr && (bias->ndim != 1 || bias->shape.dimension[0] != units))
        CV_FATAL("Dense_fl32_ref: bias must hold one value per unit (%u)", units);
    if (input->stride.dimension[1] != 1 || output->stride.dimension[1] != 1 || weights->stride.dimension[1] != 1)
        CV_FATAL("Dense_fl32_ref: the elements of a row must be adjacent");
    if ((uint64_t)N * units == 0) return;
    CV_CHECK_PTR(output->data);
    if (K > 0) {
        CV_CHECK_PTR(input->data);
        CV_CHECK_PTR(weights->data);
    }

    const float* in = (const float*)input->data;
    const float* w = (const float*)weights->data;
    float* out = (float*)output->data;
    const size_t sIn = input->stride.dimension[0], sW = weights->stride.dimension[0];
    const size_t sOut = output->stride.dimension[0];
    if (N == 1)
        Gen_mult_vect_by_mat(in, w, out, K, units, (uint32_t)sW);
    else
        corvus_gemm::Gemm<float, kTileRows, kTileVectors>(in, sIn, w, sW, out, sOut, N, K, units);

    if (bias != nullptr) {
        CV_CHECK_PTR(bias->data);
        const float* b = (const float*)bias->data;
        for (uint32_t n = 0; n < N; ++n) {
            float* row = out + n * sOut;
            for (uint32_t j = 0; j < units; ++j) row[j] += b[j];
        }
    }
    ApplyActivation(output, params->activation);
}

void Dense_fl16_ref(const Tensor* input, const Tensor* weights, const Tensor* bias, Tensor* output,
                    const DenseParams* params)
{
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    if (weights == nullptr) CV_FATAL("Filters input is NULL");
    const corvus::Float32Operand in32(input, true), w32(weights, true), b32(bias, true), out32(output, false);
    CORVUS_LEVEL_NS::Dense_fl32_ref(in32.get(), w32.get(), b32.get(), out32.get(), params);
    out32.Store(output);
}

void Execute_Dense_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->inputsNum < 1 || kernel->innerNum < 1) CV_FATAL("Dense: the kernel needs an input and weights");
    const Tensor* input = kernel->input[0];
    const Tensor* weights = kernel->inner[0];
    const DenseParams* params = (const DenseParams*)kernel->params;
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    // A bias is added whenever the slot holds one (the constructor fills it
    // exactly when the layer uses a bias).
    const Tensor* bias = kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    if (input->dtype == DT_FLOAT16)
        CORVUS_LEVEL_NS::Dense_fl16_ref(input, weights, bias, kernel->output[0], params);
    else if (input->dtype == DT_FLOAT32)
        CORVUS_LEVEL_NS::Dense_fl32_ref(input, weights, bias, kernel->output[0], params);
    else
        CV_FATAL("support only F16 or F32");
}

void Execute_Linear_fl32_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->inputsNum < 1 || kernel->innerNum < 2) CV_FATAL("Linear: the kernel needs an input, scale and offset");
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    const Tensor* scale = kernel->inner[0];
    const Tensor* offset = kernel->inner[1];
    const LinearParams* params = (const LinearParams*)kernel->params;
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(scale);
    CV_CHECK_PTR(offset);
    CV_CHECK_PTR(params);
    CV_CHECK(input->ndim == 4);
    if (input->dtype != DT_FLOAT32 || output->dtype != DT_FLOAT32 || scale->dtype != DT_FLOAT32 ||
        offset->dtype != DT_FLOAT32)
        CV_FATAL("Linear: input, output, scale and offset must be float32");
    if (output->ndim != 4) CV_FATAL("Linear: output must have 4 dimensions like the input, has %u", output->ndim);
    for (uint32_t k = 0; k < 4; ++k)
        if (output->shape.dimension[k] != input->shape.dimension[k])
            CV_FATAL("Linear: output shape differs from the input shape");
    const uint32_t C = input->shape.dimension[3];
    if (GetTensorSize(scale) != C || GetTensorSize(offset) != C)
        CV_FATAL("Linear: scale and offset must hold one value per channel (%u)", C);
    if (input->stride.dimension[3] != 1 || output->stride.dimension[3] != 1)
        CV_FATAL("Linear: channels must be adjacent");
    if (GetTensorSize(input) == 0) return;
    CV_CHECK_PTR(input->data);
    CV_CHECK_PTR(output->data);
    CV_CHECK_PTR(scale->data);
    CV_CHECK_PTR(offset->data);

    // Rows of C channel values. For dense tensors these are the input's data
    // size over its width stride, stepped by each tensor's width stride; the
    // walk over batch, row and column through each tensor's own strides is
    // the same for those and stays inside gapped tensors too.
    const float* in = (const float*)input->data;
    float* out = (float*)output->data;
    const float* s = (const float*)scale->data;
    const float* o = (const float*)offset->data;
    const uint32_t* d = input->shape.dimension;
    const uint32_t* si = input->stride.dimension;
    const uint32_t* so = output->stride.dimension;
    for (uint32_t n = 0; n < d[0]; ++n)
        for (uint32_t h = 0; h < d[1]; ++h)
            for (uint32_t w = 0; w < d[2]; ++w) {
                const float* x = in + (size_t)n * si[0] + (size_t)h * si[1] + (size_t)w * si[2];
                float* y = out + (size_t)n * so[0] + (size_t)h * so[1] + (size_t)w * so[2];
                for (uint32_t c = 0; c < C; ++c) y[c] = fmaf(x[c], s[c], o[c]);
            }
    ApplyActivation(output, params->activation);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, Gen_mult_vect_by_mat,
                      (const float* vect, const float* mat, float* out, uint32_t K, uint32_t N, uint32_t matRowStride),
                      (vect, mat, out, K, N, matRowStride))
CORVUS_LEVEL_DISPATCH(void, Dense_fl32_ref,
                      (const Tensor* input, const Tensor* weights, const Tensor* bias, Tensor* output,
                       const DenseParams* params),
                      (input, weights, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Dense_fl16_ref,
                      (const Tensor* input, const Tensor* weights, const Tensor* bias, Tensor* output,
                       const DenseParams* params),
                      (input, weights, bias, output, params))
CORVUS_LEVEL_DISPATCH(void, Execute_Dense_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_Linear_fl32_ref, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_Dense_ref = {Execute_Dense_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Linear_fl32_ref = {Execute_Linear_fl32_ref, nullptr, nullptr, nullptr};

#endif
