// The converted-ONNX reader: every node type run end to end (reader, weights,
// OptimizeModel, InitModel, Predict) against hand-computed values, load-time folding, output
// order, versions and the messages for malformed documents.

#include <sstream>

#include "LayersAudio.h"
#include "LayersDetection.h"
#include "ModelParser.hpp"
#include "normalization_util.h"
#include "parsers/ONNXParser.h"
#include "conv_util.h"
#include "graph_util.h"

using namespace conv_test;
using corvus_test::ExpectFatal;
using norm_test::WeightsEntry;
using Floats = std::vector<float>;

namespace {

std::string Join(const std::vector<std::string>& v)
{
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? ", \"" : "\"") + v[i] + "\"";
    return s;
}
template <typename T> std::string List(const std::vector<T>& v)
{
    std::ostringstream s;
    s.precision(9);
    for (size_t i = 0; i < v.size(); ++i) s << (i ? ", " : "") << v[i];
    return "[" + s.str() + "]";
}

// A node whose output name is its key; `extra` holds attributes and initializers.
std::string N(const std::string& key, const std::string& type, const std::vector<std::string>& in,
              const std::string& extra = "", bool output = false)
{
    return ", \"" + key + "\": {\"type\": \"" + type + "\", \"inputs\": [" + Join(in) + "], \"outputs\": [\"" + key +
           "\"]" + (output ? ", \"output_node_flag\": [true]" : "") + (extra.empty() ? "" : ", " + extra) + "}";
}
// The flagged output node y.
std::string Y(const std::string& type, const std::vector<std::string>& in, const std::string& extra = "")
{
    return N("y", type, in, extra, true);
}
std::string In(const std::string& key, const std::vector<uint32_t>& dims, int code = 1)
{
    return N(key, "Input", {}, "\"size\": " + List(dims) + ", \"dataType\": " + std::to_string(code));
}
std::string Init(const std::string& name, const std::vector<uint32_t>& dims, const Floats& data, int code = 1)
{
    return "\"" + name + "\": {\"dims\": " + List(dims) + ", \"dataType\": [" + std::to_string(code) +
           "], \"data\": " + List(data) + "}";
}
std::string Doc(const std::string& nodes, int inputs, const std::vector<std::string>& outs,
                const std::string& version = "2.8.0")
{
    return "{\"__header__\": {\"converter_version\": \"" + version +
           "\", \"count_of_inputs\": " + std::to_string(inputs) +
           ", \"count_of_outputs\": " + std::to_string(outs.size()) + ", \"output_names\": [" + Join(outs) + "]}" +
           nodes + "}";
}

IOLayers* Parse(const std::string& doc)
{
    std::istringstream s(doc);
    return ParseLayersFromONNXJSON(s);
}

// Runs a parsed document on float inputs (one per Input node, in order) as a host does.
std::vector<Output> RunParsed(IOLayers* io, const std::vector<Floats>& inputs,
                              const std::vector<WeightsEntry>& weights = {})
{
    return RunModel(io, inputs, weights.empty() ? "" : norm_test::WriteWeights("onnx_w", weights));
}

float Sigm(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// One Input x (float32 unless xCode says otherwise) and the output node y
// built from `nodes`; `tol` 0 asks for exact values.
struct Case {
    const char* what;
    std::vector<uint32_t> xDims;
    Floats x;
    std::string nodes;
    std::vector<uint32_t> dims;
    Floats want;
    float tol = 0;
    std::vector<WeightsEntry> weights = {};
    int xCode = 1;
};

void RunCases(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        const auto r = RunParsed(Parse(Doc(In("x", c.xDims, c.xCode) + c.nodes, 1, {"y"})), {c.x}, c.weights);
        EXPECT_EQ(r[0].dims, c.dims) << c.what;
        ExpectClose(r[0].values, c.want, c.what, c.tol);
    }
}

Floats Iota(int n, float from = 1)
{
    Floats v(n);
    for (int i = 0; i < n; ++i) v[i] = from + i;
    return v;
}

}  // namespace

