// Unary math (Exp, Sqrt, Erf, Neg, Ceil, Floor, Log, Abs) and the
// parameterised element-wise kernels (PRelu, Clip, HardSigmoid).
#define CORVUS_MODULE "UnaryMath_ref"
#include <cmath>
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/ElementWalk.h"
#include "VectorLevel.h"
#ifdef __FMA__
#include <immintrin.h>
#endif

using corvus::MapFloat32;
using corvus::SameShape;
using corvus::ShapeText;
using corvus::ThroughFloat32;

// Compiled once per instruction-set level (see VectorLevel.h): the
// multiply-adds of HardSigmoid and PRelu become instructions where the level
// has them.
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

constexpr uint32_t kHalfChunk = 64;

typedef float f32x8 __attribute__((vector_size(32)));

void RequireSameShape(const char* label, const Tensor* out, const Tensor* in)
{
    if (!SameShape(out, in))
        CV_FATAL("%s: shapes of input %s and output %s are not the same", label, ShapeText(in).c_str(),
                 ShapeText(out).c_str());
    if (GetTensorSize(out) > 0 && (out->data == nullptr || in->data == nullptr))
        CV_FATAL("%s: tensor data is NULL", label);
}

// The float16 wrapper of Exp, Neg, Ceil, Floor, HardSigmoid, Sqrt and Log:
// half inputs go through float32 temporaries; float32 and any other type go
// straight to the float32 computation, which checks the types itself.
template <class Fn> void WithHalfWrapper(const char* label, Tensor* out, const Tensor* in, Fn&& fn)
{
    if (out == nullptr || in == nullptr) CV_FATAL("%s: Tensor pointer is null", label);
    if (in->dtype != DT_FLOAT16) {
        fn(out, in);
        return;
    }
    if (out->dtype != DT_FLOAT16) CV_FATAL("%s: types of input and output are not the same", label);
    RequireSameShape(label, out, in);
    ThroughFloat32(out, in, fn);
}

// Minimum and maximum that ignore a NaN operand and order zeros by sign
// (-0 below +0), as IEEE minNum/maxNum.
template <class T> inline T MinNum(T a, T b)
{
    if (a != a) return b;
    if (b != b) return a;
    if (a < b) return a;
    if (b < a) return b;
    return std::signbit(a) ? a : b;
}
template <class T> inline T MaxNum(T a, T b)
{
    if (a != a) return b;
    if (b != b) return a;
    if (a > b) return a;
    if (b > a) return b;
    return std::signbit(a) ? b : a;
}

// One-input element function over a three-level block (in2 unused).
template <class T, class Op> void UnaryBlock(void* out, const void* in1, const BroadcastLevel* lv)
{
    Op op;
    const bool a1 = lv[0].strideIn1 != 0;
    for (uint32_t p = 0; p < lv[2].count; ++p)
        for (uint32_t r = 0; r < lv[1].count; ++r) {
            T* o = (T*)((uint8_t*)out + (int64_t)p * lv[2].strideOut + (int64_t)r * lv[1].strideOut);
            const T* a = (const T*)((const uint8_t*)in1 + (int64_t)p * lv[2].strideIn1 + (int64_t)r * lv[1].strideIn1);
            if (a1)
                for (uint32_t i = 0; i < lv[0].count; ++i) o[i] = op(a[i]);
            else
                for (uint32_t i = 0; i < lv[0].count; ++i) o[i] = op(*a);
        }
}

struct ClearSign32 {
    uint32_t operator()(uint32_t x) const { return x & 0x7FFFFFFFu; }
};
struct ClearSign16 {
    uint16_t operator()(uint16_t x) const { return (uint16_t)(x & 0x7FFFu); }
};

template <class T, class Op> void BinaryBlock(void* out, const void* in1, const void* in2, const BroadcastLevel* lv)
{
    Op op;
    const int64_t sa = lv[0].strideIn1 != 0 ? 1 : 0, sb = lv[0].strideIn2 != 0 ? 1 : 0;
    for (uint32_t p = 0; p < lv[2].count; ++p)
        for (uint32_t r = 0; r < lv[1].count; ++r) {
            const int64_t o0 = (int64_t)p * lv[2].strideOut + (int64_t)r * lv[1].strideOut;
            const int64_t a0 = (int64_t)p * lv[2].strideIn1 + (int64_t)r * lv[1].strideIn1;
            const int64_t b0 = (int64_t)p * lv[2].strideIn2 + (int64_t)r * lv[1].strideIn2;
            T* o = (T*)((uint8_t*)out + o0);
            const T* a = (const T*)((const uint8_t*)in1 + a0);
            const T* b = (const T*)((const uint8_t*)in2 + b0);
            for (uint32_t i = 0; i < lv[0].count; ++i) o[i] = op(a[i * sa], b[i * sb]);
        }
}

