#define CORVUS_MODULE "Resize_ref"
#include <cmath>
#include <cstring>
#include <vector>

#include "KernelProbes.h"
#include "LayersResize.h"
#include "Report.h"

namespace {

constexpr uint32_t NDSP_ONE = 1;  // the least number of cores a kernel runs on
constexpr int32_t kProbeOnly = -1;

// The acceptance tests of the four resize functions, in order; null when the
// tensors are accepted. `last3` adds the tests of the variants that move the
// three values of the last dimension together.
const char* Refusal(uint32_t cores, const Tensor* in, const Tensor* out, const float* scale, bool float32Only,
                    bool last3)
{
    if (in == nullptr) return "!in";
    if (out == nullptr) return "!out";
    if (scale == nullptr) return "!scale";
    if (cores < NDSP_ONE) return "nDsp < NDSP_ONE";
    if (in->dtype != out->dtype) return "in->dtype != out->dtype";
    if (float32Only && in->dtype != DT_FLOAT32) return "in->dtype != DT_FLOAT32";
    if (in->ndim <= 0) return "in->ndim <= 0";
    if (in->ndim > MAX_NDIM_VALUE) return "in->ndim > MAX_NDIM_VALUE";
    if (in->ndim != out->ndim) return "in->ndim != out->ndim";
    const uint32_t n = in->ndim, n1 = n - 1;
    if (last3) {
        if (in->shape.dimension[n1] != 3) return "in->shape.dimension[n1] != 3";
        if (out->shape.dimension[n1] != 3) return "out->shape.dimension[n1] != 3";
        if (in->stride.dimension[n1] != 1) return "in->stride.dimension[n1] != 1";
        if (out->stride.dimension[n1] != 1) return "out->stride.dimension[n1] != 1";
        if (scale[n - 1] != 1.0f) return "scale[n-1] != 1.0";
    }
    for (uint32_t i = 0; i < n; ++i)
        if (!(scale[i] > 0.0f)) return "scale[i] <= 0.0";  // NaN included
    const uint32_t typeSize = DataTypeSize((DataType)in->dtype);
    if (typeSize != 1 && typeSize != 2 && typeSize != 4 && typeSize != 8) return "typeSize must be 1,2,4 or 8";
    // An output element needs at least one input element to come from.
    if (GetTensorSize(out) != 0 && GetTensorSize(in) == 0) return "in is empty while out is not";
    return nullptr;
}

// Data is only needed when computing (selection probes layers before their
// memory is planned).
const char* MissingData(const Tensor* in, const Tensor* out)
{
    if (GetTensorSize(out) == 0) return nullptr;
    if (in->data == nullptr) return "in->data == NULL";
    if (out->data == nullptr) return "out->data == NULL";
    return nullptr;
}

// ---- Nearest ----------------------------------------------------------------

// Per dimension: the input element offset each output index reads.
struct NearPlan {
    uint32_t ndim;
    uint32_t outDim[MAX_NDIM_VALUE];
    uint64_t outStride[MAX_NDIM_VALUE];
    std::vector<uint64_t> source[MAX_NDIM_VALUE];
};

NearPlan PlanNearest(const Tensor* in, const Tensor* out, const float* scale)
{
    NearPlan p;
    p.ndim = in->ndim;
    for (uint32_t d = 0; d < p.ndim; ++d) {
        const uint32_t outDim = out->shape.dimension[d], inLast = in->shape.dimension[d] - 1;
        p.outDim[d] = outDim;
        p.outStride[d] = out->stride.dimension[d];
        std::vector<uint64_t>& src = p.source[d];
        src.resize(outDim);
        const double s = scale[d];
        for (uint32_t o = 0; o < outDim; ++o) {
            uint32_t i;
            if (scale[d] == 1.0f) {
                i = o < inLast ? o : inLast;
            } else {
                const double v = ((double)o + 0.5) / s;
                i = v < (double)inLast ? (uint32_t)v : inLast;  // trunc of a positive value
            }
            src[o] = (uint64_t)i * in->stride.dimension[d];
        }
    }
    return p;
}

// Dimension d of the output, first to last; the last copies single elements.
template <typename T> void ResizeNear_loop(const NearPlan& p, uint32_t d, const T* in, T* out)
{
    const uint32_t count = p.outDim[d];
    const uint64_t* src = p.source[d].data();
    const uint64_t step = p.outStride[d];
    if (d + 1 == p.ndim) {
        for (uint32_t o = 0; o < count; ++o) out[o * step] = in[src[o]];
        return;
    }
    for (uint32_t o = 0; o < count; ++o) ResizeNear_loop(p, d + 1, in + src[o], out + o * step);
}

// As ResizeNear_loop, the last dimension (three adjacent values) moved whole.
void ResizeNear3F32_loop(const NearPlan& p, uint32_t d, const float* in, float* out)
{
    const uint32_t count = p.outDim[d];
    const uint64_t* src = p.source[d].data();
    const uint64_t step = p.outStride[d];
    if (d + 2 == p.ndim) {
        for (uint32_t o = 0; o < count; ++o) {
            const float* s = in + src[o];
            float* t = out + o * step;
            t[0] = s[0];
            t[1] = s[1];
            t[2] = s[2];
        }
        return;
    }
    for (uint32_t o = 0; o < count; ++o) ResizeNear3F32_loop(p, d + 1, in + src[o], out + o * step);
}

// ---- Area -------------------------------------------------------------------

// Per dimension, the input elements each output index averages: offsets and
// weights of output o at [first[o], first[o + 1]). Dimensions of scale 1
// read one element with weight 1 and are not rescaled.
struct AreaTaps {
    bool identity;
    float scale;
    std::vector<uint32_t> first;
    std::vector<uint64_t> offset;
    std::vector<float> weight;
};

struct AreaPlan {
    uint32_t ndim;  // dimensions walked (the last one excluded by the "3" variant)
    uint32_t outDim[MAX_NDIM_VALUE];
    uint64_t outStride[MAX_NDIM_VALUE];
    AreaTaps taps[MAX_NDIM_VALUE];
};

AreaTaps AreaDimension(uint32_t inDim, uint32_t outDim, uint64_t inStride, float scale)
{
    AreaTaps t;
    t.identity = scale == 1.0f;
    t.scale = scale;
    t.first.reserve((size_t)outDim + 1);
    const uint32_t last = inDim - 1;
    auto add = [&](double index, double weight) {
        if (weight == 0.0) return;  // keeps infinities outside the window out
        const uint32_t i = index < (double)last ? (uint32_t)index : last;
        t.offset.push_back((uint64_t)i * inStride);
        t.weight.push_back((float)weight);
    };
    const double r = 1.0 / (double)scale;
    for (uint32_t o = 0; o < outDim; ++o) {
        t.first.push_back((uint32_t)t.offset.size());
        if (t.identity) {
            add(o, 1.0);
            continue;
        }
        const double a = o * r, b = (o + 1.0) * r;
        const double ia = std::floor(a), ib = std::floor(b);
        const double fa = a - ia, fb = b - ib;
        if (ia == ib) {  // the interval lies inside one element (scale above 1)
            add(ia, fb - fa);
            continue;
        }
        add(ia, 1.0 - fa);
        // Whole elements strictly between; those past the last clamp onto it,
        // so they are counted rather than listed.
        const double lo = ia + 1.0, hi = ib - 1.0;
        for (double j = lo; j <= hi && j < (double)last; j += 1.0) add(j, 1.0);
        const double clampedFrom = lo > (double)last ? lo : (double)last;
        if (hi >= clampedFrom) add(last, hi - clampedFrom + 1.0);
        add(ib, fb);
    }
    t.first.push_back((uint32_t)t.offset.size());
    return t;
}

AreaPlan PlanArea(const Tensor* in, const Tensor* out, const float* scale, uint32_t walked)
{
    AreaPlan p;
    p.ndim = walked;
    for (uint32_t d = 0; d < walked; ++d) {
        p.outDim[d] = out->shape.dimension[d];
        p.outStride[d] = out->stride.dimension[d];
        p.taps[d] = AreaDimension(in->shape.dimension[d], out->shape.dimension[d], in->stride.dimension[d], scale[d]);
    }
    return p;
}

// W adjacent values of the last dimension, carried together.
template <uint32_t W> struct Values {
    float v[W];
};

// The weighted sum of dimension d and all inner ones for the output indices
// in `at`: sum of weight * inner sum, times the scale.
template <uint32_t W> Values<W> ResizeDownSum(const AreaPlan& p, const uint32_t* at, uint32_t d, const float* in)
{
    Values<W> r;
    if (d == p.ndim) {
        for (uint32_t k = 0; k < W; ++k) r.v[k] = in[k];
        return r;
    }
    const AreaTaps& t = p.taps[d];
    const uint32_t begin = t.first[at[d]], end = t.first[at[d] + 1];
    if (t.identity) return ResizeDownSum<W>(p, at, d + 1, in + t.offset[begin]);
    for (uint32_t k = 0; k < W; ++k) r.v[k] = 0.0f;
    for (uint32_t j = begin; j < end; ++j) {
        const Values<W> inner = ResizeDownSum<W>(p, at, d + 1, in + t.offset[j]);
        for (uint32_t k = 0; k < W; ++k) r.v[k] += t.weight[j] * inner.v[k];
    }
    for (uint32_t k = 0; k < W; ++k) r.v[k] *= t.scale;
    return r;
}

// Every output element in order, dimension d outward to inward; `sum`
// gives the weighted sum of one output element.
template <uint32_t W, typename Sum>
void ResizeDownOut(const AreaPlan& p, uint32_t* at, uint32_t d, const float* in, float* out, Sum sum)
{
    for (uint32_t o = 0; o < p.outDim[d]; ++o) {
        at[d] = o;
        float* dst = out + o * p.outStride[d];
        if (d + 1 >= p.ndim || d + 1 >= MAX_NDIM_VALUE) {  // ndim <= MAX_NDIM_VALUE
            const Values<W> r = sum(p, at, in);
            for (uint32_t k = 0; k < W; ++k) dst[k] = r.v[k];
        } else {
            ResizeDownOut<W>(p, at, d + 1, in, dst, sum);
        }
    }
}

Values<1> ResizeDownF32_sum(const AreaPlan& p, const uint32_t* at, const float* in)
{
    return ResizeDownSum<1>(p, at, 0, in);
}

void ResizeDownF32_out(const AreaPlan& p, const float* in, float* out)
{
    uint32_t at[MAX_NDIM_VALUE] = {0};
    ResizeDownOut<1>(p, at, 0, in, out, ResizeDownF32_sum);
}

// The three values of the last dimension summed together.
Values<3> ResizeDown3F32_sum(const AreaPlan& p, const uint32_t* at, const float* in)
{
    return ResizeDownSum<3>(p, at, 0, in);
}

void ResizeDown3F32_out(const AreaPlan& p, const float* in, float* out)
{
    uint32_t at[MAX_NDIM_VALUE] = {0};
    if (p.ndim == 0) {  // rank 1: the three values themselves
        const Values<3> r = ResizeDown3F32_sum(p, at, in);
        for (uint32_t k = 0; k < 3; ++k) out[k] = r.v[k];
        return;
    }
    ResizeDownOut<3>(p, at, 0, in, out, ResizeDown3F32_sum);
}

typedef const char* (*ResizeFn)(int32_t, uint32_t, const Tensor*, Tensor*, const float*);

// Runs a resize function on a kernel record; `probe` only asks.
const char* OnKernel(ResizeFn fn, const NNKernel* kernel, bool probe)
{
    const Tensor* in = kernel->inputsNum >= 1 && kernel->input != nullptr ? kernel->input[0] : nullptr;
    Tensor* out = kernel->outputsNum >= 1 && kernel->output != nullptr ? kernel->output[0] : nullptr;
    const float* scales = kernel->params != nullptr ? ((const ResizeParams*)kernel->params)->scales : nullptr;
    return fn(probe ? kProbeOnly : 0, kernel->coresNumber, in, out, scales);
}

void ExecuteResize(const char* wrapper, ResizeFn fn, NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const char* reason = OnKernel(fn, kernel, false);
    if (reason != nullptr) CV_FATAL("%s error: %s", wrapper, reason);
}

const char* ProbeResize(ResizeFn fn, const NNKernel* kernel)
{
    if (kernel == nullptr) return "kernel pointer is null";
    return OnKernel(fn, kernel, true);
}

}  // namespace

