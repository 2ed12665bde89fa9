#define CORVUS_MODULE "Layers"
#include "Layers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LayersInternal.h"
#include "Model.h"
#include "Report.h"

namespace {

const char* const kOpNames[OP_OperationsCount] = {
    "Conv2D",
    "Dense",
    "MaxPool2D",
    "Flatten",
    "Activation",
    "Input",
    "GlobalAveragePool2D",
    "Reshape",
    "Concatenate",
    "AddBroadcast",
    "BatchNormalization",
    "AveragePool2D",
    "ZeroPadding2D",
    "Convert",
    "DepthwiseConv2D",
    "CustomLayer",
    "SeparableConv2D",
    "ExpandChannels",
    "UpSampling2D",
    "ElementWise",
    "Linear",
    "L2Normalization",
    "AnchorBoxes",
    "DecodeDetections",
    "Shuffle",
    "Transpose",
    "MulBroadcast",
    "Slice",
    "Resize",
    "Gather",
    "Split",
    "Conv2DTranspose",
    "Exp",
    "Sqrt",
    "SubBroadcast",
    "Pow",
    "Expand",
    "Equal",
    "Where",
    "ConstantOfShape",
    "Shape",
    "Cast",
    "Range",
    "Initializer",
    "NMSYolo",
    "Conv1D",
    "DivBroadcast",
    "Erf",
    "InstanceNormalization",
    "AveragePool1D",
    "ReduceMean",
    "Neg",
    "Pad",
    "MatMul",
    "ArgMax",
    "Ceil",
    "Conv3D",
    "PRelu",
    "Conv1DTranspose",
    "LSTM",
    "PostLSTM",
    "Clip",
    "Mfcc",
    "AudioSpectrogram",
    "HardSigmoid",
    "ReduceSum",
    "Mod",
    "Abs",
    "ReduceMax",
    "ReduceMin",
    "MaxPool1D",
    "Floor",
    "LayerNorm",
    "ScatterND",
    "ReduceL2",
    "GlobalMaxPool",
    "CumSum",
    "Tile",
    "Einsum",
    "Not",
    "And",
    "Less",
    "Greater",
    "NonMaxSuppression",
    "NonZero",
    "GatherElements",
};

// Per-operation counters for generated layer names; process-wide by design.
uint32_t gLayerNameCounters[OP_OperationsCount];

constexpr size_t kGeneratedNameMax = 32;  // 31 characters and the terminator

void FreeKernelMemory(NNKernel* kernel)
{
    for (uint32_t i = 0; i < kernel->outputsNum; ++i) DestroyTensor(kernel->output[i]);
    free(kernel->output);
    kernel->output = nullptr;
    for (uint32_t i = 0; i < kernel->inputsNum; ++i) DestroyTensor(kernel->input[i]);
    free(kernel->input);
    kernel->input = nullptr;
    if (kernel->fn != nullptr && kernel->fn->destroy != nullptr) kernel->fn->destroy(kernel);
    free(kernel->params);
    kernel->params = nullptr;
}

void DestroyKernel(NNKernel* kernel)
{
    FreeKernelMemory(kernel);
    for (uint32_t i = 0; i < kernel->innerNum; ++i) DestroyTensor(kernel->inner[i]);
    free(kernel->inner);
    free(kernel);
}

}  // namespace

Tensor* CreateTensorView(const Tensor* src, void* data)
{
    Tensor* t = CreateEmptyTensor();
    t->dtype = src->dtype;
    t->layout = src->layout;
    t->ndim = src->ndim;
    t->shape = src->shape;
    t->stride = src->stride;
    t->data = data;
    return t;
}

Layer* CreateSingleInputLayer(const char* name, LayerOpType op, Layer* inputLayer, Tensor* inputTensor,
                              uint32_t innerNum)
{
    return CreateLayer(name, op, inputLayer != nullptr ? &inputLayer : nullptr,
                       inputTensor != nullptr ? &inputTensor : nullptr, 1, innerNum);
}

void ResetLayerNameCounters(void) { memset(gLayerNameCounters, 0, sizeof(gLayerNameCounters)); }

extern "C" const char* LayerOpTypeToStr(LayerOpType op)
{
    if ((uint32_t)op >= OP_OperationsCount) return "Unkhown layer";
    return kOpNames[op];
}

