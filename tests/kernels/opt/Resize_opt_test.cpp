// Three-channel down-scaling: two-tap linear interpolation checked against
// a naive double-precision interpolation written here, against the area
// reference where both coincide (scales 1 and 1/2), half precision against
// float32, the refusal texts and selection.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>

#include "KernelProbes.h"
#include "LayersResize.h"
#include "NNKernelFnSelector.h"
#include "nn_kernel_list.h"
#include "datamovement_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using dm_test::Dims;
using dm_test::TensorPtr;
using opt_test::Kernel;

namespace {

uint32_t Scaled(uint32_t d, float s) { return (uint32_t)((float)d * s); }

// Input position sampled by output index o: the output cell's centre.
double Centre(uint32_t o, float s, uint32_t inLen)
{
    const double c = (o + 0.5) / (double)s - 0.5;
    return std::min(std::max(c, 0.0), (double)inLen - 1.0);
}

double Lerp(const Tensor* in, uint32_t n, double y, double x, uint32_t ch)
{
    const uint32_t H = in->shape.dimension[1], W = in->shape.dimension[2];
    const uint32_t y0 = (uint32_t)y, x0 = (uint32_t)x, y1 = std::min(y0 + 1, H - 1), x1 = std::min(x0 + 1, W - 1);
    const double fy = y - y0, fx = x - x0;
    auto v = [&](uint32_t r, uint32_t q) { return (double)dm_test::At<float>(in, {n, r, q, ch}); };
    return (1 - fy) * ((1 - fx) * v(y0, x0) + fx * v(y0, x1)) + fy * ((1 - fx) * v(y1, x0) + fx * v(y1, x1));
}

TEST(ResizeOpt, InterpolatesAndMatchesAreaAtHalfAndOne)
{
    std::mt19937 rng(6);
    const float scales[][2] = {{0.5f, 0.5f}, {1.0f, 0.5f}, {0.5f, 1.0f}, {0.3f, 0.7f}, {0.75f, 0.125f}, {1, 1}};
    for (const auto& s : scales) {
        const uint32_t N = 2, H = 8 + rng() % 20, W = 8 + rng() % 20;
        float sc[MAX_NDIM_VALUE] = {1.0f, s[0], s[1], 1.0f, 1.0f, 1.0f};
        TensorPtr in = dm_test::MakeTensor(DT_FLOAT32, {N, H, W, 3}, rng() % 2 ? 3 : 0);
        dm_test::FillRandom(in.get(), rng);
        const Dims od = {N, Scaled(H, s[0]), Scaled(W, s[1]), 3};
        TensorPtr opt = dm_test::MakeTensor(DT_FLOAT32, od), ref = dm_test::MakeTensor(DT_FLOAT32, od);
        ASSERT_EQ(ResizeDown3F32_opt(0, 1, in.get(), opt.get(), sc), nullptr);
        dm_test::ForEachCoord(od, [&](const Dims& c) {
            const double want = Lerp(in.get(), c[0], Centre(c[1], s[0], H), Centre(c[2], s[1], W), c[3]);
            ASSERT_NEAR(dm_test::At<float>(opt.get(), c), want, 1e-4 * (1 + std::fabs(want)));
        });
        const bool area = (s[0] == 0.5f || s[0] == 1.0f) && (s[1] == 0.5f || s[1] == 1.0f);
        if (area) {
            ASSERT_EQ(ResizeDown3F32_ref(0, 1, in.get(), ref.get(), sc), nullptr);
            EXPECT_TRUE(dm_test::SameElements(opt.get(), ref.get())) << s[0] << "," << s[1];
        }
        // Half precision: the widened values through float32, rounded once.
        TensorPtr h = dm_test::MakeTensor(DT_FLOAT16, {N, H, W, 3}), h32 = dm_test::MakeTensor(DT_FLOAT32, {N, H, W, 3});
        TensorPtr ho = dm_test::MakeTensor(DT_FLOAT16, od), want = dm_test::MakeTensor(DT_FLOAT16, od);
        TensorDataConvert(h.get(), in.get());
        TensorDataConvert(h32.get(), h.get());
        ASSERT_EQ(ResizeDown3F32_opt(0, 1, h32.get(), opt.get(), sc), nullptr);
        TensorDataConvert(want.get(), opt.get());
        ASSERT_EQ(ResizeDown3F16_opt(0, 1, h.get(), ho.get(), sc), nullptr);
        EXPECT_TRUE(dm_test::SameElements(ho.get(), want.get()));
    }
}

TEST(ResizeOpt, RefusalsInOrder)
{
    TensorPtr in = dm_test::MakeTensor(DT_FLOAT32, {1, 300, 4, 3}), out = dm_test::MakeTensor(DT_FLOAT32, {1, 1, 2, 3});
    TensorPtr in16 = dm_test::MakeTensor(DT_FLOAT16, {1, 300, 4, 3}), out16 = dm_test::MakeTensor(DT_FLOAT16, {1, 1, 2, 3});
    TensorPtr four = dm_test::MakeTensor(DT_FLOAT32, {1, 1, 2, 4}), in3 = dm_test::MakeTensor(DT_FLOAT32, {300, 4, 3});
    TensorPtr gapped = dm_test::MakeTensor(DT_FLOAT32, {1, 1, 2, 3}, 0);
    gapped->stride.dimension[3] = 2;
    TensorPtr huge = dm_test::MakeTensor(DT_FLOAT32, {1, 2, 40000, 3}, 0, DL_NONE);
    auto f32 = [](const Tensor* a, Tensor* b, float s0, float s1, float s2, float s3 = 1, uint32_t cores = 1) {
        float sc[MAX_NDIM_VALUE] = {s0, s1, s2, s3, 1, 1};
        return ResizeDown3F32_opt(-1, cores, a, b, sc);
    };
    float ok[MAX_NDIM_VALUE] = {1, 0.005f, 0.5f, 1, 1, 1};
    EXPECT_STREQ(ResizeDown3F32_opt(-1, 1, nullptr, out.get(), ok), "!in");
    EXPECT_STREQ(ResizeDown3F32_opt(-1, 1, in.get(), nullptr, ok), "!out");
    EXPECT_STREQ(ResizeDown3F32_opt(-1, 1, in.get(), out.get(), nullptr), "!scale");
    EXPECT_STREQ(f32(in16.get(), out.get(), 1, 0.5f, 0.5f), "in->dtype != DT_FLOAT32");
    EXPECT_STREQ(ResizeDown3F16_opt(-1, 1, in.get(), out.get(), ok), "in->dtype != DT_FLOAT16");
    EXPECT_STREQ(f32(in.get(), out16.get(), 1, 0.5f, 0.5f), "in->dtype != out->dtype");
    EXPECT_STREQ(f32(in3.get(), out.get(), 1, 0.5f, 0.5f), "in->ndim != out->ndim");
    EXPECT_STREQ(f32(in.get(), four.get(), 1, 0.5f, 0.5f), "out->shape.dimension[n1] != 3");
    EXPECT_STREQ(f32(in.get(), gapped.get(), 1, 0.5f, 0.5f), "out->stride.dimension[n1] != 1");
    EXPECT_STREQ(f32(in.get(), out.get(), 2, 0.5f, 0.5f), "v.scale[0] != 1.0");
    EXPECT_STREQ(f32(in.get(), out.get(), 1, 0.005f, 0.5f), "v.scale[1] < 0.008");
    EXPECT_EQ(ResizeDown3F16_opt(-1, 1, in16.get(), out16.get(), ok), nullptr);  // 0.005 is fine in half
    EXPECT_STREQ(f32(in.get(), out.get(), 1, 1.5f, 0.5f), "v.scale[1] > 1.0");
    EXPECT_STREQ(f32(in.get(), out.get(), 1, 0.5f, 0.0f), "v.scale[2] <= 0.0");
    EXPECT_STREQ(f32(in.get(), out.get(), 1, 0.5f, 1.5f), "v.scale[2] > 1.0");
    EXPECT_STREQ(f32(in.get(), out.get(), 1, 0.5f, 0.5f, 0.5f), "v.scale[3] != 1.0");
    EXPECT_STREQ(f32(in.get(), out.get(), 1, 0.5f, 0.5f, 1, 0), "nDsp < NDSP_ONE");
    EXPECT_STREQ(f32(huge.get(), huge.get(), 1, 1, 1), "can't alloc minimal block");
}

TEST(ResizeOpt, SelectionAndFatalRefusal)
{
    TensorPtr in = dm_test::MakeTensor(DT_FLOAT32, {1, 300, 4, 3}), out = dm_test::MakeTensor(DT_FLOAT32, {1, 150, 2, 3});
    ResizeParams rp = {{1, 0.5f, 0.5f, 1, 1, 1}, RESIZE_MODE_AREA};
    Kernel k({in.get()}, {out.get()}, &rp);
    EXPECT_STREQ(Probe_ResizeDown3F16_opt(k.get()), "in->dtype != DT_FLOAT16");
    EXPECT_EQ(Probe_ResizeDown3F32_opt(k.get()), nullptr);
    EXPECT_EQ(SelectNNKernelFn(1, OP_Resize, DT_FLOAT32, k.get()), kfname_ResizeDown3F32_opt);
    rp.scales[1] = 0.005f;
    EXPECT_EQ(SelectNNKernelFn(1, OP_Resize, DT_FLOAT32, k.get()), kfname_ResizeDown3F32_ref);
    corvus_test::ExpectFatal("Resize_opt", {{[&] { Execute_ResizeDown3F32_opt(k.get()); },
                                             "Execute_ResizeDown3F32_opt error: v.scale[1] < 0.008"}});
}

// Selection takes the interpolation only where it is the area average bit
// for bit; elsewhere the average runs. Special values in the first rows make
// the sums round differently from halving first.
TEST(ResizeOpt, SelectedOnlyWhereItEqualsTheAreaAverage)
{
    std::mt19937 rng(8);
    const float third = 1.0f / 3.0f, special[] = {1.4e-45f, -0.0f, FLT_MAX, 3e-39f, -FLT_MAX};
    struct Case {
        uint32_t H, W, oH, oW;
        float sH, sW;
        kfname want;
    };
    const Case cases[] = {
        {12, 10, 6, 5, 0.5f, 0.5f, kfname_ResizeDown3F32_opt},
        {7, 9, 7, 4, 1.0f, 0.5f, kfname_ResizeDown3F32_opt},  // odd width: the last column is left out
        {9, 12, 3, 4, third, third, kfname_ResizeDown3F32_ref},
        {8, 8, 6, 6, 0.75f, 0.75f, kfname_ResizeDown3F32_ref},
        {8, 9, 4, 3, 0.5f, third, kfname_ResizeDown3F32_ref},
        {9, 8, 5, 4, 0.5f, 0.5f, kfname_ResizeDown3F32_ref},  // the last window reaches past the input
    };
    for (const Case& c : cases) {
        TensorPtr in = dm_test::MakeTensor(DT_FLOAT32, {2, c.H, c.W, 3});
        dm_test::FillRandom(in.get(), rng);
        dm_test::ForEachCoord({2, 2, c.W, 3}, [&](const Dims& i) {
            dm_test::Set<float>(in.get(), i, special[(i[2] / 2 + i[3]) % 5]);
        });
        const Dims od = {2, c.oH, c.oW, 3};
        TensorPtr out = dm_test::MakeTensor(DT_FLOAT32, od), ref = dm_test::MakeTensor(DT_FLOAT32, od);
        ResizeParams rp = {{1, c.sH, c.sW, 1, 1, 1}, RESIZE_MODE_AREA};
        Kernel k({in.get()}, {out.get()}, &rp);
        const kfname got = SelectNNKernelFn(1, OP_Resize, DT_FLOAT32, k.get());
        EXPECT_EQ(got, c.want) << c.sH << "," << c.sW << " " << c.oH << "x" << c.oW;
        nn_kernel_fn_list[got]->execute(k.get());
        ASSERT_EQ(ResizeDown3F32_ref(0, 1, in.get(), ref.get(), rp.scales), nullptr);
        EXPECT_TRUE(dm_test::SameElements(out.get(), ref.get())) << c.sH << "," << c.sW;
    }
}

}  // namespace
