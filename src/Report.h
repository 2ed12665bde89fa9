/* Fatal and debug reports shared by every module.
 *
 * A failed check prints "[ERROR MESSAGE]: <message>. File <module> : <line>"
 * to stderr and ends the process with status 1; a warning prints
 * "[DEBUG MESSAGE]: <message>. File <module> : <line>" to stdout and returns.
 * Each source file defines CORVUS_MODULE (the module name printed in the
 * report) before including this header. */
#ifndef CORVUS_REPORT_H
#define CORVUS_REPORT_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define CORVUS_PRINTF(fmt_idx, arg_idx) __attribute__((format(printf, fmt_idx, arg_idx)))
#define CORVUS_NORETURN __attribute__((noreturn))
#else
#define CORVUS_PRINTF(fmt_idx, arg_idx)
#define CORVUS_NORETURN
#endif

void CorvusFatal(const char* module, int line, const char* fmt, ...) CORVUS_PRINTF(3, 4) CORVUS_NORETURN;
void CorvusDebug(const char* module, int line, const char* fmt, ...) CORVUS_PRINTF(3, 4);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(CORVUS_FUZZ_BUILD)
#include <stdexcept>
/* Fuzzing builds only: a fatal report throws this instead of ending the
 * process, so the fuzzer can go on with the next input. The message is the
 * one the report would have printed. */
struct CorvusFatalExit : std::runtime_error {
    using std::runtime_error::runtime_error;
};
#endif

#ifndef CORVUS_MODULE
#error "define CORVUS_MODULE before including Report.h"
#endif

/* Unconditional fatal report with a printf-style message. */
#define CV_FATAL(...) CorvusFatal(CORVUS_MODULE, __LINE__, __VA_ARGS__)
/* Warning on stdout; execution continues. */
#define CV_DEBUG(...) CorvusDebug(CORVUS_MODULE, __LINE__, __VA_ARGS__)
/* Fatal report when cond is false: "<cond>: false, expected: true". */
#define CV_CHECK(cond)                                                                                                 \
    do {                                                                                                               \
        if (!(cond)) CV_FATAL("%s: false, expected: true", #cond);                                                     \
    } while (0)
/* Fatal report when cond is false, with an explicit message. */
#define CV_CHECK_MSG(cond, ...)                                                                                        \
    do {                                                                                                               \
        if (!(cond)) CV_FATAL(__VA_ARGS__);                                                                            \
    } while (0)
/* Fatal report when ptr is null: "<expr>==NULL, expected not NULL value".
 * The expression text may be an assignment, which is evaluated once. */
#define CV_CHECK_PTR(expr)                                                                                             \
    do {                                                                                                               \
        if ((expr) == NULL) CV_FATAL("%s==NULL, expected not NULL value", #expr);                                      \
    } while (0)

/* Fatal report when a kernel function is called without its kernel record;
 * each operator keeps its own wording of the message. */
#define CV_CHECK_KERNEL(kernel, ...) CV_CHECK_MSG((kernel) != NULL, __VA_ARGS__)

#endif
