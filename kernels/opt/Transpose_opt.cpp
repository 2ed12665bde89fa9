// The transpose engine: a general strided copy between two views, used by
// the Transpose, Slice and Concatenate kernels and by other kernels that
// copy sub-views.
//
// Dimensions of extent 1 are dropped and neighbours that are contiguous in
// both views are merged, so dense copies become one block copy and
// sub-views become a few long row copies. A genuine transposition (the two
// views contiguous along different dimensions) is tiled through the scratch
// block: tiles come in along the source's contiguous rows, are transposed in
// scratch and go out along the destination's contiguous rows.
#define CORVUS_MODULE "Transpose_opt"
#include <cstring>

#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelScratch.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "nn_kernels/dma/xydma.h"
#include "opt/OptInternal.h"

namespace {

constexpr uint32_t kBanks = 2;
constexpr uint32_t kBankBytes = xySize / kBanks;
constexpr uint32_t kBankSlots = 16;  // descriptors in the top 768 bytes of a bank
constexpr uint32_t kTile = 64;       // tile edge in elements

// One loop dimension: extent and byte strides in the destination and source.
struct Dim {
    uint64_t n;
    int64_t so, ss;
};

struct Plan {
    uint32_t nd = 0;
    Dim d[MAX_NDIM_VALUE];  // innermost first
    uint32_t es = 0;
    bool empty = false;
};

Plan MakePlan(const Tensor* in, const Tensor* out, const uint32_t* perm)
{
    Plan p;
    p.es = DataTypeSize((DataType)out->dtype);
    for (int i = (int)out->ndim - 1; i >= 0; --i) {
        const uint64_t n = out->shape.dimension[i];
        if (n == 0) p.empty = true;
        if (n <= 1) continue;
        const int64_t so = (int64_t)out->stride.dimension[i] * p.es;
        const int64_t ss = (int64_t)in->stride.dimension[perm[i]] * p.es;
        if (p.nd > 0) {
            Dim& q = p.d[p.nd - 1];
            if (so == q.so * (int64_t)q.n && ss == q.ss * (int64_t)q.n) {
                q.n *= n;
                continue;
            }
        }
        p.d[p.nd++] = {n, so, ss};
    }
    return p;
}

// Calls f(destination offset, source offset) for every coordinate of the
// given dimensions (innermost first); once with (0, 0) when there are none.
template <class F> void ForEachOuter(const Dim* dims, uint32_t n, F&& f)
{
    if (n == 0) {
        f((int64_t)0, (int64_t)0);
        return;
    }
    uint64_t idx[MAX_NDIM_VALUE] = {};
    int64_t oo = 0, os = 0;
    for (;;) {
        const Dim& in = dims[0];
        for (uint64_t i = 0; i < in.n; ++i) f(oo + (int64_t)i * in.so, os + (int64_t)i * in.ss);
        uint32_t k = 1;
        for (; k < n; ++k) {
            oo += dims[k].so;
            os += dims[k].ss;
            if (++idx[k] < dims[k].n) break;
            idx[k] = 0;
            oo -= dims[k].so * (int64_t)dims[k].n;
            os -= dims[k].ss * (int64_t)dims[k].n;
        }
        if (k >= n) return;
    }
}

// The plan without dimension skip, for walking what is left around it.
uint32_t Without(const Plan& p, uint32_t skip1, uint32_t skip2, Dim* rest)
{
    uint32_t m = 0;
    for (uint32_t k = 0; k < p.nd; ++k)
        if (k != skip1 && k != skip2) rest[m++] = p.d[k];
    return m;
}

// Contiguous rows along dimension r in both views: one block copy per row.
void mmTransposeLoop(const Plan& p, uint32_t r, uint8_t* dst, const uint8_t* src)
{
    const size_t rowBytes = (size_t)(p.d[r].n * p.es);
    Dim rest[MAX_NDIM_VALUE];
    const uint32_t m = Without(p, r, r, rest);
    ForEachOuter(rest, m, [&](int64_t o, int64_t s) { memcpy(dst + o, src + s, rowBytes); });
}

template <class T> void ElementLoop(const Plan& p, uint8_t* dst, const uint8_t* src)
{
    ForEachOuter(p.d, p.nd, [&](int64_t o, int64_t s) {
        T v;
        memcpy(&v, src + s, sizeof(T));
        memcpy(dst + o, &v, sizeof(T));
    });
}

// No dimension is contiguous in both views and no tiling applies: element
// by element.
void ElementCopy(const Plan& p, uint8_t* dst, const uint8_t* src)
{
    switch (p.es) {
    case 1:
        ElementLoop<uint8_t>(p, dst, src);
        break;
    case 2:
        ElementLoop<uint16_t>(p, dst, src);
        break;
    case 4:
        ElementLoop<uint32_t>(p, dst, src);
        break;
    default:
        ElementLoop<uint64_t>(p, dst, src);
        break;
    }
}

// Transposes a tile held in scratch: a has rows (one per index along the
// destination's contiguous dimension) of tq elements, b receives tq rows of
// tp elements.
template <class T>
void TransposeTile(uint8_t* b, int64_t stepB, const uint8_t* a, int64_t stepA, uint32_t tp, uint32_t tq)
{
    for (uint32_t r = 0; r < tq; ++r) {
        T* row = (T*)(b + r * stepB);
        const uint8_t* col = a + (int64_t)r * sizeof(T);
        for (uint32_t c = 0; c < tp; ++c) memcpy(&row[c], col + c * stepA, sizeof(T));
    }
}

void TransposeH(uint32_t es, uint8_t* b, int64_t stepB, const uint8_t* a, int64_t stepA, uint32_t tp, uint32_t tq)
{
    switch (es) {
    case 1:
        TransposeTile<uint8_t>(b, stepB, a, stepA, tp, tq);
        break;
    case 2:
        TransposeTile<uint16_t>(b, stepB, a, stepA, tp, tq);
        break;
    case 4:
        TransposeTile<uint32_t>(b, stepB, a, stepA, tp, tq);
        break;
    default:
        TransposeTile<uint64_t>(b, stepB, a, stepA, tp, tq);
        break;
    }
}

// Smallest step >= rowBytes that agrees with mmStep modulo 16, as the
// transfer engine requires for multi-row transfers.
inline int64_t ScratchStep(int64_t rowBytes, int64_t mmStep)
{
    return rowBytes + ((mmStep - rowBytes) & (xyAlign - 1));
}

inline bool FitsStep(int64_t s) { return s >= -(int64_t)INT32_MAX && s <= (int64_t)INT32_MAX; }

// Dimension p is contiguous in the destination, q in the source. Bank 0
// receives source tiles, bank 1 holds the transposed tiles; each bank keeps
// its descriptors in its top slots.
void xyTransposeLoop(const Plan& p, uint32_t pd, uint32_t qd, uint8_t* dst, const uint8_t* src, KernelScratch* scratch)
{
    const ScratchBlock scratchBlock(scratch, kXyScratchBytes, "Transpose_opt");
    uint8_t* xyBase = scratchBlock.data();
    uint8_t* bank[kBanks] = {xyBase, xyBase + kBankBytes};
    uint8_t* slots[kBanks];
    for (uint32_t b = 0; b < kBanks; ++b) {
        slots[b] = bank[b] + kBankBytes - kBankSlots * xyDmaDescBytes;
        xyDmaPrepare(slots[b], kBankSlots);
    }
    const Dim P = p.d[pd], Q = p.d[qd];
    const uint32_t es = p.es;
    Dim rest[MAX_NDIM_VALUE];
    const uint32_t m = Without(p, pd, qd, rest);
    ForEachOuter(rest, m, [&](int64_t oBase, int64_t sBase) {
        for (uint64_t q0 = 0; q0 < Q.n; q0 += kTile) {
            const uint32_t tq = (uint32_t)(Q.n - q0 < kTile ? Q.n - q0 : kTile);
            for (uint64_t p0 = 0; p0 < P.n; p0 += kTile) {
                const uint32_t tp = (uint32_t)(P.n - p0 < kTile ? P.n - p0 : kTile);
                const uint8_t* s = src + sBase + (int64_t)q0 * Q.ss + (int64_t)p0 * P.ss;
                uint8_t* d = dst + oBase + (int64_t)p0 * P.so + (int64_t)q0 * Q.so;
                // Source tile: tp rows of tq contiguous elements.
                const int64_t rowA = (int64_t)tq * es, stepA = ScratchStep(rowA, P.ss);
                uint8_t* xyA = (uint8_t*)xyCarve(slots[0], (uint64_t)(tp * stepA), s);
                const int64_t rowB = (int64_t)tp * es, stepB = ScratchStep(rowB, Q.so);
                uint8_t* xyB = (uint8_t*)xyCarve(slots[1], (uint64_t)(tq * stepB), d);
                if (xyA < bank[0] || xyB < bank[1]) CV_FATAL("xyFree >= 0: false, expected: true");
                xyDmaRun(xyDmaRead64(slots[0], xyA, (int32_t)stepA, s, (int32_t)P.ss, (int32_t)rowA, (int32_t)tp));
                TransposeH(es, xyB, stepB, xyA, stepA, tp, tq);
                xyDmaRun(xyDmaWrite64(slots[1], d, (int32_t)Q.so, xyB, (int32_t)stepB, (int32_t)rowB, (int32_t)tq));
            }
        }
    });
}

const char* Check(const Tensor* in, const Tensor* out, const uint32_t* perm, bool execute)
{
    if (in == nullptr) return "in is NULL";
    if (out == nullptr) return "out is NULL";
    if (perm == nullptr) return "permutation is NULL";
    if (in->dtype != out->dtype) return "in->dtype != out->dtype";
    if (in->dtype > DT_INT8) return "unsupported dtype";
    if (in->ndim != out->ndim) return "in->ndim != out->ndim";
    if (in->ndim > MAX_NDIM_VALUE) return "ndim > MAX_NDIM_VALUE";
    bool seen[MAX_NDIM_VALUE] = {};
    for (uint32_t i = 0; i < out->ndim; ++i) {
        if (perm[i] >= in->ndim || seen[perm[i]]) return "permutation is not a permutation of the dimensions";
        seen[perm[i]] = true;
        if (out->shape.dimension[i] != in->shape.dimension[perm[i]])
            return "out->shape[i] != in->shape[permutation[i]]";
    }
    if (execute && GetTensorSize(out) != 0) {
        if (in->data == nullptr) return "in->data is NULL";
        if (out->data == nullptr) return "out->data is NULL";
    }
    return nullptr;
}

// How a plan copies: one element, along a dimension contiguous in both
// views (index in *r), through the scratch block (dimension *r contiguous
// in the destination, *q in the source), or element by element.
enum class Route { kOne, kRows, kScratch, kElements };

Route RouteOf(const Plan& p, uint32_t* r, uint32_t* q)
{
    if (p.nd == 0) return Route::kOne;
    const int64_t es = p.es;
    for (uint32_t k = 0; k < p.nd; ++k)
        if (p.d[k].so == es && p.d[k].ss == es) {
            *r = k;
            return Route::kRows;
        }
    int pd = -1, qd = -1;
    for (uint32_t k = 0; k < p.nd; ++k) {
        if (pd < 0 && p.d[k].so == es) pd = (int)k;
        if (qd < 0 && p.d[k].ss == es) qd = (int)k;
    }
    if (pd < 0 || qd < 0 || !FitsStep(p.d[pd].ss) || !FitsStep(p.d[qd].so)) return Route::kElements;
    *r = (uint32_t)pd;
    *q = (uint32_t)qd;
    return Route::kScratch;
}

// Transpose_opt on the caller's scratch block (null: one for this call).
const char* TransposeOn(int32_t mode, const Tensor* in, Tensor* out, const uint32_t* permutation,
                        KernelScratch* scratch)
{
    const char* reason = Check(in, out, permutation, mode >= 0);
    if (reason != nullptr || mode < 0) return reason;
    const Plan p = MakePlan(in, out, permutation);
    if (p.empty) return nullptr;
    uint8_t* dst = (uint8_t*)out->data;
    const uint8_t* src = (const uint8_t*)in->data;
    uint32_t r = 0, q = 0;
    switch (RouteOf(p, &r, &q)) {
    case Route::kOne:
        memcpy(dst, src, p.es);
        break;
    case Route::kRows:
        mmTransposeLoop(p, r, dst, src);
        break;
    case Route::kScratch:
        xyTransposeLoop(p, r, q, dst, src, scratch);
        break;
    case Route::kElements:
        ElementCopy(p, dst, src);
        break;
    }
    return nullptr;
}

// The kernel's scratch block, made when its tensors need one.
void InitTransposeKernel(NNKernel* kernel)
{
    Init_Transpose_opt(kernel);
    if (kernel->inputsNum < 1 || kernel->outputsNum < 1 || kernel->params == nullptr) return;
    const uint32_t* axes = ((const TransposeParams*)kernel->params)->axes;
    if (Check(kernel->input[0], kernel->output[0], axes, false) != nullptr) return;
    const Plan p = MakePlan(kernel->input[0], kernel->output[0], axes);
    uint32_t r = 0, q = 0;
    if (!p.empty && RouteOf(p, &r, &q) == Route::kScratch) InitKernelScratch(kernel, kXyScratchBytes, "Transpose_opt");
}

}  // namespace

