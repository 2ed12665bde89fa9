#include "npy.h"

#include <cstdio>
#include <cstring>

namespace {

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Value of 'key' in the header dictionary, up to the next ',' or ')' pairing.
std::string Field(const std::string& header, const std::string& key)
{
    const size_t k = header.find("'" + key + "'");
    if (k == std::string::npos) return "";
    size_t v = header.find(':', k);
    if (v == std::string::npos) return "";
    ++v;
    while (v < header.size() && header[v] == ' ') ++v;
    if (v < header.size() && header[v] == '(') {
        const size_t end = header.find(')', v);
        return end == std::string::npos ? "" : header.substr(v, end - v + 1);
    }
    size_t end = v;
    while (end < header.size() && header[end] != ',' && header[end] != '}') ++end;
    std::string value = header.substr(v, end - v);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

}  // namespace

bool ParseNpy(const std::vector<uint8_t>& bytes, Npy* out, std::string* error)
{
    if (bytes.size() < 10 || memcmp(bytes.data(), "\x93NUMPY", 6) != 0) {
        *error = "not a .npy file (bad magic)";
        return false;
    }
    const uint8_t major = bytes[6];
    size_t headerLen = 0, start = 0;
    if (major == 1) {
        headerLen = bytes[8] | (bytes[9] << 8);
        start = 10;
    } else if ((major == 2 || major == 3) && bytes.size() >= 12) {
        headerLen = bytes[8] | (bytes[9] << 8) | ((size_t)bytes[10] << 16) | ((size_t)bytes[11] << 24);
        start = 12;
    } else {
        *error = "unsupported .npy version " + std::to_string(major);
        return false;
    }
    if (headerLen > bytes.size() - start) {
        *error = "truncated .npy header";
        return false;
    }
    const std::string header((const char*)bytes.data() + start, headerLen);
    std::string descr = Field(header, "descr");
    if (descr.size() < 2) {
        *error = "missing 'descr' in .npy header";
        return false;
    }
    descr = descr.substr(1, descr.size() - 2);
    if (Field(header, "fortran_order") != "False") {
        *error = "Fortran-ordered .npy arrays are not supported";
        return false;
    }
    const std::string shape = Field(header, "shape");
    if (shape.size() < 2 || shape.front() != '(') {
        *error = "missing 'shape' in .npy header";
        return false;
    }
    out->shape.clear();
    uint64_t count = 1;
    for (size_t p = 1; p < shape.size() - 1;) {
        while (p < shape.size() - 1 && (shape[p] == ' ' || shape[p] == ',')) ++p;
        if (p >= shape.size() - 1) break;
        uint64_t d = 0;
        size_t digits = 0;
        while (p < shape.size() - 1 && shape[p] >= '0' && shape[p] <= '9' && digits < 12) {
            d = d * 10 + (uint64_t)(shape[p++] - '0');
            ++digits;
        }
        if (digits == 0 || (p < shape.size() - 1 && shape[p] != ',' && shape[p] != ' ')) {
            *error = "bad 'shape' in .npy header: " + shape;
            return false;
        }
        out->shape.push_back(d);
        count *= d;
        if (count > (1ull << 32)) {
            *error = "array too large: " + shape;
            return false;
        }
    }
    struct Kind {
        const char* descr;
        DataType dtype;
        size_t size;
    };
    static const Kind kinds[] = {{"<f4", DT_FLOAT32, 4}, {"<f8", DT_FLOAT32, 8}, {"<f2", DT_FLOAT16, 2},
                                 {"<i4", DT_INT32, 4},   {"<u4", DT_UINT32, 4},  {"|u1", DT_UINT8, 1},
                                 {"|i1", DT_INT8, 1},    {"|b1", DT_INT8, 1}};
    const Kind* kind = nullptr;
    for (const Kind& k : kinds)
        if (descr == k.descr) kind = &k;
    if (kind == nullptr) {
        *error = "unsupported .npy element type '" + descr + "'";
        return false;
    }
    const size_t payload = bytes.size() - start - headerLen;
    if (payload != count * kind->size) {
        *error = ".npy data holds " + std::to_string(payload) + " bytes, the header promises " +
                 std::to_string(count * kind->size);
        return false;
    }
    out->dtype = kind->dtype;
    const uint8_t* src = bytes.data() + start + headerLen;
    if (kind->size == 8) {  // float64, narrowed
        out->data.resize(count * 4);
        for (uint64_t i = 0; i < count; ++i) {
            double v;
            memcpy(&v, src + i * 8, 8);
            const float f = (float)v;
            memcpy(out->data.data() + i * 4, &f, 4);
        }
    } else {
        out->data.assign(src, src + payload);
    }
    return true;
}

bool ReadTensorFile(const std::string& path, Npy* out, std::string* error)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot open input file '" + path + "'";
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(f);
    if (EndsWith(path, ".npy")) {
        if (!ParseNpy(bytes, out, error)) {
            *error = path + ": " + *error;
            return false;
        }
        return true;
    }
    if (bytes.size() % 4 != 0) {
        *error = path + ": raw float32 file of " + std::to_string(bytes.size()) + " bytes (not a multiple of 4)";
        return false;
    }
    out->dtype = DT_FLOAT32;
    out->shape = {bytes.size() / 4};
    out->data = std::move(bytes);
    return true;
}

bool WriteNpy(const std::string& path, const Npy& array, std::string* error)
{
    std::string shape = "(";
    for (size_t i = 0; i < array.shape.size(); ++i) shape += std::to_string(array.shape[i]) + ", ";
    if (array.shape.size() > 1) shape.resize(shape.size() - 2);
    shape += ")";
    const char* const descrs[] = {"<f4", "<f2", "<i4", "<u4", "|u1", "|i1"};  // by DataType
    if (array.dtype > DT_INT8) {
        *error = "cannot write '" + path + "': unknown element type";
        return false;
    }
    const char* descr = descrs[array.dtype];
    std::string header = std::string("{'descr': '") + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
    const size_t total = 10 + header.size() + 1;
    header += std::string((64 - total % 64) % 64, ' ') + "\n";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *error = "cannot write '" + path + "'";
        return false;
    }
    const uint8_t pre[10] = {
        0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, (uint8_t)(header.size() & 0xff), (uint8_t)(header.size() >> 8)};
    bool ok = fwrite(pre, 1, 10, f) == 10 && fwrite(header.data(), 1, header.size(), f) == header.size() &&
              fwrite(array.data.data(), 1, array.data.size(), f) == array.data.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok) *error = "cannot write '" + path + "'";
    return ok;
}
