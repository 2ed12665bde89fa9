// Conv2D reference kernel on hand computations; the refusals of the
// reference convolutions (random geometry: ConvolutionND_ref_test.cpp).
#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "conv_util.h"
#include "opt_util.h"

using namespace conv_test;
using corvus_test::Fatal;

TEST(Conv2DRef, FusedActivationsKeepSignedZeros)
{
    // One input 1, weight w, bias b: the output is act(w + b).
    struct Case {
        uint32_t kind;
        float alpha, w, b, expected;
    };
    Tensor *one = Filled({1, 1, 1, 1}, {1}), *w = Filled({1, 1, 1, 1}), *b = Filled({1}), *y = Filled({1, 1, 1, 1});
    for (const Case& c :
         {Case{ReLU6, 0, 5, 2, 6}, Case{ReLU6, 0, -5, 2, -0.0f}, Case{ReLU, 0, -5, 2, -0.0f},
          Case{LeakyReLU, 0.25f, -5, 1, -1}, Case{LeakyReLU, 0.25f, 3, 1, 4}, Case{Linear, 0, -5, 1, -4}}) {
        const Conv2DParams p = {1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, VALID, 1, {c.kind, c.alpha}, 1};
        F32(w)[0] = c.w, F32(b)[0] = c.b;
        Conv2D_fl32_ref(one, w, b, y, &p);
        EXPECT_TRUE(SameBits(c.expected, F32(y)[0])) << ActivationNameString[c.kind];
    }
    for (Tensor* t : {one, w, b, y}) DestroyTensor(t);
}

// Execute reads the filter from the record. The refusals of the 2-D, 1-D
// and depthwise reference convolutions; a fused activation on float16
// depthwise output has no kernel.
TEST(ConvolutionRefDeathTest, ExecuteAndRefusals)
{
    std::mt19937 rng(1);
    Conv2DParams p = {1, 1, 2, 1, 1, 1, 1, 0, 0, 0, 0, VALID, 0, {None, 0}, 1};
    Tensor *in = Make(DL_NHWC, {1, 1, 2, 2}, &rng), *filter = Make(DL_HWIO, {1, 1, 2, 2}, &rng);
    Tensor *out = Make(DL_NHWC, {1, 1, 2, 2}, nullptr), *wrongFilter = Make(DL_HWIO, {1, 1, 3, 2}, &rng);
    opt_test::Kernel rec({in}, {out}, &p, {filter, nullptr});
    Execute_Conv2D_ref(rec);
    ConvSetup c;
    c.x = c.y = {1, 1, 2, 2}, c.k = {1, 1};
    EXPECT_TRUE(SameValues(NaiveConv(c, Values(in), Values(filter), nullptr), out));
    corvus_test::TensorPtr ints = corvus_test::NewTensor(DT_INT32, {1, 1, 2, 2});
    Tensor *x = Filled({1, 5, 4}), *w = Filled({3, 2, 6}), *y = Filled({1, 3, 6}), *b = Filled({6});
    Conv1DParams p1 = {3, 1, 1, 0, 0, 2, 1, {None, 0.0f}};
    const char *c2 = "Convolution_ref", *c1 = "ConvolutionND_ref", *dw1 = "DWConvolution_ref";
    const PaddingStruct pads = Pads(2, 2);
    Layer* dw = AddDepthwiseConv2DLayer(nullptr, Make(DL_NHWC, {1, 2, 2, 2}, nullptr), nullptr, DL_NHWC, 1, 1, 1, 1, 1,
                                        1, 1, &pads, false, None);
    NNKernel* k = dw->kernel;
    AllocTensorData(k->output[0]), AllocTensorData(k->inner[0]);
    // clang-format off
    corvus_test::ExpectExitRe({
        {[&] { Conv2D_fl32_ref(in, wrongFilter, nullptr, out, &p); },
         Fatal(c2, "Conv2D_fl32_ref: filter shape (1, 1, 3, 2) does not match (1, 1, 2, 2)")},
        {[&] { Conv2D_fl32_ref(ints.get(), filter, nullptr, out, &p); },
         Fatal(c2, "Conv2D_fl32_ref: input must be float32, got int32")},
        {[&] { rec.inner[0] = nullptr, Execute_Conv2D_ref(rec); }, Fatal(c2, "Filters input is NULL")},
        {[&] { rec.in[0] = ints.get(), Execute_Conv2D_ref(rec); }, Fatal(c2, "support only F16 or F32")},
        {[&] { Conv1D_fl32_ref(x, w, nullptr, y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: the layer uses a bias but none is given")},
        {[&] { Conv1D_fl32_ref(x, w, Filled({5}), y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: bias shape (5) is not the expected (6)")},
        {[&] { Conv1D_fl32_ref(x, w, b, Filled({2, 3, 6}), &p1); },
         Fatal(c1, "Conv1D_fl32_ref: output shape (2, 3, 6) is not the expected (1, 3, 6)")},
        {[&] { Conv1D_fl32_ref(Filled({1, 5, 4, 1}), w, b, y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: input must have 3 dimensions, has 4")},
        {[&] { p1.groups = 1, Conv1D_fl32_ref(x, w, b, y, &p1); },
         Fatal(c1, "Conv1D_fl32_ref: filter shape (3, 2, 6) is not the expected (3, 4, 6)")},
        {[&] { k->inner[0]->shape.dimension[3] = 3, Execute_DWConvolution_ref(k); },
         Fatal(dw1, "DWConvolution: filter shape (1, 1, 1, 3) does not match kernel 1x1, 2 channels x 1")},
        {[&] {
             ((DepthWiseConv2DParams*)k->params)->activation = ReLU;
             k->input[0]->dtype = k->output[0]->dtype = DT_FLOAT16;
             Execute_DWConvolution_ref(k);
         }, Fatal("Activation_ref", "Cannot determine activation function")},
    });
    // clang-format on
    for (Tensor* t : {in, filter, out, wrongFilter, x, w, y, b}) DestroyTensor(t);
    DestroyLayer(dw);
}
