// Broadcast arithmetic, comparison and logic: the loop-level engine with
// its element and clamp functions, and the reference kernels built on it.
#define CORVUS_MODULE "Broadcast_ref"
#include <cmath>
#include <cstring>

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "common/ElementWalk.h"
#include "VectorLevel.h"

using corvus::PrepareWalk;
using corvus::RunWalk;
using corvus::ShapeText;
using corvus::StridedWalk;

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

// ---- Element functions ------------------------------------------------

// Float16 runs are widened in chunks of this many elements.
constexpr uint32_t kHalfChunk = 64;

inline float HalfToFloat(uint16_t h)
{
    float f;
    float16_to_float32(&h, &f, 1);
    return f;
}

// One run of level 0: both inputs contiguous, or one of them repeated.
// The choice is made once per block, outside the loops.
template <class T, class Op> void RunBlock(void* out, const void* in1, const void* in2, const BroadcastLevel* lv)
{
    const uint32_t n = lv[0].count;
    const bool a1 = lv[0].strideIn1 != 0, b1 = lv[0].strideIn2 != 0;
    Op op;
    for (uint32_t p = 0; p < lv[2].count; ++p) {
        uint8_t* op_ = (uint8_t*)out + (int64_t)p * lv[2].strideOut;
        const uint8_t* ap = (const uint8_t*)in1 + (int64_t)p * lv[2].strideIn1;
        const uint8_t* bp = (const uint8_t*)in2 + (int64_t)p * lv[2].strideIn2;
        for (uint32_t r = 0; r < lv[1].count; ++r) {
            T* o = (T*)(op_ + (int64_t)r * lv[1].strideOut);
            const T* a = (const T*)(ap + (int64_t)r * lv[1].strideIn1);
            const T* b = (const T*)(bp + (int64_t)r * lv[1].strideIn2);
            if (a1 && b1) {
                for (uint32_t i = 0; i < n; ++i) o[i] = op(a[i], b[i]);
            } else if (a1) {
                const T bv = *b;
                for (uint32_t i = 0; i < n; ++i) o[i] = op(a[i], bv);
            } else if (b1) {
                const T av = *a;
                for (uint32_t i = 0; i < n; ++i) o[i] = op(av, b[i]);
            } else {
                const T v = op(*a, *b);
                for (uint32_t i = 0; i < n; ++i) o[i] = v;
            }
        }
    }
}

// Float16: each chunk of the run is widened to float32, computed there and
// rounded back to half.
template <class Op> void RunBlockHalf(void* out, const void* in1, const void* in2, const BroadcastLevel* lv)
{
    const uint32_t n = lv[0].count;
    const bool a1 = lv[0].strideIn1 != 0, b1 = lv[0].strideIn2 != 0;
    Op op;
    float fa[kHalfChunk], fb[kHalfChunk], fo[kHalfChunk];
    for (uint32_t p = 0; p < lv[2].count; ++p) {
        uint8_t* op_ = (uint8_t*)out + (int64_t)p * lv[2].strideOut;
        const uint8_t* ap = (const uint8_t*)in1 + (int64_t)p * lv[2].strideIn1;
        const uint8_t* bp = (const uint8_t*)in2 + (int64_t)p * lv[2].strideIn2;
        for (uint32_t r = 0; r < lv[1].count; ++r) {
            uint16_t* o = (uint16_t*)(op_ + (int64_t)r * lv[1].strideOut);
            const uint16_t* a = (const uint16_t*)(ap + (int64_t)r * lv[1].strideIn1);
            const uint16_t* b = (const uint16_t*)(bp + (int64_t)r * lv[1].strideIn2);
            const float as = a1 ? 0.0f : HalfToFloat(*a);
            const float bs = b1 ? 0.0f : HalfToFloat(*b);
            for (uint32_t i0 = 0; i0 < n; i0 += kHalfChunk) {
                const uint32_t m = n - i0 < kHalfChunk ? n - i0 : kHalfChunk;
                if (a1) float16_to_float32(a + i0, fa, m);
                if (b1) float16_to_float32(b + i0, fb, m);
                for (uint32_t i = 0; i < m; ++i) fo[i] = op(a1 ? fa[i] : as, b1 ? fb[i] : bs);
                float32_to_float16(fo, o + i0, m);
            }
        }
    }
}

struct AddF {
    template <class T> T operator()(T a, T b) const { return a + b; }
};
struct SubF {
    template <class T> T operator()(T a, T b) const { return a - b; }
};
struct MulF {
    template <class T> T operator()(T a, T b) const { return a * b; }
};
struct DivF {
    float operator()(float a, float b) const { return a / b; }
};
// Integers wrap like the machine's arithmetic (done unsigned, so it is defined).
struct AddI {
    int32_t operator()(int32_t a, int32_t b) const { return (int32_t)((uint32_t)a + (uint32_t)b); }
};
struct SubI {
    int32_t operator()(int32_t a, int32_t b) const { return (int32_t)((uint32_t)a - (uint32_t)b); }
};
struct MulI {
    int32_t operator()(int32_t a, int32_t b) const { return (int32_t)((uint32_t)a * (uint32_t)b); }
};
struct DivI {
    int32_t operator()(int32_t a, int32_t b) const
    {
        if (b == 0) return 0;
        if (b == -1) return (int32_t)(0u - (uint32_t)a);
        return a / b;
    }
};
struct DivU {
    uint32_t operator()(uint32_t a, uint32_t b) const { return b == 0 ? 0u : a / b; }
};

