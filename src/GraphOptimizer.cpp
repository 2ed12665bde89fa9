// Graph optimisation: fusion, per-layer kernel choice, half-precision
// conversion and the memory plan, run between CreateModel and InitModel.
// Part of the model's interface (Model.h), so its reports name that module.
#define CORVUS_MODULE "Model"
#include "Model.h"

#include <cstdlib>
#include <cstring>

#include <vector>

#include "DataTypeConvert.h"
#include "LayersDataMovement.h"
#include "LayersFusion.h"
#include "LayersInternal.h"
#include "NNKernelFnSelector.h"
#include "NNKernelPreparer.h"
#include "Report.h"
#include "TensorsSharedMemory.h"
#include "nn_kernel_list.h"

namespace {

const uint32_t kFloat16Mode = 1;

// A data-less float16 tensor with t's layout, rank, shape and strides.
Tensor* Float16Like(const Tensor* t, bool allocate)
{
    Tensor* h = CreateTensorWithStrides(DT_FLOAT16, (DataLayout)t->layout, t->ndim, t->shape, t->stride, allocate);
    CV_CHECK_PTR(h);
    return h;
}

void StoreKernel(NNKernel* kernel, kfname k)
{
    if (k != kfname_TOTAL) kernel->fn = nn_kernel_fn_list[k];
}

kfname RequireKernel(Layer* layer, uint32_t mode)
{
    const kfname k = SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)layer->op,
                                      mode == kFloat16Mode ? DT_FLOAT16 : DT_FLOAT32, layer->kernel);
    if (k == kfname_TOTAL) CV_FATAL("kfname == kfname_TOTAL");
    layer->kernel->fn = nn_kernel_fn_list[k];
    return k;
}

// Each input becomes a data-less mirror of its producer's output pointing at
// that output's data, so kernels that keep their own element types see them.
void MirrorInputs(Layer* layer)
{
    NNKernel* kernel = layer->kernel;
    for (uint32_t j = 0; j < layer->inputLayersNum && j < kernel->inputsNum; ++j) {
        const Tensor* produced = layer->inputLayers[j]->kernel->output[0];
        if (produced == nullptr) continue;
        DestroyTensor(kernel->input[j]);
        kernel->input[j] = CreateTensorView(produced, produced->data);
    }
}

void OutputToFloat16IfInput(Layer* layer, uint32_t inputIndex)
{
    if (layer->inputLayersNum <= inputIndex) return;
    const Tensor* in = layer->inputLayers[inputIndex]->kernel->output[0];
    if (in == nullptr || in->dtype != DT_FLOAT16) return;
    NNKernel* kernel = layer->kernel;
    if (kernel->output[0] == nullptr || kernel->output[0]->dtype == DT_FLOAT16) return;
    Tensor* h = Float16Like(kernel->output[0], false);
    DestroyTensor(kernel->output[0]);
    kernel->output[0] = h;
}

void ConvertFilterCopy(NNKernel* kernel)
{
    if (kernel->innerNum < 1 || kernel->inner[0] == nullptr || kernel->inner[0]->dtype == DT_FLOAT16) return;
    Tensor* inner = kernel->inner[0];
    CV_CHECK_PTR(inner->data);
    Tensor* h = Float16Like(inner, true);
    TensorDataConvert(h, inner);
    DestroyTensor(inner);
    kernel->inner[0] = h;
}

// Channels below the next multiple of four (Cin with its two low bits
// cleared, plus four) are added by an ExpandChannels layer in front of the
// convolution, and the filter grows the same input channels (zeros).
void ExpandConvInputChannels(Layer* layer)
{
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    const uint32_t cin = in->shape.NHWC.channels;
    if (cin % 4 == 0) return;
    CV_CHECK(layer->inputLayers != NULL);
    const uint32_t channels = (cin & ~3u) + 4;
    Layer* producer = layer->inputLayers[0];
    Layer* expand = AddExpandChannels(producer, nullptr, nullptr, DL_NHWC, channels);
    // The new layer sits between producer and layer: the producer's link to
    // layer goes away, layer reads the expanded tensor.
    for (uint32_t c = 0; c < producer->consumerLayersNum; ++c)
        if (producer->consumerLayers[c] == layer) {
            for (uint32_t d = c + 1; d < producer->consumerLayersNum; ++d)
                producer->consumerLayers[d - 1] = producer->consumerLayers[d];
            --producer->consumerLayersNum;
            break;
        }
    layer->inputLayers[0] = expand;
    Layer** grown = (Layer**)realloc(expand->consumerLayers, (expand->consumerLayersNum + 1) * sizeof(Layer*));
    CV_CHECK_PTR(grown);
    expand->consumerLayers = grown;
    expand->consumerLayers[expand->consumerLayersNum++] = layer;
    DestroyTensor(kernel->input[0]);
    kernel->input[0] = CreateTensorView(expand->kernel->output[0], nullptr);

    Tensor* filter = kernel->inner[0];
    TensorShape shape = filter->shape;
    shape.dimension[2] = channels;
    Tensor* grownFilter = CreateTensor((DataType)filter->dtype, (DataLayout)filter->layout, filter->ndim, shape, true);
    CV_CHECK_PTR(grownFilter);
    memset(grownFilter->data, 0, (size_t)GetTensorDataSize(grownFilter) * DataTypeSize((DataType)filter->dtype));
    if (filter->data != nullptr) {
        // Copy the old filter into the leading input channels of the new one.
        Tensor* window = CreateTensorView(grownFilter, grownFilter->data);
        window->shape = filter->shape;
        CopyTensorData(filter, window);
        DestroyTensor(window);
    }
    DestroyTensor(filter);
    kernel->inner[0] = grownFilter;
}

