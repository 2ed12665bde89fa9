#define CORVUS_MODULE "TensorOperation"
#include "TensorOperation.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DataTypeConvert.h"
#include "Report.h"

namespace {

TensorShape ZeroShape()
{
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    return shape;
}

// "(1,3,224,224)"; "()" for rank 0.
template <typename T> void AppendList(std::ostringstream& text, const T* values, uint32_t n)
{
    text << '(';
    for (uint32_t k = 0; k < n; ++k) {
        if (k > 0) text << ',';
        text << values[k];
    }
    text << ')';
}

uint32_t CheckedRank(const Tensor* t, const char* fn, const char* what)
{
    if (t == nullptr) CV_FATAL("%s: %s tensor is not created", fn, what);
    if (t->ndim > MAX_NDIM_VALUE)
        CV_FATAL("%s: %s tensor rank %u is greater than %d", fn, what, t->ndim, MAX_NDIM_VALUE);
    return t->ndim;
}

// Byte offset of a multi-index; coordinates are checked against the shape.
size_t ElementOffset(const Tensor* t, const uint32_t* index, const char* fn)
{
    size_t offset = 0;
    for (uint32_t d = 0; d < t->ndim; ++d) {
        if (index[d] >= t->shape.dimension[d])
            CV_FATAL("%s: Index %u is out of dimension %u of size %u", fn, index[d], d, t->shape.dimension[d]);
        offset += (size_t)index[d] * t->stride.dimension[d];
    }
    return offset * DataTypeSize((DataType)t->dtype);
}

// Element k (row-major over the logical shape) of a 32-bit integer tensor.
std::vector<int32_t> ReadInt32Values(const Tensor* t, const char* fn, const char* what)
{
    uint32_t rank = CheckedRank(t, fn, what);
    uint32_t count = GetTensorSize(t);
    std::vector<int32_t> values(count);
    if (count == 0) return values;
    if (t->dtype != DT_INT32 && t->dtype != DT_UINT32)
        CV_FATAL("%s: %s tensor must hold 32-bit integers, not %s", fn, what, DataTypeToStr((DataType)t->dtype));
    if (t->data == nullptr) CV_FATAL("%s: %s tensor data refers to nullptr", fn, what);
    const int32_t* p = (const int32_t*)t->data;
    uint32_t pos[MAX_NDIM_VALUE];
    for (uint32_t k = 0; k < count; ++k) {
        GetPositionByIndex(t->shape, rank, k, pos);
        size_t offset = 0;
        for (uint32_t d = 0; d < rank; ++d) offset += (size_t)pos[d] * t->stride.dimension[d];
        values[k] = p[offset];
    }
    return values;
}

struct ShapeInfo {
    uint32_t ndim;
    uint32_t dims[MAX_NDIM_VALUE];
    uint32_t layout;
    uint32_t dtype;
};

ShapeInfo InfoOf(const Tensor* t)
{
    ShapeInfo info = {};
    info.ndim = t->ndim;
    for (uint32_t d = 0; d < t->ndim; ++d) info.dims[d] = t->shape.dimension[d];
    info.layout = t->layout;
    info.dtype = t->dtype;
    return info;
}

Tensor* TensorFromInfo(const ShapeInfo& info)
{
    // CreateTensor computes the dense strides and refuses shapes whose sizes
    // do not fit 32 bits; the layout is the inputs' and is not checked again.
    TensorShape shape = {};
    for (uint32_t d = 0; d < info.ndim; ++d) shape.dimension[d] = info.dims[d];
    Tensor* t = CreateTensor((DataType)info.dtype, DL_NONE, info.ndim, shape, false);
    t->layout = info.layout;
    return t;
}

// Two shapes broadcast; false when an aligned pair is incompatible.
bool BroadcastPair(const ShapeInfo& a, const ShapeInfo& b, ShapeInfo* out)
{
    if (a.ndim == 0) {
        *out = b;
        return true;
    }
    if (b.ndim == 0) {
        *out = a;
        return true;
    }
    const ShapeInfo& longer = a.ndim >= b.ndim ? a : b;
    const ShapeInfo& shorter = a.ndim >= b.ndim ? b : a;
    ShapeInfo result = longer;
    const uint32_t lead = longer.ndim - shorter.ndim;
    for (uint32_t d = lead; d < longer.ndim; ++d) {
        uint32_t x = longer.dims[d];
        uint32_t y = shorter.dims[d - lead];
        if (x != y && x != 1 && y != 1) return false;
        result.dims[d] = x > y ? x : y;
    }
    *out = result;
    return true;
}

// Output extent of one sliced dimension: ceil(|end - start| / |step|).
uint32_t SliceExtent(int32_t start, int32_t end, int32_t step)
{
    const int64_t diff = (int64_t)end - start;
    const int64_t absDiff = diff < 0 ? -diff : diff;
    const int64_t absStep = step < 0 ? -(int64_t)step : (int64_t)step;
    const int64_t count = (absDiff + absStep - 1) / absStep;
    return count > UINT32_MAX ? UINT32_MAX : (uint32_t)count;
}

// Whether every input coordinate start + o * step, o < count, lies inside
// the dimension and the range runs in the step's direction.
bool SliceInsideData(int32_t start, int32_t end, int32_t step, uint32_t count, uint32_t dim)
{
    const int64_t diff = (int64_t)end - start;
    const int64_t last = (int64_t)start + ((int64_t)count - 1) * step;
    return (diff > 0) == (step > 0) && start >= 0 && start < (int64_t)dim && last >= 0 && last < (int64_t)dim;
}

float ReadScalarAsFloat(const Tensor* t)
{
    return t->dtype == DT_FLOAT32 ? *(const float*)t->data : (float)*(const int32_t*)t->data;
}

void CheckSortInput(const Tensor* tensor)
{
    CV_CHECK_PTR(tensor);
    CV_CHECK(tensor->ndim == 1);
    CV_CHECK(tensor->dtype == DT_FLOAT32);
    if (tensor->shape.dimension[0] > 0) CV_CHECK_PTR(tensor->data);
}

Tensor* CreateIndexTensor(uint32_t n)
{
    TensorShape shape = ZeroShape();
    shape.dimension[0] = n;
    return CreateTensor(DT_UINT32, DL_I, 1, shape, true);
}

// Sort keys: float bits in the high half, element index in the low half.
std::vector<uint64_t> MakeKeys(const Tensor* tensor)
{
    const uint32_t n = tensor->shape.dimension[0];
    const uint32_t s = tensor->stride.dimension[0];
    const uint8_t* p = (const uint8_t*)tensor->data;
    std::vector<uint64_t> keys(n);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t bits;
        memcpy(&bits, p + (size_t)i * s * sizeof(float), sizeof(bits));
        keys[i] = ((uint64_t)bits << 32) | i;
    }
    return keys;
}