struct PReluF {
    float operator()(float x, float slope) const { return x < 0.0f ? slope * x : x; }
};

// Half PRelu: negative elements become the product of the widened operands
// rounded to half; the others are copied unchanged.
struct PReluH {
    uint16_t operator()(uint16_t x, uint16_t slope) const
    {
        float fx;
        float16_to_float32(&x, &fx, 1);
        if (!(fx < 0.0f)) return x;
        float fs;
        float16_to_float32(&slope, &fs, 1);
        const float y = fs * fx;
        uint16_t h;
        float32_to_float16(&y, &h, 1);
        return h;
    }
};

const BroadcastOpFn kAbsFns[BROADCAST_TYPES_NUM] = {Abs_f32_ref, Abs_f16_ref, nullptr, nullptr};
const BroadcastOpFn kPReluFns[BROADCAST_TYPES_NUM] = {prelu_f32_ref, prelu_f16_ref, nullptr, nullptr};

// The three type checks shared by Exp, Erf, Ceil and Floor.
void UnaryFloatChecks(const char* prefix, const Tensor* out, const Tensor* in)
{
    if (out == nullptr || in == nullptr) CV_FATAL("%s: Tensor pointer is null", prefix);
    if (in->dtype != out->dtype) CV_FATAL("%s: types of input and output           are not the same", prefix);
    if (in->dtype != DT_FLOAT32) CV_FATAL("%s: type is not float32", prefix);
    if (in->ndim != out->ndim) CV_FATAL("%s: ndim of input and output           are not the same", prefix);
    RequireSameShape(prefix, out, in);
}

}  // namespace

// ---- Exp, Sqrt, Erf, Neg, Ceil, Floor, Log ----------------------------

void Exp_fl32(Tensor* out, const Tensor* in)
{
    UnaryFloatChecks("func Exp", out, in);
    MapFloat32(out, in, [](float x) { return expf(x); });
}

void Execute_Exp_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    WithHalfWrapper("func Exp", kernel->output[0], kernel->input[0], Exp_fl32);
}

void Sqrt_fl32(Tensor* out, const Tensor* in)
{
    if (out == nullptr || in == nullptr) CV_FATAL("Function Sqrt: Tensor pointer is null");
    if (in->dtype != DT_FLOAT32 || out->dtype != DT_FLOAT32) CV_FATAL("Function Sqrt: type is not float32");
    RequireSameShape("Function Sqrt", out, in);
    MapFloat32(out, in, [](float x) { return std::sqrt(x); });
}

void Sqrt_fl16(Tensor* out, const Tensor* in)
{
    if (out == nullptr || in == nullptr) CV_FATAL("Function Sqrt: Tensor pointer is null");
    if (in->dtype != DT_FLOAT16 || out->dtype != DT_FLOAT16) CV_FATAL("Function Sqrt: type is not float16");
    WithHalfWrapper("Function Sqrt", out, in, Sqrt_fl32);
}

void Execute_Sqrt_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const Tensor* in = kernel->input[0];
    if (in == nullptr) CV_FATAL("Function Sqrt: Tensor pointer is null");
    if (in->dtype == DT_FLOAT32)
        CORVUS_LEVEL_NS::Sqrt_fl32(kernel->output[0], in);
    else if (in->dtype == DT_FLOAT16)
        CORVUS_LEVEL_NS::Sqrt_fl16(kernel->output[0], in);
    else
        CV_FATAL("support only F16 or F32");
}

void Erf_fl32(Tensor* out, const Tensor* in)
{
    UnaryFloatChecks("Function Erf", out, in);
    MapFloat32(out, in, [](float x) { return erff(x); });
}

void Execute_Erf_fl32_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Erf: Kernel pointer is null");
    CORVUS_LEVEL_NS::Erf_fl32(kernel->output[0], kernel->input[0]);
}

