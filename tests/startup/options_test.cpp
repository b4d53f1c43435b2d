// The command line into the instance table: slots, -i, every option, -N with the registry.
#include "startup/options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "support/log_capture.h"
#include "support/scoped_registry.h"

namespace {

using Bytes = std::vector<win::BYTE>;

class CommandLine : public testing::Test {
  protected:
    void TearDown() override {
        for (int i = 0; i <= table_.Index; ++i) delete table_.Slots[i];
        std::free(table_.Slots);
    }

    // Parses `words` (after the program path) into table_; returns BuildInstanceTable's result.
    int Parse(std::vector<std::wstring> words) {
        words_ = std::move(words);
        words_.insert(words_.begin(), L"/usr/bin/veltrabox");
        argv_.clear();
        for (auto& w : words_) argv_.push_back(w.data());
        argv_.push_back(nullptr);
        return BuildInstanceTable(static_cast<int>(words_.size()), argv_.data(), &table_);
    }

    ServerInstance& Slot(int i) { return *table_.Slots[i]; }
    static Bytes Nid(const ServerInstance& s) { return Bytes(s.NeuronId, s.NeuronId + 6); }

    static void ExpectDefaults(const ServerInstance& s) {
        EXPECT_EQ(s.Port, 49152);
        EXPECT_EQ(std::wstring(s.DevName), L"LON1:");
        EXPECT_EQ(s.DllName, nullptr);
        EXPECT_EQ(s.hDll, nullptr);
        EXPECT_EQ(Nid(s), Bytes(6, 0));
        EXPECT_EQ(s.hLon.load(), nullptr);
        EXPECT_EQ(s.ClientSocket.load(), 0u);
    }

    InstanceTable table_{};
    std::vector<std::wstring> words_;
    std::vector<wchar_t*> argv_;
};

TEST_F(CommandLine, NoOptionsGiveOneDefaultRecord) {
    ASSERT_EQ(Parse({}), 0);
    EXPECT_EQ(table_.Index, 0);
    EXPECT_EQ(table_.BadOptions, 0);
    ExpectDefaults(Slot(0));
}

TEST_F(CommandLine, InstanceSlots) {
    ASSERT_EQ(Parse({L"-p5000", L"-i", L"-p5001"}), 0);
    EXPECT_EQ(table_.Index, 1);
    EXPECT_EQ(Slot(0).Port, 5000);
    EXPECT_EQ(Slot(1).Port, 5001);

    TearDown();
    ASSERT_EQ(Parse({L"-p5000", L"-i"}), 0);
    EXPECT_EQ(table_.Index, 1);
    EXPECT_EQ(table_.Slots[1], nullptr);

    TearDown();
    ASSERT_EQ(Parse({L"-i", L"-i"}), 0);
    EXPECT_EQ(table_.Index, 2);
    ExpectDefaults(Slot(0));
    ExpectDefaults(Slot(1));
    EXPECT_EQ(table_.Slots[2], nullptr);
}

TEST_F(CommandLine, TableGrowsByDoubling) {
    std::vector<std::wstring> words;
    for (int i = 0; i < 9; ++i) {
        words.push_back(L"-p" + std::to_wstring(6000 + i));
        words.push_back(L"-i");
    }
    ASSERT_EQ(Parse(words), 0);
    EXPECT_EQ(table_.Index, 9);
    EXPECT_EQ(table_.Room, 16);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(Slot(i).Port, 6000 + i);
    EXPECT_EQ(table_.Slots[9], nullptr);
}

TEST_F(CommandLine, OptionsSetTheirFields) {
    ASSERT_EQ(Parse({L"-d", L"/dev/ttyUSB0", L"-p", L"70000", L"-n", L"a0B1c2", L"-p4000", L"-i",
                     L"-dLON2:"}),
              0);
    EXPECT_EQ(Slot(0).DevName, argv_[2]) << "the device name is the word itself";
    EXPECT_EQ(Slot(0).Port, 4000);
    EXPECT_EQ(Nid(Slot(0)), (Bytes{0, 0, 0, 0xA0, 0xB1, 0xC2}));
    EXPECT_EQ(std::wstring(Slot(1).DevName), L"LON2:");
    EXPECT_EQ(Slot(1).Port, 49152);

    TearDown();
    ASSERT_EQ(Parse({L"-p70000"}), 0);
    EXPECT_EQ(Slot(0).Port, 70000);
}

TEST_F(CommandLine, BadOptionsAreCountedAndParsingGoesOn) {
    ASSERT_EQ(Parse({L"-x", L"-p5000", L"-y", L"-i", L"-p"}), 0);
    EXPECT_EQ(table_.BadOptions, 3);
    EXPECT_EQ(Slot(0).Port, 5000);
    EXPECT_EQ(table_.Index, 1);
    ASSERT_NE(table_.Slots[1], nullptr) << "a bad option still fills its slot";
}

TEST_F(CommandLine, LibraryProbe) {
    // The test program lives apart from the library: only the path variable finds it.
    unsetenv("VELTRABOX_LIBRARY_PATH");
    CaptureLog();
    ASSERT_EQ(Parse({L"-m", L"-i", L"-v"}), 0);
    std::string log = CapturedLog();
    EXPECT_EQ(table_.BadOptions, 2);
    EXPECT_EQ(std::wstring(Slot(0).DllName), L"ldv_vni.dll");
    EXPECT_EQ(std::wstring(Slot(1).DllName), L"ldv_vni.dll");
    EXPECT_NE(log.find("LoadLibrary(ldv_vni.dll) failed\n"), std::string::npos) << log;

    TearDown();
    setenv("VELTRABOX_LIBRARY_PATH", VELTRABOX_BINARY_DIR, 1);
    CaptureLog();
    ASSERT_EQ(Parse({L"-m"}), 0);
    log = CapturedLog();
    unsetenv("VELTRABOX_LIBRARY_PATH");
    EXPECT_EQ(table_.BadOptions, 0);
    EXPECT_EQ(std::wstring(Slot(0).DllName), L"ldv_vni.dll");
    EXPECT_EQ(Slot(0).hDll, nullptr) << "the probe unloads the library";
    EXPECT_EQ(log.find("LoadLibrary"), std::string::npos) << log;
}

TEST_F(CommandLine, NeuronIdFromTheRegistryPlusOffset) {
    ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\Quorvel]\n\"NID\"=hex:00,11,22,33,44,55\n");
    ASSERT_EQ(Parse({L"-N5"}), 0);
    EXPECT_EQ(Nid(Slot(0)), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x5A}));

    TearDown();
    registry.Write("[HKEY_LOCAL_MACHINE\\Quorvel]\n\"NID\"=hex:00,11,22,33,44,02\n");
    ASSERT_EQ(Parse({L"-N", L"FF"}), 0);
    EXPECT_EQ(Nid(Slot(0)), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x01}));

    TearDown();
    ASSERT_EQ(Parse({L"-N100"}), 0);
    EXPECT_EQ(Nid(Slot(0)), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x12}));
}

