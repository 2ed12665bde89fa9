// Weights file loading (checks, batch-normalisation folding, MatMul and
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

#include "ModelWeights.h"
#include "graph_util.h"

#if defined(__SANITIZE_ADDRESS__)
// Allocation hooks of the address sanitizer runtime, used to catch
// allocations sized by hostile files.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
#define CORVUS_TEST_HAS_MALLOC_HOOKS 1
#endif

using namespace graph_util;
using ::testing::ExitedWithCode;

namespace {

// Normalisation parameter record in its documented field order.
struct NormParams {
    uint32_t axis;
    bool center;
    bool scale;
    float epsilon;
};

std::string TmpPath(const std::string& name)
{
    return std::string(CORVUS_TEST_TMPDIR) + "/weights_" + std::to_string(getpid()) + "_" + name;
}

// Little-endian weights file builder.
class WeightsBytes {
public:
    WeightsBytes& U32(uint32_t v)
    {
        for (int b = 0; b < 4; ++b) bytes.push_back((uint8_t)(v >> (8 * b)));
        return *this;
    }
    WeightsBytes& Name(const std::string& s)
    {
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
        return *this;
    }
    WeightsBytes& Floats(const std::vector<float>& v)
    {
        for (float f : v) {
            uint32_t u;
            memcpy(&u, &f, 4);
            U32(u);
        }
        return *this;
    }
    // One entry: name, count, sizes, data.
    WeightsBytes& Entry(const std::string& name, const std::vector<uint32_t>& sizes, const std::vector<float>& data)
    {
        Name(name).U32((uint32_t)sizes.size());
        for (uint32_t s : sizes) U32(s);
        return Floats(data);
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
    std::vector<uint8_t> bytes;
};

std::vector<float> Values(const Tensor* t)
{
    const float* p = (const float*)t->data;
    return std::vector<float>(p, p + GetTensorSize(t));
}

std::vector<float> Ramp(uint32_t n, float start)
{
    std::vector<float> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = start + 0.5f * (float)i;
    return v;
}

// Dense-like layer: weights (in, out) and bias (out).
Layer* DenseLike(const char* name, Layer* in, uint32_t nIn, uint32_t nOut, bool bias = true)
{
    Layer* layer = Node(name, OP_Dense, {in}, nOut, DT_FLOAT32, bias ? 2 : 1);
    layer->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_CN, 2, Shape({nIn, nOut}), false);
    if (bias) layer->kernel->inner[1] = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({nOut}), false);
    return layer;
}

Layer* BatchNorm(const char* name, Layer* in, uint32_t channels, bool scale, bool center, float epsilon)
{
    Layer* layer = Node(name, OP_BatchNormalization, {in}, channels, DT_FLOAT32, 2);
    for (int k = 0; k < 2; ++k) layer->kernel->inner[k] = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({channels}), false);
    NormParams* p = (NormParams*)calloc(1, sizeof(NormParams));
    p->axis = 0;
    p->center = center;
    p->scale = scale;
    p->epsilon = epsilon;
    layer->kernel->params = p;
    return layer;
}

// in -> dense(3 -> 2) -> bn(2) -> out, plus a layer without inner tensors.
struct SmallModel {
    Layer* in;
    Layer* dense;
    Layer* bn;
    Layer* plain;
    Model* model;
    SmallModel()
    {
        in = Input("in", 3);
        dense = DenseLike("dense", in, 3, 2);
        bn = BatchNorm("bn", dense, 2, true, true, 1.0f);
        plain = Node("plain", OP_Activation, {bn}, 2);
        model = CreateModel(&plain, 1);
    }
    ~SmallModel() { DestroyModel(model); }
};

