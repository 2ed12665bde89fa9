// One-dimensional max and average pooling along one axis of a channels-last
// tensor, tiled through the scratch memory: bands of input lines are brought
// in with one two-dimensional transfer, reduced there, and the output band is
// written back with another. The two-dimensional pooling runs two of these.
#define CORVUS_MODULE "Pooling1D_opt"
#include <cfloat>
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersPooling.h"
#include "Report.h"
#include "common/KernelScratch.h"
#include "nn_kernels/OptKernels.h"
#include "nn_kernels/dma/xydma.h"
#include "VectorLevel.h"

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

constexpr int kRefused = -1;
constexpr int32_t kProbe = -1;
constexpr int32_t kInit = -2;
constexpr uint32_t kSlots = 4;  // transfer descriptors at the top of the block

// One pass: `lines` pairs of base element offsets, each line `lineLen`
// contiguous elements; consecutive axis positions are inStep / outStep
// elements apart.
struct Pass {
    std::vector<int64_t> inBase, outBase;
    uint32_t lineLen;
    int64_t inStep, outStep;
    int64_t inLen, outLen;  // axis extents
    int64_t window, stride, padBegin, padEnd;
    bool countPads, isMax;
};

// The span of window o: [start, end) with end clipped to the end pad, and the
// part [first, last) inside the input.
struct Span {
    int64_t start, end, first, last;
};

inline Span WindowOf(const Pass& p, int64_t o)
{
    Span s;
    s.start = o * p.stride - p.padBegin;
    s.end = s.start + p.window;
    if (s.end > p.inLen + p.padEnd) s.end = p.inLen + p.padEnd;
    // Windows may lie wholly past the input: both ends stay within it.
    s.first = s.start > 0 ? (s.start < p.inLen ? s.start : p.inLen) : 0;
    s.last = s.end < p.inLen ? s.end : p.inLen;
    if (s.last < s.first) s.last = s.first;
    return s;
}

// Up to three window rows folded into acc in one sweep, in window order:
// the running maximum replaced only by strictly greater values, or the
// running sum. First: acc starts at the reduction's initial value.
template <bool Max, bool First> inline void Fold(float* __restrict acc, const float* const* x, int k, uint32_t n)
{
    const float init = Max ? -FLT_MAX : 0.0f;
    const float* __restrict x0 = x[0];
    const float* __restrict x1 = x[k > 1 ? 1 : 0];
    const float* __restrict x2 = x[k > 2 ? 2 : 0];
    auto step = [](float m, float v) { return Max ? (v > m ? v : m) : m + v; };
    if (k == 3)
        for (uint32_t j = 0; j < n; ++j) acc[j] = step(step(step(First ? init : acc[j], x0[j]), x1[j]), x2[j]);
    else if (k == 2)
        for (uint32_t j = 0; j < n; ++j) acc[j] = step(step(First ? init : acc[j], x0[j]), x1[j]);
    else
        for (uint32_t j = 0; j < n; ++j) acc[j] = step(First ? init : acc[j], x0[j]);
}

template <bool Max, typename Load> void Fold(const Span& s, float* acc, uint32_t n, Load load)
{
    if (s.first == s.last) {
        for (uint32_t j = 0; j < n; ++j) acc[j] = Max ? -FLT_MAX : 0.0f;
        return;
    }
    for (int64_t pos = s.first; pos < s.last; pos += 3) {
        const int k = s.last - pos < 3 ? (int)(s.last - pos) : 3;
        const float* x[3] = {nullptr, nullptr, nullptr};
        for (int i = 0; i < k; ++i) x[i] = load(pos + i, i);
        if (pos == s.first)
            Fold<Max, true>(acc, x, k, n);
        else
            Fold<Max, false>(acc, x, k, n);
    }
}

