/* Data movement and reshaping: records, constructors and kernels.
 *
 * Layers that move, copy, select or re-view data without arithmetic. Every
 * constructor takes its inputs either as layers (each layer's output[0] is
 * used) or, when the layer argument is NULL, as tensors that the new layer
 * then owns; name NULL generates one. Constant inputs (slice starts, ends,
 * axes and steps, squeeze/unsqueeze axes, tile repeats, expand shape) must
 * carry data when the constructor runs: with input layers, the producing
 * layer's output[0] must already hold it. */
#ifndef CORVUS_LAYERSDATAMOVEMENT_H
#define CORVUS_LAYERSDATAMOVEMENT_H

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

/* ---- Parameter records ------------------------------------------------- */

typedef struct FlattenParams {
    uint32_t layout; /* the input's layout */
} FlattenParams;

typedef struct ReshapeParams {
    uint32_t layout; /* the input's layout */
} ReshapeParams;

/* Concatenate. */
typedef struct MergeParams {
    uint32_t axis;
} MergeParams;

typedef struct ShuffleParams {
    uint32_t groups;
} ShuffleParams;

typedef struct TransposeParams {
    uint32_t axes[MAX_NDIM_VALUE]; /* output dimension i is input dimension axes[i]; first ndim used */
} TransposeParams;

typedef struct SplitParams {
    uint32_t output_dim_len; /* extent of every piece but possibly the last */
    uint32_t axis;
} SplitParams;

/* Most sibling slices one grouped kernel call may serve. */
#define SLICE_MAX_MERGED 16

/* 208 bytes, zero-filled at creation. starts, ends and steps hold one entry
 * per data dimension (filled by GetSliceShape); the rest belongs to slice
 * grouping: mergedCount 0 = ordinary slice, -1 = written by the kernel of
 * another slice, n > 0 = this slice leads a group of n whose kernel records
 * are mergedKernels[0..n-1]. */
typedef struct SliceParams {
    int32_t starts[MAX_NDIM_VALUE];
    int32_t ends[MAX_NDIM_VALUE];
    int32_t steps[MAX_NDIM_VALUE];
    int32_t splitAxis;
    int32_t mergedCount;
    struct NNKernel* mergedKernels[SLICE_MAX_MERGED];
} SliceParams;

typedef struct GatherParams {
    uint32_t axis; /* normalised: 0 <= axis < data rank */
} GatherParams;

typedef struct GatherElementsParams {
    int32_t axis; /* as given; negative counts from the end */
} GatherElementsParams;

typedef enum ScatterReduction {
    SCATTER_REDUCTION_NONE = 0,
    SCATTER_REDUCTION_ADD = 1,
    SCATTER_REDUCTION_MUL = 2,
    SCATTER_REDUCTION_MAX = 3,
    SCATTER_REDUCTION_MIN = 4
} ScatterReduction;

typedef struct ScatterParams {
    uint32_t reduction; /* ScatterReduction */
} ScatterParams;

/* 8 bytes of zero; the kernel reads nothing from it. */
typedef struct ExpandParams {
    uint32_t reserved[2];
} ExpandParams;

/* ---- Constructors ------------------------------------------------------ */

/* Rank-4 input (N, ...) to (N, size / N), layout DL_NC. */
CORVUS_EXPORT Layer* AddFlattenLayer(Layer* inputLayer, Tensor* inputTensor, const char* name);
/* Output: shape[0..ndim-1], DL_NONE; element counts must agree. */
CORVUS_EXPORT Layer* AddReshapeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* shape,
                                     uint32_t ndim);
/* Output: input 0's dtype, layout and rank, axis extent the sum of the inputs'. */
CORVUS_EXPORT Layer* AddConcatenateLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name,
                                         int32_t axis);
/* ceil(d / length) outputs along axis: pieces of length, the last one d mod
 * length when that is not 0. */
CORVUS_EXPORT Layer* AddSplitLayer(Layer* inputLayer, Tensor* inputTensor, uint32_t length, uint32_t axis,
                                   const char* name);
