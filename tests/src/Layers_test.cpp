// Layer records: names, links, ownership and byte counts; one table of what
// every constructor builds (operation, output shape, type, layout, inner
// shapes) and one of the fatal messages users meet when building layers.

#include <climits>

#include "LayersActivation.h"
#include "LayersAudio.h"
#include "LayersBroadcast.h"
#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDataMovement.h"
#include "LayersDense.h"
#include "LayersDetection.h"
#include "LayersInternal.h"
#include "LayersNormalization.h"
#include "LayersPooling.h"
#include "LayersRecurrent.h"
#include "LayersReduction.h"
#include "LayersResize.h"
#include "conv_util.h"

using namespace corvus_test;
using conv_test::Pads;
using U = std::vector<uint32_t>;
using Ts = std::vector<Tensor*>;

namespace {

std::vector<const NNKernel*> gDestroyed;
void NoOp(NNKernel*) {}
void RecordDestroy(NNKernel* k) { gDestroyed.push_back(k), free(k->extra_resources); }
const NNKernelFn kWithDestroy = {NoOp, nullptr, nullptr, RecordDestroy};

Tensor* F(const U& d, DataLayout l = DL_NONE) { return Desc(DT_FLOAT32, d, l); }
Tensor* I32s(const std::vector<int32_t>& v, DataType dt = DT_INT32) { return Holding(dt, {(uint32_t)v.size()}, v); }
Tensor* F32s(const std::vector<float>& v) { return Holding(DT_FLOAT32, {(uint32_t)v.size()}, v); }
const ActivationParams kNone = {None, 0.0f}, kLeaky = {LeakyReLU, 0.25f};
ClipValue Clip(float v)
{
    ClipValue c;
    c.f32 = v;
    return c;
}
const float kVariances[4] = {0.1f, 0.1f, 0.2f, 0.2f};
Layer* Anchors(Tensor* map, std::vector<float> ratios, bool twoBoxes, uint32_t imgH = 300)
{
    return AddAnchorBoxesLayer(nullptr, map, nullptr, imgH, 400, (uint32_t)ratios.size(), ratios.data(), twoBoxes,
                               false, kVariances, CT_Centroids, true, 16.0f, 0.5f, 0.2f, 0.35f);
}

}  // namespace

TEST(Layers, GeneratedNamesCountPerOperation)
{
    ResetLayerNameCounters();  // the counters are process-wide; start as a fresh process does
    Layer* in = InputLayer(nullptr, DT_FLOAT32, {1, 2, 2, 3}, DL_NHWC);
    Layer* c0 = CreateLayer(nullptr, OP_Conv2D, &in, nullptr, 1, 2);
    std::string given = "conv";
    Layer* named = CreateLayer(given.c_str(), OP_Conv2D, &in, nullptr, 1, 2);  // takes no number
    given[0] = 'X';                                                            // the layer keeps a copy
    Layer* d = CreateLayer(nullptr, OP_Dense, &in, nullptr, 1, 0);             // counters are per operation
    Layer* c1 = CreateLayer(nullptr, OP_Conv2D, &in, nullptr, 1, 2);
    const std::vector<std::string> names = {in->name, c0->name, named->name, d->name, c1->name};
    EXPECT_EQ(names, (std::vector<std::string>{"Input0", "Conv2D0", "conv", "Dense0", "Conv2D1"}));
    for (Layer* l : {c0, named, d, c1}) DestroyLayer(l);
    Layer* later = CreateLayer(nullptr, OP_Conv2D, &in, nullptr, 1, 0);  // layers built later go on counting
    EXPECT_STREQ(later->name, "Conv2D2");
    for (Layer* l : {later, in}) DestroyLayer(l);
}

TEST(Layers, LinksAndInputDescriptions)
{
    Layer* src = CreateLayer("src", OP_Initializer, nullptr, nullptr, 0, 0);  // padded half-precision NHWC data
    src->kernel->output[0] = NewTensor(DT_FLOAT16, {1, 2, 3, 4}, {40, 20, 5, 1}, true, DL_NHWC).release();
    Tensor* t = NewTensor(DT_INT8, {3, 5}, {8, 1}, true, DL_NC).release();
    Layer* in = AddInputLayer("in", t);
    DestroyTensor(t);  // the input layer keeps only a description: dense strides, no data
    const Tensor* io = in->kernel->output[0];
    EXPECT_TRUE(io->dtype == DT_INT8 && io->layout == DL_NC && io->data == nullptr);
    EXPECT_EQ(StridesOf(io), (U{5, 1}));

    Layer* pair[2] = {src, src};
    Layer* twice = CreateLayer("twice", OP_AddBroadcast, pair, nullptr, 2, 0);
    Layer* mixed[2] = {in, src};
    Layer* other = CreateLayer("other", OP_Concatenate, mixed, nullptr, 2, 1);
    ASSERT_TRUE(src->consumerLayersNum == 3 && in->consumerLayersNum == 1);
    EXPECT_TRUE(src->consumerLayers[0] == twice && src->consumerLayers[1] == twice && src->consumerLayers[2] == other);
    EXPECT_TRUE(in->consumerLayers[0] == other && other->inputLayers[0] == in && other->inputLayers[1] == src);
    for (uint32_t i = 0; i < 2; ++i) {  // descriptions of the producers' outputs, strides included, without data
        const Tensor* p = other->kernel->input[i];
        const Tensor* out = mixed[i]->kernel->output[0];
        EXPECT_TRUE(p != out && p->dtype == out->dtype && p->layout == out->layout && !p->data && !p->allocatedData);
        EXPECT_EQ(CompareTensorsShape(p, out), TCR_SHAPES_EQUAL);
        EXPECT_EQ(CompareTensorsStride(p, out), TCR_STRIDES_EQUAL);
    }
    // Given input tensors become the layer's own.
    Tensor* ts[2] = {NewTensor(DT_FLOAT32, {4}).release(), Desc(DT_INT32, {1, 2, 3})};
    Layer* own = CreateLayer("own", OP_MatMul, nullptr, ts, 2, 0);
    EXPECT_TRUE(own->kernel->input[0] == ts[0] && own->kernel->input[1] == ts[1] && own->inputLayersNum == 0);
    for (Layer* l : {twice, other, own, in, src}) DestroyLayer(l);  // LeakSanitizer checks ts[]
}