// Reduces one output line (`n` elements) from the scratch rows of window s
// into acc; load(pos, slot) gives the float32 row of an input position.
template <typename Load> void ReduceLine(const Pass& p, const Span& s, float* acc, uint32_t n, Load load)
{
    if (p.isMax) {
        Fold<true>(s, acc, n, load);
        // Pad cells are zeros when they count; skipped otherwise (they are
        // below anything the accumulator can hold).
        if (p.countPads && (s.start < 0 || s.end > p.inLen) && s.end > s.start)
            for (uint32_t j = 0; j < n; ++j) acc[j] = 0.0f > acc[j] ? 0.0f : acc[j];
        return;
    }
    Fold<false>(s, acc, n, load);
    const int64_t cells = p.countPads ? (s.end > s.start ? s.end - s.start : 0) : s.last - s.first;
    const float count = (float)cells;
    for (uint32_t j = 0; j < n; ++j) acc[j] = acc[j] / count;
}

// Scratch row step for rows of rowBytes that agrees with mmStep modulo 16.
inline int64_t XyStep(int64_t rowBytes, int64_t mmStep)
{
    const int64_t m = xyAlign;
    return rowBytes + ((((mmStep - rowBytes) % m) + m) % m);
}

// Runs the pass for element type T (float or uint16_t half).
template <typename T> void RunPass(const Pass& p, const void* inData, void* outData, KernelScratch* scratch)
{
    const int64_t es = sizeof(T);
    const ScratchBlock scratchBlock(scratch, kXyScratchBytes, "Pooling1D_opt");
    uint8_t* block = scratchBlock.data();
    uint8_t* slots = block + xySize - kSlots * xyDmaDescBytes;
    const int64_t usable = xySize - kSlots * xyDmaDescBytes;
    const int64_t spanMax = p.window < p.inLen ? p.window : p.inLen;  // input rows of one window

    // Line chunk: the whole line when one window and one output row fit.
    int64_t chunk = p.lineLen;
    auto need = [&](int64_t c, int64_t outs) {
        const int64_t rows = spanMax + (outs - 1) * p.stride;
        const int64_t inRows = rows < p.inLen ? rows : p.inLen;
        return inRows * (c * es + xyAlign) + outs * (c * es + xyAlign) + 2 * xyAlign;
    };
    while (chunk > 4 && need(chunk, 1) > usable) chunk = (chunk + 1) / 2;
    int64_t xyFree = usable - need(chunk, 1);
    if (!(xyFree >= 0)) CV_FATAL("xyFree >= 0: false, expected: true");
    // Outputs per band: as many as fit.
    int64_t band = 1;
    while (band < p.outLen && need(chunk, band * 2) <= usable) band *= 2;
    while (band < p.outLen && need(chunk, band + 1) <= usable) ++band;

    std::vector<float> acc((size_t)chunk), wide;
    if (sizeof(T) != sizeof(float)) wide.resize((size_t)chunk * 3);
    const T* in = (const T*)inData;
    T* out = (T*)outData;

    for (size_t l = 0; l < p.inBase.size(); ++l)
        for (int64_t j0 = 0; j0 < p.lineLen; j0 += chunk) {
            const uint32_t n = (uint32_t)(p.lineLen - j0 < chunk ? p.lineLen - j0 : chunk);
            const int64_t rowBytes = n * es;
            for (int64_t o0 = 0; o0 < p.outLen; o0 += band) {
                const int64_t o1 = o0 + band < p.outLen ? o0 + band : p.outLen;
                const Span a = WindowOf(p, o0), b = WindowOf(p, o1 - 1);
                const int64_t first = a.first, last = b.last > first ? b.last : first;
                const T* mmIn = in + p.inBase[l] + j0 + first * p.inStep;
                T* mmOut = out + p.outBase[l] + j0 + o0 * p.outStep;
                const int64_t inStepB = XyStep(rowBytes, p.inStep * es);
                const int64_t outStepB = XyStep(rowBytes, p.outStep * es);
                uint8_t* xyOut = (uint8_t*)xyCarve(slots, (uint64_t)((o1 - o0) * outStepB), mmOut);
                uint8_t* xyIn = (uint8_t*)xyCarve(xyOut, (uint64_t)((last - first) * inStepB), mmIn);
                if (xyIn < block) CV_FATAL("xyFree >= 0: false, expected: true");
                xyDmaPrepare(slots, kSlots);
                if (last > first) {
                    void* h = xyDmaRead64(slots, xyIn, (int32_t)inStepB, mmIn, (int32_t)(p.inStep * es),
                                          (int32_t)rowBytes, (int32_t)(last - first));
                    xyDmaRun(h);
                }
                for (int64_t o = o0; o < o1; ++o) {
                    const Span s = WindowOf(p, o);
                    T* dst = (T*)(xyOut + (o - o0) * outStepB);
                    auto row = [&](int64_t pos) { return (const T*)(xyIn + (pos - first) * inStepB); };
                    if (sizeof(T) == sizeof(float)) {
                        float* accRow = (float*)(void*)dst;
                        ReduceLine(p, s, accRow, n,
                                   [&](int64_t pos, int) { return (const float*)(const void*)row(pos); });
                    } else {
                        ReduceLine(p, s, acc.data(), n, [&](int64_t pos, int slot) {
                            float* w = wide.data() + (size_t)slot * chunk;
                            float16_to_float32((const uint16_t*)(const void*)row(pos), w, n);
                            return (const float*)w;
                        });
                        float32_to_float16(acc.data(), (uint16_t*)(void*)dst, n);
                    }
                }
                void* h = xyDmaWrite64(slots, mmOut, (int32_t)(p.outStep * es), xyOut, (int32_t)outStepB,
                                       (int32_t)rowBytes, (int32_t)(o1 - o0));
                xyDmaRun(h);
            }
        }
}

