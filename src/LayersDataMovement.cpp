// Constructors of the data-movement and reshaping layers.
#define CORVUS_MODULE "Layers"
#include "LayersDataMovement.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "LayersInternal.h"
#include "Report.h"
#include "TensorOperation.h"
#include "common/StridedCopy.h"

using corvus::dm::CheckedElementCount;
using corvus::dm::ShapeText;

namespace {

template <class P> P* NewParams()
{
    P* params;
    CV_CHECK_PTR(params = (P*)calloc(1, sizeof(P)));
    return params;
}

// One input. Unlike the other constructors these take the layer and ignore
// the tensor when both are given.
Layer* CreateDataMovementLayer(const char* name, LayerOpType op, Layer* inputLayer, Tensor* inputTensor)
{
    return CreateSingleInputLayer(name, op, inputLayer, inputLayer != nullptr ? nullptr : inputTensor, 0);
}

Layer* CreateMultiInputLayer(const char* name, LayerOpType op, Layer** inputLayers, Tensor** inputTensors,
                             uint32_t count)
{
    return CreateLayer(name, op, inputLayers, inputLayers != nullptr ? nullptr : inputTensors, count, 0);
}

// The tensor that carries the values of input i when the constructor runs:
// the producing layer's output, or the given tensor.
const Tensor* ValueSource(const Layer* layer, uint32_t i)
{
    if (layer->inputLayers != nullptr) {
        const Layer* producer = layer->inputLayers[i];
        CV_CHECK_PTR(producer->kernel->output[0]);
        return producer->kernel->output[0];
    }
    return layer->kernel->input[i];
}

// Row-major element k of a tensor of 32-bit integers; the caller has
// checked the element type and the data.
int32_t Int32At(const Tensor* t, uint32_t k)
{
    uint32_t pos[MAX_NDIM_VALUE] = {};
    if (t->ndim > 0) GetPositionByIndex(t->shape, t->ndim, k, pos);
    size_t offset = 0;
    for (uint32_t d = 0; d < t->ndim; ++d) offset += (size_t)pos[d] * t->stride.dimension[d];
    return ((const int32_t*)t->data)[offset];
}

// Output tensor without data; shapes whose element count does not fit a
// tensor are refused here rather than wrapping around later.
Tensor* NewOutput(const char* who, DataType dtype, DataLayout layout, uint32_t ndim, const uint32_t* dims)
{
    if (ndim > MAX_NDIM_VALUE) CV_FATAL("%s: output rank %u is greater than %d", who, ndim, MAX_NDIM_VALUE);
    if (CheckedElementCount(dims, ndim) == UINT64_MAX)
        CV_FATAL("%s: output shape %s holds more elements than a tensor can", who, ShapeText(dims, ndim).c_str());
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    for (uint32_t d = 0; d < ndim; ++d) shape.dimension[d] = dims[d];
    return CreateTensor(dtype, layout, ndim, shape, false);
}

Tensor* NewOutputLike(const char* who, const Tensor* like, DataType dtype, DataLayout layout)
{
    return NewOutput(who, dtype, layout, like->ndim, like->shape.dimension);
}

}  // namespace

extern "C" {

Layer* AddFlattenLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    Layer* layer = CreateDataMovementLayer(name, OP_Flatten, inputLayer, inputTensor);
    const Tensor* in = layer->kernel->input[0];
    if (in->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)in->ndim);
    const uint32_t batch = in->shape.dimension[0];
    if (batch == 0) CV_FATAL("batches must be greater than 0");
    const uint32_t dims[2] = {batch, GetTensorSize(in) / batch};
    layer->kernel->output[0] = NewOutput("AddFlattenLayer", (DataType)in->dtype, DL_NC, 2, dims);
    FlattenParams* params = NewParams<FlattenParams>();
    params->layout = in->layout;
    layer->kernel->params = params;
    return layer;
}

Layer* AddReshapeLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, const uint32_t* shape, uint32_t ndim)
{
    Layer* layer = CreateDataMovementLayer(name, OP_Reshape, inputLayer, inputTensor);
    const Tensor* in = layer->kernel->input[0];
    if (ndim > MAX_NDIM_VALUE) CV_FATAL("AddReshapeLayer: ndim (%u) is greater than %d", ndim, MAX_NDIM_VALUE);
    if (ndim > 0) CV_CHECK_PTR(shape);
    const uint64_t inCount = GetTensorSize(in);
    const uint64_t outCount = CheckedElementCount(shape, ndim);
    if (inCount != outCount)
        CV_FATAL("AddReshapeLayer: Input (%d) and output (%d) tensors have different number of elements", (int)inCount,
                 outCount == UINT64_MAX ? -1 : (int)outCount);
    layer->kernel->output[0] = NewOutput("AddReshapeLayer", (DataType)in->dtype, DL_NONE, ndim, shape);
    ReshapeParams* params = NewParams<ReshapeParams>();
    params->layout = in->layout;
    layer->kernel->params = params;
    return layer;
}

