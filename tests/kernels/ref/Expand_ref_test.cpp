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
        ForEachCoord(outDims, [&](const Dims& c) {
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
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, ToShape({3, 1}), true);
    FillIota(in);
    Tensor* ins[2] = {in, Int32Tensor({2, 1, 4}).release()};
    Layer* layer = AddExpandLayer(nullptr, ins, 2, "expand");
    Tensor* out = layer->kernel->output[0];
    ASSERT_EQ(DimsOf(out), (Dims{2, 3, 4}));
    AllocTensorData(out);
    nn_kernel_fn_list[kfname_Expand_ref]->execute(layer->kernel);
    ForEachCoord({2, 3, 4}, [&](const Dims& c) { EXPECT_EQ(At<float>(out, c), (float)c[1]); });
    DestroyLayer(layer);
}

TEST(ExpandRef, ChecksFailWithMessages)
{
    using corvus_test::ExpectFatal;
    ExpectFatal("Expand_ref",
                {{[] {
                      TensorPtr in = MakeTensor(DT_FLOAT32, {3});
                      Expand_ref(nullptr, in.get());
                  },
                  "Expand_ref error: out is NULL"},
                 {[] {
                      TensorPtr out = MakeTensor(DT_FLOAT32, {3});
                      Expand_ref(out.get(), nullptr);
                  },
                  "Expand_ref error: in1 is NULL"},
                 {[] {
                      TensorPtr in = MakeTensor(DT_FLOAT32, {3}), out = MakeTensor(DT_INT32, {2, 3});
                      Expand_ref(out.get(), in.get());
                  },
                  "Expand_ref error: input and output types is not equal"},
                 {[] {
                      TensorPtr in = MakeTensor(DT_INT8, {3}), out = MakeTensor(DT_INT8, {2, 2});
                      Expand_ref(out.get(), in.get());
                  },
                  "Expand_ref error: input shape (3) does not broadcast to out shape (2,2)"},
                 {[] { Execute_Expand_ref(nullptr); }, "Execute_Expand_ref error: kernel is null"}});
    // The broadcast engine reports shapes that do not broadcast.
    auto mismatch = [] {
        TensorPtr in = MakeTensor(DT_FLOAT32, {3}), out = MakeTensor(DT_FLOAT32, {2, 2});
        Expand_ref(out.get(), in.get());
    };
    EXPECT_EXIT(mismatch(), ::testing::ExitedWithCode(1), "Expand_ref error: .*does not broadcast.*File Broadcast_ref");
}
