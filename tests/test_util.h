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
#include <regex>
#include <string>
#include <vector>

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