void OptimizeConv2DLayer(Layer* layer, uint32_t mode)
{
    NNKernel* kernel = layer->kernel;
    const kfname k = RequireKernel(layer, mode);
    if (mode == kFloat16Mode) {
        ConvertLayerInOutTensorsToFloat16(layer);
        PrepareConv2DLayerWeights(&kernel->inner[0], kernel->innerNum > 1 ? &kernel->inner[1] : nullptr, k);
    }
    if (k == kfname_Conv2D_fl16_ost_ostrelcnn) ExpandConvInputChannels(layer);
    if (k == kfname_Conv2D_k1_s1_fl16_ost_mm && kernel->innerNum > 1 && kernel->inner[1] == nullptr) {
        const Tensor* filter = kernel->inner[0];
        const uint32_t cout = filter->shape.dimension[filter->ndim - 1];
        CV_CHECK_PTR(kernel->inner[1] = CreateTensor(DT_FLOAT32, DL_I, 1, TensorShape{{cout}}, filter->allocatedData));
        if (kernel->inner[1]->data != nullptr) memset(kernel->inner[1]->data, 0, cout * sizeof(float));
    }
}

void OptimizeConv2DTransposeLayer(Layer* layer, uint32_t mode)
{
    NNKernel* kernel = layer->kernel;
    const kfname k = RequireKernel(layer, mode);
    if (mode != kFloat16Mode) return;
    if (k == kfname_Conv2DTranspose_fl16_ost_naive || k == kfname_Conv2DTranspose_common_fl16_ost) {
        ConvertLayerInOutTensorsToFloat16(layer);
        ConvertLayerInnersTensorsToFloat16(layer);
    } else if (k == kfname_Conv2DTranspose_fl16_ost) {
        ConvertLayerInOutTensorsToFloat16(layer);
        PrepareConv2DTransposeLayerWeights(&kernel->inner[0], kernel->innerNum > 1 ? &kernel->inner[1] : nullptr, k);
    } else {
        CV_FATAL("%s: kernel function with name `%s` is not supported!", "OptimizeConv2DTransposeLayer",
                 kernel_fn_name_string[k]);
    }
}

bool InCommonGroup(uint32_t op)
{
    switch (op) {
    case OP_MaxPool2D:
    case OP_Flatten:
    case OP_Activation:
    case OP_Input:
    case OP_GlobalAveragePool2D:
    case OP_Concatenate:
    case OP_AddBroadcast:
    case OP_BatchNormalization:
    case OP_AveragePool2D:
    case OP_ZeroPadding2D:
    case OP_DepthwiseConv2D:
    case OP_UpSampling2D:
    case OP_ElementWise:
    case OP_Linear:
    case OP_L2Normalization:
    case OP_AnchorBoxes:
    case OP_DecodeDetections:
    case OP_Transpose:
    case OP_MulBroadcast:
    case OP_Resize:
    case OP_Exp:
    case OP_Sqrt:
    case OP_SubBroadcast:
    case OP_Pow:
    case OP_NMSYolo:
    case OP_DivBroadcast:
    case OP_Erf:
    case OP_AveragePool1D:
    case OP_ReduceMean:
    case OP_Neg:
    case OP_Pad:
    case OP_MatMul:
    case OP_Ceil:
    case OP_PRelu:
    case OP_LSTM:
    case OP_PostLSTM:
    case OP_Clip:
    case OP_ReduceSum:
    case OP_Abs:
    case OP_ReduceMax:
    case OP_MaxPool1D:
    case OP_Floor:
    case OP_LayerNorm:
    case OP_ReduceL2:
    case OP_Einsum:
    case OP_Not:
    case OP_Less:
    case OP_Greater:
        return true;
    default:
        return false;
    }
}

