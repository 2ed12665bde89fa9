#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TensorOperation.h"

namespace {

using TensorPtr = std::unique_ptr<Tensor, decltype(&DestroyTensor)>;

TensorShape Shape(std::initializer_list<uint32_t> dims)
{
    TensorShape s;
    memset(&s, 0, sizeof(s));
    uint32_t i = 0;
    for (uint32_t d : dims) s.dimension[i++] = d;
    return s;
}

TensorStrides Strides(std::initializer_list<uint32_t> values)
{
    TensorStrides s;
    memset(&s, 0, sizeof(s));
    uint32_t i = 0;
    for (uint32_t v : values) s.dimension[i++] = v;
    return s;
}

template <typename T>
TensorPtr Filled(DataType dtype, TensorShape shape, uint32_t ndim, const std::vector<T>& values)
{
    TensorPtr t(CreateTensor(dtype, DL_NONE, ndim, shape, true), &DestroyTensor);
    memcpy(t->data, values.data(), values.size() * sizeof(T));
    return t;
}

const std::vector<float> kBase = {1, 2, 3, 4, 5, 6};

TensorCompareResult CompareCapturing(const Tensor* a, const Tensor* b, float threshold, std::string* printed)
{
    testing::internal::CaptureStdout();
    TensorCompareResult r = CompareTensors(a, b, threshold);
    *printed = testing::internal::GetCapturedStdout();
    return r;
}

TEST(TensorCompare, EqualDataPrintsNothing)
{
    TensorPtr a = Filled(DT_FLOAT32, Shape({2, 3}), 2, kBase);
    TensorPtr b = Filled(DT_FLOAT32, Shape({2, 3}), 2, kBase);
    ((float*)b->data)[4] += 0.01f;
    std::string out;
    EXPECT_EQ(CompareCapturing(a.get(), b.get(), 0.02f, &out), TCR_DATA_EQUAL);
    EXPECT_EQ(out, "");

    // Padded rows in one tensor: the gaps are never read.
    TensorPtr padded(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({2, 3}), Strides({5, 1}), true),
                     &DestroyTensor);
    const float storage[] = {1, 2, 3, 99, 99, 4, 5, 6, 99, 99};
    memcpy(padded->data, storage, sizeof(storage));
    EXPECT_EQ(CompareCapturing(padded.get(), a.get(), 0.0f, &out), TCR_DATA_EQUAL);
    EXPECT_EQ(out, "");

    TensorPtr other = Filled(DT_FLOAT32, Shape({2, 4}), 2, std::vector<float>(8));
    EXPECT_EQ(CompareTensors(a.get(), other.get(), 0.0f), TCR_SHAPES_LESS);
}

TEST(TensorCompare, DifferingPairPrintsThreeLines)
{
    TensorPtr a = Filled(DT_FLOAT32, Shape({2, 3}), 2, kBase);
    std::vector<float> changed = kBase;
    changed[5] = 6.5f;
    TensorPtr b = Filled(DT_FLOAT32, Shape({2, 3}), 2, changed);
    const std::string expected =
        "max diff = 0.50000: tensor1(1,2) = 6.00000, tensor2(1,2) = 6.50000\n"
        "min diff = 0.00000: tensor1(0,0) = 1.00000, tensor2(0,0) = 1.00000\n"
        "average diff = 0.08333\n";
    std::string out;
    EXPECT_EQ(CompareCapturing(a.get(), b.get(), 0.1f, &out), TCR_DATA_DIFFERENT);
    EXPECT_EQ(out, expected);

    // Half-precision data is compared through float32 temporaries.
    const std::vector<uint16_t> halves = {0x3C00, 0x4000, 0x4200, 0x4400, 0x4500, 0x4680};
    TensorPtr h = Filled(DT_FLOAT16, Shape({2, 3}), 2, halves);
    EXPECT_EQ(CompareCapturing(a.get(), h.get(), 0.1f, &out), TCR_DATA_DIFFERENT);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(CompareCapturing(b.get(), h.get(), 0.0f, &out), TCR_DATA_EQUAL);
}

TEST(TensorCompare, RejectsBadInput)
{
    TensorPtr a = Filled(DT_FLOAT32, Shape({2, 3}), 2, kBase);
    TensorPtr empty(CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({2, 3}), false), &DestroyTensor);
    EXPECT_EXIT(CompareTensors(nullptr, a.get(), 0), ::testing::ExitedWithCode(1),
                "CompareTensors\\. Tensor tensor1 is not created\\. File Tensor");
    EXPECT_EXIT(CompareTensors(a.get(), nullptr, 0), ::testing::ExitedWithCode(1),
                "CompareTensors\\. Tensor tensor2 is not created");
    EXPECT_EXIT(CompareTensors(a.get(), empty.get(), 0), ::testing::ExitedWithCode(1),
                "CompareTensors\\. Tensor tensor2 data refers to nullptr");
    TensorPtr gap(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 2, 2}), Strides({5, 2, 1}), true),
                  &DestroyTensor);
    TensorPtr dense(CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 2, 2}), true), &DestroyTensor);
    EXPECT_EXIT(CompareTensors(dense.get(), gap.get(), 0), ::testing::ExitedWithCode(1),
                "Unsupported custom tensor2 stride by dim: 0\nStride value: 5\\. Expected: 4");
}

}  // namespace
