#define CORVUS_MODULE "Model"
#include "ModelWeights.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "LayersConvolution.h"
#include "LayersNormalization.h"
#include "PackedFilters.h"
#include "nn_kernel_list.h"
#include "Report.h"

namespace {

constexpr size_t BUFFER_SIZE = 131072;
constexpr size_t kMaxPathLength = 255;

// The open weights file. Its size bounds every allocation made from counts
// found in the file, so a hostile count cannot ask for more memory than the
// file could fill.
struct WeightsFile {
    FILE* file;
    uint64_t size;

    uint64_t Remaining() const
    {
        const long pos = ftell(file);
        if (pos < 0 || (uint64_t)pos > size) return 0;
        return size - (uint64_t)pos;
    }
    bool Holds(uint64_t count, uint64_t elementSize) const { return count <= Remaining() / elementSize; }
};

// One entry's header: the sizes array and the layer it names.
struct Entry {
    Layer* layer;
    uint32_t weightsCount;
    uint32_t* sizes;
};

void InitModelInnersData(Model* model)
{
    for (uint32_t layerInd = 0; layerInd < model->numLayers; ++layerInd) {
        Layer* layer;
        CV_CHECK_PTR(layer = model->layers[layerInd]);
        NNKernel* kernel = layer->kernel;
        if (kernel == nullptr || kernel->inner == nullptr) continue;
        for (uint32_t k = 0; k < kernel->innerNum; ++k)
            if (kernel->inner[k] != nullptr && kernel->inner[k]->data == nullptr) AllocTensorData(kernel->inner[k]);
    }
}

uint64_t RegularFileSize(FILE* file, const char* path)
{
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        CV_FATAL("Weights file %s is not a regular file", path);
    return (uint64_t)st.st_size;
}

// The name is read twice: once to find its length (terminator included),
// then into a buffer of exactly that length.
char* ReadLayerName(const WeightsFile& wf)
{
    long length = 0;
    for (;;) {
        const int c = fgetc(wf.file);
        if (c == EOF) CV_FATAL("Cannot read layer name");
        ++length;
        if (c == 0) break;
    }
    if (fseek(wf.file, -length, SEEK_CUR) != 0) CV_FATAL("Cannot read layer name");
    char* name = (char*)malloc((size_t)length);
    if (name == nullptr) CV_FATAL("Cannot allocate memory for layer name");
    if (fread(name, 1, (size_t)length, wf.file) != (size_t)length) CV_FATAL("Cannot read layer name");
    return name;
}

Layer* FindLayer(const Model* model, const char* name)
{
    for (uint32_t i = 0; i < model->numLayers; ++i)
        if (model->layers[i]->name != nullptr && strcmp(model->layers[i]->name, name) == 0) return model->layers[i];
    CV_FATAL("Layer \"%s\" is not defined in model's layers", name);
}

uint32_t* ReadSizes(const WeightsFile& wf, uint32_t weightsCount, const char* name)
{
    if (!wf.Holds(weightsCount, sizeof(uint32_t))) CV_FATAL("Error while reading weights sizes for %s", name);
    uint32_t* sizes = (uint32_t*)malloc(((size_t)weightsCount + 1) * sizeof(uint32_t));
    if (sizes == nullptr) CV_FATAL("Cannot allocate memory for weights sizes for %s", name);
    if (fread(sizes, sizeof(uint32_t), weightsCount, wf.file) != weightsCount)
        CV_FATAL("Error while reading weights sizes for %s", name);
    return sizes;
}

// Reads sizes[k] floats straight into a dense float32 tensor's storage.
void LoadWeight(const WeightsFile& wf, Tensor* tensor, uint32_t loadedSize, int k, const char* name)
{
    if (tensor->dtype != DT_FLOAT32) CV_FATAL("Only fp32 weights are supported to load (%s)", name);
    if (!IsSerialData(tensor)) CV_FATAL("Weights strides are not supported (%s)\n", name);
    const uint32_t count = GetTensorSize(tensor);
    if (count != loadedSize) CV_FATAL("weight_%d size is not equal to layer %s weights size", k, name);
    if (count == 0) return;
    if (tensor->data == nullptr) AllocTensorData(tensor);
    if (fread(tensor->data, sizeof(float), count, wf.file) != count)
        CV_FATAL("Error while loading weight_%d for %s", k, name);
}

void LoadBatchNormalization(const WeightsFile& wf, const Entry& e)
{
    const char* name = e.layer->name;
    NNKernel* kernel = e.layer->kernel;
    const NormalizationParams* params = (const NormalizationParams*)kernel->params;
    if (params == nullptr) CV_FATAL("Batch normalization %s has no parameters", name);
    const uint32_t expected = (params->scale ? 1u : 0u) + (params->center ? 1u : 0u) + kernel->innerNum;
    if (e.weightsCount != expected) CV_FATAL("Count of loaded weights mismatches weights count for %s\n", name);

    Tensor* multiplier = kernel->innerNum > 0 ? kernel->inner[0] : nullptr;
    Tensor* offset = kernel->innerNum > 1 ? kernel->inner[1] : nullptr;
    if (multiplier == nullptr || offset == nullptr)
        CV_FATAL("Batch normalization %s needs a multiplier and an offset tensor", name);
    const uint32_t C = multiplier->shape.dimension[0];
    for (const Tensor* t : {multiplier, offset})
        if (t->dtype != DT_FLOAT32 || !IsSerialData(t) || GetTensorSize(t) != C || t->data == nullptr)
            CV_FATAL("Inner tensors of batch normalization %s must be dense float32 vectors of %u values", name, C);

    const uint64_t total_weights = (uint64_t)C * e.weightsCount;
    if (!wf.Holds(total_weights, sizeof(float))) CV_FATAL("Error while reading weights for %s", name);
    float* weights = (float*)malloc((size_t)total_weights * sizeof(float) + 1);
    if (weights == nullptr)
        CV_FATAL("weights = (float*)malloc(total_weights * sizeof(float))==NULL, expected not NULL value");
    if (fread(weights, sizeof(float), (size_t)total_weights, wf.file) != total_weights)
        CV_FATAL("Error while reading weights for %s", name);

    const float* block = weights;
    const float* gamma = params->scale ? block : nullptr;
    block += params->scale ? C : 0;
    const float* beta = params->center ? block : nullptr;
    block += params->center ? C : 0;
    const float* mean = block;
    const float* variance = block + C;
    float* m = (float*)multiplier->data;
    float* a = (float*)offset->data;
    for (uint32_t c = 0; c < C; ++c) {
        const float s = sqrtf(variance[c] + params->epsilon);
        m[c] = gamma != nullptr ? gamma[c] / s : 1.0f / s;
        a[c] = fmaf(-mean[c], m[c], beta != nullptr ? beta[c] : 0.0f);
    }
    free(weights);
}

// The constant operands of a MatMul or an Einsum live in its initializer
// inputs, which the description creates without values.
void LoadConstantOperands(const WeightsFile& wf, const Entry& e)
{
    const Layer* layer = e.layer;
    const char* name = layer->name;
    if (layer->inputLayersNum > 0) CV_CHECK_PTR(layer->inputLayers);
    uint32_t next = 0;
    for (uint32_t j = 0; j < layer->inputLayersNum; ++j) {
        const Layer* producer = layer->inputLayers[j];
        if (producer == nullptr || !producer->staticOutput) continue;
        if (next >= e.weightsCount)
            CV_FATAL("Weights number from file is not equals to layer weights number for %s", name);
        const NNKernel* pk = producer->kernel;
        if (pk == nullptr || pk->outputsNum == 0 || pk->output == nullptr || pk->output[0] == nullptr)
            CV_FATAL("Constant input %u of %s has no output tensor", j, name);
        LoadWeight(wf, pk->output[0], e.sizes[next++], (int)j, name);
    }
    if (next != e.weightsCount) CV_FATAL("Weights number from file is not equals to layer weights number for %s", name);
}

// LSTM tensors sit at fixed positions of the sizes array; a tensor the
// layer does not have is skipped without consuming data.
void LoadLSTM(const WeightsFile& wf, const Entry& e)
{
    const Layer* layer = e.layer;
    const char* name = layer->name;
    const NNKernel* kernel = layer->kernel;
    auto inner = [kernel](uint32_t k) -> Tensor* { return k < kernel->innerNum ? kernel->inner[k] : nullptr; };
    // Initial states come from the file only when they are constants.
    auto state = [layer](uint32_t j) -> Tensor* {
        if (j >= layer->inputLayersNum || layer->inputLayers == nullptr) return nullptr;
        const Layer* producer = layer->inputLayers[j];
        if (producer == nullptr || !producer->staticOutput || producer->kernel == nullptr ||
            producer->kernel->outputsNum == 0)
            return nullptr;
        return producer->kernel->output[0];
    };
    if (inner(0) == nullptr || inner(1) == nullptr) CV_FATAL("LSTM %s has no input or recurrent weights tensor", name);
    Tensor* const positions[] = {inner(0), inner(1), inner(2), inner(3), state(1), state(2), inner(4)};
    constexpr uint32_t kPositions = sizeof(positions) / sizeof(positions[0]);
    uint32_t needed = 0;
    for (uint32_t p = 0; p < kPositions; ++p)
        if (positions[p] != nullptr) needed = p + 1;
    if (e.weightsCount < needed || e.weightsCount > kPositions)
        CV_FATAL("Weights number from file is not equals to layer weights number for %s", name);
    for (uint32_t p = 0; p < kPositions; ++p) {
        Tensor* t = positions[p];
        if (t == nullptr) continue;
        if (t->data == nullptr) AllocTensorData(t);
        ReadTensor(t, wf.file, e.sizes[p]);
    }
}

void LoadInnerTensors(const WeightsFile& wf, const Entry& e)
{
    const char* name = e.layer->name;
    const NNKernel* kernel = e.layer->kernel;
    uint32_t present = 0;
    for (uint32_t k = 0; k < kernel->innerNum; ++k) present += kernel->inner[k] != nullptr;
    if (e.weightsCount != present)
        CV_FATAL("Weights number from file is not equals to layer weights number for %s", name);
    // The k-th size belongs to the k-th inner tensor that exists.
    uint32_t k = 0;
    for (uint32_t slot = 0; slot < kernel->innerNum; ++slot) {
        if (kernel->inner[slot] == nullptr) continue;
        LoadWeight(wf, kernel->inner[slot], e.sizes[k], (int)k, name);
        ++k;
    }
}

bool BuildPath(char* path, const char* directory, const char* layerName, uint32_t k)
{
    const int n = snprintf(path, kMaxPathLength + 1, "%s/%s_inner_%u", directory, layerName, k);
    return n >= 0 && (size_t)n <= kMaxPathLength;
}

}  // namespace

