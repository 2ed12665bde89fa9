// Gather (whole slices picked by index along one axis) and gather-elements
// (one element picked per index).
#define CORVUS_MODULE "Gather_ref"
#include <cstring>
#include <vector>

#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

namespace {

// Row-major offsets (in elements) of every element of a tensor.
std::vector<int64_t> ElementOffsets(const Tensor* t)
{
    std::vector<int64_t> offsets;
    offsets.reserve(GetTensorSize(t));
    const int64_t* strides[1];
    int64_t s[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d < t->ndim; ++d) s[d] = t->stride.dimension[d];
    strides[0] = s;
    corvus::dm::ForEachPosition<1>(t->shape.dimension, t->ndim, strides,
                                   [&](const int64_t(&off)[1]) { offsets.push_back(off[0]); });
    return offsets;
}

// Output: data dimensions before the axis, the indices' dimensions, data
// dimensions after the axis. For every outer position and every index the
// inner block is copied, as one run when both sides store it densely.
void GatherCycle(Tensor* out, const Tensor* data, const std::vector<int32_t>& index, const Tensor* indices,
                 uint32_t axis)
{
    const uint32_t esize = DataTypeSize((DataType)data->dtype);
    int64_t dataStrides[MAX_NDIM_VALUE], outStrides[MAX_NDIM_VALUE];
    corvus::dm::ByteStrides(data, dataStrides);
    corvus::dm::ByteStrides(out, outStrides);
    const uint32_t indexRank = out->ndim + 1 - data->ndim;  // 0 for a scalar index, else the indices' rank

    // Output offset of each index position.
    std::vector<int64_t> indexDst;
    indexDst.reserve(index.size());
    const int64_t* idxStrides[1] = {outStrides + axis};
    corvus::dm::ForEachPosition<1>(indices->shape.dimension, indexRank, idxStrides,
                                   [&](const int64_t(&off)[1]) { indexDst.push_back(off[0]); });

    const uint32_t innerRank = data->ndim - axis - 1;
    const uint32_t* innerShape = data->shape.dimension + axis + 1;
    const int64_t* innerSrc = dataStrides + axis + 1;
    const int64_t* innerDst = outStrides + axis + indexRank;
    const bool dense = corvus::dm::IsDenseFrom(data, axis + 1) && corvus::dm::IsDenseFrom(out, axis + indexRank);
    size_t innerBytes = esize;
    for (uint32_t d = 0; d < innerRank; ++d) innerBytes *= innerShape[d];
    if (innerBytes == 0) return;

    const uint8_t* src = (const uint8_t*)data->data;
    uint8_t* dst = (uint8_t*)out->data;
    const int64_t axisStride = dataStrides[axis];
    const int64_t* outer[2] = {outStrides, dataStrides};
    corvus::dm::ForEachPosition<2>(data->shape.dimension, axis, outer, [&](const int64_t(&off)[2]) {
        for (size_t k = 0; k < index.size(); ++k) {
            uint8_t* d = dst + off[0] + indexDst[k];
            const uint8_t* s = src + off[1] + (int64_t)index[k] * axisStride;
            if (dense)
                memcpy(d, s, innerBytes);
            else
                corvus::dm::StridedCopy(d, innerDst, s, innerSrc, innerShape, innerRank, esize);
        }
    });
}

template <class T> void GatherElementsTyped(Tensor* out, const Tensor* data, const Tensor* indices, uint32_t axis)
{
    int64_t outStrides[MAX_NDIM_VALUE], idxStrides[MAX_NDIM_VALUE], dataStrides[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d < out->ndim; ++d) {
        outStrides[d] = out->stride.dimension[d];
        idxStrides[d] = indices->stride.dimension[d];
        // The axis coordinate comes from the index, not from the walk.
        dataStrides[d] = d == axis ? 0 : data->stride.dimension[d];
    }
    const int64_t* strides[3] = {outStrides, idxStrides, dataStrides};
    T* o = (T*)out->data;
    const int32_t* ix = (const int32_t*)indices->data;
    const T* x = (const T*)data->data;
    const int64_t axisStride = data->stride.dimension[axis];
    corvus::dm::ForEachPosition<3>(out->shape.dimension, out->ndim, strides, [&](const int64_t(&off)[3]) {
        o[off[0]] = x[off[2] + (int64_t)ix[off[1]] * axisStride];
    });
}

// out[i...] = data[i... with coordinate `axis` replaced by indices[i...]].
void GatherElementsLoop(Tensor* out, const Tensor* data, const Tensor* indices, uint32_t axis)
{
    switch (DataTypeSize((DataType)data->dtype)) {
    case 1:
        GatherElementsTyped<uint8_t>(out, data, indices, axis);
        break;
    case 2:
        GatherElementsTyped<uint16_t>(out, data, indices, axis);
        break;
    case 4:
        GatherElementsTyped<uint32_t>(out, data, indices, axis);
        break;
    default:
        CV_FATAL("GatherElements_ref: unsupported element size of data type %d", (int)data->dtype);
    }
}

void AreIndicesCorrect(const Tensor* indices, uint32_t extent)
{
    const int32_t* ix = (const int32_t*)indices->data;
    for (int64_t off : ElementOffsets(indices)) {
        const int32_t v = ix[off];
        if (v < 0 || (uint32_t)v >= extent)
            CV_FATAL("%s: Indices index=%d out of input dimension[axis]=%d range", "AreIndicesCorrect", (int)v,
                     (int)extent);
    }
}

}  // namespace

