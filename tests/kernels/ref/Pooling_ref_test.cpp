// Reference pooling kernels against naive window loops.
#include <gtest/gtest.h>

#include <vector>

#include "DataTypeConvert.h"
#include "LayersPooling.h"
#include "nn_kernel_list.h"
#include "pooling_util.h"

using namespace pooling_test;

namespace {

// A kernel record around borrowed tensors and a parameter record.
struct BareKernel {
    NNKernel kernel;
    Tensor* inputs[1];
    Tensor* outputs[1];
    BareKernel(Tensor* in, Tensor* out, void* params)
    {
        memset(&kernel, 0, sizeof(kernel));
        inputs[0] = in;
        outputs[0] = out;
        kernel.input = inputs;
        kernel.output = outputs;
        kernel.inputsNum = 1;
        kernel.outputsNum = 1;
        kernel.params = params;
    }
};

void RunDefault(LayerOpType op, Tensor* in, Tensor* out, void* params)
{
    BareKernel k(in, out, params);
    nn_kernel_fn_list_default[op]->execute(&k.kernel);
}

// Output tensor, optionally with gaps after each pixel and row so that the
// kernels must honour the strides they are given.
Tensor* Output4D(uint32_t n, uint32_t h, uint32_t w, uint32_t c, bool strided)
{
    if (!strided) return CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({n, h, w, c}), true);
    TensorStrides s;
    memset(&s, 0, sizeof(s));
    s.dimension[3] = 1;
    s.dimension[2] = c + 2;
    s.dimension[1] = s.dimension[2] * w + 3;
    s.dimension[0] = s.dimension[1] * h + 1;
    Tensor* t = CreateTensorWithStrides(DT_FLOAT32, DL_NHWC, 4, Shape({n, h, w, c}), s, true);
    for (uint64_t e = 0; e < (uint64_t)s.dimension[0] * n; ++e) F32(t)[e] = 12345.0f;
    return t;
}

Tensor* Input4D(std::mt19937& rng, uint32_t n, uint32_t h, uint32_t w, uint32_t c, bool strided)
{
    Tensor* t = Output4D(n, h, w, c, strided);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < h; ++b)
            for (uint32_t x = 0; x < w; ++x)
                for (uint32_t y = 0; y < c; ++y) At(t, {a, b, x, y}) = dist(rng);
    return t;
}

}  // namespace

TEST(Pool2DRef, RandomGeometriesMatchNaiveWindows)
{
    std::mt19937 rng(7);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    int windowsWhollyInPads = 0, windowsPartlyInPads = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t N = pick(1, 2), H = pick(1, 8), W = pick(1, 8), C = pick(1, 5);
        const Pool2DParams p = Params2D(pick(1, 4), pick(1, 4), pick(1, 3), pick(1, 3), pick(0, 5), pick(0, 5),
                                        pick(0, 4), pick(0, 4), pick(0, 1));
        // Output sizes up to one window past the padded input: the last
        // windows may reach beyond the end pads (as rounding up can give).
        const uint32_t OH = pick(1, (H + p.padTop + p.padBottom) / p.strideH + 2);
        const uint32_t OW = pick(1, (W + p.padLeft + p.padRight) / p.strideW + 2);
        const bool strided = trial % 3 == 0;
        Tensor* in = Input4D(rng, N, H, W, C, strided);
        for (bool isMax : {true, false}) {
            Tensor* out = Output4D(N, OH, OW, C, strided);
            RunDefault(isMax ? OP_MaxPool2D : OP_AveragePool2D, in, out, (void*)&p);
            SCOPED_TRACE(::testing::Message() << "trial " << trial << (isMax ? " max" : " avg") << " mode "
                                              << p.paddingMode);
            ExpectMatchesNaive(isMax, in, out, p);
            DestroyTensor(out);
        }
        // Count the kinds of windows this sweep exercised.
        for (uint32_t oh = 0; oh < OH; ++oh)
            for (uint32_t ow = 0; ow < OW; ++ow) {
                const int64_t r0 = (int64_t)oh * p.strideH - p.padTop, q0 = (int64_t)ow * p.strideW - p.padLeft;
                const bool rowsOut = r0 + p.poolSizeH <= 0 || r0 >= H, colsOut = q0 + p.poolSizeW <= 0 || q0 >= W;
                const bool rowsPartly = r0 < 0 || r0 + p.poolSizeH > H, colsPartly = q0 < 0 || q0 + p.poolSizeW > W;
                if (rowsOut || colsOut)
                    ++windowsWhollyInPads;
                else if (rowsPartly || colsPartly)
                    ++windowsPartlyInPads;
            }
        DestroyTensor(in);
    }
    EXPECT_GT(windowsWhollyInPads, 100);
    EXPECT_GT(windowsPartlyInPads, 500);
}

