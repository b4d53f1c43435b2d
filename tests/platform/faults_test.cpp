// The fault-injection seam itself (per-thread counts, seeded chance), and what the layer does
// when one of its system calls fails: it reports the error, releases what it had opened, and
// never blocks on.
#include "platform/faults.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/win.h"
#include "support/ports.h"

namespace {

using win::faults::Call;

size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// Whether a new socket can be had now (closed again at once).
bool SocketWorks() {
    win::SOCKET s = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
    if (s == win::INVALID_SOCKET) return false;
    win::closesocket(s);
    return true;
}

struct Faults : ::testing::Test {
    ~Faults() override { win::faults::Disarm(); }
};

TEST_F(Faults, TheNthCallFailsOnEachThreadByItsOwnCount) {
    win::faults::Arm({{Call::Socket, EMFILE, 2}});
    EXPECT_TRUE(SocketWorks());
    EXPECT_FALSE(SocketWorks());
    EXPECT_EQ(win::WSAGetLastError(), win::WSAEMFILE);
    EXPECT_TRUE(SocketWorks());
    // Once in the process: another thread's second call goes through.
    std::thread([] {
        EXPECT_TRUE(SocketWorks());
        EXPECT_TRUE(SocketWorks());
    }).join();
    EXPECT_EQ(win::faults::Injected(Call::Socket), 1u);

    // On every thread: each one fails at its own second call, whatever the others made.
    win::faults::Arm({{Call::Socket, EMFILE, 2, true}});
    for (int i = 0; i < 5; ++i) EXPECT_EQ(SocketWorks(), i != 1);
    std::thread([] {
        EXPECT_TRUE(SocketWorks());
        EXPECT_FALSE(SocketWorks());
        EXPECT_EQ(win::WSAGetLastError(), win::WSAEMFILE);
    }).join();
    EXPECT_EQ(win::faults::Injected(Call::Socket), 2u);
}

std::string Pattern(uint64_t seed) {
    win::faults::Arm({{Call::Socket, EMFILE, 0, false, 300000}}, seed);
    std::string pattern;
    for (int i = 0; i < 64; ++i) pattern += SocketWorks() ? '.' : 'x';
    return pattern;
}

TEST_F(Faults, ChanceFollowsTheSeed) {
    std::string first = Pattern(7);
    EXPECT_EQ(Pattern(7), first);
    EXPECT_NE(Pattern(8), first);
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
}

TEST_F(Faults, TheTextFormArmsTheSameRules) {
    ASSERT_TRUE(win::faults::ArmFromText("seed=3,socket:EMFILE:2,eventfd:24:~1000000"));
    EXPECT_FALSE(SocketWorks());  // every eventfd fails, so every socket does
    EXPECT_EQ(win::faults::Injected(Call::Eventfd), 1u);
    EXPECT_FALSE(SocketWorks());  // the second socket call itself
    EXPECT_EQ(win::faults::Injected(Call::Socket), 1u);
    win::faults::Disarm();
    for (const char* bad : {"socket:EMFILE", "sock:EMFILE:1", "socket:ENOSUCH:1", "socket:EMFILE:0",
                            "socket:EMFILE:~", "seed=x"}) {
        EXPECT_FALSE(win::faults::ArmFromText(bad)) << bad;
    }
    EXPECT_TRUE(SocketWorks());  // a text that does not parse arms nothing
}

// A socket or a thread whose wake descriptor cannot be had fails with an error and leaves no
// descriptor behind.
TEST_F(Faults, AMissingWakeDescriptorFailsTheOpenAndLeaksNothing) {
    ASSERT_TRUE(SocketWorks());  // the calling thread's own descriptors exist from here on
    size_t before = OpenDescriptors();
    win::faults::Arm({{Call::Eventfd, EMFILE, 1, true}});
    EXPECT_EQ(win::socket(win::AF_INET, win::SOCK_STREAM, 0), win::INVALID_SOCKET);
    EXPECT_EQ(win::WSAGetLastError(), win::WSAEMFILE);
    win::faults::Arm({{Call::Eventfd, EMFILE, 1, true}});
    win::DWORD id = 0;
    EXPECT_EQ(win::CreateThread(
                  nullptr, 0, [](win::LPVOID) -> win::DWORD { return 0; }, nullptr, 0, &id),
              nullptr);
    EXPECT_NE(win::GetLastError(), 0u);
    win::faults::Arm({{Call::Socket, EMFILE, 1, true}, {Call::Accept, EMFILE, 1, true}});
    EXPECT_EQ(win::socket(win::AF_INET, win::SOCK_STREAM, 0), win::INVALID_SOCKET);
    win::faults::Disarm();
    EXPECT_EQ(OpenDescriptors(), before);
}

// A failing poll ends the call that waits in it with an error: an accept with no client
// coming returns instead of waiting for ever.
TEST_F(Faults, AFailingPollEndsABlockedAccept) {
    win::SOCKET listener = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
    ASSERT_NE(listener, win::INVALID_SOCKET);
    win::sockaddr_in address{};
    address.sin_family = win::AF_INET;
    address.sin_port = win::htons(static_cast<uint16_t>(FreePort()));
    ASSERT_EQ(win::bind(listener, reinterpret_cast<const win::sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(win::listen(listener, 1), 0);
    auto accepted = std::async(std::launch::async, [listener] {
        win::faults::Arm({{Call::Poll, ENOMEM, 1}});
        win::SOCKET s = win::accept(listener, nullptr, nullptr);
        return std::make_pair(s, win::WSAGetLastError());
    });
    bool ended = accepted.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    win::closesocket(listener);  // releases an accept that did not end
    ASSERT_TRUE(ended) << "accept went on waiting after its poll failed";
    auto [s, error] = accepted.get();
    EXPECT_EQ(s, win::INVALID_SOCKET);
    EXPECT_EQ(error, static_cast<int>(win::ERROR_NOT_ENOUGH_MEMORY));
}

// A heap that cannot map a chunk fails the allocation; the next one that can map succeeds.
TEST_F(Faults, AFailingMapFailsOneAllocationOnly) {
    win::HANDLE heap = win::HeapCreate(0, 0, 0);
    ASSERT_NE(heap, nullptr);
    win::faults::Arm({{Call::Mmap, ENOMEM, 1}});
    EXPECT_EQ(win::HeapAlloc(heap, 0, 1 << 20), nullptr);
    EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_ENOUGH_MEMORY);
    void* block = win::HeapAlloc(heap, 0, 1 << 20);
    EXPECT_NE(block, nullptr);
    win::HeapFree(heap, 0, block);
    win::HeapDestroy(heap);
}

}  // namespace
