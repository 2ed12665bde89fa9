#define CORVUS_MODULE "Layers"
#include "LayersDetection.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "LayersInternal.h"
#include "Report.h"

namespace {

TensorShape ZeroShape()
{
    TensorShape shape;
    memset(&shape, 0, sizeof(shape));
    return shape;
}

// Output tensors count their elements in 32 bits; the product of the
// dimensions is formed without overflow.
void CheckElementCount(const char* fn, std::initializer_list<uint64_t> dims)
{
    unsigned __int128 count = 1;
    for (uint64_t d : dims) {
        count *= d;
        if (count > UINT32_MAX) CV_FATAL("%s: the output would hold more than %u elements", fn, UINT32_MAX);
    }
}

}  // namespace

extern "C" Layer* AddAnchorBoxesLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t imgHeight,
                                      uint32_t imgWidth, uint32_t aspectRatiosCount, const float* aspectRatios,
                                      bool twoBoxesForAr1, bool clipBoxes, const float* variances, uint32_t coords,
                                      bool normalizeCoords, float step, float offset, float thisScale, float nextScale)
{
    static const char* const kFn = "AddAnchorBoxesLayer";
    if (aspectRatiosCount == 0 || aspectRatiosCount > MAX_ASPECT_RATIOS_COUNT)
        CV_FATAL("%s: aspect ratio count must be 1 to %d, got %u", kFn, MAX_ASPECT_RATIOS_COUNT, aspectRatiosCount);
    CV_CHECK_PTR(aspectRatios);
    CV_CHECK_PTR(variances);
    // Sizes are fractions of the shorter side, and normalisation divides by both.
    if (imgHeight == 0 || imgWidth == 0)
        CV_FATAL("%s: image height and width must be positive, got %u x %u", kFn, imgHeight, imgWidth);

    Layer* layer = CreateSingleInputLayer(name, OP_AnchorBoxes, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    if (in->ndim != 4) CV_FATAL("input tensor ndim must equal 4. ndim: %d", (int)in->ndim);

    AnchorBoxesParams* params;
    CV_CHECK_PTR(params = (AnchorBoxesParams*)malloc(sizeof(AnchorBoxesParams)));
    memset(params, 0, sizeof(*params));
    kernel->params = params;
    params->imgHeight = imgHeight;
    params->imgWidth = imgWidth;
    params->step = step;
    params->offset = offset;
    params->thisScale = thisScale;
    params->nextScale = nextScale;
    params->aspectRatiosCount = aspectRatiosCount;
    bool hasRatio1 = false;
    for (uint32_t i = 0; i < aspectRatiosCount; ++i) {
        params->aspectRatios[i] = aspectRatios[i];
        hasRatio1 = hasRatio1 || aspectRatios[i] == 1.0f;
    }
    params->twoBoxesForAr1 = twoBoxesForAr1;
    params->clipBoxes = clipBoxes;
    memcpy(params->variances, variances, sizeof(params->variances));
    params->coords = coords;
    params->normalizeCoords = normalizeCoords;
    // One extra box however many ratios equal 1.0.
    params->boxesPerCell = aspectRatiosCount + ((twoBoxesForAr1 && hasRatio1) ? 1 : 0);

    TensorShape shape = ZeroShape();
    for (int d = 0; d < 3; ++d) shape.dimension[d] = in->shape.dimension[d];
    shape.dimension[3] = params->boxesPerCell;
    shape.dimension[4] = 8;
    CheckElementCount(kFn, {shape.dimension[0], shape.dimension[1], shape.dimension[2], params->boxesPerCell, 8});
    kernel->output[0] = CreateTensor(DT_FLOAT32, DL_NONE, 5, shape, false);
    return layer;
}

extern "C" Layer* AddDecodeDetections(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t topK,
                                      uint32_t maxBoxesPerClass, uint32_t coords, bool normalizeCoords,
                                      uint32_t imgHeight, uint32_t imgWidth, float confidenceThreshold,
                                      float iouThreshold)
{
    static const char* const kFn = "AddDecodeDetections";
    Layer* layer = CreateSingleInputLayer(name, OP_DecodeDetections, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* input = kernel->input[0];
    CV_CHECK(input->ndim == 3);
    // Every row ends with 4 offsets, 4 anchor values and 4 variances.
    if (input->shape.dimension[2] < 12)
        CV_FATAL("%s: the last input dimension (%u) must hold the class scores and 12 box values", kFn,
                 input->shape.dimension[2]);

    DecodeDetectionsParams* params = (DecodeDetectionsParams*)malloc(sizeof(DecodeDetectionsParams));
    if (params == nullptr)
        CV_FATAL("params = (DecodeDetectionsParams*)malloc( sizeof(DecodeDetectionsParams))==NULL, expected not "
                 "NULL value");
    memset(params, 0, sizeof(*params));
    kernel->params = params;
    params->confidenceThreshold = confidenceThreshold;
    params->iouThreshold = iouThreshold;
    params->topK = topK;
    params->maxBoxesPerClass = maxBoxesPerClass;
    params->coords = coords;
    params->normalizeCoords = normalizeCoords;
    params->imgHeight = imgHeight;
    params->imgWidth = imgWidth;

    TensorShape shape = ZeroShape();
    shape.dimension[0] = input->shape.dimension[0];
    shape.dimension[1] = topK;
    shape.dimension[2] = 6;
    CheckElementCount(kFn, {shape.dimension[0], topK, 6});
    kernel->output[0] = CreateTensor(DT_FLOAT32, DL_NONE, 3, shape, false);
    return layer;
}

extern "C" Layer* AddNMSYoloLayer(Layer* inputLayer, Tensor* inputTensor, uint32_t maxOutputBoxes, const char* name,
                                  float scoreThreshold, float iouThreshold)
{
    static const char* const kFn = "AddNMSYoloLayer";
    Layer* layer = CreateSingleInputLayer(name, OP_NMSYolo, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* in = kernel->input[0];
    if (in->ndim != 3) CV_FATAL("%s: input tensor ndim must equal 3. ndim: %d", kFn, (int)in->ndim);
    // A row is (cx, cy, w, h, score, ...).
    if (in->shape.dimension[2] < 5)
        CV_FATAL("%s: rows of %u values cannot hold a box and its score", kFn, in->shape.dimension[2]);

    NMSYoloParams* params = (NMSYoloParams*)malloc(sizeof(NMSYoloParams));
    if (params == nullptr) CV_FATAL("AddNMSYoloLayer: Parameters pointer is NULL");
    kernel->params = params;
    params->scoreThreshold = scoreThreshold;
    params->iouThreshold = iouThreshold;

    TensorShape shape = in->shape;
    if (maxOutputBoxes != 0) shape.dimension[1] = maxOutputBoxes;
    CheckElementCount(kFn, {shape.dimension[0], shape.dimension[1], shape.dimension[2]});
    kernel->output[0] = CreateTensor((DataType)in->dtype, (DataLayout)in->layout, 3, shape, false);
    return layer;
}

extern "C" Layer* AddNonMaxSuppressionLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum,
                                            const char* name)
{
    static const char* const kFn = "AddNonMaxSuppressionLayer";
    if (inputsNum < 3)
        CV_FATAL("%s: incorrect inputs number - %i. Since dynamic shapes are not supported, NonMaxSuppressionLayer "
                 "requires max_output_boxes_per_class to be defined to determine output tensor shape.",
                 kFn, (int)inputsNum);
    if (inputsNum > 5) CV_FATAL("%s: at most 5 inputs are accepted, got %u", kFn, inputsNum);

    Layer* layer = CreateLayer(name, OP_NonMaxSuppression, inputLayers, inputTensors, inputsNum, 0);
    NNKernel* kernel = layer->kernel;
    const Tensor* boxes = kernel->input[0];
    const Tensor* scores = kernel->input[1];
    if (boxes->ndim != 3 || boxes->shape.dimension[2] != 4) CV_FATAL("%s: boxes must have shape [N, boxes, 4]", kFn);
    if (scores->ndim != 3 || scores->shape.dimension[0] != boxes->shape.dimension[0] ||
        scores->shape.dimension[2] != boxes->shape.dimension[1])
        CV_FATAL("%s: scores must have shape [N, classes, boxes] matching the boxes [%u, %u, 4]", kFn,
                 boxes->shape.dimension[0], boxes->shape.dimension[1]);

    // The input tensors of a layer built from layers only describe their
    // producers; the value itself lives in the producer's output.
    const Tensor* maxTensor = inputLayers != nullptr ? inputLayers[2]->kernel->output[0] : inputTensors[2];
    if (maxTensor == nullptr || maxTensor->data == nullptr)
        CV_FATAL("%s: max_output_boxes_per_class must be a constant with data", kFn);
    if (maxTensor->dtype != DT_INT32 && maxTensor->dtype != DT_UINT32)
        CV_FATAL("%s: max_output_boxes_per_class must hold a 32-bit integer, got %s", kFn,
                 DataTypeToStr((DataType)maxTensor->dtype));
    uint32_t maxPerClass;
    memcpy(&maxPerClass, maxTensor->data, sizeof(maxPerClass));
    if (maxTensor->dtype == DT_INT32 && (int32_t)maxPerClass < 0)
        CV_FATAL("%s: max_output_boxes_per_class must not be negative, got %d", kFn, (int32_t)maxPerClass);

    const uint32_t batch = boxes->shape.dimension[0], classes = scores->shape.dimension[1];
    CheckElementCount(kFn, {batch, classes, maxPerClass, 3});
    TensorShape shape = ZeroShape();
    shape.dimension[0] = batch * classes * maxPerClass;
    shape.dimension[1] = 3;
    kernel->output[0] = CreateTensor(DT_INT32, DL_NONE, 2, shape, false);
    return layer;
}
