#include "support/emulation.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

std::string WhyNoProcessReads() {
    static const std::string why = [] {
        char source = 'x', copy = 0;
        iovec local{&copy, 1};
        iovec remote{&source, 1};
        // Only a missing call counts: any other failure on readable memory is a fault.
        if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) < 0 && errno == ENOSYS) {
            return std::string(
                "process_vm_readv is not available here (ENOSYS), as under qemu-user");
        }
        return std::string();
    }();
    return why;
}
