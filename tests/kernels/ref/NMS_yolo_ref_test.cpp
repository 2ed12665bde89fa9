// YOLO row suppression against hand-computed rows and the naive version of
// detection_util.h (textbook Lomuto sort, inclusive score and IoU rules).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersDetection.h"
#include "detection_util.h"
#include "test_util.h"

using namespace detection_test;

namespace {

std::vector<float> RunYolo(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L, uint32_t outRows,
                           float scoreThr, float iouThr)
{
    NMSYoloParams p{scoreThr, iouThr};
    Tensor* out = MakeTensor(DT_FLOAT32, {N, outRows, L});
    for (uint32_t e = 0; e < GetTensorSize(out); ++e) F32(out)[e] = std::numeric_limits<float>::quiet_NaN();
    Rig rig({FloatTensor({N, B, L}, in)}, out, &p);
    Execute_NMSYolo_ref(&rig.kernel);
    return Values(out);
}

// A YOLO row (cx, cy, w, h, score, extra) for the corner box c.
void PushRow(std::vector<float>& in, const Corner& c, float score, float extra)
{
    const float row[6] = {(c.x0 + c.x1) * 0.5f, (c.y0 + c.y1) * 0.5f, c.x1 - c.x0, c.y1 - c.y0, score, extra};
    in.insert(in.end(), row, row + 6);
}

}  // namespace

