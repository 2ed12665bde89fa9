#include "Tensor.h"
#include "conv_util.h"

using namespace corvus_test;
using conv_test::ReadFile;

namespace {

// Writes the words little-endian, then drops the last `cut` bytes.
std::string WriteWords(const std::string& name, const std::vector<uint32_t>& words, size_t cut = 0)
{
    const std::string path = TmpPath(name);
    FILE* f = fopen(path.c_str(), "wb");
    if (!words.empty()) fwrite(words.data(), 1, words.size() * 4 - cut, f);
    fclose(f);
    return path;
}

const uint32_t f1 = 0x3f800000, f2 = 0x40000000;  // 1.0f, 2.0f

TEST(TensorFile, RoundTripKeepsTypeLayoutStridesAndGapsShortFilesLoadZeroFilled)
{
    // The format by hand: magic, type, layout, rank, extents, strides, data.
    TensorPtr t = NewTensor(DT_FLOAT32, {2, 3}, {}, true, DL_NC);
    const float v[6] = {1.0f, -2.0f, 3.5f, 0.0f, 1e-3f, 6.0f};
    PutTensorData(v, t.get());
    SaveTensor(t.get(), TmpPath("dense").c_str());
    std::vector<uint32_t> expect = {66, DT_FLOAT32, DL_NC, 2, 2, 3, 3, 1, 0, 0, 0, 0, 0, 0};
    memcpy(&expect[8], v, sizeof(v));
    EXPECT_EQ(ReadFile(TmpPath("dense")), std::string((const char*)expect.data(), 56));

    const struct {
        std::vector<uint32_t> dims, strides;
        DataLayout layout;
    } cases[] = {
        {{2, 3, 4}, {16, 5, 1}, DL_NONE},
        {{2, 3}, {6, 2}, DL_HW} /* an innermost stride above 1 is legal */,
        {{1, 2, 1, 2, 1, 2}, {8, 4, 4, 2, 2, 1}, DL_NONE},
        {{0, 3}, {3, 1}, DL_NC},
        {{}, {}, DL_NONE},
    };
    const std::string path = TmpPath("roundtrip.tensor");
    for (int dt = DT_FLOAT32; dt <= DT_INT8; ++dt)
        for (const auto& c : cases) {
            TensorPtr a = NewTensor((DataType)dt, c.dims, c.strides, true, c.layout);
            const size_t bytes = (size_t)GetTensorDataSize(a.get()) * DataTypeSize((DataType)dt);
            for (size_t i = 0; i < bytes; ++i) ((uint8_t*)a->data)[i] = (uint8_t)(i * 37 + dt + 1);
            SaveTensor(a.get(), path.c_str());
            EXPECT_EQ(ReadFile(path).size(), 16 + 8 * c.dims.size() + bytes);
            TensorPtr u(LoadTensor(path.c_str()));
            ASSERT_NE(u, nullptr);
            EXPECT_TRUE(u->dtype == (uint32_t)dt && u->layout == (uint32_t)c.layout && u->allocatedData);
            EXPECT_TRUE(DimsOf(u.get()) == c.dims && StridesOf(u.get()) == StridesOf(a.get()));
            EXPECT_EQ(memcmp(a->data, u->data, bytes), 0) << "dtype " << dt << " ndim " << c.dims.size();
        }

    // Cut inside the last element but one: its two low bytes survive.
    const std::vector<uint32_t> words = {66, DT_FLOAT32, DL_NC, 2, 2, 3, 3, 1, f1, f2, f1, f2, 0x12345678, f1};
    t.reset(LoadTensor(WriteWords("short.tensor", words, 6).c_str()));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::vector<uint32_t>((uint32_t*)t->data, (uint32_t*)t->data + 6),
              (std::vector<uint32_t>{f1, f2, f1, f2, 0x5678, 0}));
    // Far more claimed than written (4 MiB of 4 bytes) is still within the limit.
    t.reset(LoadTensor(WriteWords("sparse.tensor", {66, DT_FLOAT32, DL_I, 1, 1u << 20, 1, f2}).c_str()));
    ASSERT_NE(t, nullptr);
    const uint32_t* d = (const uint32_t*)t->data;
    EXPECT_TRUE(d[0] == f2 && std::all_of(d + 1, d + (1u << 20), [](uint32_t w) { return w == 0; }));
}

TEST(TensorFileDeathTest, WrongMagicIsNullOtherBadFilesAreFatal)
{
    for (const std::vector<uint32_t>& words : {std::vector<uint32_t>{67, 0, DL_I, 1, 1, 1, 0}, {}}) {
        const std::string p = WriteWords("magic.tensor", words);
        ExpectWarning("Tensor", "Cannot load tensor from file " + p + ". (Magic number isn't correct)\n",
                      [&] { EXPECT_EQ(LoadTensor(p.c_str()), nullptr); });
    }
    const std::string missing = TmpPath("missing-dir") + "/t.tensor";
    TensorPtr t = NewTensor(DT_FLOAT32, {2}, {}, false);
    ExpectFatal("Tensor", {
                              {[&] { LoadTensor(missing.c_str()); },
                               "Cannot open file " + missing + "\n.File or directory does not exist"},
                              {[&] { SaveTensor(t.get(), TmpPath("save").c_str()); }, "tensor data is NULL ptr\n"},
                          });
    const struct {
        const char* what;
        std::vector<uint32_t> words;
        std::string why;  // exact reason, or empty for any
        // clang-format off
    } cases[] = {
        {"ndim7", {66, DT_FLOAT32, DL_NONE, 7, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, f1}, ""},
        {"header", {66, DT_FLOAT32, DL_NONE}, ""},
        {"extents", {66, DT_FLOAT32, DL_NC, 2, 2, 3, 3}, ""},
        // A header may claim at most 64 MiB beyond the end of the file: 4 GiB claimed here.
        {"4GiB", {66, DT_FLOAT32, DL_I, 1, 0x40000000, 1, f1, f1},
         "The header claims 4294967296 bytes of data, more than 67108864 beyond the end of the file (shape "
         "(1073741824))"},
        {"2^32", {66, DT_INT8, DL_NC, 2, 0x10000, 0x10000, 0x10000, 1, f1},
         "The tensor cannot be addressed: more than 4294967295 elements (shape (65536,65536))"},
        {"stride-overlap", {66, DT_FLOAT32, DL_NC, 2, 2, 3, 1, 1, f1, f1, f1, f1, f1, f1}, ""},
        {"stride-short", {66, DT_FLOAT32, DL_NC, 2, 2, 3, 2, 1, f1, f1, f1, f1, f1, f1}, ""},
        {"stride-zero", {66, DT_FLOAT32, DL_I, 1, 4, 0, f1, f1, f1, f1}, ""},
        {"dtype", {66, 9, DL_I, 1, 1, 1, f1}, ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        const std::string p = WriteWords(std::string("hostile-") + c.what, c.words);
        const std::string msg = "Cannot load tensor from file " + p + (c.why.empty() ? "" : ". " + c.why);
        EXPECT_EXIT(LoadTensor(p.c_str()), testing::ExitedWithCode(1), Fatal("Tensor", msg, c.why.empty() ? ".*" : ""))
            << c.what;
    }
}

}  // namespace
