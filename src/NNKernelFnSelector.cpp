#define CORVUS_MODULE "NNKernelFnSelector"
#include "NNKernelFnSelector.h"

#include "KernelProbes.h"
#include "LayersDataMovement.h"
#include "LayersDense.h"
#include "LayersResize.h"
#include "Report.h"

namespace {

// The central processor computes in float32 only.
void CheckTarget(uint32_t target, DataType dtype)
{
    if (target != KERNEL_TARGET_CPU) CV_FATAL("Unsupported target: %u. Supported: 1 (CPU)", target);
    if (dtype != DT_FLOAT32) CV_FATAL("Unsupported data type for this target. Supported: DT_FLOAT32");
}

// The parameter record of a selector that reads one.
template <typename Params> const Params& ParamsOf(const NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel is nullptr");
    if (kernel->params == nullptr) CV_FATAL("kernel->params is nullptr");
    return *(const Params*)kernel->params;
}

// First candidate whose probe accepts the layer; kfname_TOTAL when none
// does, with each refusal stored in `reasons`.
template <size_t N>
kfname FirstAccepted(const NNKernel* kernel, const KernelProbeFn (&probes)[N], const kfname (&names)[N],
                     const char* (&reasons)[N])
{
    for (size_t i = 0; i < N; ++i) {
        reasons[i] = probes[i](kernel);
        if (reasons[i] == nullptr) return names[i];
    }
    return kfname_TOTAL;
}

constexpr uint32_t kMatmulViaConvFlag = 2;

}  // namespace

