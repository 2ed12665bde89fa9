// The float32 activation kernel, its dispatcher, the fast exponential and
// the two half-precision lookup tables.
#define CORVUS_MODULE "Activation_ref"
#include <cmath>
#include <cstring>
#ifdef __AVX__
#include <immintrin.h>
#endif
#ifdef __aarch64__
#include <arm_neon.h>
#endif

#include "DataTypeConvert.h"
#include "LayersActivation.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "common/ElementWalk.h"
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

// ---- Logistic forms over dense float32 data -----------------------------
//
// 1/(e^-x + 1) and x/(e^-x + 1) in double precision, rounded to float,
// sixteen lanes per block (four groups of four doubles, two of eight with
// AVX-512). The lanes use their own exponential: n = nearest integer to
// -x/ln 2, s = x + n ln 2 in one fused step (|n| <= 116, so the rounding of
// ln 2 costs under 2^-47.5 absolutely; unfused, the product's rounding under
// 2^-46.5), e^-x = 2^n p(-s) with p of degree 8 fitted to e^r on
// |r| <= 1.0001 ln2/2 (relative error below 2^-39.7; its rounding adds under
// 2^-49.5; with AVX-512 a table of sixteenths and a shorter polynomial,
// more accurate still, see ExpNeg). With the rounding of the sum and the quotient, a lane's double
// is within 2^-39.6 of the exact value relatively, and the scalar formula's
// (library exp: within one unit in the last place) within 2^-50, so both
// round to the same float unless the lane's double lies within 2^-39.5
// relatively, under 2^13.5 double units, of a midpoint between two floats.
// A lane is kept only when its double is at least 2^15 units from such a
// midpoint (about one lane in 8000 is not); every other lane, and every
// input outside [2^-60, 80] in magnitude (NaN, infinities, results that
// could leave the normal float range), gets the scalar formula.
//
// Cost on AVX2 (Zen 3), per four lanes: the exponential's twelve
// multiply-adds and products, about half the time and near the two
// multiply-add pipes' bound; the division (about 4.5 cycles each), the
// conversions and the checks the rest. Each step computes the denominators
// of the block kAhead blocks on, into a small ring on the stack, before
// dividing and checking the current block, whose denominators are then long
// done, so the divisions overlap the exponentials instead of waiting for
// them (about 6% faster than one block ahead in registers, which spilled).
// Slower when measured: the two stages as separate passes over a run of
// blocks (the divisions then overlap nothing), Horner's order (fewer
// operations, longer chain), a reciprocal estimate refined by multiply-adds
// instead of the division, the scaling and the 1 folded into the last
// multiply-add, and narrowing by integer operations instead of the
// conversion. Each input is widened once, in the first stage, and kept in
// the ring with its denominator: 5-8% faster with AVX-512 (Zen 5), the same
// with AVX2 there (slower on Zen 3 when last measured).
//
// With AVX-512 (Zen 5) the division takes about 4 cycles per eight lanes
// and the exponential's multiply-adds twelve, two pipes' worth of six; the
// table-driven exponential needs eight, 56x56x144 in 215 -> 180 us. A
// reciprocal estimate refined by multiply-adds was slower there too (2.95
// -> 2.65 G elements/s, with three multiply-adds and a product for the
// division). The checks end in mask registers (NeedsScalar).
#if defined(__AVX512F__)
#define CV_LANES 8
#else
#define CV_LANES 4
#endif
typedef double VD __attribute__((vector_size(8 * CV_LANES)));
typedef uint64_t VU __attribute__((vector_size(8 * CV_LANES)));
typedef int64_t VI __attribute__((vector_size(8 * CV_LANES)));
typedef float VF __attribute__((vector_size(4 * CV_LANES)));
typedef uint32_t VU32 __attribute__((vector_size(8 * CV_LANES)));  // 2 CV_LANES lanes
typedef int32_t VI32 __attribute__((vector_size(8 * CV_LANES)));
typedef float f32x8v __attribute__((vector_size(32)));
constexpr int kBlock = 16;  // lanes per block
constexpr int kUnits = kBlock / CV_LANES;