TEST(Layers, DestroyReleasesKernelsAndCores)
{
    Layer* l = CreateLayer("l", OP_Conv2D, nullptr, Ts{Desc(DT_FLOAT32, {1, 4, 4, 3}, DL_NHWC)}.data(), 1, 2);
    NNKernel* k = l->kernel;
    k->output[0] = NewTensor(DT_FLOAT32, {1, 4, 4, 8}).release();
    k->inner[0] = NewTensor(DT_FLOAT32, {8, 3, 3, 3}).release();  // inner[1] stays empty
    k->params = malloc(24);
    k->extra_resources = malloc(8);
    k->fn = &kWithDestroy;
    // A core kernel owns its share of the output and its parameters and shares the layer's weights.
    NNKernel* core = l->coreKernels[3] = (NNKernel*)calloc(1, sizeof(NNKernel));
    core->output = (Tensor**)calloc(core->outputsNum = 1, sizeof(Tensor*));
    core->output[0] = NewTensor(DT_FLOAT32, {1, 2, 4, 8}).release();
    core->inner = (Tensor**)calloc(core->innerNum = 2, sizeof(Tensor*));
    core->inner[0] = k->inner[0];
    core->params = malloc(24);
    core->extra_resources = malloc(8);
    core->fn = &kWithDestroy;
    l->coreKernels[15] = (NNKernel*)calloc(1, sizeof(NNKernel));  // an empty record without functions
    EXPECT_EQ(GetKernelCoreCount(l), 2u);
    gDestroyed.clear();
    DestroyLayer(l);  // ASan and LeakSanitizer check the rest
    EXPECT_EQ(gDestroyed, (std::vector<const NNKernel*>{core, k}));
    ExpectWarning("Layers", "Pointer is null", [] { DestroyLayer(nullptr); });
}