TEST(Pool2DRef, MaxOfNegativeWindowReachingIntoPads)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 1}), true);
    const float values[4] = {-3.0f, -1.5f, -2.0f, -4.0f};
    memcpy(in->data, values, sizeof(values));
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 1, 1, 1}), true);
    Pool2DParams p = Params2D(3, 3, 1, 1, 1, 1, 0, 0, 0);
    MaxPool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(F32(out)[0], 0.0f);
    p.paddingMode = 1;
    MaxPool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(F32(out)[0], -1.5f);
    // A window wholly in the pads keeps the starting value when pads are skipped.
    p = Params2D(1, 1, 1, 1, 1, 0, 0, 0, 1);
    MaxPool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(F32(out)[0], -3.4028235e38f);
    DestroyTensor(in);
    DestroyTensor(out);
}

// A 2x2 window cannot have exactly its top-left cell in rectangular pads;
// the corner window (one inside cell, three pad cells) and an edge window
// (two and two) show the same rule: skipped pads average the inside cells,
// counted pads divide their sum by 4.
TEST(Pool2DRef, AverageOfWindowsReachingIntoPads)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 1}), true);
    const float values[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    memcpy(in->data, values, sizeof(values));
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 1}), true);
    Pool2DParams p = Params2D(2, 2, 1, 1, 1, 1, 0, 0, 1);
    AveragePool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(At(out, {0, 0, 0, 0}), 1.0f);
    EXPECT_EQ(At(out, {0, 0, 1, 0}), (1.0f + 2.0f) / 2.0f);
    EXPECT_EQ(At(out, {0, 1, 0, 0}), (1.0f + 3.0f) / 2.0f);
    EXPECT_EQ(At(out, {0, 1, 1, 0}), (1.0f + 2.0f + 3.0f + 4.0f) / 4.0f);
    p.paddingMode = 0;
    AveragePool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(At(out, {0, 0, 0, 0}), 1.0f / 4.0f);
    EXPECT_EQ(At(out, {0, 0, 1, 0}), (1.0f + 2.0f) / 4.0f);
    EXPECT_EQ(At(out, {0, 1, 0, 0}), (1.0f + 3.0f) / 4.0f);
    EXPECT_EQ(At(out, {0, 1, 1, 0}), (1.0f + 2.0f + 3.0f + 4.0f) / 4.0f);
    DestroyTensor(in);
    DestroyTensor(out);
}

