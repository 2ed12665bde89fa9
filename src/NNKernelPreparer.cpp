#define CORVUS_MODULE "NNKernelPreparer"
#include "NNKernelPreparer.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "DataTypeConvert.h"
#include "Report.h"

namespace {

const uint32_t kBlock = 32;

bool OneOf(kfname kf, std::initializer_list<kfname> names)
{
    for (kfname n : names)
        if (kf == n) return true;
    return false;
}

void CheckBias(const Tensor* bias)
{
    if (bias == nullptr) return;
    if (bias->layout != DL_I) CV_FATAL("wrong layout of biases tensor");
    if (bias->dtype != DT_FLOAT32) CV_FATAL("wrong data type of biases");
}

// A tensor of `dtype` with t's layout, rank and shape (and strides when
// asked), converted from t when `fill`.
Tensor* Converted(const Tensor* t, DataType dtype, bool keepStrides, bool fill)
{
    Tensor* n = keepStrides ? CreateTensorWithStrides(dtype, (DataLayout)t->layout, t->ndim, t->shape, t->stride, fill)
                            : CreateTensor(dtype, (DataLayout)t->layout, t->ndim, t->shape, fill);
    CV_CHECK_PTR(n);
    if (fill) TensorDataConvert(n, t);
    return n;
}

void Replace(Tensor** slot, Tensor* replacement)
{
    DestroyTensor(*slot);
    *slot = replacement;
}

// Within each block of 32 values, pairs 0, 2, ..., 14 come first, then
// pairs 1, 3, ..., 15.
void PairShuffle(const float* in, float* out, uint32_t blocks)
{
    for (uint32_t b = 0; b < blocks; ++b, in += kBlock, out += kBlock)
        for (uint32_t p = 0; p < 8; ++p) {
            out[2 * p] = in[4 * p];
            out[2 * p + 1] = in[4 * p + 1];
            out[16 + 2 * p] = in[4 * p + 2];
            out[17 + 2 * p] = in[4 * p + 3];
        }
}

void ConvertBoth(Tensor** slot0, Tensor** slot1, uint32_t mode)
{
    if (mode != 1) return;
    for (Tensor** slot : {slot0, slot1}) {
        Tensor* inner = slot != nullptr ? *slot : nullptr;
        if (inner == nullptr) CV_FATAL("*inner==NULL, expected not NULL value");
        Replace(slot, Converted(inner, DT_FLOAT16, false, true));
    }
}

}  // namespace

