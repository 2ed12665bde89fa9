// Concatenation: one pass of block copies when every tensor is dense,
// otherwise each input copied into its window of the output.
#define CORVUS_MODULE "Concatenate_opt"
#include <cstring>
#include <vector>

#include "LayersDataMovement.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "opt/OptInternal.h"

namespace {

// dense: the tensors must also be stored without holes (the one-pass path).
const char* CheckConcat(const Tensor* out, Tensor** in, uint32_t count, uint32_t axis, bool dense, bool execute)
{
    if (out == nullptr) return "out is NULL";
    if (dense && !IsSerialData(out)) return "!IsSerialData(out)";
    if (out->ndim > MAX_NDIM_VALUE) return "out->ndim > MAX_NDIM_VALUE";
    if (axis >= out->ndim) return "axis >= out->ndim";
    if (count > 0 && in == nullptr) return "inputs are NULL";
    uint64_t sum = 0;
    for (uint32_t n = 0; n < count; ++n) {
        const Tensor* t = in[n];
        if (t == nullptr) return "in[n] is NULL";
        if (out->ndim != t->ndim) return "out->ndim != in[n]->ndim";
        if (out->dtype != t->dtype) return "out->dtype != in[n]->dtype";
        if (dense && !IsSerialData(t)) return "in[n] with holes not supported";
        for (uint32_t d = 0; d < out->ndim; ++d)
            if (d != axis && out->shape.dimension[d] != t->shape.dimension[d]) return "out->shape[d] != in->shape[d]";
        sum += t->shape.dimension[axis];
        if (execute && GetTensorSize(t) != 0 && t->data == nullptr) return "in[n]->data is NULL";
    }
    if (out->shape.dimension[axis] != sum) return "out->shape[axis] != sum(in[n]->shape[axis])";
    if (execute && GetTensorSize(out) != 0 && out->data == nullptr) return "out->data is NULL";
    return nullptr;
}

// For every position outside the axis, one contiguous block per input, in
// input order, fills the output row; the output is written front to back.
void Concat_mmFor(Tensor* out, Tensor** in, uint32_t count, uint32_t axis)
{
    const uint32_t es = DataTypeSize((DataType)out->dtype);
    uint64_t outer = 1, inner = es;
    for (uint32_t d = 0; d < axis; ++d) outer *= out->shape.dimension[d];
    for (uint32_t d = axis + 1; d < out->ndim; ++d) inner *= out->shape.dimension[d];
    if (outer == 0 || inner == 0) return;
    std::vector<const uint8_t*> src(count);
    std::vector<uint64_t> bytes(count);
    for (uint32_t n = 0; n < count; ++n) {
        src[n] = (const uint8_t*)in[n]->data;
        bytes[n] = in[n]->shape.dimension[axis] * inner;
    }
    uint8_t* dst = (uint8_t*)out->data;
    for (uint64_t r = 0; r < outer; ++r)
        for (uint32_t n = 0; n < count; ++n) {
            if (bytes[n] == 0) continue;
            memcpy(dst, src[n] + r * bytes[n], bytes[n]);
            dst += bytes[n];
        }
}

// Each input lands in the output view with its own extents that starts at
// the running offset along the axis.
void ConcatViews(Tensor* out, Tensor** in, uint32_t count, uint32_t axis)
{
    const char* reason = CheckConcat(out, in, count, axis, false, true);
    if (reason != nullptr) CV_FATAL("Execute_Concatenate_opt error: %s", reason);
    const uint32_t es = DataTypeSize((DataType)out->dtype);
    uint64_t offset = 0;  // elements
    for (uint32_t n = 0; n < count; ++n) {
        Tensor view = *out;
        view.allocatedData = false;
        view.shape = in[n]->shape;
        view.data = (uint8_t*)out->data + offset * es;
        if (GetTensorSize(in[n]) != 0) corvus_opt::CopyView(&view, in[n], "Execute_Concatenate_opt");
        offset += (uint64_t)in[n]->shape.dimension[axis] * out->stride.dimension[axis];
    }
}

}  // namespace

extern "C" {

const char* Concat_noHoles(int32_t mode, uint32_t cores, Tensor* out, Tensor** inputs, uint32_t count, uint32_t axis)
{
    (void)cores;  // one core: the whole concatenation runs here
    const char* reason = CheckConcat(out, inputs, count, axis, true, mode >= 0);
    if (reason != nullptr || mode < 0) return reason;
    Concat_mmFor(out, inputs, count, axis);
    return nullptr;
}

void Init_Concatenate_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Execute_Concatenate_opt error: kernel is null");
    uint64_t bytes = 0;
    for (uint32_t n = 0; n < kernel->inputsNum; ++n) bytes += corvus_opt::TwiceBytes(kernel->input[n]);
    corvus_opt::SetKernelBytes(kernel, bytes);
}

void Execute_Concatenate_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Execute_Concatenate_opt error: kernel is null");
    if (kernel->params == nullptr) CV_FATAL("Execute_Concatenate_opt error: params is NULL");
    if (kernel->outputsNum < 1) CV_FATAL("Execute_Concatenate_opt error: the kernel has no output");
    const uint32_t axis = ((const MergeParams*)kernel->params)->axis;
    Tensor* out = kernel->output[0];
    if (Concat_noHoles(0, 1, out, kernel->input, kernel->inputsNum, axis) == nullptr) return;
    ConcatViews(out, kernel->input, kernel->inputsNum, axis);
}

extern "C" const NNKernelFn nn_kernel_fn_Concatenate_opt = {Execute_Concatenate_opt, Init_Concatenate_opt, nullptr,
                                                            nullptr};

}  // extern "C"
