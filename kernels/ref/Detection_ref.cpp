#define CORVUS_MODULE "Detection_ref"
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "LayersDetection.h"
#include "Report.h"
#include "TensorOperation.h"
#include "ref/Detection_internal.h"

namespace {

struct TensorDeleter {
    void operator()(Tensor* t) const { DestroyTensor(t); }
};
using TensorPtr = std::unique_ptr<Tensor, TensorDeleter>;

float* F32(Tensor* t) { return static_cast<float*>(t->data); }
const float* F32(const Tensor* t) { return static_cast<const float*>(t->data); }

// Anchor sizes (width, height) of one cell, in the order of the ratios; the
// larger square follows the first ratio of 1.0 only, so that the list holds
// exactly boxesPerCell entries.
void AnchorSizes(const AnchorBoxesParams* p, std::vector<float>& widths, std::vector<float>& heights)
{
    const float size = (float)(p->imgHeight < p->imgWidth ? p->imgHeight : p->imgWidth);
    const float base = p->thisScale * size;
    bool secondSquareDone = false;
    for (uint32_t i = 0; i < p->aspectRatiosCount; ++i) {
        const float r = p->aspectRatios[i];
        if (r == 1.0f) {
            widths.push_back(base);
            heights.push_back(base);
            if (p->twoBoxesForAr1 && !secondSquareDone) {
                const float s = sqrtf(p->thisScale * p->nextScale) * size;
                widths.push_back(s);
                heights.push_back(s);
                secondSquareDone = true;
            }
        } else {
            const float root = sqrtf(r);
            widths.push_back(base * root);
            heights.push_back(base / root);
        }
    }
}

// Corner boxes of one batch item, decoded from the rows' offsets, anchors and variances.
struct DecodedBoxes {
    std::vector<float> xmin, ymin, xmax, ymax;
};

void DecodeBoxes(const float* item, uint32_t boxes, uint64_t rowStride, uint64_t colStride, uint32_t classes,
                 const DecodeDetectionsParams* p, DecodedBoxes& out)
{
    out.xmin.resize(boxes);
    out.ymin.resize(boxes);
    out.xmax.resize(boxes);
    out.ymax.resize(boxes);
    const float scaleX = p->normalizeCoords ? (float)p->imgWidth : 1.0f;
    const float scaleY = p->normalizeCoords ? (float)p->imgHeight : 1.0f;
    for (uint32_t b = 0; b < boxes; ++b) {
        const float* row = item + b * rowStride;
        auto at = [row, colStride, classes](uint32_t k) { return row[(uint64_t)(classes + k) * colStride]; };
        const float o0 = at(0), o1 = at(1), o2 = at(2), o3 = at(3);
        const float acx = at(4), acy = at(5), aw = at(6), ah = at(7);
        const float v0 = at(8), v1 = at(9), v2 = at(10), v3 = at(11);
        const float cx = fmaf(o0 * v0, aw, acx);
        const float cy = fmaf(o1 * v1, ah, acy);
        const float w = expf(o2 * v2) * aw;
        const float h = expf(o3 * v3) * ah;
        float x0 = cx - 0.5f * w, y0 = cy - 0.5f * h, x1 = cx + 0.5f * w, y1 = cy + 0.5f * h;
        if (p->normalizeCoords) {
            x0 *= scaleX;
            x1 *= scaleX;
            y0 *= scaleY;
            y1 *= scaleY;
        }
        out.xmin[b] = x0;
        out.ymin[b] = y0;
        out.xmax[b] = x1;
        out.ymax[b] = y1;
    }
}

// Pixel boxes count both edges, hence the +1 in sizes and overlaps.
inline float InclusiveArea(float x0, float y0, float x1, float y1) { return (x1 - x0 + 1.0f) * (y1 - y0 + 1.0f); }

inline float InclusiveOverlap(float lo0, float hi0, float lo1, float hi1)
{
    const float len = fminf(hi0, hi1) - fmaxf(lo0, lo1) + 1.0f;
    return len > 0.0f ? len : 0.0f;
}

}  // namespace