extern "C" {

void PrepareConv2DLayerWeights(Tensor** filters, Tensor** biases, kfname kf)
{
    if (filters == nullptr || *filters == nullptr) CV_FATAL("null pointer");
    Tensor* f = *filters;
    if (f->layout != DL_HWIO) CV_FATAL("wrong layout of filters tensor");
    if (f->dtype != DT_FLOAT32) CV_FATAL("wrong data type of filters");
    Tensor* b = biases != nullptr ? *biases : nullptr;
    CheckBias(b);
    if (!OneOf(kf, {kfname_Conv2D_opt, kfname_Conv2D_fl16_ost_naive, kfname_Conv2D_fl16_ost_mm,
                    kfname_Conv2D_k1_s1_fl16_ost_ostrelcnn, kfname_Conv2D_k1_s1_fl16_ost_mm,
                    kfname_Conv2D_fl16_ost_ostrelcnn, kfname_Conv2D_fl16_ost_mm_common,
                    kfname_Conv2D_fl16_ost_mm_common_dilation}))
        return;
    const bool hasData = f->data != nullptr;
    Replace(filters, Converted(f, DT_FLOAT16, true, hasData));
    if (b != nullptr && OneOf(kf, {kfname_Conv2D_fl16_ost_naive, kfname_Conv2D_k1_s1_fl16_ost_ostrelcnn}))
        Replace(biases, Converted(b, DT_FLOAT16, false, hasData));
}

void PrepareDenseLayerWeights(Tensor** weights, Tensor** biases, kfname kf)
{
    if (weights == nullptr || *weights == nullptr) CV_FATAL("null pointer");
    Tensor* w = *weights;
    if (w->layout != DL_CN) CV_FATAL("wrong layout of weights tensor");
    if (w->dtype != DT_FLOAT32) CV_FATAL("wrong data type of weights");
    if (w->data != nullptr && !w->allocatedData) CV_FATAL("weights tensor must own data array");
    Tensor* b = biases != nullptr ? *biases : nullptr;
    CheckBias(b);
    if (!OneOf(kf, {kfname_Dense_fl16_ost_naive, kfname_Dense_fl16_ost_ostrelcnn, kfname_Dense_fl16_ost_mm})) return;
    const bool owned = w->allocatedData;
    Replace(weights, Converted(w, DT_FLOAT16, true, owned));
    if (kf != kfname_Dense_fl16_ost_mm) {
        if (b != nullptr) Replace(biases, Converted(b, DT_FLOAT16, false, owned));
        return;
    }
    if (b != nullptr || biases == nullptr) return;
    // The matrix kernel always adds a bias: a missing one is zero.
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    shape.dimension[0] = (*weights)->shape.dimension[1];
    CV_CHECK_PTR(*biases = CreateTensor(DT_FLOAT32, DL_I, 1, shape, owned));
    if (owned) memset((*biases)->data, 0, (size_t)shape.dimension[0] * sizeof(float));
}

void TensorDataConv2DTransposeConvert(Tensor* dst, const Tensor* src)
{
    CV_CHECK_PTR(dst);
    CV_CHECK_PTR(src);
    const uint32_t H = src->shape.dimension[0], W = src->shape.dimension[1];
    const uint32_t O = src->shape.dimension[2], I = src->shape.dimension[3];
    if (H == 0 || O == 0) return;
    CV_CHECK_MSG(src->dtype == DT_FLOAT16 && dst->dtype == DT_FLOAT16 && src->ndim == 4,
                 "TensorDataConv2DTransposeConvert: float16 4-D tensors expected");
    // Whole blocks only: a partial last block would run past both tensors.
    CV_CHECK_MSG(O % kBlock == 0, "TensorDataConv2DTransposeConvert: output channels (%u) must be a multiple of 32", O);
    CV_CHECK_MSG(GetTensorDataSize(dst) >= (uint64_t)H * W * O * I,
                 "TensorDataConv2DTransposeConvert: destination holds fewer elements than the source");
    CV_CHECK_PTR(src->data);
    CV_CHECK_PTR(dst->data);
    const uint16_t* s = (const uint16_t*)src->data;
    uint16_t* d = (uint16_t*)dst->data;
    const TensorStrides& st = src->stride;
    for (uint32_t o0 = 0; o0 < O; o0 += kBlock)
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w)
                for (uint32_t i = 0; i < I; ++i) {
                    const uint16_t* from = s + (uint64_t)h * st.dimension[0] + (uint64_t)w * st.dimension[1] +
                                           (uint64_t)o0 * st.dimension[2] + (uint64_t)i * st.dimension[3];
                    for (uint32_t o = 0; o < kBlock; ++o) *d++ = from[(uint64_t)o * st.dimension[2]];
                }
}

