// Reference kernels of the batch, L2, instance and layer normalizations.
#define CORVUS_MODULE "Normalization_ref"
#include <algorithm>
#include <cmath>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersBroadcast.h"
#include "LayersNormalization.h"
#include "Report.h"
#include "common/Float32Temps.h"

using corvus::Float32Operand;

namespace {

void RequireData(const Tensor* t, const char* fn, const char* what)
{
    if (t == nullptr) CV_FATAL("%s: %s tensor is null", fn, what);
    if (t->data == nullptr && GetTensorSize(t) != 0) CV_FATAL("%s: %s tensor has no data", fn, what);
}

bool SameShape(const Tensor* a, const Tensor* b)
{
    if (a->ndim != b->ndim) return false;
    for (uint32_t k = 0; k < a->ndim && k < MAX_NDIM_VALUE; ++k)
        if (a->shape.dimension[k] != b->shape.dimension[k]) return false;
    return true;
}

// In/out pair of one kernel: equal types and shapes, data present.
void RequireInOut(const Tensor* out, const Tensor* in, const char* fn, bool halfAllowed)
{
    RequireData(in, fn, "input");
    RequireData(out, fn, "output");
    if (in->ndim < 1 || in->ndim > MAX_NDIM_VALUE) CV_FATAL("%s: unsupported number of dimensions %u", fn, in->ndim);
    if (!SameShape(in, out)) CV_FATAL("%s: input and output shapes differ", fn);
    if (in->dtype != out->dtype) CV_FATAL("%s: input and output data types differ", fn);
    if (in->dtype != DT_FLOAT32 && !(halfAllowed && in->dtype == DT_FLOAT16))
        CV_FATAL("%s: unsupported data type %s", fn, DataTypeToStr((DataType)in->dtype));
}

// A per-channel vector of at least `count` dense float32 values.
const float* ChannelValues(const Tensor* t, uint32_t count, const char* fn, const char* what)
{
    RequireData(t, fn, what);
    if (t->dtype != DT_FLOAT32 || !IsSerialData(t) || GetTensorSize(t) < count)
        CV_FATAL("%s: %s must be a dense float32 tensor of %u values", fn, what, count);
    return (const float*)t->data;
}

void RequireKernel(const NNKernel* kernel, uint32_t innerNum, const char* op)
{
    CV_CHECK_KERNEL(kernel, "Function %s: Kernel pointer is null", op);
    if (kernel->inputsNum < 1 || kernel->input == nullptr || kernel->outputsNum < 1 || kernel->output == nullptr)
        CV_FATAL("Function %s: the layer needs one input and one output", op);
    if (kernel->innerNum < innerNum || kernel->inner == nullptr)
        CV_FATAL("Function %s: the layer needs %u inner tensors", op, innerNum);
}

// ---- LayerNorm core -------------------------------------------------------

inline float Load(const float* p) { return *p; }
inline float Load(const uint16_t* p)
{
    float f;
    float16_to_float32(p, &f, 1);
    return f;
}
inline void Store(float* p, float v) { *p = v; }
inline void Store(uint16_t* p, float v) { float32_to_float16(&v, p, 1); }

// The normalized block of one outer position, axes outermost first.
struct NormBlock {
    uint32_t naxes;
    uint32_t shape[MAX_NDIM_VALUE];
    int64_t inStride[MAX_NDIM_VALUE];
    int64_t outStride[MAX_NDIM_VALUE];
};

// Sum and sum of squares (fused) of the block, in row-major order.
template <typename T> void LayerNorm_TwoSum(const T* x, const NormBlock& b, uint32_t axis, float* S, float* Q)
{
    const uint32_t n = b.shape[axis];
    const int64_t step = b.inStride[axis];
    if (axis + 1 == b.naxes) {
        float s = *S, q = *Q;
        for (uint32_t i = 0; i < n; ++i) {
            const float v = Load(x + (int64_t)i * step);
            s += v;
            q = fmaf(v, v, q);
        }
        *S = s;
        *Q = q;
        return;
    }
    for (uint32_t i = 0; i < n; ++i) LayerNorm_TwoSum(x + (int64_t)i * step, b, axis + 1, S, Q);
}

// y = (x - mean) * r over the block.
template <typename T> void LayerNorm_SubMul(const T* x, T* y, const NormBlock& b, uint32_t axis, float mean, float r)
{
    const uint32_t n = b.shape[axis];
    const int64_t xs = b.inStride[axis], ys = b.outStride[axis];
    if (axis + 1 == b.naxes) {
        for (uint32_t i = 0; i < n; ++i) Store(y + (int64_t)i * ys, (Load(x + (int64_t)i * xs) - mean) * r);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) LayerNorm_SubMul(x + (int64_t)i * xs, y + (int64_t)i * ys, b, axis + 1, mean, r);
}

template <typename T> void LayerNormCore(Tensor* output, const Tensor* input, uint32_t axis, float epsilon)
{
    const uint32_t nd = input->ndim;
    NormBlock b;
    b.naxes = nd - axis;
    uint64_t count = 1;
    float inv = 1.0f;
    for (uint32_t k = axis; k < nd; ++k) {
        const uint32_t j = k - axis;
        b.shape[j] = input->shape.dimension[k];
        b.inStride[j] = input->stride.dimension[k];
        b.outStride[j] = output->stride.dimension[k];
        count *= b.shape[j];
        inv = inv / (float)b.shape[j];
    }
    uint64_t outer = 1;
    for (uint32_t k = 0; k < axis; ++k) outer *= input->shape.dimension[k];
    if (count == 0 || outer == 0) return;
    const float n = (float)count;

    const T* x0 = (const T*)input->data;
    T* y0 = (T*)output->data;
    uint32_t idx[MAX_NDIM_VALUE] = {0};
    for (uint64_t o = 0; o < outer; ++o) {
        int64_t xo = 0, yo = 0;
        for (uint32_t k = 0; k < axis; ++k) {
            xo += (int64_t)idx[k] * input->stride.dimension[k];
            yo += (int64_t)idx[k] * output->stride.dimension[k];
        }
        float S = 0.0f, Q = 0.0f;
        LayerNorm_TwoSum(x0 + xo, b, 0, &S, &Q);
        const float mean = S / n;
        // Single-pass variance.
        const float v = fmaf(inv, Q, -(mean * mean)) + epsilon;
        const float r = 1.0f / sqrtf(v);
        LayerNorm_SubMul(x0 + xo, y0 + yo, b, 0, mean, r);
        for (int k = (int)axis - 1; k >= 0; --k) {
            if (++idx[k] < input->shape.dimension[k]) break;
            idx[k] = 0;
        }
    }
}

}  // namespace

