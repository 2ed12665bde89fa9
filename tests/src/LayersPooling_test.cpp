// Pooling constructors, kernel tables and a hand-built pooling model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Model.h"
#include "NNKernelFnSelector.h"
#include "pooling_util.h"

using namespace pooling_test;

namespace {

Layer* Input(const char* name, DataLayout layout, std::initializer_list<uint32_t> dims, DataType dtype = DT_FLOAT32)
{
    Tensor* t = CreateTensor(dtype, layout, (uint32_t)dims.size(), Shape(dims), false);
    Layer* layer = AddInputLayer(name, t);
    DestroyTensor(t);
    return layer;
}

Tensor* Described(DataLayout layout, std::initializer_list<uint32_t> dims, DataType dtype = DT_FLOAT32)
{
    return CreateTensor(dtype, layout, (uint32_t)dims.size(), Shape(dims), false);
}

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

std::vector<uint32_t> Dims(const Tensor* t)
{
    return std::vector<uint32_t>(t->shape.dimension, t->shape.dimension + t->ndim);
}

using U = std::vector<uint32_t>;

}  // namespace

TEST(LayersPooling, TwoDimensionalConstructorsFillShapeAndRecord)
{
    Layer* in = Input("img", DL_NHWC, {2, 9, 7, 3});
    const PaddingStruct ps = Pads2D(5, 4, 1, 2, 0, 3);
    Layer* mp = AddMaxPool2DLayer(in, nullptr, "mp", DL_NHWC, 3, 2, 2, 3, 1, &ps, 1);
    Layer* ap = AddAveragePool2DLayer(in, nullptr, nullptr, DL_NHWC, 2, 2, 1, 1, 0, &ps, 0);
    EXPECT_EQ(mp->op, (uint32_t)OP_MaxPool2D);
    EXPECT_EQ(ap->op, (uint32_t)OP_AveragePool2D);
    EXPECT_EQ(std::string(ap->name).rfind("AveragePool2D", 0), 0u);
    ASSERT_EQ(in->consumerLayersNum, 2u);
    EXPECT_EQ(in->consumerLayers[0], mp);
    EXPECT_EQ(mp->inputLayers[0], in);
    for (Layer* l : {mp, ap}) {
        const Tensor* out = l->kernel->output[0];
        EXPECT_EQ(Dims(out), (U{2, 5, 4, 3}));
        EXPECT_EQ(out->layout, (uint32_t)DL_NHWC);
        EXPECT_EQ(out->dtype, (uint32_t)DT_FLOAT32);
        EXPECT_EQ(out->data, nullptr);
        EXPECT_EQ(l->kernel->innerNum, 0u);
        EXPECT_EQ(l->kernel->inputsNum, 1u);
    }
    // Pads from begin0, begin1, end0, end1; `pad` 1 since some are non-zero.
    const Pool2DParams* p = (const Pool2DParams*)mp->kernel->params;
    EXPECT_EQ(sizeof(Pool2DParams), 11 * sizeof(uint32_t));
    const uint32_t want[11] = {3, 2, 2, 3, 1, 0, 2, 3, 1, 1, 1};
    EXPECT_EQ(memcmp(p, want, sizeof(want)), 0);
    EXPECT_EQ(((const Pool2DParams*)ap->kernel->params)->paddingMode, 0u);

    // No pads: the record says VALID. A given tensor of layout DL_NONE takes the layout argument.
    const PaddingStruct none = Pads2D(4, 3, 0, 0, 0, 0);
    Layer* fromTensor =
        AddMaxPool2DLayer(nullptr, Described(DL_NONE, {1, 8, 6, 5}, DT_FLOAT16), "t", DL_NHWC, 2, 2, 2, 2, 0, &none, 1);
    EXPECT_EQ(((const Pool2DParams*)fromTensor->kernel->params)->pad, VALID);
    EXPECT_EQ(fromTensor->kernel->input[0]->layout, (uint32_t)DL_NHWC);
    EXPECT_EQ(Dims(fromTensor->kernel->output[0]), (U{1, 4, 3, 5}));
    EXPECT_EQ(fromTensor->kernel->output[0]->dtype, (uint32_t)DT_FLOAT16);
    DestroyLayer(fromTensor);
    DestroyLayer(mp);
    DestroyLayer(ap);
    DestroyLayer(in);
}

TEST(LayersPooling, OneDimensionalConstructors)
{
    Layer* in = Input("seq", DL_NONE, {3, 20, 4});
    PaddingStruct ps = Pads2D(8, 99, 2, 1, 5, 5);  // dimension 1 must be ignored
    Layer* mp = AddMaxPooling1DLayer(in, nullptr, "mp1", 4, 3, 1, ps, 0);
    Layer* ap = AddAveragePooling1DLayer(in, nullptr, "ap1", 2, 2, 0, ps, 1);
    EXPECT_EQ(mp->op, (uint32_t)OP_MaxPool1D);
    EXPECT_EQ(ap->op, (uint32_t)OP_AveragePool1D);
    for (Layer* l : {mp, ap}) {
        EXPECT_EQ(Dims(l->kernel->output[0]), (U{3, 8, 4}));
        EXPECT_EQ(l->kernel->output[0]->layout, (uint32_t)DL_NONE);
    }
    const uint32_t want[6] = {4, 3, 2, 1, 1, 0};  // size, stride, begin0, end0, ceilMode, paddingMode
    EXPECT_EQ(memcmp(mp->kernel->params, want, sizeof(want)), 0);
    EXPECT_EQ(((const Pool1DParams*)ap->kernel->params)->paddingMode, 1u);
    DestroyLayer(mp);
    DestroyLayer(ap);
    DestroyLayer(in);
}

