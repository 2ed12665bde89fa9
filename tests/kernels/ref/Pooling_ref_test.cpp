// Reference pooling kernels against the naive window walks of
// pooling_util.h and hand-computed windows (half precision in
// HalfPrecision_ref_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "nn_kernel_list.h"
#include "opt_util.h"
#include "pooling_util.h"

using namespace pooling_test;

namespace {

// Runs an operation's default kernel on a bare record.
void RunDefault(LayerOpType op, Tensor* in, Tensor* out, const void* params)
{
    nn_kernel_fn_list_default[op]->execute(opt_test::Kernel({in}, {out}, (void*)params).get());
}

// {n, h, w, c}, optionally with gaps after each pixel, row and batch (holding
// a marker) so that the kernels must honour the strides they are given.
Tensor* Tensor4D(std::mt19937* rng, uint32_t n, uint32_t h, uint32_t w, uint32_t c, bool strided)
{
    const uint32_t g = strided ? 1 : 0, sw = c + 2 * g, sh = sw * w + 3 * g, sn = sh * h + g;
    Tensor* t = CreateTensorWithStrides(DT_FLOAT32, DL_NHWC, 4, Shape({n, h, w, c}), corvus_test::Strides({sn, sh, sw, 1}), true);
    std::fill(F32(t), F32(t) + (size_t)sn * n, 12345.0f);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    if (rng != nullptr)
        corvus_test::ForEachIndex({n, h, w, c}, [&](const std::vector<uint32_t>& i) { At(t, {i[0], i[1], i[2], i[3]}) = dist(*rng); });
    return t;
}

uint32_t Pick(std::mt19937& rng, uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); }

}  // namespace

TEST(Pool2DRef, RandomGeometriesMatchNaiveWindows)
{
    std::mt19937 rng(7);
    for (int trial = 0; trial < 120; ++trial) {
        const uint32_t N = Pick(rng, 1, 2), H = Pick(rng, 1, 8), W = Pick(rng, 1, 8), C = Pick(rng, 1, 5);
        const Pool2DParams p = Params2D(Pick(rng, 1, 4), Pick(rng, 1, 4), Pick(rng, 1, 3), Pick(rng, 1, 3), Pick(rng, 0, 5),
                                        Pick(rng, 0, 5), Pick(rng, 0, 4), Pick(rng, 0, 4), Pick(rng, 0, 1));
        // Up to a window past the padded input, as rounding up can give.
        const uint32_t OH = Pick(rng, 1, (H + p.padTop + p.padBottom) / p.strideH + 2);
        const uint32_t OW = Pick(rng, 1, (W + p.padLeft + p.padRight) / p.strideW + 2);
        Tensor* in = Tensor4D(&rng, N, H, W, C, trial % 3 == 0);
        for (bool isMax : {true, false}) {
            Tensor* out = Tensor4D(nullptr, N, OH, OW, C, trial % 3 == 0);
            RunDefault(isMax ? OP_MaxPool2D : OP_AveragePool2D, in, out, &p);
            SCOPED_TRACE(::testing::Message() << "trial " << trial << (isMax ? " max" : " avg"));
            ExpectMatchesNaive(isMax, in, out, p);
            DestroyTensor(out);
        }
        DestroyTensor(in);
    }
}