Tensor* IndicesFromKeys(const std::vector<uint64_t>& keys)
{
    Tensor* out = CreateIndexTensor((uint32_t)keys.size());
    uint32_t* idx = (uint32_t*)out->data;
    for (size_t i = 0; i < keys.size(); ++i) idx[i] = (uint32_t)keys[i];
    return out;
}

// Hoare partition around the middle key. Keys are unique, so the order of
// the two recursions does not change the result: the smaller side recurses
// to bound the stack depth, the larger one is iterated.
void QuickSortSigned(int64_t* a, int64_t lo, int64_t hi)
{
    while (lo < hi) {
        const int64_t pivot = a[lo + (hi - lo) / 2];
        int64_t i = lo, j = hi;
        while (i <= j) {
            while (a[i] < pivot) ++i;
            while (a[j] > pivot) --j;
            if (i <= j) {
                int64_t t = a[i];
                a[i] = a[j];
                a[j] = t;
                ++i;
                --j;
            }
        }
        if (j - lo < hi - i) {
            QuickSortSigned(a, lo, j);
            lo = i;
        } else {
            QuickSortSigned(a, i, hi);
            hi = j;
        }
    }
}

// Stable three-way partition on the high halves: smaller keys are compacted
// in place in their order, equal and greater ones gathered in order in the
// scratch arrays and copied back behind them.
void StableQuickSortHigh(uint64_t* a, size_t n, uint64_t* equal, uint64_t* greater)
{
    while (n > 1) {
        const uint32_t pivot = (uint32_t)(a[n / 2] >> 32);
        size_t nl = 0, ne = 0, ng = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t h = (uint32_t)(a[i] >> 32);
            if (h < pivot)
                a[nl++] = a[i];
            else if (h == pivot)
                equal[ne++] = a[i];
            else
                greater[ng++] = a[i];
        }
        memcpy(a + nl, equal, ne * sizeof(uint64_t));
        memcpy(a + nl + ne, greater, ng * sizeof(uint64_t));
        uint64_t* upper = a + nl + ne;
        // The partition is stable, so sorting either side first gives the
        // same result; recurse into the smaller side to bound the stack.
        if (nl < ng) {
            StableQuickSortHigh(a, nl, equal, greater);
            a = upper;
            n = ng;
        } else {
            StableQuickSortHigh(upper, ng, equal, greater);
            n = nl;
        }
    }
}

// Dimensions and byte strides of a tensor viewed with `rank` dimensions,
// padded in front with extents of 1.
void PaddedView(const Tensor* t, uint32_t rank, uint32_t* dims, size_t* strides)
{
    const size_t esize = DataTypeSize((DataType)t->dtype);
    const uint32_t pad = rank - t->ndim;
    for (uint32_t d = 0; d < rank; ++d) {
        if (d < pad) {
            dims[d] = 1;
            strides[d] = 0;
        } else {
            dims[d] = t->shape.dimension[d - pad];
            strides[d] = (size_t)t->stride.dimension[d - pad] * esize;
        }
    }
}

int32_t NormalisedAxis(int32_t axis, uint32_t rank) { return axis < 0 ? axis + (int32_t)rank : axis; }

}  // namespace

