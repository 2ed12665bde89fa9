// Reductions along axes (mean, sum, max, min, L2 norm), arg-max and
// cumulative sums. All work on dense float32 views; float16 data is widened
// first and narrowed back at the end.
#define CORVUS_MODULE "Reduce_ref"
#include <cmath>
#include <limits>
#include <vector>

#include "LayersReduction.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "common/FloatView.h"

using corvus::DenseFloatIn;
using corvus::DenseFloatOut;

namespace {

// A run of adjacent input dimensions that are all reduced or all kept.
// Merging them changes nothing: the input view is dense and the kept
// dimensions stay in order in the output.
struct Group {
    uint64_t extent;
    bool reduced;
};

struct SumOp {
    static constexpr float kInit = 0.0f;
    static float Apply(float acc, float x) { return acc + x; }
};
struct SquareSumOp {
    static constexpr float kInit = 0.0f;
    static float Apply(float acc, float x) { return acc + x * x; }
};
struct MaxOp {
    static constexpr float kInit = -std::numeric_limits<float>::infinity();
    static float Apply(float acc, float x) { return x > acc ? x : acc; }
};
struct MinOp {
    static constexpr float kInit = std::numeric_limits<float>::infinity();
    static float Apply(float acc, float x) { return x < acc ? x : acc; }
};

// Walks the input in row-major order, folding each element into the
// accumulator of its output position; each accumulator therefore sees its
// elements in index order. The innermost group is a tight loop.
template <class Op> void Fold(const float* x, float* acc, uint64_t outCount, const std::vector<Group>& groups)
{
    for (uint64_t i = 0; i < outCount; ++i) acc[i] = Op::kInit;
    const size_t g = groups.size();
    const Group& last = groups[g - 1];
    // Output stride of each kept group (reduced groups do not move the output).
    std::vector<uint64_t> outStride(g, 0);
    uint64_t s = 1;
    for (size_t k = g; k-- > 0;)
        if (!groups[k].reduced) {
            outStride[k] = s;
            s *= groups[k].extent;
        }
    uint64_t outer = 1;
    for (size_t k = 0; k + 1 < g; ++k) outer *= groups[k].extent;
    std::vector<uint64_t> idx(g, 0);
    const uint64_t n = last.extent;
    for (uint64_t o = 0; o < outer; ++o) {
        uint64_t base = 0;
        for (size_t k = 0; k + 1 < g; ++k) base += idx[k] * outStride[k];
        const float* row = x + o * n;
        if (last.reduced) {
            float a = acc[base];
            for (uint64_t j = 0; j < n; ++j) a = Op::Apply(a, row[j]);
            acc[base] = a;
        } else {
            float* dst = acc + base;
            for (uint64_t j = 0; j < n; ++j) dst[j] = Op::Apply(dst[j], row[j]);
        }
        for (size_t k = g - 1; k-- > 0;) {
            if (++idx[k] < groups[k].extent) break;
            idx[k] = 0;
        }
    }
}

bool IsHalfOrFloat(uint32_t dtype) { return dtype == DT_FLOAT32 || dtype == DT_FLOAT16; }

void CheckArgMaxTypes(const Tensor* input, const Tensor* output)
{
    static const char* const fn = "Execute_ArgMax_ref";
    if (!IsHalfOrFloat(input->dtype)) CV_FATAL("%s: Input data type is not in (float32, float16)", fn);
    if (output->dtype != DT_INT32) CV_FATAL("%s: Output data type is not in (int32)", fn);
}

// Outer, axis and inner extents of a tensor split at `axis`.
void SplitAt(const Tensor* t, uint32_t axis, uint64_t* outer, uint64_t* n, uint64_t* inner)
{
    *outer = 1;
    *inner = 1;
    for (uint32_t d = 0; d < axis; ++d) *outer *= t->shape.dimension[d];
    for (uint32_t d = axis + 1; d < t->ndim; ++d) *inner *= t->shape.dimension[d];
    *n = t->shape.dimension[axis];
}

void CumSumAny(Tensor* output, const Tensor* input, int32_t axis, const CumSumParams* params)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    if (CompareTensorsShape(output, input) != TCR_SHAPES_EQUAL || output->dtype != input->dtype)
        CV_FATAL("CumSum: output must have the input's shape and data type");
    const int64_t a = axis < 0 ? (int64_t)axis + output->ndim : axis;
    const uint32_t sum_axis = a < 0 ? 0xFFFFFFFFu : (uint32_t)a;
    if (sum_axis >= output->ndim) CV_FATAL("sum_axis < out->ndim: false, expected: true");
    if (corvus::ElementCount(input) == 0) return;
    CV_CHECK_PTR(input->data);
    CV_CHECK_PTR(output->data);

