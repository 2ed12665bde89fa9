// The flat interface: registry, name and shape queries, batched prediction
// with per-input element types, dumps and the runtime errors it raises.

#include <sys/stat.h>

#include <fstream>

#include "DataType.h"
#include "KernelShares.h"
#include "cpu_backend.hpp"
#include "test_util.h"

using corvus_test::Thrown;
using corvus_test::TmpPath;

namespace {

std::string Written(const std::string& name, const std::string& text)
{
    const std::string path = TmpPath(name);
    std::ofstream(path) << text;
    return path;
}

std::string Input(const std::string& name, const std::string& shape)
{
    return R"({"name":")" + name + R"(","class_name":"InputLayer","config":{"batch_input_shape":[null,)" + shape +
           R"(],"dtype":"float32","name":")" + name + R"("},"inbound_nodes":[]},)";
}

// Keras description: inputs x and y (1,4) -> sum = x + y, act = relu(x);
// outputs in the order sum, act.
std::string TwoInputModel()
{
    return Written("two.json",
                   R"({"class_name":"Model","config":{"name":"two","layers":[)" + Input("x", "4") + Input("y", "4") +
                       R"({"name":"sum","class_name":"Add","config":{"name":"sum"},)"
                       R"("inbound_nodes":[[["x",0,0,{}],["y",0,0,{}]]]},)"
                       R"({"name":"act","class_name":"Activation","config":{"name":"act","activation":"relu"},)"
                       R"("inbound_nodes":[[["x",0,0,{}]]]}],)"
                       R"("input_layers":[["x",0,0],["y",0,0]],"output_layers":[["sum",0,0],["act",0,0]]},)"
                       R"("keras_version":"test"})");
}

// Converted-ONNX description: x (1,4) -> y = x + c, c a constant (its
// layer owns its output, which the Add reads).
std::string ConstantAddModel()
{
    return Written("const.json",
                   R"({"__header__":{"converter_version":"2.8.0","count_of_inputs":1,"count_of_outputs":1,)"
                   R"("output_names":["y"]},"x":{"type":"Input","inputs":[],"outputs":["x"],"size":[1,4],)"
                   R"("dataType":[1]},"y":{"type":"Add","inputs":["x","c"],"outputs":["y"],)"
                   R"("output_node_flag":[true],"c":{"dims":[1,4],"dataType":[1],"data":[1,2,3,4]}}})");
}

std::string NoWeights() { return Written("empty.bin", std::string(4, '\0')); }

TEST(CpuBackend, NamesShapesRangesBatchedPredictAndUnknownIds)
{
    const std::string missing = "Cannot find model with model_id: 7";
    for (const auto& call : std::vector<std::function<void()>>{
             [] { check_model(7); }, [] { get_inputs_number(7); }, [] { run_predict(7, nullptr, nullptr, nullptr, 1); },
             [] { save_layers_statistic(7, "x"); }, [] { release_model(7); }})
        EXPECT_EQ(Thrown(call), missing);

    const uint32_t id = 901;
    load_model_keras(id, TwoInputModel().c_str(), NoWeights().c_str());
    EXPECT_TRUE(get_inputs_number(id) == 2 && get_outputs_number(id) == 2);
    // Unterminated copies: the bytes after the name stay as they were.
    char name[16];
    memset(name, '#', sizeof name);
    write_output_name(id, 1, name);
    EXPECT_EQ(std::string(name, 4), "act#");
    uint32_t shape[7] = {99, 99, 99, 99, 99, 99, 99};
    get_output_shape(id, 0, shape);  // rank, then extents
    EXPECT_EQ(std::vector<uint32_t>(shape, shape + 4), (std::vector<uint32_t>{2, 1, 4, 99}));
    const std::string in = "Model input index is out of inputs number range";
    const std::string out = "Model output index is out of outputs number range";
    EXPECT_EQ(Thrown([&] { write_input_name(id, 2, name); }), in);
    EXPECT_EQ(Thrown([&] { write_input_name(id, -1, name); }), in);  // compared unsigned
    EXPECT_EQ(Thrown([&] { get_input_shape(id, 2, shape); }), in);
    EXPECT_EQ(Thrown([&] { get_output_shape(id, 5, shape); }), out);
    EXPECT_EQ(get_output_type(id, 1), (uint32_t)DT_FLOAT32);
    EXPECT_EQ(Thrown([&] { get_input_type(id, 2); }), in);
    EXPECT_EQ(Thrown([&] { get_output_type(id, 2); }), out);

    // x in float32, y in int8 (narrower than the offsets' float32), three batch items back to back.
    char first[8] = {0};
    write_input_name(id, 0, first);
    const bool xFirst = std::string(first) == "x";
    std::vector<float> x = {1, -2, 3, -4, 0.5f, 6, -7, 8, -1, -1, 10, 0};
    std::vector<int8_t> y = {10, 20, 30, 40, -1, -2, -3, -4, 7, 7, 7, 7};
    std::vector<float> sum(12, -99), act(12, -99);
    void* inputs[2] = {xFirst ? (void*)x.data() : (void*)y.data(), xFirst ? (void*)y.data() : (void*)x.data()};
    uint32_t types[2] = {xFirst ? DT_FLOAT32 : DT_INT8, xFirst ? DT_INT8 : DT_FLOAT32};
    void* outputs[2] = {sum.data(), act.data()};
    run_predict(id, nullptr, nullptr, nullptr, 0);  // no batch: the buffers are not looked at
    run_predict(id, inputs, types, outputs, 3);
    for (size_t k = 0; k < 12; ++k) {
        EXPECT_EQ(sum[k], x[k] + (float)y[k]) << k;
        EXPECT_EQ(act[k], x[k] > 0 ? x[k] : 0.0f) << k;
    }
    release_model(id);
    EXPECT_EQ(Thrown([&] { release_model(id); }), "Cannot find model with model_id: 901");
}

// The example model, every layer split as far as it goes: the same bits at
// every core count (threaded runs first: no output is left from one core),
// and the statistics name the cores that ran each layer only while split.
TEST(CpuBackend, ModelsOnSeveralCoresGiveTheBitsOfOneCore)
{
    const uint64_t minWork = corvus_internal::SetMinShareWork(1);
    const std::string dir =
        std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/")) + "/examples/digits/";
    const uint32_t id = 904;
    load_model_keras(id, (dir + "model.json").c_str(), (dir + "weights.bin").c_str());
    const size_t nIn = 2 * 8 * 8, nOut = 2 * 10;  // two 8x8 images in, their ten scores out
    std::vector<float> x(nIn);
    for (size_t k = 0; k < nIn; ++k) x[k] = (float)((k * 7919) % 255) / 128.0f - 1.0f;
    void* inputs[1] = {x.data()};
    const uint32_t types[1] = {DT_FLOAT32};
    auto predicted = [&] {
        std::vector<float> y(nOut, -99);
        void* outputs[1] = {y.data()};
        run_predict(id, inputs, types, outputs, 2);
        return y;
    };
    auto header = [&] {
        save_layers_statistic(id, TmpPath("cores.csv").c_str());
        std::ifstream csv(TmpPath("cores.csv"));
        std::string line, rest;
        std::getline(csv, line);
        const std::string last = line.substr(line.rfind(';') + 1);
        bool split = false;
        while (last == "Cores" && std::getline(csv, rest)) split = split || rest.substr(rest.rfind(';') + 1) != "1";
        return last + (split ? " split" : "");
    };
    EXPECT_EQ(header(), "BytesSize4");
    std::vector<float> first;
    for (uint32_t n : {3u, 2u, 4u, 1u}) {
        EXPECT_TRUE(n > 1 || header() == "Cores split") << header();
        set_model_cores_number(id, n);
        const std::vector<float> got = predicted();
        if (first.empty()) first = got;
        EXPECT_EQ(memcmp(got.data(), first.data(), nOut * sizeof(float)), 0) << n << " cores";
    }
    EXPECT_EQ(header(), "BytesSize4");
    // The dump reads the filters the packs hold: they come back first.
    const std::string dumps = TmpPath("digits_dumps");
    mkdir(dumps.c_str(), 0777);
    save_layers_tensors(id, dumps.c_str());
    release_model(id);
    corvus_internal::SetMinShareWork(minWork);
    EXPECT_EQ(Thrown([] { set_model_cores_number(905, 2); }), "Cannot find model with model_id: 905");
}

// Reloading every layer's dumps writes into the tensors the model already
// uses: the constant's output stays alive for the Add (the address sanitizer
// reports a read of freed memory otherwise), and the Add reads the current
// input, not a copy frozen at load time.
TEST(CpuBackend, ReloadedDumpsKeepTheModelRunning)
{
    const uint32_t id = 906;
    load_model_keras(id, TwoInputModel().c_str(), NoWeights().c_str());
    Model* replaced = get_model(id);
    load_model_keras(id, ConstantAddModel().c_str(), NoWeights().c_str());  // replaces without destroying
    DestroyModel(replaced);
    std::vector<float> x = {10, 20, 30, 40}, y(4);
    void* in[1] = {x.data()};
    void* out[1] = {y.data()};
    const uint32_t types[1] = {DT_FLOAT32};
    run_predict(id, in, types, out, 1);
    const std::string dir = TmpPath("reload");
    mkdir(dir.c_str(), 0777);
    save_layers_tensors(id, dir.c_str());
    x = {0, 0, 0, 0};
    run_predict(id, in, types, out, 1);
    const Model* model = get_model(id);
    for (uint32_t i = 0; i < model->numLayers; ++i) load_layer_output(id, (int32_t)i, dir.c_str());
    EXPECT_EQ(corvus_test::ValuesOf<float>(model->layers[model->numLayers - 1]->kernel->output[0]),
              (std::vector<float>{11, 22, 33, 44}));
    run_predict(id, in, types, out, 1);
    EXPECT_EQ(y, (std::vector<float>{1, 2, 3, 4}));
    for (uint32_t i = 0; i < model->numLayers; ++i) load_layer_input(id, (int32_t)i, dir.c_str());
    x = {-1, -2, -3, -4};
    run_predict(id, in, types, out, 1);
    EXPECT_EQ(y, (std::vector<float>{0, 0, 0, 0}));
    release_model(id);
}

TEST(CpuBackend, FailedLoadsAreFatal)
{
    // A dump that does not fit the layer's tensor (the output y is (1,4) float32).
    const std::string dir = TmpPath("misfit");
    mkdir(dir.c_str(), 0777);
    auto loadOutput = [dir](DataType dtype, uint32_t n) {
        return [dir, dtype, n] {
            load_model_keras(907, ConstantAddModel().c_str(), NoWeights().c_str());
            Tensor* t = CreateTensor(dtype, DL_NC, 2, corvus_test::Shape({1, n}), true);
            SaveTensor(t, (dir + "/y_out").c_str());
            load_layer_output(907, (int32_t)get_model(907)->numLayers - 1, dir.c_str());  // y runs last
        };
    };
    corvus_test::ExpectFatal(
        "cpu_backend",
        {
            {[] {
                 load_model_keras(905, TwoInputModel().c_str(), NoWeights().c_str());
                 load_layer_output(905, 4, TmpPath("").c_str());
             },
             "Layer index 4 is out of range 0..3"},
            {loadOutput(DT_INT32, 4), "Cannot load output of layer y: the file holds int32 elements, expected float32"},
            {loadOutput(DT_FLOAT32, 3), "Cannot load output of layer y: the file holds 3 elements, expected 4"},
        });
    EXPECT_EXIT(load_model_keras(905, TmpPath("no_such.json").c_str(), NoWeights().c_str()),
                ::testing::ExitedWithCode(1), "ERROR MESSAGE");
}

}  // namespace
