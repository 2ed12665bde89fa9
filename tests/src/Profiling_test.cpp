// Statistics CSV, operation counts and layer tensor dumps.
#include "Profiling.h"

#include <sys/stat.h>

#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDataMovement.h"
#include "LayersDense.h"
#include "LayersNormalization.h"
#include "LayersPooling.h"
#include "LayersActivation.h"
#include "conv_util.h"
#include "graph_util.h"

using namespace corvus_test;
using namespace graph_util;
using conv_test::Pads;

namespace {

// Two chains holding every operator with its own geometry columns, plus an
// Input and a Flatten for the plain rows. Output sizes are worked out by hand.
ModelPtr BuildModel()
{
    Layer* img = Image("img", 6, 6, 2);
    PaddingStruct p = Pads(8, 6, 1, 2, 3, 0);  // (6+1+3-3)+1, (6+2+0-3)+1
    Layer* conv =
        AddConv2DLayer(img, nullptr, "block1/conv;a", DL_NHWC, 4, 3, 3, 1, 1, 1, 1, &p, true, {ReLU, 0.0f}, 2);
    p = Pads(4, 4, 0, 0, 0, 0);  // (8-2)/2+1, (6-3)/1+1
    Layer* dw = AddDepthwiseConv2DLayer(conv, nullptr, "dw", DL_NHWC, 2, 3, 2, 1, 1, 1, 1, &p, false, ReLU6);
    p = Pads(4, 4, 0, 1, 1, 0);  // (4+0+1-2)+1, (4+1+0-2)+1
    Layer* mp = AddMaxPool2DLayer(dw, nullptr, "mp", DL_NHWC, 2, 2, 1, 1, 0, &p, POOL_PADDING_IGNORE);
    p = Pads(2, 2, 0, 0, 0, 0);  // (4-3)/1+1, (4-2)/2+1
    Layer* ap = AddAveragePool2DLayer(mp, nullptr, "ap", DL_NHWC, 3, 2, 1, 2, 0, &p, POOL_PADDING_ZEROS);
    Layer* bn = AddBatchNormalizationLayer(ap, nullptr, "bn", true, true, 1e-3f);
    Layer* act = AddActivationLayer(bn, nullptr, "act", {Sigmoid, 0.0f});
    p = Pads(4, 4, 1, 0, 0, 0);  // (2-1)*2+3-1, (2-1)*2+2-0
    Layer* deconv =
        AddConv2DTransposeLayer(act, nullptr, "deconv", DL_NHWC, 3, 3, 2, 2, 2, 1, 1, &p, 1, true, {None, 0.0f});
    Layer* gap = AddGlobalAveragePool2DLayer(deconv, nullptr, "gap", DL_NHWC, 0);
    Layer* fc = AddDenseLayer(gap, nullptr, "fc", 5, true, Tanh);
    const uint32_t flatShape[1] = {5};
    Layer* flat = AddReshapeLayer(fc, nullptr, "flat", flatShape, 1);

    Layer* seq = InputLayer("seq", DT_FLOAT32, {1, 8, 4});
    PaddingStruct q{};
    q.outputSize[0] = 5, q.begin0 = 1, q.end0 = 2;  // (8+1+2-3)/2+1
    Layer* c1 = AddConv1DLayer(seq, nullptr, "c1", 6, 3, 2, 1, 2, &q, false, {LeakyReLU, 0.0f});
    q = PaddingStruct{};
    q.outputSize[0] = 13, q.begin0 = 1;  // (5-1)*3+2-1
    Layer* c1t = AddConv1DTransposeLayer(c1, nullptr, "c1t", 2, 2, 1, 3, 2, &q, true, {None, 0.0f});
    Layer* w = InputLayer("w", DT_FLOAT32, {4, 3});
    Layer* mmIn[2] = {c1t, w};
    Layer* mm = AddMatmulLayer(mmIn, nullptr, "mm", 0);

    ModelPtr model = MakeModel({flat, mm});
    InitModel(model.get(), 1);
    return model;
}

TEST(Profiling, CsvOfEveryOperatorWithOwnColumnsAndTensorDumps)
{
    ModelPtr model = BuildModel();
    // Counters chosen by hand so every ratio is exact: 100 ticks, 250 bytes.
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* l = model->layers[i];
        l->stat.tics = 100, l->stat.instrs = 0, l->totalBytes = 250;
        for (uint32_t k = 0; k < KERNEL_BYTES_CATEGORIES; ++k) l->bytesSize[k] = 10 * k + i;
    }
    Layer* flat = model->layers[10];
    ASSERT_STREQ(flat->name, "flat");
    flat->stat.tics = 0;  // a layer too fast to measure reports zero rates

