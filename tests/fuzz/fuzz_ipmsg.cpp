// The client's message decoder and hex parser: input byte 0 picks the piece size in which the
// stream arrives, the rest is the stream. The messages handed out, framed again, must give
// back the stream up to its unfinished tail, whatever the pieces. The stream is also parsed as
// a hex line, which must give back its own hex text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "tools/veltraclient/ipmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = data[0] % 16 + 1;
    const uint8_t* stream = data + 1;
    const size_t total = size - 1;
    ipmsg::Decoder decoder;
    ipmsg::Bytes again;
    ipmsg::Message message;
    std::string verdict = "messages [";
    for (size_t fed = 0; fed < total; fed += piece) {
        ipmsg::Feed(decoder, stream + fed, std::min(piece, total - fed));
        while (ipmsg::Next(decoder, &message)) {
            ipmsg::Bytes wire = ipmsg::Encode(message.id, message.data);
            again.insert(again.end(), wire.begin(), wire.end());
            verdict += " " + std::to_string(message.id) + ":" + std::to_string(message.data.size());
        }
    }
    again.insert(again.end(), decoder.pending.begin(), decoder.pending.end());
    if (again != ipmsg::Bytes(stream, stream + total)) std::abort();
    verdict += " ], " + std::to_string(decoder.pending.size()) + " bytes pending, ";

    ipmsg::Bytes parsed;
    std::string line(reinterpret_cast<const char*>(stream), total);
    const bool hex = ipmsg::ParseHex(line, &parsed);
    if (hex) {
        ipmsg::Bytes round;
        if (!ipmsg::ParseHex(ipmsg::HexOf(parsed), &round) || round != parsed) std::abort();
    }
    Verdict(verdict + (hex ? "hex [" + ipmsg::HexOf(parsed) + "]" : "no hex line"));
    return 0;
}
