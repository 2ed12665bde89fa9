#define CORVUS_MODULE "Layers"
#include "LayersConvolution.h"

#include <cstdlib>
#include <cstring>

#include "LayersInternal.h"
#include "Report.h"

namespace {

// Steps 1 and 2 shared by both constructors: a 4-D input whose layout is
// (or becomes) `layout`.
Tensor* CheckedConvInput(Layer* layer, DataLayout layout)
{
    Tensor* inTensor = layer->kernel->input[0];
    if (inTensor->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)inTensor->ndim);
    SetInputLayout(inTensor, layout);
    return inTensor;
}

PaddingMode PadMode(const PaddingStruct* p)
{
    return (p->begin0 | p->begin1 | p->end0 | p->end1) == 0 ? VALID : SAME;  // SAME (1) marks a padded window
}

// Output channel counts are products of 32-bit values; refuse the ones that
// do not fit rather than wrap into a small, wrong shape.
uint32_t CheckedProduct(uint32_t a, uint32_t b, const char* what)
{
    const uint64_t p = (uint64_t)a * b;
    if (p > UINT32_MAX) CV_FATAL("%s is too large: %u x %u", what, a, b);
    return (uint32_t)p;
}

}  // namespace

extern "C" Layer* AddConv2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                 uint32_t filters, uint32_t kerSizeH, uint32_t kerSizeW, uint32_t strideH,
                                 uint32_t strideW, uint32_t dilationRateH, uint32_t dilationRateW,
                                 const PaddingStruct* padding, bool useBias, ActivationParams activation,
                                 uint32_t groups)
{
    CV_CHECK_PTR(padding);
    Layer* layer = CreateSingleInputLayer(name, OP_Conv2D, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    Tensor* inTensor = CheckedConvInput(layer, layout);

    Conv2DParams* params;
    CV_CHECK_PTR(params = (Conv2DParams*)malloc(sizeof(Conv2DParams)));
    kernel->params = params;
    CV_CHECK(inTensor->layout == DL_NHWC);
    if (groups == 0) CV_FATAL("groups must be greater than 0");

    const uint32_t batch = inTensor->shape.NHWC.batch;
    const uint32_t cin = inTensor->shape.NHWC.channels;
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NHWC, 4,
                                     ShapeOf(batch, padding->outputSize[0], padding->outputSize[1], filters), false);
    kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_HWIO, 4, ShapeOf(kerSizeH, kerSizeW, cin / groups, filters), false);
    if (useBias) kernel->inner[1] = CreateTensor(DT_FLOAT32, DL_I, 1, ShapeOf(filters), false);

    params->kerSizeH = kerSizeH;
    params->kerSizeW = kerSizeW;
    params->filters = filters;
    params->strideH = strideH;
    params->strideW = strideW;
    params->dilationRateH = dilationRateH;
    params->dilationRateW = dilationRateW;
    params->padTop = padding->begin0;
    params->padLeft = padding->begin1;
    params->padBottom = padding->end0;
    params->padRight = padding->end1;
    params->pad = PadMode(padding);
    params->useBias = useBias ? 1 : 0;
    params->activation = activation;
    params->groups = groups;
    return layer;
}

extern "C" Layer* AddDepthwiseConv2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                          uint32_t kerSizeH, uint32_t kerSizeW, uint32_t strideH, uint32_t strideW,
                                          uint32_t dilationRateH, uint32_t dilationRateW, uint32_t depthMultiplier,
                                          const PaddingStruct* padding, bool useBias, uint32_t activation)
{
    CV_CHECK_PTR(padding);
    // The kernel divides channel vectors by the multiplier.
    if (depthMultiplier == 0) CV_FATAL("depthMultiplier must be greater than 0");
    Layer* layer = CreateSingleInputLayer(name, OP_DepthwiseConv2D, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    Tensor* inTensor = CheckedConvInput(layer, layout);

    DepthWiseConv2DParams* params;
    CV_CHECK_PTR(params = (DepthWiseConv2DParams*)malloc(sizeof(DepthWiseConv2DParams)));
    kernel->params = params;
    CV_CHECK(inTensor->layout == DL_NHWC);

    const uint32_t batch = inTensor->shape.NHWC.batch;
    const uint32_t cin = inTensor->shape.NHWC.channels;
    const uint32_t cout = CheckedProduct(cin, depthMultiplier, "Depthwise output channels");
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NHWC, 4,
                                     ShapeOf(batch, padding->outputSize[0], padding->outputSize[1], cout), false);
    kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_MHWI, 4, ShapeOf(depthMultiplier, kerSizeH, kerSizeW, cin), false);
    if (useBias) kernel->inner[1] = CreateTensor(DT_FLOAT32, DL_I, 1, ShapeOf(cout), false);

    params->kerSizeH = kerSizeH;
    params->kerSizeW = kerSizeW;
    params->strideH = strideH;
    params->strideW = strideW;
    params->dilationRateH = dilationRateH;
    params->dilationRateW = dilationRateW;
    params->padTop = padding->begin0;
    params->padLeft = padding->begin1;
    params->padBottom = padding->end0;
    params->padRight = padding->end1;
    params->depthMultiplier = depthMultiplier;
    params->pad = PadMode(padding);
    params->useBias = useBias ? 1 : 0;
    params->activation = activation;
    return layer;
}

