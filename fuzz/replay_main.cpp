// Runs fuzz inputs with production semantics: each input in its own child
// process, where a fatal report ends the child with status 1 and the leak
// checker runs at exit. Any other ending (a signal, a sanitizer report) is a
// failure. Arguments are files or directories of files; with
// CORVUS_REPLAY_VERBOSE set, each rejection message is shown.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Every sanitizer report aborts, so it cannot pass for a fatal exit.
extern "C" const char* __asan_default_options() { return "abort_on_error=1:detect_leaks=1"; }
extern "C" const char* __ubsan_default_options() { return "abort_on_error=1:halt_on_error=1:print_stacktrace=1"; }
extern "C" const char* __lsan_default_options() { return "exitcode=86"; }

namespace {

void Collect(const std::string& path, std::vector<std::string>& files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') Collect(path + "/" + e->d_name, files);
    closedir(d);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) Collect(argv[i], files);
    unsigned accepted = 0, rejected = 0, failed = 0;
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fflush(stdout);
        std::fflush(stderr);
        FILE* log = std::tmpfile();
        if (log == nullptr) return 2;
        const pid_t pid = fork();
        if (pid == 0) {
            // The child's messages go to a log, shown only when it fails.
            if (!std::freopen("/dev/null", "w", stdout) || dup2(fileno(log), 2) < 0) _exit(2);
            LLVMFuzzerTestOneInput((const uint8_t*)bytes.data(), bytes.size());
            std::exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        std::string text;
        std::rewind(log);
        for (int c; (c = std::fgetc(log)) != EOF;) text.push_back((char)c);
        std::fclose(log);
        // A rejection must be the library's own fatal report.
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            ++accepted;
        } else if (WIFEXITED(status) && WEXITSTATUS(status) == 1 &&
                   text.find("[ERROR MESSAGE]: ") != std::string::npos) {
            ++rejected;
            if (std::getenv("CORVUS_REPLAY_VERBOSE") != nullptr) std::printf("%s: %s", f.c_str(), text.c_str());
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s (status %d)\n%s\n", f.c_str(), status, text.c_str());
        }
    }
    std::printf("replayed %zu inputs: %u accepted, %u rejected with a message, %u failed\n", files.size(), accepted,
                rejected, failed);
    return failed == 0 ? 0 : 1;
}
