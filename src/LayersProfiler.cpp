// One layer's statistics line and operation counts.
#define CORVUS_MODULE "LayersProfiler"
#include <cstdio>
#include <cstring>

#include "ActivationTypes.h"
#include "LayersBroadcast.h"
#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDense.h"
#include "LayersPooling.h"
#include "Profiling.h"
#include "Report.h"
#include "nn_kernel_list.h"

namespace {

// The geometry columns and MAC count of one layer. Operations without a
// kernel geometry keep the defaults ("-;-;(0,0,0,0);-;false;None;0").
struct LayerGeometry {
    uint32_t kH = 0, kW = 0, sH = 0, sW = 0;
    uint32_t pads[4] = {0, 0, 0, 0};  // left, right, up, down
    uint32_t groups = 0;
    bool bias = false;
    uint32_t activation = None;
    uint64_t macs = 0;
};

const Tensor* Input(const Layer* layer, uint32_t i)
{
    if (i >= layer->kernel->inputsNum || layer->kernel->input[i] == nullptr)
        CV_FATAL("layer %s has no input tensor %u", layer->name, i);
    return layer->kernel->input[i];
}

const Tensor* Output(const Layer* layer)
{
    if (layer->kernel->outputsNum == 0 || layer->kernel->output[0] == nullptr)
        CV_FATAL("layer %s has no output tensor", layer->name);
    return layer->kernel->output[0];
}

const Tensor* Inner(const Layer* layer, uint32_t i)
{
    if (i >= layer->kernel->innerNum || layer->kernel->inner[i] == nullptr)
        CV_FATAL("layer %s has no inner tensor %u", layer->name, i);
    return layer->kernel->inner[i];
}

uint64_t Elements(const Tensor* tensor) { return GetTensorSize(tensor); }

uint64_t LastDim(const Tensor* tensor) { return tensor->ndim == 0 ? 0 : tensor->shape.dimension[tensor->ndim - 1]; }

uint64_t DivideOrZero(uint64_t value, uint32_t groups) { return groups == 0 ? 0 : value / groups; }

template <typename P> const P* Params(const Layer* layer)
{
    if (layer->kernel->params == nullptr) CV_FATAL("layer %s has no parameters", layer->name);
    return static_cast<const P*>(layer->kernel->params);
}

LayerGeometry DescribeLayer(const Layer* layer)
{
    LayerGeometry g;
    switch (layer->op) {
    case OP_Conv2D: {
        const Conv2DParams* p = Params<Conv2DParams>(layer);
        g = {p->kerSizeH,
             p->kerSizeW,
             p->strideH,
             p->strideW,
             {p->padLeft, p->padRight, p->padTop, p->padBottom},
             p->groups,
             (p->useBias & 1) != 0,
             p->activation.type};
        g.macs = DivideOrZero((uint64_t)p->kerSizeH * p->kerSizeW * Elements(Output(layer)) * LastDim(Input(layer, 0)),
                              p->groups);
        break;
    }
    case OP_Dense: {
        const DenseParams* p = Params<DenseParams>(layer);
        g.activation = p->activation;
        const Tensor* weights = Inner(layer, 0);
        g.macs =
            (uint64_t)Output(layer)->shape.dimension[0] * weights->shape.dimension[1] * weights->shape.dimension[0];
        break;
    }
    case OP_MaxPool2D:
    case OP_AveragePool2D: {
        const Pool2DParams* p = Params<Pool2DParams>(layer);
        g.kH = p->poolSizeH, g.kW = p->poolSizeW, g.sH = p->strideH, g.sW = p->strideW;
        g.pads[0] = p->padLeft, g.pads[1] = p->padRight, g.pads[2] = p->padTop, g.pads[3] = p->padBottom;
        break;
    }
    case OP_Activation:
        g.activation = Params<ActivationParams>(layer)->type;
        break;
    case OP_GlobalAveragePool2D: {
        const Tensor* in = Input(layer, 0);
        g.kH = in->shape.dimension[1], g.kW = in->shape.dimension[2], g.sH = 1, g.sW = 1;
        break;
    }
    case OP_BatchNormalization:
        g.macs = Elements(Output(layer));
        break;
    case OP_DepthwiseConv2D: {
        const DepthWiseConv2DParams* p = Params<DepthWiseConv2DParams>(layer);
        g = {p->kerSizeH,
             p->kerSizeW,
             p->strideH,
             p->strideW,
             {p->padLeft, p->padRight, p->padTop, p->padBottom},
             0,
             (p->useBias & 1) != 0,
             p->activation};
        g.macs = (uint64_t)p->kerSizeH * p->kerSizeW * Elements(Output(layer));
        break;
    }
    case OP_Conv2DTranspose: {
        const Conv2DTransposeParams* p = Params<Conv2DTransposeParams>(layer);
        g = {p->kerSizeH,
             p->kerSizeW,
             p->strideH,
             p->strideW,
             {p->padLeft, p->padLeft, p->padTop, p->padTop},
             1,
             (p->useBias & 1) != 0,
             p->activation.type};
        g.macs = Elements(Input(layer, 0)) * LastDim(Output(layer)) * p->kerSizeH * p->kerSizeW;
        break;
    }
    case OP_Conv1D: {
        const Conv1DParams* p = Params<Conv1DParams>(layer);
        g = {1,
             p->kernel_size,
             1,
             p->stride,
             {p->padBegin, p->padEnd, 0, 0},
             p->groups,
             (p->useBias & 1) != 0,
             p->activation.type};
        g.macs = DivideOrZero(LastDim(Input(layer, 0)) * p->kernel_size * Elements(Output(layer)), p->groups);
        break;
    }
    case OP_MatMul:
        g.macs = Elements(Output(layer)) * LastDim(Input(layer, 0));
        break;
    case OP_Conv1DTranspose: {
        const Conv1DTransposeParams* p = Params<Conv1DTransposeParams>(layer);
        g = {1,
             p->kernel_size,
             1,
             p->stride,
             {p->padBegin, p->padBegin, 0, 0},
             p->groups,
             (p->useBias & 1) != 0,
             p->activation.type};
        g.macs = DivideOrZero(LastDim(Output(layer)) * p->kernel_size * Elements(Input(layer, 0)), p->groups);
        break;
    }
    default:
        break;
    }
    return g;
}

const char* KernelName(const Layer* layer)
{
    const NNKernelFn* fn = layer->kernel->fn;
    if (fn != nullptr)
        for (uint32_t k = 0; k < kfname_TOTAL; ++k)
            if (nn_kernel_fn_list[k] == fn) return kernel_fn_name_string[k];
    return kernel_fn_name_string[kfname_TOTAL];
}

const char* DataTypeName(uint32_t dtype)
{
    switch (dtype) {
    case DT_FLOAT32:
        return "fp32";
    case DT_FLOAT16:
        return "fp16";
    case DT_INT32:
        return "int32";
    case DT_INT8:
        return "int8";
    default:
        CV_FATAL("Unsupported data type\n");
    }
}

// Ratios over the tick count; a layer that took no measurable time reports 0
// instead of an infinite or undefined rate.
double PerTick(double value, uint64_t tics) { return tics == 0 ? 0.0 : value / (double)tics; }

}  // namespace

