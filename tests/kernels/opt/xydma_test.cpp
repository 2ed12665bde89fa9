// Block transfers between main and scratch memory: descriptor filling,
// alignment rules, chain order, row stepping and region carving.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "nn_kernels/dma/xydma.h"
#include "test_util.h"

namespace {

const char* const kModule = "../include/nn_kernels/dma/xydma.h";

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

TEST(XyDma, AddressesAndStepsMustAgreeModulo16)
{
    Slots s;
    Buffer mm(512), xy(512);
    // 0x..10 against 0x..20: same offset within 16 bytes.
    xyDmaRun(xyDmaRead64(s.at(0), xy.base + 0x20, 0, mm.base + 0x10, 0, 8, 1));
    // One row: the steps are not compared.
    xyDmaRun(xyDmaWrite64(s.at(0), mm.base + 0x10, 64, xy.base + 0x20, 72, 8, 1));
    // Two rows whose steps agree modulo 16 (72 and 8 + 16 * 4).
    xyDmaRun(xyDmaRead64(s.at(0), xy.base + 4, 72, mm.base + 0x14, 8, 8, 2));

    corvus_test::ExpectFatal(kModule, {
        {[&] { xyDmaRead64(s.at(0), xy.base + 0x18, 0, mm.base + 0x10, 0, 8, 1); }, "mmAdrAlign != xyAdrAlign"},
        {[&] { xyDmaWrite64(s.at(0), mm.base + 0x10, 0, xy.base + 0x18, 0, 8, 1); }, "mmAdrAlign != xyAdrAlign"},
        {[&] { xyDmaRead64(s.at(0), xy.base, 72, mm.base, 64, 8, 2); }, "mmOfsAlign != xyOfsAlign"},
        {[&] { xyDmaWrite64(s.at(0), mm.base, 64, xy.base, 72, 8, 2); }, "mmOfsAlign != xyOfsAlign"},
    });
}

TEST(XyDma, ChainRunsMostRecentFirst)
{
    Slots s;
    Buffer a(16, 1), b(16, 2), c(16, 3), dst(16, 0);
    // Three copies onto the same bytes: the first filled runs last and wins.
    xyDmaRead64(s.at(0), dst.base, 0, a.base, 0, 16, 1);
    xyDmaRead64(s.at(1), dst.base, 0, b.base, 0, 16, 1);
    xyDmaRun(xyDmaRead64(s.at(2), dst.base, 0, c.base, 0, 16, 1));
    for (int i = 0; i < 16; ++i) ASSERT_EQ(dst.base[i], 1) << i;

    // A later descriptor feeds an earlier one: third fills t, first reads it.
    Buffer t(16, 0), r(16, 0);
    xyDmaWrite64(s.at(0), r.base, 0, t.base, 0, 16, 1);
    xyDmaWrite64(s.at(1), r.base, 0, r.base, 0, 0, 1);  // empty
    xyDmaRun(xyDmaWrite64(s.at(2), t.base, 0, c.base, 0, 16, 1));
    for (int i = 0; i < 16; ++i) ASSERT_EQ(r.base[i], 3) << i;

    // A handle in the middle runs only the slots up to it.
    Buffer m(16, 0);
    xyDmaRead64(s.at(0), m.base, 0, a.base, 0, 4, 1);
    void* mid = xyDmaRead64(s.at(1), m.base + 4, 0, b.base + 4, 0, 4, 1);
    xyDmaRead64(s.at(2), m.base + 8, 0, c.base + 8, 0, 4, 1);
    xyDmaRun(mid);
    const uint8_t want[16] = {1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(m.base, want, 16), 0);
}

TEST(XyDma, RowsFollowTheirStepsAndEmptyDescriptorsCopyNothing)
{
    Slots s;
    Buffer mm(1024), xy(1024);
    for (int i = 0; i < 1024; ++i) mm.base[i] = (uint8_t)(i * 7 + 3);
    // Four rows of 20 bytes, main step 80, scratch step 32 (both 0 mod 16).
    xyDmaRun(xyDmaRead64(s.at(0), xy.base, 32, mm.base + 16, 80, 20, 4));
    for (int r = 0; r < 4; ++r)
        for (int i = 0; i < 32; ++i) {
            const uint8_t want = i < 20 ? mm.base[16 + 80 * r + i] : 0;
            ASSERT_EQ(xy.base[32 * r + i], want) << r << "," << i;
        }
    // Back out with a negative main-memory step: rows land bottom-up.
    Buffer out(1024);
    xyDmaRun(xyDmaWrite64(s.at(0), out.base + 3 * 48, -48, xy.base, 32, 20, 4));
    for (int r = 0; r < 4; ++r)
        for (int i = 0; i < 20; ++i) ASSERT_EQ(out.base[48 * (3 - r) + i], xy.base[32 * r + i]);

    Buffer z(64, 0xAA);
    for (const auto& rowsLen : {std::make_pair(0, 8), std::make_pair(-1, 8), std::make_pair(3, 0), std::make_pair(3, -5)})
        xyDmaRun(xyDmaRead64(s.at(0), z.base, 16, mm.base, 16, rowsLen.second, rowsLen.first));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(z.base[i], 0xAA);
}

TEST(XyDma, OverlappingRowCopiesForwardByteByByte)
{
    Slots s;
    Buffer b(64);
    for (int i = 0; i < 64; ++i) b.base[i] = (uint8_t)i;
    // Destination 16 bytes above the source, 20-byte row: bytes 32..35 are
    // read after the copy wrote them, so they repeat bytes 0..3.
    xyDmaRun(xyDmaRead64(s.at(0), b.base + 16, 0, b.base, 0, 20, 1));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(b.base[i], i >= 16 && i < 36 ? (i - 16) % 16 : i) << i;
}

TEST(XyDma, CarvingRoundsDownToTheWantedPhase)
{
    uint8_t* top = (uint8_t*)0x10000;
    EXPECT_EQ(xyCarve(top, 100, nullptr), (void*)(0x10000 - 112));
    EXPECT_EQ(xyCarve(top, 96, nullptr), (void*)(0x10000 - 96));
    // Phase 4: the largest start <= top - size that is 4 mod 16.
    EXPECT_EQ(xyCarve(top, 100, (void*)0x1234), (void*)(0x10000 - 108));
    EXPECT_EQ(xyCarve(top, 92, (void*)0x1234), (void*)(0x10000 - 92));
    // Regions carved one after the other do not overlap.
    void* r1 = xyCarve(top, 40, (void*)0x7);
    void* r2 = xyCarve(r1, 40, (void*)0x9);
    EXPECT_LE((uintptr_t)r1 + 40, 0x10000u);
    EXPECT_LE((uintptr_t)r2 + 40, (uintptr_t)r1);
    EXPECT_EQ((uintptr_t)r2 & 15, 9u);

    void* block = xyAllocBlock();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ((uintptr_t)block & 15, 0u);
    memset(block, 0, (size_t)xySize + xyExtra);  // the margin is part of the allocation
    xyFreeBlock(block);
}

}  // namespace
