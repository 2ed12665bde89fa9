// Broadcast arithmetic and Expand beyond the random comparison with the
// reference (OptMatchesRef): refusals and the wrappers' defaults.
#include "LayersBroadcast.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"

using dm_test::MakeTensor;
using dm_test::TensorPtr;

namespace {

// Broadcast arithmetic without a parameter record applies no activation;
// Expand through the kernel record does not read input 1 (the requested shape).
TEST(BroadcastOpt, WrapperDefaults)
{
    TensorPtr a(corvus_test::Holding<float>(DT_FLOAT32, {3}, {-1, 2, -3})), out = MakeTensor(DT_FLOAT32, {3});
    AddBroadcast_opt(1, out.get(), a.get(), a.get(), nullptr);
    EXPECT_EQ(((float*)out->data)[2], -6.0f);
    TensorPtr in(corvus_test::Holding<float>(DT_FLOAT32, {3, 1}, {0, 1, 2}));
    TensorPtr shape = dm_test::Int32Tensor({3, 4}), big = MakeTensor(DT_FLOAT32, {3, 4});
    Execute_Expand_opt(opt_test::Kernel({in.get(), shape.get()}, {big.get()}, nullptr).get());
    for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(((float*)big->data)[i], (float)(i / 4)) << i;
}

TEST(BroadcastOptDeath, UnsupportedOperationIsFatal)
{
    TensorPtr f = MakeTensor(DT_FLOAT32, {2, 3});
    const BroadcastParams sigmoid = {Sigmoid, 0};
    corvus_test::ExpectFatal("Broadcast_opt", {{[&] { AddBroadcast_opt(1, f.get(), f.get(), f.get(), &sigmoid); },
                                                "Broadcast_opt_init error: unsupported aName=6"}});
}

}  // namespace
