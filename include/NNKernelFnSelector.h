/* Kernel selection per operation and ahead-of-time evaluation of a layer. */
#ifndef CORVUS_NNKERNELFNSELECTOR_H
#define CORVUS_NNKERNELFNSELECTOR_H

#include "CorvusExport.h"
#include "DataType.h"
#include "Layers.h"
#include "nn_kernel_list.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The central processor; the only target this library selects for. */
#define KERNEL_TARGET_CPU 1

/* Picks the kernel number for a layer; kfname_TOTAL when the operation has
 * no selector (the layer then keeps its default kernel). */
CORVUS_EXPORT kfname SelectNNKernelFn(uint32_t target, LayerOpType op, DataType dtype, NNKernel* kernel);

/* Selects, allocates the output and runs one layer while a model is built,
 * when all its producers already hold constant output. */
CORVUS_EXPORT void ExecuteLayer(Layer* layer);

/* Per-operation selectors. */
#define CORVUS_SELECTOR(op)                                                                                            \
    CORVUS_EXPORT kfname SelectNNKernelFn##op(uint32_t target, DataType dtype, NNKernel* kernel);
#include "nn_kernel_selectors.def"
#undef CORVUS_SELECTOR

#ifdef __cplusplus
}
#endif

#endif
