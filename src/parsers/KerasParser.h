/* Internal to the model description readers: the JSON document type they
 * share and the typed member accessors of the Keras reader.
 *
 * RapidJSON's own assertions would abort (or, without assertions, read
 * through a wrong union member) on a value of an unexpected type. The readers
 * test every type before reading, and this hook turns anything that slips
 * through into the fatal report instead. */
#ifndef CORVUS_PARSERS_KERASPARSER_H
#define CORVUS_PARSERS_KERASPARSER_H

#include <cstdint>
#include <istream>
#include <string>

extern "C" void CorvusJsonAssertFailed(const char* expression);
#ifndef RAPIDJSON_ASSERT
#define RAPIDJSON_ASSERT(x) ((x) ? (void)0 : CorvusJsonAssertFailed(#x))
#endif
#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>

namespace corvus_json {

/* UTF-8 document on the memory-pool allocator. */
using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>;
using Value = Document::ValueType;

/* Parses the whole stream. Nesting is walked without recursion, so a deeply
 * nested hostile document cannot exhaust the stack. Returns false (document
 * left without members) when the text is not JSON. */
bool ParseStream(std::istream& stream, Document& document);

}  // namespace corvus_json

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
