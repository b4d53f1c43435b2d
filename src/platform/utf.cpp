#include "utf.h"

namespace win::detail {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

char32_t Valid(wchar_t c) {
    auto code = static_cast<char32_t>(c);
    return code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ? kReplacement : code;
}

}  // namespace

std::string Utf8Of(LPCWSTR text) {
    std::string out;
    for (; text && *text; ++text) {
        char32_t c = Valid(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace win::detail

namespace win {

size_t WideToUtf16(LPCWSTR text, char16_t* out, size_t count) {
    if (count == 0) return 0;
    size_t n = 0;
    for (; text && *text; ++text) {
        char32_t c = detail::Valid(*text);
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
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = detail::kReplacement;
        }
        out[n++] = static_cast<wchar_t>(c);
    }
    out[n] = 0;
    return n;
}

}  // namespace win
