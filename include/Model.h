/* The model record: layers in execution order, inputs, outputs and the
 * shared memory of intermediate tensors. */
#ifndef CORVUS_MODEL_H
#define CORVUS_MODEL_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
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
    /* The worker threads of a model split over several cores
     * (SetModelCoresNumber); null when it runs on the caller's thread alone. */
    void* corePool;
} Model;

typedef struct ModelInput {
    const char* name;
    Tensor* tensor;
} ModelInput;

/* Creates a model whose layers are everything the outputs depend on, in a
 * depth-first post-order from the outputs (producers in input order). */
CORVUS_EXPORT Model* CreateModel(Layer** outputLayers, uint32_t outputLayersCount);
CORVUS_EXPORT void DestroyModel(Model* model);
/* Allocates outputs and inner tensors, binds every layer's inputs to its
 * producers' outputs, installs default kernels and initialises them. */
CORVUS_EXPORT uint32_t InitModel(Model* model, uint32_t batchSize);
/* Feeds the inputs by layer name, runs the model and returns the output
 * layers; each result is that layer's kernel->output[0]. */
CORVUS_EXPORT Layer** Predict(Model* model, uint32_t inputsCount, const ModelInput* inputs);
CORVUS_EXPORT void PostOrderLayerTraversal(Model* model, Layer* layer);
CORVUS_EXPORT void AddAdditionalLayersToModel(Model* model, Layer* layer);
/* The one dimension along which a unit-step slice cuts a dense input into a
 * dense output of the same rank; -1 when there is none or several.
 * sliceParams holds starts[6], ends[6] and steps[6]. */
CORVUS_EXPORT int32_t GetSplitAxis(const Tensor* in, const Tensor* out, const uint32_t* sliceParams);

/* Rewrites the graph before initialisation: fuses layers, rebuilds the
 * order, chooses every layer's kernel and plans the shared memory of the
 * intermediate outputs. A float16Mode of 1 is reported and runs as 0. */
CORVUS_EXPORT void OptimizeModel(Model* model, uint32_t float16Mode);
/* Chooses one layer's kernel; with float16Mode 1 also converts its tensors
 * to float16 and prepares its weights for the chosen kernel. */
CORVUS_EXPORT void OptimizeLayer(Layer* layer, uint32_t float16Mode);
CORVUS_EXPORT void ConvertLayerInOutTensorsToFloat16(Layer* layer);
CORVUS_EXPORT void ConvertLayerInnersTensorsToFloat16(Layer* layer);

/* Execution loops (per-layer tick counts in layer->stat). On one core the
 * ticks are processor time (clock()); on several cores, where clock() would
 * sum the time of all threads, they are the layer's wall time (monotonic
 * clock) in the same unit, CLOCKS_PER_SEC per second. */
CORVUS_EXPORT void ExecuteModel(Model* model);
CORVUS_EXPORT void ExecuteModelDebug(Model* model);
/* Sets the cores every layer's kernel may use (1, the default: everything
 * runs on the caller's thread, nothing is split). With n > 1 the heavy
 * layers are split into shares (layer->coreKernels; about four per core, at
 * most MAX_CORE_KERNELS, a multiple of n when more than n, fewer for small
 * layers) that ExecuteModel hands out, one at a time, to n - 1 worker
 * threads owned by the model and to the caller's thread, so that a thread
 * the host preempts holds up a layer by one share only; results are
 * bit-identical to one core, whichever thread runs a share. Takes effect at
 * once on an initialised model, else at InitModel. n above MAX_CORE_KERNELS
 * is capped at MAX_CORE_KERNELS; n = 0 is fatal. */
CORVUS_EXPORT void SetModelCoresNumber(Model* model, uint32_t n);

#ifdef __cplusplus
}
#endif

#endif
