#include <gtest/gtest.h>

#include <random>

#include "DataTypeConvert.h"
#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

namespace {

// Builds a Convert layer over a copy of `src`, runs its kernel and returns it.
Layer* RunConvert(const Tensor* src, DataLayout layout, DataType dtype)
{
    Tensor* in = CreateTensorWithStrides((DataType)src->dtype, (DataLayout)src->layout, 4, src->shape, src->stride, true);
    CopyTensorData(src, in);
    Layer* layer = AddConvertLayer(nullptr, in, nullptr, layout, dtype);
    AllocTensorData(layer->kernel->output[0]);
    nn_kernel_fn_list[kfname_Convert_ref]->execute(layer->kernel);
    return layer;
}

// Coordinate of the input element an output coordinate reads.
Dims Source(const Dims& c, uint32_t inLayout, uint32_t outLayout)
{
    if (inLayout == DL_NHWC && outLayout == DL_NCHW) return {c[0], c[2], c[3], c[1]};
    if (inLayout == DL_NCHW && outLayout == DL_NHWC) return {c[0], c[3], c[1], c[2]};
    return c;
}

}  // namespace

TEST(ConvertRef, LayoutPermutationsOfEveryElementSize)
{
    std::mt19937 rng(8801);
    for (int iter = 0; iter < 24; ++iter) {
        const DataLayout from = iter % 2 ? DL_NHWC : DL_NCHW;
        const DataLayout to = iter % 2 ? DL_NCHW : DL_NHWC;
        const DataType dt = (DataType)(iter % 6);
        TensorPtr src = MakeTensor(dt, RandomDims(rng, 4, 6), iter % 3 == 0 ? 2 : 0, from);
        FillRandom(src.get(), rng);
        Layer* layer = RunConvert(src.get(), to, dt);
        const Tensor* out = layer->kernel->output[0];
        EXPECT_EQ(out->layout, (uint32_t)to);
        uint64_t wrong = 0;
        ForEachIndex(DimsOf(out), [&](const Dims& c) { wrong += Raw(out, c) != Raw(src.get(), Source(c, from, to)); });
        EXPECT_EQ(wrong, 0u) << DimsText(DimsOf(src.get())) << " type " << dt;
        DestroyLayer(layer);
    }
}

TEST(ConvertRef, TypeChangesWithAndWithoutPermutation)
{
    std::mt19937 rng(8802);
    TensorPtr f32 = MakeTensor(DT_FLOAT32, {2, 3, 4, 5}, 0, DL_NHWC);
    FillRandom(f32.get(), rng);
    for (DataLayout to : {DL_NHWC, DL_NCHW}) {
        // float32 to float16, permuted through a float32 temporary or not.
        Layer* layer = RunConvert(f32.get(), to, DT_FLOAT16);
        const Tensor* out = layer->kernel->output[0];
        uint64_t wrong = 0;
        ForEachIndex(DimsOf(out), [&](const Dims& c) {
            wrong += At<uint16_t>(out, c) != corvus_test::Half(At<float>(f32.get(), Source(c, DL_NHWC, to)));
        });
        EXPECT_EQ(wrong, 0u);
        DestroyLayer(layer);
    }
    TensorPtr f16 = MakeTensor(DT_FLOAT16, {1, 4, 3, 2}, 1, DL_NCHW);
    FillRandom(f16.get(), rng);
    for (DataLayout to : {DL_NCHW, DL_NHWC}) {
        Layer* layer = RunConvert(f16.get(), to, DT_FLOAT32);
        const Tensor* out = layer->kernel->output[0];
        uint64_t wrong = 0;
        ForEachIndex(DimsOf(out), [&](const Dims& c) {
            wrong += At<float>(out, c) != corvus_test::Float(At<uint16_t>(f16.get(), Source(c, DL_NCHW, to)));
        });
        EXPECT_EQ(wrong, 0u);
        DestroyLayer(layer);
    }
    {
        // Same layout, float32 to int32 truncates.
        TensorPtr v = MakeTensor(DT_FLOAT32, {1, 1, 1, 3}, 0, DL_NHWC);
        const float values[3] = {2.75f, -1.5f, 0.25f};
        memcpy(v->data, values, sizeof(values));
        Layer* layer = RunConvert(v.get(), DL_NHWC, DT_INT32);
        const int32_t* o = (const int32_t*)layer->kernel->output[0]->data;
        EXPECT_EQ(std::vector<int32_t>(o, o + 3), (std::vector<int32_t>{2, -1, 0}));
        DestroyLayer(layer);
    }
}

TEST(ConvertRef, UnhandledCombinationFails)
{
    corvus_test::ExpectFatal(
        "Convert_ref",
        {{[] { RunConvert(MakeTensor(DT_INT32, {1, 2, 2, 3}, 0, DL_NHWC).get(), DL_NCHW, DT_FLOAT32); }, "Unhandled error\n"}});
}

TEST(ExpandChannelsRef, CopiesInputChannelsAndZeroesTheRest)
{
    std::mt19937 rng(8803);
    for (DataType dt : {DT_FLOAT32, DT_FLOAT16, DT_INT8}) {
        TensorPtr src = MakeTensor(dt, {2, 3, 2, 3}, 0, DL_NHWC);
        FillRandom(src.get(), rng);
        Tensor* in = CreateTensor(dt, DL_NONE, 4, src->shape, true);
        CopyTensorData(src.get(), in);
        Layer* layer = AddExpandChannels(nullptr, in, "x", DL_NHWC, 8);
        Tensor* out = layer->kernel->output[0];
        ASSERT_EQ(DimsOf(out), (Dims{2, 3, 2, 8}));
        EXPECT_EQ(in->layout, (uint32_t)DL_NHWC);
        AllocTensorData(out);
        memset(out->data, 0x5A, GetTensorSize(out) * DataTypeSize(dt));
        nn_kernel_fn_list[kfname_ExpandChannels_ref]->execute(layer->kernel);
        uint64_t wrong = 0;
        ForEachIndex(DimsOf(out), [&](const Dims& c) {
            wrong += Raw(out, c) != (c[3] < 3 ? Raw(src.get(), c) : 0u);
        });
        EXPECT_EQ(wrong, 0u) << dt;
        DestroyLayer(layer);
    }
}
