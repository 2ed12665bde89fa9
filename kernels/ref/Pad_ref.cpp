#define CORVUS_MODULE "Pad_ref"
#include <cstring>
#include <vector>

#include "DataTypeConvert.h"
#include "LayersResize.h"
#include "Report.h"

namespace {

void CheckKernel(const NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CV_CHECK_PTR(kernel->params);
    CV_CHECK(kernel->inputsNum >= 1 && kernel->outputsNum >= 1);
    CV_CHECK_PTR(kernel->input[0]);
    CV_CHECK_PTR(kernel->output[0]);
}

void CheckData(const Tensor* output, const Tensor* input)
{
    if (GetTensorSize(output) != 0) CV_CHECK_PTR(output->data);
    if (GetTensorSize(input) != 0) CV_CHECK_PTR(input->data);
}

// Channels are moved as contiguous runs.
void CheckChannelsAdjacent(const Tensor* t)
{
    CV_CHECK_MSG(t->stride.NHWC.channels_stride == 1, "channels of a %ux%ux%ux%u image must be adjacent",
                 t->shape.NHWC.batch, t->shape.NHWC.height, t->shape.NHWC.width, t->shape.NHWC.channels);
}

// ---- Pad ------------------------------------------------------------------

// Copies `count` elements between float32/float16 arrays, converting when
// the element types differ.
void CopyRow(void* dst, DataType dstType, const void* src, DataType srcType, uint32_t count)
{
    if (dstType == srcType)
        memcpy(dst, src, (size_t)count * DataTypeSize(dstType));
    else if (dstType == DT_FLOAT16)
        float32_to_float16((const float*)src, (uint16_t*)dst, count);
    else
        float16_to_float32((const uint16_t*)src, (float*)dst, count);
}

// Constant padding between tensors of one element type in one pass over the
// dense output: each output row (last dimension) is the input row between
// its pads, or all pad; runs of pad cells are filled at once.
void PadConstantRows(Tensor* output, const Tensor* input, const uint32_t* begins, float value)
{
    const uint32_t ndim = input->ndim, last = ndim - 1;
    const size_t es = DataTypeSize((DataType)output->dtype);
    uint16_t half = 0;
    if (es == sizeof(uint16_t)) float32_to_float16(&value, &half, 1);
    uint8_t* out = (uint8_t*)output->data;
    const uint8_t* in = (const uint8_t*)input->data;
    uint64_t pending = 0;  // pad cells before `out` still to fill
    auto flush = [&]() {
        uint8_t* start = out - pending * es;
        if (value == 0.0f)
            memset(start, 0, pending * es);
        else if (es == sizeof(float))
            for (uint64_t e = 0; e < pending; ++e) ((float*)start)[e] = value;
        else
            for (uint64_t e = 0; e < pending; ++e) ((uint16_t*)start)[e] = half;
        pending = 0;
    };
    const uint32_t rowIn = input->shape.dimension[last], rowOut = output->shape.dimension[last];
    uint64_t rows = 1;
    for (uint32_t d = 0; d < last; ++d) rows *= output->shape.dimension[d];
    uint32_t index[MAX_NDIM_VALUE] = {0};
    for (uint64_t r = 0; r < rows; ++r) {
        bool inside = rowIn > 0;
        for (uint32_t d = 0; inside && d < last; ++d)
            inside = index[d] >= begins[d] && index[d] - begins[d] < input->shape.dimension[d];
        if (inside) {
            pending += begins[last];
            out += (size_t)begins[last] * es;
            flush();
            memcpy(out, in, (size_t)rowIn * es);
            in += (size_t)rowIn * es;
            out += (size_t)rowIn * es;
            pending = rowOut - begins[last] - rowIn;
            out += pending * es;
        } else {
            pending += rowOut;
            out += (size_t)rowOut * es;
        }
        for (int d = (int)last - 1; d >= 0; --d) {
            if (++index[d] < output->shape.dimension[d]) break;
            index[d] = 0;
        }
    }
    flush();
}

// Writes every input row (last dimension) into the dense output at the
// offsets given by the begin pads.
void InsertValues(Tensor* output, const Tensor* input, const uint32_t* begins)
{
    const uint32_t ndim = input->ndim;
    const DataType inType = (DataType)input->dtype, outType = (DataType)output->dtype;
    const size_t inSize = DataTypeSize(inType), outSize = DataTypeSize(outType);
    if (ndim == 0) {
        CopyRow(output->data, outType, input->data, inType, 1);
        return;
    }
    const uint32_t last = ndim - 1;
    const uint32_t rowLength = input->shape.dimension[last];
    uint64_t rows = 1;
    for (uint32_t d = 0; d < last; ++d) rows *= input->shape.dimension[d];
    if (rows == 0 || rowLength == 0) return;

    uint32_t index[MAX_NDIM_VALUE] = {0};
    uint64_t outOffset = begins[last];
    for (uint32_t d = 0; d < last; ++d) outOffset += (uint64_t)begins[d] * output->stride.dimension[d];
    const uint8_t* in = (const uint8_t*)input->data;
    uint8_t* out = (uint8_t*)output->data;
    for (uint64_t r = 0; r < rows; ++r) {
        CopyRow(out + outOffset * outSize, outType, in + r * rowLength * inSize, inType, rowLength);
        // Odometer over the outer dimensions, innermost first.
        for (int d = (int)last - 1; d >= 0; --d) {
            outOffset += output->stride.dimension[d];
            if (++index[d] < input->shape.dimension[d]) break;
            outOffset -= (uint64_t)index[d] * output->stride.dimension[d];
            index[d] = 0;
        }
    }
}

// Mirrors the pads of dimension d for every outer position inside the
// inserted block; slices along d are whole (already padded) inner blocks.
void ReflectDimension(Tensor* output, const Tensor* input, const uint32_t* begins, const uint32_t* ends, uint32_t d)
{
    const uint32_t begin = begins[d], end = ends[d];
    if (begin == 0 && end == 0) return;
    const size_t elem = DataTypeSize((DataType)output->dtype);
    const size_t slice = (size_t)output->stride.dimension[d] * elem;
    const uint64_t last = (uint64_t)begin + input->shape.dimension[d] - 1;
    uint64_t blocks = 1;
    for (uint32_t k = 0; k < d; ++k) blocks *= input->shape.dimension[k];

    uint32_t index[MAX_NDIM_VALUE] = {0};
    uint64_t base = 0;  // element offset of the outer position
    for (uint32_t k = 0; k < d; ++k) base += (uint64_t)begins[k] * output->stride.dimension[k];
    uint8_t* out = (uint8_t*)output->data;
    for (uint64_t b = 0; b < blocks; ++b) {
        uint8_t* row = out + base * elem;
        for (uint32_t k = 1; k <= begin; ++k) memcpy(row + (begin - k) * slice, row + (begin + k) * slice, slice);
        for (uint32_t k = 1; k <= end; ++k) memcpy(row + (last + k) * slice, row + (last - k) * slice, slice);
        for (int k = (int)d - 1; k >= 0; --k) {
            base += output->stride.dimension[k];
            if (++index[k] < input->shape.dimension[k]) break;
            base -= (uint64_t)index[k] * output->stride.dimension[k];
            index[k] = 0;
        }
    }
}

void FillConstant(Tensor* output, float value)
{
    const uint32_t count = GetTensorSize(output);
    if (value == 0.0f) {
        memset(output->data, 0, (size_t)count * DataTypeSize((DataType)output->dtype));
    } else if (output->dtype == DT_FLOAT32) {
        float* out = (float*)output->data;
        for (uint32_t e = 0; e < count; ++e) out[e] = value;
    } else {
        uint16_t half;
        float32_to_float16(&value, &half, 1);
        uint16_t* out = (uint16_t*)output->data;
        for (uint32_t e = 0; e < count; ++e) out[e] = half;
    }
}

// ---- Up-sampling ------------------------------------------------------------

// Each input row becomes the first output row of its block (every pixel
// repeated sizeW times), which is then copied sizeH - 1 times.
void UpSampleRows(const Tensor* input, Tensor* output, uint32_t sizeH, uint32_t sizeW)
{
    const uint32_t N = input->shape.NHWC.batch, H = input->shape.NHWC.height, W = input->shape.NHWC.width;
    const size_t elem = DataTypeSize((DataType)input->dtype);
    const size_t pixelBytes = (size_t)input->shape.NHWC.channels * elem;
    const TensorStrides& is = input->stride;
    const TensorStrides& os = output->stride;
    const uint8_t* in = (const uint8_t*)input->data;
    uint8_t* out = (uint8_t*)output->data;
    const uint64_t outW = (uint64_t)W * sizeW;
    const size_t inPx = is.NHWC.width_stride * elem, outPx = os.NHWC.width_stride * elem;
    const bool outRowDense = os.NHWC.width_stride == output->shape.NHWC.channels;
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t h = 0; h < H; ++h) {
            const uint8_t* src = in + (n * (uint64_t)is.NHWC.batch_stride + h * (uint64_t)is.NHWC.height_stride) * elem;
            uint8_t* first =
                out + (n * (uint64_t)os.NHWC.batch_stride + (uint64_t)h * sizeH * os.NHWC.height_stride) * elem;
            uint8_t* dst = first;
            for (uint32_t w = 0; w < W; ++w, src += inPx)
                for (uint32_t r = 0; r < sizeW; ++r, dst += outPx) memcpy(dst, src, pixelBytes);
            for (uint32_t r = 1; r < sizeH; ++r) {
                uint8_t* row = first + r * (uint64_t)os.NHWC.height_stride * elem;
                if (outRowDense) {
                    memcpy(row, first, outW * pixelBytes);
                } else {
                    for (uint64_t w = 0; w < outW; ++w) memcpy(row + w * outPx, first + w * outPx, pixelBytes);
                }
            }
        }
}

}  // namespace

