#define CORVUS_MODULE "Layers"
#include "LayersConvolutionND.h"

#include <cstdlib>
#include <cstring>

#include "LayersInternal.h"
#include "Report.h"

namespace {

TensorShape MakeShape(uint32_t ndim, const uint32_t* dims)
{
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    for (uint32_t k = 0; k < ndim; ++k) shape.dimension[k] = dims[k];
    return shape;
}

// Output and filter extents come from the caller; refuse tensors whose
// element count does not fit the tensor record.
Tensor* CreateChecked(const char* fn, const char* what, DataType dtype, DataLayout layout, uint32_t ndim,
                      const uint32_t* dims)
{
    uint64_t elements = 1;
    for (uint32_t k = 0; k < ndim; ++k) {
        elements *= dims[k];
        if (elements > UINT32_MAX)
            CV_FATAL("%s: the %s would hold more than %u elements", fn, what, (unsigned)UINT32_MAX);
    }
    return CreateTensor(dtype, layout, ndim, MakeShape(ndim, dims), false);
}

void CreateInnerTensors(NNKernel* kernel, const char* fn, DataLayout filterLayout, uint32_t filterDims,
                        const uint32_t* filterShape, bool useBias, DataLayout biasLayout, uint32_t biasSize)
{
    kernel->inner[0] = CreateChecked(fn, "filter", DT_FLOAT32, filterLayout, filterDims, filterShape);
    if (useBias) kernel->inner[1] = CreateChecked(fn, "bias", DT_FLOAT32, biasLayout, 1, &biasSize);
}

}  // namespace

extern "C" Layer* AddConv1DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t filters,
                                 uint32_t kernel_size, uint32_t stride, uint32_t dilation, uint32_t groups,
                                 const PaddingStruct* padding, bool useBias, ActivationParams activation)
{
    static const char* const kFn = "AddConv1DLayer";
    CV_CHECK_PTR(padding);
    Layer* layer = CreateSingleInputLayer(name, OP_Conv1D, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    const Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 3)
        CV_FATAL("AddConv1DLayer: Input tensor dimensions must be equal 3. Current dimensions number: %d",
                 (int)inTensor->ndim);
    if (groups == 0) CV_FATAL("groups must be greater than 0");
    Conv1DParams* params = (Conv1DParams*)malloc(sizeof(Conv1DParams));
    if (params == nullptr) CV_FATAL("AddConv1DLayer: Params pointer is NULL");
    kernel->params = params;
    params->kernel_size = kernel_size;
    params->stride = stride;
    params->dilation = dilation;
    params->padBegin = padding->begin0;
    params->padEnd = padding->end0;
    params->groups = groups;
    params->useBias = useBias;
    params->activation = activation;

    const uint32_t out[3] = {inTensor->shape.dimension[0], padding->outputSize[0], filters};
    kernel->output[0] = CreateChecked(kFn, "output", (DataType)inTensor->dtype, (DataLayout)inTensor->layout, 3, out);
    const uint32_t filterShape[3] = {kernel_size, inTensor->shape.dimension[2] / groups, filters};
    CreateInnerTensors(kernel, kFn, DL_NONE, 3, filterShape, useBias, DL_NONE, filters);
    return layer;
}

extern "C" Layer* AddConv3DLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t filters,
                                 uint32_t groups, uint32_t kerSizeD, uint32_t kerSizeH, uint32_t kerSizeW,
                                 uint32_t strideD, uint32_t strideH, uint32_t strideW, uint32_t dilationRateD,
                                 uint32_t dilationRateH, uint32_t dilationRateW, const PaddingStruct* padding,
                                 bool useBias, uint32_t paddingMode, ActivationParams activation)
{
    static const char* const kFn = "AddConv3DLayer";
    CV_CHECK_PTR(padding);
    Layer* layer = CreateSingleInputLayer(name, OP_Conv3D, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    const Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 5)
        CV_FATAL("AddConv3DLayer: input tensor dimensions number must equal 5.Current dimensions number: %i\n",
                 (int)inTensor->ndim);
    Conv3DParams* params;
    CV_CHECK_PTR(params = (Conv3DParams*)malloc(sizeof(Conv3DParams)));
    kernel->params = params;
    if (groups == 0) CV_FATAL("groups must be greater than 0");
    params->kerSizeD = kerSizeD;
    params->kerSizeH = kerSizeH;
    params->kerSizeW = kerSizeW;
    params->strideD = strideD;
    params->strideH = strideH;
    params->strideW = strideW;
    params->dilationRateD = dilationRateD;
    params->dilationRateH = dilationRateH;
    params->dilationRateW = dilationRateW;
    params->padTop = padding->begin1;
    params->padBottom = padding->end1;
    params->padFront = padding->begin0;
    params->padBack = padding->end0;
    params->padLeft = padding->begin2;
    params->padRight = padding->end2;
    params->groups = groups;
    params->filters = filters;
    params->useBias = useBias;
    params->paddingMode = paddingMode;
    params->activation = activation;

    const uint32_t out[5] = {inTensor->shape.dimension[0], padding->outputSize[0], padding->outputSize[1],
                             padding->outputSize[2], filters};
    kernel->output[0] = CreateChecked(kFn, "output", (DataType)inTensor->dtype, (DataLayout)inTensor->layout, 5, out);
    const uint32_t filterShape[5] = {kerSizeD, kerSizeH, kerSizeW, inTensor->shape.dimension[4] / groups, filters};
    CreateInnerTensors(kernel, kFn, DL_NONE, 5, filterShape, useBias, DL_NONE, filters);
    return layer;
}

