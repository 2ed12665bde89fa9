/* Scratch memory and its block transfers.
 *
 * Optimised kernels keep two address spaces apart: main memory (names
 * beginning with mm: the tensors) and a scratch block (names beginning with
 * xy) into which they copy tiles, compute, and from which they copy results
 * back. On the central processor the scratch block is ordinary memory owned
 * by one kernel (made at its initialisation, see kernels/common/KernelScratch.h)
 * and every transfer is a synchronous row-by-row byte copy performed when its
 * chain is run.
 *
 * A transfer is described by a 48-byte descriptor; descriptors sit in an
 * array at the top of the scratch block. A transfer handle is the address
 * just past a filled descriptor (the next free slot). xyDmaPrepare links
 * each slot to the slot before it, so running the handle of the last filled
 * slot runs every filled slot, the most recent first. */
#ifndef CORVUS_NN_KERNELS_DMA_XYDMA_H
#define CORVUS_NN_KERNELS_DMA_XYDMA_H

#include <stdint.h>

#include "CorvusExport.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    xySize = 524288,     /* bytes of one scratch block */
    xyExtra = 32,        /* margin kept past the end of a scratch block */
    xyDmaDescBytes = 48, /* bytes of one transfer descriptor */
    xyAlign = 16         /* transfers move 16-byte units: addresses agree modulo 16 */
};

typedef struct XyDmaDesc {
    void* dst;
    const void* src;
    int32_t dstStep;        /* bytes from one destination row to the next */
    int32_t srcStep;        /* bytes from one source row to the next */
    int32_t rowBytes;       /* bytes per row; below 1 copies nothing */
    int32_t rows;           /* row count; below 1 copies nothing */
    struct XyDmaDesc* next; /* run after this one; NULL ends the chain */
    uint64_t reserved;      /* not used by the copy */
} XyDmaDesc;

/* Links count descriptor slots starting at slots: slot i runs slot i-1
 * after itself, slot 0 ends the chain. */
CORVUS_EXPORT void xyDmaPrepare(void* slots, uint32_t count);

/* Fills slot with a copy of rows rows of rowBytes bytes from main memory
 * into scratch memory and returns the handle (slot + 48 bytes). The two
 * addresses must agree modulo 16 ("mmAdrAlign != xyAdrAlign"), and so must
 * the two steps when more than one row moves ("mmOfsAlign != xyOfsAlign");
 * both failures are fatal. The slot's next link is left as prepared. */
CORVUS_EXPORT void* xyDmaRead64(void* slot, void* xyAddress, int32_t xyStep, const void* mmAddress, int32_t mmStep,
                                int32_t rowBytes, int32_t rows);
/* The same from scratch memory into main memory. */
CORVUS_EXPORT void* xyDmaWrite64(void* slot, void* mmAddress, int32_t mmStep, const void* xyAddress, int32_t xyStep,
                                 int32_t rowBytes, int32_t rows);
/* Runs the chain that ends at the descriptor just before handle: each
 * descriptor copies its rows in order, each row byte by byte in increasing
 * address order, then its next descriptor runs. */
CORVUS_EXPORT void xyDmaRun(void* handle);

/* A scratch block of xySize bytes, 16-byte aligned, followed by the
 * xyExtra margin (so an engine moving whole 16-byte units past the end of
 * a region stays inside the allocation). NULL when memory is short. */
CORVUS_EXPORT void* xyAllocBlock(void);
CORVUS_EXPORT void xyFreeBlock(void* block);

/* Region carving, downwards: the start of a region of size bytes that ends
 * at or below top, rounded down so that it agrees modulo 16 with phase
 * (pass NULL for a multiple of 16). The next region ends at the result. */
CORVUS_EXPORT void* xyCarve(void* top, uint64_t size, const void* phase);

#ifdef __cplusplus
}
#endif

#endif