    const std::string path = TmpPath("stats.csv");
    SaveModelStatisticToCSV(model.get(), path.c_str());
    const std::vector<std::string> expected = {
        "Name;LayerType;NNKernelName;DataType;Inputs;KerSize;Stride;pLRUD;Groups;Output;Bias;AName;MACs;TotalTics;"
        "TotalInstrs;TotalIPC;MACs/TTics;Bytes/Tic;TotalBytes;BytesSize0;BytesSize1;BytesSize2;BytesSize3;BytesSize4",
        "img;Input;Undefined;fp32;;-;-;(0,0,0,0);-;(1,6,6,2);false;None;0;100;0;0.000;0.000;0.000;250;0;10;20;30;40",
        // 3*3 * 192 outputs * 2 channels / 2 groups
        "block1/conv_a;Conv2D;Conv2D_ref;fp32;(1,6,6,2);(3,3);(1,1);(2,0,1,3);2;(1,8,6,4);true;ReLU;1728;100;0;"
        "0.000;17.280;2.500;250;1;11;21;31;41",
        // 2*3 * 64 outputs
        "dw;DepthwiseConv2D;DWConvolution_ref;fp32;(1,8,6,4);(2,3);(2,1);(0,0,0,0);-;(1,4,4,4);false;ReLU6;384;100;0;"
        "0.000;3.840;2.500;250;2;12;22;32;42",
        "mp;MaxPool2D;MaxPool2D_fl32_ref;fp32;(1,4,4,4);(2,2);(1,1);(1,0,0,1);-;(1,4,4,4);false;None;0;100;0;"
        "0.000;0.000;2.500;250;3;13;23;33;43",
        "ap;AveragePool2D;AveragePool2D_fl32_ref;fp32;(1,4,4,4);(3,2);(1,2);(0,0,0,0);-;(1,2,2,4);false;None;0;100;0;"
        "0.000;0.000;2.500;250;4;14;24;34;44",
        "bn;BatchNormalization;BatchNormalization_fl32_ref;fp32;(1,2,2,4);-;-;(0,0,0,0);-;(1,2,2,4);false;None;16;100;"
        "0;0.000;0.160;2.500;250;5;15;25;35;45",
        "act;Activation;Activation;fp32;(1,2,2,4);-;-;(0,0,0,0);-;(1,2,2,4);false;Sigmoid;0;100;0;0.000;0.000;2.500;"
        "250;6;16;26;36;46",
        // 16 inputs * 3 channels * 3*2; pads (left, left, top, top)
        "deconv;Conv2DTranspose;Conv2DTranspose_fl32_ref;fp32;(1,2,2,4);(3,2);(2,2);(0,0,1,1);1;(1,4,4,3);true;None;"
        "288;100;0;0.000;2.880;2.500;250;7;17;27;37;47",
        "gap;GlobalAveragePool2D;GlobalAveragePool2D_ref;fp32;(1,4,4,3);(4,4);(1,1);(0,0,0,0);-;(1,3);false;None;0;"
        "100;0;0.000;0.000;2.500;250;8;18;28;38;48",
        // dense: no bias column, MACs 1 * 5 * 3
        "fc;Dense;Dense_ref;fp32;(1,3);-;-;(0,0,0,0);-;(1,5);false;Tanh;15;100;0;0.000;0.150;2.500;250;9;19;29;39;49",
        "flat;Reshape;Reshape_ref;fp32;(1,5);-;-;(0,0,0,0);-;(5);false;None;0;0;0;0.000;0.000;0.000;250;10;20;30;"
        "40;50",
        "seq;Input;Undefined;fp32;;-;-;(0,0,0,0);-;(1,8,4);false;None;0;100;0;0.000;0.000;0.000;250;11;21;31;41;51",
        // 4 channels * 3 * 30 outputs / 2 groups
        "c1;Conv1D;Conv1D_fl32_ref;fp32;(1,8,4);(1,3);(1,2);(1,2,0,0);2;(1,5,6);false;LeakyReLU;180;100;0;0.000;1.800;"
        "2.500;250;12;22;32;42;52",
        // 4 output channels * 2 * 30 inputs / 2 groups
        "c1t;Conv1DTranspose;Conv1DTranspose_fl32_ref;fp32;(1,5,6);(1,2);(1,3);(1,1,0,0);2;(1,13,4);true;None;120;100;"
        "0;0.000;1.200;2.500;250;13;23;33;43;53",
        "w;Input;Undefined;fp32;;-;-;(0,0,0,0);-;(4,3);false;None;0;100;0;0.000;0.000;0.000;250;14;24;34;44;54",
        // 39 outputs * 4
        "mm;MatMul;Matmul_ref;fp32;(1,13,4),(4,3);-;-;(0,0,0,0);-;(1,13,3);false;None;156;100;0;0.000;1.560;2.500;250;"
        "15;25;35;45;55",
    };
    std::ifstream f(path);
    size_t n = 0;
    for (std::string line; std::getline(f, line); ++n) EXPECT_EQ(line, n < expected.size() ? expected[n] : "") << n;
    EXPECT_EQ(n, expected.size());