extern "C" {

int32_t filter_scores_by_threshold(const float* scores, const uint32_t* order, uint32_t count, float threshold)
{
    for (uint32_t i = 0; i < count; ++i)
        if (scores[order[i]] > threshold) return (int32_t)i;
    return -1;
}

TensorsArray* non_max_suppression(const float* xmin, const float* ymin, const float* xmax, const float* ymax,
                                  const Tensor* scores, uint32_t limit, float iouThreshold, float confidenceThreshold)
{
    CV_CHECK_PTR(scores);
    CV_CHECK(scores->ndim == 1);
    CV_CHECK(scores->dtype == DT_FLOAT32);
    const uint32_t n = scores->shape.dimension[0];
    const uint32_t k = limit < n ? limit : n;

    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    shape.dimension[0] = k;
    shape.dimension[1] = 4;
    Tensor* keptBoxes = CreateTensor(DT_FLOAT32, DL_HW, 2, shape, true);
    shape.dimension[1] = 0;
    Tensor* keptScores = CreateTensor(DT_FLOAT32, DL_I, 1, shape, true);
    TensorsArray* result = CreateTensorsArray(2);
    AssignTensor(result, keptBoxes, 0);
    AssignTensor(result, keptScores, 1);

    uint32_t kept = 0;
    if (k > 0) {
        const float* s = F32(scores);
        const TensorPtr orderTensor(ArgSortPositiveAsm(scores));
        const uint32_t* order = static_cast<const uint32_t*>(orderTensor->data);
        const int32_t first = filter_scores_by_threshold(s, order, n, confidenceThreshold);
        // Remaining candidates, ascending by score: the best is at the back.
        std::vector<uint32_t> remaining;
        if (first >= 0) remaining.assign(order + first, order + n);
        std::vector<uint32_t> survivors;
        survivors.reserve(remaining.size());
        float* boxOut = F32(keptBoxes);
        float* scoreOut = F32(keptScores);
        while (!remaining.empty()) {
            const uint32_t m = remaining.back();
            remaining.pop_back();
            boxOut[kept * 4 + 0] = xmin[m];
            boxOut[kept * 4 + 1] = ymin[m];
            boxOut[kept * 4 + 2] = xmax[m];
            boxOut[kept * 4 + 3] = ymax[m];
            scoreOut[kept] = s[m];
            if (++kept == k) break;
            const float areaM = InclusiveArea(xmin[m], ymin[m], xmax[m], ymax[m]);
            survivors.clear();
            for (uint32_t j : remaining) {
                const float inter = InclusiveOverlap(xmin[j], xmax[j], xmin[m], xmax[m]) *
                                    InclusiveOverlap(ymin[j], ymax[j], ymin[m], ymax[m]);
                const float areaJ = InclusiveArea(xmin[j], ymin[j], xmax[j], ymax[j]);
                const float iou = inter / (areaJ + areaM - inter);
                if (iou < iouThreshold) survivors.push_back(j);
            }
            remaining.swap(survivors);
        }
    }
    keptBoxes->shape.dimension[0] = kept;
    keptScores->shape.dimension[0] = kept;
    return result;
}

void Init_AnchorBoxes_fl32_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const AnchorBoxesParams* params = static_cast<const AnchorBoxesParams*>(kernel->params);
    CV_CHECK_PTR(params);
    CV_CHECK(params->clipBoxes == false);
    CV_CHECK(params->coords == CT_Centroids);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    CV_CHECK_PTR(in);
    CV_CHECK_PTR(out);
    CV_CHECK_PTR(out->data);
    CV_CHECK(out->dtype == DT_FLOAT32);
    CV_CHECK(in->ndim == 4 && out->ndim == 5);

    std::vector<float> widths, heights;
    AnchorSizes(params, widths, heights);
    const uint32_t N = in->shape.dimension[0], H = in->shape.dimension[1], W = in->shape.dimension[2];
    const uint32_t boxes = (uint32_t)widths.size();
    CV_CHECK(boxes == params->boxesPerCell);
    CV_CHECK(out->shape.dimension[0] == N && out->shape.dimension[1] == H && out->shape.dimension[2] == W &&
             out->shape.dimension[3] == boxes && out->shape.dimension[4] == 8);
    if (N == 0 || H == 0 || W == 0) return;

    const float step = params->step, offset = params->offset;
    const TensorPtr cy(LinSpace(H, offset * step, (offset + (float)H - 1.0f) * step));
    const TensorPtr cx(LinSpace(W, offset * step, (offset + (float)W - 1.0f) * step));
    float* cyv = F32(cy.get());
    float* cxv = F32(cx.get());
    if (params->normalizeCoords) {
        const float imgW = (float)params->imgWidth, imgH = (float)params->imgHeight;
        for (uint32_t w = 0; w < W; ++w) cxv[w] /= imgW;
        for (uint32_t h = 0; h < H; ++h) cyv[h] /= imgH;
        for (uint32_t b = 0; b < boxes; ++b) {
            widths[b] /= imgW;
            heights[b] /= imgH;
        }
    }

    const uint32_t* st = out->stride.dimension;
    float* data = F32(out);
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w)
                for (uint32_t b = 0; b < boxes; ++b) {
                    float* row =
                        data + (uint64_t)n * st[0] + (uint64_t)h * st[1] + (uint64_t)w * st[2] + (uint64_t)b * st[3];
                    const float values[8] = {cxv[w],
                                             cyv[h],
                                             widths[b],
                                             heights[b],
                                             params->variances[0],
                                             params->variances[1],
                                             params->variances[2],
                                             params->variances[3]};
                    for (uint32_t k = 0; k < 8; ++k) row[(uint64_t)k * st[4]] = values[k];
                }
}