extern "C" {

void Execute_ZeroPadding_ref(NNKernel* kernel)
{
    CheckKernel(kernel);
    const ZeroPaddingParams* p = (const ZeroPaddingParams*)kernel->params;
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    CV_CHECK(input->ndim == 4 && output->ndim == 4);
    CV_CHECK(input->stride.NHWC.height_stride == input->stride.NHWC.width_stride * input->shape.NHWC.width);
    CV_CHECK(input->stride.NHWC.batch_stride == input->stride.NHWC.height_stride * input->shape.NHWC.height);
    CV_CHECK(output->stride.NHWC.height_stride == output->stride.NHWC.width_stride * output->shape.NHWC.width);
    CV_CHECK(output->stride.NHWC.batch_stride == output->stride.NHWC.height_stride * output->shape.NHWC.height);
    // Rows of W*C elements are copied whole.
    CV_CHECK(input->stride.NHWC.width_stride == input->shape.NHWC.channels);
    CV_CHECK(output->stride.NHWC.width_stride == output->shape.NHWC.channels);
    CheckChannelsAdjacent(input);
    CheckChannelsAdjacent(output);
    CV_CHECK(input->dtype == output->dtype);
    const TensorShape& is = input->shape;
    const TensorShape& os = output->shape;
    if (os.NHWC.batch != is.NHWC.batch || os.NHWC.channels != is.NHWC.channels ||
        (uint64_t)os.NHWC.height != (uint64_t)is.NHWC.height + p->top + p->bottom ||
        (uint64_t)os.NHWC.width != (uint64_t)is.NHWC.width + p->left + p->right)
        CV_FATAL("ZeroPadding: output %ux%ux%ux%u does not match input %ux%ux%ux%u padded by (%u, %u, %u, %u)",
                 os.NHWC.batch, os.NHWC.height, os.NHWC.width, os.NHWC.channels, is.NHWC.batch, is.NHWC.height,
                 is.NHWC.width, is.NHWC.channels, p->top, p->left, p->bottom, p->right);
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);

    const size_t elem = DataTypeSize((DataType)output->dtype);
    memset(output->data, 0, (size_t)GetTensorSize(output) * elem);
    const size_t rowBytes = (size_t)is.NHWC.width * is.NHWC.channels * elem;
    const uint8_t* in = (const uint8_t*)input->data;
    uint8_t* out = (uint8_t*)output->data;
    for (uint32_t n = 0; n < is.NHWC.batch; ++n)
        for (uint32_t h = 0; h < is.NHWC.height; ++h) {
            const uint64_t src =
                n * (uint64_t)input->stride.NHWC.batch_stride + h * (uint64_t)input->stride.NHWC.height_stride;
            const uint64_t dst = n * (uint64_t)output->stride.NHWC.batch_stride +
                                 (h + (uint64_t)p->top) * output->stride.NHWC.height_stride +
                                 (uint64_t)p->left * output->stride.NHWC.width_stride;
            memcpy(out + dst * elem, in + src * elem, rowBytes);
        }
}

