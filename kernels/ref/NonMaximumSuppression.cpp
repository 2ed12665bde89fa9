#define CORVUS_MODULE "NonMaximumSuppression"
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "DataTypeConvert.h"
#include "LayersDetection.h"
#include "Report.h"
#include "ref/Detection_internal.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// One threshold value from an optional input.
float ReadThreshold(const Tensor* t, const char* what)
{
    CV_CHECK_PTR(t);
    if (t->data == nullptr) CV_FATAL("NonMaxSuppression: %s has no data", what);
    switch (t->dtype) {
    case DT_FLOAT32: {
        float v;
        memcpy(&v, t->data, sizeof(v));
        return v;
    }
    case DT_FLOAT16: {
        uint16_t h;
        memcpy(&h, t->data, sizeof(h));
        float v;
        float16_to_float32(&h, &v, 1);
        return v;
    }
    default:
        CV_FATAL("NonMaxSuppression: %s must be a float, got %s", what, DataTypeToStr((DataType)t->dtype));
    }
}

// Corner boxes as stored (corners are not reordered), edges not counted.
float IoU(const float* a, const float* b)
{
    const float w = fminf(a[2], b[2]) - fmaxf(a[0], b[0]);
    const float h = fminf(a[3], b[3]) - fmaxf(a[1], b[1]);
    const float inter = (w > 0.0f ? w : 0.0f) * (h > 0.0f ? h : 0.0f);
    const float areaA = (a[2] - a[0]) * (a[3] - a[1]);
    const float areaB = (b[2] - b[0]) * (b[3] - b[1]);
    const float uni = areaA + areaB - inter;
    return uni > 0.0f ? inter / uni : 0.0f;
}

}  // namespace

extern "C" void QuickSortBoxes(NMSCandidate* candidates, int64_t lo, int64_t hi)
{
    corvus_detection::LomutoQuickSort(
        candidates, lo, hi, [](const NMSCandidate& a, const NMSCandidate& pivot) { return a.score >= pivot.score; });
}