    DenseFloatIn in(input);
    DenseFloatOut out(output);
    uint64_t outer, n, inner;
    SplitAt(input, sum_axis, &outer, &n, &inner);
    const float* x = in.data();
    float* y = out.data();
    // Lines along the axis are processed side by side, inner index fastest.
    std::vector<float> acc(inner);
    for (uint64_t o = 0; o < outer; ++o) {
        const float* xo = x + o * n * inner;
        float* yo = y + o * n * inner;
        const bool rev = params->reverse;
        const uint64_t first = rev ? n - 1 : 0;
        for (uint64_t i = 0; i < inner; ++i) acc[i] = params->exclusive ? 0.0f : xo[first * inner + i];
        for (uint64_t i = 0; i < inner; ++i) yo[first * inner + i] = acc[i];
        for (uint64_t t = 1; t < n; ++t) {
            const uint64_t pos = rev ? n - 1 - t : t;
            const uint64_t src = params->exclusive ? (rev ? pos + 1 : pos - 1) : pos;
            for (uint64_t i = 0; i < inner; ++i) {
                acc[i] = acc[i] + xo[src * inner + i];
                yo[pos * inner + i] = acc[i];
            }
        }
    }
    out.Commit();
}

void ExecuteReduce(NNKernel* kernel, LayerOpType op)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1);
    Reduce_ref(kernel->output[0], kernel->input[0], (const ReduceParams*)kernel->params, op);
}

void Execute_ReduceMean_ref(NNKernel* kernel) { ExecuteReduce(kernel, OP_ReduceMean); }
void Execute_ReduceSum_ref(NNKernel* kernel) { ExecuteReduce(kernel, OP_ReduceSum); }
void Execute_ReduceMax_ref(NNKernel* kernel) { ExecuteReduce(kernel, OP_ReduceMax); }
void Execute_ReduceMin_ref(NNKernel* kernel) { ExecuteReduce(kernel, OP_ReduceMin); }
void Execute_ReduceL2_ref(NNKernel* kernel) { ExecuteReduce(kernel, OP_ReduceL2); }

void Execute_ArgMax_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "%s: Kernel pointer is null", "Execute_ArgMax_ref");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
    CheckArgMaxTypes(kernel->input[0], kernel->output[0]);
    ArgMax_ref(kernel->output[0], kernel->input[0], (const ArgMaxParams*)kernel->params);
}

void Execute_CumSum_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Execute_CumSum_ref: Kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum == 2);
    const Tensor* axisTensor = kernel->input[1];
    CV_CHECK_PTR(axisTensor);
    if (axisTensor->dtype != DT_INT32 || GetTensorSize(axisTensor) < 1)
        CV_FATAL("Execute_CumSum_ref: the axis input must hold an int32 value");
    CV_CHECK_PTR(axisTensor->data);
    const int32_t axis = *(const int32_t*)axisTensor->data;
    const Tensor* in = kernel->input[0];
    const CumSumParams* params = (const CumSumParams*)kernel->params;
    if (in->dtype == DT_FLOAT32)
        CumSum_fl32_ref(kernel->output[0], in, axis, params);
    else if (in->dtype == DT_FLOAT16)
        CumSum_fl16_ref(kernel->output[0], in, axis, params);
    else
        CV_FATAL("support only F16 or F32");
}

}  // namespace

