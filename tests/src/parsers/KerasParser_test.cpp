// The Keras reader against models built and run by an independent Keras
// implementation (fixtures made by scripts/keras-fixtures, converted here by
// tools/keras2corvus), plus the reader's own rules and messages.

#include <sstream>

#include "LayersActivation.h"
#include "LayersAudio.h"
#include "LayersDataMovement.h"
#include "LayersDetection.h"
#include "LayersNormalization.h"
#include "LayersPooling.h"
#include "ModelParser.h"
#include "ModelParser.hpp"
#include "parsers/KerasParser.h"
#include "conv_util.h"

using corvus_test::DimsOf;
using corvus_test::ExpectExitRe;
using corvus_test::ExpectFatal;
using corvus_test::Fatal;
using corvus_test::TmpPath;

namespace {

using U = std::vector<uint32_t>;
using conv_test::ReadFile;
using conv_test::WriteFile;

std::string Python() { return conv_test::Python("numpy, h5py"); }
const std::string kRoot = conv_test::kSourceRoot;

// Runs the converter; returns the paths of the description and the weights.
std::pair<std::string, std::string> Convert(const std::string& model, const std::string& tag)
{
    const std::string json = TmpPath(tag + ".json"), weights = TmpPath(tag + ".bin");
    const std::string cmd = Python() + " " + kRoot + "/tools/keras2corvus " + model + " " + json + " " + weights;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return {json, weights};
}

std::vector<float> Floats(const corvus_json::Value& list)
{
    std::vector<float> v;
    for (const auto& x : list.GetArray()) v.push_back((float)x.GetDouble());
    return v;
}

// The runtime's softmax, as prescribed, over rows of the last dimension.
std::vector<float> PrescribedSoftmax(const std::vector<float>& x, size_t row)
{
    std::vector<float> y(x.size());
    for (size_t r = 0; r < x.size(); r += row) {
        float m = x[r];
        for (size_t i = 1; i < row; ++i)
            if (x[r + i] > m) m = x[r + i];
        auto t = [&](size_t i) {
            const float d = x[r + i] - m;
            return (double)d <= -16.11 ? 0.0f : expf_fast(d);
        };
        float s = 0;
        for (size_t i = 0; i < row; ++i) s += t(i);
        const float inv = 1.0f / s;
        for (size_t i = 0; i < row; ++i) y[r + i] = inv * t(i);
    }
    return y;
}

// Fixtures covering every layer class, run on their recorded inputs with and
// without optimisation, against the framework's outputs (after a softmax: the
// prescribed formula on the framework's logits). Quantized fixtures hold
// uint8, uint16 and float16 weights, dequantized as TensorFlow.js does.
TEST(KerasParserTest, FixturesMatchTheFramework)
{
    ASSERT_FALSE(Python().empty()) << "python3 with numpy and h5py is needed (scripts/install-deps.sh)";
    // clang-format off
    const std::pair<const char*, const char*> fixtures[] = {
        {"basic_ops", "model.json"},   {"first_pool", "model.json"},      {"dense_mlp", "model.json"},
        {"conv_net", "model.json"},    {"conv_net", "model.h5"},          {"first_depthwise", "model.json"},
        {"first_resize", "model.json"}, {"conv1d", "model.json"},         {"lstm", "model.json"},
        {"lstm", "model.h5"},          {"conv3d", "model.json"},          {"sequential", "model.json"},
        {"lstm_state", "model.json"},  {"quantized_mlp", "model.json"},   {"quantized_conv", "model.json"},
    };
    // clang-format on
    for (const auto& f : fixtures) {
        SCOPED_TRACE(std::string(f.first) + "/" + f.second);
        const std::string dir = kRoot + "/tests/fixtures/keras/" + f.first, tag = f.first;
        const auto files = Convert(dir + "/" + f.second, tag);
        corvus_json::Document cases;
        std::ifstream casesFile(dir + "/cases.json");
        ASSERT_TRUE(corvus_json::ParseStream(casesFile, cases));
        std::vector<std::vector<float>> inputs;
        for (const auto& c : cases["inputs"].GetArray()) inputs.push_back(Floats(c["data"]));
        for (bool optimize : {false, true}) {
            SCOPED_TRACE(optimize ? "optimised" : "not optimised");
            IOLayers* io = ParseLayersFromJSON(files.first.c_str());
            ASSERT_EQ(io->inputLayersCount, inputs.size());
            for (uint32_t i = 0; i < io->inputLayersCount; ++i)
                EXPECT_STREQ(io->inputLayers[i]->name, cases["inputs"][i]["name"].GetString());
            const std::vector<conv_test::Output> out = conv_test::RunModel(io, inputs, files.second, optimize);
            ASSERT_EQ(out.size(), cases["outputs"].Size());
            for (size_t j = 0; j < out.size(); ++j) {
                const auto& c = cases["outputs"][j];
                EXPECT_EQ(out[j].name, c["name"].GetString());
                const std::vector<float> want = c.HasMember("softmax_input")
                                                    ? PrescribedSoftmax(Floats(c["softmax_input"]), out[j].dims.back())
                                                    : Floats(c["data"]);
                conv_test::ExpectClose(out[j].values, want, tag + " output " + out[j].name, 1e-5f, 1e-4f);
            }
        }
    }
}

// A layer object: inbound names form the single inbound node.
std::string Layer_(const std::string& name, const std::string& cls, const std::string& config,
                   std::initializer_list<const char*> inbound = {})
{
    std::string node;
    for (const char* in : inbound) node += std::string(node.empty() ? "" : ",") + "[\"" + in + "\",0,0,{}]";
    return "{\"name\":\"" + name + "\",\"class_name\":\"" + cls + "\",\"config\":{" + config + "},\"inbound_nodes\":[" +
           (node.empty() ? "" : "[" + node + "]") + "]}";
}

std::string Input(const std::string& name, const std::string& shape)
{
    return Layer_(name, "InputLayer", "\"batch_input_shape\":[null," + shape + "]");
}

std::string Description(std::initializer_list<std::string> layers, const std::string& inputs,
                        const std::string& outputs, const std::string& root = "\"class_name\":\"Functional\"")
{
    std::string list;
    for (const std::string& l : layers) list += (list.empty() ? "" : ",") + l;
    return "{" + root + ",\"keras_version\":\"2.13.1\",\"config\":{\"layers\":[" + list + "],\"input_layers\":[" +
           inputs + "],\"output_layers\":[" + outputs + "]}}";
}

IOLayers* Parse(const std::string& text)
{
    std::istringstream s(text);
    return ParseLayersFromKerasJSON(s);
}

// Releases a parsed graph through a model built from its outputs.
struct Parsed {
    explicit Parsed(const std::string& text)
        : io(Parse(text)), model(CreateModel(io->outputLayers, io->outputLayersCount))
    {
    }
    ~Parsed()
    {
        DestroyIOLayers(io);
        DestroyModel(model);
    }
    const Tensor* Out(uint32_t j) const { return io->outputLayers[j]->kernel->output[0]; }
    template <typename P> const P* Params(uint32_t j) const { return (const P*)io->outputLayers[j]->kernel->params; }
    IOLayers* io;
    Model* model;
};

TEST(KerasParserTest, ShapesRecordsAndKerasDefaults)
{
    // Input sizes and layout, Dropout bypass, Reshape -1, Permute, Concatenate
    // -1, Softmax on the last axis, ReLU variants, pooling defaults; keys Keras
    // always writes, left out (use_bias, strides, padding, data_format, size,
    // epsilon, scale, center); classes no fixture holds (HardSigmoid,
    // L2Normalization, Conv1DTranspose).
    const Parsed p(Description(
        {Input("in", "4,4,2"), Input("seq", "5,3"), Layer_("drop", "Dropout", "\"rate\":0.5", {"in"}),
         Layer_("reshape", "Reshape", "\"target_shape\":[-1,8]", {"drop"}),
         Layer_("permute", "Permute", "\"dims\":[2,1]", {"seq"}),
         Layer_("concat", "Concatenate", "\"axis\":-1", {"in", "in"}), Layer_("flat", "Flatten", "", {"in"}),
         Layer_("softmax", "Softmax", "\"axis\":1", {"flat"}),
         Layer_("relu6", "ReLU", "\"max_value\":6.0,\"threshold\":0.0", {"in"}),
         Layer_("relu", "ReLU", "\"max_value\":null", {"in"}), Layer_("pool", "MaxPooling2D", "", {"in"}),
         Layer_("gap", "GlobalAveragePooling2D", "", {"in"}),
         Layer_("conv", "Conv2D", "\"filters\":3,\"kernel_size\":[3,3]", {"in"}),
         Layer_("up", "UpSampling2D", "", {"in"}), Layer_("bn", "BatchNormalization", "", {"in"}),
         Layer_("hs", "HardSigmoid", "", {"in"}), Layer_("l2", "L2Normalization", "\"gamma_init\":20", {"conv"}),
         Layer_("deconv", "Conv1DTranspose", "\"filters\":3,\"kernel_size\":3,\"strides\":2,\"padding\":\"same\"",
                {"seq"})},
        "[\"in\",0,0],[\"seq\",0,0]",
        "[\"reshape\",0,0],[\"permute\",0,0],[\"concat\",0,0],[\"softmax\",0,0],[\"relu6\",0,0],[\"relu\",0,0],"
        "[\"pool\",0,0],[\"gap\",0,0],[\"conv\",0,0],[\"up\",0,0],[\"bn\",0,0],[\"hs\",0,0],[\"l2\",0,0],"
        "[\"deconv\",0,0]"));
    const Tensor* in = p.io->inputLayers[0]->kernel->output[0];
    EXPECT_EQ(DimsOf(in), (U{1, 4, 4, 2}));
    EXPECT_EQ(in->dtype, (uint32_t)DT_FLOAT32);
    EXPECT_EQ(in->layout, (uint32_t)DL_NONE);
    EXPECT_STREQ(p.io->inputLayers[1]->name, "seq");
    EXPECT_EQ(p.io->outputLayers[0]->inputLayers[0], p.io->inputLayers[0]);  // Dropout bypassed
    EXPECT_EQ(p.model->numLayers, 17u);
    EXPECT_EQ(DimsOf(p.Out(0)), (U{1, 4, 8}));
    const TransposeParams* perm = p.Params<TransposeParams>(1);
    EXPECT_EQ(std::vector<uint32_t>(perm->axes, perm->axes + 3), (U{0, 2, 1}));
    EXPECT_EQ(p.Params<MergeParams>(2)->axis, 3u);
    EXPECT_EQ(DimsOf(p.Out(2)), (U{1, 4, 4, 4}));
    EXPECT_EQ(p.Params<ActivationParams>(3)->type, (uint32_t)Softmax);
    EXPECT_EQ(p.Params<ActivationParams>(4)->type, (uint32_t)ReLU6);
    EXPECT_EQ(p.Params<ActivationParams>(5)->type, (uint32_t)ReLU);
    const Pool2DParams* pool = p.Params<Pool2DParams>(6);  // pool size 2, strides = pool size
    EXPECT_EQ(std::vector<uint32_t>({pool->poolSizeH, pool->strideW, pool->paddingMode}),
              (U{2, 2, POOL_PADDING_IGNORE}));
    EXPECT_EQ(DimsOf(p.Out(7)), (U{1, 2}));  // keepdims false
    EXPECT_EQ(DimsOf(p.Out(8)), (U{1, 2, 2, 3}));
    EXPECT_NE(p.io->outputLayers[8]->kernel->inner[1], nullptr);
    EXPECT_EQ(DimsOf(p.Out(9)), (U{1, 8, 8, 2}));
    const NormalizationParams* bn = p.Params<NormalizationParams>(10);
    EXPECT_TRUE(bn->scale && bn->center);
    EXPECT_FLOAT_EQ(bn->epsilon, 1e-3f);
    EXPECT_EQ(std::vector<float>({p.Params<HardSigmoidParams>(11)->alpha, p.Params<HardSigmoidParams>(11)->beta}),
              (std::vector<float>{0.2f, 0.5f}));
    EXPECT_EQ(p.Params<L2NormParams>(12)->gammaInit, 20.0f);
    EXPECT_EQ(DimsOf(p.Out(13)), (U{1, 10, 3}));
}

// The converter writes Keras 3 descriptions (node objects, batch_shape, a
// single input entry) in the form the reader takes, and refuses what the
// runtime would not compute as Keras does.
TEST(KerasParserTest, ConverterNormalizesAndRefuses)
{
    ASSERT_FALSE(Python().empty());
    const std::string keras3 = TmpPath("keras3_model.json");
    const std::string tensor = R"({"class_name":"__keras_tensor__","config":{"shape":[null,4],"keras_history":)";
    WriteFile(
        keras3,
        R"({"modelTopology":{"class_name":"Functional","config":{"name":"m","layers":[)"
        R"({"class_name":"InputLayer","config":{"batch_shape":[null,4],"name":"x"},"name":"x","inbound_nodes":[]},)"
        R"({"class_name":"Activation","config":{"name":"act","activation":"relu"},"name":"act",)"
        R"("inbound_nodes":[{"args":[)" +
            tensor +
            R"(["x",0,0]}}],"kwargs":{}}]},)"
            R"({"class_name":"Add","config":{"name":"add"},"name":"add","inbound_nodes":[{"args":[[)" +
            tensor + R"(["x",0,0]}},)" + tensor +
            R"(["act",0,0]}}]],"kwargs":{}}]}],)"
            R"("input_layers":["x",0,0],"output_layers":["add",0,0]}}})");
    const auto files = Convert(keras3, "keras3");
    const Parsed p(ReadFile(files.first));
    EXPECT_EQ(DimsOf(p.io->inputLayers[0]->kernel->output[0]), (U{1, 4}));
    ASSERT_EQ(p.io->outputLayers[0]->inputLayersNum, 2u);
    EXPECT_STREQ(p.io->outputLayers[0]->inputLayers[1]->name, "act");

    const std::string model = TmpPath("refused_model.json"), log = TmpPath("refused.log");
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"{\"class_name\":\"GRU\",\"config\":{\"name\":\"g\",\"batch_input_shape\":[null,3],\"units\":2}}",
         "class GRU is not supported"},
        {"{\"class_name\":\"Dense\",\"config\":{\"name\":\"g\",\"batch_input_shape\":[null,3],\"units\":2,"
          "\"activation\":\"elu\"}}",
         "activation elu is not supported"},
        {"{\"class_name\":\"LSTM\",\"config\":{\"name\":\"g\",\"batch_input_shape\":[null,3],\"units\":2,"
          "\"recurrent_activation\":\"hard_sigmoid\"}}",
         "LSTM supports only tanh and sigmoid activations"},
    };
    // clang-format on
    for (const auto& c : cases) {
        WriteFile(model, std::string("{\"modelTopology\":{\"class_name\":\"Sequential\",\"config\":{\"layers\":[") +
                             c.first + "]}}}");
        const std::string cmd = Python() + " " + kRoot + "/tools/keras2corvus " + model + " " + TmpPath("r.json") +
                                " " + TmpPath("r.bin") + " 2>" + log;
        EXPECT_NE(std::system(cmd.c_str()), 0) << c.first;
        const std::string text = ReadFile(log);
        EXPECT_NE(text.find(c.second), std::string::npos) << text;
    }
}

