/* Activation layers and unary math: records, constructors and kernels. */
#ifndef CORVUS_LAYERSACTIVATION_H
#define CORVUS_LAYERSACTIVATION_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "LayersBroadcast.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A Clip bound: float32 for float32/float16 tensors, int32 for int32 ones. */
typedef union ClipValue {
    float f32;
    int32_t i32;
} ClipValue;

typedef struct ClipParams {
    ClipValue min;
    ClipValue max;
} ClipParams;

typedef struct HardSigmoidParams {
    float alpha;
    float beta;
} HardSigmoidParams;

/* ---- Constructors ----------------------------------------------------- */
/* Exactly one of inputLayer and inputTensor is given (the layer owns a given
 * tensor); name NULL generates one. The output has the input's type, layout
 * and shape. */

CORVUS_EXPORT Layer* AddActivationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name,
                                        ActivationParams params);
CORVUS_EXPORT Layer* AddExpLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddSqrtLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddErfLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddNegLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddCeilLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddFloorLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddAbsLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
/* inner[0]: one slope per channel (last dimension), the input's type, DL_I. */
CORVUS_EXPORT Layer* AddPReluLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
CORVUS_EXPORT Layer* AddClipLayer(Layer* inputLayer, Tensor* inputTensor, ClipValue min, ClipValue max,
                                  const char* name);
CORVUS_EXPORT Layer* AddHardSigmoidLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, float alpha,
                                         float beta);

/* ---- Fast exponential and half-precision tables ----------------------- */

/* Ratio of two bit-pattern approximations of e^(x/2) and e^(-x/2);
 * expf_fast(0) = 1. Meant for |x| up to a few tens. */
CORVUS_EXPORT float expf_fast(float x);

/* 65536-entry half-precision tables indexed by the input's bit pattern:
 * 1/(1+e^-x) and x/(1+e^-x), rounded to nearest even. */
#define ACTIVATION_TABLE_SIZE 65536
CORVUS_EXPORT extern const uint16_t* const Activation_table_Sigmoid;
CORVUS_EXPORT extern const uint16_t* const Activation_table_XsigmX;

/* dst = f(src) for the function one of the tables stands for: looked up for
 * float16, computed in double precision for float32. */
CORVUS_EXPORT void ActivationByTable_ref(Tensor* dst, const Tensor* src, const uint16_t* table);

/* ---- Kernels ---------------------------------------------------------- */

/* The float32 activation kernel (in == out applies it in place). */
CORVUS_EXPORT void Activation_fl32_ref(Tensor* out, const Tensor* in, const ActivationParams* params);
CORVUS_EXPORT void Execute_Activation_fl32_ref(NNKernel* kernel);
/* Dispatcher installed by default: runs the float32 activation kernel. */
CORVUS_EXPORT void Execute_Activation(NNKernel* kernel);

CORVUS_EXPORT void Exp_fl32(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Sqrt_fl32(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Sqrt_fl16(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Erf_fl32(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Neg_fl32(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Ceil_fl32(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Floor_fl32(Tensor* out, const Tensor* in);
/* Natural logarithm; float16 through float32 temporaries. */
CORVUS_EXPORT void Log_ref(Tensor* out, const Tensor* in);
/* Clears the sign bit of every element. */
CORVUS_EXPORT void Abs_ref(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Abs_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void Abs_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
/* y = slope * x for x < 0, else x; in2 holds the slopes. */
CORVUS_EXPORT void prelu_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void prelu_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void Clip_ref(Tensor* out, const Tensor* in, const ClipParams* params);
CORVUS_EXPORT void HardSigmoid_fl32(Tensor* out, const Tensor* in, const HardSigmoidParams* params);

CORVUS_EXPORT void Execute_Exp_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Sqrt_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Erf_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Neg_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Ceil_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Floor_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Abs_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_PRelu_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Clip_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_HardSigmoid_ref(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
