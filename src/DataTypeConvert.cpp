#define CORVUS_MODULE "DataTypeConvert"
#include "DataTypeConvert.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Report.h"

namespace {

inline uint32_t FloatBits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return u;
}

inline float BitsFloat(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, sizeof(f));
    return f;
}

// Per-element rules. They are written without branches (every case is
// computed and the answer selected) so that the loops below turn into
// vector code; the scalar fall-back calls the very same functions, which is
// what keeps both paths bit-identical.

// All-ones when cond holds, else zero: lets lanes be chosen by masking, which
// compilers keep branch-free where chains of conditionals become branches.
inline uint32_t MaskIf(bool cond) { return 0u - (uint32_t)cond; }

inline uint32_t Blend(uint32_t mask, uint32_t ifSet, uint32_t ifClear) { return (ifSet & mask) | (ifClear & ~mask); }

inline uint16_t HalfFromFloat(float x)
{
    const uint32_t u = FloatBits(x);
    const uint32_t sign = (u >> 16) & 0x8000u;
    const uint32_t a = u & 0x7FFFFFFFu;

    // Normal half: re-bias the exponent by -112 and keep 10 mantissa bits.
    // Adding 0x0FFF, or 0x1000 when the kept lowest bit is odd, rounds to
    // nearest with ties to even; the carry may reach 0x7C00 (infinity).
    // For small magnitudes the subtraction wraps, but that lane is not chosen.
    uint32_t normal = a - 0x38000000u;
    normal = (normal + 0x0FFFu + ((normal >> 13) & 1u)) >> 13;

    // Subnormal half: the 24-bit significand shifted right by 126 - exponent
    // (14..24 for the magnitudes that take this lane), after adding half of
    // the dropped part less one plus the kept lowest bit (ties to even). The
    // shift is clamped so that lanes not chosen never shift by an invalid amount.
    const uint32_t mant = (a & 0x007FFFFFu) | 0x00800000u;
    const uint32_t shift = std::min(std::max(126u - (a >> 23), 14u), 24u);
    const uint32_t sub = (mant + (1u << (shift - 1u)) - 1u + ((mant >> shift) & 1u)) >> shift;

    uint32_t h = Blend(MaskIf(a < 0x38800000u), sub, normal);  // below 2^-14
    h &= ~MaskIf(a < 0x33000000u);                             // below 2^-25: zero
    h = Blend(MaskIf(a >= 0x47800000u), 0x7C00u, h);           // 65536 and above, infinity
    h = Blend(MaskIf(a > 0x7F800000u), 0x7FFFu, h);            // NaN
    return (uint16_t)(h | sign);
}

inline float FloatFromHalf(uint16_t h)
{
    // Sign-extend, then shift the half's fields into float32 positions:
    // sign to bit 31 (copies in 28..30), exponent to 23..27, mantissa to 13..22.
    const uint32_t v = (uint32_t)(int32_t)(int16_t)h << 13;
    // Finite: clear the sign copies and rescale by 2^112 (the bias difference);
    // the product is exact and also normalises subnormal halves.
    const float finite = BitsFloat(v & 0x8FFFFFFFu) * 0x1p112f;
    // Infinity and NaN: all-ones float32 exponent, mantissa (payload) kept.
    const uint32_t special = (v & 0x807FFFFFu) | 0x7F800000u;
    return BitsFloat(Blend(MaskIf((h & 0x7C00u) == 0x7C00u), special, FloatBits(finite)));
}

inline uint16_t HalfFromU8(uint8_t b)
{
    // Every byte value is exact in float32 and in half; only the exponent
    // needs re-biasing (zero stays zero through the clamp).
    const uint32_t u = FloatBits((float)b);
    const int32_t e = (int32_t)(u >> 23) - 112;
    const uint32_t eh = (uint32_t)std::max(e, 0);
    return (uint16_t)((eh << 10) | ((u & 0x007FFFFFu) >> 13));
}

