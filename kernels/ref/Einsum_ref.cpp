// Two-operand index contraction: every output element is the sum, over the
// letters that do not reach the result, of the products of the operands'
// elements selected by the letters.
#define CORVUS_MODULE "Einsum_ref"
#include <cstring>
#include <vector>

#include "LayersReduction.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "common/FloatView.h"

using corvus::DenseFloatIn;
using corvus::DenseFloatOut;

namespace {

// One index letter: its extent and its element stride in each dense operand
// and in the output (0 where the letter is absent).
struct Letter {
    char name;
    uint64_t extent;
    uint64_t strideA, strideB, strideOut;
    bool seen;
};

bool HasRepeat(const char* term)
{
    for (size_t i = 0; term[i] != '\0'; ++i)
        if (strchr(term + i + 1, term[i]) != nullptr) return true;
    return false;
}

// Dense row-major element stride of dimension d.
uint64_t DenseStride(const Tensor* t, uint32_t d)
{
    uint64_t s = 1;
    for (uint32_t k = d + 1; k < t->ndim; ++k) s *= t->shape.dimension[k];
    return s;
}

// Records the letters of `term` over tensor t in the table, with their
// strides in operand `which` (0: A, 1: B); a letter seen before must have
// the same extent.
void AddLetters(std::vector<Letter>& letters, const char* term, const Tensor* t, int which, const char* equation)
{
    for (uint32_t d = 0; term[d] != '\0'; ++d) {
        Letter* found = nullptr;
        for (Letter& l : letters)
            if (l.name == term[d]) found = &l;
        if (found == nullptr) {
            letters.push_back({term[d], 0, 0, 0, 0, false});
            found = &letters.back();
        }
        const uint64_t extent = t->shape.dimension[d];
        if (found->seen && found->extent != extent)
            CV_FATAL("Einsum: equation %s gives index '%c' the extents %llu and %llu", equation, term[d],
                     (unsigned long long)found->extent, (unsigned long long)extent);
        found->extent = extent;
        found->seen = true;
        (which == 0 ? found->strideA : found->strideB) = DenseStride(t, d);
    }
}

void EinSumAny(Tensor* output, const Tensor* a, const Tensor* b, const EinsumParams* params)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(a);
    CV_CHECK_PTR(b);
    CV_CHECK_PTR(params);
    if (a->dtype != b->dtype || output->dtype != a->dtype) CV_FATAL("Different types of tensor's data");
    const char* eq = params->equation;
    const char* left = params->left;
    const char* right = params->right;
    const char* result = params->result;
    if (strnlen(left, MAX_NDIM_VALUE + 1) != a->ndim || strnlen(right, MAX_NDIM_VALUE + 1) != b->ndim ||
        strnlen(result, MAX_NDIM_VALUE + 1) != output->ndim)
        CV_FATAL("Einsum: equation %s does not match the ranks %u, %u -> %u", eq, a->ndim, b->ndim, output->ndim);
    if (HasRepeat(left) || HasRepeat(right))
        CV_FATAL("Check equation pattern: %s\n. Trace-like operators are not supported in the current version.", eq);
    if (HasRepeat(result)) CV_FATAL("Einsum: equation %s repeats a result index", eq);

    // Result letters first, in output order; the rest are summed over.
    std::vector<Letter> letters;
    for (uint32_t r = 0; result[r] != '\0'; ++r) {
        if (strchr(left, result[r]) == nullptr && strchr(right, result[r]) == nullptr)
            CV_FATAL("Einsum: result index '%c' of %s occurs in neither operand", result[r], eq);
        letters.push_back({result[r], 0, 0, 0, DenseStride(output, r), false});
    }
    AddLetters(letters, left, a, 0, eq);
    AddLetters(letters, right, b, 1, eq);
    const size_t resultCount = strlen(result);
    uint64_t outCount = 1;
    bool empty = false;
    for (size_t r = 0; r < resultCount; ++r) {
        const uint64_t want = letters[r].extent == 0 ? 1 : letters[r].extent;
        if (output->shape.dimension[r] != want)
            CV_FATAL("Einsum: output extent %u of index '%c' should be %llu", output->shape.dimension[r],
                     letters[r].name, (unsigned long long)want);
        outCount *= want;
    }
    for (const Letter& l : letters) empty = empty || l.extent == 0;
    if (outCount == 0) return;
    CV_CHECK_PTR(output->data);
    DenseFloatOut out(output);
    float* y = out.data();
    if (empty) {
        // A zero extent leaves every sum empty.
        for (uint64_t i = 0; i < outCount; ++i) y[i] = 0.0f;
        out.Commit();
        return;
    }
    CV_CHECK_PTR(a->data);
    CV_CHECK_PTR(b->data);
    DenseFloatIn va(a), vb(b);
    const float* xa = va.data();
    const float* xb = vb.data();

