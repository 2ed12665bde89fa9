#include "DataTypeConvert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

using namespace corvus_test;

namespace {

const int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();

// ---- Independent references, written from the number formats' definitions.

// Value of a finite half pattern: (-1)^s * m * 2^-24 for subnormals,
// (-1)^s * (1024 + m) * 2^(e - 25) otherwise.
double HalfValue(uint16_t h)
{
    const int e = (h >> 10) & 31, m = h & 1023;
    const double v = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
    return (h & 0x8000) ? -v : v;
}

// float32 -> half by double arithmetic: every float is exact in double and
// scaling by powers of two is exact, so the only rounding is nearbyint's
// (ties to even in the default rounding mode).
uint16_t RefHalf(float x)
{
    const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
    if (std::isnan(x)) return sign | 0x7FFF;
    const double m = std::fabs((double)x);
    if (m >= 65520.0) return sign | 0x7C00;  // 65520 is the tie between 65504 and 2^16
    if (m == 0.0) return sign;
    int e;
    std::frexp(m, &e);
    const int exp = std::max(e - 1, -14);  // subnormals share the exponent of the smallest normal
    const double units = std::nearbyint(std::ldexp(m, 10 - exp));
    // A carry to 2048 units lands on the next exponent's zero mantissa.
    return sign | (uint16_t)(((exp + 15) << 10) + (int)units - 1024);
}

int32_t RefI32(double x)
{
    if (std::isnan(x)) return 0;
    if (x >= 2147483648.0) return kMax;
    if (x <= -2147483649.0) return kMin;
    return (int32_t)std::trunc(x);
}

int8_t RefI8(double x) { return std::isnan(x) ? 0 : x > 127.0 ? 127 : x < -128.0 ? -128 : (int8_t)std::trunc(x); }

std::vector<uint32_t> RandomWords(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint32_t> v(n);
    for (auto& w : v) w = gen();
    return v;
}

template <typename T>
std::vector<T> RandomValues(size_t n, uint32_t seed)
{
    const std::vector<uint32_t> w = RandomWords(n, seed);
    std::vector<T> v(n);
    for (size_t i = 0; i < n; ++i) memcpy(&v[i], &w[i], sizeof(T));
    return v;
}

std::vector<uint16_t> AllHalves()
{
    std::vector<uint16_t> all(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    return all;
}

TEST(HalfToFloat, EveryPatternDecodesAndRoundTrips)
{
    const std::vector<uint16_t> all = AllHalves();
    std::vector<float> f(65536);
    std::vector<uint16_t> back(65536);
    std::vector<int32_t> ints(65536);
    float16_to_float32(all.data(), f.data(), 65536);
    float32_to_float16(f.data(), back.data(), 65536);
    convert_f16s32(all.data(), ints.data(), 65536);
    for (uint32_t h = 0; h < 65536; ++h) {
        const uint32_t sign = (h & 0x8000u) << 16, mant = h & 0x3FFu;
        const bool special = (h & 0x7C00u) == 0x7C00u, nan = special && mant != 0;
        if (special)  // infinity and NaN keep sign and payload bits
            ASSERT_EQ(Bits(f[h]), sign | 0x7F800000u | (mant << 13)) << std::hex << h;
        else
            ASSERT_TRUE((double)f[h] == HalfValue((uint16_t)h) && std::signbit(f[h]) == (sign != 0)) << std::hex << h;
        // Every NaN, quiet or signalling, comes back as the canonical 0x7FFF with its sign.
        ASSERT_EQ(back[h], nan ? (h & 0x8000u) | 0x7FFFu : h) << std::hex << h;
        const int32_t wantInt = nan ? 0 : special ? (sign ? kMin : kMax) : (int32_t)std::trunc(HalfValue((uint16_t)h));
        ASSERT_EQ(ints[h], wantInt) << std::hex << h;
    }
    // Hand-known values that anchor the reference itself.
    EXPECT_TRUE(f[0x0001] == 0x1p-24f && f[0x7BFF] == 65504.0f && f[0x0400] == 0x1p-14f && ints[0xBE00] == -1);
}

TEST(FloatToHalf, HandValuesAndTies)
{
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        uint16_t want;
    } cases[] = {
        {65504.0f, 0x7BFF}, {65519.996f, 0x7BFF}, {65520.0f, 0x7C00} /* tie, even is 2^16 */, {1e9f, 0x7C00},
        {inf, 0x7C00}, {-inf, 0xFC00}, {-1e-8f, 0x8000}, {-0.0f, 0x8000}, {1.0f, 0x3C00}, {-2.0f, 0xC000},
        {1.0f + 0x1p-11f, 0x3C00} /* tie, even is 1.0 */, {1.0f + 3 * 0x1p-11f, 0x3C02} /* tie, even is up */,
        {1.0f + 0x1p-11f + 0x1p-23f, 0x3C01}, {0x1p-25f, 0x0000} /* tie with the smallest subnormal */,
        {0x1p-25f + 0x1p-48f, 0x0001}, {1.5f * 0x1p-24f, 0x0002}, {2.5f * 0x1p-24f, 0x0002},
        {0x1p-14f - 0x1p-25f, 0x0400} /* tie between 0x03FF and 0x0400 */, {0x1p-14f - 0x1p-24f, 0x03FF},
        {FromBits(0xFFC00000u), 0xFFFF}, {FromBits(0x7F800001u), 0x7FFF} /* signalling NaN */,
        {FromBits(0x00000001u), 0x0000} /* float32 subnormal */,
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Half(c.in), c.want) << std::hex << "float bits 0x" << Bits(c.in);
        EXPECT_EQ(RefHalf(c.in), c.want) << std::hex << "reference, float bits 0x" << Bits(c.in);
    }
}

