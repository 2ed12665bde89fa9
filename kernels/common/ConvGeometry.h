// Where a convolution window meets its input along one axis, derived once
// per call for every output position so that the pixel loops only read it.
#ifndef CORVUS_KERNELS_REF_CONVGEOMETRY_H
#define CORVUS_KERNELS_REF_CONVGEOMETRY_H

#include <cstdint>
#include <vector>

namespace corvus_conv {

// Taps [lo, hi) of the kernel fall inside the input; tap lo reads input
// position `first`, each further tap `dilation` positions on.
struct Taps {
    uint32_t lo;
    uint32_t hi;
    uint32_t first;
};

// For output positions 0 .. outSize-1 with window start o*stride - pad.
// Products of 32-bit operands can exceed the signed 64-bit range for hostile
// geometry, hence 128-bit arithmetic.
inline std::vector<Taps> AxisTaps(uint32_t outSize, uint32_t stride, uint32_t pad, uint32_t dilation, uint32_t kernel,
                                  uint32_t inSize)
{
    using Wide = __int128;
    std::vector<Taps> taps(outSize);
    for (uint32_t o = 0; o < outSize; ++o) {
        const Wide base = (Wide)o * stride - pad;
        Wide lo = 0, hi = kernel;
        if (dilation == 0) {
            if (base < 0 || base >= inSize) hi = 0;
        } else {
            if (base < 0) lo = (-base + dilation - 1) / dilation;
            const Wide last = (Wide)inSize - 1 - base;  // largest t*d allowed
            hi = last < 0 ? 0 : last / dilation + 1;
            if (hi > kernel) hi = kernel;
        }
        if (lo > hi) lo = hi;
        Taps& t = taps[o];
        t.lo = (uint32_t)lo;
        t.hi = (uint32_t)hi;
        t.first = lo < hi ? (uint32_t)(base + lo * dilation) : 0u;
    }
    return taps;
}

// full[o]: how many consecutive positions from o see every tap.
inline std::vector<uint32_t> FullRuns(const std::vector<Taps>& taps, uint32_t kernel)
{
    std::vector<uint32_t> run(taps.size() + 1, 0);
    for (size_t o = taps.size(); o-- > 0;)
        run[o] = (taps[o].lo == 0 && taps[o].hi == kernel && kernel > 0) ? run[o + 1] + 1 : 0;
    return run;
}

}  // namespace corvus_conv

#endif
