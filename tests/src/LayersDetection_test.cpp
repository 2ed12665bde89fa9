// Hand-built models running the detection operators against their naive
// versions (NMSYolo runs end to end in the ONNX reader's tests).

#include "LayersDetection.h"
#include "LayersActivation.h"
#include "TensorsSharedMemory.h"
#include "detection_util.h"

using namespace detection_test;
using U = std::vector<uint32_t>;
using namespace corvus_test;

namespace {

const float kVariances[4] = {0.1f, 0.1f, 0.2f, 0.2f};
template <typename E> Layer* Scalar(const char* name, DataType dtype, E v)
{
    return ConstantLayer(name, Holding(dtype, {1}, std::vector<E>{v}));
}

}  // namespace

// Input layers (batch 2) -> anchors, decoding, non-maximum suppression -> Predict, twice.
TEST(LayersDetection, HandBuiltModelRunsTwice)
{
    const uint32_t H = 2, W = 3, C = 3;
    const std::vector<float> ratios = {1.0f, 2.0f, 0.5f};
    Layer* features = InputLayer("features", DT_FLOAT32, {2, H, W, 8});
    Layer* anchors = AddAnchorBoxesLayer(features, nullptr, "anchors", 120, 160, 3, ratios.data(), true, false,
                                         kVariances, CT_Centroids, false, 20.0f, 0.5f, 0.3f, 0.6f);
    const uint32_t B = H * W * 4, L = C + 12;
    Layer* predictions = InputLayer("predictions", DT_FLOAT32, {2, B, L});
    Layer* decode =
        AddDecodeDetections(predictions, nullptr, "decode", 12, 5, CT_Centroids, false, 120, 160, 0.25f, 0.45f);
    const int32_t M = 4;
    const float iou = 0.3f, score = 0.25f;
    Layer* nmsIn[5] = {InputLayer("boxes", DT_FLOAT32, {2, 15, 4}), InputLayer("scores", DT_FLOAT32, {2, 3, 15}),
                       Scalar("max_boxes", DT_INT32, M), Scalar("iou", DT_FLOAT32, iou),
                       Scalar("score", DT_FLOAT32, score)};
    Layer* nms = AddNonMaxSuppressionLayer(nmsIn, nullptr, 5, "nms");

    ModelRun model({anchors, decode, nms});
    model.Init();

    // The anchors exist once the model is initialised. (The readers' tests
    // check that the records hold the attributes in their places.)
    const DecodeDetectionsParams& dp = *(const DecodeDetectionsParams*)decode->kernel->params;
    const AnchorBoxesParams& ap = *(const AnchorBoxesParams*)anchors->kernel->params;
    const std::vector<float> expectedAnchors = NaiveAnchors(ap, 2, H, W);
    ASSERT_EQ(Values(anchors->kernel->output[0]), expectedAnchors);

    std::mt19937 rng(8);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        // Decode input: zero offsets over the anchors, tied scores.
        std::vector<float> pred;
        for (uint32_t b = 0; b < 2 * B; ++b) {
            for (uint32_t c = 0; c < C; ++c) pred.push_back(TiedScore(rng));
            pred.insert(pred.end(), {0, 0, 0, 0});
            pred.insert(pred.end(), expectedAnchors.begin() + b * 8, expectedAnchors.begin() + b * 8 + 8);
        }
        std::vector<float> boxes, scores;
        for (uint32_t i = 0; i < 30; ++i) {
            const Corner c = GridBox(rng);
            boxes.insert(boxes.end(), {c.x0, c.y0, c.x1, c.y1});
            scores.insert(scores.end(), {TiedScore(rng), TiedScore(rng), TiedScore(rng)});
        }

        Tensor* host[4] = {MakeTensor(DT_FLOAT32, {2, H, W, 8}), FloatTensor({2, B, L}, pred),
                           FloatTensor({2, 15, 4}, boxes), FloatTensor({2, 3, 15}, scores)};
        Layer** result =
            model.Run({{"features", host[0]}, {"predictions", host[1]}, {"boxes", host[2]}, {"scores", host[3]}});

        EXPECT_EQ(Values(result[0]->kernel->output[0]), expectedAnchors);
        EXPECT_EQ(Values(result[1]->kernel->output[0]), NaiveDecode(pred, 2, B, L, dp));
        EXPECT_EQ(Triples(result[2]->kernel->output[0]), NaiveOnnxNms(boxes, scores, 2, 3, 15, M, iou, score));
        for (Tensor* t : host) DestroyTensor(t);
    }
}

// Anchors are computed once at initialisation; layers that run before the
// AnchorBoxes layer must not share its planned storage.
TEST(LayersDetection, PlannedAnchorsSurviveEarlierLayers)
{
    Layer* x = InputLayer("x", DT_FLOAT32, {1, 4, 5, 8}, DL_NHWC);
    ActivationParams relu = {ReLU, 0.0f};
    Layer* a1 = AddActivationLayer(x, nullptr, "relu1", relu);
    Layer* a2 = AddActivationLayer(a1, nullptr, "relu2", relu);
    Layer* anchors = AddAnchorBoxesLayer(a2, nullptr, "anchors", 300, 400, 1, std::vector<float>{1.0f}.data(), false,
                                         false, kVariances, CT_Centroids, true, 16.0f, 0.5f, 0.2f, 0.35f);
    ModelRun model({anchors, a2});
    ASSERT_GT(PlanTensorsSharedMemory(model.model), 0u);
    model.Init();
    const Tensor* out = anchors->kernel->output[0];
    const size_t n = GetTensorSize(out);
    std::vector<float> atInit((const float*)out->data, (const float*)out->data + n);

    TensorPtr in = NewTensor(DT_FLOAT32, {1, 4, 5, 8}, {}, true, DL_NHWC);
    for (uint32_t i = 0; i < 160; ++i) ((float*)in->data)[i] = 7.0f;
    model.Run({{"x", in.get()}});
    EXPECT_EQ(std::vector<float>((const float*)out->data, (const float*)out->data + n), atInit);
}