// GCC's generic float-to-double widening goes through memory or halves;
// AVX has it in one instruction. (The masked form, all lanes set, because
// GCC 12 warns about the plain one's undefined source.)
inline VD Widen(const float* p)
{
#if defined(__AVX512F__)
    return (VD)_mm512_mask_cvtps_pd(_mm512_setzero_pd(), (__mmask8)0xFF, _mm256_loadu_ps(p));
#elif defined(__AVX__)
    return (VD)_mm256_cvtps_pd(_mm_loadu_ps(p));
#else
    VF v;
    memcpy(&v, p, sizeof(v));
    return __builtin_convertvector(v, VD);
#endif
}

// Whether any lane of m is non-zero.
inline bool AnyLane(VI m)
{
#if defined(__AVX512F__)
    return _mm512_test_epi64_mask((__m512i)m, (__m512i)m) != 0;
#elif defined(__AVX__)
    return !_mm256_testz_si256((__m256i)m, (__m256i)m);
#else
    int64_t any = 0;
    for (int l = 0; l < CV_LANES; ++l) any |= m[l];
    return any != 0;
#endif
}

// a * b + c for the exponential below: fused where the hardware has it
// (fewer operations, and one rounding less), else multiply and add; the
// bound above holds either way.
inline VD MulAddD(VD a, VD b, VD c)
{
#if defined(__AVX512F__)
    return (VD)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
#elif defined(__FMA__)
    return (VD)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
#elif defined(__aarch64__)
    float64x2_t h[3][2];
    memcpy(h[0], &a, sizeof(a));
    memcpy(h[1], &b, sizeof(b));
    memcpy(h[2], &c, sizeof(c));
    const float64x2_t r[2] = {vfmaq_f64(h[2][0], h[0][0], h[1][0]), vfmaq_f64(h[2][1], h[0][1], h[1][1])};
    VD out;
    memcpy(&out, r, sizeof(out));
    return out;
#else
    return a * b + c;
#endif
}

// e^-x for |x| <= 80 (n within +-116, so 2^n p stays normal).
#if defined(__AVX512F__)
// With AVX-512, a table of 2^(j/16) in two registers: m = nearest integer to
// -16x/ln 2, s = x + m ln2/16 in one fused step (|m| <= 1856, so the rounding
// of ln2/16 costs under 2^-47.5), e^-x = 2^(m/16) e^-s with e^-s - 1 by its
// Taylor polynomial of degree 5 on |s| <= 1.0001 ln2/32 (relative error
// below 2^-42.5). Eight multiply-adds and products instead of twelve.
inline __attribute__((always_inline)) VD ExpNeg(VD x)
{
    auto c = [](double v) { return VD{} + v; };
    static const double kPow[16] = {
        0x1p+0,
        0x1.0b5586cf9890fp+0,
        0x1.172b83c7d517bp+0,
        0x1.2387a6e756238p+0,
        0x1.306fe0a31b715p+0,
        0x1.3dea64c123422p+0,
        0x1.4bfdad5362a27p+0,
        0x1.5ab07dd485429p+0,
        0x1.6a09e667f3bcdp+0,
        0x1.7a11473eb0187p+0,
        0x1.8ace5422aa0dbp+0,
        0x1.9c49182a3f09p+0,
        0x1.ae89f995ad3adp+0,
        0x1.c199bdd85529cp+0,
        0x1.d5818dcfba487p+0,
        0x1.ea4afa2a490dap+0,
    };
    const double kShift = 0x1.8p52;                              // adding it rounds to an integer
    const VD k = MulAddD(x, c(-23.083120654223414), c(kShift));  // -16 / ln 2
    const VD n = k - kShift;
    const VD s = MulAddD(n, c(0.04332169878499658), x);  // ln2 / 16
    // e^-s - 1 = -s + s^2 (1/2 - s/6 + s^2 (1/24 - s/120)).
    const VD s2 = s * s;
    const VD a = MulAddD(s, c(-1.0 / 6), c(0.5));
    const VD b = MulAddD(s, c(-1.0 / 120), c(1.0 / 24));
    const VD q = MulAddD(MulAddD(b, s2, a), s2, -s);
    // k's low four bits pick the table entry; the bits above them, shifted
    // to the exponent field, scale by 2^floor(m/16).
    const VD t = (VD)_mm512_permutex2var_pd(_mm512_loadu_pd(kPow), (__m512i)k, _mm512_loadu_pd(kPow + 8));
    const VD e = MulAddD(t, q, t);
    return (VD)((VU)e + (((VU)k & ~(VU{} + 15)) << 48));
}
#else
// Otherwise the polynomial in Estrin's order, to shorten the chain.
inline __attribute__((always_inline)) VD ExpNeg(VD x)
{
    auto c = [](double v) { return VD{} + v; };
    const double kShift = 0x1.8p52;  // adding it rounds to an integer
    const VD k = MulAddD(x, c(-1.4426950408889634), c(kShift));
    const VD n = k - kShift;
    const VD s = MulAddD(n, c(0.6931471805599453), x);
    // p(-s): the fitted coefficients with the odd ones negated.
    const VD s2 = s * s, s4 = s2 * s2;
    const VD a0 = MulAddD(s, c(-0.999999999979769), c(1.0));
    const VD a1 = MulAddD(s, c(-0.16666666891180545), c(0.49999999999797773));
    const VD a2 = MulAddD(s, c(-0.008333266071022454), c(0.0416666668910917));
    const VD a3 = MulAddD(s, c(-0.00019915881871396035), c(0.001388882165071769));
    const VD b0 = MulAddD(a1, s2, a0), b1 = MulAddD(a3, s2, a2);
    const VD p = MulAddD(MulAddD(c(2.4876178959085513e-05), s4, b1), s4, b0);
    // 2^n through the exponent field: k's low bits hold n, and shifting
    // them to the exponent drops the rest of k's pattern.
    return (VD)((VU)p + ((VU)k << 52));
}
#endif

