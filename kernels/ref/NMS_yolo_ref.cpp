#define CORVUS_MODULE "NMS_yolo_ref"
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "DataTypeConvert.h"
#include "LayersDetection.h"
#include "Report.h"
#include "ref/Detection_internal.h"
#include "common/Float32Temps.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// A row that passed the score threshold, with its corner box.
struct YoloBox {
    float score;
    uint32_t row;
    float x1, y1, x2, y2, area;
};

// Overlap of two pixel boxes, counting both edges.
inline float InclusiveOverlap(float lo0, float hi0, float lo1, float hi1)
{
    const float len = fminf(hi0, hi1) - fmaxf(lo0, lo1) + 1.0f;
    return len > 0.0f ? len : 0.0f;
}

void ZeroRows(float* item, uint32_t from, uint32_t to, uint32_t rowLength, uint64_t rowStride, uint64_t colStride)
{
    for (uint32_t r = from; r < to; ++r)
        for (uint32_t k = 0; k < rowLength; ++k) item[r * rowStride + k * colStride] = 0.0f;
}

}  // namespace

extern "C" void NMSYolo_ref(Tensor* output, const Tensor* input, const NMSYoloParams* params)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    if (input->dtype != output->dtype) CV_FATAL("Function NMS YOLO: Input data type and output data type is not equal");
    if (input->dtype != DT_FLOAT32) CV_FATAL("Function NMS YOLO: Input tensors data type is not in (float32,)");
    CV_CHECK(input->ndim == 3 && output->ndim == 3);
    const uint32_t N = input->shape.dimension[0], rows = input->shape.dimension[1];
    const uint32_t L = input->shape.dimension[2], outRows = output->shape.dimension[1];
    CV_CHECK(output->shape.dimension[0] == N && output->shape.dimension[2] == L);
    CV_CHECK_MSG(L >= 5, "Function NMS YOLO: rows of %u values cannot hold a box and its score", L);
    if (N == 0 || outRows == 0) return;
    CV_CHECK_PTR(output->data);
    if (rows > 0) CV_CHECK_PTR(input->data);

    const uint64_t is0 = input->stride.dimension[0], is1 = input->stride.dimension[1], is2 = input->stride.dimension[2];
    const uint64_t os0 = output->stride.dimension[0], os1 = output->stride.dimension[1],
                   os2 = output->stride.dimension[2];
    const float scoreThreshold = params->scoreThreshold, iouThreshold = params->iouThreshold;

    std::unique_ptr<YoloBox, FreeDeleter> boxesMem((YoloBox*)malloc((rows > 0 ? rows : 1) * sizeof(YoloBox)));
    if (boxesMem == nullptr) CV_FATAL("NMS YOLO: Bboxes pointer is NULL");
    std::unique_ptr<uint32_t, FreeDeleter> indicesMem((uint32_t*)malloc((rows > 0 ? rows : 1) * sizeof(uint32_t)));
    if (indicesMem == nullptr) CV_FATAL("NMS YOLO: Indices pointer is NULL");
    YoloBox* boxes = boxesMem.get();
    uint32_t* remaining = indicesMem.get();

    for (uint32_t n = 0; n < N; ++n) {
        const float* in = static_cast<const float*>(input->data) + n * is0;
        float* out = static_cast<float*>(output->data) + n * os0;

        uint32_t count = 0;
        for (uint32_t r = 0; r < rows; ++r) {
            const float score = in[r * is1 + 4 * is2];
            if (score >= scoreThreshold) boxes[count++] = YoloBox{score, r, 0, 0, 0, 0, 0};
        }
        if (count == 0) {
            ZeroRows(out, 0, outRows, L, os1, os2);
            continue;
        }
        corvus_detection::LomutoQuickSort(boxes, 0, (int64_t)count - 1, [](const YoloBox& a, const YoloBox& pivot) {
            return a.score <= pivot.score;
        });
        for (uint32_t i = 0; i < count; ++i) {
            YoloBox& b = boxes[i];
            const float* row = in + b.row * is1;
            const float cx = row[0], cy = row[is2], w = row[2 * is2], h = row[3 * is2];
            b.x1 = fmaxf(cx - 0.5f * w, 0.0f);
            b.y1 = fmaxf(cy - 0.5f * h, 0.0f);
            b.x2 = cx + 0.5f * w;
            b.y2 = cy + 0.5f * h;
            b.area = (b.x2 - b.x1 + 1.0f) * (b.y2 - b.y1 + 1.0f);
            remaining[i] = i;
        }

        uint32_t written = 0, left = count;
        while (left > 0) {
            const YoloBox& m = boxes[remaining[--left]];
            const float* src = in + m.row * is1;
            float* dst = out + written * os1;
            for (uint32_t k = 0; k < L; ++k) dst[k * os2] = src[k * is2];
            dst[0] = m.x1;
            dst[os2] = m.y1;
            dst[2 * os2] = m.x2;
            dst[3 * os2] = m.y2;
            if (++written == outRows) break;
            // Survivors keep their ascending order.
            uint32_t kept = 0;
            for (uint32_t q = 0; q < left; ++q) {
                const YoloBox& j = boxes[remaining[q]];
                const float inter = InclusiveOverlap(m.x1, m.x2, j.x1, j.x2) * InclusiveOverlap(m.y1, m.y2, j.y1, j.y2);
                const float iou = inter / (m.area + j.area - inter);
                if (!(iou > iouThreshold)) remaining[kept++] = remaining[q];
            }
            left = kept;
        }
        ZeroRows(out, written, outRows, L, os1, os2);
    }
}

extern "C" void Execute_NMSYolo_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function NMS Yolo: Kernel pointer is NULL");
    const NMSYoloParams* params = static_cast<const NMSYoloParams*>(kernel->params);
    CV_CHECK_PTR(params);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(output);
    if (input->dtype != output->dtype) CV_FATAL("Function NMS YOLO: Input data type and output data type is not equal");
    switch (input->dtype) {
    case DT_FLOAT32:
        NMSYolo_ref(output, input, params);
        break;
    case DT_FLOAT16: {
        const corvus::Float32Operand in32(input, true), out32(output, false);
        NMSYolo_ref(out32.get(), in32.get(), params);
        out32.Store(output);
        break;
    }
    default:
        CV_FATAL("Function NMS Yolo: Unsupported data type for NMS Yolo");
    }
}

extern "C" const NNKernelFn nn_kernel_fn_NMSYolo_ref = {Execute_NMSYolo_ref, nullptr, nullptr, nullptr};
