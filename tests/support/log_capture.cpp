#include "support/log_capture.h"

#include <fcntl.h>
#include <poll.h>
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
    fcntl(readEnd_, F_SETFL, O_NONBLOCK);
    fcntl(readEnd_, F_SETPIPE_SZ, 1 << 20);
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

// Keeps the pipe from filling up while nobody asks.
void LogCapture::Read() {
    pollfd p{readEnd_, POLLIN, 0};
    while (poll(&p, 1, -1) >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Drain() && (p.revents & POLLHUP)) return;
    }
}

// Caller holds the mutex. Every read happens under it, so lines keep their order, and a line
// written before a question is always part of the answer.
bool LogCapture::Drain() {
    char chunk[4096];
    ssize_t n;
    bool any = false;
    while ((n = read(readEnd_, chunk, sizeof chunk)) > 0) {
        any = true;
        text_.append(chunk, static_cast<size_t>(n));
        partial_.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
    }
    if (any) grown_.notify_all();
    return any;
}

int LogCapture::Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    Drain();
    int count = 0;
    for (const auto& line : lines_) count += line.find(text) != std::string::npos;
    return count;
}

bool LogCapture::WaitFor(const std::string& text, int count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    for (bool late = false;; late = grown_.wait_until(lock, deadline) == std::cv_status::timeout) {
        Drain();
        int seen = 0;
        for (const auto& line : lines_) seen += line.find(text) != std::string::npos;
        if (seen >= count) return true;
        if (late) return false;
    }
}

std::vector<std::string> LogCapture::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    Drain();
    return lines_;
}

std::string LogCapture::Text() {
    std::fflush(stderr);
    std::lock_guard<std::mutex> lock(mutex_);
    Drain();
    return text_;
}

namespace {

std::unique_ptr<LogCapture>& Running() {
    static std::unique_ptr<LogCapture> capture;
    return capture;
}

}  // namespace

void CaptureLog() {
    Running().reset();
    Running() = std::make_unique<LogCapture>();
}

std::string CapturedLog() {
    std::string text = Running() ? Running()->Text() : "";
    Running().reset();
    return text;
}
