#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <vector>

#include "Layers.h"
#include "Model.h"

namespace {

const clock_t kBusy = 3 * CLOCKS_PER_SEC / 1000;  // 3 ms of processor time
std::vector<const NNKernel*> gRun;
void Run(NNKernel* k) { gRun.push_back(k); }
void RunBusy(NNKernel* k)
{
    gRun.push_back(k);
    for (const clock_t start = clock(); clock() - start < kBusy;) {
    }
}
const NNKernelFn kRun = {Run, nullptr, nullptr, nullptr};
const NNKernelFn kRunBusy = {RunBusy, nullptr, nullptr, nullptr};

Layer* Make(const char* name, const NNKernelFn* fn)
{
    Layer* l = CreateLayer(name, OP_Input, nullptr, nullptr, 0, 0);
    l->kernel->fn = fn;
    return l;
}

NNKernel* Core(Layer* l, int slot)
{
    NNKernel* k = l->coreKernels[slot] = (NNKernel*)calloc(1, sizeof(NNKernel));
    k->fn = &kRun;
    return k;
}

// A model record assembled by hand: the given layers in execution order.
struct HandModel {
    Model* m = (Model*)calloc(1, sizeof(Model));
    explicit HandModel(const std::vector<Layer*>& layers)
    {
        m->layers = (Layer**)malloc(layers.size() * sizeof(Layer*));
        for (Layer* l : layers) m->layers[m->numLayers++] = l;
        gRun.clear();
    }
    Layer* operator[](int i) const { return m->layers[i]; }
    ~HandModel()
    {
        for (uint32_t i = 0; i < m->numLayers; ++i) DestroyLayer(m->layers[i]);
        free(m->layers);
        free(m);
    }
};

}  // namespace

TEST(Execution, RunsKernelsInStoredOrderAndTimesEachLayer)
{
    HandModel hm({Make("c", &kRunBusy), Make("a", nullptr), Make("b", &kRun), Make("d", &kRun)});
    for (int i = 0; i < 4; ++i) hm[i]->stat = StatValues{123456789, 5};
    const clock_t before = clock();
    ExecuteModel(hm.m);
    const uint64_t spent = (uint64_t)(clock() - before);
    EXPECT_EQ(gRun, (std::vector<const NNKernel*>{hm[0]->kernel, hm[2]->kernel, hm[3]->kernel}));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(hm[i]->stat.tics <= spent && hm[i]->stat.instrs == 0) << i;
    EXPECT_GE(hm[0]->stat.tics, (uint64_t)kBusy);  // elapsed ticks of that layer alone

    SetModelCoresNumber(hm.m, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(hm[i]->kernel->coresNumber, 4u);
    Model empty{};
    ExecuteModel(&empty);
}

TEST(Execution, DebugLoopPrintsProgressAndRunsCoreKernels)
{
    HandModel hm({Make("a", &kRun), Make("b", &kRun), Make("c", nullptr), Make("d", &kRun)});
    NNKernel* a0 = Core(hm[0], 0);
    NNKernel* a2 = Core(hm[0], 2);
    Core(hm[1], 1);  // the first slot decides: b runs its main kernel
    Core(hm[2], 0);  // c has no function set and is skipped
    testing::internal::CaptureStdout();
    ExecuteModelDebug(hm.m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "computing 0/4 layer: a\ncomputing 1/4 layer: b\ncomputing 2/4 layer: c\ncomputing 3/4 layer: d\n");
    EXPECT_EQ(gRun, (std::vector<const NNKernel*>{a0, a2, hm[1]->kernel, hm[3]->kernel}));
}