// Every node type on hand-computed values, save the forms the converted models
// of Onnx2Corvus_test run. Constant operands sit in the positions the reader
// treats apart: MatMul and Einsum take theirs from the node's weights entry,
// Pow squares only for an exponent of 2.
TEST(ONNXParserTest, EveryNodeTypeOnHandValues)
{
    const Floats xs = {-1.5f, 0.25f, 2.0f}, x3 = {1, 2, 3}, x4 = {1, 2, 3, 4}, x6 = Iota(6), x9 = Iota(9);
    const Floats am = {1, 5, 2, 7, 0, 7};
    const Floats up = {1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4};
    // Strides and dilations 1, pads 0 and no bias unless given.
    const std::string k2 = "\"kernel_shape\": [2, 2], \"filters\": [1]", pool2 = "\"kernel_shape\": [2, 2]";
    const std::string k1 = "\"kernel_shape\": [2], \"filters\": [1]", pool1 = "\"kernel_shape\": [2], \"strides\": [2]";
    const std::string clip = Init("lo", {}, {-1}) + ", " + Init("hi", {}, {1});
    const std::string two = Init("c", {1}, {2}), b = Init("m", {3}, {1, 0, 1}, 3), a1 = Init("a", {1}, {1}, 7);
    const std::string a23 = "\"A\": {\"dims\": [2, 3], \"dataType\": 1}";
    const std::vector<WeightsEntry> w23 = {{"y", {{1, 0, 2, 0, 1, -1}}}};
    const std::string scatter = Init("i", {2, 1}, {1, 3}, 7) + ", " + Init("u", {2}, {5, 6});
    // clang-format off
    RunCases({
        {"Tanh", {3}, xs, Y("Tanh", {"x"}), {3}, {std::tanh(-1.5f), std::tanh(0.25f), std::tanh(2.0f)}, 1e-5f},
        {"Sigmoid", {3}, xs, Y("Sigmoid", {"x"}), {3}, {Sigm(-1.5f), Sigm(0.25f), Sigm(2)}, 1e-5f},
        {"Log", {2}, {1, std::exp(1.0f)}, Y("Log", {"x"}), {2}, {0, 1}, 1e-5f},
        {"LeakyRelu", {3}, xs, Y("LeakyRelu", {"x"}, "\"alpha\": [0.1]"), {3}, {-0.15f, 0.25f, 2}, 1e-6f},
        {"LeakyRelu default", {1}, {-1}, Y("LeakyRelu", {"x"}), {1}, {-0.01f}, 1e-6f},
        {"Softmax", {1, 2}, {0, std::log(3.0f)}, Y("Softmax", {"x"}, "\"axis\": 1"), {1, 2}, {0.25f, 0.75f}, 2e-3f},
        {"Sqrt", {2}, {0.25f, 9}, Y("Sqrt", {"x"}), {2}, {0.5f, 3}, 1e-6f},
        {"Erf", {3}, xs, Y("Erf", {"x"}), {3}, {std::erf(-1.5f), std::erf(0.25f), std::erf(2.0f)}, 1e-5f},
        {"Neg", {3}, xs, Y("Neg", {"x"}), {3}, {1.5f, -0.25f, -2}},
        {"Abs", {3}, xs, Y("Abs", {"x"}), {3}, {1.5f, 0.25f, 2}},
        {"Ceil", {3}, xs, Y("Ceil", {"x"}), {3}, {-1, 1, 2}},
        {"Floor", {3}, xs, Y("Floor", {"x"}), {3}, {-2, 0, 2}},
        {"PRelu", {1, 1, 1, 2}, {-1, -2}, Y("PRelu", {"x"}), {1, 1, 1, 2}, {-2, -6}, 0, {{"y", {{2, 3}}}}},
        {"HardSigmoid", {3}, {0, 10, -10}, Y("HardSigmoid", {"x"}), {3}, {0.5f, 1, 0}, 1e-6f},
        {"HardSigmoid attrs", {1}, {1}, Y("HardSigmoid", {"x"}, "\"alpha\": [0.5], \"beta\": 0"), {1}, {0.5f}, 1e-6f},
        {"Clip", {3}, {-2, 0.5f, 2}, Y("Clip", {"x", "lo", "hi"}, clip), {3}, {-1, 0.5f, 1}},
        {"Clip relu6", {2}, {-1, 7}, Y("Clip", {"x", "lo", "hi"}, Init("lo", {1}, {0}) + ", " + Init("hi", {1}, {6})),
         {2}, {0, 6}},
        {"Clip int32", {3}, {-3, 2, 9}, Y("Clip", {"x", "lo", "hi"}, Init("lo", {}, {0}, 7) + ", " + Init("hi", {},
         {5}, 7)), {3}, {0, 2, 5}, 0, {}, 6},
        {"Cast", {2}, {3, -2}, Y("Cast", {"x"}, "\"to\": [6]"), {2}, {3, -2}},
        {"Pow 3", {3}, x3, Y("Pow", {"x", "e"}, Init("e", {}, {3})), {3}, {1, 8, 27}, 1e-4f},
        {"Pow 2", {3}, x3, Y("Pow", {"x", "e"}, Init("e", {1}, {2})), {3}, {1, 4, 9}},
        {"Pow base 2", {3}, x3, Y("Pow", {"c", "x"}, two), {3}, {2, 4, 8}, 1e-4f},
        {"Mod", {2}, {5, 7}, Y("Mod", {"x", "d"}, Init("d", {1}, {3}) + ", \"fmod\": [1]"), {2}, {2, 1}},
        {"Less", {3}, x3, Y("Less", {"x", "c"}, two), {3}, {1, 0, 0}},
        {"Greater", {3}, x3, Y("Greater", {"x", "c"}, two), {3}, {0, 0, 1}},
        {"And", {3}, {1, 1, 0}, Y("And", {"x", "m"}, b), {3}, {1, 0, 0}, 0, {}, 3},
        {"Not", {3}, {1, 0, 1}, Y("Not", {"x"}), {3}, {0, 1, 0}, 0, {}, 3},
        {"Sub first, broadcast", {3}, x3, Y("Sub", {"c", "x"}, Init("c", {2, 1}, {10, 20})), {2, 3},
         {9, 8, 7, 19, 18, 17}},
        {"Einsum left", {3}, x3, Y("Einsum", {"A", "x"}, a23 + ", \"equation\": \"ij,j->i\""), {2}, {7, -1}, 0, w23},
        // The constant operand of a MatMul comes from the weights file (the document's data is ignored).
        {"MatMul", {2, 2}, {1, 2, 3, 4}, Y("MatMul", {"x", "B"}, "\"B\": {\"dims\": [2, 3], \"dataType\": 1}"), {2, 3},
         {2, 1, 3, 4, 3, 7}, 0, {{"y", {{0, 1, 1, 1, 0, 1}}}}},
        {"MatMul both, then Add", {1}, {1}, N("m", "MatMul", {"A", "B"}, "\"A\": {\"dims\": [1, 2], \"dataType\": 1}, "
         "\"B\": {\"dims\": [2, 1], \"dataType\": 1}") + Y("Add", {"x", "m"}), {1, 1}, {12}, 0, {{"m", {{1, 2}, {3,
         4}}}}},
        {"Folded Expand, then Add", {3}, x3, N("e", "Expand", {"k", "s"}, Init("k", {1}, {2}) + ", " + Init("s", {1},
         {3}, 7)) + Y("Add", {"x", "e"}), {3}, {3, 4, 5}},
        {"Conv 2-D stride and dilation", {1, 4, 4, 1}, Iota(16), Y("Conv", {"x"}, "\"kernel_shape\": [2, 2], "
         "\"filters\": 1, \"strides\": [2, 2], \"dilations\": [2, 2], \"pads\": [0, 0, 0, 0], \"use_bias\": [false]"),
         {1, 1, 1, 1}, {1 + 3 + 9 + 11}, 0, {{"y", {{1, 1, 1, 1}}}}},
        {"Conv 1-D", {1, 4, 1}, {1, 2, 3, 4}, Y("Conv", {"x"}, k1), {1, 3, 1}, {5, 8, 11}, 0, {{"y", {{1, 2}}}}},
        {"Conv 3-D", {1, 2, 2, 2, 1}, Iota(8), Y("Conv", {"x"}, "\"kernel_shape\": [2, 2, 2], \"filters\": [1]"),
         {1, 1, 1, 1, 1}, {36}, 0, {{"y", {Floats(8, 1)}}}},
        {"ConvTranspose 2-D", {1, 2, 2, 1}, {1, 2, 3, 4}, Y("ConvTranspose", {"x"}, k2 + ", \"group\": [1], "
         "\"strides\": [2, 2], \"padding\": [0, 0, 0, 0]"), {1, 4, 4, 1}, {1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4,
         4}, 0, {{"y", {Floats(4, 1)}}}},
        {"ConvTranspose 1-D", {1, 2, 1}, {1, 2}, Y("ConvTranspose", {"x"}, k1), {1, 3, 1}, {1, 3, 2}, 0,
         {{"y", {{1, 1}}}}},
        {"MaxPool ceil_mode", {1, 3, 3, 1}, x9, Y("MaxPool", {"x"}, pool2 + ", \"strides\": [2, 2], "
         "\"ceil_mode\": [1]"), {1, 2, 2, 1}, {5, 6, 8, 9}},
        {"MaxPool 1-D", {1, 4, 1}, {1, 3, 2, 5}, Y("MaxPool", {"x"}, pool1), {1, 2, 1}, {3, 5}},
        {"AveragePool 1-D", {1, 4, 1}, {1, 3, 2, 5}, Y("AveragePool", {"x"}, pool1 + ", \"pads\": [0, 0]"), {1, 2, 1},
         {2, 3.5f}},
        {"InstanceNormalization", {1, 2, 1}, {1, 3}, Y("InstanceNormalization", {"x"}, "\"epsilon\": [0]"), {1, 2, 1},
         {-1, 3}, 1e-5f, {{"y", {{2}, {1}}}}},
        {"LayerNorm", {1, 2}, {1, 3}, Y("LayerNorm", {"x"}, "\"epsilon\": 0"), {1, 2}, {-1, 1}, 1e-5f,
         {{"y", {{1, 1}, {0, 0}}}}},
        {"Flatten", {1, 2, 2, 1}, x4, Y("Flatten", {"x"}), {1, 4}, x4},
        {"Reshape -1", {1, 2, 3}, x6, Y("Reshape", {"x", "s"}, Init("s", {2}, {2, -1}, 7)), {2, 3}, x6},
        {"Reshape 0", {1, 2, 3}, x6, Y("Reshape", {"x", "s"}, Init("s", {2}, {0, -1}, 7)), {1, 6}, x6},
        {"Identity", {3}, {4, 5, 6}, Y("Identity", {"x"}), {3}, {4, 5, 6}},
        {"Identity of initializer", {1}, {0}, Y("Identity", {"k"}, Init("k", {2}, {7, 8})), {2}, {7, 8}},
        {"Expand", {1, 3}, {1, 2, 3}, Y("Expand", {"x", "s"}, Init("s", {2}, {2, 3}, 7)), {2, 3}, {1, 2, 3, 1, 2, 3}},
        {"Shape", {1, 2, 3}, x6, Y("Shape", {"x"}), {3}, {1, 2, 3}},
        {"Unsqueeze", {3}, {1, 2, 3}, Y("Unsqueeze", {"x", "a"}, Init("a", {1}, {0}, 7)), {1, 3}, {1, 2, 3}},
        {"Squeeze", {1, 3}, {1, 2, 3}, Y("Squeeze", {"x", "a"}, Init("a", {1}, {0}, 7)), {3}, {1, 2, 3}},
        {"Gather", {3}, {10, 20, 30}, Y("Gather", {"x", "i"}, Init("i", {2}, {2, 0}, 7)), {2}, {30, 10}},
        {"GatherElements", {2, 2}, x4, Y("GatherElements", {"x", "i"}, Init("i", {2, 2}, {0, 0, 1, 0}, 7) +
         ", \"axis\": [1]"), {2, 2}, {1, 1, 4, 3}},
        {"Concat", {1, 2}, {1, 2}, Y("Concat", {"x", "k"}, Init("k", {1, 1}, {5}) + ", \"axis\": [-1]"), {1, 3},
         {1, 2, 5}},
        {"Tile", {2}, {1, 2}, Y("Tile", {"x", "r"}, Init("r", {1}, {2}, 7)), {4}, {1, 2, 1, 2}},
        {"ScatterND add", {4}, x4, Y("ScatterND", {"x", "i", "u"}, scatter + ", \"reduction\": \"add\""), {4},
         {1, 7, 3, 10}},
        {"Pad reflect", {1, 3}, {1, 2, 3}, Y("Pad", {"x", "p"}, Init("p", {4}, {0, 1, 0, 1}, 7) +
         ", \"mode\": \"reflect\""), {1, 5}, {2, 1, 2, 3, 2}},
        {"Resize upsampling", {1, 2, 2, 1}, x4, Y("Resize", {"x", "s"}, Init("s", {4}, {1, 1, 2, 2}) +
         ", \"mode\": \"nearest\""), {1, 4, 4, 1}, up},
        {"Resize sizes", {1, 2, 2, 1}, x4, Y("Resize", {"x", "s"}, Init("s", {4}, {1, 1, 4, 4}, 7)), {1, 4, 4, 1}, up},
        // A one-by-one input resizes to a constant plane whatever the coordinate rule.
        {"Resize nearest", {1, 1, 1, 2}, {3, 4}, Y("Resize", {"x", "s"}, Init("s", {4}, {1, 1, 2.5f, 2.5f})),
         {1, 2, 2, 2}, {3, 4, 3, 4, 3, 4, 3, 4}},
        {"Resize linear", {1, 1, 1, 2}, {3, 4}, Y("Resize", {"x", "s"}, Init("s", {4}, {1, 1, 2, 3}) +
         ", \"mode\": \"linear\""), {1, 2, 3, 2}, {3, 4, 3, 4, 3, 4, 3, 4, 3, 4, 3, 4}, 1e-6f},
        {"ReduceMean all", {2, 2}, x4, Y("ReduceMean", {"x"}), {1, 1}, {2.5f}},
        {"ReduceMax negative axis", {2, 2}, x4, Y("ReduceMax", {"x", "a"}, Init("a", {1}, {-2}, 7)), {1, 2}, {3, 4}},
        {"ReduceMin", {2, 2}, x4, Y("ReduceMin", {"x"}, "\"keepdims\": 0"), {}, {1}},
        {"ReduceL2", {2, 2}, x4, Y("ReduceL2", {"x", "a"}, a1 + ", \"keepdims\": [0]"), {2}, {std::sqrt(5.0f), 5},
         1e-5f},
        {"ReduceSum noop", {2, 2}, x4, Y("ReduceSum", {"x"}, "\"noop_with_empty_axes\": [1]"), {2, 2}, x4},
        {"ArgMax", {2, 3}, am, Y("ArgMax", {"x"}, "\"axis\": [-1], \"keepdims\": [0]"), {2}, {1, 0}},
        {"ArgMax last index", {2, 3}, am, Y("ArgMax", {"x"}, "\"axis\": [1], \"select_last_index\": [1]"), {2, 1},
         {1, 2}},
        {"CumSum", {4}, x4, Y("CumSum", {"x", "a"}, Init("a", {1}, {0}, 6)), {4}, {1, 3, 6, 10}},
        {"CumSum exclusive reverse", {4}, x4, Y("CumSum", {"x", "a"}, Init("a", {1}, {0}, 6) + ", \"exclusive\": [1], "
         "\"reverse\": [1]"), {4}, {9, 7, 4, 0}},
        {"Range", {1}, {0}, Y("Range", {"b", "e", "d"}, Init("b", {}, {0}) + ", " + Init("e", {}, {5}) + ", " +
         Init("d", {}, {2})), {3}, {0, 2, 4}},
        {"NonZero", {1}, {0}, Y("NonZero", {"k"}, Init("k", {4}, {0, 1, 0, 2})), {1, 2}, {1, 3}},
        {"ConstantOfShape float", {1}, {0}, Y("ConstantOfShape", {"s"}, Init("s", {2}, {2, 2}, 7) +
         ", \"value\": {\"dataType\": [1], \"data\": [1.5]}"), {2, 2}, Floats(4, 1.5f)},
        {"ConstantOfShape int", {1}, {0}, Y("ConstantOfShape", {"s"}, Init("s", {1}, {3}, 7) +
         ", \"value\": {\"dataType\": 7, \"data\": [-7]}"), {3}, Floats(3, -7)},
        {"ConstantOfShape bool", {1}, {0}, Y("ConstantOfShape", {"s"}, Init("s", {1}, {2}, 7) +
         ", \"value\": {\"dataType\": [3], \"data\": [true]}"), {2}, {1, 1}},
        // Two boxes far apart both survive; the third overlaps the first and is suppressed.
        {"NonMaxSuppression", {1, 1, 3}, {0.9f, 0.8f, 0.7f}, Y("NonMaxSuppression", {"b", "x", "m", "t"}, Init("b",
         {1, 3, 4}, {0, 0, 1, 1, 5, 5, 6, 6, 0, 0, 1, 0.9f}) + ", " + Init("m", {1}, {10}, 7) + ", " + Init("t", {1},
         {0.5f}) + ", \"center_point_box\": [0]"), {2, 3}, {0, 0, 0, 0, 0, 1}},
    });
    // clang-format on
    // Two model inputs.
    const auto r = RunParsed(Parse(Doc(In("a", {2, 2}) + In("b", {2, 2}) + N("y", "MatMul", {"a", "b"}, "", true) +
                                           N("e", "Einsum", {"a", "b"}, "\"equation\": \"ij,jk->ik\"", true),
                                       2, {"y", "e"})),
                             {{1, 2, 3, 4}, {5, 6, 7, 8}});
    ExpectClose(r[0].values, {19, 22, 43, 50}, "MatMul of inputs");
    ExpectClose(r[1].values, {19, 22, 43, 50}, "Einsum");
}

