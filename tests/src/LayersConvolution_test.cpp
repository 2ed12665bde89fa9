// Small convolution models run through Predict against the naive convolution
// (the constructors' shapes and records are in the LayerConstructors table).

#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "Model.h"
#include "conv_util.h"

using namespace conv_test;

// Conv2D (SAME, ReLU) -> depthwise (multiplier 2), and a float16 Conv3D
// computed through float32 and rounded once: constructor -> selector ->
// kernel -> output.
TEST(LayersConvolution, HandBuiltModelsPredict)
{
    std::mt19937 rng(8);
    auto run = [&](Layer* in, std::vector<Layer*> layers) {
        Model* model = CreateModel(&layers.back(), 1);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (Layer* l : layers)  // before initialisation, as the weights file would
            for (uint32_t i = 0; i < l->kernel->innerNum; ++i)
                if (Tensor* t = l->kernel->inner[i]) {
                    if (t->data == nullptr) AllocTensorData(t);
                    for (uint32_t e = 0; e < GetTensorSize(t); ++e) F32(t)[e] = dist(rng);
                }
        EXPECT_EQ(InitModel(model, 1), 1u);
        const Tensor* d = in->kernel->output[0];
        Tensor* host = Make((DataLayout)d->layout, corvus_test::DimsOf(d), &rng, 0, (DataType)d->dtype);
        ModelInput feed[] = {{in->name, host}};
        Predict(model, 1, feed);
        return std::make_pair(model, host);
    };
    auto setup = [](const Layer* l, U k, U s, U pad, uint32_t groups, ActivationParams act) {
        ConvSetup c;
        c.x = corvus_test::DimsOf(l->kernel->input[0]), c.y = corvus_test::DimsOf(l->kernel->output[0]);
        c.k = k, c.s = s, c.pad = pad, c.groups = groups, c.act = act.type, c.alpha = act.alpha;
        return c;
    };
    // The model input's storage may be reused once read: first layers take the host's values.
    auto naive = [](const ConvSetup& c, const Layer* l, const Tensor* x = nullptr) {
        const Tensor* b = l->kernel->inner[1];
        return NaiveConv(c, Values(x ? x : l->kernel->input[0]), Values(l->kernel->inner[0]), b ? F32(b) : nullptr);
    };

    Layer* image = InputLayer("image", {1, 8, 7, 3}, DL_NHWC);
    const uint32_t size[2] = {8, 7}, k3[2] = {3, 3}, s1[2] = {1, 1};
    const PaddingStruct same = ComputePaddingStruct(2, size, k3, s1, nullptr, SAME, nullptr, 0);
    Layer* conv = AddConv2DLayer(image, nullptr, "conv", DL_NHWC, 4, 3, 3, 1, 1, 1, 1, &same, true, {ReLU, 0}, 1);
    Layer* dw = AddDepthwiseConv2DLayer(conv, nullptr, "dw", DL_NHWC, 3, 3, 1, 1, 1, 1, 2, &same, true, None);
    auto [model, host] = run(image, {conv, dw});
    const std::vector<float> want = naive(setup(conv, {3, 3}, {}, {1, 1}, 1, {ReLU, 0}), conv, host);
    const std::vector<float> got = Values(conv->kernel->output[0]);
    ASSERT_EQ(got.size(), want.size());
    for (size_t e = 0; e < got.size(); ++e) ASSERT_NEAR(want[e], got[e], 1e-5f * (1 + std::fabs(want[e]))) << e;
    ConvSetup d = setup(dw, {3, 3}, {}, {1, 1}, 4, {None, 0});
    d.chain = true;
    EXPECT_TRUE(SameValues(naive(d, dw), dw->kernel->output[0]));
    DestroyTensor(host);
    DestroyModel(model);

    Layer* vol = InputLayer("vol", {1, 3, 4, 5, 2}, DL_NONE, DT_FLOAT16);
    const uint32_t size3[3] = {3, 4, 5}, k33[3] = {2, 2, 3}, s3[3] = {1, 2, 1}, pads[6] = {1, 0, 1, 0, 1, 1};
    const PaddingStruct ps = ComputePaddingStruct(3, size3, k33, s3, nullptr, EXPLICIT, pads, 0);
    const ActivationParams leaky = {LeakyReLU, 0.25f};
    Layer* c3 = AddConv3DLayer(vol, nullptr, "c3", 4, 1, 2, 2, 3, 1, 2, 1, 1, 1, 1, &ps, true, EXPLICIT, leaky);
    std::tie(model, host) = run(vol, {c3});
    ConvSetup h = setup(c3, {2, 2, 3}, {1, 2, 1}, {1, 0, 1}, 1, leaky);
    h.half = true;
    EXPECT_TRUE(SameValues(naive(h, c3, host), c3->kernel->output[0]));
    DestroyTensor(host);
    DestroyModel(model);
}
