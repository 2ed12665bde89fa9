#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Tensor.h"
#include "test_util.h"

using namespace corvus_test;

namespace {

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    for (int c; f != nullptr && (c = fgetc(f)) != EOF;) bytes.push_back((uint8_t)c);
    if (f != nullptr) fclose(f);
    return bytes;
}

// Writes the words little-endian, then drops the last `cut` bytes.
std::string WriteWords(const std::string& name, const std::vector<uint32_t>& words, size_t cut = 0)
{
    const std::string path = TmpPath(name);
    FILE* f = fopen(path.c_str(), "wb");
    if (!words.empty()) fwrite(words.data(), 1, words.size() * 4 - cut, f);
    fclose(f);
    return path;
}

}  // namespace

TEST(TensorFile, DenseFloatFileIsHeaderExtentsStridesAndData)
{
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), true);
    const float v[6] = {1.0f, -2.0f, 3.5f, 0.0f, 1e-3f, 6.0f};
    PutTensorData(v, t);
    const std::string path = TmpPath("dense.tensor");
    SaveTensor(t, path.c_str());
    // 16 header bytes, 8 of extents, 8 of strides and 24 of data.
    std::vector<uint32_t> expect = {66, DT_FLOAT32, DL_NC, 2, 2, 3, 3, 1, 0, 0, 0, 0, 0, 0};
    memcpy(&expect[8], v, sizeof(v));
    const std::vector<uint8_t> bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 56u);
    EXPECT_EQ(memcmp(bytes.data(), expect.data(), 56), 0);
    DestroyTensor(t);
    remove(path.c_str());
}

TEST(TensorFile, RoundTripKeepsTypeLayoutStridesAndGaps)
{
    struct Case {
        uint32_t ndim;
        DataLayout layout;
        TensorShape shape;
        TensorStrides stride;
    };
    const Case cases[] = {
        {3, DL_NONE, Shape({2, 3, 4}), Strides({16, 5, 1})},
        {2, DL_HW, Shape({2, 3}), Strides({6, 2})},  // an innermost stride above 1 is legal
        {4, DL_NHWC, Shape({1, 2, 2, 3}), Strides({12, 6, 3, 1})},
        {6, DL_NONE, Shape({1, 2, 1, 2, 1, 2}), Strides({8, 4, 4, 2, 2, 1})},
        {2, DL_NC, Shape({0, 3}), Strides({3, 1})},
        {0, DL_NONE, Shape({}), Strides({})},
    };
    const std::string path = TmpPath("roundtrip.tensor");
    for (int dt = DT_FLOAT32; dt <= DT_INT8; ++dt) {
        for (const Case& c : cases) {
            Tensor* t = CreateTensorWithStrides((DataType)dt, c.layout, c.ndim, c.shape, c.stride, true);
            const size_t bytes = (size_t)GetTensorDataSize(t) * DataTypeSize((DataType)dt);
            for (size_t i = 0; i < bytes; ++i) ((uint8_t*)t->data)[i] = (uint8_t)(i * 37 + dt + 1);
            SaveTensor(t, path.c_str());
            EXPECT_EQ(ReadAll(path).size(), 16 + 8 * c.ndim + bytes);
            Tensor* u = LoadTensor(path.c_str());
            ASSERT_NE(u, nullptr);
            EXPECT_TRUE(u->dtype == (uint32_t)dt && u->layout == (uint32_t)c.layout && u->ndim == c.ndim &&
                        u->allocatedData);
            EXPECT_EQ(CompareTensorsShape(t, u), TCR_SHAPES_EQUAL);
            EXPECT_EQ(CompareTensorsStride(t, u), TCR_STRIDES_EQUAL);
            EXPECT_EQ(memcmp(t->data, u->data, bytes), 0) << "dtype " << dt << " ndim " << c.ndim;
            DestroyTensor(t);
            DestroyTensor(u);
        }
    }
    remove(path.c_str());
}

