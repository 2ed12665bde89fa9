// Model creation order, initialisation, feeding and prediction.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersBroadcast.h"
#include "LayersDataMovement.h"
#include "LayersReduction.h"
#include "Model.h"

namespace {

TensorShape Shape(std::initializer_list<uint32_t> dims)
{
    TensorShape s;
    memset(&s, 0, sizeof(s));
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    return s;
}

// Test kernel: output = 1 + sum of its float32 inputs, element by element.
void ExecuteSumPlusOne(NNKernel* kernel)
{
    Tensor* out = kernel->output[0];
    float* o = (float*)out->data;
    const uint32_t n = GetTensorSize(out);
    for (uint32_t e = 0; e < n; ++e) o[e] = 1.0f;
    for (uint32_t i = 0; i < kernel->inputsNum; ++i) {
        const float* in = (const float*)kernel->input[i]->data;
        for (uint32_t e = 0; e < n; ++e) o[e] += in[e];
    }
}
const NNKernelFn kSumFn = {ExecuteSumPlusOne, nullptr, nullptr, nullptr};

Layer* Input(const char* name, uint32_t n = 4)
{
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, n}), false);
    Layer* layer = AddInputLayer(name, t);
    DestroyTensor(t);
    return layer;
}

Layer* Sum(const char* name, std::vector<Layer*> inputs)
{
    Layer* layer = CreateLayer(name, OP_AddBroadcast, inputs.data(), nullptr, (uint32_t)inputs.size(), 0);
    const Tensor* first = inputs[0]->kernel->output[0];
    layer->kernel->output[0] =
        CreateTensor((DataType)first->dtype, (DataLayout)first->layout, first->ndim, first->shape, false);
    layer->kernel->fn = &kSumFn;
    return layer;
}

std::vector<std::string> Names(Layer** layers, uint32_t n)
{
    std::vector<std::string> names;
    for (uint32_t i = 0; i < n; ++i) names.push_back(layers[i]->name);
    return names;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(Model, DiamondIsOrderedPostOrderFromOutputs)
{
    Layer* a = Input("A");
    Layer* b = Sum("B", {a});
    Layer* c = Sum("C", {a});
    Layer* d = Sum("D", {b, c});
    Layer* outputs[] = {d, c};
    Model* model = CreateModel(outputs, 2);
    EXPECT_EQ(Names(model->layers, model->numLayers), (Strings{"A", "B", "C", "D"}));
    EXPECT_EQ(Names(model->ioLayers->outputLayers, model->ioLayers->outputLayersCount), (Strings{"D", "C"}));
    EXPECT_EQ(Names(model->ioLayers->inputLayers, model->ioLayers->inputLayersCount), (Strings{"A"}));
    EXPECT_FALSE(model->isInitialized);
    DestroyModel(model);
}

TEST(Model, InputsInFirstReachedOrderAndUnreachableLayersLeftOut)
{
    Layer* x = Input("X");
    Layer* y = Input("Y");
    Layer* unused = Input("Unused");
    Layer* s1 = Sum("S1", {y, x});
    Layer* s2 = Sum("S2", {x, y});
    Layer* outputs[] = {s1, s2};
    Model* model = CreateModel(outputs, 2);
    // Shared producers appear once; Y is reached first through S1.
    EXPECT_EQ(Names(model->layers, model->numLayers), (Strings{"Y", "X", "S1", "S2"}));
    EXPECT_EQ(Names(model->ioLayers->inputLayers, model->ioLayers->inputLayersCount), (Strings{"Y", "X"}));
    InitModel(model, 1);

    Tensor* t = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 4}), true);
    ModelInput in[] = {{"Unused", t}};
    EXPECT_EXIT(Predict(model, 1, in), ::testing::ExitedWithCode(1),
                "Input name \"Unused\" doesn't compare with any InputLayer names\\. File Model");
    DestroyTensor(t);
    DestroyModel(model);
    DestroyLayer(unused);
}

