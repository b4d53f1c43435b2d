// Which clients an instance serves ("AllowFrom"), decided at accept, before a byte of the
// client is read.
#pragma once

#include "instance/instance.h"
#include "platform/win.h"

// The peer as accept gave it, an IPv4-mapped IPv6 address turned back into IPv4.
PeerAddress PeerOf(const win::sockaddr_storage& peer);
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) turned into the IPv4 address it carries; true
// when it was one.
bool UnmapIpv4(IpAddress* address);
// True when `access` lets a client from `address` in: every client without AllowFrom, else one
// whose address lies in one of its networks of the same family.
bool IsAllowedBy(const AccessSettings& access, const IpAddress& address);
// The same for the instance's settings of the moment (under its AccessLock).
bool IsAllowedClient(ServerInstance* instance, const IpAddress& address);
// For a client just accepted from `peer`: when the instance does not serve it, closes it at
// once without reading, counts it in the status as `kind` (the service logs it) and returns
// true. Otherwise returns false and leaves the client alone.
bool RefuseDisallowedClient(ServerInstance* instance, win::SOCKET client, const PeerAddress& peer,
                            RefusalKind kind);