TEST(Pool2DRef, ThreeByThreeStrideTwoOverFiveByFive)
{
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 5, 5, 1}), true);
    for (int e = 0; e < 25; ++e) F32(in)[e] = (float)e;
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 3, 3, 1}), true);
    const Pool2DParams p = Params2D(3, 3, 2, 2, 1, 1, 1, 1, 1);
    AveragePool2D_fl32_ref(out, in, &p);
    // Corners average four cells, edges six, the centre nine.
    EXPECT_EQ(At(out, {0, 0, 0, 0}), (0.0f + 1.0f + 5.0f + 6.0f) / 4.0f);
    EXPECT_EQ(At(out, {0, 0, 2, 0}), (3.0f + 4.0f + 8.0f + 9.0f) / 4.0f);
    EXPECT_EQ(At(out, {0, 2, 0, 0}), (15.0f + 16.0f + 20.0f + 21.0f) / 4.0f);
    EXPECT_EQ(At(out, {0, 2, 2, 0}), (18.0f + 19.0f + 23.0f + 24.0f) / 4.0f);
    EXPECT_EQ(At(out, {0, 0, 1, 0}), (1.0f + 2.0f + 3.0f + 6.0f + 7.0f + 8.0f) / 6.0f);
    EXPECT_EQ(At(out, {0, 1, 1, 0}), (6.0f + 7.0f + 8.0f + 11.0f + 12.0f + 13.0f + 16.0f + 17.0f + 18.0f) / 9.0f);
    DestroyTensor(in);
    DestroyTensor(out);
}

TEST(Pool2DRef, CellsPastTheEndPadAreIgnoredInEveryMode)
{
    // One input row, no pads: a second output row lies wholly past the input.
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 1, 2, 1}), true);
    F32(in)[0] = -2.0f;
    F32(in)[1] = -1.0f;
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 1, 1}), true);
    for (uint32_t mode : {0u, 1u, 2u}) {
        const Pool2DParams p = Params2D(1, 2, 1, 1, 0, 0, 0, 0, mode);
        MaxPool2D_fl32_ref(out, in, &p);
        EXPECT_EQ(At(out, {0, 0, 0, 0}), -1.0f);
        EXPECT_EQ(At(out, {0, 1, 0, 0}), -3.4028235e38f);
        AveragePool2D_fl32_ref(out, in, &p);
        EXPECT_EQ(At(out, {0, 0, 0, 0}), -1.5f);
        EXPECT_TRUE(std::isnan(At(out, {0, 1, 0, 0})));  // no cell counted: 0 / 0
    }
    DestroyTensor(in);
    DestroyTensor(out);
}

TEST(Pool2DRef, HugePadsAndWindowsStayBounded)
{
    // Windows of billions of cells, almost all in the pads: the result needs
    // only the few inside cells and the count.
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 1}), true);
    const float values[4] = {-1.0f, -2.0f, -3.0f, -4.0f};
    memcpy(in->data, values, sizeof(values));
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 1, 1, 1}), true);
    Pool2DParams p = Params2D(4000000000u, 3, 4000000000u, 1, 3999999998u, 1, 4000000000u, 0, 1);
    MaxPool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(F32(out)[0], -1.0f);
    AveragePool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(F32(out)[0], -2.5f);
    p.paddingMode = 0;
    MaxPool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(F32(out)[0], 0.0f);
    AveragePool2D_fl32_ref(out, in, &p);
    EXPECT_EQ(F32(out)[0], -10.0f / 12e9f);
    DestroyTensor(in);
    DestroyTensor(out);
}

