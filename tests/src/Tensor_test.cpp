// Tensor records: creation, strides and sizes, ownership, copies, comparison and printing.
#include "ActivationTypes.h"
#include "test_util.h"

using namespace corvus_test;

namespace {

const char* const kNDimMsg =
    "Dimensions number must be greater than zero (tesnor) or equal to zero (scalar) and mustn't be greater than 6";
const char* const kShapeMsg =
    "CopyTensorData. Cannot copy data. Destination tensor's shape less than source tensor's shape or destination "
    "and source tensors have different ndim values";

template <typename T> T* As(Tensor* t) { return (T*)t->data; }

// Naive check of a block copy: every logical element of src sits at the same
// index of dst (each addressed through its own strides), every other slot of
// dst's storage still holds `fill`. Returns the number of mismatches.
template <typename T> int BlockCopyMismatches(const Tensor* src, const Tensor* dst, T fill)
{
    std::vector<bool> hit(GetTensorDataSize(dst));
    int bad = 0;
    for (uint32_t e = 0; e < GetTensorSize(src); ++e) {
        size_t so = 0, dof = 0;
        for (int k = (int)src->ndim - 1, rem = (int)e; k >= 0; rem /= (int)src->shape.dimension[k], --k) {
            so += (size_t)(rem % src->shape.dimension[k]) * src->stride.dimension[k];
            dof += (size_t)(rem % src->shape.dimension[k]) * dst->stride.dimension[k];
        }
        bad += ((const T*)dst->data)[dof] != ((const T*)src->data)[so];
        hit[dof] = true;
    }
    for (size_t i = 0; i < hit.size(); ++i) bad += !hit[i] && ((const T*)dst->data)[i] != fill;
    return bad;
}

// A strided tensor whose logical elements go first, first + step, ... and whose gaps hold `fill`.
template <typename T>
Tensor* Filled(DataType dt, uint32_t ndim, TensorShape sh, TensorStrides st, T first, T fill = 0, T step = 1)
{
    Tensor* t = CreateTensorWithStrides(dt, DL_NONE, ndim, sh, st, true);
    for (uint32_t i = 0; i < GetTensorDataSize(t); ++i) As<T>(t)[i] = fill;
    std::vector<T> dense(GetTensorSize(t));
    for (size_t i = 0; i < dense.size(); ++i) dense[i] = (T)(first + (T)(step * (T)i));
    PutTensorData(dense.data(), t);
    return t;
}

}  // namespace

TEST(Tensor, CreationStridesAndSizes)
{
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NONE, 4, Shape({2, 3, 4, 5}), false);
    EXPECT_EQ(StridesOf(t), (std::vector<uint32_t>{60, 20, 5, 1}));
    EXPECT_TRUE(GetTensorSize(t) == 120 && GetTensorDataSize(t) == 120 && IsSerialData(t) && !t->data);
    // The layout tag never changes the strides; storage is zero-filled, owned and starts on a cache line.
    Tensor* h = CreateTensor(DT_FLOAT16, DL_NCHW, 4, Shape({2, 3, 4, 5}), true);
    EXPECT_EQ(CompareTensorsStride(t, h), TCR_STRIDES_EQUAL);
    ASSERT_TRUE(h->allocatedData && (uintptr_t)h->data % 64 == 0);
    for (uint32_t i = 0; i < 120; ++i) ASSERT_EQ(As<uint16_t>(h)[i], 0);
    Tensor* s = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 4}), Strides({16, 5, 1}), true);
    EXPECT_TRUE(GetTensorSize(s) == 24 && GetTensorDataSize(s) == 32 && !IsSerialData(s));
    As<float>(s)[31] = 1.0f;  // the whole padded storage is allocated
    Tensor* big = CreateTensor(DT_INT8, DL_NC, 2, Shape({65535, 65537}), false);  // 2^32 - 1: the largest
    EXPECT_TRUE(GetTensorSize(big) == UINT32_MAX && GetTensorDataSize(big) == UINT32_MAX);
    Tensor* a = CreateTensor(DT_INT8, DL_NONE, 0, Shape({}), true);
    Tensor* b = CreateTensor(DT_FLOAT32, DL_NHWC, 0, Shape({7}), false);  // scalars take any tag
    EXPECT_TRUE(GetTensorSize(a) == 1 && GetTensorDataSize(a) == 1 && IsSerialData(a));
    EXPECT_EQ(CompareTensorsShape(a, b), TCR_SHAPES_EQUAL);
    EXPECT_EQ(CompareTensorsStride(a, b), TCR_STRIDES_EQUAL);
    for (Tensor* x : {t, h, s, a, b, big}) DestroyTensor(x);
}

