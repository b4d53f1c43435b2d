// FormatMessageW: the C library's text for the errno that a Windows or Winsock number stands for.
#include <cstring>
#include <string>

#include "errors.h"
#include "utf8.h"

namespace win {

namespace {

// HRESULT_FROM_WIN32 values (facility 7, failure bit) carry a Windows number in their low word.
DWORD WindowsNumber(DWORD code) {
    return (code & 0xFFFF0000) == 0x80070000 ? (code & 0xFFFF) : code;
}

}  // namespace

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPWSTR buffer, DWORD, va_list*) {
    constexpr DWORD NEEDED = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
    if ((flags & NEEDED) != NEEDED || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto* result = reinterpret_cast<WCHAR**>(buffer);
    *result = nullptr;
    int err = detail::ErrnoOfError(WindowsNumber(messageId));
    if (err == 0) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    char narrow[256];
    // Texts of the system end with a line end, as the original platform's do.
    std::wstring text = detail::WidenUtf8(strerror_r(err, narrow, sizeof narrow)) + L"\n";
    auto* block = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(WCHAR)));
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    std::wmemcpy(block, text.c_str(), text.size() + 1);
    *result = block;
    return static_cast<DWORD>(text.size());
}

}  // namespace win