void PrepareConv2DTransposeLayerWeights(Tensor** weights, Tensor** biases, kfname kf)
{
    if (weights == nullptr || *weights == nullptr) CV_FATAL("null pointer");
    Tensor* w = *weights;
    if (w->layout != DL_HWOI) CV_FATAL("wrong layout of weights tensor");
    if (w->dtype != DT_FLOAT32) CV_FATAL("wrong data type of weights");
    if (w->data != nullptr && !w->allocatedData) CV_FATAL("filter tensor must own data array");
    Tensor* b = biases != nullptr ? *biases : nullptr;
    CheckBias(b);
    if (kf != kfname_Conv2DTranspose_fl16_ost) return;
    const uint32_t O = w->shape.dimension[2];
    CV_CHECK_MSG(O % kBlock == 0,
                 "Conv2DTranspose: %u output channels are not a multiple of 32, which the blocked weights need", O);
    const bool owned = w->allocatedData;
    Tensor* blocked = CreateTensor(DT_FLOAT16, DL_HWOI, w->ndim, w->shape, owned);
    CV_CHECK_PTR(blocked);
    if (owned) {
        Tensor* plain = Converted(w, DT_FLOAT16, false, true);
        TensorDataConv2DTransposeConvert(blocked, plain);
        DestroyTensor(plain);
    }
    Replace(weights, blocked);
    if (b == nullptr) return;
    Tensor* nb = CreateTensor(DT_FLOAT32, (DataLayout)b->layout, b->ndim, b->shape, owned);
    CV_CHECK_PTR(nb);
    if (owned) {
        CV_CHECK_MSG(b->data != nullptr && GetTensorSize(b) >= O && IsSerialData(b),
                     "Conv2DTranspose: the bias must hold one dense value per output channel");
        PairShuffle((const float*)b->data, (float*)nb->data, O / kBlock);
    }
    Replace(biases, nb);
}

void PrepareNormalInstanceLayerWeights(Tensor** weights, Tensor** biases, kfname kf)
{
    if (weights == nullptr || *weights == nullptr) CV_FATAL("null pointer");
    Tensor* w = *weights;
    const uint32_t K = w->shape.dimension[0];
    if (K % kBlock != 0) CV_FATAL("while there is no implementation of shuffling weights when tail channels < 32");
    if (w->layout != DL_I) CV_FATAL("wrong layout of weights tensor");
    if (w->dtype != DT_FLOAT32) CV_FATAL("wrong data type of weights");
    if (w->data != nullptr && !w->allocatedData) CV_FATAL("filter tensor must own data array");
    Tensor* b = biases != nullptr ? *biases : nullptr;
    CheckBias(b);
    if (kf != kfname_InstanceNormalization_fl16_ost) return;
    const bool owned = w->allocatedData;
    Tensor* nw = CreateTensor(DT_FLOAT32, DL_I, w->ndim, w->shape, owned);
    CV_CHECK_PTR(nw);
    if (owned) {
        CV_CHECK_MSG(IsSerialData(w), "instance normalization scale must be stored densely");
        PairShuffle((const float*)w->data, (float*)nw->data, K / kBlock);
    }
    Replace(weights, nw);
    if (b != nullptr) Replace(biases, Converted(b, DT_FLOAT16, false, owned));
}

void PrepareConv1DLayerWeights(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->innerNum < 1 || kernel->inner[0] == nullptr || kernel->inner[0]->dtype != DT_FLOAT32) return;
    Tensor* old = kernel->inner[0];
    CV_CHECK_PTR(old->data);
    Tensor* h = CreateTensor(DT_FLOAT16, DL_NONE, old->ndim, old->shape, true);
    CV_CHECK_PTR(h);
    TensorDataConvert(h, old);
    if (old->allocatedData) FreeTensorData(old);
    // The record keeps its address in inner[0]; only its contents change.
    *old = *h;
    free(h);
}

void PrepareLinearLayerWeights(Tensor** inner0, Tensor** inner1, uint32_t mode) { ConvertBoth(inner0, inner1, mode); }

void PrepareDepthWiseConv2DLayerWeights(Tensor** inner0, Tensor** inner1, uint32_t mode)
{
    ConvertBoth(inner0, inner1, mode);
}

void PrepareElementWiseLayerWeights(Tensor** inner0, Tensor** inner1, uint32_t mode)
{
    ConvertBoth(inner0, inner1, mode);
}

void PrepareL2NormalizationLayerWeights(Tensor** inner0, uint32_t mode)
{
    if (mode != 1) return;
    if (inner0 == nullptr || *inner0 == nullptr) CV_FATAL("*inner==NULL, expected not NULL value");
    Replace(inner0, Converted(*inner0, DT_FLOAT16, false, true));
}

}  // extern "C"
