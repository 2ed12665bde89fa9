/* Helpers shared by the layer constructors and the model runtime. */
#ifndef CORVUS_LAYERSINTERNAL_H
#define CORVUS_LAYERSINTERNAL_H

#include "Tensor.h"

/* A new tensor record with src's dtype, layout, rank, shape and strides that
 * borrows `data` (which may be null) and never owns it. */
Tensor* CreateTensorView(const Tensor* src, void* data);

#endif