Layer* AddConcatenateLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name, int32_t axis)
{
    if (count == 0) CV_FATAL("AddConcatenateLayer: inputs number must be greater than 0");
    Layer* layer = CreateMultiInputLayer(name, OP_Concatenate, inputLayers, inputTensors, count);
    Tensor** in = layer->kernel->input;
    const uint32_t rank = in[0]->ndim;
    if (axis < 0 || axis >= (int32_t)rank)
        CV_FATAL("axis must be a value from 0 to %d. Currect value is %d", (int)rank - 1, (int)axis);
    uint32_t dims[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d < rank; ++d) dims[d] = in[0]->shape.dimension[d];
    uint64_t axisSum = dims[axis];
    for (uint32_t i = 1; i < count; ++i) {
        if (in[i]->dtype != in[0]->dtype) CV_FATAL("inputTensor0->dtype == inputTensorI->dtype: false, expected: true");
        if (in[i]->ndim != rank) CV_FATAL("dimensions number of input tensors must be the same");
        for (uint32_t d = 0; d < rank; ++d) {
            if ((int32_t)d == axis || in[i]->shape.dimension[d] == dims[d]) continue;
            fprintf(stderr, "inputTensor0 shape: ");
            PrintTensorShape(in[0], stderr);
            fprintf(stderr, "\ninputTensor%d shape: ", (int)i);
            PrintTensorShape(in[i], stderr);
            fprintf(stderr, "\n");
            CV_FATAL("dimensions of input tensors (except of axis dim) must be the same");
        }
        axisSum += in[i]->shape.dimension[axis];
    }
    if (axisSum > UINT32_MAX)
        CV_FATAL("AddConcatenateLayer: the inputs sum to %llu along axis %d", (unsigned long long)axisSum, (int)axis);
    dims[axis] = (uint32_t)axisSum;
    layer->kernel->output[0] =
        NewOutput("AddConcatenateLayer", (DataType)in[0]->dtype, (DataLayout)in[0]->layout, rank, dims);
    MergeParams* params = NewParams<MergeParams>();
    params->axis = (uint32_t)axis;
    layer->kernel->params = params;
    return layer;
}

Layer* AddSplitLayer(Layer* inputLayer, Tensor* inputTensor, uint32_t length, uint32_t axis, const char* name)
{
    Layer* layer = CreateDataMovementLayer(name, OP_Split, inputLayer, inputTensor);
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    if (!(in->ndim > axis)) CV_FATAL("inTensor->ndim > axis");
    if (length == 0) CV_FATAL("output_dim_len must be greater than 0");
    const uint32_t extent = in->shape.dimension[axis];
    if (extent == 0) CV_FATAL("AddSplitLayer: the input has no extent along axis %u to split", axis);
    const uint32_t pieces = extent / length + (extent % length != 0);

    Tensor** outputs = (Tensor**)realloc(kernel->output, pieces * sizeof(Tensor*));
    CV_CHECK_PTR(outputs);
    kernel->output = outputs;
    kernel->outputsNum = pieces;
    uint32_t dims[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d < in->ndim; ++d) dims[d] = in->shape.dimension[d];
    for (uint32_t p = 0; p < pieces; ++p) {
        dims[axis] = p + 1 == pieces && extent % length != 0 ? extent % length : length;
        outputs[p] = NewOutput("AddSplitLayer", (DataType)in->dtype, (DataLayout)in->layout, in->ndim, dims);
    }
    SplitParams* params = NewParams<SplitParams>();
    params->output_dim_len = length;
    params->axis = axis;
    kernel->params = params;
    return layer;
}

