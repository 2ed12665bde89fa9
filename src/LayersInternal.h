/* Helpers shared by the layer constructors and the model runtime. */
#ifndef CORVUS_LAYERSINTERNAL_H
#define CORVUS_LAYERSINTERNAL_H

#include "Tensor.h"

/* A new tensor record with src's dtype, layout, rank, shape and strides that
 * borrows `data` (which may be null) and never owns it. */
Tensor* CreateTensorView(const Tensor* src, void* data);

/* Test hook: sets every per-operation name counter back to 0, so a test sees
 * the names a fresh process generates whatever ran before it. */
void ResetLayerNameCounters(void);

#endif