namespace corvus_opt {

void CopyView(Tensor* dst, const Tensor* src, const char* caller)
{
    static const uint32_t kIdentity[MAX_NDIM_VALUE] = {0, 1, 2, 3, 4, 5};
    const uint32_t n = dst->ndim;
    const bool unit =
        n == 0 || (dst->stride.dimension[n - 1] == 1 && src->ndim == n && src->stride.dimension[n - 1] == 1);
    if (!unit) {
        Transpose_ref(dst, src, kIdentity);
        return;
    }
    const char* reason = Transpose_opt(0, 1, src, dst, kIdentity);
    if (reason != nullptr) CV_FATAL("%s error: %s", caller, reason);
}

uint64_t TwiceBytes(const Tensor* t)
{
    if (t == nullptr) return 0;
    return (uint64_t)GetTensorSize(t) * DataTypeSize((DataType)t->dtype) * 2;
}

void SetKernelBytes(NNKernel* kernel, uint64_t bytes)
{
    kernel->totalBytes = bytes;
    for (uint32_t i = 0; i < KERNEL_BYTES_CATEGORIES; ++i) kernel->bytesSize[i] = 0;
    kernel->bytesSize[4] = bytes;
}

}  // namespace corvus_opt

extern "C" {

const char* Transpose_opt(int32_t mode, uint32_t cores, const Tensor* in, Tensor* out, const uint32_t* permutation)
{
    (void)cores;  // one core: the whole copy runs here
    return TransposeOn(mode, in, out, permutation, nullptr);
}

void Init_Transpose_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    corvus_opt::SetKernelBytes(kernel, kernel->outputsNum > 0 ? corvus_opt::TwiceBytes(kernel->output[0]) : 0);
}

void Execute_Transpose_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->inputsNum < 1 || kernel->outputsNum < 1)
        CV_FATAL("Execute_Transpose_opt error: the kernel needs an input and an output");
    if (kernel->params == nullptr) CV_FATAL("Execute_Transpose_opt error: params is NULL");
    const TransposeParams* params = (const TransposeParams*)kernel->params;
    const char* reason = TransposeOn(0, kernel->input[0], kernel->output[0], params->axes, KernelScratchOf(kernel));
    if (reason != nullptr) CV_FATAL("Transpose_opt error: %s", reason);
}

extern "C" const NNKernelFn nn_kernel_fn_Transpose_opt = {Execute_Transpose_opt, InitTransposeKernel, nullptr,
                                                          ReleaseKernelScratch};

}  // extern "C"
