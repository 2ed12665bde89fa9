#include <gtest/gtest.h>

#include <climits>
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
    return CreateTensor(dt, layout, (uint32_t)dims.size(), ToShape(dims), false);
}

Layer* InputLayer(const char* name, DataType dt, const Dims& dims)
{
    TensorPtr desc(NewTensor(dt, dims));
    return AddInputLayer(name, desc.get());
}

Tensor* Values(const std::vector<int32_t>& v, DataType dt = DT_INT32) { return Int32Tensor(v, dt).release(); }

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

TEST(LayersDataMovement, OutputShapesLayoutsAndRecords)
{
    {
        Tensor* ins[3] = {NewTensor(DT_FLOAT32, {1, 2, 3, 4}, DL_NHWC), NewTensor(DT_FLOAT32, {1, 5, 3, 4}),
                          NewTensor(DT_FLOAT32, {1, 1, 3, 4})};
        Layer* l = AddConcatenateLayer(nullptr, ins, 3, nullptr, 1);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{1, 8, 3, 4}));
        EXPECT_EQ(l->kernel->output[0]->layout, (uint32_t)DL_NHWC);
        EXPECT_EQ(((MergeParams*)l->kernel->params)->axis, 1u);
        DestroyLayer(l);
    }
    {
        Layer* l = AddSplitLayer(nullptr, NewTensor(DT_FLOAT32, {10, 3}, DL_NC), 4, 0, nullptr);
        ASSERT_EQ(l->kernel->outputsNum, 3u);
        EXPECT_EQ(DimsOf(l->kernel->output[2]), (Dims{2, 3}));
        EXPECT_EQ(l->kernel->output[1]->layout, (uint32_t)DL_NC);
        EXPECT_EQ(((SplitParams*)l->kernel->params)->output_dim_len, 4u);
        EXPECT_EQ(((SplitParams*)l->kernel->params)->axis, 0u);
        DestroyLayer(l);
        // A length that divides the extent leaves no short piece.
        l = AddSplitLayer(nullptr, NewTensor(DT_FLOAT32, {8}), 4, 0, nullptr);
        EXPECT_EQ(l->kernel->outputsNum, 2u);
        EXPECT_EQ(DimsOf(l->kernel->output[1]), (Dims{4}));
        DestroyLayer(l);
    }
    {
        const uint32_t axes[3] = {2, 0, 1};
        Layer* l = AddTransposeLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3, 4}), axes, 3, nullptr);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{4, 2, 3}));
        const TransposeParams* p = (TransposeParams*)l->kernel->params;
        EXPECT_EQ(p->axes[0], 2u);
        EXPECT_EQ(p->axes[2], 1u);
        EXPECT_EQ(p->axes[3], 0u);
        DestroyLayer(l);
    }
    {
        Layer* l = AddConvertLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 3, 4}, DL_NHWC), nullptr, DL_NCHW, DT_FLOAT16);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{1, 4, 2, 3}));
        EXPECT_EQ(l->kernel->output[0]->dtype, (uint32_t)DT_FLOAT16);
        EXPECT_EQ(l->kernel->params, nullptr);
        DestroyLayer(l);
        l = AddConvertLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 3, 4}, DL_NCHW), nullptr, DL_NHWC, DT_FLOAT32);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{1, 3, 4, 2}));
        DestroyLayer(l);
    }
    {
        Layer* l = AddShuffleLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 2, 6}, DL_NHWC), nullptr, 3);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{1, 2, 2, 6}));
        EXPECT_EQ(((ShuffleParams*)l->kernel->params)->groups, 3u);
        DestroyLayer(l);
        l = AddExpandChannels(nullptr, NewTensor(DT_FLOAT16, {1, 2, 2, 3}, DL_NHWC), nullptr, DL_NHWC, 4);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{1, 2, 2, 4}));
        EXPECT_EQ(l->kernel->output[0]->layout, (uint32_t)DL_NHWC);
        EXPECT_EQ(l->kernel->params, nullptr);
        DestroyLayer(l);
    }
    {
        // Gather keeps the data's layout only for one-dimensional indices.
        Tensor* ins[2] = {NewTensor(DT_FLOAT32, {2, 3, 4, 5}, DL_NHWC), NewTensor(DT_INT32, {7}, DL_I)};
        Layer* l = AddGatherLayer(nullptr, ins, 2, -2, nullptr);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{2, 3, 7, 5}));
        EXPECT_EQ(l->kernel->output[0]->layout, (uint32_t)DL_NHWC);
        EXPECT_EQ(((GatherParams*)l->kernel->params)->axis, 2u);
        DestroyLayer(l);
        Tensor* ins2[2] = {NewTensor(DT_FLOAT32, {2, 3}), NewTensor(DT_INT32, {4, 5})};
        l = AddGatherLayer(nullptr, ins2, 2, 1, nullptr);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{2, 4, 5}));
        EXPECT_EQ(l->kernel->output[0]->layout, (uint32_t)DL_NONE);
        DestroyLayer(l);
    }
    {
        Tensor* ins[2] = {NewTensor(DT_FLOAT32, {4, 3}, DL_NC), NewTensor(DT_INT32, {2, 3})};
        Layer* l = AddGatherElementsLayer(nullptr, ins, -2, 2, nullptr);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{2, 3}));
        EXPECT_EQ(l->kernel->output[0]->layout, (uint32_t)DL_NC);
        EXPECT_EQ(((GatherElementsParams*)l->kernel->params)->axis, -2);
        DestroyLayer(l);
    }
    {
        Tensor* ins[3] = {NewTensor(DT_FLOAT32, {4, 5, 6}), NewTensor(DT_INT32, {2, 3, 2}),
                          NewTensor(DT_FLOAT32, {2, 3, 6})};
        Layer* l = AddScatterNDLayer(nullptr, ins, 3, SCATTER_REDUCTION_MAX, nullptr);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{4, 5, 6}));
        EXPECT_EQ(((ScatterParams*)l->kernel->params)->reduction, 3u);
        DestroyLayer(l);
    }
    {
        Tensor* ins[2] = {NewTensor(DT_INT8, {2, 3, 4, 5}, DL_NHWC), Values({1, 2, 3, 1}, DT_UINT32)};
        Layer* l = AddTileLayer(nullptr, ins, 2, nullptr);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{2, 6, 12, 5}));
        EXPECT_EQ(l->kernel->output[0]->layout, (uint32_t)DL_NHWC);
        EXPECT_EQ(l->kernel->output[0]->dtype, (uint32_t)DT_INT8);
        EXPECT_EQ(l->kernel->params, nullptr);
        DestroyLayer(l);
    }
    {
        Tensor* ins[2] = {NewTensor(DT_FLOAT16, {3, 1}), Values({2, 1, 4})};
        Layer* l = AddExpandLayer(nullptr, ins, 2, nullptr);
        EXPECT_EQ(l->op, (uint32_t)OP_Expand);
        EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{2, 3, 4}));
        EXPECT_EQ(l->kernel->output[0]->dtype, (uint32_t)DT_FLOAT16);
        const ExpandParams* p = (const ExpandParams*)l->kernel->params;
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(sizeof(ExpandParams), 8u);
        EXPECT_EQ(p->reserved[0] | p->reserved[1], 0u);
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
    ExpectFatal("Layers",
                {{[] { AddFlattenLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3}), nullptr); },
                  "input tensor ndim must equal 4. ndim: 2"},
                 {[] { AddFlattenLayer(nullptr, NewTensor(DT_FLOAT32, {0, 3, 1, 1}), nullptr); },
                  "batches must be greater than 0"},
                 {[] {
                      const uint32_t shape[2] = {5, 5};
                      AddReshapeLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3, 4}), nullptr, shape, 2);
                  },
                  "AddReshapeLayer: Input (24) and output (25) tensors have different number of elements"},
                 {[] {
                      Tensor* ins[2] = {NewTensor(DT_FLOAT32, {1, 2, 3}), NewTensor(DT_FLOAT32, {1, 4, 3})};
                      AddConcatenateLayer(nullptr, ins, 2, nullptr, 3);
                  },
                  "axis must be a value from 0 to 2. Currect value is 3"},
                 {[] {
                      Tensor* ins[2] = {NewTensor(DT_FLOAT32, {1, 2, 3}), NewTensor(DT_FLOAT16, {1, 4, 3})};
                      AddConcatenateLayer(nullptr, ins, 2, nullptr, 1);
                  },
                  "inputTensor0->dtype == inputTensorI->dtype: false, expected: true"},
                 {[] {
                      Tensor* ins[2] = {NewTensor(DT_FLOAT32, {1, 2, 3}), NewTensor(DT_FLOAT32, {2, 3})};
                      AddConcatenateLayer(nullptr, ins, 2, nullptr, 1);
                  },
                  "dimensions number of input tensors must be the same"},
                 {[] { AddSplitLayer(nullptr, NewTensor(DT_FLOAT32, {4, 2}), 1, 2, nullptr); }, "inTensor->ndim > axis"},
                 {[] { AddSplitLayer(nullptr, NewTensor(DT_FLOAT32, {4, 2}), 0, 1, nullptr); },
                  "output_dim_len must be greater than 0"},
                 {[] {
                      Tensor* ins[4] = {NewTensor(DT_FLOAT32, {4}), Values({0}), Values({1}), Values({0})};
                      AddSliceLayer(nullptr, ins, 4, nullptr);
                  },
                  "AddSliceLayer: inputs_num must be equal 5. Current value: 4"},
                 {[] {
                      const uint32_t axes[2] = {1, 0};
                      AddTransposeLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3, 4}), axes, 2, nullptr);
                  },
                  "Incorrect axis length in Transpose Layer"},
                 {[] { AddTransposeLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3}), nullptr, 2, nullptr); },
                  "axes==NULL, expected not NULL value"},
                 {[] {
                      const uint32_t axes[2] = {1, 1};
                      AddTransposeLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3}), axes, 2, nullptr);
                  },
                  "AddTransposeLayer: axes (1,1) are not a permutation of the input's 2 dimensions"},
                 {[] { AddConvertLayer(nullptr, NewTensor(DT_FLOAT32, {2, 3}), nullptr, DL_NC, DT_FLOAT32); },
                  "inTensor->ndim != 4"},
                 {[] {
                      AddConvertLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 3, 4}, DL_NHWC), nullptr, DL_HWCN,
                                      DT_FLOAT32);
                  },
                  "unavailable convert dataformat"},
                 {[] { AddShuffleLayer(nullptr, NewTensor(DT_FLOAT32, {1, 2, 2, 4}), nullptr, 0); },
                  "AddShuffleLayer: groups must be greater than 0"}});
}

