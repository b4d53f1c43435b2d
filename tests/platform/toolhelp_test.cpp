// Process snapshots and reads of the own process's memory.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>

#include "platform/win.h"
#include "support/emulation.h"

namespace {

using namespace win;

TEST(ProcessSnapshot, FindsTheOwnProcessUnderTheProgramsFileName) {
    HANDLE snapshot =
        CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPNOHEAPS, GetCurrentProcessId());
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry{};
    entry.dwSize = PROCESSENTRY32_SIZE;
    ASSERT_TRUE(Process32First(snapshot, &entry));
    EXPECT_EQ(entry.dwSize, PROCESSENTRY32_SIZE);
    EXPECT_EQ(entry.th32ProcessID, GetCurrentProcessId());
    EXPECT_EQ(std::wstring(entry.szExeFile), L"test_platform");
    EXPECT_FALSE(Process32Next(snapshot, &entry));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    ASSERT_TRUE(Process32First(snapshot, &entry));  // starts over
    EXPECT_TRUE(CloseToolhelp32Snapshot(snapshot));
    EXPECT_FALSE(Process32First(snapshot, &entry));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ProcessSnapshot, HeapListOfAnotherProcessIsRefused) {
    EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPHEAPLIST, GetCurrentProcessId() + 1),
              INVALID_HANDLE_VALUE);
}

TEST(ReadProcessMemory, CopiesReadableMemoryAndFailsOnTheRest) {
    SKIP_WITHOUT_PROCESS_READS();
    HANDLE process = OpenProcess(0, FALSE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    const char source[] = "QuorThreadMagic";
    char copy[16] = {};
    SIZE_T got = 0;
    ASSERT_TRUE(ReadProcessMemory(process, source, copy, sizeof copy, &got));
    EXPECT_EQ(got, sizeof copy);
    EXPECT_EQ(std::memcmp(copy, source, sizeof copy), 0);

    // A page that is gone, and a read that runs off the end of a mapping.
    long page = sysconf(_SC_PAGESIZE);
    auto* mapped = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(mapped, MAP_FAILED);
    munmap(mapped + page, page);
    EXPECT_FALSE(ReadProcessMemory(process, mapped + page, copy, sizeof copy, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(ReadProcessMemory(process, mapped + page - 8, copy, sizeof copy, &got));
    EXPECT_EQ(got, 8u);
    munmap(mapped, page);
    EXPECT_TRUE(CloseHandle(process));

    EXPECT_FALSE(ReadProcessMemory(process, source, copy, sizeof copy, &got));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenProcess(0, FALSE, GetCurrentProcessId() + 1), nullptr);
}

}  // namespace