TEST(Pool2DRefDeathTest, ChecksAndPaddingModes)
{
    std::mt19937 rng(3);
    Tensor* in = RandomTensor(rng, DL_NHWC, {1, 4, 4, 2});
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 2, 2, 2}), true);
    // Mode 2 is fine while no window touches the pads...
    Pool2DParams p = Params2D(2, 2, 2, 2, 0, 0, 0, 0, 2);
    MaxPool2D_fl32_ref(out, in, &p);
    AveragePool2D_fl32_ref(out, in, &p);
    // ...and fatal once one does.
    p = Params2D(2, 2, 2, 2, 1, 1, 1, 1, 2);
    EXPECT_EXIT(RunDefault(OP_MaxPool2D, in, out, &p), ::testing::ExitedWithCode(1),
                "^\\[ERROR MESSAGE\\]: Unsupported PaddingMode: 2\\. File Pooling_ref : [0-9]+\n$");
    p.paddingMode = 7;
    EXPECT_EXIT(RunDefault(OP_AveragePool2D, in, out, &p), ::testing::ExitedWithCode(1), "Unsupported PaddingMode: 7");

    p = Params2D(2, 2, 2, 2, 0, 0, 0, 0, 1);
    in->layout = DL_NCHW;
    EXPECT_EXIT(RunDefault(OP_MaxPool2D, in, out, &p), ::testing::ExitedWithCode(1),
                "input->layout == DL_NHWC: false, expected: true");
    in->layout = DL_NHWC;
    out->layout = DL_NONE;
    EXPECT_EXIT(RunDefault(OP_AveragePool2D, in, out, &p), ::testing::ExitedWithCode(1),
                "output->layout == DL_NHWC: false, expected: true");
    out->layout = DL_NHWC;
    // Batch or channel mismatch would read past the input.
    out->shape.dimension[3] = 3;
    EXPECT_EXIT(RunDefault(OP_MaxPool2D, in, out, &p), ::testing::ExitedWithCode(1),
                "output->shape\\.NHWC\\.channels == input->shape\\.NHWC\\.channels");
    out->shape.dimension[3] = 2;
    in->dtype = DT_FLOAT16;
    EXPECT_EXIT(RunDefault(OP_MaxPool2D, in, out, &p), ::testing::ExitedWithCode(1),
                "kernel->input\\[0\\]->dtype == DT_FLOAT32: false, expected: true");
    in->dtype = DT_FLOAT32;
    EXPECT_EXIT(RunDefault(OP_MaxPool2D, in, out, nullptr), ::testing::ExitedWithCode(1),
                "kernel->params==NULL, expected not NULL value");
    DestroyTensor(in);
    DestroyTensor(out);
}

namespace {

// The one-dimensional window, cell by cell.
float NaiveWindow1D(bool isMax, const Tensor* in, const Pool1DParams& p, uint32_t n, uint32_t o, uint32_t c)
{
    const int64_t L = in->shape.dimension[1];
    float best = -3.4028235e38f, sum = 0.0f, count = 0.0f;
    const int64_t i0 = (int64_t)o * p.stride - p.padBegin;
    for (int64_t i = i0; i < i0 + p.poolSize; ++i) {
        if (i >= 0 && i < L) {
            const float v = At(in, {n, (uint32_t)i, c});
            if (v > best) best = v;
            sum += v;
            count += 1.0f;
        } else if (i < L + p.padEnd && p.paddingMode == 0) {
            if (0.0f > best) best = 0.0f;
            count += 1.0f;
        }
    }
    return isMax ? best : sum / count;
}

Pool1DParams Params1D(uint32_t pool, uint32_t stride, uint32_t begin, uint32_t end, uint32_t mode)
{
    Pool1DParams p;
    p.poolSize = pool;
    p.stride = stride;
    p.padBegin = begin;
    p.padEnd = end;
    p.ceilMode = 0;
    p.paddingMode = mode;
    return p;
}

std::vector<float> ToFloat(const uint16_t* h, uint32_t n)
{
    std::vector<float> f(n);
    float16_to_float32(h, f.data(), n);
    return f;
}

// A float16 copy of a float32 tensor (values rounded to half precision).
Tensor* Half(const Tensor* t)
{
    Tensor* h = CreateTensor(DT_FLOAT16, (DataLayout)t->layout, t->ndim, t->shape, true);
    TensorDataConvert(h, t);
    return h;
}

}  // namespace

