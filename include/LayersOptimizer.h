/* Graph clean-ups that model initialisation runs once storage is bound:
 * reshapes as views of their input and grouped sibling slices. */
#ifndef CORVUS_LAYERSOPTIMIZER_H
#define CORVUS_LAYERSOPTIMIZER_H

#include "CorvusExport.h"
#include "Layers.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Turns reshapes that need no copy into views of their input; returns how many. */
CORVUS_EXPORT uint32_t OptimizeReshape(Layer** layers, uint32_t count, Layer** outputs, uint32_t outputsCount);
CORVUS_EXPORT bool is_fit_for_OptimizeReshape(Tensor* in, Tensor* out, Layer** outputs, uint32_t outputsCount,
                                              Layer* layer);
/* Groups slices of one input under one kernel; returns the number of groups. */
CORVUS_EXPORT uint32_t OptimizeSlice(Layer** layers, uint32_t count, Layer** outputs);

#ifdef __cplusplus
}
#endif

#endif
