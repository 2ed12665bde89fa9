/* Strided walks over up to six right-aligned dimensions, shared by the
 * element-wise reference kernels. A walk is prepared once (counts and byte
 * strides per dimension, stride 0 where an operand is repeated); the loops
 * then only add strides to pointers. Internal to the library. */
#ifndef CORVUS_KERNELS_REF_ELEMENTWALK_H
#define CORVUS_KERNELS_REF_ELEMENTWALK_H

#include <cstdint>
#include <cstring>
#include <string>

#include "DataType.h"
#include "DataTypeConvert.h"
#include "Tensor.h"

namespace corvus {

template <int N> struct StridedWalk {
    uint32_t count[MAX_NDIM_VALUE];     // outermost first
    int64_t stride[N][MAX_NDIM_VALUE];  // bytes; operand 0 is the output
    uint64_t total;                     // product of the counts
};

// "(d0,d1,...)" as in shape messages.
inline std::string ShapeText(const Tensor* t)
{
    std::string s = "(";
    for (uint32_t k = 0; k < t->ndim; ++k) {
        if (k > 0) s += ",";
        s += std::to_string(t->shape.dimension[k]);
    }
    return s + ")";
}

// Extent and element stride of dimension `fromRight` (0 = innermost) of t,
// or 1 and 0 where t has fewer dimensions.
inline uint32_t AlignedExtent(const Tensor* t, uint32_t fromRight)
{
    return fromRight < t->ndim ? t->shape.dimension[t->ndim - 1 - fromRight] : 1u;
}
inline uint32_t AlignedStride(const Tensor* t, uint32_t fromRight)
{
    return fromRight < t->ndim ? t->stride.dimension[t->ndim - 1 - fromRight] : 0u;
}

// Walk of operands[0] (the output) with operands[1..N-1] broadcast onto it.
// Returns false when an operand's extent is neither the output's nor 1, or
// a rank exceeds six; the caller reports it.
template <int N> bool PrepareWalk(StridedWalk<N>& w, const Tensor* const (&operands)[N])
{
    w.total = 1;
    for (int i = 0; i < N; ++i)
        if (operands[i]->ndim > MAX_NDIM_VALUE) return false;
    for (uint32_t r = 0; r < MAX_NDIM_VALUE; ++r) {
        const uint32_t slot = MAX_NDIM_VALUE - 1 - r;
        const uint32_t n = AlignedExtent(operands[0], r);
        w.count[slot] = n;
        w.total *= n;
        for (int i = 0; i < N; ++i) {
            const Tensor* t = operands[i];
            const uint32_t e = AlignedExtent(t, r);
            if (e != n && e != 1) return false;
            const int64_t bytes = DataTypeSize((DataType)t->dtype);
            w.stride[i][slot] = e == 1 ? 0 : (int64_t)AlignedStride(t, r) * bytes;
        }
    }
    return true;
}

// Calls f(p[0], ..., p[N-1]) for every output element, outermost dimension
// first; p[i] points at operand i's element.
template <int N, class F> void RunWalk(const StridedWalk<N>& w, uint8_t* const (&base)[N], F&& f)
{
    if (w.total == 0) return;
    uint8_t* p0[N];
    for (int i = 0; i < N; ++i) p0[i] = base[i];
    for (uint32_t i0 = 0; i0 < w.count[0]; ++i0) {
        uint8_t* p1[N];
        for (int i = 0; i < N; ++i) p1[i] = p0[i] + (int64_t)i0 * w.stride[i][0];
        for (uint32_t i1 = 0; i1 < w.count[1]; ++i1) {
            uint8_t* p2[N];
            for (int i = 0; i < N; ++i) p2[i] = p1[i] + (int64_t)i1 * w.stride[i][1];
            for (uint32_t i2 = 0; i2 < w.count[2]; ++i2) {
                uint8_t* p3[N];
                for (int i = 0; i < N; ++i) p3[i] = p2[i] + (int64_t)i2 * w.stride[i][2];
                for (uint32_t i3 = 0; i3 < w.count[3]; ++i3) {
                    uint8_t* p4[N];
                    for (int i = 0; i < N; ++i) p4[i] = p3[i] + (int64_t)i3 * w.stride[i][3];
                    for (uint32_t i4 = 0; i4 < w.count[4]; ++i4) {
                        uint8_t* p[N];
                        for (int i = 0; i < N; ++i) p[i] = p4[i] + (int64_t)i4 * w.stride[i][4];
                        for (uint32_t i5 = 0; i5 < w.count[5]; ++i5) {
                            f(p);
                            for (int i = 0; i < N; ++i) p[i] += w.stride[i][5];
                        }
                    }
                }
            }
        }
    }
}

inline bool SameShape(const Tensor* a, const Tensor* b)
{
    if (a->ndim != b->ndim) return false;
    for (uint32_t k = 0; k < a->ndim && k < MAX_NDIM_VALUE; ++k)
        if (a->shape.dimension[k] != b->shape.dimension[k]) return false;
    return true;
}

// out[i] = f(in[i]) over float32 tensors of equal shape (in may be out).
template <class F> void MapFloat32(Tensor* out, const Tensor* in, F&& f)
{
    if (IsSerialData(in) && IsSerialData(out)) {
        const uint32_t n = GetTensorSize(out);
        const float* x = (const float*)in->data;
        float* y = (float*)out->data;
        for (uint32_t i = 0; i < n; ++i) y[i] = f(x[i]);
        return;
    }
    StridedWalk<2> w;
    const Tensor* const t[2] = {out, in};
    PrepareWalk(w, t);
    uint8_t* const base[2] = {(uint8_t*)out->data, (uint8_t*)in->data};
    RunWalk(w, base, [&f](uint8_t* const* p) {
        float x;
        memcpy(&x, p[1], sizeof(x));
        const float y = f(x);
        memcpy(p[0], &y, sizeof(y));
    });
}

// Half-precision path of the unary kernels: the input is widened into a
// float32 temporary, fn(float32 out, float32 in) computes, and the result is
// rounded back into out.
template <class Fn> void ThroughFloat32(Tensor* out, const Tensor* in, Fn&& fn)
{
    struct Temp {
        Tensor* t;
        ~Temp() { DestroyTensor(t); }
    };
    Temp x{CreateTensor(DT_FLOAT32, DL_NONE, in->ndim, in->shape, true)};
    Temp y{CreateTensor(DT_FLOAT32, DL_NONE, out->ndim, out->shape, true)};
    TensorDataConvert(x.t, in);
    fn(y.t, x.t);
    TensorDataConvert(out, y.t);
}

}  // namespace corvus

#endif
