#include "startup/access_settings.h"

#include <cwchar>

#include "diag/debug.h"
#include "tcp/client_access.h"
#include "tcp/monitors.h"

using namespace win;

namespace {

constexpr DWORD MAX_VALUE_LENGTH = 1024;
// ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255
constexpr size_t MAX_ADDRESS_LENGTH = 45;
constexpr int32_t IPV4_BITS = 32;
constexpr int32_t IPV6_BITS = 128;

struct Setting {
    bool Present;
    bool Valid;
    WCHAR Text[MAX_VALUE_LENGTH];
};

// Where the values come from, and what a malformed one means.
struct Source {
    int32_t Port;
    LPCWSTR Consequence;
};

// `value` as the registry file writes it: text in quotes, a dword as dword:hhhhhhhh; `valid`,
// if given, says what a valid one is.
void ReportBadValue(const Source& source, LPCWSTR name, LPCWSTR value, bool text,
                    LPCWSTR valid = nullptr) {
    if (ZoneOn(ZONE_ERROR)) {
        LPCWSTR quote = text ? L"\"" : L"";
        DebugPrint(
            L"Error: [HKEY_LOCAL_MACHINE\\Quorvel\\Port%d] \"%ls\"=%ls%ls%ls is not "
            L"valid%ls%ls%ls; %ls\n",
            source.Port & 0xFFFF, name, quote, value, quote, valid ? L" (" : L"",
            valid ? valid : L"", valid ? L")" : L"", source.Consequence);
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

// MonitorPort and CapturePort: ports other than the instance's own and each other;
// MonitorLimit: 1 to MAX_MONITOR_LIMIT.
bool ReadMonitorSettings(HKEY key, const Source& source, AccessSettings* settings) {
    Number port;
    Number capture;
    Number limit;
    ReadNumber(key, L"MonitorPort", &port);
    ReadNumber(key, L"CapturePort", &capture);
    ReadNumber(key, L"MonitorLimit", &limit);
    const DWORD ownPort = static_cast<DWORD>(source.Port) & 0xFFFF;
    if (port.Present && !(InRange(port, 1, 0xFFFF) && port.Value != ownPort)) {
        WCHAR valid[128];
        wsprintfW(valid, L"a port from 1 to 65535 other than %u", ownPort);
        if (port.Valid) {
            wsprintfW(valid + wcslen(valid), L"; dwords are hexadecimal: this one is %u",
                      port.Value);
        }
        ReportBadValue(source, L"MonitorPort", port.Text, false, valid);
        return false;
    }
    if (capture.Present && !(InRange(capture, 1, 0xFFFF) && capture.Value != ownPort &&
                             !(port.Present && capture.Value == port.Value))) {
        ReportBadValue(source, L"CapturePort", capture.Text, false);
        return false;
    }
    if (limit.Present && !InRange(limit, 1, MAX_MONITOR_LIMIT)) {
        WCHAR valid[64];
        wsprintfW(valid, L"1 to %d", MAX_MONITOR_LIMIT);
        ReportBadValue(source, L"MonitorLimit", limit.Text, false, valid);
        return false;
    }
    settings->MonitorPort = port.Present ? static_cast<int32_t>(port.Value) : 0;
    settings->CapturePort = capture.Present ? static_cast<int32_t>(capture.Value) : 0;
    settings->MonitorLimit =
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

// An IPv4 address in dotted-decimal form, or an IPv6 address in any of its text forms.
bool ParseAddress(LPCWSTR text, size_t length, IpAddress* address) {
    WCHAR trimmed[MAX_ADDRESS_LENGTH + 1];
    if (!CopyTrimmed(text, length, trimmed, MAX_ADDRESS_LENGTH + 1)) return false;
    *address = IpAddress{};
    if (InetPtonW(AF_INET, trimmed, address->Bytes) == 1) {
        address->Version = 4;
    } else if (InetPtonW(AF_INET6, trimmed, address->Bytes) == 1) {
        address->Version = 6;
    }
    return address->Version != 0;
}

// One to three decimal digits, at most `bits`.
bool ParsePrefix(LPCWSTR text, size_t length, int32_t bits, int32_t* prefix) {
    WCHAR digits[4];
    if (!CopyTrimmed(text, length, digits, 4) || digits[0] == L'\0') return false;
    *prefix = 0;
    for (LPCWSTR d = digits; *d != L'\0'; ++d) {
        if (*d < L'0' || *d > L'9') return false;
        *prefix = *prefix * 10 + static_cast<int32_t>(*d - L'0');
    }
    return *prefix <= bits;
}

// "address/n" or "address" (one address, all its bits). Address bits beyond the prefix are
// dropped.
bool ParseNet(LPCWSTR text, size_t length, AllowedNet* net) {
    LPCWSTR slash = wmemchr(text, L'/', length);
    size_t addressLength = slash != nullptr ? static_cast<size_t>(slash - text) : length;
    if (!ParseAddress(text, addressLength, &net->Address)) return false;
    int32_t bits = net->Address.Version == 4 ? IPV4_BITS : IPV6_BITS;
    net->PrefixLength = bits;
    if (slash != nullptr &&
        !ParsePrefix(slash + 1, length - addressLength - 1, bits, &net->PrefixLength)) {
        return false;
    }
    // Clients of the dual-stack socket in ::ffff:0:0/96 are matched as IPv4, so such a network
    // is the IPv4 network it names.
    if (net->PrefixLength >= IPV6_BITS - IPV4_BITS && UnmapIpv4(&net->Address)) {
        bits = IPV4_BITS;
        net->PrefixLength -= IPV6_BITS - IPV4_BITS;
    }
    for (int32_t bit = net->PrefixLength; bit < bits; ++bit) {
        net->Address.Bytes[bit / 8] &= static_cast<BYTE>(~(0x80u >> (bit % 8)));
    }
    return true;
}

bool ParseAllowFrom(LPCWSTR text, AccessSettings* settings) {
    int32_t count = 0;
    LPCWSTR item = text;
    for (;;) {
        LPCWSTR comma = wcschr(item, L',');
        size_t length = comma != nullptr ? static_cast<size_t>(comma - item) : wcslen(item);
        if (count == MAX_ALLOW_FROM || !ParseNet(item, length, &settings->AllowFrom[count])) {
            return false;
        }
        ++count;
        if (comma == nullptr) break;
        item = comma + 1;
    }
    settings->AllowFromCount = count;
    return true;
}

}  // namespace

bool ReadAccessSettings(HKEY root, int32_t port, AccessSettings* settings, LPCWSTR consequence) {
    *settings = AccessSettings{};
    settings->MonitorLimit = DEFAULT_MONITOR_LIMIT;
    const Source source{port, consequence};
    WCHAR keyName[32];
    wsprintfW(keyName, L"Quorvel\\Port%d", port & 0xFFFF);
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) return true;
    settings->FromKey = true;
    Setting listenAddress;
    Setting allowFrom;
    ReadSetting(key, L"ListenAddress", &listenAddress);
    ReadSetting(key, L"AllowFrom", &allowFrom);
    bool monitors = ReadMonitorSettings(key, source, settings);
    RegCloseKey(key);
    if (!monitors) return false;

    if (listenAddress.Present &&
        !(listenAddress.Valid &&
          ParseAddress(listenAddress.Text, wcslen(listenAddress.Text), &settings->ListenAddress))) {
        ReportBadValue(source, L"ListenAddress", listenAddress.Text, true);
        return false;
    }
    if (allowFrom.Present && !(allowFrom.Valid && ParseAllowFrom(allowFrom.Text, settings))) {
        ReportBadValue(source, L"AllowFrom", allowFrom.Text, true);
        return false;
    }
    return true;
}

bool ReadAccessSettings(ServerInstance* instance) {
    return ReadAccessSettings(HKEY_LOCAL_MACHINE, instance->Port, &instance->Access,
                              L"the instance does not start.");
}
