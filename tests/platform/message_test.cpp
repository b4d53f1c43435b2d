// FormatMessageW: the C library's texts through the error table, 317 for a number without one.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/win.h"

namespace {

std::wstring Widen(const char* text) {
    return std::wstring(text, text + std::strlen(text));
}

win::DWORD Describe(win::DWORD code, wchar_t** text) {
    *text = nullptr;
    return win::FormatMessageW(
        win::FORMAT_MESSAGE_ALLOCATE_BUFFER | win::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        win::LANG_NEUTRAL_SUBLANG_DEFAULT, reinterpret_cast<win::LPWSTR>(text), 0, nullptr);
}

TEST(FormatMessage, WindowsAndSocketNumbersGetTheCLibraryText) {
    for (auto [code, err] :
         {std::pair<win::DWORD, int>{2, ENOENT}, {10048, EADDRINUSE}, {0x80070005, EACCES}}) {
        wchar_t* text = nullptr;
        win::DWORD length = Describe(code, &text);
        ASSERT_NE(text, nullptr) << code;
        std::wstring expected = Widen(std::strerror(err)) + L"\n";
        EXPECT_EQ(std::wstring(text), expected);
        EXPECT_EQ(length, expected.size());
        win::LocalFree(text);
    }
}

TEST(FormatMessage, NumberWithoutTextFailsWith317) {
    for (win::DWORD code : {0xE0000001u, 0u, 12345u}) {
        wchar_t* text = nullptr;
        win::SetLastError(0);
        EXPECT_EQ(Describe(code, &text), 0u);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(win::GetLastError(), win::ERROR_MR_MID_NOT_FOUND);
    }
}

TEST(FormatMessage, OtherFormsAreRefused) {
    wchar_t* text = nullptr;
    EXPECT_EQ(win::FormatMessageW(win::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0,
                                  reinterpret_cast<win::LPWSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
}

}  // namespace
