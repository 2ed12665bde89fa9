// Weight preparation for half-precision kernels: element types, orders and
// ownership of the replaced tensors, against layouts computed here.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "NNKernelPreparer.h"
#include "test_util.h"

using corvus_test::ExpectFatal;
using corvus_test::Shape;
using corvus_test::Strides;

namespace {

// A float32 tensor holding 0, 1, 2, ... (all values exact in float16).
Tensor* Counting(DataLayout layout, std::initializer_list<uint32_t> dims, bool data = true)
{
    Tensor* t = CreateTensor(DT_FLOAT32, layout, (uint32_t)dims.size(), Shape(dims), data);
    if (data)
        for (uint32_t e = 0; e < GetTensorSize(t); ++e) ((float*)t->data)[e] = (float)e;
    return t;
}

std::vector<float> Values(const Tensor* t)
{
    std::vector<float> v(GetTensorDataSize(t));
    if (t->dtype == DT_FLOAT16)
        float16_to_float32((const uint16_t*)t->data, v.data(), (uint32_t)v.size());
    else
        memcpy(v.data(), t->data, v.size() * sizeof(float));
    return v;
}

std::vector<float> Iota(uint32_t n)
{
    std::vector<float> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = (float)i;
    return v;
}

// The pair shuffle written index by index: pair p of a block goes to slot
// p / 2 of the even half or of the odd half.
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

}  // namespace

TEST(NNKernelPreparer, Conv2DKeepsOrConvertsByKernel)
{
    Tensor* f = Counting(DL_HWIO, {1, 2, 3, 4});
    Tensor* b = Counting(DL_I, {4});
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_ref);
    EXPECT_EQ(DT_FLOAT32, f->dtype);
    EXPECT_EQ(DT_FLOAT32, b->dtype);
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_fl16_ost_mm);
    EXPECT_EQ(DT_FLOAT16, f->dtype);
    EXPECT_EQ(DL_HWIO, f->layout);
    EXPECT_EQ(Iota(24), Values(f));
    EXPECT_EQ(DT_FLOAT32, b->dtype);
    DestroyTensor(f);

    // Padded strides survive; both tensors become float16 for the naive kernel.
    f = CreateTensorWithStrides(DT_FLOAT32, DL_HWIO, 4, Shape({1, 1, 2, 3}), Strides({8, 8, 4, 1}), true);
    for (uint32_t e = 0; e < 8; ++e) ((float*)f->data)[e] = (float)e;
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_fl16_ost_naive);
    EXPECT_EQ((std::vector<uint32_t>{8, 8, 4, 1}), corvus_test::StridesOf(f));
    const std::vector<float> v = Values(f);  // elements 3 and 7 are the gaps
    EXPECT_EQ((std::vector<float>{0, 1, 2, 4, 5, 6}), (std::vector<float>{v[0], v[1], v[2], v[4], v[5], v[6]}));
    EXPECT_EQ(DT_FLOAT16, b->dtype);
    EXPECT_EQ(Iota(4), Values(b));
    DestroyTensor(f);
    DestroyTensor(b);

    // Without data the replacement has the target type and no data.
    f = Counting(DL_HWIO, {3, 3, 2, 2}, false);
    b = Counting(DL_I, {2}, false);
    PrepareConv2DLayerWeights(&f, &b, kfname_Conv2D_k1_s1_fl16_ost_ostrelcnn);
    EXPECT_EQ(DT_FLOAT16, f->dtype);
    EXPECT_EQ(nullptr, f->data);
    EXPECT_EQ(DT_FLOAT16, b->dtype);
    EXPECT_EQ(nullptr, b->data);
    DestroyTensor(f);
    DestroyTensor(b);
}

TEST(NNKernelPreparer, DenseBiasPerKernel)
{
    Tensor* w = Counting(DL_CN, {3, 5});
    Tensor* b = nullptr;
    PrepareDenseLayerWeights(&w, &b, kfname_Dense_fl16_ost_ostrelcnn);
    EXPECT_EQ(DT_FLOAT16, w->dtype);
    EXPECT_EQ(Iota(15), Values(w));
    EXPECT_EQ(nullptr, b);
    DestroyTensor(w);

    w = Counting(DL_CN, {3, 5});
    PrepareDenseLayerWeights(&w, &b, kfname_Dense_fl16_ost_mm);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(DT_FLOAT32, b->dtype);
    EXPECT_EQ(DL_I, b->layout);
    EXPECT_EQ(std::vector<float>(5, 0.0f), Values(b));
    DestroyTensor(w);
    DestroyTensor(b);
}

TEST(NNKernelPreparer, InstanceNormShufflesScaleOnly)
{
    Tensor* w = Counting(DL_I, {64});
    Tensor* b = Counting(DL_I, {64});
    PrepareNormalInstanceLayerWeights(&w, &b, kfname_InstanceNormalization_fl16_ost);
    EXPECT_EQ(DT_FLOAT32, w->dtype);
    const std::vector<float> v = Values(w);
    EXPECT_EQ(Shuffled(Iota(64)), v);
    EXPECT_EQ((std::vector<float>{0, 1, 4, 5, 8, 9, 2, 3, 34}), (std::vector<float>{v[0], v[1], v[2], v[3], v[4], v[5],
                                                                                 v[16], v[17], v[48]}));
    EXPECT_EQ(DT_FLOAT16, b->dtype);
    EXPECT_EQ(Iota(64), Values(b));
    DestroyTensor(w);
    DestroyTensor(b);
}

