// Weights file loading (checks, batch-normalisation folding, MatMul, Einsum and
// LSTM operands, hostile files) and per-layer inner tensor files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "LayersConvolution.h"
#include "ModelWeights.h"
#include "Padding.h"
#include "graph_util.h"

#if defined(__SANITIZE_ADDRESS__)
// Allocation hooks of the address sanitizer runtime, used to catch
// allocations sized by hostile files.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
#define CORVUS_TEST_HAS_MALLOC_HOOKS 1
#endif

using namespace graph_util;
using corvus_test::ExpectExitRe;

namespace {

// Normalisation parameter record in its documented field order.
struct NormParams {
    uint32_t axis;
    bool center;
    bool scale;
    float epsilon;
};

std::string TmpPath(const std::string& name) { return corvus_test::TmpPath(name); }

// Little-endian weights file builder.
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
    // One entry: name, count, sizes, data.
    WeightsBytes& Entry(const std::string& name, const std::vector<uint32_t>& sizes, const std::vector<float>& data)
    {
        Name(name).U32((uint32_t)sizes.size());
        for (uint32_t s : sizes) U32(s);
        for (float f : data) U32(corvus_test::Bits(f));
        return *this;
    }
    std::string Write(const std::string& name) const { return WriteBytes(name, bytes); }
    static std::string WriteBytes(const std::string& name, const std::vector<uint8_t>& b)
    {
        const std::string path = TmpPath(name);
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr) ADD_FAILURE() << "cannot write " << path;
        if (!b.empty()) fwrite(b.data(), 1, b.size(), f);
        fclose(f);
        return path;
    }
};

std::vector<float> Values(const Tensor* t) { return {(const float*)t->data, (const float*)t->data + GetTensorSize(t)}; }

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

// A layer with the given data-less inner tensors (nullptr leaves a slot empty).
Layer* WithInner(const char* name, LayerOpType op, std::vector<Layer*> ins, uint32_t n, std::vector<Tensor*> inner)
{
    Layer* layer = Node(name, op, ins, n, DT_FLOAT32, (uint32_t)inner.size());
    for (size_t k = 0; k < inner.size(); ++k) layer->kernel->inner[k] = inner[k];
    return layer;
}
Tensor* Desc(std::vector<uint32_t> dims, DataLayout layout = DL_NONE, DataType dt = DT_FLOAT32, bool data = false)
{
    return CreateTensor(dt, layout, (uint32_t)dims.size(), Shape(dims), data);
}

// Dense-like layer: weights (in, out) and bias (out).
Layer* DenseLike(const char* name, Layer* in, uint32_t nIn, uint32_t nOut)
{
    return WithInner(name, OP_Dense, {in}, nOut, {Desc({nIn, nOut}, DL_CN), Desc({nOut}, DL_I)});
}

Layer* BatchNorm(const char* name, Layer* in, uint32_t channels, bool scale, bool center, float epsilon)
{
    Layer* layer = WithInner(name, OP_BatchNormalization, {in}, channels, {Desc({channels}, DL_I), Desc({channels}, DL_I)});
    layer->kernel->params = new (calloc(1, sizeof(NormParams))) NormParams{0, center, scale, epsilon};
    return layer;
}

// in -> dense(3 -> 2) -> bn(2) -> out, plus a layer without inner tensors.
struct SmallModel {
    Layer* dense;
    Layer* bn;
    Model* model;
    SmallModel()
    {
        dense = DenseLike("dense", Input("in", 3), 3, 2);
        bn = BatchNorm("bn", dense, 2, true, true, 1.0f);
        Layer* plain = Node("plain", OP_Activation, {bn}, 2);
        model = CreateModel(&plain, 1);
    }
    ~SmallModel() { DestroyModel(model); }
};

// A one-layer model around `layer`, loaded from the entries, then destroyed.
void LoadOne(Layer* layer, const WeightsBytes& w, const char* file)
{
    Model* model = CreateModel(&layer, 1);
    LoadModelWeights(model, w.Write(file).c_str());
    DestroyModel(model);
}