TEST(TensorDeathTest, CreationAndOwnershipFailures)
{
    std::vector<float> host(6, 7.0f);
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), false);
    FreeTensorData(t);  // without data: nothing to do
    SetTensorData(t, host.data());
    SetTensorDataType(t, DT_INT32);  // allowed while the storage is borrowed
    EXPECT_EXIT(
        AllocTensorData(t), testing::ExitedWithCode(1),
        Fatal("Tensor", "Cannot allocate memory. Refering to an existing memory tensor->data: ", "0x[0-9a-f]+"));
    Tensor* o = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({4}), true);
    auto strided = [](TensorStrides st) { CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 4}), st, 0); };
    // Sizes beyond 32 bits are refused, not wrapped to a tiny buffer; hand-filled records too.
    auto handMade = [](std::vector<uint32_t> dims, std::vector<uint32_t> strides) {
        Tensor* r = CreateEmptyTensor();
        r->ndim = (uint32_t)dims.size();
        r->shape = Shape(dims);
        std::copy(strides.begin(), strides.end(), r->stride.dimension);
        return r;
    };
    const std::string tooBig = " cannot be addressed: more than 4294967295 elements";
    // clang-format off
    ExpectFatal("Tensor", {
        {[&] { CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({65536, 65537}), false); },
         "CreateTensor. Tensor of shape (65536,65537)" + tooBig},
        {[&] { CreateTensorWithStrides(DT_INT8, DL_NONE, 3, Shape({2, 65536, 65536}), Strides({~0u, 65536, 1}), 0); },
         "CreateTensor. Tensor of shape (2,65536,65536)" + tooBig},
        {[&] { GetTensorSize(handMade({65536, 65536, 2}, {})); },
         "GetTensorSize. Tensor of shape (65536,65536,2)" + tooBig},
        {[&] { GetTensorDataSize(handMade({2, 3}, {1u << 31, 1})); },
         "GetTensorDataSize. Tensor of shape (2,3)" + tooBig},
        {[&] { FreeTensorData(t); }, "FreeTensorData. Cannot release memory allocated beyound AllocTensorData"},
        {[&] { SetTensorData(o, host.data()); }, "Cannot change data pointer for tensor with allocated memory"},
        {[&] { SetTensorDataType(o, DT_INT8); }, "Cannot set data type. Tensor has allocated memory"},
        {[&] { strided(Strides({14, 5, 1})); }, "CreateTensor. Stride by dimension: 0 cannot be less than 15"},
        // A zero innermost stride is not checked itself, but the row length still bounds the next one.
        {[&] { CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({2, 3}), Strides({2, 0}), false); },
         "CreateTensor. Stride by dimension: 0 cannot be less than 3"},
        {[&] { CreateTensor(DT_FLOAT32, DL_NONE, 7, Shape({1}), false); }, kNDimMsg},
        {[&] { CreateTensor(DT_FLOAT32, DL_NHWC, 3, Shape({1, 2, 3}), false); },
         "Unnsupported layout value for dim = 3"},
    });
    // clang-format on
    DestroyTensor(t);  // leaves the host buffer alone (ASan would report a bad free)
    EXPECT_EQ(host[5], 7.0f);
    FreeTensorData(o);
    EXPECT_TRUE(o->data == nullptr && !o->allocatedData);
    SetTensorDataType(o, DT_UINT8);
    AllocTensorData(o);  // storage can be allocated again
    EXPECT_TRUE(o->allocatedData);
    DestroyTensor(o);
    DestroyTensor(nullptr);
}

