// Flatten and reshape: copies that keep the stored element order.
#define CORVUS_MODULE "Reshape_ref"
#include <cstring>

#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

extern "C" {

void Flatten_ref(Tensor* out, const Tensor* in)
{
    CheckTensorData(in, "Flatten_ref", "input");
    CheckTensorData(out, "Flatten_ref", "output");
    const Tensor* indata = in;
    CV_CHECK(indata->ndim == 4);
    if (out->dtype != in->dtype) CV_FATAL("Flatten_ref: input and output data types differ");
    const uint32_t* s = in->shape.dimension;
    const uint64_t row = (uint64_t)s[1] * s[2] * s[3];
    if (out->ndim != 2 || out->shape.dimension[0] != s[0] || out->shape.dimension[1] != row)
        CV_FATAL("Flatten_ref: output shape %s does not hold input shape %s", ShapeText(out).c_str(),
                 ShapeText(in).c_str());
    // The output row of each batch item seen as (H, W, C), filled densely.
    const int64_t esize = DataTypeSize((DataType)out->dtype);
    const int64_t col = (int64_t)out->stride.dimension[1] * esize;
    const int64_t dst[4] = {(int64_t)out->stride.dimension[0] * esize, (int64_t)s[2] * s[3] * col, (int64_t)s[3] * col,
                            col};
    int64_t src[4];
    corvus::dm::ByteStrides(in, src);
    corvus::dm::StridedCopy(out->data, dst, in->data, src, s, 4, (uint32_t)esize);
}

void Reshape_ref(Tensor* out, const Tensor* in)
{
    const Tensor* indata = in;
    const Tensor* outdata = out;
    if (indata == nullptr || outdata == nullptr) CV_FATAL("Reshape_ref: tensor is null");
    if (indata->ndim > MAX_NDIM_VALUE || outdata->ndim > MAX_NDIM_VALUE)
        CV_FATAL("Reshape_ref: tensors of more than %d dimensions", MAX_NDIM_VALUE);
    if (indata->ndim > 1)
        CV_CHECK(indata->stride.dimension[indata->ndim - 2] == indata->shape.dimension[indata->ndim - 1]);
    if (outdata->ndim > 1)
        CV_CHECK(outdata->stride.dimension[outdata->ndim - 2] == outdata->shape.dimension[outdata->ndim - 1]);
    // The input's whole storage moves byte for byte.
    const uint64_t bytes = (uint64_t)GetTensorDataSize(indata) * DataTypeSize((DataType)indata->dtype);
    const uint64_t room = (uint64_t)GetTensorDataSize(outdata) * DataTypeSize((DataType)outdata->dtype);
    if (bytes > room)
        CV_FATAL("Reshape_ref: input storage of %llu bytes does not fit the output's %llu bytes",
                 (unsigned long long)bytes, (unsigned long long)room);
    if (bytes == 0) return;
    if (indata->data == nullptr || outdata->data == nullptr) CV_FATAL("Reshape_ref: tensor data is null");
    memmove(outdata->data, indata->data, (size_t)bytes);
}

void Execute_Flatten_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 1, 1, "Execute_Flatten_ref");
    Flatten_ref(kernel->output[0], kernel->input[0]);
}

void Execute_Reshape_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 1, 1, "Execute_Reshape_ref");
    // A reshape turned into a view of its input has nothing to move.
    if (kernel->output[0]->data == kernel->input[0]->data) return;
    Reshape_ref(kernel->output[0], kernel->input[0]);
}

extern "C" const NNKernelFn nn_kernel_fn_Flatten_ref = {Execute_Flatten_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Reshape_ref = {Execute_Reshape_ref, nullptr, nullptr, nullptr};

}  // extern "C"