TEST(ModelWeights, LoadsDenseAndKeepsAbsentLayersAtZero)
{
    {
        SmallModel m;
        LoadModelWeights(m.model, WeightsBytes().U32(0).Write("empty").c_str());
        // Storage is given even when nothing is loaded; it stays zero.
        for (Tensor* t : {m.dense->kernel->inner[0], m.dense->kernel->inner[1], m.bn->kernel->inner[0]}) {
            ASSERT_TRUE(t->data != nullptr && t->allocatedData);
            EXPECT_EQ(Values(t), std::vector<float>(GetTensorSize(t), 0.0f));
        }
    }
    SmallModel m;
    const std::vector<float> w = Ramp(6, -1.0f), b = {7.0f, -8.5f};
    LoadModelWeights(m.model, WeightsBytes().U32(2).Entry("plain", {}, {}).Entry("dense", {6, 2}, Concat({w, b}))
                                  .Write("dense").c_str());
    EXPECT_EQ(Values(m.dense->kernel->inner[0]), w);
    EXPECT_EQ(Values(m.dense->kernel->inner[1]), b);
    EXPECT_EQ(Values(m.bn->kernel->inner[0]), std::vector<float>(2, 0.0f));

    // A missing inner slot is skipped: sizes go to the tensors that exist.
    Layer* odd = WithInner("odd", OP_Conv2D, {Input("in", 2)}, 2, {Desc({3}), nullptr, Desc({2})});
    Model* model = CreateModel(&odd, 1);
    LoadModelWeights(model, WeightsBytes().U32(1).Entry("odd", {3, 2}, {1, 2, 3, 4, 5}).Write("odd").c_str());
    EXPECT_EQ(Values(odd->kernel->inner[0]), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(Values(odd->kernel->inner[2]), (std::vector<float>{4, 5}));
    DestroyModel(model);
}

TEST(ModelWeights, FoldsBatchNormalisationStatistics)
{
    // gamma and beta are present only when scale and center say so; the sizes
    // are not consulted. m = gamma / sqrt(var + eps), a = beta - mean * m
    // rounded once.
    const std::vector<float> gamma = {2, -1, 0.25f}, beta = {0.5f, 0, -3}, mean = {0.1f, -7, 2}, var = {0.5f, 4, 9};
    for (int c = 0; c < 4; ++c) {
        const bool scale = c & 1, center = c & 2;
        SCOPED_TRACE(c);
        Layer* bn = BatchNorm("bn", Input("in", 3), 3, scale, center, 0.001f);
        Model* model = CreateModel(&bn, 1);
        const std::vector<float> data =
            Concat({scale ? gamma : std::vector<float>{}, center ? beta : std::vector<float>{}, mean, var});
        LoadModelWeights(model, WeightsBytes().U32(1).Entry("bn", std::vector<uint32_t>(2 + scale + center, 99), data)
                                    .Write("bn").c_str());
        for (int ch = 0; ch < 3; ++ch) {
            const float m = (scale ? gamma[ch] : 1.0f) / sqrtf(var[ch] + 0.001f);
            EXPECT_EQ(Values(bn->kernel->inner[0])[ch], m);
            EXPECT_EQ(Values(bn->kernel->inner[1])[ch], (float)((center ? beta[ch] : 0.0) - (double)mean[ch] * m));
        }
        DestroyModel(model);
    }
    // A hand-computed case: s = sqrt(3 + 1) = 2, m = 1/2, a = 1 - 1 * 0.5.
    Layer* bn = BatchNorm("bn", Input("in", 1), 1, false, true, 1.0f);
    Model* model = CreateModel(&bn, 1);
    LoadModelWeights(model, WeightsBytes().U32(1).Entry("bn", {1, 1, 1}, {1, 1, 3}).Write("bn1").c_str());
    EXPECT_EQ(Values(bn->kernel->inner[0])[0], 0.5f);
    EXPECT_EQ(Values(bn->kernel->inner[1])[0], 0.5f);
    DestroyModel(model);
}

// MatMul and Einsum keep their constant operands in initializer inputs.
TEST(ModelWeights, LoadsMatMulAndEinsumConstantOperands)
{
    for (LayerOpType op : {OP_MatMul, OP_Einsum}) {
        SCOPED_TRACE(op);
        Layer* k = Constant("k", 6);
        Layer* mm = Node("mm", op, {Input("in", 4), k}, 6);
        Model* model = CreateModel(&mm, 1);
        LoadModelWeights(model, WeightsBytes().U32(1).Entry("mm", {6}, Ramp(6, 3.0f)).Write("mm").c_str());
        EXPECT_EQ(Values(k->kernel->output[0]), Ramp(6, 3.0f));
        DestroyModel(model);

        // Both operands constant: sizes in input order.
        Layer* k1 = Constant("k1", 2);
        Layer* k2 = Constant("k2", 3);
        Layer* mm2 = Node("mm2", op, {k1, k2}, 6);
        model = CreateModel(&mm2, 1);
        LoadModelWeights(model, WeightsBytes().U32(1).Entry("mm2", {2, 3}, {1, 2, 3, 4, 5}).Write("mm2").c_str());
        EXPECT_EQ(Values(k1->kernel->output[0]), (std::vector<float>{1, 2}));
        EXPECT_EQ(Values(k2->kernel->output[0]), (std::vector<float>{3, 4, 5}));
        DestroyModel(model);
    }
}

// LSTM with inputs x and optional constant initial states, inner tensors
// W (3x8), R (2x8), optional B (8), optional sequence lengths (1).
struct LstmModel {
    Layer* lstm;
    Layer* h0 = nullptr;
    Layer* c0 = nullptr;
    Model* model;
    LstmModel(bool bias, bool seq, bool states)
    {
        std::vector<Layer*> ins = {Input("x", 3)};
        if (states) ins.insert(ins.end(), {h0 = Constant("h0", 2), c0 = Constant("c0", 2)});
        std::vector<Tensor*> inner = {Desc({3, 8}), Desc({2, 8})};
        if (bias || seq) inner.push_back(bias ? Desc({8}) : nullptr);
        if (seq) inner.push_back(Desc({1}));
        lstm = WithInner("lstm", OP_LSTM, ins, 2, inner);
        model = CreateModel(&lstm, 1);
    }
    ~LstmModel() { DestroyModel(model); }
};

TEST(ModelWeights, LoadsLstmTensorsAtFixedPositions)
{
    const std::vector<float> W = Ramp(24, 0), R = Ramp(16, 100), B = Ramp(8, -50), S = {5}, H = {1, 2}, C = {3, 4};
    {
        LstmModel m(true, true, true);
        LoadModelWeights(m.model, WeightsBytes().U32(1).Entry("lstm", {24, 16, 8, 1, 2, 2, 0}, Concat({W, R, B, S, H, C}))
                                      .Write("lstm_all").c_str());
        const std::vector<float>* want[] = {&W, &R, &B, &S};
        for (int k = 0; k < 4; ++k) EXPECT_EQ(Values(m.lstm->kernel->inner[k]), *want[k]);
        EXPECT_EQ(Values(m.h0->kernel->output[0]), H);
        EXPECT_EQ(Values(m.c0->kernel->output[0]), C);
    }
    {
        // No bias, no sequence lengths, no states: positions 2.. are ignored.
        LstmModel m(false, false, false);
        LoadModelWeights(m.model, WeightsBytes().U32(1).Entry("lstm", {24, 16, 0, 0}, Concat({W, R})).Write("lstm_wr").c_str());
        EXPECT_EQ(Values(m.lstm->kernel->inner[1]), R);
    }
    {
        // States without sequence lengths: sizes[3] is skipped, data too.
        LstmModel m(true, false, true);
        LoadModelWeights(m.model, WeightsBytes().U32(1).Entry("lstm", {24, 16, 8, 77, 2, 2}, Concat({W, R, B, H, C}))
                                      .Write("lstm_states").c_str());
        EXPECT_EQ(Values(m.h0->kernel->output[0]), H);
        EXPECT_EQ(Values(m.c0->kernel->output[0]), C);
    }
    auto load = [&](bool states, std::vector<uint32_t> sizes, std::vector<float> data) {
        LstmModel m(true, false, states);
        LoadModelWeights(m.model, WeightsBytes().U32(1).Entry("lstm", sizes, data).Write("lstm_bad").c_str());
    };
    ExpectExitRe({
        {[&] { load(false, {24, 15, 8}, Concat({W, R, B})); }, "tensor_size == loaded_tensor_size: false, expected: true"},
        {[&] { load(true, {24, 16, 8}, Concat({W, R, B})); },
         "Weights number from file is not equals to layer weights number for lstm"},
        {[&] { load(false, {24, 16, 8}, Concat({W, R})); },
         "fread\\(tensor->data, sizeof\\(float\\), tensor_size, weights_file\\) == tensor_size: false, expected: true"},
    });
}

// A convolution packs its filter when the model is initialised; weights
// loaded afterwards must reach the computation: the reloaded model predicts
// exactly what a model loaded with those weights from the start predicts.
TEST(ModelWeights, WeightsLoadedAfterInitialisationReachTheConvolution)
{
    const uint32_t H = 5, W = 6, C = 4, F = 24;  // 24 channels: a wide and a narrow block
    struct ConvModel {
        Model* model;
        Layer* conv;
        ConvModel()
        {
            const TensorShape dims = Shape({1, H, W, C});
            Tensor* t = CreateTensor(DT_FLOAT32, DL_NHWC, 4, dims, false);
            Layer* in = AddInputLayer("image", t);
            DestroyTensor(t);
            const uint32_t size[2] = {H, W}, k3[2] = {3, 3}, s1[2] = {1, 1};
            const PaddingStruct same = ComputePaddingStruct(2, size, k3, s1, nullptr, SAME, nullptr, 0);
            conv = AddConv2DLayer(in, nullptr, "conv", DL_NHWC, F, 3, 3, 1, 1, 1, 1, &same, true,
                                  ActivationParams{ReLU, 0}, 1);
            model = CreateModel(&conv, 1);
        }
        ~ConvModel() { DestroyModel(model); }
        std::vector<float> Predict(const std::vector<float>& image)
        {
            Tensor* t = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, H, W, C}), true);
            std::copy(image.begin(), image.end(), (float*)t->data);
            ModelInput feed[] = {{"image", t}};
            Layer** out = ::Predict(model, 1, feed);
            std::vector<float> v = Values(out[0]->kernel->output[0]);
            DestroyTensor(t);
            return v;
        }
    };
    const uint32_t nFilter = 9 * C * F;
    const std::string first = WeightsBytes().U32(1).Entry("conv", {nFilter, F}, Concat({Ramp(nFilter, -40.0f), Ramp(F, 1.0f)})).Write("first");
    const std::string second = WeightsBytes().U32(1).Entry("conv", {nFilter, F}, Concat({Ramp(nFilter, 30.0f), Ramp(F, -2.0f)})).Write("second");
    const std::vector<float> image = Ramp(H * W * C, -3.0f);
    ConvModel reloaded, fresh;
    LoadModelWeights(reloaded.model, first.c_str());
    ASSERT_EQ(1u, InitModel(reloaded.model, 1));
    const std::vector<float> before = reloaded.Predict(image);
    LoadModelWeights(reloaded.model, second.c_str());
    LoadModelWeights(fresh.model, second.c_str());
    ASSERT_EQ(1u, InitModel(fresh.model, 1));
    const std::vector<float> after = reloaded.Predict(image), expected = fresh.Predict(image);
    EXPECT_NE(before, expected);
    ASSERT_EQ(after.size(), expected.size());
    EXPECT_EQ(memcmp(after.data(), expected.data(), after.size() * sizeof(float)), 0);
}

