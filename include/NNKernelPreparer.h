/* Rewrites a layer's constant tensors into the element type and order that
 * its chosen half-precision kernel reads. Each preparer replaces the tensor
 * in the given slot; tensors without data are replaced by data-less ones. */
#ifndef CORVUS_NNKERNELPREPARER_H
#define CORVUS_NNKERNELPREPARER_H

#include <stdint.h>

#include "CorvusExport.h"
#include "Layers.h"
#include "Tensor.h"
#include "nn_kernel_list.h"

#ifdef __cplusplus
extern "C" {
#endif

CORVUS_EXPORT void PrepareConv2DLayerWeights(Tensor** filters, Tensor** biases, kfname kf);
CORVUS_EXPORT void PrepareConv1DLayerWeights(NNKernel* kernel);
CORVUS_EXPORT void PrepareDenseLayerWeights(Tensor** weights, Tensor** biases, kfname kf);
/* Output channels are blocked by 32 and the bias is pair-shuffled within
 * each block; a channel count that is not a multiple of 32 is fatal. */
CORVUS_EXPORT void PrepareConv2DTransposeLayerWeights(Tensor** weights, Tensor** biases, kfname kf);
CORVUS_EXPORT void PrepareNormalInstanceLayerWeights(Tensor** weights, Tensor** biases, kfname kf);
/* Mode 1 converts both inner tensors (or the one) to float16. */
CORVUS_EXPORT void PrepareLinearLayerWeights(Tensor** inner0, Tensor** inner1, uint32_t mode);
CORVUS_EXPORT void PrepareDepthWiseConv2DLayerWeights(Tensor** inner0, Tensor** inner1, uint32_t mode);
CORVUS_EXPORT void PrepareElementWiseLayerWeights(Tensor** inner0, Tensor** inner1, uint32_t mode);
CORVUS_EXPORT void PrepareL2NormalizationLayerWeights(Tensor** inner0, uint32_t mode);
/* Float16 DL_HWOI (H, W, O, I) into blocks of 32 output channels:
 * block, h, w, i outermost to innermost, the 32 channels contiguous. */
CORVUS_EXPORT void TensorDataConv2DTransposeConvert(Tensor* dst, const Tensor* src);

#ifdef __cplusplus
}
#endif

#endif
