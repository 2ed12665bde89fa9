// Constructors of the batch, L2, instance and layer normalization layers:
// one input, an output of the input's type, layout and shape, and
// per-channel inner tensors filled later from the weights file.
#define CORVUS_MODULE "Layers"
#include "LayersNormalization.h"

#include <cstdlib>

#include "LayersInternal.h"
#include "Report.h"

namespace {

Layer* AddNormLayer(const char* name, LayerOpType op, Layer* inputLayer, Tensor* inputTensor, uint32_t innerNum)
{
    Layer* layer = CreateSingleInputLayer(name, op, inputLayer, inputTensor, innerNum);
    const Tensor* in = layer->kernel->input[0];
    if (in->ndim < 1 || in->ndim > MAX_NDIM_VALUE)
        CV_FATAL("%s: input tensor must have 1 to %d dimensions, it has %u", LayerOpTypeToStr(op), MAX_NDIM_VALUE,
                 in->ndim);
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16)
        CV_FATAL("%s: input tensor must be float32 or float16, it is %s", LayerOpTypeToStr(op),
                 DataTypeToStr((DataType)in->dtype));
    layer->kernel->output[0] = CreateTensor((DataType)in->dtype, (DataLayout)in->layout, in->ndim, in->shape, false);
    return layer;
}

// One value per element of the input's last dimension.
TensorShape ChannelShape(const Tensor* in)
{
    TensorShape shape = {};
    shape.dimension[0] = in->shape.dimension[in->ndim - 1];
    return shape;
}

NormalizationParams* NewNormalizationParams(Layer* layer, float epsilon)
{
    NormalizationParams* params = (NormalizationParams*)calloc(1, sizeof(NormalizationParams));
    if (params == nullptr)
        CV_FATAL("params = (NormalizationParams*)malloc(sizeof(NormalizationParams))==NULL, expected not NULL value");
    params->axis = layer->kernel->input[0]->ndim - 1;
    params->epsilon = epsilon;
    layer->kernel->params = params;
    return params;
}

}  // namespace

extern "C" {

Layer* AddBatchNormalizationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, bool scale, bool center,
                                  float epsilon)
{
    Layer* layer = AddNormLayer(name, OP_BatchNormalization, inputLayer, inputTensor, 2);
    const Tensor* in = layer->kernel->input[0];
    NormalizationParams* params = NewNormalizationParams(layer, epsilon);
    params->center = center;
    params->scale = scale;

    const DataType dtype = (DataType)in->dtype;
    const uint32_t inner_ndim = 1;
    const TensorShape inner_shape = ChannelShape(in);
    const bool inner_allocate_data = false;
    if ((layer->kernel->inner[0] = CreateTensor(dtype, DL_I, inner_ndim, inner_shape, inner_allocate_data)) == nullptr)
        CV_FATAL("layer->kernel->inner[0] = CreateTensor(dtype, DL_I, inner_ndim, inner_shape, "
                 "inner_allocate_data)==NULL, expected not NULL value");
    if ((layer->kernel->inner[1] = CreateTensor(dtype, DL_I, inner_ndim, inner_shape, inner_allocate_data)) == nullptr)
        CV_FATAL("layer->kernel->inner[1] = CreateTensor(dtype, DL_I, inner_ndim, inner_shape, "
                 "inner_allocate_data)==NULL, expected not NULL value");
    return layer;
}

Layer* AddL2NormalizationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, float gammaInit)
{
    Layer* layer = CreateSingleInputLayer(name, OP_L2Normalization, inputLayer, inputTensor, 1);
    const Tensor* in = layer->kernel->input[0];
    if (in->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)in->ndim);
    if (in->layout != DL_NHWC) CV_FATAL("input tensor layout must be NHWC");
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16)
        CV_FATAL("L2Normalization: input tensor must be float32 or float16, it is %s",
                 DataTypeToStr((DataType)in->dtype));
    layer->kernel->output[0] = CreateTensor((DataType)in->dtype, (DataLayout)in->layout, in->ndim, in->shape, false);

    L2NormParams* params = (L2NormParams*)malloc(sizeof(L2NormParams));
    if (params == nullptr)
        CV_FATAL("params = (L2NormParams*)malloc(sizeof(L2NormParams))==NULL, expected not NULL value");
    params->gammaInit = gammaInit;
    layer->kernel->params = params;
    // The learned scale stays float32 whatever the input's type.
    CV_CHECK_PTR(layer->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_I, 1, ChannelShape(in), false));
    return layer;
}

Layer* AddInstanceNormalizationLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, float epsilon)
{
    Layer* layer = CreateSingleInputLayer(name, OP_InstanceNormalization, inputLayer, inputTensor, 2);
    const Tensor* in = layer->kernel->input[0];
    if (in->ndim != 3 && in->ndim != 4)
        CV_FATAL("AddInstanceNormalizationLayer: input tensor ndim must be equal 3 or 4, but now it is %d",
                 (int)in->ndim);
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16)
        CV_FATAL("InstanceNormalization: input tensor must be float32 or float16, it is %s",
                 DataTypeToStr((DataType)in->dtype));
    layer->kernel->output[0] = CreateTensor((DataType)in->dtype, (DataLayout)in->layout, in->ndim, in->shape, false);
    NewNormalizationParams(layer, epsilon);

    const DataType dtype = (DataType)in->dtype;
    const uint32_t inner_dims_number = 1;
    const TensorShape inner_shape = ChannelShape(in);
    if ((layer->kernel->inner[0] = CreateTensor(dtype, DL_I, inner_dims_number, inner_shape, false)) == nullptr)
        CV_FATAL("layer->kernel->inner[0] = CreateTensor( dtype, DL_I, inner_dims_number, inner_shape, "
                 "false)==NULL, expected not NULL value");
    if ((layer->kernel->inner[1] = CreateTensor(dtype, DL_I, inner_dims_number, inner_shape, false)) == nullptr)
        CV_FATAL("layer->kernel->inner[1] = CreateTensor( dtype, DL_I, inner_dims_number, inner_shape, "
                 "false)==NULL, expected not NULL value");
    return layer;
}

Layer* AddLayerNormLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, float epsilon)
{
    Layer* layer = AddNormLayer(name, OP_LayerNorm, inputLayer, inputTensor, 2);
    const Tensor* in_tensor = layer->kernel->input[0];
    NormalizationParams* params = (NormalizationParams*)calloc(1, sizeof(NormalizationParams));
    CV_CHECK_PTR(params);
    params->axis = in_tensor->ndim - 1;
    params->epsilon = epsilon;
    layer->kernel->params = params;

    const uint32_t inner_dims_number = 1;
    const TensorShape inner_shape = ChannelShape(in_tensor);
    if ((layer->kernel->inner[0] =
             CreateTensor((DataType)in_tensor->dtype, DL_I, inner_dims_number, inner_shape, false)) == nullptr)
        CV_FATAL("layer->kernel->inner[0] = CreateTensor(in_tensor->dtype, DL_I, inner_dims_number, inner_shape, "
                 "false)==NULL, expected not NULL value");
    if ((layer->kernel->inner[1] =
             CreateTensor((DataType)in_tensor->dtype, DL_I, inner_dims_number, inner_shape, false)) == nullptr)
        CV_FATAL("layer->kernel->inner[1] = CreateTensor(in_tensor->dtype, DL_I, inner_dims_number, inner_shape, "
                 "false)==NULL, expected not NULL value");
    return layer;
}

}  // extern "C"