TEST(ModelWeights, LoadsDenseAndKeepsAbsentLayersAtZero)
{
    {
        SmallModel m;
        LoadModelWeights(m.model, WeightsBytes().U32(0).Write("empty").c_str());
        // Storage is given even when nothing is loaded; it stays zero.
        for (Tensor* t : {m.dense->kernel->inner[0], m.dense->kernel->inner[1], m.bn->kernel->inner[0]}) {
            ASSERT_NE(t->data, nullptr);
            EXPECT_TRUE(t->allocatedData);
            for (float v : Values(t)) EXPECT_EQ(v, 0.0f);
        }
    }
    {
        SmallModel m;
        const std::vector<float> w = Ramp(6, -1.0f), b = {7.0f, -8.5f};
        std::vector<float> data = w;
        data.insert(data.end(), b.begin(), b.end());
        LoadModelWeights(m.model, WeightsBytes().U32(2).Entry("plain", {}, {}).Entry("dense", {6, 2}, data)
                                      .Write("dense").c_str());
        EXPECT_EQ(Values(m.dense->kernel->inner[0]), w);
        EXPECT_EQ(Values(m.dense->kernel->inner[1]), b);
        for (float v : Values(m.bn->kernel->inner[0])) EXPECT_EQ(v, 0.0f);
    }
    {
        // A missing inner slot is skipped: sizes go to the tensors that exist.
        Layer* in = Input("in", 2);
        Layer* odd = Node("odd", OP_Conv2D, {in}, 2, DT_FLOAT32, 3);
        odd->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({3}), false);
        odd->kernel->inner[2] = CreateTensor(DT_FLOAT32, DL_I, 1, Shape({2}), false);
        Model* model = CreateModel(&odd, 1);
        LoadModelWeights(model, WeightsBytes().U32(1).Entry("odd", {3, 2}, {1, 2, 3, 4, 5}).Write("odd").c_str());
        EXPECT_EQ(Values(odd->kernel->inner[0]), (std::vector<float>{1, 2, 3}));
        EXPECT_EQ(Values(odd->kernel->inner[2]), (std::vector<float>{4, 5}));
        DestroyModel(model);
    }
}

TEST(ModelWeights, FoldsBatchNormalisationStatistics)
{
    struct Case {
        bool scale, center;
    };
    for (Case c : {Case{true, true}, Case{false, false}, Case{false, true}, Case{true, false}}) {
        SCOPED_TRACE(std::to_string(c.scale) + std::to_string(c.center));
        Layer* in = Input("in", 2);
        Layer* bn = BatchNorm("bn", in, 2, c.scale, c.center, 1.0f);
        Model* model = CreateModel(&bn, 1);
        const std::vector<float> gamma = {1, 1}, beta = {0, 1}, mean = {1, 2}, var = {3, 8};
        std::vector<float> data;
        if (c.scale) data.insert(data.end(), gamma.begin(), gamma.end());
        if (c.center) data.insert(data.end(), beta.begin(), beta.end());
        data.insert(data.end(), mean.begin(), mean.end());
        data.insert(data.end(), var.begin(), var.end());
        // The sizes are not consulted for batch normalisation.
        std::vector<uint32_t> sizes(2 + c.scale + c.center, 99);
        LoadModelWeights(model, WeightsBytes().U32(1).Entry("bn", sizes, data).Write("bn").c_str());
        const std::vector<float> m = Values(bn->kernel->inner[0]), a = Values(bn->kernel->inner[1]);
        // s = sqrt(var + 1) = 2 and 3; gamma is 1, so m = 1/s either way.
        EXPECT_EQ(m[0], 0.5f);
        EXPECT_EQ(m[1], 1.0f / 3.0f);
        // a = beta - mean * m, rounded once.
        const double b1 = c.center ? 1.0 : 0.0;
        EXPECT_EQ(a[0], -0.5f);
        EXPECT_EQ(a[1], (float)(b1 - 2.0 * (double)(1.0f / 3.0f)));
        if (c.center) {
            EXPECT_NEAR(a[1], 1.0 / 3.0, 1e-7);
        }
        DestroyModel(model);
    }
    {
        // Non-trivial gamma and epsilon, several channels.
        Layer* in = Input("in", 3);
        Layer* bn = BatchNorm("bn", in, 3, true, true, 0.001f);
        Model* model = CreateModel(&bn, 1);
        const std::vector<float> gamma = {2, -1, 0.25f}, beta = {0.5f, 0, -3}, mean = {0.1f, -7, 2},
                                 var = {0.5f, 4, 9};
        std::vector<float> data = gamma;
        for (const auto* v : {&beta, &mean, &var}) data.insert(data.end(), v->begin(), v->end());
        LoadModelWeights(model, WeightsBytes().U32(1).Entry("bn", {3, 3, 3, 3}, data).Write("bn3").c_str());
        for (int ch = 0; ch < 3; ++ch) {
            const float s = sqrtf(var[ch] + 0.001f);
            const float m = gamma[ch] / s;
            EXPECT_EQ(((float*)bn->kernel->inner[0]->data)[ch], m);
            EXPECT_EQ(((float*)bn->kernel->inner[1]->data)[ch], (float)((double)beta[ch] - (double)mean[ch] * m));
        }
        DestroyModel(model);
    }
}