TEST_F(CommandLine, ShortRegistryValueLeavesTheRestAlone) {
    ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\Quorvel]\n\"NID\"=hex:AA,BB\n");
    ASSERT_EQ(Parse({L"-n010203040506", L"-N1"}), 0);
    EXPECT_EQ(Nid(Slot(0)), (Bytes{0xAA, 0xBB, 0x03, 0x04, 0x05, 0x07}));
}

TEST_F(CommandLine, NeuronIdWithoutTheRegistry) {
    ScopedRegistry registry("");
    ASSERT_EQ(Parse({L"-n0A0B", L"-N1"}), 0);
    EXPECT_EQ(Nid(Slot(0)), (Bytes{0, 0, 0, 0, 0x0A, 0x0C}));

    TearDown();
    ASSERT_EQ(Parse({L"-N1", L"-n0A0B"}), 0);
    EXPECT_EQ(Nid(Slot(0)), (Bytes{0, 0, 0, 0, 0x0A, 0x0B}));
}

TEST_F(CommandLine, RegistryStepsAreLoggedUnderInit) {
    ScopedRegistry registry("");
    SetDebugZoneMask(ZONE_INIT);
    CaptureLog();
    ASSERT_EQ(Parse({L"-N1F"}), 0);
    std::string log = CapturedLog();
    SetDebugZoneMask(ZONE_ERROR);
    EXPECT_NE(log.find("RegOpenKeyEx()=2\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("RegQueryValueEx()"), std::string::npos) << log;
    EXPECT_NE(log.find("HexStringToBytes()=1F\n"), std::string::npos) << log;

    CaptureLog();
    TearDown();
    ASSERT_EQ(Parse({L"-N1F"}), 0);
    EXPECT_EQ(CapturedLog(), "") << "zone off, nothing logged";
}

}  // namespace