extern "C" void SaveLayerStatisticToCSV(const Layer* layer, FILE* file, bool header)
{
    if (file == nullptr) CV_FATAL("file==NULL, expected not NULL value");
    // A model set to run on several cores (SetModelCoresNumber, which sets
    // every layer alike) gets one more column: the cores that ran the layer
    // (1 for a layer run whole), however many shares it was split into.
    const bool coresColumn = layer != nullptr && layer->kernel != nullptr && layer->kernel->coresNumber > 1;
    if (header) {
        fputs("Name;LayerType;NNKernelName;DataType;Inputs;KerSize;Stride;pLRUD;Groups;Output;Bias;AName;MACs;"
              "TotalTics;TotalInstrs;TotalIPC;MACs/TTics;Bytes/Tic;TotalBytes;BytesSize0;BytesSize1;BytesSize2;"
              "BytesSize3;BytesSize4",
              file);
        fputs(coresColumn ? ";Cores\n" : "\n", file);
    }
    if (layer == nullptr) CV_FATAL("layer must be initialized");
    if (layer->kernel == nullptr) CV_FATAL("layer %s has no kernel record", layer->name);

    // Everything that can fail is looked up before the line is started.
    const Tensor* output = Output(layer);
    const char* dtype = DataTypeName(output->dtype);
    LayerGeometry g = DescribeLayer(layer);
    if (g.activation >= ActivationTypesCount) CV_FATAL("Unknown activation type %u", g.activation);

    for (const char* c = layer->name != nullptr ? layer->name : ""; *c != '\0'; ++c) fputc(*c == ';' ? '_' : *c, file);
    fprintf(file, ";%s;%s;%s;", LayerOpTypeToStr((LayerOpType)layer->op), KernelName(layer), dtype);
    for (uint32_t i = 0; i < layer->kernel->inputsNum; ++i) {
        if (i > 0) fputc(',', file);
        PrintTensorShape(Input(layer, i), file);
    }
    fputc(';', file);
    if (g.kH != 0 && g.kW != 0 && g.sH != 0 && g.sW != 0)
        fprintf(file, "(%d,%d);(%d,%d);", (int)g.kH, (int)g.kW, (int)g.sH, (int)g.sW);
    else
        fputs("-;-;", file);
    fprintf(file, "(%d,%d,%d,%d);", (int)g.pads[0], (int)g.pads[1], (int)g.pads[2], (int)g.pads[3]);
    if (g.groups != 0)
        fprintf(file, "%d;", (int)g.groups);
    else
        fputs("-;", file);
    PrintTensorShape(output, file);
    fprintf(file, ";%s;%s;", g.bias ? "true" : "false", ActivationNameString[g.activation]);

    const uint64_t tics = layer->stat.tics;
    const uint64_t instrs = layer->stat.instrs;
    const bool movesNoBytes = layer->op == OP_Input || layer->op == OP_Initializer;
    fprintf(file, "%llu;%lld;%lld;", (unsigned long long)g.macs, (long long)tics, (long long)instrs);
    fprintf(file, "%.3f;%.3f;%.3f;", PerTick((double)instrs, tics), PerTick((double)g.macs, tics),
            movesNoBytes ? 0.0 : PerTick((double)layer->totalBytes, tics));
    fprintf(file, "%lld;%lld;%lld;%lld;%lld;%lld", (long long)layer->totalBytes, (long long)layer->bytesSize[0],
            (long long)layer->bytesSize[1], (long long)layer->bytesSize[2], (long long)layer->bytesSize[3],
            (long long)layer->bytesSize[4]);
    if (coresColumn) {
        // The cores, not the shares: a split layer has several shares per core.
        const uint32_t shares = GetKernelCoreCount(layer), cores = layer->kernel->coresNumber;
        fprintf(file, ";%u", shares == 0 ? 1u : shares < cores ? shares : cores);
    }
    fputc('\n', file);
}

