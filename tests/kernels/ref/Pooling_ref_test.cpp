// Reference pooling kernels against naive window loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "DataTypeConvert.h"
#include "nn_kernel_list.h"
#include "pooling_util.h"

using namespace pooling_test;

namespace {

// Runs an operation's default function set on a bare kernel record.
void RunDefault(LayerOpType op, Tensor* in, Tensor* out, const void* params)
{
    NNKernel kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.input = &in;
    kernel.output = &out;
    kernel.inputsNum = kernel.outputsNum = 1;
    kernel.params = const_cast<void*>(params);
    nn_kernel_fn_list_default[op]->execute(&kernel);
}

// {n, h, w, c}, optionally with gaps after each pixel, row and batch (filled
// with a marker) so that the kernels must honour the strides they are given.
Tensor* Tensor4D(std::mt19937* rng, uint32_t n, uint32_t h, uint32_t w, uint32_t c, bool strided)
{
    TensorStrides s;
    memset(&s, 0, sizeof(s));
    s.dimension[3] = 1;
    s.dimension[2] = c + (strided ? 2 : 0);
    s.dimension[1] = s.dimension[2] * w + (strided ? 3 : 0);
    s.dimension[0] = s.dimension[1] * h + (strided ? 1 : 0);
    Tensor* t = CreateTensorWithStrides(DT_FLOAT32, DL_NHWC, 4, Shape({n, h, w, c}), s, true);
    std::fill(F32(t), F32(t) + (size_t)s.dimension[0] * n, 12345.0f);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (uint32_t a = 0; rng != nullptr && a < n; ++a)
        for (uint32_t b = 0; b < h; ++b)
            for (uint32_t x = 0; x < w; ++x)
                for (uint32_t y = 0; y < c; ++y) At(t, {a, b, x, y}) = dist(*rng);
    return t;
}

// Window along one axis, cell by cell.
float NaiveWindow1D(bool isMax, const Tensor* in, const Pool1DParams& p, uint32_t n, uint32_t o, uint32_t c)
{
    const int64_t L = in->shape.dimension[1], i0 = (int64_t)o * p.stride - p.padBegin;
    float best = -3.4028235e38f, sum = 0.0f, count = 0.0f;
    for (int64_t i = i0; i < i0 + p.poolSize; ++i) {
        if (i >= 0 && i < L) {
            const float v = At(in, {n, (uint32_t)i, c});
            best = v > best ? v : best;
            sum += v;
            count += 1.0f;
        } else if (i < L + p.padEnd && p.paddingMode == 0) {
            best = 0.0f > best ? 0.0f : best;
            count += 1.0f;
        }
    }
    return isMax ? best : sum / count;
}

Tensor* Half(const Tensor* t)  // float16 copy (values rounded to half precision)
{
    Tensor* h = CreateTensor(DT_FLOAT16, (DataLayout)t->layout, t->ndim, t->shape, true);
    TensorDataConvert(h, t);
    return h;
}

std::vector<float> Widened(const Tensor* half)
{
    std::vector<float> f;
    for (uint32_t e = 0; e < GetTensorSize(half); ++e) f.push_back(corvus_test::Float(((const uint16_t*)half->data)[e]));
    return f;
}

}  // namespace

TEST(Pool2DRef, RandomGeometriesMatchNaiveWindows)
{
    std::mt19937 rng(7);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    int whollyInPads = 0, partlyInPads = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const uint32_t N = pick(1, 2), H = pick(1, 8), W = pick(1, 8), C = pick(1, 5);
        const Pool2DParams p = Params2D(pick(1, 4), pick(1, 4), pick(1, 3), pick(1, 3), pick(0, 5), pick(0, 5),
                                        pick(0, 4), pick(0, 4), pick(0, 1));
        // Up to a window past the padded input, as rounding up can give.
        const uint32_t OH = pick(1, (H + p.padTop + p.padBottom) / p.strideH + 2);
        const uint32_t OW = pick(1, (W + p.padLeft + p.padRight) / p.strideW + 2);
        Tensor* in = Tensor4D(&rng, N, H, W, C, trial % 3 == 0);
        for (bool isMax : {true, false}) {
            Tensor* out = Tensor4D(nullptr, N, OH, OW, C, trial % 3 == 0);
            RunDefault(isMax ? OP_MaxPool2D : OP_AveragePool2D, in, out, &p);
            SCOPED_TRACE(::testing::Message() << "trial " << trial << (isMax ? " max" : " avg"));
            ExpectMatchesNaive(isMax, in, out, p);
            DestroyTensor(out);
        }
        DestroyTensor(in);
        for (uint32_t oh = 0; oh < OH; ++oh)
            for (uint32_t ow = 0; ow < OW; ++ow) {
                const int64_t r = (int64_t)oh * p.strideH - p.padTop, q = (int64_t)ow * p.strideW - p.padLeft;
                if (r + p.poolSizeH <= 0 || r >= H || q + p.poolSizeW <= 0 || q >= W)
                    ++whollyInPads;
                else if (r < 0 || r + p.poolSizeH > H || q < 0 || q + p.poolSizeW > W)
                    ++partlyInPads;
            }
    }
    EXPECT_GT(whollyInPads, 40);
    EXPECT_GT(partlyInPads, 200);
}

