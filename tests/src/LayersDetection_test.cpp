// Constructors of the detection layers (shapes, records, checks) and a
// hand-built model running all four operators.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "LayersDetection.h"
#include "LayersActivation.h"
#include "Model.h"
#include "TensorsSharedMemory.h"
#include "detection_util.h"
#include "test_util.h"

using namespace detection_test;
using U = std::vector<uint32_t>;
using corvus_test::FatalCase;

namespace {

const float kVariances[4] = {0.1f, 0.1f, 0.2f, 0.2f};

Layer* Anchors(Tensor* featureMap, const std::vector<float>& ratios, bool twoBoxes, const char* name = "anchors")
{
    return AddAnchorBoxesLayer(nullptr, featureMap, name, 300, 400, (uint32_t)ratios.size(), ratios.data(), twoBoxes,
                               false, kVariances, CT_Centroids, true, 16.0f, 0.5f, 0.2f, 0.35f);
}

// A constant source layer holding data, as the model readers make them.
Layer* Constant(const char* name, DataType dtype, std::initializer_list<uint32_t> dims, const void* values)
{
    Layer* layer = CreateLayer(name, OP_Initializer, nullptr, nullptr, 0, 0);
    layer->kernel->output[0] = MakeTensor(dtype, dims, values);
    layer->staticOutput = true;
    return layer;
}

Layer* Input(const char* name, DataType dtype, std::initializer_list<uint32_t> dims)
{
    return AddInputLayer(name, corvus_test::NewTensor(dtype, dims, {}, false).get());
}

template <typename P>
const P& ParamsOf(const Layer* layer)
{
    return *static_cast<const P*>(layer->kernel->params);
}

}  // namespace

TEST(LayersDetection, OutputShapesTypesAndBoxesPerCell)
{
    // Boxes per cell: one per ratio, plus one after the first ratio 1 when asked.
    const struct {
        std::vector<float> ratios;
        bool twoBoxes;
        uint32_t boxes;
    } cases[] = {{{1.0f, 2.0f, 0.5f}, true, 4}, {{1.0f, 2.0f, 0.5f}, false, 3}, {{2.0f, 0.5f}, true, 2},
                 {{1.0f, 1.0f}, true, 3},       {{1.0f}, true, 2}};
    for (const auto& c : cases) {
        Layer* layer = Anchors(MakeTensor(DT_FLOAT32, {2, 5, 7, 16}, nullptr, DL_NHWC), c.ratios, c.twoBoxes);
        EXPECT_EQ(DimsOf(layer->kernel->output[0]), (U{2, 5, 7, c.boxes, 8}));
        EXPECT_EQ(ParamsOf<AnchorBoxesParams>(layer).boxesPerCell, c.boxes);
        DestroyLayer(layer);
    }
    const int32_t M = 7;
    Tensor* nmsIn[3] = {MakeTensor(DT_FLOAT32, {2, 50, 4}), MakeTensor(DT_FLOAT32, {2, 3, 50}), MakeTensor(DT_INT32, {1}, &M)};
    // From layers, M is read from the producer's output.
    Layer* producers[4] = {Input("boxes", DT_FLOAT32, {1, 10, 4}), Input("scores", DT_FLOAT32, {1, 4, 10}),
                           Constant("max", DT_INT32, {1}, &M), Constant("iou", DT_FLOAT32, {1}, &kVariances[0])};
    const struct {
        Layer* layer;
        U dims;
        DataType dtype;
    } layers[] = {
        {AddDecodeDetections(nullptr, MakeTensor(DT_FLOAT32, {2, 100, 21}), nullptr, 50, 10, CT_Centroids, true, 300, 400,
                             0.3f, 0.45f),
         {2, 50, 6}, DT_FLOAT32},
        {AddNMSYoloLayer(nullptr, MakeTensor(DT_FLOAT16, {2, 100, 85}), 20, "yolo", 0.25f, 0.45f), {2, 20, 85}, DT_FLOAT16},
        {AddNMSYoloLayer(nullptr, MakeTensor(DT_FLOAT32, {1, 30, 6}), 0, nullptr, 0.5f, 0.5f), {1, 30, 6}, DT_FLOAT32},
        {AddNonMaxSuppressionLayer(nullptr, nmsIn, 3, "nms"), {2 * 3 * 7, 3}, DT_INT32},
        {AddNonMaxSuppressionLayer(producers, nullptr, 4, nullptr), {4 * 7, 3}, DT_INT32},
    };
    EXPECT_EQ(std::string(layers[0].layer->name).rfind("DecodeDetections", 0), 0u);
    for (const auto& c : layers) {
        EXPECT_EQ(DimsOf(c.layer->kernel->output[0]), c.dims);
        EXPECT_EQ(c.layer->kernel->output[0]->dtype, (uint32_t)c.dtype);
        EXPECT_EQ(c.layer->kernel->output[0]->layout, (uint32_t)DL_NONE);
        DestroyLayer(c.layer);
    }
    for (Layer* l : producers) DestroyLayer(l);
}

