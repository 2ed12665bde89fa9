// MatMul reference kernel against a naive batched product.
#include <gtest/gtest.h>

#include <vector>

#include "LayersDense.h"
#include "conv_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace conv_test;

namespace {

Tensor* MakeAny(std::vector<uint32_t> dims, DataType dtype, std::mt19937* rng)
{
    TensorShape s = Shape({});
    for (size_t k = 0; k < dims.size(); ++k) s.dimension[k] = dims[k];
    Tensor* t = CreateTensor(dtype, DL_NONE, (uint32_t)dims.size(), s, true);
    if (rng != nullptr) {
        for (uint32_t e = 0; e < GetTensorSize(t); ++e) {
            if (dtype == DT_FLOAT32)
                F32(t)[e] = std::uniform_real_distribution<float>(-1, 1)(*rng);
            else
                ((int32_t*)t->data)[e] = (int32_t)(*rng)();
        }
    }
    return t;
}

// Direct definition over right-aligned six-dimensional indices.
template <typename T>
std::vector<T> NaiveMatmul(const Tensor* A, const Tensor* B, const Tensor* out)
{
    auto aligned = [](const Tensor* t, uint32_t s) {
        const uint32_t lead = MAX_NDIM_VALUE - t->ndim;
        return s < lead ? 1u : t->shape.dimension[s - lead];
    };
    uint32_t o[6], a[6], b[6];
    for (uint32_t s = 0; s < 6; ++s) o[s] = aligned(out, s), a[s] = aligned(A, s), b[s] = aligned(B, s);
    const uint32_t M = o[4], N = o[5], K = a[5];
    std::vector<T> result(GetTensorSize(out));
    const T* pa = (const T*)A->data;
    const T* pb = (const T*)B->data;
    size_t outIndex = 0;
    for (uint32_t i0 = 0; i0 < o[0]; ++i0)
        for (uint32_t i1 = 0; i1 < o[1]; ++i1)
            for (uint32_t i2 = 0; i2 < o[2]; ++i2)
                for (uint32_t i3 = 0; i3 < o[3]; ++i3) {
                    const uint32_t idx[4] = {i0, i1, i2, i3};
                    size_t baseA = 0, baseB = 0;
                    for (uint32_t s = 0; s < 4; ++s) {
                        baseA = baseA * a[s] + (a[s] == 1 ? 0 : idx[s]);
                        baseB = baseB * b[s] + (b[s] == 1 ? 0 : idx[s]);
                    }
                    baseA *= (size_t)M * K;
                    baseB *= (size_t)K * N;
                    for (uint32_t i = 0; i < M; ++i)
                        for (uint32_t j = 0; j < N; ++j) {
                            T acc = 0;
                            for (uint32_t k = 0; k < K; ++k) {
                                if constexpr (std::is_same<T, float>::value)
                                    acc = fmaf(pb[baseB + (size_t)k * N + j], pa[baseA + (size_t)i * K + k], acc);
                                else
                                    acc = (T)((uint32_t)pa[baseA + (size_t)i * K + k] *
                                                  (uint32_t)pb[baseB + (size_t)k * N + j] +
                                              (uint32_t)acc);
                            }
                            result[outIndex++] = acc;
                        }
                }
    return result;
}

Tensor* OutputFor(const Tensor* A, const Tensor* B, DataType dtype)
{
    // The batch slots broadcast; then A's rows and B's columns.
    const uint32_t nd = A->ndim > B->ndim ? A->ndim : B->ndim;
    std::vector<uint32_t> dims(nd);
    for (uint32_t k = 0; k < nd; ++k) {
        const int ka = (int)k - (int)(nd - A->ndim), kb = (int)k - (int)(nd - B->ndim);
        const uint32_t da = ka >= 0 ? A->shape.dimension[ka] : 1, db = kb >= 0 ? B->shape.dimension[kb] : 1;
        dims[k] = da > db ? da : db;
    }
    dims[nd - 2] = A->ndim >= 2 ? A->shape.dimension[A->ndim - 2] : 1;
    dims[nd - 1] = B->shape.dimension[B->ndim - 1];
    return MakeAny(dims, dtype, nullptr);
}

}  // namespace

TEST(MatmulRef, MatchesNaiveWithBatchBroadcasting)
{
    std::mt19937 rng(31);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int trial = 0; trial < 200; ++trial) {
        const DataType dtype = trial % 3 == 2 ? DT_INT32 : DT_FLOAT32;
        const uint32_t M = pick(1, 11), K = pick(0, 40), N = pick(1, 40);
        const uint32_t batchRank = pick(0, 3);
        std::vector<uint32_t> da, db;
        for (uint32_t s = 0; s < batchRank; ++s) {
            const uint32_t e = pick(1, 3);
            const uint32_t which = pick(0, 2);  // 0: both, 1: A broadcast, 2: B broadcast
            da.push_back(which == 1 ? 1 : e);
            db.push_back(which == 2 ? 1 : e);
        }
        // Either operand may also have fewer dimensions than the other.
        if (!db.empty() && pick(0, 1) == 1) db.erase(db.begin());
        da.push_back(M), da.push_back(K);
        db.push_back(K), db.push_back(N);
        Tensor* A = MakeAny(da, dtype, &rng);
        Tensor* B = MakeAny(db, dtype, &rng);
        Tensor* out = OutputFor(A, B, dtype);
        Matmul_ref(A, B, out);
        if (dtype == DT_FLOAT32) {
            const std::vector<float> expected = NaiveMatmul<float>(A, B, out);
            for (size_t e = 0; e < expected.size(); ++e)
                ASSERT_TRUE(SameBits(expected[e], F32(out)[e])) << "trial " << trial << " at " << e;
        } else {
            const std::vector<int32_t> expected = NaiveMatmul<int32_t>(A, B, out);
            for (size_t e = 0; e < expected.size(); ++e)
                ASSERT_EQ(expected[e], ((int32_t*)out->data)[e]) << "trial " << trial << " at " << e;
        }
        for (Tensor* t : {A, B, out}) DestroyTensor(t);
    }
}

