#include <gtest/gtest.h>

#include <climits>
#include <list>
#include <random>

#include "LayersDataMovement.h"
#include "Model.h"
#include "datamovement_util.h"
#include "test_util.h"

using namespace dm_test;
using corvus_test::ExpectFatal;

namespace {

Tensor* NewTensor(DataType dt, const Dims& dims, DataLayout layout = DL_NONE)
{
    return CreateTensor(dt, layout, (uint32_t)dims.size(), Shape(dims), false);
}

Layer* InputLayer(const char* name, DataType dt, const Dims& dims)
{
    TensorPtr desc(NewTensor(dt, dims));
    return AddInputLayer(name, desc.get());
}

Tensor* Values(const std::vector<int32_t>& v, DataType dt = DT_INT32) { return Int32Tensor(v, dt).release(); }

// An array of tensors for a constructor that takes them over; the array
// itself lives until the process ends.
Tensor** Arr(std::initializer_list<Tensor*> l)
{
    static std::list<std::vector<Tensor*>> keep;
    return keep.emplace_back(l).data();
}

// An input layer whose output already holds constant values, standing for
// a constant producer in a hand-built graph.
Layer* ConstantLayer(const char* name, const std::vector<int32_t>& v, DataType dt = DT_INT32)
{
    TensorPtr desc = Int32Tensor(v, dt);
    Layer* layer = AddInputLayer(name, desc.get());
    AllocTensorData(layer->kernel->output[0]);
    if (!v.empty()) memcpy(layer->kernel->output[0]->data, v.data(), v.size() * sizeof(int32_t));
    return layer;
}

}  // namespace

TEST(LayersDataMovement, OutputShapesAndLayouts)
{
    const uint32_t perm[3] = {2, 0, 1};
    const struct {
        Layer* layer;
        Dims dims;
        DataLayout layout;
    } cases[] = {
        {AddConcatenateLayer(nullptr, Arr({NewTensor(DT_FLOAT32, {1, 2, 3, 4}, DL_NHWC), NewTensor(DT_FLOAT32, {1, 5, 3, 4}),
                                           NewTensor(DT_FLOAT32, {1, 1, 3, 4})}), 3, nullptr, 1),
         {1, 8, 3, 4}, DL_NHWC},
        {AddTransposeLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3, 4}), perm, 3, nullptr), {4, 2, 3}, DL_NONE},
        {AddConvertLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 3, 4}, DL_NHWC), nullptr, DL_NCHW, DT_FLOAT16),
         {1, 4, 2, 3}, DL_NCHW},
        {AddConvertLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 3, 4}, DL_NCHW), nullptr, DL_NHWC, DT_FLOAT32),
         {1, 3, 4, 2}, DL_NHWC},
        {AddShuffleLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 2, 6}, DL_NHWC), nullptr, 3), {1, 2, 2, 6}, DL_NHWC},
        {AddExpandChannels(nullptr, NewTensor(DT_FLOAT16, {1, 2, 2, 3}, DL_NHWC), nullptr, DL_NHWC, 4), {1, 2, 2, 4}, DL_NHWC},
        // Gather keeps the data's layout only for one-dimensional indices.
        {AddGatherLayer(nullptr, Arr({NewTensor(DT_FLOAT32, {2, 3, 4, 5}, DL_NHWC), NewTensor(DT_INT32, {7}, DL_I)}), 2, -2,
                        nullptr),
         {2, 3, 7, 5}, DL_NHWC},
        {AddGatherLayer(nullptr, Arr({NewTensor(DT_FLOAT32, {2, 3}), NewTensor(DT_INT32, {4, 5})}), 2, 1, nullptr),
         {2, 4, 5}, DL_NONE},
        {AddGatherElementsLayer(nullptr, Arr({NewTensor(DT_FLOAT32, {4, 3}, DL_NC), NewTensor(DT_INT32, {2, 3})}), -2, 2,
                                nullptr),
         {2, 3}, DL_NC},
        {AddScatterNDLayer(nullptr, Arr({NewTensor(DT_FLOAT32, {4, 5, 6}), NewTensor(DT_INT32, {2, 3, 2}),
                                         NewTensor(DT_FLOAT32, {2, 3, 6})}), 3, SCATTER_REDUCTION_MAX, nullptr),
         {4, 5, 6}, DL_NONE},
        {AddTileLayer(nullptr, Arr({NewTensor(DT_INT8, {2, 3, 4, 5}, DL_NHWC), Values({1, 2, 3, 1}, DT_UINT32)}), 2, nullptr),
         {2, 6, 12, 5}, DL_NHWC},
        {AddExpandLayer(nullptr, Arr({NewTensor(DT_FLOAT16, {3, 1}), Values({2, 1, 4})}), 2, nullptr), {2, 3, 4}, DL_NONE},
    };
    for (const auto& c : cases) {
        const Tensor* in = c.layer->kernel->input[0];
        EXPECT_EQ(DimsOf(c.layer->kernel->output[0]), c.dims) << LayerOpTypeToStr((LayerOpType)c.layer->op);
        EXPECT_EQ(c.layer->kernel->output[0]->layout, (uint32_t)c.layout) << LayerOpTypeToStr((LayerOpType)c.layer->op);
        if (c.layer->op != OP_Convert) {
            EXPECT_EQ(c.layer->kernel->output[0]->dtype, in->dtype);
        }
        DestroyLayer(c.layer);
    }
    // Split: pieces of the given length, the last one short; a length that
    // divides the extent leaves no short piece.
    for (uint32_t n : {10u, 8u}) {
        Layer* l = AddSplitLayer(nullptr, NewTensor(DT_FLOAT32, {n, 3}, DL_NC), 4, 0, nullptr);
        ASSERT_EQ(l->kernel->outputsNum, (n + 3) / 4);
        EXPECT_EQ(DimsOf(l->kernel->output[l->kernel->outputsNum - 1]), (Dims{n == 10 ? 2u : 4u, 3}));
        EXPECT_EQ(l->kernel->output[1]->layout, (uint32_t)DL_NC);
        DestroyLayer(l);
    }
}

