// Nearest and area resize kernels against their definitions.
#include <gtest/gtest.h>

#include <string>

#include "LayersResize.h"
#include "resize_util.h"
#include "test_util.h"

using namespace resize_test;

namespace {

typedef const char* (*ResizeFn)(int32_t, uint32_t, const Tensor*, Tensor*, const float*);

// A random shape of `rank` and per-dimension scales mixing 1.0, down- and
// up-scaling; the output extents follow the constructor's rule. Outputs stay
// small enough for element-by-element checking.
void RandomGeometry(std::mt19937& rng, uint32_t rank, U& in, U& out, std::vector<float>& scales)
{
    static const float kScales[] = {1.0f, 0.5f, 0.25f, 0.4f, 0.75f, 1.0f / 3.0f, 2.0f, 1.5f, 3.0f};
    uint64_t elements;
    do {
        in.assign(rank, 0);
        out.assign(rank, 0);
        scales.assign(rank, 1.0f);
        elements = 1;
        for (uint32_t d = 0; d < rank; ++d) {
            in[d] = 1 + rng() % (rank > 3 ? 4 : 9);
            scales[d] = kScales[rng() % 9];
            out[d] = std::max(1u, (uint32_t)((float)in[d] * scales[d]));
            elements *= out[d];
        }
    } while (elements > 3000);
}

}  // namespace

TEST(ResizeRef, WorkedExamples)
{
    // Nearest along a dimension of 4: by 0.5 reads 1 and 3, by 2 reads each twice.
    Tensor* in = F32Tensor({4}, {10, 11, 12, 13});
    for (auto c : {std::make_pair(0.5f, std::vector<float>{11, 13}),
                   std::make_pair(2.0f, std::vector<float>{10, 10, 11, 11, 12, 12, 13, 13})}) {
        Tensor* out = F32Tensor({(uint32_t)c.second.size()});
        ASSERT_EQ(ResizeNear_ref(0, 1, in, out, &c.first), nullptr);
        EXPECT_EQ(Values(out), c.second);
        DestroyTensor(out);
    }
    // Area: (1, 2, 3, 4) by 0.5 averages pairs.
    Tensor* four = F32Tensor({4}, {1, 2, 3, 4});
    Tensor* two = F32Tensor({2});
    const float half = 0.5f;
    ASSERT_EQ(ResizeDownF32_ref(0, 1, four, two, &half), nullptr);
    EXPECT_EQ(Values(two), (std::vector<float>{1.5f, 3.5f}));
    // A ratio that is not whole: (1, 2, 3) by 0.4 -> 0.4 * (1 + 2 + 0.5 * 3).
    Tensor* three = F32Tensor({3}, {1, 2, 3});
    Tensor* one = F32Tensor({1});
    const float twoFifths = 0.4f;
    ASSERT_EQ(ResizeDownF32_ref(0, 1, three, one, &twoFifths), nullptr);
    EXPECT_NEAR(At(one, {0}), 1.8, 1e-6);
    for (Tensor* t : {in, four, two, three, one}) DestroyTensor(t);
}

// Random ranks 1..6, scales and strides, element sizes 1, 2 and 4: every
// output element is the input element the nearest-index rule names.
TEST(ResizeRef, NearestSweepMatchesIndexRule)
{
    std::mt19937 rng(7);
    const DataType types[] = {DT_UINT8, DT_FLOAT16, DT_FLOAT32, DT_INT32};
    for (int trial = 0; trial < 120; ++trial) {
        U inDims, outDims;
        std::vector<float> scales;
        RandomGeometry(rng, 1 + trial % 6, inDims, outDims, scales);
        const DataType dtype = types[trial % 4];
        Tensor* in = MakeTensor(dtype, inDims, trial % 3);
        Tensor* out = MakeTensor(dtype, outDims, (trial + 1) % 2);
        FillRandom(in, rng);
        ASSERT_EQ(ResizeNear_ref(0, 1, in, out, scales.data()), nullptr);
        ForEachIndex(outDims, [&](const U& o) {
            U i(o.size());
            for (size_t d = 0; d < o.size(); ++d) i[d] = NearestSource(o[d], inDims[d], scales[d]);
            ASSERT_EQ(Bytes(out, o), Bytes(in, i)) << "trial " << trial;
        });
        DestroyTensor(in);
        DestroyTensor(out);
    }
}

