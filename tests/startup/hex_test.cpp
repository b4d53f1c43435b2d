// HexStringToBytes over the worked examples: right alignment, odd digit counts, the cut.
#include "startup/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<win::BYTE> Hex(const wchar_t* text, int count) {
    std::vector<win::BYTE> out(static_cast<size_t>(std::max(count, 0)) + 1, 0xEE);
    HexStringToBytes(text, out.data(), count);
    EXPECT_EQ(out.back(), 0xEE) << "wrote beyond the output";
    out.pop_back();
    return out;
}

using Bytes = std::vector<win::BYTE>;

TEST(HexStringToBytes, SixBytes) {
    EXPECT_EQ(Hex(L"010203040506", 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Hex(L"0102030405060708", 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Hex(L"123", 6), (Bytes{0, 0, 0, 0, 0x01, 0x23}));
    EXPECT_EQ(Hex(L"a0B1c2", 6), (Bytes{0, 0, 0, 0xA0, 0xB1, 0xC2}));
    EXPECT_EQ(Hex(L"", 6), (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Hex(L"12G4", 6), (Bytes{0, 0, 0, 0, 0, 0x12}));
    EXPECT_EQ(Hex(L"0x12", 6), (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Hex(L" 12", 6), (Bytes{0, 0, 0, 0, 0, 0}));
}

TEST(HexStringToBytes, FewBytes) {
    EXPECT_EQ(Hex(L"5", 1), (Bytes{0x05}));
    EXPECT_EQ(Hex(L"FF", 1), (Bytes{0xFF}));
    EXPECT_EQ(Hex(L"100", 1), (Bytes{0x10}));
    EXPECT_EQ(Hex(L"abc", 1), (Bytes{0xAB}));
    EXPECT_EQ(Hex(L"123", 2), (Bytes{0x01, 0x23}));
    EXPECT_EQ(Hex(L"12345", 2), (Bytes{0x12, 0x34}));
}

TEST(HexStringToBytes, EveryOutputByteIsWritten) {
    win::BYTE out[3] = {7, 7, 7};
    HexStringToBytes(L"1", out, 3);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{0, 0, 1}));
}

TEST(HexStringToBytes, NoBytesWritesNothing) {
    EXPECT_EQ(Hex(L"12", 0), Bytes{});
    win::BYTE out = 7;
    HexStringToBytes(L"12", &out, -3);
    EXPECT_EQ(out, 7);
}

TEST(HexDigitValue, AllDigits) {
    const std::wstring digits = L"0123456789abcdefABCDEF";
    for (size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(HexDigitValue(digits[i]), i < 16 ? i : i - 6) << static_cast<char>(digits[i]);
    }
}

}  // namespace