// Fused clamp: compares elements as integers of width T (bit patterns for
// floats), so negative zero and negative NaNs become 0 and positive NaNs
// become the limit.
template <class T>
void ClampBlock(void* data, uint32_t count, uint32_t rows, int64_t rowStep, uint32_t planes, int64_t planeStep,
                uint32_t limit)
{
    const T lim = (T)limit;
    for (uint32_t p = 0; p < planes; ++p)
        for (uint32_t r = 0; r < rows; ++r) {
            T* x = (T*)((uint8_t*)data + (int64_t)p * planeStep + (int64_t)r * rowStep);
            // Two independent selections (max, then min) keep the loop
            // branch-free so it vectorises.
            for (uint32_t i = 0; i < count; ++i) {
                T v = x[i];
                v = v < (T)0 ? (T)0 : v;
                x[i] = v > lim ? lim : v;
            }
        }
}

// ---- Fused activation tables -----------------------------------------

struct ActEntry {
    BroadcastActFn fn;
    uint32_t limit;
};
const ActEntry kReluActs[BROADCAST_TYPES_NUM] = {
    {relu_f32_ref, 0x7F800000u},  // +infinity
    {relu_f16_ref, 0x7C00u},      // +infinity
    {relu_i32_ref, 2147483647u},
    {relu_u32_ref, 4294967295u},
};
const ActEntry kRelu6Acts[BROADCAST_TYPES_NUM] = {
    {relu_f32_ref, 0x40C00000u},  // 6.0f
    {relu_f16_ref, 0x4600u},      // 6.0 in half
    {relu_i32_ref, 6u},
    {relu_u32_ref, 6u},
};

const BroadcastOpFn kAddFns[BROADCAST_TYPES_NUM] = {addrelu_f32_ref, addrelu_f16_ref, addrelu_i32_ref, addrelu_u32_ref};
const BroadcastOpFn kSubFns[BROADCAST_TYPES_NUM] = {subrelu_f32_ref, subrelu_f16_ref, subrelu_i32_ref, subrelu_u32_ref};
const BroadcastOpFn kMulFns[BROADCAST_TYPES_NUM] = {mulrelu_f32_ref, mulrelu_f16_ref, mulrelu_i32_ref, mulrelu_u32_ref};
const BroadcastOpFn kDivFns[BROADCAST_TYPES_NUM] = {div_f32_ref, div_f16_ref, div_i32_ref, div_u32_ref};

// ---- Level construction -----------------------------------------------

struct Dim {
    uint64_t count;
    int64_t so, sa, sb;
};

// Extent and byte stride of one operand at a right-aligned position; checks
// that the extent broadcasts onto the output's.
void OperandDim(const char* name, const char* which, const Tensor* t, const Tensor* out, uint32_t r, uint32_t n,
                int64_t* stride)
{
    const uint32_t e = corvus::AlignedExtent(t, r);
    if (e != n && e != 1)
        CV_FATAL("%s error: %s shape %s does not broadcast to out shape %s", name, which, ShapeText(t).c_str(),
                 ShapeText(out).c_str());
    *stride = e == 1 ? 0 : (int64_t)corvus::AlignedStride(t, r) * DataTypeSize((DataType)t->dtype);
}

void ArithmeticChecks(const char* name, const Tensor* out, const Tensor* in1, const Tensor* in2)
{
    if (out == nullptr) CV_FATAL("%s error: out is NULL", name);
    if (in1 == nullptr) CV_FATAL("%s error: in1 is NULL", name);
    if (in2 == nullptr) CV_FATAL("%s error: in2 is NULL", name);
    if (out->dtype != in1->dtype || out->dtype != in2->dtype)
        CV_FATAL("%s error: input and output types is not equal", name);
}

void Arithmetic(const char* name, const BroadcastOpFn* table, Tensor* out, const Tensor* in1, const Tensor* in2,
                const BroadcastParams* params)
{
    ArithmeticChecks(name, out, in1, in2);
    BroadcastLoop loop;
    Broadcast_ref_init(&loop, name, table, out->dtype, params != nullptr ? params->aName : (uint32_t)None);
    Broadcast_ref(name, &loop, out, in1, in2);
}

template <void (*Work)(Tensor*, const Tensor*, const Tensor*, const BroadcastParams*)>
void ExecuteArithmetic(NNKernel* kernel, const char* name)
{
    CV_CHECK_KERNEL(kernel, "%s error: kernel is null", name);
    if (kernel->params == nullptr) CV_FATAL("%s error: params is NULL", name);
    if (kernel->inputsNum < 2 || kernel->outputsNum < 1) CV_FATAL("%s error: kernel needs 2 inputs and 1 output", name);
    Work(kernel->output[0], kernel->input[0], kernel->input[1], (const BroadcastParams*)kernel->params);
}