extern "C" {

/* ---- Shape inference ---------------------------------------------------- */

Tensor* GetBroadcastShape(Tensor** inputs, uint32_t inputsNum)
{
    if (inputsNum < 2)
        CV_FATAL("GetBroadcastShape: inputsNum must be greater or equal 2. Current value: %d", inputsNum);
    CV_CHECK_PTR(inputs);
    for (uint32_t i = 0; i < inputsNum; ++i) CheckedRank(inputs[i], "GetBroadcastShape", "input");

    ShapeInfo result = InfoOf(inputs[0]);
    for (uint32_t i = 1; i < inputsNum; ++i) {
        if (!BroadcastPair(result, InfoOf(inputs[i]), &result)) {
            std::ostringstream text;
            text << "GetBroadcastShape: Tensors with shapes: ";
            for (uint32_t k = 0; k < inputsNum; ++k) AppendList(text, inputs[k]->shape.dimension, inputs[k]->ndim);
            text << ", are not broadcastable";
            CV_FATAL("%s", text.str().c_str());
        }
    }
    return TensorFromInfo(result);
}

Tensor* GetMatmulBroadcastTensor(const Tensor* a, const Tensor* b)
{
    const uint32_t ra = CheckedRank(a, "GetMatmulBroadcastTensor", "A");
    const uint32_t rb = CheckedRank(b, "GetMatmulBroadcastTensor", "B");
    uint32_t slotsA[MAX_NDIM_VALUE], slotsB[MAX_NDIM_VALUE], out[MAX_NDIM_VALUE];
    for (uint32_t s = 0; s < MAX_NDIM_VALUE; ++s) {
        slotsA[s] = s < MAX_NDIM_VALUE - ra ? 1 : a->shape.dimension[s - (MAX_NDIM_VALUE - ra)];
        slotsB[s] = s < MAX_NDIM_VALUE - rb ? 1 : b->shape.dimension[s - (MAX_NDIM_VALUE - rb)];
    }
    for (uint32_t s = 0; s < 4; ++s) {
        if (slotsA[s] != slotsB[s] && slotsA[s] != 1 && slotsB[s] != 1) {
            std::ostringstream text;
            text << "Function Matmul: Wrong shapes for matrix multiplication: ";
            AppendList(text, a->shape.dimension, ra);
            text << " and ";
            AppendList(text, b->shape.dimension, rb);
            CV_FATAL("%s", text.str().c_str());
        }
        out[s] = slotsA[s] > slotsB[s] ? slotsA[s] : slotsB[s];
    }
    out[4] = slotsA[4];
    out[5] = slotsB[5];

    const Tensor* longer = ra >= rb ? a : b;
    ShapeInfo info = {};
    info.ndim = longer->ndim;
    info.layout = longer->layout;
    info.dtype = a->dtype;
    for (uint32_t d = 0; d < info.ndim; ++d) info.dims[d] = out[MAX_NDIM_VALUE - info.ndim + d];
    return TensorFromInfo(info);
}

TensorShape GetGatherShape(TensorShape dataShape, TensorShape indicesShape, uint32_t dataRank, uint32_t indicesRank,
                           uint32_t outputRank, int32_t axis)
{
    if (dataRank > MAX_NDIM_VALUE || indicesRank > MAX_NDIM_VALUE)
        CV_FATAL("GetGatherShape: data rank (%u) and indices rank (%u) must not be greater than %d", dataRank,
                 indicesRank, MAX_NDIM_VALUE);
    if (outputRank > MAX_NDIM_VALUE || dataRank + indicesRank > MAX_NDIM_VALUE + 1) {
        std::ostringstream text;
        text << "GetGatherShape: Output tensor rank is greater than: " << MAX_NDIM_VALUE << ". Input tensor shape: ";
        AppendList(text, dataShape.dimension, dataRank);
        text << ". Indices tensor shape: ";
        AppendList(text, indicesShape.dimension, indicesRank);
        CV_FATAL("%s", text.str().c_str());
    }
    const int32_t a = NormalisedAxis(axis, dataRank);
    if (a < 0 || a >= (int32_t)dataRank)
        CV_FATAL("GetGatherShape: axis %d is out of data tensor rank %u", axis, dataRank);

    TensorShape out = ZeroShape();
    uint32_t n = 0;
    if (indicesRank == 0 && dataRank >= 2) {
        for (uint32_t d = 0; d < dataRank; ++d)
            if (d != (uint32_t)a) out.dimension[n++] = dataShape.dimension[d];
        return out;
    }
    for (uint32_t d = 0; d < (uint32_t)a; ++d) out.dimension[n++] = dataShape.dimension[d];
    for (uint32_t d = 0; d < indicesRank; ++d) out.dimension[n++] = indicesShape.dimension[d];
    for (uint32_t d = (uint32_t)a + 1; d < dataRank; ++d) out.dimension[n++] = dataShape.dimension[d];
    return out;
}

TensorShape GetSliceShape(Tensor** tensors, uint32_t tensorsNum, int32_t* starts, int32_t* ends, int32_t* steps)
{
    if (tensorsNum != 5) CV_FATAL("GetSliceShape: tensors_num must be equal 5. Current value: %d", tensorsNum);
    CV_CHECK_PTR(tensors);
    CV_CHECK_PTR(starts);
    CV_CHECK_PTR(ends);
    CV_CHECK_PTR(steps);
    const Tensor* data = tensors[0];
    const uint32_t rank = CheckedRank(data, "GetSliceShape", "data");
    const std::vector<int32_t> startV = ReadInt32Values(tensors[1], "GetSliceShape", "starts");
    const std::vector<int32_t> endV = ReadInt32Values(tensors[2], "GetSliceShape", "ends");
    const std::vector<int32_t> axisV = ReadInt32Values(tensors[3], "GetSliceShape", "axes");
    const std::vector<int32_t> stepV = ReadInt32Values(tensors[4], "GetSliceShape", "steps");
    if (startV.size() != axisV.size() || endV.size() != axisV.size() || stepV.size() != axisV.size())
        CV_FATAL("GetSliceShape: starts (%zu), ends (%zu) and steps (%zu) must have one entry per axis (%zu)",
                 startV.size(), endV.size(), stepV.size(), axisV.size());

    // Entries beyond the data rank describe unit dimensions.
    for (uint32_t d = 0; d < MAX_NDIM_VALUE; ++d) {
        starts[d] = 0;
        ends[d] = d < rank ? (int32_t)data->shape.dimension[d] : 1;
        steps[d] = 1;
    }
    for (size_t k = 0; k < axisV.size(); ++k) {
        const int32_t a = axisV[k];
        if (a < 0 || a >= (int32_t)rank) CV_FATAL("GetSliceShape: axis %d is out of data tensor rank %u", a, rank);
        if (stepV[k] == 0) CV_FATAL("GetSliceShape: step for axis %d is 0", a);
        const int64_t dim = data->shape.dimension[a];
        steps[a] = stepV[k];
        starts[a] = (int32_t)(startV[k] < 0 ? startV[k] + dim : startV[k]);
        const int32_t e = endV[k];
        if (e == std::numeric_limits<int32_t>::min())
            ends[a] = -1;
        else if (e == std::numeric_limits<int32_t>::max())
            ends[a] = (int32_t)dim;
        else if (e < 0)
            ends[a] = (int32_t)(dim + e);
        else
            ends[a] = e;
    }

    TensorShape out = ZeroShape();
    bool wrong = false;
    for (uint32_t d = 0; d < rank; ++d) {
        const uint32_t dim = data->shape.dimension[d];
        out.dimension[d] = SliceExtent(starts[d], ends[d], steps[d]);
        // Ranges the kernel could not walk inside the data are refused too.
        if (out.dimension[d] == 0 || out.dimension[d] > dim ||
            !SliceInsideData(starts[d], ends[d], steps[d], out.dimension[d], dim))
            wrong = true;
    }
    if (wrong) {
        std::ostringstream text;
        text << "GetSliceShape: There is something wrong with output tensor shape: ";
        AppendList(text, out.dimension, rank);
        text << ". Input tensor shape: ";
        AppendList(text, data->shape.dimension, rank);
        CV_FATAL("%s", text.str().c_str());
    }
    return out;
}

TensorShape GetSqueezeShape(const Tensor* data, const Tensor* axes)
{
    const uint32_t rank = CheckedRank(data, "GetSqueezeShape", "data");
    std::vector<int32_t> axisV;
    if (axes != nullptr) axisV = ReadInt32Values(axes, "GetSqueezeShape", "axes");
    const uint32_t n = (uint32_t)axisV.size();
    const int64_t outRank = (int64_t)rank - n;
    if (outRank < 0) CV_FATAL("GetSqueezeShape: Result axes dimensions number (%d) is less than zero", (int)outRank);

    std::unique_ptr<int32_t, decltype(&free)> converted((int32_t*)malloc((n > 0 ? n : 1) * sizeof(int32_t)), &free);
    if (converted == nullptr) CV_FATAL("GetSqueezeShape: Converted axis pointer is NULL");
    int32_t* conv = converted.get();
    for (uint32_t k = 0; k < n; ++k) conv[k] = axisV[k] < 0 ? axisV[k] + (int32_t)rank : axisV[k];

    bool squeezed[MAX_NDIM_VALUE] = {};
    for (uint32_t k = 0; k < n; ++k) {
        const int32_t a = conv[k];
        if (a < 0 || a >= (int32_t)rank || data->shape.dimension[a] != 1) {
            std::ostringstream text;
            text << "GetSqueezeShape: Axis for squeeze operation: ";
            AppendList(text, conv, n);
            text << ", is out of data tensor dimensions: ";
            AppendList(text, data->shape.dimension, rank);
            text << ", or axis for squeeze operation is not equal to 1";
            CV_FATAL("%s", text.str().c_str());
        }
        if (squeezed[a]) CV_FATAL("GetSqueezeShape: Axis %d is given more than once", a);
        squeezed[a] = true;
    }

    TensorShape out = ZeroShape();
    uint32_t m = 0;
    for (uint32_t d = 0; d < rank; ++d)
        if (!squeezed[d]) out.dimension[m++] = data->shape.dimension[d];
    return out;
}

TensorShape GetUnsqueezeShape(Tensor** tensors, uint32_t tensorsNum)
{
    if (tensorsNum != 2) CV_FATAL("GetUnsqueezeShape: tensors number must be equal 2. Current value: %d", tensorsNum);
    CV_CHECK_PTR(tensors);
    const Tensor* data = tensors[0];
    const uint32_t rank = CheckedRank(data, "GetUnsqueezeShape", "data");
    const std::vector<int32_t> axisV = ReadInt32Values(tensors[1], "GetUnsqueezeShape", "axes");
    const uint64_t outRank = (uint64_t)rank + axisV.size();
    if (outRank > MAX_NDIM_VALUE)
        CV_FATAL("GetUnsqueezeShape: Result axes dimensions number (%d) is greater then MAX_NDIM_VALUE", (int)outRank);

    uint32_t dims[MAX_NDIM_VALUE];
    uint32_t cur = rank;
    for (uint32_t d = 0; d < rank; ++d) dims[d] = data->shape.dimension[d];
    for (int32_t p : axisV) {
        // -1 appends; other negative positions count back from one past the
        // end of the shape built so far, in the same way.
        const int64_t pos = p < 0 ? (int64_t)p + cur + 1 : p;
        if (pos < 0 || pos > (int64_t)cur)
            CV_FATAL("GetUnsqueezeShape: Axis %d is out of range for a shape of %u dimensions", p, cur);
        for (uint32_t d = cur; d > (uint32_t)pos; --d) dims[d] = dims[d - 1];
        dims[pos] = 1;
        ++cur;
    }
    TensorShape out = ZeroShape();
    for (uint32_t d = 0; d < cur; ++d) out.dimension[d] = dims[d];
    return out;
}

TensorShape GetRangeShape(Tensor** tensors, uint32_t tensorsNum)
{
    if (tensorsNum != 3) CV_FATAL("GetRangeShape: tensors number must be equal 3. Current value: %d", tensorsNum);
    CV_CHECK_PTR(tensors);
    static const char* const names[3] = {"start", "limit", "delta"};
    for (uint32_t i = 0; i < 3; ++i) {
        CheckedRank(tensors[i], "GetRangeShape", names[i]);
        if (tensors[i]->data == nullptr || GetTensorSize(tensors[i]) == 0)
            CV_FATAL("GetRangeShape: %s tensor holds no value", names[i]);
    }
    if (tensors[0]->dtype != tensors[1]->dtype || tensors[0]->dtype != tensors[2]->dtype)
        CV_FATAL("GetRangeShape: Inputs data type is not equal");
    if (tensors[0]->dtype != DT_FLOAT32 && tensors[0]->dtype != DT_INT32)
        CV_FATAL("GetRangeShape: Unsupported inputs data type %s", DataTypeToStr((DataType)tensors[0]->dtype));

    const float start = ReadScalarAsFloat(tensors[0]);
    const float limit = ReadScalarAsFloat(tensors[1]);
    const float delta = ReadScalarAsFloat(tensors[2]);
    if (!((start < limit && delta > 0.0f) || (start > limit && delta < 0.0f)))
        CV_FATAL("GetRangeShape: Wrong start (%f), limit (%f), delta (%f) parameters", start, limit, delta);
    float count = ceilf((limit - start) / delta);
    if (count < 0.0f) count = 0.0f;
    if (count == 0.0f) CV_FATAL("GetRangeShape: Number of elements is 0");
    if (!(count <= 4294967040.0f)) CV_FATAL("GetRangeShape: Number of elements (%f) is too large", count);

    TensorShape out = ZeroShape();
    out.dimension[0] = (uint32_t)count;
    return out;
}

TensorShape GetReduceShape(const Tensor* input, const uint32_t* axes, uint32_t axesNum, bool keepdims)
{
    const uint32_t rank = CheckedRank(input, "GetReduceShape", "input");
    if (axesNum > rank)
        CV_FATAL("GetReduceShape: Number of axes (%i) for ReduceMean operation is greater than input tensor rank (%i)",
                 (int)axesNum, (int)rank);
    if (axesNum > 0) CV_CHECK_PTR(axes);
    for (uint32_t k = 0; k < axesNum; ++k)
        if (axes[k] >= MAX_NDIM_VALUE || (k > 0 && axes[k] <= axes[k - 1]))
            CV_FATAL("GetReduceShape: Wrong axes order");
    for (uint32_t k = 0; k < axesNum; ++k)
        if (axes[k] >= rank) CV_FATAL("GetReduceShape: Axis %u is out of input tensor rank (%u)", axes[k], rank);

    TensorShape out = ZeroShape();
    if (axesNum == 0) {
        if (keepdims)
            for (uint32_t d = 0; d < rank; ++d) out.dimension[d] = 1;
        else
            out.dimension[0] = 1;
        return out;
    }
    bool reduced[MAX_NDIM_VALUE] = {};
    for (uint32_t k = 0; k < axesNum; ++k) reduced[axes[k]] = true;
    uint32_t m = 0;
    for (uint32_t d = 0; d < rank; ++d) {
        if (keepdims)
            out.dimension[m++] = reduced[d] ? 1 : input->shape.dimension[d];
        else if (!reduced[d])
            out.dimension[m++] = input->shape.dimension[d];
    }
    return out;
}

TensorShape GetArgMaxShape(const Tensor* input, int32_t axis, bool keepdims)
{
    const uint32_t rank = CheckedRank(input, "GetArgMaxShape", "input");
    const int32_t a = NormalisedAxis(axis, rank);
    if (a < 0 || a >= (int32_t)rank) CV_FATAL("GetArgMaxShape: axis %d is out of input tensor rank %u", axis, rank);
    TensorShape out = ZeroShape();
    if (keepdims) {
        out = input->shape;
        for (uint32_t d = rank; d < MAX_NDIM_VALUE; ++d) out.dimension[d] = 0;
        out.dimension[a] = 1;
        return out;
    }
    if (rank == 1) {
        out.dimension[0] = 1;
        return out;
    }
    uint32_t m = 0;
    for (uint32_t d = 0; d < rank; ++d)
        if (d != (uint32_t)a) out.dimension[m++] = input->shape.dimension[d];
    return out;
}

void ParseEinSumExpression(char* expression, uint32_t* leftCount, uint32_t* rightCount, uint32_t* resultCount,
                           char* left, char* right, char* result)
{
    CV_CHECK_PTR(expression);
    CV_CHECK_PTR(leftCount);
    CV_CHECK_PTR(rightCount);
    CV_CHECK_PTR(resultCount);
    CV_CHECK_PTR(left);
    CV_CHECK_PTR(right);
    CV_CHECK_PTR(result);
    static const char* const fn = "ParseEinSumExpression";

    char* w = expression;
    for (const char* r = expression; *r != '\0'; ++r)
        if (!isspace((unsigned char)*r)) *w++ = *r;
    *w = '\0';

    char* comma = strchr(expression, ',');
    char* dash = strchr(expression, '-');
    if (comma == nullptr || dash == nullptr || dash < comma) CV_FATAL("%s: Invalid expression format.\n", fn);
    char* second = strchr(comma + 1, ',');
    if (second != nullptr && second < dash) CV_FATAL("%s: Only two operands are supported.\n", fn);

    // The character after '-' (the '>' of "->") is skipped unread.
    const char* resultBegin = dash[1] != '\0' ? dash + 2 : dash + 1;
    struct Term {
        const char* begin;
        size_t length;
        const char* side;
        char* buffer;
        uint32_t* count;
    } terms[3] = {
        {expression, (size_t)(comma - expression), "left", left, leftCount},
        {comma + 1, (size_t)(dash - comma - 1), "right", right, rightCount},
        {resultBegin, strlen(resultBegin), "result", result, resultCount},
    };
    for (const Term& t : terms) {
        if (t.length > MAX_NDIM_VALUE)
            CV_FATAL("The expression for the %s multiplayer contains more terms (%i)than the maximum permissible "
                     "dimension of the tensor (%i)",
                     t.side, (int)t.length, MAX_NDIM_VALUE);
        for (size_t i = 0; i < t.length; ++i)
            if (!isalpha((unsigned char)t.begin[i])) CV_FATAL("%s: Invalid expression format.\n", fn);
        memcpy(t.buffer, t.begin, t.length);
        t.buffer[t.length] = '\0';
        *t.count = (uint32_t)t.length;
    }
}

TensorShape ComputeEinsumOutputShape(TensorShape shapeA, const char* lettersA, TensorShape shapeB, const char* lettersB,
                                     const char* resultLetters)
{
    CV_CHECK_PTR(lettersA);
    CV_CHECK_PTR(lettersB);
    CV_CHECK_PTR(resultLetters);
    static const char* const fn = "ComputeEinsumOutputShape";
    const size_t nA = strnlen(lettersA, MAX_NDIM_VALUE + 1);
    const size_t nB = strnlen(lettersB, MAX_NDIM_VALUE + 1);
    const size_t nR = strnlen(resultLetters, MAX_NDIM_VALUE + 1);
    if (nA > MAX_NDIM_VALUE || nB > MAX_NDIM_VALUE || nR > MAX_NDIM_VALUE)
        CV_FATAL("%s: A term has more than %d letters.\n", fn, MAX_NDIM_VALUE);

    for (size_t i = 0; i < nA; ++i)
        for (size_t j = 0; j < nB; ++j)
            if (lettersA[i] == lettersB[j] && shapeA.dimension[i] != shapeB.dimension[j])
                CV_FATAL("%s: Dimension mismatch for general index '%c'.\n", fn, lettersA[i]);

    TensorShape out = ZeroShape();
    for (size_t r = 0; r < nR; ++r) {
        const char c = resultLetters[r];
        const char* inA = (const char*)memchr(lettersA, c, nA);
        const char* inB = (const char*)memchr(lettersB, c, nB);
        uint32_t dim;
        if (inA != nullptr)
            dim = shapeA.dimension[inA - lettersA];
        else if (inB != nullptr)
            dim = shapeB.dimension[inB - lettersB];
        else
            CV_FATAL("%s: Result index '%c' occurs in neither operand.\n", fn, c);
        out.dimension[r] = dim == 0 ? 1 : dim;
    }
    return out;
}

TensorShape NonZeroOutputShape(const Tensor* input)
{
    const uint32_t rank = CheckedRank(input, "NonZeroOutputShape", "input");
    CV_CHECK(IsSerialData(input));
    const uint32_t n = GetTensorSize(input);
    uint32_t count = 0;
    if (n > 0) {
        CV_CHECK_PTR(input->data);
        switch (input->dtype) {
        case DT_FLOAT32: {
            const float* p = (const float*)input->data;
            for (uint32_t i = 0; i < n; ++i) count += p[i] != 0.0f;
            break;
        }
        case DT_FLOAT16: {
            const uint16_t* p = (const uint16_t*)input->data;
            for (uint32_t i = 0; i < n; ++i) count += p[i] != 0;
            break;
        }
        case DT_INT32:
        case DT_UINT32: {
            const uint32_t* p = (const uint32_t*)input->data;
            for (uint32_t i = 0; i < n; ++i) count += p[i] != 0;
            break;
        }
        default:
            CV_FATAL("%s: unsupported data type", "NonZeroOutputShape");
        }
    }
    TensorShape out = ZeroShape();
    out.dimension[0] = rank;
    out.dimension[1] = count;
    return out;
}

/* ---- Element access ------------------------------------------------------ */

void SetTensorDataValueFP32(Tensor* tensor, const uint32_t* index, float value)
{
    CheckedRank(tensor, "SetTensorDataValueFP32", "target");
    CV_CHECK(tensor->dtype == DT_FLOAT32);
    CV_CHECK_PTR(tensor->data);
    if (tensor->ndim > 0) CV_CHECK_PTR(index);
    memcpy((uint8_t*)tensor->data + ElementOffset(tensor, index, "SetTensorDataValueFP32"), &value, sizeof(float));
}

float GetTensorDataValueFP32(const Tensor* tensor, const uint32_t* index)
{
    CheckedRank(tensor, "GetTensorDataValueFP32", "source");
    CV_CHECK(tensor->dtype == DT_FLOAT32);
    CV_CHECK_PTR(tensor->data);
    if (tensor->ndim > 0) CV_CHECK_PTR(index);
    float value;
    memcpy(&value, (const uint8_t*)tensor->data + ElementOffset(tensor, index, "GetTensorDataValueFP32"),
           sizeof(float));
    return value;
}

uint32_t GetTensorDataValueUint32(const Tensor* tensor, const uint32_t* index)
{
    CheckedRank(tensor, "GetTensorDataValueUint32", "source");
    CV_CHECK(tensor->dtype == DT_UINT32);
    CV_CHECK_PTR(tensor->data);
    if (tensor->ndim > 0) CV_CHECK_PTR(index);
    uint32_t value;
    memcpy(&value, (const uint8_t*)tensor->data + ElementOffset(tensor, index, "GetTensorDataValueUint32"),
           sizeof(uint32_t));
    return value;
}

void GetPositionByIndex(TensorShape shape, uint32_t rank, uint32_t index, uint32_t* position)
{
    CV_CHECK_PTR(position);
    if (rank > MAX_NDIM_VALUE) CV_FATAL("GetPositionByIndex: rank %u is greater than %d", rank, MAX_NDIM_VALUE);
    if (rank == 0) {
        if (index != 0) CV_FATAL("Index %d does not match the shape", index);
        return;
    }
    uint32_t rest = index;
    for (uint32_t d = rank - 1; d > 0; --d) {
        const uint32_t dim = shape.dimension[d];
        if (dim == 0) CV_FATAL("Index %d does not match the shape", index);
        position[d] = rest % dim;
        rest /= dim;
    }
    if (rest >= shape.dimension[0]) CV_FATAL("Index %d does not match the shape", index);
    position[0] = rest;
}

/* ---- Statistics ---------------------------------------------------------- */

float TensorMaxValueFP32(const Tensor* tensor)
{
    CheckedRank(tensor, "TensorMaxValueFP32", "input");
    CV_CHECK(tensor->dtype == DT_FLOAT32);
    if (!IsSerialData(tensor)) CV_FATAL("Not realized yet");
    const uint32_t n = GetTensorSize(tensor);
    if (n == 0) CV_FATAL("TensorMaxValueFP32: tensor has no elements");
    CV_CHECK_PTR(tensor->data);
    const float* p = (const float*)tensor->data;
    float best = p[0];
    for (uint32_t i = 1; i < n; ++i)
        if (p[i] > best) best = p[i];
    return best;
}

float TensorMinValueFP32(const Tensor* tensor)
{
    CheckedRank(tensor, "TensorMinValueFP32", "input");
    CV_CHECK(tensor->dtype == DT_FLOAT32);
    if (!IsSerialData(tensor)) CV_FATAL("Not realized yet");
    const uint32_t n = GetTensorSize(tensor);
    if (n == 0) CV_FATAL("TensorMinValueFP32: tensor has no elements");
    CV_CHECK_PTR(tensor->data);
    const float* p = (const float*)tensor->data;
    float best = p[0];
    for (uint32_t i = 1; i < n; ++i)
        if (p[i] < best) best = p[i];
    return best;
}

float TensorDataSumFP32(const Tensor* tensor)
{
    CV_CHECK_PTR(tensor);
    const uint32_t ndim = tensor->ndim;
    CV_CHECK(ndim <= 4 && ndim > 0);
    for (uint32_t d = 0; d < ndim; ++d)
        if (tensor->shape.dimension[d] == 0) return 0.0f;
    CV_CHECK_PTR(tensor->data);

    // Other element types are summed from a dense float32 copy.
    std::unique_ptr<Tensor, decltype(&DestroyTensor)> converted(nullptr, &DestroyTensor);
    const Tensor* src = tensor;
    if (tensor->dtype != DT_FLOAT32) {
        converted.reset(CreateTensor(DT_FLOAT32, DL_NONE, ndim, tensor->shape, true));
        TensorDataConvert(converted.get(), tensor);
        src = converted.get();
    }

    uint32_t dims[4];
    size_t strides[4];
    PaddedView(src, 4, dims, strides);
    for (size_t& s : strides) s /= sizeof(float);
    const float* base = (const float*)src->data;
    const size_t s3 = strides[3];
    float sum = 0.0f;
    for (uint32_t i0 = 0; i0 < dims[0]; ++i0) {
        const float* p0 = base + i0 * strides[0];
        for (uint32_t i1 = 0; i1 < dims[1]; ++i1) {
            const float* p1 = p0 + i1 * strides[1];
            for (uint32_t i2 = 0; i2 < dims[2]; ++i2) {
                const float* row = p1 + i2 * strides[2];
                if (s3 == 1)
                    for (uint32_t i3 = 0; i3 < dims[3]; ++i3) sum += row[i3];
                else
                    for (uint32_t i3 = 0; i3 < dims[3]; ++i3) sum += row[i3 * s3];
            }
        }
    }
    return sum;
}

/* ---- Ordering ------------------------------------------------------------ */

Tensor* ArgSort(const Tensor* tensor)
{
    CheckSortInput(tensor);
    const uint32_t n = tensor->shape.dimension[0];
    const uint32_t s = tensor->stride.dimension[0];
    std::vector<float> values(n);
    for (uint32_t i = 0; i < n; ++i) values[i] = ((const float*)tensor->data)[(size_t)i * s];

    Tensor* out = CreateIndexTensor(n);
    uint32_t* idx = (uint32_t*)out->data;
    for (uint32_t i = 0; i < n; ++i) idx[i] = i;
    for (uint32_t gap = n / 2; gap > 0; gap /= 2) {
        for (uint32_t i = gap; i < n; ++i) {
            for (int64_t j = (int64_t)i - gap; j >= 0 && values[j] > values[j + gap]; j -= gap) {
                float v = values[j];
                values[j] = values[j + gap];
                values[j + gap] = v;
                uint32_t t = idx[j];
                idx[j] = idx[j + gap];
                idx[j + gap] = t;
            }
        }
    }
    return out;
}

Tensor* ArgSortPositive(const Tensor* tensor)
{
    CheckSortInput(tensor);
    std::vector<uint64_t> keys = MakeKeys(tensor);
    if (keys.size() > 1) {
        // Signed comparison of the keys matches float order for non-negative values.
        std::vector<int64_t> signedKeys(keys.size());
        memcpy(signedKeys.data(), keys.data(), keys.size() * sizeof(int64_t));
        QuickSortSigned(signedKeys.data(), 0, (int64_t)signedKeys.size() - 1);
        memcpy(keys.data(), signedKeys.data(), keys.size() * sizeof(int64_t));
    }
    return IndicesFromKeys(keys);
}

Tensor* ArgSortPositiveAsm(const Tensor* tensor)
{
    CheckSortInput(tensor);
    std::vector<uint64_t> keys = MakeKeys(tensor);
    if (keys.size() > 1) {
        std::vector<uint64_t> equal(keys.size()), greater(keys.size());
        StableQuickSortHigh(keys.data(), keys.size(), equal.data(), greater.data());
    }
    return IndicesFromKeys(keys);
}

int compare_int64(const void* a, const void* b)
{
    int64_t x, y;
    memcpy(&x, a, sizeof(x));
    memcpy(&y, b, sizeof(y));
    return (x > y) - (x < y);
}

/* ---- Generation and in-place edits -------------------------------------- */

Tensor* LinSpace(uint32_t num, float first, float last)
{
    if (num == 0) CV_FATAL("num must be positive and not zero value");
    TensorShape shape = ZeroShape();
    shape.dimension[0] = num;
    Tensor* out = CreateTensor(DT_FLOAT32, DL_I, 1, shape, true);
    float* v = (float*)out->data;
    if (num == 1) {
        v[0] = first;
        return out;
    }
    const float sign = last <= first ? -1.0f : 1.0f;
    const float step = fabsf(last - first) / (float)(num - 1);
    for (uint32_t i = 0; i < num; ++i) v[i] = fmaf(sign * (float)i, step, first);
    return out;
}

void TruncateTensorFP32(Tensor* tensor, float upper, float lower)
{
    CV_CHECK_PTR(tensor);
    if (tensor->dtype != DT_FLOAT32) CV_FATAL("Tensor data type must be DT_FLOAT32");
    if (!IsSerialData(tensor)) CV_FATAL("Truncate is now supported only for serial data tensors");
    const uint32_t n = GetTensorSize(tensor);
    if (n == 0) return;
    CV_CHECK_PTR(tensor->data);
    float* p = (float*)tensor->data;
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] > upper)
            p[i] = upper;
        else if (p[i] < lower)
            p[i] = lower;
    }
}

