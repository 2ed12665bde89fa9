// Constructors of the one-, three-dimensional and transposed convolutions,
// their selection, and hand-built models (float32 and float16).
#include <gtest/gtest.h>

#include "LayersConvolutionND.h"
#include "Model.h"
#include "NNKernelFnSelector.h"
#include "resize_util.h"
#include "test_util.h"

using namespace resize_test;

namespace {

PaddingStruct Explicit(uint32_t n, const uint32_t* in, const uint32_t* k, const uint32_t* s, const uint32_t* pads)
{
    return ComputePaddingStruct(n, in, k, s, nullptr, EXPLICIT, pads, 0);
}

void ExpectInner(const Layer* l, U filter, DataLayout filterLayout, U bias, DataLayout biasLayout)
{
    ASSERT_EQ(l->kernel->innerNum, 2u);
    EXPECT_EQ(Dims(l->kernel->inner[0]), filter);
    EXPECT_EQ(l->kernel->inner[0]->layout, (uint32_t)filterLayout);
    EXPECT_EQ(l->kernel->inner[0]->dtype, (uint32_t)DT_FLOAT32);
    EXPECT_EQ(l->kernel->inner[0]->data, nullptr);
    if (bias.empty()) {
        EXPECT_EQ(l->kernel->inner[1], nullptr);
        return;
    }
    ASSERT_NE(l->kernel->inner[1], nullptr);
    EXPECT_EQ(Dims(l->kernel->inner[1]), bias);
    EXPECT_EQ(l->kernel->inner[1]->layout, (uint32_t)biasLayout);
}

void FillInner(Layer* l, std::mt19937& rng)
{
    for (uint32_t i = 0; i < l->kernel->innerNum; ++i)
        if (l->kernel->inner[i] != nullptr) FillRandom(l->kernel->inner[i], rng);
}

const ActivationParams kLeaky = {LeakyReLU, 0.25f};

}  // namespace

