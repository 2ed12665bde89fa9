#define CORVUS_MODULE "Model"
#include "Model.h"

#include <cstdlib>
#include <cstring>

#include "DataTypeConvert.h"
#include "KernelShares.h"
#include "LayersDataMovement.h"
#include "LayersInternal.h"
#include "TensorsSharedMemory.h"
#include "LayersOptimizer.h"
#include "PackedFilters.h"
#include "Report.h"
#include "nn_kernel_list.h"

namespace {

void AppendLayer(Model* model, Layer* layer)
{
    Layer** grown = (Layer**)realloc(model->layers, (model->numLayers + 1) * sizeof(Layer*));
    if (grown == nullptr) CV_FATAL("Cannot allocate memory");
    model->layers = grown;
    model->layers[model->numLayers++] = layer;
}

void AppendInputLayer(Model* model, Layer* layer)
{
    IOLayers* io = model->ioLayers;
    // Inputs are fed by name: a second input of the same name could never be.
    for (uint32_t i = 0; i < io->inputLayersCount && layer->name != nullptr; ++i)
        if (io->inputLayers[i]->name != nullptr && strcmp(io->inputLayers[i]->name, layer->name) == 0)
            CV_FATAL("Two input layers are named \"%s\"; inputs are fed by name", layer->name);
    io->inputLayersCount++;
    Layer** grown = (Layer**)realloc(io->inputLayers, io->inputLayersCount * sizeof(Layer*));
    if (grown == nullptr)
        CV_FATAL("model->ioLayers->inputLayers = (Layer**)realloc( model->ioLayers->inputLayers, "
                 "model->ioLayers->inputLayersCount * sizeof(Layer*))==NULL, expected not NULL value");
    io->inputLayers = grown;
    io->inputLayers[io->inputLayersCount - 1] = layer;
}

void VisitProducers(Model* model, Layer* layer)
{
    if (layer->inputLayersNum > 0) CV_CHECK_PTR(layer->inputLayers);
    for (uint32_t i = 0; i < layer->inputLayersNum; ++i) PostOrderLayerTraversal(model, layer->inputLayers[i]);
}

void BindInputs(Layer* layer)
{
    NNKernel* kernel = layer->kernel;
    for (uint32_t j = 0; j < layer->inputLayersNum; ++j) {
        if (layer->op == OP_PostLSTM) continue;
        if (layer->op == OP_LSTM) {
            // The m-th output of an LSTM feeds its m-th consumer.
            for (uint32_t m = 0; m < layer->consumerLayersNum; ++m) {
                NNKernel* ck = layer->consumerLayers[m]->kernel;
                if (m >= kernel->outputsNum || kernel->output[m] == nullptr || ck->inputsNum == 0) continue;
                DestroyTensor(ck->input[0]);
                ck->input[0] = CreateTensorView(kernel->output[m], kernel->output[m]->data);
            }
        }
        if (j >= kernel->inputsNum) break;
        const Tensor* produced = layer->inputLayers[j]->kernel->output[0];
        CV_CHECK_PTR(produced);
        // A producer without a layout tag (a model input) keeps the layout
        // the consumer's constructor settled, which its kernel checks.
        const uint32_t settled = kernel->input[j] != nullptr ? kernel->input[j]->layout : (uint32_t)DL_NONE;
        DestroyTensor(kernel->input[j]);
        kernel->input[j] = CreateTensorView(produced, produced->data);
        if (kernel->input[j]->layout == DL_NONE) kernel->input[j]->layout = settled;
    }
}

void CopyByteCounters(Layer* layer)
{
    layer->totalBytes = 0;
    memset(layer->bytesSize, 0, sizeof(layer->bytesSize));
    if (GetKernelCoreCount(layer) == 0) {
        layer->totalBytes = layer->kernel->totalBytes;
        memcpy(layer->bytesSize, layer->kernel->bytesSize, sizeof(layer->bytesSize));
        return;
    }
    for (const NNKernel* core : layer->coreKernels) {
        if (core == nullptr) continue;
        layer->totalBytes += core->totalBytes;
        for (int c = 0; c < KERNEL_BYTES_CATEGORIES; ++c) layer->bytesSize[c] += core->bytesSize[c];
    }
}

void PlaceSharedOutputs(Model* model)
{
    TensorsSharedMemory& shm = model->tensorsSharedMemory;
    for (uint32_t k = 0; k < shm.numRecords; ++k) {
        const uint32_t layer_ind = shm.tensorUsageRecords[k].firstLayer;
        CV_CHECK_MSG(layer_ind < model->numLayers, "Memory plan refers to layer #%u of %u", layer_ind,
                     model->numLayers);
        Layer* layer;
        CV_CHECK_PTR(layer = model->layers[layer_ind]);
        NNKernel* kernel = layer->kernel;
        Tensor* prevTensor = kernel->outputsNum > 0 ? kernel->output[0] : nullptr;
        if (prevTensor == nullptr) CV_FATAL("Cannot allocate memory. Tensor is not created");
        if (prevTensor->data != nullptr)
            CV_FATAL("Cannot allocate memory for layer #%d. Refering to an existing memory prevTensor->data: %p",
                     (int)layer_ind, prevTensor->data);
        uint8_t* place = shm.data + shm.offsets[k];
        prevTensor->data = place;
        for (uint32_t j = 1; j < kernel->outputsNum; ++j) {
            place += (size_t)GetTensorDataSize(prevTensor) * DataTypeSize((DataType)prevTensor->dtype);
            Tensor* curTensor = kernel->output[j];
            if (curTensor == nullptr) CV_FATAL("Cannot allocate memory. Tensor is not created");
            if (curTensor->data != nullptr)
                CV_FATAL("Cannot allocate memory. Refering to an existing memory curTensor->data: %p", curTensor->data);
            curTensor->data = place;
            prevTensor = curTensor;
        }
    }
}

void FeedInput(Model* model, const char* name, const Tensor* in)
{
    IOLayers* io = model->ioLayers;
    Layer* target = nullptr;
    for (uint32_t i = 0; i < io->inputLayersCount && name != nullptr; ++i)
        if (strcmp(io->inputLayers[i]->name, name) == 0) {
            target = io->inputLayers[i];
            break;
        }
    if (target == nullptr) CV_FATAL("Input name \"%s\" doesn't compare with any InputLayer names", name ? name : "");
    Tensor* out = target->kernel->output[0];
    CV_CHECK_PTR(in);
    if (in->dtype != out->dtype) {
        TensorDataConvert(out, in);
        return;
    }
    if (IsSerialData(in) && IsSerialData(out)) {
        // Both dense: one flat block of elements.
        CV_CHECK_MSG(GetTensorDataSize(in) == GetTensorDataSize(out),
                     "in.shape.dimension[0] == out.shape.dimension[0]: false, expected: true");
        CV_CHECK_PTR(in->data);
        CV_CHECK_PTR(out->data);
        memmove(out->data, in->data, (size_t)GetTensorDataSize(in) * DataTypeSize((DataType)in->dtype));
        return;
    }
    if (CompareTensorsShape(in, out) != TCR_SHAPES_EQUAL || CompareTensorsStride(in, out) != TCR_STRIDES_EQUAL)
        CV_FATAL("Tensor's shapes don't compare");
    CopyTensorData(in, out);
}

}  // namespace

