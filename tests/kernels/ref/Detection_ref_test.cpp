// Anchor generation, detection decoding and the three suppressions against
// hand-computed values and the naive versions of detection_util.h.
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
AnchorBoxesParams AnchorParams(const std::vector<float>& ratios, bool twoBoxes, bool normalize, uint32_t imgH,
                               uint32_t imgW, float step, float offset, float thisScale, float nextScale)
{
    AnchorBoxesParams p{};
    p.imgHeight = imgH, p.imgWidth = imgW, p.step = step, p.offset = offset;
    p.thisScale = thisScale, p.nextScale = nextScale, p.twoBoxesForAr1 = twoBoxes, p.normalizeCoords = normalize;
    bool has1 = false;
    for (float r : ratios) has1 |= (p.aspectRatios[p.aspectRatiosCount++] = r) == 1.0f;
    for (int i = 0; i < 4; ++i) p.variances[i] = i < 2 ? 0.1f : 0.2f;
    p.boxesPerCell = p.aspectRatiosCount + (twoBoxes && has1 ? 1 : 0);
    return p;
}

// Runs the anchor initialisation for a feature map {N, H, W, 3}.
std::vector<float> RunAnchors(AnchorBoxesParams p, uint32_t N, uint32_t H, uint32_t W)
{
    Rig rig({MakeTensor(DT_FLOAT32, {N, H, W, 3})}, MakeTensor(DT_FLOAT32, {N, H, W, p.boxesPerCell, 8}), &p);
    Init_AnchorBoxes_fl32_ref(&rig.k);
    return Values(rig.out[0]);
}

DecodeDetectionsParams DecodeParams(uint32_t topK, uint32_t maxPerClass, float conf, float iou, bool normalize = false,
                                    uint32_t imgH = 1, uint32_t imgW = 1)
{
    DecodeDetectionsParams p{};
    p.confidenceThreshold = conf, p.iouThreshold = iou, p.topK = topK, p.maxBoxesPerClass = maxPerClass;
    p.normalizeCoords = normalize, p.imgHeight = imgH, p.imgWidth = imgW;
    return p;
}

// Runs a kernel over a dense {N, B, L} input into an output prefilled with
// NaNs, so that stale values from an earlier run cannot pass.
std::vector<float> RunRows(void (*execute)(NNKernel*), void* params, const std::vector<float>& in,
                           const std::vector<uint32_t>& inDims, const std::vector<uint32_t>& outDims)
{
    Tensor* out = FloatTensor(outDims, std::vector<float>(corvus_test::Count(outDims), NAN));
    Rig rig({FloatTensor(inDims, in)}, out, params);
    execute(&rig.k);
    return Values(out);
}

std::vector<float> RunDecode(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L, DecodeDetectionsParams p)
{
    return RunRows(Execute_DecodeDetections_fl32_ref, &p, in, {N, B, L}, {N, p.topK, 6});
}

std::vector<float> RunYolo(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L, uint32_t outRows,
                           float scoreThr, float iouThr)
{
    NMSYoloParams p{scoreThr, iouThr};
    return RunRows(Execute_NMSYolo_ref, &p, in, {N, B, L}, {N, outRows, L});
}

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
    Execute_NonMaxSuppression_ref(&rig.k);
    return Triples(rig.out[0]);
}

}  // namespace

TEST(AnchorBoxesKernel, HandComputedRowsThenRandomGeometriesMatchNaive)
{
    // size 100, base 25, second square sqrt(0.25 * 1) * 100 = 50.
    const AnchorBoxesParams p = AnchorParams({1.0f, 4.0f, 0.25f}, true, false, 100, 100, 16.0f, 0.5f, 0.25f, 1.0f);
    ASSERT_EQ(p.boxesPerCell, 4u);
    const std::vector<float> out = RunAnchors(p, 2, 2, 3);
    const float sizes[4][2] = {{25, 25}, {50, 50}, {50, 12.5f}, {12.5f, 50}};
    for (size_t e = 0; e < out.size(); ++e) {
        const size_t b = e / 8 % 4, w = e / 32 % 3, h = e / 96 % 2;
        const float row[8] = {8.0f + 16 * w, 8.0f + 16 * h, sizes[b][0], sizes[b][1], 0.1f, 0.1f, 0.2f, 0.2f};
        ASSERT_EQ(out[e], row[e % 8]) << e;
    }
    std::mt19937 rng(11);
    const float ratioSet[] = {1.0f, 2.0f, 0.5f, 3.0f, 1.0f / 3.0f, 1.5f};
    std::uniform_real_distribution<float> scale(0.05f, 0.9f), stepD(4.0f, 40.0f), offD(0.0f, 1.0f);
    std::uniform_int_distribution<int> dim(1, 5), img(16, 400), cnt(1, 6), coin(0, 1);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<float> ratios(cnt(rng));
        for (float& r : ratios) r = ratioSet[rng() % 6];
        const AnchorBoxesParams p = AnchorParams(ratios, coin(rng) == 1, coin(rng) == 1, (uint32_t)img(rng),
                                                 (uint32_t)img(rng), stepD(rng), offD(rng), scale(rng), scale(rng));
        const uint32_t N = (uint32_t)dim(rng) % 2 + 1, H = (uint32_t)dim(rng), W = (uint32_t)dim(rng);
        SCOPED_TRACE(trial);
        EXPECT_EQ(NaiveAnchors(p, N, H, W), RunAnchors(p, N, H, W));
    }
}