TEST(KerasParserTest, AudioAndDetectionClasses)
{
    const Parsed p(Description(
        {Input("frames", "4,9"), Input("wave", "1"),
         // The batch dimension of a model input is 1: stacking gives four samples.
         Layer_("samples", "Concatenate", "\"axis\":0", {"wave", "wave", "wave", "wave"}),
         Layer_("mfcc", "Mfcc",
                "\"upper_frequency_limit\":4000.5,\"lower_frequency_limit\":20,\"filterbnk_channel_count\":6,"
                "\"dct_coefficient_count\":3,\"sample_rate\":16000",
                {"frames"}),
         Layer_("spectrogram", "Audio_spectrogram", "\"magnitude_squared\":true,\"stride\":2,\"window_size\":2",
                {"samples"}),
         Input("features", "2,3,4"), Input("predictions", "5,15"),
         Layer_("anchors", "AnchorBoxes",
                "\"img_height\":60,\"img_width\":90,\"this_steps\":30,\"this_offset\":0.5,\"this_scale\":0.2,"
                "\"next_scale\":0.4,\"two_boxes_for_ar1\":true,\"clip_boxes\":false,\"aspect_ratios\":[1,2,0.5],"
                "\"coords\":\"centroids\",\"normalize_coords\":true,\"variances\":[0.1,0.1,0.2,0.2]",
                {"features"}),
         Layer_("detections", "DecodeDetections",
                "\"img_height\":60,\"img_width\":90,\"confidence_thresh\":0.25,\"iou_threshold\":0.45,"
                "\"coords\":\"centroids\",\"normalize_coords\":true,\"top_k\":4,\"nms_max_output_size\":3",
                {"predictions"})},
        "[\"frames\",0,0],[\"wave\",0,0],[\"features\",0,0],[\"predictions\",0,0]",
        "[\"mfcc\",0,0],[\"spectrogram\",0,0],[\"anchors\",0,0],[\"detections\",0,0]"));
    const std::vector<U> dims = {DimsOf(p.Out(0)), DimsOf(p.Out(1)), DimsOf(p.Out(2)), DimsOf(p.Out(3))};
    EXPECT_EQ(dims, (std::vector<U>{{1, 4, 3}, {1, 2, 2}, {1, 2, 3, 4, 8}, {1, 4, 6}}));  // anchors: ratio 1 twice
    const MfccParams* m = p.Params<MfccParams>(0);
    const AudioSpectrogramParams* s = p.Params<AudioSpectrogramParams>(1);
    const AnchorBoxesParams* a = p.Params<AnchorBoxesParams>(2);
    const DecodeDetectionsParams* d = p.Params<DecodeDetectionsParams>(3);
    auto floats = [](auto... v) { return std::vector<float>{(float)v...}; };
    EXPECT_EQ(floats(m->upperFrequencyLimit, m->lowerFrequencyLimit, m->filterbankChannelCount, m->dctCoefficientCount,
                     m->sampleRate, s->windowSize, s->stride, s->magnitudeSquared, a->step, a->offset, a->thisScale,
                     a->nextScale, a->aspectRatios[2], a->variances[3], a->imgHeight, a->imgWidth, a->twoBoxesForAr1,
                     a->normalizeCoords, d->confidenceThreshold, d->iouThreshold, d->topK, d->maxBoxesPerClass,
                     d->imgHeight, d->imgWidth),
              floats(4000.5f, 20, 6, 3, 16000, 2, 2, 1, 30, 0.5f, 0.2f, 0.4f, 0.5f, 0.2f, 60, 90, 1, 1, 0.25f, 0.45f, 4,
                     3, 60, 90));
}

