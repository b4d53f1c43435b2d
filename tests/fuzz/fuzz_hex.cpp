// HexStringToBytes on arbitrary text: the first byte is the output count, the rest the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "startup/hex.h"
#include "tools/veltraclient/ipmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int count = static_cast<int8_t>(data[0]);
    std::wstring text(data + 1, data + size);
    win::BYTE out[128];
    HexStringToBytes(text.c_str(), out, count);
    Verdict(count > 0 ? ipmsg::HexOf(ipmsg::Bytes(out, out + count)) : "no bytes");
    return 0;
}
