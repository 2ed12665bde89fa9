#include <gtest/gtest.h>

#include <random>

#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

namespace {

// Output coordinate c along the axis belongs to the input whose running
// range holds it.
void ExpectConcatenated(const Tensor* out, const std::vector<const Tensor*>& inputs, uint32_t axis)
{
    uint64_t wrong = 0;
    ForEachIndex(DimsOf(out), [&](const Dims& c) {
        Dims p = c;
        size_t n = 0;
        while (p[axis] >= inputs[n]->shape.dimension[axis]) p[axis] -= inputs[n++]->shape.dimension[axis];
        wrong += Raw(out, c) != Raw(inputs[n], p);
    });
    EXPECT_EQ(wrong, 0u);
}

}  // namespace

TEST(ConcatenateRef, EveryAxisOfRandomShapesUpToSixDimensions)
{
    std::mt19937 rng(8301);
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_INT8, DT_UINT32};
    int iter = 0;
    for (uint32_t rank = 1; rank <= 6; ++rank) {
        for (uint32_t axis = 0; axis < rank; ++axis) {
            for (int rep = 0; rep < 4; ++rep, ++iter) {
                const Dims base = RandomDims(rng, rank, 5, 600);
                const uint32_t count = 1 + std::uniform_int_distribution<uint32_t>(0, 3)(rng);
                const DataType dt = types[iter % 4];
                // rep 0, 1: dense (block path); rep 2: padded inputs; rep 3: padded output.
                std::vector<TensorPtr> owned;
                std::vector<const Tensor*> inputs;
                std::vector<Tensor*> raw;
                uint32_t total = 0;
                for (uint32_t n = 0; n < count; ++n) {
                    Dims d = base;
                    d[axis] = std::uniform_int_distribution<uint32_t>(1, 4)(rng);
                    total += d[axis];
                    owned.push_back(MakeTensor(dt, d, rep == 2 && n % 2 == 0 ? 2 : 0));
                    FillRandom(owned.back().get(), rng);
                    inputs.push_back(owned.back().get());
                    raw.push_back(owned.back().get());
                }
                Dims outDims = base;
                outDims[axis] = total;
                TensorPtr out = MakeTensor(dt, outDims, rep == 3 ? 1 : 0);
                Concat_ref(out.get(), raw.data(), count, axis);
                SCOPED_TRACE("out " + DimsText(outDims) + " axis " + std::to_string(axis));
                ExpectConcatenated(out.get(), inputs, axis);
            }
        }
    }
}

TEST(ConcatenateRef, ChecksFailWithMessages)
{
    auto concat = [](DataType inType, Dims in, Dims out, uint32_t axis) {
        TensorPtr a = MakeTensor(inType, in), o = MakeTensor(DT_FLOAT32, out);
        Tensor* ins[1] = {a.get()};
        Concat_ref(o.get(), ins, 1, axis);
    };
    corvus_test::ExpectFatal(
        "Concatenate_ref",
        {{[&] { concat(DT_FLOAT32, {2, 3}, {2, 4}, 1); }, "Concat_ref: the inputs sum to 3 along axis 1, the output has 4"},
         {[&] { concat(DT_FLOAT32, {2, 3}, {3, 3}, 1); },
          "Concat_ref: input 0 shape (2,3) does not fit output shape (3,3) outside axis 1"},
         {[&] { concat(DT_INT32, {2, 3}, {2, 3}, 0); }, "Concat_ref: input 0 must have the output's rank and data type"},
         {[&] { concat(DT_FLOAT32, {2, 3}, {2, 3}, 2); }, "Concat_ref: axis 2 is outside the output's 2 dimensions"}});
}

TEST(SplitRef, TenByFourGivesFourFourTwo)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({2, 10}), true);
    FillIota(in);
    Layer* layer = AddSplitLayer(nullptr, in, 4, 1, "split");
    NNKernel* k = layer->kernel;
    ASSERT_EQ(k->outputsNum, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(DimsOf(k->output[i]), (Dims{2, i < 2 ? 4u : 2u}));
        AllocTensorData(k->output[i]);
    }
    nn_kernel_fn_list[kfname_Split_fl32_ref]->execute(k);
    for (uint32_t i = 0; i < 3; ++i)
        ForEachIndex(DimsOf(k->output[i]), [&](const Dims& c) {
            EXPECT_EQ(At<float>(k->output[i], c), (float)(c[0] * 10 + i * 4 + c[1]));
        });
    DestroyLayer(layer);
}

TEST(SplitRef, EveryAxisOfRandomShapesUpToSixDimensions)
{
    std::mt19937 rng(8302);
    for (uint32_t rank = 1; rank <= 6; ++rank) {
        for (uint32_t axis = 0; axis < rank; ++axis) {
            for (int rep = 0; rep < 3; ++rep) {
                Dims dims = RandomDims(rng, rank, 5, 800);
                dims[axis] = std::uniform_int_distribution<uint32_t>(1, 9)(rng);
                const uint32_t length = std::uniform_int_distribution<uint32_t>(1, dims[axis])(rng);
                TensorPtr ref = MakeTensor(rep == 1 ? DT_FLOAT16 : DT_FLOAT32, dims);
                FillRandom(ref.get(), rng);
                Tensor* in = CreateTensor((DataType)ref->dtype, DL_NONE, rank, ref->shape, true);
                CopyTensorData(ref.get(), in);
                Layer* layer = AddSplitLayer(nullptr, in, length, axis, nullptr);
                NNKernel* k = layer->kernel;
                ASSERT_EQ(k->outputsNum, (dims[axis] + length - 1) / length);
                for (uint32_t i = 0; i < k->outputsNum; ++i) AllocTensorData(k->output[i]);
                Execute_Split_ref(k);
                uint64_t wrong = 0;
                for (uint32_t i = 0; i < k->outputsNum; ++i) {
                    Dims expected = dims;
                    expected[axis] = std::min(length, dims[axis] - i * length);
                    ASSERT_EQ(DimsOf(k->output[i]), expected);
                    ForEachIndex(expected, [&](const Dims& c) {
                        Dims p = c;
                        p[axis] += i * length;
                        wrong += Raw(k->output[i], c) != Raw(ref.get(), p);
                    });
                }
                EXPECT_EQ(wrong, 0u) << DimsText(dims) << " axis " << axis << " length " << length;
                DestroyLayer(layer);
            }
        }
    }
}