TEST(LayersDataMovement, ConstantInputsAreReadFromProducingLayers)
{
    Layer* data = InputLayer("data", DT_FLOAT32, {4, 6});
    Layer* starts = ConstantLayer("starts", {1, -1});
    Layer* ends = ConstantLayer("ends", {INT_MAX, INT_MIN});
    Layer* axes = ConstantLayer("axes", {0, 1});
    Layer* steps = ConstantLayer("steps", {2, -3});
    Layer* ins[5] = {data, starts, ends, axes, steps};
    Layer* slice = AddSliceLayer(ins, nullptr, 5, "slice");
    EXPECT_EQ(DimsOf(slice->kernel->output[0]), (Dims{2, 2}));
    EXPECT_EQ(slice->inputLayersNum, 5u);
    EXPECT_EQ(starts->consumerLayersNum, 1u);
    EXPECT_EQ(starts->consumerLayers[0], slice);
    // The layer's own input descriptions carry no data.
    EXPECT_EQ(slice->kernel->input[1]->data, nullptr);
    Layer* reps = ConstantLayer("reps", {2, 1}, DT_UINT32);
    Layer* tileIns[2] = {slice, reps};
    Layer* tile = AddTileLayer(tileIns, nullptr, 2, nullptr);
    EXPECT_EQ(DimsOf(tile->kernel->output[0]), (Dims{4, 2}));
    for (Layer* l : {tile, reps, slice, steps, axes, ends, starts, data}) DestroyLayer(l);
}

