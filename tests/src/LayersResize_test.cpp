// Constructors of the resize, padding and up-sampling layers, their kernel
// selection and a hand-built model.
#include <gtest/gtest.h>

#include "Model.h"
#include "NNKernelFnSelector.h"
#include "LayersResize.h"
#include "resize_util.h"
#include "test_util.h"

using namespace resize_test;

namespace {

kfname Select(Layer* layer) { return SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)layer->op, DT_FLOAT32, layer->kernel); }

}  // namespace

TEST(LayersResize, ConstructorsShapeOutputsAndRecords)
{
    Layer* in = Input("img", DL_NHWC, {2, 5, 7, 3});
    Layer* zp = AddZeroPadding2DLayer(in, nullptr, "zp", DL_NHWC, 1, 2, 3, 4);
    EXPECT_EQ(zp->op, (uint32_t)OP_ZeroPadding2D);
    EXPECT_EQ(Dims(zp->kernel->output[0]), (U{2, 8, 14, 3}));
    const uint32_t zpWant[4] = {1, 3, 2, 4};  // stored as top, left, bottom, right
    EXPECT_EQ(memcmp(zp->kernel->params, zpWant, sizeof(zpWant)), 0);

    Layer* up = AddUpSampling2DLayer(nullptr, Described(DL_NONE, {1, 2, 3, 4}, DT_FLOAT16), nullptr, DL_NHWC, 3, 2);
    EXPECT_EQ(up->kernel->input[0]->layout, (uint32_t)DL_NHWC);
    EXPECT_EQ(Dims(up->kernel->output[0]), (U{1, 6, 6, 4}));
    EXPECT_EQ(up->kernel->output[0]->dtype, (uint32_t)DT_FLOAT16);
    EXPECT_EQ(up->kernel->output[0]->layout, (uint32_t)DL_NHWC);
    EXPECT_EQ(((UpSampling2DParams*)up->kernel->params)->sizeH, 3u);
    EXPECT_EQ(std::string(up->name).rfind("UpSampling2D", 0), 0u);

    // Output extents are products rounded to float32, then truncated: 10 * 0.7f is 7.
    const float scales[4] = {1.0f, 0.7f, 0.4f, 1.0f / 3.0f};
    Layer* rs = AddResizeLayer(nullptr, Described(DL_NHWC, {2, 10, 3, 7}), scales, 4, "rs", RESIZE_MODE_AREA);
    EXPECT_EQ(rs->op, (uint32_t)OP_Resize);
    EXPECT_EQ(Dims(rs->kernel->output[0]), (U{2, 7, 1, 2}));
    EXPECT_EQ(rs->kernel->output[0]->layout, (uint32_t)DL_NHWC);
    const ResizeParams* rp = (const ResizeParams*)rs->kernel->params;
    EXPECT_EQ(sizeof(ResizeParams), 7 * sizeof(uint32_t));
    EXPECT_EQ(memcmp(rp->scales, scales, sizeof(scales)), 0);
    EXPECT_EQ(rp->mode, (uint32_t)RESIZE_MODE_AREA);

    const uint32_t pads[6] = {0, 1, 2, 3, 4, 5};  // begins, then ends
    Layer* pad = AddPadLayer(nullptr, Described(DL_NONE, {2, 3, 4}), "pad", pads, PAD_REFLECT, 1.5f);
    EXPECT_EQ(pad->op, (uint32_t)OP_Pad);
    EXPECT_EQ(Dims(pad->kernel->output[0]), (U{5, 8, 11}));
    EXPECT_EQ(pad->kernel->output[0]->layout, (uint32_t)DL_NONE);
    EXPECT_EQ(sizeof(PadParams), 56u);
    const PadParams* pp = (const PadParams*)pad->kernel->params;
    EXPECT_EQ(memcmp(pp->pads, pads, sizeof(pads)), 0);
    EXPECT_EQ(pp->mode, (uint32_t)PAD_REFLECT);
    EXPECT_EQ(pp->value, 1.5f);
    Layer* scalar = AddPadLayer(nullptr, Described(DL_NONE, {}), nullptr, nullptr, PAD_CONSTANT, 0.0f);
    EXPECT_EQ(scalar->kernel->output[0]->ndim, 0u);
    for (Layer* l : {zp, up, rs, pad, scalar, in}) DestroyLayer(l);
}

