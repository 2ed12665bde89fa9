// The flat interface: a registry of models keyed by a host-chosen id.
#include "cpu_backend.hpp"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DataType.h"
#include "Model.h"
#include "ModelParser.h"
#include "ModelWeights.h"
#include "PackedFilters.h"
#include "Profiling.h"
#include "Tensor.h"

#define CORVUS_MODULE "cpu_backend"
#include "Report.h"

namespace {

uint32_t model_id = 0;
// Function-local so that it exists before any other static initialiser
// might call in; only the map is destroyed at unload, never the models.
std::map<uint32_t, Model*>& Models()
{
    static std::map<uint32_t, Model*> models;
    return models;
}

Model* Lookup(uint32_t id)
{
    check_model(id);
    Model* model = Models().find(id)->second;
    CV_CHECK_PTR(model);
    return model;
}

const Tensor* LayerOutput(const Layer* layer)
{
    CV_CHECK_PTR(layer);
    CV_CHECK_PTR(layer->kernel);
    CV_CHECK_PTR(layer->kernel->output);
    CV_CHECK_PTR(layer->kernel->output[0]);
    return layer->kernel->output[0];
}

void WriteName(const Layer* layer, char* dst)
{
    CV_CHECK_PTR(dst);
    CV_CHECK_PTR(layer->name);
    memcpy(dst, layer->name, strlen(layer->name));
}

void WriteShape(const Layer* layer, uint32_t* dst)
{
    CV_CHECK_PTR(dst);
    const Tensor* t = LayerOutput(layer);
    dst[0] = t->ndim;
    for (uint32_t d = 0; d < t->ndim && d < MAX_NDIM_VALUE; ++d) dst[1 + d] = t->shape.dimension[d];
}

const Layer* InputLayer(uint32_t id, uint32_t index)
{
    const IOLayers* io = Lookup(id)->ioLayers;
    if (index >= io->inputLayersCount) throw std::runtime_error("Model input index is out of inputs number range");
    return io->inputLayers[index];
}

const Layer* OutputLayer(uint32_t id, uint32_t index)
{
    const IOLayers* io = Lookup(id)->ioLayers;
    if (index >= io->outputLayersCount) throw std::runtime_error("Model output index is out of outputs number range");
    return io->outputLayers[index];
}

// An index past the layers would read outside the list: stop instead.
Layer* LayerAt(const Model* model, int32_t index)
{
    CV_CHECK_MSG(index >= 0 && (uint32_t)index < model->numLayers, "Layer index %d is out of range 0..%u", index,
                 model->numLayers - 1);
    return model->layers[index];
}

const char* TypeName(uint32_t dtype) { return dtype <= DT_INT8 ? DataTypeToStr((DataType)dtype) : "unknown"; }

// Copies a loaded dump into a layer's tensor in place. The tensor's storage
// stays where it is: consumers, reshape views and kernels initialised on it
// keep their pointers, and a tensor owned by the layer (slices, constants)
// is not freed under them.
void LoadInto(Tensor* dst, Tensor* loaded, const Layer* layer, const char* what)
{
    std::unique_ptr<Tensor, void (*)(Tensor*)> src(loaded, DestroyTensor);
    CV_CHECK_MSG(src != nullptr, "Cannot load %s of layer %s: the tensor file cannot be read", what, layer->name);
    CV_CHECK_PTR(dst);
    CV_CHECK_MSG(src->dtype == dst->dtype, "Cannot load %s of layer %s: the file holds %s elements, expected %s", what,
                 layer->name, TypeName(src->dtype), TypeName(dst->dtype));
    const uint32_t count = GetTensorSize(src.get());
    CV_CHECK_MSG(count == GetTensorSize(dst), "Cannot load %s of layer %s: the file holds %u elements, expected %u",
                 what, layer->name, count, GetTensorSize(dst));
    if (count == 0) return;
    CV_CHECK_PTR(dst->data);
    CV_CHECK_PTR(src->data);
    const size_t bytes = (size_t)count * DataTypeSize((DataType)dst->dtype);
    const bool sameShape = src->ndim == dst->ndim && CompareTensorsShape(src.get(), dst) == TCR_SHAPES_EQUAL;
    if (IsSerialData(src.get()) && IsSerialData(dst)) {
        memcpy(dst->data, src->data, bytes);
    } else if (IsSerialData(src.get()) && sameShape) {
        PutTensorData(src->data, dst);
    } else {
        // Gapped storage is only taken as it was saved: same shape, same strides.
        CV_CHECK_MSG(sameShape && CompareTensorsStride(src.get(), dst) == TCR_STRIDES_EQUAL,
                     "Cannot load %s of layer %s: the file's strides differ from the tensor's", what, layer->name);
        memcpy(dst->data, src->data, (size_t)GetTensorDataSize(dst) * DataTypeSize((DataType)dst->dtype));
    }
}

// Wrapper tensors over host memory, released on every exit path.
struct Wrappers {
    std::vector<Tensor*> tensors;
    ~Wrappers()
    {
        for (Tensor* t : tensors) DestroyTensor(t);
    }
};

}  // namespace