/* ---- Concatenation and splitting ---------------------------------------- */

void ConcatTensors(Tensor* output, Tensor** inputs, uint32_t inputsNum, int32_t axis)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(output->data);
    CV_CHECK_PTR(inputs);
    if (inputsNum == 0) CV_FATAL("ConcatTensors: no input tensors");
    const uint32_t ndim = output->ndim;
    CV_CHECK(ndim >= 1 && ndim <= 4);
    const int32_t a = NormalisedAxis(axis, ndim);
    const uint32_t shift = 4 - ndim;
    if (a < 0 || a >= (int32_t)ndim || a + shift == 0)
        CV_FATAL("Unsupported combination of params for Concate function: axis: %d, tensors dimension: %d", axis, ndim);
    const uint32_t va = (uint32_t)a + shift;
    const size_t dtype_size = DataTypeSize((DataType)output->dtype);

    uint32_t output_dims[4];
    size_t output_strides[4];
    PaddedView(output, 4, output_dims, output_strides);
    std::vector<uint32_t> input_dims[4];
    std::vector<size_t> input_strides[4];
    for (uint32_t d = 0; d < 4; ++d) {
        input_dims[d].resize(inputsNum);
        input_strides[d].resize(inputsNum);
    }
    uint64_t axisTotal = 0;
    for (uint32_t n = 0; n < inputsNum; ++n) {
        const Tensor* in = inputs[n];
        if (in == nullptr || in->data == nullptr) CV_FATAL("ConcatTensors: input %u has no data", n);
        if (in->ndim != ndim || in->dtype != output->dtype)
            CV_FATAL("ConcatTensors: input %u must have the output's rank and data type", n);
        uint32_t dims[4];
        size_t strides[4];
        PaddedView(in, 4, dims, strides);
        for (uint32_t d = 0; d < 4; ++d) {
            if (d != va && dims[d] != output_dims[d])
                CV_FATAL("ConcatTensors: input %u differs from the output outside axis %d", n, axis);
            input_dims[d][n] = dims[d];
            input_strides[d][n] = strides[d];
        }
        axisTotal += dims[va];
    }
    if (axisTotal != output_dims[va])
        CV_FATAL("ConcatTensors: inputs sum to %llu along axis %d, the output has %u", (unsigned long long)axisTotal,
                 axis, output_dims[va]);
    // Runs are copied whole, so the innermost elements must be adjacent.
    CV_CHECK(output_strides[3] == dtype_size);
    for (uint32_t n = 0; n < inputsNum; ++n) CV_CHECK(input_strides[3][n] == dtype_size);
    if (va == 2) {
        CV_CHECK(output_strides[2] == output_dims[3] * dtype_size);
        for (uint32_t n = 0; n < inputsNum; ++n) CV_CHECK(input_strides[2][n] == input_dims[3][n] * dtype_size);
    } else if (va == 1) {
        const size_t output_1_axis_stride = (size_t)output_dims[2] * output_dims[3] * dtype_size;
        CV_CHECK(output_strides[1] == output_1_axis_stride);
        for (uint32_t n = 0; n < inputsNum; ++n) {
            const size_t input_1_axis_stride = (size_t)input_dims[2][n] * input_dims[3][n] * dtype_size;
            CV_CHECK(input_strides[1][n] == input_1_axis_stride);
            CV_CHECK(output_strides[1] == input_strides[1][n]);
        }
    }

    // One contiguous run per input and outer position: its extent along the
    // axis times its stride there.
    std::vector<size_t> run(inputsNum);
    std::vector<const uint8_t*> src(inputsNum);
    for (uint32_t n = 0; n < inputsNum; ++n) {
        run[n] = (size_t)input_dims[va][n] * input_strides[va][n];
        src[n] = (const uint8_t*)inputs[n]->data;
    }
    // Outer dimensions are those before the axis; the rest count as 1.
    uint32_t outer[3];
    for (uint32_t d = 0; d < 3; ++d) outer[d] = d < va ? output_dims[d] : 1;
    uint8_t* dst0 = (uint8_t*)output->data;
    for (uint32_t i0 = 0; i0 < outer[0]; ++i0) {
        for (uint32_t i1 = 0; i1 < outer[1]; ++i1) {
            for (uint32_t i2 = 0; i2 < outer[2]; ++i2) {
                uint8_t* dst = dst0 + i0 * output_strides[0] + i1 * output_strides[1] + i2 * output_strides[2];
                for (uint32_t n = 0; n < inputsNum; ++n) {
                    // Indices past the axis stay 0, so their strides drop out.
                    const uint8_t* s =
                        src[n] + i0 * input_strides[0][n] + i1 * input_strides[1][n] + i2 * input_strides[2][n];
                    memcpy(dst, s, run[n]);
                    dst += run[n];
                }
            }
        }
    }
}

