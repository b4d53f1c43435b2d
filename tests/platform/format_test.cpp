// Wide formatting: the Microsoft meaning of %s and the bounded forms' cut and terminator rules.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/win.h"

namespace {

std::wstring Format(const wchar_t* format, auto... args) {
    wchar_t out[1024];
    win::wsprintfW(out, format, args...);
    return out;
}

TEST(WideFormat, StringConversionsFollowMicrosoft) {
    EXPECT_EQ(Format(L"%s|%ls|%hs|%S", L"wide", L"also", "narrow", "upper"),
              L"wide|also|narrow|upper");
    EXPECT_EQ(Format(L"%c%lc%hc%C", L'a', L'b', 'c', 'd'), L"abcd");
    EXPECT_EQ(Format(L"%ws", L"w"), L"w");
}

TEST(WideFormat, FlagsWidthAndPrecisionSurviveTheRewrite) {
    EXPECT_EQ(Format(L"[%-6s][%6s][%.2s][%*s][%.*s]", L"ab", L"cd", L"efgh", 4, L"i", 1, L"jk"),
              L"[ab    ][    cd][ef][   i][j]");
    EXPECT_EQ(Format(L"%.29s/%.32ls: ", L"Veltrabox", L"MainLoop(49152)"),
              L"Veltrabox/MainLoop(49152): ");
    EXPECT_EQ(Format(L":%5d -> %s", 2, L"text"), L":    2 -> text");
    EXPECT_EQ(Format(L"%08X %04X %02X %08lX", 0xABCu, 0x12u, 0x5u, 0xE0000001ul),
              L"00000ABC 0012 05 E0000001");
}

TEST(WideFormat, PercentSignsAreNotConversions) {
    EXPECT_EQ(Format(L"100%% %%s %s", L"x"), L"100% %s x");
    EXPECT_EQ(Format(L"%%%s%%", L"y"), L"%y%");
}

TEST(WideFormat, WsprintfStopsAt1024Characters) {
    std::wstring big(2000, L'x');
    wchar_t out[1100];
    out[1024] = L'#';
    EXPECT_EQ(win::wsprintfW(out, L"%s", big.c_str()), 1023);
    EXPECT_EQ(out[1023], L'\0');
    EXPECT_EQ(out[1024], L'#');
}

TEST(WideFormat, WsprintfWritesNoMoreThanItsText) {
    wchar_t out[8];
    std::wmemset(out, L'#', 8);
    EXPECT_EQ(win::wsprintfW(out, L"%s%d", L"ab", 7), 3);
    EXPECT_EQ(std::wstring(out, 5), std::wstring(L"ab7\0#", 5));
}

TEST(WideFormat, SnwprintfFitsCutsAndExactFits) {
    wchar_t out[8];
    std::wmemset(out, L'#', 8);
    EXPECT_EQ(win::_snwprintf(out, 4, L"%s", L"ab"), 2);
    EXPECT_EQ(std::wstring(out), L"ab");

    std::wmemset(out, L'#', 8);
    // Exactly `count` characters: all written, no terminator.
    EXPECT_EQ(win::_snwprintf(out, 4, L"%s", L"abcd"), 4);
    EXPECT_EQ(std::wstring(out, 5), L"abcd#");

    std::wmemset(out, L'#', 8);
    EXPECT_EQ(win::_snwprintf(out, 4, L"%s", L"abcdef"), -1);
    EXPECT_EQ(std::wstring(out, 5), L"abcd#");

    EXPECT_EQ(win::_snwprintf(out, 0, L"%s", L"a"), -1);
    EXPECT_EQ(out[0], L'a');
}

TEST(WideFormat, LongOutputBeyondTheStackRoom) {
    std::wstring big(5000, L'z');
    std::wstring out(6000, L'#');
    EXPECT_EQ(win::_snwprintf(out.data(), 4000, L"%s", big.c_str()), -1);
    EXPECT_EQ(out.substr(0, 4000), big.substr(0, 4000));
    EXPECT_EQ(out[4000], L'#');
    EXPECT_EQ(win::_snwprintf(out.data(), 6000, L"<%s>", big.c_str()), 5002);
    EXPECT_EQ(out.c_str(), L"<" + big + L">");
}

TEST(NarrowFormat, SnprintfHasTheSameCutRules) {
    char out[8];
    std::memset(out, '#', 8);
    EXPECT_EQ(win::_snprintf(out, 4, "%s", "ab"), 2);
    EXPECT_STREQ(out, "ab");
    std::memset(out, '#', 8);
    EXPECT_EQ(win::_snprintf(out, 4, "%ls", L"abcd"), 4);
    EXPECT_EQ(std::string(out, 5), "abcd#");
    std::memset(out, '#', 8);
    EXPECT_EQ(win::_snprintf(out, 4, "%d", 123456), -1);
    EXPECT_EQ(std::string(out, 5), "1234#");
}

TEST(Wtol, ReadsLeadingDecimalNumber) {
    EXPECT_EQ(win::_wtol(L"5000"), 5000);
    EXPECT_EQ(win::_wtol(L"  -12x"), -12);
    EXPECT_EQ(win::_wtol(L"+7"), 7);
    EXPECT_EQ(win::_wtol(L"abc"), 0);
    EXPECT_EQ(win::_wtol(L""), 0);
    EXPECT_EQ(win::_wtol(L"0x10"), 0);
    EXPECT_EQ(win::_wtol(L"70000"), 70000);
    EXPECT_EQ(win::_wtol(L"99999999999"), INT32_MAX);
    EXPECT_EQ(win::_wtol(L"-99999999999"), INT32_MIN);
}

}  // namespace
