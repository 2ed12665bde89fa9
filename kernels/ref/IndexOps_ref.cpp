// Index and shape data: non-zero positions, shapes, ranges, constant fills
// and element type casts.
#define CORVUS_MODULE "IndexOps_ref"
#include <cmath>
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersReduction.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "common/FloatView.h"

namespace {

// Writes the multi-index of every element for which isNonZero(offset) holds
// into the next column of output [rank, columns]; columns beyond those found
// stay zero, and non-zero elements beyond the columns are not written.
template <class Pred> void NonZeroColumns(Tensor* output, const Tensor* input, Pred isNonZero)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    const uint32_t rank = input->ndim;
    if (output->dtype != DT_INT32 || output->ndim != 2 || output->shape.dimension[0] != rank || !IsSerialData(output))
        CV_FATAL("NonZero: output must be dense int32 [%u, columns]", rank);
    const uint64_t columns = output->shape.dimension[1];
    const uint64_t total = (uint64_t)rank * columns;
    if (total == 0) return;
    CV_CHECK_PTR(output->data);
    int32_t* out = (int32_t*)output->data;
    memset(out, 0, total * sizeof(int32_t));
    if (corvus::ElementCount(input) == 0) return;
    CV_CHECK_PTR(input->data);
    uint32_t idx[MAX_NDIM_VALUE] = {};
    uint64_t k = 0;
    corvus::ForEachOffset(input, [&](size_t off) {
        if (k < columns && isNonZero(off)) {
            for (uint32_t d = 0; d < rank; ++d) out[d * columns + k] = (int32_t)idx[d];
            ++k;
        }
        for (int d = (int)rank - 1; d >= 0; --d) {
            if (++idx[d] < input->shape.dimension[d]) break;
            idx[d] = 0;
        }
    });
}

void Execute_NonZero_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function NonZero: Kernel pointer is null");
    CV_CHECK(kernel->inputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    switch (kernel->input[0]->dtype) {
    case DT_FLOAT32:
        NonZero_fl32_ref(kernel->output[0], kernel->input[0]);
        break;
    case DT_FLOAT16:
        NonZero_fl16_ref(kernel->output[0], kernel->input[0]);
        break;
    case DT_INT32:
    case DT_UINT32:
        NonZero_Int32_ref(kernel->output[0], kernel->input[0]);
        break;
    default:
        CV_FATAL("supported data types: F16, F32, INT32, UINT32");
    }
}

void Execute_Shape_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Shape: Kernel pointer is null");
    CV_CHECK(kernel->inputsNum >= 1);
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    CV_CHECK_PTR(in);
    CV_CHECK_PTR(out);
    if (out->dtype != DT_INT32) CV_FATAL("Function Shape: Output data type is not int32");
    if (corvus::ElementCount(out) != in->ndim || !IsSerialData(out))
        CV_FATAL("Function Shape: Output must hold %u dense values", in->ndim);
    if (in->ndim == 0) return;
    CV_CHECK_PTR(out->data);
    int32_t* dims = (int32_t*)out->data;
    for (uint32_t d = 0; d < in->ndim; ++d) dims[d] = (int32_t)in->shape.dimension[d];
}