// The midpoint check on a double's low 29 bits (2^28 at a midpoint): adding
// 2^15 - 2^28 takes the doubles up to 2^15 units below a midpoint or
// less than 2^15 above it to [0, 2^16), where bits 16..28 are zero.
// FarField keeps those bits of each low dword and the whole high dword
// (non-zero for the result of any input in range), so a zero dword marks a
// lane to recompute; FarFromMidpoint is the test for one double.
constexpr uint32_t kNearAdd = 0xF0008000u, kNearField = 0x1FFF0000u;  // 2^15 - 2^28, bits 16..28
inline VU32 FarField(VD v)
{
    const VU32 add = (VU32)(VU{} + (uint64_t)kNearAdd), keep = (VU32)(VU{} + (0xFFFFFFFF00000000ull | kNearField));
    return ((VU32)v + add) & keep;
}
inline bool FarFromMidpoint(double v)
{
    uint64_t u;
    memcpy(&u, &v, sizeof(u));
    return (((uint32_t)u + kNearAdd) & kNearField) != 0;
}

// Inputs outside [2^-60, 80] in magnitude, NaN included: 2 CV_LANES lanes
// (the unsigned range test as a signed one), and one.
constexpr uint32_t kLowBits = 0x21800000u, kSpan = 0x42A00000u - kLowBits;  // 2^-60, 80
inline VI32 OutOfRange(const float* p)
{
    VU32 b;
    memcpy(&b, p, sizeof(b));
    return (VI32)((b & 0x7FFFFFFFu) - (kLowBits ^ 0x80000000u)) > (int32_t)(kSpan ^ 0x80000000u);
}
inline bool InRange(float x)
{
    uint32_t b;
    memcpy(&b, &x, sizeof(b));
    return (b & 0x7FFFFFFFu) - kLowBits <= kSpan;
}

template <bool kTimesX> float LogisticScalar(float v) { return (float)(kTimesX ? XsigmXExact(v) : SigmoidExact(v)); }

