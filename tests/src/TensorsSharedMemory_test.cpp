// Shared memory plan: usage records, offsets, the buffer, and planned models
// computing what unplanned ones compute.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "TensorsSharedMemory.h"
#include "graph_util.h"

using namespace graph_util;
using ::testing::ExitedWithCode;

namespace {

struct Placed {
    uint32_t first, last, size, offset;
    bool operator==(const Placed& o) const
    {
        return first == o.first && last == o.last && size == o.size && offset == o.offset;
    }
};
std::ostream& operator<<(std::ostream& os, const Placed& p)
{
    return os << "{" << p.first << "," << p.last << "," << p.size << "," << p.offset << "}";
}

std::vector<Placed> Plan(const Model* model)
{
    std::vector<Placed> out;
    const TensorsSharedMemory& shm = model->tensorsSharedMemory;
    for (uint32_t k = 0; k < shm.numRecords; ++k) {
        const TensorUsageRecord& r = shm.tensorUsageRecords[k];
        out.push_back({r.firstLayer, r.lastLayer, r.size, shm.offsets[k]});
    }
    return out;
}

// A model holding only hand-written records, for OffsetCalculation alone.
struct RecordsModel {
    Model model{};
    std::vector<TensorUsageRecord> records;
    std::vector<uint32_t> offsets;