TEST(LayersDataMovement, ConstructorChecksFailWithMessages)
{
    auto f32 = [](Dims d, DataLayout l = DL_NONE) { return NewTensor(DT_FLOAT32, d, l); };
    auto i32 = [](Dims d) { return NewTensor(DT_INT32, d); };
    const uint32_t shape55[2] = {5, 5}, axes10[2] = {1, 0}, axes11[2] = {1, 1};
    ExpectFatal(
        "Layers",
        {{[&] { AddFlattenLayer(nullptr, f32({2, 3}), nullptr); }, "input tensor ndim must equal 4. ndim: 2"},
         {[&] { AddFlattenLayer(nullptr, f32({0, 3, 1, 1}), nullptr); }, "batches must be greater than 0"},
         {[&] { AddReshapeLayer(nullptr, f32({2, 3, 4}), nullptr, shape55, 2); },
          "AddReshapeLayer: Input (24) and output (25) tensors have different number of elements"},
         {[&] { AddConcatenateLayer(nullptr, Arr({f32({1, 2, 3}), f32({1, 4, 3})}), 2, nullptr, 3); },
          "axis must be a value from 0 to 2. Currect value is 3"},
         {[&] { AddConcatenateLayer(nullptr, Arr({f32({1, 2, 3}), NewTensor(DT_FLOAT16, {1, 4, 3})}), 2, nullptr, 1); },
          "inputTensor0->dtype == inputTensorI->dtype: false, expected: true"},
         {[&] { AddConcatenateLayer(nullptr, Arr({f32({1, 2, 3}), f32({2, 3})}), 2, nullptr, 1); },
          "dimensions number of input tensors must be the same"},
         {[&] { AddSplitLayer(nullptr, f32({4, 2}), 1, 2, nullptr); }, "inTensor->ndim > axis"},
         {[&] { AddSplitLayer(nullptr, f32({4, 2}), 0, 1, nullptr); }, "output_dim_len must be greater than 0"},
         {[&] { AddSliceLayer(nullptr, Arr({f32({4}), Values({0}), Values({1}), Values({0})}), 4, nullptr); },
          "AddSliceLayer: inputs_num must be equal 5. Current value: 4"},
         {[&] { AddTransposeLayer(nullptr, f32({2, 3, 4}), axes10, 2, nullptr); }, "Incorrect axis length in Transpose Layer"},
         {[&] { AddTransposeLayer(nullptr, f32({2, 3}), nullptr, 2, nullptr); }, "axes==NULL, expected not NULL value"},
         {[&] { AddTransposeLayer(nullptr, f32({2, 3}), axes11, 2, nullptr); },
          "AddTransposeLayer: axes (1,1) are not a permutation of the input's 2 dimensions"},
         {[&] { AddConvertLayer(nullptr, f32({2, 3}), nullptr, DL_NC, DT_FLOAT32); }, "inTensor->ndim != 4"},
         {[&] { AddConvertLayer(nullptr, f32({1, 2, 3, 4}, DL_NHWC), nullptr, DL_HWCN, DT_FLOAT32); },
          "unavailable convert dataformat"},
         {[&] { AddShuffleLayer(nullptr, f32({1, 2, 2, 4}), nullptr, 0); }, "AddShuffleLayer: groups must be greater than 0"},
         {[&] { AddExpandChannels(nullptr, f32({2, 3, 4}), nullptr, DL_NHWC, 8); }, "inTensor->ndim == 4: false, expected: true"},
         {[&] { AddExpandChannels(nullptr, f32({1, 2, 2, 3}, DL_NCHW), nullptr, DL_NHWC, 8); },
          "inTensor->layout == layout: false, expected: true"},
         {[&] { AddExpandChannels(nullptr, f32({1, 2, 2, 3}, DL_NCHW), nullptr, DL_NCHW, 8); },
          "inTensor->layout == DL_NHWC: false, expected: true"},
         {[&] { AddExpandChannels(nullptr, f32({1, 2, 2, 9}), nullptr, DL_NHWC, 8); }, "inC <= outChannels: false, expected: true"},
         {[&] { AddGatherLayer(nullptr, Arr({f32({4})}), 1, 0, nullptr); },
          "AddGatherLayer: inputs_num must be equal 2. Current value: 1"},
         {[&] { AddGatherElementsLayer(nullptr, Arr({f32({4}), i32({4}), i32({4})}), 0, 3, nullptr); },
          "AddGatherElementsLayer: inputs_num must be equal 2. Current value: 3"},
         {[&] { AddGatherElementsLayer(nullptr, Arr({f32({4, 2}), i32({4})}), 0, 2, nullptr); },
          "AddGatherElementsLayer: Input and indices tensors haveunequal dimensions"},
         {[&] { AddGatherElementsLayer(nullptr, Arr({f32({4, 2}), i32({4, 2})}), -3, 2, nullptr); },
          "AddGatherElementsLayer:Axis = -3 | Ndim = 2 |Axis out of range"},
         {[&] { AddScatterNDLayer(nullptr, Arr({f32({4, 2}), i32({1, 2})}), 2, 0, nullptr); },
          "AddScatterNDLayer: inputs_num must be equal 3. Current value: 2"},
         {[&] { AddScatterNDLayer(nullptr, Arr({f32({4, 2}), i32({3, 1}), f32({3})}), 3, 0, nullptr); },
          "AddScatterNDLayer: updates rank must be equal to q + r - indices.shape[-1] - 1, where q is rank of "
          "indices, r is rank of data"},
         {[&] { AddScatterNDLayer(nullptr, Arr({f32({4, 2}), i32({3, 1}), f32({3, 3})}), 3, 0, nullptr); },
          "AddScatterNDLayer: updates shape (3,3) must be (3,2)"},
         {[&] { AddScatterNDLayer(nullptr, Arr({f32({4, 2}), i32({3, 1}), f32({3, 2})}), 3, 5, nullptr); },
          "AddScatterNDLayer: unknown reduction 5"},
         {[&] { AddTileLayer(nullptr, Arr({f32({4})}), 1, nullptr); }, "AddTileLayer: inputs_num must be equal 2. Current value: 1"},
         {[&] { AddTileLayer(nullptr, Arr({f32({70000, 2}), Values({70000, 1}, DT_UINT32)}), 2, nullptr); },
          "AddTileLayer: output dimension 0 is too large (4900000000)"},
         {[&] { AddTileLayer(nullptr, Arr({f32({70000, 2}), Values({1, 35000}, DT_UINT32)}), 2, nullptr); },
          "AddTileLayer: output shape (70000,70000) holds more elements than a tensor can"},
         {[&] { AddExpandLayer(nullptr, Arr({f32({4})}), 1, nullptr); },
          "AddExpandLayer: Inputs number must be equal 2. Current value: 1"},
         {[&] { AddExpandLayer(nullptr, Arr({f32({4}), Values({2, 4}, DT_UINT32)}), 2, nullptr); },
          "AddExpandLayer: Shape tensor data type is not int32"},
         {[&] { AddExpandLayer(nullptr, Arr({f32({4}), Values({2, -4})}), 2, nullptr); },
          "AddExpandLayer: Shape value -4 at position 1 must be positive"},
         {[&] { AddUnsqueezeLayer(nullptr, Arr({f32({4})}), 1, nullptr); },
          "AddUnsqueezeLayer: Inputs number must be equal 2. Current value: 1"},
         {[&] { AddSqueezeLayer(nullptr, Arr({f32({4}), Values({0}), Values({0})}), 3, nullptr); },
          "AddSqueezeLayer: Inputs numberbe equal 2. Current value: 3"},
         {[&] { AddSqueezeLayer(nullptr, Arr({f32({1}), Values({0})}), 2, nullptr); },
          "AddSqueezeLayer: Result axes dimensions number (0)is less then zero"}});
    // The shape rules' own failures surface through the constructors.
    ExpectFatal("TensorOperation",
                {{[&] { AddSliceLayer(nullptr, Arr({f32({10}), Values({0}), Values({20}), Values({0}), Values({1})}), 5, nullptr); },
                  "GetSliceShape: There is something wrong with output tensor shape: (20). Input tensor shape: (10)"},
                 {[&] { AddExpandLayer(nullptr, Arr({f32({3}), Values({2})}), 2, nullptr); },
                  "GetBroadcastShape: Tensors with shapes: (3)(2), are not broadcastable"}});
    // (1,2,3) and (1,4,3) join on axis 1 but not on axis 2; both shapes are printed first.
    Layer* l = AddConcatenateLayer(nullptr, Arr({f32({1, 2, 3}), f32({1, 4, 3})}), 2, nullptr, 1);
    EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{1, 6, 3}));
    DestroyLayer(l);
    EXPECT_EXIT(AddConcatenateLayer(nullptr, Arr({f32({1, 2, 3}), f32({1, 4, 3})}), 2, nullptr, 2),
                ::testing::ExitedWithCode(1),
                "inputTensor0 shape: \\(1,2,3\\)\ninputTensor1 shape: \\(1,4,3\\)\n" +
                    corvus_test::Fatal("Layers", "dimensions of input tensors (except of axis dim) must be the same"));
}