void Neg_fl32(Tensor* out, const Tensor* in)
{
    if (out == nullptr || in == nullptr) CV_FATAL("Function Neg: Tensor pointer is null");
    if (in->dtype != out->dtype) CV_FATAL("Function Neg: types of input and output are not the same");
    if (in->dtype != DT_FLOAT32) CV_FATAL("Function Neg: type is not float32");
    if (in->ndim != out->ndim) CV_FATAL("Function Neg: ndim of input and output are not the same");
    if (GetTensorSize(out) != GetTensorDataSize(out)) CV_FATAL("Neg_fl32 does not support tensor's strides");
    RequireSameShape("Function Neg", out, in);
    MapFloat32(out, in, [](float x) { return -x; });
}

void Execute_Neg_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Neg: Kernel pointer is null");
    WithHalfWrapper("Function Neg", kernel->output[0], kernel->input[0], Neg_fl32);
}

void Ceil_fl32(Tensor* out, const Tensor* in)
{
    UnaryFloatChecks("Ceil_fl32", out, in);
    MapFloat32(out, in, [](float x) { return ceilf(x); });
}

void Execute_Ceil_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s: Kernel pointer is null", "Execute_Ceil_ref");
    WithHalfWrapper("Ceil_fl32", kernel->output[0], kernel->input[0], Ceil_fl32);
}

void Floor_fl32(Tensor* out, const Tensor* in)
{
    UnaryFloatChecks("Floor_fl32", out, in);
    MapFloat32(out, in, [](float x) { return floorf(x); });
}

void Execute_Floor_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s: Kernel pointer is null", "Execute_Floor_ref");
    WithHalfWrapper("Floor_fl32", kernel->output[0], kernel->input[0], Floor_fl32);
}

void Log_ref(Tensor* out, const Tensor* in)
{
    if (out == nullptr || in == nullptr) CV_FATAL("Function Log: Tensor pointer is null");
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16) CV_FATAL("Function Log: type is not float32 or float16");
    WithHalfWrapper("Function Log", out, in, [](Tensor* o, const Tensor* i) {
        if (o->dtype != i->dtype) CV_FATAL("Function Log: types of input and output are not the same");
        RequireSameShape("Function Log", o, i);
        MapFloat32(o, i, [](float x) { return logf(x); });
    });
}

// ---- Abs --------------------------------------------------------------

void Abs_f32_ref(void* out, const void* in1, const void*, const BroadcastLevel* levels)
{
    UnaryBlock<uint32_t, ClearSign32>(out, in1, levels);
}

void Abs_f16_ref(void* out, const void* in1, const void*, const BroadcastLevel* levels)
{
    UnaryBlock<uint16_t, ClearSign16>(out, in1, levels);
}

void Abs_ref(Tensor* out, const Tensor* in)
{
    static const char* const kName = "Abs_ref";
    if (out == nullptr) CV_FATAL("%s error: out is NULL", kName);
    if (in == nullptr) CV_FATAL("%s error: in1 is NULL", kName);
    if (out->dtype != in->dtype) CV_FATAL("%s error: input and output types is not equal", kName);
    RequireSameShape(kName, out, in);
    BroadcastLoop loop;
    Broadcast_ref_init(&loop, kName, kAbsFns, out->dtype, 0);
    Broadcast_ref(kName, &loop, out, in, nullptr);
}

void Execute_Abs_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s error: kernel is null", "Execute_Abs_ref");
    CORVUS_LEVEL_NS::Abs_ref(kernel->output[0], kernel->input[0]);
}

// ---- PRelu ------------------------------------------------------------

void prelu_f32_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels)
{
    BinaryBlock<float, PReluF>(out, in1, in2, levels);
}

void prelu_f16_ref(void* out, const void* in1, const void* in2, const BroadcastLevel* levels)
{
    BinaryBlock<uint16_t, PReluH>(out, in1, in2, levels);
}

void Execute_PRelu_ref(NNKernel* kernel)
{
    static const char* const kName = "Execute_PRelu_ref";
    const PReluOperands ops = CheckPReluKernel(kernel, kName);
    Tensor* out = ops.out;
    const Tensor* in = ops.in;
    const Tensor* slopes = ops.slopes;
    RequireSameShape(kName, out, in);
    BroadcastLoop loop;
    Broadcast_ref_init(&loop, kName, kPReluFns, out->dtype, 0);
    Broadcast_ref(kName, &loop, out, in, slopes);
}

