// Model-level statistics and the per-layer tensor dumps.
#define CORVUS_MODULE "Profiling"
#include "Profiling.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PackedFilters.h"
#include "Report.h"

namespace {

constexpr size_t kPathSize = 1024;
constexpr size_t kCsvBufferSize = 64 * 1024;

// The layer name as it appears in dump file names: "/" would name a
// sub-directory, so it becomes "_".
void FileLayerName(const Layer* layer, char (&name)[kPathSize])
{
    const char* source = layer->name != nullptr ? layer->name : "";
    size_t length = strlen(source);
    if (length >= kPathSize) CV_FATAL("layer name is too long for a file name: %s", source);
    memcpy(name, source, length + 1);
    for (size_t k = 0; k < length; ++k)
        if (name[k] == '/') name[k] = '_';
}

// Builds "<dir>/<name><suffix>" into path; a path that does not fit is fatal
// rather than silently naming another file.
void DumpPath(char (&path)[kPathSize], const char* dirName, const Layer* layer, const char* fmt, int number)
{
    char name[kPathSize];
    FileLayerName(layer, name);
    char suffix[32];
    snprintf(suffix, sizeof(suffix), fmt, number);
    int written = snprintf(path, kPathSize, "%s/%s%s", dirName, name, suffix);
    if (written < 0 || (size_t)written >= kPathSize) CV_FATAL("file name is too long: %s/%s%s", dirName, name, suffix);
}

void CheckDumpArguments(const Layer* layer, const char* dirName)
{
    if (layer == nullptr) CV_FATAL("layer cannot be NULL ptr");
    if (dirName == nullptr) CV_FATAL("dir_name is NULL");
    if (layer->kernel == nullptr) CV_FATAL("layer %s has no kernel record", layer->name);
}

}  // namespace

extern "C" void SaveModelStatisticToCSV(const Model* model, const char* path)
{
    if (model == nullptr) CV_FATAL("model is nullptr");
    if (path == nullptr) CV_FATAL("path==NULL, expected not NULL value");
    FILE* file = fopen(path, "w");
    if (file == nullptr) CV_FATAL("Cannot open file: %s", path);
    char* buffer = (char*)malloc(kCsvBufferSize);
    if (buffer == nullptr || setvbuf(file, buffer, _IOFBF, kCsvBufferSize) != 0) {
        fclose(file);
        free(buffer);
        CV_FATAL("Cannot set up the buffer of file: %s", path);
    }
    for (uint32_t i = 0; i < model->numLayers; ++i) SaveLayerStatisticToCSV(model->layers[i], file, i == 0);
    bool failed = ferror(file) != 0;
    failed = (fclose(file) != 0) || failed;
    free(buffer);
    if (failed) CV_FATAL("Cannot write file: %s", path);
}

extern "C" uint64_t GetModelTotalFLOPs(const Model* model)
{
    if (model == nullptr) CV_FATAL("model is nullptr");
    uint64_t total = 0;
    for (uint32_t i = 0; i < model->numLayers; ++i) total += GetLayerFLOPs(model->layers[i]);
    return total;
}

extern "C" uint64_t GetModelTotalTics(const Model* model)
{
    if (model == nullptr) CV_FATAL("model is nullptr");
    uint64_t total = 0;
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        if (model->layers[i] == nullptr) CV_FATAL("layer must be initialized");
        total += model->layers[i]->stat.tics;
    }
    return total;
}

extern "C" void SaveLayersTensors(const Layer* layer, const char* dirName)
{
    CheckDumpArguments(layer, dirName);
    corvus_conv::RestorePackedFilter(layer->kernel);
    const NNKernel* kernel = layer->kernel;
    char path[kPathSize];
    for (uint32_t i = 0; i < kernel->inputsNum; ++i) {
        DumpPath(path, dirName, layer, "_in_%d", (int)i);
        SaveTensor(kernel->input[i], path);
    }
    if (kernel->outputsNum > 0) {
        DumpPath(path, dirName, layer, "_out", 0);
        SaveTensor(kernel->output[0], path);
    }
    // Inner files keep their slot number, so an empty slot leaves a gap.
    for (uint32_t i = 0; i < kernel->innerNum; ++i) {
        if (kernel->inner[i] == nullptr) continue;
        DumpPath(path, dirName, layer, "_inner_%d", (int)i);
        SaveTensor(kernel->inner[i], path);
    }
}

extern "C" Tensor* LoadInputTensor(const Layer* layer, const char* dirName, int32_t index)
{
    CheckDumpArguments(layer, dirName);
    int32_t inputs = (int32_t)layer->kernel->inputsNum;
    if (index < 0 || index >= inputs)
        CV_FATAL("layer has %d input tensors.num must be a value from 0 to %d", inputs, inputs - 1);
    char path[kPathSize];
    DumpPath(path, dirName, layer, "_in_%d", index);
    return LoadTensor(path);
}

extern "C" Tensor* LoadOutputTensor(const Layer* layer, const char* dirName)
{
    CheckDumpArguments(layer, dirName);
    char path[kPathSize];
    DumpPath(path, dirName, layer, "_out", 0);
    return LoadTensor(path);
}