// Audio and detection layers: the document must build the same layer as the
// constructor called with the attribute values.
TEST(ONNXParserTest, AudioAndYoloMatchTheirConstructors)
{
    Floats sound(64);
    for (int i = 0; i < 64; ++i) sound[i] = std::sin(0.3f * i) + 0.1f * (i % 5);
    const struct {
        std::vector<uint32_t> dims;
        Floats x;
        std::string node;
        std::function<Layer*(Layer*)> direct;
        // clang-format off
    } cases[] = {
        {{64, 1}, sound, Y("Audiospectrogram", {"x"}, "\"window_size\": [16], \"stride\": [8], \"magnitude_squared\": "
         "[true]"), [](Layer* in) { return AddAudioSpectrogram(in, nullptr, "s", 16, 8, true); }},
        {{1, 3, 9}, Floats(27, 0.5f), Y("Mfcc", {"x"}, "\"dct_coefficient_count\": [5], \"filterbank_channel_count\": "
         "[10], \"sample_rate\": [16000], \"lower_frequency_limit\": [20], \"upper_frequency_limit\": [4000]"),
         [](Layer* in) { return AddMfccLayer(&in, nullptr, 1, "m", 5, 10, 16000, 20, 4000); }},
        {{1, 3, 6}, {5, 5, 2, 2, 0.9f, 1, 5.2f, 5, 2, 2, 0.8f, 1, 20, 20, 2, 2, 0.3f, 1}, Y("NMSYolo", {"x"},
         "\"score_threshold\": [0.5], \"max_elements_number\": [3]"),
         [](Layer* in) { return AddNMSYoloLayer(in, nullptr, 3, "n", 0.5f, 0.5f); }},
    };
    // clang-format on
    for (const auto& c : cases) {
        corvus_test::ModelRun direct({c.direct(corvus_test::InputLayer("x", DT_FLOAT32, c.dims))});
        direct.Init();
        ExpectClose(RunParsed(Parse(Doc(In("x", c.dims) + c.node, 1, {"y"})), {c.x})[0].values,
                    graph_util::Predicted(direct.model, {c.x})[0], c.node, 0);
    }
}
// An LSTM with one hidden unit against the cell equations; Y, Y_h and Y_c
// reach their consumers whatever order the PostLSTM nodes are written in.
TEST(ONNXParserTest, LSTMAndItsFurtherOutputs)
{
    const Floats W = {0.5f, -0.3f, 0.8f, 0.2f}, R = {0.1f, 0.4f, -0.6f, 0.3f}, B = {0.05f, 0.1f, -0.2f, 0.3f};
    const Floats x = {1.0f, -2.0f, 0.5f};
    std::vector<double> steps, cLast;
    norm_test::ReferenceLSTM(x, 3, 1, 1, 1, W, R, B, {0}, {0}, &steps, &cLast);
    const Floats Y(steps.begin(), steps.end());
    const float h = Y.back(), c = (float)cLast[0];
    const std::string attrs =
        "\"W\": {\"dims\": [1, 4, 1], \"dataType\": 1}, \"R\": {\"dims\": [1, 4, 1], \"dataType\": 1}, "
        "\"B\": {\"dims\": [1, 8], \"dataType\": 1}, \"hidden_size\": [1], \"direction\": \"forward\"";
    const std::string lstm = N("l", "LSTM", {"x", "W", "R", "B"}, attrs);
    const std::vector<WeightsEntry> w = {{"l", {W, R, B}}};
    const std::string hNode = N("h", "PostLSTM", {"l"}, "\"lstm_output_index\": [1]", true);
    const std::string cNode = N("c", "PostLSTM", {"l"}, "\"lstm_output_index\": [2]", true);
    const std::string yNode = N("y", "Squeeze", {"l", "a"}, Init("a", {2}, {1, 2}, 7), true);
    struct Order {
        std::string nodes;
        std::vector<std::string> outs;
    };
    // A constant sequence keeps its values (the weights entry holds W, R, B only).
    const std::string constX = N("l", "LSTM", {"xs", "W", "R", "B"}, Init("xs", {3, 1, 1}, x) + ", " + attrs);
    ExpectClose(RunParsed(Parse(Doc(constX + yNode, 0, {"y"})), {}, w)[0].values, Y, "constant X", 1e-5f);
    for (const Order& o : {Order{yNode + hNode + cNode, {"y", "h", "c"}}, Order{cNode + hNode + yNode, {"y", "h", "c"}},
                           Order{cNode + hNode, {"h", "c"}}, Order{hNode, {"h"}}}) {
        const auto r = RunParsed(Parse(Doc(In("x", {3, 1, 1}) + lstm + o.nodes, 1, o.outs)), {x}, w);
        for (size_t i = 0; i < o.outs.size(); ++i) {
            const Floats want = o.outs[i] == "y" ? Y : o.outs[i] == "h" ? Floats{h} : Floats{c};
            ExpectClose(r[i].values, want, o.nodes + " output " + o.outs[i], 1e-5f);
        }
    }
}