    // Operation counts over the same layers (in the CSV's order), by hand.
    const uint64_t flops[] = {0, 3456, 768, 0, (3 * 2 + 1) * 16, 32, 0, 576, (16 + 1) * 3, 30, 0, 0, 360, 240, 0, 312};
    uint64_t total = 0;
    ASSERT_EQ(model->numLayers, 16u);
    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(GetLayerFLOPs(model->layers[i]), flops[i]) << model->layers[i]->name;
        total += flops[i];
    }
    EXPECT_EQ(GetModelTotalFLOPs(model.get()), total);
    EXPECT_EQ(GetModelTotalTics(model.get()), 1500u);

    // Every tensor of a layer is dumped byte for byte (NaN payloads and
    // denormals included, which a float round trip would not keep); a "/" in the
    // name makes no directory and an empty inner slot keeps its number.
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 3}), true);
    Layer* layer = CreateLayer("gap/slots", OP_Linear, nullptr, &in, 1, 3);
    layer->kernel->output[0] = CreateTensor(DT_FLOAT16, DL_NONE, 1, Shape({5}), true);
    layer->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({2}), true);
    layer->kernel->inner[2] = CreateTensor(DT_INT32, DL_NC, 2, Shape({2, 2}), true);
    uint32_t seed = 5;
    for (Tensor* t : {in, layer->kernel->output[0], layer->kernel->inner[0], layer->kernel->inner[2]})
        for (size_t i = 0; i < (size_t)GetTensorSize(t) * DataTypeSize((DataType)t->dtype); ++i)
            ((uint8_t*)t->data)[i] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
    const std::string dir = TmpPath("slots"), base = dir + "/gap_slots";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    SaveLayersTensors(layer, dir.c_str());
    // clang-format off
    const std::pair<const Tensor*, Tensor*> dumped[] = {
        {in, LoadInputTensor(layer, dir.c_str(), 0)}, {layer->kernel->output[0], LoadOutputTensor(layer, dir.c_str())},
        {layer->kernel->inner[0], LoadTensor((base + "_inner_0").c_str())},
        {layer->kernel->inner[2], LoadTensor((base + "_inner_2").c_str())}};
    for (const auto& d : dumped) {
        ASSERT_NE(d.second, nullptr);
        EXPECT_TRUE(d.second->dtype == d.first->dtype && d.second->layout == d.first->layout &&
                    corvus_test::DimsOf(d.second) == corvus_test::DimsOf(d.first));
        EXPECT_EQ(memcmp(d.second->data, d.first->data,
         (size_t)GetTensorSize(d.first) * DataTypeSize((DataType)d.first->dtype)), 0);
        DestroyTensor(d.second);
    }
    // clang-format on
    for (const char* suffix : {"_in_0", "_out", "_inner_0", "_inner_2"})
        EXPECT_EQ(remove((base + suffix).c_str()), 0) << suffix;
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "unexpected files left in the dump directory";
    DestroyLayer(layer);
}

TEST(ProfilingDeathTest, Failures)
{
    Layer* in = InputLayer("x", DT_FLOAT32, {2, 3});
    ModelPtr model = MakeModel({InputLayer("u", DT_UINT8, {4})});
    Tensor* two[2] = {Desc(DT_FLOAT32, {2}), Desc(DT_FLOAT32, {2})};
    Layer* pair = CreateLayer("pair", OP_AddBroadcast, nullptr, two, 2, 0);
    const std::string missingDir = TmpPath("no_such_dir"), csv = missingDir + "/stats.csv";
    ExpectFatal(
        "Profiling",
        {
            {[&] { SaveModelStatisticToCSV(model.get(), csv.c_str()); }, "Cannot open file: " + csv},
            {[&] { LoadInputTensor(pair, ".", 2); }, "layer has 2 input tensors.num must be a value from 0 to 1"},
            {[&] { LoadInputTensor(pair, ".", -1); }, "layer has 2 input tensors.num must be a value from 0 to 1"},
        });
    ExpectFatal("LayersProfiler",
                {{[&] { SaveModelStatisticToCSV(model.get(), TmpPath("u.csv").c_str()); }, "Unsupported data type\n"}});
    // The dump files of a missing directory fail in the tensor file writer.
    EXPECT_EXIT(SaveLayersTensors(in, missingDir.c_str()), ::testing::ExitedWithCode(1), "Cannot open file");
    DestroyLayer(pair);
    DestroyLayer(in);
}

}  // namespace