// Checks presence and data of the operands of a six-dimensional walk and
// prepares it; label is the message prefix ("Function Pow", ...).
template <int N> void PrepareChecked(StridedWalk<N>& w, const char* label, const Tensor* const (&t)[N])
{
    for (int i = 0; i < N; ++i)
        if (t[i] == nullptr) CV_FATAL("%s: Tensor pointer is null", label);
    if (!PrepareWalk(w, t)) {
        std::string shapes;
        for (int i = 1; i < N; ++i) shapes += ShapeText(t[i]);
        CV_FATAL("%s: Input shapes %s do not broadcast to the output shape %s", label, shapes.c_str(),
                 ShapeText(t[0]).c_str());
    }
    if (w.total == 0) return;
    for (int i = 0; i < N; ++i)
        if (t[i]->data == nullptr) CV_FATAL("%s: Tensor data pointer is null", label);
}

template <int N> void Bases(uint8_t* (&base)[N], const Tensor* const (&t)[N])
{
    for (int i = 0; i < N; ++i) base[i] = (uint8_t*)t[i]->data;
}

template <class T> inline T Load(const uint8_t* p)
{
    T v;
    memcpy(&v, p, sizeof(T));
    return v;
}
template <class T> inline void Store(uint8_t* p, T v) { memcpy(p, &v, sizeof(T)); }

// Float32 tolerance of Equal: relative to the operands' magnitude, with the
// smallest normal as the floor.
inline bool NearlyEqual(float a, float b)
{
    if (a == b) return true;
    const double sum = std::fabs((double)a) + std::fabs((double)b);
    const float scaled = (float)(sum < 3.4028234663852886e38 ? sum : 3.4028234663852886e38) * 1.1920929e-7f;
    const double bound = (double)scaled > 1.1754943508222875e-38 ? (double)scaled : 1.1754943508222875e-38;
    return std::fabs((double)a - (double)b) < bound;
}

template <bool Greater> void CompareFloat(const char* label, Tensor* out, const Tensor* in1, const Tensor* in2)
{
    StridedWalk<3> w;
    const Tensor* const t[3] = {out, in1, in2};
    PrepareChecked(w, label, t);
    uint8_t* base[3];
    Bases(base, t);
    RunWalk(w, base, [](uint8_t* const* p) {
        const float a = Load<float>(p[1]), b = Load<float>(p[2]);
        *p[0] = (uint8_t)(Greater ? a > b : a < b);
    });
}

}  // namespace

// ---- Engine -----------------------------------------------------------

void Broadcast_ref_init(BroadcastLoop* loop, const char* name, const BroadcastOpFn table[BROADCAST_TYPES_NUM],
                        uint32_t dtype, uint32_t aName)
{
    memset(loop, 0, sizeof(*loop));
    if (dtype >= BROADCAST_TYPES_NUM || table[dtype] == nullptr)
        CV_FATAL("%s error: unsupported dType=%d", name, (int)dtype);
    loop->op = table[dtype];
    switch (aName) {
    case None:
    case Linear:
        break;
    case ReLU:
        loop->act = kReluActs[dtype].fn;
        loop->actLimit = kReluActs[dtype].limit;
        break;
    case ReLU6:
        loop->act = kRelu6Acts[dtype].fn;
        loop->actLimit = kRelu6Acts[dtype].limit;
        break;
    default:
        CV_FATAL("%s error: unsupported aName=%d", name, (int)aName);
    }
}

void Broadcast_ref(const char* name, BroadcastLoop* loop, Tensor* out, const Tensor* in1, const Tensor* in2)
{
    if (out == nullptr) CV_FATAL("%s error: out is NULL", name);
    if (in1 == nullptr) CV_FATAL("%s error: in1 is NULL", name);
    const uint32_t maxRank = MAX_NDIM_VALUE;
    if (out->ndim > maxRank || in1->ndim > maxRank || (in2 != nullptr && in2->ndim > maxRank))
        CV_FATAL("%s error: tensors of more than %u dimensions", name, maxRank);
    const int64_t esize = DataTypeSize((DataType)out->dtype);

    // Dimensions from the innermost outwards, skipping those of extent 1
    // everywhere, then merging neighbours that are contiguous in all three.
    Dim dims[MAX_NDIM_VALUE];
    uint32_t nd = 0;
    bool empty = false;
    for (uint32_t r = 0; r < maxRank; ++r) {
        const uint32_t n = corvus::AlignedExtent(out, r);
        Dim d = {n, (int64_t)corvus::AlignedStride(out, r) * esize, 0, 0};
        OperandDim(name, "in1", in1, out, r, n, &d.sa);
        if (in2 != nullptr) OperandDim(name, "in2", in2, out, r, n, &d.sb);
        empty = empty || n == 0;
        if (n <= 1) continue;
        if (nd > 0) {
            Dim& p = dims[nd - 1];
            const uint64_t merged = p.count * n;
            if (merged <= UINT32_MAX && d.so == p.so * (int64_t)p.count && d.sa == p.sa * (int64_t)p.count &&
                d.sb == p.sb * (int64_t)p.count) {
                p.count = merged;
                continue;
            }
        }
        dims[nd++] = d;
    }
    if (empty) return;  // nothing to compute
    if (out->data == nullptr || in1->data == nullptr || (in2 != nullptr && in2->data == nullptr))
        CV_FATAL("%s error: tensor data is NULL", name);

    // Level 0 is the contiguous run when the innermost dimension is dense in
    // all three tensors; otherwise a run of one element.
    uint32_t lv = 0, next = 0;
    const int64_t size1 = DataTypeSize((DataType)in1->dtype);
    const int64_t size2 = in2 != nullptr ? DataTypeSize((DataType)in2->dtype) : 0;
    if (nd > 0 && dims[0].so == esize && (dims[0].sa == 0 || dims[0].sa == size1) &&
        (dims[0].sb == 0 || dims[0].sb == size2)) {
        loop->level[lv++] = {(uint32_t)dims[0].count, dims[0].so, dims[0].sa, dims[0].sb};
        next = 1;
    } else {
        loop->level[lv++] = {1, esize, 0, 0};
    }
    for (; next < nd; ++next)
        loop->level[lv++] = {(uint32_t)dims[next].count, dims[next].so, dims[next].sa, dims[next].sb};
    while (lv < 3) loop->level[lv++] = {1, 0, 0, 0};
    loop->levelsNum = lv;
    Broadcast_ref_loop(loop, out->data, in1->data, in2 != nullptr ? in2->data : nullptr);
}

