// Dense and Linear reference kernels against naive loops.
#include <gtest/gtest.h>

#include <vector>

#include "LayersDense.h"
#include "conv_util.h"
#include "test_util.h"

using namespace conv_test;

namespace {

// Direct definition: fused multiply-adds over k in order from 0, then bias
// and activation with alpha 0.
std::vector<float> NaiveDense(const Tensor* in, const Tensor* w, const Tensor* bias, uint32_t kind)
{
    const uint32_t N = in->shape.dimension[0], K = in->shape.dimension[1], U = w->shape.dimension[1];
    std::vector<float> out((size_t)N * U);
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t j = 0; j < U; ++j) {
            float acc = 0.0f;
            for (uint32_t k = 0; k < K; ++k) acc = fmaf(At(in, {n, k}), At(w, {k, j}), acc);
            if (bias != nullptr) acc += F32(bias)[j];
            out[(size_t)n * U + j] = Activate(acc, kind, 0.0f);
        }
    return out;
}

NNKernel KernelOf(Tensor** in, Tensor** out, Tensor** inner, uint32_t innerNum, void* params)
{
    NNKernel k;
    memset(&k, 0, sizeof(k));
    k.input = in;
    k.output = out;
    k.inner = inner;
    k.inputsNum = k.outputsNum = 1;
    k.innerNum = innerNum;
    k.params = params;
    return k;
}

}  // namespace

TEST(DenseRef, MatchesNaiveOverRandomShapes)
{
    std::mt19937 rng(17);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int trial = 0; trial < 200; ++trial) {
        const uint32_t N = pick(1, 9), K = pick(0, 70), U = pick(1, 70), gap = pick(0, 1) * 5;
        const uint32_t kind = kFusedKinds[pick(0, 4)];
        const bool useBias = pick(0, 1) == 1;
        Tensor* in = Make(DL_NC, {N, K}, &rng, gap);
        Tensor* w = Make(DL_CN, {K, U}, &rng, gap);
        Tensor* bias = useBias ? Make(DL_I, {U}, &rng) : nullptr;
        Tensor* out = Make(DL_NC, {N, U}, nullptr, gap);
        DenseParams p = {useBias ? 1u : 0u, kind};
        Dense_fl32_ref(in, w, bias, out, &p);
        const std::vector<float> expected = NaiveDense(in, w, bias, kind);
        for (uint32_t n = 0; n < N; ++n)
            for (uint32_t j = 0; j < U; ++j)
                ASSERT_TRUE(SameBits(expected[(size_t)n * U + j], At(out, {n, j})))
                    << "trial " << trial << " N " << N << " K " << K << " U " << U << " at " << n << "," << j;
        for (Tensor* t : {in, w, bias, out}) DestroyTensor(t);
    }
}

TEST(DenseRef, HandWorkedExampleAndReLUNegativeZero)
{
    Tensor* in = Make(DL_NC, {1, 3}, nullptr);
    Tensor* w = Make(DL_CN, {3, 2}, nullptr);
    Tensor* bias = Make(DL_I, {2}, nullptr);
    Tensor* out = Make(DL_NC, {1, 2}, nullptr);
    const float x[3] = {1, 2, 3}, weights[6] = {1, 0, 0, 1, 1, 1}, b[2] = {0.5f, -10};
    std::copy(x, x + 3, F32(in));
    std::copy(weights, weights + 6, F32(w));
    std::copy(b, b + 2, F32(bias));
    DenseParams p = {1, None};
    Dense_fl32_ref(in, w, bias, out, &p);
    EXPECT_EQ(4.5f, F32(out)[0]);
    EXPECT_EQ(-5.0f, F32(out)[1]);
    p.activation = ReLU;
    Dense_fl32_ref(in, w, bias, out, &p);
    EXPECT_EQ(4.5f, F32(out)[0]);
    EXPECT_TRUE(SameBits(-0.0f, F32(out)[1]));
    for (Tensor* t : {in, w, bias, out}) DestroyTensor(t);
}

TEST(DenseRef, EmptyInnerDimensionGivesBiasOnly)
{
    Tensor* in = Make(DL_NC, {2, 0}, nullptr);
    Tensor* w = Make(DL_CN, {0, 3}, nullptr);
    Tensor* out = Make(DL_NC, {2, 3}, nullptr);
    std::fill(F32(out), F32(out) + 6, 9.0f);
    DenseParams p = {0, None};
    Dense_fl32_ref(in, w, nullptr, out, &p);
    for (uint32_t e = 0; e < 6; ++e) EXPECT_TRUE(SameBits(0.0f, F32(out)[e]));
    for (Tensor* t : {in, w, out}) DestroyTensor(t);
}

