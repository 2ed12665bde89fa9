#define CORVUS_MODULE "Layers"
#include "LayersResize.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "LayersInternal.h"
#include "Report.h"

namespace {

// Output extents are sums and products of caller values: refuse any that a
// tensor cannot describe rather than let them wrap.
void CheckOutputShape(const char* fn, const uint64_t* dims, uint32_t ndim, TensorShape* shape)
{
    uint64_t elements = 1;
    memset(shape, 0, sizeof(*shape));
    for (uint32_t k = 0; k < ndim; ++k) {
        if (dims[k] > UINT32_MAX)
            CV_FATAL("%s: output dimension %u is too large (%llu)", fn, k, (unsigned long long)dims[k]);
        elements *= dims[k];
        if (elements > UINT32_MAX)
            CV_FATAL("%s: the output would hold more than %u elements", fn, (unsigned)UINT32_MAX);
        shape->dimension[k] = (uint32_t)dims[k];
    }
}

// Rank 4, the layout given when the input has none, and channels-last.
Tensor* CheckImageInput(Layer* layer, DataLayout layout)
{
    Tensor* inTensor = layer->kernel->input[0];
    if (inTensor->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)inTensor->ndim);
    if (inTensor->layout == DL_NONE)
        inTensor->layout = layout;
    else
        CV_CHECK(inTensor->layout == layout);
    return inTensor;
}

}  // namespace

extern "C" Layer* AddZeroPadding2DLayer(Layer* layer, Tensor* tensor, const char* name, DataLayout layout, uint32_t top,
                                        uint32_t bottom, uint32_t left, uint32_t right)
{
    Layer* zp = CreateSingleInputLayer(name, OP_ZeroPadding2D, layer, tensor, 0);
    NNKernel* kernel = zp->kernel;
    const Tensor* inTensor = CheckImageInput(zp, layout);
    CV_CHECK(inTensor->layout == DL_NHWC);

    ZeroPaddingParams* params;
    CV_CHECK_PTR(params = (ZeroPaddingParams*)malloc(sizeof(ZeroPaddingParams)));
    kernel->params = params;
    params->top = top;
    params->left = left;
    params->bottom = bottom;
    params->right = right;

    const TensorShape& in = inTensor->shape;
    const uint64_t dims[4] = {in.NHWC.batch, (uint64_t)in.NHWC.height + top + bottom,
                              (uint64_t)in.NHWC.width + left + right, in.NHWC.channels};
    TensorShape shape;
    CheckOutputShape("AddZeroPadding2DLayer", dims, 4, &shape);
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NHWC, 4, shape, false);
    return zp;
}

extern "C" Layer* AddUpSampling2DLayer(Layer* layer, Tensor* tensor, const char* name, DataLayout layout,
                                       uint32_t sizeH, uint32_t sizeW)
{
    Layer* up = CreateSingleInputLayer(name, OP_UpSampling2D, layer, tensor, 0);
    NNKernel* kernel = up->kernel;
    const Tensor* inTensor = CheckImageInput(up, layout);
    CV_CHECK(inTensor->layout == DL_NHWC);
    CV_CHECK(sizeH > 0 && sizeW > 0);

    UpSampling2DParams* params;
    CV_CHECK_PTR(params = (UpSampling2DParams*)malloc(sizeof(UpSampling2DParams)));
    kernel->params = params;
    params->sizeH = sizeH;
    params->sizeW = sizeW;

    const TensorShape& in = inTensor->shape;
    const uint64_t dims[4] = {in.NHWC.batch, (uint64_t)in.NHWC.height * sizeH, (uint64_t)in.NHWC.width * sizeW,
                              in.NHWC.channels};
    TensorShape shape;
    CheckOutputShape("AddUpSampling2DLayer", dims, 4, &shape);
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NHWC, 4, shape, false);
    return up;
}

extern "C" Layer* AddResizeLayer(Layer* layer, Tensor* tensor, const float* scale_factors, uint32_t count,
                                 const char* name, uint32_t mode)
{
    Layer* rs = CreateSingleInputLayer(name, OP_Resize, layer, tensor, 0);
    NNKernel* kernel = rs->kernel;
    const Tensor* inTensor = kernel->input[0];
    if (count != inTensor->ndim) CV_FATAL("Incorrect axis length in Resize Layer");
    CV_CHECK_PTR(scale_factors);

    ResizeParams* params;
    CV_CHECK_PTR(params = (ResizeParams*)malloc(sizeof(ResizeParams)));
    kernel->params = params;
    for (uint32_t k = 0; k < MAX_NDIM_VALUE; ++k) params->scales[k] = k < count ? scale_factors[k] : 1.0f;
    params->mode = mode;

    uint64_t dims[MAX_NDIM_VALUE];
    for (uint32_t k = 0; k < count; ++k) {
        // The product is rounded to float32 before truncation.
        const float extent = (float)inTensor->shape.dimension[k] * scale_factors[k];
        if (!(extent >= 0.0f) || !(extent < 4294967296.0f))
            CV_FATAL("AddResizeLayer: scale %g of dimension %u gives no valid output size", (double)scale_factors[k],
                     k);
        dims[k] = (uint64_t)extent;
    }
    TensorShape shape;
    CheckOutputShape("AddResizeLayer", dims, count, &shape);
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, (DataLayout)inTensor->layout, count, shape, false);
    return rs;
}

extern "C" Layer* AddPadLayer(Layer* layer, Tensor* tensor, const char* name, const uint32_t* pads, uint32_t mode,
                              float value)
{
    Layer* pad = CreateSingleInputLayer(name, OP_Pad, layer, tensor, 0);
    NNKernel* kernel = pad->kernel;
    const Tensor* inTensor = kernel->input[0];
    const uint32_t ndim = inTensor->ndim;
    if (ndim > 0 && pads == nullptr) CV_FATAL("AddPadLayer: pads pointer is NULL");

    PadParams* params = (PadParams*)calloc(1, sizeof(PadParams));
    if (params == nullptr) CV_FATAL("AddPadLayer: Params pointer is NULL");
    kernel->params = params;
    for (uint32_t k = 0; k < 2 * ndim; ++k) params->pads[k] = pads[k];
    params->mode = mode;
    params->value = value;

    uint64_t dims[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d < ndim; ++d) dims[d] = (uint64_t)pads[d] + inTensor->shape.dimension[d] + pads[ndim + d];
    TensorShape shape;
    CheckOutputShape("AddPadLayer", dims, ndim, &shape);
    kernel->output[0] = CreateTensor((DataType)inTensor->dtype, DL_NONE, ndim, shape, false);
    return pad;
}