TEST(ModelWeights, LoadsMatMulConstantOperands)
{
    Layer* in = Input("in", 4);
    Layer* k = Constant("k", 6);
    Layer* mm = Node("mm", OP_MatMul, {in, k}, 6);
    Model* model = CreateModel(&mm, 1);
    const std::vector<float> w = Ramp(6, 3.0f);
    LoadModelWeights(model, WeightsBytes().U32(1).Entry("mm", {6}, w).Write("mm").c_str());
    EXPECT_EQ(Values(k->kernel->output[0]), w);
    DestroyModel(model);

    // Both operands constant: sizes in input order.
    Layer* k1 = Constant("k1", 2);
    Layer* k2 = Constant("k2", 3);
    Layer* mm2 = Node("mm2", OP_MatMul, {k1, k2}, 6);
    model = CreateModel(&mm2, 1);
    LoadModelWeights(model, WeightsBytes().U32(1).Entry("mm2", {2, 3}, {1, 2, 3, 4, 5}).Write("mm2").c_str());
    EXPECT_EQ(Values(k1->kernel->output[0]), (std::vector<float>{1, 2}));
    EXPECT_EQ(Values(k2->kernel->output[0]), (std::vector<float>{3, 4, 5}));
    DestroyModel(model);
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
        if (states) {
            h0 = Constant("h0", 2);
            c0 = Constant("c0", 2);
            ins.push_back(h0);
            ins.push_back(c0);
        }
        lstm = Node("lstm", OP_LSTM, ins, 2, DT_FLOAT32, seq ? 4 : (bias ? 3 : 2));
        NNKernel* k = lstm->kernel;
        k->inner[0] = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({3, 8}), false);
        k->inner[1] = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({2, 8}), false);
        if (bias) k->inner[2] = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({8}), false);
        if (seq) k->inner[3] = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({1}), false);
        model = CreateModel(&lstm, 1);
    }
    ~LstmModel() { DestroyModel(model); }
};