void Broadcast_ref_loop(const BroadcastLoop* loop, void* out, const void* in1, const void* in2)
{
    const BroadcastLevel* lv = loop->level;
    // Odometer over the levels beyond the third; one element-function call
    // (and one clamp) per block of the three innermost levels.
    uint32_t idx[BROADCAST_MAX_LEVELS] = {0};
    uint8_t* o = (uint8_t*)out;
    const uint8_t* a = (const uint8_t*)in1;
    const uint8_t* b = (const uint8_t*)in2;
    for (;;) {
        loop->op(o, a, b, lv);
        if (loop->act != nullptr)
            loop->act(o, lv[0].count, lv[1].count, lv[1].strideOut, lv[2].count, lv[2].strideOut, loop->actLimit);
        uint32_t k = 3;
        for (; k < loop->levelsNum; ++k) {
            o += lv[k].strideOut;
            a += lv[k].strideIn1;
            if (b != nullptr) b += lv[k].strideIn2;
            if (++idx[k] < lv[k].count) break;
            idx[k] = 0;
            o -= lv[k].strideOut * (int64_t)lv[k].count;
            a -= lv[k].strideIn1 * (int64_t)lv[k].count;
            if (b != nullptr) b -= lv[k].strideIn2 * (int64_t)lv[k].count;
        }
        if (k >= loop->levelsNum) return;
    }
}

void addrelu_f32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<float, AddF>(o, a, b, l);
}
void addrelu_f16_ref(void* o, const void* a, const void* b, const BroadcastLevel* l) { RunBlockHalf<AddF>(o, a, b, l); }
void addrelu_i32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<int32_t, AddI>(o, a, b, l);
}
void addrelu_u32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<uint32_t, AddF>(o, a, b, l);
}
void subrelu_f32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<float, SubF>(o, a, b, l);
}
void subrelu_f16_ref(void* o, const void* a, const void* b, const BroadcastLevel* l) { RunBlockHalf<SubF>(o, a, b, l); }
void subrelu_i32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<int32_t, SubI>(o, a, b, l);
}
void subrelu_u32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<uint32_t, SubF>(o, a, b, l);
}
void mulrelu_f32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<float, MulF>(o, a, b, l);
}
void mulrelu_f16_ref(void* o, const void* a, const void* b, const BroadcastLevel* l) { RunBlockHalf<MulF>(o, a, b, l); }
void mulrelu_i32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<int32_t, MulI>(o, a, b, l);
}
void mulrelu_u32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<uint32_t, MulF>(o, a, b, l);
}
void div_f32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l) { RunBlock<float, DivF>(o, a, b, l); }
void div_f16_ref(void* o, const void* a, const void* b, const BroadcastLevel* l) { RunBlockHalf<DivF>(o, a, b, l); }
void div_i32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<int32_t, DivI>(o, a, b, l);
}
void div_u32_ref(void* o, const void* a, const void* b, const BroadcastLevel* l)
{
    RunBlock<uint32_t, DivU>(o, a, b, l);
}

void relu_f32_ref(void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit)
{
    ClampBlock<int32_t>(d, n, rows, rs, planes, ps, limit);
}
void relu_f16_ref(void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit)
{
    ClampBlock<int16_t>(d, n, rows, rs, planes, ps, limit);
}
void relu_i32_ref(void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit)
{
    ClampBlock<int32_t>(d, n, rows, rs, planes, ps, limit);
}
void relu_u32_ref(void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit)
{
    ClampBlock<uint32_t>(d, n, rows, rs, planes, ps, limit);
}

