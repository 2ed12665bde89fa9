// Arithmetic throughput of the transposed and one-dimensional convolution
// kernels: Conv2DTranspose 4x4, stride 2, (1,32,32,64) -> 32 filters, and
// Conv1D k=3 on (1,1000,64) -> 64 filters, both with SAME padding. FLOPS
// counts two operations per multiply-add actually performed (taps that fall
// into the pads are not counted).
#include <benchmark/benchmark.h>

#include <cstring>

#include "LayersConvolutionND.h"

namespace {

Tensor* Make(std::initializer_list<uint32_t> dims)
{
    TensorShape s{};
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NONE, k, s, true);
    float* p = (float*)t->data;
    for (uint32_t i = 0; i < GetTensorSize(t); ++i) p[i] = (float)((i * 7919u) % 1000u) * 0.001f - 0.5f;
    return t;
}

// Taps of one axis that land inside [0, extent): for every position of
// `count`, tap k reaches position * stride - pad + k.
uint64_t ValidTaps(uint32_t count, uint32_t stride, uint32_t pad, uint32_t taps, uint32_t extent)
{
    uint64_t valid = 0;
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t k = 0; k < taps; ++k) {
            const int64_t p = (int64_t)i * stride - pad + k;
            valid += p >= 0 && p < extent;
        }
    return valid;
}

void Report(benchmark::State& state, double flopsPerRun)
{
    state.counters["FLOPS"] = benchmark::Counter(flopsPerRun * (double)state.iterations(), benchmark::Counter::kIsRate);
}

void Conv2DTranspose4x4Stride2(benchmark::State& state)
{
    const uint32_t H = 32, W = 32, C = 64, F = 32, K = 4, S = 2;
    const uint32_t in[2] = {H, W}, k[2] = {K, K}, s[2] = {S, S};
    const PaddingStruct ps = ComputePaddingStructTransposed(2, in, k, s, nullptr, SAME, nullptr, nullptr, false);
    Tensor* x = Make({1, H, W, C});
    Tensor* filter = Make({K, K, F, C});
    Tensor* bias = Make({F});
    Tensor* y = Make({1, ps.outputSize[0], ps.outputSize[1], F});
    const Conv2DTransposeParams params = {K, K, F, S, S, 1, 1, ps.begin0, ps.begin1, 1, 1, {ReLU, 0.0f}};
    for (auto _ : state) {
        Conv2DTranspose_fl32_ref(x, filter, bias, y, &params);
        benchmark::DoNotOptimize(y->data);
        benchmark::ClobberMemory();
    }
    const double taps = (double)ValidTaps(H, S, ps.begin0, K, ps.outputSize[0]) *
                        (double)ValidTaps(W, S, ps.begin1, K, ps.outputSize[1]);
    Report(state, 2.0 * taps * C * F);
    for (Tensor* t : {x, filter, bias, y}) DestroyTensor(t);
}
BENCHMARK(Conv2DTranspose4x4Stride2)->Unit(benchmark::kMillisecond);

void Conv1DKernel3(benchmark::State& state)
{
    const uint32_t L = 1000, C = 64, F = 64, K = 3, S = 1;
    const PaddingStruct ps = ComputePaddingStruct(1, &L, &K, &S, nullptr, SAME, nullptr, 1);
    Tensor* x = Make({1, L, C});
    Tensor* filter = Make({K, C, F});
    Tensor* bias = Make({F});
    Tensor* y = Make({1, ps.outputSize[0], F});
    const Conv1DParams params = {K, S, 1, ps.begin0, ps.end0, 1, 1, {ReLU, 0.0f}};
    for (auto _ : state) {
        Conv1D_fl32_ref(x, filter, bias, y, &params);
        benchmark::DoNotOptimize(y->data);
        benchmark::ClobberMemory();
    }
    Report(state, 2.0 * (double)ValidTaps(ps.outputSize[0], S, ps.begin0, K, L) * C * F);
    for (Tensor* t : {x, filter, bias, y}) DestroyTensor(t);
}
BENCHMARK(Conv1DKernel3)->Unit(benchmark::kMicrosecond);

}  // namespace
