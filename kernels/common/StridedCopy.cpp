#define CORVUS_MODULE "StridedCopy"
#include "common/StridedCopy.h"

#include <cstring>
#include <sstream>

#include "Report.h"

namespace corvus {
namespace dm {

namespace {

struct Axis {
    uint64_t n;
    int64_t d;  // destination byte stride
    int64_t s;  // source byte stride
};

// Tile edge of the blocked transpose: 32 x 32 elements keep both the rows
// read and the rows written within a few KiB.
constexpr uint64_t kTile = 32;

template <class T> inline T Load(const uint8_t* p)
{
    T v;
    memcpy(&v, p, sizeof(T));
    return v;
}

template <class T> inline void Store(uint8_t* p, T v) { memcpy(p, &v, sizeof(T)); }

// Calls f(dstOffset, srcOffset) for every position of the outer axes, the
// last axis fastest. Offsets are kept as integers so reversed views never
// form pointers outside their objects.
template <class F> void ForEachOuter(const Axis* ax, uint32_t n, F&& f)
{
    int64_t od = 0, os = 0;
    uint64_t idx[MAX_NDIM_VALUE] = {};
    for (;;) {
        f(od, os);
        int k = (int)n - 1;
        for (; k >= 0; --k) {
            od += ax[k].d;
            os += ax[k].s;
            if (++idx[k] < ax[k].n) break;
            idx[k] = 0;
            od -= ax[k].d * (int64_t)ax[k].n;
            os -= ax[k].s * (int64_t)ax[k].n;
        }
        if (k < 0) return;
    }
}

// Elements of one strided row.
template <class T> void CopyRow(uint8_t* d, int64_t dStride, const uint8_t* s, int64_t sStride, uint64_t n)
{
    if (sStride == 0) {
        const T v = Load<T>(s);
        for (uint64_t i = 0; i < n; ++i) Store<T>(d + (int64_t)i * dStride, v);
        return;
    }
    for (uint64_t i = 0; i < n; ++i) Store<T>(d + (int64_t)i * dStride, Load<T>(s + (int64_t)i * sStride));
}

// Destination contiguous along I (the innermost axis), source contiguous
// along J: square tiles so the strided side touches few cache lines.
template <class T> void TransposeTile(uint8_t* d, const uint8_t* s, const Axis& I, const Axis& J)
{
    for (uint64_t jb = 0; jb < J.n; jb += kTile) {
        const uint64_t je = jb + kTile < J.n ? jb + kTile : J.n;
        for (uint64_t ib = 0; ib < I.n; ib += kTile) {
            const uint64_t ie = ib + kTile < I.n ? ib + kTile : I.n;
            for (uint64_t j = jb; j < je; ++j) {
                uint8_t* dr = d + (int64_t)j * J.d;
                const uint8_t* sr = s + (int64_t)j * J.s;
                for (uint64_t i = ib; i < ie; ++i)
                    Store<T>(dr + (int64_t)i * (int64_t)sizeof(T), Load<T>(sr + (int64_t)i * I.s));
            }
        }
    }
}

template <class T> void CopyTyped(uint8_t* dst, const uint8_t* src, Axis* ax, uint32_t m)
{
    const int64_t es = (int64_t)sizeof(T);
    const Axis inner = ax[m - 1];
    if (inner.d == es && inner.s == es) {
        const size_t bytes = (size_t)inner.n * sizeof(T);
        ForEachOuter(ax, m - 1, [&](int64_t od, int64_t os) { memcpy(dst + od, src + os, bytes); });
        return;
    }
    if (inner.d == es) {
        // Look for the axis along which the source is contiguous.
        for (uint32_t j = 0; j + 1 < m; ++j) {
            if (ax[j].s != es) continue;
            const Axis J = ax[j];
            Axis rest[MAX_NDIM_VALUE];
            uint32_t r = 0;
            for (uint32_t k = 0; k + 1 < m; ++k)
                if (k != j) rest[r++] = ax[k];
            ForEachOuter(rest, r, [&](int64_t od, int64_t os) { TransposeTile<T>(dst + od, src + os, inner, J); });
            return;
        }
    }
    ForEachOuter(ax, m - 1, [&](int64_t od, int64_t os) { CopyRow<T>(dst + od, inner.d, src + os, inner.s, inner.n); });
}

// Element sizes without a native type of their width.
void CopyBytes(uint8_t* dst, const uint8_t* src, Axis* ax, uint32_t m, uint32_t esize)
{
    const Axis inner = ax[m - 1];
    ForEachOuter(ax, m - 1, [&](int64_t od, int64_t os) {
        for (uint64_t i = 0; i < inner.n; ++i)
            memcpy(dst + od + (int64_t)i * inner.d, src + os + (int64_t)i * inner.s, esize);
    });
}

}  // namespace

void StridedCopy(void* dst, const int64_t* dstStrides, const void* src, const int64_t* srcStrides,
                 const uint32_t* shape, uint32_t ndim, uint32_t esize)
{
    if (ndim > MAX_NDIM_VALUE) CV_FATAL("StridedCopy: %u dimensions, at most %d are supported", ndim, MAX_NDIM_VALUE);
    if (esize == 0) CV_FATAL("StridedCopy: element size is 0");
    for (uint32_t k = 0; k < ndim; ++k)
        if (shape[k] == 0) return;

    // Unit axes drop out; an outer axis folds into the next inner one when it
    // steps exactly over it in both views.
    Axis ax[MAX_NDIM_VALUE + 1];
    uint32_t m = 0;
    for (uint32_t k = 0; k < ndim; ++k) {
        if (shape[k] == 1) continue;
        const Axis cur = {shape[k], dstStrides[k], srcStrides[k]};
        if (m > 0 && ax[m - 1].d == cur.d * (int64_t)cur.n && ax[m - 1].s == cur.s * (int64_t)cur.n) {
            ax[m - 1] = {ax[m - 1].n * cur.n, cur.d, cur.s};
            continue;
        }
        ax[m++] = cur;
    }
    if (m == 0) ax[m++] = {1, (int64_t)esize, (int64_t)esize};

    uint8_t* d = (uint8_t*)dst;
    const uint8_t* s = (const uint8_t*)src;
    switch (esize) {
    case 1:
        CopyTyped<uint8_t>(d, s, ax, m);
        break;
    case 2:
        CopyTyped<uint16_t>(d, s, ax, m);
        break;
    case 4:
        CopyTyped<uint32_t>(d, s, ax, m);
        break;
    case 8:
        CopyTyped<uint64_t>(d, s, ax, m);
        break;
    default:
        CopyBytes(d, s, ax, m, esize);
        break;
    }
}

void ByteStrides(const Tensor* t, int64_t* strides)
{
    const int64_t esize = DataTypeSize((DataType)t->dtype);
    for (uint32_t k = 0; k < t->ndim && k < MAX_NDIM_VALUE; ++k) strides[k] = (int64_t)t->stride.dimension[k] * esize;
}

bool IsDenseFrom(const Tensor* t, uint32_t from)
{
    if (t->ndim == 0 || from >= t->ndim) return true;
    if (t->stride.dimension[t->ndim - 1] != 1) return false;
    for (uint32_t k = t->ndim - 1; k > from; --k)
        if ((uint64_t)t->stride.dimension[k - 1] != (uint64_t)t->stride.dimension[k] * t->shape.dimension[k])
            return false;
    return true;
}

std::string ShapeText(const uint32_t* dims, uint32_t n)
{
    std::ostringstream text;
    text << '(';
    for (uint32_t k = 0; k < n; ++k) text << (k > 0 ? "," : "") << dims[k];
    text << ')';
    return text.str();
}

uint64_t CheckedElementCount(const uint32_t* dims, uint32_t n)
{
    for (uint32_t k = 0; k < n; ++k)
        if (dims[k] == 0) return 0;
    uint64_t count = 1;
    for (uint32_t k = 0; k < n; ++k) {
        count *= dims[k];
        if (count > UINT32_MAX) return UINT64_MAX;
    }
    return count;
}

}  // namespace dm
}  // namespace corvus