// ---- Arithmetic kernels -----------------------------------------------

void AddBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("AddBroadcast_ref", kAddFns, out, in1, in2, params);
}
void SubBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("SubBroadcast_ref", kSubFns, out, in1, in2, params);
}
void MulBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("MulBroadcast_ref", kMulFns, out, in1, in2, params);
}
void DivBroadcast_ref(Tensor* out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params)
{
    Arithmetic("DivBroadcast_ref", kDivFns, out, in1, in2, params);
}

void Execute_AddBroadcast_ref(NNKernel* k) { ExecuteArithmetic<AddBroadcast_ref>(k, "AddBroadcast_ref"); }
void Execute_SubBroadcast_ref(NNKernel* k) { ExecuteArithmetic<SubBroadcast_ref>(k, "SubBroadcast_ref"); }
void Execute_MulBroadcast_ref(NNKernel* k) { ExecuteArithmetic<MulBroadcast_ref>(k, "MulBroadcast_ref"); }
void Execute_DivBroadcast_ref(NNKernel* k) { ExecuteArithmetic<DivBroadcast_ref>(k, "DivBroadcast_ref"); }

// ---- Pow and Mod ------------------------------------------------------

void Pow_fl32(Tensor* out, const Tensor* data, const Tensor* exponents)
{
    if (out == nullptr || data == nullptr || exponents == nullptr) CV_FATAL("Function Pow: Tensor pointer is null");
    if (data->dtype != out->dtype) CV_FATAL("Function Pow: Data tensor data type and output data type are not equal");
    if (exponents->dtype != DT_FLOAT32) CV_FATAL("Function Pow: Exponents tensor data type is not float32");
    if (data->dtype != DT_FLOAT32) CV_FATAL("Function Pow: Data tensor data type is not float32");
    StridedWalk<3> w;
    const Tensor* const t[3] = {out, data, exponents};
    PrepareChecked(w, "Function Pow", t);
    uint8_t* base[3];
    Bases(base, t);
    RunWalk(w, base, [](uint8_t* const* p) { Store<float>(p[0], powf(Load<float>(p[1]), Load<float>(p[2]))); });
}

void Execute_Pow_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function %s: Kernel pointer is null", "Execute_Pow_ref");
    CORVUS_LEVEL_NS::Pow_fl32(kernel->output[0], kernel->input[0], kernel->input[1]);
}

void Mod_ref(Tensor* out, const Tensor* dividend, const Tensor* divisor)
{
    if (out == nullptr || dividend == nullptr || divisor == nullptr) CV_FATAL("Function Mod: Tensor pointer is null");
    if (dividend->dtype != out->dtype)
        CV_FATAL("Function Mod: Data tensor data type and output data type are not equal");
    if (dividend->dtype != DT_FLOAT32 && dividend->dtype != DT_INT32)
        CV_FATAL("Function Mod: Exponents tensor data type is not float32");
    if (divisor->dtype != dividend->dtype)
        CV_FATAL("Function Mod: Divisor tensor data type and data tensor data type are not equal");
    StridedWalk<3> w;
    const Tensor* const t[3] = {out, dividend, divisor};
    PrepareChecked(w, "Function Mod", t);
    uint8_t* base[3];
    Bases(base, t);
    if (out->dtype == DT_FLOAT32) {
        // fmod keeps the dividend's sign.
        RunWalk(w, base, [](uint8_t* const* p) {
            Store<float>(p[0], (float)std::fmod((double)Load<float>(p[1]), (double)Load<float>(p[2])));
        });
        return;
    }
    // Integers: the remainder takes the divisor's sign.
    RunWalk(w, base, [](uint8_t* const* p) {
        const int32_t a = Load<int32_t>(p[1]), b = Load<int32_t>(p[2]);
        int32_t r;
        if (b == 0)
            r = a;
        else if (b == -1)
            r = 0;  // a - trunc(a / -1) * -1 is always 0; avoids INT32_MIN / -1
        else
            r = a - (a / b) * b;
        if (r != 0 && ((r < 0) != (b < 0))) r += b;
        Store<int32_t>(p[0], r);
    });
}

void Execute_Mod_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CORVUS_LEVEL_NS::Mod_ref(kernel->output[0], kernel->input[0], kernel->input[1]);
}

// ---- Comparisons ------------------------------------------------------

void Equal_ref(Tensor* out, const Tensor* in1, const Tensor* in2)
{
    if (out == nullptr || in1 == nullptr || in2 == nullptr) CV_FATAL("Function Equal: Tensor pointer is null");
    if (in1->dtype != in2->dtype) CV_FATAL("Function Equal: Inputs data type is not equal");
    if (out->dtype != DT_INT8) CV_FATAL("Function Equal: Output data type is not int8");
    if (in1->dtype == DT_FLOAT16) CV_FATAL("Function Equal: Wrong kernel for float16 data");
    StridedWalk<3> w;
    const Tensor* const t[3] = {out, in1, in2};
    PrepareChecked(w, "Function Equal", t);
    uint8_t* base[3];
    Bases(base, t);
    if (in1->dtype == DT_FLOAT32) {
        RunWalk(w, base, [](uint8_t* const* p) { *p[0] = (uint8_t)NearlyEqual(Load<float>(p[1]), Load<float>(p[2])); });
        return;
    }
    const size_t size = DataTypeSize((DataType)in1->dtype);
    RunWalk(w, base, [size](uint8_t* const* p) { *p[0] = (uint8_t)(memcmp(p[1], p[2], size) == 0); });
}