extern "C" {

void ReadTensor(Tensor* tensor, FILE* file, uint32_t loadedSize)
{
    CV_CHECK_PTR(tensor);
    CV_CHECK_PTR(file);
    CV_CHECK(IsSerialData(tensor));
    // Float values land directly in the storage, which must hold floats.
    CV_CHECK(tensor->dtype == DT_FLOAT32);
    const uint32_t tensor_size = GetTensorSize(tensor);
    const uint32_t loaded_tensor_size = loadedSize;
    CV_CHECK(tensor_size == loaded_tensor_size);
    if (tensor_size == 0) return;
    CV_CHECK_PTR(tensor->data);
    FILE* weights_file = file;
    CV_CHECK(fread(tensor->data, sizeof(float), tensor_size, weights_file) == tensor_size);
}

// Kernels that keep a packed copy of their weights (made at initialisation)
// pack them again when new weights are loaded into an initialised model.
static void RefreshPackedWeights(Layer* layer)
{
    NNKernel* kernel = layer->kernel;
    if (kernel != nullptr && kernel->extra_resources != nullptr && kernel->fn == nn_kernel_fn_list[kfname_Conv2D_ref])
        Init_Conv2D_ref(kernel);
}

void LoadModelWeights(Model* model, const char* path)
{
    CV_CHECK_PTR(model);
    CV_CHECK_PTR(model->layers);
    CV_CHECK_PTR(path);
    RestorePackedFilters(model);
    InitModelInnersData(model);

    // Closed (then its buffer freed) on every way out, also when a check
    // unwinds instead of exiting, as in the fuzzing build.
    struct Stream {
        FILE* file = nullptr;
        char* buffer = nullptr;
        ~Stream()
        {
            if (file != nullptr) fclose(file);
            free(buffer);
        }
    } stream;
    FILE* weightsFile = stream.file = fopen(path, "rb");
    if (weightsFile == nullptr) CV_FATAL("Cannot open weights file: %s\n", path);
    CV_CHECK_PTR(stream.buffer = (char*)calloc(BUFFER_SIZE, sizeof(char)));
    CV_CHECK(setvbuf(weightsFile, stream.buffer, _IOFBF, BUFFER_SIZE) == 0);
    const WeightsFile wf{weightsFile, RegularFileSize(weightsFile, path)};

    uint32_t weightedLayers;
    CV_CHECK(fread(&weightedLayers, sizeof(uint32_t), 1, weightsFile) == 1);
    if (weightedLayers > model->numLayers)
        CV_FATAL("Number of layers with weights cannot exceed total layers count in model");

    for (uint32_t entry = 0; entry < weightedLayers; ++entry) {
        char* name = ReadLayerName(wf);
        Entry e{FindLayer(model, name), 0, nullptr};
        if (fread(&e.weightsCount, sizeof(uint32_t), 1, weightsFile) != 1)
            CV_FATAL("Cannot read weights count for %s", name);
        e.sizes = ReadSizes(wf, e.weightsCount, name);
        CV_CHECK_PTR(e.layer->kernel);
        if (e.layer->kernel->innerNum > 0) CV_CHECK_PTR(e.layer->kernel->inner);
        switch (e.layer->op) {
        case OP_BatchNormalization:
            LoadBatchNormalization(wf, e);
            break;
        case OP_MatMul:
        case OP_Einsum:
            LoadConstantOperands(wf, e);
            break;
        case OP_LSTM:
            LoadLSTM(wf, e);
            break;
        default:
            LoadInnerTensors(wf, e);
            break;
        }
        RefreshPackedWeights(e.layer);
        free(name);
        free(e.sizes);
    }
}

void SaveModelWeights(const Model* model, const char* directory)
{
    CV_CHECK_PTR(model);
    CV_CHECK_PTR(directory);
    if (model->numLayers > 0) CV_CHECK_PTR(model->layers);
    RestorePackedFilters(model);
    char path[kMaxPathLength + 1];
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const Layer* layer = model->layers[i];
        CV_CHECK_PTR(layer);
        const NNKernel* kernel = layer->kernel;
        for (uint32_t k = 0; kernel != nullptr && k < kernel->innerNum; ++k) {
            const Tensor* inner_tensor = kernel->inner[k];
            if (inner_tensor == nullptr) continue;
            if (!BuildPath(path, directory, layer->name, k))
                CV_FATAL("Path of inner tensor %u of %s is longer than %zu characters", k, layer->name, kMaxPathLength);
            SaveTensor(inner_tensor, path);
        }
    }
}

