// Separable two-dimensional and global pooling against the reference
// kernels over random geometry: max pooling equal value for value, averages
// within float32 summation-order rounding; the pass plan, the probes,
// selection and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "LayersPooling.h"
#include "Model.h"
#include "KernelProbes.h"
#include "NNKernelFnSelector.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using dm_test::Dims;
using dm_test::TensorPtr;
using opt_test::Kernel;

namespace {

TensorPtr Image(DataType t, const Dims& d, uint32_t pad = 0)
{
    return dm_test::MakeTensor(t, d, pad, DL_NHWC);
}

Pool2DParams Params(uint32_t kh, uint32_t kw, uint32_t sh, uint32_t sw, uint32_t pt, uint32_t pl, uint32_t pb,
                    uint32_t pr, uint32_t mode)
{
    return Pool2DParams{kh, kw, sh, sw, pt, pl, pb, pr, 0, (pt | pl | pb | pr) ? SAME : VALID, mode};
}

// Runs the optimised kernel's whole life on a record over (out, in).
void RunOpt(const NNKernelFn& fn, Tensor* out, Tensor* in, void* params)
{
    Kernel k({in}, {out}, params);
    if (fn.init) fn.init(k.get());
    fn.execute(k.get());
    fn.execute(k.get());  // the intermediate is reused
    if (fn.destroy) fn.destroy(k.get());
    EXPECT_EQ(k.get()->extra_resources, nullptr);
}

// Summation order is free: errors scale with the inputs' range (|x| < 100).
::testing::AssertionResult Near(const Tensor* a, const Tensor* b, float rel)
{
    bool ok = true;
    std::string where;
    dm_test::ForEachCoord(dm_test::DimsOf(a), [&](const Dims& c) {
        const float x = dm_test::At<float>(a, c), y = dm_test::At<float>(b, c);
        if (ok && !(std::fabs(x - y) <= rel * (std::fabs(y) + 100.0f) || (std::isnan(x) && std::isnan(y)))) {
            ok = false;
            where = dm_test::DimsText(c) + ": " + std::to_string(x) + " vs " + std::to_string(y);
        }
    });
    return ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << where;
}

TEST(Pooling2DOpt, MatchesReferenceOverRandomGeometry)
{
    std::mt19937 rng(20);
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t N = 1 + rng() % 2, H = 1 + rng() % 11, W = 1 + rng() % 11, C = 1 + rng() % 9;
        const uint32_t kh = 1 + rng() % 4, kw = 1 + rng() % 4, sh = 1 + rng() % 3, sw = 1 + rng() % 3;
        const uint32_t pt = rng() % kh, pb = rng() % kh, pl = rng() % kw, pr = rng() % kw, mode = rng() % 2;
        if (H + pt + pb < kh || W + pl + pr < kw) continue;
        const uint32_t oh = (H + pt + pb - kh) / sh + 1, ow = (W + pl + pr - kw) / sw + 1;
        Pool2DParams p = Params(kh, kw, sh, sw, pt, pl, pb, pr, mode);
        const uint32_t pad = rng() % 3 == 0 ? 2 : 0;
        TensorPtr in = Image(DT_FLOAT32, {N, H, W, C}, pad);
        dm_test::FillRandom(in.get(), rng);
        if (rng() % 2) dm_test::Set<float>(in.get(), {0, 0, 0, 0}, -1e30f);  // negative window, pads decide
        TensorPtr ref = Image(DT_FLOAT32, {N, oh, ow, C}), opt = Image(DT_FLOAT32, {N, oh, ow, C}, pad);
        SCOPED_TRACE(::testing::Message() << "iter " << iter << " HWC " << H << "," << W << "," << C << " k " << kh
                                          << "x" << kw << " s " << sh << "," << sw << " pads " << pt << pl << pb
                                          << pr << " mode " << mode);
        MaxPool2D_fl32_ref(ref.get(), in.get(), &p);
        RunOpt(*nn_kernel_fn_list[kfname_MaxPool2D_opt], opt.get(), in.get(), &p);
        EXPECT_TRUE(dm_test::SameElements(opt.get(), ref.get()));
        AveragePool2D_fl32_ref(ref.get(), in.get(), &p);
        RunOpt(*nn_kernel_fn_list[kfname_AvgPool2D_opt], opt.get(), in.get(), &p);
        EXPECT_TRUE(Near(opt.get(), ref.get(), 2e-6f));
    }
}