void SplitTensor(Tensor** outputs, uint32_t outputsNum, const Tensor* input, int32_t axis)
{
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(input->data);
    CV_CHECK_PTR(outputs);
    if (outputsNum == 0) CV_FATAL("SplitTensor: no output tensors");
    const uint32_t ndim = input->ndim;
    CV_CHECK(ndim >= 1 && ndim <= MAX_NDIM_VALUE);
    const int32_t a = NormalisedAxis(axis, ndim);
    if (a < 0 || a >= (int32_t)ndim) CV_FATAL("SplitTensor: axis %d is out of input tensor rank %u", axis, ndim);
    const uint32_t va = (uint32_t)a + (MAX_NDIM_VALUE - ndim);
    uint32_t inDims[MAX_NDIM_VALUE];
    size_t inStrides[MAX_NDIM_VALUE];
    PaddedView(input, MAX_NDIM_VALUE, inDims, inStrides);
    std::vector<size_t> outStrides((size_t)outputsNum * MAX_NDIM_VALUE);
    uint64_t axisTotal = 0;
    for (uint32_t n = 0; n < outputsNum; ++n) {
        const Tensor* out = outputs[n];
        if (out == nullptr || out->data == nullptr) CV_FATAL("SplitTensor: output %u has no data", n);
        if (out->ndim != ndim || out->dtype != input->dtype)
            CV_FATAL("SplitTensor: output %u must have the input's rank and data type", n);
        uint32_t dims[MAX_NDIM_VALUE];
        size_t* strides = &outStrides[(size_t)n * MAX_NDIM_VALUE];
        PaddedView(out, MAX_NDIM_VALUE, dims, strides);
        for (uint32_t d = 0; d < MAX_NDIM_VALUE; ++d) {
            if (d != va && dims[d] != inDims[d])
                CV_FATAL("SplitTensor: output %u differs from the input outside axis %d", n, axis);
            // Each piece is moved as one block, so its inner layout must be the input's.
            if (d >= va && strides[d] != inStrides[d])
                CV_FATAL("SplitTensor: output %u strides from axis %d inwards differ from the input's", n, axis);
        }
        axisTotal += out->shape.dimension[a];
    }
    if (axisTotal == 0 && inDims[va] > 0) CV_FATAL("SplitTensor: outputs have no extent along axis %d", axis);

    uint64_t outerCount = 1;
    for (uint32_t d = 0; d < va; ++d) outerCount *= inDims[d];
    const uint8_t* in = (const uint8_t*)input->data;
    uint32_t pos = 0;
    for (uint32_t n = 0; pos < inDims[va]; n = (n + 1) % outputsNum) {
        const uint32_t piece = outputs[n]->shape.dimension[a];
        if ((uint64_t)pos + piece > inDims[va])
            CV_FATAL("SplitTensor: output %u runs past the end of the input along axis %d", n, axis);
        const size_t* oStrides = &outStrides[(size_t)n * MAX_NDIM_VALUE];
        const size_t block = (size_t)piece * oStrides[va];
        const uint8_t* srcBase = in + pos * inStrides[va];
        uint8_t* dstBase = (uint8_t*)outputs[n]->data;
        // Walk the outer positions as an odometer, updating both offsets
        // incrementally.
        uint32_t counter[MAX_NDIM_VALUE] = {};
        size_t srcOff = 0, dstOff = 0;
        for (uint64_t it = 0; it < outerCount; ++it) {
            memcpy(dstBase + dstOff, srcBase + srcOff, block);
            for (int d = (int)va - 1; d >= 0; --d) {
                if (++counter[d] < inDims[d]) {
                    srcOff += inStrides[d];
                    dstOff += oStrides[d];
                    break;
                }
                counter[d] = 0;
                srcOff -= (size_t)(inDims[d] - 1) * inStrides[d];
                dstOff -= (size_t)(inDims[d] - 1) * oStrides[d];
            }
        }
        pos += piece;
    }
}

}  // extern "C"
