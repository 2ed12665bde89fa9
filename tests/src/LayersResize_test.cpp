// Kernel selection of the resize layer, and a hand-built model running the
// resize, padding and up-sampling layers.
#include "NNKernelFnSelector.h"
#include "LayersResize.h"
#include "resize_util.h"

using namespace resize_test;
using corvus_test::Desc;
using corvus_test::InputLayer;

TEST(LayersResizeDeathTest, KernelSelectionAndRefusals)
{
    const float rgb[4] = {1.0f, 0.5f, 0.5f, 1.0f}, all[4] = {1.0f, 0.5f, 0.5f, 0.5f}, zero[4] = {1, 0, 0.5f, 1};
    auto select = [](const U& dims, const float* scales, uint32_t mode, DataType dtype = DT_FLOAT32) {
        Layer* rs = AddResizeLayer(nullptr, Desc(dtype, dims, DL_NHWC), scales, 4, "rs", mode);
        const kfname k = SelectNNKernelFn(KERNEL_TARGET_CPU, OP_Resize, DT_FLOAT32, rs->kernel);
        DestroyLayer(rs);
        return k;
    };
    EXPECT_EQ(select({1, 8, 8, 3}, rgb, RESIZE_MODE_NEAREST), kfname_ResizeNear3F32_ref);
    EXPECT_EQ(select({1, 8, 8, 4}, rgb, RESIZE_MODE_NEAREST), kfname_ResizeNear_ref);
    EXPECT_EQ(select({1, 8, 8, 3}, all, RESIZE_MODE_NEAREST), kfname_ResizeNear_ref);
    EXPECT_EQ(select({1, 8, 8, 3}, rgb, RESIZE_MODE_AREA), kfname_ResizeDown3F32_opt);
    EXPECT_EQ(select({1, 8, 8, 6}, all, RESIZE_MODE_AREA), kfname_ResizeDownF32_ref);
    corvus_test::ExpectExitRe({
        {[&] {
             select({1, 8, 8, 3}, zero, RESIZE_MODE_NEAREST);
         },
         "SelectNNKernelFnResize error: can't select function\nResizeNear3F32_ref error: scale\\[i\\] <= "
         "0\\.0\nResizeNear_ref error: scale\\[i\\] <= 0\\.0\n\\. File NNKernelFnSelector"},
        // Refused by the half-precision kernel too.
        {[&] {
             select({1, 8, 8, 3}, all, RESIZE_MODE_AREA, DT_FLOAT16);
         },
         "ResizeDown3F32_ref error: in->dtype != DT_FLOAT32\nResizeDown_ref error: in->dtype != DT_FLOAT32\n"},
    });
}

// Input -> ZeroPadding2D -> UpSampling2D -> area Resize -> reflect Pad, and a
// nearest Resize on the default kernel, checked against the definitions.
TEST(LayersResize, HandBuiltModelPredicts)
{
    const uint32_t H = 4, W = 5, C = 3;
    Layer* in = InputLayer("image", DT_FLOAT32, {1, H, W, C}, DL_NHWC);
    Layer* zp = AddZeroPadding2DLayer(in, nullptr, "zp", DL_NHWC, 1, 0, 2, 1);  // 5 x 8
    Layer* up = AddUpSampling2DLayer(zp, nullptr, "up", DL_NHWC, 2, 1);         // 10 x 8
    const float areaScales[4] = {1.0f, 0.4f, 0.75f, 1.0f};
    Layer* area = AddResizeLayer(up, nullptr, areaScales, 4, "area", RESIZE_MODE_AREA);  // 4 x 6
    // Selection prefers the interpolating kernel; the expected values below
    // are those of area averaging.
    area->kernel->fn = nn_kernel_fn_list[kfname_ResizeDown3F32_ref];
    const uint32_t pads[8] = {0, 1, 0, 0, 0, 2, 3, 0};
    Layer* pad = AddPadLayer(area, nullptr, "pad", pads, PAD_REFLECT, 0.0f);  // 7 x 9
    const float nearScales[4] = {1.0f, 1.5f, 0.5f, 1.0f};
    Layer* nearest = AddResizeLayer(in, nullptr, nearScales, 4, "near", RESIZE_MODE_NEAREST);
    corvus_test::ModelRun model({pad, nearest});
    model.Init();
    EXPECT_EQ(area->kernel->fn, nn_kernel_fn_list[kfname_ResizeDown3F32_ref]);
    EXPECT_EQ(nearest->kernel->fn, nn_kernel_fn_list[kfname_ResizeNear_ref]);

    std::mt19937 rng(99);
    Tensor* host = F32Tensor({1, H, W, C}, {}, DL_NHWC);
    FillRandom(host, rng);
    Layer** result = model.Run({{"image", host}});

    auto padded = [&](uint32_t h, uint32_t w, uint32_t c) -> double {  // zero padding, then up-sampling
        const int64_t r = (int64_t)(h / 2) - 1, q = (int64_t)w - 2;
        return r >= 0 && r < H && q >= 0 && q < W ? At(host, {0, (uint32_t)r, (uint32_t)q, c}) : 0.0;
    };
    const Tensor* out = result[0]->kernel->output[0];
    ASSERT_EQ(Dims(out), (U{1, 7, 9, C}));
    ForEachIndex(Dims(out), [&](const U& o) {
        const uint32_t oh = Mirror(o[1], 1, 4), ow = Mirror(o[2], 0, 6);  // the area output read
        double expected = 0.0;
        for (uint32_t i = 0; i < 10; ++i)
            for (uint32_t j = 0; j < 8; ++j)
                expected += AreaWeight(oh, i, 10, 0.4f) * AreaWeight(ow, j, 8, 0.75f) * padded(i, j, o[3]);
        ASSERT_NEAR(At(out, o), expected, 1e-5) << o[1] << "," << o[2];
    });
    const Tensor* near = result[1]->kernel->output[0];
    ASSERT_EQ(Dims(near), (U{1, 6, 2, C}));
    ForEachIndex(Dims(near), [&](const U& o) {
        ASSERT_EQ(At(near, o), At(host, {0, NearestSource(o[1], H, 1.5f), NearestSource(o[2], W, 0.5f), o[3]}));
    });
    DestroyTensor(host);
}