TEST(Model, InitBindsInputsToProducersAndPredictComputes)
{
    Layer* x = Input("x");
    Layer* h = Sum("h", {x});
    Layer* out = Sum("out", {h, x});
    Layer* outputs[] = {out};
    Model* model = CreateModel(outputs, 1);
    EXPECT_EQ(InitModel(model, 1), 1u);
    EXPECT_TRUE(model->isInitialized);
    for (uint32_t j = 0; j < 2; ++j) {
        const Tensor* bound = out->kernel->input[j];
        EXPECT_EQ(bound->data, out->inputLayers[j]->kernel->output[0]->data);
        EXPECT_FALSE(bound->allocatedData);
    }
    // Default byte count: inputs and outputs of 4 floats each.
    EXPECT_EQ(out->totalBytes, 3u * 16u);
    EXPECT_EQ(out->kernel->totalBytes, 3u * 16u);

    float host[4] = {1, 2, 3, 4};
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 4}), false);
    SetTensorData(t, host);
    ModelInput in[] = {{"x", t}};
    Layer** result = Predict(model, 1, in);
    ASSERT_EQ(result, model->ioLayers->outputLayers);
    const float* o = (const float*)result[0]->kernel->output[0]->data;
    for (int e = 0; e < 4; ++e) EXPECT_EQ(o[e], (host[e] + 1) + host[e] + 1);
    DestroyTensor(t);
    DestroyModel(model);
}

// Optimised and planned: constants feed the arithmetic, and every output of
// the Split is read back, not only the first.
TEST(Model, OptimizedModelWithConstantsPredictsEverySplitOutput)
{
    Layer* x = Input("x", 6);
    const uint32_t dims[2] = {1, 6};
    const float cv[6] = {1, -2, 3, -4, 5, -6}, kv[6] = {2, 3, 4, 5, 6, 7};
    Layer* c = AddInitializerLayer(2, dims, DT_FLOAT32, cv, "c");
    Layer* k = AddInitializerLayer(2, dims, DT_FLOAT32, kv, "k");
    Layer* xc[2] = {x, c};
    Layer* sum = AddAddLayer(xc, nullptr, 2, "sum");
    Layer* sk[2] = {sum, k};
    Layer* prod = AddMulLayer(sk, nullptr, 2, "prod");
    Layer* parts = AddSplitLayer(prod, nullptr, 2, 1, "parts");
    Layer* pp[2] = {prod, prod};
    Layer* outs[2] = {parts, AddAddLayer(pp, nullptr, 2, "twice")};  // planned after the parts
    Model* model = CreateModel(outs, 2);
    OptimizeModel(model, 0);
    ASSERT_TRUE(model->useTensorsSharedMemory);
    InitModel(model, 1);

    const float host[6] = {10, 20, 30, 40, 50, 60};
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 6}), false);
    SetTensorData(t, (void*)host);
    ModelInput in[] = {{"x", t}};
    for (int run = 0; run < 2; ++run) {
        Layer** out = Predict(model, 1, in);
        ASSERT_EQ(3u, out[0]->kernel->outputsNum);
        const float* twice = (const float*)out[1]->kernel->output[0]->data;
        for (uint32_t j = 0; j < 3; ++j) {
            const float* o = (const float*)out[0]->kernel->output[j]->data;
            for (uint32_t e = 0; e < 2; ++e) {
                const uint32_t i = 2 * j + e;
                EXPECT_EQ(o[e], (host[i] + cv[i]) * kv[i]) << j << "/" << e;
                EXPECT_EQ(twice[i], 2 * (host[i] + cv[i]) * kv[i]) << i;
            }
        }
    }
    DestroyTensor(t);
    DestroyModel(model);
}