TEST(Pool1DRef, RandomAveragesAndStandInMaxMatchNaiveWindows)
{
    std::mt19937 rng(11);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t N = pick(1, 3), L = pick(1, 12), C = pick(1, 6);
        const Pool1DParams p = Params1D(pick(1, 5), pick(1, 3), pick(0, 6), pick(0, 4), pick(0, 1));
        const uint32_t OL = pick(1, (L + p.padBegin + p.padEnd) / p.stride + 2);
        Tensor* in = RandomTensor(rng, DL_NONE, {N, L, C});
        for (bool isMax : {true, false}) {
            Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({N, OL, C}), true);
            RunDefault(isMax ? OP_MaxPool1D : OP_AveragePool1D, in, out, (void*)&p);
            for (uint32_t n = 0; n < N; ++n)
                for (uint32_t o = 0; o < OL; ++o)
                    for (uint32_t c = 0; c < C; ++c)
                        ASSERT_TRUE(SameFloat(NaiveWindow1D(isMax, in, p, n, o, c), At(out, {n, o, c})))
                            << "trial " << trial << (isMax ? " max" : " avg") << " o " << o;
            DestroyTensor(out);
        }
        DestroyTensor(in);
    }
}

TEST(Pool1DRef, StandInMaxPoolsHalfPrecision)
{
    std::mt19937 rng(5);
    Tensor* in32 = RandomTensor(rng, DL_NONE, {2, 9, 3}, -8.0f, 8.0f);
    Tensor* in16 = Half(in32);
    TensorDataConvert(in32, in16);  // the same values in both precisions
    const Pool1DParams p = Params1D(3, 2, 1, 1, 0);
    Tensor* out16 = CreateTensor(DT_FLOAT16, DL_NONE, 3, Shape({2, 5, 3}), true);
    RunDefault(OP_MaxPool1D, in16, out16, (void*)&p);
    const std::vector<float> got = ToFloat((const uint16_t*)out16->data, GetTensorSize(out16));
    for (uint32_t n = 0; n < 2; ++n)
        for (uint32_t o = 0; o < 5; ++o)
            for (uint32_t c = 0; c < 3; ++c)
                EXPECT_EQ(got[(n * 5 + o) * 3 + c], NaiveWindow1D(true, in32, p, n, o, c));
    DestroyTensor(in32);
    DestroyTensor(in16);
    DestroyTensor(out16);
}

TEST(Pool1DRefDeathTest, Checks)
{
    std::mt19937 rng(3);
    Tensor* in = RandomTensor(rng, DL_NONE, {1, 6, 2});
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, 3, 2}), true);
    Pool1DParams p = Params1D(2, 2, 1, 1, 2);
    EXPECT_EXIT(RunDefault(OP_AveragePool1D, in, out, &p), ::testing::ExitedWithCode(1),
                "\\[ERROR MESSAGE\\]: Unsupported padding mode: 2\\. File Pooling_ref");
    p.paddingMode = 1;
    Tensor* in4 = RandomTensor(rng, DL_NHWC, {1, 6, 1, 2});
    EXPECT_EXIT(RunDefault(OP_AveragePool1D, in4, out, &p), ::testing::ExitedWithCode(1),
                "Function AveragePooling1D: Input tensor dimensions \\(4\\) is not equal 3");
    Tensor* out2 = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 3}), true);
    EXPECT_EXIT(RunDefault(OP_AveragePool1D, in, out2, &p), ::testing::ExitedWithCode(1),
                "Function AveragePooling1D: Output tensor dimensions \\(2\\) is not equal 3");
    // The optimised one-dimensional max pooling refuses unknown padding modes.
    p.paddingMode = 2;
    EXPECT_EXIT(RunDefault(OP_MaxPool1D, in, out, &p), ::testing::ExitedWithCode(1),
                "Execute_MaxPool1D_opt error -1\\. File Pooling1D_opt");
    p.paddingMode = 0;
    EXPECT_EXIT(RunDefault(OP_MaxPool1D, in4, out, &p), ::testing::ExitedWithCode(1), "Execute_MaxPool1D_opt error -1");
    in->dtype = out->dtype = DT_INT32;
    EXPECT_EXIT(RunDefault(OP_MaxPool1D, in, out, &p), ::testing::ExitedWithCode(1), "DataType 2 not implemened");
    DestroyTensor(in);
    DestroyTensor(in4);
    DestroyTensor(out);
    DestroyTensor(out2);
}