// Null when the pair can be pooled along axis, else why not.
const char* Refusal(const Tensor* out, const Tensor* in, uint32_t axis, uint32_t window, uint32_t stride,
                    uint32_t padMode)
{
    if (in == nullptr || out == nullptr) return "missing tensor";
    if (in->ndim != out->ndim || (in->ndim != 3 && in->ndim != 4)) return "tensors must both have 3 or 4 dimensions";
    if (axis < 1 || axis + 2 > in->ndim) return "axis must be a spatial axis";
    if (in->dtype != out->dtype) return "data types differ";
    for (uint32_t d = 0; d < in->ndim; ++d)
        if (d != axis && in->shape.dimension[d] != out->shape.dimension[d]) return "shapes differ off the axis";
    if (in->stride.dimension[in->ndim - 1] != 1 || out->stride.dimension[in->ndim - 1] != 1)
        return "channels must be adjacent";
    if (window == 0 || stride == 0) return "window and stride must be positive";
    if (padMode != POOL_PADDING_ZEROS && padMode != POOL_PADDING_IGNORE) return "unsupported padding mode";
    return nullptr;
}

// Scratch rows are addressed with 32-bit steps.
bool StepsFit(const Tensor* t)
{
    const uint64_t es = DataTypeSize((DataType)t->dtype);
    for (uint32_t d = 0; d < t->ndim; ++d)
        if ((uint64_t)t->stride.dimension[d] * es > 0x3fffffffu) return false;
    return true;
}

}  // namespace

const char* Pooling1D_opt_refusal(const Tensor* output, const Tensor* input, uint32_t axis, uint32_t window,
                                  uint32_t stride, uint32_t padMode)
{
    return Refusal(output, input, axis, window, stride, padMode);
}

// Pooling1D_opt on the caller's scratch block (null: one for this call).
int Pooling1D_opt_scratch(int32_t share, int32_t shares, Tensor* output, const Tensor* input, uint32_t axis,
                          uint32_t window, uint32_t stride, uint32_t padBegin, uint32_t padEnd, uint32_t padMode,
                          uint32_t isMax, KernelScratch* scratch);

