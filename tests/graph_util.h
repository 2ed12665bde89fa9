// Small builders for hand-made layer graphs: layers created with
// CreateLayer and given their output tensors directly.
#ifndef CORVUS_TESTS_GRAPH_UTIL_H
#define CORVUS_TESTS_GRAPH_UTIL_H

#include <cstring>
#include <initializer_list>
#include <vector>

#include "Layers.h"
#include "Model.h"
#include "Tensor.h"
#include "test_util.h"

namespace graph_util {

using corvus_test::Shape;

// A one-dimensional tensor description without data.
inline Tensor* Vector(uint32_t n, DataType dtype = DT_FLOAT32)
{
    return CreateTensor(dtype, DL_NONE, 1, Shape({n}), false);
}

// An input of shape (1, n), so that inputs of any size share the batch 1.
inline Layer* Input(const char* name, uint32_t n, DataType dtype = DT_FLOAT32)
{
    Tensor* t = CreateTensor(dtype, DL_NONE, 2, Shape({1, n}), false);
    Layer* layer = AddInputLayer(name, t);
    DestroyTensor(t);
    return layer;
}

// A constant source layer whose output owns data.
inline Layer* Constant(const char* name, uint32_t n, DataType dtype = DT_FLOAT32)
{
    Layer* layer = CreateLayer(name, OP_Initializer, nullptr, nullptr, 0, 0);
    layer->kernel->output[0] = CreateTensor(dtype, DL_NONE, 1, Shape({n}), true);
    layer->staticOutput = true;
    return layer;
}

// A layer of any op reading `inputs`, with one data-less output of n elements.
inline Layer* Node(const char* name, LayerOpType op, std::vector<Layer*> inputs, uint32_t n,
                   DataType dtype = DT_FLOAT32, uint32_t innerNum = 0)
{
    Layer* layer = CreateLayer(name, op, inputs.data(), nullptr, (uint32_t)inputs.size(), innerNum);
    layer->kernel->output[0] = Vector(n, dtype);
    return layer;
}

inline uint32_t IndexOf(const Model* model, const Layer* layer)
{
    for (uint32_t i = 0; i < model->numLayers; ++i)
        if (model->layers[i] == layer) return i;
    return 0xFFFFFFFFu;
}

}  // namespace graph_util

#endif