// Against the reference: a few ulps around every finite half value and every
// midpoint between neighbours (both signs), every pattern in windows around
// the thresholds, and random patterns; all in one call so that the vector
// loop and its scalar tail are both used.
TEST(FloatToHalf, MatchesReferenceAtAllBoundariesAndRandomPatterns)
{
    std::vector<uint32_t> patterns;
    for (uint32_t h = 0; h < 0x7C00; ++h) {
        const double v = HalfValue((uint16_t)h), next = h == 0x7BFF ? 65536.0 : HalfValue((uint16_t)(h + 1));
        for (double centre : {v, (v + next) / 2}) {
            const uint32_t b = Bits((float)centre);  // exact in float32
            for (int d = b == 0 ? 0 : -2; d <= 2; ++d) {
                patterns.push_back(b + (uint32_t)d);
                patterns.push_back((b + (uint32_t)d) | 0x80000000u);
            }
        }
    }
    // 2^-25 (all below is zero), smallest normal, 65504, 65520, 65536, infinity/NaN, zero.
    for (uint32_t c : {0x33000000u, 0x38800000u, 0x477FE000u, 0x477FF000u, 0x47800000u, 0x7F800000u, 0u})
        for (uint32_t d = 0; d < 4096; ++d) {
            const uint32_t b = (c - 2048 + d) & 0x7FFFFFFFu;
            patterns.push_back(b);
            patterns.push_back(b | 0x80000000u);
        }
    for (uint32_t w : RandomWords(200000, 12345)) {
        patterns.push_back(w);
        // A random magnitude inside the half range, where most patterns round.
        patterns.push_back(0x33000000u + w % (0x47800000u - 0x33000000u) + (w & 0x80000000u));
    }
    std::vector<float> in(patterns.size());
    for (size_t i = 0; i < patterns.size(); ++i) in[i] = FromBits(patterns[i]);
    std::vector<uint16_t> out(in.size());
    float32_to_float16(in.data(), out.data(), (uint32_t)in.size());
    size_t bad = 0;
    for (size_t i = 0; i < in.size(); ++i)
        if (out[i] != RefHalf(in[i]) && ++bad <= 5)
            ADD_FAILURE() << std::hex << "float bits 0x" << patterns[i] << ": got 0x" << out[i] << ", want 0x"
                          << RefHalf(in[i]);
    EXPECT_EQ(bad, 0u);
}