TEST(ModelWeights, ReadTensorChecks)
{
    using corvus_test::Bits;
    const std::string path = WeightsBytes().U32(Bits(1)).U32(Bits(2)).U32(Bits(3)).Write("raw");
    Tensor* t = Desc({3}, DL_NONE, DT_FLOAT32, true);
    FILE* f = fopen(path.c_str(), "rb");
    ReadTensor(t, f, 3);
    fclose(f);
    EXPECT_EQ(Values(t), (std::vector<float>{1, 2, 3}));
    DestroyTensor(t);
    ExpectExitRe({
        {[&] {
             TensorStrides st{{4, 1}};
             ReadTensor(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({1, 3}), st, true),
                        fopen(path.c_str(), "rb"), 3);
         },
         "IsSerialData\\(tensor\\): false, expected: true"},
        {[&] { ReadTensor(Desc({3}, DL_NONE, DT_FLOAT16, true), fopen(path.c_str(), "rb"), 3); },
         "tensor->dtype == DT_FLOAT32: false, expected: true"},
    });
}

TEST(ModelWeights, MismatchesBetweenFileAndModelAreFatal)
{
    auto load = [](const WeightsBytes& w) {
        SmallModel m;
        LoadModelWeights(m.model, w.Write("mismatch").c_str());
    };
    auto loadOne = [](Layer* layer, const WeightsBytes& w) { LoadOne(layer, w, "one"); };
    const std::vector<float> six = Ramp(6, 0), eight = Ramp(8, 0);
    WeightsBytes unterminated = WeightsBytes().U32(1);
    unterminated.bytes.insert(unterminated.bytes.end(), {'d', 'e', 'n', 's', 'e'});
    TensorStrides st{{3, 1}};
    ExpectExitRe({
        {[&] { load(WeightsBytes().U32(1).Entry("dense", {6}, six)); },
         "Weights number from file is not equals to layer weights number for dense"},
        {[&] { load(WeightsBytes().U32(1).Entry("dense", {6, 3}, eight)); },
         "weight_1 size is not equal to layer dense weights size"},
        {[&] { load(WeightsBytes().U32(1).Entry("dense", {6, 2}, six)); }, "Error while loading weight_1 for dense"},
        {[&] { load(WeightsBytes().U32(1).Entry("bn", {2, 2, 2}, six)); },
         "Count of loaded weights mismatches weights count for bn\n"},
        {[&] { load(WeightsBytes().U32(1).Entry("bn", {2, 2, 2, 2}, six)); }, "Error while reading weights for bn"},
        {[&] { load(WeightsBytes().U32(1).Entry("ghost", {}, {})); }, "Layer \"ghost\" is not defined in model's layers"},
        // The count is checked before any entry is read.
        {[&] { load(WeightsBytes().U32(5)); }, "Number of layers with weights cannot exceed total layers count in model"},
        {[&] { load(unterminated); }, "Cannot read layer name"},
        {[&] { load(WeightsBytes().U32(1).Name("dense")); }, "Cannot read weights count for dense"},
        {[&] { load(WeightsBytes().U32(1).Name("dense").U32(2).U32(6)); }, "Error while reading weights sizes for dense"},
        {[&] { load(WeightsBytes()); },
         "fread\\(&weightedLayers, sizeof\\(uint32_t\\), 1, weightsFile\\) == 1: false, expected: true"},
        {[&] {
             SmallModel m;
             LoadModelWeights(m.model, TmpPath("does_not_exist").c_str());
         },
         "Cannot open weights file: .*does_not_exist"},
        {[&] {
             SmallModel m;
             LoadModelWeights(m.model, CORVUS_TEST_TMPDIR);
         },
         "is not a regular file"},
        // Inner tensors that cannot take float32 data straight from the file.
        {[&] {
             loadOne(WithInner("x", OP_Conv2D, {Input("in", 2)}, 2, {Desc({2}, DL_I, DT_FLOAT16)}),
                     WeightsBytes().U32(1).Entry("x", {2}, {1, 2}));
         },
         "Only fp32 weights are supported to load \\(x\\)"},
        {[&] {
             Tensor* strided = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({2, 2}), st, false);
             loadOne(WithInner("x", OP_Conv2D, {Input("in", 2)}, 2, {strided}),
                     WeightsBytes().U32(1).Entry("x", {4}, {1, 2, 3, 4}));
         },
         "Weights strides are not supported \\(x\\)"},
        {[&] {
             loadOne(Node("mm", OP_MatMul, {Input("in", 4), Constant("k", 6)}, 6),
                     WeightsBytes().U32(1).Entry("mm", {5}, Ramp(5, 0)));
         },
         "weight_1 size is not equal to layer mm weights size"},
    });
}