// Area resize against the overlap definition computed in double precision.
TEST(ResizeRef, AreaSweepMatchesOverlapDefinition)
{
    std::mt19937 rng(11);
    for (int trial = 0; trial < 80; ++trial) {
        U inDims, outDims;
        std::vector<float> scales;
        RandomGeometry(rng, 1 + trial % 4, inDims, outDims, scales);
        if (trial % 5 == 0) outDims[0] += 1;  // extents past in * s clamp to the last element
        Tensor* in = F32Tensor(inDims, {}, DL_NONE, trial % 2);
        Tensor* out = F32Tensor(outDims, {}, DL_NONE, trial % 3);
        FillRandom(in, rng, -4.0f, 4.0f);
        ASSERT_EQ(ResizeDownF32_ref(0, 1, in, out, scales.data()), nullptr);
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
                for (size_t d = 0; d < o.size(); ++d) {
                    i[d] = taps[d][t[d]].first;
                    w *= taps[d][t[d]].second;
                }
                expected += w * At(in, i);
            });
            ASSERT_NEAR(At(out, o), expected, 1e-5 * (1.0 + std::fabs(expected))) << "trial " << trial;
        });
        DestroyTensor(in);
        DestroyTensor(out);
    }
}

// The "3" variants compute exactly what the general ones do when the last
// dimension holds three values at scale 1.
TEST(ResizeRef, ThreeChannelVariantsEqualGeneralOnes)
{
    std::mt19937 rng(3);
    for (int trial = 0; trial < 40; ++trial) {
        U inDims, outDims;
        std::vector<float> scales;
        RandomGeometry(rng, 1 + trial % 4, inDims, outDims, scales);
        inDims.back() = outDims.back() = 3;
        scales.back() = 1.0f;
        Tensor* in = F32Tensor(inDims, {}, DL_NONE, trial % 2);
        FillRandom(in, rng);
        for (auto fns : {std::make_pair(ResizeNear_ref, ResizeNear3F32_ref),
                         std::make_pair(ResizeDownF32_ref, ResizeDown3F32_ref)}) {
            Tensor* general = F32Tensor(outDims);
            Tensor* three = F32Tensor(outDims, {}, DL_NONE, 1);
            ASSERT_EQ(fns.first(0, 1, in, general, scales.data()), nullptr);
            ASSERT_EQ(fns.second(0, 1, in, three, scales.data()), nullptr);
            EXPECT_EQ(Values(general), Values(three)) << "trial " << trial;
            DestroyTensor(general);
            DestroyTensor(three);
        }
        DestroyTensor(in);
    }
}