extern "C" {

// Operations whose float32 kernel is fixed.
#define FIXED_SELECTOR(op, name)                                                                                       \
    kfname SelectNNKernelFn##op(uint32_t target, DataType dtype, NNKernel*)                                            \
    {                                                                                                                  \
        CheckTarget(target, dtype);                                                                                    \
        return kfname_##name;                                                                                          \
    }

FIXED_SELECTOR(Conv2D, Conv2D_ref)
FIXED_SELECTOR(DepthwiseConv2D, DWConvolution_ref)
FIXED_SELECTOR(Conv2DTranspose, Conv2DTranspose_fl32_ref)
FIXED_SELECTOR(Conv1D, Conv1D_fl32_ref)
FIXED_SELECTOR(Conv3D, Conv3D_fl32_ref)
FIXED_SELECTOR(Conv1DTranspose, Conv1DTranspose_fl32_ref)
FIXED_SELECTOR(Dense, Dense_ref)
FIXED_SELECTOR(Linear, Linear_fl32_ref)
FIXED_SELECTOR(Activation, Activation_fl32_ref)
FIXED_SELECTOR(ElementWise, ElementWise_fl32_ref)
FIXED_SELECTOR(BatchNormalization, BatchNormalization_fl32_ref)
FIXED_SELECTOR(L2Normalization, L2Normalization_fl32_ref)
FIXED_SELECTOR(InstanceNormalization, InstanceNormalization_ref)
FIXED_SELECTOR(Reshape, Reshape_ref)
FIXED_SELECTOR(PostLSTM, Reshape_ref)
FIXED_SELECTOR(Transpose, Transpose_ref)
FIXED_SELECTOR(Concatenate, Concatenate_opt)
FIXED_SELECTOR(AddBroadcast, AddBroadcast_opt)
FIXED_SELECTOR(SubBroadcast, SubBroadcast_opt)
FIXED_SELECTOR(MulBroadcast, MulBroadcast_opt)
FIXED_SELECTOR(DivBroadcast, DivBroadcast_opt)
FIXED_SELECTOR(PRelu, PRelu_opt)
FIXED_SELECTOR(Expand, Expand_opt)
FIXED_SELECTOR(Equal, Equal_ref)
FIXED_SELECTOR(Range, Range_ref)
FIXED_SELECTOR(Not, Not_ref)
FIXED_SELECTOR(Less, Less_ref)
FIXED_SELECTOR(ScatterND, ScatterND_ref)
FIXED_SELECTOR(Initializer, Empty_ref)
FIXED_SELECTOR(Flatten, Flatten_ref)
FIXED_SELECTOR(ZeroPadding2D, ZeroPadding_ref)
FIXED_SELECTOR(UpSampling2D, UpSampling2D_ref)
FIXED_SELECTOR(AnchorBoxes, AnchorBoxes_fl32_ref)
FIXED_SELECTOR(DecodeDetections, DecodeDetections_fl32_ref)
FIXED_SELECTOR(Shuffle, Shuffle_fl32_ref)
FIXED_SELECTOR(Gather, Gather_ref)
FIXED_SELECTOR(Exp, Exp_ref)
FIXED_SELECTOR(Sqrt, Sqrt_fl32_ref)
FIXED_SELECTOR(Pow, Pow_ref)
FIXED_SELECTOR(Where, Where_ref)
FIXED_SELECTOR(ConstantOfShape, ConstantOfShape_ref)
FIXED_SELECTOR(Shape, Shape_ref)
FIXED_SELECTOR(Cast, Cast_ref)
FIXED_SELECTOR(NMSYolo, NMSYolo_ref)
FIXED_SELECTOR(Erf, Erf_fl32_ref)
FIXED_SELECTOR(ReduceMean, ReduceMean_ref)
FIXED_SELECTOR(ReduceSum, ReduceSum_ref)
FIXED_SELECTOR(ReduceMax, ReduceMax_ref)
FIXED_SELECTOR(ReduceMin, ReduceMin_ref)
FIXED_SELECTOR(ReduceL2, ReduceL2_ref)
FIXED_SELECTOR(Neg, Neg_ref)
FIXED_SELECTOR(Pad, Pad_ref)
FIXED_SELECTOR(ArgMax, ArgMax_ref)
FIXED_SELECTOR(Ceil, Ceil_ref)
FIXED_SELECTOR(LSTM, LSTM_ref)
FIXED_SELECTOR(Clip, Clip_fl32_ref)
FIXED_SELECTOR(AudioSpectrogram, AudioSpectrogram_ref)
FIXED_SELECTOR(HardSigmoid, HardSigmoid_ref)
FIXED_SELECTOR(Mod, Mod_ref)
FIXED_SELECTOR(Abs, Abs_ref)
FIXED_SELECTOR(Floor, Floor_ref)
FIXED_SELECTOR(GlobalMaxPool, GlobalMaxPool_ref)
FIXED_SELECTOR(CumSum, CumSum_ref)
FIXED_SELECTOR(Tile, Tile_ref)
FIXED_SELECTOR(Einsum, Einsum_ref)
FIXED_SELECTOR(And, And_ref)
FIXED_SELECTOR(Greater, Greater_ref)
FIXED_SELECTOR(NonMaxSuppression, NonMaxSuppression_ref)
FIXED_SELECTOR(NonZero, NonZero_ref)
FIXED_SELECTOR(GatherElements, GatherElements_ref)
#undef FIXED_SELECTOR

// Optimised kernel when its check accepts the layer, else the reference one.
#define PROBED_SELECTOR(op, optName, refName)                                                                          \
    kfname SelectNNKernelFn##op(uint32_t target, DataType dtype, NNKernel* kernel)                                     \
    {                                                                                                                  \
        CheckTarget(target, dtype);                                                                                    \
        return Probe_##optName(kernel) == nullptr ? kfname_##optName : kfname_##refName;                               \
    }

PROBED_SELECTOR(MaxPool2D, MaxPool2D_opt, MaxPool2D_fl32_ref)
PROBED_SELECTOR(AveragePool2D, AvgPool2D_opt, AveragePool2D_fl32_ref)
PROBED_SELECTOR(GlobalAveragePool2D, GlobalAvgPool2D_opt, GlobalAveragePool2D_ref)
#undef PROBED_SELECTOR

kfname SelectNNKernelFnMaxPool1D(uint32_t target, DataType dtype, NNKernel*)
{
    if (dtype > DT_FLOAT16) CV_FATAL("dType must be DT_FLOAT16 or DT_FLOAT32");
    CheckTarget(target, dtype);
    return kfname_MaxPool1D_opt;
}

kfname SelectNNKernelFnAveragePool1D(uint32_t target, DataType dtype, NNKernel*)
{
    if (dtype != DT_FLOAT32) CV_FATAL("dType == DT_FLOAT32: false, expected: true");
    CheckTarget(target, dtype);
    return kfname_AveragePool1D_fl32_ref;
}

kfname SelectNNKernelFnLayerNorm(uint32_t target, DataType dtype, NNKernel*)
{
    if (dtype > DT_FLOAT16) CV_FATAL("support only F16 or F32");
    CheckTarget(target, dtype);
    return kfname_LayerNorm_ref;
}

kfname SelectNNKernelFnMfcc(uint32_t target, DataType dtype, NNKernel*)
{
    if (dtype != DT_FLOAT32) CV_FATAL("SelectNNKernelFnMfcc: Unsupported data type. Supported: DT_FLOAT32");
    CheckTarget(target, dtype);
    return kfname_Mfcc_ref;
}

kfname SelectNNKernelFnMatMul(uint32_t target, DataType dtype, NNKernel* kernel)
{
    CheckTarget(target, dtype);
    const uint32_t mode = ParamsOf<MatmulParams>(kernel).mode;
    if ((mode & kMatmulViaConvFlag) == 0 || kernel->inputsNum < 2) return kfname_Matmul_ref;
    const Tensor* a = kernel->input[0];
    const Tensor* b = kernel->input[1];
    const Tensor* out = kernel->output[0];
    if (a == nullptr || b == nullptr || out == nullptr) return kfname_Matmul_ref;
    int32_t leading = 0;
    if (a->ndim == 3) leading = (int32_t)a->shape.dimension[0];
    if (a->ndim == 4) leading = (int32_t)a->shape.dimension[1];
    if (b->ndim == 2 && out->ndim == a->ndim && leading > 3) return kfname_MMviaConv2D;
    return kfname_Matmul_ref;
}

kfname SelectNNKernelFnSlice(uint32_t target, DataType dtype, NNKernel* kernel)
{
    CheckTarget(target, dtype);
    CV_CHECK_KERNEL(kernel, "kernel is nullptr");
    const Tensor* out = kernel->output != nullptr ? kernel->output[0] : nullptr;
    CV_CHECK_PTR(out);
    const uint32_t n = out->ndim < MAX_NDIM_VALUE ? out->ndim : MAX_NDIM_VALUE;
    for (uint32_t k = 0; k < n; ++k)
        if (ParamsOf<SliceParams>(kernel).steps[k] < 0) return kfname_Slice_ref;
    return kfname_Slice_opt;
}

kfname SelectNNKernelFnResize(uint32_t target, DataType dtype, NNKernel* kernel)
{
    static const char* const kSelf = "SelectNNKernelFnResize";
    CheckTarget(target, dtype);
    const uint32_t mode = ParamsOf<ResizeParams>(kernel).mode;
    if (mode == RESIZE_MODE_NEAREST) {
        const KernelProbeFn probes[] = {Probe_ResizeNear3F32_ref, Probe_ResizeNear_ref};
        const kfname names[] = {kfname_ResizeNear3F32_ref, kfname_ResizeNear_ref};
        const char* reasons[2];
        kfname k = FirstAccepted(kernel, probes, names, reasons);
        if (k == kfname_TOTAL)
            CV_FATAL("%s error: can't select function\nResizeNear3F32_ref error: %s\nResizeNear_ref error: %s\n", kSelf,
                     reasons[0], reasons[1]);
        return k;
    }
    if (mode == RESIZE_MODE_AREA) {
        const KernelProbeFn probes[] = {Probe_ResizeDown3F16_opt, Probe_ResizeDown3F32_opt, Probe_ResizeDown3F32_ref,
                                        Probe_ResizeDownF32_ref};
        const kfname names[] = {kfname_ResizeDown3F16_opt, kfname_ResizeDown3F32_opt, kfname_ResizeDown3F32_ref,
                                kfname_ResizeDownF32_ref};
        const char* reasons[4];
        kfname k = FirstAccepted(kernel, probes, names, reasons);
        if (k == kfname_TOTAL)
            CV_FATAL("%s error: can't select function\nResizeDown3F16_opt error: %s\nResizeDown3F32_opt error: "
                     "%s\nResizeDown3F32_ref error: %s\nResizeDown_ref error: %s\n",
                     kSelf, reasons[0], reasons[1], reasons[2], reasons[3]);
        return k;
    }
    CV_FATAL("%s error: unsupported resize mode", kSelf);
}

kfname SelectNNKernelFn(uint32_t target, LayerOpType op, DataType dtype, NNKernel* kernel)
{
    switch (op) {
#define CORVUS_SELECTOR(name)                                                                                          \
    case OP_##name:                                                                                                    \
        return SelectNNKernelFn##name(target, dtype, kernel);
#include "nn_kernel_selectors.def"
#undef CORVUS_SELECTOR
    default:
        // Input, Convert, CustomLayer, SeparableConv2D, ExpandChannels and
        // Split have no selector; unknown operations neither.
        return kfname_TOTAL;
    }
}

void ExecuteLayer(Layer* layer)
{
    CV_CHECK_PTR(layer);
    const bool isShape = layer->op == OP_Shape;
    if (!isShape) {
        if (layer->inputLayersNum == 0) return;
        for (uint32_t i = 0; i < layer->inputLayersNum; ++i)
            if (!layer->inputLayers[i]->staticOutput) return;
    }
    NNKernel* kernel = layer->kernel;
    kfname k = SelectNNKernelFn(KERNEL_TARGET_CPU, (LayerOpType)layer->op, DT_FLOAT32, kernel);
    // Operations without a selector run their default kernel, as in model initialisation.
    const NNKernelFn* fn = k == kfname_TOTAL
                               ? (layer->op < OP_OperationsCount ? nn_kernel_fn_list_default[layer->op] : nullptr)
                               : nn_kernel_fn_list[k];
    if (fn == nullptr)
        CV_FATAL("ExecuteLayer: no kernel for layer %s (%s)", layer->name,
                 k == kfname_TOTAL ? LayerOpTypeToStr((LayerOpType)layer->op) : kernel_fn_name_string[k]);
    kernel->fn = fn;
    AllocTensorData(kernel->output[0]);
    if (!isShape)
        for (uint32_t i = 0; i < kernel->inputsNum && i < layer->inputLayersNum; ++i)
            SetTensorData(kernel->input[i], layer->inputLayers[i]->kernel->output[0]->data);
    kernel->fn->execute(kernel);
    layer->staticOutput = true;
}

}  // extern "C"
