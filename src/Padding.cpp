#define CORVUS_MODULE "Padding"
#include "Padding.h"

#include <cmath>
#include <cstring>

#include "Report.h"

namespace {

// Sizes are unsigned 32-bit, so products such as (in - 1) * s can exceed
// 64-bit signed range; all arithmetic runs in 128 bits and the results are
// range-checked before they are narrowed.
using Wide = __int128;

constexpr Wide kMaxSize = UINT32_MAX;

struct DimResult {
    Wide out = 0;
    Wide begin = 0;
    Wide end = 0;
};

void SetDim(PaddingStruct* ps, uint32_t i, const DimResult& r)
{
    ps->outputSize[i] = (uint32_t)r.out;
    uint32_t* pads[3][2] = {{&ps->begin0, &ps->end0}, {&ps->begin1, &ps->end1}, {&ps->begin2, &ps->end2}};
    *pads[i][0] = (uint32_t)r.begin;
    *pads[i][1] = (uint32_t)r.end;
}

// A zero kernel size, stride or dilation has no window to speak of, and a
// zero stride would divide by zero below.
Wide DilatedExtent(const char* fn, uint32_t k, uint32_t s, uint32_t d)
{
    if (k == 0 || s == 0 || d == 0) CV_FATAL("%s: kernel size, stride and dilation must be positive", fn);
    const Wide extent = (Wide)(k - 1) * d + 1;
    if (extent > kMaxSize) CV_FATAL("%s: Wrong params", fn);
    return extent;
}

void CheckFits(const char* fn, const DimResult& r)
{
    if (r.out < 1 || r.out > kMaxSize || r.begin < 0 || r.begin > kMaxSize || r.end < 0 || r.end > kMaxSize)
        CV_FATAL("%s: Wrong params", fn);
}

// Total SAME pad: what the last window, placed at (ceil(in / s) - 1) * s,
// reaches beyond the input.
DimResult SameForward(uint32_t in, Wide extent, uint32_t s, bool ceilMode)
{
    DimResult r;
    r.out = ceilMode ? ((Wide)in + s - 1) / s : (Wide)in / s;
    const Wide rem = (Wide)in % s;
    Wide total = 0;
    if (rem != 0 && extent > rem)
        total = extent - rem;
    else if (rem == 0 && extent > s)
        total = extent - s;
    r.begin = total / 2;  // the odd cell goes after the input
    r.end = total - r.begin;
    return r;
}

DimResult ForwardDim(const char* fn, uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode,
                     uint32_t padBegin, uint32_t padEnd, bool ceilMode)
{
    const Wide extent = DilatedExtent(fn, k, s, d);
    DimResult r;
    switch (mode) {
    case VALID: {
        // A window longer than the input leaves no output at all.
        if (extent > in) CV_FATAL("%s: Wrong params", fn);
        const double x = (double)(int64_t)((Wide)in - extent + 1) / (double)s;
        r.out = (Wide)(ceilMode ? std::ceil(x) : std::floor(x));
        if (r.out == 0) CV_FATAL("%s: Wrong params", fn);
        break;
    }
    case SAME:
        r = SameForward(in, extent, s, ceilMode);
        // An output of 0 (input shorter than the stride, rounding down)
        // is what the formula gives; only overflow is refused here.
        if (r.out > kMaxSize) CV_FATAL("%s: Wrong params", fn);
        return r;
    case EXPLICIT: {
        const Wide padded = (Wide)in + padBegin + padEnd;
        if (padded < extent) CV_FATAL("%s: Wrong params", fn);
        r.out = (padded - extent) / s + 1;
        r.begin = padBegin;
        r.end = padEnd;
        break;
    }
    default:
        CV_FATAL("%s: Unavailable padding type", fn);
    }
    CheckFits(fn, r);
    return r;
}

// One dimension of a transposed window; the pads of VALID and SAME go into
// `begin`. `reduceBegin` is left to the caller (SAME with output padding).
DimResult TransposedDim(const char* fn, uint32_t in, uint32_t k, uint32_t s, uint32_t d, PaddingMode mode,
                        uint32_t padBegin, uint32_t padEnd, uint32_t outputPadding, bool hasOutputPadding)
{
    const Wide extent = DilatedExtent(fn, k, s, d);
    DimResult r;
    switch (mode) {
    case VALID:
        if (hasOutputPadding)
            r.out = ((Wide)in - 1) * s + extent + outputPadding;
        else
            r.out = (Wide)in * s + (extent > s ? extent - s : 0);
        break;
    case SAME:
        if (hasOutputPadding) {
            r.begin = extent / 2;
            r.out = ((Wide)in - 1) * s + extent - 2 * r.begin + outputPadding;
        } else {
            r.out = (Wide)in * s;
            const Wide half = ((Wide)(k - 1) * d - s + 1) / 2;  // truncates toward zero
            r.begin = half > 0 ? half : 0;
        }
        break;
    case EXPLICIT:
        r.begin = padBegin;
        r.end = padEnd;
        r.out = ((Wide)in - 1) * s + extent + outputPadding - padBegin - padEnd;
        break;
    default:
        CV_FATAL("ComputePaddingStruct: Unavailable padding type");
    }
    CheckFits(fn, r);
    return r;
}

}  // namespace

