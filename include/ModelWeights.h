/* The weights file, and per-layer files of inner tensors. */
#ifndef CORVUS_MODELWEIGHTS_H
#define CORVUS_MODELWEIGHTS_H

#include <stdint.h>
#include <stdio.h>

#include "CorvusExport.h"
#include "Model.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reads a weights file into the layers' inner tensors (and the constant
 * operands of MatMul and LSTM layers), giving every inner tensor without
 * data zero-filled storage first. The file is little-endian:
 *   uint32 entry count (at most model->numLayers), then per entry
 *   a zero-terminated layer name, uint32 weightsCount,
 *   weightsCount x uint32 element counts, then the float32 data.
 * Batch normalisation statistics (gamma, beta, mean, variance) are folded
 * into a per-channel multiplier inner[0] and offset inner[1]. Any mismatch
 * between file and model is fatal. */
CORVUS_EXPORT void LoadModelWeights(Model* model, const char* path);

/* Reads loadedSize float32 values from file into a dense float32 tensor of
 * exactly that many elements. */
CORVUS_EXPORT void ReadTensor(Tensor* tensor, FILE* file, uint32_t loadedSize);

/* Writes inner tensor k of every layer L to the tensor file
 * "<directory>/<L name>_inner_<k>". */
CORVUS_EXPORT void SaveModelWeights(const Model* model, const char* directory);

/* Loads every inner tensor back from the files SaveModelWeights writes; the
 * files must match the tensors' shape, strides, layout and type. */
CORVUS_EXPORT void LoadModelWeightsFromFiles(Model* model, const char* directory);

#ifdef __cplusplus
}
#endif

#endif
