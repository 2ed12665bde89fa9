// Layout and type conversion of four-dimensional tensors, and channel
// expansion.
#define CORVUS_MODULE "Convert_ref"
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

namespace {

// Output dimension i is input dimension axes[i].
const uint32_t kNhwcToNchw[4] = {0, 3, 1, 2};
const uint32_t kNchwToNhwc[4] = {0, 2, 3, 1};

// Zeroes channels [from, C) of every pixel of an NHWC tensor.
void ZeroTrailingChannels(Tensor* t, uint32_t from)
{
    const uint32_t* s = t->shape.dimension;
    if (from >= s[3]) return;
    const size_t esize = DataTypeSize((DataType)t->dtype);
    const uint32_t* st = t->stride.dimension;
    uint8_t* base = (uint8_t*)t->data;
    for (uint32_t n = 0; n < s[0]; ++n)
        for (uint32_t h = 0; h < s[1]; ++h)
            for (uint32_t w = 0; w < s[2]; ++w) {
                uint8_t* pixel = base + ((size_t)n * st[0] + (size_t)h * st[1] + (size_t)w * st[2]) * esize;
                if (st[3] == 1) {
                    memset(pixel + (size_t)from * esize, 0, (size_t)(s[3] - from) * esize);
                    continue;
                }
                for (uint32_t c = from; c < s[3]; ++c) memset(pixel + (size_t)c * st[3] * esize, 0, esize);
            }
}

}  // namespace

extern "C" {

void Permute(Tensor* out, const Tensor* in)
{
    CheckTensorData(in, "Permute", "input");
    CheckTensorData(out, "Permute", "output");
    if (in->dtype != out->dtype) CV_FATAL("Permute: input and output data types differ");
    if (in->ndim != 4 || out->ndim != 4) CV_FATAL("Permute: input and output must be four-dimensional");
    const uint32_t* axes = nullptr;
    if (in->layout == DL_NHWC && out->layout == DL_NCHW)
        axes = kNhwcToNchw;
    else if (in->layout == DL_NCHW && out->layout == DL_NHWC)
        axes = kNchwToNhwc;
    else
        CV_FATAL("Permute: converts only between DL_NHWC and DL_NCHW");
    const int64_t esize = DataTypeSize((DataType)in->dtype);
    int64_t src[4], dst[4];
    corvus::dm::ByteStrides(out, dst);
    for (uint32_t i = 0; i < 4; ++i) {
        if (out->shape.dimension[i] != in->shape.dimension[axes[i]])
            CV_FATAL("Permute: output shape %s does not match input shape %s", ShapeText(out).c_str(),
                     ShapeText(in).c_str());
        src[i] = (int64_t)in->stride.dimension[axes[i]] * esize;
    }
    corvus::dm::StridedCopy(out->data, dst, in->data, src, out->shape.dimension, 4, (uint32_t)esize);
}

void Execute_Convert_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 1, 1, "Execute_Convert_ref");
    const Tensor* I = kernel->input[0];
    Tensor* O = kernel->output[0];
    if (I->layout == O->layout) {
        if (I->dtype == O->dtype)
            CopyTensorData(I, O);
        else
            TensorDataConvert(O, I);
        return;
    }
    if (I->dtype == O->dtype) {
        Permute(O, I);
        return;
    }
    if (O->dtype == DT_FLOAT16 && I->dtype == DT_FLOAT32) {
        Tensor* temp = CreateTensorWithStrides(DT_FLOAT32, (DataLayout)O->layout, O->ndim, O->shape, O->stride, true);
        Permute(temp, I);
        TensorDataConvert(O, temp);
        DestroyTensor(temp);
        return;
    }
    if (I->dtype == DT_FLOAT16 && O->dtype == DT_FLOAT32) {
        Tensor* temp = CreateTensor(DT_FLOAT32, (DataLayout)I->layout, I->ndim, I->shape, true);
        TensorDataConvert(temp, I);
        Permute(O, temp);
        DestroyTensor(temp);
        return;
    }
    CV_FATAL("Unhandled error\n");
}

void Execute_ExpandChannels_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 1, 1, "Execute_ExpandChannels_ref");
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    if (in->ndim != 4 || out->ndim != 4)
        CV_FATAL("Execute_ExpandChannels_ref: input and output must be four-dimensional");
    for (uint32_t d = 0; d < 4; ++d)
        if (d < 3 ? in->shape.dimension[d] != out->shape.dimension[d]
                  : in->shape.dimension[d] > out->shape.dimension[d])
            CV_FATAL("Execute_ExpandChannels_ref: output shape %s cannot hold input shape %s", ShapeText(out).c_str(),
                     ShapeText(in).c_str());
    CopyTensorData(in, out);
    // The added channels are defined (zero): the memory may hold another
    // layer's data, and consumers that read the padded channels need zeros.
    ZeroTrailingChannels(out, in->shape.dimension[3]);
}

extern "C" const NNKernelFn nn_kernel_fn_Convert_ref = {Execute_Convert_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_ExpandChannels_ref = {Execute_ExpandChannels_ref, nullptr, nullptr, nullptr};

}  // extern "C"
