// Convert (layout permutations and type changes) and ExpandChannels.
#include "LayersDataMovement.h"
#include "datamovement_util.h"

using namespace dm_test;

namespace {

// Builds a Convert layer over a copy of `src`, runs its kernel and returns it.
Layer* RunConvert(const Tensor* src, DataLayout layout, DataType dtype)
{
    Tensor* in =
        CreateTensorWithStrides((DataType)src->dtype, (DataLayout)src->layout, 4, src->shape, src->stride, true);
    CopyTensorData(src, in);
    Layer* layer = AddConvertLayer(nullptr, in, nullptr, layout, dtype);
    AllocTensorData(layer->kernel->output[0]);
    nn_kernel_fn_list[kfname_Convert_ref]->execute(layer->kernel);
    return layer;
}

// Coordinate of the input element an output coordinate reads.
Dims Source(const Dims& c, uint32_t from, uint32_t to)
{
    if (from == DL_NHWC && to == DL_NCHW) return {c[0], c[2], c[3], c[1]};
    if (from == DL_NCHW && to == DL_NHWC) return {c[0], c[3], c[1], c[2]};
    return c;
}

}  // namespace

TEST(ConvertRef, LayoutPermutationsAndTypeChanges)
{
    std::mt19937 rng(8801);
    // Every element size, either direction, padded or not: the same bits, permuted.
    for (int iter = 0; iter < 24; ++iter) {
        const DataLayout from = iter % 2 ? DL_NHWC : DL_NCHW, to = iter % 2 ? DL_NCHW : DL_NHWC;
        TensorPtr src = MakeTensor((DataType)(iter % 6), RandomDims(rng, 4, 6), iter % 3 == 0 ? 2 : 0, from);
        FillRandom(src.get(), rng);
        Layer* layer = RunConvert(src.get(), to, (DataType)src->dtype);
        EXPECT_EQ(layer->kernel->output[0]->layout, (uint32_t)to);
        EXPECT_EQ(Mismatches(layer->kernel->output[0], src.get(), [&](const Dims& c) { return Source(c, from, to); }),
                  0u)
            << DimsText(DimsOf(src.get())) << " type " << src->dtype;
        DestroyLayer(layer);
    }
    // float32 <-> float16, permuted (through a float32 temporary) or not.
    for (DataType dt : {DT_FLOAT32, DT_FLOAT16})
        for (DataLayout to : {DL_NHWC, DL_NCHW}) {
            const DataLayout from = dt == DT_FLOAT32 ? DL_NHWC : DL_NCHW;
            TensorPtr src = MakeTensor(dt, {2, 3, 4, 5}, dt == DT_FLOAT16, from);
            FillRandom(src.get(), rng);
            Layer* layer = RunConvert(src.get(), to, dt == DT_FLOAT32 ? DT_FLOAT16 : DT_FLOAT32);
            const Tensor* out = layer->kernel->output[0];
            uint64_t wrong = 0;
            ForEachIndex(DimsOf(out), [&](const Dims& c) {
                const Dims s = Source(c, from, to);
                wrong += dt == DT_FLOAT32 ? At<uint16_t>(out, c) != corvus_test::Half(At<float>(src.get(), s))
                                          : At<float>(out, c) != corvus_test::Float(At<uint16_t>(src.get(), s));
            });
            EXPECT_EQ(wrong, 0u) << dt << " to layout " << to;
            DestroyLayer(layer);
        }
    // Same layout, float32 to int32 truncates.
    TensorPtr v = MakeTensor(DT_FLOAT32, {1, 1, 1, 3}, 0, DL_NHWC);
    const float values[3] = {2.75f, -1.5f, 0.25f};
    memcpy(v->data, values, sizeof(values));
    Layer* layer = RunConvert(v.get(), DL_NHWC, DT_INT32);
    const int32_t* o = (const int32_t*)layer->kernel->output[0]->data;
    EXPECT_EQ(std::vector<int32_t>(o, o + 3), (std::vector<int32_t>{2, -1, 0}));
    DestroyLayer(layer);
    corvus_test::ExpectFatal(
        "Convert_ref", {{[] {
                             RunConvert(MakeTensor(DT_INT32, {1, 2, 2, 3}, 0, DL_NHWC).get(), DL_NCHW, DT_FLOAT32);
                         },
                         "Unhandled error\n"}});
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
        AllocTensorData(out);
        memset(out->data, 0x5A, GetTensorSize(out) * DataTypeSize(dt));
        nn_kernel_fn_list[kfname_ExpandChannels_ref]->execute(layer->kernel);
        ForEachIndex(DimsOf(out),
                     [&](const Dims& c) { ASSERT_EQ(Raw(out, c), c[3] < 3 ? Raw(src.get(), c) : 0u) << dt; });
        DestroyLayer(layer);
    }
}
