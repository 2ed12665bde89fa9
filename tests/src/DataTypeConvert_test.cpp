#include "DataTypeConvert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

using ::testing::ExitedWithCode;

namespace {

uint32_t Bits(float f)
{
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

float FromBits(uint32_t u)
{
    float f;
    memcpy(&f, &u, 4);
    return f;
}

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
    if (m >= 65520.0) return sign | 0x7C00; // 65520 is the tie between 65504 and 2^16
    if (m == 0.0) return sign;
    int e;
    std::frexp(m, &e);
    const int exp = std::max(e - 1, -14); // subnormals share the exponent of the smallest normal
    const double units = std::nearbyint(std::ldexp(m, 10 - exp));
    // A carry to 2048 units lands on the next exponent's zero mantissa.
    return sign | (uint16_t)(((exp + 15) << 10) + (int)units - 1024);
}

int32_t RefI32(double x)
{
    if (std::isnan(x)) return 0;
    if (x >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    if (x <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    return (int32_t)std::trunc(x);
}

int8_t RefI8(double x)
{
    if (std::isnan(x)) return 0;
    if (x > 127.0) return 127;
    if (x < -128.0) return -128;
    return (int8_t)std::trunc(x);
}

// Converts every pattern with float32_to_float16 in one call and compares it
// with RefHalf; reports only the first mismatches.
void ExpectHalvesMatchReference(const std::vector<uint32_t>& patterns)
{
    std::vector<float> in(patterns.size());
    for (size_t i = 0; i < patterns.size(); ++i) in[i] = FromBits(patterns[i]);
    std::vector<uint16_t> out(in.size());
    float32_to_float16(in.data(), out.data(), (uint32_t)in.size());
    size_t bad = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const uint16_t want = RefHalf(in[i]);
        if (out[i] != want && ++bad <= 5)
            ADD_FAILURE() << std::hex << "float bits 0x" << patterns[i] << ": got 0x" << out[i] << ", want 0x"
                          << want;
    }
    EXPECT_EQ(bad, 0u);
}

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

// ---- float16 -> float32

TEST(HalfToFloat, EveryPatternDecodesToItsValue)
{
    std::vector<uint16_t> all(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    std::vector<float> f(65536);
    float16_to_float32(all.data(), f.data(), 65536);
    for (uint32_t h = 0; h < 65536; ++h) {
        const uint32_t sign = (h & 0x8000u) << 16, mant = h & 0x3FFu;
        if ((h & 0x7C00u) == 0x7C00u) {
            // Infinity and NaN keep sign and mantissa (payload) bits.
            ASSERT_EQ(Bits(f[h]), sign | 0x7F800000u | (mant << 13)) << std::hex << h;
        } else {
            ASSERT_EQ((double)f[h], HalfValue((uint16_t)h)) << std::hex << h;
            ASSERT_EQ(std::signbit(f[h]), (h & 0x8000u) != 0) << std::hex << h;
        }
    }
    EXPECT_EQ(f[0x0001], 5.9604645e-8f);
    EXPECT_EQ(f[0x7C00], std::numeric_limits<float>::infinity());
    EXPECT_EQ(f[0xFC00], -std::numeric_limits<float>::infinity());
    EXPECT_EQ(f[0x7BFF], 65504.0f);
    EXPECT_EQ(f[0x0400], 0x1p-14f);
    EXPECT_EQ(f[0x03FF], 1023 * 0x1p-24f);
}

TEST(HalfToFloat, RoundTripKeepsEveryPatternButNaNPayloads)
{
    std::vector<uint16_t> all(65536), back(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    std::vector<float> f(65536);
    float16_to_float32(all.data(), f.data(), 65536);
    float32_to_float16(f.data(), back.data(), 65536);
    uint32_t nans = 0;
    for (uint32_t h = 0; h < 65536; ++h) {
        if ((h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0) {
            // Every NaN, quiet or signalling, comes back as the canonical
            // 0x7FFF with its sign.
            ++nans;
            ASSERT_EQ(back[h], (h & 0x8000u) | 0x7FFFu) << std::hex << h;
        } else {
            ASSERT_EQ(back[h], h) << std::hex << h;
        }
    }
    EXPECT_EQ(nans, 2046u);
}

// ---- float32 -> float16

TEST(FloatToHalf, DocumentedValues)
{
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        uint16_t want;
    } cases[] = {
        {65504.0f, 0x7BFF},
        {65519.996f, 0x7BFF},
        {65520.0f, 0x7C00}, // tie, the even neighbour is 2^16
        {65536.0f, 0x7C00},
        {1e9f, 0x7C00},
        {inf, 0x7C00},
        {-inf, 0xFC00},
        {1e-8f, 0x0000},
        {-1e-8f, 0x8000},
        {-0.0f, 0x8000},
        {0.0f, 0x0000},
        {1.0f, 0x3C00},
        {-2.0f, 0xC000},
        {1.0f + 0x1p-11f, 0x3C00},        // tie, even is 1.0
        {1.0f + 3 * 0x1p-11f, 0x3C02},    // tie, even is up
        {1.0f + 0x1p-11f + 0x1p-23f, 0x3C01},
        {0x1p-25f, 0x0000},               // tie between 0 and the smallest subnormal
        {0x1p-25f + 0x1p-48f, 0x0001},    // just above the tie
        {0x1p-24f, 0x0001},
        {1.5f * 0x1p-24f, 0x0002},        // tie, even is 2
        {2.5f * 0x1p-24f, 0x0002},        // tie, even is 2
        {0x1p-14f, 0x0400},               // smallest normal
        {0x1p-14f - 0x1p-25f, 0x0400},    // tie between 0x03FF and 0x0400
        {0x1p-14f - 0x1p-24f, 0x03FF},
        {FromBits(0x7FC00000u), 0x7FFF},
        {FromBits(0xFFC00000u), 0xFFFF},
        {FromBits(0x7F800001u), 0x7FFF},  // signalling NaN
        {FromBits(0xFFFFFFFFu), 0xFFFF},
        {FromBits(0x00000001u), 0x0000},  // float32 subnormal
    };
    for (const auto& c : cases) {
        uint16_t h = 0x1234;
        float32_to_float16(&c.in, &h, 1);
        EXPECT_EQ(h, c.want) << std::hex << "float bits 0x" << Bits(c.in);
        EXPECT_EQ(RefHalf(c.in), c.want) << std::hex << "reference, float bits 0x" << Bits(c.in);
    }
}

// Around every finite half value and every midpoint between neighbours, the
// floats a few ulps either side, both signs.
TEST(FloatToHalf, MatchesReferenceAroundEveryHalfAndMidpoint)
{
    std::vector<uint32_t> patterns;
    patterns.reserve(31744 * 2 * 9 * 2);
    for (uint32_t h = 0; h < 0x7C00; ++h) {
        const double v = HalfValue((uint16_t)h);
        const double next = h == 0x7BFF ? 65536.0 : HalfValue((uint16_t)(h + 1));
        for (double centre : {v, (v + next) / 2}) {
            const uint32_t b = Bits((float)centre);
            ASSERT_EQ((double)FromBits(b), centre); // both are exact in float32
            for (int d = -4; d <= 4; ++d) {
                if (b == 0 && d < 0) continue;
                patterns.push_back(b + (uint32_t)d);
                patterns.push_back((b + (uint32_t)d) | 0x80000000u);
            }
        }
    }
    ExpectHalvesMatchReference(patterns);
}

// Every float pattern in windows around the thresholds of the algorithm.
TEST(FloatToHalf, MatchesReferenceExhaustivelyAroundThresholds)
{
    const uint32_t centres[] = {
        0x33000000u, // 2^-25: below it everything is zero
        0x38800000u, // 2^-14: smallest normal half
        0x477FE000u, // 65504
        0x477FF000u, // 65520: rounds to infinity
        0x47800000u, // 65536
        0x7F800000u, // infinity / NaN
        0x00000000u, // zero and float32 subnormals
    };
    std::vector<uint32_t> patterns;
    for (uint32_t c : centres)
        for (uint32_t d = 0; d < (1u << 17); ++d) {
            const uint32_t b = (c - (1u << 16) + d) & 0x7FFFFFFFu;
            patterns.push_back(b);
            patterns.push_back(b | 0x80000000u);
        }
    ExpectHalvesMatchReference(patterns);
}

TEST(FloatToHalf, MatchesReferenceOnRandomPatterns)
{
    ExpectHalvesMatchReference(RandomWords(4000000, 12345));
    // Random magnitudes inside the half range, where most patterns round.
    std::vector<uint32_t> inRange = RandomWords(1000000, 777);
    for (auto& w : inRange) w = 0x33000000u + w % (0x47800000u - 0x33000000u) + (w & 0x80000000u);
    ExpectHalvesMatchReference(inRange);
}

// ---- Saturating float -> integer

TEST(FloatToInt, SaturatesTruncatesAndZeroesNaN)
{
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float in[] = {200.7f,  -3.9f,   127.0f,  127.99f,  128.0f, -128.0f,     -128.99f,    -129.0f,
                        0.99f,   -0.99f,  -0.0f,   inf,      -inf,   nan,         -nan,        0x1p31f,
                        -0x1p31f, 2147483520.0f, -2147483904.0f, 1e30f, -1e30f, 1e-45f, 65504.0f, 3e9f};
    const int8_t want8[] = {127, -3, 127, 127, 127, -128, -128, -128, 0, 0, 0, 127,
                            -128, 0, 0, 127, -128, 127, -128, 127, -128, 0, 127, 127};
    const int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
    const int32_t want32[] = {200, -3, 127, 127, 128, -128, -128, -129, 0, 0, 0, kMax,
                              kMin, 0, 0, kMax, kMin, 2147483520, kMin, kMax, kMin, 0, 65504, kMax};
    const uint32_t n = sizeof(in) / sizeof(in[0]);
    static_assert(sizeof(want8) == sizeof(in) / 4 && sizeof(want32) == sizeof(in), "table sizes");
    int8_t out8[n];
    int32_t out32[n];
    convert_f32i8(in, out8, n);
    convert_f32s32(in, out32, n);
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(out8[i], want8[i]) << "int8 of " << in[i];
        EXPECT_EQ(out32[i], want32[i]) << "int32 of " << in[i];
    }

    // Random patterns (NaNs, infinities, huge and tiny values) against the
    // double-precision references.
    const std::vector<float> r = RandomValues<float>(200000, 99);
    std::vector<int8_t> r8(r.size());
    std::vector<int32_t> r32(r.size());
    convert_f32i8(r.data(), r8.data(), (uint32_t)r.size());
    convert_f32s32(r.data(), r32.data(), (uint32_t)r.size());
    for (size_t i = 0; i < r.size(); ++i) {
        ASSERT_EQ(r8[i], RefI8(r[i])) << std::hex << Bits(r[i]);
        ASSERT_EQ(r32[i], RefI32(r[i])) << std::hex << Bits(r[i]);
    }
}

TEST(HalfToInt32, EveryPatternTruncatesItsValue)
{
    std::vector<uint16_t> all(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    std::vector<int32_t> out(65536);
    convert_f16s32(all.data(), out.data(), 65536);
    for (uint32_t h = 0; h < 65536; ++h) {
        int32_t want;
        if ((h & 0x7FFFu) == 0x7C00u)
            want = (h & 0x8000u) ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
        else if ((h & 0x7C00u) == 0x7C00u)
            want = 0;
        else
            want = (int32_t)std::trunc(HalfValue((uint16_t)h));
        ASSERT_EQ(out[h], want) << std::hex << h;
    }
    EXPECT_EQ(out[0x7BFF], 65504);
    EXPECT_EQ(out[0xBE00], -1); // -1.5
}

// ---- Byte and integer conversions

TEST(SmallIntegerConversions, EveryByteValue)
{
    uint8_t u[256];
    int8_t s[256];
    for (int i = 0; i < 256; ++i) {
        u[i] = (uint8_t)i;
        s[i] = (int8_t)(i - 128);
    }
    uint16_t uh[256];
    float uf[256], sf[256];
    int32_t si[256];
    convert_u8f16(u, uh, 256);
    convert_u8f32(u, uf, 256);
    convert_i8f32(s, sf, 256);
    convert_bools32(s, si, 256);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(HalfValue(uh[i]), (double)i) << i;
        EXPECT_EQ(uh[i], RefHalf((float)i)) << i;
        EXPECT_EQ(uf[i], (float)i);
        EXPECT_EQ(sf[i], (float)(i - 128));
        EXPECT_EQ(si[i], i - 128);
    }
    EXPECT_EQ(uh[0], 0x0000);
    EXPECT_EQ(uh[1], 0x3C00);
    EXPECT_EQ(uh[255], 0x5BF8);
}

TEST(SmallIntegerConversions, Int32ToFloatAndBoolean)
{
    const int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
    const int32_t in[] = {0, 5, -2, 16777216, 16777217, 16777219, -16777217, kMax, kMin, 1, -1};
    const float wantF[] = {0.0f, 5.0f, -2.0f, 16777216.0f, 16777216.0f, 16777220.0f, -16777216.0f,
                           0x1p31f, -0x1p31f, 1.0f, -1.0f};
    const int8_t wantB[] = {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const uint32_t n = sizeof(in) / sizeof(in[0]);
    float f[n];
    int8_t b[n];
    convert_s32f32(in, f, n);
    convert_s32bool(in, b, n);
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(f[i], wantF[i]) << in[i];
        EXPECT_EQ(b[i], wantB[i]) << in[i];
    }
    // Through double (exact for int32), rounding once to float.
    const std::vector<int32_t> r = RandomValues<int32_t>(100000, 5);
    std::vector<float> rf(r.size());
    convert_s32f32(r.data(), rf.data(), (uint32_t)r.size());
    for (size_t i = 0; i < r.size(); ++i) ASSERT_EQ(rf[i], (float)(double)r[i]) << r[i];
}

TEST(ConvertCopy, CopiesBytesIncludingOverlapAndZeroLength)
{
    unsigned char buf[32];
    for (int i = 0; i < 32; ++i) buf[i] = (unsigned char)i;
    unsigned char out[32] = {0};
    convert_copy(buf, out, 32);
    EXPECT_EQ(memcmp(buf, out, 32), 0);
    convert_copy(buf, buf + 3, 20); // forward overlap behaves like memmove
    for (int i = 0; i < 20; ++i) EXPECT_EQ(buf[3 + i], i);
    convert_copy(buf + 3, buf, 20);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(buf[i], i);
    convert_copy(nullptr, nullptr, 0);
    float32_to_float16(nullptr, nullptr, 0);
}

// ---- Overlapping source and destination
//
// For every converter, every element count up to a few vector widths and
// every placement of the destination relative to the source (disjoint, in
// place, shifted either way by any aligned amount), the result must equal the
// conversion between separate arrays.

template <typename S, typename D>
void CheckAllPlacements(void (*fn)(const S*, D*, uint32_t), const char* name)
{
    for (uint32_t n : {1u, 2u, 3u, 7u, 15u, 16u, 17u, 33u, 70u}) {
        const std::vector<S> src = RandomValues<S>(n, 1000 + n);
        std::vector<D> want(n);
        fn(src.data(), want.data(), n);

        const ptrdiff_t sBytes = (ptrdiff_t)(n * sizeof(S)), dBytes = (ptrdiff_t)(n * sizeof(D));
        const ptrdiff_t base = (dBytes + 16 + 7) / 8 * 8; // source aligned for any element type
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

// Long arrays go through the vector loop with a scalar tail; each element must
// be converted exactly as on its own.
TEST(ConverterPlacement, LongArraysMatchElementWiseConversion)
{
    const std::vector<float> f = RandomValues<float>(1027, 3);
    std::vector<uint16_t> h(f.size());
    float32_to_float16(f.data(), h.data(), (uint32_t)f.size());
    std::vector<float> back(f.size());
    float16_to_float32(h.data(), back.data(), (uint32_t)h.size());
    for (size_t i = 0; i < f.size(); ++i) {
        uint16_t one;
        float32_to_float16(&f[i], &one, 1);
        ASSERT_EQ(h[i], one) << i;
        float oneBack;
        float16_to_float32(&h[i], &oneBack, 1);
        ASSERT_EQ(Bits(back[i]), Bits(oneBack)) << i;
    }
}

// ---- TensorDataConvert

using TensorPtr = std::unique_ptr<Tensor, decltype(&DestroyTensor)>;

TensorShape ShapeOf(const std::vector<uint32_t>& dims)
{
    TensorShape s;
    memset(&s, 0, sizeof(s));
    for (size_t k = 0; k < dims.size(); ++k) s.dimension[k] = dims[k];
    return s;
}

TensorPtr Dense(DataType dt, const std::vector<uint32_t>& dims)
{
    return TensorPtr(CreateTensor(dt, DL_NONE, (uint32_t)dims.size(), ShapeOf(dims), true), DestroyTensor);
}

TensorPtr Strided(DataType dt, const std::vector<uint32_t>& dims, const std::vector<uint32_t>& strides)
{
    TensorStrides st;
    memset(&st, 0, sizeof(st));
    for (size_t k = 0; k < strides.size(); ++k) st.dimension[k] = strides[k];
    return TensorPtr(CreateTensorWithStrides(dt, DL_NONE, (uint32_t)dims.size(), ShapeOf(dims), st, true),
                     DestroyTensor);
}

void FillBytes(Tensor* t, uint32_t seed)
{
    const size_t bytes = (size_t)GetTensorDataSize(t) * DataTypeSize((DataType)t->dtype);
    const std::vector<uint32_t> w = RandomWords(bytes / 4 + 1, seed);
    memcpy(t->data, w.data(), bytes);
}

// Byte offset of a multi-index (outermost first).
size_t Offset(const Tensor* t, const std::vector<uint32_t>& idx)
{
    size_t off = 0;
    for (size_t k = 0; k < idx.size(); ++k) off += (size_t)idx[k] * t->stride.dimension[k];
    return off * DataTypeSize((DataType)t->dtype);
}

// Calls fn(index) for every logical index of a shape, row-major.
template <typename F>
void ForEachIndex(const std::vector<uint32_t>& dims, F fn)
{
    for (uint32_t d : dims)
        if (d == 0) return;
    std::vector<uint32_t> idx(dims.size(), 0);
    for (;;) {
        fn(idx);
        size_t k = dims.size();
        while (k > 0 && ++idx[k - 1] == dims[k - 1]) idx[--k] = 0;
        if (k == 0) return;
    }
}

// Converts a single element with the array converter of the pair (or a byte
// copy for equal types): the per-element truth the tensor paths must reproduce.
void ConvertOneElement(DataType from, DataType to, const void* s, void* d)
{
    if (from == to) {
        memcpy(d, s, DataTypeSize(from));
        return;
    }
    struct Pair {
        DataType from, to;
        void (*fn)(const void*, void*);
    };
    static const Pair pairs[] = {
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
    for (const Pair& p : pairs)
        if (p.from == from && p.to == to) return p.fn(s, d);
    FAIL() << "no converter for the pair";
}

const std::vector<std::pair<DataType, DataType>> kSupportedPairs = {
    {DT_FLOAT32, DT_FLOAT16}, {DT_FLOAT32, DT_INT32}, {DT_FLOAT32, DT_INT8},   {DT_FLOAT32, DT_FLOAT32},
    {DT_FLOAT16, DT_FLOAT32}, {DT_FLOAT16, DT_INT32}, {DT_FLOAT16, DT_FLOAT16}, {DT_INT32, DT_FLOAT32},
    {DT_INT32, DT_INT8},      {DT_INT32, DT_INT32},   {DT_UINT8, DT_FLOAT16},   {DT_UINT8, DT_FLOAT32},
    {DT_UINT8, DT_UINT8},     {DT_INT8, DT_INT32},    {DT_INT8, DT_FLOAT32},    {DT_INT8, DT_INT8},
    {DT_UINT32, DT_UINT32},
};

// Converts src into dst with TensorDataConvert and checks every logical
// element against the single-element conversion and every gap byte of dst
// against its previous content.
void ExpectTensorConversion(Tensor* dst, const Tensor* src, const std::vector<uint32_t>& dims)
{
    const size_t dBytes = (size_t)GetTensorDataSize(dst) * DataTypeSize((DataType)dst->dtype);
    std::vector<unsigned char> want((unsigned char*)dst->data, (unsigned char*)dst->data + dBytes);
    ForEachIndex(dims, [&](const std::vector<uint32_t>& idx) {
        ConvertOneElement((DataType)src->dtype, (DataType)dst->dtype,
                          (const unsigned char*)src->data + Offset(src, idx), want.data() + Offset(dst, idx));
    });
    TensorDataConvert(dst, src);
    const std::vector<unsigned char> got((unsigned char*)dst->data, (unsigned char*)dst->data + dBytes);
    ASSERT_TRUE(got == want) << DataTypeToStr((DataType)src->dtype) << " -> " << DataTypeToStr((DataType)dst->dtype);
}

TEST(TensorDataConvert, DenseTensorsForEverySupportedPair)
{
    const std::vector<uint32_t> dims = {2, 3, 5, 7};
    for (const auto& p : kSupportedPairs) {
        TensorPtr src = Dense(p.first, dims), dst = Dense(p.second, dims);
        FillBytes(src.get(), 11);
        FillBytes(dst.get(), 12);
        ExpectTensorConversion(dst.get(), src.get(), dims);
    }
}

TEST(TensorDataConvert, StridedTensorsConvertRowByRowAndLeaveGaps)
{
    struct Case {
        std::vector<uint32_t> dims, srcStrides, dstStrides; // empty strides: dense
    };
    const Case cases[] = {
        {{2, 3, 4, 5}, {120, 30, 6, 1}, {}},          // padded source
        {{2, 3, 4, 5}, {}, {90, 28, 7, 1}},           // padded destination
        {{2, 3, 4, 5}, {80, 24, 6, 1}, {100, 30, 5, 1}},
        {{3, 4, 5}, {40, 9, 1}, {21, 5, 1}},
        {{4, 5}, {8, 1}, {6, 1}},
        {{2, 0, 5}, {12, 6, 1}, {}},                  // zero extent: nothing to do
    };
    for (const Case& c : cases)
        for (const auto& p : {std::make_pair(DT_FLOAT32, DT_FLOAT16), std::make_pair(DT_FLOAT16, DT_FLOAT32),
                              std::make_pair(DT_INT32, DT_INT8), std::make_pair(DT_UINT8, DT_UINT8),
                              std::make_pair(DT_FLOAT16, DT_FLOAT16)}) {
            TensorPtr src = c.srcStrides.empty() ? Dense(p.first, c.dims) : Strided(p.first, c.dims, c.srcStrides);
            TensorPtr dst = c.dstStrides.empty() ? Dense(p.second, c.dims) : Strided(p.second, c.dims, c.dstStrides);
            FillBytes(src.get(), 21);
            FillBytes(dst.get(), 22);
            ExpectTensorConversion(dst.get(), src.get(), c.dims);
        }
}

TEST(TensorDataConvert, ScalarsAndSharedStorage)
{
    TensorPtr s = Dense(DT_FLOAT32, {}), d = Dense(DT_FLOAT16, {});
    *(float*)s->data = 1.0f + 3 * 0x1p-11f;
    TensorDataConvert(d.get(), s.get());
    EXPECT_EQ(*(uint16_t*)d->data, 0x3C02);

    // In place: a float32 tensor and an int32 view of the same storage.
    TensorPtr f = Dense(DT_FLOAT32, {3, 5});
    TensorPtr view(CreateTensor(DT_INT32, DL_NONE, 2, ShapeOf({3, 5}), false), DestroyTensor);
    SetTensorData(view.get(), f->data);
    for (int i = 0; i < 15; ++i) ((float*)f->data)[i] = -7.5f + i;
    TensorDataConvert(view.get(), f.get());
    for (int i = 0; i < 15; ++i) EXPECT_EQ(((int32_t*)f->data)[i], RefI32(-7.5 + i)) << i;
}

TEST(TensorDataConvert, UnsupportedPairsAreFatal)
{
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT32, DT_UINT8, DT_INT8};
    for (DataType from : types)
        for (DataType to : types) {
            if (std::find(kSupportedPairs.begin(), kSupportedPairs.end(), std::make_pair(from, to)) !=
                kSupportedPairs.end())
                continue;
            TensorPtr src = Dense(from, {2, 3}), dst = Dense(to, {2, 3});
            const std::string msg = std::string("^\\[ERROR MESSAGE\\]: Wrong convert parameters ") +
                                    DataTypeToStr(from) + " -> " + DataTypeToStr(to) + "\\. File DataTypeConvert : ";
            EXPECT_EXIT(TensorDataConvert(dst.get(), src.get()), ExitedWithCode(1), msg) << msg;
        }
    // Also on the strided path.
    TensorPtr src = Strided(DT_FLOAT32, {2, 3}, {4, 1}), dst = Dense(DT_UINT8, {2, 3});
    EXPECT_EXIT(TensorDataConvert(dst.get(), src.get()), ExitedWithCode(1),
                "Wrong convert parameters float32 -> uint8");
}

TEST(TensorDataConvert, StructuralChecksFailInOrder)
{
    TensorPtr a = Dense(DT_FLOAT32, {2, 3}), b = Dense(DT_FLOAT16, {2, 3});
    TensorPtr noData(CreateTensor(DT_FLOAT32, DL_NONE, 2, ShapeOf({2, 3}), false), DestroyTensor);
    TensorPtr rank3 = Dense(DT_FLOAT16, {2, 3, 1}), wide = Dense(DT_FLOAT16, {2, 4});
    TensorPtr rank5 = Strided(DT_FLOAT32, {1, 1, 2, 3, 2}, {24, 24, 12, 4, 1}), rank5d = Dense(DT_FLOAT16, {1, 1, 2, 3, 2});
    TensorPtr innerSrc = Strided(DT_FLOAT32, {2, 3}, {6, 2}), innerDst = Strided(DT_FLOAT16, {2, 3}, {6, 2});
    TensorPtr paddedSrc = Strided(DT_FLOAT32, {2, 3}, {4, 1}), paddedWide = Strided(DT_FLOAT16, {2, 4}, {5, 1});

    EXPECT_EXIT(TensorDataConvert(b.get(), nullptr), ExitedWithCode(1),
                "^\\[ERROR MESSAGE\\]: src==NULL, expected not NULL value\\. File DataTypeConvert : [0-9]+\n$");
    EXPECT_EXIT(TensorDataConvert(nullptr, noData.get()), ExitedWithCode(1),
                "src->data==NULL, expected not NULL value");
    EXPECT_EXIT(TensorDataConvert(nullptr, a.get()), ExitedWithCode(1), "dst==NULL, expected not NULL value");
    EXPECT_EXIT(TensorDataConvert(noData.get(), a.get()), ExitedWithCode(1),
                "dst->data==NULL, expected not NULL value");
    // Rank is compared before anything else, on either path.
    EXPECT_EXIT(TensorDataConvert(rank3.get(), a.get()), ExitedWithCode(1),
                "dst->ndim == src->ndim: false, expected: true");
    EXPECT_EXIT(TensorDataConvert(rank3.get(), innerSrc.get()), ExitedWithCode(1),
                "dst->ndim == src->ndim: false, expected: true");
    EXPECT_EXIT(TensorDataConvert(wide.get(), a.get()), ExitedWithCode(1),
                "CompareTensorsShape\\(dst, src\\) == TCR_SHAPES_EQUAL: false, expected: true");
    // Strided path.
    EXPECT_EXIT(TensorDataConvert(rank5d.get(), rank5.get()), ExitedWithCode(1),
                "src->ndim <= 4: false, expected: true");
    EXPECT_EXIT(TensorDataConvert(wide.get(), innerSrc.get()), ExitedWithCode(1),
                "src->stride\\.dimension\\[src->ndim - 1\\] == 1: false, expected: true");
    EXPECT_EXIT(TensorDataConvert(innerDst.get(), a.get()), ExitedWithCode(1),
                "dst->stride\\.dimension\\[dst->ndim - 1\\] == 1: false, expected: true");
    EXPECT_EXIT(TensorDataConvert(paddedWide.get(), paddedSrc.get()), ExitedWithCode(1),
                "CompareTensorsShape\\(dst, src\\) == TCR_SHAPES_EQUAL: false, expected: true");
}

}  // namespace
