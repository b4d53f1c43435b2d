// The registry file parser on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/registry_file.h"
#include "tools/veltraclient/ipmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string verdict;
    auto tree = win::detail::ParseRegistryText(text, [size, &verdict](int line, const char*) {
        if (line < 1 || static_cast<size_t>(line) > size) __builtin_trap();
        verdict += "line " + std::to_string(line) + " skipped; ";
    });
    for (const auto& [path, values] : tree) {
        verdict += std::string(path.begin(), path.end()) + ":";
        for (const auto& [name, value] : values) {
            if (value.Type == win::REG_DWORD && value.Data.size() != 4) __builtin_trap();
            verdict += " " + std::string(name.begin(), name.end()) + "=" +
                       std::to_string(value.Type) + ":" + ipmsg::HexOf(value.Data);
        }
        verdict += "; ";
    }
    Verdict(verdict);
    return 0;
}
