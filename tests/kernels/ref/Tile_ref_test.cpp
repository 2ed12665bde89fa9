#include <gtest/gtest.h>

#include <random>

#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

TEST(TileRef, RandomRepeatsUpToSixDimensionsMatchModuloIndexing)
{
    std::mt19937 rng(8601);
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_INT8, DT_INT32};
    for (int iter = 0; iter < 120; ++iter) {
        const uint32_t rank = 1 + iter % 6;
        const Dims dims = RandomDims(rng, rank, 4, 60);
        Dims outDims(rank);
        std::vector<int32_t> reps(rank);
        for (uint32_t d = 0; d < rank; ++d) {
            reps[d] = (int32_t)std::uniform_int_distribution<uint32_t>(1, rank > 4 ? 2 : 5)(rng);
            outDims[d] = dims[d] * (uint32_t)reps[d];
        }
        TensorPtr in = MakeTensor(types[iter % 4], dims, iter % 3 == 1 ? 2 : 0);
        FillRandom(in.get(), rng);
        TensorPtr repeats = Int32Tensor(reps, DT_UINT32);
        TensorPtr out = MakeTensor(types[iter % 4], outDims, iter % 3 == 2 ? 1 : 0);
        Tile_ref(out.get(), in.get(), repeats.get());
        uint64_t wrong = 0;
        ForEachIndex(outDims, [&](const Dims& c) {
            Dims p(rank);
            for (uint32_t d = 0; d < rank; ++d) p[d] = c[d] % dims[d];
            wrong += Raw(out.get(), c) != Raw(in.get(), p);
        });
        EXPECT_EQ(wrong, 0u) << DimsText(dims) << " repeats " << DimsText(Dims(reps.begin(), reps.end()));
    }
}

TEST(TileRef, ThroughLayerKernelAndRankZero)
{
    for (uint32_t rank : {2u, 0u}) {
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, rank, rank ? Shape({2, 3}) : Shape({}), true);
        FillIota(in);
        if (rank == 0) *(float*)in->data = 7.5f;  // not the zero a fresh output holds
        Tensor* ins[2] = {in, Int32Tensor(rank ? std::vector<int32_t>{3, 2} : std::vector<int32_t>{}, DT_UINT32).release()};
        Layer* layer = AddTileLayer(nullptr, ins, 2, "tile");
        Tensor* out = layer->kernel->output[0];
        ASSERT_EQ(DimsOf(out), (rank ? Dims{6, 6} : Dims{}));
        AllocTensorData(out);
        nn_kernel_fn_list[kfname_Tile_ref]->execute(layer->kernel);
        ForEachIndex(DimsOf(out), [&](const Dims& c) {
            EXPECT_EQ(At<float>(out, c), rank ? (float)((c[0] % 2) * 3 + c[1] % 3) : 7.5f);
        });
        DestroyLayer(layer);
    }
}

TEST(TileRef, ChecksFailWithMessages)
{
    using corvus_test::ExpectFatal;
    auto run = [](Tensor* repeats, DataType outType, const Dims& outDims) {
        TensorPtr rep(repeats);
        Tile_ref(MakeTensor(outType, outDims).get(), MakeTensor(DT_FLOAT32, {2, 3}).get(), rep.get());
    };
    ExpectFatal("Tile_ref",
                {{[&] { run(MakeTensor(DT_UINT32, {1, 2}).release(), DT_FLOAT32, {2, 3}); }, "repeats tensor must be 1D"},
                 {[&] { run(Int32Tensor({1, 1}).release(), DT_FLOAT32, {2, 3}); }, "repeats tensor must be uint32"},
                 {[&] { run(Int32Tensor({1}, DT_UINT32).release(), DT_FLOAT32, {2, 3}); },
                  "repeats tensor size and input tensor ndim must be the same"},
                 {[&] { run(Int32Tensor({1, 1}, DT_UINT32).release(), DT_INT32, {2, 3}); },
                  "input and output tensors must have the same data type"},
                 {[&] { run(Int32Tensor({1, 1}, DT_UINT32).release(), DT_FLOAT32, {2, 3, 1}); },
                  "input and output tensors must have the same ndim value.\ninput->ndim: 2, output->ndim: 3"},
                 {[&] { run(Int32Tensor({1, 2}, DT_UINT32).release(), DT_FLOAT32, {2, 3}); },
                  "Tile_ref: output shape (2,3) is not input shape (2,3) tiled by the repeats"}});
}
