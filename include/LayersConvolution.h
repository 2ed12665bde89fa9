/* Two-dimensional and depthwise convolution: records, constructors and kernels.
 *
 * Tensors are channels-last ({N, H, W, C}). Output sizes and pads come from a
 * PaddingStruct computed with the functions of Padding.h. Filters and biases
 * are float32 inner tensors filled from the weights file. */
#ifndef CORVUS_LAYERSCONVOLUTION_H
#define CORVUS_LAYERSCONVOLUTION_H

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

typedef struct Conv2DParams {
    uint32_t kerSizeH;
    uint32_t kerSizeW;
    uint32_t filters; /* output channels */
    uint32_t strideH;
    uint32_t strideW;
    uint32_t dilationRateH;
    uint32_t dilationRateW;
    uint32_t padTop;
    uint32_t padLeft;
    uint32_t padBottom;
    uint32_t padRight;
    PaddingMode pad;             /* VALID when all four pads are 0, otherwise 1 */
    uint8_t useBias;             /* bit 0: the layer has a bias */
    ActivationParams activation; /* applied to the output */
    uint32_t groups;             /* at least 1 */
} Conv2DParams;

typedef struct DepthWiseConv2DParams {
    uint32_t kerSizeH;
    uint32_t kerSizeW;
    uint32_t strideH;
    uint32_t strideW;
    uint32_t dilationRateH;
    uint32_t dilationRateW;
    uint32_t padTop;
    uint32_t padLeft;
    uint32_t padBottom;
    uint32_t padRight;
    uint32_t depthMultiplier;
    PaddingMode pad; /* VALID when all four pads are 0, otherwise 1 */
    uint8_t useBias;
    uint32_t activation; /* ActivationType; applied with alpha 0 */
} DepthWiseConv2DParams;

/* ---- Constructors ------------------------------------------------------
 * Exactly one of inputLayer and inputTensor is given (a given tensor is owned
 * by the new layer); name may be null (generated name). The input's layout
 * DL_NONE becomes `layout`, which must be DL_NHWC.
 *
 * Conv2D: output {N, outputSize[0], outputSize[1], filters}; inner[0] the
 * filter {kerSizeH, kerSizeW, C_in / groups, filters} (DL_HWIO), inner[1] the
 * bias {filters} (DL_I) when useBias. */
CORVUS_EXPORT Layer* AddConv2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                    uint32_t filters, uint32_t kerSizeH, uint32_t kerSizeW, uint32_t strideH,
                                    uint32_t strideW, uint32_t dilationRateH, uint32_t dilationRateW,
                                    const PaddingStruct* padding, bool useBias, ActivationParams activation,
                                    uint32_t groups);

/* Depthwise: output {N, outputSize[0], outputSize[1], C_in * depthMultiplier},
 * channel c * depthMultiplier + m. inner[0] the filter, declared
 * {depthMultiplier, kerSizeH, kerSizeW, C_in} (DL_MHWI), inner[1] the bias
 * {C_in * depthMultiplier} when useBias. The filter data is read as
 * {kerSizeH, kerSizeW, C_in * depthMultiplier} with the weight of channel c
 * and multiplier m at last index c * depthMultiplier + m (the order of the
 * weights file); with depthMultiplier 1 both readings agree. */
CORVUS_EXPORT Layer* AddDepthwiseConv2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name,
                                             DataLayout layout, uint32_t kerSizeH, uint32_t kerSizeW, uint32_t strideH,
                                             uint32_t strideW, uint32_t dilationRateH, uint32_t dilationRateW,
                                             uint32_t depthMultiplier, const PaddingStruct* padding, bool useBias,
                                             uint32_t activation);

/* ---- Kernels -----------------------------------------------------------
 * Conv2D: for every output pixel and kernel position (rows outer) inside the
 * input, per-position partial sums over the group's input channels (fused
 * multiply-adds from channel 0) are added to the output; then the bias, then
 * the fused activation in place. */
CORVUS_EXPORT void Conv2D_fl32_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                                   const Conv2DParams* params);
/* Through float32 temporaries. */
CORVUS_EXPORT void Conv2D_fl16_ref(const Tensor* input, const Tensor* filter, const Tensor* bias, Tensor* output,
                                   const Conv2DParams* params);
CORVUS_EXPORT void Execute_Conv2D_ref(NNKernel* kernel);
/* Init packs a float32 filter for the register-tiled path into
 * extra_resources (again when called again, as after new weights are
 * loaded); Destroy releases it. */
CORVUS_EXPORT void Init_Conv2D_ref(NNKernel* kernel);
CORVUS_EXPORT void Destroy_Conv2D_ref(NNKernel* kernel);

/* Depthwise: extra_resources holds the filter, bias and output viewed with a
 * leading multiplier dimension (built by Init, released by Destroy). Each
 * accumulator starts at the bias and takes one fused multiply-add per kernel
 * position; float16 outputs round it to half precision after every step. */
CORVUS_EXPORT void Init_DWConvolution_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_DWConvolution_ref(NNKernel* kernel);
CORVUS_EXPORT void Destroy_DWConvolution_ref(NNKernel* kernel);

/* Turns a Conv2D kernel record whose groups equal its input channels (filter
 * already labelled DL_MHWI) into a depthwise one: fills `record` (or a new
 * malloc'd record when null), replaces the filter and the params, and returns
 * the old Conv2DParams for the caller to free. Returns null and changes
 * nothing when the layer does not qualify. */
CORVUS_EXPORT Conv2DParams* Conv2D_to_dwConv(NNKernel* kernel, DepthWiseConv2DParams* record);

#ifdef __cplusplus
}
#endif

#endif