extern "C" {

const char* ResizeNear_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output, const float* scales)
{
    const char* reason = Refusal(cores, input, output, scales, false, false);
    if (reason != nullptr || mode == kProbeOnly) return reason;
    if ((reason = MissingData(input, output)) != nullptr || GetTensorSize(output) == 0) return reason;
    const NearPlan p = PlanNearest(input, output, scales);
    switch (DataTypeSize((DataType)input->dtype)) {
    case 1:
        ResizeNear_loop(p, 0, (const uint8_t*)input->data, (uint8_t*)output->data);
        break;
    case 2:
        ResizeNear_loop(p, 0, (const uint16_t*)input->data, (uint16_t*)output->data);
        break;
    case 4:
        ResizeNear_loop(p, 0, (const uint32_t*)input->data, (uint32_t*)output->data);
        break;
    default:
        ResizeNear_loop(p, 0, (const uint64_t*)input->data, (uint64_t*)output->data);
        break;
    }
    return nullptr;
}

const char* ResizeNear3F32_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output, const float* scales)
{
    const char* reason = Refusal(cores, input, output, scales, true, true);
    if (reason != nullptr || mode == kProbeOnly) return reason;
    if ((reason = MissingData(input, output)) != nullptr || GetTensorSize(output) == 0) return reason;
    if (input->ndim == 1) {
        memcpy(output->data, input->data, 3 * sizeof(float));
        return nullptr;
    }
    const NearPlan p = PlanNearest(input, output, scales);
    ResizeNear3F32_loop(p, 0, (const float*)input->data, (float*)output->data);
    return nullptr;
}