extern "C" PaddingMode GetPaddingName(const char* name)
{
    if (name != nullptr) {
        if (strcmp(name, "same") == 0) return SAME;
        if (strcmp(name, "valid") == 0) return VALID;
    }
    CV_FATAL("Unnsupported padding type");
}

extern "C" PaddingStruct ComputePaddingStruct(uint32_t dimensions_number, const uint32_t* inputSize,
                                              const uint32_t* kernelSize, const uint32_t* strides,
                                              const uint32_t* dilations, PaddingMode mode, const uint32_t* pads,
                                              uint32_t ceilMode)
{
    static const char* const kFn = "ComputePaddingStruct";
    if (!(dimensions_number <= 3 && dimensions_number > 0))
        CV_FATAL("dimensions_number <= 3 && dimensions_number > 0: false, expected: true");
    if (mode != VALID && mode != SAME && mode != EXPLICIT) CV_FATAL("ComputePaddingStruct: Unavailable padding type");
    CV_CHECK_PTR(inputSize);
    CV_CHECK_PTR(kernelSize);
    CV_CHECK_PTR(strides);
    if (mode == EXPLICIT) CV_CHECK_PTR(pads);

    PaddingStruct ps;
    memset(&ps, 0, sizeof(ps));
    for (uint32_t i = 0; i < dimensions_number; ++i) {
        const uint32_t d = dilations != nullptr ? dilations[i] : 1;
        const uint32_t b = mode == EXPLICIT ? pads[i] : 0;
        const uint32_t e = mode == EXPLICIT ? pads[dimensions_number + i] : 0;
        SetDim(&ps, i, ForwardDim(kFn, inputSize[i], kernelSize[i], strides[i], d, mode, b, e, ceilMode != 0));
    }
    return ps;
}

extern "C" PaddingStruct ComputePaddingStructTransposed(uint32_t dimensions_number, const uint32_t* inputSize,
                                                        const uint32_t* kernelSize, const uint32_t* strides,
                                                        const uint32_t* dilations, PaddingMode mode,
                                                        const uint32_t* pads, const uint32_t* outputPadding,
                                                        bool hasOutputPadding)
{
    static const char* const kFn = "ComputePaddingStruct";
    if (dimensions_number > 2) CV_FATAL("ComputePaddingStruct: dimensions number > 2 is not supported");
    if (dimensions_number == 0) CV_FATAL("ComputePaddingStruct: dimensions number must be 1 or 2");
    if (mode != VALID && mode != SAME && mode != EXPLICIT) CV_FATAL("ComputePaddingStruct: Unavailable padding type");
    CV_CHECK_PTR(inputSize);
    CV_CHECK_PTR(kernelSize);
    CV_CHECK_PTR(strides);
    if (mode == EXPLICIT) CV_CHECK_PTR(pads);
    if (hasOutputPadding) CV_CHECK_PTR(outputPadding);

    PaddingStruct ps;
    memset(&ps, 0, sizeof(ps));
    for (uint32_t i = 0; i < dimensions_number; ++i) {
        const uint32_t d = dilations != nullptr ? dilations[i] : 1;
        const uint32_t b = mode == EXPLICIT ? pads[i] : 0;
        const uint32_t e = mode == EXPLICIT ? pads[dimensions_number + i] : 0;
        // Explicit pads always add the output padding when one is given.
        const uint32_t op = outputPadding != nullptr && (hasOutputPadding || mode == EXPLICIT) ? outputPadding[i] : 0;
        DimResult r = TransposedDim(kFn, inputSize[i], kernelSize[i], strides[i], d, mode, b, e, op, hasOutputPadding);
        // The output padding takes over one cell of the SAME begin pad.
        if (mode == SAME && hasOutputPadding && op != 0 && r.begin != 0) r.begin -= 1;
        SetDim(&ps, i, r);
    }
    return ps;
}

