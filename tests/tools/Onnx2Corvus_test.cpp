// The ONNX converter end to end: small ONNX models built and computed in NCHW
// by tests/tools/onnx2corvus_cases.py are converted by tools/onnx2corvus,
// read and run by the library, and compared; refusals name the node.
#include <gtest/gtest.h>

#include <fstream>

#include <sys/wait.h>

#include "ModelParser.h"
#include "conv_util.h"
#include "test_util.h"

using corvus_test::TmpPath;

namespace {

std::string Python() { return conv_test::Python("numpy, onnx"); }
const std::string kRoot = conv_test::kSourceRoot;

std::vector<float> ReadFloats(const std::string& path)
{
    const std::string bytes = conv_test::ReadFile(path);
    std::vector<float> out(bytes.size() / sizeof(float));
    memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

class Onnx2Corvus : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = TmpPath("onnx2corvus");
        if (Python().empty()) return;
        const std::string cmd = Python() + " " + kRoot + "/tests/tools/onnx2corvus_cases.py " + dir_;
        ok_ = std::system(cmd.c_str()) == 0;
    }
    void SetUp() override
    {
        if (Python().empty()) GTEST_SKIP() << "python3 with numpy and onnx is needed (scripts/install-deps.sh)";
        ASSERT_TRUE(ok_) << "building or converting the test models failed";
    }
    static std::string dir_;
    static bool ok_;
};
std::string Onnx2Corvus::dir_;
bool Onnx2Corvus::ok_ = false;

// Runs converted case `name` (its document, weights and input 0 as written
// by the cases script) and compares output k with file name.out<k>.bin;
// `names` and `inputShape`, when given, are the expected output names and
// runtime input shape.
void RunCase(const std::string& dir, const std::string& name, uint32_t outputs, std::vector<std::string> names = {},
             const std::vector<uint32_t>& inputShape = {})
{
    IOLayers* io = ParseLayersFromONNXJSON((dir + "/" + name + ".json").c_str());
    ASSERT_EQ(io->inputLayersCount, 1u) << name;
    ASSERT_EQ(io->outputLayersCount, outputs) << name;
    if (!inputShape.empty()) {
        EXPECT_EQ(corvus_test::DimsOf(io->inputLayers[0]->kernel->output[0]), inputShape);
    }
    const auto out =
        conv_test::RunModel(io, {ReadFloats(dir + "/" + name + ".in0.bin")}, dir + "/" + name + ".weights", false);
    for (uint32_t k = 0; k < outputs; ++k) {
        if (!names.empty()) {
            EXPECT_EQ(out[k].name, names[k]);
        }
        conv_test::ExpectClose(out[k].values, ReadFloats(dir + "/" + name + ".out" + std::to_string(k) + ".bin"),
                               name + " output " + std::to_string(k), 1e-5f, 1e-4f);
    }
}

// Conv with stride and SAME_UPPER pads, BatchNormalization, Relu, padded MaxPool, a
// grouped (depthwise) Conv, Concat over channels, Flatten in ONNX element
// order, Gemm with transB and alpha, Softmax: two outputs, one of them an
// NHWC image.
TEST_F(Onnx2Corvus, SmallCnnMatchesNchwComputation)
{
    RunCase(dir_, "cnn", 2, {"prob", "cat"}, {1, 7, 6, 3});  // N, H, W, C
}

// Slice bounds and a Reshape target computed from the input's shape (given
// on the command line for a dynamic batch), a -inf mask constant; Resize in
// nearest, linear, cubic and crop-and-resize forms against ONNX's reference
// interpolation; 1-D and 3-D windowed pooling and global pooling of 3-D and
// 5-D tensors; operators written with others (Split, DepthToSpace, Trilu,
// Hardmax, Einsum, edge Pad, ScatterElements).
TEST_F(Onnx2Corvus, ShapeFoldingResizeAndPoolingMatchReferences)
{
    std::ifstream list(dir_ + "/cases.txt");
    std::string name;
    uint32_t outputs = 0, cases = 0;
    while (list >> name >> outputs) {
        RunCase(dir_, name, outputs);
        ++cases;
    }
    EXPECT_EQ(cases, 4u);
}

// An operator the runtime lacks and an attribute value it cannot express both
// stop the conversion with the node's name, and no document is written.
TEST_F(Onnx2Corvus, RefusalsNameTheNodeAndWriteNothing)
{
    const struct {
        const char* model;
        const char* message;
    } cases[] = {{"sin", "node 'the_sine' (Sin): operator is not supported by the runtime"},
                 {"edge", "node 'wrap_pad' (Pad): pad mode wrap is not supported"},
                 {"dyn", "input 'x' has a dynamic dimension (batch); give its shape with --input-shape x=N,3"}};
    for (const auto& c : cases) {
        const std::string json = dir_ + "/" + c.model + ".json", err = dir_ + "/" + c.model + ".err";
        std::remove(json.c_str());
        const std::string cmd = Python() + " " + kRoot + "/tools/onnx2corvus " + dir_ + "/" + c.model + ".onnx " +
                                json + " " + dir_ + "/" + c.model + ".weights 2>" + err;
        const int status = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.model;
        EXPECT_NE(conv_test::ReadFile(err).find(c.message), std::string::npos) << conv_test::ReadFile(err);
        EXPECT_FALSE(std::ifstream(json).good()) << c.model;
    }
}

}  // namespace
