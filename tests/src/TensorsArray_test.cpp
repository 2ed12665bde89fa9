// Tensor arrays: ownership of the tensors held.
#include "TensorsArray.h"
#include "test_util.h"

using namespace corvus_test;

// Destroying with the flag set destroys the tensors held; without it they live on (LeakSanitizer checks).
TEST(TensorsArray, OwnershipFollowsTheDestroyFlag)
{
    TensorsArray* a = CreateTensorsArray(3);
    ASSERT_TRUE(a->tensorsCount == 3 && a->tensors[0] == nullptr && a->tensors[2] == nullptr);
    Tensor* kept = NewTensor(DT_INT32, {4}).release();
    AssignTensor(a, NewTensor(DT_FLOAT32, {2}).release(), 0);  // slot 1 stays empty
    DestroyTensorsArray(a, true);
    TensorsArray* b = CreateTensorsArray(1);
    AssignTensor(b, kept, 0);
    DestroyTensorsArray(b, false);
    EXPECT_EQ(GetTensorSize(kept), 4u);  // still alive
    DestroyTensor(kept);
    DestroyTensorsArray(CreateTensorsArray(0), true);
}