extern "C" {

void PostOrderLayerTraversal(Model* model, Layer* layer)
{
    CV_CHECK_PTR(layer);
    if (IsLayerInList(model->layers, model->numLayers, layer)) return;
    VisitProducers(model, layer);
    if (layer->op == OP_Input) AppendInputLayer(model, layer);
    AppendLayer(model, layer);
}

void AddAdditionalLayersToModel(Model* model, Layer* layer)
{
    CV_CHECK_PTR(model);
    CV_CHECK_PTR(layer);
    VisitProducers(model, layer);
}

Model* CreateModel(Layer** outputLayers, uint32_t outputLayersCount)
{
    CV_CHECK(outputLayersCount > 0);
    CV_CHECK_PTR(outputLayers);
    Model* model;
    CV_CHECK_PTR(model = (Model*)malloc(sizeof(Model)));
    memset(model, 0, sizeof(Model));
    CV_CHECK_PTR(model->ioLayers = (IOLayers*)malloc(sizeof(IOLayers)));
    memset(model->ioLayers, 0, sizeof(IOLayers));
    CV_CHECK_PTR(model->ioLayers->outputLayers = (Layer**)malloc(outputLayersCount * sizeof(Layer*)));
    model->ioLayers->outputLayersCount = outputLayersCount;
    for (uint32_t i = 0; i < outputLayersCount; ++i) {
        Layer* outputLayer = outputLayers[i];
        CV_CHECK_PTR(outputLayer);
        model->ioLayers->outputLayers[i] = outputLayer;
        PostOrderLayerTraversal(model, outputLayer);
    }
    return model;
}

static uint32_t InitModelWith(Model* model, uint32_t batchSize, bool releaseFilters)
{
    CV_CHECK_PTR(model);
    if (model->isInitialized) CV_FATAL("Model has been already initialized");
    CV_CHECK(batchSize > 0);

    for (uint32_t layerInd = 0; layerInd < model->numLayers; ++layerInd) {
        Layer* layer;
        CV_CHECK_PTR(layer = model->layers[layerInd]);
        if (model->useTensorsSharedMemory && !layer->staticOutput) continue;
        NNKernel* kernel = layer->kernel;
        for (uint32_t j = 0; j < kernel->outputsNum; ++j)
            if (kernel->output[j] != nullptr && kernel->output[j]->data == nullptr) AllocTensorData(kernel->output[j]);
    }
    if (model->useTensorsSharedMemory) PlaceSharedOutputs(model);

    for (uint32_t layerInd = 0; layerInd < model->numLayers; ++layerInd) {
        Layer* layer;
        CV_CHECK_PTR(layer = model->layers[layerInd]);
        NNKernel* kernel = layer->kernel;
        for (uint32_t j = 0; j < kernel->innerNum; ++j)
            if (kernel->inner[j] != nullptr && kernel->inner[j]->data == nullptr) AllocTensorData(kernel->inner[j]);
    }

    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* layer = model->layers[i];
        if (layer->inputLayersNum == 0) continue;
        BindInputs(layer);
        if (layer->kernel->fn == nullptr && layer->op < OP_OperationsCount)
            layer->kernel->fn = nn_kernel_fn_list_default[layer->op];
    }

    IOLayers* io = model->ioLayers;
    OptimizeReshape(model->layers, model->numLayers, io->outputLayers, io->outputLayersCount);
    OptimizeSlice(model->layers, model->numLayers, io->outputLayers);

    for (uint32_t i = 0; i < model->numLayers; ++i) {
        InitKernelCore(model->layers[i]);
        if (releaseFilters) corvus_conv::ReleasePackedFilter(model->layers[i]->kernel);
        CopyByteCounters(model->layers[i]);
    }
    // Layers split over several cores keep the byte counters of the whole.
    ApplyModelCores(model);
    model->isInitialized = true;
    return 1;
}