extern "C" {

void Gather_ref(Tensor* out, const Tensor* data, Tensor* indices, uint32_t axis)
{
    static const char* const fn = "Gather_ref";
    CheckTensorData(data, fn, "data");
    CheckTensorData(indices, fn, "indices");
    CheckTensorData(out, fn, "output");
    if (indices->dtype != DT_INT32) CV_FATAL("%s: Indices tensor data type is not INT", fn);
    if (data->dtype != out->dtype) CV_FATAL("%s: Input tensor data type and output tensor data type are not equal", fn);
    if (axis >= data->ndim) CV_FATAL("%s: axis %u is outside the data's %u dimensions", fn, axis, data->ndim);

    // The output's shape follows from the operands: data dimensions before
    // the axis, the indices' dimensions, data dimensions after the axis.
    const uint32_t outRank = data->ndim + indices->ndim - 1;
    uint32_t expected[MAX_NDIM_VALUE];
    uint32_t n = 0;
    if (outRank <= MAX_NDIM_VALUE) {
        for (uint32_t d = 0; d < axis; ++d) expected[n++] = data->shape.dimension[d];
        for (uint32_t d = 0; d < indices->ndim; ++d) expected[n++] = indices->shape.dimension[d];
        for (uint32_t d = axis + 1; d < data->ndim; ++d) expected[n++] = data->shape.dimension[d];
    }
    if (outRank > MAX_NDIM_VALUE || out->ndim != outRank ||
        memcmp(expected, out->shape.dimension, n * sizeof(uint32_t)) != 0)
        CV_FATAL("%s: output shape %s does not fit data shape %s, indices shape %s and axis %u", fn,
                 ShapeText(out).c_str(), ShapeText(data).c_str(), ShapeText(indices).c_str(), axis);

    // Negative indices count from the end; the normalised values are
    // written back so later readers see them.
    const int32_t extent = (int32_t)data->shape.dimension[axis];
    int32_t* ix = (int32_t*)indices->data;
    std::vector<int32_t> index;
    const std::vector<int64_t> offsets = ElementOffsets(indices);
    index.reserve(offsets.size());
    for (int64_t off : offsets) {
        int32_t v = ix[off];
        if (v < 0) v = (int32_t)((int64_t)v + extent);
        if (v < 0 || v >= extent)
            CV_FATAL("Function Gather: Index %d is out of tensor shape (%d) in specified axis", (int)ix[off],
                     (int)extent);
        ix[off] = v;
        index.push_back(v);
    }
    GatherCycle(out, data, index, indices, axis);
}

void GatherElements_ref(Tensor* out, const Tensor* data, const Tensor* indices, int32_t axis)
{
    static const char* const fn = "GatherElements_ref";
    CheckTensorData(data, fn, "data");
    CheckTensorData(indices, fn, "indices");
    CheckTensorData(out, fn, "output");
    if (data->dtype != out->dtype) CV_FATAL("%s: Input tensor data type and output tensor data type are not equal", fn);
    if (data->ndim != indices->ndim) CV_FATAL("%s: Input and indices tensors haveunequal dimensions", fn);
    if (indices->dtype != DT_INT32) CV_FATAL("%s: Indices tensor data type is not INT", fn);
    const int32_t rank = (int32_t)data->ndim;
    const int32_t a = axis < 0 ? axis + rank : axis;
    if (a < 0 || a >= rank) CV_FATAL("%s:Axis = %d | Ndim = %d |Axis out of range", fn, (int)axis, (int)rank);
    if (out->ndim != indices->ndim ||
        memcmp(out->shape.dimension, indices->shape.dimension, out->ndim * sizeof(uint32_t)) != 0)
        CV_FATAL("%s: output shape %s differs from indices shape %s", fn, ShapeText(out).c_str(),
                 ShapeText(indices).c_str());
    for (int32_t d = 0; d < rank; ++d)
        if (d != a && indices->shape.dimension[d] > data->shape.dimension[d])
            CV_FATAL("%s: indices shape %s exceeds data shape %s outside axis %d", fn, ShapeText(indices).c_str(),
                     ShapeText(data).c_str(), (int)a);
    AreIndicesCorrect(indices, data->shape.dimension[a]);
    GatherElementsLoop(out, data, indices, (uint32_t)a);
}

void Execute_Gather_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Gather: kernel pointer is null");
    CheckKernelTensors(kernel, 2, 1, "Execute_Gather_ref");
    if (kernel->params == nullptr) CV_FATAL("Execute_Gather_ref: params is null");
    Gather_ref(kernel->output[0], kernel->input[0], kernel->input[1], ((const GatherParams*)kernel->params)->axis);
}

void Execute_GatherElements_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 2, 1, "Execute_GatherElements_ref");
    if (kernel->params == nullptr) CV_FATAL("Execute_GatherElements_ref: params is null");
    GatherElements_ref(kernel->output[0], kernel->input[0], kernel->input[1],
                       ((const GatherElementsParams*)kernel->params)->axis);
}

extern "C" const NNKernelFn nn_kernel_fn_Gather_ref = {Execute_Gather_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_GatherElements_ref = {Execute_GatherElements_ref, nullptr, nullptr, nullptr};

}  // extern "C"