extern "C" {

// ---- BatchNormalization ----------------------------------------------------

void BatchNormalization_fl32_ref(Tensor* output, const Tensor* input, const Tensor* multiplier, const Tensor* offset)
{
    const char* fn = "BatchNormalization_fl32_ref";
    RequireInOut(output, input, fn, false);
    const uint32_t nd = input->ndim;
    const uint32_t C = input->shape.dimension[nd - 1];
    const float* m = ChannelValues(multiplier, C, fn, "multiplier");
    const float* a = ChannelValues(offset, C, fn, "offset");
    if (C == 0) return;
    if (input->stride.dimension[nd - 1] != 1 || output->stride.dimension[nd - 1] != 1)
        CV_FATAL("%s: the channels must be contiguous", fn);
    // Rows of C values, stepped by each tensor's second-to-last stride.
    const uint64_t inStep = nd >= 2 ? input->stride.dimension[nd - 2] : C;
    const uint64_t outStep = nd >= 2 ? output->stride.dimension[nd - 2] : C;
    const uint64_t dataSize = GetTensorDataSize(input);
    if (dataSize < inStep || inStep == 0) return;
    const uint64_t rows = dataSize / inStep;
    if ((rows - 1) * outStep + C > (uint64_t)GetTensorDataSize(output))
        CV_FATAL("%s: the output cannot hold %llu rows of %u values", fn, (unsigned long long)rows, C);

    const float* x = (const float*)input->data;
    float* y = (float*)output->data;
    for (uint64_t r = 0; r < rows; ++r, x += inStep, y += outStep)
        for (uint32_t c = 0; c < C; ++c) y[c] = fmaf(x[c], m[c], a[c]);
}

void Execute_BatchNormalization_fl32_ref(NNKernel* kernel)
{
    RequireKernel(kernel, 2, "BatchNormalization");
    RequireInOut(kernel->output[0], kernel->input[0], "Execute_BatchNormalization_fl32_ref", true);
    const Float32Operand in(kernel->input[0], true), out(kernel->output[0], false);
    const Float32Operand m(kernel->inner[0], true), a(kernel->inner[1], true);
    BatchNormalization_fl32_ref(out.get(), in.get(), m.get(), a.get());
    out.Store(kernel->output[0]);
}

// ---- L2Normalization ---------------------------------------------------------

void L2Normalization_fl32_ref(Tensor* output, const Tensor* input, const Tensor* gamma)
{
    const char* fn = "L2Normalization_fl32_ref";
    RequireInOut(output, input, fn, false);
    if (input->ndim != 4) CV_FATAL("%s: input tensor ndim must equal 4. ndim: %u", fn, input->ndim);
    RequireData(gamma, fn, "gamma");
    CV_CHECK(gamma->shape.dimension[0] == output->shape.NHWC.channels);
    CV_CHECK(input->stride.NHWC.channels_stride == 1);
    CV_CHECK(output->stride.NHWC.channels_stride == 1);
    const uint32_t C = input->shape.NHWC.channels;
    const float* g = ChannelValues(gamma, C, fn, "gamma");
    const TensorStrides& is = input->stride;
    const TensorStrides& os = output->stride;
    for (uint32_t n = 0; n < input->shape.NHWC.batch; ++n)
        for (uint32_t h = 0; h < input->shape.NHWC.height; ++h)
            for (uint32_t w = 0; w < input->shape.NHWC.width; ++w) {
                const float* x = (const float*)input->data + (uint64_t)n * is.NHWC.batch_stride +
                                 (uint64_t)h * is.NHWC.height_stride + (uint64_t)w * is.NHWC.width_stride;
                float* y = (float*)output->data + (uint64_t)n * os.NHWC.batch_stride +
                           (uint64_t)h * os.NHWC.height_stride + (uint64_t)w * os.NHWC.width_stride;
                float s = 0.0f;
                for (uint32_t c = 0; c < C; ++c) s = fmaf(x[c], x[c], s);
                // The floor keeps an all-zero pixel at zero instead of dividing by zero.
                s = fmaxf(s, 1e-6f);
                const float r = 1.0f / sqrtf(s);
                for (uint32_t c = 0; c < C; ++c) y[c] = x[c] * r * g[c];
            }
}

void Execute_L2Normalization_fl32_ref(NNKernel* kernel)
{
    RequireKernel(kernel, 1, "L2Normalization");
    RequireData(kernel->input[0], "Execute_L2Normalization_fl32_ref", "input");
    CV_CHECK(kernel->input[0]->ndim == 4);
    CV_CHECK(kernel->input[0]->layout == DL_NHWC);
    RequireInOut(kernel->output[0], kernel->input[0], "Execute_L2Normalization_fl32_ref", true);
    const Float32Operand in(kernel->input[0], true), out(kernel->output[0], false), g(kernel->inner[0], true);
    L2Normalization_fl32_ref(out.get(), in.get(), g.get());
    out.Store(kernel->output[0]);
}

// ---- InstanceNormalization ---------------------------------------------------

void InstanceNormalization_fl32_ref(Tensor* output, const Tensor* input, const Tensor* gamma, const Tensor* beta,
                                    const NormalizationParams* params)
{
    const char* fn = "InstanceNormalization_fl32_ref";
    if (input == nullptr) CV_FATAL("%s: input tensor is null", fn);
    if (input->ndim != 3 && input->ndim != 4)
        CV_FATAL("Instance normalization supports 3D, 4D inputs. Given input dimension size is %d", (int)input->ndim);
    RequireInOut(output, input, fn, false);
    CV_CHECK_PTR(params);
    const bool four = input->ndim == 4;
    const uint32_t N = input->shape.dimension[0];
    const uint32_t H = four ? input->shape.dimension[1] : 1;
    const uint32_t W = input->shape.dimension[four ? 2 : 1];
    const uint32_t C = input->shape.dimension[input->ndim - 1];
    const float* g = ChannelValues(gamma, C, fn, "gamma");
    const float* b = ChannelValues(beta, C, fn, "beta");
    const uint64_t count = (uint64_t)H * W;
    if (N == 0 || C == 0 || count == 0) return;

    // Element offsets {n, h, w, c}; a 3-D input has no h.
    auto strides = [four](const Tensor* t, int64_t s[4]) {
        s[0] = t->stride.dimension[0];
        s[1] = four ? t->stride.dimension[1] : 0;
        s[2] = t->stride.dimension[four ? 2 : 1];
        s[3] = t->stride.dimension[four ? 3 : 2];
    };
    int64_t is[4], os[4];
    strides(input, is);
    strides(output, os);
    const float* x = (const float*)input->data;
    float* y = (float*)output->data;
    const float countf = (float)count;
    const double eps = params->epsilon;

    // Statistics of all channels at once; each channel still accumulates
    // its own values in spatial order.
    std::vector<float> mean(C), acc(C), sd(C);
    for (uint32_t n = 0; n < N; ++n) {
        const float* xn = x + n * is[0];
        float* yn = y + n * os[0];
        std::fill(mean.begin(), mean.end(), 0.0f);
        std::fill(acc.begin(), acc.end(), 0.0f);
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w) {
                const float* p = xn + h * is[1] + w * is[2];
                for (uint32_t c = 0; c < C; ++c) mean[c] += p[c * is[3]];
            }
        for (uint32_t c = 0; c < C; ++c) mean[c] = mean[c] / countf;
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w) {
                const float* p = xn + h * is[1] + w * is[2];
                for (uint32_t c = 0; c < C; ++c) {
                    const double d = p[c * is[3]] - mean[c];
                    acc[c] = (float)fma(d, d, (double)acc[c]);
                }
            }
        for (uint32_t c = 0; c < C; ++c) sd[c] = (float)sqrt((double)(acc[c] / countf) + eps);
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w) {
                const float* p = xn + h * is[1] + w * is[2];
                float* q = yn + h * os[1] + w * os[2];
                for (uint32_t c = 0; c < C; ++c) q[c * os[3]] = fmaf((p[c * is[3]] - mean[c]) / sd[c], g[c], b[c]);
            }
    }
}