extern "C" {

void Reduce_ref(Tensor* output, const Tensor* input, const ReduceParams* params, LayerOpType op)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    if (!IsHalfOrFloat(input->dtype) || output->dtype != input->dtype)
        CV_FATAL("Reduce_ref: input and output must both be float32 or both float16");
    const uint32_t rank = input->ndim;
    if (rank > MAX_NDIM_VALUE || params->axesCount > rank) CV_FATAL("Reduce_ref: axes do not fit the input rank");
    bool reduced[MAX_NDIM_VALUE] = {};
    for (uint32_t k = 0; k < params->axesCount; ++k) {
        if (params->axes[k] >= rank || (k > 0 && params->axes[k] <= params->axes[k - 1]))
            CV_FATAL("Reduce_ref: axes must be increasing and below the input rank");
        reduced[params->axes[k]] = true;
    }
    if (params->axesCount == 0)
        for (uint32_t d = 0; d < rank; ++d) reduced[d] = true;

    // Groups of like dimensions; dimensions of 1 join either kind.
    std::vector<Group> groups;
    uint64_t inCount = 1, outCount = 1;
    for (uint32_t d = 0; d < rank; ++d) {
        const uint64_t e = input->shape.dimension[d];
        inCount *= e;
        if (!reduced[d]) outCount *= e;
        if (e == 1) continue;
        if (!groups.empty() && groups.back().reduced == reduced[d])
            groups.back().extent *= e;
        else
            groups.push_back({e, reduced[d]});
    }
    if (groups.empty()) groups.push_back({1, true});
    if (corvus::ElementCount(output) != outCount)
        CV_FATAL("Reduce_ref: output holds %llu elements, the reduction gives %llu",
                 (unsigned long long)corvus::ElementCount(output), (unsigned long long)outCount);
    if (outCount == 0) return;
    CV_CHECK_PTR(output->data);
    if (inCount > 0) CV_CHECK_PTR(input->data);

    DenseFloatIn in(input);
    DenseFloatOut out(output);
    float* acc = out.data();
    switch (op) {
    case OP_ReduceSum:
        Fold<SumOp>(in.data(), acc, outCount, groups);
        break;
    case OP_ReduceMean: {
        Fold<SumOp>(in.data(), acc, outCount, groups);
        const float factor = (float)outCount / (float)inCount;
        for (uint64_t i = 0; i < outCount; ++i) acc[i] = acc[i] * factor;
        break;
    }
    case OP_ReduceMax:
        Fold<MaxOp>(in.data(), acc, outCount, groups);
        break;
    case OP_ReduceMin:
        Fold<MinOp>(in.data(), acc, outCount, groups);
        break;
    case OP_ReduceL2:
        Fold<SquareSumOp>(in.data(), acc, outCount, groups);
        for (uint64_t i = 0; i < outCount; ++i) acc[i] = sqrtf(acc[i]);
        break;
    default:
        CV_FATAL("Reduce_ref: operation %d is not a reduction", (int)op);
    }
    out.Commit();
}

void ArgMax_ref(Tensor* output, const Tensor* input, const ArgMaxParams* params)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    CheckArgMaxTypes(input, output);
    if (params->axis >= input->ndim)
        CV_FATAL("ArgMax_ref: axis %u is out of the input rank %u", params->axis, input->ndim);
    uint64_t outer, n, inner;
    SplitAt(input, params->axis, &outer, &n, &inner);
    if (corvus::ElementCount(output) != outer * inner || !IsSerialData(output))
        CV_FATAL("ArgMax_ref: output must be dense with %llu elements", (unsigned long long)(outer * inner));
    if (outer * inner == 0) return;
    CV_CHECK_PTR(output->data);
    int32_t* result = (int32_t*)output->data;
    if (n == 0) {
        for (uint64_t i = 0; i < outer * inner; ++i) result[i] = 0;
        return;
    }
    CV_CHECK_PTR(input->data);
    DenseFloatIn in(input);
    const bool last = params->selectLastIndex;
    std::vector<float> best(inner);
    for (uint64_t o = 0; o < outer; ++o) {
        const float* xo = in.data() + o * n * inner;
        int32_t* ro = result + o * inner;
        for (uint64_t i = 0; i < inner; ++i) {
            best[i] = xo[i];
            ro[i] = 0;
        }
        // x replaces the best when x >= best and (last || x > best): ties keep
        // the first index unless the last is asked for; NaN never wins.
        for (uint64_t j = 1; j < n; ++j) {
            const float* row = xo + j * inner;
            for (uint64_t i = 0; i < inner; ++i) {
                const float x = row[i];
                if (x >= best[i] && (last || x > best[i])) {
                    best[i] = x;
                    ro[i] = (int32_t)j;
                }
            }
        }
    }
}

void CumSum_fl32_ref(Tensor* output, const Tensor* input, int32_t axis, const CumSumParams* params)
{
    CV_CHECK_PTR(input);
    if (input->dtype != DT_FLOAT32) CV_FATAL("CumSum_fl32_ref: input must be float32");
    CumSumAny(output, input, axis, params);
}

void CumSum_fl16_ref(Tensor* output, const Tensor* input, int32_t axis, const CumSumParams* params)
{
    CV_CHECK_PTR(input);
    if (input->dtype != DT_FLOAT16) CV_FATAL("CumSum_fl16_ref: input must be float16");
    CumSumAny(output, input, axis, params);
}

extern const NNKernelFn nn_kernel_fn_ReduceMean_ref = {Execute_ReduceMean_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_ReduceSum_ref = {Execute_ReduceSum_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_ReduceMax_ref = {Execute_ReduceMax_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_ReduceMin_ref = {Execute_ReduceMin_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_ReduceL2_ref = {Execute_ReduceL2_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_ArgMax_ref = {Execute_ArgMax_ref, nullptr, nullptr, nullptr};
extern const NNKernelFn nn_kernel_fn_CumSum_ref = {Execute_CumSum_ref, nullptr, nullptr, nullptr};

}  // extern "C"
