// The float32 activation kernel, its dispatcher, the fast exponential and
// the two half-precision lookup tables.
#define CORVUS_MODULE "Activation_ref"
#include <cmath>
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "ref/ElementWalk.h"
#include "VectorLevel.h"

using corvus::MapFloat32;
using corvus::ShapeText;

namespace {

double SigmoidExact(double x) { return 1.0 / (std::exp(-x) + 1.0); }

// x / (1 + e^-x) tends to -0 as x goes to -infinity; the formula itself would
// give -inf / inf there.
double XsigmXExact(double x)
{
    if (std::isinf(x) && x < 0) return -0.0;
    return x / (std::exp(-x) + 1.0);
}

}  // namespace

// The tables are built once, by the baseline copy: code that runs when the
// library is loaded must not need a higher level.
#if CORVUS_VECTOR_LEVEL == 0

namespace {

// ---- Half-precision tables --------------------------------------------

// Round a double to the nearest half, ties to even, directly (no float32
// step, which could round twice). NaN is 0x7FFF with the sign.
uint16_t DoubleToHalf(double v)
{
    const uint16_t sign = std::signbit(v) ? 0x8000u : 0u;
    if (std::isnan(v)) return sign | 0x7FFFu;
    const double a = std::fabs(v);
    if (a >= 65520.0) return sign | 0x7C00u;  // halfway to 2^16 and above round to infinity
    if (a < 0x1p-14) {
        // Subnormal: units of 2^-24; rounding up to 1024 yields the smallest normal.
        return sign | (uint16_t)std::nearbyint(a * 0x1p24);
    }
    int e2;
    std::frexp(a, &e2);  // a = m * 2^e2, m in [0.5, 1)
    int exponent = e2 - 1;
    double q = std::nearbyint(std::ldexp(a, 10 - exponent));  // in [1024, 2048]
    if (q >= 2048.0) {
        q = 1024.0;
        ++exponent;
    }
    return sign | (uint16_t)(((exponent + 15) << 10) | ((uint32_t)q - 1024u));
}

uint16_t gSigmoidTable[ACTIVATION_TABLE_SIZE];
uint16_t gXsigmXTable[ACTIVATION_TABLE_SIZE];

// Fills both tables when the library is loaded, from their defining rule.
struct TableBuilder {
    TableBuilder()
    {
        for (uint32_t h = 0; h < ACTIVATION_TABLE_SIZE; ++h) {
            const uint16_t bits = (uint16_t)h;
            float x;
            float16_to_float32(&bits, &x, 1);
            if (x != x) {
                gSigmoidTable[h] = gXsigmXTable[h] = (uint16_t)(0x7FFFu | (bits & 0x8000u));
                continue;
            }
            gSigmoidTable[h] = DoubleToHalf(SigmoidExact(x));
            gXsigmXTable[h] = DoubleToHalf(XsigmXExact(x));
        }
    }
};
const TableBuilder gTableBuilder;

}  // namespace

extern "C" const uint16_t* const Activation_table_Sigmoid = gSigmoidTable;
extern "C" const uint16_t* const Activation_table_XsigmX = gXsigmXTable;

#endif

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

// Beyond this distance the logistic function is 0 or 1 in float32, and
// Softmax terms this far below the row maximum are taken as 0.
constexpr double kExpCutoff = 16.11;

inline float BitsToFloat(uint32_t u)
{
    float f;
    memcpy(&f, &u, sizeof(f));
    return f;
}

// Truncation toward zero to a signed integer, keeping the low 32 bits.
// Values outside the 64-bit range saturate instead of being undefined.
inline uint32_t TruncLow32(float v)
{
    if (v != v) return 0;
    if (v >= 0x1p63f) return 0xFFFFFFFFu;
    if (v < -0x1p63f) return 0u;
    return (uint32_t)(int64_t)v;
}

// ---- Activation kinds -------------------------------------------------

inline float SigmoidWith(float x, float (*e)(float))
{
    if ((double)x > kExpCutoff) return 1.0f;
    if ((double)x < -kExpCutoff) return 0.0f;
    return (float)(1.0 / ((double)e(-x) + 1.0));
}
float LibExp(float x) { return expf(x); }