// Constructor -> operation, output shape, type and layout (and the shapes and
// layouts of the inner tensors the weights are read into), from tensor descriptions.
TEST(LayerConstructors, OutputShapeTypeLayoutAndInners)
{
    struct Row {
        std::function<Layer*()> make;
        LayerOpType op;
        U dims;
        DataType dtype = DT_FLOAT32;
        DataLayout layout = DL_NONE;
        std::vector<U> inner = {};  // an empty entry: the slot stays empty
        uint32_t outputs = 1;       // dims are those of the last output
        std::vector<DataLayout> innerLayouts = {};
        U record = {};  // leading words of the parameter record, where they are not plain copies
    };
    const DataType F32 = DT_FLOAT32, F16 = DT_FLOAT16, I32 = DT_INT32, I8 = DT_INT8;
    const DataLayout NONE = DL_NONE, NHWC = DL_NHWC, NC = DL_NC;
    auto img = [] { return Desc(DT_FLOAT16, {1, 2, 3, 4}, DL_NHWC); };
    auto ab = [] { return Ts{F({2, 1, 3}), F({4, 1}, DL_NC)}; };
    const uint32_t perm[3] = {2, 0, 1}, shape46[2] = {4, 6}, axes12[2] = {1, 2}, all4[4] = {0, 1, 2, 3};
    const uint32_t pads[6] = {0, 1, 2, 3, 4, 5};  // begins, then ends
    const float scales[4] = {1.0f, 0.7f, 0.4f, 1.0f / 3.0f};
    const PaddingStruct w54 = Pads(5, 4), w8 = Pads(8, 99);  // 1-D windows ignore dimension 1
    const PaddingStruct p2 = Pads(5, 4, 1, 0, 2, 1), valid = Pads(2, 2), dwPad = Pads(3, 3, 1, 1, 1, 1);
    const uint32_t L = 10, k3 = 3, s2 = 2, pads1[2] = {1, 2};
    const PaddingStruct p1 = ComputePaddingStruct(1, &L, &k3, &s2, nullptr, EXPLICIT, pads1, 0);
    const uint32_t in3[3] = {4, 5, 6}, k[3] = {1, 2, 3}, s[3] = {1, 1, 2}, pads3[6] = {1, 2, 3, 4, 5, 6};
    const PaddingStruct p3 = ComputePaddingStruct(3, in3, k, s, nullptr, EXPLICIT, pads3, 0);
    const uint32_t in2[2] = {5, 7}, k2[2] = {3, 4}, s22[2] = {2, 2}, pads2[4] = {1, 2, 0, 0}, outPad[2] = {1, 0};
    const PaddingStruct pt = ComputePaddingStructTransposed(2, in2, k2, s22, nullptr, EXPLICIT, pads2, outPad, true);
    const PaddingStruct pt1 = ComputePaddingStructTransposed(1, &L, &k3, &s2, nullptr, SAME, nullptr, nullptr, false);
    // clang-format off
    const Row rows[] = {
        // Unary maths and activations keep the input's shape, type and layout.
        {[&] { return AddExpLayer(nullptr, img(), nullptr); }, OP_Exp, {1, 2, 3, 4}, F16, NHWC},
        {[&] { return AddClipLayer(nullptr, img(), Clip(-1), Clip(2), nullptr); }, OP_Clip, {1, 2, 3, 4}, F16, NHWC},
        {[&] { return AddPReluLayer(nullptr, img(), nullptr); }, OP_PRelu, {1, 2, 3, 4}, F16, NHWC, {{4}}},
        // Spectrogram: channels, frames, bins of the window padded to a power of two.
        {[] { return AddAudioSpectrogram(nullptr, F({1000, 2}), nullptr, 400, 160, false); },
         OP_AudioSpectrogram, {2, 4, 257}},
        {[] { return AddAudioSpectrogram(nullptr, F({300, 1}), nullptr, 300, 1000, true); },
         OP_AudioSpectrogram, {1, 1, 257}},
        {[] { return AddMfccLayer(nullptr, Ts{F({2, 5, 257})}.data(), 1, nullptr, 13, 40, 16000, 20, 4000); },
         OP_Mfcc, {2, 5, 13}},
        // Broadcasting: the layout of the longer input; comparisons give int8.
        {[&] { return AddAddLayer(nullptr, ab().data(), 2, nullptr); }, OP_AddBroadcast, {2, 4, 3}},
        {[&] { return AddEqualLayer(nullptr, ab().data(), 2, nullptr); }, OP_Equal, {2, 4, 3}, I8},
        {[] { return AddWhereLayer(nullptr, Ts{Desc(I8, {5, 1, 1, 1}, NHWC), Desc(I32, {1, 3}), Desc(I32, {2, 1})}
              .data(), 3, nullptr); },
         OP_Where, {5, 1, 2, 3}, I32, NHWC},
        {[] { return AddAndLayer(nullptr, Ts{Desc(I8, {3}), Desc(I8, {2, 1})}.data(), 2, nullptr); },
         OP_And, {2, 3}, I8},
        {[] { return AddElementWiseLayer(nullptr, Ts{F({1, 2, 2, 3}, NHWC), F({1, 2, 2, 3}, NHWC)}.data(), 2, nullptr,
              ReLU6); },
         OP_ElementWise, {1, 2, 2, 3}, F32, NHWC, {{3}, {3}}},
        // Data movement.
        {[] { return AddConcatenateLayer(nullptr, Ts{F({1, 2, 3, 4}, NHWC), F({1, 5, 3, 4}), F({1, 1, 3, 4})}.data(),
              3, nullptr, 1); },
         OP_Concatenate, {1, 8, 3, 4}, F32, NHWC},
        {[&] { return AddTransposeLayer(nullptr, F({2, 3, 4}), perm, 3, nullptr); }, OP_Transpose, {4, 2, 3}},
        {[] { return AddConvertLayer(nullptr, F({1, 2, 3, 4}, NHWC), nullptr, DL_NCHW, F16); },
         OP_Convert, {1, 4, 2, 3}, F16, DL_NCHW},
        {[] { return AddConvertLayer(nullptr, F({1, 2, 3, 4}, DL_NCHW), nullptr, NHWC, F32); },
         OP_Convert, {1, 3, 4, 2}, F32, NHWC},
        {[] { return AddShuffleLayer(nullptr, F({1, 2, 2, 6}, NHWC), nullptr, 3); },
         OP_Shuffle, {1, 2, 2, 6}, F32, NHWC},
        {[&] { return AddExpandChannels(nullptr, img(), nullptr, NHWC, 6); },
         OP_ExpandChannels, {1, 2, 3, 6}, F16, NHWC},
        {[&] { return AddReshapeLayer(nullptr, F({2, 3, 4}), nullptr, shape46, 2); }, OP_Reshape, {4, 6}},
        // Gather keeps the data's layout only for one-dimensional indices.
        {[] { return AddGatherLayer(nullptr, Ts{F({2, 3, 4, 5}, NHWC), Desc(I32, {7}, DL_I)}.data(), 2, -2, nullptr); },
         OP_Gather, {2, 3, 7, 5}, F32, NHWC},
        {[] { return AddGatherLayer(nullptr, Ts{F({2, 3}), Desc(I32, {4, 5})}.data(), 2, 1, nullptr); },
         OP_Gather, {2, 4, 5}},
        {[] { return AddGatherElementsLayer(nullptr, Ts{F({4, 3}, NC), Desc(I32, {2, 3})}.data(), -2, 2, nullptr); },
         OP_GatherElements, {2, 3}, F32, NC},
        {[] { return AddScatterNDLayer(nullptr, Ts{F({4, 5, 6}), Desc(I32, {2, 3, 2}), F({2, 3, 6})}.data(), 3,
              SCATTER_REDUCTION_MAX, nullptr); },
         OP_ScatterND, {4, 5, 6}, F32, NONE},
        {[] { return AddTileLayer(nullptr, Ts{Desc(I8, {2, 3, 4, 5}, NHWC), I32s({1, 2, 3, 1}, DT_UINT32)}.data(), 2,
              nullptr); },
         OP_Tile, {2, 6, 12, 5}, I8, NHWC},
        {[] { return AddExpandLayer(nullptr, Ts{Desc(F16, {3, 1}), I32s({2, 1, 4})}.data(), 2, nullptr); },
         OP_Expand, {2, 3, 4}, F16},
        // Slice [1:INT_MAX:2] of 4 rows and [-1:INT_MIN:-3] of 6 columns: 2 x 2.
        {[] { return AddSliceLayer(nullptr, Ts{F({4, 6}), I32s({1, -1}), I32s({INT_MAX, INT_MIN}), I32s({0, 1}),
              I32s({2, -3})}.data(), 5, nullptr); },
         OP_Slice, {2, 2}, F32, NONE},
        // Split: pieces of the given length, the last one short unless the length divides the extent.
        {[] { return AddSplitLayer(nullptr, F({10, 3}, NC), 4, 0, nullptr); }, OP_Split, {2, 3}, F32, NC, {}, 3},
        // Dense (input NC, weights CN), Linear (a scale and an offset per channel), MatMul.
        {[] { return AddDenseLayer(nullptr, F({3, 5}), nullptr, 7, true, ReLU6); },
         OP_Dense, {3, 7}, F32, NC, {{5, 7}, {7}}},
        {[] { return AddLinearLayer(nullptr, F({2, 3, 4, 5}, NHWC), nullptr, ReLU); },
         OP_Linear, {2, 3, 4, 5}, F32, NHWC, {{5}, {5}}},
        {[] { return AddMatmulLayer(nullptr, Ts{F({2, 1, 3}), F({3, 4})}.data(), nullptr, 6); },
         OP_MatMul, {2, 1, 4}, F32, NONE, {}, 1, {}, {6}},  // the mode word the selector reads
        {[] { return AddMatmulLayer(nullptr, Ts{Desc(I32, {5, 1, 2, 3}), Desc(I32, {4, 3, 6})}.data(), nullptr, 0); },
         OP_MatMul, {5, 4, 2, 6}, I32},
        // Detection: boxes per cell are one per ratio, plus one after the first ratio 1 when asked.
        {[] { return Anchors(F({2, 5, 7, 16}, NHWC), {1.0f, 2.0f, 0.5f}, true); }, OP_AnchorBoxes, {2, 5, 7, 4, 8}},
        {[] { return AddDecodeDetections(nullptr, F({2, 100, 21}), nullptr, 50, 10, CT_Centroids, true, 300, 400,
              0.3f, 0.45f); },
         OP_DecodeDetections, {2, 50, 6}, F32, NONE},
        {[] { return AddNMSYoloLayer(nullptr, Desc(F16, {2, 100, 85}), 20, nullptr, 0.25f, 0.45f); },
         OP_NMSYolo, {2, 20, 85}, F16},
        {[] { return AddNonMaxSuppressionLayer(nullptr, Ts{F({2, 50, 4}), F({2, 3, 50}), I32s({7})}.data(), 3,
              nullptr); },
         OP_NonMaxSuppression, {2 * 3 * 7, 3}, I32, NONE},
        // Normalisation: one value per channel for each learned vector.
        {[] { return AddBatchNormalizationLayer(nullptr, F({2, 3, 4, 5}, NHWC), nullptr, true, false, 0.25f); },
         OP_BatchNormalization, {2, 3, 4, 5}, F32, NHWC, {{5}, {5}}},
        {[] { return AddL2NormalizationLayer(nullptr, F({2, 3, 4, 5}, NHWC), nullptr, 20.0f); },
         OP_L2Normalization, {2, 3, 4, 5}, F32, NHWC, {{5}}},
        {[] { return AddLayerNormLayer(nullptr, Desc(F16, {7}), nullptr, 1e-5f); },
         OP_LayerNorm, {7}, F16, NONE, {{7}, {7}}},
        // Pooling: a tensor of layout DL_NONE takes the layout argument; global pooling keeps batch and channels.
        {[&] { return AddMaxPool2DLayer(nullptr, Desc(F16, {2, 9, 7, 3}), nullptr, NHWC, 3, 2, 2, 3, 1, &w54, 1); },
         OP_MaxPool2D, {2, 5, 4, 3}, F16, NHWC},
        {[&] { return AddAveragePool2DLayer(nullptr, F({2, 9, 7, 3}, NHWC), nullptr, NHWC, 2, 2, 1, 1, 0, &w54, 0); },
         OP_AveragePool2D, {2, 5, 4, 3}, F32, NHWC},
        {[&] { return AddMaxPooling1DLayer(nullptr, F({3, 20, 4}), nullptr, 4, 3, 1, w8, 0); },
         OP_MaxPool1D, {3, 8, 4}},
        {[] { return AddGlobalAveragePool2DLayer(nullptr, F({1, 7, 7, 32}, NHWC), nullptr, NHWC, 0); },
         OP_GlobalAveragePool2D, {1, 32}, F32, NC},
        {[] { return AddGlobalAveragePool2DLayer(nullptr, F({2, 7, 5, 3}), nullptr, NHWC, 1); },
         OP_GlobalAveragePool2D, {2, 1, 1, 3}, F32, NHWC},
        {[] { return AddGlobalMaxPool(nullptr, F({2, 3, 4, 5, 6, 7}), nullptr); },
         OP_GlobalMaxPool, {2, 1, 1, 1, 1, 7}},
        // Reductions: kept axes become 1, dropped ones go; no axes reduce everything.
        {[&] { return AddReduceMean(nullptr, F({2, 3, 4, 5}, NHWC), nullptr, axes12, 2, 1); },
         OP_ReduceMean, {2, 1, 1, 5}, F32, NHWC},
        {[&] { return AddReduceSum(nullptr, F({2, 3, 4, 5}, NHWC), nullptr, axes12, 2, 0); }, OP_ReduceSum, {2, 5}},
        {[] { return AddReduceMax(nullptr, F({2, 3, 4, 5}), nullptr, nullptr, 0, 1); }, OP_ReduceMax, {1, 1, 1, 1}},
        {[&] { return AddReduceL2(nullptr, F({2, 3, 4, 5}), nullptr, all4, 4, 0); }, OP_ReduceL2, {}},
        {[] { return AddArgMax(nullptr, F({2, 3, 4}), nullptr, -1, false, true); }, OP_ArgMax, {2, 3}, I32},
        {[] { return AddArgMax(nullptr, F({2, 3, 4}), nullptr, 1, true, false); }, OP_ArgMax, {2, 1, 4}, I32},
        {[] { return AddCumSumLayer(nullptr, Ts{F({2, 3, 4}), I32s({1})}.data(), nullptr, 2, true, false); },
         OP_CumSum, {2, 3, 4}},
        {[] { return AddShapeLayer(nullptr, F({2, 3, 4}), nullptr); }, OP_Shape, {3}, I32, DL_I},
        {[] { return AddCastLayer(nullptr, F({2, 3, 4}), nullptr, F16); }, OP_Cast, {2, 3, 4}, F16},
        {[] { return AddNonZeroLayer(nullptr, Holding<float>(F32, {2, 3}, {1, 0, 0, 2, 0, 3}), nullptr); },
         OP_NonZero, {2, 3}, I32},
        {[] { return AddConstantOfShapeLayer(nullptr, I32s({2, 3}), nullptr, F32, ConstantOfShapeParams{}); },
         OP_ConstantOfShape, {2, 3}},
        {[] { return AddRangeLayer(nullptr, Ts{F32s({0}), F32s({10}), F32s({3})}.data(), nullptr, 3, 0, 10, 3); },
         OP_Range, {4}, F32, DL_I},
        {[] { return AddEinsumLayer(nullptr, Ts{F({2, 3, 4}), F({2, 4, 5})}.data(), nullptr, " bij, bjk -> bik"); },
         OP_Einsum, {2, 3, 5}},
        {[&] { return AddInitializerLayer(2, shape46, I32, nullptr, nullptr); }, OP_Initializer, {4, 6}, I32},
        // Resizing and padding (ZeroPadding2D takes top, bottom, left, right).
        {[] { return AddZeroPadding2DLayer(nullptr, F({2, 5, 7, 3}, NHWC), nullptr, NHWC, 1, 2, 3, 4); },
         OP_ZeroPadding2D, {2, 8, 14, 3}, F32, NHWC},
        {[] { return AddUpSampling2DLayer(nullptr, Desc(F16, {1, 2, 3, 4}), nullptr, NHWC, 3, 2); },
         OP_UpSampling2D, {1, 6, 6, 4}, F16, NHWC},
        // Extents are products rounded to float32, then truncated: 10 * 0.7f is 7.
        {[&] { return AddResizeLayer(nullptr, F({2, 10, 3, 7}, NHWC), scales, 4, nullptr, RESIZE_MODE_AREA); },
         OP_Resize, {2, 7, 1, 2}, F32, NHWC},
        {[&] { return AddPadLayer(nullptr, F({2, 3, 4}), nullptr, pads, PAD_REFLECT, 1.5f); }, OP_Pad, {5, 8, 11}},
        {[] { return AddPadLayer(nullptr, F({}), nullptr, nullptr, PAD_CONSTANT, 0.0f); }, OP_Pad, {}},
        // Convolutions; an input of layout DL_NONE takes the layer's layout, a half input gives a half output.
        {[&] { return AddConv2DLayer(nullptr, F({2, 9, 7, 6}, NHWC), "c", NHWC, 10, 3, 2, 2, 2, 1, 3, &p2, true,
              kLeaky, 2); },
         OP_Conv2D, {2, 5, 4, 10}, F32, NHWC, {{3, 2, 3, 10}, {10}}, 1, {DL_HWIO, DL_I}},
        {[&] { return AddConv2DLayer(nullptr, Desc(F16, {1, 4, 4, 3}), nullptr, NHWC, 5, 3, 3, 1, 1, 1, 1, &valid,
              false, kNone, 1); },
         OP_Conv2D, {1, 2, 2, 5}, F16, NHWC, {{3, 3, 3, 5}, {}}, 1, {DL_HWIO}},
        {[&] { return AddDepthwiseConv2DLayer(nullptr, F({1, 6, 6, 3}, NHWC), "dw", NHWC, 3, 3, 2, 2, 1, 1, 2, &dwPad,
              true, ReLU6); },
         OP_DepthwiseConv2D, {1, 3, 3, 6}, F32, NHWC, {{2, 3, 3, 3}, {6}}, 1, {DL_MHWI, DL_I}},
        {[&] { return AddConv1DLayer(nullptr, F({2, 10, 6}), "c1", 8, 3, 2, 1, 2, &p1, true, kLeaky); },
         OP_Conv1D, {2, 6, 8}, F32, NONE, {{3, 3, 8}, {8}}, 1, {NONE, NONE}, {3, 2, 1, 1, 2, 2}},
        {[&] { return AddConv3DLayer(nullptr, Desc(F16, {1, 4, 5, 6, 4}), nullptr, 5, 2, 1, 2, 3, 1, 1, 2, 1, 1, 1,
              &p3, false, EXPLICIT, kNone); },
         OP_Conv3D, {1, 9, 11, 7, 5}, F16, NONE, {{1, 2, 3, 2, 5}, {}}, 1, {NONE},
         {1, 2, 3, 1, 1, 2, 1, 1, 1, 2, 5, 1, 4, 3, 6, 2, 5}},  // pads height, depth, width
        // Transposed: the 2-D filter is {kH, kW, filters / groups, C_in}; 1-D gives filters * groups channels.
        {[&] { return AddConv2DTransposeLayer(nullptr, F({1, 5, 7, 6}), "t2", NHWC, 4, 3, 4, 2, 2, 1, 1, &pt, 2, true,
              kLeaky); },
         OP_Conv2DTranspose, {1, 11, 14, 4}, F32, NHWC, {{3, 4, 2, 6}, {4}}, 1, {DL_HWOI, DL_I}},
        {[&] { return AddConv1DTransposeLayer(nullptr, F({2, 10, 6}), "t1", 3, 3, 1, 2, 2, &pt1, true, kLeaky); },
         OP_Conv1DTranspose, {2, 20, 6}, F32, NONE, {{3, 3, 6}, {3}}, 1, {NONE, DL_I}},
    };
    // clang-format on
    for (const Row& r : rows) {
        Layer* l = r.make();
        const std::string what = LayerOpTypeToStr(r.op) + (" -> " + ::testing::PrintToString(r.dims));
        EXPECT_EQ(l->op, (uint32_t)r.op) << what;
        ASSERT_EQ(l->kernel->outputsNum, r.outputs) << what;
        const Tensor* o = l->kernel->output[r.outputs - 1];
        EXPECT_EQ(DimsOf(o), r.dims) << what;
        EXPECT_TRUE(o->dtype == (uint32_t)r.dtype && o->layout == (uint32_t)r.layout)
            << what << ": " << DataTypeToStr((DataType)o->dtype) << ", " << DataLayoutStr((DataLayout)o->layout);
        for (size_t j = 0; j < r.inner.size(); ++j) {
            const Tensor* t = l->kernel->inner[j];
            EXPECT_EQ(t ? DimsOf(t) : U{}, r.inner[j]) << what << ", inner " << j;
            const uint32_t layout = t ? t->layout : (uint32_t)DL_NONE;
            EXPECT_TRUE(j >= r.innerLayouts.size() || layout == (uint32_t)r.innerLayouts[j]) << what << ", inner " << j;
        }
        EXPECT_EQ(U((uint32_t*)l->kernel->params, (uint32_t*)l->kernel->params + r.record.size()), r.record) << what;
        DestroyLayer(l);
    }
}