int Pooling1D_opt(int32_t share, int32_t shares, Tensor* output, const Tensor* input, uint32_t axis, uint32_t window,
                  uint32_t stride, uint32_t padBegin, uint32_t padEnd, uint32_t padMode, uint32_t isMax)
{
    return Pooling1D_opt_scratch(share, shares, output, input, axis, window, stride, padBegin, padEnd, padMode, isMax,
                                 nullptr);
}

int Pooling1D_opt_scratch(int32_t share, int32_t shares, Tensor* output, const Tensor* input, uint32_t axis,
                          uint32_t window, uint32_t stride, uint32_t padBegin, uint32_t padEnd, uint32_t padMode,
                          uint32_t isMax, KernelScratch* scratch)
{
    if (Refusal(output, input, axis, window, stride, padMode) != nullptr) return kRefused;
    if (share == kProbe || share == kInit || share >= shares) return 0;
    if (input->dtype != DT_FLOAT32 && input->dtype != DT_FLOAT16)
        CV_FATAL("DataType %d not implemened", (int)input->dtype);
    if (GetTensorSize(output) == 0) return 0;
    CV_CHECK_PTR(output->data);
    if (GetTensorSize(input) != 0) CV_CHECK_PTR(input->data);
    if (!StepsFit(input) || !StepsFit(output)) CV_FATAL("xyFree >= 0: false, expected: true");

    Pass p;
    const uint32_t nd = input->ndim, last = nd - 1;
    p.inLen = input->shape.dimension[axis];
    p.outLen = output->shape.dimension[axis];
    p.inStep = input->stride.dimension[axis];
    p.outStep = output->stride.dimension[axis];
    p.window = window;
    p.stride = stride;
    p.padBegin = padBegin;
    p.padEnd = padEnd;
    p.countPads = padMode == POOL_PADDING_ZEROS;
    p.isMax = isMax != 0;
    // Dimensions between the axis and the channels join the line when both
    // tensors store them densely; otherwise they become separate lines.
    const uint32_t C = input->shape.dimension[last];
    bool mergeInner = true;
    for (uint32_t d = axis + 1; d < last; ++d)
        mergeInner = mergeInner &&
                     input->stride.dimension[d] == input->stride.dimension[d + 1] * input->shape.dimension[d + 1] &&
                     output->stride.dimension[d] == output->stride.dimension[d + 1] * output->shape.dimension[d + 1];
    uint64_t lineLen = C;
    if (mergeInner)
        for (uint32_t d = axis + 1; d < last; ++d) lineLen *= input->shape.dimension[d];
    if (lineLen == 0 || lineLen > 0x7fffffffu) return 0;
    p.lineLen = (uint32_t)lineLen;
    // Every other index (the dimensions before the axis, and the unmerged
    // ones after it) names one line.
    uint32_t dims[MAX_NDIM_VALUE], count = 0;
    for (uint32_t d = 0; d < last; ++d)
        if (d < axis || (d > axis && !mergeInner)) dims[count++] = d;
    uint32_t idx[MAX_NDIM_VALUE] = {0};
    for (;;) {
        int64_t ib = 0, ob = 0;
        for (uint32_t k = 0; k < count; ++k) {
            ib += (int64_t)idx[k] * input->stride.dimension[dims[k]];
            ob += (int64_t)idx[k] * output->stride.dimension[dims[k]];
        }
        p.inBase.push_back(ib);
        p.outBase.push_back(ob);
        int k = (int)count - 1;
        for (; k >= 0; --k) {
            if (++idx[k] < input->shape.dimension[dims[k]]) break;
            idx[k] = 0;
        }
        if (k < 0) break;
    }
    if (input->dtype == DT_FLOAT32)
        RunPass<float>(p, input->data, output->data, scratch);
    else
        RunPass<uint16_t>(p, input->data, output->data, scratch);
    return 0;
}

