// Fuzz target: the whole path of a model. The input drives a grammar of
// layers (KerasGraph.h) that yields a Keras description; the remaining bytes
// become its weights file. Then: read, create, load the weights, optimise,
// initialise, predict on a fixed input, release.
#include <sstream>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "KerasGraph.h"
#include "Model.h"
#include "ModelParser.hpp"
#include "ModelWeights.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static corvus_fuzz::MemFile file;
    keras_graph::ByteSource src(data, size);
    const keras_graph::Graph graph = keras_graph::Generate(src, keras_graph::Limits{12, 9, 4, false});
    std::istringstream stream(graph.json);
    IOLayers* io = nullptr;
    if (!corvus_fuzz::Accepts([&] { io = ParseLayersFromKerasJSON(stream); })) return 0;
    Model* model = nullptr;
    corvus_fuzz::Accepts([&] { model = CreateModel(io->outputLayers, io->outputLayersCount); });
    // As in the flat interface: the model keeps its own input and output lists.
    DestroyIOLayers(io);
    if (model == nullptr) return 0;
    const std::vector<uint8_t> weights = keras_graph::WeightsFor(model, src, true);
    const char* path = file.Write(weights.data(), weights.size());
    corvus_fuzz::Accepts([&] {
        LoadModelWeights(model, path);
        OptimizeModel(model, 0);
        InitModel(model, 1);
        keras_graph::PredictFixed(model);
    });
    DestroyModel(model);
    return 0;
}