TEST(KerasParserTest, SeparableConv2DRaisesAndReleases)
{
    const std::string text = Description(
        {Input("in", "4,4,2"), Layer_("relu", "Activation", "\"activation\":\"relu\"", {"in"}),
         Layer_("sep", "SeparableConv2D", "\"filters\":2,\"kernel_size\":[3,3],\"padding\":\"same\"", {"relu"})},
        "[\"in\",0,0]", "[\"sep\",0,0]");
    EXPECT_EQ(corvus_test::Thrown([&] { Parse(text); }), "Unrealized method AddSeparableConv2DLayer");
}

TEST(KerasParserTest, MalformedDescriptionsAreFatal)
{
    const std::string in = Input("in", "4,4,2"), io = "[\"in\",0,0]";
    auto parse = [](const std::string& text) { return [text] { Parse(text); }; };
    auto one = [&](const std::string& layer, const char* out = "[\"x\",0,0]") {
        return parse(Description({in, layer}, io, out));
    };
    auto x = [&](const char* cls, const std::string& config, std::initializer_list<const char*> inbound = {"in"}) {
        return one(Layer_("x", cls, config, inbound));
    };
    const std::string missing = TmpPath("no_such_model.json");
    // clang-format off
    ExpectFatal("KerasParser", {
        {parse("{\"class_name\":"), "Model description is not valid JSON"},
        {parse("[1,2]"), "Model description must be a JSON object"},
        {parse("{\"config\":{}}"), "cannot find class_name parameter in JSON file"},
        {parse(Description({in}, io, io, "\"class_name\":\"Sequential\"")),
         "class_name must have value \"Model\" or \"Functional\""},
        {parse("{\"class_name\":\"Model\",\"config\":{\"layers\":{},\"input_layers\":[],\"output_layers\":[]}}"),
         "Value of layers must be an array"},
        {parse(Description({in, "{\"class_name\":\"Flatten\"}"}, io, io)), "No value of name"},
        {parse(Description({Layer_("in", "InputLayer", "")}, io, io)), "InputLayer has not shape"},
        {parse(Description({Input("in", "null,2")}, io, io)),
         "batch_input_shape of \"in\" has no size for dimension 1"},
        {parse(Description({in, in}, io, io)), "Layer name \"in\" is used twice"},
        {one(Layer_("x", "Flatten", "", {"nowhere"})),
         "Inbound layer \"nowhere\" of layer \"x\" is not defined before it"},
        {parse(Description({in, Layer_("a", "Flatten", "", {"b"}), Layer_("b", "Flatten", "", {"a"})}, io,
                           "[\"b\",0,0]")),
         "Inbound layer \"b\" of layer \"a\" is not defined before it"},
        {x("GRU", "\"units\":2"), "Unknown layer type"},
        {x("Dropout", ""), "Ignoring layer is still not ignoring"},
        {one(Layer_("x", "Flatten", "", {"in"}), "[\"y\",0,0]"), "Layer \"y\" of output_layers is not defined"},
        {x("MaxPooling2D", "\"data_format\":\"nchw\""), "Unsupported layout: nchw"},
        {x("MaxPooling2D", "\"strides\":\"2\""), "Value of strides is not an integer"},
        {x("MaxPooling2D", "\"strides\":[2]"), "Value of strides has no element 1"},
        {x("Concatenate", "\"axis\":2147483648", {"in", "in"}), "Value of axis does not fit 32 bits"},
        {x("MaxPooling2D", "\"pool_size\":0"), "Value of pool_size must be a positive integer below 16777216"},
        {x("Activation", "\"activation\":\"swish\""), "Unsupported activation name: swish\n"},
        {x("ReLU", "\"max_value\":4.0"), "Unsupported ReLU values"},
        {x("ReLU", "\"threshold\":0.5"), "Unsupported ReLU values"},
        {x("Softmax", "\"axis\":1"),
         "Cannot add \"x\" layer.\nSoftmax supports axis parameter value only as last dimension."},
        {x("Reshape", "\"target_shape\":[-1,-1]"), "Only one input size may be -1 in OP_Reshape"},
        {x("Reshape", "\"target_shape\":[0,8]"), "Unsuppoted shape value in OP_Reshape: 0"},
        {x("Reshape", ""), "No value of target_shape"},
        {x("Permute", "\"dims\":[1]"), "dims of \"x\" must list 3 axes for its 4-dimensional input"},
        {x("AveragePooling1D", ""), "Layer \"x\" needs a 3-dimensional input, its input has 4 dimensions"},
        {x("Merge", "", {"in", "in"}), "No value of concat_axis"},
        {x("Conv2D", "\"filters\":2"), "No value of kernel_size"},
        {x("Dense", ""), "No value of units"},
        {x("BatchNormalization", "\"axis\":1"), "BatchNormalization \"x\" normalizes other axes than the last one"},
        {x("UpSampling2D", "\"interpolation\":\"bilinear\""),
         "UpSampling2D \"x\": only nearest interpolation is supported"},
        {[&] { ParseLayersFromKerasJSON(missing.c_str()); }, "Cannot open model file: " + missing + "\n"},
    });
    // clang-format on
}

