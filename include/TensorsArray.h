/* A counted array of tensor pointers. */
#ifndef CORVUS_TENSORSARRAY_H
#define CORVUS_TENSORSARRAY_H

#include "CorvusExport.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TensorsArray {
    Tensor** tensors;
    uint32_t tensorsCount;
} TensorsArray;

CORVUS_EXPORT TensorsArray* CreateTensorsArray(uint32_t count);
CORVUS_EXPORT void AssignTensor(TensorsArray* tensorsArray, Tensor* tensor, uint32_t pos);
CORVUS_EXPORT void DestroyTensorsArray(TensorsArray* tArray, bool destroyTensors);

#ifdef __cplusplus
}
#endif

#endif
