#include "flow.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace e2e {

ipmsg::Bytes NumberedTelegram(uint8_t tag, uint32_t number) {
    uint8_t filler = uint8_t(number % 40);
    // Sized once and filled: growing a vector here trips g++ 12's -Warray-bounds at -O3.
    ipmsg::Bytes telegram(6 + filler, uint8_t(number * 7));
    telegram[0] = tag;
    telegram[1] = uint8_t(4 + filler);
    for (int i = 0; i < 4; ++i) telegram[2 + i] = uint8_t(number >> (8 * i));
    return telegram;
}

std::string RunFlow(const SendTelegram& send, const ReceiveTelegram& receive, uint8_t tag,
                    uint32_t count, uint32_t window, const MakeTelegram& make) {
    std::mutex mutex;
    std::condition_variable progressed;
    uint32_t received = 0;  // under mutex
    bool stopped = false;   // under mutex
    std::string sendError;
    std::thread sender([&] {
        for (uint32_t i = 0; i < count; ++i) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (!progressed.wait_for(lock, WAIT,
                                         [&] { return stopped || i - received < window; }) ||
                    stopped) {
                    return;
                }
            }
            if (!send(make(tag, i))) {
                sendError = "sending telegram " + std::to_string(i) + " failed";
                return;
            }
        }
    });
    std::string error;
    for (uint32_t i = 0; i < count && error.empty(); ++i) {
        std::optional<ipmsg::Bytes> telegram = receive();
        if (!telegram) {
            error = "telegram " + std::to_string(i) + " of " + std::to_string(count) +
                    " did not arrive";
        } else if (*telegram != make(tag, i)) {
            error = "telegram " + std::to_string(i) + " arrived as " + ipmsg::HexOf(*telegram);
        }
        std::lock_guard<std::mutex> lock(mutex);
        received = i + 1;
        progressed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        progressed.notify_all();
    }
    sender.join();
    return sendError.empty() ? error : sendError + "; " + error;
}

namespace {

ipmsg::Bytes BurstTelegram(uint8_t tag, uint32_t number) {
    if (number % 16 != 0) return NumberedTelegram(tag, number);
    ipmsg::Bytes telegram(257, uint8_t(number * 3));
    telegram[0] = tag;
    telegram[1] = 255;
    for (int i = 0; i < 4; ++i) telegram[2 + i] = uint8_t(number >> (8 * i));
    return telegram;
}

}  // namespace

std::string RunBurst(const SendTelegram& write, const ReceiveTelegram& receive, uint8_t tag,
                     uint32_t count, uint32_t perWrite) {
    ipmsg::Bytes piece;
    uint32_t gathered = 0;
    auto gather = [&](const ipmsg::Bytes& telegram) {
        piece.insert(piece.end(), telegram.begin(), telegram.end());
        if (++gathered % perWrite != 0 && gathered != count) return true;
        bool written = write(piece);
        piece.clear();
        return written;
    };
    // No window: the line has flow control, and a piece waits for the telegrams behind it.
    return RunFlow(gather, receive, tag, count, count, BurstTelegram);
}

}  // namespace e2e
