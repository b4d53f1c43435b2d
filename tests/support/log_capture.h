// Captures this process's standard error (where debug lines go) for the lifetime of the
// object, so a test can wait for a line instead of sleeping.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Number of captured lines containing `text`.
    int Count(const std::string& text);
    // Waits (real time, bounded) until at least `count` lines contain `text`.
    bool WaitFor(const std::string& text, int count = 1, int timeoutMs = 10000);
    std::vector<std::string> Lines();
    // Everything captured so far, as written.
    std::string Text();

  private:
    void Read();
    bool Drain();

    int savedStderr_ = -1;
    int readEnd_ = -1;
    std::mutex mutex_;
    std::condition_variable grown_;
    std::vector<std::string> lines_;
    std::string text_;
    std::string partial_;
    std::thread reader_;
};

// A capture for the calling test's steps: CaptureLog starts it (ending one still running) and
// CapturedLog ends it, returning all that was written to standard error in between.
void CaptureLog();
std::string CapturedLog();
