#define CORVUS_MODULE "Tensor"
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "DataTypeConvert.h"
#include "Report.h"
#include "TensorOperation.h"

namespace {

using TensorHolder = std::unique_ptr<Tensor, decltype(&DestroyTensor)>;

// A float32 view of t: t itself, or a converted temporary kept in holder
// with the same layout, shape and strides.
const Tensor* AsFloat32(const Tensor* t, TensorHolder& holder)
{
    if (t->dtype == DT_FLOAT32) return t;
    holder.reset(CreateTensorWithStrides(DT_FLOAT32, (DataLayout)t->layout, t->ndim, t->shape, t->stride, true));
    TensorDataConvert(holder.get(), t);
    return holder.get();
}

std::string PositionText(const Tensor* t, uint32_t flat)
{
    uint32_t pos[MAX_NDIM_VALUE];
    GetPositionByIndex(t->shape, t->ndim, flat, pos);
    std::string text = "(";
    for (uint32_t d = 0; d < t->ndim; ++d) {
        if (d > 0) text += ',';
        text += std::to_string(pos[d]);
    }
    return text + ")";
}

}  // namespace

extern "C" TensorCompareResult CompareTensors(const Tensor* tensor1, const Tensor* tensor2, float threshold)
{
    if (tensor1 == nullptr) CV_FATAL("CompareTensors. Tensor tensor1 is not created");
    if (tensor2 == nullptr) CV_FATAL("CompareTensors. Tensor tensor2 is not created");
    if (tensor1->data == nullptr) CV_FATAL("CompareTensors. Tensor tensor1 data refers to nullptr");
    if (tensor2->data == nullptr) CV_FATAL("CompareTensors. Tensor tensor2 data refers to nullptr");
    const TensorCompareResult shapes = CompareTensorsShape(tensor1, tensor2);
    if (shapes != TCR_SHAPES_EQUAL) return shapes;
    const uint32_t ndim = tensor1->ndim;
    if (ndim > MAX_NDIM_VALUE) CV_FATAL("CompareTensors. Tensor rank %u is greater than %d", ndim, MAX_NDIM_VALUE);

    TensorHolder hold1(nullptr, &DestroyTensor), hold2(nullptr, &DestroyTensor);
    const Tensor* t1 = AsFloat32(tensor1, hold1);
    const Tensor* t2 = AsFloat32(tensor2, hold2);

    // Rows may be padded; everything above the row stride must be dense.
    for (int k = (int)ndim - 3; k >= 0; --k) {
        const uint32_t expected1 = t1->stride.dimension[k + 1] * t1->shape.dimension[k + 1];
        if (t1->stride.dimension[k] != expected1)
            CV_FATAL("Unsupported custom tensor1 stride by dim: %d\nStride value: %d. Expected: %d", k,
                     t1->stride.dimension[k], expected1);
        const uint32_t expected2 = t2->stride.dimension[k + 1] * t2->shape.dimension[k + 1];
        if (t2->stride.dimension[k] != expected2)
            CV_FATAL("Unsupported custom tensor2 stride by dim: %d\nStride value: %d. Expected: %d", k,
                     t2->stride.dimension[k], expected2);
    }

    const uint32_t count = GetTensorSize(t1);
    if (count == 0) return TCR_DATA_EQUAL;
    const uint32_t cols = ndim > 0 ? t1->shape.dimension[ndim - 1] : 1;
    const uint32_t rows = count / cols;
    const size_t rowStride1 = ndim > 1 ? t1->stride.dimension[ndim - 2] : 0;
    const size_t rowStride2 = ndim > 1 ? t2->stride.dimension[ndim - 2] : 0;
    const size_t colStride1 = ndim > 0 ? t1->stride.dimension[ndim - 1] : 1;
    const size_t colStride2 = ndim > 0 ? t2->stride.dimension[ndim - 1] : 1;
    const float* d1 = (const float*)t1->data;
    const float* d2 = (const float*)t2->data;

    float maxDiff = -1.0f, minDiff = 3.4028235e38f, sum = 0.0f;
    uint32_t maxAt = 0, minAt = 0;
    float maxA = 0.0f, maxB = 0.0f, minA = 0.0f, minB = 0.0f;
    for (uint32_t r = 0; r < rows; ++r) {
        const float* row1 = d1 + r * rowStride1;
        const float* row2 = d2 + r * rowStride2;
        for (uint32_t c = 0; c < cols; ++c) {
            const float a = row1[c * colStride1];
            const float b = row2[c * colStride2];
            const float diff = fabsf(a - b);
            if (diff > maxDiff) {
                maxDiff = diff;
                maxAt = r * cols + c;
                maxA = a;
                maxB = b;
            }
            if (diff < minDiff) {
                minDiff = diff;
                minAt = r * cols + c;
                minA = a;
                minB = b;
            }
            sum += diff;
        }
    }
    if (!(maxDiff > threshold)) return TCR_DATA_EQUAL;

    const std::string maxPos = PositionText(t1, maxAt);
    const std::string minPos = PositionText(t1, minAt);
    printf("max diff = %.5f: tensor1%s = %.5f, tensor2%s = %.5f\n", maxDiff, maxPos.c_str(), maxA, maxPos.c_str(),
           maxB);
    printf("min diff = %.5f: tensor1%s = %.5f, tensor2%s = %.5f\n", minDiff, minPos.c_str(), minA, minPos.c_str(),
           minB);
    printf("average diff = %.5f\n", sum / (float)count);
    fflush(stdout);
    return TCR_DATA_DIFFERENT;
}
