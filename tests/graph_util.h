// Small models for the tests: inputs of batch 1, constants, hand-made layers
// given their output tensors directly, owned models and a run that feeds
// float32 data by input order.
#ifndef CORVUS_TESTS_GRAPH_UTIL_H
#define CORVUS_TESTS_GRAPH_UTIL_H

#include "Layers.h"
#include "test_util.h"

namespace graph_util {

using corvus_test::Shape;

// An input of shape (1, n), so that inputs of any size share the batch 1.
inline Layer* Input(const char* name, uint32_t n, DataType dtype = DT_FLOAT32)
{
    return corvus_test::InputLayer(name, dtype, {1, n});
}

// An NHWC image input of batch 1.
inline Layer* Image(const char* name, uint32_t h, uint32_t w, uint32_t c)
{
    return corvus_test::InputLayer(name, DT_FLOAT32, {1, h, w, c}, DL_NHWC);
}

// A constant source layer of n elements whose output owns data.
inline Layer* Constant(const char* name, uint32_t n, DataType dtype = DT_FLOAT32)
{
    return corvus_test::ConstantLayer(name, corvus_test::NewTensor(dtype, {n}).release());
}

// A layer of any op reading `inputs`, with one data-less output of n elements.
inline Layer* Node(const char* name, LayerOpType op, std::vector<Layer*> inputs, uint32_t n,
                   DataType dtype = DT_FLOAT32, uint32_t innerNum = 0)
{
    Layer* layer = CreateLayer(name, op, inputs.data(), nullptr, (uint32_t)inputs.size(), innerNum);
    layer->kernel->output[0] = corvus_test::Desc(dtype, {n});
    return layer;
}

inline uint32_t IndexOf(const Model* model, const Layer* layer)
{
    for (uint32_t i = 0; i < model->numLayers; ++i)
        if (model->layers[i] == layer) return i;
    return 0xFFFFFFFFu;
}

inline std::vector<std::string> Names(Layer* const* layers, uint32_t count)
{
    std::vector<std::string> n;
    for (uint32_t i = 0; i < count; ++i) n.push_back(layers[i]->name);
    return n;
}
inline std::vector<std::string> Names(const Model* m) { return Names(m->layers, m->numLayers); }

// Owned models.
struct ModelDeleter {
    void operator()(Model* m) const { DestroyModel(m); }
};
using ModelPtr = std::unique_ptr<Model, ModelDeleter>;
inline ModelPtr MakeModel(std::vector<Layer*> outputs)
{
    return ModelPtr(CreateModel(outputs.data(), (uint32_t)outputs.size()));
}

// Gives every inner tensor that has no data uniform values in [-1, 1], drawn in
// model order (as a weights file would, before initialisation).
inline void FillWeights(Model* m, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (uint32_t i = 0; i < m->numLayers; ++i)
        for (uint32_t j = 0; j < m->layers[i]->kernel->innerNum; ++j) {
            Tensor* t = m->layers[i]->kernel->inner[j];
            if (t == nullptr || t->data != nullptr) continue;
            AllocTensorData(t);
            for (uint32_t e = 0; e < GetTensorSize(t); ++e) ((float*)t->data)[e] = d(rng);
        }
}

// The elements of a dense float32 tensor.
inline std::vector<float> Values(const Tensor* t) { return corvus_test::ValuesOf<float>(t); }

// Feeds one float32 vector per model input (in the model's input order,
// shaped as the input layer) and returns every output's elements.
inline std::vector<std::vector<float>> Predicted(Model* model, const std::vector<std::vector<float>>& inputs)
{
    std::vector<corvus_test::TensorPtr> tensors;
    std::vector<ModelInput> feed;
    const IOLayers* io = model->ioLayers;
    for (uint32_t i = 0; i < io->inputLayersCount && i < inputs.size(); ++i) {
        const Tensor* d = io->inputLayers[i]->kernel->output[0];
        tensors.push_back(corvus_test::NewTensor(DT_FLOAT32, corvus_test::DimsOf(d), {}, true, (DataLayout)d->layout));
        EXPECT_EQ(inputs[i].size(), GetTensorSize(d)) << io->inputLayers[i]->name;
        std::copy(inputs[i].begin(), inputs[i].begin() + std::min<size_t>(inputs[i].size(), GetTensorSize(d)),
                  (float*)tensors.back()->data);
        feed.push_back({io->inputLayers[i]->name, tensors.back().get()});
    }
    Layer** out = Predict(model, (uint32_t)feed.size(), feed.data());
    std::vector<std::vector<float>> r;
    for (uint32_t j = 0; j < io->outputLayersCount; ++j) r.push_back(Values(out[j]->kernel->output[0]));
    return r;
}

}  // namespace graph_util

#endif