extern "C" void NonMaxSuppression_ONNX(Tensor* output, Tensor* const* inputs, uint32_t inputsNum, uint32_t outputRows)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(inputs);
    CV_CHECK(inputsNum >= 3 && inputsNum <= 5);
    const Tensor* boxes = inputs[0];
    const Tensor* scores = inputs[1];
    const Tensor* maxTensor = inputs[2];
    CV_CHECK_PTR(boxes);
    CV_CHECK_PTR(scores);
    CV_CHECK_PTR(maxTensor);
    if (boxes->dtype != DT_FLOAT32) CV_FATAL("Boxes tensor must be float32");
    if (scores->dtype != DT_FLOAT32) CV_FATAL("Scores tensor must be float32");
    CV_CHECK(output->dtype == DT_INT32 && output->ndim == 2 && output->shape.dimension[1] == 3);
    CV_CHECK(boxes->ndim == 3 && boxes->shape.dimension[2] == 4);
    CV_CHECK(scores->ndim == 3 && scores->shape.dimension[0] == boxes->shape.dimension[0] &&
             scores->shape.dimension[2] == boxes->shape.dimension[1]);
    const uint32_t N = boxes->shape.dimension[0], B = boxes->shape.dimension[1], C = scores->shape.dimension[1];

    const float iouThreshold = inputsNum >= 4 ? ReadThreshold(inputs[3], "iou_threshold") : 0.0f;
    const float scoreThreshold = inputsNum >= 5 ? ReadThreshold(inputs[4], "score_threshold") : 0.5f;
    if (maxTensor->data == nullptr) CV_FATAL("NonMaxSuppression: max_output_boxes_per_class has no data");
    CV_CHECK_MSG(DataTypeSize((DataType)maxTensor->dtype) == 4,
                 "NonMaxSuppression: max_output_boxes_per_class must hold a 32-bit integer");
    uint32_t maxPerClass;
    memcpy(&maxPerClass, maxTensor->data, sizeof(maxPerClass));
    // Every (batch, class) may fill M rows; the output was sized for that.
    const uint64_t needed = (uint64_t)N * C * maxPerClass;
    if (needed > outputRows)
        CV_FATAL("NonMaxSuppression: %u x %u x %u selections do not fit the output's %u rows", N, C, maxPerClass,
                 outputRows);
    if (N > 0 && B > 0 && C > 0) {
        CV_CHECK_PTR(boxes->data);
        CV_CHECK_PTR(scores->data);
    }
    if (needed > 0) CV_CHECK_PTR(output->data);

    std::unique_ptr<NMSCandidate, FreeDeleter> candMem((NMSCandidate*)malloc((B > 0 ? B : 1) * sizeof(NMSCandidate)));
    if (candMem == nullptr) CV_FATAL("Failed to allocate candidate boxes");
    std::unique_ptr<uint8_t, FreeDeleter> flagsMem((uint8_t*)malloc(B > 0 ? B : 1));
    if (flagsMem == nullptr) CV_FATAL("Failed to allocate suppression array");
    NMSCandidate* cand = candMem.get();
    uint8_t* suppressed = flagsMem.get();

    const uint32_t* bs = boxes->stride.dimension;
    const uint32_t* ss = scores->stride.dimension;
    const uint32_t* os = output->stride.dimension;
    const float* boxData = static_cast<const float*>(boxes->data);
    const float* scoreData = static_cast<const float*>(scores->data);
    int32_t* out = static_cast<int32_t*>(output->data);
    uint32_t total = 0;

    for (uint32_t b = 0; b < N; ++b)
        for (uint32_t c = 0; c < C; ++c) {
            uint32_t count = 0;
            const float* s = scoreData + (uint64_t)b * ss[0] + (uint64_t)c * ss[1];
            for (uint32_t i = 0; i < B; ++i) {
                const float score = s[(uint64_t)i * ss[2]];
                if (!(score > scoreThreshold)) continue;
                NMSCandidate& k = cand[count++];
                const float* box = boxData + (uint64_t)b * bs[0] + (uint64_t)i * bs[1];
                for (int v = 0; v < 4; ++v) k.box[v] = box[(uint64_t)v * bs[2]];
                k.score = score;
                k.classIndex = c;
                k.batchIndex = b;
                k.boxIndex = i;
            }
            if (count == 0) continue;
            QuickSortBoxes(cand, 0, (int64_t)count - 1);
            memset(suppressed, 0, count);
            uint32_t selected = 0;
            for (uint32_t i = 0; i < count && selected < maxPerClass; ++i) {
                if (suppressed[i]) continue;
                int32_t* row = out + (uint64_t)total * os[0];
                row[0] = (int32_t)cand[i].batchIndex;
                row[os[1]] = (int32_t)cand[i].classIndex;
                row[2 * (uint64_t)os[1]] = (int32_t)cand[i].boxIndex;
                ++total;
                ++selected;
                for (uint32_t j = i + 1; j < count; ++j)
                    if (!suppressed[j] && IoU(cand[i].box, cand[j].box) >= iouThreshold) suppressed[j] = 1;
            }
        }
    output->shape.dimension[0] = total;
}

extern "C" void Execute_NonMaxSuppression_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "NonMaxSuppression kernel pointer is NULL");
    CV_CHECK(kernel->outputsNum >= 1);
    Tensor* output = kernel->output[0];
    CV_CHECK_PTR(output);
    // Each run shrinks dimension 0 to the number selected; the first run
    // records the size the output was built with (kept as count + 1, the
    // counter being 0 until then).
    if (kernel->counters[0] == 0) kernel->counters[0] = (uint64_t)output->shape.dimension[0] + 1;
    const uint32_t capacity = (uint32_t)(kernel->counters[0] - 1);
    output->shape.dimension[0] = capacity;
    NonMaxSuppression_ONNX(output, kernel->input, kernel->inputsNum, capacity);
}

extern "C" const NNKernelFn nn_kernel_fn_NonMaxSuppression_ref = {Execute_NonMaxSuppression_ref, nullptr, nullptr,
                                                                  nullptr};
