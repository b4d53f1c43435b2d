// Contract tests of the device manager, the run-time library loader and the UTF-16 boundary.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/lon_ioctl.h"
#include "platform/simlon.h"
#include "platform/win.h"

using namespace win;

namespace {

HANDLE Open(LPCWSTR name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

TEST(Devices, NamesWithoutADriverFailToOpen) {
    for (LPCWSTR name : {L"COM1:", L"LON:", L"LONx:", L"", L"lon0:"}) {
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(Open(L"/no/such/device"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Devices, CallsOnHandlesThatAreNoDeviceFail) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE device = Open(L"LON900:");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(device));
    DWORD written = 0;
    for (HANDLE h : {INVALID_HANDLE_VALUE, event, device}) {
        EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(DeviceIoControl(h, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    CloseHandle(event);
}

TEST(Devices, ReadRequestsNeedTheirTimeOutWordInTheirOwnPlace) {
    HANDLE device = Open(L"LON901:");
    BYTE buffer[16];
    DWORD timeout = 0, count = 0;
    // IOCTL_READ takes the word as output, IOCTL_XLON_READWAIT as input.
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_READ, buffer, sizeof buffer, &timeout, 2, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_XLON_READWAIT, &timeout, 3, buffer, sizeof buffer,
                                 &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(device, 0x1234, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    count = 99;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_XLON_READWAIT, &timeout, 4, buffer, sizeof buffer,
                                &count, nullptr));
    EXPECT_EQ(count, 0u);  // nothing came within the time-out
    CloseHandle(device);
}

TEST(Devices, ClosingWakesAReadBlockedInAnotherThread) {
    HANDLE device = Open(L"LON902:");
    std::atomic<int> result{-1};
    std::atomic<DWORD> error{0};
    std::thread reader([&] {
        DWORD timeout = 600000, count = 0;
        BYTE buffer[16];
        result = DeviceIoControl(device, IOCTL_XLON_READWAIT, &timeout, 4, buffer, sizeof buffer,
                                 &count, nullptr);
        error = GetLastError();
    });
    ASSERT_TRUE(testclock::AwaitTimedWaiters(1));
    EXPECT_TRUE(CloseHandle(device));
    reader.join();
    EXPECT_EQ(result.load(), FALSE);
    EXPECT_EQ(error.load(), ERROR_INVALID_HANDLE);
}

// A write of several telegrams takes records of a length and the telegram: each reaches the
// channel with its bounds, as given; a request whose records or output do not add up writes
// nothing; a short write ends the request, and a failing one fails it with the counts so far.
TEST(Devices, AWriteOfSeveralTelegramsKeepsEachOnesBounds) {
    HANDLE writer = Open(L"LON903:");
    HANDLE reader = Open(L"LON903:");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const std::vector<std::vector<BYTE>> telegrams = {{0x11, 2, 1, 2}, {0x12, 9, 3}, {0x13, 0}};
    std::vector<BYTE> records;
    for (const auto& t : telegrams) {
        BYTE record[16];
        DWORD size = PutTelegramRecord(record, t.data(), DWORD(t.size()));
        records.insert(records.end(), record, record + size);
    }
    auto request = [&](const std::vector<BYTE>& in, DWORD outSize, DWORD* returned) {
        DWORD out[8] = {};
        BOOL ok = DeviceIoControl(writer, IOCTL_WRITE_TELEGRAMS, const_cast<BYTE*>(in.data()),
                                  DWORD(in.size()), out, outSize, returned, nullptr);
        return ok ? std::vector<DWORD>(out, out + *returned / sizeof(DWORD)) : std::vector<DWORD>{};
    };
    DWORD returned = 0;
    EXPECT_EQ(request(records, 12, &returned), (std::vector<DWORD>{4, 3, 2}));
    for (const auto& t : telegrams) {
        BYTE buffer[16];
        DWORD timeout = 0, count = 0;
        ASSERT_TRUE(DeviceIoControl(reader, IOCTL_XLON_READWAIT, &timeout, 4, buffer, sizeof buffer,
                                    &count, nullptr));
        EXPECT_EQ(std::vector<BYTE>(buffer, buffer + count), t);
    }

    std::vector<BYTE> runsPast(records.begin(), records.end() - 1);
    std::vector<BYTE> trailingByte = records;
    trailingByte.push_back(1);
    simlon::ResetChannel(L"LON903:");
    for (auto [in, outSize] :
         {std::pair{runsPast, DWORD(12)}, {trailingByte, DWORD(12)}, {records, DWORD(11)}}) {
        returned = 99;
        EXPECT_EQ(request(in, outSize, &returned), std::vector<DWORD>{});
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(simlon::Requests(L"LON903:").size(), 3u);  // the requests, and no write

    simlon::ShortenWrites(L"LON903:", 1);
    EXPECT_EQ(request(records, 12, &returned), (std::vector<DWORD>{3}));
    simlon::ShortenWrites(L"LON903:", 0);
    simlon::FailRequest(L"LON903:", simlon::REQUEST_WRITE, ERROR_NOT_READY, 1);
    EXPECT_EQ(request(records, 12, &returned), std::vector<DWORD>{});
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
    EXPECT_EQ(returned, 0u);
    CloseHandle(reader);
    CloseHandle(writer);
}

// Behind a node that nobody reads, the simulated channel keeps a bounded queue (and a bounded
// record of requests); the writer goes on at full speed.
TEST(Devices, ASimulatedNodeThatNobodyReadsHoldsABoundedQueue) {
    HANDLE writer = Open(L"LON901:");
    HANDLE unread = Open(L"LON901:");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ASSERT_NE(unread, INVALID_HANDLE_VALUE);
    const BYTE telegram[] = {0x11, 0x02, 0xAA, 0xBB};
    for (int i = 0; i < 20000; ++i) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writer, telegram, sizeof telegram, &written, nullptr));
        ASSERT_EQ(written, sizeof telegram);
    }
    EXPECT_EQ(simlon::PendingTelegrams(unread), 1024u);
    EXPECT_LE(simlon::Requests(L"LON901:").size(), 1024u);
    CloseHandle(unread);
    CloseHandle(writer);
}

TEST(Modules, DllNamesFindTheirSharedObjectAndEntryPoints) {
    setenv("VELTRABOX_LIBRARY_PATH", VELTRABOX_BINARY_DIR, 1);
    HMODULE module = LoadLibraryW(L"ldv_vni.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddressW(module, L"ldv_read_overlapped"), nullptr);
    EXPECT_EQ(GetProcAddressW(module, L"ldv_no_such_entry"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetProcAddressW(module, L"ldv_close"), nullptr);

    std::string dir = VELTRABOX_BINARY_DIR;
    std::wstring path = std::wstring(dir.begin(), dir.end()) + L"/libldv_vni.so";
    module = LoadLibraryW(path.c_str());
    EXPECT_NE(module, nullptr);
    EXPECT_TRUE(FreeLibrary(module));

    EXPECT_EQ(LoadLibraryW(L"no_such_library.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Utf16, ConvertsBothWaysAndKeepsPairsWholeWhenCut) {
    char16_t out[8];
    EXPECT_EQ(WideToUtf16(L"A\u00E9\U0001F600", out, 8), 4u);
    EXPECT_EQ(out[2], 0xD83D);
    EXPECT_EQ(out[3], 0xDE00);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(WideToUtf16(L"A\u00E9\U0001F600", out, 4), 2u);  // no half pair
    EXPECT_EQ(out[2], 0);

    WCHAR wide[8];
    const char16_t text[] = {u'L', 0xD83D, 0xDE00, 0xDC00, u'x', 0};
    EXPECT_EQ(Utf16ToWide(text, 5, wide, 8), 4u);
    EXPECT_EQ(wide[1], L'\U0001F600');
    EXPECT_EQ(wide[2], L'\uFFFD');                 // a lone surrogate
    EXPECT_EQ(Utf16ToWide(text, 1, wide, 8), 1u);  // stops at the unit limit
    EXPECT_EQ(wide[1], 0);
}
