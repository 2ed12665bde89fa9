// Constructors of the reduction, index, shape-producing, einsum and
// initializer layers.
#define CORVUS_MODULE "Layers"
#include "LayersReduction.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "LayersInternal.h"
#include "Report.h"
#include "TensorOperation.h"

namespace {

// The tensor holding input i's values at construction: the producer's own
// output (an initializer or a layer evaluated ahead of time), or the given
// tensor. The layer's input records are data-less copies of the former.
const Tensor* ConstantInput(const Layer* layer, uint32_t i)
{
    if (layer->inputLayers != nullptr) return layer->inputLayers[i]->kernel->output[0];
    return layer->kernel->input[i];
}

bool IsKnownType(uint32_t dtype) { return dtype <= DT_INT8; }

Layer* AddReduceLayer(LayerOpType op, Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes,
                      uint32_t axesCount, uint32_t keepdims)
{
    Layer* layer = CreateSingleInputLayer(name, op, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    const bool keep = keepdims != 0;
    // Checks the axes (count, order, range) before they are copied.
    const TensorShape shape = GetReduceShape(in, axes, axesCount, keep);
    uint32_t rank;
    if (axesCount == 0)
        rank = keep ? in->ndim : 1;
    else
        rank = keep ? in->ndim : in->ndim - axesCount;

    ReduceParams* params = (ReduceParams*)malloc(sizeof(ReduceParams));
    if (params == nullptr)
        CV_FATAL("params = (ReduceParams*)malloc(sizeof(ReduceParams))==NULL, expected not NULL value");
    memset(params, 0, sizeof(*params));
    for (uint32_t k = 0; k < axesCount; ++k) params->axes[k] = axes[k];
    params->axesCount = axesCount;
    params->keepdims = keep ? 1 : 0;
    kernel->params = params;
    kernel->output[0] = CreateTensor((DataType)in->dtype, keep ? (DataLayout)in->layout : DL_NONE, rank, shape, false);
    return layer;
}

}  // namespace

extern "C" {

Layer* AddReduceMean(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes, uint32_t axesCount,
                     uint32_t keepdims)
{
    return AddReduceLayer(OP_ReduceMean, inputLayer, inputTensor, name, axes, axesCount, keepdims);
}

Layer* AddReduceSum(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes, uint32_t axesCount,
                    uint32_t keepdims)
{
    return AddReduceLayer(OP_ReduceSum, inputLayer, inputTensor, name, axes, axesCount, keepdims);
}

Layer* AddReduceMax(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes, uint32_t axesCount,
                    uint32_t keepdims)
{
    return AddReduceLayer(OP_ReduceMax, inputLayer, inputTensor, name, axes, axesCount, keepdims);
}

Layer* AddReduceMin(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes, uint32_t axesCount,
                    uint32_t keepdims)
{
    return AddReduceLayer(OP_ReduceMin, inputLayer, inputTensor, name, axes, axesCount, keepdims);
}

Layer* AddReduceL2(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* axes, uint32_t axesCount,
                   uint32_t keepdims)
{
    return AddReduceLayer(OP_ReduceL2, inputLayer, inputTensor, name, axes, axesCount, keepdims);
}

Layer* AddArgMax(Layer* inputLayer, Tensor* inputTensor, const char* name, int32_t axis, bool keepdims,
                 bool selectLastIndex)
{
    Layer* layer = CreateSingleInputLayer(name, OP_ArgMax, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    const int64_t rank = in->ndim;
    const int64_t a = axis < 0 ? (int64_t)axis + rank : axis;
    if (a < 0 || a > rank - 1) CV_FATAL("ArgMax: Invalid axis value: %i\n", (int)axis);
    const TensorShape shape = GetArgMaxShape(in, (int32_t)a, keepdims);
    const uint32_t outRank = keepdims ? in->ndim : (in->ndim > 1 ? in->ndim - 1 : 1);

    ArgMaxParams* params = (ArgMaxParams*)malloc(sizeof(ArgMaxParams));
    if (params == nullptr)
        CV_FATAL("params = (ArgMaxParams*)malloc(sizeof(ArgMaxParams))==NULL, expected not NULL value");
    params->axis = (uint32_t)a;
    params->keepdims = keepdims;
    params->selectLastIndex = selectLastIndex;
    kernel->params = params;
    kernel->output[0] = CreateTensor(DT_INT32, DL_NONE, outRank, shape, false);
    return layer;
}

Layer* AddCumSumLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, uint32_t inputsNum, bool exclusive,
                      bool reverse)
{
    if (inputsNum != 2) CV_FATAL("%s: inputs_num must be equal 2. Current value: %d", "AddCumSumLayer", (int)inputsNum);
    Layer* layer = CreateLayer(name, OP_CumSum, inputLayers, inputTensors, 2, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    CumSumParams* params = (CumSumParams*)malloc(sizeof(CumSumParams));
    if (params == nullptr)
        CV_FATAL("params = (CumSumParams*)malloc(sizeof(CumSumParams))==NULL, expected not NULL value");
    params->exclusive = exclusive;
    params->reverse = reverse;
    kernel->params = params;
    kernel->output[0] = CreateTensor((DataType)in->dtype, (DataLayout)in->layout, in->ndim, in->shape, false);
    return layer;
}

Layer* AddNonZeroLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    Layer* layer = CreateSingleInputLayer(name, OP_NonZero, inputLayer, inputTensor, 0);
    const Tensor* values = ConstantInput(layer, 0);
    if (values->data == nullptr && GetTensorSize(values) > 0)
        CV_FATAL("AddNonZeroLayer: the input of layer \"%s\" holds no data; its values size the output", layer->name);
    const TensorShape shape = NonZeroOutputShape(values);
    layer->kernel->output[0] = CreateTensor(DT_INT32, DL_NONE, 2, shape, false);
    return layer;
}

Layer* AddShapeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    Layer* layer = CreateSingleInputLayer(name, OP_Shape, inputLayer, inputTensor, 0);
    TensorShape shape = {};
    shape.dimension[0] = layer->kernel->input[0]->ndim;
    layer->kernel->output[0] = CreateTensor(DT_INT32, DL_I, 1, shape, false);
    return layer;
}

Layer* AddRangeLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, uint32_t inputsNum, float start,
                     float limit, float delta)
{
    (void)start;
    (void)limit;
    (void)delta;
    if (inputsNum != 3) CV_FATAL("AddRangeLayer: inputs_num must be equal 3. Current value: %d", (int)inputsNum);
    Layer* layer = CreateLayer(name, OP_Range, inputLayers, inputTensors, 3, 0);
    Tensor* values[3];
    for (uint32_t i = 0; i < 3; ++i) {
        values[i] = (Tensor*)ConstantInput(layer, i);
        if (GetTensorSize(values[i]) != 1) CV_FATAL("AddRangeLayer: Input tensor is not scalar");
    }
    const TensorShape shape = GetRangeShape(values, 3);
    layer->kernel->output[0] = CreateTensor((DataType)layer->kernel->input[0]->dtype, DL_I, 1, shape, false);
    return layer;
}

