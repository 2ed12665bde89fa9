// A hand-built pooling model against the naive windows.

#include "NNKernelFnSelector.h"
#include "pooling_util.h"

using namespace pooling_test;

using corvus_test::DimsOf;
using corvus_test::InputLayer;
using U = std::vector<uint32_t>;

// Input -> pooling layers -> Predict, checked against the naive windows.
TEST(LayersPooling, HandBuiltModelPredicts)
{
    const uint32_t H = 7, W = 6, C = 3;
    Layer* in = InputLayer("image", DT_FLOAT32, {1, H, W, C}, DL_NHWC);
    // SAME max pooling as a Keras model would build it: 3x3, stride 2, pads skipped.
    const uint32_t size[2] = {H, W}, k[2] = {3, 3}, s[2] = {2, 2};
    const PaddingStruct same = ComputePaddingStruct(2, size, k, s, nullptr, SAME, nullptr, 1);
    Layer* mp = AddMaxPool2DLayer(in, nullptr, "max", DL_NHWC, 3, 3, 2, 2, 1, &same, 1);
    // Explicit-pad average pooling with padded cells counted, then a global average.
    const uint32_t k2[2] = {2, 3}, s2[2] = {1, 2}, pads[4] = {1, 2, 0, 1};
    const PaddingStruct expl = ComputePaddingStruct(2, size, k2, s2, nullptr, EXPLICIT, pads, 0);
    Layer* ap = AddAveragePool2DLayer(in, nullptr, "avg", DL_NHWC, 2, 3, 1, 2, 0, &expl, 0);
    Layer* gap = AddGlobalAveragePool2DLayer(ap, nullptr, "gap", DL_NHWC, 0);
    // The optimised kernels accept these NHWC layers.
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_MaxPool2D, DT_FLOAT32, mp->kernel), kfname_MaxPool2D_opt);
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_AveragePool2D, DT_FLOAT32, ap->kernel), kfname_AvgPool2D_opt);
    corvus_test::ModelRun model({mp, gap});

    std::mt19937 rng(2024);
    Tensor* host = RandomTensor(rng, DL_NHWC, {1, H, W, C}, -4.0f, 4.0f);
    Layer** result = model.Run({{"image", host}});

    const Tensor* maxOut = result[0]->kernel->output[0];
    EXPECT_EQ(DimsOf(maxOut), (U{1, 4, 3, C}));
    ExpectMatchesNaive(true, host, maxOut, Params2D(3, 3, 2, 2, same.begin0, same.begin1, same.end0, same.end1, 1));

    // The intermediate average, then its mean per channel.
    const Tensor* avgOut = ap->kernel->output[0];
    const Pool2DParams avgParams = Params2D(2, 3, 1, 2, 1, 2, 0, 1, 0);
    ExpectMatchesNaive(false, host, avgOut, avgParams);
    const Tensor* gapOut = result[1]->kernel->output[0];
    EXPECT_EQ(DimsOf(gapOut), (U{1, C}));
    const uint32_t OH = avgOut->shape.dimension[1], OW = avgOut->shape.dimension[2];
    for (uint32_t c = 0; c < C; ++c) {
        float sum = 0.0f;
        for (uint32_t oh = 0; oh < OH; ++oh)
            for (uint32_t ow = 0; ow < OW; ++ow) sum += NaiveWindow(false, host, avgParams, 0, oh, ow, c);
        EXPECT_EQ(F32(gapOut)[c], sum * (1.0f / (float)(OH * OW)));
    }
    DestroyTensor(host);
}