TEST(ModelWeights, LoadsLstmTensorsAtFixedPositions)
{
    const std::vector<float> W = Ramp(24, 0), R = Ramp(16, 100), B = Ramp(8, -50), S = {5}, H = {1, 2}, C = {3, 4};
    auto concat = [](std::initializer_list<const std::vector<float>*> parts) {
        std::vector<float> all;
        for (const auto* p : parts) all.insert(all.end(), p->begin(), p->end());
        return all;
    };
    {
        LstmModel m(true, true, true);
        LoadModelWeights(m.model, WeightsBytes().U32(1)
                                      .Entry("lstm", {24, 16, 8, 1, 2, 2, 0}, concat({&W, &R, &B, &S, &H, &C}))
                                      .Write("lstm_all").c_str());
        EXPECT_EQ(Values(m.lstm->kernel->inner[0]), W);
        EXPECT_EQ(Values(m.lstm->kernel->inner[1]), R);
        EXPECT_EQ(Values(m.lstm->kernel->inner[2]), B);
        EXPECT_EQ(Values(m.lstm->kernel->inner[3]), S);
        EXPECT_EQ(Values(m.h0->kernel->output[0]), H);
        EXPECT_EQ(Values(m.c0->kernel->output[0]), C);
    }
    {
        // No bias, no sequence lengths, no states: positions 2.. are ignored.
        LstmModel m(false, false, false);
        LoadModelWeights(m.model,
                         WeightsBytes().U32(1).Entry("lstm", {24, 16, 0, 0}, concat({&W, &R})).Write("lstm_wr").c_str());
        EXPECT_EQ(Values(m.lstm->kernel->inner[0]), W);
        EXPECT_EQ(Values(m.lstm->kernel->inner[1]), R);
    }
    {
        // States without sequence lengths: sizes[3] is skipped, data too.
        LstmModel m(true, false, true);
        LoadModelWeights(m.model, WeightsBytes().U32(1)
                                      .Entry("lstm", {24, 16, 8, 77, 2, 2}, concat({&W, &R, &B, &H, &C}))
                                      .Write("lstm_states").c_str());
        EXPECT_EQ(Values(m.h0->kernel->output[0]), H);
        EXPECT_EQ(Values(m.c0->kernel->output[0]), C);
    }
    EXPECT_EXIT(
        {
            LstmModel m(true, false, false);
            LoadModelWeights(m.model, WeightsBytes().U32(1)
                                          .Entry("lstm", {24, 15, 8}, concat({&W, &R, &B}))
                                          .Write("lstm_bad").c_str());
        },
        ExitedWithCode(1), "tensor_size == loaded_tensor_size: false, expected: true");
    EXPECT_EXIT(
        {
            LstmModel m(true, false, true);
            LoadModelWeights(m.model, WeightsBytes().U32(1)
                                          .Entry("lstm", {24, 16, 8}, concat({&W, &R, &B}))
                                          .Write("lstm_few").c_str());
        },
        ExitedWithCode(1), "Weights number from file is not equals to layer weights number for lstm");
    EXPECT_EXIT(
        {
            LstmModel m(false, false, false);
            LoadModelWeights(m.model,
                             WeightsBytes().U32(1).Entry("lstm", {24, 16}, W).Write("lstm_short").c_str());
        },
        ExitedWithCode(1),
        "fread\\(tensor->data, sizeof\\(float\\), tensor_size, weights_file\\) == tensor_size: false, expected: true");
}

TEST(ModelWeights, ReadTensorChecks)
{
    const std::string path = WeightsBytes().Floats({1, 2, 3}).Write("raw");
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({3}), true);
    FILE* f = fopen(path.c_str(), "rb");
    ReadTensor(t, f, 3);
    fclose(f);
    EXPECT_EQ(Values(t), (std::vector<float>{1, 2, 3}));
    DestroyTensor(t);

    EXPECT_EXIT(
        {
            TensorStrides st{};
            st.dimension[0] = 4;
            st.dimension[1] = 1;
            Tensor* s = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({1, 3}), st, true);
            ReadTensor(s, fopen(path.c_str(), "rb"), 3);
        },
        ExitedWithCode(1), "IsSerialData\\(tensor\\): false, expected: true");
    EXPECT_EXIT(
        {
            Tensor* h = CreateTensor(DT_FLOAT16, DL_NONE, 1, Shape({3}), true);
            ReadTensor(h, fopen(path.c_str(), "rb"), 3);
        },
        ExitedWithCode(1), "tensor->dtype == DT_FLOAT32: false, expected: true");
}