TEST(FloatToInt, SaturatesTruncatesAndZeroesNaN)
{
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float in;
        int8_t i8;
        int32_t i32;
    } cases[] = {
        {200.7f, 127, 200}, {-3.9f, -3, -3}, {127.99f, 127, 127}, {128.0f, 127, 128}, {-128.99f, -128, -128},
        {-129.0f, -128, -129}, {-0.99f, 0, 0}, {inf, 127, kMax}, {-inf, -128, kMin}, {nan, 0, 0}, {-nan, 0, 0},
        {0x1p31f, 127, kMax}, {-0x1p31f, -128, kMin}, {2147483520.0f, 127, 2147483520}, {-2147483904.0f, -128, kMin},
    };
    for (const auto& c : cases) {
        int8_t o8;
        int32_t o32;
        convert_f32i8(&c.in, &o8, 1);
        convert_f32s32(&c.in, &o32, 1);
        EXPECT_TRUE(o8 == c.i8 && o32 == c.i32) << c.in << ": " << (int)o8 << ", " << o32;
    }
    // Random patterns (NaNs, infinities, huge and tiny values) against the double-precision references.
    const std::vector<float> r = RandomValues<float>(20000, 99);
    std::vector<int8_t> r8(r.size());
    std::vector<int32_t> r32(r.size());
    convert_f32i8(r.data(), r8.data(), (uint32_t)r.size());
    convert_f32s32(r.data(), r32.data(), (uint32_t)r.size());
    for (size_t i = 0; i < r.size(); ++i)
        ASSERT_TRUE(r8[i] == RefI8(r[i]) && r32[i] == RefI32(r[i])) << std::hex << Bits(r[i]);
}

TEST(SmallIntegerConversions, EveryByteAndInt32ToFloatAndBoolean)
{
    uint8_t u[256];
    int8_t s[256];
    for (int i = 0; i < 256; ++i) u[i] = (uint8_t)i, s[i] = (int8_t)(i - 128);
    uint16_t uh[256];
    float uf[256], sf[256];
    int32_t si[256];
    convert_u8f16(u, uh, 256);
    convert_u8f32(u, uf, 256);
    convert_i8f32(s, sf, 256);
    convert_bools32(s, si, 256);
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(HalfValue(uh[i]) == i && uf[i] == (float)i && sf[i] == (float)(i - 128) && si[i] == i - 128) << i;

    // int32 -> float through double (exact for int32), rounding once; -> bool is "not zero".
    std::vector<int32_t> r = RandomValues<int32_t>(10000, 5);
    r.insert(r.end(), {0, 16777217, 16777219, -16777217, kMax, kMin, 1, -1});
    std::vector<float> rf(r.size());
    std::vector<int8_t> rb(r.size());
    convert_s32f32(r.data(), rf.data(), (uint32_t)r.size());
    convert_s32bool(r.data(), rb.data(), (uint32_t)r.size());
    for (size_t i = 0; i < r.size(); ++i) ASSERT_TRUE(rf[i] == (float)(double)r[i] && rb[i] == (r[i] != 0)) << r[i];
    EXPECT_EQ(rf[r.size() - 6], 16777220.0f);  // 16777219 is a tie, to even
}

TEST(ConvertCopy, CopiesBytesIncludingOverlapAndZeroLength)
{
    unsigned char buf[32], out[32] = {0};
    for (int i = 0; i < 32; ++i) buf[i] = (unsigned char)i;
    convert_copy(buf, out, 32);
    EXPECT_EQ(memcmp(buf, out, 32), 0);
    convert_copy(buf, buf + 3, 20);  // forward overlap behaves like memmove
    convert_copy(buf + 3, buf, 20);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(buf[i], i);
    convert_copy(nullptr, nullptr, 0);
    float32_to_float16(nullptr, nullptr, 0);
}

