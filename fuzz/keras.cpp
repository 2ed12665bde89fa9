// Fuzz target: the Keras model description reader, up to building the model.
#include <sstream>
#include <stdexcept>
#include <string>

#include "FuzzCommon.h"
#include "Model.h"
#include "ModelParser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream stream(std::string((const char*)data, size));
    IOLayers* io = nullptr;
    corvus_fuzz::Accepts([&] {
        try {
            io = ParseLayersFromKerasJSON(stream);
        } catch (const std::runtime_error& e) {
            // The one documented non-fatal refusal; the reader has released
            // what it built.
            if (std::string(e.what()).find("SeparableConv2D") == std::string::npos) throw;
        }
    });
    if (io == nullptr) return 0;
    Model* model = nullptr;
    corvus_fuzz::Accepts([&] { model = CreateModel(io->outputLayers, io->outputLayersCount); });
    if (model != nullptr) DestroyModel(model);
    DestroyIOLayers(io);
    return 0;
}
