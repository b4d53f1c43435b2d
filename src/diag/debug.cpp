// Debug lines: module and thread prefixes, zones and style from the registry, system error texts.
#include "diag/debug.h"

#include <wchar.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>

using win::BYTE;
using win::DWORD;
using win::HANDLE;
using win::HKEY;
using win::HMODULE;
using win::LPCWSTR;
using win::WCHAR;

namespace {

constexpr size_t LINE_ROOM = 1024;
// A line holds at most this many characters before its terminating zero.
constexpr size_t LINE_LIMIT = 1021;
constexpr size_t NAME_ROOM = 32;
constexpr size_t THREAD_PREFIX_ROOM = 64;
constexpr DWORD NO_TLS_SLOT = 0xFFFFFFFF;
constexpr DWORD SNAP_PROCESS_NO_HEAPS = win::TH32CS_SNAPPROCESS | win::TH32CS_SNAPNOHEAPS;
constexpr DWORD FORMAT_FROM_SYSTEM =
    win::FORMAT_MESSAGE_ALLOCATE_BUFFER | win::FORMAT_MESSAGE_FROM_SYSTEM;

}  // namespace

win::DBGPARAM DebugZoneSettings = {
    L"",
    {L"Default", L"Init", L"Thread", L"Extra", L"Error", L"Sock", L"Pipe", L"n/a", L"Dump1",
     L"Dump2", L"Dump3", L"n/a", L"n/a", L"n/a", L"n/a", L"n/a"},
    DEFAULT_ZONE_MASK,
};
DWORD DebugStyle = DEFAULT_STYLE;
WCHAR ModulePrefix[NAME_ROOM] = L"";
std::atomic<DWORD> ThreadNameTlsIndex{NO_TLS_SLOT};
DWORD DebugLibState = 0;
thread_local DWORD PendingLineZone = 0;

namespace {

void SetModuleName(LPCWSTR name) {
    win::_snwprintf(ModulePrefix, NAME_ROOM, L"%.29ls: ", name);
    win::_snwprintf(DebugZoneSettings.lpszName, NAME_ROOM, L"%.29ls", name);
}

// The program's file name up to its first dot, from a process snapshot.
void SetModuleNameFromProcess() {
    HANDLE snapshot =
        win::CreateToolhelp32Snapshot(SNAP_PROCESS_NO_HEAPS, win::GetCurrentProcessId());
    if (snapshot == win::INVALID_HANDLE_VALUE) return;
    win::PROCESSENTRY32 entry{};
    entry.dwSize = win::PROCESSENTRY32_SIZE;
    DWORD self = win::GetCurrentProcessId();
    for (win::BOOL more = win::Process32First(snapshot, &entry); more;
         more = win::Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID != self) continue;
        entry.szExeFile[259] = L'\0';
        WCHAR* dot = std::wcschr(entry.szExeFile, L'.');
        if (dot != nullptr) *dot = L'\0';
        SetModuleName(entry.szExeFile);
        break;
    }
    win::CloseToolhelp32Snapshot(snapshot);
}

// A dword value into *value; without the value *value stays. False when the value is there but
// is no dword (*value stays too).
bool ReadDword(HKEY key, LPCWSTR name, DWORD* value) {
    DWORD type = win::REG_NONE;
    DWORD size = sizeof(DWORD);
    DWORD read = 0;
    win::LONG result =
        win::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
    if (result == win::ERROR_FILE_NOT_FOUND) return true;
    if (result != win::ERROR_SUCCESS || type != win::REG_DWORD) return false;
    *value = read;
    return true;
}

DWORD ThreadSlot() {
    return ThreadNameTlsIndex.load(std::memory_order_acquire);
}

// Allocates the process's one slot for thread prefixes, once, even when threads race for it.
DWORD EnsureThreadSlot() {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    DWORD slot = ThreadSlot();
    if (slot == NO_TLS_SLOT) {
        slot = win::TlsAlloc();
        ThreadNameTlsIndex.store(slot, std::memory_order_release);
    }
    return slot;
}

