// Element throughput of the broadcast engine (a per-channel vector added to
// an NHWC feature map), of Softmax over 1000-wide rows, and of the
// element-wise layers of EfficientNet and MobileNetV3 (x * sigmoid(x),
// HardSigmoid).
#include <benchmark/benchmark.h>

#include <cstring>

#include "LayersActivation.h"
#include "LayersBroadcast.h"

namespace {

Tensor* Make(DataType dtype, std::initializer_list<uint32_t> dims, DataLayout layout)
{
    TensorShape s{};
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    Tensor* t = CreateTensor(dtype, layout, k, s, true);
    float* p = (float*)t->data;
    if (dtype == DT_FLOAT32)
        for (uint32_t i = 0; i < GetTensorSize(t); ++i) p[i] = (float)((i * 7919u) % 1000u) * 0.01f - 5.0f;
    return t;
}

// Argument: fused activation (0 None, 2 ReLU6).
void PerChannelAdd(benchmark::State& state)
{
    Tensor* x = Make(DT_FLOAT32, {1, 112, 112, 64}, DL_NHWC);
    Tensor* bias = Make(DT_FLOAT32, {64}, DL_I);
    Tensor* out = Make(DT_FLOAT32, {1, 112, 112, 64}, DL_NHWC);
    const BroadcastParams params = {(uint32_t)state.range(0), 0};
    for (auto _ : state) {
        AddBroadcast_ref(out, x, bias, &params);
        benchmark::DoNotOptimize(out->data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(out));
    DestroyTensor(x);
    DestroyTensor(bias);
    DestroyTensor(out);
}
BENCHMARK(PerChannelAdd)->ArgName("aName")->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

// Argument: number of 1000-wide rows.
void SoftmaxRows1000(benchmark::State& state)
{
    const uint32_t rows = (uint32_t)state.range(0);
    Tensor* x = Make(DT_FLOAT32, {rows, 1000}, DL_NC);
    Tensor* out = Make(DT_FLOAT32, {rows, 1000}, DL_NC);
    const ActivationParams params = {Softmax, 0.0f};
    for (auto _ : state) {
        Activation_fl32_ref(out, x, &params);
        benchmark::DoNotOptimize(out->data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)rows * 1000);
    DestroyTensor(x);
    DestroyTensor(out);
}
BENCHMARK(SoftmaxRows1000)->ArgName("rows")->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);

// x * sigmoid(x) over an EfficientNet-sized map (1x112x112x96). Argument:
// 0 the fixed pattern in [-5, 5), 1 uniform in [-8, 8) as after a
// convolution (a different mix of lanes near a rounding midpoint).
void XmulSigmX(benchmark::State& state)
{
    Tensor* x = Make(DT_FLOAT32, {1, 112, 112, 96}, DL_NHWC);
    Tensor* out = Make(DT_FLOAT32, {1, 112, 112, 96}, DL_NHWC);
    uint32_t seed = 12345;
    if (state.range(0) == 1)
        for (uint32_t i = 0; i < GetTensorSize(x); ++i) {
            seed = seed * 1664525u + 1013904223u;
            ((float*)x->data)[i] = (float)(seed >> 8) * 0x1p-20f - 8.0f;
        }
    for (auto _ : state) {
        ActivationByTable_ref(out, x, Activation_table_XsigmX);
        benchmark::DoNotOptimize(out->data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(out));
    DestroyTensor(x);
    DestroyTensor(out);
}
BENCHMARK(XmulSigmX)->ArgName("uniform")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void HardSigmoid(benchmark::State& state)
{
    Tensor* x = Make(DT_FLOAT32, {1, 112, 112, 16}, DL_NHWC);
    Tensor* out = Make(DT_FLOAT32, {1, 112, 112, 16}, DL_NHWC);
    const HardSigmoidParams params = {1.0f / 6.0f, 0.5f};
    for (auto _ : state) {
        HardSigmoid_fl32(out, x, &params);
        benchmark::DoNotOptimize(out->data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(out));
    DestroyTensor(x);
    DestroyTensor(out);
}
BENCHMARK(HardSigmoid)->Unit(benchmark::kMicrosecond);

}  // namespace
