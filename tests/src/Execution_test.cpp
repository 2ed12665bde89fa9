#include <atomic>
#include <ctime>
#include <thread>

#include "LayersActivation.h"
#include "LayersConvolution.h"
#include "LayersDataMovement.h"
#include "LayersDense.h"
#include "LayersPooling.h"
#include "Profiling.h"
#include "KernelShares.h"
#include "ThreadPool.h"
#include "conv_util.h"
#include "graph_util.h"

namespace {

const clock_t kBusy = 3 * CLOCKS_PER_SEC / 1000;  // 3 ms of processor time
std::vector<const NNKernel*> gRun;
void Run(NNKernel* k) { gRun.push_back(k); }
void RunBusy(NNKernel* k)
{
    gRun.push_back(k);
    for (const clock_t start = clock(); clock() - start < kBusy;) {}
}
const NNKernelFn kRun = {Run, nullptr, nullptr, nullptr};
const NNKernelFn kRunBusy = {RunBusy, nullptr, nullptr, nullptr};

// A model record assembled by hand: layers named a, b, ... with the given
// kernel functions, in execution order.
struct HandModel {
    Model m{};
    explicit HandModel(std::vector<const NNKernelFn*> fns)
    {
        m.layers = (Layer**)malloc(fns.size() * sizeof(Layer*));
        for (const NNKernelFn* fn : fns) {
            const char name[2] = {(char)('a' + m.numLayers), 0};
            (m.layers[m.numLayers++] = CreateLayer(name, OP_Input, nullptr, nullptr, 0, 0))->kernel->fn = fn;
        }
        gRun.clear();
    }
    Layer* operator[](int i) const { return m.layers[i]; }
    ~HandModel()
    {
        for (uint32_t i = 0; i < m.numLayers; ++i) DestroyLayer(m.layers[i]);
        free(m.layers);
    }
};

TEST(Execution, RunsKernelsInStoredOrderTimesEachLayerAndDebugLoopRunsCores)
{
    HandModel hm({&kRunBusy, nullptr, &kRun, &kRun});
    for (int i = 0; i < 4; ++i) hm[i]->stat = StatValues{123456789, 5};
    const clock_t before = clock();
    ExecuteModel(&hm.m);
    const uint64_t spent = (uint64_t)(clock() - before);
    EXPECT_EQ(gRun, (std::vector<const NNKernel*>{hm[0]->kernel, hm[2]->kernel, hm[3]->kernel}));
    uint64_t sum = 0;  // each layer's own ticks, not those since the loop began
    for (int i = 0; i < 4; ++i) {
        sum += hm[i]->stat.tics;
        EXPECT_EQ(hm[i]->stat.instrs, 0u) << i;
    }
    EXPECT_LE(sum, spent);
    EXPECT_GE(hm[0]->stat.tics, (uint64_t)kBusy);  // elapsed ticks of that layer alone

    // The debug loop prints its progress and runs the core kernels.
    HandModel debug({&kRun, &kRun, nullptr, &kRun});
    auto core = [](Layer* l, int slot) {
        NNKernel* k = l->coreKernels[slot] = (NNKernel*)calloc(1, sizeof(NNKernel));
        k->fn = &kRun;
        return k;
    };
    NNKernel* a0 = core(debug[0], 0);
    NNKernel* a2 = core(debug[0], 2);
    core(debug[1], 1);  // the first slot decides: b runs its main kernel
    core(debug[2], 0);  // c has no function set and is skipped
    testing::internal::CaptureStdout();
    ExecuteModelDebug(&debug.m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "computing 0/4 layer: a\ncomputing 1/4 layer: b\ncomputing 2/4 layer: c\ncomputing 3/4 layer: d\n");
    EXPECT_EQ(gRun, (std::vector<const NNKernel*>{a0, a2, debug[1]->kernel, debug[3]->kernel}));
}

// Every task of a batch runs once, and Run returns only when all are done;
// batches of every size, below, at and above the thread count, follow each
// other at once, within a run and outside. The caller takes tasks from the
// front, the workers from the back. A task that stalls its thread (as a
// preempted core would) leaves all the others to the remaining threads:
// task 0 waits for them.
TEST(Execution, PoolRunsEachTaskOnceAndWaitsForAll)
{
    struct Tally {
        std::atomic<uint32_t> hits[40];
        uint32_t seen[40];  // plain: written by the tasks, read after Run
        std::thread::id caller;
        std::atomic<uint32_t> firstOther;  // the first task a worker ran
        std::atomic<uint32_t> others;
        uint32_t count;
        bool stalled;
    } t{};
    t.caller = std::this_thread::get_id();
    corvus::ThreadPool pool(4);
    uint32_t expected[40] = {0};
    for (uint32_t r = 0; r < 400; ++r) {
        const uint32_t count = 1 + r % 40;
        if (r % 100 == 50) pool.BeginRun();
        pool.Run(
            count,
            [](void* c, uint32_t i) {
                Tally* tally = (Tally*)c;
                tally->hits[i].fetch_add(1);
                ++tally->seen[i];
            },
            &t);
        if (r % 100 == 99) pool.EndRun();
        for (uint32_t i = 0; i < count; ++i) ++expected[i];
        ASSERT_EQ(t.seen[count - 1], expected[count - 1]) << r;
    }
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(t.hits[i].load(), expected[i]) << i;
    corvus::ThreadPool two(2);
    for (uint32_t count : {2u, 5u, 8u, 16u}) {
        t.others = 0;
        t.count = count;
        t.firstOther = UINT32_MAX;
        two.Run(
            count,
            [](void* c, uint32_t i) {
                Tally* tally = (Tally*)c;
                uint32_t none = UINT32_MAX;
                if (std::this_thread::get_id() != tally->caller) tally->firstOther.compare_exchange_strong(none, i);
                if (i != 0) {
                    tally->others.fetch_add(1);
                    return;
                }
                const clock_t start = clock();
                while (tally->others.load() != tally->count - 1)
                    if (clock() - start > 20 * CLOCKS_PER_SEC) return;  // the others never came
                tally->stalled = true;
            },
            &t);
        EXPECT_TRUE(t.stalled) << count;
        EXPECT_EQ(t.firstOther.load(), count - 1);
        t.stalled = false;
    }
}

// Layers of every split family and both ways the convolution splits
// (pixels; output-channel blocks when the filter outweighs the input), with
// borders, strides, dilation, channels past the vector blocks and fused
// clamps; weights and input random, kernels chosen as for a loaded model.
struct SplitNet {
    graph_util::ModelPtr m;
    std::vector<Layer*> split;  // the layers that must run in shares
    std::vector<float> x;
    SplitNet()
    {
        using conv_test::Pads;
        Layer* in = graph_util::Image("x", 23, 19, 5);
        const ActivationParams relu = {ReLU, 0}, none = {None, 0}, leaky = {LeakyReLU, 0.1f};
        const PaddingStruct same = Pads(23, 19, 1, 1, 1, 1), valid = Pads(23, 19), dil = Pads(7, 5);
        const PaddingStruct pooled = Pads(12, 10, 1, 1, 1, 1);
        Layer* c1 = AddConv2DLayer(in, nullptr, "c1", DL_NHWC, 40, 3, 3, 1, 1, 1, 1, &same, true, relu, 1);
        Layer* dw = AddDepthwiseConv2DLayer(c1, nullptr, "dw", DL_NHWC, 3, 3, 1, 1, 1, 1, 1, &same, true, ReLU6);
        Layer* pw = AddConv2DLayer(dw, nullptr, "pw", DL_NHWC, 44, 1, 1, 1, 1, 1, 1, &valid, false, none, 1);
        Layer* deep = AddConv2DLayer(pw, nullptr, "deep", DL_NHWC, 72, 3, 3, 3, 3, 2, 2, &dil, true, leaky, 1);
        Layer* maxp = AddMaxPool2DLayer(pw, nullptr, "maxp", DL_NHWC, 3, 3, 2, 2, 0, &pooled, 0);
        Layer* avgp = AddAveragePool2DLayer(pw, nullptr, "avgp", DL_NHWC, 3, 3, 2, 2, 0, &pooled, 0);
        Layer* gap = AddGlobalAveragePool2DLayer(deep, nullptr, "gap", DL_NHWC, 0);
        Layer* fc = AddDenseLayer(AddFlattenLayer(maxp, nullptr, "flat"), nullptr, "fc", 70, true, ReLU);
        Layer* sig = AddActivationLayer(avgp, nullptr, "sig", {Sigmoid, 0});
        Layer* silu = AddActivationLayer(deep, nullptr, "silu", {XmulSigmX, 0});
        Layer* both[2] = {c1, dw};
        Layer* cat = AddConcatenateLayer(both, nullptr, 2, "cat", 3);
        Layer* sum = AddAddLayer(both, nullptr, 2, "sum");
        split = {c1, dw, pw, deep, maxp, avgp, gap, fc, sig, silu, cat, sum};
        m = graph_util::MakeModel({silu, pw, sig, gap, fc, cat, sum});
        graph_util::FillWeights(m.get(), 35);
        std::mt19937 rng(36);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        x.resize(23 * 19 * 5);
        for (float& v : x) v = u(rng);
        OptimizeModel(m.get(), 0);
        InitModel(m.get(), 1);
    }
    std::vector<std::vector<float>> Run() { return graph_util::Predicted(m.get(), {x}); }
};

bool SameBits(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.size() == y.size() && memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
    });
}

