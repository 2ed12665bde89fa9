/* Helpers shared by the layer constructors and the model runtime. */
#ifndef CORVUS_LAYERSINTERNAL_H
#define CORVUS_LAYERSINTERNAL_H

#include "Layers.h"
#include "Tensor.h"

/* A new tensor record with src's dtype, layout, rank, shape and strides that
 * borrows `data` (which may be null) and never owns it. */
Tensor* CreateTensorView(const Tensor* src, void* data);

/* A layer of one input and `innerNum` inner slots: inputLayer's output when
 * the layer is given, else inputTensor (giving both fails, as in
 * CreateLayer). The output slot is left for the constructor to fill. */
Layer* CreateSingleInputLayer(const char* name, LayerOpType op, Layer* inputLayer, Tensor* inputTensor,
                              uint32_t innerNum);

/* A shape whose first dimensions are the given extents and the rest 0. */
inline TensorShape ShapeOf(uint32_t d0, uint32_t d1 = 0, uint32_t d2 = 0, uint32_t d3 = 0)
{
    TensorShape s = {};
    s.dimension[0] = d0;
    s.dimension[1] = d1;
    s.dimension[2] = d2;
    s.dimension[3] = d3;
    return s;
}

/* Test hook: sets every per-operation name counter back to 0, so a test sees
 * the names a fresh process generates whatever ran before it. */
void ResetLayerNameCounters(void);

#endif
