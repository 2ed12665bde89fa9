// Weight preparation for half-precision kernels: element types, orders and
// ownership of the replaced tensors, against layouts computed here.
#include "NNKernelPreparer.h"

#include <numeric>

#include "test_util.h"

using namespace corvus_test;

namespace {

// A float32 tensor holding 0, 1, 2, ... over its whole storage (all values exact in float16).
Tensor* Counting(DataLayout layout, const std::vector<uint32_t>& dims, bool data = true,
                 const std::vector<uint32_t>& strides = {})
{
    Tensor* t = NewTensor(DT_FLOAT32, dims, strides, data, layout).release();
    if (data) std::iota((float*)t->data, (float*)t->data + GetTensorDataSize(t), 0.0f);
    return t;
}

// The whole storage as float32.
std::vector<float> Values(const Tensor* t)
{
    std::vector<float> v(GetTensorDataSize(t));
    if (t->dtype == DT_FLOAT16) float16_to_float32((const uint16_t*)t->data, v.data(), (uint32_t)v.size());
    if (t->dtype == DT_FLOAT32) memcpy(v.data(), t->data, v.size() * sizeof(float));
    return v;
}

std::vector<float> Iota(uint32_t n)
{
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), 0.0f);
    return v;
}

// The pair shuffle written index by index: pair p of a block of 32 goes to
// slot p / 2 of the even half or of the odd half.
std::vector<float> Shuffled(const std::vector<float>& in)
{
    std::vector<float> out(in.size());
    for (size_t b = 0; b < in.size(); b += 32)
        for (uint32_t p = 0; p < 16; ++p) {
            const uint32_t slot = (p % 2 == 0 ? p / 2 : 8 + p / 2) * 2;
            out[b + slot] = in[b + 2 * p];
            out[b + slot + 1] = in[b + 2 * p + 1];
        }
    return out;
}

TEST(NNKernelPreparer, ConvertsShufflesAndBlocksByKernel)
{
    Tensor *f = Counting(DL_HWIO, {1, 2, 3, 4}), *b = Counting(DL_I, {4});
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_ref);
    EXPECT_TRUE(f->dtype == DT_FLOAT32 && b->dtype == DT_FLOAT32);
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_fl16_ost_mm);
    EXPECT_TRUE(f->dtype == DT_FLOAT16 && f->layout == DL_HWIO && b->dtype == DT_FLOAT32 && Values(f) == Iota(24));
    DestroyTensor(f);

    // Padded strides survive (elements 3 and 7 are gaps); both tensors become float16 for the naive kernel.
    f = Counting(DL_HWIO, {1, 1, 2, 3}, true, {8, 8, 4, 1});
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_fl16_ost_naive);
    const std::vector<float> v = Values(f);
    EXPECT_TRUE(StridesOf(f) == std::vector<uint32_t>({8, 8, 4, 1}) && v.size() == 8u);
    EXPECT_EQ(std::vector<float>({v[0], v[1], v[2], v[4], v[5], v[6]}), std::vector<float>({0, 1, 2, 4, 5, 6}));
    EXPECT_TRUE(b->dtype == DT_FLOAT16 && Values(b) == Iota(4));
    for (Tensor* t : {f, b}) DestroyTensor(t);

    // Without data the replacement has the target type and no data.
    f = Counting(DL_HWIO, {3, 3, 2, 2}, false), b = Counting(DL_I, {2}, false);
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_k1_s1_fl16_ost_ostrelcnn);
    EXPECT_TRUE(f->dtype == DT_FLOAT16 && f->data == nullptr && b->dtype == DT_FLOAT16 && b->data == nullptr);
    for (Tensor* t : {f, b}) DestroyTensor(t);

    // Dense: a missing bias is made (zero, float32) only for the kernel that reads one.
    Tensor* w = Counting(DL_CN, {3, 5});
    b = nullptr;
    PrepareDenseLayerWeights(&w, &b, kfname_Dense_fl16_ost_ostrelcnn);
    EXPECT_TRUE(w->dtype == DT_FLOAT16 && Values(w) == Iota(15) && b == nullptr);
    DestroyTensor(w);
    w = Counting(DL_CN, {3, 5});
    PrepareDenseLayerWeights(&w, &b, kfname_Dense_fl16_ost_mm);
    ASSERT_NE(nullptr, b);
    EXPECT_TRUE(b->dtype == DT_FLOAT32 && b->layout == DL_I && Values(b) == std::vector<float>(5, 0.0f));
    for (Tensor* t : {w, b}) DestroyTensor(t);

    // Instance normalisation: the scale is shuffled in float32 (pairs 0, 2, 4, 1 lead), the bias only converted.
    w = Counting(DL_I, {64}), b = Counting(DL_I, {64});
    PrepareNormalInstanceLayerWeights(&w, &b, kfname_InstanceNormalization_fl16_ost);
    const std::vector<float> scale = Values(w);
    EXPECT_TRUE(w->dtype == DT_FLOAT32 && scale == Shuffled(Iota(64)));
    EXPECT_EQ(std::vector<float>(scale.begin(), scale.begin() + 6), std::vector<float>({0, 1, 4, 5, 8, 9}));
    EXPECT_TRUE(b->dtype == DT_FLOAT16 && Values(b) == Iota(64));
    for (Tensor* t : {w, b}) DestroyTensor(t);

    // Transposed convolution: output channels in blocks of 32, innermost;
    // the bias is shuffled per block.
    const uint32_t H = 2, W = 1, O = 64, I = 3;
    w = Counting(DL_HWOI, {H, W, O, I}), b = Counting(DL_I, {O});
    PrepareConv2DTransposeLayerWeights(&w, &b, kfname_Conv2DTranspose_fl16_ost);
    std::vector<float> blocked(H * W * O * I);
    for (uint32_t h = 0; h < H; ++h)
        for (uint32_t x = 0; x < W; ++x)
            for (uint32_t o = 0; o < O; ++o)
                for (uint32_t i = 0; i < I; ++i)
                    blocked[(((o / 32 * H + h) * W + x) * I + i) * 32 + o % 32] =
                        (float)(((h * W + x) * O + o) * I + i);
    EXPECT_TRUE(w->dtype == DT_FLOAT16 && Values(w) == blocked && DimsOf(w) == std::vector<uint32_t>({H, W, O, I}));
    EXPECT_TRUE(b->dtype == DT_FLOAT32 && Values(b) == Shuffled(Iota(64)));
    for (Tensor* t : {w, b}) DestroyTensor(t);

    // Conv1D converts its filter in place, leaving the bias.
    NNKernel k{};
    Tensor* inner[2] = {Counting(DL_NONE, {2, 3, 4}), Counting(DL_I, {4})};
    k.inner = inner, k.innerNum = 2;
    Tensor* before = inner[0];
    PrepareConv1DLayerWeights(&k);
    EXPECT_TRUE(inner[0] == before && inner[0]->dtype == DT_FLOAT16 && Values(inner[0]) == Iota(24));
    EXPECT_EQ(DT_FLOAT32, inner[1]->dtype);
    for (Tensor* t : {inner[0], inner[1]}) DestroyTensor(t);
}

}  // namespace
