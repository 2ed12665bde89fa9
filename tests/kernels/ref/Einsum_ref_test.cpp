// Einsum against naive loops written per expression: matrix product,
// batched product, outer product, transposed contractions and full sums.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "LayersReduction.h"
#include "TensorOperation.h"
#include "nn_kernel_list.h"
#include "reduce_util.h"
#include "test_util.h"

using namespace reduce_test;
using corvus_test::ExpectFatal;

namespace {

EinsumParams Parse(const char* equation)
{
    EinsumParams p = {};
    strcpy(p.equation, equation);
    uint32_t resultCount;
    ParseEinSumExpression(p.equation, &p.leftCount, &p.rightCount, &resultCount, p.left, p.right, p.result);
    return p;
}

std::vector<float> RunEinsum(const char* equation, const Dims& da, const std::vector<float>& a, const Dims& db,
                       const std::vector<float>& b, const Dims& dout, bool half = false)
{
    const EinsumParams p = Parse(equation);
    Tensor* ta = half ? MakeF16(da, a) : MakeF32(da, a);
    Tensor* tb = half ? MakeF16(db, b) : MakeF32(db, b);
    Tensor* out = half ? Make<uint16_t>(DT_FLOAT16, dout, {}) : MakeF32(dout, {});
    (half ? EinSum_fl16_ref : EinSum_fl32_ref)(out, ta, tb, &p);
    std::vector<float> r = half ? HalfValues(out) : Values<float>(out);
    DestroyTensor(ta);
    DestroyTensor(tb);
    DestroyTensor(out);
    return r;
}

// The summation order is free, so sums are compared with a relative tolerance.
void ExpectNear(const std::vector<float>& got, const std::vector<double>& ref, double tol = 1e-5)
{
    ASSERT_EQ(got.size(), ref.size());
    for (size_t i = 0; i < ref.size(); ++i) EXPECT_NEAR(got[i], ref[i], tol * (1.0 + std::fabs(ref[i]))) << i;
}

}  // namespace

TEST(EinsumKernel, MatrixProduct)
{
    const uint32_t I = 3, J = 5, K = 4;
    const std::vector<float> a = RandomValues(I * J, 1), b = RandomValues(J * K, 2);
    std::vector<double> ref(I * K, 0.0);
    for (uint32_t i = 0; i < I; ++i)
        for (uint32_t k = 0; k < K; ++k)
            for (uint32_t j = 0; j < J; ++j) ref[i * K + k] += (double)a[i * J + j] * b[j * K + k];
    ExpectNear(RunEinsum("ij,jk->ik", {I, J}, a, {J, K}, b, {I, K}), ref);
    // Blanks are ignored; the result may also be written transposed.
    std::vector<double> refT(K * I);
    for (uint32_t i = 0; i < I; ++i)
        for (uint32_t k = 0; k < K; ++k) refT[k * I + i] = ref[i * K + k];
    ExpectNear(RunEinsum(" ij , jk -> ki", {I, J}, a, {J, K}, b, {K, I}), refT);
}

TEST(EinsumKernel, BatchedProduct)
{
    const uint32_t B = 2, I = 3, J = 4, K = 5;
    const std::vector<float> a = RandomValues(B * I * J, 3), b = RandomValues(B * J * K, 4);
    std::vector<double> ref(B * I * K, 0.0);
    for (uint32_t n = 0; n < B; ++n)
        for (uint32_t i = 0; i < I; ++i)
            for (uint32_t k = 0; k < K; ++k)
                for (uint32_t j = 0; j < J; ++j)
                    ref[(n * I + i) * K + k] += (double)a[(n * I + i) * J + j] * b[(n * J + j) * K + k];
    ExpectNear(RunEinsum("bij,bjk->bik", {B, I, J}, a, {B, J, K}, b, {B, I, K}), ref);
}

TEST(EinsumKernel, OuterProductIsExact)
{
    const std::vector<float> a = RandomValues(4, 5), b = RandomValues(3, 6);
    const std::vector<float> got = RunEinsum("i,j->ij", {4}, a, {3}, b, {4, 3});
    // No sums: every element is one rounded product.
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 3; ++j) EXPECT_EQ(got[i * 3 + j], a[i] * b[j]);
}