TEST(ModelWeights, MismatchesBetweenFileAndModelAreFatal)
{
    auto load = [](const WeightsBytes& w, const char* name) {
        SmallModel m;
        LoadModelWeights(m.model, w.Write(name).c_str());
    };
    const std::vector<float> six = Ramp(6, 0), eight = Ramp(8, 0);
    EXPECT_EXIT(load(WeightsBytes().U32(1).Entry("dense", {6}, six), "d1"), ExitedWithCode(1),
                "Weights number from file is not equals to layer weights number for dense");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Entry("plain", {1}, {1}), "p1"), ExitedWithCode(1),
                "Weights number from file is not equals to layer weights number for plain");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Entry("dense", {6, 3}, eight), "d2"), ExitedWithCode(1),
                "weight_1 size is not equal to layer dense weights size");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Entry("dense", {6, 2}, six), "d3"), ExitedWithCode(1),
                "Error while loading weight_1 for dense");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Entry("bn", {2, 2, 2}, six), "b1"), ExitedWithCode(1),
                "Count of loaded weights mismatches weights count for bn\n");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Entry("bn", {2, 2, 2, 2}, six), "b2"), ExitedWithCode(1),
                "Error while reading weights for bn");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Entry("ghost", {}, {}), "g"), ExitedWithCode(1),
                "Layer \"ghost\" is not defined in model's layers");
    // The count is checked before any entry is read.
    EXPECT_EXIT(load(WeightsBytes().U32(5), "many"), ExitedWithCode(1),
                "Number of layers with weights cannot exceed total layers count in model");
    EXPECT_EXIT(load(WeightsBytes().U32(2).Entry("dense", {6, 2}, eight), "fewer"), ExitedWithCode(1),
                "Cannot read layer name");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Name("dense"), "nocount"), ExitedWithCode(1),
                "Cannot read weights count for dense");
    EXPECT_EXIT(load(WeightsBytes().U32(1).Name("dense").U32(2).U32(6), "nosizes"), ExitedWithCode(1),
                "Error while reading weights sizes for dense");
    EXPECT_EXIT(load(WeightsBytes(), "nothing"), ExitedWithCode(1),
                "fread\\(&weightedLayers, sizeof\\(uint32_t\\), 1, weightsFile\\) == 1: false, expected: true");
    // A name without its terminator.
    WeightsBytes unterminated = WeightsBytes().U32(1);
    unterminated.bytes.insert(unterminated.bytes.end(), {'d', 'e', 'n', 's', 'e'});
    EXPECT_EXIT(load(unterminated, "unterminated"), ExitedWithCode(1), "Cannot read layer name");

    EXPECT_EXIT(
        {
            SmallModel m;
            LoadModelWeights(m.model, TmpPath("does_not_exist").c_str());
        },
        ExitedWithCode(1), "Cannot open weights file: .*does_not_exist");
    EXPECT_EXIT(
        {
            SmallModel m;
            LoadModelWeights(m.model, CORVUS_TEST_TMPDIR);
        },
        ExitedWithCode(1), "is not a regular file");
    EXPECT_EXIT(LoadModelWeights(nullptr, "x"), ExitedWithCode(1), "model==NULL, expected not NULL value");

    // Inner tensors that cannot take float32 data straight from the file.
    EXPECT_EXIT(
        {
            Layer* in = Input("in", 2);
            Layer* x = Node("x", OP_Conv2D, {in}, 2, DT_FLOAT32, 1);
            x->kernel->inner[0] = CreateTensor(DT_FLOAT16, DL_I, 1, Shape({2}), false);
            Model* model = CreateModel(&x, 1);
            LoadModelWeights(model, WeightsBytes().U32(1).Entry("x", {2}, {1, 2}).Write("f16").c_str());
        },
        ExitedWithCode(1), "Only fp32 weights are supported to load \\(x\\)");
    EXPECT_EXIT(
        {
            Layer* in = Input("in", 2);
            Layer* x = Node("x", OP_Conv2D, {in}, 2, DT_FLOAT32, 1);
            TensorStrides st{};
            st.dimension[0] = 3;
            st.dimension[1] = 1;
            x->kernel->inner[0] = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({2, 2}), st, false);
            Model* model = CreateModel(&x, 1);
            LoadModelWeights(model, WeightsBytes().U32(1).Entry("x", {4}, {1, 2, 3, 4}).Write("strided").c_str());
        },
        ExitedWithCode(1), "Weights strides are not supported \\(x\\)");
    EXPECT_EXIT(
        {
            Layer* in = Input("in", 4);
            Layer* k = Constant("k", 6, DT_INT32);
            Layer* mm = Node("mm", OP_MatMul, {in, k}, 6);
            Model* model = CreateModel(&mm, 1);
            LoadModelWeights(model, WeightsBytes().U32(1).Entry("mm", {6}, Ramp(6, 0)).Write("mmi").c_str());
        },
        ExitedWithCode(1), "Only fp32 weights are supported to load \\(mm\\)");
    EXPECT_EXIT(
        {
            Layer* in = Input("in", 4);
            Layer* k = Constant("k", 6);
            Layer* mm = Node("mm", OP_MatMul, {in, k}, 6);
            Model* model = CreateModel(&mm, 1);
            LoadModelWeights(model, WeightsBytes().U32(1).Entry("mm", {5}, Ramp(5, 0)).Write("mms").c_str());
        },
        ExitedWithCode(1), "weight_1 size is not equal to layer mm weights size");
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
void RecordAllocation(const volatile void*, size_t size)
{
    if (size > gLargestAllocation) gLargestAllocation = size;
}
void FreeHook(const volatile void*) {}
constexpr size_t kAllocationLimit = 1u << 20;  // far above anything these small files justify
void ReportLargeAllocation()
{
    if (gLargestAllocation > kAllocationLimit) {
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

// Runs fn in a child process; its stderr is captured. A clean return exits
// with status 0.
ChildResult RunInChild(const std::function<void()>& fn)
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
        fn();
        ReportLargeAllocation();
        fflush(stderr);
        _exit(0);
    }
    close(pipefd[1]);
    std::string err;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof(buf))) > 0) err.append(buf, (size_t)n);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, err};
}

