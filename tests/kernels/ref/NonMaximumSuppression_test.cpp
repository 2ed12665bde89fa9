// ONNX-style suppression against hand-computed selections and the naive
// version of detection_util.h (textbook descending Lomuto sort, IoU >=
// threshold suppresses, scores must exceed the score threshold).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "LayersDetection.h"
#include "detection_util.h"
#include "ref/Detection_internal.h"
#include "test_util.h"

using namespace detection_test;

namespace {

// Inputs in ONNX order; iou and score are passed when not NaN.
struct OnnxCase {
    std::vector<float> boxes, scores;
    uint32_t N, C, B;
    int32_t M;
    float iou = NAN, score = NAN;
};

std::vector<Tensor*> OnnxInputs(const OnnxCase& k)
{
    std::vector<Tensor*> in = {FloatTensor({k.N, k.B, 4}, k.boxes), FloatTensor({k.N, k.C, k.B}, k.scores),
                               MakeTensor(DT_INT32, {1}, &k.M)};
    if (!std::isnan(k.iou)) in.push_back(MakeTensor(DT_FLOAT32, {1}, &k.iou));
    if (!std::isnan(k.score)) in.push_back(MakeTensor(DT_FLOAT32, {1}, &k.score));
    return in;
}

std::vector<Triple> RunOnnx(const OnnxCase& k)
{
    Rig rig(OnnxInputs(k), MakeTensor(DT_INT32, {k.N * k.C * (uint32_t)k.M, 3}), nullptr);
    Execute_NonMaxSuppression_ref(&rig.kernel);
    return Triples(rig.out[0]);
}

}  // namespace

TEST(NonMaxSuppressionKernel, EqualIoUSuppressesAndEqualScoreIsDropped)
{
    // A (0,0,10,10) area 100 contains B (0,0,10,5) area 50: IoU 0.5.
    OnnxCase k{{0, 0, 10, 10, 0, 0, 10, 5, 20, 20, 30, 30}, {0.9f, 0.8f, 0.5f}, 1, 1, 3, 5, 0.5f, 0.5f};
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}}));
    k.iou = nextafterf(0.5f, 1.0f);
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
    k.score = nextafterf(0.5f, 0.0f);
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}, {0, 0, 2}}));
    k.M = 2;
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
    k.M = 0;
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{}));
}

TEST(NonMaxSuppressionKernel, DefaultThresholds)
{
    // Three disjoint boxes. With 3 inputs (IoU 0, score 0.5) every IoU reaches
    // 0, so one box per class survives; 0.5 itself is dropped.
    OnnxCase k{{0, 0, 1, 1, 5, 5, 6, 6, 9, 9, 10, 10}, {0.5f, 0.7f, 0.6f, 0.2f, 0.5f, 0.1f}, 1, 2, 3, 3};
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 1}}));
    // With 4 inputs the score threshold stays 0.5.
    k.iou = 0.5f;
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 1}, {0, 0, 2}}));
    k.score = 0.0f;
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 1}, {0, 0, 2}, {0, 0, 0}, {0, 1, 1}, {0, 1, 0}, {0, 1, 2}}));
}

TEST(NonMaxSuppressionKernel, SecondItemReadsItsOwnBoxes)
{
    // Item 0's boxes overlap completely, item 1's are disjoint.
    OnnxCase k{{0, 0, 4, 4, 0, 0, 4, 4, 0, 0, 4, 4, 10, 10, 14, 14}, {0.9f, 0.8f, 0.9f, 0.8f}, 2, 1, 2, 2, 0.5f, 0.0f};
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}, {1, 0, 0}, {1, 0, 1}}));
}

TEST(NonMaxSuppressionKernel, CornersAreUsedAsStored)
{
    // (4,4,0,0) is not turned into (0,0,4,4): its area is 16 but its
    // intersection with (0,0,4,4) is empty, so both survive.
    OnnxCase k{{0, 0, 4, 4, 4, 4, 0, 0}, {0.9f, 0.8f}, 1, 1, 2, 2, 0.1f, 0.0f};
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
}

