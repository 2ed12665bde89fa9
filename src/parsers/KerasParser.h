/* Internal to the Keras reader: its typed member accessors. */
#ifndef CORVUS_PARSERS_KERASPARSER_H
#define CORVUS_PARSERS_KERASPARSER_H

#include <cstdint>
#include <string>

#include "parsers/Json.h"

/* Member accessors of the Keras reader. A missing member fails with
 * "No value of <name>" (get_uint, get_int) or gives the default. A list
 * member yields its element `index`; a scalar serves every index. Values
 * must be integers (an integral JSON number is accepted) and fit 32 bits;
 * get_uint returns a negative value's two's-complement pattern. Anything else
 * (another type, an index past the end of the list) is fatal. */
uint32_t get_uint(const corvus_json::Value& obj, const std::string& name, uint32_t index);
uint32_t get_uint_or_default(const corvus_json::Value& obj, const std::string& name, uint32_t defaultValue,
                             uint32_t index);
int32_t get_int(const corvus_json::Value& obj, const std::string& name, uint32_t index);
int32_t get_int_or_default(const corvus_json::Value& obj, const std::string& name, int32_t defaultValue,
                           uint32_t index);

#endif
