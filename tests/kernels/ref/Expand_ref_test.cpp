#include <gtest/gtest.h>

#include <random>

#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

TEST(ExpandRef, RandomBroadcastsUpToSixDimensionsMatchAlignedIndexing)
{
    std::mt19937 rng(9001);
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT32, DT_INT8, DT_UINT8};
    for (int iter = 0; iter < 180; ++iter) {
        const uint32_t outRank = 1 + iter % 6;
        const Dims outDims = RandomDims(rng, outRank, 5, 2000);
        const uint32_t inRank = std::uniform_int_distribution<uint32_t>(0, outRank)(rng);
        Dims inDims(outDims.end() - inRank, outDims.end());
        for (uint32_t& d : inDims)
            if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) d = 1;
        const DataType dt = types[iter % 6];
        TensorPtr in = MakeTensor(dt, inDims, iter % 4 == 1 ? 2 : 0);
        FillRandom(in.get(), rng);
        TensorPtr out = MakeTensor(dt, outDims, iter % 4 == 2 ? 1 : 0);
        Expand_ref(out.get(), in.get());
        uint64_t wrong = 0;
        ForEachIndex(outDims, [&](const Dims& c) {
            Dims p(inRank);
            for (uint32_t d = 0; d < inRank; ++d) p[d] = inDims[d] == 1 ? 0 : c[outRank - inRank + d];
            wrong += Raw(out.get(), c) != Raw(in.get(), p);
        });
        EXPECT_EQ(wrong, 0u) << DimsText(inDims) << " onto " << DimsText(outDims) << " type " << dt;
    }
}

TEST(ExpandRef, ThroughLayerKernel)
{
    // (3,1) expanded by the shape (2,1,4) gives (2,3,4).
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({3, 1}), true);
    FillIota(in);
    Tensor* ins[2] = {in, Int32Tensor({2, 1, 4}).release()};
    Layer* layer = AddExpandLayer(nullptr, ins, 2, "expand");
    Tensor* out = layer->kernel->output[0];
    ASSERT_EQ(DimsOf(out), (Dims{2, 3, 4}));
    AllocTensorData(out);
    nn_kernel_fn_list[kfname_Expand_ref]->execute(layer->kernel);
    ForEachIndex({2, 3, 4}, [&](const Dims& c) { EXPECT_EQ(At<float>(out, c), (float)c[1]); });
    DestroyLayer(layer);
}

TEST(ExpandRef, ChecksFailWithMessages)
{
    auto expand = [](DataType inType, Dims in, DataType outType, Dims out) {
        Expand_ref(MakeTensor(outType, out).get(), MakeTensor(inType, in).get());
    };
    corvus_test::ExpectFatal(
        "Expand_ref",
        {{[&] { expand(DT_FLOAT32, {3}, DT_INT32, {2, 3}); }, "Expand_ref error: input and output types is not equal"},
         {[&] { expand(DT_INT8, {3}, DT_INT8, {2, 2}); },
          "Expand_ref error: input shape (3) does not broadcast to out shape (2,2)"}});
    // Float data goes through the broadcast engine, which reports the same.
    EXPECT_EXIT(expand(DT_FLOAT32, {3}, DT_FLOAT32, {2, 2}), ::testing::ExitedWithCode(1),
                "Expand_ref error: .*does not broadcast.*File Broadcast_ref");
}
