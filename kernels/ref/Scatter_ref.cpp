// ScatterND: the data with the slices addressed by index tuples replaced
// by, or combined with, the updates.
#define CORVUS_MODULE "Scatter_ref"
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

namespace {

// Integer sums and products wrap like the machine's arithmetic; computed
// unsigned so that overflow is defined.
template <class T> struct Arith {
    static T Add(T a, T b) { return a + b; }
    static T Mul(T a, T b) { return a * b; }
};
template <> struct Arith<int32_t> {
    static int32_t Add(int32_t a, int32_t b) { return (int32_t)((uint32_t)a + (uint32_t)b); }
    static int32_t Mul(int32_t a, int32_t b) { return (int32_t)((uint32_t)a * (uint32_t)b); }
};
template <> struct Arith<int8_t> {
    static int8_t Add(int8_t a, int8_t b) { return (int8_t)(uint8_t)((uint32_t)a + (uint32_t)b); }
    static int8_t Mul(int8_t a, int8_t b) { return (int8_t)(uint8_t)((uint32_t)a * (uint32_t)b); }
};
template <> struct Arith<uint8_t> {
    static uint8_t Add(uint8_t a, uint8_t b) { return (uint8_t)(a + b); }
    static uint8_t Mul(uint8_t a, uint8_t b) { return (uint8_t)((uint32_t)a * b); }
};

struct Replace {
    template <class T> static T Apply(T, T u) { return u; }
};
struct Sum {
    template <class T> static T Apply(T o, T u) { return Arith<T>::Add(o, u); }
};
struct Product {
    template <class T> static T Apply(T o, T u) { return Arith<T>::Mul(o, u); }
};
struct Maximum {
    template <class T> static T Apply(T o, T u) { return u > o ? u : o; }
};
struct Minimum {
    template <class T> static T Apply(T o, T u) { return u < o ? u : o; }
};

// One index tuple per position of the indices' leading dimensions: its
// element offset in the output and the offset of its updates slice.
struct Target {
    int64_t out;
    int64_t upd;
};

std::vector<Target> Targets(const Tensor* out, const Tensor* indices, const Tensor* updates)
{
    const uint32_t q = indices->ndim;
    const uint32_t k = indices->shape.dimension[q - 1];
    int64_t idxStrides[MAX_NDIM_VALUE], updStrides[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d + 1 < q; ++d) {
        idxStrides[d] = indices->stride.dimension[d];
        updStrides[d] = updates->stride.dimension[d];
    }
    const int64_t* strides[2] = {idxStrides, updStrides};
    const int32_t* ix = (const int32_t*)indices->data;
    const int64_t step = indices->stride.dimension[q - 1];
    std::vector<Target> targets;
    corvus::dm::ForEachPosition<2>(indices->shape.dimension, q - 1, strides, [&](const int64_t(&off)[2]) {
        int64_t o = 0;
        for (uint32_t j = 0; j < k; ++j) {
            const int64_t extent = out->shape.dimension[j];
            int64_t v = ix[off[0] + (int64_t)j * step];
            if (v < 0) v += extent;  // negative indices count from the end
            if (v < 0 || v >= extent)
                CV_FATAL("Function ScatterND: Index %d is out of tensor shape (%d) in dimension %u",
                         (int)ix[off[0] + (int64_t)j * step], (int)extent, j);
            o += v * out->stride.dimension[j];
        }
        targets.push_back({o, off[1]});
    });
    return targets;
}

template <class T, class Op>
void ScatterTyped(Tensor* out, const Tensor* updates, const std::vector<Target>& targets, uint32_t k, uint32_t q)
{
    T* o = (T*)out->data;
    const T* u = (const T*)updates->data;
    const uint32_t sliceRank = out->ndim - k;
    int64_t outStrides[MAX_NDIM_VALUE], updStrides[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d < sliceRank; ++d) {
        outStrides[d] = out->stride.dimension[k + d];
        updStrides[d] = updates->stride.dimension[q - 1 + d];
    }
    const int64_t* strides[2] = {outStrides, updStrides};
    // In tuple order, so repeated tuples combine (or overwrite) in turn.
    for (const Target& t : targets) {
        T* ot = o + t.out;
        const T* ut = u + t.upd;
        corvus::dm::ForEachPosition<2>(out->shape.dimension + k, sliceRank, strides,
                                       [&](const int64_t(&off)[2]) { ot[off[0]] = Op::Apply(ot[off[0]], ut[off[1]]); });
    }
}

template <class T>
void ScatterReduce(Tensor* out, const Tensor* updates, const std::vector<Target>& targets, uint32_t k, uint32_t q,
                   uint32_t reduction)
{
    switch (reduction) {
    case SCATTER_REDUCTION_NONE:
        ScatterTyped<T, Replace>(out, updates, targets, k, q);
        break;
    case SCATTER_REDUCTION_ADD:
        ScatterTyped<T, Sum>(out, updates, targets, k, q);
        break;
    case SCATTER_REDUCTION_MUL:
        ScatterTyped<T, Product>(out, updates, targets, k, q);
        break;
    case SCATTER_REDUCTION_MAX:
        ScatterTyped<T, Maximum>(out, updates, targets, k, q);
        break;
    default:
        ScatterTyped<T, Minimum>(out, updates, targets, k, q);
        break;
    }
}

// Copies between two tensors of one element type and shape, any strides.
void CopyElements(Tensor* dst, const Tensor* src)
{
    int64_t ds[MAX_NDIM_VALUE], ss[MAX_NDIM_VALUE];
    corvus::dm::ByteStrides(dst, ds);
    corvus::dm::ByteStrides(src, ss);
    corvus::dm::StridedCopy(dst->data, ds, src->data, ss, src->shape.dimension, src->ndim,
                            DataTypeSize((DataType)src->dtype));
}

// Dense float32 copy of a float16 tensor of any rank and strides.
Tensor* WidenHalf(const Tensor* t)
{
    Tensor* dense = CreateTensor(DT_FLOAT16, DL_NONE, t->ndim, t->shape, true);
    CopyElements(dense, t);
    Tensor* wide = CreateTensor(DT_FLOAT32, DL_NONE, t->ndim, t->shape, true);
    TensorDataConvert(wide, dense);
    DestroyTensor(dense);
    return wide;
}

// Rounds a dense float32 tensor into a float16 tensor of any strides.
void NarrowInto(Tensor* out, const Tensor* wide)
{
    Tensor* dense = CreateTensor(DT_FLOAT16, DL_NONE, wide->ndim, wide->shape, true);
    TensorDataConvert(dense, wide);
    CopyElements(out, dense);
    DestroyTensor(dense);
}

}  // namespace