// ---- hostile files --------------------------------------------------------

// A fatal report ends the child with exit(1); skipping the remaining exit
// work (leak scan of the whole forked test process) keeps children cheap.
void QuickExitAfterReport()
{
    fflush(stderr);
    _exit(1);
}

#ifdef CORVUS_TEST_HAS_MALLOC_HOOKS
size_t gLargestAllocation = 0;
void RecordAllocation(const volatile void*, size_t size) { gLargestAllocation = std::max(gLargestAllocation, size); }
void FreeHook(const volatile void*) {}
void ReportLargeAllocation()
{
    if (gLargestAllocation > (1u << 20)) {  // far above anything these small files justify
        fprintf(stderr, "ALLOCATION OF %zu BYTES\n", gLargestAllocation);
        fflush(stderr);
        _exit(3);
    }
}
#else
void ReportLargeAllocation() {}
#endif

struct ChildResult {
    int status;
    std::string err;
};

// Loads `path` into a fresh model in a child process with stderr captured.
// A clean return exits with status 0.
template <typename M>
ChildResult LoadInChild(const std::string& path)
{
    int pipefd[2];
    if (pipe(pipefd) != 0) return {-1, "pipe failed"};
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], 2);
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(4);
#ifdef CORVUS_TEST_HAS_MALLOC_HOOKS
        __sanitizer_install_malloc_and_free_hooks(RecordAllocation, FreeHook);
