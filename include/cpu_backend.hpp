/* C++ view of the flat interface: the functions of cpu_backend.h, which
 * raise std::runtime_error for an unregistered id ("Cannot find model with
 * model_id: <id>") and for an input or output index out of range ("Model
 * input index is out of inputs number range", "Model output index is out of
 * outputs number range"); the registry is left unchanged. */
#ifndef CORVUS_CPU_BACKEND_HPP
#define CORVUS_CPU_BACKEND_HPP

#include <stdexcept>

#include "CorvusExport.h"
#include "Model.h"
#include "cpu_backend.h"

/* The model stored under an id, for hosts that also use the model functions
 * (layer listings, statistics); it stays owned by the registry. */
CORVUS_EXPORT Model* get_model(uint32_t model_id);

#endif