void SoftmaxRows(Tensor* out, const Tensor* in)
{
    CV_CHECK_MSG(in->ndim >= 2 && in->ndim <= 5, "Unexpected ndim value");
    CV_CHECK(in->layout == DL_NHWC || in->layout == DL_NC || in->layout == DL_NONE);
    const uint32_t nd = in->ndim;
    const uint32_t len = in->shape.dimension[nd - 1];
    uint64_t rows = 1;
    for (uint32_t k = 0; k + 1 < nd; ++k) rows *= in->shape.dimension[k];
    if (rows == 0 || len == 0) return;
    if (in->stride.dimension[nd - 1] != 1 || out->stride.dimension[nd - 1] != 1)
        CV_FATAL("Softmax: the last dimension must be contiguous");

    // Rows are visited through the outer dimensions with each tensor's own
    // strides (for dense tensors: steps of the second-to-last stride).
    uint32_t idx[MAX_NDIM_VALUE] = {0};
    for (uint64_t row = 0; row < rows; ++row) {
        size_t oi = 0, oo = 0;
        for (uint32_t k = 0; k + 1 < nd; ++k) {
            oi += (size_t)idx[k] * in->stride.dimension[k];
            oo += (size_t)idx[k] * out->stride.dimension[k];
        }
        const float* x = (const float*)in->data + oi;
        float* y = (float*)out->data + oo;

        float m = x[0];
        for (uint32_t i = 1; i < len; ++i)
            if (x[i] > m) m = x[i];
        float s = 0.0f;
        for (uint32_t i = 0; i < len; ++i) {
            const float d = x[i] - m;
            const float t = (double)d <= -kExpCutoff ? 0.0f : expf_fast(d);
            y[i] = t;
            s += t;
        }
        const float r = 1.0f / s;
        for (uint32_t i = 0; i < len; ++i) y[i] = r * y[i];

        for (int k = (int)nd - 2; k >= 0; --k) {
            if (++idx[k] < in->shape.dimension[k]) break;
            idx[k] = 0;
        }
    }
}

void RequireFloat32(const Tensor* in, uint32_t type)
{
    if (in->dtype != DT_FLOAT32)
        CV_FATAL("Unsupported data type %s for activation %s", DataTypeToStr((DataType)in->dtype),
                 ActivationNameString[type]);
}

}  // namespace

float expf_fast(float x)
{
    const float A = 6051102.0f;
    const float B = 1056478208.0f;  // 0x3EF89400
    const float p = fmaf(A, x, B);
    const float q = fmaf(-A, x, B);
    return BitsToFloat(TruncLow32(p)) / BitsToFloat(TruncLow32(q));
}

void ActivationByTable_ref(Tensor* dst, const Tensor* src, const uint16_t* table)
{
    static const char* const kName = "ActivationByTable_ref";
    CV_CHECK(dst != NULL);
    CV_CHECK(src != NULL);
    CV_CHECK(dst->dtype == src->dtype);
    CV_CHECK(dst->dtype == DT_FLOAT16 || dst->dtype == DT_FLOAT32);
    CV_CHECK(dst->ndim == src->ndim);
    CV_CHECK(dst->ndim > 0 && dst->ndim <= MAX_NDIM_VALUE);
    if (!corvus::SameShape(dst, src))
        CV_FATAL("%s: shapes %s and %s are not the same", kName, ShapeText(src).c_str(), ShapeText(dst).c_str());
    const bool sigmoid = table == Activation_table_Sigmoid;
    if (!sigmoid && table != Activation_table_XsigmX) CV_FATAL("Unknow table %p for %s", (const void*)table, kName);
    const int typeSize = DataTypeSize((DataType)dst->dtype);

    corvus::StridedWalk<2> w;
    const Tensor* const t[2] = {dst, src};
    corvus::PrepareWalk(w, t);
    uint8_t* const base[2] = {(uint8_t*)dst->data, (uint8_t*)src->data};
    if (typeSize == 2) {
        corvus::RunWalk(w, base, [table](uint8_t* const* p) {
            uint16_t h;
            memcpy(&h, p[1], 2);
            memcpy(p[0], &table[h], 2);
        });
    } else if (typeSize == 4) {
        corvus::RunWalk(w, base, [sigmoid](uint8_t* const* p) {
            float x;
            memcpy(&x, p[1], 4);
            const float y = (float)(sigmoid ? SigmoidExact(x) : XsigmXExact(x));
            memcpy(p[0], &y, 4);
        });
    } else {
        CV_FATAL("Bad typeSize=%d for %s", typeSize, kName);
    }
}