#endif
        // Handlers run in reverse order: the allocation check comes first.
        atexit(QuickExitAfterReport);
        atexit(ReportLargeAllocation);
        {
            M m;
            LoadModelWeights(m.model, path.c_str());
        }
        ReportLargeAllocation();
        fflush(stderr);
        _exit(0);
    }
    close(pipefd[1]);
    std::string err;
    char buf[4096];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof(buf))) > 0;) err.append(buf, (size_t)n);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, err};
}

// The file either loads or ends with a report and status 1; nothing else.
void ExpectLoadsOrFailsCleanly(const ChildResult& r, const std::string& what, bool mustFail)
{
    ASSERT_TRUE(WIFEXITED(r.status)) << what << " died by signal\n" << r.err;
    if (WEXITSTATUS(r.status) == 0 && !mustFail) return;
    EXPECT_EQ(WEXITSTATUS(r.status), 1) << what << "\n" << r.err;
    EXPECT_TRUE(r.err.rfind("[ERROR MESSAGE]: ", 0) == 0 && r.err.find("Sanitizer") == std::string::npos &&
                r.err.find("runtime error") == std::string::npos)
        << what << "\n" << r.err;
}

// A model with every kind of entry: dense, batch norm, MatMul constant,
// LSTM with states, and a layer without weights.
struct RichModel {
    Model* model;
    RichModel()
    {
        Layer* bn = BatchNorm("bn", DenseLike("dense", Input("in", 3), 3, 2), 2, true, false, 0.5f);
        Layer* mm = Node("mm", OP_MatMul, {bn, Constant("k", 4)}, 2);
        Layer* lstm = WithInner("lstm", OP_LSTM, {mm, Constant("h0", 2), Constant("c0", 2)}, 2,
                                {Desc({2, 8}), Desc({2, 8}), Desc({8})});
        Layer* act = Node("act", OP_Activation, {lstm}, 2);
        model = CreateModel(&act, 1);
    }
    ~RichModel() { DestroyModel(model); }
};