Layer* AddConstantOfShapeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataType dtype,
                               ConstantOfShapeParams value)
{
    Layer* layer = CreateSingleInputLayer(name, OP_ConstantOfShape, inputLayer, inputTensor, 0);
    const Tensor* dims = ConstantInput(layer, 0);
    if (dims->dtype != DT_INT32) CV_FATAL("AddConstantOfShapeLayer: Shape tensor data type is not int32");
    if (!IsKnownType(dtype)) CV_FATAL("AddConstantOfShapeLayer: Unknown output data type %d", (int)dtype);
    const uint32_t rank = GetTensorSize(dims);
    if (rank > MAX_NDIM_VALUE)
        CV_FATAL("AddConstantOfShapeLayer: Shape tensor holds %u values, at most %d are supported", rank,
                 MAX_NDIM_VALUE);
    if (rank > 0 && (dims->data == nullptr || !IsSerialData(dims)))
        CV_FATAL("AddConstantOfShapeLayer: Shape tensor of layer \"%s\" holds no dense data", layer->name);
    TensorShape shape = {};
    uint64_t count = 1;
    for (uint32_t d = 0; d < rank; ++d) {
        const int32_t v = ((const int32_t*)dims->data)[d];
        if (v < 0) CV_FATAL("AddConstantOfShapeLayer: Negative dimension %d in the shape tensor", (int)v);
        shape.dimension[d] = (uint32_t)v;
        count *= (uint64_t)v;
        if (count > 0xFFFFFFFFull) CV_FATAL("AddConstantOfShapeLayer: The shape holds more than 4294967295 elements");
    }
    ConstantOfShapeParams* params = (ConstantOfShapeParams*)malloc(sizeof(ConstantOfShapeParams));
    if (params == nullptr) CV_FATAL("AddConstantOfShapeLayer: Params pointer is NULL");
    *params = value;
    layer->kernel->params = params;
    layer->kernel->output[0] = CreateTensor(dtype, DL_NONE, rank, shape, false);
    return layer;
}

