// Constructors of the LSTM layer (ONNX and Keras variants) and of the
// PostLSTM layer that exposes one further LSTM output.
#define CORVUS_MODULE "Layers"
#include "LayersRecurrent.h"

#include <cstdlib>
#include <cstring>

#include "LayersInternal.h"
#include "Report.h"

namespace {

// Inputs and inner slots beyond these carry nothing the layer could use.
constexpr uint32_t kMaxLSTMInputs = 8;
constexpr uint32_t kMaxLSTMInner = 8;

TensorShape Shape3(uint32_t a, uint32_t b, uint32_t c)
{
    TensorShape s = {};
    s.dimension[0] = a;
    s.dimension[1] = b;
    s.dimension[2] = c;
    return s;
}

const Tensor* SequenceInput(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* params)
{
    if (params->numInputs < 1 || params->numInputs > kMaxLSTMInputs)
        CV_FATAL("LSTM: number of inputs must be 1 to %u, it is %u", kMaxLSTMInputs, params->numInputs);
    if (inputLayers != nullptr) {
        CV_CHECK_PTR(inputLayers[0]);
        const NNKernel* k = inputLayers[0]->kernel;
        if (k == nullptr || k->outputsNum == 0 || k->output == nullptr || k->output[0] == nullptr)
            CV_FATAL("LSTM: input layer 0 has no output tensor");
        return k->output[0];
    }
    if (inputTensors == nullptr || inputTensors[0] == nullptr) CV_FATAL("LSTM: no input tensor");
    return inputTensors[0];
}

// Checks the record against the input, creates the layer and its own copy
// of the record with the computed fields.
Layer* CreateLSTMLayer(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* caller, const char* name,
                       const Tensor* in, bool onnx)
{
    LSTMParams p = *caller;
    p.batch = in->shape.dimension[p.batchMajor ? 0 : 1];
    p.seqLength = in->shape.dimension[p.batchMajor ? 1 : 0];
    p.inputSize = in->shape.dimension[2];
    p.numDirections = p.direction == LSTM_DIRECTION_BIDIRECTIONAL ? 2 : 1;
    if (in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16)
        CV_FATAL("LSTM: input tensor must be float32 or float16, it is %s", DataTypeToStr((DataType)in->dtype));
    if (p.hiddenSize == 0) CV_FATAL("LSTM: hidden size must be positive");
    // Every tensor of the layer must count its elements in 32 bits.
    const uint64_t D = p.numDirections, H = p.hiddenSize, G = 4 * H;
    const uint64_t largest[] = {D * p.inputSize * G, D * H * G, (uint64_t)p.seqLength * p.batch * D * H};
    for (uint64_t n : largest)
        if (n > UINT32_MAX) CV_FATAL("LSTM: hidden size %u gives tensors of more than 2^32 elements", p.hiddenSize);

    const uint32_t neededInner = onnx && p.sequenceFlag ? 4 : (p.hasBias ? 3 : 2);
    if (p.numInner < neededInner || p.numInner > kMaxLSTMInner)
        CV_FATAL("LSTM: number of inner tensors must be %u to %u, it is %u", neededInner, kMaxLSTMInner, p.numInner);
    const uint32_t neededInputs = p.hasInitialC ? 3 : (p.hasInitialH ? 2 : 1);
    if (p.numInputs < neededInputs)
        CV_FATAL("LSTM: the initial states need %u inputs, the record gives %u", neededInputs, p.numInputs);
    if (onnx ? (p.numOutputs < 1 || p.numOutputs > 3) : p.numOutputs != 1)
        CV_FATAL("LSTM: unsupported number of outputs %u", p.numOutputs);

    Layer* layer = CreateLayer(name, OP_LSTM, inputLayers, inputLayers != nullptr ? nullptr : inputTensors, p.numInputs,
                               p.numInner);
    // Initial states hold one value per direction, batch row and unit.
    const NNKernel* k = layer->kernel;
    for (uint32_t j = 1; j <= 2; ++j)
        if ((j == 1 ? p.hasInitialH : p.hasInitialC) && GetTensorSize(k->input[j]) != D * p.batch * H)
            CV_FATAL("LSTM: initial %s state must hold %llu values, it holds %u", j == 1 ? "hidden" : "cell",
                     (unsigned long long)(D * p.batch * H), GetTensorSize(k->input[j]));
    LSTMParams* params = (LSTMParams*)malloc(sizeof(LSTMParams));
    CV_CHECK_PTR(params);
    *params = p;
    layer->kernel->params = params;
    return layer;
}

// Replaces the single output slot made by CreateLayer with `count` slots.
void SetOutputs(NNKernel* kernel, uint32_t count)
{
    Tensor** outputs = (Tensor**)calloc(count, sizeof(Tensor*));
    if (outputs == nullptr) CV_FATAL("Cannot allocate memory");
    DestroyTensor(kernel->output[0]);
    free(kernel->output);
    kernel->output = outputs;
    kernel->outputsNum = count;
}

void CheckParams(const LSTMParams* params)
{
    if (params == nullptr) CV_FATAL("params==NULL, expected not NULL value");
}

}  // namespace

