// The device's debug-message library and the debug-zone registration.
#include <locale.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "lon_devices/device.h"
#include "platform/win.h"
#include "utf8.h"

namespace win {

namespace {

// Style bit handed to DbgInitEx: every line starts with the UTC time of day.
constexpr DWORD DBG_STYLE_TIMESTAMP = 0x20;

std::atomic<DWORD> LibraryStyle{0};
// The program's zones, as registered: its mask gates the drivers' own lines.
std::atomic<DBGPARAM*> RegisteredZones{nullptr};

// Standard error is the journal's stream when JOURNAL_STREAM names its device and inode.
bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    struct stat status {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) == 2 &&
           fstat(2, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

// Decided before the first line (the registry may report one before DbgInitEx) and again by
// every DbgInitEx; -1 until then.
std::atomic<int> JournalStream{-1};

bool ToJournal() {
    int journal = JournalStream.load(std::memory_order_relaxed);
    if (journal < 0) {
        journal = StderrIsJournal() ? 1 : 0;
        JournalStream.store(journal, std::memory_order_relaxed);
    }
    return journal != 0;
}

// Lines go out as UTF-8 whatever locale the process runs in.
locale_t Utf8Locale() {
    static locale_t const locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return locale;
}

void PrintTimestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    std::fprintf(stderr, "%02d:%02d:%02d.%03ld ", parts.tm_hour, parts.tm_min, parts.tm_sec,
                 now.tv_nsec / 1000000);
}

int PrintLine(int priority, const char* format, va_list args) {
    locale_t utf8 = Utf8Locale();
    locale_t previous = utf8 != locale_t{} ? uselocale(utf8) : locale_t{};
    flockfile(stderr);
    if (ToJournal()) std::fprintf(stderr, "<%d>", priority);
    if (LibraryStyle.load(std::memory_order_relaxed) & DBG_STYLE_TIMESTAMP) PrintTimestamp();
    int n = std::vfprintf(stderr, format, args);
    funlockfile(stderr);
    if (previous != locale_t{}) uselocale(previous);
    return n;
}

}  // namespace

BOOL RegisterDbgZones(HMODULE, DBGPARAM* settings) {
    RegisteredZones.store(settings, std::memory_order_release);
    return TRUE;
}

BOOL DbgInitEx(const char*, DWORD style, DWORD, DWORD*) {
    LibraryStyle.store(style, std::memory_order_relaxed);
    JournalStream.store(StderrIsJournal() ? 1 : 0, std::memory_order_relaxed);
    return TRUE;
}

int dprintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = PrintLine(DBG_PRIORITY_DEBUG, format, args);
    va_end(args);
    return n;
}

int dprintfPriority(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = PrintLine(priority, format, args);
    va_end(args);
    return n;
}

namespace detail {

void DeviceLog(DWORD zone, const char* device, const char* format, ...) {
    DBGPARAM* zones = RegisteredZones.load(std::memory_order_acquire);
    if (!zones || !(__atomic_load_n(&zones->ulZoneMask, __ATOMIC_RELAXED) & zone)) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // The drivers report only faults (a failed open, dropped frames): in the journal they are
    // error lines like the program's own error-zone lines.
    dprintfPriority(zone & DBG_ZONE_ERROR ? DBG_PRIORITY_ERR : DBG_PRIORITY_DEBUG, "%s/%s: %s\n",
                    NarrowUtf8(zones->lpszName).c_str(), device, text);
}

}  // namespace detail

}  // namespace win
