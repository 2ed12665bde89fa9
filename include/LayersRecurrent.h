/* Recurrent layers: records, constructors and kernels. */
#ifndef CORVUS_LAYERSRECURRENT_H
#define CORVUS_LAYERSRECURRENT_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Values of LSTMParams.parserType. */
#define LSTM_PARSER_ONNX 0u
#define LSTM_PARSER_KERAS 1u
/* Value of LSTMParams.direction that asks for both directions. */
#define LSTM_DIRECTION_BIDIRECTIONAL 2u

/* LSTM record. The caller fills parserType, direction, hiddenSize, the
 * flags and the counts; the constructor computes batch, seqLength,
 * inputSize and numDirections from the input (3-D: [batch, sequence,
 * features] when batchMajor, else [sequence, batch, features]). */
typedef struct LSTMParams {
    uint32_t parserType;
    uint32_t direction;
    uint32_t batch;
    uint32_t hiddenSize;
    uint32_t seqLength;
    uint32_t inputSize;
    uint32_t numDirections;
    bool batchMajor;
    bool hasBias;
    bool sequenceFlag; /* ONNX: a sequence-lengths inner tensor exists; Keras: return every step */
    bool hasInitialH;  /* input[1] holds the initial hidden state */
    bool hasInitialC;  /* input[2] holds the initial cell state */
    uint32_t numInputs;
    uint32_t numInner;
    uint32_t numOutputs; /* ONNX: 1 to 3 (Y, Y_h, Y_c); Keras: 1 */
    uint32_t outputIndex;
} LSTMParams;

/* ---- Constructors ----------------------------------------------------- */
/* Inputs come from inputLayers (each layer's output[0]) or, when that is
 * NULL, from inputTensors, which the layer then owns; params->numInputs of
 * them: the sequence, then the optional initial hidden and cell states. The
 * layer keeps its own copy of the record. name NULL generates one.
 *
 * With H = hiddenSize, D = numDirections, I = inputSize, the inner tensors
 * (the input's type, DL_NONE, data from the weights file) are
 *   ONNX:  [D, I, 4H], [D, H, 4H], bias [D, 4H], sequence lengths [batch]
 *   Keras: [I, 4H],    [H, 4H],    bias [4H]
 * with the 4H columns in gate order input, forget, cell candidate, output.
 * ONNX outputs (no data): Y [sequence, D, batch, H] ([batch, sequence, D, H]
 * when batch major), then Y_h and Y_c [D, batch, H]. Keras output (with
 * data): [batch, sequence, H] when returning sequences, else [batch, H]. */
CORVUS_EXPORT Layer* AddLSTMLayer(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* params,
                                  const char* name);
CORVUS_EXPORT Layer* AddLSTMONNXLayer(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* params,
                                      const char* name);
CORVUS_EXPORT Layer* AddLSTMKerasLayer(Layer** inputLayers, Tensor** inputTensors, const LSTMParams* params,
                                       const char* name);

/* Exposes output[outputIndex] of an LSTM layer (or the given tensor) as a
 * layer of its own; the output has that tensor's type and shape, DL_NONE. */
CORVUS_EXPORT Layer* AddPostLSTMLayer(Layer* inputLayer, Tensor* inputTensor, const char* name, uint32_t outputIndex);

/* ---- Kernels ---------------------------------------------------------- */

/* One time step for every batch row, float32:
 *   gates = x.W + h.R (+ B), x [batch, I], W [I, 4H], R [H, 4H], B [4H] or NULL;
 *   i, f, o = sigmoid, g = tanh; c = f*c + i*g; h = o*tanh(c).
 * h and c [batch, H] are updated in place; work is dense scratch of at least
 * 2 * batch * 4H values. */
CORVUS_EXPORT void LSTMCell(const Tensor* x, const Tensor* W, const Tensor* R, const Tensor* B, Tensor* h, Tensor* c,
                            Tensor* work);
/* Runs the layer's variant on float32 tensors laid out as the constructor
 * made them. */
CORVUS_EXPORT void LSTM_ref(Tensor* const* outputs, uint32_t outputsNum, Tensor* const* inputs, uint32_t inputsNum,
                            Tensor* const* inner, uint32_t innerNum, const LSTMParams* params);
/* float16 operands go through float32 temporaries. */
CORVUS_EXPORT void Execute_LSTM_ref(NNKernel* kernel);

#ifdef __cplusplus
}
#endif

#endif
