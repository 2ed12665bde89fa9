// Anchor generation, detection decoding and the per-class suppression they
// use, against hand-computed values and the naive versions of detection_util.h.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "LayersDetection.h"
#include "TensorsArray.h"
#include "detection_util.h"
#include "ref/Detection_internal.h"
#include "test_util.h"

using namespace detection_test;

namespace {

AnchorBoxesParams AnchorParams(std::initializer_list<float> ratios, bool twoBoxes, bool normalize, uint32_t imgH,
                               uint32_t imgW, float step, float offset, float thisScale, float nextScale)
{
    AnchorBoxesParams p{};
    p.imgHeight = imgH, p.imgWidth = imgW, p.step = step, p.offset = offset;
    p.thisScale = thisScale, p.nextScale = nextScale, p.twoBoxesForAr1 = twoBoxes, p.normalizeCoords = normalize;
    p.coords = CT_Centroids;
    bool has1 = false;
    for (float r : ratios) has1 |= (p.aspectRatios[p.aspectRatiosCount++] = r) == 1.0f;
    const float variances[4] = {0.1f, 0.1f, 0.2f, 0.2f};
    memcpy(p.variances, variances, sizeof(variances));
    p.boxesPerCell = p.aspectRatiosCount + (twoBoxes && has1 ? 1 : 0);
    return p;
}

// Runs the anchor initialisation for a feature map {N, H, W, 3}.
std::vector<float> RunAnchors(AnchorBoxesParams p, uint32_t N, uint32_t H, uint32_t W)
{
    Rig rig({MakeTensor(DT_FLOAT32, {N, H, W, 3})}, MakeTensor(DT_FLOAT32, {N, H, W, p.boxesPerCell, 8}), &p);
    Init_AnchorBoxes_fl32_ref(&rig.kernel);
    return Values(rig.out[0]);
}

DecodeDetectionsParams DecodeParams(uint32_t topK, uint32_t maxPerClass, float conf, float iou, bool normalize = false,
                                    uint32_t imgH = 1, uint32_t imgW = 1)
{
    DecodeDetectionsParams p{};
    p.confidenceThreshold = conf, p.iouThreshold = iou, p.topK = topK, p.maxBoxesPerClass = maxPerClass;
    p.coords = CT_Centroids, p.normalizeCoords = normalize, p.imgHeight = imgH, p.imgWidth = imgW;
    return p;
}

std::vector<float> RunDecode(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L,
                             DecodeDetectionsParams p)
{
    Tensor* out = MakeTensor(DT_FLOAT32, {N, p.topK, 6});
    // Stale values from an earlier run must not survive.
    for (uint32_t e = 0; e < GetTensorSize(out); ++e) F32(out)[e] = std::numeric_limits<float>::quiet_NaN();
    Rig rig({FloatTensor({N, B, L}, in)}, out, &p);
    Execute_DecodeDetections_fl32_ref(&rig.kernel);
    return Values(out);
}

// Exact comparison that also accepts identical NaNs and tells where it failed.
void ExpectSame(const std::vector<float>& expected, const std::vector<float>& actual)
{
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t e = 0; e < expected.size(); ++e)
        ASSERT_TRUE(expected[e] == actual[e] || (std::isnan(expected[e]) && std::isnan(actual[e])))
            << "element " << e << ": expected " << expected[e] << ", got " << actual[e];
}

// A decoding row whose box is the anchor itself: zero offsets.
void PushAnchorRow(std::vector<float>& in, const std::vector<float>& classScores, const Corner& c)
{
    in.insert(in.end(), classScores.begin(), classScores.end());
    const float row[12] = {0, 0, 0, 0, (c.x0 + c.x1) * 0.5f, (c.y0 + c.y1) * 0.5f, c.x1 - c.x0, c.y1 - c.y0,
                           0.1f, 0.1f, 0.2f, 0.2f};
    in.insert(in.end(), row, row + 12);
}

}  // namespace

// ---- AnchorBoxes -----------------------------------------------------------

