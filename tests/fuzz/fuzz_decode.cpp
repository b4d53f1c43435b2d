// The client's telegram decoder: any bytes give one non-empty line of printable text, never
// much longer than the hex of the input, and the layer-2 parser never points outside its input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "lonmsg/decode.h"
#include "lonmsg/lpdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const lonmsg::ByteView bytes(data, size);
    const std::string line = lonmsg::DescribeTelegram(bytes);
    if (line.empty() || line.size() > 3 * size + 300) std::abort();
    Verdict(line);
    for (char c : line) {
        if (c < 0x20 || c > 0x7E) std::abort();
    }
    lonmsg::Lpdu lpdu;
    if (lonmsg::ParseLpdu(bytes, &lpdu).empty()) {
        if (lpdu.pdu.data() + lpdu.pdu.size() != data + size) std::abort();
        if (lonmsg::DescribeLpdu(lpdu).empty()) std::abort();
    }
    return 0;
}