void Execute_Equal_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Equal: Kernel pointer is null");
    CORVUS_LEVEL_NS::Equal_ref(kernel->output[0], kernel->input[0], kernel->input[1]);
}

void Greater_ref(Tensor* out, const Tensor* in1, const Tensor* in2)
{
    if (out == nullptr || in1 == nullptr || in2 == nullptr) CV_FATAL("Function Greater: Tensor pointer is null");
    if (in1->dtype != in2->dtype) CV_FATAL("Function Greater: Inputs data type is not equal");
    if (out->dtype != DT_INT8) CV_FATAL("Function Greater: Inputs data type and output data type are not equal");
    if (in1->dtype != DT_FLOAT32) CV_FATAL("Function Greater: Inputs tensors data type is not in (float32,)");
    CompareFloat<true>("Function Greater", out, in1, in2);
}

// Less reads float32 only; other types are refused rather than misread.
void Less_ref(Tensor* out, const Tensor* in1, const Tensor* in2)
{
    if (out == nullptr || in1 == nullptr || in2 == nullptr) CV_FATAL("Function Less: Tensor pointer is null");
    if (in1->dtype != DT_FLOAT32 || in2->dtype != DT_FLOAT32)
        CV_FATAL("Function Less: Inputs tensors data type is not in (float32,)");
    if (out->dtype != DT_INT8) CV_FATAL("Function Less: Output data type is not int8");
    CompareFloat<false>("Function Less", out, in1, in2);
}

void Execute_Greater_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Greater: Kernel pointer is null");
    Tensor* out = kernel->output[0];
    const Tensor* in[2] = {kernel->input[0], kernel->input[1]};
    Tensor* temp[2] = {nullptr, nullptr};
    // Half inputs compare as their exact float32 values.
    for (int i = 0; i < 2; ++i) {
        if (in[i] == nullptr || in[i]->dtype != DT_FLOAT16) continue;
        temp[i] = CreateTensor(DT_FLOAT32, DL_NONE, in[i]->ndim, in[i]->shape, true);
        TensorDataConvert(temp[i], in[i]);
        in[i] = temp[i];
    }
    CORVUS_LEVEL_NS::Greater_ref(out, in[0], in[1]);
    DestroyTensor(temp[0]);
    DestroyTensor(temp[1]);
}

void Execute_Less_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Less: Kernel pointer is null");
    CORVUS_LEVEL_NS::Less_ref(kernel->output[0], kernel->input[0], kernel->input[1]);
}

// ---- Logic and selection ----------------------------------------------

void And_ref(Tensor* out, const Tensor* in1, const Tensor* in2)
{
    if (out == nullptr || in1 == nullptr || in2 == nullptr) CV_FATAL("Function And: Tensor pointer is null");
    if (in1->dtype != in2->dtype) CV_FATAL("Function And: Inputs data type is not equal");
    if (in1->dtype != DT_INT8 && in1->dtype != DT_UINT8)
        CV_FATAL("Function And: Inputs tensors data type is not in (int8, uint8)");
    if (out->dtype != in1->dtype) CV_FATAL("Function And: Inputs data type and output data type are not equal");
    StridedWalk<3> w;
    const Tensor* const t[3] = {out, in1, in2};
    PrepareChecked(w, "Function And", t);
    uint8_t* base[3];
    Bases(base, t);
    RunWalk(w, base, [](uint8_t* const* p) { *p[0] = (uint8_t)(*p[1] & *p[2]); });
}

void Execute_And_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function And: kernel pointer is null");
    CORVUS_LEVEL_NS::And_ref(kernel->output[0], kernel->input[0], kernel->input[1]);
}

void Not_ref(Tensor* out, const Tensor* in)
{
    if (out == nullptr || in == nullptr) CV_FATAL("Function Not: Tensor pointer is null");
    if (in->dtype != out->dtype) CV_FATAL("Different types of tensor's data");
    if (in->dtype != DT_INT8) CV_FATAL("Type of input tensor is not bool (DT_INT8)");
    if (GetTensorSize(in) != GetTensorSize(out)) CV_FATAL("Tensor's sizes is not equal");
    if (in->ndim != out->ndim || CompareTensorsShape(in, out) != TCR_SHAPES_EQUAL)
        CV_FATAL("Function Not: Tensor shapes %s and %s are not equal", ShapeText(in).c_str(), ShapeText(out).c_str());
    StridedWalk<2> w;
    const Tensor* const t[2] = {out, in};
    PrepareChecked(w, "Function Not", t);
    uint8_t* base[2];
    Bases(base, t);
    RunWalk(w, base, [](uint8_t* const* p) { *p[0] = (uint8_t)(*p[1] == 0); });
}