TEST(LayersConvolutionND, ConstructorsFillShapesRecordsAndInnerTensors)
{
    Layer* seq = Input("seq", DL_NONE, {2, 10, 6});
    const uint32_t L = 10, k3 = 3, s2 = 2, pads1[2] = {1, 2};
    const PaddingStruct p1 = Explicit(1, &L, &k3, &s2, pads1);  // (10 + 3 - 3) / 2 + 1 = 6
    Layer* c1 = AddConv1DLayer(seq, nullptr, "c1", 8, 3, 2, 1, 2, &p1, true, kLeaky);
    EXPECT_EQ(c1->op, (uint32_t)OP_Conv1D);
    EXPECT_EQ(Dims(c1->kernel->output[0]), (U{2, 6, 8}));
    const Conv1DParams* r1 = (const Conv1DParams*)c1->kernel->params;
    const uint32_t want1[6] = {3, 2, 1, 1, 2, 2};  // kernel_size, stride, dilation, padBegin, padEnd, groups
    EXPECT_EQ(memcmp(r1, want1, sizeof(want1)), 0);
    EXPECT_EQ(r1->useBias, 1);
    EXPECT_EQ(r1->activation.type, (uint32_t)LeakyReLU);
    EXPECT_EQ(r1->activation.alpha, 0.25f);
    ExpectInner(c1, {3, 3, 8}, DL_NONE, {8}, DL_NONE);

    // Conv3D pads are stored height, depth, width.
    const uint32_t in3[3] = {4, 5, 6}, k[3] = {1, 2, 3}, s[3] = {1, 1, 2}, pads3[6] = {1, 2, 3, 4, 5, 6};
    const PaddingStruct p3 = Explicit(3, in3, k, s, pads3);
    Layer* c3 = AddConv3DLayer(nullptr, Described(DL_NONE, {1, 4, 5, 6, 4}, DT_FLOAT16), nullptr, 5, 2, 1, 2, 3, 1, 1,
                               2, 1, 1, 1, &p3, false, EXPLICIT, ActivationParams{ReLU, 0.0f});
    EXPECT_EQ(c3->op, (uint32_t)OP_Conv3D);
    EXPECT_EQ(Dims(c3->kernel->output[0]), (U{1, 4 + 1 + 4, 5 + 2 + 5 - 1, (6 + 3 + 6 - 3) / 2 + 1, 5}));
    EXPECT_EQ(c3->kernel->output[0]->dtype, (uint32_t)DT_FLOAT16);
    const uint32_t want3[18] = {1, 2, 3, 1, 1, 2, 1, 1, 1, 2, 5, 1, 4, 3, 6, 2, 5, 0};
    EXPECT_EQ(memcmp(c3->kernel->params, want3, 17 * sizeof(uint32_t)), 0);
    const Conv3DParams* r3 = (const Conv3DParams*)c3->kernel->params;
    EXPECT_EQ(r3->useBias, 0);
    EXPECT_EQ(r3->paddingMode, (uint32_t)EXPLICIT);
    ExpectInner(c3, {1, 2, 3, 2, 5}, DL_NONE, {}, DL_NONE);

    // Transposed 2-D: the input takes the layout; filter {kH, kW, filters / groups, C_in}.
    const uint32_t in2[2] = {5, 7}, k2[2] = {3, 4}, s22[2] = {2, 2}, pads2[4] = {1, 2, 0, 0}, outPad[2] = {1, 0};
    const PaddingStruct pt =
        ComputePaddingStructTransposed(2, in2, k2, s22, nullptr, EXPLICIT, pads2, outPad, true);
    Layer* t2 = AddConv2DTransposeLayer(nullptr, Described(DL_NONE, {1, 5, 7, 6}), "t2", DL_NHWC, 4, 3, 4, 2, 2, 1,
                                        1, &pt, 2, true, kLeaky);
    EXPECT_EQ(t2->kernel->input[0]->layout, (uint32_t)DL_NHWC);
    EXPECT_EQ(Dims(t2->kernel->output[0]), (U{1, 4 * 2 + 2 + 1 + 1 - 1, 6 * 2 + 3 + 1 - 2, 4}));
    EXPECT_EQ(t2->kernel->output[0]->layout, (uint32_t)DL_NHWC);
    const uint32_t want2[9] = {3, 4, 4, 2, 2, 1, 1, 1, 2};
    EXPECT_EQ(memcmp(t2->kernel->params, want2, sizeof(want2)), 0);
    EXPECT_EQ(((const Conv2DTransposeParams*)t2->kernel->params)->groups, 2u);
    ExpectInner(t2, {3, 4, 2, 6}, DL_HWOI, {4}, DL_I);

    // Transposed 1-D: filters per group, output filters * groups, layout DL_NONE.
    const uint32_t in1 = 10, k1 = 3, s1 = 2;
    const PaddingStruct pt1 = ComputePaddingStructTransposed(1, &in1, &k1, &s1, nullptr, SAME, nullptr, nullptr, false);
    Layer* t1 = AddConv1DTransposeLayer(seq, nullptr, "t1", 3, 3, 1, 2, 2, &pt1, true, kLeaky);
    EXPECT_EQ(t1->op, (uint32_t)OP_Conv1DTranspose);
    EXPECT_EQ(Dims(t1->kernel->output[0]), (U{2, 20, 6}));
    const uint32_t want1t[4] = {2, 3, 1, pt1.begin0};  // stride, kernel_size, dilation, padBegin
    EXPECT_EQ(memcmp(t1->kernel->params, want1t, sizeof(want1t)), 0);
    ExpectInner(t1, {3, 3, 6}, DL_NONE, {3}, DL_I);
    for (Layer* l : {c1, c3, t2, t1}) {
        EXPECT_EQ(l->kernel->inputsNum, 1u);
        EXPECT_EQ(l->kernel->output[0]->data, nullptr);
    }
    for (Layer* l : {c1, c3, t2, t1, seq}) DestroyLayer(l);
}

TEST(LayersConvolutionND, KernelSelection)
{
    const struct {
        LayerOpType op;
        kfname name;
    } cases[] = {{OP_Conv1D, kfname_Conv1D_fl32_ref},
                 {OP_Conv3D, kfname_Conv3D_fl32_ref},
                 {OP_Conv2DTranspose, kfname_Conv2DTranspose_fl32_ref},
                 {OP_Conv1DTranspose, kfname_Conv1DTranspose_fl32_ref}};
    for (const auto& c : cases) {
        ASSERT_NE(nn_kernel_fn_list[c.name], nullptr) << kernel_fn_name_string[c.name];
        EXPECT_EQ(nn_kernel_fn_list_default[c.op], nn_kernel_fn_list[c.name]);
        EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, c.op, DT_FLOAT32, nullptr), c.name);
    }
}

