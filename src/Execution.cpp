#define CORVUS_MODULE "Layers"
#include <cstdio>

#include "Model.h"
#include "Report.h"

extern "C" void ExecuteModel(Model* model)
{
    CV_CHECK_PTR(model);
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* layer = model->layers[i];
        SetZeroToStatValues(&layer->stat);
        SetDiffToStatValues(&layer->stat);
        NNKernel* kernel = layer->kernel;
        if (kernel->fn != nullptr) kernel->fn->execute(kernel);
        SetDiffToStatValues(&layer->stat);
    }
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
    for (uint32_t i = 0; i < model->numLayers; ++i) model->layers[i]->kernel->coresNumber = n;
}
