// HexStringToBytes on arbitrary text: the first byte is the output count, the rest the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "startup/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int count = static_cast<int8_t>(data[0]);
    std::wstring text(data + 1, data + size);
    win::BYTE out[128];
    HexStringToBytes(text.c_str(), out, count);
    return 0;
}
