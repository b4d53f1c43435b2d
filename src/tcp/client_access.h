// Which clients an instance serves ("AllowFrom"), decided at accept, before a byte of the
// client is read.
#pragma once

#include "instance/instance.h"
#include "platform/win.h"

// True when the instance serves a client from `address` (network byte order): every client
// without AllowFrom, else one whose address lies in one of its networks.
bool IsAllowedClient(const ServerInstance* instance, uint32_t address);
// For a client just accepted from `peer`: when the instance does not serve it, closes it at
// once without reading, counts it in the status (the service logs it) and returns true. Otherwise
// returns false and leaves the client alone.
bool RefuseDisallowedClient(ServerInstance* instance, win::SOCKET client,
                            const win::sockaddr* peer);
