// Per-channel broadcast add over an NHWC feature map, reference kernel
// against the optimised one, without and with a fused clamp.
#include <benchmark/benchmark.h>

#include "LayersBroadcast.h"
#include "nn_kernels/OptKernels.h"

namespace {

Tensor* Make(std::initializer_list<uint32_t> dims, DataLayout layout)
{
    TensorShape s{};
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    Tensor* t = CreateTensor(DT_FLOAT32, layout, k, s, true);
    float* p = (float*)t->data;
    for (uint32_t i = 0; i < GetTensorSize(t); ++i) p[i] = (float)((i * 7919u) % 1000u) * 0.01f - 5.0f;
    return t;
}

template <bool Optimised> void PerChannelAdd(benchmark::State& state)
{
    Tensor* x = Make({1, 112, 112, 64}, DL_NHWC);
    Tensor* bias = Make({64}, DL_I);
    Tensor* out = Make({1, 112, 112, 64}, DL_NHWC);
    const BroadcastParams params = {(uint32_t)state.range(0), 0};
    for (auto _ : state) {
        if (Optimised)
            AddBroadcast_opt(1, out, x, bias, &params);
        else
            AddBroadcast_ref(out, x, bias, &params);
        benchmark::DoNotOptimize(out->data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(out));
    DestroyTensor(x);
    DestroyTensor(bias);
    DestroyTensor(out);
}

void Ref(benchmark::State& state) { PerChannelAdd<false>(state); }
void Opt(benchmark::State& state) { PerChannelAdd<true>(state); }

// Argument: fused activation (0 None, 1 ReLU, 2 ReLU6).
BENCHMARK(Ref)
    ->Name("AddBroadcast_ref/1x112x112x64+64")
    ->ArgName("aName")
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(Opt)
    ->Name("AddBroadcast_opt/1x112x112x64+64")
    ->ArgName("aName")
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
