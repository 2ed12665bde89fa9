/* One-, three-dimensional and transposed convolutions: records, constructors
 * and kernels.
 *
 * Tensors are channels-last: {N, L, C} (Conv1D, Conv1DTranspose),
 * {N, D, H, W, C} (Conv3D), {N, H, W, C} (Conv2DTranspose). Output sizes and
 * pads come from a PaddingStruct (Padding.h; ComputePaddingStructTransposed
 * for the transposed forms). Filters and biases are float32 inner tensors
 * filled from the weights file. With G groups, output channel g*Cg_out + co
 * reads input channels g*Cg_in ... g*Cg_in + Cg_in - 1 (Cg = C / G). */
#ifndef CORVUS_LAYERSCONVOLUTIONND_H
#define CORVUS_LAYERSCONVOLUTIONND_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Padding.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Conv1DParams {
    uint32_t kernel_size;
    uint32_t stride;
    uint32_t dilation;
    uint32_t padBegin; /* begin0 */
    uint32_t padEnd;   /* end0 */
    uint32_t groups;
    uint8_t useBias;
    ActivationParams activation;
} Conv1DParams;

typedef struct Conv3DParams {
    uint32_t kerSizeD;
    uint32_t kerSizeH;
    uint32_t kerSizeW;
    uint32_t strideD;
    uint32_t strideH;
    uint32_t strideW;
    uint32_t dilationRateD;
    uint32_t dilationRateH;
    uint32_t dilationRateW;
    uint32_t padTop;    /* begin1: height */
    uint32_t padBottom; /* end1 */
    uint32_t padFront;  /* begin0: depth */
    uint32_t padBack;   /* end0 */
    uint32_t padLeft;   /* begin2: width */
    uint32_t padRight;  /* end2 */
    uint32_t groups;
    uint32_t filters;
    uint8_t useBias;
    uint32_t paddingMode; /* PaddingMode the pads were computed with; kernels use the pads */
    ActivationParams activation;
} Conv3DParams;

typedef struct Conv2DTransposeParams {
    uint32_t kerSizeH;
    uint32_t kerSizeW;
    uint32_t filters; /* output channels */
    uint32_t strideH;
    uint32_t strideW;
    uint32_t dilationRateH;
    uint32_t dilationRateW;
    uint32_t padTop;  /* begin0 */
    uint32_t padLeft; /* begin1 */
    uint8_t useBias;
    uint32_t groups;
    ActivationParams activation;
} Conv2DTransposeParams;

typedef struct Conv1DTransposeParams {
    uint32_t stride;
    uint32_t kernel_size;
    uint32_t dilation;
    uint32_t padBegin; /* begin0 */
    uint8_t useBias;
    uint32_t groups;
    ActivationParams activation;
} Conv1DTransposeParams;

/* ---- Constructors ------------------------------------------------------
 * Exactly one of inputLayer and inputTensor is given (a given tensor is owned
 * by the new layer); name may be null (generated name). inner[0] is the
 * filter, inner[1] the bias (only with useBias); both float32, without data.
 *
 * Conv1D: input {N, L, C_in}; output {N, outputSize[0], filters} of the
 * input's type and layout; filter {kernel_size, C_in/groups, filters}, bias
 * {filters}. */
CORVUS_EXPORT Layer* AddConv1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t filters,
                                    uint32_t kernel_size, uint32_t stride, uint32_t dilation, uint32_t groups,
                                    const PaddingStruct* padding, bool useBias, ActivationParams activation);
/* Conv3D: input {N, D, H, W, C_in}; output {N, outputSize[0..2], filters};
 * filter {kerSizeD, kerSizeH, kerSizeW, C_in/groups, filters}, bias {filters}.
 * PaddingStruct dimensions 0, 1, 2 are depth, height, width. */
CORVUS_EXPORT Layer* AddConv3DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t filters,
                                    uint32_t groups, uint32_t kerSizeD, uint32_t kerSizeH, uint32_t kerSizeW,
                                    uint32_t strideD, uint32_t strideH, uint32_t strideW, uint32_t dilationRateD,
                                    uint32_t dilationRateH, uint32_t dilationRateW, const PaddingStruct* padding,
                                    bool useBias, uint32_t paddingMode, ActivationParams activation);
/* Conv2DTranspose: input {N, H, W, C_in} (DL_NONE takes `layout`, which must
 * be DL_NHWC); output {N, outputSize[0], outputSize[1], filters}, DL_NHWC;
 * filter {kerSizeH, kerSizeW, filters/groups, C_in} (DL_HWOI), bias {filters}. */
CORVUS_EXPORT Layer* AddConv2DTransposeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name,
                                             DataLayout layout, uint32_t filters, uint32_t kerSizeH, uint32_t kerSizeW,
                                             uint32_t strideH, uint32_t strideW, uint32_t dilationRateH,
                                             uint32_t dilationRateW, const PaddingStruct* padding, uint32_t groups,
                                             bool useBias, ActivationParams activation);
/* Conv1DTranspose: `filters` output channels per group; output
 * {N, outputSize[0], filters*groups}, DL_NONE; filter {kernel_size, filters,
 * C_in}, bias {filters}. */
CORVUS_EXPORT Layer* AddConv1DTransposeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t filters,
                                             uint32_t kernel_size, uint32_t dilation, uint32_t stride, uint32_t groups,
                                             const PaddingStruct* padding, bool useBias, ActivationParams activation);

/* ---- Kernels -----------------------------------------------------------
 * Work functions on float32 tensors (bias null or ignored without useBias);
 * each ends with the fused activation applied in place. Forward forms skip
 * taps outside the input, transposed forms skip targets outside the output.
 *
 * Conv1D: every output starts at its bias (or 0); per tap (in order) and per
 * input channel ci (outer) the outputs take out = fma(in[ci], w[k][ci][co], out).
 * Conv3D: outputs start at 0; per tap (kd, kh, kw in order) a partial sum
 * over the group's input channels (fused multiply-adds from channel 0) is
 * added; the bias is added last.
 * Conv2DTranspose / Conv1DTranspose: outputs start at 0; for every input
 * position (in order) and tap, the dot product of the input channels with
 * filter[tap][co][...] (fused multiply-adds from channel 0) is added to the
 * output position the tap reaches; the bias is added last. */
CORVUS_EXPORT void Conv1D_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                                   const Conv1DParams* params);
CORVUS_EXPORT void Conv3D_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                                   const Conv3DParams* params);
CORVUS_EXPORT void Conv2DTranspose_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias,
                                            Tensor* output, const Conv2DTransposeParams* params);
CORVUS_EXPORT void Conv1DTranspose_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias,
                                            Tensor* output, const Conv1DTransposeParams* params);

/* Execute functions: tensors that are not float32 go through float32
 * temporaries. */
CORVUS_EXPORT void ExecuteConv1D_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Conv3D_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Conv2Dtranspose_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void ExecuteConv1dTranspose_fl32_ref(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
