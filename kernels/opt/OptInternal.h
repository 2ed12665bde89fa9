// Helpers shared by the optimised data-movement kernels.
#ifndef CORVUS_KERNELS_OPT_OPTINTERNAL_H
#define CORVUS_KERNELS_OPT_OPTINTERNAL_H

#include <stdint.h>

#include "Layers.h"
#include "Tensor.h"

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

}  // namespace corvus_opt

#endif