extern "C" uint64_t GetLayerFLOPs(const Layer* layer)
{
    if (layer == nullptr) CV_FATAL("layer must be initialized");
    if (layer->kernel == nullptr) CV_FATAL("layer %s has no kernel record", layer->name);
    switch (layer->op) {
    case OP_Conv2D: {
        const Conv2DParams* p = Params<Conv2DParams>(layer);
        return DivideOrZero(2ull * p->kerSizeH * p->kerSizeW * Elements(Output(layer)) * LastDim(Input(layer, 0)),
                            p->groups);
    }
    case OP_Dense: {
        const Tensor* weights = Inner(layer, 0);
        return 2ull * Input(layer, 0)->shape.dimension[0] * weights->shape.dimension[1] * weights->shape.dimension[0];
    }
    case OP_GlobalAveragePool2D: {
        const Tensor* in = Input(layer, 0);
        return ((uint64_t)in->shape.dimension[1] * in->shape.dimension[2] + 1) * Elements(Output(layer));
    }
    case OP_AddBroadcast:
    case OP_MulBroadcast:
    case OP_SubBroadcast:
        return (uint64_t)layer->kernel->inputsNum * Elements(Output(layer));
    case OP_BatchNormalization:
    case OP_Linear:
        return 2 * Elements(Output(layer));
    case OP_AveragePool2D: {
        const Pool2DParams* p = Params<Pool2DParams>(layer);
        return ((uint64_t)p->poolSizeH * p->poolSizeW + 1) * Elements(Output(layer));
    }
    case OP_DepthwiseConv2D: {
        const DepthWiseConv2DParams* p = Params<DepthWiseConv2DParams>(layer);
        return 2ull * p->kerSizeH * p->kerSizeW * Elements(Output(layer));
    }
    case OP_ElementWise:
        return 3 * Elements(Output(layer));
    case OP_Conv2DTranspose: {
        const Conv2DTransposeParams* p = Params<Conv2DTransposeParams>(layer);
        return 2ull * p->kerSizeH * p->kerSizeW * Elements(Input(layer, 0)) * LastDim(Output(layer));
    }
    case OP_Conv1D: {
        const Conv1DParams* p = Params<Conv1DParams>(layer);
        return DivideOrZero(2 * Elements(Output(layer)) * p->kernel_size * LastDim(Input(layer, 0)), p->groups);
    }
    case OP_MatMul:
        return 2 * Elements(Output(layer)) * LastDim(Input(layer, 0));
    case OP_Conv1DTranspose: {
        const Conv1DTransposeParams* p = Params<Conv1DTransposeParams>(layer);
        return DivideOrZero(2 * Elements(Input(layer, 0)) * p->kernel_size * LastDim(Output(layer)), p->groups);
    }
    default:
        return 0;
    }
}

namespace corvus_internal {

// The activation a layer applies to its result: fused into a convolution,
// dense, linear, element-wise or two-input arithmetic layer, or an Activation
// layer's own; None for every other layer. Read by the corvus tool's graph.
uint32_t LayerActivation(const Layer* layer)
{
    if (layer == nullptr || layer->kernel == nullptr) CV_FATAL("layer must be initialized");
    switch (layer->op) {
    case OP_AddBroadcast:
    case OP_SubBroadcast:
    case OP_MulBroadcast:
    case OP_DivBroadcast:
        return Params<BroadcastParams>(layer)->aName;
    case OP_Linear:
        return Params<LinearParams>(layer)->activation;
    case OP_ElementWise:
        return Params<ElementWiseParams>(layer)->activation;
    default:
        return DescribeLayer(layer).activation;
    }
}

}  // namespace corvus_internal
