// The settings of an instance's key, read from a real registry file as the start-up reads them:
// the input is the text under [HKEY_LOCAL_MACHINE\Quorvel\Port5000]. Settings that are
// accepted must hold together, and written out again plainly they must read back the same.
// Every later reader of the key's settings joins ReadAll and Written.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
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

// An address in network byte order as a.b.c.d.
std::string Dotted(uint32_t address) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

// Accepted settings as the plainest registry values that say the same.
std::string Written(const ServerInstance& instance) {
    std::string values = "\"ListenAddress\"=\"" + Dotted(instance.ListenAddress) + "\"\n";
    for (int32_t i = 0; i < instance.AllowFromCount; ++i) {
        const AllowedNet& net = instance.AllowFrom[i];
        values += (i == 0 ? "\"AllowFrom\"=\"" : ",") + Dotted(net.Address) + "/" +
                  std::to_string(__builtin_popcount(net.Mask));
    }
    if (instance.AllowFromCount > 0) values += "\"\n";
    return values;
}

void CheckNetworks(const ServerInstance& instance) {
    Check(instance.AllowFromCount >= 0 && instance.AllowFromCount <= MAX_ALLOW_FROM);
    for (int32_t i = 0; i < instance.AllowFromCount; ++i) {
        // Leading ones, then zeros (htonl turns network order back to the host's as well).
        const uint32_t hostMask = win::htonl(instance.AllowFrom[i].Mask);
        Check((~hostMask & (~hostMask + 1)) == 0);
        Check((instance.AllowFrom[i].Address & ~instance.AllowFrom[i].Mask) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto first = std::make_unique<ServerInstance>();
    if (!ReadAll(std::string(reinterpret_cast<const char*>(data), size), first.get())) return 0;
    CheckNetworks(*first);
    auto again = std::make_unique<ServerInstance>();
    Check(ReadAll(Written(*first), again.get()));
    Check(again->ListenAddress == first->ListenAddress);
    Check(again->AllowFromCount == first->AllowFromCount);
    for (int32_t i = 0; i < first->AllowFromCount; ++i) {
        Check(again->AllowFrom[i].Address == first->AllowFrom[i].Address);
        Check(again->AllowFrom[i].Mask == first->AllowFrom[i].Mask);
    }
    return 0;
}
