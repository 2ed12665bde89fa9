// Anchor generation, detection decoding and the three suppressions against
// hand-computed values and naive versions written from their definitions
// (plain loops, textbook sorts) on random boxes with ties.
#include <array>
#include <cmath>

#include "LayersDetection.h"
#include "ref/Detection_internal.h"
#include "test_util.h"

using corvus_test::Holding;

namespace {

// A kernel record that owns its tensors (not the params).
struct Rig : corvus_test::KernelRecord {
    Rig(std::vector<Tensor*> inputs, Tensor* output, void* params) : KernelRecord(std::move(inputs), {output}, params)
    {
    }
    ~Rig()
    {
        for (Tensor* t : in) DestroyTensor(t);
        DestroyTensor(out[0]);
    }
};

// Rows (cx, cy, w, h, v0..v3) for every n, h, w and box, built from the
// definition: base * sqrt(r) by base / sqrt(r) (after the first ratio of 1
// also the larger square), centres evenly spaced from offset * step, then
// optional division by the image size.
inline std::vector<float> NaiveAnchors(const AnchorBoxesParams& p, uint32_t N, uint32_t H, uint32_t W)
{
    const float size = (float)std::min(p.imgHeight, p.imgWidth);
    const float base = p.thisScale * size;
    std::vector<float> bw, bh;
    bool second = false;
    for (uint32_t i = 0; i < p.aspectRatiosCount; ++i) {
        const float r = p.aspectRatios[i];
        bw.push_back(base * sqrtf(r));
        bh.push_back(base / sqrtf(r));
        if (r == 1.0f && p.twoBoxesForAr1 && !second) {
            second = true;
            bw.push_back(sqrtf(p.thisScale * p.nextScale) * size);
            bh.push_back(bw.back());
        }
    }
    auto centres = [&p](uint32_t count) {
        const float first = p.offset * p.step, last = (p.offset + (float)count - 1.0f) * p.step;
        std::vector<float> c(count);
        for (uint32_t i = 0; i < count; ++i)
            c[i] = count == 1 ? first
                              : fmaf((last <= first ? -1.0f : 1.0f) * (float)i,
                                     fabsf(last - first) / (float)(count - 1), first);
        return c;
    };
    std::vector<float> cy = centres(H), cx = centres(W);
    for (auto* v : {&cx, &bw})
        for (float& e : *v) e = p.normalizeCoords ? e / (float)p.imgWidth : e;
    for (auto* v : {&cy, &bh})
        for (float& e : *v) e = p.normalizeCoords ? e / (float)p.imgHeight : e;
    std::vector<float> out;
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w)
                for (size_t b = 0; b < bw.size(); ++b) {
                    const float row[8] = {cx[w],          cy[h],          bw[b],          bh[b],
                                          p.variances[0], p.variances[1], p.variances[2], p.variances[3]};
                    out.insert(out.end(), row, row + 8);
                }
    return out;
}

struct Corner {
    float x0, y0, x1, y1;
};

// IoU of pixel boxes whose sizes count both edges.
inline float InclusiveIoU(const Corner& a, const Corner& b)
{
    const float iw = std::max(std::min(a.x1, b.x1) - std::max(a.x0, b.x0) + 1.0f, 0.0f);
    const float ih = std::max(std::min(a.y1, b.y1) - std::max(a.y0, b.y0) + 1.0f, 0.0f);
    const float inter = iw * ih;
    const float areaA = (a.x1 - a.x0 + 1.0f) * (a.y1 - a.y0 + 1.0f);
    const float areaB = (b.x1 - b.x0 + 1.0f) * (b.y1 - b.y0 + 1.0f);
    return inter / (areaA + areaB - inter);
}

// IoU of corner boxes as stored, edges not counted; 0 for an empty union.
inline float PlainIoU(const float* a, const float* b)
{
    const float iw = std::max(0.0f, std::min(a[2], b[2]) - std::max(a[0], b[0]));
    const float ih = std::max(0.0f, std::min(a[3], b[3]) - std::max(a[1], b[1]));
    const float inter = iw * ih;
    const float uni = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter;
    return uni > 0.0f ? inter / uni : 0.0f;
}

// Indices 0..n-1 ordered descending by value, equal values in reverse index
// order (the top of a stable ascending sort taken first).
inline std::vector<uint32_t> TopFirst(const std::vector<float>& v)
{
    std::vector<uint32_t> idx(v.size());
    for (uint32_t i = 0; i < idx.size(); ++i) idx[i] = i;
    std::stable_sort(idx.begin(), idx.end(), [&v](uint32_t a, uint32_t b) { return v[a] < v[b]; });
    return std::vector<uint32_t>(idx.rbegin(), idx.rend());
}

// Sorts v[lo..hi] recursively, textbook Lomuto: pivot = last element,
// elements e with left(e, pivot) are moved to the front part.
template <typename T, typename Left> void TextbookLomuto(std::vector<T>& v, long lo, long hi, Left left)
{
    if (lo >= hi) return;
    const T pivot = v[hi];
    long i = lo - 1;
    for (long j = lo; j < hi; ++j)
        if (left(v[j], pivot)) std::swap(v[++i], v[j]);
    std::swap(v[i + 1], v[hi]);
    TextbookLomuto(v, lo, i, left);
    TextbookLomuto(v, i + 2, hi, left);
}

