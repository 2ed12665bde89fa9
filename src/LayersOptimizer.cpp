#define CORVUS_MODULE "LayersOptimizer"
#include "LayersOptimizer.h"

#include "Report.h"

extern "C" bool is_fit_for_OptimizeReshape(Tensor* in, Tensor* out, Layer** outputs, uint32_t outputsCount,
                                           Layer* layer)
{
    if (in->dtype != out->dtype) CV_FATAL("%s error: in->dtype!=out->dtype", "is_fit_for_OptimizeReshape");
    return GetTensorSize(in) == GetTensorSize(out) && IsSerialData(in) && IsSerialData(out) &&
           !IsLayerInList(outputs, outputsCount, layer);
}

extern "C" uint32_t OptimizeReshape(Layer** layers, uint32_t count, Layer** outputs, uint32_t outputsCount)
{
    uint32_t converted = 0;
    for (uint32_t i = 0; i < count; ++i) {
        Layer* r = layers[i];
        if (r->op != OP_Reshape) continue;
        Tensor* in = r->kernel->input[0];
        Tensor* out = r->kernel->output[0];
        if (in->dtype != out->dtype) CV_FATAL("%s error: in->dtype!=out->dtype", "OptimizeReshape");
        if (!is_fit_for_OptimizeReshape(in, out, outputs, outputsCount, r)) continue;
        void* old = out->data;
        if (out->allocatedData) FreeTensorData(out);
        out->data = in->data;
        // Consumers bound to the old storage read the input's storage instead.
        for (uint32_t c = 0; c < r->consumerLayersNum; ++c) {
            NNKernel* ck = r->consumerLayers[c]->kernel;
            for (uint32_t j = 0; j < ck->inputsNum; ++j) {
                Tensor* t = ck->input[j];
                if (t == nullptr || t->data != old || old == nullptr) continue;
                if (t->allocatedData) FreeTensorData(t);
                t->data = in->data;
                t->allocatedData = false;
            }
        }
        ++converted;
    }
    return converted;
}

extern "C" uint32_t OptimizeSlice(Layer**, uint32_t, Layer**)
{
    // Slice groups are served by the grouped split kernel; until it exists
    // every slice runs on its own kernel.
    return 0;
}