TEST(LayersDetectionDeath, ConstructorChecks)
{
    const float ratios[7] = {1, 1, 1, 1, 1, 1, 1};
    const int32_t M = 2, negative = -1;
    const uint32_t huge = 0x40000000u;
    auto nms = [](std::vector<Tensor*> in) {
        AddNonMaxSuppressionLayer(nullptr, in.data(), (uint32_t)in.size(), nullptr);
    };
    auto anchors = [&](uint32_t imgH, uint32_t count) {
        AddAnchorBoxesLayer(nullptr, MakeTensor(DT_FLOAT32, {1, 2, 2, 3}), nullptr, imgH, 300, count, ratios, false,
                            false, kVariances, CT_Centroids, false, 8, 0.5f, 0.1f, 0.2f);
    };
    auto decode = [](std::initializer_list<uint32_t> dims) {
        AddDecodeDetections(nullptr, MakeTensor(DT_FLOAT32, dims), nullptr, 5, 5, 0, false, 1, 1, 0.5f, 0.5f);
    };
    corvus_test::ExpectFatal(
        "Layers",
        {FatalCase([] { Anchors(MakeTensor(DT_FLOAT32, {1, 4, 4}), {1.0f}, false); },
                   "input tensor ndim must equal 4. ndim: 3"),
         FatalCase([&] { anchors(300, 7); }, "AddAnchorBoxesLayer: aspect ratio count must be 1 to 6, got 7"),
         FatalCase([&] { anchors(0, 1); }, "AddAnchorBoxesLayer: image height and width must be positive, got 0 x 300"),
         FatalCase([&] { decode({100, 21}); }, "input->ndim == 3: false, expected: true"),
         FatalCase([&] { decode({1, 100, 11}); },
                   "AddDecodeDetections: the last input dimension (11) must hold the class scores and 12 box values"),
         FatalCase([] { AddNMSYoloLayer(nullptr, MakeTensor(DT_FLOAT32, {10, 6}), 5, nullptr, 0.5f, 0.5f); },
                   "AddNMSYoloLayer: input tensor ndim must equal 3. ndim: 2"),
         FatalCase([] { AddNMSYoloLayer(nullptr, MakeTensor(DT_FLOAT32, {1, 10, 4}), 5, nullptr, 0.5f, 0.5f); },
                   "AddNMSYoloLayer: rows of 4 values cannot hold a box and its score"),
         FatalCase([&] { nms({MakeTensor(DT_FLOAT32, {1, 5, 4}), MakeTensor(DT_FLOAT32, {1, 2, 5})}); },
                   "AddNonMaxSuppressionLayer: incorrect inputs number - 2. Since dynamic shapes are not supported, "
                   "NonMaxSuppressionLayer requires max_output_boxes_per_class to be defined to determine output "
                   "tensor shape."),
         FatalCase(
             [&] {
                 nms({MakeTensor(DT_FLOAT32, {1, 5, 4}), MakeTensor(DT_FLOAT32, {1, 2, 6}),
                      MakeTensor(DT_INT32, {1}, &M)});
             },
             "AddNonMaxSuppressionLayer: scores must have shape [N, classes, boxes] matching the boxes [1, 5, 4]"),
         FatalCase(
             [&] {
                 nms({MakeTensor(DT_FLOAT32, {1, 5, 3}), MakeTensor(DT_FLOAT32, {1, 2, 5}),
                      MakeTensor(DT_INT32, {1}, &M)});
             },
             "AddNonMaxSuppressionLayer: boxes must have shape [N, boxes, 4]"),
         FatalCase(
             [&] {
                 nms({MakeTensor(DT_FLOAT32, {1, 5, 4}), MakeTensor(DT_FLOAT32, {1, 2, 5}),
                      CreateTensor(DT_INT32, DL_NONE, 1, Shape({1}), false)});
             },
             "AddNonMaxSuppressionLayer: max_output_boxes_per_class must be a constant with data"),
         FatalCase(
             [&] {
                 nms({MakeTensor(DT_FLOAT32, {1, 5, 4}), MakeTensor(DT_FLOAT32, {1, 2, 5}),
                      MakeTensor(DT_INT32, {1}, &negative)});
             },
             "AddNonMaxSuppressionLayer: max_output_boxes_per_class must not be negative, got -1"),
         FatalCase(
             [&] {
                 nms({MakeTensor(DT_FLOAT32, {4, 5, 4}), MakeTensor(DT_FLOAT32, {4, 2, 5}),
                      MakeTensor(DT_UINT32, {1}, &huge)});
             },
             "AddNonMaxSuppressionLayer: the output would hold more than 4294967295 elements")});
}

