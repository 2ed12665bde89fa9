// Shared memory plan: usage records, offsets and the buffer, and random
// graphs whose records never overlap while live. (Planned models run end to
// end in the readers' tests, which optimise every model.)

#include <array>

#include "LayersActivation.h"
#include "LayersDetection.h"
#include "TensorsSharedMemory.h"
#include "graph_util.h"

using namespace graph_util;

namespace {

using Placed = std::array<uint32_t, 4>;  // first layer, last layer, size, offset

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

TEST(TensorsSharedMemory, ChainReusesSlotsAndOffsetsUseTheGapOfTheLastOverlappingRecord)
{
    Layer* a = Input("A", 25);
    Layer* b = Node("B", OP_AddBroadcast, {a}, 25);
    Layer* c = Node("C", OP_AddBroadcast, {b}, 25);
    Layer* d = Node("D", OP_AddBroadcast, {c}, 25);
    ModelPtr model = MakeModel({d});
    EXPECT_EQ(PlanTensorsSharedMemory(model.get()), 212u);
    EXPECT_EQ(PlanTensorsSharedMemory(model.get()), 212u);  // planning again replaces the plan (leak checks)
    const TensorsSharedMemory& shm = model->tensorsSharedMemory;
    ASSERT_TRUE(model->useTensorsSharedMemory && shm.data && shm.size == 212);
    EXPECT_EQ(Plan(model.get()),
              (std::vector<Placed>{{0, 1, 100, 0}, {1, 2, 100, 112}, {2, 3, 100, 0}, {3, 3, 100, 112}}));
    EXPECT_EQ(std::count(shm.data, shm.data + 212, 0), 212);  // zero-filled
    EXPECT_EQ((uintptr_t)shm.data % 64, 0u);                  // whole vectors never straddle two cache lines

    // InitModel points each planned output into the buffer.
    InitModel(model.get(), 1);
    for (Layer* l : {a, b, c, d})
        EXPECT_EQ(l->kernel->output[0]->data, shm.data + (l == b || l == d ? 112 : 0)) << l->name;
    EXPECT_FALSE(d->kernel->output[0]->allocatedData);

    // Placement order is record order here; lifetimes are inclusive.
    RecordsModel m({{0, 9, 100}, {0, 1, 100}, {0, 9, 100}, {5, 9, 60}, {5, 9, 40}});
    EXPECT_EQ(OffsetCalculation(&m.model), 376u);
    // R3 lands in R1's slot, freed after layer 1, because R2 (placed after
    // R0, the record below the slot) is the last overlapping one. R4 sees
    // the same gap offered by R2, but R3 comes later and offers none, so R4
    // goes above everything although [176, 224) is free.
    EXPECT_EQ(std::vector<uint32_t>(m.offsets.begin(), m.offsets.begin() + 5),
              (std::vector<uint32_t>{0, 112, 224, 112, 336}));

    // Record 5 does not overlap record 3, and record 4 (the last overlapping
    // one) offers the gap [48, 112) that record 3 leaves, so record 5 takes it.
    RecordsModel g({{0, 9, 16}, {0, 9, 16}, {0, 9, 16}, {0, 1, 64}, {0, 9, 16}, {2, 9, 16}});
    EXPECT_EQ(OffsetCalculation(&g.model), 128u);
    EXPECT_EQ(std::vector<uint32_t>(g.offsets.begin() + 3, g.offsets.begin() + 6),
              (std::vector<uint32_t>{48, 112, 48}));

    RecordsModel odd({{0, 1, 5}, {0, 1, 3}});  // the total is not rounded up
    EXPECT_EQ(OffsetCalculation(&odd.model), 19u);
    EXPECT_EQ(odd.offsets[1], 16u);
}

TEST(TensorsSharedMemory, StaticOutputsGetNoRecord)
{
    // Slices are static; so are reshapes that can alias their input, but not
    // those that are outputs, change the element count or read strided data.
    Layer* in = Input("in", 12);
    Layer* slice = Node("slice", OP_Slice, {in}, 4);
    Layer* alias = Node("alias", OP_Reshape, {in}, 12);
    Layer* resize = Node("resize", OP_Reshape, {in}, 6);
    Layer* strided = Node("strided", OP_Reshape, {in}, 12);
    DestroyTensor(strided->kernel->input[0]);
    strided->kernel->input[0] = corvus_test::NewTensor(DT_FLOAT32, {3, 4}, {8, 1}, false).release();
    Layer* outReshape = Node("outReshape", OP_Reshape, {in}, 12);
    ModelPtr model = MakeModel({Node("sum", OP_AddBroadcast, {slice, alias, resize, strided}, 4), outReshape});
    PlanTensorsSharedMemory(model.get());
    EXPECT_TRUE(slice->staticOutput && alias->staticOutput);
    EXPECT_FALSE(resize->staticOutput || strided->staticOutput || outReshape->staticOutput);
    EXPECT_EQ(Plan(model.get()).size(), 5u);  // in, resize, strided, sum, outReshape

    ModelPtr initialized = MakeModel({Input("in", 4)});
    InitModel(initialized.get(), 1);
    corvus_test::ExpectExitRe({
        {[&] { PlanTensorsSharedMemory(initialized.get()); }, "Memory of an initialized model cannot be planned"},
        {[] { PlanTensorsSharedMemory(MakeModel({Input("in", 0x20000000u)}).get()); },  // 2 GiB of floats
         "planned outputs must stay below 2 GiB"},
    });
}

// Anchors are computed once at initialisation; layers that run before the
// AnchorBoxes layer must not share their planned storage.
TEST(TensorsSharedMemory, PlannedAnchorsSurviveEarlierLayers)
{
    const float variances[4] = {0.1f, 0.1f, 0.2f, 0.2f}, ratio = 1.0f;
    Layer* a1 = AddActivationLayer(Image("x", 4, 5, 8), nullptr, "relu1", {ReLU, 0.0f});
    Layer* a2 = AddActivationLayer(a1, nullptr, "relu2", {ReLU, 0.0f});
    Layer* anchors = AddAnchorBoxesLayer(a2, nullptr, "anchors", 300, 400, 1, &ratio, false, false, variances,
                                         CT_Centroids, true, 16.0f, 0.5f, 0.2f, 0.35f);
    ModelPtr model = MakeModel({anchors, a2});
    ASSERT_GT(PlanTensorsSharedMemory(model.get()), 0u);
    InitModel(model.get(), 1);
    const std::vector<float> atInit = Values(anchors->kernel->output[0]);
    Predicted(model.get(), {std::vector<float>(160, 7.0f)});
    EXPECT_EQ(Values(anchors->kernel->output[0]), atInit);
}

struct RandomGraph {
    std::vector<Layer*> all, outputs;
    ModelPtr model;
    bool IsOutput(const Layer* l) const { return std::find(outputs.begin(), outputs.end(), l) != outputs.end(); }
    // The layer whose storage `l`'s output really is, once aliasing reshapes are views.
    const Layer* Storage(const Layer* l) const
    {
        while (l->op == OP_Reshape && !IsOutput(l) &&
               GetTensorSize(l->kernel->output[0]) == GetTensorSize(l->inputLayers[0]->kernel->output[0]))
            l = l->inputLayers[0];
        return l;
    }
    ~RandomGraph()  // layers outside the model are not destroyed with it
    {
        std::vector<Layer*> stray;
        for (Layer* l : all)
            if (IndexOf(model.get(), l) == 0xFFFFFFFFu) stray.push_back(l);
        model.reset();
        for (Layer* l : stray) DestroyLayer(l);
    }
};

// The same graph for the same seed: up to three inputs, constants, slices
// (static outputs), reshapes (aliasing or not, chained at times) and mixing
// layers, some sharing a name. Every sink but possibly one is a model
// output, and some outputs are also read by other layers.
void BuildRandomGraph(RandomGraph& g, uint32_t seed)
{
    std::mt19937 rng(seed);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    uint32_t inputs = 0;
    for (uint32_t i = 0, n = uni(3, 40); i < n; ++i) {
        const uint32_t kind = i == 0 ? 0 : uni(0, 9);
        const bool input = kind == 0 && inputs < 3;  // inputs are fed by name
        const std::string name = !input && uni(0, 3) == 0 ? "dup" : "L" + std::to_string(i);
        const DataType dtype = uni(0, 3) != 0 ? DT_FLOAT32 : DT_UINT8;
        const uint32_t size = uni(1, 64);
        Layer* layer;
        if (input) {
            layer = Input(name.c_str(), size, dtype);
            ++inputs;
        } else if (kind == 1) {
            layer = Constant(name.c_str(), size, dtype);
        } else {
            std::vector<Layer*> ins;
            const uint32_t fanIn = (kind == 2 || kind >= 7) ? 1 : uni(1, 3);
            // Reshapes often read the layer just made, which builds chains.
            for (uint32_t j = 0; j < fanIn; ++j) ins.push_back(g.all[kind >= 7 && uni(0, 1) ? i - 1 : uni(0, i - 1)]);
            const Tensor* src = ins[0]->kernel->output[0];
            const LayerOpType op = kind == 2 ? OP_Slice : kind >= 7 ? OP_Reshape : OP_AddBroadcast;
            if (op == OP_Reshape)  // mostly aliasing
                layer = Node(name.c_str(), op, ins, uni(0, 3) ? GetTensorSize(src) : size, (DataType)src->dtype);
            else
                layer = Node(name.c_str(), op, ins, size, dtype);
        }
        g.all.push_back(layer);
    }
    for (Layer* l : g.all)
        if (l->consumerLayersNum == 0) g.outputs.push_back(l);
    if (g.outputs.size() > 1 && uni(0, 3) == 0)
        g.outputs.erase(g.outputs.begin() + uni(0, (uint32_t)g.outputs.size() - 1));
    for (Layer* l : g.all)
        if (l->consumerLayersNum > 0 && uni(0, 7) == 0) g.outputs.push_back(l);
    std::shuffle(g.outputs.begin(), g.outputs.end(), rng);
    g.model = MakeModel(g.outputs);
}

TEST(TensorsSharedMemory, RandomGraphsNeverOverlapLiveStorage)
{
    for (uint32_t seed = 1; seed <= 150 && !HasFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomGraph g;
        BuildRandomGraph(g, seed);
        Model* model = g.model.get();
        const uint32_t n = model->numLayers;
        const uint64_t size = PlanTensorsSharedMemory(model);
        const std::vector<Placed> plan = Plan(model);
        auto start = [&](const Placed& p) { return model->layers[p[0]]->op == OP_Input ? 0 : p[0]; };

        // Which layers own planned storage, decided independently.
        std::vector<int> recordOf(n, -1);
        for (size_t k = 0; k < plan.size(); ++k) {
            ASSERT_TRUE(plan[k][0] < n && recordOf[plan[k][0]] == -1)
                << "bad or second record for layer " << plan[k][0];
            recordOf[plan[k][0]] = (int)k;
        }
        for (uint32_t i = 0; i < n; ++i) {
            const Layer* l = model->layers[i];
            EXPECT_EQ(recordOf[i] >= 0, l->op != OP_Initializer && l->op != OP_Slice && g.Storage(l) == l) << l->name;
        }
        // True last use of each storage: every layer reading it through any
        // chain of views, and the host when it is an output.
        std::vector<uint32_t> useLast(n);
        for (uint32_t i = 0; i < n; ++i) {
            const Layer* l = model->layers[i];
            useLast[i] = std::max(useLast[i], i);
            for (uint32_t j = 0; j < l->inputLayersNum; ++j) {
                const uint32_t s = IndexOf(model, g.Storage(l->inputLayers[j]));
                useLast[s] = std::max(useLast[s], i);
            }
            if (g.IsOutput(l)) useLast[IndexOf(model, g.Storage(l))] = n - 1;
        }
        // Records live at the same time share no byte; offsets are aligned;
        // the size is the highest end; the order is by size, then producer.
        uint64_t top = 0;
        for (size_t a = 0; a < plan.size(); ++a) {
            EXPECT_GE(plan[a][1], useLast[plan[a][0]]) << model->layers[plan[a][0]]->name;
            EXPECT_EQ(plan[a][3] % 16, 0u);
            top = std::max<uint64_t>(top, (uint64_t)plan[a][3] + plan[a][2]);
            const bool ordered =
                a == 0 || plan[a - 1][2] > plan[a][2] || (plan[a - 1][2] == plan[a][2] && plan[a - 1][0] < plan[a][0]);
            EXPECT_TRUE(ordered) << a;
            for (size_t b = a + 1; b < plan.size(); ++b) {
                const bool live = std::min(plan[a][1], plan[b][1]) >= std::max(start(plan[a]), start(plan[b]));
                const bool sharesBytes = plan[a][2] > 0 && plan[b][2] > 0 && plan[a][3] < plan[b][3] + plan[b][2] &&
                                         plan[b][3] < plan[a][3] + plan[a][2];
                EXPECT_FALSE(live && sharesBytes) << "records " << a << " and " << b;
            }
        }
        EXPECT_EQ(size, top);
        EXPECT_EQ(model->useTensorsSharedMemory, top > 0);
    }
}

}  // namespace
