// Fuzz target: the converted-ONNX model description reader, up to building
// the model.
#include <sstream>
#include <string>

#include "FuzzCommon.h"
#include "Model.h"
#include "ModelParser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream stream(std::string((const char*)data, size));
    IOLayers* io = nullptr;
    corvus_fuzz::Accepts([&] { io = ParseLayersFromONNXJSON(stream); });
    if (io == nullptr) return 0;
    Model* model = nullptr;
    corvus_fuzz::Accepts([&] { model = CreateModel(io->outputLayers, io->outputLayersCount); });
    if (model != nullptr) DestroyModel(model);
    DestroyIOLayers(io);
    return 0;
}