void Execute_Not_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Not: Kernel pointer is null");
    CORVUS_LEVEL_NS::Not_ref(kernel->output[0], kernel->input[0]);
}

void Where_ref(Tensor* out, const Tensor* condition, const Tensor* x, const Tensor* y)
{
    if (out == nullptr || condition == nullptr || x == nullptr || y == nullptr)
        CV_FATAL("Function Where: Tensor pointer is null");
    if (condition->dtype != DT_INT8) CV_FATAL("Function Where: Condition tensor data type is not int8");
    if (x->dtype != y->dtype) CV_FATAL("Function Where: Inputs data type is not equal");
    if (x->dtype != out->dtype) CV_FATAL("Function Where: Inputs data type and output data type are not equal");
    StridedWalk<4> w;
    const Tensor* const t[4] = {out, condition, x, y};
    PrepareChecked(w, "Function Where", t);
    uint8_t* base[4];
    Bases(base, t);
    const size_t size = DataTypeSize((DataType)out->dtype);
    RunWalk(w, base, [size](uint8_t* const* p) { memcpy(p[0], *p[1] != 0 ? p[2] : p[3], size); });
}

void Execute_Where_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Where: kernel pointer is null");
    CORVUS_LEVEL_NS::Where_ref(kernel->output[0], kernel->input[0], kernel->input[1], kernel->input[2]);
}

// ---- ElementWise --------------------------------------------------------

void ElementWise_fl32_ref(Tensor* out, const Tensor* a, const Tensor* b, const Tensor* alpha, const Tensor* beta,
                          uint32_t activation)
{
    if (out == nullptr || a == nullptr || b == nullptr || alpha == nullptr || beta == nullptr)
        CV_FATAL("ElementWise: Tensor pointer is null");
    if (out->dtype != DT_FLOAT32 || a->dtype != DT_FLOAT32 || b->dtype != DT_FLOAT32 || alpha->dtype != DT_FLOAT32 ||
        beta->dtype != DT_FLOAT32)
        CV_FATAL("ElementWise: Tensors data type is not float32");
    if (out->ndim != 4 || CompareTensorsShape(a, out) != TCR_SHAPES_EQUAL ||
        CompareTensorsShape(b, out) != TCR_SHAPES_EQUAL)
        CV_FATAL("ElementWise: Input shapes %s%s and output shape %s must be equal and four-dimensional",
                 ShapeText(a).c_str(), ShapeText(b).c_str(), ShapeText(out).c_str());
    const uint32_t channels = out->shape.dimension[3];
    if (GetTensorSize(alpha) < channels || GetTensorSize(beta) < channels || !IsSerialData(alpha) ||
        !IsSerialData(beta))
        CV_FATAL("ElementWise: Coefficient tensors must hold %u dense values", channels);
    if (out->data == nullptr || a->data == nullptr || b->data == nullptr || alpha->data == nullptr ||
        beta->data == nullptr)
        CV_FATAL("ElementWise: Tensor data pointer is null");
    const float* al = (const float*)alpha->data;
    const float* be = (const float*)beta->data;
    const uint32_t* so = out->stride.dimension;
    const uint32_t* sa = a->stride.dimension;
    const uint32_t* sb = b->stride.dimension;
    for (uint32_t n = 0; n < out->shape.dimension[0]; ++n)
        for (uint32_t y = 0; y < out->shape.dimension[1]; ++y)
            for (uint32_t x = 0; x < out->shape.dimension[2]; ++x) {
                float* o = (float*)out->data + (size_t)n * so[0] + (size_t)y * so[1] + (size_t)x * so[2];
                const float* pa = (const float*)a->data + (size_t)n * sa[0] + (size_t)y * sa[1] + (size_t)x * sa[2];
                const float* pb = (const float*)b->data + (size_t)n * sb[0] + (size_t)y * sb[1] + (size_t)x * sb[2];
                for (uint32_t c = 0; c < channels; ++c) {
                    const float scaled = pa[(size_t)c * sa[3]] * al[c];
                    o[(size_t)c * so[3]] = fmaf(pb[(size_t)c * sb[3]], be[c], scaled);
                }
            }
    const ActivationParams act = {activation, 0.0f};
    Activation_fl32_ref(out, out, &act);
}

void Execute_ElementWise_fl32_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "ElementWise: Kernel pointer is null");
    if (kernel->params == nullptr) CV_FATAL("ElementWise: Params pointer is null");
    if (kernel->inputsNum < 2 || kernel->innerNum < 2)
        CV_FATAL("ElementWise: kernel needs 2 inputs and 2 inner tensors");
    CORVUS_LEVEL_NS::ElementWise_fl32_ref(kernel->output[0], kernel->input[0], kernel->input[1], kernel->inner[0],
                                          kernel->inner[1], ((const ElementWiseParams*)kernel->params)->activation);
}

}  // namespace CORVUS_LEVEL_HIDDEN
// Function sets: found by the kernel tables through their names.

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, Broadcast_ref_init,
                      (BroadcastLoop * loop, const char* name, const BroadcastOpFn table[BROADCAST_TYPES_NUM],
                       uint32_t dtype, uint32_t aName),
                      (loop, name, table, dtype, aName))