// Copies the calling thread's prefix (or the module's) to `line`; returns its length.
size_t CopyPrefix(WCHAR* line) {
    DWORD slot = ThreadSlot();
    auto* threadPrefix =
        slot != NO_TLS_SLOT ? static_cast<WCHAR*>(win::TlsGetValue(slot)) : nullptr;
    const WCHAR* prefix = threadPrefix != nullptr ? threadPrefix : ModulePrefix;
    size_t length = wcsnlen(prefix, THREAD_PREFIX_ROOM - 1);
    std::wmemcpy(line, prefix, length);
    return length;
}

// Lines of their own kind: error lines whatever they say, and the notices.
enum class LineKind { ANY, ERROR, NOTICE };

// Error lines (error zone, system errors, messages that begin with "Error") reach the journal
// as errors, notices as information, all others as debug lines.
int LinePriority(LineKind kind, const WCHAR* message) {
    DWORD zone = PendingLineZone;
    PendingLineZone = 0;
    if (kind == LineKind::NOTICE) return win::DBG_PRIORITY_INFO;
    bool error = kind == LineKind::ERROR || (zone & ZONE_ERROR) != 0 ||
                 std::wcsncmp(message, L"Error", 5) == 0;
    return error ? win::DBG_PRIORITY_ERR : win::DBG_PRIORITY_DEBUG;
}

void PrintLine(LineKind kind, LPCWSTR format, va_list args) {
    // Reading the thread's name resets the last error; a caller may still need it.
    DWORD lastError = win::GetLastError();
    WCHAR line[LINE_ROOM];
    const DWORD style = __atomic_load_n(&DebugStyle, __ATOMIC_RELAXED);
    size_t prefix = (style & STYLE_NAME_PREFIX) ? CopyPrefix(line) : 0;
    int n = win::_vsnwprintf(line + prefix, LINE_LIMIT - prefix, format, args);
    line[n < 0 ? LINE_LIMIT : prefix + static_cast<size_t>(n)] = L'\0';
    win::dprintfPriority(LinePriority(kind, line + prefix), "%ls", line);
    if (style & STYLE_CONSOLE_ECHO) {
        std::printf("%ls", line);
        std::fflush(stdout);
    }
    win::SetLastError(lastError);
}

void PrintErrorLine(LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    PrintLine(LineKind::ERROR, format, args);
    va_end(args);
}

}  // namespace

void InitDebugOutput(HMODULE module, LPCWSTR name) {
    if (name != nullptr && *name != L'\0') {
        SetModuleName(name);
    } else {
        SetModuleNameFromProcess();
    }
    DWORD mask = __atomic_load_n(&DebugZoneSettings.ulZoneMask, __ATOMIC_RELAXED);
    DWORD style = __atomic_load_n(&DebugStyle, __ATOMIC_RELAXED);
    ReadDebugSettings(win::HKEY_LOCAL_MACHINE, &mask, &style, L"it is not used.");
    win::RegisterDbgZones(module, &DebugZoneSettings);
    SetDebugSettings(mask, style);
}

bool ReadDebugSettings(HKEY root, DWORD* mask, DWORD* style, LPCWSTR consequence) {
    HKEY key = nullptr;
    if (win::RegOpenKeyExW(root, L"DebugZones", 0, 0, &key) != win::ERROR_SUCCESS) return true;
    LPCWSTR bad = nullptr;
    if (!ReadDword(key, L"Quorvel", mask)) bad = L"Quorvel";
    if (!ReadDword(key, L"Quorvel.Style", style)) bad = L"Quorvel.Style";
    win::RegCloseKey(key);
    if (bad != nullptr && ZoneOn(ZONE_ERROR)) {
        DebugPrint(L"Error: [HKEY_LOCAL_MACHINE\\DebugZones] \"%ls\" is not a dword; %ls\n", bad,
                   consequence);
    }
    return bad == nullptr;
}

