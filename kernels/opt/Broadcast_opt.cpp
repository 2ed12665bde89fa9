// Broadcast arithmetic and Expand. The element functions are those of the
// reference kernels, so every element gets the same value; what differs is
// the walk: dimensions are merged before the loops are built, and for
// float32 a fused clamp is applied in the same pass as the arithmetic
// instead of in a second pass over the output.
#define CORVUS_MODULE "Broadcast_opt"
#include <cstring>

#include "LayersBroadcast.h"
#include "LayersDataMovement.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "VectorLevel.h"

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

const BroadcastOpFn kAddFns[BROADCAST_TYPES_NUM] = {addrelu_f32_ref, addrelu_f16_ref, addrelu_i32_ref, addrelu_u32_ref};
const BroadcastOpFn kSubFns[BROADCAST_TYPES_NUM] = {subrelu_f32_ref, subrelu_f16_ref, subrelu_i32_ref, subrelu_u32_ref};
const BroadcastOpFn kMulFns[BROADCAST_TYPES_NUM] = {mulrelu_f32_ref, mulrelu_f16_ref, mulrelu_i32_ref, mulrelu_u32_ref};
const BroadcastOpFn kDivFns[BROADCAST_TYPES_NUM] = {div_f32_ref, div_f16_ref, div_i32_ref, div_u32_ref};

// Float32 arithmetic with the clamp in the same pass. The clamp compares
// the result's bit pattern as a signed integer, exactly as the reference's
// separate clamp pass does, so the stored bits are the same.
struct AddF {
    float operator()(float a, float b) const { return a + b; }
};
struct SubF {
    float operator()(float a, float b) const { return a - b; }
};
struct MulF {
    float operator()(float a, float b) const { return a * b; }
};
struct DivF {
    float operator()(float a, float b) const { return a / b; }
};

inline int32_t Clamped(float x, int32_t limit)
{
    int32_t v;
    memcpy(&v, &x, sizeof(v));
    v = v < 0 ? 0 : v;
    return v > limit ? limit : v;
}

template <class Op>
void FusedF32(void* out, const void* in1, const void* in2, const BroadcastLevel* lv, uint32_t limitBits)
{
    const uint32_t n = lv[0].count;
    const bool a1 = lv[0].strideIn1 != 0, b1 = lv[0].strideIn2 != 0;
    const int32_t lim = (int32_t)limitBits;
    Op op;
    for (uint32_t p = 0; p < lv[2].count; ++p)
        for (uint32_t r = 0; r < lv[1].count; ++r) {
            int32_t* o = (int32_t*)((uint8_t*)out + (int64_t)p * lv[2].strideOut + (int64_t)r * lv[1].strideOut);
            const float* a =
                (const float*)((const uint8_t*)in1 + (int64_t)p * lv[2].strideIn1 + (int64_t)r * lv[1].strideIn1);
            const float* b =
                (const float*)((const uint8_t*)in2 + (int64_t)p * lv[2].strideIn2 + (int64_t)r * lv[1].strideIn2);
            if (a1 && b1) {
                for (uint32_t i = 0; i < n; ++i) o[i] = Clamped(op(a[i], b[i]), lim);
            } else if (a1) {
                const float bv = *b;
                for (uint32_t i = 0; i < n; ++i) o[i] = Clamped(op(a[i], bv), lim);
            } else if (b1) {
                const float av = *a;
                for (uint32_t i = 0; i < n; ++i) o[i] = Clamped(op(av, b[i]), lim);
            } else {
                const int32_t v = Clamped(op(*a, *b), lim);
                for (uint32_t i = 0; i < n; ++i) o[i] = v;
            }
        }
}

// The fused variant of a float32 element function, when there is one.
BroadcastFusedFn FusedFor(BroadcastOpFn op)
{
    if (op == addrelu_f32_ref) return FusedF32<AddF>;
    if (op == subrelu_f32_ref) return FusedF32<SubF>;
    if (op == mulrelu_f32_ref) return FusedF32<MulF>;
    if (op == div_f32_ref) return FusedF32<DivF>;
    return nullptr;
}

const BroadcastOpFn kExpandFns[BROADCAST_TYPES_NUM] = {expand_f32_ref, expand_f16_ref, expand_f32_ref, expand_f32_ref};

