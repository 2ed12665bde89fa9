#define CORVUS_MODULE "Report"
#include "Report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

extern "C" void CorvusFatal(const char* module, int line, const char* fmt, ...)
{
#ifdef CORVUS_FUZZ_BUILD
    // A rejected input is the expected outcome while fuzzing: hand the
    // message to the harness instead of ending the process.
    char message[1024];
    va_list fuzzArgs;
    va_start(fuzzArgs, fmt);
    int n = std::vsnprintf(message, sizeof(message), fmt, fuzzArgs);
    va_end(fuzzArgs);
    if (n < 0) message[0] = 0;
    char report[1200];
    std::snprintf(report, sizeof(report), "[ERROR MESSAGE]: %s. File %s : %d", message, module, line);
    throw CorvusFatalExit(report);
#endif
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