TEST(AnchorBoxesKernel, HandComputedRowsAndSecondSquareRightAfterRatioOne)
{
    // size 100, base 25, second square sqrt(0.25 * 1) * 100 = 50.
    const AnchorBoxesParams p = AnchorParams({1.0f, 4.0f, 0.25f}, true, false, 100, 100, 16.0f, 0.5f, 0.25f, 1.0f);
    ASSERT_EQ(p.boxesPerCell, 4u);
    const std::vector<float> out = RunAnchors(p, 2, 2, 3);
    const float cy[2] = {8, 24}, cx[3] = {8, 24, 40};
    const float sizes[4][2] = {{25, 25}, {50, 50}, {50, 12.5f}, {12.5f, 50}};
    size_t e = 0;
    for (int n = 0; n < 2; ++n)
        for (int h = 0; h < 2; ++h)
            for (int w = 0; w < 3; ++w)
                for (int b = 0; b < 4; ++b) {
                    const float row[8] = {cx[w], cy[h], sizes[b][0], sizes[b][1], 0.1f, 0.1f, 0.2f, 0.2f};
                    for (int k = 0; k < 8; ++k, ++e) ASSERT_EQ(out[e], row[k]) << n << h << w << b << k;
                }
    ExpectSame(NaiveAnchors(p, 2, 2, 3), out);
}

TEST(AnchorBoxesKernel, NormalisationDividesXByWidthAndYByHeight)
{
    // size = min(100, 200) = 100; base 50 for ratio 1, (100, 25) for ratio 4.
    const AnchorBoxesParams p = AnchorParams({1.0f, 4.0f}, false, true, 100, 200, 10.0f, 0.5f, 0.5f, 0.9f);
    const std::vector<float> out = RunAnchors(p, 1, 1, 2);
    const std::vector<float> expected = {5.0f / 200, 5.0f / 100, 50.0f / 200, 50.0f / 100, 0.1f, 0.1f, 0.2f, 0.2f,
                                         5.0f / 200, 5.0f / 100, 100.0f / 200, 25.0f / 100, 0.1f, 0.1f, 0.2f, 0.2f,
                                         15.0f / 200, 5.0f / 100, 50.0f / 200, 50.0f / 100, 0.1f, 0.1f, 0.2f, 0.2f,
                                         15.0f / 200, 5.0f / 100, 100.0f / 200, 25.0f / 100, 0.1f, 0.1f, 0.2f, 0.2f};
    ExpectSame(expected, out);
}

TEST(AnchorBoxesKernel, RepeatedRatioOneAddsOneSecondSquareOnly)
{
    // The cell holds ratios + 1 boxes, so the larger square follows the first 1.0 only.
    const std::vector<float> out = RunAnchors(AnchorParams({1.0f, 2.0f, 1.0f}, true, false, 64, 64, 8.0f, 0.5f, 0.5f, 0.5f), 1, 1, 1);
    const float root = sqrtf(2.0f);
    const std::vector<float> sizes = {out[2], out[3], out[10], out[11], out[18], out[19], out[26], out[27]};
    EXPECT_EQ(sizes, (std::vector<float>{32, 32, 32, 32, 32 * root, 32 / root, 32, 32}));
}

TEST(AnchorBoxesKernel, RandomGeometriesMatchNaive)
{
    std::mt19937 rng(11);
    const float ratioSet[] = {1.0f, 2.0f, 0.5f, 3.0f, 1.0f / 3.0f, 1.5f};
    std::uniform_real_distribution<float> scale(0.05f, 0.9f), stepD(4.0f, 40.0f), offD(0.0f, 1.0f);
    std::uniform_int_distribution<int> dim(1, 5), img(16, 400), cnt(1, 6), coin(0, 1);
    for (int trial = 0; trial < 40; ++trial) {
        AnchorBoxesParams p = AnchorParams({}, coin(rng) == 1, coin(rng) == 1, (uint32_t)img(rng),
                                           (uint32_t)img(rng), stepD(rng), offD(rng), scale(rng), scale(rng));
        const int count = cnt(rng);
        bool has1 = false;
        for (int i = 0; i < count; ++i) {
            p.aspectRatios[i] = ratioSet[std::uniform_int_distribution<int>(0, 5)(rng)];
            has1 = has1 || p.aspectRatios[i] == 1.0f;
        }
        p.aspectRatiosCount = (uint32_t)count;
        p.boxesPerCell = (uint32_t)count + (p.twoBoxesForAr1 && has1 ? 1 : 0);
        const uint32_t N = (uint32_t)dim(rng) % 2 + 1, H = (uint32_t)dim(rng), W = (uint32_t)dim(rng);
        SCOPED_TRACE(trial);
        ExpectSame(NaiveAnchors(p, N, H, W), RunAnchors(p, N, H, W));
    }
}

