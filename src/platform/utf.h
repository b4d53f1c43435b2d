// Conversions between the layer's wide text (wchar_t, UTF-32 on Linux), UTF-8 for the kernel
// and dlopen, and the UTF-16 that crosses the LDV library's boundary (see win.h).
#pragma once

#include <string>

#include "win.h"

namespace win::detail {

std::string Utf8Of(LPCWSTR text);

}  // namespace win::detail
