#define CORVUS_MODULE "Json"
#include "parsers/Json.h"

#include <cmath>

#include "Report.h"

extern "C" void CorvusJsonAssertFailed(const char* expression)
{
    CV_FATAL("Malformed model description (%s)", expression);
}

namespace corvus_json {

bool ParseStream(std::istream& stream, Document& document)
{
    rapidjson::BasicIStreamWrapper<std::istream> wrapper(stream);
    document.ParseStream<rapidjson::kParseIterativeFlag>(wrapper);
    if (document.HasParseError()) {
        document.SetObject();
        return false;
    }
    return true;
}

const Value* Find(const Value& obj, const char* name)
{
    if (!obj.IsObject()) return nullptr;
    const auto it = obj.FindMember(name);
    return it == obj.MemberEnd() ? nullptr : &it->value;
}

bool Integer(const Value& v, int64_t* out)
{
    if (v.IsInt64()) {
        *out = v.GetInt64();
        return true;
    }
    if (v.IsUint64()) {
        *out = INT64_MAX;
        return true;
    }
    if (v.IsDouble()) {
        const double d = v.GetDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18) {
            *out = (int64_t)d;
            return true;
        }
    }
    return false;
}

std::string Text(const Value& v) { return std::string(v.GetString(), v.GetStringLength()); }

}  // namespace corvus_json