inline float FloatFromU8(uint8_t b) { return (float)b; }
inline float FloatFromI8(int8_t b) { return (float)b; }
inline float FloatFromI32(int32_t v) { return (float)v; }
inline int8_t BoolFromI32(int32_t v) { return (int8_t)(v != 0); }
inline int32_t I32FromBool(int8_t b) { return (int32_t)b; }

// A float to integer cast is only defined for values that fit, so NaN and
// out-of-range inputs are replaced before the cast and their results are
// selected afterwards.
inline int8_t I8FromFloat(float x)
{
    float c = x > 127.0f ? 127.0f : x;
    c = c < -128.0f ? -128.0f : c;
    c = x != x ? 0.0f : c;
    return (int8_t)(int32_t)c;
}

inline int32_t I32FromFloat(float x)
{
    const bool high = x >= 0x1p31f;
    const bool low = x < -0x1p31f;
    const float c = (high || low || x != x) ? 0.0f : x;
    int32_t r = (int32_t)c;
    r = high ? INT32_MAX : r;
    r = low ? INT32_MIN : r;
    return r;
}

inline int32_t I32FromHalf(uint16_t h) { return I32FromFloat(FloatFromHalf(h)); }

// Disjoint arrays: a plain loop over restrict pointers with a branch-free body,
// which the compiler turns into vector steps of 4 to 16 elements (by element
// width) plus a scalar tail.
template <typename S, typename D, D (*Op)(S)>
void ConvertDisjoint(const S* __restrict src, D* __restrict dst, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) dst[i] = Op(src[i]);
}

// Overlapping arrays are processed one element at a time, reading each source
// element before its destination is written. Accesses go through memcpy on
// bytes because the two arrays view the same memory with different types.
template <typename S, typename D, D (*Op)(S)>
inline void ConvertOne(const unsigned char* src, unsigned char* dst, uint32_t i)
{
    S s;
    std::memcpy(&s, src + (size_t)i * sizeof(S), sizeof(S));
    const D d = Op(s);
    std::memcpy(dst + (size_t)i * sizeof(D), &d, sizeof(D));
}

template <typename S, typename D, D (*Op)(S)> void Convert(const S* src, D* dst, uint32_t count)
{
    if (count == 0) return;
    const uintptr_t s = (uintptr_t)src;
    const uintptr_t d = (uintptr_t)dst;
    if (d + (uintptr_t)count * sizeof(D) <= s || s + (uintptr_t)count * sizeof(S) <= d) {
        ConvertDisjoint<S, D, Op>(src, dst, count);
        return;
    }

    // Element i writes bytes [d + i*D, d + (i+1)*D) and reads [s + i*S, ...).
    // Going forward is safe when no write reaches a source element not yet
    // read: delta <= k*(S-D) for k = 1..count-1; going backward when
    // delta >= k*(S-D). Both bounds are linear in k, so the ends suffice.
    const ptrdiff_t delta = (ptrdiff_t)(d - s);
    const ptrdiff_t step = (ptrdiff_t)sizeof(S) - (ptrdiff_t)sizeof(D);
    const ptrdiff_t last = (ptrdiff_t)(count - 1) * step;
    const unsigned char* sb = reinterpret_cast<const unsigned char*>(src);
    unsigned char* db = reinterpret_cast<unsigned char*>(dst);
    if (count == 1 || (delta <= step && delta <= last)) {
        for (uint32_t i = 0; i < count; ++i) ConvertOne<S, D, Op>(sb, db, i);
    } else if (delta >= step && delta >= last) {
        for (uint32_t i = count; i-- > 0;) ConvertOne<S, D, Op>(sb, db, i);
    } else {
        // Neither order works (a narrowing or widening conversion shifted
        // part-way into itself): convert from a private copy of the source.
        S* copy = static_cast<S*>(std::malloc((size_t)count * sizeof(S)));
        if (copy == nullptr) CV_FATAL("Cannot allocate memory");
        std::memcpy(copy, sb, (size_t)count * sizeof(S));
        ConvertDisjoint<S, D, Op>(copy, dst, count);
        std::free(copy);
    }
}

