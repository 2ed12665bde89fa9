// Inputs that once crashed a reader under the fuzzers. Each must now load or
// be refused with the reader's fatal message.
#include <gtest/gtest.h>

#include <string>

#include "Model.h"
#include "ModelParser.h"

namespace {

const std::string kInputs =
    std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/FuzzRegression_test.cpp")) + "/inputs/";

void LoadAndBuild(IOLayers* (*parse)(const char*), const std::string& path)
{
    IOLayers* io = parse(path.c_str());
    ASSERT_NE(io, nullptr) << path;
    Model* model = CreateModel(io->outputLayers, io->outputLayersCount);
    EXPECT_GT(model->numLayers, 0u) << path;
    DestroyModel(model);
    DestroyIOLayers(io);
}

}  // namespace

// The first of two "output_layers" members names the input itself, so the
// LSTM layers feed no output: they used to be left behind, never released.
TEST(FuzzRegression, KerasLayersNoOutputUsesAreReleased)
{
    LoadAndBuild(ParseLayersFromKerasJSON, kInputs + "keras/unreachable_lstm_layers.json");
}

// Initializers of constant-folded nodes (Clip bounds, Resize scales) were
// released while the reader still walked them.
TEST(FuzzRegression, ONNXFoldedInitializersLoad)
{
    for (const char* name : {"folded_clip_bounds.json", "folded_resize_scales.json"})
        LoadAndBuild(ParseLayersFromONNXJSON, kInputs + "onnx/" + name);
}