inline uint32_t Extent(const Tensor* t, uint32_t fromRight)
{
    return fromRight < t->ndim ? t->shape.dimension[t->ndim - 1 - fromRight] : 1u;
}
inline int64_t Stride(const Tensor* t, uint32_t fromRight)
{
    return fromRight < t->ndim ? (int64_t)t->stride.dimension[t->ndim - 1 - fromRight] : 0;
}

// The checks of the engine, as messages.
const char* broadcast_opt(const BroadcastOptDesc* desc, const Tensor* out, const Tensor* inA, const Tensor* inB,
                          bool execute)
{
    if (desc == nullptr || desc->op == nullptr) return "descriptor is NULL";
    if (out == nullptr) return "out is NULL";
    if (inA == nullptr) return "inA is NULL";
    if (out->dtype > DT_INT8 || inA->dtype > DT_INT8 || (inB != nullptr && inB->dtype > DT_INT8))
        return "unsupported dtype";
    const uint32_t toOut = DataTypeSize((DataType)out->dtype);
    if (toOut != DataTypeSize((DataType)inA->dtype)) return "toOut != tsInA";
    if (inB != nullptr && toOut != DataTypeSize((DataType)inB->dtype)) return "toOut != tsInB";
    if (out->ndim > MAX_NDIM_VALUE || inA->ndim > MAX_NDIM_VALUE || (inB != nullptr && inB->ndim > MAX_NDIM_VALUE))
        return "ndim > MAX_NDIM_VALUE";
    for (uint32_t r = 0; r < MAX_NDIM_VALUE; ++r) {
        const uint32_t sizeOut = Extent(out, r), sizeInA = Extent(inA, r);
        const uint32_t sizeInB = inB != nullptr ? Extent(inB, r) : 1;
        if (sizeOut < 1) return "sizeOut < 1";
        if (sizeInA < 1) return "sizeInA < 1";
        if (sizeInB < 1) return "sizeInB < 1";
        if (sizeInA != sizeOut && sizeInA != 1) return "sizeOut != sizeInA";
        if (sizeInB != sizeOut && sizeInB != 1) return "sizeOut != sizeInB";
    }
    if (execute) {
        if (out->data == nullptr) return "out->data is NULL";
        if (inA->data == nullptr) return "inA->data is NULL";
        if (inB != nullptr && inB->data == nullptr) return "inB->data is NULL";
    }
    return nullptr;
}

// Loop levels as the reference builds them: level 0 the contiguous run (or
// a run of 1), then one level per remaining merged dimension, at least 3.
struct Levels {
    uint32_t num = 0;
    BroadcastLevel lv[BROADCAST_MAX_LEVELS];
};

Levels MakeLevels(const Tensor* out, const Tensor* inA, const Tensor* inB)
{
    struct Dim {
        uint64_t n;
        int64_t so, sa, sb;
    };
    const int64_t es = DataTypeSize((DataType)out->dtype);
    Dim dims[MAX_NDIM_VALUE];
    uint32_t nd = 0;
    for (uint32_t r = 0; r < MAX_NDIM_VALUE; ++r) {
        const uint32_t n = Extent(out, r);
        if (n <= 1) continue;
        const Dim d = {n, Stride(out, r) * es, Extent(inA, r) == 1 ? 0 : Stride(inA, r) * es,
                       inB == nullptr || Extent(inB, r) == 1 ? 0 : Stride(inB, r) * es};
        if (nd > 0) {
            Dim& p = dims[nd - 1];
            const uint64_t merged = p.n * n;
            if (merged <= UINT32_MAX && d.so == p.so * (int64_t)p.n && d.sa == p.sa * (int64_t)p.n &&
                d.sb == p.sb * (int64_t)p.n) {
                p.n = merged;
                continue;
            }
        }
        dims[nd++] = d;
    }
    Levels L;
    uint32_t next = 0;
    if (nd > 0 && dims[0].so == es && (dims[0].sa == 0 || dims[0].sa == es) && (dims[0].sb == 0 || dims[0].sb == es)) {
        L.lv[L.num++] = {(uint32_t)dims[0].n, dims[0].so, dims[0].sa, dims[0].sb};
        next = 1;
    } else {
        L.lv[L.num++] = {1, es, 0, 0};
    }
    for (; next < nd; ++next) L.lv[L.num++] = {(uint32_t)dims[next].n, dims[next].so, dims[next].sa, dims[next].sb};
    while (L.num < 3) L.lv[L.num++] = {1, 0, 0, 0};
    return L;
}