// The file either loads or ends with a report and status 1; nothing else.
void ExpectLoadsOrFailsCleanly(const ChildResult& r, const std::string& what, bool mustFail)
{
    ASSERT_TRUE(WIFEXITED(r.status)) << what << " died by signal\n" << r.err;
    const int code = WEXITSTATUS(r.status);
    const bool reported = r.err.rfind("[ERROR MESSAGE]: ", 0) == 0 && r.err.find("Sanitizer") == std::string::npos &&
                          r.err.find("runtime error") == std::string::npos;
    if (code == 0 && !mustFail) return;
    EXPECT_EQ(code, 1) << what << "\n" << r.err;
    EXPECT_TRUE(reported) << what << "\n" << r.err;
}

// A model with every kind of entry: dense, batch norm, MatMul constant,
// LSTM with states, and a layer without weights.
struct RichModel {
    Model* model;
    RichModel()
    {
        Layer* in = Input("in", 3);
        Layer* dense = DenseLike("dense", in, 3, 2);
        Layer* bn = BatchNorm("bn", dense, 2, true, false, 0.5f);
        Layer* k = Constant("k", 4);
        Layer* mm = Node("mm", OP_MatMul, {bn, k}, 2);
        Layer* h0 = Constant("h0", 2);
        Layer* c0 = Constant("c0", 2);
        Layer* lstm = Node("lstm", OP_LSTM, {mm, h0, c0}, 2, DT_FLOAT32, 3);
        lstm->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({2, 8}), false);
        lstm->kernel->inner[1] = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({2, 8}), false);
        lstm->kernel->inner[2] = CreateTensor(DT_FLOAT32, DL_NONE, 1, Shape({8}), false);
        Layer* act = Node("act", OP_Activation, {lstm}, 2);
        model = CreateModel(&act, 1);
    }
    ~RichModel() { DestroyModel(model); }
};

std::vector<uint8_t> RichFile()
{
    return WeightsBytes()
        .U32(5)
        .Entry("lstm", {16, 16, 8, 0, 2, 2, 0}, Ramp(16 + 16 + 8 + 4, 1))
        .Entry("dense", {6, 2}, Ramp(8, -2))
        .Entry("act", {}, {})
        .Entry("bn", {2, 2, 2}, {1, 2, 0, 0, 3, 5})
        .Entry("mm", {4}, Ramp(4, 9))
        .bytes;
}

TEST(ModelWeights, RichFileLoads)
{
    const std::string path = WeightsBytes::WriteBytes("rich", RichFile());
    RichModel m;
    LoadModelWeights(m.model, path.c_str());
    const ChildResult r = RunInChild([&] {
        RichModel c;
        LoadModelWeights(c.model, path.c_str());
    });
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.err;
}