// Input layers (batch 2) → the four detection layers → CreateModel → InitModel → Predict,
// twice, against the naive versions.
TEST(LayersDetection, HandBuiltModelRunsAllFour)
{
    const uint32_t H = 2, W = 3, C = 3;
    const std::vector<float> ratios = {1.0f, 2.0f, 0.5f};
    Layer* features = Input("features", DT_FLOAT32, {2, H, W, 8});
    Layer* anchors = AddAnchorBoxesLayer(features, nullptr, "anchors", 120, 160, 3, ratios.data(), true, false,
                                         kVariances, CT_Centroids, false, 20.0f, 0.5f, 0.3f, 0.6f);
    const uint32_t B = H * W * 4, L = C + 12;
    Layer* predictions = Input("predictions", DT_FLOAT32, {2, B, L});
    Layer* decode =
        AddDecodeDetections(predictions, nullptr, "decode", 12, 5, CT_Centroids, false, 120, 160, 0.25f, 0.45f);
    Layer* yoloIn = Input("yolo", DT_FLOAT32, {2, 20, 6});
    Layer* yolo = AddNMSYoloLayer(yoloIn, nullptr, 6, "nmsyolo", 0.5f, 0.4f);
    const int32_t M = 4;
    const float iou = 0.3f, score = 0.25f;
    Layer* nmsIn[5] = {Input("boxes", DT_FLOAT32, {2, 15, 4}), Input("scores", DT_FLOAT32, {2, 3, 15}),
                       Constant("max_boxes", DT_INT32, {1}, &M), Constant("iou", DT_FLOAT32, {1}, &iou),
                       Constant("score", DT_FLOAT32, {1}, &score)};
    Layer* nms = AddNonMaxSuppressionLayer(nmsIn, nullptr, 5, "nms");

    Layer* outputs[4] = {anchors, decode, yolo, nms};
    Model* model = CreateModel(outputs, 4);
    ASSERT_EQ(InitModel(model, 1), 1u);

    // The anchors exist once the model is initialised.
    // Expected records written out from the constructor arguments above, so
    // that the argument order is checked too.
    AnchorBoxesParams ap{};
    ap.imgHeight = 120, ap.imgWidth = 160, ap.step = 20.0f, ap.offset = 0.5f, ap.thisScale = 0.3f, ap.nextScale = 0.6f;
    ap.aspectRatiosCount = 3, ap.twoBoxesForAr1 = true;
    std::copy(ratios.begin(), ratios.end(), ap.aspectRatios);
    memcpy(ap.variances, kVariances, sizeof(kVariances));
    DecodeDetectionsParams dp{};
    dp.confidenceThreshold = 0.25f, dp.iouThreshold = 0.45f, dp.topK = 12, dp.maxBoxesPerClass = 5;
    dp.imgHeight = 120, dp.imgWidth = 160;
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
        std::vector<float> yoloRows;
        for (uint32_t r = 0; r < 40; ++r) {
            const Corner c = GridBox(rng);
            yoloRows.insert(yoloRows.end(), {(c.x0 + c.x1) * 0.5f, (c.y0 + c.y1) * 0.5f, c.x1 - c.x0, c.y1 - c.y0,
                                             TiedScore(rng), (float)r});
        }
        std::vector<float> boxes, scores;
        for (uint32_t i = 0; i < 30; ++i) {
            const Corner c = GridBox(rng);
            boxes.insert(boxes.end(), {c.x0, c.y0, c.x1, c.y1});
            scores.insert(scores.end(), {TiedScore(rng), TiedScore(rng), TiedScore(rng)});
        }

        Tensor* host[5] = {MakeTensor(DT_FLOAT32, {2, H, W, 8}), FloatTensor({2, B, L}, pred),
                           FloatTensor({2, 20, 6}, yoloRows), FloatTensor({2, 15, 4}, boxes),
                           FloatTensor({2, 3, 15}, scores)};
        const ModelInput feed[5] = {
            {"features", host[0]}, {"predictions", host[1]}, {"yolo", host[2]}, {"boxes", host[3]}, {"scores", host[4]}};
        Layer** result = Predict(model, 5, feed);

        EXPECT_EQ(Values(result[0]->kernel->output[0]), expectedAnchors);
        EXPECT_EQ(Values(result[1]->kernel->output[0]), NaiveDecode(pred, 2, B, L, dp));
        EXPECT_EQ(Values(result[2]->kernel->output[0]), NaiveYolo(yoloRows, 2, 20, 6, 6, 0.5f, 0.4f));
        EXPECT_EQ(Triples(result[3]->kernel->output[0]), NaiveOnnxNms(boxes, scores, 2, 3, 15, M, iou, score));
        for (Tensor* t : host) DestroyTensor(t);
    }
    DestroyModel(model);
}