TEST(LayersConvolutionNDDeathTest, ConstructorChecks)
{
    const PaddingStruct ps = {{3, 3, 3}, 0, 0, 0, 0, 0, 0};
    const ActivationParams none = {None, 0.0f};
    corvus_test::ExpectFatal("Layers", {
        {[&] { AddConv1DLayer(nullptr, Described(DL_NONE, {1, 4, 4, 1}), "c", 2, 3, 1, 1, 1, &ps, false, none); },
         "AddConv1DLayer: Input tensor dimensions must be equal 3. Current dimensions number: 4"},
        {[&] { AddConv1DLayer(nullptr, Described(DL_NONE, {1, 4, 4}), "c", 2, 3, 1, 1, 0, &ps, false, none); },
         "groups must be greater than 0"},
        {[&] {
             AddConv3DLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "c", 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, &ps,
                            false, EXPLICIT, none);
         },
         "AddConv3DLayer: input tensor dimensions number must equal 5.Current dimensions number: 4\n"},
        {[&] {
             AddConv3DLayer(nullptr, Described(DL_NONE, {1, 4, 4, 4, 2}), "c", 2, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, &ps,
                            false, EXPLICIT, none);
         },
         "groups must be greater than 0"},
        {[&] {
             AddConv2DTransposeLayer(nullptr, Described(DL_NONE, {1, 4, 4}), "t", DL_NHWC, 2, 2, 2, 2, 2, 1, 1, &ps, 1,
                                     false, none);
         },
         "input tensor ndim must be equal 4. ndim: 3"},
        {[&] {
             AddConv2DTransposeLayer(nullptr, Described(DL_NCHW, {1, 4, 4, 2}), "t", DL_NHWC, 2, 2, 2, 2, 2, 1, 1,
                                     &ps, 1, false, none);
         },
         "inputTensor->layout == layout: false, expected: true"},
        {[&] {
             AddConv2DTransposeLayer(nullptr, Described(DL_NONE, {1, 4, 4, 2}), "t", DL_NCHW, 2, 2, 2, 2, 2, 1, 1,
                                     &ps, 1, false, none);
         },
         "inTensor->layout == DL_NHWC: false, expected: true"},
        {[&] {
             AddConv2DTransposeLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "t", DL_NHWC, 2, 2, 2, 2, 2, 1, 1,
                                     &ps, 0, false, none);
         },
         "groups must be greater than 0"},
        {[&] { AddConv1DTransposeLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "t", 2, 2, 1, 2, 1, &ps, false, none); },
         "input tensor ndim must be equal 3. ndim: 4"},
        {[&] { AddConv1DLayer(nullptr, Described(DL_NONE, {1, 4, 4}), "c", 2, 3, 1, 1, 1, nullptr, false, none); },
         "padding==NULL, expected not NULL value"},
        {[&] {
             const PaddingStruct huge = {{70000, 0, 0}, 0, 0, 0, 0, 0, 0};
             AddConv1DLayer(nullptr, Described(DL_NONE, {1, 4, 4}), "c", 70000, 3, 1, 1, 1, &huge, false, none);
         },
         "AddConv1DLayer: the output would hold more than 4294967295 elements"},
    });
}

// Input -> Conv2DTranspose (2x2, stride 2, two groups, bias, ReLU): every
// output is one tap of one input pixel, known in closed form; the second
// half of the outputs ignores the first half of the inputs.
TEST(LayersConvolutionND, HandBuiltTransposedModel)
{
    const uint32_t H = 3, W = 4, C = 4, F = 6;
    Layer* in = Input("image", DL_NHWC, {1, H, W, C});
    const uint32_t size[2] = {H, W}, k[2] = {2, 2}, s[2] = {2, 2};
    const PaddingStruct ps = ComputePaddingStructTransposed(2, size, k, s, nullptr, VALID, nullptr, nullptr, false);
    Layer* up = AddConv2DTransposeLayer(in, nullptr, "up", DL_NHWC, F, 2, 2, 2, 2, 1, 1, &ps, 2, true,
                                        ActivationParams{ReLU, 0.0f});
    Model* model = CreateModel(&up, 1);
    ASSERT_EQ(InitModel(model, 1), 1u);
    std::mt19937 rng(8);
    FillInner(up, rng);
    const Tensor* w = up->kernel->inner[0];
    const Tensor* b = up->kernel->inner[1];

    Tensor* host = F32Tensor({1, H, W, C}, {}, DL_NHWC);
    FillRandom(host, rng);
    ModelInput feed[] = {{"image", host}};
    const Tensor* out = Predict(model, 1, feed)[0]->kernel->output[0];
    ASSERT_EQ(Dims(out), (U{1, 2 * H, 2 * W, F}));
    std::vector<float> first;
    ForEachIndex(Dims(out), [&](const U& o) {
        const uint32_t g = o[3] / 3;
        double sum = At(b, {o[3]});
        for (uint32_t ci = 2 * g; ci < 2 * g + 2; ++ci)
            sum += (double)At(host, {0, o[1] / 2, o[2] / 2, ci}) * At(w, {o[1] % 2, o[2] % 2, o[3] % 3, ci});
        EXPECT_NEAR(At(out, o), std::max(sum, 0.0), 1e-6);
        first.push_back(At(out, o));
    });
    // New values in input channels 0-1 change only output channels 0-2.
    ForEachIndex({1, H, W, 2}, [&](const U& i) { At(host, i) += 1.0f; });
    out = Predict(model, 1, feed)[0]->kernel->output[0];
    size_t e = 0, changed = 0;
    ForEachIndex(Dims(out), [&](const U& o) {
        if (o[3] >= 3) {
            EXPECT_EQ(At(out, o), first[e]);
        }
        changed += At(out, o) != first[e++];
    });
    EXPECT_GT(changed, 0u);
    DestroyTensor(host);
    DestroyModel(model);
}