TEST(LayersDataMovement, HandBuiltModelPredicts)
{
    // x (2,3,4) -> transpose (2,0,1) -> slice axis 0 from the end by -2 ->
    // gather [2,0] on axis 2 -> concatenate with the slice on axis 2 ->
    // reshape (4,5) -> expand to (3,4,5); checked against the same
    // computation done by index. The reshape becomes a view of its input.
    Layer* x = InputLayer("x", DT_FLOAT32, {2, 3, 4});
    const uint32_t perm[3] = {2, 0, 1};
    Layer* t = AddTransposeLayer(x, nullptr, perm, 3, "transpose");
    Layer* sliceIns[5] = {t, ConstantLayer("s", {-1}), ConstantLayer("e", {INT_MIN}), ConstantLayer("a", {0}),
                          ConstantLayer("st", {-2})};
    Layer* s = AddSliceLayer(sliceIns, nullptr, 5, "slice");
    Layer* gatherIns[2] = {s, ConstantLayer("idx", {-1, 0})};
    Layer* g = AddGatherLayer(gatherIns, nullptr, 2, 2, "gather");
    Layer* catIns[2] = {g, s};
    Layer* c = AddConcatenateLayer(catIns, nullptr, 2, "concat", 2);
    const uint32_t shape[2] = {4, 5};
    Layer* r = AddReshapeLayer(c, nullptr, "reshape", shape, 2);
    Layer* expandIns[2] = {r, ConstantLayer("shape", {3, 1, 1})};
    Layer* e = AddExpandLayer(expandIns, nullptr, 2, "expand");

    Model* model = CreateModel(&e, 1);
    ASSERT_EQ(InitModel(model, 1), 1u);
    TensorPtr input = MakeTensor(DT_FLOAT32, {2, 3, 4});
    std::mt19937 rng(8901);
    FillRandom(input.get(), rng);
    ModelInput feed = {"x", input.get()};
    Layer** outs = Predict(model, 1, &feed);
    const Tensor* out = outs[0]->kernel->output[0];
    ASSERT_EQ(DimsOf(out), (Dims{3, 4, 5}));
    EXPECT_EQ(r->kernel->output[0]->data, c->kernel->output[0]->data);

    // transposed[i][j][k] = x[j][k][i]; sliced rows i = 3, 1; gathered columns 2, 0.
    const uint32_t rows[2] = {3, 1};
    std::vector<float> expected;
    for (uint32_t i = 0; i < 2; ++i)
        for (uint32_t j = 0; j < 2; ++j) {
            for (uint32_t k : {2u, 0u}) expected.push_back(At<float>(input.get(), {j, k, rows[i]}));
            for (uint32_t k = 0; k < 3; ++k) expected.push_back(At<float>(input.get(), {j, k, rows[i]}));
        }
    for (uint32_t i = 0; i < 60; ++i) EXPECT_EQ(((const float*)out->data)[i], expected[i % 20]) << i;
    // The gather indices were normalised in place.
    EXPECT_EQ(((const int32_t*)gatherIns[1]->kernel->output[0]->data)[0], 2);
    DestroyModel(model);
}
