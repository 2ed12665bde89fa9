#include "DataTypeConvert.h"

#include <cmath>
#include <limits>

#include "test_util.h"

using namespace corvus_test;

namespace {

const int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();

// Independent references from the number formats' definitions. Value of a
// finite half pattern: (-1)^s * m * 2^-24 for subnormals,
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

TEST(HalfFloat, EveryHalfDecodesAndFloatsRoundAsHandValuesAndTheReference)
{
    std::vector<uint16_t> all(65536), back(65536);
    for (uint32_t i = 0; i < 65536; ++i) all[i] = (uint16_t)i;
    std::vector<float> f(65536);
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
        ASSERT_EQ(ints[h], nan ? 0 : special ? (sign ? kMin : kMax) : (int32_t)std::trunc(HalfValue((uint16_t)h)));
    }
    // Hand-known values that anchor the reference itself.
    EXPECT_TRUE(f[0x0001] == 0x1p-24f && f[0x7BFF] == 65504.0f && f[0x0400] == 0x1p-14f && ints[0xBE00] == -1);

    const float inf = std::numeric_limits<float>::infinity();
    // clang-format off
    const std::pair<float, uint16_t> cases[] = {
        {65504.0f, 0x7BFF}, {65519.996f, 0x7BFF}, {65520.0f, 0x7C00} /* tie, even is 2^16 */, {1e9f, 0x7C00},
        {inf, 0x7C00}, {-inf, 0xFC00}, {-1e-8f, 0x8000}, {-0.0f, 0x8000}, {1.0f, 0x3C00}, {-2.0f, 0xC000},
        {1.0f + 0x1p-11f, 0x3C00} /* tie, even is 1.0 */, {1.0f + 3 * 0x1p-11f, 0x3C02} /* tie, even is up */,
        {1.0f + 0x1p-11f + 0x1p-23f, 0x3C01}, {0x1p-25f, 0x0000} /* tie with the smallest subnormal */,
        {0x1p-25f + 0x1p-48f, 0x0001}, {1.5f * 0x1p-24f, 0x0002}, {2.5f * 0x1p-24f, 0x0002},
        {0x1p-14f - 0x1p-25f, 0x0400} /* tie between 0x03FF and 0x0400 */, {0x1p-14f - 0x1p-24f, 0x03FF},
        {FromBits(0xFFC00000u), 0xFFFF}, {FromBits(0x7F800001u), 0x7FFF} /* signalling NaN */,
        {FromBits(0x00000001u), 0x0000} /* float32 subnormal */,
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(Half(c.first), c.second) << std::hex << "float bits 0x" << Bits(c.first);
        EXPECT_EQ(RefHalf(c.first), c.second) << std::hex << "reference, float bits 0x" << Bits(c.first);
    }

    // Against the reference: a few ulps around every finite half value and every
    // midpoint between neighbours (both signs), every pattern in windows around
    // the thresholds, and random patterns; all in one call so that the vector
    // loop and its scalar tail are both used.
    std::vector<uint32_t> patterns;
    for (uint32_t h = 0; h < 0x7C00; ++h) {
        const double v = HalfValue((uint16_t)h), next = h == 0x7BFF ? 65536.0 : HalfValue((uint16_t)(h + 1));
        for (double centre : {v, (v + next) / 2})
            for (int d = centre == 0 ? 0 : -2; d <= 2; ++d) patterns.push_back(Bits((float)centre) + (uint32_t)d);
    }
    // 2^-25 (all below is zero), smallest normal, 65504, 65520, 65536, infinity/NaN, zero.
    for (uint32_t c : {0x33000000u, 0x38800000u, 0x477FE000u, 0x477FF000u, 0x47800000u, 0x7F800000u, 0u})
        for (uint32_t d = 0; d < 4096; ++d) patterns.push_back((c - 2048 + d) & 0x7FFFFFFFu);
    for (uint32_t w : RandomWords(200000, 12345))  // any pattern, and a magnitude inside the half range
        patterns.insert(patterns.end(), {w, 0x33000000u + w % (0x47800000u - 0x33000000u)});
    std::vector<float> in;
    for (uint32_t p : patterns) in.insert(in.end(), {FromBits(p), FromBits(p ^ 0x80000000u)});
    std::vector<uint16_t> out(in.size());
    float32_to_float16(in.data(), out.data(), (uint32_t)in.size());
    size_t bad = 0;
    for (size_t i = 0; i < in.size(); ++i)
        if (out[i] != RefHalf(in[i]) && ++bad <= 5)
            ADD_FAILURE() << std::hex << "float bits 0x" << Bits(in[i]) << ": got 0x" << out[i] << ", want 0x"
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
        // clang-format off
    } cases[] = {
        {200.7f, 127, 200}, {-3.9f, -3, -3}, {127.99f, 127, 127}, {128.0f, 127, 128}, {-128.99f, -128, -128},
        {-129.0f, -128, -129}, {-0.99f, 0, 0}, {inf, 127, kMax}, {-inf, -128, kMin}, {nan, 0, 0}, {-nan, 0, 0},
        {0x1p31f, 127, kMax}, {-0x1p31f, -128, kMin}, {2147483520.0f, 127, 2147483520}, {-2147483904.0f, -128, kMin},
    };
    // clang-format on
    for (const auto& c : cases) {
        int8_t o8;
        int32_t o32;
        convert_f32i8(&c.in, &o8, 1);
        convert_f32s32(&c.in, &o32, 1);
        EXPECT_TRUE(o8 == c.i8 && o32 == c.i32) << c.in << ": " << (int)o8 << ", " << o32;
    }
}

