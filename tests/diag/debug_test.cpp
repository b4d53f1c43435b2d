// Debug lines: prefixes, style bits, zones from the registry, the 1021-character cut, system
// error texts.
#include "diag/debug.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/heap_blocks.h"
#include "support/log_capture.h"
#include "support/scoped_registry.h"

namespace {

std::string Utf8(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

class DebugOutput : public testing::Test {
  protected:
    void SetUp() override {
        ScopedRegistry empty("");
        InitDebugOutput(nullptr, L"Veltrabox");
        DebugStyle = STYLE_NAME_PREFIX | 0x02;
        SetDebugZoneMask(ZONE_ERROR);
    }
    void TearDown() override { ClearThreadDebugName(); }

    // Everything DebugPrint and PrintSystemError sent to standard error while `emit` ran.
    template <class F>
    static std::string Capture(F emit) {
        CaptureLog();
        emit();
        return CapturedLog();
    }
};

TEST_F(DebugOutput, UnnamedAndNamedThreads) {
    EXPECT_EQ(Capture([] { DebugPrint(L"port %d\n", 5000); }), "Veltrabox: port 5000\n");
    SetThreadDebugName(L"MainLoop(49152)");
    EXPECT_EQ(Capture([] { DebugPrint(L"up\n"); }), "Veltrabox/MainLoop(49152): up\n");
    SetThreadDebugName(L"LonToTcp(49152)");
    EXPECT_EQ(Capture([] { DebugPrint(L"up\n"); }), "Veltrabox/LonToTcp(49152): up\n");
    ClearThreadDebugName();
    EXPECT_EQ(Capture([] { DebugPrint(L"down\n"); }), "Veltrabox: down\n");
    ClearThreadDebugName();  // nothing left to clear
    EXPECT_EQ(Capture([] { DebugPrint(L"x"); }), "Veltrabox: x");
}

TEST_F(DebugOutput, StyleBits) {
    SetThreadDebugName(L"T");
    DebugStyle = 0x02;
    EXPECT_EQ(Capture([] { DebugPrint(L"bare\n"); }), "bare\n");

    DebugStyle = 0x1A;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Capture([] { DebugPrint(L"both\n"); }), "Veltrabox/T: both\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Veltrabox/T: both\n");

    DebugStyle = 0x12;
    testing::internal::CaptureStdout();
    Capture([] { DebugPrint(L"quiet\n"); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(DebugOutput, TimestampStyleOfTheLibrary) {
    ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel.Style\"=dword:00000032\n");
    InitDebugOutput(nullptr, L"Veltrabox");
    std::string line = Capture([] { DebugPrint(L"tick\n"); });
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d Veltrabox: tick\n)")))
        << line;
    ScopedRegistry plain("[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel.Style\"=dword:12\n");
    InitDebugOutput(nullptr, L"Veltrabox");
    EXPECT_EQ(Capture([] { DebugPrint(L"tick\n"); }), "Veltrabox: tick\n");
}

TEST_F(DebugOutput, ZoneMaskAndStyleFromTheRegistry) {
    {
        ScopedRegistry registry(
            "[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel\"=dword:17\n\"Quorvel.Style\"=dword:1a\n");
        InitDebugOutput(nullptr, L"Veltrabox");
    }
    EXPECT_TRUE(ZoneOn(ZONE_DEFAULT));
    EXPECT_TRUE(ZoneOn(ZONE_INIT));
    EXPECT_TRUE(ZoneOn(ZONE_THREAD));
    EXPECT_TRUE(ZoneOn(ZONE_ERROR));
    EXPECT_FALSE(ZoneOn(ZONE_EXTRA));
    EXPECT_FALSE(ZoneOn(ZONE_SOCK));
    EXPECT_EQ(DebugStyle, 0x1Au);
    {
        ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel\"=dword:0\n");
        InitDebugOutput(nullptr, L"Veltrabox");
    }
    for (win::DWORD zone = 1; zone != 0; zone <<= 1) EXPECT_FALSE(ZoneOn(zone)) << zone;
    // No key: mask and style stay as they are.
    EXPECT_EQ(DebugStyle, 0x1Au);
    EXPECT_EQ(DebugZoneSettings.ulZoneMask, 0u);
}

TEST_F(DebugOutput, LongNamesAreCut) {
    std::wstring forty(40, L'm');
    InitDebugOutput(nullptr, forty.c_str());
    EXPECT_EQ(std::wstring(DebugZoneSettings.lpszName), forty.substr(0, 29));
    EXPECT_EQ(Capture([] { DebugPrint(L"x"); }), Utf8(forty.substr(0, 29)) + ": x");
    SetThreadDebugName(std::wstring(40, L't').c_str());
    // 29 + 1 + 32 + 2 characters fill the block; the final blank gives way to its terminator.
    EXPECT_EQ(Capture([] { DebugPrint(L"x"); }),
              std::string(29, 'm') + "/" + std::string(32, 't') + ":x");
    InitDebugOutput(nullptr, L"Veltrabox");
    SetThreadDebugName(std::wstring(40, L't').c_str());
    EXPECT_EQ(Capture([] { DebugPrint(L"x"); }), "Veltrabox/" + std::string(32, 't') + ": x");
}

TEST_F(DebugOutput, ModuleNameFromTheProgramFile) {
    InitDebugOutput(nullptr, nullptr);
    EXPECT_EQ(Capture([] { DebugPrint(L"x"); }), "test_diag: x");
    EXPECT_EQ(std::wstring(DebugZoneSettings.lpszName), L"test_diag");
    InitDebugOutput(nullptr, L"Other");
    InitDebugOutput(nullptr, L"");
    EXPECT_EQ(Capture([] { DebugPrint(L"x"); }), "test_diag: x");
}

TEST_F(DebugOutput, LinesAreCutAt1021Characters) {
    std::wstring text(5000, L'a');
    std::string line = Capture([&] { DebugPrint(L"%s\n", text.c_str()); });
    EXPECT_EQ(line.size(), 1021u);
    EXPECT_EQ(line, "Veltrabox: " + std::string(1021 - 11, 'a'));
    SetThreadDebugName(L"MainLoop(49152)");
    EXPECT_EQ(Capture([&] { DebugPrint(L"%s", text.c_str()); }).size(), 1021u);
    std::wstring fits(1021 - 27, L'b');
    EXPECT_EQ(Capture([&] { DebugPrint(L"%s", fits.c_str()); }),
              "Veltrabox/MainLoop(49152): " + Utf8(fits));
}

TEST_F(DebugOutput, PercentSignsInArgumentsPassThrough) {
    EXPECT_EQ(Capture([] { DebugPrint(L"open %s\n", L"COM%d%s%n"); }),
              "Veltrabox: open COM%d%s%n\n");
    EXPECT_EQ(Capture([] { PrintSystemError(2, L"CreateFile(%s)", L"%s%n"); }),
              "Veltrabox: CreateFile(%s%n):    2 -> " + std::string(std::strerror(ENOENT)) + "\n");
}

TEST_F(DebugOutput, NonAsciiGoesOutAsUtf8) {
    EXPECT_EQ(Capture([] { DebugPrint(L"Verbindung gel\u00F6st\n"); }),
              "Veltrabox: Verbindung gel\xC3\xB6st\n");
}

TEST_F(DebugOutput, SystemErrorForms) {
    SetDebugZoneMask(0);
    const size_t localBlocks = heapwalk::UsedBlockCount(true);
    EXPECT_EQ(Capture([] { PrintSystemError(2, L"bind()"); }),
              "Veltrabox: bind():    2 -> " + std::string(std::strerror(ENOENT)) + "\n");
    EXPECT_EQ(Capture([] { PrintSystemError(10048, L"bind()"); }),
              "Veltrabox: bind():10048 -> " + std::string(std::strerror(EADDRINUSE)) + "\n");
    EXPECT_EQ(Capture([] { PrintSystemError(0x80070005, L"listen()"); }),
              "Veltrabox: listen():80070005 -> " + std::string(std::strerror(EACCES)) + "\n");
    EXPECT_EQ(Capture([] { PrintSystemError(0xE0000001, L"accept()"); }),
              "Veltrabox: accept():-536870911=E0000001 (The system cannot find message text.)\n");
    EXPECT_EQ(Capture([] { PrintSystemError(317, L"x%d", 7); }),
              "Veltrabox: x7:  317=0000013D (The system cannot find message text.)\n");
    EXPECT_EQ(heapwalk::UsedBlockCount(true), localBlocks) << "a system error text is never freed";
}

TEST_F(DebugOutput, SystemErrorWithAHugeCallerTextStaysInItsLine) {
    std::wstring huge(3000, L'c');
    std::string line = Capture([&] { PrintSystemError(2, L"%s", huge.c_str()); });
    EXPECT_EQ(line, "Veltrabox: " + std::string(1021 - 11, 'c'));
}

TEST_F(DebugOutput, ThreadsNamingThemselvesAtOnceKeepTheirOwnNames) {
    std::vector<std::thread> threads;
    CaptureLog();
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i] {
            std::wstring name = L"T" + std::to_wstring(i);
            SetThreadDebugName(name.c_str());
            DebugPrint(L"hello\n");
            ClearThreadDebugName();
        });
    }
    for (auto& t : threads) t.join();
    std::string all = CapturedLog();
    for (int i = 0; i < 8; ++i) {
        EXPECT_NE(all.find("Veltrabox/T" + std::to_string(i) + ": hello\n"), std::string::npos)
            << all;
    }
}

