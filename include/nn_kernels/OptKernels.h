/* Optimised data-movement, broadcast and half-precision convolution kernels.
 *
 * They compute exactly what the reference kernels compute (element by
 * element) while moving data in large blocks. The engines take a mode first:
 * 0 executes; a negative mode only checks whether the given tensors can be
 * processed (nothing is allocated or written) and returns NULL when they
 * can, else the reason. The second argument is the number of processing
 * cores (always 1 here). */
#ifndef CORVUS_NN_KERNELS_OPTKERNELS_H
#define CORVUS_NN_KERNELS_OPTKERNELS_H

#include <stdint.h>

#include "CorvusExport.h"
#include "Layers.h"
#include "LayersBroadcast.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Engines ------------------------------------------------------------ */

/* out[i0..in-1] = in at the coordinate whose dimension permutation[i] is
 * i-th output coordinate (permutation[0..ndim-1]). With the identity
 * permutation it copies one strided view into another. Execution returns
 * NULL; a refusal returns its reason without touching out. */
CORVUS_EXPORT const char* Transpose_opt(int32_t mode, uint32_t cores, const Tensor* in, Tensor* out,
                                        const uint32_t* permutation);

/* Writes count dense outputs, each a contiguous range along axis of the
 * dense input: output n takes the range starting at starts[n] (starts NULL:
 * the outputs follow each other from 0). */
CORVUS_EXPORT const char* Split_noHoles(int32_t mode, uint32_t cores, const Tensor* in, Tensor** outputs,
                                        uint32_t count, uint32_t axis, const uint32_t* starts);

/* Concatenates count dense inputs along axis into the dense output. */
CORVUS_EXPORT const char* Concat_noHoles(int32_t mode, uint32_t cores, Tensor* out, Tensor** inputs, uint32_t count,
                                         uint32_t axis);

/* An element function with the clamp applied in the same pass; limit is the
 * raw bit pattern of the clamp's upper limit. */
typedef void (*BroadcastFusedFn)(void* out, const void* in1, const void* in2, const BroadcastLevel* levels,
                                 uint32_t limit);

/* Broadcast descriptor: the element function for the layer's element type
 * and the fused clamp (none, ReLU or ReLU6) with its limit. fused, when
 * set, does both in one pass with the same result. */
typedef struct BroadcastOptDesc {
    BroadcastOpFn op;
    BroadcastActFn act; /* NULL: no fused activation */
    uint32_t actLimit;  /* raw bits of the clamp's upper limit */
    BroadcastFusedFn fused;
} BroadcastOptDesc;

/* Picks table[dtype] (table in the order float32, float16, int32, uint32)
 * and the clamp of aName (None, Linear, ReLU, ReLU6); anything else is fatal. */
CORVUS_EXPORT void Broadcast_opt_init(BroadcastOptDesc* desc, const BroadcastOpFn table[BROADCAST_TYPES_NUM],
                                      uint32_t dtype, uint32_t aName);
/* out = op(inA, inB) with numpy broadcasting (shapes right-aligned), then the
 * clamp. inB NULL for one-input element functions. In execution a refusal is
 * fatal ("Broadcast_opt error: <reason>"). */
CORVUS_EXPORT const char* Broadcast_opt(int32_t mode, uint32_t cores, const BroadcastOptDesc* desc, Tensor* out,
                                        const Tensor* inA, const Tensor* inB);

/* ---- Kernels ------------------------------------------------------------ */

CORVUS_EXPORT void AddBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                                    const BroadcastParams* params);
CORVUS_EXPORT void SubBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                                    const BroadcastParams* params);
CORVUS_EXPORT void MulBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                                    const BroadcastParams* params);
CORVUS_EXPORT void DivBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                                    const BroadcastParams* params);
/* out repeats in along every dimension where in has extent 1. */
CORVUS_EXPORT void Expand_opt(Tensor* out, const Tensor* in);

CORVUS_EXPORT void Init_Transpose_opt(NNKernel* kernel);
CORVUS_EXPORT void Init_Slice_opt(NNKernel* kernel);
CORVUS_EXPORT void Init_Concatenate_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_Transpose_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_Slice_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_Concatenate_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_AddBroadcast_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_SubBroadcast_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_MulBroadcast_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_DivBroadcast_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_Expand_opt(NNKernel* kernel);

/* ---- Pooling, depthwise, resize, PRelu, layer normalisation -------------
 * Computation functions take a share index and a share count first: -1 only
 * checks, -2 initialises, share 0 of 1 executes. */

/* Pools input along axis (1 or 2 of a {N, H, W, C} tensor, 1 of {N, L, C})
 * into output with window, stride and begin/end pads; padMode 0 counts the
 * pads (zeros for max), 1 skips them; isMax non-zero for max, else average.
 * Returns 0, or -1 for a configuration it does not handle. */
CORVUS_EXPORT int Pooling1D_opt(int32_t share, int32_t shares, Tensor* output, const Tensor* input, uint32_t axis,
                                uint32_t window, uint32_t stride, uint32_t padBegin, uint32_t padEnd, uint32_t padMode,
                                uint32_t isMax);
/* Why Pooling1D_opt would return -1 (NULL: it would not). */
CORVUS_EXPORT const char* Pooling1D_opt_refusal(const Tensor* output, const Tensor* input, uint32_t axis,
                                                uint32_t window, uint32_t stride, uint32_t padMode);
/* Layer forms: 0 or -1 (refused). The two-dimensional ones keep an
 * intermediate tensor in kernel->extra_resources (made at -2). */
