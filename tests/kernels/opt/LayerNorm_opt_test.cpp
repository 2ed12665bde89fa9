// Layer normalisation: the same bits as the reference kernel on the
// scratch-memory path (rows of the last dimension) and the general path
// (several axes, broadcast scale), float32 and float16; the failures.
#include <gtest/gtest.h>

#include <random>

#include "LayersNormalization.h"
#include "datamovement_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using dm_test::Dims;
using dm_test::TensorPtr;
using opt_test::Kernel;

namespace {

void RunLayer(void (*execute)(NNKernel*), Tensor* out, Tensor* in, Tensor* g, Tensor* b, NormalizationParams* p)
{
    Kernel k({in}, {out}, p);
    Tensor* inner[2] = {g, b};
    k.k.inner = inner;
    k.k.innerNum = 2;
    execute(k.get());
}

TEST(LayerNormOpt, SameBitsAsReferenceOnBothPaths)
{
    std::mt19937 rng(13);
    for (int iter = 0; iter < 40; ++iter) {
        const DataType t = iter % 2 ? DT_FLOAT16 : DT_FLOAT32;
        const uint32_t rank = 1 + rng() % 4;
        Dims d = dm_test::RandomDims(rng, rank, 9);
        if (iter == 0) d = {3, 60000};  // rows spanning several scratch bands
        const uint32_t axis = iter % 3 == 0 ? rng() % d.size() : (uint32_t)d.size() - 1;
        Dims gd(d.begin() + axis, d.end());
        if (iter % 5 == 4) gd.insert(gd.begin(), 1);  // a 2-D scale: general path
        NormalizationParams p = {};
        p.axis = axis;
        p.epsilon = 1e-3f;
        TensorPtr in = dm_test::MakeTensor(t, d, iter % 4 == 1 ? 2 : 0);
        TensorPtr g = dm_test::MakeTensor(t, gd), b = dm_test::MakeTensor(t, gd);
        for (Tensor* x : {in.get(), g.get(), b.get()}) dm_test::FillRandom(x, rng);
        TensorPtr ref = dm_test::MakeTensor(t, d), opt = dm_test::MakeTensor(t, d);
        RunLayer(Execute_LayerNorm_ref, ref.get(), in.get(), g.get(), b.get(), &p);
        RunLayer(Execute_LayerNorm_opt, opt.get(), in.get(), g.get(), b.get(), &p);
        EXPECT_TRUE(dm_test::SameElements(opt.get(), ref.get())) << iter << " " << dm_test::DimsText(d);
    }
}

TEST(LayerNormOptDeath, Failures)
{
    TensorPtr a = dm_test::MakeTensor(DT_FLOAT32, {2, 3}), h = dm_test::MakeTensor(DT_FLOAT16, {3});
    TensorPtr f = dm_test::MakeTensor(DT_FLOAT32, {3});
    TensorPtr wide = dm_test::MakeTensor(DT_FLOAT32, {1, 131000}), wg = dm_test::MakeTensor(DT_FLOAT32, {131000});
    NormalizationParams p = {}, bad = {};
    p.axis = 1;
    bad.axis = 2;
    corvus_test::ExpectFatal(
        "LayerNorm_opt",
        {{[&] { RunLayer(Execute_LayerNorm_opt, a.get(), a.get(), h.get(), f.get(), &p); }, "all types must be same"},
         {[&] { RunLayer(Execute_LayerNorm_opt, a.get(), a.get(), f.get(), f.get(), &bad); }, "bad NormalizationParams"},
         {[&] { RunLayer(Execute_LayerNorm_opt, wide.get(), wide.get(), wg.get(), wg.get(), &p); },
          "too big lines for xyram"}});
}

}  // namespace
