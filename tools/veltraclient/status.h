// The server's status socket: shown as a table, or as the JSON Lines it sends.
#pragma once

#include <string>

// The socket to ask: `path` if given, else VELTRABOX_STATUS_SOCKET, else the server's default
// for its first instance's `port`.
std::string StatusSocketPath(const char* path, const char* port);
// Prints what the server says: a table with one row per instance and one column per field,
// or with `raw` the lines as they came. Returns 0, or 1 when the socket cannot be read or a
// line is not a JSON object.
int ShowStatus(const std::string& path, bool raw);