// ---- One-dimensional layers ---------------------------------------------------

static int Pool1DLayer(int32_t share, int32_t shares, NNKernel* kernel, uint32_t isMax)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    if (kernel->inputsNum < 1 || kernel->outputsNum < 1 || kernel->input == nullptr || kernel->output == nullptr)
        return kRefused;
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    if (in == nullptr || out == nullptr || in->ndim != 3 || out->ndim != 3) return kRefused;
    const Pool1DParams* p = (const Pool1DParams*)kernel->params;
    return CORVUS_LEVEL_NS::Pooling1D_opt_scratch(share, shares, out, in, 1, p->poolSize, p->stride, p->padBegin,
                                                  p->padEnd, p->paddingMode, isMax, KernelScratchOf(kernel));
}

int MaxPool1D_opt(int32_t share, int32_t shares, NNKernel* kernel) { return Pool1DLayer(share, shares, kernel, 1); }
int AvgPool1D_opt(int32_t share, int32_t shares, NNKernel* kernel) { return Pool1DLayer(share, shares, kernel, 0); }

void Execute_MaxPool1D_opt(NNKernel* kernel)
{
    const int code = CORVUS_LEVEL_NS::MaxPool1D_opt(0, 1, kernel);
    if (code != 0) CV_FATAL("%s error %d", "Execute_MaxPool1D_opt", code);
}

void Execute_AvgPool1D_opt(NNKernel* kernel)
{
    const int code = CORVUS_LEVEL_NS::AvgPool1D_opt(0, 1, kernel);
    if (code != 0) CV_FATAL("%s error %d", "Execute_AvgPool1D_opt", code);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(const char*, Pooling1D_opt_refusal,
                      (const Tensor* output, const Tensor* input, uint32_t axis, uint32_t window, uint32_t stride,
                       uint32_t padMode),
                      (output, input, axis, window, stride, padMode))
CORVUS_LEVEL_DISPATCH(int, Pooling1D_opt,
                      (int32_t share, int32_t shares, Tensor* output, const Tensor* input, uint32_t axis,
                       uint32_t window, uint32_t stride, uint32_t padBegin, uint32_t padEnd, uint32_t padMode,
                       uint32_t isMax),
                      (share, shares, output, input, axis, window, stride, padBegin, padEnd, padMode, isMax))
CORVUS_LEVEL_DISPATCH(int, Pooling1D_opt_scratch,
                      (int32_t share, int32_t shares, Tensor* output, const Tensor* input, uint32_t axis,
                       uint32_t window, uint32_t stride, uint32_t padBegin, uint32_t padEnd, uint32_t padMode,
                       uint32_t isMax, KernelScratch* scratch),
                      (share, shares, output, input, axis, window, stride, padBegin, padEnd, padMode, isMax, scratch))
CORVUS_LEVEL_DISPATCH(int, MaxPool1D_opt, (int32_t share, int32_t shares, NNKernel* kernel), (share, shares, kernel))
CORVUS_LEVEL_DISPATCH(int, AvgPool1D_opt, (int32_t share, int32_t shares, NNKernel* kernel), (share, shares, kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_MaxPool1D_opt, (NNKernel * kernel), (kernel))
CORVUS_LEVEL_DISPATCH(void, Execute_AvgPool1D_opt, (NNKernel * kernel), (kernel))

static void InitPool1D(NNKernel* kernel) { InitKernelScratch(kernel, kXyScratchBytes, "Pooling1D_opt"); }

extern "C" const NNKernelFn nn_kernel_fn_MaxPool1D_opt = {Execute_MaxPool1D_opt, InitPool1D, nullptr,
                                                          ReleaseKernelScratch};
extern "C" const NNKernelFn nn_kernel_fn_AvgPool1D_opt = {Execute_AvgPool1D_opt, InitPool1D, nullptr,
                                                          ReleaseKernelScratch};

#endif
