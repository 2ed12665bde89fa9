// Constructors of the broadcast arithmetic, comparison, logic and selection
// layers.
#define CORVUS_MODULE "Layers"
#include "LayersBroadcast.h"

#include <cstdlib>
#include <sstream>

#include "LayersInternal.h"
#include "Report.h"
#include "TensorOperation.h"

namespace {

BroadcastParams* NewBroadcastParams()
{
    BroadcastParams* params;
    CV_CHECK_PTR(params = (BroadcastParams*)calloc(1, sizeof(BroadcastParams)));
    return params;
}

// Creates the layer over its first `inputsNum` inputs (the layers' outputs,
// or the given tensors when no layers are given), sizes output[0] by the
// broadcast rule and attaches a zeroed BroadcastParams.
Layer* AddBroadcastingLayer(const char* name, LayerOpType op, Layer** inputLayers, Tensor** inputTensors,
                            uint32_t inputsNum, bool booleanOutput, bool valueTypeFromSecond)
{
    Layer* layer = CreateLayer(name, op, inputLayers, inputLayers != nullptr ? nullptr : inputTensors, inputsNum, 0);
    NNKernel* kernel = layer->kernel;
    Tensor* shape = GetBroadcastShape(kernel->input, inputsNum);
    DataType dtype = (DataType)shape->dtype;
    if (booleanOutput) dtype = DT_INT8;
    if (valueTypeFromSecond) dtype = (DataType)kernel->input[1]->dtype;
    kernel->output[0] = CreateTensor(dtype, (DataLayout)shape->layout, shape->ndim, shape->shape, false);
    DestroyTensor(shape);
    kernel->params = NewBroadcastParams();
    return layer;
}

Layer* AddMathLayer(const char* name, LayerOpType op, Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum,
                    bool booleanOutput)
{
    if (inputsNum != 2) CV_FATAL("AddMathLayer: inputs_num must be equal 2. Current value: %d", (int)inputsNum);
    return AddBroadcastingLayer(name, op, inputLayers, inputTensors, 2, booleanOutput, false);
}

// Greater and Less take their first two inputs without testing the count;
// fewer than two cannot be compared at all.
Layer* AddComparisonLayer(const char* name, LayerOpType op, const char* ctor, Layer** inputLayers,
                          Tensor** inputTensors, uint32_t inputsNum)
{
    if (inputsNum < 2) CV_FATAL("%s: inputs_num must be at least 2. Current value: %d", ctor, (int)inputsNum);
    return AddBroadcastingLayer(name, op, inputLayers, inputTensors, 2, true, false);
}

const Tensor* ConstructorInput(Layer** inputLayers, Tensor** inputTensors, uint32_t i)
{
    if (inputLayers != nullptr) {
        CV_CHECK_PTR(inputLayers[i]);
        CV_CHECK_PTR(inputLayers[i]->kernel);
        CV_CHECK_PTR(inputLayers[i]->kernel->output[0]);
        return inputLayers[i]->kernel->output[0];
    }
    CV_CHECK_PTR(inputTensors);
    CV_CHECK_PTR(inputTensors[i]);
    return inputTensors[i];
}

std::string ShapeList(const Tensor* a, const Tensor* b)
{
    std::ostringstream s;
    for (const Tensor* t : {a, b}) {
        s << "(";
        for (uint32_t k = 0; k < t->ndim; ++k) s << (k ? "," : "") << t->shape.dimension[k];
        s << ")";
    }
    return s.str();
}

}  // namespace

extern "C" {

Layer* AddAddLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_AddBroadcast, inputLayers, inputTensors, inputsNum, false);
}

Layer* AddSubLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_SubBroadcast, inputLayers, inputTensors, inputsNum, false);
}

Layer* AddMulLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_MulBroadcast, inputLayers, inputTensors, inputsNum, false);
}

Layer* AddDivLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_DivBroadcast, inputLayers, inputTensors, inputsNum, false);
}

Layer* AddPowLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_Pow, inputLayers, inputTensors, inputsNum, false);
}