TEST(ModelWeights, EveryTruncationFailsCleanly)
{
    const std::vector<uint8_t> full = RichFile();
    for (size_t len = 0; len < full.size(); ++len) {
        const std::string path =
            WeightsBytes::WriteBytes("cut", std::vector<uint8_t>(full.begin(), full.begin() + (long)len));
        const ChildResult r = RunInChild([&] {
            RichModel m;
            LoadModelWeights(m.model, path.c_str());
        });
        ExpectLoadsOrFailsCleanly(r, "truncated to " + std::to_string(len) + " bytes", true);
        if (HasFailure()) break;
    }
}

TEST(ModelWeights, MutatedFilesLoadOrFailCleanly)
{
    const std::vector<uint8_t> full = RichFile();
    std::mt19937 rng(2024);
    const uint32_t absurd[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0x40000000u, 0x00010000u, 7, 0, 1, 3};
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<uint8_t> bytes = full;
        std::string what;
        const int kind = trial % 5;
        if (kind == 0) {
            // A random byte changed.
            const size_t at = rng() % bytes.size();
            bytes[at] = (uint8_t)rng();
            what = "byte " + std::to_string(at);
        } else if (kind == 1 || kind == 2) {
            // An absurd or off-by-some value written over a 32-bit field.
            const size_t at = (rng() % (bytes.size() / 4)) * 4 + (kind == 2 ? rng() % 4 : 0);
            uint32_t v = absurd[rng() % (sizeof(absurd) / sizeof(absurd[0]))];
            if (at + 4 > bytes.size()) continue;
            memcpy(&bytes[at], &v, 4);
            what = "u32 " + std::to_string(v) + " at " + std::to_string(at);
        } else if (kind == 3) {
            // A terminator removed.
            std::vector<size_t> zeros;
            for (size_t i = 4; i < bytes.size(); ++i)
                if (bytes[i] == 0) zeros.push_back(i);
            const size_t at = zeros[rng() % zeros.size()];
            bytes[at] = 'z';
            what = "zero at " + std::to_string(at);
        } else {
            // A span removed or duplicated.
            const size_t at = rng() % bytes.size();
            const size_t len = 1 + rng() % 12;
            if (rng() % 2)
                bytes.erase(bytes.begin() + (long)at, bytes.begin() + (long)std::min(bytes.size(), at + len));
            else
                bytes.insert(bytes.begin() + (long)at, bytes.begin() + (long)at,
                             bytes.begin() + (long)std::min(bytes.size(), at + len));
            what = "span at " + std::to_string(at);
        }
        const std::string path = WeightsBytes::WriteBytes("mutated", bytes);
        const ChildResult r = RunInChild([&] {
            RichModel m;
            LoadModelWeights(m.model, path.c_str());
        });
        ExpectLoadsOrFailsCleanly(r, what, false);
        if (HasFailure()) break;
    }
    // Absurd counts in the first entry: rejected before any allocation they
    // would size (the allocation hook stops the child otherwise).
    for (uint32_t v : {0xFFFFFFFFu, 0x40000000u, 0x10000000u}) {
        const std::vector<uint8_t> bytes = WeightsBytes().U32(1).Name("dense").U32(v).U32(6).bytes;
        const std::string path = WeightsBytes::WriteBytes("absurd", bytes);
        const ChildResult r = RunInChild([&] {
            SmallModel m;
            LoadModelWeights(m.model, path.c_str());
        });
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
    SmallModel m;
    LoadModelWeights(m.model, WeightsBytes().U32(0).Write("zero").c_str());
    std::mt19937 rng(7);
    std::vector<std::vector<uint32_t>> saved;
    for (Tensor* t : {m.dense->kernel->inner[0], m.dense->kernel->inner[1], m.bn->kernel->inner[0],
                      m.bn->kernel->inner[1]}) {
        std::vector<uint32_t> bits(GetTensorSize(t));
        for (uint32_t& b : bits) b = (uint32_t)rng() & 0x7F7FFFFFu;  // finite floats, any bit pattern
        memcpy(t->data, bits.data(), bits.size() * 4);
        saved.push_back(bits);
    }
    SaveModelWeights(m.model, dir.c_str());
    struct stat st;
    EXPECT_EQ(stat((dir + "/dense_inner_0").c_str(), &st), 0);
    EXPECT_EQ(stat((dir + "/bn_inner_1").c_str(), &st), 0);
    EXPECT_NE(stat((dir + "/plain_inner_0").c_str(), &st), 0);

    SmallModel fresh;
    LoadModelWeights(fresh.model, WeightsBytes().U32(0).Write("zero2").c_str());
    LoadModelWeightsFromFiles(fresh.model, dir.c_str());
    int k = 0;
    for (Tensor* t : {fresh.dense->kernel->inner[0], fresh.dense->kernel->inner[1], fresh.bn->kernel->inner[0],
                      fresh.bn->kernel->inner[1]}) {
        std::vector<uint32_t> bits(GetTensorSize(t));
        memcpy(bits.data(), t->data, bits.size() * 4);
        EXPECT_EQ(bits, saved[k++]);
    }
}

