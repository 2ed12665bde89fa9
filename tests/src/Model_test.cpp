// Model creation order, initialisation, feeding and prediction.

#include "LayersBroadcast.h"
#include "LayersDataMovement.h"
#include "LayersReduction.h"
#include "graph_util.h"

using namespace corvus_test;
using namespace graph_util;
using Strings = std::vector<std::string>;

namespace {

// Test kernel: output = 1 + sum of its float32 inputs, element by element.
void ExecuteSumPlusOne(NNKernel* kernel)
{
    const uint32_t n = GetTensorSize(kernel->output[0]);
    float* o = (float*)kernel->output[0]->data;
    for (uint32_t e = 0; e < n; ++e) o[e] = 1.0f;
    for (uint32_t i = 0; i < kernel->inputsNum; ++i)
        for (uint32_t e = 0; e < n; ++e) o[e] += ((const float*)kernel->input[i]->data)[e];
}
const NNKernelFn kSumFn = {ExecuteSumPlusOne, nullptr, nullptr, nullptr};

Layer* Sum(const char* name, std::vector<Layer*> inputs)
{
    Layer* layer = Node(name, OP_AddBroadcast, inputs, GetTensorSize(inputs[0]->kernel->output[0]));
    layer->kernel->fn = &kSumFn;
    return layer;
}

TEST(Model, LayersInPostOrderFromOutputsAndInputsInFirstReachedOrder)
{
    Layer* a = Input("A", 4);
    Layer* c = Sum("C", {a});
    ModelPtr model = MakeModel({Sum("D", {Sum("B", {a}), c}), c});
    EXPECT_EQ(Names(model.get()), (Strings{"A", "B", "C", "D"}));
    EXPECT_EQ(Names(model->ioLayers->outputLayers, model->ioLayers->outputLayersCount), (Strings{"D", "C"}));

    // Shared producers appear once; Y is reached first through S1; unreachable layers are left out.
    Layer* x = Input("X", 4);
    Layer* y = Input("Y", 4);
    Layer* unused = Input("Unused", 4);
    model = MakeModel({Sum("S1", {y, x}), Sum("S2", {x, y})});
    EXPECT_EQ(Names(model.get()), (Strings{"Y", "X", "S1", "S2"}));
    EXPECT_EQ(Names(model->ioLayers->inputLayers, model->ioLayers->inputLayersCount), (Strings{"Y", "X"}));
    InitModel(model.get(), 1);
    TensorPtr t = NewTensor(DT_FLOAT32, {1, 4});
    ModelInput in[] = {{"Unused", t.get()}};
    EXPECT_EXIT(Predict(model.get(), 1, in), ::testing::ExitedWithCode(1),
                corvus_test::Fatal("Model", "Input name \"Unused\" doesn't compare with any InputLayer names"));
    DestroyLayer(unused);
}

TEST(Model, InitBindsInputsToProducersAndPredictConvertsFedTypes)
{
    Layer* x = Input("x", 3);
    Layer* out = Sum("out", {Sum("h", {x}), x});
    ModelPtr model = MakeModel({out});
    EXPECT_EQ(InitModel(model.get(), 1), 1u);
    for (uint32_t j = 0; j < 2; ++j) {
        EXPECT_EQ(out->kernel->input[j]->data, out->inputLayers[j]->kernel->output[0]->data);
        EXPECT_FALSE(out->kernel->input[j]->allocatedData);
    }
    EXPECT_EQ(out->totalBytes, 3u * 12u);  // inputs and output of 3 floats each
    EXPECT_EQ(Predicted(model.get(), {{1, 2, -3}})[0], (std::vector<float>{4, 6, -4}));  // (x + 1) + x + 1

    // int8 and half inputs are converted to the input layer's float32.
    int8_t bytes[3] = {-2, 0, 7};
    uint16_t halves[3] = {0x3C00, 0xC000, 0x3800};  // 1, -2, 0.5
    TensorPtr i8 = NewTensor(DT_INT8, {1, 3}, {}, false), f16 = NewTensor(DT_FLOAT16, {1, 3}, {}, false);
    SetTensorData(i8.get(), bytes);
    SetTensorData(f16.get(), halves);
    for (const Tensor* t : {i8.get(), f16.get()}) {
        ModelInput in[] = {{"x", const_cast<Tensor*>(t)}};
        std::vector<float> want = t == i8.get() ? std::vector<float>{-2, 2, 16} : std::vector<float>{4, -2, 3};
        EXPECT_EQ(Values(Predict(model.get(), 1, in)[0]->kernel->output[0]), want);
    }
}

// Optimised and planned: constants feed the arithmetic, and every output of
// the Split is read back, not only the first.
TEST(Model, OptimizedModelWithConstantsPredictsEverySplitOutput)
{
    const uint32_t dims[2] = {1, 6};
    const float cv[6] = {1, -2, 3, -4, 5, -6}, kv[6] = {2, 3, 4, 5, 6, 7};
    Layer* xc[2] = {InputLayer("x", DT_FLOAT32, {1, 6}, DL_NC), AddInitializerLayer(2, dims, DT_FLOAT32, cv, "c")};
    Layer* sk[2] = {AddAddLayer(xc, nullptr, 2, "sum"), AddInitializerLayer(2, dims, DT_FLOAT32, kv, "k")};
    Layer* prod = AddMulLayer(sk, nullptr, 2, "prod");
    Layer* pp[2] = {prod, prod};
    ModelPtr model = MakeModel({AddSplitLayer(prod, nullptr, 2, 1, "parts"), AddAddLayer(pp, nullptr, 2, "twice")});
    OptimizeModel(model.get(), 0);
    ASSERT_TRUE(model->useTensorsSharedMemory);
    InitModel(model.get(), 1);
    const std::vector<float> host = {10, 20, 30, 40, 50, 60};
    for (int run = 0; run < 2; ++run) {
        const std::vector<float> twice = Predicted(model.get(), {host})[1];
        const Layer* parts = model->ioLayers->outputLayers[0];
        ASSERT_EQ(3u, parts->kernel->outputsNum);
        for (uint32_t i = 0; i < 6; ++i) {
            EXPECT_EQ(Values(parts->kernel->output[i / 2])[i % 2], (host[i] + cv[i]) * kv[i]) << i;
            EXPECT_EQ(twice[i], 2 * (host[i] + cv[i]) * kv[i]) << i;
        }
    }
}

TEST(Model, StridedInputsAreCopiedWhenGeometryMatches)
{
    // A padded input layer (rows of 3 stored in 4) fed by an equally padded tensor.
    Layer* x = InputLayer("x", DT_FLOAT32, {2, 3});
    DestroyTensor(x->kernel->output[0]);
    x->kernel->output[0] = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({2, 3}), TensorStrides{{4, 1}}, false);
    ModelPtr model = MakeModel({x});
    InitModel(model.get(), 1);
    EXPECT_EQ(x->totalBytes, 32u);  // the padded storage, not the 6 elements
    float host[8] = {1, 2, 3, -1, 4, 5, 6, -1};
    TensorPtr t = NewTensor(DT_FLOAT32, {2, 3}, {4, 1}, false), dense = NewTensor(DT_FLOAT32, {2, 3});
    SetTensorData(t.get(), host);
    ModelInput in[] = {{"x", t.get()}};
    const float* o = (const float*)Predict(model.get(), 1, in)[0]->kernel->output[0]->data;
    EXPECT_TRUE(o[0] == 1 && o[2] == 3 && o[4] == 4 && o[6] == 6);
    in[0].tensor = dense.get();
    EXPECT_EXIT(Predict(model.get(), 1, in), ::testing::ExitedWithCode(1), "Tensor's shapes don't compare");
}

