/* Resize, padding and up-sampling: records, constructors and kernels.
 *
 * ZeroPadding2D and UpSampling2D work on channels-last images {N, H, W, C};
 * Pad pads any rank with a constant or mirrored values; Resize scales every
 * dimension by a float factor, by nearest neighbour or by area averaging. */
#ifndef CORVUS_LAYERSRESIZE_H
#define CORVUS_LAYERSRESIZE_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZeroPaddingParams {
    uint32_t top;
    uint32_t left;
    uint32_t bottom;
    uint32_t right;
} ZeroPaddingParams;

typedef struct UpSampling2DParams {
    uint32_t sizeH;
    uint32_t sizeW;
} UpSampling2DParams;

/* Resize modes (the `mode` word of ResizeParams). */
#define RESIZE_MODE_NEAREST 0
#define RESIZE_MODE_AREA 1 /* area averaging, meant for down-scaling */

typedef struct ResizeParams {
    float scales[MAX_NDIM_VALUE]; /* one per input dimension; the first ndim are used */
    uint32_t mode;                /* RESIZE_MODE_NEAREST or RESIZE_MODE_AREA; others fail at selection */
} ResizeParams;

/* Pad modes (the `mode` word of PadParams). */
typedef enum PadMode {
    PAD_CONSTANT = 0,
    PAD_REFLECT = 1, /* mirror without repeating the border element */
    PAD_EDGE = 2     /* not implemented: fails at execution */
} PadMode;

/* 56 bytes. With ndim dimensions, the begin pad of dimension d is pads[d]
 * and its end pad pads[ndim + d]. */
typedef struct PadParams {
    uint32_t pads[2 * MAX_NDIM_VALUE];
    uint32_t mode; /* PadMode */
    float value;   /* the constant of PAD_CONSTANT */
} PadParams;

/* ---- Constructors ------------------------------------------------------
 * Exactly one of layer and tensor is given (a given tensor is owned by the
 * new layer); name may be null (generated name). Outputs are created without
 * data and keep the input's element type. */

/* Rank 4; an input of layout DL_NONE takes `layout`, which must be DL_NHWC.
 * Output {N, H + top + bottom, W + left + right, C}. */
CORVUS_EXPORT Layer* AddZeroPadding2DLayer(Layer* layer, Tensor* tensor, const char* name, DataLayout layout,
                                           uint32_t top, uint32_t bottom, uint32_t left, uint32_t right);
/* Rank 4, DL_NHWC as above, positive factors. Output {N, H*sizeH, W*sizeW, C}. */
CORVUS_EXPORT Layer* AddUpSampling2DLayer(Layer* layer, Tensor* tensor, const char* name, DataLayout layout,
                                          uint32_t sizeH, uint32_t sizeW);
/* One scale per input dimension (count = input rank). Output dimension i is
 * input dimension i * scale i in float32, truncated toward zero; the layout
 * and rank are the input's. */
CORVUS_EXPORT Layer* AddResizeLayer(Layer* layer, Tensor* tensor, const float* scale_factors, uint32_t count,
                                    const char* name, uint32_t mode);
/* pads: all begin pads (dimensions 0..ndim-1), then all end pads; may be
 * null for a rank-0 input. Output DL_NONE, dimension d = begin + input + end. */
CORVUS_EXPORT Layer* AddPadLayer(Layer* layer, Tensor* tensor, const char* name, const uint32_t* pads, uint32_t mode,
                                 float value);

/* ---- Kernels ------------------------------------------------------------ */

/* Zero border around an image; any element type. */
CORVUS_EXPORT void Execute_ZeroPadding_ref(NNKernel* kernel);
/* Every input pixel repeated in a sizeH x sizeW block; any element type. */
CORVUS_EXPORT void Execute_UpSampling2D_ref(NNKernel* kernel);
/* float32 or float16 input and output (converted on the way when they differ). */
CORVUS_EXPORT void Pad_floats_ref(Tensor* output, const Tensor* input, const PadParams* params);
CORVUS_EXPORT void Execute_Pad_ref(NNKernel* kernel);

/* The resize work functions. With mode -1 they only test whether they accept
 * the tensors; with any other mode they also compute. Null means accepted (or
 * done); otherwise the reason for refusing. `cores` must be at least 1.
 * ResizeNear_ref: any element type of 1, 2, 4 or 8 bytes.
 * ResizeDownF32_ref: float32 area averaging.
 * The "3" variants: float32, last dimension 3 with stride 1 and scale 1.0. */
CORVUS_EXPORT const char* ResizeNear_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output,
                                         const float* scales);
CORVUS_EXPORT const char* ResizeNear3F32_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output,
                                             const float* scales);
CORVUS_EXPORT const char* ResizeDownF32_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output,
                                            const float* scales);
CORVUS_EXPORT const char* ResizeDown3F32_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output,
                                             const float* scales);
/* Run the work function on input[0] and output[0] with the record's scales;
 * a refusal is fatal ("<wrapper> error: <reason>"). */
CORVUS_EXPORT void Execute_ResizeNear_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_ResizeNear3F32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_ResizeDownF32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_ResizeDown3F32_ref(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
