/* The flat interface: models addressed by a host-chosen numeric id.
 *
 * Loading runs the whole pipeline (parse, create, load weights, optimise in
 * float32, initialise) and stores the model under the id, replacing any
 * model stored there. Every function that takes an id first checks that it
 * is registered.
 *
 * An id that is not registered, or an input/output index out of range,
 * raises std::runtime_error (see cpu_backend.hpp); this exception crosses
 * the C linkage, so a C host must only pass registered ids and valid
 * indices. Every other failure is fatal (message, exit status 1). The
 * registry and the id counter are unprotected: one host thread at a time. */
#ifndef CORVUS_CPU_BACKEND_H
#define CORVUS_CPU_BACKEND_H

#include <stdint.h>

#include "CorvusExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Process-wide id counter, 0 at load time, offered for choosing ids. */
CORVUS_EXPORT uint32_t get_model_id(void);
CORVUS_EXPORT uint32_t inc_model_id(void);

/* Raises "Cannot find model with model_id: <id>" for an unregistered id. */
CORVUS_EXPORT void check_model(uint32_t model_id);

CORVUS_EXPORT void load_model_keras(uint32_t model_id, const char* descriptionPath, const char* weightsPath);

CORVUS_EXPORT uint32_t get_inputs_number(uint32_t model_id);
CORVUS_EXPORT uint32_t get_outputs_number(uint32_t model_id);
/* Copies the layer name into dst WITHOUT a terminating zero: pass a
 * zero-filled buffer longer than any layer name. */
CORVUS_EXPORT void write_input_name(uint32_t model_id, int32_t index, char* dst);
CORVUS_EXPORT void write_output_name(uint32_t model_id, int32_t index, char* dst);
/* dst[0] = ndim, dst[1..ndim] = extents; dst holds 1 + MAX_NDIM_VALUE (7). */
CORVUS_EXPORT void get_input_shape(uint32_t model_id, uint32_t index, uint32_t* dst);
CORVUS_EXPORT void get_output_shape(uint32_t model_id, uint32_t index, uint32_t* dst);
/* Element type (a DataType) of input or output `index`: what run_predict
 * converts inputs to, and what it writes into an output buffer. */
CORVUS_EXPORT uint32_t get_input_type(uint32_t model_id, uint32_t index);
CORVUS_EXPORT uint32_t get_output_type(uint32_t model_id, uint32_t index);

/* inputs[i] holds `batch` input tensors back to back, in the element type
 * inputTypes[i] (a DataType); outputs[j] receives `batch` output tensors
 * back to back, 4-byte elements of the output's own type (get_output_type:
 * float32, int32 or uint32). A batch of 0 runs nothing. */
CORVUS_EXPORT void run_predict(uint32_t model_id, void** inputs, const uint32_t* inputTypes, void** outputs,
                               uint32_t batch);

/* Runs the model on `cores` cores from the next prediction on (1, the
 * default: the caller's thread alone; above 16 counts as 16; 0 is fatal).
 * Results are bit-identical for every count; see SetModelCoresNumber. */
CORVUS_EXPORT void set_model_cores_number(uint32_t model_id, uint32_t cores);

/* Statistics CSV of the most recent run, per layer in execution order. */
CORVUS_EXPORT void save_layers_statistic(uint32_t model_id, const char* path);
/* Dumps every layer's inputs, output and inner tensors into an existing directory. */
CORVUS_EXPORT void save_layers_tensors(uint32_t model_id, const char* directory);
/* Copy the dumps in directory into the inputs (or output 0) of
 * layers[layerIndex], in place: element type and count must match.
 * layerIndex must be below the model's layer count. */
CORVUS_EXPORT void load_layer_input(uint32_t model_id, int32_t layerIndex, const char* directory);
CORVUS_EXPORT void load_layer_output(uint32_t model_id, int32_t layerIndex, const char* directory);

/* Destroys the model and forgets the id. */
CORVUS_EXPORT void release_model(uint32_t model_id);

#ifdef __cplusplus
}
#endif

#endif
