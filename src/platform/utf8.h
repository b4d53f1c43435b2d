// UTF-8 to wide text, independent of the process locale.
#pragma once

#include <string>
#include <string_view>

namespace win::detail {

// Malformed sequences become U+FFFD.
std::wstring WidenUtf8(std::string_view text);

}  // namespace win::detail