TEST(AnchorBoxesKernel, ExecuteLeavesTheConstantAlone)
{
    AnchorBoxesParams p = AnchorParams({1.0f}, false, false, 32, 32, 8.0f, 0.5f, 0.5f, 0.5f);
    Rig rig({MakeTensor(DT_FLOAT32, {1, 2, 2, 1})}, MakeTensor(DT_FLOAT32, {1, 2, 2, 1, 8}), &p);
    Init_AnchorBoxes_fl32_ref(&rig.kernel);
    const std::vector<float> before = Values(rig.out[0]);
    Execute_AnchorBoxes_fl32_ref(&rig.kernel);
    EXPECT_EQ(Values(rig.out[0]), before);
}

TEST(AnchorBoxesKernelDeath, ClippingAndOtherEncodingsAreRefused)
{
    using corvus_test::FatalCase;
    auto initWith = [](bool clip, uint32_t coords) {
        AnchorBoxesParams p = AnchorParams({1.0f}, false, false, 32, 32, 8.0f, 0.5f, 0.5f, 0.5f);
        p.clipBoxes = clip;
        p.coords = coords;
        RunAnchors(p, 1, 1, 1);
    };
    corvus_test::ExpectFatal("Detection_ref",
                             {FatalCase([&] { initWith(true, CT_Centroids); },
                                        "params->clipBoxes == false: false, expected: true"),
                              FatalCase([&] { initWith(false, 1); },
                                        "params->coords == CT_Centroids: false, expected: true")});
}

// ---- non_max_suppression ---------------------------------------------------

TEST(DetectionNms, NothingAboveTheConfidenceGivesTwoEmptyTensors)
{
    const float x0[3] = {0, 0, 0}, y0[3] = {0, 0, 0}, x1[3] = {5, 5, 5}, y1[3] = {5, 5, 5};
    Tensor* scores = FloatTensor({3}, {0.2f, 0.5f, 0.1f});
    TensorsArray* kept = non_max_suppression(x0, y0, x1, y1, scores, 10, 0.5f, 0.5f);
    ASSERT_EQ(kept->tensorsCount, 2u);
    EXPECT_EQ(DimsOf(kept->tensors[0]), (std::vector<uint32_t>{0, 4}));
    EXPECT_EQ(DimsOf(kept->tensors[1]), (std::vector<uint32_t>{0}));
    DestroyTensorsArray(kept, true);
    DestroyTensor(scores);
}

TEST(DetectionNms, InclusiveSizesAndTheThresholdItselfSuppresses)
{
    // A (0,0)-(9,9) has area 100 counting both edges; B (0,0)-(9,4) area 50
    // lies inside it: IoU = 50 / (100 + 50 - 50) = 0.5 exactly.
    const float x0[3] = {0, 0, 40}, y0[3] = {0, 0, 40}, x1[3] = {9, 9, 45}, y1[3] = {9, 4, 45};
    Tensor* scores = FloatTensor({3}, {0.9f, 0.8f, 0.7f});
    auto keptBoxes = [&](float iou, uint32_t limit) {
        TensorsArray* kept = non_max_suppression(x0, y0, x1, y1, scores, limit, iou, 0.0f);
        std::vector<float> v(F32(kept->tensors[1]), F32(kept->tensors[1]) + kept->tensors[1]->shape.dimension[0]);
        EXPECT_EQ(kept->tensors[0]->shape.dimension[0], kept->tensors[1]->shape.dimension[0]);
        DestroyTensorsArray(kept, true);
        return v;
    };
    EXPECT_EQ(keptBoxes(0.5f, 5), (std::vector<float>{0.9f, 0.7f}));
    EXPECT_EQ(keptBoxes(nextafterf(0.5f, 1.0f), 5), (std::vector<float>{0.9f, 0.8f, 0.7f}));
    EXPECT_EQ(keptBoxes(nextafterf(0.5f, 1.0f), 2), (std::vector<float>{0.9f, 0.8f}));
    EXPECT_EQ(keptBoxes(nextafterf(0.5f, 1.0f), 0), (std::vector<float>{}));
    DestroyTensor(scores);
}

TEST(DetectionNms, EqualScoresTakeTheLaterBoxFirst)
{
    // Ascending order keeps equal scores in index order; the best is taken from the back.
    const float x0[3] = {0, 20, 40}, y0[3] = {0, 0, 0}, x1[3] = {5, 25, 45}, y1[3] = {5, 5, 5};
    Tensor* scores = FloatTensor({3}, {0.6f, 0.6f, 0.6f});
    TensorsArray* kept = non_max_suppression(x0, y0, x1, y1, scores, 3, 0.5f, 0.5f);
    const float* b = F32(kept->tensors[0]);
    ASSERT_EQ(kept->tensors[0]->shape.dimension[0], 3u);
    EXPECT_EQ((std::vector<float>{b[0], b[4], b[8]}), (std::vector<float>{40, 20, 0}));
    DestroyTensorsArray(kept, true);
    DestroyTensor(scores);
}