// The format is told by a root member "keras_version" alone (wherever it
// stands, whatever its value, a converted-ONNX header member present or
// not); everything else goes to the converted-ONNX reader. The reader that
// ran is told by its result or by the module named in its fatal report.
TEST(KerasParserTest, FormatDetection)
{
    const std::string body = R"("class_name":"Functional","config":{"layers":[{"name":"in","class_name":"InputLayer",)"
                             R"("config":{"batch_input_shape":[null,3]},"inbound_nodes":[]}],)"
                             R"("input_layers":[["in",0,0]],"output_layers":[["in",0,0]]})";
    auto file = [](const std::string& tag, const std::string& text) {
        WriteFile(TmpPath(tag), text);
        return TmpPath(tag);
    };
    const std::string keras = file("keras.json", "{\"converter_version\":\"2.8.0\"," + body + ",\"keras_version\":7}");
    IOLayers* io = ParseLayersFromJSON(keras.c_str());
    EXPECT_EQ(conv_test::RunModel(io, {{1, 2, 3}})[0].values, (std::vector<float>{1, 2, 3}));
    // Near misses: nested, other case, trailing blank, an embedded NUL; not JSON; not an object.
    auto load = [&](const std::string& tag, const std::string& text) {
        const std::string path = text.empty() ? TmpPath(tag) : file(tag, text);
        return [path] { ParseLayersFromJSON(path.c_str()); };
    };
    auto from = [](const char* module) {
        return "\\[ERROR MESSAGE\\]: .*\\. File " + std::string(module) + " : [0-9]+";
    };
    const std::string nearMisses = R"(,"meta":{"keras_version":"2"},"Keras_version":1,"keras_version ":1,)"
                                   R"("keras_version\u0000":1})";
    // clang-format off
    ExpectExitRe({
        {load("noversion.json", "{" + body + nearMisses), from("ONNXParser")},
        {load("notjson.json", "{\"keras_version\":\"2.13.1\", " + body), from("ONNXParser")},
        {load("array.json", "[{\"keras_version\":\"2.13.1\"}]"), from("ONNXParser")},
        {load("broken.json", "{\"keras_version\":\"2\",\"class_name\":\"Functional\"}"), from("KerasParser")},
        {load("no_such_model.json", ""),
         Fatal("ONNXParser", "Cannot open model file: " + TmpPath("no_such_model.json") + "\n")},
        {load("onnx_like.json", "{\"header\":{\"converter_version\":\"2.1.0\"}}"),
         Fatal("ONNXParser", "ONNXParser: the header has no member count_of_inputs")},
    });
    // clang-format on
}

}  // namespace
