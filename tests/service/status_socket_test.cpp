// The status socket's file: a stale one is replaced, a live one and other files are not.
#include "service/status_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

namespace {

class StatusSocketFile : public testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("veltrabox-status-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
        path_ = (folder_ / "status.sock").string();
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // What a client reads until the server closes.
    std::string ReadAll(int fd) {
        std::string text;
        char buffer[256];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
        close(fd);
        return text;
    }

    int Connect() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        int client = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return client;
    }

    std::filesystem::path folder_;
    std::string path_;
};

TEST_F(StatusSocketFile, ReplacesAStaleSocketButNeitherALiveOneNorAnotherFile) {
    int live = OpenStatusSocket(path_);
    ASSERT_GE(live, 0) << std::strerror(errno);
    errno = 0;
    EXPECT_EQ(OpenStatusSocket(path_), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    close(live);  // its file stays behind, as after a crash

    int listener = OpenStatusSocket(path_);
    ASSERT_GE(listener, 0) << std::strerror(errno);
    int client = Connect();
    ServeStatusClient(listener, "{\"port\":5000}\n");
    EXPECT_EQ(ReadAll(client), "{\"port\":5000}\n");
    close(listener);

    std::filesystem::remove(path_);
    std::ofstream(path_) << "not a socket";
    EXPECT_EQ(OpenStatusSocket(path_), -1);
    EXPECT_TRUE(std::filesystem::is_regular_file(path_));
}

// Clients that never read, or read slowly, hold nothing up: serving one never waits for it, even
// with a text larger than the socket takes, and the next client is served in full meanwhile.
TEST_F(StatusSocketFile, ReadersThatNeverReadOrReadSlowlyHoldNothingUp) {
    int listener = OpenStatusSocket(path_);
    ASSERT_GE(listener, 0) << std::strerror(errno);
    ServeStatusClient(listener, "nobody waits");  // none is served
    std::string large;
    while (large.size() < (8u << 20)) large += "{\"port\":5000,\"state\":\"listening\"}\n";
    int never = Connect();
    auto served = std::async(std::launch::async, [&] { ServeStatusClient(listener, large); });
    bool returned = served.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    int slow = Connect();
    ServeStatusClient(listener, "{\"port\":5001}\n");
    int next = Connect();
    ServeStatusClient(listener, "{\"port\":5002}\n");
    EXPECT_EQ(ReadAll(next), "{\"port\":5002}\n");
    std::string slowly;
    char byte;
    for (; read(slow, &byte, 1) == 1; usleep(1000)) slowly += byte;
    EXPECT_EQ(slowly, "{\"port\":5001}\n");
    close(slow);
    close(never);  // ends a send that waited for it
    EXPECT_TRUE(returned) << "held up by a client that never reads";
    served.wait();
    close(listener);
}

}  // namespace