TEST(Pooling2DOpt, HalfPrecisionMaxEqualsWidenedReference)
{
    std::mt19937 rng(7);
    Pool2DParams p = Params(3, 2, 2, 1, 1, 0, 1, 1, POOL_PADDING_ZEROS);
    TensorPtr in = Image(DT_FLOAT16, {1, 9, 8, 5});
    dm_test::FillRandom(in.get(), rng);
    TensorPtr in32 = Image(DT_FLOAT32, {1, 9, 8, 5}), ref32 = Image(DT_FLOAT32, {1, 5, 8, 5});
    TensorPtr ref = Image(DT_FLOAT16, {1, 5, 8, 5}), opt = Image(DT_FLOAT16, {1, 5, 8, 5});
    TensorDataConvert(in32.get(), in.get());
    MaxPool2D_fl32_ref(ref32.get(), in32.get(), &p);
    TensorDataConvert(ref.get(), ref32.get());
    RunOpt(*nn_kernel_fn_list[kfname_MaxPool2D_opt], opt.get(), in.get(), &p);
    EXPECT_TRUE(dm_test::SameElements(opt.get(), ref.get()));
}

TEST(Pooling2DOpt, PassPlanIntermediateAndByteCount)
{
    struct Case {
        uint32_t kh, kw, sh, sw;
        Dims mid;  // empty: one pass
    } cases[] = {{3, 1, 2, 1, {}},                // height only
                 {1, 2, 1, 2, {}},                // width only
                 {1, 1, 1, 1, {}},                // a copy
                 {3, 3, 2, 2, {1, 4, 10, 2}},     // equal windows: height first
                 {2, 3, 1, 2, {1, 10, 4, 2}}};    // larger width first
    for (const Case& c : cases) {
        const uint32_t oh = (10 - c.kh) / c.sh + 1, ow = (10 - c.kw) / c.sw + 1;
        Pool2DParams p = Params(c.kh, c.kw, c.sh, c.sw, 0, 0, 0, 0, POOL_PADDING_IGNORE);
        TensorPtr in = Image(DT_FLOAT32, {1, 10, 10, 2}), out = Image(DT_FLOAT32, {1, oh, ow, 2});
        Kernel k({in.get()}, {out.get()}, &p);
        Init_MaxPool2D_opt(k.get());
        const Tensor* mid = (const Tensor*)k.get()->extra_resources;
        uint64_t bytes = (10 * 10 * 2 + oh * ow * 2) * 4;
        if (c.mid.empty()) {
            EXPECT_EQ(mid, nullptr);
        } else {
            ASSERT_NE(mid, nullptr);
            EXPECT_EQ(dm_test::DimsOf(mid), c.mid);
            EXPECT_EQ(mid->layout, DL_NHWC);
            bytes += 2 * 4 * dm_test::Count(c.mid);
        }
        EXPECT_EQ(k.get()->totalBytes, bytes);
        Destroy_MaxPool2D_opt(k.get());
    }
}

TEST(Pooling2DOpt, GlobalAverageMatchesReference)
{
    std::mt19937 rng(3);
    for (bool keep : {true, false}) {
        TensorPtr in = Image(DT_FLOAT32, {2, 7, 5, 6});
        dm_test::FillRandom(in.get(), rng);
        const Dims od = keep ? Dims{2, 1, 1, 6} : Dims{2, 6};
        TensorPtr ref = dm_test::MakeTensor(DT_FLOAT32, od, 0, keep ? DL_NHWC : DL_NC);
        TensorPtr opt = dm_test::MakeTensor(DT_FLOAT32, od, 0, keep ? DL_NHWC : DL_NC);
        GlobalAveragePool2D_fl32_ref(ref.get(), in.get());
        GlobalAvPool2DParams gp = {DL_NHWC, keep};
        RunOpt(*nn_kernel_fn_list[kfname_GlobalAvgPool2D_opt], opt.get(), in.get(), &gp);
        EXPECT_TRUE(Near(opt.get(), ref.get(), 2e-6f));
    }
}

