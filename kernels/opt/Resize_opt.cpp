// Down-scaling of three-channel images by two-tap linear interpolation:
// along the width with a weight pair per output column, then along the
// height with a weight pair per output row, in float32 with fused
// multiply-adds. Input row pairs come into the scratch memory, output rows
// go back from it.
#define CORVUS_MODULE "Resize_opt"
#include <cmath>
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "KernelProbes.h"
#include "LayersResize.h"
#include "Report.h"
#include "common/KernelScratch.h"
#include "nn_kernels/OptKernels.h"
#include "nn_kernels/dma/xydma.h"

namespace {

constexpr uint32_t NDSP_ONE = 1;
constexpr int32_t kProbe = -1;
constexpr uint32_t kSlots = 4;
constexpr int64_t kUsable = xySize - kSlots * xyDmaDescBytes;

// The image the kernel walks: {N, H, W, 3}; tensors of fewer dimensions
// take extent 1 for the missing ones (the batch stays the first).
struct Image {
    uint32_t N, H, W;
    int64_t sN, sH, sW;  // element strides
};

Image ImageOf(const Tensor* t)
{
    const uint32_t nd = t->ndim;
    Image im = {1, 1, 1, 0, 0, 0};
    const uint32_t* d = t->shape.dimension;
    const uint32_t* s = t->stride.dimension;
    if (nd >= 2) {
        im.N = d[0];
        im.sN = s[0];
    }
    if (nd >= 3) {
        im.H = d[1];
        im.sH = s[1];
    }
    if (nd >= 4) {
        im.W = d[2];
        im.sW = s[2];
    }
    return im;
}

// Bytes of the smallest work set: two input rows and three output-width rows.
int64_t MinimalBytes(const Image& in, const Image& out, int64_t es)
{
    const int64_t inPixel = in.sW == 3 ? 3 * es : 3 * es + xyAlign, outPixel = out.sW == 3 ? 3 * es : 3 * es + xyAlign;
    return 2 * ((int64_t)in.W * inPixel + xyAlign) + 3 * ((int64_t)out.W * 3 * 4 + xyAlign) +
           ((int64_t)out.W * outPixel + xyAlign);
}

const char* Refusal(uint32_t cores, const Tensor* in, const Tensor* out, const float* scale, DataType type)
{
    if (in == nullptr) return "!in";
    if (out == nullptr) return "!out";
    if (scale == nullptr) return "!scale";
    if (in->dtype != (uint32_t)type) return type == DT_FLOAT32 ? "in->dtype != DT_FLOAT32" : "in->dtype != DT_FLOAT16";
    if (in->dtype != out->dtype) return "in->dtype != out->dtype";
    if (in->ndim <= 0) return "in->ndim <= 0";
    if (in->ndim > MAX_NDIM_VALUE) return "in->ndim > MAX_NDIM_VALUE";
    if (in->ndim != out->ndim) return "in->ndim != out->ndim";
    const uint32_t n1 = in->ndim - 1;
    if (in->shape.dimension[n1] != 3) return "in->shape.dimension[n1] != 3";
    if (out->shape.dimension[n1] != 3) return "out->shape.dimension[n1] != 3";
    if (in->stride.dimension[n1] != 1) return "in->stride.dimension[n1] != 1";
    if (out->stride.dimension[n1] != 1) return "out->stride.dimension[n1] != 1";
    // Scales past the tensor's rank count as 1.
    struct {
        float scale[MAX_NDIM_VALUE];
    } v;
    for (uint32_t i = 0; i < MAX_NDIM_VALUE; ++i) v.scale[i] = i < in->ndim ? scale[i] : 1.0f;
    if (v.scale[0] != 1.0f) return "v.scale[0] != 1.0";
    // NaN scales fail the lower bounds.
    if (type == DT_FLOAT32 && !(v.scale[1] >= 0.008f)) return "v.scale[1] < 0.008";
    if (type == DT_FLOAT16 && !(v.scale[1] >= 0.003f)) return "v.scale[1] < 0.003";
    if (v.scale[1] > 1.0f) return "v.scale[1] > 1.0";
    if (!(v.scale[2] > 0.0f)) return "v.scale[2] <= 0.0";
    if (v.scale[2] > 1.0f) return "v.scale[2] > 1.0";
    if (v.scale[3] != 1.0f) return "v.scale[3] != 1.0";
    if (v.scale[4] != 1.0f) return "v.scale[4] != 1.0";
    if (cores < NDSP_ONE) return "nDsp < NDSP_ONE";
    // Dimensions between the width and the channels (scale 1) must match;
    // so must the batch. An empty input cannot feed a non-empty output.
    for (uint32_t d = 3; d < n1; ++d)
        if (in->shape.dimension[d] != 1 || out->shape.dimension[d] != 1)
            return "dimensions between the width and the channels must be 1";
    if (in->ndim >= 2 && in->shape.dimension[0] != out->shape.dimension[0]) return "batch sizes differ";
    const Image a = ImageOf(in), b = ImageOf(out);
    if (GetTensorSize(out) != 0 && GetTensorSize(in) == 0) return "in is empty while out is not";
    if (MinimalBytes(a, b, DataTypeSize(type)) > kUsable) return "can't alloc minimal block";
    return nullptr;
}

// The two input indices and weights of one output index: the output cell's
// centre mapped into the input, clamped to its ends. single: the centre
// falls on an input cell, which is taken as it is. half: it falls midway
// between two cells.
struct Tap {
    uint32_t i0, i1;
    float w0, w1;
    bool single, half;
};

// An even split is summed from 0 and halved, the operations of the area
// average over two cells, so that at scale 1/2 both give the same bits
// (signed zeros, subnormal and overflowing sums included).
inline float Halve(float a, float b) { return (0.0f + a + b) * 0.5f; }

std::vector<Tap> Taps(uint32_t inLen, uint32_t outLen, float scale)
{
    std::vector<Tap> taps(outLen);
    const double r = 1.0 / (double)scale;
    for (uint32_t o = 0; o < outLen; ++o) {
        double c = ((double)o + 0.5) * r - 0.5;
        if (c < 0.0) c = 0.0;
        if (c > (double)(inLen - 1)) c = (double)(inLen - 1);
        const double i0 = std::floor(c);
        const double f = c - i0;
        Tap& t = taps[o];
        t.i0 = (uint32_t)i0;
        t.i1 = t.i0 + 1 < inLen ? t.i0 + 1 : t.i0;
        t.single = f == 0.0;
        t.half = f == 0.5 && t.i1 != t.i0;
        t.w1 = (float)f;
        t.w0 = 1.0f - t.w1;
    }
    return taps;
}

// One input row resampled to the output width (three channels per pixel).
void Horizontal(float* dst, const float* src, const std::vector<Tap>& cols)
{
    for (size_t o = 0; o < cols.size(); ++o) {
        const Tap& t = cols[o];
        const float* a = src + 3 * (size_t)t.i0;
        const float* b = src + 3 * (size_t)t.i1;
        float* d = dst + 3 * o;
        if (t.single) {
            d[0] = a[0];
            d[1] = a[1];
            d[2] = a[2];
        } else if (t.half) {
            d[0] = Halve(a[0], b[0]);
            d[1] = Halve(a[1], b[1]);
            d[2] = Halve(a[2], b[2]);
        } else {
            d[0] = fmaf(t.w1, b[0], t.w0 * a[0]);
            d[1] = fmaf(t.w1, b[1], t.w0 * a[1]);
            d[2] = fmaf(t.w1, b[2], t.w0 * a[2]);
        }
    }
}

// Scratch row step for rows of rowBytes that agrees with mmStep modulo 16.
inline int64_t XyStep(int64_t rowBytes, int64_t mmStep)
{
    const int64_t m = xyAlign;
    return rowBytes + ((((mmStep - rowBytes) % m) + m) % m);
}

// A row of pixels in main memory: `count` pixels of three values, `step`
// elements apart. As a transfer: one run when the pixels are adjacent, else
// one three-value run per pixel.
struct PixelRow {
    int32_t rowBytes, rows, mmStep, xyStep;
};

PixelRow RowOf(uint32_t count, int64_t step, int64_t es)
{
    PixelRow r;
    if (step == 3 || count <= 1) {
        r.rowBytes = (int32_t)(count * 3 * es);
        r.rows = 1;
        r.mmStep = r.xyStep = r.rowBytes;
    } else {
        r.rowBytes = (int32_t)(3 * es);
        r.rows = (int32_t)count;
        r.mmStep = (int32_t)(step * es);
        r.xyStep = (int32_t)XyStep(3 * es, step * es);
    }
    return r;
}

// Scratch bytes of a row placed as r.
inline uint64_t Span(const PixelRow& r) { return (uint64_t)(r.rows - 1) * r.xyStep + r.rowBytes; }

// Widens a scratch row (pixels xyStep bytes apart) into adjacent float32 values.
template <typename T> void Gather(float* dst, const uint8_t* xy, const PixelRow& r, uint32_t count)
{
    const int64_t pixelStep = r.rows == 1 ? 3 * (int64_t)sizeof(T) : r.xyStep;
    for (uint32_t q = 0; q < count; ++q) {
        const T* px = (const T*)(const void*)(xy + q * pixelStep);
        if (sizeof(T) == 4) {
            memcpy(dst + 3 * q, px, 3 * sizeof(float));
        } else {
            float16_to_float32((const uint16_t*)(const void*)px, dst + 3 * q, 3);
        }
    }
}

template <typename T> void Scatter(uint8_t* xy, const float* src, const PixelRow& r, uint32_t count)
{
    const int64_t pixelStep = r.rows == 1 ? 3 * (int64_t)sizeof(T) : r.xyStep;
    for (uint32_t q = 0; q < count; ++q) {
        T* px = (T*)(void*)(xy + q * pixelStep);
        if (sizeof(T) == 4)
            memcpy(px, src + 3 * q, 3 * sizeof(float));
        else
            float32_to_float16(src + 3 * q, (uint16_t*)(void*)px, 3);
    }
}

template <typename T>
void Resize(const Tensor* input, Tensor* output, const float* scales, const char* fn, KernelScratch* scratch)
{
    const Image in = ImageOf(input), out = ImageOf(output);
    const int64_t es = sizeof(T);
    const float sH = input->ndim >= 3 ? scales[1] : 1.0f, sW = input->ndim >= 4 ? scales[2] : 1.0f;
    const std::vector<Tap> rows = Taps(in.H, out.H, sH), cols = Taps(in.W, out.W, sW);
    const ScratchBlock scratchBlock(scratch, kXyScratchBytes, fn);
    uint8_t* block = scratchBlock.data();
    uint8_t* slots = block + kUsable;
    const PixelRow inRow = RowOf(in.W, in.sW, es), outRow = RowOf(out.W, out.sW, es);
    const uint64_t midRow = (uint64_t)out.W * 3 * sizeof(float);
    // Regions: the resampled pair of rows and the float32 output row, then
    // the two input rows and the output row as transferred.
    float* mid0 = (float*)xyCarve(slots, midRow, slots);
    float* mid1 = (float*)xyCarve(mid0, midRow, mid0);
    float* res = (float*)xyCarve(mid1, midRow, mid1);
    std::vector<float> wide((size_t)in.W * 3 * 2);
    const T* src = (const T*)input->data;
    T* dst = (T*)output->data;
    for (uint32_t n = 0; n < out.N; ++n)
        for (uint32_t oh = 0; oh < out.H; ++oh) {
            const Tap& t = rows[oh];
            const T* r0 = src + n * in.sN + t.i0 * in.sH;
            const T* r1 = src + n * in.sN + t.i1 * in.sH;
            T* o = dst + n * out.sN + oh * out.sH;
            uint8_t* xyOut = (uint8_t*)xyCarve(res, Span(outRow), o);
            uint8_t* xy0 = (uint8_t*)xyCarve(xyOut, Span(inRow), r0);
            uint8_t* xy1 = (uint8_t*)xyCarve(xy0, Span(inRow), r1);
            if (xy1 < block) CV_FATAL("%s error: xyFree>=0 is false", fn);
            xyDmaPrepare(slots, kSlots);
            void* h = xyDmaRead64(slots, xy0, inRow.xyStep, r0, inRow.mmStep, inRow.rowBytes, inRow.rows);
            if (!t.single) h = xyDmaRead64(h, xy1, inRow.xyStep, r1, inRow.mmStep, inRow.rowBytes, inRow.rows);
            xyDmaRun(h);
            float* a = wide.data();
            float* b = wide.data() + (size_t)in.W * 3;
            Gather<T>(a, xy0, inRow, in.W);
            Horizontal(mid0, a, cols);
            float* result = mid0;
            if (!t.single) {
                Gather<T>(b, xy1, inRow, in.W);
                Horizontal(mid1, b, cols);
                if (t.half)
                    for (uint32_t k = 0; k < out.W * 3; ++k) res[k] = Halve(mid0[k], mid1[k]);
                else
                    for (uint32_t k = 0; k < out.W * 3; ++k) res[k] = fmaf(t.w1, mid1[k], t.w0 * mid0[k]);
                result = res;
            }
            Scatter<T>(xyOut, result, outRow, out.W);
            xyDmaRun(xyDmaWrite64(slots, o, outRow.mmStep, xyOut, outRow.xyStep, outRow.rowBytes, outRow.rows));
        }
}

const char* Run(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output, const float* scales, DataType type,
                const char* fn, KernelScratch* scratch = nullptr)
{
    const char* reason = Refusal(cores, input, output, scales, type);
    if (reason != nullptr || mode == kProbe || GetTensorSize(output) == 0) return reason;
    if (input->data == nullptr) return "in->data == NULL";
    if (output->data == nullptr) return "out->data == NULL";
    if (type == DT_FLOAT32)
        Resize<float>(input, output, scales, fn, scratch);
    else
        Resize<uint16_t>(input, output, scales, fn, scratch);
    return nullptr;
}

const Tensor* InputOf(const NNKernel* kernel)
{
    return kernel->inputsNum >= 1 && kernel->input != nullptr ? kernel->input[0] : nullptr;
}
Tensor* OutputOf(const NNKernel* kernel)
{
    return kernel->outputsNum >= 1 && kernel->output != nullptr ? kernel->output[0] : nullptr;
}
const float* ScalesOf(const NNKernel* kernel)
{
    return kernel->params != nullptr ? ((const ResizeParams*)kernel->params)->scales : nullptr;
}

const char* OnKernel(int32_t mode, const NNKernel* kernel, DataType type, const char* fn)
{
    return Run(mode, kernel->coresNumber, InputOf(kernel), OutputOf(kernel), ScalesOf(kernel), type, fn,
               mode == kProbe ? nullptr : KernelScratchOf(kernel));
}

void InitResize(NNKernel* kernel) { InitKernelScratch(kernel, kXyScratchBytes, "ResizeDown3_opt"); }

// Kernel selection stands this kernel in for the area average, which it
// equals only where every window is one cell (scale 1) or two whole cells
// (scale 1/2, none clamped at the input's end); elsewhere it interpolates.
// Called on tensors the kernel accepts.
const char* AreaMismatch(const Tensor* in, const Tensor* out, const float* scale)
{
    const uint32_t n = in->ndim;
    for (uint32_t d = 0; d < n; ++d) {
        const bool spatial = d >= 1 && d <= 2 && d + 2 <= n;  // height, width (not the channels)
        if (scale[d] == 1.0f) continue;
        if (!spatial) return "scale of a dimension other than height and width != 1.0";
        if (scale[d] != 0.5f) return "height or width scale other than 1.0 and 0.5 interpolates";
        if ((uint64_t)out->shape.dimension[d] * 2 > in->shape.dimension[d])
            return "output longer than half the input at scale 0.5";
    }
    return nullptr;
}

}  // namespace

