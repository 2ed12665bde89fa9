// Statistics CSV, operation counts and layer tensor dumps.
#include "Profiling.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDataMovement.h"
#include "LayersDense.h"
#include "LayersNormalization.h"
#include "LayersPooling.h"
#include "LayersActivation.h"
#include "test_util.h"

using corvus_test::ExpectFatal;
using corvus_test::Shape;
using corvus_test::TmpPath;

namespace {

Layer* Input(const char* name, DataType dtype, DataLayout layout, std::initializer_list<uint32_t> dims)
{
    Tensor* t = CreateTensor(dtype, layout, (uint32_t)dims.size(), Shape(dims), false);
    Layer* layer = AddInputLayer(name, t);
    DestroyTensor(t);
    return layer;
}

PaddingStruct Pads(uint32_t outH, uint32_t outW, uint32_t top, uint32_t bottom, uint32_t left, uint32_t right)
{
    PaddingStruct p{};
    p.outputSize[0] = outH, p.outputSize[1] = outW;
    p.begin0 = top, p.end0 = bottom, p.begin1 = left, p.end1 = right;
    return p;
}

ActivationParams Act(uint32_t type) { return ActivationParams{type, 0.0f}; }

// Two chains holding every operator with its own geometry columns, plus an
// Input and a Flatten for the plain rows. Output sizes are worked out by hand.
Model* BuildModel()
{
    Layer* img = Input("img", DT_FLOAT32, DL_NHWC, {1, 6, 6, 2});
    PaddingStruct p = Pads(8, 6, 1, 3, 2, 0);  // (6+1+3-3)+1, (6+2+0-3)+1
    Layer* conv = AddConv2DLayer(img, nullptr, "block1/conv;a", DL_NHWC, 4, 3, 3, 1, 1, 1, 1, &p, true, Act(ReLU), 2);
    p = Pads(4, 4, 0, 0, 0, 0);  // (8-2)/2+1, (6-3)/1+1
    Layer* dw = AddDepthwiseConv2DLayer(conv, nullptr, "dw", DL_NHWC, 2, 3, 2, 1, 1, 1, 1, &p, false, ReLU6);
    p = Pads(4, 4, 0, 1, 1, 0);  // (4+0+1-2)+1, (4+1+0-2)+1
    Layer* mp = AddMaxPool2DLayer(dw, nullptr, "mp", DL_NHWC, 2, 2, 1, 1, 0, &p, POOL_PADDING_IGNORE);
    p = Pads(2, 2, 0, 0, 0, 0);  // (4-3)/1+1, (4-2)/2+1
    Layer* ap = AddAveragePool2DLayer(mp, nullptr, "ap", DL_NHWC, 3, 2, 1, 2, 0, &p, POOL_PADDING_ZEROS);
    Layer* bn = AddBatchNormalizationLayer(ap, nullptr, "bn", true, true, 1e-3f);
    Layer* act = AddActivationLayer(bn, nullptr, "act", Act(Sigmoid));
    p = Pads(4, 4, 1, 0, 0, 0);  // (2-1)*2+3-1, (2-1)*2+2-0
    Layer* deconv = AddConv2DTransposeLayer(act, nullptr, "deconv", DL_NHWC, 3, 3, 2, 2, 2, 1, 1, &p, 1, true,
                                            Act(None));
    Layer* gap = AddGlobalAveragePool2DLayer(deconv, nullptr, "gap", DL_NHWC, 0);
    Layer* fc = AddDenseLayer(gap, nullptr, "fc", 5, true, Tanh);
    const uint32_t flatShape[1] = {5};
    Layer* flat = AddReshapeLayer(fc, nullptr, "flat", flatShape, 1);

    Layer* seq = Input("seq", DT_FLOAT32, DL_NONE, {1, 8, 4});
    PaddingStruct q{};
    q.outputSize[0] = 5, q.begin0 = 1, q.end0 = 2;  // (8+1+2-3)/2+1
    Layer* c1 = AddConv1DLayer(seq, nullptr, "c1", 6, 3, 2, 1, 2, &q, false, Act(LeakyReLU));
    q = PaddingStruct{};
    q.outputSize[0] = 13, q.begin0 = 1;  // (5-1)*3+2-1
    Layer* c1t = AddConv1DTransposeLayer(c1, nullptr, "c1t", 2, 2, 1, 3, 2, &q, true, Act(None));
    Layer* w = Input("w", DT_FLOAT32, DL_NONE, {4, 3});
    Layer* mmIn[2] = {c1t, w};
    Layer* mm = AddMatmulLayer(mmIn, nullptr, "mm", 0);

    Layer* outputs[2] = {flat, mm};
    Model* model = CreateModel(outputs, 2);
    InitModel(model, 1);
    return model;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Profiling, CsvOfEveryOperatorWithOwnColumns)
{
    Model* model = BuildModel();
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
    SaveModelStatisticToCSV(model, path.c_str());
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
    const std::string text = ReadFile(path);
    ASSERT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i;

    // Operation counts over the same layers, by hand.
    const std::vector<std::pair<const char*, uint64_t>> flops = {
        {"block1/conv;a", 3456}, {"dw", 768}, {"mp", 0},      {"ap", (3 * 2 + 1) * 16}, {"bn", 32},
        {"act", 0},              {"deconv", 576}, {"gap", (16 + 1) * 3}, {"fc", 30},    {"flat", 0},
        {"c1", 360},             {"c1t", 240},    {"mm", 312},
    };
    uint64_t total = 0, tics = 0;
    for (uint32_t i = 0; i < model->numLayers; ++i) tics += model->layers[i]->stat.tics;
    for (const auto& f : flops) {
        total += f.second;
        for (uint32_t i = 0; i < model->numLayers; ++i)
            if (strcmp(model->layers[i]->name, f.first) == 0) {
                EXPECT_EQ(GetLayerFLOPs(model->layers[i]), f.second) << f.first;
            }
    }
    EXPECT_EQ(GetModelTotalFLOPs(model), total);
    EXPECT_EQ(GetModelTotalTics(model), tics);
    EXPECT_EQ(tics, 1500u);
    remove(path.c_str());
    DestroyModel(model);
}

// Fills a tensor's bytes with a pattern that includes NaN payloads and
// denormals, which a float round trip would not keep.
void Scribble(Tensor* t, uint32_t seed)
{
    const size_t bytes = (size_t)GetTensorSize(t) * DataTypeSize((DataType)t->dtype);
    uint8_t* d = (uint8_t*)t->data;
    for (size_t i = 0; i < bytes; ++i) {
        seed = seed * 1103515245u + 12345u;
        d[i] = (uint8_t)(seed >> 16);
    }
}

void ExpectSameTensor(const Tensor* got, const Tensor* want, const std::string& what)
{
    ASSERT_NE(got, nullptr) << what;
    EXPECT_EQ(got->dtype, want->dtype) << what;
    EXPECT_EQ(got->layout, want->layout) << what;
    ASSERT_EQ(got->ndim, want->ndim) << what;
    for (uint32_t k = 0; k < want->ndim; ++k) EXPECT_EQ(got->shape.dimension[k], want->shape.dimension[k]) << what;
    const size_t bytes = (size_t)GetTensorSize(want) * DataTypeSize((DataType)want->dtype);
    EXPECT_EQ(memcmp(got->data, want->data, bytes), 0) << what;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(Profiling, DumpAndReloadEveryLayer)
{
    Model* model = BuildModel();
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        NNKernel* k = model->layers[i]->kernel;
        for (uint32_t j = 0; j < k->innerNum; ++j)
            if (k->inner[j] != nullptr && k->inner[j]->data != nullptr) Scribble(k->inner[j], 7 * i + j);
        if (model->layers[i]->op == OP_Input) Scribble(k->output[0], 99 + i);
    }
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        NNKernel* k = model->layers[i]->kernel;
        if (k->fn != nullptr && k->fn->execute != nullptr) k->fn->execute(k);
    }
    const std::string dir = TmpPath("dumps");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::vector<std::string> files;
    for (uint32_t i = 0; i < model->numLayers; ++i) SaveLayersTensors(model->layers[i], dir.c_str());

    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const Layer* l = model->layers[i];
        std::string name = l->name;
        for (char& c : name)
            if (c == '/') c = '_';
        for (uint32_t j = 0; j < l->kernel->inputsNum; ++j) {
            Tensor* t = LoadInputTensor(l, dir.c_str(), (int32_t)j);
            ExpectSameTensor(t, l->kernel->input[j], name + " input " + std::to_string(j));
            DestroyTensor(t);
            files.push_back(dir + "/" + name + "_in_" + std::to_string(j));
        }
        Tensor* out = LoadOutputTensor(l, dir.c_str());
        ExpectSameTensor(out, l->kernel->output[0], name + " output");
        DestroyTensor(out);
        files.push_back(dir + "/" + name + "_out");
        for (uint32_t j = 0; j < l->kernel->innerNum; ++j) {
            const std::string path = dir + "/" + name + "_inner_" + std::to_string(j);
            if (l->kernel->inner[j] == nullptr) {
                EXPECT_FALSE(Exists(path));
                continue;
            }
            Tensor* t = LoadTensor(path.c_str());
            ExpectSameTensor(t, l->kernel->inner[j], path);
            DestroyTensor(t);
            files.push_back(path);
        }
    }
    // The "/" of the first convolution's name must not have made a directory.
    EXPECT_TRUE(Exists(dir + "/block1_conv;a_out"));
    EXPECT_TRUE(Exists(dir + "/block1_conv;a_inner_1"));
    for (const std::string& f : files) EXPECT_EQ(remove(f.c_str()), 0) << f;
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "unexpected files left in the dump directory";
    DestroyModel(model);
}