void Execute_UpSampling2D_ref(NNKernel* kernel)
{
    CheckKernel(kernel);
    const UpSampling2DParams* p = (const UpSampling2DParams*)kernel->params;
    const Tensor* input = kernel->input[0];
    Tensor* output = kernel->output[0];
    CV_CHECK(input->ndim == 4 && output->ndim == 4);
    CV_CHECK(input->layout == DL_NHWC);
    CV_CHECK(output->layout == DL_NHWC);
    const uint32_t sizeH = p->sizeH, sizeW = p->sizeW;
    const uint64_t input_height = input->shape.NHWC.height, input_width = input->shape.NHWC.width;
    CV_CHECK(input_height * sizeH == output->shape.NHWC.height);
    CV_CHECK(input_width * sizeW == output->shape.NHWC.width);
    CV_CHECK(input->dtype == output->dtype);
    CV_CHECK(input->shape.NHWC.batch == output->shape.NHWC.batch);
    CV_CHECK(input->shape.NHWC.channels == output->shape.NHWC.channels);
    CheckChannelsAdjacent(input);
    CheckChannelsAdjacent(output);
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);
    UpSampleRows(input, output, sizeH, sizeW);
}

void Pad_floats_ref(Tensor* output, const Tensor* input, const PadParams* params)
{
    CV_CHECK_PTR(output);
    CV_CHECK_PTR(input);
    CV_CHECK_PTR(params);
    if (!IsSerialData(input) || !IsSerialData(output)) CV_FATAL("Internal error: pad kernel doesn't work with strides");
    if (input->dtype != DT_FLOAT32 && input->dtype != DT_FLOAT16)
        CV_FATAL("Pad_ref: wrong input data type, only DT_FLOAT32 and DT_FLOAT16 type supported");
    if (output->dtype != DT_FLOAT32 && output->dtype != DT_FLOAT16)
        CV_FATAL("Pad_ref: wrong output data type, only DT_FLOAT32 and DT_FLOAT16 type supported");

    const uint32_t ndim = input->ndim;
    const uint32_t* begins = params->pads;
    const uint32_t* ends = params->pads + ndim;

    const uint32_t mode = params->mode;
    if (mode == PAD_EDGE) CV_FATAL("Function Pad: Pad method PAD_EDGE does not implemented");
    if (mode != PAD_CONSTANT && mode != PAD_REFLECT) CV_FATAL("Function Pad: Unknown pad method");
    if (mode == PAD_REFLECT) {
        if (ndim > 0 && (begins[0] != 0 || ends[0] != 0))
            CV_FATAL("Function Pad: REFLECT mode for batch dimension is not supported");
        if (ndim > 4) CV_FATAL("Function Pad: REFLECT mode supported only for tensor dimensions number <= 4");
        // A mirror reaches at most size - 1 elements away from the border.
        for (uint32_t d = 1; d < ndim; ++d)
            if (begins[d] >= input->shape.dimension[d] || ends[d] >= input->shape.dimension[d])
                CV_FATAL("Function Pad: REFLECT pads (%u, %u) of dimension %u must be smaller than its size %u",
                         begins[d], ends[d], d, input->shape.dimension[d]);
    }
    bool shapeOk = output->ndim == ndim;
    for (uint32_t d = 0; shapeOk && d < ndim; ++d)
        shapeOk = (uint64_t)output->shape.dimension[d] == (uint64_t)begins[d] + input->shape.dimension[d] + ends[d];
    if (!shapeOk) CV_FATAL("Function Pad: output shape does not match the input shape and the pads");
    if (GetTensorSize(output) == 0) return;
    CheckData(output, input);

    if (mode == PAD_CONSTANT && input->dtype == output->dtype && ndim > 0) {
        PadConstantRows(output, input, begins, params->value);
        return;
    }
    if (mode == PAD_CONSTANT) FillConstant(output, params->value);
    if (GetTensorSize(input) != 0) InsertValues(output, input, begins);
    if (mode == PAD_REFLECT)
        for (uint32_t d = ndim; d-- > 1;) ReflectDimension(output, input, begins, ends, d);
}

void Execute_Pad_ref(NNKernel* kernel)
{
    CheckKernel(kernel);
    Pad_floats_ref(kernel->output[0], kernel->input[0], (const PadParams*)kernel->params);
}

}  // extern "C"

extern "C" const NNKernelFn nn_kernel_fn_ZeroPadding_ref = {Execute_ZeroPadding_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_UpSampling2D_ref = {Execute_UpSampling2D_ref, nullptr, nullptr, nullptr};
extern "C" const NNKernelFn nn_kernel_fn_Pad_ref = {Execute_Pad_ref, nullptr, nullptr, nullptr};