TEST(LayersPooling, GlobalPoolingShapes)
{
    Layer* flat = AddGlobalAveragePool2DLayer(nullptr, Described(DL_NHWC, {1, 7, 7, 32}), "gap", DL_NHWC, 0);
    EXPECT_EQ(Dims(flat->kernel->output[0]), (U{1, 32}));
    EXPECT_EQ(flat->kernel->output[0]->layout, (uint32_t)DL_NC);
    const GlobalAvPool2DParams* p = (const GlobalAvPool2DParams*)flat->kernel->params;
    EXPECT_EQ(p->layout, (uint32_t)DL_NHWC);
    EXPECT_EQ(p->keepDims, 0u);
    Layer* kept = AddGlobalAveragePool2DLayer(nullptr, Described(DL_NONE, {2, 7, 5, 3}), "gap4", DL_NHWC, 1);
    EXPECT_EQ(Dims(kept->kernel->output[0]), (U{2, 1, 1, 3}));
    EXPECT_EQ(kept->kernel->output[0]->layout, (uint32_t)DL_NHWC);
    EXPECT_NE(((const GlobalAvPool2DParams*)kept->kernel->params)->keepDims, 0u);
    EXPECT_EQ(kept->op, (uint32_t)OP_GlobalAveragePool2D);

    Layer* gmp = AddGlobalMaxPool(nullptr, Described(DL_NHWC, {2, 3, 4, 5}), "gmp");
    EXPECT_EQ(Dims(gmp->kernel->output[0]), (U{2, 1, 1, 5}));
    EXPECT_EQ(gmp->kernel->output[0]->layout, (uint32_t)DL_NONE);
    EXPECT_EQ(gmp->kernel->params, nullptr);
    EXPECT_EQ(gmp->op, (uint32_t)OP_GlobalMaxPool);
    Layer* gmp3 = AddGlobalMaxPool(nullptr, Described(DL_NONE, {4, 9, 6}), nullptr);
    EXPECT_EQ(Dims(gmp3->kernel->output[0]), (U{4, 1, 6}));
    Layer* gmp6 = AddGlobalMaxPool(nullptr, Described(DL_NONE, {2, 3, 4, 5, 6, 7}), nullptr);
    EXPECT_EQ(Dims(gmp6->kernel->output[0]), (U{2, 1, 1, 1, 1, 7}));
    for (Layer* l : {flat, kept, gmp, gmp3, gmp6}) DestroyLayer(l);
}

TEST(LayersPooling, KernelTablesNameTheReferenceKernels)
{
    EXPECT_EQ(nn_kernel_fn_list_default[OP_MaxPool2D], nn_kernel_fn_list[kfname_MaxPool2D_fl32_ref]);
    EXPECT_EQ(nn_kernel_fn_list_default[OP_AveragePool2D], nn_kernel_fn_list[kfname_AveragePool2D_fl32_ref]);
    EXPECT_EQ(nn_kernel_fn_list_default[OP_GlobalAveragePool2D], nn_kernel_fn_list[kfname_GlobalAveragePool2D_ref]);
    EXPECT_EQ(nn_kernel_fn_list_default[OP_AveragePool1D], nn_kernel_fn_list[kfname_AveragePool1D_fl32_ref]);
    EXPECT_EQ(nn_kernel_fn_list_default[OP_GlobalMaxPool], nn_kernel_fn_list[kfname_GlobalMaxPool_ref]);
    EXPECT_EQ(nn_kernel_fn_list_default[OP_MaxPool1D], nn_kernel_fn_list[kfname_MaxPool1D_opt]);
    for (LayerOpType op : {OP_MaxPool2D, OP_AveragePool2D, OP_GlobalAveragePool2D, OP_AveragePool1D,
                           OP_GlobalMaxPool, OP_MaxPool1D}) {
        ASSERT_NE(nn_kernel_fn_list_default[op], nullptr) << LayerOpTypeToStr(op);
        EXPECT_NE(nn_kernel_fn_list_default[op]->execute, nullptr);
    }
    // Without the optimised kernels, selection falls back to the reference ones.
    Layer* in = Input("x", DL_NHWC, {1, 4, 4, 2});
    const PaddingStruct ps = Pads2D(2, 2, 0, 0, 0, 0);
    Layer* mp = AddMaxPool2DLayer(in, nullptr, "m", DL_NHWC, 2, 2, 2, 2, 0, &ps, 1);
    Layer* ap = AddAveragePool2DLayer(in, nullptr, "a", DL_NHWC, 2, 2, 2, 2, 0, &ps, 1);
    Layer* gap = AddGlobalAveragePool2DLayer(in, nullptr, "g", DL_NHWC, 1);
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_MaxPool2D, DT_FLOAT32, mp->kernel), kfname_MaxPool2D_fl32_ref);
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_AveragePool2D, DT_FLOAT32, ap->kernel),
              kfname_AveragePool2D_fl32_ref);
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_GlobalAveragePool2D, DT_FLOAT32, gap->kernel),
              kfname_GlobalAveragePool2D_ref);
    for (Layer* l : {mp, ap, gap, in}) DestroyLayer(l);
}

