/* Dense, MatMul and Linear: records, constructors and kernels. */
#ifndef CORVUS_LAYERSDENSE_H
#define CORVUS_LAYERSDENSE_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DenseParams {
    uint32_t useBias;    /* non-zero when a bias is present */
    uint32_t activation; /* ActivationType; applied with alpha 0 */
} DenseParams;

typedef struct LinearParams {
    uint32_t activation; /* ActivationType; applied with alpha 0 */
} LinearParams;

typedef struct MatmulParams {
    uint32_t mode; /* kept with the layer; bit 1 asks for the convolution path */
} MatmulParams;

/* ---- Constructors ------------------------------------------------------
 * Exactly one of the input layer(s) and input tensor(s) is given (given
 * tensors are owned by the new layer); name may be null. */

/* Input {N, K} (DL_NC; DL_NONE becomes DL_NC); output {N, units}; inner[0]
 * the weights {K, units} (DL_CN), inner[1] the bias {units} when useBias. */
CORVUS_EXPORT Layer* AddDenseLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t units,
                                   bool useBias, uint32_t activation);
/* Input 4-D (DL_NHWC or DL_NONE); output alike; inner[0] the scale and
 * inner[1] the offset, one per channel (last dimension). */
CORVUS_EXPORT Layer* AddLinearLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t activation);
/* Two inputs A and B: A's last two dimensions are M x K, B's K x N; leading
 * (batch) dimensions broadcast. Output: A's type, the broadcast shape. */
CORVUS_EXPORT Layer* AddMatmulLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, uint32_t mode);

/* ---- Kernels ----------------------------------------------------------- */

/* out[j] = sum over k in order of vect[k] * mat[k][j], one fused multiply-add
 * per step from 0. mat rows are matRowStride elements apart. */
CORVUS_EXPORT void Gen_mult_vect_by_mat(const float* vect, const float* mat, float* out, uint32_t K, uint32_t N,
                                        uint32_t matRowStride);
CORVUS_EXPORT void Dense_fl32_ref(const Tensor* input, const Tensor* weights, const Tensor* bias, Tensor* output,
                                  const DenseParams* params);
CORVUS_EXPORT void Dense_fl16_ref(const Tensor* input, const Tensor* weights, const Tensor* bias, Tensor* output,
                                  const DenseParams* params);
CORVUS_EXPORT void Execute_Dense_ref(NNKernel* kernel);

/* output = fma(x, scale[c], offset[c]), then the fused activation. */
CORVUS_EXPORT void Execute_Linear_fl32_ref(NNKernel* kernel);

/* out = A x B per batch index (float32: fused multiply-adds over k in
 * order; int32: wrap-around). Row strides are in elements; columns are
 * adjacent. */
CORVUS_EXPORT void Matmul_2dim_fl32(const float* A, const float* B, float* out, uint32_t M, uint32_t K, uint32_t N,
                                    uint32_t strideA, uint32_t strideB, uint32_t strideOut);
CORVUS_EXPORT void Matmul_2dim_int32(const int32_t* A, const int32_t* B, int32_t* out, uint32_t M, uint32_t K,
                                     uint32_t N, uint32_t strideA, uint32_t strideB, uint32_t strideOut);
CORVUS_EXPORT void Matmul_ref(const Tensor* A, const Tensor* B, Tensor* out);
CORVUS_EXPORT void Execute_Matmul_ref(NNKernel* kernel);

/* MatMul through the half-precision convolution (kernels/opt/Conv2D_opt.cpp):
 * a float16 product A {.., M, K} x B {K, N} runs as a 1x1 convolution;
 * other element types and operand forms run the reference MatMul. */
CORVUS_EXPORT void Init_MMviaConv2D(NNKernel* kernel);
CORVUS_EXPORT void Execute_MMviaConv2D(NNKernel* kernel);
CORVUS_EXPORT void Destroy_MMviaConv2D(NNKernel* kernel);
CORVUS_EXPORT void MMviaConv2D(const Tensor* A, const Tensor* B, Tensor* out);

#ifdef __cplusplus
}
#endif

#endif
