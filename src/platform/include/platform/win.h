// The platform layer: the Windows CE services, Winsock, Tool Help and the device's debug library
// as the system calls them, implemented over Linux. System code includes only this header.
// Names and argument orders mirror Win32 so that system code reads like its original design;
// everything lives in namespace win to stay clear of the POSIX names (send, recv, socket, ...).
#pragma once

#include <poll.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace win {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = uint32_t;
using BOOL = int32_t;
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using SIZE_T = size_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Handle values encode a table index and a generation: a closed value never names a later object.
using HANDLE = void*;
using HMODULE = HANDLE;
using HKEY = HANDLE;
using HLOCAL = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// ---------------------------------------------------------------------------------------------
// Error numbers (GetLastError / WSAGetLastError): each with the Linux errno it stands for (0:
// none). These lists are the one place a number is written: they make the constants below
// and, inside the layer, the errno translation and the texts of FormatMessageW. The errno
// column is read only there, so this header needs no <cerrno>.
#define WIN_ERROR_MAP(X)                       \
    X(ERROR_SUCCESS, 0, 0)                     \
    X(ERROR_FILE_NOT_FOUND, 2, ENOENT)         \
    X(ERROR_ACCESS_DENIED, 5, EACCES)          \
    X(ERROR_INVALID_HANDLE, 6, EBADF)          \
    X(ERROR_NOT_ENOUGH_MEMORY, 8, ENOMEM)      \
    X(ERROR_NO_MORE_FILES, 18, 0)              \
    X(ERROR_NOT_READY, 21, EAGAIN)             \
    X(ERROR_WRITE_FAULT, 29, EIO)              \
    X(ERROR_SHARING_VIOLATION, 32, EBUSY)      \
    X(ERROR_NOT_SUPPORTED, 50, EOPNOTSUPP)     \
    X(ERROR_DEV_NOT_EXIST, 55, ENODEV)         \
    X(ERROR_INVALID_PARAMETER, 87, EINVAL)     \
    X(ERROR_BROKEN_PIPE, 109, EPIPE)           \
    X(ERROR_INSUFFICIENT_BUFFER, 122, ENOBUFS) \
    X(ERROR_MOD_NOT_FOUND, 126, ELIBACC)       \
    X(ERROR_PROC_NOT_FOUND, 127, ENOSYS)       \
    X(ERROR_ALREADY_EXISTS, 183, EEXIST)       \
    X(ERROR_MORE_DATA, 234, 0)                 \
    X(ERROR_BADDB, 1009, 0)                    \
    X(ERROR_PARTIAL_COPY, 299, 0)              \
    X(ERROR_MR_MID_NOT_FOUND, 317, 0)          \
    X(ERROR_OPERATION_ABORTED, 995, ECANCELED) \
    X(ERROR_IO_PENDING, 997, EINPROGRESS)      \
    X(ERROR_NOACCESS, 998, EFAULT)             \
    X(ERROR_TIMEOUT, 1460, ETIME)

#define WSA_ERROR_MAP(X)                          \
    X(WSAEINTR, 10004, EINTR)                     \
    X(WSAEBADF, 10009, EBADF)                     \
    X(WSAEACCES, 10013, EACCES)                   \
    X(WSAEFAULT, 10014, EFAULT)                   \
    X(WSAEINVAL, 10022, EINVAL)                   \
    X(WSAEMFILE, 10024, EMFILE)                   \
    X(WSAEWOULDBLOCK, 10035, EWOULDBLOCK)         \
    X(WSAENOTSOCK, 10038, ENOTSOCK)               \
    X(WSAEMSGSIZE, 10040, EMSGSIZE)               \
    X(WSAENOPROTOOPT, 10042, ENOPROTOOPT)         \
    X(WSAEPROTONOSUPPORT, 10043, EPROTONOSUPPORT) \
    X(WSAEAFNOSUPPORT, 10047, EAFNOSUPPORT)       \
    X(WSAEADDRINUSE, 10048, EADDRINUSE)           \
    X(WSAEADDRNOTAVAIL, 10049, EADDRNOTAVAIL)     \
    X(WSAENETDOWN, 10050, ENETDOWN)               \
    X(WSAENETUNREACH, 10051, ENETUNREACH)         \
    X(WSAECONNABORTED, 10053, ECONNABORTED)       \
    X(WSAECONNRESET, 10054, ECONNRESET)           \
    X(WSAENOBUFS, 10055, ENOBUFS)                 \
    X(WSAENOTCONN, 10057, ENOTCONN)               \
    X(WSAESHUTDOWN, 10058, ESHUTDOWN)             \
    X(WSAETIMEDOUT, 10060, ETIMEDOUT)             \
    X(WSAECONNREFUSED, 10061, ECONNREFUSED)       \
    X(WSAEHOSTUNREACH, 10065, EHOSTUNREACH)       \
    X(WSASYSNOTREADY, 10091, 0)                   \
    X(WSAVERNOTSUPPORTED, 10092, 0)               \
    X(WSANOTINITIALISED, 10093, 0)