TEST(NMSYoloKernel, ScoreAndIoUAtTheThresholdsAreKept)
{
    // A (0,0)-(9,9), area 100 counting edges, contains B (0,0)-(9,4), area 50: IoU 0.5.
    std::vector<float> in;
    PushRow(in, {0, 0, 9, 4}, 0.5f, 8.0f);
    PushRow(in, {0, 0, 9, 9}, 0.9f, 7.0f);
    PushRow(in, {20, 20, 30, 30}, nextafterf(0.5f, 0.0f), 6.0f);
    EXPECT_EQ(RunYolo(in, 1, 3, 6, 3, 0.5f, 0.5f),
              (std::vector<float>{0, 0, 9, 9, 0.9f, 7, 0, 0, 9, 4, 0.5f, 8, 0, 0, 0, 0, 0, 0}));
    // Just below 0.5 the contained box goes.
    EXPECT_EQ(RunYolo(in, 1, 3, 6, 3, 0.5f, nextafterf(0.5f, 0.0f)),
              (std::vector<float>{0, 0, 9, 9, 0.9f, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(NMSYoloKernel, ClampedCornersWholeRowsAndIndependentItems)
{
    // cx 1, w 6: x1 = max(-2, 0) = 0, x2 = 4; the extra values are copied.
    EXPECT_EQ(RunYolo({1, 2, 6, 2, 0.8f, 11, 12}, 1, 1, 7, 2, 0.1f, 0.5f),
              (std::vector<float>{0, 1, 4, 3, 0.8f, 11, 12, 0, 0, 0, 0, 0, 0, 0}));
    // An item without candidates is zeroed; items do not affect each other.
    std::vector<float> in;
    PushRow(in, {0, 0, 4, 4}, 0.1f, 1);  // item 0: below the threshold
    PushRow(in, {5, 5, 9, 9}, 0.2f, 2);
    PushRow(in, {0, 0, 4, 4}, 0.7f, 3);  // item 1: two disjoint boxes
    PushRow(in, {5, 5, 9, 9}, 0.6f, 4);
    std::vector<float> expected(18, 0.0f);
    expected.insert(expected.end(), {0, 0, 4, 4, 0.7f, 3, 5, 5, 9, 9, 0.6f, 4, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(RunYolo(in, 2, 2, 6, 3, 0.5f, 0.5f), expected);
}

TEST(NMSYoloKernel, RandomRowsWithTiesMatchNaive)
{
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> shift(-3, 0);
    std::uniform_real_distribution<float> extra(-5.0f, 5.0f);
    int iouTies = 0, scoreTies = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const uint32_t N = 3, B = 40, L = 7;
        std::vector<float> in;
        std::vector<Corner> corners;
        for (uint32_t r = 0; r < N * B; ++r) {
            Corner c = GridBox(rng);
            const float s = (float)shift(rng);  // some boxes reach below 0 and get clamped
            c.x0 += s;
            c.x1 += s;
            const float row[7] = {(c.x0 + c.x1) * 0.5f, (c.y0 + c.y1) * 0.5f, c.x1 - c.x0, c.y1 - c.y0,
                                  TiedScore(rng), extra(rng), extra(rng)};
            in.insert(in.end(), row, row + 7);
            corners.push_back({std::max(c.x0, 0.0f), std::max(c.y0, 0.0f), c.x1, c.y1});
        }
        float iou = 0.0f;
        const uint32_t base = (uint32_t)(rng() % N) * B;
        while (iou == 0.0f) iou = InclusiveIoU(corners[base + rng() % B], corners[base + rng() % B]);
        const float score = trial % 2 == 0 ? 0.5f : 0.75f;
        for (uint32_t a = 0; a < B; ++a)
            for (uint32_t b = a + 1; b < B; ++b) iouTies += InclusiveIoU(corners[base + a], corners[base + b]) == iou;
        for (uint32_t r = 0; r < N * B; ++r) scoreTies += in[r * L + 4] == score;
        const uint32_t outRows = 1 + (uint32_t)(rng() % (B + 5));
        SCOPED_TRACE(trial);
        EXPECT_EQ(NaiveYolo(in, N, B, L, outRows, score, iou), RunYolo(in, N, B, L, outRows, score, iou));
    }
    EXPECT_GT(iouTies, 60);
    EXPECT_GT(scoreTies, 60);
}

TEST(NMSYoloKernel, ManyEqualScoresStayInInputOrderAndSortQuickly)
{
    // Equal keys never move in this partition scheme, so the last row comes first.
    const uint32_t B = 20000, L = 5;
    std::vector<float> in;
    for (uint32_t r = 0; r < B; ++r) {
        const float row[5] = {10.0f * (float)r, 0, 4, 4, 0.5f};
        in.insert(in.end(), row, row + 5);
    }
    const std::vector<float> out = RunYolo(in, 1, B, L, 3, 0.5f, 0.5f);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(out[k * L], 10.0f * (float)(B - 1 - k) - 2.0f) << k;
}

TEST(NMSYoloKernel, HalfPrecisionGoesThroughFloat32)
{
    std::mt19937 rng(5);
    const uint32_t N = 2, B = 16, L = 6;
    std::vector<float> in;
    for (uint32_t r = 0; r < N * B; ++r) PushRow(in, GridBox(rng), TiedScore(rng), (float)(rng() % 50));
    std::vector<uint16_t> half;
    std::vector<float> rounded;
    for (float f : in) rounded.push_back(corvus_test::Float(half.emplace_back(corvus_test::Half(f))));

    NMSYoloParams p{0.5f, 0.4f};
    Rig rig({MakeTensor(DT_FLOAT16, {N, B, L}, half.data())}, MakeTensor(DT_FLOAT16, {N, 5, L}), &p);
    Execute_NMSYolo_ref(&rig.kernel);
    const std::vector<float> expected = NaiveYolo(rounded, N, B, L, 5, 0.5f, 0.4f);
    std::vector<uint16_t> expectedHalf;
    for (float f : expected) expectedHalf.push_back(corvus_test::Half(f));
    const uint16_t* got = (const uint16_t*)rig.out[0]->data;
    EXPECT_EQ(std::vector<uint16_t>(got, got + expected.size()), expectedHalf);
}

TEST(NMSYoloKernelDeath, TypeAndPointerChecks)
{
    using corvus_test::FatalCase;
    auto run = [](DataType in, DataType out) {
        NMSYoloParams p{0.5f, 0.5f};
        Rig rig({MakeTensor(in, {1, 2, 5})}, MakeTensor(out, {1, 2, 5}), &p);
        Execute_NMSYolo_ref(&rig.kernel);
    };
    corvus_test::ExpectFatal(
        "NMS_yolo_ref",
        {FatalCase([&] { run(DT_FLOAT32, DT_FLOAT16); },
                   "Function NMS YOLO: Input data type and output data type is not equal"),
         FatalCase([&] { run(DT_INT32, DT_INT32); }, "Function NMS Yolo: Unsupported data type for NMS Yolo"),
         FatalCase(
             [] {
                 NMSYoloParams p{0.5f, 0.5f};
                 Tensor* in = MakeTensor(DT_FLOAT16, {1, 2, 5});
                 Tensor* out = MakeTensor(DT_FLOAT16, {1, 2, 5});
                 NMSYolo_ref(out, in, &p);
             },
             "Function NMS YOLO: Input tensors data type is not in (float32,)")});
}
