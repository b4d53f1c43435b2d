// The platform's start-up code: wide argc/argv with the program's full path in argv[0],
// handed to the system's entry, whose result is the exit code.
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv);

namespace {

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    size_t n = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    if (n == static_cast<size_t>(-1)) return std::wstring(text.begin(), text.end());
    wide.resize(n);
    return wide;
}

std::string ProgramPath(const char* argv0) {
    std::vector<char> path(4096);
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    return n > 0 ? std::string(path.data(), static_cast<size_t>(n)) : std::string(argv0);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    // A client that vanishes must never end the process through a write.
    std::signal(SIGPIPE, SIG_IGN);
    // The words live for the whole run: records keep pointers into them.
    static std::vector<std::wstring> words;
    static std::vector<wchar_t*> wargv;
    words.push_back(Widen(ProgramPath(argv[0])));
    for (int i = 1; i < argc; ++i) words.push_back(Widen(argv[i]));
    for (auto& w : words) wargv.push_back(w.data());
    wargv.push_back(nullptr);
    return wmain(argc, wargv.data());
}
