// Checks shared by execute and work functions of several kernels. Included
// after Report.h, so the reports carry the including kernel's module name
// (the helpers have internal linkage in every source that uses them).
#ifndef CORVUS_KERNELS_REF_KERNELCHECKS_H
#define CORVUS_KERNELS_REF_KERNELCHECKS_H

#include "Layers.h"
#include "Report.h"
#include "Tensor.h"

namespace {

// The kernel record carries at least `inputs` inputs and `outputs` outputs,
// none of them null.
inline void CheckKernelTensors(const NNKernel* kernel, uint32_t inputs, uint32_t outputs, const char* fn)
{
    if (kernel->inputsNum < inputs || (inputs > 0 && kernel->input == nullptr))
        CV_FATAL("%s: the kernel has %u inputs, %u are needed", fn, kernel->inputsNum, inputs);
    if (kernel->outputsNum < outputs || (outputs > 0 && kernel->output == nullptr))
        CV_FATAL("%s: the kernel has %u outputs, %u are needed", fn, kernel->outputsNum, outputs);
    for (uint32_t i = 0; i < inputs; ++i)
        if (kernel->input[i] == nullptr) CV_FATAL("%s: input %u is null", fn, i);
    for (uint32_t i = 0; i < outputs; ++i)
        if (kernel->output[i] == nullptr) CV_FATAL("%s: output %u is null", fn, i);
}

// A tensor that is read or written holds data and at most six dimensions.
inline void CheckTensorData(const Tensor* t, const char* fn, const char* what)
{
    if (t == nullptr) CV_FATAL("%s: %s tensor is null", fn, what);
    if (t->ndim > MAX_NDIM_VALUE) CV_FATAL("%s: %s tensor has %u dimensions", fn, what, t->ndim);
    if (t->data == nullptr) CV_FATAL("%s: %s tensor data is null", fn, what);
}

// The operands of a PRelu kernel, checked: output, input and slopes present
// and of one floating type.
struct PReluOperands {
    Tensor* out;
    const Tensor* in;
    const Tensor* slopes;
};
inline PReluOperands CheckPReluKernel(NNKernel* kernel, const char* kName)
{
    CV_CHECK_KERNEL(kernel, "%s error: kernel is null", kName);
    PReluOperands ops = {kernel->outputsNum > 0 ? kernel->output[0] : nullptr,
                         kernel->inputsNum > 0 ? kernel->input[0] : nullptr,
                         kernel->innerNum > 0 ? kernel->inner[0] : nullptr};
    if (ops.out == nullptr) CV_FATAL("%s error: out is NULL", kName);
    if (ops.in == nullptr) CV_FATAL("%s error: in1 is NULL", kName);
    if (ops.slopes == nullptr) CV_FATAL("%s error: in2 is NULL", kName);
    if (ops.in->dtype != ops.out->dtype || ops.slopes->dtype != ops.out->dtype)
        CV_FATAL("%s error: input and output types is not equal", kName);
    if (ops.out->dtype != DT_FLOAT32 && ops.out->dtype != DT_FLOAT16)
        CV_FATAL("%s error: output type is not in (float32, float16)", kName);
    return ops;
}

}  // namespace

#endif