/* Inputs: data, starts, ends, axes, steps (32-bit integers, one entry per sliced axis). */
CORVUS_EXPORT Layer* AddSliceLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name);
/* axes: a permutation of 0..count-1, count = input rank. */
CORVUS_EXPORT Layer* AddTransposeLayer(Layer* inputLayer, Tensor* inputTensor, const uint32_t* axes, uint32_t count,
                                       const char* name);
/* Rank-4 input; layout DL_NHWC <-> DL_NCHW or unchanged, any element type. */
CORVUS_EXPORT Layer* AddConvertLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                     DataType dtype);
/* Channel shuffle of an NHWC tensor in groups (> 0). */
CORVUS_EXPORT Layer* AddShuffleLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t groups);
/* NHWC input widened to `channels` channels; the added channels are zero. */
CORVUS_EXPORT Layer* AddExpandChannels(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                       uint32_t channels);
/* Inputs: data, indices (DT_INT32 at run time). Negative axis counts from the end. */
CORVUS_EXPORT Layer* AddGatherLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, int32_t axis,
                                    const char* name);
/* Inputs: data, indices of the same rank; output has the indices' shape. */
CORVUS_EXPORT Layer* AddGatherElementsLayer(Layer** inputLayers, Tensor** inputTensors, int32_t axis, uint32_t count,
                                            const char* name);
/* Inputs: data, indices (..., k), updates; reduction a ScatterReduction. */
CORVUS_EXPORT Layer* AddScatterNDLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, uint32_t reduction,
                                       const char* name);
/* Inputs: data, repeats (one unsigned 32-bit value per data dimension). */
CORVUS_EXPORT Layer* AddTileLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name);
/* Inputs: data, shape (DT_INT32); output: the broadcast of both shapes. */
CORVUS_EXPORT Layer* AddExpandLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name);
/* Inputs: data, axes (32-bit integers). Both make Reshape layers. */
CORVUS_EXPORT Layer* AddUnsqueezeLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name);
CORVUS_EXPORT Layer* AddSqueezeLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name);

/* ---- Reference kernels ------------------------------------------------- */
/* Work functions compute only what their checks allow; execute functions
 * check the kernel record and call them. */

CORVUS_EXPORT void Flatten_ref(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Reshape_ref(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Concat_ref(Tensor* out, Tensor** inputs, uint32_t count, uint32_t axis);
CORVUS_EXPORT void Slice_ref(Tensor* out, const Tensor* in, const SliceParams* params);
CORVUS_EXPORT void Transpose_ref(Tensor* out, const Tensor* in, const uint32_t* axes);
/* NHWC to NCHW or back, as the two tensors' layouts say; equal element types. */
CORVUS_EXPORT void Permute(Tensor* out, const Tensor* in);
CORVUS_EXPORT void Shuffle_fl32(Tensor* out, const Tensor* in, uint32_t groups);
/* Negative indices are normalised in place in the indices tensor. */
CORVUS_EXPORT void Gather_ref(Tensor* out, const Tensor* data, Tensor* indices, uint32_t axis);
CORVUS_EXPORT void GatherElements_ref(Tensor* out, const Tensor* data, const Tensor* indices, int32_t axis);
CORVUS_EXPORT void Scatter_ref(Tensor* out, const Tensor* data, const Tensor* indices, const Tensor* updates,
                               uint32_t reduction);
CORVUS_EXPORT void Tile_ref(Tensor* out, const Tensor* in, const Tensor* repeats);
/* Every output element receives the input element that broadcasts onto it. */
CORVUS_EXPORT void Expand_ref(Tensor* out, const Tensor* in);
/* Copy element functions of the broadcast engine (in2 unused): 32-bit
 * elements (float32, int32, uint32) and 16-bit elements (float16). */
CORVUS_EXPORT void expand_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);
CORVUS_EXPORT void expand_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels);

CORVUS_EXPORT void Execute_Flatten_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Reshape_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Concatenate_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Split_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Slice_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Transpose_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Convert_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Shuffle_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_ExpandChannels_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Gather_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_GatherElements_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Scatter_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Tile_Ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_Expand_ref(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
