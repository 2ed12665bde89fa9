/* Pooling: records, constructors and kernels.
 *
 * Windows slide over channels-last tensors ({N, H, W, C} or {N, L, C}) and
 * reduce to one value per channel. Output sizes and pads come from a
 * PaddingStruct computed with the functions of Padding.h. */
#ifndef CORVUS_LAYERSPOOLING_H
#define CORVUS_LAYERSPOOLING_H

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

/* How window cells outside the input are treated (`paddingMode` words). */
#define POOL_PADDING_ZEROS 0  /* cells inside the pads count as zeros */
#define POOL_PADDING_IGNORE 1 /* cells outside the input are skipped */
/* Any other value: a window reaching into the pads is an error. */

typedef struct Pool2DParams {
    uint32_t poolSizeH;
    uint32_t poolSizeW;
    uint32_t strideH;
    uint32_t strideW;
    uint32_t padTop;
    uint32_t padLeft;
    uint32_t padBottom;
    uint32_t padRight;
    uint32_t ceilMode;    /* the rounding the output size was computed with; not read by kernels */
    PaddingMode pad;      /* VALID when all four pads are 0, otherwise 1 */
    uint32_t paddingMode; /* POOL_PADDING_ZEROS, POOL_PADDING_IGNORE or anything else (error) */
} Pool2DParams;

typedef struct Pool1DParams {
    uint32_t poolSize;
    uint32_t stride;
    uint32_t padBegin;
    uint32_t padEnd;
    uint32_t ceilMode; /* stored, not read */
    uint32_t paddingMode;
} Pool1DParams;

typedef struct GlobalAvPool2DParams {
    uint32_t layout;   /* the input's layout (DL_NHWC) */
    uint32_t keepDims; /* non-zero: output {N, 1, 1, C}; zero: {N, C} */
} GlobalAvPool2DParams;

/* Constructors. Exactly one of inputLayer and inputTensor is given; a given
 * tensor is owned by the new layer. name may be null (generated name). */
CORVUS_EXPORT Layer* AddMaxPool2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                       uint32_t poolSizeH, uint32_t poolSizeW, uint32_t strideH, uint32_t strideW,
                                       uint32_t ceilMode, const PaddingStruct* padding, uint32_t paddingMode);
CORVUS_EXPORT Layer* AddAveragePool2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                           uint32_t poolSizeH, uint32_t poolSizeW, uint32_t strideH, uint32_t strideW,
                                           uint32_t ceilMode, const PaddingStruct* padding, uint32_t paddingMode);
CORVUS_EXPORT Layer* AddMaxPooling1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t poolSize,
                                          uint32_t stride, uint32_t ceilMode, PaddingStruct padding,
                                          uint32_t paddingMode);
CORVUS_EXPORT Layer* AddAveragePooling1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name,
                                              uint32_t poolSize, uint32_t stride, uint32_t ceilMode,
                                              PaddingStruct padding, uint32_t paddingMode);
/* op is OP_MaxPool1D or OP_AveragePool1D. */
CORVUS_EXPORT Layer* AddPool1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t poolSize,
                                    uint32_t stride, uint32_t ceilMode, PaddingStruct padding, uint32_t paddingMode,
                                    LayerOpType op);
CORVUS_EXPORT Layer* AddGlobalAveragePool2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name,
                                                 DataLayout layout, uint8_t keepDims);
/* Maximum over every dimension but the first and the last. */
CORVUS_EXPORT Layer* AddGlobalMaxPool(Layer* inputLayer, Tensor* inputTensor, const char* name);

/* Reference kernels: execute functions check the kernel record, then call
 * the work functions, which only compute. */
CORVUS_EXPORT void Execute_MaxPool2D_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_AveragePool2D_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_GlobalAveragePool2D_ref(NNKernel* kernel);
CORVUS_EXPORT void ExecuteAveragePooling1D_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_GlobalMaxPool_ref(NNKernel* kernel);

CORVUS_EXPORT void MaxPool2D_fl32_ref(Tensor* output, const Tensor* input, const Pool2DParams* params);
CORVUS_EXPORT void AveragePool2D_fl32_ref(Tensor* output, const Tensor* input, const Pool2DParams* params);
CORVUS_EXPORT void AveragePooling1D_fl32_ref(Tensor* output, const Tensor* input, const Pool1DParams* params);
/* Input {N, H, W, C}; output {N, 1, 1, C} or {N, C}. */
CORVUS_EXPORT void GlobalAveragePool2D_fl32_ref(Tensor* output, const Tensor* input);
CORVUS_EXPORT void GlobalMaxPool_fl32_ref(Tensor* output, const Tensor* input);
CORVUS_EXPORT void GlobalMaxPool_fl16_ref(Tensor* output, const Tensor* input);

/* Stand-in for the optimised one-dimensional max pooling (float32 and
 * float16); the optimised kernel will replace it. */
CORVUS_EXPORT void Execute_MaxPool1D_opt(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