// First stage of a block: the denominators e^-x + 1, then the inputs
// widened, which the second stage divides.
inline __attribute__((always_inline)) void Denominators(VD* d, const float* x)
{
    for (int u = 0; u < kUnits; ++u) {
        d[kUnits + u] = Widen(x + u * CV_LANES);
        d[u] = ExpNeg(d[kUnits + u]) + 1.0;
    }
}

// Whether any of the block's inputs x is out of range or any of its
// quotients r lies near a midpoint: the block then takes the scalar check.
#if defined(__AVX512F__)
// With AVX-512 both tests end in mask registers: half the operations of the
// vector form below, which turns its comparisons back into vectors; 2.65 ->
// 2.95 G elements/s on Zen 5.
inline __attribute__((always_inline)) bool NeedsScalar(const float* x, const VD* r)
{
    const __m512i b = _mm512_and_si512(_mm512_loadu_si512(x), _mm512_set1_epi32(0x7FFFFFFF));
    __mmask16 any =
        _mm512_cmpgt_epu32_mask(_mm512_sub_epi32(b, _mm512_set1_epi32((int)kLowBits)), _mm512_set1_epi32((int)kSpan));
    for (int u = 0; u < kUnits; ++u)
        any |= _mm512_testn_epi64_mask(_mm512_add_epi64((__m512i)r[u], _mm512_set1_epi64(kNearAdd)),
                                       _mm512_set1_epi64(kNearField));
    return any != 0;
}
#else
inline __attribute__((always_inline)) bool NeedsScalar(const float* x, const VD* r)
{
    VI32 out = OutOfRange(x);
    for (int h = 2 * CV_LANES; h < kBlock; h += 2 * CV_LANES) out |= OutOfRange(x + h);
    VU32 far = FarField(r[0]);
    for (int u = 1; u < kUnits; ++u) {
        const VU32 f = FarField(r[u]);
        far = far < f ? far : f;
    }
    return AnyLane((VI)((far & ~(VU32)out) == 0));
}
#endif

// Second stage: the quotients, checked, to y (y may be x).
template <bool kTimesX> inline __attribute__((always_inline)) void Finish(float* y, const float* x, const VD* d)
{
    VD r[kUnits];
    for (int u = 0; u < kUnits; ++u) r[u] = (kTimesX ? d[kUnits + u] : VD{} + 1.0) / d[u];
    if (__builtin_expect(NeedsScalar(x, r), 0)) {
        // The inputs are taken before the first store.
        float in[kBlock];
        double rd[kBlock];
        memcpy(in, x, sizeof(in));
        memcpy(rd, r, sizeof(rd));
        for (int l = 0; l < kBlock; ++l)
            y[l] = InRange(in[l]) && FarFromMidpoint(rd[l]) ? (float)rd[l] : LogisticScalar<kTimesX>(in[l]);
        return;
    }
    for (int u = 0; u < kUnits; ++u) {
        const VF o = __builtin_convertvector(r[u], VF);
        memcpy(y + u * CV_LANES, &o, sizeof(o));
    }
}

constexpr uint64_t kAhead = 8, kRing = 16;  // blocks; kRing a power of two above kAhead

template <bool kTimesX> void LogisticDense(float* y, const float* x, uint64_t n)
{
    const uint64_t blocks = n / kBlock;
    VD ring[kRing][2 * kUnits];
    for (uint64_t b = 0; b < blocks && b < kAhead; ++b) Denominators(ring[b], x + b * kBlock);
    uint64_t b = 0;
    for (; b + kAhead < blocks; ++b) {
        Denominators(ring[(b + kAhead) % kRing], x + (b + kAhead) * kBlock);
        Finish<kTimesX>(y + b * kBlock, x + b * kBlock, ring[b % kRing]);
    }
    for (; b < blocks; ++b) Finish<kTimesX>(y + b * kBlock, x + b * kBlock, ring[b % kRing]);
    const uint64_t i = blocks * kBlock;
    if (i == n) return;
    // The last lanes through a padded copy; the padding's results are dropped.
    float in[kBlock], out[kBlock];
    for (float& v : in) v = 1.0f;
    memcpy(in, x + i, (n - i) * sizeof(float));
    Denominators(ring[0], in);
    Finish<kTimesX>(out, in, ring[0]);
    memcpy(y + i, out, (n - i) * sizeof(float));
}