TEST(NNKernelPreparer, TransposedConvBlocksOutputChannels)
{
    // (1, 1, 32, 2): i = 0 first with o = 0..31, then i = 1.
    Tensor* w = Counting(DL_HWOI, {1, 1, 32, 2});
    Tensor* b = nullptr;
    PrepareConv2DTransposeLayerWeights(&w, &b, kfname_Conv2DTranspose_fl16_ost);
    ASSERT_EQ(DT_FLOAT16, w->dtype);
    std::vector<float> want;
    for (uint32_t i = 0; i < 2; ++i)
        for (uint32_t o = 0; o < 32; ++o) want.push_back((float)(o * 2 + i));
    EXPECT_EQ(want, Values(w));
    DestroyTensor(w);

    // Two blocks, against the blocked index formula; the bias is shuffled per block.
    const uint32_t H = 2, W = 1, O = 64, I = 3;
    w = Counting(DL_HWOI, {H, W, O, I});
    b = Counting(DL_I, {O});
    PrepareConv2DTransposeLayerWeights(&w, &b, kfname_Conv2DTranspose_fl16_ost);
    std::vector<float> blocked(H * W * O * I);
    for (uint32_t h = 0; h < H; ++h)
        for (uint32_t x = 0; x < W; ++x)
            for (uint32_t o = 0; o < O; ++o)
                for (uint32_t i = 0; i < I; ++i)
                    blocked[(((o / 32 * H + h) * W + x) * I + i) * 32 + o % 32] = (float)(((h * W + x) * O + o) * I + i);
    EXPECT_EQ(blocked, Values(w));
    EXPECT_EQ((std::vector<uint32_t>{H, W, O, I}), corvus_test::DimsOf(w));
    EXPECT_EQ(DT_FLOAT32, b->dtype);
    EXPECT_EQ(Shuffled(Iota(64)), Values(b));
    DestroyTensor(w);
    DestroyTensor(b);
}

TEST(NNKernelPreparer, HostPreparersAndConv1D)
{
    Tensor* a = Counting(DL_I, {3});
    Tensor* c = Counting(DL_I, {2});
    PrepareLinearLayerWeights(&a, &c, 0);
    EXPECT_EQ(DT_FLOAT32, a->dtype);
    PrepareDepthWiseConv2DLayerWeights(&a, &c, 1);
    EXPECT_EQ(DT_FLOAT16, a->dtype);
    EXPECT_EQ(Iota(2), Values(c));
    DestroyTensor(a);
    DestroyTensor(c);

    NNKernel k;
    memset(&k, 0, sizeof(k));
    Tensor* inner[2] = {Counting(DL_NONE, {2, 3, 4}), Counting(DL_I, {4})};
    k.inner = inner;
    k.innerNum = 2;
    Tensor* before = inner[0];
    PrepareConv1DLayerWeights(&k);
    EXPECT_EQ(before, inner[0]);
    EXPECT_EQ(DT_FLOAT16, inner[0]->dtype);
    EXPECT_EQ(Iota(24), Values(inner[0]));
    EXPECT_EQ(DT_FLOAT32, inner[1]->dtype);
    DestroyTensor(inner[0]);
    DestroyTensor(inner[1]);
}

TEST(NNKernelPreparerDeathTest, Messages)
{
    auto conv = [](DataLayout l, DataType t) {
        Tensor* f = CreateTensor(t, l, 4, Shape({1, 1, 1, 1}), false);
        PrepareConv2DLayerWeights(&f, nullptr, kfname_Conv2D_ref);
    };
    ExpectFatal("NNKernelPreparer",
                {{[] { PrepareConv2DLayerWeights(nullptr, nullptr, kfname_Conv2D_ref); }, "null pointer"},
                 {[&] { conv(DL_NHWC, DT_FLOAT32); }, "wrong layout of filters tensor"},
                 {[&] { conv(DL_HWIO, DT_FLOAT16); }, "wrong data type of filters"},
                 {[] {
                      Tensor* w = CreateTensor(DT_FLOAT32, DL_CN, 2, Shape({2, 2}), false);
                      float data[4];
                      SetTensorData(w, data);
                      PrepareDenseLayerWeights(&w, nullptr, kfname_Dense_ref);
                  },
                  "weights tensor must own data array"},
                 {[] {
                      Tensor* w = CreateTensor(DT_FLOAT16, DL_NHWC, 4, Shape({48, 1, 1, 1}), false);
                      PrepareNormalInstanceLayerWeights(&w, nullptr, kfname_InstanceNormalization_ref);
                  },
                  "while there is no implementation of shuffling weights when tail channels < 32"},
                 {[] {
                      Tensor* a = Counting(DL_I, {2});
                      PrepareElementWiseLayerWeights(&a, nullptr, 1);
                  },
                  "*inner==NULL, expected not NULL value"}});
}
