// The UTF-16 text that crosses the LDV library's boundary.
#include "utf8.h"
#include "platform/win.h"

namespace win {

size_t WideToUtf16(LPCWSTR text, char16_t* out, size_t count) {
    if (count == 0) return 0;
    size_t n = 0;
    for (; text && *text; ++text) {
        char32_t c = detail::ScalarOf(*text);
        size_t need = c < 0x10000 ? 1 : 2;
        if (n + need >= count) break;
        if (need == 1) {
            out[n++] = static_cast<char16_t>(c);
        } else {
            out[n++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    out[n] = 0;
    return n;
}

size_t Utf16ToWide(const char16_t* text, size_t units, LPWSTR out, size_t count) {
    if (count == 0) return 0;
    size_t n = 0;
    for (size_t i = 0; text && i < units && text[i] && n + 1 < count; ++i) {
        char32_t c = text[i];
        bool high = c >= 0xD800 && c < 0xDC00;
        if (high && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else {
            c = detail::ScalarOf(static_cast<wchar_t>(c));
        }
        out[n++] = static_cast<wchar_t>(c);
    }
    out[n] = 0;
    return n;
}

}  // namespace win