// Input -> Conv1D (k 3, stride 2, ReLU6) -> Conv1DTranspose (k 2, stride 2):
// each transposed output is one tap of one Conv1D output.
TEST(LayersConvolutionND, HandBuiltOneDimensionalModel)
{
    const uint32_t L = 7, C = 3, F = 4, F2 = 2;
    Layer* in = Input("seq", DL_NONE, {1, L, C});
    const uint32_t k3 = 3, s2 = 2, k2 = 2;
    const PaddingStruct p1 = ComputePaddingStruct(1, &L, &k3, &s2, nullptr, VALID, nullptr, 1);
    Layer* conv = AddConv1DLayer(in, nullptr, "conv", F, 3, 2, 1, 1, &p1, false, ActivationParams{ReLU6, 0.0f});
    const uint32_t Lo = conv->kernel->output[0]->shape.dimension[1];
    const PaddingStruct p2 = ComputePaddingStructTransposed(1, &Lo, &k2, &s2, nullptr, VALID, nullptr, nullptr, false);
    Layer* back = AddConv1DTransposeLayer(conv, nullptr, "back", F2, 2, 1, 2, 1, &p2, true, ActivationParams{None, 0.0f});
    Model* model = CreateModel(&back, 1);
    ASSERT_EQ(InitModel(model, 1), 1u);
    std::mt19937 rng(21);
    FillInner(conv, rng);
    FillInner(back, rng);
    Tensor* host = F32Tensor({1, L, C});
    FillRandom(host, rng, -3.0f, 3.0f);
    ModelInput feed[] = {{"seq", host}};
    const Tensor* out = Predict(model, 1, feed)[0]->kernel->output[0];
    ASSERT_EQ(Dims(out), (U{1, 6, F2}));
    const Tensor* w1 = conv->kernel->inner[0];
    const Tensor* w2 = back->kernel->inner[0];
    auto hidden = [&](uint32_t o, uint32_t f) {
        double sum = 0.0;
        for (uint32_t k = 0; k < 3; ++k)
            for (uint32_t c = 0; c < C; ++c) sum += (double)At(host, {0, 2 * o + k, c}) * At(w1, {k, c, f});
        return std::min(std::max(sum, 0.0), 6.0);
    };
    ForEachIndex(Dims(out), [&](const U& o) {
        double sum = At(back->kernel->inner[1], {o[2]});
        for (uint32_t f = 0; f < F; ++f) sum += hidden(o[1] / 2, f) * At(w2, {o[1] % 2, o[2], f});
        EXPECT_NEAR(At(out, o), sum, 1e-5);
    });
    DestroyTensor(host);
    DestroyModel(model);
}

// A float16 Conv3D layer computes through float32 temporaries: its output is
// the float32 result rounded once to half precision.
TEST(LayersConvolutionND, HalfPrecisionThroughFloat32)
{
    const U dims = {1, 3, 4, 5, 2};
    Layer* in = Input("vol", DL_NONE, dims, DT_FLOAT16);
    const uint32_t size[3] = {3, 4, 5}, k[3] = {2, 2, 3}, s[3] = {1, 2, 1}, pads[6] = {1, 0, 1, 0, 1, 1};
    const PaddingStruct ps = Explicit(3, size, k, s, pads);
    Layer* conv = AddConv3DLayer(in, nullptr, "c3", 4, 1, 2, 2, 3, 1, 2, 1, 1, 1, 1, &ps, true, EXPLICIT, kLeaky);
    Model* model = CreateModel(&conv, 1);
    ASSERT_EQ(InitModel(model, 1), 1u);
    std::mt19937 rng(4);
    FillInner(conv, rng);
    Tensor* host = MakeTensor(DT_FLOAT16, dims);
    FillRandom(host, rng);
    ModelInput feed[] = {{"vol", host}};
    const Tensor* out = Predict(model, 1, feed)[0]->kernel->output[0];
    ASSERT_EQ(out->dtype, (uint32_t)DT_FLOAT16);

    Tensor* in32 = F32Tensor(dims);
    TensorDataConvert(in32, host);
    Tensor* out32 = F32Tensor(Dims(out));
    Conv3D_fl32_ref(in32, conv->kernel->inner[0], conv->kernel->inner[1], out32, (const Conv3DParams*)conv->kernel->params);
    Tensor* want = MakeTensor(DT_FLOAT16, Dims(out));
    TensorDataConvert(want, out32);
    EXPECT_EQ(memcmp(want->data, out->data, GetTensorSize(out) * sizeof(uint16_t)), 0);
    for (Tensor* t : {host, in32, out32, want}) DestroyTensor(t);
    DestroyModel(model);
}