// Anchors are computed once at initialisation; layers that run before the
// AnchorBoxes layer must not share its planned storage.
TEST(LayersDetection, PlannedAnchorsSurviveEarlierLayers)
{
    Tensor* desc = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 4, 5, 8}), false);
    Layer* x = AddInputLayer("x", desc);
    DestroyTensor(desc);
    ActivationParams relu = {ReLU, 0.0f};
    Layer* a1 = AddActivationLayer(x, nullptr, "relu1", relu);
    Layer* a2 = AddActivationLayer(a1, nullptr, "relu2", relu);
    Layer* anchors = AddAnchorBoxesLayer(a2, nullptr, "anchors", 300, 400, 1, std::vector<float>{1.0f}.data(), false,
                                         false, kVariances, CT_Centroids, true, 16.0f, 0.5f, 0.2f, 0.35f);
    Layer* outputs[] = {anchors, a2};
    Model* model = CreateModel(outputs, 2);
    ASSERT_GT(PlanTensorsSharedMemory(model), 0u);
    InitModel(model, 1);
    const Tensor* out = anchors->kernel->output[0];
    const size_t n = GetTensorSize(out);
    std::vector<float> atInit((const float*)out->data, (const float*)out->data + n);

    std::vector<float> host(4 * 5 * 8, 7.0f);
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NHWC, 4, Shape({1, 4, 5, 8}), false);
    SetTensorData(in, host.data());
    ModelInput feed[] = {{"x", in}};
    Predict(model, 1, feed);
    EXPECT_EQ(std::vector<float>((const float*)out->data, (const float*)out->data + n), atInit);
    DestroyTensor(in);
    DestroyModel(model);
}
