/* Per-layer statistics (CSV), operation counts and tensor dumps.
 *
 * Statistics describe the most recent execution of each layer: the execution
 * loop stores each kernel's clock ticks in layer->stat. Dumps write a layer's
 * inputs, first output and inner tensors as tensor files (SaveTensor) into an
 * existing directory:
 *   <dir>/<name>_in_<i>, <dir>/<name>_out, <dir>/<name>_inner_<slot>
 * where <name> is the layer name with every "/" replaced by "_". Every
 * failure is fatal. */
#ifndef CORVUS_PROFILING_H
#define CORVUS_PROFILING_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "CorvusExport.h"
#include "Layers.h"
#include "Model.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the header and one line per layer, in the model's order, to path
 * (created or truncated). */
CORVUS_EXPORT void SaveModelStatisticToCSV(const Model* model, const char* path);
/* Writes the header line first when header is set, then the layer's line.
 * A layer whose kernel may use several cores (coresNumber > 1) gets a last
 * column "Cores": the number of cores that ran it (coresNumber, or its
 * share count when smaller; 1 when not split), not its shares, of which
 * there are about four per core; its TotalTics are then wall time, see
 * ExecuteModel. */
CORVUS_EXPORT void SaveLayerStatisticToCSV(const Layer* layer, FILE* file, bool header);

CORVUS_EXPORT uint64_t GetLayerFLOPs(const Layer* layer);
CORVUS_EXPORT uint64_t GetModelTotalFLOPs(const Model* model);
CORVUS_EXPORT uint64_t GetModelTotalTics(const Model* model);

/* Dumps every input tensor, output[0] and every present inner tensor. */
CORVUS_EXPORT void SaveLayersTensors(const Layer* layer, const char* dirName);
/* New tensors read back from a dump (null when a file is not a tensor file);
 * the caller owns them (DestroyTensor). index must be below the number of
 * inputs. */
CORVUS_EXPORT Tensor* LoadInputTensor(const Layer* layer, const char* dirName, int32_t index);
CORVUS_EXPORT Tensor* LoadOutputTensor(const Layer* layer, const char* dirName);

#ifdef __cplusplus
}
#endif

#endif
