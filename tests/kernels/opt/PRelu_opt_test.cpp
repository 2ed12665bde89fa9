// PRelu through the block broadcast engine: the same bits as the reference
// kernel for broadcast slopes, both float types and padded strides; the
// reference's checks under the optimised kernel's name.
#include <gtest/gtest.h>

#include <random>

#include "LayersActivation.h"
#include "datamovement_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using dm_test::Dims;
using dm_test::TensorPtr;
using opt_test::Kernel;

namespace {

void RunLayer(void (*execute)(NNKernel*), Tensor* out, Tensor* in, Tensor* slopes)
{
    Kernel k({in}, {out}, nullptr);
    Tensor* inner[1] = {slopes};
    k.k.inner = inner;
    k.k.innerNum = 1;
    execute(k.get());
}

TEST(PReluOpt, SameBitsAsReference)
{
    std::mt19937 rng(12);
    for (int iter = 0; iter < 60; ++iter) {
        const DataType t = iter % 2 ? DT_FLOAT16 : DT_FLOAT32;
        const Dims d = dm_test::RandomDims(rng, 1 + rng() % 4, 7);
        // Slopes: the trailing dimensions, some of them 1 (broadcast).
        Dims sd(d.begin() + rng() % d.size(), d.end());
        for (uint32_t& x : sd)
            if (rng() % 3 == 0) x = 1;
        const uint32_t pad = rng() % 2 ? 2 : 0;
        TensorPtr in = dm_test::MakeTensor(t, d, pad), slopes = dm_test::MakeTensor(t, sd);
        dm_test::FillRandom(in.get(), rng);
        dm_test::FillRandom(slopes.get(), rng);
        TensorPtr ref = dm_test::MakeTensor(t, d, pad), opt = dm_test::MakeTensor(t, d, pad);
        RunLayer(Execute_PRelu_ref, ref.get(), in.get(), slopes.get());
        RunLayer(Execute_PRelu_opt, opt.get(), in.get(), slopes.get());
        EXPECT_TRUE(dm_test::SameElements(opt.get(), ref.get())) << dm_test::DimsText(d) << " " << dm_test::DimsText(sd);
    }
}

TEST(PReluOptDeath, ReferenceChecksUnderItsName)
{
    TensorPtr a = dm_test::MakeTensor(DT_FLOAT32, {2, 3}), b = dm_test::MakeTensor(DT_FLOAT32, {3, 2});
    TensorPtr i = dm_test::MakeTensor(DT_INT32, {2, 3}), h = dm_test::MakeTensor(DT_FLOAT16, {3});
    corvus_test::ExpectFatal(
        "PRelu_opt",
        {{[&] { RunLayer(Execute_PRelu_opt, a.get(), a.get(), h.get()); },
          "Execute_PRelu_opt error: input and output types is not equal"},
         {[&] { RunLayer(Execute_PRelu_opt, i.get(), i.get(), i.get()); },
          "Execute_PRelu_opt error: output type is not in (float32, float16)"},
         {[&] { RunLayer(Execute_PRelu_opt, b.get(), a.get(), a.get()); },
          "Execute_PRelu_opt: shapes of input (2,3) and output (3,2) are not the same"}});
}

}  // namespace