// For every converter, element counts up to a few vector widths and every
// placement of the destination relative to the source (disjoint, in place,
// shifted either way by any aligned amount): the result must equal the
// conversion between separate arrays.
template <typename S, typename D> void CheckAllPlacements(void (*fn)(const S*, D*, uint32_t))
{
    for (uint32_t n : {1u, 3u, 16u, 17u, 70u}) {
        const std::vector<uint32_t> words = RandomWords(n, 1000 + n);
        std::vector<S> src(n);
        for (uint32_t i = 0; i < n; ++i) memcpy(&src[i], &words[i], sizeof(S));
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
                << "count " << n << ", destination offset " << delta << " bytes";
        }
    }
}

TEST(ConverterPlacement, OverlappingArraysGiveTheSameResult)
{
    CheckAllPlacements(float32_to_float16);
    CheckAllPlacements(float16_to_float32);
    CheckAllPlacements(convert_u8f16);
    CheckAllPlacements(convert_u8f32);
    CheckAllPlacements(convert_i8f32);
    CheckAllPlacements(convert_f32i8);
    CheckAllPlacements(convert_s32f32);
    CheckAllPlacements(convert_f32s32);
    CheckAllPlacements(convert_f16s32);
    CheckAllPlacements(convert_s32bool);
    CheckAllPlacements(convert_bools32);
    CheckAllPlacements<unsigned char, unsigned char>(
        [](const unsigned char* s, unsigned char* d, uint32_t n) { convert_copy(s, d, n); });
}

size_t ByteOffset(const Tensor* t, const std::vector<uint32_t>& idx)
{
    size_t off = 0;
    for (size_t k = 0; k < idx.size(); ++k) off += (size_t)idx[k] * t->stride.dimension[k];
    return off * DataTypeSize((DataType)t->dtype);
}

// One element converted by the references above (int32 -> int8 is "not zero").
void RefElement(DataType from, DataType to, const void* s, void* d)
{
    if (from == to) return (void)memcpy(d, s, DataTypeSize(from));
    double v = 0;
    if (from == DT_FLOAT32) v = *(const float*)s;
    if (from == DT_FLOAT16) v = HalfValue(*(const uint16_t*)s);
    if (from == DT_INT32) v = *(const int32_t*)s;
    if (from == DT_UINT8) v = *(const uint8_t*)s;
    if (from == DT_INT8) v = *(const int8_t*)s;
    const uint32_t h = from == DT_FLOAT16 ? *(const uint16_t*)s : 0;
    if ((h & 0x7C00u) == 0x7C00u) {  // infinity or NaN, sign and payload kept
        const float f = FromBits(((h & 0x8000u) << 16) | 0x7F800000u | ((h & 0x3FFu) << 13));
        if (to == DT_FLOAT32) return (void)memcpy(d, &f, 4);
        v = f;
    }
    if (to == DT_FLOAT32) *(float*)d = (float)v;
    if (to == DT_FLOAT16) *(uint16_t*)d = RefHalf((float)v);
    if (to == DT_INT32) *(int32_t*)d = RefI32(v);
    if (to == DT_INT8) *(int8_t*)d = from == DT_INT32 ? (int8_t)(v != 0) : RefI8(v);
}