TEST(Execution, SharesOnSeveralCoresGiveTheBitsOfOneCore)
{
    // Every family splits here, into as many shares as it has units.
    const uint64_t minWork = corvus_internal::SetMinShareWork(1);
    SplitNet net;
    // (Before any thread exists: the death test forks.)
    EXPECT_EXIT(SetModelCoresNumber(net.m.get(), 0), ::testing::ExitedWithCode(1), "at least 1");
    const auto one = net.Run();
    EXPECT_EQ(net.m->corePool, nullptr);  // one core: no thread, no shares
    // c1 has 437 output pixels: about four shares per core, in uneven
    // ranges, taken by whichever thread comes free; the statistics count cores.
    const std::vector<uint32_t> c1Shares = {0, 0, 8, 12, 16, 15};
    for (uint32_t n : {2u, 3u, 4u, 1u, 5u, 40u}) {
        SetModelCoresNumber(net.m.get(), n);
        for (Layer* l : net.split) EXPECT_EQ(GetKernelCoreCount(l) > 1, n > 1) << l->name << " at " << n;
        EXPECT_EQ(net.m->corePool != nullptr, n > 1);
        EXPECT_EQ(GetKernelCoreCount(net.split[0]), n < c1Shares.size() ? c1Shares[n] : 16u) << n;
        EXPECT_TRUE(SameBits(net.Run(), one)) << n << " cores";
        // The input again (planned memory reuses its storage), then the
        // debug loop: the shares in slot order.
        memcpy(net.m->ioLayers->inputLayers[0]->kernel->output[0]->data, net.x.data(), net.x.size() * sizeof(float));
        testing::internal::CaptureStdout();
        ExecuteModelDebug(net.m.get());
        testing::internal::GetCapturedStdout();
        std::vector<std::vector<float>> debug;
        for (uint32_t j = 0; j < net.m->ioLayers->outputLayersCount; ++j)
            debug.push_back(graph_util::Values(net.m->ioLayers->outputLayers[j]->kernel->output[0]));
        EXPECT_TRUE(SameBits(debug, one)) << n << " cores, debug loop";
        if (n == 3) {
            const std::string row = corvus_test::Printed([&](FILE* f) { SaveLayerStatisticToCSV(net.split[0], f, 0); });
            EXPECT_EQ(row.substr(row.rfind(';')), ";3\n");
        }
    }
    // Shares: four per core, at most 16, a multiple of the cores when more
    // than them, none smaller than the least work.
    const uint64_t big = 1u << 30;  // cores, units, least work, shares
    const uint64_t shares[][4] = {{2, 1000, big, 8}, {5, 1000, big, 15}, {40, 1000, big, 16}, {2, 7, big, 6},
                                  {4, 3, big, 3},    {3, 1000, 7, 6},    {2, 1000, 1, 1}};
    for (const auto& c : shares) EXPECT_EQ(ShareCount((uint32_t)c[0], c[1], c[2]), c[3]) << c[0] << " cores, " << c[1];
    // Their ranges cover the units, none empty, the largest at the ends
    // (taken first), the smallest in the middle (taken last).
    for (uint64_t units : {2, 7, 16, 17, 437, 100000})
        for (uint64_t n = 1; n <= 16 && n <= units; ++n) {
            uint64_t b[MAX_CORE_KERNELS + 1];
            ShareBounds(units, n, b);
            ASSERT_TRUE(b[0] == 0 && b[n] == units) << units << " in " << n;
            for (uint64_t i = 0; i < n; ++i) ASSERT_GT(b[i + 1], b[i]) << units << " in " << n << ", share " << i;
            const uint64_t middle = b[n / 2 + 1] - b[n / 2];
            if (units >= 437 && n >= 6) {
                EXPECT_GE(b[1] - b[0], 2 * middle) << units << " in " << n;
                EXPECT_GE(b[n] - b[n - 1], 2 * middle) << units << " in " << n;
            }
        }
    corvus_internal::SetMinShareWork(minWork);
    // Too little work for a second share: the layers run whole, on no thread.
    SplitNet small;
    SetModelCoresNumber(small.m.get(), 4);
    EXPECT_EQ(GetKernelCoreCount(small.split[6]), 0u);
    EXPECT_TRUE(SameBits(small.Run(), one));
}

}  // namespace