TEST(Pool2DRef, WindowsReachingIntoPads)
{
    const float kLow = -3.4028235e38f, nan = NAN;
    std::vector<float> iota(25);
    for (int e = 0; e < 25; ++e) iota[e] = (float)e;
    const uint32_t G = 4000000000u;
    const std::initializer_list<uint32_t> px = {1, 2, 2, 1}, one = {1, 1, 1, 1}, row = {1, 1, 2, 1}, col = {1, 2, 1, 1};
    const struct {
        std::initializer_list<uint32_t> inDims;
        std::vector<float> in;
        std::initializer_list<uint32_t> outDims;
        Pool2DParams p;
        bool isMax;
        std::vector<float> want;
    } cases[] = {
        // All-negative window: 0 when pads count as zeros, else the largest
        // value; wholly in skipped pads: the start value.
        {px, {-3, -1.5f, -2, -4}, one, Params2D(3, 3, 1, 1, 1, 1, 0, 0, 0), true, {0.0f}},
        {px, {-3, -1.5f, -2, -4}, one, Params2D(3, 3, 1, 1, 1, 1, 0, 0, 1), true, {-1.5f}},
        {px, {-3, -1.5f, -2, -4}, one, Params2D(1, 1, 1, 1, 1, 0, 0, 0, 1), true, {kLow}},
        // Pads top and left: skipped pads average the inside cells, counted pads divide by 4.
        {px, {1, 2, 3, 4}, px, Params2D(2, 2, 1, 1, 1, 1, 0, 0, 1), false, {1, 1.5f, 2, 2.5f}},
        {px, {1, 2, 3, 4}, px, Params2D(2, 2, 1, 1, 1, 1, 0, 0, 0), false, {0.25f, 0.75f, 1, 2.5f}},
        // 3x3, stride 2, pads 1 over 5x5: averages of 4, 6 and 9 cells.
        {{1, 5, 5, 1}, iota, {1, 3, 3, 1}, Params2D(3, 3, 2, 2, 1, 1, 1, 1, 1), false, {3, 4.5f, 6, 10.5f, 12, 13.5f, 18, 19.5f, 21}},
        // Cells past the end pad are ignored in every mode: output row 1 lies
        // past the one-row input, its window is empty (an average of 0 / 0).
        {row, {-2, -1}, col, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 0), true, {-1, kLow}},
        {row, {-2, -1}, col, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 2), true, {-1, kLow}},
        {row, {-2, -1}, col, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 0), false, {-1.5f, nan}},
        {row, {-2, -1}, col, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 1), false, {-1.5f, nan}},
        // Windows of billions of cells, nearly all in the pads, stay bounded:
        // 3999999998 pad rows of 3 cells, 2 more beside the input.
        {px, {-1, -2, -3, -4}, one, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 1), true, {-1}},
        {px, {-1, -2, -3, -4}, one, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 1), false, {-2.5f}},
        {px, {-1, -2, -3, -4}, one, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 0), true, {0}},
        {px, {-1, -2, -3, -4}, one, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 0), false, {-10.0f / 12e9f}},
    };
    for (const auto& c : cases) {
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape(c.inDims), true);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape(c.outDims), true);
        std::copy(c.in.begin(), c.in.end(), F32(in));
        (c.isMax ? MaxPool2D_fl32_ref : AveragePool2D_fl32_ref)(out, in, &c.p);
        for (size_t e = 0; e < c.want.size(); ++e) EXPECT_TRUE(SameFloat(c.want[e], F32(out)[e])) << &c - cases << " at " << e;
        DestroyTensor(in);
        DestroyTensor(out);
    }
}

TEST(Pool1DRef, RandomGeometriesMatchNaiveWindows)
{
    std::mt19937 rng(11);
    for (int trial = 0; trial < 120; ++trial) {
        const uint32_t N = Pick(rng, 1, 3), L = Pick(rng, 1, 12), C = Pick(rng, 1, 6);
        const Pool1DParams p = {Pick(rng, 1, 5), Pick(rng, 1, 3), Pick(rng, 0, 6), Pick(rng, 0, 4), 0, Pick(rng, 0, 1)};
        const uint32_t OL = Pick(rng, 1, (L + p.padBegin + p.padEnd) / p.stride + 2);
        Tensor* in = RandomTensor(rng, DL_NONE, {N, L, C});
        for (bool isMax : {true, false}) {
            Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({N, OL, C}), true);
            RunDefault(isMax ? OP_MaxPool1D : OP_AveragePool1D, in, out, &p);
            corvus_test::ForEachIndex({N, OL, C}, [&](const std::vector<uint32_t>& i) {
                ASSERT_TRUE(SameFloat(NaiveWindow1D(isMax, in, p, i[0], i[1], i[2]), At(out, {i[0], i[1], i[2]})))
                    << "trial " << trial << (isMax ? " max" : " avg") << " o " << i[1];
            });
            DestroyTensor(out);
        }
        DestroyTensor(in);
    }
}

