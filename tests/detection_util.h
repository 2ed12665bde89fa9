// Helpers shared by the detection tests: tensors, kernel records, random
// boxes with ties, and naive implementations of the four operators written
// from their definitions (plain loops, textbook sorts) to compare against.
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

using corvus_test::Shape;

using corvus_test::DimsOf;

inline float* F32(const Tensor* t) { return (float*)t->data; }

// A dense tensor with data: the values when given, zeros otherwise.
inline Tensor* MakeTensor(DataType dtype, std::initializer_list<uint32_t> dims, const void* values = nullptr,
                          DataLayout layout = DL_NONE)
{
    Tensor* t = corvus_test::NewTensor(dtype, dims, {}, true, layout).release();
    if (values != nullptr) memcpy(t->data, values, (size_t)GetTensorSize(t) * DataTypeSize(dtype));
    return t;
}

inline Tensor* FloatTensor(std::initializer_list<uint32_t> dims, const std::vector<float>& values)
{
    Tensor* t = MakeTensor(DT_FLOAT32, dims);
    EXPECT_EQ(values.size(), GetTensorSize(t));
    memcpy(t->data, values.data(), std::min<size_t>(values.size(), GetTensorSize(t)) * sizeof(float));
    return t;
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

// ---- AnchorBoxes --------------------------------------------------------

// Rows (cx, cy, w, h, v0..v3) for every n, h, w and box, built from the
// definition: squares for ratio 1 (the larger square after the first ratio
// of 1 only), base * sqrt(r) by base / sqrt(r) otherwise, centres evenly
// spaced from offset * step, then optional division by the image size.
inline std::vector<float> NaiveAnchors(const AnchorBoxesParams& p, uint32_t N, uint32_t H, uint32_t W)
{
    const float size = (float)std::min(p.imgHeight, p.imgWidth);
    const float base = p.thisScale * size;
    std::vector<float> bw, bh;
    bool second = false;
    for (uint32_t i = 0; i < p.aspectRatiosCount; ++i) {
        const float r = p.aspectRatios[i];
        if (r == 1.0f) {
            bw.push_back(base);
            bh.push_back(base);
            if (p.twoBoxesForAr1 && !second) {
                second = true;
                bw.push_back(sqrtf(p.thisScale * p.nextScale) * size);
                bh.push_back(sqrtf(p.thisScale * p.nextScale) * size);
            }
        } else {
            bw.push_back(base * sqrtf(r));
            bh.push_back(base / sqrtf(r));
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

// ---- DecodeDetections ----------------------------------------------------

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

// Indices 0..n-1 ordered ascending by value, equal values in index order.
inline std::vector<uint32_t> StableAscending(const std::vector<float>& v)
{
    std::vector<uint32_t> idx(v.size());
    for (uint32_t i = 0; i < idx.size(); ++i) idx[i] = i;
    std::stable_sort(idx.begin(), idx.end(), [&v](uint32_t a, uint32_t b) { return v[a] < v[b]; });
    return idx;
}

struct Kept {
    uint32_t box;
    float score;
};

// Greedy per-class suppression: best-first from the top of the stable
// ascending order, scores above the confidence threshold, survivors strictly
// below the IoU threshold, at most min(limit, n) kept.
inline std::vector<Kept> NaiveClassNms(const std::vector<Corner>& boxes, const std::vector<float>& scores,
                                       uint32_t limit, float iouThr, float confThr)
{
    std::vector<uint32_t> cand;
    for (uint32_t i : StableAscending(scores))
        if (scores[i] > confThr) cand.push_back(i);
    const size_t k = std::min<size_t>(limit, scores.size());
    std::vector<Kept> kept;
    while (!cand.empty() && kept.size() < k) {
        const uint32_t m = cand.back();
        cand.pop_back();
        kept.push_back({m, scores[m]});
        std::vector<uint32_t> next;
        for (uint32_t j : cand)
            if (InclusiveIoU(boxes[j], boxes[m]) < iouThr) next.push_back(j);
        cand = next;
    }
    return kept;
}

// Output {N, topK, 6} of a dense input {N, B, L}.
inline std::vector<float> NaiveDecode(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L,
                                      const DecodeDetectionsParams& p)
{
    std::vector<float> out((size_t)N * p.topK * 6, 0.0f);
    if (L < 14) return out;
    const uint32_t C = L - 12;
    for (uint32_t n = 0; n < N; ++n) {
        const float* item = in.data() + (size_t)n * B * L;
        std::vector<Corner> boxes;
        for (uint32_t b = 0; b < B; ++b) {
            const float* r = item + (size_t)b * L + C;
            const float cx = fmaf(r[0] * r[8], r[6], r[4]), cy = fmaf(r[1] * r[9], r[7], r[5]);
            const float w = expf(r[2] * r[10]) * r[6], h = expf(r[3] * r[11]) * r[7];
            const float sx = p.normalizeCoords ? (float)p.imgWidth : 1.0f;
            const float sy = p.normalizeCoords ? (float)p.imgHeight : 1.0f;
            boxes.push_back({(cx - 0.5f * w) * sx, (cy - 0.5f * h) * sy, (cx + 0.5f * w) * sx, (cy + 0.5f * h) * sy});
        }
        std::vector<std::vector<float>> rows;
        std::vector<float> scores;
        for (uint32_t c = 1; c < C; ++c) {
            std::vector<float> s(B);
            for (uint32_t b = 0; b < B; ++b) s[b] = item[(size_t)b * L + c];
            for (const Kept& k : NaiveClassNms(boxes, s, p.maxBoxesPerClass, p.iouThreshold, p.confidenceThreshold)) {
                const Corner& bx = boxes[k.box];
                rows.push_back({(float)c, k.score, bx.x0, bx.y0, bx.x1, bx.y1});
                scores.push_back(k.score);
            }
        }
        const std::vector<uint32_t> order = StableAscending(scores);
        for (size_t r = 0; r < std::min<size_t>(p.topK, order.size()); ++r)
            std::copy(rows[order[order.size() - 1 - r]].begin(), rows[order[order.size() - 1 - r]].end(),
                      out.begin() + ((size_t)n * p.topK + r) * 6);
    }
    return out;
}

// ---- Lomuto quicksort, textbook form ------------------------------------

// Sorts v[lo..hi] recursively: pivot = last element, elements e with
// left(e, pivot) are moved to the front part.
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

// ---- NMSYolo -------------------------------------------------------------

// Output {N, outRows, L} of a dense input {N, B, L}.
inline std::vector<float> NaiveYolo(const std::vector<float>& in, uint32_t N, uint32_t B, uint32_t L, uint32_t outRows,
                                    float scoreThr, float iouThr)
{
    std::vector<float> out((size_t)N * outRows * L, 0.0f);
    struct Cand {
        float score;
        uint32_t row;
    };
    for (uint32_t n = 0; n < N; ++n) {
        const float* item = in.data() + (size_t)n * B * L;
        std::vector<Cand> cand;
        for (uint32_t r = 0; r < B; ++r)
            if (item[(size_t)r * L + 4] >= scoreThr) cand.push_back({item[(size_t)r * L + 4], r});
        TextbookLomuto(cand, 0, (long)cand.size() - 1, [](const Cand& a, const Cand& p) { return a.score <= p.score; });
        std::vector<Corner> box;
        for (const Cand& c : cand) {
            const float* r = item + (size_t)c.row * L;
            box.push_back({std::max(r[0] - 0.5f * r[2], 0.0f), std::max(r[1] - 0.5f * r[3], 0.0f), r[0] + 0.5f * r[2],
                           r[1] + 0.5f * r[3]});
        }
        std::vector<size_t> remaining;
        for (size_t i = 0; i < cand.size(); ++i) remaining.push_back(i);
        uint32_t written = 0;
        while (!remaining.empty() && written < outRows) {
            const size_t m = remaining.back();
            remaining.pop_back();
            float* dst = out.data() + ((size_t)n * outRows + written) * L;
            std::copy(item + (size_t)cand[m].row * L, item + (size_t)(cand[m].row + 1) * L, dst);
            dst[0] = box[m].x0, dst[1] = box[m].y0, dst[2] = box[m].x1, dst[3] = box[m].y1;
            ++written;
            std::vector<size_t> next;
            for (size_t j : remaining)
                if (!(InclusiveIoU(box[m], box[j]) > iouThr)) next.push_back(j);
            remaining = next;
        }
    }
    return out;
}

// ---- NonMaxSuppression ---------------------------------------------------

struct Triple {
    int32_t b, c, i;
    bool operator==(const Triple& o) const { return b == o.b && c == o.c && i == o.i; }
};

inline std::ostream& operator<<(std::ostream& os, const Triple& t) { return os << t.b << "," << t.c << "," << t.i; }

// IoU of corner boxes as stored, edges not counted; 0 for an empty union.
inline float PlainIoU(const float* a, const float* b)
{
    const float iw = std::max(0.0f, std::min(a[2], b[2]) - std::max(a[0], b[0]));
    const float ih = std::max(0.0f, std::min(a[3], b[3]) - std::max(a[1], b[1]));
    const float inter = iw * ih;
    const float uni = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter;
    return uni > 0.0f ? inter / uni : 0.0f;
}

// boxes {N, B, 4}, scores {N, C, B}, dense.
inline std::vector<Triple> NaiveOnnxNms(const std::vector<float>& boxes, const std::vector<float>& scores, uint32_t N,
                                        uint32_t C, uint32_t B, uint32_t M, float iouThr, float scoreThr)
{
    std::vector<Triple> out;
    struct Cand {
        float score;
        uint32_t i;
    };
    for (uint32_t b = 0; b < N; ++b)
        for (uint32_t c = 0; c < C; ++c) {
            std::vector<Cand> cand;
            for (uint32_t i = 0; i < B; ++i) {
                const float s = scores[((size_t)b * C + c) * B + i];
                if (s > scoreThr) cand.push_back({s, i});
            }
            TextbookLomuto(cand, 0, (long)cand.size() - 1,
                           [](const Cand& a, const Cand& p) { return a.score >= p.score; });
            std::vector<bool> off(cand.size(), false);
            uint32_t selected = 0;
            for (size_t x = 0; x < cand.size() && selected < M; ++x) {
                if (off[x]) continue;
                out.push_back({(int32_t)b, (int32_t)c, (int32_t)cand[x].i});
                ++selected;
                const float* bx = &boxes[((size_t)b * B + cand[x].i) * 4];
                for (size_t y = x + 1; y < cand.size(); ++y)
                    if (!off[y] && PlainIoU(bx, &boxes[((size_t)b * B + cand[y].i) * 4]) >= iouThr) off[y] = true;
            }
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

// ---- Random data with ties -----------------------------------------------

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
