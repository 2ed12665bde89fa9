// Throughput, in GFLOP/s (one multiply-add counted as two operations), of
// the convolution, depthwise, dense and matmul reference kernels on layer
// shapes typical of image classifiers.
#include <benchmark/benchmark.h>

#include <cstring>

#include "LayersConvolution.h"
#include "LayersDense.h"
#include "bench_util.h"

namespace {

using bench_util::Make;

void Report(benchmark::State& state, double flopsPerRun) { bench_util::ReportFlops(state, flopsPerRun); }

// Conv2D on {1, H, W, Cin} -> Cout, k x k, SAME pads (none with `valid`), bias, ReLU.
void Conv2D(benchmark::State& state, uint32_t H, uint32_t W, uint32_t Cin, uint32_t Cout, uint32_t k,
            uint32_t stride = 1, bool valid = false)
{
    const uint32_t OH = valid ? (H - k) / stride + 1 : (H + stride - 1) / stride;
    const uint32_t OW = valid ? (W - k) / stride + 1 : (W + stride - 1) / stride;
    Tensor* in = Make({1, H, W, Cin}, DL_NHWC);
    Tensor* filter = Make({k, k, Cin, Cout}, DL_HWIO);
    Tensor* bias = Make({Cout}, DL_I);
    Tensor* out = Make({1, OH, OW, Cout}, DL_NHWC);
    Conv2DParams p;
    memset(&p, 0, sizeof(p));
    p.kerSizeH = p.kerSizeW = k;
    p.filters = Cout;
    p.strideH = p.strideW = stride;
    p.dilationRateH = p.dilationRateW = 1;
    p.padTop = p.padLeft = valid ? 0 : (k - 1) / 2;
    p.padBottom = p.padRight = valid ? 0 : k - 1 - (k - 1) / 2;
    p.useBias = 1;
    p.activation = ActivationParams{ReLU, 0.0f};
    p.groups = 1;
    // Through the kernel record, as a model runs it: the filter is packed
    // once, at initialisation.
    Tensor* inputs[1] = {in};
    Tensor* outputs[1] = {out};
    Tensor* inners[2] = {filter, bias};
    NNKernel kernel = bench_util::Kernel(inputs, outputs, inners, 2, &p);
    Init_Conv2D_ref(&kernel);
    for (auto _ : state) {
        Execute_Conv2D_ref(&kernel);
        benchmark::ClobberMemory();
    }
    Report(state, 2.0 * OH * OW * Cout * k * k * Cin);
    Destroy_Conv2D_ref(&kernel);
    for (Tensor* t : {in, filter, bias, out}) DestroyTensor(t);
}

// The 3x3 stride-1 layers of ResNet-18 and SqueezeNet 1.1, and 1x1 layers of ResNet-50 and
// MobileNetV2.
void Conv2D_3x3_56x56x64_to_64(benchmark::State& state) { Conv2D(state, 56, 56, 64, 64, 3); }
void Conv2D_7x7s2_224x224x3_to_64(benchmark::State& state) { Conv2D(state, 224, 224, 3, 64, 7, 2); }
void Conv2D_3x3_28x28x128_to_128(benchmark::State& state) { Conv2D(state, 28, 28, 128, 128, 3); }
void Conv2D_3x3_14x14x256_to_256(benchmark::State& state) { Conv2D(state, 14, 14, 256, 256, 3); }
void Conv2D_3x3_7x7x512_to_512(benchmark::State& state) { Conv2D(state, 7, 7, 512, 512, 3); }
void Conv2D_1x1_28x28x128_to_256(benchmark::State& state) { Conv2D(state, 28, 28, 128, 256, 1); }
void Conv2D_1x1_56x56x24_to_144(benchmark::State& state) { Conv2D(state, 56, 56, 24, 144, 1); }
void Conv2D_1x1_13x13x512_to_1000(benchmark::State& state) { Conv2D(state, 13, 13, 512, 1000, 1); }
void Conv2D_3x3_55x55x16_to_64(benchmark::State& state) { Conv2D(state, 55, 55, 16, 64, 3); }
void Conv2D_3x3_27x27x32_to_128(benchmark::State& state) { Conv2D(state, 27, 27, 32, 128, 3); }
void Conv2D_3x3_13x13x48_to_192(benchmark::State& state) { Conv2D(state, 13, 13, 48, 192, 3); }
void Conv2D_3x3_13x13x64_to_256(benchmark::State& state) { Conv2D(state, 13, 13, 64, 256, 3); }
void Conv2D_1x1_1x1x144_to_576(benchmark::State& state) { Conv2D(state, 1, 1, 144, 576, 1); }
void Conv2D_1x1_112x112x16_to_96(benchmark::State& state) { Conv2D(state, 112, 112, 16, 96, 1); }
void Conv2D_3x3s2_224x224x3_to_32(benchmark::State& state) { Conv2D(state, 224, 224, 3, 32, 3, 2); }
void Conv2D_3x3s2v_224x224x3_to_64(benchmark::State& state) { Conv2D(state, 224, 224, 3, 64, 3, 2, true); }
void Conv2D_1x1_7x7x960_to_320(benchmark::State& state) { Conv2D(state, 7, 7, 960, 320, 1); }
// SqueezeNet 1.1's first squeeze and expand layers: one vector of outputs,
// or 16 input channels per output.
void Conv2D_1x1_55x55x128_to_16(benchmark::State& state) { Conv2D(state, 55, 55, 128, 16, 1); }
void Conv2D_1x1_55x55x16_to_64(benchmark::State& state) { Conv2D(state, 55, 55, 16, 64, 1); }
// An output of 24 channels: past 16-lane blocks, eight remain.
void Conv2D_1x1_56x56x144_to_24(benchmark::State& state) { Conv2D(state, 56, 56, 144, 24, 1); }
BENCHMARK(Conv2D_3x3_56x56x64_to_64)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_7x7s2_224x224x3_to_64)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_3x3_28x28x128_to_128)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_3x3_14x14x256_to_256)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_3x3_7x7x512_to_512)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_1x1_28x28x128_to_256)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_1x1_56x56x24_to_144)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_1x1_13x13x512_to_1000)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_3x3_55x55x16_to_64)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_3x3_27x27x32_to_128)->Unit(benchmark::kMicrosecond);
BENCHMARK(Conv2D_3x3_13x13x48_to_192)->Unit(benchmark::kMicrosecond);
BENCHMARK(Conv2D_3x3_13x13x64_to_256)->Unit(benchmark::kMicrosecond);
BENCHMARK(Conv2D_1x1_1x1x144_to_576)->Unit(benchmark::kMicrosecond);
BENCHMARK(Conv2D_1x1_112x112x16_to_96)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_3x3s2_224x224x3_to_32)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_3x3s2v_224x224x3_to_64)->Unit(benchmark::kMillisecond);
BENCHMARK(Conv2D_1x1_7x7x960_to_320)->Unit(benchmark::kMicrosecond);
BENCHMARK(Conv2D_1x1_56x56x144_to_24)->Unit(benchmark::kMicrosecond);
BENCHMARK(Conv2D_1x1_55x55x128_to_16)->Unit(benchmark::kMicrosecond);
BENCHMARK(Conv2D_1x1_55x55x16_to_64)->Unit(benchmark::kMicrosecond);