// The anchors are a constant made at initialisation.
void Execute_AnchorBoxes_fl32_ref(NNKernel*) {}

void Execute_DecodeDetections_fl32_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const DecodeDetectionsParams* params = static_cast<const DecodeDetectionsParams*>(kernel->params);
    CV_CHECK_PTR(params);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    CV_CHECK(input->ndim == 3);
    CV_CHECK(output->ndim == 3);
    CV_CHECK_MSG(input->dtype == DT_FLOAT32 && output->dtype == DT_FLOAT32,
                 "DecodeDetections: input and output must be float32, got %s and %s",
                 DataTypeToStr((DataType)input->dtype), DataTypeToStr((DataType)output->dtype));
    const uint32_t N = input->shape.dimension[0], boxes = input->shape.dimension[1];
    const uint32_t rowLength = input->shape.dimension[2];
    const uint32_t topK = output->shape.dimension[1];
    CV_CHECK(output->shape.dimension[0] == N && output->shape.dimension[2] == 6);
    CV_CHECK_PTR(output->data);
    if (N > 0 && boxes > 0) CV_CHECK_PTR(input->data);

    const uint32_t* os = output->stride.dimension;
    float* out = F32(output);
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t r = 0; r < topK; ++r)
            for (uint32_t k = 0; k < 6; ++k)
                out[(uint64_t)n * os[0] + (uint64_t)r * os[1] + (uint64_t)k * os[2]] = 0.0f;
    // Class 0 is the background; a row needs 12 box values behind the scores.
    if (rowLength < 12 || rowLength - 12 <= 1 || boxes == 0) return;
    const uint32_t classes = rowLength - 12;

    const uint32_t* is = input->stride.dimension;
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    shape.dimension[0] = boxes;
    const TensorPtr classScores(CreateTensor(DT_FLOAT32, DL_I, 1, shape, true));
    float* cs = F32(classScores.get());
    DecodedBoxes decoded;
    std::vector<float> rows;    // (class, score, xmin, ymin, xmax, ymax) per kept detection
    std::vector<float> scores;  // the same scores, for ordering

    for (uint32_t n = 0; n < N; ++n) {
        const float* item = F32(input) + (uint64_t)n * is[0];
        DecodeBoxes(item, boxes, is[1], is[2], classes, params, decoded);
        rows.clear();
        scores.clear();
        for (uint32_t c = 1; c < classes; ++c) {
            for (uint32_t b = 0; b < boxes; ++b) cs[b] = item[(uint64_t)b * is[1] + (uint64_t)c * is[2]];
            TensorsArray* kept = non_max_suppression(decoded.xmin.data(), decoded.ymin.data(), decoded.xmax.data(),
                                                     decoded.ymax.data(), classScores.get(), params->maxBoxesPerClass,
                                                     params->iouThreshold, params->confidenceThreshold);
            const Tensor* keptBoxes = kept->tensors[0];
            const float* kb = F32(keptBoxes);
            const float* ks = F32(kept->tensors[1]);
            for (uint32_t i = 0; i < keptBoxes->shape.dimension[0]; ++i) {
                const float row[6] = {(float)c, ks[i], kb[i * 4], kb[i * 4 + 1], kb[i * 4 + 2], kb[i * 4 + 3]};
                rows.insert(rows.end(), row, row + 6);
                scores.push_back(ks[i]);
            }
            DestroyTensorsArray(kept, true);
        }
        const uint32_t total = (uint32_t)scores.size();
        if (total == 0) continue;
        shape.dimension[0] = total;
        const TensorPtr scoreTensor(CreateTensor(DT_FLOAT32, DL_I, 1, shape, false));
        scoreTensor->data = scores.data();  // borrowed: the tensor never owns it
        const TensorPtr order(ArgSortPositiveAsm(scoreTensor.get()));
        scoreTensor->data = nullptr;
        const uint32_t* ord = static_cast<const uint32_t*>(order->data);
        const uint32_t count = total < topK ? total : topK;
        for (uint32_t r = 0; r < count; ++r) {
            const float* src = &rows[(size_t)ord[total - 1 - r] * 6];
            float* dst = out + (uint64_t)n * os[0] + (uint64_t)r * os[1];
            for (uint32_t k = 0; k < 6; ++k) dst[(uint64_t)k * os[2]] = src[k];
        }
    }
}

}  // extern "C"

extern "C" const NNKernelFn nn_kernel_fn_AnchorBoxes_fl32_ref = {Execute_AnchorBoxes_fl32_ref,
                                                                 Init_AnchorBoxes_fl32_ref, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_DecodeDetections_fl32_ref = {Execute_DecodeDetections_fl32_ref, nullptr,
                                                                      nullptr, nullptr};
