#define CORVUS_MODULE "Model"
#include "TensorsSharedMemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "LayersOptimizer.h"
#include "Report.h"
#include "common/KernelScratch.h"

namespace {

constexpr uint32_t kReaderOutsideModel = 0xFFFFFFFFu;
constexpr uint64_t kAlignment = 16;
// Sizes are compared as signed 32-bit values by the plan's contract.
constexpr uint64_t kMaxRecordSize = 0x7FFFFFFFu;

// Readers are found by their links, not their names: two layers may share
// a name, and the wrong one would end a lifetime too early.
class LayerIndex {
public:
    explicit LayerIndex(const Model* model)
    {
        for (uint32_t i = 0; i < model->numLayers; ++i)
            if (model->layers[i] != nullptr) index_.emplace(model->layers[i], i);
    }
    uint32_t Find(const Layer* layer) const
    {
        auto it = index_.find(layer);
        return it == index_.end() ? kReaderOutsideModel : it->second;
    }

private:
    std::unordered_map<const Layer*, uint32_t> index_;
};

bool IsOutputLayer(const Model* model, const Layer* layer)
{
    const IOLayers* io = model->ioLayers;
    return io != nullptr && io->outputLayers != nullptr &&
           IsLayerInList(io->outputLayers, io->outputLayersCount, layer);
}

// A reshape whose output can become a view of its input needs no storage.
bool ReshapeCanAlias(const Model* model, Layer* layer)
{
    const NNKernel* kernel = layer->kernel;
    if (kernel->inputsNum == 0 || kernel->input == nullptr || kernel->input[0] == nullptr) return false;
    if (kernel->outputsNum == 0 || kernel->output == nullptr || kernel->output[0] == nullptr) return false;
    const IOLayers* io = model->ioLayers;
    return is_fit_for_OptimizeReshape(kernel->input[0], kernel->output[0], io ? io->outputLayers : nullptr,
                                      io ? io->outputLayersCount : 0, layer);
}

// Index of the last layer that reads the output of layers[i]. A consumer
// that is a reshape may hand the same storage on to its own consumers, so
// reshapes are looked through (chains included).
uint32_t LastReader(const Model* model, const LayerIndex& index, uint32_t i)
{
    const Layer* layer = model->layers[i];
    // Model outputs are read by the host after the last layer has run.
    if (layer->consumerLayersNum == 0 || IsOutputLayer(model, layer)) return model->numLayers - 1;
    CV_CHECK_PTR(layer->consumerLayers);
    uint32_t last = i;
    std::vector<const Layer*> pending(layer->consumerLayers, layer->consumerLayers + layer->consumerLayersNum);
    std::vector<const Layer*> seen;
    while (!pending.empty()) {
        const Layer* c = pending.back();
        pending.pop_back();
        if (c == nullptr) CV_FATAL("Consumer of layer %s is not created", layer->name);
        if (std::find(seen.begin(), seen.end(), c) != seen.end()) continue;
        seen.push_back(c);
        last = std::max(last, index.Find(c));
        if (c->op == OP_Reshape && c->consumerLayersNum > 0) {
            CV_CHECK_PTR(c->consumerLayers);
            pending.insert(pending.end(), c->consumerLayers, c->consumerLayers + c->consumerLayersNum);
        }
    }
    return last;
}

uint32_t OutputsBytes(const Layer* layer)
{
    const NNKernel* kernel = layer->kernel;
    uint64_t bytes = 0;
    for (uint32_t j = 0; j < kernel->outputsNum && kernel->output != nullptr; ++j) {
        const Tensor* t = kernel->output[j];
        if (t == nullptr) continue;
        bytes += (uint64_t)GetTensorDataSize(t) * DataTypeSize((DataType)t->dtype);
    }
    if (bytes > kMaxRecordSize)
        CV_FATAL("Outputs of layer %s take %llu bytes; planned outputs must stay below 2 GiB", layer->name,
                 (unsigned long long)bytes);
    return (uint32_t)bytes;
}

// Some outputs are written before the first layer runs: inputs are fed
// before execution, and anchor boxes are computed once at initialisation.
// Their storage is in use from the start of the model.
uint32_t LifetimeStart(const Model* model, const TensorUsageRecord& r)
{
    const Layer* layer = r.firstLayer < model->numLayers ? model->layers[r.firstLayer] : nullptr;
    const bool early = layer != nullptr && (layer->op == OP_Input || layer->op == OP_AnchorBoxes);
    return early ? 0 : r.firstLayer;
}

void ReleasePlan(Model* model)
{
    TensorsSharedMemory& shm = model->tensorsSharedMemory;
    free(shm.tensorUsageRecords);
    free(shm.offsets);
    FreeZeroedAligned(shm.data);
    shm.tensorUsageRecords = nullptr;
    shm.offsets = nullptr;
    shm.data = nullptr;
    shm.numRecords = 0;
    shm.size = 0;
    model->useTensorsSharedMemory = false;
}

}  // namespace

