/* Reductions, index and shape-producing operations: records, constructors and kernels.
 *
 * Reductions along axes (ReduceMean, ReduceSum, ReduceMax, ReduceMin,
 * ReduceL2, ArgMax, CumSum), index and shape data (NonZero, Shape, Range,
 * ConstantOfShape, Cast), two-operand index contraction (Einsum) and
 * constant data (Initializer). Shapes that depend on data (NonZero, Range,
 * ConstantOfShape) are fixed at construction from inputs that carry data
 * then. */
#ifndef CORVUS_LAYERSREDUCTION_H
#define CORVUS_LAYERSREDUCTION_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Parameter records --------------------------------------------------- */

typedef struct ReduceParams {
    uint32_t axes[MAX_NDIM_VALUE]; /* strictly increasing; the first axesCount used */
    uint32_t axesCount;            /* 0: every axis */
    uint32_t keepdims;             /* 0 or 1 */
} ReduceParams;

typedef struct ArgMaxParams {
    uint32_t axis;
    bool keepdims;
    bool selectLastIndex; /* ties go to the last index instead of the first */
} ArgMaxParams;

typedef struct CumSumParams {
    bool exclusive; /* each sum leaves out its own element */
    bool reverse;   /* sums run from the end of the axis */
} CumSumParams;

/* The fill value as a 4-byte pattern; the output's first element-size bytes
 * of it are copied (little-endian: f32, i32/u32, f16 bits, or a byte). */
typedef union ConstantOfShapeParams {
    float f32;
    int32_t i32;
    uint32_t u32;
    uint16_t f16;
    int8_t i8;
    uint8_t u8;
    uint8_t bytes[4];
} ConstantOfShapeParams;

#define EINSUM_EQUATION_MAX 63

typedef struct EinsumParams {
    char equation[EINSUM_EQUATION_MAX + 1]; /* blanks removed */
    char left[MAX_NDIM_VALUE + 1];          /* index letters of input 0 */
    char right[MAX_NDIM_VALUE + 1];         /* index letters of input 1 */
    char result[MAX_NDIM_VALUE + 1];        /* index letters of the output */
    uint32_t leftCount;
    uint32_t rightCount;
} EinsumParams;

/* ---- Work functions ------------------------------------------------------ */

/* op: OP_ReduceMean, OP_ReduceSum, OP_ReduceMax, OP_ReduceMin or OP_ReduceL2.
 * float32 or float16 input and output of the same type, any strides. */
CORVUS_EXPORT void Reduce_ref(Tensor* output, const Tensor* input, const ReduceParams* params, LayerOpType op);
/* float32 or float16 input, int32 output. */
CORVUS_EXPORT void ArgMax_ref(Tensor* output, const Tensor* input, const ArgMaxParams* params);
/* axis: negative counts from the end. */
CORVUS_EXPORT void CumSum_fl32_ref(Tensor* output, const Tensor* input, int32_t axis, const CumSumParams* params);
CORVUS_EXPORT void CumSum_fl16_ref(Tensor* output, const Tensor* input, int32_t axis, const CumSumParams* params);
/* output [rank, columns] int32: column k holds the multi-index of the k-th
 * non-zero element; surplus columns are zero. */
CORVUS_EXPORT void NonZero_fl32_ref(Tensor* output, const Tensor* input);
CORVUS_EXPORT void NonZero_fl16_ref(Tensor* output, const Tensor* input);
/* int32 and uint32 input. */
CORVUS_EXPORT void NonZero_Int32_ref(Tensor* output, const Tensor* input);
CORVUS_EXPORT void EinSum_fl32_ref(Tensor* output, const Tensor* a, const Tensor* b, const EinsumParams* params);
CORVUS_EXPORT void EinSum_fl16_ref(Tensor* output, const Tensor* a, const Tensor* b, const EinsumParams* params);

/* ---- Constructors ------------------------------------------------------------------ */
/* Inputs come from the input layer(s) (each layer's output[0]) or, when that is
 * NULL, from the given tensors, which the layer then owns. name NULL generates one. */

/* axes: strictly increasing, below the input rank; axesCount 0 reduces every axis. */
CORVUS_EXPORT Layer* AddReduceMean(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes,
                                   uint32_t axesCount, uint32_t keepdims);
CORVUS_EXPORT Layer* AddReduceSum(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes,
                                  uint32_t axesCount, uint32_t keepdims);
CORVUS_EXPORT Layer* AddReduceMax(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes,
                                  uint32_t axesCount, uint32_t keepdims);
CORVUS_EXPORT Layer* AddReduceMin(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes,
                                  uint32_t axesCount, uint32_t keepdims);
CORVUS_EXPORT Layer* AddReduceL2(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes,
                                 uint32_t axesCount, uint32_t keepdims);
/* axis: negative counts from the end. */
CORVUS_EXPORT Layer* AddArgMax(Layer* inputLayer, Tensor* inputTensor, const char* name, int32_t axis, bool keepdims,
                               bool selectLastIndex);
/* Inputs: data, and the axis (int32, first value used at run time). */
CORVUS_EXPORT Layer* AddCumSumLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, uint32_t inputsNum,
                                    bool exclusive, bool reverse);
/* The input must carry data: the output shape counts its non-zero elements. */
CORVUS_EXPORT Layer* AddNonZeroLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddShapeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
/* Inputs: start, limit, delta (one-element float32 or int32 tensors with data;
 * the element count is fixed from them here). The float arguments are the
 * caller's copies of the same values and are not used further. */
CORVUS_EXPORT Layer* AddRangeLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, uint32_t inputsNum,
                                   float start, float limit, float delta);
/* Input: the output shape as int32 values carrying data (at most six). */
CORVUS_EXPORT Layer* AddConstantOfShapeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataType dtype,
                                             ConstantOfShapeParams value);
CORVUS_EXPORT Layer* AddCastLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataType dtype);
/* Two inputs; equation like "bij,bjk->bik". */
CORVUS_EXPORT Layer* AddEinsumLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, const char* equation);
/* A source layer holding a copy of data (zeros when data is NULL). */
CORVUS_EXPORT Layer* AddInitializerLayer(uint32_t rank, const uint32_t* shape, DataType dtype, const void* data,
                                         const char* name);

#ifdef __cplusplus
}
#endif

#endif
