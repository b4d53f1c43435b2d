// What a user-mode emulator (qemu-user, which runs the ARM builds' tests) cannot give, found at
// run time: a test that needs it skips with the reason.
#pragma once

#include <linux/if_packet.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "missing.h"

// Empty where the process can read its own memory through process_vm_readv (ReadProcessMemory,
// the thread registry's heap walk); otherwise why not.
inline std::string WhyNoProcessReads() {
    char source = 'x', copy = 0;
    iovec local{&copy, 1};
    iovec remote{&source, 1};
    // Only a missing call counts: any other failure on readable memory is a fault.
    if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) < 0 && errno == ENOSYS) {
        return "process_vm_readv is not available here (ENOSYS), as under qemu-user";
    }
    return "";
}

#define SKIP_WITHOUT_PROCESS_READS()          \
    do {                                      \
        SKIP_IF_MISSING(WhyNoProcessReads()); \
    } while (0)

// Empty where a packet socket reports the kernel's drop count (PACKET_STATISTICS); otherwise
// why not. qemu-user passes no SOL_PACKET option through.
inline std::string WhyNoPacketStatistics() {
    int fd = ::socket(AF_PACKET, SOCK_DGRAM, 0);
    if (fd < 0) return "";  // the test's own open reports what is missing
    tpacket_stats statistics{};
    socklen_t size = sizeof statistics;
    int r = ::getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &statistics, &size);
    int error = errno;
    ::close(fd);
    if (r < 0 && (error == EOPNOTSUPP || error == ENOPROTOOPT || error == ENOSYS)) {
        return "packet sockets give no PACKET_STATISTICS here (" + std::to_string(error) +
               "), as under qemu-user";
    }
    return "";
}