uint32_t InitModel(Model* model, uint32_t batchSize) { return InitModelWith(model, batchSize, false); }

Layer** Predict(Model* model, uint32_t inputsCount, const ModelInput* inputs)
{
    CV_CHECK_PTR(model);
    if (!model->isInitialized) CV_FATAL("Model hasn't been initialized. Check out InitModel function.");
    if (inputsCount > 0) {
        CV_CHECK_PTR(inputs);
        CV_CHECK_PTR(inputs[0].tensor);
        const uint32_t batch = inputs[0].tensor->shape.dimension[0];
        for (uint32_t i = 0; i < inputsCount; ++i) {
            CV_CHECK_PTR(inputs[i].tensor);
            if (i > 0 && inputs[i].tensor->shape.dimension[0] != batch) CV_FATAL("Input batches must be same");
            FeedInput(model, inputs[i].name, inputs[i].tensor);
        }
    }
    ExecuteModel(model);
    return model->ioLayers->outputLayers;
}

void DestroyModel(Model* model)
{
    if (model == nullptr) {
        CV_DEBUG("Model has been deleted already");
        return;
    }
    if (model->useTensorsSharedMemory) {
        free(model->tensorsSharedMemory.tensorUsageRecords);
        free(model->tensorsSharedMemory.offsets);
        FreeZeroedAligned(model->tensorsSharedMemory.data);
    }
    DestroyModelCores(model);
    DestroyIOLayers(model->ioLayers);
    for (uint32_t i = 0; i < model->numLayers; ++i) DestroyLayer(model->layers[i]);
    free(model->layers);
    free(model);
}

int32_t GetSplitAxis(const Tensor* in, const Tensor* out, const uint32_t* sliceParams)
{
    if (in == nullptr || out == nullptr || sliceParams == nullptr) return -1;
    if (!IsSerialData(in) || !IsSerialData(out) || in->ndim != out->ndim || in->ndim == 0 || in->ndim > MAX_NDIM_VALUE)
        return -1;
    const uint32_t* starts = sliceParams;
    const uint32_t* ends = sliceParams + MAX_NDIM_VALUE;
    const uint32_t* steps = sliceParams + 2 * MAX_NDIM_VALUE;
    for (uint32_t k = 0; k < in->ndim; ++k)
        if (steps[k] != 1) return -1;
    int32_t axis = -1;
    uint32_t cuts = 0;
    for (uint32_t k = 0; k < in->ndim; ++k) {
        if (out->shape.dimension[k] != ends[k] - starts[k]) return -1;
        if (starts[k] != 0 || ends[k] != in->shape.dimension[k] || in->shape.dimension[k] != out->shape.dimension[k]) {
            axis = (int32_t)k;
            ++cuts;
        }
    }
    return cuts == 1 ? axis : -1;
}

}  // extern "C"

uint32_t InitModelHoldingFilters(Model* model, uint32_t batchSize) { return InitModelWith(model, batchSize, true); }

void RestorePackedFilters(const Model* model)
{
    CV_CHECK_PTR(model);
    for (uint32_t i = 0; i < model->numLayers; ++i)
        if (model->layers[i] != nullptr) corvus_conv::RestorePackedFilter(model->layers[i]->kernel);
}