// For every converter, element counts up to a few vector widths and every
// placement of the destination relative to the source (disjoint, in place,
// shifted either way by any aligned amount): the result must equal the
// conversion between separate arrays.
template <typename S, typename D>
void CheckAllPlacements(void (*fn)(const S*, D*, uint32_t), const char* name)
{
    for (uint32_t n : {1u, 3u, 16u, 17u, 70u}) {
        const std::vector<S> src = RandomValues<S>(n, 1000 + n);
        std::vector<D> want(n);
        fn(src.data(), want.data(), n);
        const ptrdiff_t sBytes = (ptrdiff_t)(n * sizeof(S)), dBytes = (ptrdiff_t)(n * sizeof(D));
        const ptrdiff_t base = (dBytes + 16 + 7) / 8 * 8;  // source aligned for any element type
        std::vector<uint32_t> storage((size_t)(base + sBytes + dBytes + 32) / 4 + 1);
        unsigned char* buf = reinterpret_cast<unsigned char*>(storage.data());
        for (ptrdiff_t delta = -dBytes - 8; delta <= sBytes + 8; delta += (ptrdiff_t)alignof(D)) {
            memcpy(buf + base, src.data(), (size_t)sBytes);
            fn(reinterpret_cast<const S*>(buf + base), reinterpret_cast<D*>(buf + base + delta), n);
            ASSERT_EQ(memcmp(buf + base + delta, want.data(), (size_t)dBytes), 0)
                << name << ": count " << n << ", destination offset " << delta << " bytes";
        }
    }
}

TEST(ConverterPlacement, OverlappingArraysGiveTheSameResult)
{
    CheckAllPlacements(float32_to_float16, "float32_to_float16");
    CheckAllPlacements(float16_to_float32, "float16_to_float32");
    CheckAllPlacements(convert_u8f16, "convert_u8f16");
    CheckAllPlacements(convert_u8f32, "convert_u8f32");
    CheckAllPlacements(convert_i8f32, "convert_i8f32");
    CheckAllPlacements(convert_f32i8, "convert_f32i8");
    CheckAllPlacements(convert_s32f32, "convert_s32f32");
    CheckAllPlacements(convert_f32s32, "convert_f32s32");
    CheckAllPlacements(convert_f16s32, "convert_f16s32");
    CheckAllPlacements(convert_s32bool, "convert_s32bool");
    CheckAllPlacements(convert_bools32, "convert_bools32");
}

// ---- TensorDataConvert

void FillBytes(Tensor* t, uint32_t seed)
{
    const size_t bytes = (size_t)GetTensorDataSize(t) * DataTypeSize((DataType)t->dtype);
    const std::vector<uint32_t> w = RandomWords(bytes / 4 + 1, seed);
    memcpy(t->data, w.data(), bytes);
}

size_t ByteOffset(const Tensor* t, const std::vector<uint32_t>& idx)
{
    size_t off = 0;
    for (size_t k = 0; k < idx.size(); ++k) off += (size_t)idx[k] * t->stride.dimension[k];
    return off * DataTypeSize((DataType)t->dtype);
}

