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
    for (uint32_t pad : {0u, 3u}) {
        for (DataType dt : {DT_FLOAT32, DT_FLOAT16, DT_UINT8}) {
            TensorPtr ref = MakeTensor(dt, {2, 3, 4, 5}, pad, DL_NHWC);
            FillRandom(ref.get(), rng);
            Tensor* in = CreateTensorWithStrides(dt, DL_NHWC, 4, ref->shape, ref->stride, true);
            CopyTensorData(ref.get(), in);
            Layer* layer = AddFlattenLayer(nullptr, in, "flat");
            Tensor* out = layer->kernel->output[0];
            ASSERT_EQ(DimsOf(out), (Dims{2, 60}));
            EXPECT_EQ(out->layout, DL_NC);
            EXPECT_EQ(((const FlattenParams*)layer->kernel->params)->layout, (uint32_t)DL_NHWC);
            AllocTensorData(out);
            nn_kernel_fn_list[kfname_Flatten_ref]->execute(layer->kernel);
            uint64_t wrong = 0;
            ForEachCoord({2, 3, 4, 5}, [&](const Dims& c) {
                wrong += Raw(out, {c[0], (c[1] * 4 + c[2]) * 5 + c[3]}) != Raw(ref.get(), c);
            });
            EXPECT_EQ(wrong, 0u) << "pad " << pad << " type " << dt;
            DestroyLayer(layer);
        }
    }
}

TEST(ReshapeRef, CopiesStorageAndSkipsViews)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 3, ToShape({2, 3, 4}), true);
    FillIota(in);
    const uint32_t shape[2] = {4, 6};
    Layer* layer = AddReshapeLayer(nullptr, in, "r", shape, 2);
    Tensor* out = layer->kernel->output[0];
    ASSERT_EQ(DimsOf(out), (Dims{4, 6}));
    EXPECT_EQ(out->layout, DL_NONE);
    AllocTensorData(out);
    nn_kernel_fn_list[kfname_Reshape_ref]->execute(layer->kernel);
    for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(((float*)out->data)[i], (float)i);

    // An output that already is a view of the input is left alone.
    FreeTensorData(out);
    out->data = in->data;
    ((float*)in->data)[0] = 42.0f;
    Execute_Reshape_ref(layer->kernel);
    EXPECT_EQ(((float*)in->data)[0], 42.0f);
    out->data = nullptr;
    DestroyLayer(layer);
}

TEST(ReshapeRef, SqueezeAndUnsqueezeLayersRunTheReshapeKernel)
{
    std::mt19937 rng(8702);
    {
        Tensor* in = CreateTensor(DT_FLOAT16, DL_NONE, 3, ToShape({1, 3, 1}), true);
        FillRandom(in, rng);
        Tensor* ins[2] = {in, Int32Tensor({-1}).release()};
        Layer* layer = AddSqueezeLayer(nullptr, ins, 2, nullptr);
        Tensor* out = layer->kernel->output[0];
        EXPECT_EQ(layer->op, (uint32_t)OP_Reshape);
        EXPECT_EQ(layer->kernel->params, nullptr);
        ASSERT_EQ(DimsOf(out), (Dims{1, 3}));
        AllocTensorData(out);
        nn_kernel_fn_list[kfname_Reshape_ref]->execute(layer->kernel);
        EXPECT_EQ(memcmp(out->data, in->data, 6), 0);
        DestroyLayer(layer);
    }
    {
        Tensor* in = CreateTensor(DT_INT32, DL_NONE, 2, ToShape({3, 4}), true);
        FillRandom(in, rng);
        Tensor* ins[2] = {in, Int32Tensor({0, 3}).release()};
        Layer* layer = AddUnsqueezeLayer(nullptr, ins, 2, nullptr);
        Tensor* out = layer->kernel->output[0];
        EXPECT_EQ(layer->op, (uint32_t)OP_Reshape);
        ASSERT_EQ(DimsOf(out), (Dims{1, 3, 4, 1}));
        AllocTensorData(out);
        nn_kernel_fn_list[kfname_Reshape_ref]->execute(layer->kernel);
        EXPECT_EQ(memcmp(out->data, in->data, 48), 0);
        DestroyLayer(layer);
    }
}

TEST(ReshapeRef, ChecksFailWithMessages)
{
    using corvus_test::ExpectFatal;
    ExpectFatal("Reshape_ref",
                {{[] {
                      TensorPtr in = MakeTensor(DT_FLOAT32, {2, 3}, 1), out = MakeTensor(DT_FLOAT32, {6});
                      Reshape_ref(out.get(), in.get());
                  },
                  "indata->stride.dimension[indata->ndim - 2] == indata->shape.dimension[indata->ndim - 1]: false, "
                  "expected: true"},
                 {[] {
                      TensorPtr in = MakeTensor(DT_FLOAT32, {6}), out = MakeTensor(DT_FLOAT32, {2, 3}, 2);
                      Reshape_ref(out.get(), in.get());
                  },
                  "outdata->stride.dimension[outdata->ndim - 2] == outdata->shape.dimension[outdata->ndim - 1]: "
                  "false, expected: true"},
                 {[] {
                      TensorPtr in = MakeTensor(DT_FLOAT32, {6}), out = MakeTensor(DT_FLOAT32, {5});
                      Reshape_ref(out.get(), in.get());
                  },
                  "Reshape_ref: input storage of 24 bytes does not fit the output's 20 bytes"},
                 {[] { Execute_Reshape_ref(nullptr); }, "kernel pointer is null"}});
    ExpectFatal("Reshape_ref", {{[] {
                                     TensorPtr in = MakeTensor(DT_FLOAT32, {2, 3, 4}), out = MakeTensor(DT_FLOAT32, {2, 12});
                                     Flatten_ref(out.get(), in.get());
                                 },
                                 "indata->ndim == 4: false, expected: true"},
                                {[] {
                                     TensorPtr in = MakeTensor(DT_FLOAT32, {2, 3, 4, 1}), out = MakeTensor(DT_FLOAT32, {2, 13});
                                     Flatten_ref(out.get(), in.get());
                                 },
                                 "Flatten_ref: output shape (2,13) does not hold input shape (2,3,4,1)"},
                                {[] { Execute_Flatten_ref(nullptr); }, "kernel pointer is null"}});
}
