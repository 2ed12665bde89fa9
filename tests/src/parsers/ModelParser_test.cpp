// Format detection: which reader a description file is handed to. The
// reader that ran is told by its result or by the module named in its
// fatal report.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Model.h"
#include "ModelParser.h"
#include "test_util.h"

using corvus_test::ExpectExitRe;
using corvus_test::ExpectFatal;
using corvus_test::TmpPath;

namespace {

std::string WriteFile(const std::string& tag, const std::string& text)
{
    const std::string path = TmpPath(tag + ".json");
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A minimal functional export: one input of 3 values, which is also the output.
std::string KerasBody()
{
    return R"("class_name":"Functional","config":{"layers":[{"name":"in","class_name":"InputLayer",)"
           R"("config":{"batch_input_shape":[null,3]},"inbound_nodes":[]}],)"
           R"("input_layers":[["in",0,0]],"output_layers":[["in",0,0]]})";
}

// Regex of any fatal report from the given reader.
std::string ReportFrom(const char* module) { return "\\[ERROR MESSAGE\\]: .*\\. File " + std::string(module) + " : [0-9]+"; }

TEST(ModelParser, KerasVersionAnywhereInTheRootSelectsKeras)
{
    // The version comes last and a converted-ONNX header member is present: the version alone decides.
    const std::string path = WriteFile(
        "keras", "{\"converter_version\":\"2.8.0\"," + KerasBody() + ",\"backend\":\"x\",\"keras_version\":7}");
    IOLayers* io = ParseLayersFromJSON(path.c_str());
    ASSERT_EQ(io->inputLayersCount, 1u);
    ASSERT_EQ(io->outputLayersCount, 1u);
    EXPECT_STREQ(io->inputLayers[0]->name, "in");
    EXPECT_EQ(io->inputLayers[0]->kernel->output[0]->shape.dimension[1], 3u);
    Model* model = CreateModel(io->outputLayers, io->outputLayersCount);
    DestroyIOLayers(io);
    DestroyModel(model);
    remove(path.c_str());
}

TEST(ModelParserDeathTest, DocumentsGoToTheirReader)
{
    // Near misses: nested, other case, trailing blank, an embedded NUL.
    const std::string noVersion = WriteFile(
        "noversion", "{" + KerasBody() +
                         R"(,"meta":{"keras_version":"2"},"Keras_version":1,"keras_version ":1,"keras_version\u0000":1})");
    const std::string notJson = WriteFile("notjson", "{\"keras_version\":\"2.13.1\", " + KerasBody());
    const std::string array = WriteFile("array", "[{\"keras_version\":\"2.13.1\"}]");
    const std::string brokenKeras = WriteFile("brokenkeras", "{\"keras_version\":\"2.13.1\",\"class_name\":\"Functional\"}");
    ExpectExitRe({
        {[&] { ParseLayersFromJSON(noVersion.c_str()); }, ReportFrom("ONNXParser")},
        {[&] { ParseLayersFromJSON(notJson.c_str()); }, ReportFrom("ONNXParser")},
        {[&] { ParseLayersFromJSON(array.c_str()); }, ReportFrom("ONNXParser")},
        {[&] { ParseLayersFromJSON(brokenKeras.c_str()); }, ReportFrom("KerasParser")},
    });
    const std::string missing = TmpPath("no_such_model.json");
    ExpectFatal("ONNXParser", {{[&] { ParseLayersFromJSON(missing.c_str()); }, "Cannot open model file: " + missing + "\n"}});
    for (const std::string* p : {&noVersion, &notJson, &array, &brokenKeras}) remove(p->c_str());
}

}  // namespace