extern "C" Layer* CreateLayer(const char* name, LayerOpType op, Layer** inputLayers, Tensor** inputTensors,
                              uint32_t inputsNum, uint32_t innerNum)
{
    if (op != OP_Input && op != OP_Initializer && (inputLayers == nullptr) == (inputTensors == nullptr))
        CV_FATAL("One of inputTensor or inputLayers pointers must be NULL");

    Layer* layer = (Layer*)calloc(1, sizeof(Layer));
    if (layer == nullptr) CV_FATAL("Cannot allocate memory for layer");

    if (name != nullptr) {
        size_t len = strlen(name);
        layer->name = (char*)malloc(len + 1);
        if (layer->name == nullptr) CV_FATAL("Cannot allocate memory");
        memcpy(layer->name, name, len + 1);
    } else {
        CV_CHECK(op >= 0 && op < OP_OperationsCount);
        layer->name = (char*)malloc(kGeneratedNameMax);
        if (layer->name == nullptr) CV_FATAL("Cannot allocate memory");
        snprintf(layer->name, kGeneratedNameMax, "%s%u", kOpNames[op], gLayerNameCounters[op]++);
    }
    layer->op = op;

    if (inputLayers != nullptr && inputsNum > 0) {
        CV_CHECK_PTR(layer->inputLayers = (Layer**)malloc(inputsNum * sizeof(Layer*)));
        for (uint32_t i = 0; i < inputsNum; ++i) {
            CV_CHECK_PTR(layer->inputLayers[i] = inputLayers[i]);
            Layer* producer = inputLayers[i];
            producer->consumerLayersNum++;
            Layer** grown = (Layer**)realloc(producer->consumerLayers, producer->consumerLayersNum * sizeof(Layer*));
            if (grown == nullptr)
                CV_FATAL("layer->consumerLayers = (Layer**)realloc( layer->consumerLayers, layer->consumerLayersNum * "
                         "sizeof(Layer*))==NULL, expected not NULL value");
            producer->consumerLayers = grown;
            producer->consumerLayers[producer->consumerLayersNum - 1] = layer;
        }
        layer->inputLayersNum = inputsNum;
    }

    NNKernel* kernel = (NNKernel*)calloc(1, sizeof(NNKernel));
    if (kernel == nullptr) CV_FATAL("Cannot allocate memory");
    layer->kernel = kernel;
    kernel->output = (Tensor**)calloc(1, sizeof(Tensor*));
    if (kernel->output == nullptr) CV_FATAL("Cannot allocate memory");
    if (inputsNum > 0) {
        kernel->input = (Tensor**)calloc(inputsNum, sizeof(Tensor*));
        if (kernel->input == nullptr) CV_FATAL("Cannot allocate memory");
    }
    if (innerNum > 0) {
        kernel->inner = (Tensor**)calloc(innerNum, sizeof(Tensor*));
        if (kernel->inner == nullptr) CV_FATAL("Cannot allocate memory");
    }
    kernel->outputsNum = 1;
    kernel->innerNum = innerNum;
    kernel->coresNumber = 1;

    if (inputTensors != nullptr) {
        for (uint32_t i = 0; i < inputsNum; ++i) {
            if (inputTensors[i] == nullptr) CV_FATAL("NULL pointer assignment");
            kernel->input[i] = inputTensors[i];
            kernel->inputsNum = i + 1;
        }
    } else if (inputLayers != nullptr) {
        for (uint32_t i = 0; i < inputsNum; ++i) {
            const NNKernel* pk = inputLayers[i]->kernel;
            if (pk == nullptr || pk->output == nullptr || pk->output[0] == nullptr) CV_FATAL("NULL pointer");
            kernel->input[i] = CreateTensorView(pk->output[0], nullptr);
            kernel->inputsNum = i + 1;
        }
    }
    return layer;
}

extern "C" Layer* AddInputLayer(const char* name, const Tensor* inputTensor)
{
    CV_CHECK_PTR(inputTensor);
    Layer* layer = CreateLayer(name, OP_Input, nullptr, nullptr, 0, 0);
    layer->kernel->output[0] = CreateTensor((DataType)inputTensor->dtype, (DataLayout)inputTensor->layout,
                                            inputTensor->ndim, inputTensor->shape, false);
    return layer;
}

extern "C" void SetInputLayout(Tensor* inputTensor, DataLayout layout)
{
    CV_CHECK_PTR(inputTensor);
    if (inputTensor->layout == DL_NONE) {
        inputTensor->layout = layout;
        return;
    }
    CV_CHECK(inputTensor->layout == layout);
}

extern "C" void DestroyLayer(Layer* layer)
{
    if (layer == nullptr) {
        CV_DEBUG("Pointer is null");
        return;
    }
    free(layer->name);
    free(layer->inputLayers);
    free(layer->consumerLayers);
    // Core kernels share the layer's inner tensors (weights), so only their
    // own tensors, parameters and the inner array itself are released here.
    for (NNKernel* core : layer->coreKernels) {
        if (core == nullptr) continue;
        FreeKernelMemory(core);
        free(core->inner);
        free(core);
    }
    if (layer->kernel != nullptr) DestroyKernel(layer->kernel);
    free(layer);
}

extern "C" void DestroyIOLayers(IOLayers* ioLayers)
{
    if (ioLayers == nullptr) {
        CV_DEBUG("Pointer is null");
        return;
    }
    free(ioLayers->outputLayers);
    free(ioLayers->inputLayers);
    free(ioLayers);
}

extern "C" void InitKernelCore(Layer* layer)
{
    CV_CHECK_PTR(layer);
    NNKernel* kernel = layer->kernel;
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    kernel->counters[0] = kernel->counters[1] = 0;
    kernel->totalBytes = 0;
    memset(kernel->bytesSize, 0, sizeof(kernel->bytesSize));
    if (kernel->fn != nullptr && kernel->fn->init != nullptr) {
        kernel->fn->init(kernel);
        if (kernel->totalBytes != 0) return;
    }
    uint64_t total = 0;
    auto add = [&total](Tensor* const* tensors, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i)
            if (tensors != nullptr && tensors[i] != nullptr)
                total += (uint64_t)GetTensorDataSize(tensors[i]) * DataTypeSize((DataType)tensors[i]->dtype);
    };
    add(kernel->input, kernel->inputsNum);
    add(kernel->inner, kernel->innerNum);
    add(kernel->output, kernel->outputsNum);
    kernel->totalBytes = total;
}

extern "C" uint32_t GetKernelCoreCount(const Layer* layer)
{
    CV_CHECK_PTR(layer);
    uint32_t count = 0;
    for (const NNKernel* core : layer->coreKernels) count += core != nullptr;
    return count;
}

extern "C" bool IsLayerInList(Layer** list, uint32_t count, const Layer* layer)
{
    for (uint32_t i = count; i-- > 0;)
        if (list[i] == layer) return true;
    return false;
}

extern "C" void ReplaceLayer(Layer** list, uint32_t count, const Layer* oldLayer, Layer* newLayer)
{
    for (uint32_t i = 0; i < count; ++i)
        if (list[i] == oldLayer) list[i] = newLayer;
}
