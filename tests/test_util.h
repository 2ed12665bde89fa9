/* Small helpers shared by the tests. */
#ifndef CORVUS_TEST_UTIL_H
#define CORVUS_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "DataTypeConvert.h"
#include "Layers.h"
#include "Model.h"
#include "Tensor.h"

namespace corvus_test {

template <typename R> R Dims(const std::vector<uint32_t>& dims)
{
    R r{};
    std::copy(dims.begin(), dims.end(), r.dimension);
    return r;
}
inline TensorShape Shape(const std::vector<uint32_t>& dims) { return Dims<TensorShape>(dims); }
inline TensorStrides Strides(const std::vector<uint32_t>& dims) { return Dims<TensorStrides>(dims); }
inline std::vector<uint32_t> StridesOf(const Tensor* t) { return {t->stride.dimension, t->stride.dimension + t->ndim}; }
inline std::vector<uint32_t> DimsOf(const Tensor* t) { return {t->shape.dimension, t->shape.dimension + t->ndim}; }
/* A uniform integer in [lo, hi]. */
inline uint32_t Pick(std::mt19937& rng, uint32_t lo, uint32_t hi)
{
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
}
inline uint64_t Count(const std::vector<uint32_t>& dims)
{
    uint64_t n = 1;
    for (uint32_t d : dims) n *= d;
    return n;
}

/* Calls fn(index) for every multi-index of dims, last dimension fastest (once for rank 0). */
inline void ForEachIndex(const std::vector<uint32_t>& dims, const std::function<void(const std::vector<uint32_t>&)>& fn)
{
    if (Count(dims) == 0) return;
    std::vector<uint32_t> idx(dims.size(), 0);
    for (;;) {
        fn(idx);
        size_t k = dims.size();
        while (k > 0 && ++idx[k - 1] == dims[k - 1]) idx[--k] = 0;
        if (k == 0) return;
    }
}

/* Owned tensors: dense unless strides are given. */
struct TensorDeleter {
    void operator()(Tensor* t) const { DestroyTensor(t); }
};
using TensorPtr = std::unique_ptr<Tensor, TensorDeleter>;
inline TensorPtr NewTensor(DataType dtype, const std::vector<uint32_t>& dims, const std::vector<uint32_t>& strides = {},
                           bool allocate = true, DataLayout layout = DL_NONE)
{
    const uint32_t n = (uint32_t)dims.size();
    if (strides.empty()) return TensorPtr(CreateTensor(dtype, layout, n, Shape(dims), allocate));
    TensorStrides st{};
    std::copy(strides.begin(), strides.end(), st.dimension);
    return TensorPtr(CreateTensorWithStrides(dtype, layout, n, Shape(dims), st, allocate));
}

/* A description without data, for a layer constructor that takes it over. */
inline Tensor* Desc(DataType dtype, const std::vector<uint32_t>& dims, DataLayout layout = DL_NONE)
{
    return NewTensor(dtype, dims, {}, false, layout).release();
}
/* A dense tensor holding `values` (element type E matching dtype's size). */
template <typename E>
Tensor* Holding(DataType dtype, const std::vector<uint32_t>& dims, const std::vector<E>& values,
                DataLayout layout = DL_NONE)
{
    Tensor* t = NewTensor(dtype, dims, {}, true, layout).release();
    if (!values.empty()) memcpy(t->data, values.data(), values.size() * sizeof(E));
    return t;
}
/* The elements of a dense tensor. */
template <typename E> std::vector<E> ValuesOf(const Tensor* t)
{
    return {(const E*)t->data, (const E*)t->data + GetTensorSize(t)};
}
/* An Input layer described by (dtype, dims, layout). */
inline Layer* InputLayer(const char* name, DataType dtype, const std::vector<uint32_t>& dims,
                         DataLayout layout = DL_NONE)
{
    return AddInputLayer(name, NewTensor(dtype, dims, {}, false, layout).get());
}
/* A constant source layer owning `t` (with data), as the model readers make them. */
inline Layer* ConstantLayer(const char* name, Tensor* t)
{
    Layer* layer = CreateLayer(name, OP_Initializer, nullptr, nullptr, 0, 0);
    layer->kernel->output[0] = t;
    layer->staticOutput = true;
    return layer;
}

/* A model over `outputs`, destroyed with this object. Init (batch 1) runs at
 * the first Run unless called before, e.g. after loading weights; Run predicts
 * with the named inputs and returns the output layers. */
struct ModelRun {
    Model* model;
    bool ready = false;
    explicit ModelRun(std::vector<Layer*> outputs) : model(CreateModel(outputs.data(), (uint32_t)outputs.size())) {}
    ModelRun(const ModelRun&) = delete;
    ModelRun& operator=(const ModelRun&) = delete;
    ~ModelRun() { DestroyModel(model); }
    void Init()
    {
        EXPECT_EQ(InitModel(model, 1), 1u);
        ready = true;
    }
    Layer** Run(const std::vector<ModelInput>& feeds)
    {
        if (!ready) Init();
        return Predict(model, (uint32_t)feeds.size(), feeds.empty() ? nullptr : feeds.data());
    }
    const Tensor* Out(const std::vector<ModelInput>& feeds, uint32_t i = 0) { return Run(feeds)[i]->kernel->output[0]; }
};

/* A kernel record over borrowed tensors, for calling Init_/Execute_ functions
 * directly; the record is valid as long as this object lives. */
struct KernelRecord {
    NNKernel k;
    std::vector<Tensor*> in, out, inner;
    KernelRecord(std::vector<Tensor*> inputs, std::vector<Tensor*> outputs, void* params = nullptr,
                 std::vector<Tensor*> inners = {})
        : k(), in(std::move(inputs)), out(std::move(outputs)), inner(std::move(inners))
    {
        k.input = in.empty() ? nullptr : in.data();
        k.output = out.empty() ? nullptr : out.data();
        k.inner = inner.empty() ? nullptr : inner.data();
        k.inputsNum = (uint32_t)in.size();
        k.outputsNum = (uint32_t)out.size();
        k.innerNum = (uint32_t)inner.size();
        k.params = params;
        k.coresNumber = 1;
    }
    KernelRecord(const KernelRecord&) = delete;
    KernelRecord& operator=(const KernelRecord&) = delete;
    NNKernel* get() { return &k; }
    operator NNKernel*() { return &k; }
};

inline uint32_t Bits(float f)
{
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}
inline float FromBits(uint32_t u)
{
    float f;
    memcpy(&f, &u, 4);
    return f;
}
inline uint16_t Half(float f)
{
    uint16_t h;
    float32_to_float16(&f, &h, 1);
    return h;
}
inline float Float(uint16_t h)
{
    float f;
    float16_to_float32(&h, &f, 1);
    return f;
}

/* Scratch directories: a fresh one (mkdtemp under CORVUS_TEST_TMPDIR) for the
 * test program, one inside it for each test suite (used by SetUpTestSuite) and
 * one inside that for each test, each removed with its contents when its scope
 * ends. Names therefore never meet across tests or processes, whatever the
 * process ids. They are made eagerly, so a death-test child shares its test's. */
class ScratchDirs : public ::testing::EmptyTestEventListener {
public:
    static std::vector<std::string>& Stack()
    {
        static std::vector<std::string> dirs;
        return dirs;
    }

private:
    static void Push(std::string name)
    {
        std::replace(name.begin(), name.end(), '/', '_');  // parameterised names
        name.resize(std::min<size_t>(name.size(), 100));   // within a file name's length
        const std::string parent = Stack().empty() ? std::string(CORVUS_TEST_TMPDIR) : Stack().back();
        std::filesystem::create_directories(parent);
        std::string templ = parent + "/" + name + ".XXXXXX";
        if (mkdtemp(&templ[0]) == nullptr) ADD_FAILURE() << "cannot create a scratch directory under " << parent;
        Stack().push_back(templ);
    }
    static void Pop()
    {
        std::error_code ignored;
        std::filesystem::remove_all(Stack().back(), ignored);
        Stack().pop_back();
    }
    void OnTestProgramStart(const ::testing::UnitTest&) override { Push("corvus_tests"); }
    void OnTestSuiteStart(const ::testing::TestSuite& s) override { Push(s.name()); }
    void OnTestStart(const ::testing::TestInfo& t) override { Push(t.name()); }
    void OnTestEnd(const ::testing::TestInfo&) override { Pop(); }
    void OnTestSuiteEnd(const ::testing::TestSuite&) override { Pop(); }
    void OnTestProgramEnd(const ::testing::UnitTest&) override { Pop(); }
};
inline const bool kScratchDirsListening =
    (::testing::UnitTest::GetInstance()->listeners().Append(new ScratchDirs), true);

/* The current test's (or, in SetUpTestSuite, the suite's) scratch directory. */
inline const std::string& ScratchDir()
{
    if (ScratchDirs::Stack().empty()) ADD_FAILURE() << "no scratch directory outside the test run";
    static const std::string none = CORVUS_TEST_TMPDIR;
    return ScratchDirs::Stack().empty() ? none : ScratchDirs::Stack().back();
}

/* A file name in the current scratch directory. */
inline std::string TmpPath(const std::string& name) { return ScratchDir() + "/" + name; }

/* The message of the std::runtime_error fn throws. */
template <typename F> std::string Thrown(F fn)
{
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

/* Runs fn(FILE*) on a temporary stream and returns everything it wrote. */
template <typename F> std::string Printed(F fn)
{
    FILE* f = tmpfile();
    fn(f);
    std::string out;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;) out += (char)c;
    fclose(f);
    return out;
}

inline std::string EscapeRegex(const std::string& s)
{
    std::string r;
    for (char c : s) r += (strchr("\\^$.|?*+()[]{}", c) != nullptr ? "\\" : "") + std::string(1, c);
    return r;
}

/* Regex of the fatal report of `module` with the literal message `msg`,
 * optionally followed by a variable part given as a regex. */
inline std::string Fatal(const char* module, const std::string& msg, const std::string& tailRe = "")
{
    return "\\[ERROR MESSAGE\\]: " + EscapeRegex(msg) + tailRe + "\\. File " + module + " : [0-9]+";
}

/* Every case must end the process with status 1 and the fatal report of `module` with that message. */
using FatalCase = std::pair<std::function<void()>, std::string>;
inline void ExpectFatal(const char* module, std::initializer_list<FatalCase> cases)
{
    for (const FatalCase& c : cases)
        EXPECT_EXIT(c.first(), ::testing::ExitedWithCode(1), Fatal(module, c.second)) << c.second;
}

/* Every case must end the process with status 1 and print something matching its regex. */
inline void ExpectExitRe(std::initializer_list<FatalCase> cases)
{
    for (const FatalCase& c : cases) EXPECT_EXIT(c.first(), ::testing::ExitedWithCode(1), c.second) << c.second;
}

/* fn() must print exactly one warning of `module` with message `msg` on stdout. */
template <typename F> void ExpectWarning(const char* module, const std::string& msg, F fn)
{
    ::testing::internal::CaptureStdout();
    fn();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::regex re("\\[DEBUG MESSAGE\\]: " + EscapeRegex(msg) + "\\. File " + module + " : [0-9]+\n");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
}

}  // namespace corvus_test

#endif