void Execute_Range_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Range: Kernel pointer is null");
    CV_CHECK(kernel->inputsNum == 3);
    const Tensor* start = kernel->input[0];
    const Tensor* delta = kernel->input[2];
    Tensor* out = kernel->output[0];
    CV_CHECK_PTR(start);
    CV_CHECK_PTR(kernel->input[1]);
    CV_CHECK_PTR(delta);
    CV_CHECK_PTR(out);
    if (start->dtype != kernel->input[1]->dtype || start->dtype != delta->dtype)
        CV_FATAL("Function Range: Inputs data type is not equal");
    if (start->dtype != out->dtype) CV_FATAL("Function Range: Inputs data type and output data type is not equal");
    if (!IsSerialData(out)) CV_FATAL("Function Range: Output must be dense");
    const uint64_t n = corvus::ElementCount(out);
    if (n == 0) return;
    CV_CHECK_PTR(start->data);
    CV_CHECK_PTR(delta->data);
    CV_CHECK_PTR(out->data);
    if (out->dtype == DT_FLOAT32) {
        const float s = *(const float*)start->data, d = *(const float*)delta->data;
        float* y = (float*)out->data;
        for (uint64_t i = 0; i < n; ++i) y[i] = fmaf(d, (float)i, s);
    } else if (out->dtype == DT_INT32) {
        // Wrapping arithmetic, as the machine's: no undefined overflow.
        const uint32_t s = *(const uint32_t*)start->data, d = *(const uint32_t*)delta->data;
        int32_t* y = (int32_t*)out->data;
        for (uint64_t i = 0; i < n; ++i) y[i] = (int32_t)(s + (uint32_t)i * d);
    } else {
        CV_FATAL("Function Range: Unsupported data type %s", DataTypeToStr((DataType)out->dtype));
    }
}

void Execute_ConstantOfShape_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function ConstantOfShape: Kernel pointer is null");
    Tensor* out = kernel->output[0];
    CV_CHECK_PTR(out);
    CV_CHECK_PTR(kernel->params);
    const ConstantOfShapeParams* value = (const ConstantOfShapeParams*)kernel->params;
    const uint8_t size = DataTypeSize((DataType)out->dtype);
    if (size == 0 || size > sizeof(value->bytes)) CV_FATAL("Function ConstantOfShape: Unsupported data type");
    if (corvus::ElementCount(out) == 0) return;
    CV_CHECK_PTR(out->data);
    uint8_t* base = (uint8_t*)out->data;
    const uint8_t* pattern = value->bytes;
    corvus::ForEachOffset(out, [&](size_t off) { memcpy(base + off * size, pattern, size); });
}

void Execute_Cast_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Cast: Kernel pointer is null");
    CV_CHECK(kernel->inputsNum >= 1);
    if (corvus::ElementCount(kernel->output[0]) == 0) return;
    TensorDataConvert(kernel->output[0], kernel->input[0]);
}

}  // namespace

extern "C" {

void NonZero_fl32_ref(Tensor* output, const Tensor* input)
{
    CV_CHECK_PTR(input);
    if (input->dtype != DT_FLOAT32) CV_FATAL("NonZero_fl32_ref: input must be float32");
    const float* x = (const float*)input->data;
    NonZeroColumns(output, input, [x](size_t off) { return x[off] != 0.0f; });
}

void NonZero_fl16_ref(Tensor* output, const Tensor* input)
{
    CV_CHECK_PTR(input);
    if (input->dtype != DT_FLOAT16) CV_FATAL("NonZero_fl16_ref: input must be float16");
    // Compared as half values: both zeros (sign bit only) are zero, NaN is not.
    const uint16_t* x = (const uint16_t*)input->data;
    NonZeroColumns(output, input, [x](size_t off) { return (x[off] & 0x7FFFu) != 0; });
}

void NonZero_Int32_ref(Tensor* output, const Tensor* input)
{
    CV_CHECK_PTR(input);
    if (input->dtype != DT_INT32 && input->dtype != DT_UINT32)
        CV_FATAL("NonZero_Int32_ref: input must be int32 or uint32");
    const uint32_t* x = (const uint32_t*)input->data;
    NonZeroColumns(output, input, [x](size_t off) { return x[off] != 0; });
}

extern const NNKernelFn nn_kernel_fn_NonZero_ref = {Execute_NonZero_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_Shape_ref = {Execute_Shape_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_Range_ref = {Execute_Range_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_ConstantOfShape_ref = {Execute_ConstantOfShape_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_Cast_ref = {Execute_Cast_ref, nullptr, nullptr, nullptr};

}  // extern "C"
