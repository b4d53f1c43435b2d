// The server's status socket: shown as a table that fits 100 columns, as every field of every
// instance, or as the JSON Lines it sends.
#pragma once

enum class StatusForm { TABLE, EVERYTHING, JSON };

// Asks the socket at `path` if given, else VELTRABOX_STATUS_SOCKET if set, else finds among
// the servers' sockets in /run/veltrabox the one that serves `port` (whatever port or name the
// socket is named after), or every server there without a port. Prints what the servers say
// in `form`. Returns 0, or 1 when no socket can be read, none serves the port, or a line is
// not a JSON object.
int ShowStatus(const char* path, const char* port, StatusForm form);