// Depthwise 3x3, stride 1, SAME, multiplier 1, bias, ReLU6, through the
// kernel record (initialised once, as a model does).
void DepthwiseConv2D_3x3_112x112x32(benchmark::State& state)
{
    const uint32_t H = 112, W = 112, C = 32;
    Tensor* inputs[1] = {Make({1, H, W, C}, DL_NHWC)};
    Tensor* outputs[1] = {Make({1, H, W, C}, DL_NHWC)};
    Tensor* inner[2] = {Make({1, 3, 3, C}, DL_MHWI), Make({C}, DL_I)};
    DepthWiseConv2DParams p;
    memset(&p, 0, sizeof(p));
    p.kerSizeH = p.kerSizeW = 3;
    p.strideH = p.strideW = p.dilationRateH = p.dilationRateW = 1;
    p.padTop = p.padLeft = p.padBottom = p.padRight = 1;
    p.depthMultiplier = 1;
    p.pad = SAME;
    p.useBias = 1;
    p.activation = ReLU6;
    NNKernel k = bench_util::Kernel(inputs, outputs, inner, 2, &p);
    Init_DWConvolution_ref(&k);
    for (auto _ : state) {
        Execute_DWConvolution_ref(&k);
        benchmark::ClobberMemory();
    }
    Destroy_DWConvolution_ref(&k);
    Report(state, 2.0 * H * W * C * 9);
    for (Tensor* t : {inputs[0], outputs[0], inner[0], inner[1]}) DestroyTensor(t);
}
BENCHMARK(DepthwiseConv2D_3x3_112x112x32)->Unit(benchmark::kMillisecond);

// Dense 1024 -> 1000 with bias, one input row.
void Dense_1024_to_1000(benchmark::State& state)
{
    Tensor* in = Make({1, 1024}, DL_NC);
    Tensor* w = Make({1024, 1000}, DL_CN);
    Tensor* bias = Make({1000}, DL_I);
    Tensor* out = Make({1, 1000}, DL_NC);
    const DenseParams p = {1, None};
    for (auto _ : state) {
        Dense_fl32_ref(in, w, bias, out, &p);
        benchmark::ClobberMemory();
    }
    Report(state, 2.0 * 1024 * 1000);
    for (Tensor* t : {in, w, bias, out}) DestroyTensor(t);
}
BENCHMARK(Dense_1024_to_1000)->Unit(benchmark::kMicrosecond);

// MatMul (1, 128, 256) x (256, 256).
void Matmul_128x256_by_256x256(benchmark::State& state)
{
    Tensor* a = Make({1, 128, 256}, DL_NONE);
    Tensor* b = Make({256, 256}, DL_NONE);
    Tensor* out = Make({1, 128, 256}, DL_NONE);
    for (auto _ : state) {
        Matmul_ref(a, b, out);
        benchmark::ClobberMemory();
    }
    Report(state, 2.0 * 128 * 256 * 256);
    for (Tensor* t : {a, b, out}) DestroyTensor(t);
}
BENCHMARK(Matmul_128x256_by_256x256)->Unit(benchmark::kMicrosecond);

}  // namespace
