// 3x3 stride-2 pooling of a {1, 112, 112, 64} feature map: the reference
// kernels against the separable optimised ones (initialised once, executed
// per iteration).
#include <benchmark/benchmark.h>

#include "LayersPooling.h"
#include "nn_kernels/OptKernels.h"

namespace {

Tensor* Make(uint32_t h, uint32_t w)
{
    TensorShape s{};
    s.dimension[0] = 1;
    s.dimension[1] = h;
    s.dimension[2] = w;
    s.dimension[3] = 64;
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NHWC, 4, s, true);
    float* p = (float*)t->data;
    for (uint32_t i = 0; i < GetTensorSize(t); ++i) p[i] = (float)((i * 7919u) % 1000u) * 0.01f - 5.0f;
    return t;
}

// ResNet's 112 -> 56 with a pad on every side; SqueezeNet's 111 -> 55, and
// 114 -> 56 (ResNet's after a separate Pad layer), without pads.
template <bool Max, bool Optimised, uint32_t H = 112, uint32_t Pad = 1> void Pool(benchmark::State& state)
{
    Tensor* in = Make(H, H);
    Tensor* out = Make((H + 2 * Pad - 3) / 2 + 1, (H + 2 * Pad - 3) / 2 + 1);
    Pool2DParams p = {3, 3, 2, 2, Pad, Pad, Pad, Pad, 0, Pad ? EXPLICIT : VALID, POOL_PADDING_IGNORE};
    NNKernel k{};
    Tensor* ins[1] = {in};
    Tensor* outs[1] = {out};
    k.input = ins;
    k.output = outs;
    k.inputsNum = k.outputsNum = 1;
    k.params = &p;
    k.coresNumber = 1;
    if (Optimised) (Max ? Init_MaxPool2D_opt : Init_AvgPool2D_opt)(&k);
    for (auto _ : state) {
        if (Optimised)
            (Max ? Execute_MaxPool2D_opt : Execute_AvgPool2D_opt)(&k);
        else
            (Max ? MaxPool2D_fl32_ref : AveragePool2D_fl32_ref)(out, in, &p);
        benchmark::DoNotOptimize(out->data);
        benchmark::ClobberMemory();
    }
    if (Optimised) Destroy_MaxPool2D_opt(&k);
    state.SetItemsProcessed(state.iterations() * (int64_t)GetTensorSize(out));
    DestroyTensor(in);
    DestroyTensor(out);
}

BENCHMARK(Pool<true, false>)->Name("MaxPool2D_ref/1x112x112x64/3x3s2")->Unit(benchmark::kMicrosecond);
BENCHMARK(Pool<true, true>)->Name("MaxPool2D_opt/1x112x112x64/3x3s2")->Unit(benchmark::kMicrosecond);
BENCHMARK(Pool<true, true, 111, 0>)->Name("MaxPool2D_opt/1x111x111x64/3x3s2")->Unit(benchmark::kMicrosecond);
BENCHMARK(Pool<true, true, 114, 0>)->Name("MaxPool2D_opt/1x114x114x64/3x3s2")->Unit(benchmark::kMicrosecond);
BENCHMARK(Pool<false, false>)->Name("AvgPool2D_ref/1x112x112x64/3x3s2")->Unit(benchmark::kMicrosecond);
BENCHMARK(Pool<false, true>)->Name("AvgPool2D_opt/1x112x112x64/3x3s2")->Unit(benchmark::kMicrosecond);

}  // namespace
