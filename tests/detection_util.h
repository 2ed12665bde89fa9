// Detection test helpers: tensors, kernel records, random boxes with ties, and
// the four operators written from their definitions (plain loops, textbook sorts).
#ifndef CORVUS_TESTS_DETECTION_UTIL_H
#define CORVUS_TESTS_DETECTION_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

#include "LayersDetection.h"
#include "test_util.h"

namespace detection_test {

inline float* F32(const Tensor* t) { return (float*)t->data; }

// A dense tensor with data: the values when given, zeros otherwise.
inline Tensor* MakeTensor(DataType dtype, std::initializer_list<uint32_t> dims, const void* values = nullptr,
                          DataLayout layout = DL_NONE)
{
    Tensor* t = corvus_test::NewTensor(dtype, dims, {}, true, layout).release();
    if (values != nullptr) memcpy(t->data, values, (size_t)GetTensorSize(t) * DataTypeSize(dtype));
    return t;
}

inline Tensor* FloatTensor(const std::vector<uint32_t>& dims, const std::vector<float>& values)
{
    EXPECT_EQ(values.size(), corvus_test::Count(dims));
    return corvus_test::Holding(DT_FLOAT32, dims, values);
}

inline std::vector<float> Values(const Tensor* t) { return corvus_test::ValuesOf<float>(t); }

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

struct Triple {
    int32_t b, c, i;
    bool operator==(const Triple& o) const { return b == o.b && c == o.c && i == o.i; }
};

inline std::ostream& operator<<(std::ostream& os, const Triple& t) { return os << t.b << "," << t.c << "," << t.i; }

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

}  // namespace detection_test

#endif