void LoadModelWeightsFromFiles(Model* model, const char* directory)
{
    CV_CHECK_PTR(model);
    CV_CHECK_PTR(directory);
    if (model->numLayers > 0) CV_CHECK_PTR(model->layers);
    RestorePackedFilters(model);
    char path[kMaxPathLength + 1];
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const Layer* layer = model->layers[i];
        CV_CHECK_PTR(layer);
        const NNKernel* kernel = layer->kernel;
        for (uint32_t k = 0; kernel != nullptr && k < kernel->innerNum; ++k) {
            Tensor* inner_tensor = kernel->inner[k];
            if (inner_tensor == nullptr) continue;
            CV_CHECK(inner_tensor->allocatedData && inner_tensor->data);
            if (!BuildPath(path, directory, layer->name, k))
                CV_FATAL("Path of inner tensor %u of %s is longer than %zu characters", k, layer->name, kMaxPathLength);
            Tensor* loaded_tensor = LoadTensor(path);
            if (loaded_tensor == nullptr) CV_FATAL("Cannot load inner tensor %u of %s from %s", k, layer->name, path);
            CV_CHECK(CompareTensorsStride(inner_tensor, loaded_tensor) == TCR_STRIDES_EQUAL);
            CV_CHECK(CompareTensorsShape(inner_tensor, loaded_tensor) == TCR_SHAPES_EQUAL);
            CV_CHECK(inner_tensor->layout == loaded_tensor->layout);
            CV_CHECK(inner_tensor->dtype == loaded_tensor->dtype);
            if (inner_tensor->ndim == 0)
                memcpy(inner_tensor->data, loaded_tensor->data, DataTypeSize((DataType)inner_tensor->dtype));
            else
                CopyTensorData(loaded_tensor, inner_tensor);
            DestroyTensor(loaded_tensor);
        }
        RefreshPackedWeights(model->layers[i]);
    }
}

}  // extern "C"