// Streams whole rows in main memory: one element-function call per block
// of the three innermost levels, an odometer over the levels beyond.
void mm_Broadcast_opt(const BroadcastOptDesc* desc, Tensor* out, const Tensor* inA, const Tensor* inB)
{
    const Levels L = MakeLevels(out, inA, inB);
    const BroadcastLevel* lv = L.lv;
    uint32_t idx[BROADCAST_MAX_LEVELS] = {};
    uint8_t* o = (uint8_t*)out->data;
    const uint8_t* a = (const uint8_t*)inA->data;
    // A one-input function never reads input 2: it gets input 1's address
    // with strides 0, so the walk never steps a null pointer.
    const uint8_t* b = inB != nullptr ? (const uint8_t*)inB->data : a;
    for (;;) {
        if (desc->fused != nullptr) {
            desc->fused(o, a, b, lv, desc->actLimit);
        } else {
            desc->op(o, a, b, lv);
            if (desc->act != nullptr)
                desc->act(o, lv[0].count, lv[1].count, lv[1].strideOut, lv[2].count, lv[2].strideOut, desc->actLimit);
        }
        uint32_t k = 3;
        for (; k < L.num; ++k) {
            o += lv[k].strideOut;
            a += lv[k].strideIn1;
            b += lv[k].strideIn2;
            if (++idx[k] < lv[k].count) break;
            idx[k] = 0;
            o -= lv[k].strideOut * (int64_t)lv[k].count;
            a -= lv[k].strideIn1 * (int64_t)lv[k].count;
            b -= lv[k].strideIn2 * (int64_t)lv[k].count;
        }
        if (k >= L.num) return;
    }
}

void Arithmetic(const char* name, const BroadcastOpFn* table, uint32_t cores, Tensor* out, const Tensor* in1,
                const Tensor* in2, const BroadcastParams* params)
{
    if (out == nullptr) CV_FATAL("%s error: out is NULL", name);
    if (in1 == nullptr) CV_FATAL("%s error: in1 is NULL", name);
    if (in2 == nullptr) CV_FATAL("%s error: in2 is NULL", name);
    if (out->dtype != in1->dtype || out->dtype != in2->dtype)
        CV_FATAL("%s error: input and output types is not equal", name);
    BroadcastOptDesc desc;
    Broadcast_opt_init(&desc, table, out->dtype, params != nullptr ? params->aName : (uint32_t)None);
    Broadcast_opt(0, cores, &desc, out, in1, in2);
}

template <void (*Work)(uint32_t, Tensor*, const Tensor*, const Tensor*, const BroadcastParams*)>
void ExecuteArithmetic(NNKernel* kernel, const char* name)
{
    CV_CHECK_KERNEL(kernel, "%s error: kernel is null", name);
    if (kernel->params == nullptr) CV_FATAL("%s error: params is NULL", name);
    if (kernel->inputsNum < 2 || kernel->outputsNum < 1) CV_FATAL("%s error: kernel needs 2 inputs and 1 output", name);
    Work(1, kernel->output[0], kernel->input[0], kernel->input[1], (const BroadcastParams*)kernel->params);
}

}  // namespace

void Broadcast_opt_init(BroadcastOptDesc* desc, const BroadcastOpFn table[BROADCAST_TYPES_NUM], uint32_t dtype,
                        uint32_t aName)
{
    // Checked here so that failures name this kernel's source; the
    // reference then picks the same element function and clamp.
    static const char* const kSelf = "Broadcast_opt_init";
    if (dtype >= BROADCAST_TYPES_NUM || table[dtype] == nullptr)
        CV_FATAL("%s error: unsupported dType=%d", kSelf, (int)dtype);
    if (aName != None && aName != ReLU && aName != ReLU6 && aName != Linear)
        CV_FATAL("%s error: unsupported aName=%d", kSelf, (int)aName);
    BroadcastLoop loop;
    Broadcast_ref_init(&loop, kSelf, table, dtype, aName);
    desc->op = loop.op;
    desc->act = loop.act;
    desc->actLimit = loop.actLimit;
    desc->fused = loop.act == relu_f32_ref ? FusedFor(loop.op) : nullptr;
}