extern "C" Conv2DParams* Conv2D_to_dwConv(NNKernel* kernel, DepthWiseConv2DParams* record)
{
    if (kernel == nullptr || kernel->params == nullptr || kernel->inputsNum < 1 || kernel->innerNum < 1) return nullptr;
    const Tensor* in = kernel->input[0];
    const Tensor* out = kernel->output != nullptr ? kernel->output[0] : nullptr;
    const Tensor* filter = kernel->inner[0];
    if (in == nullptr || out == nullptr || filter == nullptr) return nullptr;
    if (in->ndim != 4 || out->ndim != 4 || filter->ndim != 4 || filter->layout != DL_MHWI) return nullptr;
    Conv2DParams* old = (Conv2DParams*)kernel->params;
    const uint32_t cin = in->shape.NHWC.channels;
    const uint32_t cout = out->shape.NHWC.channels;
    if (cin == 0 || cin != old->groups || cout % cin != 0) return nullptr;

    DepthWiseConv2DParams* p = record;
    if (p == nullptr) CV_CHECK_PTR(p = (DepthWiseConv2DParams*)malloc(sizeof(DepthWiseConv2DParams)));
    p->kerSizeH = old->kerSizeH;
    p->kerSizeW = old->kerSizeW;
    p->strideH = old->strideH;
    p->strideW = old->strideW;
    p->dilationRateH = old->dilationRateH;
    p->dilationRateW = old->dilationRateW;
    p->padTop = old->padTop;
    p->padLeft = old->padLeft;
    p->padBottom = old->padBottom;
    p->padRight = old->padRight;
    p->depthMultiplier = cout / cin;
    p->pad = old->pad;
    p->useBias = old->useBias;
    p->activation = old->activation.type;

    // New dimension k is old dimension order[k]: {kH, kW, I, O} -> {I, kH, kW, O}.
    static const uint32_t order[4] = {2, 0, 1, 3};
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    for (uint32_t k = 0; k < 4; ++k) shape.dimension[k] = filter->shape.dimension[order[k]];
    Tensor* moved = CreateTensor((DataType)filter->dtype, DL_MHWI, 4, shape, filter->data != nullptr);
    if (filter->data != nullptr) {
        const size_t elem = DataTypeSize((DataType)filter->dtype);
        const uint8_t* src = (const uint8_t*)filter->data;
        uint8_t* dst = (uint8_t*)moved->data;
        uint32_t idx[4];
        for (idx[0] = 0; idx[0] < shape.dimension[0]; ++idx[0])
            for (idx[1] = 0; idx[1] < shape.dimension[1]; ++idx[1])
                for (idx[2] = 0; idx[2] < shape.dimension[2]; ++idx[2])
                    for (idx[3] = 0; idx[3] < shape.dimension[3]; ++idx[3]) {
                        uint64_t so = 0, doff = 0;
                        for (uint32_t k = 0; k < 4; ++k) {
                            so += (uint64_t)idx[k] * filter->stride.dimension[order[k]];
                            doff += (uint64_t)idx[k] * moved->stride.dimension[k];
                        }
                        memcpy(dst + doff * elem, src + so * elem, elem);
                    }
    }
    DestroyTensor(kernel->inner[0]);
    kernel->inner[0] = moved;
    kernel->params = p;
    return old;
}
