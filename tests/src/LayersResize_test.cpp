// Kernel selection of the resize layer (its kernels, and the padding and
// up-sampling ones, are checked against their definitions kernel by kernel).
#include "LayersResize.h"
#include "NNKernelFnSelector.h"
#include "resize_util.h"

using namespace resize_test;

TEST(LayersResizeDeathTest, KernelSelectionAndRefusals)
{
    const float rgb[4] = {1.0f, 0.5f, 0.5f, 1.0f}, all[4] = {1.0f, 0.5f, 0.5f, 0.5f}, zero[4] = {1, 0, 0.5f, 1};
    auto select = [](const U& dims, const float* scales, uint32_t mode, DataType dtype = DT_FLOAT32) {
        Layer* rs = AddResizeLayer(nullptr, corvus_test::Desc(dtype, dims, DL_NHWC), scales, 4, "rs", mode);
        const kfname k = SelectNNKernelFn(KERNEL_TARGET_CPU, OP_Resize, DT_FLOAT32, rs->kernel);
        DestroyLayer(rs);
        return k;
    };
    EXPECT_EQ(select({1, 8, 8, 3}, rgb, RESIZE_MODE_NEAREST), kfname_ResizeNear3F32_ref);
    EXPECT_EQ(select({1, 8, 8, 4}, rgb, RESIZE_MODE_NEAREST), kfname_ResizeNear_ref);
    EXPECT_EQ(select({1, 8, 8, 3}, all, RESIZE_MODE_NEAREST), kfname_ResizeNear_ref);
    EXPECT_EQ(select({1, 8, 8, 3}, rgb, RESIZE_MODE_AREA), kfname_ResizeDown3F32_opt);
    EXPECT_EQ(select({1, 8, 8, 6}, all, RESIZE_MODE_AREA), kfname_ResizeDownF32_ref);
    // clang-format off
    corvus_test::ExpectExitRe({
        {[&] { select({1, 8, 8, 3}, zero, RESIZE_MODE_NEAREST); },
         "SelectNNKernelFnResize error: can't select function\nResizeNear3F32_ref error: scale\\[i\\] <= "
         "0\\.0\nResizeNear_ref error: scale\\[i\\] <= 0\\.0\n\\. File NNKernelFnSelector"},
        // Refused by the half-precision kernel too.
        {[&] { select({1, 8, 8, 3}, all, RESIZE_MODE_AREA, DT_FLOAT16); },
         "ResizeDown3F32_ref error: in->dtype != DT_FLOAT32\nResizeDown_ref error: in->dtype != DT_FLOAT32\n"},
    });
    // clang-format on
}
