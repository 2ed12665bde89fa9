#include <gtest/gtest.h>

#include "TensorsArray.h"
#include "test_util.h"

using namespace corvus_test;

TEST(TensorsArrayDeathTest, OwnershipFollowsTheDestroyFlag)
{
    TensorsArray* a = CreateTensorsArray(3);
    ASSERT_EQ(a->tensorsCount, 3u);
    EXPECT_TRUE(a->tensors[0] == nullptr && a->tensors[1] == nullptr && a->tensors[2] == nullptr);
    Tensor* kept = CreateTensor(DT_INT32, DL_I, 1, Shape({4}), true);
    AssignTensor(a, CreateTensor(DT_FLOAT32, DL_I, 1, Shape({2}), true), 0);  // slot 1 stays empty
    AssignTensor(a, kept, 2);
    EXPECT_EQ(a->tensors[2], kept);
    ExpectFatal("TensorsArray", {
        {[&] { AssignTensor(a, kept, 3); }, "pos < tensorsArray->tensorsCount: false, expected: true"},
        {[&] { AssignTensor(a, nullptr, 0); }, "tensor==NULL, expected not NULL value"},
        {[&] { AssignTensor(nullptr, kept, 0); }, "tensorsArray==NULL, expected not NULL value"},
        {[&] { DestroyTensorsArray(nullptr, true); }, "tArray==NULL, expected not NULL value"},
    });
    a->tensors[2] = nullptr;
    DestroyTensorsArray(a, true);  // destroys the tensor in slot 0 (LeakSanitizer checks)
    TensorsArray* b = CreateTensorsArray(1);
    AssignTensor(b, kept, 0);
    DestroyTensorsArray(b, false);
    EXPECT_EQ(GetTensorSize(kept), 4u);  // still alive
    DestroyTensor(kept);
    DestroyTensorsArray(CreateTensorsArray(0), true);
}