extern "C" {

Layer* AddLSTMLayer(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* params, const char* name)
{
    CheckParams(params);
    switch (params->parserType) {
    case LSTM_PARSER_ONNX:
        return AddLSTMONNXLayer(inputLayers, inputTensors, params, name);
    case LSTM_PARSER_KERAS:
        return AddLSTMKerasLayer(inputLayers, inputTensors, params, name);
    default:
        CV_FATAL("LSTM: Unknown parser type: %i\n", (int)params->parserType);
    }
}

Layer* AddLSTMONNXLayer(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* params, const char* name)
{
    CheckParams(params);
    const Tensor* in = SequenceInput(inputLayers, inputTensors, params);
    if (in->ndim != 3)
        CV_FATAL("AddLSTMONNXLayer: Input tensor dimensions number must equal 3.Current dimensions number: %i\n",
                 (int)in->ndim);
    Layer* layer = CreateLSTMLayer(inputLayers, inputTensors, params, name, in, true);
    const LSTMParams* p = (const LSTMParams*)layer->kernel->params;
    NNKernel* kernel = layer->kernel;
    const DataType dt = (DataType)in->dtype;
    const uint32_t D = p->numDirections, H = p->hiddenSize, I = p->inputSize;
    CV_CHECK_PTR(kernel->inner[0] = CreateTensor(dt, DL_NONE, 3, Shape3(D, I, 4 * H), false));
    CV_CHECK_PTR(kernel->inner[1] = CreateTensor(dt, DL_NONE, 3, Shape3(D, H, 4 * H), false));
    if (p->hasBias) CV_CHECK_PTR(kernel->inner[2] = CreateTensor(dt, DL_NONE, 2, Shape3(D, 4 * H, 0), false));
    if (p->sequenceFlag) CV_CHECK_PTR(kernel->inner[3] = CreateTensor(dt, DL_NONE, 1, Shape3(p->batch, 0, 0), false));

    SetOutputs(kernel, p->numOutputs);
    TensorShape y = {};
    const uint32_t yDims[2][4] = {{p->seqLength, D, p->batch, H}, {p->batch, p->seqLength, D, H}};
    memcpy(y.dimension, yDims[p->batchMajor ? 1 : 0], sizeof(yDims[0]));
    CV_CHECK_PTR(kernel->output[0] = CreateTensor(dt, DL_NONE, 4, y, false));
    for (uint32_t j = 1; j < p->numOutputs; ++j)
        CV_CHECK_PTR(kernel->output[j] = CreateTensor(dt, DL_NONE, 3, Shape3(D, p->batch, H), false));
    return layer;
}

Layer* AddLSTMKerasLayer(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* params, const char* name)
{
    CheckParams(params);
    const Tensor* in = SequenceInput(inputLayers, inputTensors, params);
    if (in->ndim != 3)
        CV_FATAL("LSTM KERAS: input tensor dimensions number must equal 3.Current dimensions number: %i\n",
                 (int)in->ndim);
    Layer* layer = CreateLSTMLayer(inputLayers, inputTensors, params, name, in, false);
    const LSTMParams* p = (const LSTMParams*)layer->kernel->params;
    NNKernel* kernel = layer->kernel;
    const DataType dt = (DataType)in->dtype;
    const uint32_t H = p->hiddenSize;
    CV_CHECK_PTR(kernel->inner[0] = CreateTensor(dt, DL_NONE, 2, Shape3(p->inputSize, 4 * H, 0), false));
    CV_CHECK_PTR(kernel->inner[1] = CreateTensor(dt, DL_NONE, 2, Shape3(H, 4 * H, 0), false));
    if (p->hasBias) CV_CHECK_PTR(kernel->inner[2] = CreateTensor(dt, DL_NONE, 1, Shape3(4 * H, 0, 0), false));
    if (p->sequenceFlag)
        CV_CHECK_PTR(kernel->output[0] = CreateTensor(dt, DL_NONE, 3, Shape3(p->batch, p->seqLength, H), true));
    else
        CV_CHECK_PTR(kernel->output[0] = CreateTensor(dt, DL_NONE, 2, Shape3(p->batch, H, 0), true));
    return layer;
}

Layer* AddPostLSTMLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t outputIndex)
{
    Layer* layer = CreateSingleInputLayer(name, OP_PostLSTM, inputLayer, inputTensor, 0);
    NNKernel* kernel = layer->kernel;
    if (inputLayer != nullptr) {
        // The producer's further output instead of its output[0].
        const NNKernel* src = inputLayer->kernel;
        if (outputIndex >= src->outputsNum || src->output[outputIndex] == nullptr)
            CV_FATAL("PostLSTM: layer %s has no output %u", inputLayer->name, outputIndex);
        const Tensor* o = src->output[outputIndex];
        Tensor* view = CreateEmptyTensor();
        view->dtype = o->dtype;
        view->layout = o->layout;
        view->ndim = o->ndim;
        view->shape = o->shape;
        view->stride = o->stride;
        view->data = o->data;
        DestroyTensor(kernel->input[0]);
        kernel->input[0] = view;
    }
    const Tensor* in = kernel->input[0];
    CV_CHECK_PTR(kernel->output[0] = CreateTensor((DataType)in->dtype, DL_NONE, in->ndim, in->shape, false));
    return layer;
}

}  // extern "C"