TEST(Model, FeedingConvertsOtherElementTypes)
{
    Layer* x = Input("x", 3);
    Layer* out = Sum("out", {x});
    Layer* outputs[] = {out};
    Model* model = CreateModel(outputs, 1);
    InitModel(model, 1);

    int8_t bytes[3] = {-2, 0, 7};
    Tensor* i8 = CreateTensor(DT_INT8, DL_NC, 2, Shape({1, 3}), false);
    SetTensorData(i8, bytes);
    ModelInput in[] = {{"x", i8}};
    const float* o = (const float*)Predict(model, 1, in)[0]->kernel->output[0]->data;
    EXPECT_EQ(o[0], -1.0f);
    EXPECT_EQ(o[1], 1.0f);
    EXPECT_EQ(o[2], 8.0f);

    uint16_t halves[3] = {0x3C00, 0xC000, 0x3800};  // 1, -2, 0.5
    Tensor* f16 = CreateTensor(DT_FLOAT16, DL_NC, 2, Shape({1, 3}), false);
    SetTensorData(f16, halves);
    in[0].tensor = f16;
    o = (const float*)Predict(model, 1, in)[0]->kernel->output[0]->data;
    EXPECT_EQ(o[0], 2.0f);
    EXPECT_EQ(o[1], -1.0f);
    EXPECT_EQ(o[2], 1.5f);
    DestroyTensor(i8);
    DestroyTensor(f16);
    DestroyModel(model);
}

TEST(Model, LifecycleAndFeedingErrorsAreFatal)
{
    Layer* x = Input("x");
    Layer* y = Input("y");
    Layer* out = Sum("out", {x, y});
    Layer* outputs[] = {out};
    Model* model = CreateModel(outputs, 1);

    Tensor* t4 = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 4}), true);
    Tensor* t5 = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 5}), true);
    Tensor* batch2 = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 2}), true);
    ModelInput in[] = {{"x", t4}, {"y", t4}};

    EXPECT_EXIT(Predict(model, 2, in), ::testing::ExitedWithCode(1),
                "Model hasn't been initialized\\. Check out InitModel function\\.\\. File Model");
    EXPECT_EXIT(InitModel(model, 0), ::testing::ExitedWithCode(1), "batchSize > 0: false, expected: true");
    InitModel(model, 1);
    EXPECT_EXIT(InitModel(model, 1), ::testing::ExitedWithCode(1), "Model has been already initialized");

    in[1].tensor = t5;
    EXPECT_EXIT(Predict(model, 2, in), ::testing::ExitedWithCode(1),
                "in\\.shape\\.dimension\\[0\\] == out\\.shape\\.dimension\\[0\\]: false, expected: true");
    in[1].tensor = batch2;
    EXPECT_EXIT(Predict(model, 2, in), ::testing::ExitedWithCode(1), "Input batches must be same");

    Layer* empty[] = {nullptr};
    EXPECT_EXIT(CreateModel(empty, 0), ::testing::ExitedWithCode(1), "outputLayersCount > 0: false, expected: true");
    EXPECT_EXIT(CreateModel(nullptr, 1), ::testing::ExitedWithCode(1),
                "outputLayers==NULL, expected not NULL value");
    EXPECT_EXIT(CreateModel(empty, 1), ::testing::ExitedWithCode(1), "outputLayer==NULL, expected not NULL value");
    const auto twins = [] {
        Layer* two[2] = {Input("in"), Input("in")};
        CreateModel(two, 2);
    };
    EXPECT_EXIT(twins(), ::testing::ExitedWithCode(1), "Two input layers are named \"in\"; inputs are fed by name");

    testing::internal::CaptureStdout();
    DestroyModel(nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[DEBUG MESSAGE]: Model has been deleted already"),
              std::string::npos);
    DestroyTensor(t4);
    DestroyTensor(t5);
    DestroyTensor(batch2);
    DestroyModel(model);
}