    explicit RecordsModel(std::vector<TensorUsageRecord> r) : records(std::move(r)), offsets(records.size() + 1)
    {
        model.tensorsSharedMemory.tensorUsageRecords = records.data();
        model.tensorsSharedMemory.numRecords = (uint32_t)records.size();
        model.tensorsSharedMemory.offsets = offsets.data();
    }
};

TEST(TensorsSharedMemory, ChainOfFourReusesEveryOtherSlot)
{
    Layer* a = Input("A", 25);
    Layer* b = Node("B", OP_AddBroadcast, {a}, 25);
    Layer* c = Node("C", OP_AddBroadcast, {b}, 25);
    Layer* d = Node("D", OP_AddBroadcast, {c}, 25);
    Model* model = CreateModel(&d, 1);

    EXPECT_EQ(PlanTensorsSharedMemory(model), 212u);
    ASSERT_TRUE(model->useTensorsSharedMemory && model->tensorsSharedMemory.data && model->tensorsSharedMemory.size == 212);
    EXPECT_EQ(Plan(model), (std::vector<Placed>{{0, 1, 100, 0}, {1, 2, 100, 112}, {2, 3, 100, 0}, {3, 3, 100, 112}}));
    // The buffer starts zero-filled.
    EXPECT_EQ(std::count(model->tensorsSharedMemory.data, model->tensorsSharedMemory.data + 212, 0), 212);

    // InitModel points each planned output into the buffer.
    InitModel(model, 1);
    uint8_t* base = model->tensorsSharedMemory.data;
    for (Layer* l : {a, b, c, d})
        EXPECT_EQ(l->kernel->output[0]->data, base + (l == b || l == d ? 112 : 0)) << l->name;
    EXPECT_FALSE(d->kernel->output[0]->allocatedData);
    DestroyModel(model);
}

TEST(TensorsSharedMemory, RecordsSortBySizeThenProducer)
{
    // Sizes in bytes: uint8 outputs give sizes that are not multiples of 4.
    Layer* in = Input("in", 7, DT_UINT8);
    Layer* p = Node("p", OP_AddBroadcast, {in}, 30, DT_UINT8);
    Layer* q = Node("q", OP_AddBroadcast, {in}, 7, DT_UINT8);
    Layer* r = Node("r", OP_AddBroadcast, {p, q}, 30, DT_UINT8);
    Layer* s = Node("s", OP_AddBroadcast, {r}, 9, DT_FLOAT32);
    Model* model = CreateModel(&s, 1);
    PlanTensorsSharedMemory(model);
    // Order in the model: in 0, p 1, q 2, r 3, s 4.
    std::vector<std::pair<uint32_t, uint32_t>> firstAndSize;
    for (const Placed& p : Plan(model)) {
        firstAndSize.push_back({p.first, p.size});
        EXPECT_EQ(p.offset % 16, 0u);
    }
    EXPECT_EQ(firstAndSize, (std::vector<std::pair<uint32_t, uint32_t>>{{4, 36}, {1, 30}, {3, 30}, {0, 7}, {2, 7}}));
    DestroyModel(model);
}

TEST(TensorsSharedMemory, OffsetsUseTheGapOfTheLastOverlappingRecordOnly)
{
    // Placement order is record order here; lifetimes are inclusive.
    RecordsModel m({{0, 9, 100}, {0, 1, 100}, {0, 9, 100}, {5, 9, 60}, {5, 9, 40}});
    EXPECT_EQ(OffsetCalculation(&m.model), 376u);
    // R3 lands in R1's slot, freed after layer 1, because R2 (placed after
    // R0, the record below the slot) is the last overlapping one. R4 sees
    // the same gap offered by R2, but R3 comes later and offers none, so R4
    // goes above everything although [176, 224) is free.
    EXPECT_EQ(std::vector<uint32_t>(m.offsets.begin(), m.offsets.begin() + 5), (std::vector<uint32_t>{0, 112, 224, 112, 336}));

    // Three small records, a short-lived 64-byte one above them, one more
    // small record above that: offsets 0, 16, 32, 48, 112. Record 5 does not
    // overlap record 3, and record 4 (the last overlapping one) offers the
    // gap [48, 112) that record 3 leaves, so record 5 takes it.
    RecordsModel g({{0, 9, 16}, {0, 9, 16}, {0, 9, 16}, {0, 1, 64}, {0, 9, 16}, {2, 9, 16}});
    EXPECT_EQ(OffsetCalculation(&g.model), 128u);
    EXPECT_EQ(std::vector<uint32_t>(g.offsets.begin() + 3, g.offsets.begin() + 6), (std::vector<uint32_t>{48, 112, 48}));

    RecordsModel none({});
    EXPECT_EQ(OffsetCalculation(&none.model), 0u);

    // The total is not rounded up.
    RecordsModel odd({{0, 1, 5}, {0, 1, 3}});
    EXPECT_EQ(OffsetCalculation(&odd.model), 19u);
    EXPECT_EQ(odd.offsets[1], 16u);
}

TEST(TensorsSharedMemory, StaticOutputsGetNoRecord)
{
    // Only constants: no records, no buffer, the flag stays clear.
    Layer* k1 = Constant("k1", 10);
    Model* model = CreateModel(&k1, 1);
    EXPECT_EQ(PlanTensorsSharedMemory(model), 0u);
    EXPECT_TRUE(!model->useTensorsSharedMemory && model->tensorsSharedMemory.data == nullptr &&
                model->tensorsSharedMemory.numRecords == 0);
    InitModel(model, 1);
    DestroyModel(model);

    // Slices are static; so are reshapes that can alias their input, but not
    // those that are outputs, change the element count or read strided data.
    Layer* in = Input("in", 12);
    Layer* slice = Node("slice", OP_Slice, {in}, 4);
    Layer* alias = Node("alias", OP_Reshape, {in}, 12);
    Layer* resize = Node("resize", OP_Reshape, {in}, 6);
    Layer* strided = Node("strided", OP_Reshape, {in}, 12);
    DestroyTensor(strided->kernel->input[0]);
    strided->kernel->input[0] = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({3, 4}), TensorStrides{{8, 1}}, false);
    Layer* outReshape = Node("outReshape", OP_Reshape, {in}, 12);
    Layer* sum = Node("sum", OP_AddBroadcast, {slice, alias, resize, strided}, 4);
    Layer* outs[] = {sum, outReshape};
    model = CreateModel(outs, 2);
    PlanTensorsSharedMemory(model);
    EXPECT_TRUE(slice->staticOutput && alias->staticOutput);
    EXPECT_FALSE(resize->staticOutput || strided->staticOutput || outReshape->staticOutput);
    std::vector<uint32_t> firsts, expected;
    for (const Placed& p : Plan(model)) firsts.push_back(p.first);
    for (Layer* l : {in, resize, strided, sum, outReshape}) expected.push_back(IndexOf(model, l));
    std::sort(firsts.begin(), firsts.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(firsts, expected);
    DestroyModel(model);
}

uint32_t LastOf(const Model* model, const Layer* layer)
{
    const uint32_t idx = IndexOf(model, layer);
    for (const Placed& p : Plan(model))
        if (p.first == idx) return p.last;
    ADD_FAILURE() << "no record for " << layer->name;
    return 0;
}

TEST(TensorsSharedMemory, LifetimesFollowReadersThroughAliasingReshapes)
{
    // in -> p -> r1 (alias) -> r2 (alias) -> x -> y, and p -> z.
    Layer* in = Input("in", 8);
    Layer* p = Node("p", OP_AddBroadcast, {in}, 8);
    Layer* z = Node("z", OP_AddBroadcast, {p}, 8);
    Layer* r1 = Node("r1", OP_Reshape, {p}, 8);
    Layer* r2 = Node("r2", OP_Reshape, {r1}, 8);
    Layer* x = Node("x", OP_AddBroadcast, {r2}, 8);
    Layer* y = Node("y", OP_AddBroadcast, {z, x}, 8);
    Model* model = CreateModel(&y, 1);
    // Order: in, p, z, r1, r2, x, y.
    ASSERT_EQ(IndexOf(model, x), 5u);
    PlanTensorsSharedMemory(model);
    // p's storage is read by x through two aliasing reshapes.
    EXPECT_EQ((std::vector<uint32_t>{LastOf(model, in), LastOf(model, p), LastOf(model, z), LastOf(model, y)}),
              (std::vector<uint32_t>{1, 5, 6, 6}));
    DestroyModel(model);

    // A reader outside the model keeps the output alive to the end; so does
    // being a model output that other layers also read.
    Layer* in2 = Input("in2", 8);
    Layer* a = Node("a", OP_AddBroadcast, {in2}, 8);
    Layer* b = Node("b", OP_AddBroadcast, {a}, 8);
    Layer* c = Node("c", OP_AddBroadcast, {in2}, 8);
    Layer* stray = Node("stray", OP_AddBroadcast, {c}, 8);
    Layer* d = Node("d", OP_AddBroadcast, {c}, 8);
    Layer* outs[] = {b, a, d};
    model = CreateModel(outs, 3);
    // Order: in2, a, b, c, d.
    PlanTensorsSharedMemory(model);
    EXPECT_EQ(LastOf(model, a), 4u);
    EXPECT_EQ(LastOf(model, c), 0xFFFFFFFFu);
    DestroyModel(model);
    DestroyLayer(stray);
}

TEST(TensorsSharedMemory, FatalCases)
{
    auto plan = [](Layer* out, bool init = false, bool dropFirst = false) {
        Model* model = CreateModel(&out, 1);
        if (init) InitModel(model, 1);
        if (dropFirst) model->layers[0] = nullptr;
        PlanTensorsSharedMemory(model);
    };
    corvus_test::ExpectExitRe({
        {[&] { plan(Node("x", OP_AddBroadcast, {Node("r", OP_Reshape, {Input("in", 4)}, 4, DT_INT32)}, 4)); },
         "is_fit_for_OptimizeReshape error: in->dtype!=out->dtype"},
        {[&] { plan(Input("in", 4), false, true); }, "layer = model->layers\\[layer_ind\\]==NULL, expected not NULL value"},
        {[&] { plan(Input("in", 4), true); }, "Memory of an initialized model cannot be planned"},
        {[&] { plan(Input("in", 0x20000000u)); }, "planned outputs must stay below 2 GiB"},  // 2 GiB of floats
    });
}

TEST(TensorsSharedMemory, PlanningAgainReplacesThePlan)
{
    Layer* in = Input("in", 8);
    Layer* x = Node("x", OP_AddBroadcast, {in}, 8);
    Model* model = CreateModel(&x, 1);
    EXPECT_EQ(PlanTensorsSharedMemory(model), 64u);
    EXPECT_EQ(PlanTensorsSharedMemory(model), 64u);
    EXPECT_EQ(model->tensorsSharedMemory.numRecords, 2u);
    DestroyModel(model);  // leak checks catch a lost first plan
}

// ---- random graphs ------------------------------------------------------

// Test kernel: out[e] = bias + sum_j (j + 1) * in_j[e mod n_j]. Reads all
// inputs before writing so that an aliasing reshape (out == in) is exact.
void ExecuteMix(NNKernel* kernel)
{
    Tensor* out = kernel->output[0];
    const uint32_t n = GetTensorSize(out);
    std::vector<float> acc(n, *(const float*)kernel->params);
    for (uint32_t j = 0; j < kernel->inputsNum; ++j) {
        const Tensor* in = kernel->input[j];
        const uint32_t m = GetTensorSize(in);
        const float* src = (const float*)in->data;
        for (uint32_t e = 0; e < n; ++e) acc[e] += (float)(j + 1) * src[e % m];
    }
    std::copy(acc.begin(), acc.end(), (float*)out->data);
}
const NNKernelFn kMixFn = {ExecuteMix, nullptr, nullptr, nullptr};

// Reshape test kernel: a copy, exact when the output aliases the input.
void ExecuteCopy(NNKernel* kernel)
{
    const uint32_t n = GetTensorSize(kernel->output[0]);
    const uint32_t m = GetTensorSize(kernel->input[0]);
    const float* src = (const float*)kernel->input[0]->data;
    float* dst = (float*)kernel->output[0]->data;
    if (src == dst) return;
    for (uint32_t e = 0; e < n; ++e) dst[e] = src[e % m];
}
const NNKernelFn kCopyFn = {ExecuteCopy, nullptr, nullptr, nullptr};

struct RandomGraph {
    std::vector<Layer*> all;
    std::vector<Layer*> outputs;
    std::vector<Layer*> inputs;
    Model* model = nullptr;

