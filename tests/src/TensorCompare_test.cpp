// Tensor comparison: element-wise differences and the printed report.
#include "TensorOperation.h"
#include "test_util.h"

using namespace corvus_test;

// Equal within the threshold: nothing printed; otherwise the largest,
// smallest and average differences; padding gaps are never read.
TEST(TensorCompare, ComparesLogicalElementsAndReportsDifferences)
{
    TensorPtr a(Holding<float>(DT_FLOAT32, {2, 3}, {1, 2, 3, 4, 5, 6}));
    TensorPtr near(Holding<float>(DT_FLOAT32, {2, 3}, {1, 2, 3, 4, 5.01f, 6}));
    TensorPtr padded = NewTensor(DT_FLOAT32, {2, 3}, {5, 1});
    const float paddedValues[10] = {1, 2, 3, 99, 99, 4, 5, 6, 99, 99};
    memcpy(padded->data, paddedValues, sizeof(paddedValues));
    TensorPtr b(Holding<float>(DT_FLOAT32, {2, 3}, {1, 2, 3, 4, 5, 6.5f}));
    // Half-precision data is compared through float32 temporaries.
    TensorPtr h(Holding<uint16_t>(DT_FLOAT16, {2, 3}, {0x3C00, 0x4000, 0x4200, 0x4400, 0x4500, 0x4680}));
    const std::string report = "max diff = 0.50000: tensor1(1,2) = 6.00000, tensor2(1,2) = 6.50000\n"
                               "min diff = 0.00000: tensor1(0,0) = 1.00000, tensor2(0,0) = 1.00000\n"
                               "average diff = 0.08333\n";
    const struct {
        const Tensor *x, *y;
        float threshold;
        TensorCompareResult want;
        std::string printed;
        // clang-format off
    } cases[] = {
        {a.get(), near.get(), 0.02f, TCR_DATA_EQUAL, ""}, {padded.get(), a.get(), 0.0f, TCR_DATA_EQUAL, ""},
        {a.get(), b.get(), 0.1f, TCR_DATA_DIFFERENT, report}, {a.get(), h.get(), 0.1f, TCR_DATA_DIFFERENT, report},
        {b.get(), h.get(), 0.0f, TCR_DATA_EQUAL, ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(CompareTensors(c.x, c.y, c.threshold), c.want);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    }
    EXPECT_EQ(CompareTensors(a.get(), NewTensor(DT_FLOAT32, {2, 4}).get(), 0.0f), TCR_SHAPES_LESS);
    TensorPtr gap = NewTensor(DT_FLOAT32, {2, 2, 2}, {5, 2, 1}), dense = NewTensor(DT_FLOAT32, {2, 2, 2});
    ExpectFatal("Tensor", {{[&] { CompareTensors(dense.get(), gap.get(), 0); },
                            "Unsupported custom tensor2 stride by dim: 0\nStride value: 5. Expected: 4"}});
}