// Standard error as the journal's stream: JOURNAL_STREAM names the file the capture writes to.
TEST_F(DebugOutput, LinesCarryTheirJournalPriority) {
    ScopedRegistry empty("");
    std::string bindError = "bind():    2 -> " + std::string(std::strerror(ENOENT)) + "\n";
    std::string lines = Capture([] {
        struct stat status {};
        ASSERT_EQ(fstat(2, &status), 0);
        std::string stream = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        InitDebugOutput(nullptr, L"Veltrabox");
        SetDebugZoneMask(ZONE_ERROR | ZONE_DEFAULT);
        if (ZoneOn(ZONE_ERROR)) DebugPrint(L"Starten der TCP Verbindung nicht m\u00F6glich.\n");
        DebugPrint(L"unzoned\n");
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Error: Reboot GetPacketFromLon()=203\n");
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"ev=258 Error\n");
        if (NoticeOn()) DebugNotice(L"port 5000: told\n");
        PrintSystemError(2, L"bind()");
        // A driver's line: the network interface that is not there.
        EXPECT_EQ(win::CreateFileW(L"vbnone0", win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0,
                                   nullptr),
                  win::INVALID_HANDLE_VALUE);
        setenv("JOURNAL_STREAM", (stream + "1").c_str(), 1);
        InitDebugOutput(nullptr, L"Veltrabox");
        DebugPrint(L"another stream\n");
        unsetenv("JOURNAL_STREAM");
    });
    const std::string driverLine = "<3>Veltrabox/vbnone0: cannot open the network interface: ";
    size_t driver = lines.find(driverLine);
    ASSERT_NE(driver, std::string::npos) << lines;
    lines.erase(driver, lines.find('\n', driver) + 1 - driver);
    EXPECT_EQ(lines,
              "<3>Veltrabox: Starten der TCP Verbindung nicht m\xC3\xB6glich.\n"
              "<7>Veltrabox: unzoned\n"
              "<3>Veltrabox: Error: Reboot GetPacketFromLon()=203\n"
              "<7>Veltrabox: ev=258 Error\n"
              "<6>Veltrabox: port 5000: told\n"
              "<3>Veltrabox: " +
                  bindError + "Veltrabox: another stream\n");
}

}  // namespace