TEST(EinsumKernel, TransposedContractions)
{
    const uint32_t I = 3, J = 4, K = 2;
    const std::vector<float> a = RandomValues(I * J, 7), b = RandomValues(K * J, 8), c = RandomValues(J * I, 9);
    // A times B transposed: B is stored [K, J].
    std::vector<double> ref(I * K, 0.0);
    for (uint32_t i = 0; i < I; ++i)
        for (uint32_t k = 0; k < K; ++k)
            for (uint32_t j = 0; j < J; ++j) ref[i * K + k] += (double)a[i * J + j] * b[k * J + j];
    ExpectNear(RunEinsum("ij,kj->ik", {I, J}, a, {K, J}, b, {I, K}), ref);
    // A transposed times B: A stored [J, I].
    const std::vector<float> d = RandomValues(J * K, 10);
    std::vector<double> ref2(I * K, 0.0);
    for (uint32_t i = 0; i < I; ++i)
        for (uint32_t k = 0; k < K; ++k)
            for (uint32_t j = 0; j < J; ++j) ref2[i * K + k] += (double)c[j * I + i] * d[j * K + k];
    ExpectNear(RunEinsum("ji,jk->ik", {J, I}, c, {J, K}, d, {I, K}), ref2);
    // Two summed indices and a permuted batch: "bjc,cbi->ib".
    const uint32_t B = 2, C = 3;
    const std::vector<float> e = RandomValues(B * J * C, 11), f = RandomValues(C * B * I, 12);
    std::vector<double> ref3(I * B, 0.0);
    for (uint32_t i = 0; i < I; ++i)
        for (uint32_t n = 0; n < B; ++n)
            for (uint32_t j = 0; j < J; ++j)
                for (uint32_t q = 0; q < C; ++q)
                    ref3[i * B + n] += (double)e[(n * J + j) * C + q] * f[(q * B + n) * I + i];
    ExpectNear(RunEinsum("bjc,cbi->ib", {B, J, C}, e, {C, B, I}, f, {I, B}), ref3);
}

TEST(EinsumKernel, FullContractionAndSumOverAnOperandOnlyIndex)
{
    const std::vector<float> a = RandomValues(6, 13), b = RandomValues(6, 14);
    double dot = 0.0;
    for (int i = 0; i < 6; ++i) dot += (double)a[i] * b[i];
    const EinsumParams p = Parse("ij,ij->");
    Tensor* ta = MakeF32({2, 3}, a);
    Tensor* tb = MakeF32({2, 3}, b);
    Tensor* scalar = CreateTensor(DT_FLOAT32, DL_NONE, 0, ShapeOf({}), true);
    EinSum_fl32_ref(scalar, ta, tb, &p);
    EXPECT_NEAR(*(float*)scalar->data, dot, 1e-5 * (1.0 + std::fabs(dot)));
    DestroyTensor(scalar);
    // "ij,j->i": sums over j; "ij,k->i" sums A's j and B's k independently.
    std::vector<double> rowDot(2, 0.0), rowSumTimesTotal(2, 0.0);
    double bSum = 0.0;
    for (int k = 0; k < 3; ++k) bSum += b[k];
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) {
            rowDot[i] += (double)a[i * 3 + j] * b[j];
            rowSumTimesTotal[i] += (double)a[i * 3 + j] * bSum;
        }
    const std::vector<float> b3(b.begin(), b.begin() + 3);
    ExpectNear(RunEinsum("ij,j->i", {2, 3}, a, {3}, b3, {2}), rowDot);
    ExpectNear(RunEinsum("ij,k->i", {2, 3}, a, {3}, b3, {2}), rowSumTimesTotal);
    DestroyTensor(ta);
    DestroyTensor(tb);
}

TEST(EinsumKernel, HalfPrecisionThroughFloat32)
{
    const std::vector<float> a = HalfRounded(RandomValues(6, 15)), b = HalfRounded(RandomValues(12, 16));
    const std::vector<float> f32 = RunEinsum("ij,jk->ik", {2, 3}, a, {3, 4}, b, {2, 4});
    EXPECT_EQ(RunEinsum("ij,jk->ik", {2, 3}, a, {3, 4}, b, {2, 4}, true), HalfRounded(f32));
}

TEST(EinsumKernel, FatalChecks)
{
    ExpectFatal("Einsum_ref", {
        {[] { nn_kernel_fn_list[kfname_Einsum_ref]->execute(nullptr); }, "Execute_EinSum_ref: Kernel pointer is null"},
        {[] {
             const EinsumParams p = Parse("ii,ij->j");
             EinSum_fl32_ref(MakeF32({2}, {}), MakeF32({2, 2}, {}), MakeF32({2, 2}, {}), &p);
         },
         "Check equation pattern: ii,ij->j\n. Trace-like operators are not supported in the current version."},
        {[] {
             const EinsumParams p = Parse("ij,jk->ik");
             EinSum_fl32_ref(MakeF32({2, 2}, {}), MakeF32({2, 3}, {}), Make<uint16_t>(DT_FLOAT16, {3, 2}, {}), &p);
         },
         "Different types of tensor's data"},
        {[] {
             Tensor* ins[] = {MakeI32({2}, {}), MakeI32({2}, {})};
             Layer* l = CreateLayer("e", OP_Einsum, nullptr, ins, 2, 0);
             l->kernel->output[0] = MakeI32({2, 2}, {});
             EinsumParams* p = (EinsumParams*)malloc(sizeof(EinsumParams));
             *p = Parse("i,j->ij");
             l->kernel->params = p;
             nn_kernel_fn_list[kfname_Einsum_ref]->execute(l->kernel);
         },
         "support only Fl16 or Fl32"},
        {[] {
             const EinsumParams p = Parse("ij,jk->ik");
             EinSum_fl32_ref(MakeF32({2, 2}, {}), MakeF32({2, 3}, {}), MakeF32({4, 2}, {}), &p);
         },
         "Einsum: equation ij,jk->ik gives index 'j' the extents 3 and 4"},
    });
}
