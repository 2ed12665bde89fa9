// The convolution constructors (2-D, depthwise, 1-D, 3-D, transposed), the
// Conv2D-to-depthwise conversion, and small models run through Predict
// against the naive convolution.
#include <gtest/gtest.h>

#include <functional>

#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "Model.h"
#include "conv_util.h"
#include "nn_kernel_list.h"

using namespace conv_test;

namespace {

const ActivationParams kNone = {None, 0.0f}, kLeaky = {LeakyReLU, 0.25f};

void FillInner(Layer* l, std::mt19937& rng)
{
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (uint32_t i = 0; i < l->kernel->innerNum; ++i)
        if (Tensor* t = l->kernel->inner[i]) {
            if (t->data == nullptr) AllocTensorData(t);
            for (uint32_t e = 0; e < GetTensorSize(t); ++e) F32(t)[e] = dist(rng);
        }
}

// Random host data for an input layer.
Tensor* Host(const Layer* in, std::mt19937& rng)
{
    const Tensor* d = in->kernel->output[0];
    return Make((DataLayout)d->layout, corvus_test::DimsOf(d), &rng, 0, (DataType)d->dtype);
}

// Every output within `tol` (relative) of the naive convolution of its layer's input.
void ExpectNear(const std::vector<float>& want, const Tensor* out, float tol)
{
    const std::vector<float> got = Values(out);
    ASSERT_EQ(got.size(), want.size());
    for (size_t e = 0; e < got.size(); ++e) ASSERT_NEAR(want[e], got[e], tol * (1 + std::fabs(want[e]))) << e;
}

}  // namespace