TEST(GlobalPoolRef, AverageAndMaxOverTheMiddleDimensions)
{
    // The average sums rows, then columns, then multiplies by the reciprocal.
    std::mt19937 rng(21);
    for (uint32_t keepDims : {1u, 0u}) {
        Tensor* in = RandomTensor(rng, DL_NHWC, {2, 5, 3, 4}, -10.0f, 10.0f);
        Tensor* out = keepDims ? CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({2, 1, 1, 4}), true)
                               : CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 4}), true);
        const GlobalAvPool2DParams p = {DL_NHWC, keepDims};
        RunDefault(OP_GlobalAveragePool2D, in, out, &p);
        for (uint32_t e = 0; e < 8; ++e) {
            float sum = 0.0f;
            for (uint32_t h = 0; h < 5; ++h)
                for (uint32_t w = 0; w < 3; ++w) sum += At(in, {e / 4, h, w, e % 4});
            EXPECT_EQ(F32(out)[e], sum * (1.0f / 15.0f));
        }
        DestroyTensor(in);
        DestroyTensor(out);
    }
    // Max over every dimension between the first and the last, of any rank.
    for (const std::vector<uint32_t>& dims : std::vector<std::vector<uint32_t>>{{2, 3, 4}, {2, 3, 4, 5}, {1, 2, 3, 2, 3}, {3, 1, 2, 1, 2, 2}}) {
        std::vector<uint32_t> od(dims.size(), 1);
        od.front() = dims.front(), od.back() = dims.back();
        const uint32_t N = dims.front(), C = dims.back();
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)dims.size(), Shape(dims), true);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)dims.size(), Shape(od), true);
        std::uniform_real_distribution<float> dist(-5.0f, 5.0f);
        for (uint32_t e = 0; e < GetTensorSize(in); ++e) F32(in)[e] = dist(rng);
        RunDefault(OP_GlobalMaxPool, in, out, nullptr);
        const uint32_t M = GetTensorSize(in) / (N * C);
        for (uint32_t e = 0; e < N * C; ++e) {
            float best = -INFINITY;
            for (uint32_t m = 0; m < M; ++m) best = std::max(best, F32(in)[(e / C * M + m) * C + e % C]);
            EXPECT_EQ(F32(out)[e], best) << dims.size();
        }
        DestroyTensor(in);
        DestroyTensor(out);
    }
    // A strided {2, 3, 2} view whose gaps hold larger values; an empty middle extent leaves -infinity.
    Tensor* view = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 2}), corvus_test::Strides({17, 5, 1}), true);
    std::fill(F32(view), F32(view) + 34, 100.0f);
    for (uint32_t e = 0; e < 12; ++e) At(view, {e / 6, e / 2 % 3, e % 2}) = (float)e;
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 1, 2}), true);
    GlobalMaxPool_fl32_ref(out, view);
    EXPECT_EQ(std::vector<float>(F32(out), F32(out) + 4), (std::vector<float>{4.0f, 5.0f, 10.0f, 11.0f}));
    Tensor* empty = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 0, 2}), false);
    GlobalMaxPool_fl32_ref(out, empty);
    EXPECT_EQ(std::vector<float>(F32(out), F32(out) + 4), std::vector<float>(4, -INFINITY));
    for (Tensor* t : {view, out, empty}) DestroyTensor(t);
}

TEST(PoolRefDeathTest, PaddingModesAndRefusals)
{
    std::mt19937 rng(3);
    Tensor* in = Tensor4D(&rng, 1, 4, 4, 2, false);
    Tensor* out = Tensor4D(nullptr, 1, 2, 2, 2, false);
    Pool2DParams p = Params2D(2, 2, 2, 2, 0, 0, 0, 0, 2);  // mode 2 is fine while no window touches a pad
    MaxPool2D_fl32_ref(out, in, &p);
    AveragePool2D_fl32_ref(out, in, &p);
    Pool2DParams padded = Params2D(2, 2, 2, 2, 1, 1, 1, 1, 2);
    Tensor* in1 = RandomTensor(rng, DL_NONE, {1, 6, 2});
    Tensor* in4 = RandomTensor(rng, DL_NHWC, {1, 6, 1, 2});
    Tensor* out1 = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, 3, 2}), true);
    Pool1DParams mode2 = {2, 2, 1, 1, 0, 2}, p1 = {2, 2, 1, 1, 0, 1};
    corvus_test::ExpectExitRe({
        {[&] { RunDefault(OP_MaxPool2D, in, out, &padded); }, "^\\[ERROR MESSAGE\\]: Unsupported PaddingMode: 2\\. File Pooling_ref : [0-9]+\n$"},
        {[&] { RunDefault(OP_AveragePool1D, in1, out1, &mode2); }, "\\[ERROR MESSAGE\\]: Unsupported padding mode: 2\\. File Pooling_ref"},
        {[&] { RunDefault(OP_AveragePool1D, in4, out1, &p1); }, "Function AveragePooling1D: Input tensor dimensions \\(4\\) is not equal 3"},
        {[&] { RunDefault(OP_MaxPool1D, in4, out1, &p1); }, "Execute_MaxPool1D_opt error -1\\. File Pooling1D_opt"},
    });
    for (Tensor* t : {in, out, in1, in4, out1}) DestroyTensor(t);
}
