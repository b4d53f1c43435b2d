// The settings of an instance's key, read from a real registry file as the start-up reads them:
// the input is the text under [HKEY_LOCAL_MACHINE\Quorvel\Port5000]. Settings that are
// accepted must hold together, and written out again plainly they must read back the same.
// Every later reader of the key's settings joins ReadAll and Written.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

#include "diag/debug.h"
#include "startup/access_settings.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// The registry file, in memory: rewritten for every input, a file on disk would keep the run
// waiting for the disk.
void WriteRegistry(const std::string& text) {
    static const int file = [] {
        int fd = memfd_create("registry.reg", 0);
        Check(fd >= 0);
        setenv("VELTRABOX_REGISTRY", ("/proc/self/fd/" + std::to_string(fd)).c_str(), 1);
        return fd;
    }();
    Check(ftruncate(file, 0) == 0);
    Check(pwrite(file, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
}

// Every setting of the instance's key, from a registry with `values` under that key. The error
// lines stay on: a refused value is printed whole, however long.
bool ReadAll(const std::string& values, ServerInstance* instance) {
    SetDebugZoneMask(ZONE_ERROR);
    WriteRegistry("[HKEY_LOCAL_MACHINE\\Quorvel\\Port5000]\n" + values);
    instance->Port = 5000;
    return ReadAccessSettings(instance);
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
    return values;
}

void CheckNetworks(const AccessSettings& access) {
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
    auto first = std::make_unique<ServerInstance>();
    if (!ReadAll(std::string(reinterpret_cast<const char*>(data), size), first.get())) return 0;
    CheckNetworks(first->Access);
    auto again = std::make_unique<ServerInstance>();
    Check(ReadAll(Written(first->Access), again.get()));
    Check(again->Access.ListenAddress == first->Access.ListenAddress);
    Check(again->Access.AllowFromCount == first->Access.AllowFromCount);
    for (int32_t i = 0; i < first->Access.AllowFromCount; ++i) {
        Check(again->Access.AllowFrom[i].Address == first->Access.AllowFrom[i].Address);
        Check(again->Access.AllowFrom[i].PrefixLength == first->Access.AllowFrom[i].PrefixLength);
    }
    return 0;
}
