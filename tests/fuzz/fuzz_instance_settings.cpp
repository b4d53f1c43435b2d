// The settings of an instance's key, read from registry text as the start-up and a reload read
// them: the input is the text under [HKEY_LOCAL_MACHINE\Quorvel\Port5000]. Settings that are
// accepted must hold together, and written out again plainly they must read back the same.
// Every later reader of the key's settings joins ReadAll and Written.
#include <cstdio>
#include <cwchar>
#include <string>

#include "diag/debug.h"
#include "fuzz_check.h"
#include "startup/access_settings.h"
#include "tcp/monitors.h"

namespace {

constexpr int32_t PORT = 5000;

// Every setting of the instance's key, from a registry with `values` under that key, held in
// memory: a file, even in memory, costs more to open and read than the settings to parse. The
// error lines stay on: a refused value is printed whole, however long.
bool ReadAll(const std::string& values, AccessSettings* access) {
    SetDebugZoneMask(ZONE_ERROR);
    const std::string text = "[HKEY_LOCAL_MACHINE\\Quorvel\\Port5000]\n" + values;
    win::HKEY root = nullptr;
    Check(win::RegOpenSnapshotOfText(text.data(), text.size(), &root) == win::ERROR_SUCCESS);
    bool read = ReadAccessSettings(root, PORT, access, L"the instance does not start.");
    win::RegCloseKey(root);
    return read;
}

// An address as its usual text.
std::string Text(const IpAddress& address) {
    wchar_t text[46];
    Check(win::InetNtopW(address.Version == 4 ? win::AF_INET : win::AF_INET6, address.Bytes, text,
                         46) != nullptr);
    return std::string(text, text + std::wcslen(text));
}

// Accepted settings as the plainest registry values that say the same.
std::string Written(const AccessSettings& access) {
    std::string values;
    if (access.ListenAddress.Version != 0) {
        values += "\"ListenAddress\"=\"" + Text(access.ListenAddress) + "\"\n";
    }
    for (int32_t i = 0; i < access.AllowFromCount; ++i) {
        const AllowedNet& net = access.AllowFrom[i];
        values += (i == 0 ? "\"AllowFrom\"=\"" : ",") + Text(net.Address) + "/" +
                  std::to_string(net.PrefixLength);
    }
    if (access.AllowFromCount > 0) values += "\"\n";
    char dword[48];
    if (access.MonitorPort != 0) {
        std::snprintf(dword, sizeof dword, "\"MonitorPort\"=dword:%08x\n", access.MonitorPort);
        values += dword;
    }
    if (access.MonitorLimit != DEFAULT_MONITOR_LIMIT) {
        std::snprintf(dword, sizeof dword, "\"MonitorLimit\"=dword:%08x\n", access.MonitorLimit);
        values += dword;
    }
    return values;
}

void CheckSettings(const AccessSettings& access) {
    Check(access.MonitorPort == 0 ||
          (access.MonitorPort > 0 && access.MonitorPort <= 0xFFFF && access.MonitorPort != PORT));
    Check(access.MonitorLimit >= 1 && access.MonitorLimit <= MAX_MONITOR_LIMIT);
    Check(access.ListenAddress.Version == 0 || access.ListenAddress.Version == 4 ||
          access.ListenAddress.Version == 6);
    Check(access.AllowFromCount >= 0 && access.AllowFromCount <= MAX_ALLOW_FROM);
    for (int32_t i = 0; i < access.AllowFromCount; ++i) {
        const AllowedNet& net = access.AllowFrom[i];
        const int32_t bits = net.Address.Version == 4 ? 32 : 128;
        Check(net.Address.Version == 4 || net.Address.Version == 6);
        Check(net.PrefixLength >= 0 && net.PrefixLength <= bits);
        // No address bit beyond the prefix, and nothing past an IPv4 address.
        for (int32_t bit = net.PrefixLength; bit < 128; ++bit) {
            Check((net.Address.Bytes[bit / 8] & (0x80 >> (bit % 8))) == 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AccessSettings first;
    Verdict("refused");
    if (!ReadAll(std::string(reinterpret_cast<const char*>(data), size), &first)) return 0;
    CheckSettings(first);
    const std::string written = Written(first);
    Verdict("accepted " + written);
    AccessSettings again;
    Check(ReadAll(written, &again));
    Check(again.ListenAddress == first.ListenAddress);
    Check(again.AllowFromCount == first.AllowFromCount);
    for (int32_t i = 0; i < first.AllowFromCount; ++i) {
        Check(again.AllowFrom[i].Address == first.AllowFrom[i].Address);
        Check(again.AllowFrom[i].PrefixLength == first.AllowFrom[i].PrefixLength);
    }
    Check(again.MonitorPort == first.MonitorPort);
    Check(again.MonitorLimit == first.MonitorLimit);
    return 0;
}