TEST(LayersDataMovement, MoreConstructorChecksFailWithMessages)
{
    ExpectFatal(
        "Layers",
        {{[] { AddExpandChannels(nullptr, NewTensor(DT_FLOAT32, {2, 3, 4}), nullptr, DL_NHWC, 8); },
          "inTensor->ndim == 4: false, expected: true"},
         {[] { AddExpandChannels(nullptr, NewTensor(DT_FLOAT32, {1, 2, 2, 3}, DL_NCHW), nullptr, DL_NHWC, 8); },
          "inTensor->layout == layout: false, expected: true"},
         {[] { AddExpandChannels(nullptr, NewTensor(DT_FLOAT32, {1, 2, 2, 3}, DL_NCHW), nullptr, DL_NCHW, 8); },
          "inTensor->layout == DL_NHWC: false, expected: true"},
         {[] { AddExpandChannels(nullptr, NewTensor(DT_FLOAT32, {1, 2, 2, 9}), nullptr, DL_NHWC, 8); },
          "inC <= outChannels: false, expected: true"},
         {[] {
              Tensor* ins[1] = {NewTensor(DT_FLOAT32, {4})};
              AddGatherLayer(nullptr, ins, 1, 0, nullptr);
          },
          "AddGatherLayer: inputs_num must be equal 2. Current value: 1"},
         {[] {
              Tensor* ins[3] = {NewTensor(DT_FLOAT32, {4}), NewTensor(DT_INT32, {4}), NewTensor(DT_INT32, {4})};
              AddGatherElementsLayer(nullptr, ins, 0, 3, nullptr);
          },
          "AddGatherElementsLayer: inputs_num must be equal 2. Current value: 3"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {4, 2}), NewTensor(DT_INT32, {4})};
              AddGatherElementsLayer(nullptr, ins, 0, 2, nullptr);
          },
          "AddGatherElementsLayer: Input and indices tensors haveunequal dimensions"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {4, 2}), NewTensor(DT_INT32, {4, 2})};
              AddGatherElementsLayer(nullptr, ins, -3, 2, nullptr);
          },
          "AddGatherElementsLayer:Axis = -3 | Ndim = 2 |Axis out of range"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {4, 2}), NewTensor(DT_INT32, {1, 2})};
              AddScatterNDLayer(nullptr, ins, 2, 0, nullptr);
          },
          "AddScatterNDLayer: inputs_num must be equal 3. Current value: 2"},
         {[] {
              Tensor* ins[3] = {NewTensor(DT_FLOAT32, {4, 2}), NewTensor(DT_INT32, {3, 1}),
                                NewTensor(DT_FLOAT32, {3})};
              AddScatterNDLayer(nullptr, ins, 3, 0, nullptr);
          },
          "AddScatterNDLayer: updates rank must be equal to q + r - indices.shape[-1] - 1, where q is rank of "
          "indices, r is rank of data"},
         {[] {
              Tensor* ins[3] = {NewTensor(DT_FLOAT32, {4, 2}), NewTensor(DT_INT32, {3, 1}),
                                NewTensor(DT_FLOAT32, {3, 3})};
              AddScatterNDLayer(nullptr, ins, 3, 0, nullptr);
          },
          "AddScatterNDLayer: updates shape (3,3) must be (3,2)"},
         {[] {
              Tensor* ins[3] = {NewTensor(DT_FLOAT32, {4, 2}), NewTensor(DT_INT32, {3, 1}),
                                NewTensor(DT_FLOAT32, {3, 2})};
              AddScatterNDLayer(nullptr, ins, 3, 5, nullptr);
          },
          "AddScatterNDLayer: unknown reduction 5"},
         {[] {
              Tensor* ins[1] = {NewTensor(DT_FLOAT32, {4})};
              AddTileLayer(nullptr, ins, 1, nullptr);
          },
          "AddTileLayer: inputs_num must be equal 2. Current value: 1"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {70000, 2}), Values({70000, 1}, DT_UINT32)};
              AddTileLayer(nullptr, ins, 2, nullptr);
          },
          "AddTileLayer: output dimension 0 is too large (4900000000)"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {70000, 70000}), Values({1, 1}, DT_UINT32)};
              AddTileLayer(nullptr, ins, 2, nullptr);
          },
          "AddTileLayer: output shape (70000,70000) holds more elements than a tensor can"},
         {[] {
              Tensor* ins[1] = {NewTensor(DT_FLOAT32, {4})};
              AddExpandLayer(nullptr, ins, 1, nullptr);
          },
          "AddExpandLayer: Inputs number must be equal 2. Current value: 1"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {4}), Values({2, 4}, DT_UINT32)};
              AddExpandLayer(nullptr, ins, 2, nullptr);
          },
          "AddExpandLayer: Shape tensor data type is not int32"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {4}), Values({2, -4})};
              AddExpandLayer(nullptr, ins, 2, nullptr);
          },
          "AddExpandLayer: Shape value -4 at position 1 must be positive"},
         {[] {
              Tensor* ins[1] = {NewTensor(DT_FLOAT32, {4})};
              AddUnsqueezeLayer(nullptr, ins, 1, nullptr);
          },
          "AddUnsqueezeLayer: Inputs number must be equal 2. Current value: 1"},
         {[] {
              Tensor* ins[3] = {NewTensor(DT_FLOAT32, {4}), Values({0}), Values({0})};
              AddSqueezeLayer(nullptr, ins, 3, nullptr);
          },
          "AddSqueezeLayer: Inputs numberbe equal 2. Current value: 3"},
         {[] {
              Tensor* ins[2] = {NewTensor(DT_FLOAT32, {1}), Values({0})};
              AddSqueezeLayer(nullptr, ins, 2, nullptr);
          },
          "AddSqueezeLayer: Result axes dimensions number (0)is less then zero"}});
}

