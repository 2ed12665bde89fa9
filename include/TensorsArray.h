/* A counted array of tensor pointers. */
#ifndef CORVUS_TENSORSARRAY_H
#define CORVUS_TENSORSARRAY_H

#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TensorsArray {
    Tensor** tensors;
    uint32_t tensorsCount;
} TensorsArray;

TensorsArray* CreateTensorsArray(uint32_t count);
void AssignTensor(TensorsArray* tensorsArray, Tensor* tensor, uint32_t pos);
void DestroyTensorsArray(TensorsArray* tArray, bool destroyTensors);

#ifdef __cplusplus
}
#endif

#endif
