#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "Layers.h"
#include "LayersInternal.h"
#include "Model.h"
#include "test_util.h"

using namespace corvus_test;

namespace {

std::vector<const NNKernel*> gDestroyed;
int gInitCalls = 0;
void NoOp(NNKernel*) {}
void RecordDestroy(NNKernel* k) { gDestroyed.push_back(k), free(k->extra_resources); }
void InitSetsBytes(NNKernel* k) { ++gInitCalls, k->totalBytes = 7, k->bytesSize[1] = 3; }
void InitLeavesBytes(NNKernel* k) { ++gInitCalls, k->bytesSize[2] = 5; }
const NNKernelFn kWithDestroy = {NoOp, nullptr, nullptr, RecordDestroy};
const NNKernelFn kInitSets = {NoOp, InitSetsBytes, nullptr, nullptr};
const NNKernelFn kInitLeaves = {NoOp, InitLeavesBytes, nullptr, nullptr};
const NNKernelFn kExecuteOnly = {NoOp, nullptr, nullptr, nullptr};

// A source layer whose output is a padded half-precision NHWC tensor with data (40 slots).
Layer* StridedSource()
{
    Layer* src = CreateLayer("src", OP_Initializer, nullptr, nullptr, 0, 0);
    src->kernel->output[0] =
        CreateTensorWithStrides(DT_FLOAT16, DL_NHWC, 4, Shape({1, 2, 3, 4}), Strides({40, 20, 5, 1}), true);
    return src;
}

}  // namespace

TEST(Layers, GeneratedNamesCountPerOperation)
{
    ResetLayerNameCounters();  // the counters are process-wide; start as a fresh process does
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 3}), false);
    Layer* in = AddInputLayer(nullptr, t);
    Layer* c0 = CreateLayer(nullptr, OP_Conv2D, &in, nullptr, 1, 2);
    std::string given = "conv";
    Layer* named = CreateLayer(given.c_str(), OP_Conv2D, &in, nullptr, 1, 2);  // takes no number
    given[0] = 'X';                                                             // the layer keeps a copy
    Layer* d = CreateLayer(nullptr, OP_Dense, &in, nullptr, 1, 0);              // counters are per operation
    Layer* c1 = CreateLayer(nullptr, OP_Conv2D, &in, nullptr, 1, 2);
    Layer* longest = CreateLayer(nullptr, OP_InstanceNormalization, &in, nullptr, 1, 0);
    const std::vector<std::string> names = {in->name, c0->name, named->name, d->name, c1->name, longest->name};
    EXPECT_EQ(names, (std::vector<std::string>{"Input0", "Conv2D0", "conv", "Dense0", "Conv2D1", "InstanceNormalization0"}));
    for (Layer* l : {c0, named, d, c1, longest}) DestroyLayer(l);
    Layer* later = CreateLayer(nullptr, OP_Conv2D, &in, nullptr, 1, 0);  // layers built later go on counting
    EXPECT_STREQ(later->name, "Conv2D2");
    DestroyLayer(later);
    DestroyLayer(in);
    DestroyTensor(t);
}