CORVUS_LEVEL_DISPATCH(void, Broadcast_ref,
                      (const char* name, BroadcastLoop* loop, Tensor* out, const Tensor* in1, const Tensor* in2),
                      (name, loop, out, in1, in2))
CORVUS_LEVEL_DISPATCH(void, Broadcast_ref_loop,
                      (const BroadcastLoop* loop, void* out, const void* in1, const void* in2), (loop, out, in1, in2))
CORVUS_LEVEL_DISPATCH(void, addrelu_f32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, addrelu_f16_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, addrelu_i32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, addrelu_u32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, subrelu_f32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, subrelu_f16_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, subrelu_i32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, subrelu_u32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, mulrelu_f32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, mulrelu_f16_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, mulrelu_i32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, mulrelu_u32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l),
                      (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, div_f32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l), (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, div_f16_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l), (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, div_i32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l), (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, div_u32_ref, (void* o, const void* a, const void* b, const BroadcastLevel* l), (o, a, b, l))
CORVUS_LEVEL_DISPATCH(void, relu_f32_ref,
                      (void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit),
                      (d, n, rows, rs, planes, ps, limit))
CORVUS_LEVEL_DISPATCH(void, relu_f16_ref,
                      (void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit),
                      (d, n, rows, rs, planes, ps, limit))
CORVUS_LEVEL_DISPATCH(void, relu_i32_ref,
                      (void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit),
                      (d, n, rows, rs, planes, ps, limit))
CORVUS_LEVEL_DISPATCH(void, relu_u32_ref,
                      (void* d, uint32_t n, uint32_t rows, int64_t rs, uint32_t planes, int64_t ps, uint32_t limit),
                      (d, n, rows, rs, planes, ps, limit))
CORVUS_LEVEL_DISPATCH(void, AddBroadcast_ref,
                      (Tensor * out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params),
                      (out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, SubBroadcast_ref,
                      (Tensor * out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params),
                      (out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, MulBroadcast_ref,
                      (Tensor * out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params),
                      (out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, DivBroadcast_ref,
                      (Tensor * out, const Tensor* in1, const Tensor* in2, const BroadcastParams* params),
                      (out, in1, in2, params))
CORVUS_LEVEL_DISPATCH(void, Execute_AddBroadcast_ref, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Execute_SubBroadcast_ref, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Execute_MulBroadcast_ref, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Execute_DivBroadcast_ref, (NNKernel * k), (k))
CORVUS_LEVEL_DISPATCH(void, Pow_fl32, (Tensor * out, const Tensor* data, const Tensor* exponents),
                      (out, data, exponents))
CORVUS_LEVEL_DISPATCH(void, Execute_Pow_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Mod_ref, (Tensor * out, const Tensor* dividend, const Tensor* divisor),
                      (out, dividend, divisor))
CORVUS_LEVEL_DISPATCH(void, Execute_Mod_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Equal_ref, (Tensor * out, const Tensor* in1, const Tensor* in2), (out, in1, in2))
CORVUS_LEVEL_DISPATCH(void, Execute_Equal_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Greater_ref, (Tensor * out, const Tensor* in1, const Tensor* in2), (out, in1, in2))
CORVUS_LEVEL_DISPATCH(void, Less_ref, (Tensor * out, const Tensor* in1, const Tensor* in2), (out, in1, in2))
CORVUS_LEVEL_DISPATCH(void, Execute_Greater_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_Less_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, And_ref, (Tensor * out, const Tensor* in1, const Tensor* in2), (out, in1, in2))
CORVUS_LEVEL_DISPATCH(void, Execute_And_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Not_ref, (Tensor * out, const Tensor* in), (out, in))
CORVUS_LEVEL_DISPATCH(void, Execute_Not_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Where_ref, (Tensor * out, const Tensor* condition, const Tensor* x, const Tensor* y),
                      (out, condition, x, y))
CORVUS_LEVEL_DISPATCH(void, Execute_Where_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, ElementWise_fl32_ref,
                      (Tensor * out, const Tensor* a, const Tensor* b, const Tensor* alpha, const Tensor* beta,
                       uint32_t activation),
                      (out, a, b, alpha, beta, activation))
CORVUS_LEVEL_DISPATCH(void, Execute_ElementWise_fl32_ref, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_AddBroadcast_ref = {Execute_AddBroadcast_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_SubBroadcast_ref = {Execute_SubBroadcast_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_MulBroadcast_ref = {Execute_MulBroadcast_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_DivBroadcast_ref = {Execute_DivBroadcast_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Pow_ref = {Execute_Pow_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Mod_ref = {Execute_Mod_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Equal_ref = {Execute_Equal_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Greater_ref = {Execute_Greater_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Less_ref = {Execute_Less_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_And_ref = {Execute_And_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Not_ref = {Execute_Not_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Where_ref = {Execute_Where_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_ElementWise_fl32_ref = {Execute_ElementWise_fl32_ref, nullptr, nullptr,
                                                                 nullptr};

#endif
