/* C++ entries of the model description readers: descriptions held in memory
 * (any input stream, e.g. a std::istringstream). */
#ifndef CORVUS_MODELPARSER_HPP
#define CORVUS_MODELPARSER_HPP

#include <istream>

#include "ModelParser.h"

IOLayers* ParseLayersFromKerasJSON(std::istream& stream);
IOLayers* ParseLayersFromONNXJSON(std::istream& stream);

/* The readers themselves. The Keras reader raises std::runtime_error for a
 * "SeparableConv2D" layer (after releasing what it built); every other
 * failure is fatal. */
IOLayers* _ParseLayersFromKerasJSON(std::istream& stream);
IOLayers* _ParseLayersFromONNXJSON(std::istream& stream);

#endif