extern "C" uint32_t get_model_id(void) { return model_id; }

extern "C" uint32_t inc_model_id(void) { return ++model_id; }

extern "C" void check_model(uint32_t id)
{
    if (Models().count(id) == 0) throw std::runtime_error("Cannot find model with model_id: " + std::to_string(id));
}

extern "C" void load_model_keras(uint32_t id, const char* descriptionPath, const char* weightsPath)
{
    CV_CHECK_PTR(descriptionPath);
    CV_CHECK_PTR(weightsPath);
    IOLayers* parsed = ParseLayersFromJSON(descriptionPath);
    CV_CHECK_PTR(parsed);
    Model* model = CreateModel(parsed->outputLayers, parsed->outputLayersCount);
    // The model keeps its own input and output lists; the parsed record's
    // arrays are not referenced after this, so they are freed here.
    DestroyIOLayers(parsed);
    CV_CHECK_PTR(model);
    LoadModelWeights(model, weightsPath);
    OptimizeModel(model, 0);
    // Hidden from the host until stored: the packed filters may hold the weights alone.
    InitModelHoldingFilters(model, 1);
    // A model already stored under this id is replaced, not destroyed: the
    // host may still hold it through another path.
    Models()[id] = model;
}

// A host reaching into the model's records sees every filter tensor with its data.
Model* get_model(uint32_t id)
{
    Model* model = Lookup(id);
    RestorePackedFilters(model);
    return model;
}

extern "C" uint32_t get_inputs_number(uint32_t id) { return Lookup(id)->ioLayers->inputLayersCount; }

extern "C" uint32_t get_outputs_number(uint32_t id) { return Lookup(id)->ioLayers->outputLayersCount; }

extern "C" void write_input_name(uint32_t id, int32_t index, char* dst)
{
    WriteName(InputLayer(id, (uint32_t)index), dst);
}

extern "C" void write_output_name(uint32_t id, int32_t index, char* dst)
{
    WriteName(OutputLayer(id, (uint32_t)index), dst);
}

extern "C" void get_input_shape(uint32_t id, uint32_t index, uint32_t* dst) { WriteShape(InputLayer(id, index), dst); }

extern "C" void get_output_shape(uint32_t id, uint32_t index, uint32_t* dst)
{
    WriteShape(OutputLayer(id, index), dst);
}

extern "C" uint32_t get_input_type(uint32_t id, uint32_t index) { return LayerOutput(InputLayer(id, index))->dtype; }

extern "C" uint32_t get_output_type(uint32_t id, uint32_t index) { return LayerOutput(OutputLayer(id, index))->dtype; }

