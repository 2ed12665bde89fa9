// Optimised pooling, layer normalisation and PRelu beyond the random
// comparison with the reference (OptMatchesRef): probes, selection and the
// refusals.
#include "KernelProbes.h"
#include "LayersActivation.h"
#include "LayersNormalization.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "pooling_util.h"

using corvus_test::Fatal;
using dm_test::Dims;
using dm_test::MakeTensor;
using dm_test::TensorPtr;
using opt_test::Kernel;
using pooling_test::Params2D;

namespace {

TensorPtr Image(DataType t, const Dims& d) { return MakeTensor(t, d, 0, DL_NHWC); }

TEST(Pooling2DOpt, ProbesAndSelection)
{
    TensorPtr in = Image(DT_FLOAT32, {1, 8, 8, 3}), out = Image(DT_FLOAT32, {1, 4, 4, 3});
    TensorPtr flat = MakeTensor(DT_FLOAT32, {1, 4, 4, 3});
    Pool2DParams ok = Params2D(2, 2, 2, 2, 0, 0, 0, 0, POOL_PADDING_IGNORE), bad = Params2D(2, 2, 2, 2, 0, 0, 0, 0, 2);
    Kernel accepted({in.get()}, {out.get()}, &ok), badMode({in.get()}, {out.get()}, &bad);
    Kernel badLayout({in.get()}, {flat.get()}, &ok);
    EXPECT_EQ(SelectNNKernelFn(1, OP_MaxPool2D, DT_FLOAT32, accepted.get()), kfname_MaxPool2D_opt);
    EXPECT_EQ(SelectNNKernelFn(1, OP_AveragePool2D, DT_FLOAT32, accepted.get()), kfname_AvgPool2D_opt);
    EXPECT_EQ(SelectNNKernelFn(1, OP_MaxPool2D, DT_FLOAT32, badMode.get()), kfname_MaxPool2D_fl32_ref);
    EXPECT_EQ(SelectNNKernelFn(1, OP_AveragePool2D, DT_FLOAT32, badLayout.get()), kfname_AveragePool2D_fl32_ref);
    TensorPtr gout = MakeTensor(DT_FLOAT32, {1, 3}, 0, DL_NC);
    GlobalAvPool2DParams gp = {DL_NHWC, 0};
    EXPECT_EQ(SelectNNKernelFn(1, OP_GlobalAveragePool2D, DT_FLOAT32, Kernel({in.get()}, {gout.get()}, &gp).get()),
              kfname_GlobalAvgPool2D_opt);
}

TEST(OptKernelsDeath, RefusalsAreFatal)
{
    TensorPtr in = Image(DT_FLOAT32, {1, 4, 4, 1}), out = Image(DT_FLOAT32, {1, 2, 2, 1});
    Pool2DParams bad = Params2D(2, 2, 2, 2, 0, 0, 0, 0, 2);
    TensorPtr a = MakeTensor(DT_FLOAT32, {2, 3}), b = MakeTensor(DT_FLOAT32, {3, 2}), f = MakeTensor(DT_FLOAT32, {3});
    TensorPtr wide = MakeTensor(DT_FLOAT32, {1, 131000}), wg = MakeTensor(DT_FLOAT32, {131000});
    NormalizationParams np = {}, badAxis = {};
    np.axis = 1, badAxis.axis = 2;
    // clang-format off
    corvus_test::ExpectExitRe({
        {[&] { Init_MaxPool2D_opt(Kernel({in.get()}, {out.get()}, &bad).get()); },
         Fatal("Pooling2D_opt", "Init_MaxPool2D_opt error -1")},
        {[&] { Execute_LayerNorm_opt(Kernel({a.get()}, {a.get()}, &badAxis, {f.get(), f.get()}).get()); },
         Fatal("LayerNorm_opt", "bad NormalizationParams")},
        {[&] { Execute_LayerNorm_opt(Kernel({wide.get()}, {wide.get()}, &np, {wg.get(), wg.get()}).get()); },
         Fatal("LayerNorm_opt", "too big lines for xyram")},
        {[&] { Execute_PRelu_opt(Kernel({a.get()}, {b.get()}, nullptr, {a.get()}).get()); },
         Fatal("PRelu_opt", "Execute_PRelu_opt: shapes of input (2,3) and output (3,2) are not the same")},
    });
    // clang-format on
}

}  // namespace