void CopyBytes(const void* src, void* dst, size_t bytes)
{
    if (bytes != 0) std::memmove(dst, src, bytes);
}

// Row converters on untyped storage, for the tensor-level dispatch.
using RowConverter = void (*)(const void* src, void* dst, uint32_t count);

template <typename S, typename D, void (*Fn)(const S*, D*, uint32_t)>
void Row(const void* src, void* dst, uint32_t count)
{
    Fn(static_cast<const S*>(src), static_cast<D*>(dst), count);
}

template <size_t kSize> void CopyRow(const void* src, void* dst, uint32_t count)
{
    CopyBytes(src, dst, (size_t)count * kSize);
}

struct ConverterEntry {
    DataType from;
    DataType to;
    RowConverter fn;
};

const ConverterEntry kConverters[] = {
    {DT_FLOAT32, DT_FLOAT16, Row<float, uint16_t, float32_to_float16>},
    {DT_FLOAT32, DT_INT32, Row<float, int32_t, convert_f32s32>},
    {DT_FLOAT32, DT_INT8, Row<float, int8_t, convert_f32i8>},
    {DT_FLOAT32, DT_FLOAT32, CopyRow<4>},
    {DT_FLOAT16, DT_FLOAT32, Row<uint16_t, float, float16_to_float32>},
    {DT_FLOAT16, DT_INT32, Row<uint16_t, int32_t, convert_f16s32>},
    {DT_FLOAT16, DT_FLOAT16, CopyRow<2>},
    {DT_INT32, DT_FLOAT32, Row<int32_t, float, convert_s32f32>},
    {DT_INT32, DT_INT8, Row<int32_t, int8_t, convert_s32bool>},
    {DT_INT32, DT_INT32, CopyRow<4>},
    {DT_UINT8, DT_FLOAT16, Row<uint8_t, uint16_t, convert_u8f16>},
    {DT_UINT8, DT_FLOAT32, Row<uint8_t, float, convert_u8f32>},
    {DT_UINT8, DT_UINT8, CopyRow<1>},
    {DT_INT8, DT_INT32, Row<int8_t, int32_t, convert_bools32>},
    {DT_INT8, DT_FLOAT32, Row<int8_t, float, convert_i8f32>},
    {DT_INT8, DT_INT8, CopyRow<1>},
    {DT_UINT32, DT_UINT32, CopyRow<4>},
};

RowConverter FindConverter(uint32_t from, uint32_t to)
{
    for (const ConverterEntry& e : kConverters)
        if ((uint32_t)e.from == from && (uint32_t)e.to == to) return e.fn;
    CV_FATAL("Wrong convert parameters %s -> %s", DataTypeToStr((DataType)from), DataTypeToStr((DataType)to));
}

void ConvertStrided(Tensor* dst, const Tensor* src, RowConverter fn)
{
    // Seen as four-dimensional with leading extents of 1; the innermost rows
    // are contiguous in both tensors.
    constexpr uint32_t kDims = 4;
    const size_t sSize = DataTypeSize((DataType)src->dtype);
    const size_t dSize = DataTypeSize((DataType)dst->dtype);
    const uint32_t pad = kDims - src->ndim;
    uint32_t ext[kDims];
    size_t sStep[kDims], dStep[kDims];
    for (uint32_t k = 0; k < kDims; ++k) {
        if (k < pad) {
            ext[k] = 1;
            sStep[k] = dStep[k] = 0;
        } else {
            ext[k] = src->shape.dimension[k - pad];
            sStep[k] = (size_t)src->stride.dimension[k - pad] * sSize;
            dStep[k] = (size_t)dst->stride.dimension[k - pad] * dSize;
        }
    }
    const uint32_t row = ext[kDims - 1];
    if (row == 0) return;
    const unsigned char* sBase = static_cast<const unsigned char*>(src->data);
    unsigned char* dBase = static_cast<unsigned char*>(dst->data);
    for (uint32_t i0 = 0; i0 < ext[0]; ++i0)
        for (uint32_t i1 = 0; i1 < ext[1]; ++i1)
            for (uint32_t i2 = 0; i2 < ext[2]; ++i2) {
                const size_t so = i0 * sStep[0] + i1 * sStep[1] + i2 * sStep[2];
                const size_t dOff = i0 * dStep[0] + i1 * dStep[1] + i2 * dStep[2];
                fn(sBase + so, dBase + dOff, row);
            }
}

}  // namespace

