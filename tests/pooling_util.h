// Helpers shared by the pooling tests: tensors, random data and a naive
// cell-by-cell window pooling to compare the kernels against.
#ifndef CORVUS_TESTS_POOLING_UTIL_H
#define CORVUS_TESTS_POOLING_UTIL_H

#include <cmath>

#include "LayersPooling.h"
#include "test_util.h"

namespace pooling_test {

using corvus_test::Shape;

inline float* F32(const Tensor* t) { return (float*)t->data; }

// Element (i0, i1, ...) through the tensor's own strides.
inline float& At(const Tensor* t, std::initializer_list<uint32_t> index)
{
    uint64_t offset = 0;
    uint32_t k = 0;
    for (uint32_t i : index) offset += (uint64_t)i * t->stride.dimension[k++];
    return F32(t)[offset];
}

// Exact float comparison in which NaN equals NaN (empty averages are 0 / 0).
inline ::testing::AssertionResult SameFloat(float expected, float actual)
{
    if ((std::isnan(expected) && std::isnan(actual)) || expected == actual) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

// The window definition, one cell at a time in visiting order (rows outer):
// inside cells contribute their value, cells in the pads (outside the input,
// before H + padBottom and W + padRight) contribute per `paddingMode`, the
// rest is ignored. (Modes other than 0 and 1 are tested separately.)
inline float NaiveWindow(bool isMax, const Tensor* in, const Pool2DParams& p, uint32_t n, uint32_t oh, uint32_t ow,
                         uint32_t c)
{
    const int64_t H = in->shape.dimension[1], W = in->shape.dimension[2];
    float best = -3.4028235e38f, sum = 0.0f, count = 0.0f;
    const int64_t r0 = (int64_t)oh * p.strideH - p.padTop, q0 = (int64_t)ow * p.strideW - p.padLeft;
    for (int64_t r = r0; r < r0 + p.poolSizeH; ++r)
        for (int64_t q = q0; q < q0 + p.poolSizeW; ++q) {
            const bool inside = r >= 0 && r < H && q >= 0 && q < W;
            const bool inPads = !inside && r < H + p.padBottom && q < W + p.padRight;
            if (inside) {
                const float v = At(in, {n, (uint32_t)r, (uint32_t)q, c});
                if (v > best) best = v;
                sum += v;
                count += 1.0f;
            } else if (inPads && p.paddingMode == 0) {
                if (0.0f > best) best = 0.0f;
                count += 1.0f;
            }
        }
    return isMax ? best : sum / count;
}

// The same along one axis of {N, L, C}: the window of {N, 1, L, C}.
inline float NaiveWindow1D(bool isMax, const Tensor* in, const Pool1DParams& p, uint32_t n, uint32_t o, uint32_t c)
{
    Tensor v = *in;
    v.ndim = 4;
    v.shape = corvus_test::Shape({in->shape.dimension[0], 1, in->shape.dimension[1], in->shape.dimension[2]});
    v.stride = corvus_test::Strides({in->stride.dimension[0], 0, in->stride.dimension[1], in->stride.dimension[2]});
    const Pool2DParams p2 = {1, p.poolSize, 1, p.stride, 0, p.padBegin, 0, p.padEnd, 0, SAME, p.paddingMode};
    return NaiveWindow(isMax, &v, p2, n, 0, o, c);
}

inline Pool2DParams Params2D(uint32_t pH, uint32_t pW, uint32_t sH, uint32_t sW, uint32_t top, uint32_t left,
                             uint32_t bottom, uint32_t right, uint32_t paddingMode)
{
    const PaddingMode pad = (top | left | bottom | right) != 0 ? SAME : VALID;
    return Pool2DParams{pH, pW, sH, sW, top, left, bottom, right, 0, pad, paddingMode};
}

// Compares every output element with the naive window.
inline void ExpectMatchesNaive(bool isMax, const Tensor* in, const Tensor* out, const Pool2DParams& p)
{
    for (uint32_t n = 0; n < out->shape.dimension[0]; ++n)
        for (uint32_t oh = 0; oh < out->shape.dimension[1]; ++oh)
            for (uint32_t ow = 0; ow < out->shape.dimension[2]; ++ow)
                for (uint32_t c = 0; c < out->shape.dimension[3]; ++c)
                    ASSERT_TRUE(SameFloat(NaiveWindow(isMax, in, p, n, oh, ow, c), At(out, {n, oh, ow, c})))
                        << "n " << n << " oh " << oh << " ow " << ow << " c " << c;
}

}  // namespace pooling_test

#endif
