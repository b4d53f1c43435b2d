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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    int client = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ServeStatusClient(listener, "{\"port\":5000}\n");
    EXPECT_EQ(ReadAll(client), "{\"port\":5000}\n");
    ServeStatusClient(listener, "nobody waits");  // returns at once
    close(listener);

    std::filesystem::remove(path_);
    std::ofstream(path_) << "not a socket";
    EXPECT_EQ(OpenStatusSocket(path_), -1);
    EXPECT_TRUE(std::filesystem::is_regular_file(path_));
}

}  // namespace
