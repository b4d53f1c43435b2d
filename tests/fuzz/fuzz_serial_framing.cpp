// The serial interface's telegram framing: input byte 0 picks the piece size in which the
// stream arrives, byte 1 the reader's buffer size, the rest is the stream. Every telegram
// handed out must be the next one of the stream, in order, cut to the buffer and no more.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "platform/lon_devices/serial_framing.h"

using namespace win;
using namespace win::detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t piece = data[0] % 64 + 1;
    const DWORD outSize = data[1];
    const uint8_t* stream = data + 2;
    const size_t total = size - 2;
    auto framer = std::make_unique<SerialFramer>();
    FramerReset(*framer);
    // Exactly the reader's size, so that a write past it is caught.
    auto out = std::make_unique<BYTE[]>(outSize ? outSize : 1);
    size_t fed = 0;
    size_t next = 0;  // where the next telegram starts in the stream
    std::string counts;
    while (fed < total) {
        size_t room;
        BYTE* space = FramerSpace(*framer, &room);
        if (room == 0) std::abort();  // a whole telegram would have been taken below
        size_t n = std::min({room, piece, total - fed});
        std::memcpy(space, stream + fed, n);
        FramerCommit(*framer, n);
        fed += n;
        DWORD count = 0xFFFFFFFF;
        while (FramerTake(*framer, out.get(), outSize, &count)) {
            size_t length = stream[next + 1] + size_t{2};
            if (next + length > fed) std::abort();
            if (count != std::min<size_t>(outSize, length)) std::abort();
            if (count && std::memcmp(out.get(), stream + next, count) != 0) std::abort();
            next += length;
            counts += " " + std::to_string(count);
        }
    }
    // What is left is a piece of one telegram.
    if (next + 1 < total && next + stream[next + 1] + size_t{2} <= total) std::abort();
    Verdict("handed out [" + counts + " ], " + std::to_string(total - next) + " bytes left");
    return 0;
}