#define WIN_ERROR_CONSTANT(name, number, err) constexpr DWORD name = number;
WIN_ERROR_MAP(WIN_ERROR_CONSTANT)
#undef WIN_ERROR_CONSTANT
#define WSA_ERROR_CONSTANT(name, number, err) constexpr int name = number;
WSA_ERROR_MAP(WSA_ERROR_CONSTANT)
#undef WSA_ERROR_CONSTANT

DWORD GetLastError();
void SetLastError(DWORD code);

// ---------------------------------------------------------------------------------------------
// Handles, threads, waits
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

constexpr int THREAD_PRIORITY_TIME_CRITICAL = 0;
constexpr int THREAD_PRIORITY_HIGHEST = 1;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 2;
constexpr int THREAD_PRIORITY_NORMAL = 3;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = 4;
constexpr int THREAD_PRIORITY_LOWEST = 5;
constexpr int THREAD_PRIORITY_ABOVE_IDLE = 6;
constexpr int THREAD_PRIORITY_IDLE = 7;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;  // GetThreadPriority of a bad handle

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
struct SECURITY_ATTRIBUTES;

BOOL CloseHandle(HANDLE h);

HANDLE CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId);
[[noreturn]] void ExitThread(DWORD exitCode);
// Ends the target at its current or next blocking platform call (never asynchronously); the
// target runs none of its own end steps. Returns once the target has ended.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
HANDLE GetCurrentProcess();

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Events: manual reset only (an auto-reset request fails with ERROR_INVALID_PARAMETER); one
// name space per process: a second CreateEventW of a name returns the same event.
constexpr DWORD EVENT_RESET = 2;
constexpr DWORD EVENT_SET = 3;
HANDLE CreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL EventModify(HANDLE event, DWORD func);
inline BOOL SetEvent(HANDLE event) {
    return EventModify(event, EVENT_SET);
}
inline BOOL ResetEvent(HANDLE event) {
    return EventModify(event, EVENT_RESET);
}

// ---------------------------------------------------------------------------------------------
// Time: a 32-bit wrapping millisecond tick from a monotonic source (or a test clock, see
// clock.h). Sleep waits on the same clock.
DWORD GetTickCount();
void Sleep(DWORD milliseconds);

// ---------------------------------------------------------------------------------------------
// Thread-local storage and local memory
constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFF;
DWORD TlsAlloc();
BOOL TlsFree(DWORD index);
LPVOID TlsGetValue(DWORD index);
BOOL TlsSetValue(DWORD index, LPVOID value);

constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

// Private heaps (walkable through Tool Help)
constexpr DWORD HEAP_NO_SERIALIZE = 0x00000001;
constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;
HANDLE HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize);
BOOL HeapDestroy(HANDLE heap);
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
HANDLE GetProcessHeap();

// ---------------------------------------------------------------------------------------------
// Tool Help
constexpr DWORD TH32CS_SNAPHEAPLIST = 0x00000001;
constexpr DWORD TH32CS_SNAPPROCESS = 0x00000002;
constexpr DWORD TH32CS_SNAPNOHEAPS = 0x40000000;
constexpr DWORD LF32_FIXED = 0x00000001;
constexpr DWORD LF32_FREE = 0x00000002;
constexpr DWORD LF32_MOVEABLE = 0x00000004;
constexpr DWORD HF32_DEFAULT = 1;

struct PROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    DWORD th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[260];
    DWORD th32MemoryBase;
    DWORD th32AccessKey;
};
constexpr DWORD PROCESSENTRY32_SIZE = 564;  // the size field's value on the original platform