bool InNoConversionGroup(uint32_t op)
{
    switch (op) {
    case OP_Equal:
    case OP_ConstantOfShape:
    case OP_Shape:
    case OP_Cast:
    case OP_ArgMax:
    case OP_ScatterND:
    case OP_CumSum:
    case OP_Tile:
    case OP_GatherElements:
        return true;
    default:
        return false;
    }
}

bool ModHasInt32Input(const Layer* layer)
{
    const NNKernel* k = layer->kernel;
    return k->inputsNum > 0 && k->input[0] != nullptr && k->input[0]->dtype == DT_INT32;
}

// Appends, producers first, every layer `layer` depends on that is not yet
// in `list`, then the layer itself.
void AppendWithProducers(std::vector<Layer*>& list, Layer* layer)
{
    CV_CHECK_PTR(layer);
    for (Layer* l : list)
        if (l == layer) return;
    if (layer->inputLayersNum > 0) CV_CHECK_PTR(layer->inputLayers);
    for (uint32_t i = 0; i < layer->inputLayersNum; ++i) AppendWithProducers(list, layer->inputLayers[i]);
    list.push_back(layer);
}

// Outputs that a constructor allocated (the Keras LSTM does) are released so
// that the memory plan can place them like every other intermediate output.
void ReleaseConstructorOutputs(Model* model)
{
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* layer = model->layers[i];
        if (layer->staticOutput) continue;
        NNKernel* kernel = layer->kernel;
        for (uint32_t j = 0; j < kernel->outputsNum; ++j)
            if (kernel->output[j] != nullptr && kernel->output[j]->allocatedData) FreeTensorData(kernel->output[j]);
    }
}

}  // namespace

extern "C" {

void ConvertLayerInOutTensorsToFloat16(Layer* layer)
{
    CV_CHECK_PTR(layer);
    NNKernel* kernel = layer->kernel;
    for (uint32_t i = 0; i < layer->inputLayersNum; ++i) {
        if (layer->inputLayers[i]->kernel->output[0]->dtype != DT_FLOAT16)
            CV_FATAL("layer->inputLayers[i]->kernel->output[0]->dtype == DT_FLOAT16: false, expected: true");
        if (i < kernel->inputsNum && kernel->input[i] != nullptr && kernel->input[i]->dtype == DT_FLOAT32) {
            Tensor* h = Float16Like(kernel->input[i], false);
            DestroyTensor(kernel->input[i]);
            kernel->input[i] = h;
        }
    }
    for (uint32_t j = 0; j < kernel->outputsNum; ++j) {
        Tensor* out = kernel->output[j];
        if (out == nullptr || out->dtype != DT_FLOAT32) continue;
        kernel->output[j] = Float16Like(out, false);
        DestroyTensor(out);
    }
}

void ConvertLayerInnersTensorsToFloat16(Layer* layer)
{
    CV_CHECK_PTR(layer);
    NNKernel* kernel = layer->kernel;
    for (uint32_t j = 0; j < kernel->innerNum; ++j) {
        Tensor* inner = kernel->inner[j];
        if (inner == nullptr) continue;
        CV_CHECK_PTR(inner->data);
        if (inner->dtype == DT_FLOAT16) continue;
        Tensor* h = Float16Like(inner, true);
        TensorDataConvert(h, inner);
        DestroyTensor(inner);
        kernel->inner[j] = h;
    }
}

void OptimizeLayer(Layer* layer, uint32_t float16Mode)
{
    CV_CHECK_PTR(layer);
    NNKernel* kernel = layer->kernel;
    const uint32_t mode = float16Mode;
    const DataType dtype = mode == kFloat16Mode ? DT_FLOAT16 : DT_FLOAT32;
    const uint32_t op = layer->op;

    if (layer->staticOutput) {
        StoreKernel(kernel, SelectNNKernelFn(KERNEL_TARGET_CPU, OP_Initializer, dtype, kernel));
        Tensor* out = kernel->outputsNum > 0 ? kernel->output[0] : nullptr;
        if (mode == kFloat16Mode && out != nullptr && out->dtype == DT_FLOAT32) {
            Tensor* h = Float16Like(out, out->data != nullptr);
            if (out->data != nullptr) TensorDataConvert(h, out);
            DestroyTensor(out);
            kernel->output[0] = h;
        }
        return;
    }

    switch (op) {
    case OP_Dense: {
        const kfname k = RequireKernel(layer, mode);
        if (mode == kFloat16Mode) {
            ConvertLayerInOutTensorsToFloat16(layer);
            PrepareDenseLayerWeights(&kernel->inner[0], kernel->innerNum > 1 ? &kernel->inner[1] : nullptr, k);
        }
        return;
    }
    case OP_Conv2D:
        OptimizeConv2DLayer(layer, mode);
        return;
    case OP_Conv2DTranspose:
        OptimizeConv2DTransposeLayer(layer, mode);
        return;
    case OP_Conv1D:
        RequireKernel(layer, mode);
        if (mode == kFloat16Mode) {
            ConvertLayerInOutTensorsToFloat16(layer);
            PrepareConv1DLayerWeights(kernel);
        }
        return;
    case OP_InstanceNormalization: {
        const kfname k = RequireKernel(layer, mode);
        if (mode == kFloat16Mode) {
            ConvertLayerInOutTensorsToFloat16(layer);
            PrepareNormalInstanceLayerWeights(&kernel->inner[0], kernel->innerNum > 1 ? &kernel->inner[1] : nullptr, k);
        }
        return;
    }
    case OP_Conv1DTranspose: {
        const kfname k = SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)op, dtype, kernel);
        StoreKernel(kernel, k);
        if (mode != kFloat16Mode) return;
        if (k == kfname_TOTAL)
            CV_DEBUG("Possible error: Kernel that'll be chosen by default may not support dataType different from "
                     "DT_FLOAT32. Op_type: %s",
                     LayerOpTypeToStr((LayerOpType)op));
        ConvertLayerInOutTensorsToFloat16(layer);
        ConvertFilterCopy(kernel);
        return;
    }
    case OP_Reshape:
    case OP_Slice:
    case OP_Gather:
    case OP_Expand:
    case OP_Range:
        MirrorInputs(layer);
        StoreKernel(kernel, SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)op, dtype, kernel));
        OutputToFloat16IfInput(layer, 0);
        return;
    case OP_Where: {
        StoreKernel(kernel, SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)op, dtype, kernel));
        if (layer->inputLayersNum > 2 && layer->inputLayers[1]->kernel->output[0]->dtype == DT_FLOAT16 &&
            layer->inputLayers[2]->kernel->output[0]->dtype == DT_FLOAT16)
            OutputToFloat16IfInput(layer, 1);
        return;
    }
    default:
        break;
    }

    if (InCommonGroup(op) || (op == OP_Mod && !ModHasInt32Input(layer))) {
        const kfname k = SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)op, dtype, kernel);
        StoreKernel(kernel, k);
        if (mode != kFloat16Mode) return;
        if (k == kfname_TOTAL && op != OP_Input)
            CV_DEBUG("Possible error: Kernel that'll be chosen by default may not support dataType different from "
                     "DT_FLOAT32. Op_type: %s",
                     LayerOpTypeToStr((LayerOpType)op));
        ConvertLayerInOutTensorsToFloat16(layer);
        ConvertLayerInnersTensorsToFloat16(layer);
        return;
    }
    if (InNoConversionGroup(op) || op == OP_Mod) {
        MirrorInputs(layer);
        StoreKernel(kernel, SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)op, dtype, kernel));
        return;
    }
    if (mode == kFloat16Mode)
        CV_FATAL("type float16 is not supported for this layer, layer_op=%d, layer_name=%s", (int)op, layer->name);
}