TEST(LayersDataMovement, ConcatenateMismatchPrintsBothShapesFirst)
{
    // (1,2,3) and (1,4,3) join on axis 1 but not on axis 2.
    Tensor* ok[2] = {NewTensor(DT_FLOAT32, {1, 2, 3}), NewTensor(DT_FLOAT32, {1, 4, 3})};
    Layer* l = AddConcatenateLayer(nullptr, ok, 2, nullptr, 1);
    EXPECT_EQ(DimsOf(l->kernel->output[0]), (Dims{1, 6, 3}));
    DestroyLayer(l);
    auto mismatch = [] {
        Tensor* ins[2] = {NewTensor(DT_FLOAT32, {1, 2, 3}), NewTensor(DT_FLOAT32, {1, 4, 3})};
        AddConcatenateLayer(nullptr, ins, 2, nullptr, 2);
    };
    EXPECT_EXIT(mismatch(), ::testing::ExitedWithCode(1),
        "inputTensor0 shape: \\(1,2,3\\)\ninputTensor1 shape: \\(1,4,3\\)\n" +
            corvus_test::Fatal("Layers", "dimensions of input tensors (except of axis dim) must be the same"));
}

TEST(LayersDataMovement, ShapeRulesOfTheTensorUtilitiesSurface)
{
    // Constructors report the shape rules' own failures.
    ExpectFatal("TensorOperation",
                {{[] {
                      Tensor* ins[5] = {NewTensor(DT_FLOAT32, {10}), Values({0}), Values({20}), Values({0}),
                                        Values({1})};
                      AddSliceLayer(nullptr, ins, 5, nullptr);
                  },
                  "GetSliceShape: There is something wrong with output tensor shape: (20). Input tensor shape: (10)"},
                 {[] {
                      Tensor* ins[2] = {NewTensor(DT_FLOAT32, {1, 3, 1}), Values({1})};
                      AddSqueezeLayer(nullptr, ins, 2, nullptr);
                  },
                  "GetSqueezeShape: Axis for squeeze operation: (1), is out of data tensor dimensions: (1,3,1), or "
                  "axis for squeeze operation is not equal to 1"},
                 {[] {
                      Tensor* ins[2] = {NewTensor(DT_FLOAT32, {3}), Values({2})};
                      AddExpandLayer(nullptr, ins, 2, nullptr);
                  },
                  "GetBroadcastShape: Tensors with shapes: (3)(2), are not broadcastable"}});
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
