// The layer's errno translation, both ways, from the error lists of win.h. Every errno the
// layer reports goes through ErrorOfErrno, the special cases of a kind of call included.
#pragma once

#include "platform/win.h"
#include "private.h"

namespace win::detail {

// What kind of call failed: some errnos mean more than the lists say for one kind.
enum class ErrnoFrom { Call, Socket, Device };

// The errno that a Windows or Winsock number stands for; 0 when it has none.
int ErrnoOfError(DWORD code);
// The number for an errno: first a special case of the kind of call, then the first match in
// the list of its kind (Winsock numbers for sockets), then in the other list;
// ERROR_INVALID_PARAMETER / WSAEINVAL for an errno that neither lists.
DWORD ErrorOfErrno(int err, ErrnoFrom from);

}  // namespace win::detail