// Each refusal text, per function; probing (mode -1) never writes.
TEST(ResizeRef, RefusalsAndProbeMode)
{
    Tensor* in = F32Tensor({2, 4, 3});
    Tensor* out = F32Tensor({2, 2, 3}, std::vector<float>(12, 7.0f));
    Tensor* half = MakeTensor(DT_FLOAT16, {2, 2, 3});
    Tensor* rank2 = F32Tensor({2, 6});
    Tensor* four = F32Tensor({2, 2, 4});
    Tensor* empty = F32Tensor({0, 4, 3});
    Tensor* strided = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, ShapeOf({2, 2, 3}),
                                              corvus_test::Strides({12, 6, 2}), true);
    const float ok[3] = {1.0f, 0.5f, 1.0f}, zero[3] = {1.0f, 0.0f, 1.0f}, lastScaled[3] = {1.0f, 0.5f, 2.0f};
    const float nan[3] = {1.0f, NAN, 1.0f};
    struct Case {
        ResizeFn fn;
        uint32_t cores;
        const Tensor* in;
        Tensor* out;
        const float* scales;
        const char* reason;
    };
    const Case cases[] = {
        {ResizeNear_ref, 1, nullptr, out, ok, "!in"},
        {ResizeNear_ref, 1, in, nullptr, ok, "!out"},
        {ResizeDownF32_ref, 1, in, out, nullptr, "!scale"},
        {ResizeNear_ref, 0, in, out, ok, "nDsp < NDSP_ONE"},
        {ResizeNear_ref, 1, in, half, ok, "in->dtype != out->dtype"},
        {ResizeDownF32_ref, 1, half, half, ok, "in->dtype != DT_FLOAT32"},
        {ResizeNear3F32_ref, 1, half, half, ok, "in->dtype != DT_FLOAT32"},
        {ResizeNear_ref, 1, in, rank2, ok, "in->ndim != out->ndim"},
        {ResizeNear_ref, 1, in, out, zero, "scale[i] <= 0.0"},
        {ResizeDownF32_ref, 1, in, out, nan, "scale[i] <= 0.0"},
        {ResizeNear3F32_ref, 1, four, out, ok, "in->shape.dimension[n1] != 3"},
        {ResizeDown3F32_ref, 1, in, four, ok, "out->shape.dimension[n1] != 3"},
        {ResizeNear3F32_ref, 1, strided, out, ok, "in->stride.dimension[n1] != 1"},
        {ResizeDown3F32_ref, 1, in, strided, ok, "out->stride.dimension[n1] != 1"},
        {ResizeDown3F32_ref, 1, in, out, lastScaled, "scale[n-1] != 1.0"},
        {ResizeNear_ref, 1, empty, out, ok, "in is empty while out is not"},
    };
    for (const Case& c : cases) {
        const char* r = c.fn(-1, c.cores, c.in, c.out, c.scales);
        EXPECT_STREQ(r, c.reason);
        EXPECT_STREQ(c.fn(0, c.cores, c.in, c.out, c.scales), c.reason);
    }
    Tensor* rank0 = F32Tensor({});
    Tensor* rank7 = F32Tensor({2, 2, 3});
    rank7->ndim = 7;
    EXPECT_STREQ(ResizeNear_ref(-1, 1, rank0, rank0, ok), "in->ndim <= 0");
    EXPECT_STREQ(ResizeNear_ref(-1, 1, rank7, rank7, ok), "in->ndim > MAX_NDIM_VALUE");
    rank7->ndim = 3;
    // Accepted in probe mode: nothing is written.
    for (ResizeFn fn : {ResizeNear_ref, ResizeNear3F32_ref, ResizeDownF32_ref, ResizeDown3F32_ref}) {
        EXPECT_EQ(fn(-1, 1, in, out, ok), nullptr);
        EXPECT_EQ(Values(out), std::vector<float>(12, 7.0f));
    }
    for (Tensor* t : {in, out, half, rank2, four, empty, strided, rank0, rank7}) DestroyTensor(t);
}

TEST(ResizeRefDeathTest, ExecuteWrappersReportRefusals)
{
    NNKernel kernel;
    memset(&kernel, 0, sizeof(kernel));
    Tensor* in = F32Tensor({1, 4, 4, 3});
    Tensor* out = F32Tensor({1, 2, 2, 3});
    ResizeParams params = {{1.0f, 0.5f, 0.0f, 1.0f, 1.0f, 1.0f}, RESIZE_MODE_NEAREST};
    kernel.input = &in;
    kernel.output = &out;
    kernel.inputsNum = kernel.outputsNum = 1;
    kernel.coresNumber = 1;
    kernel.params = &params;
    corvus_test::ExpectFatal("Resize_ref", {
        {[&] { Execute_ResizeNear_ref(&kernel); }, "Execute_ResizeNear_ref error: scale[i] <= 0.0"},
        {[&] { Execute_ResizeDownF32_ref(nullptr); }, "kernel pointer is null"},
        {[&] { params.scales[2] = 0.5f; params.scales[3] = 2.0f; Execute_ResizeDown3F32_ref(&kernel); },
         "Execute_ResizeDown3F32_ref error: scale[n-1] != 1.0"},
        {[&] { kernel.coresNumber = 0; Execute_ResizeNear3F32_ref(&kernel); },
         "Execute_ResizeNear3F32_ref error: nDsp < NDSP_ONE"},
        {[&] { kernel.params = nullptr; Execute_ResizeDownF32_ref(&kernel); }, "Execute_ResizeDownF32_ref error: !scale"},
    });
    DestroyTensor(in);
    DestroyTensor(out);
}
