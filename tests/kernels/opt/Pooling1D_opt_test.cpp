// One-dimensional pooling: average against the reference kernel value for
// value, max against a naive window walk written here; tiling of long lines
// and long axes through the scratch memory; the failures.
#include <gtest/gtest.h>

#include <cfloat>
#include <random>

#include "LayersPooling.h"
#include "datamovement_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using dm_test::Dims;
using dm_test::TensorPtr;
using opt_test::Kernel;

namespace {

// Max over {N, L, C} as defined for pooling: start at the lowest finite
// float, replace by strictly greater values; cells in the pads are 0 when
// they count, skipped otherwise; cells past the end pad are not visited.
float NaiveMax(const Tensor* in, uint32_t n, uint32_t o, uint32_t c, const Pool1DParams& p)
{
    const int64_t L = in->shape.dimension[1];
    float m = -FLT_MAX;
    for (uint32_t k = 0; k < p.poolSize; ++k) {
        const int64_t i = (int64_t)o * p.stride + k - p.padBegin;
        float v;
        if (i >= 0 && i < L)
            v = dm_test::At<float>(in, {n, (uint32_t)i, c});
        else if (i < L + p.padEnd && p.paddingMode == POOL_PADDING_ZEROS)
            v = 0.0f;
        else
            continue;
        if (v > m) m = v;
    }
    return m;
}

TEST(Pooling1DOpt, MatchesReferenceAndNaiveMax)
{
    std::mt19937 rng(11);
    for (int iter = 0; iter < 200; ++iter) {
        const uint32_t N = 1 + rng() % 3, L = 1 + rng() % 20, C = 1 + rng() % 40;
        const uint32_t k = 1 + rng() % 5, s = 1 + rng() % 4, pb = rng() % k, pe = rng() % k, mode = rng() % 2;
        if (L + pb + pe < k) continue;
        // Sometimes more outputs than windows reach: those lie past the input.
        const uint32_t oL = (L + pb + pe - k) / s + 1 + (iter % 4 == 0 ? 2 : 0);
        Pool1DParams p = {k, s, pb, pe, 0, mode};
        const uint32_t pad = rng() % 2 ? 3 : 0;
        TensorPtr in = dm_test::MakeTensor(DT_FLOAT32, {N, L, C}, pad);
        dm_test::FillRandom(in.get(), rng);
        TensorPtr ref = dm_test::MakeTensor(DT_FLOAT32, {N, oL, C});
        TensorPtr opt = dm_test::MakeTensor(DT_FLOAT32, {N, oL, C}, pad);
        SCOPED_TRACE(::testing::Message() << "iter " << iter << " L " << L << " k " << k << " s " << s << " pads "
                                          << pb << "," << pe << " mode " << mode);
        AveragePooling1D_fl32_ref(ref.get(), in.get(), &p);
        Kernel avg({in.get()}, {opt.get()}, &p);
        Execute_AvgPool1D_opt(avg.get());
        EXPECT_TRUE(dm_test::SameElements(opt.get(), ref.get()));

        Execute_MaxPool1D_opt(avg.get());
        dm_test::ForEachCoord({N, oL, C}, [&](const Dims& c) {
            ASSERT_EQ(dm_test::At<float>(opt.get(), c), NaiveMax(in.get(), c[0], c[1], c[2], p));
        });
    }
}

TEST(Pooling1DOpt, HalfPrecisionAndScratchTiling)
{
    // Lines wider than the scratch block, and an axis longer than one band.
    std::mt19937 rng(5);
    struct Case {
        DataType type;
        uint32_t L, C, k, s;
    } cases[] = {{DT_FLOAT16, 7, 5, 3, 2}, {DT_FLOAT32, 3, 70000, 2, 1}, {DT_FLOAT32, 5000, 8, 9, 3}};
    for (const Case& c : cases) {
        Pool1DParams p = {c.k, c.s, 1, 1, 0, POOL_PADDING_ZEROS};
        const uint32_t oL = (c.L + 2 - c.k) / c.s + 1;
        TensorPtr in = dm_test::MakeTensor(c.type, {1, c.L, c.C});
        dm_test::FillRandom(in.get(), rng);
        TensorPtr out = dm_test::MakeTensor(c.type, {1, oL, c.C});
        TensorPtr in32 = dm_test::MakeTensor(DT_FLOAT32, {1, c.L, c.C});
        TensorDataConvert(in32.get(), in.get());
        Kernel k({in.get()}, {out.get()}, &p);
        Execute_MaxPool1D_opt(k.get());
        bool same = true;
        dm_test::ForEachCoord({1, oL, c.C}, [&](const Dims& d) {
            const float got = c.type == DT_FLOAT32 ? dm_test::At<float>(out.get(), d)
                                                   : corvus_test::Float(dm_test::At<uint16_t>(out.get(), d));
            same = same && got == NaiveMax(in32.get(), d[0], d[1], d[2], p);
        });
        EXPECT_TRUE(same) << c.L << "x" << c.C;
    }
}

TEST(Pooling1DOptDeath, Failures)
{
    Pool1DParams p = {2, 2, 0, 0, 0, POOL_PADDING_ZEROS};
    Pool1DParams bad = {2, 2, 0, 0, 0, 3};
    Pool1DParams huge = {40000, 1, 0, 0, 0, POOL_PADDING_IGNORE};
    TensorPtr inI = dm_test::MakeTensor(DT_INT8, {1, 4, 2}), outI = dm_test::MakeTensor(DT_INT8, {1, 2, 2});
    TensorPtr in = dm_test::MakeTensor(DT_FLOAT32, {1, 4, 2}), out = dm_test::MakeTensor(DT_FLOAT32, {1, 2, 2});
    TensorPtr inL = dm_test::MakeTensor(DT_FLOAT32, {1, 40000, 1}), outL = dm_test::MakeTensor(DT_FLOAT32, {1, 1, 1});
    corvus_test::ExpectFatal("Pooling1D_opt", {{[&] {
                                                    Kernel k({inI.get()}, {outI.get()}, &p);
                                                    Execute_MaxPool1D_opt(k.get());
                                                },
                                                "DataType 5 not implemened"},
                                               {[&] {
                                                    Kernel k({in.get()}, {out.get()}, &bad);
                                                    Execute_AvgPool1D_opt(k.get());
                                                },
                                                "Execute_AvgPool1D_opt error -1"},
                                               {[&] {
                                                    Kernel k({inL.get()}, {outL.get()}, &huge);
                                                    Execute_MaxPool1D_opt(k.get());
                                                },
                                                "xyFree >= 0: false, expected: true"}});
}

}  // namespace