// Output shape and type, filter and bias tensors each constructor makes.
TEST(LayersConvolution, ConstructorsShapeOutputsAndInnerTensors)
{
    const PaddingStruct p2 = Pads(5, 4, 1, 0, 2, 1), valid = Pads(2, 2), dwPad = Pads(3, 3, 1, 1, 1, 1);
    const uint32_t L = 10, k3 = 3, s2 = 2, pads1[2] = {1, 2};
    const PaddingStruct p1 = ComputePaddingStruct(1, &L, &k3, &s2, nullptr, EXPLICIT, pads1, 0);
    const uint32_t in3[3] = {4, 5, 6}, k[3] = {1, 2, 3}, s[3] = {1, 1, 2}, pads3[6] = {1, 2, 3, 4, 5, 6};
    const PaddingStruct p3 = ComputePaddingStruct(3, in3, k, s, nullptr, EXPLICIT, pads3, 0);
    const uint32_t in2[2] = {5, 7}, k2[2] = {3, 4}, s22[2] = {2, 2}, pads2[4] = {1, 2, 0, 0}, outPad[2] = {1, 0};
    const PaddingStruct pt = ComputePaddingStructTransposed(2, in2, k2, s22, nullptr, EXPLICIT, pads2, outPad, true);
    const PaddingStruct pt1 = ComputePaddingStructTransposed(1, &L, &k3, &s2, nullptr, SAME, nullptr, nullptr, false);
    struct Case {
        std::function<Layer*()> make;
        LayerOpType op;
        U out;
        DataType dt;
        U filter;
        DataLayout filterLayout;
        U bias;
        DataLayout biasLayout;
        U record;  // leading words of the parameter record, where they are not plain copies
    };
    const Case cases[] = {
        {[&] { return AddConv2DLayer(nullptr, DescribedTensor({2, 9, 7, 6}, DL_NHWC), "c", DL_NHWC, 10, 3, 2, 2, 2, 1, 3, &p2, true, kLeaky, 2); },
         OP_Conv2D, {2, 5, 4, 10}, DT_FLOAT32, {3, 2, 3, 10}, DL_HWIO, {10}, DL_I, {}},
        // A half input gives a half output; no bias leaves the slot empty.
        {[&] { return AddConv2DLayer(nullptr, DescribedTensor({1, 4, 4, 3}, DL_NONE, DT_FLOAT16), nullptr, DL_NHWC, 5, 3, 3, 1, 1, 1, 1, &valid, false, kNone, 1); },
         OP_Conv2D, {1, 2, 2, 5}, DT_FLOAT16, {3, 3, 3, 5}, DL_HWIO, {}, DL_NONE, {}},
        {[&] { return AddDepthwiseConv2DLayer(nullptr, DescribedTensor({1, 6, 6, 3}, DL_NHWC), "dw", DL_NHWC, 3, 3, 2, 2, 1, 1, 2, &dwPad, true, ReLU6); },
         OP_DepthwiseConv2D, {1, 3, 3, 6}, DT_FLOAT32, {2, 3, 3, 3}, DL_MHWI, {6}, DL_I, {}},
        {[&] { return AddConv1DLayer(nullptr, DescribedTensor({2, 10, 6}), "c1", 8, 3, 2, 1, 2, &p1, true, kLeaky); },
         OP_Conv1D, {2, 6, 8}, DT_FLOAT32, {3, 3, 8}, DL_NONE, {8}, DL_NONE, {3, 2, 1, 1, 2, 2}},
        {[&] { return AddConv3DLayer(nullptr, DescribedTensor({1, 4, 5, 6, 4}, DL_NONE, DT_FLOAT16), nullptr, 5, 2, 1, 2, 3, 1, 1, 2, 1, 1, 1, &p3, false, EXPLICIT, kNone); },
         OP_Conv3D, {1, 9, 11, 7, 5}, DT_FLOAT16, {1, 2, 3, 2, 5}, DL_NONE, {}, DL_NONE,
         {1, 2, 3, 1, 1, 2, 1, 1, 1, 2, 5, 1, 4, 3, 6, 2, 5}},  // pads height, depth, width
        // Transposed 2-D: filter {kH, kW, filters / groups, C_in}.
        {[&] { return AddConv2DTransposeLayer(nullptr, DescribedTensor({1, 5, 7, 6}), "t2", DL_NHWC, 4, 3, 4, 2, 2, 1, 1, &pt, 2, true, kLeaky); },
         OP_Conv2DTranspose, {1, 11, 14, 4}, DT_FLOAT32, {3, 4, 2, 6}, DL_HWOI, {4}, DL_I, {}},
        // Transposed 1-D: filters per group, output filters * groups.
        {[&] { return AddConv1DTransposeLayer(nullptr, DescribedTensor({2, 10, 6}), "t1", 3, 3, 1, 2, 2, &pt1, true, kLeaky); },
         OP_Conv1DTranspose, {2, 20, 6}, DT_FLOAT32, {3, 3, 6}, DL_NONE, {3}, DL_I, {}},
    };
    for (const Case& c : cases) {
        Layer* l = c.make();
        NNKernel* k = l->kernel;
        SCOPED_TRACE(k->output[0]->ndim);
        EXPECT_EQ(l->op, (uint32_t)c.op);
        EXPECT_EQ(corvus_test::DimsOf(k->output[0]), c.out);
        EXPECT_EQ(k->output[0]->dtype, (uint32_t)c.dt);
        EXPECT_EQ(k->input[0]->layout, k->output[0]->layout);  // the input takes the layer's layout
        ASSERT_EQ(k->innerNum, 2u);
        EXPECT_EQ(corvus_test::DimsOf(k->inner[0]), c.filter);
        EXPECT_EQ(k->inner[0]->layout, (uint32_t)c.filterLayout);
        EXPECT_EQ(k->inner[1] ? corvus_test::DimsOf(k->inner[1]) : U{}, c.bias);
        EXPECT_EQ(k->inner[1] ? k->inner[1]->layout : (uint32_t)DL_NONE, (uint32_t)c.biasLayout);
        EXPECT_EQ(U((uint32_t*)k->params, (uint32_t*)k->params + c.record.size()), c.record);
        DestroyLayer(l);
    }
}