Layer* AddSliceLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name)
{
    if (count != 5) CV_FATAL("AddSliceLayer: inputs_num must be equal 5. Current value: %d", (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_Slice, inputLayers, inputTensors, count);
    Tensor* sources[5];
    for (uint32_t i = 0; i < 5; ++i) sources[i] = (Tensor*)ValueSource(layer, i);
    SliceParams* params = NewParams<SliceParams>();
    layer->kernel->params = params;
    const TensorShape shape = GetSliceShape(sources, 5, params->starts, params->ends, params->steps);
    const Tensor* data = layer->kernel->input[0];
    layer->kernel->output[0] =
        NewOutput("AddSliceLayer", (DataType)data->dtype, (DataLayout)data->layout, data->ndim, shape.dimension);
    return layer;
}

Layer* AddTransposeLayer(Layer* inputLayer, Tensor* inputTensor, const uint32_t* axes, uint32_t count, const char* name)
{
    Layer* layer = CreateDataMovementLayer(name, OP_Transpose, inputLayer, inputTensor);
    const Tensor* in = layer->kernel->input[0];
    if (count != in->ndim) CV_FATAL("Incorrect axis length in Transpose Layer");
    CV_CHECK_PTR(axes);
    bool seen[MAX_NDIM_VALUE] = {};
    for (uint32_t i = 0; i < count; ++i) {
        if (axes[i] >= count || seen[axes[i]])
            CV_FATAL("AddTransposeLayer: axes %s are not a permutation of the input's %u dimensions",
                     ShapeText(axes, count).c_str(), count);
        seen[axes[i]] = true;
    }
    TransposeParams* params = NewParams<TransposeParams>();
    uint32_t dims[MAX_NDIM_VALUE];
    for (uint32_t i = 0; i < count; ++i) {
        params->axes[i] = axes[i];
        dims[i] = in->shape.dimension[axes[i]];
    }
    layer->kernel->params = params;
    layer->kernel->output[0] = NewOutput("AddTransposeLayer", (DataType)in->dtype, DL_NONE, count, dims);
    return layer;
}

Layer* AddConvertLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout, DataType dtype)
{
    Layer* layer = CreateDataMovementLayer(name, OP_Convert, inputLayer, inputTensor);
    const Tensor* in = layer->kernel->input[0];
    if (in->ndim != 4) CV_FATAL("inTensor->ndim != 4");
    if ((uint32_t)dtype > DT_INT8) CV_FATAL("AddConvertLayer: unknown data type %d", (int)dtype);
    const uint32_t* s = in->shape.dimension;
    uint32_t dims[4] = {s[0], s[1], s[2], s[3]};
    if (in->layout == DL_NHWC && layout == DL_NCHW) {
        const uint32_t nchw[4] = {s[0], s[3], s[1], s[2]};
        memcpy(dims, nchw, sizeof(dims));
    } else if (in->layout == DL_NCHW && layout == DL_NHWC) {
        const uint32_t nhwc[4] = {s[0], s[2], s[3], s[1]};
        memcpy(dims, nhwc, sizeof(dims));
    } else if (in->layout != (uint32_t)layout) {
        CV_FATAL("unavailable convert dataformat");
    }
    layer->kernel->output[0] = NewOutput("AddConvertLayer", dtype, layout, 4, dims);
    return layer;
}

Layer* AddShuffleLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t groups)
{
    Layer* layer = CreateDataMovementLayer(name, OP_Shuffle, inputLayer, inputTensor);
    const Tensor* in = layer->kernel->input[0];
    if (groups == 0) CV_FATAL("AddShuffleLayer: groups must be greater than 0");
    layer->kernel->output[0] = NewOutputLike("AddShuffleLayer", in, (DataType)in->dtype, (DataLayout)in->layout);
    ShuffleParams* params = NewParams<ShuffleParams>();
    params->groups = groups;
    layer->kernel->params = params;
    return layer;
}

Layer* AddExpandChannels(Layer* inputLayer, Tensor* inputTensor, const char* name, DataLayout layout, uint32_t channels)
{
    Layer* layer = CreateDataMovementLayer(name, OP_ExpandChannels, inputLayer, inputTensor);
    Tensor* inTensor = layer->kernel->input[0];
    if (inTensor->ndim != 4) CV_FATAL("inTensor->ndim == 4: false, expected: true");
    if (inTensor->layout == DL_NONE) inTensor->layout = layout;
    if (inTensor->layout != (uint32_t)layout) CV_FATAL("inTensor->layout == layout: false, expected: true");
    if (inTensor->layout != DL_NHWC) CV_FATAL("inTensor->layout == DL_NHWC: false, expected: true");
    const uint32_t inC = inTensor->shape.NHWC.channels;
    const uint32_t outChannels = channels;
    if (!(inC <= outChannels)) CV_FATAL("inC <= outChannels: false, expected: true");
    const uint32_t* s = inTensor->shape.dimension;
    const uint32_t dims[4] = {s[0], s[1], s[2], outChannels};
    layer->kernel->output[0] = NewOutput("AddExpandChannels", (DataType)inTensor->dtype, DL_NHWC, 4, dims);
    return layer;
}

