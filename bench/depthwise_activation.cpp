// The non-Conv2D layers of MobileNetV2 / EfficientNet-B0 / MobileNetV3-Small:
// float32 depthwise convolutions (3x3 and 5x5, stride 1 and 2, SAME pads,
// bias), x * sigmoid(x), sigmoid, the squeeze-and-excitation broadcast
// multiply and global average pooling. Depthwise figures are GFLOP/s (a
// multiply-add counts two), the others elements per second.
#include <benchmark/benchmark.h>

#include <cstring>

#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "LayersConvolution.h"
#include "LayersPooling.h"
#include "bench_util.h"
#include "nn_kernels/OptKernels.h"

namespace {

// Values in [-6, 6): both sides of the activations' bends.
Tensor* Make(std::initializer_list<uint32_t> dims, DataLayout layout)
{
    return bench_util::Make(dims, layout, 0.012f, -6.0f);
}

// Depthwise k x k, stride s, SAME pads, bias, ReLU6, on {1, H, H, C}.
void Depthwise(benchmark::State& state, uint32_t H, uint32_t C, uint32_t k, uint32_t s)
{
    const uint32_t OH = (H + s - 1) / s;
    const uint32_t padTotal = (OH - 1) * s + k > H ? (OH - 1) * s + k - H : 0;
    Tensor* in = Make({1, H, H, C}, DL_NHWC);
    Tensor* filter = Make({1, k, k, C}, DL_MHWI);
    Tensor* bias = Make({C}, DL_I);
    Tensor* out = Make({1, OH, OH, C}, DL_NHWC);
    DepthWiseConv2DParams p;
    memset(&p, 0, sizeof(p));
    p.kerSizeH = p.kerSizeW = k;
    p.strideH = p.strideW = s;
    p.dilationRateH = p.dilationRateW = 1;
    p.padTop = p.padLeft = padTotal / 2;
    p.padBottom = p.padRight = padTotal - padTotal / 2;
    p.depthMultiplier = 1;
    p.pad = (PaddingMode)1;
    p.useBias = 1;
    p.activation = ReLU6;
    Tensor* inner[2] = {filter, bias};
    NNKernel kernel = bench_util::Kernel(&in, &out, inner, 2, &p);
    Init_DWConvolution_ref(&kernel);
    for (auto _ : state) {
        Execute_DWConvolution_ref(&kernel);
        benchmark::ClobberMemory();
    }
    bench_util::ReportFlops(state, 2.0 * OH * OH * C * k * k);
    Destroy_DWConvolution_ref(&kernel);
    for (Tensor* t : {in, filter, bias, out}) DestroyTensor(t);
}

#define DW(H, C, k, s)                                                                                                 \
    void Dw##k##x##k##s##s_##H##x##H##x##C(benchmark::State& st) { Depthwise(st, H, C, k, s); }                        \
    BENCHMARK(Dw##k##x##k##s##s_##H##x##H##x##C)->Unit(benchmark::kMicrosecond);
// MobileNetV2
DW(112, 96, 3, 2)
DW(56, 144, 3, 1)
DW(28, 192, 3, 1)
DW(14, 384, 3, 1)
DW(14, 576, 3, 1)
DW(7, 960, 3, 1)
DW(3, 960, 3, 1)
// EfficientNet-B0
DW(112, 32, 3, 1)
DW(28, 240, 5, 1)
DW(28, 240, 5, 2)
DW(14, 480, 5, 1)
DW(14, 672, 5, 1)
DW(7, 1152, 5, 1)
// MobileNetV3-Small
DW(56, 72, 3, 2)
DW(28, 96, 5, 2)
DW(14, 240, 5, 1)
DW(7, 576, 5, 1)

// Activation of one kind over {1, H, H, C}.
void Act(benchmark::State& state, uint32_t kind, uint32_t H, uint32_t C)
{
    Tensor* x = Make({1, H, H, C}, DL_NHWC);
    Tensor* y = Make({1, H, H, C}, DL_NHWC);
    const ActivationParams params = {kind, 0.0f};
    for (auto _ : state) {
        Activation_fl32_ref(y, x, &params);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(y));
    DestroyTensor(x);
    DestroyTensor(y);
}
#define ACT(kind, H, C)                                                                                                \
    void kind##_##H##x##H##x##C(benchmark::State& st) { Act(st, kind, H, C); }                                         \
    BENCHMARK(kind##_##H##x##H##x##C)->Unit(benchmark::kMicrosecond);
ACT(XmulSigmX, 112, 32)
ACT(XmulSigmX, 56, 144)
ACT(XmulSigmX, 14, 480)
ACT(XmulSigmX, 7, 1280)
ACT(Sigmoid, 1, 480)
ACT(Sigmoid, 56, 144)

// Squeeze-and-excitation scale: {1, H, H, C} * {1, 1, 1, C}.
void SeScale(benchmark::State& state)
{
    const uint32_t H = (uint32_t)state.range(0), C = (uint32_t)state.range(1);
    Tensor* x = Make({1, H, H, C}, DL_NHWC);
    Tensor* g = Make({1, 1, 1, C}, DL_NHWC);
    Tensor* y = Make({1, H, H, C}, DL_NHWC);
    const BroadcastParams params = {0, 0};
    for (auto _ : state) {
        MulBroadcast_opt(1, y, x, g, &params);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(y));
    for (Tensor* t : {x, g, y}) DestroyTensor(t);
}
BENCHMARK(SeScale)->Args({112, 32})->Args({28, 240})->Args({14, 672})->Args({7, 1152})->Unit(benchmark::kMicrosecond);

// Global average pooling {1, H, H, C} -> {1, 1, 1, C}; argument 2: 0 the
// reference kernel, 1 the scratch-memory kernel (the default when it accepts).
void GlobalAverage(benchmark::State& state)
{
    const uint32_t H = (uint32_t)state.range(0), C = (uint32_t)state.range(1);
    Tensor* x = Make({1, H, H, C}, DL_NHWC);
    Tensor* y = Make({1, 1, 1, C}, DL_NHWC);
    NNKernel kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.input = &x;
    kernel.output = &y;
    kernel.inputsNum = kernel.outputsNum = 1;
    const bool opt = state.range(2) != 0;
    if (opt) Init_GlobalAvgPool2D_opt(&kernel);
    for (auto _ : state) {
        if (opt)
            Execute_GlobalAvgPool2D_opt(&kernel);
        else
            GlobalAveragePool2D_fl32_ref(y, x);
        benchmark::ClobberMemory();
    }
    if (opt) Destroy_GlobalAvgPool2D_opt(&kernel);
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(x));
    DestroyTensor(x);
    DestroyTensor(y);
}
BENCHMARK(GlobalAverage)
    ->Args({112, 32, 0})
    ->Args({112, 32, 1})
    ->Args({28, 240, 0})
    ->Args({28, 240, 1})
    ->Args({7, 1152, 0})
    ->Args({7, 1152, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
