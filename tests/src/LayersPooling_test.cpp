// Pooling constructors, kernel tables and a hand-built pooling model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Model.h"
#include "NNKernelFnSelector.h"
#include "pooling_util.h"
#include "resize_util.h"

using namespace pooling_test;

namespace {

PaddingStruct Pads2D(uint32_t out0, uint32_t out1, uint32_t top, uint32_t bottom, uint32_t left, uint32_t right)
{
    PaddingStruct ps;
    memset(&ps, 0, sizeof(ps));
    ps.outputSize[0] = out0;
    ps.outputSize[1] = out1;
    ps.begin0 = top;
    ps.end0 = bottom;
    ps.begin1 = left;
    ps.end1 = right;
    return ps;
}

}  // namespace

using resize_test::Described;
using resize_test::Dims;
using resize_test::Input;
using resize_test::U;

TEST(LayersPooling, ConstructorsGiveShapesAndWindowRecords)
{
    Layer* in = Input("img", DL_NHWC, {2, 9, 7, 3});
    const PaddingStruct ps = Pads2D(5, 4, 1, 2, 0, 3);
    Layer* mp = AddMaxPool2DLayer(in, nullptr, "mp", DL_NHWC, 3, 2, 2, 3, 1, &ps, 1);
    Layer* ap = AddAveragePool2DLayer(in, nullptr, nullptr, DL_NHWC, 2, 2, 1, 1, 0, &ps, 0);
    for (Layer* l : {mp, ap}) EXPECT_EQ(Dims(l->kernel->output[0]), (U{2, 5, 4, 3}));
    // The record takes the pads as top = begin0, left = begin1, bottom =
    // end0, right = end1; `pad` is SAME since some are non-zero.
    const uint32_t want[11] = {3, 2, 2, 3, 1, 0, 2, 3, 1, SAME, 1};
    EXPECT_EQ(memcmp(mp->kernel->params, want, sizeof(want)), 0);
    // No pads: VALID. A given tensor of layout DL_NONE takes the layout argument.
    const PaddingStruct none = Pads2D(4, 3, 0, 0, 0, 0);
    Layer* fromTensor =
        AddMaxPool2DLayer(nullptr, Described(DL_NONE, {1, 8, 6, 5}, DT_FLOAT16), "t", DL_NHWC, 2, 2, 2, 2, 0, &none, 1);
    EXPECT_EQ(((const Pool2DParams*)fromTensor->kernel->params)->pad, VALID);
    EXPECT_EQ(fromTensor->kernel->input[0]->layout, (uint32_t)DL_NHWC);
    EXPECT_EQ(Dims(fromTensor->kernel->output[0]), (U{1, 4, 3, 5}));
    EXPECT_EQ(fromTensor->kernel->output[0]->dtype, (uint32_t)DT_FLOAT16);

    // 1-D: dimension 1 of the pads is ignored.
    Layer* seq = Input("seq", DL_NONE, {3, 20, 4});
    PaddingStruct ps1 = Pads2D(8, 99, 2, 1, 5, 5);
    Layer* mp1 = AddMaxPooling1DLayer(seq, nullptr, "mp1", 4, 3, 1, ps1, 0);
    Layer* ap1 = AddAveragePooling1DLayer(seq, nullptr, "ap1", 2, 2, 0, ps1, 1);
    for (Layer* l : {mp1, ap1}) EXPECT_EQ(Dims(l->kernel->output[0]), (U{3, 8, 4}));
    const uint32_t want1[6] = {4, 3, 2, 1, 1, 0};  // size, stride, begin0, end0, ceilMode, paddingMode
    EXPECT_EQ(memcmp(mp1->kernel->params, want1, sizeof(want1)), 0);

    // Global pooling keeps batch and channels.
    const struct {
        Layer* layer;
        U dims;
        DataLayout layout;
    } global[] = {
        {AddGlobalAveragePool2DLayer(nullptr, Described(DL_NHWC, {1, 7, 7, 32}), "gap", DL_NHWC, 0), {1, 32}, DL_NC},
        {AddGlobalAveragePool2DLayer(nullptr, Described(DL_NONE, {2, 7, 5, 3}), "gap4", DL_NHWC, 1), {2, 1, 1, 3}, DL_NHWC},
        {AddGlobalMaxPool(nullptr, Described(DL_NHWC, {2, 3, 4, 5}), "gmp"), {2, 1, 1, 5}, DL_NONE},
        {AddGlobalMaxPool(nullptr, Described(DL_NONE, {4, 9, 6}), nullptr), {4, 1, 6}, DL_NONE},
        {AddGlobalMaxPool(nullptr, Described(DL_NONE, {2, 3, 4, 5, 6, 7}), nullptr), {2, 1, 1, 1, 1, 7}, DL_NONE},
    };
    for (const auto& g : global) {
        EXPECT_EQ(Dims(g.layer->kernel->output[0]), g.dims);
        EXPECT_EQ(g.layer->kernel->output[0]->layout, (uint32_t)g.layout);
        DestroyLayer(g.layer);
    }
    // The optimised kernels accept these NHWC layers.
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_MaxPool2D, DT_FLOAT32, mp->kernel), kfname_MaxPool2D_opt);
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_AveragePool2D, DT_FLOAT32, ap->kernel), kfname_AvgPool2D_opt);
    for (Layer* l : {mp, ap, fromTensor, mp1, ap1, in, seq}) DestroyLayer(l);
}