TEST(TensorFile, ShortFileLoadsWithTheMissingTailZero)
{
    const uint32_t f1 = 0x3f800000, f2 = 0x40000000;  // 1.0f, 2.0f
    // Cut inside the last element but one: its two low bytes survive.
    const std::vector<uint32_t> words = {66, DT_FLOAT32, DL_NC, 2, 2, 3, 3, 1, f1, f2, f1, f2, 0x12345678, f1};
    Tensor* t = LoadTensor(WriteWords("short.tensor", words, 6).c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::vector<uint32_t>((uint32_t*)t->data, (uint32_t*)t->data + 6),
              (std::vector<uint32_t>{f1, f2, f1, f2, 0x5678, 0}));
    DestroyTensor(t);
    // Far more claimed than written (4 MiB of 4 bytes) is still within the limit.
    t = LoadTensor(WriteWords("sparse.tensor", {66, DT_FLOAT32, DL_I, 1, 1u << 20, 1, f2}).c_str());
    ASSERT_NE(t, nullptr);
    uint32_t* d = (uint32_t*)t->data;
    EXPECT_TRUE(d[0] == f2 && std::all_of(d + 1, d + (1u << 20), [](uint32_t w) { return w == 0; }));
    DestroyTensor(t);
}

TEST(TensorFileDeathTest, WrongMagicIsNullAndOtherFailuresAreFatal)
{
    for (const std::vector<uint32_t>& words : {std::vector<uint32_t>{67, 0, DL_I, 1, 1, 1, 0}, {}}) {
        const std::string p = WriteWords("magic.tensor", words);
        ExpectWarning("Tensor", "Cannot load tensor from file " + p + ". (Magic number isn't correct)\n",
                      [&] { EXPECT_EQ(LoadTensor(p.c_str()), nullptr); });
        remove(p.c_str());
    }
    const std::string missing = TmpPath("missing-dir") + "/t.tensor", p = TmpPath("save.tensor");
    const std::string cannotOpen = "Cannot open file " + missing + "\n.File or directory does not exist";
    Tensor* t = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({2}), false);
    ExpectFatal("Tensor", {
        {[&] { LoadTensor(missing.c_str()); }, cannotOpen},
        {[&] { SaveTensor(t, missing.c_str()); }, cannotOpen},
        {[&] { SaveTensor(nullptr, p.c_str()); }, "tensor is NULL ptr\n"},
        {[&] { SaveTensor(t, p.c_str()); }, "tensor data is NULL ptr\n"},
    });
    DestroyTensor(t);
    remove(p.c_str());
}

TEST(TensorFileDeathTest, HostileFilesAreRejected)
{
    const uint32_t f1 = 0x3f800000;  // 1.0f
    const struct {
        const char* what;
        std::vector<uint32_t> words;
        std::string why;  // exact reason, or empty for any
    } cases[] = {
        {"ndim7", {66, DT_FLOAT32, DL_NONE, 7, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, f1}, ""},
        {"header", {66, DT_FLOAT32, DL_NONE}, ""},
        {"extents", {66, DT_FLOAT32, DL_NC, 2, 2, 3, 3}, ""},
        // A header may claim at most 64 MiB beyond the end of the file: 4 GiB claimed here.
        {"4GiB", {66, DT_FLOAT32, DL_I, 1, 0x40000000, 1, f1, f1},
         "The header claims 4294967296 bytes of data, more than 67108864 beyond the end of the file "
         "(shape (1073741824))"},
        {"2^32", {66, DT_INT8, DL_NC, 2, 0x10000, 0x10000, 0x10000, 1, f1},
         "The tensor cannot be addressed: more than 4294967295 elements (shape (65536,65536))"},
        {"stride-overlap", {66, DT_FLOAT32, DL_NC, 2, 2, 3, 1, 1, f1, f1, f1, f1, f1, f1}, ""},
        {"stride-short", {66, DT_FLOAT32, DL_NC, 2, 2, 3, 2, 1, f1, f1, f1, f1, f1, f1}, ""},
        {"stride-zero", {66, DT_FLOAT32, DL_I, 1, 4, 0, f1, f1, f1, f1}, ""},
        {"dtype", {66, 9, DL_I, 1, 1, 1, f1}, ""},
    };
    for (const auto& c : cases) {
        const std::string p = WriteWords(std::string("hostile-") + c.what, c.words);
        const std::string msg = "Cannot load tensor from file " + p + (c.why.empty() ? "" : ". " + c.why);
        EXPECT_EXIT(LoadTensor(p.c_str()), testing::ExitedWithCode(1), Fatal("Tensor", msg, c.why.empty() ? ".*" : ""))
            << c.what;
    }
}