// One element with the array converter of the pair (a byte copy for equal
// types): the per-element truth the tensor paths must reproduce.
void ConvertOneElement(DataType from, DataType to, const void* s, void* d)
{
    if (from == to) return (void)memcpy(d, s, DataTypeSize(from));
    using F = void (*)(const void*, void*);
    const struct {
        DataType from, to;
        F fn;
    } pairs[] = {
        {DT_FLOAT32, DT_FLOAT16, [](const void* a, void* b) { float32_to_float16((const float*)a, (uint16_t*)b, 1); }},
        {DT_FLOAT32, DT_INT32, [](const void* a, void* b) { convert_f32s32((const float*)a, (int32_t*)b, 1); }},
        {DT_FLOAT32, DT_INT8, [](const void* a, void* b) { convert_f32i8((const float*)a, (int8_t*)b, 1); }},
        {DT_FLOAT16, DT_FLOAT32, [](const void* a, void* b) { float16_to_float32((const uint16_t*)a, (float*)b, 1); }},
        {DT_FLOAT16, DT_INT32, [](const void* a, void* b) { convert_f16s32((const uint16_t*)a, (int32_t*)b, 1); }},
        {DT_INT32, DT_FLOAT32, [](const void* a, void* b) { convert_s32f32((const int32_t*)a, (float*)b, 1); }},
        {DT_INT32, DT_INT8, [](const void* a, void* b) { convert_s32bool((const int32_t*)a, (int8_t*)b, 1); }},
        {DT_UINT8, DT_FLOAT16, [](const void* a, void* b) { convert_u8f16((const uint8_t*)a, (uint16_t*)b, 1); }},
        {DT_UINT8, DT_FLOAT32, [](const void* a, void* b) { convert_u8f32((const uint8_t*)a, (float*)b, 1); }},
        {DT_INT8, DT_INT32, [](const void* a, void* b) { convert_bools32((const int8_t*)a, (int32_t*)b, 1); }},
        {DT_INT8, DT_FLOAT32, [](const void* a, void* b) { convert_i8f32((const int8_t*)a, (float*)b, 1); }},
    };
    for (const auto& p : pairs)
        if (p.from == from && p.to == to) return p.fn(s, d);
    FAIL() << "no converter for the pair";
}

// Converts src into dst with TensorDataConvert and checks every logical
// element against the single-element conversion and every gap byte of dst
// against its previous content.
void ExpectTensorConversion(Tensor* dst, const Tensor* src)
{
    const size_t dBytes = (size_t)GetTensorDataSize(dst) * DataTypeSize((DataType)dst->dtype);
    std::vector<unsigned char> want((unsigned char*)dst->data, (unsigned char*)dst->data + dBytes);
    ForEachIndex(DimsOf(src), [&](const std::vector<uint32_t>& idx) {
        ConvertOneElement((DataType)src->dtype, (DataType)dst->dtype,
                          (const unsigned char*)src->data + ByteOffset(src, idx), want.data() + ByteOffset(dst, idx));
    });
    TensorDataConvert(dst, src);
    ASSERT_TRUE(std::equal(want.begin(), want.end(), (unsigned char*)dst->data))
        << DataTypeToStr((DataType)src->dtype) << " -> " << DataTypeToStr((DataType)dst->dtype);
}

TEST(TensorDataConvert, EverySupportedPairDenseAndStrided)
{
    const std::pair<DataType, DataType> pairs[] = {
        {DT_FLOAT32, DT_FLOAT16}, {DT_FLOAT32, DT_INT32}, {DT_FLOAT32, DT_INT8},   {DT_FLOAT32, DT_FLOAT32},
        {DT_FLOAT16, DT_FLOAT32}, {DT_FLOAT16, DT_INT32}, {DT_FLOAT16, DT_FLOAT16}, {DT_INT32, DT_FLOAT32},
        {DT_INT32, DT_INT8},      {DT_INT32, DT_INT32},   {DT_UINT8, DT_FLOAT16},   {DT_UINT8, DT_FLOAT32},
        {DT_UINT8, DT_UINT8},     {DT_INT8, DT_INT32},    {DT_INT8, DT_FLOAT32},    {DT_INT8, DT_INT8},
        {DT_UINT32, DT_UINT32},
    };
    const struct {
        std::vector<uint32_t> dims, srcStrides, dstStrides;  // empty strides: dense
    } cases[] = {
        {{2, 3, 5, 7}, {}, {}},
        {{2, 3, 4, 5}, {120, 30, 6, 1}, {}},  // padded source
        {{2, 3, 4, 5}, {80, 24, 6, 1}, {100, 30, 5, 1}},
        {{3, 4, 5}, {40, 9, 1}, {21, 5, 1}},
        {{4, 5}, {}, {6, 1}},     // padded destination
        {{2, 0, 5}, {12, 6, 1}, {}},  // zero extent: nothing to do
        {{}, {}, {}},
    };
    for (const auto& c : cases)
        for (const auto& p : pairs) {
            TensorPtr src = NewTensor(p.first, c.dims, c.srcStrides), dst = NewTensor(p.second, c.dims, c.dstStrides);
            FillBytes(src.get(), 21);
            FillBytes(dst.get(), 22);
            ExpectTensorConversion(dst.get(), src.get());
        }
    // In place: a float32 tensor and an int32 view of the same storage.
    TensorPtr f = NewTensor(DT_FLOAT32, {3, 5}), view = NewTensor(DT_INT32, {3, 5}, {}, false);
    SetTensorData(view.get(), f->data);
    for (int i = 0; i < 15; ++i) ((float*)f->data)[i] = -7.5f + i;
    TensorDataConvert(view.get(), f.get());
    for (int i = 0; i < 15; ++i) EXPECT_EQ(((int32_t*)f->data)[i], RefI32(-7.5 + i)) << i;
}

