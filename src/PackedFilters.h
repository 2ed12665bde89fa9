// Models whose Conv2D filters live only in their packed panels.
//
// A model loaded through the flat interface is initialised layer by layer
// with each tiled Conv2D layer's filter data released once it is packed, so
// the weights are held once, not twice. Everything that reads or writes the
// filter tensors (weight loads and saves, tensor dumps, a host reaching the
// model's records, a layer that no longer fits its pack) restores them
// first, bit for bit.
#ifndef CORVUS_PACKEDFILTERS_H
#define CORVUS_PACKEDFILTERS_H

#include <cstdint>

#include "Layers.h"
#include "Model.h"

namespace corvus_conv {

// Releases the filter data of an initialised Conv2D_ref layer whose pack
// covers every output channel; false (nothing changed) for any other kernel.
bool ReleasePackedFilter(NNKernel* kernel);
// Rebuilds the released filter data from the panels; nothing for a kernel
// whose filter was not released.
void RestorePackedFilter(NNKernel* kernel);

}  // namespace corvus_conv

// InitModel, releasing each packed filter right after its layer is
// initialised (the peak holds one layer's filter twice, not the model's).
uint32_t InitModelHoldingFilters(Model* model, uint32_t batchSize);
// Restores every filter the model's packs hold.
void RestorePackedFilters(const Model* model);

#endif