const std::vector<uint8_t> kRichFile = WeightsBytes()
                                           .U32(5)
                                           .Entry("lstm", {16, 16, 8, 0, 2, 2, 0}, Ramp(16 + 16 + 8 + 4, 1))
                                           .Entry("dense", {6, 2}, Ramp(8, -2))
                                           .Entry("act", {}, {})
                                           .Entry("bn", {2, 2, 2}, {1, 2, 0, 0, 3, 5})
                                           .Entry("mm", {4}, Ramp(4, 9))
                                           .bytes;

TEST(ModelWeights, HostileFilesLoadOrFailCleanly)
{
    const std::string rich = WeightsBytes::WriteBytes("rich", kRichFile);
    {
        RichModel m;  // in process too, for the leak checks
        LoadModelWeights(m.model, rich.c_str());
    }
    const ChildResult whole = LoadInChild<RichModel>(rich);
    EXPECT_TRUE(WIFEXITED(whole.status) && WEXITSTATUS(whole.status) == 0) << whole.err;

    // Every truncation must fail.
    for (size_t len = 0; len < kRichFile.size() && !HasFailure(); ++len) {
        const std::vector<uint8_t> cut(kRichFile.begin(), kRichFile.begin() + (long)len);
        ExpectLoadsOrFailsCleanly(LoadInChild<RichModel>(WeightsBytes::WriteBytes("cut", cut)),
                                  "truncated to " + std::to_string(len) + " bytes", true);
    }
    // Mutations may load or fail, but cleanly.
    std::mt19937 rng(2024);
    const uint32_t absurd[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0x40000000u, 0x00010000u, 7, 0, 1, 3};
    for (int trial = 0; trial < 150 && !HasFailure(); ++trial) {
        std::vector<uint8_t> bytes = kRichFile;
        const size_t at = rng() % bytes.size();
        std::string what = "kind " + std::to_string(trial % 4) + " at " + std::to_string(at);
        if (trial % 4 == 0) {
            bytes[at] = (uint8_t)rng();  // a random byte
        } else if (trial % 4 == 1) {
            // An absurd or off-by-some value over a 32-bit field, aligned or not.
            const uint32_t v = absurd[rng() % 9];
            const size_t pos = std::min(at / 4 * 4 + (rng() % 2 ? rng() % 4 : 0), bytes.size() - 4);
            memcpy(&bytes[pos], &v, 4);
        } else if (trial % 4 == 2) {
            for (size_t i = std::max<size_t>(at, 4); i < bytes.size(); ++i)  // a terminator removed
                if (bytes[i] == 0) {
                    bytes[i] = 'z';
                    break;
                }
        } else {
            // A span removed or duplicated.
            const std::vector<uint8_t> span(bytes.begin() + (long)at,
                                            bytes.begin() + (long)std::min(bytes.size(), at + 1 + rng() % 12));
            if (rng() % 2)
                bytes.erase(bytes.begin() + (long)at, bytes.begin() + (long)(at + span.size()));
            else
                bytes.insert(bytes.begin() + (long)at, span.begin(), span.end());
        }
        ExpectLoadsOrFailsCleanly(LoadInChild<RichModel>(WeightsBytes::WriteBytes("mutated", bytes)), what, false);
    }
    // Absurd counts in the first entry: rejected before any allocation they
    // would size (the allocation hook stops the child otherwise).
    for (uint32_t v : {0xFFFFFFFFu, 0x10000000u}) {
        const std::vector<uint8_t> bytes = WeightsBytes().U32(1).Name("dense").U32(v).U32(6).bytes;
        const ChildResult r = LoadInChild<SmallModel>(WeightsBytes::WriteBytes("absurd", bytes));
        ExpectLoadsOrFailsCleanly(r, "weightsCount " + std::to_string(v), true);
        EXPECT_NE(r.err.find("Error while reading weights sizes for dense"), std::string::npos) << r.err;
    }
}

