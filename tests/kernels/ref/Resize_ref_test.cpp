// Nearest and area resize kernels against their definitions.
#include "LayersResize.h"
#include "resize_util.h"

using namespace resize_test;
using corvus_test::TensorPtr;

namespace {

typedef const char* (*ResizeFn)(int32_t, uint32_t, const Tensor*, Tensor*, const float*);

// A random shape of `rank` and per-dimension scales mixing 1.0, down- and
// up-scaling; the output extents follow the constructor's rule. Outputs stay
// small enough for element-by-element checking.
void RandomGeometry(std::mt19937& rng, uint32_t rank, U& in, U& out, std::vector<float>& scales)
{
    static const float kScales[] = {1.0f, 0.5f, 0.25f, 0.4f, 0.75f, 1.0f / 3.0f, 2.0f, 1.5f, 3.0f};
    do {
        in.assign(rank, 0), out.assign(rank, 0), scales.assign(rank, 1.0f);
        for (uint32_t d = 0; d < rank; ++d) {
            in[d] = 1 + rng() % (rank > 3 ? 4 : 9);
            scales[d] = kScales[rng() % 9];
            out[d] = std::max(1u, (uint32_t)((float)in[d] * scales[d]));
        }
    } while (corvus_test::Count(out) > 3000);
}

}  // namespace

// Nearest along a dimension of 4: by 0.5 reads 1 and 3, by 2 reads each
// twice. Area: (1, 2, 3, 4) by 0.5 averages pairs; a ratio that is not
// whole: (1, 2, 3) by 0.4 -> 0.4 * (1 + 2 + 0.5 * 3). Probing (mode -1)
// never writes; a scale that is not positive is refused.
TEST(ResizeRef, WorkedExamplesProbesAndBadScales)
{
    TensorPtr in(F32Tensor({4}, {10, 11, 12, 13})), two(F32Tensor({2})), eight(F32Tensor({8}));
    TensorPtr four(F32Tensor({4}, {1, 2, 3, 4})), three(F32Tensor({3}, {1, 2, 3})), one(F32Tensor({1}));
    const float half = 0.5f, twice = 2.0f, twoFifths = 0.4f;
    ASSERT_EQ(ResizeNear_ref(0, 1, in.get(), two.get(), &half), nullptr);
    ASSERT_EQ(ResizeNear_ref(0, 1, in.get(), eight.get(), &twice), nullptr);
    EXPECT_EQ(Values(two.get()), (std::vector<float>{11, 13}));
    EXPECT_EQ(Values(eight.get()), (std::vector<float>{10, 10, 11, 11, 12, 12, 13, 13}));
    ASSERT_EQ(ResizeDownF32_ref(0, 1, four.get(), two.get(), &half), nullptr);
    EXPECT_EQ(Values(two.get()), (std::vector<float>{1.5f, 3.5f}));
    ASSERT_EQ(ResizeDownF32_ref(0, 1, three.get(), one.get(), &twoFifths), nullptr);
    EXPECT_NEAR(At(one.get(), {0}), 1.8, 1e-6);

    TensorPtr src(F32Tensor({2, 4, 3})), out(F32Tensor({2, 2, 3}, std::vector<float>(12, 7.0f)));
    const float ok[3] = {1.0f, 0.5f, 1.0f}, zero[3] = {1.0f, 0.0f, 1.0f}, nan[3] = {1.0f, NAN, 1.0f};
    for (ResizeFn fn : {ResizeNear_ref, ResizeNear3F32_ref, ResizeDownF32_ref, ResizeDown3F32_ref}) {
        EXPECT_EQ(fn(-1, 1, src.get(), out.get(), ok), nullptr);
        EXPECT_EQ(Values(out.get()), std::vector<float>(12, 7.0f));
        EXPECT_STREQ(fn(0, 1, src.get(), out.get(), zero), "scale[i] <= 0.0");
        EXPECT_STREQ(fn(0, 1, src.get(), out.get(), nan), "scale[i] <= 0.0");
    }
}