Layer* AddGatherLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, int32_t axis, const char* name)
{
    if (count != 2) CV_FATAL("AddGatherLayer: inputs_num must be equal 2. Current value: %d", (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_Gather, inputLayers, inputTensors, count);
    const Tensor* data = layer->kernel->input[0];
    const Tensor* indices = layer->kernel->input[1];
    if (data->ndim == 0) CV_FATAL("AddGatherLayer: data tensor must have at least one dimension");
    const uint32_t outRank = data->ndim + indices->ndim - 1;
    const TensorShape shape = GetGatherShape(data->shape, indices->shape, data->ndim, indices->ndim, outRank, axis);
    const DataLayout layout = indices->ndim == 1 ? (DataLayout)data->layout : DL_NONE;
    layer->kernel->output[0] = NewOutput("AddGatherLayer", (DataType)data->dtype, layout, outRank, shape.dimension);
    GatherParams* params = NewParams<GatherParams>();
    params->axis = (uint32_t)(axis < 0 ? axis + (int32_t)data->ndim : axis);
    layer->kernel->params = params;
    return layer;
}

Layer* AddGatherElementsLayer(Layer** inputLayers, Tensor** inputTensors, int32_t axis, uint32_t count,
                              const char* name)
{
    static const char* const fn = "AddGatherElementsLayer";
    if (count != 2) CV_FATAL("%s: inputs_num must be equal 2. Current value: %d", fn, (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_GatherElements, inputLayers, inputTensors, count);
    const Tensor* data = layer->kernel->input[0];
    const Tensor* indices = layer->kernel->input[1];
    if (data->ndim != indices->ndim) CV_FATAL("%s: Input and indices tensors haveunequal dimensions", fn);
    const int32_t rank = (int32_t)data->ndim;
    if (axis < -rank || axis >= rank) CV_FATAL("%s:Axis = %d | Ndim = %d |Axis out of range", fn, (int)axis, (int)rank);
    layer->kernel->output[0] =
        NewOutputLike("AddGatherElementsLayer", indices, (DataType)data->dtype, (DataLayout)data->layout);
    GatherElementsParams* params = NewParams<GatherElementsParams>();
    params->axis = axis;
    layer->kernel->params = params;
    return layer;
}

Layer* AddScatterNDLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, uint32_t reduction,
                         const char* name)
{
    static const char* const fn = "AddScatterNDLayer";
    if (count != 3) CV_FATAL("%s: inputs_num must be equal 3. Current value: %d", fn, (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_ScatterND, inputLayers, inputTensors, count);
    const Tensor* data = layer->kernel->input[0];
    const Tensor* indices = layer->kernel->input[1];
    const Tensor* updates = layer->kernel->input[2];
    const uint32_t r = data->ndim, q = indices->ndim;
    if (q == 0) CV_FATAL("%s: indices tensor must have at least one dimension", fn);
    const uint32_t k = indices->shape.dimension[q - 1];
    if (k > r) CV_FATAL("%s: indices.shape[-1] (%u) is greater than the data rank (%u)", fn, k, r);
    if ((int64_t)updates->ndim != (int64_t)q + r - k - 1)
        CV_FATAL("%s: updates rank must be equal to q + r - indices.shape[-1] - 1, where q is rank of indices, r is "
                 "rank of data",
                 fn);
    uint32_t expected[MAX_NDIM_VALUE];
    uint32_t n = 0;
    for (uint32_t d = 0; d + 1 < q; ++d) expected[n++] = indices->shape.dimension[d];
    for (uint32_t d = k; d < r; ++d) expected[n++] = data->shape.dimension[d];
    if (memcmp(expected, updates->shape.dimension, n * sizeof(uint32_t)) != 0)
        CV_FATAL("%s: updates shape %s must be %s", fn, ShapeText(updates).c_str(), ShapeText(expected, n).c_str());
    if (reduction > SCATTER_REDUCTION_MIN) CV_FATAL("%s: unknown reduction %u", fn, reduction);
    layer->kernel->output[0] = NewOutputLike(fn, data, (DataType)data->dtype, (DataLayout)data->layout);
    ScatterParams* params = NewParams<ScatterParams>();
    params->reduction = reduction;
    layer->kernel->params = params;
    return layer;
}

Layer* AddTileLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name)
{
    static const char* const fn = "AddTileLayer";
    if (count != 2) CV_FATAL("%s: inputs_num must be equal 2. Current value: %d", fn, (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_Tile, inputLayers, inputTensors, count);
    const Tensor* data = layer->kernel->input[0];
    uint32_t dims[MAX_NDIM_VALUE];
    if (data->ndim > 0) {
        const Tensor* repeats = ValueSource(layer, 1);
        if (repeats->ndim != 1) CV_FATAL("repeats tensor must be 1D");
        if (repeats->dtype != DT_UINT32 && repeats->dtype != DT_INT32)
            CV_FATAL("%s: repeats tensor must hold 32-bit integers", fn);
        if (repeats->shape.dimension[0] != data->ndim)
            CV_FATAL("repeats tensor size and input tensor ndim must be the same");
        CV_CHECK_PTR(repeats->data);
        for (uint32_t d = 0; d < data->ndim; ++d) {
            const uint64_t extent = (uint64_t)data->shape.dimension[d] * (uint32_t)Int32At(repeats, d);
            if (extent > UINT32_MAX)
                CV_FATAL("%s: output dimension %u is too large (%llu)", fn, d, (unsigned long long)extent);
            dims[d] = (uint32_t)extent;
        }
    }
    layer->kernel->output[0] = NewOutput(fn, (DataType)data->dtype, (DataLayout)data->layout, data->ndim, dims);
    return layer;
}

Layer* AddExpandLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name)
{
    if (count != 2) CV_FATAL("AddExpandLayer: Inputs number must be equal 2. Current value: %d", (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_Expand, inputLayers, inputTensors, count);
    Tensor* data = layer->kernel->input[0];
    const Tensor* shapeValues = ValueSource(layer, 1);
    if (shapeValues->dtype != DT_INT32) CV_FATAL("AddExpandLayer: Shape tensor data type is not int32");
    const uint32_t n = GetTensorSize(shapeValues);
    if (n > MAX_NDIM_VALUE)
        CV_FATAL("AddExpandLayer: Shape tensor holds %u values, at most %d are supported", n, MAX_NDIM_VALUE);
    if (n > 0) CV_CHECK_PTR(shapeValues->data);
    TensorShape requested;
    memset(&requested, 0, sizeof(requested));
    for (uint32_t k = 0; k < n; ++k) {
        const int32_t v = Int32At(shapeValues, k);
        if (v < 1) CV_FATAL("AddExpandLayer: Shape value %d at position %u must be positive", (int)v, k);
        requested.dimension[k] = (uint32_t)v;
    }
    Tensor* target = CreateTensor((DataType)data->dtype, DL_NONE, n, requested, false);
    Tensor* pair[2] = {data, target};
    Tensor* result = GetBroadcastShape(pair, 2);
    layer->kernel->output[0] = NewOutput("AddExpandLayer", (DataType)data->dtype, (DataLayout)result->layout,
                                         result->ndim, result->shape.dimension);
    DestroyTensor(result);
    DestroyTensor(target);
    layer->kernel->params = NewParams<ExpandParams>();
    return layer;
}

Layer* AddUnsqueezeLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name)
{
    if (count != 2) CV_FATAL("AddUnsqueezeLayer: Inputs number must be equal 2. Current value: %d", (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_Reshape, inputLayers, inputTensors, count);
    const Tensor* data = layer->kernel->input[0];
    Tensor* sources[2] = {layer->kernel->input[0], (Tensor*)ValueSource(layer, 1)};
    const TensorShape shape = GetUnsqueezeShape(sources, 2);
    const uint32_t rank = data->ndim + GetTensorSize(sources[1]);
    layer->kernel->output[0] = NewOutput("AddUnsqueezeLayer", (DataType)data->dtype, DL_NONE, rank, shape.dimension);
    return layer;
}

Layer* AddSqueezeLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t count, const char* name)
{
    if (count != 2) CV_FATAL("AddSqueezeLayer: Inputs numberbe equal 2. Current value: %d", (int)count);
    Layer* layer = CreateMultiInputLayer(name, OP_Reshape, inputLayers, inputTensors, count);
    const Tensor* data = layer->kernel->input[0];
    const Tensor* axes = ValueSource(layer, 1);
    const int64_t rank = (int64_t)data->ndim - GetTensorSize(axes);
    if (rank < 1) CV_FATAL("AddSqueezeLayer: Result axes dimensions number (%i)is less then zero", (int)rank);
    const TensorShape shape = GetSqueezeShape(data, axes);
    layer->kernel->output[0] =
        NewOutput("AddSqueezeLayer", (DataType)data->dtype, DL_NONE, (uint32_t)rank, shape.dimension);
    return layer;
}

}  // extern "C"