TEST(MatmulRef, BroadcastsTwoDimensionalBOverTheBatch)
{
    // A {2, 1, 3} x B {3, 4} -> {2, 1, 4}.
    Tensor* A = MakeAny({2, 1, 3}, DT_FLOAT32, nullptr);
    Tensor* B = MakeAny({3, 4}, DT_FLOAT32, nullptr);
    const float a[6] = {1, 2, 3, -1, 0, 1};
    std::copy(a, a + 6, F32(A));
    for (uint32_t e = 0; e < 12; ++e) F32(B)[e] = (float)e;
    Tensor* out = MakeAny({2, 1, 4}, DT_FLOAT32, nullptr);
    Matmul_ref(A, B, out);
    // Row (1, 2, 3): 0+8+24=32, 1+10+27=38, 44, 50; row (-1, 0, 1): 8 each.
    const float expected[8] = {32, 38, 44, 50, 8, 8, 8, 8};
    for (uint32_t e = 0; e < 8; ++e) EXPECT_EQ(expected[e], F32(out)[e]) << e;
    for (Tensor* t : {A, B, out}) DestroyTensor(t);
}

TEST(MatmulRef, Int32WrapsAround)
{
    Tensor* A = MakeAny({1, 2}, DT_INT32, nullptr);
    Tensor* B = MakeAny({2, 1}, DT_INT32, nullptr);
    Tensor* out = MakeAny({1, 1}, DT_INT32, nullptr);
    int32_t* a = (int32_t*)A->data;
    int32_t* b = (int32_t*)B->data;
    a[0] = 0x40000000, a[1] = 3, b[0] = 4, b[1] = 0x7FFFFFFF;
    Matmul_ref(A, B, out);
    // 2^30 * 4 = 2^32 wraps to 0; 3 * (2^31 - 1) = 0x17FFFFFFD wraps to 0x7FFFFFFD.
    EXPECT_EQ(0x7FFFFFFD, ((int32_t*)out->data)[0]);
    for (Tensor* t : {A, B, out}) DestroyTensor(t);
}

TEST(MatmulRef, ExecuteHandlesHalfPrecisionAndRejectsBadInputs)
{
    std::mt19937 rng(3);
    Tensor* A32 = MakeAny({4, 2, 5}, DT_FLOAT32, &rng);
    Tensor* B32 = MakeAny({5, 3}, DT_FLOAT32, &rng);
    Tensor* A16 = ConvertedCopy(A32, DT_FLOAT16);
    Tensor* B16 = ConvertedCopy(B32, DT_FLOAT16);
    TensorDataConvert(A32, A16);
    TensorDataConvert(B32, B16);
    Tensor* out16 = MakeAny({4, 2, 3}, DT_FLOAT16, nullptr);
    Tensor* out32 = MakeAny({4, 2, 3}, DT_FLOAT32, nullptr);
    Tensor* inputs[3] = {A16, B16, nullptr};
    NNKernel k;
    memset(&k, 0, sizeof(k));
    k.input = inputs;
    k.output = &out16;
    k.inputsNum = 2;
    k.outputsNum = 1;
    MatmulParams params = {0};
    k.params = &params;
    // The convolution path runs the reference product for now.
    for (const NNKernelFn* fn : {nn_kernel_fn_list[kfname_Matmul_ref], nn_kernel_fn_list[kfname_MMviaConv2D]}) {
        ASSERT_NE(nullptr, fn);
        if (fn->init != nullptr) fn->init(&k);
        fn->execute(&k);
        if (fn->destroy != nullptr) fn->destroy(&k);
        const std::vector<float> expected = NaiveMatmul<float>(A32, B32, out32);
        std::vector<float> got(24);
        float16_to_float32((const uint16_t*)out16->data, got.data(), 24);
        for (uint32_t e = 0; e < 24; ++e) EXPECT_TRUE(SameBits(RoundHalf(expected[e]), got[e])) << e;
    }

    NNKernel three = k;
    three.inputsNum = 3;
    inputs[2] = A16;
    Tensor* ints = MakeAny({5, 3}, DT_INT32, nullptr);
    Tensor* i8a = MakeAny({2, 5}, DT_INT8, nullptr);
    Tensor* i8b = MakeAny({5, 3}, DT_INT8, nullptr);
    Tensor* i8o = MakeAny({2, 3}, DT_INT8, nullptr);
    Tensor* wrongK = MakeAny({4, 3}, DT_FLOAT32, nullptr);
    corvus_test::ExpectFatal(
        "Matmul_ref",
        {{[&] { Execute_Matmul_ref(&three); }, "Function Matmul: supported only 2 input number, current input number: 3"},
         {[&] { Matmul_ref(A32, ints, out32); }, "Function Matmul: Inputs data type is not equal"},
         {[&] { Matmul_ref(A32, B32, out16); }, "Function Matmul: Inputs data type and output data type are not equal"},
         {[&] { Matmul_ref(i8a, i8b, i8o); }, "Function Matmul: Inputs tensors data type is not in (float32, int32)"},
         {[&] { Matmul_ref(A32, wrongK, out32); }, "Function Matmul: shapes (4, 2, 5) x (4, 3) do not give (4, 2, 3)"}});
    for (Tensor* t : {A32, B32, A16, B16, out16, out32, ints, i8a, i8b, i8o, wrongK}) DestroyTensor(t);
}
