// The status socket: a Unix stream socket on which every client that connects receives the
// status text, and is then closed.
#pragma once

#include <string>

// The socket's path: VELTRABOX_STATUS_SOCKET, or by default one under /run/veltrabox/ named
// for the first instance's port, so that several servers (units) keep apart.
std::string StatusSocketPath(int firstPort);
// Listens at `path` (non-blocking). A socket file that nobody answers on, left by a server that
// ended, is replaced; one that a running server answers on is left alone (EADDRINUSE). The
// default folder is created when missing. -1 with errno set when there is no socket.
int OpenStatusSocket(const std::string& path);
// Accepts one waiting client, if any, sends it `text` and closes it. Never blocks: the text
// goes into the socket's send buffer at once, or what does not fit is dropped.
void ServeStatusClient(int listener, const std::string& text);
