// Gather and GatherElements against take-along-axis index rules; their
// refusals and ScatterND's.
#include "LayersDataMovement.h"
#include "datamovement_util.h"

using namespace dm_test;

namespace {

const DataType kTypes[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_INT8};

Layer* RunGather(const Tensor* data, const Tensor* indices, int32_t axis, bool elements = false)
{
    Tensor* ins[2] = {CopyOf(data), CopyOf(indices)};
    return elements ? RunLayer(AddGatherElementsLayer(nullptr, ins, axis, 2, nullptr), kfname_GatherElements_ref)
                    : RunLayer(AddGatherLayer(nullptr, ins, 2, axis, nullptr), kfname_Gather_ref);
}

TensorPtr RandomIndices(std::mt19937& rng, const Dims& dims, int32_t lo, int32_t hi, uint32_t pad = 0)
{
    TensorPtr t = MakeTensor(DT_INT32, dims, pad);
    ForEachIndex(dims,
                 [&](const Dims& c) { Set<int32_t>(t.get(), c, std::uniform_int_distribution<int32_t>(lo, hi)(rng)); });
    return t;
}

}  // namespace

// out = data[outer..., indices[j...], inner...] with negative indices counted
// from the end (rank-0 indices too).
TEST(GatherRef, RandomShapesNegativeIndicesAndElementsTakenAlongAxis)
{
    std::mt19937 rng(8401);
    for (int iter = 0; iter < 200; ++iter) {
        const uint32_t dataRank = 1 + iter % 6, indexRank = rng() % (8 - dataRank), axis = rng() % dataRank;
        const Dims dims = RandomDims(rng, dataRank, 6, 800), idxDims = RandomDims(rng, indexRank, 4, 16);
        TensorPtr data = RandomTensor(rng, kTypes[iter % 4], dims, iter % 5 == 4);
        const int32_t extent = (int32_t)dims[axis];
        TensorPtr indices = RandomIndices(rng, idxDims, -extent, extent - 1, iter % 7 == 3 ? 2 : 0);
        Layer* layer = RunGather(data.get(), indices.get(), iter % 3 == 0 ? (int32_t)axis - (int32_t)dataRank : axis);
        const Tensor* out = layer->kernel->output[0];

        Dims expected(dims.begin(), dims.begin() + axis);
        expected.insert(expected.end(), idxDims.begin(), idxDims.end());
        expected.insert(expected.end(), dims.begin() + axis + 1, dims.end());
        ASSERT_EQ(DimsOf(out), expected);
        EXPECT_EQ(Mismatches(out, data.get(),
                             [&](const Dims& c) {
                                 const int32_t v =
                                     At<int32_t>(indices.get(), Dims(c.begin() + axis, c.begin() + axis + indexRank));
                                 Dims p(c.begin(), c.begin() + axis);
                                 p.push_back((uint32_t)(v < 0 ? v + extent : v));
                                 p.insert(p.end(), c.begin() + axis + indexRank, c.end());
                                 return p;
                             }),
                  0u)
            << "data " << DimsText(dims) << " indices " << DimsText(idxDims) << " axis " << axis;
        DestroyLayer(layer);
    }

    // Indices shaped like the data except along the axis; no wrapping of negatives.
    for (int iter = 0; iter < 150; ++iter) {
        const uint32_t rank = 1 + iter % 6, axis = rng() % rank;
        const Dims dims = RandomDims(rng, rank, 5, 600);
        Dims idxDims(rank);
        for (uint32_t d = 0; d < rank; ++d) idxDims[d] = d == axis ? 1 + rng() % 6 : 1 + rng() % dims[d];
        TensorPtr data = RandomTensor(rng, kTypes[iter % 4], dims, iter % 4 == 1);
        TensorPtr indices = RandomIndices(rng, idxDims, 0, (int32_t)dims[axis] - 1, iter % 3 == 2);
        const int32_t givenAxis = iter % 2 ? (int32_t)axis - (int32_t)rank : (int32_t)axis;
        Layer* layer = RunGather(data.get(), indices.get(), givenAxis, true);
        ASSERT_EQ(DimsOf(layer->kernel->output[0]), idxDims);
        EXPECT_EQ(Mismatches(layer->kernel->output[0], data.get(),
                             [&](Dims p) { return p[axis] = (uint32_t)At<int32_t>(indices.get(), p), p; }),
                  0u)
            << DimsText(dims) << " indices " << DimsText(idxDims) << " axis " << givenAxis;
        DestroyLayer(layer);
    }
}

TEST(GatherScatterRef, IndicesOutsideTheDataAreRefused)
{
    TensorPtr data = MakeTensor(DT_FLOAT32, {5, 2}), idx = MakeTensor(DT_INT32, {1, 1}),
              upd = MakeTensor(DT_FLOAT32, {1, 2});
    *(int32_t*)idx->data = 5;
    auto elements = [&](int32_t value) {
        TensorPtr pair = MakeTensor(DT_INT32, {1, 2});
        ((int32_t*)pair->data)[0] = ((int32_t*)pair->data)[1] = value;
        GatherElements_ref(MakeTensor(DT_FLOAT32, {1, 2}).get(), data.get(), pair.get(), 0);
    };
    corvus_test::ExpectFatal(
        "Gather_ref",
        {{[&] { RunGather(data.get(), Int32Tensor({5}).get(), 0); },
          "Function Gather: Index 5 is out of tensor shape (5) in specified axis"},
         {[&] { elements(5); }, "AreIndicesCorrect: Indices index=5 out of input dimension[axis]=5 range"},
         {[&] { elements(-1); }, "AreIndicesCorrect: Indices index=-1 out of input dimension[axis]=5 range"}});
    corvus_test::ExpectFatal(
        "Scatter_ref", {{[&] {
                             Scatter_ref(MakeTensor(DT_FLOAT32, {5, 2}).get(), data.get(), idx.get(), upd.get(), 1);
                         },
                         "Function ScatterND: Index 5 is out of tensor shape (5) in dimension 0"}});
}
