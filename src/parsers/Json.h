/* Internal to the model description readers: the JSON document they read,
 * member lookup, integer reading and the size limits both readers apply.
 *
 * RapidJSON's own assertions would abort (or, without assertions, read
 * through a wrong union member) on a value of an unexpected type. The readers
 * test every type before reading, and this hook turns anything that slips
 * through into the fatal report instead. */
#ifndef CORVUS_PARSERS_JSON_H
#define CORVUS_PARSERS_JSON_H

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

/* Bounds that keep a hostile description from asking for absurd tensors: one
 * window, feature or padding extent, the element count of one tensor, and the
 * entries of one list attribute. */
constexpr uint32_t kMaxExtent = 1u << 24;
constexpr uint64_t kMaxElements = 1ull << 28;
constexpr uint32_t kMaxListLength = 64;

/* Parses the whole stream. Nesting is walked without recursion, so a deeply
 * nested hostile document cannot exhaust the stack. Returns false (document
 * left without members) when the text is not JSON. */
bool ParseStream(std::istream& stream, Document& document);

/* The member `name` of `obj`; null when it is absent or `obj` is no object. */
const Value* Find(const Value& obj, const char* name);

/* A JSON integer, or a number with an integral value, as a 64-bit integer;
 * an integer above INT64_MAX reads as INT64_MAX, beyond every range checked
 * after. False for anything else. */
bool Integer(const Value& v, int64_t* out);

/* The text of a string value, embedded zeros included. */
std::string Text(const Value& v);

}  // namespace corvus_json

#endif
