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

TEST(Execution, RunsKernelsInStoredOrderAndTimesEachLayer)
{
    HandModel hm({&kRunBusy, nullptr, &kRun, &kRun});
    for (int i = 0; i < 4; ++i) hm[i]->stat = StatValues{123456789, 5};
    const clock_t before = clock();
    ExecuteModel(&hm.m);
    const uint64_t spent = (uint64_t)(clock() - before);
    EXPECT_EQ(gRun, (std::vector<const NNKernel*>{hm[0]->kernel, hm[2]->kernel, hm[3]->kernel}));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(hm[i]->stat.tics <= spent && hm[i]->stat.instrs == 0) << i;
    EXPECT_GE(hm[0]->stat.tics, (uint64_t)kBusy);  // elapsed ticks of that layer alone
}

TEST(Execution, DebugLoopPrintsProgressAndRunsCoreKernels)
{
    HandModel hm({&kRun, &kRun, nullptr, &kRun});
    auto core = [](Layer* l, int slot) {
        NNKernel* k = l->coreKernels[slot] = (NNKernel*)calloc(1, sizeof(NNKernel));
        k->fn = &kRun;
        return k;
    };
    NNKernel* a0 = core(hm[0], 0);
    NNKernel* a2 = core(hm[0], 2);
    core(hm[1], 1);  // the first slot decides: b runs its main kernel
    core(hm[2], 0);  // c has no function set and is skipped
    testing::internal::CaptureStdout();
    ExecuteModelDebug(&hm.m);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "computing 0/4 layer: a\ncomputing 1/4 layer: b\ncomputing 2/4 layer: c\ncomputing 3/4 layer: d\n");
    EXPECT_EQ(gRun, (std::vector<const NNKernel*>{a0, a2, hm[1]->kernel, hm[3]->kernel}));
}

}  // namespace
