/* Checks of the optimised and geometry-specific kernels that kernel
 * selection consults. Each returns null when its kernel can process the
 * layer, else the reason it cannot. The kernel's own source defines it; a
 * probe listed here and defined nowhere is a link error. */
#ifndef CORVUS_KERNELPROBES_H
#define CORVUS_KERNELPROBES_H

#include "Layers.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef const char* (*KernelProbeFn)(const NNKernel* kernel);

#define CORVUS_PROBES(X)                                                                                               \
    X(MaxPool2D_opt)                                                                                                   \
    X(AvgPool2D_opt)                                                                                                   \
    X(GlobalAvgPool2D_opt)                                                                                             \
    X(ResizeNear3F32_ref)                                                                                              \
    X(ResizeNear_ref)                                                                                                  \
    X(ResizeDown3F16_opt)                                                                                              \
    X(ResizeDown3F32_opt)                                                                                              \
    X(ResizeDown3F32_ref)                                                                                              \
    X(ResizeDownF32_ref)

#define CORVUS_PROBE_DECL(name) const char* Probe_##name(const NNKernel* kernel);
CORVUS_PROBES(CORVUS_PROBE_DECL)
#undef CORVUS_PROBE_DECL

#ifdef __cplusplus
}
#endif

#endif
