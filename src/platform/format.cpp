// Wide formatting with the Microsoft meaning of %s and %c (wide arguments in wide formats),
// built on the C library's vswprintf, whose %s and %c take narrow ones.
#include <wchar.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <memory>

#include "platform/win.h"

namespace win {

namespace {

// Room on the stack for formats and outputs of ordinary size; longer ones go to the heap, so
// that debug lines cost no allocation.
constexpr size_t STACK_ROOM = 1100;
// The limit of wsprintfW / wvsprintfW, including the terminating zero.
constexpr size_t WSPRINTF_ROOM = 1024;

class Scratch {
  public:
    explicit Scratch(size_t size)
        : heap_(size > stack_.size() ? std::make_unique<wchar_t[]>(size) : nullptr) {}
    wchar_t* data() { return heap_ ? heap_.get() : stack_.data(); }

  private:
    std::array<wchar_t, STACK_ROOM> stack_;
    std::unique_ptr<wchar_t[]> heap_;
};

bool IsIn(wchar_t c, const wchar_t* set) {
    return c != L'\0' && std::wcschr(set, c) != nullptr;
}

// Rewrites `in` for vswprintf: %s, %c, %ws, %wc -> %ls, %lc; %hs, %hc, %S, %C -> %s, %c.
// `out` needs room for 2 * wcslen(in) + 1 characters.
void ConvertFormat(const wchar_t* in, wchar_t* out) {
    while (*in != L'\0') {
        if (*in != L'%') {
            *out++ = *in++;
            continue;
        }
        *out++ = *in++;
        if (*in == L'%') {
            *out++ = *in++;
            continue;
        }
        while (IsIn(*in, L"-+ #0'")) *out++ = *in++;
        while (*in == L'*' || std::iswdigit(*in)) *out++ = *in++;
        if (*in == L'.') {
            *out++ = *in++;
            while (*in == L'*' || std::iswdigit(*in)) *out++ = *in++;
        }
        bool narrow = false;
        bool wide = false;
        if (*in == L'h' && IsIn(in[1], L"sc")) {
            narrow = true;
            ++in;
        } else if (*in == L'w' && IsIn(in[1], L"sc")) {
            ++in;
        } else {
            while (IsIn(*in, L"hlLqjzt")) {
                wide = wide || *in == L'l';
                *out++ = *in++;
            }
        }
        if (IsIn(*in, L"sc")) {
            if (!narrow && !wide) *out++ = L'l';
            *out++ = *in++;
        } else if (IsIn(*in, L"SC")) {
            *out++ = static_cast<wchar_t>(std::towlower(*in++));
        } else if (*in != L'\0') {
            *out++ = *in++;
        }
    }
    *out = L'\0';
}

// vswprintf over a Microsoft format into `room` characters (terminating zero included).
// Returns vswprintf's result: -1 when the text did not fit (or could not be converted).
int FormatInto(wchar_t* out, size_t room, const wchar_t* format, va_list args) {
    size_t length = std::wcslen(format);
    Scratch converted(2 * length + 1);
    ConvertFormat(format, converted.data());
    return std::vswprintf(out, room, converted.data(), args);
}

}  // namespace

int _vsnwprintf(LPWSTR out, size_t count, LPCWSTR format, va_list args) {
    if (count == 0) return -1;
    if (count > INT_MAX) count = INT_MAX;
    // Format with one character more than allowed: that tells "exactly count" (no terminator,
    // result count) from "more than count" (cut, result -1).
    Scratch full(count + 1);
    std::wmemset(full.data(), L'\0', count + 1);
    int n = FormatInto(full.data(), count + 1, format, args);
    size_t length = n >= 0 ? static_cast<size_t>(n) : wcsnlen(full.data(), count);
    std::wmemcpy(out, full.data(), length);
    if (length < count) out[length] = L'\0';
    return n;
}

int _snwprintf(LPWSTR out, size_t count, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(out, count, format, args);
    va_end(args);
    return n;
}

int wvsprintfW(LPWSTR out, LPCWSTR format, va_list args) {
    int n = _vsnwprintf(out, WSPRINTF_ROOM - 1, format, args);
    size_t length = n >= 0 ? static_cast<size_t>(n) : wcsnlen(out, WSPRINTF_ROOM - 1);
    if (length == WSPRINTF_ROOM - 1) out[length] = L'\0';
    return static_cast<int>(length);
}

int wsprintfW(LPWSTR out, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    int n = wvsprintfW(out, format, args);
    va_end(args);
    return n;
}

int _snprintf(char* out, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(out, count, format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) >= count) {
        // vsnprintf gave up the last character for its terminator; the Microsoft form keeps
        // the character and drops the terminator.
        if (count > 0) {
            auto full = std::make_unique<char[]>(static_cast<size_t>(n) + 1);
            std::vsnprintf(full.get(), static_cast<size_t>(n) + 1, format, again);
            std::copy(full.get(), full.get() + count, out);
        }
        if (static_cast<size_t>(n) > count) n = -1;
    }
    va_end(again);
    return n;
}

long _wtol(LPCWSTR text) {
    long value = std::wcstol(text, nullptr, 10);
    // A 32-bit long saturates as the original platform's did.
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return value;
}

}  // namespace win
