#include "startup/access_settings.h"

#include <cwchar>

#include "diag/debug.h"
#include "tcp/monitors.h"

using namespace win;

namespace {

constexpr DWORD MAX_VALUE_LENGTH = 1024;
constexpr size_t MAX_ADDRESS_LENGTH = 15;  // 255.255.255.255
constexpr uint32_t MAX_PREFIX = 32;

struct Setting {
    bool Present;
    bool Valid;
    WCHAR Text[MAX_VALUE_LENGTH];
};

// `value` as the registry file writes it: text in quotes, a dword as dword:hhhhhhhh.
void ReportBadValue(const ServerInstance* instance, LPCWSTR name, LPCWSTR value, bool text) {
    if (ZoneOn(ZONE_ERROR)) {
        LPCWSTR quote = text ? L"\"" : L"";
        DebugPrint(
            L"Error: [HKEY_LOCAL_MACHINE\\Quorvel\\Port%d] \"%ls\"=%ls%ls%ls is not valid; "
            L"the instance does not start.\n",
            instance->Port & 0xFFFF, name, quote, value, quote);
    }
}

struct Number {
    bool Present;
    bool Valid;
    DWORD Value;
    WCHAR Text[24];
};

// A dword value: absent, or present and valid only when it is a dword.
void ReadNumber(HKEY key, LPCWSTR name, Number* number) {
    DWORD type = REG_NONE;
    DWORD size = sizeof number->Value;
    LONG result =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number->Value), &size);
    number->Present = result != ERROR_FILE_NOT_FOUND;
    number->Valid = result == ERROR_SUCCESS && type == REG_DWORD;
    if (number->Valid) {
        wsprintfW(number->Text, L"dword:%08x", number->Value);
    } else {
        wcscpy(number->Text, L"(not a dword)");
    }
}

bool InRange(const Number& number, DWORD low, DWORD high) {
    return number.Valid && number.Value >= low && number.Value <= high;
}

// MonitorPort: a port other than the instance's own; MonitorLimit: 1 to MAX_MONITOR_LIMIT.
bool ReadMonitorSettings(HKEY key, ServerInstance* instance) {
    Number port;
    Number limit;
    ReadNumber(key, L"MonitorPort", &port);
    ReadNumber(key, L"MonitorLimit", &limit);
    const DWORD ownPort = static_cast<DWORD>(instance->Port) & 0xFFFF;
    if (port.Present && !(InRange(port, 1, 0xFFFF) && port.Value != ownPort)) {
        ReportBadValue(instance, L"MonitorPort", port.Text, false);
        return false;
    }
    if (limit.Present && !InRange(limit, 1, MAX_MONITOR_LIMIT)) {
        ReportBadValue(instance, L"MonitorLimit", limit.Text, false);
        return false;
    }
    instance->MonitorPort = port.Present ? static_cast<int32_t>(port.Value) : 0;
    instance->MonitorLimit =
        limit.Present ? static_cast<int32_t>(limit.Value) : DEFAULT_MONITOR_LIMIT;
    return true;
}

// A text value: absent, or present and valid only when it is text that fits the buffer.
void ReadSetting(HKEY key, LPCWSTR name, Setting* setting) {
    DWORD type = REG_NONE;
    DWORD size = sizeof setting->Text - sizeof(WCHAR);
    LONG result =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(setting->Text), &size);
    setting->Present = result != ERROR_FILE_NOT_FOUND;
    setting->Valid = result == ERROR_SUCCESS && type == REG_SZ;
    setting->Text[MAX_VALUE_LENGTH - 1] = L'\0';
    if (type != REG_SZ) wcscpy(setting->Text, L"(not text)");
}

bool IsBlank(WCHAR c) {
    return c == L' ' || c == L'\t';
}

// `text[0..length)` without blanks at either end, as a string of at most `room` - 1 characters.
bool CopyTrimmed(LPCWSTR text, size_t length, LPWSTR out, size_t room) {
    while (length > 0 && IsBlank(*text)) ++text, --length;
    while (length > 0 && IsBlank(text[length - 1])) --length;
    if (length >= room) return false;
    wmemcpy(out, text, length);
    out[length] = L'\0';
    return true;
}

bool ParseAddress(LPCWSTR text, size_t length, uint32_t* address) {
    WCHAR trimmed[MAX_ADDRESS_LENGTH + 1];
    return CopyTrimmed(text, length, trimmed, MAX_ADDRESS_LENGTH + 1) &&
           InetPtonW(AF_INET, trimmed, address) == 1;
}

// One or two decimal digits, at most 32.
bool ParsePrefix(LPCWSTR text, size_t length, uint32_t* prefix) {
    WCHAR digits[3];
    if (!CopyTrimmed(text, length, digits, 3) || digits[0] == L'\0') return false;
    *prefix = 0;
    for (LPCWSTR d = digits; *d != L'\0'; ++d) {
        if (*d < L'0' || *d > L'9') return false;
        *prefix = *prefix * 10 + static_cast<uint32_t>(*d - L'0');
    }
    return *prefix <= MAX_PREFIX;
}

// "a.b.c.d/n" or "a.b.c.d" (one address, /32). Address bits beyond the prefix are dropped.
bool ParseNet(LPCWSTR text, size_t length, AllowedNet* net) {
    LPCWSTR slash = wmemchr(text, L'/', length);
    size_t addressLength = slash != nullptr ? static_cast<size_t>(slash - text) : length;
    uint32_t prefix = MAX_PREFIX;
    if (!ParseAddress(text, addressLength, &net->Address)) return false;
    if (slash != nullptr && !ParsePrefix(slash + 1, length - addressLength - 1, &prefix)) {
        return false;
    }
    net->Mask = prefix == 0 ? 0 : htonl(0xFFFFFFFFu << (MAX_PREFIX - prefix));
    net->Address &= net->Mask;
    return true;
}

bool ParseAllowFrom(LPCWSTR text, ServerInstance* instance) {
    int32_t count = 0;
    LPCWSTR item = text;
    for (;;) {
        LPCWSTR comma = wcschr(item, L',');
        size_t length = comma != nullptr ? static_cast<size_t>(comma - item) : wcslen(item);
        if (count == MAX_ALLOW_FROM || !ParseNet(item, length, &instance->AllowFrom[count])) {
            return false;
        }
        ++count;
        if (comma == nullptr) break;
        item = comma + 1;
    }
    instance->AllowFromCount = count;
    return true;
}

}  // namespace

bool ReadAccessSettings(ServerInstance* instance) {
    WCHAR keyName[32];
    wsprintfW(keyName, L"Quorvel\\Port%d", instance->Port & 0xFFFF);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return true;
    }
    Setting listenAddress;
    Setting allowFrom;
    ReadSetting(key, L"ListenAddress", &listenAddress);
    ReadSetting(key, L"AllowFrom", &allowFrom);
    bool monitors = ReadMonitorSettings(key, instance);
    RegCloseKey(key);
    if (!monitors) return false;

    if (listenAddress.Present &&
        !(listenAddress.Valid &&
          ParseAddress(listenAddress.Text, wcslen(listenAddress.Text), &instance->ListenAddress))) {
        ReportBadValue(instance, L"ListenAddress", listenAddress.Text, true);
        return false;
    }
    if (allowFrom.Present && !(allowFrom.Valid && ParseAllowFrom(allowFrom.Text, instance))) {
        ReportBadValue(instance, L"AllowFrom", allowFrom.Text, true);
        return false;
    }
    return true;
}