void OptimizeModel(Model* model, uint32_t float16Mode)
{
    if (float16Mode == kFloat16Mode)
        CV_DEBUG("Float16 is supported only for ostrel now. Model will be run with float32 data format");
    const uint32_t mode = 0;
    CV_CHECK_PTR(model);
    CV_CHECK_PTR(model->layers);
    if (model->isInitialized) CV_FATAL("An initialized model cannot be optimized");

    IOLayers* io = model->ioLayers;
    if (FusionLayers(model->layers, model->numLayers, io) > 0) {
        Model* rebuilt = CreateModel(io->outputLayers, io->outputLayersCount);
        free(model->layers);
        model->layers = rebuilt->layers;
        model->numLayers = rebuilt->numLayers;
        rebuilt->layers = nullptr;
        rebuilt->numLayers = 0;
        DestroyIOLayers(rebuilt->ioLayers);
        free(rebuilt);
    }

    // Layers that OptimizeLayer inserts in front of a layer are placed
    // before it, producers first.
    std::vector<Layer*> ordered;
    ordered.reserve(model->numLayers);
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* layer = model->layers[i];
        CV_CHECK_PTR(layer);
        OptimizeLayer(layer, mode);
        AppendWithProducers(ordered, layer);
    }
    if (ordered.size() != model->numLayers) {
        Layer** grown = (Layer**)realloc(model->layers, ordered.size() * sizeof(Layer*));
        CV_CHECK_PTR(grown);
        model->layers = grown;
    }
    memcpy(model->layers, ordered.data(), ordered.size() * sizeof(Layer*));
    model->numLayers = (uint32_t)ordered.size();

    ReleaseConstructorOutputs(model);
    PlanTensorsSharedMemory(model);
}

}  // extern "C"