extern "C" {

void float32_to_float16(const float* src, uint16_t* dst, uint32_t count)
{
    Convert<float, uint16_t, HalfFromFloat>(src, dst, count);
}

void float16_to_float32(const uint16_t* src, float* dst, uint32_t count)
{
    Convert<uint16_t, float, FloatFromHalf>(src, dst, count);
}

void convert_u8f16(const uint8_t* src, uint16_t* dst, uint32_t count)
{
    Convert<uint8_t, uint16_t, HalfFromU8>(src, dst, count);
}

void convert_u8f32(const uint8_t* src, float* dst, uint32_t count)
{
    Convert<uint8_t, float, FloatFromU8>(src, dst, count);
}

void convert_i8f32(const int8_t* src, float* dst, uint32_t count)
{
    Convert<int8_t, float, FloatFromI8>(src, dst, count);
}

void convert_f32i8(const float* src, int8_t* dst, uint32_t count)
{
    Convert<float, int8_t, I8FromFloat>(src, dst, count);
}

void convert_s32f32(const int32_t* src, float* dst, uint32_t count)
{
    Convert<int32_t, float, FloatFromI32>(src, dst, count);
}

void convert_f32s32(const float* src, int32_t* dst, uint32_t count)
{
    Convert<float, int32_t, I32FromFloat>(src, dst, count);
}

void convert_f16s32(const uint16_t* src, int32_t* dst, uint32_t count)
{
    Convert<uint16_t, int32_t, I32FromHalf>(src, dst, count);
}

void convert_s32bool(const int32_t* src, int8_t* dst, uint32_t count)
{
    Convert<int32_t, int8_t, BoolFromI32>(src, dst, count);
}

void convert_bools32(const int8_t* src, int32_t* dst, uint32_t count)
{
    Convert<int8_t, int32_t, I32FromBool>(src, dst, count);
}

void convert_copy(const void* src, void* dst, uint32_t bytes) { CopyBytes(src, dst, bytes); }

void TensorDataConvert(Tensor* dst, const Tensor* src)
{
    if (src == nullptr) CV_FATAL("src==NULL, expected not NULL value");
    if (src->data == nullptr) CV_FATAL("src->data==NULL, expected not NULL value");
    if (dst == nullptr) CV_FATAL("dst==NULL, expected not NULL value");
    if (dst->data == nullptr) CV_FATAL("dst->data==NULL, expected not NULL value");
    if (dst->ndim != src->ndim) CV_FATAL("dst->ndim == src->ndim: false, expected: true");

    if (IsSerialData(src) && IsSerialData(dst)) {
        if (CompareTensorsShape(dst, src) != TCR_SHAPES_EQUAL)
            CV_FATAL("CompareTensorsShape(dst, src) == TCR_SHAPES_EQUAL: false, expected: true");
        const RowConverter fn = FindConverter(src->dtype, dst->dtype);
        fn(src->data, dst->data, GetTensorSize(src));
        return;
    }

    if (src->ndim > 4) CV_FATAL("src->ndim <= 4: false, expected: true");
    if (src->stride.dimension[src->ndim - 1] != 1)
        CV_FATAL("src->stride.dimension[src->ndim - 1] == 1: false, expected: true");
    if (dst->stride.dimension[dst->ndim - 1] != 1)
        CV_FATAL("dst->stride.dimension[dst->ndim - 1] == 1: false, expected: true");
    if (CompareTensorsShape(dst, src) != TCR_SHAPES_EQUAL)
        CV_FATAL("CompareTensorsShape(dst, src) == TCR_SHAPES_EQUAL: false, expected: true");
    ConvertStrided(dst, src, FindConverter(src->dtype, dst->dtype));
}

}  // extern "C"
