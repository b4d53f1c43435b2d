// The device's debug-message library and the debug-zone registration.
#include <locale.h>
#include <time.h>

#include <atomic>
#include <cstdio>

#include "lon/device.h"
#include "platform/win.h"
#include "utf8.h"

namespace win {

namespace {

// Style bit handed to DbgInitEx: every line starts with the UTC time of day.
constexpr DWORD DBG_STYLE_TIMESTAMP = 0x20;

std::atomic<DWORD> LibraryStyle{0};
// The program's zones, as registered: its mask gates the drivers' own lines.
std::atomic<DBGPARAM*> RegisteredZones{nullptr};

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

}  // namespace

BOOL RegisterDbgZones(HMODULE, DBGPARAM* settings) {
    RegisteredZones.store(settings, std::memory_order_release);
    return TRUE;
}

BOOL DbgInitEx(const char*, DWORD style, DWORD, DWORD*) {
    LibraryStyle.store(style, std::memory_order_relaxed);
    return TRUE;
}

int dprintf(const char* format, ...) {
    locale_t utf8 = Utf8Locale();
    locale_t previous = utf8 != locale_t{} ? uselocale(utf8) : locale_t{};
    flockfile(stderr);
    if (LibraryStyle.load(std::memory_order_relaxed) & DBG_STYLE_TIMESTAMP) PrintTimestamp();
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(stderr, format, args);
    va_end(args);
    funlockfile(stderr);
    if (previous != locale_t{}) uselocale(previous);
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
    dprintf("%s/%s: %s\n", NarrowUtf8(zones->lpszName).c_str(), device, text);
}

}  // namespace detail

}  // namespace win