TEST(DenseRef, HalfPrecisionAndExecuteDispatch)
{
    std::mt19937 rng(6);
    Tensor* in32 = Make(DL_NC, {3, 10}, &rng);
    Tensor* in16 = ConvertedCopy(in32, DT_FLOAT16);
    TensorDataConvert(in32, in16);
    Tensor* w = Make(DL_CN, {10, 7}, &rng);
    Tensor* bias = Make(DL_I, {7}, &rng);
    Tensor* out16 = CreateTensor(DT_FLOAT16, DL_NC, 2, Shape({3, 7}), true);
    DenseParams p = {1, ReLU6};
    Tensor* inner[2] = {w, bias};
    NNKernel k = KernelOf(&in16, &out16, inner, 2, &p);
    Execute_Dense_ref(&k);
    const std::vector<float> expected = NaiveDense(in32, w, bias, ReLU6);
    std::vector<float> got(21);
    float16_to_float32((const uint16_t*)out16->data, got.data(), 21);
    for (uint32_t e = 0; e < 21; ++e) EXPECT_TRUE(SameBits(RoundHalf(expected[e]), got[e])) << e;

    // An empty bias slot adds nothing.
    DenseParams noBias = {0, None};
    Tensor* out32 = Make(DL_NC, {3, 7}, nullptr);
    Tensor* weightsOnly[2] = {w, nullptr};
    NNKernel k32 = KernelOf(&in32, &out32, weightsOnly, 2, &noBias);
    Execute_Dense_ref(&k32);
    const std::vector<float> plain = NaiveDense(in32, w, nullptr, None);
    for (uint32_t e = 0; e < 21; ++e) EXPECT_TRUE(SameBits(plain[e], F32(out32)[e])) << e;

    Tensor* ints = CreateTensor(DT_INT32, DL_NC, 2, Shape({3, 10}), true);
    NNKernel bad = KernelOf(&ints, &out32, inner, 2, &p);
    Tensor* none[2] = {nullptr, nullptr};
    NNKernel noWeights = KernelOf(&in32, &out32, none, 2, &noBias);
    Tensor* in3 = Make(DL_NONE, {1, 3, 10}, nullptr);
    Tensor* wrongW = Make(DL_CN, {9, 7}, nullptr);
    corvus_test::ExpectFatal(
        "Dense_ref", {{[] { Execute_Dense_ref(nullptr); }, "kernel pointer is null"},
                      {[&] { Execute_Dense_ref(&bad); }, "support only F16 or F32"},
                      {[&] { Execute_Dense_ref(&noWeights); }, "Filters input is NULL"},
                      {[&] { Dense_fl16_ref(in16, nullptr, nullptr, out16, &p); }, "Filters input is NULL"},
                      {[&] { Dense_fl32_ref(in3, w, nullptr, out32, &p); }, "indata->ndim == 2: false, expected: true"},
                      {[&] { Dense_fl32_ref(in32, w, nullptr, in3, &p); }, "outdata->ndim == 2: false, expected: true"},
                      {[&] { Dense_fl32_ref(in32, in3, nullptr, out32, &p); }, "weights->ndim == 2: false, expected: true"},
                      {[&] { Dense_fl32_ref(in32, wrongW, nullptr, out32, &p); },
                       "Dense_fl32_ref: shapes do not agree: input (3, 10), weights (9, 7), output (3, 7)"}});
    for (Tensor* t : {in32, in16, w, bias, out16, out32, ints, in3, wrongW}) DestroyTensor(t);
}

TEST(LinearRef, ScaleAndOffsetPerChannelWithFusedActivation)
{
    std::mt19937 rng(12);
    for (uint32_t kind : {None, ReLU, ReLU6}) {
        Tensor* in = Make(DL_NHWC, {2, 3, 4, 5}, &rng, 2);
        Tensor* out = Make(DL_NHWC, {2, 3, 4, 5}, nullptr, 2);
        Tensor* scale = Make(DL_I, {5}, &rng);
        Tensor* offset = Make(DL_I, {5}, &rng);
        for (uint32_t c = 0; c < 5; ++c) F32(scale)[c] *= 8.0f;
        LinearParams p = {kind};
        Tensor* inner[2] = {scale, offset};
        NNKernel k = KernelOf(&in, &out, inner, 2, &p);
        Execute_Linear_fl32_ref(&k);
        for (uint32_t n = 0; n < 2; ++n)
            for (uint32_t h = 0; h < 3; ++h)
                for (uint32_t w = 0; w < 4; ++w)
                    for (uint32_t c = 0; c < 5; ++c) {
                        const float y = fmaf(At(in, {n, h, w, c}), F32(scale)[c], F32(offset)[c]);
                        ASSERT_TRUE(SameBits(Activate(y, kind, 0), At(out, {n, h, w, c})));
                    }
        for (Tensor* t : {in, out, scale, offset}) DestroyTensor(t);
    }

    // Scale 2 and offset 1 map 3 to 7.
    Tensor* in = Make(DL_NHWC, {1, 1, 2, 2}, nullptr);
    Tensor* out = Make(DL_NHWC, {1, 1, 2, 2}, nullptr);
    Tensor* scale = Make(DL_I, {2}, nullptr);
    Tensor* offset = Make(DL_I, {2}, nullptr);
    std::fill(F32(in), F32(in) + 4, 3.0f);
    std::fill(F32(scale), F32(scale) + 2, 2.0f);
    std::fill(F32(offset), F32(offset) + 2, 1.0f);
    LinearParams p = {None};
    Tensor* inner[2] = {scale, offset};
    NNKernel k = KernelOf(&in, &out, inner, 2, &p);
    Execute_Linear_fl32_ref(&k);
    for (uint32_t e = 0; e < 4; ++e) EXPECT_EQ(7.0f, F32(out)[e]);

    Tensor* in3 = Make(DL_NONE, {1, 2, 2}, nullptr);
    NNKernel bad = KernelOf(&in3, &out, inner, 2, &p);
    corvus_test::ExpectFatal("Dense_ref", {{[&] { Execute_Linear_fl32_ref(&bad); }, "input->ndim == 4: false, expected: true"}});
    for (Tensor* t : {in, out, scale, offset, in3}) DestroyTensor(t);
}
