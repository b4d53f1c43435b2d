// OpenProcess and ReadProcessMemory on the own process. Reads go through process_vm_readv, so
// an address that cannot be read makes the call fail instead of faulting.
#include <sys/uio.h>
#include <unistd.h>

#include "errors.h"
#include "handles.h"

namespace win::detail {
namespace {

struct Process : Object {};

}  // namespace
}  // namespace win::detail

namespace win {

using namespace detail;

HANDLE OpenProcess(DWORD /*access*/, BOOL /*inherit*/, DWORD processId) {
    if (processId != GetCurrentProcessId()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE handle = InsertObject(std::make_shared<Process>());
    if (!handle) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

BOOL ReadProcessMemory(HANDLE process, LPCVOID address, LPVOID buffer, SIZE_T size,
                       SIZE_T* bytesRead) {
    if (bytesRead) *bytesRead = 0;
    if (process != GetCurrentProcess() && !Lookup<Process>(process)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    iovec local{buffer, size};
    iovec remote{const_cast<void*>(address), size};
    ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (n < 0) {
        SetLastError(ErrorOfErrno(errno, ErrnoFrom::Call));
        return FALSE;
    }
    if (bytesRead) *bytesRead = static_cast<SIZE_T>(n);
    if (static_cast<SIZE_T>(n) < size) {
        SetLastError(ERROR_PARTIAL_COPY);
        return FALSE;
    }
    return TRUE;
}

}  // namespace win
