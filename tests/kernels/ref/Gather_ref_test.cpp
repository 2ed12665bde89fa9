#include <gtest/gtest.h>

#include <random>

#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

namespace {

Layer* RunGather(const Tensor* data, const Tensor* indices, int32_t axis)
{
    Tensor* ins[2] = {CopyOf(data), CopyOf(indices)};
    Layer* layer = AddGatherLayer(nullptr, ins, 2, axis, nullptr);
    AllocTensorData(layer->kernel->output[0]);
    nn_kernel_fn_list[kfname_Gather_ref]->execute(layer->kernel);
    return layer;
}

Layer* RunGatherElements(const Tensor* data, const Tensor* indices, int32_t axis)
{
    Tensor* ins[2] = {CopyOf(data), CopyOf(indices)};
    Layer* layer = AddGatherElementsLayer(nullptr, ins, axis, 2, nullptr);
    AllocTensorData(layer->kernel->output[0]);
    nn_kernel_fn_list[kfname_GatherElements_ref]->execute(layer->kernel);
    return layer;
}

}  // namespace

TEST(GatherRef, RandomShapesAndNegativeIndicesMatchTakeAlongAxis)
{
    std::mt19937 rng(8401);
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_INT8};
    for (int iter = 0; iter < 200; ++iter) {
        const uint32_t dataRank = 1 + iter % 6;
        const uint32_t indexRank = std::uniform_int_distribution<uint32_t>(0, 7 - dataRank)(rng);
        const uint32_t axis = std::uniform_int_distribution<uint32_t>(0, dataRank - 1)(rng);
        const Dims dims = RandomDims(rng, dataRank, 6, 800);
        const Dims idxDims = RandomDims(rng, indexRank, 4, 16);
        TensorPtr data = MakeTensor(types[iter % 4], dims, iter % 5 == 4 ? 1 : 0);
        FillRandom(data.get(), rng);
        TensorPtr indices = MakeTensor(DT_INT32, idxDims, iter % 7 == 3 ? 2 : 0);
        const int32_t extent = (int32_t)dims[axis];
        ForEachIndex(idxDims, [&](const Dims& c) {
            Set<int32_t>(indices.get(), c, std::uniform_int_distribution<int32_t>(-extent, extent - 1)(rng));
        });
        // A rank-0 index tensor holds one element too.
        if (indexRank == 0) *(int32_t*)indices->data = std::uniform_int_distribution<int32_t>(-extent, extent - 1)(rng);

        Layer* layer = RunGather(data.get(), indices.get(), iter % 3 == 0 ? (int32_t)axis - (int32_t)dataRank : axis);
        const Tensor* out = layer->kernel->output[0];
        const Tensor* written = layer->kernel->input[1];
        SCOPED_TRACE("data " + DimsText(dims) + " indices " + DimsText(idxDims) + " axis " + std::to_string(axis));

        // out = data[outer..., indices[j...], inner...]; the layer's indices
        // hold the normalised values afterwards.
        Dims expected(dims.begin(), dims.begin() + axis);
        expected.insert(expected.end(), idxDims.begin(), idxDims.end());
        expected.insert(expected.end(), dims.begin() + axis + 1, dims.end());
        ASSERT_EQ(DimsOf(out), expected);
        uint64_t wrong = 0;
        ForEachIndex(expected, [&](const Dims& c) {
            const Dims j(c.begin() + axis, c.begin() + axis + indexRank);
            int32_t v = indexRank == 0 ? *(const int32_t*)indices->data : At<int32_t>(indices.get(), j);
            if (v < 0) v += extent;
            Dims p(c.begin(), c.begin() + axis);
            p.push_back((uint32_t)v);
            p.insert(p.end(), c.begin() + axis + indexRank, c.end());
            wrong += Raw(out, c) != Raw(data.get(), p);
        });
        EXPECT_EQ(wrong, 0u);
        ForEachIndex(idxDims, [&](const Dims& c) {
            const int32_t v = At<int32_t>(indices.get(), c);
            EXPECT_EQ(At<int32_t>(written, c), v < 0 ? v + extent : v);
        });
        DestroyLayer(layer);
    }
}