void Execute_InstanceNormalization_ref(NNKernel* kernel)
{
    RequireKernel(kernel, 2, "InstanceNormalization");
    RequireData(kernel->input[0], "Execute_InstanceNormalization_ref", "input");
    if (kernel->input[0]->ndim != 3 && kernel->input[0]->ndim != 4)
        CV_FATAL("Instance normalization supports 3D, 4D inputs. Given input dimension size is %d",
                 (int)kernel->input[0]->ndim);
    RequireInOut(kernel->output[0], kernel->input[0], "Execute_InstanceNormalization_ref", true);
    const Float32Operand in(kernel->input[0], true), out(kernel->output[0], false);
    const Float32Operand g(kernel->inner[0], true), b(kernel->inner[1], true);
    InstanceNormalization_fl32_ref(out.get(), in.get(), g.get(), b.get(), (const NormalizationParams*)kernel->params);
    out.Store(kernel->output[0]);
}

// ---- LayerNorm ----------------------------------------------------------------

void layernorm_ref(Tensor* output, const Tensor* input, const NormalizationParams* params)
{
    RequireInOut(output, input, "LayerNorm_ref", true);
    if (params == nullptr || params->axis >= input->ndim) CV_FATAL("bad NormalizationParams");
    if (input->dtype == DT_FLOAT16)
        LayerNormCore<uint16_t>(output, input, params->axis, params->epsilon);
    else
        LayerNormCore<float>(output, input, params->axis, params->epsilon);
}