TEST(DetectionNms, FilterFindsTheFirstScoreStrictlyAbove)
{
    const float scores[4] = {0.1f, 0.5f, 0.5f, 0.7f};
    const uint32_t order[4] = {0, 1, 2, 3};
    EXPECT_EQ(filter_scores_by_threshold(scores, order, 4, 0.5f), 3);
    EXPECT_EQ(filter_scores_by_threshold(scores, order, 4, 0.05f), 0);
    EXPECT_EQ(filter_scores_by_threshold(scores, order, 4, 0.7f), -1);
    EXPECT_EQ(filter_scores_by_threshold(scores, order, 0, 0.0f), -1);
}

// ---- DecodeDetections --------------------------------------------------------

TEST(DecodeDetectionsKernel, ZeroOffsetsOverAnchorsGiveTheAnchorsAsCorners)
{
    for (bool normalize : {false, true}) {
        SCOPED_TRACE(normalize);
        const uint32_t imgH = 120, imgW = 160;
        const AnchorBoxesParams ap =
            AnchorParams({1.0f, 2.0f, 0.5f}, true, normalize, imgH, imgW, 20.0f, 0.5f, 0.3f, 0.6f);
        const uint32_t H = 3, W = 4, B = H * W * ap.boxesPerCell, C = 3, L = C + 12;
        const std::vector<float> anchors = RunAnchors(ap, 1, H, W);
        // Class 1 scores rise with the box number, class 2 never passes.
        std::vector<float> in;
        for (uint32_t b = 0; b < B; ++b) {
            const float scores[3] = {0.3f, (float)(b + 1) / (float)(B + 1), 0.0f};
            in.insert(in.end(), scores, scores + 3);
            const float zeros[4] = {0, 0, 0, 0};
            in.insert(in.end(), zeros, zeros + 4);
            in.insert(in.end(), anchors.begin() + b * 8, anchors.begin() + b * 8 + 8);
        }
        // Nothing can reach an IoU of 2: every box survives.
        const std::vector<float> out = RunDecode(in, 1, B, L, DecodeParams(B, B, 0.0f, 2.0f, normalize, imgH, imgW));
        for (uint32_t r = 0; r < B; ++r) {
            const uint32_t b = B - 1 - r;
            const float* a = &anchors[b * 8];
            const float sx = normalize ? (float)imgW : 1.0f, sy = normalize ? (float)imgH : 1.0f;
            const float expected[6] = {1.0f, (float)(b + 1) / (float)(B + 1), (a[0] - 0.5f * a[2]) * sx,
                                       (a[1] - 0.5f * a[3]) * sy, (a[0] + 0.5f * a[2]) * sx,
                                       (a[1] + 0.5f * a[3]) * sy};
            for (int k = 0; k < 6; ++k) ASSERT_EQ(out[r * 6 + k], expected[k]) << "row " << r << " value " << k;
        }
    }
}

TEST(DecodeDetectionsKernel, OnlyTheBackgroundClassGivesZeros)
{
    std::vector<float> in(2 * 3 * 13, 1.0f);
    ExpectSame(std::vector<float>(2 * 4 * 6, 0.0f), RunDecode(in, 2, 3, 13, DecodeParams(4, 3, 0.0f, 0.5f)));
}

