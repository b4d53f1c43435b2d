#include "utf8.h"

namespace win::detail {

namespace {

constexpr wchar_t REPLACEMENT = 0xFFFD;

// Length of the sequence that `lead` starts and the payload bits it carries; 0 for a byte
// that cannot start one.
int SequenceLength(unsigned char lead, char32_t* bits) {
    if (lead < 0x80) return *bits = lead, 1;
    if ((lead & 0xE0) == 0xC0) return *bits = lead & 0x1F, 2;
    if ((lead & 0xF0) == 0xE0) return *bits = lead & 0x0F, 3;
    if ((lead & 0xF8) == 0xF0) return *bits = lead & 0x07, 4;
    return 0;
}

}  // namespace

std::wstring WidenUtf8(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        char32_t code = 0;
        int length = SequenceLength(static_cast<unsigned char>(text[i]), &code);
        bool ok = length > 0 && i + static_cast<size_t>(length) <= text.size();
        for (int k = 1; ok && k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            ok = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && code >= SMALLEST[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        wide.push_back(ok ? static_cast<wchar_t>(code) : REPLACEMENT);
        i += ok ? static_cast<size_t>(length) : 1;
    }
    return wide;
}

char32_t ScalarOf(wchar_t c) {
    auto code = static_cast<char32_t>(c);
    return code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ? REPLACEMENT : code;
}

std::string NarrowUtf8(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) {
        char32_t c = ScalarOf(*text);
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
