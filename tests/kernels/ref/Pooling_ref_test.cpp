// Reference pooling kernels against the naive window walks of
// pooling_util.h and hand-computed windows (half precision in
// HalfPrecision_ref_test).

#include "opt_util.h"
#include "pooling_util.h"

using namespace pooling_test;
using corvus_test::Pick;
using dm_test::Dims;
using dm_test::TensorPtr;

namespace {

// Runs an operation's default kernel on a bare record.
void RunDefault(LayerOpType op, const TensorPtr& in, const TensorPtr& out, const void* params)
{
    nn_kernel_fn_list_default[op]->execute(opt_test::Kernel({in.get()}, {out.get()}, (void*)params).get());
}

}  // namespace

// Random windows, pads and modes, with outputs up to a window past the
// padded input (as rounding up can give), over padded strides now and then.
TEST(PoolRef, RandomGeometriesMatchNaiveWindowsAndHandWindowsReachIntoPads)
{
    std::mt19937 rng(7);
    for (int trial = 0; trial < 120; ++trial) {
        const uint32_t N = Pick(rng, 1, 2), H = Pick(rng, 1, 8), W = Pick(rng, 1, 8), C = Pick(rng, 1, 5),
                       gap = trial % 3 == 0;
        const Pool2DParams p =
            Params2D(Pick(rng, 1, 4), Pick(rng, 1, 4), Pick(rng, 1, 3), Pick(rng, 1, 3), Pick(rng, 0, 5),
                     Pick(rng, 0, 5), Pick(rng, 0, 4), Pick(rng, 0, 4), Pick(rng, 0, 1));
        const uint32_t OH = Pick(rng, 1, (H + p.padTop + p.padBottom) / p.strideH + 2);
        const uint32_t OW = Pick(rng, 1, (W + p.padLeft + p.padRight) / p.strideW + 2);
        TensorPtr in = dm_test::MakeTensor(DT_FLOAT32, {N, H, W, C}, gap, DL_NHWC);
        dm_test::FillRandom(in.get(), rng);
        const uint32_t L = Pick(rng, 1, 12);
        const Pool1DParams p1 = {Pick(rng, 1, 5), Pick(rng, 1, 3), Pick(rng, 0, 6), Pick(rng, 0, 4), 0,
                                 Pick(rng, 0, 1)};
        const uint32_t OL = Pick(rng, 1, (L + p1.padBegin + p1.padEnd) / p1.stride + 2);
        TensorPtr in1 = dm_test::RandomTensor(rng, DT_FLOAT32, {N, L, C});
        for (bool isMax : {true, false}) {
            SCOPED_TRACE(::testing::Message() << "trial " << trial << (isMax ? " max" : " avg"));
            TensorPtr out = dm_test::MakeTensor(DT_FLOAT32, {N, OH, OW, C}, gap, DL_NHWC);
            RunDefault(isMax ? OP_MaxPool2D : OP_AveragePool2D, in, out, &p);
            ExpectMatchesNaive(isMax, in.get(), out.get(), p);
            TensorPtr out1 = dm_test::MakeTensor(DT_FLOAT32, {N, OL, C});
            RunDefault(isMax ? OP_MaxPool1D : OP_AveragePool1D, in1, out1, &p1);
            corvus_test::ForEachIndex({N, OL, C}, [&](const Dims& i) {
                ASSERT_TRUE(SameFloat(NaiveWindow1D(isMax, in1.get(), p1, i[0], i[1], i[2]),
                                      At(out1.get(), {i[0], i[1], i[2]})))
                    << "1-D, o " << i[1];
            });
        }
    }

    const float kLow = -3.4028235e38f, nan = NAN;
    std::vector<float> iota(25);
    for (int e = 0; e < 25; ++e) iota[e] = (float)e;
    const uint32_t G = 4000000000u;
    const Dims px = {1, 2, 2, 1}, one = {1, 1, 1, 1}, row = {1, 1, 2, 1}, col = {1, 2, 1, 1};
    const struct {
        Dims inDims;
        std::vector<float> in;
        Dims outDims;
        Pool2DParams p;
        bool isMax;
        std::vector<float> want;
        // clang-format off
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
        {{1, 5, 5, 1}, iota, {1, 3, 3, 1}, Params2D(3, 3, 2, 2, 1, 1, 1, 1, 1), false, {3, 4.5f, 6, 10.5f, 12, 13.5f,
         18, 19.5f, 21}},
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
    // clang-format on
    for (const auto& c : cases) {
        TensorPtr in(corvus_test::Holding(DT_FLOAT32, c.inDims, c.in, DL_NHWC)),
            out = dm_test::MakeTensor(DT_FLOAT32, c.outDims, 0, DL_NHWC);
        (c.isMax ? MaxPool2D_fl32_ref : AveragePool2D_fl32_ref)(out.get(), in.get(), &c.p);
        for (size_t e = 0; e < c.want.size(); ++e)
            EXPECT_TRUE(SameFloat(c.want[e], F32(out.get())[e])) << &c - cases << " at " << e;
    }
}

// The average sums rows, then columns, then multiplies by the reciprocal;
// the max runs over every dimension between the first and the last, of any
// rank; a strided view's gaps hold larger values; an empty middle extent
// leaves -infinity.
TEST(GlobalPoolRef, AverageAndMaxOverTheMiddleDimensions)
{
    std::mt19937 rng(21);
    for (uint32_t keepDims : {1u, 0u}) {
        TensorPtr in = dm_test::RandomTensor(rng, DT_FLOAT32, {2, 5, 3, 4}, 0, DL_NHWC);
        TensorPtr out =
            dm_test::MakeTensor(DT_FLOAT32, keepDims ? Dims{2, 1, 1, 4} : Dims{2, 4}, 0, keepDims ? DL_NHWC : DL_NC);
        const GlobalAvPool2DParams p = {DL_NHWC, keepDims};
        RunDefault(OP_GlobalAveragePool2D, in, out, &p);
        for (uint32_t e = 0; e < 8; ++e) {
            float sum = 0.0f;
            for (uint32_t h = 0; h < 5; ++h)
                for (uint32_t w = 0; w < 3; ++w) sum += At(in.get(), {e / 4, h, w, e % 4});
            EXPECT_EQ(F32(out.get())[e], sum * (1.0f / 15.0f));
        }
    }
    for (const Dims& dims : std::vector<Dims>{{2, 3, 4}, {2, 3, 4, 5}, {1, 2, 3, 2, 3}, {3, 1, 2, 1, 2, 2}}) {
        Dims od(dims.size(), 1);
        const uint32_t N = od.front() = dims.front(), C = od.back() = dims.back();
        TensorPtr in = dm_test::RandomTensor(rng, DT_FLOAT32, dims), out = dm_test::MakeTensor(DT_FLOAT32, od);
        RunDefault(OP_GlobalMaxPool, in, out, nullptr);
        const uint32_t M = GetTensorSize(in.get()) / (N * C);
        for (uint32_t e = 0; e < N * C; ++e) {
            float best = -INFINITY;
            for (uint32_t m = 0; m < M; ++m) best = std::max(best, F32(in.get())[(e / C * M + m) * C + e % C]);
            EXPECT_EQ(F32(out.get())[e], best) << dims.size();
        }
    }
    TensorPtr view = corvus_test::NewTensor(DT_FLOAT32, {2, 3, 2}, {17, 5, 1}),
              out = dm_test::MakeTensor(DT_FLOAT32, {2, 1, 2});
    std::fill(F32(view.get()), F32(view.get()) + 34, 100.0f);
    for (uint32_t e = 0; e < 12; ++e) At(view.get(), {e / 6, e / 2 % 3, e % 2}) = (float)e;
    GlobalMaxPool_fl32_ref(out.get(), view.get());
    EXPECT_EQ(corvus_test::ValuesOf<float>(out.get()), (std::vector<float>{4.0f, 5.0f, 10.0f, 11.0f}));
    GlobalMaxPool_fl32_ref(out.get(), corvus_test::NewTensor(DT_FLOAT32, {2, 0, 2}, {}, false).get());
    EXPECT_EQ(corvus_test::ValuesOf<float>(out.get()), std::vector<float>(4, -INFINITY));
}

// Mode 2 is fine while no window touches a pad.
TEST(PoolRefDeathTest, PaddingModesAndRefusals)
{
    std::mt19937 rng(3);
    TensorPtr in = dm_test::RandomTensor(rng, DT_FLOAT32, {1, 4, 4, 2}, 0, DL_NHWC),
              out = dm_test::RandomTensor(rng, DT_FLOAT32, {1, 2, 2, 2}, 0, DL_NHWC);
    Pool2DParams p = Params2D(2, 2, 2, 2, 0, 0, 0, 0, 2), padded = Params2D(2, 2, 2, 2, 1, 1, 1, 1, 2);
    MaxPool2D_fl32_ref(out.get(), in.get(), &p);
    AveragePool2D_fl32_ref(out.get(), in.get(), &p);
    TensorPtr in1 = dm_test::RandomTensor(rng, DT_FLOAT32, {1, 6, 2}),
              in4 = dm_test::RandomTensor(rng, DT_FLOAT32, {1, 6, 1, 2}, 0, DL_NHWC);
    TensorPtr out1 = dm_test::MakeTensor(DT_FLOAT32, {1, 3, 2});
    Pool1DParams mode2 = {2, 2, 1, 1, 0, 2}, p1 = {2, 2, 1, 1, 0, 1};
    // clang-format off
    corvus_test::ExpectExitRe({
        {[&] { RunDefault(OP_MaxPool2D, in, out, &padded); },
         "^\\[ERROR MESSAGE\\]: Unsupported PaddingMode: 2\\. File Pooling_ref : [0-9]+\n$"},
        {[&] { RunDefault(OP_AveragePool1D, in1, out1, &mode2); },
         "\\[ERROR MESSAGE\\]: Unsupported padding mode: 2\\. File Pooling_ref"},
        {[&] { RunDefault(OP_AveragePool1D, in4, out1, &p1); },
         "Function AveragePooling1D: Input tensor dimensions \\(4\\) is not equal 3"},
        {[&] { RunDefault(OP_MaxPool1D, in4, out1, &p1); }, "Execute_MaxPool1D_opt error -1\\. File Pooling1D_opt"},
    });
    // clang-format on
}
