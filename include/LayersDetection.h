/* Detection post-processing: records, constructors and kernels.
 *
 * AnchorBoxes and DecodeDetections serve single-shot detectors: the first
 * produces a constant tensor of anchors (computed once, at initialisation),
 * the second decodes predicted offsets against them and keeps the best boxes
 * per class. NMSYolo filters and suppresses the rows of a YOLO prediction
 * tensor. NonMaxSuppression follows the ONNX operator of that name and
 * outputs (batch, class, box) index triples. */
#ifndef CORVUS_LAYERSDETECTION_H
#define CORVUS_LAYERSDETECTION_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_ASPECT_RATIOS_COUNT 6

/* Box encodings (`coords` words); only centroids (cx, cy, w, h) are supported. */
typedef enum CoordsType { CT_Centroids = 0 } CoordsType;

typedef struct AnchorBoxesParams {
    uint32_t imgHeight;
    uint32_t imgWidth;
    float step;      /* pixels between neighbouring centres, both axes */
    float offset;    /* first centre, in units of step */
    float thisScale; /* anchor size as a fraction of the shorter image side */
    float nextScale; /* the next feature map's scale (second box of ratio 1) */
    uint32_t aspectRatiosCount;
    float aspectRatios[MAX_ASPECT_RATIOS_COUNT]; /* width / height */
    bool twoBoxesForAr1;
    bool clipBoxes; /* must be false */
    float variances[4];
    uint32_t coords; /* must be CT_Centroids */
    bool normalizeCoords;
    uint32_t boxesPerCell;
} AnchorBoxesParams;

typedef struct DecodeDetectionsParams {
    float confidenceThreshold;
    float iouThreshold;
    uint32_t topK;
    uint32_t maxBoxesPerClass;
    uint32_t coords; /* stored, not read by the kernel */
    bool normalizeCoords;
    uint32_t imgHeight;
    uint32_t imgWidth;
} DecodeDetectionsParams;

typedef struct NMSYoloParams {
    float scoreThreshold;
    float iouThreshold;
} NMSYoloParams;

/* Constructors. Exactly one of the input layer(s) and input tensor(s) is
 * given; given tensors are owned by the new layer. name may be null
 * (generated name). */

/* Input: a feature map {N, H, W, C}. Output: float32 {N, H, W, boxes per
 * cell, 8}, each row (cx, cy, w, h, variance0..3). aspectRatios holds
 * aspectRatiosCount (1 to MAX_ASPECT_RATIOS_COUNT) values, variances four. */
CORVUS_EXPORT Layer* AddAnchorBoxesLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t imgHeight,
                                         uint32_t imgWidth, uint32_t aspectRatiosCount, const float* aspectRatios,
                                         bool twoBoxesForAr1, bool clipBoxes, const float* variances, uint32_t coords,
                                         bool normalizeCoords, float step, float offset, float thisScale,
                                         float nextScale);

/* Input: {N, boxes, classes + 12}, each row the class scores (class 0 is the
 * background), 4 offsets, the anchor (cx, cy, w, h) and 4 variances.
 * Output: float32 {N, topK, 6}, rows (class, score, xmin, ymin, xmax, ymax)
 * by descending score, zero rows after the last detection. */
CORVUS_EXPORT Layer* AddDecodeDetections(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t topK,
                                         uint32_t maxBoxesPerClass, uint32_t coords, bool normalizeCoords,
                                         uint32_t imgHeight, uint32_t imgWidth, float confidenceThreshold,
                                         float iouThreshold);

/* Input: {N, boxes, row length}, rows (cx, cy, w, h, score, ...). Output: the
 * input's type, layout and shape with dimension 1 set to maxOutputBoxes
 * (unless 0); kept rows carry corners (x1, y1, x2, y2) instead of centroids. */
CORVUS_EXPORT Layer* AddNMSYoloLayer(Layer* inputLayer, Tensor* inputTensor, uint32_t maxOutputBoxes, const char* name,
                                     float scoreThreshold, float iouThreshold);

/* Inputs, in order: boxes {N, boxes, 4}, scores {N, classes, boxes},
 * max_output_boxes_per_class (a constant holding one 32-bit integer M), and
 * optionally iou_threshold and score_threshold (one float each).
 * Output: int32 {N * classes * M, 3}; after execution dimension 0 holds the
 * number of selected (batch, class, box) triples. */
CORVUS_EXPORT Layer* AddNonMaxSuppressionLayer(Layer** inputLayers, Tensor** inputTensors, uint32_t inputsNum,
                                               const char* name);

/* Kernels. */
CORVUS_EXPORT void Init_AnchorBoxes_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_AnchorBoxes_fl32_ref(NNKernel* kernel); /* does nothing: the anchors are made by the init */
CORVUS_EXPORT void Execute_DecodeDetections_fl32_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_NMSYolo_ref(NNKernel* kernel);
CORVUS_EXPORT void Execute_NonMaxSuppression_ref(NNKernel* kernel);

/* Work functions. NMSYolo_ref takes float32 tensors; NonMaxSuppression_ONNX
 * takes the kernel's inputs in ONNX order and sets output dimension 0 to
 * the number of selected triples (outputRows is the output's capacity). */
CORVUS_EXPORT void NMSYolo_ref(Tensor* output, const Tensor* input, const NMSYoloParams* params);
CORVUS_EXPORT void NonMaxSuppression_ONNX(Tensor* output, Tensor* const* inputs, uint32_t inputsNum,
                                          uint32_t outputRows);

#ifdef __cplusplus
}
#endif

#endif