Layer* AddModLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_Mod, inputLayers, inputTensors, inputsNum, false);
}

Layer* AddAndLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_And, inputLayers, inputTensors, inputsNum, false);
}

Layer* AddEqualLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddMathLayer(name, OP_Equal, inputLayers, inputTensors, inputsNum, true);
}

Layer* AddGreaterLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddComparisonLayer(name, OP_Greater, "AddGreaterLayer", inputLayers, inputTensors, inputsNum);
}

Layer* AddLessLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    return AddComparisonLayer(name, OP_Less, "AddLessLayer", inputLayers, inputTensors, inputsNum);
}

Layer* AddWhereLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name)
{
    if (inputsNum != 3) CV_FATAL("AddWhereLayer: inputs_num must be equal 3. Current value: %d", (int)inputsNum);
    if (inputLayers != nullptr || inputTensors != nullptr) {
        const Tensor* positive = ConstructorInput(inputLayers, inputTensors, 1);
        const Tensor* negative = ConstructorInput(inputLayers, inputTensors, 2);
        if (positive->dtype != negative->dtype)
            CV_FATAL("AddWhereLayer: Positive and negative case tensors data type is not equal");
    }
    return AddBroadcastingLayer(name, OP_Where, inputLayers, inputTensors, 3, false, true);
}

Layer* AddNotLayer(Layer* inputLayer, Tensor* inputTensor, const char* name)
{
    Layer* layer = CreateSingleInputLayer(name, OP_Not, inputLayer, inputTensor, 0);
    const Tensor* in = layer->kernel->input[0];
    layer->kernel->output[0] = CreateTensor(DT_INT8, (DataLayout)in->layout, in->ndim, in->shape, false);
    return layer;
}

Layer* AddElementWiseLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum, const char* name,
                           uint32_t activation)
{
    CV_CHECK(inputsNum == 2);
    if (inputLayers != nullptr) {
        for (uint32_t i = 0; i < inputsNum; ++i) ConstructorInput(inputLayers, nullptr, i);
        for (uint32_t i = 0; i < inputsNum; ++i) {
            CV_CHECK(inputLayers[0]->kernel->output[0]->layout == inputLayers[i]->kernel->output[0]->layout);
            CV_CHECK(inputLayers[i]->kernel->output[0]->layout == DL_NHWC);
        }
    } else if (inputTensors != nullptr) {
        for (uint32_t i = 0; i < inputsNum; ++i) ConstructorInput(nullptr, inputTensors, i);
        for (uint32_t i = 0; i < inputsNum; ++i) {
            CV_CHECK(inputTensors[0]->layout == inputTensors[i]->layout);
            CV_CHECK(inputTensors[i]->layout == DL_NHWC);
        }
    }
    Layer* layer =
        CreateLayer(name, OP_ElementWise, inputLayers, inputLayers != nullptr ? nullptr : inputTensors, 2, 2);
    NNKernel* kernel = layer->kernel;
    const Tensor* a = kernel->input[0];
    const Tensor* b = kernel->input[1];
    // The sum is taken element by element: the two shapes must agree.
    if (a->ndim != 4 || b->ndim != 4 || CompareTensorsShape(a, b) != TCR_SHAPES_EQUAL)
        CV_FATAL("AddElementWiseLayer: input shapes %s must be equal and four-dimensional", ShapeList(a, b).c_str());
    kernel->output[0] = CreateTensor((DataType)a->dtype, (DataLayout)a->layout, a->ndim, a->shape, false);
    TensorShape coefShape = {};
    coefShape.dimension[0] = a->shape.dimension[3];
    for (uint32_t i = 0; i < 2; ++i) kernel->inner[i] = CreateTensor(DT_FLOAT32, DL_I, 1, coefShape, false);
    ElementWiseParams* params;
    CV_CHECK_PTR(params = (ElementWiseParams*)calloc(1, sizeof(ElementWiseParams)));
    params->activation = activation;
    kernel->params = params;
    return layer;
}

}  // extern "C"
