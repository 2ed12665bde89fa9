/* Planning of the shared memory block that holds a model's intermediate
 * outputs: usage records, their offsets and the buffer. */
#ifndef CORVUS_TENSORSSHAREDMEMORY_H
#define CORVUS_TENSORSSHAREDMEMORY_H

#include <stdint.h>

#include "CorvusExport.h"
#include "Model.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills model->tensorsSharedMemory.tensorUsageRecords (capacity numLayers,
 * allocated by the caller) with one record per planned layer output, sorted
 * by size descending and then by producing layer; sets numRecords. Slice
 * layers and reshapes that can alias their input get staticOutput instead. */
CORVUS_EXPORT void CreateTensorUsageRecords(Model* model);

/* Assigns every record a 16-byte aligned offset such that records whose
 * lifetimes overlap never share bytes; fills offsets (numRecords entries,
 * allocated by the caller) and returns the buffer size, 0 without records. */
CORVUS_EXPORT uint32_t OffsetCalculation(Model* model);

/* The whole planning sequence on a model whose layer order is final:
 * records, offsets and the zero-filled shared buffer. Sets
 * useTensorsSharedMemory when the buffer is non-empty and returns its size.
 * Must run before InitModel; a previous plan of the model is released. */
CORVUS_EXPORT uint64_t PlanTensorsSharedMemory(Model* model);

#ifdef __cplusplus
}
#endif

#endif
