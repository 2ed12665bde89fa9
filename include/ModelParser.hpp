/* C++ entries of the model description readers: descriptions held in memory
 * (any input stream, e.g. a std::istringstream). */
#ifndef CORVUS_MODELPARSER_HPP
#define CORVUS_MODELPARSER_HPP

#include <istream>

#include "CorvusExport.h"
#include "ModelParser.h"

CORVUS_EXPORT IOLayers* ParseLayersFromKerasJSON(std::istream& stream);
CORVUS_EXPORT IOLayers* ParseLayersFromONNXJSON(std::istream& stream);

/* The readers themselves. The Keras reader raises std::runtime_error for a
 * "SeparableConv2D" layer (after releasing what it built); every other
 * failure is fatal. */
CORVUS_EXPORT IOLayers* _ParseLayersFromKerasJSON(std::istream& stream);
CORVUS_EXPORT IOLayers* _ParseLayersFromONNXJSON(std::istream& stream);

#endif