// Shape arithmetic is evaluated while reading; MatMul and Input never are.
TEST(ONNXParserTest, ConstantSubgraphsAreFoldedAtLoadTime)
{
    const std::string doc =
        Doc(In("x", {2, 3, 4}) + N("sh", "Shape", {"x"}) +
                N("g", "Gather", {"sh", "i"}, Init("i", {1}, {0}, 7) + ", \"axis\": 0") +
                N("cat", "Concat", {"g", "m1"}, Init("m1", {1}, {-1}, 7) + ", \"axis\": [0]", true) +
                N("r", "Reshape", {"x", "cat"}) +
                N("sum", "Add", {"p", "q"}, Init("p", {2}, {1, 2}) + ", " + Init("q", {2}, {10, 20})) +
                N("mm", "MatMul", {"r", "w"}, "\"w\": {\"dims\": [12, 1], \"dataType\": 1, \"data\": []}", true) +
                N("out2", "Mul", {"sum", "sum"}, "", true),
            1, {"mm", "out2", "cat"});
    IOLayers* io = Parse(doc);
    const Layer* mm = io->outputLayers[0];
    const Layer* reshape = mm->inputLayers[0];
    EXPECT_STREQ(reshape->name, "r");
    EXPECT_EQ(reshape->kernel->output[0]->ndim, 2u);
    EXPECT_EQ(reshape->kernel->output[0]->shape.dimension[1], 12u);
    const Layer* cat = io->outputLayers[2];
    for (const Layer* l :
         std::vector<const Layer*>{cat, cat->inputLayers[0], cat->inputLayers[0]->inputLayers[0], io->outputLayers[1]})
        EXPECT_TRUE(l->staticOutput) << l->name;
    EXPECT_FALSE(mm->staticOutput);
    EXPECT_FALSE(io->inputLayers[0]->staticOutput);
    EXPECT_TRUE(mm->inputLayers[1]->staticOutput);  // the weight initializer, filled from the weights file
    Floats w(12);
    for (int i = 0; i < 12; ++i) w[i] = (float)(i % 3);
    const auto r = RunParsed(io, {Iota(24)}, {{"mm", {w}}});
    Floats want(2, 0.0f);
    for (int b = 0; b < 2; ++b)
        for (int k = 0; k < 12; ++k) want[b] += (1 + b * 12 + k) * w[k];
    ExpectClose(r[0].values, want, "MatMul after folded reshape");
    ExpectClose(r[1].values, {121, 484}, "folded Add then Mul");
    ExpectClose(r[2].values, {2, -1}, "folded shape arithmetic");
}