// ---- Clip -------------------------------------------------------------

void Clip_ref(Tensor* out, const Tensor* in, const ClipParams* params)
{
    if (out == nullptr || in == nullptr || params == nullptr) CV_FATAL("Function Clip: Tensor pointer is null");
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16 && in->dtype != DT_INT32)
        CV_FATAL("Clip: Unsupported data type");
    if (out->dtype != in->dtype) CV_FATAL("Function Clip: types of input and output are not the same");
    // One flat pass over the elements: both tensors must be dense and equal in size.
    if (!IsSerialData(in) || !IsSerialData(out) || GetTensorDataSize(in) != GetTensorDataSize(out))
        CV_FATAL("Function Clip: input %s and output %s must be dense and of equal size", ShapeText(in).c_str(),
                 ShapeText(out).c_str());
    const uint32_t n = GetTensorDataSize(in);
    if (n > 0 && (in->data == nullptr || out->data == nullptr)) CV_FATAL("Function Clip: tensor data is NULL");
    switch (in->dtype) {
    case DT_FLOAT32: {
        const float lo = params->min.f32, hi = params->max.f32;
        const float* x = (const float*)in->data;
        float* y = (float*)out->data;
        for (uint32_t i = 0; i < n; ++i) y[i] = MaxNum(lo, MinNum(hi, x[i]));
        break;
    }
    case DT_FLOAT16: {
        const float lo = params->min.f32, hi = params->max.f32;
        const uint16_t* x = (const uint16_t*)in->data;
        uint16_t* y = (uint16_t*)out->data;
        float buf[kHalfChunk];
        for (uint32_t i0 = 0; i0 < n; i0 += kHalfChunk) {
            const uint32_t m = n - i0 < kHalfChunk ? n - i0 : kHalfChunk;
            float16_to_float32(x + i0, buf, m);
            for (uint32_t i = 0; i < m; ++i) buf[i] = MaxNum(lo, MinNum(hi, buf[i]));
            float32_to_float16(buf, y + i0, m);
        }
        break;
    }
    default: {
        const int32_t lo = params->min.i32, hi = params->max.i32;
        const int32_t* x = (const int32_t*)in->data;
        int32_t* y = (int32_t*)out->data;
        for (uint32_t i = 0; i < n; ++i) y[i] = x[i] > hi ? hi : (x[i] < lo ? lo : x[i]);
        break;
    }
    }
}

void Execute_Clip_fl32_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Clip: Kernel pointer is null");
    const Tensor* in = kernel->input[0];
    if (in == nullptr) CV_FATAL("Function Clip: Tensor pointer is null");
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16 && in->dtype != DT_INT32)
        CV_FATAL("Clip: Unsupported data type");
    if (kernel->params == nullptr) CV_FATAL("Function Clip: Params pointer is null");
    CORVUS_LEVEL_NS::Clip_ref(kernel->output[0], in, (const ClipParams*)kernel->params);
}

// ---- HardSigmoid --------------------------------------------------------

void HardSigmoid_fl32(Tensor* out, const Tensor* in, const HardSigmoidParams* params)
{
    if (out == nullptr || in == nullptr || params == nullptr) CV_FATAL("HardSigmoid_fl32: Tensor pointer is null");
    if (in->dtype != DT_FLOAT32 || out->dtype != DT_FLOAT32) CV_FATAL("HardSigmoid_fl32: type is not float32");
    RequireSameShape("HardSigmoid_fl32", out, in);
    const float alpha = params->alpha, beta = params->beta;
    // Clamping v with minNum/maxNum in double gives exactly this (a NaN gives
    // 1, -0 gives +0): the clamp of a float to [0, 1] is a float, so eight
    // float lanes with selects compute it branch-free.
    auto clamp = [](auto v) {
        using V = decltype(v);
        const V one = V{} + 1.0f, m = v < one ? v : one;
        return m > V{} ? m : V{};
    };
    if (IsSerialData(in) && IsSerialData(out)) {
        const uint64_t n = GetTensorSize(out);
        const float* x = (const float*)in->data;
        float* y = (float*)out->data;
        uint64_t i = 0;
#if defined(__FMA__)
        const __m256 a8 = _mm256_set1_ps(alpha), b8 = _mm256_set1_ps(beta);
        for (; i + 8 <= n; i += 8) {
            const f32x8 v = (f32x8)_mm256_fmadd_ps(a8, _mm256_loadu_ps(x + i), b8);
            const f32x8 r = clamp(v);
            memcpy(y + i, &r, sizeof(r));
        }
#endif
        for (; i < n; ++i) y[i] = clamp(fmaf(alpha, x[i], beta));
        return;
    }
    MapFloat32(out, in, [alpha, beta, clamp](float x) { return clamp(fmaf(alpha, x, beta)); });
}