TEST(TensorDataConvert, EverySupportedPairDenseAndStrided)
{
    // clang-format off
    const std::pair<DataType, DataType> pairs[] = {
        {DT_FLOAT32, DT_FLOAT16}, {DT_FLOAT32, DT_INT32}, {DT_FLOAT32, DT_INT8},   {DT_FLOAT32, DT_FLOAT32},
        {DT_FLOAT16, DT_FLOAT32}, {DT_FLOAT16, DT_INT32}, {DT_FLOAT16, DT_FLOAT16}, {DT_INT32, DT_FLOAT32},
        {DT_INT32, DT_INT8},      {DT_INT32, DT_INT32},   {DT_UINT8, DT_FLOAT16},   {DT_UINT8, DT_FLOAT32},
        {DT_UINT8, DT_UINT8},     {DT_INT8, DT_INT32},    {DT_INT8, DT_FLOAT32},    {DT_INT8, DT_INT8},
        {DT_UINT32, DT_UINT32},
    };
    // clang-format on
    const struct {
        std::vector<uint32_t> dims, srcStrides, dstStrides;  // empty strides: dense
        // clang-format off
    } cases[] = {
        {{2, 3, 5, 7}, {}, {}}, {{2, 3, 4, 5}, {120, 30, 6, 1}, {}} /* padded source */,
        {{2, 3, 4, 5}, {80, 24, 6, 1}, {100, 30, 5, 1}}, {{3, 4, 5}, {40, 9, 1}, {21, 5, 1}},
        {{4, 5}, {}, {6, 1}} /* padded destination */, {{2, 0, 5}, {12, 6, 1}, {}} /* nothing to do */, {{}, {}, {}},
    };
    // clang-format on
    for (const auto& c : cases)
        for (const auto& p : pairs) {
            TensorPtr src = NewTensor(p.first, c.dims, c.srcStrides), dst = NewTensor(p.second, c.dims, c.dstStrides);
            for (TensorPtr* t : {&src, &dst}) {  // random bytes: NaNs, infinities, huge and tiny values
                const size_t bytes = (size_t)GetTensorDataSize(t->get()) * DataTypeSize((DataType)(*t)->dtype);
                const std::vector<uint32_t> w = RandomWords(bytes / 4 + 1, t == &src ? 21 : 22);
                memcpy((*t)->data, w.data(), bytes);
            }
            // Every logical element as the reference converts it; every gap byte of dst unchanged.
            const size_t dBytes = (size_t)GetTensorDataSize(dst.get()) * DataTypeSize(p.second);
            std::vector<unsigned char> want((unsigned char*)dst->data, (unsigned char*)dst->data + dBytes);
            ForEachIndex(c.dims, [&](const std::vector<uint32_t>& idx) {
                RefElement(p.first, p.second, (const unsigned char*)src->data + ByteOffset(src.get(), idx),
                           want.data() + ByteOffset(dst.get(), idx));
            });
            TensorDataConvert(dst.get(), src.get());
            ASSERT_TRUE(std::equal(want.begin(), want.end(), (unsigned char*)dst->data))
                << DataTypeToStr(p.first) << " -> " << DataTypeToStr(p.second) << ", rank " << c.dims.size();
        }
    // In place: a float32 tensor and an int32 view of the same storage.
    TensorPtr f = NewTensor(DT_FLOAT32, {3, 5}), view = NewTensor(DT_INT32, {3, 5}, {}, false);
    SetTensorData(view.get(), f->data);
    for (int i = 0; i < 15; ++i) ((float*)f->data)[i] = -7.5f + i;
    TensorDataConvert(view.get(), f.get());
    for (int i = 0; i < 15; ++i) EXPECT_EQ(((int32_t*)f->data)[i], RefI32(-7.5 + i)) << i;

    // Pairs without a converter, on the dense and on the strided path.
    TensorPtr b = NewTensor(DT_FLOAT16, {2, 3}), u8 = NewTensor(DT_UINT8, {2, 3}), i8 = NewTensor(DT_INT8, {2, 3});
    TensorPtr u32 = NewTensor(DT_UINT32, {2, 3}), padded = NewTensor(DT_FLOAT32, {2, 3}, {4, 1});
    ExpectFatal("DataTypeConvert",
                {
                    {[&] { TensorDataConvert(b.get(), u32.get()); }, "Wrong convert parameters uint32 -> float16"},
                    {[&] { TensorDataConvert(b.get(), i8.get()); }, "Wrong convert parameters int8 -> float16"},
                    {[&] { TensorDataConvert(u8.get(), padded.get()); }, "Wrong convert parameters float32 -> uint8"},
                });
}

}  // namespace
