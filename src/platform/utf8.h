// UTF-8 and wide text both ways, independent of the process locale.
#pragma once

#include <string>
#include <string_view>

#include "private.h"

namespace win::detail {

// Malformed sequences become U+FFFD.
std::wstring WidenUtf8(std::string_view text);
// Wide text (zero-terminated, null for none) as UTF-8, for the kernel and dlopen.
std::string NarrowUtf8(const wchar_t* text);
// The Unicode scalar value of a wide character; U+FFFD for surrogates and values past U+10FFFF.
char32_t ScalarOf(wchar_t c);

}  // namespace win::detail
