/* Layer fusion: pairs of layers merged into one before a model's order is
 * rebuilt. */
#ifndef CORVUS_LAYERSFUSION_H
#define CORVUS_LAYERSFUSION_H

#include <stdint.h>

#include "CorvusExport.h"
#include "Layers.h"
#include "Model.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Re-types depthwise convolutions, fuses Conv+BatchNormalization,
 * Sigmoid x Mul, ZeroPadding2D into the next convolution or max pooling and
 * activations into their producer; output entries of io are redirected.
 * Removed layers are destroyed. Returns how many were removed. */
CORVUS_EXPORT uint32_t FusionLayers(Layer** layers, uint32_t count, IOLayers* io);
/* 1 when fewer than two layers are given or every layer is linked (inputs
 * need consumers, outputs need producers, others both); 0 otherwise. */
CORVUS_EXPORT uint32_t CheckIfLayersConnected(Layer** layers, uint32_t count, Layer** inputs, uint32_t inputsCount,
                                              Layer** outputs, uint32_t outputsCount);
/* filter[..., c] *= scale[c]; bias[c] = bias[c] * scale[c] + shift[c]. */
CORVUS_EXPORT void ConvBNFusionWeightsPreparing(Tensor* filter, Tensor* bias, Tensor* bnScale, Tensor* bnShift);
/* The keeper's name becomes a copy of the donor's. */
CORVUS_EXPORT void SwapName(Layer* keeper, Layer* donor);

#ifdef __cplusplus
}
#endif

#endif
