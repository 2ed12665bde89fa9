#define CORVUS_MODULE "Layers"
#include <chrono>
#include <cstdio>
#include <ctime>

#include "KernelShares.h"
#include "Model.h"
#include "Report.h"

namespace {

// Wall time in clock() ticks: with several threads, clock() adds up the
// processor time of all of them.
uint64_t WallTicks()
{
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    return (uint64_t)((double)ns * ((double)CLOCKS_PER_SEC / 1e9));
}

}  // namespace

extern "C" void ExecuteModel(Model* model)
{
    CV_CHECK_PTR(model);
    const bool severalCores =
        model->corePool != nullptr || (model->numLayers > 0 && model->layers[0]->kernel->coresNumber > 1);
    if (!severalCores) {
        // One clock() reading ends a layer and starts the next. clock() is a
        // system call (over a microsecond on some machines), and a small
        // model's layers last a few microseconds each; nothing but the loop
        // itself runs between the two kernels, so the counts are the same.
        uint64_t tick = (uint64_t)std::clock();
        for (uint32_t i = 0; i < model->numLayers; ++i) {
            Layer* layer = model->layers[i];
            SetZeroToStatValues(&layer->stat);
            layer->stat.tics = tick;  // the start tick
            NNKernel* kernel = layer->kernel;
            if (kernel->fn != nullptr) kernel->fn->execute(kernel);
            SetDiffToStatValues(&layer->stat);
            tick += layer->stat.tics;
        }
        return;
    }
    BeginCoresRun(model);
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* layer = model->layers[i];
        SetZeroToStatValues(&layer->stat);
        const uint64_t start = WallTicks();
        NNKernel* kernel = layer->kernel;
        if (kernel->fn != nullptr) {
            if (layer->coreKernels[0] != nullptr && model->corePool != nullptr)
                RunLayerShares(model, layer);
            else
                kernel->fn->execute(kernel);
        }
        layer->stat.tics = WallTicks() - start;
    }
    EndCoresRun(model);
}

extern "C" void ExecuteModelDebug(Model* model)
{
    CV_CHECK_PTR(model);
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* layer = model->layers[i];
        printf("computing %d/%d layer: %s\n", (int)i, (int)model->numLayers, layer->name);
        SetZeroToStatValues(&layer->stat);
        SetDiffToStatValues(&layer->stat);
        NNKernel* kernel = layer->kernel;
        if (kernel->fn != nullptr) {
            if (layer->coreKernels[0] != nullptr) {
                // A core kernel without its own function set runs the layer's.
                for (NNKernel* core : layer->coreKernels)
                    if (core != nullptr) (core->fn != nullptr ? core->fn : kernel->fn)->execute(core);
            } else {
                kernel->fn->execute(kernel);
            }
        }
        SetDiffToStatValues(&layer->stat);
    }
}

extern "C" void SetModelCoresNumber(Model* model, uint32_t n)
{
    CV_CHECK_PTR(model);
    if (n == 0) CV_FATAL("SetModelCoresNumber: the number of cores must be at least 1");
    if (n > MAX_CORE_KERNELS) n = MAX_CORE_KERNELS;
    for (uint32_t i = 0; i < model->numLayers; ++i) model->layers[i]->kernel->coresNumber = n;
    if (model->isInitialized) ApplyModelCores(model);
}