extern "C" {

const char* ResizeDown3F32_opt(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output, const float* scales)
{
    return Run(mode, cores, input, output, scales, DT_FLOAT32, "ResizeDown3F32_opt");
}

const char* ResizeDown3F16_opt(int32_t mode, uint32_t cores, const Tensor* input, Tensor* output, const float* scales)
{
    return Run(mode, cores, input, output, scales, DT_FLOAT16, "ResizeDown3F16_opt");
}

void Execute_ResizeDown3F32_opt(NNKernel* kernel)
{
    static const char* const kName = "Execute_ResizeDown3F32_opt";
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const char* reason = OnKernel(0, kernel, DT_FLOAT32, "ResizeDown3F32_opt");
    if (reason != nullptr) CV_FATAL("%s error: %s", kName, reason);
}

void Execute_ResizeDown3F16_opt(NNKernel* kernel)
{
    static const char* const kName = "Execute_ResizeDown3F16_opt";
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    const char* reason = OnKernel(0, kernel, DT_FLOAT16, "ResizeDown3F16_opt");
    if (reason != nullptr) CV_FATAL("%s error: %s", kName, reason);
}

const char* Probe_ResizeDown3F32_opt(const NNKernel* kernel)
{
    if (kernel == nullptr) return "kernel pointer is null";
    if (const char* why = OnKernel(kProbe, kernel, DT_FLOAT32, "ResizeDown3F32_opt")) return why;
    return AreaMismatch(InputOf(kernel), OutputOf(kernel), ScalesOf(kernel));
}

const char* Probe_ResizeDown3F16_opt(const NNKernel* kernel)
{
    if (kernel == nullptr) return "kernel pointer is null";
    return OnKernel(kProbe, kernel, DT_FLOAT16, "ResizeDown3F16_opt");
}

extern const NNKernelFn nn_kernel_fn_ResizeDown3F32_opt = {Execute_ResizeDown3F32_opt, InitResize, nullptr,
                                                           ReleaseKernelScratch};
extern const NNKernelFn nn_kernel_fn_ResizeDown3F16_opt = {Execute_ResizeDown3F16_opt, InitResize, nullptr,
                                                           ReleaseKernelScratch};

}  // extern "C"