// Anchors on a small grid. Odd trials: random offsets, two items,
// normalised or not. Even trials: zero offsets, the IoU threshold that of one
// overlapping pair and scores on the confidence threshold, so ties sit
// exactly on both thresholds.
TEST(DecodeDetectionsKernel, RandomInputsMatchNaive)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> off(-1.0f, 1.0f);
    const float confSet[] = {0.0f, 0.25f, 0.5f}, iouSet[] = {0.3f, 0.45f, 0.5f, 0.7f};
    for (int trial = 0; trial < 90; ++trial) {
        const bool grid = trial % 2 == 0;
        const uint32_t N = grid ? 1 : 2, B = grid ? 24 : 30, C = grid ? 3 : 4, L = C + 12;
        std::vector<Corner> boxes;
        std::vector<float> in;
        for (uint32_t e = 0; e < N * B; ++e) {
            in.push_back(grid ? 0.0f : TiedScore(rng));
            for (uint32_t c = 1; c < C; ++c) in.push_back(TiedScore(rng));
            const Corner b = GridBox(rng);
            boxes.push_back(b);
            for (int i = 0; i < 4; ++i) in.push_back(grid ? 0.0f : off(rng));
            in.insert(in.end(), {(b.x0 + b.x1) * 0.5f, (b.y0 + b.y1) * 0.5f, b.x1 - b.x0, b.y1 - b.y0});
            in.insert(in.end(), {0.1f, 0.1f, 0.2f, 0.2f});
        }
        float iou = iouSet[rng() % 4];
        if (grid)
            for (iou = 0.0f; iou == 0.0f;) iou = InclusiveIoU(boxes[rng() % B], boxes[rng() % B]);
        const DecodeDetectionsParams p =
            grid ? DecodeParams(20, 1 + (uint32_t)(rng() % B), trial % 4 == 0 ? 0.5f : 0.25f, iou)
                 : DecodeParams(1 + (uint32_t)(rng() % (B * C)), (uint32_t)(rng() % (B + 1)), confSet[rng() % 3], iou,
                                rng() % 2 == 1, 300, 400);
        SCOPED_TRACE(trial);
        EXPECT_EQ(NaiveDecode(in, N, B, L, p), RunDecode(in, N, B, L, p));
    }
    // Only the background class: zeros.
    EXPECT_EQ(std::vector<float>(48, 0.0f),
              RunDecode(std::vector<float>(78, 1.0f), 2, 3, 13, DecodeParams(4, 3, 0.0f, 0.5f)));
}

// Hand-computed selections: A (0,0,10,10) contains B (0,0,10,5) with IoU 0.5,
// which suppresses; a score equal to the threshold is dropped; with 3 inputs
// the IoU threshold is 0 (every IoU reaches it) and the score threshold 0.5;
// each item reads its own boxes; corners are used as stored.
TEST(NonMaxSuppressionKernel, HandComputedSelections)
{
    const float above = nextafterf(0.5f, 1.0f), below = nextafterf(0.5f, 0.0f);
    const std::vector<float> nested = {0, 0, 10, 10, 0, 0, 10, 5, 20, 20, 30, 30};
    const std::vector<float> apart = {0, 0, 1, 1, 5, 5, 6, 6, 9, 9, 10, 10};
    const std::vector<float> twoClasses = {0.5f, 0.7f, 0.6f, 0.2f, 0.5f, 0.1f};
    const struct {
        OnnxCase k;
        std::vector<Triple> want;
        // clang-format off
    } cases[] = {
        {{nested, {0.9f, 0.8f, 0.5f}, 1, 1, 3, 5, 0.5f, 0.5f}, {{0, 0, 0}}},
        {{nested, {0.9f, 0.8f, 0.5f}, 1, 1, 3, 5, above, 0.5f}, {{0, 0, 0}, {0, 0, 1}}},
        {{nested, {0.9f, 0.8f, 0.5f}, 1, 1, 3, 5, above, below}, {{0, 0, 0}, {0, 0, 1}, {0, 0, 2}}},
        {{nested, {0.9f, 0.8f, 0.5f}, 1, 1, 3, 2, above, below}, {{0, 0, 0}, {0, 0, 1}}},
        {{nested, {0.9f, 0.8f, 0.5f}, 1, 1, 3, 0, above, below}, {}},
        {{apart, twoClasses, 1, 2, 3, 3}, {{0, 0, 1}}},
        {{apart, twoClasses, 1, 2, 3, 3, 0.5f}, {{0, 0, 1}, {0, 0, 2}}},
        {{apart, twoClasses, 1, 2, 3, 3, 0.5f, 0.0f}, {{0, 0, 1}, {0, 0, 2}, {0, 0, 0}, {0, 1, 1}, {0, 1, 0}, {0, 1,
         2}}},
        {{{0, 0, 4, 4, 0, 0, 4, 4, 0, 0, 4, 4, 10, 10, 14, 14}, {0.9f, 0.8f, 0.9f, 0.8f}, 2, 1, 2, 2, 0.5f, 0.0f},
         {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}}},
        {{{0, 0, 4, 4, 4, 4, 0, 0}, {0.9f, 0.8f}, 1, 1, 2, 2, 0.1f, 0.0f}, {{0, 0, 0}, {0, 0, 1}}},
    };
    // clang-format on
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) EXPECT_EQ(RunOnnx(cases[i].k), cases[i].want) << i;
}