TEST(LayersPoolingDeathTest, ConstructorChecks)
{
    const PaddingStruct ps = Pads2D(2, 2, 0, 0, 0, 0);
    EXPECT_EXIT(AddMaxPool2DLayer(nullptr, Described(DL_NONE, {1, 4, 4}), "x", DL_NHWC, 2, 2, 2, 2, 0, &ps, 1),
                ::testing::ExitedWithCode(1),
                "^\\[ERROR MESSAGE\\]: input tensor ndim must equal 4\\. ndim: 3\\. File Layers : [0-9]+\n$");
    EXPECT_EXIT(AddAveragePool2DLayer(nullptr, Described(DL_NCHW, {1, 4, 4, 2}), "x", DL_NHWC, 2, 2, 2, 2, 0, &ps, 1),
                ::testing::ExitedWithCode(1), "inputTensor->layout == layout: false, expected: true\\. File Layers");
    EXPECT_EXIT(AddMaxPool2DLayer(nullptr, Described(DL_NONE, {1, 4, 4, 2}), "x", DL_NCHW, 2, 2, 2, 2, 0, &ps, 1),
                ::testing::ExitedWithCode(1), "inTensor->layout == DL_NHWC: false, expected: true");
    EXPECT_EXIT(AddGlobalAveragePool2DLayer(nullptr, Described(DL_NONE, {1, 4, 4, 2, 1}), "x", DL_NHWC, 1),
                ::testing::ExitedWithCode(1), "input tensor ndim must equal 4\\. ndim: 5");
    EXPECT_EXIT(AddGlobalAveragePool2DLayer(nullptr, Described(DL_NONE, {1, 4, 4, 2}), "x", DL_HWCN, 1),
                ::testing::ExitedWithCode(1), "inTensor->layout == DL_NHWC: false, expected: true");
    EXPECT_EXIT(AddMaxPooling1DLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "x", 2, 2, 0, ps, 1),
                ::testing::ExitedWithCode(1),
                "AddPool1DLayer: Input tensor dimensions must be equal 3\\. Current dimensions number: 4");
    EXPECT_EXIT(AddAveragePooling1DLayer(nullptr, Described(DL_NC, {1, 4}), "x", 2, 2, 0, ps, 1),
                ::testing::ExitedWithCode(1), "Current dimensions number: 2");
    EXPECT_EXIT(AddGlobalMaxPool(nullptr, Described(DL_NC, {1, 4}), "x"), ::testing::ExitedWithCode(1),
                "in_tensor->ndim >= 3: false, expected: true");
    // Inputs: exactly one of layer and tensor.
    EXPECT_EXIT(AddGlobalMaxPool(nullptr, nullptr, "x"), ::testing::ExitedWithCode(1),
                "One of inputTensor or inputLayers pointers must be NULL");
    // Geometry without cells or steps, and missing pads.
    EXPECT_EXIT(AddMaxPool2DLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "x", DL_NHWC, 0, 2, 2, 2, 0, &ps, 1),
                ::testing::ExitedWithCode(1), "AddMaxPool2DLayer: pool size and stride must be positive");
    EXPECT_EXIT(AddAveragePool2DLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "x", DL_NHWC, 2, 2, 2, 0, 0, &ps, 1),
                ::testing::ExitedWithCode(1), "AddAveragePool2DLayer: pool size and stride must be positive");
    EXPECT_EXIT(AddMaxPool2DLayer(nullptr, Described(DL_NHWC, {1, 4, 4, 2}), "x", DL_NHWC, 2, 2, 2, 2, 0, nullptr, 1),
                ::testing::ExitedWithCode(1), "padding==NULL, expected not NULL value");
    EXPECT_EXIT(AddMaxPooling1DLayer(nullptr, Described(DL_NONE, {1, 4, 2}), "x", 2, 0, 0, ps, 1),
                ::testing::ExitedWithCode(1), "AddPool1DLayer: pool size and stride must be positive");
    EXPECT_EXIT(AddPool1DLayer(nullptr, Described(DL_NONE, {1, 4, 2}), "x", 2, 2, 0, ps, 1, OP_MaxPool2D),
                ::testing::ExitedWithCode(1), "AddPool1DLayer: op must be MaxPool1D or AveragePool1D, got MaxPool2D");
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
