#define CORVUS_MODULE "LayersOptimizer"
#include "LayersOptimizer.h"

#include "LayersDataMovement.h"
#include "Model.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"

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

namespace {

// Position of layer in layers[0..count-1]; count when it is not there.
uint32_t IndexOf(Layer** layers, uint32_t count, const Layer* layer)
{
    for (uint32_t i = 0; i < count; ++i)
        if (layers[i] == layer) return i;
    return count;
}

// A Slice layer whose kernel is one of the slice kernels, so its parameter
// record is a SliceParams, with input and output present.
bool HasSliceRecord(const Layer* layer)
{
    const NNKernel* k = layer->kernel;
    if (layer->op != OP_Slice || k == nullptr || k->params == nullptr || k->inputsNum < 1 || k->outputsNum < 1 ||
        k->input[0] == nullptr || k->output[0] == nullptr)
        return false;
    return k->fn != nullptr &&
           (k->fn == nn_kernel_fn_list[kfname_Slice_opt] || k->fn == nn_kernel_fn_list[kfname_Slice_ref]);
}

}  // namespace

extern "C" uint32_t OptimizeSlice(Layer** layers, uint32_t count, Layer** outputs)
{
    (void)outputs;  // a grouped slice that is a model output is written all the same
    const NNKernelFn* grouped = nn_kernel_fn_list[kfname_Slice_opt];
    uint32_t groups = 0;
    for (uint32_t i = 0; i < count; ++i) {
        Layer* leader = layers[i];
        if (leader == nullptr || !HasSliceRecord(leader)) continue;
        NNKernel* k = leader->kernel;
        SliceParams* p = (SliceParams*)k->params;
        if (p->mergedCount != 0) continue;
        p->splitAxis = GetSplitAxis(k->input[0], k->output[0], (const uint32_t*)p);
        if (p->splitAxis < 0) continue;
        // Only the grouped kernel writes its siblings' outputs, so only a
        // leader bound to it can serve a group.
        if (k->fn != grouped || leader->inputLayersNum < 1) continue;
        Layer* source = leader->inputLayers[0];
        p->mergedKernels[0] = k;
        p->mergedCount = 1;
        for (uint32_t c = 0; c < source->consumerLayersNum && p->mergedCount < SLICE_MAX_MERGED; ++c) {
            Layer* m = source->consumerLayers[c];
            // Members come later in the execution order than their leader,
            // so their consumers run only after the leader wrote them.
            if (m == nullptr || m == leader || !HasSliceRecord(m) || m->inputLayersNum < 1 ||
                m->inputLayers[0] != source || IndexOf(layers, count, m) <= i)
                continue;
            SliceParams* mp = (SliceParams*)m->kernel->params;
            if (mp->mergedCount != 0) continue;
            bool listed = false;
            for (int32_t n = 1; n < p->mergedCount; ++n) listed = listed || p->mergedKernels[n] == m->kernel;
            if (listed) continue;
            mp->splitAxis = GetSplitAxis(m->kernel->input[0], m->kernel->output[0], (const uint32_t*)mp);
            if (mp->splitAxis != p->splitAxis) continue;
            p->mergedKernels[p->mergedCount++] = m->kernel;
        }
        if (p->mergedCount < 2) {
            p->mergedCount = 0;
            continue;
        }
        Tensor* outs[SLICE_MAX_MERGED];
        uint32_t starts[SLICE_MAX_MERGED];
        const uint32_t axis = (uint32_t)p->splitAxis;
        for (int32_t n = 0; n < p->mergedCount; ++n) {
            outs[n] = p->mergedKernels[n]->output[0];
            starts[n] = (uint32_t)((const SliceParams*)p->mergedKernels[n]->params)->starts[axis];
        }
        if (Split_noHoles(-1, 1, k->input[0], outs, (uint32_t)p->mergedCount, axis, starts) != nullptr) {
            p->mergedCount = 0;
            continue;
        }
        for (int32_t n = 1; n < p->mergedCount; ++n) ((SliceParams*)p->mergedKernels[n]->params)->mergedCount = -1;
        ++groups;
    }
    return groups;
}