// Hand-computed windows reaching into or lying wholly in the pads.
TEST(Pool2DRef, WindowsReachingIntoPads)
{
    const float kLow = -3.4028235e38f, nan = NAN, neg[] = {-3.0f, -1.5f, -2.0f, -4.0f};
    std::vector<float> iota(25);
    for (int e = 0; e < 25; ++e) iota[e] = (float)e;
    const uint32_t G = 4000000000u;
    const struct {
        std::initializer_list<uint32_t> inDims;
        std::vector<float> in;
        std::initializer_list<uint32_t> outDims;
        Pool2DParams p;
        bool isMax;
        std::vector<float> want;
    } cases[] = {
        // All-negative window: 0 when pads count as zeros, else the largest
        // value; wholly in skipped pads: the start value.
        {{1, 2, 2, 1}, {neg, neg + 4}, {1, 1, 1, 1}, Params2D(3, 3, 1, 1, 1, 1, 0, 0, 0), true, {0.0f}},
        {{1, 2, 2, 1}, {neg, neg + 4}, {1, 1, 1, 1}, Params2D(3, 3, 1, 1, 1, 1, 0, 0, 1), true, {-1.5f}},
        {{1, 2, 2, 1}, {neg, neg + 4}, {1, 1, 1, 1}, Params2D(1, 1, 1, 1, 1, 0, 0, 0, 1), true, {kLow}},
        // 2x2 windows with pads top and left: skipped pads average the inside
        // cells, counted pads divide their sum by 4.
        {{1, 2, 2, 1}, {1, 2, 3, 4}, {1, 2, 2, 1}, Params2D(2, 2, 1, 1, 1, 1, 0, 0, 1), false, {1, 1.5f, 2, 2.5f}},
        {{1, 2, 2, 1}, {1, 2, 3, 4}, {1, 2, 2, 1}, Params2D(2, 2, 1, 1, 1, 1, 0, 0, 0), false, {0.25f, 0.75f, 1, 2.5f}},
        // 3x3, stride 2, pads 1 over 5x5: averages of 4, 6 and 9 cells.
        {{1, 5, 5, 1}, iota, {1, 3, 3, 1}, Params2D(3, 3, 2, 2, 1, 1, 1, 1, 1), false,
         {3, 4.5f, 6, 10.5f, 12, 13.5f, 18, 19.5f, 21}},
        // Cells past the end pad are ignored in every mode: output row 1 lies
        // past the one-row input, its window is empty (an average of 0 / 0).
        {{1, 1, 2, 1}, {-2, -1}, {1, 2, 1, 1}, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 0), true, {-1, kLow}},
        {{1, 1, 2, 1}, {-2, -1}, {1, 2, 1, 1}, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 2), true, {-1, kLow}},
        {{1, 1, 2, 1}, {-2, -1}, {1, 2, 1, 1}, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 0), false, {-1.5f, nan}},
        {{1, 1, 2, 1}, {-2, -1}, {1, 2, 1, 1}, Params2D(1, 2, 1, 1, 0, 0, 0, 0, 1), false, {-1.5f, nan}},
        // Windows of billions of cells, nearly all in the pads, stay bounded:
        // 3999999998 pad rows of 3 cells, 2 more beside the input.
        {{1, 2, 2, 1}, {-1, -2, -3, -4}, {1, 1, 1, 1}, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 1), true, {-1}},
        {{1, 2, 2, 1}, {-1, -2, -3, -4}, {1, 1, 1, 1}, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 1), false, {-2.5f}},
        {{1, 2, 2, 1}, {-1, -2, -3, -4}, {1, 1, 1, 1}, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 0), true, {0}},
        {{1, 2, 2, 1}, {-1, -2, -3, -4}, {1, 1, 1, 1}, Params2D(G, 3, G, 1, G - 2, 1, G, 0, 0), false, {-10.0f / 12e9f}},
    };
    int k = 0;
    for (const auto& c : cases) {
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape(c.inDims), true);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape(c.outDims), true);
        std::copy(c.in.begin(), c.in.end(), F32(in));
        (c.isMax ? MaxPool2D_fl32_ref : AveragePool2D_fl32_ref)(out, in, &c.p);
        for (size_t e = 0; e < c.want.size(); ++e) EXPECT_TRUE(SameFloat(c.want[e], F32(out)[e])) << "case " << k << " at " << e;
        DestroyTensor(in);
        DestroyTensor(out);
        ++k;
    }
}