CORVUS_EXPORT int MaxPool2D_opt(int32_t share, int32_t shares, NNKernel* kernel);
CORVUS_EXPORT int AvgPool2D_opt(int32_t share, int32_t shares, NNKernel* kernel);
CORVUS_EXPORT int GlobalAvgPool2D_opt(int32_t share, int32_t shares, NNKernel* kernel);
CORVUS_EXPORT int MaxPool1D_opt(int32_t share, int32_t shares, NNKernel* kernel);
CORVUS_EXPORT int AvgPool1D_opt(int32_t share, int32_t shares, NNKernel* kernel);
CORVUS_EXPORT void Init_MaxPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_MaxPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Destroy_MaxPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Init_AvgPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_AvgPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Destroy_AvgPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Init_GlobalAvgPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_GlobalAvgPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Destroy_GlobalAvgPool2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_MaxPool1D_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_AvgPool1D_opt(NNKernel* kernel);

/* A band of a half-precision depthwise convolution held in scratch memory:
 * input rows firstInRow.. of a {inRowsTotal, inCols, channels} image, output
 * rows firstOutRow .. + outRows of outCols pixels; filter {kH, kW, channels}
 * and bias widened to float32; acc and wide are channels floats of work space. */
typedef struct DwConvTile {
    const uint16_t* in;
    uint16_t* out;
    const float* filter;
    const float* bias;
    float* acc;
    float* wide;
    uint32_t channels, inCols, inRowsTotal, firstInRow, firstOutRow, outRows, outCols, padTop, padLeft;
} DwConvTile;
CORVUS_EXPORT void dwConvKxK(const DwConvTile* tile, uint32_t kH, uint32_t kW, uint32_t strideH, uint32_t strideW);
CORVUS_EXPORT void dwConv3x3s1(const DwConvTile* tile);
CORVUS_EXPORT void dwConv3x3s2(const DwConvTile* tile);
CORVUS_EXPORT void dwConv5x5s1(const DwConvTile* tile);
CORVUS_EXPORT void dwConv5x5s2(const DwConvTile* tile);
CORVUS_EXPORT void dwConv7x7s1(const DwConvTile* tile);
/* NULL when computed (or, with share -1, when it would compute), else the
 * reason it does not handle the layer. */
CORVUS_EXPORT const char* dwConvF16_opt(int32_t share, int32_t shares, NNKernel* kernel);
/* dwConvF16_opt, or the reference depthwise kernel when it refuses. */
CORVUS_EXPORT void Execute_DWConvolution_opt(NNKernel* kernel);

/* Three-channel down-scaling; the form of the resize reference functions
 * (mode -1 only checks). */
CORVUS_EXPORT const char* ResizeDown3F32_opt(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output,
                                             const float* scales);
CORVUS_EXPORT const char* ResizeDown3F16_opt(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output,
                                             const float* scales);
CORVUS_EXPORT void Execute_ResizeDown3F32_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_ResizeDown3F16_opt(NNKernel* kernel);

CORVUS_EXPORT void Execute_PRelu_opt(NNKernel* kernel);

/* gamma and beta may be NULL. */
CORVUS_EXPORT void LayerNorm_opt(Tensor* output, const Tensor* input, const Tensor* gamma, const Tensor* beta,
                                 const struct NormalizationParams* params);
CORVUS_EXPORT void Execute_LayerNorm_opt(NNKernel* kernel);

/* ---- Half-precision Conv2D ---------------------------------------------
 * Float16 NHWC input and output, float16 filter {kH, kW, C_in, C_out},
 * optional float32 bias {C_out}; float32 accumulation with fused
 * multiply-adds, fused None/Linear/ReLU/ReLU6/LeakyReLU, results narrowed to
 * float16 (overflow to infinity, NaN to sign | 0x7FFF).
 * part -2 initialises (checks, tiling, prepared filter and bias blocks in
 * kernel->extra_resources), -1 only checks, 0..parts-1 executes that share
 * of the tiles. NULL on success, else the reason; a refusal computes
 * nothing. kernel->counters[0] and [1] count the calls of the 16- and
 * 128-channel micro-kernels. */
CORVUS_EXPORT const char* Conv2D_opt(int32_t part, int32_t parts, NNKernel* kernel);
CORVUS_EXPORT const char* Probe_Conv2D_opt(const NNKernel* kernel);
/* Refusals print "<function> error: <reason> " on stdout; not fatal. */
CORVUS_EXPORT void Init_Conv2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Execute_Conv2D_opt(NNKernel* kernel);
CORVUS_EXPORT void Destroy_Conv2D_opt(NNKernel* kernel);
/* Splits count float32 biases (every biasStride-th value) into float16
 * high and low parts of b*s, s a power of two chosen from the largest
 * magnitude, and returns r = 1/s; (hi + lo) * r restores b. */
CORVUS_EXPORT void Conv2D_ConvBias(const float* bias, uint64_t biasStride, uint32_t count, uint16_t* hi, uint16_t* lo,
                                   float* r);

/* Float16 Conv1D {N, L, C_in} through the Conv2D kernel (height 1); the
 * layer's Conv1DParams, filter {kernel_size, C_in, filters} and float32
 * bias. mode as for Conv2D_opt. */
CORVUS_EXPORT const char* Conv1Dvia2D(int32_t mode, int32_t parts, NNKernel* kernel);
CORVUS_EXPORT void Init_Conv1Dvia2D(NNKernel* kernel);
CORVUS_EXPORT void Execute_Conv1Dvia2D(NNKernel* kernel);
CORVUS_EXPORT void Destroy_Conv1Dvia2D(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