extern "C" {

void CreateTensorUsageRecords(Model* model)
{
    CV_CHECK_PTR(model);
    TensorsSharedMemory& shm = model->tensorsSharedMemory;
    shm.numRecords = 0;
    if (model->numLayers == 0) return;
    CV_CHECK_PTR(model->layers);
    CV_CHECK_PTR(shm.tensorUsageRecords);
    const LayerIndex index(model);

    for (uint32_t layer_ind = 0; layer_ind < model->numLayers; ++layer_ind) {
        Layer* layer;
        CV_CHECK_PTR(layer = model->layers[layer_ind]);
        CV_CHECK_PTR(layer->kernel);
        if (layer->op == OP_Slice) {
            layer->staticOutput = true;
            continue;
        }
        if (layer->op == OP_Reshape && ReshapeCanAlias(model, layer)) {
            layer->staticOutput = true;
            continue;
        }
        if (layer->staticOutput) continue;
        TensorUsageRecord& r = shm.tensorUsageRecords[shm.numRecords++];
        r.firstLayer = layer_ind;
        r.lastLayer = LastReader(model, index, layer_ind);
        r.size = OutputsBytes(layer);
    }

    // Size descending, then producer order; the order is total.
    std::sort(shm.tensorUsageRecords, shm.tensorUsageRecords + shm.numRecords,
              [](const TensorUsageRecord& a, const TensorUsageRecord& b) {
                  if (a.size != b.size) return a.size > b.size;
                  return a.firstLayer < b.firstLayer;
              });
}

uint32_t OffsetCalculation(Model* model)
{
    CV_CHECK_PTR(model);
    TensorsSharedMemory& shm = model->tensorsSharedMemory;
    const uint32_t n = shm.numRecords;
    if (n == 0) return 0;
    CV_CHECK_PTR(shm.tensorUsageRecords);
    CV_CHECK_PTR(shm.offsets);
    memset(shm.offsets, 0, n * sizeof(uint32_t));

    const TensorUsageRecord* records = shm.tensorUsageRecords;
    std::vector<uint32_t> start(n);
    for (uint32_t k = 0; k < n; ++k) start[k] = LifetimeStart(model, records[k]);

    uint64_t total = records[0].size;
    for (uint32_t k = 1; k < n; ++k) {
        const TensorUsageRecord& r = records[k];
        int64_t prev = 0;
        int64_t best = 0;
        int64_t smallestGap = 2147483647;
        // Placed records are visited in placement order, not offset order;
        // best falls back to the running end whenever a later overlapping
        // record does not offer a better gap, which keeps placements apart.
        for (uint32_t p = 0; p < k; ++p) {
            const TensorUsageRecord& q = records[p];
            if (std::min(r.lastLayer, q.lastLayer) < std::max(start[k], start[p])) continue;
            const int64_t gap = (int64_t)shm.offsets[p] - prev;
            const int64_t end = (int64_t)(((uint64_t)shm.offsets[p] + q.size + kAlignment - 1) & ~(kAlignment - 1));
            if (gap >= (int64_t)r.size && gap < smallestGap) {
                best = prev;
                smallestGap = gap;
                prev = end;
            } else {
                prev = std::max(prev, end);
                best = prev;
            }
        }
        const uint64_t offset = (uint64_t)best;
        if (offset + r.size > UINT32_MAX)
            CV_FATAL("Shared memory of the model exceeds 4 GiB at layer #%u", r.firstLayer);
        shm.offsets[k] = (uint32_t)offset;
        total = std::max(total, offset + r.size);
    }
    return (uint32_t)total;
}

uint64_t PlanTensorsSharedMemory(Model* model)
{
    CV_CHECK_PTR(model);
    if (model->isInitialized) CV_FATAL("Memory of an initialized model cannot be planned");
    ReleasePlan(model);
    TensorsSharedMemory& shm = model->tensorsSharedMemory;
    shm.numRecords = 0;
    model->useTensorsSharedMemory = true;
    // One spare entry keeps calloc from returning null for empty arrays.
    shm.tensorUsageRecords = (TensorUsageRecord*)calloc((size_t)model->numLayers + 1, sizeof(TensorUsageRecord));
    if (shm.tensorUsageRecords == nullptr)
        CV_FATAL("model->tensorsSharedMemory.tensorUsageRecords = (TensorUsageRecord*)calloc(model->numLayers, "
                 "sizeof(TensorUsageRecord))==NULL, expected not NULL value");
    CreateTensorUsageRecords(model);
    shm.offsets = (uint32_t*)calloc((size_t)shm.numRecords + 1, sizeof(uint32_t));
    if (shm.offsets == nullptr)
        CV_FATAL("model->tensorsSharedMemory.offsets = (uint32_t*)calloc( model->tensorsSharedMemory.numRecords, "
                 "sizeof(uint32_t))==NULL, expected not NULL value");
    shm.size = OffsetCalculation(model);
    if (shm.size == 0) {
        ReleasePlan(model);
        return 0;
    }
    shm.data = (uint8_t*)AllocZeroedAligned(shm.size);
    if (shm.data == nullptr) CV_FATAL("Cannot allocate memory");
    return shm.size;
}

}  // extern "C"