// ---- per-layer tensor files ----------------------------------------------

std::string MakeDir(const std::string& name)
{
    const std::string dir = TmpPath(name);
    mkdir(dir.c_str(), 0755);
    return dir;
}

TEST(ModelWeights, PerLayerFilesRoundTripExactly)
{
    const std::string dir = MakeDir("layers");
    SmallModel m, fresh;
    LoadModelWeights(m.model, WeightsBytes().U32(0).Write("zero").c_str());
    LoadModelWeights(fresh.model, WeightsBytes().U32(0).Write("zero").c_str());
    std::mt19937 rng(7);
    for (Tensor* t : {m.dense->kernel->inner[0], m.dense->kernel->inner[1], m.bn->kernel->inner[0], m.bn->kernel->inner[1]})
        for (uint32_t e = 0; e < GetTensorSize(t); ++e)
            ((uint32_t*)t->data)[e] = (uint32_t)rng() & 0x7F7FFFFFu;  // finite floats, any bit pattern
    SaveModelWeights(m.model, dir.c_str());
    struct stat st;
    EXPECT_EQ(stat((dir + "/dense_inner_0").c_str(), &st), 0);
    EXPECT_NE(stat((dir + "/plain_inner_0").c_str(), &st), 0);
    LoadModelWeightsFromFiles(fresh.model, dir.c_str());
    for (int k = 0; k < 2; ++k)
        for (const Layer* l : {m.dense, m.bn}) {
            const Tensor* a = l->kernel->inner[k];
            const Tensor* b = (l == m.dense ? fresh.dense : fresh.bn)->kernel->inner[k];
            EXPECT_EQ(memcmp(a->data, b->data, GetTensorSize(a) * 4), 0) << l->name << " " << k;
        }
}

