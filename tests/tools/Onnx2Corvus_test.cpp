// The ONNX converter end to end: small ONNX models built and computed in NCHW
// by tests/tools/onnx2corvus_cases.py are converted by tools/onnx2corvus,
// read and run by the library, and compared; refusals name the node.

#include <sstream>

#include <sys/wait.h>

#include "ModelParser.h"
#include "conv_util.h"

namespace {

std::vector<float> ReadFloats(const std::string& path)
{
    const std::string bytes = conv_test::ReadFile(path);
    std::vector<float> out(bytes.size() / sizeof(float));
    memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

// Each case of cases.txt (its document, weights and input 0 as the cases
// script writes them; what each exercises is told there): the outputs, in
// order and by name, against name.out<k>.bin. An operator the runtime lacks
// and an attribute value it cannot express both stop the conversion with the
// node's name, and no document is written.
TEST(Onnx2Corvus, ConvertedModelsMatchNchwComputationOrAreRefused)
{
    const std::string python = conv_test::Python("numpy, onnx"), root = conv_test::kSourceRoot;
    if (python.empty()) GTEST_SKIP() << "python3 with numpy and onnx is needed (scripts/install-deps.sh)";
    const std::string dir = corvus_test::TmpPath("onnx2corvus");
    ASSERT_EQ(std::system((python + " " + root + "/tests/tools/onnx2corvus_cases.py " + dir).c_str()), 0);
    std::ifstream list(dir + "/cases.txt");
    uint32_t cases = 0;
    for (std::string line; std::getline(list, line); ++cases) {
        std::istringstream words(line);
        std::string name, output;
        words >> name;
        std::vector<std::string> names;
        while (words >> output) names.push_back(output);
        IOLayers* io = ParseLayersFromONNXJSON((dir + "/" + name + ".json").c_str());
        ASSERT_EQ(io->inputLayersCount, 1u) << name;
        const auto out =
            conv_test::RunModel(io, {ReadFloats(dir + "/" + name + ".in0.bin")}, dir + "/" + name + ".weights", false);
        ASSERT_EQ(out.size(), names.size()) << name;
        for (size_t k = 0; k < names.size(); ++k) {
            EXPECT_EQ(out[k].name, names[k]) << name;
            conv_test::ExpectClose(out[k].values, ReadFloats(dir + "/" + name + ".out" + std::to_string(k) + ".bin"),
                                   name + " output " + std::to_string(k), 1e-5f, 1e-4f);
        }
    }
    EXPECT_EQ(cases, 5u);

    const std::pair<const char*, const char*> refused[] = {
        {"sin", "node 'the_sine' (Sin): operator is not supported by the runtime"},
        {"edge", "node 'wrap_pad' (Pad): pad mode wrap is not supported"},
        {"dyn", "input 'x' has a dynamic dimension (batch); give its shape with --input-shape x=N,3"}};
    for (const auto& c : refused) {
        const std::string path = dir + "/" + c.first, json = path + ".json";
        std::remove(json.c_str());
        const std::string cmd = python + " " + root + "/tools/onnx2corvus " + path + ".onnx " + json + " " + path +
                                ".weights 2>" + path + ".err";
        const int status = std::system(cmd.c_str());
        const std::string err = conv_test::ReadFile(path + ".err");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.first;
        EXPECT_NE(err.find(c.second), std::string::npos) << err;
        EXPECT_FALSE(std::ifstream(json).good()) << c.first;
    }
}

}  // namespace