// Greedy suppression over n candidates ordered best first: each survivor is
// kept and removes every later candidate y with suppress(kept, y); at most
// `limit` kept. Returns the positions kept, in order.
template <typename Suppress> std::vector<size_t> Greedy(size_t n, size_t limit, Suppress suppress)
{
    std::vector<size_t> kept;
    std::vector<bool> off(n, false);
    for (size_t x = 0; x < n && kept.size() < limit; ++x) {
        if (off[x]) continue;
        kept.push_back(x);
        for (size_t y = x + 1; y < n; ++y) off[y] = off[y] || suppress(x, y);
    }
    return kept;
}

// DecodeDetections: output {N, topK, 6} of a dense input {N, B, L}. Per class,
// scores above the confidence threshold, survivors strictly below the IoU
// threshold, at most min(maxBoxesPerClass, B); then the best topK of all.
inline std::vector<float> NaiveDecode(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L,
                                      const DecodeDetectionsParams& p)
{
    std::vector<float> out((size_t)N * p.topK * 6, 0.0f);
    if (L < 14) return out;
    const uint32_t C = L - 12;
    const float sx = p.normalizeCoords ? (float)p.imgWidth : 1.0f, sy = p.normalizeCoords ? (float)p.imgHeight : 1.0f;
    for (uint32_t n = 0; n < N; ++n) {
        const float* item = in.data() + (size_t)n * B * L;
        std::vector<Corner> boxes;
        for (uint32_t b = 0; b < B; ++b) {
            const float* r = item + (size_t)b * L + C;
            const float cx = fmaf(r[0] * r[8], r[6], r[4]), cy = fmaf(r[1] * r[9], r[7], r[5]);
            const float w = expf(r[2] * r[10]) * r[6], h = expf(r[3] * r[11]) * r[7];
            boxes.push_back({(cx - 0.5f * w) * sx, (cy - 0.5f * h) * sy, (cx + 0.5f * w) * sx, (cy + 0.5f * h) * sy});
        }
        std::vector<std::vector<float>> rows;
        std::vector<float> scores;
        for (uint32_t c = 1; c < C; ++c) {
            std::vector<float> s(B);
            for (uint32_t b = 0; b < B; ++b) s[b] = item[(size_t)b * L + c];
            std::vector<uint32_t> cand;
            for (uint32_t i : TopFirst(s))
                if (s[i] > p.confidenceThreshold) cand.push_back(i);
            for (size_t k : Greedy(cand.size(), std::min(p.maxBoxesPerClass, B), [&](size_t x, size_t y) {
                     return !(InclusiveIoU(boxes[cand[y]], boxes[cand[x]]) < p.iouThreshold);
                 })) {
                const Corner& bx = boxes[cand[k]];
                rows.push_back({(float)c, s[cand[k]], bx.x0, bx.y0, bx.x1, bx.y1});
                scores.push_back(s[cand[k]]);
            }
        }
        const std::vector<uint32_t> order = TopFirst(scores);
        for (size_t r = 0; r < std::min<size_t>(p.topK, order.size()); ++r)
            std::copy(rows[order[r]].begin(), rows[order[r]].end(), out.begin() + ((size_t)n * p.topK + r) * 6);
    }
    return out;
}

struct Cand {
    float score;
    uint32_t i;
};

// NMSYolo: output {N, outRows, L} of a dense input {N, B, L}; boxes clamped
// at 0, rows at or above the score threshold, survivors not above the IoU
// threshold, the quicksort's order with its top taken first.
inline std::vector<float> NaiveYolo(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L, uint32_t outRows,
                                    float scoreThr, float iouThr)
{
    std::vector<float> out((size_t)N * outRows * L, 0.0f);
    for (uint32_t n = 0; n < N; ++n) {
        const float* item = in.data() + (size_t)n * B * L;
        std::vector<Cand> cand;
        for (uint32_t r = 0; r < B; ++r)
            if (item[(size_t)r * L + 4] >= scoreThr) cand.push_back({item[(size_t)r * L + 4], r});
        TextbookLomuto(cand, 0, (long)cand.size() - 1, [](const Cand& a, const Cand& p) { return a.score <= p.score; });
        std::reverse(cand.begin(), cand.end());
        std::vector<Corner> box;
        for (const Cand& c : cand) {
            const float* r = item + (size_t)c.i * L;
            box.push_back({std::max(r[0] - 0.5f * r[2], 0.0f), std::max(r[1] - 0.5f * r[3], 0.0f), r[0] + 0.5f * r[2],
                           r[1] + 0.5f * r[3]});
        }
        const std::vector<size_t> kept =
            Greedy(cand.size(), outRows, [&](size_t x, size_t y) { return InclusiveIoU(box[x], box[y]) > iouThr; });
        for (size_t w = 0; w < kept.size(); ++w) {
            float* dst = out.data() + ((size_t)n * outRows + w) * L;
            std::copy(item + (size_t)cand[kept[w]].i * L, item + (size_t)(cand[kept[w]].i + 1) * L, dst);
            const Corner& b = box[kept[w]];
            dst[0] = b.x0, dst[1] = b.y0, dst[2] = b.x1, dst[3] = b.y1;
        }
    }
    return out;
}