TEST(TensorDataConvert, BadArgumentsAreFatal)
{
    TensorPtr a = NewTensor(DT_FLOAT32, {2, 3}), b = NewTensor(DT_FLOAT16, {2, 3});
    TensorPtr noData = NewTensor(DT_FLOAT32, {2, 3}, {}, false), u8 = NewTensor(DT_UINT8, {2, 3});
    TensorPtr i8 = NewTensor(DT_INT8, {2, 3}), u32 = NewTensor(DT_UINT32, {2, 3});
    TensorPtr rank3 = NewTensor(DT_FLOAT16, {2, 3, 1}), wide = NewTensor(DT_FLOAT16, {2, 4});
    TensorPtr rank5 = NewTensor(DT_FLOAT32, {1, 1, 2, 3, 2}, {24, 24, 12, 4, 1});
    TensorPtr rank5d = NewTensor(DT_FLOAT16, {1, 1, 2, 3, 2});
    TensorPtr innerSrc = NewTensor(DT_FLOAT32, {2, 3}, {6, 2}), innerDst = NewTensor(DT_FLOAT16, {2, 3}, {6, 2});
    TensorPtr paddedSrc = NewTensor(DT_FLOAT32, {2, 3}, {4, 1}), paddedWide = NewTensor(DT_FLOAT16, {2, 4}, {5, 1});
    const char* mod = "DataTypeConvert";
    ExpectFatal(mod, {
        // Unsupported pairs, on the dense and on the strided path.
        {[&] { TensorDataConvert(b.get(), u32.get()); }, "Wrong convert parameters uint32 -> float16"},
        {[&] { TensorDataConvert(b.get(), i8.get()); }, "Wrong convert parameters int8 -> float16"},
        {[&] { TensorDataConvert(u8.get(), paddedSrc.get()); }, "Wrong convert parameters float32 -> uint8"},
        {[&] { TensorDataConvert(nullptr, noData.get()); }, "src->data==NULL, expected not NULL value"},
        {[&] { TensorDataConvert(noData.get(), a.get()); }, "dst->data==NULL, expected not NULL value"},
        // Rank is compared before the strides are looked at.
        {[&] { TensorDataConvert(rank3.get(), innerSrc.get()); }, "dst->ndim == src->ndim: false, expected: true"},
        {[&] { TensorDataConvert(wide.get(), a.get()); },
         "CompareTensorsShape(dst, src) == TCR_SHAPES_EQUAL: false, expected: true"},
        {[&] { TensorDataConvert(paddedWide.get(), paddedSrc.get()); },
         "CompareTensorsShape(dst, src) == TCR_SHAPES_EQUAL: false, expected: true"},
        {[&] { TensorDataConvert(rank5d.get(), rank5.get()); }, "src->ndim <= 4: false, expected: true"},
        {[&] { TensorDataConvert(wide.get(), innerSrc.get()); },
         "src->stride.dimension[src->ndim - 1] == 1: false, expected: true"},
        {[&] { TensorDataConvert(innerDst.get(), a.get()); },
         "dst->stride.dimension[dst->ndim - 1] == 1: false, expected: true"},
    });
}

}  // namespace