    // Layers outside the model are not destroyed with it.
    void Destroy()
    {
        std::vector<Layer*> stray;
        for (Layer* l : all)
            if (IndexOf(model, l) == 0xFFFFFFFFu) stray.push_back(l);
        DestroyModel(model);
        for (Layer* l : stray) DestroyLayer(l);
    }
};

// Builds the same graph for the same seed. Layer kinds: inputs, constants,
// slices (static outputs), reshapes (aliasing or not, chained at times) and
// mixing layers, some of them sharing a name. Every sink but possibly one is
// a model output.
RandomGraph BuildRandomGraph(uint32_t seed, bool executable)
{
    std::mt19937 rng(seed);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    RandomGraph g;
    const uint32_t n = uni(3, 40);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t kind = i == 0 ? 0 : uni(0, 9);
        // Inputs are fed by name; other layers may share one ("dup").
        const bool input = kind == 0 && g.inputs.size() < 3;
        const std::string name = !input && uni(0, 3) == 0 ? "dup" : "L" + std::to_string(i);
        const DataType dtype = executable ? DT_FLOAT32 : (uni(0, 3) == 0 ? DT_UINT8 : DT_FLOAT32);
        const uint32_t size = uni(1, 64);
        Layer* layer;
        if (input) {
            layer = Input(name.c_str(), size, dtype);
            g.inputs.push_back(layer);
        } else if (kind == 1) {
            layer = Constant(name.c_str(), size, dtype);
            if (dtype == DT_FLOAT32)
                for (uint32_t e = 0; e < size; ++e) ((float*)layer->kernel->output[0]->data)[e] = (float)uni(0, 9);
        } else {
            std::vector<Layer*> ins;
            const uint32_t fanIn = (kind == 2 || kind >= 7) ? 1 : uni(1, 3);
            // Reshapes often read the layer just made, which builds chains.
            for (uint32_t j = 0; j < fanIn; ++j) ins.push_back(g.all[kind >= 7 && uni(0, 1) ? i - 1 : uni(0, i - 1)]);
            LayerOpType op = OP_AddBroadcast;
            uint32_t outSize = size;
            DataType outType = dtype;
            if (kind == 2) op = OP_Slice;
            if (kind >= 7) {
                op = OP_Reshape;
                const Tensor* src = ins[0]->kernel->output[0];
                outType = (DataType)src->dtype;
                outSize = uni(0, 3) ? GetTensorSize(src) : size;  // mostly aliasing
            }
            layer = Node(name.c_str(), op, ins, outSize, outType);
            if (executable) {
                layer->kernel->fn = op == OP_Reshape ? &kCopyFn : &kMixFn;
                float* bias = (float*)malloc(sizeof(float));
                *bias = (float)i;
                layer->kernel->params = bias;
            }
        }
        g.all.push_back(layer);
    }
    std::vector<Layer*> sinks;
    for (Layer* l : g.all)
        if (l->consumerLayersNum == 0) sinks.push_back(l);
    if (sinks.size() > 1 && uni(0, 3) == 0) sinks.erase(sinks.begin() + uni(0, (uint32_t)sinks.size() - 1));
    g.outputs = sinks;
    // Some outputs are also read by other layers.
    for (Layer* l : g.all)
        if (l->consumerLayersNum > 0 && uni(0, 7) == 0) g.outputs.push_back(l);
    std::shuffle(g.outputs.begin(), g.outputs.end(), rng);
    g.model = CreateModel(g.outputs.data(), (uint32_t)g.outputs.size());
    return g;
}