// ---- Activation kinds -------------------------------------------------

// ReLU (kind ReLU), ReLU6 and LeakyReLU: the same rule on eight lanes and
// on one; the select form keeps dense data branch-free.
template <typename V> inline V Rectify(V x, uint32_t kind, float alpha)
{
    const V neg = x * (kind == LeakyReLU ? alpha : 0.0f);
    V y = x > 0.0f ? x : neg;
    if (kind == ReLU6) y = y > 6.0f ? V{} + 6.0f : y;
    return y;
}
inline float RectifyOne(float x, uint32_t kind, float alpha)
{
    float y = x > 0.0f ? x : x * (kind == LeakyReLU ? alpha : 0.0f);
    if (kind == ReLU6 && y > 6.0f) y = 6.0f;
    return y;
}
void RectifyTensor(Tensor* out, const Tensor* in, uint32_t kind, float alpha)
{
    if (IsSerialData(in) && IsSerialData(out)) {
        const uint64_t n = GetTensorSize(out);
        const float* x = (const float*)in->data;
        float* y = (float*)out->data;
        uint64_t i = 0;
        for (; i + 8 <= n; i += 8) {
            f32x8v v;
            memcpy(&v, x + i, sizeof(v));
            v = Rectify(v, kind, alpha);
            memcpy(y + i, &v, sizeof(v));
        }
        for (; i < n; ++i) y[i] = RectifyOne(x[i], kind, alpha);
        return;
    }
    MapFloat32(out, in, [kind, alpha](float x) { return RectifyOne(x, kind, alpha); });
}

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
    } else if (typeSize == 4 && IsSerialData(dst) && IsSerialData(src)) {
        const uint64_t n = GetTensorSize(dst);
        if (sigmoid)
            LogisticDense<false>((float*)dst->data, (const float*)src->data, n);
        else
            LogisticDense<true>((float*)dst->data, (const float*)src->data, n);
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
    case ReLU6:
    case LeakyReLU:
        RequireFloat32(in, type);
        // x * 0 keeps NaN and gives -0.0 for negative inputs.
        RectifyTensor(out, in, type, params->alpha);
        return;
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
    CV_CHECK_KERNEL(kernel, "Activation: Kernel pointer is null");
    if (kernel->params == nullptr) CV_FATAL("Activation: Params pointer is null");
    CORVUS_LEVEL_NS::Activation_fl32_ref(kernel->output[0], kernel->input[0], (const ActivationParams*)kernel->params);
}

void Execute_Activation(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Activation: Kernel pointer is null");
    const NNKernelFn* fn = nn_kernel_fn_list[kfname_Activation_fl32_ref];
    if (kernel->inputsNum < 1 || kernel->input[0] == nullptr || kernel->input[0]->dtype != DT_FLOAT32 ||
        fn == nullptr || fn->execute == nullptr)
        CV_FATAL("Cannot determine activation function");
    if (fn->init != nullptr) fn->init(kernel);
    fn->execute(kernel);
    if (fn->destroy != nullptr) fn->destroy(kernel);
}

}  // namespace CORVUS_LEVEL_HIDDEN
// Function sets: found by the kernel tables through their names.

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(float, expf_fast, (float x), (x))
CORVUS_LEVEL_DISPATCH(void, ActivationByTable_ref, (Tensor * dst, const Tensor* src, const uint16_t* table),
                      (dst, src, table))
CORVUS_LEVEL_DISPATCH(void, Activation_fl32_ref, (Tensor * out, const Tensor* in, const ActivationParams* params),
                      (out, in, params))
CORVUS_LEVEL_DISPATCH(void, Execute_Activation_fl32_ref, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_Activation, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_Activation_fl32_ref = {Execute_Activation_fl32_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Activation = {Execute_Activation, nullptr, nullptr, nullptr};

#endif
