// Builders shared by the benchmarks: filled float32 tensors, kernel records
// and the GFLOP/s counter.
#ifndef CORVUS_BENCH_UTIL_H
#define CORVUS_BENCH_UTIL_H

#include <benchmark/benchmark.h>

#include <cstring>
#include <initializer_list>

#include "Layers.h"
#include "Tensor.h"

namespace bench_util {

// A float32 tensor of the given dimensions filled with a fixed pattern in
// [offset, offset + 1000 * scale).
inline Tensor* Make(std::initializer_list<uint32_t> dims, DataLayout layout, float scale = 0.002f, float offset = -1.0f)
{
    TensorShape s{};
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    Tensor* t = CreateTensor(DT_FLOAT32, layout, k, s, true);
    float* p = (float*)t->data;
    for (uint32_t i = 0; i < GetTensorSize(t); ++i) p[i] = (float)((i * 7919u) % 1000u) * scale + offset;
    return t;
}

// A kernel record of one input, one output and `innerNum` inner tensors.
inline NNKernel Kernel(Tensor** inputs, Tensor** outputs, Tensor** inner, uint32_t innerNum, void* params)
{
    NNKernel k;
    memset(&k, 0, sizeof(k));
    k.input = inputs;
    k.output = outputs;
    k.inner = inner;
    k.inputsNum = k.outputsNum = 1;
    k.innerNum = innerNum;
    k.params = params;
    return k;
}

inline void ReportFlops(benchmark::State& state, double flopsPerRun)
{
    state.counters["GFLOP/s"] =
        benchmark::Counter(flopsPerRun * (double)state.iterations() * 1e-9, benchmark::Counter::kIsRate);
}

}  // namespace bench_util

#endif