bool IsOutput(const RandomGraph& g, const Layer* l)
{
    return std::find(g.outputs.begin(), g.outputs.end(), l) != g.outputs.end();
}

// The layer whose storage `l`'s output really is, once aliasing reshapes
// are views.
const Layer* Storage(const RandomGraph& g, const Layer* l)
{
    while (l->op == OP_Reshape && !IsOutput(g, l) &&
           GetTensorSize(l->kernel->output[0]) == GetTensorSize(l->inputLayers[0]->kernel->output[0]))
        l = l->inputLayers[0];
    return l;
}

TEST(TensorsSharedMemory, RandomGraphsNeverOverlapLiveStorage)
{
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomGraph g = BuildRandomGraph(seed, false);
        Model* model = g.model;
        const uint32_t n = model->numLayers;
        const uint64_t size = PlanTensorsSharedMemory(model);
        const std::vector<Placed> plan = Plan(model);

        // Which layers must own planned storage, decided independently.
        std::vector<int> recordOf(n, -1);
        for (size_t k = 0; k < plan.size(); ++k) {
            ASSERT_LT(plan[k].first, n);
            ASSERT_EQ(recordOf[plan[k].first], -1) << "two records for one layer";
            recordOf[plan[k].first] = (int)k;
        }
        for (uint32_t i = 0; i < n; ++i) {
            const Layer* l = model->layers[i];
            const bool planned = l->op != OP_Initializer && l->op != OP_Slice && Storage(g, l) == l;
            EXPECT_EQ(recordOf[i] >= 0, planned) << l->name;
        }

        // True lifetime of each storage: written by its producer (inputs
        // before the first layer runs), read by every layer that reads it
        // through any chain of views, and by the host when it is an output.
        std::vector<uint32_t> useFirst(n), useLast(n);
        for (uint32_t i = 0; i < n; ++i) {
            useFirst[i] = model->layers[i]->op == OP_Input ? 0 : i;
            useLast[i] = i;
        }
        for (uint32_t i = 0; i < n; ++i) {
            const Layer* l = model->layers[i];
            for (uint32_t j = 0; j < l->inputLayersNum; ++j) {
                const uint32_t s = IndexOf(model, Storage(g, l->inputLayers[j]));
                useLast[s] = std::max(useLast[s], i);
            }
            if (IsOutput(g, l)) useLast[IndexOf(model, Storage(g, l))] = n - 1;
        }
        for (const Placed& p : plan) {
            const uint32_t start = model->layers[p.first]->op == OP_Input ? 0 : p.first;
            EXPECT_LE(start, useFirst[p.first]);
            EXPECT_GE(p.last, useLast[p.first]) << model->layers[p.first]->name;
        }

        // No two records live at the same time share a byte; offsets are
        // aligned; the size is the highest end; the order is by size.
        uint64_t top = 0;
        for (size_t a = 0; a < plan.size(); ++a) {
            EXPECT_EQ(plan[a].offset % 16, 0u);
            top = std::max<uint64_t>(top, (uint64_t)plan[a].offset + plan[a].size);
            if (a > 0) {
                const bool ordered = plan[a - 1].size > plan[a].size ||
                                     (plan[a - 1].size == plan[a].size && plan[a - 1].first < plan[a].first);
                EXPECT_TRUE(ordered) << a;
            }
            const uint32_t sa = model->layers[plan[a].first]->op == OP_Input ? 0 : plan[a].first;
            for (size_t b = a + 1; b < plan.size(); ++b) {
                const uint32_t sb = model->layers[plan[b].first]->op == OP_Input ? 0 : plan[b].first;
                const bool live = std::min(plan[a].last, plan[b].last) >= std::max(sa, sb);
                const bool sharesBytes = plan[a].size > 0 && plan[b].size > 0 &&
                                         plan[a].offset < plan[b].offset + plan[b].size &&
                                         plan[b].offset < plan[a].offset + plan[a].size;
                EXPECT_FALSE(live && sharesBytes) << "records " << a << " and " << b;
            }
        }
        EXPECT_EQ(size, top);
        EXPECT_EQ(model->useTensorsSharedMemory, top > 0);
        g.Destroy();
        if (HasFailure()) break;
    }
}

