// The flat interface: registry, name and shape queries, batched prediction
// with per-input element types, dumps and the runtime errors it raises.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "DataType.h"
#include "cpu_backend.hpp"
#include "test_util.h"

using corvus_test::TmpPath;

namespace {

std::string Input(const std::string& name, const std::string& shape)
{
    return R"({"name":")" + name + R"(","class_name":"InputLayer","config":{"batch_input_shape":[null,)" + shape +
           R"(],"dtype":"float32","name":")" + name + R"("},"inbound_nodes":[]})";
}

// Keras description: inputs x and y (1,4) -> sum = x + y, act = relu(x);
// outputs in the order sum, act.
std::string TwoInputModel()
{
    const std::string path = TmpPath("backend_two.json");
    std::ofstream(path) << R"({"class_name":"Model","config":{"name":"two","layers":[)" << Input("x", "4") << ","
                        << Input("y", "4") << ","
                        << R"({"name":"sum","class_name":"Add","config":{"name":"sum"},)"
                           R"("inbound_nodes":[[["x",0,0,{}],["y",0,0,{}]]]},)"
                           R"({"name":"act","class_name":"Activation","config":{"name":"act","activation":"relu"},)"
                           R"("inbound_nodes":[[["x",0,0,{}]]]}],)"
                           R"("input_layers":[["x",0,0],["y",0,0]],"output_layers":[["sum",0,0],["act",0,0]]},)"
                           R"("keras_version":"test"})";
    return path;
}

std::string ImageModel()
{
    const std::string path = TmpPath("backend_image.json");
    std::ofstream(path) << R"({"class_name":"Model","config":{"name":"img","layers":[)" << Input("picture", "224,224,3")
                        << R"(,{"name":"out","class_name":"Activation","config":{"name":"out","activation":"relu"},)"
                           R"("inbound_nodes":[[["picture",0,0,{}]]]}],)"
                           R"("input_layers":[["picture",0,0]],"output_layers":[["out",0,0]]},"keras_version":"t"})";
    return path;
}

// Converted-ONNX description: x (1,4) -> y = x + c, c a constant (its
// layer owns its output, which the Add reads).
std::string ConstantAddModel()
{
    const std::string path = TmpPath("backend_const.json");
    std::ofstream(path) << R"({"__header__":{"converter_version":"2.8.0","count_of_inputs":1,"count_of_outputs":1,)"
                           R"("output_names":["y"]},"x":{"type":"Input","inputs":[],"outputs":["x"],"size":[1,4],)"
                           R"("dataType":[1]},"y":{"type":"Add","inputs":["x","c"],"outputs":["y"],)"
                           R"("output_node_flag":[true],"c":{"dims":[1,4],"dataType":[1],"data":[1,2,3,4]}}})";
    return path;
}

std::string NoWeights()
{
    const std::string path = TmpPath("backend_empty.bin");
    const uint32_t zero = 0;
    std::ofstream(path, std::ios::binary).write((const char*)&zero, 4);
    return path;
}

template <typename F>
std::string Thrown(F fn)
{
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

} // namespace

TEST(CpuBackend, IdCounterAndUnknownIds)
{
    // Nothing else in this process increments the counter before this test.
    const uint32_t start = get_model_id();
    EXPECT_EQ(inc_model_id(), start + 1);
    EXPECT_EQ(inc_model_id(), start + 2);
    EXPECT_EQ(get_model_id(), start + 2);

    const std::string missing = "Cannot find model with model_id: 7";
    EXPECT_EQ(Thrown([] { check_model(7); }), missing);
    EXPECT_EQ(Thrown([] { get_inputs_number(7); }), missing);
    EXPECT_EQ(Thrown([] { get_outputs_number(7); }), missing);
    EXPECT_EQ(Thrown([] { run_predict(7, nullptr, nullptr, nullptr, 1); }), missing);
    EXPECT_EQ(Thrown([] { save_layers_statistic(7, "x"); }), missing);
    EXPECT_EQ(Thrown([] { release_model(7); }), missing);
    EXPECT_EQ(Thrown([] { check_model(4000000000u); }), "Cannot find model with model_id: 4000000000");
}

TEST(CpuBackend, NamesShapesAndRanges)
{
    const uint32_t id = 901;
    load_model_keras(id, TwoInputModel().c_str(), NoWeights().c_str());
    EXPECT_EQ(get_inputs_number(id), 2u);
    EXPECT_EQ(get_outputs_number(id), 2u);

    // Unterminated copies: the bytes after the name stay as they were.
    char name[16];
    memset(name, '#', sizeof name);
    write_input_name(id, 0, name);
    EXPECT_EQ(std::string(name, 3), "x##");
    memset(name, 0, sizeof name);
    write_output_name(id, 1, name);
    EXPECT_STREQ(name, "act");

    uint32_t shape[7] = {99, 99, 99, 99, 99, 99, 99};
    get_output_shape(id, 0, shape);
    EXPECT_EQ(std::vector<uint32_t>(shape, shape + 4), (std::vector<uint32_t>{2, 1, 4, 99}));

    const std::string in = "Model input index is out of inputs number range";
    const std::string out = "Model output index is out of outputs number range";
    EXPECT_EQ(Thrown([&] { write_input_name(id, 2, name); }), in);
    EXPECT_EQ(Thrown([&] { write_input_name(id, -1, name); }), in); // compared unsigned
    EXPECT_EQ(Thrown([&] { write_output_name(id, 2, name); }), out);
    EXPECT_EQ(Thrown([&] { get_input_shape(id, 2, shape); }), in);
    EXPECT_EQ(Thrown([&] { get_output_shape(id, 5, shape); }), out);
    EXPECT_EQ(get_output_type(id, 1), (uint32_t)DT_FLOAT32);
    EXPECT_EQ(Thrown([&] { get_input_type(id, 2); }), in);
    EXPECT_EQ(Thrown([&] { get_output_type(id, 2); }), out);
    release_model(id);

    const uint32_t image = 902;
    load_model_keras(image, ImageModel().c_str(), NoWeights().c_str());
    get_input_shape(image, 0, shape);
    EXPECT_EQ(std::vector<uint32_t>(shape, shape + 5), (std::vector<uint32_t>{4, 1, 224, 224, 3}));
    release_model(image);
    EXPECT_EQ(Thrown([&] { release_model(image); }), "Cannot find model with model_id: 902");
}

TEST(CpuBackend, BatchedPredictWithPerInputTypes)
{
    const uint32_t id = 903;
    load_model_keras(id, TwoInputModel().c_str(), NoWeights().c_str());
    char first[8] = {0};
    write_input_name(id, 0, first);
    const bool xFirst = std::string(first) == "x";

    // x in float32, y in int32, three batch items back to back.
    std::vector<float> x = {1, -2, 3, -4, 0.5f, 6, -7, 8, -1, -1, 10, 0};
    std::vector<int32_t> y = {10, 20, 30, 40, -1, -2, -3, -4, 7, 7, 7, 7};
    std::vector<float> sum(12, -99), act(12, -99);
    void* inputs[2] = {xFirst ? (void*)x.data() : (void*)y.data(), xFirst ? (void*)y.data() : (void*)x.data()};
    uint32_t types[2] = {xFirst ? DT_FLOAT32 : DT_INT32, xFirst ? DT_INT32 : DT_FLOAT32};
    void* outputs[2] = {sum.data(), act.data()};

    run_predict(id, inputs, types, outputs, 0); // nothing runs
    run_predict(id, nullptr, nullptr, nullptr, 0); // nor looks at the buffers
    EXPECT_EQ(sum[0], -99);

    run_predict(id, inputs, types, outputs, 3);
    for (size_t k = 0; k < 12; ++k) {
        EXPECT_FLOAT_EQ(sum[k], x[k] + (float)y[k]) << k;
        EXPECT_FLOAT_EQ(act[k], x[k] > 0 ? x[k] : 0.0f) << k;
    }
    release_model(id);
}

TEST(CpuBackend, ReplacingAnIdAndDumpRoundTrip)
{
    const uint32_t id = 904;
    load_model_keras(id, ImageModel().c_str(), NoWeights().c_str());
    Model* first = get_model(id);
    // Loading again replaces the stored model without destroying the first.
    load_model_keras(id, TwoInputModel().c_str(), NoWeights().c_str());
    EXPECT_EQ(get_inputs_number(id), 2u);
    DestroyModel(first);

    std::vector<float> x = {1, 2, 3, 4}, y = {5, 6, 7, 8}, sum(4), act(4);
    char firstName[8] = {0};
    write_input_name(id, 0, firstName);
    const bool xFirst = std::string(firstName) == "x";
    void* inputs[2] = {xFirst ? x.data() : y.data(), xFirst ? y.data() : x.data()};
    uint32_t types[2] = {DT_FLOAT32, DT_FLOAT32};
    void* outputs[2] = {sum.data(), act.data()};
    run_predict(id, inputs, types, outputs, 1);
    const std::string dir = TmpPath("dump");
    mkdir(dir.c_str(), 0777);
    save_layers_tensors(id, dir.c_str());

    // Reload the add layer's inputs and output from the dump, then change
    // the host inputs: the reloaded output is what the host reads back.
    Model* model = get_model(id);
    int32_t addIndex = -1;
    for (uint32_t i = 0; i < model->numLayers; ++i)
        if (std::string(model->layers[i]->name) == "sum") addIndex = (int32_t)i;
    ASSERT_GE(addIndex, 0);
    // The reloaded inputs hold what the dump saw (shared memory may have
    // been reused by later layers, so not necessarily the run's x and y).
    NNKernel* kernel = model->layers[addIndex]->kernel;
    std::vector<std::vector<float>> before;
    for (uint32_t i = 0; i < kernel->inputsNum; ++i)
        before.emplace_back((float*)kernel->input[i]->data, (float*)kernel->input[i]->data + 4);
    load_layer_input(id, addIndex, dir.c_str());
    load_layer_output(id, addIndex, dir.c_str());
    for (uint32_t i = 0; i < kernel->inputsNum; ++i) {
        EXPECT_NE(kernel->input[i]->data, nullptr);
        EXPECT_EQ(std::vector<float>((float*)kernel->input[i]->data, (float*)kernel->input[i]->data + 4), before[i]);
    }
    const Tensor* reloaded = kernel->output[0];
    EXPECT_EQ(std::vector<float>((float*)reloaded->data, (float*)reloaded->data + 4),
              (std::vector<float>{6, 8, 10, 12}));
    release_model(id);
}

// Reloading every layer's dumps writes into the tensors the model already
// uses: the constant's output stays alive for the Add (ASan would report a
// read of freed memory otherwise), and the Add reads the current input, not
// a copy frozen at load time.
TEST(CpuBackend, ReloadedDumpsKeepTheModelRunning)
{
    const uint32_t id = 906;
    load_model_keras(id, ConstantAddModel().c_str(), NoWeights().c_str());
    std::vector<float> x = {10, 20, 30, 40}, y(4);
    void* in[1] = {x.data()};
    void* out[1] = {y.data()};
    const uint32_t types[1] = {DT_FLOAT32};
    run_predict(id, in, types, out, 1);
    const std::string dir = TmpPath("reload");
    mkdir(dir.c_str(), 0777);
    save_layers_tensors(id, dir.c_str());
    const Model* model = get_model(id);
    for (uint32_t i = 0; i < model->numLayers; ++i) load_layer_output(id, (int32_t)i, dir.c_str());
    run_predict(id, in, types, out, 1);
    EXPECT_EQ(y, (std::vector<float>{11, 22, 33, 44}));
    for (uint32_t i = 0; i < model->numLayers; ++i) load_layer_input(id, (int32_t)i, dir.c_str());
    x = {-1, -2, -3, -4};
    run_predict(id, in, types, out, 1);
    EXPECT_EQ(y, (std::vector<float>{0, 0, 0, 0}));
    release_model(id);
}

TEST(CpuBackend, FailedLoadsAreFatal)
{
    corvus_test::ExpectExitRe({
        {[] { load_model_keras(905, TmpPath("no_such.json").c_str(), NoWeights().c_str()); }, "ERROR MESSAGE"},
        {[] {
             load_model_keras(905, TwoInputModel().c_str(), NoWeights().c_str());
             load_layer_output(905, 4, TmpPath("").c_str());
         },
         corvus_test::Fatal("cpu_backend", "Layer index 4 is out of range 0..3")},
        {[] { load_model_keras(905, nullptr, "w"); }, corvus_test::Fatal("cpu_backend", "descriptionPath==NULL, expected not NULL value")},
    });
    // A dump that does not fit the layer's tensor: other element type, other
    // element count (the output y is (1,4) float32).
    const std::string dir = TmpPath("misfit");
    mkdir(dir.c_str(), 0777);
    auto loadOutput = [dir](DataType dtype, uint32_t n) {
        return [dir, dtype, n] {
            load_model_keras(907, ConstantAddModel().c_str(), NoWeights().c_str());
            Tensor* t = CreateTensor(dtype, DL_NC, 2, corvus_test::Shape({1, n}), true);
            SaveTensor(t, (dir + "/y_out").c_str());
            DestroyTensor(t);
            load_layer_output(907, (int32_t)get_model(907)->numLayers - 1, dir.c_str()); // y runs last
        };
    };
    corvus_test::ExpectFatal("cpu_backend",
                             {{loadOutput(DT_INT32, 4),
                               "Cannot load output of layer y: the file holds int32 elements, expected float32"},
                              {loadOutput(DT_FLOAT32, 3),
                               "Cannot load output of layer y: the file holds 3 elements, expected 4"}});
}
