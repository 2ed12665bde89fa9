// Inputs that once crashed a reader, or leaked, under the fuzzers. Each must now load and
// build a model.
#include <gtest/gtest.h>

#include <string>

#include "Model.h"
#include "ModelParser.h"

namespace {

TEST(FuzzRegression, OnceCrashingInputsLoad)
{
    const std::string dir =
        std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/FuzzRegression_test.cpp")) + "/inputs/";
    const std::pair<IOLayers* (*)(const char*), const char*> cases[] = {
        // The first of two "output_layers" members names the input itself, so the
        // LSTM layers feed no output: they used to be left behind, never released.
        {ParseLayersFromKerasJSON, "keras/unreachable_lstm_layers.json"},
        // Initializers of constant-folded nodes (Clip bounds, Resize scales) were
        // released while the reader still walked them.
        {ParseLayersFromONNXJSON, "onnx/folded_clip_bounds.json"},
        {ParseLayersFromONNXJSON, "onnx/folded_resize_scales.json"},
        // An Input node no output reads never joined the model and was never released.
        {ParseLayersFromONNXJSON, "onnx/unused_input.json"},
    };
    for (const auto& c : cases) {
        IOLayers* io = c.first((dir + c.second).c_str());
        ASSERT_NE(io, nullptr) << c.second;
        Model* model = CreateModel(io->outputLayers, io->outputLayersCount);
        EXPECT_GT(model->numLayers, 0u) << c.second;
        DestroyModel(model);
        DestroyIOLayers(io);
    }
}

}  // namespace