TEST(Model, LifecycleAndFeedingErrorsAreFatal)
{
    ModelPtr model = MakeModel({Sum("out", {Input("x", 4), Input("y", 4)})});
    TensorPtr t4 = NewTensor(DT_FLOAT32, {1, 4}), t5 = NewTensor(DT_FLOAT32, {1, 5}),
              batch2 = NewTensor(DT_FLOAT32, {2, 2});
    ModelInput in[] = {{"x", t4.get()}, {"y", t4.get()}};
    EXPECT_EXIT(Predict(model.get(), 2, in), ::testing::ExitedWithCode(1),
                "Model hasn't been initialized\\. Check out InitModel function\\.\\. File Model");
    InitModel(model.get(), 1);
    auto predict = [&](Tensor* y) { return [&, y] { in[1].tensor = y, Predict(model.get(), 2, in); }; };
    ExpectExitRe({{[&] { InitModel(model.get(), 1); }, "Model has been already initialized"},
                  {predict(batch2.get()), "Input batches must be same"},
                  {predict(t5.get()), "in\\.shape\\.dimension\\[0\\] == out"}});
    EXPECT_EXIT(MakeModel({Input("in", 4), Input("in", 4)}), ::testing::ExitedWithCode(1),
                "Two input layers are named \"in\"; inputs are fed by name");
}

TEST(Model, GetSplitAxisFindsTheSingleCutDimension)
{
    TensorPtr in = NewTensor(DT_FLOAT32, {1, 8, 8, 16}, {}, false),
              out = NewTensor(DT_FLOAT32, {1, 8, 8, 4}, {}, false);
    TensorPtr two = NewTensor(DT_FLOAT32, {1, 4, 8, 4}, {}, false);
    // starts, ends, steps (six each)
    uint32_t p[18] = {0, 0, 0, 4, 0, 0, 1, 8, 8, 8, 0, 0, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(GetSplitAxis(in.get(), out.get(), p), 3);
    p[15] = 2;  // a step other than 1
    EXPECT_EQ(GetSplitAxis(in.get(), out.get(), p), -1);
    p[15] = 1, p[7] = 7;  // extents disagree with the range
    EXPECT_EQ(GetSplitAxis(in.get(), out.get(), p), -1);
    uint32_t whole[18] = {0, 0, 0, 0, 0, 0, 1, 8, 8, 16, 0, 0, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(GetSplitAxis(in.get(), in.get(), whole), -1);  // nothing cut
    uint32_t both[18] = {0, 0, 0, 4, 0, 0, 1, 4, 8, 8, 0, 0, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(GetSplitAxis(in.get(), two.get(), both), -1);  // two cuts
}

}  // namespace
