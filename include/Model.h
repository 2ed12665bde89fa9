/* The model record: layers in execution order, inputs, outputs and the
 * shared memory of intermediate tensors. */
#ifndef CORVUS_MODEL_H
#define CORVUS_MODEL_H

#include <stdbool.h>
#include <stdint.h>

#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct IOLayers {
    Layer** outputLayers;
    uint32_t outputLayersCount;
    Layer** inputLayers;
    uint32_t inputLayersCount;
} IOLayers;

typedef struct TensorUsageRecord {
    uint32_t firstLayer;
    uint32_t lastLayer; /* 0xFFFFFFFF when a reader is outside the model */
    uint32_t size;
} TensorUsageRecord;

typedef struct TensorsSharedMemory {
    TensorUsageRecord* tensorUsageRecords;
    uint32_t numRecords;
    uint32_t* offsets;
    uint8_t* data;
    uint64_t size;
} TensorsSharedMemory;

typedef struct ModelStruct {
    Layer** layers;
    uint32_t numLayers;
    IOLayers* ioLayers;
    bool isInitialized;
    bool useTensorsSharedMemory;
    TensorsSharedMemory tensorsSharedMemory;
} Model;

typedef struct ModelInput {
    const char* name;
    Tensor* tensor;
} ModelInput;

/* Execution loops (per-layer tick counts in layer->stat). */
void ExecuteModel(Model* model);
void ExecuteModelDebug(Model* model);
void SetModelCoresNumber(Model* model, uint32_t n);

#ifdef __cplusplus
}
#endif

#endif