TEST(GatherRef, EdgeCasesAndChecks)
{
    TensorPtr data = MakeTensor(DT_FLOAT32, {5}), m = MakeTensor(DT_FLOAT32, {3, 4}), scalar = MakeTensor(DT_INT32, {});
    FillIota(data.get());
    FillIota(m.get());
    // Index -1 on a dimension of 5 reads element 4 and is written back as 4.
    Layer* layer = RunGather(data.get(), Int32Tensor({-1, 0}).get(), 0);
    const float* o = (const float*)layer->kernel->output[0]->data;
    EXPECT_TRUE(o[0] == 4.0f && o[1] == 0.0f && ((int32_t*)layer->kernel->input[1]->data)[0] == 4);
    DestroyLayer(layer);
    // A scalar index on a vector gives a scalar; on a matrix it drops the axis.
    *(int32_t*)scalar->data = -2;
    layer = RunGather(data.get(), scalar.get(), 0);
    EXPECT_TRUE(layer->kernel->output[0]->ndim == 0 && *(float*)layer->kernel->output[0]->data == 3.0f);
    DestroyLayer(layer);
    *(int32_t*)scalar->data = 2;
    layer = RunGather(m.get(), scalar.get(), 1);
    ASSERT_EQ(DimsOf(layer->kernel->output[0]), (Dims{3}));
    o = (const float*)layer->kernel->output[0]->data;
    EXPECT_EQ(std::vector<float>(o, o + 3), (std::vector<float>{2, 6, 10}));
    DestroyLayer(layer);

    auto gather = [&](DataType outType, Dims out, DataType idxType) {
        Gather_ref(MakeTensor(outType, out).get(), data.get(), Int32Tensor({1}, idxType).get(), 0);
    };
    corvus_test::ExpectFatal(
        "Gather_ref",
        {{[&] { RunGather(data.get(), Int32Tensor({5}).get(), 0); },
          "Function Gather: Index 5 is out of tensor shape (5) in specified axis"},
         {[&] { gather(DT_FLOAT32, {1}, DT_UINT32); }, "Gather_ref: Indices tensor data type is not INT"},
         {[&] { gather(DT_FLOAT16, {1}, DT_INT32); },
          "Gather_ref: Input tensor data type and output tensor data type are not equal"},
         {[&] { gather(DT_FLOAT32, {2}, DT_INT32); },
          "Gather_ref: output shape (2) does not fit data shape (5), indices shape (1) and axis 0"}});
}

TEST(GatherElementsRef, RandomShapesMatchTakeAlongAxis)
{
    std::mt19937 rng(8402);
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT8};
    for (int iter = 0; iter < 150; ++iter) {
        const uint32_t rank = 1 + iter % 6;
        const uint32_t axis = std::uniform_int_distribution<uint32_t>(0, rank - 1)(rng);
        const Dims dims = RandomDims(rng, rank, 5, 600);
        Dims idxDims(rank);
        for (uint32_t d = 0; d < rank; ++d)
            idxDims[d] = d == axis ? std::uniform_int_distribution<uint32_t>(1, 6)(rng)
                                   : std::uniform_int_distribution<uint32_t>(1, dims[d])(rng);
        TensorPtr data = MakeTensor(types[iter % 4], dims, iter % 4 == 1 ? 1 : 0);
        FillRandom(data.get(), rng);
        TensorPtr indices = MakeTensor(DT_INT32, idxDims, iter % 3 == 2 ? 1 : 0);
        ForEachIndex(idxDims, [&](const Dims& c) {
            Set<int32_t>(indices.get(), c, std::uniform_int_distribution<int32_t>(0, dims[axis] - 1)(rng));
        });
        const int32_t givenAxis = iter % 2 ? (int32_t)axis - (int32_t)rank : (int32_t)axis;
        Layer* layer = RunGatherElements(data.get(), indices.get(), givenAxis);
        const Tensor* out = layer->kernel->output[0];
        ASSERT_EQ(DimsOf(out), idxDims);
        uint64_t wrong = 0;
        ForEachIndex(idxDims, [&](const Dims& c) {
            Dims p = c;
            p[axis] = (uint32_t)At<int32_t>(indices.get(), c);
            wrong += Raw(out, c) != Raw(data.get(), p);
        });
        EXPECT_EQ(wrong, 0u) << DimsText(dims) << " indices " << DimsText(idxDims) << " axis " << givenAxis;
        DestroyLayer(layer);
    }
}

TEST(GatherElementsRef, ChecksFailWithMessages)
{
    using corvus_test::ExpectFatal;
    // Negative indices are out of range here: no wrapping along the axis.
    auto run = [](DataType outType, const Dims& idxDims, DataType idxType, int32_t axis, int32_t value) {
        TensorPtr data = MakeTensor(DT_FLOAT32, {5, 2});
        TensorPtr idx = MakeTensor(idxType, idxDims);
        ForEachIndex(idxDims, [&](const Dims& c) { SetRaw(idx.get(), c, (uint32_t)value); });
        TensorPtr out = MakeTensor(outType, idxDims);
        GatherElements_ref(out.get(), data.get(), idx.get(), axis);
    };
    ExpectFatal("Gather_ref",
                {{[&] { run(DT_FLOAT32, {2, 2}, DT_INT32, 0, 5); },
                  "AreIndicesCorrect: Indices index=5 out of input dimension[axis]=5 range"},
                 {[&] { run(DT_FLOAT32, {2, 2}, DT_INT32, 0, -1); },
                  "AreIndicesCorrect: Indices index=-1 out of input dimension[axis]=5 range"},
                 {[&] { run(DT_FLOAT16, {2, 2}, DT_INT32, 0, 0); },
                  "GatherElements_ref: Input tensor data type and output tensor data type are not equal"},
                 {[&] { run(DT_FLOAT32, {2}, DT_INT32, 0, 0); },
                  "GatherElements_ref: Input and indices tensors haveunequal dimensions"},
                 {[&] { run(DT_FLOAT32, {2, 2}, DT_UINT32, 0, 0); },
                  "GatherElements_ref: Indices tensor data type is not INT"},
                 {[&] { run(DT_FLOAT32, {2, 2}, DT_INT32, 2, 0); },
                  "GatherElements_ref:Axis = 2 | Ndim = 2 |Axis out of range"},
                 {[&] { run(DT_FLOAT32, {2, 3}, DT_INT32, 0, 0); },
                  "GatherElements_ref: indices shape (2,3) exceeds data shape (5,2) outside axis 0"}});
}
