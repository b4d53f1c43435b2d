// The registry file parser on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto tree = win::detail::ParseRegistryText(text, [size](int line, const char*) {
        if (line < 1 || static_cast<size_t>(line) > size) __builtin_trap();
    });
    for (const auto& [path, values] : tree) {
        for (const auto& [name, value] : values) {
            if (value.Type == win::REG_DWORD && value.Data.size() != 4) __builtin_trap();
        }
    }
    return 0;
}