TEST(TensorDeathTest, CopyTensorData)
{
    Tensor* small = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 3}), true);
    Tensor* big = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 4, 4, 3}), true);
    for (uint32_t i = 0; i < 12; ++i) As<float>(small)[i] = (float)i + 1;
    for (uint32_t i = 0; i < 48; ++i) As<float>(big)[i] = -1;
    CopyTensorData(small, big);  // lands in the top-left 2x2 block
    EXPECT_EQ(As<float>(big)[(1 * 4 + 1) * 3 + 2], 12.0f);
    EXPECT_EQ(BlockCopyMismatches(small, big, -1.0f), 0);
    // Padded rows on both sides, a half-precision three-channel image, six dimensions.
    Tensor* ps = Filled<int32_t>(DT_INT32, 3, Shape({2, 3, 4}), Strides({16, 5, 1}), 1, -7);
    Tensor* pd = Filled<int32_t>(DT_INT32, 3, Shape({2, 4, 6}), Strides({30, 7, 1}), -2, -2, 0);
    CopyTensorData(ps, pd);
    Tensor* hs = Filled<uint16_t>(DT_FLOAT16, 3, Shape({2, 2, 3}), Strides({8, 4, 1}), 0x3c00, 0xffff);
    Tensor* hd = Filled<uint16_t>(DT_FLOAT16, 3, Shape({3, 3, 3}), Strides({15, 5, 1}), 0x1111, 0x1111, 0);
    CopyTensorData(hs, hd);
    Tensor* s6 = Filled<uint8_t>(DT_UINT8, 6, Shape({2, 2, 1, 2, 1, 3}), Strides({12, 6, 6, 3, 3, 1}), 1);
    Tensor* d6 =
        Filled<uint8_t>(DT_UINT8, 6, Shape({3, 2, 2, 2, 2, 3}), Strides({96, 48, 24, 12, 6, 1}), 0xAA, 0xAA, 0);
    CopyTensorData(s6, d6);
    Tensor* empty = CreateTensor(DT_INT32, DL_NONE, 3, Shape({2, 0, 4}), true);
    CopyTensorData(empty, pd);  // a zero outer extent copies nothing
    EXPECT_EQ(BlockCopyMismatches(ps, pd, -2), 0);
    EXPECT_EQ(BlockCopyMismatches(hs, hd, (uint16_t)0x1111), 0);
    EXPECT_EQ(BlockCopyMismatches(s6, d6, (uint8_t)0xAA), 0);

    Tensor* half = CreateTensor(DT_FLOAT16, DL_NONE, 3, Shape({2, 3, 4}), true);
    Tensor* scalar = CreateTensor(DT_FLOAT32, DL_NONE, 0, Shape({}), true);
    Tensor* noData = CreateTensor(DT_INT32, DL_NONE, 3, Shape({2, 3, 4}), false);
    // CopyTensor: a deep copy of the storage as it is, gaps included.
    Tensor* dst = CreateTensor(DT_FLOAT16, DL_NONE, 5, Shape({1, 1, 1, 1, 5}), true);  // old storage is released
    CopyTensor(ps, dst);
    EXPECT_TRUE(dst->allocatedData && dst->data != ps->data && dst->ndim == 3 && dst->dtype == DT_INT32);
    EXPECT_EQ(CompareTensorsShape(ps, dst) + CompareTensorsStride(ps, dst), TCR_SHAPES_EQUAL + TCR_STRIDES_EQUAL);
    EXPECT_EQ(dst->shape.dimension[4] + dst->stride.dimension[3] + dst->stride.dimension[4], 0u);
    EXPECT_EQ(memcmp(ps->data, dst->data, 32 * sizeof(int32_t)), 0);
    Tensor* view = CreateTensor(DT_INT32, DL_NONE, 3, Shape({2, 3, 4}), false);
    SetTensorData(view, pd->data);
    // clang-format off
    ExpectFatal("Tensor", {
        {[&] { CopyTensorData(big, small); }, kShapeMsg},
        {[&] { CopyTensorData(small, ps); }, kShapeMsg},
        {[&] { CopyTensorData(ps, half); }, "Source and destination tensors have different dtype"},
        {[&] { CopyTensorData(scalar, scalar); }, "CopyTensorData works for ndim from 0 to 6. src ndim: 0"},
        {[&] { CopyTensorData(noData, pd); }, "src->data refers to nullptr"},
        {[&] { CopyTensorData(ps, noData); }, "dst->data refers to nullptr"},
        {[&] { CopyTensor(ps, view); },
         "Copying isn't possible because dst->data refers to memory allocated beyond AllocTensorData. Use "
         "CopyTensorData instead"},
        {[&] { CopyTensor(noData, dst); }, "src->data is nullptr"},
    });
    // clang-format on
    for (Tensor* t : {small, big, ps, pd, hs, hd, s6, d6, empty, half, scalar, noData, dst, view}) DestroyTensor(t);
}