TEST(Model, StridedInputsAreCopiedWhenGeometryMatches)
{
    // A padded input layer (rows of 3 stored in 4) fed by an equally padded tensor.
    Tensor* desc = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), false);
    Layer* x = AddInputLayer("x", desc);
    DestroyTensor(x->kernel->output[0]);
    TensorStrides st;
    memset(&st, 0, sizeof(st));
    st.dimension[0] = 4;
    st.dimension[1] = 1;
    x->kernel->output[0] = CreateTensorWithStrides(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), st, false);
    Layer* outputs[] = {x};
    Model* model = CreateModel(outputs, 1);
    InitModel(model, 1);

    float host[8] = {1, 2, 3, -1, 4, 5, 6, -1};
    Tensor* t = CreateTensorWithStrides(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), st, false);
    SetTensorData(t, host);
    ModelInput in[] = {{"x", t}};
    const float* o = (const float*)Predict(model, 1, in)[0]->kernel->output[0]->data;
    EXPECT_EQ(o[0], 1.0f);
    EXPECT_EQ(o[2], 3.0f);
    EXPECT_EQ(o[4], 4.0f);
    EXPECT_EQ(o[6], 6.0f);

    Tensor* dense = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), true);
    in[0].tensor = dense;
    EXPECT_EXIT(Predict(model, 1, in), ::testing::ExitedWithCode(1), "Tensor's shapes don't compare");
    DestroyTensor(t);
    DestroyTensor(dense);
    DestroyTensor(desc);
    DestroyModel(model);
}

TEST(Model, PlannedOutputsArePlacedAtTheirOffsets)
{
    Layer* x = Input("x");
    Layer* h = Sum("h", {x});
    Layer* out = Sum("out", {h});
    Layer* outputs[] = {out};
    Model* model = CreateModel(outputs, 1);
    // Hand-made plan: h at offset 16, out at offset 0 of a 32-byte block.
    TensorsSharedMemory& shm = model->tensorsSharedMemory;
    model->useTensorsSharedMemory = true;
    shm.numRecords = 2;
    shm.tensorUsageRecords = (TensorUsageRecord*)calloc(3, sizeof(TensorUsageRecord));
    shm.offsets = (uint32_t*)calloc(2, sizeof(uint32_t));
    shm.tensorUsageRecords[0] = {1, 2, 16};
    shm.tensorUsageRecords[1] = {2, 2, 16};
    shm.offsets[0] = 16;
    shm.offsets[1] = 0;
    shm.size = 32;
    shm.data = (uint8_t*)calloc(32, 1);
    // The input layer is not planned: it is given owned storage.
    x->staticOutput = true;
    InitModel(model, 1);
    EXPECT_EQ(h->kernel->output[0]->data, shm.data + 16);
    EXPECT_EQ(out->kernel->output[0]->data, shm.data);
    EXPECT_TRUE(x->kernel->output[0]->allocatedData);
    DestroyModel(model);
}

TEST(Model, GetSplitAxisFindsTheSingleCutDimension)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 8, 8, 16}), false);
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 8, 8, 4}), false);
    uint32_t p[18] = {0, 0, 0, 4, 0, 0, 1, 8, 8, 8, 0, 0, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(GetSplitAxis(in, out, p), 3);
    p[15] = 2;  // a step other than 1
    EXPECT_EQ(GetSplitAxis(in, out, p), -1);
    p[15] = 1;
    p[7] = 7;  // extents disagree with the range
    EXPECT_EQ(GetSplitAxis(in, out, p), -1);
    p[7] = 8;
    Tensor* same = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 8, 8, 16}), false);
    uint32_t whole[18] = {0, 0, 0, 0, 0, 0, 1, 8, 8, 16, 0, 0, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(GetSplitAxis(in, same, whole), -1);  // nothing cut
    Tensor* two = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 4, 8, 4}), false);
    uint32_t both[18] = {0, 0, 0, 4, 0, 0, 1, 4, 8, 8, 0, 0, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(GetSplitAxis(in, two, both), -1);  // two cuts
    DestroyTensor(in);
    DestroyTensor(out);
    DestroyTensor(same);
    DestroyTensor(two);
}
