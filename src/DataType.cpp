#define CORVUS_MODULE "DataType"
#include "DataType.h"

#include <ctime>

#include "Report.h"

namespace {
struct TypeInfo {
    uint8_t size;
    const char* name;
};
constexpr TypeInfo kTypes[] = {
    {4, "float32"}, {2, "float16"}, {4, "int32"}, {4, "uint32"}, {1, "uint8"}, {1, "int8"},
};
constexpr uint32_t kTypesCount = sizeof(kTypes) / sizeof(kTypes[0]);
}  // namespace

extern "C" DataType DefaultDataType(void) { return DT_FLOAT32; }

extern "C" uint8_t DataTypeSize(DataType dtype)
{
    if ((uint32_t)dtype >= kTypesCount) CV_FATAL("Wrong data type");
    return kTypes[dtype].size;
}

extern "C" const char* DataTypeToStr(DataType dtype)
{
    if ((uint32_t)dtype >= kTypesCount) CV_FATAL("Wrong data type");
    return kTypes[dtype].name;
}

extern "C" const char* DataLayoutStr(DataLayout layout)
{
    switch ((uint32_t)layout) {
    case DL_NONE:
        return "DL_NONE";
    case DL_I:
        return "DL_I";
    case DL_NC:
        return "DL_NC";
    case DL_CN:
        return "DL_CN";
    case DL_HW:
        return "DL_HW";
    case DL_WH:
        return "DL_WH";
    case DL_NHWC:
        return "DL_NHWC";
    case DL_NCHW:
        return "DL_NCHW";
    case DL_HWCN:
        return "DL_HWCN";
    case DL_HWNC:
        return "DL_HWNC";
    default:
        return "DL_UNKNOW";
    }
}

extern "C" void SetZeroToStatValues(StatValues* stat)
{
    stat->tics = 0;
    stat->instrs = 0;
}

extern "C" void SetDiffToStatValues(StatValues* stat)
{
    stat->tics = (uint64_t)std::clock() - stat->tics;
    stat->instrs = 0;
}

extern "C" double GetTimeUSEC(void) { return (double)std::clock(); }
