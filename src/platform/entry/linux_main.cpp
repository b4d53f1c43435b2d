// The platform's start-up code: wide argc/argv with the program's full path in argv[0],
// handed to the system's entry, whose result is the exit code.
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <string>
#include <vector>

#include "utf8.h"

int wmain(int argc, wchar_t** argv);

namespace {

std::string ProgramPath(const char* argv0) {
    std::vector<char> path(4096);
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n > 0) return std::string(path.data(), static_cast<size_t>(n));
    return argv0 != nullptr ? argv0 : "veltrabox";
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    // A client that vanishes must never end the process through a write.
    std::signal(SIGPIPE, SIG_IGN);
    // The words live for the whole run, and are never destroyed: records keep pointers into
    // them, and other instances' threads still run while the process exits. argv[0] is the
    // program's path even when the caller passed no words at all.
    static auto& words = *new std::vector<std::wstring>;
    static auto& wargv = *new std::vector<wchar_t*>;
    words.push_back(win::detail::WidenUtf8(ProgramPath(argc > 0 ? argv[0] : nullptr)));
    for (int i = 1; i < argc; ++i) words.push_back(win::detail::WidenUtf8(argv[i]));
    for (auto& w : words) wargv.push_back(w.data());
    wargv.push_back(nullptr);
    return wmain(static_cast<int>(words.size()), wargv.data());
}