TEST(ONNXParserTest, HeaderVersionsAndInitializers)
{
    for (std::string v : {"2.8.0", "2.0.5", "2.0.0"}) check_onnx_converter_version(v);
    const struct {
        std::string json;
        DataType dtype;
        uint32_t ndim;
        std::vector<double> values;
    } inits[] = {
        // clang-format off
        {Init("k", {}, {2.5f}), DT_FLOAT32, 0, {2.5f}},
        {"\"k\": {\"dims\": [3], \"dataType\": [7], \"data\": [-3, 9223372036854775807, -9223372036854775808]}",
         DT_INT32, 1, {-3, 2147483647.0, -2147483648.0}},
        {Init("k", {2}, {1, -1}, 3), DT_INT8, 1, {1, -1}},
        {Init("k", {1}, {1.5f}, 10), DT_FLOAT16, 1, {1.5f}},
        {Init("k", {1}, {7}, 13), DT_UINT32, 1, {7}},
        // clang-format on
    };
    for (const auto& c : inits) {
        corvus_json::Document d;
        d.Parse(("{" + c.json + "}").c_str());
        Layer* l = ParseInitializer(d, "k", true);
        const Tensor* t = l->kernel->output[0];
        EXPECT_EQ(t->dtype, (uint32_t)c.dtype) << c.json;
        EXPECT_EQ(t->ndim, c.ndim) << c.json;
        ASSERT_EQ(GetTensorSize(t), c.values.size()) << c.json;
        for (size_t i = 0; i < c.values.size(); ++i) {
            const void* d = t->data;
            const double v = t->dtype == DT_FLOAT16  ? (double)corvus_test::Float(((const uint16_t*)d)[i])
                             : t->dtype == DT_INT32  ? (double)((const int32_t*)d)[i]
                             : t->dtype == DT_INT8   ? (double)((const int8_t*)d)[i]
                             : t->dtype == DT_UINT32 ? (double)((const uint32_t*)d)[i]
                                                     : (double)((const float*)d)[i];
            EXPECT_EQ(v, c.values[i]) << c.json;
        }
        DestroyLayer(l);
    }
}