extern "C" {

void Scatter_ref(Tensor* out, const Tensor* data, const Tensor* indices, const Tensor* updates, uint32_t reduction)
{
    static const char* const fn = "Scatter_ref";
    CheckTensorData(data, fn, "data");
    CheckTensorData(indices, fn, "indices");
    CheckTensorData(updates, fn, "updates");
    CheckTensorData(out, fn, "output");
    if (indices->dtype != DT_INT32) CV_FATAL("%s: Indices tensor data type is not INT", fn);
    if (out->dtype != data->dtype) CV_FATAL("%s: Input tensor data type and output tensor data type are not equal", fn);
    if (updates->dtype != data->dtype)
        CV_FATAL("%s: Input tensor data type and updates tensor data type are not equal", fn);
    if (reduction > SCATTER_REDUCTION_MIN) CV_FATAL("%s: unknown reduction %u", fn, reduction);

    // Shapes: output as data; updates = indices.shape[:-1] + data.shape[k:].
    const uint32_t r = data->ndim, q = indices->ndim;
    if (out->ndim != r || memcmp(out->shape.dimension, data->shape.dimension, r * sizeof(uint32_t)) != 0)
        CV_FATAL("%s: output shape %s differs from data shape %s", fn, ShapeText(out).c_str(), ShapeText(data).c_str());
    if (q == 0) CV_FATAL("%s: indices tensor must have at least one dimension", fn);
    const uint32_t k = indices->shape.dimension[q - 1];
    if (k > r) CV_FATAL("%s: indices.shape[-1] (%u) is greater than the data rank (%u)", fn, k, r);
    uint32_t expected[2 * MAX_NDIM_VALUE];
    uint32_t n = 0;
    for (uint32_t d = 0; d + 1 < q; ++d) expected[n++] = indices->shape.dimension[d];
    for (uint32_t d = k; d < r; ++d) expected[n++] = data->shape.dimension[d];
    if (updates->ndim != n || memcmp(expected, updates->shape.dimension, n * sizeof(uint32_t)) != 0)
        CV_FATAL("%s: updates shape %s must be %s", fn, ShapeText(updates).c_str(), ShapeText(expected, n).c_str());

    // The output starts as a copy of the data.
    if (out->data != data->data) CopyElements(out, data);
    if (GetTensorSize(out) == 0) return;
    const std::vector<Target> targets = Targets(out, indices, updates);

    switch ((DataType)data->dtype) {
    case DT_FLOAT32:
        ScatterReduce<float>(out, updates, targets, k, q, reduction);
        break;
    case DT_INT32:
        ScatterReduce<int32_t>(out, updates, targets, k, q, reduction);
        break;
    case DT_UINT32:
        ScatterReduce<uint32_t>(out, updates, targets, k, q, reduction);
        break;
    case DT_UINT8:
        ScatterReduce<uint8_t>(out, updates, targets, k, q, reduction);
        break;
    case DT_INT8:
        ScatterReduce<int8_t>(out, updates, targets, k, q, reduction);
        break;
    case DT_FLOAT16: {
        if (reduction == SCATTER_REDUCTION_NONE) {
            ScatterTyped<uint16_t, Replace>(out, updates, targets, k, q);
            break;
        }
        // Combined in float32 and rounded back once per element.
        Tensor* outF = WidenHalf(out);
        Tensor* updF = WidenHalf(updates);
        const std::vector<Target> denseTargets = Targets(outF, indices, updF);
        ScatterReduce<float>(outF, updF, denseTargets, k, q, reduction);
        NarrowInto(out, outF);
        DestroyTensor(outF);
        DestroyTensor(updF);
        break;
    }
    default:
        CV_FATAL("%s: unsupported data type %d", fn, (int)data->dtype);
    }
}

void Execute_Scatter_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function ScatterND: kernel pointer is null");
    CheckKernelTensors(kernel, 3, 1, "Execute_Scatter_ref");
    if (kernel->params == nullptr) CV_FATAL("Execute_Scatter_ref: params is null");
    Scatter_ref(kernel->output[0], kernel->input[0], kernel->input[1], kernel->input[2],
                ((const ScatterParams*)kernel->params)->reduction);
}

extern "C" const NNKernelFn nn_kernel_fn_ScatterND_ref = {Execute_Scatter_ref, nullptr, nullptr, nullptr};

}  // extern "C"