// What users meet when a layer cannot be built from its inputs and parameters.
TEST(LayerConstructorsDeathTest, FatalMessages)
{
    const float ones[7] = {1, 1, 1, 1, 1, 1, 1};
    const uint32_t s55[2] = {5, 5}, axes11[2] = {1, 1}, rank7[7] = {1, 1, 1, 1, 1, 1, 1};
    const PaddingStruct w22 = Pads(2, 2), p11 = Pads(1, 1), huge = Pads(70000, 0);
    auto lstm = [](uint32_t parser, const U& dims, uint32_t inputs) {
        LSTMParams p = {};
        p.parserType = parser, p.hiddenSize = 4, p.numInputs = inputs, p.hasInitialH = inputs >= 2;
        p.numInner = 2, p.numOutputs = 1;
        AddLSTMLayer(nullptr, Ts{F(dims), F({3, 4})}.data(), &p, "l");
    };
    auto conv2d = [&](const U& dims, uint32_t groups) {
        AddConv2DLayer(nullptr, F(dims), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 1, &p11, false, kNone, groups);
    };
    auto nms = [](Ts t) { AddNonMaxSuppressionLayer(nullptr, t.data(), (uint32_t)t.size(), nullptr); };
    const std::string specS = "AddAudioSpectrogram: Cannot add \"S\" layer.\n";
    // clang-format off
    ExpectFatal("Layers", {
        // Audio.
        {[] { AddAudioSpectrogram(nullptr, F({100, 1, 1}), "S", 16, 8, true); },
         specS + "Input dimensions number must be equal to 2, current number is 3"},
        {[] { AddAudioSpectrogram(nullptr, F({15, 1}), "S", 16, 8, true); },
         "AddAudioSpectrogram: Sample count (15) should be grater than window size (16)"},
        {[] { AddMfccLayer(nullptr, Ts{F({1, 2, 33}), Desc(DT_INT32, {1})}.data(), 1, "M", 9, 8, 8000, 0, 4000); },
         "AddMfccLayer: DCT coefficient count (9) must be between 1 and the filterbank channel count (8)"},
        // Broadcasting.
        {[] { AddWhereLayer(nullptr, Ts{F({2}), F({2}), Desc(DT_INT32, {2})}.data(), 3, "x"); },
         "AddWhereLayer: Positive and negative case tensors data type is not equal"},
        {[] { AddElementWiseLayer(nullptr, Ts{F({1, 1, 1, 2}, DL_NHWC), F({1, 1, 2, 2}, DL_NHWC)}.data(), 2, "x", 0); },
         "AddElementWiseLayer: input shapes (1,1,1,2)(1,1,2,2) must be equal and four-dimensional"},
        // Data movement.
        {[] { AddFlattenLayer(nullptr, F({2, 3}), nullptr); }, "input tensor ndim must equal 4. ndim: 2"},
        {[&] { AddReshapeLayer(nullptr, F({2, 3, 4}), nullptr, s55, 2); },
         "AddReshapeLayer: Input (24) and output (25) tensors have different number of elements"},
        {[] { AddConcatenateLayer(nullptr, Ts{F({1, 2, 3}), F({1, 4, 3})}.data(), 2, nullptr, 3); },
         "axis must be a value from 0 to 2. Currect value is 3"},
        {[] { AddConcatenateLayer(nullptr, Ts{F({1, 2, 3}), F({2, 3})}.data(), 2, nullptr, 1); },
         "dimensions number of input tensors must be the same"},
        {[] { AddSplitLayer(nullptr, F({4, 2}), 0, 1, nullptr); }, "output_dim_len must be greater than 0"},
        {[&] { AddTransposeLayer(nullptr, F({2, 3}), axes11, 2, nullptr); },
         "AddTransposeLayer: axes (1,1) are not a permutation of the input's 2 dimensions"},
        {[] { AddConvertLayer(nullptr, F({1, 2, 3, 4}, DL_NHWC), nullptr, DL_HWCN, DT_FLOAT32); },
         "unavailable convert dataformat"},
        {[] { AddShuffleLayer(nullptr, F({1, 2, 2, 4}), nullptr, 0); },
         "AddShuffleLayer: groups must be greater than 0"},
        {[] { AddGatherElementsLayer(nullptr, Ts{F({4, 2}), Desc(DT_INT32, {4, 2})}.data(), -3, 2, nullptr); },
         "AddGatherElementsLayer:Axis = -3 | Ndim = 2 |Axis out of range"},
        {[] { AddScatterNDLayer(nullptr, Ts{F({4, 2}), Desc(DT_INT32, {3, 1}), F({3, 3})}.data(), 3, 0, nullptr); },
         "AddScatterNDLayer: updates shape (3,3) must be (3,2)"},
        {[] { AddTileLayer(nullptr, Ts{F({70000, 2}), I32s({70000, 1}, DT_UINT32)}.data(), 2, nullptr); },
         "AddTileLayer: output dimension 0 is too large (4900000000)"},
        {[] { AddExpandLayer(nullptr, Ts{F({4}), I32s({2, -4})}.data(), 2, nullptr); },
         "AddExpandLayer: Shape value -4 at position 1 must be positive"},
        {[] { AddSqueezeLayer(nullptr, Ts{F({1}), I32s({0})}.data(), 2, nullptr); },
         "AddSqueezeLayer: Result axes dimensions number (0)is less then zero"},
        // Convolutions.
        {[&] { conv2d({1, 4, 4}, 1); }, "input tensor ndim must equal 4. ndim: 3"},
        {[&] { conv2d({1, 4, 4, 2}, 0); }, "groups must be greater than 0"},
        {[&] { AddDepthwiseConv2DLayer(nullptr, F({1, 4, 4, 2}), nullptr, DL_NHWC, 1, 1, 1, 1, 1, 1, 0, &p11, 0, 0); },
         "depthMultiplier must be greater than 0"},
        {[&] { AddConv1DLayer(nullptr, F({1, 4, 4, 1}), "c", 2, 3, 1, 1, 1, &p11, false, kNone); },
         "AddConv1DLayer: Input tensor dimensions must be equal 3. Current dimensions number: 4"},
        {[&] { AddConv1DLayer(nullptr, F({1, 4, 4}), "c", 70000, 3, 1, 1, 1, &huge, false, kNone); },
         "AddConv1DLayer: the output would hold more than 4294967295 elements"},
        // Dense.
        {[] { AddDenseLayer(nullptr, F({1, 2, 3}), nullptr, 4, false, None); },
         "input tensor ndim must equal 2. ndim: 3"},
        {[] { AddMatmulLayer(nullptr, Ts{F({2, 3}), F({4, 5})}.data(), nullptr, 0); },
         "Function Matmul: inner dimensions differ: A has 3 columns, B has 4 rows"},
        // Detection.
        {[&] { Anchors(F({1, 2, 2, 3}), std::vector<float>(ones, ones + 7), false); },
         "AddAnchorBoxesLayer: aspect ratio count must be 1 to 6, got 7"},
        {[] { AddDecodeDetections(nullptr, F({1, 100, 11}), nullptr, 5, 5, 0, false, 1, 1, 0.5f, 0.5f); },
         "AddDecodeDetections: the last input dimension (11) must hold the class scores and 12 box values"},
        {[] { AddNMSYoloLayer(nullptr, F({1, 10, 4}), 5, nullptr, 0.5f, 0.5f); },
         "AddNMSYoloLayer: rows of 4 values cannot hold a box and its score"},
        {[&] { nms({F({1, 5, 4}), F({1, 2, 6}), I32s({2})}); },
         "AddNonMaxSuppressionLayer: scores must have shape [N, classes, boxes] matching the boxes [1, 5, 4]"},
        {[&] { nms({F({1, 5, 4}), F({1, 2, 5}), Desc(DT_INT32, {1})}); },
         "AddNonMaxSuppressionLayer: max_output_boxes_per_class must be a constant with data"},
        {[&] { nms({F({4, 5, 4}), F({4, 2, 5}), I32s({0x40000000}, DT_UINT32)}); },
         "AddNonMaxSuppressionLayer: the output would hold more than 4294967295 elements"},
        // Normalisation.
        {[] { AddL2NormalizationLayer(nullptr, F({1, 2, 3, 4}, DL_NCHW), "l2", 1); },
         "input tensor layout must be NHWC"},
        {[] { AddLayerNormLayer(nullptr, Desc(DT_INT32, {2, 3}), "ln", 1); },
         "LayerNorm: input tensor must be float32 or float16, it is " + std::string(DataTypeToStr(DT_INT32))},
        // Pooling.
        {[&] { AddMaxPool2DLayer(nullptr, F({1, 4, 4, 2}, DL_NHWC), "x", DL_NHWC, 0, 2, 2, 2, 0, &w22, 1); },
         "AddMaxPool2DLayer: pool size and stride must be positive"},
        {[&] { AddMaxPooling1DLayer(nullptr, F({1, 4, 4, 2}), "x", 2, 2, 0, w22, 1); },
         "AddPool1DLayer: Input tensor dimensions must be equal 3. Current dimensions number: 4"},
        // Recurrent.
        {[&] { lstm(LSTM_PARSER_KERAS, {1, 5, 2, 3}, 1); },
         "LSTM KERAS: input tensor dimensions number must equal 3.Current dimensions number: 4\n"},
        {[&] { lstm(LSTM_PARSER_KERAS, {5, 2, 3}, 2); }, "LSTM: initial hidden state must hold 8 values, it holds 12"},
        // Reductions, index and shape layers.
        {[] { AddArgMax(nullptr, F({2, 3}), nullptr, -3, true, false); }, "ArgMax: Invalid axis value: -3\n"},
        {[] { AddRangeLayer(nullptr, Ts{F32s({0}), F32s({5, 6}), F32s({1})}.data(), nullptr, 3, 0, 5, 1); },
         "AddRangeLayer: Input tensor is not scalar"},
        {[] { AddConstantOfShapeLayer(nullptr, I32s({2, -3}), nullptr, DT_FLOAT32, {}); },
         "AddConstantOfShapeLayer: Negative dimension -3 in the shape tensor"},
        {[] { AddConstantOfShapeLayer(nullptr, I32s({65536, 65536}), nullptr, DT_FLOAT32, {}); },
         "AddConstantOfShapeLayer: The shape holds more than 4294967295 elements"},
        {[] { AddNonZeroLayer(nullptr, F({3}), "nz"); },
         "AddNonZeroLayer: the input of layer \"nz\" holds no data; its values size the output"},
        {[] { AddEinsumLayer(nullptr, Ts{F({2, 2}), F({2, 2})}.data(), nullptr, "ii,ij->j"); },
         "Check equation pattern: ii,ij->j\n. Trace-like operators are not supported in the current version."},
        {[&] { AddInitializerLayer(7, rank7, DT_FLOAT32, nullptr, nullptr); },
         "AddInitializerLayer: Rank 7 is greater than 6"},
        // Resizing and padding.
        {[] { AddZeroPadding2DLayer(nullptr, F({1, 2, 2, 1}, DL_NHWC), "z", DL_NHWC, UINT32_MAX, 1, 0, 0); },
         "AddZeroPadding2DLayer: output dimension 1 is too large (4294967298)"},
        {[] { AddUpSampling2DLayer(nullptr, F({1, 32768, 32768, 2}, DL_NHWC), "u", DL_NHWC, 2, 2); },
         "AddUpSampling2DLayer: the output would hold more than 4294967295 elements"},
        {[] { AddResizeLayer(nullptr, F({1, 2, 2, 1}, DL_NHWC), std::vector<float>{1, -2, 1, 1}.data(), 4, "r", 0); },
         "AddResizeLayer: scale -2 of dimension 1 gives no valid output size"},
    });
    // clang-format on
    // (1,2,3) and (1,4,3) join on axis 1 but not on axis 2; both shapes are printed first.
    EXPECT_EXIT(AddConcatenateLayer(nullptr, Ts{F({1, 2, 3}), F({1, 4, 3})}.data(), 2, nullptr, 2),
                ::testing::ExitedWithCode(1),
                "inputTensor0 shape: \\(1,2,3\\)\ninputTensor1 shape: \\(1,4,3\\)\n" +
                    Fatal("Layers", "dimensions of input tensors (except of axis dim) must be the same"));
}