TEST(ONNXParserTest, MalformedDocumentsAreFatal)
{
    const std::string relu = In("x", {1}) + Y("Relu", {"x"});
    auto parse = [](const std::string& doc) { return [doc] { Parse(doc); }; };
    // A document of the Input x and the node y, or of x and `text`.
    auto nodes = [](const std::vector<uint32_t>& dims, const std::string& text) {
        return [dims, text] { Parse(Doc(In("x", dims) + text, 1, {})); };
    };
    auto node = [&](const std::vector<uint32_t>& dims, const std::string& type, const std::vector<std::string>& in,
                    const std::string& extra = "") { return nodes(dims, N("y", type, in, extra)); };
    auto unsupported = [](const std::string& v) {
        return "ONNXParser: Unsupported version of ONNX converter: " + v + ". Supported versions >=2.0.0 <=2.8.0";
    };
    const std::string f1 = Init("k", {1}, {1}), p11 = Init("p", {2}, {1, 1}, 7);
    const std::string mm = N("m", "MatMul", {"x", "w"}, "\"w\": {\"dims\": [2, 1], \"dataType\": 1}");
    const std::string header = "ONNXParser: model description must be a JSON object whose first member is the header";
    auto k = [](const std::string& dims, int code, const std::string& data) {
        return "\"k\": {\"dims\": " + dims + ", \"dataType\": " + std::to_string(code) + ", \"data\": " + data + "}";
    };
    auto notInput = [](const std::string& name) {
        return "ONNXParser: node y: input \"" + name + "\" is neither an earlier output nor an initializer of the node";
    };
    // clang-format off
    ExpectFatal("ONNXParser", {
        {parse(Doc(relu, 1, {"y"}, "2.8.1")), unsupported("2.8.1")},
        {parse(Doc(relu, 1, {"y"}, "1.9.9")), unsupported("1.9.9")},
        {parse(Doc(relu, 1, {"y"}, "2.8")),
         "ONNXParser: Wrong format of converter_version: 2.8. Must be MAJOR.MINOR.PATCH"},
        {parse("{\"h\": {\"count_of_inputs\": 1}" + relu + "}"),
         "ONNXParser: model JSON file must have \"converter_version\" key"},
        {parse("not json"), "ONNXParser: model description is not valid JSON"},
        {parse("{}"), header},
        {parse("[1, 2]"), header},
        {parse(Doc(relu, 2, {"y"})), "ONNXParser: 1 Input nodes for count_of_inputs 2"},
        {parse(Doc(relu, 1, {"z"})), "ONNXParser: output name z names no flagged output node"},
        {parse(Doc(relu + N("q", "Relu", {"x"}, "", true), 1, {"y"})),
         "ONNXParser: more flagged output nodes than count_of_outputs (1)"},
        {nodes({1}, Y("Relu", {"nope"})), notInput("nope")},
        {nodes({1}, Y("Relu", {"y"})), notInput("y")},
        {parse(Doc(relu + N("y", "Relu", {"x"}), 1, {"y"})), "ONNXParser: node name y is used twice"},
        {nodes({1}, ", \"y\": {\"type\": 5, \"inputs\": [], \"outputs\": [\"y\"]}"),
         "ONNXParser: node y must have a string \"type\""},
        {nodes({1}, ", \"y\": {\"type\": \"Relu\", \"inputs\": \"x\", \"outputs\": [\"y\"]}"),
         "ONNXParser: node y must have an \"inputs\" list and a non-empty \"outputs\" list"},
        {node({1}, "Add", {"x", "k"}, k("[100000, 100000]", 1, "[]")),
         "ParseInitializer: k: more than 268435456 elements"},
        {node({1}, "Add", {"x", "k"}, k("[2]", 1, "[1]")), "ParseInitializer: k: data must be a list of 2 numbers"},
        {node({1}, "Add", {"x", "k"}, k("[1]", 9, "[1]")), "GetDataTypeFromJson: Unknown data type (9)"},
        {parse(Doc(N("x", "Input", {}, "\"size\": [1], \"dataType\": \"float\""), 1, {})),
         "ONNXParser: node x: attribute dataType must be an integer"},
        {parse(Doc(N("x", "Input", {}, "\"size\": [1, 4294967296], \"dataType\": 1"), 1, {})),
         "ONNXParser: node x: attribute size must be a positive integer below 16777216"},
        {node({1}, "Gemm", {"x"}), "ONNXParser: Unsupported operation. Operation Gemm\n"},
        {node({1, 2, 2, 1}, "Conv", {"x"}, "\"kernel_shape\": [1, 1, 1, 1], \"filters\": 1"),
         "ONNXParser: Unsupported conv dimensions number (4)"},
        {node({1, 2, 1}, "ConvTranspose", {"x"}, "\"kernel_shape\": [1, 1, 1], \"filters\": 1"),
         "ONNXParser: Unsupported dimension number for ConvTranspose: 3\n"},
        {node({1, 2, 1}, "MaxPool", {"x"}, "\"kernel_shape\": [1, 1, 1]"),
         "ONNXParser: Unsupported MaxPooling dimensions number (3)"},
        {node({1, 2, 1}, "AveragePool", {"x"}, "\"kernel_shape\": []"),
         "ONNXParser: Unsupported AveragePooling dimensions number (0)"},
        {node({1, 2, 2, 2}, "Softmax", {"x"}, "\"axis\": [1]"),
         "Softmax: Supported only for last dimension (axis = 1, ndim = 4)"},
        {node({2}, "Clip", {"x", "k"}, f1),
         "Clip: Inputs number is less then 3, check if minimum or maximum value is defined"},
        {node({2}, "Clip", {"x", "x", "k"}, f1),
         "Clip: Currently layer is supported for min_value andmax_value defined as initializers"},
        {node({2}, "Clip", {"x", "k", "m"}, Init("k", {1}, {1}, 6) + ", " + Init("m", {1}, {2}, 6)),
         "Clip: Unsupported data type for min_value and max_value, please convert to float32 or int32, or check "
         "matching of tensor and min/maxdatatypes"},
        {node({2}, "Pad", {"x", "p"}, p11 + ", \"mode\": \"edge\""),
         "ONNXParser: Pad: pad mode edge is not supported now"},
        {node({2}, "Pad", {"x", "x"}, "\"mode\": \"constant\""),
         "Pad: Currently layer is supported for padsdefined as initializers or outputs from previous layers"},
        {node({2}, "Pad", {"x", "p", "x"}, p11),
         "Pad: Currently layer is supported for valuedefined as initializers or outputs from previous layers"},
        {node({2}, "ConstantOfShape", {"s"}, Init("s", {1}, {2}, 7) + ", \"value\": {\"dataType\": 10, "
         "\"data\": [1]}"), "ONNXParser: Unsupported data type for constant value"},
        {node({1, 2, 2, 1}, "Resize", {"x", "s"}, Init("s", {3}, {1, 2, 2})),
         "ONNXParser (Resize): Supported only for 4D tensors, current scales number (3)"},
        {node({1, 2, 2, 1}, "Resize", {"x", "s"}, Init("s", {4}, {1, 1, 2, 2}, 3)),
         "ONNXParser (Resize): Unsupported datatype of scale"},
        {node({1, 2, 2, 1}, "Resize", {"x", "s"}, Init("s", {4}, {1, 1, 2, 2}) + ", \"mode\": \"cubic\""),
         "ONNXParser (Resize): Unsupported resize mode"},
        {node({3, 1, 1}, "LSTM", {"x"}, "\"hidden_size\": 1, \"direction\": \"reverse\""),
         "ONNX LSTM: Only forward LSTM direction supported"},
        {node({3, 1, 1}, "LSTM", {"x"}, ""), "ONNX LSTM: No hidden size in model file."},
        {node({3, 1, 1}, "LSTM", {"x"}, "\"hidden_size\": 1, \"layout\": [1]"), "ONNX LSTM: Suported only [0] layout."},
        {node({2}, "ScatterND", {"x", "x", "x"}, "\"reduction\": \"avg\""),
         "ONNX Parser: ScatterND: incorrect  reduction function"},
        {node({2}, "NonMaxSuppression", {"x", "x", "x"}, "\"center_point_box\": [1]"),
         "NonMaxSuppression: only value 0 is supported for the parameter center_point_box"},
        {node({2}, "Identity", {"x", "x"}), "Identity parsing error. inputs_num must equal 1. Given value: 2"},
        {node({2}, "Mod", {"k", "x"}, Init("k", {1}, {1}, 6) + ", \"fmod\": 1"),
         "_ParseLayersFromONNXJSON: Currently fmod flag for int32 data type is not supported"},
        {node({2}, "Einsum", {"x"}, "\"equation\": \"i->i\""),
         "_ParseLayersFromONNXJSON: Einsum must have only 2 inputs"},
        {node({2}, "Einsum", {"x", "x"}), "_ParseLayersFromONNXJSON: Einsum must have only 'equation' attribute"},
        {node({2}, "NonZero", {"x"}), "NonZero: Currently layer is supported for value defined as initializers"},
        {node({2, 2}, "ArgMax", {"x"}, "\"axis\": [-3]"), "ONNXParser ArgMax: Invalid axis value (-3)"},
        // A MatMul operand gets its values only from the weights file, after the graph is built.
        {nodes({1, 2}, mm + N("y", "Unsqueeze", {"x", "w"})),
         "ONNXParser: node y (Unsqueeze): initializer w takes its values from the weights file, too late for this "
         "node"},
        {nodes({1, 2}, mm + N("y", "Reshape", {"x", "w"})),
         "ONNXParser: Reshape: the target shape (w) must be a constant"},
        {node({2}, "Transpose", {"x"}, "\"perm\": 0.5"), "ONNXParser: node y: attribute perm must be an integer"},
        {node({2}, "Reshape", {"x", "s"}, Init("s", {2}, {-1, -1}, 7)),
         "ONNXParser: Reshape: y leaves more than one dimension open"},
        {node({1, 2, 2, 1}, "Conv", {"x"}, "\"kernel_shape\": [5, 5], \"filters\": 1"),
         "ONNXParser: node y: the window is larger than the padded input"},
        {node({2}, "ConstantOfShape", {"s"}, Init("s", {2}, {20000, 20000}, 7) +
         ", \"value\": {\"dataType\": 1, \"data\": 0}"), "ONNXParser: node y: output of more than 268435456 elements"},
    });
    // clang-format on
}
