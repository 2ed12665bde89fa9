#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

namespace {

// Naive reference: out[c] = in[p] with p[axes[i]] = c[i].
void ExpectTransposed(const Tensor* out, const Tensor* in, const std::vector<uint32_t>& axes)
{
    Dims expectedShape(axes.size());
    for (size_t i = 0; i < axes.size(); ++i) expectedShape[i] = in->shape.dimension[axes[i]];
    ASSERT_EQ(DimsOf(out), expectedShape);
    uint64_t wrong = 0;
    ForEachIndex(DimsOf(out), [&](const Dims& c) {
        Dims p(c.size());
        for (size_t i = 0; i < c.size(); ++i) p[axes[i]] = c[i];
        wrong += Raw(out, c) != Raw(in, p);
    });
    EXPECT_EQ(wrong, 0u);
}

}  // namespace

TEST(TransposeRef, RandomPermutationsUpToSixDimensionsMatchIndexMapping)
{
    std::mt19937 rng(8101);
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_UINT8, DT_INT32};
    for (int iter = 0; iter < 150; ++iter) {
        const uint32_t rank = 1 + iter % 6;
        const Dims dims = RandomDims(rng, rank, 7);
        std::vector<uint32_t> axes(rank);
        std::iota(axes.begin(), axes.end(), 0u);
        std::shuffle(axes.begin(), axes.end(), rng);
        const DataType dt = types[iter % 4];
        TensorPtr in = MakeTensor(dt, dims, iter % 3 == 1 ? 2 : 0);
        FillRandom(in.get(), rng);
        Dims outDims(rank);
        for (uint32_t i = 0; i < rank; ++i) outDims[i] = dims[axes[i]];
        TensorPtr out = MakeTensor(dt, outDims, iter % 3 == 2 ? 3 : 0);
        Transpose_ref(out.get(), in.get(), axes.data());
        SCOPED_TRACE("shape " + DimsText(dims) + " axes " + DimsText(axes));
        ExpectTransposed(out.get(), in.get(), axes);
    }
}

TEST(TransposeRef, LargeTransposesCrossTileBoundaries)
{
    // Extents that are not multiples of the copy tile, with the innermost
    // axis moving (blocked path) and staying (row copies).
    std::mt19937 rng(8102);
    const std::vector<std::pair<Dims, std::vector<uint32_t>>> cases = {
        {{70, 45}, {1, 0}},         {{3, 40, 37}, {0, 2, 1}}, {{33, 2, 65}, {2, 1, 0}},
        {{5, 6, 7, 8}, {0, 1, 3, 2}}, {{4, 35, 3, 33}, {3, 1, 2, 0}}, {{2, 3, 64, 5}, {1, 0, 2, 3}},
    };
    for (const auto& c : cases) {
        for (DataType dt : {DT_FLOAT32, DT_FLOAT16, DT_INT8}) {
            TensorPtr in = MakeTensor(dt, c.first);
            FillRandom(in.get(), rng);
            Dims outDims(c.first.size());
            for (size_t i = 0; i < outDims.size(); ++i) outDims[i] = c.first[c.second[i]];
            TensorPtr out = MakeTensor(dt, outDims);
            Transpose_ref(out.get(), in.get(), c.second.data());
            SCOPED_TRACE(DimsText(c.first));
            ExpectTransposed(out.get(), in.get(), c.second);
        }
    }
}

TEST(TransposeRef, ChecksFailWithMessages)
{
    const uint32_t axes[3] = {1, 0, 2};
    auto transpose = [&](DataType outType, Dims out) {
        Transpose_ref(MakeTensor(outType, out).get(), MakeTensor(DT_FLOAT32, {2, 3}).get(), axes);
    };
    corvus_test::ExpectFatal(
        "Transpose_ref",
        {{[&] { transpose(DT_FLOAT16, {3, 2}); }, "input and output tensorsmust have the same data type"},
         {[&] { transpose(DT_FLOAT32, {3, 2, 1}); },
          "input and output tensors must have the same ndim value.\ninput->ndim: 2, output->ndim: 3"},
         {[&] { transpose(DT_FLOAT32, {2, 3}); },
          "Transpose_ref: output shape (2,3) is not input shape (2,3) permuted by (1,0)"}});
}

TEST(ShuffleRef, SixChannelsInTwoGroupsAndMoreGroupsThanChannels)
{
    TensorPtr in = MakeTensor(DT_FLOAT32, {1, 1, 2, 6}, 0, DL_NHWC), out = MakeTensor(DT_FLOAT32, {1, 1, 2, 6}, 0, DL_NHWC);
    FillIota(in.get());
    Shuffle_fl32(out.get(), in.get(), 2);
    const float* o = (const float*)out->data;
    EXPECT_EQ(std::vector<float>(o, o + 12), (std::vector<float>{0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11}));
    // More groups than channels leaves the output alone.
    std::fill((float*)out->data, (float*)out->data + 12, -1.0f);
    Shuffle_fl32(out.get(), in.get(), 7);
    EXPECT_EQ(std::vector<float>(o, o + 12), std::vector<float>(12, -1.0f));
}

TEST(ShuffleRef, RandomGroupsMatchChannelFormula)
{
    std::mt19937 rng(8103);
    for (int iter = 0; iter < 60; ++iter) {
        Dims dims = RandomDims(rng, 3, 5, 200);
        const uint32_t groups = 1 + iter % 5;
        const uint32_t per = 1 + (iter / 5) % 4;
        const uint32_t tail = iter % 7 == 0 ? 1 + iter % 3 : 0;  // channels outside every group
        dims.push_back(groups * per + tail);
        TensorPtr in = MakeTensor(DT_FLOAT32, dims, iter % 2 ? 1 : 0, DL_NHWC);
        FillRandom(in.get(), rng);
        TensorPtr out = MakeTensor(DT_FLOAT32, dims, iter % 3 ? 0 : 2, DL_NHWC);
        Shuffle_fl32(out.get(), in.get(), groups);
        const uint32_t inGroup = dims[3] / groups;  // the tail may hold whole groups' worth
        uint64_t wrong = 0;
        ForEachIndex(DimsOf(out.get()), [&](const Dims& c) {
            Dims p = c;
            if (c[3] < groups * inGroup) p[3] = (c[3] % groups) * inGroup + c[3] / groups;
            wrong += Raw(out.get(), c) != Raw(in.get(), p);
        });
        EXPECT_EQ(wrong, 0u) << DimsText(dims) << " groups " << groups;
    }
}

TEST(ShuffleRef, ChecksFailWithMessages)
{
    using corvus_test::ExpectFatal;
    ExpectFatal("Transpose_ref", {{[] {
                                       Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 4}), true);
                                       Layer* layer = AddShuffleLayer(nullptr, in, "s", 2);
                                       AllocTensorData(layer->kernel->output[0]);
                                       Execute_Shuffle_fl32_ref(layer->kernel);
                                   },
                                   "self->input[0]->ndim == 4: false, expected: true"},
                                  {[] {
                                       TensorPtr in = MakeTensor(DT_FLOAT32, {1, 1, 1, 4});
                                       TensorPtr out = MakeTensor(DT_FLOAT32, {1, 1, 1, 4});
                                       Shuffle_fl32(out.get(), in.get(), 0);
                                   },
                                   "Shuffle_fl32: groups must be greater than 0"}});
}
