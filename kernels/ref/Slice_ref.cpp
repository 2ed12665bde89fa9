// Slice: a strided, possibly reversed, view of the input copied out.
#define CORVUS_MODULE "Slice_ref"
#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

namespace {

// Output coordinate o of dimension d reads input coordinate
// starts[d] + o * steps[d].
void SliceCycle(Tensor* out, const Tensor* in, const SliceParams* params)
{
    const int64_t esize = DataTypeSize((DataType)in->dtype);
    const uint8_t* src = (const uint8_t*)in->data;
    int64_t srcStrides[MAX_NDIM_VALUE], dstStrides[MAX_NDIM_VALUE];
    corvus::dm::ByteStrides(out, dstStrides);
    int64_t offset = 0;
    for (uint32_t d = 0; d < in->ndim; ++d) {
        const int64_t stride = (int64_t)in->stride.dimension[d] * esize;
        offset += (int64_t)params->starts[d] * stride;
        srcStrides[d] = (int64_t)params->steps[d] * stride;
    }
    corvus::dm::StridedCopy(out->data, dstStrides, src + offset, srcStrides, out->shape.dimension, out->ndim,
                            (uint32_t)esize);
}

}  // namespace

extern "C" {

void Slice_ref(Tensor* out, const Tensor* in, const SliceParams* params)
{
    CheckTensorData(in, "Slice_ref", "input");
    CheckTensorData(out, "Slice_ref", "output");
    if (params == nullptr) CV_FATAL("Slice_ref: params is null");
    if (in->dtype != out->dtype) CV_FATAL("Function Slice: Input tensor data type and output data type are not equal");
    if (in->ndim != out->ndim) CV_FATAL("Slice_ref: input rank %u and output rank %u differ", in->ndim, out->ndim);
    for (uint32_t d = 0; d < in->ndim; ++d)
        if (params->steps[d] == 0) CV_FATAL("Slice_ref: steps[%i] == 0", (int)d);
    if (GetTensorSize(out) == 0) return;
    for (uint32_t d = 0; d < in->ndim; ++d) {
        // Every coordinate the walk reads must lie inside the input.
        const uint32_t n = out->shape.dimension[d];
        const int64_t first = params->starts[d];
        const int64_t last = first + (int64_t)(n - 1) * params->steps[d];
        const int64_t extent = in->shape.dimension[d];
        if (first < 0 || first >= extent || last < 0 || last >= extent)
            CV_FATAL("Slice_ref: dimension %u reads elements %lld to %lld of %lld", d, (long long)first,
                     (long long)last, (long long)extent);
    }
    SliceCycle(out, in, params);
}

void Execute_Slice_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Slice: Kernel pointer is null");
    CheckKernelTensors(kernel, 1, 1, "Execute_Slice_ref");
    // Grouping of sibling slices only matters to the grouped kernel: here
    // every slice writes its own output.
    Slice_ref(kernel->output[0], kernel->input[0], (const SliceParams*)kernel->params);
}

extern "C" const NNKernelFn nn_kernel_fn_Slice_ref = {Execute_Slice_ref, nullptr, nullptr, nullptr};

}  // extern "C"
