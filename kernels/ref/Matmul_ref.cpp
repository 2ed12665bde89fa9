// Batched matrix product with broadcasting over the leading dimensions.
//
// Arithmetic: per batch index, out[i][j] = sum over k in order of A[i][k] *
// B[k][j], starting from 0: one fused multiply-add per step for float32, an
// integer multiply-add with wrap-around for int32.
#define CORVUS_MODULE "Matmul_ref"
#include <cstring>
#include <string>

#include "DataTypeConvert.h"
#include "LayersDense.h"
#include "Report.h"
#include "common/Float32Temps.h"
#include "common/GemmBlock.h"
#include "VectorLevel.h"

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

constexpr int kTileRows = 4;
constexpr int kTileVectors = 4;  // 16 columns

// A tensor's shape and strides right-aligned to six dimensions; missing
// leading dimensions have extent 1 and step 0.
struct Aligned {
    uint32_t dim[MAX_NDIM_VALUE];
    size_t step[MAX_NDIM_VALUE];
};

Aligned Align(const Tensor* t)
{
    Aligned a;
    const uint32_t lead = MAX_NDIM_VALUE - t->ndim;
    for (uint32_t s = 0; s < MAX_NDIM_VALUE; ++s) {
        a.dim[s] = s < lead ? 1u : t->shape.dimension[s - lead];
        a.step[s] = s < lead ? 0u : t->stride.dimension[s - lead];
    }
    return a;
}

void ShapeError(const Tensor* A, const Tensor* B, const Tensor* out)
{
    auto text = [](const Tensor* t) {
        std::string s = "(";
        for (uint32_t k = 0; k < t->ndim; ++k) s += (k ? ", " : "") + std::to_string(t->shape.dimension[k]);
        return s + ")";
    };
    CV_FATAL("Function Matmul: shapes %s x %s do not give %s", text(A).c_str(), text(B).c_str(), text(out).c_str());
}

template <typename T> void BatchedProduct(const Tensor* A, const Tensor* B, Tensor* out)
{
    const Aligned a = Align(A), b = Align(B), o = Align(out);
    const uint32_t M = o.dim[4], N = o.dim[5], K = a.dim[5];
    if (a.dim[4] != M || b.dim[4] != K || b.dim[5] != N) ShapeError(A, B, out);
    // Over the batch slots an operand of extent 1 is reused (step 0).
    size_t stepA[4], stepB[4];
    for (uint32_t s = 0; s < 4; ++s) {
        if ((a.dim[s] != 1 && a.dim[s] != o.dim[s]) || (b.dim[s] != 1 && b.dim[s] != o.dim[s])) ShapeError(A, B, out);
        stepA[s] = a.dim[s] == 1 ? 0 : a.step[s];
        stepB[s] = b.dim[s] == 1 ? 0 : b.step[s];
    }
    if ((A->ndim > 0 && A->stride.dimension[A->ndim - 1] != 1) ||
        (B->ndim > 0 && B->stride.dimension[B->ndim - 1] != 1) ||
        (out->ndim > 0 && out->stride.dimension[out->ndim - 1] != 1))
        CV_FATAL("Function Matmul: the elements of a matrix row must be adjacent");
    if (GetTensorSize(out) == 0) return;
    CV_CHECK_PTR(out->data);
    if (K > 0) {
        CV_CHECK_PTR(A->data);
        CV_CHECK_PTR(B->data);
    }

    const T* pa = (const T*)A->data;
    const T* pb = (const T*)B->data;
    T* po = (T*)out->data;
    for (uint32_t i0 = 0; i0 < o.dim[0]; ++i0)
        for (uint32_t i1 = 0; i1 < o.dim[1]; ++i1)
            for (uint32_t i2 = 0; i2 < o.dim[2]; ++i2)
                for (uint32_t i3 = 0; i3 < o.dim[3]; ++i3) {
                    const size_t offA = i0 * stepA[0] + i1 * stepA[1] + i2 * stepA[2] + i3 * stepA[3];
                    const size_t offB = i0 * stepB[0] + i1 * stepB[1] + i2 * stepB[2] + i3 * stepB[3];
                    const size_t offO = i0 * o.step[0] + i1 * o.step[1] + i2 * o.step[2] + i3 * o.step[3];
                    corvus_gemm::Gemm<T, kTileRows, kTileVectors>(pa + offA, a.step[4], pb + offB, b.step[4], po + offO,
                                                                  o.step[4], M, K, N);
                }
}

}  // namespace

