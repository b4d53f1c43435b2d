#include "startup/hex.h"

namespace {

bool IsHexDigit(win::WCHAR c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

}  // namespace

win::BYTE HexDigitValue(win::WCHAR digit) {
    if (digit <= L'9') return static_cast<win::BYTE>(digit - L'0');
    if (digit >= L'a') return static_cast<win::BYTE>(digit - L'a' + 10);
    return static_cast<win::BYTE>(digit - L'A' + 10);
}

void HexStringToBytes(win::LPCWSTR text, win::BYTE* out, int count) {
    if (count <= 0) return;
    // Two digits per output byte at most; the scan stops at the first character that is not one.
    int digits = 0;
    for (int pass = 0; pass < count && IsHexDigit(text[digits]); ++pass) {
        ++digits;
        if (IsHexDigit(text[digits])) ++digits;
    }
    for (int i = count - 1; i >= 0; --i) {
        if (digits >= 2) {
            out[i] = static_cast<win::BYTE>(16 * HexDigitValue(text[digits - 2]) +
                                            HexDigitValue(text[digits - 1]));
            digits -= 2;
        } else if (digits == 1) {
            out[i] = HexDigitValue(text[0]);
            digits = 0;
        } else {
            out[i] = 0;
        }
    }
}