TEST(TensorsSharedMemory, PlannedModelsComputeWhatUnplannedOnesDo)
{
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomGraph plain = BuildRandomGraph(seed, true);
        RandomGraph planned = BuildRandomGraph(seed, true);
        PlanTensorsSharedMemory(planned.model);
        InitModel(plain.model, 1);
        InitModel(planned.model, 1);
        std::mt19937 rng(seed);
        for (int run = 0; run < 2; ++run) {
            std::vector<corvus_test::TensorPtr> tensors;
            std::vector<ModelInput> inputs;
            const IOLayers* io = plain.model->ioLayers;
            for (uint32_t i = 0; i < io->inputLayersCount; ++i) {
                Layer* in = io->inputLayers[i];
                tensors.push_back(corvus_test::NewTensor(DT_FLOAT32, corvus_test::DimsOf(in->kernel->output[0])));
                std::uniform_int_distribution<int> d(-8, 8);
                for (uint32_t e = 0; e < GetTensorSize(tensors.back().get()); ++e)
                    ((float*)tensors.back()->data)[e] = (float)d(rng);
                inputs.push_back({in->name, tensors.back().get()});
            }
            Predict(plain.model, (uint32_t)inputs.size(), inputs.data());
            Predict(planned.model, (uint32_t)inputs.size(), inputs.data());
            for (size_t k = 0; k < plain.outputs.size(); ++k) {
                const Tensor* a = plain.outputs[k]->kernel->output[0];
                const Tensor* b = planned.outputs[k]->kernel->output[0];
                ASSERT_EQ(GetTensorSize(a), GetTensorSize(b));
                ASSERT_EQ(memcmp(a->data, b->data, GetTensorSize(a) * 4), 0)
                    << "run " << run << " output " << plain.outputs[k]->name;
            }
        }
        plain.Destroy();
        planned.Destroy();
    }
}