// Random ranks 1..6, scales and strides, element sizes 1, 2 and 4: every
// output element is the input element the nearest-index rule names.
TEST(ResizeRef, NearestAndAreaSweepsMatchTheIndexRuleAndOverlapDefinition)
{
    std::mt19937 rng(7);
    const DataType types[] = {DT_UINT8, DT_FLOAT16, DT_FLOAT32, DT_INT32};
    for (int trial = 0; trial < 120; ++trial) {
        U inDims, outDims;
        std::vector<float> scales;
        RandomGeometry(rng, 1 + trial % 6, inDims, outDims, scales);
        TensorPtr in(MakeTensor(types[trial % 4], inDims, trial % 3)),
            out(MakeTensor(types[trial % 4], outDims, (trial + 1) % 2));
        FillRandom(in.get(), rng);
        ASSERT_EQ(ResizeNear_ref(0, 1, in.get(), out.get(), scales.data()), nullptr);
        ForEachIndex(outDims, [&](const U& o) {
            U i(o.size());
            for (size_t d = 0; d < o.size(); ++d) i[d] = NearestSource(o[d], inDims[d], scales[d]);
            ASSERT_EQ(Bytes(out.get(), o), Bytes(in.get(), i)) << "trial " << trial;
        });
    }

    // Area resize against the overlap definition computed in double precision.
    // The "3" variants compute exactly what the general ones do when the last
    // dimension holds three values at scale 1.
    for (int trial = 0; trial < 80; ++trial) {
        U inDims, outDims;
        std::vector<float> scales;
        RandomGeometry(rng, 1 + trial % 4, inDims, outDims, scales);
        if (trial % 5 == 0) outDims[0] += 1;  // extents past in * s clamp to the last element
        if (trial % 4 == 3) inDims.back() = outDims.back() = 3, scales.back() = 1.0f;
        TensorPtr in(F32Tensor(inDims, {}, DL_NONE, trial % 2)), out(F32Tensor(outDims, {}, DL_NONE, trial % 3));
        FillRandom(in.get(), rng, -4.0f, 4.0f);
        ASSERT_EQ(ResizeDownF32_ref(0, 1, in.get(), out.get(), scales.data()), nullptr);
        ForEachIndex(outDims, [&](const U& o) {
            // Input indices of non-zero weight per dimension, then their product.
            std::vector<std::vector<std::pair<uint32_t, double>>> taps(o.size());
            U counts(o.size());
            for (size_t d = 0; d < o.size(); ++d) {
                for (uint32_t i = 0; i < inDims[d]; ++i)
                    if (AreaWeight(o[d], i, inDims[d], scales[d]) > 0)
                        taps[d].push_back({i, AreaWeight(o[d], i, inDims[d], scales[d])});
                counts[d] = (uint32_t)taps[d].size();
            }
            double expected = 0.0;
            ForEachIndex(counts, [&](const U& t) {
                U i(o.size());
                double w = 1.0;
                for (size_t d = 0; d < o.size(); ++d) i[d] = taps[d][t[d]].first, w *= taps[d][t[d]].second;
                expected += w * At(in.get(), i);
            });
            ASSERT_NEAR(At(out.get(), o), expected, 1e-5 * (1.0 + std::fabs(expected))) << "trial " << trial;
        });
        if (trial % 4 != 3) continue;
        for (auto fns : {std::make_pair(ResizeNear_ref, ResizeNear3F32_ref),
                         std::make_pair(ResizeDownF32_ref, ResizeDown3F32_ref)}) {
            TensorPtr general(F32Tensor(outDims)), three(F32Tensor(outDims, {}, DL_NONE, 1));
            ASSERT_EQ(fns.first(0, 1, in.get(), general.get(), scales.data()), nullptr);
            ASSERT_EQ(fns.second(0, 1, in.get(), three.get(), scales.data()), nullptr);
            EXPECT_EQ(Values(general.get()), Values(three.get())) << "trial " << trial;
        }
    }
}