TEST(Pool2DRefDeathTest, ChecksAndPaddingModes)
{
    std::mt19937 rng(3);
    Tensor* in = Tensor4D(&rng, 1, 4, 4, 2, false);
    Tensor* out = Tensor4D(nullptr, 1, 2, 2, 2, false);
    Pool2DParams p = Params2D(2, 2, 2, 2, 0, 0, 0, 0, 2);  // mode 2 is fine while no window touches a pad
    MaxPool2D_fl32_ref(out, in, &p);
    AveragePool2D_fl32_ref(out, in, &p);
    Pool2DParams padded = Params2D(2, 2, 2, 2, 1, 1, 1, 1, 2), ok = Params2D(2, 2, 2, 2, 1, 1, 1, 1, 1);
    // Each case breaks one field and runs in its own child process.
    auto run = [&](LayerOpType op, const Pool2DParams* params, void (*breakIt)(Tensor*, Tensor*)) {
        breakIt(in, out);
        RunDefault(op, in, out, params);
    };
    corvus_test::ExpectExitRe({
        {[&] { run(OP_MaxPool2D, &padded, [](Tensor*, Tensor*) {}); },
         "^\\[ERROR MESSAGE\\]: Unsupported PaddingMode: 2\\. File Pooling_ref : [0-9]+\n$"},
        {[&] { run(OP_MaxPool2D, &ok, [](Tensor* i, Tensor*) { i->layout = DL_NCHW; }); },
         "input->layout == DL_NHWC: false, expected: true"},
        {[&] { run(OP_AveragePool2D, &ok, [](Tensor*, Tensor* o) { o->layout = DL_NONE; }); },
         "output->layout == DL_NHWC: false, expected: true"},
        // More output channels would read past the input's.
        {[&] { run(OP_MaxPool2D, &ok, [](Tensor*, Tensor* o) { o->shape.dimension[3] = 3; }); },
         "output->shape\\.NHWC\\.channels == input->shape\\.NHWC\\.channels"},
        {[&] { run(OP_MaxPool2D, &ok, [](Tensor* i, Tensor*) { i->dtype = DT_FLOAT16; }); },
         "kernel->input\\[0\\]->dtype == DT_FLOAT32: false, expected: true"},
    });
    DestroyTensor(in);
    DestroyTensor(out);
}