TEST(NonMaxSuppressionKernel, RandomBoxesWithTiesMatchNaive)
{
    std::mt19937 rng(31);
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
        SCOPED_TRACE(trial);
        EXPECT_EQ(NaiveOnnxNms(k.boxes, k.scores, k.N, k.C, k.B, (uint32_t)k.M, k.iou, k.score), RunOnnx(k));
    }
}

TEST(NonMaxSuppressionKernel, RepeatedRunsUseTheBuiltOutputSizeAndNeverPassIt)
{
    // Dimension 0 shrinks to the selection count after each run; the next
    // run still has every row of the output it was built with.
    OnnxCase k{{0, 0, 1, 1, 5, 5, 6, 6}, {0.9f, 0.8f}, 1, 1, 2, 2, 0.5f, 0.1f};
    Rig rig(OnnxInputs(k), MakeTensor(DT_INT32, {2, 3}), nullptr);
    Execute_NonMaxSuppression_ref(&rig.k);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
    F32(rig.in[1])[0] = 0.0f;
    Execute_NonMaxSuppression_ref(&rig.k);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 1}}));
    F32(rig.in[1])[0] = 0.95f;
    Execute_NonMaxSuppression_ref(&rig.k);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
    ((int32_t*)rig.in[2]->data)[0] = 3;
    corvus_test::ExpectFatal("NonMaximumSuppression",
                             {{[&] { Execute_NonMaxSuppression_ref(&rig.k); },
                               "NonMaxSuppression: 1 x 1 x 3 selections do not fit the output's 2 rows"}});
}

// Several items, boxes clamped at 0, extra values copied, ties on both thresholds.
TEST(NMSYoloKernel, RandomRowsWithTiesMatchNaive)
{
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> shift(-3, 0);
    std::uniform_real_distribution<float> extra(-5.0f, 5.0f);
    for (int trial = 0; trial < 60; ++trial) {
        const uint32_t N = 3, B = 40, L = 7;
        std::vector<float> in;
        std::vector<Corner> corners;
        for (uint32_t r = 0; r < N * B; ++r) {
            Corner c = GridBox(rng);
            const float s = (float)shift(rng);  // some boxes reach below 0 and get clamped
            c.x0 += s;
            c.x1 += s;
            in.insert(in.end(), {(c.x0 + c.x1) * 0.5f, (c.y0 + c.y1) * 0.5f, c.x1 - c.x0, c.y1 - c.y0});
            in.insert(in.end(), {TiedScore(rng), extra(rng), extra(rng)});
            corners.push_back({std::max(c.x0, 0.0f), std::max(c.y0, 0.0f), c.x1, c.y1});
        }
        float iou = 0.0f;
        const uint32_t base = (uint32_t)(rng() % N) * B;
        while (iou == 0.0f) iou = InclusiveIoU(corners[base + rng() % B], corners[base + rng() % B]);
        const float score = trial % 2 == 0 ? 0.5f : 0.75f;
        const uint32_t outRows = 1 + (uint32_t)(rng() % (B + 5));
        SCOPED_TRACE(trial);
        EXPECT_EQ(NaiveYolo(in, N, B, L, outRows, score, iou), RunYolo(in, N, B, L, outRows, score, iou));
    }
}

// 20000 equal scores: ONNX keeps their order; YOLO's equal keys never move
// in its partition scheme, so the last row comes first.
TEST(NMSKernels, ManyEqualScoresSortQuickly)
{
    OnnxCase k{{}, {}, 1, 1, 20000, 3, 0.5f, 0.1f};
    for (uint32_t i = 0; i < k.B; ++i) k.boxes.insert(k.boxes.end(), {10.0f * (float)i, 0, 10.0f * (float)i + 4, 4});
    k.scores.assign(k.B, 0.9f);
    EXPECT_EQ(RunOnnx(k), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}, {0, 0, 2}}));
    const uint32_t B = 20000, L = 5;
    std::vector<float> in;
    for (uint32_t r = 0; r < B; ++r) in.insert(in.end(), {10.0f * (float)r, 0, 4, 4, 0.5f});
    const std::vector<float> out = RunYolo(in, 1, B, L, 3, 0.5f, 0.5f);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(out[k * L], 10.0f * (float)(B - 1 - k) - 2.0f) << k;
}