TEST(Tensor, CompareAndCountEquals)
{
    Tensor* a = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 4}), false);  // strides (12,4,1)
    Tensor* b = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 5}), false);  // (15,5,1)
    Tensor* c = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 4, 3}), false);  // (12,3,1)
    Tensor* d = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 4}), Strides({16, 4, 1}), false);
    Tensor* m = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), false);
    EXPECT_EQ(CompareTensorsShape(a, d), TCR_SHAPES_EQUAL);
    EXPECT_EQ(CompareTensorsShape(a, b), TCR_SHAPES_LESS);
    EXPECT_EQ(CompareTensorsShape(b, a), TCR_SHAPES_GREATER);
    EXPECT_EQ(CompareTensorsShape(a, c), TCR_SHAPES_DIFFERENT);
    EXPECT_EQ(CompareTensorsShape(a, m), TCR_SHAPES_NDIM_DIFFERENT);
    EXPECT_EQ(CompareTensorsStride(a, b), TCR_STRIDES_LESS);
    EXPECT_EQ(CompareTensorsStride(a, c), TCR_STRIDES_GREATER);
    EXPECT_EQ(CompareTensorsStride(d, b), TCR_STRIDES_DIFFERENT);
    ExpectWarning("Tensor", "CompareTensorsStride: ndims aren't same",
                  [&] { EXPECT_EQ(CompareTensorsStride(a, m), TCR_STRIDES_NDIM_DIFFERENT); });

    // Elements are compared as bit patterns, each tensor through its own strides.
    Tensor* s = Filled<uint32_t>(DT_FLOAT32, 3, Shape({2, 3, 4}), Strides({16, 5, 1}), 0x3f800000, 99);
    Tensor* t = Filled<uint32_t>(DT_FLOAT32, 3, Shape({2, 3, 4}), Strides({12, 4, 1}), 0x3f800000);
    EXPECT_EQ(CountTensorEquals(s, t), 24u);
    As<uint32_t>(s)[16 + 5 * 2 + 3] = As<uint32_t>(t)[12 + 4 * 2 + 3] = 0x7fc00000;  // equal NaNs count
    As<uint32_t>(s)[16] = 0x7fc00001;                                                // another payload does not
    As<uint32_t>(t)[12] = 0x7fc00000;
    As<uint32_t>(s)[5 + 1] = 0x80000000;  // -0 against +0
    As<uint32_t>(t)[4 + 1] = 0;
    EXPECT_EQ(CountTensorEquals(s, t), 22u);
    Tensor* hs = Filled<uint16_t>(DT_FLOAT16, 2, Shape({3, 3}), Strides({4, 1}), 0x7e00, 0x1234);
    Tensor* ht = Filled<uint16_t>(DT_FLOAT16, 2, Shape({3, 3}), Strides({3, 1}), 0x7e00);
    As<uint16_t>(ht)[8] = 0;
    EXPECT_EQ(CountTensorEquals(hs, ht), 8u);
    Tensor* i8 = Filled<int8_t>(DT_INT8, 1, Shape({5}), Strides({1}), -2);
    EXPECT_EQ(CountTensorEquals(i8, i8), 5u);

    for (Tensor* x : {a, b, c, d, m, s, t, hs, ht, i8}) DestroyTensor(x);
}

TEST(TensorDeathTest, PutTensorDataFillsPaddedStorage)
{
    std::vector<float> src(24);
    for (int i = 0; i < 24; ++i) src[i] = 0.5f * (float)i + 1;
    Tensor* view = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 4}), false);
    SetTensorData(view, src.data());
    Tensor* t = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 4}), Strides({16, 5, 1}), true);
    PutTensorData(src.data(), t);
    EXPECT_EQ(BlockCopyMismatches(view, t, 0.0f), 0);  // gaps stay zero
    Tensor* scalar = CreateTensor(DT_FLOAT32, DL_NONE, 0, Shape({}), true);
    Tensor* inner2 = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({3, 4}), Strides({8, 2}), true);
    Tensor* noData = CreateEmptyTensor();
    // clang-format off
    ExpectFatal("Tensor", {
        {[&] { PutTensorData(src.data(), noData); }, "PutTensorData. Tensor tensor data refers to nullptr"},
        {[&] { PutTensorData(src.data(), scalar); },
         "Incorrect value of tensor->ndim: 0. Values from 1 to 5 are supported"},
        {[&] { PutTensorData(src.data(), inner2); }, "Stride by dimension: 1 must be 1. Current value: 2"},
    });
    // clang-format on
    for (Tensor* x : {t, view, scalar, inner2, noData}) DestroyTensor(x);
}