using Triple = std::array<int32_t, 3>;  // batch, class, box

// NonMaxSuppression: boxes {N, B, 4}, scores {N, C, B}, dense; scores above
// the threshold, the quicksort's order, survivors below the IoU threshold.
inline std::vector<Triple> NaiveOnnxNms(const std::vector<float>& boxes, const std::vector<float>& scores, uint32_t N,
                                        uint32_t C, uint32_t B, uint32_t M, float iouThr, float scoreThr)
{
    std::vector<Triple> out;
    for (uint32_t b = 0; b < N; ++b)
        for (uint32_t c = 0; c < C; ++c) {
            std::vector<Cand> cand;
            for (uint32_t i = 0; i < B; ++i) {
                const float s = scores[((size_t)b * C + c) * B + i];
                if (s > scoreThr) cand.push_back({s, i});
            }
            TextbookLomuto(cand, 0, (long)cand.size() - 1,
                           [](const Cand& a, const Cand& p) { return a.score >= p.score; });
            auto box = [&](size_t x) { return &boxes[((size_t)b * B + cand[x].i) * 4]; };
            for (size_t x :
                 Greedy(cand.size(), M, [&](size_t x, size_t y) { return PlainIoU(box(x), box(y)) >= iouThr; }))
                out.push_back({(int32_t)b, (int32_t)c, (int32_t)cand[x].i});
        }
    return out;
}

inline std::vector<Triple> Triples(const Tensor* t)
{
    std::vector<Triple> r;
    const int32_t* p = (const int32_t*)t->data;
    for (uint32_t k = 0; k < t->shape.dimension[0]; ++k) r.push_back({p[k * 3], p[k * 3 + 1], p[k * 3 + 2]});
    return r;
}

// Scores from a small set so that equal scores are frequent; the set holds
// the thresholds the tests use.
inline float TiedScore(std::mt19937& rng)
{
    static const float kLevels[] = {0.0f, 0.125f, 0.25f, 0.3f, 0.5f, 0.5f, 0.75f, 0.75f, 0.9f, 1.0f};
    return kLevels[std::uniform_int_distribution<int>(0, 9)(rng)];
}

// A corner box on a small integer grid, so that many pairs overlap and
// their IoUs are computed from exact integers.
inline Corner GridBox(std::mt19937& rng)
{
    std::uniform_int_distribution<int> pos(0, 12), len(1, 8);
    const float x = (float)pos(rng), y = (float)pos(rng);
    return {x, y, x + (float)len(rng), y + (float)len(rng)};
}

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
    Rig rig({Holding<float>(DT_FLOAT32, {N, H, W, 3}, {})},
            Holding<float>(DT_FLOAT32, {N, H, W, p.boxesPerCell, 8}, {}), &p);
    Init_AnchorBoxes_fl32_ref(&rig.k);
    return corvus_test::ValuesOf<float>(rig.out[0]);
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
    Tensor* out = Holding(DT_FLOAT32, outDims, std::vector<float>(corvus_test::Count(outDims), NAN));
    Rig rig({Holding(DT_FLOAT32, inDims, in)}, out, params);
    execute(&rig.k);
    return corvus_test::ValuesOf<float>(out);
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
    std::vector<Tensor*> in = {Holding(DT_FLOAT32, {k.N, k.B, 4}, k.boxes),
                               Holding(DT_FLOAT32, {k.N, k.C, k.B}, k.scores), Holding<int32_t>(DT_INT32, {1}, {k.M})};
    if (!std::isnan(k.iou)) in.push_back(Holding<float>(DT_FLOAT32, {1}, {k.iou}));
    if (!std::isnan(k.score)) in.push_back(Holding<float>(DT_FLOAT32, {1}, {k.score}));
    return in;
}

std::vector<Triple> RunOnnx(const OnnxCase& k)
{
    Rig rig(OnnxInputs(k), Holding<int32_t>(DT_INT32, {k.N * k.C * (uint32_t)k.M, 3}, {}), nullptr);
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
TEST(NonMaxSuppressionKernel, HandComputedSelectionsAndRandomBoxesWithTiesMatchNaive)
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
    Rig rig(OnnxInputs(k), Holding<int32_t>(DT_INT32, {2, 3}, {}), nullptr);
    Execute_NonMaxSuppression_ref(&rig.k);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 0}, {0, 0, 1}}));
    ((float*)rig.in[1]->data)[0] = 0.0f;
    Execute_NonMaxSuppression_ref(&rig.k);
    EXPECT_EQ(Triples(rig.out[0]), (std::vector<Triple>{{0, 0, 1}}));
    ((float*)rig.in[1]->data)[0] = 0.95f;
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
