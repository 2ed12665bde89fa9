// STAND-IN: one-dimensional max pooling has only an optimised kernel, which
// is not written yet. Until it is, this file defines its function set as a
// plain, correct max pooling over {N, L, C} so that MaxPool1D layers run;
// the optimised implementation will replace the whole file.
#define CORVUS_MODULE "Pooling1D_opt"
#include <cfloat>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersPooling.h"
#include "Report.h"

namespace {

// The optimised kernel's refusal code for a configuration it cannot run.
constexpr int kRefused = -1;

// Max over each window; cells in the pads are zeros (mode 0) or skipped
// (mode 1), cells past the end pad are ignored.
void MaxPool1D(float* out, const float* in, const Tensor* output, const Tensor* input, const Pool1DParams* p)
{
    using Wide = __int128;  // o * stride may exceed 64-bit signed range
    const uint32_t N = input->shape.dimension[0], L = input->shape.dimension[1], C = input->shape.dimension[2];
    const uint32_t outL = output->shape.dimension[1];
    const bool zeros = p->paddingMode == POOL_PADDING_ZEROS;
    std::vector<float> acc(C);
    auto padZero = [&]() {
        for (uint32_t c = 0; c < C; ++c)
            if (0.0f > acc[c]) acc[c] = 0.0f;
    };
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t o = 0; o < outL; ++o) {
            const Wide start = (Wide)o * p->stride - p->padBegin;
            Wide end = start + p->poolSize;
            if (end > (Wide)L + p->padEnd) end = (Wide)L + p->padEnd;
            const Wide first = start > 0 ? start : 0;
            const Wide last = end < L ? end : L;  // one past the last input cell
            for (uint32_t c = 0; c < C; ++c) acc[c] = -FLT_MAX;
            if (zeros && start < 0 && end > start) padZero();
            for (Wide i = first; i < last; ++i) {
                const float* px = in + n * (uint64_t)input->stride.dimension[0] +
                                  (uint64_t)i * input->stride.dimension[1];
                for (uint32_t c = 0; c < C; ++c)
                    if (px[c] > acc[c]) acc[c] = px[c];
            }
            if (zeros && end > L && end > start) padZero();
            float* px = out + n * (uint64_t)output->stride.dimension[0] + o * (uint64_t)output->stride.dimension[1];
            for (uint32_t c = 0; c < C; ++c) px[c] = acc[c];
        }
}

}  // namespace

extern "C" void Execute_MaxPool1D_opt(NNKernel* kernel)
{
    static const char* const kFn = "Execute_MaxPool1D_opt";
    CV_CHECK_PTR(kernel);
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    Tensor* output = kernel->output[0];
    const Tensor* input = kernel->input[0];
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    const Pool1DParams* p = (const Pool1DParams*)kernel->params;
    const bool accepted = input->ndim == 3 && output->ndim == 3 && input->dtype == output->dtype &&
                          output->shape.dimension[0] == input->shape.dimension[0] &&
                          output->shape.dimension[2] == input->shape.dimension[2] &&
                          (p->paddingMode == POOL_PADDING_ZEROS || p->paddingMode == POOL_PADDING_IGNORE);
    if (!accepted) CV_FATAL("%s error %d", kFn, kRefused);
    if (input->dtype != DT_FLOAT32 && input->dtype != DT_FLOAT16)
        CV_FATAL("DataType %d not implemened", (int)input->dtype);
    if (GetTensorSize(output) == 0) return;
    CV_CHECK_PTR(output->data);
    if (GetTensorSize(input) != 0) CV_CHECK_PTR(input->data);

    if (input->dtype == DT_FLOAT32) {
        MaxPool1D((float*)output->data, (const float*)input->data, output, input, p);
        return;
    }
    // Half precision goes through float32 copies; max is exact in either.
    const uint32_t inCount = GetTensorSize(input), outCount = GetTensorSize(output);
    std::vector<float> in32(inCount), out32(outCount);
    Tensor* inT = CreateTensor(DT_FLOAT32, DL_NONE, 3, input->shape, false);
    Tensor* outT = CreateTensor(DT_FLOAT32, DL_NONE, 3, output->shape, false);
    inT->data = in32.data();
    outT->data = out32.data();
    if (inCount != 0) TensorDataConvert(inT, input);
    MaxPool1D(out32.data(), in32.data(), outT, inT, p);
    TensorDataConvert(output, outT);
    inT->data = nullptr;
    outT->data = nullptr;
    DestroyTensor(inT);
    DestroyTensor(outT);
}

extern "C" const NNKernelFn nn_kernel_fn_MaxPool1D_opt = {Execute_MaxPool1D_opt, nullptr, nullptr, nullptr};
