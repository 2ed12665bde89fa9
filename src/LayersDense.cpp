#define CORVUS_MODULE "Layers"
#include "LayersDense.h"

#include <cstdlib>
#include <cstring>

#include "LayersInternal.h"
#include "Report.h"
#include "TensorOperation.h"

namespace {

// The matrix extent `fromEnd` places from the end (1: last), or 1 when the
// tensor has fewer dimensions (shapes are right-aligned with leading 1s).
uint32_t MatrixDim(const Tensor* t, uint32_t fromEnd)
{
    return t->ndim >= fromEnd ? t->shape.dimension[t->ndim - fromEnd] : 1u;
}

}  // namespace

extern "C" Layer* AddDenseLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t units, bool useBias,
                                uint32_t activation)
{
    Layer* layer = CreateSingleInputLayer(name, OP_Dense, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 2) CV_FATAL("input tensor ndim must equal 2. ndim: %d", (int)inTensor->ndim);
    SetInputLayout(inTensor, DL_NC);

    DenseParams* params;
    CV_CHECK_PTR(params = (DenseParams*)malloc(sizeof(DenseParams)));
    kernel->params = params;
    params->useBias = useBias ? 1 : 0;
    params->activation = activation;

    const uint32_t k = inTensor->shape.dimension[1];
    kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_CN, 2, ShapeOf(k, units), false);
    if (useBias) kernel->inner[1] = CreateTensor(DT_FLOAT32, DL_I, 1, ShapeOf(units), false);
    kernel->output[0] =
        CreateTensor((DataType)inTensor->dtype, DL_NC, 2, ShapeOf(inTensor->shape.dimension[0], units), false);
    return layer;
}

extern "C" Layer* AddLinearLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t activation)
{
    Layer* layer = CreateSingleInputLayer(name, OP_Linear, inputLayer, inputTensor, 2);
    NNKernel* kernel = layer->kernel;
    const Tensor* inTensor = kernel->input[0];
    if (inTensor->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)inTensor->ndim);
    CV_CHECK(inTensor->layout == DL_NHWC || inTensor->layout == DL_NONE);

    LinearParams* params;
    CV_CHECK_PTR(params = (LinearParams*)malloc(sizeof(LinearParams)));
    kernel->params = params;
    params->activation = activation;

    const TensorShape inner_shape = ShapeOf(inTensor->shape.dimension[3]);
    CV_CHECK_PTR(layer->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_I, 1, inner_shape, false));
    CV_CHECK_PTR(layer->kernel->inner[1] = CreateTensor(DT_FLOAT32, DL_I, 1, inner_shape, false));
    kernel->output[0] =
        CreateTensor((DataType)inTensor->dtype, (DataLayout)inTensor->layout, inTensor->ndim, inTensor->shape, false);
    return layer;
}

extern "C" Layer* AddMatmulLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, uint32_t mode)
{
    Layer* layer = CreateLayer(name, OP_MatMul, inputLayers, inputTensors, 2, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* a = kernel->input[0];
    const Tensor* b = kernel->input[1];
    // A product whose inner extents disagree has no meaning; say so here
    // rather than at the first prediction.
    if (MatrixDim(a, 1) != MatrixDim(b, 2))
        CV_FATAL("Function Matmul: inner dimensions differ: A has %u columns, B has %u rows", MatrixDim(a, 1),
                 MatrixDim(b, 2));

    MatmulParams* params = (MatmulParams*)malloc(sizeof(MatmulParams));
    CV_CHECK_PTR(params);
    kernel->params = params;
    params->mode = mode;

    Tensor* shape = GetMatmulBroadcastTensor(a, b);
    kernel->output[0] = CreateTensor((DataType)a->dtype, (DataLayout)shape->layout, shape->ndim, shape->shape, false);
    DestroyTensor(shape);
    return layer;
}