TEST(ModelWeights, PerLayerFileMismatchesAreFatal)
{
    const std::string dir = MakeDir("mismatch");
    auto model = [](const char* name, Tensor* inner) {
        Layer* x = WithInner(name, OP_Conv2D, {Input("in", 2)}, 2, {inner});
        return CreateModel(&x, 1);
    };
    Model* saved = model("x", Desc({2, 3}, DL_NC, DT_FLOAT32, true));
    SaveModelWeights(saved, dir.c_str());
    DestroyModel(saved);
    auto loadInto = [&](std::vector<uint32_t> dims, DataLayout layout, DataType dt, bool data) {
        LoadModelWeightsFromFiles(model("x", Desc(dims, layout, dt, data)), dir.c_str());
    };
    const std::string longName(300, 'n');
    ExpectExitRe({
        {[&] { loadInto({2, 4}, DL_NC, DT_FLOAT32, true); },
         "CompareTensorsStride\\(inner_tensor, loaded_tensor\\) == TCR_STRIDES_EQUAL: false, expected: true"},
        {[&] { loadInto({3, 3}, DL_NC, DT_FLOAT32, true); },
         "CompareTensorsShape\\(inner_tensor, loaded_tensor\\) == TCR_SHAPES_EQUAL: false, expected: true"},
        {[&] { loadInto({2, 3}, DL_CN, DT_FLOAT32, true); },
         "inner_tensor->layout == loaded_tensor->layout: false, expected: true"},
        {[&] { loadInto({2, 3}, DL_NC, DT_INT32, true); },
         "inner_tensor->dtype == loaded_tensor->dtype: false, expected: true"},
        {[&] { loadInto({2, 3}, DL_NC, DT_FLOAT32, false); },
         "inner_tensor->allocatedData && inner_tensor->data: false, expected: true"},
        // A file that is not a tensor file (wrong magic number).
        {[&] {
             const std::string bad = MakeDir("bad");
             WeightsBytes::WriteBytes("bad/x_inner_0", WeightsBytes().U32(1).U32(0).U32(0).U32(0).bytes);
             LoadModelWeightsFromFiles(model("x", Desc({2, 3}, DL_NC, DT_FLOAT32, true)), bad.c_str());
         },
         "Cannot load inner tensor 0 of x from"},
        {[&] { SaveModelWeights(model(longName.c_str(), Desc({2, 3}, DL_NC, DT_FLOAT32, true)), dir.c_str()); },
         "is longer than 255 characters"},
    });
}

}  // namespace