extern "C" PaddingStruct ComputePaddingStructT(uint32_t inH, uint32_t inW, uint32_t kH, uint32_t kW, uint32_t sH,
                                               uint32_t sW, uint32_t dH, uint32_t dW, uint32_t padH, uint32_t padW,
                                               uint32_t outPadH, uint32_t outPadW, PaddingMode mode,
                                               bool hasOutputPadding)
{
    CV_DEBUG("ComputePaddingStructT: the function \"ComputePaddingStructT(...)\" is deprecated and will be "
             "removed. Use \"ComputePaddingStructTransposed(...)\" instead");
    static const char* const kFn = "ComputePaddingStructT";
    PaddingStruct ps;
    memset(&ps, 0, sizeof(ps));
    const uint32_t in[2] = {inH, inW};
    const uint32_t k[2] = {kH, kW};
    const uint32_t s[2] = {sH, sW};
    const uint32_t d[2] = {dH, dW};
    const uint32_t pad[2] = {padH, padW};
    const uint32_t outPad[2] = {outPadH, outPadW};

    if (mode == VALID || mode == SAME) {
        const uint32_t noPads[4] = {0, 0, 0, 0};
        return ComputePaddingStructTransposed(2, in, k, s, d, mode, noPads, outPad, hasOutputPadding);
    }
    for (uint32_t i = 0; i < 2; ++i) {
        DimResult r;
        r.begin = pad[i];
        if (mode == EXPLICIT) {
            // One symmetric pad per dimension, recorded before the input only.
            const Wide extent = DilatedExtent(kFn, k[i], s[i], d[i]);
            r.out = ((Wide)in[i] - 1) * s[i] - 2 * (Wide)pad[i] + outPad[i] + extent;
            CheckFits(kFn, r);
        }
        SetDim(&ps, i, r);
    }
    return ps;
}

extern "C" PaddingStruct ComputePaddingStruct1D(uint32_t in, uint32_t k, uint32_t s, uint32_t d, uint32_t pad,
                                                PaddingMode mode)
{
    CV_DEBUG("ComputePaddingStruct1D: the function \"ComputePaddingStruct1D(...)\" is deprecated and will be "
             "removed. Use \"ComputePaddingStruct(...)\" instead");
    static const char* const kFn = "ComputePaddingStruct1D";
    PaddingStruct ps;
    memset(&ps, 0, sizeof(ps));
    DimResult r;
    switch (mode) {
    case VALID:
        // Always rounded up, which is the count of windows that fit.
        r = ForwardDim(kFn, in, k, s, d, VALID, 0, 0, true);
        break;
    case SAME:
        r = ForwardDim(kFn, in, k, s, d, SAME, 0, 0, true);
        break;
    case EXPLICIT:
        r = ForwardDim(kFn, in, k, s, d, EXPLICIT, pad, pad, false);
        break;
    default:
        CV_FATAL("ComputePaddingStruct1D: Unavailable padding type");
    }
    SetDim(&ps, 0, r);
    return ps;
}