    // Summation letters: all but the last form an odometer, the last is the tight loop.
    const size_t sumCount = letters.size() - resultCount;
    const Letter* sums = letters.data() + resultCount;
    uint64_t sumOuter = 1;
    for (size_t s = 0; s + 1 < sumCount; ++s) sumOuter *= sums[s].extent;
    const uint64_t sumInner = sumCount > 0 ? sums[sumCount - 1].extent : 1;
    const uint64_t innerA = sumCount > 0 ? sums[sumCount - 1].strideA : 0;
    const uint64_t innerB = sumCount > 0 ? sums[sumCount - 1].strideB : 0;

    uint64_t ridx[MAX_NDIM_VALUE] = {};
    uint64_t sidx[2 * MAX_NDIM_VALUE] = {};
    for (uint64_t o = 0; o < outCount; ++o) {
        uint64_t baseA = 0, baseB = 0, at = 0;
        for (size_t r = 0; r < resultCount; ++r) {
            baseA += ridx[r] * letters[r].strideA;
            baseB += ridx[r] * letters[r].strideB;
            at += ridx[r] * letters[r].strideOut;
        }
        float acc = 0.0f;
        for (size_t s = 0; s < sumCount; ++s) sidx[s] = 0;
        for (uint64_t so = 0; so < sumOuter; ++so) {
            uint64_t pa = baseA, pb = baseB;
            for (size_t s = 0; s + 1 < sumCount; ++s) {
                pa += sidx[s] * sums[s].strideA;
                pb += sidx[s] * sums[s].strideB;
            }
            for (uint64_t t = 0; t < sumInner; ++t) acc += xa[pa + t * innerA] * xb[pb + t * innerB];
            for (size_t s = sumCount > 0 ? sumCount - 1 : 0; s-- > 0;) {
                if (++sidx[s] < sums[s].extent) break;
                sidx[s] = 0;
            }
        }
        y[at] = acc;
        for (size_t r = resultCount; r-- > 0;) {
            if (++ridx[r] < letters[r].extent) break;
            ridx[r] = 0;
        }
    }
    out.Commit();
}

void Execute_EinSum_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Execute_EinSum_ref: Kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum == 2);
    const Tensor* a = kernel->input[0];
    const Tensor* b = kernel->input[1];
    CV_CHECK_PTR(a);
    CV_CHECK_PTR(b);
    if (a->dtype != b->dtype) CV_FATAL("Different types of tensor's data");
    const EinsumParams* params = (const EinsumParams*)kernel->params;
    if (a->dtype == DT_FLOAT32)
        EinSum_fl32_ref(kernel->output[0], a, b, params);
    else if (a->dtype == DT_FLOAT16)
        EinSum_fl16_ref(kernel->output[0], a, b, params);
    else
        CV_FATAL("support only Fl16 or Fl32");
}

}  // namespace

extern "C" {

void EinSum_fl32_ref(Tensor* output, const Tensor* a, const Tensor* b, const EinsumParams* params)
{
    CV_CHECK_PTR(a);
    if (a->dtype != DT_FLOAT32) CV_FATAL("support only Fl16 or Fl32");
    EinSumAny(output, a, b, params);
}

void EinSum_fl16_ref(Tensor* output, const Tensor* a, const Tensor* b, const EinsumParams* params)
{
    CV_CHECK_PTR(a);
    if (a->dtype != DT_FLOAT16) CV_FATAL("support only Fl16 or Fl32");
    EinSumAny(output, a, b, params);
}

extern const NNKernelFn nn_kernel_fn_Einsum_ref = {Execute_EinSum_ref, nullptr, nullptr, nullptr};

}  // extern "C"
