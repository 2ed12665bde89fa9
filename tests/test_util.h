/* Small helpers shared by the tests. */
#ifndef CORVUS_TEST_UTIL_H
#define CORVUS_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "DataTypeConvert.h"
#include "Tensor.h"

namespace corvus_test {

template <typename R>
R Dims(std::initializer_list<uint32_t> dims)
{
    R r{};
    std::copy(dims.begin(), dims.end(), r.dimension);
    return r;
}
inline TensorShape Shape(std::initializer_list<uint32_t> dims) { return Dims<TensorShape>(dims); }
inline TensorStrides Strides(std::initializer_list<uint32_t> dims) { return Dims<TensorStrides>(dims); }
inline std::vector<uint32_t> StridesOf(const Tensor* t) { return {t->stride.dimension, t->stride.dimension + t->ndim}; }
inline TensorShape Shape(const std::vector<uint32_t>& dims)
{
    TensorShape s{};
    std::copy(dims.begin(), dims.end(), s.dimension);
    return s;
}
inline std::vector<uint32_t> DimsOf(const Tensor* t) { return {t->shape.dimension, t->shape.dimension + t->ndim}; }
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

/* A per-process file name in the scratch directory: test processes may run in parallel. */
inline std::string TmpPath(const std::string& name)
{
    return std::string(CORVUS_TEST_TMPDIR) + "/" + name + "_" + std::to_string(getpid());
}

/* Runs fn(FILE*) on a temporary stream and returns everything it wrote. */
template <typename F>
std::string Printed(F fn)
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
template <typename F>
void ExpectWarning(const char* module, const std::string& msg, F fn)
{
    ::testing::internal::CaptureStdout();
    fn();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::regex re("\\[DEBUG MESSAGE\\]: " + EscapeRegex(msg) + "\\. File " + module + " : [0-9]+\n");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
}

}  // namespace corvus_test

#endif