void SetDebugSettings(DWORD mask, DWORD style) {
    __atomic_store_n(&DebugStyle, style, __ATOMIC_RELAXED);
    SetDebugZoneMask(mask);
    char narrowPrefix[NAME_ROOM] = {};
    win::_snprintf(narrowPrefix, NAME_ROOM, "%ls", ModulePrefix);
    narrowPrefix[NAME_ROOM - 1] = '\0';
    win::DbgInitEx(narrowPrefix, style & 0xE0, style & 0x07, &DebugLibState);
}

void DebugPrint(LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    PrintLine(LineKind::ANY, format, args);
    va_end(args);
}

void DebugNotice(LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    PrintLine(LineKind::NOTICE, format, args);
    va_end(args);
}

void SetThreadDebugName(LPCWSTR name) {
    DWORD slot = ThreadSlot();
    if (slot == NO_TLS_SLOT) slot = EnsureThreadSlot();
    if (slot == NO_TLS_SLOT) return;
    ClearThreadDebugName();
    auto* block = static_cast<WCHAR*>(
        win::LocalAlloc(win::LMEM_ZEROINIT, THREAD_PREFIX_ROOM * sizeof(WCHAR)));
    if (block == nullptr) return;
    WCHAR module[NAME_ROOM];
    win::_snwprintf(module, NAME_ROOM, L"%ls", ModulePrefix);
    module[NAME_ROOM - 1] = L'\0';
    if (WCHAR* colon = std::wcschr(module, L':')) *colon = L'\0';
    // The longest prefix fills the block; its last blank gives way to the terminating zero.
    win::_snwprintf(block, THREAD_PREFIX_ROOM, L"%.29s/%.32ls: ", module, name);
    block[THREAD_PREFIX_ROOM - 1] = L'\0';
    win::TlsSetValue(slot, block);
}

void ClearThreadDebugName() {
    DWORD slot = ThreadSlot();
    if (slot == NO_TLS_SLOT) return;
    auto* block = static_cast<WCHAR*>(win::TlsGetValue(slot));
    if (block == nullptr) return;
    win::TlsSetValue(slot, nullptr);
    win::LocalFree(block);
}

void PrintSystemError(DWORD code, LPCWSTR format, ...) {
    WCHAR line[LINE_ROOM];
    va_list args;
    va_start(args, format);
    size_t length = static_cast<size_t>(win::wvsprintfW(line, format, args));
    va_end(args);
    WCHAR* text = nullptr;
    DWORD found =
        win::FormatMessageW(FORMAT_FROM_SYSTEM, nullptr, code, win::LANG_NEUTRAL_SUBLANG_DEFAULT,
                            reinterpret_cast<win::LPWSTR>(&text), 0, nullptr);
    DWORD lookupError = found != 0 ? win::ERROR_SUCCESS : win::GetLastError();
    // The caller's text and the description share the line; whatever does not fit is cut.
    WCHAR* tail = line + length;
    size_t room = LINE_ROOM - 1 - length;
    auto signedCode = static_cast<int>(code);
    auto longCode = static_cast<unsigned long>(code);
    if (found != 0 && code < 0x20000000) {
        win::_snwprintf(tail, room, L":%5d -> %s", signedCode, text);
    } else if (found != 0) {
        win::_snwprintf(tail, room, L":%08X -> %s", code, text);
    } else if (lookupError == win::ERROR_MR_MID_NOT_FOUND) {
        win::_snwprintf(tail, room, L":%5d=%08lX (The system cannot find message text.)\n",
                        signedCode, longCode);
    } else {
        win::_snwprintf(tail, room, L":%5d=%08lX (FormatMessage()=%5d)\n", signedCode, longCode,
                        static_cast<int>(lookupError));
    }
    line[LINE_ROOM - 1] = L'\0';
    PrintErrorLine(L"%ls", line);
    if (text != nullptr) win::LocalFree(text);
}
