// Weights file loading (batch-normalisation folding, MatMul, Einsum and LSTM
// operands, bad files) and per-layer inner tensor files. Random damage to
// weights files is left to the weights fuzz target.

#include <sys/stat.h>

#include "LayersConvolution.h"
#include "LayersNormalization.h"
#include "ModelWeights.h"
#include "PackedFilters.h"
#include "Padding.h"
#include "graph_util.h"
#include "normalization_util.h"

#if defined(__SANITIZE_ADDRESS__)
// Allocation hook of the address sanitizer runtime, to catch allocations sized by hostile files.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

using namespace graph_util;
using corvus_test::ExpectExitRe;
using corvus_test::TmpPath;

namespace {

// Little-endian weights file: a count, then entries (name, count, sizes, data).
struct WeightsBytes {
    std::vector<uint8_t> bytes;
    WeightsBytes& U32(uint32_t v)
    {
        for (int b = 0; b < 4; ++b) bytes.push_back((uint8_t)(v >> (8 * b)));
        return *this;
    }
    WeightsBytes& Name(const std::string& s)
    {
        bytes.insert(bytes.end(), s.begin(), s.end() + 1);  // with the terminator
        return *this;
    }
    WeightsBytes& Entry(const std::string& name, const std::vector<uint32_t>& sizes, const std::vector<float>& data)
    {
        Name(name).U32((uint32_t)sizes.size());
        for (uint32_t s : sizes) U32(s);
        for (float f : data) U32(corvus_test::Bits(f));
        return *this;
    }
    std::string Write(const std::string& name) const
    {
        const std::string path = TmpPath(name);
        FILE* f = fopen(path.c_str(), "wb");
        if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return path;
    }
};

std::vector<float> Ramp(uint32_t n, float start)
{
    std::vector<float> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = start + 0.5f * (float)i;
    return v;
}

std::vector<float> Concat(std::initializer_list<std::vector<float>> parts)
{
    std::vector<float> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Tensor* Desc(std::vector<uint32_t> dims, DataLayout layout = DL_NONE, DataType dt = DT_FLOAT32, bool data = false)
{
    return corvus_test::NewTensor(dt, dims, {}, data, layout).release();
}

// A layer with the given data-less inner tensors (nullptr leaves a slot empty).
Layer* WithInner(const char* name, LayerOpType op, std::vector<Layer*> ins, uint32_t n, std::vector<Tensor*> inner)
{
    Layer* layer = Node(name, op, ins, n, DT_FLOAT32, (uint32_t)inner.size());
    for (size_t k = 0; k < inner.size(); ++k) layer->kernel->inner[k] = inner[k];
    return layer;
}

Layer* BatchNorm(const char* name, Layer* in, uint32_t channels, bool scale, bool center, float epsilon)
{
    Layer* layer =
        WithInner(name, OP_BatchNormalization, {in}, channels, {Desc({channels}, DL_I), Desc({channels}, DL_I)});
    layer->kernel->params = new (calloc(1, sizeof(NormalizationParams))) NormalizationParams{0, center, scale, epsilon};
    return layer;
}

// in -> dense(3 -> 2) -> bn(2) -> plain, the last without inner tensors.
struct SmallModel {
    Layer* dense = WithInner("dense", OP_Dense, {Input("in", 3)}, 2, {Desc({3, 2}, DL_CN), Desc({2}, DL_I)});
    Layer* bn = BatchNorm("bn", dense, 2, true, true, 1.0f);
    ModelPtr model = MakeModel({Node("plain", OP_Activation, {bn}, 2)});
};

// Loads the entries into a one-layer model around `out`.
void LoadInto(Layer* out, const WeightsBytes& w)
{
    ModelPtr model = MakeModel({out});
    LoadModelWeights(model.get(), w.Write("w").c_str());
}

TEST(ModelWeights, LoadsInnerTensorsAndConstantOperandsAndFoldsBatchNormalisation)
{
    SmallModel m;
    const std::vector<float> w = Ramp(6, -1.0f), b = {7.0f, -8.5f};
    LoadModelWeights(m.model.get(), norm_test::WriteWeights("dense", {{"plain", {}}, {"dense", {w, b}}}).c_str());
    EXPECT_EQ(Values(m.dense->kernel->inner[0]), w);
    EXPECT_EQ(Values(m.dense->kernel->inner[1]), b);
    // Layers absent from the file are given storage, zero-filled.
    EXPECT_EQ(Values(m.bn->kernel->inner[0]), std::vector<float>(2, 0.0f));

    // A missing inner slot is skipped: sizes go to the tensors that exist.
    Layer* odd = WithInner("odd", OP_Conv2D, {Input("in", 2)}, 2, {Desc({3}), nullptr, Desc({2})});
    ModelPtr oddModel = MakeModel({odd});
    LoadModelWeights(oddModel.get(), WeightsBytes().U32(1).Entry("odd", {3, 2}, {1, 2, 3, 4, 5}).Write("odd").c_str());
    EXPECT_EQ(Values(odd->kernel->inner[0]), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(Values(odd->kernel->inner[2]), (std::vector<float>{4, 5}));

    // MatMul and Einsum keep their constant operands in initializer inputs, sizes in input order.
    for (LayerOpType op : {OP_MatMul, OP_Einsum}) {
        Layer* k1 = Constant("k1", 2);
        Layer* k2 = Constant("k2", 3);
        Layer* mm = Node("mm", op, {k1, Input("in", 4), k2}, 6);
        ModelPtr model = MakeModel({mm});
        LoadModelWeights(model.get(), WeightsBytes().U32(1).Entry("mm", {2, 3}, {1, 2, 3, 4, 5}).Write("mm").c_str());
        EXPECT_EQ(Values(k1->kernel->output[0]), (std::vector<float>{1, 2})) << op;
        EXPECT_EQ(Values(k2->kernel->output[0]), (std::vector<float>{3, 4, 5})) << op;
    }

    // gamma and beta are present only when scale and center say so; the sizes
    // are not consulted. m = gamma / sqrt(var + eps), a = beta - mean * m
    // rounded once.
    const std::vector<float> gamma = {2, -1, 0.25f}, beta = {0.5f, 0, -3}, mean = {0.1f, -7, 2}, var = {0.5f, 4, 9};
    for (int c = 0; c < 4; ++c) {
        const bool scale = c & 1, center = c & 2;
        SCOPED_TRACE(c);
        Layer* bn = BatchNorm("bn", Input("in", 3), 3, scale, center, 0.001f);
        ModelPtr model = MakeModel({bn});
        const std::vector<float> data =
            Concat({scale ? gamma : std::vector<float>{}, center ? beta : std::vector<float>{}, mean, var});
        LoadModelWeights(
            model.get(),
            WeightsBytes().U32(1).Entry("bn", std::vector<uint32_t>(2 + scale + center, 99), data).Write("bn").c_str());
        for (int ch = 0; ch < 3; ++ch) {
            const float m = (scale ? gamma[ch] : 1.0f) / sqrtf(var[ch] + 0.001f);
            EXPECT_EQ(Values(bn->kernel->inner[0])[ch], m);
            EXPECT_EQ(Values(bn->kernel->inner[1])[ch], (float)((center ? beta[ch] : 0.0) - (double)mean[ch] * m));
        }
    }
    // By hand: s = sqrt(3 + 1) = 2, m = 1/2, a = 1 - 1 * 0.5.
    Layer* bn = BatchNorm("bn", Input("in", 1), 1, false, true, 1.0f);
    ModelPtr model = MakeModel({bn});
    LoadModelWeights(model.get(), WeightsBytes().U32(1).Entry("bn", {1, 1, 1}, {1, 1, 3}).Write("bn1").c_str());
    EXPECT_EQ(Values(bn->kernel->inner[0])[0], 0.5f);
    EXPECT_EQ(Values(bn->kernel->inner[1])[0], 0.5f);
}

// LSTM inner tensors W (3x8), R (2x8), optional B (8), optional sequence
// lengths (1), then the optional constant initial states h0 and c0.
TEST(ModelWeights, LoadsLstmTensorsAtFixedPositions)
{
    const std::vector<float> W = Ramp(24, 0), R = Ramp(16, 100), B = Ramp(8, -50), S = {5}, H = {1, 2}, C = {3, 4};
    struct Lstm {
        Layer *lstm, *h0 = nullptr, *c0 = nullptr;
        ModelPtr model;
        Lstm(bool bias, bool seq, bool states)
        {
            std::vector<Layer*> ins = {Input("x", 3)};
            if (states) ins.insert(ins.end(), {h0 = Constant("h0", 2), c0 = Constant("c0", 2)});
            std::vector<Tensor*> inner = {Desc({3, 8}), Desc({2, 8})};
            if (bias || seq) inner.push_back(bias ? Desc({8}) : nullptr);
            if (seq) inner.push_back(Desc({1}));
            model = MakeModel({lstm = WithInner("lstm", OP_LSTM, ins, 2, inner)});
        }
        void Load(std::vector<uint32_t> sizes, std::vector<float> data)
        {
            LoadModelWeights(model.get(), WeightsBytes().U32(1).Entry("lstm", sizes, data).Write("lstm").c_str());
        }
    };
    Lstm m(true, true, true);  // the recurrent layer's tests load states without sequence lengths
    m.Load({24, 16, 8, 1, 2, 2, 0}, Concat({W, R, B, S, H, C}));
    const std::vector<float>* want[] = {&W, &R, &B, &S};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(Values(m.lstm->kernel->inner[k]), *want[k]);
    EXPECT_EQ(Values(m.h0->kernel->output[0]), H);
    EXPECT_EQ(Values(m.c0->kernel->output[0]), C);
    // clang-format off
    ExpectExitRe({
        {[&] { Lstm(true, false, true).Load({24, 16, 8}, Concat({W, R, B})); },
         "Weights number from file is not equals to layer weights number for lstm"},
        {[&] { Lstm(true, false, false).Load({24, 15, 8}, Concat({W, R, B})); }, "tensor_size == loaded_tensor_size"},
    });
    // clang-format on
}

// A convolution packs its filter when the model is initialised; weights
// loaded afterwards must reach the computation: the reloaded model predicts
// exactly what a model loaded with those weights from the start predicts.
// The reloaded model keeps its filter only in the pack (where the pack holds
// every channel at this vector width): it predicts the same bits, and the
// filter comes back bit for bit whenever it is read.
TEST(ModelWeights, WeightsLoadedAfterInitialisationReachTheConvolution)
{
    const uint32_t H = 5, W = 6, C = 4, F = 48;  // wide and narrow blocks at 8 or 16 lanes
    const auto build = [] {
        const uint32_t size[2] = {H, W}, k3[2] = {3, 3}, s1[2] = {1, 1};
        const PaddingStruct same = ComputePaddingStruct(2, size, k3, s1, nullptr, SAME, nullptr, 0);
        return MakeModel({AddConv2DLayer(Image("image", H, W, C), nullptr, "conv", DL_NHWC, F, 3, 3, 1, 1, 1, 1, &same,
                                         true, ActivationParams{ReLU, 0}, 1)});
    };
    const uint32_t nFilter = 9 * C * F;
    const std::string first = norm_test::WriteWeights("first", {{"conv", {Ramp(nFilter, -40.0f), Ramp(F, 1.0f)}}});
    const std::string second = norm_test::WriteWeights("second", {{"conv", {Ramp(nFilter, 30.0f), Ramp(F, -2.0f)}}});
    const std::vector<std::vector<float>> image = {Ramp(H * W * C, -3.0f)};
    ModelPtr reloaded = build(), fresh = build(), plain = build();
    LoadModelWeights(reloaded.get(), first.c_str());
    ASSERT_EQ(1u, InitModelHoldingFilters(reloaded.get(), 1));
    LoadModelWeights(plain.get(), first.c_str());
    ASSERT_EQ(1u, InitModel(plain.get(), 1));
    NNKernel* conv = reloaded->layers[reloaded->numLayers - 1]->kernel;
    const bool held = conv->inner[0]->data == nullptr;
    const std::vector<float> before = Predicted(reloaded.get(), image)[0], unheld = Predicted(plain.get(), image)[0];
    ASSERT_EQ(before.size(), unheld.size());
    EXPECT_EQ(memcmp(before.data(), unheld.data(), before.size() * sizeof(float)), 0) << held;
    RestorePackedFilters(reloaded.get());
    EXPECT_EQ(corvus_test::ValuesOf<float>(conv->inner[0]), Ramp(nFilter, -40.0f));
    EXPECT_EQ(corvus_conv::ReleasePackedFilter(conv), held);
    LoadModelWeights(reloaded.get(), second.c_str());
    LoadModelWeights(fresh.get(), second.c_str());
    ASSERT_EQ(1u, InitModel(fresh.get(), 1));
    const std::vector<float> after = Predicted(reloaded.get(), image)[0], expected = Predicted(fresh.get(), image)[0];
    EXPECT_NE(before, expected);
    ASSERT_EQ(after.size(), expected.size());
    EXPECT_EQ(memcmp(after.data(), expected.data(), after.size() * sizeof(float)), 0);
}

#if defined(__SANITIZE_ADDRESS__)
size_t gLargest = 0;
void Record(const volatile void*, size_t size) { gLargest = std::max(gLargest, size); }
void Ignore(const volatile void*) {}
// Ends the process with status 3 at exit if anything near the absurd size
// a hostile count claims was allocated before the refusal.
void WatchAllocations()
{
    __sanitizer_install_malloc_and_free_hooks(Record, Ignore);
    atexit([] {
        if (gLargest > (1u << 20)) _exit(3);
    });
}
#else
void WatchAllocations() {}
#endif

TEST(ModelWeights, BadFilesAreFatal)
{
    auto load = [](const WeightsBytes& w) {
        SmallModel m;
        LoadModelWeights(m.model.get(), w.Write("bad").c_str());
    };
    const std::vector<float> six = Ramp(6, 0), eight = Ramp(8, 0);
    WeightsBytes unterminated = WeightsBytes().U32(1);
    unterminated.bytes.insert(unterminated.bytes.end(), {'d', 'e', 'n', 's', 'e'});
    auto innerOf = [](Tensor* t) { return WithInner("x", OP_Conv2D, {Input("in", 2)}, 2, {t}); };
    auto absurd = [&](uint32_t count) {
        WatchAllocations();
        load(WeightsBytes().U32(1).Name("dense").U32(count).U32(6));
    };
    // clang-format off
    ExpectExitRe({
        {[&] { load(WeightsBytes().U32(1).Entry("dense", {6}, six)); },
         "Weights number from file is not equals to layer weights number for dense"},
        {[&] { load(WeightsBytes().U32(1).Entry("dense", {6, 3}, eight)); },
         "weight_1 size is not equal to layer dense weights size"},
        {[&] { load(WeightsBytes().U32(1).Entry("dense", {6, 2}, six)); }, "Error while loading weight_1 for dense"},
        {[&] { load(WeightsBytes().U32(1).Entry("bn", {2, 2, 2}, six)); },
         "Count of loaded weights mismatches weights count for bn\n"},
        {[&] { load(WeightsBytes().U32(1).Entry("bn", {2, 2, 2, 2}, six)); }, "Error while reading weights for bn"},
        {[&] { load(WeightsBytes().U32(1).Entry("ghost", {}, {})); },
         "Layer \"ghost\" is not defined in model's layers"},
        // The count is checked before any entry is read.
        {[&] { load(WeightsBytes().U32(5)); },
         "Number of layers with weights cannot exceed total layers count in model"},
        {[&] { load(unterminated); }, "Cannot read layer name"},
        {[&] { load(WeightsBytes().U32(1).Name("dense")); }, "Cannot read weights count for dense"},
        {[&] { load(WeightsBytes().U32(1).Name("dense").U32(2).U32(6)); },
         "Error while reading weights sizes for dense"},
        // Absurd counts are refused before any allocation they would size.
        {[&] { absurd(0xFFFFFFFFu); }, "Error while reading weights sizes for dense"},
        {[&] { absurd(0x10000000u); }, "Error while reading weights sizes for dense"},
        {[&] { load(WeightsBytes()); }, "fread\\(&weightedLayers"},  // empty file
        {[&] { LoadModelWeights(SmallModel().model.get(), TmpPath("does_not_exist").c_str()); },
         "Cannot open weights file: .*does_not_exist"},
        {[&] { LoadModelWeights(SmallModel().model.get(), CORVUS_TEST_TMPDIR); }, "is not a regular file"},
        // Inner tensors that cannot take float32 data straight from the file.
        {[&] { LoadInto(innerOf(Desc({2}, DL_I, DT_FLOAT16)), WeightsBytes().U32(1).Entry("x", {2}, {1, 2})); },
         "Only fp32 weights are supported to load \\(x\\)"},
        {[&] { LoadInto(innerOf(corvus_test::NewTensor(DT_FLOAT32, {2, 2}, {3, 1}, false).release()),
                        WeightsBytes().U32(1).Entry("x", {4}, {1, 2, 3, 4})); },
         "Weights strides are not supported \\(x\\)"},
        {[&] { LoadInto(Node("mm", OP_MatMul, {Input("in", 4), Constant("k", 6)}, 6),
                        WeightsBytes().U32(1).Entry("mm", {5}, Ramp(5, 0))); },
         "weight_1 size is not equal to layer mm weights size"},
    });
    // clang-format on
}

TEST(ModelWeights, PerLayerFilesRoundTripExactlyAndMustFitTheModel)
{
    const std::string dir = TmpPath("layers");
    mkdir(dir.c_str(), 0755);
    SmallModel m, fresh;
    LoadModelWeights(m.model.get(), WeightsBytes().U32(0).Write("zero").c_str());
    LoadModelWeights(fresh.model.get(), WeightsBytes().U32(0).Write("zero").c_str());
    std::mt19937 rng(7);
    for (Layer* l : {m.dense, m.bn})
        for (int k = 0; k < 2; ++k)
            for (uint32_t e = 0; e < GetTensorSize(l->kernel->inner[k]); ++e)
                ((uint32_t*)l->kernel->inner[k]->data)[e] = (uint32_t)rng() & 0x7F7FFFFFu;  // any finite bit pattern
    SaveModelWeights(m.model.get(), dir.c_str());
    struct stat st;
    EXPECT_NE(stat((dir + "/plain_inner_0").c_str(), &st), 0);
    LoadModelWeightsFromFiles(fresh.model.get(), dir.c_str());
    for (int k = 0; k < 2; ++k)
        for (const Layer* l : {m.dense, m.bn}) {
            const Tensor* a = l->kernel->inner[k];
            const Tensor* b = (l == m.dense ? fresh.dense : fresh.bn)->kernel->inner[k];
            EXPECT_EQ(memcmp(a->data, b->data, GetTensorSize(a) * 4), 0) << l->name << " " << k;
        }

    // The file of dense_inner_0 is (3, 2) CN float32.
    auto loadInto = [&](std::vector<uint32_t> dims, DataLayout layout, DataType dt) {
        Layer* x = WithInner("dense", OP_Conv2D, {Input("in", 2)}, 2, {Desc(dims, layout, dt, true)});
        LoadModelWeightsFromFiles(MakeModel({x}).get(), dir.c_str());
    };
    const std::string longName(300, 'n');
    // clang-format off
    ExpectExitRe({
        {[&] { loadInto({2, 2}, DL_CN, DT_FLOAT32); }, "CompareTensorsShape"},
        {[&] { loadInto({3, 2}, DL_NC, DT_FLOAT32); }, "inner_tensor->layout == loaded_tensor->layout"},
        {[&] { loadInto({3, 2}, DL_CN, DT_INT32); }, "inner_tensor->dtype == loaded_tensor->dtype"},
        {[&] {  // a file that is not a tensor file
             WeightsBytes().U32(1).U32(0).U32(0).U32(0).Write("layers/dense_inner_0");
             loadInto({3, 2}, DL_CN, DT_FLOAT32);
         },
         "Cannot load inner tensor 0 of dense from"},
        {[&] {
             Layer* x = WithInner(longName.c_str(), OP_Conv2D, {Input("in", 2)}, 2, {Desc({2}, DL_I, DT_FLOAT32,
              true)});
             SaveModelWeights(MakeModel({x}).get(), dir.c_str());
         },
         "is longer than 255 characters"},
    });
    // clang-format on
}

}  // namespace