TEST(TensorsSharedMemory, TwoInputsFedBeforeTheirReadersRun)
{
    // Order: i1, a, i2, b, d. Both inputs are written before a runs, so they
    // must not share storage even though i1 is last read before i2 is made.
    auto build = [](bool plan) {
        Layer* i1 = Input("i1", 4);
        Layer* a = Node("a", OP_AddBroadcast, {i1}, 4);
        Layer* i2 = Input("i2", 4);
        Layer* b = Node("b", OP_AddBroadcast, {i2}, 4);
        Layer* d = Node("d", OP_AddBroadcast, {a, b}, 4);
        for (Layer* l : {a, b, d}) {
            l->kernel->fn = &kMixFn;
            l->kernel->params = calloc(1, sizeof(float));
        }
        Model* model = CreateModel(&d, 1);
        if (plan) PlanTensorsSharedMemory(model);
        InitModel(model, 1);
        return model;
    };
    Model* model = build(true);
    const float x1[] = {1, 2, 3, 4}, x2[] = {10, 20, 30, 40};
    corvus_test::TensorPtr t1 = corvus_test::NewTensor(DT_FLOAT32, {4}), t2 = corvus_test::NewTensor(DT_FLOAT32, {4});
    PutTensorData(x1, t1.get());
    PutTensorData(x2, t2.get());
    const ModelInput inputs[] = {{"i1", t1.get()}, {"i2", t2.get()}};
    const float* y = (const float*)Predict(model, 2, inputs)[0]->kernel->output[0]->data;
    // d = a + 2 b = x1 + 2 x2.
    for (int e = 0; e < 4; ++e) EXPECT_EQ(y[e], x1[e] + 2 * x2[e]) << e;
    DestroyModel(model);
}

}  // namespace
