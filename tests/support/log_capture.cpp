#include "support/log_capture.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

LogCapture::LogCapture() {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::fflush(stderr);
    savedStderr_ = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    readEnd_ = fds[0];
    reader_ = std::thread(&LogCapture::Read, this);
}

LogCapture::~LogCapture() {
    if (readEnd_ < 0) return;
    std::fflush(stderr);
    dup2(savedStderr_, STDERR_FILENO);  // closes the pipe's last write end: the reader ends
    close(savedStderr_);
    reader_.join();
    close(readEnd_);
}

void LogCapture::Read() {
    char chunk[4096];
    ssize_t n;
    while ((n = read(readEnd_, chunk, sizeof chunk)) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        partial_.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
        grown_.notify_all();
    }
}

int LogCapture::Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (const auto& line : lines_) count += line.find(text) != std::string::npos;
    return count;
}

bool LogCapture::WaitFor(const std::string& text, int count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        int seen = 0;
        for (const auto& line : lines_) seen += line.find(text) != std::string::npos;
        if (seen >= count) return true;
        if (grown_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
}

std::vector<std::string> LogCapture::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}