TEST(Pooling2DOpt, ProbesAndSelection)
{
    TensorPtr in = Image(DT_FLOAT32, {1, 8, 8, 3}), out = Image(DT_FLOAT32, {1, 4, 4, 3});
    TensorPtr flat = dm_test::MakeTensor(DT_FLOAT32, {1, 4, 4, 3});
    Pool2DParams ok = Params(2, 2, 2, 2, 0, 0, 0, 0, POOL_PADDING_IGNORE);
    Pool2DParams bad = Params(2, 2, 2, 2, 0, 0, 0, 0, 2);
    Kernel accepted({in.get()}, {out.get()}, &ok), refusedMode({in.get()}, {out.get()}, &bad);
    Kernel refusedLayout({in.get()}, {flat.get()}, &ok);
    EXPECT_EQ(Probe_MaxPool2D_opt(accepted.get()), nullptr);
    EXPECT_EQ(Probe_AvgPool2D_opt(accepted.get()), nullptr);
    EXPECT_NE(Probe_MaxPool2D_opt(refusedMode.get()), nullptr);
    EXPECT_NE(Probe_AvgPool2D_opt(refusedLayout.get()), nullptr);
    EXPECT_EQ(MaxPool2D_opt(-1, 1, refusedMode.get()), -1);
    EXPECT_EQ(SelectNNKernelFn(1, OP_MaxPool2D, DT_FLOAT32, accepted.get()), kfname_MaxPool2D_opt);
    EXPECT_EQ(SelectNNKernelFn(1, OP_MaxPool2D, DT_FLOAT32, refusedMode.get()), kfname_MaxPool2D_fl32_ref);
    EXPECT_EQ(SelectNNKernelFn(1, OP_AveragePool2D, DT_FLOAT32, refusedLayout.get()), kfname_AveragePool2D_fl32_ref);

    TensorPtr gout = dm_test::MakeTensor(DT_FLOAT32, {1, 3}, 0, DL_NC);
    GlobalAvPool2DParams gp = {DL_NHWC, 0};
    Kernel global({in.get()}, {gout.get()}, &gp);
    EXPECT_EQ(Probe_GlobalAvgPool2D_opt(global.get()), nullptr);
    EXPECT_EQ(SelectNNKernelFn(1, OP_GlobalAveragePool2D, DT_FLOAT32, global.get()), kfname_GlobalAvgPool2D_opt);
}

TEST(Pooling2DOpt, SelectedKernelRunsInAModel)
{
    // Two runs through the model's lifecycle: the intermediate made by
    // InitModel is reused and released with the model.
    std::mt19937 rng(8);
    TensorPtr x = Image(DT_FLOAT32, {1, 9, 9, 4});
    dm_test::FillRandom(x.get(), rng);
    PaddingStruct pad = {};
    pad.outputSize[0] = pad.outputSize[1] = 4;
    Layer* in = AddInputLayer("x", x.get());
    Layer* pool = AddMaxPool2DLayer(in, nullptr, "pool", DL_NHWC, 3, 3, 2, 2, 0, &pad, POOL_PADDING_IGNORE);
    const kfname name = SelectNNKernelFn(1, OP_MaxPool2D, DT_FLOAT32, pool->kernel);
    ASSERT_EQ(name, kfname_MaxPool2D_opt);
    pool->kernel->fn = nn_kernel_fn_list[name];
    Model* model = CreateModel(&pool, 1);
    InitModel(model, 1);
    ASSERT_NE(pool->kernel->extra_resources, nullptr);
    Pool2DParams p = Params(3, 3, 2, 2, 0, 0, 0, 0, POOL_PADDING_IGNORE);
    TensorPtr want = Image(DT_FLOAT32, {1, 4, 4, 4});
    MaxPool2D_fl32_ref(want.get(), x.get(), &p);
    const ModelInput feed = {"x", x.get()};
    for (int run = 0; run < 2; ++run)
        EXPECT_TRUE(dm_test::SameElements(Predict(model, 1, &feed)[0]->kernel->output[0], want.get()));
    DestroyModel(model);
}

TEST(Pooling2DOptDeath, RefusalsAreFatal)
{
    TensorPtr in = Image(DT_FLOAT32, {1, 4, 4, 1}), out = Image(DT_FLOAT32, {1, 2, 2, 1});
    TensorPtr inI = Image(DT_INT32, {1, 4, 4, 1}), outI = Image(DT_INT32, {1, 2, 2, 1});
    Pool2DParams bad = Params(2, 2, 2, 2, 0, 0, 0, 0, 2);
    Pool2DParams zeros = Params(2, 2, 2, 2, 0, 0, 0, 0, POOL_PADDING_ZEROS);
    corvus_test::ExpectFatal("Pooling2D_opt", {{[&] {
                                                    Kernel k({in.get()}, {out.get()}, &bad);
                                                    Init_MaxPool2D_opt(k.get());
                                                },
                                                "Init_MaxPool2D_opt error -1"},
                                               {[&] {
                                                    Kernel k({in.get()}, {out.get()}, &bad);
                                                    Execute_AvgPool2D_opt(k.get());
                                                },
                                                "Execute_AvgPool2D_opt error -1"}});
    corvus_test::ExpectFatal("Pooling1D_opt", {{[&] {
                                                    Kernel k({inI.get()}, {outI.get()}, &zeros);
                                                    Execute_MaxPool2D_opt(k.get());
                                                },
                                                "DataType 2 not implemened"}});
}

}  // namespace
