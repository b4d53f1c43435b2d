#include "support/scoped_registry.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

ScopedRegistry::ScopedRegistry(const std::string& text) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/registry-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    path_ = name.data();
    const char* previous = std::getenv("VELTRABOX_REGISTRY");
    hadPrevious_ = previous != nullptr;
    if (hadPrevious_) previous_ = previous;
    Write(text);
    setenv("VELTRABOX_REGISTRY", path_.c_str(), 1);
}

ScopedRegistry::~ScopedRegistry() {
    if (hadPrevious_) {
        setenv("VELTRABOX_REGISTRY", previous_.c_str(), 1);
    } else {
        unsetenv("VELTRABOX_REGISTRY");
    }
    unlink(path_.c_str());
}

void ScopedRegistry::Write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
}