TEST(Profiling, EmptyInnerSlotKeepsItsNumber)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({3}), true);
    Layer* layer = CreateLayer("gap/slots", OP_Linear, nullptr, &in, 1, 3);
    layer->kernel->output[0] = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({3}), true);
    layer->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({2}), true);
    layer->kernel->inner[2] = CreateTensor(DT_INT32, DL_NONE, 2, Shape({2, 2}), true);
    for (Tensor* t : {in, layer->kernel->output[0], layer->kernel->inner[0], layer->kernel->inner[2]}) Scribble(t, 5);
    const std::string dir = TmpPath("slots");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    SaveLayersTensors(layer, dir.c_str());
    const std::string base = dir + "/gap_slots";
    EXPECT_FALSE(Exists(base + "_inner_1"));
    for (const char* suffix : {"_in_0", "_out", "_inner_0", "_inner_2"}) EXPECT_EQ(remove((base + suffix).c_str()), 0) << suffix;
    EXPECT_EQ(rmdir(dir.c_str()), 0);
    DestroyLayer(layer);
}

TEST(ProfilingDeathTest, Failures)
{
    Layer* in = Input("x", DT_FLOAT32, DL_NONE, {2, 3});
    Layer* bytes = Input("u", DT_UINT8, DL_NONE, {4});
    Layer* outputs[1] = {bytes};
    Model* model = CreateModel(outputs, 1);
    Tensor* two[2] = {CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({2}), false),
                      CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({2}), false)};
    Layer* pair = CreateLayer("pair", OP_AddBroadcast, nullptr, two, 2, 0);
    const std::string missingDir = TmpPath("no_such_dir");
    const std::string csv = missingDir + "/stats.csv";
    ExpectFatal("Profiling", {
        {[&] { SaveModelStatisticToCSV(nullptr, "x.csv"); }, "model is nullptr"},
        {[&] { SaveModelStatisticToCSV(model, csv.c_str()); }, "Cannot open file: " + csv},
        {[&] { SaveLayersTensors(nullptr, "."); }, "layer cannot be NULL ptr"},
        {[&] { LoadOutputTensor(in, nullptr); }, "dir_name is NULL"},
        {[&] { LoadInputTensor(pair, ".", 2); }, "layer has 2 input tensors.num must be a value from 0 to 1"},
        {[&] { LoadInputTensor(pair, ".", -1); }, "layer has 2 input tensors.num must be a value from 0 to 1"},
    });
    const std::string stats = TmpPath("u.csv");
    ExpectFatal("LayersProfiler", {
        {[&] { SaveModelStatisticToCSV(model, stats.c_str()); }, "Unsupported data type\n"},
        {[&] { SaveLayerStatisticToCSV(nullptr, stdout, true); }, "layer must be initialized"},
    });
    // The dump files of a missing directory fail in the tensor file writer.
    EXPECT_EXIT(SaveLayersTensors(in, missingDir.c_str()), ::testing::ExitedWithCode(1), "Cannot open file");
    remove(stats.c_str());
    DestroyLayer(pair);
    DestroyModel(model);
    DestroyLayer(in);
}

}  // namespace