struct HEAPLIST32 {
    DWORD dwSize;
    DWORD th32ProcessID;
    uintptr_t th32HeapID;
    DWORD dwFlags;
};
struct HEAPENTRY32 {
    DWORD dwSize;
    HANDLE hHandle;
    uintptr_t dwAddress;
    DWORD dwBlockSize;
    DWORD dwFlags;
    DWORD dwLockCount;
    DWORD dwResvd;
    DWORD th32ProcessID;
    uintptr_t th32HeapID;
};

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL CloseToolhelp32Snapshot(HANDLE snapshot);
BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry);
BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry);
BOOL Heap32ListFirst(HANDLE snapshot, HEAPLIST32* list);
BOOL Heap32ListNext(HANDLE snapshot, HEAPLIST32* list);
BOOL Heap32First(HEAPENTRY32* entry, DWORD processId, uintptr_t heapId);
BOOL Heap32Next(HEAPENTRY32* entry);

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
// Fails (instead of crashing) when the source address cannot be read.
BOOL ReadProcessMemory(HANDLE process, LPCVOID address, LPVOID buffer, SIZE_T size,
                       SIZE_T* bytesRead);

// ---------------------------------------------------------------------------------------------
// Registry: read-only, from a .reg text file named by VELTRABOX_REGISTRY (see veltrabox.reg(5)).
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<intptr_t>(0x80000002));
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, DWORD access, HKEY* result);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize);
LONG RegCloseKey(HKEY key);
// HKEY_LOCAL_MACHINE as the registry file holds it now, all of it from one reading: keys opened
// below *result see that reading, whatever happens to the file meanwhile. Unlike an ordinary
// open it fails where the file is not sound: ERROR_FILE_NOT_FOUND when the file cannot be read,
// ERROR_BADDB when one of its lines could not be read (each reported as ever). For a reading
// that must be taken whole or not at all.
LONG RegOpenSnapshotOfFile(HKEY* result);
// HKEY_LOCAL_MACHINE as a registry file of the `size` bytes at `text` would give it, its
// unreadable lines skipped without a report, and no file read: the fuzz targets of the readers
// that take a root run it once or twice per input.
LONG RegOpenSnapshotOfText(const char* text, size_t size, HKEY* result);

// ---------------------------------------------------------------------------------------------
// Error texts
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD LANG_NEUTRAL_SUBLANG_DEFAULT = 0x400;
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a WCHAR** that receives a LocalAlloc
// block; without a text for the number the call returns 0 with last error 317.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* arguments);

// ---------------------------------------------------------------------------------------------
// Wide formatting. %s takes a wide string (the Microsoft meaning), as does %ls; %hs a narrow one.
int wsprintfW(LPWSTR out, LPCWSTR format, ...);
int wvsprintfW(LPWSTR out, LPCWSTR format, va_list args);
// Writes at most `count` characters; returns -1 when the text was cut (then it may lack a
// terminating zero, as on the original platform).
int _snwprintf(LPWSTR out, size_t count, LPCWSTR format, ...);
int _vsnwprintf(LPWSTR out, size_t count, LPCWSTR format, va_list args);
// Narrow counterpart; here %s is narrow and %ls wide, as in C.
int _snprintf(char* out, size_t count, const char* format, ...);
long _wtol(LPCWSTR text);

// ---------------------------------------------------------------------------------------------
// Run-time libraries over dlopen (see "The LDV library" in veltrabox(8) for how "x.dll" finds its
// shared object)
HMODULE LoadLibraryW(LPCWSTR fileName);
void* GetProcAddressW(HMODULE module, LPCWSTR procName);
BOOL FreeLibrary(HMODULE module);
// Text for libraries that take UTF-16 (the LDV library). Each converts what fits into `count`
// units of `out` (at most `units` units of input for Utf16ToWide), always ends it with a zero,
// and returns the units written before the zero.
size_t WideToUtf16(LPCWSTR text, char16_t* out, size_t count);
size_t Utf16ToWide(const char16_t* text, size_t units, LPWSTR out, size_t count);

// ---------------------------------------------------------------------------------------------
// Devices: stream drivers chosen by device name; the control codes are in lon_ioctl.h
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;

struct OVERLAPPED {
    DWORD Internal;
    DWORD InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* attributes,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, DWORD* written, OVERLAPPED* overlapped);

