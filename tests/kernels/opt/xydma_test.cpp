// Block transfers between main and scratch memory: chain order, row
// stepping, empty descriptors and region carving.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "nn_kernels/dma/xydma.h"

namespace {

// 16-byte aligned buffer with a few bytes of room before and after.
struct Buffer {
    std::vector<uint8_t> raw;
    uint8_t* base;
    explicit Buffer(size_t n, uint8_t fill = 0) : raw(n + 64, fill)
    {
        base = (uint8_t*)(((uintptr_t)raw.data() + 15) & ~(uintptr_t)15);
    }
};

struct Slots {
    alignas(16) uint8_t bytes[8 * xyDmaDescBytes];
    Slots() { xyDmaPrepare(bytes, 8); }
    void* at(int i) { return bytes + i * xyDmaDescBytes; }
};

// Three copies onto the same bytes: the first filled runs last and wins; a
// handle in the middle runs only the slots up to it. Four rows of 20 bytes,
// main step 80, scratch step 32; back out with a negative main-memory step
// (rows land bottom-up); descriptors without rows or bytes copy nothing.
TEST(XyDma, ChainOrderRowStepsAndEmptyDescriptors)
{
    Slots s;
    Buffer a(16, 1), b(16, 2), c(16, 3), dst(16, 0), m(16, 0);
    xyDmaRead64(s.at(0), dst.base, 0, a.base, 0, 16, 1);
    xyDmaRead64(s.at(1), dst.base, 0, b.base, 0, 16, 1);
    xyDmaRun(xyDmaRead64(s.at(2), dst.base, 0, c.base, 0, 16, 1));
    EXPECT_EQ(std::vector<uint8_t>(dst.base, dst.base + 16), std::vector<uint8_t>(16, 1));
    xyDmaRead64(s.at(0), m.base, 0, a.base, 0, 4, 1);
    void* mid = xyDmaRead64(s.at(1), m.base + 4, 0, b.base + 4, 0, 4, 1);
    xyDmaRead64(s.at(2), m.base + 8, 0, c.base + 8, 0, 4, 1);
    xyDmaRun(mid);
    const uint8_t want[16] = {1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(m.base, want, 16), 0);

    Buffer mm(1024), xy(1024), out(1024), z(64, 0xAA);
    for (int i = 0; i < 1024; ++i) mm.base[i] = (uint8_t)(i * 7 + 3);
    xyDmaRun(xyDmaRead64(s.at(0), xy.base, 32, mm.base + 16, 80, 20, 4));
    xyDmaRun(xyDmaWrite64(s.at(0), out.base + 3 * 48, -48, xy.base, 32, 20, 4));
    for (int r = 0; r < 4; ++r)
        for (int i = 0; i < 32; ++i) {
            ASSERT_EQ(xy.base[32 * r + i], i < 20 ? mm.base[16 + 80 * r + i] : 0) << r << "," << i;
            if (i < 20) {
                ASSERT_EQ(out.base[48 * (3 - r) + i], xy.base[32 * r + i]);
            }
        }
    for (const auto& rowsLen :
         {std::make_pair(0, 8), std::make_pair(-1, 8), std::make_pair(3, 0), std::make_pair(3, -5)})
        xyDmaRun(xyDmaRead64(s.at(0), z.base, 16, mm.base, 16, rowsLen.second, rowsLen.first));
    EXPECT_EQ(std::vector<uint8_t>(z.base, z.base + 64), std::vector<uint8_t>(64, 0xAA));
}

// Carved regions end at or below the top, start at the wanted phase modulo
// 16 and do not overlap.
TEST(XyDma, CarvingRoundsDownToTheWantedPhase)
{
    uint8_t* top = (uint8_t*)0x10000;
    EXPECT_EQ(xyCarve(top, 100, nullptr), (void*)(0x10000 - 112));
    EXPECT_EQ(xyCarve(top, 96, nullptr), (void*)(0x10000 - 96));
    EXPECT_EQ(xyCarve(top, 100, (void*)0x1234), (void*)(0x10000 - 108));
    EXPECT_EQ(xyCarve(top, 92, (void*)0x1234), (void*)(0x10000 - 92));
    void* r1 = xyCarve(top, 40, (void*)0x7);
    void* r2 = xyCarve(r1, 40, (void*)0x9);
    EXPECT_LE((uintptr_t)r2 + 40, (uintptr_t)r1);
    EXPECT_EQ((uintptr_t)r2 & 15, 9u);
    void* block = xyAllocBlock();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ((uintptr_t)block & 15, 0u);
    memset(block, 0, (size_t)xySize + xyExtra);  // the margin is part of the allocation
    xyFreeBlock(block);
}

}  // namespace