TEST(Pool1DRef, AveragesAndStandInMaxMatchNaiveWindows)
{
    std::mt19937 rng(11);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int trial = 0; trial < 120; ++trial) {
        const uint32_t N = pick(1, 3), L = pick(1, 12), C = pick(1, 6);
        const Pool1DParams p = {pick(1, 5), pick(1, 3), pick(0, 6), pick(0, 4), 0, pick(0, 1)};
        const uint32_t OL = pick(1, (L + p.padBegin + p.padEnd) / p.stride + 2);
        Tensor* in = RandomTensor(rng, DL_NONE, {N, L, C});
        for (bool isMax : {true, false}) {
            Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({N, OL, C}), true);
            RunDefault(isMax ? OP_MaxPool1D : OP_AveragePool1D, in, out, &p);
            for (uint32_t n = 0; n < N; ++n)
                for (uint32_t o = 0; o < OL; ++o)
                    for (uint32_t c = 0; c < C; ++c)
                        ASSERT_TRUE(SameFloat(NaiveWindow1D(isMax, in, p, n, o, c), At(out, {n, o, c})))
                            << "trial " << trial << (isMax ? " max" : " avg") << " o " << o;
            DestroyTensor(out);
        }
        DestroyTensor(in);
    }
    // The stand-in also pools half precision (exactly: max only picks values).
    Tensor* in32 = RandomTensor(rng, DL_NONE, {2, 9, 3}, -8.0f, 8.0f);
    Tensor* in16 = Half(in32);
    TensorDataConvert(in32, in16);
    const Pool1DParams p = {3, 2, 1, 1, 0, 0};
    Tensor* out16 = CreateTensor(DT_FLOAT16, DL_NONE, 3, Shape({2, 5, 3}), true);
    RunDefault(OP_MaxPool1D, in16, out16, &p);
    const std::vector<float> got = Widened(out16);
    for (uint32_t e = 0; e < 30; ++e) EXPECT_EQ(got[e], NaiveWindow1D(true, in32, p, e / 15, e / 3 % 5, e % 3));
    for (Tensor* t : {in32, in16, out16}) DestroyTensor(t);
}

TEST(Pool1DRefDeathTest, Checks)
{
    std::mt19937 rng(3);
    Tensor* in = RandomTensor(rng, DL_NONE, {1, 6, 2});
    Tensor* in4 = RandomTensor(rng, DL_NHWC, {1, 6, 1, 2});
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({1, 3, 2}), true);
    Tensor* out2 = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 3}), true);
    Pool1DParams mode2 = {2, 2, 1, 1, 0, 2}, p = {2, 2, 1, 1, 0, 1};
    corvus_test::ExpectExitRe({
        {[&] { RunDefault(OP_AveragePool1D, in, out, &mode2); },
         "\\[ERROR MESSAGE\\]: Unsupported padding mode: 2\\. File Pooling_ref"},
        {[&] { RunDefault(OP_AveragePool1D, in4, out, &p); },
         "Function AveragePooling1D: Input tensor dimensions \\(4\\) is not equal 3"},
        {[&] { RunDefault(OP_AveragePool1D, in, out2, &p); },
         "Function AveragePooling1D: Output tensor dimensions \\(2\\) is not equal 3"},
        // The optimised 1-D max pooling refuses what it cannot run.
        {[&] { RunDefault(OP_MaxPool1D, in4, out, &p); }, "Execute_MaxPool1D_opt error -1\\. File Pooling1D_opt"},
        {[&] {
             in->dtype = out->dtype = DT_INT32;
             RunDefault(OP_MaxPool1D, in, out, &p);
         },
         "DataType 2 not implemened"},
    });
    for (Tensor* t : {in, in4, out, out2}) DestroyTensor(t);
}

TEST(GlobalPoolRef, AverageSumsRowsThenColumnsTimesReciprocal)
{
    std::mt19937 rng(21);
    for (uint32_t keepDims : {1u, 0u}) {
        Tensor* in = RandomTensor(rng, DL_NHWC, {2, 5, 3, 4}, -10.0f, 10.0f);
        Tensor* out = keepDims ? CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({2, 1, 1, 4}), true)
                               : CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 4}), true);
        const GlobalAvPool2DParams p = {DL_NHWC, keepDims};
        RunDefault(OP_GlobalAveragePool2D, in, out, &p);
        for (uint32_t e = 0; e < 8; ++e) {
            float sum = 0.0f;
            for (uint32_t h = 0; h < 5; ++h)
                for (uint32_t w = 0; w < 3; ++w) sum += At(in, {e / 4, h, w, e % 4});
            EXPECT_EQ(F32(out)[e], sum * (1.0f / 15.0f));
        }
        // Half precision: computed in float32, rounded once at the end.
        Tensor* in16 = Half(in);
        TensorDataConvert(in, in16);
        Tensor* out16 = CreateTensor(DT_FLOAT16, (DataLayout)out->layout, out->ndim, out->shape, true);
        RunDefault(OP_GlobalAveragePool2D, in16, out16, &p);
        RunDefault(OP_GlobalAveragePool2D, in, out, &p);
        std::vector<uint16_t> want(8);
        float32_to_float16(F32(out), want.data(), 8);
        EXPECT_EQ(memcmp(want.data(), out16->data, 16), 0);
        for (Tensor* t : {in, out, in16, out16}) DestroyTensor(t);
    }
}

