#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TensorOperation.h"
#include "test_util.h"

using namespace corvus_test;

namespace {

template <typename T>
TensorPtr Filled(DataType dtype, const std::vector<uint32_t>& dims, const std::vector<T>& values,
                 const std::vector<uint32_t>& strides = {})
{
    TensorPtr t = NewTensor(dtype, dims, strides);
    memcpy(t->data, values.data(), values.size() * sizeof(T));
    return t;
}

std::string Compare(const Tensor* a, const Tensor* b, float threshold, TensorCompareResult want)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(CompareTensors(a, b, threshold), want);
    return testing::internal::GetCapturedStdout();
}

TEST(TensorCompare, EqualWithinThresholdPrintsNothingElseThreeLines)
{
    const std::vector<float> base = {1, 2, 3, 4, 5, 6};
    TensorPtr a = Filled(DT_FLOAT32, {2, 3}, base), near = Filled(DT_FLOAT32, {2, 3}, base);
    ((float*)near->data)[4] += 0.01f;
    EXPECT_EQ(Compare(a.get(), near.get(), 0.02f, TCR_DATA_EQUAL), "");
    // Padded rows in one tensor: the gaps are never read.
    TensorPtr padded = Filled<float>(DT_FLOAT32, {2, 3}, {1, 2, 3, 99, 99, 4, 5, 6, 99, 99}, {5, 1});
    EXPECT_EQ(Compare(padded.get(), a.get(), 0.0f, TCR_DATA_EQUAL), "");
    EXPECT_EQ(CompareTensors(a.get(), NewTensor(DT_FLOAT32, {2, 4}).get(), 0.0f), TCR_SHAPES_LESS);

    std::vector<float> changed = base;
    changed[5] = 6.5f;
    TensorPtr b = Filled(DT_FLOAT32, {2, 3}, changed);
    const std::string expected =
        "max diff = 0.50000: tensor1(1,2) = 6.00000, tensor2(1,2) = 6.50000\n"
        "min diff = 0.00000: tensor1(0,0) = 1.00000, tensor2(0,0) = 1.00000\n"
        "average diff = 0.08333\n";
    EXPECT_EQ(Compare(a.get(), b.get(), 0.1f, TCR_DATA_DIFFERENT), expected);
    // Half-precision data is compared through float32 temporaries.
    TensorPtr h = Filled<uint16_t>(DT_FLOAT16, {2, 3}, {0x3C00, 0x4000, 0x4200, 0x4400, 0x4500, 0x4680});
    EXPECT_EQ(Compare(a.get(), h.get(), 0.1f, TCR_DATA_DIFFERENT), expected);
    Compare(b.get(), h.get(), 0.0f, TCR_DATA_EQUAL);
}

TEST(TensorCompare, RejectsBadInput)
{
    TensorPtr a = NewTensor(DT_FLOAT32, {2, 3}), empty = NewTensor(DT_FLOAT32, {2, 3}, {}, false);
    TensorPtr gap = NewTensor(DT_FLOAT32, {2, 2, 2}, {5, 2, 1}), dense = NewTensor(DT_FLOAT32, {2, 2, 2});
    ExpectFatal("Tensor", {
        {[&] { CompareTensors(a.get(), empty.get(), 0); }, "CompareTensors. Tensor tensor2 data refers to nullptr"},
        {[&] { CompareTensors(dense.get(), gap.get(), 0); },
         "Unsupported custom tensor2 stride by dim: 0\nStride value: 5. Expected: 4"},
    });
}

}  // namespace