const char* Broadcast_opt(int32_t mode, uint32_t cores, const BroadcastOptDesc* desc, Tensor* out, const Tensor* inA,
                          const Tensor* inB)
{
    (void)cores;  // one core: the whole block runs here
    const char* reason = broadcast_opt(desc, out, inA, inB, mode >= 0);
    if (mode < 0) return reason;
    if (reason != nullptr) CV_FATAL("%s error: %s", "Broadcast_opt", reason);
    mm_Broadcast_opt(desc, out, inA, inB);
    return nullptr;
}

void AddBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("AddBroadcast_opt", kAddFns, cores, out, in1, in2, params);
}
void SubBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("SubBroadcast_opt", kSubFns, cores, out, in1, in2, params);
}
void MulBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("MulBroadcast_opt", kMulFns, cores, out, in1, in2, params);
}
void DivBroadcast_opt(uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("DivBroadcast_opt", kDivFns, cores, out, in1, in2, params);
}

void Expand_opt(Tensor* out, const Tensor* in)
{
    if (out == nullptr) CV_FATAL("%s error: out is NULL", "Expand_opt");
    if (in == nullptr) CV_FATAL("%s error: in1 is NULL", "Expand_opt");
    if (out->dtype != in->dtype) CV_FATAL("%s error: input and output types is not equal", "Expand_opt");
    if (out->dtype == DT_UINT8 || out->dtype == DT_INT8) {
        // One-byte elements (boolean masks) have no element function; the
        // reference expands them, and a float32 model binds this kernel to
        // every Expand layer whatever its element type.
        Expand_ref(out, in);
        return;
    }
    BroadcastOptDesc desc;
    CORVUS_LEVEL_NS::Broadcast_opt_init(&desc, kExpandFns, out->dtype, 0);
    CORVUS_LEVEL_NS::Broadcast_opt(0, 1, &desc, out, in, nullptr);
}

void Execute_AddBroadcast_opt(NNKernel* k) { ExecuteArithmetic<AddBroadcast_opt>(k, "Execute_AddBroadcast_opt"); }
void Execute_SubBroadcast_opt(NNKernel* k) { ExecuteArithmetic<SubBroadcast_opt>(k, "Execute_SubBroadcast_opt"); }
void Execute_MulBroadcast_opt(NNKernel* k) { ExecuteArithmetic<MulBroadcast_opt>(k, "Execute_MulBroadcast_opt"); }
void Execute_DivBroadcast_opt(NNKernel* k) { ExecuteArithmetic<DivBroadcast_opt>(k, "Execute_DivBroadcast_opt"); }

void Execute_Expand_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s error: kernel is null", "Execute_Expand_opt");
    if (kernel->inputsNum < 1 || kernel->outputsNum < 1)
        CV_FATAL("%s error: kernel needs an input and an output", "Execute_Expand_opt");
    CORVUS_LEVEL_NS::Expand_opt(kernel->output[0], kernel->input[0]);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, Broadcast_opt_init,
                      (BroadcastOptDesc * desc, const BroadcastOpFn table[BROADCAST_TYPES_NUM], uint32_t dtype,
                       uint32_t aName),
                      (desc, table, dtype, aName))
CORVUS_LEVEL_DISPATCH(const char*, Broadcast_opt,
                      (int32_t mode, uint32_t cores, const BroadcastOptDesc* desc, Tensor* out, const Tensor* inA,
                       const Tensor* inB),
                      (mode, cores, desc, out, inA, inB))
CORVUS_LEVEL_DISPATCH(void, AddBroadcast_opt,
                      (uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                       const BroadcastParams* params),
                      (cores, out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, SubBroadcast_opt,
                      (uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                       const BroadcastParams* params),
                      (cores, out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, MulBroadcast_opt,
                      (uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                       const BroadcastParams* params),
                      (cores, out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, DivBroadcast_opt,
                      (uint32_t cores, Tensor* out, const Tensor* in1, const Tensor* in2,
                       const BroadcastParams* params),
                      (cores, out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, Expand_opt, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_AddBroadcast_opt, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Execute_SubBroadcast_opt, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Execute_MulBroadcast_opt, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Execute_DivBroadcast_opt, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Execute_Expand_opt, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_AddBroadcast_opt = {Execute_AddBroadcast_opt, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_SubBroadcast_opt = {Execute_SubBroadcast_opt, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_MulBroadcast_opt = {Execute_MulBroadcast_opt, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_DivBroadcast_opt = {Execute_DivBroadcast_opt, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Expand_opt = {Execute_Expand_opt, nullptr, nullptr, nullptr};

#endif