TEST(LayersResize, KernelSelection)
{
    EXPECT_EQ(nn_kernel_fn_list_default[OP_Resize], nn_kernel_fn_list[kfname_ResizeNear_ref]);
    for (kfname k : {kfname_ZeroPadding_ref, kfname_UpSampling2D_ref, kfname_Pad_ref, kfname_ResizeNear_ref,
                     kfname_ResizeNear3F32_ref, kfname_ResizeDownF32_ref, kfname_ResizeDown3F32_ref})
        ASSERT_NE(nn_kernel_fn_list[k], nullptr) << kernel_fn_name_string[k];
    const float rgb[4] = {1.0f, 0.5f, 0.5f, 1.0f}, all[4] = {1.0f, 0.5f, 0.5f, 0.5f};
    struct Case {
        U dims;
        const float* scales;
        uint32_t mode;
        kfname want;
    };
    const Case cases[] = {
        {{1, 8, 8, 3}, rgb, RESIZE_MODE_NEAREST, kfname_ResizeNear3F32_ref},
        {{1, 8, 8, 4}, rgb, RESIZE_MODE_NEAREST, kfname_ResizeNear_ref},
        {{1, 8, 8, 3}, all, RESIZE_MODE_NEAREST, kfname_ResizeNear_ref},
        {{1, 8, 8, 3}, rgb, RESIZE_MODE_AREA, kfname_ResizeDown3F32_opt},
        {{1, 8, 8, 6}, all, RESIZE_MODE_AREA, kfname_ResizeDownF32_ref},
    };
    for (const Case& c : cases) {
        Layer* rs = AddResizeLayer(nullptr, Described(DL_NHWC, c.dims), c.scales, 4, "rs", c.mode);
        EXPECT_EQ(Select(rs), c.want) << kernel_fn_name_string[c.want];
        DestroyLayer(rs);
    }
    Layer* zp = AddZeroPadding2DLayer(nullptr, Described(DL_NHWC, {1, 2, 2, 1}), "zp", DL_NHWC, 1, 1, 1, 1);
    Layer* up = AddUpSampling2DLayer(nullptr, Described(DL_NHWC, {1, 2, 2, 1}), "up", DL_NHWC, 2, 2);
    const uint32_t pads[2] = {1, 1};
    Layer* pad = AddPadLayer(nullptr, Described(DL_NONE, {3}), "pad", pads, PAD_CONSTANT, 0.0f);
    EXPECT_EQ(Select(zp), kfname_ZeroPadding_ref);
    EXPECT_EQ(Select(up), kfname_UpSampling2D_ref);
    EXPECT_EQ(Select(pad), kfname_Pad_ref);
    for (Layer* l : {zp, up, pad}) DestroyLayer(l);
}

TEST(LayersResizeDeathTest, SelectionFailures)
{
    const float zero[4] = {1.0f, 0.0f, 0.5f, 1.0f}, ok[4] = {1.0f, 0.5f, 0.5f, 1.0f};
    const float chan[4] = {1.0f, 0.5f, 0.5f, 0.5f};  // refused by the half-precision kernel too
    auto layer = [](const float* s, uint32_t mode, DataType dtype) {
        return AddResizeLayer(nullptr, Described(DL_NHWC, {1, 8, 8, 3}, dtype), s, 4, "rs", mode);
    };
    EXPECT_EXIT(Select(layer(zero, RESIZE_MODE_NEAREST, DT_FLOAT32)), ::testing::ExitedWithCode(1),
                "SelectNNKernelFnResize error: can't select function\nResizeNear3F32_ref error: scale\\[i\\] <= "
                "0\\.0\nResizeNear_ref error: scale\\[i\\] <= 0\\.0\n\\. File NNKernelFnSelector");
    EXPECT_EXIT(Select(layer(chan, RESIZE_MODE_AREA, DT_FLOAT16)), ::testing::ExitedWithCode(1),
                "ResizeDown3F32_ref error: in->dtype != DT_FLOAT32\nResizeDown_ref error: in->dtype != DT_FLOAT32\n");
    EXPECT_EXIT(Select(layer(ok, 2, DT_FLOAT32)), ::testing::ExitedWithCode(1),
                "SelectNNKernelFnResize error: unsupported resize mode");
}