extern "C" void run_predict(uint32_t id, void** inputs, const uint32_t* inputTypes, void** outputs, uint32_t batch)
{
    Model* model = Lookup(id);
    // Nothing runs for an empty batch, so the buffers are never looked at.
    if (batch == 0) return;
    const IOLayers* io = model->ioLayers;
    if (io->inputLayersCount > 0) {
        CV_CHECK_PTR(inputs);
        CV_CHECK_PTR(inputTypes);
    }
    if (io->outputLayersCount > 0) CV_CHECK_PTR(outputs);

    Wrappers in, out;
    std::vector<uint32_t> inSize(io->inputLayersCount), outSize(io->outputLayersCount);
    std::vector<ModelInput> feed(io->inputLayersCount);
    for (uint32_t i = 0; i < io->inputLayersCount; ++i) {
        const Tensor* t = LayerOutput(io->inputLayers[i]);
        CV_CHECK_MSG(inputTypes[i] <= DT_INT8, "Unsupported input data type %u", inputTypes[i]);
        CV_CHECK_PTR(inputs[i]);
        inSize[i] = GetTensorSize(t);
        in.tensors.push_back(CreateTensor((DataType)inputTypes[i], (DataLayout)t->layout, t->ndim, t->shape, false));
        feed[i].name = io->inputLayers[i]->name;
        feed[i].tensor = in.tensors.back();
    }
    for (uint32_t j = 0; j < io->outputLayersCount; ++j) {
        const Tensor* t = LayerOutput(io->outputLayers[j]);
        CV_CHECK_PTR(outputs[j]);
        outSize[j] = GetTensorSize(t);
        out.tensors.push_back(CreateTensor(DT_FLOAT32, (DataLayout)t->layout, t->ndim, t->shape, false));
    }

    for (uint32_t b = 0; b < batch; ++b) {
        for (uint32_t i = 0; i < io->inputLayersCount; ++i) {
            const size_t offset = (size_t)b * inSize[i] * DataTypeSize((DataType)inputTypes[i]);
            SetTensorData(in.tensors[i], (uint8_t*)inputs[i] + offset);
        }
        Predict(model, io->inputLayersCount, feed.data());
        for (uint32_t j = 0; j < io->outputLayersCount; ++j) {
            const Tensor* t = LayerOutput(io->outputLayers[j]);
            // Host output buffers take 4-byte elements; copying 4 bytes per
            // element of a narrower tensor would read past its data.
            CV_CHECK_MSG(DataTypeSize((DataType)t->dtype) == 4, "Output %s has %u-byte elements, expected 4",
                         io->outputLayers[j]->name, (unsigned)DataTypeSize((DataType)t->dtype));
            memcpy((uint8_t*)outputs[j] + (size_t)b * outSize[j] * 4, t->data, (size_t)outSize[j] * 4);
        }
    }
}

extern "C" void set_model_cores_number(uint32_t id, uint32_t cores)
{
    Model* model = Lookup(id);
    SetModelCoresNumber(model, cores);
}

extern "C" void save_layers_statistic(uint32_t id, const char* path)
{
    Model* model = Lookup(id);
    SaveModelStatisticToCSV(model, path);
}

extern "C" void save_layers_tensors(uint32_t id, const char* directory)
{
    const Model* model = Lookup(id);
    for (uint32_t i = 0; i < model->numLayers; ++i) SaveLayersTensors(model->layers[i], directory);
}

extern "C" void load_layer_input(uint32_t id, int32_t layerIndex, const char* directory)
{
    Model* model = Lookup(id);
    Layer* layer = LayerAt(model, layerIndex);
    NNKernel* kernel = layer->kernel;
    for (uint32_t i = 0; i < kernel->inputsNum; ++i) {
        const std::string what = "input " + std::to_string(i);
        LoadInto(kernel->input[i], LoadInputTensor(layer, directory, (int32_t)i), layer, what.c_str());
    }
}

extern "C" void load_layer_output(uint32_t id, int32_t layerIndex, const char* directory)
{
    Model* model = Lookup(id);
    Layer* layer = LayerAt(model, layerIndex);
    CV_CHECK_MSG(layer->kernel->outputsNum > 0, "Layer %s has no output to load", layer->name);
    LoadInto(layer->kernel->output[0], LoadOutputTensor(layer, directory), layer, "output");
}

extern "C" void release_model(uint32_t id)
{
    check_model(id);
    auto it = Models().find(id);
    DestroyModel(it->second);
    Models().erase(it);
}
