// Scratch blocks and the synchronous block-transfer engine shared by the
// optimised kernels. Failures name the header, which is where kernels see
// these operations.
#define CORVUS_MODULE "../include/nn_kernels/dma/xydma.h"
#include "nn_kernels/dma/xydma.h"

#include <cstdlib>
#include <cstring>

#include "Report.h"

static_assert(sizeof(void*) != 8 || sizeof(XyDmaDesc) == xyDmaDescBytes, "a transfer descriptor is 48 bytes");

namespace {

inline uintptr_t Addr(const void* p) { return (uintptr_t)p; }

XyDmaDesc* Fill(void* slot, void* dst, int32_t dstStep, const void* src, int32_t srcStep, int32_t rowBytes,
                int32_t rows, const void* mm, int32_t mmStep, const void* xy, int32_t xyStep)
{
    if (((Addr(mm) ^ Addr(xy)) & (xyAlign - 1)) != 0) CV_FATAL("mmAdrAlign != xyAdrAlign");
    if (rows > 1 && (((uint32_t)mmStep ^ (uint32_t)xyStep) & (xyAlign - 1)) != 0) CV_FATAL("mmOfsAlign != xyOfsAlign");
    XyDmaDesc* d = (XyDmaDesc*)slot;
    d->dst = dst;
    d->src = src;
    d->dstStep = dstStep;
    d->srcStep = srcStep;
    d->rowBytes = rowBytes;
    d->rows = rows;
    return d + 1;
}

// One row, as a forward byte-by-byte copy would leave it. Only a
// destination that starts inside the source range sees the difference
// (the bytes already written are read again); everything else is a
// plain block copy.
inline void CopyRow(uint8_t* dst, const uint8_t* src, size_t n)
{
    if (dst > src && dst < src + n) {
        for (size_t i = 0; i < n; ++i) dst[i] = src[i];
        return;
    }
    memmove(dst, src, n);
}

}  // namespace

extern "C" {

void xyDmaPrepare(void* slots, uint32_t count)
{
    XyDmaDesc* d = (XyDmaDesc*)slots;
    for (uint32_t i = 0; i < count; ++i) {
        memset(&d[i], 0, sizeof(XyDmaDesc));
        d[i].next = i == 0 ? nullptr : &d[i - 1];
    }
}

void* xyDmaRead64(void* slot, void* xyAddress, int32_t xyStep, const void* mmAddress, int32_t mmStep, int32_t rowBytes,
                  int32_t rows)
{
    return Fill(slot, xyAddress, xyStep, mmAddress, mmStep, rowBytes, rows, mmAddress, mmStep, xyAddress, xyStep);
}

void* xyDmaWrite64(void* slot, void* mmAddress, int32_t mmStep, const void* xyAddress, int32_t xyStep, int32_t rowBytes,
                   int32_t rows)
{
    return Fill(slot, mmAddress, mmStep, xyAddress, xyStep, rowBytes, rows, mmAddress, mmStep, xyAddress, xyStep);
}

void xyDmaRun(void* handle)
{
    for (const XyDmaDesc* d = (const XyDmaDesc*)handle - 1; d != nullptr; d = d->next) {
        if (d->rows < 1 || d->rowBytes < 1) continue;
        uint8_t* dst = (uint8_t*)d->dst;
        const uint8_t* src = (const uint8_t*)d->src;
        for (int32_t r = 0; r < d->rows; ++r)
            CopyRow(dst + (int64_t)r * d->dstStep, src + (int64_t)r * d->srcStep, (size_t)d->rowBytes);
    }
}

void* xyAllocBlock(void)
{
    // aligned_alloc wants a multiple of the alignment: both sizes are.
    return aligned_alloc(xyAlign, (size_t)xySize + xyExtra);
}

void xyFreeBlock(void* block) { free(block); }

void* xyCarve(void* top, uint64_t size, const void* phase)
{
    const uintptr_t mask = xyAlign - 1;
    const uintptr_t end = Addr(top) - (uintptr_t)size;
    const uintptr_t want = Addr(phase) & mask;
    // Largest address <= end that agrees with phase modulo 16.
    return (void*)(end - ((end - want) & mask));
}

}  // extern "C"
