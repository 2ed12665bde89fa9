// Shared pieces of the fuzz targets: the input as a named file, and the
// rule that a fatal report is an accepted outcome.
#ifndef CORVUS_FUZZ_COMMON_H
#define CORVUS_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvus_fuzz {

// An anonymous in-memory file whose content is replaced on every Write; the
// loaders open it by Path() like any file, without touching the disk.
class MemFile {
public:
    MemFile();
    ~MemFile();
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;
    const char* Write(const uint8_t* data, size_t size);
    const char* Path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

// Runs fn. In the fuzzing build a fatal report arrives as an exception and is
// swallowed here: rejecting bad input with a message is correct behaviour.
// In the replay build a fatal report ends the process with status 1, as in
// production. Returns false when fn was rejected.
template <typename Fn> bool Accepts(Fn&& fn);

}  // namespace corvus_fuzz

#ifdef CORVUS_FUZZ_BUILD
#define CORVUS_MODULE "Fuzz"
#include "Report.h"
#undef CORVUS_MODULE
template <typename Fn> bool corvus_fuzz::Accepts(Fn&& fn)
{
    try {
        fn();
        return true;
    } catch (const CorvusFatalExit&) {
        return false;
    }
}
#else
template <typename Fn> bool corvus_fuzz::Accepts(Fn&& fn)
{
    fn();
    return true;
}
#endif

#endif