TEST(Layers, LinksAndInputDescriptions)
{
    Layer* src = StridedSource();
    Tensor* t = CreateTensorWithStrides(DT_INT8, DL_NC, 2, Shape({3, 5}), Strides({8, 1}), true);
    Layer* in = AddInputLayer("in", t);
    DestroyTensor(t);  // the input layer keeps only a description: dense strides, no data
    const Tensor* io = in->kernel->output[0];
    EXPECT_TRUE(io->dtype == DT_INT8 && io->layout == DL_NC && io->data == nullptr && io->shape.dimension[1] == 5);
    EXPECT_EQ(StridesOf(io), (std::vector<uint32_t>{5, 1}));

    Layer* pair[2] = {src, src};
    Layer* twice = CreateLayer("twice", OP_AddBroadcast, pair, nullptr, 2, 0);
    Layer* mixed[2] = {in, src};
    Layer* other = CreateLayer("other", OP_Concatenate, mixed, nullptr, 2, 1);
    ASSERT_TRUE(src->consumerLayersNum == 3 && in->consumerLayersNum == 1);
    EXPECT_TRUE(src->consumerLayers[0] == twice && src->consumerLayers[1] == twice && src->consumerLayers[2] == other);
    EXPECT_TRUE(in->consumerLayers[0] == other && other->inputLayersNum == 2 && other->inputLayers[0] == in &&
                other->inputLayers[1] == src);
    for (uint32_t i = 0; i < 2; ++i) {
        const Tensor* p = other->kernel->input[i];
        const Tensor* out = mixed[i]->kernel->output[0];
        EXPECT_TRUE(p != out && p->dtype == out->dtype && p->layout == out->layout && !p->data && !p->allocatedData);
        EXPECT_EQ(CompareTensorsShape(p, out), TCR_SHAPES_EQUAL);
        EXPECT_EQ(CompareTensorsStride(p, out), TCR_STRIDES_EQUAL);  // (40,20,5,1) for src
    }
    const NNKernel* k = other->kernel;
    EXPECT_TRUE(k->inputsNum == 2 && k->outputsNum == 1 && k->output[0] == nullptr && k->innerNum == 1 &&
                k->inner[0] == nullptr && k->coresNumber == 1 && k->fn == nullptr && k->params == nullptr);
    EXPECT_TRUE(!other->staticOutput && other->op == OP_Concatenate && GetKernelCoreCount(other) == 0);

    // Given input tensors become the layer's own.
    Tensor* ts[2] = {CreateTensor(DT_FLOAT32, DL_I, 1, Shape({4}), true),
                     CreateTensor(DT_INT32, DL_NONE, 3, Shape({1, 2, 3}), false)};
    Layer* own = CreateLayer("own", OP_MatMul, nullptr, ts, 2, 0);
    EXPECT_TRUE(own->kernel->input[0] == ts[0] && own->kernel->input[1] == ts[1] && own->inputLayersNum == 0);
    for (Layer* l : {twice, other, own, in, src}) DestroyLayer(l);  // LeakSanitizer checks ts[]
}

TEST(LayersDeathTest, ConstructionFailures)
{
    Layer* src = StridedSource();
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({2}), false);
    for (LayerOpType op : {OP_Input, OP_Initializer}) DestroyLayer(CreateLayer(nullptr, op, nullptr, nullptr, 0, 0));
    Layer* withNull[2] = {src, nullptr};
    Tensor* tensorsWithNull[2] = {t, nullptr};
    Layer* bare = CreateLayer("bare", OP_Initializer, nullptr, nullptr, 0, 0);  // no output yet
    SetInputLayout(t, DL_I);  // DL_NONE takes the operator's layout
    SetInputLayout(t, DL_I);
    EXPECT_EQ(t->layout, (uint32_t)DL_I);
    const char* oneOf = "One of inputTensor or inputLayers pointers must be NULL";
    ExpectFatal("Layers", {
        {[&] { CreateLayer("x", OP_Dense, &src, &t, 1, 0); }, oneOf},
        {[&] { CreateLayer("x", OP_Dense, nullptr, nullptr, 0, 0); }, oneOf},
        {[&] { CreateLayer(nullptr, OP_OperationsCount, &src, nullptr, 1, 0); },
         "op >= 0 && op < OP_OperationsCount: false, expected: true"},
        {[&] { CreateLayer("x", OP_AddBroadcast, withNull, nullptr, 2, 0); },
         "layer->inputLayers[i] = inputLayers[i]==NULL, expected not NULL value"},
        {[&] { CreateLayer("x", OP_AddBroadcast, nullptr, tensorsWithNull, 2, 0); }, "NULL pointer assignment"},
        {[&] { CreateLayer("x", OP_Dense, &bare, nullptr, 1, 0); }, "NULL pointer"},
        {[&] { AddInputLayer("x", nullptr); }, "inputTensor==NULL, expected not NULL value"},
        {[&] { SetInputLayout(t, DL_NC); }, "inputTensor->layout == layout: false, expected: true"},
    });
    for (Layer* l : {src, bare}) DestroyLayer(l);
    DestroyTensor(t);
}

TEST(Layers, OperationNames)
{
    const std::pair<LayerOpType, const char*> spots[] = {
        {OP_Conv2D, "Conv2D"}, {OP_Input, "Input"}, {OP_Reshape, "Reshape"}, {OP_Initializer, "Initializer"},
        {OP_InstanceNormalization, "InstanceNormalization"}, {OP_AudioSpectrogram, "AudioSpectrogram"},
        {OP_GlobalMaxPool, "GlobalMaxPool"}, {OP_GatherElements, "GatherElements"}};
    for (const auto& [op, name] : spots) EXPECT_STREQ(LayerOpTypeToStr(op), name);
    std::set<std::string> names;
    for (int op = 0; op < OP_OperationsCount; ++op) names.insert(LayerOpTypeToStr((LayerOpType)op));
    EXPECT_TRUE(names.size() == 86 && names.count("Unkhown layer") == 0);
    EXPECT_STREQ(LayerOpTypeToStr(OP_OperationsCount), "Unkhown layer");
    EXPECT_STREQ(LayerOpTypeToStr((LayerOpType)127), "Unkhown layer");
}