TEST(LayersConvolutionDeathTest, ConstructorChecks)
{
    const PaddingStruct pad = Pads(1, 1), huge = {{70000, 0, 0}, 0, 0, 0, 0, 0, 0};
    auto in = [](const U& dims, DataLayout layout = DL_NONE) { return DescribedTensor(dims, layout); };
    corvus_test::ExpectFatal("Layers", {
        {[&] { AddConv2DLayer(nullptr, in({1, 4, 4}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &pad, false, kNone, 1); },
         "input tensor ndim must equal 4. ndim: 3"},
        {[&] { AddDepthwiseConv2DLayer(nullptr, in({4, 4}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &pad, false, 0); },
         "input tensor ndim must equal 4. ndim: 2"},
        {[&] { AddConv2DLayer(nullptr, in({1, 4, 4, 2}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &pad, false, kNone, 0); },
         "groups must be greater than 0"},
        {[&] { AddDepthwiseConv2DLayer(nullptr, in({1, 4, 4, 2}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 0, &pad, false, 0); },
         "depthMultiplier must be greater than 0"},
        {[&] { AddConv1DLayer(nullptr, in({1, 4, 4, 1}), "c", 2, 3, 1, 1, 1, &pad, false, kNone); },
         "AddConv1DLayer: Input tensor dimensions must be equal 3. Current dimensions number: 4"},
        {[&] { AddConv1DLayer(nullptr, in({1, 4, 4}), "c", 2, 3, 1, 1, 0, &pad, false, kNone); },
         "groups must be greater than 0"},
        {[&] { AddConv3DLayer(nullptr, in({1, 4, 4, 2}), "c", 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, &pad, false, EXPLICIT, kNone); },
         "AddConv3DLayer: input tensor dimensions number must equal 5.Current dimensions number: 4\n"},
        {[&] { AddConv2DTransposeLayer(nullptr, in({1, 4, 4}), "t", DL_NHWC, 2, 2, 2, 2, 2, 1, 1, &pad, 1, false, kNone); },
         "input tensor ndim must be equal 4. ndim: 3"},
        {[&] { AddConv1DTransposeLayer(nullptr, in({1, 4, 4, 2}), "t", 2, 2, 1, 2, 1, &pad, false, kNone); },
         "input tensor ndim must be equal 3. ndim: 4"},
        {[&] { AddConv1DLayer(nullptr, in({1, 4, 4}), "c", 70000, 3, 1, 1, 1, &huge, false, kNone); },
         "AddConv1DLayer: the output would hold more than 4294967295 elements"},
    });
}

TEST(LayersConvolution, Conv2DToDepthwiseConversion)
{
    std::mt19937 rng(14);
    const PaddingStruct pad = Pads(4, 5, 1, 1, 1, 1);
    // C_in 8, groups 8, C_out 16: depthwise with multiplier 2.
    Tensor* input = Make(DL_NHWC, {1, 4, 5, 8}, &rng);
    Layer* conv = AddConv2DLayer(nullptr, input, "c", DL_NHWC, 16, 3, 3, 1, 1, 1, 1, &pad, true,
                                 ActivationParams{ReLU, 0.7f}, 8);
    NNKernel* k = conv->kernel;
    AllocTensorData(k->output[0]);
    FillInner(conv, rng);
    Execute_Conv2D_ref(k);
    const std::vector<float> viaConv = Values(k->output[0]), filterBefore = Values(k->inner[0]);
    // Not qualifying while the filter is still labelled for Conv2D.
    EXPECT_EQ(nullptr, Conv2D_to_dwConv(k, nullptr));
    k->inner[0]->layout = DL_MHWI;
    Conv2DParams* old = Conv2D_to_dwConv(k, nullptr);
    ASSERT_NE(nullptr, old);
    EXPECT_EQ(8u, old->groups);
    free(old);
    EXPECT_EQ(corvus_test::DimsOf(k->inner[0]), (U{1, 3, 3, 16}));
    EXPECT_EQ(filterBefore, Values(k->inner[0]));
    // The depthwise kernel on the converted record computes the same
    // convolution (rounding differs: one fused chain from the bias).
    k->fn = nn_kernel_fn_list[kfname_DWConvolution_ref];
    InitKernelCore(conv);
    k->fn->execute(k);
    ExpectNear(viaConv, k->output[0], 1e-5f);
    DestroyLayer(conv);
    // groups 4: not a depthwise layer; nothing changes.
    Layer* grouped = AddConv2DLayer(nullptr, DescribedTensor({1, 4, 5, 8}), nullptr, DL_NHWC, 16, 3, 3, 1, 1, 1, 1,
                                    &pad, false, kNone, 4);
    grouped->kernel->inner[0]->layout = DL_MHWI;
    void* params = grouped->kernel->params;
    DepthWiseConv2DParams record;
    EXPECT_EQ(nullptr, Conv2D_to_dwConv(grouped->kernel, &record));
    EXPECT_EQ(params, grouped->kernel->params);
    EXPECT_EQ(corvus_test::DimsOf(grouped->kernel->inner[0]), (U{3, 3, 2, 16}));
    DestroyLayer(grouped);
}

// Models through InitModel and Predict: Conv2D (SAME, ReLU) -> depthwise
// (multiplier 2); Conv1D (stride 2, ReLU6) -> grouped Conv1DTranspose;
// grouped Conv2DTranspose; a float16 Conv3D, computed through float32 and
// rounded once.
TEST(LayersConvolution, HandBuiltModelsPredict)
{
    std::mt19937 rng(8);
    auto run = [&](Layer* in, std::vector<Layer*> layers, Tensor* host) {
        Model* model = CreateModel(&layers.back(), 1);
        for (Layer* l : layers) FillInner(l, rng);  // before initialisation, as the weights file would
        EXPECT_EQ(InitModel(model, 1), 1u);
        ModelInput feed[] = {{in->name, host}};
        Predict(model, 1, feed);
        return model;
    };
    auto setup = [](const Layer* l, U k, U s, U pad, uint32_t groups, ActivationParams act, bool transposed) {
        ConvSetup c;
        c.x = corvus_test::DimsOf(l->kernel->input[0]), c.y = corvus_test::DimsOf(l->kernel->output[0]);
        c.k = k, c.s = s, c.pad = pad, c.groups = groups, c.act = act.type, c.alpha = act.alpha;
        c.transposed = transposed;
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
    Tensor* host = Host(image, rng);
    Model* model = run(image, {conv, dw}, host);
    ExpectNear(naive(setup(conv, {3, 3}, {}, {1, 1}, 1, {ReLU, 0}, false), conv, host), conv->kernel->output[0], 1e-5f);
    ConvSetup d = setup(dw, {3, 3}, {}, {1, 1}, 4, kNone, false);
    d.chain = true;
    EXPECT_TRUE(SameValues(naive(d, dw), dw->kernel->output[0]));
    DestroyTensor(host);
    DestroyModel(model);

    Layer* seq = InputLayer("seq", {1, 7, 3});
    const uint32_t L = 7, k = 3, s2 = 2, k2 = 2, Lo = 3;
    const PaddingStruct p1 = ComputePaddingStruct(1, &L, &k, &s2, nullptr, VALID, nullptr, 1);
    Layer* c1 = AddConv1DLayer(seq, nullptr, "conv", 4, 3, 2, 1, 1, &p1, false, {ReLU6, 0});
    const PaddingStruct pt = ComputePaddingStructTransposed(1, &Lo, &k2, &s2, nullptr, VALID, nullptr, nullptr, false);
    Layer* back = AddConv1DTransposeLayer(c1, nullptr, "back", 2, 2, 1, 2, 2, &pt, false, kNone);
    host = Host(seq, rng);
    model = run(seq, {c1, back}, host);
    ConvSetup c = setup(c1, {3}, {2}, {0}, 1, {ReLU6, 0}, false);
    c.chain = true;
    EXPECT_TRUE(SameValues(naive(c, c1, host), c1->kernel->output[0]));
    EXPECT_TRUE(SameValues(naive(setup(back, {2}, {2}, {0}, 2, kNone, true), back), back->kernel->output[0]));
    DestroyTensor(host);
    DestroyModel(model);

    Layer* small = InputLayer("small", {1, 3, 4, 4}, DL_NHWC);
    const uint32_t in2[2] = {3, 4}, kk[2] = {2, 2}, ss[2] = {2, 2};
    const PaddingStruct p2 = ComputePaddingStructTransposed(2, in2, kk, ss, nullptr, VALID, nullptr, nullptr, false);
    Layer* up = AddConv2DTransposeLayer(small, nullptr, "up", DL_NHWC, 6, 2, 2, 2, 2, 1, 1, &p2, 2, true, {ReLU, 0});
    host = Host(small, rng);
    model = run(small, {up}, host);
    EXPECT_TRUE(SameValues(naive(setup(up, {2, 2}, {2, 2}, {0, 0}, 2, {ReLU, 0}, true), up, host), up->kernel->output[0]));
    DestroyTensor(host);
    DestroyModel(model);

    Layer* vol = InputLayer("vol", {1, 3, 4, 5, 2}, DL_NONE, DT_FLOAT16);
    const uint32_t size3[3] = {3, 4, 5}, k33[3] = {2, 2, 3}, s3[3] = {1, 2, 1}, pads[6] = {1, 0, 1, 0, 1, 1};
    const PaddingStruct ps = ComputePaddingStruct(3, size3, k33, s3, nullptr, EXPLICIT, pads, 0);
    Layer* c3 = AddConv3DLayer(vol, nullptr, "c3", 4, 1, 2, 2, 3, 1, 2, 1, 1, 1, 1, &ps, true, EXPLICIT, kLeaky);
    host = Host(vol, rng);
    model = run(vol, {c3}, host);
    ConvSetup h = setup(c3, {2, 2, 3}, {1, 2, 1}, {1, 0, 1}, 1, kLeaky, false);
    h.half = true;
    EXPECT_TRUE(SameValues(naive(h, c3, host), c3->kernel->output[0]));
    DestroyTensor(host);
    DestroyModel(model);
}