TEST(DecodeDetectionsKernel, ThresholdsDropEqualScoresAndSuppressEqualIoU)
{
    // Class 1: A (0,0)-(9,9) 0.9 and B (0,0)-(9,4) 0.8 overlap with IoU 0.5;
    // C scores exactly the confidence threshold. Class 2: D ties A's score.
    std::vector<float> in;
    PushAnchorRow(in, {0, 0.9f, 0.0f}, {0, 0, 9, 9});
    PushAnchorRow(in, {0, 0.8f, 0.0f}, {0, 0, 9, 4});
    PushAnchorRow(in, {0, 0.25f, 0.0f}, {30, 30, 35, 35});
    PushAnchorRow(in, {0, 0.0f, 0.9f}, {50, 50, 59, 59});
    const std::vector<float> out = RunDecode(in, 1, 4, 15, DecodeParams(4, 4, 0.25f, 0.5f));
    // Equal scores: the later-collected class comes first; the rest is zero.
    const std::vector<float> expected = {2, 0.9f, 50, 50, 59, 59, 1, 0.9f, 0, 0, 9, 9,
                                         0, 0,    0,  0,  0,  0,  0, 0,    0, 0, 0, 0};
    ExpectSame(expected, out);
    // Just above 0.5, B survives.
    const std::vector<float> above = RunDecode(in, 1, 4, 15, DecodeParams(4, 4, 0.25f, nextafterf(0.5f, 1.0f)));
    ExpectSame({1, 0.8f, 0, 0, 9, 4}, std::vector<float>(above.begin() + 12, above.begin() + 18));
}

TEST(DecodeDetectionsKernel, RandomOffsetsMatchNaive)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> off(-1.0f, 1.0f), pos(0.0f, 300.0f), size(5.0f, 120.0f);
    std::uniform_int_distribution<int> coin(0, 1);
    const float confSet[] = {0.0f, 0.25f, 0.5f}, iouSet[] = {0.3f, 0.45f, 0.5f, 0.7f};
    for (int trial = 0; trial < 30; ++trial) {
        const uint32_t N = 2, B = 30, C = 4, L = C + 12;
        std::vector<float> in;
        for (uint32_t e = 0; e < N * B; ++e) {
            for (uint32_t c = 0; c < C; ++c) in.push_back(TiedScore(rng));
            for (int k = 0; k < 4; ++k) in.push_back(off(rng));
            const float anchor[8] = {pos(rng), pos(rng), size(rng), size(rng), 0.1f, 0.1f, 0.2f, 0.2f};
            in.insert(in.end(), anchor, anchor + 8);
        }
        const DecodeDetectionsParams p =
            DecodeParams(1 + (uint32_t)(rng() % (B * C)), (uint32_t)(rng() % (B + 1)), confSet[rng() % 3],
                         iouSet[rng() % 4], coin(rng) == 1, 300, 400);
        SCOPED_TRACE(trial);
        ExpectSame(NaiveDecode(in, N, B, L, p), RunDecode(in, N, B, L, p));
    }
}

TEST(DecodeDetectionsKernel, GridBoxesWithTiesAtBothThresholdsMatchNaive)
{
    std::mt19937 rng(2024);
    int iouTies = 0, scoreTies = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const uint32_t B = 24, C = 3, L = C + 12;
        std::vector<Corner> boxes;
        std::vector<float> in;
        for (uint32_t b = 0; b < B; ++b) {
            boxes.push_back(GridBox(rng));
            std::vector<float> scores = {0.0f};
            for (uint32_t c = 1; c < C; ++c) scores.push_back(TiedScore(rng));
            PushAnchorRow(in, scores, boxes.back());
        }
        // The threshold is the IoU of one overlapping pair, so at least that
        // pair sits exactly on it.
        float iou = 0.0f;
        while (iou == 0.0f) iou = InclusiveIoU(boxes[rng() % B], boxes[rng() % B]);
        const float conf = trial % 2 == 0 ? 0.5f : 0.25f;
        for (uint32_t a = 0; a < B; ++a)
            for (uint32_t b = a + 1; b < B; ++b) iouTies += InclusiveIoU(boxes[a], boxes[b]) == iou;
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t c = 1; c < C; ++c) scoreTies += in[b * L + c] == conf;
        const DecodeDetectionsParams p = DecodeParams(20, 1 + (uint32_t)(rng() % B), conf, iou);
        SCOPED_TRACE(trial);
        ExpectSame(NaiveDecode(in, 1, B, L, p), RunDecode(in, 1, B, L, p));
    }
    EXPECT_GT(iouTies, 60);
    EXPECT_GT(scoreTies, 60);
}

TEST(DecodeDetectionsKernelDeath, InputMustHaveThreeDimensions)
{
    DecodeDetectionsParams p = DecodeParams(2, 2, 0.5f, 0.5f);
    corvus_test::ExpectFatal("Detection_ref", {{[&] {
                                                    Rig rig({MakeTensor(DT_FLOAT32, {4, 14})}, MakeTensor(DT_FLOAT32, {1, 2, 6}), &p);
                                                    Execute_DecodeDetections_fl32_ref(&rig.kernel);
                                                },
                                                "input->ndim == 3: false, expected: true"}});
}