Layer* AddCastLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataType dtype)
{
    Layer* layer = CreateSingleInputLayer(name, OP_Cast, inputLayer, inputTensor, 0);
    const Tensor* in = layer->kernel->input[0];
    if (!IsKnownType(dtype)) CV_FATAL("AddCastLayer: Unknown output data type %d", (int)dtype);
    layer->kernel->output[0] = CreateTensor(dtype, (DataLayout)in->layout, in->ndim, in->shape, false);
    return layer;
}

Layer* AddEinsumLayer(Layer** inputLayers, Tensor** inputTensors, const char* name, const char* equation)
{
    Layer* layer = CreateLayer(name, OP_Einsum, inputLayers, inputTensors, 2, 0);
    NNKernel* kernel = layer->kernel;
    EinsumParams* params = (EinsumParams*)calloc(1, sizeof(EinsumParams));
    if (params == nullptr) CV_FATAL("params==NULL, expected not NULL value");
    kernel->params = params;
    CV_CHECK_PTR(equation);
    if (strlen(equation) > EINSUM_EQUATION_MAX)
        CV_FATAL("AddEinsumLayer: The equation is longer than %d characters", EINSUM_EQUATION_MAX);
    memcpy(params->equation, equation, strlen(equation) + 1);
    uint32_t resultCount = 0;
    ParseEinSumExpression(params->equation, &params->leftCount, &params->rightCount, &resultCount, params->left,
                          params->right, params->result);
    // A letter repeated inside one operand would ask for a diagonal or a trace.
    for (const char* term : {params->left, params->right})
        for (size_t i = 0; term[i] != '\0'; ++i)
            if (strchr(term + i + 1, term[i]) != nullptr)
                CV_FATAL("Check equation pattern: %s\n. Trace-like operators are not supported in the current version.",
                         params->equation);
    for (size_t i = 0; params->result[i] != '\0'; ++i)
        if (strchr(params->result + i + 1, params->result[i]) != nullptr)
            CV_FATAL("AddEinsumLayer: The result of %s repeats the index '%c'", params->equation, params->result[i]);

    const Tensor* a = kernel->input[0];
    const Tensor* b = kernel->input[1];
    if (params->leftCount != a->ndim || params->rightCount != b->ndim)
        CV_FATAL("AddEinsumLayer: The equation %s names %u and %u indices for operands of rank %u and %u",
                 params->equation, params->leftCount, params->rightCount, a->ndim, b->ndim);
    const TensorShape shape = ComputeEinsumOutputShape(a->shape, params->left, b->shape, params->right, params->result);
    kernel->output[0] = CreateTensor((DataType)a->dtype, DL_NONE, resultCount, shape, false);
    return layer;
}

Layer* AddInitializerLayer(uint32_t rank, const uint32_t* shape, DataType dtype, const void* data, const char* name)
{
    if (rank > MAX_NDIM_VALUE) CV_FATAL("AddInitializerLayer: Rank %u is greater than %d", rank, MAX_NDIM_VALUE);
    if (rank > 0) CV_CHECK_PTR(shape);
    if (!IsKnownType(dtype)) CV_FATAL("AddInitializerLayer: Unknown data type %d", (int)dtype);
    TensorShape dims = {};
    uint64_t count = 1;
    for (uint32_t d = 0; d < rank; ++d) {
        dims.dimension[d] = shape[d];
        count *= shape[d];
        if (count > 0xFFFFFFFFull) CV_FATAL("AddInitializerLayer: The shape holds more than 4294967295 elements");
    }
    Layer* layer = CreateLayer(name, OP_Initializer, nullptr, nullptr, 0, 0);
    Tensor* out = CreateTensor(dtype, DL_NONE, rank, dims, true);
    if (data != nullptr && count > 0) memcpy(out->data, data, (size_t)count * DataTypeSize(dtype));
    layer->kernel->output[0] = out;
    layer->staticOutput = true;
    return layer;
}

}  // extern "C"
