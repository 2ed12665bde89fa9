#include <gtest/gtest.h>

#include <random>

#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

TEST(FlattenRef, RowsFollowStoredOrderFromDenseAndPaddedInputs)
{
    std::mt19937 rng(8701);
    for (uint32_t pad : {0u, 3u})
        for (DataType dt : {DT_FLOAT32, DT_FLOAT16, DT_UINT8}) {
            TensorPtr ref = MakeTensor(dt, {2, 3, 4, 5}, pad, DL_NHWC);
            FillRandom(ref.get(), rng);
            Tensor* in = CreateTensorWithStrides(dt, DL_NHWC, 4, ref->shape, ref->stride, true);
            CopyTensorData(ref.get(), in);
            Layer* layer = AddFlattenLayer(nullptr, in, "flat");
            Tensor* out = layer->kernel->output[0];
            ASSERT_EQ(DimsOf(out), (Dims{2, 60}));
            EXPECT_EQ(out->layout, DL_NC);
            AllocTensorData(out);
            nn_kernel_fn_list[kfname_Flatten_ref]->execute(layer->kernel);
            uint64_t wrong = 0;
            ForEachIndex({2, 3, 4, 5}, [&](const Dims& c) {
                wrong += Raw(out, {c[0], (c[1] * 4 + c[2]) * 5 + c[3]}) != Raw(ref.get(), c);
            });
            EXPECT_EQ(wrong, 0u) << "pad " << pad << " type " << dt;
            DestroyLayer(layer);
        }
}

// Reshape, Squeeze and Unsqueeze layers all run the reshape kernel: a copy
// of the storage into the new shape.
TEST(ReshapeRef, CopiesStorageAndSkipsViews)
{
    std::mt19937 rng(8702);
    const uint32_t shape[2] = {4, 6};
    const struct {
        DataType dt;
        Dims in;
        int kind;  // 0 reshape, 1 squeeze, 2 unsqueeze
        std::vector<int32_t> axes;
        Dims out;
    } cases[] = {{DT_FLOAT32, {2, 3, 4}, 0, {}, {4, 6}},
                 {DT_FLOAT16, {1, 3, 1}, 1, {-1}, {1, 3}},
                 {DT_INT32, {3, 4}, 2, {0, 3}, {1, 3, 4, 1}}};
    for (const auto& c : cases) {
        Tensor* in = CreateTensor(c.dt, DL_NONE, (uint32_t)c.in.size(), Shape(c.in), true);
        FillRandom(in, rng);
        Tensor* ins[2] = {in, c.kind ? Int32Tensor(c.axes).release() : nullptr};
        Layer* layer = c.kind == 0   ? AddReshapeLayer(nullptr, in, "r", shape, 2)
                       : c.kind == 1 ? AddSqueezeLayer(nullptr, ins, 2, nullptr)
                                     : AddUnsqueezeLayer(nullptr, ins, 2, nullptr);
        Tensor* out = layer->kernel->output[0];
        EXPECT_EQ(layer->op, (uint32_t)OP_Reshape);
        ASSERT_EQ(DimsOf(out), c.out);
        AllocTensorData(out);
        nn_kernel_fn_list[kfname_Reshape_ref]->execute(layer->kernel);
        EXPECT_EQ(memcmp(out->data, in->data, Count(c.in) * DataTypeSize(c.dt)), 0) << c.kind;
        if (c.kind == 0) {
            // An output that already is a view of the input is left alone.
            FreeTensorData(out);
            out->data = in->data;
            ((float*)in->data)[0] = 42.0f;
            Execute_Reshape_ref(layer->kernel);
            EXPECT_EQ(((float*)in->data)[0], 42.0f);
            out->data = nullptr;
        }
        DestroyLayer(layer);
    }
}

TEST(ReshapeRef, ChecksFailWithMessages)
{
    auto reshape = [](Dims in, uint32_t inPad, Dims out, uint32_t outPad) {
        Reshape_ref(MakeTensor(DT_FLOAT32, out, outPad).get(), MakeTensor(DT_FLOAT32, in, inPad).get());
    };
    auto flatten = [](Dims in, Dims out) {
        Flatten_ref(MakeTensor(DT_FLOAT32, out).get(), MakeTensor(DT_FLOAT32, in).get());
    };
    corvus_test::ExpectFatal(
        "Reshape_ref",
        {{[&] { reshape({2, 3}, 1, {6}, 0); },
          "indata->stride.dimension[indata->ndim - 2] == indata->shape.dimension[indata->ndim - 1]: false, "
          "expected: true"},
         {[&] { reshape({6}, 0, {2, 3}, 2); },
          "outdata->stride.dimension[outdata->ndim - 2] == outdata->shape.dimension[outdata->ndim - 1]: "
          "false, expected: true"},
         {[&] { reshape({6}, 0, {5}, 0); }, "Reshape_ref: input storage of 24 bytes does not fit the output's 20 bytes"},
         {[&] { flatten({2, 3, 4}, {2, 12}); }, "indata->ndim == 4: false, expected: true"},
         {[&] { flatten({2, 3, 4, 1}, {2, 13}); }, "Flatten_ref: output shape (2,13) does not hold input shape (2,3,4,1)"}});
}