TEST(LayersResizeDeathTest, ConstructorChecks)
{
    const float s4[4] = {1, 1, 1, 1};
    const uint32_t pads[2] = {0, 0};
    corvus_test::ExpectFatal("Layers", {
        {[] { AddZeroPadding2DLayer(nullptr, Described(DL_NONE, {1, 2, 2}), "z", DL_NHWC, 1, 1, 1, 1); },
         "input tensor ndim must equal 4. ndim: 3"},
        {[] { AddZeroPadding2DLayer(nullptr, Described(DL_NCHW, {1, 2, 2, 1}), "z", DL_NHWC, 1, 1, 1, 1); },
         "inTensor->layout == layout: false, expected: true"},
        {[] { AddZeroPadding2DLayer(nullptr, Described(DL_NONE, {1, 2, 2, 1}), "z", DL_NCHW, 1, 1, 1, 1); },
         "inTensor->layout == DL_NHWC: false, expected: true"},
        {[] { AddZeroPadding2DLayer(nullptr, Described(DL_NHWC, {1, 2, 2, 1}), "z", DL_NHWC, UINT32_MAX, 1, 0, 0); },
         "AddZeroPadding2DLayer: output dimension 1 is too large (4294967298)"},
        {[] { AddUpSampling2DLayer(nullptr, Described(DL_NONE, {1, 2, 2, 1, 1}), "u", DL_NHWC, 2, 2); },
         "input tensor ndim must equal 4. ndim: 5"},
        {[] { AddUpSampling2DLayer(nullptr, Described(DL_NHWC, {1, 2, 2, 1}), "u", DL_NHWC, 2, 0); },
         "sizeH > 0 && sizeW > 0: false, expected: true"},
        {[] { AddUpSampling2DLayer(nullptr, Described(DL_NHWC, {1, 32768, 32768, 2}), "u", DL_NHWC, 2, 2); },
         "AddUpSampling2DLayer: the output would hold more than 4294967295 elements"},
        {[&] { AddResizeLayer(nullptr, Described(DL_NHWC, {1, 2, 2, 1}), s4, 3, "r", 0); },
         "Incorrect axis length in Resize Layer"},
        {[] { AddResizeLayer(nullptr, Described(DL_NHWC, {1, 2, 2, 1}), nullptr, 4, "r", 0); },
         "scale_factors==NULL, expected not NULL value"},
        {[] {
             const float s[4] = {1, -2, 1, 1};
             AddResizeLayer(nullptr, Described(DL_NHWC, {1, 2, 2, 1}), s, 4, "r", 0);
         },
         "AddResizeLayer: scale -2 of dimension 1 gives no valid output size"},
        {[] { AddPadLayer(nullptr, Described(DL_NONE, {3}), "p", nullptr, 0, 0.0f); },
         "AddPadLayer: pads pointer is NULL"},
        {[&] { AddPadLayer(nullptr, nullptr, "p", pads, 0, 0.0f); },
         "One of inputTensor or inputLayers pointers must be NULL"},
    });
}

// Input -> ZeroPadding2D -> UpSampling2D -> area Resize -> reflect Pad, and a
// nearest Resize on the default kernel, checked against the definitions.
TEST(LayersResize, HandBuiltModelPredicts)
{
    const uint32_t H = 4, W = 5, C = 3;
    Layer* in = Input("image", DL_NHWC, {1, H, W, C});
    Layer* zp = AddZeroPadding2DLayer(in, nullptr, "zp", DL_NHWC, 1, 0, 2, 1);  // 5 x 8
    Layer* up = AddUpSampling2DLayer(zp, nullptr, "up", DL_NHWC, 2, 1);       // 10 x 8
    const float areaScales[4] = {1.0f, 0.4f, 0.75f, 1.0f};
    Layer* area = AddResizeLayer(up, nullptr, areaScales, 4, "area", RESIZE_MODE_AREA);  // 4 x 6
    // Selection prefers the interpolating kernel; the expected values below
    // are those of area averaging.
    area->kernel->fn = nn_kernel_fn_list[kfname_ResizeDown3F32_ref];
    const uint32_t pads[8] = {0, 1, 0, 0, 0, 2, 3, 0};
    Layer* pad = AddPadLayer(area, nullptr, "pad", pads, PAD_REFLECT, 0.0f);  // 7 x 9
    const float nearScales[4] = {1.0f, 1.5f, 0.5f, 1.0f};
    Layer* nearest = AddResizeLayer(in, nullptr, nearScales, 4, "near", RESIZE_MODE_NEAREST);
    Layer* outputs[] = {pad, nearest};
    Model* model = CreateModel(outputs, 2);
    ASSERT_EQ(InitModel(model, 1), 1u);
    EXPECT_EQ(area->kernel->fn, nn_kernel_fn_list[kfname_ResizeDown3F32_ref]);
    EXPECT_EQ(nearest->kernel->fn, nn_kernel_fn_list[kfname_ResizeNear_ref]);

    std::mt19937 rng(99);
    Tensor* host = F32Tensor({1, H, W, C}, {}, DL_NHWC);
    FillRandom(host, rng);
    ModelInput feed[] = {{"image", host}};
    Layer** result = Predict(model, 1, feed);

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
    DestroyModel(model);
}
