/* Normalization: records, constructors and kernels. */
#ifndef CORVUS_LAYERSNORMALIZATION_H
#define CORVUS_LAYERSNORMALIZATION_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Record of BatchNormalization, InstanceNormalization and LayerNorm.
 * axis: first normalized axis (ndim - 1 at construction; LayerNorm
 * normalizes axis ... ndim - 1). center/scale: the batch-normalisation
 * weights include a shift / a scale. InstanceNormalization sets only
 * epsilon. */
typedef struct NormalizationParams {
    uint32_t axis;
    bool center;
    bool scale;
    float epsilon;
} NormalizationParams;

/* L2Normalization: the initial value of the per-channel scale; the kernel
 * reads the scale from inner[0] only. */
typedef struct L2NormParams {
    float gammaInit;
} L2NormParams;

/* ---- Constructors ----------------------------------------------------- */
/* Exactly one of inputLayer and inputTensor is given (the layer owns a given
 * tensor); name NULL generates one. The output has the input's type, layout
 * and shape. Inner tensors are one-dimensional (DL_I) with one value per
 * element of the input's last dimension and get their data later (weights
 * file or InitModel). */

/* Any rank. inner[0] multiplier m, inner[1] offset a (the input's type):
 * y = x * m + a, folded from the statistics by the weights loader. */
CORVUS_EXPORT Layer* AddBatchNormalizationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, bool scale,
                                                bool center, float epsilon);
/* 4-D NHWC input. inner[0]: gamma per channel, float32. */
CORVUS_EXPORT Layer* AddL2NormalizationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, float gammaInit);
/* 3-D [N, L, C] or 4-D [N, H, W, C] input. inner[0] gamma, inner[1] beta. */
CORVUS_EXPORT Layer* AddInstanceNormalizationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name,
                                                   float epsilon);
/* Any rank. inner[0] gamma, inner[1] beta. */
CORVUS_EXPORT Layer* AddLayerNormLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, float epsilon);

/* ---- Kernels ---------------------------------------------------------- */

/* Rows of C = last-dimension values: out[c] = fma(x[c], m[c], a[c]). */
CORVUS_EXPORT void BatchNormalization_fl32_ref(Tensor* output, const Tensor* input, const Tensor* multiplier,
                                               const Tensor* offset);
/* Per NHWC pixel: x * (1 / sqrt(max(sum x^2, 1e-6))) * gamma[c]. */
CORVUS_EXPORT void L2Normalization_fl32_ref(Tensor* output, const Tensor* input, const Tensor* gamma);
/* Per sample and channel over the spatial positions, then fma(., gamma, beta). */
CORVUS_EXPORT void InstanceNormalization_fl32_ref(Tensor* output, const Tensor* input, const Tensor* gamma,
                                                  const Tensor* beta, const NormalizationParams* params);
/* (x - mean) / sqrt(var + epsilon) over axes params->axis ... ndim - 1,
 * without scale and shift. float32 or float16 tensors (in may be out). */
CORVUS_EXPORT void layernorm_ref(Tensor* output, const Tensor* input, const NormalizationParams* params);
/* layernorm_ref, then output * gamma + beta broadcast over the trailing axes. */
CORVUS_EXPORT void LayerNorm_ref(Tensor* output, const Tensor* input, const Tensor* gamma, const Tensor* beta,
                                 const NormalizationParams* params);

/* float16 tensors go through float32 temporaries. */
CORVUS_EXPORT void Execute_BatchNormalization_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_L2Normalization_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_InstanceNormalization_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_LayerNorm_ref(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
