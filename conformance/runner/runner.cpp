// Runs one converted model on raw input files and writes its raw outputs, for
// the conformance scripts: the comparison itself is done in Python.
//
//   onnx_conformance_runner MODEL.json WEIGHTS.bin IN_DIR OUT_DIR
//
// IN_DIR holds <i>.bin for input layer i (the runtime's element type and
// shape, row-major). OUT_DIR receives <j>.bin and <j>.txt for output j; the
// text file holds "<dtype> <ndim> <d0> <d1> ..." with the DataType code.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "DataType.h"
#include "Model.h"
#include "ModelParser.h"
#include "ModelWeights.h"
#include "Tensor.h"

static std::vector<char> ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "onnx_conformance_runner: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s MODEL.json WEIGHTS.bin IN_DIR OUT_DIR\n", argv[0]);
        return 1;
    }
    const std::string inDir = argv[3], outDir = argv[4];
    IOLayers* io = ParseLayersFromONNXJSON(argv[1]);
    Model* model = CreateModel(io->outputLayers, io->outputLayersCount);
    LoadModelWeights(model, argv[2]);
    InitModel(model, 1);

    std::vector<std::vector<char>> buffers;
    std::vector<ModelInput> feeds;
    for (uint32_t i = 0; i < io->inputLayersCount; ++i) {
        const Tensor* like = io->inputLayers[i]->kernel->output[0];
        buffers.push_back(ReadFile(inDir + "/" + std::to_string(i) + ".bin"));
        Tensor* t = CreateTensor((DataType)like->dtype, (DataLayout)like->layout, like->ndim, like->shape, false);
        if (buffers.back().size() != (size_t)(size_t)GetTensorSize(t) * DataTypeSize((DataType)t->dtype)) {
            std::fprintf(stderr, "onnx_conformance_runner: input %u (%s) has %zu bytes, expected %zu\n", i,
                         io->inputLayers[i]->name, buffers.back().size(),
                         (size_t)GetTensorSize(t) * DataTypeSize((DataType)t->dtype));
            return 1;
        }
        SetTensorData(t, buffers.back().data());
        feeds.push_back({io->inputLayers[i]->name, t});
    }
    Layer** out = Predict(model, (uint32_t)feeds.size(), feeds.empty() ? nullptr : feeds.data());
    for (uint32_t j = 0; j < io->outputLayersCount; ++j) {
        const Tensor* t = out[j]->kernel->output[0];
        if (!IsSerialData(t)) {
            std::fprintf(stderr, "onnx_conformance_runner: output %u is strided\n", j);
            return 1;
        }
        std::ofstream data(outDir + "/" + std::to_string(j) + ".bin", std::ios::binary);
        data.write((const char*)t->data, (size_t)GetTensorSize(t) * DataTypeSize((DataType)t->dtype));
        std::ofstream meta(outDir + "/" + std::to_string(j) + ".txt");
        meta << (int)t->dtype << " " << t->ndim;
        for (uint32_t d = 0; d < t->ndim; ++d) meta << " " << t->shape.dimension[d];
        meta << " " << out[j]->name << "\n";
    }
    for (ModelInput& f : feeds) DestroyTensor(f.tensor);
    DestroyIOLayers(io);
    DestroyModel(model);
    return 0;
}
