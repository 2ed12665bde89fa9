// Transpose and channel shuffle: permutations of the element order.
#define CORVUS_MODULE "Transpose_ref"
#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

namespace {

// The input read through permuted strides is the output's block.
void TransposeLoop(Tensor* out, const Tensor* in, const uint32_t* axes)
{
    const int64_t esize = DataTypeSize((DataType)in->dtype);
    int64_t src[MAX_NDIM_VALUE], dst[MAX_NDIM_VALUE];
    corvus::dm::ByteStrides(out, dst);
    for (uint32_t i = 0; i < out->ndim; ++i) src[i] = (int64_t)in->stride.dimension[axes[i]] * esize;
    corvus::dm::StridedCopy(out->data, dst, in->data, src, out->shape.dimension, out->ndim, (uint32_t)esize);
}

}  // namespace

extern "C" {

void Transpose_ref(Tensor* out, const Tensor* in, const uint32_t* axes)
{
    CheckTensorData(in, "Transpose_ref", "input");
    CheckTensorData(out, "Transpose_ref", "output");
    if (in->dtype != out->dtype) CV_FATAL("input and output tensorsmust have the same data type");
    if (in->ndim != out->ndim)
        CV_FATAL("input and output tensors must have the same ndim value.\ninput->ndim: %d, output->ndim: %d",
                 (int)in->ndim, (int)out->ndim);
    CV_CHECK_PTR(axes);
    bool seen[MAX_NDIM_VALUE] = {};
    for (uint32_t i = 0; i < out->ndim; ++i) {
        if (axes[i] >= in->ndim || seen[axes[i]])
            CV_FATAL("Transpose_ref: axes %s are not a permutation of %u dimensions",
                     ShapeText(axes, out->ndim).c_str(), in->ndim);
        seen[axes[i]] = true;
        if (out->shape.dimension[i] != in->shape.dimension[axes[i]])
            CV_FATAL("Transpose_ref: output shape %s is not input shape %s permuted by %s", ShapeText(out).c_str(),
                     ShapeText(in).c_str(), ShapeText(axes, out->ndim).c_str());
    }
    TransposeLoop(out, in, axes);
}

void Shuffle_fl32(Tensor* out, const Tensor* in, uint32_t groups)
{
    CheckTensorData(in, "Shuffle_fl32", "input");
    CheckTensorData(out, "Shuffle_fl32", "output");
    if (in->ndim != 4 || out->ndim != 4 || in->dtype != out->dtype)
        CV_FATAL("Shuffle_fl32: input and output must be four-dimensional tensors of one data type");
    for (uint32_t d = 0; d < 4; ++d)
        if (in->shape.dimension[d] != out->shape.dimension[d])
            CV_FATAL("Shuffle_fl32: output shape %s differs from input shape %s", ShapeText(out).c_str(),
                     ShapeText(in).c_str());
    if (groups == 0) CV_FATAL("Shuffle_fl32: groups must be greater than 0");
    const uint32_t channels = in->shape.dimension[3];
    if (groups > channels) return;
    const uint32_t per = channels / groups;
    const int64_t esize = DataTypeSize((DataType)in->dtype);
    int64_t is[4], os[4];
    corvus::dm::ByteStrides(in, is);
    corvus::dm::ByteStrides(out, os);

    // Per pixel the channels form a groups x per matrix that is transposed:
    // output channel j * groups + g takes input channel g * per + j.
    const uint32_t shape[5] = {in->shape.dimension[0], in->shape.dimension[1], in->shape.dimension[2], per, groups};
    const int64_t dst[5] = {os[0], os[1], os[2], (int64_t)groups * os[3], os[3]};
    const int64_t src[5] = {is[0], is[1], is[2], is[3], (int64_t)per * is[3]};
    corvus::dm::StridedCopy(out->data, dst, in->data, src, shape, 5, (uint32_t)esize);

    // Channels beyond groups * per belong to no group and keep their place.
    const uint32_t rest = channels - groups * per;
    if (rest == 0) return;
    const uint32_t restShape[4] = {shape[0], shape[1], shape[2], rest};
    const int64_t skip = (int64_t)groups * per;
    corvus::dm::StridedCopy((uint8_t*)out->data + skip * os[3], os, (const uint8_t*)in->data + skip * is[3], is,
                            restShape, 4, (uint32_t)esize);
}

void Execute_Transpose_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 1, 1, "Execute_Transpose_ref");
    if (kernel->params == nullptr) CV_FATAL("Execute_Transpose_ref: params is null");
    Transpose_ref(kernel->output[0], kernel->input[0], ((const TransposeParams*)kernel->params)->axes);
}

void Execute_Shuffle_fl32_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    NNKernel* self = kernel;
    CheckKernelTensors(self, 1, 1, "Execute_Shuffle_fl32_ref");
    CV_CHECK(self->input[0]->ndim == 4);
    if (self->params == nullptr) CV_FATAL("Execute_Shuffle_fl32_ref: params is null");
    Shuffle_fl32(self->output[0], self->input[0], ((const ShuffleParams*)self->params)->groups);
}

extern "C" const NNKernelFn nn_kernel_fn_Transpose_ref = {Execute_Transpose_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Shuffle_fl32_ref = {Execute_Shuffle_fl32_ref, nullptr, nullptr, nullptr};

}  // extern "C"