TEST(Layers, DestroyReleasesKernelsAndCores)
{
    Tensor* in[1] = {CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 4, 4, 3}), false)};
    Layer* l = CreateLayer("l", OP_Conv2D, nullptr, in, 1, 2);
    NNKernel* k = l->kernel;
    k->output[0] = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 4, 4, 8}), true);
    k->inner[0] = CreateTensor(DT_FLOAT32, DL_NONE, 4, Shape({8, 3, 3, 3}), true);  // inner[1] stays empty
    k->params = malloc(24);
    k->extra_resources = malloc(8);
    k->fn = &kWithDestroy;
    // A core kernel owns its share of the output and its parameters and shares the layer's weights.
    NNKernel* core = l->coreKernels[3] = (NNKernel*)calloc(1, sizeof(NNKernel));
    core->output = (Tensor**)calloc(core->outputsNum = 1, sizeof(Tensor*));
    core->output[0] = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 4, 8}), true);
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
    ExpectWarning("Layers", "Pointer is null", [] { DestroyIOLayers(nullptr); });

    Layer* src = StridedSource();
    IOLayers* io = (IOLayers*)calloc(1, sizeof(IOLayers));
    io->outputLayers = (Layer**)malloc(sizeof(Layer*));
    io->outputLayers[io->outputLayersCount++] = src;
    DestroyIOLayers(io);
    EXPECT_STREQ(src->name, "src");  // the layers themselves survive
    DestroyLayer(src);
}

TEST(Layers, InitKernelCoreCountsBytes)
{
    Layer* src = StridedSource();
    Layer* l = CreateLayer("l", OP_Dense, &src, nullptr, 1, 3);
    NNKernel* k = l->kernel;
    k->inner[0] = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({4, 6}), false);  // 96 bytes, data or not
    k->inner[2] = CreateTensor(DT_INT8, DL_I, 1, Shape({5}), false);         // 5 bytes
    k->output[0] = CreateTensor(DT_INT32, DL_I, 1, Shape({3}), true);        // 12 bytes
    k->counters[0] = k->counters[1] = k->totalBytes = 9;
    for (uint64_t& b : k->bytesSize) b = 9;
    InitKernelCore(l);
    EXPECT_EQ(k->totalBytes, 80u + 96u + 5u + 12u);  // the input spans 40 half-precision slots
    EXPECT_EQ(k->counters[0] + k->counters[1] + k->bytesSize[0] + k->bytesSize[4], 0u);
    k->fn = &kInitSets;  // an init that reports its own traffic wins
    InitKernelCore(l);
    EXPECT_TRUE(k->totalBytes == 7 && k->bytesSize[1] == 3 && gInitCalls == 1);
    k->fn = &kInitLeaves;  // one that does not falls back to the tensor sum
    InitKernelCore(l);
    EXPECT_TRUE(k->totalBytes == 193 && k->bytesSize[1] == 0 && k->bytesSize[2] == 5 && gInitCalls == 2);
    k->fn = &kExecuteOnly;
    InitKernelCore(l);
    EXPECT_EQ(k->totalBytes, 193u);
    for (Layer* x : {l, src}) DestroyLayer(x);
}

TEST(Layers, ListMembershipAndReplacement)
{
    Layer a{}, b{}, c{}, d{};
    Layer* list[4] = {&a, &b, &a, &c};
    EXPECT_TRUE(IsLayerInList(list, 4, &c) && IsLayerInList(list, 1, &a));
    EXPECT_FALSE(IsLayerInList(list, 3, &c) || IsLayerInList(list, 4, &d) || IsLayerInList(nullptr, 0, &a));
    ReplaceLayer(list, 3, &a, &d);
    ReplaceLayer(list, 3, &c, &a);  // only the first `count` entries are touched
    EXPECT_TRUE(list[0] == &d && list[1] == &b && list[2] == &d && list[3] == &c);
}
