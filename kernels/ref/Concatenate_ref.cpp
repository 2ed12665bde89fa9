// Concatenation and splitting along one axis.
#define CORVUS_MODULE "Concatenate_ref"
#include <cstring>
#include <vector>

#include "LayersDataMovement.h"
#include "Report.h"
#include "TensorOperation.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

namespace {

void CheckConcatOperands(const Tensor* out, Tensor** inputs, uint32_t count, uint32_t axis)
{
    CheckTensorData(out, "Concat_ref", "output");
    if (axis >= out->ndim) CV_FATAL("Concat_ref: axis %u is outside the output's %u dimensions", axis, out->ndim);
    if (count > 0 && inputs == nullptr) CV_FATAL("Concat_ref: inputs are null");
    uint64_t sum = 0;
    for (uint32_t n = 0; n < count; ++n) {
        const Tensor* in = inputs[n];
        CheckTensorData(in, "Concat_ref", "input");
        if (in->ndim != out->ndim || in->dtype != out->dtype)
            CV_FATAL("Concat_ref: input %u must have the output's rank and data type", n);
        for (uint32_t d = 0; d < out->ndim; ++d)
            if (d != axis && in->shape.dimension[d] != out->shape.dimension[d])
                CV_FATAL("Concat_ref: input %u shape %s does not fit output shape %s outside axis %u", n,
                         ShapeText(in).c_str(), ShapeText(out).c_str(), axis);
        sum += in->shape.dimension[axis];
    }
    if (sum != out->shape.dimension[axis])
        CV_FATAL("Concat_ref: the inputs sum to %llu along axis %u, the output has %u", (unsigned long long)sum, axis,
                 out->shape.dimension[axis]);
}

}  // namespace

extern "C" {

void Concat_ref(Tensor* out, Tensor** inputs, uint32_t count, uint32_t axis)
{
    CheckConcatOperands(out, inputs, count, axis);
    if (GetTensorSize(out) == 0) return;
    const uint32_t esize = DataTypeSize((DataType)out->dtype);
    bool dense = corvus::dm::IsDenseFrom(out, axis);
    for (uint32_t n = 0; n < count && dense; ++n) dense = corvus::dm::IsDenseFrom(inputs[n], axis);

    if (!dense) {
        // Strided tensors: each input lands in the output view that starts at
        // its running offset along the axis.
        int64_t dst[MAX_NDIM_VALUE], src[MAX_NDIM_VALUE];
        corvus::dm::ByteStrides(out, dst);
        uint8_t* base = (uint8_t*)out->data;
        for (uint32_t n = 0; n < count; ++n) {
            corvus::dm::ByteStrides(inputs[n], src);
            corvus::dm::StridedCopy(base, dst, inputs[n]->data, src, inputs[n]->shape.dimension, out->ndim, esize);
            base += (int64_t)inputs[n]->shape.dimension[axis] * dst[axis];
        }
        return;
    }

    // Dense from the axis inwards: for every position outside the axis, one
    // contiguous block per input, in input order, fills the output run.
    std::vector<size_t> block(count);
    std::vector<const uint8_t*> src(count);
    for (uint32_t n = 0; n < count; ++n) {
        block[n] = (size_t)inputs[n]->shape.dimension[axis] * inputs[n]->stride.dimension[axis] * esize;
        src[n] = (const uint8_t*)inputs[n]->data;
    }
    uint32_t idx[MAX_NDIM_VALUE] = {};
    std::vector<int64_t> inOff(count, 0);
    int64_t outOff = 0;
    for (;;) {
        uint8_t* dst = (uint8_t*)out->data + outOff;
        for (uint32_t n = 0; n < count; ++n) {
            memcpy(dst, src[n] + inOff[n], block[n]);
            dst += block[n];
        }
        int d = (int)axis - 1;
        for (; d >= 0; --d) {
            outOff += (int64_t)out->stride.dimension[d] * esize;
            for (uint32_t n = 0; n < count; ++n) inOff[n] += (int64_t)inputs[n]->stride.dimension[d] * esize;
            if (++idx[d] < out->shape.dimension[d]) break;
            idx[d] = 0;
            outOff -= (int64_t)out->stride.dimension[d] * esize * out->shape.dimension[d];
            for (uint32_t n = 0; n < count; ++n)
                inOff[n] -= (int64_t)inputs[n]->stride.dimension[d] * esize * out->shape.dimension[d];
        }
        if (d < 0) return;
    }
}

void Execute_Concatenate_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, kernel->inputsNum, 1, "Execute_Concatenate_ref");
    if (kernel->params == nullptr) CV_FATAL("Execute_Concatenate_ref: params is null");
    Concat_ref(kernel->output[0], kernel->input, kernel->inputsNum, ((const MergeParams*)kernel->params)->axis);
}

void Execute_Split_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 1, kernel->outputsNum, "Execute_Split_ref");
    if (kernel->params == nullptr) CV_FATAL("Execute_Split_ref: params is null");
    SplitTensor(kernel->output, kernel->outputsNum, kernel->input[0],
                (int32_t)((const SplitParams*)kernel->params)->axis);
}

extern "C" const NNKernelFn nn_kernel_fn_Concatenate_ref = {Execute_Concatenate_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Split_fl32_ref = {Execute_Split_ref, nullptr, nullptr, nullptr};

}  // extern "C"