void Matmul_2dim_fl32(const float* A, const float* B, float* out, uint32_t M, uint32_t K, uint32_t N, uint32_t strideA,
                      uint32_t strideB, uint32_t strideOut)
{
    corvus_gemm::Gemm<float, kTileRows, kTileVectors>(A, strideA, B, strideB, out, strideOut, M, K, N);
}

void Matmul_2dim_int32(const int32_t* A, const int32_t* B, int32_t* out, uint32_t M, uint32_t K, uint32_t N,
                       uint32_t strideA, uint32_t strideB, uint32_t strideOut)
{
    // Unsigned arithmetic wraps around without undefined behaviour and gives
    // the same bits as two's-complement signed arithmetic.
    corvus_gemm::Gemm<uint32_t, kTileRows, kTileVectors>((const uint32_t*)A, strideA, (const uint32_t*)B, strideB,
                                                         (uint32_t*)out, strideOut, M, K, N);
}

void Matmul_ref(const Tensor* A, const Tensor* B, Tensor* out)
{
    CV_CHECK_PTR(A);
    CV_CHECK_PTR(B);
    CV_CHECK_PTR(out);
    if (A->dtype != B->dtype) CV_FATAL("Function Matmul: Inputs data type is not equal");
    if (out->dtype != A->dtype) CV_FATAL("Function Matmul: Inputs data type and output data type are not equal");
    if (A->ndim > MAX_NDIM_VALUE || B->ndim > MAX_NDIM_VALUE || out->ndim > MAX_NDIM_VALUE)
        CV_FATAL("Function Matmul: too many dimensions");
    if (A->dtype == DT_FLOAT32)
        BatchedProduct<float>(A, B, out);
    else if (A->dtype == DT_INT32)
        BatchedProduct<uint32_t>(A, B, out);
    else
        CV_FATAL("Function Matmul: Inputs tensors data type is not in (float32, int32)");
}

void Execute_Matmul_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->inputsNum != 2)
        CV_FATAL("Function Matmul: supported only 2 input number, current input number: %d", (int)kernel->inputsNum);
    const Tensor* A = kernel->input[0];
    const Tensor* B = kernel->input[1];
    Tensor* out = kernel->output[0];
    CV_CHECK_PTR(A);
    CV_CHECK_PTR(B);
    CV_CHECK_PTR(out);
    if (out->dtype == DT_FLOAT16) {
        const corvus::Float32Operand a32(A, true), b32(B, true), out32(out, false);
        CORVUS_LEVEL_NS::Matmul_ref(a32.get(), b32.get(), out32.get());
        out32.Store(out);
        return;
    }
    CORVUS_LEVEL_NS::Matmul_ref(A, B, out);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, Matmul_2dim_fl32,
                      (const float* A, const float* B, float* out, uint32_t M, uint32_t K, uint32_t N, uint32_t strideA,
                       uint32_t strideB, uint32_t strideOut),
                      (A, B, out, M, K, N, strideA, strideB, strideOut))
CORVUS_LEVEL_DISPATCH(void, Matmul_2dim_int32,
                      (const int32_t* A, const int32_t* B, int32_t* out, uint32_t M, uint32_t K, uint32_t N,
                       uint32_t strideA, uint32_t strideB, uint32_t strideOut),
                      (A, B, out, M, K, N, strideA, strideB, strideOut))
CORVUS_LEVEL_DISPATCH(void, Matmul_ref, (const Tensor* A, const Tensor* B, Tensor* out), (A, B, out))
CORVUS_LEVEL_DISPATCH(void, Execute_Matmul_ref, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_Matmul_ref = {Execute_Matmul_ref, nullptr, nullptr, nullptr};

#endif
