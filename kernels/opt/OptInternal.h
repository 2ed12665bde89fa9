// Helpers shared by the optimised kernels, and their test hooks.
#ifndef CORVUS_KERNELS_OPT_OPTINTERNAL_H
#define CORVUS_KERNELS_OPT_OPTINTERNAL_H

#include <stdint.h>

#include "Layers.h"
#include "Tensor.h"

struct KernelScratch;

// Pooling1D_opt on the caller's scratch block (null: one for this call).
extern "C" int Pooling1D_opt_scratch(int32_t share, int32_t shares, Tensor* output, const Tensor* input, uint32_t axis,
                                     uint32_t window, uint32_t stride, uint32_t padBegin, uint32_t padEnd,
                                     uint32_t padMode, uint32_t isMax, KernelScratch* scratch);

struct Pool2DParams;

// Float32 max pooling as Pooling2D_opt's passes (1 or 2, the first along
// firstAxis: 1 the height, 2 the width), computed in main memory without
// the intermediate. Computes output rows [rowBegin, rowEnd) of every image.
extern "C" void MaxPool2D_fl32_passes(Tensor* out, const Tensor* in, uint32_t passes, uint32_t firstAxis,
                                      const Pool2DParams* p, uint64_t rowBegin, uint64_t rowEnd);

namespace corvus_opt {

// Copies src into dst (equal type, rank and shape): through the transpose
// engine under the identity permutation when both innermost strides are 1,
// else through Transpose_ref. A refusal of the engine is fatal, reported as
// "<caller> error: <reason>".
void CopyView(Tensor* dst, const Tensor* src, const char* caller);

// Element count times element size times 2: the bytes a kernel that reads
// and writes that tensor once accounts for.
uint64_t TwiceBytes(const Tensor* t);

// Stores bytes as the kernel's total and as its fifth byte counter; the
// other four counters become 0.
void SetKernelBytes(NNKernel* kernel, uint64_t bytes);

// Test hook: the input channels per pass of an initialised Conv2D_opt
// kernel (all of them when it computes in one pass), 0 without a context.
uint32_t Conv2DOptPassChannels(const NNKernel* kernel);

}  // namespace corvus_opt

#endif
