#define CORVUS_MODULE "Layers"
#include "LayersPooling.h"

#include <cstdlib>
#include <cstring>

#include "LayersInternal.h"
#include "Report.h"

namespace {

// Windows of no cells or no step are meaningless geometry; refuse them here
// rather than produce empty averages at execution.
void CheckWindow(const char* fn, uint32_t poolSize, uint32_t stride)
{
    if (poolSize == 0 || stride == 0) CV_FATAL("%s: pool size and stride must be positive", fn);
}

Layer* AddPool2DLayer(const char* fn, LayerOpType op, Layer* inputLayer, Tensor* inputTensor, const char* name,
                      DataLayout layout, uint32_t poolSizeH, uint32_t poolSizeW, uint32_t strideH, uint32_t strideW,
                      uint32_t ceilMode, const PaddingStruct* padding, uint32_t paddingMode)
{
    CV_CHECK_PTR(padding);
    CheckWindow(fn, poolSizeH, strideH);
    CheckWindow(fn, poolSizeW, strideW);
    Layer* layer = CreateSingleInputLayer(name, op, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)inTensor->ndim);
    SetInputLayout(inTensor, layout);

    Pool2DParams* params;
    CV_CHECK_PTR(params = (Pool2DParams*)malloc(sizeof(Pool2DParams)));
    kernel->params = params;
    CV_CHECK(inTensor->layout == DL_NHWC);

    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    shape.NHWC.batch = inTensor->shape.NHWC.batch;
    shape.NHWC.height = padding->outputSize[0];
    shape.NHWC.width = padding->outputSize[1];
    shape.NHWC.channels = inTensor->shape.NHWC.channels;
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NHWC, 4, shape, false);

    params->poolSizeH = poolSizeH;
    params->poolSizeW = poolSizeW;
    params->strideH = strideH;
    params->strideW = strideW;
    params->padTop = padding->begin0;
    params->padLeft = padding->begin1;
    params->padBottom = padding->end0;
    params->padRight = padding->end1;
    params->ceilMode = ceilMode;
    const bool noPads = padding->begin0 == 0 && padding->begin1 == 0 && padding->end0 == 0 && padding->end1 == 0;
    params->pad = noPads ? VALID : SAME;  // SAME (1) marks a padded window
    params->paddingMode = paddingMode;
    return layer;
}

}  // namespace

extern "C" Layer* AddMaxPool2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                    uint32_t poolSizeH, uint32_t poolSizeW, uint32_t strideH, uint32_t strideW,
                                    uint32_t ceilMode, const PaddingStruct* padding, uint32_t paddingMode)
{
    return AddPool2DLayer("AddMaxPool2DLayer", OP_MaxPool2D, inputLayer, inputTensor, name, layout, poolSizeH,
                          poolSizeW, strideH, strideW, ceilMode, padding, paddingMode);
}

extern "C" Layer* AddAveragePool2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                        uint32_t poolSizeH, uint32_t poolSizeW, uint32_t strideH, uint32_t strideW,
                                        uint32_t ceilMode, const PaddingStruct* padding, uint32_t paddingMode)
{
    return AddPool2DLayer("AddAveragePool2DLayer", OP_AveragePool2D, inputLayer, inputTensor, name, layout, poolSizeH,
                          poolSizeW, strideH, strideW, ceilMode, padding, paddingMode);
}

extern "C" Layer* AddPool1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t poolSize,
                                 uint32_t stride, uint32_t ceilMode, PaddingStruct padding, uint32_t paddingMode,
                                 LayerOpType op)
{
    static const char* const kFn = "AddPool1DLayer";
    if (op != OP_MaxPool1D && op != OP_AveragePool1D)
        CV_FATAL("%s: op must be MaxPool1D or AveragePool1D, got %s", kFn, LayerOpTypeToStr(op));
    CheckWindow(kFn, poolSize, stride);
    Layer* layer = CreateSingleInputLayer(name, op, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 3)
        CV_FATAL("%s: Input tensor dimensions must be equal 3. Current dimensions number: %d", kFn,
                 (int)inTensor->ndim);

    Pool1DParams* params = (Pool1DParams*)malloc(sizeof(Pool1DParams));
    if (params == nullptr) CV_FATAL("%s: Params pointer is NULL", kFn);
    kernel->params = params;
    params->poolSize = poolSize;
    params->stride = stride;
    params->padBegin = padding.begin0;
    params->padEnd = padding.end0;
    params->ceilMode = ceilMode;
    params->paddingMode = paddingMode;

    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    shape.dimension[0] = inTensor->shape.dimension[0];
    shape.dimension[1] = padding.outputSize[0];
    shape.dimension[2] = inTensor->shape.dimension[2];
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, (DataLayout)inTensor->layout, 3, shape, false);
    return layer;
}

extern "C" Layer* AddMaxPooling1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t poolSize,
                                       uint32_t stride, uint32_t ceilMode, PaddingStruct padding, uint32_t paddingMode)
{
    return AddPool1DLayer(inputLayer, inputTensor, name, poolSize, stride, ceilMode, padding, paddingMode,
                          OP_MaxPool1D);
}

extern "C" Layer* AddAveragePooling1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t poolSize,
                                           uint32_t stride, uint32_t ceilMode, PaddingStruct padding,
                                           uint32_t paddingMode)
{
    return AddPool1DLayer(inputLayer, inputTensor, name, poolSize, stride, ceilMode, padding, paddingMode,
                          OP_AveragePool1D);
}

extern "C" Layer* AddGlobalAveragePool2DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name,
                                              DataLayout layout, uint8_t keepDims)
{
    Layer* layer = CreateSingleInputLayer(name, OP_GlobalAveragePool2D, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)inTensor->ndim);
    SetInputLayout(inTensor, layout);

    GlobalAvPool2DParams* params;
    CV_CHECK_PTR(params = (GlobalAvPool2DParams*)malloc(sizeof(GlobalAvPool2DParams)));
    kernel->params = params;
    CV_CHECK(inTensor->layout == DL_NHWC);
    params->layout = inTensor->layout;
    params->keepDims = keepDims != 0;

    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    const uint32_t n = inTensor->shape.NHWC.batch;
    const uint32_t c = inTensor->shape.NHWC.channels;
    if (keepDims != 0) {
        shape.NHWC.batch = n;
        shape.NHWC.height = 1;
        shape.NHWC.width = 1;
        shape.NHWC.channels = c;
        kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NHWC, 4, shape, false);
    } else {
        shape.dimension[0] = n;
        shape.dimension[1] = c;
        kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NC, 2, shape, false);
    }
    return layer;
}

extern "C" Layer* AddGlobalMaxPool(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    Layer* layer = CreateSingleInputLayer(name, OP_GlobalMaxPool, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* in_tensor = kernel->input[0];
    CV_CHECK(in_tensor->ndim >= 3);
    CV_CHECK(in_tensor->ndim <= MAX_NDIM_VALUE);

    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    const uint32_t last = in_tensor->ndim - 1;
    for (uint32_t k = 1; k < last; ++k) shape.dimension[k] = 1;
    shape.dimension[0] = in_tensor->shape.dimension[0];
    shape.dimension[last] = in_tensor->shape.dimension[last];
    kernel->output[0] = CreateTensor((DataType)in_tensor->dtype, DL_NONE, in_tensor->ndim, shape, false);
    return layer;
}