void Activation_fl32_ref(Tensor* out, const Tensor* in, const ActivationParams* params)
{
    CV_CHECK_PTR(out);
    CV_CHECK_PTR(in);
    CV_CHECK_PTR(params);
    if (out->dtype != in->dtype) CV_FATAL("out and in tensors have different dtype");
    if (!corvus::SameShape(out, in))
        CV_FATAL("Activation: shapes of input %s and output %s are not the same", ShapeText(in).c_str(),
                 ShapeText(out).c_str());
    if (GetTensorSize(in) == 0) return;
    if (in->data == nullptr || out->data == nullptr) CV_FATAL("Activation: tensor data is NULL");
    const uint32_t type = params->type;
    switch (type) {
        case None:
        case Linear:
            if (in == out) return;
            if (in->ndim == 0)
                memcpy(out->data, in->data, DataTypeSize((DataType)in->dtype));
            else
                CopyTensorData(in, out);
            return;
        case ReLU:
            RequireFloat32(in, type);
            // x * 0 keeps NaN and gives -0.0 for negative inputs.
            MapFloat32(out, in, [](float x) { return x > 0.0f ? x : x * 0.0f; });
            return;
        case ReLU6:
            RequireFloat32(in, type);
            MapFloat32(out, in, [](float x) {
                const float y = x > 0.0f ? x : x * 0.0f;
                return y > 6.0f ? 6.0f : y;
            });
            return;
        case LeakyReLU: {
            RequireFloat32(in, type);
            const float alpha = params->alpha;
            MapFloat32(out, in, [alpha](float x) { return x > 0.0f ? x : x * alpha; });
            return;
        }
        case Tanh:
            RequireFloat32(in, type);
            MapFloat32(out, in, [](float x) {
                const float s = expf(-2.0f * x) + 1.0f;
                return (float)(2.0 / (double)s - 1.0);
            });
            return;
        case Sigmoid:
            RequireFloat32(in, type);
            if (IsSerialData(in) && IsSerialData(out)) {
                MapFloat32(out, in, [](float x) { return SigmoidWith(x, LibExp); });
                return;
            }
            if (in->ndim > 4) CV_FATAL("Sigmoid: strided tensors of more than 4 dimensions are not supported");
            MapFloat32(out, in, [](float x) { return SigmoidWith(x, expf_fast); });
            return;
        case Log:
            Log_ref(out, in);
            return;
        case XmulSigmX:
            CORVUS_LEVEL_NS::ActivationByTable_ref(out, in, Activation_table_XsigmX);
            return;
        case Softmax:
            RequireFloat32(in, type);
            SoftmaxRows(out, in);
            return;
        case eLU:
            CV_FATAL("deprecated implementation");
        default:
            CV_FATAL("Unsupported activation layer %d for float32", (int)type);
    }
}

void Execute_Activation_fl32_ref(NNKernel* kernel)
{
    if (kernel == nullptr) CV_FATAL("Activation: Kernel pointer is null");
    if (kernel->params == nullptr) CV_FATAL("Activation: Params pointer is null");
    CORVUS_LEVEL_NS::Activation_fl32_ref(kernel->output[0], kernel->input[0], (const ActivationParams*)kernel->params);
}

void Execute_Activation(NNKernel* kernel)
{
    if (kernel == nullptr) CV_FATAL("Activation: Kernel pointer is null");
    const NNKernelFn* fn = nn_kernel_fn_list[kfname_Activation_fl32_ref];
    if (kernel->inputsNum < 1 || kernel->input[0] == nullptr || kernel->input[0]->dtype != DT_FLOAT32 ||
        fn == nullptr || fn->execute == nullptr)
        CV_FATAL("Cannot determine activation function");
    if (fn->init != nullptr) fn->init(kernel);
    fn->execute(kernel);
    if (fn->destroy != nullptr) fn->destroy(kernel);
}

}  // namespace CORVUS_LEVEL_NS
// Function sets: found by the kernel tables through their names.

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(float, expf_fast, (float x), (x))
CORVUS_LEVEL_DISPATCH(void, ActivationByTable_ref,
                      (Tensor* dst, const Tensor* src, const uint16_t* table),
                      (dst, src, table))
CORVUS_LEVEL_DISPATCH(void, Activation_fl32_ref,
                      (Tensor* out, const Tensor* in, const ActivationParams* params),
                      (out, in, params))
CORVUS_LEVEL_DISPATCH(void, Execute_Activation_fl32_ref, (NNKernel* kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_Activation, (NNKernel* kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_Activation_fl32_ref = {Execute_Activation_fl32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Activation = {Execute_Activation, nullptr, nullptr, nullptr};

#endif