// ---------------------------------------------------------------------------------------------
// Debug-zone registration. The zones are the program's own; the devices' own lines show under
// two of them: what an open obtained under the init zone, what no call returns (a dropped
// frame) under the error zone.
constexpr DWORD DBG_ZONE_INIT = 0x0002;
constexpr DWORD DBG_ZONE_ERROR = 0x0010;
struct DBGPARAM {
    WCHAR lpszName[32];
    WCHAR rglpszZones[16][32];
    ULONG ulZoneMask;
};
BOOL RegisterDbgZones(HMODULE module, DBGPARAM* settings);

// The device's debug-message library: lines go to standard error as UTF-8. When standard error
// is the journal's stream (JOURNAL_STREAM, sd-daemon(3)), each line starts with its syslog
// priority: dprintf's lines are debug lines, dprintfPriority names the priority.
constexpr int DBG_PRIORITY_ERR = 3;
constexpr int DBG_PRIORITY_WARNING = 4;
constexpr int DBG_PRIORITY_INFO = 6;
constexpr int DBG_PRIORITY_DEBUG = 7;
int dprintf(const char* format, ...);
int dprintfPriority(int priority, const char* format, ...);
BOOL DbgInitEx(const char* name, DWORD style, DWORD level, DWORD* state);

// ---------------------------------------------------------------------------------------------
// Windows Sockets over BSD sockets; Winsock error numbers through WSAGetLastError.
using SOCKET = uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;
constexpr int AF_INET = 2;
constexpr int AF_INET6 = 23;
constexpr int SOCK_STREAM = 1;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_REUSEADDR = 4;
constexpr int SO_KEEPALIVE = 8;
constexpr int IPPROTO_TCP = 6;
constexpr int TCP_NODELAY = 1;
constexpr uint32_t INADDR_ANY = 0;

struct in_addr {
    uint32_t s_addr;
};
struct sockaddr {
    uint16_t sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    int16_t sin_family;
    uint16_t sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
struct in6_addr {
    union {
        BYTE Byte[16];
        WORD Word[8];
    } u;
};
struct sockaddr_in6 {
    int16_t sin6_family;
    uint16_t sin6_port;
    uint32_t sin6_flowinfo;
    in6_addr sin6_addr;
    uint32_t sin6_scope_id;
};
// Room for the address of either family.
struct alignas(8) sockaddr_storage {
    int16_t ss_family;
    char ss_pad[126];
};
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char* lpVendorInfo;
};

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSAGetLastError();
// AF_INET or AF_INET6. An AF_INET6 socket is dual-stack (IPV6_V6ONLY off): bound to the
// wildcard address it also takes IPv4 clients, which accept reports as IPv4-mapped addresses.
// Where the kernel has IPv6 switched off, AF_INET6 fails with WSAEAFNOSUPPORT.
SOCKET socket(int af, int type, int protocol);
int setsockopt(SOCKET s, int level, int name, const char* value, int length);
int bind(SOCKET s, const sockaddr* address, int length);
int listen(SOCKET s, int backlog);
// The peer's address is a sockaddr_in or a sockaddr_in6 (then *length must have room for it).
SOCKET accept(SOCKET s, sockaddr* address, int* length);
// A send flag of this layer (Winsock has none): the call never waits, neither for room in
// the connection nor for another thread's send on the socket; it fails with WSAEWOULDBLOCK
// when nothing could go out at once, and may send less than asked.
constexpr int MSG_DONTWAIT = 0x40;
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int closesocket(SOCKET s);
// WSAPoll with the C library's poll flags (their values never leave the process). POLLHUP
// also reports a peer that has ended its side of the stream, as Winsock does; a socket closed
// before or during the call reports POLLNVAL. A negative time-out waits without limit.
struct WSAPOLLFD {
    SOCKET fd;
    short events;
    short revents;
};
int WSAPoll(WSAPOLLFD* fds, ULONG count, int timeout);
uint16_t htons(uint16_t value);
uint16_t ntohs(uint16_t value);
uint32_t htonl(uint32_t value);
// Address text to its binary form (network byte order): for AF_INET an in_addr from the
// dotted-decimal form, for AF_INET6 an in6_addr from the usual text forms. 1 when `text` is
// such an address, 0 when it is not; -1 (WSAEAFNOSUPPORT) for another family.
int InetPtonW(int family, LPCWSTR text, void* address);
// The usual text of an AF_INET or AF_INET6 address into `buffer` of `size` characters;
// nullptr (WSAEAFNOSUPPORT, or WSAEINVAL when it does not fit) otherwise. 46 characters hold
// any address.
LPCWSTR InetNtopW(int family, const void* address, LPWSTR buffer, size_t size);

}  // namespace win