TEST(GlobalPoolRef, MaxOverAllMiddleDimensions)
{
    std::mt19937 rng(8);
    for (const std::vector<uint32_t>& dims :
         std::vector<std::vector<uint32_t>>{{2, 3, 4}, {2, 3, 4, 5}, {1, 2, 3, 2, 3}, {3, 1, 2, 1, 2, 2}}) {
        const uint32_t ndim = (uint32_t)dims.size(), N = dims[0], C = dims[ndim - 1];
        TensorShape shape = Shape({}), outShape = Shape({});
        for (uint32_t k = 0; k < ndim; ++k) {
            shape.dimension[k] = dims[k];
            outShape.dimension[k] = (k == 0 || k == ndim - 1) ? dims[k] : 1;
        }
        Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, ndim, shape, true);
        std::uniform_real_distribution<float> dist(-5.0f, 5.0f);
        for (uint32_t e = 0; e < GetTensorSize(in); ++e) F32(in)[e] = dist(rng);
        Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, ndim, outShape, true);
        RunDefault(OP_GlobalMaxPool, in, out, nullptr);
        const uint32_t M = GetTensorSize(in) / (N * C);  // dense: element (n, m, c) at (n * M + m) * C + c
        for (uint32_t n = 0; n < N; ++n)
            for (uint32_t c = 0; c < C; ++c) {
                float best = -INFINITY;
                for (uint32_t m = 0; m < M; ++m) best = std::max(best, F32(in)[(n * M + m) * C + c]);
                EXPECT_EQ(F32(out)[n * C + c], best) << "ndim " << ndim;
            }
        Tensor* in16 = Half(in);
        Tensor* out16 = CreateTensor(DT_FLOAT16, DL_NONE, ndim, outShape, true);
        RunDefault(OP_GlobalMaxPool, in16, out16, nullptr);
        TensorDataConvert(in, in16);
        RunDefault(OP_GlobalMaxPool, in, out, nullptr);
        EXPECT_EQ(Widened(out16), std::vector<float>(F32(out), F32(out) + N * C));
        for (Tensor* t : {in, out, in16, out16}) DestroyTensor(t);
    }
    // A strided {2, 3, 2} view whose gaps hold larger values.
    Tensor* view = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 3, 2}), TensorStrides{{17, 5, 1}}, true);
    std::fill(F32(view), F32(view) + 34, 100.0f);
    for (uint32_t e = 0; e < 12; ++e) At(view, {e / 6, e / 2 % 3, e % 2}) = (float)e;
    Tensor* out = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 1, 2}), true);
    GlobalMaxPool_fl32_ref(out, view);
    EXPECT_EQ(std::vector<float>(F32(out), F32(out) + 4), (std::vector<float>{4.0f, 5.0f, 10.0f, 11.0f}));
    // An empty middle extent leaves -infinity.
    Tensor* empty = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({2, 0, 2}), false);
    GlobalMaxPool_fl32_ref(out, empty);
    EXPECT_EQ(std::vector<float>(F32(out), F32(out) + 4), std::vector<float>(4, -INFINITY));
    for (Tensor* t : {view, out, empty}) DestroyTensor(t);
}

TEST(GlobalPoolRefDeathTest, Checks)
{
    Tensor* in = CreateTensor(DT_INT32, DL_NHWC, 4, Shape({1, 2, 2, 2}), true);
    Tensor* out = CreateTensor(DT_INT32, DL_NHWC, 4, Shape({1, 1, 1, 2}), true);
    const GlobalAvPool2DParams p = {DL_NHWC, 1};
    corvus_test::ExpectExitRe({
        {[&] { RunDefault(OP_GlobalMaxPool, in, out, nullptr); }, "support only Fl16 or Fl32"},
        {[&] { RunDefault(OP_GlobalAveragePool2D, in, out, &p); }, "Execute_GlobalAveragePool2D_ref: unsupported data type"},
        {[&] {
             in->dtype = out->dtype = DT_FLOAT32;
             out->shape.dimension[3] = 5;
             RunDefault(OP_GlobalAveragePool2D, in, out, &p);
         },
         "output->shape\\.dimension\\[output->ndim - 1\\] == input->shape\\.dimension\\[3\\]"},
    });
    DestroyTensor(in);
    DestroyTensor(out);
}