void Execute_HardSigmoid_ref(NNKernel* kernel)
{
    static const char* const kName = "Execute_HardSigmoid_ref";
    CV_CHECK_KERNEL(kernel, "%s: Kernel pointer is null", kName);
    Tensor* out = kernel->output[0];
    const Tensor* in = kernel->input[0];
    if (out == nullptr || in == nullptr) CV_FATAL("%s: Tensor pointer is null", kName);
    if (in->dtype != out->dtype) CV_FATAL("%s: Data types of input and output are not the same", kName);
    if (in->ndim != out->ndim) CV_FATAL("%s: Dimensions number of input and output are not the same", kName);
    if (GetTensorDataSize(in) != GetTensorDataSize(out))
        CV_FATAL("%s: Datasizes of input and output are not the same", kName);
    if (kernel->params == nullptr) CV_FATAL("%s: Params pointer is NULL", kName);
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16)
        CV_FATAL("%s: Unsupported data type %s", kName, DataTypeToStr((DataType)in->dtype));
    const HardSigmoidParams* params = (const HardSigmoidParams*)kernel->params;
    WithHalfWrapper(kName, out, in,
                    [params](Tensor* o, const Tensor* i) { CORVUS_LEVEL_NS::HardSigmoid_fl32(o, i, params); });
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, Exp_fl32, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Exp_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Sqrt_fl32, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Sqrt_fl16, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Sqrt_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Erf_fl32, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Erf_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Neg_fl32, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Neg_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Ceil_fl32, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Ceil_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Floor_fl32, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Floor_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Log_ref, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Abs_f32_ref,
                      (void* out, const void* in1, const void* unused2, const BroadcastLevel* levels),
                      (out, in1, unused2, levels))
CORVUS_LEVEL_DISPATCH(void, Abs_f16_ref,
                      (void* out, const void* in1, const void* unused2, const BroadcastLevel* levels),
                      (out, in1, unused2, levels))
CORVUS_LEVEL_DISPATCH(void, Abs_ref, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Abs_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, prelu_f32_ref, (void* out, const void* in1, const void* in2, const BroadcastLevel* levels),
                      (out, in1, in2, levels))
CORVUS_LEVEL_DISPATCH(void, prelu_f16_ref, (void* out, const void* in1, const void* in2, const BroadcastLevel* levels),
                      (out, in1, in2, levels))
CORVUS_LEVEL_DISPATCH(void, Execute_PRelu_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Clip_ref, (Tensor * out, const Tensor* in, const ClipParams* params), (out, in, params))
CORVUS_LEVEL_DISPATCH(void, Execute_Clip_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, HardSigmoid_fl32, (Tensor * out, const Tensor* in, const HardSigmoidParams* params),
                      (out, in, params))
CORVUS_LEVEL_DISPATCH(void, Execute_HardSigmoid_ref, (NNKernel * kernel), (kernel))

// Function sets: found by the kernel tables through their names.
extern "C" const NNKernelFn nn_kernel_fn_Exp_ref = {Execute_Exp_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Sqrt_fl32_ref = {Execute_Sqrt_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Erf_fl32_ref = {Execute_Erf_fl32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Neg_ref = {Execute_Neg_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Ceil_ref = {Execute_Ceil_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Floor_ref = {Execute_Floor_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Abs_ref = {Execute_Abs_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_PRelu_ref = {Execute_PRelu_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Clip_fl32_ref = {Execute_Clip_fl32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_HardSigmoid_ref = {Execute_HardSigmoid_ref, nullptr, nullptr, nullptr};

#endif