TEST(GlobalPoolRef, AverageSumsRowsThenColumnsTimesReciprocal)
{
    std::mt19937 rng(21);
    for (bool keepDims : {true, false}) {
        Tensor* in = RandomTensor(rng, DL_NHWC, {2, 5, 3, 4}, -10.0f, 10.0f);
        Tensor* out = keepDims ? CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({2, 1, 1, 4}), true)
                               : CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 4}), true);
        GlobalAvPool2DParams p = {DL_NHWC, keepDims};
        RunDefault(OP_GlobalAveragePool2D, in, out, &p);
        const float reciprocal = 1.0f / 15.0f;
        for (uint32_t n = 0; n < 2; ++n)
            for (uint32_t c = 0; c < 4; ++c) {
                float sum = 0.0f;
                for (uint32_t h = 0; h < 5; ++h)
                    for (uint32_t w = 0; w < 3; ++w) sum += At(in, {n, h, w, c});
                EXPECT_EQ(F32(out)[n * 4 + c], sum * reciprocal);
            }
        // Half precision: through float32, rounded once at the end.
        Tensor* in16 = Half(in);
        TensorDataConvert(in, in16);
        Tensor* out16 = CreateTensor(DT_FLOAT16, (DataLayout)out->layout, out->ndim, out->shape, true);
        RunDefault(OP_GlobalAveragePool2D, in16, out16, &p);
        RunDefault(OP_GlobalAveragePool2D, in, out, &p);
        std::vector<uint16_t> want(8);
        float32_to_float16(F32(out), want.data(), 8);
        EXPECT_EQ(memcmp(want.data(), out16->data, 16), 0);
        DestroyTensor(in);
        DestroyTensor(out);
        DestroyTensor(in16);
        DestroyTensor(out16);
    }
}

TEST(GlobalPoolRef, MaxOverAllMiddleDimensions)
{
    std::mt19937 rng(8);
    const std::vector<std::vector<uint32_t>> shapes = {{2, 3, 4}, {2, 3, 4, 5}, {1, 2, 3, 2, 3}, {3, 1, 2, 1, 2, 2}};
    for (const auto& dims : shapes) {
        const uint32_t ndim = (uint32_t)dims.size(), N = dims[0], C = dims[ndim - 1];
        TensorShape shape = Shape({});
        TensorShape outShape = Shape({});
        for (uint32_t k = 0; k < ndim; ++k) {
            shape.dimension[k] = dims[k];
            outShape.dimension[k] = (k == 0 || k == ndim - 1) ? dims[k] : 1;
        }
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, ndim, shape, true);
        std::uniform_real_distribution<float> dist(-5.0f, 5.0f);
        for (uint32_t e = 0; e < GetTensorSize(in); ++e) F32(in)[e] = dist(rng);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, ndim, outShape, true);
        RunDefault(OP_GlobalMaxPool, in, out, nullptr);
        // Dense input: element (n, m, c) of the flattened middle is n*M*C + m*C + c.
        const uint32_t M = GetTensorSize(in) / (N * C);
        for (uint32_t n = 0; n < N; ++n)
            for (uint32_t c = 0; c < C; ++c) {
                float best = -INFINITY;
                for (uint32_t m = 0; m < M; ++m) best = std::max(best, F32(in)[(n * M + m) * C + c]);
                EXPECT_EQ(F32(out)[n * C + c], best) << "ndim " << ndim;
            }
        // Float16 gives the same maxima, rounded to half precision.
        Tensor* in16 = Half(in);
        TensorDataConvert(in, in16);
        Tensor* out16 = CreateTensor(DT_FLOAT16, DL_NONE, ndim, outShape, true);
        RunDefault(OP_GlobalMaxPool, in16, out16, nullptr);
        RunDefault(OP_GlobalMaxPool, in, out, nullptr);
        const std::vector<float> got = ToFloat((const uint16_t*)out16->data, N * C);
        for (uint32_t e = 0; e < N * C; ++e) EXPECT_EQ(got[e], F32(out)[e]);
        DestroyTensor(in);
        DestroyTensor(out);
        DestroyTensor(in16);
        DestroyTensor(out16);
    }
    // An empty middle extent leaves -infinity.
    Tensor* empty = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 0, 3}), false);
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 1, 3}), true);
    GlobalMaxPool_fl32_ref(out, empty);
    for (uint32_t e = 0; e < 6; ++e) EXPECT_EQ(F32(out)[e], -INFINITY);
    DestroyTensor(empty);
    DestroyTensor(out);
}

