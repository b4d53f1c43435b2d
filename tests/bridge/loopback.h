// A raw loopback client for the supervisor tests (kept apart from the platform's socket names).
#pragma once

#include <cstdint>
#include <vector>

namespace loopback {

int FreePort();
// Whether the calling thread may bind the port on all interfaces.
bool CanBind(int port);
// Connects to 127.0.0.1:port, retrying every 5 ms; -1 after `attempts` refusals.
int Connect(int port, int attempts = 2000);
// Bytes that arrive within `ms` real milliseconds; stops early at end of stream.
std::vector<uint8_t> Drain(int socket, int ms, bool* closed = nullptr);
bool SendAll(int socket, const std::vector<uint8_t>& bytes);
void Close(int socket);

}  // namespace loopback