TEST(ModelWeights, PerLayerFileMismatchesAreFatal)
{
    const std::string dir = MakeDir("mismatch");
    {
        Layer* in = Input("in", 2);
        Layer* x = Node("x", OP_Conv2D, {in}, 2, DT_FLOAT32, 1);
        x->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), true);
        Model* model = CreateModel(&x, 1);
        SaveModelWeights(model, dir.c_str());
        DestroyModel(model);
    }
    auto loadInto = [&dir](Tensor* inner) {
        Layer* in = Input("in", 2);
        Layer* x = Node("x", OP_Conv2D, {in}, 2, DT_FLOAT32, 1);
        x->kernel->inner[0] = inner;
        Model* model = CreateModel(&x, 1);
        LoadModelWeightsFromFiles(model, dir.c_str());
    };
    EXPECT_EXIT(loadInto(CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 4}), true)), ExitedWithCode(1),
                "CompareTensorsStride\\(inner_tensor, loaded_tensor\\) == TCR_STRIDES_EQUAL: false, expected: true");
    EXPECT_EXIT(loadInto(CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({3, 3}), true)), ExitedWithCode(1),
                "CompareTensorsShape\\(inner_tensor, loaded_tensor\\) == TCR_SHAPES_EQUAL: false, expected: true");
    EXPECT_EXIT(loadInto(CreateTensor(DT_FLOAT32, DL_CN, 2, Shape({2, 3}), true)), ExitedWithCode(1),
                "inner_tensor->layout == loaded_tensor->layout: false, expected: true");
    EXPECT_EXIT(loadInto(CreateTensor(DT_INT32, DL_NC, 2, Shape({2, 3}), true)), ExitedWithCode(1),
                "inner_tensor->dtype == loaded_tensor->dtype: false, expected: true");
    EXPECT_EXIT(loadInto(CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), false)), ExitedWithCode(1),
                "inner_tensor->allocatedData && inner_tensor->data: false, expected: true");
    // A file that is not a tensor file (wrong magic number).
    EXPECT_EXIT(
        {
            const std::string bad = MakeDir("bad");
            WeightsBytes::WriteBytes("bad/x_inner_0", WeightsBytes().U32(1).U32(0).U32(0).U32(0).bytes);
            Layer* in = Input("in", 2);
            Layer* x = Node("x", OP_Conv2D, {in}, 2, DT_FLOAT32, 1);
            x->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), true);
            Model* model = CreateModel(&x, 1);
            LoadModelWeightsFromFiles(model, bad.c_str());
        },
        ExitedWithCode(1), "Cannot load inner tensor 0 of x from");
    EXPECT_EXIT(
        {
            const std::string longName(300, 'n');
            Layer* in = Input("in", 2);
            Layer* x = Node(longName.c_str(), OP_Conv2D, {in}, 2, DT_FLOAT32, 1);
            x->kernel->inner[0] = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({2, 3}), true);
            Model* model = CreateModel(&x, 1);
            SaveModelWeights(model, dir.c_str());
        },
        ExitedWithCode(1), "is longer than 255 characters");
}

}  // namespace