TEST(GlobalPoolRef, MaxHonoursStridedViews)
{
    // A {2, 3, 2} view with gaps between rows and between batches.
    TensorStrides s;
    memset(&s, 0, sizeof(s));
    s.dimension[2] = 1;
    s.dimension[1] = 5;
    s.dimension[0] = 17;
    Tensor* in = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 2}), s, true);
    for (uint32_t e = 0; e < 34; ++e) F32(in)[e] = 100.0f;  // gaps hold larger values
    for (uint32_t n = 0; n < 2; ++n)
        for (uint32_t m = 0; m < 3; ++m)
            for (uint32_t c = 0; c < 2; ++c) At(in, {n, m, c}) = (float)((int)n * 10 + (int)m * (c == 0 ? 1 : -1));
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 1, 2}), true);
    GlobalMaxPool_fl32_ref(out, in);
    EXPECT_EQ(F32(out)[0], 2.0f);
    EXPECT_EQ(F32(out)[1], 0.0f);
    EXPECT_EQ(F32(out)[2], 12.0f);
    EXPECT_EQ(F32(out)[3], 10.0f);
    DestroyTensor(in);
    DestroyTensor(out);
}

TEST(GlobalPoolRefDeathTest, Checks)
{
    EXPECT_EXIT(Execute_GlobalMaxPool_ref(nullptr), ::testing::ExitedWithCode(1),
                "\\[ERROR MESSAGE\\]: kernel pointer is null\\. File Pooling_ref");
    Tensor* in = CreateTensor(DT_INT32, DL_NONE, 3, Shape({1, 2, 2}), true);
    Tensor* out = CreateTensor(DT_INT32, DL_NONE, 3, Shape({1, 1, 2}), true);
    EXPECT_EXIT(RunDefault(OP_GlobalMaxPool, in, out, nullptr), ::testing::ExitedWithCode(1), "support only Fl16 or Fl32");
    GlobalAvPool2DParams p = {DL_NHWC, 1};
    Tensor* in4 = CreateTensor(DT_INT32, DL_NHWC, 4, Shape({1, 2, 2, 2}), true);
    Tensor* out4 = CreateTensor(DT_INT32, DL_NHWC, 4, Shape({1, 1, 1, 2}), true);
    EXPECT_EXIT(RunDefault(OP_GlobalAveragePool2D, in4, out4, &p), ::testing::ExitedWithCode(1),
                "Execute_GlobalAveragePool2D_ref: unsupported data type");
    in4->dtype = out4->dtype = DT_FLOAT32;
    out4->shape.dimension[3] = 5;
    EXPECT_EXIT(RunDefault(OP_GlobalAveragePool2D, in4, out4, &p), ::testing::ExitedWithCode(1),
                "output->shape\\.dimension\\[output->ndim - 1\\] == input->shape\\.dimension\\[3\\]");
    DestroyTensor(in);
    DestroyTensor(out);
    DestroyTensor(in4);
    DestroyTensor(out4);
}
