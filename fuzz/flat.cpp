// Fuzz target: the flat interface on converted-ONNX documents. The document
// is loaded with a weights file written for the model it describes (values
// from a fixed pattern), then predicts once on a fixed input and is released.
#include <sstream>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "KerasGraph.h"
#include "Model.h"
#include "ModelParser.hpp"
#include "Tensor.h"
#include "cpu_backend.hpp"

namespace {

// Inputs and outputs beyond this many elements, or layer outputs beyond
// kMaxModelElements in all, are not predicted: the loader's own bounds are
// what the target checks there, and valid but large models (a depthwise
// multiplier of thousands) would only hit the time limit.
constexpr uint64_t kMaxPredictElements = 1u << 20;
constexpr uint64_t kMaxModelElements = 1u << 22;

uint64_t LayerOutputElements(const Model* model)
{
    uint64_t n = 0;
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const NNKernel* k = model->layers[i]->kernel;
        for (uint32_t o = 0; k != nullptr && o < k->outputsNum; ++o)
            if (k->output[o] != nullptr) n += GetTensorSize(k->output[o]);
    }
    return n;
}

uint64_t Elements(const uint32_t* shape)
{
    uint64_t n = 1;
    for (uint32_t d = 1; d <= shape[0] && d <= MAX_NDIM_VALUE; ++d) n *= shape[d];
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static corvus_fuzz::MemFile description, weightsFile;
    const std::string text((const char*)data, size);
    // The weights file is written from a model built from the same document.
    std::vector<uint8_t> weights = {0, 0, 0, 0};
    {
        std::istringstream stream(text);
        IOLayers* io = nullptr;
        if (!corvus_fuzz::Accepts([&] { io = ParseLayersFromONNXJSON(stream); })) return 0;
        Model* model = nullptr;
        corvus_fuzz::Accepts([&] { model = CreateModel(io->outputLayers, io->outputLayersCount); });
        DestroyIOLayers(io);
        if (model == nullptr) return 0;
        std::vector<uint8_t> pattern(4096);
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = (uint8_t)(i * 73 + 41);
        keras_graph::ByteSource src(pattern.data(), pattern.size());
        weights = keras_graph::WeightsFor(model, src, false);
        DestroyModel(model);
    }
    const char* descriptionPath = description.Write(data, size);
    const char* weightsPath = weightsFile.Write(weights.data(), weights.size());
    const uint32_t id = 7;
    if (!corvus_fuzz::Accepts([&] { load_model_keras(id, descriptionPath, weightsPath); })) return 0;
    corvus_fuzz::Accepts([&] {
        if (LayerOutputElements(get_model(id)) > kMaxModelElements) return;
        const uint32_t ins = get_inputs_number(id), outs = get_outputs_number(id);
        std::vector<std::vector<float>> in(ins), out(outs);
        std::vector<void*> inPtr(ins), outPtr(outs);
        std::vector<uint32_t> types(ins, DT_FLOAT32);
        uint32_t shape[1 + MAX_NDIM_VALUE];
        for (uint32_t i = 0; i < ins; ++i) {
            get_input_shape(id, i, shape);
            if (Elements(shape) > kMaxPredictElements) return;
            in[i].resize(Elements(shape) + 1);
            for (size_t e = 0; e < in[i].size(); ++e) in[i][e] = (float)(e % 13) / 6.0f - 1.0f;
            inPtr[i] = in[i].data();
        }
        for (uint32_t o = 0; o < outs; ++o) {
            get_output_shape(id, o, shape);
            if (Elements(shape) > kMaxPredictElements) return;
            out[o].resize(Elements(shape) + 1);
            outPtr[o] = out[o].data();
        }
        run_predict(id, inPtr.data(), types.data(), outPtr.data(), 1);
    });
    release_model(id);
    return 0;
}