void LayerNorm_ref(Tensor* output, const Tensor* input, const Tensor* gamma, const Tensor* beta,
                   const NormalizationParams* params)
{
    layernorm_ref(output, input, params);
    // gamma and beta align with the trailing axes.
    const BroadcastParams none = {0, 0};
    if (gamma != nullptr) MulBroadcast_ref(output, output, gamma, &none);
    if (beta != nullptr) AddBroadcast_ref(output, output, beta, &none);
}

void Execute_LayerNorm_ref(NNKernel* kernel)
{
    RequireKernel(kernel, 2, "LayerNorm");
    RequireInOut(kernel->output[0], kernel->input[0], "Execute_LayerNorm_ref", true);
    const Float32Operand in(kernel->input[0], true), out(kernel->output[0], false);
    const Float32Operand g(kernel->inner[0], true), b(kernel->inner[1], true);
    LayerNorm_ref(out.get(), in.get(), g.get(), b.get(), (const NormalizationParams*)kernel->params);
    out.Store(kernel->output[0]);
}

}  // extern "C"

// Function sets found by the kernel tables.
extern "C" const NNKernelFn nn_kernel_fn_BatchNormalization_fl32_ref = {Execute_BatchNormalization_fl32_ref, nullptr,
                                                                        nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_L2Normalization_fl32_ref = {Execute_L2Normalization_fl32_ref, nullptr, nullptr,
                                                                     nullptr};
extern "C" const NNKernelFn nn_kernel_fn_InstanceNormalization_ref = {Execute_InstanceNormalization_ref, nullptr,
                                                                      nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_LayerNorm_ref = {Execute_LayerNorm_ref, nullptr, nullptr, nullptr};
