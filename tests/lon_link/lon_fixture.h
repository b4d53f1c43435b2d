// Shared by the LON tests: a fresh instance, the debug lines it emits, and the simulated
// channel it sits on.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/debug.h"
#include "lon_link/lon_link.h"
#include "platform/clock.h"
#include "platform/lon_ioctl.h"
#include "platform/simlon.h"
#include "startup/options.h"
#include "support/log_capture.h"

// An instance on a channel of its own with every ZONE_DEFAULT line captured.
struct LonTest : ::testing::Test {
    ServerInstance instance{};
    std::wstring channel;

    void SetUp() override {
        static int next = 100;
        channel = L"LON" + std::to_wstring(next++) + L":";
        instance.Port = DEFAULT_PORT;
        instance.DevName = channel.c_str();
        SetDebugZoneMask(ZONE_DEFAULT | ZONE_ERROR);
        CaptureLog();
        capturing = true;
    }
    void TearDown() override {
        win::testclock::UseRealClock();  // StopLon sleeps on the layer's clock
        StopLon(&instance);
        if (capturing) CapturedLog();
        capturing = false;
        SetDebugZoneMask(0);
    }
    // Everything emitted since the last call.
    std::string Log() {
        if (!capturing) return {};
        std::string text = CapturedLog();
        CaptureLog();
        return text;
    }
    std::vector<win::DWORD> RequestCodes() {
        std::vector<win::DWORD> codes;
        for (auto& r : win::simlon::Requests(channel.c_str())) codes.push_back(r.code);
        return codes;
    }
    void Inject(const std::vector<win::BYTE>& bytes) {
        win::simlon::InjectTelegram(channel.c_str(), bytes.data(),
                                    static_cast<win::DWORD>(bytes.size()));
    }

  private:
    bool capturing = false;
};

// A telegram whose byte 1 counts the `body` bytes that follow it.
inline std::vector<win::BYTE> Telegram(win::BYTE command, std::vector<win::BYTE> body) {
    win::BYTE head[] = {command, static_cast<win::BYTE>(body.size())};
    body.insert(body.begin(), head, head + 2);
    return body;
}