TEST(TensorDeathTest, PrintedText)
{
    auto text = [](const Tensor* t) { return Printed([&](FILE* o) { PrintTensorData(t, o); }); };
    Tensor* f = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), true);
    const float v[6] = {1.5f, -2.0f, 0.25f, 3.0f, 4.0f, 5.0f};
    PutTensorData(v, f);
    const std::string whole = "ndim=2, shape=(2,3), stride=(3,1), dtype=float32,\n"
                              "data=[[1.5000, -2.0000, 0.2500]\n[3.0000, 4.0000, 5.0000]]\n";
    EXPECT_EQ(Printed([&](FILE* o) { PrintTensorToFile(f, o); }), whole);
    // Eight entries per line, counted from the start of each innermost row.
    Tensor* l = Filled<int32_t>(DT_INT32, 1, Shape({17}), Strides({1}), 0);
    EXPECT_EQ(text(l), "[0, 1, 2, 3, 4, 5, 6, 7, \n8, 9, 10, 11, 12, 13, 14, 15, \n16]\n");
    Tensor* r = Filled<int32_t>(DT_INT32, 2, Shape({2, 9}), Strides({10, 1}), -4, 77);
    EXPECT_EQ(text(r), "[[-4, -3, -2, -1, 0, 1, 2, 3, \n4]\n[5, 6, 7, 8, 9, 10, 11, 12, \n13]]\n");
    // Nested blocks over padded strides, half precision as raw bits.
    Tensor* n = Filled<int8_t>(DT_INT8, 3, Shape({2, 2, 2}), Strides({6, 3, 1}), 0, 99);
    EXPECT_EQ(text(n), "[[[0, 1]\n[2, 3]]\n[[4, 5]\n[6, 7]]]\n");
    Tensor* h = Filled<uint16_t>(DT_FLOAT16, 1, Shape({3}), Strides({1}), 0x3bff);
    EXPECT_EQ(text(h), "[0x3bff, 0x3c00, 0x3c01]\n");
    // Unprintable tensors warn on stdout and write nothing.
    Tensor* six = CreateTensor(DT_FLOAT32, DL_NONE, 6, Shape({1, 1, 1, 1, 1, 2}), true);
    Tensor* u8 = CreateTensor(DT_UINT8, DL_I, 1, Shape({2}), true);
    ExpectWarning("Tensor", "Unsupported dim number", [&] { EXPECT_EQ(text(six), ""); });
    ExpectWarning("Tensor", "Unsupported datatype", [&] { EXPECT_EQ(text(u8), ""); });
    for (Tensor* t : {f, l, r, n, h, six, u8}) DestroyTensor(t);
}

TEST(DataTypeDeathTest, NamesOfAliasesAndUnknowns)
{
    // Filter aliases print as the layouts they stand for.
    const std::pair<DataLayout, const char*> layouts[] = {
        {DL_MHWI, "DL_NHWC"}, {DL_HWIO, "DL_HWCN"}, {DL_HWOI, "DL_HWNC"}, {(DataLayout)0x3201, "DL_UNKNOW"}};
    for (const auto& [layout, name] : layouts) EXPECT_STREQ(DataLayoutStr(layout), name);
    ExpectFatal("DataType", {{[] { DataTypeSize((DataType)6); }, "Wrong data type"},
                             {[] { DataTypeToStr((DataType)6); }, "Wrong data type"}});
    // Activation names as the readers spell them; anything else (case included) is none.
    const std::pair<const char*, ActivationType> map[] = {{"relu6", ReLU6}, {"softmax", Softmax}, {"elu", eLU},
                                                          {"ReLU", None},   {"leakyrelu", None},  {"", None}};
    for (const auto& [text, type] : map) EXPECT_EQ(GetActivationName(text), type) << text;
}
