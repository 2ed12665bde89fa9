// Expand: the input broadcast onto the output's shape, through the
// broadcast engine with a copy as its element function.
#define CORVUS_MODULE "Expand_ref"
#include <cstring>

#include "LayersBroadcast.h"
#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

namespace {

// Copies a three-level block: level 0 is either a contiguous run of the
// input or one input element repeated over the run.
template <class T> void ExpandBlock(void* out, const void* in1, const BroadcastLevel* lv)
{
    const uint32_t n = lv[0].count;
    const bool repeated = lv[0].strideIn1 == 0;
    for (uint32_t p = 0; p < lv[2].count; ++p) {
        uint8_t* op = (uint8_t*)out + (int64_t)p * lv[2].strideOut;
        const uint8_t* ip = (const uint8_t*)in1 + (int64_t)p * lv[2].strideIn1;
        for (uint32_t r = 0; r < lv[1].count; ++r) {
            uint8_t* o = op + (int64_t)r * lv[1].strideOut;
            const uint8_t* a = ip + (int64_t)r * lv[1].strideIn1;
            if (!repeated) {
                memcpy(o, a, (size_t)n * sizeof(T));
                continue;
            }
            T v;
            memcpy(&v, a, sizeof(T));
            for (uint32_t i = 0; i < n; ++i) memcpy(o + (size_t)i * sizeof(T), &v, sizeof(T));
        }
    }
}

// One-byte elements (booleans, 8-bit integers) have no entry in the
// engine's tables: their input is read through zero strides where it
// repeats and copied with the strided copy.
void ExpandBytes(Tensor* out, const Tensor* in)
{
    if (in->ndim > out->ndim)
        CV_FATAL("Expand_ref error: input shape %s does not broadcast to out shape %s", ShapeText(in).c_str(),
                 ShapeText(out).c_str());
    int64_t dst[MAX_NDIM_VALUE], src[MAX_NDIM_VALUE];
    corvus::dm::ByteStrides(out, dst);
    const uint32_t lead = out->ndim - in->ndim;
    for (uint32_t d = 0; d < out->ndim; ++d) {
        const uint32_t e = d < lead ? 1 : in->shape.dimension[d - lead];
        if (e != 1 && e != out->shape.dimension[d])
            CV_FATAL("Expand_ref error: input shape %s does not broadcast to out shape %s", ShapeText(in).c_str(),
                     ShapeText(out).c_str());
        src[d] = e == 1 ? 0 : (int64_t)in->stride.dimension[d - lead];
    }
    corvus::dm::StridedCopy(out->data, dst, in->data, src, out->shape.dimension, out->ndim, 1);
}

}  // namespace

extern "C" {

void expand_f32_ref(void* out, const void* in1, const void*, const BroadcastLevel* levels)
{
    ExpandBlock<uint32_t>(out, in1, levels);
}

void expand_f16_ref(void* out, const void* in1, const void*, const BroadcastLevel* levels)
{
    ExpandBlock<uint16_t>(out, in1, levels);
}

void Expand_ref(Tensor* out, const Tensor* in)
{
    static const char* const name = "Expand_ref";
    if (out == nullptr) CV_FATAL("%s error: out is NULL", name);
    if (in == nullptr) CV_FATAL("%s error: in1 is NULL", name);
    if (out->dtype != in->dtype) CV_FATAL("%s error: input and output types is not equal", name);
    if (in->dtype == DT_UINT8 || in->dtype == DT_INT8) {
        CheckTensorData(in, name, "input");
        CheckTensorData(out, name, "output");
        ExpandBytes(out, in);
        return;
    }
    static const BroadcastOpFn table[BROADCAST_TYPES_NUM] = {expand_f32_ref, expand_f16_ref, expand_f32_ref,
                                                             expand_f32_ref};
    BroadcastLoop loop;
    Broadcast_ref_init(&loop, name, table, out->dtype, 0);
    Broadcast_ref(name, &loop, out, in, nullptr);
}

void Execute_Expand_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s error: kernel is null", "Execute_Expand_ref");
    CheckKernelTensors(kernel, 1, 1, "Execute_Expand_ref");
    Expand_ref(kernel->output[0], kernel->input[0]);
}

extern "C" const NNKernelFn nn_kernel_fn_Expand_ref = {Execute_Expand_ref, nullptr, nullptr, nullptr};

}  // extern "C"
