// Constructors of the activation, unary math, PRelu, Clip and HardSigmoid
// layers: one input, an output of the input's type, layout and shape.
#define CORVUS_MODULE "Layers"
#include "LayersActivation.h"

#include <cstdlib>

#include "LayersInternal.h"
#include "Report.h"

namespace {

Layer* AddUnaryLayer(const char* name, LayerOpType op, Layer* inputLayer, Tensor* inputTensor, uint32_t innerNum)
{
    Layer* layer = CreateSingleInputLayer(name, op, inputLayer, inputTensor, innerNum);
    const Tensor* in = layer->kernel->input[0];
    layer->kernel->output[0] = CreateTensor((DataType)in->dtype, (DataLayout)in->layout, in->ndim, in->shape, false);
    return layer;
}

}  // namespace

extern "C" {

Layer* AddActivationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, ActivationParams params)
{
    Layer* layer = AddUnaryLayer(name, OP_Activation, inputLayer, inputTensor, 0);
    ActivationParams* a_params;
    CV_CHECK_PTR(a_params = (ActivationParams*)malloc(sizeof(ActivationParams)));
    *a_params = params;
    layer->kernel->params = a_params;
    return layer;
}

Layer* AddExpLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    return AddUnaryLayer(name, OP_Exp, inputLayer, inputTensor, 0);
}

Layer* AddSqrtLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    return AddUnaryLayer(name, OP_Sqrt, inputLayer, inputTensor, 0);
}

Layer* AddErfLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    return AddUnaryLayer(name, OP_Erf, inputLayer, inputTensor, 0);
}

Layer* AddNegLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    return AddUnaryLayer(name, OP_Neg, inputLayer, inputTensor, 0);
}

Layer* AddCeilLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    return AddUnaryLayer(name, OP_Ceil, inputLayer, inputTensor, 0);
}

Layer* AddFloorLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    return AddUnaryLayer(name, OP_Floor, inputLayer, inputTensor, 0);
}

Layer* AddAbsLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    return AddUnaryLayer(name, OP_Abs, inputLayer, inputTensor, 0);
}

Layer* AddPReluLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    Layer* layer = AddUnaryLayer(name, OP_PRelu, inputLayer, inputTensor, 1);
    const Tensor* in = layer->kernel->input[0];
    // One slope per channel: the input needs a last dimension.
    if (in->ndim < 1) CV_FATAL("AddPReluLayer: input tensor must have at least one dimension");
    const DataType dtype = (DataType)in->dtype;
    const uint32_t inner_ndim = 1;
    TensorShape inner_shape = {};
    inner_shape.dimension[0] = in->shape.dimension[in->ndim - 1];
    const bool inner_allocate_data = false;
    CV_CHECK_PTR(layer->kernel->inner[0] = CreateTensor(dtype, DL_I, inner_ndim, inner_shape, inner_allocate_data));
    return layer;
}

Layer* AddClipLayer(Layer* inputLayer, Tensor* inputTensor, ClipValue min, ClipValue max, const char* name)
{
    Layer* layer = AddUnaryLayer(name, OP_Clip, inputLayer, inputTensor, 0);
    const uint32_t dtype = layer->kernel->input[0]->dtype;
    CV_CHECK(dtype == DT_INT32 || dtype == DT_FLOAT32 || dtype == DT_FLOAT16);
    ClipParams* params;
    CV_CHECK_PTR(params = (ClipParams*)malloc(sizeof(ClipParams)));
    params->min = min;
    params->max = max;
    layer->kernel->params = params;
    return layer;
}

Layer* AddHardSigmoidLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, float alpha, float beta)
{
    Layer* layer = AddUnaryLayer(name, OP_HardSigmoid, inputLayer, inputTensor, 0);
    HardSigmoidParams* params = (HardSigmoidParams*)malloc(sizeof(HardSigmoidParams));
    if (params == nullptr) CV_FATAL("%s: Params pointer is NULL", "AddHardSigmoidLayer");
    params->alpha = alpha;
    params->beta = beta;
    layer->kernel->params = params;
    return layer;
}

}  // extern "C"