TEST(LayersPoolingDeathTest, ConstructorChecks)
{
    const PaddingStruct ps = Pads2D(2, 2, 0, 0, 0, 0);
    auto max2d = [&](DataLayout inLayout, std::initializer_list<uint32_t> dims, DataLayout layout, uint32_t pool,
                     const PaddingStruct* pads) {
        AddMaxPool2DLayer(nullptr, Described(inLayout, dims), "x", layout, pool, 2, 2, 2, 0, pads, 1);
    };
    corvus_test::ExpectExitRe({
        {[&] { max2d(DL_NONE, {1, 4, 4}, DL_NHWC, 2, &ps); },
         "^\\[ERROR MESSAGE\\]: input tensor ndim must equal 4\\. ndim: 3\\. File Layers : [0-9]+\n$"},
        {[&] { max2d(DL_NCHW, {1, 4, 4, 2}, DL_NHWC, 2, &ps); }, "inputTensor->layout == layout: false, expected: true"},
        {[&] { max2d(DL_NONE, {1, 4, 4, 2}, DL_NCHW, 2, &ps); }, "inTensor->layout == DL_NHWC: false, expected: true"},
        {[&] { max2d(DL_NHWC, {1, 4, 4, 2}, DL_NHWC, 0, &ps); }, "AddMaxPool2DLayer: pool size and stride must be positive"},
        {[&] { max2d(DL_NHWC, {1, 4, 4, 2}, DL_NHWC, 2, nullptr); }, "padding==NULL, expected not NULL value"},
        {[&] { AddAveragePool2DLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "x", DL_NHWC, 2, 2, 2, 0, 0, &ps, 1); },
         "AddAveragePool2DLayer: pool size and stride must be positive"},
        {[&] { AddMaxPooling1DLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "x", 2, 2, 0, ps, 1); },
         "AddPool1DLayer: Input tensor dimensions must be equal 3\\. Current dimensions number: 4"},
        {[&] { AddMaxPooling1DLayer(nullptr, Described(DL_NONE, {1, 4, 2}), "x", 2, 0, 0, ps, 1); },
         "AddPool1DLayer: pool size and stride must be positive"},
        {[&] { AddPool1DLayer(nullptr, Described(DL_NONE, {1, 4, 2}), "x", 2, 2, 0, ps, 1, OP_MaxPool2D); },
         "AddPool1DLayer: op must be MaxPool1D or AveragePool1D, got MaxPool2D"},
        {[&] { AddGlobalMaxPool(nullptr, Described(DL_NC, {1, 4}), "x"); }, "in_tensor->ndim >= 3: false, expected: true"},
    });
}

// Input -> pooling layers -> Predict, checked against the naive windows.
TEST(LayersPooling, HandBuiltModelPredicts)
{
    const uint32_t H = 7, W = 6, C = 3;
    Layer* in = Input("image", DL_NHWC, {1, H, W, C});
    // SAME max pooling as a Keras model would build it: 3x3, stride 2, pads skipped.
    const uint32_t size[2] = {H, W}, k[2] = {3, 3}, s[2] = {2, 2};
    const PaddingStruct same = ComputePaddingStruct(2, size, k, s, nullptr, SAME, nullptr, 1);
    Layer* mp = AddMaxPool2DLayer(in, nullptr, "max", DL_NHWC, 3, 3, 2, 2, 1, &same, 1);
    // Explicit-pad average pooling with padded cells counted, then a global average.
    const uint32_t k2[2] = {2, 3}, s2[2] = {1, 2}, pads[4] = {1, 2, 0, 1};
    const PaddingStruct expl = ComputePaddingStruct(2, size, k2, s2, nullptr, EXPLICIT, pads, 0);
    Layer* ap = AddAveragePool2DLayer(in, nullptr, "avg", DL_NHWC, 2, 3, 1, 2, 0, &expl, 0);
    Layer* gap = AddGlobalAveragePool2DLayer(ap, nullptr, "gap", DL_NHWC, 0);
    Layer* outputs[] = {mp, gap};
    Model* model = CreateModel(outputs, 2);
    ASSERT_EQ(InitModel(model, 1), 1u);

    std::mt19937 rng(2024);
    Tensor* host = RandomTensor(rng, DL_NHWC, {1, H, W, C}, -4.0f, 4.0f);
    ModelInput feed[] = {{"image", host}};
    Layer** result = Predict(model, 1, feed);

    const Tensor* maxOut = result[0]->kernel->output[0];
    EXPECT_EQ(Dims(maxOut), (U{1, 4, 3, C}));
    ExpectMatchesNaive(true, host, maxOut, Params2D(3, 3, 2, 2, same.begin0, same.begin1, same.end0, same.end1, 1));

    // The intermediate average, then its mean per channel.
    const Tensor* avgOut = ap->kernel->output[0];
    const Pool2DParams avgParams = Params2D(2, 3, 1, 2, 1, 2, 0, 1, 0);
    ExpectMatchesNaive(false, host, avgOut, avgParams);
    const Tensor* gapOut = result[1]->kernel->output[0];
    EXPECT_EQ(Dims(gapOut), (U{1, C}));
    const uint32_t OH = avgOut->shape.dimension[1], OW = avgOut->shape.dimension[2];
    for (uint32_t c = 0; c < C; ++c) {
        float sum = 0.0f;
        for (uint32_t oh = 0; oh < OH; ++oh)
            for (uint32_t ow = 0; ow < OW; ++ow) sum += NaiveWindow(false, host, avgParams, 0, oh, ow, c);
        EXPECT_EQ(F32(gapOut)[c], sum * (1.0f / (float)(OH * OW)));
    }
    DestroyTensor(host);
    DestroyModel(model);
}