extern "C" Layer* AddConv2DTransposeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout,
                                          uint32_t filters, uint32_t kerSizeH, uint32_t kerSizeW, uint32_t strideH,
                                          uint32_t strideW, uint32_t dilationRateH, uint32_t dilationRateW,
                                          const PaddingStruct* padding, uint32_t groups, bool useBias,
                                          ActivationParams activation)
{
    static const char* const kFn = "AddConv2DTransposeLayer";
    CV_CHECK_PTR(padding);
    Layer* layer = CreateSingleInputLayer(name, OP_Conv2DTranspose, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 4) CV_FATAL("input tensor ndim must be equal 4. ndim: %d", (int)inTensor->ndim);
    SetInputLayout(inTensor, layout);
    Conv2DTransposeParams* params;
    CV_CHECK_PTR(params = (Conv2DTransposeParams*)malloc(sizeof(Conv2DTransposeParams)));
    kernel->params = params;
    CV_CHECK(inTensor->layout == DL_NHWC);
    // The filter holds filters / groups output channels per group.
    if (groups == 0) CV_FATAL("groups must be greater than 0");
    params->kerSizeH = kerSizeH;
    params->kerSizeW = kerSizeW;
    params->filters = filters;
    params->strideH = strideH;
    params->strideW = strideW;
    params->dilationRateH = dilationRateH;
    params->dilationRateW = dilationRateW;
    params->padTop = padding->begin0;
    params->padLeft = padding->begin1;
    params->useBias = useBias;
    params->groups = groups;
    params->activation = activation;

    const uint32_t out[4] = {inTensor->shape.NHWC.batch, padding->outputSize[0], padding->outputSize[1], filters};
    kernel->output[0] = CreateChecked(kFn, "output", (DataType)inTensor->dtype, DL_NHWC, 4, out);
    const uint32_t filterShape[4] = {kerSizeH, kerSizeW, filters / groups, inTensor->shape.NHWC.channels};
    CreateInnerTensors(kernel, kFn, DL_HWOI, 4, filterShape, useBias, DL_I, filters);
    return layer;
}

extern "C" Layer* AddConv1DTransposeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t filters,
                                          uint32_t kernel_size, uint32_t dilation, uint32_t stride, uint32_t groups,
                                          const PaddingStruct* padding, bool useBias, ActivationParams activation)
{
    static const char* const kFn = "AddConv1DTransposeLayer";
    CV_CHECK_PTR(padding);
    Layer* layer = CreateSingleInputLayer(name, OP_Conv1DTranspose, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    const Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 3) CV_FATAL("input tensor ndim must be equal 3. ndim: %d", (int)inTensor->ndim);
    Conv1DTransposeParams* params;
    CV_CHECK_PTR(params = (Conv1DTransposeParams*)malloc(sizeof(Conv1DTransposeParams)));
    kernel->params = params;
    if (groups == 0) CV_FATAL("groups must be greater than 0");
    params->stride = stride;
    params->kernel_size = kernel_size;
    params->dilation = dilation;
    params->padBegin = padding->begin0;
    params->useBias = useBias;
    params->groups = groups;
    params->activation = activation;

    const uint64_t channels = (uint64_t)filters * groups;
    if (channels > UINT32_MAX) CV_FATAL("%s: filters * groups (%llu) is too large", kFn, (unsigned long long)channels);
    const uint32_t out[3] = {inTensor->shape.dimension[0], padding->outputSize[0], (uint32_t)channels};
    kernel->output[0] = CreateChecked(kFn, "output", (DataType)inTensor->dtype, DL_NONE, 3, out);
    const uint32_t filterShape[3] = {kernel_size, filters, inTensor->shape.dimension[2]};
    CreateInnerTensors(kernel, kFn, DL_NONE, 3, filterShape, useBias, DL_I, filters);
    return layer;
}