TEST(NonMaxSuppressionKernel, RandomBoxesWithTiesMatchNaive)
{
    std::mt19937 rng(31);
    int iouTies = 0, scoreTies = 0;
    for (int trial = 0; trial < 60; ++trial) {
        OnnxCase k{{}, {}, 2, 3, 25, 0};
        for (uint32_t e = 0; e < k.N * k.B; ++e) {
            const Corner c = GridBox(rng);
            // A few boxes with swapped corners.
            if (rng() % 8 == 0)
                k.boxes.insert(k.boxes.end(), {c.x1, c.y1, c.x0, c.y0});
            else
                k.boxes.insert(k.boxes.end(), {c.x0, c.y0, c.x1, c.y1});
        }
        for (uint32_t e = 0; e < k.N * k.C * k.B; ++e) k.scores.push_back(TiedScore(rng));
        k.M = 1 + (int32_t)(rng() % k.B);
        const uint32_t item = (uint32_t)(rng() % k.N) * k.B * 4;
        k.iou = 0.0f;
        while (k.iou == 0.0f) k.iou = PlainIoU(&k.boxes[item + 4 * (rng() % k.B)], &k.boxes[item + 4 * (rng() % k.B)]);
        k.score = trial % 2 == 0 ? 0.5f : 0.25f;
        for (uint32_t a = 0; a < k.B; ++a)
            for (uint32_t b = a + 1; b < k.B; ++b)
                iouTies += PlainIoU(&k.boxes[item + 4 * a], &k.boxes[item + 4 * b]) == k.iou;
        for (float s : k.scores) scoreTies += s == k.score;
        SCOPED_TRACE(trial);
        EXPECT_EQ(NaiveOnnxNms(k.boxes, k.scores, k.N, k.C, k.B, (uint32_t)k.M, k.iou, k.score), RunOnnx(k));
    }
    EXPECT_GT(iouTies, 60);
    EXPECT_GT(scoreTies, 60);
}

TEST(NonMaxSuppressionKernel, QuickSortBoxesMatchesTheTextbookPartitionOrder)
{
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        const uint32_t n = 1 + (uint32_t)(rng() % 40);
        std::vector<NMSCandidate> cand(n);
        for (uint32_t i = 0; i < n; ++i) {
            cand[i] = NMSCandidate{{0, 0, 0, 0}, TiedScore(rng), 0, 0, i};
            // Some runs already in final order, to reach the early return.
            if (trial % 4 == 0) cand[i].score = 1.0f - 0.01f * (float)(i / 3);
        }
        std::vector<NMSCandidate> expected = cand;
        TextbookLomuto(expected, 0, (long)n - 1,
                       [](const NMSCandidate& a, const NMSCandidate& p) { return a.score >= p.score; });
        QuickSortBoxes(cand.data(), 0, (int64_t)n - 1);
        for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(cand[i].boxIndex, expected[i].boxIndex) << trial << " " << i;
    }
}

TEST(NonMaxSuppressionKernel, ManyEqualScoresKeepTheirOrderAndSortQuickly)
{
    OnnxCase k{{}, {}, 1, 1, 20000, 3, 0.5f, 0.1f};
    for (uint32_t i = 0; i < k.B; ++i) k.boxes.insert(k.boxes.end(), {10.0f * (float)i, 0, 10.0f * (float)i + 4, 4});
    k.scores.assign(k.B, 0.9f);
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}, {0, 0, 2}}));
}

TEST(NonMaxSuppressionKernel, RepeatedRunsUseTheBuiltOutputSize)
{
    // Dimension 0 shrinks to the selection count after each run; the next
    // run still has every row of the output it was built with.
    OnnxCase k{{0, 0, 1, 1, 5, 5, 6, 6}, {0.9f, 0.8f}, 1, 1, 2, 2, 0.5f, 0.1f};
    Rig rig(OnnxInputs(k), MakeTensor(DT_INT32, {2, 3}), nullptr);
    Execute_NonMaxSuppression_ref(&rig.kernel);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
    F32(rig.in[1])[0] = 0.0f;
    Execute_NonMaxSuppression_ref(&rig.kernel);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 1}}));
    F32(rig.in[1])[0] = 0.95f;
    Execute_NonMaxSuppression_ref(&rig.kernel);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
}

TEST(NonMaxSuppressionKernelDeath, TypeCountAndPointerChecks)
{
    using corvus_test::FatalCase;
    auto run = [](DataType boxes, DataType scores, int32_t M, uint32_t rows) {
        Rig rig({MakeTensor(boxes, {1, 2, 4}), MakeTensor(scores, {1, 1, 2}), MakeTensor(DT_INT32, {1}, &M)},
                MakeTensor(DT_INT32, {rows, 3}), nullptr);
        Execute_NonMaxSuppression_ref(&rig.kernel);
    };
    corvus_test::ExpectFatal(
        "NonMaximumSuppression",
        {FatalCase([&] { run(DT_FLOAT16, DT_FLOAT32, 1, 1); }, "Boxes tensor must be float32"),
         FatalCase([&] { run(DT_FLOAT32, DT_INT32, 1, 1); }, "Scores tensor must be float32"),
         FatalCase([] { Execute_NonMaxSuppression_ref(nullptr); }, "NonMaxSuppression kernel pointer is NULL"),
         FatalCase([&] { run(DT_FLOAT32, DT_FLOAT32, 3, 2); },
                   "NonMaxSuppression: 1 x 1 x 3 selections do not fit the output's 2 rows")});
}
