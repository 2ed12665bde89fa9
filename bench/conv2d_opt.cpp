// Throughput, in GFLOP/s (one multiply-add counted as two operations), of
// the half-precision Conv2D through the scratch memory and of the float16
// MatMul that runs on it.
#include <benchmark/benchmark.h>

#include <cstring>

#include "DataTypeConvert.h"
#include "LayersConvolution.h"
#include "LayersDense.h"
#include "nn_kernels/OptKernels.h"

namespace {

Tensor* Make(std::initializer_list<uint32_t> dims, DataLayout layout, DataType dtype)
{
    TensorShape s{};
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    Tensor* t = CreateTensor(dtype, layout, k, s, true);
    for (uint32_t i = 0; i < GetTensorSize(t); ++i) {
        const float v = (float)((i * 7919u) % 1000u) * 0.002f - 1.0f;
        if (dtype == DT_FLOAT32)
            ((float*)t->data)[i] = v;
        else
            float32_to_float16(&v, (uint16_t*)t->data + i, 1);
    }
    return t;
}

void Report(benchmark::State& state, double flopsPerRun)
{
    state.counters["GFLOP/s"] =
        benchmark::Counter(flopsPerRun * (double)state.iterations() * 1e-9, benchmark::Counter::kIsRate);
}

// Conv2D on {1, H, W, Cin} -> Cout, k x k, stride 1, SAME pads, bias, ReLU.
void Conv2D(benchmark::State& state, uint32_t H, uint32_t W, uint32_t Cin, uint32_t Cout, uint32_t k)
{
    Tensor* in = Make({1, H, W, Cin}, DL_NHWC, DT_FLOAT16);
    Tensor* filter = Make({k, k, Cin, Cout}, DL_HWIO, DT_FLOAT16);
    Tensor* bias = Make({Cout}, DL_I, DT_FLOAT32);
    Tensor* out = Make({1, H, W, Cout}, DL_NHWC, DT_FLOAT16);
    Conv2DParams p;
    memset(&p, 0, sizeof(p));
    p.kerSizeH = p.kerSizeW = k;
    p.filters = Cout;
    p.strideH = p.strideW = p.dilationRateH = p.dilationRateW = 1;
    p.padTop = p.padLeft = (k - 1) / 2;
    p.padBottom = p.padRight = k - 1 - (k - 1) / 2;
    p.useBias = 1;
    p.activation = ActivationParams{ReLU, 0.0f};
    p.groups = 1;
    Tensor* inner[2] = {filter, bias};
    NNKernel kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.input = &in;
    kernel.output = &out;
    kernel.inner = inner;
    kernel.inputsNum = kernel.outputsNum = 1;
    kernel.innerNum = 2;
    kernel.params = &p;
    if (const char* why = Conv2D_opt(-2, 1, &kernel)) state.SkipWithError(why);
    for (auto _ : state) {
        Conv2D_opt(0, 1, &kernel);
        benchmark::ClobberMemory();
    }
    Report(state, 2.0 * H * W * Cout * k * k * Cin);
    Destroy_Conv2D_opt(&kernel);
    for (Tensor* t : {in, filter, bias, out}) DestroyTensor(t);
}

void Conv2DOpt_3x3_56x56x64_to_64(benchmark::State& state) { Conv2D(state, 56, 56, 64, 64, 3); }
void Conv2DOpt_1x1_28x28x128_to_256(benchmark::State& state) { Conv2D(state, 28, 28, 128, 256, 1); }
void Conv2DOpt_3x3_14x14x256_to_256(benchmark::State& state) { Conv2D(state, 14, 14, 256, 256, 3); }
BENCHMARK(Conv2DOpt_3x3_56x56x64_to_64)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2DOpt_1x1_28x28x128_to_256)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2DOpt_3x3_14x14x256_to_256)->Unit(benchmark::kMillisecond);

// Float16 {8, 64, 256} x {256, 256}.
void MMviaConv2D_8x64x256_by_256x256(benchmark::State& state)
{
    Tensor* A = Make({8, 64, 256}, DL_NONE, DT_FLOAT16);
    Tensor* B = Make({256, 256}, DL_NONE, DT_FLOAT16);
    Tensor* out = Make({8, 64, 256}, DL_NONE, DT_FLOAT16);
    Tensor* ins[2] = {A, B};
    MatmulParams params = {2};
    NNKernel kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.input = ins;
    kernel.output = &out;
    kernel.inputsNum = 2;
    kernel.outputsNum = 1;
    kernel.params = &params;
    Init_MMviaConv2D(&kernel);
    for (auto _ : state) {
        Execute_MMviaConv2D(&kernel);
        benchmark::ClobberMemory();
    }
    Report(state, 2.0 * 8 * 64 * 256 * 256);
    Destroy_MMviaConv2D(&kernel);
    for (Tensor* t : {A, B, out}) DestroyTensor(t);
}
BENCHMARK(MMviaConv2D_8x64x256_by_256x256)->Unit(benchmark::kMillisecond);

}  // namespace
