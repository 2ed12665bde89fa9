#define CORVUS_MODULE "Report"
#include "Report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

extern "C" void CorvusFatal(const char* module, int line, const char* fmt, ...)
{
    std::fflush(stdout);
    std::fputs("[ERROR MESSAGE]: ", stderr);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fprintf(stderr, ". File %s : %d\n", module, line);
    std::fflush(stderr);
    std::exit(1);
}

extern "C" void CorvusDebug(const char* module, int line, const char* fmt, ...)
{
    std::fputs("[DEBUG MESSAGE]: ", stdout);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stdout, fmt, args);
    va_end(args);
    std::fprintf(stdout, ". File %s : %d\n", module, line);
    std::fflush(stdout);
}
