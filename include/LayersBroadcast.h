/* Broadcast arithmetic, comparison and logic: records, constructors and kernels. */
#ifndef CORVUS_LAYERSBROADCAST_H
#define CORVUS_LAYERSBROADCAST_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Record of the two- and three-input layers (8 bytes, zero at creation).
 * aName is the fused activation (None, Linear, ReLU or ReLU6); only the
 * Add/Sub/Mul/Div kernels read it. */
typedef struct BroadcastParams {
    uint32_t aName;
    uint32_t reserved;
} BroadcastParams;

/* ElementWise: activation applied after the weighted sum. */
typedef struct ElementWiseParams {
    uint32_t activation; /* ActivationType */
} ElementWiseParams;

/* ---- Broadcast engine ------------------------------------------------- */

/* One loop level: iteration count and byte strides of the output and the
 * two inputs. A stride of 0 repeats that input along the level. */
typedef struct BroadcastLevel {
    uint32_t count;
    int64_t strideOut;
    int64_t strideIn1;
    int64_t strideIn2;
} BroadcastLevel;

/* Element function of one element type: computes the block spanned by
 * levels[0..2]. levels[0] is the contiguous run (output stride = element size;
 * input strides element size or 0). in2 is unused (and may be null) for
 * one-input functions. */
typedef void (*BroadcastOpFn)(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);

/* In-place clamp of a three-level block to [0, limit]; limit is the raw bit
 * pattern of the element type. Steps are in bytes. */
typedef void (*BroadcastActFn)(void* data, uint32_t count, uint32_t rows, int64_t rowStep, uint32_t planes,
                               int64_t planeStep, uint32_t limit);

/* The run level plus one level per remaining dimension. */
#define BROADCAST_MAX_LEVELS (MAX_NDIM_VALUE + 1)
/* Element functions are tabled by DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT32. */
#define BROADCAST_TYPES_NUM 4

typedef struct BroadcastLoop {
    BroadcastOpFn op;
    BroadcastActFn act; /* null: no fused activation */
    uint32_t actLimit;
    uint32_t levelsNum; /* at least 3 */
    BroadcastLevel level[BROADCAST_MAX_LEVELS];
} BroadcastLoop;

/* Picks the element function for dtype from table and the fused clamp for
 * aName; name prefixes the failure messages. */
CORVUS_EXPORT void Broadcast_ref_init(BroadcastLoop* loop, const char* name,
                                      const BroadcastOpFn table[BROADCAST_TYPES_NUM], uint32_t dtype, uint32_t aName);
/* Builds the loop levels for out = op(in1, in2) (in2 may be null for
 * one-input functions) and runs them. */
CORVUS_EXPORT void Broadcast_ref(const char* name, BroadcastLoop* loop, Tensor* out, const Tensor* in1,
                                 const Tensor* in2);
/* Walks the prepared levels over the given base addresses. */
CORVUS_EXPORT void Broadcast_ref_loop(const BroadcastLoop* loop, void* out, const void* in1, const void* in2);

/* Element functions (BroadcastOpFn). */
CORVUS_EXPORT void addrelu_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void addrelu_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void addrelu_i32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void addrelu_u32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void subrelu_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void subrelu_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void subrelu_i32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void subrelu_u32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void mulrelu_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void mulrelu_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void mulrelu_i32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void mulrelu_u32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void div_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void div_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
/* Integer division truncates; division by zero gives 0, INT32_MIN / -1 gives INT32_MIN. */
CORVUS_EXPORT void div_i32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void div_u32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);

/* In-place rectifiers (BroadcastActFn). Elements are compared as integers of
 * their width: signed for float32, float16 (their bit patterns) and int32,
 * unsigned for uint32. Below 0 becomes 0, above limit becomes limit. */
CORVUS_EXPORT void relu_f32_ref(void* data, uint32_t count, uint32_t rows, int64_t rowStep, uint32_t planes,
                                int64_t planeStep, uint32_t limit);
CORVUS_EXPORT void relu_f16_ref(void* data, uint32_t count, uint32_t rows, int64_t rowStep, uint32_t planes,
                                int64_t planeStep, uint32_t limit);
CORVUS_EXPORT void relu_i32_ref(void* data, uint32_t count, uint32_t rows, int64_t rowStep, uint32_t planes,
                                int64_t planeStep, uint32_t limit);
CORVUS_EXPORT void relu_u32_ref(void* data, uint32_t count, uint32_t rows, int64_t rowStep, uint32_t planes,
                                int64_t planeStep, uint32_t limit);

/* ---- Constructors ----------------------------------------------------- */
/* Inputs come from inputLayers (each layer's output[0]) or, when that is
 * NULL, from inputTensors, which the layer then owns. name NULL generates one. */

CORVUS_EXPORT Layer* AddAddLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddSubLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddMulLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddDivLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddPowLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddModLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddAndLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddEqualLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
/* Greater and Less use the first two inputs. */
CORVUS_EXPORT Layer* AddGreaterLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddLessLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
/* Inputs: condition (int8 booleans), value if true, value if false. */
CORVUS_EXPORT Layer* AddWhereLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name);
CORVUS_EXPORT Layer* AddNotLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
/* Two NHWC inputs; inner[0] and inner[1] hold the per-channel coefficients. */
CORVUS_EXPORT Layer* AddElementWiseLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum,
                                         const char* name, uint32_t activation);

/* ---- Kernels ---------------------------------------------------------- */

CORVUS_EXPORT void AddBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params);
CORVUS_EXPORT void SubBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params);
CORVUS_EXPORT void MulBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params);
CORVUS_EXPORT void DivBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params);
CORVUS_EXPORT void Pow_fl32(Tensor* out, const Tensor* data, const Tensor* exponents);
CORVUS_EXPORT void Mod_ref(Tensor* out, const Tensor* dividend, const Tensor* divisor);
CORVUS_EXPORT void Equal_ref(Tensor* out, const Tensor* in1, const Tensor* in2);
CORVUS_EXPORT void Greater_ref(Tensor* out, const Tensor* in1, const Tensor* in2);
CORVUS_EXPORT void Less_ref(Tensor* out, const Tensor* in1, const Tensor* in2);
CORVUS_EXPORT void And_ref(Tensor* out, const Tensor* in1, const Tensor* in2);
CORVUS_EXPORT void Not_ref(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Where_ref(Tensor* out, const Tensor* condition, const Tensor* x, const Tensor* y);
CORVUS_EXPORT void ElementWise_fl32_ref(Tensor* out, const Tensor* a, const Tensor* b, const Tensor* alpha,
                                        const Tensor* beta, uint32_t activation);

CORVUS_EXPORT void Execute_AddBroadcast_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_SubBroadcast_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_MulBroadcast_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_DivBroadcast_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Pow_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Mod_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Equal_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Greater_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Less_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_And_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Not_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Where_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_ElementWise_fl32_ref(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