const char* ResizeDownF32_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output, const float* scales)
{
    const char* reason = Refusal(cores, input, output, scales, true, false);
    if (reason != nullptr || mode == kProbeOnly) return reason;
    if ((reason = MissingData(input, output)) != nullptr || GetTensorSize(output) == 0) return reason;
    const AreaPlan p = PlanArea(input, output, scales, input->ndim);
    ResizeDownF32_out(p, (const float*)input->data, (float*)output->data);
    return nullptr;
}

const char* ResizeDown3F32_ref(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output, const float* scales)
{
    const char* reason = Refusal(cores, input, output, scales, true, true);
    if (reason != nullptr || mode == kProbeOnly) return reason;
    if ((reason = MissingData(input, output)) != nullptr || GetTensorSize(output) == 0) return reason;
    const AreaPlan p = PlanArea(input, output, scales, input->ndim - 1);
    ResizeDown3F32_out(p, (const float*)input->data, (float*)output->data);
    return nullptr;
}

void Execute_ResizeNear_ref(NNKernel* kernel) { ExecuteResize("Execute_ResizeNear_ref", ResizeNear_ref, kernel); }
void Execute_ResizeNear3F32_ref(NNKernel* kernel)
{
    ExecuteResize("Execute_ResizeNear3F32_ref", ResizeNear3F32_ref, kernel);
}
void Execute_ResizeDownF32_ref(NNKernel* kernel)
{
    ExecuteResize("Execute_ResizeDownF32_ref", ResizeDownF32_ref, kernel);
}
void Execute_ResizeDown3F32_ref(NNKernel* kernel)
{
    ExecuteResize("Execute_ResizeDown3F32_ref", ResizeDown3F32_ref, kernel);
}

// Kernel selection's acceptance tests.
const char* Probe_ResizeNear3F32_ref(const NNKernel* kernel) { return ProbeResize(ResizeNear3F32_ref, kernel); }
const char* Probe_ResizeNear_ref(const NNKernel* kernel) { return ProbeResize(ResizeNear_ref, kernel); }
const char* Probe_ResizeDown3F32_ref(const NNKernel* kernel) { return ProbeResize(ResizeDown3F32_ref, kernel); }
const char* Probe_ResizeDownF32_ref(const NNKernel* kernel) { return ProbeResize(ResizeDownF32_ref, kernel); }

}  // extern "C"

extern "C" const NNKernelFn nn_kernel_fn_ResizeNear_ref = {Execute_ResizeNear_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_ResizeNear3F32_ref = {Execute_ResizeNear3F32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_ResizeDownF32_ref = {Execute_ResizeDownF32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_ResizeDown3F32_ref = {Execute_ResizeDown3F32_ref, nullptr, nullptr, nullptr};
