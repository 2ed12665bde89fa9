// Helpers for the reduction, index and einsum tests: owned tensors built
// from values, and naive reductions, arg-max, cumulative sums and einsum.
#ifndef CORVUS_TESTS_REDUCE_UTIL_H
#define CORVUS_TESTS_REDUCE_UTIL_H

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>

#include "test_util.h"

namespace reduce_test {

using Dims = std::vector<uint32_t>;

using corvus_test::Count;
using corvus_test::ForEachIndex;
using corvus_test::Holding;

// Dense tensors that own a copy of the values.
inline Tensor* MakeF32(const Dims& dims, const std::vector<float>& v) { return Holding(DT_FLOAT32, dims, v); }
inline Tensor* MakeI32(const Dims& dims, const std::vector<int32_t>& v) { return Holding(DT_INT32, dims, v); }
inline Tensor* MakeF16(const Dims& dims, const std::vector<float>& v)
{
    std::vector<uint16_t> h(v.size());
    float32_to_float16(v.data(), h.data(), (uint32_t)v.size());
    return Holding(DT_FLOAT16, dims, h);
}

template <class T> std::vector<T> Values(const Tensor* t) { return corvus_test::ValuesOf<T>(t); }

inline std::vector<float> RandomValues(size_t n, uint32_t seed, float lo = -4.0f, float hi = 4.0f)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Every input element, in row-major order, folded into the output element
// found by dropping its reduced coordinates; the mean multiplies by the
// output-to-input count ratio.
inline std::vector<float> NaiveReduce(const std::vector<float>& x, const Dims& dims, const std::vector<bool>& reduced,
                                      LayerOpType op)
{
    uint64_t outCount = 1;
    for (size_t d = 0; d < dims.size(); ++d) outCount *= reduced[d] ? 1 : dims[d];
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> acc(outCount, op == OP_ReduceMax ? -inf : op == OP_ReduceMin ? inf : 0.0f);
    size_t flat = 0;
    ForEachIndex(dims, [&](const Dims& idx) {
        uint64_t o = 0;
        for (size_t d = 0; d < dims.size(); ++d)
            if (!reduced[d]) o = o * dims[d] + idx[d];
        const float v = x[flat++];
        if (op == OP_ReduceMax)
            acc[o] = v > acc[o] ? v : acc[o];
        else if (op == OP_ReduceMin)
            acc[o] = v < acc[o] ? v : acc[o];
        else
            acc[o] = acc[o] + (op == OP_ReduceL2 ? v * v : v);
    });
    for (float& a : acc) {
        if (op == OP_ReduceMean) a = a * ((float)outCount / (float)x.size());
        if (op == OP_ReduceL2) a = sqrtf(a);
    }
    return acc;
}

// Index 0 if its value is NaN; else the largest non-NaN value's first (or last) index.
inline int32_t NaiveArgMax(const std::vector<float>& line, bool last)
{
    if (std::isnan(line[0])) return 0;
    float best = line[0];
    for (float v : line) best = !std::isnan(v) && v > best ? v : best;
    int32_t at = -1;
    for (size_t j = 0; j < line.size(); ++j)
        if (line[j] == best && (at < 0 || last)) at = (int32_t)j;
    return at;
}

// Running sums along `axis`, from either end, with or without the element itself.
inline std::vector<float> NaiveCumSum(const std::vector<float>& x, const Dims& dims, uint32_t axis, bool exclusive,
                                      bool reverse)
{
    std::vector<float> y(x.size());
    uint64_t inner = 1;
    for (size_t d = axis + 1; d < dims.size(); ++d) inner *= dims[d];
    const uint64_t n = dims[axis], outer = x.size() / (n * inner);
    for (uint64_t o = 0; o < outer; ++o)
        for (uint64_t i = 0; i < inner; ++i) {
            auto at = [&](uint64_t t) { return (o * n + (reverse ? n - 1 - t : t)) * inner + i; };
            y[at(0)] = exclusive ? 0.0f : x[at(0)];
            for (uint64_t t = 1; t < n; ++t) y[at(t)] = y[at(t - 1)] + x[at(exclusive ? t - 1 : t)];
        }
    return y;
}

// Einsum in double precision: out[result letters] = sum over the other
// letters of a[left] * b[right], dense row-major operands.
inline std::vector<double> NaiveEinsum(std::string eq, const Dims& da, const std::vector<float>& a, const Dims& db,
                                       const std::vector<float>& b, const Dims& dout)
{
    eq.erase(std::remove(eq.begin(), eq.end(), ' '), eq.end());
    const size_t comma = eq.find(','), arrow = eq.find('-');
    const std::string left = eq.substr(0, comma), right = eq.substr(comma + 1, arrow - comma - 1);
    const std::string result = eq.substr(arrow + 2);
    std::map<char, uint32_t> extent;
    for (size_t i = 0; i < left.size(); ++i) extent[left[i]] = da[i];
    for (size_t i = 0; i < right.size(); ++i) extent[right[i]] = db[i];
    std::string letters;
    Dims extents;
    for (const auto& e : extent) letters += e.first, extents.push_back(e.second);
    auto flat = [&](const std::string& term, const Dims& idx) {
        size_t f = 0;
        for (char c : term) f = f * extent[c] + idx[letters.find(c)];
        return f;
    };
    std::vector<double> out(Count(dout), 0.0);
    ForEachIndex(extents,
                 [&](const Dims& idx) { out[flat(result, idx)] += (double)a[flat(left, idx)] * b[flat(right, idx)]; });
    return out;
}

}  // namespace reduce_test

#endif
